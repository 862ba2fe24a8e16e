// Helpers for the USB stack tests: send a URB to the bus as a client driver
// does, and build the URBs the driver uses.
#pragma once

#include <hosted/gtest.h>
#include <hosted/hosted.h>

#include <wdm.h>
#include <usbdlib.h>

#include <memory>
#include <vector>

#include "SimDescriptors.h"
#include "SimOnBus.h"
#include "UsbBus.h"

namespace usbtest {

struct Sent {
    NTSTATUS returned = 0;  // what IoCallDriver returned
    NTSTATUS final = 0;     // the I/O status once the request completed
};

// Builds the internal device-control IRP for the URB and sends it; with
// `wait`, waits for completion on the local event when it is pending.
class Submission {
public:
    Submission(PDEVICE_OBJECT target, PURB urb) : target_(target), urb_(urb) {
        KeInitializeEvent(&event_, NotificationEvent, FALSE);
    }
    NTSTATUS Send() {
        irp_ = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, target_, nullptr, 0, nullptr, 0, TRUE,
                                             &event_, &iosb_);
        if (!irp_) return STATUS_INSUFFICIENT_RESOURCES;
        IoGetNextIrpStackLocation(irp_)->Parameters.Others.Argument1 = urb_;
        returned_ = IoCallDriver(target_, irp_);
        return returned_;
    }
    NTSTATUS Wait() {
        if (returned_ != STATUS_PENDING) return returned_;
        KeWaitForSingleObject(&event_, Suspended, KernelMode, FALSE, nullptr);
        return iosb_.Status;
    }
    // Waits at most `relative` (100-ns units) for completion: the wait's status.
    NTSTATUS WaitFor(LONGLONG relative) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = -relative;
        return KeWaitForSingleObject(&event_, Suspended, KernelMode, FALSE, &timeout);
    }
    bool Done() const { return returned_ != STATUS_PENDING || KeReadStateEvent(const_cast<KEVENT*>(&event_)) != 0; }
    PIRP Irp() const { return irp_; }

private:
    PDEVICE_OBJECT target_;
    PURB urb_;
    KEVENT event_;
    IO_STATUS_BLOCK iosb_{};
    PIRP irp_ = nullptr;
    NTSTATUS returned_ = STATUS_PENDING;
};

inline Sent SendUrb(PDEVICE_OBJECT target, PURB urb) {
    Submission s(target, urb);
    Sent r;
    r.returned = s.Send();
    r.final = s.Wait();
    return r;
}

// The vendor URB exactly as the driver builds it.
inline URB VendorUrb(bool in, uint8_t request, uint16_t value, void* buffer, ULONG length,
                     ULONG flags = USBD_SHORT_TRANSFER_OK, uint16_t index = 0xAA55) {
    URB u{};
    UsbBuildVendorRequest(&u, URB_FUNCTION_VENDOR_DEVICE,
                          static_cast<USHORT>(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST)),
                          flags | (in ? USBD_TRANSFER_DIRECTION_IN : 0), 0, request, value, index, buffer, nullptr,
                          length, nullptr);
    return u;
}

inline URB DescriptorUrb(UCHAR type, void* buffer, ULONG length) {
    URB u{};
    UsbBuildGetDescriptorRequest(&u, static_cast<USHORT>(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)), type, 0, 0,
                                 buffer, nullptr, length, nullptr);
    return u;
}

// A vendor request sent as the driver sends it; the final status.
inline NTSTATUS Vendor(PDEVICE_OBJECT pdo, bool in, uint8_t request, uint16_t value, void* buffer, ULONG length,
                       URB* out = nullptr, ULONG flags = USBD_SHORT_TRANSFER_OK) {
    URB u = VendorUrb(in, request, value, buffer, length, flags);
    const NTSTATUS status = SendUrb(pdo, &u).final;
    if (out) *out = u;
    return status;
}

inline NTSTATUS Pnp(PDEVICE_OBJECT pdo, UCHAR minor) {
    return hosted::Io::SendPnp(pdo, minor, [](PIO_STACK_LOCATION) {});
}

inline NTSTATUS QueryCaps(PDEVICE_OBJECT pdo, DEVICE_CAPABILITIES* caps) {
    *caps = DEVICE_CAPABILITIES{};
    caps->Size = sizeof *caps;
    caps->Version = 1;
    return hosted::Io::SendPnp(pdo, IRP_MN_QUERY_CAPABILITIES,
                               [&](PIO_STACK_LOCATION sp) { sp->Parameters.DeviceCapabilities.Capabilities = caps; });
}

// The camera with remote wakeup in its configuration descriptor.
inline std::shared_ptr<orvex::sim::Camera> WakingCamera() {
    orvex::sim::CameraConfig cfg;
    cfg.configDescriptor = orvex::sim::BuildDefaultConfigDescriptor();
    (*cfg.configDescriptor)[7] |= 0x20;
    return orvex::sim::MakeCamera(std::move(cfg));
}

// A select-configuration URB for every interface at alternate setting 0
// (or the given alternate settings), built with USBD_CreateConfigurationRequestEx.
struct SelectRequest {
    PURB urb = nullptr;
    std::vector<USBD_INTERFACE_LIST_ENTRY> list;
    ~SelectRequest() {
        if (urb) ExFreePool(urb);
    }
};

inline std::unique_ptr<SelectRequest> BuildSelect(PUSB_CONFIGURATION_DESCRIPTOR cd,
                                                  const std::vector<std::pair<int, int>>& interfaces) {
    auto s = std::make_unique<SelectRequest>();
    for (auto [number, alt] : interfaces) {
        auto* id = USBD_ParseConfigurationDescriptorEx(cd, cd, number, alt, -1, -1, -1);
        if (id) s->list.push_back({id, nullptr});
    }
    s->list.push_back({nullptr, nullptr});
    s->urb = USBD_CreateConfigurationRequestEx(cd, s->list.data());
    return s;
}

}  // namespace usbtest
