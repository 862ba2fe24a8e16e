// What the driver's own file routines make of a firmware or version file,
// in plain C++ types. FileFacts.cpp is compiled as driver code and calls the
// update engine's routines on a device object whose file buffer holds the
// file, exactly as the loader hands it over (the file, then 4096 bytes of
// 0xFF). A hosted platform must be running (the device object is pool).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orvex::cli {

struct Fx3Section {
    uint32_t offset = 0;   // of the section's length word
    uint32_t words = 0;
    uint32_t address = 0;
};

struct Fx3Facts {
    enum class Verdict { Accepted, BadSignature, SectionTooLong, SectionPastEnd, ChecksumPastEnd, ChecksumMismatch };
    Verdict verdict = Verdict::BadSignature;
    uint32_t header = 0;
    uint32_t sectionCount = 0;          // may exceed sections.size()
    std::vector<Fx3Section> sections;   // the first ones, one by one
    uint32_t faultLength = 0;           // SectionTooLong
    uint64_t faultPosition = 0;         // where the walk left the file
    bool reachedEnd = false;            // the end marker was found
    uint32_t endMarkerOffset = 0;
    uint32_t entry = 0;
    uint32_t storedChecksum = 0;
    uint32_t computedChecksum = 0;
    bool fitsEeprom = true;             // the EEPROM's 16-bit page numbers reach the whole image
    uint32_t eepromPages = 0;           // 256-byte pages the image spans
    bool serialFound = false;
    uint32_t serialOffset = 0;          // of the 28-byte descriptor
    std::string serial;                 // its ten characters (non-ASCII as '?')
    bool serialWritable = false;        // the camera's own serial can be carried into it
};

struct IspFacts {
    bool tooSmall = false;              // the version window starts beyond the file
    uint64_t windowStart = 0;
    uint32_t windowBytes = 0;
    bool versionFound = false;
    uint32_t version = 0;               // 0xHHMMLL from "HH.MM.LL"
    uint32_t versionOffset = 0;
    uint32_t flashPages = 0;
    bool fitsFlash = true;              // page count fits the 16-bit size announcement
};

struct AudFacts {
    bool tooSmall = false;
    uint32_t versionOffset = 0;
    uint32_t version = 0;
    uint32_t flashPages = 0;
    bool fitsFlash = true;
};

struct VersionFacts {
    uint32_t fx3 = 0, isp = 0, aud = 0;  // as the driver decodes them (0 = none)
    uint32_t keptBytes = 0;              // bytes of the file the driver keeps
    uint32_t scanEnd = 0;                // a key must begin before this position
};

Fx3Facts ReadFx3Facts(const std::vector<uint8_t>& file);
IspFacts ReadIspFacts(const std::vector<uint8_t>& file);
AudFacts ReadAudFacts(const std::vector<uint8_t>& file);
VersionFacts ReadVersionFacts(const std::vector<uint8_t>& file);

}  // namespace orvex::cli
