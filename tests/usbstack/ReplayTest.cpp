// Replaying a recorded camera: the capture reader (our pcap layout, the
// older separate-data layout, pcapng with several interfaces, devices and
// IRPs outstanding at once) and the replay device's matching, timing and
// divergence report.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "CaptureReader.h"
#include "ReplayDevice.h"
#include "UsbPcap.h"

using namespace orvex::sim;
using hosted::usb::PcapPacket;
using hosted::usb::PcapStage;
using hosted::usb::SetupPacket;
using hosted::usb::UsbPcapWriter;

namespace {

using Bytes = std::vector<uint8_t>;

std::string TempPath(const char* name) {
    return ::testing::TempDir() + "orvex_replay_" + std::to_string(::getpid()) + "_" + name;
}

Bytes SetupBytes(uint8_t bm, uint8_t request, uint16_t value, uint16_t length, uint16_t index = 0xAA55) {
    const auto b = SetupPacket{bm, request, value, index, length}.Bytes();
    return Bytes(b.begin(), b.end());
}

// One USBPcap packet (header with the control stage byte, then data).
Bytes UsbPcapPacket(uint64_t irp, bool fromDevice, uint16_t device, uint8_t stage, const Bytes& data,
                    int32_t status = 0) {
    Bytes p(28);
    p[0] = 28;
    for (int i = 0; i < 8; ++i) p[2 + i] = uint8_t(irp >> (8 * i));
    for (int i = 0; i < 4; ++i) p[10 + i] = uint8_t(uint32_t(status) >> (8 * i));
    p[14] = 0x08;
    p[16] = fromDevice ? 1 : 0;
    p[17] = 1;  // bus 1
    p[19] = uint8_t(device);
    p[22] = 2;  // control
    for (int i = 0; i < 4; ++i) p[23 + i] = uint8_t(data.size() >> (8 * i));
    p[27] = stage;
    p.insert(p.end(), data.begin(), data.end());
    return p;
}

void Put32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
}

// A pcapng block: type, length, body padded to 4, length.
void Block(Bytes& f, uint32_t type, Bytes body) {
    while (body.size() % 4) body.push_back(0);
    Put32(f, type);
    Put32(f, uint32_t(body.size() + 12));
    f.insert(f.end(), body.begin(), body.end());
    Put32(f, uint32_t(body.size() + 12));
}

void Epb(Bytes& f, uint32_t iface, uint64_t ts, const Bytes& packet) {
    Bytes body;
    Put32(body, iface);
    Put32(body, uint32_t(ts >> 32));
    Put32(body, uint32_t(ts));
    Put32(body, uint32_t(packet.size()));
    Put32(body, uint32_t(packet.size()));
    body.insert(body.end(), packet.begin(), packet.end());
    Block(f, 6, body);
}

// A pcapng section header, then (if asked) an Ethernet interface with the
// default microseconds, then a USBPcap interface with if_tsresol `tsresol`.
Bytes Section(uint8_t tsresol, bool ethernetFirst) {
    Bytes f, shb;
    Put32(shb, 0x1A2B3C4D);
    shb.push_back(1), shb.push_back(0), shb.push_back(0), shb.push_back(0);  // version 1.0
    for (int i = 0; i < 8; ++i) shb.push_back(0xFF);                          // section length unknown
    Block(f, 0x0A0D0D0A, shb);
    if (ethernetFirst) Block(f, 1, {1, 0, 0, 0, 0, 0, 1, 0});
    Block(f, 1, {249, 0, 0, 0, 0, 0, 1, 0, 9, 0, 1, 0, tsresol, 0, 0, 0, 0, 0, 0, 0});
    return f;
}

CaptureContents Read(const Bytes& f, const char* name) {
    const std::string path = TempPath(name);
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(f.data()), std::streamsize(f.size()));
    CaptureContents c = ReadUsbCapture(path);
    std::remove(path.c_str());
    return c;
}

