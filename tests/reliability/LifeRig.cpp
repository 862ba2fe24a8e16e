#include "LifeRig.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <set>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <hosted/hosted.h>
#include <hosted/pnp.h>
#include <hosted/wmi.h>

#include "Firmware.h"
#include "Log.h"
#include "SimOnBus.h"
#include "driver/Driver.h"
#include "driver/FdoData.h"
#include "usbdevice/UsbDevice.h"
#include "wmi/Wmi.h"

namespace orvex::test {
namespace {

namespace fs = std::filesystem;
namespace fw = orvex::firmware;
using hosted::Pnp;
using hosted::usb::FaultKind;

constexpr const char* kService = "ORVEX";
constexpr int kPort = 1;
// How long nothing may happen (no update thread, the manager idle) before a
// life counts as over: longer than the camera's 3 s re-enumeration gap.
constexpr int64_t kQuiet = hosted::Seconds(8);
constexpr int64_t kLimit = hosted::Seconds(1800);

const char* const kFiles[] = {"\\??\\C:\\fx3.img", "\\??\\C:\\isp.bin", "\\??\\C:\\aud.bin", "\\??\\C:\\version.txt"};

void Write(const fs::path& p, const fw::Bytes& b)
{
    std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
}

// The fault kinds by the names the scenarios use, in the enum's order.
const char* FaultKey(FaultKind k)
{
    static const char* const keys[] = {"stall", "timeout", "gone", "no-handle", "short", "stuck"};
    return keys[int(k)];
}

std::string TagText(uint32_t tag)
{
    std::string s;
    for (int i = 0; i < 4; ++i) s += char(tag >> (8 * i));
    return s;
}

std::string JsonString(const std::string& s)
{
    std::string out = "\"";
    for (char c : s) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out + "\"";
}

// What the life's instrumentation shares with the driver's threads. One life
// runs at a time (one platform at a time), so a single instance serves.
struct Watch {
    std::mutex mu;
    PDRIVER_DISPATCH driverPnp = nullptr;
    // PDOs whose function device got surprise removal or removal: which came first.
    std::map<PDEVICE_OBJECT, UCHAR> removal;
    PDRIVER_DISPATCH busPnp = nullptr;
    std::set<PDEVICE_OBJECT> pdoRemoved;  // PDOs that have received IRP_MN_REMOVE_DEVICE
    std::vector<std::string> problems;
};
Watch* g_watch = nullptr;

// Sits in front of the driver's own PnP dispatch routine: notes, before the
// driver sees it, that the removal of a device has begun.
NTSTATUS NTAPI SpyPnp(PDEVICE_OBJECT device, PIRP irp)
{
    const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    PDRIVER_DISPATCH next;
    {
        std::lock_guard lock(g_watch->mu);
        PDEVICE_OBJECT pdo = FdoDataOf(device)->UnderlyingPDO;
        if (minor == IRP_MN_SURPRISE_REMOVAL || (minor == IRP_MN_REMOVE_DEVICE && !g_watch->removal.count(pdo)))
            g_watch->removal[pdo] = minor;
        // A new PDO may come at the address of a deleted one.
        if (minor == IRP_MN_START_DEVICE) g_watch->removal.erase(pdo);
        next = g_watch->driverPnp;
    }
    return next(device, irp);
}

// Sits in front of the bus driver's PnP dispatch routine: notes when the
// removal reaches the PDO itself.
NTSTATUS NTAPI SpyBusPnp(PDEVICE_OBJECT device, PIRP irp)
{
    const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    PDRIVER_DISPATCH next;
    {
        std::lock_guard lock(g_watch->mu);
        if (minor == IRP_MN_REMOVE_DEVICE) g_watch->pdoRemoved.insert(device);
        if (minor == IRP_MN_START_DEVICE) g_watch->pdoRemoved.erase(device);
        next = g_watch->busPnp;
    }
    return next(device, irp);
}

NTSTATUS NTAPI SpiedDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path)
{
    const NTSTATUS status = DriverEntry(driver, path);
    if (NT_SUCCESS(status)) {
        std::lock_guard lock(g_watch->mu);
        g_watch->driverPnp = driver->MajorFunction[IRP_MJ_PNP];
        driver->MajorFunction[IRP_MJ_PNP] = &SpyPnp;
    }
    return status;
}

// True while the driver's update thread runs on the camera's current PDO.
bool UpdateThreadRunning(PDEVICE_OBJECT pdo)
{
    PDRIVER_OBJECT driver = Pnp::Driver(kService);
    if (!pdo || !driver) return false;
    PDEVICE_OBJECT device = pdo->AttachedDevice;
    while (device && device->DriverObject != driver) device = device->AttachedDevice;
    if (!device) return false;
    const FdoData* data = FdoDataOf(device);
    if (!data->KsDevice || !data->KsDevice->Context) return false;
    PVOID thread = static_cast<CUsbDevice*>(data->KsDevice->Context)->ThreadObject();
    if (!thread) return false;
    ObReferenceObject(thread);
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    const bool running = KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &zero) == STATUS_TIMEOUT;
    ObDereferenceObject(thread);
    return running;
}

