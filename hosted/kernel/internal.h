// Internal state of the hosted kernel. One global instance, guarded by one
// mutex (`K().m`, taken through `LockKernel()` or `Kernel::Hold()`). Every
// kernel routine takes the mutex for its own state changes and releases it
// before it calls back into driver code.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <ntddk.h>

#include <hosted/hosted.h>

struct _KTHREAD {
    DISPATCHER_HEADER Header;
    hosted::detail::ThreadState* state;
};
struct _ETHREAD {
    _KTHREAD Tcb;
};

namespace hosted::detail {

using Lock = std::unique_lock<std::mutex>;
constexpr int64_t kNoDeadline = INT64_MAX;

// Dispatcher object types as kept in DISPATCHER_HEADER.Type.
enum ObjType : UCHAR {
    kEventNotification = 0,
    kEventSynchronization = 1,
    kMutant = 2,
    kSemaphore = 5,
    kThread = 6,
    kTimerNotification = 8,
    kTimerSynchronization = 9,
};

struct ThreadExit {
    NTSTATUS status;
};

// Fiber mode (Options::fibers): a hosted thread's stack and saved context (fibers.cpp).
struct Fiber;
struct FiberDeleter {
    void operator()(Fiber* f) const;
};

struct ThreadState {
    std::string name;
    int id = 0;
    bool system = false;  // created by PsCreateSystemThread
    enum class Run { Ready, Running, Blocked, Finished } run = Run::Ready;
    std::condition_variable cv;  // system threads: woken when handed the baton
    std::thread thread;
    std::unique_ptr<Fiber, FiberDeleter> fiber;  // fiber mode: runs as this fiber instead
    std::function<void()> body;
    _ETHREAD* object = nullptr;
    KIRQL irql = PASSIVE_LEVEL;
    KPRIORITY priority = 8;
    uint64_t schedPriority = 0;  // seeded scheduling only: higher runs first
    int criticalRegion = 0;
    int spinLocksHeld = 0;
    NTSTATUS exitStatus = STATUS_SUCCESS;
    KEVENT done{};  // notification event, signalled when the thread has ended

    // Current wait. While blocked, waitBlocks[i] is linked into the wait
    // list of waitObjects[i] (its WaitListHead), as a wait block is on
    // Windows: signalling an object looks at its own waiters only, however
    // many threads wait elsewhere.
    struct WaitBlock {
        LIST_ENTRY entry;  // first, so a list entry is its wait block
        ThreadState* thread;
    };
    std::vector<DISPATCHER_HEADER*> waitObjects;
    std::vector<WaitBlock> waitBlocks;
    WaitBlock blockedLink{};  // in Kernel::blocked while blocked (its thread: this one)
    WAIT_TYPE waitType = WaitAny;
    int64_t deadline = kNoDeadline;
    uint64_t waitSeq = 0;
    NTSTATUS waitResult = STATUS_SUCCESS;
    bool aborted = false;     // woken by the deadlock breaker
    bool internalWait = false;  // waits of the platform itself (never aborted)
    const char* waitWhat = "";  // description for the deadlock report (the waiter's, alive while it waits)

    // The driver whose code this thread is running (set around every call
    // into a driver), so pool blocks and IRPs are charged to it.
    PDRIVER_OBJECT driver = nullptr;
};

struct TimerInfo {
    int64_t due;
    LONG period;
};

enum class HandleKind { Thread, Key, File };
struct HandleEntry {
    HandleKind kind;
    void* object;
    ACCESS_MASK access;
    std::shared_ptr<void> holder;  // keeps key/file state alive
};

struct PoolBlock {
    size_t bytes;
    uint32_t tag;
    int type;
    uint64_t serial;
    int64_t time;
    // The allocating thread's name; the kernel keeps every thread it started
    // until the platform ends, and the block cannot outlive that.
    const std::string* thread;
    PDRIVER_OBJECT driver = nullptr;  // whose code allocated it (nullptr: the platform's or a test's)
};

struct TagStats {
    size_t live = 0, liveCount = 0, peak = 0;
    uint64_t attempts = 0;
};

// One failure-injection rule, the convention of every Fail* call of the
// control API: nth 0 fails every matching attempt; N fails only the Nth
// matching attempt counted from the call that set the rule. Each call adds a
// rule; only its domain's Clear* call removes them.
struct FailRule {
    uint64_t nth = 0;
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    uint64_t seen = 0;  // matching attempts since the rule was set

