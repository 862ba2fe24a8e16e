#include "SimCamera.h"

#include <algorithm>
#include <cstring>

#include "Sha256.h"
#include "SimDescriptors.h"

namespace orvex::sim {

namespace {

bool IsDigit(uint8_t c) { return c >= '0' && c <= '9'; }

// Expected shape of each vendor request: direction, and the wValue/wLength
// rule the camera enforces.
struct VendorShape {
    uint8_t request;
    bool in;
    bool anyValue;     // wValue is a parameter (address, page count) rather than 0
    uint16_t value;    // required wValue when !anyValue
    uint16_t length;   // required wLength; 0 = any non-zero length
};

constexpr VendorShape kShapes[] = {
    {kReqGetVersion, true, false, 0, 12},    {kReqStartUpdate, false, false, 0, 2},
    {kReqWriteEeprom, false, true, 0, 256},  {kReqReadEeprom, true, true, 0, 0},
    {kReqResetId, true, false, 0, 1},        {kReqSetFileSize, true, true, 0, 1},
    {kReqWriteSpiPage, false, false, 0x1000, 0x1000},
    {kReqGetFwStatus, true, false, 0, 1},    {kReqGetStatus, true, false, 0, 1},
    {kReqExitUpdate, true, false, 0, 2},     {kReqGetAlive, true, false, 0, 2},
    {kReqResetIsp, true, false, 0, 2},
};

std::vector<uint8_t> StringDescriptor(const char* text) {
    std::vector<uint8_t> d{0, kDescString};
    for (const char* p = text; *p; ++p) {
        d.push_back(static_cast<uint8_t>(*p));
        d.push_back(0);
    }
    d[0] = static_cast<uint8_t>(d.size());
    return d;
}

}  // namespace

Camera::Camera(CameraConfig config, Clock clock)
    : cfg_(std::move(config)),
      clock_(std::move(clock)),
      ispVersion_(cfg_.ispVersion & 0xFFFFFF),
      audioVersion_(cfg_.audioVersion),
      ispNeedsReset_(cfg_.ispNeedsReset) {
    configDesc_ = cfg_.configDescriptor ? *cfg_.configDescriptor : BuildDefaultConfigDescriptor();
    deviceDesc_ = cfg_.deviceDescriptor ? *cfg_.deviceDescriptor
                                        : BuildDeviceDescriptor(cfg_.vendorId, cfg_.productId, cfg_.bcdDevice);
    eeprom_.assign(cfg_.eepromSize, 0xFF);
    std::copy_n(cfg_.eepromContent.begin(), std::min<size_t>(cfg_.eepromContent.size(), eeprom_.size()),
                eeprom_.begin());
    fx3Version_ = BootedFx3Version();
}

std::optional<uint32_t> Camera::DecodeIspVersion(const std::vector<uint8_t>& image) {
    if (image.size() < 32) return std::nullopt;
    const uint32_t w = uint32_t(image[28]) | uint32_t(image[29]) << 8 | uint32_t(image[30]) << 16 |
                       uint32_t(image[31]) << 24;
    const uint32_t start = w + 832;  // 32-bit arithmetic, as the driver forms it
    auto at = [&](uint64_t pos) -> uint8_t { return pos < image.size() ? image[pos] : 0xFF; };
    if (start > image.size()) return std::nullopt;
    for (uint64_t p = start; p < uint64_t(start) + 256; ++p) {
        const uint8_t c[8] = {at(p), at(p + 1), at(p + 2), at(p + 3), at(p + 4), at(p + 5), at(p + 6), at(p + 7)};
        if (IsDigit(c[0]) && IsDigit(c[1]) && c[2] == '.' && IsDigit(c[3]) && IsDigit(c[4]) && c[5] == '.' &&
            IsDigit(c[6]) && IsDigit(c[7])) {
            const uint32_t hi = (c[0] - '0') * 10u + (c[1] - '0');
            const uint32_t mid = (c[3] - '0') * 10u + (c[4] - '0');
            const uint32_t lo = (c[6] - '0') * 10u + (c[7] - '0');
            return hi << 16 | mid << 8 | lo;
        }
    }
    return std::nullopt;
}

bool Camera::BootImageTorn(const std::vector<uint8_t>& eeprom) {
    auto word = [&](size_t at) -> uint32_t {
        if (at + 4 > eeprom.size()) return 0xFFFFFFFF;
        return eeprom[at] | eeprom[at + 1] << 8 | eeprom[at + 2] << 16 | static_cast<uint32_t>(eeprom[at + 3]) << 24;
    };
    const uint32_t header = word(0);
    if (header != 0xB01C5943 && header != 0xB02C5943 && header != 0xB03C5943) return false;  // no boot image
    // Sections (length in words, load address, data) up to a zero length,
    // then the entry and the sum of every data word.
    size_t pos = 4;
    uint32_t sum = 0;
    for (;;) {
        const uint32_t words = word(pos);
        if (words == 0) return pos + 12 > eeprom.size() || word(pos + 8) != sum;
        if (words > 0x10000) return true;
        const size_t end = pos + 8 + 4 * static_cast<size_t>(words);
        if (end >= eeprom.size()) return true;
        for (size_t p = pos + 8; p < end; p += 4) sum += word(p);
        pos = end;
    }
}

std::array<uint8_t, 3> Camera::BootedFx3Version() const {
    if (BootImageTorn(eeprom_)) return cfg_.fx3Version;
    return FindFx3Version(eeprom_).value_or(cfg_.fx3Version);
}

std::optional<std::array<uint8_t, 3>> Camera::FindFx3Version(const std::vector<uint8_t>& eeprom) {
    static const uint8_t kMarker[7] = {'F', 'X', '3', 'V', 'E', 'R', ':'};
    auto it = std::search(eeprom.begin(), eeprom.end(), std::begin(kMarker), std::end(kMarker));
    if (it == eeprom.end() || eeprom.end() - it < 10) return std::nullopt;
    return std::array<uint8_t, 3>{it[7], it[8], it[9]};
}

ControlResult Camera::Stall(std::string why) {
    lastStall_ = std::move(why);
    ++stats_.stalls;
    return {true, 0};
}

ControlResult Camera::Reply(uint8_t* data, const SetupPacket& s, std::initializer_list<uint8_t> bytes) {
    const uint32_t n = std::min<uint32_t>(s.wLength, static_cast<uint32_t>(bytes.size()));
    std::copy_n(bytes.begin(), n, data);
    lastStall_.clear();
    return {false, n};
}

ControlResult Camera::Control(const SetupPacket& setup, uint8_t* data) {
    std::lock_guard lock(mu_);
    Advance(clock_());
    switch (setup.bmRequestType & 0x60) {
        case 0x00:
            return Standard(setup, data);
        case 0x40:
            return Vendor(setup, data);
        default:
            return Stall("class requests are not supported");
    }
}

ControlResult Camera::Standard(const SetupPacket& s, uint8_t* data) {
    auto give = [&](const std::vector<uint8_t>& bytes) {
        const uint32_t n = std::min<uint32_t>(s.wLength, static_cast<uint32_t>(bytes.size()));
        std::copy_n(bytes.begin(), n, data);
        lastStall_.clear();
        return ControlResult{false, n};
    };
    if (s.bmRequestType == 0x80 && s.bRequest == 0x06) {  // GET_DESCRIPTOR
        const uint8_t type = s.wValue >> 8, index = s.wValue & 0xFF;
        if (type == kDescDevice && index == 0) return give(deviceDesc_);
        if (type == kDescConfiguration && index == 0) return give(configDesc_);
        if (type == kDescString) {
            switch (index) {
                case 0: return give({4, kDescString, 0x09, 0x04});
                case 1: return give(StringDescriptor("ORVEX"));
                case 2: return give(StringDescriptor("ORVEX USB Camera"));
                case 3: return give(StringDescriptor("0000000001"));
                default: break;
            }
        }
        return Stall("no such descriptor");
    }
    if (s.bmRequestType == 0x00 && s.bRequest == 0x09) {  // SET_CONFIGURATION
        const uint8_t value = s.wValue & 0xFF;
        // A configuration descriptor too short to hold bConfigurationValue
        // names no configuration the camera could take.
        const bool known = configDesc_.size() > 5 && value == configDesc_[5];
        if (s.wLength != 0 || (value != 0 && !known)) return Stall("bad SET_CONFIGURATION");
        configuration_ = value;
        lastStall_.clear();
        return {false, 0};
    }
    if (s.bmRequestType == 0x01 && s.bRequest == 0x0B) {  // SET_INTERFACE
        if (configuration_ == 0) return Stall("SET_INTERFACE while unconfigured");
        for (size_t i = 0; i + 4 <= configDesc_.size() && configDesc_[i] >= 2; i += configDesc_[i]) {
            if (configDesc_[i + 1] == kDescInterface && configDesc_[i + 2] == s.wIndex &&
                configDesc_[i + 3] == s.wValue) {
                lastStall_.clear();
                return {false, 0};
            }
        }
        return Stall("no such alternate setting");
    }
    if (s.bmRequestType == 0x80 && s.bRequest == 0x00) return Reply(data, s, {0x00, 0x00});  // GET_STATUS
    if (s.bmRequestType == 0x80 && s.bRequest == 0x08) return Reply(data, s, {configuration_});
    return Stall("unsupported standard request");
}

ControlResult Camera::Vendor(const SetupPacket& s, uint8_t* data) {
    const VendorShape* shape = nullptr;
    for (const auto& v : kShapes)
        if (v.request == s.bRequest) shape = &v;
    if (!shape) return Stall("unknown vendor request");
    if (s.bmRequestType != (shape->in ? 0xC0 : 0x40)) return Stall("wrong bmRequestType");
    if (s.wIndex != kVendorIndex) return Stall("wrong wIndex");
    if (!shape->anyValue && s.wValue != shape->value) return Stall("wrong wValue");
    if (shape->length ? s.wLength != shape->length : s.wLength == 0) return Stall("wrong wLength");

    const Nanos now = clock_();
    switch (s.bRequest) {
        case kReqGetVersion: {
            const auto r = RecordLocked();
            std::copy(r.begin(), r.end(), data);
            lastStall_.clear();
            return {false, 12};
        }
        case kReqStartUpdate:
            if (data[0] != 0xAA || data[1] != 0x55) return Stall("UVCStart_UPDATE without AA 55");
            updateMode_ = true;
            imagesThisUpdate_ = 0;
            ++stats_.updateModeEntries;
            lastStall_.clear();
            return {false, 2};
        case kReqWriteEeprom: {
            if (cfg_.requireUpdateMode && !updateMode_) return Stall("EEPROM write outside update mode");
            const uint64_t addr = uint64_t(s.wValue) * kEepromPageSize;
            if (addr + kEepromPageSize > eeprom_.size()) return Stall("EEPROM write past the end");
            std::copy_n(data, kEepromPageSize, eeprom_.begin() + addr);
            ++stats_.eepromPagesWritten;
            lastStall_.clear();
            return {false, kEepromPageSize};
        }
        case kReqReadEeprom: {
            const uint64_t addr = uint64_t(s.wValue) * kEepromPageSize;
            if (addr >= eeprom_.size()) return Stall("EEPROM read past the end");
            // A read that runs past the end returns what there is (a short IN).
            const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(s.wLength, eeprom_.size() - addr));
            std::copy_n(eeprom_.begin() + addr, n, data);
            lastStall_.clear();
            return {false, n};
        }
        case kReqResetId:
            ++stats_.resets;
            updateMode_ = false;
            sessionOpen_ = false;
            sessionBuffer_.clear();
            fx3Version_ = BootedFx3Version();
            if (cfg_.reenumerateAfterReset && timer_) {
                // The bridge answers, then restarts from its EEPROM: it drops
                // off the bus shortly after this transfer and comes back
                // once it has booted. A later reset restarts the countdown.
                reenum_ = Reenum::Leaving;
                leaveAt_ = now + cfg_.disconnectAfterReset;
                returnAt_ = leaveAt_ + cfg_.reenumerateTime;
                timer_(cfg_.disconnectAfterReset);
                timer_(cfg_.disconnectAfterReset + cfg_.reenumerateTime);
            }
            return Reply(data, s, {0x01});
        case kReqSetFileSize: {
            if (cfg_.requireUpdateMode && !updateMode_) return Stall("UVCSet_FILESIZE outside update mode");
            if (s.wValue == 0 || s.wValue > cfg_.maxFlashPages) return Stall("page count out of range");
            if (phase_ == FirmwarePhase::Alive || phase_ == FirmwarePhase::Rebooting)
                return Stall("UVCSet_FILESIZE while the processors restart");
            sessionOpen_ = true;
            sessionPages_ = s.wValue;
            sessionEraseEnd_ = now + cfg_.eraseTime;
            sessionBuffer_.clear();
            sessionBuffer_.reserve(size_t(sessionPages_) * kFlashPageSize);
            phase_ = FirmwarePhase::Idle;
            fwStatus_ = 0;
            const uint8_t ready = now >= sessionEraseEnd_ ? cfg_.readyStatus : cfg_.busyStatus;
            return Reply(data, s, {cfg_.statusOverride.value_or(ready)});
        }
        case kReqWriteSpiPage:
            if (cfg_.requireUpdateMode && !updateMode_) return Stall("SPI page outside update mode");
            if (!sessionOpen_) return Stall("SPI page without UVCSet_FILESIZE");
            if (now < sessionEraseEnd_) return Stall("SPI page while the flash is erased");
            sessionBuffer_.insert(sessionBuffer_.end(), data, data + kFlashPageSize);
            ++stats_.spiPagesReceived;
            if (sessionBuffer_.size() == size_t(sessionPages_) * kFlashPageSize) FinishSession(now);
            lastStall_.clear();
            return {false, kFlashPageSize};
        case kReqGetFwStatus: {
            uint8_t v = 0;
            switch (phase_) {
                case FirmwarePhase::Settling:
                    if (zeroPollsLeft_ > 0) {
                        --zeroPollsLeft_;
                    } else {
                        phase_ = FirmwarePhase::Done;
                        v = fwStatus_;
                    }
                    break;
                case FirmwarePhase::Done:
                case FirmwarePhase::Rejected:
                    v = fwStatus_;
                    break;
                default:
                    break;
            }
            if (sessionOpen_) v = 0;
            return Reply(data, s, {v});
        }
        case kReqGetStatus: {
            // Not ready while the flash is erased, nor while the processors
            // restart after the previous session (a new one would be refused).
            const bool busy = (sessionOpen_ && now < sessionEraseEnd_) || phase_ == FirmwarePhase::Alive ||
                              phase_ == FirmwarePhase::Rebooting;
            const uint8_t ready = busy ? cfg_.busyStatus : cfg_.readyStatus;
            return Reply(data, s, {cfg_.statusOverride.value_or(ready)});
        }
        case kReqExitUpdate:
            updateMode_ = false;
            sessionOpen_ = false;
            sessionBuffer_.clear();
            imagesThisUpdate_ = 0;
            ++stats_.updateModeExits;
            return Reply(data, s, {0xAA, 0x55});
        case kReqGetAlive:
            if (phase_ == FirmwarePhase::Rebooting) return Reply(data, s, {0x00, 0x00});
            return Reply(data, s, {0xAA, 0x55});
        case kReqResetIsp:
            ispNeedsReset_ = false;
            ++stats_.ispResets;
            return Reply(data, s, {0xAA, 0x55});
        default:
            return Stall("unknown vendor request");
    }
}

