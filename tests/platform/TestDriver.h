// An ordinary WDM function driver for the platform's own tests: it forwards,
// completes, pends and cancels as a function driver must, owns its device's
// power policy (system to device power mapping, wait/wake armed at start and
// re-armed from a work item), and can be made to carry one deliberate flaw.
#pragma once

#include <vector>

#include <wdm.h>

namespace platformtest {

enum class Flaw {
    None,
    PendWithoutMark,          // returns STATUS_PENDING for a request it did not mark pending
    MarkWithoutPend,          // marks a request pending and completes it at once
    LeaveInitializing,        // AddDevice leaves DO_DEVICE_INITIALIZING set
    RearmWakeInCallback,      // re-arms wait/wake straight from its completion callback
    RemoveWithRequestPending, // leaves a pended request behind at removal
    CompleteTwice,            // completes a request, then completes it again
    DeleteWithWorkItemQueued, // queues a work item at removal and deletes the device under it
};

struct DriverConfig {
    Flaw flaw = Flaw::None;
    bool refuseQueryStop = false;
    bool refuseQueryRemove = false;
    bool refuseQuerySystemPower = false;
    bool armWake = false;
    bool reportFailed = false;  // IRP_MN_QUERY_PNP_DEVICE_STATE answers PNP_DEVICE_FAILED
    NTSTATUS entryStatus = STATUS_SUCCESS;  // what DriverEntry returns
};

struct DriverStats {
    int entries = 0, unloads = 0, addDevices = 0, starts = 0, removes = 0, surpriseRemovals = 0;
    std::vector<NTSTATUS> wakeResults;    // status of each completed wait/wake IRP
    int rearms = 0;
};

extern DriverConfig g_driverConfig;
extern DriverStats g_driverStats;
void ResetTestDriver(DriverConfig config = {});

NTSTATUS NTAPI TestDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

// Control codes the driver understands.
constexpr ULONG kIoctlPend = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kIoctlRelease = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kIoctlEcho = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS);

// The driver's view of its device (its device extension).
DEVICE_POWER_STATE DriverDevicePower(PDEVICE_OBJECT fdo);

}  // namespace platformtest
