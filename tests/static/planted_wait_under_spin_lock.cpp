// A mutex taken under a spin lock.
#include "tests/static/planted.h"

// IRQL: PASSIVE_LEVEL. Locks: none held; takes readLock and configMutex.
VOID Reset(Record* record) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    KIRQL oldIrql;
    KeAcquireSpinLock(&record->readLock, &oldIrql);
    KeWaitForSingleObject(&record->configMutex,  // planted: wait-under-spin-lock
                          Executive, KernelMode, FALSE, nullptr);
    record->count = 0;
    KeReleaseMutex(&record->configMutex, FALSE);
    KeReleaseSpinLock(&record->readLock, oldIrql);
}
