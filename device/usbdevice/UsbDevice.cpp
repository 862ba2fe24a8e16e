// The device object of one camera: allocation, construction, Add, Start,
// Stop and Remove of CUsbDevice.
#include "UsbDevice.h"

#include "../update/UpdateEngine.h"
#include "Log.h"
#include "SendUrb.h"

static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18, "device descriptor layout");
static_assert(sizeof(USB_INFO) == 24, "USB_INFO layout");
// The shared flags are single aligned words, accessed atomically.
static_assert(sizeof(((CDevice*)nullptr)->m_bRemoved) == 4, "m_bRemoved is one 32-bit word");
static_assert(alignof(ULONG) == 4 && alignof(PVOID) == 8, "aligned shared words");

namespace {

constexpr ULONG DeviceDescriptorSize = 18;

// Frees the three descriptor buffers of a started device, each only if set,
// in the order interface, configuration, device descriptor.
void FreeDescriptorBuffers(USB_INFO* Info)
{
    if (Info->UsbInterface != nullptr) {
        ExFreePool(Info->UsbInterface);
        Info->UsbInterface = nullptr;
    }
    if (Info->UsbConfigurationDescriptor != nullptr) {
        ExFreePool(Info->UsbConfigurationDescriptor);
        Info->UsbConfigurationDescriptor = nullptr;
    }
    if (Info->UsbDeviceDescriptor != nullptr) {
        ExFreePool(Info->UsbDeviceDescriptor);
        Info->UsbDeviceDescriptor = nullptr;
    }
}

}  // namespace

// ---- CDevice ----

CDevice::CDevice()
    : m_pPhysicalDeviceObject(nullptr),
      m_bRemoved(0),
      m_ulPowerState(1),  // PowerDeviceD0
      m_Settings(),
      m_pKsDevice(nullptr),
      m_ulProductId(0),
      m_usVendorId(0),
      m_usBcdUsb(0)
{
}

CDevice::~CDevice() {}

// ---- CUsbDevice: allocation ----

void* CUsbDevice::operator new(AllocationSize Size, POOL_TYPE PoolType) noexcept
{
    void* memory = ExAllocatePoolWithTag(PoolType, Size, TagDevice);
    if (memory != nullptr) {
        RtlZeroMemory(memory, Size);
    }
    return memory;
}

void CUsbDevice::operator delete(void* Memory) noexcept
{
    if (Memory != nullptr) {
        ExFreePool(Memory);
    }
}

void CUsbDevice::operator delete(void* Memory, AllocationSize Size) noexcept
{
    UNREFERENCED_PARAMETER(Size);
    if (Memory != nullptr) {
        ExFreePool(Memory);
    }
}

// ---- CUsbDevice: construction ----

CUsbDevice::CUsbDevice() : CDevice(), m_pUsbInfo(nullptr), m_pThreadObject(nullptr) {}

// Frees nothing: Remove has released USB_INFO, and the path strings in
// m_Settings belong to the function device.
CUsbDevice::~CUsbDevice()
{
    LOG_TRACE("ORVEX :     +CUsbDevice::~CUsbDevice()\n");
}

// ---- CUsbDevice: plug and play ----

NTSTATUS CUsbDevice::Add(PKSDEVICE KsDevice)
{
    UNREFERENCED_PARAMETER(KsDevice);
    LOG_TRACE("ORVEX :     +CUsbDevice::Add()\n");

    m_pUsbInfo = static_cast<USB_INFO*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(USB_INFO), TagHarn));
    if (m_pUsbInfo == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(m_pUsbInfo, sizeof(USB_INFO));

    LOG_TRACE("ORVEX :     -CUsbDevice::Add()\n");
    return STATUS_SUCCESS;
}

