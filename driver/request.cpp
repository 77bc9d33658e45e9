// request.cpp - the request helpers shared by every path: the remove lock
// each request holds while the driver works on it, pass-down, completion,
// the pending-request queue protocol and the readiness test.
//
// Remove lock: every dispatch routine acquires the device's remove lock for
// its request (the request is the tag) before it touches the record, and
// the request keeps it until it is completed or passed down: CompleteRequest
// and FinishRequest release it, and so does every pass-down. Removal
// releases the lock and waits for every holder before the device goes, so
// no request is in the driver, pending or dispatching, when the record is
// freed. A request refused before it got the lock is completed with
// RefuseRequest.
//
// Queue protocol: a waiting request sits in a list linked through
// Irp->Tail.Overlay.ListEntry, guarded by its path's spin lock, with the
// path's cancel routine in its CancelRoutine field. Whoever takes the request
// out (the dequeuer or the cancel routine) first exchanges that field with
// null and owns the request only when the value it got back was not null.
#include "driver/driver.h"

// Skips the current stack location and calls the device below, which sees
// the same parameters. Returns what the lower driver returned.
// IRQL: <= DISPATCH_LEVEL. Locks: none.
NTSTATUS ForwardRequest(PDEVICE_OBJECT deviceObject, PIRP irp) {
    ASSERT_IRQL_AT_MOST(DISPATCH_LEVEL);
    PortExtension* extension = GetPortExtension(deviceObject);
    IoSkipCurrentIrpStackLocation(irp);
    return IofCallDriver(extension->lowerDeviceObject, irp);
}

// Acquires the device's remove lock for a request at the start of its
// dispatch: STATUS_SUCCESS, or STATUS_DELETE_PENDING once removal has begun
// (the request is then refused with RefuseRequest).
// IRQL: <= DISPATCH_LEVEL. Locks: none.
NTSTATUS AcquireRequestLock(PDEVICE_OBJECT deviceObject, PIRP irp) {
    ASSERT_IRQL_AT_MOST(DISPATCH_LEVEL);
    return IoAcquireRemoveLock(&GetPortExtension(deviceObject)->removeLock, irp);
}

// Gives back the remove lock a request holds. IRQL: <= DISPATCH_LEVEL.
// Locks: none.
VOID ReleaseRequestLock(PDEVICE_OBJECT deviceObject, PIRP irp) {
    ASSERT_IRQL_AT_MOST(DISPATCH_LEVEL);
    IoReleaseRemoveLock(&GetPortExtension(deviceObject)->removeLock, irp);
}

// Passes a request that holds the remove lock down the stack and gives the
// lock back. Returns what the lower driver returned.
// IRQL: <= DISPATCH_LEVEL. Locks: none.
NTSTATUS ForwardAndRelease(PDEVICE_OBJECT deviceObject, PIRP irp) {
    ASSERT_IRQL_AT_MOST(DISPATCH_LEVEL);
    const NTSTATUS status = ForwardRequest(deviceObject, irp);
    ReleaseRequestLock(deviceObject, irp);
    return status;
}

// Completes a request that holds the remove lock, with the status and
// information already stored in it, and releases the lock (after the
// completion, so removal cannot pass while the request is still ours).
// IRQL: <= DISPATCH_LEVEL. Locks: none may be held (requests are completed
// outside every driver lock).
VOID FinishRequest(PIRP irp) {
    ASSERT_IRQL_AT_MOST(DISPATCH_LEVEL);
    PDEVICE_OBJECT deviceObject = IoGetCurrentIrpStackLocation(irp)->DeviceObject;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    ReleaseRequestLock(deviceObject, irp);
}

// Stores the status and information and completes a request that holds the
// remove lock, with no priority boost, releasing the lock. Returns the
// status, for a dispatch routine to return.
// IRQL: <= DISPATCH_LEVEL. Locks: none may be held.
NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    ASSERT_IRQL_AT_MOST(DISPATCH_LEVEL);
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    FinishRequest(irp);
    return status;
}

