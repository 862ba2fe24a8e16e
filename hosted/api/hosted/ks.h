// Kernel streaming control: the orders the documentation leaves open.
//
// For IRP_MN_CANCEL_STOP_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE,
// IRP_MN_STOP_DEVICE, IRP_MN_SURPRISE_REMOVAL and IRP_MN_REMOVE_DEVICE it is
// not documented whether the KSDEVICE_DISPATCH callback runs before the IRP
// is passed to the lower drivers or after they have handled it. Both are
// settable, so that a driver can be run both ways and no driver test depends
// on one of them. The default is CallbackFirst for each; a new Platform
// restores it.
#pragma once

#include <wdm.h>

namespace hosted {

struct Ks {
    enum class Order {
        CallbackFirst,  // the callback, then the IRP goes down
        ForwardFirst,   // the IRP goes down and the lower drivers finish with it, then the callback
    };
    // `pnpMinor`: one of the five minor codes above (others are ignored).
    static void SetOrder(UCHAR pnpMinor, Order order);
    static void SetAllOrders(Order order);
    static Order GetOrder(UCHAR pnpMinor);
};

}  // namespace hosted
