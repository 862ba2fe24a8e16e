// Compiled like driver code (no exceptions, 16-bit wchar_t): a wait that a
// deadlock unwinds must unwind through frames like this one.
#include <ntddk.h>

extern "C" NTSTATUS HelperWaitForever(PKEVENT event, volatile LONG* after)
{
    NTSTATUS st = KeWaitForSingleObject(event, Executive, KernelMode, FALSE, NULL);
    *after = 1;  // never reached when the wait is unwound
    return st;
}

extern "C" const WCHAR* HelperWideLiteral(void) { return L"Wide \x00e9t\x00e9"; }
