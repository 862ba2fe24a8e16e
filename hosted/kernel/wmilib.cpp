// The WMI library (WmiSystemControl, WmiCompleteRequest) and the requests of
// the WMI service used by tests (hosted::Wmi).
#include <cstring>

#include <wmilib.h>

#include "internal.h"

using namespace hosted;
using namespace hosted::detail;

namespace {

// What WmiCompleteRequest needs to know about a query in progress.
struct PendingQuery {
    UCHAR minor;
    ULONG dataOffset;
    ULONG instanceCount;
    std::vector<ULONG> lengths;
};
std::mutex g_wmiMutex;
std::map<PIRP, PendingQuery> g_queries;

ULONG Align8(ULONG v) { return (v + 7) & ~7U; }

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR info)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = info;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

bool FindGuid(PWMILIB_CONTEXT ctx, const GUID* guid, ULONG& index)
{
    for (ULONG i = 0; i < ctx->GuidCount; ++i)
        if (ctx->GuidList[i].Guid && std::memcmp(ctx->GuidList[i].Guid, guid, sizeof(GUID)) == 0) {
            index = i;
            return true;
        }
    return false;
}

NTSTATUS RegInfo(PWMILIB_CONTEXT ctx, PDEVICE_OBJECT dev, PIRP irp, PIO_STACK_LOCATION sp)
{
    ULONG regFlags = 0;
    UNICODE_STRING instanceName{}, mofName{};
    PUNICODE_STRING registryPath = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    NTSTATUS st = ctx->QueryWmiRegInfo
                      ? ctx->QueryWmiRegInfo(dev, &regFlags, &instanceName, &registryPath, &mofName, &pdo)
                      : STATUS_SUCCESS;
    if (!NT_SUCCESS(st)) return Complete(irp, st, 0);
    ULONG count = ctx->GuidCount;
    ULONG header = ULONG(FIELD_OFFSET(WMIREGINFOW, WmiRegGuid) + count * sizeof(WMIREGGUIDW));
    ULONG regOffset = registryPath ? header : 0;
    ULONG regBytes = registryPath ? ULONG(sizeof(USHORT) + registryPath->Length) : 0;
    ULONG mofOffset = mofName.Length ? header + regBytes : 0;
    ULONG mofBytes = mofName.Length ? ULONG(sizeof(USHORT) + mofName.Length) : 0;
    ULONG needed = header + regBytes + mofBytes;
    ULONG size = sp->Parameters.WMI.BufferSize;
    auto* buf = static_cast<uint8_t*>(sp->Parameters.WMI.Buffer);
    if (size < needed) {
        if (size >= sizeof(ULONG)) *reinterpret_cast<ULONG*>(buf) = needed;
        return Complete(irp, STATUS_SUCCESS, sizeof(ULONG));
    }
    std::memset(buf, 0, needed);
    auto* info = reinterpret_cast<WMIREGINFOW*>(buf);
    info->BufferSize = needed;
    info->RegistryPath = regOffset;
    info->MofResourceName = mofOffset;
    info->GuidCount = count;
    for (ULONG i = 0; i < count; ++i) {
        WMIREGGUIDW& g = info->WmiRegGuid[i];
        g.Guid = *ctx->GuidList[i].Guid;
        g.Flags = ctx->GuidList[i].Flags | (regFlags & ~WMIREG_FLAG_INSTANCE_BASENAME);
        g.InstanceCount = ctx->GuidList[i].InstanceCount;
        if (g.Flags & WMIREG_FLAG_INSTANCE_PDO) g.Pdo = ULONG_PTR(pdo);
    }
    if (registryPath) {
        *reinterpret_cast<USHORT*>(buf + regOffset) = registryPath->Length;
        std::memcpy(buf + regOffset + 2, registryPath->Buffer, registryPath->Length);
    }
    if (mofBytes) {
        *reinterpret_cast<USHORT*>(buf + mofOffset) = mofName.Length;
        std::memcpy(buf + mofOffset + 2, mofName.Buffer, mofName.Length);
    }
    return Complete(irp, STATUS_SUCCESS, needed);
}

}  // namespace

