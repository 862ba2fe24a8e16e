// Platform boot and shutdown, end-of-run checks, verifier records, helpers.
#include <cstdio>
#include <cstring>

#include "internal.h"

using namespace hosted;
using namespace hosted::detail;

namespace hosted::detail {
void ResetKernel();
void SetCurrent(ThreadState* t);
void DrainPool();
std::vector<std::string> PoolLeaks(PDRIVER_OBJECT driver = nullptr);
std::vector<std::string> IoLeaks(Lock& lock);
void DrainIo(Lock& lock);
std::string DescribeHandle(const HandleEntry& e);
void StopPnpManager();
void ResetWorkItems();
}  // namespace hosted::detail

namespace {

std::function<void(const std::string&)> g_failureHandler;
std::mutex g_handlerMutex;
bool g_platformAlive = false;
std::shared_ptr<ThreadState> g_mainThread;
std::vector<std::string> g_finishProblems;
bool g_finished = false;

void Deliver(const std::string& problem)
{
    std::function<void(const std::string&)> h;
    {
        std::lock_guard<std::mutex> guard(g_handlerMutex);
        h = g_failureHandler;
    }
    if (h)
        h(problem);
    else
        std::fprintf(stderr, "hosted: %s\n", problem.c_str());
}

// 2024-01-01T00:00:00Z in 100-ns units since 1601-01-01.
constexpr int64_t kBootSystemTime = 133485408000000000LL;

}  // namespace

