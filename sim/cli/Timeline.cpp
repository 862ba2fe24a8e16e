#include "Timeline.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

namespace orvex::cli {
namespace {

constexpr double kUnitsPerMs = 10000.0;

// Layout, in SVG user units (pixels).
constexpr double kWidth = 1400;
constexpr double kLeft = 200;   // lane labels
constexpr double kRight = 24;
constexpr double kPlot = kWidth - kLeft - kRight;
constexpr double kPhaseRow = 28;
constexpr double kRow = 16;
constexpr double kEventRow = 34;

std::string Esc(const std::string& s) {
    std::string out;
    for (char c : s) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            default:
                // Control characters are not allowed in XML 1.0 text.
                if (static_cast<unsigned char>(c) >= 0x20 || c == '\t' || c == '\n') out += c;
        }
    }
    return out;
}

std::string Num(double v) {
    char b[32];
    std::snprintf(b, sizeof b, "%.1f", v);
    return b;
}

std::string Ms(int64_t units) {
    char b[32];
    std::snprintf(b, sizeof b, "%.3f ms", static_cast<double>(units) / kUnitsPerMs);
    return b;
}

bool IsVendor(const TimelineTransfer& t) { return t.control && (t.bmRequestType & 0x60) == 0x40; }

int64_t EndOf(const TimelineTransfer& t) { return t.end >= 0 ? t.end : t.start; }

// Activity key of one transfer; flash downloads are "flash" plus the number
// of the announcement they belong to.
std::string Activity(const TimelineTransfer& t, bool vendorSeen, int flashImage) {
    if (!IsVendor(t)) return vendorSeen ? "re-enumeration" : "enumeration";
    switch (t.bRequest) {
        case 0xB0: return "version read";
        case 0xB1:
        case 0xB9: return "update mode";
        case 0xB2: return "EEPROM write";
        case 0xB3: return "EEPROM read";
        case 0xB4: return "camera reset";
        case 0xBB: return "ISP reset";
        case 0xB7:
        case 0xBA: return "waiting";
        case 0xB5:
        case 0xB6:
        case 0xB8: return "flash#" + std::to_string(flashImage);
        default: return "other requests";
    }
}

struct Color {
    const char* fill;
    const char* text;
};

Color PhaseColor(const std::string& label) {
    static const std::map<std::string, Color> colors = {
        {"enumeration", {"#b0bec5", "#000"}},   {"re-enumeration", {"#78909c", "#fff"}},
        {"version read", {"#4fc3f7", "#000"}},  {"update mode", {"#9575cd", "#fff"}},
        {"ISP pages", {"#43a047", "#fff"}},     {"audio pages", {"#fb8c00", "#000"}},
        {"flash pages", {"#8d6e63", "#fff"}},   {"flash announcement", {"#bcaaa4", "#000"}},
        {"waiting", {"#fff176", "#000"}},       {"EEPROM read", {"#4dd0e1", "#000"}},
        {"EEPROM write", {"#00838f", "#fff"}},  {"camera reset", {"#e53935", "#fff"}},
        {"ISP reset", {"#ad1457", "#fff"}},     {"other requests", {"#eeeeee", "#000"}},
    };
    auto it = colors.find(label);
    return it != colors.end() ? it->second : Color{"#cccccc", "#000"};
}

const char* RequestColor(const TimelineTransfer& t) {
    if (!IsVendor(t)) return "#78909c";
    switch (t.bRequest) {
        case 0xB0: return "#0288d1";
        case 0xB2: return "#00838f";
        case 0xB3: return "#26a69a";
        case 0xB6: return "#2e7d32";
        case 0xB7:
        case 0xBA: return "#f9a825";
        case 0xB4:
        case 0xBB: return "#c62828";
        default: return "#5e35b1";
    }
}

