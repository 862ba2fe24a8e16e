// Scenario file checks: a good file becomes the right model; every kind of
// problem is refused with the JSON pointer of the value at fault.
#include <gtest/gtest.h>

#include <fstream>

#include "Scenario.h"
#include "TempDirTest.h"

namespace fs = std::filesystem;
using namespace orvex::cli;

namespace {

// The scenario's own folder is case_, inside the test's folder.
class ScenarioTest : public clitest::TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        case_ = dir_ / "case";
        fs::create_directories(case_ / "fw");
        fs::create_directories(dir_ / "outside");
        Write(case_ / "eeprom.bin", std::string(1024, '\x11'));
    }

    static void Write(const fs::path& p, const std::string& bytes) {
        std::ofstream(p, std::ios::binary) << bytes;
    }
    Scenario Parse(const std::string& text) { return ParseScenario(text, case_, "s.json"); }

    // The issues a refused scenario yields.
    std::vector<ScenarioIssue> Issues(const std::string& text) {
        try {
            Parse(text);
        } catch (const ScenarioError& e) {
            return e.issues();
        }
        ADD_FAILURE() << "scenario accepted: " << text;
        return {};
    }

    fs::path case_;
};

TEST_F(ScenarioTest, FullScenarioBecomesTheModel) {
    Scenario sc = Parse(R"({
      "drives":   { "C": "fw", "d": "." },
      "settings": { "FX3": "C:\\fx3.img", "ISP": "C:\\isp.bin", "VERSION": "C:\\version.txt" },
      "log_mask": 33,
      "camera": {
        "version_record": "01 02 03 38 22 0C 05 00 00 00 AA 55",
        "eeprom": "eeprom.bin", "eeprom_size": 262144, "readiness_status": 161,
        "isp_fw_status": 3, "aud_fw_status": 1, "fw_status_zero_polls": 2, "isp_needs_reset": true,
        "download_order": ["audio", "isp"],
        "faults": [ { "request": "0xB6", "occurrence": 3, "kind": "stall" },
                    { "request": 183, "kind": "short", "length": 0 },
                    { "request": "0xB0", "kind": "stuck" } ]
      },
      "events": [ { "at_ms": 40000, "event": "unplug" }, { "at_ms": 5000, "event": "stop" } ]
    })");
    // What the runs use is checked through them (EndToEndTest.cpp); here
    // what they do not show.
    EXPECT_EQ(sc.drives.at('D'), fs::canonical(case_)) << "drive letters in either case";
    EXPECT_EQ(sc.settings.count("AUD"), 0u);  // absent key: absent registry value
    EXPECT_EQ((*sc.camera.version_record)[5], 0x0C);
    EXPECT_EQ(sc.camera.isp_fw_status, 3);
    EXPECT_EQ(sc.camera.fw_status_zero_polls, 2u);
    EXPECT_TRUE(sc.camera.isp_needs_reset);
    ASSERT_EQ(sc.camera.faults.size(), 3u);
    EXPECT_EQ(sc.camera.faults[1].kind, FaultKind::Short);
    EXPECT_EQ(sc.camera.faults[1].occurrence, 1u);
    EXPECT_EQ(sc.camera.faults[1].length, 0u);
    // Events come out in time order.
    ASSERT_EQ(sc.events.size(), 2u);
    EXPECT_EQ(sc.events[0].kind, EventKind::Stop);
    EXPECT_EQ(sc.events[1].at_ms, 40000u);
}

// Descriptors are the camera's raw answers: any length (none at all
// included), taken byte for byte however wrong they are. Nothing given means
// nothing set: no drives, no registry values, not even a log mask.
TEST_F(ScenarioTest, DescriptorsAsTheyStandAndNothingSetByDefault) {
    Scenario sc = Parse(R"({"camera": {"device_descriptor": "",
                                       "config_descriptor": "09 02 2C 01 01 01 00 80 FA"}})");
    ASSERT_TRUE(sc.camera.device_descriptor);
    EXPECT_TRUE(sc.camera.device_descriptor->empty());
    EXPECT_EQ(sc.camera.config_descriptor, (std::vector<uint8_t>{9, 2, 0x2C, 1, 1, 1, 0, 0x80, 0xFA}));
    Scenario none = Parse("{}");
    EXPECT_FALSE(none.camera.device_descriptor);
    EXPECT_FALSE(none.camera.config_descriptor);
    EXPECT_TRUE(none.drives.empty());
    EXPECT_TRUE(none.settings.empty());
    EXPECT_FALSE(none.log_mask);  // no "\Parameters" key at all
    EXPECT_FALSE(none.camera.version_record);
    EXPECT_FALSE(none.camera.eeprom);
    EXPECT_TRUE(none.events.empty());
}

