// Plug and play of the hosted bus: the hub's bus relations and the PDOs'
// PnP IRPs, answered as a USB bus driver answers them.
#include <cstdio>
#include <cstring>

#include <hosted/io.h>

#include "UsbChild.h"

namespace hosted::usb {

namespace {

constexpr ULONG kIdTag = 0x49627355;  // 'UsbI': ID strings and relations handed to the PnP manager

// A MULTI_SZ (or a single string) of UTF-16 characters in paged pool, as
// the PnP manager expects for IRP_MN_QUERY_ID; it frees it. A single string
// gets a second terminator too, so a reader that walks every ID answer as a
// MULTI_SZ stays inside the allocation.
PWCHAR WideStrings(const std::vector<std::string>& items) {
    size_t chars = 1;
    for (const auto& s : items) chars += s.size() + 1;
    auto* out = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, chars * sizeof(WCHAR), kIdTag));
    if (!out) return nullptr;
    size_t at = 0;
    for (const auto& s : items) {
        for (char c : s) out[at++] = static_cast<WCHAR>(static_cast<unsigned char>(c));
        out[at++] = 0;
    }
    out[at] = 0;
    return out;
}

std::string Format(const char* fmt, unsigned a, unsigned b = 0, unsigned c = 0) {
    char buf[96];
    std::snprintf(buf, sizeof buf, fmt, a, b, c);
    return buf;
}

}  // namespace

const char* PdoStateName(PdoState state) {
    switch (state) {
        case PdoState::NotStarted: return "not started";
        case PdoState::Started: return "started";
        case PdoState::StopPending: return "stop pending";
        case PdoState::Stopped: return "stopped";
        case PdoState::RemovePending: return "remove pending";
        case PdoState::SurpriseRemoved: return "surprise removed";
        case PdoState::Removed: return "removed";
        case PdoState::Deleted: return "deleted";
    }
    return "?";
}

// BusRelations: every PDO whose device is present, each with a reference
// the PnP manager releases. A device unplugged since the last answer is left
// out, which is how the PnP manager learns it is gone; from then on its
// REMOVE deletes the PDO. A list already passed down by a filter is kept:
// the hub's PDOs are appended to it in a new allocation.
NTSTATUS Bus::HubPnp(PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    switch (sp->MinorFunction) {
        case IRP_MN_QUERY_DEVICE_RELATIONS: {
            if (sp->Parameters.QueryDeviceRelations.Type != BusRelations) break;
            std::vector<PDEVICE_OBJECT> present;
            std::vector<Child*> missing;
            {
                std::lock_guard lock(mu_);
                for (auto& c : children_) {
                    if (c->state == PdoState::Deleted || c->deletePending) continue;
                    if (c->plugged)
                        present.push_back(c->pdo);
                    else if (!c->reportedMissing)
                        missing.push_back(c.get());
                }
            }
            auto* old = reinterpret_cast<PDEVICE_RELATIONS>(irp->IoStatus.Information);
            const ULONG oldCount = old ? old->Count : 0;
            const ULONG count = oldCount + static_cast<ULONG>(present.size());
            const SIZE_T size = sizeof(DEVICE_RELATIONS) + (count ? count - 1 : 0) * sizeof(PDEVICE_OBJECT);
            auto* rel = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, size, kIdTag));
            if (!rel) {
                // The list from above stays as it was; nothing is reported missing.
                status = STATUS_INSUFFICIENT_RESOURCES;
                break;
            }
            rel->Count = count;
            for (ULONG i = 0; i < oldCount; ++i) rel->Objects[i] = old->Objects[i];
            for (size_t i = 0; i < present.size(); ++i) {
                ObReferenceObject(present[i]);
                rel->Objects[oldCount + i] = present[i];
            }
            if (old) ExFreePool(old);
            {
                std::lock_guard lock(mu_);
                for (Child* c : missing) c->reportedMissing = true;
            }
            irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(rel);
            status = STATUS_SUCCESS;
            break;
        }
        case IRP_MN_START_DEVICE:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
        case IRP_MN_REMOVE_DEVICE:
            // The hub is the bottom of its own stack; the Bus object owns it
            // and deletes it when it goes away.
            status = STATUS_SUCCESS;
            break;
        default:
            break;
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    ReapDeleted();
    return status;
}

