// The version file: any bytes on disk, loaded by GetDownloadFile as the
// update thread loads it, then decoded by ParseVersionText.
#include <hosted/files.h>

#include <cstring>

#include "DeviceRig.h"
#include "FuzzSupport.h"

using namespace orvex::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Session session;
    WriteScratch("version.txt", data, size);
    hosted::Files::MapDrive('C', ScratchDir().string());
    {
        DeviceRig rig;
        CUsbDevice* d = rig.device;
        FUZZ_CHECK(LoadFile(d, u"C:\\version.txt", FileTypeVersion) == 1, "a readable version file was refused");
        FUZZ_CHECK(d->m_pFileBuffer == nullptr, "the file buffer outlived the load");
        const size_t kept = std::min(size, sizeof(d->m_VersionText));
        FUZZ_CHECK(std::memcmp(d->m_VersionText, data, kept) == 0, "the version text is not the file's first bytes");
        ParseVersionText(d);
        // Six digits: decimal for the FX3, hexadecimal for the others, and
        // only the low byte of the audio version counts.
        FUZZ_CHECK(d->m_ulFx3FileVersion <= 999999, "FX3 version beyond six decimal digits");
        FUZZ_CHECK(d->m_ulIspFileVersion <= 0xFFFFFF, "ISP version beyond six hexadecimal digits");
        FUZZ_CHECK(d->m_ulAudFileVersion <= 0xFF, "audio version beyond one byte");
    }
    hosted::Files::UnmapDrive('C');
    return 0;
}
