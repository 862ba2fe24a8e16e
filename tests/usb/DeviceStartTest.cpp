// The device object: allocation, Add, Start with configuration selection,
// Stop and Remove.
#include "UsbTestSupport.h"

#include <functional>
#include <optional>
#include <regex>

#include "SimDescriptors.h"

namespace orvex::test {
namespace {

using orvex::sim::ConfigBuilder;

constexpr uint32_t kDeviceTag = 0x774e434b;

std::vector<uint8_t> SmallConfig()
{
    return ConfigBuilder().Interface(0, 0, 2, 0xFF, 1, 2).Endpoint(0x81, 2, 512, 0).Endpoint(0x02, 2, 512, 0)
        .Interface(1, 0, 1, 0xFF, 0, 0).Endpoint(0x83, 3, 16, 4).Build();
}

orvex::sim::CameraConfig WithConfig(std::vector<uint8_t> config)
{
    orvex::sim::CameraConfig c;
    if (!config.empty()) c.configDescriptor = std::move(config);
    return c;
}

class DeviceStartTest : public UsbTest {
protected:
    NTSTATUS Start(ULONG productOverride = 0) { return device->Start(&ks, nullptr, nullptr, nullptr, productOverride); }
    size_t BufferBytes(const void* p)
    {
        for (const auto& a : hosted::Pool::Live())
            if (a.address == p) return a.bytes;
        return 0;
    }
    void ExpectNoDescriptors()
    {
        EXPECT_EQ(device->m_pUsbInfo->UsbInterface, nullptr);
        EXPECT_EQ(device->m_pUsbInfo->UsbConfigurationDescriptor, nullptr);
        EXPECT_EQ(device->m_pUsbInfo->UsbDeviceDescriptor, nullptr);
        EXPECT_EQ(hosted::Pool::LiveCount(kHarn), 1u);  // USB_INFO only
    }
};

TEST_F(DeviceStartTest, ConfigurationShapes)
{
    const uint16_t defaultTotal = uint16_t(orvex::sim::BuildDefaultConfigDescriptor()[2] |
                                           orvex::sim::BuildDefaultConfigDescriptor()[3] << 8);
    struct Row {
        const char* name;
        std::vector<uint8_t> config;  // empty: the camera's own
        std::vector<uint16_t> reads;
        bool firstInterface;
        UCHAR interfaces;  // bNumInterfaces in the trace
    };
    const Row rows[] = {
        {"long descriptor", {}, {521, defaultTotal}, true, 4},
        {"short descriptor", SmallConfig(), {521}, true, 2},
        {"gap in interface numbers",
         ConfigBuilder().Interface(0, 0, 1, 0xFF, 0, 0).Endpoint(0x81, 2, 512, 0).Interface(2, 0, 0, 1, 2, 3).Build(),
         {521}, true, 2},
        {"no interfaces", ConfigBuilder().NumInterfaces(0).Build(), {521}, false, 0},
        {"announced, none present", ConfigBuilder().NumInterfaces(3).Build(), {521}, false, 3},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Reboot(WithConfig(row.config));
        ASSERT_EQ(Start(), STATUS_SUCCESS);
        EXPECT_EQ(ConfigReads(), row.reads);
        EXPECT_EQ(bus->SelectedConfiguration(), 1);
        USB_INFO* info = device->m_pUsbInfo;
        EXPECT_EQ(BufferBytes(info->UsbConfigurationDescriptor), row.reads.back());
        EXPECT_EQ(BufferBytes(info->UsbDeviceDescriptor), 18u);
        EXPECT_EQ(Lines("ORVEX :       +SelectInterface, number of interface = " + std::to_string(row.interfaces)), 1u);
        if (row.firstInterface) {
            PUSBD_INTERFACE_INFORMATION first = info->UsbInterface;
            ASSERT_NE(first, nullptr);
            EXPECT_EQ(BufferBytes(first), first->Length);
            EXPECT_EQ(first->InterfaceNumber, 0);
            for (ULONG p = 0; p < first->NumberOfPipes; ++p) {
                EXPECT_EQ(first->Pipes[p].MaximumTransferSize, 0x10000u);
                EXPECT_NE(first->Pipes[p].PipeHandle, nullptr);
            }
            EXPECT_EQ(Lines("ORVEX : Interface Number 0x0"), 1u);
        } else {
            EXPECT_EQ(info->UsbInterface, nullptr);
            EXPECT_FALSE(hosted::Trace::Contains("ORVEX : ---------"));
        }
        EXPECT_EQ(Lines("ORVEX :       -SelectConfiguration (0)"), 1u);
        EXPECT_EQ(Lines("ORVEX :     -CUsbDevice::Start() completed (0)"), 1u);

        // Stop drops the configuration (select without descriptor) and the buffers.
        bus->ClearLog();
        device->Stop(&ks, nullptr);
        const auto log = bus->Log();
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0].function, URB_FUNCTION_SELECT_CONFIGURATION);
        EXPECT_EQ(bus->SelectedConfiguration(), 0);
        ExpectNoDescriptors();
    }
    // A stopped device starts again from the beginning.
    bus->ClearLog();
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_EQ(bus->Log().front().setup, (std::array<uint8_t, 8>{0x80, 6, 0, 1, 0, 0, 18, 0}));
    EXPECT_EQ(bus->SelectedConfiguration(), 1);
    EXPECT_EQ(Lines("StartControlPanelAnalysisThread()"), 2u);

