// Requests that drivers make of the plug-and-play manager.
#include "pnp_internal.h"

using namespace hosted;
using namespace hosted::detail;

extern "C" {

VOID IoInvalidateDeviceRelations(PDEVICE_OBJECT DeviceObject, DEVICE_RELATION_TYPE Type)
{
    {
        auto [k, lock] = LockKernel();
        if (!DeviceObject || !k.devices.count(DeviceObject)) {
            Violation(lock, "IoInvalidateDeviceRelations on " + Hex(uint64_t(DeviceObject)) +
                                ", which is not a device object");
            return;
        }
        ThreadState* t = Current();
        if (t && t->irql > DISPATCH_LEVEL)
            Violation(lock, "IoInvalidateDeviceRelations above DISPATCH_LEVEL");
    }
    PnpInvalidateRelations(DeviceObject, Type);
}

VOID IoInvalidateDeviceState(PDEVICE_OBJECT PhysicalDeviceObject)
{
    {
        auto [k, lock] = LockKernel();
        auto it = k.devices.find(PhysicalDeviceObject);
        if (it == k.devices.end() || !it->second.pdo) {
            Violation(lock, "IoInvalidateDeviceState on " + Hex(uint64_t(PhysicalDeviceObject)) +
                                ", which is not a physical device object");
            return;
        }
        ThreadState* t = Current();
        if (t && t->irql > DISPATCH_LEVEL) Violation(lock, "IoInvalidateDeviceState above DISPATCH_LEVEL");
    }
    PnpInvalidateState(PhysicalDeviceObject);
}

}  // extern "C"
