// The kernel-streaming device callbacks (see DeviceCallbacks.h).
#include "callbacks/DeviceCallbacks.h"

#include "Log.h"
#include "usbdevice/UsbDevice.h"
#include "driver/FdoData.h"

ULONG DeviceAddCount = 0xFFFFFFFF;

namespace {

CUsbDevice* DeviceOf(PKSDEVICE Device) { return static_cast<CUsbDevice*>(Device->Context); }

PDRIVER_OBJECT DriverOf(PKSDEVICE Device) { return Device->FunctionalDeviceObject->DriverObject; }

// Deletes the device object through its virtual destructor (the class's
// release operator frees the memory) and clears the Context.
void DeleteDeviceObject(PKSDEVICE Device, CUsbDevice* Object)
{
    delete static_cast<CDevice*>(Object);
    Device->Context = nullptr;
}

}  // namespace

NTSTATUS NTAPI DeviceAdd(PKSDEVICE Device)
{
    SettingsBlock emptySettings;

    if (LogEnabled(LogTrace)) {
        ++DeviceAddCount;
        DbgPrint("ORVEX :  +DeviceAdd(), device = %x, instance %i\n", LowPart32(Device), DeviceAddCount);
    }

    // Only a physical device that can tell its bus type is taken on; the
    // GUID itself is not used.
    GUID busType;
    ULONG resultLength = 0;
    NTSTATUS status = IoGetDeviceProperty(Device->PhysicalDeviceObject, DevicePropertyBusTypeGuid, sizeof(busType),
                                          &busType, &resultLength);
    if (!NT_SUCCESS(status)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    auto* object = new (NonPagedPoolNx) CUsbDevice;
    if (object == nullptr) {
        LOG_ERROR("ORVEX :     Memory allocation failed for pDevice\n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    object->SetPhysicalDeviceObject(Device->PhysicalDeviceObject);
    object->SetKsDevice(Device);
    // The real paths are copied in by the start handler.
    CopySettings(object, &emptySettings);
    Device->Context = object;

    status = object->Add(Device);
    if (NT_SUCCESS(status)) {
        object->SetUId(DrvGetUId(DriverOf(Device)));
    } else {
        // A failed Add fails the creation of the function device, so no
        // later callback (removal included) will ever find this object.
        DeleteDeviceObject(Device, object);
    }

    LOG_TRACE("ORVEX :  -DeviceAdd() Status %x\n", status);
    return status;
}

NTSTATUS NTAPI DeviceStart(PKSDEVICE Device, PIRP Irp, PCM_RESOURCE_LIST TranslatedResources,
                           PCM_RESOURCE_LIST UntranslatedResources)
{
    LOG_TRACE("ORVEX :  ++DeviceStart()\n");

    CUsbDevice* object = DeviceOf(Device);
    if (object == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }

    NTSTATUS status = object->Start(Device, Irp, TranslatedResources, UntranslatedResources, 0);
    if (NT_SUCCESS(status)) {
        LOG_TRACE("ORVEX :  -DeviceStart() completed (%x)\n", status);
    } else {
        LOG_ERROR("ORVEX :     Device Start Failed !\n");
    }
    return status;
}

VOID NTAPI DeviceStop(PKSDEVICE Device, PIRP Irp)
{
    CUsbDevice* object = DeviceOf(Device);
    if (object == nullptr) {
        LOG_ERROR("ORVEX : Error: Cannot get connection to device object");
        return;
    }

    // Ends the update thread, drops the configuration, frees the descriptors.
    object->Stop(Device, Irp);

    LOG_TRACE("ORVEX :  +DeviceStop()\n");
    LOG_TRACE("ORVEX :  -DeviceStop() completed\n");
}

VOID NTAPI DeviceSurpriseRemoval(PKSDEVICE Device, PIRP Irp)
{
    UNREFERENCED_PARAMETER(Irp);
    LOG_TRACE("ORVEX :  ++DeviceSurpriseRemoval()\n");

    CUsbDevice* object = DeviceOf(Device);
    if (object == nullptr) {
        LOG_ERROR("ORVEX : Error: Cannot get connection to device object");
        return;
    }

    // The update thread sees the flag and ends by itself; the later stop or
    // removal waits for it.
    object->SetRemoved(1);
    object->SetUId(static_cast<ULONG>(DrvFreeUId(DriverOf(Device), object->GetUId())));

    LOG_TRACE("ORVEX :  --DeviceSurpriseRemoval() completed\n");
}

VOID NTAPI DeviceRemove(PKSDEVICE Device, PIRP Irp)
{
    CUsbDevice* object = DeviceOf(Device);
    if (object == nullptr) {
        LOG_TRACE("ORVEX : Error: Cannot get connection to device object");
        return;
    }

    LOG_TRACE("ORVEX :  +DeviceRemove() Dev %x \n", object->GetUId());

    // Frees USB_INFO, ends the update thread and marks the object removed.
    object->Remove(Device, Irp);

    object->SetPhysicalDeviceObject(nullptr);
    object->SetKsDevice(nullptr);
    // After a surprise removal the ID is already 0 and nothing is released twice.
    object->SetUId(static_cast<ULONG>(DrvFreeUId(DriverOf(Device), object->GetUId())));

    DeleteDeviceObject(Device, object);

    LOG_TRACE("ORVEX :  -DeviceRemove() completed\n");
}

NTSTATUS NTAPI DeviceCapabilities(PKSDEVICE Device, PIRP Irp, PDEVICE_CAPABILITIES Capabilities)
{
    UNREFERENCED_PARAMETER(Device);
    UNREFERENCED_PARAMETER(Capabilities);

    const NTSTATUS status = Irp->IoStatus.Status;
    LOG_TRACE("ORVEX :  +DeviceCapabilities()\n");

    // The record of the request itself, as the current stack location names it.
    PDEVICE_CAPABILITIES caps = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;
    caps->SurpriseRemovalOK = 1;

    if (LogEnabled(LogTrace)) {
        // The 32-bit flag word behind Size and Version.
        ULONG flags;
        RtlCopyMemory(&flags, reinterpret_cast<const UCHAR*>(caps) + 2 * sizeof(USHORT), sizeof(flags));
        DbgPrint("ORVEX :  >>>> KSDevCap ==\nSize=%d\nVersion=%d\nDeviceD1=0x%X\nDeviceD2=0x%X\nLockSupported=0x%X\n"
                 "EjectSupported=0x%X\nRemovable=0x%X\nDockDevice=0x%X\nUniqueID=0x%X\nSilentInstall=0x%X\n"
                 "RawDeviceOK=0x%X\nSurpriseRemovalOK=0x%X\nWakeFromD0=0x%X\nWakeFromD1=0x%X\nWakeFromD2=0x%X\n"
                 "WakeFromD3=0x%X\nHardwareDisabled=0x%X\nNonDynamic=0x%X\nWarmEjectSupported=0x%X\n"
                 "NoDisplayInUI=0x%X\nReserved=0x%X\nAddress=%ld\nUINumber=%ld\nSystemWake=%d\nDeviceWake=%d\n",
                 static_cast<ULONG>(caps->Size), static_cast<ULONG>(caps->Version),
                 static_cast<ULONG>(caps->DeviceD1), static_cast<ULONG>(caps->DeviceD2),
                 static_cast<ULONG>(caps->LockSupported), static_cast<ULONG>(caps->EjectSupported),
                 static_cast<ULONG>(caps->Removable), static_cast<ULONG>(caps->DockDevice),
                 static_cast<ULONG>(caps->UniqueID), static_cast<ULONG>(caps->SilentInstall),
                 static_cast<ULONG>(caps->RawDeviceOK), static_cast<ULONG>(caps->SurpriseRemovalOK),
                 static_cast<ULONG>(caps->WakeFromD0), static_cast<ULONG>(caps->WakeFromD1),
                 static_cast<ULONG>(caps->WakeFromD2), static_cast<ULONG>(caps->WakeFromD3),
                 static_cast<ULONG>(caps->HardwareDisabled), static_cast<ULONG>(caps->NonDynamic),
                 static_cast<ULONG>(caps->WarmEjectSupported), static_cast<ULONG>(caps->NoDisplayInUI),
                 (flags >> 19) & 0x1FFF, caps->Address, caps->UINumber, static_cast<LONG>(caps->SystemWake),
                 static_cast<LONG>(caps->DeviceWake));
        DbgPrint("ORVEX :  -DeviceCapabilities() completed\n");
    }
    return status;
}

NTSTATUS NTAPI DeviceQueryPower(PKSDEVICE Device, PIRP Irp, DEVICE_POWER_STATE DeviceTo,
                                DEVICE_POWER_STATE DeviceFrom, SYSTEM_POWER_STATE SystemTo,
                                SYSTEM_POWER_STATE SystemFrom, POWER_ACTION Action)
{
    UNREFERENCED_PARAMETER(Device);
    UNREFERENCED_PARAMETER(Irp);
    LOG_TRACE("ORVEX :  +DeviceQueryPower()\n");
    LOG_TRACE("ORVEX :     DeviceQueryPower:   DeviceTo = %d, DeviceFrom = %d, SystemTo = %d, SystemFrom = %d, "
              "Action = %d\n",
              DeviceTo, DeviceFrom, SystemTo, SystemFrom, Action);
    LOG_TRACE("ORVEX :  -DeviceQueryPower() completed\n");
    // No power change is refused here.
    return STATUS_SUCCESS;
}

VOID NTAPI DeviceSetPower(PKSDEVICE Device, PIRP Irp, DEVICE_POWER_STATE To, DEVICE_POWER_STATE From)
{
    UNREFERENCED_PARAMETER(Irp);
    LOG_TRACE("ORVEX :  +DeviceSetPower()\n");
    LOG_TRACE("ORVEX :     DeviceSetPower:   SystemTo = %d, SystemFrom = %d\n", To, From);

    CUsbDevice* object = DeviceOf(Device);
    if (object == nullptr) {
        return;
    }

    switch (To) {
    case PowerDeviceUnspecified:
    case PowerDeviceD1:
    case PowerDeviceD2:
    case PowerDeviceD3:
        LOG_TRACE("ORVEX :  +DeviceSetPower() - SLEEP - HIBERNATE\n");
        // The update thread is not told; it reads the state as it goes.
        __atomic_store_n(&object->m_ulPowerState, static_cast<ULONG>(To), __ATOMIC_RELAXED);
        break;
    case PowerDeviceD0:
        LOG_TRACE("ORVEX :  +DeviceSetPower() - WAKE UP \n");
        object->PowerRestore();
        __atomic_store_n(&object->m_ulPowerState, static_cast<ULONG>(To), __ATOMIC_RELAXED);
        break;
    default:
        break;
    }

    LOG_TRACE("ORVEX :  -DeviceSetPower() completed\n");
}