void Camera::FinishSession(Nanos now) {
    sessionOpen_ = false;
    std::vector<uint8_t> image = std::move(sessionBuffer_);
    sessionBuffer_.clear();
    const auto target = Route(image);
    ++imagesThisUpdate_;
    if (!target) {
        ++stats_.imagesRejected;
        phase_ = FirmwarePhase::Rejected;
        fwStatus_ = cfg_.rejectStatusValue;
        return;
    }
    const uint32_t pages = static_cast<uint32_t>(image.size() / kFlashPageSize);
    const bool isp = *target == Flash::Isp;
    lastFlash_ = *target;
    pendingIspVersion_.reset();
    pendingAudioVersion_.reset();
    if (isp) {
        pendingIspVersion_ = DecodeIspVersion(image);
        stats_.ispPagesWritten += pages;
        ++stats_.ispImagesFlashed;
        ispFlash_ = std::move(image);
        fwStatus_ = cfg_.ispStatusValue;
    } else {
        if (image.size() > kAudioVersionOffset) pendingAudioVersion_ = image[kAudioVersionOffset];
        stats_.audioPagesWritten += pages;
        ++stats_.audioImagesFlashed;
        audioFlash_ = std::move(image);
        fwStatus_ = cfg_.audioStatusValue;
    }
    lastPageAt_ = now;
    phase_ = FirmwarePhase::Alive;
    Advance(now);
}

