#include "Runner.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <stdexcept>

#include <hosted/hosted.h>
#include <hosted/inf.h>
#include <hosted/pnp.h>

#include "DriverView.h"
#include "ReplayDevice.h"
#include "TimelineBus.h"
#include "Driver.h"
#include "Sha256.h"
#include "SimCamera.h"
#include "SimOnBus.h"
#include "UsbBus.h"

namespace orvex::cli {

namespace {

namespace fs = std::filesystem;
using orvex::sim::Camera;
using orvex::sim::CameraConfig;

uint64_t NowMs() { return static_cast<uint64_t>(hosted::Clock::Now() / hosted::kUnitsPerMs); }

std::string Hex(const uint8_t* p, size_t n) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        if (i) s += ' ';
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

std::string StatusHex(NTSTATUS status) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(status));
    return buf;
}

std::vector<uint8_t> ReadBytes(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + p.string());
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The camera of the scenario. The version record, when given with its
// 0xAA 0x55 marker, is split into the camera's own version knobs, so that the
// camera reports it until new firmware changes it; a record without the
// marker stands for a camera that never reports a valid record.
CameraConfig CameraConfigOf(const CameraSpec& c) {
    CameraConfig cfg;
    cfg.eepromSize = c.eeprom_size;
    if (c.eeprom) cfg.eepromContent = ReadBytes(*c.eeprom);
    if (c.version_record) {
        const auto& r = *c.version_record;
        if (r[10] == 0xAA && r[11] == 0x55) {
            cfg.fx3Version = {r[0], r[1], r[2]};
            cfg.ispVersion = r[3] | (r[4] << 8) | (static_cast<uint32_t>(r[5]) << 16);
            cfg.audioVersion = r[6];
            cfg.audioVersionHigh = {r[7], r[8]};
            cfg.recordByte9 = r[9];
        } else {
            std::array<uint8_t, 12> record{};
            std::copy(r.begin(), r.end(), record.begin());
            cfg.versionRecordOverride = record;
        }
    }
    cfg.readyStatus = c.readiness_status;
    cfg.ispStatusValue = c.isp_fw_status;
    cfg.audioStatusValue = c.aud_fw_status;
    cfg.zeroPollsAfterReboot = c.fw_status_zero_polls;
    cfg.ispNeedsReset = c.isp_needs_reset;
    if (c.vendor_id) cfg.vendorId = *c.vendor_id;
    if (c.product_id) cfg.productId = *c.product_id;
    if (c.device_descriptor) cfg.deviceDescriptor = *c.device_descriptor;
    if (c.config_descriptor) cfg.configDescriptor = *c.config_descriptor;
    if (c.erase_ms) cfg.eraseTime = std::chrono::milliseconds(*c.erase_ms);
    if (c.alive_after_flash_ms) cfg.aliveAfterFlash = std::chrono::milliseconds(*c.alive_after_flash_ms);
    if (c.reboot_ms) cfg.rebootTime = std::chrono::milliseconds(*c.reboot_ms);
    if (c.download_order) {
        cfg.routing = CameraConfig::Routing::Order;
        cfg.downloadOrder.clear();
        for (const auto& name : *c.download_order)
            cfg.downloadOrder.push_back(name == "isp" ? orvex::sim::Flash::Isp : orvex::sim::Flash::Audio);
    }
    return cfg;
}

hosted::usb::FaultSpec BusFaultOf(const FaultSpec& f) {
    using BK = hosted::usb::FaultKind;
    BK kind = BK::Stall;
    switch (f.kind) {
        case FaultKind::Stall: kind = BK::Stall; break;
        case FaultKind::Timeout: kind = BK::Timeout; break;
        case FaultKind::Gone: kind = BK::DeviceGone; break;
        case FaultKind::NoHandle: kind = BK::NullPipeHandle; break;
        case FaultKind::Short: kind = BK::ShortIn; break;
        case FaultKind::Stuck: kind = BK::Stuck; break;
    }
    auto busFault = hosted::usb::FaultSpec::Vendor(f.request, kind, f.occurrence);
    if (f.length) busFault.shortLength = *f.length;
    return busFault;
}

