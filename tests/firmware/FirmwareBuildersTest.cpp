// The FX3 builder must lay out valid images of any size (the update tests
// rely on that), and the reader must decode third-party images too. The
// other builders are exercised through the update tests, where the driver
// and the camera read what they produce.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "Firmware.h"

using namespace orvex::firmware;

namespace {

Bytes ReadFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

TEST(Fx3ImageBuilder, ValidImagesOfEverySizeCarrySerialAndVersion) {
    for (size_t size : {28u, 29u, 31u, 1000u, 2500u, 4099u, 196608u, 262164u, 262165u, 600003u}) {
        SCOPED_TRACE(size);
        Fx3Options o;
        o.size = size;
        o.version = {4, 5, 6};
        o.serialOffset = 0;
        const Bytes image = MakeFx3Image(o);
        ASSERT_EQ(image.size(), size);
        const Fx3Layout l = ParseFx3Image(image);
        EXPECT_TRUE(l.valid) << l.error;
        EXPECT_EQ(l.endMarkerOffset + 12 + size % 4, size);
        for (const auto& s : l.sections) EXPECT_LE(s.words, kFx3MaxSectionWords);
        if (size >= 16 + 8 + 28 + 10) {
            ASSERT_TRUE(FindSerial(image));
            EXPECT_EQ(FindSerial(image)->serial, "0000000001");
            ASSERT_TRUE(FindFx3Version(image));
            EXPECT_EQ(Fx3VersionNumber(*FindFx3Version(image)), 40506u);
        }
    }
}

TEST(Fx3ImageBuilder, PublicImagesParse) {
    const std::filesystem::path dir = ORVEX_FX3_IMAGES_DIR;
    if (!std::filesystem::exists(dir)) GTEST_SKIP() << "no public FX3 images beside the project at " << dir;
    struct Expect {
        const char* name;
        size_t size;
        std::vector<uint32_t> sections;
        uint32_t checksum;
    };
    for (const Expect& e : {Expect{"boot_fw.img", 21684, {5271, 142}, 0x5CF3AE53},
                            Expect{"FX3_Firmware.img", 156320, {2272, 16384, 14182, 6230}, 0x8D670C58},
                            Expect{"USBFlashProg.img", 133288, {2378, 16384, 11657, 2891}, 0x8D5B122F}}) {
        SCOPED_TRACE(e.name);
        const Bytes image = ReadFile(dir / e.name);
        ASSERT_EQ(image.size(), e.size);
        const Fx3Layout l = ParseFx3Image(image);
        EXPECT_TRUE(l.valid) << l.error;
        EXPECT_EQ(l.storedChecksum, e.checksum);
        ASSERT_EQ(l.sections.size(), e.sections.size());
        for (size_t i = 0; i < e.sections.size(); ++i) EXPECT_EQ(l.sections[i].words, e.sections[i]);
        EXPECT_FALSE(FindSerial(image));
    }
}
