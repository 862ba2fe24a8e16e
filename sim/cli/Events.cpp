// The scenario's events, each carried out through the hosted plug-and-play
// manager, power manager, WMI or the USB bus exactly as Windows (or the
// camera) would bring it about; the runner waits for the manager to settle
// after each one.
#include <hosted/hosted.h>
#include <hosted/pnp.h>
#include <hosted/power.h>
#include <hosted/wmi.h>

#include "Life.h"
#include "UsbBus.h"

namespace orvex::cli {

namespace {

// The two power-management blocks every WDM driver may offer (the platform
// defines them; the driver registers them with these GUIDs).
constexpr GUID kWakeBlock = {0xa9546a82, 0xfeb0, 0x11d0, {0xbd, 0x26, 0x00, 0xaa, 0x00, 0xb7, 0xb3, 0x2a}};
constexpr GUID kPowerBlock = {0x827c0a6f, 0xfeb0, 0x11d0, {0xbd, 0x26, 0x00, 0xaa, 0x00, 0xb7, 0xb3, 0x2a}};

std::string Describe(const Life& life, const EventSpec& e) {
    std::string text = EventKindName(e.kind);
    if (e.kind == EventKind::Sleep) text += " S" + std::to_string(e.sleep_state);
    if (e.kind == EventKind::WmiSet || e.kind == EventKind::WmiQuery) text += " " + e.block;
    if (e.kind == EventKind::WmiSet) text += " = " + std::to_string(e.value);
    // One-camera scenarios keep their short form ("stop at 10000 ms").
    if (EventNamesCamera(e.kind) && life.cameras.size() > 1) text += " of camera " + std::to_string(e.camera);
    return text + " at " + std::to_string(e.at_ms) + " ms";
}

// Marks the runs an event may end; a run that outlives the event keeps
// going and is no longer the event's.
void Mark(Life& life, CameraLife* only, const std::string& cause) {
    for (auto& c : life.cameras)
        if ((!only || &c == only) && c.live) c.cause = cause;
}

std::string SystemStateName(SYSTEM_POWER_STATE s) {
    if (s == PowerSystemShutdown) return "shut down";
    if (s >= PowerSystemWorking && s <= PowerSystemHibernate) return "S" + std::to_string(s - PowerSystemWorking);
    return "S?";
}

}  // namespace

uint64_t Life::NowRel() const { return Rel(hosted::Clock::Now()); }

PDEVICE_OBJECT Life::Pdo(const CameraLife& c) const { return bus->Pdo(c.port); }

std::string StatusHex(NTSTATUS status) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(status));
    return buf;
}

std::string CameraStateText(Life& life, const CameraLife& c) {
    if (c.camera && c.camera->Reenumerating()) return "re-enumerating";
    if (!life.bus->Plugged(c.port)) return "unplugged";
    PDEVICE_OBJECT pdo = life.Pdo(c);
    if (!pdo) return "no device";
    switch (hosted::Pnp::State(pdo)) {
        case hosted::DeviceState::Enumerated: return "no driver";
        case hosted::DeviceState::StartFailed: return "start failed";
        case hosted::DeviceState::Disabled: return "disabled";
        case hosted::DeviceState::SurpriseRemoved: return "surprise removed";
        case hosted::DeviceState::Removed: return "removed";
        case hosted::DeviceState::Started: break;
    }
    const SYSTEM_POWER_STATE system = hosted::Power::SystemState();
    if (system != PowerSystemWorking) return "system " + SystemStateName(system);
    return "";
}

