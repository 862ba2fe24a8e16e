// Loads a driver as the I/O manager does: fresh driver object, DriverEntry
// with the service key path, AddDevice for PDOs, DriverUnload at the end,
// then the driver object is freed and the leak/verifier checks run.
#pragma once

#include <string>
#include <vector>

#include <wdm.h>

namespace hosted {

class DriverHost {
public:
    // `entry` is the driver's DriverEntry; `serviceName` names the service key
    // \Registry\Machine\System\CurrentControlSet\Services\<serviceName>.
    explicit DriverHost(PDRIVER_INITIALIZE entry, std::string serviceName = "ORVEX");
    ~DriverHost();  // unloads if still loaded
    DriverHost(const DriverHost&) = delete;
    DriverHost& operator=(const DriverHost&) = delete;

    // Run DriverEntry. On failure the driver object is freed at once (no
    // unload routine is called) and the leak check runs.
    NTSTATUS Load();
    bool Loaded() const { return loaded_; }
    PDRIVER_OBJECT Object() const { return object_; }
    const std::string& ServiceKey() const { return serviceKey_; }

    // Call the driver's AddDevice for a PDO (STATUS_NOT_SUPPORTED if none).
    NTSTATUS AddDevice(PDEVICE_OBJECT pdo);

    // Call DriverUnload (if installed), free the driver object with its
    // extensions, and check that no pool allocation, device object or IRP of
    // the driver outlives it. Returns the problems found (also reported).
    std::vector<std::string> Unload();

private:
    PDRIVER_INITIALIZE entry_;
    std::string serviceName_;
    std::string serviceKey_;
    std::u16string registryPath_;  // buffer of the UNICODE_STRING given to DriverEntry
    UNICODE_STRING registryPathString_{};
    PDRIVER_OBJECT object_ = nullptr;
    bool loaded_ = false;
};

}  // namespace hosted
