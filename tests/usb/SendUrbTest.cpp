// SendURB and SendURBWithTimeout against the hosted USB stack.
#include "UsbTestSupport.h"

namespace orvex::test {
namespace {

using hosted::usb::Completion;

class SendUrbTest : public UsbTest {
protected:
    // A GET_DESCRIPTOR(device) request into `buffer`.
    URB DescriptorUrb(UCHAR* buffer)
    {
        URB urb{};
        urb.UrbControlDescriptorRequest.Hdr.Length = sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST);
        urb.UrbControlDescriptorRequest.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
        urb.UrbControlDescriptorRequest.TransferBuffer = buffer;
        urb.UrbControlDescriptorRequest.TransferBufferLength = 18;
        urb.UrbControlDescriptorRequest.DescriptorType = USB_DEVICE_DESCRIPTOR_TYPE;
        return urb;
    }
    NTSTATUS Send(bool timed, PURB urb) { return timed ? SendURBWithTimeout(bus->Pdo(), urb) : SendURB(bus->Pdo(), urb); }
};

TEST_F(SendUrbTest, CompletesAtOnceOrLaterWithTheRequestStatus)
{
    for (auto mode : {Completion::Immediate, Completion::Pending}) {
        for (bool timed : {false, true}) {
            bus->SetCompletion(mode);
            UCHAR buffer[18] = {};
            URB urb = DescriptorUrb(buffer);
            EXPECT_EQ(Send(timed, &urb), STATUS_SUCCESS);
            EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 18u);
            EXPECT_EQ(Bytes(buffer, 18), camera->DeviceDescriptor());

            // A stalled request fails as an I/O request too; its URB carries the USBD status.
            bus->AddFault(FaultSpec::Function(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, FaultKind::Stall, 1));
            EXPECT_EQ(Send(timed, &urb), STATUS_UNSUCCESSFUL);
            EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
            bus->ClearFaults();
        }
    }
    EXPECT_EQ(hosted::Io::LiveIrps(), 0u);
}

// A lower driver whose return value and completion status differ.
NTSTATUS g_returned, g_completed;
NTSTATUS NTAPI OddDispatch(PDEVICE_OBJECT, PIRP irp)
{
    irp->IoStatus.Status = g_completed;
    if (g_returned == STATUS_PENDING) IoMarkIrpPending(irp);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return g_returned;
}

TEST_F(SendUrbTest, StatusBlockIsReadOnlyForPendingRequests)
{
    PDRIVER_OBJECT odd = hosted::Io::CreateDriver("\\Driver\\odd");
    odd->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = OddDispatch;
    PDEVICE_OBJECT target = hosted::Io::CreatePdo(odd);
    URB urb{};
    const NTSTATUS rows[][3] = {  // returned, completed, result
        {STATUS_PENDING, 0x40000000, 0x40000000},
        {STATUS_SUCCESS, STATUS_UNSUCCESSFUL, STATUS_SUCCESS},
        {STATUS_UNSUCCESSFUL, STATUS_SUCCESS, STATUS_UNSUCCESSFUL},
    };
    for (const auto& row : rows) {
        g_returned = row[0];
        g_completed = row[1];
        EXPECT_EQ(SendURB(target, &urb), row[2]);
        EXPECT_EQ(SendURBWithTimeout(target, &urb), row[2]);
    }
    IoDeleteDevice(target);
    hosted::Io::DeleteDriver(odd);
}

