// Device creation: the add routine's trace and record, unique IDs, and
// failures at each step leaving nothing behind.
#include <gtest/gtest.h>

#include "FrameRig.h"
#include "callbacks/DeviceCallbacks.h"

namespace orvex::test {
namespace {

using hosted::Trace;

class Creation : public FrameTest {};

TEST_F(Creation, AddDevicePrintsItsLinesAndFillsTheRecord)
{
    Trace::Clear();
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    const std::string text = Text();
    const std::string head = "ORVEX :  ++++ DriverAddDevice driver object 0x" + Hex32(host->Object()) +
                             ", deivce object 0x" + Hex32(bus->Pdo()) + "\n";
    EXPECT_EQ(text.substr(0, head.size()), head);
    EXPECT_NE(text.find("KsCreateDevice = pKsDev 0x" + Hex32(ks) + "pKsDev->NextDeviceObject 0x" + Hex32(bus->Pdo()) +
                        "pDevData->Self 0x" + Hex32(fdo) + "pDevData->UnderlyingPDO 0x" + Hex32(bus->Pdo())),
              std::string::npos);
    EXPECT_EQ(text.substr(text.size() - 26), "ORVEX :  -DriverAddDevice\n");

    EXPECT_EQ(data->Self, fdo);
    EXPECT_EQ(data->KsDevice, ks);
    EXPECT_EQ(data->UnderlyingPDO, bus->Pdo());
    EXPECT_EQ(data->NextDeviceObject, bus->Pdo());
    EXPECT_EQ(data->OutstandingIO, 1);
    EXPECT_EQ(data->SystemState, PowerSystemUnspecified);
    EXPECT_EQ(data->DeviceState, PowerDeviceD0);
    EXPECT_EQ(data->BusNumber, 1u);
    EXPECT_EQ(fdo->Flags & DO_DEVICE_INITIALIZING, 0u);
    EXPECT_NE(fdo->Flags & DO_POWER_PAGABLE, 0u);
    ASSERT_NE(Object(), nullptr);
    EXPECT_EQ(Object()->GetUId(), 1u);
}

// The creation lines are printed whatever the mask; the add count advances
// only when its own (trace) line is printed.
TEST_F(Creation, MaskGatesTheAddCountButNotTheCreationLines)
{
    const ULONG before = DeviceAddCount;
    LogMask = 0;
    Trace::Clear();
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    EXPECT_EQ(Text().find("ORVEX : "), std::string::npos);
    EXPECT_TRUE(Trace::Contains("KsCreateDevice = pKsDev 0x" + Hex32(ks) + "pKsDev->NextDeviceObject"));
    EXPECT_TRUE(Trace::Contains("pDevData->UnderlyingPDO 0x" + Hex32(bus->Pdo())));
    EXPECT_EQ(DeviceAddCount, before);
    ASSERT_EQ(Remove(), STATUS_SUCCESS);

    LogMask = 0xFFFFFFFF;
    bus = std::make_unique<FrameBus>();
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    EXPECT_EQ(DeviceAddCount, before + 1);
    char line[96];
    std::snprintf(line, sizeof line, "ORVEX :  +DeviceAdd(), device = %s, instance %d\n", Hex32(ks).c_str(),
                  int(before + 1));
    EXPECT_EQ(Prints(line), 1u);
}

TEST_F(Creation, UniqueIdsAreTakenLowestFirstAndReleasedOnce)
{
    PDRIVER_OBJECT driver = host->Object();
    for (ULONG i = 1; i <= 32; ++i) EXPECT_EQ(DrvGetUId(driver), i);

    // The 33rd camera works without an ID.
    Trace::Clear();
    EXPECT_EQ(DrvGetUId(driver), 0u);
    EXPECT_EQ(Text(), "ORVEX :     DrvGetUId \nORVEX : !!! No device Id was allocated !!!\n");

    // Releasing 0 changes nothing; a released ID is handed out again, lowest first.
    Trace::Clear();
    EXPECT_EQ(DrvFreeUId(driver, 0), STATUS_SUCCESS);
    EXPECT_EQ(Text(), "");
    EXPECT_EQ(DrvGetUId(driver), 0u);
    EXPECT_EQ(DrvFreeUId(driver, 7), STATUS_SUCCESS);
    EXPECT_EQ(DrvFreeUId(driver, 3), STATUS_SUCCESS);
    Trace::Clear();
    EXPECT_EQ(DrvGetUId(driver), 3u);
    EXPECT_EQ(Text(), "ORVEX :     DrvGetUId \nORVEX :  +DeviceAdd() UId 3 \n");
    EXPECT_EQ(DrvGetUId(driver), 7u);
    for (ULONG id = 1; id <= 32; ++id) DrvFreeUId(driver, id);
}

TEST_F(Creation, AddFailuresReturnTheirStatusAndLeaveNothingBehind)
{
    struct Case {
        const char* name;
        std::function<void()> inject;
        NTSTATUS status;
        std::vector<std::string> lines;  // printed once each
        std::vector<std::string> parts;  // found in the trace
        bool added;                      // the device object's add ran and succeeded
    };
    const Case cases[] = {
        {"bus type unknown",
         [&] { hosted::Io::FailDeviceProperty(bus->Pdo(), DevicePropertyBusTypeGuid, STATUS_OBJECT_NAME_NOT_FOUND); },
         STATUS_INSUFFICIENT_RESOURCES, {}, {}, false},
        {"no memory for the device object", [] { hosted::Pool::FailTag(TagDevice, 1); },
         STATUS_INSUFFICIENT_RESOURCES, {"ORVEX :     Memory allocation failed for pDevice\n"}, {}, false},
        {"the object's Add fails", [] { hosted::Pool::FailTag(TagHarn, 1); }, STATUS_INSUFFICIENT_RESOURCES, {}, {},
         false},
        {"kernel streaming refuses the device", [] { hosted::Io::FailCreateDevice(1, STATUS_INSUFFICIENT_RESOURCES); },
         STATUS_INSUFFICIENT_RESOURCES, {"ORVEX :  KsCreateDevice with &DeviceDescriptor Failed, Status = c000009a\n"},
         {"KsCreateDevice = pKsDev 0x0"}, false},
        // The bus answers the bus type but not the bus number: the paths were
        // read, then the function device is taken down again.
        {"bus number unknown",
         [&] {
             hosted::Registry::SetString(hosted::Io::DriverKeyPath(bus->Pdo()), "FX3", u"C:\\fw\\fx3.img");
             hosted::Io::FailDeviceProperty(bus->Pdo(), DevicePropertyBusNumber, STATUS_OBJECT_NAME_NOT_FOUND);
         },
         STATUS_OBJECT_NAME_NOT_FOUND,
         {"ORVEX :  IoGetDeviceProperty for DevicePropertyBusNumber Failed, Status = c0000034\n"},
         {"FX3FilePath             C:\\fw\\fx3.img\n"}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        bus = std::make_unique<FrameBus>();
        c.inject();
        Trace::Clear();
        EXPECT_EQ(host->AddDevice(bus->Pdo()), c.status);
        hosted::Pool::ClearFailures();
        EXPECT_EQ(bus->Pdo()->AttachedDevice, nullptr);
        for (const auto& line : c.lines) EXPECT_EQ(Prints(line), 1u) << line;
        for (const auto& part : c.parts) EXPECT_TRUE(Trace::Contains(part)) << part;
        if (!c.added) EXPECT_FALSE(Trace::Contains("-DeviceAdd() Status 0\n"));
        // No ID stays taken by a device that is gone.
        EXPECT_EQ(DrvGetUId(host->Object()), 1u);
        DrvFreeUId(host->Object(), 1);
    }
}

}  // namespace
}  // namespace orvex::test