const char* EventKindName(TimelineEventKind k) {
    switch (k) {
        case TimelineEventKind::Pnp: return "PnP";
        case TimelineEventKind::Power: return "power";
        case TimelineEventKind::Wmi: return "WMI";
        case TimelineEventKind::Run: return "run";
    }
    return "";
}

const char* EventColor(TimelineEventKind k) {
    switch (k) {
        case TimelineEventKind::Pnp: return "#1565c0";
        case TimelineEventKind::Power: return "#6a1b9a";
        case TimelineEventKind::Wmi: return "#00695c";
        case TimelineEventKind::Run: return "#424242";
    }
    return "#000";
}

// Round step for about `target` ticks over `span` ms: 1, 2 or 5 times a power of ten.
double TickStep(double span, int target) {
    const double raw = std::max(span / target, 1e-3);
    const double p = std::pow(10.0, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 5.0, 10.0})
        if (m * p >= raw) return m * p;
    return 10 * p;
}

std::string TickLabel(double ms, double step) {
    char b[32];
    if (step >= 1000)
        std::snprintf(b, sizeof b, "%g s", ms / 1000);
    else
        std::snprintf(b, sizeof b, "%g ms", ms);
    return b;
}

// Places labels that start at the given x positions (in order) on as few
// lines as possible without overlap; returns each label's line. A label that
// would run past the right edge is moved left to end there.
std::vector<int> StackLabels(std::vector<std::pair<double, std::string>>& labels, int* lines) {
    std::vector<double> lineEnd;
    std::vector<int> at;
    for (auto& [x, text] : labels) {
        const double width = 6.2 * static_cast<double>(text.size()) + 8;
        x = std::min(x, kWidth - kRight - width);
        size_t line = 0;
        while (line < lineEnd.size() && lineEnd[line] > x) ++line;
        if (line == lineEnd.size()) lineEnd.push_back(0);
        lineEnd[line] = x + width;
        at.push_back(static_cast<int>(line));
    }
    *lines = static_cast<int>(lineEnd.size());
    return at;
}

// Row label of a request code: "0xB6 UVCWrite_SPI_PAGE".
std::string RowKeyName(int key) {
    if (key < 0) return "standard requests";
    char b[48];
    const char* name = VendorRequestName(static_cast<uint8_t>(key));
    std::snprintf(b, sizeof b, "0x%02X %s", key, *name ? name : "vendor");
    return b;
}

}  // namespace

const char* VendorRequestName(uint8_t r) {
    static const char* names[] = {"UVCGet_VERSION",   "UVCStart_UPDATE",  "UVCWrite_EEPROM", "UVCRead_EEPROM",
                                  "UVCReset_ID",      "UVCSet_FILESIZE",  "UVCWrite_SPI_PAGE", "UVCGet_FW_STATUS",
                                  "UVCGet_STATUS",    "UVCExit_UPDATE",   "UVCGet_ALIVE",    "UVCReset_ISP"};
    return (r >= 0xB0 && r <= 0xBB) ? names[r - 0xB0] : "";
}

std::vector<TimelinePhase> DerivePhases(const std::vector<TimelineTransfer>& transfers) {
    std::vector<const TimelineTransfer*> order;
    for (const auto& t : transfers)
        if (t.control) order.push_back(&t);
    std::stable_sort(order.begin(), order.end(), [](auto* a, auto* b) { return a->start < b->start; });

    std::vector<TimelinePhase> phases;
    std::vector<std::string> keys;
    std::map<int, std::string> imageName;  // flash announcement -> image named by its first page
    std::map<int, uint32_t> imagePages;
    bool vendorSeen = false;
    int flashImage = 0;
    for (const TimelineTransfer* t : order) {
        if (IsVendor(*t) && t->bRequest == 0xB5) ++flashImage;
        if (IsVendor(*t) && t->bRequest == 0xB6) {
            if (!imageName.count(flashImage)) {
                imageName[flashImage] = std::memcmp(t->head.data(), "OISP", 4) == 0   ? "ISP pages"
                                        : std::memcmp(t->head.data(), "OAUD", 4) == 0 ? "audio pages"
                                                                                      : "flash pages";
            }
            ++imagePages[flashImage];
        }
        const std::string key = Activity(*t, vendorSeen, flashImage);
        vendorSeen = vendorSeen || IsVendor(*t);
        if (!keys.empty() && keys.back() == key) {
            phases.back().end = std::max(phases.back().end, EndOf(*t));
            ++phases.back().transfers;
        } else {
            keys.push_back(key);
            phases.push_back({t->start, EndOf(*t), key, 1});
        }
    }
    for (size_t i = 0; i < phases.size(); ++i) {
        if (keys[i].rfind("flash#", 0) != 0) continue;
        const int image = std::stoi(keys[i].substr(6));
        auto it = imageName.find(image);
        phases[i].label = it != imageName.end() ? it->second : "flash announcement";
    }
    return phases;
}

