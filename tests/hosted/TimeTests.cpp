// Virtual time: waits, time-outs, timers, clocks, real-time mode.
#include <chrono>

#include "HostedTestUtil.h"

using namespace hosted;

TEST(VirtualTime, LongWaitsOnTwoThreadsTakeNoWallTime)
{
    auto wallStart = std::chrono::steady_clock::now();
    int64_t wokeA = -1, wokeB = -1;
    {
        TestPlatform platform;
        Thread a = StartThread("a", [&] {
            LARGE_INTEGER d = Relative(Seconds(70));
            EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &d), STATUS_SUCCESS);
            wokeA = Clock::Now();
        });
        Thread b = StartThread("b", [&] {
            KEVENT never;
            KeInitializeEvent(&never, NotificationEvent, FALSE);
            LARGE_INTEGER d = Relative(Seconds(30));
            EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &d), STATUS_TIMEOUT);
            wokeB = Clock::Now();
        });
        a.Join();
        b.Join();
        EXPECT_EQ(Clock::Now(), Seconds(70));
    }
    EXPECT_EQ(wokeA, Seconds(70));
    EXPECT_EQ(wokeB, Seconds(30));
    EXPECT_LT(std::chrono::steady_clock::now() - wallStart, std::chrono::seconds(1));
}

TEST(VirtualTime, TimeoutsRelativeAbsoluteAndZero)
{
    TestPlatform platform;
    KEVENT ev;
    KeInitializeEvent(&ev, NotificationEvent, FALSE);
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    EXPECT_EQ(KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    EXPECT_EQ(Clock::Now(), 0);

    LARGE_INTEGER abs;
    abs.QuadPart = Clock::SystemTime() + Milliseconds(250);
    EXPECT_EQ(KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, &abs), STATUS_TIMEOUT);
    EXPECT_EQ(Clock::Now(), Milliseconds(250));

    // An absolute time already past times out at once.
    EXPECT_EQ(KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, &abs), STATUS_TIMEOUT);
    EXPECT_EQ(Clock::Now(), Milliseconds(250));

    // Signalled before its time-out: the wait ends when the event is set.
    Thread setter = StartThread("setter", [&] {
        Sleep(Seconds(3));
        KeSetEvent(&ev, IO_NO_INCREMENT, FALSE);
    });
    LARGE_INTEGER ten = Relative(Seconds(10));
    EXPECT_EQ(KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, &ten), STATUS_SUCCESS);
    EXPECT_EQ(Clock::Now(), Milliseconds(250) + Seconds(3));
    setter.Join();
}

TEST(VirtualTime, ClocksAgree)
{
    TestPlatform platform;
    Sleep(Seconds(2) + 123);
    LARGE_INTEGER sys, ticks;
    KeQuerySystemTime(&sys);
    KeQueryTickCount(&ticks);
    EXPECT_EQ(sys.QuadPart - Clock::BootSystemTime(), Seconds(2) + 123);
    EXPECT_EQ(KeQueryInterruptTime(), ULONGLONG(Seconds(2) + 123));
    EXPECT_EQ(ticks.QuadPart, 128);  // 2 s of 15.625 ms ticks
}

TEST(KernelTimers, FireAtDueTimeAndCancel)
{
    TestPlatform platform;
    KTIMER timer;
    KeInitializeTimer(&timer);
    EXPECT_FALSE(KeSetTimer(&timer, Relative(Milliseconds(5)), nullptr));
    EXPECT_FALSE(KeReadStateTimer(&timer));
    EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(Clock::Now(), Milliseconds(5));
    EXPECT_TRUE(KeReadStateTimer(&timer));  // a notification timer stays signalled
    EXPECT_FALSE(KeCancelTimer(&timer));    // it is no longer set

    // Setting again clears the state; re-setting reports the timer was set.
    EXPECT_FALSE(KeSetTimer(&timer, Relative(Seconds(1)), nullptr));
    EXPECT_FALSE(KeReadStateTimer(&timer));
    EXPECT_TRUE(KeSetTimer(&timer, Relative(Seconds(2)), nullptr));
    EXPECT_TRUE(KeCancelTimer(&timer));
    LARGE_INTEGER limit = Relative(Seconds(5));
    EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, &limit), STATUS_TIMEOUT);
    EXPECT_EQ(Clock::Now(), Milliseconds(5) + Seconds(5));
}

TEST(KernelTimers, SynchronizationAndPeriodicTimers)
{
    TestPlatform platform;
    KTIMER timer;
    KeInitializeTimerEx(&timer, SynchronizationTimer);
    KeSetTimerEx(&timer, Relative(Milliseconds(10)), 20, nullptr);  // then every 20 ms
    int64_t start = Clock::Now();
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
        EXPECT_EQ(Clock::Now() - start, Milliseconds(10 + 20 * i));
        EXPECT_FALSE(KeReadStateTimer(&timer));  // the wait consumed the signal
    }
    EXPECT_TRUE(KeCancelTimer(&timer));
}

