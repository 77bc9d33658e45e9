// The lock analysis's planted fault: a counter guarded by the read lock,
// updated under the write lock. clang's thread-safety analysis must report
// the update; built with -DCORRECT (the update under the read lock) it must
// report nothing.
#include "platform/platform.h"

struct Record {
    KSPIN_LOCK readLock;
    KSPIN_LOCK writeLock;
    // bytes counted; readLock
    ULONG count _Guarded_by_(readLock);
};

// IRQL: <= DISPATCH_LEVEL. Locks: none held; takes one of the spin locks.
VOID Count(Record* record) {
    KIRQL oldIrql;
#ifdef CORRECT
    KeAcquireSpinLock(&record->readLock, &oldIrql);
    record->count++;
    KeReleaseSpinLock(&record->readLock, oldIrql);
#else
    KeAcquireSpinLock(&record->writeLock, &oldIrql);
    record->count++;
    KeReleaseSpinLock(&record->writeLock, oldIrql);
#endif
}

// IRQL: <= DISPATCH_LEVEL. Locks: none held; takes readLock.
ULONG ReadCount(Record* record) {
    KIRQL oldIrql;
    KeAcquireSpinLock(&record->readLock, &oldIrql);
    const ULONG count = record->count;
    KeReleaseSpinLock(&record->readLock, oldIrql);
    return count;
}
