// The driver loader: DriverEntry, AddDevice and DriverUnload as the I/O
// manager calls them, with the end-of-driver checks.
#include <algorithm>

#include "internal.h"

using namespace hosted;
using namespace hosted::detail;

namespace hosted::detail {
std::vector<std::string> PoolLeaks(PDRIVER_OBJECT driver);
void CheckWorkItemsAtUnload(PDRIVER_OBJECT driver, const std::string& service);
}

namespace hosted {

DriverHost::DriverHost(PDRIVER_INITIALIZE entry, std::string serviceName)
    : entry_(entry), serviceName_(std::move(serviceName)), serviceKey_(ServiceKeyPath(serviceName_))
{
    registryPath_ = detail::Utf8ToUtf16(serviceKey_);
    registryPathString_.Buffer = reinterpret_cast<PWSTR>(registryPath_.data());
    registryPathString_.Length = USHORT(registryPath_.size() * 2);
    registryPathString_.MaximumLength = USHORT(registryPath_.size() * 2);
}

DriverHost::~DriverHost()
{
    // After the platform has finished, its objects are gone already.
    if (object_ && Platform::Running()) Unload();
}

NTSTATUS DriverHost::Load()
{
    Registry::CreateKey(serviceKey_);
    {
        auto [k, lock] = LockKernel();
        if (object_) {
            Violation(lock, "DriverHost::Load on a driver that is already loaded");
            return STATUS_INVALID_DEVICE_STATE;
        }
        object_ = NewDriverObject(lock, "\\Driver\\" + serviceName_, serviceName_);
        ThreadState* t = Current();
        if (t && t->irql != PASSIVE_LEVEL) Violation(lock, "driver loaded above PASSIVE_LEVEL");
    }
    object_->DriverInit = entry_;
    NTSTATUS st = STATUS_SUCCESS;
    {
        DriverScope scope(object_);
        st = entry_(object_, &registryPathString_);
    }
    if (!NT_SUCCESS(st)) {
        // A failed load: no unload routine is called, the object goes away.
        object_->DriverUnload = nullptr;
        Unload();
        return st;
    }
    loaded_ = true;
    return st;
}

NTSTATUS DriverHost::AddDevice(PDEVICE_OBJECT pdo)
{
    if (!loaded_ || !object_->DriverExtension->AddDevice) return STATUS_NOT_SUPPORTED;
    DriverScope scope(object_);
    return object_->DriverExtension->AddDevice(object_, pdo);
}

std::vector<std::string> DriverHost::Unload()
{
    std::vector<std::string> problems;
    if (!object_) return problems;
    if (loaded_ && object_->DriverUnload) {
        object_->Flags |= DRVO_UNLOAD_INVOKED;
        DriverScope scope(object_);
        object_->DriverUnload(object_);
    }
    // A work item still queued would run code that is no longer loaded.
    CheckWorkItemsAtUnload(object_, serviceName_);
    auto [k, lock] = LockKernel();
    size_t before = k.violations.size();
    PDRIVER_OBJECT gone = object_;
    FreeDriverObject(lock, object_);
    object_ = nullptr;
    loaded_ = false;
    // Only what this driver's code allocated is its leak: other drivers may
    // still be loaded. Once reported, a block is nobody's, so a later driver
    // object at the same address is not blamed for it.
    for (auto& leak : PoolLeaks(gone)) Violation(lock, "after unload of " + serviceName_ + ": " + leak);
    for (auto& [p, block] : k.pool)
        if (block.driver == gone) block.driver = nullptr;
    // An IRP is the driver's if its code allocated it or if it was sent to
    // the driver and has not come back to the top since.
    for (auto& [irp, info] : k.irps) {
        bool sentToIt = std::find(info.through.begin(), info.through.end(), gone) != info.through.end();
        if (info.driver != gone && !sentToIt) continue;
        Violation(lock, "after unload of " + serviceName_ + ": IRP " + Hex(uint64_t(irp)) + " is still alive");
        info.driver = nullptr;
    }
    for (size_t i = before; i < k.violations.size(); ++i) problems.push_back(k.violations[i]);
    return problems;
}

}  // namespace hosted
