// DbgPrint conversions, the trace sink, RtlAssert.
#include <hosted/gtest.h>

using namespace hosted;

extern "C" const WCHAR* HelperWideLiteral(void);

TEST(DbgPrint, KernelConversions)
{
    TestPlatform platform;
    const char16_t wide[] = u"wide";
    UNICODE_STRING us;
    RtlInitUnicodeString(&us, wide);
    EXPECT_EQ(DbgPrint("%x %X %d %i %u|", 0xBEEFu, 0xBEEFu, -5, 42, 4000000000u), 0u);
    DbgPrint("%ld %lx %lu|", -7, 0xFFFFFFFFu, 0x80000000u);
    DbgPrint("%02x %08x %8d %-4d| %04X|", 5, 0xABCu, -12, 3, 0x1Fu);
    DbgPrint("%s %S %ws %wZ %c|", "narrow", wide, wide, &us, 'Z');
    DbgPrint("%p|", reinterpret_cast<void*>(0x12345678ABCull));
    DbgPrint("%s %S %wZ|", static_cast<char*>(nullptr), static_cast<char16_t*>(nullptr),
             static_cast<UNICODE_STRING*>(nullptr));
    DbgPrint("%I64x %llu %%|", 0x1122334455667788ull, 18446744073709551615ull);
    DbgPrint("0x%x|", reinterpret_cast<void*>(0xFFFF800012345678ull));  // a pointer to %x: the low 32 bits
    DbgPrint("%S", HelperWideLiteral());
    EXPECT_EQ(Trace::Text(),
              "beef BEEF -5 42 4000000000|"
              "-7 ffffffff 2147483648|"
              "05 00000abc      -12 3   | 001F|"
              "narrow wide wide wide Z|"
              "0000012345678ABC|"
              "(null) (null) (null)|"
              "1122334455667788 18446744073709551615 %|"
              "0x12345678|"
              "Wide \xC3\xA9t\xC3\xA9");
}

// DbgPrint and DbgPrintEx take the Windows variable-argument list: the first
// four arguments travel in registers, the rest on the stack. Values of each
// width on both sides of that boundary must arrive intact.
TEST(DbgPrint, ArgumentsInRegistersAndOnTheStack)
{
    TestPlatform platform;
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_ERROR_LEVEL, "%I64x|", 0x8877665544332211ull);
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_ERROR_LEVEL, "%s %d %I64u %x %c %p|", "a", -1, 10000000000ull, 0xCAFEu,
               'q', reinterpret_cast<void*>(0xF00Dull));
    DbgPrint("%d %d %d %d %d %d %d %d %I64x|", 1, 2, 3, 4, 5, 6, 7, 8, 0xFFFFFFFF00000001ull);
    DbgPrint("%hd %hhu %lu|", short(-2), 300, 0xFFFFFFFFul);
    EXPECT_EQ(Trace::Text(),
              "8877665544332211|"
              "a -1 10000000000 cafe q 000000000000F00D|"
              "1 2 3 4 5 6 7 8 ffffffff00000001|"
              "-2 44 4294967295|");
}

TEST(TraceSink, RecordsKeepTimeAndThreadAndEcho)
{
    TestPlatform platform;
    std::FILE* echo = std::tmpfile();
    Trace::EchoTo(echo);
    DbgPrint("first ");
    Thread t = StartThread("printer", [] {
        Sleep(Seconds(3));
        DbgPrint("second\n");
    });
    t.Join();
    DbgPrint("second\n");
    Trace::EchoTo(nullptr);
    auto records = Trace::Records();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].thread, "test");
    EXPECT_EQ(records[0].time, 0);
    EXPECT_EQ(records[1].thread, "printer");
    EXPECT_EQ(records[1].time, Seconds(3));
    EXPECT_EQ(records[1].text, "second\n");
    EXPECT_EQ(Trace::CountLine("second"), 1u);  // "first second" is not the line "second"
    EXPECT_TRUE(Trace::Contains("first second\n"));
    std::rewind(echo);
    char buf[64] = {};
    size_t n = std::fread(buf, 1, sizeof buf - 1, echo);
    std::fclose(echo);
    EXPECT_EQ(std::string(buf, n), "first second\nsecond\n");
    Trace::Clear();
    EXPECT_EQ(Trace::Text(), "");
}

TEST(Assertions, FailedAssertIsReportedAndExecutionContinues)
{
    TestPlatform platform;
    int reached = 0;
    ASSERT(1 + 1 == 2);
    EXPECT_EQ(Trace::Text(), "");
    ASSERT(KeGetCurrentIrql() == DISPATCH_LEVEL);
    reached = 1;
    RtlAssert((PVOID) "x != 0", (PVOID) "device/usbdevice", 42, nullptr);
    EXPECT_EQ(reached, 1);
    std::string text = Trace::Text();
    EXPECT_NE(text.find("Assertion failed: KeGetCurrentIrql() == DISPATCH_LEVEL"), std::string::npos) << text;
    EXPECT_NE(text.find("*** Assertion failed: x != 0\n***   Source File: device/usbdevice, line 42\n"),
              std::string::npos)
        << text;
}
