#include "UsbBus.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include <hosted/clock.h>
#include <hosted/io.h>
#include <hosted/pnp.h>
#include <hosted/verifier.h>

#include <wdmguid.h>

#include "UsbChild.h"
#include "UsbdInternal.h"

namespace hosted::usb {


namespace {

// URB functions that move a data stage through TransferBuffer/TransferBufferLength.
bool HasTransferBuffer(uint16_t f) {
    switch (f) {
        case URB_FUNCTION_CONTROL_TRANSFER:
        case URB_FUNCTION_CONTROL_TRANSFER_EX:
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT:
        case URB_FUNCTION_VENDOR_DEVICE:
        case URB_FUNCTION_VENDOR_INTERFACE:
        case URB_FUNCTION_VENDOR_ENDPOINT:
        case URB_FUNCTION_VENDOR_OTHER:
        case URB_FUNCTION_CLASS_DEVICE:
        case URB_FUNCTION_CLASS_INTERFACE:
        case URB_FUNCTION_CLASS_ENDPOINT:
        case URB_FUNCTION_CLASS_OTHER:
            return true;
        default:
            return false;
    }
}

// Vendor/class/control URBs report the default pipe in PipeHandle.
bool ReportsPipe(uint16_t f) {
    return HasTransferBuffer(f) && f != URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE &&
           f != URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE && f != URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT;
}

// bmRequestType type and recipient bits of the vendor/class URB functions.
bool VendorClassBits(uint16_t f, uint8_t* bits) {
    switch (f) {
        case URB_FUNCTION_VENDOR_DEVICE: *bits = 0x40; return true;
        case URB_FUNCTION_VENDOR_INTERFACE: *bits = 0x41; return true;
        case URB_FUNCTION_VENDOR_ENDPOINT: *bits = 0x42; return true;
        case URB_FUNCTION_VENDOR_OTHER: *bits = 0x43; return true;
        case URB_FUNCTION_CLASS_DEVICE: *bits = 0x20; return true;
        case URB_FUNCTION_CLASS_INTERFACE: *bits = 0x21; return true;
        case URB_FUNCTION_CLASS_ENDPOINT: *bits = 0x22; return true;
        case URB_FUNCTION_CLASS_OTHER: *bits = 0x23; return true;
        default: return false;
    }
}

constexpr ULONG kMaxTransferSizeLimit = 4 * 1024 * 1024;
std::atomic<int> g_busCount{0};
std::atomic<int> g_pdoCount{0};  // numbers default instance paths across the run

}  // namespace

// ---------------------------------------------------------------------------

const char* FaultName(FaultKind kind) {
    switch (kind) {
        case FaultKind::Stall: return "stall";
        case FaultKind::Timeout: return "timeout";
        case FaultKind::DeviceGone: return "device-gone";
        case FaultKind::NullPipeHandle: return "null-pipe-handle";
        case FaultKind::ShortIn: return "short-in";
        case FaultKind::Stuck: return "stuck";
    }
    return "?";
}

FaultSpec FaultSpec::Vendor(uint8_t bRequest, FaultKind kind, uint32_t nth) {
    FaultSpec f;
    f.kind = kind;
    f.vendorRequest = bRequest;
    f.nth = nth;
    return f;
}

FaultSpec FaultSpec::Function(uint16_t function, FaultKind kind, uint32_t nth) {
    FaultSpec f;
    f.kind = kind;
    f.urbFunction = function;
    f.nth = nth;
    return f;
}

// ---------------------------------------------------------------------------

struct Bus::Request {
    Child* child = nullptr;
    PURB urb = nullptr;
    uint64_t seq = 0;
    uint16_t function = 0;
    bool control = false;
    SetupPacket setup;
    PVOID buffer = nullptr;
    bool shortOk = false;
    std::optional<FaultSpec> fault;
    int64_t cost = 0;
};

Bus::Bus(BusOptions options) : options_(std::move(options)) {
    index_ = g_busCount.fetch_add(1);
    driver_ = Io::CreateDriver("\\Driver\\usbhub" + (index_ ? std::to_string(index_) : std::string()));
    driver_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = &Bus::DispatchInternalIoctl;
    driver_->MajorFunction[IRP_MJ_PNP] = &Bus::DispatchPnp;
    driver_->MajorFunction[IRP_MJ_POWER] = &Bus::DispatchPower;
    driver_->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = &Bus::DispatchOther;
    // The hub: the bus driver's own device, parent of every PDO.
    const NTSTATUS status =
        IoCreateDevice(driver_, sizeof(Extension), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &hub_);
    if (!NT_SUCCESS(status)) {
        hub_ = nullptr;
        hosted::Verifier::Report("usb bus: the hub device could not be created");
        return;
    }
    *static_cast<Extension*>(hub_->DeviceExtension) = {this, nullptr};
    hub_->Flags &= ~DO_DEVICE_INITIALIZING;
    if (options_.rootBus) {
        char instance[32];
        std::snprintf(instance, sizeof instance, "ROOT\\USB\\%04d", index_);
        Pnp::AddRootBus(hub_, instance);
    }
}

Bus::Bus(std::shared_ptr<BusDevice> device, PortOptions port, BusOptions options) : Bus(std::move(options)) {
    Plug(std::move(device), std::move(port));
}

Bus::~Bus() {
    // Registered with the PnP manager: it removes the stacks above the PDOs
    // (query-remove, remove) and forgets the hub before the hub goes.
    if (options_.rootBus && hub_) Pnp::RemoveRootBus(hub_);
    std::vector<int> ports;
    {
        std::lock_guard lock(mu_);
        for (auto& c : children_)
            if (c->plugged) ports.push_back(c->port);
    }
    for (int p : ports) Unplug(p);
    std::vector<hosted::Thread> workers;
    {
        std::lock_guard lock(mu_);
        workers.swap(workers_);
    }
    for (auto& w : workers) w.Join();
    // A wait-wake still held has nobody left to signal it.
    for (auto& c : children_)
        if (c->waitWake) FinishWaitWake(c.get(), STATUS_NO_SUCH_DEVICE);
    ReleaseStuck();
    pcap_.Close();
    for (auto& c : children_) {
        c->device->LinkToBus(nullptr);
        c->device->DetachFromPort();
        if (!c->pdoGone) IoDeleteDevice(c->pdo);
    }
    if (hub_) IoDeleteDevice(hub_);
    Io::DeleteDriver(driver_);
}

Bus::Extension* Bus::Ext(PDEVICE_OBJECT device) { return static_cast<Extension*>(device->DeviceExtension); }

Bus::Child* Bus::ChildOf(int port) const {
    // The newest PDO of the port is its current one.
    for (auto it = children_.rbegin(); it != children_.rend(); ++it)
        if ((*it)->port == port) return it->get();
    return nullptr;
}

Bus::Child* Bus::NewChild(int port, std::shared_ptr<BusDevice> device, const PortOptions& options) {
    auto c = std::make_unique<Child>();
    c->port = port;
    c->device = std::move(device);
    c->address = options.deviceAddress ? options.deviceAddress : static_cast<uint16_t>(port);
    c->handles.resize(2);  // [0] device handle, [1] default pipe

    // Enumeration: what the hub learns from the descriptors.
    const auto dd = c->device->DeviceDescriptor();
    if (dd.size() >= 18) {
        c->vendorId = static_cast<uint16_t>(dd[8] | dd[9] << 8);
        c->productId = static_cast<uint16_t>(dd[10] | dd[11] << 8);
        c->bcdDevice = static_cast<uint16_t>(dd[12] | dd[13] << 8);
        c->deviceClass = dd[4];
        c->deviceSubClass = dd[5];
        c->deviceProtocol = dd[6];
        if (const uint8_t iSerial = dd[16]) {
            uint8_t sd[256] = {};
            const auto r = c->device->Control({0x80, 0x06, static_cast<uint16_t>(0x0300 | iSerial), 0x0409, 255}, sd);
            for (uint32_t i = 2; !r.stalled && i + 1 < std::min<uint32_t>(r.length, sd[0]); i += 2)
                c->serial += static_cast<char>(sd[i]);  // serial numbers are plain ASCII
        }
    }
    const auto cd = c->device->ConfigurationDescriptor();
    bool remoteWakeup = false;
    if (cd.size() >= 9) {
        c->interfaceCount = cd[4];
        remoteWakeup = (cd[7] & 0x20) != 0;
        for (size_t i = 0; i + 9 <= cd.size() && cd[i] >= 2; i += cd[i])
            if (cd[i + 1] == USB_INTERFACE_DESCRIPTOR_TYPE) {
                c->firstInterfaceClass = cd[i + 5];
                c->firstInterfaceSubClass = cd[i + 6];
                c->firstInterfaceProtocol = cd[i + 7];
                break;
            }
    }
    c->caps = options.capabilities.value_or(PdoCapabilities::UsbDefault(remoteWakeup));

    const int instance = g_pdoCount.fetch_add(1) + 1;
    c->instancePath = options.instancePath;
    if (c->instancePath.empty()) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "USB\\VID_%04X&PID_%04X\\%d", c->vendorId, c->productId, instance);
        c->instancePath = buf;
    }
    c->pdo = Io::CreatePdo(driver_, sizeof(Extension), c->instancePath);
    c->driverKey = Io::DriverKeyPath(c->pdo);
    c->deviceKey = Io::DeviceKeyPath(c->pdo);
    *static_cast<Extension*>(c->pdo->DeviceExtension) = {this, c.get()};
    Io::SetDevicePropertyGuid(c->pdo, DevicePropertyBusTypeGuid, GUID_BUS_TYPE_USB);
    const ULONG busNumber = options_.busNumber;
    const ULONG address = static_cast<ULONG>(port);
    Io::SetDeviceProperty(c->pdo, DevicePropertyBusNumber,
                          {reinterpret_cast<const uint8_t*>(&busNumber),
                           reinterpret_cast<const uint8_t*>(&busNumber) + sizeof busNumber});
    Io::SetDeviceProperty(c->pdo, DevicePropertyAddress,
                          {reinterpret_cast<const uint8_t*>(&address),
                           reinterpret_cast<const uint8_t*>(&address) + sizeof address});

    Child* raw = c.get();
    const int portNumber = port;
    raw->device->LinkToBus([this, portNumber](bool connect) {
        if (connect)
            Replug(portNumber);
        else
            Unplug(portNumber);
    });
    raw->device->AttachToPort([this, portNumber] { return SignalWake(portNumber); });
    std::lock_guard lock(mu_);
    children_.push_back(std::move(c));
    return raw;
}

