// Hosted threads, the scheduler baton, virtual time and dispatcher waits.
//
// Every hosted thread is a real thread (or, in fiber mode, a fiber of the
// booting thread: fibers.cpp), but only the one holding the baton
// (K().running) executes; the others sleep on their condition variables (or
// are switched out). A
// thread gives the baton away only when it blocks, yields or ends (no
// preemption). When no thread is ready, virtual time jumps to the earliest
// deadline (a wait time-out or a kernel timer); when there is none, every
// thread waits forever: the deadlock is reported and the waits of the
// deadlocked threads throw hosted::DeadlockError.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <sstream>

#include "internal.h"
#include "kernel_image_internal.h"

namespace hosted::detail {

namespace {
std::unique_ptr<Kernel> g_kernel;
thread_local ThreadState* t_current = nullptr;
std::mutex g_bootMutex;
}  // namespace

Kernel& K()
{
    if (!g_kernel) {
        std::lock_guard<std::mutex> guard(g_bootMutex);
        if (!g_kernel) g_kernel = std::make_unique<Kernel>();
    }
    return *g_kernel;
}

void ResetKernel()
{
    g_kernel = std::make_unique<Kernel>();
}

void SetCurrent(ThreadState* t)
{
    t_current = t;
    SetProcessorBlock(t);  // what a kernel image reads through %gs
}

ThreadState* Current() { return t_current; }

ThreadState* CurrentOrFail(const char* routine)
{
    if (t_current) return t_current;
    std::fprintf(stderr,
                 "hosted: %s called from a thread that is not a hosted thread (boot a hosted::Platform on it or "
                 "start it with hosted::StartThread)\n",
                 routine);
    std::abort();
}

namespace {

void SyncWall(Kernel& k)
{
    if (k.options.mode != Options::Mode::RealTime) return;
    auto wall = std::chrono::steady_clock::now() - k.wallBase;
    double units = std::chrono::duration<double>(wall).count() * k.options.speed * double(kUnitsPerSecond);
    int64_t v = k.virtualBase + int64_t(units);
    if (v > k.now) k.now = v;
}

bool IsSignalled(DISPATCHER_HEADER* h, ThreadState* t)
{
    if (h->Type == kMutant) {
        auto* m = reinterpret_cast<KMUTANT*>(h);
        return h->SignalState > 0 || (t->object && m->OwnerThread == &t->object->Tcb);
    }
    return h->SignalState > 0;
}

void Consume(DISPATCHER_HEADER* h, ThreadState* t)
{
    switch (h->Type) {
    case kEventSynchronization:
    case kTimerSynchronization:
        h->SignalState = 0;
        break;
    case kSemaphore:
        h->SignalState--;
        break;
    case kMutant: {
        auto* m = reinterpret_cast<KMUTANT*>(h);
        h->SignalState--;
        m->OwnerThread = &t->object->Tcb;
        break;
    }
    default:
        break;
    }
}

// Whether the wait of `t` on `objects` can be satisfied now; if so consume
// the objects and set `result`.
bool TrySatisfy(ThreadState* t, const std::vector<DISPATCHER_HEADER*>& objects, WAIT_TYPE type, NTSTATUS& result)
{
    if (objects.empty()) return false;
    if (type == WaitAny) {
        for (size_t i = 0; i < objects.size(); ++i) {
            if (IsSignalled(objects[i], t)) {
                Consume(objects[i], t);
                result = NTSTATUS(STATUS_WAIT_0 + i);
                return true;
            }
        }
        return false;
    }
    for (auto* o : objects)
        if (!IsSignalled(o, t)) return false;
    for (auto* o : objects) Consume(o, t);
    result = STATUS_SUCCESS;
    return true;
}

std::vector<ThreadState*> BlockedByWaitOrder(Kernel& k)
{
    std::vector<ThreadState*> v;
    for (LIST_ENTRY* e = k.blocked.Flink; e != &k.blocked; e = e->Flink)
        v.push_back(reinterpret_cast<ThreadState::WaitBlock*>(e)->thread);
    return v;
}

// The deadline heap's order: the earliest time-out on top, and of equal
// ones the thread that began to wait first.
bool LaterDeadline(const Kernel::Deadline& a, const Kernel::Deadline& b)
{
    return a.at != b.at ? a.at > b.at : a.waitSeq > b.waitSeq;
}

bool Stale(const Kernel::Deadline& d)
{
    return d.thread->run != ThreadState::Run::Blocked || d.thread->waitSeq != d.waitSeq;
}

// The earliest time-out still pending, with stale entries above it dropped.
const Kernel::Deadline* EarliestDeadline(Kernel& k)
{
    while (!k.deadlines.empty() && Stale(k.deadlines.front())) {
        std::pop_heap(k.deadlines.begin(), k.deadlines.end(), LaterDeadline);
        k.deadlines.pop_back();
    }
    return k.deadlines.empty() ? nullptr : &k.deadlines.front();
}

void AddDeadline(Kernel& k, ThreadState* t)
{
    // Waits woken before their time-out leave entries behind; when they
    // outnumber the live ones the heap is rebuilt without them.
    if (k.deadlines.size() > 2 * k.liveDeadlines + 1024) {
        k.deadlines.erase(std::remove_if(k.deadlines.begin(), k.deadlines.end(), Stale), k.deadlines.end());
        std::make_heap(k.deadlines.begin(), k.deadlines.end(), LaterDeadline);
    }
    k.deadlines.push_back({t->deadline, t->waitSeq, t});
    std::push_heap(k.deadlines.begin(), k.deadlines.end(), LaterDeadline);
    ++k.liveDeadlines;
}

void ExpireTimer(Lock& lock, KTIMER* timer)
{
    Kernel& k = K();
    auto it = k.timers.find(timer);
    if (it == k.timers.end()) return;
    if (it->second.period > 0)
        ArmTimer(k, timer, {it->second.due + int64_t(it->second.period) * kUnitsPerMs, it->second.period});
    else
        DisarmTimer(k, timer);
    timer->Header.SignalState = 1;
    WakeWaiters(lock, &timer->Header);
}

std::string DescribeObject(DISPATCHER_HEADER* h)
{
    char buf[160];
    const char* kind = "object";
    switch (h->Type) {
    case kEventNotification: kind = "notification event"; break;
    case kEventSynchronization: kind = "synchronization event"; break;
    case kMutant: kind = "mutex"; break;
    case kSemaphore: kind = "semaphore"; break;
    case kThread: kind = "thread"; break;
    case kTimerNotification: kind = "notification timer"; break;
    case kTimerSynchronization: kind = "synchronization timer"; break;
    }
    if (h->Type == kThread) {
        auto* th = reinterpret_cast<_KTHREAD*>(h);
        std::snprintf(buf, sizeof buf, "thread object %p ('%s')", (void*)h,
                      th->state ? th->state->name.c_str() : "?");
    } else {
        std::snprintf(buf, sizeof buf, "%s %p (state %d)", kind, (void*)h, (int)h->SignalState);
    }
    return buf;
}

void BreakDeadlock(Lock& lock)
{
    Kernel& k = K();
    std::ostringstream os;
    os << "deadlock at virtual time " << k.now << " (" << double(k.now) / kUnitsPerSecond
       << " s): every hosted thread waits and none has a time-out";
    int aborted = 0;
    for (ThreadState* t : BlockedByWaitOrder(k)) {
        os << "\n  thread '" << t->name << "' waits in " << t->waitWhat;
        if (!t->waitObjects.empty()) {
            os << (t->waitType == WaitAll ? " for all of:" : " for:");
            for (auto* o : t->waitObjects) os << " " << DescribeObject(o) << ";";
        }
    }
    k.lastDeadlock = os.str();
    Violation(lock, k.lastDeadlock);
    for (ThreadState* t : BlockedByWaitOrder(k)) {
        if (t->internalWait) continue;
        t->aborted = true;
        k.abortPending++;
        MakeReady(t, STATUS_UNSUCCESSFUL);
        aborted++;
    }
    if (aborted == 0) {
        std::fprintf(stderr, "hosted: %s\nhosted: no thread can be unwound; terminating\n", k.lastDeadlock.c_str());
        std::abort();
    }
}

// Advance virtual time to the earliest deadline and process what falls due.
// Returns false when nothing has a deadline.
bool AdvanceTime(Lock& lock)
{
    Kernel& k = K();
    int64_t next = kNoDeadline;
    if (const auto* d = EarliestDeadline(k)) next = d->at;
    if (!k.timerQueue.empty()) next = std::min(next, k.timerQueue.begin()->first);
    if (next == kNoDeadline) return false;
    if (k.options.mode == Options::Mode::RealTime) {
        SyncWall(k);
        if (next > k.now) {
            double wallSeconds = double(next - k.virtualBase) / kUnitsPerSecond / k.options.speed;
            auto target = k.wallBase + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                           std::chrono::duration<double>(wallSeconds));
            std::condition_variable idle;
            idle.wait_until(lock, target);
        }
    }
    if (next > k.now) k.now = next;
    // Timers first (a wait on a timer due at its own time-out is satisfied),
    // each once, in the order they fell due: a periodic timer re-armed by
    // its expiry waits for the next advance even if already due again.
    auto& due = k.dueScratch;
    due.clear();
    for (auto it = k.timerQueue.begin(); it != k.timerQueue.end() && it->first <= k.now; ++it)
        due.push_back(it->second);
    for (auto* timer : due) ExpireTimer(lock, timer);
    // Then the time-outs, earliest first and, at the same time, in the order
    // the threads began to wait.
    auto& timedOut = k.timedOutScratch;
    timedOut.clear();
    for (const Kernel::Deadline* d; (d = EarliestDeadline(k)) && d->at <= k.now;) {
        timedOut.push_back(d->thread);
        std::pop_heap(k.deadlines.begin(), k.deadlines.end(), LaterDeadline);
        k.deadlines.pop_back();
    }
    for (ThreadState* t : timedOut) MakeReady(t, STATUS_TIMEOUT);
    return true;
}

// The ready thread that runs next, taken out of the ready queue: the first
// in line without a seed; with one, the ready thread of highest priority.
ThreadState* TakeNext(Kernel& k)
{
    auto pick = k.ready.begin();
    if (k.seeded) {
        for (auto it = k.ready.begin(); it != k.ready.end(); ++it)
            if ((*it)->schedPriority > (*pick)->schedPriority) pick = it;
    }
    ThreadState* next = *pick;
    k.ready.erase(pick);
    return next;
}

// A priority below every one handed out so far.
uint64_t LowestPriority(Kernel& k) { return k.nextLow--; }

// Give the baton to the next ready thread (advancing time or breaking a
// deadlock if there is none). `self` no longer runs.
void Schedule(Lock& lock)
{
    Kernel& k = K();
    for (;;) {
        if (!k.ready.empty()) {
            ThreadState* next = TakeNext(k);
            k.running = next;
            if (k.seeded) k.switches.push_back(next->name);
            if (!next->fiber) next->cv.notify_one();
            return;
        }
        if (!AdvanceTime(lock)) {
            if (IsListEmpty(&k.blocked)) {  // everybody ended
                k.running = nullptr;
                return;
            }
            BreakDeadlock(lock);
        }
    }
}

}  // namespace

