// The FX3 branch against the simulated camera's EEPROM: the first two bytes
// give how many of the following bytes the EEPROM holds; the rest is the
// image in the file buffer. An image that was accepted and written must be
// what the EEPROM holds afterwards (the camera's serial carried over).
#include <algorithm>
#include <cstring>

#include "DeviceRig.h"
#include "FuzzSupport.h"
#include "usbdevice/VendorChannel.h"

using namespace orvex::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Input in(data, size);
    const size_t eepromBytes = in.U16();
    orvex::sim::CameraConfig config;
    config.eepromSize = 32 * 1024;  // small EEPROM: the model scans it at power-up
    config.eepromContent = in.Bytes(std::min<size_t>(eepromBytes, config.eepromSize));
    const std::vector<uint8_t> image = in.Rest();

    Session session;
    DeviceRig rig(config);
    CUsbDevice* d = rig.device;
    UVCStart_UPDATE(d);
    rig.Load(image);
    const NTSTATUS status = DownloadFirmware(d, FileTypeFx3);
    if (NT_SUCCESS(status) && !image.empty() && image.size() <= config.eepromSize) {
        // DownloadFx3Image carried the serial into the buffer before writing.
        const auto eeprom = rig.camera->Eeprom();
        FUZZ_CHECK(eeprom.size() >= image.size() &&
                       std::memcmp(eeprom.data(), d->m_pFileBuffer, image.size()) == 0,
                   "the EEPROM does not hold the image that was written");
    }
    rig.Unload();
    return 0;
}
