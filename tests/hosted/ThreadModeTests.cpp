// Hosted threads as fibers and as system threads: the same interleaving in
// both modes, what a fiber switch must carry (exceptions being handled, the
// current thread), the reuse of ended fibers' stacks, and deadlock unwinding
// on a fiber's own stack.
#include <chrono>
#include <exception>
#include <stdexcept>

#include "HostedTestUtil.h"

using namespace hosted;

extern "C" NTSTATUS HelperWaitForever(PKEVENT event, volatile LONG* after);

namespace {

Options Mode(bool fibers)
{
    Options o;
    o.fibers = fibers;
    return o;
}

class ThreadModes : public ::testing::TestWithParam<bool> {};

// Three threads passing two events back and forth with sleeps and a yield
// in between: every step is written down with the thread and the time.
std::vector<std::string> PingPong()
{
    std::vector<std::string> steps;
    KEVENT ping, pong;
    KeInitializeEvent(&ping, SynchronizationEvent, FALSE);
    KeInitializeEvent(&pong, SynchronizationEvent, FALSE);
    auto note = [&](const std::string& what) {
        steps.push_back(CurrentThreadName() + " " + what + " @" + std::to_string(Clock::Now()));
    };
    Thread a = StartThread("a", [&] {
        for (int i = 0; i < 3; ++i) {
            note("ping");
            KeSetEvent(&ping, IO_NO_INCREMENT, FALSE);
            KeWaitForSingleObject(&pong, Executive, KernelMode, FALSE, nullptr);
        }
    });
    Thread b = StartThread("b", [&] {
        for (int i = 0; i < 3; ++i) {
            KeWaitForSingleObject(&ping, Executive, KernelMode, FALSE, nullptr);
            Sleep(Milliseconds(2));
            note("pong");
            KeSetEvent(&pong, IO_NO_INCREMENT, FALSE);
        }
    });
    Thread c = StartThread("c", [&] {
        for (int i = 0; i < 4; ++i) {
            note("tick");
            Sleep(Milliseconds(1));
            Yield();
        }
    });
    a.Join();
    b.Join();
    c.Join();
    return steps;
}

}  // namespace

TEST(ThreadMode, FibersAndSystemThreadsInterleaveAlike)
{
    std::vector<std::string> asFibers, asThreads;
    {
        TestPlatform platform(Mode(true));
        asFibers = PingPong();
    }
    {
        TestPlatform platform(Mode(false));
        asThreads = PingPong();
    }
    EXPECT_EQ(asFibers.size(), 10u);
    EXPECT_EQ(asFibers, asThreads);
}

TEST_P(ThreadModes, AThreadBlockedInsideACatchKeepsItsException)
{
    // Two threads each wait while handling an exception of their own, and
    // each rethrows it after the other has been running inside its catch
    // block: each must get its own back (a fiber switch carries the
    // runtime's record of the exceptions being handled).
    TestPlatform platform(Mode(GetParam()));
    KEVENT first, second;
    KeInitializeEvent(&first, NotificationEvent, FALSE);
    KeInitializeEvent(&second, NotificationEvent, FALSE);
    std::string seenA, seenB;
    auto rethrown = [] {
        try {
            throw;
        } catch (const std::exception& e) {
            return std::string(e.what());
        }
    };
    Thread a = StartThread("a", [&] {
        try {
            throw std::runtime_error("from a");
        } catch (const std::exception&) {
            KeWaitForSingleObject(&first, Executive, KernelMode, FALSE, nullptr);
            seenA = rethrown();
            KeSetEvent(&second, IO_NO_INCREMENT, FALSE);
        }
        EXPECT_EQ(std::uncaught_exceptions(), 0);
    });
    Thread b = StartThread("b", [&] {
        try {
            throw std::logic_error("from b");
        } catch (const std::exception&) {
            KeSetEvent(&first, IO_NO_INCREMENT, FALSE);
            KeWaitForSingleObject(&second, Executive, KernelMode, FALSE, nullptr);
            seenB = rethrown();
        }
    });
    a.Join();
    b.Join();
    EXPECT_EQ(seenA, "from a");
    EXPECT_EQ(seenB, "from b");
}

