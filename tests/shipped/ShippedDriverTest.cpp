// Each scenario runs twice through orvex-sim: with the hosted build's driver
// and with the shipped ORVEX.sys (--driver). What a user sees must not tell
// the two apart: the trace byte for byte once pointer values are masked, the
// USB capture byte for byte, the report field for field (its wall-clock time
// aside), and the exit status.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include <nlohmann/json.hpp>

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

std::string ReadAll(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string Quote(const std::string& s)
{
    std::string q = "'";
    for (char c : s) q += (c == '\'') ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// Pool, object and thread addresses differ from run to run: the platform's
// messages print them in full (0x7f..., %p), the driver's trace prints the
// low 32 bits of some after a label. Everything else must match.
std::string MaskPointers(const std::string& text)
{
    static const std::regex full("0x[0-9A-Fa-f]{9,}|\\b[0-9A-Fa-f]{12,16}\\b");
    static const std::regex labelled(
        "(driver object |deivce object |pKsDev |NextDeviceObject |Self |UnderlyingPDO |DeviceObject |pCommonData |"
        "device = |final |Descriptor = |Irp |Urb |handle )(0x)?[0-9a-f]+");
    return std::regex_replace(std::regex_replace(text, full, "<ptr>"), labelled, "$1<ptr>");
}

struct Case {
    const char* name;
    std::function<void(json&)> shape;
    std::vector<std::string> extra;  // further orvex-sim arguments
};

class ShippedDriver : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (std::string(ORVEX_SYS_PATH).empty()) GTEST_SKIP() << "configure with -DORVEX_SYS=.../ORVEX.sys";
        dir_ = fs::temp_directory_path() / ("orvex-shipped-" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "fw");
        const std::string fw = (dir_ / "fw").string();
        for (auto args : std::vector<std::vector<std::string>>{
                 {"make", "fx3", "-o", fw + "/fx3.img", "--version", "1.2.3", "--size", "8192", "--serial", "FACTORY001"},
                 {"make", "fx3", "-o", (dir_ / "eeprom.bin").string(), "--version", "1.0.0", "--size", "8192", "--serial",
                  "CAM0004711", "--seed", "9"},
                 {"make", "isp", "-o", fw + "/isp.bin", "--version", "12.34.56", "--size", "10000"},
                 {"make", "aud", "-o", fw + "/aud.bin", "--version", "5"},
                 {"make", "version", "-o", fw + "/version.txt", "--fx3", "1.2.3", "--isp", "12.34.56", "--aud", "5"},
                 {"make", "version", "-o", fw + "/equal.txt", "--fx3", "1.0.0", "--isp", "10.00.00", "--aud", "1"}})
            ASSERT_EQ(Sim(args), 0);
        std::ofstream(dir_ / "fw" / "garbage.img", std::ios::binary) << std::string(8192, '\x5a');
    }
    void TearDown() override
    {
        if (!HasFailure() && !dir_.empty()) fs::remove_all(dir_);
    }

    int Sim(const std::vector<std::string>& args, const std::string& tag = "make")
    {
        std::string cmd = Quote(ORVEX_SIM_PATH);
        for (const auto& a : args) cmd += " " + Quote(a);
        cmd += " < /dev/null > " + Quote((dir_ / (tag + ".out")).string()) + " 2> " + Quote((dir_ / (tag + ".err")).string());
        int raw = std::system(cmd.c_str());
        return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    }

    static json Update()
    {
        return {{"drives", {{"C", "fw"}}},
                {"settings",
                 {{"FX3", "C:\\fx3.img"}, {"ISP", "C:\\isp.bin"}, {"AUD", "C:\\aud.bin"}, {"VERSION", "C:\\version.txt"}}},
                {"log_mask", 33},
                {"camera", {{"eeprom", "eeprom.bin"}, {"version_record", "01 00 00 00 00 0A 01 00 00 00 AA 55"}}}};
    }

    // Runs the scenario with either driver and compares what each left.
    void Compare(const Case& c)
    {
        SCOPED_TRACE(c.name);
        json s = Update();
        c.shape(s);
        const fs::path scenario = dir_ / (std::string(c.name) + ".json");
        std::ofstream(scenario) << s.dump(2);
        struct Result {
            int status;
            std::string trace, capture, err;
            json report;
        } r[2];
        for (int shipped = 0; shipped < 2; ++shipped) {
            const std::string tag = std::string(c.name) + (shipped ? ".sys" : ".hosted");
            std::vector<std::string> args = {"run", scenario.string(), "--quiet", "--trace", (dir_ / (tag + ".txt")).string(),
                                             "--pcap", (dir_ / (tag + ".pcap")).string(), "--report",
                                             (dir_ / (tag + ".rep")).string()};
            args.insert(args.end(), c.extra.begin(), c.extra.end());
            if (shipped) args.insert(args.end(), {"--driver", ORVEX_SYS_PATH});
            r[shipped].status = Sim(args, tag);
            r[shipped].err = ReadAll(dir_ / (tag + ".err"));
            r[shipped].trace = MaskPointers(ReadAll(dir_ / (tag + ".txt")));
            r[shipped].capture = ReadAll(dir_ / (tag + ".pcap"));
            r[shipped].report = json::parse(ReadAll(dir_ / (tag + ".rep")), nullptr, false);
            json& rep = r[shipped].report;
            if (rep.is_object() && rep.contains("run")) rep["run"].erase("wall_ms");
            // The platform lists leaks in address order: masked, their order goes too.
            if (rep.is_object() && rep.contains("platform_faults")) {
                std::vector<std::string> faults;
                for (const auto& f : rep["platform_faults"]) faults.push_back(MaskPointers(f.get<std::string>()));
                std::sort(faults.begin(), faults.end());
                rep["platform_faults"] = faults;
            }
        }
        EXPECT_EQ(r[1].status, r[0].status) << r[1].err;
        // Sanitizer notes in a sanitizer build name the process.
        static const std::regex pid("==[0-9]+==");
        EXPECT_EQ(std::regex_replace(MaskPointers(r[1].err), pid, "=="), std::regex_replace(MaskPointers(r[0].err), pid, "=="));
        EXPECT_FALSE(r[0].trace.empty());
        EXPECT_EQ(r[1].trace, r[0].trace);
        EXPECT_FALSE(r[0].capture.empty());
        EXPECT_TRUE(r[1].capture == r[0].capture) << "the captures differ";
        EXPECT_EQ(MaskPointers(r[1].report.dump(1)), MaskPointers(r[0].report.dump(1)));
    }

    fs::path dir_;
};