// Which flash an image belongs to, or nullopt to reject it. By content: our
// own builders' markers first, then what the driver itself reads from real
// files: an ISP image carries its "DD.DD.DD" version text in the window the
// driver searches, an audio image reaches past the version byte at 229920.
// An image with neither cannot be versioned by the driver, so the camera
// does not know what it is.
std::optional<Flash> Camera::Route(const std::vector<uint8_t>& image) const {
    if (cfg_.routing == CameraConfig::Routing::Order) {
        if (imagesThisUpdate_ >= cfg_.downloadOrder.size()) return std::nullopt;
        return cfg_.downloadOrder[imagesThisUpdate_];
    }
    if (image.size() >= 4 && std::memcmp(image.data(), "OISP", 4) == 0) return Flash::Isp;
    if (image.size() >= 4 && std::memcmp(image.data(), "OAUD", 4) == 0) return Flash::Audio;
    if (DecodeIspVersion(image)) return Flash::Isp;
    if (image.size() > kAudioVersionOffset) return Flash::Audio;
    return std::nullopt;
}

void Camera::SetTimer(Timer timer) {
    std::lock_guard lock(mu_);
    timer_ = std::move(timer);
}

bool Camera::Reenumerating() const {
    std::lock_guard lock(mu_);
    return reenum_ != Reenum::None;
}

