// The shipped ORVEX.sys against the hosted build's driver, side by side: the
// full update of UpdateBench (blank EEPROM) and the demo, each once with
// either driver. The shipped image runs its own compiled code and traps on
// every IRQL access it makes; the figure that matters is the ratio of the two
// wall times (run_wall_ms of ".../shipped" over ".../hosted").
//
// The image comes from -DORVEX_SYS at configure time or the ORVEX_SYS
// environment variable; without either the shipped runs are skipped.
#include <benchmark/benchmark.h>

#include <hosted/hosted.h>
#include <hosted/kernel_image.h>
#include <hosted/pnp.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>

#include "BenchImages.h"
#include "BenchStack.h"
#include "Firmware.h"
#include "SimOnBus.h"
#include "UsbBus.h"
#include "driver/Driver.h"
#include "driver/FdoData.h"
#include "usbdevice/UsbDevice.h"

using namespace orvex::firmware;

namespace {

std::string ImagePath()
{
    const char* env = std::getenv("ORVEX_SYS");
    return env && *env ? env : ORVEX_SYS_PATH;
}

// Loaded once per process, as the system loads a driver image once.
hosted::KernelImage* Shipped()
{
    static std::unique_ptr<hosted::KernelImage> image = [] {
        std::string error;
        auto img = ImagePath().empty() ? nullptr : hosted::KernelImage::Load(ImagePath(), &error);
        if (!error.empty()) std::fprintf(stderr, "%s\n", error.c_str());
        return img;
    }();
    return image.get();
}

// One full update through the whole stack; returns the URB count.
double FullUpdate(const std::filesystem::path& dir, PDRIVER_INITIALIZE entry)
{
    hosted::Platform platform;
    hosted::Files::MapDrive('C', dir.string());
    orvex::sim::CameraConfig c = orvex::bench::OldCameraConfig();
    auto camera = orvex::sim::MakeCamera(c);
    orvex::bench::RegisterDriverFor(*camera, entry);
    hosted::usb::Bus bus(orvex::bench::RootHub());
    PDEVICE_OBJECT pdo = orvex::bench::PlugWithFirmware(bus, camera);
    hosted::Pnp::WaitIdle();
    orvex::bench::WaitForUpdate(pdo);
    hosted::Pnp::Disable(pdo);
    hosted::Pnp::WaitIdle();
    return double(bus.Log().size());
}

void BM_ShippedFullUpdate(benchmark::State& state)
{
    const bool shipped = state.range(0) != 0;
    if (shipped && !Shipped()) return state.SkipWithError("no ORVEX.sys: configure with -DORVEX_SYS or set ORVEX_SYS");
    PDRIVER_INITIALIZE entry = shipped ? Shipped()->Entry() : &DriverEntry;
    const auto dir = std::filesystem::temp_directory_path() / ("orvex-shipped-bench-" + std::to_string(::getpid()));
    orvex::bench::WriteFirmwareFolder(dir);
    double urbs = 0;
    const uint64_t traps0 = hosted::KernelImage::EmulatedInstructions();
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        urbs = FullUpdate(dir, entry);
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    state.counters["all_urbs"] = urbs;
    state.counters["irql_traps"] =
        double(hosted::KernelImage::EmulatedInstructions() - traps0) / double(state.iterations());
    std::filesystem::remove_all(dir);
}

// The demo as a user runs it: orvex-sim demo, as fast as possible.
void BM_ShippedDemo(benchmark::State& state)
{
    const bool shipped = state.range(0) != 0;
    if (shipped && ImagePath().empty()) return state.SkipWithError("no ORVEX.sys: configure with -DORVEX_SYS or set ORVEX_SYS");
    std::string cmd = std::string("'") + ORVEX_SIM_PATH + "' demo --quiet --speed 0";
    if (shipped) cmd += " --driver '" + ImagePath() + "'";
    cmd += " > /dev/null";
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        if (std::system(cmd.c_str()) != 0) return state.SkipWithError("orvex-sim demo failed");
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
}

}  // namespace

BENCHMARK(BM_ShippedFullUpdate)->Arg(0)->Arg(1)->ArgName("shipped")->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ShippedDemo)->Arg(0)->Arg(1)->ArgName("shipped")->UseManualTime()->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
