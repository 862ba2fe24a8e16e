// Events, waits on several objects, fast mutexes, spin locks and IRQL,
// system threads and their objects, what a run leaves behind.
#include <ntifs.h>

#include "HostedTestUtil.h"

using namespace hosted;

TEST(Events, NotificationWakesAllSynchronizationWakesOne)
{
    TestPlatform platform;
    KEVENT note, sync;
    KeInitializeEvent(&note, NotificationEvent, FALSE);
    KeInitializeEvent(&sync, SynchronizationEvent, FALSE);
    int noteWoken = 0, syncWoken = 0;
    std::vector<Thread> threads;
    for (int i = 0; i < 3; ++i) {
        threads.push_back(StartThread("n" + std::to_string(i), [&] {
            KeWaitForSingleObject(&note, Executive, KernelMode, FALSE, nullptr);
            ++noteWoken;
        }));
        threads.push_back(StartThread("s" + std::to_string(i), [&] {
            LARGE_INTEGER t = Relative(Seconds(1));
            if (KeWaitForSingleObject(&sync, Executive, KernelMode, FALSE, &t) == STATUS_SUCCESS) ++syncWoken;
        }));
    }
    Yield();  // let them all start waiting
    EXPECT_EQ(KeSetEvent(&note, IO_NO_INCREMENT, FALSE), 0);
    EXPECT_EQ(KeSetEvent(&note, IO_NO_INCREMENT, FALSE), 1);  // previous state
    EXPECT_EQ(KeSetEvent(&sync, IO_NO_INCREMENT, FALSE), 0);
    for (auto& t : threads) t.Join();
    EXPECT_EQ(noteWoken, 3);
    EXPECT_EQ(syncWoken, 1);
    EXPECT_EQ(KeReadStateEvent(&note), 1);
    EXPECT_EQ(KeReadStateEvent(&sync), 0);  // consumed by the one waiter
    EXPECT_EQ(KeResetEvent(&note), 1);
    EXPECT_EQ(KeReadStateEvent(&note), 0);
}

