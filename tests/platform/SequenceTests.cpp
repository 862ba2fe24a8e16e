// The PnP and power managers driving an ordinary WDM function driver over a
// test bus, in both ways of delivering power callbacks and with the bus
// completing at PASSIVE_LEVEL and at DISPATCH_LEVEL.
#include <algorithm>
#include <optional>

#include <hosted/gtest.h>

#include "Rig.h"

using namespace hosted;
using namespace platformtest;

namespace {

struct Mode {
    Power::CallbackMode callbacks;
    bool busAtDispatch;
};

std::string ModeName(const ::testing::TestParamInfo<Mode>& info)
{
    return std::string(info.param.callbacks == Power::CallbackMode::Inline ? "Inline" : "Deferred") +
           (info.param.busAtDispatch ? "Dispatch" : "Passive");
}

std::vector<std::string> NamesFor(PDEVICE_OBJECT pdo, size_t from = 0)
{
    std::vector<std::string> out;
    auto log = Pnp::Log();
    for (size_t i = from; i < log.size(); ++i)
        if (log[i].pdo == pdo) out.push_back(log[i].Name());
    return out;
}

// `want` appears in `have` in this order (other entries may come between).
::testing::AssertionResult InOrder(const std::vector<std::string>& have, const std::vector<std::string>& want)
{
    size_t i = 0;
    for (auto& h : have)
        if (i < want.size() && h == want[i]) ++i;
    if (i == want.size()) return ::testing::AssertionSuccess();
    std::string all;
    for (auto& h : have) all += h + " ";
    return ::testing::AssertionFailure() << "missing '" << want[i] << "' in order; sent: " << all;
}

class Sequences : public ::testing::TestWithParam<Mode> {
protected:
    PDEVICE_OBJECT Plug() { return rig_.Plug(); }

