// The I/O manager: driver and device objects, device stacks, IRPs with their
// stack locations, completion, cancellation, device properties and keys, and
// the Driver-Verifier-style checks on IRP handling.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "internal.h"

using namespace hosted;
using namespace hosted::detail;

namespace hosted::detail {
NTSTATUS OpenKeyByPath(Lock& lock, const std::string& path, ACCESS_MASK access, PHANDLE handle);
size_t WorkItemsOf(Lock& lock, PDEVICE_OBJECT device);
void RecordPowerPass(Lock& lock, PDEVICE_OBJECT to, PIRP irp);
}

namespace {

std::string Describe(PIRP irp)
{
    char buf[80];
    std::snprintf(buf, sizeof buf, "IRP %p", (void*)irp);
    return buf;
}

std::string DescribeStack(PIRP irp, PIO_STACK_LOCATION sp)
{
    char buf[120];
    std::snprintf(buf, sizeof buf, "IRP %p (major 0x%02X, minor 0x%02X)", (void*)irp, sp->MajorFunction,
                  sp->MinorFunction);
    return buf;
}

std::string DriverName(PDEVICE_OBJECT dev)
{
    Kernel& k = K();
    if (!dev || !dev->DriverObject) return "?";
    auto it = k.drivers.find(dev->DriverObject);
    return it == k.drivers.end() ? "?" : it->second.name;
}

NTSTATUS NTAPI DefaultDispatch(PDEVICE_OBJECT, PIRP Irp)
{
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

PIRP FreshIrp(CCHAR stackSize)
{
    size_t size = IoSizeOfIrp(stackSize);
    void* mem = std::aligned_alloc(16, (size + 15) & ~size_t(15));
    std::memset(mem, 0, size);
    PIRP irp = static_cast<PIRP>(mem);
    IoInitializeIrp(irp, USHORT(size), stackSize);
    return irp;
}

PDEVICE_OBJECT TopOf(PDEVICE_OBJECT dev)
{
    while (dev->AttachedDevice) dev = dev->AttachedDevice;
    return dev;
}

}  // namespace

namespace hosted::detail {

PIRP AllocIrp(Lock& lock, CCHAR stackSize, IrpInfo::Kind kind)
{
    Kernel& k = K();
    if (TakeFailure(k.failIrp)) return nullptr;
    if (stackSize < 0) {
        Violation(lock, "IRP allocation with a negative stack size");
        return nullptr;
    }
    PIRP irp = FreshIrp(stackSize);
    IrpInfo* info;
    if (k.spareIrps.empty()) {
        info = &k.irps[irp];
    } else {
        auto node = std::move(k.spareIrps.back());
        k.spareIrps.pop_back();
        node.key() = irp;
        info = &k.irps.insert(std::move(node)).position->second;
    }
    info->serial = ++k.irpSerial;
    info->kind = kind;
    ThreadState* t = Current();
    info->driver = t ? t->driver : nullptr;
    return irp;
}

void ForgetIrp(Kernel& k, std::map<PIRP, IrpInfo>::iterator it)
{
    auto node = k.irps.extract(it);
    if (k.spareIrps.size() >= 64) return;
    IrpInfo& info = node.mapped();
    auto through = std::move(info.through);
    auto frames = std::move(info.frames);
    through.clear();
    frames.clear();
    info = IrpInfo{};
    info.through = std::move(through);
    info.frames = std::move(frames);
    k.spareIrps.push_back(std::move(node));
}

PDRIVER_OBJECT NewDriverObject(Lock&, const std::string& name, const std::string& service)
{
    Kernel& k = K();
    size_t size = sizeof(DRIVER_OBJECT) + sizeof(DRIVER_EXTENSION);
    void* mem = std::aligned_alloc(16, (size + 15) & ~size_t(15));
    std::memset(mem, 0, size);
    auto* drv = static_cast<PDRIVER_OBJECT>(mem);
    auto* ext = reinterpret_cast<PDRIVER_EXTENSION>(drv + 1);
    drv->Type = 4;
    drv->Size = CSHORT(sizeof(DRIVER_OBJECT));
    drv->DriverExtension = ext;
    ext->DriverObject = drv;
    for (auto& f : drv->MajorFunction) f = DefaultDispatch;
    DriverInfo& info = k.drivers[drv];
    info.name = name;
    info.nameBuffer = Utf8ToUtf16(name);
    info.serviceBuffer = Utf8ToUtf16(service);
    drv->DriverName.Buffer = reinterpret_cast<PWSTR>(info.nameBuffer.data());
    drv->DriverName.Length = drv->DriverName.MaximumLength = USHORT(info.nameBuffer.size() * 2);
    ext->ServiceKeyName.Buffer = reinterpret_cast<PWSTR>(info.serviceBuffer.data());
    ext->ServiceKeyName.Length = ext->ServiceKeyName.MaximumLength = USHORT(info.serviceBuffer.size() * 2);
    return drv;
}

void FreeDriverObject(Lock& lock, PDRIVER_OBJECT driver)
{
    Kernel& k = K();
    auto it = k.drivers.find(driver);
    if (it == k.drivers.end()) return;
    for (PDEVICE_OBJECT d = driver->DeviceObject; d; d = d->NextDevice)
        Violation(lock, "device object " + Hex(uint64_t(d)) + " of driver " + it->second.name +
                            " still exists when its driver object is freed");
    for (auto& e : it->second.extensions) std::free(e.memory);
    k.drivers.erase(it);
    std::free(driver);
}

std::vector<std::string> IoLeaks(Lock&)
{
    Kernel& k = K();
    std::vector<std::string> out;
    for (auto& [irp, info] : k.irps)
        out.push_back("IRP leak: " + Describe(irp) + " (#" + std::to_string(info.serial) + ") was never freed");
    for (auto& [dev, info] : k.devices)
        if (!info.pdo)
            out.push_back("device object " + Hex(uint64_t(dev)) + " of driver " + DriverName(dev) +
                          " still exists at the end");
    for (auto& [drv, info] : k.drivers)
        if (!info.platformOwned) out.push_back("driver object " + info.name + " was never unloaded");
    return out;
}

void DrainIo(Lock&)
{
    Kernel& k = K();
    for (auto& [irp, info] : k.irps) std::free(irp);
    k.irps.clear();
    for (auto& [dev, info] : k.devices) std::free(dev);
    k.devices.clear();
    for (auto& [dev, impl] : k.ksDevices) std::free(impl);
    k.ksDevices.clear();
    for (auto& [drv, info] : k.drivers) {
        for (auto& e : info.extensions) std::free(e.memory);
        std::free(drv);
    }
    k.drivers.clear();
}

}  // namespace hosted::detail

extern "C" {

// ---------------------------------------------------------------- IRPs

VOID IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize)
{
    std::memset(Irp, 0, PacketSize);
    Irp->Type = 6;
    Irp->Size = PacketSize;
    Irp->StackCount = StackSize;
    Irp->CurrentLocation = CHAR(StackSize + 1);
    Irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1) + StackSize;
    InitializeListHead(&Irp->ThreadListEntry);
}

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN)
{
    auto [k, lock] = LockKernel();
    return AllocIrp(lock, StackSize, IrpInfo::Kind::Allocated);
}

