// bulk_in.cpp - the bulk-in transfer loop, the receive ring and the
// identification capture.
//
// At most one bulk-in transfer of up to 64 bytes is in flight per port. Each
// is built afresh from non-paged pool and taken apart by its completion,
// which stores the bytes in the ring, raises the receive events, hands the
// bytes to waiting reads and re-arms the loop while the port is open and
// reception is neither held nor in error.
#include "events/events.h"
#include "receive/receive.h"

namespace {

// The reference reply to the identification query: the query's echo, a
// carriage return and line feed, then the expected maker's 13 bytes. The
// capture holds exactly the whole reply.
constexpr UCHAR kReferenceReply[] = {
    // the query's echo
    0x41, 0x54, 0x2B, 0x43, 0x47, 0x4D, 0x49, 0x0D,
    // carriage return, line feed
    0x0D, 0x0A,
    // the maker
    0x53, 0x6F, 0x6E, 0x79, 0x20, 0x45, 0x72, 0x69, 0x63, 0x73, 0x73, 0x6F, 0x6E,
};
static_assert(sizeof(kReferenceReply) == IDENTIFICATION_CAPTURE_SIZE,
              "the capture holds the whole reference reply");

}  // namespace

// Allocates the request, URB and 64-byte buffer of one bulk-in transfer and
// fills the URB; sends nothing. Nothing stays half-allocated on failure.
// IRQL: <= DISPATCH_LEVEL. Locks: none; the caller owns the slot or the
// port is being opened.
NTSTATUS PrepareBulkInTransfer(PDEVICE_OBJECT deviceObject) {
    ASSERT_IRQL_AT_MOST(DISPATCH_LEVEL);
    return BuildTransfer(GetPortExtension(deviceObject), BRIDGE_PIPE_BULK_IN, BRIDGE_MAX_TRANSFER,
                         USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, BRIDGE_MAX_TRANSFER);
}

namespace {

// Sends a bulk-in transfer on the claimed slot, building it first when the
// slot holds none (open prepares the first). When the transfer cannot be
// built the slot is given up: the next read or status report starts the
// loop again.
// IRQL: <= DISPATCH_LEVEL. Locks: none held; the caller holds the claim.
NTSTATUS SendBulkIn(PortExtension* extension) {
    ASSERT_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (extension->bulkInIrp == nullptr) {
        NTSTATUS status = PrepareBulkInTransfer(extension->deviceObject);
        if (!NT_SUCCESS(status)) {
            (void)KeepTransferSlot(extension, BRIDGE_PIPE_BULK_IN, FALSE, TRUE);
            return status;
        }
    }
    SendSlotTransfer(extension, BRIDGE_PIPE_BULK_IN, BulkInComplete);
    return STATUS_SUCCESS;
}

}  // namespace

// Sends the bulk-in transfer on a slot the caller has claimed (built first
// unless the caller prepared it), with the count of failures in a row
// starting afresh. IRQL: <= DISPATCH_LEVEL. Locks: none held; the caller
// holds the claim.
NTSTATUS SendClaimedBulkIn(PortExtension* extension) {
    ASSERT_IRQL_AT_MOST(DISPATCH_LEVEL);
    extension->bulkInFailedCompletions = 0;
    return SendBulkIn(extension);
}

// Sends the bulk-in transfer unless one is already in flight (or its
// completion is still running, which then starts again) or a stop is under
// way; both report success.
// IRQL: <= DISPATCH_LEVEL. Locks: none held; takes transferLock.
NTSTATUS StartBulkInTransfer(PortExtension* extension) {
    ASSERT_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (!ClaimTransferSlot(extension, BRIDGE_PIPE_BULK_IN)) {
        return STATUS_SUCCESS;
    }
    return SendClaimedBulkIn(extension);
}