TEST_P(ThreadModes, EachThreadKeepsItsFloatingPointControl)
{
    // A thread sets its own rounding (SSE and x87) and blocks; the thread
    // that runs meanwhile must see the defaults, and the first its own
    // setting again when it resumes: a fiber switch carries both control words.
    TestPlatform platform(Mode(GetParam()));
    KEVENT go;
    KeInitializeEvent(&go, NotificationEvent, FALSE);
    auto mxcsr = [] { return __builtin_ia32_stmxcsr(); };
    auto fpucw = [] {
        unsigned short cw;
        asm volatile("fnstcw %0" : "=m"(cw));
        return cw;
    };
    unsigned seenByB = 0, keptByA = 0;
    unsigned short fpuSeenByB = 0, fpuKeptByA = 0;
    Thread a = StartThread("a", [&] {
        __builtin_ia32_ldmxcsr((mxcsr() & ~0x6000u) | 0x6000u);  // round toward zero
        unsigned short cw = static_cast<unsigned short>((fpucw() & ~0x0C00) | 0x0C00);
        asm volatile("fldcw %0" : : "m"(cw));
        KeWaitForSingleObject(&go, Executive, KernelMode, FALSE, nullptr);
        keptByA = mxcsr() & 0x6000u;
        fpuKeptByA = fpucw() & 0x0C00;
    });
    Thread b = StartThread("b", [&] {
        seenByB = mxcsr() & 0x6000u;
        fpuSeenByB = fpucw() & 0x0C00;
        KeSetEvent(&go, IO_NO_INCREMENT, FALSE);
    });
    a.Join();
    b.Join();
    EXPECT_EQ(seenByB, 0u);
    EXPECT_EQ(fpuSeenByB, 0u);
    EXPECT_EQ(keptByA, 0x6000u);
    EXPECT_EQ(fpuKeptByA, 0x0C00);
}

TEST_P(ThreadModes, ManyShortThreadsAndDeepStacks)
{
    // Threads come and go by the thousand in an update run (the bus starts
    // one per late completion); each still gets a stack of its own that
    // takes a deep call chain, and each knows itself.
    TestPlatform platform(Mode(GetParam()));
    int done = 0;
    for (int round = 0; round < 20; ++round) {
        std::vector<Thread> threads;
        for (int i = 0; i < 50; ++i) {
            const std::string name = "t" + std::to_string(round) + "." + std::to_string(i);
            threads.push_back(StartThread(name, [&done, name] {
                volatile char frame[256 * 1024];  // a deep frame: well inside the stack
                frame[0] = 1;
                frame[sizeof frame - 1] = frame[0];
                Sleep(Milliseconds(1));
                EXPECT_EQ(CurrentThreadName(), name);
                ++done;
            }));
        }
        for (auto& t : threads) t.Join();
    }
    EXPECT_EQ(done, 1000);
    EXPECT_EQ(Clock::Now(), Milliseconds(20));
}

// Every waiting thread is unwound, through frames compiled like driver code
// (no exceptions) too, without wall time passing; the report names each wait.
TEST_P(ThreadModes, DeadlockIsReportedAndUnwindsEveryWaitingThread)
{
    TestPlatform platform(Mode(GetParam()));
    KEVENT never, alsoNever;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    KeInitializeEvent(&alsoNever, SynchronizationEvent, FALSE);
    volatile LONG workerAfterWait = 0;
    int unwound = 0;
    Thread worker = StartThread("stuck worker", [&] { HelperWaitForever(&alsoNever, &workerAfterWait); });
    Thread other = StartThread("stuck", [&] {
        try {
            KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
        } catch (const DeadlockError&) {
            ++unwound;
            throw;
        }
    });
    auto wallStart = std::chrono::steady_clock::now();
    Sleep(Seconds(5));
    EXPECT_THROW(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr), DeadlockError);
    worker.Join();
    other.Join();
    EXPECT_EQ(workerAfterWait, 0);
    EXPECT_EQ(unwound, 1);
    EXPECT_LT(std::chrono::steady_clock::now() - wallStart, std::chrono::seconds(2));
    std::string report = LastDeadlockReport();
    for (const char* line : {"deadlock at virtual time 50000000",
                             "thread 'test' waits in KeWaitForSingleObject for: notification event",
                             "thread 'stuck' waits in KeWaitForSingleObject for: notification event",
                             "thread 'stuck worker' waits in KeWaitForSingleObject for: synchronization event"})
        EXPECT_NE(report.find(line), std::string::npos) << report;
    auto v = Verifier::Take();
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0], report);
    // The platform goes on working after the deadlock.
    Sleep(Seconds(1));
    EXPECT_EQ(Clock::Now(), Seconds(6));
}

INSTANTIATE_TEST_SUITE_P(Modes, ThreadModes, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Fibers" : "SystemThreads"; });