VOID IoReuseIrp(PIRP Irp, NTSTATUS Iostatus)
{
    auto [k, lock] = LockKernel();
    auto it = k.irps.find(Irp);
    if (it == k.irps.end()) {
        Violation(lock, "IoReuseIrp on " + Describe(Irp) + ", which is not an IRP");
        return;
    }
    if (it->second.down || !it->second.frames.empty())
        Violation(lock, "IoReuseIrp on " + Describe(Irp) + " while a driver still owns it");
    UCHAR flags = Irp->AllocationFlags;
    IoInitializeIrp(Irp, Irp->Size, Irp->StackCount);
    Irp->AllocationFlags = flags;
    Irp->IoStatus.Status = Iostatus;
    it->second.completedToTop = false;
    it->second.completing = false;
    it->second.down = false;
    it->second.through.clear();
}

VOID IoFreeIrp(PIRP Irp)
{
    auto [k, lock] = LockKernel();
    auto it = k.irps.find(Irp);
    if (it == k.irps.end()) {
        Violation(lock, "IoFreeIrp on " + Describe(Irp) + ", which is not a live IRP (freed twice?)");
        return;
    }
    if (it->second.down && !it->second.completing)
        Violation(lock, "IoFreeIrp on " + Describe(Irp) + " while a lower driver still owns it");
    if (it->second.completing) {
        // Inside a completion routine: the IRP may be freed only by its owner,
        // the last driver above with a completion routine still to run.
        PIO_STACK_LOCATION end = reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1) + Irp->StackCount;
        for (PIO_STACK_LOCATION sp = Irp->Tail.Overlay.CurrentStackLocation; sp < end; ++sp)
            if (sp->CompletionRoutine) {
                Violation(lock, "IoFreeIrp on " + Describe(Irp) +
                                    " while the completion routine of a driver above still owns it");
                break;
            }
    }
    for (CallFrame* f : it->second.frames) f->gone = true;
    ForgetIrp(k, it);
    std::free(Irp);
}

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                   ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock)
{
    auto [k, lock] = LockKernel();
    if (!DeviceObject || !k.devices.count(DeviceObject)) {
        Violation(lock, "IoBuildDeviceIoControlRequest for " + Hex(uint64_t(DeviceObject)) +
                            ", which is not a device object");
        return nullptr;
    }
    PIRP irp = AllocIrp(lock, DeviceObject->StackSize, IrpInfo::Kind::Threaded);
    if (!irp) return nullptr;
    IrpInfo& info = k.irps[irp];
    ThreadState* t = Current();
    irp->Tail.Overlay.Thread = t ? t->object : nullptr;
    irp->RequestorMode = KernelMode;
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    irp->Flags = IRP_SYNCHRONOUS_API;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    sp->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    sp->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    sp->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    switch (METHOD_FROM_CTL_CODE(IoControlCode)) {
    case METHOD_NEITHER:
        sp->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
        irp->UserBuffer = OutputBuffer;
        break;
    default: {
        // Buffered (the direct methods are treated alike: the output is
        // copied back instead of being described by an MDL).
        ULONG len = std::max(InputBufferLength, OutputBufferLength);
        if (len) {
            void* sys = std::malloc(len);
            std::memset(sys, 0, len);
            if (InputBuffer && InputBufferLength) std::memcpy(sys, InputBuffer, InputBufferLength);
            irp->AssociatedIrp.SystemBuffer = sys;
            irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
            if (OutputBufferLength) irp->Flags |= IRP_INPUT_OPERATION;
        }
        irp->UserBuffer = OutputBuffer;
        info.buffered = true;
        info.outputBuffer = OutputBuffer;
        info.outputLength = OutputBufferLength;
        break;
    }
    }
    return irp;
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    auto [k, lock] = LockKernel();
    auto it = k.irps.find(Irp);
    if (it == k.irps.end()) {
        Violation(lock, "IoCallDriver with " + Describe(Irp) + ", which is not a live IRP");
        return STATUS_INVALID_PARAMETER;
    }
    if (!DeviceObject || !k.devices.count(DeviceObject)) {
        Violation(lock, "IoCallDriver to " + Hex(uint64_t(DeviceObject)) + ", which is not a device object");
        return STATUS_INVALID_PARAMETER;
    }
    if (it->second.completedToTop) {
        Violation(lock, "IoCallDriver with " + Describe(Irp) + " after it was completed");
        return STATUS_INVALID_PARAMETER;
    }
    if (Irp->CurrentLocation <= 1) {
        Violation(lock, "IoCallDriver with " + Describe(Irp) + ": no stack location left for " +
                            DriverName(DeviceObject) + " (NO_MORE_IRP_STACK_LOCATIONS)");
        return STATUS_INVALID_PARAMETER;
    }
    if (ThreadState* caller = Current(); caller && caller->irql > DISPATCH_LEVEL)
        Violation(lock, "IoCallDriver for " + DescribeStack(Irp, IoGetNextIrpStackLocation(Irp)) + " at IRQL " +
                            std::to_string(caller->irql) + " (IRPs are sent at or below DISPATCH_LEVEL)");
    if (IoGetNextIrpStackLocation(Irp)->MajorFunction == IRP_MJ_POWER) RecordPowerPass(lock, DeviceObject, Irp);
    Irp->CurrentLocation--;
    PIO_STACK_LOCATION sp = --Irp->Tail.Overlay.CurrentStackLocation;
    sp->DeviceObject = DeviceObject;
    it->second.down = true;
    it->second.completedToTop = false;
    it->second.through.push_back(DeviceObject->DriverObject);
    CallFrame frame{Irp, Irp->CurrentLocation};
    frame.thread = Current();
    it->second.frames.push_back(&frame);
    UCHAR major = sp->MajorFunction, minor = sp->MinorFunction;
    PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[major];
    ThreadState* t = Current();
    KIRQL irqlBefore = t ? t->irql : 0;
    const std::string driverName = DriverName(DeviceObject);  // the device may be deleted by the call
    PreemptionPoint(lock);
    lock.unlock();
    NTSTATUS status;
    {
        DriverScope scope(DeviceObject->DriverObject);
        status = dispatch(DeviceObject, Irp);
    }
    lock.lock();
    if (t && t->irql != irqlBefore)
        Violation(lock, "dispatch routine of " + driverName + " for major 0x" +
                            Hex(major).substr(2) + " returned at IRQL " + std::to_string(t->irql) +
                            " instead of " + std::to_string(irqlBefore));
    bool marked;
    bool known = true;
    if (frame.passed) {
        marked = frame.pendingBit;
    } else if (!frame.gone) {
        marked = (Irp->Tail.Overlay.CurrentStackLocation <= sp) && (sp->Control & SL_PENDING_RETURNED);
        if (Irp->Tail.Overlay.CurrentStackLocation > sp) known = false;
    } else {
        known = false;
        marked = false;
    }
    // The texts are made only when needed: this runs for every IRP.
    auto what = [&] {
        char text[200];
        std::snprintf(text, sizeof text, "IRP %p (major 0x%02X, minor 0x%02X)", (void*)Irp, major, minor);
        return std::string(text);
    };
    auto missingMark = [&] {
        return "dispatch routine of " + driverName + " returned STATUS_PENDING for " + what() +
               " without marking it pending (IoMarkIrpPending)";
    };
    if (status == STATUS_PENDING && !frame.passed && !frame.gone) {
        // Not completed yet: the mark may still come from a completion
        // routine; checked when the completion reaches this location.
        if (!marked) k.irps[Irp].pendingExpected[frame.location] = missingMark();
    } else if (known && status == STATUS_PENDING && !marked) {
        Violation(lock, missingMark());
    }
    if (known && status != STATUS_PENDING && marked)
        Violation(lock, "dispatch routine of " + driverName + " marked " + what() +
                            " pending but returned " + Hex(uint32_t(status)) + " instead of STATUS_PENDING");
    if (!frame.gone) {
        auto again = k.irps.find(Irp);
        if (again != k.irps.end()) {
            auto& frames = again->second.frames;
            frames.erase(std::remove(frames.begin(), frames.end(), &frame), frames.end());
        }
    }
    return status;
}

