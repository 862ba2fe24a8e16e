// A CUsbDevice above a simulated camera, for the targets that drive the
// device object's routines directly, and the file buffer as the loader holds
// it while a programming branch runs.
#pragma once

#include <cstdint>
#include <vector>

#include "HandBuiltDevice.h"
#include "SimOnBus.h"
#include "update/UpdateEngine.h"

namespace orvex::fuzz {

// A small EEPROM: the camera model scans all of it when it powers up, which
// would otherwise cost more than the code under test.
constexpr uint32_t kSmallEeprom = 8 * 1024;

class DeviceRig : public orvex::test::HandBuiltDevice {
public:
    // Plugs a camera made from `config` and adds the device object.
    explicit DeviceRig(orvex::sim::CameraConfig config);
    // A device object on no bus, for routines that never talk to the camera
    // (file loading and checks).
    DeviceRig();
    // Loads `bytes` as m_pFileBuffer with the loader's 4096 bytes of 0xFF
    // after them, in an allocation of exactly that size; Unload frees it.
    void Load(const std::vector<uint8_t>& bytes);
    void Unload();
    ~DeviceRig();

private:
    bool bare_ = false;
};

// GetDownloadFile with a UTF-16 path (compiled with the driver's 16-bit
// wchar_t, where PWSTR is wchar_t).
NTSTATUS LoadFile(CUsbDevice* device, const char16_t* path, ULONG type);

}  // namespace orvex::fuzz
