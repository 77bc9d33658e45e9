// status_pipe.cpp - the interrupt-in status transfer and what each report
// sets in motion.
//
// While the port is open one 4-byte transfer stays outstanding on pipe 0,
// re-armed from its own completion. A report is accepted only whole (4
// bytes) and with the marker 0xE8; a shorter one, or one without the marker,
// changes nothing and raises no event, but the pipe is re-armed and the data
// transfers are pumped as after any report. A failed transfer is sent again,
// up to IN_TRANSFER_RETRY_LIMIT failures in a row, which stop the pipe until
// the next open: one lost report must not freeze the modem lines, and with
// them a handshake hold, for the rest of the session.
#include "events/events.h"
#include "receive/receive.h"
#include "status/status.h"
#include "transmit/transmit.h"

// Allocates and fills the request, URB and 4-byte buffer of one status
// transfer into the slot; nothing stays half-allocated on failure.
// IRQL: <= DISPATCH_LEVEL. Locks: none; the caller owns the slot.
NTSTATUS PrepareStatusTransfer(PDEVICE_OBJECT deviceObject) {
    ASSERT_IRQL_AT_MOST(DISPATCH_LEVEL);
    return BuildTransfer(
        GetPortExtension(deviceObject), BRIDGE_PIPE_STATUS, BRIDGE_STATUS_REPORT_SIZE,
        USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, BRIDGE_STATUS_REPORT_SIZE);
}

namespace {

// Sends the status transfer on the claimed slot; gives the slot up when the
// transfer cannot be built. IRQL: <= DISPATCH_LEVEL. Locks: none held; the
// caller holds the claim.
NTSTATUS SendStatus(PortExtension* extension) {
    ASSERT_IRQL_AT_MOST(DISPATCH_LEVEL);
    NTSTATUS status = PrepareStatusTransfer(extension->deviceObject);
    if (!NT_SUCCESS(status)) {
        (void)KeepTransferSlot(extension, BRIDGE_PIPE_STATUS, FALSE, TRUE);
        return status;
    }
    SendSlotTransfer(extension, BRIDGE_PIPE_STATUS, StatusTransferComplete);
    return STATUS_SUCCESS;
}

}  // namespace

// Sends the status transfer unless one is outstanding or a stop is under way.
// IRQL: <= DISPATCH_LEVEL. Locks: none held.
NTSTATUS StartStatusTransfer(PortExtension* extension) {
    ASSERT_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (!ClaimTransferSlot(extension, BRIDGE_PIPE_STATUS)) {
        return STATUS_SUCCESS;
    }
    extension->statusFailedCompletions = 0;
    return SendStatus(extension);
}

namespace {

// Derives the transmit and receive hold words from the configured handshake
// and the line levels of the modem-status shadow.
// IRQL: <= DISPATCH_LEVEL. Locks: controlLock held.
VOID DeriveHolds(PortExtension* extension) _Requires_lock_held_(extension->controlLock) {
    ASSERT_IRQL_AT_MOST(DISPATCH_LEVEL);
    const UCHAR modem = extension->modemStatus;
    const ULONG handshake = extension->handFlow.ControlHandShake;
    ULONG txHold = 0;
    if ((handshake & SERIAL_CTS_HANDSHAKE) && !(modem & MSR_CTS)) txHold |= TX_HOLD_CTS;
    if ((handshake & SERIAL_DSR_HANDSHAKE) && !(modem & MSR_DSR)) txHold |= TX_HOLD_DSR;
    if ((handshake & SERIAL_DCD_HANDSHAKE) && !(modem & MSR_DCD)) txHold |= TX_HOLD_DCD;
    extension->txHoldFlags =
        (extension->txHoldFlags & ~(TX_HOLD_CTS | TX_HOLD_DSR | TX_HOLD_DCD)) | txHold;
    if ((handshake & SERIAL_DSR_SENSITIVITY) && !(modem & MSR_DSR)) {
        extension->rxHoldFlags |= RX_HOLD_DSR;
    } else {
        extension->rxHoldFlags &= ~RX_HOLD_DSR;
    }
}

}  // namespace

// Derives the hold words afresh from the handshake settings and the
// modem-status shadow: after a settings change or an open, a hold takes
// effect (or ends) at once, not at the next status report.
// IRQL: <= DISPATCH_LEVEL. Locks: none held; takes controlLock.
VOID UpdateHoldFlags(PortExtension* extension) {
    ASSERT_IRQL_AT_MOST(DISPATCH_LEVEL);
    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->controlLock, &oldIrql);
    DeriveHolds(extension);
    KeReleaseSpinLock(&extension->controlLock, oldIrql);
}