// Passes every control transfer to the camera and shows it on the live view.
class ObservedDevice final : public hosted::usb::BusDevice {
public:
    ObservedDevice(std::shared_ptr<hosted::usb::BusDevice> camera, ProgressDisplay* progress)
        : camera_(std::move(camera)), progress_(progress) {}
    hosted::usb::ControlResult Control(const hosted::usb::SetupPacket& s, uint8_t* data) override {
        if (progress_) progress_->Observe(s.bmRequestType, s.bRequest, s.wValue, s.wLength, s.IsIn() ? nullptr : data, NowMs());
        return camera_->Control(s, data);
    }
    std::vector<uint8_t> ConfigurationDescriptor() const override { return camera_->ConfigurationDescriptor(); }
    // Read once: the run names the driver's hardware ID from it before the
    // hub enumerates the camera, and a replayed camera answers only the
    // requests of its recording.
    std::vector<uint8_t> DeviceDescriptor() const override {
        std::lock_guard lock(mu_);
        if (!deviceDescriptor_) deviceDescriptor_ = camera_->DeviceDescriptor();
        return *deviceDescriptor_;
    }
    std::optional<hosted::usb::BusTiming> Timing() const override { return camera_->Timing(); }

private:
    std::shared_ptr<hosted::usb::BusDevice> camera_;
    ProgressDisplay* progress_;
    mutable std::mutex mu_;
    mutable std::optional<std::vector<uint8_t>> deviceDescriptor_;
};

void Phase(const RunOptions& o, const std::string& phase) {
    if (o.progress) o.progress->Phase(phase, NowMs());
    if (o.timeline) o.timeline->Event(hosted::Clock::Now(), TimelineEventKind::Pnp, phase);
}

// The driver's service name when it is registered directly; an INF names
// its own. The service key holds "\\Parameters" "Logs".
constexpr const char* kService = "ORVEX";

// What %13% of an INF stands for: the package's folder in the driver store,
// named after the INF file as the system names it ("orvex.inf_amd64_0").
std::string DriverStoreOf(const std::string& infPath) {
    std::string name = fs::path(infPath).filename().string();
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return "C:\\Windows\\System32\\DriverStore\\FileRepository\\" + name + "_amd64_0";
}

// Installs the driver from the INF. The scenario's settings go into each
// matching camera's driver key after the INF's own values and before the
// driver reads them, so that they override what the INF wrote.
hosted::InfInstallation InstallFromInf(const std::string& infPath, const std::map<std::string, std::string>& settings,
                                       PDRIVER_INITIALIZE entry) {
    hosted::InfOptions options;
    options.binaries = {{"ORVEX.sys", entry}};
    options.driverStore = DriverStoreOf(infPath);
    // The values the driver reads: the driver key's firmware paths and the
    // service's log mask; an INF that writes any other name there is refused.
    options.knownValues = {{"driver", {"FX3", "ISP", "AUD", "VERSION"}}, {"parameters", {"Logs"}}, {"service", {}}};
    options.deviceInstalled = [settings](PDEVICE_OBJECT pdo) {
        const std::string driverKey = hosted::Io::DriverKeyPath(pdo);
        for (const auto& [name, value] : settings) hosted::Registry::SetString(driverKey, name, value);
    };
    std::string error;
    auto installed = hosted::InfInstaller::Install(infPath, options, &error);
    if (!installed) throw InfRefused(error);
    return *installed;
}

// The hardware ID the driver is installed for: the camera's vendor and
// product as the hub reports them (the ID without the revision, so that any
// firmware revision of the camera matches).
std::string HardwareIdOf(const std::vector<uint8_t>& deviceDescriptor) {
    unsigned vid = 0, pid = 0;
    if (deviceDescriptor.size() >= 12) {
        vid = deviceDescriptor[8] | deviceDescriptor[9] << 8;
        pid = deviceDescriptor[10] | deviceDescriptor[11] << 8;
    }
    char id[32];
    std::snprintf(id, sizeof id, "USB\\VID_%04X&PID_%04X", vid, pid);
    return id;
}

