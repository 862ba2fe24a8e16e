// The platform's export table: what a kernel image's imports are bound to,
// by module and routine name, as the Windows x64 modules export them (only
// names those modules really export are listed, so an image that would not
// load on Windows does not load here either).
#include <strings.h>

#include <cstring>

#include <ntifs.h>
#include <ks.h>
#include <usbdlib.h>
#include <wmilib.h>

#include <hosted/kernel_image.h>

namespace hosted {

namespace {

constexpr const char* kNtoskrnl = "ntoskrnl.exe";
constexpr const char* kHal = "HAL.dll";
constexpr const char* kKs = "ks.sys";
constexpr const char* kUsbd = "USBD.SYS";
constexpr const char* kWmilib = "WMILIB.SYS";

// The C library's routines that compilers call on their own keep the
// platform's native convention; an image calls them with the Windows one.
__attribute__((ms_abi)) void* ImageMemcpy(void* to, const void* from, size_t n) { return std::memcpy(to, from, n); }
__attribute__((ms_abi)) void* ImageMemmove(void* to, const void* from, size_t n) { return std::memmove(to, from, n); }
__attribute__((ms_abi)) void* ImageMemset(void* to, int c, size_t n) { return std::memset(to, c, n); }

struct Export {
    const char* module;
    const char* name;
    void* address;
};

const Export kExports[] = {
    {kNtoskrnl, "DbgBreakPoint", reinterpret_cast<void*>(&DbgBreakPoint)},
    {kNtoskrnl, "DbgPrint", reinterpret_cast<void*>(&DbgPrint)},
    {kNtoskrnl, "DbgPrintEx", reinterpret_cast<void*>(&DbgPrintEx)},
    {kNtoskrnl, "ExAcquireFastMutex", reinterpret_cast<void*>(&ExAcquireFastMutex)},
    {kNtoskrnl, "ExAcquireFastMutexUnsafe", reinterpret_cast<void*>(&ExAcquireFastMutexUnsafe)},
    {kNtoskrnl, "ExAllocatePool", reinterpret_cast<void*>(&ExAllocatePool)},
    {kNtoskrnl, "ExAllocatePoolWithTag", reinterpret_cast<void*>(&ExAllocatePoolWithTag)},
    {kNtoskrnl, "ExFreePool", reinterpret_cast<void*>(&ExFreePool)},
    {kNtoskrnl, "ExFreePoolWithTag", reinterpret_cast<void*>(&ExFreePoolWithTag)},
    {kNtoskrnl, "ExReleaseFastMutex", reinterpret_cast<void*>(&ExReleaseFastMutex)},
    {kNtoskrnl, "ExReleaseFastMutexUnsafe", reinterpret_cast<void*>(&ExReleaseFastMutexUnsafe)},
    {kNtoskrnl, "ExSetTimerResolution", reinterpret_cast<void*>(&ExSetTimerResolution)},
    {kNtoskrnl, "ExTryToAcquireFastMutex", reinterpret_cast<void*>(&ExTryToAcquireFastMutex)},
    {kNtoskrnl, "IoAcquireCancelSpinLock", reinterpret_cast<void*>(&IoAcquireCancelSpinLock)},
    {kNtoskrnl, "IoAllocateDriverObjectExtension", reinterpret_cast<void*>(&IoAllocateDriverObjectExtension)},
    {kNtoskrnl, "IoAllocateIrp", reinterpret_cast<void*>(&IoAllocateIrp)},
    {kNtoskrnl, "IoAllocateWorkItem", reinterpret_cast<void*>(&IoAllocateWorkItem)},
    {kNtoskrnl, "IoAttachDeviceToDeviceStack", reinterpret_cast<void*>(&IoAttachDeviceToDeviceStack)},
    {kNtoskrnl, "IoBuildDeviceIoControlRequest", reinterpret_cast<void*>(&IoBuildDeviceIoControlRequest)},
    {kNtoskrnl, "IoCancelIrp", reinterpret_cast<void*>(&IoCancelIrp)},
    {kNtoskrnl, "IoCreateDevice", reinterpret_cast<void*>(&IoCreateDevice)},
    {kNtoskrnl, "IoDeleteDevice", reinterpret_cast<void*>(&IoDeleteDevice)},
    {kNtoskrnl, "IoDetachDevice", reinterpret_cast<void*>(&IoDetachDevice)},
    {kNtoskrnl, "IoFreeIrp", reinterpret_cast<void*>(&IoFreeIrp)},
    {kNtoskrnl, "IoFreeWorkItem", reinterpret_cast<void*>(&IoFreeWorkItem)},
    {kNtoskrnl, "IoGetAttachedDeviceReference", reinterpret_cast<void*>(&IoGetAttachedDeviceReference)},
    {kNtoskrnl, "IoGetDeviceProperty", reinterpret_cast<void*>(&IoGetDeviceProperty)},
    {kNtoskrnl, "IoGetDriverObjectExtension", reinterpret_cast<void*>(&IoGetDriverObjectExtension)},
    {kNtoskrnl, "IoInitializeIrp", reinterpret_cast<void*>(&IoInitializeIrp)},
    {kNtoskrnl, "IoInvalidateDeviceRelations", reinterpret_cast<void*>(&IoInvalidateDeviceRelations)},
    {kNtoskrnl, "IoInvalidateDeviceState", reinterpret_cast<void*>(&IoInvalidateDeviceState)},
    {kNtoskrnl, "IoOpenDeviceRegistryKey", reinterpret_cast<void*>(&IoOpenDeviceRegistryKey)},
    {kNtoskrnl, "IoQueueWorkItem", reinterpret_cast<void*>(&IoQueueWorkItem)},
    {kNtoskrnl, "IoReleaseCancelSpinLock", reinterpret_cast<void*>(&IoReleaseCancelSpinLock)},
    {kNtoskrnl, "IoReuseIrp", reinterpret_cast<void*>(&IoReuseIrp)},
    {kNtoskrnl, "IoWMIRegistrationControl", reinterpret_cast<void*>(&IoWMIRegistrationControl)},
    {kNtoskrnl, "IofCallDriver", reinterpret_cast<void*>(&IofCallDriver)},
    {kNtoskrnl, "IofCompleteRequest", reinterpret_cast<void*>(&IofCompleteRequest)},
    {kNtoskrnl, "KeAcquireSpinLockRaiseToDpc", reinterpret_cast<void*>(&KeAcquireSpinLockRaiseToDpc)},
    {kNtoskrnl, "KeBugCheck", reinterpret_cast<void*>(&KeBugCheck)},
    {kNtoskrnl, "KeBugCheckEx", reinterpret_cast<void*>(&KeBugCheckEx)},
    {kNtoskrnl, "KeCancelTimer", reinterpret_cast<void*>(&KeCancelTimer)},
    {kNtoskrnl, "KeClearEvent", reinterpret_cast<void*>(&KeClearEvent)},
    {kNtoskrnl, "KeDelayExecutionThread", reinterpret_cast<void*>(&KeDelayExecutionThread)},
    {kNtoskrnl, "KeEnterCriticalRegion", reinterpret_cast<void*>(&KeEnterCriticalRegion)},
    {kNtoskrnl, "KeGetCurrentIrql", reinterpret_cast<void*>(&KeGetCurrentIrql)},
    {kNtoskrnl, "KeGetCurrentThread", reinterpret_cast<void*>(&KeGetCurrentThread)},
    {kNtoskrnl, "KeInitializeDpc", reinterpret_cast<void*>(&KeInitializeDpc)},
    {kNtoskrnl, "KeInitializeEvent", reinterpret_cast<void*>(&KeInitializeEvent)},
    {kNtoskrnl, "KeInitializeMutex", reinterpret_cast<void*>(&KeInitializeMutex)},
    {kNtoskrnl, "KeInitializeSemaphore", reinterpret_cast<void*>(&KeInitializeSemaphore)},
    {kNtoskrnl, "KeInitializeTimer", reinterpret_cast<void*>(&KeInitializeTimer)},
    {kNtoskrnl, "KeInitializeTimerEx", reinterpret_cast<void*>(&KeInitializeTimerEx)},
    {kNtoskrnl, "KeLeaveCriticalRegion", reinterpret_cast<void*>(&KeLeaveCriticalRegion)},
    {kNtoskrnl, "KePulseEvent", reinterpret_cast<void*>(&KePulseEvent)},
    {kHal, "KeQueryPerformanceCounter", reinterpret_cast<void*>(&KeQueryPerformanceCounter)},
    {kNtoskrnl, "KeQueryPriorityThread", reinterpret_cast<void*>(&KeQueryPriorityThread)},
    {kNtoskrnl, "KeQueryTimeIncrement", reinterpret_cast<void*>(&KeQueryTimeIncrement)},
    {kNtoskrnl, "KeRaiseIrqlToDpcLevel", reinterpret_cast<void*>(&KeRaiseIrqlToDpcLevel)},
    {kNtoskrnl, "KeReadStateEvent", reinterpret_cast<void*>(&KeReadStateEvent)},
    {kNtoskrnl, "KeReadStateMutex", reinterpret_cast<void*>(&KeReadStateMutex)},
    {kNtoskrnl, "KeReadStateSemaphore", reinterpret_cast<void*>(&KeReadStateSemaphore)},
    {kNtoskrnl, "KeReadStateTimer", reinterpret_cast<void*>(&KeReadStateTimer)},
    {kNtoskrnl, "KeReleaseMutex", reinterpret_cast<void*>(&KeReleaseMutex)},
    {kNtoskrnl, "KeReleaseSemaphore", reinterpret_cast<void*>(&KeReleaseSemaphore)},
    {kNtoskrnl, "KeReleaseSpinLock", reinterpret_cast<void*>(&KeReleaseSpinLock)},
    {kNtoskrnl, "KeResetEvent", reinterpret_cast<void*>(&KeResetEvent)},
    {kNtoskrnl, "KeSetEvent", reinterpret_cast<void*>(&KeSetEvent)},
    {kNtoskrnl, "KeSetPriorityThread", reinterpret_cast<void*>(&KeSetPriorityThread)},
    {kNtoskrnl, "KeSetTimer", reinterpret_cast<void*>(&KeSetTimer)},
    {kNtoskrnl, "KeSetTimerEx", reinterpret_cast<void*>(&KeSetTimerEx)},
    {kHal, "KeStallExecutionProcessor", reinterpret_cast<void*>(&KeStallExecutionProcessor)},
    {kNtoskrnl, "KeWaitForMultipleObjects", reinterpret_cast<void*>(&KeWaitForMultipleObjects)},
    {kNtoskrnl, "KeWaitForSingleObject", reinterpret_cast<void*>(&KeWaitForSingleObject)},
    {kNtoskrnl, "KfRaiseIrql", reinterpret_cast<void*>(&KfRaiseIrql)},
    {kKs, "KsCreateDevice", reinterpret_cast<void*>(&KsCreateDevice)},
    {kKs, "KsDispatchIrp", reinterpret_cast<void*>(&KsDispatchIrp)},
    {kKs, "KsGetDeviceForDeviceObject", reinterpret_cast<void*>(&KsGetDeviceForDeviceObject)},
    {kKs, "KsTerminateDevice", reinterpret_cast<void*>(&KsTerminateDevice)},
    {kNtoskrnl, "ObReferenceObjectByHandle", reinterpret_cast<void*>(&ObReferenceObjectByHandle)},
    {kNtoskrnl, "ObfDereferenceObject", reinterpret_cast<void*>(&ObfDereferenceObject)},
    {kNtoskrnl, "ObfReferenceObject", reinterpret_cast<void*>(&ObfReferenceObject)},
    {kNtoskrnl, "PoCallDriver", reinterpret_cast<void*>(&PoCallDriver)},
    {kNtoskrnl, "PoRequestPowerIrp", reinterpret_cast<void*>(&PoRequestPowerIrp)},
    {kNtoskrnl, "PoSetPowerState", reinterpret_cast<void*>(&PoSetPowerState)},
    {kNtoskrnl, "PoStartNextPowerIrp", reinterpret_cast<void*>(&PoStartNextPowerIrp)},
    {kNtoskrnl, "PsCreateSystemThread", reinterpret_cast<void*>(&PsCreateSystemThread)},
    {kNtoskrnl, "PsGetCurrentProcess", reinterpret_cast<void*>(&PsGetCurrentProcess)},
    {kNtoskrnl, "PsGetCurrentProcessId", reinterpret_cast<void*>(&PsGetCurrentProcessId)},
    {kNtoskrnl, "PsGetCurrentThread", reinterpret_cast<void*>(&PsGetCurrentThread)},
    {kNtoskrnl, "PsGetCurrentThreadId", reinterpret_cast<void*>(&PsGetCurrentThreadId)},
    {kNtoskrnl, "PsTerminateSystemThread", reinterpret_cast<void*>(&PsTerminateSystemThread)},
    {kNtoskrnl, "RtlAppendUnicodeStringToString", reinterpret_cast<void*>(&RtlAppendUnicodeStringToString)},
    {kNtoskrnl, "RtlAppendUnicodeToString", reinterpret_cast<void*>(&RtlAppendUnicodeToString)},
    {kNtoskrnl, "RtlAssert", reinterpret_cast<void*>(&RtlAssert)},
    {kNtoskrnl, "RtlCompareMemory", reinterpret_cast<void*>(&RtlCompareMemory)},
    {kNtoskrnl, "RtlCompareUnicodeString", reinterpret_cast<void*>(&RtlCompareUnicodeString)},
    {kNtoskrnl, "RtlCopyUnicodeString", reinterpret_cast<void*>(&RtlCopyUnicodeString)},
    {kNtoskrnl, "RtlEqualUnicodeString", reinterpret_cast<void*>(&RtlEqualUnicodeString)},
    {kNtoskrnl, "RtlInitAnsiString", reinterpret_cast<void*>(&RtlInitAnsiString)},
    {kNtoskrnl, "RtlInitUnicodeString", reinterpret_cast<void*>(&RtlInitUnicodeString)},
    {kUsbd, "USBD_CreateConfigurationRequestEx", reinterpret_cast<void*>(&USBD_CreateConfigurationRequestEx)},
    {kUsbd, "USBD_GetUSBDIVersion", reinterpret_cast<void*>(&USBD_GetUSBDIVersion)},
    {kUsbd, "USBD_ParseConfigurationDescriptor", reinterpret_cast<void*>(&USBD_ParseConfigurationDescriptor)},
    {kUsbd, "USBD_ParseConfigurationDescriptorEx", reinterpret_cast<void*>(&USBD_ParseConfigurationDescriptorEx)},
    {kUsbd, "USBD_ParseDescriptors", reinterpret_cast<void*>(&USBD_ParseDescriptors)},
    {kWmilib, "WmiCompleteRequest", reinterpret_cast<void*>(&WmiCompleteRequest)},
    {kWmilib, "WmiFireEvent", reinterpret_cast<void*>(&WmiFireEvent)},
    {kWmilib, "WmiSystemControl", reinterpret_cast<void*>(&WmiSystemControl)},
    {kNtoskrnl, "ZwClose", reinterpret_cast<void*>(&ZwClose)},
    {kNtoskrnl, "ZwCreateFile", reinterpret_cast<void*>(&ZwCreateFile)},
    {kNtoskrnl, "ZwCreateKey", reinterpret_cast<void*>(&ZwCreateKey)},
    {kNtoskrnl, "ZwDeleteValueKey", reinterpret_cast<void*>(&ZwDeleteValueKey)},
    {kNtoskrnl, "ZwOpenFile", reinterpret_cast<void*>(&ZwOpenFile)},
    {kNtoskrnl, "ZwOpenKey", reinterpret_cast<void*>(&ZwOpenKey)},
    {kNtoskrnl, "ZwQueryInformationFile", reinterpret_cast<void*>(&ZwQueryInformationFile)},
    {kNtoskrnl, "ZwQueryValueKey", reinterpret_cast<void*>(&ZwQueryValueKey)},
    {kNtoskrnl, "ZwReadFile", reinterpret_cast<void*>(&ZwReadFile)},
    {kNtoskrnl, "ZwSetValueKey", reinterpret_cast<void*>(&ZwSetValueKey)},
    {kNtoskrnl, "ZwWaitForSingleObject", reinterpret_cast<void*>(&ZwWaitForSingleObject)},
    {kNtoskrnl, "memcpy", reinterpret_cast<void*>(&ImageMemcpy)},
    {kNtoskrnl, "memmove", reinterpret_cast<void*>(&ImageMemmove)},
    {kNtoskrnl, "memset", reinterpret_cast<void*>(&ImageMemset)},
};

}  // namespace

void* KernelImage::Export(std::string_view module, std::string_view routine)
{
    for (const auto& e : kExports)
        if (module.size() == std::strlen(e.module) && strncasecmp(module.data(), e.module, module.size()) == 0 &&
            routine == e.name)
            return e.address;
    return nullptr;
}

std::vector<std::string> KernelImage::Exports()
{
    std::vector<std::string> all;
    for (const auto& e : kExports) all.push_back(std::string(e.module) + "!" + e.name);
    return all;
}

}  // namespace hosted
