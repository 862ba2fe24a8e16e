// Compiled as driver code (16-bit wchar_t, no RTTI): the device object's
// layout is the driver's own.
#include "FileFacts.h"

#include <memory>

#include "update/UpdateEngine.h"

namespace orvex::cli {
namespace {

constexpr size_t kPadBytes = 4096;  // the loader's 0xFF pad after every file

struct DeviceDeleter {
    void operator()(CUsbDevice* d) const { delete d; }
};

// A device object holding the file as the loader leaves it.
class LoadedFile {
public:
    explicit LoadedFile(const std::vector<uint8_t>& file)
        : buffer_(file.size() + kPadBytes, 0xFF), device_(new (NonPagedPoolNx) CUsbDevice) {
        std::copy(file.begin(), file.end(), buffer_.begin());
        if (device_) {
            device_->m_pFileBuffer = buffer_.data();
            device_->m_ulFileSize = static_cast<ULONG>(file.size());
        }
    }
    ~LoadedFile() {
        if (device_) device_->m_pFileBuffer = nullptr;
    }
    CUsbDevice* operator->() const { return device_.get(); }
    CUsbDevice* get() const { return device_.get(); }
    explicit operator bool() const { return device_ != nullptr; }

private:
    std::vector<uint8_t> buffer_;
    std::unique_ptr<CUsbDevice, DeviceDeleter> device_;
};

}  // namespace

Fx3Facts ReadFx3Facts(const std::vector<uint8_t>& file) {
    Fx3Facts f;
    LoadedFile d(file);
    if (!d) return f;
    Fx3ImageFacts facts;
    InspectFx3Image(d.get(), &facts);
    switch (facts.Verdict) {
    case Fx3Verdict::Accepted: f.verdict = Fx3Facts::Verdict::Accepted; break;
    case Fx3Verdict::BadSignature: f.verdict = Fx3Facts::Verdict::BadSignature; break;
    case Fx3Verdict::SectionTooLong: f.verdict = Fx3Facts::Verdict::SectionTooLong; break;
    case Fx3Verdict::SectionPastEnd: f.verdict = Fx3Facts::Verdict::SectionPastEnd; break;
    case Fx3Verdict::ChecksumPastEnd: f.verdict = Fx3Facts::Verdict::ChecksumPastEnd; break;
    case Fx3Verdict::ChecksumMismatch: f.verdict = Fx3Facts::Verdict::ChecksumMismatch; break;
    }
    f.header = facts.Header;
    f.sectionCount = facts.Sections;
    for (ULONG i = 0; i < facts.Sections && i < Fx3FactsSections; ++i)
        f.sections.push_back({facts.SectionOffset[i], facts.SectionWords[i], facts.SectionAddress[i]});
    f.faultLength = facts.FaultLength;
    f.faultPosition = facts.FaultPosition;
    f.reachedEnd = facts.Verdict == Fx3Verdict::Accepted || facts.Verdict == Fx3Verdict::ChecksumMismatch ||
                   facts.Verdict == Fx3Verdict::ChecksumPastEnd;
    f.endMarkerOffset = facts.EndMarkerOffset;
    f.entry = facts.Entry;
    f.storedChecksum = facts.StoredChecksum;
    f.computedChecksum = facts.ComputedChecksum;
    f.fitsEeprom = Fx3ImageFitsEeprom(static_cast<ULONG>(file.size())) != FALSE;
    f.eepromPages = static_cast<uint32_t>((file.size() + Fx3EepromPageBytes - 1) / Fx3EepromPageBytes);
    const ULONG j = FindFx3ImageSerial(d.get());
    if (j != Fx3SerialNotFound) {
        f.serialFound = true;
        f.serialOffset = j;
        for (ULONG k = 0; k < Fx3SerialBytes; k += 2) {
            const uint16_t c = static_cast<uint16_t>(file[j + Fx3SerialOffset + k] |
                                                     file[j + Fx3SerialOffset + k + 1] << 8);
            f.serial += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
        }
        f.serialWritable = Fx3SerialWritable(d.get(), j) != FALSE;
    }
    return f;
}

IspFacts ReadIspFacts(const std::vector<uint8_t>& file) {
    IspFacts f;
    LoadedFile d(file);
    if (!d) return f;
    ULONGLONG start = 0;
    ULONG version = NoIspVersion, at = 0;
    f.tooSmall = FindIspFileVersion(d.get(), &start, &version, &at) == FALSE;
    f.windowStart = start;
    f.windowBytes = IspVersionWindowBytes;
    f.versionFound = !f.tooSmall && version != NoIspVersion;
    f.version = f.versionFound ? version : 0;
    f.versionOffset = at;
    f.flashPages = FlashPageCount(static_cast<ULONG>(file.size()));
    f.fitsFlash = f.flashPages <= MaxFlashPages;
    return f;
}

AudFacts ReadAudFacts(const std::vector<uint8_t>& file) {
    AudFacts f;
    LoadedFile d(file);
    if (!d) return f;
    ULONG version = 0;
    f.tooSmall = FindAudFileVersion(d.get(), &version) == FALSE;
    f.versionOffset = AudVersionOffset;
    f.version = version;
    f.flashPages = FlashPageCount(static_cast<ULONG>(file.size()));
    f.fitsFlash = f.flashPages <= MaxFlashPages;
    return f;
}

VersionFacts ReadVersionFacts(const std::vector<uint8_t>& file) {
    VersionFacts f;
    LoadedFile d(file);
    if (!d) return f;
    KeepVersionText(d.get());
    ParseVersionText(d.get());
    f.fx3 = d->m_ulFx3FileVersion;
    f.isp = d->m_ulIspFileVersion;
    f.aud = d->m_ulAudFileVersion;
    f.keptBytes = static_cast<uint32_t>(file.size() < sizeof(d->m_VersionText) ? file.size() : sizeof(d->m_VersionText));
    f.scanEnd = VersionScanEnd;
    return f;
}

}  // namespace orvex::cli
