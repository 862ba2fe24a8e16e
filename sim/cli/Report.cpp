#include "Report.h"

#include <nlohmann/json.hpp>

namespace orvex::cli {

namespace {

nlohmann::ordered_json CameraJson(const CameraReport& c) {
    nlohmann::ordered_json j = {{"fx3_version", c.fx3_version},
                   {"isp_version", c.isp_version},
                   {"aud_version", c.aud_version},
                   {"version_record", c.version_record},
                   {"eeprom_sha256", c.eeprom_sha256},
                   {"isp_flash_sha256", c.isp_flash_sha256},
                   {"aud_flash_sha256", c.aud_flash_sha256},
                   {"eeprom_pages_written", c.eeprom_pages_written},
                   {"isp_pages_written", c.isp_pages_written},
                   {"aud_pages_written", c.aud_pages_written},
                   {"resets", c.resets},
                   {"isp_resets", c.isp_resets},
                   {"update_mode", c.update_mode},
                   {"uid", c.uid}};
    j["update_runs"] = nlohmann::ordered_json::array();
    for (const auto& u : c.update_runs) {
        nlohmann::ordered_json run = {{"start_ms", u.start_ms}};
        run["end_ms"] = u.end_ms ? nlohmann::ordered_json(*u.end_ms) : nlohmann::ordered_json();
        run["ended_by"] = u.ended_by;
        run["uid"] = u.uid;
        run["wrote"] = {{"isp_pages", u.isp_pages_written},
                        {"aud_pages", u.aud_pages_written},
                        {"eeprom_pages", u.eeprom_pages_written},
                        {"resets", u.resets}};
        run["vendor_requests"] = u.vendor_requests;
        j["update_runs"].push_back(run);
    }
    auto optional = [](const std::optional<uint32_t>& v) { return v ? nlohmann::ordered_json(*v) : nlohmann::ordered_json(); };
    j["hardware_key"] = {{"CheckBoxRemoteWakeUp", optional(c.check_box_remote_wake_up)},
                         {"CheckBoxPowerDevice", optional(c.check_box_power_device)}};
    j["device_power"] = nlohmann::ordered_json::array();
    for (const auto& p : c.device_power) j["device_power"].push_back({{"time_ms", p.time_ms}, {"state", p.state}});
    j["wait_wake_pending"] = c.wait_wake_pending;
    j["wait_wake_armed"] = c.wait_wake_armed;
    j["pnp_state"] = c.pnp_state;
    return j;
}

}  // namespace

std::string ReportJson(const RunReport& r) {
    nlohmann::ordered_json j;
    j["camera"] = CameraJson(r.camera);
    j["cameras"] = nlohmann::ordered_json::array();
    for (const auto& c : r.cameras) j["cameras"].push_back(CameraJson(c));
    const auto& u = r.run;
    j["run"] = {{"device_time_ms", u.device_time_ms},
                {"wall_ms", u.wall_ms},
                {"transfers", u.transfers},
                {"bytes_out", u.bytes_out},
                {"bytes_in", u.bytes_in},
                {"ended_by", u.ended_by},
                {"start_status", u.start_status},
                {"events_applied", u.events_applied},
                {"faults_injected", u.faults_injected}};
    if (!u.inf.empty()) j["run"]["inf"] = u.inf;
    j["run"]["hardware_id"] = u.hardware_id;
    if (!u.replay_divergence.empty()) j["run"]["replay_divergence"] = u.replay_divergence;
    j["requests"] = nlohmann::ordered_json::array();
    for (const auto& q : r.requests)
        j["requests"].push_back({{"time_ms", q.time_ms},
                                 {"camera", q.camera < 0 ? nlohmann::ordered_json() : nlohmann::ordered_json(q.camera)},
                                 {"request", q.request},
                                 {"status", q.status}});
    j["wmi_queries"] = nlohmann::ordered_json::array();
    for (const auto& q : r.wmi_queries)
        j["wmi_queries"].push_back({{"time_ms", q.time_ms},
                                    {"camera", q.camera},
                                    {"block", q.block},
                                    {"status", q.status},
                                    {"value", q.value ? nlohmann::ordered_json(*q.value) : nlohmann::ordered_json()}});
    j["system_sleep"] = r.system_sleep;
    j["driver"] = nlohmann::ordered_json::array();
    for (const auto& d : r.driver) {
        nlohmann::ordered_json e = {{"time_ms", d.time_ms}, {"action", d.action}};
        if (d.action == "load") e["status"] = d.status;
        else e["problems"] = d.problems;
        j["driver"].push_back(e);
    }
    j["pool"] = {{"peak_bytes", r.pool.peak_bytes},
                 {"leaked_bytes", r.pool.leaked_bytes},
                 {"leaked_allocations", r.pool.leaked_allocations}};
    j["platform_faults"] = r.platform_faults;
    return j.dump(2) + "\n";
}

}  // namespace orvex::cli
