// The driver-wide record and the load/unload routines of the driver frame.
//
// DrvExt hangs on the driver object as its driver object extension under the
// client identification value 1 (the pointer value 1, not an address); any
// routine holding the driver object finds it with
//     IoGetDriverObjectExtension(DriverObject, DrvExtClientId())
// The I/O manager frees it together with the driver object.
#pragma once

#include <ntddk.h>

struct DrvExt {
    FAST_MUTEX Mutex;              // guards UIdMap
    ULONG UIdMap;                  // unique device IDs in use: bit n stands for ID n+1
    UNICODE_STRING RegistryPath;   // copy of the service key path; no terminating NUL
};

// Layout pins: the fields keep this order, and on x64 Windows the record has
// the size the kernel's FAST_MUTEX (56 bytes) implies.
static_assert(FIELD_OFFSET(DrvExt, Mutex) == 0, "DrvExt.Mutex comes first");
static_assert(FIELD_OFFSET(DrvExt, UIdMap) >= static_cast<LONG>(sizeof(FAST_MUTEX)), "DrvExt.UIdMap follows Mutex");
static_assert(FIELD_OFFSET(DrvExt, RegistryPath) > FIELD_OFFSET(DrvExt, UIdMap), "DrvExt.RegistryPath follows UIdMap");
#if defined(__MINGW64__)
static_assert(sizeof(FAST_MUTEX) == 0x38, "x64 FAST_MUTEX");
static_assert(FIELD_OFFSET(DrvExt, UIdMap) == 0x38 && FIELD_OFFSET(DrvExt, RegistryPath) == 0x40 && sizeof(DrvExt) == 0x50,
              "x64 DrvExt layout");
#endif

// Identification value of DrvExt on the driver object.
inline PVOID DrvExtClientId() { return reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(1)); }

extern "C" DRIVER_INITIALIZE DriverEntry;
DRIVER_UNLOAD DriverUnload;
