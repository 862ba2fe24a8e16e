// The USB driver library routines (usbd.sys) of the hosted build.
//
// The parsers walk descriptors by bLength inside the configuration's
// wTotalLength and never return a descriptor that does not lie whole inside
// it: a zero or too-short bLength ends the walk, so malformed descriptors
// from a device cannot send a client outside its buffer.
#include <wdm.h>
#include <usbdlib.h>

#include "UsbdInternal.h"

namespace {

constexpr ULONG kUsbdPoolTag = 0x44425355;  // "USBD"

// Bounds of a configuration descriptor: [begin, begin + wTotalLength).
struct Span {
    PUCHAR begin;
    PUCHAR end;
};

Span ConfigSpan(PUSB_CONFIGURATION_DESCRIPTOR cd) {
    auto* b = reinterpret_cast<PUCHAR>(cd);
    return {b, b + cd->wTotalLength};
}

}  // namespace

namespace hosted::usb {

PUSB_COMMON_DESCRIPTOR NextDescriptor(PUCHAR pos, PUCHAR end, LONG type) {
    while (pos + sizeof(USB_COMMON_DESCRIPTOR) <= end) {
        auto* d = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(pos);
        if (d->bLength < sizeof(USB_COMMON_DESCRIPTOR) || pos + d->bLength > end) return nullptr;
        if (type == -1 || d->bDescriptorType == static_cast<UCHAR>(type)) return d;
        pos += d->bLength;
    }
    return nullptr;
}

}  // namespace hosted::usb

extern "C" {

PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength, PVOID StartPosition,
                                             LONG DescriptorType) {
    if (!DescriptorBuffer || !StartPosition) return nullptr;
    auto* begin = static_cast<PUCHAR>(DescriptorBuffer);
    auto* end = begin + TotalLength;
    auto* pos = static_cast<PUCHAR>(StartPosition);
    if (pos < begin || pos >= end) return nullptr;
    return hosted::usb::NextDescriptor(pos, end, DescriptorType);
}

PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                              PVOID StartPosition, LONG InterfaceNumber,
                                                              LONG AlternateSetting, LONG InterfaceClass,
                                                              LONG InterfaceSubClass, LONG InterfaceProtocol) {
    if (!ConfigurationDescriptor || !StartPosition) return nullptr;
    const Span s = ConfigSpan(ConfigurationDescriptor);
    auto* pos = static_cast<PUCHAR>(StartPosition);
    if (pos < s.begin || pos >= s.end) return nullptr;
    while (auto* d = hosted::usb::NextDescriptor(pos, s.end, USB_INTERFACE_DESCRIPTOR_TYPE)) {
        auto* id = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(d);
        if (d->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR) &&
            (InterfaceNumber == -1 || id->bInterfaceNumber == InterfaceNumber) &&
            (AlternateSetting == -1 || id->bAlternateSetting == AlternateSetting) &&
            (InterfaceClass == -1 || id->bInterfaceClass == InterfaceClass) &&
            (InterfaceSubClass == -1 || id->bInterfaceSubClass == InterfaceSubClass) &&
            (InterfaceProtocol == -1 || id->bInterfaceProtocol == InterfaceProtocol)) {
            return id;
        }
        pos = reinterpret_cast<PUCHAR>(d) + d->bLength;
    }
    return nullptr;
}

PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptor(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                            UCHAR InterfaceNumber, UCHAR AlternateSetting) {
    return USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, ConfigurationDescriptor, InterfaceNumber,
                                               AlternateSetting, -1, -1, -1);
}

PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
    if (!ConfigurationDescriptor || !InterfaceList) return nullptr;

    // Size: the fixed part of the request, then one interface information
    // per listed interface with room for all its endpoints.
    SIZE_T size = sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION);
    for (auto* e = InterfaceList; e->InterfaceDescriptor; ++e)
        size += GET_USBD_INTERFACE_SIZE(e->InterfaceDescriptor->bNumEndpoints);
    // A request without interfaces still carries one zeroed interface
    // information, so readers of the first one stay inside the allocation.
    const SIZE_T alloc = size < sizeof(struct _URB_SELECT_CONFIGURATION) ? sizeof(struct _URB_SELECT_CONFIGURATION)
                                                                          : size;
    if (alloc > MAXUSHORT) return nullptr;

    auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPoolNx, alloc, kUsbdPoolTag));
    if (!urb) return nullptr;
    __builtin_memset(urb, 0, alloc);

    auto* info = &urb->UrbSelectConfiguration.Interface;
    for (auto* e = InterfaceList; e->InterfaceDescriptor; ++e) {
        const auto* id = e->InterfaceDescriptor;
        info->Length = GET_USBD_INTERFACE_SIZE(id->bNumEndpoints);
        info->InterfaceNumber = id->bInterfaceNumber;
        info->AlternateSetting = id->bAlternateSetting;
        info->NumberOfPipes = id->bNumEndpoints;
        for (ULONG p = 0; p < info->NumberOfPipes; ++p) {
            info->Pipes[p].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
            info->Pipes[p].PipeFlags = 0;
        }
        e->Interface = info;
        info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<PUCHAR>(info) + info->Length);
    }
    UsbBuildSelectConfigurationRequest(urb, static_cast<USHORT>(alloc), ConfigurationDescriptor);
    return urb;
}

void USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION VersionInformation) {
    if (!VersionInformation) return;
    VersionInformation->USBDI_Version = 0x00000600;
    VersionInformation->Supported_USB_Version = 0x0200;
}

}  // extern "C"
