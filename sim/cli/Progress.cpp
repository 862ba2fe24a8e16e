#include "Progress.h"

#include <cstring>

namespace orvex::cli {

void PhaseTracker::Observe(uint8_t bmRequestType, uint8_t bRequest, uint16_t wValue, uint16_t, const uint8_t* data) {
    if ((bmRequestType & 0x60) != 0x40) {
        if (bRequest == 0x06) phase_ = "reading descriptors";
        else if (bRequest == 0x09) phase_ = wValue ? "configuring" : "deconfiguring";
        return;
    }
    switch (bRequest) {
        case 0xB0: phase_ = "reading versions"; break;
        case 0xB1: phase_ = "entering update mode"; break;
        case 0xB2:
            ++eepromWritten_;
            phase_ = "writing EEPROM";
            break;
        case 0xB3: phase_ = "reading EEPROM"; break;
        case 0xB4: phase_ = "resetting camera"; break;
        case 0xB5:
            images_.push_back({"flash", wValue, 0});
            phase_ = "announcing flash image";
            break;
        case 0xB6: {
            if (images_.empty()) images_.push_back({"flash", 0, 0});
            Image& image = images_.back();
            if (image.sent == 0 && data) {
                if (std::memcmp(data, "OISP", 4) == 0) image.name = "ISP";
                else if (std::memcmp(data, "OAUD", 4) == 0) image.name = "audio";
            }
            ++image.sent;
            phase_ = "writing " + image.name + " flash";
            break;
        }
        case 0xB7: phase_ = "polling firmware status"; break;
        case 0xB8: phase_ = "waiting for flash ready"; break;
        case 0xB9: phase_ = "leaving update mode"; break;
        case 0xBA: phase_ = "waiting for camera"; break;
        case 0xBB: phase_ = "resetting ISP"; break;
        default: break;
    }
}

std::string PhaseTracker::Detail() const {
    std::string d;
    for (const Image& image : images_) {
        if (!d.empty()) d += ", ";
        d += image.name + " pages " + std::to_string(image.sent) + "/" + std::to_string(image.total);
    }
    if (eepromWritten_) {
        if (!d.empty()) d += ", ";
        d += "EEPROM pages " + std::to_string(eepromWritten_);
    }
    return d;
}

std::string FormatDuration(uint64_t ms) {
    // Round to tenths first so that 59.95 s shows as 1:00.0, not 60.0s.
    uint64_t tenths = (ms + 50) / 100;
    uint64_t minutes = tenths / 600;
    uint64_t rest = tenths % 600;
    char buf[40];
    if (minutes)
        std::snprintf(buf, sizeof buf, "%llu:%02llu.%llu", static_cast<unsigned long long>(minutes),
                      static_cast<unsigned long long>(rest / 10), static_cast<unsigned long long>(rest % 10));
    else
        std::snprintf(buf, sizeof buf, "%llu.%llus", static_cast<unsigned long long>(rest / 10),
                      static_cast<unsigned long long>(rest % 10));
    return buf;
}

ProgressDisplay::ProgressDisplay(std::FILE* out, bool enabled)
    : out_(out), enabled_(enabled), start_(std::chrono::steady_clock::now()) {}

void ProgressDisplay::Observe(uint8_t bmRequestType, uint8_t bRequest, uint16_t wValue, uint16_t wLength,
                              const uint8_t* data, uint64_t virtualMs) {
    if (!enabled_) return;
    {
        std::lock_guard lock(mu_);
        tracker_.Observe(bmRequestType, bRequest, wValue, wLength, data);
    }
    Draw(virtualMs, false);
}

void ProgressDisplay::Phase(const std::string& phase, uint64_t virtualMs) {
    if (!enabled_) return;
    {
        std::lock_guard lock(mu_);
        tracker_.SetPhase(phase);
    }
    Draw(virtualMs, true);
}

void ProgressDisplay::Tick(uint64_t virtualMs) {
    if (enabled_) Draw(virtualMs, false);
}

void ProgressDisplay::Finish(uint64_t virtualMs) {
    if (!enabled_) return;
    Draw(virtualMs, true);
    std::fputc('\n', out_);
    std::fflush(out_);
}

std::string ProgressDisplay::Line(uint64_t virtualMs, double wallSeconds) const {
    std::lock_guard lock(mu_);
    char times[64];
    std::snprintf(times, sizeof times, "[device %s | wall %.1fs] ", FormatDuration(virtualMs).c_str(), wallSeconds);
    std::string line = times + tracker_.Phase();
    std::string detail = tracker_.Detail();
    if (!detail.empty()) line += " (" + detail + ")";
    return line;
}

void ProgressDisplay::Draw(uint64_t virtualMs, bool force) {
    auto now = std::chrono::steady_clock::now();
    {
        std::lock_guard lock(mu_);
        if (!force && drawn_ && now - lastDraw_ < std::chrono::milliseconds(100)) return;
        lastDraw_ = now;
        drawn_ = true;
    }
    double wall = std::chrono::duration<double>(now - start_).count();
    std::string line = Line(virtualMs, wall);
    std::fprintf(out_, "\r\033[K%s", line.c_str());
    std::fflush(out_);
}

}  // namespace orvex::cli
