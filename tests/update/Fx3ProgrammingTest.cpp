// The FX3 branch: the image check, the EEPROM reads and page writes on the
// wire, the serial carry-over and what the camera's EEPROM holds afterwards.
#include <gtest/gtest.h>

#include "UpdateRig.h"

using namespace orvex::test;
using namespace orvex::firmware;
using hosted::usb::FaultKind;
using hosted::usb::FaultSpec;

namespace {

Packet ReadSetup(uint8_t page) { return {0xC0, 0xB3, page, 0x00, 0x55, 0xAA, 0x00, 0x04}; }
Packet WriteSetup(uint8_t page) { return {0x40, 0xB2, page, 0x00, 0x55, 0xAA, 0x00, 0x01}; }

Bytes Page(const Bytes& image, size_t offset) {
    Bytes p(256, 0xFF);
    for (size_t i = 0; i < 256 && offset + i < image.size(); ++i) p[i] = image[offset + i];
    return p;
}

Bytes Prefix(const Bytes& b, size_t n) { return Bytes(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(n)); }

class Fx3Branch : public BranchTest {
protected:
    NTSTATUS Program(const Bytes& image) { return BranchTest::Program(image, FileTypeFx3); }
    BOOLEAN Check(const Bytes& image) {
        rig->Load(image);
        const BOOLEAN ok = CheckFx3Image(d);
        rig->Unload();
        return ok;
    }
};

}  // namespace

TEST_F(Fx3Branch, TwoPagesDifferExactWireAndTrace) {
    const Bytes image = MakeFx3Image({.size = 2500});
    Bytes eeprom = image;
    eeprom[800] ^= 0x01;   // page 3
    eeprom[2400] ^= 0x80;  // page 9
    Camera(eeprom);
    EXPECT_EQ(Program(image), STATUS_SUCCESS);

    const auto wire = rig->Vendor();
    ASSERT_EQ(wire.size(), 5u);
    EXPECT_EQ(Setups(), (std::vector<Packet>{ReadSetup(0), ReadSetup(4), ReadSetup(8), WriteSetup(3), WriteSetup(9)}));
    EXPECT_EQ(wire[3].out, Page(image, 768));
    EXPECT_EQ(wire[4].out, Page(image, 2304));  // 196 image bytes, then 60 of 0xFF
    EXPECT_GE(wire[4].time - wire[3].time, hosted::Milliseconds(1));  // the 1 ms timer wait
    EXPECT_LT(wire[4].time - wire[3].time, hosted::Milliseconds(2));
    EXPECT_EQ(hosted::Clock::TimerResolutionRequests(), 0u);
    Bytes want = image;
    want.resize(2560, 0xFF);
    EXPECT_EQ(Prefix(rig->camera->Eeprom(), 2560), want);
    EXPECT_EQ(d->m_bUpdated, 1u);

    const std::string serial = "(0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x31) \n";
    const auto l = ParseFx3Image(image);
    char checksum[96];
    snprintf(checksum, sizeof checksum, "MCU file checksum (cal = 0x%x, get = 0x%x) \n", l.storedChecksum,
             l.computedChecksum);
    EXPECT_EQ(rig->EngineTrace(),
              (std::vector<std::string>{"FX3 file headere = 0xb01c5943 \n", checksum, "MCU IMG file OK \n",
                                        "Start read EEPROM  \n", "End read EEPROM \n",
                                        "Get the origianl serial number \n",
                                        "Find the current serial number at 0x1c, " + serial,
                                        "Find the File serial number at 0x1c, " + serial, "Compare error at 768",
                                        "Compare error at 2304", "Done compare EEPROM \n"}));
    EXPECT_EQ(hosted::Pool::LiveCount(TagHarn), 1u);  // USB_INFO only
}

