// transfer.cpp - the life of one continuously re-armed USB transfer slot
// (bulk-in, bulk-out, status) and how a stop meets it.
//
// A slot holds at most one transfer. Its busy flag is claimed under
// transferLock before anything is built, so two paths that try to start a
// transfer at once never both send one. While a stop is under way the slot
// cannot be claimed, and a transfer claimed just before the stop began is
// abandoned before it is sent. A stop that finds a transfer in flight pins
// its request: the completion routine then takes the transfer apart but
// leaves the request itself for the stop to free, so the stop's
// cancellation never touches freed memory. The slot's stopped event is
// cleared when a stop begins and set by the transfer that ends while the
// stop waits, so a signal left over from an earlier failure cannot end a
// later stop early.
//
// Requests sent down carry no cancel routine of the driver's: once the bus
// holds a request its own cancel routine is in place, and a cancellation
// that comes before the bus has it is seen by the bus through the Cancel
// flag, which is therefore never cleared here.
#include "driver/driver.h"

// Claims the slot for a new transfer. FALSE when a transfer is already in
// flight (or being built) or a stop is under way. A start refused because
// the slot is taken is remembered, and the holder starts again when it gives
// the slot up: a holder that was about to find nothing to send must not make
// a write that arrived meanwhile wait for the next status report.
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

// Records the request about to be sent. FALSE when a stop began while the
// transfer was being built: the slot is then released (and the stop's wait
// ended), and the caller frees what it built instead of sending it.
// IRQL: <= DISPATCH_LEVEL. Locks: takes transferLock.
BOOLEAN MarkTransferSent(PortExtension* extension, ULONG pipe, volatile BOOLEAN* busy,
                         PKEVENT stopped, PIRP irp) {
    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->transferLock, &oldIrql);
    TransferStopState& stop = extension->transferStop[pipe];
    BOOLEAN send = !stop.stopRequested;
    if (send) {
        stop.sentIrp = irp;
    } else {
        *busy = FALSE;
        stop.startRequested = FALSE;
        KeSetEvent(stopped, IO_NO_INCREMENT, FALSE);
    }
    KeReleaseSpinLock(&extension->transferLock, oldIrql);
    return send;
}

// Ends the slot's transfer: the slot is free again. *freeRequest tells
// whether the caller frees the request (FALSE when a stop has pinned it and
// frees it itself); *startWanted (when asked) whether a start was refused
// while the slot was held, which the caller then makes. Returns TRUE when the
// caller must set the slot's stopped event once it has finished with the
// transfer (as its last step): the transfer failed, or a stop waits for it.
// Also used when a transfer could not be built (nothing was sent).
// IRQL: <= DISPATCH_LEVEL. Locks: takes transferLock.
BOOLEAN ReleaseTransferSlot(PortExtension* extension, ULONG pipe, volatile BOOLEAN* busy,
                            BOOLEAN failed, BOOLEAN* freeRequest, BOOLEAN* startWanted) {
    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->transferLock, &oldIrql);
    TransferStopState& stop = extension->transferStop[pipe];
    if (startWanted != nullptr) {
        *startWanted = stop.startRequested && !stop.stopRequested;
    }
    stop.startRequested = FALSE;
    *freeRequest = !stop.irpPinned;
    stop.irpPinned = FALSE;
    stop.sentIrp = nullptr;
    *busy = FALSE;
    BOOLEAN signal = failed || stop.stopRequested;
    KeReleaseSpinLock(&extension->transferLock, oldIrql);
    return signal;
}

// Stops the slot's transfer: cancels the transfer in flight and waits until
// its completion has finished; returns at once when the slot is idle. No
// transfer starts on the pipe while the stop runs.
// IRQL: PASSIVE_LEVEL. Locks: none may be held; takes transferLock.
VOID StopTransfer(PortExtension* extension, ULONG pipe, volatile BOOLEAN* busy, PKEVENT stopped) {
    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->transferLock, &oldIrql);
    TransferStopState& stop = extension->transferStop[pipe];
    BOOLEAN inFlight = *busy;
    PIRP irp = nullptr;
    if (inFlight) {
        stop.stopRequested = TRUE;
        KeClearEvent(stopped);
        irp = stop.sentIrp;
        stop.irpPinned = irp != nullptr;
    }
    KeReleaseSpinLock(&extension->transferLock, oldIrql);
    if (!inFlight) {
        return;
    }

    // A transfer still being built when the stop began is abandoned by its
    // starter, which sets the event; one in flight is cancelled and its
    // completion sets the event after leaving the pinned request here.
    if (irp != nullptr) {
        IoCancelIrp(irp);
    }
    KeWaitForSingleObject(stopped, Executive, KernelMode, FALSE, nullptr);

    KeAcquireSpinLock(&extension->transferLock, &oldIrql);
    stop.stopRequested = FALSE;
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
