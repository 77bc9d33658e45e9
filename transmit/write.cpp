// write.cpp - IRP_MJ_WRITE: the current write and the write queue, the
// write total time-out, cancellation, the flush of the write side, and the
// identification check that arms the receive-side capture.
//
// Everything here is guarded by writeLock. writeQueuedBytes always equals
// the bytes still to send of every write that is queued or current, plus
// those of a write whose cancellation is under way: each path that ends or
// drops a write removes exactly its unsent bytes, so the count never
// underflows, whatever order cancellation, completion and a flush meet in.
#include "transmit/transmit.h"

namespace {

// The identification query: "AT+CGMI" and a carriage return.
constexpr UCHAR kProbeCommand[8] = {0x41, 0x54, 0x2B, 0x43, 0x47, 0x4D, 0x49, 0x0D};

// TRUE for a flush request waiting in the write queue.
BOOLEAN IsFlushRequest(PIRP irp) {
    return IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_FLUSH_BUFFERS;
}

// Bytes a request in the write queue has to send: a flush has none.
ULONG WriteLengthOf(PIRP irp) {
    return IsFlushRequest(irp) ? 0 : IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length;
}

// Makes a request the current write (or clears the slot), with a new write
// number so that a chunk still in flight for an earlier write is never
// credited to it. IRQL: DISPATCH_LEVEL. Locks: writeLock held.
VOID MakeCurrentWrite(PortExtension* extension, PIRP irp)
    _Requires_lock_held_(extension->writeLock) {
    ASSERT_IRQL(DISPATCH_LEVEL);
    extension->currentWrite = irp;
    if (irp != nullptr) {
        InitWriteProgress(extension, irp);
        extension->writeSequence++;
        extension->bulkOutIdleCompletions = 0;
    } else {
        extension->writeProgress.request = nullptr;
    }
}

// Arms the write timer for the current write when its time-out is not zero.
// IRQL: DISPATCH_LEVEL. Locks: writeLock held.
VOID ArmWriteTimer(PortExtension* extension, ULONG length) {
    ASSERT_IRQL(DISPATCH_LEVEL);
    LONGLONG due = ComputeWriteTimeout(extension, length);
    if (due != 0) {
        ArmPathTimer(&extension->writeTimer, &extension->writeTimerDpc, &extension->writeTimerFlags,
                     due);
    }
}

}  // namespace

// TRUE when the data do not begin with the identification query. A write
// shorter than the query cannot hold it and never matches; nothing past
// its length is read. IRQL: any. Locks: none.
BOOLEAN CheckProbeCommand(const UCHAR* data, ULONG length) {
    if (length < sizeof(kProbeCommand)) {
        return TRUE;
    }
    for (ULONG i = 0; i < sizeof(kProbeCommand); ++i) {
        if (data[i] != kProbeCommand[i]) {
            return TRUE;
        }
    }
    return FALSE;
}

// Relative due time of the write total time-out for a write of the given
// length: multiplier x length + constant milliseconds, formed in 64 bits,
// 0 when that is 0 (no timer). A total too long to represent saturates.
// IRQL: <= DISPATCH_LEVEL. Locks: writeLock held (the settings are read as
// single aligned loads without controlLock).
LONGLONG ComputeWriteTimeout(PortExtension* extension, ULONG length) {
    ASSERT_IRQL_AT_MOST(DISPATCH_LEVEL);
    const ULONG multiplier = ReadOnce(&extension->timeouts.WriteTotalTimeoutMultiplier);
    const ULONG constant = ReadOnce(&extension->timeouts.WriteTotalTimeoutConstant);
    const ULONGLONG total = static_cast<ULONGLONG>(multiplier) * length + constant;
    return total == 0 ? 0 : MillisecondsToDueTime(total);
}

// Fills writeProgress from a write request. IRQL: DISPATCH_LEVEL.
// Locks: writeLock held.
VOID InitWriteProgress(PortExtension* extension, PIRP irp) {
    ASSERT_IRQL(DISPATCH_LEVEL);
    extension->writeProgress.request = irp;
    extension->writeProgress.buffer = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
    extension->writeProgress.length = WriteLengthOf(irp);
    extension->writeProgress.done = 0;
}

