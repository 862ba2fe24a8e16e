// The ISP and audio branches against the simulated camera. The first byte
// picks the branch (bit 0: audio) and whether the rest of the input is placed
// where the audio version byte is read (bit 1: after AudVersionOffset bytes of
// 0xFF, so the branch goes on to programme); the next bytes set the versions
// the device holds and what the camera's status reads answer.
#include "DeviceRig.h"
#include "FuzzSupport.h"
#include "usbdevice/VendorChannel.h"

using namespace orvex::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Input in(data, size);
    const uint8_t mode = in.U8();
    const bool audio = (mode & 1) != 0;
    orvex::sim::CameraConfig config;
    config.eepromSize = kSmallEeprom;
    config.readyStatus = in.U8();
    config.ispStatusValue = in.U8();
    config.audioStatusValue = in.U8();
    const ULONG ispCurrent = in.U32() & 0xFFFFFF;
    const ULONG audCurrent = in.U8();
    const ULONG audFile = in.U8();
    std::vector<uint8_t> image;
    if (mode & 2) image.assign(AudVersionOffset, 0xFF);
    const auto rest = in.Rest();
    image.insert(image.end(), rest.begin(), rest.end());
    if (image.empty()) return 0;  // the loader never hands on an empty file

    Session session;
    DeviceRig rig(config);
    CUsbDevice* d = rig.device;
    d->m_ulIspCurrentVersion = ispCurrent;
    d->m_ulAudCurrentVersion = audCurrent;
    d->m_ulAudFileVersion = audFile;
    UVCStart_UPDATE(d);
    rig.Load(image);
    const NTSTATUS status = DownloadFirmware(d, audio ? FileTypeAud : FileTypeIsp);
    FUZZ_CHECK(status == STATUS_SUCCESS, "a flash branch reported a failure");
    rig.Unload();
    return 0;
}
