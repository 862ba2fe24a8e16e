// The fixture of the tests that run the orvex-sim program (tests/cli and
// tests/shipped): a temporary folder per test, the program run with its
// output captured, scenario files, the firmware made with "orvex-sim make",
// and readers of what a run leaves (report, trace, capture).
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>

#include <nlohmann/json.hpp>

#include "TempDirTest.h"

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

inline std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += (c == '\'') ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// How often `line` occurs in `text`.
inline size_t Count(const std::string& text, const std::string& line) {
    size_t n = 0;
    for (size_t at = 0; (at = text.find(line, at)) != std::string::npos; ++at) ++n;
    return n;
}

// The SETUP record of every vendor request in a USBPcap file: its virtual
// time in ms since `epoch`, bRequest, and the OUT data after the setup bytes.
struct VendorSetup {
    double ms;
    uint8_t request;
    std::string data;
};
inline std::vector<VendorSetup> VendorSetups(const std::string& pcap, int64_t epoch = 1704067200) {
    auto u16 = [&](size_t at) { return static_cast<uint32_t>(uint8_t(pcap[at]) | uint8_t(pcap[at + 1]) << 8); };
    auto u32 = [&](size_t at) { return u16(at) | u16(at + 2) << 16; };
    EXPECT_GE(pcap.size(), 24u);
    EXPECT_EQ(u32(20), 249u) << "link type USBPCAP";
    std::vector<VendorSetup> out;
    for (size_t at = 24; at + 16 <= pcap.size();) {
        const double ms = (double(u32(at)) - double(epoch)) * 1000.0 + u32(at + 4) / 1e6;  // nanosecond capture
        const size_t len = u32(at + 8), b = at + 16;
        at = b + len;
        // Control transfers only, from the host, their setup stage.
        if (u16(b) != 28 || (pcap[b + 16] & 1) || pcap[b + 27] != 0 || len < 36) continue;
        if ((uint8_t(pcap[b + 28]) & 0x60) != 0x40) continue;
        out.push_back({ms, uint8_t(pcap[b + 29]), pcap.substr(b + 36, len - 36)});
    }
    return out;
}

// Pool, object and thread addresses differ from run to run (and between the
// hosted build and the shipped image): the platform's messages print them in
// full, the driver's trace prints the low 32 bits of some after a label.
// Everything else in a trace must not differ.
inline std::string WithoutPointers(const std::string& text) {
    static const std::regex full("0x[0-9A-Fa-f]{9,}|\\b[0-9A-Fa-f]{12,16}\\b");
    static const std::regex labelled(
        "(DrvExt |driver object |deivce object |pKsDev |NextDeviceObject |Self |UnderlyingPDO |DeviceObject |"
        "pCommonData |device = |final |Descriptor = |Irp |Urb |handle )(0x)?[0-9A-Fa-f]+");
    return std::regex_replace(std::regex_replace(text, full, "<ptr>"), labelled, "$1<ptr>");
}

class Cli : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        fs::create_directories(dir_ / "fw");
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

    // Runs the scenario as <name>.json, quietly, with its report in
    // <name>.rep and its trace in <name>.txt; expects the exit status (any
    // when none is given) and returns the report, discarded when there is
    // none. The outcome is in last_.
    json Run(const json& scenario, const std::string& name, std::vector<std::string> extra = {},
             std::optional<int> status = 0) {
        std::vector<std::string> args{"run", Scenario(scenario, name + ".json").string(), "--report",
                                      (dir_ / (name + ".rep")).string(), "--trace", (dir_ / (name + ".txt")).string(), "-q"};
        args.insert(args.end(), extra.begin(), extra.end());
        last_ = Sim(args);
        if (status) EXPECT_EQ(last_.status, *status) << name << ": " << last_.err;
        return json::parse(ReadAll(dir_ / (name + ".rep")), nullptr, false);
    }
    std::string Trace(const std::string& name) { return ReadAll(dir_ / (name + ".txt")); }

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
    static json UpdateScenario() {
        return {{"drives", {{"C", "fw"}}},
                {"settings",
                 {{"FX3", "C:\\fx3.img"}, {"ISP", "C:\\isp.bin"}, {"AUD", "C:\\aud.bin"}, {"VERSION", "C:\\version.txt"}}},
                {"log_mask", 33},
                {"camera", {{"eeprom", "eeprom.bin"}, {"version_record", "01 00 00 00 00 0A 01 00 00 00 AA 55"}}}};
    }

    json Report(const std::string& name = "report.json") { return json::parse(ReadAll(dir_ / name)); }

    // The camera of a report runs the firmware MakeFirmware made.
    static void ExpectUpdated(const json& camera, const std::string& what) {
        EXPECT_EQ(camera["fx3_version"], 10203) << what;
        EXPECT_EQ(camera["isp_version"], 0x0C2238) << what;
        EXPECT_EQ(camera["aud_version"], 5) << what;
        EXPECT_EQ(camera["update_mode"], false) << what;
    }
    static void ExpectClean(const json& r, const std::string& what) {
        EXPECT_TRUE(r["platform_faults"].empty()) << what << ": " << r["platform_faults"].dump();
        EXPECT_EQ(r["pool"]["leaked_bytes"], 0) << what;
    }
    // The last update run of a camera found everything current: it sent the
    // version read and nothing else.
    static void ExpectLeftAlone(const json& camera, const std::string& what) {
        ASSERT_FALSE(camera["update_runs"].empty()) << what;
        const json& last = camera["update_runs"].back();
        EXPECT_EQ(last["vendor_requests"], json({{"UVCGet_VERSION", 1}})) << what;
        EXPECT_EQ(last["ended_by"], "update finished") << what;
    }

    Outcome last_;
};

}  // namespace clitest
