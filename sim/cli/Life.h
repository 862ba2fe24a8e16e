// What a run knows about its cameras while they live through the
// plug-and-play, power and WMI requests of a scenario: shared by the runner
// (Runner.cpp) and the events it applies (Events.cpp). Internal to orvex-sim.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <wdm.h>

#include "Report.h"
#include "Runner.h"
#include "Scenario.h"
#include "SimCamera.h"

namespace hosted {
struct IrpRecord;
enum class DeviceState;
}  // namespace hosted

namespace hosted::usb {
class Bus;
class BusDevice;
struct Transfer;
}  // namespace hosted::usb

namespace orvex::sim {
class ReplayDevice;
}

namespace orvex::cli {

struct CameraLife {
    size_t index = 0;
    int port = 0;
    const CameraUnit* unit = nullptr;
    std::shared_ptr<orvex::sim::Camera> camera;        // the model, or null for a replayed camera
    std::shared_ptr<orvex::sim::ReplayDevice> replay;  // the recording, or null
    std::shared_ptr<hosted::usb::BusDevice> device;    // what the bus holds
    std::string hardwareId;
    // The update thread last seen on the camera's device, referenced until
    // another one replaces it: a held reference keeps its address from being
    // reused by the next thread.
    PVOID thread = nullptr;
    bool live = false;        // that thread still runs
    std::string cause;        // an event applied while it ran, which may be what ends it
    orvex::sim::CameraStats lastStats{};  // at the end of the last run
    std::vector<UpdateRunReport> runs;
    std::vector<int64_t> runEnds;  // virtual time each ended run was seen to end (100-ns units)
    uint32_t uid = 0;
};

struct Life {
    Life(const Scenario& s, const RunOptions& options, RunReport& report) : sc(s), o(options), rep(report) {}
    const Scenario& sc;
    const RunOptions& o;
    RunReport& rep;
    hosted::usb::Bus* bus = nullptr;
    std::string service;
    int64_t t0 = 0;  // virtual time the cameras were plugged in
    std::vector<CameraLife> cameras;

    // Written on the manager's thread as devices are installed.
    std::mutex mu;
    std::map<std::string, size_t> instances;          // device instance -> camera
    std::map<size_t, std::string> deviceKeys;         // camera -> its hardware key
    std::vector<RequestRecord> wmiRequests;           // WMI requests the events sent

    uint64_t Rel(int64_t t) const { return t > t0 ? static_cast<uint64_t>((t - t0) / 10'000) : 0; }
    uint64_t NowRel() const;
    PDEVICE_OBJECT Pdo(const CameraLife& c) const;
};

// Carries out one event of the scenario as Windows would send it.
void ApplyEvent(Life& life, const EventSpec& e);

// What the live view says of a camera that is not "started, working" ("" when it is).
std::string CameraStateText(Life& life, const CameraLife& c);

std::string StatusHex(NTSTATUS status);
// "01 02 AA" from bytes.
std::string Hex(const uint8_t* p, size_t n);

// ---- the report (LifeReport.cpp) ----
// The camera's end state: versions, hashes, pages written, resets.
void FillCameraReport(orvex::sim::Camera& camera, CameraReport& r);
// The vendor requests each update run of each camera sent, from the bus log.
void CountVendorRequests(Life& life, const std::vector<hosted::usb::Transfer>& log);
// The managers' log sorted out by camera: the run's requests, each camera's
// device power states and whether wait-wake was ever armed.
void FillLifeFromLog(Life& life, const std::vector<hosted::IrpRecord>& log);
const char* PnpStateName(hosted::DeviceState s);

}  // namespace orvex::cli
