// A routine that needs the read lock, called without it.
#include "tests/static/planted.h"

// IRQL: <= DISPATCH_LEVEL. Locks: readLock held.
VOID Count(Record* record) {
    record->count++;
}

// IRQL: <= DISPATCH_LEVEL. Locks: none held; takes readLock.
VOID Receive(Record* record) {
    KIRQL oldIrql;
    KeAcquireSpinLock(&record->readLock, &oldIrql);
    Count(record);
    KeReleaseSpinLock(&record->readLock, oldIrql);
    Count(record);  // planted: lock-contract
}
