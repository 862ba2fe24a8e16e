// The FX3 branch of DownloadFirmware: checks the boot image in the file buffer,
// reads what the EEPROM holds now, carries the camera's serial number over
// into the new image and writes the 256-byte pages that differ.
#include "UpdateEngine.h"

#include "Log.h"
#include "usbdevice/VendorChannel.h"

namespace {

constexpr ULONG FilePadBytes = 4096;       // 0xFF bytes after every loaded file
constexpr ULONG EepromReadBlock = 1024;    // one UVCRead_EEPROM
constexpr ULONG EepromPage = Fx3EepromPageBytes;  // one UVCWrite_EEPROM
constexpr ULONG MaxSectionWords = 0x10000;
// wValue carries the EEPROM address / 256 in 16 bits: beyond 16 MiB the
// addresses would wrap onto the first pages.
constexpr ULONG MaxEepromBytes = 0x10000 * EepromPage;

// Serial-number string descriptor: bLength 0x1C, string type, "KVT", then the
// camera's own ten UTF-16 characters.
constexpr ULONG SerialDescriptorBytes = 0x1C;
constexpr ULONG SerialPatternBytes = 8;
constexpr ULONG SerialOffset = Fx3SerialOffset;
constexpr ULONG SerialBytes = Fx3SerialBytes;
constexpr UCHAR SerialPattern[SerialPatternBytes] = {0x1C, 0x03, 0x4B, 0x00, 0x56, 0x00, 0x54, 0x00};

constexpr ULONG NotFound = Fx3SerialNotFound;

bool ValidHeader(ULONG Header) { return Header == 0xB01C5943 || Header == 0xB02C5943 || Header == 0xB03C5943; }

ULONG WordAt(const UCHAR* Buffer, ULONG Position) {
    return static_cast<ULONG>(Buffer[Position]) | (static_cast<ULONG>(Buffer[Position + 1]) << 8) |
           (static_cast<ULONG>(Buffer[Position + 2]) << 16) | (static_cast<ULONG>(Buffer[Position + 3]) << 24);
}

// First of the start positions 0 .. Positions - 1 at which the 8-byte serial
// pattern stands in Buffer, or NotFound. The caller bounds Positions so that
// the whole 28-byte descriptor lies in bytes that hold image data.
ULONG FindSerial(const UCHAR* Buffer, ULONG Positions) {
    for (ULONG i = 0; i < Positions; ++i) {
        if (RtlCompareMemory(Buffer + i, SerialPattern, SerialPatternBytes) == SerialPatternBytes) {
            return i;
        }
    }
    return NotFound;
}

void TraceSerial(const char* Format, ULONG i, const UCHAR* b) {
    DbgPrint(Format, i, b[i + 8], b[i + 10], b[i + 12], b[i + 14], b[i + 16], b[i + 18], b[i + 20], b[i + 22],
             b[i + 24], b[i + 26]);
}

bool Overlaps(ULONGLONG aStart, ULONGLONG aEnd, ULONGLONG bStart, ULONGLONG bEnd) {
    return aStart < bEnd && bStart < aEnd;
}

// True when the bytes [First, Last) of the checked image lie only in section
// data or after the checksum word, so changing them leaves the layout (lengths,
// addresses, end marker, entry, checksum) as it is. Walks the same limits as
// CheckFx3Image.
bool OnlySectionData(const CUsbDevice* Device, ULONG First, ULONG Last) {
    const ULONGLONG size = Device->m_ulFileSize;
    ULONGLONG pos = 4;
    for (;;) {
        if (pos + 8 > size) {
            return false;
        }
        const ULONG length = WordAt(Device->m_pFileBuffer, static_cast<ULONG>(pos));
        if (length == 0) {
            return pos + 12 <= size && !Overlaps(First, Last, pos, pos + 12);
        }
        if (length > MaxSectionWords || Overlaps(First, Last, pos, pos + 8)) {
            return false;
        }
        pos += 8 + 4ULL * length;
        if (pos >= size) {
            return false;
        }
    }
}

// Writes the camera's serial number into the new image at descriptor position
// j and recomputes the image's checksum.
void CarrySerialOver(CUsbDevice* Device, ULONG j) {
    PUCHAR image = Device->m_pFileBuffer;
    const ULONGLONG size = Device->m_ulFileSize;
    if (!Fx3SerialWritable(Device, j)) {
        DbgPrint("Serial number overlaps the FX3 IMG layout, keep the file serial number \n");
        return;
    }
    RtlCopyMemory(image + j + SerialOffset, Device->m_SerialNumber, SerialBytes);
    DbgPrint("Change the checksum of the modified new FX3 IMG file \n");

    ULONGLONG pos = 4;
    USHORT section = 0;
    ULONG sum = 0;
    for (;;) {
        const ULONG length = ReadFileUlong(Device, static_cast<ULONG>(pos));
        pos += 8;
        ++section;
        if (length == 0) {
            DbgPrint("The last section, checksum = 0x%x \n", sum);
            image[pos] = static_cast<UCHAR>(sum);
            image[pos + 1] = static_cast<UCHAR>(sum >> 8);
            image[pos + 2] = static_cast<UCHAR>(sum >> 16);
            image[pos + 3] = static_cast<UCHAR>(sum >> 24);
            return;
        }
        DbgPrint("The %d section, section length 0x%x \n", section, length);
        // The layout is unchanged (checked above), so this stays inside the image.
        const ULONGLONG end = pos + 4ULL * length;
        for (; pos < end; pos += 4) {
            sum += WordAt(image, static_cast<ULONG>(pos));
        }
        if (pos >= size) {
            return;
        }
    }
}

}  // namespace