    // A read that moves no data ends the loop after one request.
    Reboot();
    FaultSpec empty = FaultSpec::Function(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, FaultKind::ShortIn, 2);
    empty.shortLength = 0;
    bus->AddFault(empty);
    // Nothing arrived, so there is no descriptor to select: the start fails.
    EXPECT_EQ(Start(), STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(ConfigReads(), std::vector<uint16_t>{521});
    EXPECT_TRUE(hosted::Trace::Contains(", len 0\n"));
    EXPECT_EQ(Lines("ORVEX :        SelectConfiguration() invalid Configuration Descriptor at offset 0, len 0, "
                    "wTotalLength 0"), 1u);
    EXPECT_FALSE(hosted::Trace::Contains("+SelectInterface"));
    ExpectNoDescriptors();
}

// A start that fails at one step, and what it leaves behind.
struct FailureRow {
    const char* name;
    std::function<void(hosted::usb::Bus&)> inject;
    NTSTATUS result;
    std::string line;  // the row's own line
    size_t failureLines;
    bool interfaceFailure;  // SelectInterface failed
    bool configured;
};

std::vector<FailureRow> StartFailures()
{
    return {
        {"device descriptor buffer", [](auto&) { hosted::Pool::FailTag(kHarn, 1); }, STATUS_INSUFFICIENT_RESOURCES,
         "", 1, false, false},
        {"device descriptor request",
         [](auto& b) { b.AddFault(FaultSpec::Function(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, FaultKind::Stall, 1)); },
         STATUS_UNSUCCESSFUL, "ORVEX :       SendURB returned with error c0000001", 0, false, false},
        {"configuration buffer", [](auto&) { hosted::Pool::FailTag(kHarn, 2); }, STATUS_INSUFFICIENT_RESOURCES,
         "ORVEX :       -SelectConfiguration (c000009a)", 2, false, false},
        {"configuration request",
         [](auto& b) { b.AddFault(FaultSpec::Function(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, FaultKind::Stall, 2)); },
         STATUS_UNSUCCESSFUL, "ORVEX :        SelectConfiguration() Get Config Descriptor FAILURE (c0000001)", 2, false, false},
        {"interface list", [](auto&) { hosted::Pool::FailTag(kHarn, 3); }, STATUS_INSUFFICIENT_RESOURCES,
         "ORVEX : Failed to allocate mem for interfaceList", 2, true, false},
        {"select request built", [](auto&) { hosted::Pool::FailTag(hosted::Tag("USBD"), 1); },
         STATUS_INSUFFICIENT_RESOURCES, "ORVEX : USBD_CreateConfigurationRequestEx failed", 2, true, false},
        {"select request sent",
         [](auto& b) {
             FaultSpec gone = FaultSpec::Function(URB_FUNCTION_SELECT_CONFIGURATION, FaultKind::DeviceGone, 1);
             gone.goneStatus = STATUS_NO_SUCH_DEVICE;
             b.AddFault(gone);
         },
         STATUS_NO_SUCH_DEVICE, "ORVEX : Failed to select an interface", 2, true, false},
        // The device stays configured, but the start fails.
        {"interface copy", [](auto&) { hosted::Pool::FailTag(kHarn, 4); }, STATUS_INSUFFICIENT_RESOURCES,
         "ORVEX : memory alloc for UsbInterface failed", 2, true, true},
    };
}

TEST_F(DeviceStartTest, StartFailuresFreeTheDescriptors)
{
    const std::string failure = "ORVEX :       SelectConfiguration() FAILURE ";
    const std::vector<FailureRow> rows = StartFailures();
    for (const FailureRow& row : rows) {
        SCOPED_TRACE(row.name);
        Reboot(WithConfig(SmallConfig()));
        row.inject(*bus);
        EXPECT_EQ(Start(), row.result);
        char resultText[16];
        snprintf(resultText, sizeof resultText, "(%x)", unsigned(row.result));
        EXPECT_EQ(Lines(failure + resultText), row.failureLines) << Text();
        if (!row.line.empty()) EXPECT_EQ(Lines(row.line), 1u) << Text();
        EXPECT_EQ(Lines(std::string("ORVEX :       SelectConfiguration() SelectInterface() FAILURE ") + resultText),
                  row.interfaceFailure ? 1u : 0u);
        EXPECT_EQ(Lines("ORVEX : ---------"), row.configured ? 1u : 0u);
        EXPECT_EQ(bus->SelectedConfiguration(), row.configured ? 1 : 0);
        EXPECT_FALSE(hosted::Trace::Contains("DEVICE(0x"));
        EXPECT_FALSE(hosted::Trace::Contains("StartControlPanelAnalysisThread()"));
        ExpectNoDescriptors();
    }
}

// The mask bit that lets a line of the device object's own through: error
// lines, lines printed whatever the mask (0), and trace lines (every other
// "ORVEX : " line). Lines of other layers (the update engine's) are not
// judged here: nullopt.
std::optional<ULONG> GateOf(const std::string& line)
{
    static const char* const errorLines[] = {
        "ORVEX :       SendURB returned with error ", "ORVEX :       SelectConfiguration() FAILURE ",
        "ORVEX :        SelectConfiguration() Get Config Descriptor FAILURE ",
        "ORVEX :       SelectConfiguration() SelectInterface() FAILURE ", "ORVEX : USBD_CreateConfigurationRequestEx failed\n",
        "ORVEX : Failed to select an interface\n", "ORVEX : memory alloc for UsbInterface failed\n",
        "ORVEX :        exit SendURB FAILED ",
    };
    static const char* const alwaysLines[] = {
        "ORVEX : Failed to allocate mem for interfaceList\n", "DEVICE(0x", "RReset Device \n", "Do not do reset pipe, ",
    };
    for (const char* l : alwaysLines)
        if (line.starts_with(l)) return 0;
    for (const char* l : errorLines)
        if (line.starts_with(l)) return LogError;
    if (line.starts_with("ORVEX : ")) return LogTrace;
    return std::nullopt;
}

// Every line of Add, Start (successful or failing at each step), Stop, Remove
// and the destructor appears exactly when its bit is set; no other bit counts.
TEST_F(DeviceStartTest, LinesFollowTheLogMask)
{
    std::vector<FailureRow> rows = StartFailures();
    rows.push_back({"success", [](auto&) {}, STATUS_SUCCESS, "", 0, false, true});
    // Pointers printed as %x differ from run to run.
    const std::regex pointers("(= [0-9a-f]+, len|Irp 0x[0-9a-f]+, Urb 0x[0-9a-f]+)");
    for (const FailureRow& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<std::string> all;
        for (ULONG mask : {0xFFFFFFFFu, LogError, LogTrace, 0u, ~(LogError | LogTrace)}) {
            Shutdown();
            Boot(WithConfig(SmallConfig()), mask);
            row.inject(*bus);
            EXPECT_EQ(Start(), row.result);
            device->Stop(&ks, nullptr);
            device->Remove(&ks, nullptr);
            delete static_cast<CDevice*>(device);
            device = nullptr;

            std::vector<std::string> lines;
            for (const auto& r : hosted::Trace::Records())
                if (r.thread == hosted::CurrentThreadName() && GateOf(r.text))
                    lines.push_back(std::regex_replace(r.text, pointers, "*"));
            if (mask == 0xFFFFFFFFu) {
                all = lines;
                continue;
            }
            std::vector<std::string> expected;
            for (const std::string& l : all)
                if (*GateOf(l) == 0 || (mask & *GateOf(l)) != 0) expected.push_back(l);
            EXPECT_EQ(lines, expected) << std::hex << mask;
        }
        EXPECT_GE(all.size(), 5u);
    }
}

TEST_F(DeviceStartTest, IdentityRemovalAndLifecycle)
{
    // The product ID comes first, under the label DEVICE; an override replaces it.
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_EQ(Lines("DEVICE(0xca3), PRODUCT(0x1209)"), 1u);
    EXPECT_EQ(Lines("ORVEX :        Device Descriptor = " + Hex(device->m_pUsbInfo->UsbDeviceDescriptor) + ", len 12"), 1u);
    EXPECT_EQ(Lines("ORVEX :        bcdUSB 0x200"), 1u);
    EXPECT_EQ(Lines("ORVEX :        idProduct 0xca3"), 1u);
    EXPECT_EQ(device->m_usBcdUsb, 0x200);
    device->Stop(&ks, nullptr);

    LogMask = 0;
    hosted::Trace::Clear();
    ASSERT_EQ(Start(0x4321), STATUS_SUCCESS);
    EXPECT_EQ(device->m_ulProductId, 0x4321u);
    EXPECT_EQ(device->m_usVendorId, 0x1209);
    EXPECT_EQ(Lines("DEVICE(0x4321), PRODUCT(0x1209)"), 1u);
    EXPECT_FALSE(hosted::Trace::Contains("ORVEX :"));
    LogMask = 0xFFFFFFFF;

    // A short device descriptor: the bytes that did not arrive read as 0.
    device->Stop(&ks, nullptr);
    FaultSpec shortRead = FaultSpec::Function(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, FaultKind::ShortIn, 1);
    shortRead.shortLength = 8;
    bus->AddFault(shortRead);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_EQ(Lines("DEVICE(0x0), PRODUCT(0x0)"), 1u);
    EXPECT_EQ(Lines("ORVEX :        bNumConfigurations 0x0"), 1u);

    // After removal: Stop frees but sends nothing, Start refuses silently.
    device->SetRemoved(1);
    bus->ClearLog();
    hosted::Trace::Clear();
    device->Stop(&ks, nullptr);
    EXPECT_TRUE(bus->Log().empty());
    ExpectNoDescriptors();
    EXPECT_EQ(Start(), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(bus->Log().empty());
    EXPECT_EQ(Text(), "StopControlPanelAnalysisThread()\n");

    // Remove without Stop frees everything; the destructor prints its line.
    device->PowerRestore();
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    hosted::Trace::Clear();
    device->Remove(&ks, nullptr);
    EXPECT_EQ(device->m_pUsbInfo, nullptr);
    EXPECT_EQ(device->IsRemoved(), 1u);
    EXPECT_EQ(hosted::Pool::LiveCount(kHarn), 0u);
    EXPECT_TRUE(Text().starts_with("ORVEX :     +CUsbDevice::Remove_1()\n")) << Text();
    EXPECT_TRUE(Text().ends_with("ORVEX :     -CUsbDevice::Remove() completed\n")) << Text();
    hosted::Trace::Clear();
    delete static_cast<CDevice*>(device);
    device = nullptr;
    EXPECT_EQ(Text(), "ORVEX :     +CUsbDevice::~CUsbDevice()\n");
    EXPECT_EQ(hosted::Pool::LiveCount(kDeviceTag), 0u);
}

TEST_F(DeviceStartTest, AllocationAndAdd)
{
    hosted::Pool::FailTag(kDeviceTag, 1);
    EXPECT_EQ(new (NonPagedPoolNx) CUsbDevice, nullptr);

    auto* fresh = new (NonPagedPoolNx) CUsbDevice;
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(BufferBytes(fresh), sizeof(CUsbDevice));
    for (const auto& a : hosted::Pool::Live())
        if (a.address == fresh) EXPECT_EQ(std::pair(a.tag, a.poolType), std::pair(kDeviceTag, 512));

    hosted::Trace::Clear();
    hosted::Pool::FailTag(kHarn, 1);
    EXPECT_EQ(fresh->Add(&ks), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(fresh->m_pUsbInfo, nullptr);
    EXPECT_EQ(Text(), "ORVEX :     +CUsbDevice::Add()\n");
    EXPECT_EQ(fresh->Start(&ks, nullptr, nullptr, nullptr, 0), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(fresh->Add(&ks), STATUS_SUCCESS);
    EXPECT_TRUE(Text().ends_with("ORVEX :     +CUsbDevice::Add()\nORVEX :     -CUsbDevice::Add()\n"));
    fresh->Remove(&ks, nullptr);
    delete static_cast<CDevice*>(fresh);
}

}  // namespace
}  // namespace orvex::test
