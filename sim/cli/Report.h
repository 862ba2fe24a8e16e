// What one run leaves behind: the camera's end state, the traffic, pool use
// and the outcome, written as JSON by --report and shown by the demo.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orvex::cli {

struct CameraReport {
    uint32_t fx3_version = 0;   // b0*10000 + b1*100 + b2 of the record the camera reports at the end
    uint32_t isp_version = 0;   // 24-bit
    uint32_t aud_version = 0;   // record byte 6
    std::string version_record; // the 12 bytes, hex
    std::string eeprom_sha256;
    std::string isp_flash_sha256;  // over the bytes stored for the ISP image ("" when never flashed)
    std::string aud_flash_sha256;
    uint32_t eeprom_pages_written = 0;
    uint32_t isp_pages_written = 0;
    uint32_t aud_pages_written = 0;
    uint32_t resets = 0;
    uint32_t isp_resets = 0;
    bool update_mode = false;   // still in update mode at the end
};

struct RunInfo {
    uint64_t device_time_ms = 0;  // virtual time from the start of the device to the end of the update thread
    uint64_t wall_ms = 0;
    uint64_t transfers = 0;       // URBs that reached the camera's bus
    uint64_t bytes_out = 0;
    uint64_t bytes_in = 0;
    std::string ended_by;         // "update finished", "stop event", "time limit", "fault", "no driver"
    std::vector<std::string> events_applied;  // "unplug at 40000 ms"
    std::vector<std::string> faults_injected;
    std::string start_status;     // NTSTATUS of Start, hex
    std::string inf;              // the INF the driver was installed from ("" = registered directly)
    std::string hardware_id;      // the camera's hardware ID the driver is matched against
    std::string replay_divergence;  // replayed camera: the first request the recording does not hold ("" = none)
};

struct PoolInfo {
    uint64_t peak_bytes = 0;
    uint64_t leaked_bytes = 0;
    uint64_t leaked_allocations = 0;
};

struct RunReport {
    CameraReport camera;
    RunInfo run;
    PoolInfo pool;
    // Problems the platform caught (deadlock, leak, verifier check): a run
    // with any is a failed run.
    std::vector<std::string> platform_faults;
};

// The report as pretty-printed JSON text (trailing newline included).
std::string ReportJson(const RunReport& report);

// FX3 version number from the record's first three bytes.
inline uint32_t Fx3VersionOf(const uint8_t* record) {
    return (record[0] * 100u + record[1]) * 100u + record[2];
}
inline uint32_t IspVersionOf(const uint8_t* record) {
    return record[3] | (record[4] << 8) | (static_cast<uint32_t>(record[5]) << 16);
}

}  // namespace orvex::cli
