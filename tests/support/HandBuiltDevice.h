// A CUsbDevice above a simulated camera on the hosted USB bus, hung on a
// KSDEVICE the test builds itself instead of ks.sys: for unit tests that call
// the device object's methods directly (URBs, vendor requests, start-up
// steps, the update engine's branches). Whole lives of the device go through
// the driver's own routines instead (tests/frame).
//
// The KSDEVICE's NextDeviceObject and PhysicalDeviceObject are the bus's
// device object, as ks.sys sets them for a function device attached right
// above the bus driver; Context holds the device object.
#pragma once

#include <memory>

#include <ks.h>

#include "SimOnBus.h"
#include "UsbBus.h"
#include "usbdevice/UsbDevice.h"

namespace orvex::test {

class HandBuiltDevice {
public:
    HandBuiltDevice() = default;
    ~HandBuiltDevice() { Unplug(); }
    HandBuiltDevice(const HandBuiltDevice&) = delete;
    HandBuiltDevice& operator=(const HandBuiltDevice&) = delete;

    // Plugs `cam` into a fresh bus and creates the device object above it
    // (constructed, not added yet).
    void Plug(std::shared_ptr<sim::Camera> cam);
    // CUsbDevice::Add with the test's KSDEVICE.
    NTSTATUS AddDevice() { return device->Add(&ks); }
    // Removes and deletes the device object, as the removal callback does.
    void RemoveDevice();
    // RemoveDevice (if the object is still there), then the bus and camera go.
    void Unplug();

    std::shared_ptr<sim::Camera> camera;
    std::unique_ptr<hosted::usb::Bus> bus;
    KSDEVICE ks{};
    CUsbDevice* device = nullptr;
};

}  // namespace orvex::test
