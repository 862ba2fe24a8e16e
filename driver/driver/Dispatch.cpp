// IRP routing: every request is counted against removal and handed to
// kernel streaming, the WMI library, or the plug-and-play and power handlers.
#include "driver/FdoData.h"

#include "Log.h"
#include "wmi/Wmi.h"

NTSTATUS IncrementIoCount(FdoData* Data)
{
    InterlockedIncrement(&Data->OutstandingIO);
    if (ReadFlag(&Data->RemovePending)) {
        // Removal has begun: back out, and wake the removal handler if this
        // was the last count it waits for.
        if (InterlockedDecrement(&Data->OutstandingIO) == 0) {
            KeSetEvent(&Data->RemoveEvent, IO_NO_INCREMENT, FALSE);
        }
        return STATUS_DELETE_PENDING;
    }
    return STATUS_SUCCESS;
}

void DecrementIoCount(FdoData* Data)
{
    if (InterlockedDecrement(&Data->OutstandingIO) == 0) {
        KeSetEvent(&Data->RemoveEvent, IO_NO_INCREMENT, FALSE);
    }
}

namespace {

NTSTATUS CompleteRefused(PIRP Irp, NTSTATUS Status)
{
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

// Create, close, cleanup and (internal) device control belong to kernel
// streaming entirely; the driver only counts them.
NTSTATUS CountedKsDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    FdoData* data = FdoDataOf(DeviceObject);
    NTSTATUS status = IncrementIoCount(data);
    if (!NT_SUCCESS(status)) {
        return CompleteRefused(Irp, status);
    }
    status = KsDispatchIrp(DeviceObject, Irp);
    DecrementIoCount(data);
    return status;
}

}  // namespace

NTSTATUS NTAPI DriverCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return CountedKsDispatch(DeviceObject, Irp); }

NTSTATUS NTAPI DriverCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    LOG_TRACE("ORVEX :  +DriverCleanup\n");
    return CountedKsDispatch(DeviceObject, Irp);
}

NTSTATUS NTAPI DriverDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return CountedKsDispatch(DeviceObject, Irp);
}

NTSTATUS NTAPI DriverInternIoCtl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    LOG_TRACE("ORVEX :  +DriverInternIoCtl \n");
    return CountedKsDispatch(DeviceObject, Irp);
}

NTSTATUS NTAPI DriverSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    FdoData* data = FdoDataOf(DeviceObject);
    LOG_TRACE("ORVEX :  + DriverSystemControl\n");
    LOG_TRACE("ORVEX : FDO %s\n", GetWmiMinorName(IoGetCurrentIrpStackLocation(Irp)->MinorFunction));

    NTSTATUS status = IncrementIoCount(data);
    if (!NT_SUCCESS(status)) {
        return CompleteRefused(Irp, status);
    }

    SYSCTL_IRP_DISPOSITION disposition = IrpNotWmi;
    status = WmiSystemControl(&data->WmiLibInfo, DeviceObject, Irp, &disposition);
    switch (disposition) {
    case IrpProcessed:
        // The library or a provider callback completed it.
        break;
    case IrpNotCompleted:
        // The library filled in the IRP (e.g. a registration query) but left
        // completing it to the driver.
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        break;
    case IrpNotWmi:
    case IrpForward:
        status = KsDispatchIrp(DeviceObject, Irp);
        break;
    default:
        ASSERT(FALSE);
        status = KsDispatchIrp(DeviceObject, Irp);
        break;
    }

    DecrementIoCount(data);
    return status;
}

NTSTATUS NTAPI DriverPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    LOG_TRACE("ORVEX :  +DriverPower\n");
    return FdoPower(FdoDataOf(DeviceObject), Irp);
}

NTSTATUS NTAPI DriverPnP(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    FdoData* data = FdoDataOf(DeviceObject);
    DbgPrint("DriverPnP: DeviceObject 0x%x, pCommonData 0x%x ", LowPart32(DeviceObject), LowPart32(data));
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ASSERT(IRP_MJ_PNP == stack->MajorFunction);
    return FdoPnP(DeviceObject, Irp, stack, data);
}
