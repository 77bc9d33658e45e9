// A routine whose IRQL assertion says less than its IRQL line: the line
// allows DISPATCH_LEVEL, the assertion only PASSIVE_LEVEL, so a run from a
// completion routine would stop although the line promises it works there.
#include "tests/static/planted.h"

// Counts a byte. IRQL: <= DISPATCH_LEVEL. Locks: takes readLock.
VOID Count(Record* record) {
    ASSERT_IRQL(PASSIVE_LEVEL);  // planted: irql-assert
    KIRQL oldIrql;
    KeAcquireSpinLock(&record->readLock, &oldIrql);
    record->count++;
    KeReleaseSpinLock(&record->readLock, oldIrql);
}

// Clears the count. IRQL: PASSIVE_LEVEL. Locks: takes readLock.
VOID Reset(Record* record) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    KIRQL oldIrql;
    KeAcquireSpinLock(&record->readLock, &oldIrql);
    record->count = 0;
    KeReleaseSpinLock(&record->readLock, oldIrql);
}
