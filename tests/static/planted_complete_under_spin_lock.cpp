// A request completed while the read lock is held.
#include "tests/static/planted.h"

// IRQL: <= DISPATCH_LEVEL. Locks: none held; takes readLock.
VOID Finish(Record* record, PIRP irp) {
    ASSERT_IRQL_AT_MOST(DISPATCH_LEVEL);
    KIRQL oldIrql;
    KeAcquireSpinLock(&record->readLock, &oldIrql);
    record->count = 0;
    irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(irp, IO_NO_INCREMENT);  // planted: complete-under-spin-lock
    KeReleaseSpinLock(&record->readLock, oldIrql);
}
