// Hosted threads as fibers (Options::fibers): every hosted thread runs on the
// operating-system thread that booted the platform, each on a stack of its
// own, and the scheduler hands the processor from one to the next with a
// user-space context switch instead of waking one operating-system thread
// and putting another to sleep. Which thread runs when is decided by the
// scheduler exactly as with system threads; only the hand-off differs.
//
// What a switch carries besides the registers: the C++ runtime's record of
// exceptions being handled (a thread may block inside a catch block while
// another throws and catches), the platform's current-thread pointer, and the
// sanitizers' view of which stack is in use (AddressSanitizer's fake stacks,
// ThreadSanitizer's per-fiber state, which also orders the fibers' memory
// accesses as the hand-off of the baton does between threads).
//
// The switch itself is a few instructions of our own (below): it saves the
// registers a called function must preserve and swaps stack pointers.
// swapcontext would also save and restore the signal mask, a system call on
// every hand-off; all fibers share one thread and one mask, so there is
// nothing to switch.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cxxabi.h>
#include <mutex>
#include <vector>

#include "internal.h"

#if defined(__SANITIZE_ADDRESS__)
#define ORVEX_FIBER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ORVEX_FIBER_ASAN 1
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#define ORVEX_FIBER_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define ORVEX_FIBER_TSAN 1
#endif
#endif
#ifdef ORVEX_FIBER_ASAN
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#endif
#ifdef ORVEX_FIBER_TSAN
#include <sanitizer/tsan_interface.h>
#endif

// hosted_fiber_switch(&from->sp, to->sp): pushes the callee-saved registers
// and the SSE and x87 control words on the current stack, stores the stack
// pointer in *from, loads `to`'s and pops what its own switch pushed (or
// what MakeFiber laid out for a fiber that never ran). hosted_fiber_start is
// where a new fiber's first switch returns to: it calls hosted_fiber_main on
// an aligned stack and marks the end of the call chain for unwinders.
extern "C" void hosted_fiber_switch(void** from, void* to);
extern "C" void hosted_fiber_start();
extern "C" [[noreturn]] __attribute__((visibility("hidden"), used)) void hosted_fiber_main();
asm(R"(
    .text
    .globl hosted_fiber_switch
    .hidden hosted_fiber_switch
    .type hosted_fiber_switch, @function
hosted_fiber_switch:
    .cfi_startproc
    pushq %rbp
    pushq %rbx
    pushq %r12
    pushq %r13
    pushq %r14
    pushq %r15
    subq $8, %rsp
    stmxcsr (%rsp)
    fnstcw 4(%rsp)
    movq %rsp, (%rdi)
    movq %rsi, %rsp
    ldmxcsr (%rsp)
    fldcw 4(%rsp)
    addq $8, %rsp
    popq %r15
    popq %r14
    popq %r13
    popq %r12
    popq %rbx
    popq %rbp
    ret
    .cfi_endproc
    .size hosted_fiber_switch, .-hosted_fiber_switch

    .globl hosted_fiber_start
    .hidden hosted_fiber_start
    .type hosted_fiber_start, @function
hosted_fiber_start:
    .cfi_startproc
    .cfi_undefined rip
    xorl %ebp, %ebp
    andq $-16, %rsp
    call hosted_fiber_main@PLT
    ud2
    .cfi_endproc
    .size hosted_fiber_start, .-hosted_fiber_start
)");