TEST(KernelTimers, TimerResolutionRequestsAreTracked)
{
    TestPlatform platform;
    EXPECT_EQ(Clock::TimerResolution(), Clock::kDefaultResolution);
    EXPECT_EQ(ExSetTimerResolution(10000, TRUE), 10000u);
    EXPECT_EQ(ExSetTimerResolution(50000, TRUE), 10000u);  // the finest request wins
    EXPECT_EQ(Clock::TimerResolutionRequests(), 2u);
    ExSetTimerResolution(0, FALSE);
    EXPECT_EQ(Clock::TimerResolution(), 10000u);
    EXPECT_EQ(ExSetTimerResolution(0, FALSE), Clock::kDefaultResolution);
    EXPECT_EQ(Clock::TimerResolutionRequests(), 0u);
}

TEST(RealTimeMode, VirtualTimeFollowsScaledWallClock)
{
    Options o;
    o.mode = Options::Mode::RealTime;
    o.speed = 1000.0;  // one virtual second per wall millisecond
    TestPlatform platform(o);
    auto wallStart = std::chrono::steady_clock::now();
    LARGE_INTEGER d = Relative(Seconds(50));
    KeDelayExecutionThread(KernelMode, FALSE, &d);
    auto wall = std::chrono::steady_clock::now() - wallStart;
    EXPECT_GE(Clock::Now(), Seconds(50));
    EXPECT_GE(wall, std::chrono::milliseconds(45));
    EXPECT_LT(wall, std::chrono::seconds(5));
}

TEST(KernelTimers, ReSetTimerFiresOnlyAtItsNewTime)
{
    TestPlatform platform;
    KTIMER timer;
    KeInitializeTimerEx(&timer, SynchronizationTimer);
    KeSetTimer(&timer, Relative(Milliseconds(10)), nullptr);
    EXPECT_TRUE(KeSetTimer(&timer, Relative(Milliseconds(5)), nullptr));  // earlier than before
    EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(Clock::Now(), Milliseconds(5));
    // The first due time is gone with the re-set: nothing signals at 10 ms.
    LARGE_INTEGER limit = Relative(Milliseconds(20));
    EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, &limit), STATUS_TIMEOUT);
    EXPECT_EQ(Clock::Now(), Milliseconds(25));
}

TEST(VirtualTime, TimeOutsFireInDeadlineThenWaitOrderAfterManyEarlyWakes)
{
    // Thousands of waits with a long time-out that end early (a ping-pong
    // of two threads), then time-outs that must fire at their own times: by
    // deadline, and at equal deadlines in the order the threads began to wait.
    TestPlatform platform;
    KEVENT ping, pong, never;
    KeInitializeEvent(&ping, SynchronizationEvent, FALSE);
    KeInitializeEvent(&pong, SynchronizationEvent, FALSE);
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    constexpr int kRounds = 3000;
    int rounds = 0;
    Thread server = StartThread("server", [&] {
        for (int i = 0; i < kRounds; ++i) {
            LARGE_INTEGER hour = Relative(Seconds(3600));
            ASSERT_EQ(KeWaitForSingleObject(&ping, Executive, KernelMode, FALSE, &hour), STATUS_SUCCESS);
            KeSetEvent(&pong, IO_NO_INCREMENT, FALSE);
        }
    });
    for (int i = 0; i < kRounds; ++i) {
        KeSetEvent(&ping, IO_NO_INCREMENT, FALSE);
        LARGE_INTEGER hour = Relative(Seconds(3600));
        ASSERT_EQ(KeWaitForSingleObject(&pong, Executive, KernelMode, FALSE, &hour), STATUS_SUCCESS);
        ++rounds;
    }
    server.Join();
    EXPECT_EQ(rounds, kRounds);
    EXPECT_EQ(Clock::Now(), 0);

    std::vector<std::pair<std::string, int64_t>> fired;
    std::vector<Thread> waiters;
    for (auto [name, ms] : {std::pair{"late", 7}, {"first of two", 5}, {"early", 3}, {"second of two", 5}})
        waiters.push_back(StartThread(name, [&, ms = ms] {
            LARGE_INTEGER t = Relative(Milliseconds(ms));
            EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &t), STATUS_TIMEOUT);
            fired.emplace_back(CurrentThreadName(), Clock::Now());
        }));
    for (auto& w : waiters) w.Join();
    const std::vector<std::pair<std::string, int64_t>> expected{{"early", Milliseconds(3)},
                                                                {"first of two", Milliseconds(5)},
                                                                {"second of two", Milliseconds(5)},
                                                                {"late", Milliseconds(7)}};
    EXPECT_EQ(fired, expected);
}
