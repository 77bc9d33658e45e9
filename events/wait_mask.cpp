// wait_mask.cpp - IOCTL_SERIAL_SET_WAIT_MASK and IOCTL_SERIAL_WAIT_ON_MASK:
// one current mask request and a queue behind it, the single pending wait,
// the event history and SignalSerialEvents, the entry through which the
// receive, transmit and status paths report serial events.
//
// Every field here is guarded by controlLock. Requests are completed only
// after it is released, and a held request is completed only by the party
// that took its cancel routine back by atomic exchange (or the cancel
// routine itself, which always owns the request it is called for).
//
// The processing loop. One thread at a time runs the loop over the current
// request (maskLoopActive). A request admitted straight into the empty slot
// is processed by the dispatcher's own loop and carries no cancel routine
// meanwhile. A request promoted from the queue carries
// CancelCurrentMaskRequest until the loop takes it back at the start of its
// pass. If a cancellation takes it first, the loop stops and leaves the
// request to CancelCurrentMaskRequest, which completes it and promotes the
// next one. A promotion that happens while no loop runs (the cancel routine
// promoting after the loop has stopped) is processed by the promoter: the
// cancel routine then runs the loop itself, at DISPATCH_LEVEL, which the
// loop allows since it only takes spin locks. So a promoted request is never
// left unprocessed, and never processed by two threads.
#include "events/events.h"

namespace {

// Stores the event word of a completing wait in its output buffer.
VOID StoreEventWord(PIRP irp, ULONG events) {
    *static_cast<PULONG>(irp->AssociatedIrp.SystemBuffer) = events;
    irp->IoStatus.Information = sizeof(ULONG);
}

ULONG ControlCodeOf(PIRP irp) {
    return IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode;
}

// Moves the oldest queued request that can be taken into the current slot,
// with CancelCurrentMaskRequest installed. IRQL: DISPATCH_LEVEL.
// Locks: controlLock held.
VOID PromoteNextMaskRequest(PortExtension* extension) _Requires_lock_held_(extension->controlLock) {
    ASSERT_IRQL(DISPATCH_LEVEL);
    PIRP next = TakeNextRequest(&extension->maskQueue);
    extension->currentMaskRequest = next;
    extension->currentMaskPromoted = next != nullptr;
    if (next != nullptr) {
        (void)IoSetCancelRoutine(next, CancelCurrentMaskRequest);
    }
}

// Handles a valid IOCTL_SERIAL_WAIT_ON_MASK that the loop owns: it becomes
// the pending wait, or completes at once when events are already recorded.
// Returns the request to complete after the lock is released, or null.
// IRQL: DISPATCH_LEVEL. Locks: controlLock held.
PIRP MakePendingWait(PortExtension* extension, PIRP irp)
    _Requires_lock_held_(extension->controlLock) {
    ASSERT_IRQL(DISPATCH_LEVEL);
    extension->pendingWaitRequest = irp;
    (void)IoSetCancelRoutine(irp, CancelPendingWait);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        // Cancelled while the routine was not yet in place.
        extension->pendingWaitRequest = nullptr;
        irp->IoStatus.Status = STATUS_CANCELLED;
        irp->IoStatus.Information = 0;
        return irp;
    }
    PruneRxCharEvent(extension);
    if (extension->eventHistory != 0 && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        StoreEventWord(irp, extension->eventHistory);
        irp->IoStatus.Status = STATUS_SUCCESS;
        extension->pendingWaitRequest = nullptr;
        extension->eventHistory = 0;
        return irp;
    }
    return nullptr;
}

