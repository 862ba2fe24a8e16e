// The device's WMI provider (see Wmi.h).
#include "wmi/Wmi.h"

#include <wmistr.h>

#include "driver/FdoData.h"
#include "registry/RegistryParameters.h"

namespace {

// The platform's power-management blocks, defined here so the driver does not
// depend on a library that defines the well-known GUIDs.
// {a9546a82-feb0-11d0-bd26-00aa00b7b32a}
constexpr GUID PowerDeviceWakeEnableGuid = {0xa9546a82, 0xfeb0, 0x11d0, {0xbd, 0x26, 0x00, 0xaa, 0x00, 0xb7, 0xb3, 0x2a}};
// {827c0a6f-feb0-11d0-bd26-00aa00b7b32a}
constexpr GUID PowerDeviceEnableGuid = {0x827c0a6f, 0xfeb0, 0x11d0, {0xbd, 0x26, 0x00, 0xaa, 0x00, 0xb7, 0xb3, 0x2a}};

}  // namespace

const WMIGUIDREGINFO WmiGuidListWake[NUMBER_OF_WMI_GUIDS] = {
    {&PowerDeviceWakeEnableGuid, 1, 0},
    {&PowerDeviceEnableGuid, 1, 0},
};

const WMIGUIDREGINFO WmiGuidListNoWake[NUMBER_OF_WMI_GUIDS] = {
    {&PowerDeviceWakeEnableGuid, 1, WMIREG_FLAG_REMOVE_GUID},
    {&PowerDeviceEnableGuid, 1, 0},
};

namespace {

constexpr ULONG WakeEnableIndex = 0;
constexpr ULONG PowerDeviceEnableIndex = 1;

// Both set callbacks: store the block's byte, mirror it to the registry, and
// for the wake block arm or cancel wait-wake when the value changed.
NTSTATUS SetBlockByte(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex, ULONG BufferSize, PUCHAR Buffer)
{
    FdoData* data = FdoDataOf(DeviceObject);
    NTSTATUS status;

    if (GuidIndex != WakeEnableIndex && GuidIndex != PowerDeviceEnableIndex) {
        status = STATUS_WMI_GUID_NOT_FOUND;
    } else if (BufferSize < 1 || Buffer == nullptr) {
        // A change that carries no byte has nothing to store; taking the
        // first byte anyway would read past the request's data.
        status = STATUS_INVALID_PARAMETER;
    } else if (GuidIndex == WakeEnableIndex) {
        const BOOLEAN newValue = Buffer[0];
        const BOOLEAN oldValue = ReadFlag(&data->RemoteWakeUpEnabled);
        WriteFlag(&data->RemoteWakeUpEnabled, newValue);
        if (newValue != oldValue) {
            if (newValue != 0) {
                (void)ArmWaitWake(data);
            } else {
                CancelWaitWake(data);
            }
        }
        SetCheckBoxRemoteWakeUp(data, newValue);
        status = STATUS_SUCCESS;
    } else {
        WriteFlag(&data->PowerDeviceEnabled, Buffer[0]);
        SetCheckBoxPowerDevice(data, Buffer[0]);
        status = STATUS_SUCCESS;
    }

    return WmiCompleteRequest(DeviceObject, Irp, status, 0, IO_NO_INCREMENT);
}

}  // namespace

NTSTATUS DrvWmiRegistration(FdoData* Data, BOOLEAN WakeSupported)
{
    WMILIB_CONTEXT& info = Data->WmiLibInfo;
    info.GuidCount = NUMBER_OF_WMI_GUIDS;
    info.GuidList = const_cast<PWMIGUIDREGINFO>(WakeSupported ? WmiGuidListWake : WmiGuidListNoWake);
    info.QueryWmiRegInfo = DrvQueryWmiRegInfo;
    info.QueryWmiDataBlock = DrvQueryWmiDataBlock;
    info.SetWmiDataBlock = DrvSetWmiDataBlock;
    info.SetWmiDataItem = DrvSetWmiDataItem;
    info.ExecuteWmiMethod = nullptr;
    info.WmiFunctionControl = DrvWmiFunctionControl;
    return IoWMIRegistrationControl(Data->Self, WMIREG_ACTION_REGISTER);
}

void DrvWmiDeRegistration(FdoData* Data) { (void)IoWMIRegistrationControl(Data->Self, WMIREG_ACTION_DEREGISTER); }