    bool Fires() { return nth == 0 || ++seen == nth; }
};
using FailRules = std::vector<FailRule>;

// Counts one matching attempt against every rule (each keeps its own count);
// true with the status of the first rule that fires.
inline bool TakeFailure(FailRules& rules, NTSTATUS* status = nullptr)
{
    bool fired = false;
    for (FailRule& r : rules) {
        if (r.Fires() && !fired) {
            fired = true;
            if (status) *status = r.status;
        }
    }
    return fired;
}
inline bool TakeFailure(std::map<std::string, FailRules>& table, const std::string& key, NTSTATUS& status)
{
    auto it = table.find(key);
    return it != table.end() && TakeFailure(it->second, &status);
}

struct RegKey;
struct FileState;
struct PnpManager;
struct PowerManager;
struct WmiService;  // wmi.cpp
struct KsSettings {  // ks.cpp: orders the documentation leaves open (hosted::Ks)
    bool forwardFirst[0x20] = {};  // per PnP minor: the lower drivers before the callback
};

struct CallFrame {
    PIRP irp;
    int location;
    bool passed = false;       // completion walked past this location
    bool pendingBit = false;   // SL_PENDING_RETURNED seen when it did
    bool gone = false;         // IRP freed while the dispatch routine ran
    ThreadState* thread = nullptr;
};

struct IrpInfo {
    uint64_t serial;
    enum class Kind { Allocated, Threaded, Platform } kind = Kind::Allocated;
    bool completing = false;
    bool completedToTop = false;
    int routinesRunning = 0;          // completion routines running for it right now
    bool completedInRoutine = false;  // IoCompleteRequest called again from inside one of them
    bool startNextPower = false;      // PoStartNextPowerIrp called since it last moved down
    bool down = false;
    PDRIVER_OBJECT driver = nullptr;  // whose code allocated it (nullptr: the platform's or a test's)
    std::vector<PDRIVER_OBJECT> through;  // drivers it was sent to since it last completed to the top
    std::vector<CallFrame*> frames;
    // Locations whose dispatch routine returned STATUS_PENDING before the
    // completion reached them: checked for SL_PENDING_RETURNED when it does.
    std::map<int, std::string> pendingExpected;
    // threaded IRPs (IoBuildDeviceIoControlRequest)
    bool buffered = false;
    PVOID outputBuffer = nullptr;
    ULONG outputLength = 0;
};

struct DeviceInfo {
    bool pdo = false;
    std::string name;
    std::string driverKey, deviceKey;
    std::map<int, std::vector<uint8_t>> properties;
    std::map<int, FailRules> propertyFailures;
    DEVICE_POWER_STATE devicePower = PowerDeviceD0;
    SYSTEM_POWER_STATE systemPower = PowerSystemWorking;
    bool wmiRegistered = false;
    bool removing = false;       // a PnP removal IRP is on its way through its stack
    bool deletePending = false;  // deleted by its bus during removal; freed when the device above detaches
};

struct DriverExtensionBlock {
    PVOID id;
    void* memory;
};
struct DriverInfo {
    std::string name;
    std::u16string nameBuffer;
    std::u16string serviceBuffer;
    std::vector<DriverExtensionBlock> extensions;
    bool platformOwned = false;
};

struct Kernel {
    std::mutex m;
    // The kernel lock, held until the returned Lock leaves scope (or is unlocked).
    [[nodiscard]] Lock Hold() { return Lock(m); }
    Options options;
    bool booted = false;

    // ---- scheduler ----
    std::vector<std::shared_ptr<ThreadState>> threads;
    std::deque<ThreadState*> ready;
    // Waiting threads, linked through ThreadState::blockedLink in the order
    // they began to wait.
    LIST_ENTRY blocked;
    Kernel() { InitializeListHead(&blocked); }
    // Time-outs of blocked threads, a min-heap by (deadline, waitSeq). An
    // entry whose thread was woken otherwise stays until it comes to the top
    // or the heap is compacted; liveDeadlines counts the others.
    struct Deadline {
        int64_t at;
        uint64_t waitSeq;
        ThreadState* thread;
    };
    std::vector<Deadline> deadlines;
    size_t liveDeadlines = 0;
    // Scratch lists kept from call to call (under the kernel lock):
    // WakeWaiters' snapshot of an object's waiters, and the timers and
    // time-outs falling due at a time advance.
    std::vector<ThreadState*> wakeScratch, timedOutScratch;
    std::vector<KTIMER*> dueScratch;
    ThreadState* running = nullptr;
    int nextThreadId = 1;
    uint64_t nextWaitSeq = 1;
    int abortPending = 0;  // threads still to be unwound after a deadlock
    std::string lastDeadlock;
    bool fibers = false;  // Options::fibers: hosted threads are fibers of the booting thread
    // Seeded scheduling (Options::scheduleSeed).
    bool seeded = false;
    std::mt19937_64 rng;
    uint64_t preemptionPoints = 0;       // visited so far
    std::vector<uint64_t> changePoints;  // where the running thread drops to the lowest priority
    uint64_t nextLow = 0;                // the next "lowest" priority handed out
    std::vector<std::string> switches;   // thread given the processor, in order

