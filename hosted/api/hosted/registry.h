// The in-memory registry. Paths are full kernel paths, e.g.
// "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\ORVEX\\Parameters";
// key and value names compare case-insensitively. Narrow strings are UTF-8.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

typedef int NTSTATUS;

namespace hosted {

struct RegistryValue {
    uint32_t type;  // REG_SZ, REG_DWORD, ...
    std::vector<uint8_t> data;
};

struct Registry {
    static void CreateKey(const std::string& path);  // with every missing parent
    static bool KeyExists(const std::string& path);
    static void DeleteKey(const std::string& path);  // with its subkeys and values

    static void SetValue(const std::string& path, const std::string& name, uint32_t type,
                         std::vector<uint8_t> data);  // creates the key if needed
    static void SetDword(const std::string& path, const std::string& name, uint32_t value);
    // REG_SZ: UTF-16LE with a terminating NUL, as the registry stores it.
    static void SetString(const std::string& path, const std::string& name, const std::string& value);
    static void SetString(const std::string& path, const std::string& name, const std::u16string& value);
    static void SetBinary(const std::string& path, const std::string& name, std::vector<uint8_t> data);
    static void DeleteValue(const std::string& path, const std::string& name);

    static std::optional<RegistryValue> GetValue(const std::string& path, const std::string& name);
    static std::optional<uint32_t> GetDword(const std::string& path, const std::string& name);  // REG_DWORD only
    static std::optional<std::string> GetString(const std::string& path, const std::string& name);  // REG_SZ
    static std::vector<std::string> ValueNames(const std::string& path);
    static std::vector<std::string> SubkeyNames(const std::string& path);

    // Failure injection. Opening the key (ZwOpenKey, ZwCreateKey,
    // IoOpenDeviceRegistryKey) fails with `status`; querying or setting the
    // named value on it fails with `status`. nth 0: every attempt; N: only
    // the Nth attempt counted from the call. ClearFailures lifts every rule.
    static void FailOpen(const std::string& path, NTSTATUS status, uint64_t nth = 0);
    static void FailQuery(const std::string& path, const std::string& name, NTSTATUS status, uint64_t nth = 0);
    static void FailSet(const std::string& path, const std::string& name, NTSTATUS status, uint64_t nth = 0);
    static void ClearFailures();
    // Attempts since boot (failed and injected ones included) to open the
    // key, and to query the named value on it.
    static uint64_t OpenAttempts(const std::string& path);
    static uint64_t QueryAttempts(const std::string& path, const std::string& name);

    // Number of key handles currently open.
    static size_t OpenHandles();
};

// The service key the loader passes to DriverEntry for a service name.
std::string ServiceKeyPath(const std::string& serviceName);

}  // namespace hosted