// Completion routine of the bulk-in transfer. Takes the bytes into the ring
// (those a read waiting on an empty ring takes go straight into it), raises
// SERIAL_EV_RXFLAG, hands the bytes to reads (in the same hold of readLock
// unless SERIAL_EV_RXFLAG came between), raises SERIAL_EV_RXCHAR and
// SERIAL_EV_RX80FULL for what stays in the ring, and re-arms while the port
// is open and reception is neither held nor in error. A failed transfer
// takes no byte and is sent again on the same terms, at most
// IN_TRANSFER_RETRY_LIMIT times in a row: the chip keeps receiving while the
// loop is idle, and its FIFO would overflow unreported before a read
// restarted it. A cancelled one stops the loop (a stop or a purge). Either
// way a start asked for meanwhile (a read made current) is made. The slot
// stays claimed until the last step, which also gives the request back.
// Always returns STATUS_MORE_PROCESSING_REQUIRED: the driver frees its
// request.
// IRQL: <= DISPATCH_LEVEL. Locks: none held on entry; takes transferLock,
// readLock, controlLock, each alone.
NTSTATUS NTAPI BulkInComplete(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context) {
    ASSERT_IRQL_AT_MOST(DISPATCH_LEVEL);
    UNREFERENCED_PARAMETER(deviceObject);
    PortExtension* extension = static_cast<PortExtension*>(context);
    const NTSTATUS status = irp->IoStatus.Status;
    PURB urb;
    PUCHAR buffer;
    TakeTransferBack(extension, BRIDGE_PIPE_BULK_IN, &urb, &buffer);
    // A device that claims more than the buffer holds is believed only as
    // far as the buffer goes.
    ULONG count = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    if (count > BRIDGE_MAX_TRANSFER) {
        count = BRIDGE_MAX_TRANSFER;
    }

    if (NT_SUCCESS(status)) {
        KIRQL oldIrql;
        KeAcquireSpinLock(&extension->readLock, &oldIrql);
        if (ReadOnce(&extension->statsEnabled)) {
            extension->receivedCount += count;
        }
        // Bytes a waiting read takes from an empty ring go straight into it.
        const ULONG placed = PlaceIntoCurrentRead(extension, buffer, count);
        AppendToReceiveRing(extension, buffer + placed, count - placed);
        const BOOLEAN eventCharSeen = extension->eventCharSeen;
        extension->eventCharSeen = FALSE;
        if (eventCharSeen) {
            // SERIAL_EV_RXFLAG goes out between the store and the delivery.
            KeReleaseSpinLock(&extension->readLock, oldIrql);
            SignalSerialEvents(extension, SERIAL_EV_RXFLAG);
            DeliverReceivedData(extension);
        } else {
            DeliverReceivedDataLocked(extension, oldIrql);
        }
        FreeTransferParts(urb, buffer);
        ULONG held = ReadOnce(&extension->rxRingCount);
        ULONG events = 0;
        if (held >= RECEIVE_RING_80_PERCENT) {
            events |= SERIAL_EV_RX80FULL;
        }
        if (held != 0) {
            events |= SERIAL_EV_RXCHAR;
        }
        SignalSerialEvents(extension, events);
    } else {
        FreeTransferParts(urb, buffer);
    }
    const BOOLEAN again = SendInTransferAgain(status, &extension->bulkInFailedCompletions) &&
                          ReadOnce(&extension->portOpen) &&
                          ReadOnce(&extension->rxHoldFlags) == 0 &&
                          ReadOnce(&extension->errorFlags) == 0;

    if (FinishTransfer(extension, BRIDGE_PIPE_BULK_IN, irp, again, !NT_SUCCESS(status))) {
        (void)SendBulkIn(extension);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Stops the bulk-in loop: cancels the transfer in flight and waits until it
// has ended. IRQL: PASSIVE_LEVEL. Locks: none may be held.
VOID StopBulkInTransfer(PDEVICE_OBJECT deviceObject) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    PortExtension* extension = GetPortExtension(deviceObject);
    StopTransfer(extension, BRIDGE_PIPE_BULK_IN);
}

// Appends a transfer's bytes to the ring in at most two block copies. A held
// byte is never overwritten: bytes that do not fit are dropped and
// SERIAL_ERROR_QUEUEOVERRUN records the loss, which pauses the loop until a
// reader clears it. A transfer whose last byte exactly fills the ring loses
// nothing and records nothing. Notes an EventChar byte in eventCharSeen when
// the wait mask asks for SERIAL_EV_RXFLAG (the mask and the character are
// read once each, without controlLock).
// IRQL: DISPATCH_LEVEL. Locks: readLock held.
VOID AppendToReceiveRing(PortExtension* extension, const UCHAR* bytes, ULONG count) {
    ASSERT_IRQL(DISPATCH_LEVEL);
    if (count == 0) {
        return;
    }
    ULONG room = RECEIVE_RING_SIZE - extension->rxRingCount;
    ULONG take = count < room ? count : room;
    if (take < count) {
        InterlockedOr(AsInterlockedLong(&extension->errorFlags), SERIAL_ERROR_QUEUEOVERRUN);
    }
    if (take == 0) {
        return;
    }

    if ((ReadOnce(&extension->waitMask) & SERIAL_EV_RXFLAG) != 0) {
        const UCHAR eventChar = ReadOnce(&extension->chars.EventChar);
        for (ULONG i = 0; i < take; ++i) {
            if (bytes[i] == eventChar) {
                extension->eventCharSeen = TRUE;
                break;
            }
        }
    }

    ULONG toEnd = RECEIVE_RING_SIZE - extension->rxRingWriteIndex;
    ULONG first = take < toEnd ? take : toEnd;
    RtlCopyMemory(extension->rxRingBuffer + extension->rxRingWriteIndex, bytes, first);
    if (take > first) {
        RtlCopyMemory(extension->rxRingBuffer, bytes + first, take - first);
    }
    extension->rxRingWriteIndex = (extension->rxRingWriteIndex + take) % RECEIVE_RING_SIZE;
    extension->rxRingCount += take;
}

// Moves up to count of the oldest bytes out of the ring into destination in
// at most two block copies; returns the number moved. The read index may be
// left at the ring's end; the next copy then starts at position 0.
// IRQL: DISPATCH_LEVEL. Locks: readLock held.
ULONG CopyFromReceiveRing(PortExtension* extension, PUCHAR destination, ULONG count) {
    ASSERT_IRQL(DISPATCH_LEVEL);
    if (count > extension->rxRingCount) {
        count = extension->rxRingCount;
    }
    ULONG first = RECEIVE_RING_SIZE - extension->rxRingReadIndex;
    if (count <= first) {
        RtlCopyMemory(destination, extension->rxRingBuffer + extension->rxRingReadIndex, count);
        extension->rxRingReadIndex += count;
    } else {
        RtlCopyMemory(destination, extension->rxRingBuffer + extension->rxRingReadIndex, first);
        RtlCopyMemory(destination + first, extension->rxRingBuffer, count - first);
        extension->rxRingReadIndex = count - first;
    }
    extension->rxRingCount -= count;
    return count;
}

// Offers bytes just placed into a read's buffer to the identification
// capture. The capture is driver-wide; the first port to deliver bytes after
// the query claims it (an interlocked exchange of captureOwner), so two
// ports reading at once never interleave their bytes in captureBuffer, and
// only the owner, under its readLock, touches the buffer and the count. At
// 23 bytes the reply is compared once and the capture ends.
// IRQL: DISPATCH_LEVEL. Locks: the port's readLock held.
VOID CaptureIdentificationBytes(PortExtension* extension, const UCHAR* bytes, ULONG count) {
    ASSERT_IRQL(DISPATCH_LEVEL);
    if (ReadOnce(&DriverGlobals.probePending) || !ReadOnce(&DriverGlobals.captureEnabled) ||
        count == 0) {
        return;
    }
    PVOID owner =
        InterlockedCompareExchangePointer(&DriverGlobals.captureOwner, extension, nullptr);
    if (owner != nullptr && owner != extension) {
        return;
    }
    ULONG room = IDENTIFICATION_CAPTURE_SIZE - DriverGlobals.captureCount;
    ULONG take = count < room ? count : room;
    RtlCopyMemory(DriverGlobals.captureBuffer + DriverGlobals.captureCount, bytes, take);
    DriverGlobals.captureCount += take;
    if (DriverGlobals.captureCount == IDENTIFICATION_CAPTURE_SIZE) {
        DriverGlobals.force230400 = MatchIdentificationReply(DriverGlobals.captureBuffer);
        DriverGlobals.captureEnabled = FALSE;
        DriverGlobals.captureCount = 0;
    }
}

// TRUE when the 23 bytes are the reference reply. IRQL: any. Locks: none.
BOOLEAN MatchIdentificationReply(const UCHAR* reply) {
    for (ULONG i = 0; i < IDENTIFICATION_CAPTURE_SIZE; ++i) {
        if (reply[i] != kReferenceReply[i]) {
            return FALSE;
        }
    }
    return TRUE;
}