int Bus::Plug(std::shared_ptr<BusDevice> device, PortOptions options) {
    int port;
    {
        std::lock_guard lock(mu_);
        port = nextPort_++;
    }
    ReapDeleted();
    NewChild(port, std::move(device), options);
    InvalidateRelations();
    return port;
}

void Bus::Unplug(int port) {
    ReapDeleted();
    Child* child;
    {
        std::lock_guard lock(mu_);
        child = ChildOf(port);
        if (!child || !child->plugged) return;
        child->plugged = false;
    }
    child->device->DetachFromPort();
    FlushHeld(child, USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED);
    InvalidateRelations();
}

void Bus::Replug(int port) {
    ReapDeleted();
    Child* child;
    {
        std::lock_guard lock(mu_);
        child = ChildOf(port);
        if (!child || child->plugged) return;
        if (!child->reportedMissing && child->state != PdoState::Deleted) {
            child->plugged = true;
        } else {
            child = nullptr;
        }
    }
    if (child) {
        child->device->AttachToPort([this, port] { return SignalWake(port); });
        return;
    }
    // The old PDO is gone for the PnP manager: the device is new to it.
    // It is still the same device instance, in the same port: same instance
    // path and registry keys on the new PDO.
    std::shared_ptr<BusDevice> device;
    PortOptions options;
    std::string driverKey, deviceKey;
    {
        std::lock_guard lock(mu_);
        Child* old = ChildOf(port);
        device = old->device;
        options.deviceAddress = old->address;
        options.capabilities = old->caps;
        options.instancePath = old->instancePath;
        driverKey = old->driverKey;
        deviceKey = old->deviceKey;
    }
    Child* fresh = NewChild(port, std::move(device), options);
    Io::SetRegistryKeyPaths(fresh->pdo, driverKey, deviceKey);
    {
        std::lock_guard lock(mu_);
        fresh->driverKey = driverKey;
        fresh->deviceKey = deviceKey;
    }
    InvalidateRelations();
}

