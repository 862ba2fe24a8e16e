// The hosted bus as a parent device: several devices at once, each with its
// own PDO, reported through the hub's bus relations; the PDOs' plug-and-play
// answers (IDs, capabilities, properties, states), their on-demand failures,
// and what URBs get once a device is gone.
#include <cstring>
#include <string>

#include <wdmguid.h>

#include "UsbStackTestUtil.h"

using namespace hosted::usb;
using orvex::sim::CameraConfig;
using orvex::sim::MakeCamera;
using usbtest::Pnp;
using usbtest::SendUrb;
using usbtest::VendorUrb;

namespace {

// A device of the test's own: one interface of class HID, full speed, no
// serial number, a stalled answer to everything but its descriptors.
class SimpleDevice final : public BusDevice {
public:
    ControlResult Control(const SetupPacket& s, uint8_t* data) override {
        if (s.bmRequestType != 0x80 || s.bRequest != 0x06) return {true, 0};
        const auto& d = (s.wValue >> 8) == 1 ? device_ : config_;
        const uint32_t n = std::min<uint32_t>(s.wLength, static_cast<uint32_t>(d.size()));
        std::memcpy(data, d.data(), n);
        return {false, n};
    }
    std::vector<uint8_t> ConfigurationDescriptor() const override { return config_; }
    std::optional<BusTiming> Timing() const override { return BusTiming{10000, 12'000'000}; }

private:
    std::vector<uint8_t> device_{18, 1, 0x10, 0x01, 0, 0, 0, 8, 0x34, 0x12, 0x78, 0x56, 0x02, 0x03, 0, 0, 0, 1};
    std::vector<uint8_t> config_{9, 2, 18, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 0, 0x03, 0x01, 0x02, 0};
};

// The strings of an ID answer: a MULTI_SZ, or one string.
std::vector<std::string> Strings(const WCHAR* p, bool multi) {
    std::vector<std::string> out;
    while (p && *p) {
        std::string s;
        for (; *p; ++p) s += static_cast<char>(*p);
        out.push_back(s);
        ++p;
        if (!multi) break;
    }
    return out;
}

struct Answer {
    NTSTATUS status;
    ULONG_PTR information;
};

Answer QueryRelations(PDEVICE_OBJECT device, DEVICE_RELATION_TYPE type, PDEVICE_RELATIONS above = nullptr) {
    PIRP irp = hosted::Io::BuildIrp(device, IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS);
    IoGetNextIrpStackLocation(irp)->Parameters.QueryDeviceRelations.Type = type;
    irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(above);
    IO_STATUS_BLOCK io{};
    const NTSTATUS status = hosted::Io::SendAndWait(device, irp, &io);
    return {status, io.Information};
}

// The PDOs of a BusRelations answer; releases the references and the list
// as the PnP manager does.
std::vector<PDEVICE_OBJECT> Children(Bus& bus, NTSTATUS* status = nullptr) {
    const Answer a = QueryRelations(bus.Hub(), BusRelations);
    if (status) *status = a.status;
    std::vector<PDEVICE_OBJECT> out;
    auto* rel = reinterpret_cast<PDEVICE_RELATIONS>(a.information);
    if (!NT_SUCCESS(a.status) || !rel) return out;
    for (ULONG i = 0; i < rel->Count; ++i) {
        out.push_back(rel->Objects[i]);
        ObDereferenceObject(rel->Objects[i]);
    }
    ExFreePool(rel);
    return out;
}

NTSTATUS ReadVersion(PDEVICE_OBJECT pdo) {
    uint8_t record[12] = {};
    return usbtest::Vendor(pdo, true, 0xB0, 0, record, 12);
}

}  // namespace

class PdoTest : public hosted::PlatformTest {};