// Returns once `self` holds the baton: a system thread sleeps on its
// condition variable until handed it; a fiber switches to the holder.
void WaitForBaton(Lock& lock, ThreadState* self)
{
    Kernel& k = K();
    if (self->fiber) {
        while (k.running != self) SwitchFiber(lock, self, false);
        return;
    }
    while (k.running != self) self->cv.wait(lock);
}

void MakeReady(ThreadState* t, NTSTATUS result)
{
    Kernel& k = K();
    if (t->run == ThreadState::Run::Blocked) {
        RemoveEntryList(&t->blockedLink.entry);
        if (t->deadline != kNoDeadline) --k.liveDeadlines;  // its heap entry is stale from here on
        for (auto& wb : t->waitBlocks) RemoveEntryList(&wb.entry);
        t->waitBlocks.clear();
    }
    t->waitResult = result;
    t->deadline = kNoDeadline;
    t->run = ThreadState::Run::Ready;
    k.ready.push_back(t);
}

bool HasWaiters(DISPATCHER_HEADER* obj)
{
    return obj->WaitListHead.Flink && !IsListEmpty(&obj->WaitListHead);
}

void WakeWaiters(Lock&, DISPATCHER_HEADER* obj)
{
    Kernel& k = K();
    if (!HasWaiters(obj)) return;
    // A snapshot in wait order: waking a thread unlinks its wait blocks.
    auto& waiters = k.wakeScratch;
    waiters.clear();
    for (LIST_ENTRY* e = obj->WaitListHead.Flink; e != &obj->WaitListHead; e = e->Flink)
        waiters.push_back(reinterpret_cast<ThreadState::WaitBlock*>(e)->thread);
    for (ThreadState* t : waiters) {
        if (t->run != ThreadState::Run::Blocked) continue;  // woken already (it waits on `obj` twice)
        NTSTATUS r;
        if (TrySatisfy(t, t->waitObjects, t->waitType, r)) MakeReady(t, r);
        if (obj->SignalState <= 0 && obj->Type != kMutant) break;
    }
}

