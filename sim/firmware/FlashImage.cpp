#include "Firmware.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace orvex::firmware {

namespace {

bool Digit(uint8_t c) { return c >= '0' && c <= '9'; }

}  // namespace

std::string IspVersionText(uint32_t version) {
    const unsigned hi = (version >> 16) & 0xFF, mid = (version >> 8) & 0xFF, lo = version & 0xFF;
    if (hi > 99 || mid > 99 || lo > 99 || version > 0xFFFFFF)
        throw std::invalid_argument("each ISP version byte must be 0..99");
    char text[9];
    std::snprintf(text, sizeof text, "%02u.%02u.%02u", hi, mid, lo);
    return text;
}

Bytes MakeIspImage(const IspOptions& o) {
    if (o.size < 32) throw std::invalid_argument("an ISP image holds at least its header");
    Bytes b = PseudoRandomBytes(o.size, o.seed);
    const char magic[4] = {'O', 'I', 'S', 'P'};
    std::copy(magic, magic + 4, b.begin());
    for (size_t i = 0; i < 4; ++i) b[kIspWindowWordOffset + i] = static_cast<uint8_t>(o.windowWord >> (8 * i));
    // The window's place is W + 832 in 32 bits: a word near 4 GiB wraps it
    // back into the file. The window carries no stray digits, so only the
    // placed text can match.
    const uint64_t start = uint32_t(o.windowWord + kIspWindowDistance);
    for (uint64_t p = start; p < start + kIspWindowBytes + 8 && p < b.size(); ++p)
        if (p >= 32) b[p] = 0;
    if (o.text) {
        for (size_t i = 0; i < o.text->size(); ++i) {
            const uint64_t p = start + o.textOffset + i;
            if (p < b.size()) b[p] = static_cast<uint8_t>((*o.text)[i]);
        }
    }
    return b;
}

Bytes MakeAudImage(const AudOptions& o) {
    if (o.size < 4) throw std::invalid_argument("an audio image holds at least its magic");
    Bytes b = PseudoRandomBytes(o.size, o.seed);
    const char magic[4] = {'O', 'A', 'U', 'D'};
    std::copy(magic, magic + 4, b.begin());
    if (o.size > kAudVersionOffset) b[kAudVersionOffset] = o.version;
    return b;
}

std::optional<uint32_t> DecodeIspVersion(const Bytes& image) {
    const uint64_t start = uint32_t(WordAt(image, kIspWindowWordOffset) + kIspWindowDistance);
    for (uint64_t i = start; i < start + kIspWindowBytes && i + 8 <= image.size(); ++i) {
        const uint8_t* t = image.data() + i;
        if (Digit(t[0]) && Digit(t[1]) && t[2] == '.' && Digit(t[3]) && Digit(t[4]) && t[5] == '.' && Digit(t[6]) &&
            Digit(t[7])) {
            return ((t[0] - '0') * 10u + (t[1] - '0')) << 16 | ((t[3] - '0') * 10u + (t[4] - '0')) << 8 |
                   ((t[6] - '0') * 10u + (t[7] - '0'));
        }
    }
    return std::nullopt;
}

std::optional<uint8_t> DecodeAudVersion(const Bytes& image) {
    if (image.size() <= kAudVersionOffset) return std::nullopt;
    return image[kAudVersionOffset];
}

}  // namespace orvex::firmware
