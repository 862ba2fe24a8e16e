// Kernel streaming device callbacks driven by plug-and-play requests, and the
// WMI library between the WMI service and a provider.
#include <cstring>
#include <string>

#include <hosted/gtest.h>
#include <ks.h>
#include <wdmguid.h>
#include <wmilib.h>

using namespace hosted;

namespace {

std::string g_log;

// A bus whose PDO answers plug-and-play requests as a bus driver must.
NTSTATUS BusPnp(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS st = irp->IoStatus.Status;
    switch (sp->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        g_log += "bus:" + std::to_string(sp->MinorFunction) + " ";
        st = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_CAPABILITIES:
        sp->Parameters.DeviceCapabilities.Capabilities->SystemWake = PowerSystemSleeping3;
        st = STATUS_SUCCESS;
        break;
    default:
        break;
    }
    irp->IoStatus.Status = st;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return st;
}

// Each callback logs its call.
NTSTATUS OnAdd(PKSDEVICE d) { g_log += "add "; d->Context = &g_log; return STATUS_SUCCESS; }
NTSTATUS OnStart(PKSDEVICE, PIRP, PCM_RESOURCE_LIST, PCM_RESOURCE_LIST) { g_log += "start "; return STATUS_SUCCESS; }
VOID OnStop(PKSDEVICE, PIRP) { g_log += "stop "; }
VOID OnRemove(PKSDEVICE d, PIRP) { g_log += "remove "; d->Context = nullptr; }
NTSTATUS OnCaps(PKSDEVICE, PIRP, PDEVICE_CAPABILITIES caps)
{
    g_log += "caps:" + std::to_string(caps->SystemWake) + " ";
    return STATUS_SUCCESS;
}

const KSDEVICE_DISPATCH kDispatch = {OnAdd,   OnStart, nullptr, nullptr, nullptr, OnStop,  nullptr,
                                     nullptr, OnRemove, OnCaps,  nullptr, nullptr, nullptr, nullptr};
const KSDEVICE_DESCRIPTOR kDescriptor = {&kDispatch, 0, nullptr, KSDEVICE_DESCRIPTOR_VERSION};

NTSTATUS FdoPnp(PDEVICE_OBJECT dev, PIRP irp) { return KsDispatchIrp(dev, irp); }

}  // namespace

TEST(KernelStreaming, CallbacksFollowThePlugAndPlayRequests)
{
    TestPlatform platform;
    g_log.clear();
    PDRIVER_OBJECT bus = Io::CreateDriver("\\Driver\\bus");
    bus->MajorFunction[IRP_MJ_PNP] = BusPnp;
    PDEVICE_OBJECT pdo = Io::CreatePdo(bus);
    PDRIVER_OBJECT drv = Io::CreateDriver("\\Driver\\ksclient");
    drv->MajorFunction[IRP_MJ_PNP] = FdoPnp;

    PKSDEVICE ks = nullptr;
    ASSERT_EQ(KsCreateDevice(drv, pdo, &kDescriptor, 64, &ks), STATUS_SUCCESS);
    EXPECT_EQ(ks->PhysicalDeviceObject, pdo);
    EXPECT_EQ(ks->NextDeviceObject, pdo);
    EXPECT_EQ(ks->Context, &g_log);
    EXPECT_EQ(KsGetDeviceForDeviceObject(ks->FunctionalDeviceObject), ks);
    PDEVICE_OBJECT fdo = ks->FunctionalDeviceObject;
    EXPECT_EQ(pdo->AttachedDevice, fdo);

    EXPECT_EQ(Io::SendPnp(fdo, IRP_MN_START_DEVICE, [](PIO_STACK_LOCATION) {}), STATUS_SUCCESS);
    EXPECT_TRUE(ks->Started);
    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof caps;
    EXPECT_EQ(Io::SendPnp(fdo, IRP_MN_QUERY_CAPABILITIES,
                          [&](PIO_STACK_LOCATION sp) { sp->Parameters.DeviceCapabilities.Capabilities = &caps; }),
              STATUS_SUCCESS);
    EXPECT_EQ(Io::SendPnp(fdo, IRP_MN_REMOVE_DEVICE, [](PIO_STACK_LOCATION) {}), STATUS_SUCCESS);
    // Started when removed: stopped first; the bus sees each request after the callback
    // except start, which reaches the bus before the device is started.
    EXPECT_EQ(g_log, "add bus:0 start caps:4 stop remove bus:2 ");
    EXPECT_EQ(pdo->AttachedDevice, nullptr);
    EXPECT_EQ(drv->DeviceObject, nullptr);  // the function device was deleted

    // Requests without a filter to serve.
    ASSERT_EQ(KsCreateDevice(drv, pdo, &kDescriptor, 0, &ks), STATUS_SUCCESS);
    drv->MajorFunction[IRP_MJ_CREATE] = FdoPnp;
    EXPECT_EQ(Io::SendAndWait(ks->FunctionalDeviceObject, Io::BuildIrp(ks->FunctionalDeviceObject, IRP_MJ_CREATE, 0)),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Io::SendPnp(ks->FunctionalDeviceObject, IRP_MN_REMOVE_DEVICE, [](PIO_STACK_LOCATION) {}),
              STATUS_SUCCESS);
    IoDeleteDevice(pdo);
    Io::DeleteDriver(drv);
    Io::DeleteDriver(bus);
}