namespace hosted::detail {

void Violation(Lock&, const std::string& what)
{
    Kernel& k = K();
    k.violations.push_back(what);
    std::fprintf(stderr, "hosted verifier: %s\n", what.c_str());
}

void ViolationUnlocked(const std::string& what)
{
    auto [k, lock] = LockKernel();
    Violation(lock, what);
}

std::string Utf16ToUtf8(const char16_t* s, size_t n)
{
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        uint32_t c = s[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < n && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        }
        if (c < 0x80) {
            out.push_back(char(c));
        } else if (c < 0x800) {
            out.push_back(char(0xC0 | (c >> 6)));
            out.push_back(char(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(char(0xE0 | (c >> 12)));
            out.push_back(char(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(char(0x80 | (c & 0x3F)));
        } else {
            out.push_back(char(0xF0 | (c >> 18)));
            out.push_back(char(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(char(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(char(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

std::u16string Utf8ToUtf16(const std::string& s)
{
    std::u16string out;
    for (size_t i = 0; i < s.size();) {
        uint32_t c = uint8_t(s[i]);
        int extra = c < 0x80 ? 0 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
        if (extra) c &= (0x3F >> extra);
        for (int j = 1; j <= extra && i + j < s.size(); ++j) c = (c << 6) | (uint8_t(s[i + j]) & 0x3F);
        i += size_t(extra) + 1;
        if (c >= 0x10000) {
            c -= 0x10000;
            out.push_back(char16_t(0xD800 + (c >> 10)));
            out.push_back(char16_t(0xDC00 + (c & 0x3FF)));
        } else {
            out.push_back(char16_t(c));
        }
    }
    return out;
}

std::string FromUnicodeString(const UNICODE_STRING* u)
{
    if (!u || !u->Buffer) return std::string();
    return Utf16ToUtf8(reinterpret_cast<const char16_t*>(u->Buffer), u->Length / 2);
}

std::string Lower(std::string s)
{
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return s;
}

std::string Hex(uint64_t v)
{
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llX", (unsigned long long)v);
    return buf;
}

}  // namespace hosted::detail

namespace hosted {

Platform::Platform(Options options)
{
    if (g_platformAlive) {
        std::fprintf(stderr, "hosted: a second hosted::Platform while one is running\n");
        std::abort();
    }
    if (Current()) {
        std::fprintf(stderr, "hosted: hosted::Platform constructed on a hosted thread\n");
        std::abort();
    }
    ResetKernel();
    auto [k, lock] = LockKernel();
    k.options = options;
    k.booted = true;
    k.bootSystemTime = kBootSystemTime;
    k.wallBase = std::chrono::steady_clock::now();
    if (options.traceToStderr) k.echo = stderr;
    if (!options.traceFile.empty()) k.traceFile = std::fopen(options.traceFile.c_str(), "ab");
    ResetRegistry();
    ResetFiles();
    ResetWorkItems();
    auto main = std::make_shared<ThreadState>();
    main->name = options.mainThreadName;
    main->id = k.nextThreadId++;
    main->run = ThreadState::Run::Running;
    NewThreadObject(main.get());
    k.threads.push_back(main);
    k.running = main.get();
    k.fibers = options.fibers;
    if (k.fibers) MakeBootFiber(main.get());
    SeedScheduler(lock, main.get());
    g_mainThread = main;
    SetCurrent(main.get());
    g_platformAlive = true;
    g_finished = false;
    g_finishProblems.clear();
}

Platform::~Platform() { Finish(); }

std::vector<std::string> Platform::Finish()
{
    if (g_finished) return g_finishProblems;
    // The managers' threads wait for work; tell them to end.
    StopPnpManager();
    Kernel& k = K();
    std::vector<std::string> problems;
    Lock lock = k.Hold();
    ThreadState* self = Current();
    if (self != g_mainThread.get()) {
        std::fprintf(stderr, "hosted: Platform::Finish called from another thread than the one that booted it\n");
        std::abort();
    }
    try {
        WaitForOtherThreads(lock);
    } catch (const DeadlockError&) {
        // reported already; the others have been unwound
        WaitForOtherThreads(lock);
    }
    // Join the real threads (they have finished their hosted part).
    std::vector<std::shared_ptr<ThreadState>> threads = k.threads;
    lock.unlock();
    for (auto& t : threads)
        if (t->thread.joinable()) t->thread.join();
    lock.lock();

    if (self->irql != PASSIVE_LEVEL)
        problems.push_back("thread '" + self->name + "' is at IRQL " + std::to_string(self->irql) + " at the end");
    for (auto& v : k.violations) problems.push_back("verifier: " + v);
    k.violations.clear();
    for (auto& p : PoolLeaks()) problems.push_back(p);
    for (auto& p : IoLeaks(lock)) problems.push_back(p);
    for (auto& [n, e] : k.handles) problems.push_back("handle leak: " + DescribeHandle(e) + " is still open");
    if (self->object) ReleaseThreadObject(lock, self->object);
    for (auto& [obj, refs] : k.threadObjectRefs) {
        auto* th = static_cast<_ETHREAD*>(obj);
        problems.push_back("thread object of '" + std::string(th->Tcb.state ? th->Tcb.state->name : "?") +
                           "' is still referenced " + std::to_string(refs) +
                           " time(s) (missing ObDereferenceObject)");
    }
    if (!k.timers.empty())
        problems.push_back(std::to_string(k.timers.size()) + " kernel timer(s) still set at the end");
    if (k.resolutionRequests)
        problems.push_back(std::to_string(k.resolutionRequests) +
                           " ExSetTimerResolution request(s) never withdrawn");

    // Release what is left.
    for (auto& [n, e] : k.handles)
        if (e.kind != HandleKind::Thread) CloseKeyOrFile(e);
    k.handles.clear();
    for (auto& [obj, refs] : k.threadObjectRefs) delete static_cast<_ETHREAD*>(obj);
    k.threadObjectRefs.clear();
    DrainIo(lock);
    DrainPool();
    if (k.traceFile) std::fclose(k.traceFile);
    k.traceFile = nullptr;
    k.echo = nullptr;
    k.booted = false;
    k.running = nullptr;
    SetCurrent(nullptr);
    for (auto& t : k.threads) t->object = nullptr;
    lock.unlock();

    g_platformAlive = false;
    g_finished = true;
    g_finishProblems = problems;
    g_mainThread.reset();
    for (auto& p : problems) Deliver(p);
    return problems;
}

void Platform::SetFailureHandler(std::function<void(const std::string&)> handler)
{
    std::lock_guard<std::mutex> guard(g_handlerMutex);
    g_failureHandler = std::move(handler);
}

bool Platform::Running() { return g_platformAlive; }

const Options& Platform::CurrentOptions() { return K().options; }

std::vector<std::string> Verifier::Violations()
{
    auto [k, lock] = LockKernel();
    return k.violations;
}

std::vector<std::string> Verifier::Take()
{
    auto [k, lock] = LockKernel();
    std::vector<std::string> v;
    v.swap(k.violations);
    return v;
}

size_t Verifier::Count()
{
    auto [k, lock] = LockKernel();
    return k.violations.size();
}

void Verifier::Report(const std::string& what) { ViolationUnlocked(what); }

std::string LastDeadlockReport()
{
    auto [k, lock] = LockKernel();
    return k.lastDeadlock;
}

}  // namespace hosted