void ApplyEvent(Life& life, const EventSpec& e) {
    // Listed before it is carried out: an event the platform never returns
    // from (a deadlock) is still in the report.
    // An event waits for the one before it to be carried out (a removal
    // waits for the update thread): say when it was applied when that is late.
    const uint64_t now = life.NowRel();
    life.rep.run.events_applied.push_back(Describe(life, e) +
                                          (now > e.at_ms ? " (applied at " + std::to_string(now) + " ms)" : ""));
    const size_t entry = life.rep.run.events_applied.size() - 1;
    CameraLife& c = life.cameras[EventNamesCamera(e.kind) ? e.camera : 0];
    PDEVICE_OBJECT pdo = life.Pdo(c);
    std::string outcome;
    auto started = [&] { return pdo && hosted::Pnp::State(pdo) == hosted::DeviceState::Started; };
    switch (e.kind) {
        case EventKind::Unplug:
            // The hub loses the camera; the manager surprise-removes and
            // removes its device, the update thread ends on its own.
            Mark(life, &c, "unplug");
            if (!life.bus->Plugged(c.port)) outcome = "it was not plugged in";
            life.bus->Unplug(c.port);
            break;
        case EventKind::Replug:
            if (life.bus->Plugged(c.port)) outcome = "it was plugged in";
            life.bus->Replug(c.port);
            break;
        case EventKind::Stop: {
            // Rebalance: query-stop, stop, start; the restarted device runs a
            // new update thread.
            if (!started()) {
                outcome = "no started device";
                break;
            }
            Mark(life, &c, "stop");
            const NTSTATUS st = hosted::Pnp::Rebalance(pdo);
            if (!NT_SUCCESS(st)) outcome = "refused or failed: " + StatusHex(st);
            break;
        }
        case EventKind::Disable: {
            if (!started()) {
                outcome = "no started device";
                break;
            }
            Mark(life, &c, "disable");
            const NTSTATUS st = hosted::Pnp::Disable(pdo);
            if (!NT_SUCCESS(st)) outcome = "refused: " + StatusHex(st);
            break;
        }
        case EventKind::Enable: {
            if (!pdo || hosted::Pnp::State(pdo) != hosted::DeviceState::Disabled) {
                outcome = "no disabled device";
                break;
            }
            const NTSTATUS st = hosted::Pnp::Enable(pdo);
            if (!NT_SUCCESS(st)) outcome = "failed: " + StatusHex(st);
            break;
        }
        case EventKind::Sleep: {
            const auto state = static_cast<SYSTEM_POWER_STATE>(PowerSystemWorking + e.sleep_state);
            Mark(life, nullptr, "sleep");
            const NTSTATUS st = hosted::Power::Sleep(state);
            const std::string name = "S" + std::to_string(e.sleep_state);
            if (NT_SUCCESS(st)) {
                life.rep.system_sleep.push_back(name + " at " + std::to_string(e.at_ms) + " ms: the system slept");
            } else {
                // A refused query: the stacks already asked are told the
                // system stays in S0, and it does.
                outcome = "refused: " + StatusHex(st);
                life.rep.system_sleep.push_back(name + " at " + std::to_string(e.at_ms) + " ms: refused (" +
                                                StatusHex(st) + "), the system stayed in S0");
            }
            break;
        }
        case EventKind::Wake: {
            if (hosted::Power::SystemState() == PowerSystemWorking) {
                outcome = "the system was awake";
                break;
            }
            const NTSTATUS st = hosted::Power::Wake();
            life.rep.system_sleep.push_back("S0 at " + std::to_string(e.at_ms) + " ms: " +
                                            (NT_SUCCESS(st) ? std::string("the system woke") : "wake " + StatusHex(st)));
            break;
        }
        case EventKind::Shutdown: {
            Mark(life, nullptr, "shutdown");
            const NTSTATUS st = hosted::Power::Shutdown();
            life.rep.system_sleep.push_back("shutdown at " + std::to_string(e.at_ms) + " ms: " + StatusHex(st));
            break;
        }
        case EventKind::WakeSignal:
            // Completes the wait-wake IRP the PDO holds; with none pending
            // the signal goes nowhere, as on a real bus.
            outcome = life.bus->SignalWake(c.port) ? "completed the pending wait-wake" : "nothing pending";
            break;
        case EventKind::WmiSet:
        case EventKind::WmiQuery: {
            // WMI addresses the device that registered: the driver's
            // function device, the top of the camera's stack.
            const GUID& guid = e.block == "wake" ? kWakeBlock : kPowerBlock;
            PDEVICE_OBJECT device = pdo ? hosted::Pnp::Top(pdo) : nullptr;
            const bool set = e.kind == EventKind::WmiSet;
            const std::string request =
                std::string("WMI ") + (set ? "SET_SINGLE_INSTANCE(" : "QUERY_SINGLE_INSTANCE(") + e.block + ")";
            NTSTATUS st = STATUS_WMI_GUID_NOT_FOUND;  // no device at all: nobody registered the block
            hosted::WmiReply reply{};
            if (device && device != pdo) {
                reply = set ? hosted::Wmi::SetSingleInstance(device, guid, {e.value})
                            : hosted::Wmi::QuerySingleInstance(device, guid);
                st = reply.status;
            }
            {
                std::lock_guard lock(life.mu);
                life.wmiRequests.push_back({life.NowRel(), static_cast<int>(c.index), request, StatusHex(st)});
            }
            if (!set) {
                WmiQueryResult q{life.NowRel(), static_cast<int>(c.index), e.block, StatusHex(st), std::nullopt};
                if (NT_SUCCESS(st) && !reply.data.empty()) q.value = reply.data[0];
                life.rep.wmi_queries.push_back(q);
            }
            if (!NT_SUCCESS(st)) outcome = "refused: " + StatusHex(st);
            break;
        }
    }
    hosted::Pnp::WaitIdle();
    hosted::Wmi::Settle();
    if (!outcome.empty()) life.rep.run.events_applied[entry] += " (" + outcome + ")";
}

}  // namespace orvex::cli