void Camera::Tick() {
    bool leave = false, back = false;
    {
        std::lock_guard lock(mu_);
        const Nanos now = clock_();
        Advance(now);
        if (reenum_ == Reenum::Leaving && now >= leaveAt_) {
            reenum_ = Reenum::Away;
            leave = true;
        } else if (reenum_ == Reenum::Away && now >= returnAt_) {
            reenum_ = Reenum::None;
            back = true;
        }
    }
    // Port changes go through the bus, which may call back into the camera
    // (PortChanged, descriptor reads on enumeration): no lock held here.
    if (leave) {
        const bool gone = Disconnect();
        std::lock_guard lock(mu_);
        if (gone)
            ++stats_.disconnects;
        else if (reenum_ == Reenum::Away)
            reenum_ = Reenum::None;  // not on a bus: nothing to come back to
    }
    if (back && Reconnect()) {
        std::lock_guard lock(mu_);
        ++stats_.reconnects;
    }
}

void Camera::PortChanged(bool plugged) {
    std::lock_guard lock(mu_);
    const Nanos now = clock_();
    if (plugged) {
        // Plugged back by hand while re-enumerating: it is fresh already.
        if (reenum_ == Reenum::Away) reenum_ = Reenum::None;
        PowerUp(now);
        ++stats_.powerUps;
        return;
    }
    // Pulled out before it dropped off on its own: without power it will
    // not come back by itself.
    if (reenum_ == Reenum::Leaving) reenum_ = Reenum::None;
    updateMode_ = false;
    sessionOpen_ = false;
    sessionBuffer_.clear();
}

