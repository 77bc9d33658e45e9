// A cancel routine that states no IRQL.
#include "tests/static/planted.h"

// Ends the request.
VOID NTAPI Cancel(PDEVICE_OBJECT device, PIRP irp) {  // planted: no-contract
    UNREFERENCED_PARAMETER(device);
    IoReleaseCancelSpinLock(irp->CancelIrql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
}

// IRQL: <= DISPATCH_LEVEL. Locks: none.
VOID Hold(PIRP irp) {
    ASSERT_IRQL_AT_MOST(DISPATCH_LEVEL);
    (void)IoSetCancelRoutine(irp, Cancel);
}