VOID IofCompleteRequest(PIRP Irp, CCHAR)
{
    auto [k, lock] = LockKernel();
    PreemptionPoint(lock);
    auto it = k.irps.find(Irp);
    if (it == k.irps.end()) {
        Violation(lock, "IoCompleteRequest on " + Describe(Irp) +
                            ", which is not a live IRP (completed twice, or freed)");
        return;
    }
    IrpInfo* info = &it->second;
    uint64_t serial = info->serial;
    // A completion routine may finish the IRP itself (directly or through a
    // callback it set off) and then return STATUS_MORE_PROCESSING_REQUIRED:
    // the completion carries on from that routine's level. Whether it then
    // stopped the outer completion is checked when it returns.
    bool nested = info->completing && info->routinesRunning > 0 && !info->completedInRoutine;
    if (!nested && (info->completing || info->completedToTop || Irp->CurrentLocation > Irp->StackCount)) {
        Violation(lock, "IoCompleteRequest on " + Describe(Irp) + ", which was already completed "
                        "(MULTIPLE_IRP_COMPLETE_REQUESTS)");
        return;
    }
    // Completion already went past a dispatch routine that is still running
    // on this thread: that driver completes the IRP a second time (after a
    // completion routine above it had stopped the first completion).
    if (!nested)
        for (CallFrame* f : info->frames)
            if (f->passed && f->location < Irp->CurrentLocation && f->thread && f->thread == Current()) {
                Violation(lock, "IoCompleteRequest on " + Describe(Irp) + ", which was already completed "
                                "(MULTIPLE_IRP_COMPLETE_REQUESTS)");
                return;
            }
    if (nested) info->completedInRoutine = true;
    if (Irp->IoStatus.Status == STATUS_PENDING)
        Violation(lock, "IoCompleteRequest on " + DescribeStack(Irp, IoGetCurrentIrpStackLocation(Irp)) +
                            " with status STATUS_PENDING");
    if (Irp->CancelRoutine)
        Violation(lock, "IoCompleteRequest on " + DescribeStack(Irp, IoGetCurrentIrpStackLocation(Irp)) +
                            " with a cancel routine still set");
    ThreadState* t = Current();
    if (t && t->irql > DISPATCH_LEVEL) Violation(lock, "IoCompleteRequest above DISPATCH_LEVEL");
    info->completing = true;

    for (;;) {
        PIO_STACK_LOCATION sp = Irp->Tail.Overlay.CurrentStackLocation;
        int location = Irp->CurrentLocation;
        Irp->CurrentLocation++;
        Irp->Tail.Overlay.CurrentStackLocation++;
        Irp->PendingReturned = (sp->Control & SL_PENDING_RETURNED) ? TRUE : FALSE;
        for (CallFrame* f : info->frames)
            if (f->location == location && !f->passed) {
                f->passed = true;
                f->pendingBit = Irp->PendingReturned;
            }
        auto expected = info->pendingExpected.find(location);
        if (expected != info->pendingExpected.end()) {
            if (!Irp->PendingReturned) Violation(lock, expected->second);
            info->pendingExpected.erase(expected);
        }
        NTSTATUS status = Irp->IoStatus.Status;
        bool invoke = sp->CompletionRoutine &&
                      ((NT_SUCCESS(status) && (sp->Control & SL_INVOKE_ON_SUCCESS)) ||
                       (!NT_SUCCESS(status) && (sp->Control & SL_INVOKE_ON_ERROR)) ||
                       (Irp->Cancel && (sp->Control & SL_INVOKE_ON_CANCEL)));
        PIO_COMPLETION_ROUTINE routine = sp->CompletionRoutine;
        PVOID context = sp->Context;
        // Clear the finished location as the kernel does.
        sp->MinorFunction = 0;
        sp->Flags = 0;
        sp->Control = 0;
        sp->Parameters.Others.Argument1 = sp->Parameters.Others.Argument2 = nullptr;
        sp->Parameters.Others.Argument3 = sp->Parameters.Others.Argument4 = nullptr;
        sp->FileObject = nullptr;
        sp->CompletionRoutine = nullptr;
        sp->Context = nullptr;
        bool atTop = Irp->CurrentLocation > Irp->StackCount;
        if (invoke) {
            PDEVICE_OBJECT dev = atTop ? nullptr : Irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
            // Each running routine has its own "completed inside" mark.
            bool outerMark = info->completedInRoutine;
            info->completedInRoutine = false;
            info->routinesRunning++;
            // The routine runs in its owner's charge; the originator's own
            // (at the top), or one whose device a flawed driver deleted, in
            // the completing caller's.
            PDRIVER_OBJECT owner = dev && k.devices.count(dev) ? dev->DriverObject : (t ? t->driver : nullptr);
            lock.unlock();
            NTSTATUS r;
            {
                DriverScope scope(owner);
                r = routine(dev, Irp, context);
            }
            lock.lock();
            auto again = k.irps.find(Irp);
            bool alive = again != k.irps.end() && again->second.serial == serial;
            bool completedInside = false;
            if (alive) {
                again->second.routinesRunning--;
                completedInside = again->second.completedInRoutine;
                again->second.completedInRoutine = outerMark;
            }
            if (r == STATUS_MORE_PROCESSING_REQUIRED) {
                if (alive && !completedInside) {
                    again->second.completing = false;
                    again->second.down = false;
                }
                return;
            }
            if (completedInside) {
                Violation(lock, "IoCompleteRequest on " + Describe(Irp) +
                                    " inside a completion routine that then did not return "
                                    "STATUS_MORE_PROCESSING_REQUIRED: completed twice (MULTIPLE_IRP_COMPLETE_REQUESTS)");
                return;
            }
            if (!alive) {
                Violation(lock, "completion routine freed " + Describe(Irp) +
                                    " without returning STATUS_MORE_PROCESSING_REQUIRED");
                return;
            }
            info = &again->second;
        } else if (Irp->PendingReturned && !atTop) {
            IoMarkIrpPending(Irp);  // propagate to the caller's location
        }
        if (atTop) break;
    }

    // Completed to the top.
    info->completing = false;
    info->down = false;
    info->completedToTop = true;
    info->through.clear();
    switch (info->kind) {
    case IrpInfo::Kind::Threaded: {
        if (info->buffered && Irp->AssociatedIrp.SystemBuffer) {
            if (NT_SUCCESS(Irp->IoStatus.Status) && info->outputBuffer && info->outputLength)
                std::memcpy(info->outputBuffer, Irp->AssociatedIrp.SystemBuffer,
                            std::min<ULONG_PTR>(Irp->IoStatus.Information, info->outputLength));
            std::free(Irp->AssociatedIrp.SystemBuffer);
            Irp->AssociatedIrp.SystemBuffer = nullptr;
        }
        if (Irp->UserIosb) *Irp->UserIosb = Irp->IoStatus;
        PKEVENT ev = Irp->UserEvent;
        for (CallFrame* f : info->frames) f->gone = true;
        ForgetIrp(k, k.irps.find(Irp));  // found again: completion routines ran since `it`
        std::free(Irp);
        if (ev) {
            LONG old = ev->Header.SignalState;
            ev->Header.SignalState = 1;
            if (old == 0) WakeWaiters(lock, &ev->Header);
        }
        break;
    }
    case IrpInfo::Kind::Allocated:
        Violation(lock, "IRP " + Hex(uint64_t(Irp)) +
                            " from IoAllocateIrp was completed to the top: no completion routine stopped it with "
                            "STATUS_MORE_PROCESSING_REQUIRED");
        break;
    case IrpInfo::Kind::Platform:
        break;
    }
}

