// Shared by the kernel-image loader and the processor emulation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace hosted::detail {

struct ThreadState;

// Points this OS thread's %gs at its processor block and records `t`'s thread
// object there (nullptr: none). Called whenever a thread becomes or stops
// being a hosted thread.
void SetProcessorBlock(ThreadState* t);

// The address ranges of loaded images, read by the fault handler. Register
// returns a slot (-1 when the table is full); the first registration installs
// the handler.
int RegisterImageRange(uintptr_t base, size_t size, const std::string& name);
void UnregisterImageRange(int slot);

// Rewrites the image's reads of %cr8 that are followed by a register-only
// instruction into a jump to a stub that reads the IRQL through the
// processor block instead of trapping. `code` holds [begin, end) offsets of
// the executable sections in `base`, `referenced` the offsets absolute
// addresses in the image point at (relocation targets); a site some branch
// or address may enter in its middle is left to trap. Stubs go to `stubs`
// (`stubBytes` long, within reach of a 32-bit displacement of the code);
// sites beyond that room are left to trap. Returns the number of sites
// rewritten.
size_t PatchIrqlReads(uint8_t* base, const std::vector<std::pair<uint32_t, uint32_t>>& code,
                      const std::vector<uint32_t>& referenced, uint8_t* stubs, size_t stubBytes);
// The room the loader maps after an image for its stubs.
constexpr size_t kIrqlStubBytes = size_t(1) << 16;

}  // namespace hosted::detail
