#include "UsbPcap.h"

#include <vector>

#include <wdm.h>
#include <usb.h>

namespace hosted::usb {
namespace {

void Put16(std::vector<uint8_t>& v, uint16_t x) {
    v.push_back(static_cast<uint8_t>(x));
    v.push_back(static_cast<uint8_t>(x >> 8));
}
void Put32(std::vector<uint8_t>& v, uint32_t x) {
    Put16(v, static_cast<uint16_t>(x));
    Put16(v, static_cast<uint16_t>(x >> 16));
}
void Put64(std::vector<uint8_t>& v, uint64_t x) {
    Put32(v, static_cast<uint32_t>(x));
    Put32(v, static_cast<uint32_t>(x >> 32));
}

}  // namespace

UsbPcapWriter::~UsbPcapWriter() { Close(); }

bool UsbPcapWriter::Open(const std::string& path, int64_t epoch) {
    std::lock_guard lock(mu_);
    if (file_) std::fclose(file_);
    file_ = std::fopen(path.c_str(), "wb");
    if (!file_) return false;
    epoch_ = epoch;
    irpCount_ = 0;
    open_.clear();
    // Nanosecond-resolution pcap: the virtual clock ticks in 100 ns.
    std::vector<uint8_t> h;
    Put32(h, 0xA1B23C4D);
    Put16(h, 2);
    Put16(h, 4);
    Put32(h, 0);  // thiszone
    Put32(h, 0);  // sigfigs
    Put32(h, 65535 + 64);
    Put32(h, kLinkTypeUsbPcap);
    std::fwrite(h.data(), 1, h.size(), file_);
    std::fflush(file_);
    return true;
}

void UsbPcapWriter::Close() {
    std::lock_guard lock(mu_);
    if (file_) std::fclose(file_);
    file_ = nullptr;
}

bool UsbPcapWriter::IsOpen() const {
    std::lock_guard lock(mu_);
    return file_ != nullptr;
}

void UsbPcapWriter::Write(const PcapPacket& p) {
    std::lock_guard lock(mu_);
    if (!file_) return;
    // A request's SETUP record takes the next stable ID; its other records
    // take the same ID, and its completion frees the key, which the host may
    // hand to a later IRP.
    uint64_t irpId;
    auto it = open_.find(p.irpId);
    if (!p.fromDevice && (p.stage == PcapStage::Setup || it == open_.end())) {
        irpId = kCaptureIrpIdBase + 0x10 * irpCount_++;
        open_[p.irpId] = irpId;
    } else if (it != open_.end()) {
        // A later record of the same request (its completion, or a data
        // stage written on its own) carries the request's ID.
        irpId = it->second;
        if (p.fromDevice) open_.erase(it);
    } else {
        irpId = kCaptureIrpIdBase + 0x10 * irpCount_++;  // submitted before the capture began
    }
    // A completed control transfer reads as CONTROL_TRANSFER whatever the
    // driver submitted (descriptor or vendor request); selecting a
    // configuration keeps its own function.
    uint16_t function = p.function;
    if (p.fromDevice && p.transfer == PcapTransfer::Control && p.stage == PcapStage::Complete &&
        function != URB_FUNCTION_SELECT_CONFIGURATION)
        function = URB_FUNCTION_CONTROL_TRANSFER;

    std::vector<uint8_t> rec;
    const bool control = p.transfer == PcapTransfer::Control;
    const uint16_t headerLen = control ? 28 : 27;
    // Packet header of the capture format.
    std::vector<uint8_t> body;
    Put16(body, headerLen);
    Put64(body, irpId);
    Put32(body, static_cast<uint32_t>(p.usbdStatus));
    Put16(body, function);
    body.push_back(p.fromDevice ? 1 : 0);
    Put16(body, p.bus);
    Put16(body, p.device);
    body.push_back(p.endpoint);
    body.push_back(static_cast<uint8_t>(p.transfer));
    Put32(body, static_cast<uint32_t>(p.data.size()));
    if (control) body.push_back(static_cast<uint8_t>(p.stage));
    body.insert(body.end(), p.data.begin(), p.data.end());

    const uint64_t ns = static_cast<uint64_t>(p.time < 0 ? 0 : p.time) * 100;
    Put32(rec, static_cast<uint32_t>(epoch_ + static_cast<int64_t>(ns / 1000000000ULL)));
    Put32(rec, static_cast<uint32_t>(ns % 1000000000ULL));
    Put32(rec, static_cast<uint32_t>(body.size()));
    Put32(rec, static_cast<uint32_t>(body.size()));
    rec.insert(rec.end(), body.begin(), body.end());
    std::fwrite(rec.data(), 1, rec.size(), file_);
    std::fflush(file_);
}

}  // namespace hosted::usb
