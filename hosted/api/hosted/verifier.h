// Driver-Verifier-style checks. A violation is recorded when it happens,
// reported to the failure handler, and makes Platform::Finish() fail unless a
// test consumed it with Take() (tests of the checks themselves).
#pragma once

#include <string>
#include <vector>

namespace hosted {

struct Verifier {
    static std::vector<std::string> Violations();
    // Return and forget the violations recorded so far.
    static std::vector<std::string> Take();
    static size_t Count();
    // Report a violation found by platform-side code (USB stack, simulator).
    static void Report(const std::string& what);
};

// Deadlock: every hosted thread waits and none has a deadline. Each waiting
// thread's wait then throws DeadlockError (it unwinds the thread; the thread
// wrapper swallows it, on the test thread it fails the test unless expected).
struct DeadlockError {
    std::string report;
};

// The last deadlock report ("" if none since boot).
std::string LastDeadlockReport();

}  // namespace hosted
