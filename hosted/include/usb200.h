/* USB 2.0 descriptor definitions; the hosted build keeps them in usbspec.h. */
#pragma once
#include <usb100.h>
