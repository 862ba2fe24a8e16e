// The WMI provider: registration, queries and changes of the two blocks with
// their registry mirrors and wait-wake side effects, through the WMI requests
// a consumer sends, and through the callbacks directly where the WMI library
// would never call them.
#include <gtest/gtest.h>

#include <algorithm>

#include <wdmguid.h>

#include "FrameRig.h"
#include "wmi/Wmi.h"

namespace orvex::test {
namespace {

using hosted::Registry;
using hosted::Trace;
using hosted::Wmi;

class WmiProvider : public FrameTest {
protected:
    void SetUp() override
    {
        FrameTest::SetUp();
        ASSERT_EQ(Add(), STATUS_SUCCESS);
        ASSERT_EQ(Start(), STATUS_SUCCESS);
        hardware = hosted::Io::DeviceKeyPath(bus->Pdo());
        data->DeviceCaps.SystemWake = PowerSystemSleeping3;
        bus->ClearSeen();
    }
    size_t SeenCount(const std::string& what)
    {
        auto seen = bus->Seen();
        return size_t(std::count(seen.begin(), seen.end(), what));
    }
    // Calls a provider callback with a system-control IRP of the test's own,
    // the way WmiSystemControl would; returns the IRP's final status.
    template <class F>
    NTSTATUS Direct(F&& callback)
    {
        PIRP irp = IoAllocateIrp(CCHAR(fdo->StackSize + 1), FALSE);
        IoSetCompletionRoutine(irp, [](PDEVICE_OBJECT, PIRP, PVOID) NTAPI -> NTSTATUS {
            return STATUS_MORE_PROCESSING_REQUIRED;
        }, nullptr, TRUE, TRUE, TRUE);
        PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
        sp->MajorFunction = IRP_MJ_SYSTEM_CONTROL;
        sp->DeviceObject = fdo;
        sp->Parameters.WMI.ProviderId = ULONG_PTR(fdo);
        sp->Parameters.WMI.Buffer = wnode;
        sp->Parameters.WMI.BufferSize = sizeof(wnode);
        IoSetNextIrpStackLocation(irp);
        callback(irp);
        NTSTATUS status = irp->IoStatus.Status;
        IoFreeIrp(irp);
        return status;
    }
    // A WMI request for one instance sent straight to the device, as WMI
    // itself never would for a withdrawn block: `data` set (change) or one
    // byte read back (query). Returns the IRP's final status.
    NTSTATUS DirectRequest(UCHAR minor, const GUID& guid, std::vector<uint8_t> data, uint8_t* byte = nullptr)
    {
        const ULONG offset = (sizeof(WNODE_SINGLE_INSTANCE) + 7) & ~7u;
        std::vector<uint8_t> buffer(offset + std::max<size_t>(data.size(), 8), 0);
        auto* w = reinterpret_cast<WNODE_SINGLE_INSTANCE*>(buffer.data());
        w->WnodeHeader.BufferSize = ULONG(buffer.size());
        w->WnodeHeader.Guid = guid;
        w->WnodeHeader.Flags = WNODE_FLAG_SINGLE_INSTANCE | WNODE_FLAG_STATIC_INSTANCE_NAMES;
        w->DataBlockOffset = offset;
        w->SizeDataBlock = ULONG(data.size());
        std::copy(data.begin(), data.end(), buffer.begin() + offset);
        PIRP irp = hosted::Io::BuildIrp(fdo, IRP_MJ_SYSTEM_CONTROL, minor);
        PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
        sp->Parameters.WMI.ProviderId = ULONG_PTR(fdo);
        sp->Parameters.WMI.DataPath = const_cast<GUID*>(&guid);
        sp->Parameters.WMI.BufferSize = ULONG(buffer.size());
        sp->Parameters.WMI.Buffer = buffer.data();
        NTSTATUS status = hosted::Io::SendAndWait(fdo, irp);
        if (byte) *byte = buffer[w->DataBlockOffset];
        return status;
    }
    std::string hardware;
    UCHAR wnode[128] = {};
};

TEST_F(WmiProvider, RegistrationWithdrawsTheWakeBlockWithoutWakeSupport)
{
    // This camera's device object never reports wake support.
    EXPECT_EQ(data->WmiLibInfo.GuidCount, NUMBER_OF_WMI_GUIDS);
    EXPECT_EQ(data->WmiLibInfo.GuidList, WmiGuidListNoWake);
    EXPECT_EQ(data->WmiLibInfo.ExecuteWmiMethod, nullptr);
    Trace::Clear();
    EXPECT_EQ(Wmi::RegInfo(fdo).status, STATUS_SUCCESS);
    EXPECT_EQ(Prints("+DrvQueryWmiRegInfo\n"), 1u);

    // With wake support the full list is registered.
    DrvWmiDeRegistration(data);
    EXPECT_EQ(DrvWmiRegistration(data, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(data->WmiLibInfo.GuidList, WmiGuidListWake);
}

TEST_F(WmiProvider, QueriesReturnTheFlagByte)
{
    data->PowerDeviceEnabled = 0x80;
    Trace::Clear();
    auto reply = Wmi::QuerySingleInstance(fdo, GUID_POWER_DEVICE_ENABLE);
    EXPECT_EQ(reply.status, STATUS_SUCCESS);
    EXPECT_EQ(reply.data, std::vector<uint8_t>{0x80});
    EXPECT_EQ(Prints("+DrvQueryWmiDataBlock\n"), 1u);
    EXPECT_EQ(Prints("ORVEX : FDO IRP_MN_QUERY_SINGLE_INSTANCE\n"), 1u);

    // The wake block is withdrawn (no wake support), so WMI would not ask;
    // sent directly, the query still answers with the flag.
    reply = Wmi::QuerySingleInstance(fdo, GUID_POWER_DEVICE_WAKE_ENABLE);
    EXPECT_EQ(reply.status, STATUS_WMI_GUID_NOT_FOUND);
    data->RemoteWakeUpEnabled = 1;
    uint8_t byte = 0;
    EXPECT_EQ(DirectRequest(IRP_MN_QUERY_SINGLE_INSTANCE, GUID_POWER_DEVICE_WAKE_ENABLE, {}, &byte), STATUS_SUCCESS);
    EXPECT_EQ(byte, 1);

    // No room for the byte: too small, one byte needed behind the header.
    reply = Wmi::QuerySingleInstance(fdo, GUID_POWER_DEVICE_ENABLE, 0, 0);
    EXPECT_TRUE(reply.tooSmall);
    EXPECT_EQ(reply.sizeNeeded, ((sizeof(WNODE_SINGLE_INSTANCE) + 7) & ~7u) + 1);
    data->RemoteWakeUpEnabled = 0;
}

TEST_F(WmiProvider, SettingTheWakeBlockArmsOrCancelsOnlyOnAChange)
{
    // Sent directly: WMI itself refuses the withdrawn wake block.
    EXPECT_EQ(Wmi::SetSingleInstance(fdo, GUID_POWER_DEVICE_WAKE_ENABLE, {1}).status, STATUS_WMI_GUID_NOT_FOUND);
    auto set = [&](uint8_t value) {
        Registry::DeleteValue(hardware, "CheckBoxRemoteWakeUp");
        EXPECT_EQ(DirectRequest(IRP_MN_CHANGE_SINGLE_INSTANCE, GUID_POWER_DEVICE_WAKE_ENABLE, {value}),
                  STATUS_SUCCESS);
        return Registry::GetDword(hardware, "CheckBoxRemoteWakeUp");
    };
    EXPECT_EQ(set(1), 1u);
    EXPECT_EQ(SeenCount("WAIT_WAKE 4"), 1u);
    EXPECT_EQ(data->WaitWakeArmed, 1);

    // The same value again: no second request, but the mirror is written.
    EXPECT_EQ(set(1), 1u);
    EXPECT_EQ(SeenCount("WAIT_WAKE 4"), 1u);

    // Any non-zero byte means on; switching off cancels.
    EXPECT_EQ(set(0), 0u);
    EXPECT_EQ(SeenCount("CANCEL WAIT_WAKE"), 1u);
    EXPECT_EQ(data->WaitWakeArmed, 0);
    EXPECT_EQ(data->OutstandingIO, 1);
    EXPECT_EQ(set(0x10), 1u);
    EXPECT_EQ(data->RemoteWakeUpEnabled, 0x10);
    EXPECT_EQ(SeenCount("WAIT_WAKE 4"), 2u);
}

TEST_F(WmiProvider, SettingThePowerBlockStoresAndMirrorsOnly)
{
    Trace::Clear();
    auto reply = Wmi::SetSingleInstance(fdo, GUID_POWER_DEVICE_ENABLE, {0x80});
    EXPECT_EQ(reply.status, STATUS_SUCCESS);
    EXPECT_EQ(data->PowerDeviceEnabled, 0x80);
    EXPECT_EQ(Registry::GetDword(hardware, "CheckBoxPowerDevice"), 1u);
    EXPECT_EQ(Prints("+DrvSetWmiDataBlock\n"), 1u);
    EXPECT_TRUE(bus->Seen().empty());

    reply = Wmi::SetSingleItem(fdo, GUID_POWER_DEVICE_ENABLE, 1, {0});
    EXPECT_EQ(reply.status, STATUS_SUCCESS);
    EXPECT_EQ(Prints("+DrvSetWmiDataItem\n"), 1u);
    EXPECT_EQ(Registry::GetDword(hardware, "CheckBoxPowerDevice"), 0u);
}

TEST_F(WmiProvider, AChangeWithoutDataIsRefused)
{
    data->PowerDeviceEnabled = 1;
    for (ULONG index : {0u, 1u}) {
        SCOPED_TRACE(index);
        UCHAR untouched = 0x55;
        EXPECT_EQ(Direct([&](PIRP irp) { DrvSetWmiDataBlock(fdo, irp, index, 0, 0, &untouched); }),
                  STATUS_INVALID_PARAMETER);
        EXPECT_EQ(Direct([&](PIRP irp) { DrvSetWmiDataItem(fdo, irp, index, 0, 0, 0, nullptr); }),
                  STATUS_INVALID_PARAMETER);
    }
    EXPECT_EQ(data->PowerDeviceEnabled, 1);
    EXPECT_EQ(data->RemoteWakeUpEnabled, 0);
    EXPECT_FALSE(Registry::GetDword(hardware, "CheckBoxPowerDevice").has_value());
    EXPECT_TRUE(bus->Seen().empty());
}

TEST_F(WmiProvider, UnknownBlockIndexIsNotFound)
{
    ULONG lengths[1] = {0};
    UCHAR byte = 0x55;
    EXPECT_EQ(Direct([&](PIRP irp) { DrvQueryWmiDataBlock(fdo, irp, 2, 0, 1, lengths, 1, &byte); }),
              STATUS_WMI_GUID_NOT_FOUND);
    EXPECT_EQ(Direct([&](PIRP irp) { DrvSetWmiDataBlock(fdo, irp, 2, 0, 1, &byte); }), STATUS_WMI_GUID_NOT_FOUND);
    EXPECT_EQ(Direct([&](PIRP irp) { DrvSetWmiDataItem(fdo, irp, 2, 0, 0, 1, &byte); }), STATUS_WMI_GUID_NOT_FOUND);
    EXPECT_EQ(byte, 0x55);
    EXPECT_EQ(lengths[0], 0u);
}

TEST_F(WmiProvider, FunctionControlIsAcceptedAndOtherRequestsGoToKernelStreaming)
{
    auto reply = Wmi::Control(fdo, GUID_POWER_DEVICE_ENABLE, IRP_MN_ENABLE_COLLECTION);
    EXPECT_EQ(reply.status, STATUS_SUCCESS);

    // A system-control request that is not WMI's passes ks.sys down to the bus.
    Trace::Clear();
    IO_STATUS_BLOCK io{};
    EXPECT_EQ(Send(IRP_MJ_SYSTEM_CONTROL, 0x0F, &io), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(Prints("ORVEX : FDO unknown_syscontrol_irp\n"), 1u);
    EXPECT_EQ(data->OutstandingIO, 1);
}

}  // namespace
}  // namespace orvex::test