void TimelineRecorder::Event(int64_t at, TimelineEventKind kind, std::string label) {
    std::lock_guard lock(mu_);
    events_.push_back({at, kind, std::move(label)});
}

void TimelineRecorder::SetTransfers(std::vector<TimelineTransfer> transfers) {
    std::lock_guard lock(mu_);
    transfers_ = std::move(transfers);
}

TimelineCamera TimelineRecorder::Camera(std::string name) const {
    std::lock_guard lock(mu_);
    return {std::move(name), transfers_, events_};
}

std::vector<std::string> RunNotes(const RunReport& r) {
    std::vector<std::string> notes;
    notes.push_back("ended by: " + (r.run.ended_by.empty() ? std::string("-") : r.run.ended_by) +
                    ", device time " + std::to_string(r.run.device_time_ms) + " ms, " +
                    std::to_string(r.run.transfers) + " transfers, " + std::to_string(r.run.bytes_out) +
                    " bytes out, " + std::to_string(r.run.bytes_in) + " bytes in");
    std::string faults;
    for (const auto& f : r.run.faults_injected) faults += (faults.empty() ? "" : "; ") + f;
    std::string events;
    for (const auto& e : r.run.events_applied) events += (events.empty() ? "" : "; ") + e;
    if (!faults.empty()) notes.push_back("faults injected: " + faults);
    if (!events.empty()) notes.push_back("events: " + events);
    if (!r.platform_faults.empty()) notes.push_back("platform faults: " + std::to_string(r.platform_faults.size()));
    return notes;
}

bool WriteTimelineSvg(const std::string& path, const std::string& title, const std::vector<std::string>& notes,
                      const TimelineRecorder& recorder) {
    Timeline tl{title, notes, {recorder.Camera("camera 1")}};
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << RenderTimelineSvg(tl);
    return static_cast<bool>(out);
}

