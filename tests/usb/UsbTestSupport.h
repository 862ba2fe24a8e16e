// A camera on the hosted USB bus and one CUsbDevice above it, with the
// KSDEVICE built by the test (HandBuiltDevice).
#pragma once

#include <hosted/gtest.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Log.h"
#include "SendUrb.h"
#include "HandBuiltDevice.h"
#include "UsbDevice.h"
#include "VendorChannel.h"

namespace orvex::test {

using hosted::usb::FaultKind;
using hosted::usb::FaultSpec;

constexpr uint32_t kHarn = 0x6E726148;

inline std::vector<uint8_t> Bytes(const void* p, size_t n)
{
    auto* b = static_cast<const uint8_t*>(p);
    return {b, b + n};
}

// A pointer as the driver prints it: %x of its low 32 bits.
inline std::string Hex(const void* p)
{
    char text[16];
    snprintf(text, sizeof text, "%x", unsigned(uintptr_t(p)));
    return text;
}

class UsbTest : public hosted::PlatformTest, protected HandBuiltDevice {
protected:
    // With `addMask` given, Add runs under that mask and its lines stay in
    // the trace; otherwise the trace starts empty after Add.
    void Boot(orvex::sim::CameraConfig config = {}, std::optional<ULONG> addMask = {})
    {
        config.requireUpdateMode = false;
        Plug(orvex::sim::MakeCamera(std::move(config)));
        LogMask = addMask.value_or(0xFFFFFFFF);
        hosted::Trace::Clear();
        ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
        if (!addMask) hosted::Trace::Clear();
    }
    void SetUp() override { Boot(); }
    void TearDown() override { Shutdown(); }
    // Removes and deletes the device, then takes the camera off the bus.
    void Shutdown()
    {
        hosted::Pool::ClearFailures();
        if (bus) bus->ClearFaults();
        Unplug();
        LogMask = 0xFFFFFFFF;
    }
    void Reboot(orvex::sim::CameraConfig config = {})
    {
        Shutdown();
        Boot(std::move(config));
    }
    // wLength of every configuration descriptor read in the bus log.
    std::vector<uint16_t> ConfigReads() const
    {
        std::vector<uint16_t> reads;
        for (const auto& t : bus->Log())
            if (t.function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE && t.setup[3] == 2) reads.push_back(t.wLength());
        return reads;
    }
    std::string Text() const { return hosted::Trace::Text(); }
    size_t Lines(const std::string& line) const { return hosted::Trace::CountLine(line); }
};

}  // namespace orvex::test
