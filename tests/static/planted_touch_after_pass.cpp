// The status read from a request that has been passed down; the wait-and-read
// of a request given back by its completion routine is fine.
#include "tests/static/planted.h"

// IRQL: <= DISPATCH_LEVEL. Locks: none.
NTSTATUS NTAPI GiveBack(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    ASSERT_IRQL_AT_MOST(DISPATCH_LEVEL);
    UNREFERENCED_PARAMETER(device);
    UNREFERENCED_PARAMETER(irp);
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// IRQL: PASSIVE_LEVEL. Locks: none.
NTSTATUS SendAndWait(Record* record, PIRP irp) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, GiveBack, &record->done, TRUE, TRUE, TRUE);
    if (IofCallDriver(record->lower, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&record->done, Executive, KernelMode, FALSE, nullptr);
    }
    return irp->IoStatus.Status;
}

// IRQL: PASSIVE_LEVEL. Locks: none.
NTSTATUS Forward(Record* record, PIRP irp) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    IoSkipCurrentIrpStackLocation(irp);
    (void)IofCallDriver(record->lower, irp);
    return irp->IoStatus.Status;  // planted: touch-after-pass
}
