// The platform's test subjects: a bus PDO and a WDM function driver over
// kernel streaming and the WMI library (see TestDriver.h).
#include "TestDriver.h"

#include <cstring>

#include <hosted/hosted.h>

namespace kstest {

// {6B1A4C10-2F3E-4D5A-9B7C-0E1F2A3B4C5D}
const GUID kBlockA = {0x6b1a4c10, 0x2f3e, 0x4d5a, {0x9b, 0x7c, 0x0e, 0x1f, 0x2a, 0x3b, 0x4c, 0x5d}};
// {6B1A4C11-2F3E-4D5A-9B7C-0E1F2A3B4C5D}
const GUID kBlockB = {0x6b1a4c11, 0x2f3e, 0x4d5a, {0x9b, 0x7c, 0x0e, 0x1f, 0x2a, 0x3b, 0x4c, 0x5d}};

WMIGUIDREGINFO g_guids[2];
WMILIB_CONTEXT g_wmi;
State g;

namespace {

const char* PnpName(UCHAR minor)
{
    switch (minor) {
    case IRP_MN_START_DEVICE: return "start";
    case IRP_MN_QUERY_REMOVE_DEVICE: return "query-remove";
    case IRP_MN_REMOVE_DEVICE: return "remove";
    case IRP_MN_CANCEL_REMOVE_DEVICE: return "cancel-remove";
    case IRP_MN_STOP_DEVICE: return "stop";
    case IRP_MN_QUERY_STOP_DEVICE: return "query-stop";
    case IRP_MN_CANCEL_STOP_DEVICE: return "cancel-stop";
    case IRP_MN_QUERY_CAPABILITIES: return "caps";
    case IRP_MN_SURPRISE_REMOVAL: return "surprise";
    default: return "other";
    }
}

void Log(const std::string& s) { g.log += s + " "; }

Extension* Ext(PDEVICE_OBJECT fdo) { return static_cast<Extension*>(fdo->DeviceExtension); }

// ---------------------------------------------------------------- bus

LARGE_INTEGER Ms(int64_t ms)
{
    LARGE_INTEGER li;
    li.QuadPart = -ms * 10000;
    return li;
}

NTSTATUS NTAPI BusPnp(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS st = irp->IoStatus.Status;
    switch (sp->MinorFunction) {
    case IRP_MN_START_DEVICE:
        Log("bus:start");
        if (g.bus.pendStart) {
            IoMarkIrpPending(irp);
            hosted::StartThread("bus", [irp] {
                LARGE_INTEGER delay = Ms(5);
                KeDelayExecutionThread(KernelMode, FALSE, &delay);
                irp->IoStatus.Status = g.bus.startStatus;
                IoCompleteRequest(irp, IO_NO_INCREMENT);
            });
            return STATUS_PENDING;
        }
        st = g.bus.startStatus;
        break;
    case IRP_MN_QUERY_CAPABILITIES:
        Log("bus:caps");
        sp->Parameters.DeviceCapabilities.Capabilities->SystemWake = PowerSystemSleeping3;
        st = STATUS_SUCCESS;
        break;
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        Log(std::string("bus:") + PnpName(sp->MinorFunction));
        st = STATUS_SUCCESS;
        break;
    default:
        break;  // not handled: the status stays as it came
    }
    irp->IoStatus.Status = st;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return st;
}

// Sets and queries succeed; anything else (wait-wake included: this bus
// cannot wake) is completed with the status it came with.
NTSTATUS NTAPI BusPower(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS st = irp->IoStatus.Status;
    if (sp->MinorFunction == IRP_MN_SET_POWER && sp->Parameters.Power.Type == DevicePowerState) {
        Log("bus:D" + std::to_string(sp->Parameters.Power.State.DeviceState - 1));
        st = STATUS_SUCCESS;
    } else if (sp->MinorFunction == IRP_MN_SET_POWER || sp->MinorFunction == IRP_MN_QUERY_POWER) {
        st = STATUS_SUCCESS;
    }
    PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = st;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return st;
}

// The bottom of the stack: system-control requests for nobody below end here.
NTSTATUS NTAPI BusSystemControl(PDEVICE_OBJECT, PIRP irp)
{
    NTSTATUS st = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return st;
}

// ---------------------------------------------------------------- KSDEVICE callbacks

NTSTATUS NTAPI OnAdd(PKSDEVICE d)
{
    Log("Add");
    d->Context = &g;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI OnStart(PKSDEVICE d, PIRP, PCM_RESOURCE_LIST, PCM_RESOURCE_LIST)
{
    Log("Start");
    if (g.faults.startReturnsPending) return STATUS_PENDING;
    if (g.faults.registerInStart && !Ext(d->FunctionalDeviceObject)->wmiRegistered) {
        NTSTATUS st = IoWMIRegistrationControl(d->FunctionalDeviceObject, WMIREG_ACTION_REGISTER);
        if (!NT_SUCCESS(st)) return st;
        Ext(d->FunctionalDeviceObject)->wmiRegistered = true;
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI OnPostStart(PKSDEVICE)
{
    g.postStartThread = hosted::CurrentThreadName();
    Log("PostStart");
    return g.faults.postStartStatus;
}

void Deregister(PKSDEVICE d)
{
    Extension* e = Ext(d->FunctionalDeviceObject);
    if (e->wmiRegistered && !g.faults.keepWmiAtRemove) {
        IoWMIRegistrationControl(d->FunctionalDeviceObject, WMIREG_ACTION_DEREGISTER);
        e->wmiRegistered = false;
    }
}

NTSTATUS NTAPI OnQueryStop(PKSDEVICE, PIRP)
{
    Log("QueryStop");
    return g.faults.queryStopStatus;
}
VOID NTAPI OnCancelStop(PKSDEVICE, PIRP) { Log("CancelStop"); }
VOID NTAPI OnStop(PKSDEVICE, PIRP) { Log("Stop"); }
NTSTATUS NTAPI OnQueryRemove(PKSDEVICE, PIRP) { Log("QueryRemove"); return STATUS_SUCCESS; }
VOID NTAPI OnCancelRemove(PKSDEVICE, PIRP) { Log("CancelRemove"); }
VOID NTAPI OnRemove(PKSDEVICE d, PIRP)
{
    Log("Remove");
    Deregister(d);
}
VOID NTAPI OnSurpriseRemoval(PKSDEVICE d, PIRP)
{
    Log("SurpriseRemoval");
    Deregister(d);  // no WMI request may reach a device that is gone
}
NTSTATUS NTAPI OnCaps(PKSDEVICE, PIRP, PDEVICE_CAPABILITIES caps)
{
    Log("Caps:S" + std::to_string(caps->SystemWake - 1));
    return STATUS_SUCCESS;
}
NTSTATUS NTAPI OnQueryPower(PKSDEVICE, PIRP, DEVICE_POWER_STATE to, DEVICE_POWER_STATE, SYSTEM_POWER_STATE,
                      SYSTEM_POWER_STATE, POWER_ACTION)
{
    Log("QueryPower:D" + std::to_string(to - 1));
    return to == PowerDeviceD1 ? STATUS_NOT_SUPPORTED : STATUS_SUCCESS;
}
VOID NTAPI OnSetPower(PKSDEVICE, PIRP, DEVICE_POWER_STATE to, DEVICE_POWER_STATE)
{
    Log("SetPower:D" + std::to_string(to - 1));
}

const KSDEVICE_DISPATCH kDispatch = {OnAdd,    OnStart,      OnPostStart,   OnQueryStop,       OnCancelStop,
                                     OnStop,   OnQueryRemove, OnCancelRemove, OnRemove,          OnCaps,
                                     OnSurpriseRemoval, OnQueryPower, OnSetPower, nullptr};
const KSDEVICE_DESCRIPTOR kDescriptor = {&kDispatch, 0, nullptr, KSDEVICE_DESCRIPTOR_VERSION};

// ---------------------------------------------------------------- WMI callbacks

char16_t g_longBase[400];

NTSTATUS NTAPI QueryRegInfo(PDEVICE_OBJECT fdo, PULONG flags, PUNICODE_STRING instanceName, PUNICODE_STRING* path,
                      PUNICODE_STRING, PDEVICE_OBJECT* pdo)
{
    g.regInfoThread = hosted::CurrentThreadName();
    g.regInfoIrql = KeGetCurrentIrql();
    *path = nullptr;
    if (g.faults.longBaseName) {
        *flags = WMIREG_FLAG_INSTANCE_BASENAME;
        for (size_t i = 0; i < 399; ++i) g_longBase[i] = u'x';
        instanceName->Buffer = reinterpret_cast<PWSTR>(g_longBase);
        instanceName->Length = instanceName->MaximumLength = USHORT(399 * 2);
        *pdo = nullptr;
    } else {
        *flags = WMIREG_FLAG_INSTANCE_PDO;
        *pdo = Ext(fdo)->ks->PhysicalDeviceObject;
    }
    return STATUS_SUCCESS;
}

NTSTATUS FinishQuery(PDEVICE_OBJECT fdo, PIRP irp, ULONG guidIndex, ULONG instance, ULONG count, PULONG lengths,
                     ULONG avail, PUCHAR buf)
{
    ULONG need = count * sizeof(ULONG);
    NTSTATUS st;
    if (avail < need) {
        st = WmiCompleteRequest(fdo, irp, STATUS_BUFFER_TOO_SMALL, need, IO_NO_INCREMENT);
    } else {
        for (ULONG i = 0; i < count; ++i) {
            ULONG v = guidIndex == 0 ? g.valueA : g.valuesB[instance + i];
            std::memcpy(buf + i * sizeof(ULONG), &v, sizeof v);
            lengths[i] = sizeof(ULONG);
        }
        st = WmiCompleteRequest(fdo, irp, STATUS_SUCCESS, need, IO_NO_INCREMENT);
    }
    g.lastCompleteReturn = st;
    return st;
}

NTSTATUS NTAPI QueryBlock(PDEVICE_OBJECT fdo, PIRP irp, ULONG guidIndex, ULONG instance, ULONG count, PULONG lengths,
                    ULONG avail, PUCHAR buf)
{
    if (!g.faults.pendQueries) return FinishQuery(fdo, irp, guidIndex, instance, count, lengths, avail, buf);
    IoMarkIrpPending(irp);
    hosted::StartThread("query worker", [=] {
        LARGE_INTEGER delay = Ms(10);
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
        FinishQuery(fdo, irp, guidIndex, instance, count, lengths, avail, buf);
    });
    KeSetEvent(&g.queryArrived, IO_NO_INCREMENT, FALSE);
    return STATUS_PENDING;
}

NTSTATUS NTAPI SetBlock(PDEVICE_OBJECT fdo, PIRP irp, ULONG guidIndex, ULONG instance, ULONG size, PUCHAR buf)
{
    if (size != sizeof(ULONG)) return WmiCompleteRequest(fdo, irp, STATUS_WMI_SET_FAILURE, 0, IO_NO_INCREMENT);
    std::memcpy(guidIndex == 0 ? &g.valueA : &g.valuesB[instance], buf, sizeof(ULONG));
    return WmiCompleteRequest(fdo, irp, STATUS_SUCCESS, 0, IO_NO_INCREMENT);
}

// ---------------------------------------------------------------- dispatch

NTSTATUS NTAPI StartDone(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT fdo, PIRP irp)
{
    if (IoGetCurrentIrpStackLocation(irp)->MinorFunction != IRP_MN_START_DEVICE) return KsDispatchIrp(fdo, irp);
    // Start: prepare the next location with a completion routine of our own
    // and hand the IRP to kernel streaming, which completes it; wait only if
    // it says the IRP is pending.
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, StartDone, &done, TRUE, TRUE, TRUE);
    NTSTATUS st = KsDispatchIrp(fdo, irp);
    if (st == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return st;
}

NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT fdo, PIRP irp)
{
    g.wmiIrps++;
    SYSCTL_IRP_DISPOSITION disposition;
    NTSTATUS st = WmiSystemControl(&g_wmi, fdo, irp, &disposition);
    g.lastDisposition = disposition;
    switch (disposition) {
    case IrpProcessed:
        if (g.faults.completeProcessedAgain && st != STATUS_PENDING) IoCompleteRequest(irp, IO_NO_INCREMENT);
        return st;
    case IrpNotCompleted:
        if (!g.faults.forgetNotCompleted) IoCompleteRequest(irp, IO_NO_INCREMENT);
        return st;
    default:
        return KsDispatchIrp(fdo, irp);  // passed down by kernel streaming
    }
}

NTSTATUS NTAPI DispatchKs(PDEVICE_OBJECT fdo, PIRP irp) { return KsDispatchIrp(fdo, irp); }

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    PKSDEVICE ks = nullptr;
    NTSTATUS st = KsCreateDevice(driver, pdo, &kDescriptor, sizeof(Extension),
                                 g.faults.nullDeviceArgument ? nullptr : &ks);
    if (!NT_SUCCESS(st)) return st;
    if (g.faults.nullDeviceArgument) {
        // The new device is the one attached on top of the PDO.
        ks = KsGetDeviceForDeviceObject(pdo->AttachedDevice);
        if (!ks) return STATUS_UNSUCCESSFUL;
    }
    PDEVICE_OBJECT fdo = ks->FunctionalDeviceObject;
    Ext(fdo)->ks = ks;
    Ext(fdo)->wmiRegistered = false;
    g.fdo = fdo;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

VOID NTAPI Unload(PDRIVER_OBJECT) {}

}  // namespace

void Reset()
{
    g = State{};
    KeInitializeEvent(&g.queryArrived, NotificationEvent, FALSE);
    g_guids[0] = WMIGUIDREGINFO{&kBlockA, 1, 0};
    g_guids[1] = WMIGUIDREGINFO{&kBlockB, 2, 0};
    g_wmi = WMILIB_CONTEXT{2, g_guids, QueryRegInfo, QueryBlock, SetBlock, nullptr, nullptr, nullptr};
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver->MajorFunction[IRP_MJ_POWER] = DispatchKs;
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchKs;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchKs;
    driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
    driver->DriverExtension->AddDevice = AddDevice;
    driver->DriverUnload = Unload;
    return STATUS_SUCCESS;
}

PDRIVER_OBJECT CreateBus()
{
    PDRIVER_OBJECT bus = hosted::Io::CreateDriver("\\Driver\\kstestbus");
    bus->MajorFunction[IRP_MJ_PNP] = BusPnp;
    bus->MajorFunction[IRP_MJ_POWER] = BusPower;
    bus->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = BusSystemControl;
    return bus;
}

PDEVICE_OBJECT CreateBusPdo(PDRIVER_OBJECT bus)
{
    return hosted::Io::CreatePdo(bus, 0, "USB\\VID_1234&PID_5678\\KS0001");
}

}  // namespace kstest