TEST_F(ScenarioTest, EachProblemNamesItsJsonPath) {
    fs::create_symlink(dir_ / "outside", case_ / "escape");
    Write(dir_ / "outside" / "secret.bin", "x");
    Write(case_ / "marked.bin", std::string("\xff\xff" "FX3VER:" "\x01\x00\x00", 12));
    EXPECT_NO_THROW(Parse(R"({"camera": {"eeprom": "marked.bin", "version_record": "01 00 00 00 00 00 00 00 00 00 AA 55"}})"));
    struct Case {
        const char* text;
        const char* path;
        const char* words;
    } cases[] = {
        {R"({"setings": {}})", "/setings", "unknown key"},
        {R"({"log_mask": "abc"})", "/log_mask", "expected an integer"},
        {R"({"log_mask": 4294967296})", "/log_mask", "out of range"},
        {R"({"log_mask": 1.5})", "/log_mask", "fractional"},
        {R"({"settings": {"FX3": 5}})", "/settings/FX3", "expected a string"},
        {R"({"settings": {"fx3": "C:\\a"}})", "/settings/fx3", "unknown key"},
        {R"({"settings": []})", "/settings", "expected an object"},
        {R"({"camera": {"version_record": "01 02 0G"}})", "/camera/version_record", "bad hex"},
        {R"({"camera": {"version_record": "01 02 03"}})", "/camera/version_record", "expected 12 bytes"},
        {R"({"camera": {"download_order": []}})", "/camera/download_order", "expected an array"},
        {R"({"camera": {"download_order": ["isp", "fx3"]}})", "/camera/download_order/1", "expected \"isp\" or"},
        {R"({"camera": {"download_order": ["isp", 2]}})", "/camera/download_order/1", "expected a string"},
        {R"({"camera": {"device_descriptor": "12 01", "product_id": 5}})", "/camera/device_descriptor",
         "drop vendor_id and product_id"},
        {R"({"camera": {"eeprom": "missing.bin"}})", "/camera/eeprom", "does not exist"},
        {R"({"camera": {"eeprom": "fw"}})", "/camera/eeprom", "not a regular file"},
        {R"({"camera": {"eeprom": "../outside/secret.bin"}})", "/camera/eeprom", "outside"},
        {R"({"camera": {"eeprom": "escape/secret.bin"}})", "/camera/eeprom", "outside"},
        {R"({"camera": {"eeprom": "/etc/passwd"}})", "/camera/eeprom", "relative"},
        {R"({"camera": {"eeprom": "eeprom.bin", "eeprom_size": 512}})", "/camera/eeprom", "more than eeprom_size"},
        {R"({"camera": {"eeprom": "marked.bin", "version_record": "01 02 03 00 00 00 00 00 00 00 AA 55"}})",
         "/camera/version_record", "FX3VER: marker"},
        {R"({"camera": {"eeprom_size": 1000}})", "/camera/eeprom_size", "multiple of 256"},
        {R"({"camera": {"readiness_status": 256}})", "/camera/readiness_status", "out of range"},
        {R"({"camera": {"isp_needs_reset": 1}})", "/camera/isp_needs_reset", "true or false"},
        {R"({"camera": {"faults": {}}})", "/camera/faults", "expected an array"},
        {R"({"camera": {"faults": [{"request": "0xB6", "kind": "stal"}]}})", "/camera/faults/0/kind", "unknown fault kind"},
        {R"({"camera": {"faults": [{"kind": "gone"}, {"kind": "gone"}]}})", "/camera/faults/0", "missing key \"request\""},
        {R"({"camera": {"faults": [{"request": "0xB6", "kind": "stall", "occurrence": 0}]}})",
         "/camera/faults/0/occurrence", "out of range"},
        {R"({"camera": {"faults": [{"request": "0xB6", "kind": "stall", "length": 2}]}})",
         "/camera/faults/0/length", "only a \"short\" fault"},
        {R"({"drives": {"CD": "fw"}})", "/drives/CD", "not a drive letter"},
        {R"({"drives": {"C": "nowhere"}})", "/drives/C", "does not exist"},
        {R"({"drives": {"C": "eeprom.bin"}})", "/drives/C", "not a folder"},
        {R"({"drives": {"C": "fw", "c": "fw"}})", "/drives/c", "mapped twice"},
        {R"({"events": [{"at_ms": 5, "event": "explode"}]})", "/events/0/event", "unknown event"},
        {R"({"events": [{"event": "stop"}]})", "/events/0", "missing key \"at_ms\""},
        {R"({"events": [{"at_ms": -5, "event": "stop"}]})", "/events/0/at_ms", "expected an integer"},
        {R"({"events": {"at_ms": 5}})", "/events", "expected an array"},
        {R"({"camera": {"faults": [{"request": 1, "kind": "gone", "kind": "stall"}]}})", "/camera/faults/0/kind",
         "duplicate key"},
        {R"({"log_mask": 1, "log_mask": 2})", "/log_mask", "duplicate key"},
        {R"({"camera": )", "", "not valid JSON"},
        {R"([1, 2])", "", "expected an object"},
        // Several cameras, the PDO and the life events.
        {R"({"cameras": []})", "/cameras", "expected an array of 1 to 64"},
        {R"({"cameras": [{}], "camera": {}})", "/camera", "inside each entry"},
        {R"({"cameras": [{"camera": {"reenumerate_ms": -1}}]})", "/cameras/0/camera/reenumerate_ms", "expected an integer"},
        {R"({"cameras": [{"cam": {}}]})", "/cameras/0/cam", "unknown key"},
        {R"({"pdo": {"system_wake": "S9"}})", "/pdo/system_wake", "expected \"S0\" to \"S5\""},
        {R"({"pdo": {"device_state": {"S7": "D1"}}})", "/pdo/device_state/S7", "not a system state"},
        {R"({"pdo": {"device_state": {"S3": "D4"}}})", "/pdo/device_state/S3", "expected \"D0\" to \"D3\""},
        {R"({"pdo": {"bus_type_guid": "{123}"}})", "/pdo/bus_type_guid", "expected a GUID"},
        {R"({"pdo": {"faults": [{"irp": "eject", "status": "0xC0000001"}]}})", "/pdo/faults/0/irp", "unknown IRP"},
        {R"({"pdo": {"faults": [{"irp": "start", "status": 0}]}})", "/pdo/faults/0/status", "expected an error status"},
        {R"({"pdo": {"faults": [{"irp": "start"}]}})", "/pdo/faults/0", "missing key \"status\""},
        {R"({"events": [{"at_ms": 1, "event": "sleep"}]})", "/events/0", "needs \"state\""},
        {R"({"events": [{"at_ms": 1, "event": "sleep", "state": "S0"}]})", "/events/0/state", "no sleeping state"},
        {R"({"events": [{"at_ms": 1, "event": "sleep", "state": "S5"}]})", "/events/0/state", "expected \"S0\" to \"S4\""},
        {R"({"events": [{"at_ms": 1, "event": "wake", "camera": 0}]})", "/events/0/camera", "takes no \"camera\""},
        {R"({"events": [{"at_ms": 1, "event": "unplug", "camera": 1}]})", "/events/0/camera", "out of range"},
        {R"({"events": [{"at_ms": 1, "event": "wmi_set", "block": "wake"}]})", "/events/0", "needs \"value\""},
        {R"({"events": [{"at_ms": 1, "event": "wmi_set", "block": "fan", "value": 1}]})", "/events/0/block",
         "expected \"wake\" or \"power\""},
        {R"({"events": [{"at_ms": 1, "event": "wmi_set", "block": "power", "value": 256}]})", "/events/0/value", "out of range"},
        {R"({"events": [{"at_ms": 1, "event": "wmi_query", "block": "power", "value": 1}]})", "/events/0/value",
         "takes no \"value\""},
        {R"({"events": [{"at_ms": 1, "event": "stop", "state": "S3"}]})", "/events/0/state", "takes no \"state\""},
    };
    for (const auto& c : cases) {
        auto issues = Issues(c.text);
        ASSERT_FALSE(issues.empty()) << c.text;
        EXPECT_EQ(issues[0].path, c.path) << c.text;
        EXPECT_NE(issues[0].message.find(c.words), std::string::npos) << c.text << " -> " << issues[0].message;
    }
    // A camera index is checked against the list it names.
    EXPECT_NO_THROW(Parse(R"({"cameras": [{}, {}], "events": [{"at_ms": 1, "event": "unplug", "camera": 1}]})"));
}

