// Live view of a run on a terminal: what the update is doing (phase), flash
// pages sent of the announced total, EEPROM pages written, virtual and wall
// time. The phase is read off the vendor requests the camera receives, so the
// view needs nothing from the driver but its traffic.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace orvex::cli {

// Follows the vendor requests of one run and names what is going on.
class PhaseTracker {
public:
    // One control transfer as the camera saw it. `data` holds the OUT data
    // stage (may be null for IN requests).
    void Observe(uint8_t bmRequestType, uint8_t bRequest, uint16_t wValue, uint16_t wLength, const uint8_t* data);
    // Something that is not a transfer (an event, the end of the run).
    void SetPhase(std::string phase) { phase_ = std::move(phase); }
    // A new update run begins: its pages are counted afresh.
    void ResetCounts() {
        images_.clear();
        eepromWritten_ = 0;
    }

    const std::string& Phase() const { return phase_; }
    // "ISP flash 37/128 pages" style detail, "" when there is none.
    std::string Detail() const;
    // Pages of the flash image being sent (the last one announced).
    uint32_t FlashPagesSent() const { return images_.empty() ? 0 : images_.back().sent; }
    uint32_t FlashPagesTotal() const { return images_.empty() ? 0 : images_.back().total; }
    uint32_t EepromPagesWritten() const { return eepromWritten_; }

private:
    struct Image {
        std::string name;  // "ISP", "audio", or "flash" until the first page tells
        uint32_t total = 0;
        uint32_t sent = 0;
    };
    std::string phase_ = "starting";
    std::vector<Image> images_;  // one per size announcement, in order
    uint32_t eepromWritten_ = 0;
};

// Renders the PhaseTracker of every camera on a terminal, redrawn at most
// every 100 ms of wall time: one line with one camera, otherwise a line of
// clocks and one line per camera. A camera whose device is not "started,
// working" names where it stands (its state). A disabled display prints
// nothing.
class ProgressDisplay {
public:
    ProgressDisplay(std::FILE* out, bool enabled);
    bool enabled() const { return enabled_; }

    // How many cameras the view follows (1 by default).
    void SetCameras(size_t count);
    void Observe(uint8_t bmRequestType, uint8_t bRequest, uint16_t wValue, uint16_t wLength, const uint8_t* data,
                 uint64_t virtualMs, size_t camera = 0);
    // A phase of the whole run (every camera).
    void Phase(const std::string& phase, uint64_t virtualMs);
    // A phase of one camera (an event it is the subject of).
    void CameraPhase(size_t camera, const std::string& phase, uint64_t virtualMs);
    // A new update run of the camera begins: its page counts start over.
    void NewRun(size_t camera);
    // Where a camera's device stands when it is not "started, working"
    // ("surprise removed", "disabled", "D3", ...); "" when it is.
    void SetState(size_t camera, const std::string& state);
    // Redraws if due (call now and then with the current virtual time).
    void Tick(uint64_t virtualMs);
    // Draws the last state and ends the line.
    void Finish(uint64_t virtualMs);

    // Text of the lines (without terminal control), for tests.
    std::vector<std::string> Lines(uint64_t virtualMs, double wallSeconds) const;
    // The first camera's line.
    std::string Line(uint64_t virtualMs, double wallSeconds) const {
        const auto lines = Lines(virtualMs, wallSeconds);
        return lines.size() == 1 ? lines[0] : lines[1];
    }

private:
    void Draw(uint64_t virtualMs, bool force);

    std::FILE* out_;
    bool enabled_;
    mutable std::mutex mu_;
    std::vector<PhaseTracker> trackers_;
    std::vector<std::string> states_;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point lastDraw_{};
    bool drawn_ = false;
    size_t linesDrawn_ = 0;
};

// "1:02.3" from milliseconds.
std::string FormatDuration(uint64_t ms);

}  // namespace orvex::cli