TEST_F(Fx3Branch, ShortImagesAndBlankEeprom) {
    // 1000 bytes: one read, four pages; the last one is sent whole with 0xFF.
    const Bytes small = MakeFx3Image({.size = 1000});
    Bytes eeprom = small;
    eeprom[900] ^= 0xFF;
    Camera(eeprom);
    Program(small);
    EXPECT_EQ(Setups(), (std::vector<Packet>{ReadSetup(0), WriteSetup(3)}));
    const Bytes written = rig->Vendor()[1].out;
    EXPECT_EQ(written, Page(small, 768));
    EXPECT_EQ(Bytes(written.end() - 24, written.end()), Bytes(24, 0xFF));

    // Blank EEPROM: no serial found; every page that is not all 0xFF is written.
    Fx3ImageSpec spec;
    spec.sections = {{0x40000000, PseudoRandomBytes(2472, 5)}};
    std::fill(spec.sections[0].data.begin() + 500, spec.sections[0].data.begin() + 756, 0xFF);  // bytes 512..767
    const Bytes holey = BuildFx3Image(spec);
    Camera();
    Program(holey);
    std::vector<Packet> expected{ReadSetup(0), ReadSetup(4), ReadSetup(8)};
    for (uint8_t p : {0, 1, 3, 4, 5, 6, 7, 8, 9}) expected.push_back(WriteSetup(p));
    EXPECT_EQ(Setups(), expected);
    EXPECT_EQ(Prefix(rig->camera->Eeprom(), holey.size()), holey);
    EXPECT_FALSE(hosted::Trace::Contains("serial number at"));
}

TEST_F(Fx3Branch, SerialCarriedOverWithFreshChecksum) {
    const Bytes old = MakeFx3Image({.size = 3000, .version = {1, 0, 0}, .serial = "CAMERA0042", .seed = 9});
    const Bytes image = MakeFx3Image({.size = 2500});
    Camera(old);
    Program(image);
    const Bytes expected = WithSerial(image, "CAMERA0042");
    EXPECT_EQ(Prefix(rig->camera->Eeprom(), expected.size()), expected);
    EXPECT_TRUE(ParseFx3Image(expected).valid);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(d->m_SerialNumber), 20),
              std::string("C\0A\0M\0E\0R\0A\0000\0000\0004\0002\0", 20));
    EXPECT_TRUE(Check(Prefix(rig->camera->Eeprom(), expected.size())));
    char last[64];
    snprintf(last, sizeof last, "The last section, checksum = 0x%x \n", ParseFx3Image(expected).storedChecksum);
    EXPECT_GE(rig->TimeOf("Change the checksum of the modified new FX3 IMG file \n"), 0);
    EXPECT_GE(rig->TimeOf("The 1 section, section length 0x26b \n"), 0);
    EXPECT_GE(rig->TimeOf(last), 0);

    // The old image is longer than the new one: its descriptor counts when it
    // starts before the new image's end and lies in the block read.
    const Bytes shortNew = MakeFx3Image({.size = 1000});
    Camera(MakeFx3Image({.size = 3000, .serial = "CAMERA0077", .seed = 9, .serialOffset = 978}));  // at 990
    Program(shortNew);
    EXPECT_GE(rig->TimeOf("Find the current serial number at 0x3de, (0x43, 0x41, 0x4d, 0x45, 0x52, 0x41, 0x30, "
                          "0x30, 0x37, 0x37) \n"),
              0);
    EXPECT_EQ(Prefix(rig->camera->Eeprom(), 1000), WithSerial(shortNew, "CAMERA0077"));
    // ...but not when it reaches into bytes never read (one block for 1024 bytes).
    const Bytes exactBlock = MakeFx3Image({.size = 1024});
    Camera(MakeFx3Image({.size = 3000, .serial = "CAMERA0077", .seed = 9, .serialOffset = 988}));  // at 1000
    Program(exactBlock);
    EXPECT_FALSE(hosted::Trace::Contains("Find the current serial number"));
    EXPECT_EQ(Prefix(rig->camera->Eeprom(), 1024), exactBlock);
}

