// The bus registered with the PnP manager: plugging a device makes the
// manager enumerate it and start a function driver's stack on its PDO;
// unplugging it surprise-removes and removes that stack, and the PDO goes
// (a removal while present keeps it: PdoTest). The function driver is the
// platform tests' ordinary WDM driver.
#include <hosted/pnp.h>

#include <chrono>

#include "TestDriver.h"
#include "UsbStackTestUtil.h"

using namespace hosted::usb;
using hosted::DeviceState;
using hosted::Pnp;
using orvex::sim::CameraConfig;
using orvex::sim::MakeCamera;

namespace {

bool Known(PDEVICE_OBJECT pdo) {
    for (PDEVICE_OBJECT d : Pnp::Devices())
        if (d == pdo) return true;
    return false;
}

// A root bus with the test function driver registered for the camera.
std::unique_ptr<Bus> RootBus() {
    platformtest::ResetTestDriver();
    Pnp::RegisterDriver("usbtestfn", &platformtest::TestDriverEntry, {"usb\\vid_1209&pid_0ca3"});
    BusOptions options;
    options.rootBus = true;
    return std::make_unique<Bus>(options);
}

}  // namespace

TEST(BusPnp, PluggedDevicesAreStartedUnpluggedOnesRemovedAndTheirPdosDeleted) {
    hosted::TestPlatform platform;
    auto bus = RootBus();
    const int camera = bus->Plug(MakeCamera());
    CameraConfig unknown;
    unknown.productId = 0x0CA4;
    const int other = bus->Plug(MakeCamera(unknown));
    Pnp::WaitIdle();
    PDEVICE_OBJECT pdo = bus->Pdo(camera);
    ASSERT_TRUE(Known(pdo));
    EXPECT_EQ(Pnp::State(pdo), DeviceState::Started);
    EXPECT_EQ(bus->State(camera), PdoState::Started);
    EXPECT_NE(Pnp::Top(pdo), pdo) << "the function device sits on the PDO";
    EXPECT_EQ(Pnp::Instance(pdo).rfind("USB\\VID_1209&PID_0CA3\\", 0), 0u) << Pnp::Instance(pdo);
    ASSERT_TRUE(Known(bus->Pdo(other)));
    EXPECT_EQ(Pnp::State(bus->Pdo(other)), DeviceState::Enumerated) << "no driver matches it";

    // Unplugged: the manager learns it from the relations and tears it down.
    bus->Unplug(camera);
    Pnp::WaitIdle();
    EXPECT_TRUE(Pnp::LastIrp(pdo, IRP_MN_SURPRISE_REMOVAL, nullptr));
    EXPECT_EQ(Pnp::State(pdo), DeviceState::Removed);
    EXPECT_EQ(bus->State(camera), PdoState::Deleted);
    EXPECT_EQ(bus->Pdo(camera), nullptr);
    EXPECT_FALSE(Pnp::DriverLoaded("usbtestfn")) << "its last device is gone";

    // Back in: a new PDO, a new stack.
    bus->Replug(camera);
    Pnp::WaitIdle();
    PDEVICE_OBJECT again = bus->Pdo(camera);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(Pnp::State(again), DeviceState::Started);
    EXPECT_TRUE(Pnp::DriverLoaded("usbtestfn"));
    bus.reset();  // removes both stacks through the manager first
    EXPECT_FALSE(Pnp::DriverLoaded("usbtestfn"));
}

// A camera that re-enumerates after UVCReset_ID leaves its port shortly
// after the reset; the manager surprise-removes and removes the old stack.
// After the camera's boot time it is back on a new PDO of the same device
// instance, started again (what it runs then is the simulator's own test).
TEST(BusPnp, CameraReenumeratesAfterItsResetAsTheSameInstance) {
    hosted::TestPlatform platform;
    auto bus = RootBus();
    CameraConfig cfg;
    cfg.reenumerateAfterReset = true;
    cfg.reenumerateTime = std::chrono::milliseconds(2000);
    auto camera = MakeCamera(cfg);
    const int port = bus->Plug(camera);
    Pnp::WaitIdle();
    PDEVICE_OBJECT old = bus->Pdo(port);
    ASSERT_EQ(Pnp::State(old), DeviceState::Started);
    const std::string instance = Pnp::Instance(old);
    const std::string driverKey = hosted::Io::DriverKeyPath(old);
    const std::string deviceKey = hosted::Io::DeviceKeyPath(old);

    uint8_t byte = 0;
    ASSERT_EQ(usbtest::Vendor(old, true, 0xB4, 0, &byte, 1), STATUS_SUCCESS) << "the reset itself is answered";
    const int64_t t0 = hosted::Clock::Now();
    auto sleepUntil = [&](int64_t ms) { hosted::Sleep(t0 + hosted::Milliseconds(ms) - hosted::Clock::Now()); };

    sleepUntil(9);
    EXPECT_TRUE(bus->Plugged(port));
    sleepUntil(11);
    EXPECT_FALSE(bus->Plugged(port));
    Pnp::WaitIdle();
    EXPECT_TRUE(Pnp::LastIrp(old, IRP_MN_SURPRISE_REMOVAL, nullptr));
    EXPECT_EQ(bus->Pdo(port), nullptr) << "the old PDO is gone";

    sleepUntil(2009);
    EXPECT_FALSE(bus->Plugged(port));
    sleepUntil(2011);
    EXPECT_TRUE(bus->Plugged(port));
    Pnp::WaitIdle();
    PDEVICE_OBJECT again = bus->Pdo(port);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(Pnp::State(again), DeviceState::Started);
    // The same device instance: its settings are where its driver left them.
    EXPECT_EQ(Pnp::Instance(again), instance);
    EXPECT_EQ(hosted::Io::DriverKeyPath(again), driverKey);
    EXPECT_EQ(hosted::Io::DeviceKeyPath(again), deviceKey);
    EXPECT_EQ(camera->Stats().reconnects, 1u);
    bus.reset();
}
