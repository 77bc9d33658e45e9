// A stop completed here instead of passed down; a refused query-stop is
// completed here, as it should be.
#include "tests/static/planted.h"

// IRQL: PASSIVE_LEVEL. Locks: none.
NTSTATUS Complete(PIRP irp, NTSTATUS status) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// IRQL: PASSIVE_LEVEL. Locks: none.
NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    PDEVICE_OBJECT lower = RECORD(device)->lower;
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
        case IRP_MN_QUERY_STOP_DEVICE:
            if (RECORD(device)->count != 0) {
                return Complete(irp, STATUS_UNSUCCESSFUL);
            }
            irp->IoStatus.Status = STATUS_SUCCESS;
            break;
        case IRP_MN_STOP_DEVICE:
            return Complete(irp, STATUS_SUCCESS);  // planted: pnp-pass-down
        default:
            break;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IofCallDriver(lower, irp);
}

// IRQL: PASSIVE_LEVEL. Locks: none.
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    UNREFERENCED_PARAMETER(path);
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    return STATUS_SUCCESS;
}
