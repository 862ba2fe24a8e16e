// The bus registered with the PnP manager: plugging a device makes the
// manager enumerate it and start a function driver's stack on its PDO;
// unplugging it surprise-removes and removes that stack, and the PDO goes;
// a disabled device keeps its PDO.
#include <hosted/pnp.h>

#include <chrono>
#include <cstring>

#include "UsbStackTestUtil.h"

using namespace hosted::usb;
using hosted::DeviceState;
using hosted::Pnp;
using orvex::sim::CameraConfig;
using orvex::sim::MakeCamera;

namespace {

// The smallest WDM function driver: one device per PDO that forwards
// everything, waits for the start to come back up, and detaches and deletes
// itself at removal.
struct Fdo {
    PDEVICE_OBJECT lower;
};

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT fdo;
    const NTSTATUS status = IoCreateDevice(driver, sizeof(Fdo), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status)) return status;
    static_cast<Fdo*>(fdo->DeviceExtension)->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    fdo->Flags |= DO_POWER_PAGABLE;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI StartDone(PDEVICE_OBJECT, PIRP, PVOID event) {
    KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT fdo, PIRP irp) {
    PDEVICE_OBJECT lower = static_cast<Fdo*>(fdo->DeviceExtension)->lower;
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
        case IRP_MN_START_DEVICE: {
            KEVENT done;
            KeInitializeEvent(&done, NotificationEvent, FALSE);
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, StartDone, &done, TRUE, TRUE, TRUE);
            if (IoCallDriver(lower, irp) == STATUS_PENDING)
                KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
            const NTSTATUS status = irp->IoStatus.Status;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return status;
        }
        case IRP_MN_REMOVE_DEVICE: {
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoSkipCurrentIrpStackLocation(irp);
            const NTSTATUS status = IoCallDriver(lower, irp);
            IoDetachDevice(lower);
            IoDeleteDevice(fdo);
            return status;
        }
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
            irp->IoStatus.Status = STATUS_SUCCESS;
            break;
        default:
            break;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(lower, irp);
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT fdo, PIRP irp) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(static_cast<Fdo*>(fdo->DeviceExtension)->lower, irp);
}

VOID NTAPI Unload(PDRIVER_OBJECT) {}

NTSTATUS NTAPI Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->DriverExtension->AddDevice = AddDevice;
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    driver->DriverUnload = Unload;
    return STATUS_SUCCESS;
}

bool Known(PDEVICE_OBJECT pdo) {
    for (PDEVICE_OBJECT d : Pnp::Devices())
        if (d == pdo) return true;
    return false;
}

}  // namespace

TEST(BusPnp, PluggedDevicesAreStartedUnpluggedOnesRemovedAndTheirPdosDeleted) {
    hosted::TestPlatform platform;
    Pnp::RegisterDriver("usbtestfn", &Entry, {"usb\\vid_1209&pid_0ca3"});
    BusOptions options;
    options.rootBus = true;
    auto bus = std::make_unique<Bus>(options);

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

    // Disabled and enabled: the PDO stays the same.
    EXPECT_EQ(Pnp::Disable(pdo), STATUS_SUCCESS);
    EXPECT_EQ(bus->State(camera), PdoState::Removed);
    EXPECT_EQ(bus->Pdo(camera), pdo);
    EXPECT_EQ(Pnp::Enable(pdo), STATUS_SUCCESS);
    EXPECT_EQ(bus->State(camera), PdoState::Started);

    // Unplugged: the manager learns it from the relations and tears it down.
    bus->Unplug(camera);
    Pnp::WaitIdle();
    hosted::IrpRecord record;
    EXPECT_TRUE(Pnp::LastIrp(pdo, IRP_MN_SURPRISE_REMOVAL, &record));
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
// After the camera's boot time it is back on a new PDO, started again, and
// reports the firmware flashed before the reset.
TEST(BusPnp, CameraReenumeratesAfterItsResetRunningTheNewFirmware) {
    hosted::TestPlatform platform;
    Pnp::RegisterDriver("usbtestfn", &Entry, {"usb\\vid_1209&pid_0ca3"});
    BusOptions options;
    options.rootBus = true;
    auto bus = std::make_unique<Bus>(options);
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

    // One ISP page with its version text, no marker of ours.
    uint8_t key[2] = {0xAA, 0x55}, byte = 0;
    URB start = usbtest::VendorUrb(false, 0xB1, 0, key, 2);
    ASSERT_EQ(usbtest::SendUrb(old, &start).final, STATUS_SUCCESS);
    URB size = usbtest::VendorUrb(true, 0xB5, 1, &byte, 1);
    ASSERT_EQ(usbtest::SendUrb(old, &size).final, STATUS_SUCCESS);
    std::vector<uint8_t> page(4096, 0x5C);
    const uint32_t w = 64;
    std::memcpy(page.data() + 28, &w, 4);
    std::memcpy(page.data() + w + 832 + 3, "07.08.09", 8);
    URB spi = usbtest::VendorUrb(false, 0xB6, 0x1000, page.data(), 4096);
    ASSERT_EQ(usbtest::SendUrb(old, &spi).final, STATUS_SUCCESS);
    EXPECT_EQ(camera->Stats().ispImagesFlashed, 1u);

    URB reset = usbtest::VendorUrb(true, 0xB4, 0, &byte, 1);
    ASSERT_EQ(usbtest::SendUrb(old, &reset).final, STATUS_SUCCESS) << "the reset itself is answered";
    const int64_t t0 = hosted::Clock::Now();
    auto sleepUntil = [&](int64_t ms) { hosted::Sleep(t0 + hosted::Milliseconds(ms) - hosted::Clock::Now()); };

    sleepUntil(9);
    EXPECT_TRUE(bus->Plugged(port));
    sleepUntil(11);
    EXPECT_FALSE(bus->Plugged(port));
    Pnp::WaitIdle();
    hosted::IrpRecord record;
    EXPECT_TRUE(Pnp::LastIrp(old, IRP_MN_SURPRISE_REMOVAL, &record));
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

    uint8_t rec[12] = {};
    URB version = usbtest::VendorUrb(true, 0xB0, 0, rec, 12);
    ASSERT_EQ(usbtest::SendUrb(again, &version).final, STATUS_SUCCESS);
    EXPECT_EQ(rec[3] | rec[4] << 8 | rec[5] << 16, 0x070809);
    EXPECT_FALSE(camera->InUpdateMode());
    EXPECT_EQ(camera->Stats().reconnects, 1u);
    bus.reset();
}
