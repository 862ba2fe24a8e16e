// Firmware and version files: loading a file whole into pool, handing it to
// the programming branch of its type, and decoding the version file.
#include "UpdateEngine.h"

#include "Log.h"

namespace {

// Room for "\??\" + 507 path characters + the terminating NUL.
constexpr ULONG NtPathChars = 512;
constexpr ULONG NtPrefixChars = 4;
constexpr ULONG MaxRegistryPathChars = NtPathChars - NtPrefixChars - 1;  // 507

// Every file buffer carries this many 0xFF bytes after the file, so the last
// flash page and the last EEPROM page can be sent whole.
constexpr ULONG FilePadBytes = 4096;

// Files whose size plus the pad no longer fits 32 bits are refused.
constexpr ULONGLONG MaxFileSize = 0xFFFFF000ULL - 1;

constexpr ULONG VersionTextBytes = sizeof(CUsbDevice::m_VersionText);
constexpr ULONG VersionKeyBytes = 8;
constexpr ULONG VersionValueChars = 6;

constexpr NTSTATUS StatusNameTooLong = static_cast<NTSTATUS>(0xC0000106L);  // STATUS_NAME_TOO_LONG
constexpr NTSTATUS StatusNameInvalid = static_cast<NTSTATUS>(0xC0000033L);  // STATUS_OBJECT_NAME_INVALID

// Byte of the version text at position p; positions past the field read as 0,
// a byte that matches no key and is no digit.
UCHAR VersionByte(const CUsbDevice* Device, ULONG p) {
    return p < VersionTextBytes ? Device->m_VersionText[p] : 0;
}

bool VersionKeyAt(const CUsbDevice* Device, ULONG p, const char* Key) {
    for (ULONG i = 0; i < VersionKeyBytes; ++i) {
        if (VersionByte(Device, p + i) != static_cast<UCHAR>(Key[i])) {
            return false;
        }
    }
    return true;
}

ULONG DecimalDigit(UCHAR c) { return (c >= '0' && c <= '9') ? static_cast<ULONG>(c - '0') : 0; }

ULONG HexDigit(UCHAR c) {
    if (c >= '0' && c <= '9') return static_cast<ULONG>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<ULONG>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return static_cast<ULONG>(c - 'A' + 10);
    return 0;
}

// Consumes the key at *p and its six value characters when the field is still
// 0 and the key stands at *p.
void ScanEntry(const CUsbDevice* Device, ULONG* p, const char* Key, ULONG Base, ULONG* Field) {
    if (*Field != 0 || !VersionKeyAt(Device, *p, Key)) {
        return;
    }
    *p += VersionKeyBytes;
    ULONG value = 0;
    for (ULONG i = 0; i < VersionValueChars; ++i) {
        const UCHAR c = VersionByte(Device, *p);
        value = value * Base + (Base == 10 ? DecimalDigit(c) : HexDigit(c));
        *p += 1;
    }
    *Field = value;
}

// Byte at Position of the loaded file, for the first/last-bytes trace. The
// buffer's pad keeps positions 0..3 inside it; for a file shorter than four
// bytes the "end" bytes are those of positions 0..3 as well.
ULONG TraceByte(const CUsbDevice* Device, ULONG Position) { return Device->m_pFileBuffer[Position]; }

}  // namespace

