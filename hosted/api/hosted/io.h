// I/O manager control: driver objects for the stand-in drivers (bus driver,
// USB stack), physical device objects with their plug-and-play data, IRP
// helpers and failure injection.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <wdm.h>

namespace hosted {

struct Io {
    // A driver object for a platform-side driver (e.g. "\\Driver\\usbhub").
    // Its dispatch table starts with the default handler; fill MajorFunction.
    // Delete it with DeleteDriver once its devices are gone.
    static PDRIVER_OBJECT CreateDriver(const std::string& name);
    static void DeleteDriver(PDRIVER_OBJECT driver);

    // Create a physical device object owned by `busDriver` (IoCreateDevice +
    // marked as a PDO, DO_DEVICE_INITIALIZING cleared). Its driver and
    // hardware registry keys default to
    //   \Registry\Machine\System\CurrentControlSet\Control\Class\{36fc9e60-c465-11cf-8056-444553540000}\NNNN
    //   \Registry\Machine\System\CurrentControlSet\Enum\<instance>\Device Parameters
    // where <instance> is `instancePath` (default "USB\\VID_0000&PID_0000\\N").
    static PDEVICE_OBJECT CreatePdo(PDRIVER_OBJECT busDriver, ULONG extensionSize = 0,
                                    const std::string& instancePath = "");
    static bool IsPdo(PDEVICE_OBJECT device);
    static std::string DriverKeyPath(PDEVICE_OBJECT pdo);
    static std::string DeviceKeyPath(PDEVICE_OBJECT pdo);
    static void SetRegistryKeyPaths(PDEVICE_OBJECT pdo, const std::string& driverKey, const std::string& deviceKey);

    // Device properties answered by IoGetDeviceProperty.
    static void SetDeviceProperty(PDEVICE_OBJECT pdo, DEVICE_REGISTRY_PROPERTY property, std::vector<uint8_t> data);
    static void SetDevicePropertyGuid(PDEVICE_OBJECT pdo, DEVICE_REGISTRY_PROPERTY property, const GUID& guid);

    // Failure injection. nth 0 fails every attempt; N only the Nth attempt
    // counted from the call. Each call adds a rule; ClearFailures lifts them all.
    // IoGetDeviceProperty of this property fails with `status`.
    static void FailDeviceProperty(PDEVICE_OBJECT pdo, DEVICE_REGISTRY_PROPERTY property, NTSTATUS status,
                                   uint64_t nth = 0);
    // IRP allocations (IoAllocateIrp, IoBuildDeviceIoControlRequest, PoRequestPowerIrp).
    static void FailIrpAllocation(uint64_t nth);
    // IoCreateDevice fails with `status`.
    static void FailCreateDevice(uint64_t nth, NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES);
    // IoAllocateDriverObjectExtension.
    static void FailDriverExtension(uint64_t nth);
    static void ClearFailures();

    static size_t LiveIrps();
    static size_t LiveDevices();
    // The power state last set with PoSetPowerState (D0/working by default).
    static DEVICE_POWER_STATE DevicePower(PDEVICE_OBJECT device);
    static SYSTEM_POWER_STATE SystemPower(PDEVICE_OBJECT device);
    // WMI registration state from IoWMIRegistrationControl.
    static bool WmiRegistered(PDEVICE_OBJECT device);

    // Build an IRP for the top of `device`'s stack with major/minor set in
    // the first stack location and IoStatus.Status = STATUS_NOT_SUPPORTED
    // (the plug-and-play manager's initial status for PnP/power IRPs).
    static PIRP BuildIrp(PDEVICE_OBJECT device, UCHAR major, UCHAR minor);
    // Send `irp` to `device` and, if pending, wait (virtual time) until it
    // completes; returns the final status and frees the IRP. The platform's
    // completion routine stops completion at the top so IoStatus can be read.
    static NTSTATUS SendAndWait(PDEVICE_OBJECT device, PIRP irp, IO_STATUS_BLOCK* ioStatus = nullptr);
    // Convenience: build, send and wait for a PnP IRP (minor code), with
    // optional tweak of the stack location before sending.
    template <class F>
    static NTSTATUS SendPnp(PDEVICE_OBJECT device, UCHAR minor, F&& setup, IO_STATUS_BLOCK* ioStatus = nullptr)
    {
        PIRP irp = BuildIrp(device, IRP_MJ_PNP, minor);
        if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
        setup(IoGetNextIrpStackLocation(irp));
        return SendAndWait(device, irp, ioStatus);
    }
};

}  // namespace hosted