uint32_t Fx3Of(const std::array<uint8_t, 12>& r) { return r[0] * 10000u + r[1] * 100u + r[2]; }
uint32_t IspOf(const std::array<uint8_t, 12>& r) { return uint32_t(r[3] | r[4] << 8 | r[5] << 16); }

// Every unique ID a device took is given back exactly once.
void CheckUIds(std::vector<std::string>& problems)
{
    std::map<unsigned, int> taken, freed;
    for (const auto& r : hosted::Trace::Records()) {
        unsigned id = 0;
        if (std::sscanf(r.text.c_str(), "ORVEX :  +DeviceAdd() UId %x ", &id) == 1) ++taken[id];
        else if (std::sscanf(r.text.c_str(), "ORVEX :  +DrvFreeUId() UId %x ", &id) == 1) ++freed[id];
    }
    if (taken != freed) {
        std::string what = "unique IDs taken and released differ:";
        for (auto& [id, n] : taken) what += " take " + std::to_string(id) + "x" + std::to_string(n);
        for (auto& [id, n] : freed) what += " free " + std::to_string(id) + "x" + std::to_string(n);
        problems.push_back(what);
    }
}

std::vector<uint8_t> ReadFile(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Every flash page the camera was sent is the page of one of the firmware
// files (the last one padded with 0xFF), the same file for a whole session:
// nothing but the files' own bytes may ever reach a flash.
void CheckFlashPages(const std::vector<hosted::usb::Transfer>& log, std::vector<std::string>& problems)
{
    static const std::vector<uint8_t> isp = ReadFile(fs::path(FirmwareFolder()) / "isp.bin");
    static const std::vector<uint8_t> aud = ReadFile(fs::path(FirmwareFolder()) / "aud.bin");
    static constexpr size_t kPage = 0x1000;
    auto pageOf = [](const std::vector<uint8_t>& file, size_t index) {
        std::vector<uint8_t> page(kPage, 0xFF);
        if (index * kPage < file.size())
            std::copy_n(file.begin() + index * kPage, std::min(kPage, file.size() - index * kPage), page.begin());
        return page;
    };
    const std::vector<uint8_t>* file = nullptr;
    size_t index = 0, session = 0;
    for (const auto& t : log) {
        if (!t.control || (t.setup[0] & 0x60) != 0x40) continue;
        if (t.setup[1] == 0xB5) {
            file = nullptr;
            index = 0;
            ++session;
        }
        if (t.setup[1] != 0xB6) continue;
        if (index == 0) file = t.out == pageOf(isp, 0) ? &isp : t.out == pageOf(aud, 0) ? &aud : nullptr;
        if (!file || t.out != pageOf(*file, index)) {
            problems.push_back("flash page " + std::to_string(index) + " of session " + std::to_string(session) +
                               " (URB #" + std::to_string(t.sequence) + ") carries bytes of neither firmware file");
            return;
        }
        ++index;
    }
}

// What a crash inside a life prints: the point and its replay, written out
// with async-signal-safe calls only (prepared before the life starts). A
// sanitizer's report ends through its death callback, a crash of the
// uninstrumented build through the signal.
struct CrashNote {
    std::string message;   // printed to stderr
    std::string path;      // the scenario file written then
    std::string scenario;  // and its content
};
CrashNote* g_crash = nullptr;

void WriteCrashNote()
{
    if (!g_crash) return;
    (void)!::write(2, g_crash->message.data(), g_crash->message.size());
    const int fd = ::open(g_crash->path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
        (void)!::write(fd, g_crash->scenario.data(), g_crash->scenario.size());
        ::close(fd);
    }
}

extern "C" void OnCrashSignal(int sig)
{
    WriteCrashNote();
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

}  // namespace

// Present only in sanitizer builds.
extern "C" void __sanitizer_set_death_callback(void (*callback)(void)) __attribute__((weak));

namespace {

// Where a point's scenario is saved: in the firmware folder, named after it.
std::string ScenarioPath(const Point& point)
{
    std::string file;
    for (char c : point.Describe()) file += std::isalnum(static_cast<unsigned char>(c)) ? c : '-';
    return (fs::path(FirmwareFolder()) / (file + ".json")).string();
}

void ArmCrashNote(const Point& point)
{
    static CrashNote note;
    static const bool installed = [] {
        for (int sig : {SIGSEGV, SIGBUS, SIGABRT, SIGFPE, SIGILL}) std::signal(sig, &OnCrashSignal);
        if (__sanitizer_set_death_callback) __sanitizer_set_death_callback(&WriteCrashNote);
        return true;
    }();
    (void)installed;
    note.path = ScenarioPath(point);
    note.scenario = point.Scenario() + "\n";
    note.message = "\n*** the life crashed at sweep point: " + point.Describe() + "\n  replay: orvex-sim run " + note.path + "\n";
    g_crash = &note;
}

}  // namespace

bool FullRun()
{
    const char* v = std::getenv("ORVEX_SWEEP");
    return v && std::string(v) == "full";
}

const std::string& FirmwareFolder()
{
    static const std::string folder = [] {
        const fs::path dir = fs::temp_directory_path() / ("orvex-sweep-" + std::to_string(::getpid()));
        fs::create_directories(dir);
        Write(dir / "fx3.img", fw::MakeFx3Image({.size = 8 << 10, .version = {1, 2, 4}}));
        Write(dir / "isp.bin", fw::MakeIspImage({.size = 24 << 10, .text = "02.03.04"}));
        Write(dir / "aud.bin", fw::MakeAudImage({.size = 229921, .version = 7}));
        const std::string v = fw::VersionFileText(LifeVersions::kNewFx3, LifeVersions::kNewIsp, LifeVersions::kNewAud);
        Write(dir / "version.txt", fw::Bytes(v.begin(), v.end()));
        return dir.string();
    }();
    return folder;
}

std::string Point::Describe() const
{
    const std::string at = " #" + std::to_string(n);
    char buf[64];
    switch (kind) {
    case PointKind::None: return "clean";
    case PointKind::UnplugBefore: return "unplug before URB" + at;
    case PointKind::UnplugAfter: return "unplug after URB" + at;
    case PointKind::Pool: return "pool " + TagText(tag) + at;
    case PointKind::FileOpen: return "file open " + name + at;
    case PointKind::FileQuery: return "file size query " + name + at;
    case PointKind::FileRead: return "file read " + name + at;
    case PointKind::RegOpen: return "registry open " + name + at;
    case PointKind::RegQuery: return "registry query " + name + " " + value + at;
    case PointKind::PdoIrp:
        std::snprintf(buf, sizeof buf, "PDO %s 0x%02X", major == IRP_MJ_PNP ? "PnP" : "power", minor);
        return buf + at;
    case PointKind::Property: return "device property " + std::to_string(minor) + at;
    case PointKind::Vendor:
        std::snprintf(buf, sizeof buf, "vendor 0x%02X", request);
        return buf + at + " " + FaultKey(fault);
    case PointKind::Rebalance: return "rebalance after URB" + at;
    }
    return "?";
}

std::string Point::Scenario() const
{
    std::string s = "{\"drives\": {\"C\": \".\"}, \"settings\": {\"FX3\": \"C:\\\\fx3.img\", \"ISP\": \"C:\\\\isp.bin\", "
                    "\"AUD\": \"C:\\\\aud.bin\", \"VERSION\": \"C:\\\\version.txt\"}, \"camera\": {";
    char buf[160];
    if (kind == PointKind::Vendor) {
        std::snprintf(buf, sizeof buf, "\"faults\": [{\"request\": \"0x%02X\", \"occurrence\": %llu, \"kind\": \"%s\"}]",
                      request, static_cast<unsigned long long>(n), FaultKey(fault));
        s += buf;
    }
    s += "}, \"inject\": {\"reenumerate_after_reset\": true";
    const std::string at = std::to_string(n);
    const std::string file = ", \"file\": " + JsonString(name), key = ", \"registry_key\": " + JsonString(name);
    switch (kind) {
    case PointKind::UnplugBefore: s += ", \"unplug_before_urb\": " + at; break;
    case PointKind::UnplugAfter: s += ", \"unplug_after_urb\": " + at; break;
    case PointKind::Rebalance: s += ", \"stop_after_urb\": " + at; break;
    case PointKind::Pool: s += ", \"pool_tag\": " + JsonString(TagText(tag)) + ", \"pool_fail\": " + at; break;
    case PointKind::FileOpen: s += file + ", \"file_open_fail\": " + at; break;
    case PointKind::FileQuery: s += file + ", \"file_query_fail\": " + at; break;
    case PointKind::FileRead: s += file + ", \"file_read_fail\": " + at; break;
    case PointKind::RegOpen: s += key + ", \"registry_open_fail\": " + at; break;
    case PointKind::RegQuery:
        s += key + ", \"registry_value\": " + JsonString(value) + ", \"registry_query_fail\": " + at;
        break;
    case PointKind::PdoIrp:
        std::snprintf(buf, sizeof buf, ", \"pdo_irp\": \"%s 0x%02X\", \"pdo_irp_fail\": ", major == IRP_MJ_PNP ? "pnp" : "power",
                      minor);
        s += buf + at;
        break;
    case PointKind::Property: s += ", \"device_property\": " + std::to_string(minor) + ", \"device_property_fail\": " + at; break;
    default: break;
    }
    return s + "}, \"time_limit_ms\": 1800000}";
}

namespace {
// The firmware folder goes at the end of the test program unless a saved
// scenario in it replays a failure.
bool g_keepFirmware = false;
class FirmwareFolderCleanup : public ::testing::Environment {
public:
    void TearDown() override
    {
        if (!g_keepFirmware) fs::remove_all(FirmwareFolder());
    }
};
const auto* const g_cleanup = ::testing::AddGlobalTestEnvironment(new FirmwareFolderCleanup);
}  // namespace

std::string Point::SaveScenario(bool keep) const
{
    if (keep) g_keepFirmware = true;
    const std::string path = ScenarioPath(*this);
    std::ofstream(path) << Scenario() << "\n";
    return path;
}

std::string LifeResult::Findings(bool expectUpdated, bool oldOrNew) const
{
    std::string why;
    for (const auto& problem : problems) why += "\n  " + problem;
    if (!fired) why += "\n  the injected failure was never met";
    const std::string versions =
        ": fx3 " + std::to_string(fx3) + " isp " + std::to_string(isp) + " aud " + std::to_string(aud);
    auto either = [](uint32_t v, uint32_t oldV, uint32_t newV) { return v == oldV || v == newV; };
    if (oldOrNew && (!either(fx3, LifeVersions::kOldFx3, LifeVersions::kNewFx3) ||
                     !either(isp, LifeVersions::kOldIsp, LifeVersions::kNewIsp) ||
                     !either(aud, LifeVersions::kOldAud, LifeVersions::kNewAud)))
        why += "\n  the camera ends with a version that is neither the old nor the new one" + versions;
    if (expectUpdated && !updated) why += "\n  the update did not complete" + versions;
    return why;
}

LifeResult RunLife(const Point& point, const LifeOptions& lifeOptions)
{
    LifeResult result;
    ArmCrashNote(point);
    Watch watch;
    g_watch = &watch;
    std::vector<std::string> platformProblems;
    std::mutex problemsMu;
    hosted::Platform::SetFailureHandler([&](const std::string& p) {
        std::lock_guard lock(problemsMu);
        platformProblems.push_back(p);
    });
    {
        hosted::Options options;
        options.mainThreadName = "sweep";
        hosted::Platform platform(options);
        hosted::Files::MapDrive('C', FirmwareFolder());
        Pnp::RegisterDriver(kService, &SpiedDriverEntry, {"USB\\VID_1209&PID_0CA3"});

        orvex::sim::CameraConfig config;
        config.reenumerateAfterReset = true;
        auto camera = orvex::sim::MakeCamera(config);
        hosted::usb::BusOptions busOptions;
        busOptions.rootBus = true;
        {
            hosted::usb::Bus bus(busOptions);
            std::vector<hosted::Thread> helpers;
            bool fired = point.kind == PointKind::None;
            bus.SetUrbObserver([&](const hosted::usb::Transfer& t, bool completed) {
                const uint64_t seq = t.sequence;
                if (!completed) {
                    std::lock_guard lock(watch.mu);
                    auto it = watch.removal.find(t.pdo);
                    // After a surprise removal nothing may go to the camera.
                    // An orderly removal (the camera still there) lets the
                    // update thread finish its run first, so that no flash is
                    // left half-written, and then deconfigures the camera:
                    // all of it before the removal reaches the bus.
                    if ((it != watch.removal.end() && it->second == IRP_MN_SURPRISE_REMOVAL) ||
                        watch.pdoRemoved.count(t.pdo))
                        watch.problems.push_back("URB #" + std::to_string(seq) + " (function " + std::to_string(t.function) +
                                                 ") sent after the removal of its device began");
                }
                if (seq != point.n) return;
                if ((point.kind == PointKind::UnplugBefore && !completed) ||
                    (point.kind == PointKind::UnplugAfter && completed)) {
                    fired = true;
                    bus.Unplug(kPort);
                } else if (point.kind == PointKind::Rebalance && completed) {
                    // The manager's rebalance waits for the update thread to
                    // stop, so it runs on a thread of its own; it starts as
                    // soon as the update thread next waits.
                    fired = true;
                    helpers.push_back(hosted::StartThread("rebalance", [&bus] {
                        if (PDEVICE_OBJECT p = bus.Pdo(kPort); p && Pnp::State(p) == hosted::DeviceState::Started)
                            Pnp::Rebalance(p);
                    }));
                }
            });
            watch.busPnp = bus.Driver()->MajorFunction[IRP_MJ_PNP];
            bus.Driver()->MajorFunction[IRP_MJ_PNP] = &SpyBusPnp;
            if (point.kind == PointKind::Vendor) bus.AddFault(hosted::usb::FaultSpec::Vendor(point.request, point.fault, uint32_t(point.n)));
            if (point.kind == PointKind::PdoIrp) bus.FailIrp(point.major, point.minor, STATUS_UNSUCCESSFUL, point.n);

            bus.Plug(camera);
            PDEVICE_OBJECT first = bus.Pdo(kPort);
            const std::string driverKey = hosted::Io::DriverKeyPath(first);
            const std::string deviceKey = hosted::Io::DeviceKeyPath(first);
            const std::string paramsKey = hosted::ServiceKeyPath(kService) + "\\Parameters";
            hosted::Registry::SetString(driverKey, "FX3", "C:\\fx3.img");
            hosted::Registry::SetString(driverKey, "ISP", "C:\\isp.bin");
            hosted::Registry::SetString(driverKey, "AUD", "C:\\aud.bin");
            hosted::Registry::SetString(driverKey, "VERSION", "C:\\version.txt");
            // The driver's keys by the names the scenarios use.
            auto keyPath = [&](const std::string& key) {
                return key == "parameters" ? paramsKey : key == "driver" ? driverKey : key == "device" ? deviceKey : key;
            };
            // Failures are armed once the test's own setup is done: only the
            // calls of the life count.
            const uint64_t poolBefore = point.kind == PointKind::Pool ? hosted::Pool::AllocationCount(point.tag) : 0;
            switch (point.kind) {
            case PointKind::Pool: hosted::Pool::FailTag(point.tag, point.n); break;
            case PointKind::FileOpen: hosted::Files::FailOpen(point.name, STATUS_ACCESS_DENIED, point.n); break;
            case PointKind::FileQuery: hosted::Files::FailQuery(point.name, STATUS_ACCESS_DENIED, point.n); break;
            case PointKind::FileRead: hosted::Files::FailRead(point.name, STATUS_UNSUCCESSFUL, point.n); break;
            case PointKind::RegOpen: hosted::Registry::FailOpen(keyPath(point.name), STATUS_ACCESS_DENIED, point.n); break;
            case PointKind::RegQuery:
                hosted::Registry::FailQuery(keyPath(point.name), point.value, STATUS_INSUFFICIENT_RESOURCES, point.n);
                break;
            case PointKind::Property:
                hosted::Io::FailDeviceProperty(first, DEVICE_REGISTRY_PROPERTY(point.minor), STATUS_UNSUCCESSFUL, point.n);
                break;
            default: break;
            }

            // A device-fundamentals cycle at its time, and WMI traffic
            // alongside, each on a thread of its own.
            std::atomic<bool> actionDone{!lifeOptions.action};
            std::atomic<bool> stopWmi{false};
            std::atomic<uint64_t> wmiRequests{0};
            hosted::Thread actionThread, wmiThread;
            if (lifeOptions.action) {
                actionThread = hosted::StartThread("cycle", [&] {
                    const int64_t wait = lifeOptions.actionAt - hosted::Clock::Now();
                    if (wait > 0) hosted::Sleep(wait);
                    lifeOptions.action(bus);
                    actionDone = true;
                });
            }
            if (lifeOptions.wmi) {
                wmiThread = hosted::StartThread("wmi", [&] {
                    for (UCHAR i = 0; !stopWmi && hosted::Clock::Now() < kLimit; ++i) {
                        hosted::Sleep(hosted::Milliseconds(250));
                        PDEVICE_OBJECT pdo = bus.Pdo(kPort);
                        PDEVICE_OBJECT top = pdo ? Pnp::Top(pdo) : nullptr;
                        if (!top || top == pdo || !hosted::Wmi::Registered(top)) continue;
                        const auto query = hosted::Wmi::QuerySingleInstance(top, *WmiGuidListWake[1].Guid);
                        const auto set = hosted::Wmi::SetSingleInstance(top, *WmiGuidListWake[1].Guid, {UCHAR(i & 1)});
                        const auto all = hosted::Wmi::QueryAllData(top, *WmiGuidListWake[1].Guid);
                        const auto wake = hosted::Wmi::QuerySingleInstance(top, *WmiGuidListWake[0].Guid);
                        wmiRequests += 3;
                        // The driver's device may be on its way out: WMI then
                        // refuses, or the driver answers delete-pending.
                        for (const auto* r : {&query, &set, &all}) {
                            if (r->status == STATUS_SUCCESS || r->status == STATUS_WMI_GUID_NOT_FOUND ||
                                r->status == STATUS_DELETE_PENDING)
                                continue;
                            std::lock_guard lock(watch.mu);
                            char buf[96];
                            std::snprintf(buf, sizeof buf, "WMI request answered 0x%08X", unsigned(r->status));
                            watch.problems.push_back(buf);
                        }
                        if (wake.status != STATUS_WMI_GUID_NOT_FOUND) {
                            std::lock_guard lock(watch.mu);
                            watch.problems.push_back("the withdrawn wake block answered a query");
                        }
                    }
                });
            }

            try {
                // The life: the manager loads, adds and starts; the update
                // runs, resets the camera, which comes back on a new PDO for
                // the second run. It is over once nothing has run for a while.
                Pnp::WaitIdle();
                int64_t quietSince = hosted::Clock::Now();
                while (hosted::Clock::Now() < kLimit) {
                    hosted::Sleep(hosted::Seconds(1));
                    if (!actionDone || UpdateThreadRunning(bus.Pdo(kPort))) {
                        quietSince = hosted::Clock::Now();
                    } else if (hosted::Clock::Now() - quietSince >= kQuiet) {
                        break;
                    }
                }
                if (hosted::Clock::Now() >= kLimit) watch.problems.push_back("the life did not settle within 1800 s");
                for (auto& t : helpers) t.Join();
                helpers.clear();
                if (actionThread) actionThread.Join();
                Pnp::WaitIdle();
                result.endTime = hosted::Clock::Now();

                // Removal and unload.
                if (PDEVICE_OBJECT pdo = bus.Pdo(kPort); pdo && Pnp::State(pdo) == hosted::DeviceState::Started)
                    Pnp::Disable(pdo);
                Pnp::RemoveRootBus(bus.Hub());
                Pnp::WaitIdle();
                stopWmi = true;
                if (wmiThread) wmiThread.Join();
                if (Pnp::DriverLoaded(kService)) watch.problems.push_back("the driver is still loaded after the last device went");
                CheckUIds(watch.problems);
            } catch (const hosted::DeadlockError& e) {
                std::lock_guard lock(problemsMu);
                platformProblems.push_back(e.report);
            }
            for (auto& t : helpers) t.Join();
            stopWmi = true;
            if (actionThread) actionThread.Join();
            if (wmiThread) wmiThread.Join();
            result.wmiRequests = wmiRequests;
            bus.SetUrbObserver(nullptr);
            result.log = bus.Log();
            CheckFlashPages(result.log, watch.problems);

            // What the life went through.
            for (const auto& t : bus.Log()) {
                ++result.urbs;
                if (t.control && (t.setup[0] & 0x60) == 0x40) ++result.vendor[t.setup[1]];
            }
            for (uint32_t tag : {TagHarn, TagVorp, TagDevice})
                if (uint64_t n = hosted::Pool::AllocationCount(tag)) result.poolByTag[tag] = n;
            for (const char* f : kFiles) {
                using Op = hosted::Files::FileOp;
                if (uint64_t n = hosted::Files::Attempts(Op::Open, f)) result.fileOpens[f] = n;
                if (uint64_t n = hosted::Files::Attempts(Op::Query, f)) result.fileQueries[f] = n;
                if (uint64_t n = hosted::Files::Attempts(Op::Read, f)) result.fileReads[f] = n;
            }
            for (const char* key : {"parameters", "driver", "device"})
                if (uint64_t n = hosted::Registry::OpenAttempts(keyPath(key))) result.regOpens[key] = n;
            const std::pair<std::string, std::vector<std::string>> values[] = {
                {"parameters", {"Logs"}},
                {"driver", {"FX3", "ISP", "AUD", "VERSION"}},
                {"device", {"CheckBoxRemoteWakeUp", "CheckBoxPowerDevice"}}};
            for (const auto& [key, names] : values)
                for (const auto& v : names)
                    if (uint64_t n = hosted::Registry::QueryAttempts(keyPath(key), v)) result.regQueries[{key, v}] = n;
            for (UCHAR minor = 0; minor <= IRP_MN_DEVICE_ENUMERATED; ++minor)
                if (uint64_t n = bus.IrpCount(IRP_MJ_PNP, minor)) result.pdoIrps[{IRP_MJ_PNP, minor}] = n;
            for (UCHAR minor = 0; minor <= IRP_MN_QUERY_POWER; ++minor)
                if (uint64_t n = bus.IrpCount(IRP_MJ_POWER, minor)) result.pdoIrps[{IRP_MJ_POWER, minor}] = n;

            // Whether the failure was met at all.
            switch (point.kind) {
            case PointKind::Pool: fired = hosted::Pool::AllocationCount(point.tag) - poolBefore >= point.n; break;
            case PointKind::FileOpen: fired = result.fileOpens[point.name] >= point.n; break;
            case PointKind::FileQuery: fired = result.fileQueries[point.name] >= point.n; break;
            case PointKind::FileRead: fired = result.fileReads[point.name] >= point.n; break;
            case PointKind::RegOpen: fired = result.regOpens[point.name] >= point.n; break;
            case PointKind::RegQuery: fired = result.regQueries[{point.name, point.value}] >= point.n; break;
            case PointKind::PdoIrp: fired = result.pdoIrps[{point.major, point.minor}] >= point.n; break;
            case PointKind::Vendor: fired = result.vendor[point.request] >= point.n; break;
            case PointKind::Property: fired = true; break;
            default: break;
            }
            result.fired = fired;

            const auto record = camera->VersionRecord();
            result.fx3 = Fx3Of(record);
            result.isp = IspOf(record);
            result.aud = record[6];
            const auto stats = camera->Stats();
            result.resets = stats.resets;
            result.reconnects = stats.reconnects;
            result.updated = result.fx3 == LifeVersions::kNewFx3 && result.isp == LifeVersions::kNewIsp &&
                             result.aud == LifeVersions::kNewAud;
        }
        platform.Finish();
    }
    hosted::Platform::SetFailureHandler(nullptr);
    g_watch = nullptr;
    g_crash = nullptr;
    result.problems = std::move(watch.problems);
    for (auto& p : platformProblems) result.problems.push_back(p);
    return result;
}

}  // namespace orvex::test
