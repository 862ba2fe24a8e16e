// The generated ORVEX.inf installing the driver itself for a simulated camera
// on the platform's USB bus: the service key the driver loads with carries the
// INF's log mask, the camera's driver key the INF's firmware paths (which the
// driver then opens). That a camera the INF does not name never loads the
// driver is tested through orvex-sim (tests/cli/EndToEndTest.cpp).
#include <filesystem>
#include <fstream>

#include <unistd.h>

#include <hosted/gtest.h>
#include <hosted/inf.h>

#include "Firmware.h"
#include "Log.h"
#include "SimOnBus.h"
#include "UsbBus.h"
#include "driver/Driver.h"

using namespace hosted;

namespace {

const char* const kStore = "C:\\Windows\\System32\\DriverStore\\FileRepository\\orvex.inf_amd64_0";

// The values the driver reads: from the device's driver key when a device is
// added, and from the service's Parameters key at load.
InfOptions DriverOptions()
{
    InfOptions o;
    o.binaries = {{"ORVEX.sys", &DriverEntry}};
    o.driverStore = kStore;
    o.knownValues = {{"driver", {"FX3", "ISP", "AUD", "VERSION"}}, {"parameters", {"Logs"}}, {"service", {}}};
    return o;
}

using GeneratedInf = PlatformTest;

TEST_F(GeneratedInf, InstallsTheDriverForTheSimulatedCamera)
{
    LogMask = 0xFFFFFFFF;
    std::string error;
    const auto installed = InfInstaller::Install(ORVEX_INF_PATH, DriverOptions(), &error);
    ASSERT_TRUE(installed) << error;
    EXPECT_EQ(installed->service, "ORVEX");
    const std::string svc = ServiceKeyPath("ORVEX");
    EXPECT_EQ(Registry::GetDword(svc, "Type"), 1u);  // a kernel driver
    EXPECT_EQ(Registry::GetDword(svc, "Start"), 3u);  // loaded on demand
    EXPECT_EQ(Registry::GetDword(svc, "ErrorControl"), 1u);
    EXPECT_EQ(Registry::ValueNames(svc + "\\Parameters"), std::vector<std::string>{"Logs"});
    orvex::sim::CameraConfig config;
    config.requireUpdateMode = false;
    ASSERT_TRUE(installed->Matches({"USB\\VID_1209&PID_0CA3"}));  // the simulated camera's default IDs
    EXPECT_FALSE(installed->Matches({"USB\\VID_1209&PID_0CA4"}));

    // The package's driver-store folder on drive C, holding a version file
    // that names the camera's own versions (nothing to update).
    namespace fs = std::filesystem;
    const fs::path root = fs::temp_directory_path() / ("orvex-inf-" + std::to_string(::getpid()));
    const fs::path store = root / "Windows/System32/DriverStore/FileRepository/orvex.inf_amd64_0";
    fs::create_directories(store);
    std::ofstream(store / "version.txt")
        << orvex::firmware::VersionFileText(orvex::firmware::Fx3VersionNumber(config.fx3Version), config.ispVersion,
                                            config.audioVersion);
    Files::MapDrive('C', root.string());
    {
        usb::BusOptions options;
        options.rootBus = true;
        usb::Bus bus(orvex::sim::MakeCamera(config), {}, options);
        Pnp::WaitIdle();
        // DriverEntry ran on the service key the INF wrote: its log mask is the INF's.
        EXPECT_EQ(LogMask, Registry::GetDword(ServiceKeyPath("ORVEX") + "\\Parameters", "Logs"));
        EXPECT_NE(LogMask, 0xFFFFFFFFu);
        const std::string key = Io::DriverKeyPath(bus.Pdo());
        for (const char* name : {"FX3", "ISP", "AUD", "VERSION"}) {
            auto value = Registry::GetString(key, name);
            ASSERT_TRUE(value) << name;
            EXPECT_EQ(value->rfind(std::string(kStore) + "\\", 0), 0u) << *value;
        }
        EXPECT_EQ(Registry::ValueNames(key).size(), 4u);
        // The driver started the camera and read the version file at the INF's path.
        EXPECT_EQ(Pnp::State(bus.Pdo()), DeviceState::Started);
        hosted::Sleep(Seconds(5));
        EXPECT_GE(Files::OpenCount("\\??\\" + std::string(kStore) + "\\version.txt"), 1u);
        bus.Unplug();
        Pnp::WaitIdle();
    }
    EXPECT_FALSE(Pnp::DriverLoaded("ORVEX"));
    Files::UnmapDrive('C');
    fs::remove_all(root);
}

}  // namespace
