// Registry parameters: the value reader on each size class, with its exact
// lines and a terminated result whatever was stored; the four file paths; keys
// that cannot be opened.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "FrameRig.h"
#include "registry/RegistryParameters.h"

namespace orvex::test {
namespace {

using hosted::Registry;
using hosted::Trace;

class RegistryValues : public FrameTest {
protected:
    void SetUp() override
    {
        FrameTest::SetUp();
        key = hosted::Io::DriverKeyPath(bus->Pdo());
        Registry::CreateKey(key);
    }
    void TearDown() override
    {
        if (buffer) ExFreePool(buffer);
        FrameTest::TearDown();
    }
    // Reads `name` through the driver's reader from the device's driver key.
    PUCHAR Read(const std::u16string& name)
    {
        HANDLE handle = nullptr;
        EXPECT_EQ(IoOpenDeviceRegistryKey(bus->Pdo(), PLUGPLAY_REGKEY_DRIVER, KEY_QUERY_VALUE, &handle),
                  STATUS_SUCCESS);
        UNICODE_STRING value;
        value.Buffer = const_cast<char16_t*>(name.c_str());
        value.Length = USHORT(name.size() * 2);
        value.MaximumLength = value.Length;
        length = 0xDEAD;
        Trace::Clear();
        buffer = static_cast<PUCHAR>(GetAllocateRegistryValue(handle, &value, &length));
        ZwClose(handle);
        return buffer;
    }
    std::vector<std::string> Lines()
    {
        std::vector<std::string> lines;
        for (const auto& r : Trace::Records()) lines.push_back(r.text);
        return lines;
    }
    std::string key;
    PUCHAR buffer = nullptr;
    ULONG length = 0;
};

std::vector<uint8_t> Utf16(const std::u16string& s, bool terminated)
{
    std::vector<uint8_t> bytes(reinterpret_cast<const uint8_t*>(s.c_str()),
                               reinterpret_cast<const uint8_t*>(s.c_str()) + 2 * (s.size() + (terminated ? 1 : 0)));
    return bytes;
}

TEST_F(RegistryValues, EachSizeClassReturnsTheDataThenATerminator)
{
    struct Case {
        const char* name;
        uint32_t type;
        std::vector<uint8_t> data;
        std::vector<std::string> lines;  // "%p" stands for the buffer's low 32 bits
        uint32_t poolBytes;
    };
    const Case cases[] = {
        {"three characters and NUL: two queries", REG_SZ, Utf16(u"abc", true),
         {"GetAllocateRegistryValue status = 0x80000005, length 20 \n", "newsize = 0x18, final 0x%p \n",
          "success length 8 \n"},
         0x18},
        {"one character and NUL: one query", REG_SZ, Utf16(u"a", true),
         {"GetAllocateRegistryValue status = 0x0, length 16 \n", "success 1 length 4 \n"}, 6},
        {"unterminated long string", REG_SZ, Utf16(u"C:\\f", false),
         {"GetAllocateRegistryValue status = 0x80000005, length 20 \n", "newsize = 0x18, final 0x%p \n",
          "success length 8 \n"},
         0x18},
        {"odd length, long", REG_BINARY, {'x', 0, 'y', 0, 'z', 0, 'w'},
         {"GetAllocateRegistryValue status = 0x80000005, length 19 \n", "newsize = 0x17, final 0x%p \n",
          "success length 7 \n"},
         0x17},
        {"odd length, short", REG_BINARY, {'q', 0, 'r'},
         {"GetAllocateRegistryValue status = 0x0, length 15 \n", "success 1 length 3 \n"}, 6},
        {"a DWORD", REG_DWORD, {1, 2, 3, 4},
         {"GetAllocateRegistryValue status = 0x0, length 16 \n", "success 1 length 4 \n"}, 6},
        {"empty", REG_SZ, {}, {"GetAllocateRegistryValue status = 0x0, length 12 \n", "success 1 length 0 \n"}, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Registry::SetValue(key, "V", c.type, c.data);
        const size_t poolBefore = hosted::Pool::LiveBytes(TagVorp);
        PUCHAR b = Read(u"V");
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(length, c.data.size());
        EXPECT_EQ(hosted::Pool::LiveBytes(TagVorp) - poolBefore, c.poolBytes);
        std::vector<std::string> want = c.lines;
        for (auto& line : want) {
            auto at = line.find("%p");
            if (at != std::string::npos) line.replace(at, 2, Hex32(b));
        }
        EXPECT_EQ(Lines(), want);
        EXPECT_EQ(std::vector<uint8_t>(b, b + c.data.size()), c.data);
        // A UTF-16 NUL on a character boundary right behind the data.
        const size_t end = (c.data.size() + 1) & ~size_t(1);
        EXPECT_EQ(b[end], 0);
        EXPECT_EQ(b[end + 1], 0);
        if (c.data.size() & 1) EXPECT_EQ(b[c.data.size()], 0);
        ExFreePool(buffer);
        buffer = nullptr;
    }
}

TEST_F(RegistryValues, MissingOrUnreadableValuesGiveNull)
{
    EXPECT_EQ(Read(u"NOPE"), nullptr);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(Lines(), std::vector<std::string>{"GetAllocateRegistryValue status = 0xc0000034, length 0 \n"});

    // No memory for a long value: the address shows 0 and the length is not written.
    Registry::SetString(key, "LONG", u"C:\\firmware\\isp.bin");
    hosted::Pool::FailTag(TagVorp, 1);
    EXPECT_EQ(Read(u"LONG"), nullptr);
    hosted::Pool::ClearFailures();
    EXPECT_EQ(length, 0xDEADu);
    EXPECT_EQ(Prints("newsize = 0x38, final 0x0 \n"), 1u);

    // The value vanishes, or grows past the new buffer, between the two
    // queries: the second query fails, the buffer goes back, the length is 0.
    for (NTSTATUS second : {STATUS_OBJECT_NAME_NOT_FOUND, STATUS_BUFFER_OVERFLOW}) {
        SCOPED_TRACE(second);
        const size_t poolBefore = hosted::Pool::LiveBytes(TagVorp);
        Registry::FailQuery(key, "LONG", second, 2);
        EXPECT_EQ(Read(u"LONG"), nullptr);
        Registry::ClearFailures();
        EXPECT_EQ(length, 0u);
        EXPECT_EQ(Prints("fail \n"), 1u);
        EXPECT_EQ(hosted::Pool::LiveBytes(TagVorp), poolBefore);
    }

    // No memory for a short value.
    Registry::SetString(key, "S", u"a");
    hosted::Pool::FailTag(TagVorp, 1);
    EXPECT_EQ(Read(u"S"), nullptr);
    hosted::Pool::ClearFailures();
    EXPECT_EQ(length, 0xDEADu);
}

TEST_F(RegistryValues, FilePathsAreReadAtAddAndPrintedInOrder)
{
    Registry::SetString(key, "FX3", u"C:\\fw\\fx3.img");
    Registry::SetString(key, "ISP", u"C:\\fw\\isp.bin");
    Registry::SetString(key, "VERSION", u"C:\\fw\\version.txt");
    Trace::Clear();
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    EXPECT_EQ(Prints("FX3FilePath             C:\\fw\\fx3.img\n"), 1u);
    EXPECT_EQ(Prints("ISPFilePath\t\t\t  C:\\fw\\isp.bin\n"), 1u);
    EXPECT_EQ(Prints("AUDFilePath\t\t\t  (null)\n"), 1u);
    EXPECT_EQ(Prints("VersionFilePath         C:\\fw\\version.txt\n"), 1u);
    EXPECT_EQ(data->SettingsBlock.AUDFilePath, nullptr);
    EXPECT_EQ(std::memcmp(data->SettingsBlock.ISPFilePath, u"C:\\fw\\isp.bin", 28), 0);
    // The device object sees the paths only from its start on.
    EXPECT_EQ(Object()->m_Settings.FX3FilePath, nullptr);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_EQ(Object()->m_Settings.FX3FilePath, data->SettingsBlock.FX3FilePath);
}

TEST_F(RegistryValues, KeysThatCannotBeOpenedAreNeitherReadNorWritten)
{
    // The driver key: the paths stay null, nothing is printed of them.
    Registry::SetString(key, "FX3", u"C:\\fw\\fx3.img");
    Registry::FailOpen(key, STATUS_ACCESS_DENIED);
    Trace::Clear();
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    Registry::ClearFailures();
    EXPECT_EQ(data->SettingsBlock.FX3FilePath, nullptr);
    EXPECT_FALSE(Trace::Contains("FX3FilePath"));
    EXPECT_FALSE(Trace::Contains("GetAllocateRegistryValue"));

    // The hardware key of a check-box mirror: nothing written, nothing printed.
    const std::string hardware = hosted::Io::DeviceKeyPath(bus->Pdo());
    SetCheckBoxPowerDevice(data, 0x80);
    EXPECT_EQ(Registry::GetDword(hardware, "CheckBoxPowerDevice"), 1u);
    Registry::FailOpen(hardware, STATUS_ACCESS_DENIED);
    Trace::Clear();
    SetCheckBoxPowerDevice(data, 0);
    Registry::ClearFailures();
    EXPECT_EQ(Registry::GetDword(hardware, "CheckBoxPowerDevice"), 1u);
    EXPECT_EQ(Text(), "");
}

}  // namespace
}  // namespace orvex::test
