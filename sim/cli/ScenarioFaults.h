// The scenario's "inject" block: failures injected at the n-th call of a
// platform routine or at the n-th URB, and the camera's re-enumeration after
// its reset, so that one point of the reliability sweeps replays with
// `orvex-sim run` exactly as the sweep ran it.
//
// ParseInjections (ScenarioFaults.cpp) needs no kernel; the rest
// (ScenarioFaultsArm.cpp) arms the failures on the running platform.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

namespace hosted::usb {
class Bus;
class BusDevice;
}  // namespace hosted::usb

namespace orvex::sim {
struct CameraConfig;
class Camera;
}  // namespace orvex::sim

namespace orvex::cli {

struct ScenarioIssue;

struct Injections {
    bool reenumerate_after_reset = false;  // the camera drops off and comes back after UVCReset_ID
    std::optional<uint64_t> unplug_before_urb, unplug_after_urb;  // the n-th URB on the camera's bus
    std::optional<uint64_t> stop_after_urb;  // rebalance (query-stop, stop, start) after the n-th URB
    std::optional<std::string> pool_tag;     // four characters, e.g. "Harn"
    std::optional<uint64_t> pool_fail;       // the n-th allocation with that tag fails
    std::optional<std::string> file;         // kernel name as the driver opens it, "\\??\\C:\\isp.bin"
    std::optional<uint64_t> file_open_fail, file_query_fail, file_read_fail;
    std::optional<std::string> registry_key;    // "driver", "device", "parameters" or a full key path
    std::optional<std::string> registry_value;  // for registry_query_fail
    std::optional<uint64_t> registry_open_fail, registry_query_fail;
    std::optional<uint8_t> pdo_irp_major, pdo_irp_minor;  // from "pnp 0x0E" / "power 0x02"
    std::optional<uint64_t> pdo_irp_fail;                 // the n-th such IRP the PDO receives fails
    std::optional<uint32_t> device_property;              // DEVICE_REGISTRY_PROPERTY of the first PDO
    std::optional<uint64_t> device_property_fail;

    // Anything that changes how the run is followed (the life goes on after
    // the first update thread has ended).
    bool FollowsLife() const { return reenumerate_after_reset || stop_after_urb || unplug_before_urb || unplug_after_urb; }
};

// Checks the "inject" object; problems go to `issues` with their JSON pointer.
Injections ParseInjections(const nlohmann::json& v, std::vector<ScenarioIssue>& issues);

// The camera's part: re-enumeration after its reset.
void ApplyInjections(const Injections& inject, orvex::sim::CameraConfig& config);

// Arms the failures once the camera is plugged in (and before the manager
// runs); lifts them and waits for its helper thread when destroyed.
class InjectionsArmed {
public:
    InjectionsArmed(const Injections& inject, hosted::usb::Bus& bus, int port, std::string service);
    ~InjectionsArmed();
    InjectionsArmed(const InjectionsArmed&) = delete;
    InjectionsArmed& operator=(const InjectionsArmed&) = delete;
    // Waits (virtual time) until the life has settled: no update thread has
    // run on the camera's current device for 8 s (longer than the camera's
    // re-enumeration) and the manager is idle. Returns at once when nothing
    // injected makes the life go on past the first update thread.
    void Settle();

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace orvex::cli
