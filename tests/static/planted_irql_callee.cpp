// A completion routine, which may run at DISPATCH_LEVEL, calling a routine
// that says it runs at PASSIVE_LEVEL.
#include "tests/static/planted.h"

// IRQL: PASSIVE_LEVEL. Locks: takes configMutex.
VOID Reconfigure(Record* record) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    KeWaitForSingleObject(&record->configMutex, Executive, KernelMode, FALSE, nullptr);
    KeReleaseMutex(&record->configMutex, FALSE);
}

// IRQL: <= DISPATCH_LEVEL. Locks: none.
NTSTATUS NTAPI Done(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    ASSERT_IRQL_AT_MOST(DISPATCH_LEVEL);
    UNREFERENCED_PARAMETER(device);
    UNREFERENCED_PARAMETER(irp);
    Reconfigure(static_cast<Record*>(context));  // planted: irql-callee
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// IRQL: PASSIVE_LEVEL. Locks: none.
VOID Send(PDEVICE_OBJECT device, PIRP irp) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    Record* record = RECORD(device);
    IoSetCompletionRoutine(irp, Done, record, TRUE, TRUE, TRUE);
    (void)IofCallDriver(record->lower, irp);
}
