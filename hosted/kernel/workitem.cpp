// I/O work items: a routine run later on a system worker thread at
// PASSIVE_LEVEL, the way a driver gets back to PASSIVE_LEVEL from a
// DISPATCH_LEVEL completion. A queued item holds a reference on its device
// object until its routine has returned, so the device cannot go away under
// it; deleting the device or unloading the driver before then is a fault.
#include "pnp_internal.h"

using namespace hosted;
using namespace hosted::detail;

struct _IO_WORKITEM {
    PDEVICE_OBJECT device;
};

namespace hosted::detail {

namespace {

struct WorkItemState {
    PDEVICE_OBJECT device = nullptr;
    PDRIVER_OBJECT driver = nullptr;
    bool queued = false;   // queued or running
    bool freed = false;    // freed by its own routine while running
    ThreadState* runner = nullptr;
};

// Lock held.
std::map<PIO_WORKITEM, WorkItemState>& Items()
{
    static std::map<PIO_WORKITEM, WorkItemState> items;
    return items;
}

constexpr ULONG kWorkItemTag = 0x6B576F49;  // "IoWk"

bool CheckIrql(Lock& lock, const char* routine)
{
    ThreadState* t = Current();
    if (t && t->irql > DISPATCH_LEVEL) {
        Violation(lock, std::string(routine) + " above DISPATCH_LEVEL");
        return false;
    }
    return true;
}

}  // namespace

size_t WorkItemsOf(Lock&, PDEVICE_OBJECT device)
{
    size_t n = 0;
    for (auto& [item, st] : Items())
        if (st.queued && st.device == device) ++n;
    return n;
}

void CheckWorkItemsAtUnload(PDRIVER_OBJECT driver, const std::string& service)
{
    auto [k, lock] = LockKernel();
    for (auto& [item, st] : Items())
        if (st.queued && st.driver == driver)
            Violation(lock, "driver " + service + " unloaded while work item " + Hex(uint64_t(item)) +
                                " is still queued or running");
}

void ResetWorkItems() { Items().clear(); }

}  // namespace hosted::detail

extern "C" {

PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject)
{
    {
        auto [k, lock] = LockKernel();
        CheckIrql(lock, "IoAllocateWorkItem");
        if (!k.devices.count(DeviceObject)) {
            Violation(lock, "IoAllocateWorkItem for " + Hex(uint64_t(DeviceObject)) + ", which is not a device object");
            return nullptr;
        }
    }
    // Nonpaged pool: an allocation that can fail like any other.
    auto* item = static_cast<PIO_WORKITEM>(ExAllocatePoolWithTag(NonPagedPool, sizeof(_IO_WORKITEM), kWorkItemTag));
    if (!item) return nullptr;
    item->device = DeviceObject;
    auto [k, lock] = LockKernel();
    Items()[item] = WorkItemState{DeviceObject, DeviceObject->DriverObject};
    return item;
}

VOID IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE, PVOID Context)
{
    PDEVICE_OBJECT device;
    {
        auto [k, lock] = LockKernel();
        CheckIrql(lock, "IoQueueWorkItem");
        auto it = Items().find(IoWorkItem);
        if (it == Items().end()) {
            Violation(lock, "IoQueueWorkItem with " + Hex(uint64_t(IoWorkItem)) + ", which is not a work item");
            return;
        }
        if (it->second.queued) {
            Violation(lock, "IoQueueWorkItem with work item " + Hex(uint64_t(IoWorkItem)) +
                                ", which is already queued");
            return;
        }
        it->second.queued = true;
        device = it->second.device;
    }
    ObReferenceObject(device);
    // The driver is taken now: a flawed driver may delete the device before the routine runs.
    PDRIVER_OBJECT driver = device->DriverObject;
    StartThread("system worker", [IoWorkItem, WorkerRoutine, Context, device, driver] {
        {
            auto [k, lock] = LockKernel();
            Items()[IoWorkItem].runner = Current();
        }
        {
            DriverScope scope(driver);
            WorkerRoutine(device, Context);
        }
        {
            auto [k, lock] = LockKernel();
            auto it = Items().find(IoWorkItem);
            if (it != Items().end()) {
                if (it->second.freed)
                    Items().erase(it);
                else {
                    it->second.queued = false;
                    it->second.runner = nullptr;
                }
            }
        }
        ObDereferenceObject(device);
    });
}

VOID IoFreeWorkItem(PIO_WORKITEM IoWorkItem)
{
    {
        auto [k, lock] = LockKernel();
        CheckIrql(lock, "IoFreeWorkItem");
        auto it = Items().find(IoWorkItem);
        if (it == Items().end() || it->second.freed) {
            Violation(lock, "IoFreeWorkItem on " + Hex(uint64_t(IoWorkItem)) +
                                ", which is not a work item (freed twice?)");
            return;
        }
        if (it->second.queued) {
            // Its own routine may free it (the usual last step); anybody else
            // frees an item the worker thread is about to use.
            if (it->second.runner != Current()) {
                Violation(lock, "IoFreeWorkItem on work item " + Hex(uint64_t(IoWorkItem)) +
                                    ", which is still queued");
                return;
            }
            it->second.freed = true;
        } else {
            Items().erase(it);
        }
    }
    ExFreePoolWithTag(IoWorkItem, kWorkItemTag);
}

}  // extern "C"
