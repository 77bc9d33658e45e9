// read.cpp - IRP_MJ_READ: the current read and the read queue, the delivery
// pass that fills reads from the receive ring, the interval and total
// time-outs, cancellation, and the flush and purge of the read side.
//
// Everything here is guarded by readLock. Only the current read carries
// CancelCurrentRead; queued reads carry CancelQueuedRead. A path ends a
// current read only after taking its cancel routine back; when that fails a
// cancellation owns the read and its cancel routine ends it. Requests are
// completed after readLock is released, from a local completion list.
//
// The time-out settings are read as three single aligned loads without
// controlLock (which may not be taken under readLock): a read sees each
// value either before or after a concurrent IOCTL_SERIAL_SET_TIMEOUTS.
#include "receive/receive.h"

namespace {

// Makes a request the current read, or clears the slot when it is null.
// IRQL: DISPATCH_LEVEL. Locks: readLock held.
VOID MakeCurrentRead(PortExtension* extension, PIRP irp) _Requires_lock_held_(extension->readLock) {
    ASSERT_IRQL(DISPATCH_LEVEL);
    extension->currentRead = irp;
    extension->readProgress.request = irp;
    if (irp != nullptr) {
        extension->readProgress.buffer = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
        extension->readProgress.length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
        extension->readProgress.done = 0;
    }
}

// Moves up to count bytes from the ring to the current read's buffer, offers
// them to the identification capture, and updates the read's progress and
// information. Returns the bytes moved.
// IRQL: DISPATCH_LEVEL. Locks: readLock held.
ULONG FillCurrentRead(PortExtension* extension, ULONG count)
    _Requires_lock_held_(extension->readLock) {
    ASSERT_IRQL(DISPATCH_LEVEL);
    TransferProgress& progress = extension->readProgress;
    PUCHAR at = progress.buffer + progress.done;
    ULONG moved = CopyFromReceiveRing(extension, at, count);
    CaptureIdentificationBytes(extension, at, moved);
    progress.done += moved;
    progress.request->IoStatus.Information = progress.done;
    return moved;
}

// Arms the read timers whose due times are not zero.
// IRQL: DISPATCH_LEVEL. Locks: readLock held.
VOID ArmReadTimers(PortExtension* extension, LONGLONG intervalDue, LONGLONG totalDue) {
    ASSERT_IRQL(DISPATCH_LEVEL);
    if (intervalDue != 0) {
        ArmPathTimer(&extension->readIntervalTimer, &extension->readIntervalTimerDpc,
                     &extension->readIntervalTimerFlags, intervalDue);
    }
    if (totalDue != 0) {
        ArmPathTimer(&extension->readTotalTimer, &extension->readTotalTimerDpc,
                     &extension->readTotalTimerFlags, totalDue);
    }
}

// Due time of a millisecond value; 0 (no timer) for 0 ms.
LONGLONG DueTimeOrNone(ULONGLONG milliseconds) {
    return milliseconds == 0 ? 0 : MillisecondsToDueTime(milliseconds);
}

// Whether the ring holds bytes. IRQL: DISPATCH_LEVEL. Locks: readLock held.
BOOLEAN RingHasData(PortExtension* extension) _Requires_lock_held_(extension->readLock) {
    ASSERT_IRQL(DISPATCH_LEVEL);
    return extension->rxRingCount != 0;
}

}  // namespace

