// The simulated camera on a hand-driven clock: descriptors, the setup-packet
// checks of the vendor command set, EEPROM, versions and the flash timeline.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>

#include "Firmware.h"
#include "Sha256.h"
#include "SimCamera.h"
#include "SimDescriptors.h"

using namespace orvex::sim;
using namespace std::chrono_literals;

namespace {

struct FakeClock {
    std::atomic<int64_t> ns{0};
    Clock fn() {
        return [this] { return Nanos(ns.load()); };
    }
    void Advance(Nanos d) { ns += d.count(); }
};

SetupPacket In(uint8_t req, uint16_t value, uint16_t length) { return {0xC0, req, value, 0xAA55, length}; }
SetupPacket Out(uint8_t req, uint16_t value, uint16_t length) { return {0x40, req, value, 0xAA55, length}; }

class CameraFixture : public ::testing::Test {
protected:
    FakeClock clock;
    std::unique_ptr<Camera> cam;
    std::vector<uint8_t> buf = std::vector<uint8_t>(8192, 0xEE);

    void Make(CameraConfig cfg = {}) { cam = std::make_unique<Camera>(std::move(cfg), clock.fn()); }
    void SetUp() override { Make(); }

    ControlResult Do(const SetupPacket& s) { return cam->Control(s, buf.data()); }
    uint8_t Byte(uint8_t req) {
        auto r = Do(In(req, 0, 1));
        EXPECT_FALSE(r.stalled) << cam->LastStallReason();
        return buf[0];
    }
    std::array<uint8_t, 2> Alive() {
        auto r = Do(In(kReqGetAlive, 0, 2));
        EXPECT_FALSE(r.stalled);
        return {buf[0], buf[1]};
    }
    void StartUpdate() {
        buf[0] = 0xAA;
        buf[1] = 0x55;
        ASSERT_FALSE(Do(Out(kReqStartUpdate, 0, 2)).stalled);
    }
    // Sends a whole image through UVCSet_FILESIZE + UVCWrite_SPI_PAGE.
    void Flash(const std::vector<uint8_t>& image) {
        const uint16_t pages = static_cast<uint16_t>((image.size() + 4095) / 4096);
        ASSERT_FALSE(Do(In(kReqSetFileSize, pages, 1)).stalled) << cam->LastStallReason();
        for (uint16_t p = 0; p < pages; ++p) {
            std::fill(buf.begin(), buf.begin() + 4096, 0xFF);
            const size_t n = std::min<size_t>(4096, image.size() - p * 4096u);
            std::memcpy(buf.data(), image.data() + p * 4096u, n);
            ASSERT_FALSE(Do(Out(kReqWriteSpiPage, 0x1000, 0x1000)).stalled) << cam->LastStallReason();
        }
    }
};

std::vector<uint8_t> IspImage(const char* version, uint32_t w = 100, size_t size = 10000, size_t textAt = 17) {
    std::vector<uint8_t> img(size, 0x11);
    std::memcpy(img.data(), "OISP", 4);
    std::memcpy(img.data() + 28, &w, 4);
    const uint32_t at = w + 832u + static_cast<uint32_t>(textAt);  // 32-bit, as the offset is formed
    if (version) std::memcpy(img.data() + at, version, 8);
    return img;
}

std::vector<uint8_t> AudioImage(uint8_t version, size_t size = 240000) {
    std::vector<uint8_t> img(size, 0x22);
    std::memcpy(img.data(), "OAUD", 4);
    img[kAudioVersionOffset] = version;
    return img;
}

// The 24-bit ISP version of a version record, and its three FX3 bytes.
uint32_t IspOf(const std::array<uint8_t, 12>& rec) { return uint32_t(rec[3] | rec[4] << 8 | rec[5] << 16); }
std::array<uint8_t, 3> Fx3Of(const std::array<uint8_t, 12>& rec) { return {rec[0], rec[1], rec[2]}; }

// Walks a configuration descriptor; returns false when a descriptor is malformed.
bool Walk(const std::vector<uint8_t>& d, std::vector<std::pair<uint8_t, uint8_t>>* interfaces) {
    size_t i = 0;
    while (i < d.size()) {
        if (d[i] < 2 || i + d[i] > d.size()) return false;
        if (d[i + 1] == kDescInterface) interfaces->push_back({d[i + 2], d[i + 3]});
        i += d[i];
    }
    return i == d.size();
}

}  // namespace

