// Creation of the camera's function device through kernel streaming, its
// record, the unique device IDs, and the copy of the settings into the device
// object.
#include "driver/FdoData.h"

#include "Log.h"
#include "callbacks/DeviceCallbacks.h"
#include "registry/RegistryParameters.h"
#include "usbdevice/UsbDevice.h"

// The device's callbacks, in the platform's slot order.
const KSDEVICE_DISPATCH KsDeviceDispatch = {
    DeviceAdd,              // Add
    DeviceStart,            // Start
    nullptr,                // PostStart
    nullptr,                // QueryStop
    nullptr,                // CancelStop
    DeviceStop,             // Stop
    nullptr,                // QueryRemove
    nullptr,                // CancelRemove
    DeviceRemove,           // Remove
    DeviceCapabilities,     // QueryCapabilities
    DeviceSurpriseRemoval,  // SurpriseRemoval
    DeviceQueryPower,       // QueryPower
    DeviceSetPower,         // SetPower
    nullptr,                // QueryInterface
};

// A device with no filters: it exposes no streaming filter or pin.
const KSDEVICE_DESCRIPTOR KsDeviceDescriptor = {
    &KsDeviceDispatch,
    0,
    nullptr,
    KSDEVICE_DESCRIPTOR_VERSION,
};

namespace {

DrvExt* FindDrvExt(PDRIVER_OBJECT DriverObject)
{
    return static_cast<DrvExt*>(IoGetDriverObjectExtension(DriverObject, DrvExtClientId()));
}

// Undoes KsCreateDevice after a late failure of the add routine: the
// physical device gets no function device, so ks.sys's removal of it never
// comes. The removal callback runs as a removal would run it, so that the
// device object and its unique ID are released; the path strings are freed,
// then kernel streaming lets go of the device and it is detached and deleted.
void DeleteFailedDevice(PKSDEVICE KsDevice, FdoData* Data)
{
    DeviceRemove(KsDevice, nullptr);
    if (Data != nullptr) {
        FreeRegistryFilePaths(Data);
    }
    PDEVICE_OBJECT fdo = KsDevice->FunctionalDeviceObject;
    PDEVICE_OBJECT next = KsDevice->NextDeviceObject;
    // Releases the KSDEVICE; the device object stays for the driver to remove.
    KsTerminateDevice(fdo);
    if (next != nullptr) {
        IoDetachDevice(next);
    }
    IoDeleteDevice(fdo);
}

}  // namespace

void InitFdoData(FdoData* Data)
{
    Data->SystemState = PowerSystemUnspecified;
    Data->DeviceState = PowerDeviceD0;
    Data->Started = FALSE;
    Data->RemovePending = FALSE;
    Data->WmiRegistered = FALSE;
    Data->RemoteWakeUpEnabled = FALSE;
    Data->PowerDeviceEnabled = FALSE;
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&Data->WaitWakeIrp), nullptr);
    InterlockedExchange(&Data->WaitWakeCancelled, 0);
    InterlockedExchange(&Data->WaitWakeArmed, 0);

    DEVICE_CAPABILITIES& caps = Data->DeviceCaps;
    RtlZeroMemory(&caps, sizeof(caps));
    caps.Size = sizeof(DEVICE_CAPABILITIES);
    caps.Version = 1;
    caps.SilentInstall = 1;
    caps.Address = 0;
    caps.UINumber = 1;
    caps.DeviceState[PowerSystemUnspecified] = PowerDeviceD3;
    caps.DeviceState[PowerSystemWorking] = PowerDeviceD0;
    caps.DeviceState[PowerSystemSleeping1] = PowerDeviceD3;
    caps.DeviceState[PowerSystemSleeping2] = PowerDeviceD3;
    caps.DeviceState[PowerSystemSleeping3] = PowerDeviceD3;
    caps.DeviceState[PowerSystemHibernate] = PowerDeviceD3;
    caps.DeviceState[PowerSystemShutdown] = PowerDeviceD3;
    caps.SystemWake = PowerSystemUnspecified;
    caps.DeviceWake = PowerDeviceUnspecified;
}