TEST_F(SendUrbTest, FailureLinesDependOnRoutineStatusAndFunction)
{
    UCHAR buffer[18] = {};
    URB urb = DescriptorUrb(buffer);
    const std::string urbPart = ", Urb 0x" + Hex(&urb) + " \n";

    for (bool timed : {false, true}) {
        hosted::Trace::Clear();
        bus->AddFault(FaultSpec::Function(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, FaultKind::Stall, 1));
        ASSERT_EQ(Send(timed, &urb), STATUS_UNSUCCESSFUL);
        const std::string text = Text();
        const std::string reset = timed ? "Reset Device \n" : "RReset Device \n";
        // The reset lines come first and have no prefix.
        EXPECT_TRUE(text.starts_with(reset + "Do not do reset pipe, Irp 0x")) << text;
        EXPECT_NE(text.find(urbPart), std::string::npos) << text;
        EXPECT_TRUE(text.ends_with("ORVEX :        exit SendURB FAILED (c0000001)\n")) << text;
        EXPECT_EQ(timed ? 0u : 1u, Lines("RReset Device "));
        bus->ClearFaults();
    }

    // Cancelled, not connected and reset-pipe failures print no reset lines;
    // a vanished device reported as STATUS_NO_SUCH_DEVICE does.
    struct Row { FaultSpec fault; NTSTATUS status; bool resetLines; };
    FaultSpec noSuch = FaultSpec::Function(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, FaultKind::DeviceGone, 1);
    noSuch.goneStatus = STATUS_NO_SUCH_DEVICE;
    const Row rows[] = {
        {FaultSpec::Function(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, FaultKind::DeviceGone, 1), STATUS_DEVICE_NOT_CONNECTED, false},
        {noSuch, STATUS_NO_SUCH_DEVICE, true},
    };
    for (const Row& row : rows) {
        hosted::Trace::Clear();
        bus->AddFault(row.fault);
        EXPECT_EQ(SendURBWithTimeout(bus->Pdo(), &urb), row.status);
        EXPECT_EQ(hosted::Trace::Contains("Reset Device \n"), row.resetLines) << Text();
        bus->ClearFaults();
    }
    URB resetPipe{};
    resetPipe.UrbPipeRequest.Hdr.Length = sizeof(_URB_PIPE_REQUEST);
    resetPipe.UrbPipeRequest.Hdr.Function = URB_FUNCTION_RESET_PIPE;
    FaultSpec resetGone = FaultSpec::Function(URB_FUNCTION_RESET_PIPE, FaultKind::DeviceGone, 1);
    resetGone.goneStatus = STATUS_NO_SUCH_DEVICE;
    bus->AddFault(resetGone);
    hosted::Trace::Clear();
    EXPECT_EQ(SendURB(bus->Pdo(), &resetPipe), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(Text(), "ORVEX :        exit SendURB FAILED (c000000e)\n");

    // With the mask at 0 only the two reset lines remain.
    LogMask = 0;
    hosted::Trace::Clear();
    bus->AddFault(FaultSpec::Function(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, FaultKind::Stall, 1));
    EXPECT_EQ(SendURBWithTimeout(bus->Pdo(), &urb), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(hosted::Trace::Records().size(), 2u);
    EXPECT_TRUE(Text().starts_with("Reset Device \nDo not do reset pipe, Irp 0x")) << Text();
}

TEST_F(SendUrbTest, TimeoutCancelsAndWaitsForTheRequest)
{
    bus->SetCompletion(Completion::Pending);
    for (bool viaChannel : {false, true}) {
        UCHAR buffer[18];
        memset(buffer, 0x5A, sizeof buffer);
        URB urb = DescriptorUrb(buffer);
        bus->AddFault(FaultSpec::Function(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, FaultKind::Timeout, 1));
        bus->AddFault(FaultSpec::Vendor(0xB0, FaultKind::Timeout, 1));
        hosted::Trace::Clear();
        const int64_t start = hosted::Clock::Now();
        if (viaChannel) {
            device->m_bLastTransferOk = 1;
            UVCGet_VERSION(device, buffer);
            EXPECT_EQ(device->m_bLastTransferOk, 0u);
            EXPECT_EQ(device->IsRemoved(), 0u);
        } else {
            EXPECT_EQ(SendURBWithTimeout(bus->Pdo(), &urb), STATUS_CANCELLED);
        }
        const int64_t waited = hosted::Clock::Now() - start;
        EXPECT_GE(waited, hosted::Seconds(10));
        EXPECT_LT(waited, hosted::Seconds(10) + hosted::Milliseconds(20));
        // Nothing is left with the stack and nothing was written afterwards.
        EXPECT_EQ(bus->Outstanding(), 0u);
        EXPECT_EQ(hosted::Io::LiveIrps(), 0u);
        EXPECT_EQ(Bytes(buffer, 18), std::vector<uint8_t>(18, 0x5A));
        EXPECT_EQ(bus->Log().back().status, STATUS_CANCELLED);
        EXPECT_TRUE(hosted::Trace::Contains("ORVEX :        exit SendURB FAILED (c0000120)\n"));
        EXPECT_FALSE(hosted::Trace::Contains("Reset Device"));
        bus->ClearFaults();
    }
}

TEST_F(SendUrbTest, NullUrbAndIrpAllocationFailure)
{
    EXPECT_EQ(SendURB(bus->Pdo(), nullptr), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Text(), "ORVEX :        No URB received\nORVEX :        exit SendURB FAILED (c000009a)\n");

    UCHAR buffer[18] = {};
    URB urb = DescriptorUrb(buffer);
    hosted::Trace::Clear();
    hosted::Io::FailIrpAllocation(1);
    EXPECT_EQ(SendURBWithTimeout(bus->Pdo(), &urb), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Text(), "ORVEX :        SendURB failed to alloc IRP\nORVEX :        exit SendURB FAILED (c000009a)\n");
    EXPECT_TRUE(bus->Log().empty());

    // Above PASSIVE_LEVEL the assertion is reported and the call goes on.
    hosted::Trace::Clear();
    LogMask = 0;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    SendURB(bus->Pdo(), nullptr);
    KeLowerIrql(old);
    EXPECT_TRUE(hosted::Trace::Contains("KeGetCurrentIrql() == PASSIVE_LEVEL")) << Text();
    EXPECT_TRUE(hosted::Trace::Contains("device/usbdevice")) << Text();
}

}  // namespace
}  // namespace orvex::test
