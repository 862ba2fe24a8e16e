// The device's WMI provider: two power-management data blocks the platform
// defines (wake enable and power-management enable), each one boolean byte
// kept in the function device's record and mirrored to its hardware key.
#pragma once

#include <ntddk.h>
#include <wmilib.h>

struct FdoData;

constexpr ULONG NUMBER_OF_WMI_GUIDS = 2;

// Index 0: wake enable; index 1: power-management enable.
extern const WMIGUIDREGINFO WmiGuidListWake[NUMBER_OF_WMI_GUIDS];
// The same with the wake block withdrawn (WMIREG_FLAG_REMOVE_GUID).
extern const WMIGUIDREGINFO WmiGuidListNoWake[NUMBER_OF_WMI_GUIDS];

NTSTATUS DrvWmiRegistration(FdoData* Data, BOOLEAN WakeSupported);
void DrvWmiDeRegistration(FdoData* Data);

// The WMI library's callbacks.
WMI_QUERY_REGINFO_CALLBACK DrvQueryWmiRegInfo;
WMI_QUERY_DATABLOCK_CALLBACK DrvQueryWmiDataBlock;
WMI_SET_DATABLOCK_CALLBACK DrvSetWmiDataBlock;
WMI_SET_DATAITEM_CALLBACK DrvSetWmiDataItem;
WMI_FUNCTION_CONTROL_CALLBACK DrvWmiFunctionControl;

// Name of a WMI minor function code for the trace.
PCSTR GetWmiMinorName(UCHAR MinorFunction);
