// The whole stack every benchmark runs a camera through: the driver
// registered with the plug-and-play manager for the camera's hardware ID, a
// root hub the manager enumerates, the camera plugged in with the firmware
// paths in its driver key, and the wait for the update thread the started
// device runs.
#pragma once

#include <hosted/hosted.h>
#include <hosted/pnp.h>

#include <cstdio>
#include <memory>

#include "SimOnBus.h"
#include "UsbBus.h"
#include "driver/FdoData.h"
#include "usbdevice/UsbDevice.h"

namespace orvex::bench {

// A camera holding older firmware than the benchmark images: FX3 1.2.3,
// ISP 1.0.0, audio 5.
inline orvex::sim::CameraConfig OldCameraConfig()
{
    orvex::sim::CameraConfig c;
    c.fx3Version = {1, 2, 3};
    c.ispVersion = 0x010000;
    c.audioVersion = 5;
    return c;
}

// Registers `entry` as the function driver of cameras like `camera`.
inline void RegisterDriverFor(const orvex::sim::Camera& camera, PDRIVER_INITIALIZE entry)
{
    const auto dd = camera.DeviceDescriptor();
    char id[32];
    std::snprintf(id, sizeof id, "USB\\VID_%04X&PID_%04X", unsigned(dd[8] | dd[9] << 8), unsigned(dd[10] | dd[11] << 8));
    hosted::Pnp::RegisterDriver("ORVEX", entry, {id});
}

inline hosted::usb::BusOptions RootHub()
{
    hosted::usb::BusOptions options;
    options.rootBus = true;
    return options;
}

// Plugs the camera in and writes the four file paths (drive C:) into its
// driver key. They are there before the manager, which runs once this thread
// waits, starts the device.
inline PDEVICE_OBJECT PlugWithFirmware(hosted::usb::Bus& bus, std::shared_ptr<orvex::sim::Camera> camera)
{
    PDEVICE_OBJECT pdo = bus.Pdo(bus.Plug(std::move(camera)));
    const std::string key = hosted::Io::DriverKeyPath(pdo);
    hosted::Registry::SetString(key, "FX3", u"C:\\fx3.img");
    hosted::Registry::SetString(key, "ISP", u"C:\\isp.bin");
    hosted::Registry::SetString(key, "AUD", u"C:\\aud.bin");
    hosted::Registry::SetString(key, "VERSION", u"C:\\version.txt");
    return pdo;
}

// Waits for the update thread of the device started on `pdo`. Both builds
// of the driver lay the device extension out alike, so the thread is found
// the same way whichever driver runs.
inline void WaitForUpdate(PDEVICE_OBJECT pdo)
{
    FdoData* data = FdoDataOf(hosted::Pnp::Top(pdo));
    PVOID thread = static_cast<CUsbDevice*>(data->KsDevice->Context)->ThreadObject();
    ObReferenceObject(thread);
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
}

}  // namespace orvex::bench
