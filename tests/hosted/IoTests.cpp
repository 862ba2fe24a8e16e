// The I/O manager: device stacks, IRP flow and completion, verifier checks,
// cancellation, driver object extensions, device properties, the loader.
#include <cstring>

#include <hosted/gtest.h>
#include <wdmguid.h>

using namespace hosted;

namespace {

// A bus driver whose PDO keeps internal-device-control IRPs pending until
// the test completes them.
struct Bus {
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    static inline PIRP held = nullptr;
    static inline bool useCancelRoutine = false;

    static VOID NTAPI Cancel(PDEVICE_OBJECT, PIRP irp)
    {
        IoReleaseCancelSpinLock(irp->CancelIrql);
        held = nullptr;
        irp->IoStatus.Status = STATUS_CANCELLED;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
    static NTSTATUS NTAPI Internal(PDEVICE_OBJECT, PIRP irp)
    {
        IoMarkIrpPending(irp);
        held = irp;
        if (useCancelRoutine) IoSetCancelRoutine(irp, Cancel);
        return STATUS_PENDING;
    }
    static void CompleteHeld(NTSTATUS status, ULONG_PTR info = 0)
    {
        PIRP irp = held;
        held = nullptr;
        IoSetCancelRoutine(irp, nullptr);
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = info;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
    Bus()
    {
        held = nullptr;
        useCancelRoutine = false;
        driver = Io::CreateDriver("\\Driver\\testbus");
        driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = Internal;
        pdo = Io::CreatePdo(driver);
    }
    ~Bus()
    {
        IoDeleteDevice(pdo);
        Io::DeleteDriver(driver);
    }
};

// A function driver that forwards IRPs with a completion routine.
struct Forwarder {
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT fdo = nullptr;
    PDEVICE_OBJECT lower = nullptr;
    static inline bool sawPendingReturned = false;
    static inline int completions = 0;
    static inline PDEVICE_OBJECT lowerStatic = nullptr;

    static NTSTATUS NTAPI OnComplete(PDEVICE_OBJECT dev, PIRP irp, PVOID ctx)
    {
        EXPECT_EQ(ctx, reinterpret_cast<PVOID>(0x1234));
        EXPECT_NE(dev, nullptr);
        ++completions;
        sawPendingReturned = irp->PendingReturned;
        if (irp->PendingReturned) IoMarkIrpPending(irp);
        return STATUS_CONTINUE_COMPLETION;
    }
    static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT, PIRP irp)
    {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, OnComplete, reinterpret_cast<PVOID>(0x1234), TRUE, TRUE, TRUE);
        return IoCallDriver(lowerStatic, irp);
    }
    explicit Forwarder(PDEVICE_OBJECT pdo)
    {
        sawPendingReturned = false;
        completions = 0;
        driver = Io::CreateDriver("\\Driver\\forwarder");
        driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = Dispatch;
        IoCreateDevice(driver, 16, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
        lower = lowerStatic = IoAttachDeviceToDeviceStack(fdo, pdo);
        fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    ~Forwarder()
    {
        IoDetachDevice(lower);
        IoDeleteDevice(fdo);
        Io::DeleteDriver(driver);
    }
};

}  // namespace

TEST(IoManager, StacksDefaultHandlerAndPendingCompletion)
{
    TestPlatform platform;
    Bus bus;
    Forwarder fwd(bus.pdo);
    EXPECT_EQ(fwd.lower, bus.pdo);
    EXPECT_EQ(bus.pdo->AttachedDevice, fwd.fdo);
    EXPECT_EQ(fwd.fdo->StackSize, 2);
    EXPECT_NE(fwd.fdo->DeviceExtension, nullptr);
    // Nothing handles IRP_MJ_DEVICE_CONTROL: the default handler fails it.
    EXPECT_EQ(Io::SendAndWait(fwd.fdo, Io::BuildIrp(fwd.fdo, IRP_MJ_DEVICE_CONTROL, 0)), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(Io::LiveIrps(), 0u);

    // Completed later by the bus: the completion routine runs and sees PendingReturned.
    KEVENT ev;
    KeInitializeEvent(&ev, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    char out[8] = {};
    PIRP irp = IoBuildDeviceIoControlRequest(0x220003, fwd.fdo, nullptr, 0, out, sizeof out, TRUE, &ev, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoGetNextIrpStackLocation(irp)->MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = out;
    Thread completer = StartThread("bus", [] {
        Sleep(Milliseconds(7));
        Bus::CompleteHeld(STATUS_SUCCESS, 3);
    });
    EXPECT_EQ(IoCallDriver(fwd.fdo, irp), STATUS_PENDING);
    EXPECT_EQ(KeWaitForSingleObject(&ev, Suspended, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(Clock::Now(), Milliseconds(7));
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 3u);
    EXPECT_EQ(Forwarder::completions, 1);
    EXPECT_TRUE(Forwarder::sawPendingReturned);
    EXPECT_EQ(Io::LiveIrps(), 0u);  // the I/O manager freed it
    completer.Join();
}

TEST(IoManager, MoreProcessingRequiredStopsCompletion)
{
    TestPlatform platform;
    Bus bus;
    PIRP irp = IoAllocateIrp(bus.pdo->StackSize, FALSE);
    ASSERT_NE(irp, nullptr);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    static int calls;
    calls = 0;
    IoSetCompletionRoutine(
        irp, [](PDEVICE_OBJECT dev, PIRP, PVOID) NTAPI -> NTSTATUS {
            EXPECT_EQ(dev, nullptr);  // the top location has no device
            ++calls;
            return STATUS_MORE_PROCESSING_REQUIRED;
        },
        nullptr, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(bus.pdo, irp), STATUS_PENDING);
    Bus::CompleteHeld(STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(Io::LiveIrps(), 1u);  // still ours
    IoFreeIrp(irp);
    EXPECT_EQ(Verifier::Count(), 0u);
}

TEST(Verifier, IrpHandlingFaultsAreCaught)
{
    TestPlatform platform;
    Bus bus;
    PDRIVER_OBJECT bad = Io::CreateDriver("\\Driver\\bad");
    static PIRP kept;
    bad->MajorFunction[IRP_MJ_READ] = [](PDEVICE_OBJECT, PIRP irp) NTAPI -> NTSTATUS {
        kept = irp;
        return STATUS_PENDING;  // without IoMarkIrpPending
    };
    bad->MajorFunction[IRP_MJ_WRITE] = [](PDEVICE_OBJECT, PIRP irp) NTAPI -> NTSTATUS {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        IoCompleteRequest(irp, IO_NO_INCREMENT);  // twice
        return STATUS_SUCCESS;
    };
    PDEVICE_OBJECT dev = nullptr;
    IoCreateDevice(bad, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &dev);

    PIRP read = Io::BuildIrp(dev, IRP_MJ_READ, 0);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(
        read, [](PDEVICE_OBJECT, PIRP, PVOID ctx) NTAPI -> NTSTATUS {
            KeSetEvent(static_cast<PKEVENT>(ctx), IO_NO_INCREMENT, FALSE);
            return STATUS_MORE_PROCESSING_REQUIRED;
        },
        &done, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(dev, read), STATUS_PENDING);
    EXPECT_EQ(Verifier::Count(), 0u);  // a completion routine could still mark it
    kept->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(kept, IO_NO_INCREMENT);
    IoFreeIrp(read);
    auto v = Verifier::Take();
    ASSERT_EQ(v.size(), 1u);
    EXPECT_NE(v[0].find("without marking it pending"), std::string::npos) << v[0];

    PIRP write = Io::BuildIrp(dev, IRP_MJ_WRITE, 0);
    EXPECT_EQ(Io::SendAndWait(dev, write), STATUS_SUCCESS);
    v = Verifier::Take();
    ASSERT_EQ(v.size(), 1u);
    EXPECT_NE(v[0].find("already completed"), std::string::npos) << v[0];

    // An IRP from IoAllocateIrp must be stopped by its owner's completion routine.
    PIRP orphan = IoAllocateIrp(1, FALSE);
    IoGetNextIrpStackLocation(orphan)->MajorFunction = IRP_MJ_WRITE;
    IoCallDriver(dev, orphan);
    v = Verifier::Take();
    ASSERT_GE(v.size(), 1u);
    EXPECT_NE(v[0].find("completed to the top"), std::string::npos) << v[0];
    IoFreeIrp(orphan);
    Verifier::Take();
    IoDeleteDevice(dev);
    Io::DeleteDriver(bad);
}

TEST(IoManager, CancelRunsTheCancelRoutine)
{
    TestPlatform platform;
    Bus bus;
    Bus::useCancelRoutine = true;
    KEVENT ev;
    KeInitializeEvent(&ev, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(0x220003, bus.pdo, nullptr, 0, nullptr, 0, TRUE, &ev, &iosb);
    EXPECT_EQ(IoCallDriver(bus.pdo, irp), STATUS_PENDING);
    LARGE_INTEGER ten;
    ten.QuadPart = -Seconds(10);
    EXPECT_EQ(KeWaitForSingleObject(&ev, Suspended, KernelMode, FALSE, &ten), STATUS_TIMEOUT);
    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_EQ(KeWaitForSingleObject(&ev, Suspended, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Status, STATUS_CANCELLED);
    EXPECT_EQ(Bus::held, nullptr);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(Io::LiveIrps(), 0u);
}

TEST(IoManager, DriverExtensionsAndDeviceProperties)
{
    TestPlatform platform;
    Bus bus;
    PVOID ext = nullptr, again = nullptr;
    EXPECT_EQ(IoAllocateDriverObjectExtension(bus.driver, reinterpret_cast<PVOID>(1), 40, &ext), STATUS_SUCCESS);
    EXPECT_EQ(IoAllocateDriverObjectExtension(bus.driver, reinterpret_cast<PVOID>(1), 40, &again),
              STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(again, nullptr);
    EXPECT_EQ(IoGetDriverObjectExtension(bus.driver, reinterpret_cast<PVOID>(1)), ext);
    EXPECT_EQ(IoGetDriverObjectExtension(bus.driver, reinterpret_cast<PVOID>(2)), nullptr);
    Io::FailDriverExtension(1);
    EXPECT_EQ(IoAllocateDriverObjectExtension(bus.driver, reinterpret_cast<PVOID>(2), 8, &again),
              STATUS_INSUFFICIENT_RESOURCES);

    GUID guid{};
    ULONG len = 0;
    EXPECT_EQ(IoGetDeviceProperty(bus.pdo, DevicePropertyBusTypeGuid, sizeof guid, &guid, &len),
              STATUS_OBJECT_NAME_NOT_FOUND);
    Io::SetDevicePropertyGuid(bus.pdo, DevicePropertyBusTypeGuid, GUID_BUS_TYPE_USB);
    EXPECT_EQ(IoGetDeviceProperty(bus.pdo, DevicePropertyBusTypeGuid, 8, &guid, &len), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(len, 16u);
    EXPECT_EQ(IoGetDeviceProperty(bus.pdo, DevicePropertyBusTypeGuid, sizeof guid, &guid, &len), STATUS_SUCCESS);
    EXPECT_TRUE(IsEqualGUID(guid, GUID_BUS_TYPE_USB));
    Io::FailDeviceProperty(bus.pdo, DevicePropertyBusTypeGuid, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(IoGetDeviceProperty(bus.pdo, DevicePropertyBusTypeGuid, sizeof guid, &guid, &len),
              STATUS_INSUFFICIENT_RESOURCES);
}

namespace {
struct Ext {
    void* buffer;
};
VOID NTAPI TestUnload(PDRIVER_OBJECT drv)
{
    auto* e = static_cast<Ext*>(IoGetDriverObjectExtension(drv, reinterpret_cast<PVOID>(1)));
    if (e && e->buffer) ExFreePool(e->buffer);
}
NTSTATUS NTAPI TestEntry(PDRIVER_OBJECT drv, PUNICODE_STRING path)
{
    Ext* e = nullptr;
    NTSTATUS st = IoAllocateDriverObjectExtension(drv, reinterpret_cast<PVOID>(1), sizeof(Ext),
                                                  reinterpret_cast<PVOID*>(&e));
    if (!NT_SUCCESS(st)) return st;
    e->buffer = ExAllocatePoolWithTag(NonPagedPoolNx, path->Length, Tag("Vorp"));
    if (!e->buffer) return STATUS_INSUFFICIENT_RESOURCES;  // leaks nothing: the extension goes with the object
    drv->DriverUnload = TestUnload;
    return STATUS_SUCCESS;
}
PIRP g_keptIrp = nullptr;
VOID NTAPI KeepBlock(PVOID)
{
    ExAllocatePoolWithTag(NonPagedPoolNx, 20, Tag("Thrd"));
}
// Leaks a block, an IRP and, from a system thread of its own, another block.
NTSTATUS NTAPI HoardingEntry(PDRIVER_OBJECT drv, PUNICODE_STRING)
{
    ExAllocatePoolWithTag(NonPagedPoolNx, 10, Tag("Leak"));
    g_keptIrp = IoAllocateIrp(1, FALSE);
    HANDLE thread = nullptr;
    NTSTATUS st = PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, KeepBlock, nullptr);
    if (NT_SUCCESS(st)) ZwClose(thread);
    drv->DriverUnload = [](PDRIVER_OBJECT) NTAPI {};
    return STATUS_SUCCESS;
}
}  // namespace

TEST(Loader, LoadAndUnloadLikeTheIoManager)
{
    TestPlatform platform;
    {
        DriverHost host(TestEntry);
        ASSERT_EQ(host.Load(), STATUS_SUCCESS);
        EXPECT_EQ(Pool::LiveBytes(Tag("Vorp")),
                  std::string("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\ORVEX").size() * 2);
        EXPECT_TRUE(host.Unload().empty());
    }
    {
        Pool::FailTag(Tag("Vorp"));
        DriverHost host(TestEntry);
        EXPECT_EQ(host.Load(), STATUS_INSUFFICIENT_RESOURCES);  // freed without an unload call
        EXPECT_FALSE(host.Loaded());
        Pool::ClearFailures();
    }
}

// With several drivers loaded, each unload reports only what that driver's
// code (its entry, its threads) left behind, not the other driver's or the
// test's own blocks and IRPs.
TEST(Loader, UnloadReportsOnlyTheUnloadingDriversLeaks)
{
    TestPlatform platform;
    DriverHost hoarder(HoardingEntry, "HOARDER");
    DriverHost clean(TestEntry, "CLEAN");
    ASSERT_EQ(hoarder.Load(), STATUS_SUCCESS);
    ASSERT_EQ(clean.Load(), STATUS_SUCCESS);
    hosted::Sleep(Milliseconds(1));  // the hoarder's thread runs and ends
    void* mine = ExAllocatePoolWithTag(NonPagedPoolNx, 30, Tag("Test"));
    PIRP myIrp = IoAllocateIrp(1, FALSE);

    EXPECT_TRUE(clean.Unload().empty());
    auto problems = hoarder.Unload();
    std::string all;
    for (auto& p : problems) all += p + "\n";
    EXPECT_EQ(problems.size(), 3u) << all;
    EXPECT_NE(all.find("10 bytes with tag 'Leak'"), std::string::npos) << all;
    EXPECT_NE(all.find("20 bytes with tag 'Thrd'"), std::string::npos) << all;
    EXPECT_NE(all.find("IRP"), std::string::npos) << all;
    EXPECT_EQ(all.find("'Test'"), std::string::npos) << all;
    Verifier::Take();

    ExFreePool(mine);
    IoFreeIrp(myIrp);
    IoFreeIrp(g_keptIrp);
    for (auto& a : Pool::Live()) ExFreePool(a.address);
}
