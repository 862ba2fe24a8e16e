// Shared by the kernel-image loader and the processor emulation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

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

}  // namespace hosted::detail
