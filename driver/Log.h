// Driver-wide log mask and the helpers that gate "ORVEX : " trace lines.
//
// Every trace line goes to DbgPrint as a narrow format string. Lines of the
// driver frame, the USB device layer and the device callbacks are gated by one
// bit of LogMask; a few lines (and all lines of the update engine) are printed
// whatever the mask holds and simply call DbgPrint directly.
#pragma once

#include <ntddk.h>

// The driver-wide mask: every bit set until DriverEntry reads "Logs".
// A declaration only (the check takes it for a definition); the definition
// in DriverEntry.cpp is a constant initialization.
// NOLINTNEXTLINE(bugprone-dynamic-static-initializers)
extern ULONG LogMask;

constexpr ULONG LogError = 0x00000001;  // failed allocations, failed platform calls, refused requests
constexpr ULONG LogTrace = 0x00000020;  // entry/exit of routines, state dumps, values read

inline bool LogEnabled(ULONG bit) { return (LogMask & bit) != 0; }

// Prints the line only when `bit` is set in LogMask at the moment of printing.
#define ORVEX_LOG(bit, ...)          \
    do {                             \
        if (LogEnabled(bit)) {       \
            DbgPrint(__VA_ARGS__);   \
        }                            \
    } while (0)

#define LOG_ERROR(...) ORVEX_LOG(LogError, __VA_ARGS__)
#define LOG_TRACE(...) ORVEX_LOG(LogTrace, __VA_ARGS__)

// Pointers are printed with %x as their low 32 bits.
inline ULONG LowPart32(const void* p) { return static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(p)); }

// Pool tags.
constexpr ULONG TagHarn = 0x6E726148;    // "Harn": USB and firmware buffers
constexpr ULONG TagVorp = 0x70726F56;    // "Vorp": driver-frame and registry buffers
constexpr ULONG TagDevice = 0x774e434b;  // the device object itself ("KCNw" in memory order)
