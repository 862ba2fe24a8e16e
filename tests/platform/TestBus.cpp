#include "TestBus.h"

#include <cstring>

#include <hosted/hosted.h>

#include "../support/CompleteAt.h"

namespace platformtest {

struct TestBus::Child {
    bool present = true;
    int number = 0;
    PIRP waitWake = nullptr;
    DEVICE_POWER_STATE power = PowerDeviceD0;
};

namespace {

constexpr ULONG kTag = 0x73754254;  // "TBus"

struct BusState {
    std::vector<PDEVICE_OBJECT> children;
    KSPIN_LOCK lock = 0;
    bool atDispatch = false;
    struct Fault {
        NTSTATUS status;
        uint64_t nth;   // 0: every one; N: only the Nth from when it was set
        uint64_t seen;  // matching IRPs since then
    };
    std::multimap<std::pair<UCHAR, UCHAR>, Fault> faults;
    int next = 0;
};

BusState g;

using Child = TestBus::Child;

Child* ChildOf(PDEVICE_OBJECT pdo) { return static_cast<Child*>(pdo->DeviceExtension); }

// Complete at the configured IRQL.
void Complete(PIRP irp, NTSTATUS status) { orvex::test::CompleteAt(irp, status, g.atDispatch); }

bool Injected(UCHAR major, UCHAR minor, NTSTATUS* status)
{
    bool fired = false;
    auto [from, to] = g.faults.equal_range({major, minor});
    for (auto it = from; it != to; ++it) {
        BusState::Fault& f = it->second;
        if ((f.nth == 0 || ++f.seen == f.nth) && !fired) {
            *status = f.status;
            fired = true;
        }
    }
    return fired;
}

// The IDs in UTF-16 in an exactly sized pool block: a list ends with an
// empty string, a single ID (device, instance) with its one NUL.
PWCHAR IdText(const std::vector<std::string>& strings, bool single)
{
    size_t n = single ? 0 : 1;
    for (auto& s : strings) n += s.size() + 1;
    auto* out = static_cast<char16_t*>(ExAllocatePoolWithTag(PagedPool, n * 2, kTag));
    if (!out) return nullptr;
    size_t i = 0;
    for (auto& s : strings) {
        for (char c : s) out[i++] = char16_t(c);
        out[i++] = 0;
    }
    if (!single) out[i] = 0;
    return reinterpret_cast<PWCHAR>(out);
}

VOID NTAPI WaitWakeCancel(PDEVICE_OBJECT pdo, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    KIRQL old;
    KeAcquireSpinLock(&g.lock, &old);
    if (ChildOf(pdo)->waitWake == irp) ChildOf(pdo)->waitWake = nullptr;
    KeReleaseSpinLock(&g.lock, old);
    Complete(irp, STATUS_CANCELLED);
}

NTSTATUS PdoPower(PDEVICE_OBJECT pdo, PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    Child* c = ChildOf(pdo);
    NTSTATUS status;
    if (Injected(IRP_MJ_POWER, sp->MinorFunction, &status)) {
        PoStartNextPowerIrp(irp);
        Complete(irp, status);
        return status;
    }
    switch (sp->MinorFunction) {
    case IRP_MN_SET_POWER:
        if (sp->Parameters.Power.Type == DevicePowerState) {
            c->power = sp->Parameters.Power.State.DeviceState;
            PoSetPowerState(pdo, DevicePowerState, sp->Parameters.Power.State);
        }
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_POWER:
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_WAIT_WAKE: {
        KIRQL old;
        KeAcquireSpinLock(&g.lock, &old);
        // The function driver keeps at most one armed, for a state it can wake from.
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, WaitWakeCancel);
        if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) {
            KeReleaseSpinLock(&g.lock, old);
            Complete(irp, STATUS_CANCELLED);
            return STATUS_PENDING;
        }
        c->waitWake = irp;
        KeReleaseSpinLock(&g.lock, old);
        return STATUS_PENDING;
    }
    default:
        status = irp->IoStatus.Status;
        break;
    }
    PoStartNextPowerIrp(irp);
    Complete(irp, status);
    return status;
}

