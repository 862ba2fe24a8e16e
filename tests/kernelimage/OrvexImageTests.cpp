// The loader on copies of the shipped driver image (-DORVEX_SYS) spoiled the
// way a bad build or a damaged file would be (tests/shipped loads it whole).
#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>
#include <hosted/kernel_image.h>

namespace {

using hosted::KernelImage;

std::vector<uint8_t> ShippedImage()
{
    std::ifstream in(ORVEX_SYS_PATH, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

uint32_t Word(const std::vector<uint8_t>& f, size_t at)
{
    uint32_t v;
    std::memcpy(&v, &f[at], 4);
    return v;
}

// File offset of the data of the section holding `rva`.
size_t FileOffset(const std::vector<uint8_t>& f, uint32_t rva)
{
    uint32_t pe = Word(f, 0x3c);
    uint16_t n = uint16_t(Word(f, pe + 6)), opt = uint16_t(Word(f, pe + 20));
    for (uint32_t s = pe + 24 + opt, i = 0; i < n; ++i, s += 40)
        if (rva >= Word(f, s + 12) && rva < Word(f, s + 12) + Word(f, s + 16)) return rva - Word(f, s + 12) + Word(f, s + 20);
    return 0;
}

class OrvexImage : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (std::string(ORVEX_SYS_PATH).empty()) GTEST_SKIP() << "configure with -DORVEX_SYS=.../ORVEX.sys";
        file = ShippedImage();
        ASSERT_GT(file.size(), 0x400u);
    }
    std::vector<uint8_t> file;
};

TEST_F(OrvexImage, RefusesAWrongImportAndACorruptedRelocation)
{
    // The import's name entry, in the section of the import directory.
    uint32_t pe = Word(file, 0x3c);
    size_t imports = FileOffset(file, Word(file, pe + 24 + 112 + 8 * 1));
    ASSERT_NE(imports, 0u);
    const std::string name("KsCreateDevice", sizeof "KsCreateDevice");
    auto at = std::search(file.begin() + imports, file.end(), name.begin(), name.end());
    ASSERT_NE(at, file.end());
    auto wrongImport = file;
    wrongImport[at - file.begin() + name.size() - 2] = 'X';
    std::string error;
    EXPECT_FALSE(KernelImage::LoadBytes(wrongImport, "ORVEX.sys", &error));
    EXPECT_EQ(error, "ORVEX.sys: imports what the hosted platform does not provide: ks.sys!KsCreateDevicX");

    // The first relocation entry of the first block gets another type.
    uint32_t relRva = Word(file, pe + 24 + 112 + 8 * 5);
    size_t rel = FileOffset(file, relRva);
    ASSERT_NE(rel, 0u);
    auto badReloc = file;
    badReloc[rel + 9] = uint8_t((badReloc[rel + 9] & 0x0f) | 0x30);
    EXPECT_FALSE(KernelImage::LoadBytes(badReloc, "ORVEX.sys", &error));
    EXPECT_NE(error.find("ORVEX.sys: corrupted base relocation: type 3 at 0x"), std::string::npos) << error;
}

TEST_F(OrvexImage, ItsIrqlChecksAreRewrittenNotTrapped)
{
    // The check each synchronous request makes (a %cr8 read, then a test)
    // traps only the first time: a trap per request would double the image's
    // run time.
    std::string error;
    auto img = KernelImage::LoadBytes(file, "ORVEX.sys", &error);
    ASSERT_TRUE(img) << error;
    EXPECT_GE(img->RewrittenIrqlReads(), 1u);
}

}  // namespace
