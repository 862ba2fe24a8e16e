// The hosted USB bus driver: a hub device with one physical device object
// (PDO) per plugged device, answering IOCTL_INTERNAL_USB_SUBMIT_URB, the
// PDOs' plug-and-play and power IRPs, and the hub's bus relations, with the
// devices behind the ports (hosted::usb::BusDevice) on virtual time.
//
//   auto camera = orvex::sim::MakeCamera();              // a device (sim/SimOnBus.h)
//   hosted::usb::Bus bus(camera);                        // hub + the camera on port 1
//   PDEVICE_OBJECT pdo = bus.Pdo();                      // attach the function device above it
//   int port2 = bus.Plug(other);                         // a second device, its own PDO
//   bus.Unplug(port2);                                   // gone: reported missing at the next BusRelations
//   bus.SetCompletion(hosted::usb::Completion::Pending); // complete later, from another hosted thread
//   bus.SetCompletionIrql(DISPATCH_LEVEL);               // ... and at DISPATCH_LEVEL
//   bus.AddFault(FaultSpec::Vendor(0xB0, FaultKind::Stall, 2));  // the 2nd UVCGet_VERSION stalls
//   bus.FailIrp(IRP_MJ_PNP, IRP_MN_START_DEVICE, STATUS_UNSUCCESSFUL, 1);
//   camera->SignalWake();                                // completes a pending IRP_MN_WAIT_WAKE
//   bus.StartCapture("run.pcap");                        // USBPcap capture of every URB
//   for (auto& t : bus.Log()) ...                        // in-memory bus log
//
// A Bus must be created and destroyed while a hosted::Platform exists, on a
// hosted thread; destroy it after the devices above its PDOs are gone.
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
#include <functional>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <wdm.h>
#include <usbdlib.h>

#include <hosted/thread.h>

#include "BusDevice.h"
#include "UsbPcap.h"

namespace hosted::usb {

// When a submitted URB completes.
enum class Completion {
    Immediate,  // inside IoCallDriver, after the transfer's bus time has passed
    Pending,    // IoCallDriver returns STATUS_PENDING; a hosted thread completes it later
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
    int port = 0;            // 0: requests to any port; N: only those to port N (counted there)
    NTSTATUS goneStatus = STATUS_DEVICE_NOT_CONNECTED;  // DeviceGone: or STATUS_NO_SUCH_DEVICE
    USBD_STATUS stallStatus = USBD_STATUS_STALL_PID;    // Stall
    uint32_t shortLength = 0;                           // ShortIn

    static FaultSpec Vendor(uint8_t bRequest, FaultKind kind, uint32_t nth = 0);
    static FaultSpec Function(uint16_t function, FaultKind kind, uint32_t nth = 0);
};

// One URB as the bus saw it.
struct Transfer {
    uint64_t sequence = 0;   // 1 for the first URB on this bus
    int port = 0;            // port of the device the URB was sent to
    PDEVICE_OBJECT pdo = nullptr;  // the PDO it was sent to
    uint16_t address = 0;    // its USB address
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

// Capabilities a PDO reports for IRP_MN_QUERY_CAPABILITIES. By default a
// USB camera's: S0 -> D0; with remote wakeup (bmAttributes bit 5 of its
// configuration descriptor) S1..S3 -> D2 (it can wake from there), S4, S5 ->
// D3, SystemWake S3, DeviceWake D2; without it every sleep state -> D3 and
// no wake. WakeFromD0..D3 are derived: the device can signal wake from every
// supported state down to DeviceWake.
struct PdoCapabilities {
    std::array<DEVICE_POWER_STATE, PowerSystemMaximum> deviceState{};
    SYSTEM_POWER_STATE systemWake = PowerSystemUnspecified;
    DEVICE_POWER_STATE deviceWake = PowerDeviceUnspecified;
    bool deviceD1 = true;
    bool deviceD2 = true;
    bool removable = true;
    bool surpriseRemovalOk = false;

