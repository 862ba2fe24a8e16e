// The object manager: handles, object references and thread objects.
#include <cstdio>

#include <ntifs.h>

#include "internal.h"

using namespace hosted;
using namespace hosted::detail;

namespace hosted::detail {

HANDLE NewHandle(Lock&, HandleKind kind, void* object, ACCESS_MASK access, std::shared_ptr<void> holder)
{
    Kernel& k = K();
    uint64_t n = k.nextHandle++;
    k.handles[n] = HandleEntry{kind, object, access, std::move(holder)};
    return reinterpret_cast<HANDLE>(0xFFFFFFFF80000000ULL + n * 4);
}

size_t CountHandles(HandleKind kind)
{
    size_t n = 0;
    for (auto& [h, e] : K().handles)
        if (e.kind == kind) ++n;
    return n;
}

HandleEntry* FindHandle(HANDLE h)
{
    Kernel& k = K();
    uint64_t v = reinterpret_cast<uint64_t>(h);
    if (v < 0xFFFFFFFF80000000ULL || (v & 3)) return nullptr;
    auto it = k.handles.find((v - 0xFFFFFFFF80000000ULL) / 4);
    return it == k.handles.end() ? nullptr : &it->second;
}

void ReleaseThreadObject(Lock&, _ETHREAD* object)
{
    Kernel& k = K();
    auto it = k.threadObjectRefs.find(object);
    if (it == k.threadObjectRefs.end()) return;
    if (--it->second == 0) {
        k.threadObjectRefs.erase(it);
        if (object->Tcb.state) object->Tcb.state->object = nullptr;
        delete object;
    }
}

_ETHREAD* NewThreadObject(ThreadState* t)
{
    auto* obj = new _ETHREAD{};
    obj->Tcb.Header.Type = kThread;
    obj->Tcb.Header.SignalState = 0;
    obj->Tcb.state = t;
    t->object = obj;
    K().threadObjectRefs[obj] = 1;  // the thread's own reference
    t->done.Header.Type = kEventNotification;
    return obj;
}

}  // namespace hosted::detail

extern "C" {

// ---------------------------------------------------------------- objects and handles

static struct _OBJECT_TYPE* g_threadType = reinterpret_cast<struct _OBJECT_TYPE*>(0x10);
static struct _OBJECT_TYPE* g_eventType = reinterpret_cast<struct _OBJECT_TYPE*>(0x20);
static struct _OBJECT_TYPE* g_fileType = reinterpret_cast<struct _OBJECT_TYPE*>(0x30);
POBJECT_TYPE* PsThreadType = &g_threadType;
POBJECT_TYPE* ExEventObjectType = &g_eventType;
POBJECT_TYPE* IoFileObjectType = &g_fileType;

NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                   KPROCESSOR_MODE, PVOID* Object, POBJECT_HANDLE_INFORMATION HandleInformation)
{
    auto [k, lock] = LockKernel();
    NTSTATUS injected = STATUS_SUCCESS;
    if (TakeFailure(k.failReference, &injected)) return injected;
    HandleEntry* e = FindHandle(Handle);
    if (!e) return STATUS_INVALID_HANDLE;
    if (e->kind != HandleKind::Thread || (ObjectType && ObjectType != *PsThreadType)) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    if (DesiredAccess & ~e->access & ~MAXIMUM_ALLOWED) return STATUS_ACCESS_DENIED;
    auto* obj = static_cast<_ETHREAD*>(e->object);
    k.threadObjectRefs[obj]++;
    *Object = obj;
    if (HandleInformation) {
        HandleInformation->HandleAttributes = 0;
        HandleInformation->GrantedAccess = e->access;
    }
    return STATUS_SUCCESS;
}