VOID IoAcquireCancelSpinLock(PKIRQL Irql) { *Irql = KeAcquireSpinLockRaiseToDpc(&K().cancelLock); }

VOID IoReleaseCancelSpinLock(KIRQL Irql) { KeReleaseSpinLock(&K().cancelLock, Irql); }

BOOLEAN IoCancelIrp(PIRP Irp)
{
    {
        auto [k, lock] = LockKernel();
        PreemptionPoint(lock);
        if (!k.irps.count(Irp)) {
            Violation(lock, "IoCancelIrp on " + Describe(Irp) + ", which is not a live IRP");
            return FALSE;
        }
    }
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    Irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (!routine) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    PDEVICE_OBJECT dev = Irp->CurrentLocation <= Irp->StackCount ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject
                                                                 : nullptr;
    ThreadState* t = Current();
    PDRIVER_OBJECT owner = t ? t->driver : nullptr;
    {
        auto [k, lock] = LockKernel();
        if (dev && k.devices.count(dev)) owner = dev->DriverObject;
    }
    {
        DriverScope scope(owner);
        routine(dev, Irp);
    }
    if (K().cancelLock != 0 && t && K().cancelLock == reinterpret_cast<KSPIN_LOCK>(t)) {
        ViolationUnlocked("cancel routine returned without releasing the cancel spin lock");
        IoReleaseCancelSpinLock(irql);
    }
    return TRUE;
}

