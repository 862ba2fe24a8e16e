// The device object: one CUsbDevice per camera.
//
// CDevice is the abstract base the device callbacks drive through its virtual
// operations; CUsbDevice holds the camera's USB descriptors and identity, the
// per-device settings and the state of the firmware update.
//
// Flags shared between the update thread and the plug-and-play/power paths
// (m_bRemoved, m_bStopThread, m_pThreadObject) are single aligned words that
// are always accessed atomically with relaxed ordering (see the accessors).
#pragma once

#include <ntddk.h>
#include <ks.h>
#include <usb.h>
#include <usbdi.h>

#include "SettingsBlock.h"

// Descriptor buffers of a started device; zero-filled when allocated.
struct USB_INFO {
    PUSB_CONFIGURATION_DESCRIPTOR UsbConfigurationDescriptor;  // whole configuration descriptor
    PUSB_DEVICE_DESCRIPTOR UsbDeviceDescriptor;                // 18-byte device descriptor
    PUSBD_INTERFACE_INFORMATION UsbInterface;                  // copy of the first selected interface
};

class CDevice {
public:
    CDevice();
    virtual ~CDevice();

    virtual NTSTATUS Add(PKSDEVICE KsDevice) = 0;
    virtual NTSTATUS Start(PKSDEVICE KsDevice, PIRP Irp, PCM_RESOURCE_LIST TranslatedResources,
                           PCM_RESOURCE_LIST UntranslatedResources, ULONG ProductIdOverride) = 0;
    virtual void Remove(PKSDEVICE KsDevice, PIRP Irp) = 0;
    virtual void Stop(PKSDEVICE KsDevice, PIRP Irp) = 0;
    virtual NTSTATUS ReservedOperation(PVOID Argument) = 0;
    virtual void PowerRestore() = 0;
    virtual BOOLEAN SupportsRemoteWakeUp() = 0;

    void SetPhysicalDeviceObject(PDEVICE_OBJECT Pdo) { m_pPhysicalDeviceObject = Pdo; }
    void SetKsDevice(PKSDEVICE KsDevice) { m_pKsDevice = KsDevice; }
    PKSDEVICE GetKsDevice() const { return m_pKsDevice; }
    ULONG GetUId() const { return m_ulUId; }
    void SetUId(ULONG UId) { m_ulUId = UId; }

    // Relaxed atomic access to the removal flag shared with other threads.
    ULONG IsRemoved() const { return __atomic_load_n(&m_bRemoved, __ATOMIC_RELAXED); }
    void SetRemoved(ULONG Value) { __atomic_store_n(&m_bRemoved, Value, __ATOMIC_RELAXED); }

    PDEVICE_OBJECT m_pPhysicalDeviceObject;
    ULONG m_bRemoved;
    ULONG m_ulPowerState;
    SettingsBlock m_Settings;
    ULONG m_ulUId;
    PKSDEVICE m_pKsDevice;
    ULONG m_ulProductId;
    USHORT m_usVendorId;
    USHORT m_usBcdUsb;
};

// The type of sizeof (size_t), which the allocation operators take, named
// without any C or C++ library header.
using AllocationSize = decltype(sizeof(0));

class CUsbDevice : public CDevice {
public:
    // Zero-filled allocation from the given pool with the device tag; NULL when
    // no memory is left. The release operator calls ExFreePool.
    static void* operator new(AllocationSize Size, POOL_TYPE PoolType) noexcept;
    static void operator delete(void* Memory) noexcept;
    static void operator delete(void* Memory, AllocationSize Size) noexcept;

    CUsbDevice();
    ~CUsbDevice() override;

    NTSTATUS Add(PKSDEVICE KsDevice) override;
    NTSTATUS Start(PKSDEVICE KsDevice, PIRP Irp, PCM_RESOURCE_LIST TranslatedResources,
                   PCM_RESOURCE_LIST UntranslatedResources, ULONG ProductIdOverride) override;
    void Remove(PKSDEVICE KsDevice, PIRP Irp) override;
    void Stop(PKSDEVICE KsDevice, PIRP Irp) override;
    NTSTATUS ReservedOperation(PVOID Argument) override;
    void PowerRestore() override;
    BOOLEAN SupportsRemoteWakeUp() override;

    // Configuration and interface selection.
    NTSTATUS SelectConfiguration(PKSDEVICE KsDevice);
    NTSTATUS SelectInterface(PKSDEVICE KsDevice, PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor);

    // Relaxed atomic access to the thread members shared with the update thread.
    BOOLEAN StopRequested() const { return __atomic_load_n(&m_bStopThread, __ATOMIC_RELAXED); }
    void SetStopThread(BOOLEAN Value) { __atomic_store_n(&m_bStopThread, Value, __ATOMIC_RELAXED); }
    PVOID ThreadObject() const { return __atomic_load_n(&m_pThreadObject, __ATOMIC_RELAXED); }
    void SetThreadObject(PVOID Object) { __atomic_store_n(&m_pThreadObject, Object, __ATOMIC_RELAXED); }

    USB_INFO* m_pUsbInfo;

    // Firmware update state.
    ULONG m_ulFileSize;        // size of the file GetDownloadFile opened last
    PUCHAR m_pFileBuffer;      // that file, only while GetDownloadFile runs
    ULONG m_bUpdated;          // firmware was written during this run
    ULONG m_bDownloadDone;     // the last flash download sent all its pages
    ULONG m_bIspStatus3;       // the ISP reported firmware status 3
    UCHAR m_VersionText[80];   // raw text of the version file
    UCHAR m_VersionRecord[12]; // reply of UVCGet_VERSION
    UCHAR m_SerialNumber[20];  // serial characters found in the EEPROM's image
    ULONG m_ulFx3CurrentVersion;
    ULONG m_ulIspCurrentVersion;
    ULONG m_ulAudCurrentVersion;
    ULONG m_ulFx3FileVersion;
    ULONG m_ulIspFileVersion;
    ULONG m_ulAudFileVersion;
    ULONG m_bLastTransferOk;   // outcome of the last vendor request actually sent
    PVOID m_pThreadObject;     // referenced thread object of the update thread
    BOOLEAN m_bStopThread;     // asks the update thread to end at its next loop start
};