TEST(Events, WaitAnyReturnsIndexWaitAllNeedsEvery)
{
    TestPlatform platform;
    KEVENT a, b;
    KeInitializeEvent(&a, NotificationEvent, FALSE);
    KeInitializeEvent(&b, SynchronizationEvent, FALSE);
    PVOID objs[2] = {&a, &b};
    KeSetEvent(&b, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForMultipleObjects(2, objs, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr),
              STATUS_WAIT_1);
    EXPECT_EQ(KeReadStateEvent(&b), 0);

    KeSetEvent(&b, IO_NO_INCREMENT, FALSE);
    LARGE_INTEGER t = Relative(Seconds(1));
    EXPECT_EQ(KeWaitForMultipleObjects(2, objs, WaitAll, Executive, KernelMode, FALSE, &t, nullptr),
              STATUS_TIMEOUT);
    EXPECT_EQ(KeReadStateEvent(&b), 1);  // a failed WaitAll consumes nothing
    Thread setter = StartThread("setter", [&] {
        Sleep(Seconds(2));
        KeSetEvent(&a, IO_NO_INCREMENT, FALSE);
    });
    EXPECT_EQ(KeWaitForMultipleObjects(2, objs, WaitAll, Executive, KernelMode, FALSE, nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(Clock::Now(), Seconds(3));
    EXPECT_EQ(KeReadStateEvent(&b), 0);
    setter.Join();

    // More than three objects need a wait block array.
    PVOID four[4] = {&a, &b, &a, &b};
    EXPECT_EQ(KeWaitForMultipleObjects(4, four, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Verifier::Take().size(), 1u);
}

TEST(FastMutex, ExcludesRaisesToApcLevelAndChecksOwner)
{
    TestPlatform platform;
    FAST_MUTEX m;
    ExInitializeFastMutex(&m);
    int inside = 0, maxInside = 0;
    std::vector<Thread> threads;
    for (int i = 0; i < 3; ++i)
        threads.push_back(StartThread("worker" + std::to_string(i), [&] {
            ExAcquireFastMutex(&m);
            EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
            maxInside = std::max(maxInside, ++inside);
            Sleep(Milliseconds(10));  // others run and block on the mutex
            --inside;
            ExReleaseFastMutex(&m);
            EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
        }));
    for (auto& t : threads) t.Join();
    EXPECT_EQ(maxInside, 1);
    EXPECT_EQ(Clock::Now(), Milliseconds(30));  // serialised
    EXPECT_GE(m.Contention, 2u);

    ExReleaseFastMutex(&m);  // not owned
    auto v = Verifier::Take();
    ASSERT_EQ(v.size(), 1u);
    EXPECT_NE(v[0].find("does not own"), std::string::npos);
}

TEST(Irql, BlockingWaitAtDispatchLevelIsAViolation)
{
    TestPlatform platform;
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KEVENT ev;
    KeInitializeEvent(&ev, NotificationEvent, TRUE);
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, &zero);  // polling is allowed
    EXPECT_EQ(Verifier::Count(), 0u);
    KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, nullptr);
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    auto v = Verifier::Take();
    ASSERT_EQ(v.size(), 1u);
    EXPECT_NE(v[0].find("IRQL 2"), std::string::npos);
}

namespace {
struct ThreadContext {
    KEVENT go;
    int64_t ranAt = -1;
    KPRIORITY oldPriority = -1;
};

VOID NTAPI SystemThread(PVOID context)
{
    auto* c = static_cast<ThreadContext*>(context);
    c->oldPriority = KeSetPriorityThread(KeGetCurrentThread(), 16);
    KeWaitForSingleObject(&c->go, Executive, KernelMode, FALSE, nullptr);
    LARGE_INTEGER d;
    d.QuadPart = -Seconds(2);
    KeDelayExecutionThread(KernelMode, FALSE, &d);
    c->ranAt = Clock::Now();
    PsTerminateSystemThread(STATUS_SUCCESS);
    c->ranAt = -2;  // never reached
}

// Each test starts one SystemThread, which waits for `c.go`.
class SystemThreads : public ::testing::Test {
protected:
    void SetUp() override
    {
        KeInitializeEvent(&c.go, NotificationEvent, FALSE);
        ASSERT_EQ(PsCreateSystemThread(&h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, SystemThread, &c),
                  STATUS_SUCCESS);
    }
    ThreadContext c;  // outlives the platform, whose end lets the thread finish
    TestPlatform platform;
    HANDLE h = nullptr;
};
}  // namespace

TEST_F(SystemThreads, CreateReferenceWaitAndTerminate)
{
    PVOID obj = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(h, THREAD_ALL_ACCESS, nullptr, KernelMode, &obj, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(h), STATUS_INVALID_HANDLE);  // closed already
    EXPECT_EQ(Verifier::Take().size(), 1u);
    LARGE_INTEGER t;
    t.QuadPart = -Seconds(1);
    EXPECT_EQ(KeWaitForSingleObject(obj, Executive, KernelMode, FALSE, &t), STATUS_TIMEOUT);  // still running
    KeSetEvent(&c.go, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(obj, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(c.ranAt, Seconds(3));
    EXPECT_EQ(c.oldPriority, 8);
    ObDereferenceObject(obj);
}

// The handle is the other way to wait for a thread: ZwWaitForSingleObject
// holds the object while it waits; a failed reference (injected) hands out
// nothing, and a handle that cannot be waited on is a verifier finding.
TEST_F(SystemThreads, WaitOnTheHandleAndFailedReference)
{
    FailObjectReference(1);
    PVOID obj = reinterpret_cast<PVOID>(1);
    EXPECT_EQ(ObReferenceObjectByHandle(h, THREAD_ALL_ACCESS, nullptr, KernelMode, &obj, nullptr),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(obj, reinterpret_cast<PVOID>(1));
    LARGE_INTEGER t;
    t.QuadPart = -Seconds(1);
    EXPECT_EQ(ZwWaitForSingleObject(h, FALSE, &t), STATUS_TIMEOUT);  // still running
    KeSetEvent(&c.go, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(ZwWaitForSingleObject(h, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(c.ranAt, Seconds(3));
    // Only the nth call failed: the next reference works.
    ASSERT_EQ(ObReferenceObjectByHandle(h, THREAD_ALL_ACCESS, nullptr, KernelMode, &obj, nullptr), STATUS_SUCCESS);
    ObDereferenceObject(obj);
    EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
    EXPECT_EQ(ZwWaitForSingleObject(h, FALSE, nullptr), STATUS_INVALID_HANDLE);
    EXPECT_EQ(Verifier::Take().size(), 1u);
}

// What a run leaves behind fails it at the end, each with the culprit named.
TEST(EndOfRun, LeftoversAreReported)
{
    ThreadContext c;  // outlives the platform's end, which lets its thread finish
    KEVENT never;
    struct Case {
        const char* what;
        std::function<void()> body;
        std::vector<std::vector<std::string>> expected;  // per problem, in order: what it names
    };
    const Case cases[] = {
        {"pool leak", [] { ExAllocatePoolWithTag(NonPagedPoolNx, 33, Tag("KCNw")); },
         {{"pool leak: 33 bytes with tag 'KCNw'"}}},
        {"timer resolution", [] { ExSetTimerResolution(10000, TRUE); }, {{"ExSetTimerResolution"}}},
        {"open handle and reference",
         [&] {
             KeInitializeEvent(&c.go, NotificationEvent, TRUE);
             HANDLE h = nullptr;
             PsCreateSystemThread(&h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, SystemThread, &c);
             PVOID obj = nullptr;
             ObReferenceObjectByHandle(h, THREAD_ALL_ACCESS, nullptr, KernelMode, &obj, nullptr);
         },
         {{"handle leak"}, {"ObDereferenceObject"}}},
        {"waiting thread",
         [&] {
             KeInitializeEvent(&never, NotificationEvent, FALSE);
             StartThread("forgotten", [&] { KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr); });
         },
         {{"thread 'forgotten' waits in KeWaitForSingleObject", "shutdown"}}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        auto problems = ProblemsAtFinish(k.body);
        ASSERT_EQ(problems.size(), k.expected.size()) << ::testing::PrintToString(problems);
        for (size_t i = 0; i < problems.size(); ++i)
            for (const auto& part : k.expected[i]) EXPECT_NE(problems[i].find(part), std::string::npos) << problems[i];
    }
    EXPECT_EQ(c.ranAt, Seconds(2));
}

TEST(Events, SignalWakesOnlyItsOwnWaitersInWaitOrder)
{
    // Many threads wait on events of their own; three wait on one shared
    // synchronization event, one of them through a wait that names it twice.
    // Each signal of the shared event wakes the next of its waiters, in the
    // order they began to wait, and no other thread.
    TestPlatform platform;
    constexpr int kOthers = 40;
    std::vector<KEVENT> own(kOthers);
    KEVENT shared;
    KeInitializeEvent(&shared, SynchronizationEvent, FALSE);
    std::vector<std::string> woken;
    std::vector<Thread> threads;
    for (int i = 0; i < kOthers; ++i) {
        KeInitializeEvent(&own[i], NotificationEvent, FALSE);
        threads.push_back(StartThread("own" + std::to_string(i), [&, i] {
            KeWaitForSingleObject(&own[i], Executive, KernelMode, FALSE, nullptr);
            woken.push_back(CurrentThreadName());
        }));
        if (i % 10 == 5 && i < 30)
            threads.push_back(StartThread("shared" + std::to_string(i), [&, i] {
                if (i == 15) {
                    PVOID twice[2] = {&shared, &shared};
                    EXPECT_EQ(KeWaitForMultipleObjects(2, twice, WaitAny, Executive, KernelMode, FALSE, nullptr,
                                                       nullptr),
                              STATUS_WAIT_0);
                } else {
                    KeWaitForSingleObject(&shared, Executive, KernelMode, FALSE, nullptr);
                }
                woken.push_back(CurrentThreadName());
            }));
    }
    Yield();  // every thread is waiting now
    for (int round = 0; round < 3; ++round) {
        KeSetEvent(&shared, IO_NO_INCREMENT, FALSE);
        Yield();
    }
    EXPECT_EQ(woken, (std::vector<std::string>{"shared5", "shared15", "shared25"}));
    EXPECT_EQ(KeReadStateEvent(&shared), 0);
    for (int i = kOthers - 1; i >= 0; --i) KeSetEvent(&own[i], IO_NO_INCREMENT, FALSE);
    for (auto& t : threads) t.Join();
    ASSERT_EQ(woken.size(), size_t(kOthers + 3));
    EXPECT_EQ(woken[3], "own39");  // woken in the order signalled
    // The shared event's wait list is empty again: a new waiter is woken by the next signal.
    Thread late = StartThread("late", [&] { KeWaitForSingleObject(&shared, Executive, KernelMode, FALSE, nullptr); });
    Yield();
    KeSetEvent(&shared, IO_NO_INCREMENT, FALSE);
    late.Join();
    EXPECT_TRUE(Verifier::Take().empty());
}
