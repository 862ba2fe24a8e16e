// The USBPcap capture of a run: the file's own structure, and (when tshark is
// installed) its decoding by tshark against the bus log.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include <unistd.h>

#include "UsbStackTestUtil.h"

using namespace hosted::usb;
using usbtest::SendUrb;

namespace {

std::string Hex(const std::vector<uint8_t>& v) {
    std::string s;
    char two[3];
    for (uint8_t b : v) {
        std::snprintf(two, sizeof two, "%02x", b);
        s += two;
    }
    return s;
}

std::vector<std::string> Split(const std::string& line, char sep) {
    std::vector<std::string> out;
    std::stringstream ss(line);
    std::string f;
    while (std::getline(ss, f, sep)) out.push_back(f);
    if (!line.empty() && line.back() == sep) out.push_back("");
    return out;
}

uint32_t Le32(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24;
}

struct Frame {
    int64_t time;
    std::vector<uint8_t> bytes;
};

std::vector<Frame> ReadPcap(const std::string& path, uint32_t* linkType) {
    std::ifstream f(path, std::ios::binary);
    std::vector<uint8_t> b((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::vector<Frame> frames;
    if (b.size() < 24 || Le32(b, 0) != 0xA1B23C4D) return frames;
    *linkType = Le32(b, 20);
    for (size_t at = 24; at + 16 <= b.size();) {
        const uint32_t len = Le32(b, at + 8);
        frames.push_back({int64_t(Le32(b, at)) * 1000000000 + Le32(b, at + 4),
                          std::vector<uint8_t>(b.begin() + at + 16, b.begin() + at + 16 + len)});
        at += 16 + len;
    }
    return frames;
}

}  // namespace

class Capture : public hosted::PlatformTest {
protected:
    std::shared_ptr<orvex::sim::Camera> camera = orvex::sim::MakeCamera();
    std::unique_ptr<Bus> bus;
    // One file per test and process: ctest may run the tests side by side.
    std::string path = ::testing::TempDir() + "orvex_capture_" +
                       ::testing::UnitTest::GetInstance()->current_test_info()->name() + "_" +
                       std::to_string(::getpid()) + ".pcap";

    void SetUp() override { bus = std::make_unique<Bus>(camera); }
    void TearDown() override {
        bus.reset();
        if (!std::getenv("ORVEX_KEEP_CAPTURE")) std::remove(path.c_str());
    }

    // A short run: device descriptor, update mode, a flash announcement, one
    // page, a version read and a malformed request that the camera stalls.
    void Run() {
        ASSERT_TRUE(bus->StartCapture(path));
        uint8_t dd[18];
        URB d = usbtest::DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, dd, 18);
        ASSERT_EQ(SendUrb(bus->Pdo(), &d).final, STATUS_SUCCESS);
        uint8_t aa55[2] = {0xAA, 0x55}, reply;
        ASSERT_EQ(usbtest::Vendor(bus->Pdo(), false, 0xB1, 0, aa55, 2), STATUS_SUCCESS);
        ASSERT_EQ(usbtest::Vendor(bus->Pdo(), true, 0xB5, 1, &reply, 1), STATUS_SUCCESS);
        std::vector<uint8_t> page(4096);
        for (size_t i = 0; i < page.size(); ++i) page[i] = static_cast<uint8_t>(i * 7);
        ASSERT_EQ(usbtest::Vendor(bus->Pdo(), false, 0xB6, 0x1000, page.data(), 4096), STATUS_SUCCESS);
        hosted::Sleep(hosted::Milliseconds(250));
        uint8_t rec[12];
        ASSERT_EQ(usbtest::Vendor(bus->Pdo(), true, 0xB0, 0, rec, 12), STATUS_SUCCESS);
        ASSERT_EQ(usbtest::Vendor(bus->Pdo(), true, 0xB8, 7, &reply, 1), STATUS_UNSUCCESSFUL);
        bus->StopCapture();
    }
};

// Each control transfer is two records, as the Windows capture driver writes
// them: SETUP (setup bytes and any OUT data, endpoint with the data stage's
// direction) and COMPLETE (reported as CONTROL_TRANSFER, the IN data). IRP
// IDs are handed out in order and time stamps start at the fixed epoch, so a
// run's capture is the same file every time.
TEST_F(Capture, FileHoldsOneSetupAndOneCompleteRecordPerControlTransfer) {
    Run();
    uint32_t link = 0;
    const auto frames = ReadPcap(path, &link);
    EXPECT_EQ(link, 249u);
    const auto log = bus->Log();
    ASSERT_EQ(frames.size(), 2 * log.size());

    size_t f = 0;
    uint64_t n = 0;
    for (const auto& t : log) {
        SCOPED_TRACE(testing::Message() << "transfer " << t.sequence);
        const uint8_t direction = (t.setup[0] & 0x80) ? 0x80 : 0x00;
        const uint64_t irpId = kCaptureIrpIdBase + 0x10 * n++;
        const auto& s = frames[f].bytes;
        ASSERT_EQ(s.size(), 28u + 8 + t.out.size());
        EXPECT_EQ(s[0] | s[1] << 8, 28);       // header length with the stage byte
        EXPECT_EQ(Le32(s, 2) | uint64_t(Le32(s, 6)) << 32, irpId);
        EXPECT_EQ(s[14] | s[15] << 8, t.function);
        EXPECT_EQ(s[16], 0);                   // FDO -> PDO
        EXPECT_EQ(s[21], direction);
        EXPECT_EQ(s[22], 2);                   // control transfer
        EXPECT_EQ(Le32(s, 23), 8u + t.out.size());
        EXPECT_EQ(s[27], 0);                   // setup stage
        EXPECT_TRUE(std::equal(t.setup.begin(), t.setup.end(), s.begin() + 28));
        EXPECT_EQ(std::vector<uint8_t>(s.begin() + 36, s.end()), t.out);
        EXPECT_EQ(frames[f].time, kDefaultCaptureEpoch * 1000000000 + t.submitted * 100);
        ++f;

        const auto& c = frames[f].bytes;
        EXPECT_EQ(Le32(c, 2) | uint64_t(Le32(c, 6)) << 32, irpId);
        EXPECT_EQ(c[14] | c[15] << 8, URB_FUNCTION_CONTROL_TRANSFER);
        EXPECT_EQ(c[16], 1);                   // PDO -> FDO
        EXPECT_EQ(c[21], direction);
        EXPECT_EQ(c[27], 3);                   // complete stage
        EXPECT_EQ(static_cast<int32_t>(Le32(c, 10)), t.usbdStatus);
        EXPECT_EQ(std::vector<uint8_t>(c.begin() + 28, c.end()), t.in);
        EXPECT_EQ(frames[f].time, kDefaultCaptureEpoch * 1000000000 + t.completed * 100);
        ++f;
    }
}

// The writer on its own: a completion whose request it never saw gets a fresh
// ID, a host key reused after its completion gets a new ID, selecting a
// configuration keeps its function, and the epoch can be chosen.
TEST(CaptureWriter, IdsFunctionsAndEpoch) {
    const std::string file = ::testing::TempDir() + "orvex_writer_" + std::to_string(::getpid()) + ".pcap";
    {
        UsbPcapWriter w;
        ASSERT_TRUE(w.Open(file, 1000));
        const uint8_t setup[8] = {0x00, 0x09, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00};
        PcapPacket p;
        p.irpId = 0x1234;  // completes a request submitted before the capture
        p.fromDevice = true;
        p.stage = PcapStage::Complete;
        p.function = URB_FUNCTION_VENDOR_DEVICE;
        w.Write(p);
        for (int round = 0; round < 2; ++round) {  // the same host key twice
            PcapPacket s;
            s.time = 10'000'000;  // one second
            s.irpId = 0xABCD;
            s.function = URB_FUNCTION_SELECT_CONFIGURATION;
            s.data = setup;
            w.Write(s);
            s.fromDevice = true;
            s.stage = PcapStage::Complete;
            s.data = {};
            w.Write(s);
        }
    }
    uint32_t link = 0;
    const auto frames = ReadPcap(file, &link);
    std::remove(file.c_str());
    ASSERT_EQ(frames.size(), 5u);
    auto id = [&](size_t i) { return Le32(frames[i].bytes, 2) | uint64_t(Le32(frames[i].bytes, 6)) << 32; };
    auto function = [&](size_t i) { return frames[i].bytes[14] | frames[i].bytes[15] << 8; };
    EXPECT_EQ(id(0), kCaptureIrpIdBase);
    EXPECT_EQ(function(0), URB_FUNCTION_CONTROL_TRANSFER);
    EXPECT_EQ(id(1), kCaptureIrpIdBase + 0x10);
    EXPECT_EQ(id(2), id(1));
    EXPECT_EQ(id(3), kCaptureIrpIdBase + 0x20);
    EXPECT_EQ(id(4), id(3));
    for (size_t i = 1; i < 5; ++i) EXPECT_EQ(function(i), URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(frames[0].time, 1000 * 1000000000LL);
    EXPECT_EQ(frames[1].time, 1001 * 1000000000LL);
}

// What a Wireshark user sees: each transfer's direction, its OUT data inside
// the SETUP record, the completion linked to its request's frame and reported
// as CONTROL_TRANSFER, stable IRP IDs and 2024 time stamps.
TEST_F(Capture, TsharkDecodesTheControlTransfers) {
    if (std::system("command -v tshark >/dev/null 2>&1") != 0) GTEST_SKIP() << "tshark is not installed";
    Run();
    const std::string out = path + ".txt";
    const std::string cmd = "tshark -r '" + path +
                            "' -T fields -E separator='|' -e usb.control_stage -e usb.bmRequestType "
                            "-e usb.setup.bRequest -e usb.setup.wValue -e usb.setup.wIndex -e usb.setup.wLength "
                            "-e usb.data_fragment -e usb.control.Response -e usb.usbd_status -e usb.irp_id "
                            "-e usb.DescriptorIndex -e usb.bDescriptorType -e usb.LanguageId "
                            "-e frame.number -e usb.request_in -e usb.function -e usb.endpoint_address.direction "
                            "-e frame.time_epoch -e _ws.col.Info > '" +
                            out + "' 2>/dev/null";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    std::ifstream in(out);
    std::vector<std::vector<std::string>> rows;
    for (std::string line; std::getline(in, line);) rows.push_back(Split(line, '|'));
    std::remove(out.c_str());

    const auto log = bus->Log();
    size_t r = 0;
    uint64_t n = 0;
    for (const auto& t : log) {
        SCOPED_TRACE(testing::Message() << "transfer " << t.sequence);
        const bool isIn = (t.bmRequestType() & 0x80) != 0;
        ASSERT_LT(r + 1, rows.size());
        auto row = rows[r++];
        ASSERT_GE(row.size(), 19u);
        EXPECT_EQ(row[0], "0");
        EXPECT_EQ(std::stoul(row[1], nullptr, 16), t.bmRequestType());
        EXPECT_EQ(std::stoul(row[2]), t.bRequest());
        if (t.bRequest() == USB_REQUEST_GET_DESCRIPTOR && (t.bmRequestType() & 0x60) == 0) {
            // tshark names the fields of a standard GET_DESCRIPTOR.
            EXPECT_EQ(std::stoul(row[10], nullptr, 0), t.wValue() & 0xFFu);
            EXPECT_EQ(std::stoul(row[11], nullptr, 0), t.wValue() >> 8u);
            EXPECT_EQ(std::stoul(row[12], nullptr, 0), t.wIndex());
        } else {
            EXPECT_EQ(std::stoul(row[3], nullptr, 0), t.wValue());
            EXPECT_EQ(std::stoul(row[4], nullptr, 0), t.wIndex());
            EXPECT_EQ(row[18], isIn ? "URB_CONTROL in" : "URB_CONTROL out");
        }
        EXPECT_EQ(std::stoul(row[5]), t.wLength());
        EXPECT_EQ(row[6], Hex(t.out));  // OUT data travels in the SETUP record
        EXPECT_EQ(row[16], isIn ? "1" : "0");
        EXPECT_EQ(std::stoull(row[9], nullptr, 16), kCaptureIrpIdBase + 0x10 * n++);
        EXPECT_EQ(row[17].substr(0, 10), std::to_string(kDefaultCaptureEpoch + t.submitted / 10'000'000));
        const std::string irp = row[9], setupFrame = row[13];

        row = rows[r++];
        EXPECT_EQ(row[0], "3");
        EXPECT_EQ(row[9], irp);
        EXPECT_EQ(row[14], setupFrame) << "the completion points back at its request";
        EXPECT_EQ(std::stoul(row[15], nullptr, 16), URB_FUNCTION_CONTROL_TRANSFER);
        EXPECT_EQ(row[16], isIn ? "1" : "0");
        EXPECT_EQ(static_cast<int32_t>(std::stoul(row[8], nullptr, 16)), t.usbdStatus);
        if ((t.bmRequestType() & 0x60) == 0x40 && !t.in.empty()) EXPECT_EQ(row[7], Hex(t.in));
    }
    EXPECT_EQ(r, rows.size());
    // The stalled request: wValue 7 of UVCGet_STATUS, completed with a STALL PID status.
    EXPECT_EQ(log.back().wValue(), 7);
    EXPECT_EQ(static_cast<uint32_t>(log.back().usbdStatus), 0xC0000004u);
}
