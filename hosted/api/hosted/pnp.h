// The plug-and-play manager: a device tree fed by bus drivers, function
// drivers matched by hardware ID, and the IRP sequences Windows sends for
// start, rebalance, disable/enable, eject, surprise removal and removal.
//
// One hosted system thread, "PnP manager", does the work. Requests for a
// device come to its stack one at a time, at PASSIVE_LEVEL. The calls below
// queue a request and wait (on virtual time) until the manager has carried it
// out, so they must be made from a hosted thread other than the manager's.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <wdm.h>

namespace hosted {

// One PnP or power IRP the managers sent, with its outcome.
struct IrpRecord {
    int64_t time = 0;              // virtual time at completion (100 ns since boot)
    PDEVICE_OBJECT pdo = nullptr;  // the physical device object of the stack
    std::string instance;          // its device instance ("USB\\VID_...\\1", "ROOT\\BUS\\0")
    UCHAR major = 0;               // IRP_MJ_PNP or IRP_MJ_POWER
    UCHAR minor = 0;
    std::string params;            // key parameters, e.g. "BusRelations", "HardwareIDs", "S3", "D2"
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;

    std::string Name() const;      // "START_DEVICE", "QUERY_ID(HardwareIDs)", "SET_POWER(S3)"...
};

// A function driver's load (DriverEntry) or unload as the manager carried it
// out: DriverEntry's status, or what the unload's leak and verifier checks
// found (empty: nothing).
struct DriverRecord {
    int64_t time = 0;  // virtual time (100 ns since boot)
    std::string service;
    bool load = true;  // false: unload
    NTSTATUS status = STATUS_SUCCESS;   // load: DriverEntry's result
    std::vector<std::string> problems;  // unload: problems found
};

// Where a device stands in the manager's life cycle.
enum class DeviceState {
    Enumerated,       // reported by its bus, no function driver matched
    Started,
    StartFailed,      // the driver's load, AddDevice or the start IRP failed, or the started
                      // stack reported itself failed; Enable tries again
    Disabled,         // removed on request; Enable brings it back
    SurpriseRemoved,  // the bus reported it missing; waiting for its removal
    Removed,          // gone from the tree
};

struct Pnp {
    // A function driver: loaded at the first device whose hardware IDs or
    // compatible IDs (IRP_MN_QUERY_ID) contain one of `ids` (case-insensitive),
    // with DriverEntry called on the service key
    // \Registry\Machine\System\CurrentControlSet\Services\<service>.
    // AddDevice runs for every matching device; DriverUnload after the last
    // one is gone, followed by the leak and verifier checks for the driver.
    static void RegisterDriver(const std::string& service, PDRIVER_INITIALIZE entry, std::vector<std::string> ids);
    // The same, with a device installer: called on the manager thread for
    // each matching device, before the driver is loaded and AddDevice runs,
    // with the ID that matched (as the installer writes a device's driver key
    // from its INF before the driver sees the device).
    using DeviceInstaller = std::function<void(PDEVICE_OBJECT pdo, const std::string& matchedId)>;
    static void RegisterDriver(const std::string& service, PDRIVER_INITIALIZE entry, std::vector<std::string> ids,
                               DeviceInstaller install);

    // A root-enumerated bus: `parent` (a device object owned by a
    // platform-side bus driver) answers IRP_MN_QUERY_DEVICE_RELATIONS /
    // BusRelations with its present children. The manager queries it now and
    // after every IoInvalidateDeviceRelations(parent, BusRelations).
    static void AddRootBus(PDEVICE_OBJECT parent, const std::string& instance = "ROOT\\BUS\\0000");
    // Remove every device below `parent` in order (query-remove, remove) and
    // forget the bus. Used to tear a system down at the end of a run.
    static void RemoveRootBus(PDEVICE_OBJECT parent);

    // Wait (virtual time) until the manager has nothing left to do.
    static void WaitIdle();

    // Devices the manager knows (PDOs), in the order they were reported.
    static std::vector<PDEVICE_OBJECT> Devices();
    static DeviceState State(PDEVICE_OBJECT pdo);
    static std::string Instance(PDEVICE_OBJECT pdo);
    // The top of the device's stack (its function device after AddDevice).
    static PDEVICE_OBJECT Top(PDEVICE_OBJECT pdo);
    // The driver object of a registered function driver (nullptr if not loaded).
    static PDRIVER_OBJECT Driver(const std::string& service);
    static bool DriverLoaded(const std::string& service);

    // Rebalance: query-stop, then stop and start again; a refused query-stop
    // is followed by cancel-stop. Returns the query's status (or the start's).
    static NTSTATUS Rebalance(PDEVICE_OBJECT pdo);
    // Disable: query-remove, then remove; a refused query-remove is followed
    // by cancel-remove and the device stays started. Returns the status.
    static NTSTATUS Disable(PDEVICE_OBJECT pdo);
    // Enable a disabled device: AddDevice and the start sequence again.
    static NTSTATUS Enable(PDEVICE_OBJECT pdo);
    // Eject: query-remove, remove, then IRP_MN_EJECT to the stack's PDO.
    static NTSTATUS Eject(PDEVICE_OBJECT pdo);
    // Ask the stack for a device-relations list (the caller gets it as the
    // driver returned it; the manager dereferences and frees it).
    static NTSTATUS QueryRelations(PDEVICE_OBJECT pdo, DEVICE_RELATION_TYPE type,
                                   std::vector<PDEVICE_OBJECT>* objects = nullptr);

    // Every PnP and power IRP the managers sent since boot (or ClearLog).
    static std::vector<IrpRecord> Log();
    static void ClearLog();
    // Every driver load and unload since boot, in order.
    static std::vector<DriverRecord> DriverLog();
    // The last record for this device and minor code (major IRP_MJ_PNP).
    static bool LastIrp(PDEVICE_OBJECT pdo, UCHAR minor, IrpRecord* out);
};

}  // namespace hosted
