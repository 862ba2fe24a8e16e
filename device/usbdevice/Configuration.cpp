// Configuration and interface selection of the camera's USB device.
#include "UsbDevice.h"

// usbdlib.h needs the kernel and USB declarations that UsbDevice.h brings in.
// Its routines have C linkage (USBD.SYS exports), which not every copy of the
// header states itself.
extern "C" {
#include <usbdlib.h>
}

#include "Log.h"
#include "SendUrb.h"

static_assert(sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST) == 136, "descriptor request URB layout");
static_assert(sizeof(_URB_SELECT_CONFIGURATION) == 88, "select-configuration URB layout");
static_assert(sizeof(USBD_INTERFACE_INFORMATION) == 48, "interface information layout");
static_assert(sizeof(USBD_PIPE_INFORMATION) == 24, "pipe information layout");
static_assert(sizeof(USBD_INTERFACE_LIST_ENTRY) == 16, "interface list layout");
static_assert(sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9, "configuration descriptor layout");
static_assert(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE == 0x000B, "descriptor request function");

namespace {

// The first guess for the configuration descriptor's length.
constexpr ULONG FirstConfigurationRequestSize = 521;
// Interface numbers are 8 bits wide: the search never looks past this one.
constexpr LONG HighestInterfaceNumber = 255;
constexpr ULONG FirstInterfaceMaximumTransferSize = 0x10000;

// FindDescriptorFault's answer for a descriptor with nothing wrong.
constexpr ULONG DescriptorSound = 0xFFFFFFFF;

// Checks the configuration descriptor a device delivered before anything
// parses it. The USB library's parsers and request builder trust wTotalLength
// and every bLength, so a descriptor that lies sends them past the buffer or
// into an endless walk. Zero-filling the buffer does not help: bytes the
// device did not send read as descriptors of length 0.
//
// Only the bytes the device actually delivered count, and at most
// wTotalLength of them. The descriptor is sound when:
// - the configuration header is whole (9 bytes delivered, bLength at least 9,
//   type 2) and wTotalLength covers it;
// - the device delivered all wTotalLength bytes it announced;
// - walking by bLength from the start, every descriptor has a bLength of at
//   least 2 and lies wholly inside wTotalLength;
// - interface descriptors are at least 9 bytes and endpoint descriptors at
//   least 7 (their fields are read as such);
// - each interface descriptor is followed, before the next interface
//   descriptor, by at least as many endpoint descriptors as its bNumEndpoints
//   announces (the request builder takes that many endpoints after it).
// Returns DescriptorSound, or the offset of the first descriptor found wrong.
ULONG FindDescriptorFault(const UCHAR* Descriptor, ULONG Delivered)
{
    if (Delivered < sizeof(USB_CONFIGURATION_DESCRIPTOR) || Descriptor[0] < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
        Descriptor[1] != USB_CONFIGURATION_DESCRIPTOR_TYPE) {
        return 0;
    }
    const ULONG total = static_cast<ULONG>(Descriptor[2]) | (static_cast<ULONG>(Descriptor[3]) << 8);
    if (total < Descriptor[0] || total > Delivered) {
        return 0;
    }

    ULONG interfaceAt = 0;
    ULONG endpointsAnnounced = 0;
    ULONG endpointsSeen = 0;
    for (ULONG at = 0; at < total;) {
        if (total - at < sizeof(USB_COMMON_DESCRIPTOR)) {
            return at;
        }
        const ULONG length = Descriptor[at];
        const UCHAR type = Descriptor[at + 1];
        if (length < sizeof(USB_COMMON_DESCRIPTOR) || length > total - at) {
            return at;
        }
        if (type == USB_INTERFACE_DESCRIPTOR_TYPE) {
            if (length < sizeof(USB_INTERFACE_DESCRIPTOR)) {
                return at;
            }
            if (endpointsSeen < endpointsAnnounced) {
                return interfaceAt;
            }
            interfaceAt = at;
            endpointsAnnounced = Descriptor[at + 4];
            endpointsSeen = 0;
        } else if (type == USB_ENDPOINT_DESCRIPTOR_TYPE) {
            if (length < sizeof(USB_ENDPOINT_DESCRIPTOR)) {
                return at;
            }
            ++endpointsSeen;
        }
        at += length;
    }
    return endpointsSeen < endpointsAnnounced ? interfaceAt : DescriptorSound;
}

}  // namespace

