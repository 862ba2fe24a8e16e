#include "DriverView.h"

#include <hosted/pnp.h>

#include "driver/FdoData.h"
#include "usbdevice/UsbDevice.h"

namespace orvex::cli {

DeviceView ViewDevice(PDEVICE_OBJECT pdo, PDRIVER_OBJECT driver)
{
    DeviceView view;
    if (!pdo || !driver) return view;
    // The function device is the one of this driver in the stack; another
    // driver's device (a filter, or none at all after a failed add) has no
    // FdoData to read.
    PDEVICE_OBJECT device = pdo->AttachedDevice;
    while (device && device->DriverObject != driver) device = device->AttachedDevice;
    if (!device) return view;
    const FdoData* data = FdoDataOf(device);
    if (!data->KsDevice || !data->KsDevice->Context) return view;
    const auto* object = static_cast<CUsbDevice*>(data->KsDevice->Context);
    view.found = true;
    view.uid = object->GetUId();
    view.thread = object->ThreadObject();
    if (view.thread) ObReferenceObject(view.thread);
    return view;
}

}  // namespace orvex::cli
