#include "Demo.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iomanip>
#include <sstream>

#include <nlohmann/json.hpp>

#include "Firmware.h"
#include "MakeCommands.h"
#include "Runner.h"
#include "ShippedDriver.h"

namespace orvex::cli {

namespace fs = std::filesystem;
namespace fw = orvex::firmware;

namespace {

// The camera before the update: FX3 1.0.0 in its EEPROM (with its own serial
// number, which the update must keep), ISP 10.00.00, audio 1.
constexpr std::array<uint8_t, 3> kOldFx3{1, 0, 0};
constexpr std::array<uint8_t, 3> kNewFx3{1, 2, 3};
constexpr uint32_t kOldIsp = 0x0A0000;
constexpr uint32_t kNewIsp = 0x0C2238;  // 12.34.56
constexpr uint8_t kOldAud = 1;
constexpr uint8_t kNewAud = 5;

std::string HexValue(uint32_t v, int digits) {
    std::ostringstream s;
    s << "0x" << std::uppercase << std::hex << std::setw(digits) << std::setfill('0') << v;
    return s.str();
}

// Removes the temporary folder unless it was asked for.
struct Folder {
    fs::path path;
    bool keep = false;
    ~Folder() {
        std::error_code ec;
        if (!keep && !path.empty()) fs::remove_all(path, ec);
    }
};

fs::path MakeTempFolder() {
    std::string pattern = (fs::temp_directory_path() / "orvex-demo-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot create a temporary folder");
    return pattern;
}

}  // namespace

std::string GeneratedInf() {
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        const fs::path beside = self.parent_path() / "ORVEX.inf";
        if (fs::is_regular_file(beside, ec)) return beside.string();
    }
#ifdef ORVEX_BUILD_INF
    if (fs::is_regular_file(ORVEX_BUILD_INF, ec)) return ORVEX_BUILD_INF;
#endif
    return "";
}

