// bulk_out.cpp - the bulk-out transfer: the current write goes to the chip in
// chunks of at most 64 bytes, one transfer at a time, each built afresh and
// taken apart by its completion, which credits the bytes the device took
// and sends the next chunk.
//
// A chunk carries the number of the write it was cut from. A chunk still in
// flight when its write ended (time-out, cancel, purge) is recognised by
// that number when it completes: its count is credited to no write, since
// the ended write's unsent bytes already left writeQueuedBytes.
#include "events/events.h"
#include "transmit/transmit.h"

// Builds the transfer of the current write's next chunk into the slot.
// With nothing left to send it raises SERIAL_EV_TXEMPTY and returns
// STATUS_INTERNAL_ERROR; nothing stays half-allocated on failure. While
// bytes are queued (read as one aligned load) the transfer is built first
// and the chunk copied straight into its buffer under writeLock; otherwise
// the chunk, if the look under the lock finds one after all, goes through a
// copy on the stack into a transfer built after it.
// IRQL: <= DISPATCH_LEVEL. Locks: none held; takes writeLock. The caller
// owns the slot.
NTSTATUS PrepareBulkOutTransfer(PDEVICE_OBJECT deviceObject) {
    ASSERT_IRQL_AT_MOST(DISPATCH_LEVEL);
    PortExtension* extension = GetPortExtension(deviceObject);
    const BOOLEAN built = ReadOnce(&extension->writeQueuedBytes) != 0;
    if (built) {
        const NTSTATUS status = BuildTransfer(extension, BRIDGE_PIPE_BULK_OUT, BRIDGE_MAX_TRANSFER,
                                              USBD_TRANSFER_DIRECTION_OUT, BRIDGE_MAX_TRANSFER);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    UCHAR data[BRIDGE_MAX_TRANSFER];
    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->writeLock, &oldIrql);
    const BOOLEAN empty = extension->writeQueuedBytes == 0;
    ULONG chunk = 0;
    if (!empty && extension->currentWrite != nullptr) {
        const ULONG done = extension->writeProgress.done;
        chunk = extension->writeProgress.length - done;
        if (chunk > BRIDGE_MAX_TRANSFER) {
            chunk = BRIDGE_MAX_TRANSFER;
        }
        RtlCopyMemory(built ? extension->bulkOutBuffer : data,
                      extension->writeProgress.buffer + done, chunk);
        extension->bulkOutSequence = extension->writeSequence;
        extension->bulkOutChunk = chunk;
    }
    KeReleaseSpinLock(&extension->writeLock, oldIrql);
    if (chunk == 0) {
        if (built) {  // the queue emptied meanwhile
            PIRP irp = extension->bulkOutIrp;
            PURB urb;
            PUCHAR buffer;
            TakeTransferBack(extension, BRIDGE_PIPE_BULK_OUT, &urb, &buffer);
            IoFreeIrp(irp);
            FreeTransferParts(urb, buffer);
        }
        if (empty) {
            SignalSerialEvents(extension, SERIAL_EV_TXEMPTY);
        }
        return STATUS_INTERNAL_ERROR;
    }
    if (built) {
        extension->bulkOutUrb->UrbBulkOrInterruptTransfer.TransferBufferLength = chunk;
        return STATUS_SUCCESS;
    }
    NTSTATUS status = BuildTransfer(extension, BRIDGE_PIPE_BULK_OUT, BRIDGE_MAX_TRANSFER,
                                    USBD_TRANSFER_DIRECTION_OUT, chunk);
    if (NT_SUCCESS(status)) {
        RtlCopyMemory(extension->bulkOutBuffer, data, chunk);
    }
    return status;
}

namespace {

// Sends the current write's next chunk on the claimed slot. With nothing to
// send, or when the transfer cannot be built, the slot is given up, unless
// a start was asked for meanwhile (a write arrived), which makes it look
// again. IRQL: <= DISPATCH_LEVEL. Locks: none held; the caller holds the
// claim.
NTSTATUS SendBulkOut(PortExtension* extension) {
    ASSERT_IRQL_AT_MOST(DISPATCH_LEVEL);
    for (;;) {
        NTSTATUS status = PrepareBulkOutTransfer(extension->deviceObject);
        if (NT_SUCCESS(status)) {
            SendSlotTransfer(extension, BRIDGE_PIPE_BULK_OUT, BulkOutComplete);
            return STATUS_SUCCESS;
        }
        if (!KeepTransferSlot(extension, BRIDGE_PIPE_BULK_OUT, FALSE, FALSE)) {
            return status;
        }
    }
}

}  // namespace