// Power comes on (plugged in, or back after re-enumeration): the bridge boots
// from its EEPROM, the processors from their flashes. An image whose restart
// was still under way is the one they now run.
void Camera::PowerUp(Nanos now) {
    Advance(now);
    if (phase_ == FirmwarePhase::Alive || phase_ == FirmwarePhase::Rebooting) {
        if (pendingIspVersion_) ispVersion_ = *pendingIspVersion_;
        if (pendingAudioVersion_) audioVersion_ = *pendingAudioVersion_;
    }
    pendingIspVersion_.reset();
    pendingAudioVersion_.reset();
    phase_ = FirmwarePhase::Idle;
    fwStatus_ = 0;
    zeroPollsLeft_ = 0;
    configuration_ = 0;
    updateMode_ = false;
    sessionOpen_ = false;
    sessionBuffer_.clear();
    imagesThisUpdate_ = 0;
    ispNeedsReset_ = cfg_.ispNeedsReset;
    fx3Version_ = BootedFx3Version();
}

void Camera::Advance(Nanos now) {
    if (phase_ == FirmwarePhase::Alive && now >= lastPageAt_ + cfg_.aliveAfterFlash) phase_ = FirmwarePhase::Rebooting;
    if (phase_ == FirmwarePhase::Rebooting && now >= lastPageAt_ + cfg_.aliveAfterFlash + cfg_.rebootTime) {
        // The processors come back running the new image.
        if (pendingIspVersion_) ispVersion_ = *pendingIspVersion_;
        if (pendingAudioVersion_) audioVersion_ = *pendingAudioVersion_;
        pendingIspVersion_.reset();
        pendingAudioVersion_.reset();
        zeroPollsLeft_ = cfg_.zeroPollsAfterReboot;
        phase_ = FirmwarePhase::Settling;
    }
}

