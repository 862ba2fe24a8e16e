// End-to-end runs of the orvex-sim program: scenario files made here with the
// firmware builders, checked through the program's exit status, trace,
// capture and report.
#include <algorithm>
#include <iterator>
#include <map>

#include "CliFixture.h"
#include "Firmware.h"
#include "Sha256.h"
#include "SimDescriptors.h"

using namespace clitest;

namespace {

TEST_F(Cli, BadUsageExitsWithTwo) {
    for (auto args : std::vector<std::vector<std::string>>{
             {}, {"fly"}, {"run"}, {"run", "x.json", "--speed", "2"}, {"run", "x.json", "--realtime", "--speed", "-1"},
             {"make", "fx3"}, {"make", "isp", "-o", "x", "--version", "1.2"}, {"check"},
             {"check", "x.img", "--type", "elf"}}) {
        Outcome o = Sim(args);
        EXPECT_EQ(o.status, 2) << ::testing::PrintToString(args) << "\n" << o.err;
    }
    EXPECT_EQ(Sim({"--help"}).status, 0);
}

TEST_F(Cli, BadScenarioNamesThePathAndRunsNothing) {
    const std::string trace = (dir_ / "t.txt").string();
    // Each message itself is the scenario reader's (ScenarioTest.cpp).
    struct Case {
        json scenario;
        std::string message;
    } cases[] = {
        {{{"camera", {{"faults", {{{"request", "0xB6"}, {"kind", "melt"}}}}}}}, "/camera/faults/0/kind: unknown fault kind"},
        {{{"drives", {{"C", "../.."}}}}, "/drives/C: \"../..\" lies outside the scenario's folder tree"},
    };
    for (const auto& c : cases) {
        Outcome o = Sim({"run", Scenario(c.scenario).string(), "--trace", trace});
        EXPECT_EQ(o.status, 2) << o.err;
        EXPECT_NE(o.err.find(c.message), std::string::npos) << o.err;
        EXPECT_FALSE(fs::exists(trace)) << "a refused scenario must not run";
    }
    // An output that cannot be written stops the run before it starts.
    Outcome bad = Sim({"run", Scenario(json::object()).string(), "--trace", trace, "--report", "/nonexistent/r.json"});
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.err.find("cannot write the report"), std::string::npos) << bad.err;
    EXPECT_FALSE(fs::exists(trace));
    WriteAll(dir_ / "broken.json", "{ \"log_mask\": 1,, }");
    Outcome o = Sim({"run", (dir_ / "broken.json").string()});
    EXPECT_EQ(o.status, 2);
    EXPECT_NE(o.err.find("not valid JSON"), std::string::npos) << o.err;
}

// The same scenario writes the same capture byte for byte; `capture_epoch`
// moves every time stamp and nothing else; a schedule seed replays one
// interleaving of the threads, and the update is carried out as without one.
TEST_F(Cli, RunsAreReproducible) {
    MakeFirmware();
    json sc = UpdateScenario();
    auto capture = [&](const std::string& name, std::vector<std::string> extra = {}) {
        extra.insert(extra.end(), {"--pcap", (dir_ / (name + ".pcap")).string()});
        ExpectUpdated(Run(sc, name, extra)["camera"], name);
        return ReadAll(dir_ / (name + ".pcap"));
    };
    const std::string a = capture("a");
    ASSERT_GT(a.size(), 24u + 16);
    EXPECT_TRUE(a == capture("b")) << "two runs of one scenario differ";
    const std::string seeded = capture("seed", {"--schedule-seed", "11"});
    EXPECT_TRUE(seeded == capture("seed2", {"--schedule-seed", "11"})) << "two runs of one seed differ";
    auto seconds = [](const std::string& pcap, size_t at) {
        return uint32_t(uint8_t(pcap[at])) | uint32_t(uint8_t(pcap[at + 1])) << 8 |
               uint32_t(uint8_t(pcap[at + 2])) << 16 | uint32_t(uint8_t(pcap[at + 3])) << 24;
    };
    EXPECT_EQ(seconds(a, 24), 1704067200u) << "the first record starts at 2024-01-01";
    sc["capture_epoch"] = 1000;
    const std::string c = capture("c");
    ASSERT_EQ(c.size(), a.size());
    size_t records = 0;
    for (size_t at = 24; at + 16 <= a.size(); ++records) {
        EXPECT_EQ(seconds(a, at) - seconds(c, at), 1704067200u - 1000u);
        const size_t len = seconds(a, at + 8);
        EXPECT_EQ(a.substr(at + 4, 12 + len), c.substr(at + 4, 12 + len));
        at += 16 + len;
    }
    EXPECT_GT(records, 100u);
    // A seed orders the threads of a deterministic run only.
    EXPECT_EQ(Sim({"run", Scenario(sc).string(), "--schedule-seed", "1", "--realtime"}).status, 2);
}