extern "C" {

NTSTATUS WmiSystemControl(PWMILIB_CONTEXT WmiLibInfo, PDEVICE_OBJECT DeviceObject, PIRP Irp,
                          PSYSCTL_IRP_DISPOSITION IrpDisposition)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    UCHAR minor = sp->MinorFunction;
    if (minor > IRP_MN_EXECUTE_METHOD && minor != IRP_MN_REGINFO_EX) {
        *IrpDisposition = IrpNotWmi;
        return Irp->IoStatus.Status;
    }
    if (sp->Parameters.WMI.ProviderId != ULONG_PTR(DeviceObject)) {
        *IrpDisposition = IrpForward;
        return Irp->IoStatus.Status;
    }
    *IrpDisposition = IrpProcessed;
    if (minor == IRP_MN_REGINFO || minor == IRP_MN_REGINFO_EX) return RegInfo(WmiLibInfo, DeviceObject, Irp, sp);
    ULONG index;
    if (!FindGuid(WmiLibInfo, static_cast<const GUID*>(sp->Parameters.WMI.DataPath), index))
        return Complete(Irp, STATUS_WMI_GUID_NOT_FOUND, 0);
    auto* buf = static_cast<uint8_t*>(sp->Parameters.WMI.Buffer);
    ULONG size = sp->Parameters.WMI.BufferSize;
    ULONG instances = WmiLibInfo->GuidList[index].InstanceCount;
    switch (minor) {
    case IRP_MN_QUERY_ALL_DATA: {
        if (!WmiLibInfo->QueryWmiDataBlock) return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
        ULONG offset = Align8(ULONG(FIELD_OFFSET(WNODE_ALL_DATA, OffsetInstanceDataAndLength) +
                                    instances * sizeof(OFFSETINSTANCEDATAANDLENGTH)));
        PULONG lengths;
        {
            std::lock_guard<std::mutex> guard(g_wmiMutex);
            PendingQuery& q = g_queries[Irp];
            q = PendingQuery{minor, offset, instances, std::vector<ULONG>(instances, 0)};
            lengths = q.lengths.data();
        }
        return WmiLibInfo->QueryWmiDataBlock(DeviceObject, Irp, index, 0, instances, lengths,
                                             size > offset ? size - offset : 0, size > offset ? buf + offset : nullptr);
    }
    case IRP_MN_QUERY_SINGLE_INSTANCE: {
        auto* w = reinterpret_cast<WNODE_SINGLE_INSTANCE*>(buf);
        if (w->InstanceIndex >= instances) return Complete(Irp, STATUS_WMI_INSTANCE_NOT_FOUND, 0);
        if (!WmiLibInfo->QueryWmiDataBlock) return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
        ULONG offset = w->DataBlockOffset;
        PULONG lengths;
        {
            std::lock_guard<std::mutex> guard(g_wmiMutex);
            PendingQuery& q = g_queries[Irp];
            q = PendingQuery{minor, offset, 1, std::vector<ULONG>(1, 0)};
            lengths = q.lengths.data();
        }
        return WmiLibInfo->QueryWmiDataBlock(DeviceObject, Irp, index, w->InstanceIndex, 1, lengths,
                                             size > offset ? size - offset : 0, size > offset ? buf + offset : nullptr);
    }
    case IRP_MN_CHANGE_SINGLE_INSTANCE: {
        auto* w = reinterpret_cast<WNODE_SINGLE_INSTANCE*>(buf);
        if (w->InstanceIndex >= instances) return Complete(Irp, STATUS_WMI_INSTANCE_NOT_FOUND, 0);
        if (!WmiLibInfo->SetWmiDataBlock) return Complete(Irp, STATUS_WMI_READ_ONLY, 0);
        return WmiLibInfo->SetWmiDataBlock(DeviceObject, Irp, index, w->InstanceIndex, w->SizeDataBlock,
                                           buf + w->DataBlockOffset);
    }
    case IRP_MN_CHANGE_SINGLE_ITEM: {
        auto* w = reinterpret_cast<WNODE_SINGLE_ITEM*>(buf);
        if (w->InstanceIndex >= instances) return Complete(Irp, STATUS_WMI_INSTANCE_NOT_FOUND, 0);
        if (!WmiLibInfo->SetWmiDataItem) return Complete(Irp, STATUS_WMI_READ_ONLY, 0);
        return WmiLibInfo->SetWmiDataItem(DeviceObject, Irp, index, w->InstanceIndex, w->ItemId, w->SizeDataItem,
                                          buf + w->DataBlockOffset);
    }
    case IRP_MN_EXECUTE_METHOD: {
        auto* w = reinterpret_cast<WNODE_METHOD_ITEM*>(buf);
        if (!WmiLibInfo->ExecuteWmiMethod) return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
        return WmiLibInfo->ExecuteWmiMethod(DeviceObject, Irp, index, w->InstanceIndex, w->MethodId,
                                            w->SizeDataBlock, size > w->DataBlockOffset ? size - w->DataBlockOffset : 0,
                                            buf + w->DataBlockOffset);
    }
    default: {  // enable/disable events or collection
        if (!WmiLibInfo->WmiFunctionControl) return Complete(Irp, STATUS_SUCCESS, 0);
        bool events = minor == IRP_MN_ENABLE_EVENTS || minor == IRP_MN_DISABLE_EVENTS;
        bool enable = minor == IRP_MN_ENABLE_EVENTS || minor == IRP_MN_ENABLE_COLLECTION;
        return WmiLibInfo->WmiFunctionControl(DeviceObject, Irp, index, events ? WmiEventControl : WmiDataBlockControl,
                                              enable ? TRUE : FALSE);
    }
    }
}

