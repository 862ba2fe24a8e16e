// What one run leaves behind: the camera's end state, the traffic, pool use
// and the outcome, written as JSON by --report and shown by the demo.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace orvex::cli {

// One update run: the life of one update thread of the camera's device.
struct UpdateRunReport {
    uint64_t start_ms = 0;              // the device's start (virtual time since the cameras were plugged in)
    std::optional<uint64_t> end_ms;     // the thread's end; absent: still running when the run ended
    // "update finished" (the thread ended on its own), "camera left the bus",
    // or the event that ended it ("stop", "disable", "sleep", "shutdown");
    // "still running" at the end of the run.
    std::string ended_by;
    uint32_t uid = 0;                   // the device's unique ID while it ran (0: none was free)
    uint32_t isp_pages_written = 0;     // what the camera accepted during the run
    uint32_t aud_pages_written = 0;
    uint32_t eeprom_pages_written = 0;
    uint32_t resets = 0;
    std::map<std::string, uint32_t> vendor_requests;  // "UVCGet_VERSION" -> times sent during the run
};

// The device power state the camera's stack was set to, and when.
struct PowerStateChange {
    uint64_t time_ms = 0;
    std::string state;  // "D0".."D3"
};

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
    // Life through the plug-and-play and power managers.
    uint32_t uid = 0;           // unique ID of the camera's last device (0: none was free)
    std::vector<UpdateRunReport> update_runs;
    // Hardware-key ("Device Parameters") values the driver wrote; absent: never written.
    std::optional<uint32_t> check_box_remote_wake_up;
    std::optional<uint32_t> check_box_power_device;
    std::vector<PowerStateChange> device_power;
    bool wait_wake_pending = false;  // a wait-wake IRP was held by the PDO when the events were done
    bool wait_wake_armed = false;    // a wait-wake IRP reached the PDO at any time
    std::string pnp_state;           // where the device stood when the events were done ("started", ...)
};

// One PnP, power or WMI request as it passed.
struct RequestRecord {
    uint64_t time_ms = 0;
    int camera = -1;       // -1: the system (the hub)
    std::string request;   // "START_DEVICE", "SET_POWER(D3)", "WMI SET_SINGLE_INSTANCE(wake)"...
    std::string status;    // hex
};

struct WmiQueryResult {
    uint64_t time_ms = 0;
    int camera = 0;
    std::string block;             // "wake", "power"
    std::string status;            // hex
    std::optional<uint32_t> value; // the byte, when the query succeeded
};

struct DriverRecordReport {
    uint64_t time_ms = 0;
    std::string action;                // "load", "unload"
    std::string status;                // DriverEntry's status (load)
    std::vector<std::string> problems; // what the unload's checks found
};

struct RunInfo {
    uint64_t device_time_ms = 0;  // virtual time from the start of the device to the end of the update thread
    uint64_t wall_ms = 0;
    uint64_t transfers = 0;       // URBs that reached the camera's bus
    uint64_t bytes_out = 0;
    uint64_t bytes_in = 0;
    std::string ended_by;         // "update finished", "time limit", "start failed", "fault", "no driver", ...
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
    CameraReport camera;                 // camera 0 (kept for one-camera readers)
    std::vector<CameraReport> cameras;   // every camera, camera 0 first
    std::vector<RequestRecord> requests; // PnP, power and WMI requests in order
    std::vector<WmiQueryResult> wmi_queries;
    std::vector<DriverRecordReport> driver;
    std::vector<std::string> system_sleep;  // "S3 refused (0xC00000..)" ... outcome of each sleep event
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
