#include "Firmware.h"

#include <algorithm>
#include <stdexcept>

namespace orvex::firmware {

namespace {

void PutWord(Bytes& b, uint32_t w) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(w >> (8 * i)));
}

void SetWord(Bytes& b, size_t pos, uint32_t w) {
    for (size_t i = 0; i < 4; ++i) b.at(pos + i) = static_cast<uint8_t>(w >> (8 * i));
}

constexpr std::array<uint8_t, 8> kSerialPattern{0x1C, 0x03, 0x4B, 0x00, 0x56, 0x00, 0x54, 0x00};

}  // namespace

uint32_t WordAt(const Bytes& b, size_t pos) {
    uint32_t w = 0;
    for (size_t i = 0; i < 4; ++i) {
        const uint8_t byte = pos + i < b.size() ? b[pos + i] : 0xFF;
        w |= static_cast<uint32_t>(byte) << (8 * i);
    }
    return w;
}

Bytes PseudoRandomBytes(size_t count, uint32_t seed) {
    Bytes out(count);
    uint64_t x = 0x9E3779B97F4A7C15ULL ^ (static_cast<uint64_t>(seed) * 0xD1B54A32D192ED03ULL);
    for (size_t i = 0; i < count; ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        out[i] = static_cast<uint8_t>(x >> 24);
    }
    return out;
}

Bytes BuildFx3Image(const Fx3ImageSpec& spec) {
    Bytes b{0x43, 0x59, spec.control, spec.type};
    uint32_t sum = 0;
    for (const auto& s : spec.sections) {
        Bytes data = s.data;
        data.resize((data.size() + 3) / 4 * 4, 0);
        PutWord(b, static_cast<uint32_t>(data.size() / 4));
        PutWord(b, s.address);
        for (size_t i = 0; i < data.size(); i += 4) sum += WordAt(data, i);
        b.insert(b.end(), data.begin(), data.end());
    }
    PutWord(b, 0);
    PutWord(b, spec.entry);
    PutWord(b, spec.checksumOverride.value_or(sum));
    b.insert(b.end(), spec.trailer.begin(), spec.trailer.end());
    return b;
}

Bytes SerialDescriptor(const std::string& serial10) {
    if (serial10.size() != kSerialChars) throw std::invalid_argument("serial must have ten characters");
    Bytes d{0x1C, 0x03, 'K', 0, 'V', 0, 'T', 0};
    for (char c : serial10) {
        d.push_back(static_cast<uint8_t>(c));
        d.push_back(0);
    }
    return d;
}

Bytes Fx3VersionMarker(std::array<uint8_t, 3> version) {
    return Bytes{'F', 'X', '3', 'V', 'E', 'R', ':', version[0], version[1], version[2]};
}

Bytes MakeFx3Image(const Fx3Options& o) {
    if (o.size < 28) throw std::invalid_argument("an FX3 image with a section needs 28 bytes");
    // header 4 + end marker/entry/checksum 12; each section adds 8 + 4 * words.
    size_t body = o.size - 16;
    const size_t trailer = body % 4;
    body -= trailer;
    Fx3ImageSpec spec;
    spec.control = o.control;
    uint32_t seed = o.seed;
    while (body >= 12) {
        size_t words = std::min<size_t>((body - 8) / 4, kFx3MaxSectionWords);
        // Never leave a remainder too small for one more section.
        const size_t rest = body - 8 - 4 * words;
        if (rest != 0 && rest < 12) words -= (12 - rest + 3) / 4;
        Fx3Section s;
        s.address = 0x40000000 + static_cast<uint32_t>(o.size - body);
        s.data = PseudoRandomBytes(4 * words, seed++);
        spec.sections.push_back(std::move(s));
        body -= 8 + 4 * words;
    }
    if (body != 0) throw std::logic_error("FX3 layout did not close");
    Bytes& first = spec.sections.front().data;
    Bytes extras;
    if (o.serial) {
        Bytes d = SerialDescriptor(*o.serial);
        extras.insert(extras.end(), d.begin(), d.end());
    }
    Bytes marker = Fx3VersionMarker(o.version);
    extras.insert(extras.end(), marker.begin(), marker.end());
    if (o.serialOffset + extras.size() <= first.size()) {
        std::copy(extras.begin(), extras.end(), first.begin() + static_cast<std::ptrdiff_t>(o.serialOffset));
    }
    spec.trailer = PseudoRandomBytes(trailer, seed);
    Bytes image = BuildFx3Image(spec);
    if (image.size() != o.size) throw std::logic_error("FX3 image size mismatch");
    return image;
}

