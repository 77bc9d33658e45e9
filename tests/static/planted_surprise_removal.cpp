// Surprise removal that tears the device down; removal is where that belongs.
#include "tests/static/planted.h"

// IRQL: PASSIVE_LEVEL. Locks: none.
VOID TearDown(PDEVICE_OBJECT device) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    IoDeleteDevice(device);  // planted: surprise-removal
}

// IRQL: PASSIVE_LEVEL. Locks: none.
NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    PDEVICE_OBJECT lower = RECORD(device)->lower;
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
        case IRP_MN_SURPRISE_REMOVAL:
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoSkipCurrentIrpStackLocation(irp);
            (void)IofCallDriver(lower, irp);
            TearDown(device);
            return STATUS_SUCCESS;
        default:
            IoSkipCurrentIrpStackLocation(irp);
            return IofCallDriver(lower, irp);
    }
}

// IRQL: PASSIVE_LEVEL. Locks: none.
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    UNREFERENCED_PARAMETER(path);
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    return STATUS_SUCCESS;
}
