// A cancel routine that unlinks the request before it releases the cancel
// spin lock.
#include "tests/static/planted.h"

// IRQL: DISPATCH_LEVEL. Locks: entered holding the cancel spin lock, which it
// releases.
VOID NTAPI Cancel(PDEVICE_OBJECT device, PIRP irp) {
    ASSERT_IRQL(DISPATCH_LEVEL);
    UNREFERENCED_PARAMETER(device);
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);  // planted: cancel-lock-first
    IoReleaseCancelSpinLock(irp->CancelIrql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
}

// IRQL: <= DISPATCH_LEVEL. Locks: none.
VOID Hold(PIRP irp) {
    ASSERT_IRQL_AT_MOST(DISPATCH_LEVEL);
    (void)IoSetCancelRoutine(irp, Cancel);
}