// The processing loop; see the file comment. admitted is the request the
// dispatcher has just put into the current slot when it runs the loop for
// it (its outcome is the result), else null. A flush may detach the
// admitted request before the loop first takes controlLock: the loop still
// ends it, cancelled.
// IRQL: <= DISPATCH_LEVEL. Locks: none held; takes controlLock.
// NOLINTNEXTLINE(misc-no-recursion): its completions never run the loop again
NTSTATUS RunMaskLoop(PortExtension* extension, PIRP admitted) {
    ASSERT_IRQL_AT_MOST(DISPATCH_LEVEL);
    NTSTATUS firstStatus = STATUS_SUCCESS;
    BOOLEAN firstPass = TRUE;
    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->controlLock, &oldIrql);
    for (;;) {
        if (extension->currentMaskRequest == nullptr && !(firstPass && admitted != nullptr)) {
            PromoteNextMaskRequest(extension);
        }
        PIRP irp = firstPass && admitted != nullptr ? admitted : extension->currentMaskRequest;
        if (irp == nullptr) {
            extension->maskLoopActive = FALSE;
            KeReleaseSpinLock(&extension->controlLock, oldIrql);
            break;
        }
        if (extension->currentMaskRequest != irp) {
            // Detached by a flush while the loop held it (or before the
            // loop first took it).
            irp->IoStatus.Information = 0;
            CompleteCurrentMaskRequest(extension, irp, oldIrql, STATUS_CANCELLED, FALSE);
            if (firstPass) {
                firstStatus = STATUS_CANCELLED;
                firstPass = FALSE;
            }
            KeAcquireSpinLock(&extension->controlLock, &oldIrql);
            continue;
        }
        if (extension->currentMaskPromoted) {
            if (IoSetCancelRoutine(irp, nullptr) == nullptr) {
                // A cancellation took it first: CancelCurrentMaskRequest
                // completes it, promotes the next and runs the loop again.
                extension->maskLoopActive = FALSE;
                KeReleaseSpinLock(&extension->controlLock, oldIrql);
                break;
            }
            extension->currentMaskPromoted = FALSE;
        }

        NTSTATUS status;
        if (ControlCodeOf(irp) == IOCTL_SERIAL_SET_WAIT_MASK) {
            ULONG mask = *static_cast<PULONG>(irp->AssociatedIrp.SystemBuffer);
            KeReleaseSpinLock(&extension->controlLock, oldIrql);
            ApplyWaitMask(extension, mask);
            irp->IoStatus.Information = InformationWithinOutput(irp, sizeof(ULONG));
            status = STATUS_SUCCESS;
            KeAcquireSpinLock(&extension->controlLock, &oldIrql);
            CompleteCurrentMaskRequest(extension, irp, oldIrql, status, FALSE);
            // NOLINTNEXTLINE(bugprone-branch-clone): a refusal goes before a cancel, below
        } else if (extension->waitMask == 0 || extension->pendingWaitRequest != nullptr) {
            // Refused whether or not a cancellation came meanwhile: the
            // request was never valid.
            irp->IoStatus.Information = 0;
            status = STATUS_INVALID_PARAMETER;
            CompleteCurrentMaskRequest(extension, irp, oldIrql, status, FALSE);
        } else if (irp->Cancel) {
            irp->IoStatus.Information = 0;
            status = STATUS_CANCELLED;
            CompleteCurrentMaskRequest(extension, irp, oldIrql, status, FALSE);
        } else {
            if (firstPass && admitted != nullptr) {
                IoMarkIrpPending(admitted);  // the request in hand on the first pass
            }
            status = STATUS_PENDING;
            PIRP completeNow = MakePendingWait(extension, irp);
            PromoteNextMaskRequest(extension);
            KeReleaseSpinLock(&extension->controlLock, oldIrql);
            if (completeNow != nullptr) {
                FinishRequest(completeNow);
            }
        }
        if (firstPass) {
            firstStatus = status;
            firstPass = FALSE;
        }
        KeAcquireSpinLock(&extension->controlLock, &oldIrql);
    }
    return firstStatus;
}

}  // namespace

// Entry of the dispatcher for both mask requests (buffer lengths and the
// mask's range already checked). Admits the request straight into the empty
// current slot and processes it, or queues it behind the current one.
// Returns the request's status (STATUS_PENDING when it waits).
// IRQL: PASSIVE_LEVEL. Locks: none held; takes controlLock.
NTSTATUS QueueMaskRequest(PortExtension* extension, PIRP irp) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->controlLock, &oldIrql);
    if (IsListEmpty(&extension->maskQueue) && extension->currentMaskRequest == nullptr &&
        !extension->maskLoopActive) {
        extension->currentMaskRequest = irp;
        extension->currentMaskPromoted = FALSE;
        extension->maskLoopActive = TRUE;
        KeReleaseSpinLock(&extension->controlLock, oldIrql);
        return RunMaskLoop(extension, irp);
    }
    irp->IoStatus.Status = STATUS_PENDING;
    NTSTATUS status = QueuePendingRequest(&extension->maskQueue, irp, CancelQueuedMaskRequest);
    KeReleaseSpinLock(&extension->controlLock, oldIrql);
    if (status != STATUS_PENDING) {
        return CompleteRequest(irp, status, 0);
    }
    return status;
}

// Processes the current mask request and every request promoted after it.
// Returns the outcome of the first. IRQL: <= DISPATCH_LEVEL. Locks: none
// held. The caller has set maskLoopActive.
NTSTATUS ProcessMaskRequests(PortExtension* extension) {
    ASSERT_IRQL_AT_MOST(DISPATCH_LEVEL);
    return RunMaskLoop(extension, nullptr);
}

