// The ISP and audio branches of DownloadFirmware: read the version the file
// carries, decide, and send the image to SPI flash in 4096-byte pages after
// announcing its size and reading the camera's readiness.
#include "UpdateEngine.h"

#include "Log.h"
#include "usbdevice/VendorChannel.h"

namespace {

constexpr ULONG SpiPage = FlashPageBytes;
constexpr ULONG IspWindowWordOffset = 28;
constexpr ULONG IspWindowDistance = 832;
constexpr ULONG IspWindowBytes = IspVersionWindowBytes;
constexpr ULONG IspVersionChars = 8;
constexpr UCHAR StatusReady = 0xA1;

bool IsDigit(UCHAR c) { return c >= '0' && c <= '9'; }

// Value of a "DD.DD.DD" text at Text, or NoIspVersion when it is none.
ULONG IspVersionAt(const UCHAR* Text) {
    static const ULONG digitPlaces[6] = {0, 1, 3, 4, 6, 7};
    for (ULONG k = 0; k < 6; ++k) {
        if (!IsDigit(Text[digitPlaces[k]])) {
            return NoIspVersion;
        }
    }
    if (Text[2] != '.' || Text[5] != '.') {
        return NoIspVersion;
    }
    const ULONG hi = (Text[0] - '0') * 10u + (Text[1] - '0');
    const ULONG mid = (Text[3] - '0') * 10u + (Text[4] - '0');
    const ULONG lo = (Text[6] - '0') * 10u + (Text[7] - '0');
    return (hi << 16) | (mid << 8) | lo;
}

// Announces the image, asks for readiness and sends every page; Isp selects
// the ISP or the audio wording of the trace.
void DownloadFlashImage(CUsbDevice* Device, bool Isp) {
    const ULONG size = Device->m_ulFileSize;
    const ULONG pages = FlashPageCount(size);
    if (pages > MaxFlashPages) {
        DbgPrint(Isp ? "ISP file too large, file size 0x%x \n" : "AUD file too large, file size 0x%x \n", size);
        return;
    }
    UCHAR status = 0xAA;
    UVCSet_FILESIZE(Device, pages, &status);
    DbgPrint(Isp ? "Update ISP FileSize %d, return value 0x%x" : "Update AUD FileSize %d, return value 0x%x", size,
             status);
    DelayMs(1000);
    UVCGet_STATUS(Device, &status);
    DbgPrint(Isp ? "UVCGet_ISP_STATUS ret 0x%x" : "UVCGet_AUD_STATUS ret 0x%x", status);
    if (status != StatusReady) {
        Device->m_bDownloadDone = 0;
        DbgPrint("Wrong status, can not download firmware.\n");
        return;
    }
    Device->m_bDownloadDone = 0;
    for (ULONG k = 0; k < pages; ++k) {
        if (Device->IsRemoved()) {
            break;
        }
        UVCWrite_SPI_PAGE(Device, Device->m_pFileBuffer + static_cast<ULONG_PTR>(k) * SpiPage, SpiPage);
        if (k % 16 == 0) {
            DbgPrint("Write SPI page 0x%x, total 0x%x", k, pages);
        }
    }
    DbgPrint(Isp ? "Update ISP FileSize done \n" : "Update AUD FileSize done \n");
    if (!Device->IsRemoved()) {
        Device->m_bDownloadDone = 1;
    }
}

}  // namespace

ULONG FlashPageCount(ULONG Size) { return Size / SpiPage + ((Size % SpiPage) != 0 ? 1 : 0); }

BOOLEAN FindIspFileVersion(CUsbDevice* Device, ULONGLONG* WindowStart, ULONG* Version, ULONG* FoundAt) {
    const ULONG size = Device->m_ulFileSize;
    // The window's place is computed in 32 bits, as the file format defines
    // it: a word that wraps past 4 GiB lands inside the file and is searched
    // there.
    const ULONG start = ReadFileUlong(Device, IspWindowWordOffset) + IspWindowDistance;
    *WindowStart = start;
    *Version = NoIspVersion;
    *FoundAt = 0;
    if (start > size) {
        return FALSE;
    }
    // start <= size: the window and the eight bytes read at its last place stay
    // inside the file and its 4096-byte pad.
    static_assert(IspVersionChars + IspWindowBytes < 4096, "the window's reads must stay in the pad");
    for (ULONG i = 0; i < IspWindowBytes; ++i) {
        const ULONG candidate = IspVersionAt(Device->m_pFileBuffer + start + i);
        if (candidate != NoIspVersion) {
            *Version = candidate;
            *FoundAt = start + i;
            break;
        }
    }
    return TRUE;
}

BOOLEAN FindAudFileVersion(const CUsbDevice* Device, ULONG* Version) {
    if (Device->m_ulFileSize < AudVersionOffset) {
        *Version = 0;
        return FALSE;
    }
    // At most the first pad byte when the file is exactly AudVersionOffset long.
    *Version = Device->m_pFileBuffer[AudVersionOffset];
    return TRUE;
}

NTSTATUS DownloadIspImage(CUsbDevice* Device) {
    ULONGLONG start = 0;
    ULONG version = NoIspVersion;
    ULONG foundAt = 0;
    if (!FindIspFileVersion(Device, &start, &version, &foundAt)) {
        DbgPrint("ISP file too small, file size 0x%x, version offset 0x%x \n", Device->m_ulFileSize,
                 static_cast<ULONG>(start));
        return STATUS_SUCCESS;
    }
    if (version != NoIspVersion) {
        DbgPrint("ISP File Version 0x%x, 0x%x, Current Version 0x%x \n", version, Device->m_ulIspFileVersion,
                 Device->m_ulIspCurrentVersion);
    }

    if (Device->m_ulAudCurrentVersion != 0 && Device->m_ulAudCurrentVersion == Device->m_ulAudFileVersion) {
        if (version == Device->m_ulIspCurrentVersion || version == NoIspVersion) {
            DbgPrint("ISP file version = ISP current version or can not file version 0x%x \n", version);
            return STATUS_SUCCESS;
        }
    } else {
        DbgPrint("Download ISP, CurrentAudioVersion 0x%x, FileAudioVersion 0x%x \n", Device->m_ulAudCurrentVersion,
                 Device->m_ulAudFileVersion);
    }
    DownloadFlashImage(Device, true);
    return STATUS_SUCCESS;
}

NTSTATUS DownloadAudImage(CUsbDevice* Device) {
    ULONG version = 0;
    if (!FindAudFileVersion(Device, &version)) {
        DbgPrint("AUD file too small, file size 0x%x, version offset 0x%x \n", Device->m_ulFileSize,
                 AudVersionOffset);
        return STATUS_SUCCESS;
    }
    DbgPrint("AUD File Version 0x%x, 0x%x, Current Version 0x%x \n", version, Device->m_ulAudFileVersion,
             Device->m_ulAudCurrentVersion);
    if (version == Device->m_ulAudCurrentVersion && Device->m_ulAudCurrentVersion != 0) {
        DbgPrint("AUD file version = AUD current version, no need to update audio firmware \n");
        return STATUS_SUCCESS;
    }
    if (Device->m_ulAudCurrentVersion == 0) {
        DbgPrint("AUD file version = 0 \n");
        return STATUS_SUCCESS;
    }
    DownloadFlashImage(Device, false);
    return STATUS_SUCCESS;
}