    // The default for a device with or without remote wakeup.
    static PdoCapabilities UsbDefault(bool remoteWakeup);
    // Whether the device can signal wake from `state` (WakeFromDx).
    bool WakeFrom(DEVICE_POWER_STATE state) const;
};

struct BusOptions {
    uint16_t busNumber = 1;  // recorded in captures, answered for DevicePropertyBusNumber
    // Register the hub with the PnP manager as a root-enumerated bus
    // (hosted::Pnp::AddRootBus) for the Bus's lifetime: the manager then
    // enumerates, starts and removes its devices as they come and go.
    bool rootBus = false;
};

// One device in one port.
struct PortOptions {
    uint16_t deviceAddress = 0;  // USB address, recorded in captures; 0: the port number
    std::string instancePath;    // default: USB\VID_xxxx&PID_xxxx\<n> from the device descriptor
    std::optional<PdoCapabilities> capabilities;  // default: PdoCapabilities::UsbDefault
};

// Plug-and-play state of a PDO, as its PnP IRPs moved it.
enum class PdoState { NotStarted, Started, StopPending, Stopped, RemovePending, SurpriseRemoved, Removed, Deleted };
const char* PdoStateName(PdoState state);

class Bus {
public:
    // An empty hub.
    explicit Bus(BusOptions options = {});
    // A hub with `device` in port 1.
    explicit Bus(std::shared_ptr<BusDevice> device, PortOptions port = {}, BusOptions options = {});
    ~Bus();
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    // The hub's own device object: answers IRP_MN_QUERY_DEVICE_RELATIONS/BusRelations.
    PDEVICE_OBJECT Hub() const { return hub_; }
    PDRIVER_OBJECT Driver() const { return driver_; }

    // ---- ports ----
    // Plugs a device into the next free port and creates its PDO; returns the
    // port number (from 1). The hub's relations are invalidated.
    int Plug(std::shared_ptr<BusDevice> device, PortOptions options = {});
    // The device leaves its port: transfers still held complete with
    // STATUS_DEVICE_NOT_CONNECTED (stuck ones stay held), every later one
    // fails the same way, and the next BusRelations answer reports it missing.
    void Unplug(int port = 1);
    // The device comes back into its port. While its PDO has not been
    // reported missing yet, the same PDO serves it again; otherwise the device
    // is enumerated afresh on a new PDO.
    void Replug(int port = 1);
    bool Plugged(int port = 1) const;
    // The device signals remote wakeup on `port` (as BusDevice::SignalWake).
    bool SignalWake(int port = 1);

    // The current PDO of a port (nullptr: none, or deleted).
    PDEVICE_OBJECT Pdo(int port = 1) const;
    PdoState State(int port = 1) const;
    // Capabilities answered from now on.
    void SetCapabilities(int port, const PdoCapabilities& caps);
    PdoCapabilities Capabilities(int port = 1) const;
    // The wait-wake IRP the PDO holds, or nullptr.
    PIRP PendingWaitWake(int port = 1) const;
    // The handles the bus hands out.
    PVOID DeviceHandle(int port = 1) const;
    USBD_PIPE_HANDLE DefaultPipe(int port = 1) const;
    // Configuration selected through URBs (0: none).
    uint8_t SelectedConfiguration(int port = 1) const;

    // ---- behaviour ----
    void SetCompletion(Completion mode);
    // IRQL at which requests completed on a bus thread (pending URBs, a
    // wake-signalled wait-wake) are completed: PASSIVE_LEVEL (default) or
    // DISPATCH_LEVEL, which Windows is free to use, so completion routines
    // that do PASSIVE-only work are caught.
    void SetCompletionIrql(KIRQL irql);
    void SetTiming(const BusTiming& timing);
    BusTiming Timing() const;

    void AddFault(const FaultSpec& fault);
    void ClearFaults();
    // The PDOs fail PnP or power IRPs (major IRP_MJ_PNP or IRP_MJ_POWER) with
    // this minor code with `status`: nth 0 every one, N only the Nth counted
    // from this call. port 0: any port.
    void FailIrp(UCHAR major, UCHAR minor, NTSTATUS status, uint64_t nth = 0, int port = 0);
    void ClearIrpFailures();
    // PnP or power IRPs with this minor code the PDOs have received (failed
    // ones included). port 0: every port.
    uint64_t IrpCount(UCHAR major, UCHAR minor, int port = 0) const;

    // Called for each URB (as logged so far) outside the bus's lock: with completed false once
    // it has its sequence number and before the bus looks at the device
    // (whether it is plugged in, its faults), and with completed true right
    // after the bus has completed it. An observer may Unplug a port, so a
    // sweep can pull the device out just before or just after the n-th URB.
    // Called on whichever thread submits or completes the URB.
    using UrbObserver = std::function<void(const Transfer& transfer, bool completed)>;
    void SetUrbObserver(UrbObserver observer);

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

