// The WMI library (WmiSystemControl, WmiCompleteRequest, WmiFireEvent).
//
// WmiSystemControl completes nothing itself: a request it hands to a DpWmiXxx
// callback is completed by the driver through WmiCompleteRequest
// (IrpProcessed); a registration request, or one it rejects (unknown GUID,
// instance out of range, missing callback), comes back with its status set
// and IrpNotCompleted, and the driver must complete it with
// IoCompleteRequest.
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

// Leaves the IRP for the driver to complete (IrpNotCompleted).
NTSTATUS NotCompleted(PIRP irp, PSYSCTL_IRP_DISPOSITION disposition, NTSTATUS status, ULONG_PTR info)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = info;
    *disposition = IrpNotCompleted;
    return status;
}

void CheckIrql(const char* routine, KIRQL highest)
{
    KIRQL irql = KeGetCurrentIrql();
    if (irql > highest)
        ViolationUnlocked(std::string(routine) + " at IRQL " + std::to_string(irql) + " (at most " +
                          std::to_string(highest) + ")");
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

// Builds the WMIREGINFO answer of IRP_MN_REGINFO(_EX): the GUID list with the
// flags of QueryWmiRegInfo, then the registry path, the MOF resource name and
// the instance base name as counted strings. A buffer too small receives the
// size needed in its first ULONG.
NTSTATUS RegInfo(PWMILIB_CONTEXT ctx, PDEVICE_OBJECT dev, PIRP irp, PIO_STACK_LOCATION sp,
                 PSYSCTL_IRP_DISPOSITION disposition)
{
    ULONG regFlags = 0;
    UNICODE_STRING instanceName{}, mofName{};
    PUNICODE_STRING registryPath = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    NTSTATUS st = ctx->QueryWmiRegInfo
                      ? ctx->QueryWmiRegInfo(dev, &regFlags, &instanceName, &registryPath, &mofName, &pdo)
                      : STATUS_SUCCESS;
    if (!NT_SUCCESS(st)) return NotCompleted(irp, disposition, st, 0);
    ULONG count = ctx->GuidCount;
    bool baseName = (regFlags & WMIREG_FLAG_INSTANCE_BASENAME) && instanceName.Length;
    ULONG header = ULONG(FIELD_OFFSET(WMIREGINFOW, WmiRegGuid) + count * sizeof(WMIREGGUIDW));
    ULONG regBytes = registryPath ? ULONG(sizeof(USHORT) + registryPath->Length) : 0;
    ULONG mofBytes = mofName.Length ? ULONG(sizeof(USHORT) + mofName.Length) : 0;
    ULONG baseBytes = baseName ? ULONG(sizeof(USHORT) + instanceName.Length) : 0;
    ULONG regOffset = regBytes ? header : 0;
    ULONG mofOffset = mofBytes ? header + regBytes : 0;
    ULONG baseOffset = baseBytes ? header + regBytes + mofBytes : 0;
    ULONG needed = header + regBytes + mofBytes + baseBytes;
    ULONG size = sp->Parameters.WMI.BufferSize;
    auto* buf = static_cast<uint8_t*>(sp->Parameters.WMI.Buffer);
    if (size < needed) {
        if (size < sizeof(ULONG)) return NotCompleted(irp, disposition, STATUS_BUFFER_TOO_SMALL, 0);
        *reinterpret_cast<ULONG*>(buf) = needed;
        return NotCompleted(irp, disposition, STATUS_SUCCESS, sizeof(ULONG));
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
        g.Flags = ctx->GuidList[i].Flags | (regFlags & ~(baseName ? 0 : ULONG(WMIREG_FLAG_INSTANCE_BASENAME)));
        g.InstanceCount = ctx->GuidList[i].InstanceCount;
        if (g.Flags & WMIREG_FLAG_INSTANCE_PDO)
            g.Pdo = ULONG_PTR(pdo);
        else if (g.Flags & WMIREG_FLAG_INSTANCE_BASENAME)
            g.BaseNameOffset = baseOffset;
    }
    auto put = [&](ULONG offset, const UNICODE_STRING& s) {
        *reinterpret_cast<USHORT*>(buf + offset) = s.Length;
        std::memcpy(buf + offset + sizeof(USHORT), s.Buffer, s.Length);
    };
    if (regBytes) put(regOffset, *registryPath);
    if (mofBytes) put(mofOffset, mofName);
    if (baseBytes) put(baseOffset, instanceName);
    return NotCompleted(irp, disposition, STATUS_SUCCESS, needed);
}

}  // namespace