// How the manager's add and start of the camera went: "" when the device
// runs, otherwise why the run ends at once. The start IRP's status, when one
// was sent, goes to `startStatus`.
std::string StartOutcome(PDEVICE_OBJECT pdo, std::string* startStatus) {
    hosted::IrpRecord start;
    const bool started = hosted::Pnp::LastIrp(pdo, IRP_MN_START_DEVICE, &start);
    if (started) *startStatus = StatusHex(start.status);
    if (hosted::Pnp::State(pdo) == hosted::DeviceState::Started) return "";
    // Still only enumerated: no installed driver names the camera's IDs.
    if (hosted::Pnp::State(pdo) == hosted::DeviceState::Enumerated && hosted::Pnp::Top(pdo) == pdo) return kNoDriver;
    if (started) return "start failed";
    // Neither DriverEntry's nor DriverAddDevice's status is visible from
    // outside; the trace holds the driver's own account of either.
    return "driver load or device add failed";
}

// The update thread of the camera's device, referenced while the run waits
// for it: the device may be removed (unplug) while the wait lasts.
class UpdateThread {
public:
    ~UpdateThread() { Release(); }
    explicit UpdateThread(std::string service) : service_(std::move(service)) {}
    // The thread of the device now running above `pdo` (after a start).
    void Take(PDEVICE_OBJECT pdo) {
        Release();
        thread_ = ReferenceUpdateThread(pdo, hosted::Pnp::Driver(service_));
        if (thread_) seen_ = thread_;
    }
    void Release() {
        if (thread_) ObDereferenceObject(thread_);
        thread_ = nullptr;
    }
    PVOID Get() const { return thread_; }
    // The last thread taken, for the deadlock report (may be released).
    void* Seen() const { return seen_; }

private:
    std::string service_;
    PVOID thread_ = nullptr;
    void* seen_ = nullptr;
};

// Waits on virtual time until the update thread has ended or `deadline`
// (100-ns units since boot) is reached; true when the thread has ended.
bool WaitForThread(PVOID thread, int64_t deadline, const RunOptions& o) {
    if (!thread) return true;
    for (;;) {
        int64_t now = hosted::Clock::Now();
        if (now >= deadline) return false;
        int64_t slice = deadline - now;
        // With a live view, wake once per virtual second to redraw the clocks.
        if (o.progress && o.progress->enabled()) slice = std::min<int64_t>(slice, hosted::Seconds(1));
        LARGE_INTEGER timeout;
        timeout.QuadPart = -slice;
        NTSTATUS s = KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &timeout);
        if (s == STATUS_SUCCESS) return true;
        if (o.progress) o.progress->Tick(NowMs());
    }
}

// The requests of the manager's log that change where the camera stands;
// the queries of enumeration and start would only crowd the picture.
bool ShownOnTimeline(const hosted::IrpRecord& r) {
    if (r.major == IRP_MJ_POWER) return r.minor == IRP_MN_SET_POWER || r.minor == IRP_MN_WAIT_WAKE;
    switch (r.minor) {
        case IRP_MN_START_DEVICE:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
        case IRP_MN_REMOVE_DEVICE:
            return true;
        default:
            return false;
    }
}