    // Dispatch entry points (public for the driver object's table).
    static NTSTATUS NTAPI DispatchInternalIoctl(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS NTAPI DispatchOther(PDEVICE_OBJECT device, PIRP irp);

private:
    struct Child;    // one PDO and the device it stands for
    struct Request;  // what Submit learned about one URB
    struct Extension {
        Bus* bus;
        Child* child;  // nullptr for the hub
    };
    static Extension* Ext(PDEVICE_OBJECT device);

    Child* ChildOf(int port) const;  // current child of a port (mu_ held), or nullptr
    Child* NewChild(int port, std::shared_ptr<BusDevice> device, const PortOptions& options);
    void InvalidateRelations();
    bool Wake(Child* child);

    // PnP and power (UsbPdoPnp.cpp, UsbPdoPower.cpp).
    NTSTATUS HubPnp(PIRP irp);
    NTSTATUS PdoPnp(Child* child, PIRP irp);
    NTSTATUS PdoPower(Child* child, PIRP irp);
    NTSTATUS QueryId(Child* child, PIO_STACK_LOCATION sp, PIRP irp);
    NTSTATUS QueryCapabilities(Child* child, PDEVICE_CAPABILITIES caps, NTSTATUS status);
    void ReapDeleted();
    NTSTATUS WaitWake(Child* child, PIRP irp);
    void FinishWaitWake(Child* child, NTSTATUS status);
    static void NTAPI CancelWaitWake(PDEVICE_OBJECT device, PIRP irp);
    std::optional<NTSTATUS> InjectedFailure(const Child* child, UCHAR major, UCHAR minor);
    void CompleteAt(KIRQL irql, PIRP irp);

    // URBs (UsbBus.cpp).
    NTSTATUS Submit(Child* child, PIRP irp, PURB urb);
    std::optional<FaultSpec> MatchFault(uint16_t function, int vendorRequest, int port);
    NTSTATUS Execute(PIRP irp, const Request& r, bool onWorker);
    NTSTATUS Finish(PIRP irp, uint64_t seq, USBD_STATUS usbd, NTSTATUS status, std::vector<uint8_t>* in,
                    bool onWorker = false);
    void RunControl(const Request& r, std::vector<uint8_t>* in, USBD_STATUS* usbd, NTSTATUS* status);
    void SelectConfiguration(const Request& r, USBD_STATUS* usbd, NTSTATUS* status);
    bool DeviceControl(Child* child, const SetupPacket& setup);
    PVOID NewHandle(Child* child);
    void FlushHeld(Child* child, USBD_STATUS usbd, NTSTATUS status);
    bool Hold(PIRP irp, uint64_t seq, Child* child);
    bool Unhold(PIRP irp, uint64_t seq);
    static void NTAPI CancelRoutine(PDEVICE_OBJECT device, PIRP irp);
    static void NTAPI IgnoreCancel(PDEVICE_OBJECT device, PIRP irp);
    void ReleaseStuck();
    void StartWorker(std::function<void()> fn);
    Transfer* Entry(uint64_t seq);  // log entry of a sequence number, or nullptr (mu_ held)

    BusOptions options_;
    int index_ = 0;  // which bus of the run (names the driver object)
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT hub_ = nullptr;

    mutable std::mutex mu_;
    std::vector<std::unique_ptr<Child>> children_;  // every PDO ever made; kept until ~Bus
    int nextPort_ = 1;
    Completion completion_ = Completion::Immediate;
    bool completionFixed_ = false;  // SetCompletion called: a seeded schedule leaves the mode alone
    KIRQL completionIrql_ = PASSIVE_LEVEL;
    BusTiming timing_;
    struct ArmedFault {
        FaultSpec spec;
        uint32_t seen = 0;
    };
    std::vector<ArmedFault> faults_;
    struct IrpFailure {
        UCHAR major, minor;
        NTSTATUS status;
        uint64_t nth;
        int port;
        uint64_t seen = 0;
    };
    std::vector<IrpFailure> irpFailures_;
    struct IrpSeen {
        UCHAR major, minor;
        int port;
        uint64_t count;
    };
    std::vector<IrpSeen> irpSeen_;
    UrbObserver urbObserver_;
    std::vector<Transfer> log_;
    uint64_t nextSeq_ = 1;
    uint64_t firstSeq_ = 1;  // sequence number of log_[0]
    // IRPs waiting for their worker or for cancellation, with their sequence
    // numbers and PDOs: a worker looks its IRP up by IRP and sequence number,
    // because a completed IRP's address may come back for a new IRP while the
    // worker still sleeps.
    struct Held {
        PIRP irp;
        uint64_t seq;
        Child* child;
    };
    std::vector<Held> held_;
    // IRPs held by a Stuck fault. They are never completed; see ReleaseStuck.
    std::vector<Held> stuck_;
    std::vector<hosted::Thread> workers_;
    UsbPcapWriter pcap_;
};

}  // namespace hosted::usb