// check through the program: the files `make` writes pass, a damaged one
// fails the whole check, and the text names the refusal.
TEST_F(Cli, CheckReportsThroughTheExitStatus) {
    MakeFirmware();
    std::vector<std::string> args = {"check"};
    for (const char* f : {"fx3.img", "isp.bin", "aud.bin", "version.txt"}) args.push_back((dir_ / "fw" / f).string());
    Outcome ok = Sim(args);
    EXPECT_EQ(ok.status, 0) << ok.out << ok.err;
    EXPECT_NE(ok.out.find("fx3.img: FX3 boot image, 8192 bytes: would be used"), std::string::npos) << ok.out;
    EXPECT_NE(ok.out.find("version    12.34.56"), std::string::npos) << ok.out;
    std::string fx3 = ReadAll(dir_ / "fw" / "fx3.img");
    fx3[100] ^= 1;
    WriteAll(dir_ / "bad.img", fx3);
    args.push_back((dir_ / "bad.img").string());
    Outcome bad = Sim(args);
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.out.find("bad.img: FX3 boot image, 8192 bytes: REFUSED: checksum mismatch"), std::string::npos)
        << bad.out;
}

// --timeline on a run with an injected fault: the SVG names the phases, the
// plug-and-play steps and the fault, and renders.
TEST_F(Cli, TimelineOfARun) {
    MakeFirmware();
    json sc = UpdateScenario();
    sc["camera"]["faults"] = json::array({{{"request", "0xB6"}, {"kind", "stall"}, {"occurrence", 2}}});
    const fs::path svg = dir_ / "run.svg";
    Run(sc, "run", {"--timeline", svg.string()});
    const std::string text = ReadAll(svg);
    ASSERT_EQ(text.rfind("<?xml", 0), 0u);
    // The manager's requests that move the camera are marked beside the
    // run's own steps.
    for (const char* want : {"ISP pages", "audio pages", "EEPROM read", "re-enumeration", "starting device",
                             "START_DEVICE", "QUERY_REMOVE_DEVICE", "REMOVE_DEVICE", "0xB6 UVCWrite_SPI_PAGE", "legend",
                             "faults injected (1)", "fault stall on 0xB6 UVCWrite_SPI_PAGE"})
        EXPECT_NE(text.find(want), std::string::npos) << want;
    if (std::system("command -v rsvg-convert >/dev/null 2>&1") == 0) {
        const std::string png = svg.string() + ".png";
        EXPECT_EQ(std::system(("rsvg-convert " + Quote(svg.string()) + " -o " + Quote(png) + " 2>&1").c_str()), 0);
        EXPECT_GT(fs::file_size(png), 1000u);
    }
    // An unwritable timeline stops the run before it starts.
    EXPECT_EQ(Sim({"run", Scenario(sc).string(), "--timeline", "/nonexistent/t.svg"}).status, 2);
}

