// The write lock taken under the read lock.
#include "tests/static/planted.h"

// IRQL: <= DISPATCH_LEVEL. Locks: none held; takes readLock, then writeLock.
VOID Move(Record* record) {
    ASSERT_IRQL_AT_MOST(DISPATCH_LEVEL);
    KIRQL readIrql;
    KIRQL writeIrql;
    KeAcquireSpinLock(&record->readLock, &readIrql);
    KeAcquireSpinLock(&record->writeLock, &writeIrql);  // planted: two-spin-locks
    record->count = 0;
    KeReleaseSpinLock(&record->writeLock, writeIrql);
    KeReleaseSpinLock(&record->readLock, readIrql);
}
