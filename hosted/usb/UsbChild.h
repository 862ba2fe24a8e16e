// One PDO of the hosted bus and the device behind it. Shared by the bus's
// URB, plug-and-play and power code; guarded by the bus's lock unless noted.
#pragma once

#include <deque>
#include <string>

#include "UsbBus.h"

namespace hosted::usb {

struct Bus::Child {
    int port = 0;
    std::shared_ptr<BusDevice> device;  // set once; the device is thread-safe
    uint16_t address = 0;
    std::string instancePath;  // USB\VID_xxxx&PID_xxxx\<instance>
    PDEVICE_OBJECT pdo = nullptr;
    // The device instance's registry keys. A device that comes back into the
    // same port is the same instance for the PnP manager: its new PDO keeps
    // the instance path and these keys, so its driver finds its settings.
    std::string driverKey, deviceKey;
    bool plugged = true;
    // Left out of a BusRelations answer after it was unplugged: the PnP
    // manager now knows it is gone, so its REMOVE deletes the PDO.
    bool reportedMissing = false;
    PdoState state = PdoState::NotStarted;
    PdoState beforeQuery = PdoState::NotStarted;  // what a cancelled query-stop/-remove returns to
    // Removed after it was reported missing, while the function device was
    // still attached above it: deleted as soon as that device has detached.
    bool deletePending = false;
    bool pdoGone = false;  // IoDeleteDevice done
    PdoCapabilities caps;
    uint8_t configuration = 0;
    std::deque<uint64_t> handles;  // storage behind the opaque handles: [0] device, [1] default pipe
    PIRP waitWake = nullptr;       // held IRP_MN_WAIT_WAKE

    // Identity read from the device descriptor at enumeration.
    uint16_t vendorId = 0, productId = 0, bcdDevice = 0;
    uint8_t deviceClass = 0, deviceSubClass = 0, deviceProtocol = 0;
    uint8_t interfaceCount = 0;  // bNumInterfaces of its configuration
    uint8_t firstInterfaceClass = 0, firstInterfaceSubClass = 0, firstInterfaceProtocol = 0;
    std::string serial;  // from its serial-number string, "" if none

    // True while URBs reach the device: plugged and not removed.
    bool Reachable() const { return plugged && state != PdoState::Removed && state != PdoState::Deleted &&
                                    state != PdoState::SurpriseRemoved; }
};

}  // namespace hosted::usb
