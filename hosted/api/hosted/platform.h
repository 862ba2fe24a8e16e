// The hosted platform: boot/shutdown, scheduler mode, end-of-run checks.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace hosted {

struct Options {
    enum class Mode {
        Deterministic,  // virtual time jumps to the next deadline when every hosted thread waits
        RealTime,       // virtual time follows the wall clock, scaled by `speed`
    };
    Mode mode = Mode::Deterministic;
    double speed = 1.0;              // RealTime only: virtual seconds per wall second
    bool traceToStderr = false;      // echo every DbgPrint byte for byte to stderr
    std::string traceFile;           // and/or append it to this file
    std::string mainThreadName = "main";
    // Hosted threads run as fibers of the thread that boots the platform,
    // each on its own stack, handed the processor by a user-space context
    // switch; otherwise each is an operating-system thread woken through a
    // condition variable. The order threads run in is the same either way.
    bool fibers = true;
    // Seeded schedule exploration (see hosted/thread.h, Scheduler). Without a
    // seed, ready threads run in the order they became ready and nothing is
    // preempted. With one, each thread gets a random priority when it starts
    // and the highest-priority ready thread runs; a thread that reaches a
    // preemption point while a higher-priority one is ready gives way to it;
    // at `schedulePreemptions` preemption points, drawn at random among the
    // first `scheduleHorizon`, the running thread drops below every other; and
    // the choices the documentation leaves open to a bus (Scheduler::Choose)
    // follow the seed. The same seed replays the same interleaving.
    std::optional<uint64_t> scheduleSeed;
    int schedulePreemptions = 3;
    uint64_t scheduleHorizon = 2000;
};

// One platform instance per test (or per simulator run). Constructing it
// boots a fresh kernel (clock at 0, empty registry, pool, handle tables...)
// and registers the calling thread as a hosted thread named
// Options::mainThreadName. Only one Platform may exist at a time.
//
// Destroying it (or calling Finish()) waits, on virtual time, for every other
// hosted thread to end, then runs the end-of-run checks. Problems (leaks,
// verifier violations, deadlocks) are handed to the failure handler, which by
// default prints them to stderr; hosted/gtest.h installs one that fails the
// current test.
class Platform {
public:
    explicit Platform(Options options = {});
    ~Platform();
    Platform(const Platform&) = delete;
    Platform& operator=(const Platform&) = delete;

    // Waits for the other hosted threads, runs the checks and returns every
    // problem found (also reported to the failure handler). Idempotent.
    std::vector<std::string> Finish();

    // Receives each problem as it is found (verifier violation, deadlock) and
    // each end-of-run problem. Replaces the default stderr printer.
    static void SetFailureHandler(std::function<void(const std::string&)> handler);

    static bool Running();
    static const Options& CurrentOptions();
};

}  // namespace hosted
