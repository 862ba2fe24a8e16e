// Writes USB traffic as a pcap file of link type USBPCAP (249), laid out the
// way the Windows USB packet capture records it: a 27-byte packet header
// (plus the control stage byte for control transfers), then the data.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <span>
#include <string>
#include <unordered_map>

namespace hosted::usb {

inline constexpr uint32_t kLinkTypeUsbPcap = 249;
// Wall-clock time of virtual time 0 in a capture, in seconds since
// 1970-01-01 UTC: 2024-01-01 00:00:00 UTC. A fixed start keeps two captures
// of the same run identical byte for byte.
inline constexpr int64_t kDefaultCaptureEpoch = 1704067200;
// IRP IDs in a capture: the n-th IRP seen gets kCaptureIrpIdBase + n * 0x10,
// a kernel-looking address that does not depend on where the host put the IRP.
inline constexpr uint64_t kCaptureIrpIdBase = 0xFFFFA00000001000ULL;

// Transfer types of the packet header.
enum class PcapTransfer : uint8_t { Isochronous = 0, Interrupt = 1, Control = 2, Bulk = 3 };
// Control transfer stages.
enum class PcapStage : uint8_t { Setup = 0, Data = 1, Status = 2, Complete = 3 };

struct PcapPacket {
    int64_t time = 0;          // 100-ns units since the start of the run
    uint64_t irpId = 0;        // pairs a request with its completion (any host key,
                               // e.g. the IRP's address; the file holds a stable ID)
    int32_t usbdStatus = 0;    // the URB's status (on completion)
    uint16_t function = 0;     // URB function as submitted (a control completion
                               // is recorded as URB_FUNCTION_CONTROL_TRANSFER)
    bool fromDevice = false;   // the IRP travels PDO -> FDO (a completion)
    uint16_t bus = 1;
    uint16_t device = 1;
    uint8_t endpoint = 0;      // endpoint number with bit 7 = IN
    PcapTransfer transfer = PcapTransfer::Control;
    PcapStage stage = PcapStage::Setup;  // control transfers only
    // Setup stage: the 8 setup bytes followed by the OUT data, as one record.
    // Complete stage: the IN data delivered.
    std::span<const uint8_t> data;
};

class UsbPcapWriter {
public:
    UsbPcapWriter() = default;
    ~UsbPcapWriter();
    UsbPcapWriter(const UsbPcapWriter&) = delete;
    UsbPcapWriter& operator=(const UsbPcapWriter&) = delete;

    // Creates (truncates) the file and writes the file header; false on error.
    // `epoch` is the wall-clock second (since 1970 UTC) of virtual time 0.
    bool Open(const std::string& path, int64_t epoch = kDefaultCaptureEpoch);
    void Close();
    bool IsOpen() const;
    void Write(const PcapPacket& packet);

private:
    mutable std::mutex mu_;
    std::FILE* file_ = nullptr;
    int64_t epoch_ = kDefaultCaptureEpoch;
    uint64_t irpCount_ = 0;
    // Host key -> capture IRP ID of the requests submitted and not completed.
    std::unordered_map<uint64_t, uint64_t> open_;
};

}  // namespace hosted::usb
