// The kernel-image loader on hand-built images: mapping and protections,
// relocations, import binding and the refusal of malformed images, the
// emulated %cr8 and %gs accesses, and C++ unwinding through image frames.
#include <cstdio>
#include <fstream>
#include <stdexcept>

#include <gtest/gtest.h>
#include <hosted/gtest.h>
#include <hosted/kernel_image.h>
#include <hosted/verifier.h>

#include "PeBuilder.h"

namespace {

using hosted::KernelImage;
using Fn = uint64_t(__attribute__((ms_abi))*)(uint64_t);

std::unique_ptr<KernelImage> LoadOk(const PeBuilder& b)
{
    std::string error;
    auto img = KernelImage::LoadBytes(b.Build(), "test.sys", &error);
    EXPECT_TRUE(img) << error;
    return img;
}

Fn At(const KernelImage& img, uint32_t rva) { return reinterpret_cast<Fn>(img.Base() + rva); }

// The protection of the page holding `p`, as /proc/self/maps lists it ("r-x").
std::string Protection(uintptr_t p)
{
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        unsigned long lo, hi;
        char perms[8];
        if (std::sscanf(line.c_str(), "%lx-%lx %7s", &lo, &hi, perms) == 3 && p >= lo && p < hi)
            return std::string(perms, 3);
    }
    return "unmapped";
}

TEST(KernelImage, MapsSectionsWithTheirProtectionsAndRelocates)
{
    PeBuilder b;
    // .data holds a pointer to the entry point; the code returns it read
    // through a rip-relative load: mov 0xff9(%rip),%rax ; ret.
    PeBuilder::Put64(b.data, 0, b.imageBase + PeBuilder::kText);
    b.dir64 = {PeBuilder::kData};
    b.text = {0x48, 0x8b, 0x05, 0xf9, 0x0f, 0x00, 0x00, 0xc3};
    auto img = LoadOk(b);
    ASSERT_TRUE(img);
    EXPECT_NE(img->Base(), img->PreferredBase());
    EXPECT_EQ(At(*img, PeBuilder::kText)(0), img->Base() + PeBuilder::kText);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(img->Entry()), img->Base() + PeBuilder::kText);
    EXPECT_EQ(Protection(img->Base()), "r--");
    EXPECT_EQ(Protection(img->Base() + PeBuilder::kText), "r-x");
    EXPECT_EQ(Protection(img->Base() + PeBuilder::kData), "rw-");
    EXPECT_EQ(Protection(img->Base() + PeBuilder::kRdata), "r--");
    uintptr_t base = img->Base();
    img.reset();
    EXPECT_EQ(Protection(base), "unmapped");
}

TEST(KernelImage, BindsImportsByModuleWithoutCaseAndNameWithCase)
{
    PeBuilder b;
    b.imports = {{"NTOSKRNL.EXE", {"KeSetEvent", "IofCallDriver"}}, {"usbd.sys", {"USBD_ParseConfigurationDescriptorEx"}}};
    auto img = LoadOk(b);
    ASSERT_TRUE(img);
    uint64_t slot;
    std::memcpy(&slot, reinterpret_cast<void*>(img->Base() + b.Iat(0, 1)), 8);
    EXPECT_EQ(reinterpret_cast<void*>(slot), KernelImage::Export("ntoskrnl.exe", "IofCallDriver"));
    EXPECT_NE(slot, 0u);
    EXPECT_EQ(img->Imports().size(), 3u);
    EXPECT_EQ(KernelImage::Export("ntoskrnl.exe", "kesetevent"), nullptr);
    // Names Windows x64 does not export are not exported here either.
    EXPECT_EQ(KernelImage::Export("ntoskrnl.exe", "KfLowerIrql"), nullptr);
}

struct Refusal {
    const char* what;
    void (*spoil)(PeBuilder&, std::vector<uint8_t>&);
    const char* message;
};

