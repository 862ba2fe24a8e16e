// The Wireshark dissector of the camera's command set, run by tshark: on the
// capture of a whole simulated update (names, EEPROM pages, flash page counts,
// readiness, checked against the capture's own bytes) and on hand-written
// captures whose setup packets break the command set's rules, and version
// records decoded field by field.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "TempDirTest.h"
#include "UsbPcap.h"

namespace fs = std::filesystem;
using namespace hosted::usb;

namespace {

using Row = std::vector<std::string>;

// The fields of a line, empty ones included.
Row Split(const std::string& line, char sep) {
    Row out;
    std::istringstream in(line + sep);
    for (std::string field; std::getline(in, field, sep);) out.push_back(field);
    return out;
}

bool HaveTshark() { return std::system("command -v tshark >/dev/null 2>&1") == 0; }

// tshark with the dissector loaded: one row per frame, `fields` in order.
std::vector<Row> Tshark(const fs::path& pcap, const std::vector<std::string>& fields) {
    const fs::path out = pcap.string() + ".txt";
    std::string cmd = "tshark -X lua_script:" + std::string(ORVEX_DISSECTOR) + " -r '" + pcap.string() +
                      "' -T fields -E separator='|'";
    for (const auto& f : fields) cmd += " -e " + f;
    cmd += " > '" + out.string() + "' 2>'" + out.string() + ".err'";
    EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
    std::ifstream in(out);
    std::vector<Row> rows;
    for (std::string line; std::getline(in, line);) rows.push_back(Split(line, '|'));
    std::ifstream err(out.string() + ".err");
    const std::string errors((std::istreambuf_iterator<char>(err)), std::istreambuf_iterator<char>());
    EXPECT_EQ(errors.find("Lua"), std::string::npos) << errors;
    return rows;
}

// The capture's records as written: header fields and data.
struct Record {
    bool fromDevice;
    uint8_t stage;
    std::vector<uint8_t> data;
};

std::vector<Record> ReadRecords(const fs::path& pcap) {
    std::ifstream f(pcap, std::ios::binary);
    std::vector<uint8_t> b((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    auto le32 = [&](size_t at) { return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24; };
    std::vector<Record> out;
    for (size_t at = 24; at + 16 <= b.size();) {
        const size_t len = le32(at + 8), p = at + 16;
        out.push_back({(b[p + 16] & 1) != 0, b[p + 27], {b.begin() + p + 28, b.begin() + p + len}});
        at = p + len;
    }
    return out;
}

unsigned Num(const std::string& s) { return static_cast<unsigned>(std::stoul(s, nullptr, 0)); }

class Dissector : public clitest::TempDirTest {
protected:
    void SetUp() override {
        if (!HaveTshark()) GTEST_SKIP() << "tshark is not installed";
        TempDirTest::SetUp();
    }
};

TEST_F(Dissector, DecodesTheCaptureOfAWholeUpdate) {
    const std::string cmd = std::string("'") + ORVEX_SIM_PATH + "' demo --speed 0 -q --keep '" + (dir_ / "demo").string() +
                            "' >/dev/null 2>&1 </dev/null";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    const fs::path pcap = dir_ / "demo" / "capture.pcap";
    const auto records = ReadRecords(pcap);
    const auto rows = Tshark(pcap, {"orvex.request", "orvex.stage", "orvex.eeprom.page", "orvex.spi.pages",
                                    "orvex.spi.page", "orvex.spi.total", "orvex.ready", "orvex.alive", "orvex.violation"});
    ASSERT_EQ(rows.size(), records.size());

    std::map<unsigned, size_t> seen;
    unsigned announced = 0, pages = 0, eepromReads = 0;
    bool ready = false, alive = false;
    for (size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(testing::Message() << "frame " << i + 1);
        const Row& r = rows[i];
        ASSERT_EQ(r.size(), 9u);
        EXPECT_EQ(r[8], "") << "a clean run breaks no rule";
        const Record& rec = records[i];
        if (!rec.fromDevice) {
            const bool vendor = (rec.data[0] & 0x60) == 0x40;
            ASSERT_EQ(r[0].empty(), !vendor);
            if (!vendor) continue;
            const unsigned request = rec.data[1], value = rec.data[2] | rec.data[3] << 8;
            EXPECT_EQ(Num(r[0]), request);
            EXPECT_EQ(r[1], "setup");
            ++seen[request];
            if (request == 0xB2 || request == 0xB3) EXPECT_EQ(Num(r[2]), value);
            if (request == 0xB3) ++eepromReads;
            if (request == 0xB5) {
                EXPECT_EQ(pages, announced) << "every announced page was sent";
                EXPECT_EQ(Num(r[3]), value);
                announced = value;
                pages = 0;
            }
            if (request == 0xB6) {
                EXPECT_EQ(Num(r[4]), pages++);
                EXPECT_EQ(Num(r[5]), announced);
            }
        } else if (!r[0].empty()) {
            EXPECT_EQ(r[1], "complete");
            if (Num(r[0]) == 0xB8) ready = ready || r[6] == "1";
            if (Num(r[0]) == 0xBA) {
                EXPECT_EQ(r[7] == "1", rec.data.size() == 2 && rec.data[0] == 0xAA && rec.data[1] == 0x55);
                alive = alive || r[7] == "1";
            }
        }
    }
    EXPECT_EQ(pages, announced);
    EXPECT_TRUE(ready && alive);
    EXPECT_GT(eepromReads, 0u);
    for (unsigned code : {0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7, 0xB8, 0xBA}) EXPECT_GT(seen[code], 0u) << code;
}

// Hand-written transfers: each setup packet breaks one rule (or none), and
// version records decode field by field.
TEST_F(Dissector, FlagsBrokenSetupPacketsAndDecodesRecords) {
    struct Transfer {
        std::vector<uint8_t> setup, out, in;
        std::string violation;  // "" = none expected
    };
    auto setup = [](uint8_t bm, uint8_t request, uint16_t value, uint16_t index, uint16_t length) {
        return std::vector<uint8_t>{bm,          request, uint8_t(value), uint8_t(value >> 8), uint8_t(index),
                                    uint8_t(index >> 8), uint8_t(length), uint8_t(length >> 8)};
    };
    const std::vector<uint8_t> page(4096, 0x5A);
    const std::vector<Transfer> transfers = {
        {setup(0xC0, 0xB0, 0, 0xAA55, 12), {}, {2, 15, 7, 0x10, 0x20, 0x30, 5, 1, 0, 0, 0xAA, 0x55}, ""},
        {setup(0xC0, 0xB0, 0, 0xAA55, 12), {}, {1, 2, 3, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0}, ""},
        {setup(0xC0, 0xB0, 0, 0x55AA, 12), {}, {}, "wIndex 0x55AA, expected 0xAA55"},
        {setup(0x40, 0xB0, 0, 0xAA55, 12), {}, {}, "bmRequestType 0x40, expected 0xC0"},
        {setup(0xC0, 0xB3, 4, 0xAA55, 512), {}, {}, "wLength 512, expected 1024"},
        {setup(0xC0, 0xB8, 1, 0xAA55, 1), {}, {0x00}, "wValue 0x0001, expected 0"},
        {setup(0x40, 0xB1, 0, 0xAA55, 2), {0x55, 0xAA}, {}, "UVCStart_UPDATE data is not AA 55"},
        {setup(0x40, 0xB6, 0x1000, 0xAA55, 4096), page, {}, "flash page without a UVCSet_FILESIZE announcement"},
        {setup(0xC0, 0xB5, 1, 0xAA55, 1), {}, {0xA1}, ""},
        {setup(0x40, 0xB6, 0x0800, 0xAA55, 4096), page, {}, "wValue 0x0800 differs from wLength 0x1000"},
        {setup(0x40, 0xB6, 0x1000, 0xAA55, 4096), page, {}, "more flash pages than announced"},
        {setup(0xC0, 0xBC, 0, 0xAA55, 1), {}, {}, "bRequest 0xBC is not one of 0xB0..0xBB"},
    };
    const fs::path pcap = dir_ / "rules.pcap";
    {
        UsbPcapWriter w;
        ASSERT_TRUE(w.Open(pcap.string()));
        uint64_t key = 1;
        for (const auto& t : transfers) {
            PcapPacket p;
            p.irpId = key++;
            p.function = 0x0017;
            p.endpoint = (t.setup[0] & 0x80) ? 0x80 : 0x00;
            std::vector<uint8_t> data = t.setup;
            data.insert(data.end(), t.out.begin(), t.out.end());
            p.data = data;
            w.Write(p);
            p.fromDevice = true;
            p.stage = PcapStage::Complete;
            p.data = t.in;
            w.Write(p);
        }
    }
    const auto rows = Tshark(pcap, {"orvex.violation", "orvex.version.fx3", "orvex.version.isp",
                                    "orvex.version.isp_raw", "orvex.version.aud", "orvex.version.aud_full",
                                    "orvex.version.valid", "orvex.version.isp_needs_reset"});
    ASSERT_EQ(rows.size(), 2 * transfers.size());
    for (size_t i = 0; i < transfers.size(); ++i) {
        SCOPED_TRACE(testing::Message() << "transfer " << i);
        EXPECT_EQ(rows[2 * i][0], transfers[i].violation);
        EXPECT_EQ(rows[2 * i + 1][0], "");
    }
    const Row& good = rows[1];
    EXPECT_EQ(good[1], "2.15.7");
    EXPECT_EQ(good[2], "48.32.16");
    EXPECT_EQ(Num(good[3]), 0x302010u);
    EXPECT_EQ(Num(good[4]), 0x05u);
    EXPECT_EQ(Num(good[5]), 0x105u);
    EXPECT_EQ(good[6], "1");
    EXPECT_EQ(good[7], "");
    const Row& reset = rows[3];
    EXPECT_EQ(reset[6], "0") << "no AA 55 marker";
    EXPECT_EQ(reset[7], "1") << "ISP 0xFFFFFF asks for a reset";
}

}  // namespace