// A run recorded with --pcap and replayed from that capture: the driver sees
// the same camera, so the trace and the capture come out the same. With
// another version file the driver asks for something else, and the first
// such request is reported with the one the recording holds.
TEST_F(Cli, RecordedRunReplaysToTheSameTraceAndCapture) {
    MakeFirmware();
    // A recording answers requests; it cannot leave the bus and come back on
    // its own, so the recorded camera does not re-enumerate either.
    json recordScenario = UpdateScenario();
    recordScenario["camera"]["reenumerate_after_reset"] = false;
    Run(recordScenario, "rec", {"--pcap", (dir_ / "rec.pcap").string()});
    json replay = recordScenario;
    replay["camera"] = {{"replay", "rec.pcap"}};
    json r = Run(replay, "rep", {"--pcap", (dir_ / "rep.pcap").string()});
    EXPECT_GT(Trace("rec").size(), 1000u);
    EXPECT_EQ(WithoutPointers(Trace("rep")), WithoutPointers(Trace("rec")));
    EXPECT_TRUE(ReadAll(dir_ / "rep.pcap") == ReadAll(dir_ / "rec.pcap")) << "captures differ";
    EXPECT_FALSE(r.at("run").contains("replay_divergence"));

    // The camera already holds the ISP and audio versions this file names:
    // the driver skips the ISP download the recording holds.
    WriteAll(dir_ / "fw" / "version2.txt", std::string("UVC_FX3=010203\r\nUVC_ISP=0A0000\r\nUVC_AUD=000001\r\n"));
    replay["settings"]["VERSION"] = "C:\\version2.txt";
    const std::string divergence = Run(replay, "diverged", {}, 1).at("run").at("replay_divergence");
    EXPECT_EQ(divergence.rfind("vendor request #3: received ", 0), 0u) << divergence;
    EXPECT_NE(divergence.find("the recording holds C0 B5 03 00 55 AA 01 00"), std::string::npos) << divergence;
    EXPECT_NE(last_.err.find(divergence), std::string::npos) << last_.err;
}

