// What a run may look at in the driver's own device without driving it: the
// update thread of the camera's function device. The plug-and-play manager
// creates, starts, stops and removes the device; the run only waits for the
// thread to see when an update has ended.
//
// Compiled as the driver is (16-bit wchar_t, no RTTI) because it reads the
// driver's device extension.
#pragma once

#include <wdm.h>

namespace orvex::cli {

// The update thread of the function device above `pdo`, referenced for the
// caller (release it with ObDereferenceObject), or null when the stack holds
// no device of the driver owning `driver` or no update thread runs.
// The reference keeps the thread object alive after the device is removed.
PVOID ReferenceUpdateThread(PDEVICE_OBJECT pdo, PDRIVER_OBJECT driver);

}  // namespace orvex::cli
