// Cameras with their update running through the driver's own routines: the
// path strings at removal, and two cameras side by side.
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

TEST_F(Life, TwoCamerasAtOnce)
{
    FrameBus second;
    files.Install(bus->Pdo());
    files.Install(second.Pdo());
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    ASSERT_EQ(host->AddDevice(second.Pdo()), STATUS_SUCCESS);
    PDEVICE_OBJECT secondFdo = second.Pdo()->AttachedDevice;
    FdoData* secondData = FdoDataOf(secondFdo);
    EXPECT_NE(secondData, data);
    auto pnp = [&](UCHAR minor) { return hosted::Io::SendPnp(secondFdo, minor, [](PIO_STACK_LOCATION) {}); };

    ASSERT_EQ(Start(), STATUS_SUCCESS);
    ASSERT_EQ(pnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Object()->GetUId(), 1u);
    EXPECT_EQ(static_cast<CDevice*>(secondData->KsDevice->Context)->GetUId(), 2u);
    // Both updates run side by side; each camera gets its own flash pages.
    Settle();
    EXPECT_GT(bus->Usb().Log().size(), 10u);
    EXPECT_GT(second.Usb().Log().size(), 10u);

    // The second camera is unplugged: surprise removal, then removal.
    ASSERT_EQ(pnp(IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
    ASSERT_EQ(pnp(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(second.Pdo()->AttachedDevice, nullptr);
    EXPECT_TRUE(data->Started);
}

}  // namespace
}  // namespace orvex::test
