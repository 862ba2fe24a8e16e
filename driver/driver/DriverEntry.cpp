// Load and unload of the driver: the driver-wide record, the copy of the
// service key path, the log mask, and the routines installed in the driver
// object.
#include "driver/Driver.h"
#include "driver/FdoData.h"

#include "Log.h"

ULONG LogMask = 0xFFFFFFFF;

namespace {

// Room for the service key path plus "\Parameters".
constexpr USHORT ParametersPathBytes = 512;

// KEY_VALUE_PARTIAL_INFORMATION header (TitleIndex, Type, DataLength) plus the
// four bytes of a 32-bit value. Declared as ULONGs so that the header fields
// are naturally aligned, as ZwQueryValueKey requires.
constexpr ULONG LogsQueryBytes = 16;
static_assert(FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data) + sizeof(ULONG) == LogsQueryBytes,
              "header plus one 32-bit value");

// Reads "Logs" under the given key path into LogMask. Leaves the mask alone
// when the key or value is missing or the value does not fit the 16-byte
// buffer (the query then fails with a buffer-overflow status). The value type
// is not examined. The buffer is zeroed before the query, so a value of fewer
// than four data bytes reads as a 32-bit number whose missing high bytes are
// 0: a one-byte 00 turns every gated line off.
void ReadLogMask(PUNICODE_STRING ParametersPath)
{
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, ParametersPath, OBJ_CASE_INSENSITIVE, nullptr, nullptr);

    HANDLE key = nullptr;
    NTSTATUS status = ZwOpenKey(&key, KEY_QUERY_VALUE, &attributes);
    if (!NT_SUCCESS(status)) {
        return;
    }

    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, L"Logs");

    ULONG buffer[LogsQueryBytes / sizeof(ULONG)];
    RtlZeroMemory(buffer, sizeof(buffer));
    auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
    ULONG resultLength = 0;
    status = ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, info, sizeof(buffer), &resultLength);
    if (NT_SUCCESS(status)) {
        const UCHAR* data = info->Data;
        LogMask = static_cast<ULONG>(data[0]) | (static_cast<ULONG>(data[1]) << 8) |
                  (static_cast<ULONG>(data[2]) << 16) | (static_cast<ULONG>(data[3]) << 24);
        LOG_TRACE("ORVEX : EnableLogs from registry = %d\n", LogMask);
    }
    ZwClose(key);
}

}  // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    WCHAR parametersBuffer[ParametersPathBytes / sizeof(WCHAR)];
    RtlZeroMemory(parametersBuffer, sizeof(parametersBuffer));
    UNICODE_STRING parametersPath;
    parametersPath.Buffer = parametersBuffer;

    // The counted string handed in carries no promise of a terminating NUL,
    // so the path is printed from a zero-filled copy that always ends in one
    // (cut at 255 characters).
    parametersPath.Length = 0;
    parametersPath.MaximumLength = ParametersPathBytes - sizeof(WCHAR);
    RtlCopyUnicodeString(&parametersPath, RegistryPath);
    LOG_TRACE("ORVEX : EnableLogs from registry  %S\n", parametersBuffer);

    parametersPath.Length = 0;
    parametersPath.MaximumLength = ParametersPathBytes;

    LOG_TRACE("ORVEX :  +DriverEntry\n");

    DrvExt* ext = nullptr;
    NTSTATUS status =
        IoAllocateDriverObjectExtension(DriverObject, DrvExtClientId(), sizeof(DrvExt), reinterpret_cast<PVOID*>(&ext));
    if (!NT_SUCCESS(status)) {
        // Printed whenever any bit of the mask is set.
        if (LogMask != 0) {
            DbgPrint("ORVEX :     IoAllocateDriverObjectExtension not successful %x\n", status);
        }
        return status;
    }
    LOG_ERROR("ORVEX :     DrvExt %p\n", ext);

    ExInitializeFastMutex(&ext->Mutex);
    ext->UIdMap = 0;

    ext->RegistryPath.Buffer =
        static_cast<PWCH>(ExAllocatePoolWithTag(NonPagedPoolNx, RegistryPath->Length, TagVorp));
    if (ext->RegistryPath.Buffer == nullptr) {
        ext->RegistryPath.Length = 0;
        ext->RegistryPath.MaximumLength = 0;
        LOG_ERROR("ORVEX : Failed to allocate Regitry path buffer\n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ext->RegistryPath.MaximumLength = RegistryPath->Length;
    ext->RegistryPath.Length = 0;
    RtlCopyUnicodeString(&ext->RegistryPath, RegistryPath);

    // The parameters key path; a service path too long to take "\Parameters"
    // leaves the mask at its default.
    RtlCopyUnicodeString(&parametersPath, RegistryPath);
    if (NT_SUCCESS(RtlAppendUnicodeToString(&parametersPath, L"\\Parameters"))) {
        ReadLogMask(&parametersPath);
    }

    // Nothing of the parameters lookup decides the load.
    status = STATUS_SUCCESS;

    // Routines of the driver object; every other major function keeps the
    // I/O manager's default handler.
    DriverObject->MajorFunction[IRP_MJ_CREATE] = DriverCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DriverCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = DriverCleanup;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DriverDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DriverInternIoCtl;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DriverSystemControl;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DriverPower;
    DriverObject->MajorFunction[IRP_MJ_PNP] = DriverPnP;
    DriverObject->DriverExtension->AddDevice = DriverAddDevice;
    DriverObject->DriverUnload = DriverUnload;

    LOG_TRACE("ORVEX :  -DriverEntry(%x)\n", status);
    return status;
}

VOID NTAPI DriverUnload(PDRIVER_OBJECT DriverObject)
{
    LOG_TRACE("ORVEX :  +DriverUnload\n");

    auto* ext = static_cast<DrvExt*>(IoGetDriverObjectExtension(DriverObject, DrvExtClientId()));
    if (ext != nullptr && ext->RegistryPath.Buffer != nullptr) {
        ExFreePool(ext->RegistryPath.Buffer);
        ext->RegistryPath.Buffer = nullptr;
        ext->RegistryPath.Length = 0;
        ext->RegistryPath.MaximumLength = 0;
    }

    LOG_TRACE("ORVEX :  -DriverUnload\n");
}