    // ---- time ----
    int64_t now = 0;
    int64_t bootSystemTime = 0;
    std::chrono::steady_clock::time_point wallBase;
    int64_t virtualBase = 0;
    std::map<KTIMER*, TimerInfo> timers;
    std::set<std::pair<int64_t, KTIMER*>> timerQueue;  // the same timers by due time
    uint32_t resolution = Clock::kDefaultResolution;
    uint32_t resolutionRequests = 0;
    uint32_t requestedResolution = 0;

    // ---- trace ----
    std::vector<TraceRecord> trace;
    std::FILE* echo = nullptr;
    std::FILE* traceFile = nullptr;

    // ---- verifier ----
    std::vector<std::string> violations;

    // ---- objects and handles ----
    std::map<uint64_t, HandleEntry> handles;
    uint64_t nextHandle = 1;
    std::map<void*, LONG_PTR> threadObjectRefs;  // _ETHREAD* -> reference count
    FailRules failReference;                     // ObReferenceObjectByHandle

    // ---- pool ----
    std::map<void*, PoolBlock> pool;
    std::deque<std::pair<void*, size_t>> quarantine;
    std::set<void*> quarantined;
    std::map<uint32_t, TagStats> tagStats;
    size_t liveBytes = 0, peakBytes = 0;
    uint64_t poolSerial = 0;
    FailRules failAllocation;                 // any tag
    std::map<uint32_t, FailRules> failTag;    // by tag
    bool failAll = false;
    uint64_t injected = 0;

    // ---- registry ----
    std::shared_ptr<RegKey> registryRoot;
    std::map<std::string, FailRules> regOpenFail;   // lower-case path
    std::map<std::string, FailRules> regQueryFail;  // lower-case path + '\n' + name
    std::map<std::string, FailRules> regSetFail;

    // ---- files ----
    std::map<char, std::string> drives;
    std::map<std::string, FailRules> fileOpenFail;  // lower-case nt name
    std::map<std::string, FailRules> fileReadFail;
    std::map<std::string, FailRules> fileQueryFail;  // ZwQueryInformationFile
    // Attempts seen by the failure-injection points, failed ones included:
    // "open\n", "query\n", "read\n" + lower-case nt name; "open\n" + lower-case
    // key path, "query\n" + lower-case path + '\n' + value name.
    std::map<std::string, uint64_t> fileAttempts, regAttempts;
    std::map<std::string, uint32_t> shortReads;
    std::map<std::string, uint64_t> openCounts;

    // ---- I/O manager ----
    std::map<PIRP, IrpInfo> irps;
    // Entries of freed IRPs, kept for the next ones with their lists'
    // storage: a run allocates and frees an IRP for every request.
    std::vector<std::map<PIRP, IrpInfo>::node_type> spareIrps;
    uint64_t irpSerial = 0;
    FailRules failIrp;           // IRP allocations of every kind
    FailRules failCreateDevice;  // IoCreateDevice
    FailRules failDriverExt;     // IoAllocateDriverObjectExtension
    std::map<PDEVICE_OBJECT, DeviceInfo> devices;
    std::map<PDRIVER_OBJECT, DriverInfo> drivers;
    int pdoCounter = 0;
    std::map<PDEVICE_OBJECT, void*> ksDevices;  // function devices of KsCreateDevice -> their KSDEVICE block
    KSPIN_LOCK cancelLock = 0;

    // ---- WMI (wmi.cpp) and kernel streaming (ks.cpp) ----
    std::shared_ptr<WmiService> wmi;
    KsSettings ks;
    void* cancelLockOwner = nullptr;