TEST_F(Fx3Branch, SerialThatWouldBreakTheImageIsNotCarried) {
    const Bytes old = MakeFx3Image({.size = 3000, .serial = "CAMERA0042", .seed = 9});
    // The descriptor's pattern ends section 1, so its serial characters would
    // be section 2's length and address words.
    Fx3ImageSpec spec;
    Bytes data = PseudoRandomBytes(64, 4);
    const Bytes pattern = Prefix(SerialDescriptor("0000000000"), 8);
    std::copy(pattern.begin(), pattern.end(), data.end() - 8);
    spec.sections = {{0x40000000, data}, {0x40001000, PseudoRandomBytes(400, 5)}};
    const Bytes overlapping = BuildFx3Image(spec);
    Camera(old);
    Program(overlapping);
    EXPECT_TRUE(hosted::Trace::Contains("Serial number overlaps the FX3 IMG layout, keep the file serial number \n"));
    EXPECT_FALSE(hosted::Trace::Contains("Change the checksum"));
    EXPECT_EQ(Prefix(rig->camera->Eeprom(), overlapping.size()), overlapping);

    // A descriptor cut off by the image's end is no serial number: nothing is
    // carried past the image, the last page carries 0xFF after it.
    Fx3ImageSpec cut;
    cut.sections = {{0x40000000, PseudoRandomBytes(300, 6)}};
    cut.trailer = SerialDescriptor("0000000000");
    cut.trailer.resize(18);
    const Bytes truncated = BuildFx3Image(cut);
    Camera(old);
    Program(truncated);
    EXPECT_FALSE(hosted::Trace::Contains("Find the File serial number"));
    Bytes expected = truncated;
    expected.resize(512, 0xFF);
    EXPECT_EQ(Prefix(rig->camera->Eeprom(), 512), expected);
}