ULONG ReadFileUlong(CUsbDevice* Device, ULONG Position) {
    // The buffer holds the file and its pad; bytes beyond it read as the pad's 0xFF.
    if (Device->m_pFileBuffer == nullptr) {
        return 0xFFFFFFFF;
    }
    const ULONGLONG bufferBytes = static_cast<ULONGLONG>(Device->m_ulFileSize) + FilePadBytes;
    ULONG word = 0;
    for (ULONG i = 0; i < 4; ++i) {
        const ULONGLONG at = static_cast<ULONGLONG>(Position) + i;
        const ULONG byte = at < bufferBytes ? Device->m_pFileBuffer[at] : 0xFF;
        word |= byte << (8 * i);
    }
    return word;
}

void InspectFx3Image(CUsbDevice* Device, Fx3ImageFacts* Facts) {
    RtlZeroMemory(Facts, sizeof(*Facts));
    Facts->Header = ReadFileUlong(Device, 0);
    if (!ValidHeader(Facts->Header)) {
        Facts->Verdict = Fx3Verdict::BadSignature;
        return;
    }
    const ULONGLONG size = Device->m_ulFileSize;
    ULONGLONG pos = 4;
    ULONG sum = 0;
    for (;;) {
        const ULONG length = ReadFileUlong(Device, static_cast<ULONG>(pos));
        if (length > MaxSectionWords) {
            Facts->Verdict = Fx3Verdict::SectionTooLong;
            Facts->FaultLength = length;
            Facts->FaultPosition = pos;
            return;
        }
        const ULONG address = ReadFileUlong(Device, static_cast<ULONG>(pos + 4));
        if (length == 0) {
            Facts->EndMarkerOffset = static_cast<ULONG>(pos);
            Facts->Entry = address;
            Facts->ComputedChecksum = sum;
            pos += 8;
            // The checksum word must be part of the file, not of the pad after it.
            if (pos + 4 > size) {
                Facts->Verdict = Fx3Verdict::ChecksumPastEnd;
                Facts->FaultPosition = pos + 4;
                return;
            }
            Facts->StoredChecksum = ReadFileUlong(Device, static_cast<ULONG>(pos));
            Facts->Verdict = Facts->StoredChecksum == sum ? Fx3Verdict::Accepted : Fx3Verdict::ChecksumMismatch;
            return;
        }
        if (Facts->Sections < Fx3FactsSections) {
            Facts->SectionOffset[Facts->Sections] = static_cast<ULONG>(pos);
            Facts->SectionWords[Facts->Sections] = length;
            Facts->SectionAddress[Facts->Sections] = address;
        }
        ++Facts->Sections;
        pos += 8;
        const ULONGLONG end = pos + 4ULL * length;
        if (end >= size) {
            Facts->Verdict = Fx3Verdict::SectionPastEnd;
            Facts->FaultPosition = end;
            return;
        }
        for (; pos < end; pos += 4) {
            sum += WordAt(Device->m_pFileBuffer, static_cast<ULONG>(pos));
        }
    }
}

BOOLEAN CheckFx3Image(CUsbDevice* Device) {
    Fx3ImageFacts facts;
    InspectFx3Image(Device, &facts);
    DbgPrint("FX3 file headere = 0x%x \n", facts.Header);
    switch (facts.Verdict) {
    case Fx3Verdict::BadSignature:
        DbgPrint("FX3 wrong file headere \n");
        return FALSE;
    case Fx3Verdict::SectionTooLong:
        DbgPrint("MCU file too long \n");
        return FALSE;
    case Fx3Verdict::SectionPastEnd:
    case Fx3Verdict::ChecksumPastEnd:
        DbgPrint("MCU address error (now 0x%x, total 0x%x)\n", static_cast<ULONG>(facts.FaultPosition),
                 Device->m_ulFileSize);
        return FALSE;
    case Fx3Verdict::Accepted:
    case Fx3Verdict::ChecksumMismatch:
        break;
    }
    DbgPrint("MCU file checksum (cal = 0x%x, get = 0x%x) \n", facts.StoredChecksum, facts.ComputedChecksum);
    if (facts.Verdict == Fx3Verdict::Accepted) {
        DbgPrint("MCU IMG file OK \n");
        return TRUE;
    }
    DbgPrint("MCU IMG file checksum fail \n");
    return FALSE;
}