TEST_F(Cli, FullUpdateWithTraceCaptureAndReport) {
    MakeFirmware();
    auto bytes = [&](const char* name) {
        const std::string s = ReadAll(dir_ / "fw" / name);
        return std::vector<uint8_t>(s.begin(), s.end());
    };
    // Flash images take whole pages; the rest of the last one is erased.
    auto padded = [](std::vector<uint8_t> b) {
        b.resize((b.size() + 4095) / 4096 * 4096, 0xFF);
        return b;
    };
    auto sha = [](const std::vector<uint8_t>& b) { return orvex::sim::Sha256::Hex(b); };
    const auto fx3 = bytes("fx3.img"), isp = bytes("isp.bin"), aud = bytes("aud.bin");
    ASSERT_EQ(ReadAll(dir_ / "fw" / "version.txt"), "UVC_FX3=010203\r\nUVC_ISP=0C2238\r\nUVC_AUD=000005\r\n");
    ASSERT_EQ(orvex::firmware::FindSerial(fx3)->serial, "FACTORY001");

    const std::string trace = (dir_ / "trace.txt").string(), pcap = (dir_ / "run.pcap").string();
    Outcome o = Sim({"run", Scenario(UpdateScenario()).string(), "--trace", trace, "--pcap", pcap, "--report",
                     (dir_ / "report.json").string()});
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_TRUE(o.out.empty()) << "no live view without a terminal";

    json r = Report();
    ExpectUpdated(r["camera"], "update");
    EXPECT_EQ(r["camera"]["isp_pages_written"], 3);
    EXPECT_EQ(r["camera"]["aud_pages_written"], (aud.size() + 4095) / 4096);
    EXPECT_EQ(r["camera"]["resets"], 1);
    EXPECT_EQ(r["camera"]["isp_flash_sha256"], sha(padded(isp)));
    EXPECT_EQ(r["camera"]["aud_flash_sha256"], sha(padded(aud)));
    // The EEPROM holds the new image with the camera's own serial carried over.
    std::vector<uint8_t> eeprom(262144, 0xFF);
    auto expected = orvex::firmware::WithSerial(fx3, "CAM0004711");
    std::copy(expected.begin(), expected.end(), eeprom.begin());
    EXPECT_EQ(r["camera"]["eeprom_sha256"], sha(eeprom));
    EXPECT_GT(r["camera"]["eeprom_pages_written"].get<int>(), 0);
    EXPECT_LE(r["camera"]["eeprom_pages_written"].get<int>(), 32);
    EXPECT_EQ(r["run"]["ended_by"], "update finished");
    EXPECT_GT(r["run"]["device_time_ms"].get<int>(), 30000) << "the ISP step alone waits for the camera";
    ExpectClean(r, "update");
    EXPECT_GT(r["pool"]["peak_bytes"].get<int>(), 229920) << "the audio file was held in pool";

    // The trace is the driver's own output and nothing else.
    std::string text = ReadAll(trace);
    EXPECT_EQ(text.rfind("ORVEX : ", 0), 0u) << text.substr(0, 200);
    EXPECT_NE(text.find("DEVICE(0x"), std::string::npos);
    EXPECT_NE(text.find("Current Version 0x1, 0x0, 0x0, 0x0, 0x0, 0xa 0x1, 0x0, 0x0, 0x0 0xaa, 0x55\n"), std::string::npos);
    EXPECT_NE(text.find("Find the current serial number at 0x"), std::string::npos);
    EXPECT_EQ(text.find("orvex-sim"), std::string::npos);
    EXPECT_EQ(text.find("[device"), std::string::npos);
    // The whole life through the driver's own routines, in order: loaded,
    // added and started by the plug-and-play manager; the camera resets into
    // its new firmware and drops off the bus (surprise removal, removal, the
    // driver unloads with its last device); it comes back, the driver is
    // loaded and started again, finds nothing to do, and is removed on
    // request and unloaded at the end.
    size_t at = 0;
    for (const char* line :
         {"ORVEX :  -DriverEntry(0)\n", "ORVEX :  ++++ DriverAddDevice driver object 0x", "ORVEX :  -DeviceAdd() Status 0\n",
          "ORVEX :  -DeviceStart() completed (0)\n", "UVCReset_ID 1 \n", "ORVEX :  ++DeviceSurpriseRemoval()\n",
          "ORVEX :  +DrvFreeUId() UId 1 \n", "ORVEX :  +DeviceRemove() Dev 0 \n", "ORVEX :  -DriverUnload\n",
          "ORVEX :  -DriverEntry(0)\n", "ORVEX :  +DeviceAdd() UId 1 \n", "ORVEX :  -DeviceStart() completed (0)\n",
          "ORVEX :  +DeviceStop()\n", "ORVEX :  +DeviceRemove() Dev 1 \n", "ORVEX :  +DrvFreeUId() UId 1 \n",
          "ORVEX :  -DriverUnload\n"}) {
        const size_t found = text.find(line, at);
        ASSERT_NE(found, std::string::npos) << "missing or out of order: " << line;
        at = found + 1;
    }
    EXPECT_EQ(Count(text, "UVCReset_ID"), 1u) << "one reset only";

    // The capture carries exactly the flash images, page by page, and the
    // bus moved what the report counts.
    std::string pages;
    size_t count = 0;
    for (const auto& v : VendorSetups(ReadAll(pcap)))
        if (v.request == 0xB6) pages += v.data, ++count;
    EXPECT_EQ(count, r["camera"]["isp_pages_written"].get<size_t>() + r["camera"]["aud_pages_written"].get<size_t>());
    std::string both;
    for (const auto* image : {&isp, &aud}) {
        const auto p = padded(*image);
        both.append(p.begin(), p.end());
    }
    EXPECT_TRUE(pages == both) << "captured " << pages.size() << " bytes";
    EXPECT_GE(r["run"]["bytes_out"].get<size_t>(), both.size());
}

