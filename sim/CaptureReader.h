// Reads the control transfers out of a USB capture in the USBPcap packet
// format (link type 249): classic pcap (micro- or nanosecond time stamps,
// either byte order) and pcapng (several sections and interfaces; only the
// USBPcap interfaces are read). A transfer is its SETUP record paired with
// its completion by bus, device address and IRP ID, so several devices and
// several IRPs may be outstanding at once. OUT data is taken from the SETUP
// record (8 + n bytes) or, as older writers do, from a separate DATA record
// of the same IRP towards the device.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace orvex::sim {

struct CapturedTransfer {
    uint16_t bus = 0;
    uint16_t device = 0;
    uint64_t irpId = 0;
    std::array<uint8_t, 8> setup{};
    std::vector<uint8_t> out;      // OUT data stage
    std::vector<uint8_t> in;       // IN data delivered
    int32_t usbdStatus = 0;        // of the completion
    int64_t submitted = 0;         // ns since the capture's first record
    int64_t completed = -1;        // -1: no completion in the capture
};

struct CaptureContents {
    std::vector<CapturedTransfer> transfers;  // in order of submission
    std::string error;                        // "" when the file was read
};

CaptureContents ReadUsbCapture(const std::string& path);

// The transfers of the device to replay: the one that receives vendor
// requests with wIndex 0xAA55, else the device with the most transfers.
std::vector<CapturedTransfer> TransfersOfCamera(const std::vector<CapturedTransfer>& all);

}  // namespace orvex::sim
