// Helpers shared by the USB driver library and the hosted bus.
#pragma once

#include <usbdlib.h>

namespace hosted::usb {

// First descriptor of `type` (-1: any) at or after `pos` that lies whole in
// [pos, end); nullptr when the walk meets the end or a malformed bLength.
PUSB_COMMON_DESCRIPTOR NextDescriptor(PUCHAR pos, PUCHAR end, LONG type);

// The interface descriptor (at least 9 bytes) with this number and alternate
// setting inside the configuration's wTotalLength; nullptr when there is none
// or the walk meets a malformed bLength first. The bus's own search: unlike
// the USBD routines it records no finding, because the USB stack checks what
// it is given and answers with a status.
PUSB_INTERFACE_DESCRIPTOR FindInterface(PUSB_CONFIGURATION_DESCRIPTOR cd, UCHAR number, UCHAR alternate);

}  // namespace hosted::usb
