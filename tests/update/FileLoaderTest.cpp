// Loading files and decoding the version file: well-formed input gives the
// documented versions and trace; hostile input never reaches outside a buffer.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <tuple>

#include "UpdateRig.h"

using namespace orvex::test;
using orvex::firmware::Bytes;

namespace {

// FX3, ISP and audio versions as decoded.
using Versions = std::tuple<ULONG, ULONG, ULONG>;

Versions Parse(CUsbDevice* d, const std::string& text) {
    std::memset(d->m_VersionText, 0, sizeof d->m_VersionText);
    std::memcpy(d->m_VersionText, text.data(), std::min(text.size(), sizeof d->m_VersionText));
    ParseVersionText(d);
    return {d->m_ulFx3FileVersion, d->m_ulIspFileVersion, d->m_ulAudFileVersion};
}

class FileLoader : public hosted::PlatformTest {
protected:
    UpdateRig rig;
    CUsbDevice* d = rig.device;

    std::string Ws(const std::u16string& p) { return "\\??\\" + std::string(p.begin(), p.end()); }
};

}  // namespace

TEST_F(FileLoader, VersionTextExamples) {
    EXPECT_EQ(Parse(d, TypicalVersionText()), (Versions{10203, 0x0C2238, 0x05}));
    EXPECT_EQ(Parse(d, "UVC_FX3=010203UVC_ISP=0c2238UVC_AUD=0000FF"), (Versions{10203, 0x0C2238, 0xFF}));
    EXPECT_EQ(Parse(d, "uvc_isp=0C2238\r\n"), (Versions{0, 0, 0}));
    EXPECT_EQ(Parse(d, "UVC_ISP=0G0001\r\n"), (Versions{0, 0x000001, 0}));
    EXPECT_EQ(Parse(d, std::string(70, ' ') + "UVC_FX3=010203"), (Versions{0, 0, 0}));
    EXPECT_EQ(Parse(d, "UVC_AUD=000105UVC_FX3=010203"), (Versions{0, 0, 0x05}));
    EXPECT_EQ(Parse(d, "UVC_FX3=000000\r\nUVC_FX3=000005\r\n"), (Versions{5, 0, 0}));
    EXPECT_EQ(Parse(d, "UVC_FX3=000003\r\nUVC_FX3=000005\r\n"), (Versions{3, 0, 0}));
    EXPECT_EQ(Parse(d, "UVC_FX3=12\r\nUVC_ISP=0C2238\r\n"), (Versions{120000, 0, 0}));
}

TEST_F(FileLoader, VersionScanNeverReadsPastTheField) {
    // The 32 bytes after the field are made to continue the text: a scan that
    // read them would decode them. Positions past the field count as no key and
    // no digit.
    ASSERT_EQ(d->m_VersionRecord, d->m_VersionText + 80);
    ASSERT_EQ(d->m_SerialNumber, d->m_VersionRecord + sizeof d->m_VersionRecord);
    const auto after = [&](const std::string& tail) {
        std::memcpy(d->m_VersionRecord, tail.data(), 12);
        std::memcpy(d->m_SerialNumber, tail.data() + 12, 20);
    };
    after(std::string(32, '9'));
    // A key at 69 is found, but only three of its value characters lie in the field.
    EXPECT_EQ(Parse(d, std::string(69, ' ') + "UVC_FX3=010203"), (Versions{10000, 0, 0}));
    // A chained step that runs past the field's end.
    EXPECT_EQ(Parse(d, std::string(56, ' ') + "UVC_FX3=010203UVC_ISP=0C"), (Versions{10203, 0x0C0000, 0}));
    // A chained key that would begin at the field's end.
    after("UVC_ISP=999999UVC_AUD=0000FF9999");
    EXPECT_EQ(Parse(d, std::string(66, ' ') + "UVC_FX3=010203"), (Versions{10203, 0, 0}));
    // A chained key cut by the field's end.
    after("ISP=999999UVC_AUD=0000FF99999999");
    EXPECT_EQ(Parse(d, std::string(62, ' ') + "UVC_FX3=010203UVC_"), (Versions{10203, 0, 0}));
}

