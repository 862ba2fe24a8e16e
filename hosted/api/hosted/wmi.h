// The WMI service as a consumer sees it: the blocks a device registered with
// IoWMIRegistrationControl (as its IRP_MN_REGINFO_EX answer described them),
// and requests for those blocks, built and sent as WMI sends them
// (IRP_MJ_SYSTEM_CONTROL to the top of the device's stack, ProviderId = the
// registered device). Every call waits first until the "WMI" thread has
// handled the registration changes queued so far.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <wdm.h>

namespace hosted {

struct WmiReply {
    NTSTATUS status;             // the IRP's final status, or WMI's refusal (no IRP sent)
    ULONG_PTR information;       // its Information
    std::vector<uint8_t> buffer; // the whole WNODE / WMIREGINFO buffer after completion
    std::vector<uint8_t> data;   // the data block or item (empty if none or too small)
    bool tooSmall = false;       // answered with WNODE_TOO_SMALL
    ULONG sizeNeeded = 0;        // ... and this size
};

struct WmiBlock {
    GUID guid;
    ULONG flags;                             // WMIREG_FLAG_* as registered
    ULONG instanceCount;
    std::vector<std::string> instanceNames;  // PDO-named ("<instance path>_N") or base-named ("<base>N")
};

struct Wmi {
    // Registration as WMI holds it.
    static bool Registered(PDEVICE_OBJECT device);
    static std::vector<WmiBlock> Blocks(PDEVICE_OBJECT device);
    // IRP_MN_REGINFO_EX requests WMI has sent to the device since it registered.
    static uint64_t RegInfoRequests(PDEVICE_OBJECT device);
    // Wait (virtual time) until the WMI thread has handled every queued
    // registration and update.
    static void Settle();
    // Failure injection: IoWMIRegistrationControl register, reregister or
    // update fails with `status` (deregistration never fails). nth 0: every
    // call; N: only the Nth counted from this call. ClearFailures lifts them.
    static void FailRegistration(uint64_t nth, NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES);
    static void ClearFailures();

    // Requests for a registered block. Refused without reaching the driver as
    // WMI refuses them: STATUS_WMI_GUID_NOT_FOUND for a device that is not
    // registered or a block it did not register (or withdrew),
    // STATUS_WMI_INSTANCE_NOT_FOUND for an instance index past its count.
    static WmiReply QueryAllData(PDEVICE_OBJECT device, const GUID& guid, ULONG bufferSize = 4096);
    // `bufferSize` below the WNODE header gives a buffer with no room for data.
    static WmiReply QuerySingleInstance(PDEVICE_OBJECT device, const GUID& guid, ULONG instanceIndex = 0,
                                        ULONG bufferSize = 4096);
    static WmiReply SetSingleInstance(PDEVICE_OBJECT device, const GUID& guid, const std::vector<uint8_t>& data,
                                      ULONG instanceIndex = 0);
    static WmiReply SetSingleItem(PDEVICE_OBJECT device, const GUID& guid, ULONG itemId,
                                  const std::vector<uint8_t>& data, ULONG instanceIndex = 0);
    static WmiReply Control(PDEVICE_OBJECT device, const GUID& guid, UCHAR minor);  // ENABLE_/DISABLE_ codes

    // A bare IRP_MN_REGINFO_EX (WMIREGISTER) to the device's stack, outside
    // any registration: for tests of a provider's answer itself.
    static WmiReply RegInfo(PDEVICE_OBJECT device, ULONG bufferSize = 4096);
};

}  // namespace hosted
