// What a kernel image does to the processor itself. The DDK's inline routines
// compile into the image reads of %gs:0x188 (the current thread, through the
// processor control region) and moves to and from %cr8 (the IRQL). A hosted
// thread gets a processor block its %gs base points at; %cr8 accesses trap in
// user mode (general protection, delivered as SIGSEGV) and the handler
// emulates exactly those forms against the hosted thread's IRQL, so the IRQL
// an image raises is the IRQL every platform check sees.
#include <asm/prctl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

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
struct ImageSlot {
    std::atomic<uintptr_t> base{0};
    std::atomic<size_t> size{0};
    char name[64];
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
    bool form = (rex & 0xf4) == 0x44 && code[1] == 0x0f && (op == 0x20 || op == 0x22) && (modrm & 0xf8) == 0xc0;
    if (!form) Fatal(img, ip, kNotEmulated);
    ThreadState* t = Current();
    if (!t) Fatal(img, ip, "IRQL access by a thread the platform does not know");
    int reg = kGreg[(modrm & 7) | ((rex & 1) << 3)];
    if (op == 0x20) {
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
}

int RegisterImageRange(uintptr_t base, size_t size, const std::string& name)
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
