// Pool: allocations accounted by tag, leak and misuse checks, failure injection.
//
// Freed blocks are filled with 0xDD and kept in a quarantine (poisoned under
// AddressSanitizer) before they go back to malloc, so a second free of the
// same pointer is recognised as a double free rather than hitting a newer
// allocation at the same address.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "internal.h"

#if defined(__SANITIZE_ADDRESS__)
#define HOSTED_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define HOSTED_ASAN 1
#endif
#endif

#if defined(HOSTED_ASAN)
#include <sanitizer/asan_interface.h>
#define HOSTED_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define HOSTED_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define HOSTED_POISON(p, n) ((void)(p), (void)(n))
#define HOSTED_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

using namespace hosted;
using namespace hosted::detail;

namespace {

constexpr size_t kQuarantine = 4096;

std::string TagText(uint32_t tag)
{
    std::string s;
    for (int i = 0; i < 4; ++i) {
        char c = char((tag >> (8 * i)) & 0xFF);
        s.push_back(c >= 32 && c < 127 ? c : '.');
    }
    char buf[40];
    std::snprintf(buf, sizeof buf, "'%s' (0x%08X)", s.c_str(), tag);
    return buf;
}

bool ValidPoolType(int type)
{
    switch (type) {
    case NonPagedPool:
    case PagedPool:
    case NonPagedPoolCacheAligned:
    case PagedPoolCacheAligned:
    case NonPagedPoolNx:
    case NonPagedPoolNxCacheAligned:
        return true;
    default:
        return false;
    }
}

// Every rule counts the attempt, whether or not an earlier one fired.
bool ShouldFail(Kernel& k, uint32_t tag)
{
    bool fail = k.failAll;
    if (TakeFailure(k.failAllocation)) fail = true;
    auto it = k.failTag.find(tag);
    if (it != k.failTag.end() && TakeFailure(it->second)) fail = true;
    return fail;
}

void ReleaseQuarantine(Kernel& k, size_t keep)
{
    while (k.quarantine.size() > keep) {
        auto [p, n] = k.quarantine.front();
        k.quarantine.pop_front();
        k.quarantined.erase(p);
        HOSTED_UNPOISON(p, (n + 15) & ~size_t(15));
        std::free(p);
    }
}

void FreeBlock(PVOID P, const ULONG* tag, const char* routine)
{
    auto [k, lock] = LockKernel();
    ThreadState* t = Current();
    if (!P) {
        Violation(lock, std::string(routine) + "(NULL)");
        return;
    }
    auto it = k.pool.find(P);
    if (it == k.pool.end()) {
        char buf[200];
        if (k.quarantined.count(P))
            std::snprintf(buf, sizeof buf, "%s(%p): double free (the block was already freed)", routine, P);
        else
            std::snprintf(buf, sizeof buf, "%s(%p): not a pool allocation", routine, P);
        Violation(lock, buf);
        return;
    }
    PoolBlock& b = it->second;
    if (tag && *tag != b.tag)
        Violation(lock, std::string(routine) + " with tag " + TagText(*tag) + " on a block allocated with tag " +
                            TagText(b.tag));
    if (t && t->irql > DISPATCH_LEVEL)
        Violation(lock, std::string(routine) + " at IRQL " + std::to_string(t->irql));
    if (t && t->irql > APC_LEVEL && (b.type & 1))
        Violation(lock, std::string(routine) + " of paged pool at IRQL " + std::to_string(t->irql));
    TagStats& s = k.tagStats[b.tag];
    s.live -= b.bytes;
    s.liveCount--;
    k.liveBytes -= b.bytes;
    size_t n = b.bytes ? b.bytes : 1;
    k.pool.erase(it);
    std::memset(P, 0xDD, n);
    HOSTED_POISON(P, n);
    k.quarantine.emplace_back(P, n);
    k.quarantined.insert(P);
    ReleaseQuarantine(k, kQuarantine);
}

}  // namespace

namespace hosted::detail {

// Frees every block (after the end-of-run checks have reported leaks).
void DrainPool()
{
    Kernel& k = K();
    for (auto& [p, b] : k.pool) std::free(p);
    k.pool.clear();
    ReleaseQuarantine(k, 0);
}

std::vector<std::string> PoolLeaks(PDRIVER_OBJECT driver)
{
    Kernel& k = K();
    std::vector<std::string> out;
    for (auto& [p, b] : k.pool) {
        if (driver && b.driver != driver) continue;
        char buf[300];
        std::snprintf(buf, sizeof buf,
                      "pool leak: %zu bytes with tag %s at %p, allocation #%llu at virtual time %lld by thread '%s'",
                      b.bytes, TagText(b.tag).c_str(), p, (unsigned long long)b.serial, (long long)b.time,
                      b.thread->c_str());
        out.push_back(buf);
    }
    return out;
}

}  // namespace hosted::detail

