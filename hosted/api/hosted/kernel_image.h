// Loads a Windows x64 kernel image (a .sys file) into the hosted platform as
// the Windows loader would: headers and sections mapped with their own
// protections, base relocations applied for wherever the image lands, every
// import bound by module and name to the platform's exported routines. The
// entry point is then an ordinary PDRIVER_INITIALIZE: hand it to DriverHost,
// Pnp::RegisterDriver or an INF installation in place of a hosted-build
// DriverEntry.
//
// While an image is loaded the platform also provides what the image does to
// the processor itself: %gs points at a processor block per hosted thread
// (offset 0x188 holds the current thread), and the privileged instructions the
// image uses to read and write the IRQL (mov to and from %cr8) are emulated
// against the hosted thread's IRQL. Any other privileged instruction stops the
// process with a message naming its address. The image's x64 unwind data is
// registered with the C++ unwinder, so the platform's own unwinding (a thread
// ending in PsTerminateSystemThread, the deadlock breaker) passes through the
// image's frames.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <wdm.h>

namespace hosted {

class KernelImage {
public:
    // Maps the image in `path`. On any refusal returns nullptr and sets
    // `error` to one line naming the file and what is wrong (malformed
    // headers, a corrupted relocation, each import the platform lacks).
    static std::unique_ptr<KernelImage> Load(const std::string& path, std::string* error);
    // Same for an image already in memory; `name` is used in messages.
    static std::unique_ptr<KernelImage> LoadBytes(const std::vector<uint8_t>& file, const std::string& name,
                                                  std::string* error);
    ~KernelImage();  // unmaps; the driver must be unloaded by then
    KernelImage(const KernelImage&) = delete;
    KernelImage& operator=(const KernelImage&) = delete;

    PDRIVER_INITIALIZE Entry() const { return entry_; }
    const std::string& Name() const { return name_; }
    uintptr_t Base() const { return base_; }
    size_t Size() const { return size_; }
    // The image's preferred base; Base() - PreferredBase() is the relocation delta.
    uint64_t PreferredBase() const { return preferredBase_; }
    bool Contains(const void* p) const
    {
        auto a = reinterpret_cast<uintptr_t>(p);
        return a >= base_ && a < base_ + size_;
    }
    // module!routine of every import, as bound.
    const std::vector<std::string>& Imports() const { return imports_; }

    // The platform's export table: the address a kernel image's import of
    // `routine` from `module` (compared without case, as Windows does) is
    // bound to, or nullptr.
    static void* Export(std::string_view module, std::string_view routine);
    // module!routine of every exported routine.
    static std::vector<std::string> Exports();

    // Privileged-instruction emulation as seen by the platform: the number of
    // %cr8 accesses emulated so far (all images, all threads).
    static uint64_t EmulatedInstructions();
    // The image's reads of %cr8 that stop trapping once they have trapped
    // once: a read followed by a register-only instruction that no branch
    // enters becomes, at its first trap, a jump to a stub reading the hosted
    // thread's IRQL. The other reads always trap.
    size_t RewrittenIrqlReads() const { return irqlSites_; }

private:
    KernelImage() = default;
    std::string name_;
    uintptr_t base_ = 0;
    size_t size_ = 0;
    uint64_t preferredBase_ = 0;
    PDRIVER_INITIALIZE entry_ = nullptr;
    std::vector<std::string> imports_;
    std::vector<uint8_t> unwind_;  // .eh_frame built from the image's unwind data
    int slot_ = -1;                // in the table the fault handler reads
    size_t irqlSites_ = 0;
};

}  // namespace hosted