// The IRP_MJ_READ handler. A read the ring can fill completes at once;
// otherwise it takes what the ring holds and becomes the current read with
// its time-outs armed, or waits in the queue behind the current read. Every
// read made current restarts a paused bulk-in loop.
// IRQL: PASSIVE_LEVEL. Locks: none held; takes readLock.
NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT deviceObject, PIRP irp) {
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
    ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
    if (length == 0) {
        return CompleteRequest(irp, STATUS_SUCCESS, 0);
    }
    if (irp->AssociatedIrp.SystemBuffer == nullptr) {
        return CompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
    }

    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->readLock, &oldIrql);
    if (extension->currentRead != nullptr) {
        NTSTATUS queued = QueuePendingRequest(&extension->readQueue, irp, CancelQueuedRead);
        KeReleaseSpinLock(&extension->readLock, oldIrql);
        if (queued != STATUS_PENDING) {
            return CompleteRequest(irp, queued, 0);
        }
        return queued;
    }

    MakeCurrentRead(extension, irp);
    NTSTATUS status;
    if (extension->rxRingCount >= length) {
        (void)FillCurrentRead(extension, length);
        MakeCurrentRead(extension, nullptr);
        status = STATUS_SUCCESS;
    } else {
        const ULONG held = extension->rxRingCount;
        ULONG taken = held != 0 ? FillCurrentRead(extension, held) : 0;
        (void)IoSetCancelRoutine(irp, CancelCurrentRead);
        LONGLONG intervalDue = 0;
        LONGLONG totalDue = 0;
        BOOLEAN endNow = irp->Cancel;
        NTSTATUS endStatus = STATUS_CANCELLED;
        if (!endNow &&
            ComputeReadTimeouts(extension, length, taken == 0, &intervalDue, &totalDue)) {
            endNow = TRUE;
            endStatus = STATUS_SUCCESS;
        }
        if (endNow && IoSetCancelRoutine(irp, nullptr) != nullptr) {
            MakeCurrentRead(extension, nullptr);
            status = endStatus;
        } else {
            // Pending: it waits for bytes, or a cancellation under way ends it.
            if (!endNow) {
                ArmReadTimers(extension, intervalDue, totalDue);
            }
            IoMarkIrpPending(irp);
            status = STATUS_PENDING;
        }
    }
    KeReleaseSpinLock(&extension->readLock, oldIrql);

    // Also when a transfer holds the slot: the start is then remembered and
    // made when that transfer gives the slot up.
    (void)StartBulkInTransfer(extension);
    if (status != STATUS_PENDING) {
        irp->IoStatus.Status = status;
        FinishRequest(irp);
    }
    return status;
}

// The read time-out rules. Returns TRUE when the read is to return at once
// with what it has; otherwise the interval and total due times (relative,
// 100 ns units; 0 when that timer is not armed). first is TRUE while no byte
// has been placed into the read. The interval timer never runs before the
// first byte; once a byte is placed, a total due time comes only with an
// interval of 0.
// IRQL: <= DISPATCH_LEVEL. Locks: readLock held (the settings are read
// without controlLock, see the file comment).
BOOLEAN ComputeReadTimeouts(PortExtension* extension, ULONG length, BOOLEAN first,
                            LONGLONG* intervalDue, LONGLONG* totalDue) {
    ASSERT_IRQL_AT_MOST(DISPATCH_LEVEL);
    const ULONG interval = ReadOnce(&extension->timeouts.ReadIntervalTimeout);
    const ULONG multiplier = ReadOnce(&extension->timeouts.ReadTotalTimeoutMultiplier);
    const ULONG constant = ReadOnce(&extension->timeouts.ReadTotalTimeoutConstant);
    const ULONGLONG total = static_cast<ULONGLONG>(multiplier) * length + constant;
    *intervalDue = 0;
    *totalDue = 0;

    if (interval == MAXULONG) {
        if (multiplier == MAXULONG) {
            if (constant == 0 || !first) {
                return TRUE;
            }
            *totalDue = DueTimeOrNone(constant);
            return FALSE;
        }
        if (multiplier == 0 && constant == 0) {
            return TRUE;
        }
        if (first) {
            *totalDue = DueTimeOrNone(total);
        }
        return FALSE;
    }
    if (interval != 0 && !first) {
        *intervalDue = DueTimeOrNone(interval);
        return FALSE;
    }
    *totalDue = DueTimeOrNone(total);
    return FALSE;
}