// ---------------------------------------------------------------- devices

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                        DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT* DeviceObject)
{
    auto [k, lock] = LockKernel();
    if (!DeviceObject) return STATUS_INVALID_PARAMETER;
    *DeviceObject = nullptr;
    if (!k.drivers.count(DriverObject)) {
        Violation(lock, "IoCreateDevice with " + Hex(uint64_t(DriverObject)) + ", which is not a driver object");
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS injected = STATUS_SUCCESS;
    if (TakeFailure(k.failCreateDevice, &injected)) return injected;
    std::string name = FromUnicodeString(DeviceName);
    if (!name.empty())
        for (auto& [d, info] : k.devices)
            if (Lower(info.name) == Lower(name)) return STATUS_OBJECT_NAME_COLLISION;
    size_t extOffset = (sizeof(DEVICE_OBJECT) + sizeof(DEVOBJ_EXTENSION) + 15) & ~size_t(15);
    size_t size = extOffset + DeviceExtensionSize;
    void* mem = std::aligned_alloc(16, (size + 15) & ~size_t(15));
    std::memset(mem, 0, size);
    auto* dev = static_cast<PDEVICE_OBJECT>(mem);
    auto* dext = reinterpret_cast<PDEVOBJ_EXTENSION>(dev + 1);
    dev->Type = 3;
    dev->Size = USHORT(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
    dev->DriverObject = DriverObject;
    dev->DeviceExtension = DeviceExtensionSize ? static_cast<char*>(mem) + extOffset : nullptr;
    dev->DeviceType = DeviceType;
    dev->Characteristics = DeviceCharacteristics;
    dev->StackSize = 1;
    dev->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0) | (name.empty() ? 0 : DO_DEVICE_HAS_NAME);
    dev->AlignmentRequirement = 0;
    dev->SectorSize = 0;
    dev->DeviceObjectExtension = dext;
    dext->Type = 13;
    dext->Size = USHORT(sizeof(DEVOBJ_EXTENSION));
    dext->DeviceObject = dev;
    KeInitializeEvent(&dev->DeviceLock, SynchronizationEvent, TRUE);
    dev->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = dev;
    k.devices[dev].name = name;
    *DeviceObject = dev;
    return STATUS_SUCCESS;
}

VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject)
{
    auto [k, lock] = LockKernel();
    auto it = k.devices.find(DeviceObject);
    if (it == k.devices.end()) {
        Violation(lock, "IoDeleteDevice on " + Hex(uint64_t(DeviceObject)) +
                            ", which is not a device object (deleted twice?)");
        return;
    }
    if (DeviceObject->DeviceObjectExtension->AttachedTo)
        Violation(lock, "IoDeleteDevice on " + Hex(uint64_t(DeviceObject)) +
                            " while it is still attached to a lower device (missing IoDetachDevice)");
    // A bus driver deletes the PDO of a vanished device in its
    // IRP_MN_REMOVE_DEVICE handler, before the function driver above has
    // detached (it does so once the IRP has come back). The PnP manager's
    // reference keeps the object until then: the deletion completes at the
    // detach.
    bool deferred = it->second.pdo && it->second.removing && DeviceObject->AttachedDevice;
    if (DeviceObject->AttachedDevice && !deferred)
        Violation(lock, "IoDeleteDevice on " + Hex(uint64_t(DeviceObject)) + " while a device is attached above it");
    if (it->second.wmiRegistered)
        Violation(lock, "IoDeleteDevice on " + Hex(uint64_t(DeviceObject)) +
                            " while it is still registered with WMI");
    // Requests that went through this device and have not come back past it
    // (the IRP being dispatched on this thread, e.g. the removal, excepted).
    // The platform's own stand-in drivers report such requests themselves.
    auto owner = k.drivers.find(DeviceObject->DriverObject);
    bool platformDevice = owner != k.drivers.end() && owner->second.platformOwned;
    for (auto& [irp, info] : k.irps) {
        if (!info.down || platformDevice) continue;
        bool here = false;
        for (CallFrame* f : info.frames)
            if (f->thread == Current()) here = true;
        if (here) continue;
        PIO_STACK_LOCATION end = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + irp->StackCount;
        for (PIO_STACK_LOCATION sp = irp->Tail.Overlay.CurrentStackLocation; sp < end; ++sp)
            if (sp->DeviceObject == DeviceObject) {
                Violation(lock, "IoDeleteDevice on " + Hex(uint64_t(DeviceObject)) + " while " +
                                    DescribeStack(irp, sp) + " is still outstanding on it");
                break;
            }
    }
    size_t workItems = WorkItemsOf(lock, DeviceObject);
    if (workItems)
        Violation(lock, "IoDeleteDevice on " + Hex(uint64_t(DeviceObject)) + " while " + std::to_string(workItems) +
                            " work item(s) are still queued or running for it");
    else if (DeviceObject->ReferenceCount > 0)
        Violation(lock, "IoDeleteDevice on " + Hex(uint64_t(DeviceObject)) + " with " +
                            std::to_string(DeviceObject->ReferenceCount) + " outstanding reference(s)");
    if (deferred) {
        it->second.deletePending = true;
        return;
    }
    FreeDevice(lock, DeviceObject);
}

}  // extern "C"

