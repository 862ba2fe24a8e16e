// orvex-sim: the ORVEX driver over the hosted kernel and a simulated camera.
//
//   orvex-sim run SCENARIO.json [--driver ORVEX.sys] [--inf ORVEX.inf] [--trace FILE] [--pcap FILE] [--report FILE]
//                               [--timeline FILE.svg] [--realtime [--speed X]] [--schedule-seed N] [--quiet]
//   orvex-sim demo [--driver ORVEX.sys] [--inf ORVEX.inf] [--keep DIR] [--timeline FILE.svg] [--speed X] [--quiet]
//   orvex-sim make fx3|isp|aud|version -o FILE ...
//   orvex-sim check FILE... [--type fx3|isp|aud|version] [--json]
//
// Exit status: 0 when the run completed (whatever the camera ended with),
// 1 when the platform caught a fault (deadlock, leak, verifier check),
// 2 for a bad scenario, an INF the installer refused or bad usage, 3 when the
// INF installed no driver for the camera (its hardware ID is not in the
// models section; nothing was updated). check: 0 when every file would be
// used, 1 otherwise.
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>

#include <CLI/CLI.hpp>

#include "Check.h"
#include "Demo.h"
#include "MakeCommands.h"
#include "Runner.h"
#include "Scenario.h"
#include "ShippedDriver.h"

namespace {

using namespace orvex::cli;

constexpr int kExitOk = 0;
constexpr int kExitFault = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNoDriver = 3;

bool WriteText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out);
}

