#include "SimDescriptors.h"

#include <algorithm>

namespace orvex::sim {
namespace {

void Put16(std::vector<uint8_t>& v, uint16_t x) {
    v.push_back(static_cast<uint8_t>(x));
    v.push_back(static_cast<uint8_t>(x >> 8));
}

void Put24(std::vector<uint8_t>& v, uint32_t x) {
    v.push_back(static_cast<uint8_t>(x));
    v.push_back(static_cast<uint8_t>(x >> 8));
    v.push_back(static_cast<uint8_t>(x >> 16));
}

void Put32(std::vector<uint8_t>& v, uint32_t x) {
    Put16(v, static_cast<uint16_t>(x));
    Put16(v, static_cast<uint16_t>(x >> 16));
}

void Set16(std::vector<uint8_t>& v, size_t at, uint16_t x) {
    v[at] = static_cast<uint8_t>(x);
    v[at + 1] = static_cast<uint8_t>(x >> 8);
}

// UVC frame descriptor (MJPEG 0x07 or uncompressed 0x05) with discrete intervals.
void VideoFrame(std::vector<uint8_t>& v, uint8_t subtype, uint8_t index, uint16_t w, uint16_t h,
                uint8_t bytesPerPixel, std::initializer_list<uint32_t> intervals) {
    const size_t start = v.size();
    v.insert(v.end(), {0, kDescCsInterface, subtype, index, 0x00});
    Put16(v, w);
    Put16(v, h);
    const uint32_t frameBytes = uint32_t(w) * h * bytesPerPixel;
    const uint32_t fastest = *std::min_element(intervals.begin(), intervals.end());
    const uint32_t slowest = *std::max_element(intervals.begin(), intervals.end());
    Put32(v, frameBytes * 8 * (10000000 / slowest));   // dwMinBitRate
    Put32(v, frameBytes * 8 * (10000000 / fastest));   // dwMaxBitRate
    Put32(v, frameBytes);                               // dwMaxVideoFrameBufferSize
    Put32(v, fastest);                                  // dwDefaultFrameInterval
    v.push_back(static_cast<uint8_t>(intervals.size()));
    for (uint32_t i : intervals) Put32(v, i);
    v[start] = static_cast<uint8_t>(v.size() - start);
}

}  // namespace

std::vector<uint8_t> BuildDeviceDescriptor(uint16_t vendorId, uint16_t productId, uint16_t bcdDevice) {
    std::vector<uint8_t> d{18, kDescDevice};
    Put16(d, 0x0200);                 // bcdUSB
    d.insert(d.end(), {0xEF, 0x02, 0x01, 64});  // misc class / common class / IAD, 64-byte EP0
    Put16(d, vendorId);
    Put16(d, productId);
    Put16(d, bcdDevice);
    d.insert(d.end(), {1, 2, 3, 1});  // iManufacturer, iProduct, iSerialNumber, bNumConfigurations
    return d;
}

ConfigBuilder::ConfigBuilder(uint8_t configurationValue, uint8_t attributes, uint8_t maxPower)
    : configValue_(configurationValue), attributes_(attributes), maxPower_(maxPower) {}

ConfigBuilder& ConfigBuilder::Interface(uint8_t number, uint8_t alternate, uint8_t numEndpoints, uint8_t cls,
                                        uint8_t subClass, uint8_t protocol, uint8_t iInterface) {
    body_.insert(body_.end(), {9, kDescInterface, number, alternate, numEndpoints, cls, subClass, protocol,
                               iInterface});
    if (std::find(interfaceNumbers_.begin(), interfaceNumbers_.end(), number) == interfaceNumbers_.end())
        interfaceNumbers_.push_back(number);
    return *this;
}

ConfigBuilder& ConfigBuilder::Endpoint(uint8_t address, uint8_t attributes, uint16_t maxPacket, uint8_t interval) {
    body_.insert(body_.end(), {7, kDescEndpoint, address, attributes});
    Put16(body_, maxPacket);
    body_.push_back(interval);
    return *this;
}

ConfigBuilder& ConfigBuilder::AudioEndpoint(uint8_t address, uint8_t attributes, uint16_t maxPacket,
                                            uint8_t interval) {
    body_.insert(body_.end(), {9, kDescEndpoint, address, attributes});
    Put16(body_, maxPacket);
    body_.insert(body_.end(), {interval, 0, 0});
    return *this;
}

ConfigBuilder& ConfigBuilder::Association(uint8_t firstInterface, uint8_t count, uint8_t cls, uint8_t subClass,
                                          uint8_t protocol) {
    body_.insert(body_.end(), {8, kDescInterfaceAssociation, firstInterface, count, cls, subClass, protocol, 0});
    return *this;
}

ConfigBuilder& ConfigBuilder::Raw(std::initializer_list<uint8_t> bytes) {
    body_.insert(body_.end(), bytes);
    return *this;
}

ConfigBuilder& ConfigBuilder::Raw(const std::vector<uint8_t>& bytes) {
    body_.insert(body_.end(), bytes.begin(), bytes.end());
    return *this;
}

ConfigBuilder& ConfigBuilder::NumInterfaces(uint8_t n) {
    numInterfacesOverride_ = n;
    return *this;
}

std::vector<uint8_t> ConfigBuilder::Build() const {
    std::vector<uint8_t> d{9, kDescConfiguration, 0, 0};
    d.push_back(numInterfacesOverride_ >= 0 ? static_cast<uint8_t>(numInterfacesOverride_)
                                            : static_cast<uint8_t>(interfaceNumbers_.size()));
    d.insert(d.end(), {configValue_, 0, attributes_, maxPower_});
    d.insert(d.end(), body_.begin(), body_.end());
    Set16(d, 2, static_cast<uint16_t>(d.size()));
    return d;
}

std::vector<uint8_t> BuildDefaultConfigDescriptor() {
    ConfigBuilder b(1, 0x80, 250);  // bus powered, 500 mA

    // ---- video function: interfaces 0 (control) and 1 (streaming) ----
    b.Association(0, 2, 0x0E, 0x03, 0x00);
    b.Interface(0, 0, 1, 0x0E, 0x01, 0x00, 2);
    {
        std::vector<uint8_t> vc;
        // VC_HEADER, UVC 1.00, 48 MHz clock, one streaming interface (1)
        vc.insert(vc.end(), {13, kDescCsInterface, 0x01});
        Put16(vc, 0x0100);
        Put16(vc, 0);  // wTotalLength, fixed below
        Put32(vc, 48000000);
        vc.insert(vc.end(), {1, 1});
        // camera terminal 1
        vc.insert(vc.end(), {18, kDescCsInterface, 0x02, 1});
        Put16(vc, 0x0201);
        vc.insert(vc.end(), {0, 0});
        Put16(vc, 0);
        Put16(vc, 0);
        Put16(vc, 0);
        vc.insert(vc.end(), {3, 0x0E, 0x00, 0x00});  // exposure, focus controls
        // processing unit 2 fed by 1
        vc.insert(vc.end(), {12, kDescCsInterface, 0x05, 2, 1});
        Put16(vc, 0x4000);
        vc.insert(vc.end(), {2, 0x7F, 0x15, 0, 0});
        // extension unit 3 fed by 2
        vc.insert(vc.end(), {27, kDescCsInterface, 0x06, 3});
        for (int i = 0; i < 16; ++i) vc.push_back(static_cast<uint8_t>(0x5A ^ (i * 37)));
        vc.insert(vc.end(), {8, 1, 2, 2, 0xFF, 0x00, 0});
        // output terminal 4 (USB streaming) fed by 3
        vc.insert(vc.end(), {9, kDescCsInterface, 0x03, 4});
        Put16(vc, 0x0101);
        vc.insert(vc.end(), {0, 3, 0});
        Set16(vc, 5, static_cast<uint16_t>(vc.size()));
        b.Raw(vc);
    }
    b.Endpoint(0x83, 0x03, 16, 8);
    b.Raw({5, kDescCsEndpoint, 0x03, 16, 0});

    b.Interface(1, 0, 0, 0x0E, 0x02, 0x00);
    {
        std::vector<uint8_t> vs;
        // VS_INPUT_HEADER: two formats, endpoint 0x81, terminal link 4
        vs.insert(vs.end(), {15, kDescCsInterface, 0x01, 2});
        Put16(vs, 0);  // wTotalLength, fixed below
        vs.insert(vs.end(), {0x81, 0, 4, 0, 0, 0, 1, 0x00, 0x00});
        // MJPEG format with four frames
        vs.insert(vs.end(), {11, kDescCsInterface, 0x06, 1, 4, 0x01, 1, 0, 0, 0, 0});
        VideoFrame(vs, 0x07, 1, 1920, 1080, 2, {333333, 666666, 1000000});
        VideoFrame(vs, 0x07, 2, 1280, 720, 2, {333333, 666666, 1000000});
        VideoFrame(vs, 0x07, 3, 640, 480, 2, {333333, 666666, 1000000});
        VideoFrame(vs, 0x07, 4, 320, 240, 2, {333333, 666666, 1000000});
        // YUY2 uncompressed format with two frames
        vs.insert(vs.end(), {27, kDescCsInterface, 0x04, 2, 2, 0x59, 0x55, 0x59, 0x32, 0x00, 0x00, 0x10, 0x00,
                             0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71, 16, 1, 0, 0, 0, 0});
        VideoFrame(vs, 0x05, 1, 640, 480, 2, {333333, 666666, 1000000});
        VideoFrame(vs, 0x05, 2, 320, 240, 2, {333333, 666666, 1000000});
        // colour matching
        vs.insert(vs.end(), {6, kDescCsInterface, 0x0D, 1, 1, 4});
        Set16(vs, 4, static_cast<uint16_t>(vs.size()));
        b.Raw(vs);
    }
    // isochronous alternate settings: 512, 2 x 800, 3 x 1024 bytes per microframe
    const uint16_t isoSizes[] = {0x0200, 0x0B20, 0x1400};
    for (uint8_t alt = 1; alt <= 3; ++alt) {
        b.Interface(1, alt, 1, 0x0E, 0x02, 0x00);
        b.Endpoint(0x81, 0x05, isoSizes[alt - 1], 1);
    }

    // ---- audio function: interfaces 2 (control) and 3 (streaming) ----
    b.Association(2, 2, 0x01, 0x00, 0x00);
    b.Interface(2, 0, 0, 0x01, 0x01, 0x00);
    {
        std::vector<uint8_t> ac;
        ac.insert(ac.end(), {9, kDescCsInterface, 0x01});
        Put16(ac, 0x0100);
        Put16(ac, 0);  // wTotalLength, fixed below
        ac.insert(ac.end(), {1, 3});
        // microphone input terminal 1, mono
        ac.insert(ac.end(), {12, kDescCsInterface, 0x02, 1});
        Put16(ac, 0x0201);
        ac.insert(ac.end(), {0, 1, 0, 0, 0, 0});
        // feature unit 2 (mute, volume)
        ac.insert(ac.end(), {9, kDescCsInterface, 0x06, 2, 1, 1, 0x03, 0x00, 0});
        // output terminal 3 (USB streaming)
        ac.insert(ac.end(), {9, kDescCsInterface, 0x03, 3});
        Put16(ac, 0x0101);
        ac.insert(ac.end(), {0, 2, 0});
        Set16(ac, 5, static_cast<uint16_t>(ac.size()));
        b.Raw(ac);
    }
    b.Interface(3, 0, 0, 0x01, 0x02, 0x00);
    b.Interface(3, 1, 1, 0x01, 0x02, 0x00);
    b.Raw({7, kDescCsInterface, 0x01, 3, 1, 0x01, 0x00});
    {
        std::vector<uint8_t> fmt{11, kDescCsInterface, 0x02, 1, 1, 2, 16, 1};
        Put24(fmt, 48000);
        b.Raw(fmt);
    }
    b.AudioEndpoint(0x84, 0x05, 96, 4);
    b.Raw({7, kDescCsEndpoint, 0x01, 0x01, 0, 0, 0});
    return b.Build();
}

}  // namespace orvex::sim