// Restarts the data transfers that may run: bulk-out while bytes are queued
// and no transmit hold is set, bulk-in while no receive hold or error is
// set; only while the port is open. Each start does nothing while its
// transfer is in flight. IRQL: <= DISPATCH_LEVEL. Locks: none held.
VOID PumpDataTransfers(PortExtension* extension) {
    ASSERT_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (ReadOnce(&extension->portOpen) && ReadOnce(&extension->txHoldFlags) == 0 &&
        ReadOnce(&extension->writeQueuedBytes) != 0) {
        (void)StartBulkOutTransfer(extension);
    }
    if (ReadOnce(&extension->portOpen) && ReadOnce(&extension->rxHoldFlags) == 0 &&
        ReadOnce(&extension->errorFlags) == 0) {
        (void)StartBulkInTransfer(extension);
    }
}

// Takes one accepted report: keeps it, sets the modem-status shadow (the
// line states, without the change bits), derives the transmit and receive
// hold words from the configured handshake, and raises the line events of
// its change bits (an empty set too, so a wait with events already recorded
// can complete). IRQL: <= DISPATCH_LEVEL. Locks: none held; takes
// controlLock.
VOID ApplyStatusReport(PortExtension* extension, const UCHAR* report) {
    ASSERT_IRQL_AT_MOST(DISPATCH_LEVEL);
    const UCHAR modem = report[3];
    ULONG events = 0;
    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->controlLock, &oldIrql);
    RtlCopyMemory(extension->statusReport, report, BRIDGE_STATUS_REPORT_SIZE);
    extension->modemStatus = modem & MSR_LINE_STATES;
    DeriveHolds(extension);
    if (modem & MSR_DELTA_CTS) events |= SERIAL_EV_CTS;
    if (modem & MSR_DELTA_DSR) events |= SERIAL_EV_DSR;
    if (modem & MSR_TRAILING_RI) events |= SERIAL_EV_RING;
    if (modem & MSR_DELTA_DCD) events |= SERIAL_EV_RLSD;
    KeReleaseSpinLock(&extension->controlLock, oldIrql);
    SignalSerialEvents(extension, events);
}

// Completion routine of the status transfer: applies an accepted report,
// restarts the bulk-out transfer (bytes queued, no transmit hold) and the
// bulk-in transfer (no receive hold, no error), and re-arms while the port
// is open. A failed transfer is re-armed too, up to the retry limit; a
// cancelled one stops the pipe (a stop). The slot stays claimed until the
// last step. Always returns STATUS_MORE_PROCESSING_REQUIRED.
// IRQL: <= DISPATCH_LEVEL. Locks: none held on entry.
NTSTATUS NTAPI StatusTransferComplete(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context) {
    ASSERT_IRQL_AT_MOST(DISPATCH_LEVEL);
    UNREFERENCED_PARAMETER(deviceObject);
    PortExtension* extension = static_cast<PortExtension*>(context);
    const NTSTATUS status = irp->IoStatus.Status;
    PURB urb;
    PUCHAR buffer;
    TakeTransferBack(extension, BRIDGE_PIPE_STATUS, &urb, &buffer);
    const ULONG length = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;

    if (NT_SUCCESS(status) && length == BRIDGE_STATUS_REPORT_SIZE &&
        buffer[0] == STATUS_REPORT_MARKER) {
        ApplyStatusReport(extension, buffer);
    }
    FreeTransferParts(urb, buffer);

    if (NT_SUCCESS(status)) {
        PumpDataTransfers(extension);
    }
    const BOOLEAN again = SendInTransferAgain(status, &extension->statusFailedCompletions);
    if (FinishTransfer(extension, BRIDGE_PIPE_STATUS, irp, again && ReadOnce(&extension->portOpen),
                       !NT_SUCCESS(status))) {
        (void)SendStatus(extension);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Stops the status pipe: cancels the transfer outstanding and waits until it
// has ended. IRQL: PASSIVE_LEVEL. Locks: none may be held.
VOID StopStatusTransfer(PDEVICE_OBJECT deviceObject) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    PortExtension* extension = GetPortExtension(deviceObject);
    StopTransfer(extension, BRIDGE_PIPE_STATUS);
}