std::array<uint8_t, 12> Camera::RecordLocked() const {
    if (cfg_.versionRecordOverride) return *cfg_.versionRecordOverride;
    const uint32_t isp = ispNeedsReset_ ? 0xFFFFFF : ispVersion_;
    return {fx3Version_[0],
            fx3Version_[1],
            fx3Version_[2],
            static_cast<uint8_t>(isp),
            static_cast<uint8_t>(isp >> 8),
            static_cast<uint8_t>(isp >> 16),
            audioVersion_,
            cfg_.audioVersionHigh[0],
            cfg_.audioVersionHigh[1],
            cfg_.recordByte9,
            0xAA,
            0x55};
}

std::vector<uint8_t> Camera::ConfigurationDescriptor() const {
    std::lock_guard lock(mu_);
    return configDesc_;
}

std::vector<uint8_t> Camera::DeviceDescriptor() const {
    std::lock_guard lock(mu_);
    return deviceDesc_;
}

CameraStats Camera::Stats() const {
    std::lock_guard lock(mu_);
    CameraStats s = stats_;
    s.eepromSha256 = Sha256::Hex(eeprom_);
    s.ispSha256 = Sha256::Hex(ispFlash_);
    s.audioSha256 = Sha256::Hex(audioFlash_);
    return s;
}

std::vector<uint8_t> Camera::Eeprom() const {
    std::lock_guard lock(mu_);
    return eeprom_;
}

std::vector<uint8_t> Camera::FlashContent(Flash flash) const {
    std::lock_guard lock(mu_);
    return flash == Flash::Isp ? ispFlash_ : audioFlash_;
}

std::array<uint8_t, 12> Camera::VersionRecord() {
    std::lock_guard lock(mu_);
    Advance(clock_());
    return RecordLocked();
}

bool Camera::InUpdateMode() const {
    std::lock_guard lock(mu_);
    return updateMode_;
}

uint8_t Camera::Configuration() const {
    std::lock_guard lock(mu_);
    return configuration_;
}

FirmwarePhase Camera::Phase() {
    std::lock_guard lock(mu_);
    const Nanos now = clock_();
    Advance(now);
    if (sessionOpen_) return now < sessionEraseEnd_ ? FirmwarePhase::Erasing : FirmwarePhase::Receiving;
    return phase_;
}

std::string Camera::LastStallReason() const {
    std::lock_guard lock(mu_);
    return lastStall_;
}

}  // namespace orvex::sim
