// Kernel streaming device support: KsCreateDevice builds the function device
// with its KSDEVICE and attaches it to the stack; KsDispatchIrp drives the
// KSDEVICE_DISPATCH callbacks from plug-and-play and power requests.
//
// Only devices are modelled (no filters or pins): create requests fail with
// STATUS_OBJECT_NAME_NOT_FOUND, close and cleanup succeed, device-control
// requests fail with STATUS_INVALID_DEVICE_REQUEST, system-control requests
// are passed down.
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
};
constexpr uint32_t kMagic = 0x4B534456;  // "KSDV"

KsDeviceImpl* ImplOf(PDEVICE_OBJECT fdo)
{
    Kernel& k = K();
    Lock lock(k.m);
    auto it = k.ksDevices.find(fdo);
    return it == k.ksDevices.end() ? nullptr : static_cast<KsDeviceImpl*>(it->second);
}

void Register(PDEVICE_OBJECT fdo, KsDeviceImpl* impl)
{
    Kernel& k = K();
    Lock lock(k.m);
    if (impl)
        k.ksDevices[fdo] = impl;
    else
        k.ksDevices.erase(fdo);
}

NTSTATUS SignalEvent(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends the IRP down and waits until the lower drivers have completed it.
NTSTATUS ForwardAndWait(PKSDEVICE dev, PIRP irp)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalEvent, &done, TRUE, TRUE, TRUE);
    NTSTATUS st = IoCallDriver(dev->NextDeviceObject, irp);
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

NTSTATUS DispatchPnp(KsDeviceImpl* impl, PIRP irp)
{
    PKSDEVICE dev = &impl->device;
    const KSDEVICE_DISPATCH* d = dev->Descriptor ? dev->Descriptor->Dispatch : nullptr;
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    switch (sp->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        PCM_RESOURCE_LIST translated = sp->Parameters.StartDevice.AllocatedResourcesTranslated;
        PCM_RESOURCE_LIST raw = sp->Parameters.StartDevice.AllocatedResources;
        NTSTATUS st = ForwardAndWait(dev, irp);
        if (NT_SUCCESS(st) && d && d->Start) st = d->Start(dev, irp, translated, raw);
        if (NT_SUCCESS(st)) {
            dev->Started = TRUE;
            if (d && d->PostStart) d->PostStart(dev);
        }
        return Finish(irp, st);
    }
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE: {
        PFNKSDEVICEIRP query = !d ? nullptr : sp->MinorFunction == IRP_MN_QUERY_STOP_DEVICE ? d->QueryStop
                                                                                             : d->QueryRemove;
        NTSTATUS st = query ? query(dev, irp) : STATUS_SUCCESS;
        if (!NT_SUCCESS(st)) return Finish(irp, st);
        return PassDown(dev, irp, STATUS_SUCCESS);
    }
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL: {
        PFNKSDEVICEIRPVOID cb = !d ? nullptr
                                : sp->MinorFunction == IRP_MN_CANCEL_STOP_DEVICE   ? d->CancelStop
                                : sp->MinorFunction == IRP_MN_CANCEL_REMOVE_DEVICE ? d->CancelRemove
                                                                                   : d->SurpriseRemoval;
        if (cb) cb(dev, irp);
        return PassDown(dev, irp, STATUS_SUCCESS);
    }
    case IRP_MN_STOP_DEVICE:
        if (dev->Started && d && d->Stop) d->Stop(dev, irp);
        dev->Started = FALSE;
        return PassDown(dev, irp, STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE: {
        // A device removed while started is stopped first.
        if (dev->Started && d && d->Stop) d->Stop(dev, irp);
        dev->Started = FALSE;
        if (d && d->Remove) d->Remove(dev, irp);
        PDEVICE_OBJECT fdo = dev->FunctionalDeviceObject;
        PDEVICE_OBJECT next = dev->NextDeviceObject;
        NTSTATUS st = PassDown(dev, irp, STATUS_SUCCESS);
        IoDetachDevice(next);
        *static_cast<KsDeviceImpl**>(fdo->DeviceExtension) = nullptr;
        Register(fdo, nullptr);
        impl->magic = 0;
        std::free(impl);
        IoDeleteDevice(fdo);
        return st;
    }
    case IRP_MN_QUERY_CAPABILITIES: {
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

NTSTATUS DispatchPower(KsDeviceImpl* impl, PIRP irp)
{
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
    if (sp->MinorFunction == IRP_MN_SET_POWER) {
        if (device) {
            DEVICE_POWER_STATE to = sp->Parameters.Power.State.DeviceState;
            if (d && d->SetPower) d->SetPower(dev, irp, to, dev->DevicePowerState);
            dev->DevicePowerState = to;
            PoSetPowerState(dev->FunctionalDeviceObject, DevicePowerState, sp->Parameters.Power.State);
        } else {
            dev->SystemPowerState = sp->Parameters.Power.State.SystemState;
        }
    }
    PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(dev->NextDeviceObject, irp);
}

}  // namespace

extern "C" {

NTSTATUS KsCreateDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject,
                        const KSDEVICE_DESCRIPTOR* Descriptor, ULONG ExtensionSize, PKSDEVICE* Device)
{
    if (Device) *Device = nullptr;
    if (!Device || !PhysicalDeviceObject) return STATUS_INVALID_PARAMETER;
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
    PDEVICE_OBJECT next = IoAttachDeviceToDeviceStack(fdo, PhysicalDeviceObject);
    if (!next) {
        std::free(impl);
        IoDeleteDevice(fdo);
        return STATUS_DEVICE_REMOVED;
    }
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
    *Device = dev;
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
