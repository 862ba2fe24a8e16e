// Registry keys and values as the driver reads and writes them.
#include <cstring>

#include <hosted/gtest.h>

using namespace hosted;

namespace {
const std::string kParams = ServiceKeyPath("ORVEX") + "\\Parameters";

struct Name {
    std::u16string text;
    UNICODE_STRING us{};
    explicit Name(const std::string& s) : text(s.begin(), s.end())
    {
        RtlInitUnicodeString(&us, text.c_str());
    }
};

NTSTATUS Open(const std::string& path, ACCESS_MASK access, HANDLE* h)
{
    Name n(path);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &n.us, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    return ZwOpenKey(h, access, &oa);
}
}  // namespace

TEST(Registry, OpenIsCaseInsensitiveReportsMissingKeysAndInjectsFailures)
{
    TestPlatform platform;
    Registry::SetDword(kParams, "Logs", 0x21);
    HANDLE h = nullptr;
    ASSERT_EQ(Open("\\REGISTRY\\machine\\system\\currentcontrolset\\services\\orvex\\PARAMETERS", KEY_QUERY_VALUE, &h),
              STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
    EXPECT_EQ(Open(ServiceKeyPath("ORVEX") + "\\Missing", KEY_READ, &h), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Open("Relative\\Path", KEY_READ, &h), STATUS_OBJECT_PATH_SYNTAX_BAD);
    EXPECT_EQ(Registry::OpenHandles(), 0u);

    // Injected failures: an open fails once, a query until cleared.
    Registry::FailOpen(kParams, STATUS_ACCESS_DENIED, 1);
    EXPECT_EQ(Open(kParams, KEY_READ, &h), STATUS_ACCESS_DENIED);
    ASSERT_EQ(Open(kParams, KEY_READ, &h), STATUS_SUCCESS);
    Registry::FailQuery(kParams, "Logs", STATUS_INSUFFICIENT_RESOURCES);
    UCHAR buf[16];
    ULONG len;
    Name logs("Logs");
    EXPECT_EQ(ZwQueryValueKey(h, &logs.us, KeyValuePartialInformation, buf, sizeof buf, &len),
              STATUS_INSUFFICIENT_RESOURCES);
    ZwClose(h);
    // Attempts are counted per key and per value, failed ones included.
    EXPECT_EQ(Registry::OpenAttempts(kParams), 3u);
    EXPECT_EQ(Registry::QueryAttempts(kParams, "LOGS"), 1u);
    EXPECT_EQ(Registry::QueryAttempts(kParams, "Other"), 0u);
}

TEST(Registry, PartialInformationFollowsTheKernelContract)
{
    TestPlatform platform;
    Registry::SetDword(kParams, "Logs", 0x21);
    Registry::SetString(kParams, "Path", "\\??\\C:\\fw.bin");  // 13 chars + NUL = 28 bytes
    HANDLE h = nullptr;
    ASSERT_EQ(Open(kParams, KEY_QUERY_VALUE, &h), STATUS_SUCCESS);
    alignas(8) UCHAR buf[64];
    auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buf);
    ULONG len = 0;
    Name logs("LOGS"), path("Path"), missing("Nope");

    std::memset(buf, 0xCC, sizeof buf);
    ASSERT_EQ(ZwQueryValueKey(h, &logs.us, KeyValuePartialInformation, buf, 16, &len), STATUS_SUCCESS);
    EXPECT_EQ(len, 16u);
    EXPECT_EQ(info->Type, ULONG(REG_DWORD));
    EXPECT_EQ(info->DataLength, 4u);
    EXPECT_EQ(*reinterpret_cast<ULONG*>(info->Data), 0x21u);

    // Only the data does not fit: header and as much data as fits, overflow.
    std::memset(buf, 0xCC, sizeof buf);
    EXPECT_EQ(ZwQueryValueKey(h, &path.us, KeyValuePartialInformation, buf, 16, &len), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(len, 12u + 28u);
    EXPECT_EQ(info->Type, ULONG(REG_SZ));
    EXPECT_EQ(info->DataLength, 28u);
    EXPECT_EQ(std::memcmp(info->Data, u"\\?", 4), 0);
    EXPECT_EQ(buf[16], 0xCC);  // nothing beyond the buffer length

    // Not even the header fits.
    std::memset(buf, 0xCC, sizeof buf);
    EXPECT_EQ(ZwQueryValueKey(h, &logs.us, KeyValuePartialInformation, buf, 11, &len), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(len, 16u);
    EXPECT_EQ(buf[0], 0xCC);

    EXPECT_EQ(ZwQueryValueKey(h, &missing.us, KeyValuePartialInformation, buf, 64, &len),
              STATUS_OBJECT_NAME_NOT_FOUND);
    ZwClose(h);
}

TEST(Registry, SetValueNeedsAccessAndLandsInTheTree)
{
    TestPlatform platform;
    Registry::CreateKey(kParams);
    HANDLE ro = nullptr, rw = nullptr;
    ASSERT_EQ(Open(kParams, KEY_QUERY_VALUE, &ro), STATUS_SUCCESS);
    ASSERT_EQ(Open(kParams, KEY_ALL_ACCESS, &rw), STATUS_SUCCESS);
    Name n("CheckBoxPowerDevice");
    ULONG one = 1;
    EXPECT_EQ(ZwSetValueKey(ro, &n.us, 0, REG_DWORD, &one, 4), STATUS_ACCESS_DENIED);
    EXPECT_EQ(ZwSetValueKey(rw, &n.us, 0, REG_DWORD, &one, 4), STATUS_SUCCESS);
    EXPECT_EQ(Registry::GetDword(kParams, "checkboxpowerdevice"), 1u);
    ZwClose(ro);
    ZwClose(rw);
}

TEST(Registry, DeviceKeysOfAPhysicalDevice)
{
    TestPlatform platform;
    PDRIVER_OBJECT bus = Io::CreateDriver("\\Driver\\usbhub");
    PDEVICE_OBJECT pdo = Io::CreatePdo(bus, 0, "USB\\VID_1234&PID_5678\\7");
    EXPECT_EQ(Io::DeviceKeyPath(pdo),
              "\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\USB\\VID_1234&PID_5678\\7\\Device Parameters");
    Registry::SetString(Io::DriverKeyPath(pdo), "FX3", "\\??\\C:\\fx3.img");
    HANDLE drv = nullptr, hw = nullptr;
    ASSERT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &drv), STATUS_SUCCESS);
    ASSERT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &hw), STATUS_SUCCESS);
    Name fx3("FX3"), wake("CheckBoxRemoteWakeUp");
    UCHAR buf[64];
    ULONG len;
    EXPECT_EQ(ZwQueryValueKey(drv, &fx3.us, KeyValuePartialInformation, buf, sizeof buf, &len), STATUS_SUCCESS);
    ULONG zero = 0;
    EXPECT_EQ(ZwSetValueKey(hw, &wake.us, 0, REG_DWORD, &zero, 4), STATUS_SUCCESS);
    EXPECT_EQ(Registry::GetDword(Io::DeviceKeyPath(pdo), "CheckBoxRemoteWakeUp"), 0u);
    ZwClose(drv);
    ZwClose(hw);
    // Only physical device objects have such keys.
    PDEVICE_OBJECT other = nullptr;
    IoCreateDevice(bus, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &other);
    EXPECT_EQ(IoOpenDeviceRegistryKey(other, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &drv), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(Verifier::Take().size(), 1u);
    IoDeleteDevice(other);
    IoDeleteDevice(pdo);
    Io::DeleteDriver(bus);
}
