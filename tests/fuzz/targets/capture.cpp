// A recorded capture of any bytes fed to the replay reader: the USBPcap
// reader (pcap and pcapng), the choice of the camera's transfers, and the
// replay device built on them, which is then asked the recorded requests
// again (each with a data buffer of exactly the setup packet's wLength) and
// its descriptors.
#include "CaptureReader.h"
#include "FuzzSupport.h"
#include "ReplayDevice.h"

using namespace orvex::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const auto path = WriteScratch("capture.pcap", data, size);
    const auto contents = orvex::sim::ReadUsbCapture(path.string());
    if (!contents.error.empty()) return 0;
    auto camera = orvex::sim::TransfersOfCamera(contents.transfers);
    const std::vector<orvex::sim::CapturedTransfer> asked(camera.begin(),
                                                          camera.begin() + std::min<size_t>(camera.size(), 64));
    orvex::sim::ReplayDevice replay(std::move(camera), [](int64_t) {});
    (void)replay.DeviceDescriptor();
    (void)replay.ConfigurationDescriptor();
    for (const auto& t : asked) {
        const auto setup = hosted::usb::SetupPacket::FromBytes(t.setup.data());
        std::vector<uint8_t> buffer(setup.wLength);
        if (!setup.IsIn()) std::copy_n(t.out.begin(), std::min(t.out.size(), buffer.size()), buffer.begin());
        const auto result = replay.Control(setup, buffer.data());
        FUZZ_CHECK(result.length <= setup.wLength, "the replay moved more than wLength bytes");
    }
    return 0;
}
