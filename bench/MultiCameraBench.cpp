// N cameras updating at once on one hosted bus, in deterministic virtual
// time, through the plug-and-play manager and the driver frame: every camera gets the full three-part update (4 MiB ISP image,
// 256 KiB audio image, 192 KiB FX3 image into a blank EEPROM), and all N
// update threads run side by side.
//
// Counters (per run, N = cameras):
//   all_urbs: every URB of the run, all cameras together;
//   run_wall_ms: wall time from plugging the cameras in to the last update
//     thread's end (enumeration, load, add and start included);
//   wall_per_urb_us: run_wall_ms divided by all_urbs, the hosted platform's
//     cost per request;
//   run_cpu_ms, cpu_per_urb_us: the process's CPU time (every thread) over
//     the same span, and divided by all_urbs: the cost without the waits for
//     a processor that a loaded machine adds to the wall time;
//   virtual_s: virtual duration of the run (the same for every N: the
//     cameras wait side by side);
//   updated: cameras whose EEPROM ends up holding the new image (must be N).
// Each benchmark repeats five times; the min, median and max rows give the
// spread. Two things kept the first repetitions of a process two to four
// times slower than the rest, and are taken out of the measurement: the
// first touch of the run's memory (every run moves several MiB per camera
// through pool, flash and bus log), and glibc handing large blocks back to
// the system after each run and faulting them in afresh in the next. So the
// process keeps its freed memory (mallopt below) and every N gets one
// untimed warm-up run.
#include <benchmark/benchmark.h>

#include <hosted/hosted.h>
#include <hosted/pnp.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <malloc.h>
#include <ctime>
#include <memory>
#include <set>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

#include "BenchImages.h"
#include "BenchStack.h"
#include "Firmware.h"
#include "Log.h"
#include "SimOnBus.h"
#include "UsbBus.h"
#include "driver/Driver.h"
#include "driver/FdoData.h"
#include "usbdevice/UsbDevice.h"

using namespace orvex::firmware;

namespace {

using orvex::bench::AudImage;
using orvex::bench::Fx3Image;
using orvex::bench::IspImage;

struct Figures {
    double urbs = 0, wallS = 0, cpuS = 0, virtualS = 0, updated = 0, faults = 0;
};

// Page faults of the process so far (first touches of memory it had not used).
double PageFaults() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_minflt + u.ru_majflt);
}

// CPU time of the whole process (every thread), in seconds.
double ProcessCpu() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// Wall time, virtual time and URBs of one run of `cameras` cameras through
// the whole stack: the driver installed with the plug-and-play manager for
// the camera's hardware ID, every camera plugged into one hub the manager
// enumerates, each device added and started by the manager (its update thread
// starts with it), and removed on request at the end (the driver unloads after
// its last device, with the leak checks).
Figures OneRun(const std::filesystem::path& dir, int cameras) {
    Figures f;
    hosted::Platform platform;
    hosted::Files::MapDrive('C', dir.string());

    orvex::sim::CameraConfig c = orvex::bench::OldCameraConfig();
    std::vector<std::shared_ptr<orvex::sim::Camera>> cams;
    for (int i = 0; i < cameras; ++i) cams.push_back(orvex::sim::MakeCamera(c));
    orvex::bench::RegisterDriverFor(*cams.front(), &DriverEntry);
    hosted::usb::Bus bus(orvex::bench::RootHub());

    const auto wall0 = std::chrono::steady_clock::now();
    const double cpu0 = ProcessCpu();
    const double faults0 = PageFaults();
    const int64_t t0 = hosted::Clock::Now();
    std::vector<PDEVICE_OBJECT> pdos;
    for (auto& camera : cams) pdos.push_back(orvex::bench::PlugWithFirmware(bus, camera));
    hosted::Pnp::WaitIdle();
    for (PDEVICE_OBJECT pdo : pdos) orvex::bench::WaitForUpdate(pdo);
    f.wallS = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    f.cpuS = ProcessCpu() - cpu0;
    f.faults = PageFaults() - faults0;
    f.virtualS = double(hosted::Clock::Now() - t0) / hosted::kUnitsPerSecond;
    f.urbs = double(bus.Log().size());

    const Bytes& fx3 = Fx3Image();
    for (PDEVICE_OBJECT pdo : pdos) hosted::Pnp::Disable(pdo);
    hosted::Pnp::WaitIdle();
    for (auto& camera : cams) {
        const auto eeprom = camera->Eeprom();
        f.updated += eeprom.size() >= fx3.size() && std::equal(fx3.begin(), fx3.end(), eeprom.begin());
    }
    return f;
}

void BM_ConcurrentUpdates(benchmark::State& state) {
    const int cameras = int(state.range(0));
    const auto dir = std::filesystem::temp_directory_path() / ("orvex-mbench-" + std::to_string(::getpid()));
    orvex::bench::WriteFirmwareFolder(dir);

    static std::set<int> warmed;
    if (warmed.insert(cameras).second) OneRun(dir, cameras);

    Figures f;
    for (auto _ : state) {
        f = OneRun(dir, cameras);
        state.SetIterationTime(f.wallS);
    }
    state.counters["all_urbs"] = f.urbs;
    state.counters["run_wall_ms"] = f.wallS * 1e3;
    state.counters["wall_per_urb_us"] = f.wallS * 1e6 / f.urbs;
    state.counters["run_cpu_ms"] = f.cpuS * 1e3;
    state.counters["cpu_per_urb_us"] = f.cpuS * 1e6 / f.urbs;
    state.counters["virtual_s"] = f.virtualS;
    state.counters["updated"] = f.updated;
    state.counters["page_faults"] = f.faults;
    std::filesystem::remove_all(dir);
}

double Min(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }
double Max(const std::vector<double>& v) { return *std::max_element(v.begin(), v.end()); }

}  // namespace

BENCHMARK(BM_ConcurrentUpdates)
    ->ArgName("cameras")
    ->Arg(1)
    ->Arg(2)
    ->Arg(4)
    ->Arg(8)
    ->Arg(16)
    ->Arg(32)
    ->Iterations(1)
    ->Repetitions(5)
    ->ComputeStatistics("min", Min)
    ->ComputeStatistics("max", Max)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    // Large blocks stay on the heap and freed memory stays with the process,
    // so a repetition reuses the pages of the one before.
    mallopt(M_MMAP_THRESHOLD, 256 << 20);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
