// Arms the scenario's "inject" block on the running platform (see
// ScenarioFaults.h).
#include "ScenarioFaults.h"

#include <atomic>
#include <vector>

#include <hosted/hosted.h>
#include <hosted/pnp.h>

#include "DriverView.h"
#include "SimCamera.h"
#include "SimOnBus.h"
#include "UsbBus.h"

namespace orvex::cli {

void ApplyInjections(const Injections& inject, orvex::sim::CameraConfig& config)
{
    if (inject.reenumerate_after_reset) config.reenumerateAfterReset = true;
}

struct InjectionsArmed::State {
    Injections inject;
    hosted::usb::Bus* bus = nullptr;
    int port = 1;
    std::string service;
    std::vector<hosted::Thread> helpers;
};

namespace {

uint32_t TagOf(const std::string& t)
{
    return uint32_t(uint8_t(t[0])) | uint32_t(uint8_t(t[1])) << 8 | uint32_t(uint8_t(t[2])) << 16 |
           uint32_t(uint8_t(t[3])) << 24;
}

std::string KeyPath(const std::string& key, PDEVICE_OBJECT pdo, const std::string& service)
{
    if (key == "driver") return hosted::Io::DriverKeyPath(pdo);
    if (key == "device") return hosted::Io::DeviceKeyPath(pdo);
    if (key == "parameters") return hosted::ServiceKeyPath(service) + "\\Parameters";
    return key;
}

}  // namespace

InjectionsArmed::InjectionsArmed(const Injections& inject, hosted::usb::Bus& bus, int port, std::string service)
    : state_(std::make_unique<State>())
{
    State& s = *state_;
    s.inject = inject;
    s.bus = &bus;
    s.port = port;
    s.service = std::move(service);
    const Injections& in = s.inject;

    if (in.unplug_before_urb || in.unplug_after_urb || in.stop_after_urb) {
        bus.SetUrbObserver([&s](const hosted::usb::Transfer& t, bool completed) {
            const Injections& in = s.inject;
            if ((!completed && in.unplug_before_urb == t.sequence) || (completed && in.unplug_after_urb == t.sequence))
                s.bus->Unplug(s.port);
            if (completed && in.stop_after_urb == t.sequence) {
                // The rebalance waits for the update thread to stop: it runs
                // on its own thread, as soon as the update thread waits.
                s.helpers.push_back(hosted::StartThread("rebalance", [&s] {
                    if (PDEVICE_OBJECT p = s.bus->Pdo(s.port); p && hosted::Pnp::State(p) == hosted::DeviceState::Started)
                        hosted::Pnp::Rebalance(p);
                }));
            }
        });
    }
    if (in.pdo_irp_fail) bus.FailIrp(*in.pdo_irp_major, *in.pdo_irp_minor, STATUS_UNSUCCESSFUL, *in.pdo_irp_fail);
    PDEVICE_OBJECT pdo = bus.Pdo(port);
    if (in.pool_fail) hosted::Pool::FailTag(TagOf(*in.pool_tag), *in.pool_fail);
    if (in.file_open_fail) hosted::Files::FailOpen(*in.file, STATUS_ACCESS_DENIED, *in.file_open_fail);
    if (in.file_query_fail) hosted::Files::FailQuery(*in.file, STATUS_ACCESS_DENIED, *in.file_query_fail);
    if (in.file_read_fail) hosted::Files::FailRead(*in.file, STATUS_UNSUCCESSFUL, *in.file_read_fail);
    if (in.registry_open_fail)
        hosted::Registry::FailOpen(KeyPath(*in.registry_key, pdo, s.service), STATUS_ACCESS_DENIED, *in.registry_open_fail);
    if (in.registry_query_fail)
        hosted::Registry::FailQuery(KeyPath(*in.registry_key, pdo, s.service), *in.registry_value,
                                    STATUS_INSUFFICIENT_RESOURCES, *in.registry_query_fail);
    if (in.device_property_fail)
        hosted::Io::FailDeviceProperty(pdo, DEVICE_REGISTRY_PROPERTY(*in.device_property), STATUS_UNSUCCESSFUL,
                                       *in.device_property_fail);
}

InjectionsArmed::~InjectionsArmed()
{
    state_->bus->SetUrbObserver(nullptr);
    // After a deadlock the platform has unwound the waiting threads; a
    // rebalance thread may be among them, and its join reports it again.
    for (auto& t : state_->helpers) {
        try {
            t.Join();
        } catch (const hosted::DeadlockError&) {
        }
    }
}

void InjectionsArmed::Settle()
{
    State& s = *state_;
    if (!s.inject.FollowsLife()) return;
    const int64_t quiet = hosted::Seconds(8);
    int64_t quietSince = hosted::Clock::Now();
    const int64_t limit = quietSince + hosted::Seconds(1800);
    while (hosted::Clock::Now() < limit) {
        hosted::Sleep(hosted::Seconds(1));
        bool running = false;
        if (PVOID thread = ViewDevice(s.bus->Pdo(s.port), hosted::Pnp::Driver(s.service)).thread) {
            LARGE_INTEGER zero;
            zero.QuadPart = 0;
            running = KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &zero) == STATUS_TIMEOUT;
            ObDereferenceObject(thread);
        }
        if (running) quietSince = hosted::Clock::Now();
        else if (hosted::Clock::Now() - quietSince >= quiet) break;
    }
    for (auto& t : s.helpers) t.Join();
    s.helpers.clear();
    hosted::Pnp::WaitIdle();
}

}  // namespace orvex::cli
