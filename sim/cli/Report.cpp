#include "Report.h"

#include <nlohmann/json.hpp>

namespace orvex::cli {

std::string ReportJson(const RunReport& r) {
    nlohmann::ordered_json j;
    const auto& c = r.camera;
    j["camera"] = {{"fx3_version", c.fx3_version},
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
                   {"update_mode", c.update_mode}};
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
    j["pool"] = {{"peak_bytes", r.pool.peak_bytes},
                 {"leaked_bytes", r.pool.leaked_bytes},
                 {"leaked_allocations", r.pool.leaked_allocations}};
    j["platform_faults"] = r.platform_faults;
    return j.dump(2) + "\n";
}

}  // namespace orvex::cli
