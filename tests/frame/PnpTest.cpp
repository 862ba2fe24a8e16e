// Plug and play and request routing of the function device: start, stop,
// capabilities, relations, the removal gate and the drain of requests in
// progress.
#include <gtest/gtest.h>

#include <algorithm>

#include "FrameRig.h"
#include "wmi/Wmi.h"

namespace orvex::test {
namespace {

using hosted::Io;
using hosted::Trace;

class PlugAndPlay : public FrameTest {
protected:
    size_t SeenCount(const std::string& what)
    {
        auto seen = bus->Seen();
        return size_t(std::count(seen.begin(), seen.end(), what));
    }
};

TEST_F(PlugAndPlay, StartRegistersWmiASecondStartGoesNowhereAndStopUndoesIt)
{
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_TRUE(data->Started);
    EXPECT_TRUE(data->WmiRegistered);
    EXPECT_TRUE(Io::WmiRegistered(fdo));
    EXPECT_EQ(Io::DevicePower(fdo), PowerDeviceD0);
    // The bus's answer replaced the defaults.
    EXPECT_EQ(data->DeviceCaps.Address, 2u);
    EXPECT_EQ(SeenCount("PNP 0x00"), 1u);

    Trace::Clear();
    EXPECT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_EQ(SeenCount("PNP 0x00"), 1u);
    EXPECT_FALSE(Trace::Contains("DeviceStart"));

    // Stop, then start again: WMI is registered anew.
    ASSERT_EQ(Pnp(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    Trace::Clear();
    ASSERT_EQ(Pnp(IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Prints("ORVEX :  +DeviceStop()\n"), 1u);
    EXPECT_FALSE(data->Started);
    EXPECT_FALSE(Io::WmiRegistered(fdo));
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_TRUE(data->Started);
    EXPECT_TRUE(Io::WmiRegistered(fdo));
}

TEST_F(PlugAndPlay, FailedCapabilityQueryKeepsDefaultsAndRegistersWithoutWake)
{
    bus->caps.SystemWake = PowerSystemSleeping3;
    bus->failPnp[IRP_MN_QUERY_CAPABILITIES] = STATUS_UNSUCCESSFUL;
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    data->RemoteWakeUpEnabled = TRUE;
    Trace::Clear();
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_EQ(Prints("ORVEX : Get Device caps Failed c0000001!\n"), 1u);
    EXPECT_EQ(data->DeviceCaps.SystemWake, PowerSystemUnspecified);
    EXPECT_EQ(data->DeviceCaps.DeviceState[PowerSystemSleeping3], PowerDeviceD3);
    EXPECT_EQ(data->DeviceCaps.UINumber, 1u);
    EXPECT_EQ(data->WmiLibInfo.GuidList, WmiGuidListNoWake);
    EXPECT_EQ(SeenCount("WAIT_WAKE 4"), 0u);
    EXPECT_TRUE(data->Started);
    bus->failPnp.clear();
}

TEST_F(PlugAndPlay, EveryIrpAllocationOfAStartMayFail)
{
    // Each IRP allocation of a start fails in turn (the request itself, the
    // USB requests of the device object, the driver's capability query): the
    // start either fails cleanly or goes on, and nothing is left behind.
    bool capsQueryFailed = false;
    for (uint64_t nth = 1; nth < 40 && !capsQueryFailed; ++nth) {
        SCOPED_TRACE(nth);
        bus = std::make_unique<FrameBus>();
        ASSERT_EQ(Add(), STATUS_SUCCESS);
        Trace::Clear();
        Io::FailIrpAllocation(nth);
        NTSTATUS status = Start();
        Io::ClearFailures();
        if (Prints("ORVEX : Get Device caps Failed 0!\n") == 1) {
            capsQueryFailed = true;
            EXPECT_EQ(status, STATUS_SUCCESS);
            EXPECT_TRUE(data->Started);
            EXPECT_TRUE(Io::WmiRegistered(fdo));
        }
        ASSERT_EQ(Remove(), STATUS_SUCCESS);
    }
    EXPECT_TRUE(capsQueryFailed);
}

TEST_F(PlugAndPlay, StartRefusedBelowLeavesTheDeviceStopped)
{
    bus->failPnp[IRP_MN_START_DEVICE] = STATUS_DEVICE_NOT_READY;
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    EXPECT_EQ(Start(), STATUS_DEVICE_NOT_READY);
    EXPECT_FALSE(data->Started);
    EXPECT_FALSE(data->WmiRegistered);
    EXPECT_FALSE(Io::WmiRegistered(fdo));
    bus->failPnp.clear();
}

TEST_F(PlugAndPlay, WmiRegistrationFailureIsLoggedButTheStartStands)
{
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    // Someone registered the device already: the driver's registration collides.
    ASSERT_EQ(IoWMIRegistrationControl(fdo, WMIREG_ACTION_REGISTER), STATUS_SUCCESS);
    Trace::Clear();
    IO_STATUS_BLOCK io{};
    EXPECT_EQ(Pnp(IRP_MN_START_DEVICE, &io), STATUS_SUCCESS);
    EXPECT_EQ(io.Status, STATUS_SUCCESS);
    EXPECT_EQ(Prints("ORVEX : AddDevice: IoWMIRegistrationControl failed (c0000035)\n"), 1u);
    EXPECT_TRUE(data->WmiRegistered);
    EXPECT_TRUE(data->Started);
}

TEST_F(PlugAndPlay, CapabilitiesGoingUpAreAdjusted)
{
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    DEVICE_CAPABILITIES caps{};
    caps.Size = 64;
    caps.Version = 1;
    IO_STATUS_BLOCK io{};
    EXPECT_EQ(Io::SendPnp(
                  fdo, IRP_MN_QUERY_CAPABILITIES,
                  [&](PIO_STACK_LOCATION sp) { sp->Parameters.DeviceCapabilities.Capabilities = &caps; }, &io),
              STATUS_SUCCESS);
    EXPECT_EQ(caps.SilentInstall, 1u);
    EXPECT_EQ(caps.SurpriseRemovalOK, 1u);
    EXPECT_EQ(caps.D1Latency, 3u);
    EXPECT_EQ(caps.D3Latency, 3u);
    EXPECT_EQ(caps.Address, 2u);  // the bus's answer in between
}

TEST_F(PlugAndPlay, BusRelationsAreEmptyUnlessAnotherDriverFilledThem)
{
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    IO_STATUS_BLOCK io{};
    auto relations = [](PIO_STACK_LOCATION sp) { sp->Parameters.QueryDeviceRelations.Type = BusRelations; };
    EXPECT_EQ(Io::SendPnp(fdo, IRP_MN_QUERY_DEVICE_RELATIONS, relations, &io), STATUS_SUCCESS);
    auto* list = reinterpret_cast<PDEVICE_RELATIONS>(io.Information);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->Count, 0u);
    ExFreePool(list);

    // A list from a filter above is passed on untouched.
    auto* theirs = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), 0x466C7472));
    theirs->Count = 0;
    PIRP irp = Io::BuildIrp(fdo, IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS);
    IoGetNextIrpStackLocation(irp)->Parameters.QueryDeviceRelations.Type = BusRelations;
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(theirs);
    EXPECT_EQ(Io::SendAndWait(fdo, irp, &io), STATUS_SUCCESS);
    EXPECT_EQ(io.Information, reinterpret_cast<ULONG_PTR>(theirs));
    ExFreePool(theirs);

