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

}  // namespace

// Reads the whole configuration descriptor into UsbConfigurationDescriptor
// (growing the buffer once if the first guess was short) and selects it.
//
// Each buffer is zeroed before the read, so a read that moves fewer bytes than
// the buffer holds (or none) never leaves uninitialised memory for the
// interface search to parse; wTotalLength never exceeds the buffer size when
// the loop ends, so the parser stays inside the buffer.
NTSTATUS CUsbDevice::SelectConfiguration(PKSDEVICE KsDevice)
{
    LOG_TRACE("ORVEX :       +CUsbDevice::SelectConfiguration()\n");

    NTSTATUS status = STATUS_SUCCESS;
    ULONG requestSize = FirstConfigurationRequestSize;
    bool haveDescriptor = true;
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
        ULONG moved = request.TransferBufferLength;
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
        if (!NT_SUCCESS(status)) {
            LOG_ERROR("ORVEX :        SelectConfiguration() Get Config Descriptor FAILURE (%x)\n", status);
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