// PDOs removed after they were reported missing whose function device has
// detached since: deleted now. (Windows defers the deletion of a device
// object that still has a device attached in the same way.)
void Bus::ReapDeleted() {
    std::vector<Child*> ready;
    {
        std::lock_guard lock(mu_);
        for (auto& c : children_)
            if (c->deletePending && !c->pdo->AttachedDevice) {
                c->deletePending = false;
                c->pdoGone = true;
                ready.push_back(c.get());
            }
    }
    for (Child* c : ready) IoDeleteDevice(c->pdo);
}

NTSTATUS Bus::PdoPnp(Child* child, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    const UCHAR minor = sp->MinorFunction;
    if (auto failure = InjectedFailure(child, IRP_MJ_PNP, minor)) {
        irp->IoStatus.Status = *failure;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return *failure;
    }
    NTSTATUS status = irp->IoStatus.Status;
    bool removeNow = false;
    auto setState = [&](PdoState to) {
        std::lock_guard lock(mu_);
        child->state = to;
    };
    switch (minor) {
        case IRP_MN_START_DEVICE: {
            setState(PdoState::Started);
            POWER_STATE d0;
            d0.DeviceState = PowerDeviceD0;
            PoSetPowerState(child->pdo, DevicePowerState, d0);
            status = STATUS_SUCCESS;
            break;
        }
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE: {
            std::lock_guard lock(mu_);
            child->beforeQuery = child->state;
            child->state = minor == IRP_MN_QUERY_STOP_DEVICE ? PdoState::StopPending : PdoState::RemovePending;
            status = STATUS_SUCCESS;
            break;
        }
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE: {
            // Also sent when the query was failed somewhere: then nothing changed.
            std::lock_guard lock(mu_);
            const PdoState pending = minor == IRP_MN_CANCEL_STOP_DEVICE ? PdoState::StopPending : PdoState::RemovePending;
            if (child->state == pending) child->state = child->beforeQuery;
            status = STATUS_SUCCESS;
            break;
        }
        case IRP_MN_STOP_DEVICE:
            setState(PdoState::Stopped);
            status = STATUS_SUCCESS;
            break;
        case IRP_MN_SURPRISE_REMOVAL:
            setState(PdoState::SurpriseRemoved);
            FlushHeld(child, USBD_STATUS_DEVICE_GONE, STATUS_NO_SUCH_DEVICE);
            FinishWaitWake(child, STATUS_NO_SUCH_DEVICE);
            status = STATUS_SUCCESS;
            break;
        case IRP_MN_REMOVE_DEVICE: {
            FlushHeld(child, USBD_STATUS_DEVICE_GONE, STATUS_NO_SUCH_DEVICE);
            FinishWaitWake(child, STATUS_NO_SUCH_DEVICE);
            POWER_STATE d3;
            d3.DeviceState = PowerDeviceD3;
            PoSetPowerState(child->pdo, DevicePowerState, d3);
            std::lock_guard lock(mu_);
            // The PDO lives on while its device is present (the device was
            // disabled, not unplugged): it can be started again.
            if (child->reportedMissing) {
                child->state = PdoState::Deleted;
                removeNow = true;
            } else {
                child->state = PdoState::Removed;
            }
            status = STATUS_SUCCESS;
            break;
        }
        case IRP_MN_QUERY_CAPABILITIES:
            status = QueryCapabilities(child, sp->Parameters.DeviceCapabilities.Capabilities, status);
            break;
        case IRP_MN_QUERY_DEVICE_RELATIONS:
            if (sp->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
                auto* rel = static_cast<PDEVICE_RELATIONS>(
                    ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kIdTag));
                if (!rel) {
                    status = STATUS_INSUFFICIENT_RESOURCES;
                    break;
                }
                ObReferenceObject(child->pdo);
                rel->Count = 1;
                rel->Objects[0] = child->pdo;
                irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(rel);
                status = STATUS_SUCCESS;
            }
            break;  // other relations: a USB device has none of its own
        case IRP_MN_QUERY_ID:
            status = QueryId(child, sp, irp);
            break;
        default:
            break;  // not handled: the status set by the sender stays
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    if (removeNow) {
        std::lock_guard lock(mu_);
        child->deletePending = true;
    }
    ReapDeleted();
    return status;
}

