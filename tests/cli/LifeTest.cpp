// A camera's whole life through the real orvex-sim program: its reset and
// re-enumeration, unplugging and replugging, system sleep, the WMI switches,
// several cameras at once and the PDO's injected failures, checked through
// the report, the trace and the capture.
#include <algorithm>
#include <functional>
#include <set>

#include "CliFixture.h"

using namespace clitest;

namespace {

class Life : public Cli {
protected:
    // A scenario of several cameras, each {version record, EEPROM file};
    // new_eeprom.bin holds the new FX3 image.
    json Cameras(const std::vector<std::pair<std::string, std::string>>& cameras) {
        WriteAll(dir_ / "new_eeprom.bin", ReadAll(dir_ / "fw" / "fx3.img"));
        const json base = UpdateScenario();
        json s = {{"drives", base["drives"]}, {"log_mask", 33}, {"cameras", json::array()}};
        for (const auto& [record, eeprom] : cameras)
            s["cameras"].push_back({{"settings", base["settings"]}, {"camera", {{"version_record", record}, {"eeprom", eeprom}}}});
        return s;
    }
};

// The camera resets into its new firmware, leaves the bus and comes back
// `reenumerate_ms` later; the new device's update run only reads the
// version. Without re-enumeration the camera stays on the bus with its one run.
TEST_F(Life, ResetReenumeratesAndTheSecondRunLeavesTheCameraAlone) {
    MakeFirmware();
    struct Case {
        std::optional<bool> reenumerate;
        std::optional<int> ms;
        size_t runs;
        int gap_ms;  // from the end of the first run to the start of the second
    } cases[] = {{std::nullopt, std::nullopt, 2, 3010}, {true, 500, 2, 510}, {false, std::nullopt, 1, 0}};
    int n = 0;
    for (const auto& c : cases) {
        const std::string name = "reenum" + std::to_string(n++);
        json s = UpdateScenario();
        if (c.reenumerate) s["camera"]["reenumerate_after_reset"] = *c.reenumerate;
        if (c.ms) s["camera"]["reenumerate_ms"] = *c.ms;
        json r = Run(s, name, {"--pcap", (dir_ / (name + ".pcap")).string()});
        ExpectUpdated(r["camera"], name);
        ExpectClean(r, name);
        const json& runs = r["camera"]["update_runs"];
        ASSERT_EQ(runs.size(), c.runs) << name;
        EXPECT_EQ(runs[0]["wrote"]["resets"], 1) << name;
        if (c.runs == 1) {
            EXPECT_EQ(r["camera"]["pnp_state"], "started") << name;
            EXPECT_EQ(Count(Trace(name), "ORVEX :  ++DeviceSurpriseRemoval()\n"), 0u) << name;
            continue;
        }
        // The driver's own account of the drop: surprise removal, removal,
        // unload with its only device, then a fresh load for the new one.
        EXPECT_EQ(Count(Trace(name), "ORVEX :  ++DeviceSurpriseRemoval()\n"), 1u) << name;
        EXPECT_EQ(Count(Trace(name), "ORVEX :  -DriverEntry(0)\n"), 2u) << name;
        ASSERT_EQ(r["driver"].size(), 4u) << name;
        for (const auto& d : r["driver"]) {
            if (d["action"] == "load") EXPECT_EQ(d["status"], "0x00000000") << name;
            else EXPECT_TRUE(d["problems"].empty()) << name;
        }
        const int gap = runs[1]["start_ms"].get<int>() - runs[0]["end_ms"].get<int>();
        EXPECT_NEAR(gap, c.gap_ms, 20) << name;
        EXPECT_EQ(runs[1]["uid"], 1) << name << ": the first device gave its ID back";
        ExpectLeftAlone(r["camera"], name);
        // On the wire after the camera came back: descriptors and the
        // version read, no other vendor request.
        std::set<uint8_t> after;
        for (const auto& v : VendorSetups(ReadAll(dir_ / (name + ".pcap"))))
            if (v.ms > runs[1]["start_ms"].get<double>()) after.insert(v.request);
        EXPECT_EQ(after, std::set<uint8_t>{0xB0}) << name;
    }
}

// Unplugged while the ISP image is announced, the camera comes back two
// seconds later: the interrupted run sent no page after the announcement and
// the manager surprise-removed its device before removing it; the new
// device's run completes the update (the device instance kept its
// settings), and the camera, back from its reset, is left alone. Unplugging
// and sleeping in every phase of an update is the device-fundamentals
// cycles' test (tests/reliability/CyclesTest.cpp).
TEST_F(Life, UnplugAndReplugCompletesTheUpdate) {
    MakeFirmware();
    json s = UpdateScenario();
    s["events"] = {{{"at_ms", 2500}, {"event", "unplug"}}, {{"at_ms", 4500}, {"event", "replug"}}};
    json r = Run(s, "replug");
    ExpectClean(r, "replug");
    EXPECT_EQ(r["run"]["events_applied"], json::array({"unplug at 2500 ms", "replug at 4500 ms"}));
    const json& runs = r["camera"]["update_runs"];
    ASSERT_GE(runs.size(), 3u) << "interrupted, completed, left alone";
    EXPECT_EQ(runs[0]["ended_by"], "unplug");
    EXPECT_EQ(runs[0]["vendor_requests"].value("UVCWrite_SPI_PAGE", 0), 0) << runs[0]["vendor_requests"].dump();
    EXPECT_EQ(runs[0]["vendor_requests"].value("UVCSet_FILESIZE", 0), 1) << runs[0]["vendor_requests"].dump();
    EXPECT_EQ(runs[1]["ended_by"], "update finished");
    ExpectUpdated(r["camera"], "replug");
    ExpectLeftAlone(r["camera"], "replug");
    const std::string text = Trace("replug");
    const size_t surprise = text.find("ORVEX :  ++DeviceSurpriseRemoval()\n");
    ASSERT_NE(surprise, std::string::npos) << text;
    EXPECT_LT(surprise, text.find("ORVEX :  +DeviceRemove() Dev 0 \n"));
}

// The WMI switches as Device Manager flips them: the wake block is withdrawn
// (this camera's device never reports wake support), so WMI refuses it and
// wait-wake is never armed; the power block stores its byte and the driver
// writes CheckBoxPowerDevice. A wake signal with nothing pending changes
// nothing: the trace equals that of the same run without it.
TEST_F(Life, WmiSwitchesAndAWakeSignalWithNothingPending) {
    MakeFirmware();
    json s = UpdateScenario();
    s["camera"]["reenumerate_after_reset"] = false;
    s["events"] = {{{"at_ms", 5000}, {"event", "wmi_set"}, {"block", "wake"}, {"value", 1}},
                   {{"at_ms", 5000}, {"event", "wmi_query"}, {"block", "wake"}},
                   {{"at_ms", 6000}, {"event", "wmi_set"}, {"block", "power"}, {"value", 128}},
                   {{"at_ms", 7000}, {"event", "wmi_query"}, {"block", "power"}}};
    json r = Run(s, "wmi");
    ExpectClean(r, "wmi");
    EXPECT_EQ(r["run"]["events_applied"][0], "wmi_set wake = 1 at 5000 ms (refused: 0xC0000295)");
    const json& q = r["wmi_queries"];
    ASSERT_EQ(q.size(), 2u);
    EXPECT_EQ(q[0]["status"], "0xC0000295");
    EXPECT_TRUE(q[0]["value"].is_null());
    EXPECT_EQ(q[1]["status"], "0x00000000");
    EXPECT_EQ(q[1]["value"], 128);
    EXPECT_FALSE(r["camera"]["wait_wake_armed"]);
    EXPECT_EQ(r["camera"]["hardware_key"]["CheckBoxPowerDevice"], 1);
    EXPECT_TRUE(r["camera"]["hardware_key"]["CheckBoxRemoteWakeUp"].is_null()) << "a refused set reaches no driver";
    EXPECT_TRUE(std::any_of(r["requests"].begin(), r["requests"].end(), [](const json& x) {
        return x["request"] == "WMI SET_SINGLE_INSTANCE(power)" && x["status"] == "0x00000000" && x["time_ms"] == 6000;
    }));

    json plain = UpdateScenario();
    plain["camera"]["reenumerate_after_reset"] = false;
    json signalled = plain;
    signalled["events"] = {{{"at_ms", 4000}, {"event", "wake_signal"}}};
    json a = Run(plain, "plain"), b = Run(signalled, "signalled");
    EXPECT_EQ(b["run"]["events_applied"], json::array({"wake_signal at 4000 ms (nothing pending)"}));
    EXPECT_EQ(WithoutPointers(Trace("signalled")), WithoutPointers(Trace("plain")));
    EXPECT_EQ(a["camera"]["device_power"], b["camera"]["device_power"]);
    EXPECT_EQ(a["run"]["device_time_ms"], b["run"]["device_time_ms"]);
}

// Three cameras with different firmware on one hub: each is updated as its
// own state asks, with unique IDs 1, 2 and 3, and each is left alone after.
TEST_F(Life, ThreeCamerasUpdateIndependently) {
    MakeFirmware();
    json r = Run(Cameras({{"01 00 00 00 00 0A 01 00 00 00 AA 55", "eeprom.bin"},
                          {"01 02 03 38 22 0C 05 00 00 00 AA 55", "new_eeprom.bin"},  // current
                          {"01 02 03 38 22 0C 01 00 00 00 AA 55", "new_eeprom.bin"}}),  // old audio only
                 "three");
    ExpectClean(r, "three");
    ASSERT_EQ(r["cameras"].size(), 3u);
    EXPECT_EQ(r["camera"], r["cameras"][0]);
    for (int i = 0; i < 3; ++i) {
        const json& c = r["cameras"][i];
        ExpectUpdated(c, "camera " + std::to_string(i));
        ExpectLeftAlone(c, "camera " + std::to_string(i));
        EXPECT_EQ(c["update_runs"][0]["uid"], i + 1) << i;
    }
    // What each first run wrote follows the camera's own state.
    const json& w0 = r["cameras"][0]["update_runs"][0]["wrote"];
    EXPECT_GT(w0["isp_pages"], 0);
    EXPECT_GT(w0["eeprom_pages"], 0);
    EXPECT_EQ(r["cameras"][1]["update_runs"].size(), 1u) << "a current camera is never reset";
    const json& w2 = r["cameras"][2]["update_runs"][0]["wrote"];
    EXPECT_GT(w2["aud_pages"], 0);
    EXPECT_EQ(w2["eeprom_pages"], 0) << "its FX3 firmware is current";
    EXPECT_EQ(w2["resets"], 1);
    // Every camera's requests are logged under its own index.
    std::set<int> seen;
    for (const auto& q : r["requests"])
        if (q["request"] == "START_DEVICE") seen.insert(q["camera"].get<int>());
    EXPECT_EQ(seen, (std::set<int>{0, 1, 2}));
}

// Thirty-three cameras: the driver's 32 unique IDs run out, so the 33rd
// device gets ID 0 with the driver's error line, and still works.
TEST_F(Life, ThirtyThreeCamerasTheLastWithoutAnId) {
    MakeFirmware();
    std::vector<std::pair<std::string, std::string>> cameras(32, {"01 02 03 38 22 0C 05 00 00 00 AA 55", "new_eeprom.bin"});
    // The last camera's audio firmware is old: it has work to do.
    cameras.push_back({"01 02 03 38 22 0C 01 00 00 00 AA 55", "new_eeprom.bin"});
    json r = Run(Cameras(cameras), "many");
    ExpectClean(r, "many");
    ASSERT_EQ(r["cameras"].size(), 33u);
    std::set<int> ids;
    for (int i = 0; i < 32; ++i) ids.insert(r["cameras"][i]["update_runs"][0]["uid"].get<int>());
    EXPECT_EQ(ids.size(), 32u);
    EXPECT_EQ(*ids.begin(), 1);
    EXPECT_EQ(*ids.rbegin(), 32);
    // Its device after the reset and re-enumeration finds the IDs still
    // taken as well: one error line per device.
    const json& last = r["cameras"][32];
    for (const auto& run : last["update_runs"]) EXPECT_EQ(run["uid"], 0);
    EXPECT_EQ(Count(Trace("many"), "ORVEX : !!! No device Id was allocated !!!\n"), last["update_runs"].size());
    EXPECT_GT(last["update_runs"][0]["wrote"]["aud_pages"], 0);
    ExpectUpdated(last, "camera 32");
    ExpectLeftAlone(last, "camera 32");
}

// Each failure the PDO can be told to inject reaches the driver's path for it.
TEST_F(Life, EachPdoFaultReachesTheDriversFailurePath) {
    MakeFirmware();
    struct Case {
        const char* irp;
        std::optional<int> occurrence;
        json events;
        bool updated;  // the camera still runs the new firmware at the end
        std::function<void(const json& r, const std::string& trace)> check;
    } cases[] = {
        // The start fails at the bus: the device is not started, nothing runs.
        {"start", {}, json::array(), false, [](const json& r, const std::string&) {
             EXPECT_EQ(r["run"]["ended_by"], "start failed");
             EXPECT_EQ(r["run"]["start_status"], "0xC0000001");
             EXPECT_EQ(r["camera"]["pnp_state"], "start failed");
             EXPECT_TRUE(r["camera"]["update_runs"].empty());
         }},
        // The driver's own capabilities query at start (the second one) fails:
        // it keeps its defaults and the device works.
        {"query_capabilities", 2, json::array(), true, [](const json& r, const std::string& trace) {
             EXPECT_NE(trace.find("ORVEX : Get Device caps Failed c0000001!\n"), std::string::npos);
             for (const auto& q : r["requests"])
                 if (q["request"] == "QUERY_CAPABILITIES") EXPECT_EQ(q["status"], "0x00000000") << "the manager's own";
         }},
        // A refused query-stop is cancelled: the device stays started.
        {"query_stop", {}, json::array({{{"at_ms", 5000}, {"event", "stop"}}}), true, [](const json& r, const std::string&) {
             EXPECT_EQ(r["run"]["events_applied"][0], "stop at 5000 ms (refused or failed: 0xC0000001)");
             EXPECT_TRUE(std::any_of(r["requests"].begin(), r["requests"].end(),
                                     [](const json& q) { return q["request"] == "CANCEL_STOP_DEVICE"; }));
         }},
        // A refused query-remove: the device is not disabled.
        {"query_remove", {}, json::array({{{"at_ms", 5000}, {"event", "disable"}}}), true, [](const json& r, const std::string&) {
             EXPECT_EQ(r["run"]["events_applied"][0], "disable at 5000 ms (refused: 0xC0000001)");
             EXPECT_EQ(r["camera"]["update_runs"][0]["ended_by"], "update finished");
         }},
        // A refused sleep query: the system stays in S0 and the driver keeps D0.
        {"query_power", {}, json::array({{{"at_ms", 5000}, {"event", "sleep"}, {"state", "S3"}}}), true,
         [](const json& r, const std::string&) {
             EXPECT_EQ(r["system_sleep"], json::array({"S3 at 5000 ms: refused (0xC0000001), the system stayed in S0"}));
         }},
        // The bus fails the device power request: the driver completes the
        // system request with that failure.
        {"set_power", {}, json::array({{{"at_ms", 5000}, {"event", "sleep"}, {"state", "S3"}}, {{"at_ms", 8000}, {"event", "wake"}}}), false,
         [](const json& r, const std::string&) {
             std::vector<std::string> failed;
             for (const auto& q : r["requests"])
                 if (q["time_ms"] == 5000 && q["status"] == "0xC0000001") failed.push_back(q["request"]);
             EXPECT_EQ(failed, (std::vector<std::string>{"SET_POWER(D3)", "SET_POWER(S3)"}));
             EXPECT_TRUE(r["camera"]["device_power"].empty());
         }},
        // Surprise removal, stop and removal cannot be refused: the driver
        // goes through them whatever the bus answers.
        {"surprise_removal", {}, json::array({{{"at_ms", 5000}, {"event", "unplug"}}, {{"at_ms", 8000}, {"event", "replug"}}}), true,
         [](const json& r, const std::string& trace) {
             EXPECT_NE(trace.find("ORVEX :  --DeviceSurpriseRemoval() completed"), std::string::npos);
         }},
        {"remove", {}, json::array(), false, [](const json& r, const std::string& trace) {
             EXPECT_NE(trace.find("ORVEX :  -DeviceRemove() completed"), std::string::npos);
             EXPECT_TRUE(r["driver"].back()["problems"].empty());
         }},
        // Wait-wake is never armed by this camera's driver: the fault is never reached.
        {"wait_wake", {}, json::array({{{"at_ms", 5000}, {"event", "wmi_set"}, {"block", "wake"}, {"value", 1}}}), true,
         [](const json& r, const std::string&) {
             EXPECT_FALSE(r["camera"]["wait_wake_armed"]);
         }},
        // No bus type or bus number: DriverAddDevice fails and leaves nothing behind.
        {"bus_type_guid", {}, json::array(), false, [](const json& r, const std::string&) {
             EXPECT_EQ(r["run"]["ended_by"], "driver load or device add failed");
             EXPECT_EQ(r["camera"]["pnp_state"], "start failed");
         }},
        {"bus_number", {}, json::array(), false, [](const json& r, const std::string& trace) {
             EXPECT_EQ(r["run"]["ended_by"], "driver load or device add failed");
             EXPECT_EQ(trace.find("ORVEX :  -DeviceStart()"), std::string::npos);
         }},
    };
    for (const auto& c : cases) {
        json s = UpdateScenario();
        json fault = {{"irp", c.irp}, {"status", "0xC0000001"}};
        if (c.occurrence) fault["occurrence"] = *c.occurrence;
        s["pdo"] = {{"faults", json::array({fault})}};
        s["events"] = c.events;
        const std::string name = std::string("pdo_") + c.irp;
        json r = Run(s, name);
        SCOPED_TRACE(c.irp);
        ExpectClean(r, c.irp);
        EXPECT_EQ(r["run"]["faults_injected"][0].get<std::string>().rfind(std::string("PDO ") + c.irp + " 0xC0000001", 0), 0u);
        if (c.updated) ExpectUpdated(r["camera"], c.irp);
        c.check(r, Trace(name));
    }
}

// Disable and enable, and a shutdown: a removal waits for the update
// thread, so the run it ends is the disable's and the enable comes after it;
// the shutdown takes the device to D3 and the run still ends cleanly.
TEST_F(Life, DisableEnableAndShutdown) {
    MakeFirmware();
    json s = UpdateScenario();
    s["events"] = {{{"at_ms", 5000}, {"event", "disable"}}, {{"at_ms", 6000}, {"event", "enable"}},
                   {{"at_ms", 60000}, {"event", "shutdown"}}};
    json r = Run(s, "life");
    ExpectClean(r, "life");
    const json& runs = r["camera"]["update_runs"];
    ASSERT_GE(runs.size(), 2u);
    EXPECT_EQ(runs[0]["ended_by"], "disable");
    const uint64_t removed = runs[0]["end_ms"];
    EXPECT_EQ(r["run"]["events_applied"][0], "disable at 5000 ms");
    EXPECT_EQ(r["run"]["events_applied"][1], "enable at 6000 ms (applied at " + std::to_string(removed) + " ms)");
    EXPECT_EQ(runs[1]["start_ms"], removed) << "enabled at once after the removal";
    ExpectUpdated(r["camera"], "life");
    EXPECT_EQ(r["system_sleep"], json::array({"shutdown at 60000 ms: 0x00000000"}));
    EXPECT_EQ(r["camera"]["device_power"].back(), json({{"time_ms", 60000}, {"state", "D3"}}));
    bool disabled = false;
    for (const auto& q : r["requests"]) disabled |= q["request"] == "QUERY_REMOVE_DEVICE" && q["time_ms"] == 5000;
    EXPECT_TRUE(disabled);
}

// The PDO's capabilities and bus properties reach the driver: a camera that
// says it can wake from S3 in D2 is put in D2 for S3, and in D3 for S4; the
// report lists the system's sleeps and the power requests of each.
TEST_F(Life, PdoCapabilitiesReachTheDriver) {
    MakeFirmware();
    json s = UpdateScenario();
    s["camera"]["reenumerate_after_reset"] = false;
    s["pdo"] = {{"system_wake", "S3"}, {"device_wake", "D2"}, {"device_state", {{"S3", "D2"}, {"S4", "D3"}}}, {"bus_number", 7}};
    s["events"] = {{{"at_ms", 5000}, {"event", "sleep"}, {"state", "S3"}}, {{"at_ms", 6000}, {"event", "wake"}},
                   {{"at_ms", 7000}, {"event", "sleep"}, {"state", "S4"}}, {{"at_ms", 8000}, {"event", "wake"}}};
    json r = Run(s, "caps");
    ExpectClean(r, "caps");
    std::vector<std::string> states;
    for (const auto& p : r["camera"]["device_power"]) states.push_back(p["state"]);
    EXPECT_EQ(states, (std::vector<std::string>{"D2", "D0", "D3", "D0"}));
    EXPECT_EQ(r["system_sleep"], json::array({"S3 at 5000 ms: the system slept", "S0 at 6000 ms: the system woke",
                                               "S4 at 7000 ms: the system slept", "S0 at 8000 ms: the system woke"}));
    // Going to sleep: the manager's query, the driver's device power request,
    // then the system power request it passes down.
    std::vector<std::string> asleep;
    for (const auto& q : r["requests"])
        if (q["time_ms"] == 5000 || q["time_ms"] == 7000) asleep.push_back(q["request"]);
    EXPECT_EQ(asleep, (std::vector<std::string>{"QUERY_POWER(S3)", "SET_POWER(D2)", "SET_POWER(S3)", "QUERY_POWER(S4)",
                                                "SET_POWER(D3)", "SET_POWER(S4)"}));
}

}  // namespace
