// Kernel streaming devices: when each KSDEVICE_DISPATCH callback runs
// against the IRP's trip down the stack, who completes what, and power IRPs.
#include "StackFixture.h"

using namespace hosted;
using namespace kstest;

namespace {

class KsStart : public StackTest, public ::testing::WithParamInterface<bool> {
protected:
    void Customise() override
    {
        g.bus.pendStart = GetParam();
        g.faults.registerInStart = false;
    }
};

// The test driver hands the start IRP to kernel streaming with its own
// completion routine set below it, and waits only for STATUS_PENDING: kernel
// streaming must send the IRP down, wait for the bus, complete the IRP itself
// and report a final status.
TEST_P(KsStart, CompletesTheStartItselfAndRunsPostStartOnAWorkerAfterwards)
{
    EXPECT_EQ(TakeLog(), "Add ");
    EXPECT_EQ(Pnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
    PKSDEVICE ks = KsGetDeviceForDeviceObject(g.fdo);
    ASSERT_NE(ks, nullptr);
    EXPECT_TRUE(ks->Started);
    EXPECT_EQ(TakeLog(), "bus:start Start ");  // PostStart has not run inside the start IRP
    Yield();
    EXPECT_EQ(TakeLog(), "PostStart ");
    EXPECT_EQ(g.postStartThread, "ks PostStart");
}

TEST_P(KsStart, AFailedBusStartSkipsTheCallbacks)
{
    g.bus.startStatus = STATUS_DEVICE_NOT_READY;
    TakeLog();
    EXPECT_EQ(Pnp(IRP_MN_START_DEVICE), STATUS_DEVICE_NOT_READY);
    Yield();
    EXPECT_EQ(TakeLog(), "bus:start ");
    EXPECT_FALSE(KsGetDeviceForDeviceObject(g.fdo)->Started);
}

INSTANTIATE_TEST_SUITE_P(BusCompletes, KsStart, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Later" : "AtOnce"; });

class KsOrder : public StackTest, public ::testing::WithParamInterface<Ks::Order> {
protected:
    void Customise() override { Ks::SetAllOrders(GetParam()); }
    // "Callback bus:minor" or "bus:minor Callback", as the order says.
    std::string Around(const std::string& callback, const std::string& bus)
    {
        return GetParam() == Ks::Order::CallbackFirst ? callback + " " + bus + " " : bus + " " + callback + " ";
    }
};

TEST_P(KsOrder, EveryPlugAndPlaySequenceReachesTheCallbacksInTheSetOrder)
{
    TakeLog();
    PDEVICE_OBJECT fdo = g.fdo;
    ASSERT_EQ(Pnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
    Yield();
    EXPECT_EQ(TakeLog(), "bus:start Start PostStart ");

    DEVICE_CAPABILITIES caps;
    EXPECT_EQ(Caps(caps), STATUS_SUCCESS);
    EXPECT_EQ(TakeLog(), "bus:caps Caps:S3 ");  // the callback sees what the bus filled in

    // Rebalance: query-stop, stop, start again.
    EXPECT_EQ(Pnp(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Pnp(IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_FALSE(KsGetDeviceForDeviceObject(fdo)->Started);
    EXPECT_EQ(Pnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
    Yield();
    EXPECT_EQ(TakeLog(), "QueryStop bus:query-stop " + Around("Stop", "bus:stop") + "bus:start Start PostStart ");

    // Cancelled stop and cancelled removal.
    EXPECT_EQ(Pnp(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Pnp(IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Pnp(IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Pnp(IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(TakeLog(), "QueryStop bus:query-stop " + Around("CancelStop", "bus:cancel-stop") +
                             "QueryRemove bus:query-remove " + Around("CancelRemove", "bus:cancel-remove"));
    EXPECT_TRUE(KsGetDeviceForDeviceObject(fdo)->Started);

    // Unplug: surprise removal, then removal; a device still started is
    // stopped before Remove, and the function device goes away.
    EXPECT_EQ(Pnp(IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
    EXPECT_EQ(Pnp(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    std::string remove = GetParam() == Ks::Order::CallbackFirst ? "Stop Remove bus:remove " : "bus:remove Stop Remove ";
    EXPECT_EQ(TakeLog(), Around("SurpriseRemoval", "bus:surprise") + remove);
    EXPECT_EQ(pdo_->AttachedDevice, nullptr);
    EXPECT_EQ(host_.Object()->DeviceObject, nullptr);
    EXPECT_EQ(KsGetDeviceForDeviceObject(fdo), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Both, KsOrder, ::testing::Values(Ks::Order::CallbackFirst, Ks::Order::ForwardFirst),
                         [](const auto& info) {
                             return info.param == Ks::Order::CallbackFirst ? "CallbackFirst" : "ForwardFirst";
                         });

using KsDevice = StackTest;

// A stop never overtakes PostStart: the stop waits for it.
TEST_F(KsDevice, StopWaitsForARunningPostStart)
{
    g.faults.registerInStart = false;
    ASSERT_EQ(Pnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Pnp(IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(TakeLog(), "Add bus:start Start PostStart Stop bus:stop ");
}

// A refused query goes no further than kernel streaming, and the device stays started.
TEST_F(KsDevice, ARefusedQueryStopIsCompletedWithoutTheBus)
{
    ASSERT_EQ(Pnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
    Yield();
    TakeLog();
    g.faults.queryStopStatus = STATUS_DEVICE_BUSY;
    EXPECT_EQ(Pnp(IRP_MN_QUERY_STOP_DEVICE), STATUS_DEVICE_BUSY);
    EXPECT_EQ(TakeLog(), "QueryStop ");
    EXPECT_TRUE(KsGetDeviceForDeviceObject(g.fdo)->Started);

    // STATUS_PENDING is no answer to a query.
    g.faults.queryStopStatus = STATUS_PENDING;
    EXPECT_EQ(Pnp(IRP_MN_QUERY_STOP_DEVICE), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(OneViolation("QueryStop/QueryRemove callback returned STATUS_PENDING"));
}

// Kernel streaming completes the start IRP itself, so a Start that pends it
// has nobody to finish it: caught, and the start fails.
TEST_F(KsDevice, AStartCallbackReturningPendingIsCaught)
{
    g.faults.startReturnsPending = true;
    g.faults.registerInStart = false;
    EXPECT_EQ(Pnp(IRP_MN_START_DEVICE), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(OneViolation("Start callback returned STATUS_PENDING"));
    EXPECT_FALSE(KsGetDeviceForDeviceObject(g.fdo)->Started);
    Yield();
    EXPECT_EQ(TakeLog(), "Add bus:start Start ");  // no PostStart after a failed start
}

TEST_F(KsDevice, APostStartReturningPendingIsCaught)
{
    g.faults.postStartStatus = STATUS_PENDING;
    ASSERT_EQ(Pnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
    Yield();
    EXPECT_TRUE(OneViolation("PostStart callback returned STATUS_PENDING"));
}

TEST_F(KsDevice, PowerIrpsKeepTheLowerStatusAndD0ReachesTheBusFirst)
{
    ASSERT_EQ(Pnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
    Yield();
    PKSDEVICE ks = KsGetDeviceForDeviceObject(g.fdo);
    TakeLog();

    EXPECT_EQ(Power(IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(TakeLog(), "SetPower:D3 bus:D3 ");  // the device is told while it still has power
    EXPECT_EQ(ks->DevicePowerState, PowerDeviceD3);
    EXPECT_EQ(Io::DevicePower(g.fdo), PowerDeviceD3);

    EXPECT_EQ(Power(IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(TakeLog(), "bus:D0 SetPower:D0 ");  // only once the bus has powered it up
    EXPECT_EQ(ks->DevicePowerState, PowerDeviceD0);
    EXPECT_EQ(Io::DevicePower(g.fdo), PowerDeviceD0);

    // This bus cannot wake: it leaves the wait-wake status as it came, and
    // so does kernel streaming.
    EXPECT_EQ(Power(IRP_MN_WAIT_WAKE, SystemPowerState, PowerSystemSleeping3), STATUS_NOT_SUPPORTED);

    // A query the callback refuses is failed without reaching the bus.
    EXPECT_EQ(Power(IRP_MN_QUERY_POWER, DevicePowerState, PowerDeviceD1), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(Power(IRP_MN_QUERY_POWER, DevicePowerState, PowerDeviceD2), STATUS_SUCCESS);
    EXPECT_EQ(TakeLog(), "QueryPower:D1 QueryPower:D2 ");

    EXPECT_EQ(Power(IRP_MN_SET_POWER, SystemPowerState, PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(ks->SystemPowerState, PowerSystemSleeping3);
}

class KsNullDevice : public StackTest {
    void Customise() override { g.faults.nullDeviceArgument = true; }
};

// KsCreateDevice's last argument is optional; the driver finds its KSDEVICE
// through the function device object.
TEST_F(KsNullDevice, CreateDeviceTakesANullDeviceArgument)
{
    ASSERT_NE(g.fdo, nullptr);
    PKSDEVICE ks = KsGetDeviceForDeviceObject(g.fdo);
    ASSERT_NE(ks, nullptr);
    EXPECT_EQ(*static_cast<PKSDEVICE*>(g.fdo->DeviceExtension) != nullptr, true);  // kernel streaming's header
    EXPECT_EQ(ks->PhysicalDeviceObject, pdo_);
    EXPECT_EQ(ks->NextDeviceObject, pdo_);
    EXPECT_TRUE(g.fdo->Flags & DO_POWER_PAGABLE);
    EXPECT_EQ(TakeLog(), "Add ");
}

NTSTATUS NTAPI SignalDone(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(KsDevice, PlugAndPlayAbovePassiveLevelIsCaught)
{
    PIRP irp = Io::BuildIrp(pdo_, IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    IoCallDriver(pdo_->AttachedDevice, irp);
    KeLowerIrql(old);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    IoFreeIrp(irp);
    EXPECT_TRUE(OneViolation("plug-and-play IRP at IRQL 2"));
}

// No descriptor at all: every slot is empty, and kernel streaming alone
// carries the device through start, power and removal.
TEST(KsDispatch, ADeviceWithoutCallbacksGoesThroughEverySequence)
{
    TestPlatform platform;
    Reset();
    PDRIVER_OBJECT bus = CreateBus();
    PDEVICE_OBJECT pdo = CreateBusPdo(bus);
    PDRIVER_OBJECT drv = Io::CreateDriver("\\Driver\\bare");
    for (UCHAR major : {UCHAR(IRP_MJ_PNP), UCHAR(IRP_MJ_POWER)})
        drv->MajorFunction[major] = [](PDEVICE_OBJECT d, PIRP irp) NTAPI { return KsDispatchIrp(d, irp); };
    PKSDEVICE ks = nullptr;
    ASSERT_EQ(KsCreateDevice(drv, pdo, nullptr, 0, &ks), STATUS_SUCCESS);
    auto pnp = [&](UCHAR minor) { return Io::SendPnp(pdo, minor, [](PIO_STACK_LOCATION) {}); };
    EXPECT_EQ(pnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
    EXPECT_TRUE(ks->Started);
    PIRP d3 = Io::BuildIrp(pdo, IRP_MJ_POWER, IRP_MN_SET_POWER);
    IoGetNextIrpStackLocation(d3)->Parameters.Power.Type = DevicePowerState;
    IoGetNextIrpStackLocation(d3)->Parameters.Power.State.DeviceState = PowerDeviceD3;
    EXPECT_EQ(Io::SendAndWait(pdo, d3), STATUS_SUCCESS);
    EXPECT_EQ(ks->DevicePowerState, PowerDeviceD3);
    EXPECT_EQ(pnp(IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(pnp(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(g.log, "bus:start bus:D3 bus:query-remove bus:remove ");
    EXPECT_EQ(drv->DeviceObject, nullptr);
    IoDeleteDevice(pdo);
    Io::DeleteDriver(drv);
    Io::DeleteDriver(bus);
}

TEST(KsDispatch, RefusesADeviceKernelStreamingDidNotCreate)
{
    TestPlatform platform;
    PDRIVER_OBJECT drv = Io::CreateDriver("\\Driver\\notks");
    drv->MajorFunction[IRP_MJ_PNP] = [](PDEVICE_OBJECT d, PIRP irp) NTAPI { return KsDispatchIrp(d, irp); };
    PDEVICE_OBJECT dev = nullptr;
    ASSERT_EQ(IoCreateDevice(drv, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &dev), STATUS_SUCCESS);
    EXPECT_EQ(Io::SendPnp(dev, IRP_MN_START_DEVICE, [](PIO_STACK_LOCATION) {}), STATUS_INVALID_DEVICE_REQUEST);
    auto v = Verifier::Take();
    ASSERT_EQ(v.size(), 1u);
    EXPECT_NE(v[0].find("not created by KsCreateDevice"), std::string::npos);
    IoDeleteDevice(dev);
    Io::DeleteDriver(drv);
}

}  // namespace
