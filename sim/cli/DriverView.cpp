#include "DriverView.h"

#include <hosted/pnp.h>

#include "driver/FdoData.h"
#include "usbdevice/UsbDevice.h"

namespace orvex::cli {

PVOID ReferenceUpdateThread(PDEVICE_OBJECT pdo, PDRIVER_OBJECT driver)
{
    if (!pdo || !driver) return nullptr;
    // The function device is the one of this driver in the stack; another
    // driver's device (a filter, or none at all after a failed add) has no
    // FdoData to read.
    PDEVICE_OBJECT device = pdo->AttachedDevice;
    while (device && device->DriverObject != driver) device = device->AttachedDevice;
    if (!device) return nullptr;
    const FdoData* data = FdoDataOf(device);
    if (!data->KsDevice || !data->KsDevice->Context) return nullptr;
    PVOID thread = static_cast<CUsbDevice*>(data->KsDevice->Context)->ThreadObject();
    if (thread) ObReferenceObject(thread);
    return thread;
}

}  // namespace orvex::cli