// Takes the next read of the queue that can become current, completing on
// the way (through the caller's list) every one that is cancelled or that
// returns at once from an empty ring, and arms the time-outs of the one it
// returns. Returns null when the queue is empty. The caller makes the result
// current; the ring is not read here.
// IRQL: DISPATCH_LEVEL. Locks: readLock held.
PIRP StartNextRead(PortExtension* extension, BOOLEAN ringHasData, PLIST_ENTRY completionList) {
    ASSERT_IRQL(DISPATCH_LEVEL);
    for (;;) {
        PIRP irp = TakeNextRequest(&extension->readQueue);
        if (irp == nullptr) {
            return nullptr;
        }
        ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
        LONGLONG intervalDue;
        LONGLONG totalDue;
        BOOLEAN atOnce = ComputeReadTimeouts(extension, length, TRUE, &intervalDue, &totalDue);
        if (atOnce && !ringHasData) {
            irp->IoStatus.Status = STATUS_SUCCESS;
            InsertTailList(completionList, &irp->Tail.Overlay.ListEntry);
            continue;
        }
        (void)IoSetCancelRoutine(irp, CancelCurrentRead);
        if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
            irp->IoStatus.Status = STATUS_CANCELLED;
            InsertTailList(completionList, &irp->Tail.Overlay.ListEntry);
            continue;
        }
        if (!atOnce) {
            ArmReadTimers(extension, intervalDue, totalDue);
        }
        return irp;
    }
}

// Ends the current read (its cancel routine already taken back, or called
// from it) with the status and the bytes it holds, and promotes the next
// read. When the promoted read finds bytes in the ring, a delivery pass
// hands them to it at once.
// IRQL: DISPATCH_LEVEL. Locks: entered with readLock held (acquired at
// oldIrql); releases it.
VOID CompleteCurrentRead(PortExtension* extension, NTSTATUS status, KIRQL oldIrql,
                         BOOLEAN ringHasData) {
    ASSERT_IRQL(DISPATCH_LEVEL);
    LIST_ENTRY completionList;
    InitializeListHead(&completionList);
    PIRP old = extension->currentRead;
    PIRP next = StartNextRead(extension, ringHasData, &completionList);
    MakeCurrentRead(extension, next);
    KeReleaseSpinLock(&extension->readLock, oldIrql);

    old->IoStatus.Status = status;
    FinishRequest(old);
    CompleteRequestList(&completionList);
    // The promoted read holds the remove lock: the record stays.
    if (next != nullptr && ringHasData) {
        DeliverReceivedData(extension);
    }
}

// Ends the current read with STATUS_TIMEOUT when its cancel routine can be
// taken back; otherwise a cancellation under way ends it.
// IRQL: DISPATCH_LEVEL. Locks: entered with readLock held; releases it.
VOID TimeOutCurrentRead(PortExtension* extension, KIRQL oldIrql) {
    ASSERT_IRQL(DISPATCH_LEVEL);
    PIRP irp = extension->currentRead;
    if (irp != nullptr && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        CompleteCurrentRead(extension, STATUS_TIMEOUT, oldIrql, RingHasData(extension));
        return;
    }
    KeReleaseSpinLock(&extension->readLock, oldIrql);
}

namespace {

// What both read timers' DPCs do: unless this run belongs to an expiry whose
// cancel came too late, cancel the other timer and time the current read
// out. IRQL: DISPATCH_LEVEL. Locks: takes readLock.
VOID ReadTimerExpired(PortExtension* extension, PKTIMER timer, PKDPC dpc, PathTimerFlags* flags,
                      PKTIMER otherTimer, PathTimerFlags* otherFlags) {
    ASSERT_IRQL(DISPATCH_LEVEL);
    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->readLock, &oldIrql);
    if (!ConsumePathTimerRun(timer, dpc, flags)) {
        KeReleaseSpinLock(&extension->readLock, oldIrql);
        return;
    }
    CancelPathTimer(otherTimer, otherFlags);
    TimeOutCurrentRead(extension, oldIrql);
}

}  // namespace

