// The kernel's WMI component: IoWMIRegistrationControl, the registration WMI
// builds from a provider's IRP_MN_REGINFO_EX answer, and the consumer side
// (hosted::Wmi) that lists a device's blocks and queries or sets them.
//
// Registration and updates are served by a hosted system thread named "WMI":
// IoWMIRegistrationControl only queues the work and returns, and the thread
// sends IRP_MN_REGINFO_EX at PASSIVE_LEVEL when the caller next blocks, as
// Windows sends it from a system thread of its own. Every system-control IRP
// WMI sends is counted in flight until it completes, so that deregistration
// can wait for them; a device that is not registered, or a block it withdrew,
// never sees a request.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include <wmilib.h>

#include "internal.h"

using namespace hosted;
using namespace hosted::detail;

namespace hosted::detail {

struct WmiBlockState {
    GUID guid;
    ULONG flags;
    ULONG instanceCount;
    std::vector<std::string> names;
};

struct WmiProvider {
    PDEVICE_OBJECT device = nullptr;
    bool registered = false;
    std::vector<WmiBlockState> blocks;
    unsigned inFlight = 0;
    KEVENT idle{};  // notification event, signalled while nothing is in flight
    uint64_t regInfoRequests = 0;
};

struct WmiJob {
    PDEVICE_OBJECT device;
    ULONG dataPath;  // WMIREGISTER or WMIUPDATE
};

struct WmiService {
    std::map<PDEVICE_OBJECT, std::shared_ptr<WmiProvider>> providers;
    std::deque<WmiJob> queue;
    bool workerRunning = false;
    KEVENT settled{};  // notification event, signalled while the queue is empty and no worker runs
    FailRules failRegistration;  // register, reregister, update
};

}  // namespace hosted::detail

namespace {

constexpr ULONG kFirstRegInfoSize = 512;
constexpr ULONG kMaxRegInfoSize = 1u << 20;

void InitEvent(KEVENT& e, bool signalled)
{
    e.Header.Type = kEventNotification;
    e.Header.Size = sizeof(KEVENT) / sizeof(LONG);
    e.Header.SignalState = signalled ? 1 : 0;
    InitializeListHead(&e.Header.WaitListHead);
}

void Signal(Lock& lock, KEVENT& e)
{
    LONG old = e.Header.SignalState;
    e.Header.SignalState = 1;
    if (old == 0) WakeWaiters(lock, &e.Header);
}

WmiService& Service(Lock&)
{
    Kernel& k = K();
    if (!k.wmi) {
        k.wmi = std::make_shared<WmiService>();
        InitEvent(k.wmi->settled, true);
    }
    return *k.wmi;
}

std::shared_ptr<WmiProvider> FindProvider(Lock& lock, PDEVICE_OBJECT device)
{
    WmiService& s = Service(lock);
    auto it = s.providers.find(device);
    return it == s.providers.end() ? nullptr : it->second;
}

PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT dev)
{
    while (dev->AttachedDevice) dev = dev->AttachedDevice;
    return dev;
}

std::string DriverOf(Lock&, PDEVICE_OBJECT dev)
{
    Kernel& k = K();
    auto it = dev ? k.drivers.find(dev->DriverObject) : k.drivers.end();
    return it == k.drivers.end() ? "?" : it->second.name;
}

std::string GuidText(const GUID& g)
{
    char buf[48];
    std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", unsigned(g.Data1),
                  unsigned(g.Data2), unsigned(g.Data3), g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                  g.Data4[5], g.Data4[6], g.Data4[7]);
    return buf;
}

// ---------------------------------------------------------------- IRPs in flight

struct InFlight {
    KEVENT done;
    std::shared_ptr<WmiProvider> provider;
};

