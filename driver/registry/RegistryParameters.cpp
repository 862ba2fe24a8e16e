// Per-device registry values (see RegistryParameters.h).
#include "registry/RegistryParameters.h"

#include "Log.h"
#include "driver/FdoData.h"

namespace {

// KEY_VALUE_PARTIAL_INFORMATION header (TitleIndex, Type, DataLength).
constexpr ULONG HeaderBytes = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
// The first query's buffer: the header plus four data bytes. ULONGs keep the
// header aligned.
constexpr ULONG SmallQueryBytes = 16;
static_assert(HeaderBytes == 12 && HeaderBytes + 4 == SmallQueryBytes, "12-byte header, 4 data bytes");
// A long value's buffer is its data length plus this much: room for the
// header during the second query, and later for the terminator.
constexpr ULONG LongSlackBytes = 16;

// Bytes after the data that make it a terminated UTF-16 string: one zero byte
// to reach a character boundary when the length is odd, then one NUL character.
inline ULONG TerminatorBytes(ULONG DataLength) { return (DataLength & 1) + sizeof(WCHAR); }

inline void ZeroTerminator(PUCHAR Buffer, ULONG DataLength)
{
    RtlZeroMemory(Buffer + DataLength, TerminatorBytes(DataLength));
}

void SetCheckBox(FdoData* Data, PCWSTR Name, UCHAR Flag)
{
    ULONG value = Flag != 0 ? 1 : 0;
    HANDLE key = nullptr;
    NTSTATUS status = IoOpenDeviceRegistryKey(Data->UnderlyingPDO, PLUGPLAY_REGKEY_DEVICE,
                                              KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_ENUMERATE_SUB_KEYS, &key);
    if (!NT_SUCCESS(status)) {
        return;
    }
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, Name);
    // The write's status is of no consequence: WMI still completes its request.
    (void)ZwSetValueKey(key, &valueName, 0, REG_DWORD, &value, sizeof(value));
    ZwClose(key);
}

}  // namespace

PVOID GetAllocateRegistryValue(HANDLE Key, PUNICODE_STRING ValueName, PULONG Length)
{
    ULONG small[SmallQueryBytes / sizeof(ULONG)];
    RtlZeroMemory(small, sizeof(small));
    auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(small);
    ULONG resultLength = 0;
    NTSTATUS status = ZwQueryValueKey(Key, ValueName, KeyValuePartialInformation, info, sizeof(small), &resultLength);
    DbgPrint("GetAllocateRegistryValue status = 0x%x, length %d \n", status, resultLength);

    if (status == STATUS_BUFFER_OVERFLOW || status == STATUS_BUFFER_TOO_SMALL) {
        // A buffer too short for even the header leaves DataLength unwritten;
        // the needed length then tells the size.
        ULONG dataLength = info->DataLength;
        if (status == STATUS_BUFFER_TOO_SMALL) {
            dataLength = resultLength > HeaderBytes ? resultLength - HeaderBytes : 0;
        }
        // A length this close to 4 GiB cannot be held with its slack; the
        // sum would wrap to a tiny buffer.
        if (dataLength > MAXULONG - LongSlackBytes) {
            *Length = 0;
            return nullptr;
        }
        const ULONG size = dataLength + LongSlackBytes;
        auto* buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, size, TagVorp));
        DbgPrint("newsize = 0x%x, final 0x%x \n", size, LowPart32(buffer));
        if (buffer == nullptr) {
            return nullptr;
        }
        auto* full = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
        status = ZwQueryValueKey(Key, ValueName, KeyValuePartialInformation, full, size, &resultLength);
        // A value that grew between the queries no longer fits with its
        // terminator: the query fails then, or (grown by less than the
        // slack) would leave no room behind the data.
        if (!NT_SUCCESS(status) || full->DataLength > size - HeaderBytes ||
            full->DataLength + TerminatorBytes(full->DataLength) > size) {
            ExFreePool(buffer);
            *Length = 0;
            DbgPrint("fail \n");
            return nullptr;
        }
        const ULONG newLength = full->DataLength;
        *Length = newLength;
        RtlMoveMemory(buffer, buffer + HeaderBytes, newLength);
        ZeroTerminator(buffer, newLength);
        DbgPrint("success length %d \n", newLength);
        return buffer;
    }

    if (status != STATUS_SUCCESS) {
        *Length = 0;
        return nullptr;
    }

    // At most four data bytes, all in the local buffer.
    const ULONG dataLength = info->DataLength;
    auto* buffer = static_cast<PUCHAR>(
        ExAllocatePoolWithTag(NonPagedPoolNx, dataLength + TerminatorBytes(dataLength), TagVorp));
    if (buffer == nullptr) {
        return nullptr;
    }
    *Length = dataLength;
    RtlCopyMemory(buffer, info->Data, dataLength);
    ZeroTerminator(buffer, dataLength);
    DbgPrint("success 1 length %d \n", dataLength);
    return buffer;
}

void GetRegistryFilePaths(FdoData* Data)
{
    HANDLE key = nullptr;
    NTSTATUS status = IoOpenDeviceRegistryKey(Data->UnderlyingPDO, PLUGPLAY_REGKEY_DRIVER,
                                              KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS, &key);
    if (!NT_SUCCESS(status)) {
        return;
    }

    struct PathValue {
        PCWSTR Name;
        PWSTR* Destination;
    };
    SettingsBlock& block = Data->SettingsBlock;
    const PathValue values[] = {
        {L"FX3", &block.FX3FilePath},
        {L"ISP", &block.ISPFilePath},
        {L"AUD", &block.AUDFilePath},
        {L"VERSION", &block.VersionFilePath},
    };
    for (const PathValue& value : values) {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, value.Name);
        ULONG length = 0;
        *value.Destination = static_cast<PWSTR>(GetAllocateRegistryValue(key, &name, &length));
    }

    DbgPrint("FX3FilePath             %ws\n", block.FX3FilePath);
    DbgPrint("ISPFilePath\t\t\t  %ws\n", block.ISPFilePath);
    DbgPrint("AUDFilePath\t\t\t  %ws\n", block.AUDFilePath);
    DbgPrint("VersionFilePath         %ws\n", block.VersionFilePath);

    ZwClose(key);
}

void FreeSettingsBlockPaths(SettingsBlock* Block)
{
    PWSTR* paths[] = {&Block->FX3FilePath, &Block->ISPFilePath, &Block->AUDFilePath, &Block->VersionFilePath};
    for (PWSTR* path : paths) {
        if (*path != nullptr) {
            ExFreePool(*path);
            *path = nullptr;
        }
    }
}

void FreeRegistryFilePaths(FdoData* Data) { FreeSettingsBlockPaths(&Data->SettingsBlock); }

void SetCheckBoxRemoteWakeUp(FdoData* Data, UCHAR Flag) { SetCheckBox(Data, L"CheckBoxRemoteWakeUp", Flag); }

void SetCheckBoxPowerDevice(FdoData* Data, UCHAR Flag) { SetCheckBox(Data, L"CheckBoxPowerDevice", Flag); }
