// Plug and play of the function device. Kernel streaming does most of the
// work (it forwards the requests down the stack and calls the device
// callbacks); around it the driver copies the settings into the device object
// before start, fetches the capabilities and registers WMI after start, tears
// WMI and wait-wake down on stop and removal, drains the requests in progress
// before removal, and adjusts the capabilities reported upward.
#include "driver/FdoData.h"

#include "Log.h"
#include "usbdevice/UsbDevice.h"
#include "registry/RegistryParameters.h"
#include "wmi/Wmi.h"

namespace {

IO_COMPLETION_ROUTINE SignalForwardDone;

NTSTATUS SignalForwardDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent(static_cast<PKEVENT>(Context), 1, FALSE);
    // The IRP comes back to the caller unfinished.
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS PassToKs(PDEVICE_OBJECT DeviceObject, PIRP Irp, FdoData* Data)
{
    NTSTATUS status = KsDispatchIrp(DeviceObject, Irp);
    DecrementIoCount(Data);
    return status;
}

NTSTATUS CompleteHere(PIRP Irp, NTSTATUS Status)
{
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

// Asks the bottom of the stack for the device's capabilities with an IRP of
// the driver's own; the answer replaces DeviceCaps only when it succeeded.
// StartStatus is the status the start has so far, which the failure line
// shows when no IRP can be had.
void FetchDeviceCaps(FdoData* Data, NTSTATUS StartStatus)
{
    PIRP irp = IoAllocateIrp(Data->Self->StackSize, FALSE);
    if (irp == nullptr) {
        LOG_ERROR("ORVEX : Get Device caps Failed %x!\n", StartStatus);
        return;
    }

    DEVICE_CAPABILITIES caps;
    RtlZeroMemory(&caps, sizeof(caps));
    caps.Size = sizeof(DEVICE_CAPABILITIES);
    caps.Version = 1;
    caps.Address = 0xFFFFFFFF;
    caps.UINumber = 0xFFFFFFFF;

    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_PNP;
    stack->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
    stack->Parameters.DeviceCapabilities.Capabilities = &caps;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;

    NTSTATUS status = ForwardIrpSynchronous(Data->UnderlyingPDO, irp, FALSE, FALSE);
    if (NT_SUCCESS(status) && NT_SUCCESS(irp->IoStatus.Status)) {
        RtlCopyMemory(&Data->DeviceCaps, &caps, sizeof(caps));
    } else {
        LOG_ERROR("ORVEX : Get Device caps Failed %x!\n", status);
    }
    IoFreeIrp(irp);
}

NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, FdoData* Data)
{
    if (ReadFlag(&Data->Started)) {
        // Already started: answered at once, neither ks.sys nor the stack
        // below sees it.
        CompleteHere(Irp, STATUS_SUCCESS);
        DecrementIoCount(Data);
        return STATUS_SUCCESS;
    }

    auto* object = static_cast<CUsbDevice*>(Data->KsDevice->Context);
    CopySettings(object, &Data->SettingsBlock);

    // ks.sys starts the stack below, calls DeviceStart and completes the IRP.
    NTSTATUS status = ForwardIrpSynchronous(DeviceObject, Irp, TRUE, TRUE);
    if (!NT_SUCCESS(status)) {
        DecrementIoCount(Data);
        return status;
    }

    FetchDeviceCaps(Data, status);

    WriteFlag(&Data->Started, TRUE);
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    PoSetPowerState(DeviceObject, DevicePowerState, d0);

    BOOLEAN wake = object != nullptr ? object->SupportsRemoteWakeUp() : FALSE;
    if (Data->DeviceCaps.SystemWake <= PowerSystemWorking) {
        wake = FALSE;
    }

    NTSTATUS wmiStatus = DrvWmiRegistration(Data, wake);
    if (!NT_SUCCESS(wmiStatus)) {
        LOG_ERROR("ORVEX : AddDevice: IoWMIRegistrationControl failed (%x)\n", wmiStatus);
    }
    // Set whether or not registration succeeded, so that stop and removal
    // always withdraw it.
    Data->WmiRegistered = TRUE;
    InterlockedExchange(&Data->WaitWakeArmed, 0);
    InterlockedExchange(&Data->WaitWakeCancelled, 0);
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&Data->WaitWakeIrp), nullptr);

    if (wake && ReadFlag(&Data->RemoteWakeUpEnabled)) {
        (void)ArmWaitWake(Data);
    }

    DecrementIoCount(Data);
    // ks.sys completed the start IRP with the start's status; a dispatch
    // routine that completed an IRP returns the status the IRP carries, so a
    // failed WMI registration is logged above but does not contradict it.
    return status;
}

