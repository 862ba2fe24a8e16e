// A full update run on the simulated camera, in deterministic virtual time,
// through the whole stack (plug-and-play manager, driver frame, USB bus):
// a 4 MiB ISP image, a 256 KiB audio image and a 192 KiB FX3 image, into a
// blank EEPROM and into one that differs from the new image in five pages.
//
// Counters (per run):
//   download_transfers / _min, download_bytes / _min and their ratios: the
//     requests that move firmware (size announcement, status, SPI pages,
//     EEPROM reads and writes) against the least the protocol allows;
//   all_urbs: every URB of the run, control polls and start-up included;
//   virtual_s: virtual duration of the run (plug-in to the update thread's end);
//   wall_per_urb_us: wall time of the run divided by all_urbs;
//   peak_pool / peak_pool_over_target: highest pool use with the engine's tag,
//     and its excess over the largest step's need (file + 4096 for the flash
//     steps; file + 4096 + EEPROM image + 1024 for the FX3 step).
#include <benchmark/benchmark.h>

#include <hosted/hosted.h>
#include <hosted/pnp.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <unistd.h>

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
    double transfers = 0, transfersMin = 0, bytes = 0, bytesMin = 0, urbs = 0, virtualS = 0, wallS = 0;
    double peak = 0, target = 0;
};

Figures OneRun(const std::filesystem::path& dir, int differingPages) {
    Figures f;
    hosted::Platform platform;
    hosted::Files::MapDrive('C', dir.string());

    orvex::sim::CameraConfig c = orvex::bench::OldCameraConfig();
    if (differingPages > 0) {
        // The new image with an older version marker (1.2.3, in page 0) and
        // differingPages - 1 further pages changed.
        c.eepromContent = Fx3Image();
        const std::string marker = "FX3VER:";
        auto at = std::search(c.eepromContent.begin(), c.eepromContent.end(), marker.begin(), marker.end());
        at[9] = 3;
        for (int k = 1; k < differingPages; ++k) c.eepromContent[size_t(k) * 97 * 256 + 3] ^= 0x5A;
    }
    auto camera = orvex::sim::MakeCamera(c);
    // The whole stack: the driver installed for the camera's hardware ID,
    // the camera plugged into a hub the plug-and-play manager enumerates,
    // the driver loaded, its device added and started by the manager.
    orvex::bench::RegisterDriverFor(*camera, &DriverEntry);
    hosted::usb::Bus bus(orvex::bench::RootHub());

    const auto wall0 = std::chrono::steady_clock::now();
    const int64_t t0 = hosted::Clock::Now();
    PDEVICE_OBJECT pdo = orvex::bench::PlugWithFirmware(bus, camera);
    hosted::Pnp::WaitIdle();
    orvex::bench::WaitForUpdate(pdo);
    f.virtualS = double(hosted::Clock::Now() - t0) / hosted::kUnitsPerSecond;
    f.wallS = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    f.peak = double(hosted::Pool::PeakBytes(TagHarn));

    const Bytes& fx3 = Fx3Image();
    size_t differ = 0;
    const Bytes eeprom = differingPages > 0 ? c.eepromContent : Bytes();
    for (size_t off = 0; off < fx3.size(); off += 256) {
        bool same = true;
        for (size_t i = off; i < off + 256 && i < fx3.size(); ++i) same &= i < eeprom.size() && eeprom[i] == fx3[i];
        differ += !same;
    }
    const double ispPages = double((IspImage().size() + 4095) / 4096);
    const double audPages = double((AudImage().size() + 4095) / 4096);
    const double reads = double((fx3.size() + 1023) / 1024);
    f.transfersMin = 2 + ispPages + 2 + audPages + reads + double(differ);
    f.bytesMin = 2 * 2 * 9 + (ispPages + audPages) * (8 + 4096) + reads * (8 + 1024) + double(differ) * (8 + 256);
    for (const auto& t : bus.Log()) {
        f.urbs += 1;
        const uint8_t r = t.setup[1];
        if (t.function != 0x0017 || (r != 0xB5 && r != 0xB8 && r != 0xB6 && r != 0xB3 && r != 0xB2)) continue;
        f.transfers += 1;
        f.bytes += double(8 + t.out.size() + t.in.size());
    }
    const double flashNeed = double(IspImage().size() + 4096);
    const double fx3Need = double(fx3.size() + 4096 + fx3.size() + 1024);
    f.target = std::max(flashNeed, fx3Need);

    // Removal on request; the driver unloads after it with the leak checks.
    hosted::Pnp::Disable(pdo);
    hosted::Pnp::WaitIdle();
    if (camera->Eeprom().size() < fx3.size() || !std::equal(fx3.begin(), fx3.end(), camera->Eeprom().begin()))
        f.transfers = -1;  // shows as a wrong ratio
    return f;
}

void BM_FullUpdate(benchmark::State& state) {
    const int differing = int(state.range(0));
    const auto dir = std::filesystem::temp_directory_path() / ("orvex-bench-" + std::to_string(::getpid()));
    orvex::bench::WriteFirmwareFolder(dir);

    Figures f;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        f = OneRun(dir, differing);
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    state.counters["download_transfers"] = f.transfers;
    state.counters["download_transfers_min"] = f.transfersMin;
    state.counters["transfer_ratio"] = f.transfers / f.transfersMin;
    state.counters["download_bytes"] = f.bytes;
    state.counters["download_bytes_min"] = f.bytesMin;
    state.counters["byte_ratio"] = f.bytes / f.bytesMin;
    state.counters["all_urbs"] = f.urbs;
    state.counters["virtual_s"] = f.virtualS;
    state.counters["run_wall_ms"] = f.wallS * 1e3;
    state.counters["wall_per_urb_us"] = f.wallS * 1e6 / f.urbs;
    state.counters["peak_pool"] = f.peak;
    state.counters["peak_pool_over_target"] = f.peak - f.target;
    std::filesystem::remove_all(dir);
}

}  // namespace

BENCHMARK(BM_FullUpdate)->Arg(0)->ArgName("differing_eeprom_pages_blank")->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FullUpdate)->Arg(5)->ArgName("differing_eeprom_pages")->UseManualTime()->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