    // No memory for the list.
    hosted::Pool::FailTag(TagVorp, 1);
    EXPECT_EQ(Io::SendPnp(fdo, IRP_MN_QUERY_DEVICE_RELATIONS, relations), STATUS_INSUFFICIENT_RESOURCES);
    hosted::Pool::ClearFailures();
}

TEST_F(PlugAndPlay, DriverPnPLineIsPrintedWhateverTheMask)
{
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    LogMask = 0;
    Trace::Clear();
    Pnp(IRP_MN_QUERY_PNP_DEVICE_STATE);
    Pnp(IRP_MN_QUERY_STOP_DEVICE);
    Pnp(IRP_MN_CANCEL_STOP_DEVICE);
    const std::string line = "DriverPnP: DeviceObject 0x" + Hex32(fdo) + ", pCommonData 0x" + Hex32(data) + " ";
    EXPECT_EQ(Prints(line), 3u);
    EXPECT_EQ(Trace::Records().size(), 3u);
}

TEST_F(PlugAndPlay, RequestsAfterRemovalBeganAreRefusedAndRemovalWaitsForThoseInProgress)
{
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    FdoData* record = data;
    PDEVICE_OBJECT device = fdo;

    // A request in progress: counted, and finished five seconds later.
    ASSERT_EQ(IncrementIoCount(record), STATUS_SUCCESS);
    std::vector<NTSTATUS> refused;
    int64_t finishedAt = 0;
    auto worker = hosted::StartThread("request in progress", [&] {
        hosted::Sleep(hosted::Seconds(1));
        // Removal has begun by now: new requests are turned away at the gate.
        for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_DEVICE_CONTROL, IRP_MJ_INTERNAL_DEVICE_CONTROL,
                            IRP_MJ_SYSTEM_CONTROL, IRP_MJ_PNP, IRP_MJ_POWER}) {
            IO_STATUS_BLOCK io{};
            io.Information = 99;
            refused.push_back(Io::SendAndWait(device, Io::BuildIrp(device, major, 0x0F), &io));
            EXPECT_EQ(io.Information, 0u);
        }
        hosted::Sleep(hosted::Seconds(4));
        finishedAt = hosted::Clock::Now();
        DecrementIoCount(record);
    });
    ASSERT_EQ(Remove(), STATUS_SUCCESS);
    EXPECT_GE(finishedAt, hosted::Seconds(5));
    EXPECT_GE(hosted::Clock::Now(), finishedAt);
    worker.Join();
    EXPECT_EQ(refused, std::vector<NTSTATUS>(7, STATUS_DELETE_PENDING));
    EXPECT_EQ(bus->Pdo()->AttachedDevice, nullptr);
}

TEST_F(PlugAndPlay, RoutedRequestsReachKernelStreaming)
{
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    Trace::Clear();
    // ks.sys answers: no filter to open, close and cleanup succeed, no device controls.
    EXPECT_EQ(Send(IRP_MJ_CREATE, 0), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Send(IRP_MJ_CLOSE, 0), STATUS_SUCCESS);
    EXPECT_EQ(Send(IRP_MJ_CLEANUP, 0), STATUS_SUCCESS);
    EXPECT_EQ(Send(IRP_MJ_DEVICE_CONTROL, 0), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(Send(IRP_MJ_INTERNAL_DEVICE_CONTROL, 0), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(Prints("ORVEX :  +DriverCleanup\n"), 1u);
    EXPECT_EQ(Prints("ORVEX :  +DriverInternIoCtl \n"), 1u);
    EXPECT_EQ(data->OutstandingIO, 1);
}

}  // namespace
}  // namespace orvex::test