// Empty, one block, a message whose padding needs a second block, many blocks.
TEST(Sha256, KnownVectors) {
    const std::pair<std::string, const char*> vectors[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& [text, hex] : vectors)
        EXPECT_EQ(Sha256::Hex({reinterpret_cast<const uint8_t*>(text.data()), text.size()}), hex) << text.size();
}

TEST_F(CameraFixture, StandardDescriptorsDescribeAVideoAndAudioCamera) {
    Make({.vendorId = 0x1234, .productId = 0xABCD});
    auto r = Do({0x80, 0x06, 0x0100, 0, 64});
    ASSERT_FALSE(r.stalled);
    ASSERT_EQ(r.length, 18u);
    EXPECT_EQ(buf[0], 18);
    EXPECT_EQ(buf[8] | buf[9] << 8, 0x1234);
    EXPECT_EQ(buf[10] | buf[11] << 8, 0xABCD);

    const auto cd = cam->ConfigurationDescriptor();
    EXPECT_GT(cd.size(), 521u);
    EXPECT_EQ(cd[2] | cd[3] << 8, static_cast<int>(cd.size()));
    EXPECT_EQ(cd[4], 4);  // bNumInterfaces
    std::vector<std::pair<uint8_t, uint8_t>> ifs;
    ASSERT_TRUE(Walk(cd, &ifs));
    const std::vector<std::pair<uint8_t, uint8_t>> expected{{0, 0}, {1, 0}, {1, 1}, {1, 2}, {1, 3}, {2, 0}, {3, 0}, {3, 1}};
    EXPECT_EQ(ifs, expected);

    // A short read returns the first wLength bytes; the whole read all of them.
    r = Do({0x80, 0x06, 0x0200, 0, 9});
    EXPECT_EQ(r.length, 9u);
    r = Do({0x80, 0x06, 0x0200, 0, 4096});
    EXPECT_EQ(r.length, cd.size());
    EXPECT_TRUE(std::equal(cd.begin(), cd.end(), buf.begin()));

    EXPECT_TRUE(Do({0x80, 0x06, 0x0600, 0, 10}).stalled);  // no qualifier descriptor
    EXPECT_FALSE(Do({0x00, 0x09, 1, 0, 0}).stalled);
    EXPECT_EQ(cam->Configuration(), 1);
    EXPECT_TRUE(Do({0x00, 0x09, 2, 0, 0}).stalled);
    EXPECT_FALSE(Do({0x01, 0x0B, 3, 1, 0}).stalled);  // interface 1 alt 3 exists
    EXPECT_TRUE(Do({0x01, 0x0B, 4, 1, 0}).stalled);
    EXPECT_FALSE(Do({0x00, 0x09, 0, 0, 0}).stalled);
    EXPECT_EQ(cam->Configuration(), 0);
}

TEST(ConfigBuilder, CountsInterfacesAndAllowsOverrides) {
    auto d = ConfigBuilder().Interface(0, 0, 1, 0xFF, 0, 0).Endpoint(0x81, 2, 512, 0).Interface(2, 0, 0, 0xFF, 0, 0)
                 .Interface(2, 1, 0, 0xFF, 0, 0).Build();
    EXPECT_EQ(d[4], 2);
    EXPECT_EQ(d[2] | d[3] << 8, 9 + 9 + 7 + 9 + 9);
    auto e = ConfigBuilder().Interface(0, 0, 0, 0xFF, 0, 0).NumInterfaces(5).Build();
    EXPECT_EQ(e[4], 5);
}

