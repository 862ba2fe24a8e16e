#include "TestDriver.h"

#include <cstring>

namespace platformtest {

DriverConfig g_driverConfig;
DriverStats g_driverStats;

void ResetTestDriver(DriverConfig config)
{
    g_driverConfig = config;
    g_driverStats = DriverStats{};
}

namespace {

enum class DevState { Stopped, Started, StopPending, RemovePending, SurpriseRemoved };

struct Ext {
    PDEVICE_OBJECT self;
    PDEVICE_OBJECT lower;
    PDEVICE_OBJECT pdo;
    DevState state;
    KSPIN_LOCK lock;
    PIRP pended;
    DEVICE_CAPABILITIES caps;
    DEVICE_POWER_STATE power;
    // Wait/wake: the outstanding IRP, whether it should be re-armed, and an
    // event signalled whenever none is outstanding.
    PIRP volatile waitWake;
    bool wakeWanted;
    KEVENT noWaitWake;
    PIO_WORKITEM rearm;
};

Ext* X(PDEVICE_OBJECT dev) { return static_cast<Ext*>(dev->DeviceExtension); }

bool Has(Flaw f) { return g_driverConfig.flaw == f; }

NTSTATUS CompleteWith(PIRP irp, NTSTATUS status, ULONG_PTR info = 0)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = info;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI SignalOnCompletion(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Send the IRP down and wait until the lower drivers are done with it.
NTSTATUS ForwardAndWait(Ext* x, PIRP irp)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalOnCompletion, &done, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(x->lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = irp->IoStatus.Status;
    }
    return status;
}

NTSTATUS PassDown(Ext* x, PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(x->lower, irp);
}

// ------------------------------------------------------------ wait/wake

void ArmWake(Ext* x);

VOID NTAPI RearmWorker(PDEVICE_OBJECT, PVOID context)
{
    Ext* x = static_cast<Ext*>(context);
    g_driverStats.rearms++;
    ArmWake(x);
}

VOID NTAPI WakeDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK ios)
{
    Ext* x = static_cast<Ext*>(context);
    x->waitWake = nullptr;
    g_driverStats.wakeResults.push_back(ios->Status);
    if (ios->Status == STATUS_SUCCESS) {
        // The device signalled: back to D0 (allowed at DISPATCH_LEVEL).
        POWER_STATE d0;
        d0.DeviceState = PowerDeviceD0;
        PoRequestPowerIrp(x->self, IRP_MN_SET_POWER, d0, nullptr, nullptr, nullptr);
        if (x->wakeWanted) {
            if (Has(Flaw::RearmWakeInCallback)) {
                ArmWake(x);
            } else {
                // This callback may run at DISPATCH_LEVEL; a wait/wake IRP is
                // requested at PASSIVE_LEVEL, so re-arm from a work item.
                IoQueueWorkItem(x->rearm, RearmWorker, DelayedWorkQueue, x);
            }
            return;
        }
    }
    KeSetEvent(&x->noWaitWake, IO_NO_INCREMENT, FALSE);
}

void ArmWake(Ext* x)
{
    if (!x->wakeWanted || x->state != DevState::Started) {
        KeSetEvent(&x->noWaitWake, IO_NO_INCREMENT, FALSE);
        return;
    }
    KeClearEvent(&x->noWaitWake);
    POWER_STATE s;
    s.SystemState = x->caps.SystemWake;
    NTSTATUS st = PoRequestPowerIrp(x->pdo, IRP_MN_WAIT_WAKE, s, WakeDone, x, (PIRP*)&x->waitWake);
    if (!NT_SUCCESS(st)) {
        x->waitWake = nullptr;
        KeSetEvent(&x->noWaitWake, IO_NO_INCREMENT, FALSE);
    }
}

// Withdraw wait/wake and wait until its callback has run.
void DisarmWake(Ext* x)
{
    x->wakeWanted = false;
    PIRP w = x->waitWake;
    if (w) IoCancelIrp(w);
    KeWaitForSingleObject(&x->noWaitWake, Executive, KernelMode, FALSE, nullptr);
}

// ------------------------------------------------------------ queued request

VOID NTAPI PendCancel(PDEVICE_OBJECT dev, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Ext* x = X(dev);
    KIRQL old;
    KeAcquireSpinLock(&x->lock, &old);
    if (x->pended == irp) x->pended = nullptr;
    KeReleaseSpinLock(&x->lock, old);
    CompleteWith(irp, STATUS_CANCELLED);
}

PIRP TakePended(Ext* x)
{
    KIRQL old;
    KeAcquireSpinLock(&x->lock, &old);
    PIRP irp = x->pended;
    if (irp && IoSetCancelRoutine(irp, nullptr))
        x->pended = nullptr;
    else
        irp = nullptr;  // its cancel routine owns it
    KeReleaseSpinLock(&x->lock, old);
    return irp;
}

NTSTATUS NTAPI DispatchControl(PDEVICE_OBJECT dev, PIRP irp)
{
    Ext* x = X(dev);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (x->state == DevState::SurpriseRemoved || x->state == DevState::RemovePending)
        return CompleteWith(irp, STATUS_DELETE_PENDING);
    switch (sp->Parameters.DeviceIoControl.IoControlCode) {
    case kIoctlPend: {
        KIRQL old;
        KeAcquireSpinLock(&x->lock, &old);
        if (x->pended) {
            KeReleaseSpinLock(&x->lock, old);
            return CompleteWith(irp, STATUS_DEVICE_BUSY);
        }
        if (!Has(Flaw::PendWithoutMark)) IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, PendCancel);
        if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) {
            KeReleaseSpinLock(&x->lock, old);
            CompleteWith(irp, STATUS_CANCELLED);
            return STATUS_PENDING;
        }
        x->pended = irp;
        KeReleaseSpinLock(&x->lock, old);
        return STATUS_PENDING;
    }
    case kIoctlRelease: {
        PIRP p = TakePended(x);
        if (p) CompleteWith(p, STATUS_SUCCESS);
        return CompleteWith(irp, p ? STATUS_SUCCESS : STATUS_NOT_FOUND);
    }
    case kIoctlEcho:
        if (Has(Flaw::MarkWithoutPend)) IoMarkIrpPending(irp);
        CompleteWith(irp, STATUS_SUCCESS, sp->Parameters.DeviceIoControl.InputBufferLength);
        if (Has(Flaw::CompleteTwice)) IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    default:
        return CompleteWith(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_SUCCESS); }

