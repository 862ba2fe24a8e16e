// Cameras whose configuration descriptor is short, truncated or lies, driven
// through a whole start over the hosted bus. A descriptor found wrong fails
// the start before any USB library routine parses it (the hosted library
// would record a verifier finding) and leaves nothing behind; one that is
// odd but sound is selected.
#include "UsbTestSupport.h"

#include <hosted/verifier.h>

#include <optional>

#include "SimDescriptors.h"

namespace orvex::test {
namespace {

using orvex::sim::ConfigBuilder;

std::vector<uint8_t> WithTotal(std::vector<uint8_t> bytes, uint16_t total)
{
    bytes[2] = uint8_t(total);
    bytes[3] = uint8_t(total >> 8);
    return bytes;
}

std::vector<uint8_t> OneInterface()
{
    return ConfigBuilder().Interface(0, 0, 1, 0xFF, 0, 0).Endpoint(0x81, 2, 512, 0).Build();  // 25 bytes
}

struct HostileCase {
    const char* name;
    std::vector<uint8_t> config;  // exactly what the camera answers
    std::vector<uint16_t> reads;  // wLength of each configuration descriptor read
    std::optional<uint32_t> faultAt;  // offset in the driver's line; unset: the descriptor is sound
};

void PrintTo(const HostileCase& c, std::ostream* os) { *os << c.name; }

std::vector<HostileCase> Cases()
{
    const std::vector<uint8_t> header9 = {9, 2, 0x2C, 0x01, 1, 1, 0, 0x80, 0xFA};  // claims 300 bytes
    std::vector<uint8_t> longClaim = header9;
    longClaim[2] = 0x58;  // 600 bytes, past the first guess of 521
    longClaim[3] = 0x02;
    std::vector<uint8_t> zeroHeader = OneInterface();
    zeroHeader[0] = 0;
    const auto own = orvex::sim::BuildDefaultConfigDescriptor();
    const uint16_t ownTotal = uint16_t(own[2] | own[3] << 8);
    const std::vector<uint8_t> truncated(own.begin(), own.begin() + 100);
    auto moreThanClaimed = OneInterface();
    moreThanClaimed.insert(moreThanClaimed.end(), {0, 0, 0, 0});
    return {
        {"short read with a large wTotalLength", header9, {521}, 0},
        {"short read, wTotalLength past the first guess", longClaim, {521, 600}, 0},
        {"wTotalLength below 9", WithTotal(OneInterface(), 5), {521}, 0},
        {"wTotalLength below the header's bLength", WithTotal(OneInterface(), 8), {521}, 0},
        {"bLength 0 in the configuration header", zeroHeader, {521}, 0},
        {"bLength 0 in an interface descriptor",
         ConfigBuilder().Raw({0, 4, 0, 0, 1, 0xFF, 0, 0, 0}).Endpoint(0x81, 2, 512, 0).Build(), {521}, 9},
        {"bLength 0 in an endpoint descriptor",
         ConfigBuilder().Interface(0, 0, 1, 0xFF, 0, 0).Raw({0, 5, 0x81, 2, 0, 2, 0}).Build(), {521}, 18},
        {"bLength 0 in a class-specific descriptor",
         ConfigBuilder().Interface(0, 0, 0, 0xFF, 0, 0).Raw({0, 0x24, 1}).Build(), {521}, 18},
        {"bLength 1", ConfigBuilder().Interface(0, 0, 0, 0xFF, 0, 0).Raw({1, 0x24}).Build(), {521}, 18},
        {"endpoint straddling the end", WithTotal(OneInterface(), 22), {521}, 18},
        {"descriptor claiming more than is left",
         ConfigBuilder().Interface(0, 0, 0, 0xFF, 0, 0).Raw({12, 0x24, 1, 2, 3}).Build(), {521}, 18},
        {"header cut after one byte", ConfigBuilder().Interface(0, 0, 0, 0xFF, 0, 0).Raw({9}).Build(), {521}, 18},
        {"interface announcing endpoints it lacks",
         ConfigBuilder().Interface(0, 0, 3, 0xFF, 0, 0).Endpoint(0x81, 2, 512, 0).Build(), {521}, 9},
        {"interface borrowing the next one's endpoints",
         ConfigBuilder().Interface(0, 0, 2, 0xFF, 0, 0).Endpoint(0x81, 2, 512, 0)
             .Interface(1, 0, 1, 0xFF, 0, 0).Endpoint(0x82, 2, 512, 0).Build(), {521}, 9},
        {"short interface descriptor",
         ConfigBuilder().Raw({5, 4, 0, 0, 0}).Interface(0, 1, 0, 0xFF, 0, 0).Build(), {521}, 9},
        {"short endpoint descriptor",
         ConfigBuilder().Interface(0, 0, 1, 0xFF, 0, 0).Raw({4, 5, 0x81, 2}).Build(), {521}, 18},
        {"truncated copy of the camera's own", truncated, {521, ownTotal}, 0},
        // Sound, if odd: selected as they are.
        {"bNumInterfaces above the interfaces held",
         ConfigBuilder().Interface(0, 0, 1, 0xFF, 0, 0).Endpoint(0x81, 2, 512, 0).NumInterfaces(7).Build(), {521},
         std::nullopt},
        {"bNumInterfaces below the interfaces held",
         ConfigBuilder().Interface(0, 0, 1, 0xFF, 0, 0).Endpoint(0x81, 2, 512, 0)
             .Interface(1, 0, 0, 0xFF, 0, 0).NumInterfaces(1).Build(), {521}, std::nullopt},
        {"bytes beyond wTotalLength", moreThanClaimed, {521}, std::nullopt},
        {"more endpoints than announced",
         ConfigBuilder().Interface(0, 0, 1, 0xFF, 0, 0).Endpoint(0x81, 2, 512, 0).Endpoint(0x02, 2, 512, 0).Build(),
         {521}, std::nullopt},
    };
}

class HostileConfiguration : public UsbTest, public ::testing::WithParamInterface<HostileCase> {
protected:
    size_t Selections()
    {
        size_t n = 0;
        for (const auto& t : bus->Log()) n += t.function == URB_FUNCTION_SELECT_CONFIGURATION;
        return n;
    }
};

TEST_P(HostileConfiguration, StartsOnlyOnASoundDescriptor)
{
    const HostileCase& c = GetParam();
    orvex::sim::CameraConfig config;
    config.configDescriptor = c.config;
    Reboot(config);
    const size_t harnBefore = hosted::Pool::LiveCount(kHarn);

    const NTSTATUS status = device->Start(&ks, nullptr, nullptr, nullptr, 0);
    EXPECT_EQ(ConfigReads(), c.reads);
    EXPECT_TRUE(hosted::Verifier::Violations().empty());
    if (c.faultAt) {
        EXPECT_EQ(status, STATUS_DEVICE_DATA_ERROR);
        const size_t delivered = std::min<size_t>(c.config.size(), c.reads.back());
        const uint16_t total = uint16_t(c.config.size() >= 4 ? c.config[2] | c.config[3] << 8 : 0);
        char line[160];
        std::snprintf(line, sizeof line,
                      "ORVEX :        SelectConfiguration() invalid Configuration Descriptor at offset %x, len %zx, "
                      "wTotalLength %x",
                      *c.faultAt, delivered, total);
        EXPECT_EQ(Lines(line), 1u) << Text();
        EXPECT_EQ(Lines("ORVEX :       SelectConfiguration() FAILURE (c000009c)"), 2u);
        EXPECT_FALSE(hosted::Trace::Contains("+SelectInterface"));
        EXPECT_EQ(Selections(), 0u);
        EXPECT_EQ(bus->SelectedConfiguration(), 0);
        EXPECT_EQ(device->m_pUsbInfo->UsbConfigurationDescriptor, nullptr);
        EXPECT_EQ(device->m_pUsbInfo->UsbDeviceDescriptor, nullptr);
        EXPECT_EQ(hosted::Pool::LiveCount(kHarn), harnBefore);
        EXPECT_FALSE(hosted::Trace::Contains("StartControlPanelAnalysisThread()"));
    } else {
        EXPECT_EQ(status, STATUS_SUCCESS);
        EXPECT_FALSE(hosted::Trace::Contains("invalid Configuration Descriptor"));
        EXPECT_EQ(bus->SelectedConfiguration(), 1);
        ASSERT_NE(device->m_pUsbInfo->UsbInterface, nullptr);
        EXPECT_EQ(device->m_pUsbInfo->UsbInterface->InterfaceNumber, 0);
        EXPECT_EQ(device->m_pUsbInfo->UsbInterface->NumberOfPipes, 1u);
        device->Stop(&ks, nullptr);
    }
}

INSTANTIATE_TEST_SUITE_P(Descriptors, HostileConfiguration, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<HostileCase>& info) {
                             std::string name;
                             for (const char* p = info.param.name; *p; ++p)
                                 name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                             return name;
                         });

}  // namespace
}  // namespace orvex::test
