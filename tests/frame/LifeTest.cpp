// Cameras with their update running through the driver's own routines: the
// path strings at removal, and two cameras side by side.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <unistd.h>

#include "Firmware.h"
#include "FrameRig.h"

namespace orvex::test {
namespace {

using hosted::Registry;
using hosted::Trace;

class Life : public FrameTest {
protected:
    void SetUp() override
    {
        FrameTest::SetUp();
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir = std::filesystem::temp_directory_path() /
              ("orvex-frame-" + std::to_string(::getpid()) + "-" + info->name());
        std::filesystem::create_directories(dir / "fw");
        hosted::Files::MapDrive('C', dir.string());
    }
    void TearDown() override
    {
        FrameTest::TearDown();
        std::filesystem::remove_all(dir);
    }
    // Files that make the camera's ISP firmware out of date, and the four
    // registry values naming them under the device's driver key.
    void InstallFiles(PDEVICE_OBJECT pdo)
    {
        auto write = [&](const std::string& name, const firmware::Bytes& bytes) {
            std::ofstream(dir / "fw" / name, std::ios::binary)
                .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        };
        const std::string version = firmware::VersionFileText(10000, 0x0C2238, 5);
        write("version.txt", firmware::Bytes(version.begin(), version.end()));
        write("isp.bin", firmware::MakeIspImage({.size = 40000, .text = "12.34.56"}));
        const std::string key = hosted::Io::DriverKeyPath(pdo);
        Registry::SetString(key, "FX3", u"C:\\fw\\fx3.img");
        Registry::SetString(key, "ISP", u"C:\\fw\\isp.bin");
        Registry::SetString(key, "AUD", u"C:\\fw\\aud.bin");
        Registry::SetString(key, "VERSION", u"C:\\fw\\version.txt");
    }
    std::filesystem::path dir;
};

TEST_F(Life, PathsOutliveTheUpdateThreadAtRemoval)
{
    InstallFiles(bus->Pdo());
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
    for (const auto& r : Trace::Records()) {
        if (r.text.rfind("GetDownloadFile( ", 0) != 0) continue;
        EXPECT_TRUE(r.text.find("\\??\\C:\\fw\\") != std::string::npos) << r.text;
    }
}

TEST_F(Life, TwoCamerasAtOnce)
{
    FrameBus second;
    InstallFiles(bus->Pdo());
    InstallFiles(second.Pdo());
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    ASSERT_EQ(host->AddDevice(second.Pdo()), STATUS_SUCCESS);
    PDEVICE_OBJECT secondFdo = second.Pdo()->AttachedDevice;
    FdoData* secondData = FdoDataOf(secondFdo);
    EXPECT_NE(secondData, data);

    ASSERT_EQ(Start(), STATUS_SUCCESS);
    ASSERT_EQ(hosted::Io::SendPnp(secondFdo, IRP_MN_START_DEVICE, [](PIO_STACK_LOCATION) {}), STATUS_SUCCESS);
    EXPECT_EQ(Object()->GetUId(), 1u);
    EXPECT_EQ(static_cast<CDevice*>(secondData->KsDevice->Context)->GetUId(), 2u);
    // Both updates run side by side; each camera gets its own flash pages.
    Settle();
    EXPECT_GT(bus->Usb().Log().size(), 10u);
    EXPECT_GT(second.Usb().Log().size(), 10u);

    // The second camera is unplugged: surprise removal, then removal.
    ASSERT_EQ(hosted::Io::SendPnp(secondFdo, IRP_MN_SURPRISE_REMOVAL, [](PIO_STACK_LOCATION) {}), STATUS_SUCCESS);
    ASSERT_EQ(hosted::Io::SendPnp(secondFdo, IRP_MN_REMOVE_DEVICE, [](PIO_STACK_LOCATION) {}), STATUS_SUCCESS);
    EXPECT_EQ(second.Pdo()->AttachedDevice, nullptr);
    EXPECT_TRUE(data->Started);
}

}  // namespace
}  // namespace orvex::test
