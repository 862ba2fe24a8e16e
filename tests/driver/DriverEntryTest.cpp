// Load and unload of the driver over the hosted kernel: the log mask read
// from "\Parameters", the trace lines, the driver-wide record, and the two
// ways a load fails.
#include <hosted/gtest.h>

#include <cstdio>
#include <functional>
#include <iterator>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "Log.h"
#include "driver/Driver.h"

namespace {

using hosted::Pool;
using hosted::Registry;
using hosted::Trace;

const uint32_t Vorp = hosted::Tag("Vorp");

template <typename... Args>
std::string Format(const char* format, Args... args)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, format, args...);
    return buf;
}

std::string EntryLine(const std::string& servicePath) { return "ORVEX : EnableLogs from registry  " + servicePath + "\n"; }

std::u16string Utf16(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

class DriverLoad : public hosted::PlatformTest {
protected:
    // Each load of the real image starts from its initialized data; the
    // hosted driver library stays in the process, so put the mask back.
    void SetUp() override { LogMask = 0xFFFFFFFF; }

    std::string Parameters(const std::string& service = "ORVEX") { return hosted::ServiceKeyPath(service) + "\\Parameters"; }

    static DrvExt* Extension(hosted::DriverHost& host)
    {
        return static_cast<DrvExt*>(IoGetDriverObjectExtension(host.Object(), DrvExtClientId()));
    }

    static std::u16string RegistryPathCopy(DrvExt* ext)
    {
        const auto* chars = reinterpret_cast<const char16_t*>(ext->RegistryPath.Buffer);
        return std::u16string(chars, ext->RegistryPath.Length / sizeof(char16_t));
    }

    // The lines every successful load prints before the mask is read.
    static std::string LoadHead(const std::string& servicePath, DrvExt* ext)
    {
        return EntryLine(servicePath) + "ORVEX :  +DriverEntry\n" + "ORVEX :     DrvExt " + Format("%016llX", (unsigned long long)uintptr_t(ext)) + "\n";
    }
};

TEST_F(DriverLoad, WithoutParametersKeyKeepsEveryBitAndPrintsEveryLine)
{
    hosted::DriverHost host(&DriverEntry);
    ASSERT_EQ(host.Load(), STATUS_SUCCESS);
    EXPECT_EQ(LogMask, 0xFFFFFFFFu);

    DrvExt* ext = Extension(host);
    ASSERT_NE(ext, nullptr);
    EXPECT_EQ(Trace::Text(), LoadHead(hosted::ServiceKeyPath("ORVEX"), ext) + "ORVEX :  -DriverEntry(0)\n");
    EXPECT_EQ(host.Object()->DriverUnload, &DriverUnload);

    // The record: no unique ID in use, and an exact copy of the service path
    // (no room for a terminating NUL) in one non-paged NX "Vorp" allocation.
    EXPECT_EQ(ext->UIdMap, 0u);
    const std::u16string path = Utf16(hosted::ServiceKeyPath("ORVEX"));
    EXPECT_EQ(RegistryPathCopy(ext), path);
    EXPECT_EQ(ext->RegistryPath.Length, path.size() * 2);
    EXPECT_EQ(ext->RegistryPath.MaximumLength, ext->RegistryPath.Length);
    ASSERT_EQ(Pool::LiveCount(Vorp), 1u);
    for (const auto& a : Pool::Live())
        if (a.tag == Vorp) EXPECT_EQ(std::tuple(a.address, a.bytes, a.poolType),
                                     std::tuple((void*)ext->RegistryPath.Buffer, size_t(ext->RegistryPath.Length), 512));
    EXPECT_EQ(Registry::OpenHandles(), 0u);

    // Unload frees the copy; the loader's leak check would report it otherwise.
    Trace::Clear();
    EXPECT_TRUE(host.Unload().empty());
    EXPECT_EQ(Trace::Text(), "ORVEX :  +DriverUnload\nORVEX :  -DriverUnload\n");
    EXPECT_EQ(Pool::LiveCount(Vorp), 0u);
}

// One "Logs" value and what follows from it.
struct MaskCase {
    const char* name;
    uint32_t type;
    std::vector<uint8_t> data;
    ULONG mask;  // LogMask after the load
    bool read;   // the value was taken as the mask
};

void PrintTo(const MaskCase& c, std::ostream* os) { *os << c.name; }

std::vector<uint8_t> Dword(ULONG v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }

class LogsValue : public DriverLoad, public ::testing::WithParamInterface<MaskCase> {};

TEST_P(LogsValue, SetsTheMaskAndGatesLines)
{
    const MaskCase& c = GetParam();
    Registry::SetValue(Parameters(), "Logs", c.type, c.data);

    hosted::DriverHost host(&DriverEntry);
    ASSERT_EQ(host.Load(), STATUS_SUCCESS);
    EXPECT_EQ(LogMask, c.mask);
    EXPECT_EQ(Registry::OpenHandles(), 0u);

    // The lines before the read go by the default mask; the rest by the new one.
    const bool trace = (c.mask & LogTrace) != 0;
    std::string expected = LoadHead(hosted::ServiceKeyPath("ORVEX"), Extension(host));
    if (c.read && trace) expected += "ORVEX : EnableLogs from registry = " + std::to_string(int(c.mask)) + "\n";
    if (trace) expected += "ORVEX :  -DriverEntry(0)\n";
    EXPECT_EQ(Trace::Text(), expected);

    // Lines of the rest of the driver follow the loaded mask.
    Trace::Clear();
    LOG_ERROR("error line\n");
    LOG_TRACE("trace line\n");
    EXPECT_EQ(Trace::CountLine("error line"), (c.mask & LogError) ? 1u : 0u);
    EXPECT_EQ(Trace::CountLine("trace line"), trace ? 1u : 0u);

    Trace::Clear();
    EXPECT_TRUE(host.Unload().empty());
    EXPECT_EQ(Trace::Text(), trace ? "ORVEX :  +DriverUnload\nORVEX :  -DriverUnload\n" : "");
}

INSTANTIATE_TEST_SUITE_P(
    Values, LogsValue,
    ::testing::Values(
        MaskCase{"Zero", REG_DWORD, Dword(0), 0, true},
        MaskCase{"ErrorsOnly", REG_DWORD, Dword(1), 1, true},
        MaskCase{"TraceOnly", REG_DWORD, Dword(0x20), 0x20, true},
        MaskCase{"Both", REG_DWORD, Dword(0x21), 0x21, true},
        MaskCase{"AllBitsPrintsMinusOne", REG_DWORD, Dword(0xFFFFFFFF), 0xFFFFFFFF, true},
        // The type is not examined: four bytes of anything are the mask, little-endian.
        MaskCase{"FourBinaryBytes", REG_BINARY, {0x21, 0x00, 0x00, 0x80}, 0x80000021, true},
        MaskCase{"FourByteString", REG_SZ, {'!', 0, 0, 0}, 0x21, true},
        // Too large for the 16-byte query: buffer overflow, the default stays.
        MaskCase{"LongString", REG_SZ, {'3', 0, '3', 0, 0, 0}, 0xFFFFFFFF, false},
        MaskCase{"EightBytes", REG_BINARY, {0, 0, 0, 0, 0, 0, 0, 0}, 0xFFFFFFFF, false},
        // Fewer than four bytes: the zeroed query buffer supplies the missing
        // high bytes, so the value's bytes are the low bits of the mask.
        MaskCase{"OneByteZero", REG_BINARY, {0x00}, 0, true},
        MaskCase{"OneByte", REG_BINARY, {0x21}, 0x21, true},
        MaskCase{"TwoBytes", REG_BINARY, {0x01, 0x80}, 0x8001, true},
        MaskCase{"ThreeBytes", REG_BINARY, {0x20, 0x00, 0x80}, 0x800020, true},
        MaskCase{"Empty", REG_BINARY, {}, 0, true}),
    [](const ::testing::TestParamInfo<MaskCase>& info) { return std::string(info.param.name); });

TEST_F(DriverLoad, UnreadableParametersKeepTheDefaultAndCloseTheKey)
{
    // A key without "Logs"; the open fails; the query fails.
    const std::function<void(const std::string&)> steps[] = {
        [](const std::string& p) { Registry::CreateKey(p); },
        [](const std::string& p) {
            Registry::SetDword(p, "Logs", 0);
            Registry::FailOpen(p, STATUS_ACCESS_DENIED);
        },
        [](const std::string& p) {
            Registry::SetDword(p, "Logs", 0);
            Registry::FailQuery(p, "Logs", STATUS_INSUFFICIENT_RESOURCES);
        },
    };
    for (size_t i = 0; i < std::size(steps); ++i) {
        SCOPED_TRACE(i);
        LogMask = 0xFFFFFFFF;
        Registry::DeleteKey(Parameters());
        Registry::ClearFailures();
        steps[i](Parameters());
        Trace::Clear();

        hosted::DriverHost host(&DriverEntry);
        ASSERT_EQ(host.Load(), STATUS_SUCCESS);
        EXPECT_EQ(LogMask, 0xFFFFFFFFu);
        EXPECT_FALSE(Trace::Contains("EnableLogs from registry ="));
        EXPECT_EQ(Registry::OpenHandles(), 0u);
        EXPECT_TRUE(host.Unload().empty());
    }
}

// The service key path plus "\Parameters" (22 bytes) must fit 512 bytes.
// ServiceKeyPath is "\Registry\Machine\System\CurrentControlSet\Services\"
// (52 characters) and the name.
TEST_F(DriverLoad, ServicePathLengthDecidesWhetherLogsIsRead)
{
    struct Case {
        size_t nameLength;
        bool read;
    };
    for (const Case c : {Case{193, true}, Case{194, false}, Case{230, false}}) {
        const std::string service = "S" + std::string(c.nameLength - 1, 'x');
        const std::string path = hosted::ServiceKeyPath(service);
        SCOPED_TRACE(path.size());
        LogMask = 0xFFFFFFFF;
        Registry::SetDword(Parameters(service), "Logs", 0x21);
        Trace::Clear();

        hosted::DriverHost host(&DriverEntry, service);
        ASSERT_EQ(host.Load(), STATUS_SUCCESS);
        EXPECT_EQ(LogMask, c.read ? 0x21u : 0xFFFFFFFFu);
        EXPECT_EQ(Trace::Contains("ORVEX : EnableLogs from registry = 33\n"), c.read);

        // The first line shows at most 255 characters of the path.
        EXPECT_EQ(Trace::Records().at(0).text, EntryLine(path.substr(0, 255)));

        // The copy always holds the whole path.
        DrvExt* ext = Extension(host);
        ASSERT_NE(ext, nullptr);
        EXPECT_EQ(RegistryPathCopy(ext), Utf16(path));
        EXPECT_TRUE(host.Unload().empty());
    }
}

TEST_F(DriverLoad, ExtensionFailureReturnsItsStatusAndInstallsNothing)
{
    // The failure line needs only a non-zero mask: bit 0x2 gates nothing else.
    for (const ULONG mask : {0xFFFFFFFFu, 0x2u, 0x0u}) {
        SCOPED_TRACE(mask);
        LogMask = mask;
        Trace::Clear();
        hosted::Io::FailDriverExtension(1);
        hosted::DriverHost host(&DriverEntry);
        const NTSTATUS status = host.Load();
        EXPECT_FALSE(NT_SUCCESS(status));
        EXPECT_FALSE(host.Loaded());

        // Nothing after the failure line: no record, no path copy, no unload.
        const std::string failure =
            "ORVEX :     IoAllocateDriverObjectExtension not successful " + Format("%x", unsigned(status)) + "\n";
        std::string expected;
        if (mask & LogTrace) expected = EntryLine(hosted::ServiceKeyPath("ORVEX")) + "ORVEX :  +DriverEntry\n";
        if (mask != 0) expected += failure;
        EXPECT_EQ(Trace::Text(), expected);
        EXPECT_EQ(Pool::AllocationCount(Vorp), 0u);
        EXPECT_EQ(Registry::OpenHandles(), 0u);
        Trace::Clear();
        EXPECT_TRUE(host.Unload().empty());
        EXPECT_FALSE(Trace::Contains("DriverUnload"));
    }
}

TEST_F(DriverLoad, PathBufferFailureReturnsInsufficientResources)
{
    Registry::SetDword(Parameters(), "Logs", 0);
    Pool::FailTag(Vorp, 1);
    hosted::DriverHost host(&DriverEntry);
    EXPECT_EQ(host.Load(), static_cast<NTSTATUS>(0xC000009A));
    EXPECT_FALSE(host.Loaded());

    // The record existed (its line was printed); the registry was never read.
    const std::string text = Trace::Text();
    const std::string head = EntryLine(hosted::ServiceKeyPath("ORVEX")) + "ORVEX :  +DriverEntry\nORVEX :     DrvExt ";
    const std::string tail = "\nORVEX : Failed to allocate Regitry path buffer\n";
    ASSERT_GE(text.size(), head.size() + 16 + tail.size());
    EXPECT_EQ(text.substr(0, head.size()), head);
    EXPECT_EQ(text.substr(head.size() + 16), tail);
    EXPECT_EQ(LogMask, 0xFFFFFFFFu);
    EXPECT_EQ(Pool::LiveCount(Vorp), 0u);
    EXPECT_EQ(Registry::OpenHandles(), 0u);

    Trace::Clear();
    EXPECT_TRUE(host.Unload().empty());
    EXPECT_FALSE(Trace::Contains("DriverUnload"));
}

}  // namespace
