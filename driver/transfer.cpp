// transfer.cpp - the life of one continuously re-armed USB transfer slot
// (bulk-in, bulk-out, status) and how a stop meets it.
//
// A slot holds at most one transfer: a request, its URB and its data
// buffer, built afresh from non-paged pool for each transfer and taken apart
// by the transfer's completion routine. The slot's busy flag is claimed
// under transferLock before anything is built, and it stays claimed until
// the completion routine has finished its work: the completion either sends
// the next transfer on the same claim or gives the slot up as its very last
// step. So two paths never both send a transfer, and a stop that finds the
// slot idle knows that no completion is still running for it.
//
// A start refused because the slot is taken is remembered; the holder
// starts again instead of giving the slot up, so no start is lost (a write
// that arrives while the last chunk's completion finds nothing to send, a
// read that arrives while a completion decides to pause the loop), unless
// the holds and errors as they are at that moment forbid the transfer: the
// end of the hold (a status report, a settings change, a read clearing an
// error) starts it then.
//
// A stop (close, cleanup, removal) marks the slot stopping, so nothing new
// starts and the holder gives the slot up; it cancels the transfer in flight
// and waits for the slot's event, which the holder sets when it gives the
// slot up. The stop pins the request it cancels: the completion takes the
// URB and buffer but leaves the request for the stop to free, so the
// cancellation never touches freed memory. The request stays named as the
// one sent until the completion's last step (a stop meanwhile cancels a
// request that has already completed, which does nothing), so that step
// gives the request back and decides about the slot in one hold of
// transferLock. The event is cleared when the stop begins, so a signal left
// over from an earlier failure cannot end it early. Two stops may meet on
// one slot (a cleanup and a Plug and Play stop): the second only waits with
// the first, which alone cancels and frees the request; the last one out
// ends the stop.
//
// Requests sent down carry no cancel routine of the driver's: once the bus
// holds a request its own cancel routine is in place, and a cancellation
// that comes before the bus has it is seen by the bus through the Cancel
// flag, which is therefore never cleared here.
#include "driver/driver.h"

namespace {

// The fields of one pipe's slot in the record.
struct SlotFields {
    PIRP* irp;
    PURB* urb;
    PUCHAR* buffer;
    volatile BOOLEAN* busy;
    PKEVENT stopped;
};

// Whether a transfer asked for while the slot was taken may start now: the
// port is open and no hold or error that concerns the pipe is set.
// IRQL: <= DISPATCH_LEVEL. Locks: transferLock held (the words are read
// once each, without their own lock).
BOOLEAN SlotMayStart(PortExtension* x, ULONG pipe) {
    ASSERT_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (!ReadOnce(&x->portOpen)) {
        return FALSE;
    }
    switch (pipe) {
        case BRIDGE_PIPE_BULK_OUT:
            return ReadOnce(&x->txHoldFlags) == 0;
        case BRIDGE_PIPE_BULK_IN:
            return ReadOnce(&x->rxHoldFlags) == 0 && ReadOnce(&x->errorFlags) == 0;
        default:
            return TRUE;
    }
}

SlotFields SlotOf(PortExtension* x, ULONG pipe) {
    switch (pipe) {
        case BRIDGE_PIPE_STATUS:
            return {&x->statusIrp, &x->statusUrb, &x->statusBuffer, &x->statusBusy,
                    &x->statusStopped};
        case BRIDGE_PIPE_BULK_OUT:
            return {&x->bulkOutIrp, &x->bulkOutUrb, &x->bulkOutBuffer, &x->bulkOutBusy,
                    &x->bulkOutStopped};
        default:
            return {&x->bulkInIrp, &x->bulkInUrb, &x->bulkInBuffer, &x->bulkInBusy,
                    &x->bulkInStopped};
    }
}

// Records the request about to be sent on the claimed slot. FALSE when a
// stop began meanwhile. IRQL: <= DISPATCH_LEVEL. Locks: takes transferLock.
BOOLEAN MarkTransferSent(PortExtension* extension, ULONG pipe, PIRP irp) {
    ASSERT_IRQL_AT_MOST(DISPATCH_LEVEL);
    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->transferLock, &oldIrql);
    TransferStopState& stop = extension->transferStop[pipe];
    BOOLEAN send = !stop.stopRequested;
    if (send) {
        stop.sentIrp = irp;
    }
    KeReleaseSpinLock(&extension->transferLock, oldIrql);
    return send;
}

// The decision of KeepTransferSlot and FinishTransfer (see there).
// IRQL: DISPATCH_LEVEL. Locks: transferLock held.
BOOLEAN KeepSlotLocked(PortExtension* extension, ULONG pipe, BOOLEAN again, BOOLEAN failed)
    _Requires_lock_held_(extension->transferLock) {
    ASSERT_IRQL(DISPATCH_LEVEL);
    const SlotFields slot = SlotOf(extension, pipe);
    TransferStopState& stop = extension->transferStop[pipe];
    const BOOLEAN keep =
        !stop.stopRequested && (again || (stop.startRequested && SlotMayStart(extension, pipe)));
    stop.startRequested = FALSE;
    if (!keep) {
        *slot.busy = FALSE;
        if (failed || stop.stopRequested) {
            KeSetEvent(slot.stopped, IO_NO_INCREMENT, FALSE);
        }
    }
    return keep;
}

}  // namespace

