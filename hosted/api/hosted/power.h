// The power manager: system transitions through every started device stack,
// how PoRequestPowerIrp callbacks are delivered, and a record of the power
// IRPs drivers passed on.
#pragma once

#include <cstdint>
#include <vector>

#include <wdm.h>

namespace hosted {

struct Power {
    // How the completion function of PoRequestPowerIrp runs. Inline: in the
    // context that completes the IRP (possibly at DISPATCH_LEVEL). Deferred:
    // later, on a system thread at PASSIVE_LEVEL. Windows allows both, so a
    // driver must work either way.
    enum class CallbackMode { Inline, Deferred };
    static void SetCallbackMode(CallbackMode mode);
    static CallbackMode GetCallbackMode();

    // A system transition as the power manager sends it: IRP_MN_QUERY_POWER
    // for `state` to every started stack, then IRP_MN_SET_POWER. If a stack
    // refuses the query, the stacks already queried get IRP_MN_SET_POWER for
    // the current state (S0) and the system stays awake; the refusal is the
    // result. Sleeping states are S1..S4; Wake() returns to S0.
    static NTSTATUS Sleep(SYSTEM_POWER_STATE state);
    static NTSTATUS Wake();
    // Shutdown: IRP_MN_SET_POWER for PowerSystemShutdown (no query), with
    // ShutdownType PowerActionShutdown.
    static NTSTATUS Shutdown();
    static SYSTEM_POWER_STATE SystemState();

    // A power IRP a driver passed on with PoCallDriver.
    struct PassedIrp {
        PIRP irp;
        PDEVICE_OBJECT from;   // device whose dispatch routine passed it (nullptr: sent by a manager)
        PDEVICE_OBJECT to;
        UCHAR minor;
        bool startNextCalled;  // PoStartNextPowerIrp was called for it before PoCallDriver
    };
    static std::vector<PassedIrp> Passed();
    static void ClearPassed();
};

}  // namespace hosted