namespace hosted::detail {

struct Fiber {
    void* sp = nullptr;  // saved stack pointer while switched out
    char* stack = nullptr;  // mapping with a guard page at its low end; null: the booting thread's own stack
    // The runtime's __cxa_eh_globals (caught-exception chain, uncaught count)
    // while this fiber is switched out.
    unsigned char eh[2 * sizeof(void*)] = {};
    void* asanFakeStack = nullptr;
    const void* stackBottom = nullptr;  // the usable stack, as the sanitizers want it
    size_t stackSize = 0;
    void* tsanFiber = nullptr;
    bool ownsTsanFiber = false;
};

namespace {

// Big enough for the driver, the simulated devices and test code at -O0
// under AddressSanitizer; only the pages touched take memory.
constexpr size_t kStackBytes = size_t(2) << 20;
const size_t kGuardBytes = size_t(::sysconf(_SC_PAGESIZE));

// Stacks of ended fibers, kept for the next ones (one update run starts and
// ends many hosted threads).
std::mutex g_spareMutex;
std::vector<char*> g_spare;

char* TakeStack()
{
    {
        std::lock_guard<std::mutex> guard(g_spareMutex);
        if (!g_spare.empty()) {
            char* s = g_spare.back();
            g_spare.pop_back();
#ifdef ORVEX_FIBER_ASAN
            // A fiber that ended left its frames' poison behind.
            __asan_unpoison_memory_region(s + kGuardBytes, kStackBytes);
#endif
            return s;
        }
    }
    void* p = ::mmap(nullptr, kStackBytes + kGuardBytes, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK, -1, 0);
    if (p == MAP_FAILED) {
        std::fprintf(stderr, "hosted: no memory for a fiber's stack\n");
        std::abort();
    }
    ::mprotect(p, kGuardBytes, PROT_NONE);  // an overflow faults instead of corrupting a neighbour
    return static_cast<char*>(p);
}

void GiveBackStack(char* s)
{
    std::lock_guard<std::mutex> guard(g_spareMutex);
    g_spare.push_back(s);
}

#ifdef ORVEX_FIBER_TSAN
void* g_tsanEnded = nullptr;  // the state of a fiber that ended, freed by the next one to run
#endif

// First thing on a fiber's stack after every switch into it.
void Arrived(Fiber* self, Fiber* from)
{
#ifdef ORVEX_FIBER_ASAN
    const void* bottom = nullptr;
    size_t size = 0;
    __sanitizer_finish_switch_fiber(self->asanFakeStack, &bottom, &size);
    // The booting thread's stack is learned the first time it is left.
    if (from && !from->stack) {
        from->stackBottom = bottom;
        from->stackSize = size;
    }
#else
    (void)self;
    (void)from;
#endif
#ifdef ORVEX_FIBER_TSAN
    if (g_tsanEnded) {
        __tsan_destroy_fiber(g_tsanEnded);
        g_tsanEnded = nullptr;
    }
#endif
}

Fiber* g_switchFrom = nullptr;  // the fiber a switch left, for the one it enters

void SaveEh(Fiber* f) { std::memcpy(f->eh, abi::__cxa_get_globals(), sizeof f->eh); }
void LoadEh(const Fiber* f) { std::memcpy(abi::__cxa_get_globals(), f->eh, sizeof f->eh); }

}  // namespace

void FiberDeleter::operator()(Fiber* f) const
{
    if (!f) return;
    if (f->stack) GiveBackStack(f->stack);
#ifdef ORVEX_FIBER_TSAN
    if (f->ownsTsanFiber && f->tsanFiber) __tsan_destroy_fiber(f->tsanFiber);
#endif
    delete f;
}

void MakeBootFiber(ThreadState* t)
{
    t->fiber.reset(new Fiber);
#ifdef ORVEX_FIBER_TSAN
    t->fiber->tsanFiber = __tsan_get_current_fiber();
#endif
}

void MakeFiber(ThreadState* t)
{
    t->fiber.reset(new Fiber);
    Fiber* f = t->fiber.get();
    f->stack = TakeStack();
    f->stackBottom = f->stack + kGuardBytes;
    f->stackSize = kStackBytes;
    // What hosted_fiber_switch pops on the first switch in: the control
    // words (their power-on defaults: all exceptions masked, round to
    // nearest, x87 double extended), six zeroed registers, and the address
    // its `ret` goes to.
    auto* top = reinterpret_cast<uint64_t*>(f->stack + kGuardBytes + kStackBytes);
    uint64_t* sp = top - 10;
    sp[0] = uint64_t(0x037F) << 32 | 0x1F80;
    for (int i = 1; i <= 6; ++i) sp[i] = 0;
    sp[7] = reinterpret_cast<uint64_t>(&hosted_fiber_start);
    f->sp = sp;
#ifdef ORVEX_FIBER_TSAN
    f->tsanFiber = __tsan_create_fiber(0);
    f->ownsTsanFiber = true;
#endif
}

void SwitchFiber(Lock& lock, ThreadState* self, bool ended)
{
    Kernel& k = K();
    ThreadState* next = k.running;
    if (!next) {
        std::fprintf(stderr, "hosted: fiber '%s' has no thread to hand the processor to\n", self->name.c_str());
        std::abort();
    }
    Fiber* from = self->fiber.get();
    Fiber* to = next->fiber.get();
    SaveEh(from);
    LoadEh(to);
    SetCurrent(next);
    g_switchFrom = from;
    if (ended) {
        // Nothing runs on this stack after the switch below; the next
        // thread may already take it for a thread it starts.
        GiveBackStack(from->stack);
        from->stack = nullptr;
#ifdef ORVEX_FIBER_TSAN
        g_tsanEnded = from->tsanFiber;
        from->tsanFiber = nullptr;
#endif
    }
    lock.unlock();
#ifdef ORVEX_FIBER_ASAN
    __sanitizer_start_switch_fiber(ended ? nullptr : &from->asanFakeStack, to->stackBottom, to->stackSize);
#endif
#ifdef ORVEX_FIBER_TSAN
    __tsan_switch_to_fiber(to->tsanFiber, 0);
#endif
    hosted_fiber_switch(&from->sp, to->sp);
    // Back on this fiber: someone handed the processor to it.
    Arrived(from, g_switchFrom);
    lock.lock();
}

}  // namespace hosted::detail

void hosted_fiber_main()
{
    using namespace hosted::detail;
    ThreadState* t = Current();
    Arrived(t->fiber.get(), g_switchFrom);
    RunThread(t);
    std::fprintf(stderr, "hosted: fiber '%s' resumed after its end\n", t->name.c_str());
    std::abort();
}
