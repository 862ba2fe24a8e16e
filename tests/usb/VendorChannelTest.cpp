// The vendor command channel: the twelve requests on the wire, the outcome
// rules of VendorControlTransfer and the waits, on virtual time.
#include "UsbTestSupport.h"

#include <array>
#include <functional>

namespace orvex::test {
namespace {

using SetupBytes = std::array<uint8_t, 8>;

class VendorChannelTest : public UsbTest {};

TEST_F(VendorChannelTest, TwelveRequestsOnTheWire)
{
    std::vector<UCHAR> page(4096);
    for (size_t i = 0; i < page.size(); ++i) page[i] = UCHAR(i * 7 + 1);
    const std::vector<uint8_t> startBytes{0xAA, 0x55};
    UCHAR reply[1024] = {};
    struct Row {
        std::function<void()> call;
        SetupBytes setup;
        std::vector<uint8_t> out;
    };
    CUsbDevice* d = device;
    const Row rows[] = {
        {[&] { UVCGet_VERSION(d, reply); }, {0xC0, 0xB0, 0, 0, 0x55, 0xAA, 12, 0}, {}},
        {[&] { UVCStart_UPDATE(d); }, {0x40, 0xB1, 0, 0, 0x55, 0xAA, 2, 0}, startBytes},
        // Value and length keep their low 16 bits only.
        {[&] { UVCWrite_EEPROM(d, 0x12345, 0x10100, page.data()); }, {0x40, 0xB2, 0x45, 0x23, 0x55, 0xAA, 0, 1},
         {page.begin(), page.begin() + 256}},
        {[&] { UVCRead_EEPROM(d, 0x10002, 0x10400, reply); }, {0xC0, 0xB3, 2, 0, 0x55, 0xAA, 0, 4}, {}},
        {[&] { UVCReset_ID(d, reply); }, {0xC0, 0xB4, 0, 0, 0x55, 0xAA, 1, 0}, {}},
        {[&] { UVCSet_FILESIZE(d, 0x10003, reply); }, {0xC0, 0xB5, 3, 0, 0x55, 0xAA, 1, 0}, {}},
        {[&] { UVCWrite_SPI_PAGE(d, page.data(), 0x11000); }, {0x40, 0xB6, 0, 0x10, 0x55, 0xAA, 0, 0x10}, page},
        {[&] { UVCGet_FW_STATUS(d, reply); }, {0xC0, 0xB7, 0, 0, 0x55, 0xAA, 1, 0}, {}},
        {[&] { UVCGet_STATUS(d, reply); }, {0xC0, 0xB8, 0, 0, 0x55, 0xAA, 1, 0}, {}},
        {[&] { UVCExit_UPDATE(d, reply); }, {0xC0, 0xB9, 0, 0, 0x55, 0xAA, 2, 0}, {}},
        {[&] { UVCGet_ALIVE(d, reply); }, {0xC0, 0xBA, 0, 0, 0x55, 0xAA, 2, 0}, {}},
        {[&] { UVCReset_ISP(d, reply); }, {0xC0, 0xBB, 0, 0, 0x55, 0xAA, 2, 0}, {}},
    };
    for (const Row& row : rows) {
        bus->ClearLog();
        row.call();
        const auto log = bus->Log();
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0].setup, row.setup) << std::hex << int(row.setup[1]);
        EXPECT_EQ(log[0].out, row.out) << std::hex << int(row.setup[1]);
        if (row.setup[0] == 0xC0) {  // IN: the delivered bytes land in the reply buffer
            EXPECT_EQ(Bytes(reply, log[0].in.size()), log[0].in) << std::hex << int(row.setup[1]);
        }
    }
    UVCGet_VERSION(d, reply);
    EXPECT_EQ(Bytes(reply, 12), Bytes(camera->VersionRecord().data(), 12));
}