Fx3Layout ParseFx3Image(const Bytes& image) {
    Fx3Layout l;
    l.header = WordAt(image, 0);
    if (l.header != 0xB01C5943 && l.header != 0xB02C5943 && l.header != 0xB03C5943) {
        l.error = "header";
        return l;
    }
    size_t pos = 4;
    uint32_t sum = 0;
    for (;;) {
        const uint32_t words = WordAt(image, pos);
        if (words > kFx3MaxSectionWords) {
            l.error = "section too long";
            return l;
        }
        if (words == 0) {
            l.endMarkerOffset = pos;
            l.entry = WordAt(image, pos + 4);
            l.computedChecksum = sum;
            if (pos + 12 > image.size()) {
                l.error = "truncated checksum";
                return l;
            }
            l.storedChecksum = WordAt(image, pos + 8);
            l.valid = l.storedChecksum == sum;
            if (!l.valid) l.error = "checksum";
            return l;
        }
        const size_t end = pos + 8 + 4 * static_cast<size_t>(words);
        if (end >= image.size()) {
            l.error = "section beyond file";
            return l;
        }
        l.sections.push_back({pos, words, WordAt(image, pos + 4)});
        for (size_t p = pos + 8; p < end; p += 4) sum += WordAt(image, p);
        pos = end;
    }
}

std::optional<std::array<uint8_t, 3>> FindFx3Version(const Bytes& image) {
    static const std::string key = "FX3VER:";
    auto it = std::search(image.begin(), image.end(), key.begin(), key.end());
    if (it == image.end() || image.end() - it < 10) return std::nullopt;
    const size_t p = static_cast<size_t>(it - image.begin()) + key.size();
    return std::array<uint8_t, 3>{image[p], image[p + 1], image[p + 2]};
}

uint32_t Fx3VersionNumber(std::array<uint8_t, 3> v) { return (v[0] * 100u + v[1]) * 100u + v[2]; }

std::optional<SerialInfo> FindSerial(const Bytes& image) {
    if (image.size() < kSerialDescriptorBytes) return std::nullopt;
    for (size_t i = 0; i + kSerialDescriptorBytes <= image.size(); ++i) {
        if (std::equal(kSerialPattern.begin(), kSerialPattern.end(), image.begin() + static_cast<std::ptrdiff_t>(i))) {
            SerialInfo s{i, {}, Bytes(image.begin() + static_cast<std::ptrdiff_t>(i + 8),
                                      image.begin() + static_cast<std::ptrdiff_t>(i + 28))};
            for (size_t k = 0; k < kSerialChars; ++k) s.serial.push_back(static_cast<char>(s.raw[2 * k]));
            return s;
        }
    }
    return std::nullopt;
}

Bytes WithSerial(Bytes image, const std::string& serial10) {
    auto found = FindSerial(image);
    if (!found) throw std::invalid_argument("image has no serial descriptor");
    Bytes d = SerialDescriptor(serial10);
    std::copy(d.begin() + 8, d.end(), image.begin() + static_cast<std::ptrdiff_t>(found->position + 8));
    Fx3Layout l = ParseFx3Image(image);
    if (l.endMarkerOffset == 0) throw std::invalid_argument("image layout broken by the serial");
    SetWord(image, l.endMarkerOffset + 8, l.computedChecksum);
    return image;
}

}  // namespace orvex::firmware
