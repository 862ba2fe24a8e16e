// The INF reader: how lines, fields, quotes, comments, continuations and
// substitutions read, and which syntax errors it refuses with their line.
#include <gtest/gtest.h>

#include <hosted/inf.h>

using hosted::Inf;

namespace {

Inf ParseOk(const std::string& text)
{
    std::string error;
    auto inf = Inf::Parse(text, "t.inf", &error);
    EXPECT_TRUE(inf) << error;
    return inf ? *inf : *Inf::Parse("", "t.inf", &error);
}

TEST(InfParse, FieldsQuotesCommentsAndContinuations)
{
    Inf inf = ParseOk(
        "; leading comment\r\n"
        "[Sec]\r\n"
        "  Key = a , \"b, c; d\" ,, \"say \"\"hi\"\"\" ; comment, not a field\r\n"
        "HKR,,FX3,,\"C:\\fw\\\"\r\n"       // a quoted backslash at the end is data
        "Long = one, \\\r\n"
        "       two \\  ; comment after the mark\r\n"
        "       , three\r\n"
        "[sec]\r\n"                          // same name, other case: merged
        "Later = x\r\n");
    const hosted::InfSection* s = inf.Section("SEC");
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(s->lines.size(), 4u);
    EXPECT_EQ(s->lines[0].key, "Key");
    EXPECT_EQ(s->lines[0].fields, (std::vector<std::string>{"a", "b, c; d", "", "say \"hi\""}));
    EXPECT_EQ(s->lines[1].key, "");
    EXPECT_EQ(s->lines[1].fields, (std::vector<std::string>{"HKR", "", "FX3", "", "C:\\fw\\"}));
    EXPECT_EQ(s->lines[2].number, 5);
    EXPECT_EQ(s->lines[2].fields, (std::vector<std::string>{"one", "two", "three"}));
    EXPECT_EQ(s->lines[3].key, "Later");
}

TEST(InfParse, SubstitutesStringsDirectoryIdsAndPercent)
{
    Inf inf = ParseOk("[Strings]\nName = \"Cam Era\"\nEMPTY=\"\"\n");
    std::map<int, std::string> dirids{{13, "C:\\Store\\pkg"}};
    std::string out, error;
    ASSERT_TRUE(inf.Expand("%name% at %13%\\fw.bin is 100%% %empty%", 3, dirids, &out, &error)) << error;
    EXPECT_EQ(out, "Cam Era at C:\\Store\\pkg\\fw.bin is 100% ");

    struct Bad {
        const char* field;
        const char* message;
    } bad[] = {
        {"%Unknown%", "t.inf(7): %Unknown% is not in [Strings]"},
        {"%12%\\x.sys", "t.inf(7): unknown directory ID %12%"},
        {"50% off", "t.inf(7): unmatched '%'"},
    };
    for (auto& b : bad) {
        error.clear();
        EXPECT_FALSE(inf.Expand(b.field, 7, dirids, &out, &error)) << b.field;
        EXPECT_EQ(error.rfind(b.message, 0), 0u) << error;
    }
}

TEST(InfParse, SyntaxErrorsNameTheirLine)
{
    struct Case {
        const char* text;
        const char* error;
    } cases[] = {
        {"Key = value\n", "t.inf(1): line outside any section"},
        {"[A]\n\n[B\nx = 1\n", "t.inf(3): section header without ']'"},
        {"[A] junk\n", "t.inf(1): text after the section header"},
        {"[ ]\n", "t.inf(1): empty section name"},
        {"[A]\nx = \"open, 1\ny = 2\n", "t.inf(2): unterminated quoted string"},
        {"[A]\n= 5\n", "t.inf(2): '=' without a key"},
        {"[A]\nx = 1, \\\n", "t.inf(2): line continuation at the end of the file"},
        {"[Strings]\nA = 1\na = 2\n", "t.inf(3): string key 'a' defined twice"},
        {"[Strings]\nA = 1, 2\n", "t.inf(2): a [Strings] line must be key = value"},
    };
    for (auto& c : cases) {
        std::string error;
        EXPECT_FALSE(Inf::Parse(c.text, "t.inf", &error)) << c.text;
        EXPECT_EQ(error.rfind(c.error, 0), 0u) << "got: " << error;
    }
}

TEST(InfParse, ReadsUtf16WithByteOrderMark)
{
    std::u16string wide = u"[V]\r\nName = \"\u00e9t\u00e9\"\r\n";
    std::string raw = "\xFF\xFE";
    for (char16_t c : wide) {
        raw += char(c & 0xFF);
        raw += char(c >> 8);
    }
    std::string error;
    auto inf = Inf::Parse(raw, "w.inf", &error);
    ASSERT_TRUE(inf) << error;
    EXPECT_EQ(inf->Section("V")->lines[0].fields[0], "\xC3\xA9t\xC3\xA9");
    EXPECT_FALSE(Inf::Load("/nonexistent/x.inf", &error));
    EXPECT_EQ(error, "/nonexistent/x.inf: cannot be read");
}

}  // namespace
