// The hosted USB bus: the physical device object below the camera's function
// device, answering IOCTL_INTERNAL_USB_SUBMIT_URB with a simulated device
// behind it, on virtual time.
//
//   auto camera = hosted::usb::MakeCamera();            // orvex::sim::Camera on the virtual clock
//   hosted::usb::Bus bus(camera);                        // creates the bus driver and the PDO
//   PDEVICE_OBJECT pdo = bus.Pdo();                      // attach the function device above it
//   bus.SetCompletion(hosted::usb::Completion::Pending); // complete later, from another hosted thread
//   bus.AddFault(FaultSpec::Vendor(0xB0, FaultKind::Stall, 2));  // the 2nd UVCGet_VERSION stalls
//   bus.AddFault(FaultSpec::Vendor(0xB7, FaultKind::Stuck, 1));  // held for good, cancel ignored
//   bus.StartCapture("run.pcap");                        // USBPcap capture of every URB
//   for (auto& t : bus.Log()) ...                        // in-memory bus log
//
// A Bus must be created and destroyed while a hosted::Platform exists, on a
// hosted thread; destroy it after the devices above its PDO are gone.
//
// A Stuck fault stands for a broken USB stack: the IRP is held, its cancel
// routine ignores IoCancelIrp, an unplug leaves it alone, and it is never
// completed. Whoever waits for it waits for good, which the platform reports
// as a deadlock once nobody else can run. When the Bus is destroyed it lets
// go of such an IRP without completing it (the IRP's event, status block and
// URB may lie on the stack of a thread the deadlock has since unwound):
// it reports each one as a verifier violation ("usb bus: ... never
// completed") and leaves the IRP to the platform, whose end-of-run check
// reports it as an IRP leak and frees it.
#pragma once

#include <array>
#include <deque>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <wdm.h>
#include <usbdlib.h>

#include <hosted/thread.h>

#include "SimCamera.h"
#include "UsbPcap.h"

namespace hosted::usb {

// When a submitted URB completes.
enum class Completion {
    Immediate,  // inside IoCallDriver, after the transfer's bus time has passed
    Pending,    // IoCallDriver returns STATUS_PENDING; a hosted thread completes it later
};

// Bus time of one transfer: a fixed per-transfer overhead plus every byte on
// the wire (setup packet and data stage) at the signalling rate.
struct BusTiming {
    int64_t perTransfer = 1250;             // 100-ns units: 125 us, one high-speed microframe
    uint64_t bitsPerSecond = 480'000'000;   // USB 2.0 high speed
    // 100-ns units for a transfer that moves `bytes` bytes.
    int64_t Cost(uint64_t bytes) const;
};

enum class FaultKind {
    Stall,           // the device stalls: URB status stallStatus, I/O status STATUS_UNSUCCESSFUL
    Timeout,         // no completion until the IRP is cancelled, then STATUS_CANCELLED
    DeviceGone,      // I/O status goneStatus, URB status USBD_STATUS_DEVICE_GONE
    NullPipeHandle,  // the transfer is carried out but PipeHandle stays NULL
    ShortIn,         // an IN data stage delivers at most shortLength bytes
    Stuck,           // held for good: a cancel is ignored, an unplug too; never completed
};

const char* FaultName(FaultKind kind);

struct FaultSpec {
    FaultKind kind = FaultKind::Stall;
    int vendorRequest = -1;  // bRequest of a vendor request (URB_FUNCTION_VENDOR_*), or -1
    int urbFunction = -1;    // URB function, or -1; one of the two must be set
    uint32_t nth = 0;        // 0: every matching request; N: only the Nth one counted from AddFault
    NTSTATUS goneStatus = STATUS_DEVICE_NOT_CONNECTED;  // DeviceGone: or STATUS_NO_SUCH_DEVICE
    USBD_STATUS stallStatus = USBD_STATUS_STALL_PID;    // Stall
    uint32_t shortLength = 0;                           // ShortIn

    static FaultSpec Vendor(uint8_t bRequest, FaultKind kind, uint32_t nth = 0);
    static FaultSpec Function(uint16_t function, FaultKind kind, uint32_t nth = 0);
};

// One URB as the bus saw it.
struct Transfer {
    uint64_t sequence = 0;   // 1 for the first URB on this bus
    int64_t submitted = 0;   // virtual time (100-ns units) of IoCallDriver
    int64_t completed = -1;  // virtual time of completion; -1 while outstanding
    uint16_t function = 0;   // URB function
    bool control = false;    // carried as a control transfer on the default pipe
    std::array<uint8_t, 8> setup{};  // the setup packet on the wire (control only)
    std::vector<uint8_t> out;        // OUT data stage
    std::vector<uint8_t> in;         // IN data delivered to the caller
    USBD_STATUS usbdStatus = 0;      // URB header status at completion
    NTSTATUS status = STATUS_PENDING;  // I/O status at completion
    uint32_t length = 0;             // TransferBufferLength at completion
    std::optional<FaultKind> fault;  // injected fault, if any
    bool cancelRequested = false;    // IoCancelIrp reached the bus while it held the IRP

