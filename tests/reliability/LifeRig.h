// One whole life of a camera under the platform's plug-and-play manager,
// with at most one failure injected at a chosen point: the driver is loaded,
// the camera added and started, the update writes all three parts and resets
// the camera, the camera drops off the bus and comes back on a new PDO, the
// driver's second run finds every version current, and the camera is removed
// and the driver unloaded. Each life boots its own platform, so every run is
// independent and replays exactly.
//
// A first life without a failure counts the points (URBs, pool allocations of
// the driver's tags, file and registry calls, the PDO's PnP and power IRPs,
// vendor requests); a sweep then runs one life per point.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <wdm.h>

#include "UsbBus.h"

namespace orvex::test {

enum class PointKind {
    None,
    UnplugBefore,  // the camera leaves its port just before the n-th URB
    UnplugAfter,   // ... just after the n-th URB completed
    Pool,          // the n-th allocation with `tag` fails
    FileOpen,      // the n-th open of file `name` fails
    FileQuery,     // the n-th size query on it fails
    FileRead,      // the n-th read of it fails
    RegOpen,       // the n-th open of key `name` fails
    RegQuery,      // the n-th query of value `value` under key `name` fails
    PdoIrp,        // the n-th PnP (major) IRP with `minor` the PDO receives fails
    Property,      // the n-th IoGetDeviceProperty of `minor` on the first PDO fails
    Vendor,        // the n-th vendor request `request` is answered with `fault`
    Rebalance,     // query-stop, stop, start just after the n-th vendor request
};

struct Point {
    PointKind kind = PointKind::None;
    uint64_t n = 0;
    uint32_t tag = 0;
    std::string name;   // file name as the driver opens it, or registry key: "parameters", "driver", "device"
    std::string value;  // registry value name
    UCHAR major = 0, minor = 0;
    uint8_t request = 0;
    hosted::usb::FaultKind fault = hosted::usb::FaultKind::Stall;

    // One line naming the point, e.g. "pool Harn #3".
    std::string Describe() const;
    // The `orvex-sim run` scenario that replays this life with this point
    // (one JSON line), to be saved in the firmware folder (drive C: is the
    // scenario's own folder).
    std::string Scenario() const;
    // Saves it there under a name of its own and returns the file's path;
    // `keep`: the folder then stays after the test program, for the replay.
    std::string SaveScenario(bool keep = true) const;
};

// What one life did and how it ended.
struct LifeResult {
    // Points counted in this life.
    uint64_t urbs = 0;
    std::map<uint32_t, uint64_t> poolByTag;                 // driver tags only
    std::map<std::string, uint64_t> fileOpens, fileQueries, fileReads;
    std::map<std::string, uint64_t> regOpens;               // key ("driver", ...) -> attempts
    std::map<std::pair<std::string, std::string>, uint64_t> regQueries;
    std::map<std::pair<UCHAR, UCHAR>, uint64_t> pdoIrps;    // (major, minor) -> count
    std::map<uint8_t, uint64_t> vendor;                     // bRequest -> count

    // Findings: each one makes the life fail.
    std::vector<std::string> problems;  // platform (leak, verifier, deadlock) and the checks below
    bool fired = true;                   // the injected failure happened

    // Outcome.
    uint32_t fx3 = 0, isp = 0, aud = 0;  // versions the camera reports at the end
    bool updated = false;                // every part carries the new version
    uint32_t resets = 0, reconnects = 0;
    int64_t endTime = 0;                 // virtual time at removal
    std::vector<hosted::usb::Transfer> log;  // every URB of the life
    uint64_t wmiRequests = 0;            // WMI requests that reached the driver's device

    // Each finding on a line of its own ("" if none): the problems, a failure
    // never met, and against the documented result: `updated` demands the new
    // versions, `oldOrNew` every part at its old or its new version.
    std::string Findings(bool updated, bool oldOrNew = true) const;
};

// What else happens during a life.
struct LifeOptions {
    // Runs on a hosted thread of its own at virtual time `actionAt` (since
    // boot), e.g. a device-fundamentals cycle; the life is not over before
    // it has returned.
    int64_t actionAt = -1;
    std::function<void(hosted::usb::Bus& bus)> action;
    // WMI queries and sets of the driver's blocks on another thread, every
    // 250 ms, from the plug-in to the unload.
    bool wmi = false;
};

// The firmware the lives write: old versions on the camera, new ones in files.
struct LifeVersions {
    static constexpr uint32_t kOldFx3 = 10000, kNewFx3 = 10204;
    static constexpr uint32_t kOldIsp = 0x010000, kNewIsp = 0x020304;
    static constexpr uint32_t kOldAud = 1, kNewAud = 7;
};

// Runs one life with `point` (PointKind::None: a clean life).
LifeResult RunLife(const Point& point, const LifeOptions& options = {});

// ORVEX_SWEEP=full: every point and 100 cycles per kind, not CI's subset.
bool FullRun();

// The folder holding the firmware files of every life (made once per process).
const std::string& FirmwareFolder();

}  // namespace orvex::test