TEST_F(PdoTest, HubReportsEveryPresentDeviceAndForgetsAnUnpluggedOne) {
    Bus bus;
    EXPECT_TRUE(Children(bus).empty());
    auto first = MakeCamera();
    CameraConfig other;
    other.productId = 0x0CA4;
    auto second = MakeCamera(other);
    const int p1 = bus.Plug(first), p2 = bus.Plug(second);
    ASSERT_NE(p1, p2);
    PDEVICE_OBJECT pdo1 = bus.Pdo(p1), pdo2 = bus.Pdo(p2);
    ASSERT_NE(pdo1, pdo2);
    EXPECT_EQ(Children(bus), (std::vector<PDEVICE_OBJECT>{pdo1, pdo2}));
    EXPECT_EQ(pdo1->ReferenceCount, 0) << "every reference handed out was released by the caller";

    // Each URB reaches its own device.
    uint8_t aa55[2] = {0xAA, 0x55};
    URB start = VendorUrb(false, 0xB1, 0, aa55, 2);
    ASSERT_EQ(SendUrb(pdo2, &start).final, STATUS_SUCCESS);
    EXPECT_TRUE(second->InUpdateMode());
    EXPECT_FALSE(first->InUpdateMode());
    EXPECT_EQ(bus.Log().back().port, p2);

    bus.Unplug(p2);
    EXPECT_EQ(ReadVersion(pdo2), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(ReadVersion(pdo1), STATUS_SUCCESS);
    const size_t devices = hosted::Io::LiveDevices();
    EXPECT_EQ(Children(bus), (std::vector<PDEVICE_OBJECT>{pdo1}));
    // Reported missing: the surprise removal and removal that follow delete it.
    EXPECT_EQ(Pnp(pdo2, IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
    EXPECT_EQ(Pnp(pdo2, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(hosted::Io::LiveDevices(), devices - 1);
    EXPECT_EQ(bus.Pdo(p2), nullptr);
    EXPECT_EQ(bus.State(p2), PdoState::Deleted);
    // Plugged in again: a new PDO, enumerated afresh (through the manager: BusPnp).
    bus.Replug(p2);
    EXPECT_EQ(Children(bus).size(), 2u);
    EXPECT_EQ(bus.State(p2), PdoState::NotStarted);
}

TEST_F(PdoTest, RemovalOfAPresentDeviceKeepsItsPdoAndFailsItsUrbs) {
    Bus bus(MakeCamera());
    PDEVICE_OBJECT pdo = bus.Pdo();
    ASSERT_EQ(Pnp(pdo, IRP_MN_START_DEVICE), STATUS_SUCCESS);
    // Disabled: removed while present. The PDO stays and can start again.
    ASSERT_EQ(Pnp(pdo, IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(bus.State(), PdoState::RemovePending);
    ASSERT_EQ(Pnp(pdo, IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(bus.State(), PdoState::Started);
    ASSERT_EQ(Pnp(pdo, IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
    ASSERT_EQ(Pnp(pdo, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(bus.Pdo(), pdo);
    EXPECT_EQ(bus.State(), PdoState::Removed);
    EXPECT_EQ(hosted::Io::DevicePower(pdo), PowerDeviceD3);
    EXPECT_EQ(ReadVersion(pdo), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(Children(bus), (std::vector<PDEVICE_OBJECT>{pdo}));

    ASSERT_EQ(Pnp(pdo, IRP_MN_START_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(hosted::Io::DevicePower(pdo), PowerDeviceD0);
    EXPECT_EQ(ReadVersion(pdo), STATUS_SUCCESS);

}

TEST_F(PdoTest, RelationsAppendToAFiltersListAndSurviveAFailedAllocation) {
    Bus other(MakeCamera());
    Bus bus(MakeCamera());
    // A list passed down from above is kept, with the hub's PDO after it.
    auto* above = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), hosted::Tag("Test")));
    above->Count = 1;
    above->Objects[0] = other.Pdo();
    ObReferenceObject(other.Pdo());
    Answer a = QueryRelations(bus.Hub(), BusRelations, above);
    ASSERT_EQ(a.status, STATUS_SUCCESS);
    auto* rel = reinterpret_cast<PDEVICE_RELATIONS>(a.information);
    ASSERT_EQ(rel->Count, 2u);
    EXPECT_EQ(rel->Objects[0], other.Pdo());
    EXPECT_EQ(rel->Objects[1], bus.Pdo());
    for (ULONG i = 0; i < rel->Count; ++i) ObDereferenceObject(rel->Objects[i]);
    ExFreePool(rel);

    // The answer cannot be allocated: failed, and the unplugged device is
    // not yet reported missing, so its REMOVE does not delete it.
    bus.Unplug();
    hosted::Pool::FailTag(hosted::Tag("UsbI"), 1);
    NTSTATUS status;
    EXPECT_TRUE(Children(bus, &status).empty());
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Pnp(bus.Pdo(), IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(bus.State(), PdoState::Removed);
    EXPECT_TRUE(Children(bus).empty());
    EXPECT_EQ(Pnp(bus.Pdo(), IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(bus.State(), PdoState::Deleted);

    // The PDO's own relation: itself, referenced.
    a = QueryRelations(other.Pdo(), TargetDeviceRelation);
    ASSERT_EQ(a.status, STATUS_SUCCESS);
    rel = reinterpret_cast<PDEVICE_RELATIONS>(a.information);
    ASSERT_EQ(rel->Count, 1u);
    EXPECT_EQ(rel->Objects[0], other.Pdo());
    EXPECT_EQ(other.Pdo()->ReferenceCount, 1);
    ObDereferenceObject(rel->Objects[0]);
    ExFreePool(rel);
    // Relations a USB device does not have keep the sender's status.
    EXPECT_EQ(QueryRelations(other.Pdo(), RemovalRelations).status, STATUS_NOT_SUPPORTED);
}

TEST_F(PdoTest, IdsOfACompositeCameraAndOfASingleInterfaceDevice) {
    Bus bus(MakeCamera());
    const int simple = bus.Plug(std::make_shared<SimpleDevice>(), PortOptions{7, "USB\\VID_1234&PID_5678\\ab&1", {}});
    struct Case {
        int port;
        BUS_QUERY_ID_TYPE type;
        NTSTATUS status;
        std::vector<std::string> ids;
    };
    const Case cases[] = {
        {1, BusQueryDeviceID, STATUS_SUCCESS, {"USB\\VID_1209&PID_0CA3"}},
        {1, BusQueryHardwareIDs, STATUS_SUCCESS, {"USB\\VID_1209&PID_0CA3&REV_0100", "USB\\VID_1209&PID_0CA3"}},
        {1, BusQueryCompatibleIDs, STATUS_SUCCESS,
         {"USB\\DevClass_EF&SubClass_02&Prot_01", "USB\\DevClass_EF&SubClass_02", "USB\\DevClass_EF", "USB\\COMPOSITE"}},
        {1, BusQueryDeviceSerialNumber, STATUS_SUCCESS, {"0000000001"}},
        {1, BusQueryContainerID, STATUS_NOT_SUPPORTED, {}},
        {simple, BusQueryHardwareIDs, STATUS_SUCCESS, {"USB\\VID_1234&PID_5678&REV_0302", "USB\\VID_1234&PID_5678"}},
        {simple, BusQueryCompatibleIDs, STATUS_SUCCESS,
         {"USB\\Class_03&SubClass_01&Prot_02", "USB\\Class_03&SubClass_01", "USB\\Class_03"}},
        {simple, BusQueryInstanceID, STATUS_SUCCESS, {"ab&1"}},
        {simple, BusQueryDeviceSerialNumber, STATUS_NOT_SUPPORTED, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "port " << c.port << " id type " << c.type);
        IO_STATUS_BLOCK io{};
        const NTSTATUS status = hosted::Io::SendPnp(
            bus.Pdo(c.port), IRP_MN_QUERY_ID, [&](PIO_STACK_LOCATION sp) { sp->Parameters.QueryId.IdType = c.type; },
            &io);
        ASSERT_EQ(status, c.status);
        if (!NT_SUCCESS(status)) {
            EXPECT_EQ(io.Information, 0u);
            continue;
        }
        auto* text = reinterpret_cast<PWCHAR>(io.Information);
        EXPECT_EQ(Strings(text, c.type == BusQueryHardwareIDs || c.type == BusQueryCompatibleIDs), c.ids);
        bool paged = false;
        for (const auto& a : hosted::Pool::Live())
            if (a.address == text) paged = a.poolType == PagedPool;
        EXPECT_TRUE(paged) << "ID strings come from paged pool";
        ExFreePool(text);
    }
    // The default instance ID is the last part of the default instance path.
    IO_STATUS_BLOCK io{};
    ASSERT_EQ(hosted::Io::SendPnp(bus.Pdo(), IRP_MN_QUERY_ID,
                                  [](PIO_STACK_LOCATION sp) { sp->Parameters.QueryId.IdType = BusQueryInstanceID; },
                                  &io),
              STATUS_SUCCESS);
    const std::string path = hosted::Io::DeviceKeyPath(bus.Pdo());
    const auto instance = Strings(reinterpret_cast<PWCHAR>(io.Information), false).at(0);
    EXPECT_NE(path.find("USB\\VID_1209&PID_0CA3\\" + instance + "\\"), std::string::npos) << path;
    ExFreePool(reinterpret_cast<PVOID>(io.Information));
    // The test device's own timing: 10 ms overhead, full speed.
    uint8_t dd[18];
    URB u = usbtest::DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, dd, 18);
    const int64_t t0 = hosted::Clock::Now();
    ASSERT_EQ(SendUrb(bus.Pdo(simple), &u).final, STATUS_SUCCESS);
    EXPECT_EQ(hosted::Clock::Now() - t0, (BusTiming{10000, 12'000'000}.Cost(8 + 18)));
    EXPECT_EQ(bus.Log().back().address, 7);
}

TEST_F(PdoTest, CapabilitiesAndPropertiesOfAUsbPdo) {
    BusOptions options;
    options.busNumber = 3;
    Bus bus(MakeCamera(), {}, options);
    GUID guid{};
    ULONG number = 0, length = 0;
    ASSERT_EQ(IoGetDeviceProperty(bus.Pdo(), DevicePropertyBusTypeGuid, sizeof guid, &guid, &length), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(&guid, &GUID_BUS_TYPE_USB, sizeof guid), 0);
    ASSERT_EQ(IoGetDeviceProperty(bus.Pdo(), DevicePropertyBusNumber, sizeof number, &number, &length), STATUS_SUCCESS);
    EXPECT_EQ(number, 3u);

    const int waking = bus.Plug(usbtest::WakingCamera());
    auto query = [&](int port) {
        DEVICE_CAPABILITIES caps;
        EXPECT_EQ(usbtest::QueryCaps(bus.Pdo(port), &caps), STATUS_SUCCESS);
        return caps;
    };
    DEVICE_CAPABILITIES plain = query(1);
    EXPECT_EQ(plain.SystemWake, PowerSystemUnspecified);
    EXPECT_EQ(plain.DeviceWake, PowerDeviceUnspecified);
    EXPECT_EQ(plain.WakeFromD0 | plain.WakeFromD1 | plain.WakeFromD2 | plain.WakeFromD3, 0u);
    EXPECT_EQ(plain.DeviceState[PowerSystemSleeping3], PowerDeviceD3);

    DEVICE_CAPABILITIES w = query(waking);
    EXPECT_EQ(w.SystemWake, PowerSystemSleeping3);
    EXPECT_EQ(w.DeviceWake, PowerDeviceD2);
    EXPECT_EQ(w.DeviceState[PowerSystemSleeping3], PowerDeviceD2);
    EXPECT_EQ(w.DeviceState[PowerSystemHibernate], PowerDeviceD3);
    EXPECT_TRUE(w.WakeFromD0 && w.WakeFromD1 && w.WakeFromD2);
    EXPECT_FALSE(w.WakeFromD3);
    EXPECT_EQ(w.Address, ULONG(waking));

    PdoCapabilities custom = PdoCapabilities::UsbDefault(true);
    custom.deviceD1 = false;
    custom.deviceWake = PowerDeviceD3;
    custom.systemWake = PowerSystemHibernate;
    bus.SetCapabilities(waking, custom);
    w = query(waking);
    EXPECT_EQ(w.SystemWake, PowerSystemHibernate);
    EXPECT_FALSE(w.DeviceD1);
    EXPECT_FALSE(w.WakeFromD1) << "no wake from a state the device does not have";
    EXPECT_TRUE(w.WakeFromD2 && w.WakeFromD3);
}

TEST_F(PdoTest, IrpsFailOnDemandPerMinorCodeAndOccurrence) {
    Bus bus(MakeCamera());
    const int second = bus.Plug(MakeCamera());
    bus.FailIrp(IRP_MJ_PNP, IRP_MN_START_DEVICE, STATUS_INSUFFICIENT_RESOURCES, 2);
    bus.FailIrp(IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE, STATUS_UNSUCCESSFUL, 0, second);
    bus.FailIrp(IRP_MJ_POWER, IRP_MN_QUERY_POWER, STATUS_DEVICE_BUSY, 1);
    // The 2nd start counted from arming fails, whichever PDO gets it.
    EXPECT_EQ(Pnp(bus.Pdo(1), IRP_MN_START_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Pnp(bus.Pdo(second), IRP_MN_START_DEVICE), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(bus.State(second), PdoState::NotStarted);
    EXPECT_EQ(Pnp(bus.Pdo(second), IRP_MN_START_DEVICE), STATUS_SUCCESS);
    // Every query-stop of the second port only.
    EXPECT_EQ(Pnp(bus.Pdo(1), IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Pnp(bus.Pdo(second), IRP_MN_QUERY_STOP_DEVICE), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Pnp(bus.Pdo(second), IRP_MN_QUERY_STOP_DEVICE), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(bus.State(second), PdoState::Started);
    auto power = [&](UCHAR minor) {
        PIRP irp = hosted::Io::BuildIrp(bus.Pdo(1), IRP_MJ_POWER, minor);
        auto* sp = IoGetNextIrpStackLocation(irp);
        sp->Parameters.Power.Type = SystemPowerState;
        sp->Parameters.Power.State.SystemState = PowerSystemSleeping3;
        return hosted::Io::SendAndWait(bus.Pdo(1), irp);
    };
    EXPECT_EQ(power(IRP_MN_QUERY_POWER), STATUS_DEVICE_BUSY);
    EXPECT_EQ(power(IRP_MN_QUERY_POWER), STATUS_SUCCESS);
    // Counted per minor code and port, the failed ones included.
    EXPECT_EQ(bus.IrpCount(IRP_MJ_PNP, IRP_MN_START_DEVICE), 3u);
    EXPECT_EQ(bus.IrpCount(IRP_MJ_PNP, IRP_MN_START_DEVICE, second), 2u);
    EXPECT_EQ(bus.IrpCount(IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE, second), 2u);
    EXPECT_EQ(bus.IrpCount(IRP_MJ_POWER, IRP_MN_QUERY_POWER), 2u);
    EXPECT_EQ(bus.IrpCount(IRP_MJ_POWER, IRP_MN_SET_POWER), 0u);
    bus.ClearIrpFailures();
    EXPECT_EQ(Pnp(bus.Pdo(second), IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    // Minor codes a USB PDO does not handle keep the sender's status.
    EXPECT_EQ(Pnp(bus.Pdo(1), IRP_MN_QUERY_RESOURCE_REQUIREMENTS), STATUS_NOT_SUPPORTED);
}
