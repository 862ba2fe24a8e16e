#include "Check.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <hosted/platform.h>

#include "FileFacts.h"

namespace orvex::cli {
namespace {

using json = nlohmann::ordered_json;

// Files whose size and the loader's pad no longer fit 32 bits are refused
// before any check.
constexpr uint64_t kMaxLoadableBytes = 0xFFFFF000ULL - 1;

std::string Hex(uint64_t v, int digits = 0) {
    char b[24];
    std::snprintf(b, sizeof b, "0x%0*llX", digits, static_cast<unsigned long long>(v));
    return b;
}

// "1.2.3" for the FX3 version number the version file carries in decimal.
std::string Fx3Text(uint32_t v) {
    return std::to_string(v / 10000) + "." + std::to_string(v / 100 % 100) + "." + std::to_string(v % 100);
}
// "12.34.56" for a 0xHHMMLL value whose bytes carry the decimal pairs.
std::string IspText(uint32_t v) {
    char b[16];
    std::snprintf(b, sizeof b, "%02u.%02u.%02u", v >> 16 & 0xFF, v >> 8 & 0xFF, v & 0xFF);
    return b;
}

bool StartsWith(const std::vector<uint8_t>& b, const char* s) {
    const size_t n = std::char_traits<char>::length(s);
    return b.size() >= n && std::equal(s, s + n, b.begin(), [](char c, uint8_t x) { return uint8_t(c) == x; });
}

// The type told by the content: the boot image's "CY" signature, the flash
// images' magic words, or a text naming the version keys.
std::string GuessType(const std::vector<uint8_t>& b) {
    if (StartsWith(b, "CY")) return "fx3";
    if (StartsWith(b, "OISP")) return "isp";
    if (StartsWith(b, "OAUD")) return "aud";
    const std::string head(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(std::min<size_t>(b.size(), 4096)));
    bool text = !head.empty();
    for (unsigned char c : head) text = text && (c >= 0x20 || c == '\r' || c == '\n' || c == '\t');
    if (text && head.find("UVC_") != std::string::npos) return "version";
    return "";
}

struct Finding {
    json doc;          // the file's findings
    std::string text;  // the same, for a reader
};

void Refuse(Finding& f, const std::string& reason) {
    f.doc["used"] = false;
    f.doc["reason"] = reason;
}

Finding CheckFx3(const std::vector<uint8_t>& b) {
    Finding f;
    const Fx3Facts x = ReadFx3Facts(b);
    std::ostringstream t;
    json& d = f.doc;
    d["signature"] = Hex(x.header, 8);
    d["signature_valid"] = x.verdict != Fx3Facts::Verdict::BadSignature;
    t << "  signature  " << Hex(x.header, 8)
      << (x.verdict == Fx3Facts::Verdict::BadSignature ? " (no FX3 boot-image signature)" : " (valid)") << "\n";
    json sections = json::array();
    for (size_t i = 0; i < x.sections.size(); ++i) {
        const auto& s = x.sections[i];
        sections.push_back({{"offset", s.offset}, {"words", s.words}, {"address", Hex(s.address, 8)}});
        t << "  section " << i + 1 << "  at " << Hex(s.offset) << ": " << s.words << " words to "
          << Hex(s.address, 8) << "\n";
    }
    if (x.sectionCount > x.sections.size())
        t << "  ... " << x.sectionCount - x.sections.size() << " more sections\n";
    d["section_count"] = x.sectionCount;
    d["sections"] = sections;
    if (x.reachedEnd) {
        d["end_marker"] = {{"offset", x.endMarkerOffset}, {"entry", Hex(x.entry, 8)}};
        t << "  end marker at " << Hex(x.endMarkerOffset) << ", entry " << Hex(x.entry, 8) << "\n";
    }
    if (x.verdict == Fx3Facts::Verdict::Accepted || x.verdict == Fx3Facts::Verdict::ChecksumMismatch) {
        d["checksum"] = {{"stored", Hex(x.storedChecksum, 8)}, {"computed", Hex(x.computedChecksum, 8)}};
        t << "  checksum   stored " << Hex(x.storedChecksum, 8) << ", computed " << Hex(x.computedChecksum, 8)
          << (x.storedChecksum == x.computedChecksum ? " (match)" : " (MISMATCH)") << "\n";
    }
    if (x.serialFound) {
        d["serial"] = {{"offset", x.serialOffset}, {"text", x.serial}, {"carried_over", x.serialWritable}};
        t << "  serial     descriptor at " << Hex(x.serialOffset) << ": \"" << x.serial << "\""
          << (x.serialWritable ? " (the camera's own serial can be carried into it)"
                               : " (lies outside section data: kept as it is)")
          << "\n";
    } else {
        d["serial"] = nullptr;
        t << "  serial     no serial-number descriptor (the camera's serial is not carried over)\n";
    }
    d["eeprom_pages"] = x.eepromPages;
    t << "  EEPROM     " << x.eepromPages << " pages of 256 bytes\n";

    switch (x.verdict) {
    case Fx3Facts::Verdict::Accepted:
        if (!x.fitsEeprom)
            Refuse(f, "image larger than the 16 MiB the EEPROM's page numbers reach");
        else
            d["used"] = true;
        break;
    case Fx3Facts::Verdict::BadSignature:
        Refuse(f, "bad signature " + Hex(x.header, 8) + " (expected 0xB01C5943, 0xB02C5943 or 0xB03C5943)");
        break;
    case Fx3Facts::Verdict::SectionTooLong:
        Refuse(f, "section " + std::to_string(x.sectionCount + 1) + " at " + Hex(x.faultPosition) + " claims " +
                      std::to_string(x.faultLength) + " words (more than 65536)");
        break;
    case Fx3Facts::Verdict::SectionPastEnd:
        Refuse(f, "section " + std::to_string(x.sectionCount) + " ends at " + Hex(x.faultPosition) +
                      ", at or beyond the end of the file (" + Hex(b.size()) + "): no end marker");
        break;
    case Fx3Facts::Verdict::ChecksumPastEnd:
        Refuse(f, "the checksum after the end marker would end at " + Hex(x.faultPosition) +
                      ", beyond the end of the file (" + Hex(b.size()) + ")");
        break;
    case Fx3Facts::Verdict::ChecksumMismatch:
        Refuse(f, "checksum mismatch: stored " + Hex(x.storedChecksum, 8) + ", computed " +
                      Hex(x.computedChecksum, 8));
        break;
    }
    f.text = t.str();
    return f;
}

void FlashPages(Finding& f, std::ostringstream& t, uint32_t pages, bool fits) {
    f.doc["flash_pages"] = pages;
    t << "  flash      " << pages << " pages of 4096 bytes" << (fits ? "" : " (more than 65535)") << "\n";
}

// The last verdict on a flash image whose version was read: it is used
// unless it has more pages than the flash can take.
void UseIfItFits(Finding& f, uint32_t pages, bool fits) {
    if (fits)
        f.doc["used"] = true;
    else
        Refuse(f, "too large: " + std::to_string(pages) + " flash pages (at most 65535)");
}

Finding CheckIsp(const std::vector<uint8_t>& b) {
    Finding f;
    const IspFacts x = ReadIspFacts(b);
    std::ostringstream t;
    f.doc["version_window"] = {{"start", x.windowStart}, {"bytes", x.windowBytes}};
    t << "  window     " << x.windowBytes << " bytes at " << Hex(x.windowStart)
      << " (word at 0x1C + 832)" << (x.tooSmall ? ", beyond the end of the file" : "") << "\n";
    if (x.versionFound) {
        f.doc["version"] = IspText(x.version);
        f.doc["version_offset"] = x.versionOffset;
        t << "  version    " << IspText(x.version) << " at " << Hex(x.versionOffset) << "\n";
    } else {
        f.doc["version"] = nullptr;
    }
    FlashPages(f, t, x.flashPages, x.fitsFlash);
    if (x.tooSmall)
        Refuse(f, "too small: the version window starts at " + Hex(x.windowStart) + ", beyond the file's " +
                      std::to_string(b.size()) + " bytes");
    else if (!x.versionFound)
        Refuse(f, "no DD.DD.DD version text in the window: the driver cannot compare versions");
    else
        UseIfItFits(f, x.flashPages, x.fitsFlash);
    f.text = t.str();
    return f;
}

Finding CheckAud(const std::vector<uint8_t>& b) {
    Finding f;
    const AudFacts x = ReadAudFacts(b);
    std::ostringstream t;
    if (x.tooSmall) {
        f.doc["version"] = nullptr;
        t << "  version    none: the file ends before byte " << Hex(x.versionOffset) << "\n";
    } else {
        f.doc["version"] = Hex(x.version, 2);
        t << "  version    " << Hex(x.version, 2) << " (byte at " << Hex(x.versionOffset) << ")\n";
    }
    FlashPages(f, t, x.flashPages, x.fitsFlash);
    if (x.tooSmall)
        Refuse(f, "too small: " + std::to_string(b.size()) + " bytes, the version byte lies at " +
                      std::to_string(x.versionOffset));
    else
        UseIfItFits(f, x.flashPages, x.fitsFlash);
    f.text = t.str();
    return f;
}

Finding CheckVersion(const std::vector<uint8_t>& b) {
    Finding f;
    const VersionFacts all = ReadVersionFacts(b);
    std::ostringstream t;
    f.doc["fx3"] = all.fx3 ? json(Fx3Text(all.fx3)) : json(nullptr);
    f.doc["isp"] = all.isp ? json(IspText(all.isp)) : json(nullptr);
    f.doc["aud"] = all.aud ? json(Hex(all.aud, 2)) : json(nullptr);
    t << "  UVC_FX3    " << (all.fx3 ? Fx3Text(all.fx3) : "none") << "\n";
    t << "  UVC_ISP    " << (all.isp ? IspText(all.isp) : "none") << "\n";
    t << "  UVC_AUD    " << (all.aud ? Hex(all.aud, 2) : "none") << "\n";

    // A line counts as read when blanking it changes what the driver decodes;
    // positions stay as they are, so every other line is scanned as before.
    json unused = json::array();
    size_t start = 0, number = 0;
    while (start < b.size()) {
        size_t end = start;
        while (end < b.size() && b[end] != '\n') ++end;
        ++number;
        size_t stop = end;
        while (stop > start && (b[stop - 1] == '\r' || b[stop - 1] == ' ' || b[stop - 1] == '\t')) --stop;
        const std::string line(b.begin() + static_cast<std::ptrdiff_t>(start),
                               b.begin() + static_cast<std::ptrdiff_t>(stop));
        if (!line.empty()) {
            std::vector<uint8_t> blanked = b;
            std::fill(blanked.begin() + static_cast<std::ptrdiff_t>(start),
                      blanked.begin() + static_cast<std::ptrdiff_t>(stop), ' ');
            const VersionFacts without = ReadVersionFacts(blanked);
            if (without.fx3 == all.fx3 && without.isp == all.isp && without.aud == all.aud) {
                std::string why;
                if (start >= all.scanEnd)
                    why = "starts at byte " + std::to_string(start) + ", the driver reads keys only before byte " +
                          std::to_string(all.scanEnd);
                else if (line.rfind("UVC_FX3=", 0) == 0 || line.rfind("UVC_ISP=", 0) == 0 ||
                         line.rfind("UVC_AUD=", 0) == 0)
                    why = "repeats a key already read, or its value decodes to 0";
                else
                    why = "not a UVC_FX3=, UVC_ISP= or UVC_AUD= entry at the start of the line";
                unused.push_back({{"line", number}, {"text", line}, {"why", why}});
                t << "  line " << number << "     not read: \"" << line << "\" (" << why << ")\n";
            }
        }
        start = end + 1;
    }
    f.doc["kept_bytes"] = all.keptBytes;
    f.doc["unread_lines"] = unused;
    std::string missing;
    if (!all.fx3) missing += " UVC_FX3";
    if (!all.isp) missing += " UVC_ISP";
    if (!all.aud) missing += " UVC_AUD";
    if (!missing.empty())
        Refuse(f, "no value for" + missing);
    else
        f.doc["used"] = true;
    f.text = t.str();
    return f;
}

const char* TypeName(const std::string& type) {
    if (type == "fx3") return "FX3 boot image";
    if (type == "isp") return "ISP flash image";
    if (type == "aud") return "audio flash image";
    if (type == "version") return "version file";
    return "unknown type";
}

json CheckOne(const std::string& path, const std::string& given, std::string* text) {
    json head = {{"file", path}};
    std::ostringstream t;
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    Finding f;
    std::string type = given;
    if (ec) {
        Refuse(f, "cannot read the file");
    } else if (size > kMaxLoadableBytes) {
        Refuse(f, "too large for the driver's loader (" + std::to_string(size) + " bytes)");
    } else {
        std::ifstream in(path, std::ios::binary);
        std::vector<uint8_t> b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (!in.good() && !in.eof()) {
            Refuse(f, "cannot read the file");
        } else {
            head["bytes"] = b.size();
            if (type.empty()) type = GuessType(b);
            if (b.empty())
                Refuse(f, "empty: the driver does not use an empty file");
            else if (type == "fx3")
                f = CheckFx3(b);
            else if (type == "isp")
                f = CheckIsp(b);
            else if (type == "aud")
                f = CheckAud(b);
            else if (type == "version")
                f = CheckVersion(b);
            else
                Refuse(f, "cannot tell the file's type from its content; give --type");
        }
    }
    head["type"] = type.empty() ? json(nullptr) : json(type);
    head["type_guessed"] = given.empty();
    const bool used = f.doc.value("used", false);
    t << path << ": " << TypeName(type);
    if (head.contains("bytes")) t << ", " << head["bytes"].get<uint64_t>() << " bytes";
    t << (used ? ": would be used\n" : ": REFUSED: " + f.doc.value("reason", std::string()) + "\n");
    t << f.text;
    *text = t.str();
    head.update(f.doc);
    head["used"] = used;
    return head;
}

}  // namespace

CLI::App* AddCheckCommand(CLI::App& app, CheckOptions& options) {
    auto* check = app.add_subcommand("check", "Tell what the driver would make of firmware and version files");
    check->add_option("files", options.files, "Files to check")->required();
    check->add_option("--type", options.type, "Type of every file (default: guessed from its content)")
        ->check(CLI::IsMember({"fx3", "isp", "aud", "version"}));
    check->add_flag("--json", options.json, "One JSON document on stdout");
    return check;
}

int RunCheck(const CheckOptions& options, std::ostream& out) {
    // The driver's routines run on a device object from the hosted pool.
    hosted::Platform platform;
    json files = json::array();
    bool all = true;
    std::string text;
    for (const auto& path : options.files) {
        std::string one;
        json doc = CheckOne(path, options.type, &one);
        all = all && doc["used"].get<bool>();
        files.push_back(std::move(doc));
        text += one;
    }
    if (options.json)
        out << json{{"all_used", all}, {"files", files}}.dump(2) << "\n";
    else
        out << text;
    return all ? 0 : 1;
}

}  // namespace orvex::cli
