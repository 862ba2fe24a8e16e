// The USB driver library routines (usbd.sys) of the hosted build.
//
// The real parsers and the real request builder trust what they are given:
// they walk descriptors by bLength up to wTotalLength, so a zero bLength never
// ends the walk, a descriptor that reaches past wTotalLength is read past it,
// a wTotalLength beyond the buffer sends the walk out of it, and an interface
// that announces more endpoints than follow it makes the builder read past
// the end. A client has to validate a configuration descriptor read from a
// device before it hands it to them. Here every such walk is checked: where
// the real routine would leave the bytes it was given or never end, the
// hosted one records a verifier violation naming the routine and the offset
// and returns NULL, so the test fails instead of the machine.
#include <wdm.h>
#include <usbdlib.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include <hosted/verifier.h>

#include "UsbdInternal.h"
#include "internal.h"

namespace {

constexpr ULONG kUsbdPoolTag = 0x44425355;  // "USBD"

// Bytes from p to the end of the live pool block that holds it; SIZE_MAX when
// p lies in no pool block (a caller's own buffer, whose size is unknown here).
size_t PoolBytesFrom(const void* p) {
    using namespace hosted::detail;
    Kernel& k = K();
    Lock lock(k.m);
    auto* b = static_cast<const UCHAR*>(p);
    auto it = k.pool.upper_bound(const_cast<void*>(p));
    if (it == k.pool.begin()) return SIZE_MAX;
    --it;
    auto* blockBegin = static_cast<const UCHAR*>(it->first);
    if (b >= blockBegin + it->second.bytes) return SIZE_MAX;
    return static_cast<size_t>(blockBegin + it->second.bytes - b);
}

void Finding(const char* routine, const UCHAR* begin, const UCHAR* at, const std::string& what) {
    char where[64];
    std::snprintf(where, sizeof where, " at offset %td", at - begin);
    hosted::Verifier::Report(std::string("usbd: ") + routine + " over a configuration descriptor the client did not validate" +
                             where + ": " + what);
}

// The bytes a routine walks: [begin, end) with end = begin + the length it
// was given, or false (after a finding) when that length reaches past the
// pool block the descriptor lies in.
bool Bounds(const char* routine, PUCHAR begin, ULONG length, PUCHAR* end) {
    const size_t room = PoolBytesFrom(begin);
    if (room != SIZE_MAX && length > room) {
        Finding(routine, begin, begin, "its length " + std::to_string(length) + " reaches past the " +
                                           std::to_string(room) + "-byte buffer");
        return false;
    }
    *end = begin + length;
    return true;
}

// The configuration routines read wTotalLength from the header first: the
// 9-byte header must lie inside the pool block the descriptor is in.
bool HeaderFits(const char* routine, PUSB_CONFIGURATION_DESCRIPTOR cd) {
    auto* begin = reinterpret_cast<PUCHAR>(cd);
    const size_t room = PoolBytesFrom(begin);
    if (room != SIZE_MAX && room < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        Finding(routine, begin, begin, "the 9-byte header does not fit the " + std::to_string(room) + "-byte buffer");
        return false;
    }
    return true;
}

// The real walk from pos: descriptor after descriptor, by bLength, until one
// of `type` (-1: any) or the end. Returns it, or NULL at the end; sets *fault
// (after a finding) when the walk meets a descriptor it would mis-step on.
PUSB_COMMON_DESCRIPTOR StrictNext(const char* routine, PUCHAR begin, PUCHAR pos, PUCHAR end, LONG type, bool* fault) {
    *fault = false;
    while (pos < end) {
        if (end - pos < 2) {
            Finding(routine, begin, pos, "a descriptor header is cut by the end");
            *fault = true;
            return nullptr;
        }
        auto* d = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(pos);
        if (d->bLength < 2) {
            Finding(routine, begin, pos,
                    d->bLength == 0 ? std::string("bLength 0 never moves the walk on")
                                    : "bLength 1 is shorter than a descriptor header");
            *fault = true;
            return nullptr;
        }
        if (d->bLength > end - pos) {
            Finding(routine, begin, pos, "bLength " + std::to_string(d->bLength) + " reaches past the end (" +
                                             std::to_string(end - pos) + " bytes left)");
            *fault = true;
            return nullptr;
        }
        if (type == -1 || d->bDescriptorType == static_cast<UCHAR>(type)) return d;
        pos += d->bLength;
    }
    return nullptr;
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

PUSB_INTERFACE_DESCRIPTOR FindInterface(PUSB_CONFIGURATION_DESCRIPTOR cd, UCHAR number, UCHAR alternate) {
    auto* pos = reinterpret_cast<PUCHAR>(cd);
    PUCHAR end = pos + cd->wTotalLength;
    while (auto* d = NextDescriptor(pos, end, USB_INTERFACE_DESCRIPTOR_TYPE)) {
        auto* id = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(d);
        if (d->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR) && id->bInterfaceNumber == number &&
            id->bAlternateSetting == alternate)
            return id;
        pos = reinterpret_cast<PUCHAR>(d) + d->bLength;
    }
    return nullptr;
}

}  // namespace hosted::usb