void Block(Lock& lock, ThreadState* self)
{
    Kernel& k = K();
    self->run = ThreadState::Run::Blocked;
    self->waitSeq = k.nextWaitSeq++;
    self->blockedLink.thread = self;
    InsertTailList(&k.blocked, &self->blockedLink.entry);
    if (self->deadline != kNoDeadline) AddDeadline(k, self);
    // Sized before any is linked: a linked block must not move.
    self->waitBlocks.resize(self->waitObjects.size());
    for (size_t i = 0; i < self->waitObjects.size(); ++i) {
        LIST_ENTRY* head = &self->waitObjects[i]->WaitListHead;
        if (!head->Flink) InitializeListHead(head);  // the platform's own zero-initialised objects
        self->waitBlocks[i].thread = self;
        InsertTailList(head, &self->waitBlocks[i].entry);
    }
    Schedule(lock);
    WaitForBaton(lock, self);
    self->run = ThreadState::Run::Running;
}

int64_t DeadlineFrom(const LARGE_INTEGER* timeout)
{
    Kernel& k = K();
    if (!timeout) return kNoDeadline;
    int64_t q = timeout->QuadPart;
    if (q < 0) {
        if (q == INT64_MIN || k.now > kNoDeadline + q) return kNoDeadline - 1;
        return k.now - q;
    }
    return q - k.bootSystemTime;  // absolute system time
}

