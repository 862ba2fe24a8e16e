#include "ReplayDevice.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace orvex::sim {

using hosted::usb::ControlResult;
using hosted::usb::SetupPacket;

namespace {

bool IsVendor(const std::array<uint8_t, 8>& s) { return (s[0] & 0x60) == 0x40; }

std::string HexSetup(const std::array<uint8_t, 8>& s) {
    char b[32];
    std::snprintf(b, sizeof b, "%02X %02X %02X %02X %02X %02X %02X %02X", s[0], s[1], s[2], s[3], s[4], s[5], s[6],
                  s[7]);
    return b;
}

}  // namespace

ReplayDevice::ReplayDevice(std::vector<CapturedTransfer> recording, std::function<void(int64_t)> wait,
                           hosted::usb::BusTiming busTiming)
    : wait_(std::move(wait)), busTiming_(busTiming) {
    for (auto& t : recording) (IsVendor(t.setup) ? vendor_ : standard_).push_back(std::move(t));
}

ControlResult ReplayDevice::Serve(const CapturedTransfer& t, const SetupPacket& setup, uint8_t* data) {
    // Capture times are nanoseconds; the run's clock counts 100 ns. Standard
    // requests also come from the bus itself (at plug time), outside the
    // recorded order, and take the bus's time only.
    if (IsVendor(t.setup) && t.completed >= t.submitted && wait_) {
        const int64_t units = (t.completed - t.submitted) / 100 - busTiming_.Cost(8u + setup.wLength);
        if (units > 0) wait_(units);
    }
    if (t.usbdStatus != 0 || t.completed < 0) return {true, 0};
    if (!setup.IsIn()) return {false, setup.wLength};
    const uint32_t n = std::min<uint32_t>(static_cast<uint32_t>(t.in.size()), setup.wLength);
    if (n) std::memcpy(data, t.in.data(), n);
    return {false, n};
}

ControlResult ReplayDevice::Control(const SetupPacket& setup, uint8_t* data) {
    const auto bytes = setup.Bytes();
    const CapturedTransfer* match = nullptr;
    {
        std::lock_guard lock(mu_);
        if (divergence_) return {true, 0};
        if (IsVendor(bytes)) {
            if (next_ < vendor_.size() && vendor_[next_].setup == bytes) {
                match = &vendor_[next_++];
            } else {
                Divergence d;
                d.vendorIndex = next_;
                d.received = bytes;
                if (next_ < vendor_.size()) d.expected = vendor_[next_].setup;
                divergence_ = d;
                return {true, 0};
            }
        } else {
            // The same setup packet, else one that differs in wLength only
            // (the bus reads 18 bytes of device descriptor, a driver may
            // read a descriptor's head first).
            for (const auto& t : standard_)
                if (t.setup == bytes) {
                    match = &t;
                    break;
                }
            if (!match)
                for (const auto& t : standard_)
                    if (std::equal(t.setup.begin(), t.setup.begin() + 6, bytes.begin())) {
                        match = &t;
                        break;
                    }
            if (!match) return {true, 0};
        }
    }
    return Serve(*match, setup, data);
}

std::vector<uint8_t> ReplayDevice::ConfigurationDescriptor() const {
    // The longest recorded read of configuration descriptor 0 holds all of it.
    const CapturedTransfer* best = nullptr;
    for (const auto& t : standard_)
        if (t.setup[0] == 0x80 && t.setup[1] == 0x06 && t.setup[3] == 0x02 && t.setup[2] == 0 &&
            (!best || t.in.size() > best->in.size()))
            best = &t;
    return best ? best->in : std::vector<uint8_t>{};
}

std::optional<ReplayDevice::Divergence> ReplayDevice::FirstDivergence() const {
    std::lock_guard lock(mu_);
    return divergence_;
}

size_t ReplayDevice::VendorReplayed() const {
    std::lock_guard lock(mu_);
    return next_;
}

std::string ReplayDevice::Describe(const Divergence& d) {
    return "vendor request #" + std::to_string(d.vendorIndex + 1) + ": received " + HexSetup(d.received) +
           ", the recording holds " + (d.expected ? HexSetup(*d.expected) : std::string("no more vendor requests"));
}

}  // namespace orvex::sim