    uint8_t bmRequestType() const { return setup[0]; }
    uint8_t bRequest() const { return setup[1]; }
    uint16_t wValue() const { return static_cast<uint16_t>(setup[2] | setup[3] << 8); }
    uint16_t wIndex() const { return static_cast<uint16_t>(setup[4] | setup[5] << 8); }
    uint16_t wLength() const { return static_cast<uint16_t>(setup[6] | setup[7] << 8); }
};

struct BusOptions {
    uint16_t busNumber = 1;      // recorded in captures
    uint16_t deviceAddress = 1;  // recorded in captures
    std::string instancePath;    // default: USB\VID_xxxx&PID_xxxx\<n> from the device descriptor
    SYSTEM_POWER_STATE systemWake = PowerSystemUnspecified;  // reported by IRP_MN_QUERY_CAPABILITIES
    DEVICE_POWER_STATE deviceWake = PowerDeviceUnspecified;
};

class Bus {
public:
    explicit Bus(std::shared_ptr<orvex::sim::UsbDeviceModel> device, BusOptions options = {});
    ~Bus();
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    // The device's physical device object (owned by the bus driver).
    PDEVICE_OBJECT Pdo() const { return pdo_; }
    PDRIVER_OBJECT Driver() const { return driver_; }
    // The handles the bus hands out.
    PVOID DeviceHandle() const;
    USBD_PIPE_HANDLE DefaultPipe() const;

    void SetCompletion(Completion mode);
    void SetTiming(const BusTiming& timing);
    BusTiming Timing() const;

    void AddFault(const FaultSpec& fault);
    void ClearFaults();

    // The device leaves the bus: transfers still held complete with
    // STATUS_DEVICE_NOT_CONNECTED (stuck ones stay held), and every later one
    // fails the same way.
    void Unplug();
    void Replug();
    bool Plugged() const;

    // Capture every URB into a USBPcap file from now on (false: cannot open);
    // `epoch` is the wall-clock second (since 1970 UTC) of virtual time 0.
    bool StartCapture(const std::string& path, int64_t epoch = kDefaultCaptureEpoch);
    void StopCapture();

    std::vector<Transfer> Log() const;
    void ClearLog();
    // Number of vendor requests with this bRequest in the log.
    size_t CountVendor(uint8_t bRequest) const;
    // IRPs the bus holds (pending, timed out or stuck) right now.
    size_t Outstanding() const;
    // Of those, the ones held by a Stuck fault.
    size_t StuckCount() const;
    // Configuration selected through URBs (0: none).
    uint8_t SelectedConfiguration() const;

    // Dispatch entry points (public for the driver object's table).
    static NTSTATUS DispatchInternalIoctl(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS DispatchPnp(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS DispatchPower(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS DispatchOther(PDEVICE_OBJECT device, PIRP irp);

private:
    struct Request;  // what Submit learned about one URB
    NTSTATUS Submit(PIRP irp, PURB urb);
    std::optional<FaultSpec> MatchFault(uint16_t function, int vendorRequest);
    NTSTATUS Execute(PIRP irp, const Request& r);
    NTSTATUS Finish(PIRP irp, uint64_t seq, USBD_STATUS usbd, NTSTATUS status, const std::vector<uint8_t>* in);
    void RunControl(const Request& r, std::vector<uint8_t>* in, USBD_STATUS* usbd, NTSTATUS* status);
    void SelectConfiguration(const Request& r, USBD_STATUS* usbd, NTSTATUS* status);
    bool DeviceControl(const orvex::sim::SetupPacket& setup);
    PVOID NewHandle();
    bool Hold(PIRP irp, uint64_t seq);
    bool Unhold(PIRP irp, uint64_t seq);
    static void CancelRoutine(PDEVICE_OBJECT device, PIRP irp);
    static void IgnoreCancel(PDEVICE_OBJECT device, PIRP irp);
    void ReleaseStuck();
    static Bus* FromDevice(PDEVICE_OBJECT device);
    Transfer* Entry(uint64_t seq);  // log entry of a sequence number, or nullptr (mu_ held)

    std::shared_ptr<orvex::sim::UsbDeviceModel> device_;
    BusOptions options_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT pdo_ = nullptr;

    mutable std::mutex mu_;
    Completion completion_ = Completion::Immediate;
    BusTiming timing_;
    struct ArmedFault {
        FaultSpec spec;
        uint32_t seen = 0;
    };
    std::vector<ArmedFault> faults_;
    bool plugged_ = true;
    uint8_t configuration_ = 0;
    std::vector<Transfer> log_;
    uint64_t nextSeq_ = 1;
    uint64_t firstSeq_ = 1;      // sequence number of log_[0]
    // IRPs waiting for their worker or for cancellation, with their sequence
    // numbers: a worker looks its IRP up by both, because a completed IRP's
    // address may come back for a new IRP while the worker still sleeps.
    std::vector<std::pair<PIRP, uint64_t>> held_;
    // IRPs held by a Stuck fault. They are never completed; see ReleaseStuck.
    std::vector<std::pair<PIRP, uint64_t>> stuck_;
    std::vector<hosted::Thread> workers_;
    UsbPcapWriter pcap_;
    std::deque<uint64_t> handles_;  // storage behind the opaque handles
};

// The virtual clock as the simulator's clock.
orvex::sim::Clock VirtualClock();
// A simulated camera running on the virtual clock.
std::shared_ptr<orvex::sim::Camera> MakeCamera(orvex::sim::CameraConfig config = {});

}  // namespace hosted::usb