NTSTATUS WmiCompleteRequest(PDEVICE_OBJECT, PIRP Irp, NTSTATUS Status, ULONG BufferUsed, CCHAR PriorityBoost)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    auto* buf = static_cast<uint8_t*>(sp->Parameters.WMI.Buffer);
    ULONG size = sp->Parameters.WMI.BufferSize;
    PendingQuery q{};
    bool query = false;
    {
        std::lock_guard<std::mutex> guard(g_wmiMutex);
        auto it = g_queries.find(Irp);
        if (it != g_queries.end()) {
            q = std::move(it->second);
            g_queries.erase(it);
            query = true;
        }
    }
    ULONG_PTR info = 0;
    NTSTATUS final = Status;
    if (query && Status == STATUS_BUFFER_TOO_SMALL && size >= sizeof(WNODE_TOO_SMALL)) {
        auto* w = reinterpret_cast<WNODE_TOO_SMALL*>(buf);
        w->WnodeHeader.Flags |= WNODE_FLAG_TOO_SMALL;
        w->WnodeHeader.BufferSize = sizeof(WNODE_TOO_SMALL);
        w->SizeNeeded = q.dataOffset + BufferUsed;
        info = sizeof(WNODE_TOO_SMALL);
        final = STATUS_SUCCESS;
    } else if (query && NT_SUCCESS(Status) && q.minor == IRP_MN_QUERY_ALL_DATA) {
        auto* w = reinterpret_cast<WNODE_ALL_DATA*>(buf);
        w->DataBlockOffset = q.dataOffset;
        w->InstanceCount = q.instanceCount;
        bool same = true;
        for (ULONG l : q.lengths) same = same && l == q.lengths[0];
        if (same && q.instanceCount) {
            w->WnodeHeader.Flags |= WNODE_FLAG_FIXED_INSTANCE_SIZE;
            w->FixedInstanceSize = q.lengths[0];
        } else {
            ULONG at = q.dataOffset;
            for (ULONG i = 0; i < q.instanceCount; ++i) {
                w->OffsetInstanceDataAndLength[i].OffsetInstanceData = at;
                w->OffsetInstanceDataAndLength[i].LengthInstanceData = q.lengths[i];
                at += Align8(q.lengths[i]);
            }
        }
        w->WnodeHeader.BufferSize = q.dataOffset + BufferUsed;
        info = w->WnodeHeader.BufferSize;
    } else if (query && NT_SUCCESS(Status)) {
        auto* w = reinterpret_cast<WNODE_SINGLE_INSTANCE*>(buf);
        w->SizeDataBlock = BufferUsed;
        w->WnodeHeader.BufferSize = q.dataOffset + BufferUsed;
        info = w->WnodeHeader.BufferSize;
    } else if (NT_SUCCESS(Status)) {
        info = BufferUsed;
    }
    Irp->IoStatus.Status = final;
    Irp->IoStatus.Information = info;
    IofCompleteRequest(Irp, PriorityBoost);
    return Status;
}