// Several cameras, the PDO and the life events become the model; the
// one-camera form is camera 0 of the list.
TEST_F(ScenarioTest, CamerasPdoAndEventsBecomeTheModel) {
    Scenario one = Parse(R"({"settings": {"FX3": "C:\\a"}, "camera": {"reenumerate_ms": 500},
                             "pdo": {"system_wake": "S3", "device_state": {"S3": "D2"}}})");
    ASSERT_EQ(one.cameras.size(), 1u);
    EXPECT_EQ(one.cameras[0].settings.at("FX3"), "C:\\a");
    EXPECT_TRUE(one.cameras[0].camera.reenumerate_after_reset);
    EXPECT_EQ(one.cameras[0].pdo.system_wake, 4);            // PowerSystemSleeping3
    EXPECT_EQ(one.cameras[0].pdo.device_state.at(4), 3);     // S3 -> D2
    EXPECT_EQ(Parse("{}").cameras[0].camera.reenumerate_ms, 3000u);

    Scenario sc = Parse(R"({
        "pdo": {"faults": [{"irp": "query_power", "status": "0xC0000001"}]},
        "cameras": [
            {"settings": {"ISP": "C:\\i"}, "camera": {"reenumerate_after_reset": false}},
            {"pdo": {"device_wake": "D2", "bus_number": 3, "bus_type_guid": "{9D7DEBBC-C85D-11D1-9EB4-006008C3A19A}",
                     "faults": [{"irp": "start", "status": "0xC00000BB", "occurrence": 2}]}}],
        "events": [
            {"at_ms": 9, "event": "wmi_set", "camera": 1, "block": "power", "value": 128},
            {"at_ms": 5, "event": "sleep", "state": "S4"},
            {"at_ms": 7, "event": "wmi_query", "block": "wake"},
            {"at_ms": 8, "event": "shutdown"}]})");
    ASSERT_EQ(sc.cameras.size(), 2u);
    EXPECT_FALSE(sc.cameras[0].camera.reenumerate_after_reset);
    EXPECT_EQ(sc.camera.reenumerate_after_reset, false) << "camera is camera 0";
    EXPECT_EQ(sc.settings.at("ISP"), "C:\\i");
    ASSERT_EQ(sc.cameras[0].pdo.faults.size(), 1u) << "the top-level pdo is every camera's without its own";
    EXPECT_EQ(sc.cameras[0].pdo.faults[0].irp, "query_power");
    ASSERT_EQ(sc.cameras[1].pdo.faults.size(), 1u);
    EXPECT_EQ(sc.cameras[1].pdo.faults[0].status, 0xC00000BBu);
    EXPECT_EQ(sc.cameras[1].pdo.device_wake, 3);
    EXPECT_EQ(sc.cameras[1].pdo.bus_number, 3u);
    ASSERT_EQ(sc.events.size(), 4u);
    EXPECT_EQ(sc.events[0].kind, EventKind::Sleep);
    EXPECT_EQ(sc.events[0].sleep_state, 4);
    EXPECT_EQ(sc.events[1].camera, 0u);
    EXPECT_EQ(sc.events[3].kind, EventKind::WmiSet);
    EXPECT_EQ(sc.events[3].camera, 1u);
    EXPECT_EQ(sc.events[3].value, 128);
}

