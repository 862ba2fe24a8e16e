// Power policy: system requests mapped to device requests, the device object
// told around each device change, queries refused for sleep states the device
// cannot wake from, and the wait-wake request armed, signalled and cancelled —
// with the bus completing at PASSIVE_LEVEL and at DISPATCH_LEVEL.
#include <gtest/gtest.h>

#include <algorithm>

#include "FrameRig.h"

namespace orvex::test {
namespace {

using hosted::Io;
using hosted::Trace;

// Parameter: the bus completes power requests at DISPATCH_LEVEL.
class PowerSequence : public FrameTest, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override
    {
        FrameTest::SetUp();
        ASSERT_EQ(Add(), STATUS_SUCCESS);
        ASSERT_EQ(Start(), STATUS_SUCCESS);
        bus->completeAtDispatch = GetParam();
        bus->traceNotes = true;
    }
    // The trace lines that tell the order: bus requests and device callbacks.
    std::vector<std::string> Order()
    {
        std::vector<std::string> order;
        for (const auto& r : Trace::Records()) {
            if (r.text.rfind("bus: ", 0) == 0 || r.text.find("DeviceSetPower:") != std::string::npos)
                order.push_back(r.text);
        }
        return order;
    }
    NTSTATUS System(UCHAR minor, SYSTEM_POWER_STATE state) { return Power(minor, SystemPowerState, state); }
    // A power request made at DISPATCH_LEVEL reaches this power-pageable
    // stack later, at PASSIVE_LEVEL; waiting a moment lets it through.
    static void Drain() { hosted::Sleep(hosted::Milliseconds(1)); }
};

TEST_P(PowerSequence, SleepThenWake)
{
    // The first system request (Working, from Unspecified) counts as a move
    // to less power: D0 is requested and the S-IRP ends without going down.
    Trace::Clear();
    EXPECT_EQ(System(IRP_MN_SET_POWER, PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(Order(), (std::vector<std::string>{"bus: SET D 1\n"}));
    EXPECT_EQ(data->SystemState, PowerSystemWorking);

    // Sleep: the device goes to D3 (told before the D-IRP goes down), then
    // the S-IRP follows.
    Trace::Clear();
    EXPECT_EQ(System(IRP_MN_SET_POWER, PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(Order(), (std::vector<std::string>{"ORVEX :     DeviceSetPower:   SystemTo = 4, SystemFrom = 1\n",
                                                 "bus: SET D 4\n", "bus: SET S 4\n"}));
    EXPECT_EQ(data->SystemState, PowerSystemSleeping3);
    EXPECT_EQ(data->DeviceState, PowerDeviceD3);
    EXPECT_EQ(Io::DevicePower(fdo), PowerDeviceD3);
    EXPECT_EQ(Io::SystemPower(fdo), PowerSystemSleeping3);
    EXPECT_EQ(Object()->m_ulPowerState, 4u);

    // Wake: the S-IRP goes down first, the D0 request follows on its way
    // back, and the device object hears of D0 once the bus has powered up.
    Trace::Clear();
    EXPECT_EQ(System(IRP_MN_SET_POWER, PowerSystemWorking), STATUS_SUCCESS);
    Drain();
    EXPECT_EQ(Order(), (std::vector<std::string>{"bus: SET S 1\n", "bus: SET D 1\n",
                                                 "ORVEX :     DeviceSetPower:   SystemTo = 1, SystemFrom = 4\n"}));
    EXPECT_EQ(data->SystemState, PowerSystemWorking);
    EXPECT_EQ(data->DeviceState, PowerDeviceD0);
    EXPECT_EQ(Object()->m_ulPowerState, 1u);
    EXPECT_EQ(data->OutstandingIO, 1);
}

TEST_P(PowerSequence, SetPowerToTheStateHeldPassesDownWithoutCallback)
{
    Trace::Clear();
    EXPECT_EQ(Power(IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(Order(), (std::vector<std::string>{"bus: SET D 1\n"}));
    EXPECT_EQ(data->OutstandingIO, 1);
}

TEST_P(PowerSequence, QueriesForStatesTheDeviceCannotWakeFromAreRefusedWhileWakeIsOn)
{
    data->DeviceCaps.SystemWake = PowerSystemSleeping1;
    struct Case {
        SYSTEM_POWER_STATE state;
        BOOLEAN wake;
        NTSTATUS expected;
    };
    const Case cases[] = {
        {PowerSystemSleeping3, TRUE, STATUS_POWER_STATE_INVALID},
        {PowerSystemSleeping2, TRUE, STATUS_POWER_STATE_INVALID},
        {PowerSystemSleeping1, TRUE, STATUS_SUCCESS},
        {PowerSystemSleeping3, FALSE, STATUS_SUCCESS},
        {PowerSystemHibernate, TRUE, STATUS_SUCCESS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.state << " wake " << int(c.wake));
        data->RemoteWakeUpEnabled = c.wake;
        bus->ClearSeen();
        EXPECT_EQ(System(IRP_MN_QUERY_POWER, c.state), c.expected);
        // A refusal is final: the bus below never gets to overwrite it.
        EXPECT_EQ(bus->Seen().size(), c.expected == STATUS_SUCCESS ? 1u : 0u);
    }
    data->RemoteWakeUpEnabled = FALSE;
    EXPECT_EQ(data->OutstandingIO, 1);
}

TEST_P(PowerSequence, SleepWhoseDeviceRequestCannotBeMadeEndsWithTheFailure)
{
    ASSERT_EQ(System(IRP_MN_SET_POWER, PowerSystemWorking), STATUS_SUCCESS);
    // The S-IRP is the first IRP allocation, the D-IRP the second.
    Io::FailIrpAllocation(2);
    EXPECT_EQ(System(IRP_MN_SET_POWER, PowerSystemSleeping3), STATUS_INSUFFICIENT_RESOURCES);
    Io::ClearFailures();
    EXPECT_EQ(data->SystemState, PowerSystemWorking);
    EXPECT_EQ(data->DeviceState, PowerDeviceD0);
    EXPECT_EQ(data->OutstandingIO, 1);
}

TEST_P(PowerSequence, WakeSignalledWhilePoweredDownBringsTheDeviceUp)
{
    data->DeviceCaps.SystemWake = PowerSystemSleeping3;
    data->RemoteWakeUpEnabled = TRUE;
    ASSERT_EQ(Power(IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD2), STATUS_SUCCESS);
    ASSERT_EQ(ArmWaitWake(data), STATUS_PENDING);
    EXPECT_TRUE(bus->WaitWakeHeld());
    EXPECT_EQ(ArmWaitWake(data), STATUS_DEVICE_BUSY);

    Trace::Clear();
    bus->ClearSeen();
    ASSERT_TRUE(bus->SignalWake());
    // Re-armed once the D0 request is done; after a DISPATCH_LEVEL completion
    // through a work item, which runs at PASSIVE_LEVEL when this thread waits.
    Drain();
    EXPECT_EQ(data->DeviceState, PowerDeviceD0);
    EXPECT_EQ(Object()->m_ulPowerState, 1u);
    EXPECT_EQ(bus->Seen(), (std::vector<std::string>{"SET D 1", "WAIT_WAKE 4"}));
    EXPECT_EQ(data->WaitWakeArmed, 1);
    EXPECT_EQ(data->OutstandingIO, 1);
    CancelWaitWake(data);
    EXPECT_EQ(data->WaitWakeArmed, 0);
    EXPECT_EQ(data->WaitWakeIrp, nullptr);
    EXPECT_EQ(data->OutstandingIO, 1);
    data->RemoteWakeUpEnabled = FALSE;
}

TEST_P(PowerSequence, RemovalRightAfterAWakeWaitsForTheRearmAndStopsIt)
{
    data->DeviceCaps.SystemWake = PowerSystemSleeping3;
    data->RemoteWakeUpEnabled = TRUE;
    ASSERT_EQ(Power(IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD3), STATUS_SUCCESS);
    ASSERT_EQ(ArmWaitWake(data), STATUS_PENDING);
    ASSERT_TRUE(bus->SignalWake());
    if (!GetParam()) {
        // Re-armed at once; the removal cancels it again.
        EXPECT_EQ(data->WaitWakeArmed, 1);
    }
    bus->ClearSeen();
    ASSERT_EQ(Remove(), STATUS_SUCCESS);
    // A pending re-arm saw the removal and requested nothing.
    auto seen = bus->Seen();
    EXPECT_EQ(std::count(seen.begin(), seen.end(), "WAIT_WAKE 4"), 0);
    EXPECT_FALSE(bus->WaitWakeHeld());
}

TEST_P(PowerSequence, WakeSignalledInD0OrAfterRemovalBeganRequestsNothing)
{
    data->DeviceCaps.SystemWake = PowerSystemSleeping3;
    ASSERT_EQ(ArmWaitWake(data), STATUS_PENDING);
    bus->ClearSeen();
    ASSERT_TRUE(bus->SignalWake());
    EXPECT_TRUE(bus->Seen().empty());

    ASSERT_EQ(Power(IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD3), STATUS_SUCCESS);
    ASSERT_EQ(ArmWaitWake(data), STATUS_PENDING);
    bus->ClearSeen();
    // Removal has begun: no count can be taken, so no D0 request is made.
    data->RemovePending = TRUE;
    ASSERT_TRUE(bus->SignalWake());
    data->RemovePending = FALSE;
    EXPECT_TRUE(bus->Seen().empty());
    EXPECT_EQ(data->OutstandingIO, 1);
    EXPECT_EQ(data->WaitWakeArmed, 0);
}

TEST_P(PowerSequence, CancelFinishesTheRequestExactlyOnce)
{
    data->DeviceCaps.SystemWake = PowerSystemSleeping3;
    bus->ClearSeen();
    CancelWaitWake(data);  // nothing outstanding: nothing happens
    EXPECT_TRUE(bus->Seen().empty());

    // The bus completes the cancelled request from its cancel routine: the
    // completion routine leaves it to CancelWaitWake, which completes it.
    ASSERT_EQ(ArmWaitWake(data), STATUS_PENDING);
    CancelWaitWake(data);
    EXPECT_FALSE(bus->WaitWakeHeld());
    EXPECT_EQ(data->WaitWakeArmed, 0);

    // The bus ignores the cancel and completes later with success: the
    // completion routine finishes it.
    bus->cancelCompletes = false;
    ASSERT_EQ(ArmWaitWake(data), STATUS_PENDING);
    CancelWaitWake(data);
    EXPECT_TRUE(bus->WaitWakeHeld());
    EXPECT_EQ(data->WaitWakeArmed, 1);
    ASSERT_TRUE(bus->SignalWake());
    EXPECT_EQ(data->WaitWakeArmed, 0);
    EXPECT_EQ(data->OutstandingIO, 1);
}

INSTANTIATE_TEST_SUITE_P(Completion, PowerSequence, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "AtDispatch" : "AtPassive"; });

}  // namespace
}  // namespace orvex::test