namespace hosted::detail {

void FreeDevice(Lock& lock, PDEVICE_OBJECT DeviceObject)
{
    Kernel& k = K();
    auto it = k.devices.find(DeviceObject);
    PDRIVER_OBJECT drv = DeviceObject->DriverObject;
    for (PDEVICE_OBJECT* pp = &drv->DeviceObject; *pp; pp = &(*pp)->NextDevice)
        if (*pp == DeviceObject) {
            *pp = DeviceObject->NextDevice;
            break;
        }
    k.devices.erase(it);
    WmiForgetDevice(lock, DeviceObject);
    auto ks = k.ksDevices.find(DeviceObject);
    if (ks != k.ksDevices.end()) {
        std::free(ks->second);
        k.ksDevices.erase(ks);
    }
    std::free(DeviceObject);
}

}  // namespace hosted::detail

extern "C" {

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice)
{
    auto [k, lock] = LockKernel();
    if (!k.devices.count(SourceDevice) || !k.devices.count(TargetDevice)) {
        Violation(lock, "IoAttachDeviceToDeviceStack with an object that is not a device object");
        return nullptr;
    }
    PDEVICE_OBJECT top = TopOf(TargetDevice);
    top->AttachedDevice = SourceDevice;
    SourceDevice->StackSize = CCHAR(top->StackSize + 1);
    SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
    SourceDevice->SectorSize = top->SectorSize;
    SourceDevice->DeviceObjectExtension->AttachedTo = top;
    return top;
}

VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice)
{
    auto [k, lock] = LockKernel();
    if (!k.devices.count(TargetDevice) || !TargetDevice->AttachedDevice) {
        Violation(lock, "IoDetachDevice on " + Hex(uint64_t(TargetDevice)) + ", which has nothing attached");
        return;
    }
    TargetDevice->AttachedDevice->DeviceObjectExtension->AttachedTo = nullptr;
    TargetDevice->AttachedDevice = nullptr;
    if (k.devices[TargetDevice].deletePending) FreeDevice(lock, TargetDevice);
}

PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject)
{
    auto [k, lock] = LockKernel();
    PDEVICE_OBJECT top = TopOf(DeviceObject);
    top->ReferenceCount++;
    return top;
}