TEST_F(ShippedDriver, RunsEveryScenarioAsTheHostedBuildDoes)
{
    const std::vector<Case> cases = {
        {"full-update", [](json&) {}, {}},
        {"all-equal", [](json& s) { s["settings"]["VERSION"] = "C:\\equal.txt"; }, {}},
        {"unplug", [](json& s) { s["events"] = {{{"at_ms", 2500}, {"event", "unplug"}}}; }, {}},
        {"refused-image", [](json& s) { s["settings"]["FX3"] = "C:\\garbage.img"; }, {}},
        {"stop-and-restart",
         [](json& s) {
             s["camera"]["version_record"] = "01 00 00 FF FF FF 01 00 00 00 AA 55";
             s["events"] = {{{"at_ms", 10000}, {"event", "stop"}}};
             s["time_limit_ms"] = 20000;
         },
         {}},
        {"stalled-request",
         [](json& s) { s["camera"]["faults"] = {{{"request", "0xB0"}, {"occurrence", 1}, {"kind", "stall"}}}; },
         {}},
        // A deadlock: the platform unwinds the driver's waiting threads through the image's frames.
        {"stuck-stack",
         [](json& s) {
             s["camera"]["faults"] = {{{"request", "0xB0"}, {"kind", "stuck"}}};
             s["time_limit_ms"] = 60000;
         },
         {}},
        {"inf-install", [](json&) {}, {"--inf", ORVEX_INF_PATH}},
        // The driver's whole life: WMI, sleep and wake, unplug and replug,
        // rebalance, disable and enable, a wake signal, shutdown.
        {"life-cycle",
         [](json& s) {
             s["pdo"] = {{"system_wake", "S3"}, {"device_wake", "D2"}};
             s["events"] = json::parse(R"([
                 {"at_ms": 5000, "event": "wmi_set", "block": "power", "value": 128},
                 {"at_ms": 6000, "event": "wmi_query", "block": "power"},
                 {"at_ms": 7000, "event": "wmi_set", "block": "wake", "value": 1},
                 {"at_ms": 25000, "event": "sleep", "state": "S3"}, {"at_ms": 35000, "event": "wake"},
                 {"at_ms": 40000, "event": "unplug"}, {"at_ms": 45000, "event": "replug"},
                 {"at_ms": 50000, "event": "stop"},
                 {"at_ms": 60000, "event": "disable"}, {"at_ms": 61000, "event": "enable"},
                 {"at_ms": 70000, "event": "wake_signal"},
                 {"at_ms": 90000, "event": "shutdown"}])");
         },
         {}},
        {"two-cameras",
         [](json& s) {
             json camera = {{"settings", s["settings"]}, {"camera", s["camera"]}};
             json failing = camera;
             failing["pdo"] = {{"faults", {{{"irp", "start"}, {"status", "0xC0000001"}}}}};
             s.erase("settings");
             s.erase("camera");
             s["cameras"] = {camera, failing};
             s["events"] = {{{"at_ms", 20000}, {"event", "unplug"}, {"camera", 0}}};
         },
         {}},
    };
    for (const Case& c : cases) Compare(c);
}

}  // namespace
