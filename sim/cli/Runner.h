// One simulated run of the driver: the hosted platform is booted, the
// registry, drive mapping and camera are set up from a scenario, the driver is
// installed with the plug-and-play manager and the camera plugged into a
// hosted USB hub; the manager loads the driver, adds and starts the device,
// the update runs to its end on virtual time with the scenario's events
// applied (rebalance, unplug), and the manager removes the device and unloads
// the driver so that the platform's leak and verifier checks can speak.
#pragma once

#include <cstdio>
#include <stdexcept>
#include <optional>
#include <string>

#include <wdm.h>

#include "Progress.h"
#include "Report.h"
#include "Scenario.h"
#include "Timeline.h"

namespace orvex::cli {

struct RunOptions {
    std::string trace_path;   // DbgPrint output, byte for byte ("" = none)
    std::string pcap_path;    // USBPcap capture of the camera's bus ("" = none)
    bool realtime = false;    // pace virtual time against the wall clock
    double speed = 1.0;       // with realtime: virtual seconds per wall second
    ProgressDisplay* progress = nullptr;  // live view, or null
    TimelineRecorder* timeline = nullptr; // receives the run's events and transfers, or null
    // Install the driver from this INF, as the system's device installer
    // does, instead of registering it for the camera's own hardware ID
    // ("" = register it directly).
    std::string inf_path;
    // The driver's entry point: null for the hosted build's DriverEntry,
    // else the entry of a loaded ORVEX.sys (ShippedDriver.h).
    PDRIVER_INITIALIZE driver_entry = nullptr;
    // Seeded schedule exploration: the seed orders the hosted threads and
    // the bus's early or late completions; the same seed replays the run.
    std::optional<uint64_t> schedule_seed;
};

// An INF the installer refused: nothing was run. what() names the INF's line.
struct InfRefused : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// RunInfo::ended_by of a run whose camera no driver was installed for.
inline constexpr const char* kNoDriver = "no driver";

struct RunResult {
    RunReport report;
    bool platform_fault = false;  // the platform caught a fault: deadlock, leak, verifier check
    std::string message;          // what it caught, for the user
};

// Runs the scenario. Throws std::runtime_error when the run cannot be set up
// (an output file that cannot be written, for instance), InfRefused when the
// INF of `options.inf_path` is refused.
RunResult RunScenario(const Scenario& scenario, const RunOptions& options);

}  // namespace orvex::cli
