// Standard USB descriptors of the simulated camera, and a small builder for
// hand-made configuration descriptors in tests.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

namespace orvex::sim {

// Descriptor type codes (USB 2.0 chapter 9, plus the audio/video class ones).
inline constexpr uint8_t kDescDevice = 0x01;
inline constexpr uint8_t kDescConfiguration = 0x02;
inline constexpr uint8_t kDescString = 0x03;
inline constexpr uint8_t kDescInterface = 0x04;
inline constexpr uint8_t kDescEndpoint = 0x05;
inline constexpr uint8_t kDescInterfaceAssociation = 0x0B;
inline constexpr uint8_t kDescCsInterface = 0x24;
inline constexpr uint8_t kDescCsEndpoint = 0x25;

// 18-byte standard device descriptor of a composite (IAD) device, bcdUSB 2.00,
// 64-byte control endpoint, one configuration.
std::vector<uint8_t> BuildDeviceDescriptor(uint16_t vendorId, uint16_t productId, uint16_t bcdDevice);

// The camera's default configuration: a UVC function (video control with an
// interrupt endpoint, video streaming with MJPEG and YUY2 formats and three
// isochronous alternate settings) and a UAC function (audio control, audio
// streaming with one isochronous alternate setting), each behind an interface
// association. Interfaces 0..3, bConfigurationValue 1, wTotalLength well above
// 521 bytes.
std::vector<uint8_t> BuildDefaultConfigDescriptor();

// Builds a configuration descriptor from pieces and fixes up wTotalLength
// (and bNumInterfaces unless given explicitly).
class ConfigBuilder {
public:
    explicit ConfigBuilder(uint8_t configurationValue = 1, uint8_t attributes = 0x80, uint8_t maxPower = 250);

    ConfigBuilder& Interface(uint8_t number, uint8_t alternate, uint8_t numEndpoints, uint8_t cls,
                             uint8_t subClass, uint8_t protocol, uint8_t iInterface = 0);
    // 7-byte endpoint descriptor; attributes 0 control, 1 iso, 2 bulk, 3 interrupt.
    ConfigBuilder& Endpoint(uint8_t address, uint8_t attributes, uint16_t maxPacket, uint8_t interval);
    // 9-byte audio-class endpoint descriptor (bRefresh, bSynchAddress).
    ConfigBuilder& AudioEndpoint(uint8_t address, uint8_t attributes, uint16_t maxPacket, uint8_t interval);
    ConfigBuilder& Association(uint8_t firstInterface, uint8_t count, uint8_t cls, uint8_t subClass,
                               uint8_t protocol);
    // Any descriptor given whole (its first byte should be its length).
    ConfigBuilder& Raw(std::initializer_list<uint8_t> bytes);
    ConfigBuilder& Raw(const std::vector<uint8_t>& bytes);
    // Overrides the bNumInterfaces byte (default: number of distinct interface numbers).
    ConfigBuilder& NumInterfaces(uint8_t n);

    std::vector<uint8_t> Build() const;

private:
    uint8_t configValue_, attributes_, maxPower_;
    int numInterfacesOverride_ = -1;
    std::vector<uint8_t> body_;
    std::vector<uint8_t> interfaceNumbers_;
};

}  // namespace orvex::sim
