// Each deliberate flaw of the test driver, and each misuse of the IRP and
// power routines, is caught by the check meant for it.
#include <algorithm>
#include <optional>

#include <hosted/gtest.h>

#include "Rig.h"

using namespace hosted;
using namespace platformtest;

namespace {

bool Mentions(const std::vector<std::string>& problems, const std::string& text)
{
    return std::any_of(problems.begin(), problems.end(),
                       [&](const std::string& p) { return p.find(text) != std::string::npos; });
}

std::string Joined(const std::vector<std::string>& v)
{
    std::string s;
    for (auto& x : v) s += x + "\n";
    return s;
}

// One started device driven by the test driver carrying a flaw.
struct FlawRig : Rig {
    using Rig::Rig;
    PDEVICE_OBJECT pdo = Plug();
    // Send a control request to the top of the stack; returns what the
    // dispatch routine returned. The IRP completes into `ios`/`done`, which
    // outlive a request the driver holds.
    NTSTATUS Control(ULONG code)
    {
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        PIRP irp = IoBuildDeviceIoControlRequest(code, Pnp::Top(pdo), nullptr, 0, nullptr, 0, FALSE, &done, &ios);
        return IoCallDriver(Pnp::Top(pdo), irp);
    }
    KEVENT done;
    IO_STATUS_BLOCK ios{};
};

TEST(DriverFlaws, EachIsCaughtByItsCheck)
{
    struct Case {
        const char* name;
        Flaw flaw;
        std::function<void(FlawRig&)> provoke;
        const char* expected;
    };
    const Case cases[] = {
        {"DO_DEVICE_INITIALIZING left set", Flaw::LeaveInitializing, [](FlawRig&) {},
         "returned with DO_DEVICE_INITIALIZING still set"},
        {"pending without marking", Flaw::PendWithoutMark,
         [](FlawRig& r) {
             EXPECT_EQ(r.Control(kIoctlPend), STATUS_PENDING);
             r.Control(kIoctlRelease);
         },
         "without marking it pending"},
        {"marked pending, returned success", Flaw::MarkWithoutPend, [](FlawRig& r) { r.Control(kIoctlEcho); },
         "pending but returned"},
        {"completed twice", Flaw::CompleteTwice, [](FlawRig& r) { r.Control(kIoctlEcho); }, "completed twice"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestPlatform platform;
        FlawRig rig({.flaw = c.flaw});
        c.provoke(rig);
        Settle();
        std::vector<std::string> v = Verifier::Take();
        EXPECT_TRUE(Mentions(v, c.expected)) << Joined(v);
        rig.TearDown();
        Verifier::Take();
    }
}

// Re-arming wait/wake from the callback is harmless while callbacks run at
// PASSIVE_LEVEL, and caught when the bus completes at DISPATCH_LEVEL and the
// callback runs inline.
TEST(DriverFlaws, WaitWakeRearmedAtDispatchLevel)
{
    for (bool dispatch : {false, true}) {
        SCOPED_TRACE(dispatch ? "bus at DISPATCH_LEVEL" : "bus at PASSIVE_LEVEL");
        TestPlatform platform;
        FlawRig rig({.flaw = Flaw::RearmWakeInCallback, .armWake = true}, Power::CallbackMode::Inline, dispatch);
        ASSERT_TRUE(rig.bus->SignalWake(rig.pdo));
        Settle();
        std::vector<std::string> v = Verifier::Take();
        EXPECT_EQ(Mentions(v, "PoRequestPowerIrp for IRP_MN_WAIT_WAKE at IRQL 2"), dispatch) << Joined(v);
        rig.TearDown();
        Verifier::Take();
    }
}

// What a removal leaves behind is reported by the platform's end check.
TEST(DriverFlaws, LeftBehindAtRemovalAndUnload)
{
    struct Case {
        Flaw flaw;
        std::function<void(FlawRig&)> remove;
        std::vector<const char*> expected;
    };
    const Case cases[] = {
        {Flaw::RemoveWithRequestPending,
         [](FlawRig& r) {
             EXPECT_EQ(r.Control(kIoctlPend), STATUS_PENDING);
             Pnp::Disable(r.pdo);
         },
         {"is still outstanding on it", "after unload of PLATTEST"}},
        {Flaw::DeleteWithWorkItemQueued, [](FlawRig& r) { r.bus->Unplug(r.pdo); },
         {"work item(s) are still queued or running", "unloaded while work item"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected[0]);
        std::vector<std::string> problems;
        {
            Platform platform;
            FlawRig rig({.flaw = c.flaw});
            c.remove(rig);
            Settle();
            rig.TearDown();
            problems = platform.Finish();
        }
        for (const char* text : c.expected) EXPECT_TRUE(Mentions(problems, text)) << Joined(problems);
    }
}

// ------------------------------------------------------------ routine misuse

KIRQL g_powerDispatchIrql;
NTSTATUS NTAPI CompletePower(PDEVICE_OBJECT, PIRP irp)
{
    g_powerDispatchIrql = KeGetCurrentIrql();
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

class Misuse : public PlatformTest {
protected:
    void SetUp() override
    {
        driver_ = Io::CreateDriver("\\Driver\\plain");
        driver_->MajorFunction[IRP_MJ_POWER] = CompletePower;
        pdo_ = Io::CreatePdo(driver_);
    }
    void TearDown() override
    {
        IoDeleteDevice(pdo_);
        Io::DeleteDriver(driver_);
    }
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT pdo_ = nullptr;
};

TEST_F(Misuse, PowerRoutinesAtTheWrongIrql)
{
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    struct Case {
        const char* name;
        KIRQL irql;
        std::function<void()> call;
        const char* expected;  // nullptr: allowed
    };
    auto request = [&](UCHAR minor) {
        return [this, minor, d0] {
            POWER_STATE s = d0;
            if (minor == IRP_MN_WAIT_WAKE) s.SystemState = PowerSystemSleeping3;
            PoRequestPowerIrp(pdo_, minor, s, nullptr, nullptr, nullptr);
        };
    };
    auto call = [this] {
        PIRP irp = Io::BuildIrp(pdo_, IRP_MJ_POWER, IRP_MN_SET_POWER);
        IoSetCompletionRoutine(
            irp, [](PDEVICE_OBJECT, PIRP i, PVOID) NTAPI { IoFreeIrp(i); return NTSTATUS(STATUS_MORE_PROCESSING_REQUIRED); },
            nullptr, TRUE, TRUE, TRUE);
        PoCallDriver(pdo_, irp);
    };
    const Case cases[] = {
        {"set power at DISPATCH_LEVEL", DISPATCH_LEVEL, request(IRP_MN_SET_POWER), nullptr},
        {"set power above DISPATCH_LEVEL", HIGH_LEVEL, request(IRP_MN_SET_POWER), "PoRequestPowerIrp at IRQL 15"},
        {"wait/wake at PASSIVE_LEVEL", PASSIVE_LEVEL, request(IRP_MN_WAIT_WAKE), nullptr},
        {"wait/wake at APC_LEVEL", APC_LEVEL, request(IRP_MN_WAIT_WAKE), "IRP_MN_WAIT_WAKE at IRQL 1"},
        {"PoCallDriver at DISPATCH_LEVEL", DISPATCH_LEVEL, call, nullptr},
        {"PoCallDriver above DISPATCH_LEVEL", HIGH_LEVEL, call, "at IRQL 15 (IRPs are sent at or below DISPATCH_LEVEL)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        KIRQL old;
        KeRaiseIrql(c.irql, &old);
        c.call();
        KeLowerIrql(old);
        hosted::Sleep(Milliseconds(1));
        std::vector<std::string> v = Verifier::Take();
        if (c.expected)
            EXPECT_TRUE(Mentions(v, c.expected)) << Joined(v);
        else
            EXPECT_TRUE(v.empty()) << Joined(v);
    }
}

TEST_F(Misuse, PoRequestPowerIrpFromAFunctionDeviceGoesToTheTopOfItsStack)
{
    PDEVICE_OBJECT fdo;
    ASSERT_EQ(IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo), STATUS_SUCCESS);
    IoAttachDeviceToDeviceStack(fdo, pdo_);
    struct Seen {
        PDEVICE_OBJECT device = nullptr;
        NTSTATUS status = STATUS_PENDING;
    } seen;
    POWER_STATE d2;
    d2.DeviceState = PowerDeviceD2;
    auto done = [](PDEVICE_OBJECT dev, UCHAR, POWER_STATE, PVOID ctx, PIO_STATUS_BLOCK ios) NTAPI {
        static_cast<Seen*>(ctx)->device = dev;
        static_cast<Seen*>(ctx)->status = ios->Status;
    };
    EXPECT_EQ(PoRequestPowerIrp(fdo, IRP_MN_SET_POWER, d2, done, &seen, nullptr), STATUS_PENDING);
    hosted::Sleep(Milliseconds(1));
    EXPECT_EQ(seen.device, fdo);
    EXPECT_EQ(seen.status, STATUS_SUCCESS);
    auto passed = Power::Passed();
    ASSERT_FALSE(passed.empty());
    EXPECT_EQ(passed.back().to, fdo);  // the top of the stack, not the PDO
    IoDetachDevice(pdo_);
    IoDeleteDevice(fdo);
}

// Requested at DISPATCH_LEVEL, a power IRP reaches a pageable stack at
// PASSIVE_LEVEL and any other stack at once.
TEST_F(Misuse, PageableStackGetsRequestedPowerIrpsAtPassiveLevel)
{
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    for (bool pageable : {true, false}) {
        SCOPED_TRACE(pageable ? "DO_POWER_PAGABLE" : "not pageable");
        if (pageable)
            pdo_->Flags |= DO_POWER_PAGABLE;
        else
            pdo_->Flags &= ~DO_POWER_PAGABLE;
        g_powerDispatchIrql = 99;
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        PoRequestPowerIrp(pdo_, IRP_MN_SET_POWER, d0, nullptr, nullptr, nullptr);
        KIRQL seenInside = g_powerDispatchIrql;
        KeLowerIrql(old);
        hosted::Sleep(Milliseconds(1));
        EXPECT_EQ(seenInside, pageable ? 99 : DISPATCH_LEVEL);
        EXPECT_EQ(g_powerDispatchIrql, pageable ? PASSIVE_LEVEL : DISPATCH_LEVEL);
    }
}

TEST_F(Misuse, DeferredCallbackRunsLaterAtPassiveLevel)
{
    Power::SetCallbackMode(Power::CallbackMode::Deferred);
    struct Seen {
        bool ran = false;
        KIRQL irql = 99;
        std::string thread;
    } seen;
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    auto done = [](PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID ctx, PIO_STATUS_BLOCK) NTAPI {
        auto* s = static_cast<Seen*>(ctx);
        s->ran = true;
        s->irql = KeGetCurrentIrql();
        s->thread = CurrentThreadName();
    };
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    PoRequestPowerIrp(pdo_, IRP_MN_SET_POWER, d0, done, &seen, nullptr);
    EXPECT_FALSE(seen.ran);  // not inside the request
    KeLowerIrql(old);
    hosted::Sleep(Milliseconds(1));
    EXPECT_TRUE(seen.ran);
    EXPECT_EQ(seen.irql, PASSIVE_LEVEL);
    EXPECT_NE(seen.thread, "test");
}

// An upper driver's device U over a lower driver's device L, each driver
// dispatching device controls through the routine given.
struct UpperOverLower {
    UpperOverLower(PDRIVER_DISPATCH upperDispatch, PDRIVER_DISPATCH lowerDispatch, bool attach)
        : upper(Io::CreateDriver("\\Driver\\upper")), lower(Io::CreateDriver("\\Driver\\lower")), attached(attach)
    {
        upper->MajorFunction[IRP_MJ_DEVICE_CONTROL] = upperDispatch;
        lower->MajorFunction[IRP_MJ_DEVICE_CONTROL] = lowerDispatch;
        IoCreateDevice(upper, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &u);
        IoCreateDevice(lower, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &l);
        if (attached) IoAttachDeviceToDeviceStack(u, l);
    }
    ~UpperOverLower()
    {
        if (attached) IoDetachDevice(l);
        IoDeleteDevice(u);
        IoDeleteDevice(l);
        Io::DeleteDriver(upper);
        Io::DeleteDriver(lower);
    }
    PDRIVER_OBJECT upper, lower;
    PDEVICE_OBJECT u = nullptr, l = nullptr;
    bool attached;
};

// Upper driver U forwards to lower driver L with a completion routine that
// frees the IRP, although the sender above U still has its routine to run.
PDEVICE_OBJECT g_lower;
NTSTATUS NTAPI FreeingRoutine(PDEVICE_OBJECT, PIRP irp, PVOID)
{
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
NTSTATUS NTAPI UpperDispatch(PDEVICE_OBJECT, PIRP irp)
{
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, FreeingRoutine, nullptr, TRUE, TRUE, TRUE);
    return IoCallDriver(g_lower, irp);
}
NTSTATUS NTAPI LowerDispatch(PDEVICE_OBJECT, PIRP irp)
{
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

TEST_F(Misuse, IrpFreedWhileACompletionRoutineAboveOwnsIt)
{
    UpperOverLower pair(UpperDispatch, LowerDispatch, false);
    PDEVICE_OBJECT u = pair.u;
    g_lower = pair.l;
    for (bool ownerAbove : {false, true}) {
        SCOPED_TRACE(ownerAbove ? "a routine above" : "no routine above");
        PIRP irp = IoAllocateIrp(3, FALSE);
        IoSetNextIrpStackLocation(irp);  // the sender's own location
        PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
        sp->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        if (ownerAbove)
            IoSetCompletionRoutine(
                irp, [](PDEVICE_OBJECT, PIRP, PVOID) NTAPI { return NTSTATUS(STATUS_MORE_PROCESSING_REQUIRED); }, nullptr,
                TRUE, TRUE, TRUE);
        IoCallDriver(u, irp);
        std::vector<std::string> v = Verifier::Take();
        EXPECT_EQ(Mentions(v, "completion routine of a driver above still owns it"), ownerAbove) << Joined(v);
    }
}

// A completion routine may complete the IRP again itself only if it then
// stops the outer completion with STATUS_MORE_PROCESSING_REQUIRED.
NTSTATUS g_routineResult;
NTSTATUS NTAPI CompletingRoutine(PDEVICE_OBJECT, PIRP irp, PVOID)
{
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return g_routineResult;
}
NTSTATUS NTAPI UpperCompletesInRoutine(PDEVICE_OBJECT, PIRP irp)
{
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, CompletingRoutine, nullptr, TRUE, TRUE, TRUE);
    IoMarkIrpPending(irp);
    IoCallDriver(g_lower, irp);
    return STATUS_PENDING;
}

TEST_F(Misuse, CompletedAgainInsideACompletionRoutine)
{
    UpperOverLower pair(UpperCompletesInRoutine, LowerDispatch, true);
    PDEVICE_OBJECT u = pair.u;
    g_lower = pair.l;
    for (NTSTATUS result : {STATUS_MORE_PROCESSING_REQUIRED, STATUS_CONTINUE_COMPLETION}) {
        SCOPED_TRACE(result == STATUS_CONTINUE_COMPLETION ? "continues" : "stops");
        g_routineResult = result;
        PIRP irp = Io::BuildIrp(u, IRP_MJ_DEVICE_CONTROL, 0);
        IO_STATUS_BLOCK ios;
        Io::SendAndWait(u, irp, &ios);
        std::vector<std::string> v = Verifier::Take();
        EXPECT_EQ(Mentions(v, "did not return STATUS_MORE_PROCESSING_REQUIRED"),
                  result == STATUS_CONTINUE_COMPLETION) << Joined(v);
        if (result == STATUS_MORE_PROCESSING_REQUIRED) {
            EXPECT_TRUE(v.empty()) << Joined(v);
        }
    }
}

TEST_F(Misuse, WorkItemRunsAtPassiveLevelAndHoldsItsDevice)
{
    struct Seen {
        KIRQL irql = 99;
        LONG_PTR refs = -1;
        PIO_WORKITEM item = nullptr;
    } seen;
    seen.item = IoAllocateWorkItem(pdo_);
    ASSERT_NE(seen.item, nullptr);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    IoQueueWorkItem(
        seen.item,
        [](PDEVICE_OBJECT dev, PVOID ctx) NTAPI {
            auto* s = static_cast<Seen*>(ctx);
            s->irql = KeGetCurrentIrql();
            s->refs = dev->ReferenceCount;
            IoFreeWorkItem(s->item);  // its own routine may free it
        },
        DelayedWorkQueue, &seen);
    IoQueueWorkItem(seen.item, [](PDEVICE_OBJECT, PVOID) NTAPI {}, DelayedWorkQueue, nullptr);
    KeLowerIrql(old);
    EXPECT_TRUE(Mentions(Verifier::Take(), "already queued"));
    hosted::Sleep(Milliseconds(1));
    EXPECT_EQ(seen.irql, PASSIVE_LEVEL);
    EXPECT_EQ(seen.refs, 1);
    EXPECT_EQ(pdo_->ReferenceCount, 0);

    Pool::FailTag(Tag("IoWk"), 1);
    EXPECT_EQ(IoAllocateWorkItem(pdo_), nullptr);
    Pool::ClearFailures();
}

}  // namespace