// Every vendor request in its right shape is answered; any change of
// bmRequestType, wIndex, a fixed wValue or wLength is stalled.
TEST_F(CameraFixture, VendorRequestsAreCheckedField_by_field) {
    struct Shape { uint8_t req; bool in; uint16_t value; uint16_t length; bool valueFixed; };
    const Shape shapes[] = {
        {0xB0, true, 0, 12, true},   {0xB1, false, 0, 2, true},  {0xB2, false, 3, 256, false},
        {0xB3, true, 4, 1024, false}, {0xB4, true, 0, 1, true},   {0xB5, true, 3, 1, false},
        {0xB6, false, 0x1000, 0x1000, true}, {0xB7, true, 0, 1, true}, {0xB8, true, 0, 1, true},
        {0xB9, true, 0, 2, true},    {0xBA, true, 0, 2, true},   {0xBB, true, 0, 2, true},
    };
    for (const auto& sh : shapes) {
        SCOPED_TRACE(testing::Message() << "bRequest 0x" << std::hex << int(sh.req));
        const SetupPacket good{static_cast<uint8_t>(sh.in ? 0xC0 : 0x40), sh.req, sh.value, 0xAA55, sh.length};
        auto with = [&](auto change) {
            SetupPacket bad = good;
            change(bad);
            return bad;
        };
        EXPECT_TRUE(Do(with([](SetupPacket& b) { b.bmRequestType ^= 0x80; })).stalled) << "wrong direction";
        EXPECT_TRUE(Do(with([](SetupPacket& b) { b.bmRequestType |= 0x01; })).stalled) << "interface recipient";
        EXPECT_TRUE(Do(with([](SetupPacket& b) { b.wIndex = 0x55AA; })).stalled);
        EXPECT_TRUE(Do(with([](SetupPacket& b) { b.wLength = 0; })).stalled);
        // An EEPROM read may ask for any length; it ends at the EEPROM's end.
        if (sh.req != 0xB3) EXPECT_TRUE(Do(with([](SetupPacket& b) { ++b.wLength; })).stalled);
        if (sh.valueFixed) EXPECT_TRUE(Do(with([](SetupPacket& b) { ++b.wValue; })).stalled);
        // The well-formed request, in a state where it is allowed.
        StartUpdate();
        if (sh.req == 0xB6) ASSERT_FALSE(Do(In(0xB5, 2, 1)).stalled);
        buf[0] = 0xAA;
        buf[1] = 0x55;
        auto r = Do(good);
        EXPECT_FALSE(r.stalled) << cam->LastStallReason();
        EXPECT_EQ(r.length, sh.length);
    }
    EXPECT_TRUE(Do(In(0xBC, 0, 1)).stalled);
    EXPECT_TRUE(Do(In(0xAF, 0, 1)).stalled);
    EXPECT_TRUE(Do({0xA1, 0x01, 0x0100, 0x0001, 2}).stalled);  // class request
}

TEST_F(CameraFixture, VersionRecordAndIspResetAndFx3Marker) {
    CameraConfig cfg{
        .fx3Version = {2, 15, 7}, .ispVersion = 0x302010, .audioVersion = 5, .audioVersionHigh = {1, 0}, .ispNeedsReset = true};
    Make(cfg);
    ASSERT_FALSE(Do(In(kReqGetVersion, 0, 12)).stalled);
    EXPECT_EQ(std::vector<uint8_t>(buf.begin(), buf.begin() + 12),
              (std::vector<uint8_t>{2, 15, 7, 0xFF, 0xFF, 0xFF, 5, 1, 0, 0, 0xAA, 0x55}));
    ASSERT_FALSE(Do(In(kReqResetIsp, 0, 2)).stalled);
    EXPECT_EQ(IspOf(cam->VersionRecord()), 0x302010u);

    // The FX3 version follows the EEPROM's marker, but only after a reset.
    StartUpdate();
    std::vector<uint8_t> page(256, 0xFF);
    std::memcpy(page.data() + 40, "FX3VER:\x03\x04\x05", 10);
    std::memcpy(buf.data(), page.data(), 256);
    ASSERT_FALSE(Do(Out(kReqWriteEeprom, 7, 256)).stalled);
    EXPECT_EQ(cam->VersionRecord()[0], 2);
    ASSERT_FALSE(Do(In(kReqResetId, 0, 1)).stalled);
    EXPECT_EQ(Fx3Of(cam->VersionRecord()), (std::array<uint8_t, 3>{3, 4, 5}));
    EXPECT_FALSE(cam->InUpdateMode());
    EXPECT_EQ(cam->Stats().resets, 1u);

    cfg.versionRecordOverride = std::array<uint8_t, 12>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0x00, 0x55};
    Make(cfg);
    Do(In(kReqGetVersion, 0, 12));
    EXPECT_EQ(buf[10], 0x00);
}

