// A camera with its update running through the driver's own routines: the
// path strings at removal.
#include <gtest/gtest.h>

#include "FrameRig.h"

namespace orvex::test {
namespace {

using hosted::Trace;

class Life : public FrameTest {
protected:
    FirmwareFiles files;
};

TEST_F(Life, PathsOutliveTheUpdateThreadAtRemoval)
{
    files.Install(bus->Pdo());
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    // Removal comes while the update is still going.
    hosted::Sleep(hosted::Milliseconds(300));

    // When the removal reaches the bus, ks.sys has already run the removal
    // callback (the update thread has ended and the device object is gone);
    // the path strings must still be there then, and go only afterwards.
    size_t vorpAtBusRemoval = 0;
    bool objectGone = false;
    PKSDEVICE device = ks;
    bus->onPnp = [&](UCHAR minor) {
        if (minor != IRP_MN_REMOVE_DEVICE) return;
        vorpAtBusRemoval = hosted::Pool::LiveBytes(TagVorp);
        objectGone = device->Context == nullptr;
    };
    ASSERT_EQ(Remove(), STATUS_SUCCESS);
    bus->onPnp = nullptr;
    EXPECT_TRUE(objectGone);
    // Four paths of 13 to 17 characters, each with its terminator and slack.
    EXPECT_GE(vorpAtBusRemoval - hosted::Pool::LiveBytes(TagVorp), 4u * (2 * 14 + 16));

    // Every file the update thread opened was one of the configured ones.
    for (const auto& r : Trace::Records())
        if (r.text.rfind("GetDownloadFile( ", 0) == 0)
            EXPECT_NE(r.text.find("\\??\\C:\\fw\\"), std::string::npos) << r.text;
}

}  // namespace
}  // namespace orvex::test
