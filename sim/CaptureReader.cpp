#include "CaptureReader.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>
#include <map>
#include <tuple>

namespace orvex::sim {
namespace {

constexpr uint32_t kLinkTypeUsbPcap = 249;

struct Reader {
    const std::vector<uint8_t>& b;
    bool swap = false;
    uint32_t U16(size_t at) const {
        return swap ? (b[at] << 8 | b[at + 1]) : (b[at] | b[at + 1] << 8);
    }
    uint32_t U32(size_t at) const {
        return swap ? (uint32_t(b[at]) << 24 | b[at + 1] << 16 | b[at + 2] << 8 | b[at + 3])
                    : (b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24);
    }
};

// USBPcap packet fields are little-endian whatever the file's byte order.
uint32_t Le16(const uint8_t* p) { return p[0] | p[1] << 8; }
uint32_t Le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }

class Pairing {
public:
    explicit Pairing(CaptureContents& out) : out_(out) {}

    // One USBPcap packet at time `ns` (absolute; made relative to the first).
    void Packet(const uint8_t* p, size_t len, int64_t ns) {
        if (first_ < 0) first_ = ns;
        ns -= first_;
        if (len < 27) return;
        const uint32_t headerLen = Le16(p);
        if (headerLen < 27 || headerLen > len) return;
        const uint64_t irp = Le32(p + 2) | uint64_t(Le32(p + 6)) << 32;
        const int32_t status = static_cast<int32_t>(Le32(p + 10));
        const bool fromDevice = (p[16] & 1) != 0;
        const uint16_t bus = static_cast<uint16_t>(Le16(p + 17)), device = static_cast<uint16_t>(Le16(p + 19));
        const uint8_t transfer = p[22];
        if (transfer != 2 || headerLen < 28) return;  // control transfers only
        const uint8_t stage = p[27];
        const uint32_t dataLength = Le32(p + 23);
        const size_t n = std::min<size_t>(dataLength, len - headerLen);
        const uint8_t* data = p + headerLen;
        const auto key = std::make_tuple(bus, device, irp);

        if (!fromDevice && stage == 0) {
            if (n < 8) return;
            CapturedTransfer t;
            t.bus = bus;
            t.device = device;
            t.irpId = irp;
            std::copy(data, data + 8, t.setup.begin());
            t.out.assign(data + 8, data + n);
            t.submitted = ns;
            open_[key] = out_.transfers.size();
            out_.transfers.push_back(std::move(t));
            return;
        }
        auto it = open_.find(key);
        if (it == open_.end()) return;  // completion of a request made before the capture
        CapturedTransfer& t = out_.transfers[it->second];
        if (!fromDevice && stage == 1) {
            t.out.insert(t.out.end(), data, data + n);  // OUT data in a record of its own
        } else if (fromDevice && stage == 1) {
            t.in.assign(data, data + n);                // IN data before the status stage
        } else if (fromDevice && (stage == 3 || stage == 2)) {
            if (stage == 3 && (t.setup[0] & 0x80)) t.in.assign(data, data + n);
            t.usbdStatus = status;
            t.completed = ns;
            open_.erase(it);
        }
    }

private:
    CaptureContents& out_;
    std::map<std::tuple<uint16_t, uint16_t, uint64_t>, size_t> open_;
    int64_t first_ = -1;
};

void ReadPcap(const std::vector<uint8_t>& b, CaptureContents& out) {
    Reader r{b};
    const uint32_t magic = r.U32(0);
    int64_t unitNs = 0;
    if (magic == 0xA1B2C3D4 || magic == 0xA1B23C4D) {
        unitNs = magic == 0xA1B2C3D4 ? 1000 : 1;
    } else {
        r.swap = true;
        const uint32_t m = r.U32(0);
        if (m != 0xA1B2C3D4 && m != 0xA1B23C4D) {
            out.error = "not a pcap or pcapng file";
            return;
        }
        unitNs = m == 0xA1B2C3D4 ? 1000 : 1;
    }
    if (b.size() < 24 || r.U32(20) != kLinkTypeUsbPcap) {
        out.error = "not a USBPcap capture (link type " + std::to_string(b.size() >= 24 ? r.U32(20) : 0) + ")";
        return;
    }
    Pairing pairing(out);
    for (size_t at = 24; at + 16 <= b.size();) {
        const uint32_t len = r.U32(at + 8);
        if (at + 16 + len > b.size()) break;  // a cut-off last record
        const int64_t ns = int64_t(r.U32(at)) * 1'000'000'000 + int64_t(r.U32(at + 4)) * unitNs;
        pairing.Packet(b.data() + at + 16, len, ns);
        at += 16 + len;
    }
}

void ReadPcapng(const std::vector<uint8_t>& b, CaptureContents& out) {
    Reader r{b};
    struct Interface {
        uint32_t linkType;
        double unitNs;  // nanoseconds per time stamp unit
    };
    std::vector<Interface> interfaces;
    Pairing pairing(out);
    for (size_t at = 0; at + 12 <= b.size();) {
        uint32_t type = r.U32(at);
        if (type == 0x0A0D0D0A) {
            // A new section: its own byte order and interfaces.
            const uint32_t bom = Le32(&b[at + 8]);
            r.swap = bom != 0x1A2B3C4D;
            interfaces.clear();
        }
        const uint32_t len = r.U32(at + 4);
        if (len < 12 || at + len > b.size()) {
            if (out.transfers.empty()) out.error = "damaged pcapng block at " + std::to_string(at);
            break;
        }
        if (type == 1 && len >= 20) {  // interface description
            Interface i{r.U16(at + 8), 1000.0};
            for (size_t o = at + 16; o + 4 <= at + len - 4;) {
                const uint32_t code = r.U16(o), olen = r.U16(o + 2);
                if (code == 0) break;
                if (code == 9 && olen >= 1) {  // if_tsresol
                    const uint8_t v = b[o + 4];
                    const double perSecond = (v & 0x80) ? std::pow(2.0, v & 0x7F) : std::pow(10.0, v);
                    i.unitNs = 1e9 / perSecond;
                }
                o += 4 + ((olen + 3) & ~3u);
            }
            interfaces.push_back(i);
        } else if (type == 6 && len >= 32) {  // enhanced packet
            const uint32_t id = r.U32(at + 8);
            const uint64_t ts = uint64_t(r.U32(at + 12)) << 32 | r.U32(at + 16);
            const uint32_t caplen = r.U32(at + 20);
            // caplen is compared with what the block has left after its 28
            // bytes of header, not added to them: the sum wraps in 32 bits.
            if (id < interfaces.size() && interfaces[id].linkType == kLinkTypeUsbPcap && caplen <= len - 28) {
                // A time stamp whose nanoseconds do not fit 64 bits (a huge
                // count or a coarse if_tsresol) cannot be placed in the run;
                // the block is damaged.
                const double ns = static_cast<double>(ts) * interfaces[id].unitNs;
                if (!(ns >= 0 && ns < 9.0e18)) {
                    if (out.transfers.empty()) out.error = "pcapng time stamp out of range at " + std::to_string(at);
                    break;
                }
                pairing.Packet(b.data() + at + 28, caplen, static_cast<int64_t>(ns));
            }
        }
        at += len;
    }
    if (interfaces.empty() && out.transfers.empty() && out.error.empty()) out.error = "no USBPcap interface";
}

}  // namespace

