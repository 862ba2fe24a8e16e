// Builders and readers of the camera's firmware files.
//
//  * FX3 boot image: signature "CY", control byte, type 0xB0, sections of
//    (length in words, load address, data), end marker, entry, checksum (sum of
//    all data words). The serial-number string descriptor and the "FX3VER:"
//    version marker are placed inside the first section's data, so the
//    checksum covers them.
//  * ISP flash image: begins with "OISP"; the LE word W at offset 28 places a
//    256-byte window at W + 832 holding the version text "DD.DD.DD".
//  * Audio flash image: begins with "OAUD"; the version byte lies at 229920.
//  * Version file: "UVC_FX3=", "UVC_ISP=", "UVC_AUD=" lines ended by CR LF.
//
// All builders are deterministic: equal specs give equal bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace orvex::firmware {

using Bytes = std::vector<uint8_t>;

// ---------------------------------------------------------------- FX3 image

inline constexpr uint32_t kFx3MaxSectionWords = 0x10000;
inline constexpr size_t kSerialChars = 10;
inline constexpr size_t kSerialDescriptorBytes = 0x1C;

struct Fx3Section {
    uint32_t address = 0x40000000;
    Bytes data;  // padded with 0 to whole 32-bit words when built
};

struct Fx3ImageSpec {
    uint8_t control = 0x1C;          // 0x1C, 0x2C or 0x3C for a valid image
    uint8_t type = 0xB0;
    std::vector<Fx3Section> sections;
    uint32_t entry = 0x40000100;
    std::optional<uint32_t> checksumOverride;  // stored instead of the real sum
    Bytes trailer;                   // bytes after the checksum word
};

// Lays the image out exactly as given: header, sections, end marker, entry,
// checksum (the real sum unless overridden), trailer.
Bytes BuildFx3Image(const Fx3ImageSpec& spec);

// The 28-byte serial-number descriptor: 0x1C, 0x03, "KVT", then ten UTF-16LE
// characters (ASCII here).
Bytes SerialDescriptor(const std::string& serial10);
// The version marker "FX3VER:" followed by the three version bytes.
Bytes Fx3VersionMarker(std::array<uint8_t, 3> version);

struct Fx3Options {
    size_t size = 2500;                      // total file size in bytes (>= 28)
    std::array<uint8_t, 3> version{1, 2, 3};
    std::optional<std::string> serial = std::string("0000000001");  // ten characters
    uint32_t seed = 1;                       // varies the section data
    uint8_t control = 0x1C;
    size_t serialOffset = 16;                // where the descriptor sits in section 1's data
};

// A valid image of exactly `size` bytes: as few sections as the length limit
// allows, pseudo-random data, the serial descriptor and version marker in the
// first section (when it is large enough), and 0..3 trailer bytes.
Bytes MakeFx3Image(const Fx3Options& options);

struct Fx3Layout {
    struct Section {
        size_t headerOffset;
        uint32_t words;
        uint32_t address;
    };
    uint32_t header = 0;
    std::vector<Section> sections;
    size_t endMarkerOffset = 0;
    uint32_t entry = 0;
    uint32_t storedChecksum = 0;
    uint32_t computedChecksum = 0;
    bool valid = false;  // passes the same checks as the driver's image check
    std::string error;   // why not
};

// Walks the image the way the driver's check does.
Fx3Layout ParseFx3Image(const Bytes& image);
// The three version bytes after the first "FX3VER:" marker.
std::optional<std::array<uint8_t, 3>> FindFx3Version(const Bytes& image);
// b0 * 10000 + b1 * 100 + b2.
uint32_t Fx3VersionNumber(std::array<uint8_t, 3> version);
// Position of the first whole serial descriptor and its ten characters.
struct SerialInfo {
    size_t position;
    std::string serial;  // low bytes of the ten UTF-16 characters
    Bytes raw;           // the 20 bytes
};
std::optional<SerialInfo> FindSerial(const Bytes& image);
// Writes a new serial and fixes the checksum (as the driver's carry-over does).
Bytes WithSerial(Bytes image, const std::string& serial10);

// --------------------------------------------------------- ISP / audio images

inline constexpr uint32_t kIspWindowWordOffset = 28;
inline constexpr uint32_t kIspWindowDistance = 832;
inline constexpr uint32_t kIspWindowBytes = 256;
inline constexpr uint32_t kAudVersionOffset = 229920;
inline constexpr uint32_t kNoIspVersion = 0xAAAAAA;

// "DD.DD.DD" of a 24-bit version whose bytes are each 0..99.
std::string IspVersionText(uint32_t version);

struct IspOptions {
    size_t size = 10000;
    uint32_t windowWord = 0x100;     // W
    size_t textOffset = 0;           // place of the text inside the window
    std::optional<std::string> text = std::string("12.34.56");  // nullopt: no text
    uint32_t seed = 2;
};
Bytes MakeIspImage(const IspOptions& options);

struct AudOptions {
    size_t size = 229921;
    uint8_t version = 5;             // stored at 229920 when the file reaches it
    uint32_t seed = 3;
};
Bytes MakeAudImage(const AudOptions& options);

// The driver's decoding rules, for reports and tests.
std::optional<uint32_t> DecodeIspVersion(const Bytes& image);
std::optional<uint8_t> DecodeAudVersion(const Bytes& image);

// -------------------------------------------------------------- version file

struct VersionFileEntries {
    std::optional<std::string> fx3{};  // six characters each, written as given
    std::optional<std::string> isp{};
    std::optional<std::string> aud{};
};
// "UVC_FX3=...\r\nUVC_ISP=...\r\nUVC_AUD=...\r\n" for the entries present.
std::string VersionFileText(const VersionFileEntries& entries);
// The same from numbers: FX3 as six decimal digits, ISP and audio as six
// upper-case hexadecimal digits.
std::string VersionFileText(std::optional<uint32_t> fx3, std::optional<uint32_t> isp, std::optional<uint32_t> aud);

// Deterministic filler shared by the builders.
Bytes PseudoRandomBytes(size_t count, uint32_t seed);
// The little-endian 32-bit word at pos; bytes past the end read as 0xFF, as
// in the driver's padded file buffer.
uint32_t WordAt(const Bytes& b, size_t pos);

}  // namespace orvex::firmware
