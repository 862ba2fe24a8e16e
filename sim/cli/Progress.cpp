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
    : out_(out), enabled_(enabled), trackers_(1), states_(1), start_(std::chrono::steady_clock::now()) {}

void ProgressDisplay::SetCameras(size_t count) {
    std::lock_guard lock(mu_);
    trackers_.resize(count ? count : 1);
    states_.resize(trackers_.size());
}

void ProgressDisplay::Observe(uint8_t bmRequestType, uint8_t bRequest, uint16_t wValue, uint16_t wLength,
                              const uint8_t* data, uint64_t virtualMs, size_t camera) {
    if (!enabled_) return;
    {
        std::lock_guard lock(mu_);
        if (camera >= trackers_.size()) return;
        trackers_[camera].Observe(bmRequestType, bRequest, wValue, wLength, data);
    }
    Draw(virtualMs, false);
}

void ProgressDisplay::Phase(const std::string& phase, uint64_t virtualMs) {
    if (!enabled_) return;
    {
        std::lock_guard lock(mu_);
        for (auto& t : trackers_) t.SetPhase(phase);
    }
    Draw(virtualMs, true);
}

void ProgressDisplay::CameraPhase(size_t camera, const std::string& phase, uint64_t virtualMs) {
    if (!enabled_) return;
    {
        std::lock_guard lock(mu_);
        if (camera >= trackers_.size()) return;
        trackers_[camera].SetPhase(phase);
    }
    Draw(virtualMs, true);
}

void ProgressDisplay::NewRun(size_t camera) {
    std::lock_guard lock(mu_);
    if (camera < trackers_.size()) trackers_[camera].ResetCounts();
}

void ProgressDisplay::SetState(size_t camera, const std::string& state) {
    std::lock_guard lock(mu_);
    if (camera < states_.size()) states_[camera] = state;
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

std::vector<std::string> ProgressDisplay::Lines(uint64_t virtualMs, double wallSeconds) const {
    std::lock_guard lock(mu_);
    char times[64];
    std::snprintf(times, sizeof times, "[device %s | wall %.1fs] ", FormatDuration(virtualMs).c_str(), wallSeconds);
    auto describe = [&](size_t i) {
        std::string text = trackers_[i].Phase();
        std::string detail = trackers_[i].Detail();
        if (!detail.empty()) text += " (" + detail + ")";
        if (!states_[i].empty()) text += " [" + states_[i] + "]";
        return text;
    };
    if (trackers_.size() == 1) return {times + describe(0)};
    std::vector<std::string> lines{times + std::to_string(trackers_.size()) + " cameras"};
    for (size_t i = 0; i < trackers_.size(); ++i) lines.push_back("  camera " + std::to_string(i) + ": " + describe(i));
    return lines;
}

void ProgressDisplay::Draw(uint64_t virtualMs, bool force) {
    auto now = std::chrono::steady_clock::now();
    size_t previous;
    {
        std::lock_guard lock(mu_);
        if (!force && drawn_ && now - lastDraw_ < std::chrono::milliseconds(100)) return;
        lastDraw_ = now;
        drawn_ = true;
        previous = linesDrawn_;
    }
    double wall = std::chrono::duration<double>(now - start_).count();
    std::vector<std::string> lines = Lines(virtualMs, wall);
    // Back to the first line drawn last time, then every line afresh.
    std::string text;
    if (previous > 1) text += "\033[" + std::to_string(previous - 1) + "F";
    for (size_t i = 0; i < lines.size(); ++i) text += (i ? "\n" : "") + std::string("\r\033[K") + lines[i];
    std::fputs(text.c_str(), out_);
    std::fflush(out_);
    std::lock_guard lock(mu_);
    linesDrawn_ = lines.size();
}

}  // namespace orvex::cli