// Firmware files as a camera maker ships them, without our builders' leading
// markers: the camera still takes each image into the right flash, by its
// content or, when the scenario says so, by the order of the downloads.
TEST_F(Cli, PlainFirmwareFilesReachTheirFlashes) {
    MakeFirmware();
    for (const char* name : {"isp.bin", "aud.bin"}) {
        std::string bytes = ReadAll(dir_ / "fw" / name);
        bytes.replace(0, 4, "\x7F\x01\x02\x03");
        std::ofstream(dir_ / "fw" / name, std::ios::binary) << bytes;
    }
    json byOrder = UpdateScenario();
    byOrder["camera"]["download_order"] = {"audio", "isp"};  // the wrong way round, on purpose
    struct Case {
        const char* name;
        json scenario;
        uint32_t isp;
        int aud;
    } cases[] = {{"content", UpdateScenario(), 0x0C2238, 5}, {"order", byOrder, 0x0A0000, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        json r = Run(c.scenario, c.name);
        EXPECT_EQ(r["camera"]["isp_version"], c.isp);
        EXPECT_EQ(r["camera"]["aud_version"], c.aud);
    }
}

// A camera given its own descriptors: a sound copy of a real camera's runs
// the update under its IDs. (A hostile configuration descriptor failing the
// start is the driver's own test, tests/usb/HostileDescriptorTest.cpp.)
TEST_F(Cli, CameraWithItsOwnDescriptors) {
    MakeFirmware();
    std::string config;
    for (uint8_t b : orvex::sim::BuildDefaultConfigDescriptor()) {
        char two[4];
        std::snprintf(two, sizeof two, "%02X ", b);
        config += two;
    }
    json s = UpdateScenario();
    s["camera"]["device_descriptor"] = "12 01 00 02 EF 02 01 40 34 12 78 56 00 01 01 02 03 01";
    s["camera"]["config_descriptor"] = config;
    const json r = Run(s, "own");
    EXPECT_EQ(r["run"]["ended_by"], "update finished");
    EXPECT_EQ(r["camera"]["isp_pages_written"], 3);
    EXPECT_NE(Trace("own").find("DEVICE(0x5678), PRODUCT(0x1234)\n"), std::string::npos);
}

TEST_F(Cli, EventsAndTimeLimitEndTheRun) {
    MakeFirmware();
    // An ISP that keeps reporting FF FF FF holds the thread in its version loop.
    json stuck = UpdateScenario();
    stuck["camera"]["version_record"] = "01 00 00 FF FF FF 01 00 00 00 AA 55";
    // A stop event is the manager's rebalance: query-stop, stop, start. The
    // stop ends the update thread, the start runs a new one from the top.
    json stop = stuck;
    stop["events"] = {{{"at_ms", 10000}, {"event", "stop"}}};
    stop["time_limit_ms"] = 20000;
    json r = Run(stop, "stop");
    EXPECT_EQ(r["run"]["ended_by"], "time limit");
    EXPECT_EQ(r["run"]["events_applied"], json::array({"stop at 10000 ms"}));
    EXPECT_EQ(r["run"]["device_time_ms"], 20000);
    std::string text = Trace("stop");
    EXPECT_EQ(Count(text, "ORVEX :  -DeviceStart() completed (0)\n"), 2u);
    const size_t stopAt = text.find("ORVEX :  +DeviceStop()\n");
    ASSERT_NE(stopAt, std::string::npos);
    EXPECT_LT(stopAt, text.rfind("ORVEX :  ++DeviceStart()\n"));
    // One reset every 2 s in each thread; each thread sees its stop at its
    // next loop start.
    const int resets = r["camera"]["isp_resets"];
    EXPECT_GE(resets, 8);
    EXPECT_LE(resets, 10);
    EXPECT_EQ(Count(text, "Reset ISP rxbuf[0] = "), static_cast<size_t>(resets));
    EXPECT_EQ(r["camera"]["isp_pages_written"], 0);

    json limited = stuck;
    limited["time_limit_ms"] = 5000;
    EXPECT_EQ(Run(limited, "limit")["run"]["ended_by"], "time limit");
    // Paced against the wall clock, 6 virtual seconds at speed 100 take 60 ms or more.
    r = Run(limited, "rt", {"--realtime", "--speed", "100"});
    EXPECT_EQ(r["run"]["ended_by"], "time limit");
    EXPECT_GE(r["run"]["wall_ms"].get<int>() * 100, r["run"]["device_time_ms"].get<int>() - 100);
}

// A USB stack that holds the first version read for good: the driver cancels
// it after 10 s and waits for its completion, which never comes. Removing the
// device at the time limit, or stopping it at a stop event, then waits for the
// update thread in the PnP manager's thread, nothing can run any more, and the
// platform reports the deadlock.
TEST_F(Cli, StuckUsbStackEndsInAReportedDeadlock) {
    MakeFirmware();
    json s = UpdateScenario();
    s["camera"]["faults"] = {{{"request", "0xB0"}, {"kind", "stuck"}}};
    s["time_limit_ms"] = 60000;
    json r = Run(s, "stuck", {}, 1);
    const std::string lead = "orvex-sim: the platform caught a fault: deadlock at virtual time ";
    ASSERT_NE(last_.err.find(lead), std::string::npos) << last_.err;
    const std::string message = last_.err.substr(last_.err.find(lead));
    // Both threads, what each waits on, which one is the driver's, and the
    // request the stack never completed.
    for (const char* part : {"\n  thread 'PnP manager' waits in KeWaitForSingleObject for: thread object 0x",
                             "waits in KeWaitForSingleObject for: notification event 0x",
                             "' is the driver's update thread\n",
                             "\n  the USB stack never completed transfer #",
                             "(vendor request 0xB0, submitted at ",
                             " ms, cancelled by the driver, injected fault \"stuck\")\n",
                             "\n(and "})
        EXPECT_NE(message.find(part), std::string::npos) << part << "\n" << message;

    EXPECT_EQ(r["run"]["ended_by"], "fault");
    EXPECT_EQ(r["run"]["device_time_ms"], 60000) << "found when the time limit removes the device";
    EXPECT_LT(r["run"]["wall_ms"].get<int>(), 5000);
    EXPECT_EQ(r["run"]["faults_injected"], json::array({"stuck on request B0 #1"}));
    EXPECT_EQ(r["camera"]["isp_pages_written"], 0);
    const auto& faults = r["platform_faults"];
    ASSERT_GE(faults.size(), 3u);
    const std::string first = faults[0];
    EXPECT_EQ(message.rfind("orvex-sim: the platform caught a fault: " + first + "\n(and ", 0), 0u)
        << "the message is the report's first fault";
    EXPECT_EQ(first.rfind("deadlock at virtual time ", 0), 0u) << first;
    EXPECT_NE(first.find("injected fault \"stuck\""), std::string::npos) << first;
    auto listed = [&](const std::string& text) {
        return std::any_of(faults.begin(), faults.end(),
                           [&](const json& f) { return f.get<std::string>().find(text) != std::string::npos; });
    };
    EXPECT_TRUE(listed("was never completed: a 'stuck' fault held it")) << faults.dump(2);
    EXPECT_TRUE(listed("IRP leak: IRP ")) << faults.dump(2);
    // The deadlock is listed once, with its explanation.
    EXPECT_FALSE(listed("verifier: deadlock")) << faults.dump(2);

    // A stop event finds it just the same, at its own time.
    s.erase("time_limit_ms");
    s["events"] = {{{"at_ms", 15000}, {"event", "stop"}}};
    r = Run(s, "stop", {}, 1);
    EXPECT_NE(last_.err.find(lead), std::string::npos) << last_.err;
    EXPECT_EQ(r["run"]["events_applied"], json::array({"stop at 15000 ms"}));
    EXPECT_EQ(r["run"]["device_time_ms"], 15000);
}

// The generated INF with `from` replaced by `to` (CRLF line ends kept) written
// to ORVEX.inf, and the number of the line the replacement is on.
int EditInf(const fs::path& dir, const std::string& from, const std::string& to) {
    std::string text = ReadAll(ORVEX_INF_PATH);
    const size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at == std::string::npos) return 0;
    WriteAll(dir / "ORVEX.inf", text.replace(at, from.size(), to));
    return 1 + static_cast<int>(std::count(text.begin(), text.begin() + at, '\n'));
}