TEST_F(FileLoader, LongShortAndEmptyVersionFiles) {
    // Longer than the field: the first 80 bytes are kept and the trace stops there.
    std::memset(d->m_VersionRecord, 0x77, sizeof d->m_VersionRecord);
    std::string longText = TypicalVersionText() + std::string(60, 'x');
    rig.WriteFile("long.txt", Bytes(longText.begin(), longText.end()));
    hosted::Trace::Clear();
    LoadFile(d, rig.PathOf("long.txt").c_str(), FileTypeVersion);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(d->m_VersionText), 80), longText.substr(0, 80));
    EXPECT_EQ(d->m_VersionRecord[0], 0x77);
    EXPECT_EQ(rig.EngineTrace().back(), "Filer version : " + longText.substr(0, 80) + " ");

    // Shorter files overwrite only their own bytes; the trace of fewer than
    // four bytes repeats the start of the buffer (pad bytes read 0xFF).
    rig.WriteFile("two.txt", Bytes{'A', 'B'});
    hosted::Trace::Clear();
    LoadFile(d, rig.PathOf("two.txt").c_str(), FileTypeVersion);
    EXPECT_EQ(rig.EngineTrace()[3], "file 0x41, 0x42, 0xff, 0xff, end 0x41, 0x42, 0xff, 0xff \n");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(d->m_VersionText), 4), "ABC_");

    rig.WriteFile("empty.txt", Bytes{});
    hosted::Trace::Clear();
    EXPECT_EQ(LoadFile(d, rig.PathOf("empty.txt").c_str(), FileTypeVersion), 1);
    EXPECT_EQ(d->m_ulFileSize, 0u);
    EXPECT_EQ(rig.EngineTrace()[3], "file 0xff, 0xff, 0xff, 0xff, end 0xff, 0xff, 0xff, 0xff \n");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(d->m_VersionText), 4), "ABC_");

    // An empty firmware file is refused before anything is sent.
    EXPECT_EQ(LoadFile(d, rig.PathOf("empty.txt").c_str(), FileTypeIsp), 1);
    EXPECT_TRUE(rig.Vendor().empty());
}

TEST_F(FileLoader, ShortReadLeavesPadBytes) {
    rig.Install({.versionText = TypicalVersionText()});
    hosted::Files::ShortReads(Ws(rig.PathOf("version.txt")), 10);
    LoadFile(d, rig.PathOf("version.txt").c_str(), FileTypeVersion);
    EXPECT_EQ(d->m_ulFileSize, 48u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(d->m_VersionText), 10), "UVC_FX3=01");
    for (size_t i = 10; i < 48; ++i) EXPECT_EQ(d->m_VersionText[i], 0xFF) << i;
    // The version file's buffer is not kept: only USB_INFO stays allocated.
    EXPECT_EQ(d->m_pFileBuffer, nullptr);
    EXPECT_EQ(hosted::Pool::LiveCount(TagHarn), 1u);
}

// A failed read loads nothing: the 0xFF pad must never pass for the file
// (a flash would be written with it), and nothing stays allocated.
TEST_F(FileLoader, FailedReadLoadsNothing) {
    rig.Install({.versionText = TypicalVersionText()});
    rig.WriteFile("isp.bin", orvex::firmware::MakeIspImage({.size = 9000, .text = "12.34.56"}));
    const size_t live = hosted::Pool::LiveCount(TagHarn);
    for (const char* name : {"isp.bin", "version.txt"}) {
        std::memset(d->m_VersionText, 0x5A, sizeof d->m_VersionText);
        hosted::Files::FailRead(Ws(rig.PathOf(name)), STATUS_DEVICE_DATA_ERROR, 1);
        hosted::Trace::Clear();
        EXPECT_EQ(LoadFile(d, rig.PathOf(name).c_str(), name[0] == 'i' ? FileTypeIsp : FileTypeVersion),
                  STATUS_UNSUCCESSFUL) << name;
        EXPECT_EQ(rig.EngineTrace().back(), "Read file fail, status = 0xc000009c\n") << name;
        EXPECT_EQ(d->m_pFileBuffer, nullptr);
        EXPECT_EQ(hosted::Pool::LiveCount(TagHarn), live) << name;
        EXPECT_EQ(d->m_VersionText[0], 0x5A) << name;
        EXPECT_EQ(hosted::Files::OpenHandles(), 0u);
    }
    EXPECT_TRUE(rig.Vendor().empty());
}