const Refusal kRefusals[] = {
    {"missing routines, each named",
     [](PeBuilder& b, std::vector<uint8_t>& f) {
         b.imports = {{"ntoskrnl.exe", {"KeSetEvent", "KeNoSuchRoutine"}}, {"foo.sys", {"Bar"}}};
         f = b.Build();
     },
     "test.sys: imports what the hosted platform does not provide: ntoskrnl.exe!KeNoSuchRoutine, foo.sys!Bar"},
    {"relocation of another architecture",
     [](PeBuilder& b, std::vector<uint8_t>& f) {
         b.rawRelocs = {0x3008};
         f = b.Build();
     },
     "test.sys: corrupted base relocation: type 3 at 0x2008 is not an x64 relocation"},
    {"relocation outside the image",
     [](PeBuilder& b, std::vector<uint8_t>& f) {
         b.relocPage = 0x7000;
         b.rawRelocs = {0xa010};
         f = b.Build();
     },
     "test.sys: corrupted base relocation: target 0x7010 lies outside the image's sections"},
    {"relocation block larger than the directory",
     [](PeBuilder& b, std::vector<uint8_t>& f) {
         b.dir64 = {PeBuilder::kData};
         f = b.Build();
         // The block size field is the .reloc section's second word.
         for (size_t at = 0; at + 8 <= f.size(); at += 0x200)
             if (f[at] == 0x00 && f[at + 1] == 0x20 && f[at + 4] == 12) f[at + 4] = 0x40;
     },
     "test.sys: corrupted base relocation: block at 0x5000 has size 0x40"},
    {"no relocations", [](PeBuilder& b, std::vector<uint8_t>& f) { b.stripped = true; f = b.Build(); },
     "test.sys: has no base relocations and cannot be loaded away from 0x140000000"},
    {"another machine", [](PeBuilder& b, std::vector<uint8_t>& f) { b.machine = 0x14c; f = b.Build(); },
     "test.sys: machine 0x14c is not x64"},
    {"truncated", [](PeBuilder& b, std::vector<uint8_t>& f) { f = b.Build(); f.resize(0x500); },
     "test.sys: section .text's data lies outside the file"},
    {"not an executable", [](PeBuilder&, std::vector<uint8_t>& f) { f.assign(100, 'x'); },
     "test.sys: not an MZ executable"},
    {"entry point in data", [](PeBuilder& b, std::vector<uint8_t>& f) { b.entry = PeBuilder::kData; f = b.Build(); },
     "test.sys: entry point 0x2000 is not in an executable section"},
    {"unwind operation unknown",
     [](PeBuilder& b, std::vector<uint8_t>& f) {
         b.functions = {{PeBuilder::kText, PeBuilder::kText + 1, 1, {0x0a01}}};
         f = b.Build();
     },
     "test.sys: unwind info at 0x4000 uses operation 10, which the loader does not translate"},
};

TEST(KernelImage, RefusesMalformedImagesNamingTheFault)
{
    for (const Refusal& r : kRefusals) {
        PeBuilder b;
        std::vector<uint8_t> file;
        r.spoil(b, file);
        std::string error;
        EXPECT_FALSE(KernelImage::LoadBytes(file, "test.sys", &error)) << r.what;
        EXPECT_EQ(error, r.message) << r.what;
    }
}

// Hand-written IRQL accesses as the DDK's inline routines compile them.
const std::vector<uint8_t> kReadCr8 = {0x44, 0x0f, 0x20, 0xc0, 0xc3};  // mov %cr8,%rax; ret
const std::vector<uint8_t> kWriteCr8 = {0x44, 0x0f, 0x22, 0xc1, 0xc3};  // mov %rcx,%cr8; ret
// push %r13; mov %cr8,%r13; mov %r13,%rax; pop %r13; ret
const std::vector<uint8_t> kReadCr8R13 = {0x41, 0x55, 0x45, 0x0f, 0x20, 0xc5, 0x4c, 0x89, 0xe8, 0x41, 0x5d, 0xc3};
// push %r13; mov %rcx,%r13; mov %r13,%cr8; pop %r13; ret
const std::vector<uint8_t> kWriteCr8R13 = {0x41, 0x55, 0x49, 0x89, 0xcd, 0x45, 0x0f, 0x22, 0xc5, 0x41, 0x5d, 0xc3};
// xor %eax,%eax; test %ecx,%ecx; jne 1f; mov %cr8,%rax; 1: test %al,%al; ret
// (the jump enters the read's site behind the read: it cannot be rewritten)
const std::vector<uint8_t> kReadCr8Entered = {0x31, 0xc0, 0x85, 0xc9, 0x75, 0x04, 0x44,
                                              0x0f, 0x20, 0xc0, 0x84, 0xc0, 0xc3};
