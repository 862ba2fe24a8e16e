// The plug-and-play manager: the device tree, function-driver matching and
// loading, and the IRP sequences for start, rebalance, disable/enable, eject,
// surprise removal and removal. Everything that touches a device stack runs
// on one hosted thread ("PnP manager"), so the requests for a stack come one
// at a time at PASSIVE_LEVEL, as on Windows.
#include <algorithm>
#include <cstring>

#include "internal.h"
#include "pnp_internal.h"

using namespace hosted;
using namespace hosted::detail;

namespace hosted::detail {

namespace {

PnpManager& M()
{
    auto [k, lock] = LockKernel();
    if (!k.pnp) k.pnp = std::make_shared<PnpManager>();
    return *k.pnp;
}

std::string PowerName(UCHAR minor, const PIO_STACK_LOCATION sp)
{
    (void)minor;
    if (!sp) return "";
    if (sp->Parameters.Power.Type == SystemPowerState) {
        int s = sp->Parameters.Power.State.SystemState;
        return s == PowerSystemShutdown ? "Shutdown" : "S" + std::to_string(s - 1);
    }
    return "D" + std::to_string(int(sp->Parameters.Power.State.DeviceState) - 1);
}

const char* PnpMinorName(UCHAR minor)
{
    switch (minor) {
    case IRP_MN_START_DEVICE: return "START_DEVICE";
    case IRP_MN_QUERY_REMOVE_DEVICE: return "QUERY_REMOVE_DEVICE";
    case IRP_MN_REMOVE_DEVICE: return "REMOVE_DEVICE";
    case IRP_MN_CANCEL_REMOVE_DEVICE: return "CANCEL_REMOVE_DEVICE";
    case IRP_MN_STOP_DEVICE: return "STOP_DEVICE";
    case IRP_MN_QUERY_STOP_DEVICE: return "QUERY_STOP_DEVICE";
    case IRP_MN_CANCEL_STOP_DEVICE: return "CANCEL_STOP_DEVICE";
    case IRP_MN_QUERY_DEVICE_RELATIONS: return "QUERY_DEVICE_RELATIONS";
    case IRP_MN_QUERY_INTERFACE: return "QUERY_INTERFACE";
    case IRP_MN_QUERY_CAPABILITIES: return "QUERY_CAPABILITIES";
    case IRP_MN_QUERY_RESOURCES: return "QUERY_RESOURCES";
    case IRP_MN_QUERY_RESOURCE_REQUIREMENTS: return "QUERY_RESOURCE_REQUIREMENTS";
    case IRP_MN_QUERY_DEVICE_TEXT: return "QUERY_DEVICE_TEXT";
    case IRP_MN_FILTER_RESOURCE_REQUIREMENTS: return "FILTER_RESOURCE_REQUIREMENTS";
    case IRP_MN_EJECT: return "EJECT";
    case IRP_MN_QUERY_ID: return "QUERY_ID";
    case IRP_MN_QUERY_PNP_DEVICE_STATE: return "QUERY_PNP_DEVICE_STATE";
    case IRP_MN_QUERY_BUS_INFORMATION: return "QUERY_BUS_INFORMATION";
    case IRP_MN_SURPRISE_REMOVAL: return "SURPRISE_REMOVAL";
    default: return "PNP_0x??";
    }
}

const char* RelationName(DEVICE_RELATION_TYPE t)
{
    switch (t) {
    case BusRelations: return "BusRelations";
    case EjectionRelations: return "EjectionRelations";
    case PowerRelations: return "PowerRelations";
    case RemovalRelations: return "RemovalRelations";
    case TargetDeviceRelation: return "TargetDeviceRelation";
    default: return "OtherRelations";
    }
}

const char* IdName(BUS_QUERY_ID_TYPE t)
{
    switch (t) {
    case BusQueryDeviceID: return "DeviceID";
    case BusQueryHardwareIDs: return "HardwareIDs";
    case BusQueryCompatibleIDs: return "CompatibleIDs";
    case BusQueryInstanceID: return "InstanceID";
    case BusQueryDeviceSerialNumber: return "DeviceSerialNumber";
    case BusQueryContainerID: return "ContainerID";
    }
    return "?";
}

// The strings of a UTF-16 MULTI_SZ (ended by an empty string).
std::vector<std::string> MultiSz(const char16_t* p)
{
    std::vector<std::string> out;
    if (!p) return out;
    while (*p) {
        size_t n = 0;
        while (p[n]) ++n;
        out.push_back(Utf16ToUtf8(p, n));
        p += n + 1;
    }
    return out;
}

bool OnManagerThread(PnpManager& m)
{
    ThreadState* t = Current();
    return t && t == m.threadState;
}

void ManagerMain();

// Queue `fn` for the manager thread; start the thread at first use.
void Enqueue(PnpManager& m, PnpRequest request)
{
    bool start = false;
    {
        std::lock_guard<std::mutex> guard(m.m);
        m.queue.push_back(std::move(request));
        if (!m.started) {
            m.started = true;
            start = true;
            KeInitializeEvent(&m.work, SynchronizationEvent, FALSE);
            KeInitializeEvent(&m.idle, NotificationEvent, FALSE);
        }
        KeClearEvent(&m.idle);
    }
    if (start) m.thread = StartThread("PnP manager", ManagerMain);
    KeSetEvent(&m.work, IO_NO_INCREMENT, FALSE);
}

void ManagerMain()
{
    PnpManager& m = M();
    m.threadState = Current();
    for (;;) {
        PnpRequest r;
        {
            std::unique_lock<std::mutex> guard(m.m);
            if (m.queue.empty()) {
                bool stop = m.stop;
                m.busy = false;
                guard.unlock();
                KeSetEvent(&m.idle, IO_NO_INCREMENT, FALSE);
                if (stop) break;
                // Waiting for work is the manager's own business: a deadlock
                // report unwinds the threads that wait for it, not the manager.
                auto [k, lock] = LockKernel();
                ThreadState* self = Current();
                self->internalWait = true;
                DISPATCHER_HEADER* h = &m.work.Header;
                WaitInternal(lock, self, 1, &h, WaitAny, nullptr, "the PnP manager's queue");
                self->internalWait = false;
                continue;
            }
            r = std::move(m.queue.front());
            m.queue.pop_front();
            m.busy = true;
        }
        NTSTATUS st = r.fn();
        if (r.result) *r.result = st;
        if (r.done) KeSetEvent(r.done, IO_NO_INCREMENT, FALSE);
    }
    m.threadState = nullptr;
}

}  // namespace

PnpManager* PnpIfRunning()
{
    auto [k, lock] = LockKernel();
    return k.pnp.get();
}

NTSTATUS PnpRun(std::function<NTSTATUS()> fn)
{
    PnpManager& m = M();
    if (OnManagerThread(m)) return fn();
    if (!Current()) {
        std::fprintf(stderr, "hosted: the PnP manager's control API was called from a thread that is not hosted\n");
        std::abort();
    }
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    NTSTATUS result = STATUS_UNSUCCESSFUL;
    Enqueue(m, PnpRequest{std::move(fn), &done, &result});
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return result;
}

void PnpPost(std::function<NTSTATUS()> fn)
{
    PnpManager& m = M();
    Enqueue(m, PnpRequest{std::move(fn), nullptr, nullptr});
}

void StopPnpManager()
{
    PnpManager* m = PnpIfRunning();
    if (!m) return;
    {
        std::lock_guard<std::mutex> guard(m->m);
        m->stop = true;
        if (!m->started) return;
    }
    KeSetEvent(&m->work, IO_NO_INCREMENT, FALSE);
}

void LogIrp(IrpRecord record)
{
    PnpManager& m = M();
    std::lock_guard<std::mutex> guard(m.m);
    m.log.push_back(std::move(record));
}

std::string InstanceOf(PDEVICE_OBJECT pdo)
{
    PnpManager& m = M();
    std::lock_guard<std::mutex> guard(m.m);
    for (auto& n : m.nodes)
        if (n->pdo == pdo) return n->instance;
    auto b = m.rootBuses.find(pdo);
    return b == m.rootBuses.end() ? "" : b->second;
}

// Build, send to the top of `pdo`'s stack and wait for one PnP IRP; log it.
NTSTATUS SendPnpIrp(PDEVICE_OBJECT pdo, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& setup,
                    const std::string& params, ULONG_PTR* information, ULONG_PTR initialInformation)
{
    PIRP irp = Io::BuildIrp(pdo, IRP_MJ_PNP, minor);
    IrpRecord rec;
    rec.pdo = pdo;
    rec.instance = InstanceOf(pdo);
    rec.major = IRP_MJ_PNP;
    rec.minor = minor;
    rec.params = params;
    if (!irp) {
        rec.status = STATUS_INSUFFICIENT_RESOURCES;
        rec.time = Clock::Now();
        LogIrp(rec);
        return rec.status;
    }
    irp->IoStatus.Information = initialInformation;
    if (setup) setup(IoGetNextIrpStackLocation(irp));
    bool removal = minor == IRP_MN_REMOVE_DEVICE;
    if (removal) {
        auto [k, lock] = LockKernel();
        k.devices[pdo].removing = true;
    }
    IO_STATUS_BLOCK ios{};
    NTSTATUS st = Io::SendAndWait(pdo, irp, &ios);
    if (removal) {
        auto [k, lock] = LockKernel();
        auto it = k.devices.find(pdo);
        if (it != k.devices.end()) it->second.removing = false;
    }
    rec.status = st;
    rec.information = ios.Information;
    rec.time = Clock::Now();
    LogIrp(rec);
    if (information) *information = ios.Information;
    return st;
}

std::vector<PDEVICE_OBJECT> TakeRelations(ULONG_PTR information)
{
    std::vector<PDEVICE_OBJECT> out;
    auto* rel = reinterpret_cast<PDEVICE_RELATIONS>(information);
    if (!rel) return out;
    for (ULONG i = 0; i < rel->Count; ++i) out.push_back(rel->Objects[i]);
    // The relations list and its references now belong to the manager.
    for (PDEVICE_OBJECT d : out) ObDereferenceObject(d);
    ExFreePool(rel);
    return out;
}

namespace {

PnpNode* FindNode(PnpManager& m, PDEVICE_OBJECT pdo)
{
    std::lock_guard<std::mutex> guard(m.m);
    for (auto& n : m.nodes)
        if (n->pdo == pdo) return n.get();
    return nullptr;
}

NTSTATUS QueryId(PDEVICE_OBJECT pdo, BUS_QUERY_ID_TYPE type, std::vector<std::string>* out)
{
    ULONG_PTR info = 0;
    NTSTATUS st = SendPnpIrp(
        pdo, IRP_MN_QUERY_ID, [&](PIO_STACK_LOCATION sp) { sp->Parameters.QueryId.IdType = type; }, IdName(type),
        &info);
    if (NT_SUCCESS(st) && info) {
        // Device and instance IDs are single strings: the bus need not add a
        // second NUL, so only hardware and compatible IDs are read as lists.
        auto* text = reinterpret_cast<const char16_t*>(info);
        if (type == BusQueryHardwareIDs || type == BusQueryCompatibleIDs) {
            *out = MultiSz(text);
        } else {
            size_t n = 0;
            while (text[n]) ++n;
            *out = {Utf16ToUtf8(text, n)};
        }
        ExFreePool(reinterpret_cast<PVOID>(info));
    } else if (info) {
        ExFreePool(reinterpret_cast<PVOID>(info));
    }
    return st;
}

NTSTATUS QueryCapabilities(PDEVICE_OBJECT pdo, DEVICE_CAPABILITIES* caps)
{
    std::memset(caps, 0, sizeof *caps);
    caps->Size = sizeof *caps;
    caps->Version = 1;
    caps->Address = 0xFFFFFFFF;
    caps->UINumber = 0xFFFFFFFF;
    return SendPnpIrp(
        pdo, IRP_MN_QUERY_CAPABILITIES, [&](PIO_STACK_LOCATION sp) { sp->Parameters.DeviceCapabilities.Capabilities = caps; },
        "", nullptr);
}

PnpDriver* MatchDriver(PnpManager& m, const PnpNode& n, std::string* matchedId = nullptr)
{
    std::lock_guard<std::mutex> guard(m.m);
    auto matches = [&](const std::vector<std::string>& ids, const PnpDriver& d) {
        for (auto& id : ids)
            for (auto& want : d.ids)
                if (Lower(id) == Lower(want)) {
                    if (matchedId) *matchedId = want;
                    return true;
                }
        return false;
    };
    // Hardware IDs first, then compatible IDs, as the ranking does.
    for (auto& d : m.drivers)
        if (matches(n.hardwareIds, *d)) return d.get();
    for (auto& d : m.drivers)
        if (matches(n.compatibleIds, *d)) return d.get();
    return nullptr;
}

// DriverUnload and the checks after it, recorded in the driver log.
void UnloadDriver(PnpManager& m, PnpDriver& d)
{
    std::vector<std::string> problems = d.host->Unload();
    std::lock_guard<std::mutex> guard(m.m);
    m.driverLog.push_back({Clock::Now(), d.service, false, STATUS_SUCCESS, std::move(problems)});
}

void ReleaseDriver(PnpManager& m, PnpNode& n)
{
    PnpDriver* d = nullptr;
    {
        std::lock_guard<std::mutex> guard(m.m);
        for (auto& x : m.drivers)
            if (x->service == n.service) d = x.get();
    }
    n.service.clear();
    if (!d || --d->devices > 0) return;
    // The driver's last device is gone: unload it and check what it left.
    UnloadDriver(m, *d);
}

// After IRP_MN_REMOVE_DEVICE the function and filter devices must be gone.
void CheckStackGone(PnpNode& n)
{
    auto [k, lock] = LockKernel();
    if (k.devices.count(n.pdo) && n.pdo->AttachedDevice)
        Violation(lock, "after IRP_MN_REMOVE_DEVICE a device is still attached to the physical device object of " +
                            n.instance + " (missing IoDetachDevice/IoDeleteDevice)");
}

// IRP_MN_QUERY_PNP_DEVICE_STATE. A stack that reports its device failed or
// removed is taken down (surprise removal, then removal) and stays so until
// it is enabled again. Returns false then.
bool QueryState(PnpManager& m, PnpNode& n)
{
    ULONG_PTR pnpState = 0;
    NTSTATUS st = SendPnpIrp(n.pdo, IRP_MN_QUERY_PNP_DEVICE_STATE, nullptr, "", &pnpState, 0);
    if (!NT_SUCCESS(st)) return true;
    n.pnpState = ULONG(pnpState);
    if (!(n.pnpState & (PNP_DEVICE_FAILED | PNP_DEVICE_REMOVED))) return true;
    SendPnpIrp(n.pdo, IRP_MN_SURPRISE_REMOVAL, nullptr, "", nullptr);
    SendPnpIrp(n.pdo, IRP_MN_REMOVE_DEVICE, nullptr, "", nullptr);
    CheckStackGone(n);
    n.state = DeviceState::StartFailed;
    ReleaseDriver(m, n);
    return false;
}

NTSTATUS StartStack(PnpManager& m, PnpNode& n)
{
    ULONG_PTR info = 0;
    SendPnpIrp(n.pdo, IRP_MN_FILTER_RESOURCE_REQUIREMENTS, nullptr, "", &info, 0);
    if (info) ExFreePool(reinterpret_cast<PVOID>(info));
    NTSTATUS st = SendPnpIrp(
        n.pdo, IRP_MN_START_DEVICE,
        [](PIO_STACK_LOCATION sp) {
            // A USB device has no hardware resources of its own.
            sp->Parameters.StartDevice.AllocatedResources = nullptr;
            sp->Parameters.StartDevice.AllocatedResourcesTranslated = nullptr;
        },
        "", nullptr);
    if (!NT_SUCCESS(st)) {
        // A failed start is followed by removal of the stack.
        SendPnpIrp(n.pdo, IRP_MN_REMOVE_DEVICE, nullptr, "", nullptr);
        CheckStackGone(n);
        n.state = DeviceState::StartFailed;
        ReleaseDriver(m, n);
        return st;
    }
    n.state = DeviceState::Started;
    QueryCapabilities(n.pdo, &n.caps);
    if (!QueryState(m, n)) return STATUS_UNSUCCESSFUL;
    Rescan(n.pdo);
    return st;
}

// AddDevice and the start sequence for an enumerated device with a driver.
NTSTATUS AddAndStart(PnpManager& m, PnpNode& n)
{
    std::string matchedId;
    PnpDriver* d = MatchDriver(m, n, &matchedId);
    if (!d) return STATUS_SUCCESS;  // no function driver: stays enumerated
    if (d->install) d->install(n.pdo, matchedId);
    if (!d->host) d->host = std::make_unique<DriverHost>(d->entry, d->service);
    if (!d->host->Loaded()) {
        NTSTATUS st = d->host->Load();
        {
            std::lock_guard<std::mutex> guard(m.m);
            m.driverLog.push_back({Clock::Now(), d->service, true, st, {}});
        }
        if (!NT_SUCCESS(st)) {
            n.state = DeviceState::StartFailed;
            return st;
        }
    }
    NTSTATUS st = d->host->AddDevice(n.pdo);
    if (!NT_SUCCESS(st)) {
        n.state = DeviceState::StartFailed;
        if (d->devices == 0) UnloadDriver(m, *d);
        return st;
    }
    d->devices++;
    n.service = d->service;
    {
        auto [k, lock] = LockKernel();
        for (PDEVICE_OBJECT dev = n.pdo->AttachedDevice; dev; dev = dev->AttachedDevice)
            if (dev->Flags & DO_DEVICE_INITIALIZING)
                Violation(lock, "AddDevice of " + d->service + " returned with DO_DEVICE_INITIALIZING still set on device " +
                                    Hex(uint64_t(dev)));
    }
    return StartStack(m, n);
}

NTSTATUS EnumerateNew(PnpManager& m, PDEVICE_OBJECT pdo, PDEVICE_OBJECT parent)
{
    auto node = std::make_unique<PnpNode>();
    node->pdo = pdo;
    node->parent = parent;
    PnpNode& n = *node;
    {
        std::lock_guard<std::mutex> guard(m.m);
        m.nodes.push_back(std::move(node));
    }
    std::vector<std::string> devId, instId;
    QueryId(pdo, BusQueryDeviceID, &devId);
    QueryId(pdo, BusQueryInstanceID, &instId);
    {
        std::lock_guard<std::mutex> guard(m.m);
        n.instance = (devId.empty() ? "UNKNOWN" : devId[0]) + "\\" + (instId.empty() ? "0" : instId[0]);
    }
    QueryId(pdo, BusQueryHardwareIDs, &n.hardwareIds);
    QueryId(pdo, BusQueryCompatibleIDs, &n.compatibleIds);
    QueryCapabilities(pdo, &n.caps);
    ULONG_PTR info = 0;
    SendPnpIrp(pdo, IRP_MN_QUERY_RESOURCE_REQUIREMENTS, nullptr, "", &info, 0);
    if (info) ExFreePool(reinterpret_cast<PVOID>(info));
    return AddAndStart(m, n);
}

// Remove a node's stack (children first). `missing`: the bus no longer
// reports it, so a started stack gets IRP_MN_SURPRISE_REMOVAL first and the
// node leaves the tree.
void RemoveNode(PnpManager& m, PnpNode& n, bool missing)
{
    std::vector<PnpNode*> children;
    {
        std::lock_guard<std::mutex> guard(m.m);
        for (auto& c : m.nodes)
            if (c->parent == n.pdo && c->state != DeviceState::Removed) children.push_back(c.get());
    }
    for (PnpNode* c : children) {
        // Children go with their parent's stack: their bus (the parent's
        // function driver) deletes their PDOs on removal.
        RemoveNode(m, *c, missing);
        std::lock_guard<std::mutex> guard(m.m);
        c->state = DeviceState::Removed;
        c->pdo = nullptr;
    }
    bool hadStack = !n.service.empty();
    if (missing && n.state == DeviceState::Started) {
        n.state = DeviceState::SurpriseRemoved;
        SendPnpIrp(n.pdo, IRP_MN_SURPRISE_REMOVAL, nullptr, "", nullptr);
    }
    // A disabled device's stack is gone already; its PDO gets the removal
    // again once the bus reports it missing, and then deletes it.
    if (n.state != DeviceState::Disabled || missing) SendPnpIrp(n.pdo, IRP_MN_REMOVE_DEVICE, nullptr, "", nullptr);
    if (hadStack) {
        CheckStackGone(n);
        ReleaseDriver(m, n);
    }
    n.state = missing ? DeviceState::Removed : DeviceState::Disabled;
    if (missing) {
        std::lock_guard<std::mutex> guard(m.m);
        n.pdo = nullptr;  // the bus deletes it
    }
}

}  // namespace

void Rescan(PDEVICE_OBJECT parent)
{
    PnpManager& m = M();
    ULONG_PTR info = 0;
    NTSTATUS st = SendPnpIrp(
        parent, IRP_MN_QUERY_DEVICE_RELATIONS,
        [](PIO_STACK_LOCATION sp) { sp->Parameters.QueryDeviceRelations.Type = BusRelations; }, "BusRelations",
        &info, 0);
    if (!NT_SUCCESS(st)) {
        if (info) TakeRelations(info);
        return;
    }
    std::vector<PDEVICE_OBJECT> present = TakeRelations(info);
    std::vector<PnpNode*> gone;
    {
        std::lock_guard<std::mutex> guard(m.m);
        for (auto& n : m.nodes)
            if (n->parent == parent && n->pdo && n->state != DeviceState::Removed &&
                std::find(present.begin(), present.end(), n->pdo) == present.end())
                gone.push_back(n.get());
    }
    for (PnpNode* n : gone) RemoveNode(m, *n, true);
    for (PDEVICE_OBJECT pdo : present)
        if (!FindNode(m, pdo)) EnumerateNew(m, pdo, parent);
}

void PnpInvalidateRelations(PDEVICE_OBJECT device, DEVICE_RELATION_TYPE type)
{
    if (type != BusRelations) return;
    PnpManager* m = PnpIfRunning();
    if (!m) return;
    bool known;
    {
        std::lock_guard<std::mutex> guard(m->m);
        known = m->rootBuses.count(device) != 0;
        for (auto& n : m->nodes)
            if (n->pdo == device && n->state == DeviceState::Started) known = true;
        if (!known) {
            // A function device asks for its own stack: find it by its PDO.
            for (auto& n : m->nodes)
                if (n->pdo && n->state == DeviceState::Started) {
                    for (PDEVICE_OBJECT d = n->pdo->AttachedDevice; d; d = d->AttachedDevice)
                        if (d == device) {
                            device = n->pdo;
                            known = true;
                        }
                }
        }
    }
    if (!known) return;
    PnpPost([device] {
        Rescan(device);
        return STATUS_SUCCESS;
    });
}

void PnpInvalidateState(PDEVICE_OBJECT pdo)
{
    if (!PnpIfRunning()) return;
    PnpPost([pdo] {
        PnpManager& m = M();
        PnpNode* n = FindNode(m, pdo);
        if (n && n->state == DeviceState::Started) QueryState(m, *n);
        return STATUS_SUCCESS;
    });
}

std::vector<PnpNode*> StartedNodes(bool leavesFirst)
{
    PnpManager& m = M();
    std::lock_guard<std::mutex> guard(m.m);
    std::vector<PnpNode*> out;
    for (auto& n : m.nodes)
        if (n->state == DeviceState::Started && n->pdo) out.push_back(n.get());
    // Nodes are kept in enumeration order, parents before children.
    if (leavesFirst) std::reverse(out.begin(), out.end());
    return out;
}

}  // namespace hosted::detail