bool Bus::Plugged(int port) const {
    std::lock_guard lock(mu_);
    const Child* c = ChildOf(port);
    return c && c->plugged;
}

// Tells the PnP manager the set of children changed; it then asks the hub
// for its bus relations. (A hub not registered as a root bus is not known to
// the manager, which ignores the call.)
void Bus::InvalidateRelations() {
    if (hub_) IoInvalidateDeviceRelations(hub_, BusRelations);
}

PDEVICE_OBJECT Bus::Pdo(int port) const {
    std::lock_guard lock(mu_);
    const Child* c = ChildOf(port);
    return c && c->state != PdoState::Deleted ? c->pdo : nullptr;
}

PdoState Bus::State(int port) const {
    std::lock_guard lock(mu_);
    const Child* c = ChildOf(port);
    return c ? c->state : PdoState::Deleted;
}

void Bus::SetCapabilities(int port, const PdoCapabilities& caps) {
    std::lock_guard lock(mu_);
    if (Child* c = ChildOf(port)) c->caps = caps;
}

PdoCapabilities Bus::Capabilities(int port) const {
    std::lock_guard lock(mu_);
    const Child* c = ChildOf(port);
    return c ? c->caps : PdoCapabilities{};
}

PIRP Bus::PendingWaitWake(int port) const {
    std::lock_guard lock(mu_);
    const Child* c = ChildOf(port);
    return c ? c->waitWake : nullptr;
}

PVOID Bus::DeviceHandle(int port) const {
    std::lock_guard lock(mu_);
    const Child* c = ChildOf(port);
    return c ? const_cast<uint64_t*>(&c->handles[0]) : nullptr;
}

USBD_PIPE_HANDLE Bus::DefaultPipe(int port) const {
    std::lock_guard lock(mu_);
    const Child* c = ChildOf(port);
    return c ? const_cast<uint64_t*>(&c->handles[1]) : nullptr;
}

PVOID Bus::NewHandle(Child* child) {
    std::lock_guard lock(mu_);
    child->handles.push_back(child->handles.size());
    return &child->handles.back();
}

uint8_t Bus::SelectedConfiguration(int port) const {
    std::lock_guard lock(mu_);
    const Child* c = ChildOf(port);
    return c ? c->configuration : 0;
}

void Bus::SetCompletion(Completion mode) {
    std::lock_guard lock(mu_);
    completion_ = mode;
    completionFixed_ = true;
}

void Bus::SetCompletionIrql(KIRQL irql) {
    std::lock_guard lock(mu_);
    completionIrql_ = irql >= DISPATCH_LEVEL ? DISPATCH_LEVEL : PASSIVE_LEVEL;
}

void Bus::SetTiming(const BusTiming& timing) {
    std::lock_guard lock(mu_);
    timing_ = timing;
}

BusTiming Bus::Timing() const {
    std::lock_guard lock(mu_);
    return timing_;
}

void Bus::AddFault(const FaultSpec& fault) {
    std::lock_guard lock(mu_);
    faults_.push_back({fault, 0});
}

void Bus::ClearFaults() {
    std::lock_guard lock(mu_);
    faults_.clear();
}

void Bus::FailIrp(UCHAR major, UCHAR minor, NTSTATUS status, uint64_t nth, int port) {
    std::lock_guard lock(mu_);
    irpFailures_.push_back({major, minor, status, nth, port});
}

void Bus::ClearIrpFailures() {
    std::lock_guard lock(mu_);
    irpFailures_.clear();
}

std::optional<NTSTATUS> Bus::InjectedFailure(const Child* child, UCHAR major, UCHAR minor) {
    std::lock_guard lock(mu_);
    auto seen = std::find_if(irpSeen_.begin(), irpSeen_.end(), [&](const IrpSeen& s) {
        return s.major == major && s.minor == minor && s.port == child->port;
    });
    if (seen == irpSeen_.end()) irpSeen_.push_back({major, minor, child->port, 1});
    else ++seen->count;
    for (auto& f : irpFailures_) {
        if (f.major != major || f.minor != minor || (f.port && f.port != child->port)) continue;
        ++f.seen;
        if (f.nth == 0 || f.nth == f.seen) return f.status;
    }
    return std::nullopt;
}