NTSTATUS CUsbDevice::Start(PKSDEVICE KsDevice, PIRP Irp, PCM_RESOURCE_LIST TranslatedResources,
                           PCM_RESOURCE_LIST UntranslatedResources, ULONG ProductIdOverride)
{
    UNREFERENCED_PARAMETER(Irp);
    UNREFERENCED_PARAMETER(TranslatedResources);
    UNREFERENCED_PARAMETER(UntranslatedResources);

    // A device whose Add failed has no USB_INFO and cannot be started.
    if (IsRemoved() || m_pUsbInfo == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    LOG_TRACE("ORVEX :     +CUsbDevice::Start()\n");

    NTSTATUS status;
    auto* descriptor =
        static_cast<PUSB_DEVICE_DESCRIPTOR>(ExAllocatePoolWithTag(NonPagedPoolNx, DeviceDescriptorSize, TagHarn));
    if (descriptor == nullptr) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        RtlZeroMemory(descriptor, DeviceDescriptorSize);

        URB urb;
        _URB_CONTROL_DESCRIPTOR_REQUEST& request = BuildGetDescriptorRequest(urb, USB_DEVICE_DESCRIPTOR_TYPE, descriptor, DeviceDescriptorSize);

        status = SendURB(KsDevice->NextDeviceObject, &urb);
        if (!NT_SUCCESS(status)) {
            LOG_ERROR("ORVEX :       SendURB returned with error %x\n", status);
            ExFreePool(descriptor);
            return status;
        }

        LOG_TRACE("ORVEX :        Device Descriptor = %x, len %x\n", LowPart32(descriptor),
                  request.TransferBufferLength);
        LOG_TRACE("ORVEX :        USB adapter Device Descriptor:\n");
        LOG_TRACE("ORVEX :        -------------------------\n");
        LOG_TRACE("ORVEX :        bLength %d\n", descriptor->bLength);
        LOG_TRACE("ORVEX :        bDescriptorType 0x%x\n", descriptor->bDescriptorType);
        LOG_TRACE("ORVEX :        bcdUSB 0x%x\n", descriptor->bcdUSB);
        LOG_TRACE("ORVEX :        bDeviceClass 0x%x\n", descriptor->bDeviceClass);
        LOG_TRACE("ORVEX :        bDeviceSubClass 0x%x\n", descriptor->bDeviceSubClass);
        LOG_TRACE("ORVEX :        bDeviceProtocol 0x%x\n", descriptor->bDeviceProtocol);
        LOG_TRACE("ORVEX :        bMaxPacketSize0 0x%x\n", descriptor->bMaxPacketSize0);
        LOG_TRACE("ORVEX :        idVendor 0x%x\n", descriptor->idVendor);
        LOG_TRACE("ORVEX :        idProduct 0x%x\n", descriptor->idProduct);
        LOG_TRACE("ORVEX :        bcdDevice 0x%x\n", descriptor->bcdDevice);
        LOG_TRACE("ORVEX :        iManufacturer 0x%x\n", descriptor->iManufacturer);
        LOG_TRACE("ORVEX :        iProduct 0x%x\n", descriptor->iProduct);
        LOG_TRACE("ORVEX :        iSerialNumber 0x%x\n", descriptor->iSerialNumber);
        LOG_TRACE("ORVEX :        bNumConfigurations 0x%x\n", descriptor->bNumConfigurations);

        m_pUsbInfo->UsbDeviceDescriptor = descriptor;

        status = SelectConfiguration(KsDevice);
        if (!NT_SUCCESS(status)) {
            LOG_ERROR("ORVEX :       SelectConfiguration() FAILURE (%x)\n", status);
        } else {
            m_usVendorId = descriptor->idVendor;
            m_ulProductId = descriptor->idProduct;
            m_usBcdUsb = descriptor->bcdUSB;
            if (ProductIdOverride != 0) {
                m_ulProductId = ProductIdOverride;
            }
            // The product ID goes first, under the label DEVICE.
            DbgPrint("DEVICE(0x%x), PRODUCT(0x%x)\n", m_ulProductId, static_cast<ULONG>(m_usVendorId));

            // The version file only informs the update thread; a missing or
            // unreadable one does not stop the start.
            GetDownloadFile(this, m_Settings.VersionFilePath, FileTypeVersion);
            ParseVersionText(this);
            m_bUpdated = 0;
            StartControlPanelAnalysisThread(this, KsDevice);

            LOG_TRACE("ORVEX :     -CUsbDevice::Start() completed (%x)\n", status);
            return status;
        }
    }

    LOG_ERROR("ORVEX :       SelectConfiguration() FAILURE (%x)\n", status);
    FreeDescriptorBuffers(m_pUsbInfo);
    return status;
}

void CUsbDevice::Stop(PKSDEVICE KsDevice, PIRP Irp)
{
    UNREFERENCED_PARAMETER(Irp);

    StopControlPanelAnalysisThread(this, KsDevice);

    if (!IsRemoved()) {
        // A select-configuration request without a configuration descriptor
        // deconfigures the device (SET_CONFIGURATION 0). Its status does not
        // matter: the device is stopping either way.
        URB urb;
        RtlZeroMemory(&urb, sizeof(urb));
        urb.UrbSelectConfiguration.Hdr.Length = sizeof(_URB_SELECT_CONFIGURATION);
        urb.UrbSelectConfiguration.Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
        urb.UrbSelectConfiguration.ConfigurationDescriptor = nullptr;
        SendURB(KsDevice->NextDeviceObject, &urb);
    }

    if (m_pUsbInfo != nullptr) {
        FreeDescriptorBuffers(m_pUsbInfo);
    }
}

// Frees USB_INFO and also the descriptor buffers that no Stop released (a
// removal that follows a start without a stop in between), so that nothing of
// the device leaks; then ends the update thread, which never touches USB_INFO.
void CUsbDevice::Remove(PKSDEVICE KsDevice, PIRP Irp)
{
    UNREFERENCED_PARAMETER(Irp);
    LOG_TRACE("ORVEX :     +CUsbDevice::Remove_1()\n");

    if (m_pUsbInfo != nullptr) {
        FreeDescriptorBuffers(m_pUsbInfo);
        ExFreePool(m_pUsbInfo);
        m_pUsbInfo = nullptr;
    }

    StopControlPanelAnalysisThread(this, KsDevice);

    SetRemoved(1);
    LOG_TRACE("ORVEX :     -CUsbDevice::Remove() completed\n");
}