// ---------------------------------------------------------------- control API

namespace hosted {

std::string IrpRecord::Name() const
{
    std::string n;
    if (major == IRP_MJ_POWER) {
        switch (minor) {
        case IRP_MN_WAIT_WAKE: n = "WAIT_WAKE"; break;
        case IRP_MN_POWER_SEQUENCE: n = "POWER_SEQUENCE"; break;
        case IRP_MN_SET_POWER: n = "SET_POWER"; break;
        case IRP_MN_QUERY_POWER: n = "QUERY_POWER"; break;
        default: n = "POWER_0x??"; break;
        }
    } else {
        n = PnpMinorName(minor);
    }
    return params.empty() ? n : n + "(" + params + ")";
}

void Pnp::RegisterDriver(const std::string& service, PDRIVER_INITIALIZE entry, std::vector<std::string> ids)
{
    PnpManager& m = M();
    std::lock_guard<std::mutex> guard(m.m);
    auto d = std::make_unique<PnpDriver>();
    d->service = service;
    d->entry = entry;
    d->ids = std::move(ids);
    m.drivers.push_back(std::move(d));
}

void Pnp::RegisterDriver(const std::string& service, PDRIVER_INITIALIZE entry, std::vector<std::string> ids,
                         DeviceInstaller install)
{
    RegisterDriver(service, entry, std::move(ids));
    PnpManager& m = M();
    std::lock_guard<std::mutex> guard(m.m);
    m.drivers.back()->install = std::move(install);
}

void Pnp::AddRootBus(PDEVICE_OBJECT parent, const std::string& instance)
{
    PnpRun([parent, instance] {
        PnpManager& m = M();
        {
            std::lock_guard<std::mutex> guard(m.m);
            m.rootBuses[parent] = instance;
        }
        Rescan(parent);
        return STATUS_SUCCESS;
    });
}

void Pnp::RemoveRootBus(PDEVICE_OBJECT parent)
{
    PnpRun([parent] {
        PnpManager& m = M();
        std::vector<PnpNode*> children;
        {
            std::lock_guard<std::mutex> guard(m.m);
            for (auto& n : m.nodes)
                if (n->parent == parent && n->pdo && n->state != DeviceState::Removed) children.push_back(n.get());
        }
        for (PnpNode* n : children) {
            if (n->state == DeviceState::Started) {
                SendPnpIrp(n->pdo, IRP_MN_QUERY_REMOVE_DEVICE, nullptr, "", nullptr);
            }
            RemoveNode(m, *n, false);
            std::lock_guard<std::mutex> guard(m.m);
            n->state = DeviceState::Removed;
            n->pdo = nullptr;
        }
        std::lock_guard<std::mutex> guard(m.m);
        m.rootBuses.erase(parent);
        return STATUS_SUCCESS;
    });
}

void Pnp::WaitIdle()
{
    PnpManager* m = PnpIfRunning();
    if (!m) return;
    {
        std::lock_guard<std::mutex> guard(m->m);
        if (!m->started) return;
    }
    if (OnManagerThread(*m)) return;
    KeWaitForSingleObject(&m->idle, Executive, KernelMode, FALSE, nullptr);
}

std::vector<PDEVICE_OBJECT> Pnp::Devices()
{
    PnpManager& m = M();
    std::lock_guard<std::mutex> guard(m.m);
    std::vector<PDEVICE_OBJECT> out;
    for (auto& n : m.nodes)
        if (n->pdo) out.push_back(n->pdo);
    return out;
}

DeviceState Pnp::State(PDEVICE_OBJECT pdo)
{
    PnpManager& m = M();
    PnpNode* n = FindNode(m, pdo);
    return n ? n->state : DeviceState::Removed;
}

std::string Pnp::Instance(PDEVICE_OBJECT pdo) { return InstanceOf(pdo); }

PDEVICE_OBJECT Pnp::Top(PDEVICE_OBJECT pdo)
{
    auto [k, lock] = LockKernel();
    if (!k.devices.count(pdo)) return nullptr;
    while (pdo->AttachedDevice) pdo = pdo->AttachedDevice;
    return pdo;
}

PDRIVER_OBJECT Pnp::Driver(const std::string& service)
{
    PnpManager& m = M();
    std::lock_guard<std::mutex> guard(m.m);
    for (auto& d : m.drivers)
        if (d->service == service && d->host && d->host->Loaded()) return d->host->Object();
    return nullptr;
}

bool Pnp::DriverLoaded(const std::string& service) { return Driver(service) != nullptr; }

namespace {

// Asks the stack whether it may stop or be removed (`query`); a stack that
// refuses gets the matching cancel, as every driver that saw the query
// expects, and the refusal is returned.
NTSTATUS QueryOrCancel(PnpNode& n, UCHAR query, UCHAR cancel)
{
    NTSTATUS st = SendPnpIrp(n.pdo, query, nullptr, "", nullptr);
    if (!NT_SUCCESS(st)) SendPnpIrp(n.pdo, cancel, nullptr, "", nullptr);
    return st;
}

template <class F>
NTSTATUS OnNode(PDEVICE_OBJECT pdo, F&& f)
{
    return PnpRun([pdo, f] {
        PnpManager& m = M();
        PnpNode* n = FindNode(m, pdo);
        if (!n) return STATUS_NO_SUCH_DEVICE;
        return f(m, *n);
    });
}

}  // namespace

NTSTATUS Pnp::Rebalance(PDEVICE_OBJECT pdo)
{
    return OnNode(pdo, [](PnpManager& m, PnpNode& n) {
        if (n.state != DeviceState::Started) return STATUS_INVALID_DEVICE_STATE;
        NTSTATUS st = QueryOrCancel(n, IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE);
        if (!NT_SUCCESS(st)) return st;
        SendPnpIrp(n.pdo, IRP_MN_STOP_DEVICE, nullptr, "", nullptr);
        return StartStack(m, n);
    });
}

NTSTATUS Pnp::Disable(PDEVICE_OBJECT pdo)
{
    return OnNode(pdo, [](PnpManager& m, PnpNode& n) {
        if (n.state != DeviceState::Started) return STATUS_INVALID_DEVICE_STATE;
        NTSTATUS st = QueryOrCancel(n, IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE);
        if (!NT_SUCCESS(st)) return st;
        RemoveNode(m, n, false);
        return STATUS_SUCCESS;
    });
}

NTSTATUS Pnp::Enable(PDEVICE_OBJECT pdo)
{
    return OnNode(pdo, [](PnpManager& m, PnpNode& n) {
        if (n.state != DeviceState::Disabled && n.state != DeviceState::StartFailed) return STATUS_INVALID_DEVICE_STATE;
        n.state = DeviceState::Enumerated;
        return AddAndStart(m, n);
    });
}

NTSTATUS Pnp::Eject(PDEVICE_OBJECT pdo)
{
    return OnNode(pdo, [](PnpManager& m, PnpNode& n) {
        if (n.state == DeviceState::Started) {
            NTSTATUS st = QueryOrCancel(n, IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE);
            if (!NT_SUCCESS(st)) return st;
            RemoveNode(m, n, false);
        }
        // The stack is down to the PDO: its bus driver ejects the device.
        return SendPnpIrp(n.pdo, IRP_MN_EJECT, nullptr, "", nullptr);
    });
}

NTSTATUS Pnp::QueryRelations(PDEVICE_OBJECT pdo, DEVICE_RELATION_TYPE type, std::vector<PDEVICE_OBJECT>* objects)
{
    return OnNode(pdo, [type, objects](PnpManager&, PnpNode& n) {
        ULONG_PTR info = 0;
        NTSTATUS st = SendPnpIrp(
            n.pdo, IRP_MN_QUERY_DEVICE_RELATIONS,
            [type](PIO_STACK_LOCATION sp) { sp->Parameters.QueryDeviceRelations.Type = type; }, RelationName(type),
            &info, 0);
        std::vector<PDEVICE_OBJECT> list = TakeRelations(info);
        if (objects) *objects = list;
        return st;
    });
}

std::vector<IrpRecord> Pnp::Log()
{
    PnpManager& m = M();
    std::lock_guard<std::mutex> guard(m.m);
    return m.log;
}

std::vector<DriverRecord> Pnp::DriverLog()
{
    PnpManager& m = M();
    std::lock_guard<std::mutex> guard(m.m);
    return m.driverLog;
}

void Pnp::ClearLog()
{
    PnpManager& m = M();
    std::lock_guard<std::mutex> guard(m.m);
    m.log.clear();
}

bool Pnp::LastIrp(PDEVICE_OBJECT pdo, UCHAR minor, IrpRecord* out)
{
    PnpManager& m = M();
    std::lock_guard<std::mutex> guard(m.m);
    for (auto it = m.log.rbegin(); it != m.log.rend(); ++it)
        if (it->pdo == pdo && it->major == IRP_MJ_PNP && it->minor == minor) {
            if (out) *out = *it;
            return true;
        }
    return false;
}

}  // namespace hosted

namespace hosted::detail {
std::string PowerParams(const PIO_STACK_LOCATION sp) { return PowerName(sp->MinorFunction, sp); }
}  // namespace hosted::detail