// The platform's deadlock report with what the run knows besides: which
// waiting thread is the driver's update thread, and the bus transfers that
// never completed (a USB stack that holds a request is the usual cause).
std::string ExplainDeadlock(const std::string& report, void* updateThread, const std::vector<hosted::usb::Transfer>& log) {
    std::string text = report;
    if (updateThread) {
        char key[64];
        std::snprintf(key, sizeof key, "thread object %p ('", updateThread);
        const size_t at = report.find(key);
        if (at != std::string::npos) {
            const size_t from = at + std::strlen(key);
            const size_t to = report.find("')", from);
            if (to != std::string::npos)
                text += "\n  thread '" + report.substr(from, to - from) + "' is the driver's update thread";
        }
    }
    for (const auto& t : log) {
        if (t.completed >= 0) continue;
        char buf[160];
        if (t.control && (t.setup[0] & 0x60) == 0x40)
            std::snprintf(buf, sizeof buf, "vendor request 0x%02X", t.setup[1]);
        else
            std::snprintf(buf, sizeof buf, "URB function 0x%04X", t.function);
        text += "\n  the USB stack never completed transfer #" + std::to_string(t.sequence) + " (" + buf +
                ", submitted at " + std::to_string(t.submitted / hosted::kUnitsPerMs) + " ms" +
                (t.cancelRequested ? ", cancelled by the driver" : "") +
                (t.fault ? std::string(", injected fault \"") + hosted::usb::FaultName(*t.fault) + "\"" : std::string()) +
                ")";
    }
    return text;
}

// Two reports of one problem differ only in a prefix: "verifier: " for a
// violation listed at the end, "after unload of <driver>: " for a leak found
// at unload and again at the end.
std::string ProblemKey(std::string p) {
    if (p.rfind("verifier: ", 0) == 0) p.erase(0, 10);
    if (p.rfind("after unload of ", 0) == 0) {
        const size_t colon = p.find(": ");
        if (colon != std::string::npos) p.erase(0, colon + 2);
    }
    return p;
}

void FillCameraReport(Camera& camera, CameraReport& r) {
    auto record = camera.VersionRecord();
    r.version_record = Hex(record.data(), record.size());
    r.fx3_version = Fx3VersionOf(record.data());
    r.isp_version = IspVersionOf(record.data());
    r.aud_version = record[6];
    auto stats = camera.Stats();
    r.eeprom_sha256 = stats.eepromSha256;
    r.isp_flash_sha256 = stats.ispSha256;
    r.aud_flash_sha256 = stats.audioSha256;
    r.eeprom_pages_written = stats.eepromPagesWritten;
    r.isp_pages_written = stats.ispPagesWritten;
    r.aud_pages_written = stats.audioPagesWritten;
    r.resets = stats.resets;
    r.isp_resets = stats.ispResets;
    r.update_mode = camera.InUpdateMode();
}

}  // namespace

