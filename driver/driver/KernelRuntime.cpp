// What the compiler expects of a C++ runtime, for the kernel image only.
//
// ORVEX.sys links no C or C++ runtime. memcpy, memset and memmove, which the
// compiler may call for copies and fills, come from ntoskrnl.exe. The pieces
// below are referenced by classes with virtual operations: the deleting
// destructor of a class without its own release operator calls the global
// one, and a vtable slot of a pure virtual operation points at
// __cxa_pure_virtual.
//
// The hosted build runs over the host's C++ runtime, whose global operators
// must stay in place, so this file is empty there.
#if defined(ORVEX_KERNEL_BUILD)

#include <ntddk.h>

void operator delete(void* Memory) noexcept
{
    if (Memory != nullptr) {
        ExFreePool(Memory);
    }
}

void operator delete(void* Memory, size_t) noexcept
{
    if (Memory != nullptr) {
        ExFreePool(Memory);
    }
}

// Called only through a vtable slot of a pure virtual operation, i.e. from a
// constructor or destructor of an abstract base: a programming fault that
// leaves no sound way on.
extern "C" void __cxa_pure_virtual()
{
    KeBugCheckEx(KMODE_EXCEPTION_NOT_HANDLED, static_cast<ULONG_PTR>(STATUS_NOT_IMPLEMENTED),
                 reinterpret_cast<ULONG_PTR>(__builtin_return_address(0)), 0, 0);
}

#endif  // ORVEX_KERNEL_BUILD