// ------------------------------------------------------------ plug and play

VOID NTAPI NothingToDo(PDEVICE_OBJECT, PVOID) {}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT dev, PIRP irp)
{
    Ext* x = X(dev);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status;
    switch (sp->MinorFunction) {
    case IRP_MN_START_DEVICE:
        status = ForwardAndWait(x, irp);
        if (NT_SUCCESS(status)) {
            x->state = DevState::Started;
            g_driverStats.starts++;
            x->wakeWanted = g_driverConfig.armWake;
            if (x->wakeWanted && !x->waitWake) ArmWake(x);
        }
        return CompleteWith(irp, status);
    case IRP_MN_QUERY_CAPABILITIES:
        status = ForwardAndWait(x, irp);
        if (NT_SUCCESS(status)) x->caps = *sp->Parameters.DeviceCapabilities.Capabilities;
        return CompleteWith(irp, status, irp->IoStatus.Information);
    case IRP_MN_QUERY_STOP_DEVICE:
        if (g_driverConfig.refuseQueryStop) return CompleteWith(irp, STATUS_UNSUCCESSFUL);
        x->state = DevState::StopPending;
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(x, irp);
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        // The lower drivers resume first, then this one.
        status = ForwardAndWait(x, irp);
        if (x->state == DevState::StopPending || x->state == DevState::RemovePending) x->state = DevState::Started;
        return CompleteWith(irp, STATUS_SUCCESS);
    case IRP_MN_STOP_DEVICE:
        DisarmWake(x);
        x->state = DevState::Stopped;
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(x, irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
        if (g_driverConfig.refuseQueryRemove) return CompleteWith(irp, STATUS_UNSUCCESSFUL);
        x->state = DevState::RemovePending;
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(x, irp);
    case IRP_MN_SURPRISE_REMOVAL: {
        x->state = DevState::SurpriseRemoved;
        g_driverStats.surpriseRemovals++;
        DisarmWake(x);
        PIRP p = TakePended(x);
        if (p) CompleteWith(p, STATUS_NO_SUCH_DEVICE);
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(x, irp);
    }
    case IRP_MN_REMOVE_DEVICE: {
        g_driverStats.removes++;
        DisarmWake(x);
        if (!Has(Flaw::RemoveWithRequestPending)) {
            PIRP p = TakePended(x);
            if (p) CompleteWith(p, STATUS_NO_SUCH_DEVICE);
        }
        irp->IoStatus.Status = STATUS_SUCCESS;
        status = PassDown(x, irp);
        if (Has(Flaw::DeleteWithWorkItemQueued)) IoQueueWorkItem(x->rearm, NothingToDo, DelayedWorkQueue, nullptr);
        IoDetachDevice(x->lower);
        if (!Has(Flaw::DeleteWithWorkItemQueued)) IoFreeWorkItem(x->rearm);
        IoDeleteDevice(dev);
        return status;
    }
    case IRP_MN_QUERY_PNP_DEVICE_STATE:
        if (g_driverConfig.reportFailed) {
            irp->IoStatus.Information |= PNP_DEVICE_FAILED;
            irp->IoStatus.Status = STATUS_SUCCESS;
        }
        return PassDown(x, irp);
    default:
        return PassDown(x, irp);
    }
}

// ------------------------------------------------------------ power

VOID NTAPI DevicePowerDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK ios)
{
    // The device IRP is done: the system IRP that asked for it follows.
    PIRP sIrp = static_cast<PIRP>(context);
    sIrp->IoStatus.Status = ios->Status;
    PoStartNextPowerIrp(sIrp);
    IoCompleteRequest(sIrp, IO_NO_INCREMENT);
}