// Claims the slot for a new transfer. FALSE when a transfer is already in
// flight or being built or completed (the start is then remembered for the
// holder), or a stop is under way.
// IRQL: <= DISPATCH_LEVEL. Locks: takes transferLock.
BOOLEAN ClaimTransferSlot(PortExtension* extension, ULONG pipe) {
    ASSERT_IRQL_AT_MOST(DISPATCH_LEVEL);
    const SlotFields slot = SlotOf(extension, pipe);
    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->transferLock, &oldIrql);
    TransferStopState& stop = extension->transferStop[pipe];
    BOOLEAN claimed = !*slot.busy && !stop.stopRequested;
    if (claimed) {
        *slot.busy = TRUE;
    } else if (!stop.stopRequested) {
        stop.startRequested = TRUE;
    }
    KeReleaseSpinLock(&extension->transferLock, oldIrql);
    return claimed;
}

// Builds the slot's transfer: a zeroed data buffer, a request for the stack
// below and a bulk or interrupt URB on the pipe, stored in the slot; sends
// nothing. Nothing stays half-allocated on failure.
// IRQL: <= DISPATCH_LEVEL. Locks: none; the caller holds the claim (or the
// port is being opened).
NTSTATUS BuildTransfer(PortExtension* extension, ULONG pipe, ULONG bufferSize, ULONG transferFlags,
                       ULONG length) {
    ASSERT_IRQL_AT_MOST(DISPATCH_LEVEL);
    const SlotFields slot = SlotOf(extension, pipe);
    PUCHAR buffer =
        static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, bufferSize, BRIDGESER_POOL_TAG));
    if (buffer == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(buffer, bufferSize);
    PIRP irp = IoAllocateIrp(extension->lowerDeviceObject->StackSize, FALSE);
    if (irp == nullptr) {
        ExFreePoolWithTag(buffer, BRIDGESER_POOL_TAG);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PURB urb = static_cast<PURB>(ExAllocatePoolWithTag(
        NonPagedPoolNx, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), BRIDGESER_POOL_TAG));
    if (urb == nullptr) {
        IoFreeIrp(irp);
        ExFreePoolWithTag(buffer, BRIDGESER_POOL_TAG);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
    urb->UrbHeader.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    urb->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb->UrbBulkOrInterruptTransfer.PipeHandle = extension->interfaceInfo->Pipes[pipe].PipeHandle;
    urb->UrbBulkOrInterruptTransfer.TransferFlags = transferFlags;
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = length;
    urb->UrbBulkOrInterruptTransfer.TransferBuffer = buffer;
    *slot.irp = irp;
    *slot.urb = urb;
    *slot.buffer = buffer;
    return STATUS_SUCCESS;
}

// Sends the transfer built in the claimed slot to the USB stack as
// IOCTL_INTERNAL_USB_SUBMIT_URB, with the completion routine invoked on
// success, error and cancel and the record as its context. When a stop
// began meanwhile, the transfer is freed instead and the slot given up (in
// that order, so nothing of it outlives the stop).
// IRQL: <= DISPATCH_LEVEL. Locks: none held; the caller holds the claim.
VOID SendSlotTransfer(PortExtension* extension, ULONG pipe, PIO_COMPLETION_ROUTINE completion) {
    ASSERT_IRQL_AT_MOST(DISPATCH_LEVEL);
    const SlotFields slot = SlotOf(extension, pipe);
    PIRP irp = *slot.irp;
    if (!MarkTransferSent(extension, pipe, irp)) {
        PURB urb;
        PUCHAR buffer;
        TakeTransferBack(extension, pipe, &urb, &buffer);
        IoFreeIrp(irp);
        FreeTransferParts(urb, buffer);
        (void)KeepTransferSlot(extension, pipe, FALSE, FALSE);
        return;
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = *slot.urb;
    IoSetCompletionRoutine(irp, completion, extension, TRUE, TRUE, TRUE);
    (void)IofCallDriver(extension->lowerDeviceObject, irp);
}

// First step of a completion routine (after it has read the request's
// status), or of a sender that gives up its transfer: takes the URB and
// buffer out of the slot for the caller to read and free, and empties the
// slot. The request itself is given back by FinishTransfer (or freed by the
// sender that never sent it). The slot stays claimed.
// IRQL: <= DISPATCH_LEVEL. Locks: none; the caller holds the claim.
VOID TakeTransferBack(PortExtension* extension, ULONG pipe, PURB* urb, PUCHAR* buffer) {
    ASSERT_IRQL_AT_MOST(DISPATCH_LEVEL);
    const SlotFields slot = SlotOf(extension, pipe);
    *urb = *slot.urb;
    *buffer = *slot.buffer;
    *slot.irp = nullptr;
    *slot.urb = nullptr;
    *slot.buffer = nullptr;
}

// Frees a transfer's URB and data buffer. IRQL: <= DISPATCH_LEVEL.
// Locks: none.
VOID FreeTransferParts(PURB urb, PUCHAR buffer) {
    ASSERT_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (urb != nullptr) {
        ExFreePoolWithTag(urb, BRIDGESER_POOL_TAG);
    }
    if (buffer != nullptr) {
        ExFreePoolWithTag(buffer, BRIDGESER_POOL_TAG);
    }
}

// Last step of the holder of a claimed slot that holds no completed request
// (a start that found nothing to send or could not build its transfer; a
// completion routine ends with FinishTransfer instead). TRUE:
// the holder keeps the claim and sends again, because it wants to (again)
// or a start was asked for meanwhile that the holds and errors allow now,
// and no stop is under way. FALSE: the slot is given up; the stopped event
// is set when the transfer failed or a stop waits. After FALSE the holder
// touches neither the slot nor the record again.
// IRQL: <= DISPATCH_LEVEL. Locks: takes transferLock.
BOOLEAN KeepTransferSlot(PortExtension* extension, ULONG pipe, BOOLEAN again, BOOLEAN failed) {
    ASSERT_IRQL_AT_MOST(DISPATCH_LEVEL);
    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->transferLock, &oldIrql);
    const BOOLEAN keep = KeepSlotLocked(extension, pipe, again, failed);
    KeReleaseSpinLock(&extension->transferLock, oldIrql);
    return keep;
}

// Last step of a completion routine: gives back the completed request (it
// is no longer the one a stop may cancel, and it is freed unless a stop has
// pinned it: the stop frees it then) and decides about the slot as
// KeepTransferSlot does, in the same hold of transferLock.
// IRQL: <= DISPATCH_LEVEL. Locks: takes transferLock.
BOOLEAN FinishTransfer(PortExtension* extension, ULONG pipe, PIRP irp, BOOLEAN again,
                       BOOLEAN failed) {
    ASSERT_IRQL_AT_MOST(DISPATCH_LEVEL);
    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->transferLock, &oldIrql);
    TransferStopState& stop = extension->transferStop[pipe];
    const BOOLEAN freeRequest = !stop.irpPinned;
    stop.irpPinned = FALSE;
    stop.sentIrp = nullptr;
    const BOOLEAN keep = KeepSlotLocked(extension, pipe, again, failed);
    KeReleaseSpinLock(&extension->transferLock, oldIrql);
    if (freeRequest) {
        IoFreeIrp(irp);
    }
    return keep;
}

