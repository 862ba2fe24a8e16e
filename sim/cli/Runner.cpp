#include "Runner.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>

#include <hosted/hosted.h>
#include <hosted/inf.h>
#include <hosted/pnp.h>
#include <hosted/power.h>
#include <hosted/wmi.h>

#include "DriverView.h"
#include "Life.h"
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
    cfg.reenumerateAfterReset = c.reenumerate_after_reset;
    cfg.reenumerateTime = std::chrono::milliseconds(c.reenumerate_ms);
    if (c.download_order) {
        cfg.routing = CameraConfig::Routing::Order;
        cfg.downloadOrder.clear();
        for (const auto& name : *c.download_order)
            cfg.downloadOrder.push_back(name == "isp" ? orvex::sim::Flash::Isp : orvex::sim::Flash::Audio);
    }
    return cfg;
}

hosted::usb::FaultSpec BusFaultOf(const FaultSpec& f, int port) {
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
    busFault.port = port;
    return busFault;
}

// Passes every control transfer to the camera and shows it on the live view.
// The port is the camera's as well: it is powered with this device, and when
// it drops off the bus or comes back on its own (re-enumeration), this device
// leaves or re-enters its port.
class ObservedDevice final : public hosted::usb::BusDevice {
public:
    ObservedDevice(std::shared_ptr<hosted::usb::BusDevice> camera, ProgressDisplay* progress, size_t index)
        : camera_(std::move(camera)), progress_(progress), index_(index) {
        camera_->LinkToBus([this](bool connect) { connect ? Reconnect() : Disconnect(); });
    }
    ~ObservedDevice() override { camera_->LinkToBus(nullptr); }
    hosted::usb::ControlResult Control(const hosted::usb::SetupPacket& s, uint8_t* data) override {
        if (progress_)
            progress_->Observe(s.bmRequestType, s.bRequest, s.wValue, s.wLength, s.IsIn() ? nullptr : data, NowMs(), index_);
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

protected:
    void PortChanged(bool plugged) override {
        if (plugged)
            camera_->AttachToPort([this] { return SignalWake(); });
        else
            camera_->DetachFromPort();
    }

private:
    std::shared_ptr<hosted::usb::BusDevice> camera_;
    ProgressDisplay* progress_;
    size_t index_;
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

// Installs the driver from the INF. `installed` runs for each matching
// camera after the INF's own values went into its driver key and before the
// driver reads them: the scenario's settings written there override the INF's.
hosted::InfInstallation InstallFromInf(const std::string& infPath, std::function<void(PDEVICE_OBJECT)> installed,
                                       PDRIVER_INITIALIZE entry) {
    hosted::InfOptions options;
    options.binaries = {{"ORVEX.sys", entry}};
    options.driverStore = DriverStoreOf(infPath);
    // The values the driver reads: the driver key's firmware paths and the
    // service's log mask; an INF that writes any other name there is refused.
    options.knownValues = {{"driver", {"FX3", "ISP", "AUD", "VERSION"}}, {"parameters", {"Logs"}}, {"service", {}}};
    options.deviceInstalled = std::move(installed);
    std::string error;
    auto result = hosted::InfInstaller::Install(infPath, options, &error);
    if (!result) throw InfRefused(error);
    return *result;
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
std::string ExplainDeadlock(const std::string& report, const std::vector<void*>& updateThreads,
                            const std::vector<hosted::usb::Transfer>& log) {
    std::string text = report;
    for (void* updateThread : updateThreads) {
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

// The (major, minor) of a PDO fault's IRP; bus_type_guid and bus_number
// are device properties, not IRPs (major 0).
std::pair<UCHAR, UCHAR> IrpOf(const std::string& name) {
    static const std::map<std::string, std::pair<UCHAR, UCHAR>> irps = {
        {"start", {IRP_MJ_PNP, IRP_MN_START_DEVICE}},
        {"query_capabilities", {IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES}},
        {"query_stop", {IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE}},
        {"stop", {IRP_MJ_PNP, IRP_MN_STOP_DEVICE}},
        {"query_remove", {IRP_MJ_PNP, IRP_MN_QUERY_REMOVE_DEVICE}},
        {"remove", {IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE}},
        {"surprise_removal", {IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL}},
        {"query_power", {IRP_MJ_POWER, IRP_MN_QUERY_POWER}},
        {"set_power", {IRP_MJ_POWER, IRP_MN_SET_POWER}},
        {"wait_wake", {IRP_MJ_POWER, IRP_MN_WAIT_WAKE}},
    };
    auto it = irps.find(name);
    return it == irps.end() ? std::pair<UCHAR, UCHAR>{0, 0} : it->second;
}

std::optional<GUID> ParseGuid(const std::string& text) {
    GUID g{};
    unsigned d[11];
    if (std::sscanf(text.c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &d[0], &d[1], &d[2], &d[3], &d[4], &d[5],
                    &d[6], &d[7], &d[8], &d[9], &d[10]) != 11)
        return std::nullopt;
    g.Data1 = d[0];
    g.Data2 = static_cast<USHORT>(d[1]);
    g.Data3 = static_cast<USHORT>(d[2]);
    for (int i = 0; i < 8; ++i) g.Data4[i] = static_cast<UCHAR>(d[3 + i]);
    return g;
}

// The capabilities the camera's PDO answers: the bus's own for a USB camera
// (by its remote-wakeup attribute) with the scenario's values over them.
std::optional<hosted::usb::PdoCapabilities> CapabilitiesOf(const PdoSpec& pdo, const hosted::usb::BusDevice& device) {
    if (!pdo.HasCapabilities()) return std::nullopt;
    const auto config = device.ConfigurationDescriptor();
    auto caps = hosted::usb::PdoCapabilities::UsbDefault(config.size() > 7 && (config[7] & 0x20));
    if (pdo.system_wake) caps.systemWake = static_cast<SYSTEM_POWER_STATE>(*pdo.system_wake);
    if (pdo.device_wake) caps.deviceWake = static_cast<DEVICE_POWER_STATE>(*pdo.device_wake);
    for (const auto& [system, deviceState] : pdo.device_state)
        caps.deviceState[system] = static_cast<DEVICE_POWER_STATE>(deviceState);
    return caps;
}

// A device of the camera is being installed (on the manager's thread,
// before the driver sees it): its driver key receives the camera's settings,
// its bus properties and their injected failures are put in place. Runs for
// every PDO the camera gets: at plug-in, after an unplug and replug, after
// its own re-enumeration.
void DeviceInstalled(Life& life, PDEVICE_OBJECT pdo) {
    if (!life.bus) return;  // the run's bus is gone: no camera of ours
    CameraLife* found = nullptr;
    for (auto& c : life.cameras)
        if (life.bus->Pdo(c.port) == pdo) found = &c;
    if (!found) return;
    const CameraUnit& unit = *found->unit;
    const std::string driverKey = hosted::Io::DriverKeyPath(pdo);
    for (const auto& [name, value] : unit.settings) hosted::Registry::SetString(driverKey, name, value);
    if (unit.pdo.bus_number) {
        const ULONG n = *unit.pdo.bus_number;
        hosted::Io::SetDeviceProperty(pdo, DevicePropertyBusNumber,
                                      {reinterpret_cast<const uint8_t*>(&n), reinterpret_cast<const uint8_t*>(&n) + sizeof n});
    }
    if (unit.pdo.bus_type_guid)
        if (auto g = ParseGuid(*unit.pdo.bus_type_guid))
            hosted::Io::SetDevicePropertyGuid(pdo, DevicePropertyBusTypeGuid, *g);
    for (const auto& f : unit.pdo.faults) {
        if (f.irp != "bus_type_guid" && f.irp != "bus_number") continue;
        hosted::Io::FailDeviceProperty(pdo, f.irp == "bus_type_guid" ? DevicePropertyBusTypeGuid : DevicePropertyBusNumber,
                                       static_cast<NTSTATUS>(f.status), f.occurrence.value_or(0));
    }
    std::lock_guard lock(life.mu);
    life.instances[hosted::Pnp::Instance(pdo)] = found->index;
    life.deviceKeys[found->index] = hosted::Io::DeviceKeyPath(pdo);
}

// Looks for a new update thread on each camera's started device: a start,
// a restart after a rebalance, an enable, a replug or a re-enumeration
// begins a new update run.
void Discover(Life& life) {
    PDRIVER_OBJECT driver = hosted::Pnp::Driver(life.service);
    for (auto& c : life.cameras) {
        PDEVICE_OBJECT pdo = life.Pdo(c);
        if (!pdo || hosted::Pnp::State(pdo) != hosted::DeviceState::Started) continue;
        const DeviceView view = ViewDevice(pdo, driver);
        if (view.found) c.uid = view.uid;
        if (!view.thread) continue;
        if (view.thread == c.thread) {
            ObDereferenceObject(view.thread);
            continue;
        }
        if (c.thread) ObDereferenceObject(c.thread);
        c.thread = view.thread;
        c.live = true;
        c.cause.clear();
        UpdateRunReport run;
        hosted::IrpRecord start;
        run.start_ms = hosted::Pnp::LastIrp(pdo, IRP_MN_START_DEVICE, &start) ? life.Rel(start.time) : life.NowRel();
        run.uid = view.uid;
        c.runs.push_back(run);
        if (life.o.progress) life.o.progress->NewRun(c.index);
    }
}

// The end of a camera's update run: what ended it and what it wrote.
void EndRun(Life& life, CameraLife& c) {
    c.live = false;
    if (c.runs.empty()) return;
    UpdateRunReport& run = c.runs.back();
    c.runEnds.push_back(hosted::Clock::Now());
    run.end_ms = life.Rel(c.runEnds.back());
    run.ended_by = !c.cause.empty() ? c.cause : life.bus->Plugged(c.port) ? "update finished" : "camera left the bus";
    if (c.camera) {
        const auto now = c.camera->Stats();
        run.isp_pages_written = now.ispPagesWritten - c.lastStats.ispPagesWritten;
        run.aud_pages_written = now.audioPagesWritten - c.lastStats.audioPagesWritten;
        run.eeprom_pages_written = now.eepromPagesWritten - c.lastStats.eepromPagesWritten;
        run.resets = now.resets - c.lastStats.resets;
        c.lastStats = now;
    }
}

// Ends the runs whose threads have ended by now.
void PollEnded(Life& life) {
    for (auto& c : life.cameras) {
        if (!c.live) continue;
        LARGE_INTEGER zero;
        zero.QuadPart = 0;
        if (KeWaitForSingleObject(c.thread, Executive, KernelMode, FALSE, &zero) == STATUS_SUCCESS) EndRun(life, c);
    }
}

// Waits on virtual time until one of the live update threads ends or
// `deadline` (100-ns units since boot) is reached.
void WaitForAnyThread(Life& life, int64_t deadline) {
    std::vector<PVOID> threads;
    for (auto& c : life.cameras)
        if (c.live) threads.push_back(c.thread);
    const int64_t now = hosted::Clock::Now();
    if (now >= deadline) return;
    LARGE_INTEGER timeout;
    timeout.QuadPart = -(deadline - now);
    if (threads.empty()) {
        KeDelayExecutionThread(KernelMode, FALSE, &timeout);
        return;
    }
    std::vector<KWAIT_BLOCK> blocks(threads.size());
    KeWaitForMultipleObjects(static_cast<ULONG>(threads.size()), threads.data(), WaitAny, Executive, KernelMode, FALSE,
                             &timeout, blocks.data());
}

void UpdateLiveView(Life& life) {
    if (!life.o.progress || !life.o.progress->enabled()) return;
    for (auto& c : life.cameras) life.o.progress->SetState(c.index, CameraStateText(life, c));
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
    std::vector<CameraConfig> configs;
    for (const auto& unit : sc.cameras) configs.push_back(CameraConfigOf(unit.camera));
    ApplyInjections(sc.inject, configs[0]);
    if (o.progress) o.progress->SetCameras(sc.cameras.size());

    hosted::Options po;
    po.mode = o.realtime ? hosted::Options::Mode::RealTime : hosted::Options::Mode::Deterministic;
    po.speed = o.speed;
    po.scheduleSeed = o.schedule_seed;
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

        Life life(sc, o, rep);
        life.cameras.resize(sc.cameras.size());
        // Each camera model, or a recorded camera replayed from its capture.
        for (size_t i = 0; i < sc.cameras.size(); ++i) {
            CameraLife& c = life.cameras[i];
            c.index = i;
            c.unit = &sc.cameras[i];
            if (c.unit->camera.replay) {
                const auto& path = *c.unit->camera.replay;
                auto recorded = orvex::sim::ReadUsbCapture(path.string());
                if (!recorded.error.empty())
                    throw std::runtime_error("cannot replay " + path.string() + ": " + recorded.error);
                c.replay = std::make_shared<orvex::sim::ReplayDevice>(orvex::sim::TransfersOfCamera(recorded.transfers),
                                                                      [](int64_t d) { hosted::Sleep(d); });
            } else {
                c.camera = orvex::sim::MakeCamera(configs[i]);
            }
            c.device = std::make_shared<ObservedDevice>(
                c.replay ? std::shared_ptr<hosted::usb::BusDevice>(c.replay) : std::shared_ptr<hosted::usb::BusDevice>(c.camera),
                o.progress, i);
            c.hardwareId = HardwareIdOf(c.device->DeviceDescriptor());
            // Ports are numbered from 1 in plug order.
            c.port = static_cast<int>(i) + 1;
        }
        std::vector<void*> threadsSeen;
        {
            // An empty hub first: faults and the capture are in place before
            // the cameras' first requests.
            hosted::usb::BusOptions busOptions;
            if (sc.pdo.bus_number) busOptions.busNumber = static_cast<uint16_t>(*sc.pdo.bus_number);
            hosted::usb::Bus bus(busOptions);
            life.bus = &bus;
            for (const auto& c : life.cameras) {
                const std::string whose = sc.cameras.size() > 1 ? "camera " + std::to_string(c.index) + ": " : "";
                for (const auto& f : c.unit->camera.faults) {
                    bus.AddFault(BusFaultOf(f, c.port));
                    rep.run.faults_injected.push_back(whose + FaultKindName(f.kind) + " on request " +
                                                      Hex(&f.request, 1) + " #" + std::to_string(f.occurrence));
                }
                for (const auto& f : c.unit->pdo.faults) {
                    const auto [major, minor] = IrpOf(f.irp);
                    if (major || minor) bus.FailIrp(major, minor, static_cast<NTSTATUS>(f.status), f.occurrence.value_or(0), c.port);
                    rep.run.faults_injected.push_back(whose + "PDO " + f.irp + " " + StatusHex(static_cast<NTSTATUS>(f.status)) +
                                                      (f.occurrence ? " #" + std::to_string(*f.occurrence) : std::string(" (every one)")));
                }
            }
            if (!o.pcap_path.empty() && !bus.StartCapture(o.pcap_path, sc.capture_epoch))
                throw std::runtime_error("cannot write the capture to " + o.pcap_path);

            // The driver is installed for the cameras' hardware IDs, or from
            // the INF for the IDs it names; the plug-and-play manager loads
            // it when the hub reports a matching camera.
            rep.run.hardware_id = life.cameras[0].hardwareId;
            life.service = kService;
            PDRIVER_INITIALIZE entry = o.driver_entry ? o.driver_entry : &DriverEntry;
            auto installed = [&life](PDEVICE_OBJECT pdo) { DeviceInstalled(life, pdo); };
            if (o.inf_path.empty()) {
                std::vector<std::string> ids;
                for (const auto& c : life.cameras)
                    if (std::find(ids.begin(), ids.end(), c.hardwareId) == ids.end()) ids.push_back(c.hardwareId);
                hosted::Pnp::RegisterDriver(life.service, entry, ids,
                                            [installed](PDEVICE_OBJECT pdo, const std::string&) { installed(pdo); });
            } else {
                life.service = InstallFromInf(o.inf_path, installed, entry).service;
                rep.run.inf = o.inf_path;
            }
            // Over the INF's log mask: the driver reads it when it loads.
            if (sc.log_mask)
                hosted::Registry::SetDword(hosted::ServiceKeyPath(life.service) + "\\Parameters", "Logs", *sc.log_mask);
            hosted::Pnp::AddRootBus(bus.Hub(), "ROOT\\USB\\0000");

            Phase(o, sc.cameras.size() > 1 ? "plugging in cameras" : "plugging in camera");
            for (auto& c : life.cameras) {
                hosted::usb::PortOptions port;
                port.capabilities = CapabilitiesOf(c.unit->pdo, *c.device);
                const int got = bus.Plug(c.device, port);
                if (got != c.port) throw std::runtime_error("the hub numbered a port unexpectedly");
            }

            // A replayed sweep point's failures, armed on camera 0.
            InjectionsArmed injected(sc.inject, bus, life.cameras[0].port, life.service);
            life.t0 = hosted::Clock::Now();
            try {
                Phase(o, sc.cameras.size() > 1 ? "starting devices" : "starting device");
                hosted::Pnp::WaitIdle();
                rep.run.ended_by = StartOutcome(life.Pdo(life.cameras[0]), &rep.run.start_status);
                // A camera no installed driver names ends the run at once:
                // nothing will ever update it.
                const bool noDriver = rep.run.ended_by == kNoDriver;
                const std::string startOutcome = rep.run.ended_by;
                if (!noDriver) rep.run.ended_by.clear();
                const int64_t limit = life.t0 + hosted::Milliseconds(static_cast<int64_t>(sc.time_limit_ms));
                size_t next = noDriver ? sc.events.size() : 0;
                bool anyRun = false;
                while (!noDriver) {
                    hosted::Pnp::WaitIdle();
                    Discover(life);
                    PollEnded(life);
                    UpdateLiveView(life);
                    for (auto& c : life.cameras) anyRun = anyRun || !c.runs.empty();
                    const bool live = std::any_of(life.cameras.begin(), life.cameras.end(), [](auto& c) { return c.live; });
                    // A camera off the bus re-enumerating comes back by its
                    // own timer; the run waits for it and its new update.
                    const bool coming = std::any_of(life.cameras.begin(), life.cameras.end(),
                                                    [](auto& c) { return c.camera && c.camera->Reenumerating(); });
                    if (!live && !coming && next >= sc.events.size()) {
                        rep.run.ended_by = anyRun || startOutcome.empty() ? "update finished" : startOutcome;
                        break;
                    }
                    const int64_t now = hosted::Clock::Now();
                    if (now >= limit) {
                        rep.run.ended_by = "time limit";
                        break;
                    }
                    int64_t deadline = limit;
                    if (next < sc.events.size())
                        deadline = std::min(deadline, life.t0 + hosted::Milliseconds(static_cast<int64_t>(sc.events[next].at_ms)));
                    // Without a thread to wait on, look again now and then
                    // for what the manager starts on its own.
                    if (!live || coming) deadline = std::min(deadline, now + hosted::Milliseconds(100));
                    // With a live view, wake once per virtual second to redraw the clocks.
                    if (o.progress && o.progress->enabled()) deadline = std::min(deadline, now + hosted::Seconds(1));
                    WaitForAnyThread(life, deadline);
                    if (o.progress) o.progress->Tick(NowMs());
                    PollEnded(life);
                    while (next < sc.events.size() &&
                           hosted::Clock::Now() >= life.t0 + hosted::Milliseconds(static_cast<int64_t>(sc.events[next].at_ms))) {
                        const EventSpec& e = sc.events[next++];
                        const std::string what = EventKindName(e.kind) + std::string(" event");
                        if (o.timeline) o.timeline->Event(hosted::Clock::Now(), TimelineEventKind::Pnp, what);
                        if (o.progress) {
                            if (EventNamesCamera(e.kind)) o.progress->CameraPhase(e.camera, what, NowMs());
                            else o.progress->Phase(what, NowMs());
                        }
                        ApplyEvent(life, e);
                        PollEnded(life);
                        // A rebalance or disable ends the run inside its stop or
                        // removal; a run that outlived it is no longer its.
                        for (auto& c : life.cameras)
                            if (c.live && (c.cause == "stop" || c.cause == "disable")) c.cause.clear();
                        if (e.kind == EventKind::Wake)
                            for (auto& c : life.cameras)
                                if (c.live && c.cause == "sleep") c.cause.clear();
                    }
                }
                rep.run.device_time_ms = static_cast<uint64_t>((hosted::Clock::Now() - life.t0) / hosted::kUnitsPerMs);

                // Where each camera stands when the events are done.
                rep.cameras.resize(life.cameras.size());
                for (auto& c : life.cameras) {
                    CameraReport& cr = rep.cameras[c.index];
                    PDEVICE_OBJECT pdo = life.Pdo(c);
                    cr.pnp_state = pdo ? PnpStateName(hosted::Pnp::State(pdo)) : "removed";
                    if (!life.bus->Plugged(c.port)) cr.pnp_state += ", unplugged";
                    cr.wait_wake_pending = bus.PendingWaitWake(c.port) != nullptr;
                    cr.uid = c.uid;
                    for (auto& run : c.runs)
                        if (!run.end_ms) run.ended_by = "still running";
                    cr.update_runs = c.runs;
                }

                injected.Settle();
                // Removal on request (query-remove, remove) of every camera
                // still started, in a working system; the driver unloads after
                // its last device.
                Phase(o, rep.run.ended_by == "time limit" ? "time limit reached, removing devices" : "removing devices");
                const SYSTEM_POWER_STATE system = hosted::Power::SystemState();
                if (system != PowerSystemWorking && system != PowerSystemShutdown) hosted::Power::Wake();
                for (auto& c : life.cameras) {
                    PDEVICE_OBJECT pdo = life.Pdo(c);
                    if (pdo && hosted::Pnp::State(pdo) == hosted::DeviceState::Started) hosted::Pnp::Disable(pdo);
                }
                hosted::Pnp::RemoveRootBus(bus.Hub());
                hosted::Pnp::WaitIdle();
            } catch (const hosted::DeadlockError& e) {
                // The platform has unwound every waiting thread, the manager's
                // among them; the devices can no longer be removed, and the
                // end-of-run checks report what is left.
                for (auto& c : life.cameras)
                    if (c.thread) threadsSeen.push_back(c.thread);
                std::lock_guard lock(problemsMu);
                problems.push_back(ExplainDeadlock(e.report, threadsSeen, bus.Log()));
                rep.run.ended_by = "fault";
                rep.run.device_time_ms = static_cast<uint64_t>((hosted::Clock::Now() - life.t0) / hosted::kUnitsPerMs);
                rep.cameras.resize(life.cameras.size());
                for (auto& c : life.cameras) rep.cameras[c.index].update_runs = c.runs;
            }
            for (auto& c : life.cameras) {
                if (c.thread) ObDereferenceObject(c.thread);
                c.thread = nullptr;
            }
            if (!o.pcap_path.empty()) bus.StopCapture();
            const auto busLog = bus.Log();
            const auto pnpLog = hosted::Pnp::Log();
            if (o.timeline) {
                // The timeline draws camera 0.
                std::vector<hosted::usb::Transfer> first;
                for (const auto& t : busLog)
                    if (t.port == life.cameras[0].port) first.push_back(t);
                o.timeline->SetTransfers(TimelineTransfersOf(first));
                std::string instance0;
                {
                    std::lock_guard lock(life.mu);
                    for (const auto& [inst, i] : life.instances)
                        if (i == 0) instance0 = inst;
                }
                for (const auto& r : pnpLog)
                    if (!instance0.empty() && r.instance == instance0 && ShownOnTimeline(r))
                        o.timeline->Event(r.time, r.major == IRP_MJ_POWER ? TimelineEventKind::Power : TimelineEventKind::Pnp,
                                          r.Name());
            }
            for (const auto& t : busLog) {
                ++rep.run.transfers;
                rep.run.bytes_out += t.out.size();
                rep.run.bytes_in += t.in.size();
            }
            CountVendorRequests(life, busLog);
            for (auto& c : life.cameras) {
                CameraReport& cr = rep.cameras[c.index];
                cr.update_runs = c.runs;
                if (c.camera) FillCameraReport(*c.camera, cr);
                if (c.replay && rep.run.replay_divergence.empty())
                    if (auto d = c.replay->FirstDivergence()) rep.run.replay_divergence = orvex::sim::ReplayDevice::Describe(*d);
                std::string deviceKey;
                {
                    std::lock_guard lock(life.mu);
                    auto it = life.deviceKeys.find(c.index);
                    if (it != life.deviceKeys.end()) deviceKey = it->second;
                }
                if (!deviceKey.empty()) {
                    cr.check_box_remote_wake_up = hosted::Registry::GetDword(deviceKey, "CheckBoxRemoteWakeUp");
                    cr.check_box_power_device = hosted::Registry::GetDword(deviceKey, "CheckBoxPowerDevice");
                }
            }
            FillLifeFromLog(life, pnpLog);
            for (const auto& d : hosted::Pnp::DriverLog()) {
                if (d.service != life.service) continue;
                rep.driver.push_back({life.Rel(d.time), d.load ? "load" : "unload", d.load ? StatusHex(d.status) : "",
                                      d.problems});
            }
            rep.camera = rep.cameras[0];
            life.bus = nullptr;
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
