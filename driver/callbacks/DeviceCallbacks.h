// The kernel-streaming device callbacks: the only bridge between the driver
// frame and the device object, which hangs on the KSDEVICE's Context.
#pragma once

#include <ntddk.h>
#include <ks.h>

NTSTATUS NTAPI DeviceAdd(PKSDEVICE Device);
NTSTATUS NTAPI DeviceStart(PKSDEVICE Device, PIRP Irp, PCM_RESOURCE_LIST TranslatedResources,
                           PCM_RESOURCE_LIST UntranslatedResources);
VOID NTAPI DeviceStop(PKSDEVICE Device, PIRP Irp);
VOID NTAPI DeviceRemove(PKSDEVICE Device, PIRP Irp);
NTSTATUS NTAPI DeviceCapabilities(PKSDEVICE Device, PIRP Irp, PDEVICE_CAPABILITIES Capabilities);
VOID NTAPI DeviceSurpriseRemoval(PKSDEVICE Device, PIRP Irp);
NTSTATUS NTAPI DeviceQueryPower(PKSDEVICE Device, PIRP Irp, DEVICE_POWER_STATE DeviceTo,
                                DEVICE_POWER_STATE DeviceFrom, SYSTEM_POWER_STATE SystemTo,
                                SYSTEM_POWER_STATE SystemFrom, POWER_ACTION Action);
VOID NTAPI DeviceSetPower(PKSDEVICE Device, PIRP Irp, DEVICE_POWER_STATE To, DEVICE_POWER_STATE From);

// Number of DeviceAdd entry lines printed, minus one (starts at 0xFFFFFFFF).
// A declaration only (the check takes it for a definition); the definition
// in DeviceCallbacks.cpp is a constant initialization.
// NOLINTNEXTLINE(bugprone-dynamic-static-initializers)
extern ULONG DeviceAddCount;