// A boot image whose write was cut short (its checksum no longer matches, or
// a section runs past the EEPROM) is not booted: the bridge reports its own
// fx3Version, whatever marker the torn image holds, so the host rewrites it.
TEST_F(CameraFixture, TornBootImageIsNotBooted) {
    auto put = [](std::vector<uint8_t>& b, size_t at, uint32_t w) {
        for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(w >> (8 * i));
    };
    // One section of 4 words holding the marker; end marker, entry, checksum.
    auto data = orvex::firmware::Fx3VersionMarker({3, 4, 5});
    data.resize(16, 0);
    const auto image = orvex::firmware::BuildFx3Image({.sections = {{0x40000000, data}}});
    struct Case {
        const char* what;
        std::function<void(std::vector<uint8_t>&)> damage;
        std::array<uint8_t, 3> reported;
    } cases[] = {
        {"whole", [](std::vector<uint8_t>&) {}, {3, 4, 5}},
        {"data word changed", [](std::vector<uint8_t>& b) { b[24] ^= 1; }, {2, 15, 7}},
        {"checksum not yet written", [](std::vector<uint8_t>& b) { b.resize(36); }, {2, 15, 7}},
        {"section runs past the end", [&put](std::vector<uint8_t>& b) { put(b, 4, 0x100); }, {2, 15, 7}},
    };
    for (const auto& c : cases) {
        CameraConfig cfg{.eepromSize = 256, .eepromContent = image, .fx3Version = {2, 15, 7}};
        c.damage(cfg.eepromContent);
        EXPECT_EQ(Camera::BootImageTorn(cfg.eepromContent), c.reported[0] != 3) << c.what;
        Make(cfg);
        EXPECT_EQ(Fx3Of(cam->VersionRecord()), c.reported) << c.what;
    }
    // Content without the boot header keeps the marker rule.
    std::vector<uint8_t> plain(64, 0xFF);
    std::memcpy(plain.data() + 5, "FX3VER:\x01\x02\x03", 10);
    EXPECT_FALSE(Camera::BootImageTorn(plain));
}

TEST_F(CameraFixture, EepromWritesNeedUpdateModeAndStayInBounds) {
    Make({.eepromSize = 4096, .eepromContent = {1, 2, 3}});
    ASSERT_FALSE(Do(In(kReqReadEeprom, 0, 1024)).stalled);
    EXPECT_EQ(buf[0], 1);
    EXPECT_EQ(buf[2], 3);
    EXPECT_EQ(buf[3], 0xFF);

    for (int i = 0; i < 256; ++i) buf[i] = static_cast<uint8_t>(i);
    EXPECT_TRUE(Do(Out(kReqWriteEeprom, 2, 256)).stalled);  // not in update mode
    StartUpdate();
    for (int i = 0; i < 256; ++i) buf[i] = static_cast<uint8_t>(i);
    ASSERT_FALSE(Do(Out(kReqWriteEeprom, 2, 256)).stalled);
    EXPECT_TRUE(Do(Out(kReqWriteEeprom, 16, 256)).stalled);  // past the end
    const auto e = cam->Eeprom();
    for (int i = 0; i < 256; ++i) ASSERT_EQ(e[512 + i], i);
    EXPECT_EQ(e[511], 0xFF);
    EXPECT_EQ(e[768], 0xFF);

    auto r = Do(In(kReqReadEeprom, 15, 1024));  // runs past the end: short
    EXPECT_FALSE(r.stalled);
    EXPECT_EQ(r.length, 256u);
    EXPECT_TRUE(Do(In(kReqReadEeprom, 16, 1024)).stalled);
    const auto st = cam->Stats();
    EXPECT_EQ(st.eepromPagesWritten, 1u);
    EXPECT_EQ(st.eepromSha256, Sha256::Hex(e));
}

