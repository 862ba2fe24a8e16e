// A camera that re-enumerates after its reset, with the plug-and-play manager
// driving the driver: the update writes all three parts from files without
// our image builders' markers, resets the camera, the camera drops off the
// bus and comes back running the new firmware on a new PDO of the same
// device instance, and the driver's second run finds every version equal and
// sends nothing but the version read.
#include <gtest/gtest.h>

#include <hosted/pnp.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <unistd.h>

#include "FrameRig.h"
#include "Firmware.h"

namespace orvex::test {
namespace {

using hosted::Pnp;
namespace fs = std::filesystem;
namespace fw = orvex::firmware;

void Write(const fs::path& p, const fw::Bytes& b) {
    std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
}

// Vendor requests the bus saw at or after `from` (virtual time).
std::multiset<uint8_t> VendorRequestsSince(const hosted::usb::Bus& bus, int64_t from) {
    std::multiset<uint8_t> r;
    for (const auto& t : bus.Log())
        if (t.submitted >= from && t.control && (t.setup[0] & 0x60) == 0x40) r.insert(t.setup[1]);
    return r;
}

TEST(Reenumeration, SecondRunAfterTheCamerasReturnOnlyReadsTheVersion) {
    const fs::path dir = fs::temp_directory_path() / ("orvex-reenum-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    // Plain files: the ISP and audio images start with bytes of their own.
    auto isp = fw::MakeIspImage({.size = 64 << 10, .text = "02.03.04"});
    std::fill_n(isp.begin(), 4, uint8_t{0x5A});
    auto aud = fw::MakeAudImage({.size = 240000, .version = 7});
    std::fill_n(aud.begin(), 4, uint8_t{0xC3});
    Write(dir / "isp.bin", isp);
    Write(dir / "aud.bin", aud);
    Write(dir / "fx3.img", fw::MakeFx3Image({.size = 16 << 10, .version = {1, 2, 4}}));
    const std::string v = fw::VersionFileText(10204, 0x020304, 7);
    Write(dir / "version.txt", fw::Bytes(v.begin(), v.end()));

    {
        hosted::TestPlatform platform;
        hosted::Files::MapDrive('C', dir.string());
        LogMask = 0xFFFFFFFF;
        Pnp::RegisterDriver("ORVEX", &DriverEntry, {"USB\\VID_1209&PID_0CA3"});
        orvex::sim::CameraConfig config;
        config.reenumerateAfterReset = true;
        auto camera = orvex::sim::MakeCamera(config);
        hosted::usb::BusOptions options;
        options.rootBus = true;
        hosted::usb::Bus bus(options);
        const int port = bus.Plug(camera);
        // The manager runs once this thread waits: the settings are in place first.
        const std::string key = hosted::Io::DriverKeyPath(bus.Pdo(port));
        hosted::Registry::SetString(key, "FX3", "C:\\fx3.img");
        hosted::Registry::SetString(key, "ISP", "C:\\isp.bin");
        hosted::Registry::SetString(key, "AUD", "C:\\aud.bin");
        hosted::Registry::SetString(key, "VERSION", "C:\\version.txt");
        Pnp::WaitIdle();
        PDEVICE_OBJECT first = bus.Pdo(port);
        ASSERT_EQ(Pnp::State(first), hosted::DeviceState::Started);

        // The first run: everything written, then the reset.
        for (int s = 0; s < 300 && camera->Stats().reconnects == 0; ++s) hosted::Sleep(hosted::Seconds(1));
        auto st = camera->Stats();
        ASSERT_EQ(st.reconnects, 1u) << "the camera never came back";
        EXPECT_EQ(st.resets, 1u);
        EXPECT_EQ(st.ispImagesFlashed, 1u);
        EXPECT_EQ(st.audioImagesFlashed, 1u);
        EXPECT_EQ(st.imagesRejected, 0u);
        EXPECT_GT(st.eepromPagesWritten, 0u);
        const int64_t back = hosted::Clock::Now();

        // The old stack went by surprise removal; the new one starts.
        Pnp::WaitIdle();
        hosted::IrpRecord record;
        EXPECT_TRUE(Pnp::LastIrp(first, IRP_MN_SURPRISE_REMOVAL, &record));
        PDEVICE_OBJECT second = bus.Pdo(port);
        ASSERT_NE(second, nullptr);
        EXPECT_EQ(Pnp::State(second), hosted::DeviceState::Started);

        // The second run: every version equal, nothing but the version read.
        hosted::Sleep(hosted::Seconds(30));
        EXPECT_EQ(VendorRequestsSince(bus, back), (std::multiset<uint8_t>{0xB0}));
        st = camera->Stats();
        EXPECT_EQ(st.resets, 1u);
        EXPECT_EQ(st.updateModeEntries, 1u);
        const auto rec = camera->VersionRecord();
        EXPECT_EQ(rec[0] * 10000 + rec[1] * 100 + rec[2], 10204);
        EXPECT_EQ(uint32_t(rec[3] | rec[4] << 8 | rec[5] << 16), 0x020304u);
        EXPECT_EQ(rec[6], 7);
    }
    fs::remove_all(dir);
}

}  // namespace
}  // namespace orvex::test