std::string RenderTimelineSvg(const Timeline& tl) {
    // Time range of the whole picture.
    int64_t tEnd = 1;
    for (const auto& cam : tl.cameras) {
        for (const auto& t : cam.transfers) tEnd = std::max(tEnd, EndOf(t));
        for (const auto& e : cam.events) tEnd = std::max(tEnd, e.at);
    }
    const double spanMs = static_cast<double>(tEnd) / kUnitsPerMs;
    const double step = TickStep(spanMs, 12);
    const double axisEnd = std::ceil(spanMs / step) * step;
    auto X = [&](int64_t units) { return kLeft + kPlot * (static_cast<double>(units) / kUnitsPerMs) / axisEnd; };

    std::ostringstream body;
    double y = 20;
    body << "<text x=\"12\" y=\"" << Num(y + 6) << "\" class=\"title\">" << Esc(tl.title) << "</text>\n";
    y += 16;
    for (const auto& n : tl.notes) {
        y += 15;
        body << "<text x=\"12\" y=\"" << Num(y) << "\" class=\"note\">" << Esc(n) << "</text>\n";
    }
    y += 14;

    std::set<std::string> phaseLabelsUsed;
    bool anyFailed = false, anyFault = false, anyOpen = false;

    auto axis = [&](double top, double bottom) {
        body << "<g class=\"axis\">\n";
        for (double ms = 0; ms <= axisEnd + step / 2; ms += step) {
            const double x = kLeft + kPlot * ms / axisEnd;
            body << "<line x1=\"" << Num(x) << "\" y1=\"" << Num(top) << "\" x2=\"" << Num(x) << "\" y2=\""
                 << Num(bottom) << "\" class=\"grid\"/>";
            body << "<text x=\"" << Num(x) << "\" y=\"" << Num(top - 4) << "\" class=\"tick\">"
                 << Esc(TickLabel(ms, step)) << "</text>\n";
        }
        body << "</g>\n";
    };

    for (size_t c = 0; c < tl.cameras.size(); ++c) {
        const TimelineCamera& cam = tl.cameras[c];
        const auto phases = DerivePhases(cam.transfers);
        std::map<int, std::vector<const TimelineTransfer*>> rows;  // request code (-1 standard) -> transfers
        for (const auto& t : cam.transfers)
            if (t.control) rows[IsVendor(t) ? t.bRequest : -1].push_back(&t);
        std::map<TimelineEventKind, std::vector<const TimelineEvent*>> events;
        for (TimelineEventKind k : {TimelineEventKind::Pnp, TimelineEventKind::Power, TimelineEventKind::Wmi})
            events[k];
        for (const auto& e : cam.events) events[e.kind].push_back(&e);
        std::vector<const TimelineTransfer*> faults;
        for (const auto& t : cam.transfers)
            if (!t.fault.empty()) faults.push_back(&t);

        const double blockTop = y + 22;
        body << "<g class=\"camera\" id=\"camera-" << c + 1 << "\">\n";
        body << "<text x=\"12\" y=\"" << Num(y + 8) << "\" class=\"camera-name\">" << Esc(cam.name) << "</text>\n";
        // The grid goes under everything: its height is known once the lanes are laid out.
        const std::string lanesBefore = body.str();
        body.str("");
        double r = blockTop;

        // Phases: labels inside their bars where they fit, else stacked
        // above the bars at the phase's start.
        std::vector<std::pair<double, std::string>> outside;
        std::vector<const TimelinePhase*> outsidePhase;
        for (const auto& p : phases) {
            const double w = std::max(1.5, X(p.end) - X(p.start));
            if (w <= 7.0 * static_cast<double>(p.label.size())) {
                outside.emplace_back(X(p.start), p.label);
                outsidePhase.push_back(&p);
            }
        }
        int labelLines = 0;
        const std::vector<int> line = StackLabels(outside, &labelLines);
        body << "<g class=\"phases\">\n";
        for (size_t i = 0; i < outside.size(); ++i) {
            const double ly = r + 11 + 13.0 * line[i];
            body << "<text x=\"" << Num(outside[i].first) << "\" y=\"" << Num(ly)
                 << "\" class=\"phase-label outside\">" << Esc(outside[i].second) << "</text>\n";
        }
        r += 13.0 * labelLines;
        body << "<text x=\"12\" y=\"" << Num(r + 18) << "\" class=\"lane\">phases</text>\n";
        for (const auto& p : phases) {
            phaseLabelsUsed.insert(p.label);
            const Color col = PhaseColor(p.label);
            const double x0 = X(p.start), w = std::max(1.5, X(p.end) - x0);
            body << "<rect class=\"phase\" x=\"" << Num(x0) << "\" y=\"" << Num(r + 3) << "\" width=\"" << Num(w)
                 << "\" height=\"" << Num(kPhaseRow - 6) << "\" fill=\"" << col.fill << "\"><title>"
                 << Esc(p.label + ": " + Ms(p.start) + " to " + Ms(p.end) + ", " + std::to_string(p.transfers) +
                        " transfers")
                 << "</title></rect>";
            if (w > 7.0 * static_cast<double>(p.label.size()))
                body << "<text x=\"" << Num(x0 + 4) << "\" y=\"" << Num(r + 18) << "\" class=\"phase-label\" fill=\""
                     << col.text << "\">" << Esc(p.label) << "</text>";
            body << "\n";
        }
        body << "</g>\n";
        r += kPhaseRow + 6;

        // One row per request code.
        body << "<g class=\"transfers\">\n";
        for (const auto& [key, list] : rows) {
            body << "<text x=\"12\" y=\"" << Num(r + 12) << "\" class=\"lane\">" << Esc(RowKeyName(key)) << " ("
                 << list.size() << ")</text>\n";
            for (const TimelineTransfer* t : list) {
                const double x0 = X(t->start);
                const bool open = t->end < 0;
                const double w = open ? std::max(1.0, X(tEnd) - x0) : std::max(1.0, X(t->end) - x0);
                anyFailed = anyFailed || t->failed;
                anyOpen = anyOpen || open;
                char what[96];
                std::snprintf(what, sizeof what, "%s wValue 0x%04X wLength %u", RowKeyName(key).c_str(), t->wValue,
                              t->wLength);
                std::string tip = std::string(what) + " at " + Ms(t->start) +
                                  (open ? ", never completed" : ", " + Ms(t->end - t->start)) +
                                  (t->failed ? ", failed" : "") + (t->fault.empty() ? "" : ", fault " + t->fault);
                body << "<rect class=\"transfer" << (t->failed ? " failed" : "") << (open ? " open" : "")
                     << "\" x=\"" << Num(x0) << "\" y=\"" << Num(r + 3) << "\" width=\"" << Num(w)
                     << "\" height=\"" << Num(kRow - 6) << "\" fill=\"" << (t->failed ? "#d50000" : RequestColor(*t))
                     << "\"><title>" << Esc(tip) << "</title></rect>\n";
            }
            r += kRow;
        }
        body << "</g>\n";
        r += 6;

        // Events: plug and play, power, WMI (and run events when there are
        // any), labels stacked so that none hides another.
        body << "<g class=\"events\">\n";
        for (const auto& [kind, list] : events) {
            std::vector<std::pair<double, std::string>> labels;
            for (const TimelineEvent* e : list) labels.emplace_back(X(e->at) + 3, e->label);
            int lines = 0;
            const std::vector<int> at = StackLabels(labels, &lines);
            const double rowH = std::max(kEventRow, 8.0 + 13.0 * lines);
            body << "<text x=\"12\" y=\"" << Num(r + 14) << "\" class=\"lane\">" << EventKindName(kind) << " events ("
                 << list.size() << ")</text>\n";
            for (size_t i = 0; i < list.size(); ++i) {
                const TimelineEvent* e = list[i];
                const double x = X(e->at);
                body << "<g class=\"event\"><line x1=\"" << Num(x) << "\" y1=\"" << Num(r + 2) << "\" x2=\""
                     << Num(x) << "\" y2=\"" << Num(r + rowH - 4) << "\" stroke=\"" << EventColor(kind)
                     << "\" stroke-width=\"2\"/><text x=\"" << Num(labels[i].first) << "\" y=\"" << Num(r + 13 + 13.0 * at[i])
                     << "\" class=\"event-label\" fill=\"" << EventColor(kind) << "\">" << Esc(e->label)
                     << "</text><title>"
                     << Esc(std::string(EventKindName(kind)) + ": " + e->label + " at " + Ms(e->at))
                     << "</title></g>\n";
            }
            r += rowH;
        }
        body << "</g>\n";

        // Injected faults.
        body << "<g class=\"faults\"><text x=\"12\" y=\"" << Num(r + 12) << "\" class=\"lane\">faults injected ("
             << faults.size() << ")</text>\n";
        for (const TimelineTransfer* t : faults) {
            anyFault = true;
            const double x = X(t->start);
            body << "<path class=\"fault\" d=\"M" << Num(x) << "," << Num(r + 2) << " l5,10 l-10,0 z\" fill=\"#d50000\">"
                 << "<title>" << Esc("fault " + t->fault + " on " + RowKeyName(IsVendor(*t) ? t->bRequest : -1) +
                                     " at " + Ms(t->start))
                 << "</title></path>\n";
        }
        body << "</g>\n</g>\n";
        r += kRow + 8;
        const std::string lanes = body.str();
        body.str("");
        body << lanesBefore;
        axis(blockTop, r);
        body << lanes;
        y = r + 10;
    }

    // Legend.
    y += 10;
    body << "<g class=\"legend\"><text x=\"12\" y=\"" << Num(y + 12) << "\" class=\"lane\">legend</text>\n";
    double lx = kLeft;
    // Each item: a swatch drawn at (x, y) by `swatch`, then its text.
    auto item = [&](auto swatch, const std::string& text) {
        const double w = 28 + 6.5 * static_cast<double>(text.size());
        if (lx + w > kWidth - kRight) {
            lx = kLeft;
            y += 18;
        }
        body << "<g class=\"legend-item\">" << swatch(lx) << "<text x=\"" << Num(lx + 18) << "\" y=\"" << Num(y + 12)
             << "\" class=\"note\">" << Esc(text) << "</text></g>\n";
        lx += w;
    };
    auto box = [&](const std::string& fill, double top, double height, const std::string& cls = "") {
        return [=, &y](double x) {
            return "<rect x=\"" + Num(x) + "\" y=\"" + Num(y + top) + "\" width=\"14\" height=\"" + Num(height) +
                   "\" fill=\"" + fill + "\"" + (cls.empty() ? "" : " class=\"" + cls + "\"") + "/>";
        };
    };
    for (const auto& label : phaseLabelsUsed) item(box(PhaseColor(label).fill, 2, 12), label);
    item(box("#2e7d32", 5, 6), "transfer (submitted to completed)");
    if (anyFailed) item(box("#d50000", 5, 6), "failed transfer");
    if (anyOpen) item(box("#999999", 5, 6, "open"), "never completed");
    if (anyFault)
        item([&](double x) { return "<path d=\"M" + Num(x + 7) + "," + Num(y + 2) + " l5,10 l-10,0 z\" fill=\"#d50000\"/>"; },
             "injected fault");
    for (TimelineEventKind k : {TimelineEventKind::Pnp, TimelineEventKind::Power, TimelineEventKind::Wmi})
        item(
            [&](double x) {
                return "<line x1=\"" + Num(x + 7) + "\" y1=\"" + Num(y + 1) + "\" x2=\"" + Num(x + 7) + "\" y2=\"" +
                       Num(y + 15) + "\" stroke=\"" + EventColor(k) + "\" stroke-width=\"2\"/>";
            },
            std::string(EventKindName(k)) + " event");
    body << "</g>\n";
    y += 30;

    std::ostringstream svg;
    svg << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << Num(kWidth) << "\" height=\"" << Num(y)
        << "\" viewBox=\"0 0 " << Num(kWidth) << " " << Num(y) << "\" font-family=\"sans-serif\">\n"
        << "<style>.title{font-size:16px;font-weight:bold}.note{font-size:11px;fill:#333}"
           ".camera-name{font-size:13px;font-weight:bold}.lane{font-size:11px;fill:#222}"
           ".tick{font-size:10px;fill:#555;text-anchor:middle}.grid{stroke:#e0e0e0;stroke-width:1}"
           ".phase-label{font-size:11px}.event-label{font-size:10px}.open{opacity:0.5}</style>\n"
        << "<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n"
        << body.str() << "</svg>\n";
    return svg.str();
}

}  // namespace orvex::cli