// Only thread handles are waitable here (keys and files are not dispatcher
// objects of this platform). The handle's object is held by a temporary
// reference while the caller waits, as the object manager does, so a
// ZwClose from another thread cannot free it under the wait.
NTSTATUS ZwWaitForSingleObject(HANDLE Handle, BOOLEAN Alertable, PLARGE_INTEGER Timeout)
{
    _ETHREAD* object = nullptr;
    {
        auto [k, lock] = LockKernel();
        HandleEntry* e = FindHandle(Handle);
        if (!e) {
            char buf[120];
            std::snprintf(buf, sizeof buf, "ZwWaitForSingleObject on %p, which is not an open handle", Handle);
            Violation(lock, buf);
            return STATUS_INVALID_HANDLE;
        }
        if (e->kind != HandleKind::Thread) {
            Violation(lock, "ZwWaitForSingleObject on a handle of an object that cannot be waited on");
            return STATUS_OBJECT_TYPE_MISMATCH;
        }
        if (!(e->access & SYNCHRONIZE)) return STATUS_ACCESS_DENIED;
        object = static_cast<_ETHREAD*>(e->object);
        k.threadObjectRefs[object]++;
    }
    NTSTATUS status = KeWaitForSingleObject(object, Executive, KernelMode, Alertable, Timeout);
    auto [k, lock] = LockKernel();
    ReleaseThreadObject(lock, object);
    return status;
}

LONG_PTR ObfReferenceObject(PVOID Object)
{
    auto [k, lock] = LockKernel();
    auto it = k.threadObjectRefs.find(static_cast<_ETHREAD*>(Object));
    if (it != k.threadObjectRefs.end()) return ++it->second;
    auto* dev = static_cast<PDEVICE_OBJECT>(Object);
    if (k.devices.count(dev)) return ++dev->ReferenceCount;
    char buf[120];
    std::snprintf(buf, sizeof buf, "ObReferenceObject on %p, which is not an object", Object);
    Violation(lock, buf);
    return 0;
}

LONG_PTR ObfDereferenceObject(PVOID Object)
{
    auto [k, lock] = LockKernel();
    auto it = k.threadObjectRefs.find(static_cast<_ETHREAD*>(Object));
    if (it != k.threadObjectRefs.end()) {
        LONG_PTR left = it->second - 1;
        ReleaseThreadObject(lock, static_cast<_ETHREAD*>(Object));
        return left;
    }
    auto* dev = static_cast<PDEVICE_OBJECT>(Object);
    if (k.devices.count(dev)) {
        if (dev->ReferenceCount <= 0) {
            Violation(lock, "ObDereferenceObject on a device object without a reference");
            return 0;
        }
        return --dev->ReferenceCount;
    }
    char buf[140];
    std::snprintf(buf, sizeof buf, "ObDereferenceObject on %p, which is not a referenced object (released twice?)",
                  Object);
    Violation(lock, buf);
    return 0;
}

NTSTATUS ZwClose(HANDLE Handle)
{
    auto [k, lock] = LockKernel();
    HandleEntry* e = FindHandle(Handle);
    if (!e) {
        char buf[120];
        std::snprintf(buf, sizeof buf, "ZwClose on %p, which is not an open handle", Handle);
        Violation(lock, buf);
        return STATUS_INVALID_HANDLE;
    }
    if (e->kind == HandleKind::Thread)
        ReleaseThreadObject(lock, static_cast<_ETHREAD*>(e->object));
    else
        CloseKeyOrFile(*e);
    uint64_t v = reinterpret_cast<uint64_t>(Handle);
    k.handles.erase((v - 0xFFFFFFFF80000000ULL) / 4);
    return STATUS_SUCCESS;
}

}  // extern "C"

// ---------------------------------------------------------------- control API

namespace hosted {

void FailObjectReference(uint64_t nth, int32_t status)
{
    auto [k, lock] = LockKernel();
    k.failReference.push_back(FailRule{nth, status});
}

void ClearObjectReferenceFailures()
{
    auto [k, lock] = LockKernel();
    k.failReference.clear();
}

}  // namespace hosted
