// A scenario: everything one simulated run needs, read from a JSON file.
//
// The file names the host folders behind drive letters, the four string
// values of the device's driver key, the "Logs" value, the camera's starting
// state and knobs, and the events applied on virtual time after the start.
// LoadScenario checks every key and value before anything runs; each problem
// is reported with the JSON pointer of the offending value (for example
// "/camera/faults/0/kind"), and a scenario with any problem is refused whole.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "ScenarioFaults.h"

namespace orvex::cli {

// One problem found in a scenario: where (a JSON pointer, "" for the document
// itself) and what.
struct ScenarioIssue {
    std::string path;
    std::string message;
};

// Thrown by LoadScenario/ParseScenario when the scenario is unusable; carries
// every issue found, in document order.
class ScenarioError : public std::runtime_error {
public:
    ScenarioError(std::string source, std::vector<ScenarioIssue> issues);
    const std::vector<ScenarioIssue>& issues() const { return issues_; }
    const std::string& source() const { return source_; }

private:
    std::string source_;
    std::vector<ScenarioIssue> issues_;
};

// Fault kinds the simulated camera can be told to show on one request.
enum class FaultKind {
    Stall,     // the endpoint stalls: USBD status STALL_PID, no data
    Timeout,   // the camera never answers; the transfer is cancelled by the caller's time-out
    Gone,      // the camera drops off the bus at this request (and stays off)
    NoHandle,  // completes with USBD status 0 but the pipe handle is never filled in
    Short,     // an IN request delivers fewer bytes than asked
    Stuck,     // the USB stack holds the request for good and ignores its cancellation
};

const char* FaultKindName(FaultKind kind);

struct FaultSpec {
    uint8_t request = 0;        // bRequest the fault applies to (0xB0..0xBB, or any other value)
    uint32_t occurrence = 1;    // 1-based: the n-th such request since the camera was plugged
    FaultKind kind = FaultKind::Stall;
    std::optional<uint32_t> length;  // for Short: most bytes delivered (default 0)
};

enum class EventKind {
    Stop,        // rebalance: query-stop, stop, start
    Unplug,      // the camera leaves the bus
    Replug,      // it comes back into its port
    Disable,     // query-remove, remove
    Enable,      // AddDevice and the start sequence again
    Sleep,       // the system goes to S1..S4 (query-power, then set-power)
    Wake,        // the system returns to S0
    WakeSignal,  // the camera signals remote wakeup
    Shutdown,    // the system shuts down (set-power, no query)
    WmiSet,      // a WMI set of one of the two power blocks
    WmiQuery,    // a WMI query of one of them
};

const char* EventKindName(EventKind kind);

struct EventSpec {
    uint64_t at_ms = 0;  // virtual milliseconds after the cameras were plugged in
    EventKind kind = EventKind::Stop;
    uint32_t camera = 0;    // index into Scenario::cameras (camera events only)
    int sleep_state = 0;    // Sleep: 1..4 (S1..S4)
    std::string block;      // WmiSet, WmiQuery: "wake" or "power"
    uint8_t value = 0;      // WmiSet: the byte written
};

// Whether an event concerns one camera (and takes "camera") or the system.
bool EventNamesCamera(EventKind kind);

struct CameraSpec {
    std::optional<std::vector<uint8_t>> version_record;  // 12 bytes, or derived from the firmware held
    std::optional<std::filesystem::path> eeprom;          // initial EEPROM content (absolute host path)
    std::optional<std::filesystem::path> replay;          // answer from this recorded capture instead of the model
    uint32_t eeprom_size = 262144;
    uint8_t readiness_status = 0xA1;
    uint8_t isp_fw_status = 1;
    uint8_t aud_fw_status = 1;
    uint32_t fw_status_zero_polls = 0;
    bool isp_needs_reset = false;
    std::optional<uint16_t> vendor_id;    // device descriptor idVendor (absent: the camera's own)
    std::optional<uint16_t> product_id;   // device descriptor idProduct
    // Raw descriptors the camera answers, exactly as given (truncated or lying
    // ones included); absent: the camera's own.
    std::optional<std::vector<uint8_t>> device_descriptor;
    std::optional<std::vector<uint8_t>> config_descriptor;
    std::optional<uint32_t> erase_ms;     // flash erase time after the size announcement
    std::optional<uint32_t> alive_after_flash_ms;  // the camera still answers alive after the last page
    std::optional<uint32_t> reboot_ms;    // then it reboots for this long
    // Where the camera puts the k-th image of an update ("isp" / "audio");
    // absent: it goes by each image's content.
    std::optional<std::vector<std::string>> download_order;
    std::vector<FaultSpec> faults;
    // The camera re-enumerates after UVCReset_ID: it drops off the bus and
    // comes back `reenumerate_ms` later running its new firmware.
    bool reenumerate_after_reset = true;
    uint32_t reenumerate_ms = 3000;
};

// A PnP or power IRP the camera's PDO fails.
struct PdoFaultSpec {
    std::string irp;                    // "start", "query_power", "bus_type_guid", ... (PdoFaultIrps)
    uint32_t status = 0;                // NTSTATUS returned
    std::optional<uint64_t> occurrence; // 1-based n-th such request to this camera's PDOs; absent: every one
};

// What the USB bus driver answers for a camera's PDO.
struct PdoSpec {
    std::optional<int> system_wake;     // SYSTEM_POWER_STATE (1 = S0 .. 6 = S5)
    std::optional<int> device_wake;     // DEVICE_POWER_STATE (1 = D0 .. 4 = D3)
    std::map<int, int> device_state;    // SYSTEM_POWER_STATE -> DEVICE_POWER_STATE
    std::optional<uint32_t> bus_number;    // DevicePropertyBusNumber
    std::optional<std::string> bus_type_guid;  // DevicePropertyBusTypeGuid, "{xxxxxxxx-...}"
    std::vector<PdoFaultSpec> faults;
    bool HasCapabilities() const { return system_wake || device_wake || !device_state.empty(); }
};

// The names `pdo.faults[].irp` takes, in the order the documentation lists them.
const std::vector<std::string>& PdoFaultIrps();

// One camera on the bus: its driver key's values, the model's knobs and
// what its PDO answers.
struct CameraUnit {
    std::map<std::string, std::string> settings;
    CameraSpec camera;
    PdoSpec pdo;
};

struct Scenario {
    std::filesystem::path file;       // the scenario file itself (absolute)
    std::filesystem::path base_dir;   // its folder (canonical); every host path lies under it
    std::map<char, std::filesystem::path> drives;  // upper-case letter -> canonical host folder
    // Values of the device's driver key, exactly as the registry holds them;
    // a key that is absent here is a value that is absent in the registry.
    std::map<std::string, std::string> settings;
    std::optional<uint32_t> log_mask;  // "Logs" under "\Parameters"; absent: no such key
    CameraSpec camera;
    PdoSpec pdo;                       // top-level "pdo": every camera's unless it has its own
    // Every camera, in port order. The one-camera form (top-level "settings"
    // and "camera") gives one entry, equal to `settings`, `camera`, `pdo`;
    // with "cameras" the top-level three describe camera 0.
    std::vector<CameraUnit> cameras;
    std::vector<EventSpec> events;     // sorted by time, stable
    uint64_t time_limit_ms = 30 * 60 * 1000;  // virtual-time bound of the whole run
    int64_t capture_epoch = 1704067200;  // capture time stamp of virtual time 0 (seconds since 1970 UTC)
    Injections inject;  // failures at the n-th call or URB, re-enumeration (ScenarioFaults.h)
};

// Most cameras one scenario may plug in (the hub's ports).
inline constexpr size_t kMaxCameras = 64;

// The four value names of the driver key, in the order of the settings block.
inline const std::vector<std::string>& SettingNames() {
    static const std::vector<std::string> names{"FX3", "ISP", "AUD", "VERSION"};
    return names;
}

// Reads and checks a scenario file. Throws ScenarioError.
Scenario LoadScenario(const std::filesystem::path& file);

// Checks a scenario given as text; host paths are resolved against baseDir.
// `source` names the text in messages. Throws ScenarioError.
Scenario ParseScenario(const std::string& text, const std::filesystem::path& baseDir, const std::string& source);

// Parses "01 02 AA", "0102aa" or "01-02-aa" into bytes; nullopt on bad input.
std::optional<std::vector<uint8_t>> ParseHexBytes(const std::string& text);

}  // namespace orvex::cli
