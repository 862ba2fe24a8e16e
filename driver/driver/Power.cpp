// Power policy of the function device: system power requests are turned into
// device power requests through the capability map, the device object is told
// of each device power change (before the request goes down when power is
// lowered, after it comes back when power is raised), and system sleep states
// the device cannot wake from are refused while remote wake-up is enabled.
//
// Power requests never go through kernel streaming; they are passed down here
// with PoCallDriver.
#include "driver/FdoData.h"

#include "Log.h"
#include "callbacks/DeviceCallbacks.h"
#include "driver/PowerState.h"

namespace {

IO_COMPLETION_ROUTINE FdoPowerCompletion;
REQUEST_POWER_COMPLETE SleepDeviceIrpComplete;

NTSTATUS PassDownPlainly(FdoData* Data, PIRP Irp)
{
    IoCopyCurrentIrpStackLocationToNext(Irp);
    PoStartNextPowerIrp(Irp);
    NTSTATUS status = PoCallDriver(Data->NextDeviceObject, Irp);
    DecrementIoCount(Data);
    return status;
}

// The request stays counted until FdoPowerCompletion.
NTSTATUS PassDownWithCompletion(FdoData* Data, PIRP Irp, NTSTATUS Status)
{
    UNREFERENCED_PARAMETER(Status);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    ASSERT(STATUS_SUCCESS == Status);
    IoMarkIrpPending(Irp);
    IoSetCompletionRoutine(Irp, FdoPowerCompletion, nullptr, TRUE, TRUE, TRUE);
    PoCallDriver(Data->NextDeviceObject, Irp);
    return STATUS_PENDING;
}

// Ends a power request here, without passing it down.
NTSTATUS CompletePowerIrp(PIRP Irp, NTSTATUS Status)
{
    PoStartNextPowerIrp(Irp);
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

NTSTATUS SetDevicePower(FdoData* Data, PIRP Irp, DEVICE_POWER_STATE NewState)
{
    Irp->IoStatus.Status = STATUS_SUCCESS;
    const DEVICE_POWER_STATE current = LoadDeviceState(Data);
    if (NewState == current) {
        return PassDownPlainly(Data, Irp);
    }
    if (NewState > current) {
        // Less power: the device object hears of it before the request goes down.
        DeviceSetPower(Data->KsDevice, Irp, NewState, current);
        POWER_STATE state;
        state.DeviceState = NewState;
        PoSetPowerState(Data->Self, DevicePowerState, state);
        StoreDeviceState(Data, NewState);
        return PassDownPlainly(Data, Irp);
    }
    // More power: the device object hears of it once the stack below is powered.
    return PassDownWithCompletion(Data, Irp, STATUS_SUCCESS);
}

NTSTATUS SetSystemPower(FdoData* Data, PIRP Irp, SYSTEM_POWER_STATE NewState)
{
    const SYSTEM_POWER_STATE current = LoadSystemState(Data);
    // A state outside the capability map has no device state to map to.
    if (NewState == current || NewState < PowerSystemUnspecified || NewState >= PowerSystemMaximum) {
        return PassDownPlainly(Data, Irp);
    }
    if (NewState > current) {
        // Towards sleep: the device goes down first, the S-IRP follows from
        // SleepDeviceIrpComplete. The request stays counted until the S-IRP
        // is finished.
        IoMarkIrpPending(Irp);
        POWER_STATE deviceState;
        deviceState.DeviceState = Data->DeviceCaps.DeviceState[NewState];
        NTSTATUS status =
            PoRequestPowerIrp(Data->Self, IRP_MN_SET_POWER, deviceState, SleepDeviceIrpComplete, Irp, nullptr);
        if (status != STATUS_PENDING) {
            // No D-IRP means no callback to finish the S-IRP: finish it here
            // with the failure rather than leave it pending for ever.
            CompletePowerIrp(Irp, NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status);
            DecrementIoCount(Data);
        }
        return STATUS_PENDING;
    }
    // Waking: the S-IRP goes down first; the D0 request follows on its way back.
    return PassDownWithCompletion(Data, Irp, STATUS_SUCCESS);
}

NTSTATUS QueryPower(FdoData* Data, PIRP Irp, SYSTEM_POWER_STATE NewState)
{
    // A sleep state the device cannot wake the system from is refused while
    // the user wants remote wake-up.
    if (NewState < PowerSystemHibernate && NewState > Data->DeviceCaps.SystemWake &&
        ReadFlag(&Data->RemoteWakeUpEnabled)) {
        // A refused query is completed here: passed down, the drivers below
        // would answer it with their own success and the refusal would be lost.
        NTSTATUS status = CompletePowerIrp(Irp, STATUS_POWER_STATE_INVALID);
        DecrementIoCount(Data);
        return status;
    }
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDownPlainly(Data, Irp);
}

void SleepDeviceIrpComplete(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                            PVOID Context, PIO_STATUS_BLOCK IoStatus)
{
    UNREFERENCED_PARAMETER(MinorFunction);
    FdoData* data = FdoDataOf(DeviceObject);
    auto* systemIrp = static_cast<PIRP>(Context);

    if (PowerState.DeviceState != PowerDeviceD0) {
        // The device is down: now the system request goes down; its
        // PoStartNextPowerIrp comes in FdoPowerCompletion.
        IoCopyCurrentIrpStackLocationToNext(systemIrp);
        IoSetCompletionRoutine(systemIrp, FdoPowerCompletion, nullptr, TRUE, TRUE, TRUE);
        PoCallDriver(data->NextDeviceObject, systemIrp);
        return;
    }

    // The map sends this system state to D0: the S-IRP ends here.
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(systemIrp);
    PoSetPowerState(DeviceObject, stack->Parameters.Power.Type, stack->Parameters.Power.State);
    StoreSystemState(data, stack->Parameters.Power.State.SystemState);
    systemIrp->IoStatus.Status = IoStatus->Status;
    PoStartNextPowerIrp(systemIrp);
    IoCompleteRequest(systemIrp, IO_NO_INCREMENT);
    DecrementIoCount(data);
}

NTSTATUS FdoPowerCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(Context);
    FdoData* data = FdoDataOf(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const POWER_STATE powerState = stack->Parameters.Power.State;

    if (stack->Parameters.Power.Type == DevicePowerState) {
        // Power raised: the stack below is up, now the device object hears of it.
        const DEVICE_POWER_STATE current = LoadDeviceState(data);
        ASSERT(powerState.DeviceState < current);
        DeviceSetPower(data->KsDevice, Irp, powerState.DeviceState, current);
        StoreDeviceState(data, powerState.DeviceState);
        PoSetPowerState(data->Self, DevicePowerState, powerState);
    } else if (powerState.SystemState > LoadSystemState(data)) {
        // The S-IRP of a sleep, sent down by SleepDeviceIrpComplete.
        StoreSystemState(data, powerState.SystemState);
        PoSetPowerState(data->Self, SystemPowerState, powerState);
    } else {
        // Waking: the system is up below, so the device is brought to D0.
        ASSERT(powerState.SystemState < LoadSystemState(data));
        POWER_STATE d0;
        d0.DeviceState = PowerDeviceD0;
        NTSTATUS status = PoRequestPowerIrp(data->Self, IRP_MN_SET_POWER, d0, nullptr, nullptr, nullptr);
        if (status == STATUS_PENDING) {
            StoreSystemState(data, PowerSystemWorking);
            POWER_STATE working;
            working.SystemState = PowerSystemWorking;
            PoSetPowerState(data->Self, SystemPowerState, working);
        } else {
            ASSERT(!NT_SUCCESS(status));
            Irp->IoStatus.Status = status;
            PoStartNextPowerIrp(Irp);
            DecrementIoCount(data);
            return status;
        }
    }

    PoStartNextPowerIrp(Irp);
    DecrementIoCount(data);
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS FdoPower(FdoData* Data, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const UCHAR minor = stack->MinorFunction;
    const POWER_STATE_TYPE type = stack->Parameters.Power.Type;
    const POWER_STATE state = stack->Parameters.Power.State;

    NTSTATUS status = IncrementIoCount(Data);
    if (!NT_SUCCESS(status)) {
        return CompletePowerIrp(Irp, status);
    }

    switch (minor) {
    case IRP_MN_WAIT_WAKE:
        IoMarkIrpPending(Irp);
        IoCopyCurrentIrpStackLocationToNext(Irp);
        IoSetCompletionRoutine(Irp, WaitWakeCompletion, Data, TRUE, TRUE, TRUE);
        PoStartNextPowerIrp(Irp);
        PoCallDriver(Data->NextDeviceObject, Irp);
        DecrementIoCount(Data);
        return STATUS_PENDING;
    case IRP_MN_SET_POWER:
        if (type == DevicePowerState) {
            return SetDevicePower(Data, Irp, state.DeviceState);
        }
        if (type == SystemPowerState) {
            return SetSystemPower(Data, Irp, state.SystemState);
        }
        return PassDownPlainly(Data, Irp);
    case IRP_MN_QUERY_POWER:
        // Compared as a system state whatever the power type.
        return QueryPower(Data, Irp, state.SystemState);
    default:
        return PassDownPlainly(Data, Irp);
    }
}
