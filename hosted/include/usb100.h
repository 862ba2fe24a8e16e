/* USB 1.x descriptor definitions; the hosted build keeps them in usbspec.h. */
#pragma once
#include <usbspec.h>
