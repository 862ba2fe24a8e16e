// Completes an IRP the way a bus driver may: from its dispatch routine at
// PASSIVE_LEVEL, or from a DPC at DISPATCH_LEVEL. Test buses switch between
// the two so that every completion path of a driver above is run both ways.
#pragma once

#include <wdm.h>

namespace orvex::test {

inline void CompleteAt(PIRP irp, NTSTATUS status, bool atDispatch)
{
    irp->IoStatus.Status = status;
    KIRQL old = PASSIVE_LEVEL;
    if (atDispatch) KeRaiseIrql(DISPATCH_LEVEL, &old);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    if (atDispatch) KeLowerIrql(old);
}

}  // namespace orvex::test
