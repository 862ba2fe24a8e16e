// The update controller: one system thread per started camera reads the
// camera's versions, runs the ISP, audio and FX3 downloads that the version
// file calls for, waits for the camera to take new firmware into use and
// resets it at the end.
// ntifs.h first: it brings ntddk.h in itself, and adds the handle-based wait
// that ends a thread whose object could not be referenced.
#include <ntifs.h>

#include "UpdateEngine.h"

#include "Log.h"
#include "usbdevice/VendorChannel.h"

namespace {

// The thread is created and referenced with every thread right (0x1FFFFF).
static_assert(THREAD_ALL_ACCESS == 0x1FFFFF, "thread access mask");

constexpr ULONG IspNeedsReset = 0xFFFFFF;
constexpr LONG IspStatusRetries = 10;
constexpr LONG AudStatusRetries = 20;

void EndThread() { PsTerminateSystemThread(STATUS_SUCCESS); }

// Reads and decodes the version record until the ISP reports a usable version.
// Returns false when the thread is to end.
bool ReadVersions(CUsbDevice* Device, UCHAR* ResetReply) {
    for (;;) {
        if (Device->StopRequested()) {
            return false;
        }
        DelayMs(2000);
        if (Device->IsRemoved()) {
            DbgPrint("FX3 device removed \n");
            return false;
        }
        UCHAR* r = Device->m_VersionRecord;
        UVCGet_VERSION(Device, r);
        DbgPrint("Current Version 0x%x, 0x%x, 0x%x, 0x%x, 0x%x, 0x%x 0x%x, 0x%x, 0x%x, 0x%x 0x%x, 0x%x\n", r[0], r[1],
                 r[2], r[3], r[4], r[5], r[6], r[7], r[8], r[9], r[10], r[11]);
        Device->m_ulIspCurrentVersion = 0;
        Device->m_ulAudCurrentVersion = 0;
        Device->m_ulFx3CurrentVersion = 0;
        if (r[10] != 0xAA || r[11] != 0x55) {
            DbgPrint("Wrong version \n");
            return false;
        }
        Device->m_ulFx3CurrentVersion = (static_cast<ULONG>(r[0]) * 100 + r[1]) * 100 + r[2];
        Device->m_ulIspCurrentVersion = r[3] | (static_cast<ULONG>(r[4]) << 8) | (static_cast<ULONG>(r[5]) << 16);
        Device->m_ulAudCurrentVersion = r[6] | (static_cast<ULONG>(r[7]) << 8) | (static_cast<ULONG>(r[8]) << 16);
        DbgPrint("ISP File 0x%x, Current ISP 0x%x \n", Device->m_ulIspFileVersion, Device->m_ulIspCurrentVersion);
        DbgPrint("AUD File 0x%x, Current AUD 0x%x \n", Device->m_ulAudFileVersion, Device->m_ulAudCurrentVersion);
        DbgPrint("FX3 File %d, Current FX3 %d \n", Device->m_ulFx3FileVersion, Device->m_ulFx3CurrentVersion);
        Device->m_ulAudCurrentVersion &= 0xFF;
        if (Device->m_bLastTransferOk == 0) {
            DbgPrint("FX3 i2c fail \n");
            return false;
        }
        if (Device->m_ulIspCurrentVersion != IspNeedsReset) {
            return true;
        }
        UVCReset_ISP(Device, ResetReply);
        DbgPrint("Reset ISP rxbuf[0] = 0x%x, rxbuf[1] = 0x%x\n", ResetReply[0], ResetReply[1]);
    }
}

// Polls the firmware status after a flash download until it is not 0, with a
// 2 s alive wait between reads, at most Retries + 1 reads. Returns the last
// status read.
UCHAR PollFirmwareStatus(CUsbDevice* Device, UCHAR* Status, LONG Retries, const char* Line) {
    LONG retry = 0;
    for (;;) {
        UVCGet_FW_STATUS(Device, Status);
        DbgPrint(Line, *Status);
        if (*Status != 0) {
            return *Status;
        }
        ++retry;
        if (retry > Retries) {
            return 0;
        }
        DbgPrint("Delay 2 second more \n");
        WaitDeviceAlive(Device, 2000);
        if (Device->IsRemoved()) {
            DbgPrint("FX3 device removed \n");
            return 0;
        }
    }
}

}  // namespace

