// The hosted USB bus with the simulated camera behind it: URB handling,
// completion modes, fault injection, unplug and the timing model (the
// camera's own timeline on virtual time is walked by tests/sim and, through
// the driver, by tests/update).
#include <cstring>

#include "UsbStackTestUtil.h"

using namespace hosted::usb;
using namespace orvex::sim;
using usbtest::SendUrb;
using usbtest::Submission;
using usbtest::VendorUrb;

namespace {

std::array<uint8_t, 8> SetupBytes(std::initializer_list<uint8_t> b) {
    std::array<uint8_t, 8> a{};
    std::copy(b.begin(), b.end(), a.begin());
    return a;
}

PUSB_CONFIGURATION_DESCRIPTOR Cd(std::vector<uint8_t>& bytes) {
    return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
}

}  // namespace

class BusTest : public hosted::PlatformTest {
protected:
    std::shared_ptr<Camera> camera;
    std::unique_ptr<Bus> bus;
    uint8_t rec[12] = {};  // a version record

    void Make(CameraConfig cfg = {}) {
        bus.reset();
        camera = MakeCamera(std::move(cfg));
        bus = std::make_unique<Bus>(camera);
    }
    void SetUp() override { Make(); }
    void TearDown() override { bus.reset(); }

    NTSTATUS Send(PURB urb) { return SendUrb(bus->Pdo(), urb).final; }
    NTSTATUS Vendor(bool in, uint8_t req, uint16_t value, void* buf, ULONG len, URB* out = nullptr,
                    ULONG flags = USBD_SHORT_TRANSFER_OK) {
        return usbtest::Vendor(bus->Pdo(), in, req, value, buf, len, out, flags);
    }
    NTSTATUS Version(URB* out = nullptr, ULONG flags = USBD_SHORT_TRANSFER_OK) {
        return Vendor(true, 0xB0, 0, rec, 12, out, flags);
    }
    void StartUpdate() {
        uint8_t aa55[2] = {0xAA, 0x55};
        ASSERT_EQ(Vendor(false, 0xB1, 0, aa55, 2), STATUS_SUCCESS);
    }
};