TEST_F(VendorChannelTest, OutcomeIsJudgedByTheUrbAndRemovalStopsRequests)
{
    UCHAR record[12];
    EXPECT_EQ(VendorControlTransfer(device, 0, 0xB0, VendorIndex, 0, record, 12), STATUS_SUCCESS);
    EXPECT_EQ(device->m_bLastTransferOk, 1u);

    // A failed poll keeps the previous reply bytes and prints the failure line.
    memset(record, 0x5A, sizeof record);
    bus->AddFault(FaultSpec::Vendor(0xB0, FaultKind::Stall, 1));
    hosted::Trace::Clear();
    EXPECT_EQ(UVCGet_VERSION(device, record), STATUS_SUCCESS);
    EXPECT_EQ(Bytes(record, 12), std::vector<uint8_t>(12, 0x5A));
    EXPECT_EQ(device->m_bLastTransferOk, 0u);
    EXPECT_TRUE(Text().ends_with("Fail control xfer status = 0xc0000004, handle 0x" + Hex(bus->DefaultPipe()) + " \n"))
        << Text();

    // Carried out but without a pipe handle: a failure.
    bus->AddFault(FaultSpec::Vendor(0xBA, FaultKind::NullPipeHandle, 1));
    hosted::Trace::Clear();
    EXPECT_EQ(VendorControlTransfer(device, 0, 0xBA, VendorIndex, 0, record, 2), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Text(), "Fail control xfer status = 0x0, handle 0x0 \n");

    for (NTSTATUS gone : {STATUS_NO_SUCH_DEVICE, STATUS_DEVICE_NOT_CONNECTED}) {
        FaultSpec fault = FaultSpec::Vendor(0xB8, FaultKind::DeviceGone, 1);
        fault.goneStatus = gone;
        bus->AddFault(fault);
        device->m_bLastTransferOk = 1;
        UVCGet_STATUS(device, record);
        EXPECT_EQ(device->IsRemoved(), 1u);
        EXPECT_EQ(device->m_bLastTransferOk, 0u);  // the URB came back with USBD_STATUS_DEVICE_GONE

        // Removed: nothing is sent and nothing changes.
        const size_t sent = bus->Log().size();
        device->m_bLastTransferOk = 7;
        memset(record, 0x33, sizeof record);
        hosted::Trace::Clear();
        EXPECT_EQ(VendorControlTransfer(device, 0, 0xB0, VendorIndex, 0, record, 12), STATUS_SUCCESS);
        UVCStart_UPDATE(device);
        EXPECT_EQ(bus->Log().size(), sent);
        EXPECT_EQ(device->m_bLastTransferOk, 7u);
        EXPECT_EQ(Bytes(record, 12), std::vector<uint8_t>(12, 0x33));
        EXPECT_EQ(Text(), "");

        // A return to D0 lets requests out again.
        device->m_ulPowerState = 4;
        device->PowerRestore();
        EXPECT_EQ(Text(), "Power Restore \n");
        EXPECT_EQ(device->IsRemoved(), 0u);
        EXPECT_EQ(device->m_ulPowerState, 1u);
        UVCGet_VERSION(device, record);
        EXPECT_EQ(bus->Log().size(), sent + 1);
        EXPECT_EQ(device->m_bLastTransferOk, 1u);
    }
    EXPECT_FALSE(device->SupportsRemoteWakeUp());
    EXPECT_EQ(device->ReservedOperation(record), STATUS_SUCCESS);
}

TEST_F(VendorChannelTest, WaitDeviceAlivePollsOncePerSecondWhileTheCameraAnswers)
{
    struct Row {
        ULONG totalMs;
        std::optional<FaultSpec> fault;
        size_t polls;
        std::string lines;  // the wait's own lines
    };
    FaultSpec gone = FaultSpec::Vendor(0xBA, FaultKind::DeviceGone, 2);
    const Row rows[] = {
        {2000, {}, 2, "Wait Total 2 seconds....\nWWaiting 0 seconds....\nWWaiting 1 seconds....\n"},
        {2500, {}, 3, "Wait Total 2 seconds....\nWWaiting 0 seconds....\nWWaiting 1 seconds....\nWWaiting 2 seconds....\n"},
        {0, {}, 0, "Wait Total 0 seconds....\n"},
        // The first poll fails: the fresh reply buffer is not AA 55, the wait ends.
        {30000, FaultSpec::Vendor(0xBA, FaultKind::Stall, 1), 1, "Wait Total 30 seconds....\nWWaiting 0 seconds....\n"},
        // A failed poll after a good one keeps AA 55: the wait goes on.
        {3000, FaultSpec::Vendor(0xBA, FaultKind::Stall, 2), 3, ""},
        // A poll that brings no AA 55 (here: no bytes at all) ends the wait.
        {9000, FaultSpec::Vendor(0xBA, FaultKind::ShortIn, 1), 1, ""},
        {30000, gone, 2, ""},
    };
    for (const Row& row : rows) {
        bus->ClearLog();
        bus->ClearFaults();
        if (row.fault) bus->AddFault(*row.fault);
        device->SetRemoved(0);
        hosted::Trace::Clear();
        const int64_t start = hosted::Clock::Now();
        WaitDeviceAlive(device, row.totalMs);
        const int64_t waited = hosted::Clock::Now() - start;
        EXPECT_EQ(bus->CountVendor(0xBA), row.polls) << row.totalMs;
        EXPECT_GE(waited, hosted::Seconds(int64_t(row.polls)));
        EXPECT_LT(waited, hosted::Seconds(int64_t(row.polls)) + hosted::Milliseconds(5));
        if (!row.lines.empty()) {
            std::string own;
            for (const auto& r : hosted::Trace::Records())
                if (r.text.starts_with("W")) own += r.text;
            EXPECT_EQ(own, row.lines);
        }
    }
}

TEST_F(VendorChannelTest, DelaysHandRelativeIntervalsToTheKernel)
{
    for (ULONG ms : {1000u, 2000u, 300000u}) {  // 300000 ms would wrap in 32 bits
        const int64_t start = hosted::Clock::Now();
        EXPECT_EQ(DelayMs(ms), STATUS_SUCCESS);
        EXPECT_EQ(hosted::Clock::Now() - start, hosted::Milliseconds(ms));
    }

    // The timer wait raises the resolution to 1 ms only while it waits.
    const int64_t start = hosted::Clock::Now();
    hosted::Thread waiter = hosted::StartThread("timer", [] { TimerWaitMs(5); });
    hosted::Sleep(hosted::Milliseconds(2));
    EXPECT_EQ(hosted::Clock::TimerResolution(), 10000u);
    EXPECT_EQ(hosted::Clock::TimerResolutionRequests(), 1u);
    waiter.Join();
    EXPECT_EQ(hosted::Clock::TimerResolutionRequests(), 0u);
    EXPECT_EQ(hosted::Clock::TimerResolution(), hosted::Clock::kDefaultResolution);
    EXPECT_GE(hosted::Clock::Now() - start, hosted::Milliseconds(5));
    EXPECT_LT(hosted::Clock::Now() - start, hosted::Milliseconds(7));
}

}  // namespace
}  // namespace orvex::test
