// Per-device settings: the four file paths read from the device's driver key.
//
// The strings belong to the function device's record, which frees them; device
// objects hold copies of the pointers and never free them.
#pragma once

#include <ntddk.h>

struct SettingsBlock {
    PWSTR FX3FilePath;      // "FX3": FX3 boot image, or NULL
    PWSTR ISPFilePath;      // "ISP": ISP firmware, or NULL
    PWSTR AUDFilePath;      // "AUD": audio firmware, or NULL
    PWSTR VersionFilePath;  // "VERSION": version file, or NULL

    SettingsBlock() : FX3FilePath(nullptr), ISPFilePath(nullptr), AUDFilePath(nullptr), VersionFilePath(nullptr) {}
};
