// What a run reports of its cameras' lives: each camera's end state, the
// vendor requests of each update run, and the managers' logs sorted out by
// camera (requests, device power states, wait-wake).
#include <algorithm>
#include <cstdio>

#include <hosted/hosted.h>
#include <hosted/pnp.h>

#include "Life.h"
#include "UsbBus.h"

namespace orvex::cli {

std::string Hex(const uint8_t* p, size_t n) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        if (i) s += ' ';
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

void FillCameraReport(orvex::sim::Camera& camera, CameraReport& r) {
    auto record = camera.VersionRecord();
    r.version_record = Hex(record.data(), record.size());
    r.fx3_version = Fx3VersionOf(record.data());
    r.isp_version = IspVersionOf(record.data());
    r.aud_version = record[6];
    auto stats = camera.Stats();
    r.eeprom_sha256 = stats.eepromSha256;
    r.isp_flash_sha256 = stats.ispSha256;
    r.aud_flash_sha256 = stats.audioSha256;
    r.eeprom_pages_written = stats.eepromPagesWritten;
    r.isp_pages_written = stats.ispPagesWritten;
    r.aud_pages_written = stats.audioPagesWritten;
    r.resets = stats.resets;
    r.isp_resets = stats.ispResets;
    r.update_mode = camera.InUpdateMode();
}

// The requests the vendor-request counts of each run are taken from: a
// camera's runs never overlap, so run k holds what its port received after
// run k-1 ended and up to its own end.
void CountVendorRequests(Life& life, const std::vector<hosted::usb::Transfer>& log) {
    for (auto& c : life.cameras) {
        int64_t from = INT64_MIN;
        for (size_t k = 0; k < c.runs.size(); ++k) {
            auto& run = c.runs[k];
            const int64_t to = k < c.runEnds.size() ? c.runEnds[k] : INT64_MAX;
            for (const auto& t : log) {
                if (t.port != c.port || !t.control || (t.setup[0] & 0x60) != 0x40) continue;
                if (t.submitted <= from || t.submitted > to) continue;
                const char* name = VendorRequestName(t.bRequest());
                char hex[8];
                std::snprintf(hex, sizeof hex, "0x%02X", t.bRequest());
                ++run.vendor_requests[*name ? name : hex];
            }
            from = to;
        }
    }
}

// The camera's life as the managers' logs hold it: every PnP and power
// request, the device power states, whether wait-wake was ever armed.
void FillLifeFromLog(Life& life, const std::vector<hosted::IrpRecord>& log) {
    std::map<std::string, size_t> instances;
    {
        std::lock_guard lock(life.mu);
        instances = life.instances;
        life.rep.requests = life.wmiRequests;
    }
    for (const auto& r : log) {
        auto it = instances.find(r.instance);
        if (it == instances.end()) continue;
        const size_t i = it->second;
        life.rep.requests.push_back({life.Rel(r.time), static_cast<int>(i), r.Name(), StatusHex(r.status)});
        CameraReport& cr = life.rep.cameras[i];
        if (r.major == IRP_MJ_POWER && r.minor == IRP_MN_WAIT_WAKE) cr.wait_wake_armed = true;
        if (r.major == IRP_MJ_POWER && r.minor == IRP_MN_SET_POWER && !r.params.empty() && r.params[0] == 'D' &&
            NT_SUCCESS(r.status))
            cr.device_power.push_back({life.Rel(r.time), r.params});
    }
    std::stable_sort(life.rep.requests.begin(), life.rep.requests.end(),
                     [](const RequestRecord& a, const RequestRecord& b) { return a.time_ms < b.time_ms; });
}

const char* PnpStateName(hosted::DeviceState s) {
    switch (s) {
        case hosted::DeviceState::Enumerated: return "enumerated";
        case hosted::DeviceState::Started: return "started";
        case hosted::DeviceState::StartFailed: return "start failed";
        case hosted::DeviceState::Disabled: return "disabled";
        case hosted::DeviceState::SurpriseRemoved: return "surprise removed";
        case hosted::DeviceState::Removed: return "removed";
    }
    return "?";
}

}  // namespace orvex::cli