TEST_F(Cli, InfInstallWritesTheFirmwarePathsAndTheScenarioOverridesThem) {
    MakeFirmware();
    // The firmware in the package's driver-store folder on drive C, where
    // the INF's paths point.
    const fs::path store = dir_ / "c" / "Windows" / "System32" / "DriverStore" / "FileRepository" / "orvex.inf_amd64_0";
    fs::create_directories(store);
    for (const char* f : {"fx3.img", "isp.bin", "aud.bin", "version.txt"}) fs::copy_file(dir_ / "fw" / f, store / f);
    json sc = UpdateScenario();
    sc.erase("settings");
    sc.erase("log_mask");
    sc["drives"] = {{"C", "c"}};
    json r = Run(sc, "inf", {"--inf", ORVEX_INF_PATH});
    EXPECT_EQ(r["run"]["ended_by"], "update finished");
    EXPECT_EQ(r["run"]["inf"], ORVEX_INF_PATH);
    ExpectUpdated(r["camera"], "inf");
    // DriverEntry read the INF's log mask (errors only): no frame lines.
    EXPECT_NE(Trace("inf").find("+DriverEntry"), std::string::npos);
    EXPECT_EQ(Trace("inf").find("+DeviceAdd()"), std::string::npos) << Trace("inf").substr(0, 400);

    // The scenario's paths and log mask win over the INF's: the driver-store
    // folder is empty now, the firmware is on drive D.
    fs::remove_all(store);
    fs::create_directories(store);
    sc["drives"] = {{"C", "c"}, {"D", "fw"}};
    sc["settings"] = {{"FX3", "D:\\fx3.img"}, {"ISP", "D:\\isp.bin"}, {"AUD", "D:\\aud.bin"}, {"VERSION", "D:\\version.txt"}};
    sc["log_mask"] = 33;
    r = Run(sc, "scenario", {"--inf", ORVEX_INF_PATH});
    EXPECT_EQ(r["run"]["ended_by"], "update finished");
    EXPECT_EQ(r["camera"]["isp_version"], 0x0C2238);
    EXPECT_NE(Trace("scenario").find("EnableLogs from registry = 33\n"), std::string::npos);
}