// The whole life of an ISP download on the clock: readiness, pages, five
// seconds alive, ten seconds of reboot, further zero polls, then status and
// the new version.
TEST_F(CameraFixture, IspFlashTimeline) {
    Make({.eraseTime = 500ms, .zeroPollsAfterReboot = 2, .ispStatusValue = 3});
    const auto image = IspImage("12.34.56");

    EXPECT_TRUE(Do(In(kReqSetFileSize, 3, 1)).stalled);  // not in update mode
    StartUpdate();
    ASSERT_FALSE(Do(In(kReqSetFileSize, 3, 1)).stalled);
    EXPECT_EQ(buf[0], 0xA0);
    EXPECT_EQ(Byte(kReqGetStatus), 0xA0);
    EXPECT_EQ(cam->Phase(), FirmwarePhase::Erasing);
    EXPECT_TRUE(Do(Out(kReqWriteSpiPage, 0x1000, 0x1000)).stalled);  // still erasing
    clock.Advance(500ms);
    EXPECT_EQ(Byte(kReqGetStatus), 0xA1);

    for (int p = 0; p < 3; ++p) {
        EXPECT_EQ(Byte(kReqGetFwStatus), 0);
        std::fill(buf.begin(), buf.begin() + 4096, 0xFF);
        std::memcpy(buf.data(), image.data() + p * 4096, std::min<size_t>(4096, image.size() - p * 4096));
        ASSERT_FALSE(Do(Out(kReqWriteSpiPage, 0x1000, 0x1000)).stalled);
    }
    EXPECT_TRUE(Do(Out(kReqWriteSpiPage, 0x1000, 0x1000)).stalled);  // no session open any more
    EXPECT_EQ(cam->Phase(), FirmwarePhase::Alive);

    clock.Advance(4999ms);
    EXPECT_EQ(Alive(), (std::array<uint8_t, 2>{0xAA, 0x55}));
    EXPECT_EQ(Byte(kReqGetFwStatus), 0);
    EXPECT_EQ(cam->VersionRecord()[5], 0x01);  // still the old ISP version
    EXPECT_TRUE(Do(In(kReqSetFileSize, 1, 1)).stalled);  // busy restarting
    EXPECT_EQ(Byte(kReqGetStatus), 0xA0);
    clock.Advance(1ms);
    EXPECT_EQ(Alive(), (std::array<uint8_t, 2>{0x00, 0x00}));
    EXPECT_EQ(Byte(kReqGetFwStatus), 0);
    clock.Advance(9999ms);
    EXPECT_EQ(Alive(), (std::array<uint8_t, 2>{0x00, 0x00}));
    clock.Advance(1ms);
    EXPECT_EQ(Alive(), (std::array<uint8_t, 2>{0xAA, 0x55}));
    EXPECT_EQ(Byte(kReqGetStatus), 0xA1);
    EXPECT_EQ(Byte(kReqGetFwStatus), 0);
    EXPECT_EQ(Byte(kReqGetFwStatus), 0);
    EXPECT_EQ(Byte(kReqGetFwStatus), 3);
    EXPECT_EQ(Byte(kReqGetFwStatus), 3);

    EXPECT_EQ(IspOf(cam->VersionRecord()), 0x0C2238u);
    const auto st = cam->Stats();
    EXPECT_EQ(st.ispPagesWritten, 3u);
    EXPECT_EQ(st.ispImagesFlashed, 1u);
    auto padded = image;
    padded.resize(3 * 4096, 0xFF);
    EXPECT_EQ(cam->FlashContent(Flash::Isp), padded);
    EXPECT_EQ(st.ispSha256, Sha256::Hex(padded));
    EXPECT_TRUE(cam->FlashContent(Flash::Audio).empty());
}