NTSTATUS IoAllocateDriverObjectExtension(PDRIVER_OBJECT DriverObject, PVOID ClientIdentificationAddress,
                                         ULONG DriverObjectExtensionSize, PVOID* DriverObjectExtension)
{
    auto [k, lock] = LockKernel();
    *DriverObjectExtension = nullptr;
    auto it = k.drivers.find(DriverObject);
    if (it == k.drivers.end()) {
        Violation(lock, "IoAllocateDriverObjectExtension on something that is not a driver object");
        return STATUS_INVALID_PARAMETER;
    }
    for (auto& e : it->second.extensions)
        if (e.id == ClientIdentificationAddress) return STATUS_OBJECT_NAME_COLLISION;
    if (TakeFailure(k.failDriverExt)) return STATUS_INSUFFICIENT_RESOURCES;
    size_t n = DriverObjectExtensionSize ? DriverObjectExtensionSize : 1;
    void* mem = std::aligned_alloc(16, (n + 15) & ~size_t(15));
    std::memset(mem, 0, n);
    it->second.extensions.push_back(DriverExtensionBlock{ClientIdentificationAddress, mem});
    *DriverObjectExtension = mem;
    return STATUS_SUCCESS;
}

PVOID IoGetDriverObjectExtension(PDRIVER_OBJECT DriverObject, PVOID ClientIdentificationAddress)
{
    auto [k, lock] = LockKernel();
    auto it = k.drivers.find(DriverObject);
    if (it == k.drivers.end()) return nullptr;
    for (auto& e : it->second.extensions)
        if (e.id == ClientIdentificationAddress) return e.memory;
    return nullptr;
}