TEST_F(Fx3Branch, ImageCheckRefusals) {
    Camera();
    struct Case {
        const char* what;
        Bytes image;
        std::string lastLine;
    };
    const Bytes good = MakeFx3Image({.size = 1000});
    auto with = [&](size_t at, std::initializer_list<uint8_t> bytes) {
        Bytes b = good;
        std::copy(bytes.begin(), bytes.end(), b.begin() + static_cast<std::ptrdiff_t>(at));
        return b;
    };
    Fx3ImageSpec noEnd;
    noEnd.sections = {{0, PseudoRandomBytes(40, 1)}};
    Bytes sectionToEnd = BuildFx3Image(noEnd);
    sectionToEnd.resize(4 + 8 + 40);  // ends right after the data
    Bytes noChecksum = BuildFx3Image(noEnd);
    noChecksum.resize(noChecksum.size() - 4);  // end marker and entry, no checksum word

    const std::vector<Case> cases = {
        {"control 0x4C", with(2, {0x4C}), "FX3 wrong file headere \n"},
        {"type 0xB1", with(3, {0xB1}), "FX3 wrong file headere \n"},
        {"signature", with(0, {0x43, 0x5A}), "FX3 wrong file headere \n"},
        {"tiny", Bytes{0x43}, "FX3 wrong file headere \n"},
        {"0x10001 words", with(4, {0x01, 0x00, 0x01, 0x00}), "MCU file too long \n"},
        {"section to the end", sectionToEnd, "MCU address error (now 0x34, total 0x34)\n"},
        {"huge section", with(4, {0x00, 0x00, 0x01, 0x00}), "MCU address error (now 0x4000c, total 0x3e8)\n"},
        {"checksum word missing", noChecksum, "MCU address error (now 0x40, total 0x3c)\n"},
        {"checksum", with(good.size() - 1, {uint8_t(good.back() ^ 1)}), "MCU IMG file checksum fail \n"},
        {"data changed", with(100, {uint8_t(good[100] + 1)}), "MCU IMG file checksum fail \n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        hosted::Trace::Clear();
        d->m_bUpdated = 0;
        EXPECT_EQ(Program(c.image), STATUS_UNSUCCESSFUL);
        ASSERT_FALSE(rig->EngineTrace().empty());
        EXPECT_EQ(rig->EngineTrace().back(), c.lastLine);
        EXPECT_TRUE(rig->Vendor().empty());
    }
    EXPECT_EQ(d->m_bUpdated, 0u);

    // Limits that pass: a section of exactly 0x10000 words, an image without sections.
    Fx3ImageSpec max;
    max.sections = {{0, PseudoRandomBytes(4 * 0x10000, 3)}};
    EXPECT_TRUE(Check(BuildFx3Image(max)));
    EXPECT_TRUE(Check(BuildFx3Image({})));
    EXPECT_TRUE(Check(MakeFx3Image({.size = 300, .control = 0x3C})));
}

TEST_F(Fx3Branch, ReadFileUlongStaysInTheBuffer) {
    Camera();
    rig->Load(Bytes{1, 2, 3, 4, 5, 6});
    EXPECT_EQ(ReadFileUlong(d, 0), 0x04030201u);
    EXPECT_EQ(ReadFileUlong(d, 4), 0xFFFF0605u);
    EXPECT_EQ(ReadFileUlong(d, 6 + 4092), 0xFFFFFFFFu);  // the pad's last word
    EXPECT_EQ(ReadFileUlong(d, 6 + 4094), 0xFFFFFFFFu);  // half beyond the buffer
    EXPECT_EQ(ReadFileUlong(d, 0xFFFFFFFEu), 0xFFFFFFFFu);
    rig->Unload();
}

TEST_F(Fx3Branch, FailuresAndRemovalMidway) {
    const Bytes image = MakeFx3Image({.size = 2500});
    // No EEPROM buffer: nothing is sent, m_bUpdated stays.
    Camera();
    rig->Load(image);
    hosted::Pool::FailTag(TagHarn, 1);
    EXPECT_EQ(DownloadFirmware(d, FileTypeFx3), STATUS_INSUFFICIENT_RESOURCES);
    hosted::Pool::ClearFailures();
    rig->Unload();
    EXPECT_EQ(rig->EngineTrace().back(), "EEPROM buffer allocation fail \n");
    EXPECT_TRUE(rig->Vendor().empty());
    EXPECT_EQ(d->m_bUpdated, 0u);

    // The device goes away at the third page write: the loop stops at the next
    // differing page, and pages written stay written.
    Camera();
    rig->bus->AddFault(FaultSpec::Vendor(0xB2, FaultKind::DeviceGone, 3));
    EXPECT_EQ(Program(image), STATUS_SUCCESS);
    EXPECT_EQ(Setups(), (std::vector<Packet>{ReadSetup(0), ReadSetup(4), ReadSetup(8), WriteSetup(0), WriteSetup(1),
                                            WriteSetup(2)}));
    EXPECT_EQ(d->IsRemoved(), 1u);
    EXPECT_EQ(d->m_bUpdated, 1u);
    const auto trace = rig->EngineTrace();
    EXPECT_EQ(trace[trace.size() - 2], "Compare error at 768");
    EXPECT_EQ(trace.back(), "Done compare EEPROM \n");
    EXPECT_EQ(Prefix(rig->camera->Eeprom(), 512), Prefix(image, 512));

    // Gone during the reads: no write at all.
    Camera();
    rig->bus->AddFault(FaultSpec::Vendor(0xB3, FaultKind::DeviceGone, 2));
    Program(image);
    EXPECT_EQ(Setups(), (std::vector<Packet>{ReadSetup(0), ReadSetup(4)}));
    EXPECT_EQ(d->m_bUpdated, 0u);

    // Past 16 MiB the page number no longer fits wValue: refused before any request.
    Camera();
    EXPECT_EQ(Program(MakeFx3Image({.size = 0x1000004})), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(rig->EngineTrace().back(), "FX3 file too large for the EEPROM, size 0x1000004 \n");
    EXPECT_TRUE(rig->Vendor().empty());
}
