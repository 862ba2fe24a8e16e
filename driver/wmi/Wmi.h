// The device's WMI provider: two power-management data blocks the platform
// defines (wake enable and power-management enable), each one boolean byte
// kept in the function device's record and mirrored to its hardware key.
#pragma once

#include <ntddk.h>
#include <wmilib.h>

struct FdoData;

constexpr ULONG NUMBER_OF_WMI_GUIDS = 2;

// Index 0: wake enable; index 1: power-management enable.
// A declaration only (the check takes it for a definition); the definition
// in Wmi.cpp is a constant initialization.
// NOLINTNEXTLINE(bugprone-dynamic-static-initializers)
extern const WMIGUIDREGINFO WmiGuidListWake[NUMBER_OF_WMI_GUIDS];
// The same with the wake block withdrawn (WMIREG_FLAG_REMOVE_GUID).
// A declaration only (the check takes it for a definition); the definition
// in Wmi.cpp is a constant initialization.
// NOLINTNEXTLINE(bugprone-dynamic-static-initializers)
extern const WMIGUIDREGINFO WmiGuidListNoWake[NUMBER_OF_WMI_GUIDS];

NTSTATUS DrvWmiRegistration(FdoData* Data, BOOLEAN WakeSupported);
void DrvWmiDeRegistration(FdoData* Data);

NTSTATUS NTAPI DrvQueryWmiRegInfo(PDEVICE_OBJECT DeviceObject, PULONG RegFlags, PUNICODE_STRING InstanceName,
                                  PUNICODE_STRING* RegistryPath, PUNICODE_STRING MofResourceName,
                                  PDEVICE_OBJECT* Pdo);
NTSTATUS NTAPI DrvQueryWmiDataBlock(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex, ULONG InstanceIndex,
                                    ULONG InstanceCount, PULONG InstanceLengthArray, ULONG BufferAvail,
                                    PUCHAR Buffer);
NTSTATUS NTAPI DrvSetWmiDataBlock(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex, ULONG InstanceIndex,
                                  ULONG BufferSize, PUCHAR Buffer);
NTSTATUS NTAPI DrvSetWmiDataItem(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex, ULONG InstanceIndex,
                                 ULONG DataItemId, ULONG BufferSize, PUCHAR Buffer);
NTSTATUS NTAPI DrvWmiFunctionControl(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex,
                                     WMIENABLEDISABLECONTROL Function, BOOLEAN Enable);

// Name of a WMI minor function code for the trace.
PCSTR GetWmiMinorName(UCHAR MinorFunction);