TEST(CaptureReader, PcapngWithSeveralInterfacesDevicesAndOutstandingIrps) {
    Bytes f = Section(9, true);  // nanoseconds
    Epb(f, 0, 5, Bytes(60, 0xEE));                              // not USB: skipped
    const Bytes version = SetupBytes(0xC0, 0xB0, 0, 12), page = SetupBytes(0x40, 0xB2, 3, 4);
    Epb(f, 1, 1000, UsbPcapPacket(0xA0, false, 7, 0, version));  // camera at address 7
    Epb(f, 1, 1100, UsbPcapPacket(0xA0, false, 3, 0, SetupBytes(0x80, 0x06, 0x0100, 18, 0)));  // another device, same IRP ID
    Bytes pageAndData = page;
    for (uint8_t b : {1, 2, 3, 4}) pageAndData.push_back(b);
    Epb(f, 1, 1200, UsbPcapPacket(0xB0, false, 7, 0, pageAndData));
    Epb(f, 1, 1500, UsbPcapPacket(0xB0, true, 7, 3, {}));        // completes before the first
    Epb(f, 1, 1800, UsbPcapPacket(0xA0, true, 7, 3, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0xAA, 0x55}));
    Epb(f, 1, 1900, UsbPcapPacket(0xA0, true, 3, 3, Bytes(18, 0x12), 0xC0000004));
    const CaptureContents c = Read(f, "multi.pcapng");
    ASSERT_EQ(c.error, "");
    ASSERT_EQ(c.transfers.size(), 3u);
    EXPECT_EQ(c.transfers[0].device, 7);
    EXPECT_EQ(c.transfers[0].in.size(), 12u);
    EXPECT_EQ(c.transfers[0].completed - c.transfers[0].submitted, 800);
    EXPECT_EQ(c.transfers[1].device, 3);
    EXPECT_EQ(c.transfers[1].usbdStatus, int32_t(0xC0000004));
    EXPECT_EQ(c.transfers[2].out, (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(c.transfers[2].submitted, 200);  // relative to the first USB record
    // The camera is the device with the command set's requests.
    const auto camera = TransfersOfCamera(c.transfers);
    ASSERT_EQ(camera.size(), 2u);
    EXPECT_EQ(camera[0].device, 7);
}

// Hostile pcapng blocks found by fuzzing the reader: a time stamp whose
// nanoseconds overflow 64 bits (if_tsresol 0: one unit per second) ends the
// read as damaged, and a captured length near 4 GiB, which wraps when added
// to the block header, is not believed (the packet would be read past the
// file).
TEST(CaptureReader, PcapngTimeStampOverflowAndWrappingCapturedLength) {
    const Bytes version = SetupBytes(0xC0, 0xB0, 0, 12);

    Bytes slow = Section(0, false);
    Epb(slow, 0, 0xFFFFFFFFFFFFull, UsbPcapPacket(0xA0, false, 7, 0, version));
    const CaptureContents c1 = Read(slow, "tsoverflow.pcapng");
    EXPECT_EQ(c1.error, "pcapng time stamp out of range at 60");
    EXPECT_TRUE(c1.transfers.empty());

    // A setup record announcing 64 KiB of data, in a block whose captured
    // length claims 0xFFFFFFF0 bytes.
    Bytes wrap = Section(9, false);
    Bytes packet = UsbPcapPacket(0xA0, false, 7, 0, version);
    packet[23] = 0, packet[24] = 0, packet[25] = 1;  // dataLength 0x10000
    Epb(wrap, 0, 1000, packet);
    const size_t caplen = 60 + 20;  // section and interface blocks, then the EPB's caplen field
    for (int i = 0; i < 4; ++i) wrap[caplen + i] = uint8_t(0xFFFFFFF0u >> (8 * i));
    const CaptureContents c2 = Read(wrap, "caplenwrap.pcapng");
    EXPECT_TRUE(c2.transfers.empty());
}

// Our own writer's layout, and the older one with the OUT data in a DATA
// record of its own; a file that is no capture is refused with a reason.
TEST(CaptureReader, ClassicPcapInBothOutLayouts) {
    const std::string path = TempPath("classic.pcap");
    {
        UsbPcapWriter w;
        ASSERT_TRUE(w.Open(path));
        const Bytes setup = SetupBytes(0x40, 0xB1, 0, 2);
        Bytes together = setup;
        together.push_back(0xAA), together.push_back(0x55);
        PcapPacket p;
        p.irpId = 1;
        p.data = together;
        w.Write(p);  // setup and data in one record
        p.irpId = 2;
        p.time = 50;
        p.data = setup;
        w.Write(p);  // setup alone, then a DATA record
        p.stage = PcapStage::Data;
        const Bytes data = {0xAA, 0x55};
        p.data = data;
        w.Write(p);
        for (uint64_t irp : {1, 2}) {
            PcapPacket c;
            c.irpId = irp;
            c.time = 100;
            c.fromDevice = true;
            c.stage = PcapStage::Complete;
            w.Write(c);
        }
    }
    const CaptureContents c = ReadUsbCapture(path);
    ASSERT_EQ(c.error, "");
    ASSERT_EQ(c.transfers.size(), 2u);
    for (const auto& t : c.transfers) EXPECT_EQ(t.out, (Bytes{0xAA, 0x55}));
    EXPECT_EQ(c.transfers[1].submitted, 5000);  // 50 units of 100 ns
    std::ofstream(path, std::ios::binary) << std::string(64, 'x');
    EXPECT_EQ(ReadUsbCapture(path).error, "not a pcap or pcapng file");
    std::remove(path.c_str());
}

CapturedTransfer Recorded(const Bytes& setup, Bytes in = {}, int64_t start = 0, int64_t durationNs = 125'000,
                          int32_t status = 0) {
    CapturedTransfer t;
    std::copy(setup.begin(), setup.end(), t.setup.begin());
    t.in = std::move(in);
    t.submitted = start;
    t.completed = start + durationNs;
    t.usbdStatus = status;
    return t;
}

hosted::usb::ControlResult Ask(ReplayDevice& d, const Bytes& setup, Bytes* data) {
    data->assign(SetupPacket::FromBytes(setup.data()).wLength + 1, 0);
    return d.Control(SetupPacket::FromBytes(setup.data()), data->data());
}

TEST(ReplayDevice, AnswersInRecordedOrderWithRecordedTimesAndStalls) {
    const Bytes version = SetupBytes(0xC0, 0xB0, 0, 12), status = SetupBytes(0xC0, 0xB8, 0, 1);
    const Bytes cfgHead = SetupBytes(0x80, 0x06, 0x0200, 9, 0), cfgAll = SetupBytes(0x80, 0x06, 0x0200, 34, 0);
    std::vector<int64_t> waits;
    ReplayDevice d({Recorded(cfgHead, Bytes(9, 0x09)), Recorded(cfgAll, Bytes(34, 0x22)),
                    Recorded(version, Bytes(12, 0x01), 0, 2'000'000), Recorded(status, {}, 0, 125'000, 0xC0000004),
                    Recorded(version, Bytes(12, 0x02))},
                   [&](int64_t units) { waits.push_back(units); });
    Bytes data;
    // Standard requests: matched by setup packet, the same wLength first.
    EXPECT_EQ(Ask(d, cfgAll, &data).length, 34u);
    EXPECT_EQ(data[0], 0x22);
    EXPECT_EQ(Ask(d, cfgHead, &data).length, 9u);
    EXPECT_EQ(d.ConfigurationDescriptor().size(), 34u);
    // Vendor requests in order; the recorded stall is replayed as a stall.
    EXPECT_EQ(Ask(d, version, &data).length, 12u);
    EXPECT_EQ(data[0], 0x01);
    EXPECT_TRUE(Ask(d, status, &data).stalled);
    EXPECT_EQ(Ask(d, version, &data).length, 12u);
    EXPECT_EQ(data[0], 0x02);
    // 2 ms recorded, of which the bus's own 8 + 12 bytes take the rest.
    ASSERT_EQ(waits.size(), 1u);
    EXPECT_EQ(waits[0], 20000 - hosted::usb::BusTiming{}.Cost(20));
    EXPECT_FALSE(d.FirstDivergence());
    // The recording has ended: the next vendor request diverges.
    EXPECT_TRUE(Ask(d, version, &data).stalled);
    ASSERT_TRUE(d.FirstDivergence());
    EXPECT_EQ(ReplayDevice::Describe(*d.FirstDivergence()),
              "vendor request #4: received C0 B0 00 00 55 AA 0C 00, the recording holds no more vendor requests");
}

TEST(ReplayDevice, FirstDivergentRequestIsKeptAndEverythingAfterStalls) {
    const Bytes version = SetupBytes(0xC0, 0xB0, 0, 12), start = SetupBytes(0x40, 0xB1, 0, 2),
                read = SetupBytes(0xC0, 0xB3, 0, 1024);
    ReplayDevice d({Recorded(version, Bytes(12, 1)), Recorded(start), Recorded(version, Bytes(12, 1))}, nullptr);
    Bytes data;
    EXPECT_FALSE(Ask(d, version, &data).stalled);
    EXPECT_TRUE(Ask(d, read, &data).stalled);
    EXPECT_TRUE(Ask(d, start, &data).stalled) << "after a divergence nothing is answered";
    EXPECT_EQ(d.VendorReplayed(), 1u);
    ASSERT_TRUE(d.FirstDivergence());
    EXPECT_EQ(ReplayDevice::Describe(*d.FirstDivergence()),
              "vendor request #2: received C0 B3 00 00 55 AA 00 04, the recording holds 40 B1 00 00 55 AA 02 00");
}

}  // namespace