// The IRP_MJ_WRITE handler. A write becomes current (time-out armed, first
// chunk started whatever the transmit holds say) or waits in the queue; its
// length joins writeQueuedBytes either way.
// IRQL: PASSIVE_LEVEL. Locks: none held; takes writeLock.
NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT deviceObject, PIRP irp) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    PortExtension* extension = GetPortExtension(deviceObject);
    if (!NT_SUCCESS(AcquireRequestLock(deviceObject, irp))) {
        return RefuseRequest(irp, STATUS_DELETE_PENDING);
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    InterlockedExchange(AsInterlockedLong(&extension->errorFlags), 0);

    if (!ReadOnce(&extension->portOpen)) {
        return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    if (!IsDeviceReady(deviceObject)) {
        return CompleteRequest(irp, STATUS_DELETE_PENDING, 0);
    }
    const ULONG length = WriteLengthOf(irp);
    if (length == 0) {
        return CompleteRequest(irp, STATUS_SUCCESS, 0);
    }
    const UCHAR* data = static_cast<const UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    if (data == nullptr) {
        return CompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
    }
    if (ReadOnce(&DriverGlobals.probePending)) {
        DriverGlobals.probePending = CheckProbeCommand(data, length);
    }

    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->writeLock, &oldIrql);
    if (extension->currentWrite != nullptr) {
        NTSTATUS queued = QueuePendingRequest(&extension->writeQueue, irp, CancelQueuedWrite);
        if (queued == STATUS_PENDING) {
            extension->writeQueuedBytes += length;
        }
        KeReleaseSpinLock(&extension->writeLock, oldIrql);
        if (queued != STATUS_PENDING) {
            return CompleteRequest(irp, queued, 0);
        }
        return queued;
    }

    MakeCurrentWrite(extension, irp);
    (void)IoSetCancelRoutine(irp, CancelCurrentWrite);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        MakeCurrentWrite(extension, nullptr);
        KeReleaseSpinLock(&extension->writeLock, oldIrql);
        return CompleteRequest(irp, STATUS_CANCELLED, 0);
    }
    extension->writeQueuedBytes += length;
    IoMarkIrpPending(irp);
    BOOLEAN cancelling = irp->Cancel;
    if (!cancelling) {
        ArmWriteTimer(extension, length);
    }
    KeReleaseSpinLock(&extension->writeLock, oldIrql);
    if (!cancelling) {
        // Also when a chunk holds the slot: the start is then remembered and
        // made when that chunk gives the slot up.
        (void)StartBulkOutTransfer(extension);
    }
    return STATUS_PENDING;
}

// Takes the next queued write that can become current, completing on the
// way (through the caller's list) every one that is already cancelled and
// every flush request (all writes queued before it have ended), and arms
// the time-out of the one it returns: a queued write's time-out counts from
// its promotion. The caller makes the result current.
// IRQL: DISPATCH_LEVEL. Locks: writeLock held.
PIRP StartNextWrite(PortExtension* extension, PLIST_ENTRY completionList) {
    ASSERT_IRQL(DISPATCH_LEVEL);
    for (;;) {
        PIRP irp = TakeNextRequest(&extension->writeQueue);
        if (irp == nullptr) {
            return nullptr;
        }
        if (IsFlushRequest(irp)) {
            irp->IoStatus.Status = STATUS_SUCCESS;
            irp->IoStatus.Information = 0;
            InsertTailList(completionList, &irp->Tail.Overlay.ListEntry);
            continue;
        }
        (void)IoSetCancelRoutine(irp, CancelCurrentWrite);
        if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
            extension->writeQueuedBytes -= WriteLengthOf(irp);
            irp->IoStatus.Status = STATUS_CANCELLED;
            irp->IoStatus.Information = 0;
            InsertTailList(completionList, &irp->Tail.Overlay.ListEntry);
            continue;
        }
        ArmWriteTimer(extension, WriteLengthOf(irp));
        return irp;
    }
}

