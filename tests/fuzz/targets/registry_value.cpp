// GetAllocateRegistryValue on a value of any type and any bytes, with the
// pool or either of its two queries failing as the input says. A value read
// must come back byte for byte, followed by a UTF-16 NUL (after one zero
// byte when its length is odd), in a buffer of the reader's own tag.
#include <hosted/pool.h>
#include <hosted/registry.h>

#include <cstring>

#include "FuzzSupport.h"
#include "Log.h"
#include "registry/RegistryParameters.h"

using namespace orvex::fuzz;

namespace {

const std::string kKey = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\ORVEX\\Fuzz";

// Statuses a query may end with besides the value's own outcome.
constexpr NTSTATUS kQueryFailures[] = {STATUS_OBJECT_NAME_NOT_FOUND, STATUS_BUFFER_OVERFLOW,
                                       STATUS_BUFFER_TOO_SMALL, STATUS_INSUFFICIENT_RESOURCES};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Input in(data, size);
    const uint32_t type = in.U32();
    const uint8_t mode = in.U8();
    const std::vector<uint8_t> value = in.Rest();

    Session session;
    hosted::Registry::SetValue(kKey, "V", type, value);
    // mode bits 0-1: which pool allocation fails (0 none); bits 2-3: which
    // query fails (0 none); bits 4-5: with which status.
    bool injected = false;
    if (mode & 3) {
        hosted::Pool::FailTag(TagVorp, mode & 3);
        injected = true;
    }
    if ((mode >> 2) & 3) {
        hosted::Registry::FailQuery(kKey, "V", kQueryFailures[(mode >> 4) & 3], (mode >> 2) & 3);
        injected = true;
    }

    std::u16string path(kKey.begin(), kKey.end());
    UNICODE_STRING keyName{static_cast<USHORT>(path.size() * 2), static_cast<USHORT>(path.size() * 2),
                           reinterpret_cast<PWCH>(path.data())};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &keyName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE key = nullptr;
    FUZZ_CHECK(NT_SUCCESS(ZwOpenKey(&key, KEY_QUERY_VALUE, &attributes)), "the key cannot be opened");

    char16_t nameText[] = u"V";
    UNICODE_STRING name{2, 4, reinterpret_cast<PWCH>(nameText)};
    ULONG length = 0xDEAD;
    auto* buffer = static_cast<uint8_t*>(GetAllocateRegistryValue(key, &name, &length));
    ZwClose(key);
    hosted::Pool::ClearFailures();
    hosted::Registry::ClearFailures();

    if (buffer == nullptr) {
        FUZZ_CHECK(injected, "a readable value of " + std::to_string(value.size()) + " bytes was not read");
        return 0;
    }
    FUZZ_CHECK(length == value.size(), "length " + std::to_string(length) + " for a value of " +
                                           std::to_string(value.size()) + " bytes");
    FUZZ_CHECK(value.empty() || std::memcmp(buffer, value.data(), value.size()) == 0,
               "the bytes differ from the value's");
    const size_t pad = (length & 1) + 2;
    for (size_t i = 0; i < pad; ++i) FUZZ_CHECK(buffer[length + i] == 0, "the value is not terminated");
    ExFreePool(buffer);
    return 0;
}
