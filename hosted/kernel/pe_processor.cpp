// What a kernel image does to the processor itself. The DDK's inline routines
// compile into the image reads of %gs:0x188 (the current thread, through the
// processor control region) and moves to and from %cr8 (the IRQL). A hosted
// thread gets a processor block its %gs base points at; %cr8 accesses trap in
// user mode (general protection, delivered as SIGSEGV) and the handler
// emulates exactly those forms against the hosted thread's IRQL, so the IRQL
// an image raises is the IRQL every platform check sees.
#include <asm/prctl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include <hosted/kernel_image.h>

#include "internal.h"
#include "kernel_image_internal.h"

namespace hosted::detail {

namespace {

// The x64 processor control region as far as images reach into it: Self at
// 0x18, CurrentPrcb at 0x20, the processor block at 0x180 whose
// CurrentThread is at 0x188.
constexpr size_t kPcrSelf = 0x18, kPcrCurrentPrcb = 0x20, kPcrPrcb = 0x180, kPrcbCurrentThread = 0x188;
// Past every field an image reads: where the rewritten %cr8 reads find the
// address of the current hosted thread's IRQL.
constexpr size_t kBlockIrqlPointer = 0xff8;
const KIRQL kNoThreadIrql = PASSIVE_LEVEL;

struct alignas(64) ProcessorBlock {
    unsigned char bytes[0x1000];
};

thread_local std::unique_ptr<ProcessorBlock> t_block;

void Put(ProcessorBlock* b, size_t off, const void* v)
{
    std::memcpy(b->bytes + off, &v, sizeof v);
}

// The fault handler reads this table, so it is fixed-size and lock-free:
// a slot's size is published after its base and name.
constexpr int kSlots = 16;
struct SiteState {
    IrqlSite site;
    std::atomic<bool> rewritten{false};
};
struct ImageSlot {
    std::atomic<uintptr_t> base{0};
    std::atomic<size_t> size{0};
    char name[64];
    SiteState* sites = nullptr;  // sorted by offset; set before size is published
    size_t siteCount = 0;
};
ImageSlot g_images[kSlots];
std::mutex g_imagesLock;
std::atomic<uint64_t> g_emulated{0};
struct sigaction g_previous;
bool g_installed = false;

const ImageSlot* ImageAt(uintptr_t ip)
{
    for (const ImageSlot& s : g_images) {
        size_t size = s.size.load(std::memory_order_acquire);
        uintptr_t base = s.base.load(std::memory_order_relaxed);
        if (size && ip >= base && ip - base < size) return &s;
    }
    return nullptr;
}

// Context register index of x64 register number 0..15 (rax, rcx, rdx, rbx,
// rsp, rbp, rsi, rdi, r8..r15).
constexpr int kGreg[16] = {REG_RAX, REG_RCX, REG_RDX, REG_RBX, REG_RSP, REG_RBP, REG_RSI, REG_RDI,
                           REG_R8,  REG_R9,  REG_R10, REG_R11, REG_R12, REG_R13, REG_R14, REG_R15};

[[noreturn]] void Fatal(const ImageSlot* img, uintptr_t ip, const char* what)
{
    char msg[256];
    int n = std::snprintf(msg, sizeof msg, "hosted: %s at %#lx (%s+%#lx)\n", what, static_cast<unsigned long>(ip),
                          img->name, static_cast<unsigned long>(ip - img->base.load()));
    if (n > 0) (void)!write(2, msg, size_t(n) < sizeof msg ? size_t(n) : sizeof msg - 1);
    std::abort();
}

void Chain(int sig, siginfo_t* info, void* context)
{
    if (g_previous.sa_flags & SA_SIGINFO) {
        if (g_previous.sa_sigaction) return g_previous.sa_sigaction(sig, info, context);
    } else if (g_previous.sa_handler != SIG_IGN && g_previous.sa_handler != SIG_DFL) {
        return g_previous.sa_handler(sig);
    }
    // The default action: return to the faulting instruction with the
    // default disposition, which then ends the process as it would have.
    signal(sig, SIG_DFL);
}

// A general-protection fault is also what a non-canonical address raises.
constexpr const char* kNotEmulated = "general-protection fault (a privileged instruction or a non-canonical address) not emulated";

// Whether the four bytes at `code` are a move between %cr8 and a general
// register: REX with R set (control register 8), 0F, `op` (20 reads, 22
// writes), and a register-form ModRM.
bool Cr8Move(const unsigned char* code, unsigned char op)
{
    return (code[0] & 0xf4) == 0x44 && code[1] == 0x0f && code[2] == op && (code[3] & 0xf8) == 0xc0;
}

// The read at `at` has trapped, so it is an instruction: if the loader
// prepared a stub for it, the site becomes a jump there (once; the read that
// trapped then runs through it). Only the thread holding the scheduler's
// baton runs image code, so nothing executes the site while it changes.
// Returns whether the site was rewritten now.
bool RewriteOnFirstTrap(const ImageSlot* img, uint32_t at)
{
    SiteState* begin = img->sites;
    SiteState* end = begin + img->siteCount;
    SiteState* s = std::lower_bound(begin, end, at, [](const SiteState& x, uint32_t a) { return x.site.at < a; });
    if (s == end || s->site.at != at || s->rewritten.exchange(true)) return false;
    auto* base = reinterpret_cast<uint8_t*>(img->base.load());
    uint8_t* site = base + s->site.at;
    const uintptr_t page = uintptr_t(::sysconf(_SC_PAGESIZE));
    const uintptr_t first = uintptr_t(site) & ~(page - 1);
    const size_t span = ((uintptr_t(base + s->site.end) + page - 1) & ~(page - 1)) - first;
    if (mprotect(reinterpret_cast<void*>(first), span, PROT_READ | PROT_WRITE)) return false;
    uint8_t jump[5] = {0xe9};
    const int32_t to = int32_t(int64_t(base + s->site.stub) - int64_t(site + 5));
    std::memcpy(jump + 1, &to, 4);
    std::memcpy(site, jump, 5);
    std::memset(site + 5, 0x90, s->site.end - s->site.at - 5);
    mprotect(reinterpret_cast<void*>(first), span, s->site.prot);
    return true;
}

// General-protection faults in an image: the only forms emulated are
// mov %cr8,%reg (REX 0F 20 /r) and mov %reg,%cr8 (REX 0F 22 /r), with REX.R
// selecting control register 8 and the r/m field a general register.
void OnFault(int sig, siginfo_t* info, void* context)
{
    auto* uc = static_cast<ucontext_t*>(context);
    greg_t* g = uc->uc_mcontext.gregs;
    auto ip = uintptr_t(g[REG_RIP]);
    const ImageSlot* img = ImageAt(ip);
    if (!img || info->si_code != SI_KERNEL) return Chain(sig, info, context);
    if (img->size.load() - (ip - img->base.load()) < 4) Fatal(img, ip, kNotEmulated);
    const auto* code = reinterpret_cast<const unsigned char*>(ip);
    unsigned char rex = code[0], op = code[2], modrm = code[3];
    bool form = Cr8Move(code, 0x20) || Cr8Move(code, 0x22);
    if (!form) Fatal(img, ip, kNotEmulated);
    ThreadState* t = Current();
    if (!t) Fatal(img, ip, "IRQL access by a thread the platform does not know");
    int reg = kGreg[(modrm & 7) | ((rex & 1) << 3)];
    if (op == 0x20) {
        // A read just rewritten resumes at its new jump: its stub reads the
        // IRQL again and runs the instruction that followed.
        if (RewriteOnFirstTrap(img, uint32_t(ip - img->base.load()))) {
            g_emulated.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        g[reg] = greg_t(t->irql);
    } else {
        auto v = uint64_t(g[reg]);
        // Bits above the priority class are reserved: the processor refuses them.
        if (v > 15) Fatal(img, ip, "mov to %cr8 of a value above 15");
        t->irql = KIRQL(v);
    }
    g_emulated.fetch_add(1, std::memory_order_relaxed);
    g[REG_RIP] = greg_t(ip + 4);
}

// A C++ exception that cannot unwind (through image code whose unwind data
// is missing) ends here rather than in an unexplained abort.
std::terminate_handler g_previousTerminate;
void OnTerminate()
{
    bool images = false;
    for (const ImageSlot& s : g_images) images = images || s.size.load();
    if (images && std::current_exception())
        std::fputs("hosted: a C++ exception of the platform could not unwind through the stack, which holds a "
                   "loaded kernel image's frames\n",
                   stderr);
    if (g_previousTerminate) g_previousTerminate();
    std::abort();
}

}  // namespace

void SetProcessorBlock(ThreadState* t)
{
    if (!t_block) {
        if (!t) return;  // never had a block: nothing to clear
        t_block = std::make_unique<ProcessorBlock>();
        std::memset(t_block->bytes, 0, sizeof t_block->bytes);
        Put(t_block.get(), kPcrSelf, t_block.get());
        Put(t_block.get(), kPcrCurrentPrcb, t_block->bytes + kPcrPrcb);
        if (syscall(SYS_arch_prctl, ARCH_SET_GS, t_block.get()) != 0) {
            std::fputs("hosted: cannot set the GS base of a hosted thread\n", stderr);
            std::abort();
        }
    }
    Put(t_block.get(), kPrcbCurrentThread, t && t->object ? &t->object->Tcb : nullptr);
    Put(t_block.get(), kBlockIrqlPointer, t ? &t->irql : &kNoThreadIrql);
}

namespace {

// Length of a register-only instruction that may run away from its place (no
// memory operand, no branch, nothing relative to %rip), or 0: test, mov,
// cmp, xor, and, or between registers, their 8-bit immediate forms, movzx.
size_t PlainLength(const uint8_t* p, size_t avail)
{
    size_t i = avail && (p[0] & 0xf0) == 0x40 ? 1 : 0;  // REX
    if (avail < i + 2) return 0;
    const uint8_t op = p[i];
    auto registerForm = [&](size_t at) { return avail > at && (p[at] & 0xc0) == 0xc0; };
    switch (op) {
    case 0x84: case 0x85: case 0x89: case 0x8b: case 0x39: case 0x3b:
    case 0x31: case 0x33: case 0x21: case 0x23: case 0x09: case 0x0b:
        return registerForm(i + 1) ? i + 2 : 0;
    case 0x3c: case 0xa8:  // cmp/test %al, imm8
        return i + 2;
    case 0x80: case 0x83:  // group 1 with an 8-bit immediate
        return registerForm(i + 1) && avail >= i + 3 ? i + 3 : 0;
    case 0x0f:  // movzx
        return (p[i + 1] == 0xb6 || p[i + 1] == 0xb7) && registerForm(i + 2) ? i + 3 : 0;
    default:
        return 0;
    }
}

// Where a relative branch or call at `p` goes (offsets from `base`), if the
// bytes there read as one. Every byte offset is tried: a byte that only
// looks like a branch can only keep a site from being rewritten.
bool BranchTarget(const uint8_t* base, size_t at, size_t end, int64_t* target)
{
    const uint8_t* p = base + at;
    auto rel32 = [&](size_t len) {
        int32_t d;
        std::memcpy(&d, p + len - 4, 4);
        *target = int64_t(at + len) + d;
    };
    if (end - at >= 2 && (p[0] == 0xeb || (p[0] >= 0x70 && p[0] <= 0x7f) || (p[0] >= 0xe0 && p[0] <= 0xe3))) {
        *target = int64_t(at + 2) + int8_t(p[1]);
        return true;
    }
    if (end - at >= 5 && (p[0] == 0xe9 || p[0] == 0xe8)) return rel32(5), true;
    if (end - at >= 6 && p[0] == 0x0f && p[1] >= 0x80 && p[1] <= 0x8f) return rel32(6), true;
    return false;
}

}  // namespace

std::vector<IrqlSite> PrepareIrqlRewrites(uint8_t* base, const std::vector<CodeRange>& code,
                                          const std::vector<uint32_t>& referenced, uint8_t* stubs,
                                          size_t stubBytes)
{
    struct Site {
        uint32_t at, end;
        int reg;
        size_t follower;
        int prot;
        bool safe = true;
    };
    std::vector<Site> sites;
    for (auto [begin, end, prot] : code)
        for (uint32_t at = begin; at + 4 < end; ++at) {
            const uint8_t* c = base + at;
            if (!Cr8Move(c, 0x20)) continue;
            const int reg = (c[3] & 7) | ((c[0] & 1) << 3);
            if ((reg & 7) == 4) continue;  // %rsp/%r12 would need an index byte; left to trap
            const size_t follower = PlainLength(c + 4, end - at - 4);
            if (!follower) continue;
            sites.push_back({at, uint32_t(at + 4 + follower), reg, follower, prot});
            at += 3;
        }
    std::vector<IrqlSite> out;
    if (sites.empty()) return out;
    // A site whose inside some branch or absolute address reaches is left alone.
    auto enterInside = [&](int64_t target) {
        auto it = std::upper_bound(sites.begin(), sites.end(), target,
                                   [](int64_t t, const Site& s) { return t < int64_t(s.at); });
        if (it == sites.begin()) return;
        --it;
        if (target > int64_t(it->at) && target < int64_t(it->end)) it->safe = false;
    };
    // Overlapping matches cannot both be instructions: neither is rewritten.
    for (size_t i = 1; i < sites.size(); ++i)
        if (sites[i].at < sites[i - 1].end) sites[i].safe = sites[i - 1].safe = false;
    for (auto [begin, end, prot] : code)
        for (size_t at = begin; at < end; ++at) {
            int64_t target;
            if (BranchTarget(base, at, end, &target)) enterInside(target);
        }
    for (uint32_t r : referenced) enterInside(r);

    size_t used = 0;
    for (const Site& s : sites) {
        if (!s.safe || stubBytes - used < 32) continue;
        uint8_t* stub = stubs + used;
        size_t n = 0;
        const int r = s.reg & 7, hi = s.reg >> 3;
        // mov %gs:kBlockIrqlPointer, %reg
        const uint8_t load[] = {0x65, uint8_t(0x48 | (hi << 2)), 0x8b, uint8_t(0x04 | (r << 3)), 0x25};
        std::memcpy(stub + n, load, sizeof load);
        n += sizeof load;
        const uint32_t slot = kBlockIrqlPointer;
        std::memcpy(stub + n, &slot, 4);
        n += 4;
        // movzbl (%reg), %reg: the IRQL, zero-extended as the move from %cr8 leaves it
        if (hi) stub[n++] = 0x45;
        stub[n++] = 0x0f;
        stub[n++] = 0xb6;
        if (r == 5) {  // %rbp/%r13 as a base needs a displacement
            stub[n++] = uint8_t(0x40 | (r << 3) | r);
            stub[n++] = 0;
        } else {
            stub[n++] = uint8_t((r << 3) | r);
        }
        // The instruction that followed, then back behind it.
        std::memcpy(stub + n, base + s.at + 4, s.follower);
        n += s.follower;
        stub[n++] = 0xe9;
        const int32_t back = int32_t(int64_t(base + s.end) - int64_t(stub + n + 4));
        std::memcpy(stub + n, &back, 4);
        n += 4;
        out.push_back({s.at, s.end, uint32_t(stub - base), s.prot});
        used += (n + 15) & ~size_t(15);
    }
    return out;
}

int RegisterImageRange(uintptr_t base, size_t size, const std::string& name, const std::vector<IrqlSite>& sites)
{
    std::lock_guard<std::mutex> guard(g_imagesLock);
    if (!g_installed) {
        struct sigaction sa {};
        sa.sa_sigaction = OnFault;
        sa.sa_flags = SA_SIGINFO | SA_NODEFER;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGSEGV, &sa, &g_previous);
        g_previousTerminate = std::set_terminate(OnTerminate);
        g_installed = true;
    }
    for (int i = 0; i < kSlots; ++i) {
        if (g_images[i].size.load()) continue;
        std::snprintf(g_images[i].name, sizeof g_images[i].name, "%s", name.c_str());
        delete[] g_images[i].sites;
        g_images[i].sites = new SiteState[sites.size()];
        for (size_t j = 0; j < sites.size(); ++j) g_images[i].sites[j].site = sites[j];
        g_images[i].siteCount = sites.size();
        g_images[i].base.store(base, std::memory_order_relaxed);
        g_images[i].size.store(size, std::memory_order_release);
        return i;
    }
    return -1;
}

void UnregisterImageRange(int slot)
{
    std::lock_guard<std::mutex> guard(g_imagesLock);
    g_images[slot].size.store(0, std::memory_order_release);
}

}  // namespace hosted::detail

namespace hosted {

uint64_t KernelImage::EmulatedInstructions() { return detail::g_emulated.load(); }

}  // namespace hosted