// DPC of the interval timer. IRQL: DISPATCH_LEVEL. Locks: takes readLock.
VOID NTAPI ReadIntervalTimeoutDpc(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {
    ASSERT_IRQL(DISPATCH_LEVEL);
    UNREFERENCED_PARAMETER(dpc);
    UNREFERENCED_PARAMETER(argument1);
    UNREFERENCED_PARAMETER(argument2);
    PortExtension* extension = static_cast<PortExtension*>(context);
    ReadTimerExpired(extension, &extension->readIntervalTimer, &extension->readIntervalTimerDpc,
                     &extension->readIntervalTimerFlags, &extension->readTotalTimer,
                     &extension->readTotalTimerFlags);
}

// DPC of the total timer. IRQL: DISPATCH_LEVEL. Locks: takes readLock.
VOID NTAPI ReadTotalTimeoutDpc(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {
    ASSERT_IRQL(DISPATCH_LEVEL);
    UNREFERENCED_PARAMETER(dpc);
    UNREFERENCED_PARAMETER(argument1);
    UNREFERENCED_PARAMETER(argument2);
    PortExtension* extension = static_cast<PortExtension*>(context);
    ReadTimerExpired(extension, &extension->readTotalTimer, &extension->readTotalTimerDpc,
                     &extension->readTotalTimerFlags, &extension->readIntervalTimer,
                     &extension->readIntervalTimerFlags);
}

// Cancel routine of a read waiting in the queue.
// IRQL: DISPATCH_LEVEL. Locks: entered holding the cancel spin lock, which it
// releases first; takes readLock.
VOID NTAPI CancelQueuedRead(PDEVICE_OBJECT deviceObject, PIRP irp) {
    ASSERT_IRQL(DISPATCH_LEVEL);
    CancelQueuedRequest(&GetPortExtension(deviceObject)->readLock, irp);
}

// Cancel routine of the current read: cancels both timers, ends the read
// with the bytes it had received and promotes the next. A read that a flush
// detached meanwhile is just completed.
// IRQL: DISPATCH_LEVEL. Locks: entered holding the cancel spin lock, which it
// releases first; takes readLock.
VOID NTAPI CancelCurrentRead(PDEVICE_OBJECT deviceObject, PIRP irp) {
    ASSERT_IRQL(DISPATCH_LEVEL);
    IoReleaseCancelSpinLock(irp->CancelIrql);
    PortExtension* extension = GetPortExtension(deviceObject);
    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->readLock, &oldIrql);
    if (extension->currentRead == irp) {
        CancelPathTimer(&extension->readIntervalTimer, &extension->readIntervalTimerFlags);
        CancelPathTimer(&extension->readTotalTimer, &extension->readTotalTimerFlags);
        CompleteCurrentRead(extension, STATUS_CANCELLED, oldIrql, RingHasData(extension));
        return;
    }
    KeReleaseSpinLock(&extension->readLock, oldIrql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    FinishRequest(irp);
}

// Places the first of a transfer's bytes straight into the current read,
// without passing them through the ring, when the ring holds nothing (so
// they are the next to come out of it) and no SERIAL_EV_RXFLAG scan is
// asked for; returns how many it placed, at most what the read still
// needs. They are offered to the identification capture as any bytes
// placed into a read. The delivery pass that follows ends or re-arms the
// read as for bytes taken from the ring.
// IRQL: DISPATCH_LEVEL. Locks: readLock held.
ULONG PlaceIntoCurrentRead(PortExtension* extension, const UCHAR* bytes, ULONG count) {
    ASSERT_IRQL(DISPATCH_LEVEL);
    if (extension->currentRead == nullptr || extension->rxRingCount != 0 ||
        (ReadOnce(&extension->waitMask) & SERIAL_EV_RXFLAG) != 0) {
        return 0;
    }
    TransferProgress& progress = extension->readProgress;
    const ULONG need = progress.length - progress.done;
    const ULONG take = count < need ? count : need;
    PUCHAR at = progress.buffer + progress.done;
    RtlCopyMemory(at, bytes, take);
    CaptureIdentificationBytes(extension, at, take);
    progress.done += take;
    progress.request->IoStatus.Information = progress.done;
    return take;
}

// The delivery pass, run after every successful bulk-in transfer: fills the
// current read from the ring, completes it when it is full or its time-outs
// say it returns now, promotes the next read, and repeats while bytes and
// reads remain. A read left waiting gets its interval timer restarted, so
// the interval counts from this pass.
// IRQL: <= DISPATCH_LEVEL. Locks: none held; takes readLock.
VOID DeliverReceivedData(PortExtension* extension) {
    ASSERT_IRQL_AT_MOST(DISPATCH_LEVEL);
    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->readLock, &oldIrql);
    DeliverReceivedDataLocked(extension, oldIrql);
}

// The delivery pass of DeliverReceivedData for a caller that already holds
// readLock (the bulk-in completion, right after storing a transfer's bytes).
// IRQL: DISPATCH_LEVEL. Locks: entered with readLock held (acquired at
// oldIrql); releases it.
VOID DeliverReceivedDataLocked(PortExtension* extension, KIRQL oldIrql) {
    ASSERT_IRQL(DISPATCH_LEVEL);
    LIST_ENTRY completionList;
    InitializeListHead(&completionList);
    while (extension->currentRead != nullptr) {
        CancelPathTimer(&extension->readIntervalTimer, &extension->readIntervalTimerFlags);
        PIRP irp = extension->currentRead;
        TransferProgress& progress = extension->readProgress;
        ULONG need = progress.length - progress.done;
        BOOLEAN filled = extension->rxRingCount >= need;
        const ULONG take = filled ? need : extension->rxRingCount;
        if (take != 0) {
            (void)FillCurrentRead(extension, take);
        }

        NTSTATUS endStatus = STATUS_SUCCESS;
        if (irp->Cancel) {
            endStatus = STATUS_CANCELLED;
        } else if (!filled) {
            LONGLONG intervalDue;
            LONGLONG totalDue;
            if (!ComputeReadTimeouts(extension, progress.length, progress.done == 0, &intervalDue,
                                     &totalDue)) {
                if (intervalDue != 0) {
                    ArmPathTimer(&extension->readIntervalTimer, &extension->readIntervalTimerDpc,
                                 &extension->readIntervalTimerFlags, intervalDue);
                }
                break;
            }
        }
        if (IoSetCancelRoutine(irp, nullptr) == nullptr) {
            break;  // a cancellation owns the read and ends it
        }
        irp->IoStatus.Status = endStatus;
        CancelPathTimer(&extension->readTotalTimer, &extension->readTotalTimerFlags);
        InsertTailList(&completionList, &irp->Tail.Overlay.ListEntry);
        MakeCurrentRead(extension, IsListEmpty(&extension->readQueue)
                                       ? nullptr
                                       : StartNextRead(extension, RingHasData(extension),
                                                       &completionList));
        if (!RingHasData(extension)) {
            break;
        }
    }
    KeReleaseSpinLock(&extension->readLock, oldIrql);
    CompleteRequestList(&completionList);
}

// Ends every read with STATUS_CANCELLED: the current read (when its cancel
// routine can be taken back; it keeps the count it received) and the queued
// reads in order, after cancelling both read timers. A current read whose
// cancellation is under way is detached and left to its cancel routine.
// IRQL: <= DISPATCH_LEVEL. Locks: none held; takes readLock.
VOID FlushReads(PortExtension* extension) {
    ASSERT_IRQL_AT_MOST(DISPATCH_LEVEL);
    LIST_ENTRY completionList;
    InitializeListHead(&completionList);
    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->readLock, &oldIrql);
    CancelPathTimer(&extension->readIntervalTimer, &extension->readIntervalTimerFlags);
    CancelPathTimer(&extension->readTotalTimer, &extension->readTotalTimerFlags);
    PIRP current = extension->currentRead;
    if (current != nullptr && IoSetCancelRoutine(current, nullptr) != nullptr) {
        current->IoStatus.Status = STATUS_CANCELLED;
        InsertTailList(&completionList, &current->Tail.Overlay.ListEntry);
    }
    PIRP queued;
    while ((queued = TakeNextRequest(&extension->readQueue)) != nullptr) {
        queued->IoStatus.Status = STATUS_CANCELLED;
        InsertTailList(&completionList, &queued->Tail.Overlay.ListEntry);
    }
    MakeCurrentRead(extension, nullptr);
    KeReleaseSpinLock(&extension->readLock, oldIrql);
    CompleteRequestList(&completionList);
}

// Empties the receive ring; its storage stays allocated.
// IRQL: <= DISPATCH_LEVEL. Locks: none held; takes readLock.
VOID PurgeReceiveBuffer(PDEVICE_OBJECT deviceObject) {
    ASSERT_IRQL_AT_MOST(DISPATCH_LEVEL);
    PortExtension* extension = GetPortExtension(deviceObject);
    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->readLock, &oldIrql);
    extension->rxRingCount = 0;
    extension->rxRingReadIndex = 0;
    extension->rxRingWriteIndex = 0;
    KeReleaseSpinLock(&extension->readLock, oldIrql);
}