extern "C" {

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    auto [k, lock] = LockKernel();
    ThreadState* t = Current();
    int type = int(PoolType);
    if (!ValidPoolType(type)) {
        Violation(lock, "ExAllocatePoolWithTag with pool type " + std::to_string(type));
        return nullptr;
    }
    if (Tag == 0) Violation(lock, "ExAllocatePoolWithTag with tag 0");
    if (t && t->irql > DISPATCH_LEVEL)
        Violation(lock, "ExAllocatePoolWithTag at IRQL " + std::to_string(t->irql));
    if (t && t->irql > APC_LEVEL && (type & 1))
        Violation(lock, "paged pool allocated at IRQL " + std::to_string(t->irql));
    TagStats& s = k.tagStats[Tag];
    s.attempts++;
    k.poolSerial++;
    if (ShouldFail(k, Tag)) {
        k.injected++;
        return nullptr;
    }
    if (NumberOfBytes > (SIZE_T(1) << 40)) return nullptr;
    size_t n = NumberOfBytes ? NumberOfBytes : 1;
    const size_t rounded = (n + 15) & ~size_t(15);
    void* p = std::aligned_alloc(16, rounded);
    if (!p) return nullptr;
    std::memset(p, 0xA5, n);  // pool memory is not zeroed
    // As the verifier's special pool does, the bytes between the size asked
    // for and the end of the 16-byte block are not the caller's: an overrun
    // into them is reported, however small.
    HOSTED_POISON(static_cast<char*>(p) + n, rounded - n);
    static const std::string notHosted = "(not hosted)";
    k.pool[p] = PoolBlock{NumberOfBytes, Tag, type, k.poolSerial, k.now, t ? &t->name : &notHosted,
                          t ? t->driver : nullptr};
    s.live += NumberOfBytes;
    s.liveCount++;
    if (s.live > s.peak) s.peak = s.live;
    k.liveBytes += NumberOfBytes;
    if (k.liveBytes > k.peakBytes) k.peakBytes = k.liveBytes;
    return p;
}

PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes)
{
    return ExAllocatePoolWithTag(PoolType, NumberOfBytes, 0x656E6F4E);  // 'None'
}

VOID ExFreePool(PVOID P) { FreeBlock(P, nullptr, "ExFreePool"); }

VOID ExFreePoolWithTag(PVOID P, ULONG Tag) { FreeBlock(P, &Tag, "ExFreePoolWithTag"); }

}  // extern "C"

namespace hosted {

namespace {

// One figure of a tag's statistics; 0 for a tag never seen.
template <typename T>
T TagFigure(uint32_t tag, T detail::TagStats::*figure)
{
    auto [k, lock] = LockKernel();
    auto it = k.tagStats.find(tag);
    return it == k.tagStats.end() ? 0 : it->second.*figure;
}

}  // namespace

size_t Pool::LiveBytes()
{
    auto [k, lock] = LockKernel();
    return k.liveBytes;
}
size_t Pool::LiveBytes(uint32_t tag) { return TagFigure(tag, &detail::TagStats::live); }
size_t Pool::LiveCount()
{
    auto [k, lock] = LockKernel();
    return k.pool.size();
}
size_t Pool::LiveCount(uint32_t tag) { return TagFigure(tag, &detail::TagStats::liveCount); }
size_t Pool::PeakBytes()
{
    auto [k, lock] = LockKernel();
    return k.peakBytes;
}
size_t Pool::PeakBytes(uint32_t tag) { return TagFigure(tag, &detail::TagStats::peak); }
uint64_t Pool::AllocationCount()
{
    auto [k, lock] = LockKernel();
    return k.poolSerial;
}
uint64_t Pool::AllocationCount(uint32_t tag) { return TagFigure(tag, &detail::TagStats::attempts); }
std::vector<PoolAllocation> Pool::Live()
{
    auto [k, lock] = LockKernel();
    std::vector<PoolAllocation> v;
    for (auto& [p, b] : k.pool) v.push_back(PoolAllocation{p, b.bytes, b.tag, b.type, b.serial, b.time, *b.thread});
    return v;
}
void Pool::FailAllocation(uint64_t nth)
{
    auto [k, lock] = LockKernel();
    k.failAllocation.push_back(FailRule{nth});
}
void Pool::FailTag(uint32_t tag, uint64_t nth)
{
    auto [k, lock] = LockKernel();
    k.failTag[tag].push_back(FailRule{nth});
}
void Pool::FailAll(bool on)
{
    auto [k, lock] = LockKernel();
    k.failAll = on;
}
void Pool::ClearFailures()
{
    auto [k, lock] = LockKernel();
    k.failAllocation.clear();
    k.failTag.clear();
    k.failAll = false;
}
uint64_t Pool::InjectedFailures()
{
    auto [k, lock] = LockKernel();
    return k.injected;
}

}  // namespace hosted
