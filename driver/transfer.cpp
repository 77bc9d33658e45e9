// transfer.cpp - the life of one continuously re-armed USB transfer slot
// (bulk-in, bulk-out, status) and how a stop meets it.
//
// A slot holds at most one transfer. Its busy flag is claimed under
// transferLock before anything is built, and it stays claimed until the
// transfer's completion routine has finished its work: the completion
// either sends the next transfer on the same claim or gives the slot up as
// its very last step. So two paths never both send a transfer, and a stop
// that finds the slot idle knows that no completion is still running for it.
//
// A start refused because the slot is taken is remembered; the holder
// starts again instead of giving the slot up, so no start is lost (a write
// that arrives while the last chunk's completion finds nothing to send, a
// read that arrives while a completion decides to pause the loop).
//
// A stop (close, cleanup, removal) marks the slot stopping, so nothing new
// starts and the holder gives the slot up; it cancels the transfer in flight
// and waits for the slot's event, which the holder sets when it gives the
// slot up. The stop pins the request it cancels: the completion frees the URB
// and buffer but leaves the request for the stop to free, so the
// cancellation never touches freed memory. The event is cleared when the
// stop begins, so a signal left over from an earlier failure cannot end it
// early.
//
// Requests sent down carry no cancel routine of the driver's: once the bus
// holds a request its own cancel routine is in place, and a cancellation
// that comes before the bus has it is seen by the bus through the Cancel
// flag, which is therefore never cleared here.
#include "driver/driver.h"

// Claims the slot for a new transfer. FALSE when a transfer is already in
// flight or being built or completed (the start is then remembered for the
// holder), or a stop is under way.
// IRQL: <= DISPATCH_LEVEL. Locks: takes transferLock.
BOOLEAN ClaimTransferSlot(PortExtension* extension, ULONG pipe, volatile BOOLEAN* busy) {
    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->transferLock, &oldIrql);
    TransferStopState& stop = extension->transferStop[pipe];
    BOOLEAN claimed = !*busy && !stop.stopRequested;
    if (claimed) {
        *busy = TRUE;
    } else if (!stop.stopRequested) {
        stop.startRequested = TRUE;
    }
    KeReleaseSpinLock(&extension->transferLock, oldIrql);
    return claimed;
}

// Records the request about to be sent on the claimed slot. FALSE when a
// stop began meanwhile: the caller then frees what it built and gives the
// slot up with KeepTransferSlot (which ends the stop's wait), in that order,
// so nothing of the transfer outlives the stop.
// IRQL: <= DISPATCH_LEVEL. Locks: takes transferLock.
BOOLEAN MarkTransferSent(PortExtension* extension, ULONG pipe, PIRP irp) {
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

// First step of a completion routine: the transfer is no longer in flight
// (the slot stays claimed). Returns TRUE when the completion frees the
// request, FALSE when a stop has pinned it and frees it itself.
// IRQL: <= DISPATCH_LEVEL. Locks: takes transferLock.
BOOLEAN TakeTransferBack(PortExtension* extension, ULONG pipe) {
    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->transferLock, &oldIrql);
    TransferStopState& stop = extension->transferStop[pipe];
    BOOLEAN freeRequest = !stop.irpPinned;
    stop.irpPinned = FALSE;
    stop.sentIrp = nullptr;
    KeReleaseSpinLock(&extension->transferLock, oldIrql);
    return freeRequest;
}

// Last step of the holder of a claimed slot (a completion routine, or a
// start that found nothing to send or could not build its transfer). TRUE:
// the holder keeps the claim and sends again, because it wants to (again)
// or a start was asked for meanwhile, and no stop is under way. FALSE: the
// slot is given up; the stopped event is set when the transfer failed or a
// stop waits. After FALSE the holder touches neither the slot nor the
// record again. IRQL: <= DISPATCH_LEVEL. Locks: takes transferLock.
BOOLEAN KeepTransferSlot(PortExtension* extension, ULONG pipe, volatile BOOLEAN* busy,
                         PKEVENT stopped, BOOLEAN again, BOOLEAN failed) {
    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->transferLock, &oldIrql);
    TransferStopState& stop = extension->transferStop[pipe];
    BOOLEAN keep = !stop.stopRequested && (again || stop.startRequested);
    stop.startRequested = FALSE;
    if (!keep) {
        *busy = FALSE;
        if (failed || stop.stopRequested) {
            KeSetEvent(stopped, IO_NO_INCREMENT, FALSE);
        }
    }
    KeReleaseSpinLock(&extension->transferLock, oldIrql);
    return keep;
}

// Stops the slot's transfer: cancels the transfer in flight and waits until
// its holder has given the slot up; returns at once when the slot is idle.
// No transfer starts on the pipe while the stop runs.
// IRQL: PASSIVE_LEVEL. Locks: none may be held; takes transferLock.
VOID StopTransfer(PortExtension* extension, ULONG pipe, volatile BOOLEAN* busy, PKEVENT stopped) {
    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->transferLock, &oldIrql);
    TransferStopState& stop = extension->transferStop[pipe];
    BOOLEAN held = *busy;
    PIRP irp = nullptr;
    if (held) {
        stop.stopRequested = TRUE;
        KeClearEvent(stopped);
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
    KeWaitForSingleObject(stopped, Executive, KernelMode, FALSE, nullptr);

    KeAcquireSpinLock(&extension->transferLock, &oldIrql);
    stop.stopRequested = FALSE;
    stop.startRequested = FALSE;
    KeClearEvent(stopped);
    KeReleaseSpinLock(&extension->transferLock, oldIrql);
    if (irp != nullptr) {
        IoFreeIrp(irp);
    }
}

// Sends a transfer request built by the caller down to the USB stack as
// IOCTL_INTERNAL_USB_SUBMIT_URB with the given completion routine, invoked
// on success, error and cancel. The outcome arrives only through the
// completion routine. IRQL: <= DISPATCH_LEVEL. Locks: none may be held.
VOID SendTransfer(PortExtension* extension, PIRP irp, PURB urb,
                  PIO_COMPLETION_ROUTINE completionRoutine) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(irp, completionRoutine, extension, TRUE, TRUE, TRUE);
    (void)IofCallDriver(extension->lowerDeviceObject, irp);
}