// Reads the whole configuration descriptor into UsbConfigurationDescriptor
// (growing the buffer once if the first guess was short) and selects it.
//
// Each buffer is zeroed before the read, so no uninitialised memory is ever
// looked at. Before the descriptor is selected it is checked against the
// bytes the last read delivered (FindDescriptorFault); a descriptor found
// wrong fails the start with STATUS_DEVICE_DATA_ERROR and is never handed to
// the USB library's parsers, which trust it.
NTSTATUS CUsbDevice::SelectConfiguration(PKSDEVICE KsDevice)
{
    LOG_TRACE("ORVEX :       +CUsbDevice::SelectConfiguration()\n");

    NTSTATUS status = STATUS_SUCCESS;
    ULONG requestSize = FirstConfigurationRequestSize;
    bool haveDescriptor = true;
    ULONG moved = 0;
    for (;;) {
        PUCHAR buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, requestSize, TagHarn));
        m_pUsbInfo->UsbConfigurationDescriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(buffer);
        if (buffer == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
            haveDescriptor = false;
            break;
        }
        RtlZeroMemory(buffer, requestSize);

        URB urb;
        _URB_CONTROL_DESCRIPTOR_REQUEST& request = BuildGetDescriptorRequest(urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, buffer, requestSize);

        status = SendURB(KsDevice->NextDeviceObject, &urb);
        moved = request.TransferBufferLength;
        LOG_TRACE("ORVEX :         SelectConfiguration() Configuration Descriptor = %x, len %x\n", LowPart32(buffer),
                  moved);
        if (moved == 0) {
            break;
        }
        ULONG totalLength = static_cast<ULONG>(buffer[2]) | (static_cast<ULONG>(buffer[3]) << 8);
        if (totalLength <= requestSize) {
            break;
        }
        requestSize = totalLength;
        ExFreePool(buffer);
        m_pUsbInfo->UsbConfigurationDescriptor = nullptr;
    }

    if (haveDescriptor) {
        USBDEVICE_ASSERT(m_pUsbInfo->UsbConfigurationDescriptor);
        const auto* descriptor = reinterpret_cast<const UCHAR*>(m_pUsbInfo->UsbConfigurationDescriptor);
        // A lower driver that reports more bytes than the buffer holds is not
        // believed beyond the buffer.
        const ULONG delivered = moved < requestSize ? moved : requestSize;
        ULONG fault = DescriptorSound;
        if (!NT_SUCCESS(status)) {
            LOG_ERROR("ORVEX :        SelectConfiguration() Get Config Descriptor FAILURE (%x)\n", status);
        } else if ((fault = FindDescriptorFault(descriptor, delivered)) != DescriptorSound) {
            // The buffer holds at least 521 zero-filled bytes, so wTotalLength
            // can be printed whatever the device sent.
            status = STATUS_DEVICE_DATA_ERROR;
            LOG_ERROR("ORVEX :        SelectConfiguration() invalid Configuration Descriptor at offset %x, len %x, "
                      "wTotalLength %x\n",
                      fault, delivered, static_cast<ULONG>(descriptor[2]) | (static_cast<ULONG>(descriptor[3]) << 8));
        } else {
            status = SelectInterface(KsDevice, m_pUsbInfo->UsbConfigurationDescriptor);
            if (!NT_SUCCESS(status)) {
                LOG_ERROR("ORVEX :       SelectConfiguration() SelectInterface() FAILURE (%x)\n", status);
            }
        }
    }

    LOG_TRACE("ORVEX :       -SelectConfiguration (%x)\n", status);
    return status;
}

