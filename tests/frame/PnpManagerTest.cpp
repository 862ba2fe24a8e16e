// Whole lives of cameras with the platform's plug-and-play manager driving
// the driver: loaded for the first camera, add and start, rebalance, removal
// on request and by unplugging, unloaded after the last camera with the leak
// and verifier checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <hosted/pnp.h>

#include "FrameRig.h"
#include "wmi/Wmi.h"

namespace orvex::test {
namespace {

using hosted::Pnp;
using hosted::Trace;

// A root-enumerated bus whose children are FrameBus cameras.
class RootBus {
public:
    RootBus()
    {
        driver_ = hosted::Io::CreateDriver("\\Driver\\frameroot");
        driver_->MajorFunction[IRP_MJ_PNP] = &RootBus::DispatchPnp;
        IoCreateDevice(driver_, sizeof(RootBus*), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &device_);
        *static_cast<RootBus**>(device_->DeviceExtension) = this;
        device_->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    ~RootBus()
    {
        IoDeleteDevice(device_);
        hosted::Io::DeleteDriver(driver_);
    }
    PDEVICE_OBJECT Device() const { return device_; }
    // Plugs or unplugs a camera and tells the manager.
    void Set(FrameBus* camera, bool present)
    {
        if (present)
            children_.push_back(camera);
        else
            children_.erase(std::remove(children_.begin(), children_.end(), camera), children_.end());
        IoInvalidateDeviceRelations(device_, BusRelations);
        Pnp::WaitIdle();
    }

private:
    static NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp)
    {
        RootBus* bus = *static_cast<RootBus**>(device->DeviceExtension);
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
        NTSTATUS status = irp->IoStatus.Status;
        if (sp->MinorFunction == IRP_MN_QUERY_DEVICE_RELATIONS &&
            sp->Parameters.QueryDeviceRelations.Type == BusRelations) {
            const size_t bytes = sizeof(DEVICE_RELATIONS) + bus->children_.size() * sizeof(PDEVICE_OBJECT);
            auto* list = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, bytes, 0x4662524C));
            list->Count = ULONG(bus->children_.size());
            for (size_t i = 0; i < bus->children_.size(); ++i) {
                list->Objects[i] = bus->children_[i]->Pdo();
                ObReferenceObject(list->Objects[i]);
            }
            irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(list);
            status = STATUS_SUCCESS;
        }
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    std::vector<FrameBus*> children_;
};

class ManagedLife : public hosted::PlatformTest {
protected:
    void SetUp() override
    {
        LogMask = 0xFFFFFFFF;
        Pnp::RegisterDriver("ORVEX", &DriverEntry, {"USB\\VID_1209&PID_0CA3"});
        root = std::make_unique<RootBus>();
        Pnp::AddRootBus(root->Device());
    }
    void TearDown() override
    {
        Pnp::RemoveRootBus(root->Device());
        Pnp::WaitIdle();
        EXPECT_FALSE(Pnp::DriverLoaded("ORVEX"));
        cameras.clear();
        root.reset();
        LogMask = 0xFFFFFFFF;
    }
    FrameBus& Plug()
    {
        cameras.push_back(std::make_unique<FrameBus>());
        cameras.back()->index = int(cameras.size() - 1);
        root->Set(cameras.back().get(), true);
        return *cameras.back();
    }
    static FdoData* DataOf(FrameBus& camera) { return FdoDataOf(Pnp::Top(camera.Pdo())); }
    std::vector<std::string> IrpNames(PDEVICE_OBJECT pdo)
    {
        std::vector<std::string> names;
        for (const auto& r : Pnp::Log())
            if (r.pdo == pdo) names.push_back(r.Name());
        return names;
    }

