// Power at the hosted bus's PDOs: device power transitions, wait-wake held
// until the device signals wake or the IRP is cancelled (both racing), its
// refusals, and completion at DISPATCH_LEVEL catching PASSIVE-only work in
// a completion routine.
#include <hosted/verifier.h>

#include "UsbStackTestUtil.h"

using namespace hosted::usb;
using orvex::sim::MakeCamera;

using usbtest::WakingCamera;

namespace {

// An IRP (power, unless told) sent to the top of a PDO's stack whose
// completion is seen by the sender: status, IRQL, and, when asked, paged pool
// touched in the completion routine (work only allowed below DISPATCH_LEVEL).
class PowerIrp {
public:
    PowerIrp(PDEVICE_OBJECT pdo, UCHAR minor, bool pagedWork = false, UCHAR major = IRP_MJ_POWER)
        : pdo_(pdo), pagedWork_(pagedWork) {
        KeInitializeEvent(&done_, NotificationEvent, FALSE);
        irp_ = hosted::Io::BuildIrp(pdo, major, minor);
        IoSetCompletionRoutine(irp_, &PowerIrp::Done, this, TRUE, TRUE, TRUE);
    }
    ~PowerIrp() {
        if (irp_) IoFreeIrp(irp_);
    }
    PIO_STACK_LOCATION Stack() { return IoGetNextIrpStackLocation(irp_); }
    NTSTATUS Send() { return returned_ = IoCallDriver(pdo_, irp_); }
    NTSTATUS SendWaitWake(SYSTEM_POWER_STATE state) {
        Stack()->Parameters.WaitWake.PowerState = state;
        return Send();
    }
    NTSTATUS Wait() {
        KeWaitForSingleObject(&done_, Executive, KernelMode, FALSE, nullptr);
        return status_;
    }
    bool Completed() { return KeReadStateEvent(&done_) != 0; }
    PIRP Irp() const { return irp_; }
    KIRQL CompletedAt() const { return irql_; }

private:
    static NTSTATUS NTAPI Done(PDEVICE_OBJECT, PIRP irp, PVOID context) {
        auto* self = static_cast<PowerIrp*>(context);
        self->status_ = irp->IoStatus.Status;
        self->irql_ = KeGetCurrentIrql();
        if (self->pagedWork_) ExFreePool(ExAllocatePoolWithTag(PagedPool, 16, hosted::Tag("Test")));
        KeSetEvent(&self->done_, IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    PDEVICE_OBJECT pdo_;
    bool pagedWork_;
    PIRP irp_;
    KEVENT done_;
    NTSTATUS returned_ = STATUS_PENDING;
    NTSTATUS status_ = STATUS_PENDING;
    KIRQL irql_ = PASSIVE_LEVEL;
};

NTSTATUS SetDevicePower(PDEVICE_OBJECT pdo, DEVICE_POWER_STATE state) {
    PowerIrp irp(pdo, IRP_MN_SET_POWER);
    irp.Stack()->Parameters.Power.Type = DevicePowerState;
    irp.Stack()->Parameters.Power.State.DeviceState = state;
    irp.Send();
    return irp.Wait();
}

}  // namespace

class PdoPowerTest : public hosted::PlatformTest {
protected:
    void SetUp() override {
        bus = std::make_unique<Bus>(WakingCamera());
        ASSERT_EQ(hosted::Io::SendPnp(bus->Pdo(), IRP_MN_START_DEVICE, [](PIO_STACK_LOCATION) {}), STATUS_SUCCESS);
    }
    void TearDown() override { bus.reset(); }
    std::unique_ptr<Bus> bus;
};

TEST_F(PdoPowerTest, WaitWakeRefusals) {
    Bus plain(MakeCamera());  // no remote wakeup in its descriptor
    PowerIrp unsupported(plain.Pdo(), IRP_MN_WAIT_WAKE);
    EXPECT_EQ(unsupported.SendWaitWake(PowerSystemSleeping1), STATUS_NOT_SUPPORTED);

    PowerIrp tooDeep(bus->Pdo(), IRP_MN_WAIT_WAKE);
    EXPECT_EQ(tooDeep.SendWaitWake(PowerSystemHibernate), STATUS_INVALID_DEVICE_STATE);

    ASSERT_EQ(SetDevicePower(bus->Pdo(), PowerDeviceD3), STATUS_SUCCESS);
    PowerIrp asleep(bus->Pdo(), IRP_MN_WAIT_WAKE);
    EXPECT_EQ(asleep.SendWaitWake(PowerSystemSleeping3), STATUS_INVALID_DEVICE_STATE)
        << "the device already sleeps deeper than it can wake from";
    ASSERT_EQ(SetDevicePower(bus->Pdo(), PowerDeviceD0), STATUS_SUCCESS);

    PowerIrp first(bus->Pdo(), IRP_MN_WAIT_WAKE);
    ASSERT_EQ(first.SendWaitWake(PowerSystemSleeping3), STATUS_PENDING);
    PowerIrp second(bus->Pdo(), IRP_MN_WAIT_WAKE);
    EXPECT_EQ(second.SendWaitWake(PowerSystemSleeping1), STATUS_DEVICE_BUSY);
    EXPECT_EQ(bus->PendingWaitWake(), first.Irp());
    IoCancelIrp(first.Irp());
    EXPECT_EQ(first.Wait(), STATUS_CANCELLED);
    EXPECT_EQ(bus->PendingWaitWake(), nullptr);
    EXPECT_FALSE(bus->SignalWake()) << "nobody waits for a wake any more";
}

TEST_F(PdoPowerTest, WakeSignalCompletesTheHeldIrpOnABusThread) {
    auto camera = WakingCamera();
    const int port = bus->Plug(camera);
    for (KIRQL irql : {KIRQL(PASSIVE_LEVEL), KIRQL(DISPATCH_LEVEL)}) {
        SCOPED_TRACE(int(irql));
        bus->SetCompletionIrql(irql);
        PowerIrp ww(bus->Pdo(port), IRP_MN_WAIT_WAKE);
        ASSERT_EQ(ww.SendWaitWake(PowerSystemSleeping3), STATUS_PENDING);
        hosted::Sleep(hosted::Seconds(1));
        EXPECT_FALSE(ww.Completed());
        EXPECT_FALSE(bus->SignalWake(1)) << "the other port has no wait-wake";
        EXPECT_TRUE(camera->SignalWake());
        EXPECT_EQ(ww.Wait(), STATUS_SUCCESS);
        EXPECT_EQ(ww.CompletedAt(), irql);
    }
    // Unplugged, the device signals nothing.
    PowerIrp ww(bus->Pdo(port), IRP_MN_WAIT_WAKE);
    ASSERT_EQ(ww.SendWaitWake(PowerSystemSleeping3), STATUS_PENDING);
    bus->Unplug(port);
    EXPECT_FALSE(camera->SignalWake());
    ASSERT_EQ(hosted::Io::SendPnp(bus->Pdo(port), IRP_MN_SURPRISE_REMOVAL, [](PIO_STACK_LOCATION) {}),
              STATUS_SUCCESS);
    EXPECT_EQ(ww.Wait(), STATUS_NO_SUCH_DEVICE);
}

// The wake signal and a cancellation arrive together, from two threads:
// the IRP completes exactly once, with one of the two outcomes.
TEST_F(PdoPowerTest, WakeAndCancelRacing) {
    int wakes = 0;
    for (int round = 0; round < 20; ++round) {
        PowerIrp ww(bus->Pdo(), IRP_MN_WAIT_WAKE);
        ASSERT_EQ(ww.SendWaitWake(PowerSystemSleeping1), STATUS_PENDING);
        bool woke = false;
        auto waker = hosted::StartThread("waker", [&] {
            if (round % 2) hosted::Yield();
            woke = bus->SignalWake();
        });
        if (round % 3 == 0) hosted::Yield();
        const bool cancelled = IoCancelIrp(ww.Irp());
        waker.Join();
        const NTSTATUS status = ww.Wait();
        EXPECT_TRUE(woke != cancelled) << "round " << round;
        EXPECT_EQ(status, woke ? STATUS_SUCCESS : STATUS_CANCELLED) << "round " << round;
        EXPECT_EQ(bus->PendingWaitWake(), nullptr);
        wakes += woke;
    }
    EXPECT_GT(wakes, 0);
    EXPECT_LT(wakes, 20) << "both orders were run";
}

TEST(PdoDispatchCompletion, PagedWorkInACompletionRoutineIsCaughtOnlyAtDispatch) {
    for (KIRQL irql : {KIRQL(PASSIVE_LEVEL), KIRQL(DISPATCH_LEVEL)}) {
        SCOPED_TRACE(int(irql));
        std::vector<std::string> violations;
        {
            hosted::TestPlatform platform;
            Bus bus(WakingCamera());
            bus.SetCompletion(Completion::Pending);
            bus.SetCompletionIrql(irql);
            // A URB completed by the bus thread.
            uint8_t record[12];
            URB u = usbtest::VendorUrb(true, 0xB0, 0, record, 12);
            PowerIrp urb(bus.Pdo(), 0, true, IRP_MJ_INTERNAL_DEVICE_CONTROL);
            urb.Stack()->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
            urb.Stack()->Parameters.Others.Argument1 = &u;
            ASSERT_EQ(urb.Send(), STATUS_PENDING);
            EXPECT_EQ(urb.Wait(), STATUS_SUCCESS);
            EXPECT_EQ(urb.CompletedAt(), irql);

            // A wait-wake completed by the device's wake signal.
            ASSERT_EQ(hosted::Io::SendPnp(bus.Pdo(), IRP_MN_START_DEVICE, [](PIO_STACK_LOCATION) {}), STATUS_SUCCESS);
            PowerIrp ww(bus.Pdo(), IRP_MN_WAIT_WAKE, true);
            ASSERT_EQ(ww.SendWaitWake(PowerSystemSleeping1), STATUS_PENDING);
            ASSERT_TRUE(bus.SignalWake());
            EXPECT_EQ(ww.Wait(), STATUS_SUCCESS);
            violations = hosted::Verifier::Take();
        }
        if (irql == PASSIVE_LEVEL) {
            EXPECT_TRUE(violations.empty()) << ::testing::PrintToString(violations);
        } else {
            ASSERT_GE(violations.size(), 2u) << "one per completion routine at least";
            for (const auto& v : violations) EXPECT_NE(v.find("paged pool"), std::string::npos) << v;
        }
    }
}
