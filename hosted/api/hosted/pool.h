// Pool accounting and failure injection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace hosted {

// Pool tags are written as in the kernel: the first character is the lowest
// byte. Tag("Vorp") == 0x70726F56.
constexpr uint32_t Tag(const char (&t)[5])
{
    return uint32_t(uint8_t(t[0])) | uint32_t(uint8_t(t[1])) << 8 | uint32_t(uint8_t(t[2])) << 16 |
           uint32_t(uint8_t(t[3])) << 24;
}

struct PoolAllocation {
    void* address;
    size_t bytes;
    uint32_t tag;
    int poolType;
    uint64_t serial;  // 1 for the first allocation since boot
    int64_t time;
    std::string thread;
};

struct Pool {
    static size_t LiveBytes();
    static size_t LiveBytes(uint32_t tag);
    static size_t LiveCount();
    static size_t LiveCount(uint32_t tag);
    static size_t PeakBytes();              // highest total of live bytes since boot
    static size_t PeakBytes(uint32_t tag);  // highest live bytes of one tag
    static uint64_t AllocationCount();      // attempts since boot, failed ones included
    static uint64_t AllocationCount(uint32_t tag);
    static std::vector<PoolAllocation> Live();

    // Failure injection. nth 0 fails every attempt; N only the Nth attempt
    // counted from the call (FailAllocation(1): the very next one). Each call
    // adds a rule; ClearFailures lifts them all.
    static void FailAllocation(uint64_t nth);
    // The same, counting only attempts with this tag.
    static void FailTag(uint32_t tag, uint64_t nth = 0);
    // Every attempt fails while on (FailAll(false) lifts only this one).
    static void FailAll(bool on = true);
    static void ClearFailures();
    static uint64_t InjectedFailures();  // allocations failed on purpose so far
};

}  // namespace hosted
