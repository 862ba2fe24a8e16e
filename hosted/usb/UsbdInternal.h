// Helpers shared by the USB driver library and the hosted bus.
#pragma once

#include <usbdlib.h>

namespace hosted::usb {

// First descriptor of `type` (-1: any) at or after `pos` that lies whole in
// [pos, end); nullptr when the walk meets the end or a malformed bLength.
PUSB_COMMON_DESCRIPTOR NextDescriptor(PUCHAR pos, PUCHAR end, LONG type);

}  // namespace hosted::usb