TEST_F(CameraFixture, AudioImageRejectedImageAndInterruptedSession) {
    Make({.audioStatusValue = 7, .rejectStatusValue = 9});
    StartUpdate();

    // Neither marker, no version text, too short for an audio image:
    // nothing stored, the error value at once, no reboot.
    auto junk = IspImage(nullptr);
    std::memcpy(junk.data(), "OIS?", 4);
    Flash(junk);
    EXPECT_EQ(Byte(kReqGetFwStatus), 9);
    EXPECT_EQ(Alive(), (std::array<uint8_t, 2>{0xAA, 0x55}));
    EXPECT_TRUE(cam->FlashContent(Flash::Isp).empty());
    EXPECT_EQ(cam->Stats().imagesRejected, 1u);

    // A session cut short by a new announcement stores nothing.
    ASSERT_FALSE(Do(In(kReqSetFileSize, 5, 1)).stalled);
    ASSERT_FALSE(Do(Out(kReqWriteSpiPage, 0x1000, 0x1000)).stalled);
    const auto audio = AudioImage(0x42);
    Flash(audio);
    EXPECT_EQ(cam->Stats().audioPagesWritten, 59u);  // only the complete image
    clock.Advance(15s);
    EXPECT_EQ(Byte(kReqGetFwStatus), 7);
    EXPECT_EQ(cam->VersionRecord()[6], 0x42);
    EXPECT_EQ(cam->VersionRecord()[3], 0x00);  // ISP version untouched

    // The decision is by content: an ISP image sent "as audio" lands in the ISP flash.
    Flash(IspImage("02.00.01"));
    clock.Advance(15s);
    EXPECT_EQ(cam->VersionRecord()[5], 2);
    EXPECT_EQ(cam->Stats().ispImagesFlashed, 1u);
}

TEST(CameraDecode, IspVersionWindowAndFx3Marker) {
    EXPECT_EQ(Camera::DecodeIspVersion(IspImage("12.34.56")), 0x0C2238u);
    EXPECT_EQ(Camera::DecodeIspVersion(IspImage("12.34.5x")), std::nullopt);
    EXPECT_EQ(Camera::DecodeIspVersion(IspImage("99.00.01", 100, 10000, 0)), 0x630001u);
    EXPECT_EQ(Camera::DecodeIspVersion(IspImage("01.01.01", 100, 10000, 255)), 0x010101u);
    EXPECT_EQ(Camera::DecodeIspVersion(IspImage("01.01.01", 100, 10000, 256)), std::nullopt);  // outside the window
    // W + 832 is formed in 32 bits and may wrap around to a small offset.
    EXPECT_EQ(Camera::DecodeIspVersion(IspImage("03.02.01", 0xFFFFFFF0u)), 0x030201u);
    EXPECT_EQ(Camera::DecodeIspVersion(IspImage(nullptr, 20000)), std::nullopt);  // window starts past the end
    // The window may run past the image: bytes there read as 0xFF.
    auto img = IspImage(nullptr, 100, 100 + 832 + 6);
    EXPECT_EQ(Camera::DecodeIspVersion(img), std::nullopt);

    std::vector<uint8_t> e(64, 0xFF);
    EXPECT_EQ(Camera::FindFx3Version(e), std::nullopt);
    std::memcpy(e.data() + 5, "FX3VER:\x01\x02\x03", 10);
    std::memcpy(e.data() + 30, "FX3VER:\x07\x08\x09", 10);
    EXPECT_EQ(Camera::FindFx3Version(e), (std::array<uint8_t, 3>{1, 2, 3}));
    std::vector<uint8_t> cut(e.begin() + 30, e.begin() + 38);  // marker without its three bytes
    EXPECT_EQ(Camera::FindFx3Version(cut), std::nullopt);
}

TEST_F(CameraFixture, StatusOverrideAndUpdateModeExit) {
    Make({.statusOverride = 0xA0});
    buf[0] = 0xAA;
    buf[1] = 0x56;
    EXPECT_TRUE(Do(Out(kReqStartUpdate, 0, 2)).stalled);  // wrong data stage
    StartUpdate();
    EXPECT_EQ(Byte(kReqGetStatus), 0xA0);
    ASSERT_FALSE(Do(In(kReqExitUpdate, 0, 2)).stalled);
    EXPECT_FALSE(cam->InUpdateMode());
    EXPECT_EQ(cam->Stats().updateModeExits, 1u);
}

