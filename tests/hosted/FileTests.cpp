// Files under mapped drive letters.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <hosted/gtest.h>

using namespace hosted;
namespace fs = std::filesystem;

namespace {

class FileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/hosted-files-XXXXXX";
        root_ = mkdtemp(tmpl);
        fs::create_directories(root_ / "drive" / "Firmware");
        std::ofstream(root_ / "drive" / "Firmware" / "Isp.bin", std::ios::binary) << "0123456789ABCDEF";
        std::ofstream(root_ / "outside.bin") << "secret";
        fs::create_symlink(root_ / "outside.bin", root_ / "drive" / "link.bin");
        Files::MapDrive('C', (root_ / "drive").string());
    }
    void TearDown() override { fs::remove_all(root_); }

    NTSTATUS Open(const std::u16string& name, HANDLE* h, ULONG options = FILE_SYNCHRONOUS_IO_NONALERT,
                  ACCESS_MASK access = FILE_READ_DATA)
    {
        UNICODE_STRING us;
        RtlInitUnicodeString(&us, name.c_str());
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, &us, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
        IO_STATUS_BLOCK iosb;
        return ZwCreateFile(h, access, &oa, &iosb, nullptr, FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ, FILE_OPEN,
                            options, nullptr, 0);
    }

    TestPlatform platform_;
    fs::path root_;
};

}  // namespace

TEST_F(FileTest, OpenQueryAndReadFromTheCurrentPosition)
{
    HANDLE h = nullptr;
    ASSERT_EQ(Open(u"\\??\\C:\\firmware\\ISP.BIN", &h), STATUS_SUCCESS);  // case-insensitive
    FILE_STANDARD_INFORMATION info;
    static_assert(sizeof info == 24);
    IO_STATUS_BLOCK iosb;
    ASSERT_EQ(ZwQueryInformationFile(h, &iosb, &info, sizeof info, FileStandardInformation), STATUS_SUCCESS);
    EXPECT_EQ(info.EndOfFile.QuadPart, 16);
    EXPECT_FALSE(info.Directory);
    char buf[32] = {};
    ASSERT_EQ(ZwReadFile(h, nullptr, nullptr, nullptr, &iosb, buf, 10, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 10u);
    EXPECT_EQ(ZwReadFile(h, nullptr, nullptr, nullptr, &iosb, buf, 10, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 6u);
    EXPECT_EQ(std::string(buf, 6), "ABCDEF");
    EXPECT_EQ(ZwReadFile(h, nullptr, nullptr, nullptr, &iosb, buf, 10, nullptr, nullptr), STATUS_END_OF_FILE);
    LARGE_INTEGER at;
    at.QuadPart = 2;
    EXPECT_EQ(ZwReadFile(h, nullptr, nullptr, nullptr, &iosb, buf, 3, &at, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(std::string(buf, 3), "234");
    EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
    EXPECT_EQ(Files::OpenCount("\\??\\c:\\Firmware\\Isp.bin"), 1u);
}

// Bad names, write access and every way out of the mapped folder fail with
// the status Windows gives, and leave no handle behind.
TEST_F(FileTest, WindowsStatusesForBadNamesAndNoEscape)
{
    const struct {
        const char16_t* name;
        ACCESS_MASK access;
        NTSTATUS expected;
    } cases[] = {
        {u"\\??\\C:\\Firmware\\none.bin", FILE_READ_DATA, STATUS_OBJECT_NAME_NOT_FOUND},
        {u"\\??\\C:\\NoDir\\isp.bin", FILE_READ_DATA, STATUS_OBJECT_PATH_NOT_FOUND},
        {u"\\??\\Q:\\isp.bin", FILE_READ_DATA, STATUS_OBJECT_PATH_NOT_FOUND},
        {u"C:\\Firmware\\Isp.bin", FILE_READ_DATA, STATUS_OBJECT_PATH_SYNTAX_BAD},
        {u"\\??\\C:\\Firm*are\\Isp.bin", FILE_READ_DATA, STATUS_OBJECT_NAME_INVALID},
        {u"", FILE_READ_DATA, STATUS_OBJECT_NAME_INVALID},
        {u"\\??\\C:\\Firmware\\Isp.bin", FILE_WRITE_DATA, STATUS_ACCESS_DENIED},
        {u"\\??\\C:\\Firmware\\..\\..\\outside.bin", FILE_READ_DATA, STATUS_OBJECT_NAME_INVALID},
        {u"\\??\\C:\\link.bin", FILE_READ_DATA, STATUS_ACCESS_DENIED},  // a link out of the folder
    };
    for (const auto& c : cases) {
        HANDLE h = nullptr;
        EXPECT_EQ(Open(c.name, &h, FILE_SYNCHRONOUS_IO_NONALERT, c.access), c.expected)
            << std::string(c.name, c.name + std::char_traits<char16_t>::length(c.name));
    }
    EXPECT_EQ(Files::OpenHandles(), 0u);
}

TEST_F(FileTest, InjectedFailuresAndShortReads)
{
    const std::string name = "\\??\\C:\\Firmware\\Isp.bin";
    HANDLE h = nullptr;
    Files::FailOpen(name, STATUS_ACCESS_DENIED, 1);
    EXPECT_EQ(Open(u"\\??\\C:\\Firmware\\Isp.bin", &h), STATUS_ACCESS_DENIED);
    ASSERT_EQ(Open(u"\\??\\C:\\Firmware\\Isp.bin", &h), STATUS_SUCCESS);
    Files::ShortReads(name, 4);
    char buf[16];
    IO_STATUS_BLOCK iosb;
    EXPECT_EQ(ZwReadFile(h, nullptr, nullptr, nullptr, &iosb, buf, 16, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 4u);
    Files::FailRead(name, STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(ZwReadFile(h, nullptr, nullptr, nullptr, &iosb, buf, 16, nullptr, nullptr), STATUS_DEVICE_DATA_ERROR);
    // The size query fails at its second attempt only.
    FILE_STANDARD_INFORMATION info;
    Files::FailQuery(name, STATUS_ACCESS_DENIED, 2);
    EXPECT_EQ(ZwQueryInformationFile(h, &iosb, &info, sizeof info, FileStandardInformation), STATUS_SUCCESS);
    EXPECT_EQ(ZwQueryInformationFile(h, &iosb, &info, sizeof info, FileStandardInformation), STATUS_ACCESS_DENIED);
    EXPECT_EQ(iosb.Status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(ZwQueryInformationFile(h, &iosb, &info, sizeof info, FileStandardInformation), STATUS_SUCCESS);
    ZwClose(h);
    // Every attempt counts, the injected failures among them (name in any case).
    EXPECT_EQ(Files::Attempts(Files::FileOp::Open, "\\??\\c:\\FIRMWARE\\isp.bin"), 2u);
    EXPECT_EQ(Files::Attempts(Files::FileOp::Read, name), 2u);
    EXPECT_EQ(Files::Attempts(Files::FileOp::Query, name), 3u);
    EXPECT_EQ(Files::Attempts(Files::FileOp::Query, "\\??\\C:\\other.bin"), 0u);
    // A handle opened without synchronous I/O needs an explicit offset.
    Files::ClearFailures();
    ASSERT_EQ(Open(u"\\??\\C:\\Firmware\\Isp.bin", &h, 0), STATUS_SUCCESS);
    EXPECT_EQ(ZwReadFile(h, nullptr, nullptr, nullptr, &iosb, buf, 16, nullptr, nullptr), STATUS_INVALID_PARAMETER);
    ZwClose(h);
}
