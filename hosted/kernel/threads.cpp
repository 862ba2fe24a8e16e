// System threads, thread priority and critical regions; the control API's threads.
#include <algorithm>
#include <cstdio>

#include <ntifs.h>

#include "internal.h"

using namespace hosted;
using namespace hosted::detail;

extern "C" {

// ---------------------------------------------------------------- threads

NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess, POBJECT_ATTRIBUTES, HANDLE ProcessHandle,
                              PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine, PVOID StartContext)
{
    ThreadState* self = CurrentOrFail("PsCreateSystemThread");
    auto [k, lock] = LockKernel();
    if (self->irql != PASSIVE_LEVEL) Violation(lock, "PsCreateSystemThread above PASSIVE_LEVEL");
    if (!ThreadHandle || !StartRoutine) return STATUS_INVALID_PARAMETER;
    if (ProcessHandle) Violation(lock, "PsCreateSystemThread with a process handle: only system threads exist");
    auto t = std::make_shared<ThreadState>();
    t->system = true;
    int n = k.nextThreadId;
    char name[64];
    std::snprintf(name, sizeof name, "system thread %d", n);
    t->name = name;
    NewThreadObject(t.get());
    k.threadObjectRefs[t->object]++;  // the handle's reference
    *ThreadHandle = NewHandle(lock, HandleKind::Thread, t->object, DesiredAccess);
    if (ClientId) {
        ClientId->UniqueProcess = reinterpret_cast<HANDLE>(4);
        ClientId->UniqueThread = reinterpret_cast<HANDLE>(intptr_t(n) * 4);
    }
    t->driver = self->driver;  // a driver's thread runs that driver's code
    t->body = [StartRoutine, StartContext] { StartRoutine(StartContext); };
    StartThreadLocked(lock, t);
    return STATUS_SUCCESS;
}

NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus)
{
    ThreadState* self = CurrentOrFail("PsTerminateSystemThread");
    if (!self->system) {
        auto [k, lock] = LockKernel();
        Violation(lock, "PsTerminateSystemThread on thread '" + self->name + "', which is not a system thread");
        return STATUS_INVALID_PARAMETER;
    }
    throw ThreadExit{ExitStatus};
}

PETHREAD PsGetCurrentThread(VOID)
{
    return CurrentOrFail("PsGetCurrentThread")->object;
}

HANDLE PsGetCurrentThreadId(VOID)
{
    return reinterpret_cast<HANDLE>(intptr_t(CurrentOrFail("PsGetCurrentThreadId")->id) * 4);
}

PEPROCESS PsGetCurrentProcess(VOID)
{
    static char systemProcess[64];
    return reinterpret_cast<PEPROCESS>(systemProcess);
}

HANDLE PsGetCurrentProcessId(VOID) { return reinterpret_cast<HANDLE>(4); }

PKTHREAD KeGetCurrentThread(VOID) { return &CurrentOrFail("KeGetCurrentThread")->object->Tcb; }

KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority)
{
    auto [k, lock] = LockKernel();
    if (!k.threadObjectRefs.count(reinterpret_cast<_ETHREAD*>(Thread)) || Priority < 0 || Priority > 31) {
        Violation(lock, "KeSetPriorityThread on an unknown thread or with priority " + std::to_string(Priority));
        return 0;
    }
    ThreadState* t = Thread->state;
    KPRIORITY old = t->priority;
    t->priority = Priority;
    return old;
}

KPRIORITY KeQueryPriorityThread(PKTHREAD Thread)
{
    auto [k, lock] = LockKernel();
    return Thread->state ? Thread->state->priority : 0;
}

VOID KeEnterCriticalRegion(VOID) { CurrentOrFail("KeEnterCriticalRegion")->criticalRegion++; }

VOID KeLeaveCriticalRegion(VOID)
{
    ThreadState* t = CurrentOrFail("KeLeaveCriticalRegion");
    if (--t->criticalRegion < 0) {
        t->criticalRegion = 0;
        ViolationUnlocked("KeLeaveCriticalRegion without KeEnterCriticalRegion");
    }
}

}  // extern "C"

// ---------------------------------------------------------------- control API

namespace hosted {

void Sleep(int64_t duration)
{
    ThreadState* self = CurrentOrFail("hosted::Sleep");
    auto [k, lock] = LockKernel();
    LARGE_INTEGER t;
    t.QuadPart = -std::max<int64_t>(duration, 0);
    WaitInternal(lock, self, 0, nullptr, WaitAny, &t, "hosted::Sleep");
}

void Yield()
{
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    ThreadState* self = CurrentOrFail("hosted::Yield");
    auto [k, lock] = LockKernel();
    WaitInternal(lock, self, 0, nullptr, WaitAny, &zero, "hosted::Yield");
}

Thread StartThread(std::string name, std::function<void()> fn)
{
    CurrentOrFail("hosted::StartThread");
    auto [k, lock] = LockKernel();
    auto t = std::make_shared<ThreadState>();
    t->name = std::move(name);
    t->body = std::move(fn);
    NewThreadObject(t.get());
    StartThreadLocked(lock, t);
    Thread th;
    th.state_ = t;
    return th;
}

void Thread::Join()
{
    if (!state_) return;
    ThreadState* self = CurrentOrFail("hosted::Thread::Join");
    auto [k, lock] = LockKernel();
    if (state_->run == ThreadState::Run::Finished) return;
    DISPATCHER_HEADER* h = &state_->done.Header;
    std::string what = "hosted::Thread::Join('" + state_->name + "')";
    WaitInternal(lock, self, 1, &h, WaitAny, nullptr, what.c_str());
}

bool Thread::Finished() const
{
    if (!state_) return true;
    auto [k, lock] = LockKernel();
    return state_->run == ThreadState::Run::Finished;
}

const std::string& Thread::Name() const
{
    static const std::string none;
    return state_ ? state_->name : none;
}

_KTHREAD* Thread::Object() const { return state_ && state_->object ? &state_->object->Tcb : nullptr; }

namespace Scheduler {

bool Seeded()
{
    auto [k, lock] = LockKernel();
    return k.seeded;
}

uint64_t Choose(uint64_t n)
{
    auto [k, lock] = LockKernel();
    if (!k.seeded || n < 2) return 0;
    return k.rng() % n;
}

std::vector<std::string> Switches()
{
    auto [k, lock] = LockKernel();
    return k.switches;
}

}  // namespace Scheduler

std::string CurrentThreadName()
{
    ThreadState* t = Current();
    return t ? t->name : std::string();
}

}  // namespace hosted
