// Synchronous submission of USB request blocks to the camera's device stack.
//
// Both routines wrap the caller's URB in an internal device-control request
// (IOCTL_INTERNAL_USB_SUBMIT_URB), send it to the given device object (the
// NextDeviceObject of the camera's KSDEVICE), wait for it and return the I/O
// completion status. That status is not the URB's USBD status: callers read
// the URB header themselves. Both must be called at PASSIVE_LEVEL.
//
// SendURB waits without limit. SendURBWithTimeout waits at most 10 seconds;
// when that time runs out it cancels the request (IoCancelIrp) and then waits,
// without limit, for the request to complete, because until it completes the
// USB stack may still write the call's event and status block and the
// caller's URB. It returns the status the cancelled request completed with
// (normally STATUS_CANCELLED, or whatever the request completed with if it
// finished before the cancellation reached it).
//
// Neither routine retries or resets anything; a failure is only reported.
#pragma once

#include <ntddk.h>
#include <usb.h>

// The time limit of SendURBWithTimeout, in 100-ns units (relative: negative).
constexpr LONGLONG SendUrbTimeout100ns = -100000000LL;

NTSTATUS SendURB(PDEVICE_OBJECT DeviceObject, PURB Urb);
NTSTATUS SendURBWithTimeout(PDEVICE_OBJECT DeviceObject, PURB Urb);

// Fills a zeroed URB with a standard GET_DESCRIPTOR request (index 0,
// language 0) for the whole of Buffer; on the bus wValue is Type << 8.
inline _URB_CONTROL_DESCRIPTOR_REQUEST& BuildGetDescriptorRequest(URB& Urb, UCHAR Type, PVOID Buffer, ULONG Length)
{
    RtlZeroMemory(&Urb, sizeof(Urb));
    _URB_CONTROL_DESCRIPTOR_REQUEST& request = Urb.UrbControlDescriptorRequest;
    request.Hdr.Length = sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST);
    request.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    request.TransferBuffer = Buffer;
    request.TransferBufferLength = Length;
    request.TransferBufferMDL = nullptr;
    request.DescriptorType = Type;
    request.Index = 0;
    request.LanguageId = 0;
    request.UrbLink = nullptr;
    return request;
}

// Assertion of the USB device layer: reported to the debugger through
// RtlAssert with this directory as the source, whatever the build, and the
// flow goes on. The source is named explicitly so that every build reports
// the same text.
#define USBDEVICE_ASSERT(exp)                                                       \
    ((!(exp)) ? (RtlAssert(const_cast<char*>(#exp), const_cast<char*>("device/usbdevice"), \
                           __LINE__, nullptr),                                      \
                 FALSE)                                                             \
              : TRUE)
