// A request left pending without IoMarkIrpPending on one of two paths.
#include "tests/static/planted.h"

PIRP gHeld;

// IRQL: PASSIVE_LEVEL. Locks: none.
NTSTATUS Hold(PIRP irp, BOOLEAN mark) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    NTSTATUS status = STATUS_SUCCESS;
    gHeld = irp;
    if (mark) {
        IoMarkIrpPending(irp);
        status = STATUS_PENDING;
    }
    if (status == STATUS_PENDING) {
        return status;
    }
    return STATUS_PENDING;  // planted: pending-unmarked
}