extern "C" {

PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength, PVOID StartPosition,
                                             LONG DescriptorType) {
    constexpr const char* routine = "USBD_ParseDescriptors";
    if (!DescriptorBuffer || !StartPosition) return nullptr;
    auto* begin = static_cast<PUCHAR>(DescriptorBuffer);
    PUCHAR end;
    if (!Bounds(routine, begin, TotalLength, &end)) return nullptr;
    auto* pos = static_cast<PUCHAR>(StartPosition);
    if (pos < begin || pos >= end) return nullptr;
    bool fault;
    return StrictNext(routine, begin, pos, end, DescriptorType, &fault);
}

PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                              PVOID StartPosition, LONG InterfaceNumber,
                                                              LONG AlternateSetting, LONG InterfaceClass,
                                                              LONG InterfaceSubClass, LONG InterfaceProtocol) {
    constexpr const char* routine = "USBD_ParseConfigurationDescriptorEx";
    if (!ConfigurationDescriptor || !StartPosition) return nullptr;
    if (!HeaderFits(routine, ConfigurationDescriptor)) return nullptr;
    auto* begin = reinterpret_cast<PUCHAR>(ConfigurationDescriptor);
    PUCHAR end;
    if (!Bounds(routine, begin, ConfigurationDescriptor->wTotalLength, &end)) return nullptr;
    auto* pos = static_cast<PUCHAR>(StartPosition);
    if (pos < begin || pos >= end) return nullptr;
    bool fault = false;
    while (auto* d = StrictNext(routine, begin, pos, end, USB_INTERFACE_DESCRIPTOR_TYPE, &fault)) {
        auto* id = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(d);
        if (d->bLength < sizeof(USB_INTERFACE_DESCRIPTOR)) {
            Finding(routine, begin, reinterpret_cast<PUCHAR>(d), "an interface descriptor of " + std::to_string(d->bLength) +
                                             " bytes is read as one of 9");
            return nullptr;
        }
        if ((InterfaceNumber == -1 || id->bInterfaceNumber == InterfaceNumber) &&
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
    constexpr const char* routine = "USBD_CreateConfigurationRequestEx";
    if (!ConfigurationDescriptor || !InterfaceList) return nullptr;
    if (!HeaderFits(routine, ConfigurationDescriptor)) return nullptr;

    // The builder reads every listed interface descriptor and the endpoint
    // descriptors after it, as many as its bNumEndpoints says.
    auto* begin = reinterpret_cast<PUCHAR>(ConfigurationDescriptor);
    PUCHAR end;
    if (!Bounds(routine, begin, ConfigurationDescriptor->wTotalLength, &end)) return nullptr;
    for (auto* e = InterfaceList; e->InterfaceDescriptor; ++e) {
        auto* at = reinterpret_cast<PUCHAR>(e->InterfaceDescriptor);
        if (at < begin || at >= end || end - at < static_cast<ptrdiff_t>(sizeof(USB_INTERFACE_DESCRIPTOR))) {
            Finding(routine, begin, at, "a listed interface descriptor does not lie whole inside wTotalLength");
            return nullptr;
        }
        const ULONG announced = e->InterfaceDescriptor->bNumEndpoints;
        PUCHAR pos = at + e->InterfaceDescriptor->bLength;
        bool fault = false;
        for (ULONG found = 0; found < announced; ++found) {
            auto* ep = StrictNext(routine, begin, pos, end, USB_ENDPOINT_DESCRIPTOR_TYPE, &fault);
            if (fault) return nullptr;
            if (!ep) {
                Finding(routine, begin, at, "the interface announces " + std::to_string(announced) +
                                                " endpoints, only " + std::to_string(found) + " follow it");
                return nullptr;
            }
            if (ep->bLength < sizeof(USB_ENDPOINT_DESCRIPTOR)) {
                Finding(routine, begin, reinterpret_cast<PUCHAR>(ep),
                        "an endpoint descriptor of " + std::to_string(ep->bLength) + " bytes is read as one of 7");
                return nullptr;
            }
            pos = reinterpret_cast<PUCHAR>(ep) + ep->bLength;
        }
    }

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