const std::vector<uint8_t> kReadGs188 = {0x65, 0x48, 0x8b, 0x04, 0x25, 0x88, 0x01, 0x00, 0x00, 0xc3};
const std::vector<uint8_t> kCli = {0xfa, 0xc3};

std::unique_ptr<KernelImage> CodeImage(std::vector<std::vector<uint8_t>> routines, std::vector<uint32_t>& at)
{
    PeBuilder b;
    b.text.clear();
    for (auto& r : routines) {
        at.push_back(PeBuilder::kText + uint32_t(b.text.size()));
        b.text.insert(b.text.end(), r.begin(), r.end());
        while (b.text.size() % 16) b.text.push_back(0xcc);
    }
    return LoadOk(b);
}

TEST(KernelImage, EmulatesIrqlAccessesAgainstTheHostedThread)
{
    hosted::TestPlatform platform;
    std::vector<uint32_t> at;
    auto img = CodeImage({kReadCr8, kWriteCr8, kReadCr8R13, kWriteCr8R13, kReadCr8Entered}, at);
    ASSERT_TRUE(img);
    // The read into %r13 followed by a register move traps once and is then
    // rewritten; the read before a return and the one a jump enters behind
    // keep trapping. All of them read the same IRQL.
    EXPECT_EQ(img->RewrittenIrqlReads(), 1u);
    uint64_t before = KernelImage::EmulatedInstructions();
    struct Case {
        int write, read;
        KIRQL irql;
    };
    for (Case c : {Case{1, 0, APC_LEVEL}, Case{3, 2, DISPATCH_LEVEL}, Case{1, 2, PASSIVE_LEVEL}, Case{3, 0, 15},
                   Case{1, 4, DISPATCH_LEVEL}}) {
        At(*img, at[c.write])(c.irql);
        EXPECT_EQ(KeGetCurrentIrql(), c.irql);
        EXPECT_EQ(At(*img, at[c.read])(0), c.irql);
    }
    EXPECT_EQ(At(*img, at[4])(1), 0u);  // the jump taken: no read
    EXPECT_EQ(KernelImage::EmulatedInstructions() - before, 9u);  // 5 writes, 3 trapping reads, 1 first read
    EXPECT_NE(*reinterpret_cast<const uint8_t*>(img->Base() + at[2] + 2), 0x45);  // rewritten in place
    // The platform's checks see the IRQL the image raised: a spin lock taken
    // "at DISPATCH_LEVEL" is fine after the image's raise, a fault without it.
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    At(*img, at[1])(DISPATCH_LEVEL);
    KeAcquireSpinLockAtDpcLevel(&lock);
    KeReleaseSpinLockFromDpcLevel(&lock);
    At(*img, at[1])(PASSIVE_LEVEL);
    EXPECT_TRUE(hosted::Verifier::Violations().empty());
    KeAcquireSpinLockAtDpcLevel(&lock);
    KeReleaseSpinLockFromDpcLevel(&lock);
    auto found = hosted::Verifier::Take();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_NE(found[0].find("below DISPATCH_LEVEL"), std::string::npos);
}

TEST(KernelImage, ProcessorBlockHoldsTheCurrentThread)
{
    hosted::TestPlatform platform;
    std::vector<uint32_t> at;
    auto img = CodeImage({kReadGs188}, at);
    ASSERT_TRUE(img);
    EXPECT_EQ(At(*img, at[0])(0), reinterpret_cast<uint64_t>(KeGetCurrentThread()));
    uint64_t seen = 0;
    auto t = hosted::StartThread("other", [&] { seen = At(*img, at[0])(0) == reinterpret_cast<uint64_t>(KeGetCurrentThread()); });
    t.Join();
    EXPECT_EQ(seen, 1u);
}