NTSTATUS StartControlPanelAnalysisThread(CUsbDevice* Device, PKSDEVICE KsDevice) {
    if (Device->ThreadObject() != nullptr) {
        return STATUS_SUCCESS;
    }
    Device->SetStopThread(FALSE);
    DbgPrint("StartControlPanelAnalysisThread()\n");

    // The thread's context is the device object that DeviceAdd hung on the
    // KSDEVICE; it is the same object as Device.
    PVOID context = (KsDevice != nullptr && KsDevice->Context != nullptr) ? KsDevice->Context : Device;
    HANDLE thread = nullptr;
    PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, ControlPanelAnalysisThread, context);
    if (thread != nullptr) {
        PVOID object = nullptr;
        const NTSTATUS referenced =
            ObReferenceObjectByHandle(thread, THREAD_ALL_ACCESS, nullptr, KernelMode, &object, nullptr);
        if (NT_SUCCESS(referenced)) {
            Device->SetThreadObject(object);
        } else {
            // Without the thread object, Stop and Remove would find no thread
            // to wait for and the device object could be freed under the
            // running thread. The handle is the one way left to wait for it:
            // the thread is asked to end and waited for here, so it never
            // outlives this call. It tests the request at the top of its
            // version loop, before any camera request, so it normally ends at
            // once (a thread that got past that test first runs its update
            // to the end, as it would under Stop). The next start tries
            // again.
            Device->SetStopThread(TRUE);
            ZwWaitForSingleObject(thread, FALSE, nullptr);
            DbgPrint("StartControlPanelAnalysisThread() thread object not referenced (0x%x), thread ended\n",
                     referenced);
        }
        ZwClose(thread);
    }
    return STATUS_SUCCESS;
}

NTSTATUS StopControlPanelAnalysisThread(CUsbDevice* Device, PKSDEVICE KsDevice) {
    UNREFERENCED_PARAMETER(KsDevice);
    PVOID object = Device->ThreadObject();
    if (object == nullptr) {
        return STATUS_SUCCESS;
    }
    Device->SetStopThread(TRUE);
    KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr);
    ObfDereferenceObject(object);
    Device->SetThreadObject(nullptr);
    DbgPrint("StopControlPanelAnalysisThread()\n");
    return STATUS_SUCCESS;
}

VOID ControlPanelAnalysisThread(PVOID StartContext) {
    CUsbDevice* device = static_cast<CUsbDevice*>(StartContext);
    KeSetPriorityThread(KeGetCurrentThread(), 16);

    // Reply buffers of the whole run. They start at 0, so a poll whose first
    // request delivers nothing reads "not ready yet" and is retried.
    UCHAR resetIspReply[2] = {0, 0};
    UCHAR ispStatus = 0;
    UCHAR audStatus = 0;
    UCHAR exitReply[2] = {0, 0};
    UCHAR resetReply = 0;

    if (!ReadVersions(device, resetIspReply)) {
        EndThread();
        return;
    }

    // ISP step; it also runs whenever the audio firmware is to change.
    if (device->m_ulIspFileVersion != device->m_ulIspCurrentVersion || device->m_ulAudCurrentVersion == 0 ||
        device->m_ulAudFileVersion != device->m_ulAudCurrentVersion) {
        UVCStart_UPDATE(device);
        GetDownloadFile(device, device->m_Settings.ISPFilePath, FileTypeIsp);
        if (device->m_bDownloadDone == 1) {
            WaitDeviceAlive(device, 30000);
            const UCHAR status = PollFirmwareStatus(device, &ispStatus, IspStatusRetries, "UVCISP_FW_STATUS 0x%x \n");
            if (status == 3) {
                device->m_bIspStatus3 = 1;
            } else if (status == 1) {
                device->m_bIspStatus3 = 0;
            }
            device->m_bUpdated = 1;
        }
    }

    // Audio step.
    if (device->m_ulAudFileVersion != device->m_ulAudCurrentVersion) {
        if (device->m_bUpdated == 0) {
            UVCStart_UPDATE(device);
        }
        GetDownloadFile(device, device->m_Settings.AUDFilePath, FileTypeAud);
        if (device->m_bDownloadDone == 1) {
            if (device->m_bIspStatus3 != 0) {
                WaitDeviceAlive(device, 30000);
            } else {
                WaitDeviceAlive(device, 70000);
                if (device->m_ulAudCurrentVersion != 0) {
                    PollFirmwareStatus(device, &audStatus, AudStatusRetries, "UVCAUD_FW_STATUS 0x%x \n");
                }
            }
            device->m_bUpdated = 1;
        }
    }

    // FX3 step.
    if (device->m_ulFx3FileVersion != device->m_ulFx3CurrentVersion) {
        if (device->m_bUpdated == 0) {
            UVCStart_UPDATE(device);
        }
        GetDownloadFile(device, device->m_Settings.FX3FilePath, FileTypeFx3);
        if (device->m_bUpdated == 0) {
            UVCExit_UPDATE(device, exitReply);
            DbgPrint("DownLoad nothing, exit update 0x%x, 0x%x \n", exitReply[0], exitReply[1]);
        }
    }

    if (device->m_bUpdated == 1) {
        UVCReset_ID(device, &resetReply);
        DbgPrint("UVCReset_ID %d \n", resetReply);
    }
    EndThread();
}
