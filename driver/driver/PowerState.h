// Relaxed atomic access to the power states of FdoData, which completion
// routines and power-request callbacks read and write on other threads.
#pragma once

#include "driver/FdoData.h"

inline DEVICE_POWER_STATE LoadDeviceState(const FdoData* Data)
{
    return __atomic_load_n(&Data->DeviceState, __ATOMIC_RELAXED);
}
inline void StoreDeviceState(FdoData* Data, DEVICE_POWER_STATE State)
{
    __atomic_store_n(&Data->DeviceState, State, __ATOMIC_RELAXED);
}
inline SYSTEM_POWER_STATE LoadSystemState(const FdoData* Data)
{
    return __atomic_load_n(&Data->SystemState, __ATOMIC_RELAXED);
}
inline void StoreSystemState(FdoData* Data, SYSTEM_POWER_STATE State)
{
    __atomic_store_n(&Data->SystemState, State, __ATOMIC_RELAXED);
}

// Completion routine of the wait-wake request in the function device's
// stack location (installed by FdoPower).
IO_COMPLETION_ROUTINE WaitWakeCompletion;
