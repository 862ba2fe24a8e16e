// Dispatcher objects, waits, time, IRQL, spin locks, fast mutexes, system
// threads, object references and handles.
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
    std::vector<DISPATCHER_HEADER*> hs;
    for (ULONG i = 0; i < count; ++i) {
        auto* h = static_cast<DISPATCHER_HEADER*>(objects[i]);
        if (!h || !KnownDispatcher(k, h)) {
            char buf[160];
            std::snprintf(buf, sizeof buf, "%s on %p, which is not an initialised dispatcher object", routine,
                          objects[i]);
            Violation(lock, buf);
            return STATUS_INVALID_PARAMETER;
        }
        hs.push_back(h);
    }
    return WaitInternal(lock, self, count, hs.data(), type, timeout, routine);
}

}  // namespace

extern "C" {

// ---------------------------------------------------------------- IRQL

KIRQL KeGetCurrentIrql(VOID)
{
    ThreadState* t = Current();
    return t ? t->irql : PASSIVE_LEVEL;
}

KIRQL KfRaiseIrql(KIRQL NewIrql)
{
    ThreadState* t = CurrentOrFail("KeRaiseIrql");
    KIRQL old = t->irql;
    if (NewIrql < old) {
        auto [k, lock] = LockKernel();
        Violation(lock, "KeRaiseIrql to " + std::to_string(NewIrql) + " below the current IRQL " +
                            std::to_string(old));
    }
    t->irql = NewIrql;
    return old;
}

VOID KfLowerIrql(KIRQL NewIrql)
{
    ThreadState* t = CurrentOrFail("KeLowerIrql");
    if (NewIrql > t->irql) {
        auto [k, lock] = LockKernel();
        Violation(lock, "KeLowerIrql to " + std::to_string(NewIrql) + " above the current IRQL " +
                            std::to_string(t->irql));
    }
    t->irql = NewIrql;
}

KIRQL KeRaiseIrqlToDpcLevel(VOID) { return KfRaiseIrql(DISPATCH_LEVEL); }

// ---------------------------------------------------------------- spin locks

VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { *SpinLock = 0; }

VOID KefAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock)
{
    ThreadState* t = CurrentOrFail("KeAcquireSpinLockAtDpcLevel");
    auto [k, lock] = LockKernel();
    if (t->irql < DISPATCH_LEVEL) Violation(lock, "spin lock acquired below DISPATCH_LEVEL");
    if (*SpinLock == reinterpret_cast<KSPIN_LOCK>(t))
        Violation(lock, "spin lock acquired twice by thread '" + t->name + "' (a deadlock on a real system)");
    else if (*SpinLock != 0)
        Violation(lock, "spin lock held by another thread while thread '" + t->name + "' acquires it");
    *SpinLock = reinterpret_cast<KSPIN_LOCK>(t);
    t->spinLocksHeld++;
}

VOID KefReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock)
{
    ThreadState* t = CurrentOrFail("KeReleaseSpinLockFromDpcLevel");
    auto [k, lock] = LockKernel();
    if (*SpinLock != reinterpret_cast<KSPIN_LOCK>(t))
        Violation(lock, "spin lock released by thread '" + t->name + "', which does not hold it");
    *SpinLock = 0;
    t->spinLocksHeld--;
}

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock)
{
    KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    KefAcquireSpinLockAtDpcLevel(SpinLock);
    return old;
}

VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql)
{
    KefReleaseSpinLockFromDpcLevel(SpinLock);
    KfLowerIrql(NewIrql);
}

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

// ---------------------------------------------------------------- timers and time

VOID KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type)
{
    auto [k, lock] = LockKernel();
    k.timers.erase(Timer);
    Timer->Header.Type = Type == SynchronizationTimer ? kTimerSynchronization : kTimerNotification;
    Timer->Header.SignalState = 0;
    InitializeListHead(&Timer->Header.WaitListHead);
    Timer->DueTime.QuadPart = 0;
    Timer->Dpc = nullptr;
    Timer->Period = 0;
}

VOID KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationTimer); }

BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc)
{
    auto [k, lock] = LockKernel();
    if (Timer->Header.Type != kTimerNotification && Timer->Header.Type != kTimerSynchronization) {
        Violation(lock, "KeSetTimer on an object that is not an initialised timer");
        return FALSE;
    }
    if (Dpc) Violation(lock, "KeSetTimer with a DPC: the hosted platform runs no DPCs");
    bool wasSet = k.timers.erase(Timer) != 0;
    Timer->Header.SignalState = 0;
    Timer->Dpc = Dpc;
    Timer->Period = Period;
    int64_t due = DeadlineFrom(&DueTime);
    if (DueTime.QuadPart == 0) due = k.now;
    Timer->DueTime.QuadPart = ULONGLONG(due);
    k.timers[Timer] = TimerInfo{due, Period};
    if (due <= k.now) {  // already due: expires at once
        if (Period > 0)
            k.timers[Timer].due = k.now + int64_t(Period) * kUnitsPerMs;
        else
            k.timers.erase(Timer);
        Timer->Header.SignalState = 1;
        WakeWaiters(lock, &Timer->Header);
    }
    return wasSet;
}

BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) { return KeSetTimerEx(Timer, DueTime, 0, Dpc); }

BOOLEAN KeCancelTimer(PKTIMER Timer)
{
    auto [k, lock] = LockKernel();
    return k.timers.erase(Timer) != 0;
}

BOOLEAN KeReadStateTimer(PKTIMER Timer)
{
    auto [k, lock] = LockKernel();
    return Timer->Header.SignalState > 0;
}

VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext)
{
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
}

ULONG ExSetTimerResolution(ULONG DesiredTime, BOOLEAN SetResolution)
{
    auto [k, lock] = LockKernel();
    constexpr ULONG kMin = 5000;  // 0.5 ms
    if (SetResolution) {
        ULONG want = std::max(kMin, std::min<ULONG>(DesiredTime, Clock::kDefaultResolution));
        if (k.resolutionRequests == 0 || want < k.requestedResolution) k.requestedResolution = want;
        k.resolutionRequests++;
        k.resolution = k.requestedResolution;
    } else if (k.resolutionRequests > 0) {
        if (--k.resolutionRequests == 0) {
            k.requestedResolution = 0;
            k.resolution = Clock::kDefaultResolution;
        }
    }
    return k.resolution;
}

VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime)
{
    CurrentTime->QuadPart = Clock::Now() + K().bootSystemTime;
}

VOID KeQueryTickCount(PLARGE_INTEGER TickCount) { TickCount->QuadPart = Clock::Now() / Clock::kDefaultResolution; }

ULONGLONG KeQueryInterruptTime(VOID) { return ULONGLONG(Clock::Now()); }

ULONG KeQueryTimeIncrement(VOID) { return Clock::kDefaultResolution; }

LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency)
{
    if (PerformanceFrequency) PerformanceFrequency->QuadPart = kUnitsPerSecond;
    LARGE_INTEGER r;
    r.QuadPart = Clock::Now();
    return r;
}

// ---------------------------------------------------------------- threads

NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess, POBJECT_ATTRIBUTES, HANDLE ProcessHandle,
                              PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine, PVOID StartContext)
{
    ThreadState* self = CurrentOrFail("PsCreateSystemThread");
    auto [k, lock] = LockKernel();
    if (self->irql != PASSIVE_LEVEL) Violation(lock, "PsCreateSystemThread above PASSIVE_LEVEL");
    if (!ThreadHandle || !StartRoutine) return STATUS_INVALID_PARAMETER;
    if (ProcessHandle) Violation(lock, "PsCreateSystemThread with a process handle: only system threads exist");
    auto t = std::make_shared<ThreadState>();
    t->system = true;
    int n = k.nextThreadId;
    char name[64];
    std::snprintf(name, sizeof name, "system thread %d", n);
    t->name = name;
    NewThreadObject(t.get());
    k.threadObjectRefs[t->object]++;  // the handle's reference
    *ThreadHandle = NewHandle(lock, HandleKind::Thread, t->object, DesiredAccess);
    if (ClientId) {
        ClientId->UniqueProcess = reinterpret_cast<HANDLE>(4);
        ClientId->UniqueThread = reinterpret_cast<HANDLE>(intptr_t(n) * 4);
    }
    t->body = [StartRoutine, StartContext] { StartRoutine(StartContext); };
    StartThreadLocked(lock, t);
    return STATUS_SUCCESS;
}

NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus)
{
    ThreadState* self = CurrentOrFail("PsTerminateSystemThread");
    if (!self->system) {
        auto [k, lock] = LockKernel();
        Violation(lock, "PsTerminateSystemThread on thread '" + self->name + "', which is not a system thread");
        return STATUS_INVALID_PARAMETER;
    }
    throw ThreadExit{ExitStatus};
}

PETHREAD PsGetCurrentThread(VOID)
{
    return CurrentOrFail("PsGetCurrentThread")->object;
}

HANDLE PsGetCurrentThreadId(VOID)
{
    return reinterpret_cast<HANDLE>(intptr_t(CurrentOrFail("PsGetCurrentThreadId")->id) * 4);
}

PEPROCESS PsGetCurrentProcess(VOID)
{
    static char systemProcess[64];
    return reinterpret_cast<PEPROCESS>(systemProcess);
}

HANDLE PsGetCurrentProcessId(VOID) { return reinterpret_cast<HANDLE>(4); }

PKTHREAD KeGetCurrentThread(VOID) { return &CurrentOrFail("KeGetCurrentThread")->object->Tcb; }

KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority)
{
    auto [k, lock] = LockKernel();
    if (!k.threadObjectRefs.count(reinterpret_cast<_ETHREAD*>(Thread)) || Priority < 0 || Priority > 31) {
        Violation(lock, "KeSetPriorityThread on an unknown thread or with priority " + std::to_string(Priority));
        return 0;
    }
    ThreadState* t = Thread->state;
    KPRIORITY old = t->priority;
    t->priority = Priority;
    return old;
}

KPRIORITY KeQueryPriorityThread(PKTHREAD Thread)
{
    auto [k, lock] = LockKernel();
    return Thread->state ? Thread->state->priority : 0;
}

VOID KeEnterCriticalRegion(VOID) { CurrentOrFail("KeEnterCriticalRegion")->criticalRegion++; }

VOID KeLeaveCriticalRegion(VOID)
{
    ThreadState* t = CurrentOrFail("KeLeaveCriticalRegion");
    if (--t->criticalRegion < 0) {
        t->criticalRegion = 0;
        ViolationUnlocked("KeLeaveCriticalRegion without KeEnterCriticalRegion");
    }
}

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
    NTSTATUS injected;
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

// ---------------------------------------------------------------- fast mutexes

VOID ExInitializeFastMutex(PFAST_MUTEX FastMutex)
{
    FastMutex->Count = 1;
    FastMutex->Owner = nullptr;
    FastMutex->Contention = 0;
    KeInitializeEvent(&FastMutex->Event, SynchronizationEvent, FALSE);
    FastMutex->OldIrql = 0;
}

static void AcquireFast(PFAST_MUTEX FastMutex, bool raise, const char* routine)
{
    ThreadState* self = CurrentOrFail(routine);
    auto [k, lock] = LockKernel();
    if (raise && self->irql > APC_LEVEL)
        Violation(lock, std::string(routine) + " at IRQL " + std::to_string(self->irql) + " (above APC_LEVEL)");
    if (FastMutex->Owner == self->object)
        Violation(lock, std::string(routine) + ": thread '" + self->name +
                            "' already owns the fast mutex (a deadlock on a real system)");
    while (FastMutex->Count <= 0) {
        FastMutex->Contention++;
        DISPATCHER_HEADER* h = &FastMutex->Event.Header;
        WaitInternal(lock, self, 1, &h, WaitAny, nullptr, routine);
    }
    FastMutex->Count = 0;
    FastMutex->Owner = self->object;
    if (raise) {
        FastMutex->OldIrql = self->irql;
        if (self->irql < APC_LEVEL) self->irql = APC_LEVEL;
    }
}

static void ReleaseFast(PFAST_MUTEX FastMutex, bool lower, const char* routine)
{
    ThreadState* self = CurrentOrFail(routine);
    auto [k, lock] = LockKernel();
    if (FastMutex->Owner != self->object || FastMutex->Count != 0) {
        Violation(lock, std::string(routine) + " by thread '" + self->name + "', which does not own the fast mutex");
        return;
    }
    FastMutex->Owner = nullptr;
    FastMutex->Count = 1;
    if (lower) self->irql = KIRQL(FastMutex->OldIrql);
    // Wake one waiter, if any (the event is a synchronization event).
    bool waiter = false;
    for (auto& t : k.threads)
        if (t->run == ThreadState::Run::Blocked)
            for (auto* o : t->waitObjects)
                if (o == &FastMutex->Event.Header) waiter = true;
    if (waiter) {
        FastMutex->Event.Header.SignalState = 1;
        WakeWaiters(lock, &FastMutex->Event.Header);
    }
}