TEST_F(FileLoader, PathsThatCannotBeOpened) {
    const ULONG before = d->m_ulFileSize = 1234;
    hosted::Trace::Clear();
    EXPECT_EQ(LoadFile(d, nullptr, FileTypeIsp), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(LoadFile(d, rig.PathOf("absent.bin").c_str(), FileTypeIsp), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(rig.EngineTrace(),
              (std::vector<std::string>{"Create file fail, status = 0xc0000033\n",
                                        "GetDownloadFile( \"\\??\\C:\\fw\\absent.bin\" )\n",
                                        "Create file fail, status = 0xc0000034\n"}));
    EXPECT_EQ(d->m_ulFileSize, before);

    // 507 characters fit the NT path buffer; 508 do not and nothing is opened.
    std::string rel = "C:\\fw";
    std::filesystem::path host = rig.dir / "fw";
    while (rel.size() < 507 - 120) {
        rel += "\\" + std::string(100, 'd');
        host /= std::string(100, 'd');
    }
    std::filesystem::create_directories(host);
    const std::string name(507 - rel.size() - 1, 'f');
    std::ofstream(host / name) << "UVC_FX3=000042";
    const std::string path507 = rel + "\\" + name;
    ASSERT_EQ(path507.size(), 507u);
    EXPECT_EQ(LoadFile(d, UpdateRig::Wide(path507).c_str(), FileTypeVersion), 1);
    ParseVersionText(d);
    EXPECT_EQ(d->m_ulFx3FileVersion, 42u);

    hosted::Trace::Clear();
    const std::u16string path508 = UpdateRig::Wide(path507 + "x");
    EXPECT_EQ(LoadFile(d, path508.c_str(), FileTypeVersion), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(rig.EngineTrace(), (std::vector<std::string>{"Create file fail, status = 0xc0000106\n"}));
    const std::u16string huge(100000, u'a');
    EXPECT_EQ(LoadFile(d, huge.c_str(), FileTypeVersion), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(hosted::Files::OpenHandles(), 0u);
}

TEST_F(FileLoader, AllocationFailures) {
    rig.Install({.versionText = TypicalVersionText()});
    const std::string nt = Ws(rig.PathOf("version.txt"));
    // The counted name: nothing is opened.
    hosted::Pool::FailTag(TagHarn, 1);
    hosted::Trace::Clear();
    EXPECT_EQ(LoadFile(d, rig.PathOf("version.txt").c_str(), FileTypeVersion), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(rig.EngineTrace().back(), "Create file fail, status = 0xc000009a\n");
    EXPECT_EQ(hosted::Files::OpenCount(nt), 0u);

    // The file buffer: the handle is closed, no line, nothing handed on.
    hosted::Pool::ClearFailures();
    hosted::Pool::FailTag(TagHarn, 2);
    hosted::Trace::Clear();
    EXPECT_EQ(LoadFile(d, rig.PathOf("version.txt").c_str(), FileTypeVersion), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(rig.EngineTrace().size(), 1u);
    EXPECT_EQ(hosted::Files::OpenCount(nt), 1u);
    EXPECT_EQ(hosted::Files::OpenHandles(), 0u);
    EXPECT_EQ(d->m_VersionText[0], 0);
    hosted::Pool::ClearFailures();
}

TEST_F(FileLoader, FilesTooLargeForThirtyTwoBits) {
    const auto make = [&](const char* name, uintmax_t size) {
        std::ofstream(rig.dir / "fw" / name).close();
        std::filesystem::resize_file(rig.dir / "fw" / name, size);  // sparse
        return rig.PathOf(name);
    };
    d->m_ulFileSize = 7;
    hosted::Trace::Clear();
    EXPECT_EQ(LoadFile(d, make("limit.bin", 0xFFFFF000u).c_str(), FileTypeIsp), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(LoadFile(d, make("wrap.bin", 0x10000000Au).c_str(), FileTypeIsp), STATUS_UNSUCCESSFUL);
    const auto lines = rig.EngineTrace();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[1], "File too large, high 0x0, low 0xfffff000 \n");
    EXPECT_EQ(lines[3], "File too large, high 0x1, low 0xa \n");
    EXPECT_EQ(d->m_ulFileSize, 7u);
    EXPECT_EQ(hosted::Files::OpenHandles(), 0u);
    EXPECT_TRUE(rig.Vendor().empty());

    // One byte below the limit is taken; its buffer (size + 4096) is refused here.
    hosted::Pool::FailTag(TagHarn, 2);
    EXPECT_EQ(LoadFile(d, make("below.bin", 0xFFFFEFFFu).c_str(), FileTypeIsp), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(d->m_ulFileSize, 0xFFFFEFFFu);
    hosted::Pool::ClearFailures();
}
