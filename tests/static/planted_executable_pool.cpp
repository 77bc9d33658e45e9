// A buffer allocated from executable non-paged pool.
#include "tests/static/planted.h"

// IRQL: <= DISPATCH_LEVEL. Locks: none.
PUCHAR AllocateBuffer(ULONG size) {
    ASSERT_IRQL_AT_MOST(DISPATCH_LEVEL);
    return static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, size, 'tslP'));  // planted: executable-pool
}
