// The live view names the phase from the camera's traffic and counts pages.
#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "Progress.h"

using namespace orvex::cli;

namespace {

// What was written to a temporary file; closes it.
std::string Drain(std::FILE* f) {
    std::fflush(f);
    const long size = std::ftell(f);
    std::rewind(f);
    std::string text(static_cast<size_t>(size), '\0');
    EXPECT_EQ(std::fread(text.data(), 1, text.size(), f), text.size());
    std::fclose(f);
    return text;
}

}  // namespace

TEST(Progress, PhaseAndPagesFollowTheTraffic) {
    PhaseTracker t;
    EXPECT_EQ(t.Phase(), "starting");
    t.Observe(0x80, 0x06, 0x0100, 18, nullptr);
    EXPECT_EQ(t.Phase(), "reading descriptors");
    t.Observe(0xC0, 0xB0, 0, 12, nullptr);
    EXPECT_EQ(t.Phase(), "reading versions");
    t.Observe(0xC0, 0xB5, 3, 1, nullptr);
    EXPECT_EQ(t.Detail(), "flash pages 0/3");
    std::vector<uint8_t> page(4096, 0xFF);
    std::copy_n("OAUD", 4, page.begin());
    t.Observe(0x40, 0xB6, 0x1000, 0x1000, page.data());
    std::copy_n("OISP", 4, page.begin());  // only the first page names the image
    t.Observe(0x40, 0xB6, 0x1000, 0x1000, page.data());
    EXPECT_EQ(t.Phase(), "writing audio flash");
    EXPECT_EQ(t.Detail(), "audio pages 2/3");
    t.Observe(0xC0, 0xB5, 5, 1, nullptr);  // a new image starts a new count
    EXPECT_EQ(t.FlashPagesSent(), 0u);
    EXPECT_EQ(t.FlashPagesTotal(), 5u);
    t.Observe(0x40, 0xB2, 3, 256, page.data());
    t.Observe(0x40, 0xB2, 9, 256, page.data());
    EXPECT_EQ(t.Phase(), "writing EEPROM");
    EXPECT_EQ(t.Detail(), "audio pages 2/3, flash pages 0/5, EEPROM pages 2");
    t.Observe(0xC0, 0xBA, 0, 2, nullptr);
    EXPECT_EQ(t.Phase(), "waiting for camera");
}

TEST(Progress, DisplayDrawsOnlyWhenEnabled) {
    for (bool enabled : {false, true}) {
        std::FILE* f = std::tmpfile();
        ASSERT_NE(f, nullptr);
        ProgressDisplay d(f, enabled);
        d.Observe(0xC0, 0xB0, 0, 12, nullptr, 2000);
        d.Finish(62500);
        const std::string text = Drain(f);
        if (!enabled) {
            EXPECT_TRUE(text.empty());
            continue;
        }
        EXPECT_NE(text.find("\r\033[K[device 1:02.5 | wall "), std::string::npos) << text;
        EXPECT_NE(text.find("] reading versions\n"), std::string::npos) << text;
    }
}

TEST(Progress, DurationFormat) {
    EXPECT_EQ(FormatDuration(0), "0.0s");
    EXPECT_EQ(FormatDuration(59950), "1:00.0");  // rounds into the next minute, never "60.0s"
    EXPECT_EQ(FormatDuration(125300), "2:05.3");
}

// Several cameras: a line of clocks, then one line per camera with its own
// phase, naming the device's state when it is not "started, working". A
// redraw goes back to the first line of the last drawing.
TEST(Progress, OneLinePerCameraWithItsState) {
    std::FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    {
        ProgressDisplay d(f, true);
        d.SetCameras(3);
        d.Observe(0xC0, 0xB0, 0, 12, nullptr, 1000, 0);
        const uint8_t page[4] = {'O', 'A', 'U', 'D'};
        d.Observe(0x40, 0xB5, 57, 0, nullptr, 1000, 1);
        d.Observe(0x40, 0xB6, 0, 4096, page, 1000, 1);
        d.Observe(0x40, 0xB6, 1, 4096, page, 1000, 99);  // no such camera: ignored
        d.SetState(2, "disabled");
        const auto lines = d.Lines(2000, 1.0);
        ASSERT_EQ(lines.size(), 4u);
        EXPECT_EQ(lines[0], "[device 2.0s | wall 1.0s] 3 cameras");
        EXPECT_EQ(lines[1], "  camera 0: reading versions");
        EXPECT_EQ(lines[2], "  camera 1: writing audio flash (audio pages 1/57)");
        EXPECT_EQ(lines[3], "  camera 2: starting [disabled]");
        EXPECT_EQ(d.Line(2000, 1.0), lines[1]);
        d.SetState(2, "");
        EXPECT_EQ(d.Lines(2000, 1.0)[3], "  camera 2: starting");
        d.Finish(3000);
    }
    const std::string text = Drain(f);
    EXPECT_NE(text.find("\033[3F"), std::string::npos) << "back up three lines before a redraw";
    EXPECT_NE(text.find("\r\033[K  camera 2: starting\n"), std::string::npos);

    // One camera keeps the one-line form, its state in brackets.
    ProgressDisplay one(nullptr, false);
    one.Observe(0xC0, 0xB0, 0, 12, nullptr, 0);  // a disabled display follows nothing
    one.SetState(0, "surprise removed");
    EXPECT_EQ(one.Line(0, 0.0), "[device 0.0s | wall 0.0s] starting [surprise removed]");
}
