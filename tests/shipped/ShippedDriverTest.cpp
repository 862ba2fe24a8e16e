// Each scenario runs twice through orvex-sim: with the hosted build's driver
// and with the shipped ORVEX.sys (--driver). What a user sees must not tell
// the two apart: the trace byte for byte once pointer values are masked, the
// USB capture byte for byte, the report field for field (its wall-clock time
// aside), and the exit status.
#include <algorithm>
#include <functional>

#include "CliFixture.h"

using namespace clitest;

namespace {

struct Case {
    const char* name;
    std::function<void(json&)> shape;
    std::vector<std::string> extra;  // further orvex-sim arguments
};

class ShippedDriver : public Cli {
protected:
    void SetUp() override
    {
        if (std::string(ORVEX_SYS_PATH).empty()) GTEST_SKIP() << "configure with -DORVEX_SYS=.../ORVEX.sys";
        Cli::SetUp();
        MakeFirmware();
        ASSERT_EQ(Sim({"make", "version", "-o", (dir_ / "fw" / "equal.txt").string(), "--fx3", "1.0.0", "--isp",
                       "10.00.00", "--aud", "1"})
                      .status,
                  0);
        WriteAll(dir_ / "fw" / "garbage.img", std::string(8192, '\x5a'));
    }

    // Runs the scenario with either driver and compares what each left.
    void Compare(const Case& c)
    {
        SCOPED_TRACE(c.name);
        json s = UpdateScenario();
        c.shape(s);
        struct Result {
            Outcome outcome;
            std::string trace, capture;
            json report;
        } r[2];
        for (int shipped = 0; shipped < 2; ++shipped) {
            const std::string tag = std::string(c.name) + (shipped ? ".sys" : ".hosted");
            std::vector<std::string> extra = {"--pcap", (dir_ / (tag + ".pcap")).string()};
            extra.insert(extra.end(), c.extra.begin(), c.extra.end());
            if (shipped) extra.insert(extra.end(), {"--driver", ORVEX_SYS_PATH});
            // Either exit status will do here: the two must only agree.
            r[shipped].report = Run(s, tag, extra, std::nullopt);
            r[shipped].outcome = last_;
            r[shipped].trace = WithoutPointers(Trace(tag));
            r[shipped].capture = ReadAll(dir_ / (tag + ".pcap"));
            json& rep = r[shipped].report;
            if (rep.is_object() && rep.contains("run")) rep["run"].erase("wall_ms");
            // The platform lists leaks in address order: masked, their order goes too.
            if (rep.is_object() && rep.contains("platform_faults")) {
                std::vector<std::string> faults;
                for (const auto& f : rep["platform_faults"]) faults.push_back(WithoutPointers(f.get<std::string>()));
                std::sort(faults.begin(), faults.end());
                rep["platform_faults"] = faults;
            }
        }
        EXPECT_EQ(r[1].outcome.status, r[0].outcome.status) << r[1].outcome.err;
        // Sanitizer notes in a sanitizer build name the process.
        static const std::regex pid("==[0-9]+==");
        EXPECT_EQ(std::regex_replace(WithoutPointers(r[1].outcome.err), pid, "=="),
                  std::regex_replace(WithoutPointers(r[0].outcome.err), pid, "=="));
        EXPECT_FALSE(r[0].trace.empty());
        EXPECT_EQ(r[1].trace, r[0].trace);
        EXPECT_FALSE(r[0].capture.empty());
        EXPECT_TRUE(r[1].capture == r[0].capture) << "the captures differ";
        EXPECT_EQ(WithoutPointers(r[1].report.dump(1)), WithoutPointers(r[0].report.dump(1)));
    }
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