TEST(KernelImageDeathTest, OtherPrivilegedInstructionsStopNamingTheirAddress)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    std::vector<uint32_t> at;
    auto img = CodeImage({kCli, kWriteCr8}, at);
    ASSERT_TRUE(img);
    EXPECT_DEATH(At(*img, at[0])(0), "privileged instruction or a non-canonical address\\) not emulated at 0x[0-9a-f]+ \\(test.sys\\+0x1000\\)");
    EXPECT_DEATH(
        {
            hosted::TestPlatform platform;
            At(*img, at[1])(16);
        },
        "mov to %cr8 of a value above 15 at 0x[0-9a-f]+ \\(test.sys\\+0x1010\\)");
    EXPECT_DEATH(At(*img, at[1])(0), "IRQL access by a thread the platform does not know");
}

struct UnwindCase {
    const char* what;
    std::vector<uint8_t> code;  // takes (callback, value): clobbers %rbx with value, calls callback
    uint8_t prolog;
    std::vector<uint16_t> codes;
    uint8_t frame;
};

const UnwindCase kUnwindCases[] = {
    // push %rbx; sub $0x20,%rsp; mov %rdx,%rbx; call *%rcx; add $0x20,%rsp; pop %rbx; ret
    {"pushes and a fixed frame",
     {0x53, 0x48, 0x83, 0xec, 0x20, 0x48, 0x89, 0xd3, 0xff, 0xd1, 0x48, 0x83, 0xc4, 0x20, 0x5b, 0xc3},
     5,
     {0x3205, 0x3001},  // stored last first: sub (ends at 5, 0x20 bytes), push %rbx (ends at 1)
     0},
    // push %rbp; sub $0x20,%rsp; lea 0x20(%rsp),%rbp; mov %rbx,0x10(%rsp);
    // mov %rdx,%rbx; sub $0x40,%rsp (a dynamic allocation: only %rbp finds
    // the frame now); call *%rcx; lea -0x20(%rbp),%rsp; mov 0x10(%rsp),%rbx;
    // add $0x20,%rsp; pop %rbp; ret
    {"frame register and a register saved by offset",
     {0x55, 0x48, 0x83, 0xec, 0x20, 0x48, 0x8d, 0x6c, 0x24, 0x20, 0x48, 0x89, 0x5c, 0x24, 0x10, 0x48, 0x89, 0xd3,
      0x48, 0x83, 0xec, 0x40, 0xff, 0xd1, 0x48, 0x8d, 0x65, 0xe0, 0x48, 0x8b, 0x5c, 0x24, 0x10, 0x48, 0x83, 0xc4,
      0x20, 0x5d, 0xc3},
     15,
     {0x340f, 0x0002, 0x030a, 0x3205, 0x5001},  // save %rbx at +0x10, frame %rbp, alloc 0x20, push %rbp
     0x25},                                      // %rbp = %rsp + 2 * 16
};

__attribute__((ms_abi)) void Thrower(uint64_t) { throw std::runtime_error("through the image"); }

TEST(KernelImage, CppExceptionsUnwindThroughImageFrames)
{
    for (const UnwindCase& c : kUnwindCases) {
        SCOPED_TRACE(c.what);
        PeBuilder b;
        b.text = c.code;
        b.functions = {{PeBuilder::kText, PeBuilder::kText + uint32_t(b.text.size()), c.prolog, c.codes, c.frame}};
        auto img = LoadOk(b);
        ASSERT_TRUE(img);
        auto call = reinterpret_cast<void(__attribute__((ms_abi))*)(void (*)(uint64_t), uint64_t)>(img->Base() +
                                                                                                     PeBuilder::kText);
        std::string caught;
        try {
            call(reinterpret_cast<void (*)(uint64_t)>(&Thrower), 7);
        } catch (const std::runtime_error& e) {
            caught = e.what();
        }
        EXPECT_EQ(caught, "through the image");
    }
}

}  // namespace