bool RunDemo(const DemoOptions& options, std::ostream& out) {
    const std::string inf = options.inf_path.empty() ? GeneratedInf() : options.inf_path;
    if (inf.empty()) throw std::runtime_error("cannot find the generated ORVEX.inf; name one with --inf");
    Folder folder;
    if (options.keep_dir.empty()) {
        folder.path = MakeTempFolder();
    } else {
        folder.path = fs::absolute(options.keep_dir);
        folder.keep = true;
        fs::create_directories(folder.path);
    }
    const fs::path dir = folder.path;
    fs::create_directories(dir / "fw");

    // New firmware, made with the builders.
    fw::Fx3Options fx3;
    fx3.size = 16384;
    fx3.version = kNewFx3;
    fx3.serial = "FACTORY001";
    fx3.seed = 11;
    WriteFile(dir / "fw" / "fx3.img", fw::MakeFx3Image(fx3));
    fw::IspOptions isp;
    isp.size = 256 * 1024;
    isp.text = fw::IspVersionText(kNewIsp);
    WriteFile(dir / "fw" / "isp.bin", fw::MakeIspImage(isp));
    fw::AudOptions aud;
    aud.version = kNewAud;
    WriteFile(dir / "fw" / "aud.bin", fw::MakeAudImage(aud));
    WriteFile(dir / "fw" / "version.txt", fw::VersionFileText(fw::Fx3VersionNumber(kNewFx3), kNewIsp, kNewAud));

    // The camera's EEPROM holds the old boot image with the camera's own serial.
    fw::Fx3Options old = fx3;
    old.version = kOldFx3;
    old.serial = "CAM0004711";
    old.seed = 5;
    WriteFile(dir / "eeprom.bin", fw::MakeFx3Image(old));

    // The INF installs the driver; the demo's own firmware folder overrides
    // the driver-store paths it writes.
    nlohmann::ordered_json scenario = {
        {"drives", {{"C", "fw"}}},
        {"settings",
         {{"FX3", "C:\\fx3.img"}, {"ISP", "C:\\isp.bin"}, {"AUD", "C:\\aud.bin"}, {"VERSION", "C:\\version.txt"}}},
        {"log_mask", 1},
        {"camera",
         {{"eeprom", "eeprom.bin"},
          {"version_record", "01 00 00 00 00 0A 01 00 00 00 AA 55"},
          {"readiness_status", 0xA1}}},
    };
    WriteFile(dir / "scenario.json", scenario.dump(2) + "\n");

    Scenario sc = LoadScenario(dir / "scenario.json");
    ProgressDisplay progress(stderr, !options.quiet && ::isatty(STDERR_FILENO));
    RunOptions run;
    run.trace_path = (dir / "trace.txt").string();
    run.pcap_path = (dir / "capture.pcap").string();
    run.progress = &progress;
    run.inf_path = inf;
    std::unique_ptr<hosted::KernelImage> image;
    if (!options.driver_path.empty()) {
        image = LoadShippedDriver(options.driver_path);
        run.driver_entry = image->Entry();
    }
    const double speed = options.speed < 0 ? (progress.enabled() ? 25.0 : 0.0) : options.speed;
    run.realtime = speed > 0;
    run.speed = speed > 0 ? speed : 1.0;
    if (!options.quiet)
        out << "Installing the driver from " << inf << "\n"
            << "Updating a simulated camera (FX3, ISP and audio firmware) ...\n"
            << std::flush;
    TimelineRecorder timeline;
    if (!options.timeline_path.empty()) run.timeline = &timeline;
    RunResult result = RunScenario(sc, run);
    WriteFile(dir / "report.json", ReportJson(result.report));
    if (!options.timeline_path.empty() &&
        !WriteTimelineSvg(options.timeline_path, "orvex-sim demo", RunNotes(result.report), timeline))
        throw std::runtime_error("cannot write the timeline to " + options.timeline_path);

    const CameraReport& c = result.report.camera;
    const RunInfo& r = result.report.run;
    auto row = [&](const char* part, const std::string& before, const std::string& after, uint32_t pages,
                   const char* where, uint32_t pageSize) {
        out << "  " << std::left << std::setw(6) << part << std::setw(12) << before << std::setw(12) << after
            << std::right << std::setw(6) << pages << " " << std::left << std::setw(8) << where << std::right
            << std::setw(10) << static_cast<uint64_t>(pages) * pageSize << "\n";
    };
    out << "\n  " << std::left << std::setw(6) << "part" << std::setw(12) << "before" << std::setw(12) << "after"
        << std::right << std::setw(15) << "pages written" << std::setw(10) << "bytes" << "\n";
    row("FX3", std::to_string(fw::Fx3VersionNumber(kOldFx3)), std::to_string(c.fx3_version), c.eeprom_pages_written,
        "EEPROM", 256);
    row("ISP", HexValue(kOldIsp, 6), HexValue(c.isp_version, 6), c.isp_pages_written, "flash", 4096);
    row("AUD", HexValue(kOldAud, 2), HexValue(c.aud_version, 2), c.aud_pages_written, "flash", 4096);
    // The camera's life after the update: its reset, re-enumeration and the
    // driver's second look, which must leave it alone.
    const auto& runs = c.update_runs;
    if (runs.size() >= 2 && runs[0].end_ms) {
        std::string second;
        for (const auto& [name, count] : runs[1].vendor_requests)
            second += (second.empty() ? "" : ", ") + name + (count > 1 ? " x" + std::to_string(count) : "");
        const bool alone = runs[1].vendor_requests.size() == 1 && runs[1].vendor_requests.count("UVCGet_VERSION") &&
                           runs[1].resets == 0;
        out << "\n  camera reset at " << FormatDuration(*runs[0].end_ms) << ", left the bus and came back "
            << FormatDuration(runs[1].start_ms - *runs[0].end_ms) << " later running its new firmware\n"
            << "  update run 2 (UID " << runs[1].uid << "): " << (second.empty() ? "no requests" : second) << " -> "
            << (alone ? "every version current, camera left alone" : "the camera was not left alone") << "\n";
    }
    out << "\n  device time " << FormatDuration(r.device_time_ms) << ", wall time " << FormatDuration(r.wall_ms)
        << ", " << r.transfers << " transfers, camera resets " << c.resets << ", run: " << r.ended_by << "\n";
    if (folder.keep) out << "  files kept in " << dir.string() << "\n";
    if (r.ended_by == kNoDriver) {
        out << "  " << inf << " names no hardware ID of the camera (" << r.hardware_id << "): no driver was loaded\n";
        return false;
    }
    if (result.platform_fault) {
        out << "  the platform caught a fault: " << result.message << "\n";
        return false;
    }
    return true;
}

}  // namespace orvex::cli