// Sends the next chunk unless a transfer is in flight (or its completion is
// still running, which then starts again) or a stop is under way.
// IRQL: <= DISPATCH_LEVEL. Locks: none held.
NTSTATUS StartBulkOutTransfer(PortExtension* extension) {
    ASSERT_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (!ClaimTransferSlot(extension, BRIDGE_PIPE_BULK_OUT)) {
        return STATUS_SUCCESS;
    }
    return SendBulkOut(extension);
}

// Completion routine of the bulk-out transfer. Credits the bytes the device
// took to the write the chunk was cut from, when that write is still
// current; ends the write when all its bytes are confirmed; then sends the
// next chunk while bytes are queued, the port is open and no transmit hold
// is set, and raises SERIAL_EV_TXEMPTY when the last queued byte is
// confirmed. A failed,
// empty or stale chunk credits nothing: the same bytes go again, at most
// BULK_OUT_IDLE_LIMIT times in a row from here. A cancelled one stops the
// chain. A start asked for meanwhile (a write made current) is made anyway.
// Always returns STATUS_MORE_PROCESSING_REQUIRED.
// IRQL: <= DISPATCH_LEVEL. Locks: none held on entry; takes transferLock and
// writeLock, each alone.
NTSTATUS NTAPI BulkOutComplete(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context) {
    ASSERT_IRQL_AT_MOST(DISPATCH_LEVEL);
    UNREFERENCED_PARAMETER(deviceObject);
    PortExtension* extension = static_cast<PortExtension*>(context);
    const NTSTATUS status = irp->IoStatus.Status;
    PURB urb;
    PUCHAR buffer;
    TakeTransferBack(extension, BRIDGE_PIPE_BULK_OUT, &urb, &buffer);
    ULONG moved = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    if (moved > extension->bulkOutChunk) {
        moved = extension->bulkOutChunk;  // never more than was offered
    }
    FreeTransferParts(urb, buffer);

    BOOLEAN keepSending = FALSE;
    BOOLEAN queueEmpty = FALSE;
    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->writeLock, &oldIrql);
    PIRP write = extension->currentWrite;
    const BOOLEAN ours = write != nullptr && extension->bulkOutSequence == extension->writeSequence;
    if (NT_SUCCESS(status) && ours && moved != 0) {
        TransferProgress& progress = extension->writeProgress;
        if (ReadOnce(&extension->statsEnabled)) {
            extension->transmittedCount += moved;
        }
        progress.done += moved;
        write->IoStatus.Information = progress.done;
        extension->writeQueuedBytes -= moved;
        extension->bulkOutIdleCompletions = 0;
        keepSending = TRUE;
        queueEmpty = extension->writeQueuedBytes == 0;
        if (progress.done == progress.length && IoSetCancelRoutine(write, nullptr) != nullptr) {
            CompleteCurrentWrite(extension, STATUS_SUCCESS, oldIrql);
        } else {
            KeReleaseSpinLock(&extension->writeLock, oldIrql);
        }
    } else {
        // Nothing credited. Try again only for a write that is current and
        // only a bounded number of times; a cancelled chunk means a stop or
        // a purge, so the chain ends there.
        if (write != nullptr && status != STATUS_CANCELLED) {
            keepSending = ++extension->bulkOutIdleCompletions < BULK_OUT_IDLE_LIMIT;
        }
        KeReleaseSpinLock(&extension->writeLock, oldIrql);
    }

    if (keepSending && queueEmpty) {
        // The last byte is confirmed: the chain has nothing more to look
        // for, which is where SERIAL_EV_TXEMPTY is raised, so raise it here
        // and send again only for a write that arrived meanwhile (a start
        // asked for).
        SignalSerialEvents(extension, SERIAL_EV_TXEMPTY);
    }
    const BOOLEAN again = keepSending && !queueEmpty && ReadOnce(&extension->portOpen) &&
                          ReadOnce(&extension->txHoldFlags) == 0;
    if (FinishTransfer(extension, BRIDGE_PIPE_BULK_OUT, irp, again, !NT_SUCCESS(status))) {
        (void)SendBulkOut(extension);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Stops the bulk-out transfer: cancels the chunk in flight and waits until it
// has ended. IRQL: PASSIVE_LEVEL. Locks: none may be held.
VOID StopBulkOutTransfer(PDEVICE_OBJECT deviceObject) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    PortExtension* extension = GetPortExtension(deviceObject);
    StopTransfer(extension, BRIDGE_PIPE_BULK_OUT);
}