NTSTATUS PdoPnp(PDEVICE_OBJECT pdo, PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    Child* c = ChildOf(pdo);
    NTSTATUS status = irp->IoStatus.Status;
    if (Injected(IRP_MJ_PNP, sp->MinorFunction, &status)) {
        Complete(irp, status);
        return status;
    }
    switch (sp->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_EJECT:
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_REMOVE_DEVICE:
        if (!c->present) {
            // Reported missing: the PDO goes away with its removal.
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            IoDeleteDevice(pdo);
            return STATUS_SUCCESS;
        }
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_ID: {
        std::vector<std::string> ids;
        switch (sp->Parameters.QueryId.IdType) {
        case BusQueryDeviceID: ids = {"TESTBUS\\VID_1234&PID_0001"}; break;
        case BusQueryInstanceID: ids = {std::to_string(c->number)}; break;
        case BusQueryHardwareIDs: ids = {TestBus::kHardwareId, "TESTBUS\\VID_1234"}; break;
        case BusQueryCompatibleIDs: ids = {TestBus::kCompatibleId}; break;
        default: break;
        }
        if (ids.empty()) break;
        bool single = sp->Parameters.QueryId.IdType == BusQueryDeviceID ||
                      sp->Parameters.QueryId.IdType == BusQueryInstanceID;
        PWCHAR buf = IdText(ids, single);
        irp->IoStatus.Information = ULONG_PTR(buf);
        status = buf ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
        break;
    }
    case IRP_MN_QUERY_CAPABILITIES: {
        PDEVICE_CAPABILITIES caps = sp->Parameters.DeviceCapabilities.Capabilities;
        caps->DeviceD1 = 0;
        caps->DeviceD2 = 1;
        caps->WakeFromD2 = 1;
        caps->Removable = 1;
        caps->SurpriseRemovalOK = 1;
        caps->Address = ULONG(c->number);
        caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
        for (int s = PowerSystemSleeping1; s <= PowerSystemShutdown; ++s)
            caps->DeviceState[s] = s <= PowerSystemSleeping3 ? PowerDeviceD2 : PowerDeviceD3;
        caps->SystemWake = PowerSystemSleeping3;
        caps->DeviceWake = PowerDeviceD2;
        status = STATUS_SUCCESS;
        break;
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (sp->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
            auto* rel = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kTag));
            rel->Count = 1;
            rel->Objects[0] = pdo;
            ObReferenceObject(pdo);
            irp->IoStatus.Information = ULONG_PTR(rel);
            status = STATUS_SUCCESS;
        }
        break;
    default:
        break;
    }
    Complete(irp, status);
    return status;
}

NTSTATUS NTAPI BusPnp(PDEVICE_OBJECT dev, PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (dev->DeviceExtension) return PdoPnp(dev, irp);
    NTSTATUS status = irp->IoStatus.Status;
    if (sp->MinorFunction == IRP_MN_QUERY_DEVICE_RELATIONS && sp->Parameters.QueryDeviceRelations.Type == BusRelations) {
        std::vector<PDEVICE_OBJECT> present;
        for (PDEVICE_OBJECT c : g.children)
            if (ChildOf(c)->present) present.push_back(c);
        size_t size = sizeof(DEVICE_RELATIONS) + (present.empty() ? 0 : present.size() - 1) * sizeof(PDEVICE_OBJECT);
        auto* rel = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, size, kTag));
        rel->Count = ULONG(present.size());
        for (size_t i = 0; i < present.size(); ++i) {
            rel->Objects[i] = present[i];
            ObReferenceObject(present[i]);
        }
        // A child reported missing stays ours until its removal reaches it.
        irp->IoStatus.Information = ULONG_PTR(rel);
        status = STATUS_SUCCESS;
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI BusPower(PDEVICE_OBJECT dev, PIRP irp)
{
    if (dev->DeviceExtension) return PdoPower(dev, irp);
    PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

}  // namespace

TestBus::TestBus()
{
    g = BusState{};
    KeInitializeSpinLock(&g.lock);
    driver_ = hosted::Io::CreateDriver("\\Driver\\testbus");
    driver_->MajorFunction[IRP_MJ_PNP] = BusPnp;
    driver_->MajorFunction[IRP_MJ_POWER] = BusPower;
    IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &fdo_);
    fdo_->Flags &= ~DO_DEVICE_INITIALIZING;
}

TestBus::~TestBus()
{
    for (PDEVICE_OBJECT c : g.children) IoDeleteDevice(c);  // still present: never removed
    g.children.clear();
    IoDeleteDevice(fdo_);
    hosted::Io::DeleteDriver(driver_);
}

PDEVICE_OBJECT TestBus::Plug()
{
    PDEVICE_OBJECT pdo = hosted::Io::CreatePdo(driver_, sizeof(Child));
    auto* c = new (pdo->DeviceExtension) Child;
    c->number = ++g.next;
    g.children.push_back(pdo);
    IoInvalidateDeviceRelations(fdo_, BusRelations);
    return pdo;
}

void TestBus::Unplug(PDEVICE_OBJECT pdo)
{
    ChildOf(pdo)->present = false;
    std::erase(g.children, pdo);
    IoInvalidateDeviceRelations(fdo_, BusRelations);
}

bool TestBus::SignalWake(PDEVICE_OBJECT pdo)
{
    KIRQL old;
    KeAcquireSpinLock(&g.lock, &old);
    PIRP irp = ChildOf(pdo)->waitWake;
    // A NULL cancel routine means the cancel routine owns the IRP now.
    if (irp && IoSetCancelRoutine(irp, nullptr))
        ChildOf(pdo)->waitWake = nullptr;
    else
        irp = nullptr;
    KeReleaseSpinLock(&g.lock, old);
    if (!irp) return false;
    PoStartNextPowerIrp(irp);
    Complete(irp, STATUS_SUCCESS);
    return true;
}

bool TestBus::WaitWakePending(PDEVICE_OBJECT pdo) { return ChildOf(pdo)->waitWake != nullptr; }

void TestBus::CompleteAtDispatch(bool on) { g.atDispatch = on; }

void TestBus::Fail(UCHAR major, UCHAR minor, NTSTATUS status, uint64_t nth)
{
    g.faults.insert({{major, minor}, {status, nth, 0}});
}

}  // namespace platformtest
