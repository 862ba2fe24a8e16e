// Synchronous URB submission: SendURB and SendURBWithTimeout.
#include "SendUrb.h"

#include <usbdi.h>

#include "Log.h"

// The routine reads only the URB header's Function field.
static_assert(sizeof(_URB_HEADER) == 24, "URB header layout");
static_assert(__builtin_offsetof(_URB_HEADER, Function) == 2, "URB header layout");
static_assert(IOCTL_INTERNAL_USB_SUBMIT_URB == 0x220003, "URB submission control code");

namespace {

enum class WaitLimit { None, TenSeconds };

// Ends a timed-out request. Until the request completes, the USB stack may
// still write our event, our status block and the caller's URB, so this
// returns only after the completion has signalled the event.
//
// The request was built with IoBuildDeviceIoControlRequest, so it is tied to
// this thread: the I/O manager finishes its completion (signals the event,
// then frees the request) in an APC to this thread. At APC_LEVEL that APC
// cannot run, so while the event is still not signalled the request is still
// alive and may be cancelled. If the event is already signalled, the request
// has completed (and may be gone) and must not be touched.
NTSTATUS CancelAndWait(PIRP Irp, PKEVENT Event)
{
    KIRQL oldIrql;
    KeRaiseIrql(APC_LEVEL, &oldIrql);
    if (KeReadStateEvent(Event) == 0) {
        IoCancelIrp(Irp);
    }
    KeLowerIrql(oldIrql);
    return KeWaitForSingleObject(Event, Suspended, KernelMode, FALSE, nullptr);
}

NTSTATUS SubmitUrb(PDEVICE_OBJECT DeviceObject, PURB Urb, WaitLimit Limit)
{
    USBDEVICE_ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);

    NTSTATUS status;
    if (Urb == nullptr) {
        LOG_ERROR("ORVEX :        No URB received\n");
        status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        KEVENT event;
        IO_STATUS_BLOCK ioStatus;
        KeInitializeEvent(&event, NotificationEvent, FALSE);

        PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, DeviceObject, nullptr, 0, nullptr, 0,
                                                 TRUE, &event, &ioStatus);
        if (irp == nullptr) {
            LOG_ERROR("ORVEX :        SendURB failed to alloc IRP\n");
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = Urb;

            status = IofCallDriver(DeviceObject, irp);
            if (status == STATUS_PENDING) {
                LARGE_INTEGER timeout;
                timeout.QuadPart = SendUrbTimeout100ns;
                NTSTATUS waitStatus = KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE,
                                                            Limit == WaitLimit::TenSeconds ? &timeout : nullptr);
                if (waitStatus == STATUS_TIMEOUT) {
                    waitStatus = CancelAndWait(irp, &event);
                }
                if (!NT_SUCCESS(waitStatus)) {
                    LOG_ERROR("ORVEX :        WaitForSingleObject FAILED !!\n");
                }
                status = ioStatus.Status;
            }

            if (!NT_SUCCESS(status) && Urb->UrbHeader.Function != URB_FUNCTION_RESET_PIPE &&
                status != STATUS_CANCELLED && status != STATUS_DEVICE_NOT_CONNECTED) {
                // Only reported; nothing is reset and nothing is retried.
                DbgPrint(Limit == WaitLimit::None ? "RReset Device \n" : "Reset Device \n");
                DbgPrint("Do not do reset pipe, Irp 0x%x, Urb 0x%x \n", LowPart32(irp), LowPart32(Urb));
            }
        }
    }

    if (!NT_SUCCESS(status)) {
        LOG_ERROR("ORVEX :        exit SendURB FAILED (%x)\n", status);
    }
    return status;
}

}  // namespace

NTSTATUS SendURB(PDEVICE_OBJECT DeviceObject, PURB Urb)
{
    return SubmitUrb(DeviceObject, Urb, WaitLimit::None);
}

NTSTATUS SendURBWithTimeout(PDEVICE_OBJECT DeviceObject, PURB Urb)
{
    return SubmitUrb(DeviceObject, Urb, WaitLimit::TenSeconds);
}
