// IRQL and spin locks.
#include <ntifs.h>

#include "internal.h"

using namespace hosted;
using namespace hosted::detail;

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
    const bool leavesDispatch = t->irql >= DISPATCH_LEVEL && NewIrql < DISPATCH_LEVEL;
    t->irql = NewIrql;
    // Leaving DISPATCH_LEVEL is where a thread made ready meanwhile may take
    // the processor.
    if (leavesDispatch) {
        auto [k, lock] = LockKernel();
        PreemptionPoint(lock);
    }
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

}  // extern "C"
