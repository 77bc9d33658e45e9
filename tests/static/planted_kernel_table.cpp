// A kernel routine the checker's table does not know.
#include "tests/static/planted.h"

extern "C" VOID KeStallExecutionProcessor(ULONG microseconds);

// IRQL: <= DISPATCH_LEVEL. Locks: none.
VOID Settle() {
    ASSERT_IRQL_AT_MOST(DISPATCH_LEVEL);
    KeStallExecutionProcessor(50);  // planted: kernel-table
}