int Run(const std::string& scenarioPath, RunOptions options, const std::string& reportPath,
        const std::string& timelinePath, bool quiet) {
    Scenario scenario;
    try {
        scenario = LoadScenario(scenarioPath);
    } catch (const ScenarioError& e) {
        std::cerr << "orvex-sim: bad scenario, nothing was run\n" << e.what() << "\n";
        return kExitUsage;
    }
    // The report's file is made before the run, so that a run is never lost
    // to a path that cannot be written.
    if (!reportPath.empty() && !WriteText(reportPath, "")) {
        std::cerr << "orvex-sim: cannot write the report to " << reportPath << "\n";
        return kExitUsage;
    }
    if (!timelinePath.empty() && !WriteText(timelinePath, "")) {
        std::cerr << "orvex-sim: cannot write the timeline to " << timelinePath << "\n";
        return kExitUsage;
    }
    ProgressDisplay progress(stderr, !quiet && ::isatty(STDERR_FILENO));
    options.progress = &progress;
    TimelineRecorder timeline;
    if (!timelinePath.empty()) options.timeline = &timeline;
    RunResult result;
    try {
        result = RunScenario(scenario, options);
    } catch (const InfRefused& e) {
        std::cerr << "orvex-sim: the INF was refused, nothing was run\n" << e.what() << "\n";
        return kExitUsage;
    } catch (const std::exception& e) {
        std::cerr << "orvex-sim: " << e.what() << "\n";
        return kExitUsage;
    }
    if (!reportPath.empty() && !WriteText(reportPath, ReportJson(result.report))) {
        std::cerr << "orvex-sim: cannot write the report to " << reportPath << "\n";
        return kExitUsage;
    }
    if (!timelinePath.empty() &&
        !WriteTimelineSvg(timelinePath, "orvex-sim run " + scenarioPath, RunNotes(result.report), timeline)) {
        std::cerr << "orvex-sim: cannot write the timeline to " << timelinePath << "\n";
        return kExitUsage;
    }
    if (!result.report.run.replay_divergence.empty()) {
        std::cerr << "orvex-sim: the driver left the recording at " << result.report.run.replay_divergence << "\n";
        return kExitFault;
    }
    if (result.platform_fault) {
        std::cerr << "orvex-sim: the platform caught a fault: " << result.message << "\n";
        return kExitFault;
    }
    if (result.report.run.ended_by == kNoDriver) {
        std::cerr << "orvex-sim: " << options.inf_path << " names no hardware ID of the camera ("
                  << result.report.run.hardware_id << "): no driver was loaded\n";
        return kExitNoDriver;
    }
    if (!quiet) std::cerr << "orvex-sim: run completed (" << result.report.run.ended_by << ")\n";
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"orvex-sim: runs the ORVEX firmware-update driver over the hosted kernel and a simulated camera"};
    app.require_subcommand(1);

    auto* run = app.add_subcommand("run", "Run a scenario file");
    std::string scenarioPath, infPath, tracePath, pcapPath, reportPath, timelinePath, driverPath;
    bool realtime = false, quiet = false;
    double speed = 1.0;
    run->add_option("scenario", scenarioPath, "Scenario file (JSON)")->required();
    run->add_option("--inf", infPath, "Install the driver from this INF (the camera gets it only if the INF names it)")
        ->check(CLI::ExistingFile);
    run->add_option("--driver", driverPath, "Run this ORVEX.sys (the shipped binary) in place of the hosted build's driver")
        ->check(CLI::ExistingFile);
    run->add_option("--trace", tracePath, "Write the driver's debugger output to FILE");
    run->add_option("--pcap", pcapPath, "Write the USBPcap capture of the camera's bus to FILE");
    run->add_option("--report", reportPath, "Write the JSON report to FILE");
    run->add_option("--timeline", timelinePath, "Draw the run on virtual time into FILE (SVG)");
    auto* realtimeFlag = run->add_flag("--realtime", realtime, "Pace virtual time against the wall clock");
    run->add_option("--speed", speed, "With --realtime: virtual seconds per wall second")
        ->needs(realtimeFlag)
        ->check(CLI::PositiveNumber);
    uint64_t scheduleSeed = 0;
    auto* seedOption = run->add_option("--schedule-seed", scheduleSeed,
                    "Explore one thread interleaving chosen by N (the same N replays it)")
        ->excludes(realtimeFlag);
    run->add_flag("-q,--quiet", quiet, "No live progress and no closing line");

    auto* demo = app.add_subcommand("demo", "Update a simulated camera with old firmware, end to end");
    DemoOptions demoOptions;
    demo->add_option("--inf", demoOptions.inf_path, "Install the driver from this INF (default: the generated ORVEX.inf)")
        ->check(CLI::ExistingFile);
    demo->add_option("--driver", demoOptions.driver_path,
                     "Run this ORVEX.sys (the shipped binary) in place of the hosted build's driver")
        ->check(CLI::ExistingFile);
    demo->add_option("--keep", demoOptions.keep_dir, "Keep the generated firmware, scenario and outputs in DIR");
    demo->add_flag("-q,--quiet", demoOptions.quiet, "No live progress");
    demo->add_option("--timeline", demoOptions.timeline_path, "Draw the run on virtual time into FILE (SVG)");
    demo->add_option("--speed", demoOptions.speed,
                     "Virtual seconds per wall second (0: as fast as possible; default 25 on a terminal, else 0)")
        ->check(CLI::NonNegativeNumber);

    auto* make = app.add_subcommand("make", "Write a firmware or version file");
    make->require_subcommand(1);
    AddMakeCommands(*make);

    CheckOptions checkOptions;
    auto* check = AddCheckCommand(app, checkOptions);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int rc = app.exit(e);
        return rc == 0 ? kExitOk : kExitUsage;
    }

    if (run->parsed()) {
        RunOptions options;
        options.trace_path = tracePath;
        options.inf_path = infPath;
        options.pcap_path = pcapPath;
        options.realtime = realtime;
        options.speed = speed;
        if (seedOption->count()) options.schedule_seed = scheduleSeed;
        std::unique_ptr<hosted::KernelImage> image;
        if (!driverPath.empty()) {
            try {
                image = LoadShippedDriver(driverPath);
            } catch (const std::exception& e) {
                std::cerr << "orvex-sim: " << e.what() << "\n";
                return kExitUsage;
            }
            options.driver_entry = image->Entry();
        }
        return Run(scenarioPath, options, reportPath, timelinePath, quiet);
    }
    if (demo->parsed()) {
        try {
            return RunDemo(demoOptions, std::cout) ? kExitOk : kExitFault;
        } catch (const std::exception& e) {
            std::cerr << "orvex-sim: demo: " << e.what() << "\n";
            return kExitFault;
        }
    }
    if (check->parsed()) return RunCheck(checkOptions, std::cout);
    try {
        return RunMakeCommand(*make) ? kExitOk : kExitUsage;
    } catch (const std::exception& e) {
        std::cerr << "orvex-sim: make: " << e.what() << "\n";
        return kExitUsage;
    }
}
