#include "MakeCommands.h"

#include <fstream>
#include <iostream>
#include <stdexcept>

#include "Firmware.h"  // the firmware builders

namespace orvex::cli {

namespace fw = orvex::firmware;

namespace {

struct MakeOptions {
    std::string output;
    std::string version;      // fx3: "1.2.3"; isp: "12.34.56"; aud: number
    size_t size = 0;
    std::string serial = "0000000001";
    bool noSerial = false;
    bool noVersion = false;
    uint32_t seed = 1;
    std::string fx3, isp, aud;  // version file entries
};

MakeOptions g_make;

uint32_t ParseNumber(const std::string& text, const char* what, uint32_t max) {
    size_t used = 0;
    unsigned long v = 0;
    try {
        v = std::stoul(text, &used, 0);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used != text.size() || text.empty() || v > max)
        throw std::runtime_error(std::string(what) + " \"" + text + "\" is not a number from 0 to " + std::to_string(max));
    return static_cast<uint32_t>(v);
}

}  // namespace

std::optional<std::array<uint8_t, 3>> ParseDottedVersion(const std::string& text) {
    std::array<uint8_t, 3> out{};
    size_t pos = 0;
    for (int i = 0; i < 3; ++i) {
        size_t end = text.find('.', pos);
        if ((i < 2) != (end != std::string::npos)) return std::nullopt;
        std::string part = text.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        if (part.empty() || part.size() > 3 || part.find_first_not_of("0123456789") != std::string::npos)
            return std::nullopt;
        int v = std::stoi(part);
        if (v > 255) return std::nullopt;
        out[i] = static_cast<uint8_t>(v);
        pos = end + 1;
    }
    return out;
}

std::optional<uint32_t> ParseIspVersionText(const std::string& text) {
    if (text.size() != 8 || text[2] != '.' || text[5] != '.') return std::nullopt;
    uint32_t value = 0;
    for (int pair = 0; pair < 3; ++pair) {
        char a = text[pair * 3], b = text[pair * 3 + 1];
        if (a < '0' || a > '9' || b < '0' || b > '9') return std::nullopt;
        value = (value << 8) | static_cast<uint32_t>((a - '0') * 10 + (b - '0'));
    }
    return value;
}

void WriteFile(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

void WriteFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
    WriteFile(path, std::string(bytes.begin(), bytes.end()));
}

void AddMakeCommands(CLI::App& make) {
    auto* fx3 = make.add_subcommand("fx3", "FX3 boot image (EEPROM content)");
    fx3->add_option("-o,--output", g_make.output, "File to write")->required();
    fx3->add_option("--version", g_make.version, "FX3 version as three bytes, e.g. 1.2.3")->default_str("1.2.3");
    fx3->add_option("--size", g_make.size, "Image size in bytes (at least 28)")->default_str("16384");
    fx3->add_option("--serial", g_make.serial, "Ten-character serial number")->default_str("0000000001");
    fx3->add_flag("--no-serial", g_make.noSerial, "Leave the serial-number descriptor out");
    fx3->add_option("--seed", g_make.seed, "Varies the section data");

    auto* isp = make.add_subcommand("isp", "ISP flash image");
    isp->add_option("-o,--output", g_make.output, "File to write")->required();
    isp->add_option("--version", g_make.version, "Version text DD.DD.DD")->default_str("12.34.56");
    isp->add_flag("--no-version", g_make.noVersion, "Leave the version text out");
    isp->add_option("--size", g_make.size, "Image size in bytes")->default_str("65536");
    isp->add_option("--seed", g_make.seed, "Varies the image data");

    auto* aud = make.add_subcommand("aud", "Audio flash image");
    aud->add_option("-o,--output", g_make.output, "File to write")->required();
    aud->add_option("--version", g_make.version, "Version byte (decimal or 0x..)")->default_str("5");
    aud->add_option("--size", g_make.size, "Image size in bytes (the version byte sits at 229920)")
        ->default_str("229921");
    aud->add_option("--seed", g_make.seed, "Varies the image data");

    auto* ver = make.add_subcommand("version", "Version file naming the wanted versions");
    ver->add_option("-o,--output", g_make.output, "File to write")->required();
    ver->add_option("--fx3", g_make.fx3, "FX3 version: 1.2.3 or the number 10203");
    ver->add_option("--isp", g_make.isp, "ISP version: 12.34.56 or a number such as 0x0C2238");
    ver->add_option("--aud", g_make.aud, "Audio version byte (decimal or 0x..)");
}

bool RunMakeCommand(const CLI::App& make) {
    const MakeOptions& o = g_make;
    const std::string which = make.get_subcommands().front()->get_name();
    fw::Bytes bytes;
    std::string summary;
    if (which == "fx3") {
        fw::Fx3Options f;
        auto v = ParseDottedVersion(o.version.empty() ? "1.2.3" : o.version);
        if (!v) throw std::runtime_error("--version \"" + o.version + "\" is not of the form 1.2.3 (each 0..255)");
        f.version = *v;
        f.size = o.size ? o.size : 16384;
        if (f.size < 28) throw std::runtime_error("--size must be at least 28");
        if (o.noSerial) f.serial.reset();
        else if (o.serial.size() != fw::kSerialChars) throw std::runtime_error("--serial must have ten characters");
        else f.serial = o.serial;
        f.seed = o.seed;
        bytes = fw::MakeFx3Image(f);
        summary = "FX3 image, version " + std::to_string(fw::Fx3VersionNumber(f.version));
    } else if (which == "isp") {
        fw::IspOptions f;
        f.size = o.size ? o.size : 65536;
        f.seed = o.seed;
        if (o.noVersion) {
            f.text.reset();
        } else {
            std::string text = o.version.empty() ? "12.34.56" : o.version;
            if (!ParseIspVersionText(text)) throw std::runtime_error("--version \"" + text + "\" is not of the form DD.DD.DD");
            f.text = text;
        }
        if (f.size < f.windowWord + fw::kIspWindowDistance + fw::kIspWindowBytes)
            throw std::runtime_error("--size too small to hold the version window");
        bytes = fw::MakeIspImage(f);
        summary = "ISP image, version " + (f.text ? *f.text : std::string("(none)"));
    } else if (which == "aud") {
        fw::AudOptions f;
        f.size = o.size ? o.size : 229921;
        f.version = static_cast<uint8_t>(ParseNumber(o.version.empty() ? "5" : o.version, "--version", 255));
        f.seed = o.seed;
        if (f.size < 4) throw std::runtime_error("--size must be at least 4");
        bytes = fw::MakeAudImage(f);
        summary = "audio image, version " + std::to_string(f.version);
    } else {
        std::optional<uint32_t> fx3, isp, aud;
        if (!o.fx3.empty()) {
            if (auto v = ParseDottedVersion(o.fx3)) fx3 = fw::Fx3VersionNumber(*v);
            else fx3 = ParseNumber(o.fx3, "--fx3", 999999);
        }
        if (!o.isp.empty()) {
            if (auto v = ParseIspVersionText(o.isp)) isp = *v;
            else isp = ParseNumber(o.isp, "--isp", 0xFFFFFF);
        }
        if (!o.aud.empty()) aud = ParseNumber(o.aud, "--aud", 0xFFFFFF);
        if (!fx3 && !isp && !aud) throw std::runtime_error("name at least one of --fx3, --isp, --aud");
        std::string text = fw::VersionFileText(fx3, isp, aud);
        bytes.assign(text.begin(), text.end());
        summary = "version file";
    }
    WriteFile(o.output, bytes);
    std::cout << "wrote " << o.output << ": " << summary << ", " << bytes.size() << " bytes\n";
    return true;
}

}  // namespace orvex::cli