// The effect of one IOCTL_SERIAL_SET_WAIT_MASK: a pending wait completes with
// event word 0, then the new mask applies and only the recorded events
// inside it are kept. IRQL: <= DISPATCH_LEVEL. Locks: none held; takes
// controlLock.
VOID ApplyWaitMask(PortExtension* extension, ULONG mask) {
    ASSERT_IRQL_AT_MOST(DISPATCH_LEVEL);
    KIRQL oldIrql;
    PIRP overtaken = nullptr;
    KeAcquireSpinLock(&extension->controlLock, &oldIrql);
    PIRP wait = extension->pendingWaitRequest;
    if (wait != nullptr && IoSetCancelRoutine(wait, nullptr) != nullptr) {
        extension->pendingWaitRequest = nullptr;
        StoreEventWord(wait, 0);
        wait->IoStatus.Status = STATUS_SUCCESS;
        PruneRxCharEvent(extension);
        overtaken = wait;
    }
    KeReleaseSpinLock(&extension->controlLock, oldIrql);
    if (overtaken != nullptr) {
        FinishRequest(overtaken);
    }

    KeAcquireSpinLock(&extension->controlLock, &oldIrql);
    extension->eventHistory &= mask;
    extension->waitMask = mask;
    KeReleaseSpinLock(&extension->controlLock, oldIrql);
}

// Ends the mask request R (whose information is already set) with the
// status, promoting the next queued request when R is still the current
// one (a flush may have detached it). Called by the loop, which owns R, and by
// CancelCurrentMaskRequest; the latter runs the loop for the request it
// promotes when no loop is running.
// IRQL: DISPATCH_LEVEL. Locks: entered with controlLock held (acquired at
// oldIrql); releases it.
// NOLINTNEXTLINE(misc-no-recursion): runs the loop for a cancel routine only, two frames deep
VOID CompleteCurrentMaskRequest(PortExtension* extension, PIRP irp, KIRQL oldIrql, NTSTATUS status,
                                BOOLEAN fromCancelRoutine) {
    ASSERT_IRQL(DISPATCH_LEVEL);
    if (extension->currentMaskRequest == irp) {
        PromoteNextMaskRequest(extension);
    }
    BOOLEAN runLoop =
        fromCancelRoutine && extension->currentMaskRequest != nullptr && !extension->maskLoopActive;
    if (runLoop) {
        extension->maskLoopActive = TRUE;
    }
    KeReleaseSpinLock(&extension->controlLock, oldIrql);
    irp->IoStatus.Status = status;
    FinishRequest(irp);
    if (runLoop) {
        (void)RunMaskLoop(extension, nullptr);
    }
}

// Drops SERIAL_EV_RXCHAR from the history once the receive ring is empty, so
// a wait does not report characters that reads have already taken.
// IRQL: DISPATCH_LEVEL. Locks: controlLock held; rxRingCount is read as one
// aligned load without readLock.
VOID PruneRxCharEvent(PortExtension* extension) {
    ASSERT_IRQL(DISPATCH_LEVEL);
    ULONG ringCount = ReadOnce(&extension->rxRingCount);
    if ((extension->eventHistory & SERIAL_EV_RXCHAR) != 0 && ringCount == 0) {
        extension->eventHistory &= ~static_cast<ULONG>(SERIAL_EV_RXCHAR);
    }
}

// Reports serial events: records them when any is in the wait mask (all the
// bits passed, once one of them is), and completes a pending wait with the
// history. An empty set only gives a pending wait the chance to complete.
// With nothing in the mask and no wait pending (the mask and the wait read
// as one aligned load each) there is nothing to do, and the lock is not
// taken.
// IRQL: <= DISPATCH_LEVEL. Locks: none held; takes controlLock.
VOID SignalSerialEvents(PortExtension* extension, ULONG events) {
    ASSERT_IRQL_AT_MOST(DISPATCH_LEVEL);
    if ((events & ReadOnce(&extension->waitMask)) == 0 &&
        ReadOnce(&extension->pendingWaitRequest) == nullptr) {
        return;
    }
    KIRQL oldIrql;
    PIRP done = nullptr;
    KeAcquireSpinLock(&extension->controlLock, &oldIrql);
    if ((events & extension->waitMask) != 0) {
        extension->eventHistory |= events;
    }
    PIRP wait = extension->pendingWaitRequest;
    if (wait != nullptr && extension->eventHistory != 0 &&
        IoSetCancelRoutine(wait, nullptr) != nullptr) {
        PruneRxCharEvent(extension);
        StoreEventWord(wait, extension->eventHistory);
        wait->IoStatus.Status = STATUS_SUCCESS;
        extension->pendingWaitRequest = nullptr;
        extension->eventHistory = 0;
        done = wait;
    }
    KeReleaseSpinLock(&extension->controlLock, oldIrql);
    if (done != nullptr) {
        FinishRequest(done);
    }
}

