// A run as a picture on virtual time: per camera the phases of the update
// (read off its vendor requests), every transfer on a row per request code,
// the plug-and-play, power and WMI events, and the injected faults, with a
// time axis and a legend, rendered as one SVG document.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "Report.h"

namespace orvex::cli {

struct TimelineTransfer {
    int64_t start = 0;              // virtual time, 100-ns units
    int64_t end = -1;               // -1: never completed
    bool control = true;            // has a setup packet
    uint8_t bmRequestType = 0;
    uint8_t bRequest = 0;
    uint16_t wValue = 0;
    uint16_t wLength = 0;
    uint16_t function = 0;          // URB function
    std::array<uint8_t, 4> head{};  // first OUT data bytes (names a flash image)
    bool failed = false;            // completed with a USBD status other than 0
    std::string fault;              // name of the fault injected into it, "" = none
};

enum class TimelineEventKind { Pnp, Power, Wmi, Run };

struct TimelineEvent {
    int64_t at = 0;
    TimelineEventKind kind = TimelineEventKind::Pnp;
    std::string label;
};

struct TimelineCamera {
    std::string name;
    std::vector<TimelineTransfer> transfers;
    std::vector<TimelineEvent> events;
};

struct Timeline {
    std::string title;
    std::vector<std::string> notes;  // lines under the title
    std::vector<TimelineCamera> cameras;
};

struct TimelinePhase {
    int64_t start = 0;
    int64_t end = 0;
    std::string label;   // "version read", "ISP pages", "waiting", ...
    uint32_t transfers = 0;
};

// The phases of one camera's traffic: consecutive transfers of one activity
// form a phase; the pages after a size announcement are named by the image
// they carry (ISP, audio).
std::vector<TimelinePhase> DerivePhases(const std::vector<TimelineTransfer>& transfers);

// "UVCGet_VERSION" for 0xB0 .. 0xBB, "" otherwise.
const char* VendorRequestName(uint8_t bRequest);

std::string RenderTimelineSvg(const Timeline& timeline);

// Collects what a run shows on its timeline: events as they happen (any
// thread), the camera's transfers at the end of the run.
class TimelineRecorder {
public:
    void Event(int64_t at, TimelineEventKind kind, std::string label);
    void SetTransfers(std::vector<TimelineTransfer> transfers);
    TimelineCamera Camera(std::string name) const;

private:
    mutable std::mutex mu_;
    std::vector<TimelineEvent> events_;
    std::vector<TimelineTransfer> transfers_;
};

// Writes the timeline of a run (`notes` under the title); false when the
// file cannot be written.
bool WriteTimelineSvg(const std::string& path, const std::string& title, const std::vector<std::string>& notes,
                      const TimelineRecorder& recorder);

}  // namespace orvex::cli

namespace orvex::cli {
// The lines under a run's title: outcome, device time, traffic, faults.
std::vector<std::string> RunNotes(const RunReport& report);
}  // namespace orvex::cli
