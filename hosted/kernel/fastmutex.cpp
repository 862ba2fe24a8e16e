// Fast mutexes.
#include <cstdio>

#include <ntifs.h>

#include "internal.h"

using namespace hosted;
using namespace hosted::detail;

extern "C" {

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
    if (HasWaiters(&FastMutex->Event.Header)) {
        FastMutex->Event.Header.SignalState = 1;
        WakeWaiters(lock, &FastMutex->Event.Header);
    }
    PreemptionPoint(lock);
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