BOOLEAN Fx3ImageFitsEeprom(ULONG Size) { return Size <= MaxEepromBytes; }

ULONG FindFx3ImageSerial(const CUsbDevice* Device) {
    // The whole descriptor must lie inside the file: a serial carried into a
    // cut-off descriptor would land in the 0xFF pad.
    const ULONG size = Device->m_ulFileSize;
    const ULONG positions = size >= SerialDescriptorBytes ? size - SerialDescriptorBytes + 1 : 0;
    return FindSerial(Device->m_pFileBuffer, positions);
}

BOOLEAN Fx3SerialWritable(const CUsbDevice* Device, ULONG j) {
    return OnlySectionData(Device, j + SerialOffset, j + SerialOffset + SerialBytes);
}

NTSTATUS DownloadFx3Image(CUsbDevice* Device) {
    if (!CheckFx3Image(Device)) {
        return STATUS_UNSUCCESSFUL;
    }
    const ULONG size = Device->m_ulFileSize;
    if (!Fx3ImageFitsEeprom(size)) {
        DbgPrint("FX3 file too large for the EEPROM, size 0x%x \n", size);
        return STATUS_UNSUCCESSFUL;
    }
    PUCHAR image = Device->m_pFileBuffer;

    DbgPrint("Start read EEPROM  \n");
    PUCHAR eeprom = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, size + EepromReadBlock, TagHarn));
    if (eeprom == nullptr) {
        // Nothing has been sent yet; the run goes on as if the file were absent.
        DbgPrint("EEPROM buffer allocation fail \n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlFillMemory(eeprom, size + EepromReadBlock, 0xFF);

    // readEnd: end of the bytes asked from the EEPROM (whole 1024-byte blocks).
    ULONG readEnd = 0;
    for (ULONG offset = 0, remaining = size; remaining > 0;) {
        const ULONG step = remaining < EepromReadBlock ? remaining : EepromReadBlock;
        if (Device->IsRemoved()) {
            break;
        }
        UVCRead_EEPROM(Device, offset / EepromPage, EepromReadBlock, eeprom + offset);
        readEnd = offset + EepromReadBlock;
        offset += step;
        remaining -= step;
    }
    DbgPrint("End read EEPROM \n");
    DbgPrint("Get the origianl serial number \n");

    // The EEPROM holds the old image, which may be longer than the new one: its
    // descriptor may start anywhere before `size` and reach into the rest of the
    // last block read, but not into bytes never read (their 0xFF fill is no
    // serial number).
    const ULONG eepromPositions = readEnd >= SerialDescriptorBytes ? readEnd - SerialDescriptorBytes + 1 : 0;
    const ULONG i = FindSerial(eeprom, eepromPositions < size ? eepromPositions : size);
    if (i != NotFound) {
        TraceSerial("Find the current serial number at 0x%x, (0x%x, 0x%x, 0x%x, 0x%x, 0x%x, 0x%x, 0x%x, 0x%x, 0x%x, "
                    "0x%x) \n",
                    i, eeprom);
        RtlCopyMemory(Device->m_SerialNumber, eeprom + i + SerialOffset, SerialBytes);
        const ULONG j = FindFx3ImageSerial(Device);
        if (j != NotFound) {
            TraceSerial("Find the File serial number at 0x%x, (0x%x, 0x%x, 0x%x, 0x%x, 0x%x, 0x%x, 0x%x, 0x%x, 0x%x, "
                        "0x%x) \n",
                        j, image);
            if (RtlCompareMemory(image + j + SerialOffset, Device->m_SerialNumber, SerialBytes) != SerialBytes) {
                CarrySerialOver(Device, j);
            }
        }
    }

    for (ULONG offset = 0, remaining = size; remaining > 0;) {
        const ULONG step = remaining < EepromPage ? remaining : EepromPage;
        if (RtlCompareMemory(eeprom + offset, image + offset, step) != step) {
            DbgPrint("Compare error at %d", offset);
            if (Device->IsRemoved()) {
                break;
            }
            UVCWrite_EEPROM(Device, offset / EepromPage, EepromPage, image + offset);
            TimerWaitMs(1);
            Device->m_bUpdated = 1;
        }
        offset += step;
        remaining -= step;
    }
    DbgPrint("Done compare EEPROM \n");
    ExFreePoolWithTag(eeprom, TagHarn);
    return STATUS_SUCCESS;
}