// IRP_MJ_FLUSH_BUFFERS (FlushFileBuffers): ends when every write queued
// before it has ended, so an application knows that what it wrote has gone
// out. With no write current or queued it succeeds at once; otherwise it
// waits in the write queue, where it ends as writes do when the writes are
// purged, the port is cleaned up or its cancellation comes. The port's
// open and readiness are checked as for a write.
// IRQL: PASSIVE_LEVEL. Locks: none held; takes writeLock.
NTSTATUS NTAPI DispatchFlushBuffers(PDEVICE_OBJECT deviceObject, PIRP irp) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    PortExtension* extension = GetPortExtension(deviceObject);
    if (!NT_SUCCESS(AcquireRequestLock(deviceObject, irp))) {
        return RefuseRequest(irp, STATUS_DELETE_PENDING);
    }
    if (!ReadOnce(&extension->portOpen)) {
        return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    if (!IsDeviceReady(deviceObject)) {
        return CompleteRequest(irp, STATUS_DELETE_PENDING, 0);
    }
    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->writeLock, &oldIrql);
    if (extension->currentWrite == nullptr) {
        KeReleaseSpinLock(&extension->writeLock, oldIrql);
        return CompleteRequest(irp, STATUS_SUCCESS, 0);
    }
    const NTSTATUS queued = QueuePendingRequest(&extension->writeQueue, irp, CancelQueuedWrite);
    KeReleaseSpinLock(&extension->writeLock, oldIrql);
    if (queued != STATUS_PENDING) {
        return CompleteRequest(irp, queued, 0);
    }
    return queued;
}

// Ends the current write (its cancel routine already taken back, or called
// from it) with the status and the bytes confirmed so far, drops its unsent
// bytes from writeQueuedBytes and promotes the next write. A promoted write
// is started (unless a transmit hold is in force, whose end starts it): when
// the bulk-out slot is idle nothing else would send it, and when a chunk
// holds the slot the start is remembered for that chunk's completion.
// IRQL: DISPATCH_LEVEL. Locks: entered with writeLock held (acquired at
// oldIrql); releases it.
VOID CompleteCurrentWrite(PortExtension* extension, NTSTATUS status, KIRQL oldIrql) {
    ASSERT_IRQL(DISPATCH_LEVEL);
    CancelPathTimer(&extension->writeTimer, &extension->writeTimerFlags);
    PIRP old = extension->currentWrite;
    extension->writeQueuedBytes -= extension->writeProgress.length - extension->writeProgress.done;
    LIST_ENTRY completionList;
    InitializeListHead(&completionList);
    PIRP next = IsListEmpty(&extension->writeQueue) ? nullptr
                                                    : StartNextWrite(extension, &completionList);
    MakeCurrentWrite(extension, next);
    KeReleaseSpinLock(&extension->writeLock, oldIrql);

    // The promoted write holds the remove lock: the record stays.
    if (next != nullptr && ReadOnce(&extension->portOpen) &&
        ReadOnce(&extension->txHoldFlags) == 0) {
        (void)StartBulkOutTransfer(extension);
    }
    old->IoStatus.Status = status;
    FinishRequest(old);
    CompleteRequestList(&completionList);
}

// DPC of the write timer: times the current write out, unless this run
// belongs to an expiry whose cancel came too late.
// IRQL: DISPATCH_LEVEL. Locks: takes writeLock.
VOID NTAPI WriteTimeoutDpc(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {
    ASSERT_IRQL(DISPATCH_LEVEL);
    UNREFERENCED_PARAMETER(dpc);
    UNREFERENCED_PARAMETER(argument1);
    UNREFERENCED_PARAMETER(argument2);
    PortExtension* extension = static_cast<PortExtension*>(context);
    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->writeLock, &oldIrql);
    if (!ConsumePathTimerRun(&extension->writeTimer, &extension->writeTimerDpc,
                             &extension->writeTimerFlags)) {
        KeReleaseSpinLock(&extension->writeLock, oldIrql);
        return;
    }
    PIRP irp = extension->currentWrite;
    if (irp != nullptr && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        CompleteCurrentWrite(extension, STATUS_TIMEOUT, oldIrql);
        return;
    }
    KeReleaseSpinLock(&extension->writeLock, oldIrql);
}