namespace {

UCHAR g_value = 1;
GUID g_guids[1];
WMIGUIDREGINFO g_regInfo[1] = {{&g_guids[0], 1, 0}};

NTSTATUS QueryRegInfo(PDEVICE_OBJECT, PULONG flags, PUNICODE_STRING, PUNICODE_STRING* path, PUNICODE_STRING,
                      PDEVICE_OBJECT* pdo)
{
    *flags = WMIREG_FLAG_INSTANCE_PDO;
    *path = nullptr;
    *pdo = nullptr;
    return STATUS_SUCCESS;
}
NTSTATUS QueryBlock(PDEVICE_OBJECT dev, PIRP irp, ULONG, ULONG, ULONG, PULONG lengths, ULONG avail, PUCHAR buf)
{
    if (avail < 1) return WmiCompleteRequest(dev, irp, STATUS_BUFFER_TOO_SMALL, 1, IO_NO_INCREMENT);
    *buf = g_value;
    lengths[0] = 1;
    return WmiCompleteRequest(dev, irp, STATUS_SUCCESS, 1, IO_NO_INCREMENT);
}
NTSTATUS SetBlock(PDEVICE_OBJECT dev, PIRP irp, ULONG, ULONG, ULONG size, PUCHAR buf)
{
    NTSTATUS st = size >= 1 ? STATUS_SUCCESS : STATUS_INFO_LENGTH_MISMATCH;
    if (size >= 1) g_value = *buf;
    return WmiCompleteRequest(dev, irp, st, 0, IO_NO_INCREMENT);
}

WMILIB_CONTEXT g_wmi = {1, g_regInfo, QueryRegInfo, QueryBlock, SetBlock, nullptr, nullptr, nullptr};

NTSTATUS SystemControl(PDEVICE_OBJECT dev, PIRP irp)
{
    SYSCTL_IRP_DISPOSITION disposition;
    NTSTATUS st = WmiSystemControl(&g_wmi, dev, irp, &disposition);
    if (disposition == IrpNotCompleted) IoCompleteRequest(irp, IO_NO_INCREMENT);
    if (disposition == IrpForward || disposition == IrpNotWmi) {
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_NOT_SUPPORTED;
    }
    return st;
}

}  // namespace

TEST(WmiLibrary, QueriesAndChangesReachTheProvider)
{
    TestPlatform platform;
    g_guids[0] = GUID_POWER_DEVICE_ENABLE;
    g_value = 1;
    PDRIVER_OBJECT drv = Io::CreateDriver("\\Driver\\wmiprovider");
    drv->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = SystemControl;
    PDEVICE_OBJECT dev = nullptr;
    IoCreateDevice(drv, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &dev);

    WmiReply reg = Wmi::RegInfo(dev);
    ASSERT_EQ(reg.status, STATUS_SUCCESS);
    auto* info = reinterpret_cast<WMIREGINFOW*>(reg.buffer.data());
    EXPECT_EQ(info->GuidCount, 1u);
    EXPECT_TRUE(IsEqualGUID(info->WmiRegGuid[0].Guid, GUID_POWER_DEVICE_ENABLE));
    EXPECT_EQ(info->WmiRegGuid[0].Flags, ULONG(WMIREG_FLAG_INSTANCE_PDO));

    WmiReply q = Wmi::QuerySingleInstance(dev, GUID_POWER_DEVICE_ENABLE);
    EXPECT_EQ(q.status, STATUS_SUCCESS);
    EXPECT_EQ(q.data, std::vector<uint8_t>{1});
    WmiReply s = Wmi::SetSingleInstance(dev, GUID_POWER_DEVICE_ENABLE, {0});
    EXPECT_EQ(s.status, STATUS_SUCCESS);
    EXPECT_EQ(g_value, 0);
    WmiReply all = Wmi::QueryAllData(dev, GUID_POWER_DEVICE_ENABLE);
    EXPECT_EQ(all.data, std::vector<uint8_t>{0});
    WmiReply small = Wmi::QuerySingleInstance(dev, GUID_POWER_DEVICE_ENABLE, 0, 48);
    EXPECT_TRUE(small.tooSmall);
    EXPECT_EQ(small.sizeNeeded, ((sizeof(WNODE_SINGLE_INSTANCE) + 7) & ~size_t(7)) + 1);
    EXPECT_EQ(Wmi::QuerySingleInstance(dev, GUID_POWER_DEVICE_WAKE_ENABLE).status, STATUS_WMI_GUID_NOT_FOUND);
    EXPECT_EQ(Wmi::QuerySingleInstance(dev, GUID_POWER_DEVICE_ENABLE, 1).status, STATUS_WMI_INSTANCE_NOT_FOUND);
    EXPECT_EQ(Wmi::SetSingleItem(dev, GUID_POWER_DEVICE_ENABLE, 1, {1}).status, STATUS_WMI_READ_ONLY);
    IoDeleteDevice(dev);
    Io::DeleteDriver(drv);
}
