// Events, semaphores, kernel mutexes and the waits on dispatcher objects.
#include <cstdio>

#include <ntifs.h>

#include "internal.h"

using namespace hosted;
using namespace hosted::detail;

namespace {

bool KnownDispatcher(Kernel& k, DISPATCHER_HEADER* h)
{
    switch (h->Type) {
    case kEventNotification:
    case kEventSynchronization:
    case kMutant:
    case kSemaphore:
    case kTimerNotification:
    case kTimerSynchronization:
        return true;
    case kThread:
        return k.threadObjectRefs.count(reinterpret_cast<_ETHREAD*>(h)) != 0;
    default:
        return false;
    }
}

NTSTATUS DoWait(ULONG count, PVOID* objects, WAIT_TYPE type, PLARGE_INTEGER timeout, const char* routine)
{
    ThreadState* self = CurrentOrFail(routine);
    auto [k, lock] = LockKernel();
    // On the stack for the usual few objects: a wait happens for every request.
    DISPATCHER_HEADER* few[8];
    std::vector<DISPATCHER_HEADER*> many(count > 8 ? count : 0);
    DISPATCHER_HEADER** hs = count > 8 ? many.data() : few;
    for (ULONG i = 0; i < count; ++i) {
        auto* h = static_cast<DISPATCHER_HEADER*>(objects[i]);
        if (!h || !KnownDispatcher(k, h)) {
            char buf[160];
            std::snprintf(buf, sizeof buf, "%s on %p, which is not an initialised dispatcher object", routine,
                          objects[i]);
            Violation(lock, buf);
            return STATUS_INVALID_PARAMETER;
        }
        hs[i] = h;
    }
    return WaitInternal(lock, self, count, hs, type, timeout, routine);
}

}  // namespace

extern "C" {

// ---------------------------------------------------------------- events

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    Event->Header.Type = Type == SynchronizationEvent ? kEventSynchronization : kEventNotification;
    Event->Header.Signalling = 0;
    Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
    Event->Header.SignalState = State ? 1 : 0;
    InitializeListHead(&Event->Header.WaitListHead);
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY, BOOLEAN)
{
    auto [k, lock] = LockKernel();
    LONG old = Event->Header.SignalState;
    Event->Header.SignalState = 1;
    if (old == 0) WakeWaiters(lock, &Event->Header);
    PreemptionPoint(lock);
    return old;
}

LONG KeResetEvent(PRKEVENT Event)
{
    auto [k, lock] = LockKernel();
    LONG old = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return old;
}

VOID KeClearEvent(PRKEVENT Event)
{
    auto [k, lock] = LockKernel();
    Event->Header.SignalState = 0;
}

LONG KeReadStateEvent(PRKEVENT Event)
{
    auto [k, lock] = LockKernel();
    return Event->Header.SignalState;
}

LONG KePulseEvent(PRKEVENT Event, KPRIORITY, BOOLEAN)
{
    auto [k, lock] = LockKernel();
    LONG old = Event->Header.SignalState;
    Event->Header.SignalState = 1;
    WakeWaiters(lock, &Event->Header);
    Event->Header.SignalState = 0;
    return old;
}

// ---------------------------------------------------------------- semaphores, mutexes

VOID KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit)
{
    Semaphore->Header.Type = kSemaphore;
    Semaphore->Header.SignalState = Count;
    Semaphore->Limit = Limit;
    InitializeListHead(&Semaphore->Header.WaitListHead);
}

LONG KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY, LONG Adjustment, BOOLEAN)
{
    auto [k, lock] = LockKernel();
    LONG old = Semaphore->Header.SignalState;
    if (Adjustment <= 0 || old + Adjustment > Semaphore->Limit) {
        Violation(lock, "KeReleaseSemaphore beyond the semaphore's limit (STATUS_SEMAPHORE_LIMIT_EXCEEDED)");
        return old;
    }
    Semaphore->Header.SignalState = old + Adjustment;
    WakeWaiters(lock, &Semaphore->Header);
    PreemptionPoint(lock);
    return old;
}

LONG KeReadStateSemaphore(PRKSEMAPHORE Semaphore)
{
    auto [k, lock] = LockKernel();
    return Semaphore->Header.SignalState;
}

VOID KeInitializeMutex(PRKMUTEX Mutex, ULONG)
{
    Mutex->Header.Type = kMutant;
    Mutex->Header.SignalState = 1;
    Mutex->OwnerThread = nullptr;
    Mutex->Abandoned = FALSE;
    InitializeListHead(&Mutex->Header.WaitListHead);
}

LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN)
{
    ThreadState* t = CurrentOrFail("KeReleaseMutex");
    auto [k, lock] = LockKernel();
    LONG old = Mutex->Header.SignalState;
    if (!t->object || Mutex->OwnerThread != &t->object->Tcb) {
        Violation(lock, "KeReleaseMutex by thread '" + t->name + "', which does not own the mutex");
        return old;
    }
    if (++Mutex->Header.SignalState == 1) {
        Mutex->OwnerThread = nullptr;
        WakeWaiters(lock, &Mutex->Header);
    }
    PreemptionPoint(lock);
    return old;
}

LONG KeReadStateMutex(PRKMUTEX Mutex)
{
    auto [k, lock] = LockKernel();
    return Mutex->Header.SignalState;
}

// ---------------------------------------------------------------- waits

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Timeout)
{
    return DoWait(1, &Object, WaitAny, Timeout, "KeWaitForSingleObject");
}

NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType, KWAIT_REASON, KPROCESSOR_MODE,
                                  BOOLEAN, PLARGE_INTEGER Timeout, PKWAIT_BLOCK WaitBlockArray)
{
    if (Count == 0 || Count > MAXIMUM_WAIT_OBJECTS || (Count > THREAD_WAIT_OBJECTS && !WaitBlockArray) ||
        (WaitType != WaitAll && WaitType != WaitAny)) {
        auto [k, lock] = LockKernel();
        Violation(lock, "KeWaitForMultipleObjects with " + std::to_string(Count) +
                            " objects, wait type " + std::to_string(int(WaitType)) +
                            (WaitBlockArray ? "" : " and no wait block array"));
        return STATUS_INVALID_PARAMETER;
    }
    return DoWait(Count, Object, WaitType, Timeout, "KeWaitForMultipleObjects");
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Interval)
{
    ThreadState* self = CurrentOrFail("KeDelayExecutionThread");
    auto [k, lock] = LockKernel();
    if (!Interval) {
        Violation(lock, "KeDelayExecutionThread without an interval");
        return STATUS_INVALID_PARAMETER;
    }
    WaitInternal(lock, self, 0, nullptr, WaitAny, Interval, "KeDelayExecutionThread");
    return STATUS_SUCCESS;
}

VOID KeStallExecutionProcessor(ULONG MicroSeconds)
{
    auto [k, lock] = LockKernel();
    k.now += int64_t(MicroSeconds) * 10;  // a busy wait: time passes, nobody else runs
}

}  // extern "C"