// Cancel routine of a queued write. Its length leaves writeQueuedBytes here,
// also when a promotion or a flush has already unlinked it (they leave the
// bytes of a request whose cancellation is under way to this routine).
// IRQL: DISPATCH_LEVEL. Locks: entered holding the cancel spin lock, which it
// releases first; takes writeLock.
VOID NTAPI CancelQueuedWrite(PDEVICE_OBJECT deviceObject, PIRP irp) {
    ASSERT_IRQL(DISPATCH_LEVEL);
    IoReleaseCancelSpinLock(irp->CancelIrql);
    PortExtension* extension = GetPortExtension(deviceObject);
    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->writeLock, &oldIrql);
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    InitializeListHead(&irp->Tail.Overlay.ListEntry);
    extension->writeQueuedBytes -= WriteLengthOf(irp);
    KeReleaseSpinLock(&extension->writeLock, oldIrql);
    CompleteRequest(irp, STATUS_CANCELLED, 0);
}

// Cancel routine of the current write: ends it with the bytes confirmed
// before the cancel and promotes the next. One that a flush detached
// meanwhile is completed alone, its unsent bytes leaving the count.
// IRQL: DISPATCH_LEVEL. Locks: entered holding the cancel spin lock, which it
// releases first; takes writeLock.
VOID NTAPI CancelCurrentWrite(PDEVICE_OBJECT deviceObject, PIRP irp) {
    ASSERT_IRQL(DISPATCH_LEVEL);
    IoReleaseCancelSpinLock(irp->CancelIrql);
    PortExtension* extension = GetPortExtension(deviceObject);
    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->writeLock, &oldIrql);
    if (extension->currentWrite == irp) {
        CompleteCurrentWrite(extension, STATUS_CANCELLED, oldIrql);
        return;
    }
    extension->writeQueuedBytes -=
        WriteLengthOf(irp) - static_cast<ULONG>(irp->IoStatus.Information);
    KeReleaseSpinLock(&extension->writeLock, oldIrql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    FinishRequest(irp);
}

// Ends every write with STATUS_CANCELLED: the current one (keeping the count
// it had confirmed) when its cancel routine can be taken back, then the
// queued ones in order, after cancelling the write timer. A write whose
// cancellation is under way is detached and left, with its unsent bytes, to
// its cancel routine; everything else leaves writeQueuedBytes, which is then
// zero unless such a cancellation is still running.
// IRQL: <= DISPATCH_LEVEL. Locks: none held; takes writeLock.
VOID FlushWrites(PortExtension* extension) {
    ASSERT_IRQL_AT_MOST(DISPATCH_LEVEL);
    LIST_ENTRY completionList;
    InitializeListHead(&completionList);
    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->writeLock, &oldIrql);
    CancelPathTimer(&extension->writeTimer, &extension->writeTimerFlags);
    PIRP current = extension->currentWrite;
    if (current != nullptr && IoSetCancelRoutine(current, nullptr) != nullptr) {
        extension->writeQueuedBytes -=
            extension->writeProgress.length - extension->writeProgress.done;
        current->IoStatus.Status = STATUS_CANCELLED;
        InsertTailList(&completionList, &current->Tail.Overlay.ListEntry);
    }
    PIRP queued;
    while ((queued = TakeNextRequest(&extension->writeQueue)) != nullptr) {
        extension->writeQueuedBytes -= WriteLengthOf(queued);
        queued->IoStatus.Status = STATUS_CANCELLED;
        queued->IoStatus.Information = 0;
        InsertTailList(&completionList, &queued->Tail.Overlay.ListEntry);
    }
    MakeCurrentWrite(extension, nullptr);
    KeReleaseSpinLock(&extension->writeLock, oldIrql);
    CompleteRequestList(&completionList);
}
