// The power manager: PoCallDriver, PoStartNextPowerIrp, PoSetPowerState,
// PoRequestPowerIrp with its two ways of delivering the completion callback,
// and system transitions sent through every started device stack.
#include <cstring>

#include "pnp_internal.h"

using namespace hosted;
using namespace hosted::detail;

namespace hosted::detail {

struct PowerManager {
    Power::CallbackMode mode = Power::CallbackMode::Inline;
    std::vector<Power::PassedIrp> passed;
    SYSTEM_POWER_STATE system = PowerSystemWorking;
};

namespace {

// Lock held.
PowerManager& P()
{
    Kernel& k = K();
    if (!k.power) k.power = std::make_shared<PowerManager>();
    return *k.power;
}

PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT dev)
{
    while (dev->AttachedDevice) dev = dev->AttachedDevice;
    return dev;
}

PDEVICE_OBJECT BottomOfStack(PDEVICE_OBJECT dev)
{
    while (dev->DeviceObjectExtension && dev->DeviceObjectExtension->AttachedTo)
        dev = dev->DeviceObjectExtension->AttachedTo;
    return dev;
}

struct PowerRequest {
    PDEVICE_OBJECT target;
    UCHAR minor;
    POWER_STATE state;
    PREQUEST_POWER_COMPLETE callback;
    PVOID context;
    PDEVICE_OBJECT pdo;
    std::string instance;
    std::string params;
    PDRIVER_OBJECT driver = nullptr;  // the requester's driver, taken while its device surely exists
};

void FinishRequest(PowerRequest* req, PIRP irp)
{
    IrpRecord rec;
    rec.time = Clock::Now();
    rec.pdo = req->pdo;
    rec.instance = req->instance;
    rec.major = IRP_MJ_POWER;
    rec.minor = req->minor;
    rec.params = req->params;
    rec.status = irp->IoStatus.Status;
    rec.information = irp->IoStatus.Information;
    LogIrp(rec);
    if (req->callback) {
        DriverScope scope(req->driver);
        req->callback(req->target, req->minor, req->state, req->context, &irp->IoStatus);
    }
    delete req;
    IoFreeIrp(irp);
}

NTSTATUS NTAPI PowerRequestDone(PDEVICE_OBJECT, PIRP Irp, PVOID Context)
{
    auto* req = static_cast<PowerRequest*>(Context);
    Power::CallbackMode mode;
    {
        auto [k, lock] = LockKernel();
        mode = P().mode;
    }
    if (mode == Power::CallbackMode::Inline) {
        // In the completing context, at whatever IRQL the completer runs.
        FinishRequest(req, Irp);
    } else {
        // Later, on a system thread at PASSIVE_LEVEL.
        StartThread("power callback", [req, Irp] { FinishRequest(req, Irp); });
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

// A power IRP on its way to `to` (lock held, called by IoCallDriver).
void RecordPowerPass(Lock&, PDEVICE_OBJECT to, PIRP irp)
{
    Kernel& k = K();
    auto it = k.irps.find(irp);
    if (it == k.irps.end()) return;
    // The passing driver: the one whose dispatch routine for this IRP runs on
    // this thread (none for a request of the power manager).
    PDEVICE_OBJECT from = nullptr;
    PIO_STACK_LOCATION base = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
    for (CallFrame* f : it->second.frames)
        if (f->thread == Current() && !f->passed && f->location >= 1) from = base[f->location - 1].DeviceObject;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    P().passed.push_back(Power::PassedIrp{irp, from, to, next->MinorFunction, it->second.startNextPower});
    it->second.startNextPower = false;
}

}  // namespace hosted::detail

extern "C" {

// Since Windows Vista a power IRP may be passed on with IoCallDriver as
// well; the I/O manager records either way (RecordPowerPass).
NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return IofCallDriver(DeviceObject, Irp); }

VOID PoStartNextPowerIrp(PIRP Irp)
{
    // Recorded, not required: current Windows does not need it, but a test
    // can see whether a driver called it before passing an IRP on.
    auto [k, lock] = LockKernel();
    ThreadState* t = Current();
    if (t && t->irql > DISPATCH_LEVEL) Violation(lock, "PoStartNextPowerIrp above DISPATCH_LEVEL");
    auto it = k.irps.find(Irp);
    if (it != k.irps.end()) it->second.startNextPower = true;
}

POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State)
{
    auto [k, lock] = LockKernel();
    POWER_STATE old;
    old.DeviceState = PowerDeviceUnspecified;
    auto it = k.devices.find(DeviceObject);
    if (it == k.devices.end()) {
        Violation(lock, "PoSetPowerState on something that is not a device object");
        return old;
    }
    ThreadState* t = Current();
    if (t && t->irql > DISPATCH_LEVEL) Violation(lock, "PoSetPowerState above DISPATCH_LEVEL");
    if (Type == DevicePowerState) {
        old.DeviceState = it->second.devicePower;
        it->second.devicePower = State.DeviceState;
    } else {
        old.SystemState = it->second.systemPower;
        it->second.systemPower = State.SystemState;
    }
    return old;
}

NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                           PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp)
{
    PIRP irp;
    PDEVICE_OBJECT top, pdo;
    {
        auto [k, lock] = LockKernel();
        auto it = k.devices.find(DeviceObject);
        if (it == k.devices.end()) {
            Violation(lock, "PoRequestPowerIrp on " + Hex(uint64_t(DeviceObject)) + ", which is not a device object");
            return STATUS_INVALID_PARAMETER_1;
        }
        // A PDO or any device of a stack built on one.
        pdo = BottomOfStack(DeviceObject);
        auto p = k.devices.find(pdo);
        if (p == k.devices.end() || !p->second.pdo) {
            Violation(lock, "PoRequestPowerIrp on " + Hex(uint64_t(DeviceObject)) +
                                ", which is neither a physical device object nor in a stack built on one");
            return STATUS_INVALID_PARAMETER_1;
        }
        ThreadState* t = Current();
        KIRQL irql = t ? t->irql : PASSIVE_LEVEL;
        if (MinorFunction == IRP_MN_WAIT_WAKE && irql != PASSIVE_LEVEL)
            Violation(lock, "PoRequestPowerIrp for IRP_MN_WAIT_WAKE at IRQL " + std::to_string(irql) +
                                " (a wait/wake IRP is requested at PASSIVE_LEVEL)");
        else if (irql > DISPATCH_LEVEL)
            Violation(lock, "PoRequestPowerIrp at IRQL " + std::to_string(irql) + " (above DISPATCH_LEVEL)");
        if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER &&
            MinorFunction != IRP_MN_WAIT_WAKE)
            return STATUS_INVALID_PARAMETER_2;
        if (MinorFunction != IRP_MN_WAIT_WAKE &&
            (PowerState.DeviceState < PowerDeviceD0 || PowerState.DeviceState > PowerDeviceD3)) {
            Violation(lock, "PoRequestPowerIrp with device power state " + std::to_string(PowerState.DeviceState) +
                                " (drivers request device states D0..D3 only)");
            return STATUS_INVALID_PARAMETER_3;
        }
        top = TopOfStack(pdo);
        irp = AllocIrp(lock, CCHAR(top->StackSize + 1), IrpInfo::Kind::Platform);
        if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
    }
    auto* req = new PowerRequest{DeviceObject, MinorFunction, PowerState, CompletionFunction, Context, pdo,
                                 InstanceOf(pdo), ""};
    req->driver = DeviceObject->DriverObject;
    IoSetNextIrpStackLocation(irp);  // the power manager's own location
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = IRP_MJ_POWER;
    sp->MinorFunction = MinorFunction;
    if (MinorFunction == IRP_MN_WAIT_WAKE) {
        sp->Parameters.WaitWake.PowerState = PowerState.SystemState;
        req->params = "S" + std::to_string(int(PowerState.SystemState) - 1);
    } else {
        sp->Parameters.Power.Type = DevicePowerState;
        sp->Parameters.Power.State = PowerState;
        req->params = PowerParams(sp);
    }
    IoSetCompletionRoutine(irp, PowerRequestDone, req, TRUE, TRUE, TRUE);
    if (Irp) *Irp = irp;
    // A stack whose top device is DO_POWER_PAGABLE gets its power IRPs at
    // PASSIVE_LEVEL: a request made at a raised IRQL is sent from a system
    // thread.
    if ((top->Flags & DO_POWER_PAGABLE) && KeGetCurrentIrql() != PASSIVE_LEVEL)
        StartThread("power request", [top, irp] { PoCallDriver(top, irp); });
    else
        PoCallDriver(top, irp);
    return STATUS_PENDING;
}

}  // extern "C"

