// What a run may look at in the driver's own device without driving it: the
// update thread of the camera's function device and its unique ID. The
// plug-and-play manager creates, starts, stops and removes the device; the
// run only waits for the thread to see when an update has ended.
//
// Compiled as the driver is (16-bit wchar_t, no RTTI) because it reads the
// driver's device extension.
#pragma once

#include <wdm.h>

namespace orvex::cli {

struct DeviceView {
    bool found = false;      // the stack holds a device of the driver with its device object
    ULONG uid = 0;           // its unique ID (0: none)
    PVOID thread = nullptr;  // its update thread, referenced for the caller (release with ObDereferenceObject)
};

// The function device of the driver owning `driver` above `pdo`. The
// thread's reference keeps the thread object alive after the device is
// removed.
DeviceView ViewDevice(PDEVICE_OBJECT pdo, PDRIVER_OBJECT driver);

}  // namespace orvex::cli