    // ---- plug and play, power (pnp*.cpp, power.cpp) ----
    std::shared_ptr<PnpManager> pnp;
    std::shared_ptr<PowerManager> power;
};

Kernel& K();

// The kernel and its held lock together, for the usual opening of a kernel
// routine: `auto [k, lock] = LockKernel();`. The lock is released at the end
// of the scope, or earlier by `lock.unlock()` before calling back into drivers.
struct KernelLock {
    Kernel& k;
    Lock lock;
};
[[nodiscard]] inline KernelLock LockKernel()
{
    Kernel& k = K();
    return KernelLock{k, k.Hold()};
}

// ---- scheduler (scheduler.cpp) ----
ThreadState* Current();                 // nullptr for threads the platform does not know
// Marks the calling thread as running `driver`'s code until the scope ends;
// what it allocates meanwhile is charged to that driver (see DriverHost::Unload).
class DriverScope {
public:
    explicit DriverScope(PDRIVER_OBJECT driver) : thread_(Current())
    {
        if (thread_) {
            saved_ = thread_->driver;
            thread_->driver = driver;
        }
    }
    ~DriverScope()
    {
        if (thread_) thread_->driver = saved_;
    }
    DriverScope(const DriverScope&) = delete;
    DriverScope& operator=(const DriverScope&) = delete;

private:
    ThreadState* thread_;
    PDRIVER_OBJECT saved_ = nullptr;
};
ThreadState* CurrentOrFail(const char* routine);
// Block the calling thread (its wait fields set) until woken; lock held on entry and exit.
void Block(Lock& lock, ThreadState* self);
// Signal handling: re-examine waiters of `obj` after its state changed.
void WakeWaiters(Lock& lock, DISPATCHER_HEADER* obj);
void MakeReady(ThreadState* t, NTSTATUS result);
// Whether some thread waits on `obj`.
bool HasWaiters(DISPATCHER_HEADER* obj);
// Set timers, kept in `timers` and `timerQueue` together.
void ArmTimer(Kernel& k, KTIMER* timer, TimerInfo info);
bool DisarmTimer(Kernel& k, KTIMER* timer);  // whether it was set
int64_t DeadlineFrom(const LARGE_INTEGER* timeout);  // kNoDeadline for NULL
NTSTATUS WaitInternal(Lock& lock, ThreadState* self, ULONG count, DISPATCHER_HEADER** objects, WAIT_TYPE type,
                      const LARGE_INTEGER* timeout, const char* routine);
void StartThreadLocked(Lock& lock, const std::shared_ptr<ThreadState>& t);
// The life of a started hosted thread: its first turn, its body, its end.
void RunThread(ThreadState* t);
void SetCurrent(ThreadState* t);
// Fiber mode (fibers.cpp): the booting thread's fiber, a new thread's fiber,
// and the hand-off from `self` to K().running, returning when `self` runs
// again (never, when `ended`). Lock held on entry and exit, released while away.
void MakeBootFiber(ThreadState* t);
void MakeFiber(ThreadState* t);
void SwitchFiber(Lock& lock, ThreadState* self, bool ended);
// Seeded scheduling: draws the change points and the booting thread's priority.
void SeedScheduler(Lock& lock, ThreadState* main);
// A point where a thread at PASSIVE_LEVEL or APC_LEVEL could lose the
// processor on Windows (it made another thread ready, passed an IRP on,
// completed one, released a lock). With a seed, the caller gives way here to
// a ready thread of higher priority; without one nothing happens. Lock held.
void PreemptionPoint(Lock& lock);
void ThreadFinished(Lock& lock, ThreadState* self);
void WaitForOtherThreads(Lock& lock);

// ---- verifier / trace ----
void Violation(Lock& lock, const std::string& what);  // lock held
void ViolationUnlocked(const std::string& what);
void TraceAppend(Lock& lock, std::string text);
// DbgPrint's arguments arrive in the Windows x64 variable-argument list (its
// callers use the Windows convention); va_arg reads it like any other list.
using KernelVaList = __builtin_ms_va_list;
std::string FormatKernel(const char* format, KernelVaList args);

// ---- handles ----
HANDLE NewHandle(Lock& lock, HandleKind kind, void* object, ACCESS_MASK access, std::shared_ptr<void> holder = {});
HandleEntry* FindHandle(HANDLE h);
size_t CountHandles(HandleKind kind);  // lock held
// Thread objects: created with the thread's own reference, freed with the last one.
_ETHREAD* NewThreadObject(ThreadState* t);
void ReleaseThreadObject(Lock& lock, _ETHREAD* object);

// ---- strings ----
std::string Utf16ToUtf8(const char16_t* s, size_t n);
std::u16string Utf8ToUtf16(const std::string& s);
std::string FromUnicodeString(const UNICODE_STRING* u);
std::string Lower(std::string s);
std::string Hex(uint64_t v);

// ---- per-area resets (boot) ----
void ResetRegistry();
void ResetFiles();
void CloseKeyOrFile(HandleEntry& e);

// ---- I/O ----
void FreeDriverObject(Lock& lock, PDRIVER_OBJECT driver);
PDRIVER_OBJECT NewDriverObject(Lock& lock, const std::string& name, const std::string& service);
PIRP AllocIrp(Lock& lock, CCHAR stackSize, IrpInfo::Kind kind);
void FreeDevice(Lock& lock, PDEVICE_OBJECT device);

// ---- WMI (wmi.cpp) ----
// A device object is going away: WMI forgets its registration and queued work.
void WmiForgetDevice(Lock& lock, PDEVICE_OBJECT device);

}  // namespace hosted::detail