NTSTATUS WmiFireEvent(PDEVICE_OBJECT, LPCGUID, ULONG, ULONG, PVOID EventData)
{
    if (EventData) ExFreePool(EventData);  // the caller hands its pool buffer over
    return STATUS_SUCCESS;
}

}  // extern "C"

// ---------------------------------------------------------------- the WMI service side

namespace hosted {

namespace {

WmiReply Send(PDEVICE_OBJECT device, UCHAR minor, const GUID* guid, std::vector<uint8_t> buffer)
{
    WmiReply r{};
    PIRP irp = Io::BuildIrp(device, IRP_MJ_SYSTEM_CONTROL, minor);
    if (!irp) {
        r.status = STATUS_INSUFFICIENT_RESOURCES;
        return r;
    }
    GUID guidCopy{};  // lives for the whole (synchronous) request
    if (guid) guidCopy = *guid;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->Parameters.WMI.ProviderId = ULONG_PTR(device);
    sp->Parameters.WMI.DataPath = guid ? &guidCopy : nullptr;
    sp->Parameters.WMI.BufferSize = ULONG(buffer.size());
    sp->Parameters.WMI.Buffer = buffer.data();
    IO_STATUS_BLOCK io{};
    r.status = Io::SendAndWait(device, irp, &io);
    r.information = io.Information;
    r.buffer = std::move(buffer);
    return r;
}

void FillHeader(std::vector<uint8_t>& b, const GUID& guid, ULONG flags)
{
    auto* h = reinterpret_cast<WNODE_HEADER*>(b.data());
    h->BufferSize = ULONG(b.size());
    h->Guid = guid;
    h->Flags = flags;
}

void ReadTooSmall(WmiReply& r)
{
    auto* h = reinterpret_cast<WNODE_HEADER*>(r.buffer.data());
    if (NT_SUCCESS(r.status) && (h->Flags & WNODE_FLAG_TOO_SMALL)) {
        r.tooSmall = true;
        r.sizeNeeded = reinterpret_cast<WNODE_TOO_SMALL*>(r.buffer.data())->SizeNeeded;
    }
}

}  // namespace

WmiReply Wmi::RegInfo(PDEVICE_OBJECT device, ULONG bufferSize)
{
    return Send(device, IRP_MN_REGINFO, nullptr, std::vector<uint8_t>(bufferSize, 0));
}

WmiReply Wmi::QueryAllData(PDEVICE_OBJECT device, const GUID& guid, ULONG bufferSize)
{
    std::vector<uint8_t> b(std::max<size_t>(bufferSize, sizeof(WNODE_ALL_DATA)), 0);
    FillHeader(b, guid, WNODE_FLAG_ALL_DATA);
    WmiReply r = Send(device, IRP_MN_QUERY_ALL_DATA, &guid, std::move(b));
    ReadTooSmall(r);
    if (NT_SUCCESS(r.status) && !r.tooSmall) {
        auto* w = reinterpret_cast<WNODE_ALL_DATA*>(r.buffer.data());
        if (w->WnodeHeader.BufferSize <= r.buffer.size() && w->DataBlockOffset <= w->WnodeHeader.BufferSize)
            r.data.assign(r.buffer.begin() + w->DataBlockOffset, r.buffer.begin() + w->WnodeHeader.BufferSize);
    }
    return r;
}

WmiReply Wmi::QuerySingleInstance(PDEVICE_OBJECT device, const GUID& guid, ULONG instanceIndex, ULONG bufferSize)
{
    ULONG offset = (sizeof(WNODE_SINGLE_INSTANCE) + 7) & ~7U;
    std::vector<uint8_t> b(std::max<size_t>(bufferSize, offset), 0);
    FillHeader(b, guid, WNODE_FLAG_SINGLE_INSTANCE | WNODE_FLAG_STATIC_INSTANCE_NAMES);
    auto* w = reinterpret_cast<WNODE_SINGLE_INSTANCE*>(b.data());
    w->InstanceIndex = instanceIndex;
    w->DataBlockOffset = offset;
    WmiReply r = Send(device, IRP_MN_QUERY_SINGLE_INSTANCE, &guid, std::move(b));
    ReadTooSmall(r);
    if (NT_SUCCESS(r.status) && !r.tooSmall) {
        auto* out = reinterpret_cast<WNODE_SINGLE_INSTANCE*>(r.buffer.data());
        if (out->DataBlockOffset + out->SizeDataBlock <= r.buffer.size())
            r.data.assign(r.buffer.begin() + out->DataBlockOffset,
                          r.buffer.begin() + out->DataBlockOffset + out->SizeDataBlock);
    }
    return r;
}

WmiReply Wmi::SetSingleInstance(PDEVICE_OBJECT device, const GUID& guid, const std::vector<uint8_t>& data,
                                ULONG instanceIndex)
{
    ULONG offset = (sizeof(WNODE_SINGLE_INSTANCE) + 7) & ~7U;
    std::vector<uint8_t> b(offset + data.size(), 0);
    FillHeader(b, guid, WNODE_FLAG_SINGLE_INSTANCE | WNODE_FLAG_STATIC_INSTANCE_NAMES);
    auto* w = reinterpret_cast<WNODE_SINGLE_INSTANCE*>(b.data());
    w->InstanceIndex = instanceIndex;
    w->DataBlockOffset = offset;
    w->SizeDataBlock = ULONG(data.size());
    std::memcpy(b.data() + offset, data.data(), data.size());
    return Send(device, IRP_MN_CHANGE_SINGLE_INSTANCE, &guid, std::move(b));
}

WmiReply Wmi::SetSingleItem(PDEVICE_OBJECT device, const GUID& guid, ULONG itemId, const std::vector<uint8_t>& data,
                            ULONG instanceIndex)
{
    ULONG offset = (sizeof(WNODE_SINGLE_ITEM) + 7) & ~7U;
    std::vector<uint8_t> b(offset + data.size(), 0);
    FillHeader(b, guid, WNODE_FLAG_SINGLE_ITEM | WNODE_FLAG_STATIC_INSTANCE_NAMES);
    auto* w = reinterpret_cast<WNODE_SINGLE_ITEM*>(b.data());
    w->InstanceIndex = instanceIndex;
    w->ItemId = itemId;
    w->DataBlockOffset = offset;
    w->SizeDataItem = ULONG(data.size());
    std::memcpy(b.data() + offset, data.data(), data.size());
    return Send(device, IRP_MN_CHANGE_SINGLE_ITEM, &guid, std::move(b));
}

WmiReply Wmi::Control(PDEVICE_OBJECT device, const GUID& guid, UCHAR minor)
{
    std::vector<uint8_t> b(sizeof(WNODE_HEADER), 0);
    FillHeader(b, guid, 0);
    return Send(device, minor, &guid, std::move(b));
}

}  // namespace hosted
