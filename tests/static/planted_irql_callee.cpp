// A completion routine, which may run at DISPATCH_LEVEL, calling a routine
// that says it runs at PASSIVE_LEVEL.
#include "tests/static/planted.h"

// IRQL: PASSIVE_LEVEL. Locks: takes configMutex.
VOID Reconfigure(Record* record) {
    KeWaitForSingleObject(&record->configMutex, Executive, KernelMode, FALSE, nullptr);
    KeReleaseMutex(&record->configMutex, FALSE);
}

// IRQL: <= DISPATCH_LEVEL. Locks: none.
NTSTATUS NTAPI Done(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    UNREFERENCED_PARAMETER(device);
    UNREFERENCED_PARAMETER(irp);
    Reconfigure(static_cast<Record*>(context));  // planted: irql-callee
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// IRQL: PASSIVE_LEVEL. Locks: none.
VOID Send(PDEVICE_OBJECT device, PIRP irp) {
    Record* record = RECORD(device);
    IoSetCompletionRoutine(irp, Done, record, TRUE, TRUE, TRUE);
    (void)IofCallDriver(record->lower, irp);
}
