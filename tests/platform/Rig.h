// The platform tests' stage: a test bus known to the PnP manager as a root
// bus, with the test driver registered for its devices, in a chosen way of
// delivering power callbacks and with the bus completing at a chosen IRQL.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <hosted/hosted.h>

#include "TestBus.h"
#include "TestDriver.h"

namespace platformtest {

// Let every ready thread (work items, deferred callbacks) run to its end.
inline void Settle()
{
    hosted::Pnp::WaitIdle();
    hosted::Sleep(hosted::Milliseconds(1));
    hosted::Pnp::WaitIdle();
}

struct Rig {
    explicit Rig(DriverConfig config = {}, hosted::Power::CallbackMode mode = hosted::Power::CallbackMode::Inline,
                 bool dispatch = false, const char* matchId = TestBus::kHardwareId)
    {
        ResetTestDriver(config);
        hosted::Power::SetCallbackMode(mode);
        bus.emplace();
        TestBus::CompleteAtDispatch(dispatch);
        hosted::Pnp::RegisterDriver("PLATTEST", TestDriverEntry, {matchId});
        hosted::Pnp::AddRootBus(bus->Device());
    }
    ~Rig() { TearDown(); }
    // Removes the root bus (and every stack on it); also before the platform's end check.
    void TearDown()
    {
        if (!bus) return;
        hosted::Pnp::RemoveRootBus(bus->Device());
        Settle();
        bus.reset();
    }
    PDEVICE_OBJECT Plug()
    {
        PDEVICE_OBJECT pdo = bus->Plug();
        Settle();
        return pdo;
    }
    std::optional<TestBus> bus;
};

}  // namespace platformtest