NTSTATUS GetDownloadFile(CUsbDevice* Device, PWSTR Path, ULONG FileType) {
    if (Path == nullptr) {
        // No registry value: nothing can be opened.
        DbgPrint("Create file fail, status = 0x%x\n", static_cast<ULONG>(StatusNameInvalid));
        return STATUS_UNSUCCESSFUL;
    }

    // The registry path must fit the NT path buffer behind "\??\".
    ULONG pathChars = 0;
    while (pathChars <= MaxRegistryPathChars && Path[pathChars] != 0) {
        ++pathChars;
    }
    if (pathChars > MaxRegistryPathChars) {
        DbgPrint("Create file fail, status = 0x%x\n", static_cast<ULONG>(StatusNameTooLong));
        return STATUS_UNSUCCESSFUL;
    }

    WCHAR ntPath[NtPathChars];
    static const WCHAR prefix[NtPrefixChars] = {L'\\', L'?', L'?', L'\\'};
    RtlCopyMemory(ntPath, prefix, sizeof(prefix));
    RtlCopyMemory(ntPath + NtPrefixChars, Path, pathChars * sizeof(WCHAR));
    const ULONG ntChars = NtPrefixChars + pathChars;
    ntPath[ntChars] = 0;
    // %ws (a wide string) is the kernel debugger's own conversion, unknown to
    // the compiler's printf checks.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat"
#pragma GCC diagnostic ignored "-Wformat-extra-args"
    DbgPrint("GetDownloadFile( \"%ws\" )\n", ntPath);
#pragma GCC diagnostic pop

    // The counted name: capacity for the NT path and its NUL, zero-filled.
    UNICODE_STRING name;
    name.Length = 0;
    name.MaximumLength = static_cast<USHORT>(ntChars * sizeof(WCHAR) + sizeof(WCHAR));
    name.Buffer = static_cast<PWCH>(ExAllocatePoolWithTag(NonPagedPoolNx, name.MaximumLength, TagHarn));
    if (name.Buffer == nullptr) {
        DbgPrint("Create file fail, status = 0x%x\n", static_cast<ULONG>(STATUS_INSUFFICIENT_RESOURCES));
        return STATUS_UNSUCCESSFUL;
    }
    RtlZeroMemory(name.Buffer, name.MaximumLength);
    RtlCopyMemory(name.Buffer, ntPath, ntChars * sizeof(WCHAR));
    name.Length = static_cast<USHORT>(ntChars * sizeof(WCHAR));

    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);

    HANDLE file = nullptr;
    IO_STATUS_BLOCK ioStatus;
    RtlZeroMemory(&ioStatus, sizeof(ioStatus));
    NTSTATUS status = ZwCreateFile(&file, FILE_READ_DATA, &attributes, &ioStatus, nullptr, FILE_ATTRIBUTE_NORMAL,
                                   FILE_SHARE_READ, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    ExFreePoolWithTag(name.Buffer, TagHarn);
    name.Buffer = nullptr;
    if (!NT_SUCCESS(status)) {
        DbgPrint("Create file fail, status = 0x%x\n", static_cast<ULONG>(status));
        return STATUS_UNSUCCESSFUL;
    }

    // A query that fails leaves the zeroed reply: the file counts as empty.
    FILE_STANDARD_INFORMATION info;
    RtlZeroMemory(&info, sizeof(info));
    ZwQueryInformationFile(file, &ioStatus, &info, sizeof(info), FileStandardInformation);
    if (info.EndOfFile.QuadPart < 0 || static_cast<ULONGLONG>(info.EndOfFile.QuadPart) > MaxFileSize) {
        DbgPrint("File too large, high 0x%x, low 0x%x \n", static_cast<ULONG>(info.EndOfFile.HighPart),
                 static_cast<ULONG>(info.EndOfFile.LowPart));
        ZwClose(file);
        return STATUS_UNSUCCESSFUL;
    }
    Device->m_ulFileSize = info.EndOfFile.LowPart;

    Device->m_pFileBuffer =
        static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, Device->m_ulFileSize + FilePadBytes, TagHarn));
    if (Device->m_pFileBuffer == nullptr) {
        ZwClose(file);
        return STATUS_UNSUCCESSFUL;
    }
    RtlFillMemory(Device->m_pFileBuffer, Device->m_ulFileSize + FilePadBytes, 0xFF);
    DbgPrint("Create file success, size = %d\n", Device->m_ulFileSize);

    // A read that fails leaves the buffer as it was filled: all 0xFF. Taken
    // for the file, that pad would be written to a flash as firmware, so the
    // file is dropped as if it could not be opened.
    status = ZwReadFile(file, nullptr, nullptr, nullptr, &ioStatus, Device->m_pFileBuffer, Device->m_ulFileSize,
                        nullptr, nullptr);
    ZwClose(file);
    if (!NT_SUCCESS(status)) {
        DbgPrint("Read file fail, status = 0x%x\n", static_cast<ULONG>(status));
        ExFreePoolWithTag(Device->m_pFileBuffer, TagHarn);
        Device->m_pFileBuffer = nullptr;
        return STATUS_UNSUCCESSFUL;
    }
    DbgPrint("Read file done \n");

    const ULONG size = Device->m_ulFileSize;
    const ULONG tail = size >= 4 ? size - 4 : 0;
    DbgPrint("file 0x%x, 0x%x, 0x%x, 0x%x, end 0x%x, 0x%x, 0x%x, 0x%x \n", TraceByte(Device, 0), TraceByte(Device, 1),
             TraceByte(Device, 2), TraceByte(Device, 3), TraceByte(Device, tail), TraceByte(Device, tail + 1),
             TraceByte(Device, tail + 2), TraceByte(Device, tail + 3));

    if (FileType == FileTypeVersion) {
        KeepVersionText(Device);
        UCHAR text[VersionTextBytes + 1];
        RtlCopyMemory(text, Device->m_VersionText, VersionTextBytes);
        text[VersionTextBytes] = 0;
        DbgPrint("Filer version : %s ", reinterpret_cast<const char*>(text));
    } else {
        DownloadFirmware(Device, FileType);
    }

    ExFreePoolWithTag(Device->m_pFileBuffer, TagHarn);
    Device->m_pFileBuffer = nullptr;
    return 1;
}

NTSTATUS DownloadFirmware(CUsbDevice* Device, ULONG FileType) {
    if (Device->m_ulFileSize == 0 || Device->m_pFileBuffer == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    switch (FileType) {
    case FileTypeFx3:
        return DownloadFx3Image(Device);
    case FileTypeIsp:
        return DownloadIspImage(Device);
    default:
        return DownloadAudImage(Device);
    }
}

void KeepVersionText(CUsbDevice* Device) {
    // Only the first bytes that fit the field are kept; the scan never needs more.
    const ULONG size = Device->m_ulFileSize;
    const ULONG copy = size < VersionTextBytes ? size : VersionTextBytes;
    RtlCopyMemory(Device->m_VersionText, Device->m_pFileBuffer, copy);
}

void ParseVersionText(CUsbDevice* Device) {
    Device->m_ulFx3FileVersion = 0;
    Device->m_ulIspFileVersion = 0;
    Device->m_ulAudFileVersion = 0;
    ULONG p = 0;
    while (p < VersionScanEnd) {
        ScanEntry(Device, &p, "UVC_FX3=", 10, &Device->m_ulFx3FileVersion);
        ScanEntry(Device, &p, "UVC_ISP=", 16, &Device->m_ulIspFileVersion);
        ScanEntry(Device, &p, "UVC_AUD=", 16, &Device->m_ulAudFileVersion);
        p += 1;
    }
    Device->m_ulAudFileVersion &= 0xFF;
}