VOID ExAcquireFastMutex(PFAST_MUTEX FastMutex) { AcquireFast(FastMutex, true, "ExAcquireFastMutex"); }
VOID ExReleaseFastMutex(PFAST_MUTEX FastMutex) { ReleaseFast(FastMutex, true, "ExReleaseFastMutex"); }
VOID ExAcquireFastMutexUnsafe(PFAST_MUTEX FastMutex) { AcquireFast(FastMutex, false, "ExAcquireFastMutexUnsafe"); }
VOID ExReleaseFastMutexUnsafe(PFAST_MUTEX FastMutex) { ReleaseFast(FastMutex, false, "ExReleaseFastMutexUnsafe"); }

BOOLEAN ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex)
{
    ThreadState* self = CurrentOrFail("ExTryToAcquireFastMutex");
    auto [k, lock] = LockKernel();
    if (FastMutex->Count <= 0) return FALSE;
    FastMutex->Count = 0;
    FastMutex->Owner = self->object;
    FastMutex->OldIrql = self->irql;
    if (self->irql < APC_LEVEL) self->irql = APC_LEVEL;
    return TRUE;
}

}  // extern "C"

// ---------------------------------------------------------------- control API

namespace hosted {

int64_t Clock::Now()
{
    auto [k, lock] = LockKernel();
    if (k.options.mode == Options::Mode::RealTime) {
        auto wall = std::chrono::steady_clock::now() - k.wallBase;
        double units = std::chrono::duration<double>(wall).count() * k.options.speed * double(kUnitsPerSecond);
        int64_t v = k.virtualBase + int64_t(units);
        if (v > k.now) k.now = v;
    }
    return k.now;
}

int64_t Clock::SystemTime() { return Now() + K().bootSystemTime; }
int64_t Clock::BootSystemTime() { return K().bootSystemTime; }

uint32_t Clock::TimerResolution()
{
    auto [k, lock] = LockKernel();
    return k.resolution;
}

uint32_t Clock::TimerResolutionRequests()
{
    auto [k, lock] = LockKernel();
    return k.resolutionRequests;
}

void Sleep(int64_t duration)
{
    ThreadState* self = CurrentOrFail("hosted::Sleep");
    auto [k, lock] = LockKernel();
    LARGE_INTEGER t;
    t.QuadPart = -std::max<int64_t>(duration, 0);
    WaitInternal(lock, self, 0, nullptr, WaitAny, &t, "hosted::Sleep");
}

void Yield()
{
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    ThreadState* self = CurrentOrFail("hosted::Yield");
    auto [k, lock] = LockKernel();
    WaitInternal(lock, self, 0, nullptr, WaitAny, &zero, "hosted::Yield");
}

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

Thread StartThread(std::string name, std::function<void()> fn)
{
    CurrentOrFail("hosted::StartThread");
    auto [k, lock] = LockKernel();
    auto t = std::make_shared<ThreadState>();
    t->name = std::move(name);
    t->body = std::move(fn);
    NewThreadObject(t.get());
    StartThreadLocked(lock, t);
    Thread th;
    th.state_ = t;
    return th;
}

void Thread::Join()
{
    if (!state_) return;
    ThreadState* self = CurrentOrFail("hosted::Thread::Join");
    auto [k, lock] = LockKernel();
    if (state_->run == ThreadState::Run::Finished) return;
    DISPATCHER_HEADER* h = &state_->done.Header;
    std::string what = "hosted::Thread::Join('" + state_->name + "')";
    WaitInternal(lock, self, 1, &h, WaitAny, nullptr, what.c_str());
}

bool Thread::Finished() const
{
    if (!state_) return true;
    auto [k, lock] = LockKernel();
    return state_->run == ThreadState::Run::Finished;
}

const std::string& Thread::Name() const
{
    static const std::string none;
    return state_ ? state_->name : none;
}

_KTHREAD* Thread::Object() const { return state_ && state_->object ? &state_->object->Tcb : nullptr; }

std::string CurrentThreadName()
{
    ThreadState* t = Current();
    return t ? t->name : std::string();
}

}  // namespace hosted