NTSTATUS WaitInternal(Lock& lock, ThreadState* self, ULONG count, DISPATCHER_HEADER** objects, WAIT_TYPE type,
                      const LARGE_INTEGER* timeout, const char* routine)
{
    Kernel& k = K();
    SyncWall(k);
    if (self->irql >= DISPATCH_LEVEL && (!timeout || timeout->QuadPart != 0)) {
        char buf[200];
        std::snprintf(buf, sizeof buf, "%s with a non-zero time-out at IRQL %d (waits at DISPATCH_LEVEL or above "
                      "must not block) on thread '%s'", routine, self->irql, self->name.c_str());
        Violation(lock, buf);
    }
    // Kept in the thread, whose vector keeps its capacity from wait to wait.
    self->waitObjects.assign(objects, objects + count);
    NTSTATUS result;
    if (TrySatisfy(self, self->waitObjects, type, result)) {
        self->waitObjects.clear();
        return result;
    }
    int64_t deadline = DeadlineFrom(timeout);
    if (timeout && deadline <= k.now) {
        if (count == 0) {  // a zero delay: let the others run once
            if (!k.ready.empty()) {
                // Seeded, a thread that yields goes below the others, so a
                // loop polling for a lower-priority thread's work cannot
                // keep the processor for ever.
                if (k.seeded) self->schedPriority = LowestPriority(k);
                self->run = ThreadState::Run::Ready;
                k.ready.push_back(self);
                Schedule(lock);
                WaitForBaton(lock, self);
                self->run = ThreadState::Run::Running;
            }
        }
        self->waitObjects.clear();
        return STATUS_TIMEOUT;
    }
    self->waitType = type;
    self->deadline = deadline;
    self->waitWhat = routine;
    Block(lock, self);
    self->waitObjects.clear();
    self->deadline = kNoDeadline;
    if (self->aborted) {
        self->aborted = false;
        k.abortPending--;
        throw DeadlockError{k.lastDeadlock};
    }
    return self->waitResult;
}