uint64_t Bus::IrpCount(UCHAR major, UCHAR minor, int port) const {
    std::lock_guard lock(mu_);
    uint64_t n = 0;
    for (const auto& s : irpSeen_)
        if (s.major == major && s.minor == minor && (port == 0 || s.port == port)) n += s.count;
    return n;
}

void Bus::SetUrbObserver(UrbObserver observer) {
    std::lock_guard lock(mu_);
    urbObserver_ = std::move(observer);
}

// Held URBs of one device (or of every device: nullptr) complete with the
// given status; stuck ones stay held.
void Bus::FlushHeld(Child* child, USBD_STATUS usbd, NTSTATUS status) {
    std::vector<Held> held;
    {
        std::lock_guard lock(mu_);
        auto keep = std::stable_partition(held_.begin(), held_.end(),
                                          [child](const Held& h) { return child && h.child != child; });
        held.assign(keep, held_.end());
        held_.erase(keep, held_.end());
    }
    for (const Held& h : held) {
        // Whoever clears the cancel routine owns the IRP.
        if (IoSetCancelRoutine(h.irp, nullptr) != nullptr) Finish(h.irp, h.seq, usbd, status, nullptr);
    }
}

void Bus::StartWorker(std::function<void()> fn) {
    auto worker = hosted::StartThread("usb-bus", std::move(fn));
    std::lock_guard lock(mu_);
    std::erase_if(workers_, [](const hosted::Thread& w) { return w.Finished(); });
    workers_.push_back(std::move(worker));
}

// Completes `irp` at `irql`; a bus thread raises to DISPATCH_LEVEL when the
// setting asks for it, as a hub completing from its DPC would.
void Bus::CompleteAt(KIRQL irql, PIRP irp) {
    KIRQL old = PASSIVE_LEVEL;
    const bool raise = irql == DISPATCH_LEVEL && KeGetCurrentIrql() < DISPATCH_LEVEL;
    if (raise) KeRaiseIrql(DISPATCH_LEVEL, &old);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    if (raise) KeLowerIrql(old);
}

bool Bus::StartCapture(const std::string& path, int64_t epoch) { return pcap_.Open(path, epoch); }
void Bus::StopCapture() { pcap_.Close(); }

std::vector<Transfer> Bus::Log() const {
    std::lock_guard lock(mu_);
    return log_;
}

void Bus::ClearLog() {
    std::lock_guard lock(mu_);
    log_.clear();
    firstSeq_ = nextSeq_;
}

size_t Bus::CountVendor(uint8_t bRequest) const {
    std::lock_guard lock(mu_);
    return static_cast<size_t>(std::count_if(log_.begin(), log_.end(), [&](const Transfer& t) {
        return t.control && (t.setup[0] & 0x60) == 0x40 && t.setup[1] == bRequest;
    }));
}

size_t Bus::Outstanding() const {
    std::lock_guard lock(mu_);
    return held_.size() + stuck_.size();
}

size_t Bus::StuckCount() const {
    std::lock_guard lock(mu_);
    return stuck_.size();
}

Transfer* Bus::Entry(uint64_t seq) {
    if (seq < firstSeq_ || seq - firstSeq_ >= log_.size()) return nullptr;
    return &log_[seq - firstSeq_];
}

std::optional<FaultSpec> Bus::MatchFault(uint16_t function, int vendorRequest, int port) {
    for (auto& f : faults_) {
        if (f.spec.port != 0 && f.spec.port != port) continue;
        const bool match = (f.spec.urbFunction >= 0 && f.spec.urbFunction == function) ||
                           (f.spec.vendorRequest >= 0 && f.spec.vendorRequest == vendorRequest);
        if (!match) continue;
        ++f.seen;
        if (f.spec.nth == 0 || f.spec.nth == f.seen) return f.spec;
    }
    return std::nullopt;
}

// ---------------------------------------------------------------------------
// Dispatch

