// Kernel streaming device support: KsCreateDevice builds the function device
// with its KSDEVICE and attaches it to the stack; KsDispatchIrp drives the
// KSDEVICE_DISPATCH callbacks from plug-and-play and power requests.
//
// Only devices are modelled (no filters or pins): create requests fail with
// STATUS_OBJECT_NAME_NOT_FOUND, close and cleanup succeed, device-control
// requests fail with STATUS_INVALID_DEVICE_REQUEST, system-control requests
// are passed down.
//
// Where kernel streaming sends an IRP down and waits for it, it does so as a
// WDM driver does: it copies its stack location to the next one and sets its
// own completion routine there, replacing whatever the minidriver had put in
// that location before calling KsDispatchIrp.
#include <cstdlib>
#include <cstring>

#include <ks.h>

#include "internal.h"

using namespace hosted;
using namespace hosted::detail;

namespace {

struct KsDeviceImpl {
    KSDEVICE device;
    uint32_t magic;
    KEVENT postStartDone;  // notification event: PostStart has returned (or was never queued)
};
constexpr uint32_t kMagic = 0x4B534456;  // "KSDV"

KsDeviceImpl* ImplOf(PDEVICE_OBJECT fdo)
{
    auto [k, lock] = LockKernel();
    auto it = k.ksDevices.find(fdo);
    return it == k.ksDevices.end() ? nullptr : static_cast<KsDeviceImpl*>(it->second);
}

void Register(PDEVICE_OBJECT fdo, KsDeviceImpl* impl)
{
    auto [k, lock] = LockKernel();
    if (impl)
        k.ksDevices[fdo] = impl;
    else
        k.ksDevices.erase(fdo);
}

bool ForwardFirst(UCHAR minor)
{
    auto [k, lock] = LockKernel();
    return minor < sizeof k.ks.forwardFirst && k.ks.forwardFirst[minor];
}

NTSTATUS NTAPI SignalEvent(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends the IRP down and waits until the lower drivers have completed it;
// the IRP is then ours again, to complete.
NTSTATUS ForwardAndWait(PKSDEVICE dev, PIRP irp, bool power = false)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalEvent, &done, TRUE, TRUE, TRUE);
    NTSTATUS st = power ? PoCallDriver(dev->NextDeviceObject, irp) : IoCallDriver(dev->NextDeviceObject, irp);
    if (st == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return irp->IoStatus.Status;
}

NTSTATUS PassDown(PKSDEVICE dev, PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(dev->NextDeviceObject, irp);
}

NTSTATUS Finish(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// PostStart runs on a worker thread once the start IRP has been completed,
// so that a long initialisation does not hold up the plug-and-play manager.
void QueuePostStart(KsDeviceImpl* impl)
{
    KeResetEvent(&impl->postStartDone);
    PDRIVER_OBJECT driver = impl->device.FunctionalDeviceObject->DriverObject;
    StartThread("ks PostStart", [impl, driver] {
        PKSDEVICE dev = &impl->device;
        DriverScope scope(driver);
        // A failure only fails later creates, which this device refuses anyway.
        if (dev->Descriptor->Dispatch->PostStart(dev) == STATUS_PENDING)
            ViolationUnlocked("KSDEVICE PostStart callback returned STATUS_PENDING");
        KeSetEvent(&impl->postStartDone, IO_NO_INCREMENT, FALSE);
    });
}

// A stop or removal never overtakes a PostStart still running.
void WaitForPostStart(KsDeviceImpl* impl)
{
    KeWaitForSingleObject(&impl->postStartDone, Executive, KernelMode, FALSE, nullptr);
}

// A callback with no result, called before the IRP goes down or after the
// lower drivers have finished with it, as the order setting says.
NTSTATUS AroundForward(KsDeviceImpl* impl, PIRP irp, UCHAR minor, PFNKSDEVICEIRPVOID cb)
{
    PKSDEVICE dev = &impl->device;
    if (!ForwardFirst(minor)) {
        if (cb) cb(dev, irp);
        return PassDown(dev, irp, STATUS_SUCCESS);
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    NTSTATUS st = ForwardAndWait(dev, irp);
    if (cb) cb(dev, irp);
    return Finish(irp, st);
}

// Plug-and-play and power callbacks of kernel streaming run at PASSIVE_LEVEL
// and may wait for the lower drivers.
void CheckPassive(const char* what)
{
    KIRQL irql = KeGetCurrentIrql();
    if (irql != PASSIVE_LEVEL)
        ViolationUnlocked(std::string("KsDispatchIrp for a ") + what + " IRP at IRQL " + std::to_string(irql) +
                          " (kernel streaming devices are power-pageable: PASSIVE_LEVEL only)");
}

NTSTATUS DispatchPnp(KsDeviceImpl* impl, PIRP irp)
{
    CheckPassive("plug-and-play");
    PKSDEVICE dev = &impl->device;
    const KSDEVICE_DISPATCH* d = dev->Descriptor ? dev->Descriptor->Dispatch : nullptr;
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    UCHAR minor = sp->MinorFunction;
    switch (minor) {
    case IRP_MN_START_DEVICE: {
        // The lower drivers start first; kernel streaming completes the IRP.
        PCM_RESOURCE_LIST translated = sp->Parameters.StartDevice.AllocatedResourcesTranslated;
        PCM_RESOURCE_LIST raw = sp->Parameters.StartDevice.AllocatedResources;
        NTSTATUS st = ForwardAndWait(dev, irp);
        if (NT_SUCCESS(st) && d && d->Start) st = d->Start(dev, irp, translated, raw);
        if (st == STATUS_PENDING) {
            ViolationUnlocked("KSDEVICE Start callback returned STATUS_PENDING: completing a pended start "
                              "(KsCompletePendedRequest) is not provided");
            st = STATUS_UNSUCCESSFUL;
        }
        if (NT_SUCCESS(st)) dev->Started = TRUE;
        Finish(irp, st);
        if (NT_SUCCESS(st) && d && d->PostStart) QueuePostStart(impl);
        return st;
    }
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE: {
        PFNKSDEVICEIRP query = !d ? nullptr : minor == IRP_MN_QUERY_STOP_DEVICE ? d->QueryStop : d->QueryRemove;
        NTSTATUS st = query ? query(dev, irp) : STATUS_SUCCESS;
        if (st == STATUS_PENDING) {
            ViolationUnlocked("KSDEVICE QueryStop/QueryRemove callback returned STATUS_PENDING");
            st = STATUS_UNSUCCESSFUL;
        }
        if (!NT_SUCCESS(st)) return Finish(irp, st);
        return PassDown(dev, irp, STATUS_SUCCESS);
    }
    case IRP_MN_CANCEL_STOP_DEVICE:
        return AroundForward(impl, irp, minor, d ? d->CancelStop : nullptr);
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        return AroundForward(impl, irp, minor, d ? d->CancelRemove : nullptr);
    case IRP_MN_SURPRISE_REMOVAL:
        WaitForPostStart(impl);
        return AroundForward(impl, irp, minor, d ? d->SurpriseRemoval : nullptr);
    case IRP_MN_STOP_DEVICE: {
        WaitForPostStart(impl);
        bool started = dev->Started;
        dev->Started = FALSE;
        return AroundForward(impl, irp, minor, started && d ? d->Stop : nullptr);
    }
    case IRP_MN_REMOVE_DEVICE: {
        WaitForPostStart(impl);
        // A device removed while started is stopped first; then Remove.
        bool forwardFirst = ForwardFirst(minor);
        PDEVICE_OBJECT fdo = dev->FunctionalDeviceObject;
        PDEVICE_OBJECT next = dev->NextDeviceObject;
        auto callbacks = [&] {
            if (dev->Started && d && d->Stop) d->Stop(dev, irp);
            dev->Started = FALSE;
            if (d && d->Remove) d->Remove(dev, irp);
        };
        NTSTATUS st = STATUS_SUCCESS;
        if (forwardFirst) {
            st = PassDown(dev, irp, STATUS_SUCCESS);
            callbacks();
        } else {
            callbacks();
            st = PassDown(dev, irp, STATUS_SUCCESS);
        }
        IoDetachDevice(next);
        *static_cast<KsDeviceImpl**>(fdo->DeviceExtension) = nullptr;
        Register(fdo, nullptr);
        impl->magic = 0;
        std::free(impl);
        IoDeleteDevice(fdo);
        return st;
    }
    case IRP_MN_QUERY_CAPABILITIES: {
        // The bus fills the capabilities first; the callback may adjust them.
        PDEVICE_CAPABILITIES caps = sp->Parameters.DeviceCapabilities.Capabilities;
        NTSTATUS st = ForwardAndWait(dev, irp);
        if (NT_SUCCESS(st) && d && d->QueryCapabilities) st = d->QueryCapabilities(dev, irp, caps);
        return Finish(irp, st);
    }
    case IRP_MN_QUERY_INTERFACE:
        if (d && d->QueryInterface) {
            NTSTATUS st = d->QueryInterface(dev, irp);
            if (NT_SUCCESS(st)) return Finish(irp, st);
        }
        return PassDown(dev, irp, irp->IoStatus.Status);
    default:
        return PassDown(dev, irp, irp->IoStatus.Status);
    }
}

// Power IRPs keep the status the lower drivers give them: kernel streaming
// only fails a query its callback refuses. A set to D0 reaches the lower
// drivers first (the bus powers the device up), then SetPower runs; a set to
// a lower state runs SetPower while the device is still powered, then goes
// down. Kernel streaming devices are power-pageable, so power IRPs arrive at
// PASSIVE_LEVEL and waiting for the lower drivers is allowed.
NTSTATUS DispatchPower(KsDeviceImpl* impl, PIRP irp)
{
    CheckPassive("power");
    PKSDEVICE dev = &impl->device;
    const KSDEVICE_DISPATCH* d = dev->Descriptor ? dev->Descriptor->Dispatch : nullptr;
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    bool device = sp->Parameters.Power.Type == DevicePowerState;
    if (sp->MinorFunction == IRP_MN_QUERY_POWER && d && d->QueryPower) {
        DEVICE_POWER_STATE to = device ? sp->Parameters.Power.State.DeviceState : dev->DevicePowerState;
        SYSTEM_POWER_STATE sto = device ? dev->SystemPowerState : sp->Parameters.Power.State.SystemState;
        NTSTATUS st = d->QueryPower(dev, irp, to, dev->DevicePowerState, sto, dev->SystemPowerState,
                                    sp->Parameters.Power.ShutdownType);
        if (!NT_SUCCESS(st)) {
            PoStartNextPowerIrp(irp);
            return Finish(irp, st);
        }
    }
    if (sp->MinorFunction == IRP_MN_SET_POWER && device) {
        DEVICE_POWER_STATE to = sp->Parameters.Power.State.DeviceState;
        DEVICE_POWER_STATE from = dev->DevicePowerState;
        POWER_STATE state = sp->Parameters.Power.State;
        if (to == PowerDeviceD0) {
            NTSTATUS st = ForwardAndWait(dev, irp, true);
            if (NT_SUCCESS(st)) {
                if (d && d->SetPower) d->SetPower(dev, irp, to, from);
                dev->DevicePowerState = to;
                PoSetPowerState(dev->FunctionalDeviceObject, DevicePowerState, state);
            }
            PoStartNextPowerIrp(irp);
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return st;
        }
        if (d && d->SetPower) d->SetPower(dev, irp, to, from);
        dev->DevicePowerState = to;
        PoSetPowerState(dev->FunctionalDeviceObject, DevicePowerState, state);
    } else if (sp->MinorFunction == IRP_MN_SET_POWER) {
        dev->SystemPowerState = sp->Parameters.Power.State.SystemState;
    }
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(dev->NextDeviceObject, irp);
}

}  // namespace

extern "C" {

NTSTATUS KsCreateDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject,
                        const KSDEVICE_DESCRIPTOR* Descriptor, ULONG ExtensionSize, PKSDEVICE* Device)
{
    // Device is optional: a minidriver may find its KSDEVICE later with
    // KsGetDeviceForDeviceObject.
    if (Device) *Device = nullptr;
    if (!PhysicalDeviceObject) return STATUS_INVALID_PARAMETER;
    ULONG size = ExtensionSize < sizeof(PVOID) ? ULONG(sizeof(PVOID)) : ExtensionSize;
    PDEVICE_OBJECT fdo = nullptr;
    NTSTATUS st =
        IoCreateDevice(DriverObject, size, nullptr, FILE_DEVICE_KS, FILE_DEVICE_SECURE_OPEN, FALSE, &fdo);
    if (!NT_SUCCESS(st)) return st;
    auto* impl = static_cast<KsDeviceImpl*>(std::calloc(1, sizeof(KsDeviceImpl)));
    if (!impl) {
        IoDeleteDevice(fdo);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    impl->magic = kMagic;
    KeInitializeEvent(&impl->postStartDone, NotificationEvent, TRUE);
    PDEVICE_OBJECT next = IoAttachDeviceToDeviceStack(fdo, PhysicalDeviceObject);
    if (!next) {
        std::free(impl);
        IoDeleteDevice(fdo);
        return STATUS_DEVICE_REMOVED;
    }
    // Power IRPs reach a kernel streaming device at PASSIVE_LEVEL.
    fdo->Flags |= DO_POWER_PAGABLE;
    KSDEVICE* dev = &impl->device;
    dev->Descriptor = Descriptor;
    dev->Bag = nullptr;
    dev->Context = nullptr;
    dev->FunctionalDeviceObject = fdo;
    dev->PhysicalDeviceObject = PhysicalDeviceObject;
    dev->NextDeviceObject = next;
    dev->Started = FALSE;
    dev->SystemPowerState = PowerSystemWorking;
    dev->DevicePowerState = PowerDeviceD0;
    *static_cast<KsDeviceImpl**>(fdo->DeviceExtension) = impl;  // the header slot
    Register(fdo, impl);
    if (Descriptor && Descriptor->Dispatch && Descriptor->Dispatch->Add) {
        st = Descriptor->Dispatch->Add(dev);
        if (!NT_SUCCESS(st)) {
            IoDetachDevice(next);
            Register(fdo, nullptr);
            std::free(impl);
            IoDeleteDevice(fdo);
            return st;
        }
    }
    if (Device) *Device = dev;
    return STATUS_SUCCESS;
}

NTSTATUS KsDispatchIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    KsDeviceImpl* impl = ImplOf(DeviceObject);
    if (!impl) {
        ViolationUnlocked("KsDispatchIrp for " + Hex(uint64_t(DeviceObject)) +
                          ", which was not created by KsCreateDevice");
        return Finish(Irp, STATUS_INVALID_DEVICE_REQUEST);
    }
    switch (IoGetCurrentIrpStackLocation(Irp)->MajorFunction) {
    case IRP_MJ_PNP:
        return DispatchPnp(impl, Irp);
    case IRP_MJ_POWER:
        return DispatchPower(impl, Irp);
    case IRP_MJ_SYSTEM_CONTROL:
        return PassDown(&impl->device, Irp, Irp->IoStatus.Status);
    case IRP_MJ_CREATE:
        return Finish(Irp, STATUS_OBJECT_NAME_NOT_FOUND);
    case IRP_MJ_CLOSE:
    case IRP_MJ_CLEANUP:
        Irp->IoStatus.Information = 0;
        return Finish(Irp, STATUS_SUCCESS);
    default:
        Irp->IoStatus.Information = 0;
        return Finish(Irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

// Releases kernel streaming's state of a device made by KsCreateDevice; the
// caller then detaches and deletes the device object itself.
VOID KsTerminateDevice(PDEVICE_OBJECT DeviceObject)
{
    KsDeviceImpl* impl = ImplOf(DeviceObject);
    if (!impl) {
        ViolationUnlocked("KsTerminateDevice for " + Hex(uint64_t(DeviceObject)) +
                          ", which was not created by KsCreateDevice");
        return;
    }
    *static_cast<KsDeviceImpl**>(DeviceObject->DeviceExtension) = nullptr;
    Register(DeviceObject, nullptr);
    impl->magic = 0;
    std::free(impl);
}

PKSDEVICE KsGetDeviceForDeviceObject(PDEVICE_OBJECT FunctionalDeviceObject)
{
    KsDeviceImpl* impl = ImplOf(FunctionalDeviceObject);
    return impl ? &impl->device : nullptr;
}

}  // extern "C"

// ---------------------------------------------------------------- control API

namespace hosted {

void Ks::SetOrder(UCHAR pnpMinor, Order order)
{
    auto [k, lock] = LockKernel();
    if (pnpMinor < sizeof k.ks.forwardFirst) k.ks.forwardFirst[pnpMinor] = order == Order::ForwardFirst;
}

void Ks::SetAllOrders(Order order)
{
    for (UCHAR minor : {UCHAR(IRP_MN_CANCEL_STOP_DEVICE), UCHAR(IRP_MN_CANCEL_REMOVE_DEVICE),
                        UCHAR(IRP_MN_STOP_DEVICE), UCHAR(IRP_MN_SURPRISE_REMOVAL), UCHAR(IRP_MN_REMOVE_DEVICE)})
        SetOrder(minor, order);
}

Ks::Order Ks::GetOrder(UCHAR pnpMinor) { return ForwardFirst(pnpMinor) ? Order::ForwardFirst : Order::CallbackFirst; }

}  // namespace hosted