NTSTATUS Bus::QueryCapabilities(Child* child, PDEVICE_CAPABILITIES caps, NTSTATUS status) {
    if (!caps) return status;
    PdoCapabilities c;
    {
        std::lock_guard lock(mu_);
        c = child->caps;
    }
    for (int s = 0; s < PowerSystemMaximum; ++s) caps->DeviceState[s] = c.deviceState[s];
    caps->SystemWake = c.systemWake;
    caps->DeviceWake = c.deviceWake;
    caps->DeviceD1 = c.deviceD1;
    caps->DeviceD2 = c.deviceD2;
    caps->WakeFromD0 = c.WakeFrom(PowerDeviceD0);
    caps->WakeFromD1 = c.WakeFrom(PowerDeviceD1);
    caps->WakeFromD2 = c.WakeFrom(PowerDeviceD2);
    caps->WakeFromD3 = c.WakeFrom(PowerDeviceD3);
    caps->Removable = c.removable;
    caps->SurpriseRemovalOK = c.surpriseRemovalOk;
    caps->LockSupported = 0;
    caps->EjectSupported = 0;
    caps->DockDevice = 0;
    caps->UniqueID = 0;  // instance IDs are the hub's, not the device's serial number
    caps->Address = static_cast<ULONG>(child->port);
    caps->UINumber = static_cast<ULONG>(child->port);
    return STATUS_SUCCESS;
}

// Device ID USB\VID_v&PID_p; hardware IDs with and without &REV_r; the class
// compatible IDs (DevClass_ plus USB\COMPOSITE for a device whose interfaces
// are its functions); the instance ID of the instance path; the serial
// number when the device has one. Other ID types keep the sender's status.
NTSTATUS Bus::QueryId(Child* child, PIO_STACK_LOCATION sp, PIRP irp) {
    const unsigned vid = child->vendorId, pid = child->productId;
    std::vector<std::string> ids;
    switch (sp->Parameters.QueryId.IdType) {
        case BusQueryDeviceID:
            ids = {Format("USB\\VID_%04X&PID_%04X", vid, pid)};
            break;
        case BusQueryHardwareIDs:
            ids = {Format("USB\\VID_%04X&PID_%04X&REV_%04X", vid, pid, child->bcdDevice),
                   Format("USB\\VID_%04X&PID_%04X", vid, pid)};
            break;
        case BusQueryCompatibleIDs: {
            const bool iad = child->deviceClass == 0xEF && child->deviceSubClass == 0x02 && child->deviceProtocol == 0x01;
            const unsigned c = child->deviceClass, s = child->deviceSubClass, p = child->deviceProtocol;
            if (child->interfaceCount > 1 && (child->deviceClass == 0 || iad)) {
                ids = {Format("USB\\DevClass_%02X&SubClass_%02X&Prot_%02X", c, s, p),
                       Format("USB\\DevClass_%02X&SubClass_%02X", c, s), Format("USB\\DevClass_%02X", c),
                       "USB\\COMPOSITE"};
            } else {
                // A single-function device: its class, or its interface's when
                // the device descriptor defers to the interface.
                const bool own = child->deviceClass != 0;
                const unsigned ic = own ? c : child->firstInterfaceClass;
                const unsigned is = own ? s : child->firstInterfaceSubClass;
                const unsigned ip = own ? p : child->firstInterfaceProtocol;
                ids = {Format("USB\\Class_%02X&SubClass_%02X&Prot_%02X", ic, is, ip),
                       Format("USB\\Class_%02X&SubClass_%02X", ic, is), Format("USB\\Class_%02X", ic)};
            }
            break;
        }
        case BusQueryInstanceID: {
            const auto cut = child->instancePath.rfind('\\');
            ids = {cut == std::string::npos ? child->instancePath : child->instancePath.substr(cut + 1)};
            break;
        }
        case BusQueryDeviceSerialNumber:
            if (child->serial.empty()) return irp->IoStatus.Status;
            ids = {child->serial};
            break;
        default:
            return irp->IoStatus.Status;
    }
    PWCHAR text = WideStrings(ids);
    if (!text) return STATUS_INSUFFICIENT_RESOURCES;
    irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(text);
    return STATUS_SUCCESS;
}

}  // namespace hosted::usb
