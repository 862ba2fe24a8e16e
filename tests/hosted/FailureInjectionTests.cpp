// Every failure-injection call of the platform follows one rule: nth 0 fails
// every matching attempt, N only the Nth counted from the call; each call
// adds a rule and only the domain's clear call removes them.
#include <functional>

#include <hosted/gtest.h>
#include <wdmguid.h>

using namespace hosted;

namespace {

struct Domain {
    const char* name;
    std::function<void(uint64_t nth)> fail;
    std::function<bool()> attempt;  // true: the operation succeeded
    std::function<void()> clear;
};

// One character per attempt: '+' succeeded, '-' failed.
std::string Attempts(const Domain& d, int n)
{
    std::string got;
    for (int i = 0; i < n; ++i) got += d.attempt() ? '+' : '-';
    return got;
}

NTSTATUS OpenKey(const std::u16string& path, HANDLE* h)
{
    UNICODE_STRING us;
    RtlInitUnicodeString(&us, reinterpret_cast<PCWSTR>(path.c_str()));
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &us, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    return ZwOpenKey(h, KEY_READ, &oa);
}

}  // namespace

TEST(FailureInjection, OneConventionInEveryDomain)
{
    TestPlatform platform;
    constexpr ULONG kTag = Tag("Fail");
    const std::string key = ServiceKeyPath("FAILTEST");
    const std::u16string wideKey(key.begin(), key.end());
    Registry::SetDword(key, "Start", 3);
    PDRIVER_OBJECT driver = Io::CreateDriver("\\Driver\\failtest");
    PDEVICE_OBJECT pdo = Io::CreatePdo(driver);
    Io::SetDevicePropertyGuid(pdo, DevicePropertyBusTypeGuid, GUID_BUS_TYPE_USB);

    const Domain domains[] = {
        {"pool, any tag", [](uint64_t n) { Pool::FailAllocation(n); },
         [] {
             void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 16, Tag("Othr"));
             if (p) ExFreePoolWithTag(p, Tag("Othr"));
             return p != nullptr;
         },
         [] { Pool::ClearFailures(); }},
        {"pool, one tag", [&](uint64_t n) { Pool::FailTag(kTag, n); },
         [&] {
             // An allocation with another tag between must not count.
             void* other = ExAllocatePoolWithTag(NonPagedPoolNx, 16, Tag("Othr"));
             EXPECT_NE(other, nullptr);
             if (other) ExFreePoolWithTag(other, Tag("Othr"));
             void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTag);
             if (p) ExFreePoolWithTag(p, kTag);
             return p != nullptr;
         },
         [] { Pool::ClearFailures(); }},
        {"IRP allocation", [](uint64_t n) { Io::FailIrpAllocation(n); },
         [] {
             PIRP irp = IoAllocateIrp(2, FALSE);
             if (irp) IoFreeIrp(irp);
             return irp != nullptr;
         },
         [] { Io::ClearFailures(); }},
        {"IoCreateDevice", [](uint64_t n) { Io::FailCreateDevice(n, STATUS_INSUFFICIENT_RESOURCES); },
         [&] {
             PDEVICE_OBJECT d = nullptr;
             NTSTATUS st = IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &d);
             if (NT_SUCCESS(st)) IoDeleteDevice(d);
             return NT_SUCCESS(st);
         },
         [] { Io::ClearFailures(); }},
        {"device property",
         [&](uint64_t n) { Io::FailDeviceProperty(pdo, DevicePropertyBusTypeGuid, STATUS_INSUFFICIENT_RESOURCES, n); },
         [&] {
             GUID g{};
             ULONG len = 0;
             return NT_SUCCESS(IoGetDeviceProperty(pdo, DevicePropertyBusTypeGuid, sizeof g, &g, &len));
         },
         [] { Io::ClearFailures(); }},
        {"registry open", [&](uint64_t n) { Registry::FailOpen(key, STATUS_ACCESS_DENIED, n); },
         [&] {
             HANDLE h = nullptr;
             NTSTATUS st = OpenKey(wideKey, &h);
             if (NT_SUCCESS(st)) ZwClose(h);
             return NT_SUCCESS(st);
         },
         [] { Registry::ClearFailures(); }},
    };

    for (const Domain& d : domains) {
        SCOPED_TRACE(d.name);
        EXPECT_EQ(Attempts(d, 2), "++");
        d.fail(2);  // counted from here, not from boot
        EXPECT_EQ(Attempts(d, 4), "+-++");
        d.fail(0);
        EXPECT_EQ(Attempts(d, 3), "---");
        d.clear();
        EXPECT_EQ(Attempts(d, 1), "+");
        // Two rules, each counting from its own call.
        d.fail(3);
        EXPECT_EQ(Attempts(d, 1), "+");
        d.fail(1);
        EXPECT_EQ(Attempts(d, 4), "--++");
        d.clear();
    }

    IoDeleteDevice(pdo);
    Io::DeleteDriver(driver);
}
