// A sweep point replays with `orvex-sim run`: the scenario a failing point
// saves gives the same life (camera versions, resets, URB count) as the
// sweep ran, and the "inject" block refuses what it cannot arm.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "LifeRig.h"
#include "Scenario.h"

namespace orvex::test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using hosted::usb::FaultKind;

TEST(ScenarioInject, RefusesWhatItCannotArm)
{
    struct Case {
        const char* inject;
        const char* path;
    };
    const Case cases[] = {
        {R"({"melt": 1})", "/inject/melt"},
        {R"({"pool_tag": "Harn", "pool_fail": 0})", "/inject/pool_fail"},
        {R"({"pool_tag": "Har", "pool_fail": 2})", "/inject/pool_tag"},
        {R"({"pool_fail": 2})", "/inject"},
        {R"({"file": "\\??\\C:\\isp.bin"})", "/inject"},
        {R"({"registry_key": "driver", "registry_query_fail": 1})", "/inject"},
        {R"({"pdo_irp": "pnp", "pdo_irp_fail": 1})", "/inject/pdo_irp"},
        {R"({"pdo_irp": "disk 0x01", "pdo_irp_fail": 1})", "/inject/pdo_irp"},
        {R"({"reenumerate_after_reset": 1})", "/inject/reenumerate_after_reset"},
        {R"({"unplug_before_urb": -3})", "/inject/unplug_before_urb"},
        {R"([1])", "/inject"},
    };
    for (const auto& c : cases) {
        try {
            orvex::cli::ParseScenario(std::string(R"({"inject": )") + c.inject + "}", fs::temp_directory_path(), "s.json");
            ADD_FAILURE() << c.inject << " was accepted";
        } catch (const orvex::cli::ScenarioError& e) {
            ASSERT_FALSE(e.issues().empty());
            EXPECT_EQ(e.issues()[0].path, c.path) << c.inject << ": " << e.what();
        }
    }
    const auto sc = orvex::cli::ParseScenario(
        R"({"inject": {"reenumerate_after_reset": true, "pdo_irp": "power 0x02", "pdo_irp_fail": "0x3",
                       "registry_key": "driver", "registry_value": "ISP", "registry_query_fail": 2}})",
        fs::temp_directory_path(), "s.json");
    EXPECT_TRUE(sc.inject.reenumerate_after_reset);
    EXPECT_EQ(sc.inject.pdo_irp_major, 0x16);
    EXPECT_EQ(sc.inject.pdo_irp_minor, 0x02);
    EXPECT_EQ(sc.inject.pdo_irp_fail, 3u);
    EXPECT_EQ(sc.inject.registry_query_fail, 2u);
}

json RunSim(const std::string& scenario)
{
    const std::string report = scenario + ".report.json";
    const std::string cmd = std::string("'") + ORVEX_SIM_PATH + "' run --quiet --report '" + report + "' '" + scenario +
                            "' > /dev/null 2>&1";
    const int raw = std::system(cmd.c_str());
    EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 0) << scenario << " exit " << raw;
    std::ifstream in(report);
    return json::parse(in, nullptr, false);
}

TEST(ScenarioInject, SweepPointsReplayWithOrvexSim)
{
    const Point points[] = {
        {},
        {.kind = PointKind::UnplugBefore, .n = 60},
        {.kind = PointKind::UnplugAfter, .n = 120},
        {.kind = PointKind::Rebalance, .n = 40},
        {.kind = PointKind::Pool, .n = 9, .tag = 0x6E726148},  // "Harn"
        {.kind = PointKind::FileRead, .n = 1, .name = "\\??\\C:\\aud.bin"},
        {.kind = PointKind::RegQuery, .n = 1, .name = "driver", .value = "ISP"},
        {.kind = PointKind::PdoIrp, .n = 2, .major = IRP_MJ_PNP, .minor = IRP_MN_QUERY_CAPABILITIES},
        {.kind = PointKind::Vendor, .n = 3, .request = 0xB6, .fault = FaultKind::Timeout},
    };
    for (const Point& p : points) {
        const LifeResult life = RunLife(p);
        const json report = RunSim(p.SaveScenario(false));
        ASSERT_TRUE(report.is_object()) << p.Describe();
        EXPECT_EQ(report["camera"]["fx3_version"], life.fx3) << p.Describe();
        EXPECT_EQ(report["camera"]["isp_version"], life.isp) << p.Describe();
        EXPECT_EQ(report["camera"]["aud_version"], life.aud) << p.Describe();
        EXPECT_EQ(report["camera"]["resets"], life.resets) << p.Describe();
        EXPECT_EQ(report["run"]["transfers"], life.urbs) << p.Describe();
        EXPECT_TRUE(report["platform_faults"].empty()) << p.Describe() << report["platform_faults"].dump();
    }
}

}  // namespace
}  // namespace orvex::test
