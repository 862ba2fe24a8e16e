// Virtual time. One clock under every kernel wait; 100-ns units throughout.
#pragma once

#include <cstdint>

namespace hosted {

constexpr int64_t kUnitsPerMs = 10'000;
constexpr int64_t kUnitsPerSecond = 10'000'000;
constexpr int64_t Milliseconds(int64_t ms) { return ms * kUnitsPerMs; }
constexpr int64_t Seconds(int64_t s) { return s * kUnitsPerSecond; }

struct Clock {
    // Virtual time since boot (the interrupt time), in 100-ns units.
    static int64_t Now();
    // Virtual system time (100-ns units since 1601-01-01 UTC) as KeQuerySystemTime returns it.
    static int64_t SystemTime();
    // The system time at boot (Now() == 0).
    static int64_t BootSystemTime();
    // Timer resolution currently in force (100-ns units) and the number of
    // outstanding ExSetTimerResolution(.., TRUE) requests.
    static uint32_t TimerResolution();
    static uint32_t TimerResolutionRequests();
    // Default (maximum) resolution: 156250 (15.625 ms), the clock tick.
    static constexpr uint32_t kDefaultResolution = 156'250;
};

// Block the calling hosted thread for `duration` (100-ns units) of virtual
// time. Other hosted threads run meanwhile. Usable by the simulator and the
// USB stack; driver code uses KeDelayExecutionThread.
void Sleep(int64_t duration);

// Let every other ready hosted thread run once before the caller goes on
// (virtual time does not advance).
void Yield();

}  // namespace hosted
