// A routine that needs the read lock, called without it.
#include "tests/static/planted.h"

// IRQL: <= DISPATCH_LEVEL. Locks: readLock held.
VOID Count(Record* record) {
    ASSERT_IRQL_AT_MOST(DISPATCH_LEVEL);
    record->count++;
}

// IRQL: <= DISPATCH_LEVEL. Locks: none held; takes readLock.
VOID Receive(Record* record) {
    ASSERT_IRQL_AT_MOST(DISPATCH_LEVEL);
    KIRQL oldIrql;
    KeAcquireSpinLock(&record->readLock, &oldIrql);
    Count(record);
    KeReleaseSpinLock(&record->readLock, oldIrql);
    Count(record);  // planted: lock-contract
}