// ---------------------------------------------------------------- system transitions

namespace hosted {

namespace {

NTSTATUS SendSystemIrp(PnpNode& n, UCHAR minor, SYSTEM_POWER_STATE state, POWER_ACTION action)
{
    PIRP irp = Io::BuildIrp(n.pdo, IRP_MJ_POWER, minor);
    IrpRecord rec;
    rec.pdo = n.pdo;
    rec.instance = n.instance;
    rec.major = IRP_MJ_POWER;
    rec.minor = minor;
    if (!irp) {
        rec.status = STATUS_INSUFFICIENT_RESOURCES;
        rec.time = Clock::Now();
        LogIrp(rec);
        return rec.status;
    }
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->Parameters.Power.Type = SystemPowerState;
    sp->Parameters.Power.State.SystemState = state;
    sp->Parameters.Power.ShutdownType = action;
    rec.params = PowerParams(sp);
    IO_STATUS_BLOCK ios{};
    rec.status = Io::SendAndWait(n.pdo, irp, &ios);
    rec.information = ios.Information;
    rec.time = Clock::Now();
    LogIrp(rec);
    return rec.status;
}

void SetSystem(SYSTEM_POWER_STATE s)
{
    auto [k, lock] = LockKernel();
    P().system = s;
}

SYSTEM_POWER_STATE CurrentSystem()
{
    auto [k, lock] = LockKernel();
    return P().system;
}

POWER_ACTION ActionFor(SYSTEM_POWER_STATE s)
{
    return s == PowerSystemHibernate ? PowerActionHibernate : PowerActionSleep;
}

}  // namespace

void Power::SetCallbackMode(CallbackMode mode)
{
    auto [k, lock] = LockKernel();
    P().mode = mode;
}

Power::CallbackMode Power::GetCallbackMode()
{
    auto [k, lock] = LockKernel();
    return P().mode;
}

NTSTATUS Power::Sleep(SYSTEM_POWER_STATE state)
{
    if (state < PowerSystemSleeping1 || state > PowerSystemHibernate) return STATUS_INVALID_PARAMETER;
    return PnpRun([state] {
        if (CurrentSystem() != PowerSystemWorking) return STATUS_INVALID_DEVICE_STATE;
        // Leaves first, so a child is asleep before its parent.
        std::vector<PnpNode*> nodes = StartedNodes(true);
        for (PnpNode* n : nodes) {
            NTSTATUS st = SendSystemIrp(*n, IRP_MN_QUERY_POWER, state, ActionFor(state));
            if (!NT_SUCCESS(st)) {
                // A refused query: every stack is told the system stays in S0.
                for (PnpNode* m : StartedNodes(false))
                    SendSystemIrp(*m, IRP_MN_SET_POWER, PowerSystemWorking, PowerActionNone);
                return st;
            }
        }
        for (PnpNode* n : nodes) SendSystemIrp(*n, IRP_MN_SET_POWER, state, ActionFor(state));
        SetSystem(state);
        return STATUS_SUCCESS;
    });
}

NTSTATUS Power::Wake()
{
    return PnpRun([] {
        if (CurrentSystem() == PowerSystemWorking) return STATUS_SUCCESS;
        SetSystem(PowerSystemWorking);
        // Parents first, so a bus is working before its children.
        for (PnpNode* n : StartedNodes(false))
            SendSystemIrp(*n, IRP_MN_SET_POWER, PowerSystemWorking, PowerActionNone);
        return STATUS_SUCCESS;
    });
}

NTSTATUS Power::Shutdown()
{
    return PnpRun([] {
        for (PnpNode* n : StartedNodes(true))
            SendSystemIrp(*n, IRP_MN_SET_POWER, PowerSystemShutdown, PowerActionShutdown);
        SetSystem(PowerSystemShutdown);
        return STATUS_SUCCESS;
    });
}

SYSTEM_POWER_STATE Power::SystemState() { return CurrentSystem(); }

std::vector<Power::PassedIrp> Power::Passed()
{
    auto [k, lock] = LockKernel();
    return P().passed;
}

void Power::ClearPassed()
{
    auto [k, lock] = LockKernel();
    P().passed.clear();
}

}  // namespace hosted
