// The wait-wake request: one IRP_MN_WAIT_WAKE kept outstanding while the user
// wants the device to wake the system.
//
// The request can be completed by the stack below and cancelled by
// CancelWaitWake at the same time. WaitWakeIrp and WaitWakeCancelled are
// changed only by interlocked exchange, so exactly one side finishes the IRP:
// whoever takes the pointer out of WaitWakeIrp first decides, and the
// WaitWakeCancelled exchange tells the loser whether the winner is done with
// the IRP.
#include "driver/FdoData.h"

#include "Log.h"
#include "driver/PowerState.h"

namespace {

REQUEST_POWER_COMPLETE WaitWakeRequestComplete;
REQUEST_POWER_COMPLETE WakePowerUpComplete;
IO_WORKITEM_ROUTINE RearmWaitWakeWorker;

bool RearmWanted(FdoData* Data)
{
    return ReadFlag(&Data->RemoteWakeUpEnabled) && !ReadFlag(&Data->RemovePending);
}

// Runs on a system worker thread at PASSIVE_LEVEL; Context is its own work
// item. The count taken in WaitWakeRequestComplete has been kept for it, so
// removal waits until it is done.
void RearmWaitWakeWorker(PDEVICE_OBJECT DeviceObject, PVOID Context)
{
    FdoData* data = FdoDataOf(DeviceObject);
    if (RearmWanted(data)) {
        (void)ArmWaitWake(data);
    }
    IoFreeWorkItem(static_cast<PIO_WORKITEM>(Context));
    DecrementIoCount(data);
}

// Runs when the D0 request issued after a wake signal is done. The wait-wake
// request is armed again only here, not in WaitWakeRequestComplete: a
// wait-wake request may only be issued at PASSIVE_LEVEL and not while another
// power request (the D0 one) is still under way in the stack. A completion at
// DISPATCH_LEVEL hands the re-arm to a work item.
void WakePowerUpComplete(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState, PVOID Context,
                         PIO_STATUS_BLOCK IoStatus)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(MinorFunction);
    UNREFERENCED_PARAMETER(PowerState);
    UNREFERENCED_PARAMETER(IoStatus);
    auto* data = static_cast<FdoData*>(Context);

    if (RearmWanted(data)) {
        if (KeGetCurrentIrql() == PASSIVE_LEVEL) {
            (void)ArmWaitWake(data);
        } else {
            PIO_WORKITEM item = IoAllocateWorkItem(data->Self);
            if (item != nullptr) {
                // The worker gives the count back.
                IoQueueWorkItem(item, RearmWaitWakeWorker, DelayedWorkQueue, item);
                return;
            }
            // No work item: the device stays unarmed until wake-up is
            // switched on again or the device starts again.
        }
    }
    // Gives back the count taken in WaitWakeRequestComplete.
    DecrementIoCount(data);
}

// Runs when the wait-wake IRP is finally done.
void WaitWakeRequestComplete(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                             PVOID Context, PIO_STATUS_BLOCK IoStatus)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(MinorFunction);
    UNREFERENCED_PARAMETER(PowerState);
    auto* data = static_cast<FdoData*>(Context);

    InterlockedExchange(&data->WaitWakeArmed, 0);

    // Cancelled, refused below, or the device is already powered.
    if (!NT_SUCCESS(IoStatus->Status) || LoadDeviceState(data) == PowerDeviceD0) {
        return;
    }

    // The device signalled wake while powered down: bring it to D0. The count
    // taken here is given back by WakePowerUpComplete; once removal has begun
    // no count is taken, and so no D0 request is made either.
    if (!NT_SUCCESS(IncrementIoCount(data))) {
        return;
    }
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    NTSTATUS status =
        PoRequestPowerIrp(data->UnderlyingPDO, IRP_MN_SET_POWER, d0, WakePowerUpComplete, data, nullptr);
    if (status != STATUS_PENDING) {
        // No request, no callback: give the count back here.
        DecrementIoCount(data);
    }
}

}  // namespace

NTSTATUS ArmWaitWake(FdoData* Data)
{
    if (InterlockedExchange(&Data->WaitWakeArmed, 1) == 1) {
        return STATUS_DEVICE_BUSY;
    }
    InterlockedExchange(&Data->WaitWakeCancelled, 0);

    POWER_STATE wakeState;
    wakeState.SystemState = Data->DeviceCaps.SystemWake;
    // The power manager stores the new IRP into WaitWakeIrp before it sends it.
    NTSTATUS status = PoRequestPowerIrp(Data->UnderlyingPDO, IRP_MN_WAIT_WAKE, wakeState, WaitWakeRequestComplete,
                                        Data, &Data->WaitWakeIrp);
    if (!NT_SUCCESS(status)) {
        InterlockedExchange(&Data->WaitWakeArmed, 0);
    }
    return status;
}

void CancelWaitWake(FdoData* Data)
{
    auto* irp = static_cast<PIRP>(InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&Data->WaitWakeIrp),
                                                             nullptr));
    if (irp == nullptr) {
        return;
    }
    IoCancelIrp(irp);
    if (InterlockedExchange(&Data->WaitWakeCancelled, 1) == 1) {
        // The completion routine has already let go of the IRP: finish it.
        PoStartNextPowerIrp(irp);
        irp->IoStatus.Status = STATUS_CANCELLED;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
}

NTSTATUS WaitWakeCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    auto* data = static_cast<FdoData*>(Context);

    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }

    if (InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&data->WaitWakeIrp), nullptr) != nullptr) {
        // Nobody is cancelling: completion goes on.
        PoStartNextPowerIrp(Irp);
        return STATUS_SUCCESS;
    }
    if (InterlockedExchange(&data->WaitWakeCancelled, 1) == 1) {
        // CancelWaitWake is done with the IRP.
        PoStartNextPowerIrp(Irp);
        return STATUS_CANCELLED;
    }
    // CancelWaitWake holds the IRP and will complete it.
    return STATUS_MORE_PROCESSING_REQUIRED;
}
