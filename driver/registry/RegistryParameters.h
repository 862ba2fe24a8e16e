// Per-device registry values: the four file paths under the device's driver
// key, read once at add time, and the two WMI choices written to its hardware
// key.
#pragma once

#include <ntddk.h>

struct FdoData;
struct SettingsBlock;

// Reads one value into a new "Vorp" buffer from NonPagedPoolNx that begins
// with the value's data bytes exactly as stored and always ends in a UTF-16
// NUL behind them, so a string stored without its terminator, or of odd
// length, is still a terminated string. Returns NULL when the value cannot be
// read; on success *Length is the data length in bytes (without the added
// terminator). The caller frees the buffer with ExFreePool.
PVOID GetAllocateRegistryValue(HANDLE Key, PUNICODE_STRING ValueName, PULONG Length);

void GetRegistryFilePaths(FdoData* Data);
void FreeRegistryFilePaths(FdoData* Data);
// Frees the four path buffers of a block and sets them to NULL.
void FreeSettingsBlockPaths(SettingsBlock* Block);

void SetCheckBoxRemoteWakeUp(FdoData* Data, UCHAR Flag);
void SetCheckBoxPowerDevice(FdoData* Data, UCHAR Flag);
