// A device stack for the tests: the bus driver's PDO with the test function
// driver loaded and added on top, and helpers that send PnP and power IRPs
// to the top of the stack as the managers do.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include <hosted/gtest.h>

#include "TestDriver.h"

namespace kstest {

class StackTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Reset();
        Customise();
        bus_ = CreateBus();
        pdo_ = CreateBusPdo(bus_);
        ASSERT_EQ(host_.Load(), STATUS_SUCCESS);
        ASSERT_EQ(host_.AddDevice(pdo_), STATUS_SUCCESS);
    }
    void TearDown() override
    {
        if (pdo_->AttachedDevice) Pnp(IRP_MN_REMOVE_DEVICE);
        IoDeleteDevice(pdo_);
        host_.Unload();
        hosted::Io::DeleteDriver(bus_);
    }
    // Set faults before the driver is loaded.
    virtual void Customise() {}

    NTSTATUS Pnp(UCHAR minor) { return hosted::Io::SendPnp(pdo_, minor, [](PIO_STACK_LOCATION) {}); }
    NTSTATUS Caps(DEVICE_CAPABILITIES& caps)
    {
        caps = DEVICE_CAPABILITIES{};
        caps.Size = sizeof caps;
        caps.Version = 1;
        return hosted::Io::SendPnp(pdo_, IRP_MN_QUERY_CAPABILITIES, [&](PIO_STACK_LOCATION sp) {
            sp->Parameters.DeviceCapabilities.Capabilities = &caps;
        });
    }
    NTSTATUS Power(UCHAR minor, POWER_STATE_TYPE type, ULONG state)
    {
        PIRP irp = hosted::Io::BuildIrp(pdo_, IRP_MJ_POWER, minor);
        PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
        if (minor == IRP_MN_WAIT_WAKE) {
            sp->Parameters.WaitWake.PowerState = SYSTEM_POWER_STATE(state);
        } else {
            sp->Parameters.Power.Type = type;
            if (type == DevicePowerState)
                sp->Parameters.Power.State.DeviceState = DEVICE_POWER_STATE(state);
            else
                sp->Parameters.Power.State.SystemState = SYSTEM_POWER_STATE(state);
        }
        return hosted::Io::SendAndWait(pdo_, irp);
    }
    // Lets every ready hosted thread run (the scheduler never preempts).
    static void Yield(int64_t ms = 1)
    {
        LARGE_INTEGER delay;
        delay.QuadPart = -ms * 10000;
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
    }
    // The log since the last call.
    std::string TakeLog()
    {
        std::string s = g.log;
        g.log.clear();
        return s;
    }
    // True if exactly one violation was recorded and it contains `what`.
    static ::testing::AssertionResult OneViolation(const std::string& what)
    {
        std::vector<std::string> v = hosted::Verifier::Take();
        if (v.size() == 1 && v[0].find(what) != std::string::npos) return ::testing::AssertionSuccess();
        auto r = ::testing::AssertionFailure() << v.size() << " violation(s), expected one with \"" << what << "\":";
        for (auto& s : v) r << "\n  " << s;
        return r;
    }

    hosted::TestPlatform platform_;
    hosted::DriverHost host_{&DriverEntry, "kstest"};
    PDRIVER_OBJECT bus_ = nullptr;
    PDEVICE_OBJECT pdo_ = nullptr;
};

}  // namespace kstest
