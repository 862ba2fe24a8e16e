// Compiled, not linked, by CheckCallbackConvention.cmake: each CASE hands the
// platform a routine of the right shape but without the Windows calling
// convention, which must not compile. With no CASE every routine carries the
// convention (as a driver declares them, through the kernel's routine types)
// and the file must compile.
#include <ntddk.h>
#include <ks.h>
#include <wmilib.h>

#ifdef CASE
#define CONVENTION
#else
#define CASE 0
#define CONVENTION NTAPI
#endif

namespace {

NTSTATUS CONVENTION Dispatch(PDEVICE_OBJECT, PIRP) { return STATUS_SUCCESS; }
NTSTATUS CONVENTION Completion(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_SUCCESS; }
VOID CONVENTION ThreadStart(PVOID) {}
VOID CONVENTION Worker(PDEVICE_OBJECT, PVOID) {}
VOID CONVENTION PowerDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID, PIO_STATUS_BLOCK) {}
NTSTATUS CONVENTION KsAdd(PKSDEVICE) { return STATUS_SUCCESS; }
NTSTATUS CONVENTION QueryBlock(PDEVICE_OBJECT, PIRP, ULONG, ULONG, ULONG, PULONG, ULONG, PUCHAR)
{
    return STATUS_SUCCESS;
}
VOID CONVENTION Dpc(PKDPC, PVOID, PVOID, PVOID) {}

}  // namespace

void Hand(PDRIVER_OBJECT driver, PIRP irp, PKDPC dpc, KSDEVICE_DISPATCH* ks, WMILIB_CONTEXT* wmi)
{
    (void)driver, (void)irp, (void)dpc, (void)ks, (void)wmi;
#if CASE == 0 || CASE == 1
    driver->MajorFunction[IRP_MJ_PNP] = Dispatch;
#endif
#if CASE == 0 || CASE == 2
    IoSetCompletionRoutine(irp, Completion, nullptr, TRUE, TRUE, TRUE);
#endif
#if CASE == 0 || CASE == 3
    HANDLE h;
    PsCreateSystemThread(&h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, ThreadStart, nullptr);
#endif
#if CASE == 0 || CASE == 4
    IoQueueWorkItem(nullptr, Worker, DelayedWorkQueue, nullptr);
#endif
#if CASE == 0 || CASE == 5
    POWER_STATE s;
    s.DeviceState = PowerDeviceD0;
    PoRequestPowerIrp(nullptr, IRP_MN_SET_POWER, s, PowerDone, nullptr, nullptr);
#endif
#if CASE == 0 || CASE == 6
    ks->Add = KsAdd;
#endif
#if CASE == 0 || CASE == 7
    wmi->QueryWmiDataBlock = QueryBlock;
#endif
#if CASE == 0 || CASE == 8
    KeInitializeDpc(dpc, Dpc, nullptr);
#endif
#if CASE == 0 || CASE == 9
    // A lambda is a routine without the convention unless it says so.
    driver->DriverUnload = [](PDRIVER_OBJECT) CONVENTION {};
#endif
}
