// Timers, DPC objects, time queries and the virtual clock.
#include <algorithm>
#include <chrono>

#include <ntifs.h>

#include "internal.h"

using namespace hosted;
using namespace hosted::detail;

namespace hosted::detail {

void ArmTimer(Kernel& k, KTIMER* timer, TimerInfo info)
{
    DisarmTimer(k, timer);
    k.timers.emplace(timer, info);
    k.timerQueue.emplace(info.due, timer);
}

bool DisarmTimer(Kernel& k, KTIMER* timer)
{
    auto it = k.timers.find(timer);
    if (it == k.timers.end()) return false;
    k.timerQueue.erase({it->second.due, timer});
    k.timers.erase(it);
    return true;
}

}  // namespace hosted::detail

extern "C" {

// ---------------------------------------------------------------- timers and time

VOID KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type)
{
    auto [k, lock] = LockKernel();
    DisarmTimer(k, Timer);
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
    bool wasSet = DisarmTimer(k, Timer);
    Timer->Header.SignalState = 0;
    Timer->Dpc = Dpc;
    Timer->Period = Period;
    int64_t due = DeadlineFrom(&DueTime);
    if (DueTime.QuadPart == 0) due = k.now;
    Timer->DueTime.QuadPart = ULONGLONG(due);
    if (due <= k.now) {  // already due: expires at once
        if (Period > 0) ArmTimer(k, Timer, {k.now + int64_t(Period) * kUnitsPerMs, Period});
        Timer->Header.SignalState = 1;
        WakeWaiters(lock, &Timer->Header);
    } else {
        ArmTimer(k, Timer, {due, Period});
    }
    return wasSet;
}

BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) { return KeSetTimerEx(Timer, DueTime, 0, Dpc); }

BOOLEAN KeCancelTimer(PKTIMER Timer)
{
    auto [k, lock] = LockKernel();
    return DisarmTimer(k, Timer);
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

}  // namespace hosted
