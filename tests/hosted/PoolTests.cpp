// Pool accounting, leak and misuse detection, failure injection.
#include <hosted/gtest.h>

using namespace hosted;

TEST(Pool, AccountsLiveAndPeakBytesByTag)
{
    TestPlatform platform;
    constexpr ULONG vorp = Tag("Vorp"), harn = Tag("Harn");
    static_assert(vorp == 0x70726F56);
    void* a = ExAllocatePoolWithTag(NonPagedPoolNx, 100, vorp);
    void* b = ExAllocatePoolWithTag(NonPagedPoolNx, 50, vorp);
    void* c = ExAllocatePoolWithTag(PagedPool, 4096, harn);
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(Pool::LiveBytes(vorp), 150u);
    EXPECT_EQ(Pool::LiveCount(vorp), 2u);
    EXPECT_EQ(Pool::LiveBytes(), 4246u);
    ExFreePoolWithTag(a, vorp);
    ExFreePool(c);
    EXPECT_EQ(Pool::LiveBytes(vorp), 50u);
    EXPECT_EQ(Pool::PeakBytes(vorp), 150u);
    EXPECT_EQ(Pool::PeakBytes(harn), 4096u);
    EXPECT_EQ(Pool::PeakBytes(), 4246u);
    auto live = Pool::Live();
    ASSERT_EQ(live.size(), 1u);
    EXPECT_EQ(live[0].address, b);
    EXPECT_EQ(live[0].poolType, NonPagedPoolNx);
    EXPECT_EQ(live[0].serial, 2u);
    ExFreePool(b);
    EXPECT_EQ(Pool::LiveBytes(), 0u);
}

TEST(Pool, MisuseIsAViolation)
{
    TestPlatform platform;
    void* a = ExAllocatePoolWithTag(NonPagedPoolNx, 8, Tag("Vorp"));
    ExFreePoolWithTag(a, Tag("Harn"));  // wrong tag (still freed)
    ExFreePool(a);                      // double free
    int local = 0;
    ExFreePool(&local);                 // never allocated
    auto v = Verifier::Take();
    ASSERT_EQ(v.size(), 3u);
    EXPECT_NE(v[0].find("tag 'Harn'"), std::string::npos) << v[0];
    EXPECT_NE(v[1].find("double free"), std::string::npos) << v[1];
    EXPECT_NE(v[2].find("not a pool allocation"), std::string::npos) << v[2];
}

// The nth-attempt rules of FailAllocation and FailTag are proven with every
// other domain in FailureInjectionTests.cpp; FailAll and the count are pool's own.
TEST(Pool, FailAllAndTheInjectedCount)
{
    TestPlatform platform;
    Pool::FailTag(Tag("Harn"), 1);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 8, Tag("Harn")), nullptr);
    Pool::FailAll();
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 8, Tag("Vorp")), nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 8, Tag("Vorp")), nullptr);
    Pool::ClearFailures();
    void* a = ExAllocatePoolWithTag(NonPagedPoolNx, 8, Tag("Vorp"));
    EXPECT_NE(a, nullptr);
    ExFreePool(a);
    EXPECT_EQ(Pool::InjectedFailures(), 3u);
}
