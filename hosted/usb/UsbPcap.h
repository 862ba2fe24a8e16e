// Writes USB traffic as a pcap file of link type USBPCAP (249), laid out the
// way the Windows USB packet capture records it: a 27-byte packet header
// (plus the control stage byte for control transfers), then the data.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <span>
#include <string>

namespace hosted::usb {

inline constexpr uint32_t kLinkTypeUsbPcap = 249;

// Transfer types of the packet header.
enum class PcapTransfer : uint8_t { Isochronous = 0, Interrupt = 1, Control = 2, Bulk = 3 };
// Control transfer stages.
enum class PcapStage : uint8_t { Setup = 0, Data = 1, Status = 2, Complete = 3 };

struct PcapPacket {
    int64_t time = 0;          // 100-ns units since the start of the run
    uint64_t irpId = 0;        // pairs a request with its completion
    int32_t usbdStatus = 0;    // the URB's status (on completion)
    uint16_t function = 0;     // URB function
    bool fromDevice = false;   // the IRP travels PDO -> FDO (a completion)
    uint16_t bus = 1;
    uint16_t device = 1;
    uint8_t endpoint = 0;      // endpoint number with bit 7 = IN
    PcapTransfer transfer = PcapTransfer::Control;
    PcapStage stage = PcapStage::Setup;  // control transfers only
    std::span<const uint8_t> data;
};

class UsbPcapWriter {
public:
    UsbPcapWriter() = default;
    ~UsbPcapWriter();
    UsbPcapWriter(const UsbPcapWriter&) = delete;
    UsbPcapWriter& operator=(const UsbPcapWriter&) = delete;

    // Creates (truncates) the file and writes the file header; false on error.
    bool Open(const std::string& path);
    void Close();
    bool IsOpen() const;
    void Write(const PcapPacket& packet);

private:
    mutable std::mutex mu_;
    std::FILE* file_ = nullptr;
};

}  // namespace hosted::usb