// The descriptor reads, the selection and deconfiguration as the driver does
// them are tests/usb's (through the driver); here what the bus fills in and
// what it refuses.
TEST_F(BusTest, SelectionFillsInThePipesAndRefusesWhatTheDeviceLacks) {
    auto cfg = camera->ConfigurationDescriptor();
    auto* cd = Cd(cfg);
    auto sel = usbtest::BuildSelect(cd, {{0, 0}, {1, 0}, {2, 0}, {3, 0}});
    ASSERT_NE(sel->urb, nullptr);
    ASSERT_EQ(Send(sel->urb), STATUS_SUCCESS);
    EXPECT_EQ(sel->urb->UrbHeader.Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(sel->urb->UrbHeader.UsbdDeviceHandle, bus->DeviceHandle());
    EXPECT_NE(sel->urb->UrbSelectConfiguration.ConfigurationHandle, nullptr);
    EXPECT_EQ(camera->Configuration(), 1);
    auto* vc = sel->list[0].Interface;
    ASSERT_EQ(vc->NumberOfPipes, 1u);
    EXPECT_EQ(vc->Pipes[0].EndpointAddress, 0x83);
    EXPECT_EQ(vc->Pipes[0].MaximumPacketSize, 16);
    EXPECT_EQ(vc->Pipes[0].Interval, 8);
    EXPECT_EQ(vc->Pipes[0].PipeType, UsbdPipeTypeInterrupt);
    EXPECT_NE(vc->Pipes[0].PipeHandle, nullptr);
    EXPECT_NE(vc->InterfaceHandle, nullptr);
    EXPECT_NE(vc->InterfaceHandle, sel->list[1].Interface->InterfaceHandle);
    EXPECT_EQ(bus->Log().back().setup, SetupBytes({0x00, 0x09, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00}));

    // An alternate setting with an isochronous pipe.
    auto alt = usbtest::BuildSelect(cd, {{0, 0}, {1, 3}});
    ASSERT_EQ(Send(alt->urb), STATUS_SUCCESS);
    ASSERT_EQ(alt->list[1].Interface->NumberOfPipes, 1u);
    EXPECT_EQ(alt->list[1].Interface->Pipes[0].PipeType, UsbdPipeTypeIsochronous);
    EXPECT_EQ(alt->list[1].Interface->Pipes[0].MaximumPacketSize, 0x1400);

    // Missing alternate setting and bad transfer sizes are refused; nothing changes.
    auto bad = usbtest::BuildSelect(cd, {{0, 0}, {1, 0}});
    bad->list[1].Interface->AlternateSetting = 9;
    ASSERT_EQ(Send(bad->urb), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(bad->urb->UrbHeader.Status, USBD_STATUS_INTERFACE_NOT_FOUND);
    EXPECT_EQ(bad->list[0].Interface->InterfaceHandle, nullptr);
    auto zero = usbtest::BuildSelect(cd, {{0, 0}});
    zero->list[0].Interface->Pipes[0].MaximumTransferSize = 0;
    ASSERT_EQ(Send(zero->urb), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(zero->urb->UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);
    zero->list[0].Interface->Pipes[0].MaximumTransferSize = 0x10000;
    EXPECT_EQ(Send(zero->urb), STATUS_SUCCESS);

    // A request that names a descriptor whose interface claims an endpoint it
    // does not hold (the library refuses to build one from it, so the request
    // is built from a sound descriptor and pointed at the short one).
    CameraConfig twoEndpoints;
    twoEndpoints.configDescriptor =
        ConfigBuilder().Interface(0, 0, 2, 0xFF, 0, 0).Endpoint(0x81, 2, 512, 0).Endpoint(0x02, 2, 512, 0).Build();
    Make(twoEndpoints);
    auto bytes = camera->ConfigurationDescriptor();
    auto shortSel = usbtest::BuildSelect(Cd(bytes), {{0, 0}});
    auto lying = ConfigBuilder().Interface(0, 0, 2, 0xFF, 0, 0).Endpoint(0x81, 2, 512, 0).Build();
    shortSel->urb->UrbSelectConfiguration.ConfigurationDescriptor = Cd(lying);
    ASSERT_EQ(Send(shortSel->urb), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(shortSel->urb->UrbHeader.Status, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR);
    EXPECT_EQ(camera->Configuration(), 0);
}

// The setup packets of the twelve requests are checked through the driver
// in tests/usb; here the URB's side of the answers.
TEST_F(BusTest, VendorRequestAnswersInTheUrb) {
    URB u;
    ASSERT_EQ(Version(&u), STATUS_SUCCESS);
    EXPECT_EQ(u.UrbHeader.Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(u.UrbControlVendorClassRequest.TransferBufferLength, 12u);
    EXPECT_EQ(u.UrbControlTransfer.PipeHandle, bus->DefaultPipe());
    EXPECT_NE(bus->DefaultPipe(), nullptr);
    EXPECT_EQ(bus->Log().back().in, std::vector<uint8_t>(rec, rec + 12));
    EXPECT_EQ(bus->Log().back().function, URB_FUNCTION_VENDOR_DEVICE);
    StartUpdate();

    // The camera stalls a packet of the wrong direction: no data moves.
    EXPECT_EQ(Vendor(false, 0xB0, 0, rec, 12, &u), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(u.UrbHeader.Status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(u.UrbControlVendorClassRequest.TransferBufferLength, 0u);
    EXPECT_EQ(bus->Log().back().bmRequestType(), 0x40);

    // A short IN data stage: fine with USBD_SHORT_TRANSFER_OK, an error without.
    std::vector<uint8_t> block(1024);
    const uint16_t lastPage = static_cast<uint16_t>(CameraConfig{}.eepromSize / 256 - 1);
    ASSERT_EQ(Vendor(true, 0xB3, lastPage, block.data(), 1024, &u), STATUS_SUCCESS);
    EXPECT_EQ(u.UrbControlVendorClassRequest.TransferBufferLength, 256u);
    EXPECT_EQ(Vendor(true, 0xB3, lastPage, block.data(), 1024, &u, 0), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(u.UrbHeader.Status, USBD_STATUS_ERROR_SHORT_TRANSFER);

    // A URB function the stack does not know.
    URB odd{};
    odd.UrbHeader.Length = sizeof(struct _URB_HEADER);
    odd.UrbHeader.Function = URB_FUNCTION_RESERVED_0X0016;
    EXPECT_EQ(Send(&odd), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(odd.UrbHeader.Status, USBD_STATUS_INVALID_URB_FUNCTION);
    EXPECT_EQ(bus->CountVendor(0xB0), 2u);
    EXPECT_EQ(bus->CountVendor(0xB1), 1u);
}

TEST_F(BusTest, ImmediateAndPendingCompletion) {
    const BusTiming timing = bus->Timing();
    URB u = VendorUrb(true, 0xB0, 0, rec, 12);
    int64_t t0 = hosted::Clock::Now();
    Submission now(bus->Pdo(), &u);
    EXPECT_EQ(now.Send(), STATUS_SUCCESS);  // completed inside IoCallDriver
    EXPECT_EQ(hosted::Clock::Now() - t0, timing.Cost(8 + 12));

    bus->SetCompletion(Completion::Pending);
    uint8_t aa55[2] = {0xAA, 0x55};
    URB start = VendorUrb(false, 0xB1, 0, aa55, 2);
    t0 = hosted::Clock::Now();
    Submission later(bus->Pdo(), &start);
    ASSERT_EQ(later.Send(), STATUS_PENDING);
    EXPECT_FALSE(later.Done());
    EXPECT_FALSE(camera->InUpdateMode());  // not carried out yet
    EXPECT_EQ(bus->Outstanding(), 1u);
    EXPECT_EQ(later.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(hosted::Clock::Now() - t0, timing.Cost(8 + 2));
    EXPECT_TRUE(camera->InUpdateMode());
    EXPECT_EQ(start.UrbControlTransfer.PipeHandle, bus->DefaultPipe());
    EXPECT_EQ(bus->Outstanding(), 0u);
    EXPECT_EQ(bus->Log().back().completed - bus->Log().back().submitted, timing.Cost(8 + 2));

    // Cancelled while pending: completes STATUS_CANCELLED and never reaches the camera.
    uint8_t exitReply[2];
    URB exit = VendorUrb(true, 0xB9, 0, exitReply, 2);
    Submission cancelled(bus->Pdo(), &exit);
    ASSERT_EQ(cancelled.Send(), STATUS_PENDING);
    EXPECT_TRUE(IoCancelIrp(cancelled.Irp()));
    EXPECT_EQ(cancelled.Wait(), STATUS_CANCELLED);
    EXPECT_EQ(exit.UrbHeader.Status, USBD_STATUS_CANCELED);
    hosted::Sleep(hosted::Milliseconds(10));  // the worker wakes and must leave the IRP alone
    EXPECT_TRUE(camera->InUpdateMode());
    EXPECT_EQ(camera->Stats().updateModeExits, 0u);
}

// A fault bound to a port counts and hits the requests to that port only.
TEST_F(BusTest, FaultOnOnePort) {
    const int port2 = bus->Plug(MakeCamera());
    auto fault = FaultSpec::Vendor(0xB0, FaultKind::Stall, 2);
    fault.port = port2;
    bus->AddFault(fault);
    std::vector<NTSTATUS> results;
    for (int port : {1, 1, port2, port2, port2}) results.push_back(usbtest::Vendor(bus->Pdo(port), true, 0xB0, 0, rec, 12));
    EXPECT_EQ(results, (std::vector<NTSTATUS>{STATUS_SUCCESS, STATUS_SUCCESS, STATUS_SUCCESS, STATUS_UNSUCCESSFUL,
                                              STATUS_SUCCESS}));
    EXPECT_EQ(bus->Log()[3].port, port2);
}

// Stalls, a device gone (either status), success without a pipe handle,
// faults by URB function and time-outs are proven through the driver in
// tests/usb; a short IN data stage is the bus's own.
TEST_F(BusTest, ShortInFault) {
    auto shortIn = FaultSpec::Vendor(0xB0, FaultKind::ShortIn);
    shortIn.shortLength = 5;
    bus->AddFault(shortIn);
    std::memset(rec, 0xEE, sizeof rec);
    URB u;
    EXPECT_EQ(Version(&u), STATUS_SUCCESS);
    EXPECT_EQ(u.UrbControlVendorClassRequest.TransferBufferLength, 5u);
    EXPECT_EQ(rec[5], 0xEE);
    EXPECT_EQ(bus->Log().back().fault, FaultKind::ShortIn);
    EXPECT_EQ(Version(&u, 0), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(u.UrbHeader.Status, USBD_STATUS_ERROR_SHORT_TRANSFER);
}

// A stuck request: the client waits as the driver does (10 s, cancel, then
// without limit). Neither the cancel nor an unplug completes it, so the
// platform reports the deadlock and unwinds the client; the bus then goes
// away without touching the IRP (its event, status block and URB were on the
// client's stack), reports it, and the platform's end check reports the IRP.
TEST(BusStuck, HeldForGoodThroughCancelAndUnplugThenLeftToThePlatform) {
    std::vector<std::string> problems, violations;
    std::string deadlock;
    {
        hosted::Options options;
        options.mainThreadName = "test";
        hosted::Platform platform(options);
        hosted::Platform::SetFailureHandler([](const std::string&) {});  // Finish() returns them
        auto bus = std::make_unique<Bus>(MakeCamera());
        bus->AddFault(FaultSpec::Vendor(0xB7, FaultKind::Stuck, 1));

        int64_t cancelledAt = -1;
        bool clientReturned = false;
        hosted::Thread client = hosted::StartThread("client", [&] {
            uint8_t status = 0xEE;
            URB u = VendorUrb(true, 0xB7, 0, &status, 1);
            Submission s(bus->Pdo(), &u);
            if (s.Send() != STATUS_PENDING) return;
            if (s.WaitFor(hosted::Seconds(10)) != STATUS_TIMEOUT) return;
            IoCancelIrp(s.Irp());
            cancelledAt = hosted::Clock::Now();
            s.Wait();
            clientReturned = true;
        });

        hosted::Sleep(hosted::Seconds(11));
        EXPECT_EQ(cancelledAt, hosted::Seconds(10));
        ASSERT_EQ(bus->Log().size(), 1u);
        EXPECT_EQ(bus->Log()[0].fault, FaultKind::Stuck);
        EXPECT_TRUE(bus->Log()[0].cancelRequested);
        EXPECT_EQ(bus->StuckCount(), 1u);

        bus->Unplug();
        hosted::Sleep(hosted::Seconds(1));
        EXPECT_EQ(bus->Outstanding(), 1u);
        EXPECT_EQ(bus->Log()[0].completed, -1);
        bus->Replug();
        // Only the first request was armed: the next one is served at once.
        uint8_t st = 0;
        EXPECT_EQ(usbtest::Vendor(bus->Pdo(), true, 0xB7, 0, &st, 1), STATUS_SUCCESS);
        EXPECT_EQ(bus->StuckCount(), 1u);

        const int64_t beforeJoin = hosted::Clock::Now();
        EXPECT_THROW(client.Join(), hosted::DeadlockError);
        client.Join();  // unwound by now
        EXPECT_FALSE(clientReturned);
        deadlock = hosted::LastDeadlockReport();
        EXPECT_EQ(hosted::Clock::Now(), beforeJoin) << "found as soon as nothing had a deadline";

        bus.reset();
        violations = hosted::Verifier::Take();
        problems = platform.Finish();
        hosted::Platform::SetFailureHandler(nullptr);
    }
    EXPECT_NE(deadlock.find("thread 'client' waits in KeWaitForSingleObject for: notification event"), std::string::npos)
        << deadlock;
    ASSERT_EQ(violations.size(), 2u);
    EXPECT_EQ(violations[0], deadlock);
    EXPECT_NE(violations[1].find("(transfer #1, vendor request 0xB7, submitted at 0 ms, cancelled) was never completed: "
                                 "a 'stuck' fault held it"),
              std::string::npos)
        << violations[1];
    ASSERT_EQ(problems.size(), 1u) << ::testing::PrintToString(problems);
    EXPECT_NE(problems[0].find("IRP leak: IRP "), std::string::npos) << problems[0];
}

TEST_F(BusTest, UnplugFailsHeldAndLaterTransfers) {
    uint8_t st = 0;
    bus->AddFault(FaultSpec::Vendor(0xB7, FaultKind::Timeout));
    URB fw = VendorUrb(true, 0xB7, 0, &st, 1);
    Submission held(bus->Pdo(), &fw);
    ASSERT_EQ(held.Send(), STATUS_PENDING);
    bus->Unplug();
    EXPECT_EQ(held.Wait(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(fw.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    EXPECT_FALSE(bus->Plugged());

    URB u;
    bus->SetCompletion(Completion::Pending);
    EXPECT_EQ(Version(&u), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(u.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(u.UrbControlTransfer.PipeHandle, nullptr);
    EXPECT_EQ(camera->Stats().stalls, 0u);  // the camera saw none of it

    bus->Replug();
    bus->ClearFaults();
    EXPECT_EQ(Version(), STATUS_SUCCESS);
}

// The observer sees each URB before the bus looks at the device and after
// completion, and may unplug the port from either place: an unplug before
// the second URB fails that URB, one after the third leaves it successful.
TEST_F(BusTest, UrbObserverCanUnplugJustBeforeOrJustAfterAUrb) {
    for (const bool after : {false, true}) {
        Make();
        std::vector<std::string> seen;
        const uint64_t at = after ? 3 : 2;
        bus->SetUrbObserver([&](const hosted::usb::Transfer& t, bool completed) {
            seen.push_back(std::to_string(t.sequence) + (completed ? "done" : "sent"));
            EXPECT_EQ(t.pdo, bus->Pdo());
            if (t.sequence == at && completed == after) bus->Unplug();
        });
        std::vector<NTSTATUS> results;
        for (int i = 0; i < 4; ++i) results.push_back(Version());
        bus->SetUrbObserver(nullptr);
        const NTSTATUS ok = STATUS_SUCCESS, gone = STATUS_DEVICE_NOT_CONNECTED;
        EXPECT_EQ(results, after ? (std::vector<NTSTATUS>{ok, ok, ok, gone}) : (std::vector<NTSTATUS>{ok, gone, gone, gone}));
        EXPECT_EQ(seen, (std::vector<std::string>{"1sent", "1done", "2sent", "2done", "3sent", "3done", "4sent", "4done"}));
    }
}

TEST_F(BusTest, TimingModelChargesOverheadPlusBytes) {
    EXPECT_EQ(BusTiming{}.Cost(8 + 12), 1250 + 4);  // 160 bits at 480 Mbit/s: 3.33 -> 4 units
    StartUpdate();
    uint8_t pages = 0;
    ASSERT_EQ(Vendor(true, 0xB5, 1, &pages, 1), STATUS_SUCCESS);
    std::vector<uint8_t> page(4096, 0x33);
    const int64_t t0 = hosted::Clock::Now();
    ASSERT_EQ(Vendor(false, 0xB6, 0x1000, page.data(), 4096), STATUS_SUCCESS);
    EXPECT_EQ(hosted::Clock::Now() - t0, 1250 + 684);  // 32832 bits: exactly 684 units

    bus->SetTiming({0, 8'000'000});  // one byte per microsecond, no overhead
    const int64_t t1 = hosted::Clock::Now();
    ASSERT_EQ(Version(), STATUS_SUCCESS);
    EXPECT_EQ(hosted::Clock::Now() - t1, 200);
}

TEST_F(BusTest, PdoAnswersPortStatus) {
    ASSERT_EQ(usbtest::Pnp(bus->Pdo(), IRP_MN_START_DEVICE), STATUS_SUCCESS);
    ULONG port = 0;
    KEVENT ev;
    KeInitializeEvent(&ev, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_GET_PORT_STATUS, bus->Pdo(), nullptr, 0, nullptr, 0,
                                             TRUE, &ev, &iosb);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &port;
    EXPECT_EQ(IoCallDriver(bus->Pdo(), irp), STATUS_SUCCESS);
    EXPECT_EQ(port, ULONG(USBD_PORT_ENABLED | USBD_PORT_CONNECTED));
}
