// The firmware update engine: file loading, the three programming branches and
// the update controller thread.
#pragma once

#include "../usbdevice/UsbDevice.h"
#include "FirmwareFacts.h"

// File types handed to GetDownloadFile and DownloadFirmware.
constexpr ULONG FileTypeFx3 = 0;
constexpr ULONG FileTypeIsp = 1;
constexpr ULONG FileTypeAud = 2;
constexpr ULONG FileTypeVersion = 3;

// Loads the file named by Path (a drive-letter path) completely and hands it on:
// the version file into m_VersionText, firmware files to DownloadFirmware.
// Returns 1 when the file was read and handed on, STATUS_UNSUCCESSFUL otherwise.
NTSTATUS GetDownloadFile(CUsbDevice* Device, PWSTR Path, ULONG FileType);
NTSTATUS DownloadFirmware(CUsbDevice* Device, ULONG FileType);
void ParseVersionText(CUsbDevice* Device);

// The three programming branches of DownloadFirmware, entered with the file
// loaded (m_pFileBuffer, m_ulFileSize not 0).
NTSTATUS DownloadFx3Image(CUsbDevice* Device);
NTSTATUS DownloadIspImage(CUsbDevice* Device);
NTSTATUS DownloadAudImage(CUsbDevice* Device);

// FX3 boot image helpers.
ULONG ReadFileUlong(CUsbDevice* Device, ULONG Position);
BOOLEAN CheckFx3Image(CUsbDevice* Device);

// The update controller thread.
NTSTATUS StartControlPanelAnalysisThread(CUsbDevice* Device, PKSDEVICE KsDevice);
NTSTATUS StopControlPanelAnalysisThread(CUsbDevice* Device, PKSDEVICE KsDevice);
KSTART_ROUTINE ControlPanelAnalysisThread;
