// What the update engine reads out of a loaded firmware file, without tracing
// and without touching the camera. The programming branches decide on these
// facts; a tool that reports on a file before a release calls the same
// routines, so it sees exactly what the driver would.
//
// Every routine takes a device whose m_pFileBuffer holds the file followed by
// the loader's 4096 bytes of 0xFF pad, and m_ulFileSize the file's size.
#pragma once

#include "../usbdevice/UsbDevice.h"

constexpr ULONG Fx3EepromPageBytes = 256;
constexpr ULONG FlashPageBytes = 4096;
constexpr ULONG NoIspVersion = 0xAAAAAA;       // no "DD.DD.DD" text in the window
constexpr ULONG IspVersionWindowBytes = 256;
constexpr ULONG AudVersionOffset = 229920;
constexpr ULONG MaxFlashPages = 0xFFFF;        // UVCSet_FILESIZE carries 16 bits
constexpr ULONG Fx3SerialNotFound = 0xFFFFFFFF;
constexpr ULONG Fx3SerialOffset = 8;           // serial characters within the descriptor
constexpr ULONG Fx3SerialBytes = 20;           // ten UTF-16 characters

enum class Fx3Verdict : ULONG {
    Accepted,
    BadSignature,        // the first word is no boot-image header
    SectionTooLong,      // a section claims more than 0x10000 words
    SectionPastEnd,      // a section's data reaches the end of the file
    ChecksumPastEnd,     // the checksum word after the end marker lies beyond the file
    ChecksumMismatch,    // the stored checksum differs from the sum of the data words
};

constexpr ULONG Fx3FactsSections = 32;  // sections described one by one

struct Fx3ImageFacts {
    Fx3Verdict Verdict;
    ULONG Header;
    ULONG Sections;                     // sections walked (with data)
    ULONG SectionOffset[Fx3FactsSections];
    ULONG SectionWords[Fx3FactsSections];
    ULONG SectionAddress[Fx3FactsSections];
    ULONG FaultLength;                  // SectionTooLong: the length word
    ULONGLONG FaultPosition;            // SectionPastEnd, ChecksumPastEnd: where the walk left the file
    ULONG EndMarkerOffset;              // set once the walk reached the end marker
    ULONG Entry;
    ULONG StoredChecksum;
    ULONG ComputedChecksum;
};

// Walks the boot image as CheckFx3Image does (which reports these facts in
// its trace).
void InspectFx3Image(CUsbDevice* Device, Fx3ImageFacts* Facts);
// Whether an image of this size fits the EEPROM's 16-bit page numbers.
BOOLEAN Fx3ImageFitsEeprom(ULONG Size);
// Start of the serial-number descriptor lying whole in the file, or
// Fx3SerialNotFound.
ULONG FindFx3ImageSerial(const CUsbDevice* Device);
// Whether the serial characters at descriptor position j lie in section data
// only, so the camera's own serial can be written there.
BOOLEAN Fx3SerialWritable(const CUsbDevice* Device, ULONG j);

// The ISP image's version window starts at the word at offset 28 plus 832,
// computed in 32 bits.
// FALSE when that start lies beyond the file ("too small"); else TRUE with
// *Version the first "DD.DD.DD" found in the window or NoIspVersion.
BOOLEAN FindIspFileVersion(CUsbDevice* Device, ULONGLONG* WindowStart, ULONG* Version, ULONG* FoundAt);
// The audio image's version byte; FALSE when the file is too small to hold it.
BOOLEAN FindAudFileVersion(const CUsbDevice* Device, ULONG* Version);
// Number of 4096-byte flash pages the file is sent in.
ULONG FlashPageCount(ULONG Size);

// The version file: the loader keeps its first bytes in m_VersionText, which
// ParseVersionText then scans; a key must begin before VersionScanEnd.
constexpr ULONG VersionScanEnd = 70;
void KeepVersionText(CUsbDevice* Device);