TEST_F(Cli, CameraTheInfDoesNotNameGetsNoDriver) {
    MakeFirmware();
    ASSERT_GT(EditInf(dir_, "PID_0CA3", "PID_0CA4"), 0);
    json r = Run(UpdateScenario(), "other", {"--inf", (dir_ / "ORVEX.inf").string()}, 3);
    EXPECT_NE(last_.err.find("names no hardware ID of the camera (USB\\VID_1209&PID_0CA3): no driver was loaded"),
              std::string::npos)
        << last_.err;
    EXPECT_EQ(r["run"]["ended_by"], "no driver");
    EXPECT_EQ(r["run"]["hardware_id"], "USB\\VID_1209&PID_0CA3");
    EXPECT_EQ(r["camera"]["eeprom_pages_written"], 0);
    EXPECT_EQ(r["camera"]["isp_pages_written"], 0);
    EXPECT_TRUE(r["platform_faults"].empty());
    EXPECT_TRUE(Trace("other").empty()) << "DriverEntry never ran";
}

TEST_F(Cli, RefusedInfIsReportedWithItsLineAndNothingRuns) {
    MakeFirmware();
    struct Case {
        std::string from, to, what;
    } cases[] = {
        {"[Strings]", "[Strings", "section"},                      // syntax: an unclosed section header
        {"HKR,,VERSION,", "HKR,,VERSIONS,", "VERSIONS"},           // a value the driver does not read
        {"ServiceBinary = %13%\\ORVEX.sys", "ServiceBinary = %13%\\OTHER.sys", "OTHER.sys"},  // an unknown binary
    };
    for (const auto& c : cases) {
        const int line = EditInf(dir_, c.from, c.to);
        ASSERT_GT(line, 0);
        fs::remove(dir_ / "refused.rep");
        Run(UpdateScenario(), "refused", {"--inf", (dir_ / "ORVEX.inf").string()}, 2);
        const std::string& err = last_.err;
        EXPECT_NE(err.find("the INF was refused"), std::string::npos) << err;
        EXPECT_NE(err.find("ORVEX.inf(" + std::to_string(line) + "): "), std::string::npos) << c.to << "\n" << err;
        EXPECT_NE(err.find(c.what), std::string::npos) << err;
        EXPECT_TRUE(ReadAll(dir_ / "refused.rep").empty()) << "no run, no report";
    }
}

