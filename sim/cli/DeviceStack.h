// The camera's device object above the hosted USB bus, driven the way the
// device callbacks drive it: created with the device tag from NonPagedPoolNx,
// hung on a KSDEVICE (Context) whose NextDeviceObject and
// PhysicalDeviceObject are the bus's device object, Add, the four file paths
// copied in from the device's driver key, Start, Stop, Remove, delete.
//
// Until the driver frame's add and start handlers exist, this is how a run
// reaches CUsbDevice::Start; the steps mirror those handlers one for one.
// This file is compiled with the driver's 16-bit wchar_t so that the
// settings block holds exactly what the driver reads.
#pragma once

#include <cstdint>
#include <string>

#include <wdm.h>
#include <ks.h>

class CUsbDevice;

namespace orvex::cli {

class DeviceStack {
public:
    // `pdo` is the bus's device object; `driverKey` the registry path of the
    // device's driver key, where the values "FX3", "ISP", "AUD", "VERSION" are read.
    DeviceStack(PDEVICE_OBJECT pdo, std::string driverKey);
    ~DeviceStack();  // removes and deletes the device object if still there
    DeviceStack(const DeviceStack&) = delete;
    DeviceStack& operator=(const DeviceStack&) = delete;

    // Allocation, construction, Add. Fails with the status of Add (or
    // STATUS_INSUFFICIENT_RESOURCES when no device object could be allocated).
    NTSTATUS Add();
    // Copies the paths from the registry into the device object, then Start.
    NTSTATUS Start();
    // The update thread's referenced thread object (null when none runs).
    void* ThreadObject() const;
    void Stop();
    // Remove and delete the device object, then free the path strings.
    void Remove();

    bool Started() const { return started_; }
    // Forgets the device object without calling it (after a deadlock, when
    // its update thread can no longer be waited for); the platform's leak
    // check then reports what is left.
    void Abandon();

private:
    void ReadSettings();
    void FreeSettings();

    PDEVICE_OBJECT pdo_;
    std::string driverKey_;
    KSDEVICE ks_{};
    CUsbDevice* device_ = nullptr;
    PWSTR paths_[4] = {};  // FX3, ISP, AUD, VERSION: pool copies of the registry values
    bool started_ = false;
};

}  // namespace orvex::cli