NTSTATUS NTAPI SystemPowerDone(PDEVICE_OBJECT dev, PIRP irp, PVOID)
{
    Ext* x = X(dev);
    if (!NT_SUCCESS(irp->IoStatus.Status)) {
        PoStartNextPowerIrp(irp);
        return STATUS_CONTINUE_COMPLETION;
    }
    SYSTEM_POWER_STATE s = IoGetCurrentIrpStackLocation(irp)->Parameters.Power.State.SystemState;
    POWER_STATE d;
    d.DeviceState = s == PowerSystemWorking ? PowerDeviceD0
                    : s >= PowerSystemShutdown || x->caps.DeviceState[s] == PowerDeviceUnspecified
                        ? PowerDeviceD3
                        : x->caps.DeviceState[s];
    NTSTATUS st = PoRequestPowerIrp(x->pdo, IRP_MN_SET_POWER, d, DevicePowerDone, irp, nullptr);
    if (!NT_SUCCESS(st)) {
        irp->IoStatus.Status = st;
        PoStartNextPowerIrp(irp);
        return STATUS_CONTINUE_COMPLETION;
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS NTAPI DevicePowerUpDone(PDEVICE_OBJECT dev, PIRP irp, PVOID)
{
    Ext* x = X(dev);
    POWER_STATE st = IoGetCurrentIrpStackLocation(irp)->Parameters.Power.State;
    if (NT_SUCCESS(irp->IoStatus.Status)) {
        x->power = st.DeviceState;
        PoSetPowerState(dev, DevicePowerState, st);
    }
    PoStartNextPowerIrp(irp);
    return STATUS_CONTINUE_COMPLETION;
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT dev, PIRP irp)
{
    Ext* x = X(dev);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (sp->MinorFunction == IRP_MN_QUERY_POWER && sp->Parameters.Power.Type == SystemPowerState &&
        g_driverConfig.refuseQuerySystemPower) {
        PoStartNextPowerIrp(irp);
        return CompleteWith(irp, STATUS_UNSUCCESSFUL);
    }
    if (sp->MinorFunction == IRP_MN_SET_POWER && sp->Parameters.Power.Type == SystemPowerState &&
        x->state == DevState::Started) {
        // Down the stack first; on the way back ask for the device state.
        IoMarkIrpPending(irp);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, SystemPowerDone, nullptr, TRUE, TRUE, TRUE);
        PoCallDriver(x->lower, irp);
        return STATUS_PENDING;
    }
    if (sp->MinorFunction == IRP_MN_SET_POWER && sp->Parameters.Power.Type == DevicePowerState) {
        DEVICE_POWER_STATE d = sp->Parameters.Power.State.DeviceState;
        if (d < x->power) {
            // Powering up: the bus first, then this driver.
            IoMarkIrpPending(irp);
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, DevicePowerUpDone, nullptr, TRUE, TRUE, TRUE);
            PoCallDriver(x->lower, irp);
            return STATUS_PENDING;
        }
        // Powering down: this driver first, then the bus.
        x->power = d;
        PoSetPowerState(dev, DevicePowerState, sp->Parameters.Power.State);
    }
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(x->lower, irp);
}

// ------------------------------------------------------------ driver

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    PDEVICE_OBJECT fdo;
    NTSTATUS st = IoCreateDevice(driver, sizeof(Ext), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
    if (!NT_SUCCESS(st)) return st;
    Ext* x = X(fdo);
    std::memset(x, 0, sizeof *x);
    x->self = fdo;
    x->pdo = pdo;
    x->power = PowerDeviceD0;
    KeInitializeSpinLock(&x->lock);
    KeInitializeEvent(&x->noWaitWake, NotificationEvent, TRUE);
    x->rearm = IoAllocateWorkItem(fdo);
    if (!x->rearm) {
        IoDeleteDevice(fdo);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    x->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    if (!x->lower) {
        IoFreeWorkItem(x->rearm);
        IoDeleteDevice(fdo);
        return STATUS_NO_SUCH_DEVICE;
    }
    fdo->Flags |= DO_POWER_PAGABLE;
    if (!Has(Flaw::LeaveInitializing)) fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    g_driverStats.addDevices++;
    return STATUS_SUCCESS;
}

VOID NTAPI Unload(PDRIVER_OBJECT) { g_driverStats.unloads++; }

}  // namespace

NTSTATUS NTAPI TestDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    g_driverStats.entries++;
    if (!NT_SUCCESS(g_driverConfig.entryStatus)) return g_driverConfig.entryStatus;
    driver->DriverExtension->AddDevice = AddDevice;
    driver->DriverUnload = Unload;
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
    return STATUS_SUCCESS;
}

DEVICE_POWER_STATE DriverDevicePower(PDEVICE_OBJECT fdo) { return X(fdo)->power; }

}  // namespace platformtest
