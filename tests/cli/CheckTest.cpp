// orvex-sim check: what the driver's own routines make of real, built and
// broken files, in the JSON a build pipeline reads and in the exit status.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "Check.h"
#include "Firmware.h"
#include "TempDirTest.h"

namespace fs = std::filesystem;
using nlohmann::json;
using namespace orvex::firmware;

namespace {

class Check : public clitest::TempDirTest {
protected:
    std::string Write(const std::string& name, const Bytes& bytes) {
        const auto p = (dir_ / name).string();
        std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                 static_cast<std::streamsize>(bytes.size()));
        return p;
    }
    std::string Write(const std::string& name, const std::string& text) { return Write(name, Bytes(text.begin(), text.end())); }

    // Runs the check with --json; returns the document and sets `status`.
    json Run(const std::vector<std::string>& files, const std::string& type = "") {
        orvex::cli::CheckOptions o;
        o.files = files;
        o.type = type;
        o.json = true;
        std::ostringstream out;
        status = orvex::cli::RunCheck(o, out);
        return json::parse(out.str());
    }
    json One(const std::string& file, const std::string& type = "") { return Run({file}, type)["files"][0]; }

    int status = -1;
};

Bytes Le32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }

TEST_F(Check, PublicFx3ImagesAreAcceptedWithTheirLayout) {
    struct Case {
        const char* file;
        std::vector<uint32_t> words;
        const char* entry;
        const char* checksum;
    } cases[] = {
        {"boot_fw.img", {5271, 142}, "0x40078000", "0x5CF3AE53"},
        {"FX3_Firmware.img", {2272, 16384, 14182, 6230}, "0x40013524", "0x8D670C58"},
        {"USBFlashProg.img", {2378, 16384, 11657, 2891}, "0x4000D8C0", "0x8D5B122F"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const fs::path path = fs::path(ORVEX_FX3_IMAGES_DIR) / c.file;
        if (!fs::exists(path)) GTEST_SKIP() << "public images not present";
        const json f = One(path.string());
        EXPECT_EQ(status, 0);
        EXPECT_EQ(f["type"], "fx3");
        EXPECT_TRUE(f["used"].get<bool>()) << f.dump(2);
        ASSERT_EQ(f["sections"].size(), c.words.size());
        for (size_t i = 0; i < c.words.size(); ++i) EXPECT_EQ(f["sections"][i]["words"], c.words[i]);
        EXPECT_EQ(f["end_marker"]["entry"], c.entry);
        EXPECT_EQ(f["checksum"]["stored"], c.checksum);
        EXPECT_EQ(f["checksum"]["computed"], c.checksum);
        EXPECT_TRUE(f["serial"].is_null());
        EXPECT_EQ(f["eeprom_pages"], (fs::file_size(path) + 255) / 256);
    }
}

TEST_F(Check, BuiltFilesAreUsedAndDecoded) {
    const Bytes image = MakeFx3Image({.size = 5000, .serial = "CAM0000042", .serialOffset = 40});
    const Bytes isp = MakeIspImage({.windowWord = 0x200, .textOffset = 17, .text = "07.08.09"});
    const json doc = Run({Write("a.img", image), Write("isp.bin", isp),
                          Write("aud.bin", MakeAudImage({.size = 240000, .version = 0x33})),
                          Write("v.txt", VersionFileText(10203, 0x0C2238, 5))});
    EXPECT_EQ(status, 0) << doc.dump(2);
    EXPECT_TRUE(doc["all_used"].get<bool>());
    const json& f = doc["files"];
    EXPECT_EQ(f[0]["serial"]["text"], "CAM0000042");
    EXPECT_EQ(f[0]["serial"]["offset"], FindSerial(image)->position);
    EXPECT_TRUE(f[0]["serial"]["carried_over"].get<bool>());
    EXPECT_EQ(f[0]["eeprom_pages"], 20);  // 5000 bytes
    EXPECT_EQ(f[1]["type"], "isp");
    EXPECT_EQ(f[1]["version"], "07.08.09");
    EXPECT_EQ(f[1]["version_window"]["start"], 0x200 + 832);
    EXPECT_EQ(f[1]["version_offset"], 0x200 + 832 + 17);
    EXPECT_EQ(f[1]["flash_pages"], 3);  // 10000 bytes
    EXPECT_EQ(f[2]["version"], "0x33");
    EXPECT_EQ(f[2]["flash_pages"], 59);  // 240000 bytes
    EXPECT_EQ(f[3]["fx3"], "1.2.3");
    EXPECT_EQ(f[3]["isp"], "12.34.56");
    EXPECT_EQ(f[3]["aud"], "0x05");
    EXPECT_TRUE(f[3]["unread_lines"].empty());
}

// Every reason the driver refuses a file, once each: the reason names what
// it found, and the exit status reports the refusal.
TEST_F(Check, BrokenFilesAreRefusedWithTheirReason) {
    const Fx3ImageSpec good{.sections = {{0x40000000, Bytes(64, 0x11)}, {0x40001000, Bytes(32, 0x22)}}};
    auto bytes = [](Fx3ImageSpec s) { return BuildFx3Image(s); };
    Bytes badSignature = bytes(good);
    badSignature[3] = 0xB1;
    Fx3ImageSpec wrongSum = good;
    wrongSum.checksumOverride = 0x12345678;
    Bytes tooLong = bytes(good);
    const Bytes huge = Le32(0x10001);
    std::copy(huge.begin(), huge.end(), tooLong.begin() + 4);
    Bytes cutInSection = bytes(good);
    cutInSection.resize(40);
    Bytes cutBeforeChecksum = bytes(good);
    cutBeforeChecksum.resize(cutBeforeChecksum.size() - 2);
    const std::string noAud = VersionFileText(10203, 0x0C2238, std::nullopt);

    struct Case {
        const char* name;
        Bytes file;
        const char* type;
        std::string reason;
    } cases[] = {
        {"signature", badSignature, "fx3", "bad signature 0xB11C5943"},
        {"checksum", bytes(wrongSum), "fx3", "checksum mismatch: stored 0x12345678, computed 0x"},
        {"too-long", tooLong, "fx3", "section 1 at 0x4 claims 65537 words"},
        {"cut-in-section", cutInSection, "fx3", "section 1 ends at 0x4C, at or beyond the end of the file (0x28)"},
        {"cut-before-checksum", cutBeforeChecksum, "fx3", "the checksum after the end marker would end at 0x80"},
        // The window at 20832, in a file of 10000 bytes.
        {"isp-small", MakeIspImage({.windowWord = 20000}), "isp", "too small: the version window starts at 0x5160"},
        {"isp-none", MakeIspImage({.text = std::nullopt}), "isp", "no DD.DD.DD version text"},
        {"aud-small", MakeAudImage({.size = 229919}), "aud", "too small: 229919 bytes"},
        {"version-missing", Bytes(noAud.begin(), noAud.end()), "version", "no value for UVC_AUD"},
        {"empty", Bytes{}, "fx3", "empty"},
        {"unknown", Bytes(100, 0x5A), "", "cannot tell the file's type"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const json f = One(Write(c.name, c.file), c.type);
        EXPECT_EQ(status, 1);
        EXPECT_FALSE(f["used"].get<bool>());
        EXPECT_EQ(f["reason"].get<std::string>().rfind(c.reason, 0), 0u) << f["reason"];
    }
    // The built image itself passes: the boot images above fail for their one change.
    EXPECT_TRUE(One(Write("good", bytes(good)))["used"].get<bool>());
}

// Where the serial may be written: after the checksum it is free, but a
// descriptor whose characters would cover the end marker is kept as it is.
TEST_F(Check, SerialCarriedOverOnlyWhereTheLayoutStays) {
    Fx3ImageSpec after{.sections = {{0x40000000, Bytes(64, 0)}}};
    after.trailer = SerialDescriptor("TRAILER001");
    json f = One(Write("after.img", BuildFx3Image(after)));
    EXPECT_TRUE(f["used"].get<bool>());
    EXPECT_EQ(f["serial"]["text"], "TRAILER001");
    EXPECT_TRUE(f["serial"]["carried_over"].get<bool>());

    // The descriptor's first 8 bytes end the section; its characters would
    // land on the end marker, entry and checksum.
    Bytes data(56, 0);
    const Bytes d = SerialDescriptor("XXXXXXXXXX");
    data.insert(data.end(), d.begin(), d.begin() + 8);
    Fx3ImageSpec over{.sections = {{0x40000000, data}}};
    over.trailer = Bytes(8, 0);
    f = One(Write("over.img", BuildFx3Image(over)));
    EXPECT_TRUE(f["used"].get<bool>());
    EXPECT_EQ(f["serial"]["offset"], 4 + 8 + 56);
    EXPECT_FALSE(f["serial"]["carried_over"].get<bool>());
}

// The lines the driver does not read: a stray line, a repeated key (the
// first value stays), and a key beyond the bytes the driver scans.
TEST_F(Check, VersionFileNamesTheLinesNotRead) {
    const std::string text =
        "# release 7\r\nUVC_FX3=010203\r\nUVC_FX3=090909\r\nUVC_ISP=0C2238\r\nUVC_AUD=000005\r\nUVC_AUD=000007\r\n";
    const json f = One(Write("v.txt", text));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(f["fx3"], "1.2.3");
    EXPECT_EQ(f["aud"], "0x05");
    const json& lines = f["unread_lines"];
    ASSERT_EQ(lines.size(), 3u) << lines.dump(2);
    EXPECT_EQ(lines[0]["line"], 1);
    EXPECT_EQ(lines[1]["line"], 3);
    EXPECT_EQ(lines[1]["text"], "UVC_FX3=090909");
    EXPECT_EQ(lines[2]["line"], 6);
    EXPECT_NE(lines[2]["why"].get<std::string>().find("only before byte 70"), std::string::npos);
}

// The type guess follows the content, not the name; --type overrides it, and
// one refused file makes the whole check fail.
TEST_F(Check, TypeGuessOverrideAndMixedExitStatus) {
    const auto fx3 = Write("firmware.bin", MakeFx3Image({}));
    const auto isp = Write("isp.img", MakeIspImage({}));
    json doc = Run({fx3, isp});
    EXPECT_EQ(status, 0);
    EXPECT_EQ(doc["files"][0]["type"], "fx3");
    EXPECT_EQ(doc["files"][1]["type"], "isp");
    EXPECT_TRUE(doc["files"][1]["type_guessed"].get<bool>());
    doc = Run({fx3, isp}, "isp");
    EXPECT_FALSE(doc["files"][1]["type_guessed"].get<bool>());
    doc = Run({fx3, (dir_ / "missing.bin").string()});
    EXPECT_EQ(status, 1);
    EXPECT_FALSE(doc["all_used"].get<bool>());
    EXPECT_TRUE(doc["files"][0]["used"].get<bool>());
    EXPECT_EQ(doc["files"][1]["reason"], "cannot read the file");
}

}  // namespace
