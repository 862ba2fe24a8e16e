// The camera's vendor command channel: twelve control requests on the default
// pipe (bRequest 0xB0..0xBB, wIndex always 0xAA55), and the waits the update
// engine paces itself with.
//
// Every request operation sends at most one request and returns
// STATUS_SUCCESS; the outcome shows in m_bLastTransferOk, m_bRemoved and the
// reply bytes. A reply buffer keeps its previous content when nothing arrives.
#pragma once

#include "UsbDevice.h"

constexpr USHORT VendorIndex = 0xAA55;

// Sends one vendor request to the device (direction non-zero: host-to-device).
NTSTATUS VendorControlTransfer(CUsbDevice* Device, UCHAR Direction, UCHAR Request, USHORT Index, USHORT Value,
                               PVOID Buffer, USHORT Length);

NTSTATUS UVCGet_VERSION(CUsbDevice* Device, PUCHAR Reply);                               // 0xB0, 12 bytes
NTSTATUS UVCStart_UPDATE(CUsbDevice* Device);                                            // 0xB1
NTSTATUS UVCWrite_EEPROM(CUsbDevice* Device, ULONG Value, ULONG Length, PUCHAR Data);    // 0xB2
NTSTATUS UVCRead_EEPROM(CUsbDevice* Device, ULONG Value, ULONG Length, PUCHAR Data);     // 0xB3
NTSTATUS UVCReset_ID(CUsbDevice* Device, PUCHAR Reply);                                  // 0xB4, 1 byte
NTSTATUS UVCSet_FILESIZE(CUsbDevice* Device, ULONG Value, PUCHAR Reply);                 // 0xB5, 1 byte
NTSTATUS UVCWrite_SPI_PAGE(CUsbDevice* Device, PUCHAR Data, ULONG Length);               // 0xB6
NTSTATUS UVCGet_FW_STATUS(CUsbDevice* Device, PUCHAR Reply);                             // 0xB7, 1 byte
NTSTATUS UVCGet_STATUS(CUsbDevice* Device, PUCHAR Reply);                                // 0xB8, 1 byte
NTSTATUS UVCExit_UPDATE(CUsbDevice* Device, PUCHAR Reply);                               // 0xB9, 2 bytes
NTSTATUS UVCGet_ALIVE(CUsbDevice* Device, PUCHAR Reply);                                 // 0xBA, 2 bytes
NTSTATUS UVCReset_ISP(CUsbDevice* Device, PUCHAR Reply);                                 // 0xBB, 2 bytes

// Waits while the camera keeps answering the alive poll, in 1 s steps.
void WaitDeviceAlive(CUsbDevice* Device, ULONG TotalMs);
// Puts the calling thread to sleep (KeDelayExecutionThread, relative interval).
NTSTATUS DelayMs(ULONG Ms);
// Waits on a local kernel timer with the timer resolution raised to 1 ms.
void TimerWaitMs(ULONG Ms);
