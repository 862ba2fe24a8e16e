// A device behind the hosted bus that answers from a recorded capture: each
// vendor request is answered with the recorded reply of the request at the
// same place in the recording's order of vendor requests, when the setup
// packets agree; standard requests (descriptors, configuration), which the
// bus and the hub also send on their own, are answered from the first
// recorded request with the same setup packet (the same wLength preferred).
// A vendor request takes the time its recorded counterpart took: the device
// adds what the recording took beyond the bus's own time for the transfer. The first vendor request the recording does not
// hold is kept (with the setup packet the recording expected there); from
// then on every request is stalled, so the run ends on the driver's own
// failure paths.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "BusDevice.h"
#include "CaptureReader.h"

namespace orvex::sim {

class ReplayDevice final : public hosted::usb::BusDevice {
public:
    // `wait` lets `duration` (100-ns units) pass on the run's clock.
    // `busTiming` is the bus's own time per transfer, which the recorded
    // times already include.
    ReplayDevice(std::vector<CapturedTransfer> recording, std::function<void(int64_t duration)> wait,
                 hosted::usb::BusTiming busTiming = {});

    hosted::usb::ControlResult Control(const hosted::usb::SetupPacket& setup, uint8_t* data) override;
    std::vector<uint8_t> ConfigurationDescriptor() const override;

    struct Divergence {
        size_t vendorIndex = 0;                           // 0-based among vendor requests
        std::array<uint8_t, 8> received{};
        std::optional<std::array<uint8_t, 8>> expected;   // none: the recording had ended
    };
    std::optional<Divergence> FirstDivergence() const;
    // "vendor request #5: received C0 B0 ..., recording holds C0 B3 ..."
    static std::string Describe(const Divergence& d);
    size_t VendorReplayed() const;
    size_t VendorRecorded() const { return vendor_.size(); }

private:
    hosted::usb::ControlResult Serve(const CapturedTransfer& t, const hosted::usb::SetupPacket& setup,
                                     uint8_t* data);

    std::vector<CapturedTransfer> vendor_;    // in recorded order
    std::vector<CapturedTransfer> standard_;
    std::function<void(int64_t)> wait_;
    hosted::usb::BusTiming busTiming_;
    mutable std::mutex mu_;
    size_t next_ = 0;
    std::optional<Divergence> divergence_;
};

}  // namespace orvex::sim