    std::unique_ptr<RootBus> root;
    std::vector<std::unique_ptr<FrameBus>> cameras;
};

TEST_F(ManagedLife, OneCameraFromPlugToUnload)
{
    FrameBus& camera = Plug();
    ASSERT_EQ(Pnp::State(camera.Pdo()), hosted::DeviceState::Started);
    EXPECT_TRUE(Pnp::DriverLoaded("ORVEX"));
    FdoData* data = DataOf(camera);
    EXPECT_TRUE(data->Started);
    EXPECT_TRUE(hosted::Io::WmiRegistered(data->Self));
    EXPECT_EQ(static_cast<CDevice*>(data->KsDevice->Context)->GetUId(), 1u);
    EXPECT_TRUE(Trace::Contains("ORVEX :  -DeviceStart() completed (0)\n"));

    // Rebalance: query-stop, stop, start.
    Pnp::ClearLog();
    EXPECT_EQ(Pnp::Rebalance(camera.Pdo()), STATUS_SUCCESS);
    const auto names = IrpNames(camera.Pdo());
    EXPECT_NE(std::find(names.begin(), names.end(), "QUERY_STOP_DEVICE"), names.end());
    EXPECT_NE(std::find(names.begin(), names.end(), "STOP_DEVICE"), names.end());
    EXPECT_NE(std::find(names.begin(), names.end(), "START_DEVICE"), names.end());
    EXPECT_TRUE(DataOf(camera)->Started);

    // Disable: query-remove, remove; the driver unloads after its last device.
    EXPECT_EQ(Pnp::Disable(camera.Pdo()), STATUS_SUCCESS);
    EXPECT_EQ(camera.Pdo()->AttachedDevice, nullptr);
    Pnp::WaitIdle();
    EXPECT_FALSE(Pnp::DriverLoaded("ORVEX"));
    // The manager's driver log: DriverEntry's status, then a clean unload.
    const auto drivers = Pnp::DriverLog();
    ASSERT_EQ(drivers.size(), 2u);
    EXPECT_TRUE(drivers[0].load);
    EXPECT_EQ(drivers[0].service, "ORVEX");
    EXPECT_EQ(drivers[0].status, STATUS_SUCCESS);
    EXPECT_FALSE(drivers[1].load);
    EXPECT_TRUE(drivers[1].problems.empty());
    EXPECT_GE(drivers[1].time, drivers[0].time);
}

TEST_F(ManagedLife, TwoCamerasThenOneUnplugged)
{
    FrameBus& first = Plug();
    FrameBus& second = Plug();
    ASSERT_EQ(Pnp::State(first.Pdo()), hosted::DeviceState::Started);
    ASSERT_EQ(Pnp::State(second.Pdo()), hosted::DeviceState::Started);
    EXPECT_EQ(static_cast<CDevice*>(DataOf(first)->KsDevice->Context)->GetUId(), 1u);
    EXPECT_EQ(static_cast<CDevice*>(DataOf(second)->KsDevice->Context)->GetUId(), 2u);

    // The first camera leaves the bus: surprise removal, then removal.
    Trace::Clear();
    root->Set(&first, false);
    EXPECT_EQ(Pnp::State(first.Pdo()), hosted::DeviceState::Removed);
    EXPECT_EQ(Prints("ORVEX :  ++DeviceSurpriseRemoval()\n"), 1u);
    EXPECT_EQ(Prints("ORVEX :  +DeviceRemove() Dev 0 \n"), 1u);
    EXPECT_TRUE(Pnp::DriverLoaded("ORVEX"));
    EXPECT_TRUE(DataOf(second)->Started);
}

// The same through the platform's USB bus driver: its hub reports the
// camera, its PDO answers as a USB bus driver does, and unplugging the camera
// from its port surprise-removes it.
TEST(ManagedUsbLife, CameraOnTheUsbBusFromPlugToUnplug)
{
    hosted::TestPlatform platform;
    LogMask = 0xFFFFFFFF;
    Pnp::RegisterDriver("ORVEX", &DriverEntry, {"USB\\VID_1209&PID_0CA3"});
    orvex::sim::CameraConfig config;
    config.requireUpdateMode = false;
    {
        hosted::usb::BusOptions options;
        options.rootBus = true;
        hosted::usb::Bus bus(orvex::sim::MakeCamera(config), {}, options);
        Pnp::WaitIdle();
        ASSERT_EQ(Pnp::State(bus.Pdo()), hosted::DeviceState::Started);
        FdoData* data = FdoDataOf(Pnp::Top(bus.Pdo()));
        EXPECT_TRUE(data->Started);
        // The USB PDO's answers: bus number, capabilities fetched at start.
        EXPECT_EQ(data->BusNumber, 1u);
        EXPECT_EQ(data->DeviceCaps.DeviceState[PowerSystemWorking], PowerDeviceD0);
        EXPECT_EQ(data->WmiLibInfo.GuidList, WmiGuidListNoWake);
        // Let the update run, then pull the camera out of its port.
        hosted::Sleep(hosted::Seconds(5));
        Trace::Clear();
        bus.Unplug();
        Pnp::WaitIdle();
        EXPECT_EQ(Prints("ORVEX :  ++DeviceSurpriseRemoval()\n"), 1u);
        EXPECT_EQ(Prints("ORVEX :  -DeviceRemove() completed\n"), 1u);
        EXPECT_FALSE(Pnp::DriverLoaded("ORVEX"));
    }
}

}  // namespace
}  // namespace orvex::test