NTSTATUS IoGetDeviceProperty(PDEVICE_OBJECT DeviceObject, DEVICE_REGISTRY_PROPERTY DeviceProperty,
                             ULONG BufferLength, PVOID PropertyBuffer, PULONG ResultLength)
{
    auto [k, lock] = LockKernel();
    auto it = k.devices.find(DeviceObject);
    if (it == k.devices.end() || !it->second.pdo) {
        Violation(lock, "IoGetDeviceProperty on " + Hex(uint64_t(DeviceObject)) +
                            ", which is not a physical device object");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (!ResultLength) return STATUS_INVALID_PARAMETER;
    auto f = it->second.propertyFailures.find(int(DeviceProperty));
    NTSTATUS injected = STATUS_SUCCESS;
    if (f != it->second.propertyFailures.end() && TakeFailure(f->second, &injected)) return injected;
    auto p = it->second.properties.find(int(DeviceProperty));
    if (p == it->second.properties.end()) {
        *ResultLength = 0;
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    *ResultLength = ULONG(p->second.size());
    if (BufferLength < p->second.size()) return STATUS_BUFFER_TOO_SMALL;
    if (!p->second.empty()) std::memcpy(PropertyBuffer, p->second.data(), p->second.size());
    return STATUS_SUCCESS;
}

NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType, ACCESS_MASK DesiredAccess,
                                 PHANDLE DevInstRegKey)
{
    auto [k, lock] = LockKernel();
    if (!DevInstRegKey) return STATUS_INVALID_PARAMETER;
    *DevInstRegKey = nullptr;
    auto it = k.devices.find(DeviceObject);
    if (it == k.devices.end() || !it->second.pdo) {
        Violation(lock, "IoOpenDeviceRegistryKey on " + Hex(uint64_t(DeviceObject)) +
                            ", which is not a physical device object");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    ThreadState* t = Current();
    if (t && t->irql != PASSIVE_LEVEL) Violation(lock, "IoOpenDeviceRegistryKey above PASSIVE_LEVEL");
    const std::string* path;
    if (DevInstKeyType == PLUGPLAY_REGKEY_DRIVER)
        path = &it->second.driverKey;
    else if (DevInstKeyType == PLUGPLAY_REGKEY_DEVICE)
        path = &it->second.deviceKey;
    else
        return STATUS_INVALID_PARAMETER;
    return OpenKeyByPath(lock, *path, DesiredAccess, DevInstRegKey);
}

}  // extern "C"

// ---------------------------------------------------------------- control API

namespace hosted {

PDRIVER_OBJECT Io::CreateDriver(const std::string& name)
{
    auto [k, lock] = LockKernel();
    PDRIVER_OBJECT drv = NewDriverObject(lock, name, name.substr(name.rfind('\\') + 1));
    k.drivers[drv].platformOwned = true;
    return drv;
}

void Io::DeleteDriver(PDRIVER_OBJECT driver)
{
    auto [k, lock] = LockKernel();
    FreeDriverObject(lock, driver);
}

PDEVICE_OBJECT Io::CreatePdo(PDRIVER_OBJECT busDriver, ULONG extensionSize, const std::string& instancePath)
{
    PDEVICE_OBJECT pdo = nullptr;
    NTSTATUS st = IoCreateDevice(busDriver, extensionSize, nullptr, FILE_DEVICE_BUS_EXTENDER,
                                 FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo);
    if (!NT_SUCCESS(st)) return nullptr;
    auto [k, lock] = LockKernel();
    int n = k.pdoCounter++;
    DeviceInfo& info = k.devices[pdo];
    info.pdo = true;
    char num[16];
    std::snprintf(num, sizeof num, "%04d", n);
    std::string inst = instancePath.empty() ? "USB\\VID_0000&PID_0000\\" + std::to_string(n) : instancePath;
    info.driverKey = "\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\"
                     "{36fc9e60-c465-11cf-8056-444553540000}\\" +
                     std::string(num);
    info.deviceKey = "\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\" + inst + "\\Device Parameters";
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    pdo->Flags |= DO_BUS_ENUMERATED_DEVICE | DO_POWER_PAGABLE;
    return pdo;
}

bool Io::IsPdo(PDEVICE_OBJECT device)
{
    auto [k, lock] = LockKernel();
    auto it = k.devices.find(device);
    return it != k.devices.end() && it->second.pdo;
}

std::string Io::DriverKeyPath(PDEVICE_OBJECT pdo)
{
    auto [k, lock] = LockKernel();
    return k.devices[pdo].driverKey;
}

std::string Io::DeviceKeyPath(PDEVICE_OBJECT pdo)
{
    auto [k, lock] = LockKernel();
    return k.devices[pdo].deviceKey;
}

void Io::SetRegistryKeyPaths(PDEVICE_OBJECT pdo, const std::string& driverKey, const std::string& deviceKey)
{
    auto [k, lock] = LockKernel();
    k.devices[pdo].driverKey = driverKey;
    k.devices[pdo].deviceKey = deviceKey;
}

void Io::SetDeviceProperty(PDEVICE_OBJECT pdo, DEVICE_REGISTRY_PROPERTY property, std::vector<uint8_t> data)
{
    auto [k, lock] = LockKernel();
    k.devices[pdo].properties[int(property)] = std::move(data);
}

void Io::SetDevicePropertyGuid(PDEVICE_OBJECT pdo, DEVICE_REGISTRY_PROPERTY property, const GUID& guid)
{
    std::vector<uint8_t> d(sizeof(GUID));
    std::memcpy(d.data(), &guid, sizeof(GUID));
    SetDeviceProperty(pdo, property, std::move(d));
}

void Io::FailDeviceProperty(PDEVICE_OBJECT pdo, DEVICE_REGISTRY_PROPERTY property, NTSTATUS status, uint64_t nth)
{
    auto [k, lock] = LockKernel();
    k.devices[pdo].propertyFailures[int(property)].push_back(FailRule{nth, status});
}

void Io::FailIrpAllocation(uint64_t nth)
{
    auto [k, lock] = LockKernel();
    k.failIrp.push_back(FailRule{nth});
}

void Io::FailCreateDevice(uint64_t nth, NTSTATUS status)
{
    auto [k, lock] = LockKernel();
    k.failCreateDevice.push_back(FailRule{nth, status});
}

void Io::FailDriverExtension(uint64_t nth)
{
    auto [k, lock] = LockKernel();
    k.failDriverExt.push_back(FailRule{nth});
}

void Io::ClearFailures()
{
    auto [k, lock] = LockKernel();
    k.failIrp.clear();
    k.failCreateDevice.clear();
    k.failDriverExt.clear();
    for (auto& [device, info] : k.devices) info.propertyFailures.clear();
}

size_t Io::LiveIrps()
{
    auto [k, lock] = LockKernel();
    return k.irps.size();
}

size_t Io::LiveDevices()
{
    auto [k, lock] = LockKernel();
    return k.devices.size();
}

DEVICE_POWER_STATE Io::DevicePower(PDEVICE_OBJECT device)
{
    auto [k, lock] = LockKernel();
    auto it = k.devices.find(device);
    return it == k.devices.end() ? PowerDeviceUnspecified : it->second.devicePower;
}

SYSTEM_POWER_STATE Io::SystemPower(PDEVICE_OBJECT device)
{
    auto [k, lock] = LockKernel();
    auto it = k.devices.find(device);
    return it == k.devices.end() ? PowerSystemUnspecified : it->second.systemPower;
}

bool Io::WmiRegistered(PDEVICE_OBJECT device)
{
    auto [k, lock] = LockKernel();
    auto it = k.devices.find(device);
    return it != k.devices.end() && it->second.wmiRegistered;
}

PIRP Io::BuildIrp(PDEVICE_OBJECT device, UCHAR major, UCHAR minor)
{
    PIRP irp;
    {
        auto [k, lock] = LockKernel();
        if (!k.devices.count(device)) {
            Violation(lock, "Io::BuildIrp for something that is not a device object");
            return nullptr;
        }
        irp = AllocIrp(lock, CCHAR(TopOf(device)->StackSize + 1), IrpInfo::Kind::Platform);
        if (!irp) return nullptr;
    }
    IoSetNextIrpStackLocation(irp);  // the sender's own location
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = major;
    sp->MinorFunction = minor;
    return irp;
}

static NTSTATUS NTAPI SignalDone(PDEVICE_OBJECT, PIRP, PVOID Context)
{
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS Io::SendAndWait(PDEVICE_OBJECT device, PIRP irp, IO_STATUS_BLOCK* ioStatus)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
    IofCallDriver(TopOf(device), irp);
    // The completion routine signals in every case, pending or not.
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    NTSTATUS final = irp->IoStatus.Status;
    if (ioStatus) *ioStatus = irp->IoStatus;
    IoFreeIrp(irp);
    return final;
}

}  // namespace hosted