// Images without our builders' markers, as real files come: routed by what
// the driver itself reads from them, or by download order when asked to.
TEST_F(CameraFixture, RealImagesAreRoutedByContentOrByDownloadOrder) {
    auto plainIsp = IspImage("03.02.01", 100, 300000);  // large enough to pass for audio too
    std::memcpy(plainIsp.data(), "\x7F" "ELF", 4);
    auto plainAudio = AudioImage(0x33);
    std::memcpy(plainAudio.data(), "RIFF", 4);
    std::vector<uint8_t> tooSmall(200000, 0x22);  // ends before the audio version byte
    std::memcpy(tooSmall.data(), "RIFF", 4);

    struct Case {
        const char* name;
        CameraConfig::Routing routing;
        std::vector<orvex::sim::Flash> order;
        std::vector<const std::vector<uint8_t>*> images;
        uint32_t isp, audio, rejected;
        uint32_t ispVersion;
        uint8_t audioVersion;
    };
    const Case cases[] = {
        {"content", CameraConfig::Routing::Content, {}, {&plainIsp, &plainAudio}, 1, 1, 0, 0x030201, 0x33},
        {"content, audio first", CameraConfig::Routing::Content, {}, {&plainAudio, &plainIsp}, 1, 1, 0, 0x030201,
         0x33},
        {"content, neither rule", CameraConfig::Routing::Content, {}, {&tooSmall}, 0, 0, 1, 0x010000, 0x01},
        // By order the knob wins even over the content: the first image goes
        // to the audio flash and takes its byte at 229920 as the version.
        {"order audio only", CameraConfig::Routing::Order, {orvex::sim::Flash::Audio}, {&plainIsp}, 0, 1, 0, 0x010000,
         plainIsp[kAudioVersionOffset]},
        {"order past the list", CameraConfig::Routing::Order, {orvex::sim::Flash::Isp}, {&plainIsp, &plainIsp}, 1, 0, 1,
         0x030201, 0x01},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Make({.routing = c.routing, .downloadOrder = c.order});
        StartUpdate();
        for (const auto* image : c.images) {
            Flash(*image);
            clock.Advance(15s);
        }
        const auto st = cam->Stats();
        EXPECT_EQ(st.ispImagesFlashed, c.isp);
        EXPECT_EQ(st.audioImagesFlashed, c.audio);
        EXPECT_EQ(st.imagesRejected, c.rejected);
        const auto rec = cam->VersionRecord();
        EXPECT_EQ(IspOf(rec), c.ispVersion);
        EXPECT_EQ(rec[6], c.audioVersion);
    }
}

TEST_F(CameraFixture, DownloadOrderStartsOverWithEachUpdate) {
    Make({.routing = CameraConfig::Routing::Order, .downloadOrder = {orvex::sim::Flash::Audio}});
    const auto image = AudioImage(0x21);
    StartUpdate();
    Flash(image);
    clock.Advance(15s);
    buf[0] = 0xAA;
    ASSERT_FALSE(Do(In(kReqExitUpdate, 0, 2)).stalled);
    StartUpdate();
    Flash(image);
    EXPECT_EQ(cam->Stats().audioImagesFlashed, 2u);
    EXPECT_EQ(cam->Stats().imagesRejected, 0u);
}

// Re-enumeration after UVCReset_ID, with a hand-made bus: the link plugs and
// unplugs the camera as a bus port would, the timer only records requests.
class ReenumFixture : public CameraFixture {
protected:
    std::vector<Nanos> requests;
    int unplugs = 0, replugs = 0;

    void MakeLinked(CameraConfig cfg) {
        Make(std::move(cfg));
        cam->SetTimer([this](Nanos d) { requests.push_back(d); });
        cam->LinkToBus([this](bool connect) {
            if (connect) {
                ++replugs;
                cam->AttachToPort(nullptr);
            } else {
                ++unplugs;
                cam->DetachFromPort();
            }
        });
        cam->AttachToPort(nullptr);
    }
    void Reset() { ASSERT_FALSE(Do(In(kReqResetId, 0, 1)).stalled); }
    // Advances to `at` from the reset and fires the timer.
    void At(Nanos at, Nanos resetTime) {
        clock.ns = (resetTime + at).count();
        cam->Tick();
    }
};