// Completes a request refused before it took the remove lock.
// IRQL: <= DISPATCH_LEVEL. Locks: none may be held.
NTSTATUS RefuseRequest(PIRP irp, NTSTATUS status) {
    ASSERT_IRQL_AT_MOST(DISPATCH_LEVEL);
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Appends a request to a queue with its cancel routine. Returns
// STATUS_PENDING when it now waits there (marked pending), or
// STATUS_CANCELLED when it was cancelled before it could be queued: it is
// then not in the queue and the caller completes it.
// IRQL: DISPATCH_LEVEL. Locks: the queue's spin lock, held by the caller.
NTSTATUS QueuePendingRequest(PLIST_ENTRY queue, PIRP irp, PDRIVER_CANCEL cancelRoutine) {
    ASSERT_IRQL(DISPATCH_LEVEL);
    InsertTailList(queue, &irp->Tail.Overlay.ListEntry);
    (void)IoSetCancelRoutine(irp, cancelRoutine);

    if (ReadOnce(&irp->Cancel)) {
        if (IoSetCancelRoutine(irp, nullptr) != nullptr) {
            // The cancel routine will never run: the request is ours again.
            RemoveEntryList(&irp->Tail.Overlay.ListEntry);
            InitializeListHead(&irp->Tail.Overlay.ListEntry);
            return STATUS_CANCELLED;
        }
        // IoCancelIrp has claimed the routine; it will take the request out of
        // the queue under the lock and complete it.
    }

    IoMarkIrpPending(irp);
    return STATUS_PENDING;
}

// Takes the oldest request of a queue that the caller now owns, or null when
// none is left. A request whose cancellation is already under way is
// unlinked and left linked to itself, so that the later RemoveEntryList of
// its cancel routine touches nothing but the request itself.
// IRQL: DISPATCH_LEVEL. Locks: the queue's spin lock, held by the caller.
PIRP TakeNextRequest(PLIST_ENTRY queue) {
    ASSERT_IRQL(DISPATCH_LEVEL);
    while (!IsListEmpty(queue)) {
        PLIST_ENTRY entry = RemoveHeadList(queue);
        InitializeListHead(entry);
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        if (IoSetCancelRoutine(irp, nullptr) != nullptr) {
            return irp;
        }
    }
    return nullptr;
}

// The information of a buffered device control that reports a count
// without returning data (set wait mask, purge), capped at the output
// buffer when the caller gave one: the I/O manager copies that many bytes
// back into it. With no output buffer nothing is copied and the count stands.
// IRQL: any. Locks: none.
ULONG_PTR InformationWithinOutput(PIRP irp, ULONG_PTR information) {
    const ULONG outputLength =
        IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
    return outputLength != 0 && information > outputLength ? outputLength : information;
}

// Completes, in list order, requests collected under a path's spin lock,
// each with the status and information already stored in it. The list is
// linked through Irp->Tail.Overlay.ListEntry and is empty afterwards.
// IRQL: <= DISPATCH_LEVEL. Locks: none may be held.
VOID CompleteRequestList(PLIST_ENTRY list) {
    ASSERT_IRQL_AT_MOST(DISPATCH_LEVEL);
    while (!IsListEmpty(list)) {
        PLIST_ENTRY entry = RemoveHeadList(list);
        InitializeListHead(entry);
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        FinishRequest(irp);
    }
}

// The whole of a cancel routine for a request waiting in a queue guarded by
// `lock`: releases the cancel spin lock, unlinks the request if a dequeuer
// has not already (it is then linked to itself), and completes it with
// STATUS_CANCELLED and no data. IRQL: DISPATCH_LEVEL. Locks: entered holding
// the cancel spin lock, which it releases first; takes `lock`.
VOID CancelQueuedRequest(PKSPIN_LOCK lock, PIRP irp) {
    ASSERT_IRQL(DISPATCH_LEVEL);
    IoReleaseCancelSpinLock(irp->CancelIrql);
    KIRQL oldIrql;
    KeAcquireSpinLock(lock, &oldIrql);
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    InitializeListHead(&irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(lock, oldIrql);
    CompleteRequest(irp, STATUS_CANCELLED, 0);
}

// TRUE exactly when the device is started and no removal, query-remove or
// query-stop is in force. IRQL: any. Locks: none (single-byte flag reads).
BOOLEAN IsDeviceReady(PDEVICE_OBJECT deviceObject) {
    const PortExtension* extension = GetPortExtension(deviceObject);
    return !ReadOnce(&extension->removed) && ReadOnce(&extension->started) &&
           !ReadOnce(&extension->removePending) && !ReadOnce(&extension->stopPending);
}

// Completion routine of a request passed down and waited for: signals the
// event given as context and hands the request back to the waiting sender.
// IRQL: <= DISPATCH_LEVEL. Locks: none.
NTSTATUS NTAPI SignalEventCompletion(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context) {
    ASSERT_IRQL_AT_MOST(DISPATCH_LEVEL);
    UNREFERENCED_PARAMETER(deviceObject);
    UNREFERENCED_PARAMETER(irp);
    KeSetEvent(static_cast<PKEVENT>(context), EVENT_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Cancel routine of the driver's own USB transfer requests: completes the
// request with STATUS_CANCELLED; the transfer's completion routine then takes
// the transfer apart. Such a request holds no remove lock.
// IRQL: DISPATCH_LEVEL. Locks: entered holding the cancel spin lock, which
// it releases first.
VOID NTAPI TransferCancelRoutine(PDEVICE_OBJECT deviceObject, PIRP irp) {
    ASSERT_IRQL(DISPATCH_LEVEL);
    UNREFERENCED_PARAMETER(deviceObject);
    IoReleaseCancelSpinLock(irp->CancelIrql);
    RefuseRequest(irp, STATUS_CANCELLED);
}