NTSTATUS NTAPI DriverAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    LOG_TRACE("ORVEX :  ++++ DriverAddDevice driver object 0x%x, deivce object 0x%x\n", LowPart32(DriverObject),
              LowPart32(PhysicalDeviceObject));

    DrvExt* ext = FindDrvExt(DriverObject);
    if (ext == nullptr) {
        LOG_ERROR("ORVEX :     No device extension\n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    PKSDEVICE ksDevice = nullptr;
    NTSTATUS status = KsCreateDevice(DriverObject, PhysicalDeviceObject, &KsDeviceDescriptor, sizeof(FdoData),
                                     &ksDevice);
    DbgPrint("KsCreateDevice = pKsDev 0x%x", LowPart32(ksDevice));
    if (!NT_SUCCESS(status)) {
        LOG_ERROR("ORVEX :  KsCreateDevice with &DeviceDescriptor Failed, Status = %x\n", status);
        LOG_TRACE("ORVEX :  -DriverAddDevice\n");
        return status;
    }

    PDEVICE_OBJECT fdo = ksDevice->FunctionalDeviceObject;
    auto* data = static_cast<FdoData*>(fdo->DeviceExtension);
    if (data == nullptr) {
        DeleteFailedDevice(ksDevice, nullptr);
        LOG_TRACE("ORVEX :  -DriverAddDevice\n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    InitFdoData(data);
    data->NextDeviceObject = ksDevice->NextDeviceObject;
    DbgPrint("pKsDev->NextDeviceObject 0x%x", LowPart32(data->NextDeviceObject));
    data->Self = fdo;
    data->RemovePending = FALSE;
    DbgPrint("pDevData->Self 0x%x", LowPart32(data->Self));
    data->KsDevice = ksDevice;
    data->DrvExt = ext;
    data->UnderlyingPDO = PhysicalDeviceObject;
    data->OutstandingIO = 1;
    DbgPrint("pDevData->UnderlyingPDO 0x%x", LowPart32(data->UnderlyingPDO));
    KeInitializeEvent(&data->RemoveEvent, SynchronizationEvent, FALSE);

    // Power requests of this device arrive at PASSIVE_LEVEL.
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    fdo->Flags |= DO_POWER_PAGABLE;

    ULONG resultLength = 0;
    NTSTATUS guidStatus = IoGetDeviceProperty(PhysicalDeviceObject, DevicePropertyBusTypeGuid, sizeof(GUID),
                                              &data->BusTypeGuid, &resultLength);
    if (!NT_SUCCESS(guidStatus)) {
        LOG_ERROR("ORVEX :  IoGetDeviceProperty for DevicePropertyBusTypeGuid Failed, Status = %x\n", guidStatus);
    }

    status = IoGetDeviceProperty(PhysicalDeviceObject, DevicePropertyBusNumber, sizeof(ULONG), &data->BusNumber,
                                 &resultLength);
    if (!NT_SUCCESS(status)) {
        LOG_ERROR("ORVEX :  IoGetDeviceProperty for DevicePropertyBusNumber Failed, Status = %x\n", status);
    }

    GetRegistryFilePaths(data);

    // An add routine that fails leaves no device for the plug-and-play
    // manager to remove later, so nothing of this one may stay behind.
    if (!NT_SUCCESS(status)) {
        DeleteFailedDevice(ksDevice, data);
    }

    LOG_TRACE("ORVEX :  -DriverAddDevice\n");
    return status;
}

ULONG DrvGetUId(PDRIVER_OBJECT DriverObject)
{
    LOG_TRACE("ORVEX :     DrvGetUId \n");

    ULONG id = 0;
    DrvExt* ext = FindDrvExt(DriverObject);
    if (ext != nullptr) {
        ExAcquireFastMutex(&ext->Mutex);
        for (ULONG bit = 0; bit < 32; ++bit) {
            if ((ext->UIdMap & (1UL << bit)) == 0) {
                ext->UIdMap |= 1UL << bit;
                id = bit + 1;
                break;
            }
        }
        ExReleaseFastMutex(&ext->Mutex);
    }

    if (id == 0) {
        LOG_ERROR("ORVEX : !!! No device Id was allocated !!!\n");
    } else {
        LOG_TRACE("ORVEX :  +DeviceAdd() UId %x \n", id);
    }
    return id;
}

NTSTATUS DrvFreeUId(PDRIVER_OBJECT DriverObject, ULONG UId)
{
    DrvExt* ext = FindDrvExt(DriverObject);
    if (ext != nullptr && UId != 0) {
        ExAcquireFastMutex(&ext->Mutex);
        ext->UIdMap &= ~(1UL << ((UId - 1) % 32));
        ExReleaseFastMutex(&ext->Mutex);
        LOG_TRACE("ORVEX :  +DrvFreeUId() UId %x \n", UId);
    }
    return STATUS_SUCCESS;
}

void CopySettings(CDevice* Device, const SettingsBlock* Block)
{
    if (Device != nullptr) {
        Device->m_Settings = *Block;
    }
}
