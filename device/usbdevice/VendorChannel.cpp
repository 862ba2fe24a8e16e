// The camera's vendor command channel: VendorControlTransfer, the twelve
// request operations, the waits of the update engine and the small virtual
// operations of CUsbDevice that work on the same state.
#include "VendorChannel.h"

#include "Log.h"
#include "SendUrb.h"

// The vendor request is built in the platform's published 64-bit layout.
static_assert(sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST) == 136, "vendor request URB layout");
static_assert(__builtin_offsetof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferFlags) == 32, "vendor request URB layout");
static_assert(__builtin_offsetof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferBuffer) == 40, "vendor request URB layout");
static_assert(__builtin_offsetof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST, RequestTypeReservedBits) == 128,
              "vendor request URB layout");
static_assert(__builtin_offsetof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Request) == 129, "vendor request URB layout");
static_assert(__builtin_offsetof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Value) == 130, "vendor request URB layout");
static_assert(__builtin_offsetof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Index) == 132, "vendor request URB layout");
// The pipe-handle member tested after the call is the pointer right after the
// header: PipeHandle of the control-transfer view of the same URB.
static_assert(__builtin_offsetof(_URB_CONTROL_TRANSFER, PipeHandle) == sizeof(_URB_HEADER), "control URB layout");
static_assert(__builtin_offsetof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Reserved) == sizeof(_URB_HEADER),
              "vendor request URB layout");
static_assert(URB_FUNCTION_VENDOR_DEVICE == 0x0017, "vendor request function");
static_assert(USBD_SHORT_TRANSFER_OK == 2 && USBD_TRANSFER_DIRECTION_IN == 1, "transfer flags");

namespace {

constexpr UCHAR DirectionIn = 0;
constexpr UCHAR DirectionOut = 1;

constexpr UCHAR ReqGetVersion = 0xB0;
constexpr UCHAR ReqStartUpdate = 0xB1;
constexpr UCHAR ReqWriteEeprom = 0xB2;
constexpr UCHAR ReqReadEeprom = 0xB3;
constexpr UCHAR ReqResetId = 0xB4;
constexpr UCHAR ReqSetFileSize = 0xB5;
constexpr UCHAR ReqWriteSpiPage = 0xB6;
constexpr UCHAR ReqGetFwStatus = 0xB7;
constexpr UCHAR ReqGetStatus = 0xB8;
constexpr UCHAR ReqExitUpdate = 0xB9;
constexpr UCHAR ReqGetAlive = 0xBA;
constexpr UCHAR ReqResetIsp = 0xBB;

inline USHORT Low16(ULONG Value) { return static_cast<USHORT>(Value & 0xFFFF); }

// A relative interval of Ms milliseconds in 100-ns units. Formed in 64 bits,
// so every 32-bit millisecond count gives the interval it names (a 32-bit
// product would wrap above 214748 ms into a positive, i.e. absolute, time).
inline LONGLONG RelativeMs(ULONG Ms) { return -static_cast<LONGLONG>(Ms) * 10000; }

}  // namespace

NTSTATUS VendorControlTransfer(CUsbDevice* Device, UCHAR Direction, UCHAR Request, USHORT Index, USHORT Value,
                               PVOID Buffer, USHORT Length)
{
    if (Device->IsRemoved()) {
        return STATUS_SUCCESS;
    }

    URB urb;
    RtlZeroMemory(&urb, sizeof(urb));
    _URB_CONTROL_VENDOR_OR_CLASS_REQUEST& request = urb.UrbControlVendorClassRequest;
    request.Hdr.Length = sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    request.Hdr.Function = URB_FUNCTION_VENDOR_DEVICE;
    request.TransferFlags = USBD_SHORT_TRANSFER_OK | (Direction == 0 ? USBD_TRANSFER_DIRECTION_IN : 0);
    request.TransferBufferLength = Length;
    request.TransferBuffer = Buffer;
    request.TransferBufferMDL = nullptr;
    request.UrbLink = nullptr;
    request.RequestTypeReservedBits = 0;
    request.Request = Request;
    request.Value = Value;
    request.Index = Index;

    NTSTATUS status = SendURBWithTimeout(Device->GetKsDevice()->NextDeviceObject, &urb);
    if (status == STATUS_NO_SUCH_DEVICE || status == STATUS_DEVICE_NOT_CONNECTED) {
        Device->SetRemoved(1);
    }

    // Success is judged by the URB alone: a carried-out request comes back
    // with USBD status 0 and its pipe handle set.
    USBD_STATUS usbdStatus = urb.UrbHeader.Status;
    USBD_PIPE_HANDLE handle = urb.UrbControlTransfer.PipeHandle;
    if (usbdStatus != 0 || handle == nullptr) {
        DbgPrint("Fail control xfer status = 0x%x, handle 0x%x \n", static_cast<ULONG>(usbdStatus),
                 LowPart32(handle));
        Device->m_bLastTransferOk = 0;
        return STATUS_UNSUCCESSFUL;
    }
    Device->m_bLastTransferOk = 1;
    return STATUS_SUCCESS;
}

NTSTATUS UVCGet_VERSION(CUsbDevice* Device, PUCHAR Reply)
{
    VendorControlTransfer(Device, DirectionIn, ReqGetVersion, VendorIndex, 0, Reply, 12);
    return STATUS_SUCCESS;
}

