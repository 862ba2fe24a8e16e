// The driver loaded through the hosted loader above a scripted bus device:
// the physical device object answers plug-and-play and power requests as the
// test sets it up (capabilities, failures, wait-wake held until the device
// signals wake or the request is cancelled, completion at PASSIVE_LEVEL or
// DISPATCH_LEVEL), and passes USB requests on to a simulated camera on the
// hosted USB bus, so the device object starts for real.
#pragma once

#include <hosted/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <ks.h>

#include "Log.h"
#include "SimOnBus.h"
#include "UsbBus.h"
#include "driver/FdoData.h"
#include "usbdevice/UsbDevice.h"

namespace orvex::test {

// A pointer as the driver prints it: %x of its low 32 bits.
std::string Hex32(const void* p);

// Number of DbgPrint calls that printed exactly `text`.
size_t Prints(const std::string& text);

// Firmware files that make the camera's ISP firmware out of date (a run of
// ISP pages, the restart waits), in a folder of the test's own.
class FirmwareFiles {
public:
    FirmwareFiles();
    ~FirmwareFiles();
    // Maps the folder as drive C: and names the files under the device's
    // driver key (C:\fw\...).
    void Install(PDEVICE_OBJECT pdo) const;

private:
    std::filesystem::path dir_;
};

class FrameBus {
public:
    FrameBus();
    ~FrameBus();
    FrameBus(const FrameBus&) = delete;
    FrameBus& operator=(const FrameBus&) = delete;

    PDEVICE_OBJECT Pdo() const { return pdo_; }
    hosted::usb::Bus& Usb() { return *usb_; }

    // What the bus answers to IRP_MN_QUERY_CAPABILITIES.
    DEVICE_CAPABILITIES caps{};
    // Plug-and-play minor codes the bus fails, with the status.
    std::map<UCHAR, NTSTATUS> failPnp;
    // Requests complete with the IRQL raised to DISPATCH_LEVEL.
    bool completeAtDispatch = false;
    // The wait-wake cancel routine completes the IRP (otherwise it only
    // notes the cancel and the IRP stays until SignalWake).
    bool cancelCompletes = true;
    // Each request seen is also printed to the trace ("bus: SET D 4\n"), so
    // a test can see it in order with the driver's lines.
    bool traceNotes = false;
    // Called with the minor code of each plug-and-play request as it arrives.
    std::function<void(UCHAR)> onPnp;

    // Completes the held wait-wake request with success (the device's wake
    // signal); false if none is held.
    bool SignalWake(NTSTATUS status = STATUS_SUCCESS);
    bool WaitWakeHeld();
    // Every request seen, as "PNP 0x00", "SET D 4", "SET S 4", "QUERY S 4", "WAIT_WAKE 4".
    std::vector<std::string> Seen();
    void ClearSeen();

private:
    static NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS NTAPI DispatchInternal(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS NTAPI DispatchOther(PDEVICE_OBJECT device, PIRP irp);
    static void NTAPI CancelWaitWake(PDEVICE_OBJECT device, PIRP irp);
    void CancelHeld(PIRP irp);  // the held wait-wake request is cancelled
    static FrameBus* From(PDEVICE_OBJECT device);
    void Complete(PIRP irp, NTSTATUS status);
    void Note(std::string what);

    std::shared_ptr<orvex::sim::Camera> camera_;
    std::unique_ptr<hosted::usb::Bus> usb_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT pdo_ = nullptr;
    std::mutex mu_;
    PIRP waitWake_ = nullptr;
    std::vector<std::string> seen_;
};

// A test with the driver loaded. Add/Start/Remove go through the driver's own
// routines; the end of each test unloads the driver, and the loader's leak
// and verifier checks fail the test on anything left behind.
class FrameTest : public hosted::PlatformTest {
protected:
    FrameTest() = default;
    // A platform booted with these options (a schedule seed, say).
    explicit FrameTest(hosted::Options options) : hosted::PlatformTest(std::move(options)) {}
    void SetUp() override;
    void TearDown() override;

    // DriverAddDevice for the bus's PDO; fdo/data/ks are set on success.
    NTSTATUS Add();
    NTSTATUS Pnp(UCHAR minor, IO_STATUS_BLOCK* io = nullptr);
    NTSTATUS Start() { return Pnp(IRP_MN_START_DEVICE); }
    NTSTATUS Remove();
    NTSTATUS SurpriseRemove() { return Pnp(IRP_MN_SURPRISE_REMOVAL); }
    // Sends a power IRP to the top of the stack and waits for it.
    NTSTATUS Power(UCHAR minor, POWER_STATE_TYPE type, ULONG state, IO_STATUS_BLOCK* io = nullptr);
    NTSTATUS Send(UCHAR major, UCHAR minor, IO_STATUS_BLOCK* io = nullptr);
    // Lets the update thread run to its end.
    void Settle();
    CDevice* Object() const { return ks ? static_cast<CDevice*>(ks->Context) : nullptr; }
    std::string Text() const { return hosted::Trace::Text(); }

    std::unique_ptr<hosted::DriverHost> host;
    std::unique_ptr<FrameBus> bus;
    PDEVICE_OBJECT fdo = nullptr;
    FdoData* data = nullptr;
    PKSDEVICE ks = nullptr;
};

}  // namespace orvex::test
