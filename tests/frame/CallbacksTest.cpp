// The device callbacks: gating of their lines, callbacks that find no device
// object, the capability callback, and the power callback's effect on the
// device object.
#include <gtest/gtest.h>

#include "FrameRig.h"
#include "callbacks/DeviceCallbacks.h"

namespace orvex::test {
namespace {

using hosted::Trace;

class Callbacks : public FrameTest {};

TEST_F(Callbacks, WithoutDeviceObjectEachPrintsOnlyItsGatedErrorLine)
{
    const std::string missing = "ORVEX : Error: Cannot get connection to device object";
    struct Case {
        const char* name;
        std::function<void(PKSDEVICE)> call;
        ULONG mask;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"stop, errors", [](PKSDEVICE d) { DeviceStop(d, nullptr); }, LogError, {missing}},
        {"stop, trace only", [](PKSDEVICE d) { DeviceStop(d, nullptr); }, LogTrace, {}},
        {"surprise removal, errors", [](PKSDEVICE d) { DeviceSurpriseRemoval(d, nullptr); }, LogError, {missing}},
        {"surprise removal, trace", [](PKSDEVICE d) { DeviceSurpriseRemoval(d, nullptr); }, LogTrace,
         {"ORVEX :  ++DeviceSurpriseRemoval()\n"}},
        {"remove, errors only", [](PKSDEVICE d) { DeviceRemove(d, nullptr); }, LogError, {}},
        {"remove, trace", [](PKSDEVICE d) { DeviceRemove(d, nullptr); }, LogTrace, {missing}},
        {"start, everything", [](PKSDEVICE d) { EXPECT_EQ(DeviceStart(d, nullptr, nullptr, nullptr), STATUS_UNSUCCESSFUL); },
         0xFFFFFFFF, {"ORVEX :  ++DeviceStart()\n"}},
        {"set power, everything", [](PKSDEVICE d) { DeviceSetPower(d, nullptr, PowerDeviceD3, PowerDeviceD0); },
         0xFFFFFFFF,
         {"ORVEX :  +DeviceSetPower()\n", "ORVEX :     DeviceSetPower:   SystemTo = 4, SystemFrom = 1\n"}},
        {"query power", [](PKSDEVICE d) {
             EXPECT_EQ(DeviceQueryPower(d, nullptr, PowerDeviceD3, PowerDeviceD0, PowerSystemSleeping3,
                                        PowerSystemWorking, PowerActionSleep),
                       STATUS_SUCCESS);
         },
         LogTrace,
         {"ORVEX :  +DeviceQueryPower()\n",
          "ORVEX :     DeviceQueryPower:   DeviceTo = 4, DeviceFrom = 1, SystemTo = 4, SystemFrom = 1, Action = 2\n",
          "ORVEX :  -DeviceQueryPower() completed\n"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        KSDEVICE bare{};
        LogMask = c.mask;
        Trace::Clear();
        c.call(&bare);
        std::vector<std::string> lines;
        for (const auto& r : Trace::Records()) lines.push_back(r.text);
        EXPECT_EQ(lines, c.lines);
    }
    LogMask = 0xFFFFFFFF;
}

TEST_F(Callbacks, CapabilitiesReportSurpriseRemovalAndKeepTheIrpStatus)
{
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    for (NTSTATUS carried : {STATUS_SUCCESS, STATUS_NOT_SUPPORTED}) {
        DEVICE_CAPABILITIES caps{};
        caps.Size = 64;
        caps.Version = 1;
        caps.Removable = 1;
        caps.UINumber = 7;
        caps.SystemWake = PowerSystemSleeping1;
        PIRP irp = IoAllocateIrp(1, FALSE);
        IoSetNextIrpStackLocation(irp);
        IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities = &caps;
        irp->IoStatus.Status = carried;
        Trace::Clear();
        EXPECT_EQ(DeviceCapabilities(ks, irp, nullptr), carried);
        IoFreeIrp(irp);
        EXPECT_EQ(caps.SurpriseRemovalOK, 1u);
        EXPECT_EQ(caps.Removable, 1u);
        EXPECT_EQ(caps.UINumber, 7u);
        const std::string dump = Trace::Records().at(1).text;
        EXPECT_NE(dump.find("ORVEX :  >>>> KSDevCap ==\nSize=64\nVersion=1\nDeviceD1=0x0\n"), std::string::npos);
        EXPECT_NE(dump.find("\nRemovable=0x1\n"), std::string::npos);
        EXPECT_NE(dump.find("\nSurpriseRemovalOK=0x1\n"), std::string::npos);
        EXPECT_NE(dump.find("\nReserved=0x0\nAddress=0\nUINumber=7\nSystemWake=2\nDeviceWake=0\n"),
                  std::string::npos);
        EXPECT_EQ(Trace::Records().back().text, "ORVEX :  -DeviceCapabilities() completed\n");
    }
}

TEST_F(Callbacks, SetPowerRecordsTheStateAndRestoresOnD0)
{
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    auto* object = static_cast<CUsbDevice*>(Object());
    // A device removed from the camera's point of view stays so until D0.
    object->SetRemoved(1);
    DeviceSetPower(ks, nullptr, PowerDeviceD2, PowerDeviceD3);
    EXPECT_EQ(object->m_ulPowerState, 3u);
    EXPECT_EQ(object->IsRemoved(), 1u);

    Trace::Clear();
    DeviceSetPower(ks, nullptr, PowerDeviceD0, PowerDeviceD3);
    EXPECT_EQ(object->m_ulPowerState, 1u);
    EXPECT_EQ(object->IsRemoved(), 0u);
    EXPECT_EQ(Prints("ORVEX :  +DeviceSetPower() - WAKE UP \n"), 1u);

    DeviceSetPower(ks, nullptr, DEVICE_POWER_STATE(5), PowerDeviceD0);
    EXPECT_EQ(object->m_ulPowerState, 1u);
}

}  // namespace
}  // namespace orvex::test