void SeedScheduler(Lock&, ThreadState* main)
{
    Kernel& k = K();
    k.seeded = k.options.scheduleSeed.has_value() && k.options.mode == Options::Mode::Deterministic;
    if (!k.seeded) return;
    k.rng.seed(*k.options.scheduleSeed);
    // Initial priorities lie in [2^40, 2^41); demoted ones count down from 2^40 - 1.
    k.nextLow = (uint64_t(1) << 40) - 1;
    const uint64_t horizon = std::max<uint64_t>(k.options.scheduleHorizon, 1);
    for (int i = 0; i < k.options.schedulePreemptions; ++i) k.changePoints.push_back(1 + k.rng() % horizon);
    std::sort(k.changePoints.begin(), k.changePoints.end());
    main->schedPriority = (uint64_t(1) << 40) | (k.rng() >> 24);
}

void PreemptionPoint(Lock& lock)
{
    Kernel& k = K();
    ThreadState* self = Current();
    if (!k.seeded || !self || k.running != self || self->irql >= DISPATCH_LEVEL || self->spinLocksHeld) return;
    ++k.preemptionPoints;
    if (std::binary_search(k.changePoints.begin(), k.changePoints.end(), k.preemptionPoints))
        self->schedPriority = LowestPriority(k);
    bool higher = false;
    for (ThreadState* t : k.ready) higher |= t->schedPriority > self->schedPriority;
    if (!higher) return;
    self->run = ThreadState::Run::Ready;
    k.ready.push_back(self);
    Schedule(lock);
    WaitForBaton(lock, self);
    self->run = ThreadState::Run::Running;
}

namespace {

void ThreadMain(std::shared_ptr<ThreadState> t)
{
    {
        Lock lock = K().Hold();
        SetCurrent(t.get());
    }
    RunThread(t.get());
}

}  // namespace

void RunThread(ThreadState* t)
{
    Kernel& k = K();
    {
        Lock lock = k.Hold();
        WaitForBaton(lock, t);
        t->run = ThreadState::Run::Running;
    }
    try {
        t->body();
    } catch (const ThreadExit& e) {
        t->exitStatus = e.status;
    } catch (const DeadlockError&) {
        // unwound after a deadlock report
    } catch (const std::exception& e) {
        ViolationUnlocked("hosted thread '" + t->name + "' ended with an exception: " + e.what());
    } catch (...) {
        ViolationUnlocked("hosted thread '" + t->name + "' ended with an unknown exception");
    }
    Lock lock = k.Hold();
    ThreadFinished(lock, t);
    if (t->fiber) SwitchFiber(lock, t, true);  // does not return
    SetCurrent(nullptr);
}

void StartThreadLocked(Lock&, const std::shared_ptr<ThreadState>& t)
{
    Kernel& k = K();
    t->id = k.nextThreadId++;
    t->run = ThreadState::Run::Ready;
    if (k.seeded) t->schedPriority = (uint64_t(1) << 40) | (k.rng() >> 24);
    k.threads.push_back(t);
    k.ready.push_back(t.get());
    if (k.fibers)
        MakeFiber(t.get());
    else
        t->thread = std::thread(ThreadMain, t);
}

void ThreadFinished(Lock& lock, ThreadState* self)
{
    if (self->irql != PASSIVE_LEVEL) {
        Violation(lock, "thread '" + self->name + "' ended at IRQL " + std::to_string(self->irql));
        self->irql = PASSIVE_LEVEL;
    }
    self->run = ThreadState::Run::Finished;
    self->done.Header.SignalState = 1;
    WakeWaiters(lock, &self->done.Header);
    if (self->object) {
        self->object->Tcb.Header.SignalState = 1;
        WakeWaiters(lock, &self->object->Tcb.Header);
        _ETHREAD* obj = self->object;
        ReleaseThreadObject(lock, obj);  // the thread's own reference
    }
    Schedule(lock);
}

void WaitForOtherThreads(Lock& lock)
{
    Kernel& k = K();
    ThreadState* self = Current();
    for (;;) {
        ThreadState* other = nullptr;
        for (auto& t : k.threads)
            if (t.get() != self && t->run != ThreadState::Run::Finished) {
                other = t.get();
                break;
            }
        if (!other) break;
        self->internalWait = true;
        DISPATCHER_HEADER* h = &other->done.Header;
        std::string what = "the platform's shutdown, waiting for thread '" + other->name + "' to end";
        WaitInternal(lock, self, 1, &h, WaitAny, nullptr, what.c_str());
        self->internalWait = false;
    }
}

}  // namespace hosted::detail
