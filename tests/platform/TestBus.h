// A small root-enumerated bus for the platform's own tests: one bus device
// reporting its children, and child PDOs answering plug and play and power
// as a bus driver does (IDs, capabilities, relations, wait/wake held pending
// until the device signals or the IRP is cancelled).
#pragma once

#include <map>
#include <string>
#include <vector>

#include <wdm.h>

namespace platformtest {

class TestBus {
public:
    // Hardware IDs of every child: "TESTBUS\\VID_1234&PID_0001", then "TESTBUS\\CLASS_FF".
    static constexpr const char* kHardwareId = "TESTBUS\\VID_1234&PID_0001";
    static constexpr const char* kCompatibleId = "TESTBUS\\CLASS_FF";

    TestBus();   // creates the bus driver and the bus device (not yet known to the PnP manager)
    ~TestBus();  // deletes the bus device and driver (children must be gone)

    PDEVICE_OBJECT Device() const { return fdo_; }

    // Plug a device in: a new PDO, then IoInvalidateDeviceRelations.
    PDEVICE_OBJECT Plug();
    // Report the device missing (the manager sends surprise removal, removal).
    void Unplug(PDEVICE_OBJECT pdo);
    // The device raises its wake signal: a pending wait/wake IRP completes with success.
    bool SignalWake(PDEVICE_OBJECT pdo);
    bool WaitWakePending(PDEVICE_OBJECT pdo);

    // Complete requests at DISPATCH_LEVEL (as a bus driver may) instead of PASSIVE_LEVEL.
    static void CompleteAtDispatch(bool on);
    // Fail IRPs with this major/minor code reaching a PDO: nth 0 every one,
    // N only the Nth counted from the call. Rules last until the next bus.
    static void Fail(UCHAR major, UCHAR minor, NTSTATUS status, uint64_t nth = 0);

    struct Child;

private:
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT fdo_ = nullptr;
};

}  // namespace platformtest