NTSTATUS NTAPI DrvQueryWmiRegInfo(PDEVICE_OBJECT DeviceObject, PULONG RegFlags, PUNICODE_STRING InstanceName,
                                  PUNICODE_STRING* RegistryPath, PUNICODE_STRING MofResourceName,
                                  PDEVICE_OBJECT* Pdo)
{
    UNREFERENCED_PARAMETER(InstanceName);
    FdoData* data = FdoDataOf(DeviceObject);
    DbgPrint("+DrvQueryWmiRegInfo\n");

    // Instance names come from the physical device object.
    *RegFlags = WMIREG_FLAG_INSTANCE_PDO;
    *Pdo = data->UnderlyingPDO;
    *RegistryPath = &data->DrvExt->RegistryPath;
    RtlInitUnicodeString(MofResourceName, L"MofResourceName");
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI DrvQueryWmiDataBlock(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex, ULONG InstanceIndex,
                                    ULONG InstanceCount, PULONG InstanceLengthArray, ULONG BufferAvail,
                                    PUCHAR Buffer)
{
    UNREFERENCED_PARAMETER(InstanceIndex);
    UNREFERENCED_PARAMETER(InstanceCount);
    FdoData* data = FdoDataOf(DeviceObject);
    DbgPrint("+DrvQueryWmiDataBlock\n");
    // Each block has exactly one instance.
    ASSERT((InstanceIndex == 0) && (InstanceCount == 1));

    ULONG size = 0;
    NTSTATUS status;
    if (GuidIndex == WakeEnableIndex || GuidIndex == PowerDeviceEnableIndex) {
        size = 1;
        if (BufferAvail >= 1) {
            Buffer[0] = GuidIndex == WakeEnableIndex ? ReadFlag(&data->RemoteWakeUpEnabled)
                                                     : ReadFlag(&data->PowerDeviceEnabled);
            InstanceLengthArray[0] = 1;
            status = STATUS_SUCCESS;
        } else {
            // The size of 1 tells WMI how much room is needed.
            status = STATUS_BUFFER_TOO_SMALL;
        }
    } else {
        status = STATUS_WMI_GUID_NOT_FOUND;
    }
    return WmiCompleteRequest(DeviceObject, Irp, status, size, IO_NO_INCREMENT);
}

NTSTATUS NTAPI DrvSetWmiDataBlock(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex, ULONG InstanceIndex,
                                  ULONG BufferSize, PUCHAR Buffer)
{
    UNREFERENCED_PARAMETER(InstanceIndex);
    DbgPrint("+DrvSetWmiDataBlock\n");
    return SetBlockByte(DeviceObject, Irp, GuidIndex, BufferSize, Buffer);
}

NTSTATUS NTAPI DrvSetWmiDataItem(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex, ULONG InstanceIndex,
                                 ULONG DataItemId, ULONG BufferSize, PUCHAR Buffer)
{
    UNREFERENCED_PARAMETER(InstanceIndex);
    UNREFERENCED_PARAMETER(DataItemId);
    DbgPrint("+DrvSetWmiDataItem\n");
    return SetBlockByte(DeviceObject, Irp, GuidIndex, BufferSize, Buffer);
}

NTSTATUS NTAPI DrvWmiFunctionControl(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex,
                                     WMIENABLEDISABLECONTROL Function, BOOLEAN Enable)
{
    UNREFERENCED_PARAMETER(GuidIndex);
    UNREFERENCED_PARAMETER(Function);
    UNREFERENCED_PARAMETER(Enable);
    // Event and collection switches are accepted and change nothing.
    return WmiCompleteRequest(DeviceObject, Irp, STATUS_SUCCESS, 0, IO_NO_INCREMENT);
}

PCSTR GetWmiMinorName(UCHAR MinorFunction)
{
    static const char* const names[] = {
        "IRP_MN_QUERY_ALL_DATA",        "IRP_MN_QUERY_SINGLE_INSTANCE", "IRP_MN_CHANGE_SINGLE_INSTANCE",
        "IRP_MN_CHANGE_SINGLE_ITEM",    "IRP_MN_ENABLE_EVENTS",         "IRP_MN_DISABLE_EVENTS",
        "IRP_MN_ENABLE_COLLECTION",     "IRP_MN_DISABLE_COLLECTION",    "IRP_MN_REGINFO",
        "IRP_MN_EXECUTE_METHOD",
    };
    if (MinorFunction < sizeof(names) / sizeof(names[0])) {
        return names[MinorFunction];
    }
    return "unknown_syscontrol_irp";
}