TEST_F(ReenumFixture, LeavesAfterTheResetAndReturnsRunningTheNewFirmware) {
    MakeLinked({.ispNeedsReset = true, .reenumerateAfterReset = true});
    ASSERT_FALSE(Do(In(kReqResetIsp, 0, 2)).stalled);
    ASSERT_FALSE(Do({0x00, 0x09, 1, 0, 0}).stalled);  // SET_CONFIGURATION 1
    StartUpdate();
    Flash(IspImage("04.05.06"));
    // Reset while the ISP still restarts: the new image is what it boots.
    const Nanos t0(clock.ns.load());
    Reset();
    EXPECT_EQ(requests, (std::vector<Nanos>{10ms, 3010ms}));
    EXPECT_TRUE(cam->Reenumerating());

    At(9ms, t0);
    EXPECT_TRUE(cam->Plugged()) << "a tick before it is due changes nothing";
    At(10ms, t0);
    EXPECT_FALSE(cam->Plugged());
    EXPECT_EQ(unplugs, 1);
    At(3009ms, t0);
    EXPECT_FALSE(cam->Plugged());
    At(3010ms, t0);
    EXPECT_TRUE(cam->Plugged());
    EXPECT_EQ(replugs, 1);
    EXPECT_FALSE(cam->Reenumerating());

    EXPECT_EQ(IspOf(cam->VersionRecord()), 0xFFFFFFu) << "a fresh ISP waits for its reset again";
    ASSERT_FALSE(Do(In(kReqResetIsp, 0, 2)).stalled);
    EXPECT_EQ(IspOf(cam->VersionRecord()), 0x040506u);
    EXPECT_EQ(cam->Configuration(), 0) << "unconfigured after enumeration";
    EXPECT_FALSE(cam->InUpdateMode());
    EXPECT_EQ(cam->Phase(), FirmwarePhase::Idle);
    EXPECT_EQ(Byte(kReqGetFwStatus), 0);
    const auto st = cam->Stats();
    EXPECT_EQ(st.disconnects, 1u);
    EXPECT_EQ(st.reconnects, 1u);
    EXPECT_EQ(st.powerUps, 2u);

    // Stale timer requests find nothing due.
    At(4000ms, t0);
    EXPECT_EQ(unplugs, 1);
    EXPECT_EQ(replugs, 1);
}

TEST_F(ReenumFixture, HandsOnThePlugWinOverTheCamerasOwnReturn) {
    CameraConfig cfg{.reenumerateAfterReset = true, .reenumerateTime = 500ms};

    // Pulled out before it drops off: without power it never comes back.
    MakeLinked(cfg);
    Nanos t0(clock.ns.load());
    Reset();
    cam->DetachFromPort();
    At(10ms, t0);
    At(510ms, t0);
    EXPECT_FALSE(cam->Plugged());
    EXPECT_EQ(replugs, 0);
    EXPECT_FALSE(cam->Reenumerating());

    // Plugged back by hand while away: its own return finds it in already.
    MakeLinked(cfg);
    replugs = unplugs = 0;
    t0 = Nanos(clock.ns.load());
    Reset();
    At(10ms, t0);
    ASSERT_FALSE(cam->Plugged());
    cam->AttachToPort(nullptr);
    At(510ms, t0);
    EXPECT_TRUE(cam->Plugged());
    EXPECT_EQ(replugs, 0);
    EXPECT_EQ(cam->Stats().reconnects, 0u);

    // No bus: the camera stays put; without the knob it never leaves.
    Make(cfg);
    cam->SetTimer([this](Nanos d) { requests.push_back(d); });
    t0 = Nanos(clock.ns.load());
    Reset();
    At(10ms, t0);
    EXPECT_FALSE(cam->Reenumerating());
    requests.clear();
    cfg.reenumerateAfterReset = false;
    MakeLinked(cfg);
    Reset();
    EXPECT_TRUE(requests.empty());
    EXPECT_TRUE(cam->Plugged());
}
