// The function device's record (its device extension) and the routines of the
// driver frame that share it: device creation, IRP routing, plug and play,
// power and wake.
//
// The record is handed out zero-filled by KsCreateDevice; its first pointer
// belongs to ks.sys. Fields shared between dispatch routines and completion
// routines are changed as the comments say: OutstandingIO by interlocked
// increment/decrement, the wait-wake fields by interlocked exchange only.
#pragma once

#include <ntddk.h>
#include <ks.h>
#include <wmilib.h>

#include "SettingsBlock.h"
#include "driver/Driver.h"

class CDevice;

struct FdoData {
    PVOID KsDeviceHeader;              // ks.sys keeps its device header here; never touched
    PDEVICE_OBJECT Self;               // the function device object
    SYSTEM_POWER_STATE SystemState;    // last system power state set
    DEVICE_POWER_STATE DeviceState;    // last device power state set
    PKSDEVICE KsDevice;                // Context holds the device object
    ::DrvExt* DrvExt;                  // the driver-wide record
    BOOLEAN Started;                   // start work done
    BOOLEAN RemovePending;             // removal has begun: new requests are refused
    PDEVICE_OBJECT UnderlyingPDO;      // the physical device object
    PDEVICE_OBJECT NextDeviceObject;   // the device object below
    ::SettingsBlock SettingsBlock;     // the four file paths, owned here
    BOOLEAN WmiRegistered;             // WMI registration was requested at start
    BOOLEAN RemoteWakeUpEnabled;       // WMI: the device may wake the system
    BOOLEAN PowerDeviceEnabled;        // WMI: the power-management choice
    WMILIB_CONTEXT WmiLibInfo;         // handed to WmiSystemControl
    PIRP WaitWakeIrp;                  // outstanding wait-wake request, or NULL
    LONG WaitWakeCancelled;            // settles the cancel/complete race
    LONG WaitWakeArmed;                // a wait-wake request is outstanding
    GUID BusTypeGuid;                  // bus type of the physical device
    ULONG BusNumber;                   // bus number of the physical device
    LONG OutstandingIO;                // requests in progress plus one
    KEVENT RemoveEvent;                // set when OutstandingIO reaches 0
    DEVICE_CAPABILITIES DeviceCaps;    // the device's capabilities
};

// Layout pins, checked by both builds: the fields keep their order and the
// record has the x64 size the kernel's types imply.
static_assert(sizeof(DEVICE_CAPABILITIES) == 64, "DEVICE_CAPABILITIES is 64 bytes");
static_assert(sizeof(SettingsBlock) == 4 * sizeof(PVOID), "SettingsBlock holds four pointers");
static_assert(FIELD_OFFSET(FdoData, KsDeviceHeader) == 0, "ks.sys's pointer comes first");
static_assert(FIELD_OFFSET(FdoData, Self) == 0x08 && FIELD_OFFSET(FdoData, SystemState) == 0x10 &&
                  FIELD_OFFSET(FdoData, DeviceState) == 0x14 && FIELD_OFFSET(FdoData, KsDevice) == 0x18 &&
                  FIELD_OFFSET(FdoData, DrvExt) == 0x20 && FIELD_OFFSET(FdoData, Started) == 0x28 &&
                  FIELD_OFFSET(FdoData, RemovePending) == 0x29 && FIELD_OFFSET(FdoData, UnderlyingPDO) == 0x30 &&
                  FIELD_OFFSET(FdoData, NextDeviceObject) == 0x38 && FIELD_OFFSET(FdoData, SettingsBlock) == 0x40,
              "FdoData layout up to SettingsBlock");
static_assert(FIELD_OFFSET(FdoData, WmiRegistered) == 0x60 && FIELD_OFFSET(FdoData, RemoteWakeUpEnabled) == 0x61 &&
                  FIELD_OFFSET(FdoData, PowerDeviceEnabled) == 0x62 && FIELD_OFFSET(FdoData, WmiLibInfo) == 0x68 &&
                  FIELD_OFFSET(FdoData, WaitWakeIrp) == 0xA8 && FIELD_OFFSET(FdoData, WaitWakeCancelled) == 0xB0 &&
                  FIELD_OFFSET(FdoData, WaitWakeArmed) == 0xB4 && FIELD_OFFSET(FdoData, BusTypeGuid) == 0xB8 &&
                  FIELD_OFFSET(FdoData, BusNumber) == 0xC8 && FIELD_OFFSET(FdoData, OutstandingIO) == 0xCC &&
                  FIELD_OFFSET(FdoData, RemoveEvent) == 0xD0 && FIELD_OFFSET(FdoData, DeviceCaps) == 0xE8,
              "FdoData layout from WmiRegistered");
static_assert(sizeof(FdoData) == 0x128, "FdoData size");

inline FdoData* FdoDataOf(PDEVICE_OBJECT DeviceObject) { return static_cast<FdoData*>(DeviceObject->DeviceExtension); }

// Relaxed atomic access to the single-byte flags read by other threads.
inline BOOLEAN ReadFlag(const BOOLEAN* Flag) { return __atomic_load_n(Flag, __ATOMIC_RELAXED); }
inline void WriteFlag(BOOLEAN* Flag, BOOLEAN Value) { __atomic_store_n(Flag, Value, __ATOMIC_RELAXED); }

// ---- device creation and unique IDs
extern const KSDEVICE_DISPATCH KsDeviceDispatch;
extern const KSDEVICE_DESCRIPTOR KsDeviceDescriptor;
DRIVER_ADD_DEVICE DriverAddDevice;
void InitFdoData(FdoData* Data);
ULONG DrvGetUId(PDRIVER_OBJECT DriverObject);
NTSTATUS DrvFreeUId(PDRIVER_OBJECT DriverObject, ULONG UId);
void CopySettings(CDevice* Device, const SettingsBlock* Block);

// ---- IRP routing
NTSTATUS IncrementIoCount(FdoData* Data);
void DecrementIoCount(FdoData* Data);
// The dispatch routines, declared through the kernel's routine type so they
// take its calling convention in both builds.
DRIVER_DISPATCH DriverCreateClose;
DRIVER_DISPATCH DriverCleanup;
DRIVER_DISPATCH DriverDeviceControl;
DRIVER_DISPATCH DriverInternIoCtl;
DRIVER_DISPATCH DriverSystemControl;
DRIVER_DISPATCH DriverPower;
DRIVER_DISPATCH DriverPnP;

// ---- plug and play
NTSTATUS FdoPnP(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION IrpStack, FdoData* Data);
NTSTATUS ForwardIrpSynchronous(PDEVICE_OBJECT DeviceObject, PIRP Irp, BOOLEAN CopyStackLocation,
                               BOOLEAN ThroughKs);

// ---- power and wake
NTSTATUS FdoPower(FdoData* Data, PIRP Irp);
NTSTATUS ArmWaitWake(FdoData* Data);
void CancelWaitWake(FdoData* Data);