RunResult RunScenario(const Scenario& sc, const RunOptions& o) {
    RunResult result;
    RunReport& rep = result.report;
    std::vector<std::string> problems;
    std::mutex problemsMu;

    // Output files first: nothing runs when one of them cannot be written.
    if (!o.trace_path.empty()) {
        std::ofstream t(o.trace_path, std::ios::binary | std::ios::trunc);
        if (!t) throw std::runtime_error("cannot write the trace to " + o.trace_path);
    }
    CameraConfig cameraConfig = CameraConfigOf(sc.camera);

    hosted::Options po;
    po.mode = o.realtime ? hosted::Options::Mode::RealTime : hosted::Options::Mode::Deterministic;
    po.speed = o.speed;
    po.traceFile = o.trace_path;
    po.mainThreadName = "orvex-sim";
    // Problems are collected for the report while the run lasts; afterwards
    // (also when the run is cut short by an exception) they go to stderr.
    struct HandlerScope {
        ~HandlerScope() {
            hosted::Platform::SetFailureHandler(
                [](const std::string& p) { std::fprintf(stderr, "orvex-sim: platform: %s\n", p.c_str()); });
        }
    } handlerScope;
    hosted::Platform::SetFailureHandler([&](const std::string& p) {
        std::lock_guard lock(problemsMu);
        problems.push_back(p);
    });

    const auto wallStart = std::chrono::steady_clock::now();
    {
        hosted::Platform platform(po);
        for (const auto& [letter, dir] : sc.drives) hosted::Files::MapDrive(letter, dir.string());

        // The camera model, or a recorded camera replayed from its capture.
        std::shared_ptr<Camera> camera;
        std::shared_ptr<orvex::sim::ReplayDevice> replay;
        if (sc.camera.replay) {
            auto recorded = orvex::sim::ReadUsbCapture(sc.camera.replay->string());
            if (!recorded.error.empty())
                throw std::runtime_error("cannot replay " + sc.camera.replay->string() + ": " + recorded.error);
            replay = std::make_shared<orvex::sim::ReplayDevice>(orvex::sim::TransfersOfCamera(recorded.transfers),
                                                                [](int64_t d) { hosted::Sleep(d); });
        } else {
            camera = orvex::sim::MakeCamera(cameraConfig);
        }
        auto observed = std::make_shared<ObservedDevice>(
            replay ? std::shared_ptr<hosted::usb::BusDevice>(replay) : std::shared_ptr<hosted::usb::BusDevice>(camera),
            o.progress);
        {
            // An empty hub first: faults and the capture are in place before
            // the camera's first request.
            hosted::usb::Bus bus;
            for (const auto& f : sc.camera.faults) {
                bus.AddFault(BusFaultOf(f));
                rep.run.faults_injected.push_back(std::string(FaultKindName(f.kind)) + " on request " +
                                                  Hex(&f.request, 1) + " #" + std::to_string(f.occurrence));
            }
            if (!o.pcap_path.empty() && !bus.StartCapture(o.pcap_path, sc.capture_epoch))
                throw std::runtime_error("cannot write the capture to " + o.pcap_path);

            // The driver is installed for the camera's hardware ID, or from
            // the INF for the IDs it names; the plug-and-play manager loads
            // it when the hub reports a matching camera.
            rep.run.hardware_id = HardwareIdOf(observed->DeviceDescriptor());
            std::string service = kService;
            PDRIVER_INITIALIZE entry = o.driver_entry ? o.driver_entry : &DriverEntry;
            if (o.inf_path.empty()) {
                hosted::Pnp::RegisterDriver(service, entry, {rep.run.hardware_id});
            } else {
                service = InstallFromInf(o.inf_path, sc.settings, entry).service;
                rep.run.inf = o.inf_path;
            }
            // Over the INF's log mask: the driver reads it when it loads.
            if (sc.log_mask)
                hosted::Registry::SetDword(hosted::ServiceKeyPath(service) + "\\Parameters", "Logs", *sc.log_mask);
            hosted::Pnp::AddRootBus(bus.Hub(), "ROOT\\USB\\0000");

            Phase(o, "plugging in camera");
            const int port = bus.Plug(observed);
            PDEVICE_OBJECT pdo = bus.Pdo(port);
            // The device's driver key holds the file paths before the
            // manager gets to start the device (it runs only once this
            // thread waits). From an INF, the install writes them instead.
            if (o.inf_path.empty()) {
                const std::string driverKey = hosted::Io::DriverKeyPath(pdo);
                for (const auto& [name, value] : sc.settings) hosted::Registry::SetString(driverKey, name, value);
            }

            UpdateThread thread(service);
            const int64_t t0 = hosted::Clock::Now();
            try {
                Phase(o, "starting device");
                hosted::Pnp::WaitIdle();
                rep.run.ended_by = StartOutcome(pdo, &rep.run.start_status);
                if (rep.run.ended_by.empty()) thread.Take(pdo);
                const int64_t limit = t0 + hosted::Milliseconds(static_cast<int64_t>(sc.time_limit_ms));
                size_t next = 0;
                while (rep.run.ended_by.empty()) {
                    int64_t deadline = limit;
                    if (next < sc.events.size())
                        deadline = std::min(deadline, t0 + hosted::Milliseconds(static_cast<int64_t>(sc.events[next].at_ms)));
                    if (WaitForThread(thread.Get(), deadline, o)) {
                        rep.run.ended_by = "update finished";
                        break;
                    }
                    if (next < sc.events.size() &&
                        hosted::Clock::Now() >= t0 + hosted::Milliseconds(static_cast<int64_t>(sc.events[next].at_ms))) {
                        const EventSpec& e = sc.events[next++];
                        rep.run.events_applied.push_back(std::string(EventKindName(e.kind)) + " at " +
                                                         std::to_string(e.at_ms) + " ms");
                        if (e.kind == EventKind::Unplug) {
                            // The hub loses the camera; the manager surprise-removes
                            // and removes it, the update thread ends on its own.
                            Phase(o, "camera unplugged");
                            bus.Unplug(port);
                        } else {
                            // Rebalance: query-stop, stop, start. The restarted
                            // device runs a new update thread.
                            Phase(o, "stopping and restarting device");
                            hosted::Pnp::Rebalance(pdo);
                            hosted::Pnp::WaitIdle();
                            if (hosted::Pnp::State(pdo) != hosted::DeviceState::Started) {
                                rep.run.ended_by = "stop event";
                                break;
                            }
                            thread.Take(pdo);
                        }
                        continue;
                    }
                    rep.run.ended_by = "time limit";
                }
                rep.run.device_time_ms = static_cast<uint64_t>((hosted::Clock::Now() - t0) / hosted::kUnitsPerMs);
                // Removal on request (query-remove, remove), unless the camera
                // is gone already; the driver unloads after its last device.
                Phase(o, rep.run.ended_by == "time limit" ? "time limit reached, removing device" : "removing device");
                if (hosted::Pnp::State(pdo) == hosted::DeviceState::Started) hosted::Pnp::Disable(pdo);
                hosted::Pnp::RemoveRootBus(bus.Hub());
                hosted::Pnp::WaitIdle();
            } catch (const hosted::DeadlockError& e) {
                // The platform has unwound every waiting thread, the manager's
                // among them; the device can no longer be removed, and the
                // end-of-run checks report what is left.
                std::lock_guard lock(problemsMu);
                problems.push_back(ExplainDeadlock(e.report, thread.Seen(), bus.Log()));
                rep.run.ended_by = "fault";
                rep.run.device_time_ms = static_cast<uint64_t>((hosted::Clock::Now() - t0) / hosted::kUnitsPerMs);
            }
            thread.Release();
            if (!o.pcap_path.empty()) bus.StopCapture();
            if (o.timeline) {
                o.timeline->SetTransfers(TimelineTransfersOf(bus.Log()));
                for (const auto& r : hosted::Pnp::Log())
                    if (r.pdo == pdo && ShownOnTimeline(r))
                        o.timeline->Event(r.time, r.major == IRP_MJ_POWER ? TimelineEventKind::Power : TimelineEventKind::Pnp,
                                          r.Name());
            }
            for (const auto& t : bus.Log()) {
                ++rep.run.transfers;
                rep.run.bytes_out += t.out.size();
                rep.run.bytes_in += t.in.size();
            }
            if (camera) FillCameraReport(*camera, rep.camera);
            if (replay)
                if (auto d = replay->FirstDivergence()) rep.run.replay_divergence = orvex::sim::ReplayDevice::Describe(*d);
        }
        rep.pool.peak_bytes = hosted::Pool::PeakBytes();
        rep.pool.leaked_bytes = hosted::Pool::LiveBytes();
        rep.pool.leaked_allocations = hosted::Pool::LiveCount();
        platform.Finish();
        Phase(o, "done, " + rep.run.ended_by);
        if (o.progress) o.progress->Finish(NowMs());
    }
    rep.run.wall_ms = static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - wallStart).count());

    // The same problem may be reported as it happens and again at the end;
    // a deadlock's own report comes first with the run's explanation added,
    // so the bare copy the verifier keeps is dropped as well.
    std::vector<std::string> unique;
    for (auto& p : problems) {
        const std::string key = ProblemKey(p);
        const bool seen = std::any_of(unique.begin(), unique.end(), [&](const std::string& u) {
            const std::string k = ProblemKey(u);
            return k == key || k.rfind(key + "\n", 0) == 0;
        });
        if (!seen) unique.push_back(p);
    }
    rep.platform_faults = unique;
    if (!unique.empty()) {
        result.platform_fault = true;
        result.message = unique.front();
        if (unique.size() > 1)
            result.message += std::string(result.message.find('\n') != std::string::npos ? "\n" : " ") + "(and " +
                              std::to_string(unique.size() - 1) + " more; see the report)";
    }
    return result;
}

}  // namespace orvex::cli