void WithdrawWakeAndWmi(FdoData* Data)
{
    if (ReadFlag(&Data->RemoteWakeUpEnabled)) {
        CancelWaitWake(Data);
    }
    if (Data->WmiRegistered) {
        DrvWmiDeRegistration(Data);
        Data->WmiRegistered = FALSE;
    }
}

NTSTATUS RemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, FdoData* Data)
{
    // From now on IncrementIoCount refuses new requests.
    WriteFlag(&Data->RemovePending, TRUE);
    WithdrawWakeAndWmi(Data);

    // This request's own count, then the count held since creation.
    LONG i = InterlockedDecrement(&Data->OutstandingIO);
    UNREFERENCED_PARAMETER(i);
    ASSERT(0 < i);
    if (InterlockedDecrement(&Data->OutstandingIO) != 0) {
        NTSTATUS waitStatus = KeWaitForSingleObject(&Data->RemoveEvent, Executive, KernelMode, FALSE, nullptr);
        UNREFERENCED_PARAMETER(waitStatus);
        ASSERT(waitStatus == STATUS_SUCCESS);
    }

    // The path strings are released only after ks.sys has delivered the
    // removal: DeviceStop/DeviceRemove end the update thread, which loads
    // files through the device object's copies of these pointers. ks.sys
    // deletes FdoData while it handles the removal, so the block is taken out
    // of it first.
    SettingsBlock paths = Data->SettingsBlock;
    Data->SettingsBlock = SettingsBlock();

    NTSTATUS status = KsDispatchIrp(DeviceObject, Irp);
    FreeSettingsBlockPaths(&paths);
    return status;
}

NTSTATUS QueryBusRelations(PIRP Irp, FdoData* Data)
{
    if (Irp->IoStatus.Information != 0) {
        // Another driver already filled in a list: leave it alone.
        return PassToKs(Data->Self, Irp, Data);
    }
    // The device has no children: an empty list.
    auto* relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), TagVorp));
    if (relations == nullptr) {
        CompleteHere(Irp, STATUS_INSUFFICIENT_RESOURCES);
        DecrementIoCount(Data);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    relations->Count = 0;
    Irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(Irp);
    NTSTATUS status = IoCallDriver(Data->KsDevice->NextDeviceObject, Irp);
    DecrementIoCount(Data);
    return status;
}

}  // namespace

NTSTATUS ForwardIrpSynchronous(PDEVICE_OBJECT DeviceObject, PIRP Irp, BOOLEAN CopyStackLocation, BOOLEAN ThroughKs)
{
    KEVENT done;
    KeInitializeEvent(&done, SynchronizationEvent, FALSE);
    if (CopyStackLocation) {
        IoCopyCurrentIrpStackLocationToNext(Irp);
    }
    IoSetCompletionRoutine(Irp, SignalForwardDone, &done, TRUE, TRUE, TRUE);
    NTSTATUS status = ThroughKs ? KsDispatchIrp(DeviceObject, Irp) : IoCallDriver(DeviceObject, Irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = Irp->IoStatus.Status;
    }
    return status;
}

NTSTATUS FdoPnP(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION IrpStack, FdoData* Data)
{
    NTSTATUS status = IncrementIoCount(Data);
    if (!NT_SUCCESS(status)) {
        Irp->IoStatus.Information = 0;
        return CompleteHere(Irp, status);
    }

    switch (IrpStack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        return StartDevice(DeviceObject, Irp, Data);

    case IRP_MN_STOP_DEVICE:
        WriteFlag(&Data->Started, FALSE);
        WithdrawWakeAndWmi(Data);
        return PassToKs(DeviceObject, Irp, Data);

    case IRP_MN_SURPRISE_REMOVAL:
        WithdrawWakeAndWmi(Data);
        WriteFlag(&Data->Started, FALSE);
        return PassToKs(DeviceObject, Irp, Data);

    case IRP_MN_REMOVE_DEVICE:
        return RemoveDevice(DeviceObject, Irp, Data);

    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (IrpStack->Parameters.QueryDeviceRelations.Type == BusRelations) {
            return QueryBusRelations(Irp, Data);
        }
        return PassToKs(DeviceObject, Irp, Data);

    case IRP_MN_QUERY_CAPABILITIES: {
        PDEVICE_CAPABILITIES caps = IrpStack->Parameters.DeviceCapabilities.Capabilities;
        caps->SilentInstall = 1;
        caps->D1Latency = 3;
        caps->D2Latency = 3;
        caps->D3Latency = 3;
        return PassToKs(DeviceObject, Irp, Data);
    }

    default:
        // Query/cancel stop and remove, and every other code.
        return PassToKs(DeviceObject, Irp, Data);
    }
}