// Whether an in pipe's completion may send its transfer again as far as
// the transfer's own outcome goes: after a success (which clears the count
// of failures in a row), or after a failure other than a cancel while fewer
// than IN_TRANSFER_RETRY_LIMIT have come in a row.
// IRQL: <= DISPATCH_LEVEL. Locks: none; the caller holds the slot's claim.
BOOLEAN SendInTransferAgain(NTSTATUS status, ULONG* failuresInARow) {
    ASSERT_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (NT_SUCCESS(status)) {
        *failuresInARow = 0;
        return TRUE;
    }
    return status != STATUS_CANCELLED && ++*failuresInARow < IN_TRANSFER_RETRY_LIMIT;
}

// Stops the slot's transfer: cancels the transfer in flight and waits until
// its holder has given the slot up; returns at once when the slot is idle.
// No transfer starts on the pipe while the stop runs.
// IRQL: PASSIVE_LEVEL. Locks: none may be held; takes transferLock.
VOID StopTransfer(PortExtension* extension, ULONG pipe) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    const SlotFields slot = SlotOf(extension, pipe);
    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->transferLock, &oldIrql);
    TransferStopState& stop = extension->transferStop[pipe];
    const BOOLEAN joining = stop.stoppers != 0;
    BOOLEAN held = *slot.busy || joining;
    PIRP irp = nullptr;
    if (held) {
        ++stop.stoppers;
    }
    if (held && !joining) {
        stop.stopRequested = TRUE;
        KeClearEvent(slot.stopped);
        irp = stop.sentIrp;
        stop.irpPinned = irp != nullptr;
    }
    KeReleaseSpinLock(&extension->transferLock, oldIrql);
    if (!held) {
        return;
    }

    if (irp != nullptr) {
        IoCancelIrp(irp);
    }
    KeWaitForSingleObject(slot.stopped, Executive, KernelMode, FALSE, nullptr);

    KeAcquireSpinLock(&extension->transferLock, &oldIrql);
    if (--stop.stoppers == 0) {
        stop.stopRequested = FALSE;
        stop.startRequested = FALSE;
        KeClearEvent(slot.stopped);
    }
    KeReleaseSpinLock(&extension->transferLock, oldIrql);
    if (irp != nullptr) {
        IoFreeIrp(irp);
    }
}
