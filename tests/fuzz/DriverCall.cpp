// Compiled as driver code (16-bit wchar_t): hands a UTF-16 path to the
// driver's GetDownloadFile, whose PWSTR is wchar_t there.
#include "update/UpdateEngine.h"

namespace orvex::fuzz {

NTSTATUS LoadFile(CUsbDevice* device, const char16_t* path, ULONG type)
{
    static_assert(sizeof(WCHAR) == sizeof(char16_t), "driver wide strings are UTF-16");
    return GetDownloadFile(device, reinterpret_cast<PWSTR>(const_cast<char16_t*>(path)), type);
}

}  // namespace orvex::fuzz