TEST_F(Cli, DemoPrintsTheBeforeAfterTable) {
    Outcome o = Sim({"demo", "--keep", (dir_ / "demo").string(), "--timeline", (dir_ / "demo.svg").string()});
    ASSERT_EQ(o.status, 0) << o.err;
    const std::string svg = ReadAll(dir_ / "demo.svg");
    EXPECT_EQ(svg.rfind("<?xml", 0), 0u);
    for (const char* want : {"START_DEVICE", "re-enumeration", "faults injected (0)"})
        EXPECT_NE(svg.find(want), std::string::npos) << want;
    json r = json::parse(ReadAll(dir_ / "demo" / "report.json"));
    std::map<std::string, std::vector<std::string>> rows;
    std::istringstream lines(o.out);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::vector<std::string> w{std::istream_iterator<std::string>(words), {}};
        if (!w.empty()) rows[w[0]] = w;
    }
    using V = std::vector<std::string>;
    auto pages = [&](const char* key) { return std::to_string(r["camera"][key].get<int>()); };
    auto bytes = [&](const char* key, int size) { return std::to_string(r["camera"][key].get<int>() * size); };
    EXPECT_EQ(rows["FX3"], (V{"FX3", "10000", "10203", pages("eeprom_pages_written"), "EEPROM", bytes("eeprom_pages_written", 256)}));
    EXPECT_EQ(rows["ISP"], (V{"ISP", "0x0A0000", "0x0C2238", "64", "flash", "262144"}));
    EXPECT_EQ(rows["AUD"], (V{"AUD", "0x01", "0x05", "57", "flash", "233472"}));
    EXPECT_NE(o.out.find("run: update finished"), std::string::npos) << o.out;
    // The camera resets, comes back with its new firmware after the default
    // 3 s (and the 10 ms it takes to drop off), and is left alone.
    EXPECT_NE(o.out.find(", left the bus and came back 3.0s later running its new firmware\n"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("update run 2 (UID 1): UVCGet_VERSION -> every version current, camera left alone\n"),
              std::string::npos)
        << o.out;
    // Installed from the generated INF, its paths overridden by the demo's own.
    EXPECT_EQ(r["run"]["inf"], ORVEX_INF_PATH);
    EXPECT_LT(r["run"]["wall_ms"].get<int>(), 20000);
    EXPECT_TRUE(fs::exists(dir_ / "demo" / "trace.txt"));
}

}  // namespace
