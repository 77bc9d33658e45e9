// Three dispatch routines: one holds the remove lock while it uses the
// record, one gives the lock back but keeps the record by a reference to
// its device object (a wait removal must be able to end), and the other
// uses the record before it takes the lock.
#include "tests/static/planted.h"

#ifndef IoAcquireRemoveLock
// The kit's remove lock, for platform headers without it.
struct IO_REMOVE_LOCK {
    LONG count;
};
NTSTATUS IoAcquireRemoveLock(IO_REMOVE_LOCK* lock, PVOID tag);
VOID IoReleaseRemoveLock(IO_REMOVE_LOCK* lock, PVOID tag);
#endif

struct Guarded {
    IO_REMOVE_LOCK removeLock;
    ULONG reads;
};

// IRQL: PASSIVE_LEVEL. Locks: none.
NTSTATUS Complete(PIRP irp, NTSTATUS status) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// IRQL: PASSIVE_LEVEL. Locks: none.
NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT device, PIRP irp) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    Guarded* guarded = static_cast<Guarded*>(device->DeviceExtension);
    NTSTATUS status = IoAcquireRemoveLock(&guarded->removeLock, irp);
    if (!NT_SUCCESS(status)) {
        return Complete(irp, status);
    }
    guarded->reads++;
    IoReleaseRemoveLock(&guarded->removeLock, irp);
    return Complete(irp, STATUS_SUCCESS);
}

// IRQL: PASSIVE_LEVEL. Locks: none.
NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT device, PIRP irp) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    Guarded* guarded = static_cast<Guarded*>(device->DeviceExtension);
    guarded->reads = 0;  // planted: remove-lock
    NTSTATUS status = IoAcquireRemoveLock(&guarded->removeLock, irp);
    if (NT_SUCCESS(status)) {
        IoReleaseRemoveLock(&guarded->removeLock, irp);
    }
    return Complete(irp, status);
}

// IRQL: PASSIVE_LEVEL. Locks: none.
NTSTATUS NTAPI DispatchFlush(PDEVICE_OBJECT device, PIRP irp) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    Guarded* guarded = static_cast<Guarded*>(device->DeviceExtension);
    NTSTATUS status = IoAcquireRemoveLock(&guarded->removeLock, irp);
    if (!NT_SUCCESS(status)) {
        return Complete(irp, status);
    }
    ObReferenceObject(device);
    IoReleaseRemoveLock(&guarded->removeLock, irp);
    guarded->reads++;
    ObDereferenceObject(device);
    return Complete(irp, STATUS_SUCCESS);
}

// IRQL: PASSIVE_LEVEL. Locks: none.
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    UNREFERENCED_PARAMETER(path);
    driver->MajorFunction[IRP_MJ_READ] = DispatchRead;
    driver->MajorFunction[IRP_MJ_WRITE] = DispatchWrite;
    driver->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = DispatchFlush;
    return STATUS_SUCCESS;
}
