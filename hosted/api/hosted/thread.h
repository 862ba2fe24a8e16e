// Hosted threads: fibers (or system threads) of which only one runs at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

extern "C" {
struct _KTHREAD;
}

namespace hosted {

namespace detail { struct ThreadState; }

// A handle to a hosted thread started with StartThread.
class Thread {
public:
    Thread() = default;
    // Blocks the calling hosted thread until this thread has ended.
    void Join();
    bool Finished() const;
    const std::string& Name() const;
    // The kernel thread object (waitable with KeWaitForSingleObject).
    _KTHREAD* Object() const;
    explicit operator bool() const { return static_cast<bool>(state_); }

private:
    friend Thread StartThread(std::string, std::function<void()>);
    std::shared_ptr<detail::ThreadState> state_;
};

// Start a hosted thread running `fn`. It becomes ready and runs when the
// current thread blocks (the scheduler never preempts). Must be called from a
// hosted thread while a Platform exists.
Thread StartThread(std::string name, std::function<void()> fn);

// Name of the calling hosted thread ("" if the caller is not a hosted thread).
std::string CurrentThreadName();

// Failure injection: ObReferenceObjectByHandle fails with `status` (an
// NTSTATUS) and references nothing. nth 0: every call; N: only the Nth
// counted from this call. ClearObjectReferenceFailures lifts the rules.
void FailObjectReference(uint64_t nth, int32_t status = int32_t(0xC0000022) /* STATUS_ACCESS_DENIED */);
void ClearObjectReferenceFailures();

// Seeded schedule exploration (Options::scheduleSeed).
namespace Scheduler {
// Whether the running platform has a schedule seed.
bool Seeded();
// One of `n` outcomes (0 .. n-1) that the documentation leaves open, e.g.
// whether a bus completes a request inside IoCallDriver or later: drawn from
// the seed, always 0 without one.
uint64_t Choose(uint64_t n);
// With a seed: the name of each thread given the processor, in order (the
// interleaving of the run). Empty without one.
std::vector<std::string> Switches();
}  // namespace Scheduler

}  // namespace hosted