// Selects the configuration with the first bNumInterfaces interfaces that
// exist at alternate setting 0 and keeps a copy of the first one's
// information (with its pipe handles) in UsbInterface.
//
// The search for interfaces stops after interface number 255, the highest
// one there can be. A descriptor that announces more interfaces than it
// holds is then selected with the interfaces found: the firmware update
// works over the default pipe, and a camera whose descriptor is off is the
// very camera that may need its firmware rewritten. When no interface was
// found at all, the configuration is selected without interfaces and no
// interface information is copied or traced, since there is none.
NTSTATUS CUsbDevice::SelectInterface(PKSDEVICE KsDevice, PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor)
{
    const ULONG announced = ConfigurationDescriptor->bNumInterfaces;
    LOG_TRACE("ORVEX :       +SelectInterface, number of interface = %d\n", announced);

    const SIZE_T listBytes = (announced + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY);
    auto* list = static_cast<PUSBD_INTERFACE_LIST_ENTRY>(ExAllocatePoolWithTag(NonPagedPoolNx, listBytes, TagHarn));
    if (list == nullptr) {
        DbgPrint("ORVEX : Failed to allocate mem for interfaceList\n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(list, listBytes);

    ULONG found = 0;
    for (LONG number = 0; found < announced && number <= HighestInterfaceNumber; ++number) {
        PUSB_INTERFACE_DESCRIPTOR descriptor = USBD_ParseConfigurationDescriptorEx(
            ConfigurationDescriptor, ConfigurationDescriptor, number, 0, -1, -1, -1);
        if (descriptor != nullptr) {
            list[found].InterfaceDescriptor = descriptor;
            list[found].Interface = nullptr;
            ++found;
        }
    }
    // list[found] and everything after it stay all NULL: the closing entry.

    NTSTATUS status;
    PURB urb = USBD_CreateConfigurationRequestEx(ConfigurationDescriptor, list);
    if (urb == nullptr) {
        LOG_ERROR("ORVEX : USBD_CreateConfigurationRequestEx failed\n");
        status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        PUSBD_INTERFACE_INFORMATION first = &urb->UrbSelectConfiguration.Interface;
        if (found != 0) {
            for (ULONG pipe = 0; pipe < first->NumberOfPipes; ++pipe) {
                first->Pipes[pipe].MaximumTransferSize = FirstInterfaceMaximumTransferSize;
            }
        }

        status = SendURB(KsDevice->NextDeviceObject, urb);
        if (!NT_SUCCESS(status)) {
            LOG_ERROR("ORVEX : Failed to select an interface\n");
        } else if (found != 0) {
            auto* copy = static_cast<PUSBD_INTERFACE_INFORMATION>(
                ExAllocatePoolWithTag(NonPagedPoolNx, first->Length, TagHarn));
            m_pUsbInfo->UsbInterface = copy;
            if (copy != nullptr) {
                RtlCopyMemory(copy, first, first->Length);
            } else {
                LOG_ERROR("ORVEX : memory alloc for UsbInterface failed\n");
                status = STATUS_INSUFFICIENT_RESOURCES;
            }
            LOG_TRACE("ORVEX : ---------\n");
            LOG_TRACE("ORVEX : NumberOfPipes 0x%x\n", first->NumberOfPipes);
            LOG_TRACE("ORVEX : Length 0x%x\n", first->Length);
            LOG_TRACE("ORVEX : Alt Setting 0x%x\n", first->AlternateSetting);
            LOG_TRACE("ORVEX : Interface Number 0x%x\n", first->InterfaceNumber);
            LOG_TRACE("ORVEX : Class, subclass, protocol 0x%x 0x%x 0x%x\n", first->Class, first->SubClass,
                      first->Protocol);
        }
        ExFreePool(urb);
    }

    ExFreePool(list);
    return status;
}