TEST_F(ScenarioTest, AllProblemsAreReportedTogether) {
    try {
        Parse(R"({"log_mask": "x", "camera": {"faults": [{"request": 1, "kind": "melt"}]}, "extra": 1})");
        FAIL() << "accepted";
    } catch (const ScenarioError& e) {
        ASSERT_EQ(e.issues().size(), 3u);
        std::string text = e.what();
        EXPECT_NE(text.find("s.json: /extra: unknown key"), std::string::npos) << text;
        EXPECT_NE(text.find("s.json: /log_mask: "), std::string::npos) << text;
        EXPECT_NE(text.find("s.json: /camera/faults/0/kind: unknown fault kind \"melt\""), std::string::npos) << text;
    }
}

TEST_F(ScenarioTest, LoadResolvesAgainstTheFilesFolder) {
    Write(case_ / "s.json", R"({"drives": {"C": "fw"}, "camera": {"eeprom": "eeprom.bin"}})");
    Scenario sc = LoadScenario(case_ / "s.json");
    EXPECT_EQ(sc.drives.at('C'), fs::canonical(case_ / "fw"));
    EXPECT_EQ(sc.base_dir, fs::canonical(case_));
    EXPECT_THROW(LoadScenario(case_ / "none.json"), ScenarioError);
}

TEST(HexBytes, AcceptsCommonSpellingsOnly) {
    EXPECT_EQ(ParseHexBytes("01 aB-ff:10"), (std::vector<uint8_t>{0x01, 0xAB, 0xFF, 0x10}));
    EXPECT_EQ(ParseHexBytes("0102"), (std::vector<uint8_t>{0x01, 0x02}));
    EXPECT_EQ(ParseHexBytes(""), std::vector<uint8_t>{});
    EXPECT_FALSE(ParseHexBytes("1 02"));
    EXPECT_FALSE(ParseHexBytes("0x01"));
    EXPECT_FALSE(ParseHexBytes("012"));
}

}  // namespace
