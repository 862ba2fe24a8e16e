#include "HandBuiltDevice.h"

namespace orvex::test {

void HandBuiltDevice::Plug(std::shared_ptr<sim::Camera> cam)
{
    Unplug();
    camera = std::move(cam);
    bus = std::make_unique<hosted::usb::Bus>(camera);
    device = new (NonPagedPoolNx) CUsbDevice();
    ks.Context = device;
    ks.PhysicalDeviceObject = bus->Pdo();
    ks.NextDeviceObject = bus->Pdo();
    device->SetKsDevice(&ks);
}

void HandBuiltDevice::RemoveDevice()
{
    if (!device) return;
    device->Remove(&ks, nullptr);
    // The object was created through CDevice's pool operator new; delete it
    // through the base, as the removal callback does.
    delete static_cast<CDevice*>(device);
    device = nullptr;
    ks.Context = nullptr;
}

void HandBuiltDevice::Unplug()
{
    RemoveDevice();
    bus.reset();
    camera.reset();
    ks = KSDEVICE{};
}

}  // namespace orvex::test
