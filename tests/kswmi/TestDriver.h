// A small WDM function driver over kernel streaming and the WMI library, and
// a bus driver for its physical device object: the platform's own test
// subjects. The function driver does what the documentation prescribes; the
// switches in Faults turn it into the wrong variants the platform must catch.
#pragma once

#include <string>

#include <ks.h>
#include <wmilib.h>

namespace kstest {

// Wrong (or merely different) behaviours of the function driver.
struct Faults {
    bool nullDeviceArgument = false;   // KsCreateDevice(..., NULL); finds its KSDEVICE afterwards
    bool forgetNotCompleted = false;   // leaves an IrpNotCompleted WMI request uncompleted
    bool completeProcessedAgain = false;  // completes an IrpProcessed request a second time
    bool keepWmiAtRemove = false;      // deletes its device without deregistering
    bool pendQueries = false;          // QueryWmiDataBlock pends; a worker completes 10 ms later
    bool longBaseName = false;         // base-named instances, the name too long for WMI's first buffer
    bool registerInStart = true;       // IoWMIRegistrationControl(REGISTER) from the Start callback
    bool startReturnsPending = false;  // the Start callback answers STATUS_PENDING
    NTSTATUS postStartStatus = STATUS_SUCCESS;  // PostStart's answer
    NTSTATUS queryStopStatus = STATUS_SUCCESS;  // QueryStop's answer
};

// Behaviours of the bus driver's PDO.
struct BusBehaviour {
    bool pendStart = false;       // completes IRP_MN_START_DEVICE 5 ms later from a thread of its own
    NTSTATUS startStatus = STATUS_SUCCESS;
};

// The function driver's device extension: its first pointer belongs to
// kernel streaming.
struct Extension {
    PVOID ksHeader;
    PKSDEVICE ks;
    bool wmiRegistered;
};

// The driver's WMI blocks: A (one instance, a ULONG) and B (two instances).
extern const GUID kBlockA;
extern const GUID kBlockB;
extern WMIGUIDREGINFO g_guids[2];
extern WMILIB_CONTEXT g_wmi;

struct State {
    Faults faults;
    BusBehaviour bus;
    std::string log;                 // callbacks and bus requests in order, blank-separated
    ULONG valueA = 7;
    ULONG valuesB[2] = {20, 21};
    unsigned wmiIrps = 0;            // IRP_MJ_SYSTEM_CONTROL requests the driver received
    SYSCTL_IRP_DISPOSITION lastDisposition = IrpNotWmi;
    NTSTATUS lastCompleteReturn = STATUS_PENDING;  // WmiCompleteRequest's return in the last query
    KEVENT queryArrived;             // set when a pended query arrives
    std::string postStartThread;
    std::string regInfoThread;
    KIRQL regInfoIrql = HIGH_LEVEL;
    PDEVICE_OBJECT fdo = nullptr;
};
extern State g;

// Resets State and the WMI tables to the driver's defaults.
void Reset();

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

// The bus driver: a driver object with a PDO that answers PnP and power IRPs.
PDRIVER_OBJECT CreateBus();
PDEVICE_OBJECT CreateBusPdo(PDRIVER_OBJECT bus);

}  // namespace kstest
