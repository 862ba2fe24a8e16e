// Power of the hosted bus's PDOs: set and query power, and wait-wake held
// until the device signals wake, as a USB bus driver handles them.
#include <hosted/io.h>

#include "UsbChild.h"

namespace hosted::usb {

PdoCapabilities PdoCapabilities::UsbDefault(bool remoteWakeup) {
    PdoCapabilities c;
    c.deviceState.fill(PowerDeviceD3);
    c.deviceState[PowerSystemUnspecified] = PowerDeviceUnspecified;
    c.deviceState[PowerSystemWorking] = PowerDeviceD0;
    if (remoteWakeup) {
        // Suspended in D2 through S1..S3, where it can still wake the system.
        for (int s = PowerSystemSleeping1; s <= PowerSystemSleeping3; ++s) c.deviceState[s] = PowerDeviceD2;
        c.systemWake = PowerSystemSleeping3;
        c.deviceWake = PowerDeviceD2;
    }
    return c;
}

bool PdoCapabilities::WakeFrom(DEVICE_POWER_STATE state) const {
    if (deviceWake == PowerDeviceUnspecified || state > deviceWake) return false;
    if (state == PowerDeviceD1) return deviceD1;
    if (state == PowerDeviceD2) return deviceD2;
    return state == PowerDeviceD0 || state == PowerDeviceD3;
}

NTSTATUS Bus::PdoPower(Child* child, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    const UCHAR minor = sp->MinorFunction;
    NTSTATUS status = irp->IoStatus.Status;
    if (auto failure = InjectedFailure(child, IRP_MJ_POWER, minor)) {
        status = *failure;
    } else if (minor == IRP_MN_WAIT_WAKE) {
        return WaitWake(child, irp);
    } else if (minor == IRP_MN_SET_POWER) {
        // The PDO records its own device's transitions; system states only
        // tell it what is coming, the policy owner sends the device IRPs.
        if (sp->Parameters.Power.Type == DevicePowerState)
            PoSetPowerState(child->pdo, DevicePowerState, sp->Parameters.Power.State);
        status = STATUS_SUCCESS;
    } else if (minor == IRP_MN_QUERY_POWER) {
        status = STATUS_SUCCESS;
    }
    PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// IRP_MN_WAIT_WAKE: refused at once when the device cannot wake at all
// (STATUS_NOT_SUPPORTED), when the requested system state is deeper than its
// SystemWake or the device already sleeps deeper than its DeviceWake
// (STATUS_INVALID_DEVICE_STATE), or when one is already held
// (STATUS_DEVICE_BUSY); otherwise held, cancellable, until the device signals
// wake (STATUS_SUCCESS), the IRP is cancelled (STATUS_CANCELLED) or the PDO
// is removed (STATUS_NO_SUCH_DEVICE).
NTSTATUS Bus::WaitWake(Child* child, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    const SYSTEM_POWER_STATE wanted = sp->Parameters.WaitWake.PowerState;
    NTSTATUS refused = STATUS_SUCCESS;
    {
        std::lock_guard lock(mu_);
        const PdoCapabilities& c = child->caps;
        if (c.systemWake == PowerSystemUnspecified || c.deviceWake == PowerDeviceUnspecified)
            refused = STATUS_NOT_SUPPORTED;
        else if (!child->Reachable())
            refused = STATUS_NO_SUCH_DEVICE;
        else if (wanted > c.systemWake || Io::DevicePower(child->pdo) > c.deviceWake)
            refused = STATUS_INVALID_DEVICE_STATE;
        else if (child->waitWake)
            refused = STATUS_DEVICE_BUSY;
        else
            child->waitWake = irp;
    }
    if (refused != STATUS_SUCCESS) {
        PoStartNextPowerIrp(irp);
        irp->IoStatus.Status = refused;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return refused;
    }
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, &Bus::CancelWaitWake);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        // Cancelled before the cancel routine was in place: ours to complete.
        {
            std::lock_guard lock(mu_);
            if (child->waitWake == irp) child->waitWake = nullptr;
        }
        PoStartNextPowerIrp(irp);
        irp->IoStatus.Status = STATUS_CANCELLED;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
    return STATUS_PENDING;
}

void NTAPI Bus::CancelWaitWake(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Extension* ext = Ext(device);
    {
        std::lock_guard lock(ext->bus->mu_);
        if (ext->child->waitWake == irp) ext->child->waitWake = nullptr;
    }
    PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

// Completes the held wait-wake with `status` on this thread, unless a
// cancellation has already taken it (its cancel routine completes it then).
void Bus::FinishWaitWake(Child* child, NTSTATUS status) {
    PIRP irp;
    {
        std::lock_guard lock(mu_);
        irp = child->waitWake;
        if (!irp) return;
        child->waitWake = nullptr;
    }
    if (IoSetCancelRoutine(irp, nullptr) == nullptr) return;
    PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

bool Bus::SignalWake(int port) {
    Child* child;
    {
        std::lock_guard lock(mu_);
        child = ChildOf(port);
        if (!child || !child->plugged) return false;
    }
    return Wake(child);
}

// The device's remote wakeup: the held wait-wake completes with success on a
// bus thread, as the hub completes it from its interrupt handling, at the
// completion IRQL setting.
bool Bus::Wake(Child* child) {
    PIRP irp;
    KIRQL irql;
    {
        std::lock_guard lock(mu_);
        irp = child->waitWake;
        if (!irp || IoSetCancelRoutine(irp, nullptr) == nullptr) return false;  // none, or being cancelled
        child->waitWake = nullptr;
        irql = completionIrql_;
    }
    StartWorker([this, irp, irql] {
        PoStartNextPowerIrp(irp);
        irp->IoStatus.Status = STATUS_SUCCESS;
        CompleteAt(irql, irp);
    });
    return true;
}

}  // namespace hosted::usb
