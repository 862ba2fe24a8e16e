#include "FrameRig.h"

#include <cstdio>
#include <fstream>

#include <unistd.h>
#include <wdmguid.h>

#include "Firmware.h"
#include "driver/Driver.h"
#include "../support/CompleteAt.h"

namespace orvex::test {

std::string Hex32(const void* p)
{
    char text[16];
    std::snprintf(text, sizeof text, "%x", unsigned(uintptr_t(p)));
    return text;
}

size_t Prints(const std::string& text)
{
    size_t count = 0;
    for (const auto& record : hosted::Trace::Records()) count += record.text == text;
    return count;
}

FirmwareFiles::FirmwareFiles()
{
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "-" + info->name();
    for (char& c : name)
        if (c == '/') c = '-';
    dir_ = std::filesystem::temp_directory_path() / ("orvex-frame-" + std::to_string(::getpid()) + "-" + name);
    std::filesystem::create_directories(dir_ / "fw");
    auto write = [&](const std::string& file, const firmware::Bytes& bytes) {
        std::ofstream(dir_ / "fw" / file, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    };
    const std::string version = firmware::VersionFileText(10000, 0x0C2238, 5);
    write("version.txt", firmware::Bytes(version.begin(), version.end()));
    write("isp.bin", firmware::MakeIspImage({.size = 40000, .text = "12.34.56"}));
}

FirmwareFiles::~FirmwareFiles() { std::filesystem::remove_all(dir_); }

void FirmwareFiles::Install(PDEVICE_OBJECT pdo) const
{
    hosted::Files::MapDrive('C', dir_.string());
    const std::string key = hosted::Io::DriverKeyPath(pdo);
    hosted::Registry::SetString(key, "FX3", u"C:\\fw\\fx3.img");
    hosted::Registry::SetString(key, "ISP", u"C:\\fw\\isp.bin");
    hosted::Registry::SetString(key, "AUD", u"C:\\fw\\aud.bin");
    hosted::Registry::SetString(key, "VERSION", u"C:\\fw\\version.txt");
}

FrameBus::FrameBus()
{
    orvex::sim::CameraConfig config;
    config.requireUpdateMode = false;
    camera_ = orvex::sim::MakeCamera(config);
    usb_ = std::make_unique<hosted::usb::Bus>(camera_);

    driver_ = hosted::Io::CreateDriver("\\Driver\\framebus");
    driver_->MajorFunction[IRP_MJ_PNP] = &FrameBus::DispatchPnp;
    driver_->MajorFunction[IRP_MJ_POWER] = &FrameBus::DispatchPower;
    driver_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = &FrameBus::DispatchInternal;
    driver_->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = &FrameBus::DispatchOther;
    pdo_ = hosted::Io::CreatePdo(driver_, sizeof(FrameBus*));
    *static_cast<FrameBus**>(pdo_->DeviceExtension) = this;
    // USB requests are passed on to the camera's bus device below.
    pdo_->StackSize = CCHAR(usb_->Pdo()->StackSize + 1);
    hosted::Io::SetDevicePropertyGuid(pdo_, DevicePropertyBusTypeGuid, GUID_BUS_TYPE_USB);
    hosted::Io::SetDeviceProperty(pdo_, DevicePropertyBusNumber, {1, 0, 0, 0});

    // A USB camera: D0 when working, D3 otherwise, no wake.
    caps.Size = sizeof(DEVICE_CAPABILITIES);
    caps.Version = 1;
    caps.Removable = 1;
    caps.Address = 2;
    caps.UINumber = 0xFFFFFFFF;
    caps.DeviceState[PowerSystemWorking] = PowerDeviceD0;
    for (int s = PowerSystemSleeping1; s < PowerSystemMaximum; ++s) caps.DeviceState[s] = PowerDeviceD3;
    caps.SystemWake = PowerSystemUnspecified;
    caps.DeviceWake = PowerDeviceUnspecified;
}

FrameBus::~FrameBus()
{
    SignalWake(STATUS_CANCELLED);
    IoDeleteDevice(pdo_);
    hosted::Io::DeleteDriver(driver_);
    usb_.reset();
}

FrameBus* FrameBus::From(PDEVICE_OBJECT device) { return *static_cast<FrameBus**>(device->DeviceExtension); }

void FrameBus::Note(std::string what)
{
    if (traceNotes) DbgPrint("bus: %s\n", what.c_str());
    std::lock_guard lock(mu_);
    seen_.push_back(std::move(what));
}

std::vector<std::string> FrameBus::Seen()
{
    std::lock_guard lock(mu_);
    return seen_;
}

void FrameBus::ClearSeen()
{
    std::lock_guard lock(mu_);
    seen_.clear();
}

void FrameBus::Complete(PIRP irp, NTSTATUS status) { CompleteAt(irp, status, completeAtDispatch); }

NTSTATUS NTAPI FrameBus::DispatchPnp(PDEVICE_OBJECT device, PIRP irp)
{
    FrameBus* bus = From(device);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    char text[16];
    std::snprintf(text, sizeof text, "PNP 0x%02x", sp->MinorFunction);
    bus->Note(text);
    if (bus->onPnp) bus->onPnp(sp->MinorFunction);
    NTSTATUS status = irp->IoStatus.Status;
    auto failure = bus->failPnp.find(sp->MinorFunction);
    if (failure != bus->failPnp.end()) {
        status = failure->second;
    } else {
        switch (sp->MinorFunction) {
        case IRP_MN_QUERY_CAPABILITIES:
        {
            // What a bus driver knows of the device; the rest stays as the
            // drivers above set it.
            PDEVICE_CAPABILITIES caps = sp->Parameters.DeviceCapabilities.Capabilities;
            caps->Removable = bus->caps.Removable;
            caps->Address = bus->caps.Address;
            caps->UINumber = bus->caps.UINumber;
            for (int s = 0; s < PowerSystemMaximum; ++s) caps->DeviceState[s] = bus->caps.DeviceState[s];
            caps->SystemWake = bus->caps.SystemWake;
            caps->DeviceWake = bus->caps.DeviceWake;
            caps->WakeFromD3 = bus->caps.WakeFromD3;
        }
            status = STATUS_SUCCESS;
            break;
        case IRP_MN_START_DEVICE:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
        case IRP_MN_REMOVE_DEVICE:
            status = STATUS_SUCCESS;
            break;
        default:
            break;  // not handled: the status set above stays
        }
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI FrameBus::DispatchPower(PDEVICE_OBJECT device, PIRP irp)
{
    FrameBus* bus = From(device);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    char text[32];
    const bool isDevice = sp->Parameters.Power.Type == DevicePowerState;
    switch (sp->MinorFunction) {
    case IRP_MN_WAIT_WAKE: {
        std::snprintf(text, sizeof text, "WAIT_WAKE %d", int(sp->Parameters.WaitWake.PowerState));
        bus->Note(text);
        // The lock is never held across a kernel call: another hosted thread
        // may run there and want it.
        bool busy;
        {
            std::lock_guard lock(bus->mu_);
            busy = bus->waitWake_ != nullptr;
            if (!busy) bus->waitWake_ = irp;
        }
        if (busy) {
            PoStartNextPowerIrp(irp);
            irp->IoStatus.Status = STATUS_DEVICE_BUSY;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_DEVICE_BUSY;
        }
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, &FrameBus::CancelWaitWake);
        // Cancelled before the routine was in place: IoCancelIrp found none
        // to call, so the cancel is carried out here.
        if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) bus->CancelHeld(irp);
        return STATUS_PENDING;
    }
    case IRP_MN_SET_POWER:
    case IRP_MN_QUERY_POWER:
        std::snprintf(text, sizeof text, "%s %c %d", sp->MinorFunction == IRP_MN_SET_POWER ? "SET" : "QUERY",
                      isDevice ? 'D' : 'S', int(sp->Parameters.Power.State.SystemState));
        bus->Note(text);
        PoStartNextPowerIrp(irp);
        bus->Complete(irp, STATUS_SUCCESS);
        return STATUS_SUCCESS;
    default: {
        PoStartNextPowerIrp(irp);
        NTSTATUS status = irp->IoStatus.Status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    }
}

void NTAPI FrameBus::CancelWaitWake(PDEVICE_OBJECT device, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    From(device)->CancelHeld(irp);
}

void FrameBus::CancelHeld(PIRP irp)
{
    Note("CANCEL WAIT_WAKE");
    if (!cancelCompletes) return;
    {
        std::lock_guard lock(mu_);
        if (waitWake_ != irp) return;
        waitWake_ = nullptr;
    }
    PoStartNextPowerIrp(irp);
    Complete(irp, STATUS_CANCELLED);
}

bool FrameBus::SignalWake(NTSTATUS status)
{
    PIRP irp;
    {
        std::lock_guard lock(mu_);
        irp = waitWake_;
        waitWake_ = nullptr;
    }
    if (!irp) return false;
    IoSetCancelRoutine(irp, nullptr);
    PoStartNextPowerIrp(irp);
    Complete(irp, status);
    return true;
}

bool FrameBus::WaitWakeHeld()
{
    std::lock_guard lock(mu_);
    return waitWake_ != nullptr;
}

NTSTATUS NTAPI FrameBus::DispatchInternal(PDEVICE_OBJECT device, PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(From(device)->usb_->Pdo(), irp);
}

NTSTATUS NTAPI FrameBus::DispatchOther(PDEVICE_OBJECT, PIRP irp)
{
    const NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// ---------------------------------------------------------------------------

void FrameTest::SetUp()
{
    LogMask = 0xFFFFFFFF;
    host = std::make_unique<hosted::DriverHost>(&DriverEntry);
    ASSERT_EQ(host->Load(), STATUS_SUCCESS);
    bus = std::make_unique<FrameBus>();
}

void FrameTest::TearDown()
{
    if (fdo) Remove();
    Settle();
    bus.reset();
    EXPECT_TRUE(host->Unload().empty());
    LogMask = 0xFFFFFFFF;
}

NTSTATUS FrameTest::Add()
{
    NTSTATUS status = host->AddDevice(bus->Pdo());
    if (NT_SUCCESS(status)) {
        fdo = bus->Pdo()->AttachedDevice;
        data = FdoDataOf(fdo);
        ks = data->KsDevice;
    }
    return status;
}

NTSTATUS FrameTest::Pnp(UCHAR minor, IO_STATUS_BLOCK* io)
{
    return hosted::Io::SendPnp(fdo, minor, [](PIO_STACK_LOCATION) {}, io);
}

NTSTATUS FrameTest::Remove()
{
    NTSTATUS status = Pnp(IRP_MN_REMOVE_DEVICE);
    fdo = nullptr;
    data = nullptr;
    ks = nullptr;
    return status;
}

NTSTATUS FrameTest::Power(UCHAR minor, POWER_STATE_TYPE type, ULONG state, IO_STATUS_BLOCK* io)
{
    PIRP irp = hosted::Io::BuildIrp(fdo, IRP_MJ_POWER, minor);
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->Parameters.Power.Type = type;
    sp->Parameters.Power.State.SystemState = SYSTEM_POWER_STATE(state);
    return hosted::Io::SendAndWait(fdo, irp, io);
}

NTSTATUS FrameTest::Send(UCHAR major, UCHAR minor, IO_STATUS_BLOCK* io)
{
    PIRP irp = hosted::Io::BuildIrp(fdo, major, minor);
    return hosted::Io::SendAndWait(fdo, irp, io);
}

void FrameTest::Settle()
{
    // The update thread ends by itself; virtual time runs while this waits.
    hosted::Sleep(hosted::Seconds(600));
}

}  // namespace orvex::test