NTSTATUS UVCStart_UPDATE(CUsbDevice* Device)
{
    UCHAR data[2] = {0xAA, 0x55};
    VendorControlTransfer(Device, DirectionOut, ReqStartUpdate, VendorIndex, 0, data, sizeof(data));
    return STATUS_SUCCESS;
}

NTSTATUS UVCWrite_EEPROM(CUsbDevice* Device, ULONG Value, ULONG Length, PUCHAR Data)
{
    VendorControlTransfer(Device, DirectionOut, ReqWriteEeprom, VendorIndex, Low16(Value), Data, Low16(Length));
    return STATUS_SUCCESS;
}

NTSTATUS UVCRead_EEPROM(CUsbDevice* Device, ULONG Value, ULONG Length, PUCHAR Data)
{
    VendorControlTransfer(Device, DirectionIn, ReqReadEeprom, VendorIndex, Low16(Value), Data, Low16(Length));
    return STATUS_SUCCESS;
}

NTSTATUS UVCReset_ID(CUsbDevice* Device, PUCHAR Reply)
{
    VendorControlTransfer(Device, DirectionIn, ReqResetId, VendorIndex, 0, Reply, 1);
    return STATUS_SUCCESS;
}

NTSTATUS UVCSet_FILESIZE(CUsbDevice* Device, ULONG Value, PUCHAR Reply)
{
    VendorControlTransfer(Device, DirectionIn, ReqSetFileSize, VendorIndex, Low16(Value), Reply, 1);
    return STATUS_SUCCESS;
}

// The page request carries no page number: wValue repeats wLength.
NTSTATUS UVCWrite_SPI_PAGE(CUsbDevice* Device, PUCHAR Data, ULONG Length)
{
    VendorControlTransfer(Device, DirectionOut, ReqWriteSpiPage, VendorIndex, Low16(Length), Data, Low16(Length));
    return STATUS_SUCCESS;
}

NTSTATUS UVCGet_FW_STATUS(CUsbDevice* Device, PUCHAR Reply)
{
    VendorControlTransfer(Device, DirectionIn, ReqGetFwStatus, VendorIndex, 0, Reply, 1);
    return STATUS_SUCCESS;
}

NTSTATUS UVCGet_STATUS(CUsbDevice* Device, PUCHAR Reply)
{
    VendorControlTransfer(Device, DirectionIn, ReqGetStatus, VendorIndex, 0, Reply, 1);
    return STATUS_SUCCESS;
}

NTSTATUS UVCExit_UPDATE(CUsbDevice* Device, PUCHAR Reply)
{
    VendorControlTransfer(Device, DirectionIn, ReqExitUpdate, VendorIndex, 0, Reply, 2);
    return STATUS_SUCCESS;
}

NTSTATUS UVCGet_ALIVE(CUsbDevice* Device, PUCHAR Reply)
{
    VendorControlTransfer(Device, DirectionIn, ReqGetAlive, VendorIndex, 0, Reply, 2);
    return STATUS_SUCCESS;
}

NTSTATUS UVCReset_ISP(CUsbDevice* Device, PUCHAR Reply)
{
    VendorControlTransfer(Device, DirectionIn, ReqResetIsp, VendorIndex, 0, Reply, 2);
    return STATUS_SUCCESS;
}

// The reply buffer starts as zeros, which is not the alive answer: a wait
// whose first poll fails (no reply ever heard) ends after that poll instead
// of sleeping the whole time on a camera that never answered. After one good
// poll a failed poll keeps the good reply, so the wait goes on.
//
// The elapsed count is 64 bits wide: a 32-bit count would wrap for a total
// within one second of the largest 32-bit value and never reach it.
void WaitDeviceAlive(CUsbDevice* Device, ULONG TotalMs)
{
    UCHAR reply[2] = {0, 0};

    DbgPrint("Wait Total %d seconds....\n", TotalMs / 1000);
    for (ULONGLONG elapsed = 0; elapsed < TotalMs; elapsed += 1000) {
        DbgPrint("WWaiting %d seconds....\n", static_cast<ULONG>(elapsed / 1000));
        DelayMs(1000);
        UVCGet_ALIVE(Device, reply);
        if (reply[0] != 0xAA || reply[1] != 0x55 || Device->IsRemoved()) {
            break;
        }
    }
}

NTSTATUS DelayMs(ULONG Ms)
{
    LARGE_INTEGER interval;
    interval.QuadPart = RelativeMs(Ms);
    return KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

void TimerWaitMs(ULONG Ms)
{
    ExSetTimerResolution(10000, TRUE);

    KTIMER timer;
    KeInitializeTimer(&timer);
    LARGE_INTEGER dueTime;
    dueTime.QuadPart = RelativeMs(Ms);
    KeSetTimer(&timer, dueTime, nullptr);
    KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr);

    ExSetTimerResolution(0, FALSE);
}

void CUsbDevice::PowerRestore()
{
    DbgPrint("Power Restore \n");
    m_ulPowerState = 1;  // PowerDeviceD0
    SetRemoved(0);
}

BOOLEAN CUsbDevice::SupportsRemoteWakeUp() { return FALSE; }

NTSTATUS CUsbDevice::ReservedOperation(PVOID Argument)
{
    UNREFERENCED_PARAMETER(Argument);
    return STATUS_SUCCESS;
}