NTSTATUS NTAPI InFlightDone(PDEVICE_OBJECT, PIRP, PVOID context)
{
    auto* f = static_cast<InFlight*>(context);
    {
        auto [k, lock] = LockKernel();
        if (--f->provider->inFlight == 0) Signal(lock, f->provider->idle);
        Signal(lock, f->done);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Builds a system-control IRP for the top of the provider's stack with the
// WMI parameters in the provider's location, counted in flight (lock held).
PIRP BuildWmiIrp(Lock& lock, WmiProvider& p, UCHAR minor, PVOID dataPath, std::vector<uint8_t>& buffer)
{
    PDEVICE_OBJECT top = TopOfStack(p.device);
    PIRP irp = AllocIrp(lock, CCHAR(top->StackSize + 1), IrpInfo::Kind::Platform);
    if (!irp) return nullptr;
    IoSetNextIrpStackLocation(irp);  // WMI's own location
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = IRP_MJ_SYSTEM_CONTROL;
    sp->MinorFunction = minor;
    sp->Parameters.WMI.ProviderId = ULONG_PTR(p.device);
    sp->Parameters.WMI.DataPath = dataPath;
    sp->Parameters.WMI.BufferSize = ULONG(buffer.size());
    sp->Parameters.WMI.Buffer = buffer.data();
    if (p.inFlight++ == 0) p.idle.Header.SignalState = 0;
    return irp;
}

// Sends an IRP from BuildWmiIrp and waits for its completion. A dispatch
// routine that returns anything but STATUS_PENDING has completed the IRP (or
// had a lower driver complete it); one that did neither would hang WMI's
// thread on Windows, so it is reported, and the IRP is completed here so the
// run can go on.
IO_STATUS_BLOCK SendCounted(std::shared_ptr<WmiProvider> p, PIRP irp)
{
    InFlight f;
    InitEvent(f.done, false);
    f.provider = p;
    UCHAR minor = IoGetNextIrpStackLocation(irp)->MinorFunction;
    PDEVICE_OBJECT top;
    {
        auto [k, lock] = LockKernel();
        top = TopOfStack(p->device);
    }
    IoSetCompletionRoutine(irp, InFlightDone, &f, TRUE, TRUE, TRUE);
    NTSTATUS st = IofCallDriver(top, irp);
    bool forgotten = false;
    std::string driver;
    {
        auto [k, lock] = LockKernel();
        if (st != STATUS_PENDING && f.done.Header.SignalState == 0) {
            forgotten = true;
            driver = DriverOf(lock, top);
            char what[400];
            std::snprintf(what, sizeof what,
                          "dispatch routine of %s returned 0x%08X for WMI IRP %p (minor 0x%02X) without completing "
                          "it or returning STATUS_PENDING (IrpNotCompleted requests must be completed with "
                          "IoCompleteRequest)",
                          driver.c_str(), unsigned(st), (void*)irp, minor);
            Violation(lock, what);
        }
    }
    if (forgotten) IofCompleteRequest(irp, IO_NO_INCREMENT);
    KeWaitForSingleObject(&f.done, Executive, KernelMode, FALSE, nullptr);
    IO_STATUS_BLOCK io = irp->IoStatus;
    IoFreeIrp(irp);
    return io;
}

// ---------------------------------------------------------------- registration

// The device instance path of a physical device object, from its hardware key
// (...\Enum\<instance>\Device Parameters): WMI names PDO instances after it.
std::string InstancePath(Lock&, PDEVICE_OBJECT pdo)
{
    Kernel& k = K();
    auto it = k.devices.find(pdo);
    if (it == k.devices.end()) return "";
    std::string key = it->second.deviceKey;
    static const std::string kEnum = "\\Enum\\";
    static const std::string kParams = "\\Device Parameters";
    size_t at = key.find(kEnum);
    if (at != std::string::npos) key = key.substr(at + kEnum.size());
    if (key.size() >= kParams.size() && key.compare(key.size() - kParams.size(), kParams.size(), kParams) == 0)
        key.resize(key.size() - kParams.size());
    return key;
}

bool ReadCountedString(const std::vector<uint8_t>& buf, ULONG offset, ULONG limit, std::string& out)
{
    if (offset == 0 || offset + sizeof(USHORT) > limit) return false;
    USHORT len;
    std::memcpy(&len, buf.data() + offset, sizeof len);
    if ((len & 1) || offset + sizeof(USHORT) + len > limit) return false;
    std::u16string s(len / 2, u'\0');
    std::memcpy(s.data(), buf.data() + offset + sizeof(USHORT), len);
    out = Utf16ToUtf8(s.data(), s.size());
    return true;
}

// Applies a WMIREGINFO answer to the provider's registration (lock held).
// A first registration replaces the block list; an update changes the blocks
// it names and withdraws those flagged WMIREG_FLAG_REMOVE_GUID.
void ApplyRegInfo(Lock& lock, WmiProvider& p, ULONG dataPath, const std::vector<uint8_t>& buf, ULONG used)
{
    Kernel& k = K();
    std::string who = "WMI registration of " + Hex(uint64_t(p.device)) + " (" + DriverOf(lock, p.device) + ")";
    ULONG header = ULONG(FIELD_OFFSET(WMIREGINFOW, WmiRegGuid));
    if (used < header || used > buf.size()) {
        Violation(lock, who + ": IRP_MN_REGINFO_EX answered with " + std::to_string(used) +
                            " bytes, not a WMIREGINFO");
        return;
    }
    WMIREGINFOW info;
    std::memcpy(&info, buf.data(), header);
    ULONG limit = std::min<ULONG>(used, info.BufferSize ? info.BufferSize : used);
    if (uint64_t(header) + uint64_t(info.GuidCount) * sizeof(WMIREGGUIDW) > limit) {
        Violation(lock, who + ": WMIREGINFO with " + std::to_string(info.GuidCount) +
                            " GUIDs does not fit its buffer");
        return;
    }
    if (dataPath == WMIREGISTER) p.blocks.clear();
    for (ULONG i = 0; i < info.GuidCount; ++i) {
        WMIREGGUIDW g;
        std::memcpy(&g, buf.data() + header + i * sizeof(WMIREGGUIDW), sizeof g);
        auto same = [&](const WmiBlockState& b) { return std::memcmp(&b.guid, &g.Guid, sizeof(GUID)) == 0; };
        p.blocks.erase(std::remove_if(p.blocks.begin(), p.blocks.end(), same), p.blocks.end());
        if (g.Flags & WMIREG_FLAG_REMOVE_GUID) continue;
        WmiBlockState b{g.Guid, g.Flags, g.InstanceCount, {}};
        if (g.Flags & WMIREG_FLAG_INSTANCE_PDO) {
            auto pdo = reinterpret_cast<PDEVICE_OBJECT>(g.Pdo);
            auto d = k.devices.find(pdo);
            if (d == k.devices.end() || !d->second.pdo) {
                Violation(lock, who + ": block " + GuidText(g.Guid) +
                                    " asks for WMIREG_FLAG_INSTANCE_PDO with " + Hex(uint64_t(pdo)) +
                                    ", which is not a physical device object; the block is not registered");
                continue;
            }
            std::string base = InstancePath(lock, pdo);
            for (ULONG n = 0; n < g.InstanceCount; ++n) b.names.push_back(base + "_" + std::to_string(n));
        } else if (g.Flags & WMIREG_FLAG_INSTANCE_BASENAME) {
            std::string base;
            if (!ReadCountedString(buf, g.BaseNameOffset, limit, base)) {
                Violation(lock, who + ": block " + GuidText(g.Guid) + " has no readable instance base name");
                continue;
            }
            for (ULONG n = 0; n < g.InstanceCount; ++n) b.names.push_back(base + std::to_string(n));
        }
        p.blocks.push_back(std::move(b));
    }
}

// One IRP_MN_REGINFO_EX exchange on the WMI thread: asks again with the size
// the provider reports when the first buffer is too small.
void RunJob(const WmiJob& job)
{
    Kernel& k = K();
    ULONG size = kFirstRegInfoSize;
    for (int attempt = 0; attempt < 3; ++attempt) {
        std::vector<uint8_t> buffer(size, 0);
        std::shared_ptr<WmiProvider> p;
        PIRP irp;
        {
            Lock lock = k.Hold();
            p = FindProvider(lock, job.device);
            if (!p || !p->registered) return;  // deregistered meanwhile
            irp = BuildWmiIrp(lock, *p, IRP_MN_REGINFO_EX, reinterpret_cast<PVOID>(ULONG_PTR(job.dataPath)),
                              buffer);
            if (!irp) return;  // out of IRPs: the registration stays as it was
            p->regInfoRequests++;
        }
        IO_STATUS_BLOCK io = SendCounted(p, irp);
        Lock lock = k.Hold();
        if (!p->registered) return;
        ULONG needed = 0;
        if (buffer.size() >= sizeof(ULONG)) std::memcpy(&needed, buffer.data(), sizeof needed);
        bool tooSmall = io.Status == STATUS_BUFFER_TOO_SMALL ||
                        (NT_SUCCESS(io.Status) && io.Information == sizeof(ULONG) && needed > size);
        if (tooSmall && needed > size && needed <= kMaxRegInfoSize) {
            size = needed;
            continue;
        }
        if (!NT_SUCCESS(io.Status)) return;  // the provider refused: nothing registered from it
        ApplyRegInfo(lock, *p, job.dataPath, buffer, ULONG(std::min<ULONG_PTR>(io.Information, buffer.size())));
        return;
    }
}

void Worker()
{
    Kernel& k = K();
    for (;;) {
        WmiJob job;
        {
            Lock lock = k.Hold();
            WmiService& s = Service(lock);
            if (s.queue.empty()) {
                s.workerRunning = false;
                Signal(lock, s.settled);
                return;
            }
            job = s.queue.front();
            s.queue.pop_front();
        }
        RunJob(job);
    }
}

// Queues a registration exchange; returns true if a worker must be started.
bool Enqueue(Lock& lock, PDEVICE_OBJECT device, ULONG dataPath)
{
    WmiService& s = Service(lock);
    s.queue.push_back(WmiJob{device, dataPath});
    s.settled.Header.SignalState = 0;
    if (s.workerRunning) return false;
    s.workerRunning = true;
    return true;
}

}  // namespace

namespace hosted::detail {

void WmiForgetDevice(Lock& lock, PDEVICE_OBJECT device)
{
    if (!K().wmi) return;
    WmiService& s = Service(lock);
    auto it = s.providers.find(device);
    if (it != s.providers.end()) {
        it->second->registered = false;
        it->second->blocks.clear();
        s.providers.erase(it);
    }
    s.queue.erase(std::remove_if(s.queue.begin(), s.queue.end(), [&](const WmiJob& j) { return j.device == device; }),
                  s.queue.end());
}

}  // namespace hosted::detail

extern "C" NTSTATUS IoWMIRegistrationControl(PDEVICE_OBJECT DeviceObject, ULONG Action)
{
    auto [k, lock] = LockKernel();
    auto dev = k.devices.find(DeviceObject);
    if (dev == k.devices.end()) {
        Violation(lock, "IoWMIRegistrationControl on something that is not a device object");
        return STATUS_INVALID_PARAMETER;
    }
    ThreadState* self = Current();
    if (self && self->irql != PASSIVE_LEVEL)
        Violation(lock, "IoWMIRegistrationControl at IRQL " + std::to_string(self->irql) + " (PASSIVE_LEVEL only)");
    WmiService& s = Service(lock);
    NTSTATUS injected = STATUS_SUCCESS;
    if (Action != WMIREG_ACTION_DEREGISTER && TakeFailure(s.failRegistration, &injected)) return injected;
    std::shared_ptr<WmiProvider> p = FindProvider(lock, DeviceObject);
    bool startWorker = false;
    switch (Action) {
    case WMIREG_ACTION_REGISTER:
    case WMIREG_ACTION_REREGISTER:
        if (Action == WMIREG_ACTION_REGISTER && p && p->registered) return STATUS_OBJECT_NAME_COLLISION;
        if (!p) {
            p = std::make_shared<WmiProvider>();
            p->device = DeviceObject;
            InitEvent(p->idle, true);
            s.providers[DeviceObject] = p;
        }
        p->registered = true;
        p->blocks.clear();
        dev->second.wmiRegistered = true;
        startWorker = Enqueue(lock, DeviceObject, WMIREGISTER);
        break;
    case WMIREG_ACTION_UPDATE_GUIDS:
        if (!p || !p->registered) return STATUS_INVALID_PARAMETER;
        startWorker = Enqueue(lock, DeviceObject, WMIUPDATE);
        break;
    case WMIREG_ACTION_DEREGISTER: {
        if (!p || !p->registered) return STATUS_INVALID_PARAMETER;
        // From here on WMI sends nothing new; the caller is blocked until
        // every request already sent has completed.
        p->registered = false;
        p->blocks.clear();
        s.queue.erase(std::remove_if(s.queue.begin(), s.queue.end(),
                                     [&](const WmiJob& j) { return j.device == DeviceObject; }),
                      s.queue.end());
        if (p->inFlight) {
            if (!self) {
                Violation(lock, "IoWMIRegistrationControl(WMIREG_ACTION_DEREGISTER) from a thread the platform "
                                "does not know, with WMI requests in flight");
            } else {
                DISPATCHER_HEADER* h = &p->idle.Header;
                WaitInternal(lock, self, 1, &h, WaitAny, nullptr,
                             "IoWMIRegistrationControl(WMIREG_ACTION_DEREGISTER) waiting for WMI requests in flight");
            }
        }
        auto again = k.devices.find(DeviceObject);
        if (again != k.devices.end()) again->second.wmiRegistered = false;
        auto it = s.providers.find(DeviceObject);
        if (it != s.providers.end() && it->second == p && !p->registered) s.providers.erase(it);
        return STATUS_SUCCESS;
    }
    default:
        return STATUS_INVALID_PARAMETER;
    }
    lock.unlock();
    if (startWorker) StartThread("WMI", Worker);
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------- consumer side

namespace hosted {

namespace {

constexpr ULONG kAllInstances = ~0u;

// Waits until the WMI thread has handled every queued registration change.
void WaitSettled()
{
    auto [k, lock] = LockKernel();
    ThreadState* self = Current();
    WmiService& s = Service(lock);
    if (!self || s.settled.Header.SignalState) return;
    std::shared_ptr<WmiService> keep = k.wmi;
    DISPATCHER_HEADER* h = &keep->settled.Header;
    WaitInternal(lock, self, 1, &h, WaitAny, nullptr, "hosted::Wmi waiting for the WMI thread");
}

WmiReply Refused(NTSTATUS status)
{
    WmiReply r{};
    r.status = status;
    return r;
}

// Sends a request for a registered block as WMI does: refused without an IRP
// when the device is not registered, the block is not (or no longer)
// registered, or the instance does not exist.
WmiReply Request(PDEVICE_OBJECT device, UCHAR minor, const GUID& guid, ULONG instance, std::vector<uint8_t> buffer)
{
    WaitSettled();
    Kernel& k = K();
    GUID guidCopy = guid;  // lives for the whole (synchronous) request
    std::shared_ptr<WmiProvider> p;
    PIRP irp;
    {
        Lock lock = k.Hold();
        p = FindProvider(lock, device);
        if (!p || !p->registered) return Refused(STATUS_WMI_GUID_NOT_FOUND);
        auto b = std::find_if(p->blocks.begin(), p->blocks.end(),
                              [&](const WmiBlockState& x) { return std::memcmp(&x.guid, &guid, sizeof guid) == 0; });
        if (b == p->blocks.end()) return Refused(STATUS_WMI_GUID_NOT_FOUND);
        if (instance != kAllInstances && instance >= b->instanceCount) return Refused(STATUS_WMI_INSTANCE_NOT_FOUND);
        irp = BuildWmiIrp(lock, *p, minor, &guidCopy, buffer);
        if (!irp) return Refused(STATUS_INSUFFICIENT_RESOURCES);
    }
    IO_STATUS_BLOCK io = SendCounted(p, irp);
    WmiReply r{};
    r.status = io.Status;
    r.information = io.Information;
    r.buffer = std::move(buffer);
    return r;
}

void FillHeader(std::vector<uint8_t>& b, const GUID& guid, ULONG flags)
{
    auto* h = reinterpret_cast<WNODE_HEADER*>(b.data());
    h->BufferSize = ULONG(b.size());
    h->Guid = guid;
    h->Flags = flags;
}

void ReadTooSmall(WmiReply& r)
{
    if (r.buffer.size() < sizeof(WNODE_TOO_SMALL)) return;
    auto* h = reinterpret_cast<WNODE_HEADER*>(r.buffer.data());
    if (NT_SUCCESS(r.status) && (h->Flags & WNODE_FLAG_TOO_SMALL)) {
        r.tooSmall = true;
        r.sizeNeeded = reinterpret_cast<WNODE_TOO_SMALL*>(r.buffer.data())->SizeNeeded;
    }
}

ULONG SingleOffset(size_t header) { return ULONG((header + 7) & ~size_t(7)); }

}  // namespace

bool Wmi::Registered(PDEVICE_OBJECT device)
{
    WaitSettled();
    auto [k, lock] = LockKernel();
    auto p = FindProvider(lock, device);
    return p && p->registered;
}

std::vector<WmiBlock> Wmi::Blocks(PDEVICE_OBJECT device)
{
    WaitSettled();
    auto [k, lock] = LockKernel();
    std::vector<WmiBlock> out;
    auto p = FindProvider(lock, device);
    if (!p || !p->registered) return out;
    for (const WmiBlockState& b : p->blocks) out.push_back(WmiBlock{b.guid, b.flags, b.instanceCount, b.names});
    return out;
}

uint64_t Wmi::RegInfoRequests(PDEVICE_OBJECT device)
{
    auto [k, lock] = LockKernel();
    auto p = FindProvider(lock, device);
    return p ? p->regInfoRequests : 0;
}

void Wmi::Settle() { WaitSettled(); }

void Wmi::FailRegistration(uint64_t nth, NTSTATUS status)
{
    auto [k, lock] = LockKernel();
    WmiService& s = Service(lock);
    s.failRegistration.push_back(FailRule{nth, status});
}

void Wmi::ClearFailures()
{
    auto [k, lock] = LockKernel();
    Service(lock).failRegistration.clear();
}

WmiReply Wmi::RegInfo(PDEVICE_OBJECT device, ULONG bufferSize)
{
    WmiReply r{};
    PIRP irp = Io::BuildIrp(device, IRP_MJ_SYSTEM_CONTROL, IRP_MN_REGINFO_EX);
    if (!irp) return Refused(STATUS_INSUFFICIENT_RESOURCES);
    std::vector<uint8_t> buffer(bufferSize, 0);
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->Parameters.WMI.ProviderId = ULONG_PTR(device);
    sp->Parameters.WMI.DataPath = reinterpret_cast<PVOID>(ULONG_PTR(WMIREGISTER));
    sp->Parameters.WMI.BufferSize = bufferSize;
    sp->Parameters.WMI.Buffer = buffer.data();
    IO_STATUS_BLOCK io{};
    r.status = Io::SendAndWait(device, irp, &io);
    r.information = io.Information;
    r.buffer = std::move(buffer);
    return r;
}

WmiReply Wmi::QueryAllData(PDEVICE_OBJECT device, const GUID& guid, ULONG bufferSize)
{
    std::vector<uint8_t> b(std::max<size_t>(bufferSize, sizeof(WNODE_ALL_DATA)), 0);
    FillHeader(b, guid, WNODE_FLAG_ALL_DATA);
    WmiReply r = Request(device, IRP_MN_QUERY_ALL_DATA, guid, kAllInstances, std::move(b));
    ReadTooSmall(r);
    if (NT_SUCCESS(r.status) && !r.tooSmall && !r.buffer.empty()) {
        auto* w = reinterpret_cast<WNODE_ALL_DATA*>(r.buffer.data());
        if (w->WnodeHeader.BufferSize <= r.buffer.size() && w->DataBlockOffset <= w->WnodeHeader.BufferSize)
            r.data.assign(r.buffer.begin() + w->DataBlockOffset, r.buffer.begin() + w->WnodeHeader.BufferSize);
    }
    return r;
}

WmiReply Wmi::QuerySingleInstance(PDEVICE_OBJECT device, const GUID& guid, ULONG instanceIndex, ULONG bufferSize)
{
    ULONG offset = SingleOffset(sizeof(WNODE_SINGLE_INSTANCE));
    // The request itself (the WNODE up to its data) always fits.
    std::vector<uint8_t> b(std::max<size_t>(bufferSize, offset), 0);
    FillHeader(b, guid, WNODE_FLAG_SINGLE_INSTANCE | WNODE_FLAG_STATIC_INSTANCE_NAMES);
    auto* w = reinterpret_cast<WNODE_SINGLE_INSTANCE*>(b.data());
    w->InstanceIndex = instanceIndex;
    w->DataBlockOffset = offset;
    WmiReply r = Request(device, IRP_MN_QUERY_SINGLE_INSTANCE, guid, instanceIndex, std::move(b));
    ReadTooSmall(r);
    if (NT_SUCCESS(r.status) && !r.tooSmall && r.buffer.size() >= sizeof(WNODE_SINGLE_INSTANCE)) {
        auto* out = reinterpret_cast<WNODE_SINGLE_INSTANCE*>(r.buffer.data());
        if (uint64_t(out->DataBlockOffset) + out->SizeDataBlock <= r.buffer.size())
            r.data.assign(r.buffer.begin() + out->DataBlockOffset,
                          r.buffer.begin() + out->DataBlockOffset + out->SizeDataBlock);
    }
    return r;
}

WmiReply Wmi::SetSingleInstance(PDEVICE_OBJECT device, const GUID& guid, const std::vector<uint8_t>& data,
                                ULONG instanceIndex)
{
    ULONG offset = SingleOffset(sizeof(WNODE_SINGLE_INSTANCE));
    std::vector<uint8_t> b(offset + data.size(), 0);
    FillHeader(b, guid, WNODE_FLAG_SINGLE_INSTANCE | WNODE_FLAG_STATIC_INSTANCE_NAMES);
    auto* w = reinterpret_cast<WNODE_SINGLE_INSTANCE*>(b.data());
    w->InstanceIndex = instanceIndex;
    w->DataBlockOffset = offset;
    w->SizeDataBlock = ULONG(data.size());
    if (!data.empty()) std::memcpy(b.data() + offset, data.data(), data.size());
    return Request(device, IRP_MN_CHANGE_SINGLE_INSTANCE, guid, instanceIndex, std::move(b));
}

WmiReply Wmi::SetSingleItem(PDEVICE_OBJECT device, const GUID& guid, ULONG itemId, const std::vector<uint8_t>& data,
                            ULONG instanceIndex)
{
    ULONG offset = SingleOffset(sizeof(WNODE_SINGLE_ITEM));
    std::vector<uint8_t> b(offset + data.size(), 0);
    FillHeader(b, guid, WNODE_FLAG_SINGLE_ITEM | WNODE_FLAG_STATIC_INSTANCE_NAMES);
    auto* w = reinterpret_cast<WNODE_SINGLE_ITEM*>(b.data());
    w->InstanceIndex = instanceIndex;
    w->ItemId = itemId;
    w->DataBlockOffset = offset;
    w->SizeDataItem = ULONG(data.size());
    if (!data.empty()) std::memcpy(b.data() + offset, data.data(), data.size());
    return Request(device, IRP_MN_CHANGE_SINGLE_ITEM, guid, instanceIndex, std::move(b));
}

WmiReply Wmi::Control(PDEVICE_OBJECT device, const GUID& guid, UCHAR minor)
{
    std::vector<uint8_t> b(sizeof(WNODE_HEADER), 0);
    FillHeader(b, guid, 0);
    return Request(device, minor, guid, kAllInstances, std::move(b));
}

}  // namespace hosted
