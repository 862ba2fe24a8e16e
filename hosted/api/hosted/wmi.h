// Requests of the WMI service to a device (what the kernel's WMI component
// sends as IRP_MJ_SYSTEM_CONTROL), built and sent synchronously.
#pragma once

#include <cstdint>
#include <vector>

#include <wdm.h>

namespace hosted {

struct WmiReply {
    NTSTATUS status;             // the IRP's final status
    ULONG_PTR information;       // its Information
    std::vector<uint8_t> buffer; // the whole WNODE / WMIREGINFO buffer after completion
    std::vector<uint8_t> data;   // the data block or item (empty if none or too small)
    bool tooSmall = false;       // answered with WNODE_TOO_SMALL
    ULONG sizeNeeded = 0;        // ... and this size
};

struct Wmi {
    static WmiReply RegInfo(PDEVICE_OBJECT device, ULONG bufferSize = 4096);
    static WmiReply QueryAllData(PDEVICE_OBJECT device, const GUID& guid, ULONG bufferSize = 4096);
    static WmiReply QuerySingleInstance(PDEVICE_OBJECT device, const GUID& guid, ULONG instanceIndex = 0,
                                        ULONG bufferSize = 4096);
    static WmiReply SetSingleInstance(PDEVICE_OBJECT device, const GUID& guid, const std::vector<uint8_t>& data,
                                      ULONG instanceIndex = 0);
    static WmiReply SetSingleItem(PDEVICE_OBJECT device, const GUID& guid, ULONG itemId,
                                  const std::vector<uint8_t>& data, ULONG instanceIndex = 0);
    static WmiReply Control(PDEVICE_OBJECT device, const GUID& guid, UCHAR minor);  // ENABLE_/DISABLE_ codes
};

}  // namespace hosted