    TestPlatform platform_;
    Rig rig_{{}, GetParam().callbacks, GetParam().busAtDispatch};
    std::optional<TestBus>& bus_ = rig_.bus;
};

TEST_P(Sequences, StartLoadsOnceAndUnloadsAfterTheLastDevice)
{
    PDEVICE_OBJECT a = Plug();
    PDEVICE_OBJECT b = Plug();
    EXPECT_EQ(Pnp::State(a), DeviceState::Started);
    EXPECT_EQ(Pnp::State(b), DeviceState::Started);
    EXPECT_NE(Pnp::Top(a), a);
    EXPECT_EQ(g_driverStats.entries, 1);
    EXPECT_EQ(g_driverStats.addDevices, 2);
    EXPECT_TRUE(InOrder(NamesFor(a), {"QUERY_ID(DeviceID)", "QUERY_ID(InstanceID)", "QUERY_ID(HardwareIDs)",
                                      "QUERY_ID(CompatibleIDs)", "QUERY_CAPABILITIES", "QUERY_RESOURCE_REQUIREMENTS",
                                      "FILTER_RESOURCE_REQUIREMENTS", "START_DEVICE", "QUERY_CAPABILITIES",
                                      "QUERY_PNP_DEVICE_STATE", "QUERY_DEVICE_RELATIONS(BusRelations)"}));
    EXPECT_EQ(Pnp::Instance(a), "TESTBUS\\VID_1234&PID_0001\\1");

    size_t mark = Pnp::Log().size();
    bus_->Unplug(a);
    Settle();
    EXPECT_EQ(NamesFor(a, mark), (std::vector<std::string>{"SURPRISE_REMOVAL", "REMOVE_DEVICE"}));
    EXPECT_TRUE(Pnp::DriverLoaded("PLATTEST"));
    EXPECT_EQ(g_driverStats.unloads, 0);
    bus_->Unplug(b);
    Settle();
    EXPECT_FALSE(Pnp::DriverLoaded("PLATTEST"));
    EXPECT_EQ(g_driverStats.unloads, 1);
    EXPECT_EQ(g_driverStats.surpriseRemovals, 2);
    EXPECT_EQ(g_driverStats.removes, 2);
}

TEST_P(Sequences, RebalanceStopsAndStartsOrCancelsTheStop)
{
    PDEVICE_OBJECT pdo = Plug();
    size_t mark = Pnp::Log().size();
    EXPECT_EQ(Pnp::Rebalance(pdo), STATUS_SUCCESS);
    EXPECT_TRUE(InOrder(NamesFor(pdo, mark), {"QUERY_STOP_DEVICE", "STOP_DEVICE", "START_DEVICE"}));
    EXPECT_EQ(g_driverStats.starts, 2);

    g_driverConfig.refuseQueryStop = true;
    mark = Pnp::Log().size();
    EXPECT_EQ(Pnp::Rebalance(pdo), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(NamesFor(pdo, mark), (std::vector<std::string>{"QUERY_STOP_DEVICE", "CANCEL_STOP_DEVICE"}));
    EXPECT_EQ(Pnp::State(pdo), DeviceState::Started);
}

TEST_P(Sequences, DisableEnableAndCancelRemove)
{
    PDEVICE_OBJECT pdo = Plug();
    g_driverConfig.refuseQueryRemove = true;
    size_t mark = Pnp::Log().size();
    EXPECT_EQ(Pnp::Disable(pdo), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(NamesFor(pdo, mark), (std::vector<std::string>{"QUERY_REMOVE_DEVICE", "CANCEL_REMOVE_DEVICE"}));
    EXPECT_EQ(Pnp::State(pdo), DeviceState::Started);

    g_driverConfig.refuseQueryRemove = false;
    EXPECT_EQ(Pnp::Disable(pdo), STATUS_SUCCESS);
    EXPECT_EQ(Pnp::State(pdo), DeviceState::Disabled);
    EXPECT_EQ(Pnp::Top(pdo), pdo);
    EXPECT_FALSE(Pnp::DriverLoaded("PLATTEST"));

    EXPECT_EQ(Pnp::Enable(pdo), STATUS_SUCCESS);
    EXPECT_EQ(Pnp::State(pdo), DeviceState::Started);
    EXPECT_EQ(g_driverStats.entries, 2);
}

TEST_P(Sequences, EjectRemovesTheStackThenEjectsAtThePdo)
{
    PDEVICE_OBJECT pdo = Plug();
    size_t mark = Pnp::Log().size();
    EXPECT_EQ(Pnp::Eject(pdo), STATUS_SUCCESS);
    EXPECT_EQ(NamesFor(pdo, mark), (std::vector<std::string>{"QUERY_REMOVE_DEVICE", "REMOVE_DEVICE", "EJECT"}));
    EXPECT_FALSE(Pnp::DriverLoaded("PLATTEST"));
}

TEST_P(Sequences, RelationsComeBackWithoutTheirReferences)
{
    PDEVICE_OBJECT pdo = Plug();
    std::vector<PDEVICE_OBJECT> target;
    EXPECT_EQ(Pnp::QueryRelations(pdo, TargetDeviceRelation, &target), STATUS_SUCCESS);
    EXPECT_EQ(target, std::vector<PDEVICE_OBJECT>{pdo});
    EXPECT_EQ(pdo->ReferenceCount, 0);
    // Relations nobody answers keep the status the manager preset.
    EXPECT_EQ(Pnp::QueryRelations(pdo, RemovalRelations, &target), STATUS_NOT_SUPPORTED);
    EXPECT_TRUE(target.empty());
}

TEST_P(Sequences, DeviceReportedFailedIsTakenDownUntilEnabled)
{
    PDEVICE_OBJECT pdo = Plug();
    g_driverConfig.reportFailed = true;
    size_t mark = Pnp::Log().size();
    IoInvalidateDeviceState(pdo);
    Settle();
    EXPECT_EQ(NamesFor(pdo, mark),
              (std::vector<std::string>{"QUERY_PNP_DEVICE_STATE", "SURPRISE_REMOVAL", "REMOVE_DEVICE"}));
    EXPECT_EQ(Pnp::State(pdo), DeviceState::StartFailed);
    EXPECT_FALSE(Pnp::DriverLoaded("PLATTEST"));

    g_driverConfig.reportFailed = false;
    EXPECT_EQ(Pnp::Enable(pdo), STATUS_SUCCESS);
    EXPECT_EQ(Pnp::State(pdo), DeviceState::Started);
}

TEST_P(Sequences, FailedStartRemovesTheStackAndUnloads)
{
    TestBus::Fail(IRP_MJ_PNP, IRP_MN_START_DEVICE, STATUS_DEVICE_NOT_READY, 1);
    PDEVICE_OBJECT pdo = Plug();
    EXPECT_EQ(Pnp::State(pdo), DeviceState::StartFailed);
    IrpRecord start;
    ASSERT_TRUE(Pnp::LastIrp(pdo, IRP_MN_START_DEVICE, &start));
    EXPECT_EQ(start.status, STATUS_DEVICE_NOT_READY);
    EXPECT_TRUE(Pnp::LastIrp(pdo, IRP_MN_REMOVE_DEVICE, nullptr));
    EXPECT_FALSE(Pnp::DriverLoaded("PLATTEST"));
}

TEST_P(Sequences, SleepStatesMapToDeviceStatesWithAndWithoutWake)
{
    for (bool wake : {false, true}) {
        SCOPED_TRACE(wake ? "wake armed" : "no wake");
        g_driverConfig.armWake = wake;
        PDEVICE_OBJECT pdo = Plug();
        PDEVICE_OBJECT fdo = Pnp::Top(pdo);
        EXPECT_EQ(bus_->WaitWakePending(pdo), wake);

        ASSERT_EQ(Power::Sleep(PowerSystemSleeping3), STATUS_SUCCESS);
        EXPECT_EQ(Power::SystemState(), PowerSystemSleeping3);
        EXPECT_EQ(DriverDevicePower(fdo), PowerDeviceD2);
        EXPECT_EQ(Io::DevicePower(pdo), PowerDeviceD2);
        EXPECT_EQ(bus_->WaitWakePending(pdo), wake);
        ASSERT_EQ(Power::Wake(), STATUS_SUCCESS);
        EXPECT_EQ(DriverDevicePower(fdo), PowerDeviceD0);

        ASSERT_EQ(Power::Sleep(PowerSystemHibernate), STATUS_SUCCESS);
        EXPECT_EQ(Io::DevicePower(pdo), PowerDeviceD3);
        ASSERT_EQ(Power::Wake(), STATUS_SUCCESS);
        EXPECT_EQ(Io::DevicePower(pdo), PowerDeviceD0);

        // The record tells IRPs passed on after PoStartNextPowerIrp (skipped
        // down) from those the driver finishes in a completion routine.
        int before = 0, after = 0;
        for (auto& p : Power::Passed())
            if (p.from == fdo) (p.startNextCalled ? before : after)++;
        EXPECT_GT(before, 0);
        EXPECT_GT(after, 0);
        Pnp::Disable(pdo);
        Settle();
    }
}

TEST_P(Sequences, ShutdownPowersEveryStackOff)
{
    for (bool wake : {false, true}) {
        SCOPED_TRACE(wake ? "wake armed" : "no wake");
        g_driverConfig.armWake = wake;
        size_t mark = Pnp::Log().size();
        PDEVICE_OBJECT a = Plug();
        PDEVICE_OBJECT b = Plug();
        ASSERT_EQ(Power::Shutdown(), STATUS_SUCCESS);
        EXPECT_EQ(Power::SystemState(), PowerSystemShutdown);
        EXPECT_EQ(Io::DevicePower(a), PowerDeviceD3);
        EXPECT_EQ(Io::DevicePower(b), PowerDeviceD3);
        // No query before a shutdown.
        EXPECT_TRUE(InOrder(NamesFor(a, mark), {"START_DEVICE", "SET_POWER(D3)", "SET_POWER(Shutdown)"}));
        for (auto& name : NamesFor(a, mark)) EXPECT_EQ(name.find("QUERY_POWER"), std::string::npos);
        EXPECT_EQ(bus_->WaitWakePending(a), wake);
        Pnp::Disable(a);
        Pnp::Disable(b);
    }
}

TEST_P(Sequences, RefusedSleepQueryKeepsTheSystemAwake)
{
    PDEVICE_OBJECT pdo = Plug();
    g_driverConfig.refuseQuerySystemPower = true;
    size_t mark = Pnp::Log().size();
    EXPECT_EQ(Power::Sleep(PowerSystemSleeping3), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Power::SystemState(), PowerSystemWorking);
    EXPECT_TRUE(InOrder(NamesFor(pdo, mark), {"QUERY_POWER(S3)", "SET_POWER(S0)"}));
    EXPECT_EQ(Io::DevicePower(pdo), PowerDeviceD0);
}

TEST_P(Sequences, WaitWakeSignalledWakesTheDeviceAndIsRearmed)
{
    g_driverConfig.armWake = true;
    PDEVICE_OBJECT pdo = Plug();
    PDEVICE_OBJECT fdo = Pnp::Top(pdo);
    ASSERT_EQ(Power::Sleep(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(DriverDevicePower(fdo), PowerDeviceD2);
    ASSERT_TRUE(bus_->SignalWake(pdo));
    Settle();
    EXPECT_EQ(g_driverStats.wakeResults, (std::vector<NTSTATUS>{STATUS_SUCCESS}));
    EXPECT_EQ(DriverDevicePower(fdo), PowerDeviceD0);
    EXPECT_EQ(g_driverStats.rearms, 1);
    EXPECT_TRUE(bus_->WaitWakePending(pdo));
    EXPECT_EQ(Power::Wake(), STATUS_SUCCESS);
}

TEST_P(Sequences, WaitWakeIsCancelledAtSurpriseRemoval)
{
    g_driverConfig.armWake = true;
    PDEVICE_OBJECT pdo = Plug();
    ASSERT_TRUE(bus_->WaitWakePending(pdo));
    bus_->Unplug(pdo);
    Settle();
    EXPECT_EQ(g_driverStats.wakeResults, (std::vector<NTSTATUS>{STATUS_CANCELLED}));
}

INSTANTIATE_TEST_SUITE_P(Modes, Sequences,
                         ::testing::Values(Mode{Power::CallbackMode::Inline, false},
                                           Mode{Power::CallbackMode::Inline, true},
                                           Mode{Power::CallbackMode::Deferred, false},
                                           Mode{Power::CallbackMode::Deferred, true}),
                         ModeName);

// A driver that does not load, or whose AddDevice fails, leaves the device
// without a stack and nothing behind.
TEST(LoadFailures, DeviceStaysWithoutAStack)
{
    struct Case {
        const char* name;
        NTSTATUS entry;
        bool failCreate;
        bool failIds;
        int entries, unloads;
        DeviceState state;
    };
    for (const Case& c : {Case{"DriverEntry fails", STATUS_INSUFFICIENT_RESOURCES, false, false, 1, 0,
                               DeviceState::StartFailed},
                          Case{"AddDevice fails", STATUS_SUCCESS, true, false, 1, 1, DeviceState::StartFailed},
                          Case{"no IDs to match", STATUS_SUCCESS, false, true, 0, 0, DeviceState::Enumerated}}) {
        SCOPED_TRACE(c.name);
        TestPlatform platform;
        Rig rig({.entryStatus = c.entry}, Power::CallbackMode::Inline, false, TestBus::kCompatibleId);
        if (c.failIds) {
            // The third and fourth IDs asked for: hardware and compatible IDs.
            TestBus::Fail(IRP_MJ_PNP, IRP_MN_QUERY_ID, STATUS_INSUFFICIENT_RESOURCES, 3);
            TestBus::Fail(IRP_MJ_PNP, IRP_MN_QUERY_ID, STATUS_INSUFFICIENT_RESOURCES, 4);
        }
        PDEVICE_OBJECT pdo = rig.bus->Plug();
        if (c.failCreate) Io::FailCreateDevice(1);  // the driver's IoCreateDevice, after the bus's
        Settle();
        EXPECT_EQ(Pnp::State(pdo), c.state);
        EXPECT_EQ(g_driverStats.entries, c.entries);
        EXPECT_EQ(Pnp::Top(pdo), pdo);
        EXPECT_FALSE(Pnp::DriverLoaded("PLATTEST"));
        EXPECT_EQ(g_driverStats.unloads, c.unloads);
        EXPECT_FALSE(Pnp::LastIrp(pdo, IRP_MN_START_DEVICE, nullptr));
    }
}

// The test bus answers device and instance IDs as single strings with one
// NUL in exactly sized blocks, so under AddressSanitizer a manager that read
// them as lists would run past their end. A driver matched on the second
// hardware ID proves the lists are still read whole.
TEST(QueryIds, SingleIdsAreReadToTheirOneNulAndListsWhole)
{
    TestPlatform platform;
    Rig rig({}, Power::CallbackMode::Inline, false, "TESTBUS\\VID_1234");
    PDEVICE_OBJECT first = rig.Plug();
    PDEVICE_OBJECT second = rig.Plug();
    EXPECT_EQ(Pnp::Instance(first), "TESTBUS\\VID_1234&PID_0001\\1");
    EXPECT_EQ(Pnp::Instance(second), "TESTBUS\\VID_1234&PID_0001\\2");
    EXPECT_EQ(Pnp::State(first), DeviceState::Started);
    EXPECT_EQ(g_driverStats.addDevices, 2);
}

// Wake signal and removal racing: whichever wins, the wait/wake IRP completes
// exactly once and the device goes away cleanly.
TEST(WaitWakeRace, SignalAndCancelRaceInEitherOrder)
{
    for (bool signalFirst : {true, false})
        for (auto mode : {Power::CallbackMode::Inline, Power::CallbackMode::Deferred}) {
            SCOPED_TRACE(std::string(signalFirst ? "signal first" : "cancel first") +
                         (mode == Power::CallbackMode::Inline ? ", inline" : ", deferred"));
            TestPlatform platform;
            Rig rig({.armWake = true}, mode, true);
            TestBus& bus = *rig.bus;
            PDEVICE_OBJECT pdo = rig.Plug();
            ASSERT_TRUE(bus.WaitWakePending(pdo));
            auto signal = [&] { bus.SignalWake(pdo); };
            auto disable = [&] { Pnp::Disable(pdo); };
            Thread first = StartThread("first", signalFirst ? std::function<void()>(signal) : disable);
            Thread second = StartThread("second", signalFirst ? std::function<void()>(disable) : signal);
            first.Join();
            second.Join();
            Settle();
            // Signalled, or cancelled; a wake handled before the removal
            // began is re-armed and that IRP is cancelled in turn.
            auto& r = g_driverStats.wakeResults;
            ASSERT_FALSE(r.empty());
            EXPECT_LE(r.size(), 2u);
            EXPECT_EQ(r.back(), r.size() == 1 && r[0] == STATUS_SUCCESS ? STATUS_SUCCESS : STATUS_CANCELLED);
            if (r.size() == 2) {
                EXPECT_EQ(r[0], STATUS_SUCCESS);
            }
            EXPECT_EQ(Pnp::State(pdo), DeviceState::Disabled);
            EXPECT_FALSE(bus.WaitWakePending(pdo));
        }
}

}  // namespace