extern "C" {

NTSTATUS WmiSystemControl(PWMILIB_CONTEXT WmiLibInfo, PDEVICE_OBJECT DeviceObject, PIRP Irp,
                          PSYSCTL_IRP_DISPOSITION IrpDisposition)
{
    CheckIrql("WmiSystemControl", PASSIVE_LEVEL);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    UCHAR minor = sp->MinorFunction;
    {
        // A new request on this IRP: nothing of an earlier one applies.
        std::lock_guard<std::mutex> guard(g_wmiMutex);
        g_queries.erase(Irp);
    }
    if (minor > IRP_MN_EXECUTE_METHOD && minor != IRP_MN_REGINFO_EX) {
        *IrpDisposition = IrpNotWmi;
        return Irp->IoStatus.Status;
    }
    if (sp->Parameters.WMI.ProviderId != ULONG_PTR(DeviceObject)) {
        *IrpDisposition = IrpForward;
        return Irp->IoStatus.Status;
    }
    if (minor == IRP_MN_REGINFO || minor == IRP_MN_REGINFO_EX)
        return RegInfo(WmiLibInfo, DeviceObject, Irp, sp, IrpDisposition);
    ULONG index;
    if (!FindGuid(WmiLibInfo, static_cast<const GUID*>(sp->Parameters.WMI.DataPath), index))
        return NotCompleted(Irp, IrpDisposition, STATUS_WMI_GUID_NOT_FOUND, 0);
    auto* buf = static_cast<uint8_t*>(sp->Parameters.WMI.Buffer);
    ULONG size = sp->Parameters.WMI.BufferSize;
    ULONG instances = WmiLibInfo->GuidList[index].InstanceCount;
    switch (minor) {
    case IRP_MN_QUERY_ALL_DATA: {
        if (!WmiLibInfo->QueryWmiDataBlock) return NotCompleted(Irp, IrpDisposition, STATUS_INVALID_DEVICE_REQUEST, 0);
        ULONG offset = Align8(ULONG(FIELD_OFFSET(WNODE_ALL_DATA, OffsetInstanceDataAndLength) +
                                    instances * sizeof(OFFSETINSTANCEDATAANDLENGTH)));
        PULONG lengths;
        {
            std::lock_guard<std::mutex> guard(g_wmiMutex);
            PendingQuery& q = g_queries[Irp];
            q = PendingQuery{minor, offset, instances, std::vector<ULONG>(instances, 0)};
            lengths = q.lengths.data();
        }
        *IrpDisposition = IrpProcessed;
        return WmiLibInfo->QueryWmiDataBlock(DeviceObject, Irp, index, 0, instances, lengths,
                                             size > offset ? size - offset : 0, size > offset ? buf + offset : nullptr);
    }
    case IRP_MN_QUERY_SINGLE_INSTANCE: {
        auto* w = reinterpret_cast<WNODE_SINGLE_INSTANCE*>(buf);
        if (w->InstanceIndex >= instances)
            return NotCompleted(Irp, IrpDisposition, STATUS_WMI_INSTANCE_NOT_FOUND, 0);
        if (!WmiLibInfo->QueryWmiDataBlock) return NotCompleted(Irp, IrpDisposition, STATUS_INVALID_DEVICE_REQUEST, 0);
        ULONG offset = w->DataBlockOffset;
        PULONG lengths;
        {
            std::lock_guard<std::mutex> guard(g_wmiMutex);
            PendingQuery& q = g_queries[Irp];
            q = PendingQuery{minor, offset, 1, std::vector<ULONG>(1, 0)};
            lengths = q.lengths.data();
        }
        *IrpDisposition = IrpProcessed;
        return WmiLibInfo->QueryWmiDataBlock(DeviceObject, Irp, index, w->InstanceIndex, 1, lengths,
                                             size > offset ? size - offset : 0, size > offset ? buf + offset : nullptr);
    }
    case IRP_MN_CHANGE_SINGLE_INSTANCE: {
        auto* w = reinterpret_cast<WNODE_SINGLE_INSTANCE*>(buf);
        if (w->InstanceIndex >= instances)
            return NotCompleted(Irp, IrpDisposition, STATUS_WMI_INSTANCE_NOT_FOUND, 0);
        if (!WmiLibInfo->SetWmiDataBlock) return NotCompleted(Irp, IrpDisposition, STATUS_WMI_READ_ONLY, 0);
        *IrpDisposition = IrpProcessed;
        return WmiLibInfo->SetWmiDataBlock(DeviceObject, Irp, index, w->InstanceIndex, w->SizeDataBlock,
                                           buf + w->DataBlockOffset);
    }
    case IRP_MN_CHANGE_SINGLE_ITEM: {
        auto* w = reinterpret_cast<WNODE_SINGLE_ITEM*>(buf);
        if (w->InstanceIndex >= instances)
            return NotCompleted(Irp, IrpDisposition, STATUS_WMI_INSTANCE_NOT_FOUND, 0);
        if (!WmiLibInfo->SetWmiDataItem) return NotCompleted(Irp, IrpDisposition, STATUS_WMI_READ_ONLY, 0);
        *IrpDisposition = IrpProcessed;
        return WmiLibInfo->SetWmiDataItem(DeviceObject, Irp, index, w->InstanceIndex, w->ItemId, w->SizeDataItem,
                                          buf + w->DataBlockOffset);
    }
    case IRP_MN_EXECUTE_METHOD: {
        auto* w = reinterpret_cast<WNODE_METHOD_ITEM*>(buf);
        if (w->InstanceIndex >= instances)
            return NotCompleted(Irp, IrpDisposition, STATUS_WMI_INSTANCE_NOT_FOUND, 0);
        if (!WmiLibInfo->ExecuteWmiMethod) return NotCompleted(Irp, IrpDisposition, STATUS_INVALID_DEVICE_REQUEST, 0);
        *IrpDisposition = IrpProcessed;
        return WmiLibInfo->ExecuteWmiMethod(DeviceObject, Irp, index, w->InstanceIndex, w->MethodId,
                                            w->SizeDataBlock, size > w->DataBlockOffset ? size - w->DataBlockOffset : 0,
                                            buf + w->DataBlockOffset);
    }
    default: {  // enable/disable events or collection
        if (!WmiLibInfo->WmiFunctionControl) return NotCompleted(Irp, IrpDisposition, STATUS_SUCCESS, 0);
        bool events = minor == IRP_MN_ENABLE_EVENTS || minor == IRP_MN_DISABLE_EVENTS;
        bool enable = minor == IRP_MN_ENABLE_EVENTS || minor == IRP_MN_ENABLE_COLLECTION;
        *IrpDisposition = IrpProcessed;
        return WmiLibInfo->WmiFunctionControl(DeviceObject, Irp, index, events ? WmiEventControl : WmiDataBlockControl,
                                              enable ? TRUE : FALSE);
    }
    }
}

NTSTATUS WmiCompleteRequest(PDEVICE_OBJECT, PIRP Irp, NTSTATUS Status, ULONG BufferUsed, CCHAR PriorityBoost)
{
    CheckIrql("WmiCompleteRequest", DISPATCH_LEVEL);
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
    // A too-small buffer is answered with WNODE_TOO_SMALL and success.
    return final;
}

NTSTATUS WmiFireEvent(PDEVICE_OBJECT, LPCGUID, ULONG, ULONG, PVOID EventData)
{
    CheckIrql("WmiFireEvent", DISPATCH_LEVEL);
    if (EventData) ExFreePool(EventData);  // the caller hands its pool buffer over
    return STATUS_SUCCESS;
}

}  // extern "C"
