// The fixture of the end-to-end tests of the orvex-sim program: a temporary
// folder per test, the program run with its output captured, scenario files
// and the firmware made with "orvex-sim make".
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <sstream>

#include <nlohmann/json.hpp>

#include "Firmware.h"
#include "Sha256.h"
#include "SimDescriptors.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace clitest {

struct Outcome {
    int status = -1;
    std::string out, err;
};

inline std::string ReadAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void WriteAll(const fs::path& p, const std::string& bytes) { std::ofstream(p, std::ios::binary) << bytes; }
inline void WriteAll(const fs::path& p, const std::vector<uint8_t>& bytes) { WriteAll(p, std::string(bytes.begin(), bytes.end())); }

inline std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += (c == '\'') ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

class Cli : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("orvex-cli-" + std::to_string(::getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "fw");
    }
    void TearDown() override {
        if (!HasFailure()) fs::remove_all(dir_);
    }

    // Runs orvex-sim with the arguments; stdin from /dev/null, not a terminal.
    Outcome Sim(const std::vector<std::string>& args) {
        std::string cmd = Quote(ORVEX_SIM_PATH);
        for (const auto& a : args) cmd += " " + Quote(a);
        cmd += " < /dev/null > " + Quote((dir_ / "stdout").string()) + " 2> " + Quote((dir_ / "stderr").string());
        Outcome o;
        int raw = std::system(cmd.c_str());
        o.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        o.out = ReadAll(dir_ / "stdout");
        o.err = ReadAll(dir_ / "stderr");
        // Sanitizer builds: a report in the child fails the test even when
        // the sanitizer lets the program go on.
        EXPECT_EQ(o.err.find("runtime error:"), std::string::npos) << o.err;
        EXPECT_EQ(o.err.find("Sanitizer"), std::string::npos) << o.err;
        return o;
    }

    fs::path Scenario(const json& j, const std::string& name = "scenario.json") {
        WriteAll(dir_ / name, j.dump(2));
        return dir_ / name;
    }

    // Makes the firmware with "orvex-sim make": new FX3 1.2.3 (8 KiB), ISP
    // 12.34.56 (10000 bytes: 3 pages, the last one padded), audio 5, the version
    // file; and the camera's EEPROM with the old FX3 1.0.0 and its own serial.
    void MakeFirmware() {
        const std::string fw = (dir_ / "fw").string();
        for (auto args : std::vector<std::vector<std::string>>{
                 {"make", "fx3", "-o", fw + "/fx3.img", "--version", "1.2.3", "--size", "8192", "--serial", "FACTORY001"},
                 {"make", "fx3", "-o", (dir_ / "eeprom.bin").string(), "--version", "1.0.0", "--size", "8192", "--serial",
                  "CAM0004711", "--seed", "9"},
                 {"make", "isp", "-o", fw + "/isp.bin", "--version", "12.34.56", "--size", "10000"},
                 {"make", "aud", "-o", fw + "/aud.bin", "--version", "5"},
                 {"make", "version", "-o", fw + "/version.txt", "--fx3", "1.2.3", "--isp", "12.34.56", "--aud", "5"}}) {
            Outcome o = Sim(args);
            ASSERT_EQ(o.status, 0) << o.err;
        }
    }

    // The scenario of a camera at FX3 1.0.0 / ISP 10.00.00 / audio 1.
    json UpdateScenario() const {
        return {{"drives", {{"C", "fw"}}},
                {"settings",
                 {{"FX3", "C:\\fx3.img"}, {"ISP", "C:\\isp.bin"}, {"AUD", "C:\\aud.bin"}, {"VERSION", "C:\\version.txt"}}},
                {"log_mask", 33},
                {"camera", {{"eeprom", "eeprom.bin"}, {"version_record", "01 00 00 00 00 0A 01 00 00 00 AA 55"}}}};
    }

    json Report(const std::string& name = "report.json") { return json::parse(ReadAll(dir_ / name)); }

    fs::path dir_;
};

inline std::vector<uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

inline std::string Sha(const std::vector<uint8_t>& bytes) { return orvex::sim::Sha256::Hex(bytes); }

inline std::vector<uint8_t> PadToPages(std::vector<uint8_t> bytes, size_t page) {
    bytes.resize((bytes.size() + page - 1) / page * page, 0xFF);
    return bytes;
}

// The OUT data of every vendor request `bRequest` in a USBPcap file (carried
// after the setup bytes of its SETUP record), concatenated, and the number of
// such requests.
inline std::pair<std::vector<uint8_t>, size_t> CapturedOut(const std::string& pcap, uint8_t bRequest) {
    auto u16 = [&](size_t at) { return static_cast<uint32_t>(uint8_t(pcap[at]) | uint8_t(pcap[at + 1]) << 8); };
    auto u32 = [&](size_t at) { return u16(at) | u16(at + 2) << 16; };
    EXPECT_GE(pcap.size(), 24u);
    EXPECT_EQ(u32(20), 249u) << "link type USBPCAP";
    std::vector<uint8_t> data;
    size_t count = 0;
    for (size_t at = 24; at + 16 <= pcap.size();) {
        const size_t len = u32(at + 8);
        const size_t b = at + 16;
        at = b + len;
        if (u16(b) != 28) continue;  // control transfers only
        const bool fromDevice = pcap[b + 16] & 1;
        const uint8_t stage = pcap[b + 27];
        if (fromDevice || stage != 0 || len < 36) continue;
        if ((uint8_t(pcap[b + 28]) & 0x60) != 0x40 || uint8_t(pcap[b + 29]) != bRequest) continue;
        ++count;
        data.insert(data.end(), pcap.begin() + b + 36, pcap.begin() + b + len);
    }
    return {data, count};
}

// Pointers the driver prints (the driver extension, the descriptor buffers,
// the driver and device objects, their extensions, the registry buffers)
// differ from run to run; everything else in a trace must not.
inline std::string WithoutPointers(const std::string& trace) {
    static const std::regex pointer(
        "(DrvExt |Descriptor = |DeviceObject 0x|pCommonData 0x|device = |driver object 0x|deivce object 0x|"
        "pKsDev 0x|NextDeviceObject 0x|Self 0x|UnderlyingPDO 0x|final 0x)[0-9A-Fa-f]+");
    return std::regex_replace(trace, pointer, "$1<p>");
}

}  // namespace clitest