// Ends every held mask request with STATUS_CANCELLED and clears the mask and
// the history: the pending wait and the current request when their cancel
// routines can be taken back, then the queue in order. A current request
// the loop is working on is detached and completed by the loop; one whose
// cancellation is under way is completed by its cancel routine.
// IRQL: <= DISPATCH_LEVEL. Locks: none held; takes controlLock.
VOID FlushMaskRequests(PortExtension* extension) {
    ASSERT_IRQL_AT_MOST(DISPATCH_LEVEL);
    LIST_ENTRY cancelled;
    InitializeListHead(&cancelled);
    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->controlLock, &oldIrql);
    PIRP wait = extension->pendingWaitRequest;
    if (wait != nullptr && IoSetCancelRoutine(wait, nullptr) != nullptr) {
        InsertTailList(&cancelled, &wait->Tail.Overlay.ListEntry);
    }
    PIRP current = extension->currentMaskRequest;
    if (current != nullptr && extension->currentMaskPromoted &&
        IoSetCancelRoutine(current, nullptr) != nullptr) {
        InsertTailList(&cancelled, &current->Tail.Overlay.ListEntry);
    }
    PIRP queued;
    while ((queued = TakeNextRequest(&extension->maskQueue)) != nullptr) {
        InsertTailList(&cancelled, &queued->Tail.Overlay.ListEntry);
    }
    extension->pendingWaitRequest = nullptr;
    extension->currentMaskRequest = nullptr;
    extension->currentMaskPromoted = FALSE;
    extension->eventHistory = 0;
    extension->waitMask = 0;
    KeReleaseSpinLock(&extension->controlLock, oldIrql);

    for (PLIST_ENTRY entry = cancelled.Flink; entry != &cancelled; entry = entry->Flink) {
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        irp->IoStatus.Status = STATUS_CANCELLED;
        irp->IoStatus.Information = 0;
    }
    CompleteRequestList(&cancelled);
}

// Cancel routine of a request waiting in maskQueue.
// IRQL: DISPATCH_LEVEL. Locks: entered holding the cancel spin lock, which it
// releases first; takes controlLock.
VOID NTAPI CancelQueuedMaskRequest(PDEVICE_OBJECT deviceObject, PIRP irp) {
    ASSERT_IRQL(DISPATCH_LEVEL);
    CancelQueuedRequest(&GetPortExtension(deviceObject)->controlLock, irp);
}

// Cancel routine of a request promoted into the current slot and not yet
// taken back by the loop: completes it and promotes the next. One that a
// flush has detached meanwhile is just completed.
// IRQL: DISPATCH_LEVEL. Locks: entered holding the cancel spin lock, which it
// releases first; takes controlLock.
VOID NTAPI CancelCurrentMaskRequest(PDEVICE_OBJECT deviceObject, PIRP irp) {
    ASSERT_IRQL(DISPATCH_LEVEL);
    IoReleaseCancelSpinLock(irp->CancelIrql);
    PortExtension* extension = GetPortExtension(deviceObject);
    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->controlLock, &oldIrql);
    irp->IoStatus.Information = 0;
    if (extension->currentMaskRequest == irp) {
        extension->currentMaskPromoted = FALSE;
        CompleteCurrentMaskRequest(extension, irp, oldIrql, STATUS_CANCELLED, TRUE);
        return;
    }
    KeReleaseSpinLock(&extension->controlLock, oldIrql);
    CompleteRequest(irp, STATUS_CANCELLED, 0);
}

// Cancel routine of the pending wait.
// IRQL: DISPATCH_LEVEL. Locks: entered holding the cancel spin lock, which it
// releases first; takes controlLock.
VOID NTAPI CancelPendingWait(PDEVICE_OBJECT deviceObject, PIRP irp) {
    ASSERT_IRQL(DISPATCH_LEVEL);
    IoReleaseCancelSpinLock(irp->CancelIrql);
    PortExtension* extension = GetPortExtension(deviceObject);
    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->controlLock, &oldIrql);
    if (extension->pendingWaitRequest == irp) {
        extension->pendingWaitRequest = nullptr;
    }
    KeReleaseSpinLock(&extension->controlLock, oldIrql);
    CompleteRequest(irp, STATUS_CANCELLED, 0);
}