CaptureContents ReadUsbCapture(const std::string& path) {
    CaptureContents out;
    std::ifstream f(path, std::ios::binary);
    if (!f) {
        out.error = "cannot read " + path;
        return out;
    }
    const std::vector<uint8_t> b((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    if (b.size() < 24) {
        out.error = "too short for a capture";
        return out;
    }
    if (Le32(b.data()) == 0x0A0D0D0A)
        ReadPcapng(b, out);
    else
        ReadPcap(b, out);
    return out;
}

std::vector<CapturedTransfer> TransfersOfCamera(const std::vector<CapturedTransfer>& all) {
    std::map<std::pair<uint16_t, uint16_t>, size_t> count;
    std::pair<uint16_t, uint16_t> chosen{0, 0};
    bool found = false;
    for (const auto& t : all) {
        ++count[{t.bus, t.device}];
        if (!found && (t.setup[0] & 0x60) == 0x40 && t.setup[4] == 0x55 && t.setup[5] == 0xAA) {
            chosen = {t.bus, t.device};
            found = true;
        }
    }
    if (!found) {
        size_t best = 0;
        for (const auto& [dev, n] : count)
            if (n > best) best = n, chosen = dev;
    }
    std::vector<CapturedTransfer> out;
    for (const auto& t : all)
        if (t.bus == chosen.first && t.device == chosen.second) out.push_back(t);
    return out;
}

}  // namespace orvex::sim
