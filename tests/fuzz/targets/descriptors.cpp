// The descriptors a hostile camera returns: the device's start-up (device
// descriptor, configuration descriptor, configuration and interface
// selection) against any bytes. The first byte gives the device descriptor's
// length (0xFF: the camera's own one), the next bytes are that descriptor,
// the rest is the configuration descriptor exactly as the camera answers it.
// The hosted USB library records a verifier finding for any parse that would
// read past the descriptor it was given, which aborts the run.
#include "DeviceRig.h"
#include "FuzzSupport.h"

using namespace orvex::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Input in(data, size);
    const uint8_t deviceBytes = in.U8();
    orvex::sim::CameraConfig config;
    config.eepromSize = kSmallEeprom;
    if (deviceBytes != 0xFF) config.deviceDescriptor = in.Bytes(deviceBytes);
    config.configDescriptor = in.Rest();

    Session session;
    DeviceRig rig(config);
    CUsbDevice* d = rig.device;
    const NTSTATUS status = d->Start(&rig.ks, nullptr, nullptr, nullptr, 0);
    if (NT_SUCCESS(status)) {
        // A configuration without any interface at alternate setting 0 is
        // selected without one; the descriptors are always kept.
        FUZZ_CHECK(d->m_pUsbInfo != nullptr && d->m_pUsbInfo->UsbConfigurationDescriptor != nullptr &&
                       d->m_pUsbInfo->UsbDeviceDescriptor != nullptr,
                   "started without its descriptors");
        d->Stop(&rig.ks, nullptr);
    }
    return 0;
}