NTSTATUS NTAPI Bus::DispatchInternalIoctl(PDEVICE_OBJECT device, PIRP irp) {
    Extension* ext = Ext(device);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = sp->Parameters.DeviceIoControl.IoControlCode;
    if (ext->child && code == IOCTL_INTERNAL_USB_SUBMIT_URB)
        return ext->bus->Submit(ext->child, irp, static_cast<PURB>(sp->Parameters.Others.Argument1));
    NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
    if (ext->child && code == IOCTL_INTERNAL_USB_GET_PORT_STATUS && sp->Parameters.Others.Argument1) {
        bool plugged;
        {
            std::lock_guard lock(ext->bus->mu_);
            plugged = ext->child->plugged;
        }
        *static_cast<PULONG>(sp->Parameters.Others.Argument1) = plugged ? (USBD_PORT_ENABLED | USBD_PORT_CONNECTED) : 0;
        status = STATUS_SUCCESS;
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI Bus::DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    Extension* ext = Ext(device);
    return ext->child ? ext->bus->PdoPnp(ext->child, irp) : ext->bus->HubPnp(irp);
}

NTSTATUS NTAPI Bus::DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
    Extension* ext = Ext(device);
    if (ext->child) return ext->bus->PdoPower(ext->child, irp);
    // The hub stands for the bottom of its own stack: its power IRPs succeed.
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (sp->MinorFunction == IRP_MN_SET_POWER || sp->MinorFunction == IRP_MN_QUERY_POWER)
        irp->IoStatus.Status = STATUS_SUCCESS;
    const NTSTATUS status = irp->IoStatus.Status;
    PoStartNextPowerIrp(irp);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI Bus::DispatchOther(PDEVICE_OBJECT, PIRP irp) {
    const NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// ---------------------------------------------------------------------------
// URB submission

NTSTATUS Bus::Submit(Child* child, PIRP irp, PURB urb) {
    if (!urb) {
        irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_INVALID_PARAMETER;
    }
    Request r;
    r.child = child;
    r.urb = urb;
    r.function = urb->UrbHeader.Function;
    urb->UrbHeader.UsbdDeviceHandle = &child->handles[0];

    // The setup packet this URB puts on the wire, if it is a control transfer.
    uint8_t bits = 0;
    ULONG length = 0;
    bool in = false;
    if (r.function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE ||
        r.function == URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE ||
        r.function == URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT) {
        const auto& d = urb->UrbControlDescriptorRequest;
        const uint8_t recipient = r.function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE      ? 0
                                  : r.function == URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE ? 1
                                                                                             : 2;
        length = d.TransferBufferLength;
        r.setup = {static_cast<uint8_t>(0x80 | recipient), USB_REQUEST_GET_DESCRIPTOR,
                   static_cast<uint16_t>(d.DescriptorType << 8 | d.Index), d.LanguageId,
                   static_cast<uint16_t>(length)};
        r.buffer = d.TransferBuffer;
        r.shortOk = true;  // descriptor reads may always come back short
        r.control = true;
        in = true;
    } else if (VendorClassBits(r.function, &bits)) {
        const auto& v = urb->UrbControlVendorClassRequest;
        in = (v.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
        length = v.TransferBufferLength;
        r.setup = {static_cast<uint8_t>((in ? 0x80 : 0x00) | bits), v.Request,
                   v.Value, v.Index, static_cast<uint16_t>(length)};
        r.buffer = v.TransferBuffer;
        r.shortOk = (v.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
        r.control = true;
    } else if (r.function == URB_FUNCTION_CONTROL_TRANSFER || r.function == URB_FUNCTION_CONTROL_TRANSFER_EX) {
        const auto& c = urb->UrbControlTransfer;
        in = (c.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
        length = c.TransferBufferLength;
        r.setup = SetupPacket::FromBytes(c.SetupPacket);
        r.setup.wLength = static_cast<uint16_t>(length);
        r.buffer = c.TransferBuffer;
        r.shortOk = (c.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
        r.control = true;
    } else if (r.function == URB_FUNCTION_SELECT_CONFIGURATION) {
        // Seen on the wire as SET_CONFIGURATION.
        const auto* cd = urb->UrbSelectConfiguration.ConfigurationDescriptor;
        r.setup = {0x00, USB_REQUEST_SET_CONFIGURATION, static_cast<uint16_t>(cd ? cd->bConfigurationValue : 0), 0,
                   0};
        r.control = true;
    }

    Transfer t;
    t.submitted = hosted::Clock::Now();
    t.port = child->port;
    t.pdo = child->pdo;
    t.address = child->address;
    t.function = r.function;
    t.control = r.control;
    if (r.control) {
        t.setup = r.setup.Bytes();
        if (!in && length > 0 && r.buffer && length <= 0xFFFF) {
            const auto* p = static_cast<const uint8_t*>(r.buffer);
            t.out.assign(p, p + length);
        }
    }

    bool plugged, removed;
    Completion mode;
    const auto deviceTiming = child->device->Timing();
    // A seeded schedule decides, request by request, whether the bus
    // completes inside IoCallDriver or later from its own thread (a driver
    // must handle both), unless a test fixed the mode.
    const bool seededLate = hosted::Scheduler::Choose(2) == 1;
    UrbObserver observer;
    const bool capture = r.control && pcap_.IsOpen();
    {
        std::lock_guard lock(mu_);
        r.seq = t.sequence = nextSeq_++;
        observer = urbObserver_;
        // The log takes the transfer (and its OUT data) over; a copy stays
        // here only for an observer or a capture to read outside the lock.
        if (observer || capture)
            log_.push_back(t);
        else
            log_.push_back(std::move(t));
    }
    if (observer) observer(t, false);
    {
        std::lock_guard lock(mu_);
        plugged = child->plugged;
        removed = !child->Reachable();
        mode = completion_;
        if (!completionFixed_ && hosted::Scheduler::Seeded())
            mode = seededLate ? Completion::Pending : Completion::Immediate;
        r.cost = deviceTiming.value_or(timing_).Cost(r.control ? 8u + length : 0u);
        if (!removed) r.fault = MatchFault(r.function, (r.control && (r.setup.bmRequestType & 0x60) == 0x40)
                                                          ? r.setup.bRequest
                                                          : -1,
                                          child->port);
        if (r.fault) Entry(r.seq)->fault = r.fault->kind;
    }
    irp->Tail.Overlay.DriverContext[0] = reinterpret_cast<PVOID>(r.seq);

    if (capture) {
        PcapPacket p;
        p.time = t.submitted;
        p.irpId = reinterpret_cast<uint64_t>(irp);
        p.function = r.function;
        p.bus = options_.busNumber;
        p.device = child->address;
        // One SETUP record: the setup bytes, then any OUT data; the endpoint
        // carries the direction of the data stage.
        p.endpoint = (t.setup[0] & 0x80) ? 0x80 : 0x00;
        p.stage = PcapStage::Setup;
        std::vector<uint8_t> setupAndOut(t.setup.begin(), t.setup.end());
        setupAndOut.insert(setupAndOut.end(), t.out.begin(), t.out.end());
        p.data = setupAndOut;
        pcap_.Write(p);
    }

    if (!plugged) return Finish(irp, r.seq, USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED, nullptr);
    // A PDO that has been removed (disabled, or surprise-removed) no longer
    // stands for a device the stack may talk to.
    if (removed) return Finish(irp, r.seq, USBD_STATUS_DEVICE_GONE, STATUS_NO_SUCH_DEVICE, nullptr);
    if (r.fault && r.fault->kind == FaultKind::DeviceGone)
        return Finish(irp, r.seq, USBD_STATUS_DEVICE_GONE, r.fault->goneStatus, nullptr);
    if (r.fault && r.fault->kind == FaultKind::Stuck) {
        IoMarkIrpPending(irp);
        {
            std::lock_guard lock(mu_);
            stuck_.push_back({irp, r.seq, child});
        }
        IoSetCancelRoutine(irp, &Bus::IgnoreCancel);
        return STATUS_PENDING;
    }
    if (r.fault && r.fault->kind == FaultKind::Timeout) {
        IoMarkIrpPending(irp);
        Hold(irp, r.seq, child);  // completes only through cancellation (or unplug)
        return STATUS_PENDING;
    }
    if (mode == Completion::Immediate) {
        hosted::Sleep(r.cost);
        return Execute(irp, r, false);
    }
    IoMarkIrpPending(irp);
    if (Hold(irp, r.seq, child)) {
        StartWorker([this, irp, r] {
            hosted::Sleep(r.cost);
            if (Unhold(irp, r.seq)) Execute(irp, r, true);
        });
    }
    return STATUS_PENDING;
}

NTSTATUS Bus::Execute(PIRP irp, const Request& r, bool onWorker) {
    USBD_STATUS usbd = USBD_STATUS_SUCCESS;
    NTSTATUS status = STATUS_SUCCESS;
    std::vector<uint8_t> in;
    bool plugged, reachable;
    {
        std::lock_guard lock(mu_);
        plugged = r.child->plugged;
        reachable = r.child->Reachable();
    }
    if (!plugged) {
        usbd = USBD_STATUS_DEVICE_GONE;
        status = STATUS_DEVICE_NOT_CONNECTED;
    } else if (!reachable) {
        usbd = USBD_STATUS_DEVICE_GONE;
        status = STATUS_NO_SUCH_DEVICE;
    } else if (r.function == URB_FUNCTION_SELECT_CONFIGURATION) {
        SelectConfiguration(r, &usbd, &status);
    } else if (r.control) {
        RunControl(r, &in, &usbd, &status);
        if (ReportsPipe(r.function) && !(r.fault && r.fault->kind == FaultKind::NullPipeHandle))
            r.urb->UrbControlTransfer.PipeHandle = &r.child->handles[1];
    } else {
        switch (r.function) {
            case URB_FUNCTION_ABORT_PIPE:
            case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
            case URB_FUNCTION_SYNC_RESET_PIPE:
            case URB_FUNCTION_SYNC_CLEAR_STALL:
                break;
            default:
                usbd = USBD_STATUS_INVALID_URB_FUNCTION;
                status = STATUS_INVALID_PARAMETER;
                break;
        }
    }
    return Finish(irp, r.seq, usbd, status, &in, onWorker);
}

bool Bus::DeviceControl(Child* child, const SetupPacket& setup) {
    uint8_t none[1] = {};
    return !child->device->Control(setup, none).stalled;
}

void Bus::RunControl(const Request& r, std::vector<uint8_t>* in, USBD_STATUS* usbd, NTSTATUS* status) {
    const bool dirIn = r.setup.IsIn();
    ULONG& length = r.urb->UrbControlTransfer.TransferBufferLength;  // same place in every control URB
    if (length > 0xFFFF || (length > 0 && !r.buffer)) {
        length = 0;
        *usbd = USBD_STATUS_INVALID_PARAMETER;
        *status = STATUS_INVALID_PARAMETER;
        return;
    }
    if (r.fault && r.fault->kind == FaultKind::Stall) {
        length = 0;
        *usbd = r.fault->stallStatus;
        *status = STATUS_UNSUCCESSFUL;
        return;
    }
    // An OUT data stage is read by the device straight from the caller's
    // buffer, as a host controller reads it; an IN one lands in a cleared
    // buffer of the bus's own first (on the stack for the usual sizes), so
    // the caller's buffer holds only what the transfer returned.
    uint8_t none = 0;
    uint8_t small[4096 + 1];
    std::unique_ptr<uint8_t[]> large;
    uint8_t* data = &none;
    if (dirIn) {
        data = small;
        if (r.setup.wLength >= sizeof small) {
            large.reset(new uint8_t[r.setup.wLength + 1u]);
            data = large.get();
        }
        std::memset(data, 0, r.setup.wLength + 1u);
    } else if (r.setup.wLength) {
        data = static_cast<uint8_t*>(r.buffer);
    }
    const auto result = r.child->device->Control(r.setup, data);
    if (result.stalled) {
        length = 0;
        *usbd = USBD_STATUS_STALL_PID;
        *status = STATUS_UNSUCCESSFUL;
        return;
    }
    if (!dirIn) {
        length = std::min<ULONG>(result.length, r.setup.wLength);
        return;
    }
    uint32_t n = std::min<uint32_t>(result.length, r.setup.wLength);
    if (r.fault && r.fault->kind == FaultKind::ShortIn) n = std::min(n, r.fault->shortLength);
    if (n) std::memcpy(r.buffer, data, n);
    in->assign(data, data + n);
    length = n;
    if (n < r.setup.wLength && !r.shortOk) {
        // Without USBD_SHORT_TRANSFER_OK a short IN data stage is an error.
        *usbd = USBD_STATUS_ERROR_SHORT_TRANSFER;
        *status = STATUS_UNSUCCESSFUL;
    }
}

void Bus::SelectConfiguration(const Request& r, USBD_STATUS* usbd, NTSTATUS* status) {
    auto& sc = r.urb->UrbSelectConfiguration;
    auto fail = [&](USBD_STATUS u, NTSTATUS s) {
        *usbd = u;
        *status = s;
    };
    if (!sc.ConfigurationDescriptor) {  // deconfigure
        if (!DeviceControl(r.child, {0x00, USB_REQUEST_SET_CONFIGURATION, 0, 0, 0}))
            return fail(USBD_STATUS_SET_CONFIG_FAILED, STATUS_UNSUCCESSFUL);
        std::lock_guard lock(mu_);
        r.child->configuration = 0;
        return;
    }
    const SIZE_T fixed = sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION);
    PUSB_CONFIGURATION_DESCRIPTOR cd = sc.ConfigurationDescriptor;
    if (r.urb->UrbHeader.Length < fixed || cd->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
        cd->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE || cd->wTotalLength < cd->bLength)
        return fail(USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR, STATUS_INVALID_PARAMETER);

    auto own = r.child->device->ConfigurationDescriptor();
    auto* ownCd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(own.data());
    const bool ownValid = own.size() >= sizeof(USB_CONFIGURATION_DESCRIPTOR) && ownCd->wTotalLength <= own.size();

    // Pass 1: check every listed interface before anything is changed.
    struct Found {
        PUSBD_INTERFACE_INFORMATION info;
        PUSB_INTERFACE_DESCRIPTOR id;
        std::vector<PUSB_ENDPOINT_DESCRIPTOR> endpoints;
    };
    std::vector<Found> found;
    auto* base = reinterpret_cast<PUCHAR>(r.urb);
    const PUCHAR cdEnd = reinterpret_cast<PUCHAR>(cd) + cd->wTotalLength;
    for (SIZE_T off = fixed; off + GET_USBD_INTERFACE_SIZE(0) <= r.urb->UrbHeader.Length;) {
        auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(base + off);
        if (info->Length < GET_USBD_INTERFACE_SIZE(0)) break;  // end of the list
        if (off + info->Length > r.urb->UrbHeader.Length) return fail(USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
        PUSB_INTERFACE_DESCRIPTOR id = FindInterface(cd, info->InterfaceNumber, info->AlternateSetting);
        const bool onDevice = ownValid && FindInterface(ownCd, info->InterfaceNumber, info->AlternateSetting);
        if (!id || !onDevice) return fail(USBD_STATUS_INTERFACE_NOT_FOUND, STATUS_INVALID_PARAMETER);
        if (info->Length < GET_USBD_INTERFACE_SIZE(id->bNumEndpoints))
            return fail(USBD_STATUS_BUFFER_TOO_SMALL, STATUS_INVALID_PARAMETER);
        Found f{info, id, {}};
        PUCHAR pos = reinterpret_cast<PUCHAR>(id) + id->bLength;
        while (f.endpoints.size() < id->bNumEndpoints) {
            auto* d = NextDescriptor(pos, cdEnd, -1);
            if (!d || d->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE) break;
            if (d->bDescriptorType == USB_ENDPOINT_DESCRIPTOR_TYPE && d->bLength >= sizeof(USB_ENDPOINT_DESCRIPTOR))
                f.endpoints.push_back(reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(d));
            pos = reinterpret_cast<PUCHAR>(d) + d->bLength;
        }
        if (f.endpoints.size() < id->bNumEndpoints)
            return fail(USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR, STATUS_INVALID_PARAMETER);
        for (ULONG p = 0; p < id->bNumEndpoints; ++p) {
            const ULONG mts = info->Pipes[p].MaximumTransferSize;
            if (mts == 0 || mts > kMaxTransferSizeLimit)
                return fail(USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
        }
        found.push_back(std::move(f));
        off += info->Length;
    }

    // Pass 2: configure the device, then hand out the handles.
    if (!DeviceControl(r.child, {0x00, USB_REQUEST_SET_CONFIGURATION, cd->bConfigurationValue, 0, 0}))
        return fail(USBD_STATUS_SET_CONFIG_FAILED, STATUS_UNSUCCESSFUL);
    for (const auto& f : found)
        if (f.id->bAlternateSetting != 0 &&
            !DeviceControl(r.child, {0x01, USB_REQUEST_SET_INTERFACE, f.id->bAlternateSetting, f.id->bInterfaceNumber, 0}))
            return fail(USBD_STATUS_SET_CONFIG_FAILED, STATUS_UNSUCCESSFUL);

    sc.ConfigurationHandle = NewHandle(r.child);
    for (const auto& f : found) {
        f.info->InterfaceHandle = NewHandle(r.child);
        f.info->Class = f.id->bInterfaceClass;
        f.info->SubClass = f.id->bInterfaceSubClass;
        f.info->Protocol = f.id->bInterfaceProtocol;
        f.info->NumberOfPipes = f.id->bNumEndpoints;
        for (ULONG p = 0; p < f.info->NumberOfPipes; ++p) {
            auto& pipe = f.info->Pipes[p];
            const auto* ep = f.endpoints[p];
            pipe.MaximumPacketSize = ep->wMaxPacketSize;
            pipe.EndpointAddress = ep->bEndpointAddress;
            pipe.Interval = ep->bInterval;
            pipe.PipeType = static_cast<USBD_PIPE_TYPE>(ep->bmAttributes & USB_ENDPOINT_TYPE_MASK);
            pipe.PipeHandle = NewHandle(r.child);
        }
    }
    std::lock_guard lock(mu_);
    r.child->configuration = cd->bConfigurationValue;
}

NTSTATUS Bus::Finish(PIRP irp, uint64_t seq, USBD_STATUS usbd, NTSTATUS status, std::vector<uint8_t>* in,
                     bool onWorker) {
    auto* urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    urb->UrbHeader.Status = usbd;
    const bool hasBuffer = HasTransferBuffer(urb->UrbHeader.Function);
    if (hasBuffer && (usbd == USBD_STATUS_DEVICE_GONE || usbd == USBD_STATUS_CANCELED))
        urb->UrbControlTransfer.TransferBufferLength = 0;

    // The log entry is completed in place; it is copied out only for an
    // observer or a capture, which read it outside the lock.
    const bool capture = pcap_.IsOpen();
    UrbObserver observer;
    KIRQL irql = PASSIVE_LEVEL;
    Transfer done;
    bool logged = false;
    {
        std::lock_guard lock(mu_);
        observer = urbObserver_;
        if (onWorker) irql = completionIrql_;
        if (Transfer* t = Entry(seq)) {
            t->completed = hosted::Clock::Now();
            t->usbdStatus = usbd;
            t->status = status;
            t->length = hasBuffer ? urb->UrbControlTransfer.TransferBufferLength : 0;
            if (in) t->in = std::move(*in);
            if (observer || (capture && t->control)) done = *t;
            logged = true;
        }
    }
    if (logged && done.control && capture) {
        PcapPacket p;
        p.time = done.completed;
        p.irpId = reinterpret_cast<uint64_t>(irp);
        p.usbdStatus = usbd;
        p.function = done.function;
        p.fromDevice = true;
        p.bus = options_.busNumber;
        p.device = done.address;
        p.endpoint = (done.setup[0] & 0x80) ? 0x80 : 0x00;
        p.stage = PcapStage::Complete;
        p.data = done.in;
        pcap_.Write(p);
    }
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    CompleteAt(irql, irp);
    if (observer && logged) observer(done, true);
    return status;
}

// ---------------------------------------------------------------------------
// Held IRPs and cancellation

bool Bus::Hold(PIRP irp, uint64_t seq, Child* child) {
    {
        std::lock_guard lock(mu_);
        held_.push_back({irp, seq, child});
    }
    IoSetCancelRoutine(irp, &Bus::CancelRoutine);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        // Cancelled before the routine was in place: complete it here.
        {
            std::lock_guard lock(mu_);
            std::erase_if(held_, [&](const Held& h) { return h.irp == irp && h.seq == seq; });
        }
        Finish(irp, seq, USBD_STATUS_CANCELED, STATUS_CANCELLED, nullptr);
        return false;
    }
    return true;
}

bool Bus::Unhold(PIRP irp, uint64_t seq) {
    {
        std::lock_guard lock(mu_);
        auto it = std::find_if(held_.begin(), held_.end(), [&](const Held& h) { return h.irp == irp && h.seq == seq; });
        if (it == held_.end()) return false;  // cancelled or flushed by an unplug meanwhile
        held_.erase(it);
    }
    // A NULL here means the cancel routine is on its way and completes the IRP.
    return IoSetCancelRoutine(irp, nullptr) != nullptr;
}

void NTAPI Bus::CancelRoutine(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Bus* bus = Ext(device)->bus;
    const auto seq = reinterpret_cast<uint64_t>(irp->Tail.Overlay.DriverContext[0]);
    {
        std::lock_guard lock(bus->mu_);
        // Only live IRPs are held, so the address alone identifies it here.
        std::erase_if(bus->held_, [irp](const Held& h) { return h.irp == irp; });
        if (Transfer* t = bus->Entry(seq)) t->cancelRequested = true;
    }
    bus->Finish(irp, seq, USBD_STATUS_CANCELED, STATUS_CANCELLED, nullptr);
}

// The cancel routine of a stuck IRP: the request is noted and nothing else
// happens, as in a stack that has lost track of its request.
void NTAPI Bus::IgnoreCancel(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Bus* bus = Ext(device)->bus;
    std::lock_guard lock(bus->mu_);
    if (Transfer* t = bus->Entry(reinterpret_cast<uint64_t>(irp->Tail.Overlay.DriverContext[0])))
        t->cancelRequested = true;
}

// The bus goes away with stuck IRPs still held. They cannot be completed:
// the event, status block and URB they point at may lie on the stack of a
// thread that a deadlock report has unwound since. So only the cancel routine
// is taken back (a later IoCancelIrp must not call into a bus that is gone);
// the IRP itself stays as it is, reported here and, as a leak, at the
// platform's end-of-run check, which frees it.
void Bus::ReleaseStuck() {
    std::vector<Held> stuck;
    {
        std::lock_guard lock(mu_);
        stuck.swap(stuck_);
    }
    for (auto [irp, seq, child] : stuck) {
        IoSetCancelRoutine(irp, nullptr);
        std::string what;
        {
            std::lock_guard lock(mu_);
            if (const Transfer* t = Entry(seq)) {
                char buf[128];
                if (t->control && (t->setup[0] & 0x60) == 0x40)
                    std::snprintf(buf, sizeof buf, "vendor request 0x%02X", t->setup[1]);
                else
                    std::snprintf(buf, sizeof buf, "URB function 0x%04X", t->function);
                what = std::string(buf) + ", submitted at " + std::to_string(t->submitted / 10'000) + " ms" +
                       (t->cancelRequested ? ", cancelled" : ", never cancelled");
            }
        }
        char irpText[40];
        std::snprintf(irpText, sizeof irpText, "%p", static_cast<void*>(irp));
        hosted::Verifier::Report("usb bus " + child->instancePath + ": IRP " + irpText + " (transfer #" +
                                 std::to_string(seq) + (what.empty() ? "" : ", " + what) +
                                 ") was never completed: a 'stuck' fault held it; the bus is removed and leaves "
                                 "it to the platform");
    }
}

}  // namespace hosted::usb
