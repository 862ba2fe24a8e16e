// Shared by the kernel-image loader and the processor emulation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace hosted::detail {

struct ThreadState;

// The image's reads of %cr8 followed by a register-only instruction, which
// PrepareIrqlRewrites finds and prepares a stub for: the stub reads the IRQL
// through the processor block instead of trapping, runs the instruction that
// followed and jumps back. A site is rewritten into a jump to its stub only
// when its read first traps: that proves it an instruction of the image,
// where a scan of the bytes alone could match the middle of another one.
struct IrqlSite {
    uint32_t at, end;  // the read and its follower, as offsets in the image
    uint32_t stub;     // offset of its stub
    int prot;          // the protection of its section, restored after the rewrite
};

// Points this OS thread's %gs at its processor block and records `t`'s thread
// object there (nullptr: none). Called whenever a thread becomes or stops
// being a hosted thread.
void SetProcessorBlock(ThreadState* t);

// The address ranges of loaded images, read by the fault handler. Register
// returns a slot (-1 when the table is full); the first registration installs
// the handler.
int RegisterImageRange(uintptr_t base, size_t size, const std::string& name, const std::vector<IrqlSite>& sites);
void UnregisterImageRange(int slot);

struct CodeRange {
    uint32_t begin, end;
    int prot;
};
// `code`: the executable sections; `referenced`: the offsets absolute
// addresses in the image point at (relocation targets). A site some branch
// or such address enters in its middle is left out. Stubs go to `stubs`
// (`stubBytes` long, within reach of a 32-bit displacement of the code);
// sites beyond that room are left out.
std::vector<IrqlSite> PrepareIrqlRewrites(uint8_t* base, const std::vector<CodeRange>& code,
                                          const std::vector<uint32_t>& referenced, uint8_t* stubs,
                                          size_t stubBytes);
// The room the loader maps after an image for its stubs.
constexpr size_t kIrqlStubBytes = size_t(1) << 16;

}  // namespace hosted::detail
