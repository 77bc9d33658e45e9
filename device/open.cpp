// open.cpp - IRP_MJ_CREATE, IRP_MJ_CLEANUP and IRP_MJ_CLOSE: the exclusive
// open, which programs the chip and starts the status and bulk-in
// transfers; cleanup and close, which stop the three transfers and end every
// held request; and the stop of all I/O and the abort of the pipes that Plug
// and Play uses.
#include "device/device.h"
#include "driver/driver.h"
#include "events/events.h"
#include "receive/receive.h"
#include "status/status.h"
#include "transmit/transmit.h"
#include "uart/uart.h"

namespace {

// Marks every pipe of the selected interface open or closed.
// IRQL: PASSIVE_LEVEL. Locks: none; open and close only.
VOID MarkPipes(PortExtension* extension, BOOLEAN open) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    if (extension->interfaceInfo == nullptr) {
        return;
    }
    const ULONG pipes = extension->interfaceInfo->NumberOfPipes;
    for (ULONG i = 0; i < pipes && i < BRIDGE_PIPE_COUNT; ++i) {
        if (InterlockedExchange(&extension->pipeState[i].pipeOpen, open) != open) {
            if (open) {
                InterlockedIncrement(AsInterlockedLong(&extension->openPipeCount));
            } else {
                InterlockedDecrement(AsInterlockedLong(&extension->openPipeCount));
            }
        }
    }
}

// Frees the receive ring and empties its indexes.
// IRQL: PASSIVE_LEVEL. Locks: none held; takes readLock.
VOID FreeReceiveRing(PortExtension* extension) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->readLock, &oldIrql);
    PUCHAR ring = extension->rxRingBuffer;
    extension->rxRingBuffer = nullptr;
    extension->rxRingSize = 0;
    extension->rxRingCount = 0;
    extension->rxRingReadIndex = 0;
    extension->rxRingWriteIndex = 0;
    KeReleaseSpinLock(&extension->readLock, oldIrql);
    if (ring != nullptr) {
        ExFreePoolWithTag(ring, BRIDGESER_POOL_TAG);
    }
}

// Undoes an open that failed after the port was marked open, so that a
// later open can succeed: the transfers it started are stopped, the pipes
// unmarked, the port marked closed and the ring freed.
// IRQL: PASSIVE_LEVEL. Locks: none held.
VOID UndoOpen(PDEVICE_OBJECT deviceObject) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    PortExtension* extension = GetPortExtension(deviceObject);
    MarkPortClosed(extension);
    StopStatusTransfer(deviceObject);
    StopBulkInTransfer(deviceObject);
    MarkPipes(extension, FALSE);
    FreeReceiveRing(extension);
}

// Clears the hold and error words. A status completion may be deriving the
// holds at the same moment: they are cleared under controlLock, the error
// word by an interlocked exchange, as every other path changes them.
// IRQL: PASSIVE_LEVEL. Locks: takes controlLock.
VOID ClearHoldAndErrorWords(PortExtension* extension) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->controlLock, &oldIrql);
    extension->txHoldFlags = 0;
    extension->rxHoldFlags = 0;
    KeReleaseSpinLock(&extension->controlLock, oldIrql);
    InterlockedExchange(AsInterlockedLong(&extension->errorFlags), 0);
}

}  // namespace

// Marks the port closed and clears the hold and error words: no completion
// re-arms a transfer after this. IRQL: PASSIVE_LEVEL. Locks: takes openMutex,
// then controlLock.
VOID MarkPortClosed(PortExtension* extension) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    KeWaitForSingleObject(&extension->openMutex, Executive, KernelMode, FALSE, nullptr);
    extension->portOpen = FALSE;
    ClearHoldAndErrorWords(extension);
    KeReleaseMutex(&extension->openMutex, FALSE);
}

// IRP_MJ_CREATE: the exclusive open. Refuses an open into the device's
// namespace (a file name after the device's own: there is none), an open of
// a device being removed (STATUS_DELETE_PENDING) and of one that is not in
// service because its start failed, never came, or it is stopped
// (STATUS_DEVICE_NOT_READY, with no traffic). Otherwise resets the per-open
// state, allocates the receive ring, powers the device up if it is not in
// D0, programs 115200 baud, drops and raises DTR and RTS, reads the modem
// status, derives the transmit and receive holds from it and starts the
// status and bulk-in transfers. An open that fails after the port was
// marked open is undone, so the port can be opened again.
// IRQL: PASSIVE_LEVEL. Locks: takes openMutex for the state update.
NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT deviceObject, PIRP irp) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    PortExtension* extension = GetPortExtension(deviceObject);
    if (!NT_SUCCESS(AcquireRequestLock(deviceObject, irp))) {
        return RefuseRequest(irp, STATUS_DELETE_PENDING);
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    if (file != nullptr && file->FileName.Length != 0) {
        return CompleteRequest(irp, STATUS_OBJECT_NAME_NOT_FOUND, 0);
    }
    if (ReadOnce(&extension->removed)) {
        return CompleteRequest(irp, STATUS_DELETE_PENDING, 0);
    }
    if (!ReadOnce(&extension->started) || ReadOnce(&extension->interfaceInfo) == nullptr) {
        return CompleteRequest(irp, STATUS_DEVICE_NOT_READY, 0);
    }
    (void)PowerUpForUse(deviceObject);

    KeWaitForSingleObject(&extension->openMutex, Executive, KernelMode, FALSE, nullptr);
    if (extension->portOpen) {
        KeReleaseMutex(&extension->openMutex, FALSE);
        return CompleteRequest(irp, STATUS_ACCESS_DENIED, 0);
    }
    PUCHAR ring = static_cast<PUCHAR>(
        ExAllocatePoolWithTag(NonPagedPoolNx, RECEIVE_RING_SIZE, BRIDGESER_POOL_TAG));
    extension->portOpen = TRUE;
    extension->baudRate = 115200;
    extension->statsEnabled = FALSE;
    ClearHoldAndErrorWords(extension);
    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->controlLock, &oldIrql);
    extension->statusReport[0] = STATUS_REPORT_NONE;
    extension->eventHistory = 0;
    extension->waitMask = 0;
    KeReleaseSpinLock(&extension->controlLock, oldIrql);
    KeAcquireSpinLock(&extension->readLock, &oldIrql);
    extension->rxRingBuffer = ring;
    extension->rxRingSize = RECEIVE_RING_SIZE;
    extension->rxRingCount = 0;
    extension->rxRingReadIndex = 0;
    extension->rxRingWriteIndex = 0;
    extension->eventCharSeen = FALSE;
    KeReleaseSpinLock(&extension->readLock, oldIrql);
    KeAcquireSpinLock(&extension->writeLock, &oldIrql);
    extension->writeQueuedBytes = 0;
    KeReleaseSpinLock(&extension->writeLock, oldIrql);
    InterlockedExchange(&DriverGlobals.reportLinesOnNextWait, TRUE);  // driver-wide
    KeReleaseMutex(&extension->openMutex, FALSE);

    if (ring == nullptr) {
        UndoOpen(deviceObject);
        return CompleteRequest(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    }

    NTSTATUS status = ProgramBaudRate(deviceObject);
    (void)ClearDtr(deviceObject);
    (void)ClearRts(deviceObject);
    (void)SetDtr(deviceObject);
    (void)SetRts(deviceObject);
    UCHAR modemStatus = 0;
    if (NT_SUCCESS(ReadUartRegister(deviceObject, UART_REG_MODEM_STATUS, &modemStatus))) {
        KeAcquireSpinLock(&extension->controlLock, &oldIrql);
        extension->modemStatus = modemStatus;
        KeReleaseSpinLock(&extension->controlLock, oldIrql);
    }
    UpdateHoldFlags(extension);
    if (!NT_SUCCESS(status)) {
        UndoOpen(deviceObject);
        return CompleteRequest(irp, status, 0);
    }

    MarkPipes(extension, TRUE);
    // The first bulk-in transfer is built on a claim of the slot, so that
    // an open that cannot build it fails with nothing sent. A device back
    // in service meanwhile (a cancelled removal) may have started the
    // loops for this port, which is open from the first step: they run.
    if (!ClaimTransferSlot(extension, BRIDGE_PIPE_BULK_IN)) {
        (void)StartStatusTransfer(extension);
        return CompleteRequest(irp, STATUS_SUCCESS, 0);
    }
    status = PrepareBulkInTransfer(deviceObject);
    if (!NT_SUCCESS(status)) {
        if (KeepTransferSlot(extension, BRIDGE_PIPE_BULK_IN, FALSE, FALSE)) {
            (void)SendClaimedBulkIn(extension);  // a start asked for meanwhile
        }
        UndoOpen(deviceObject);
        return CompleteRequest(irp, status, 0);
    }
    (void)StartStatusTransfer(extension);
    status = SendClaimedBulkIn(extension);
    if (!NT_SUCCESS(status)) {
        UndoOpen(deviceObject);
    }
    return CompleteRequest(irp, status, 0);
}

// Stops the three transfers and ends every held request: reads, then the
// receive ring is emptied, writes, mask requests.
// IRQL: PASSIVE_LEVEL. Locks: none held.
NTSTATUS StopAllIo(PDEVICE_OBJECT deviceObject) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    PortExtension* extension = GetPortExtension(deviceObject);
    StopStatusTransfer(deviceObject);
    StopBulkInTransfer(deviceObject);
    StopBulkOutTransfer(deviceObject);
    FlushReads(extension);
    PurgeReceiveBuffer(deviceObject);
    FlushWrites(extension);
    FlushMaskRequests(extension);
    return STATUS_SUCCESS;
}

// IRP_MJ_CLEANUP: the last handle is going; every transfer stops and every
// held request ends with STATUS_CANCELLED. The port stays open until close.
// Cleanup never fails. IRQL: PASSIVE_LEVEL. Locks: none held.
NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT deviceObject, PIRP irp) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    if (!NT_SUCCESS(AcquireRequestLock(deviceObject, irp))) {
        return RefuseRequest(irp, STATUS_SUCCESS);
    }
    (void)StopAllIo(deviceObject);
    return CompleteRequest(irp, STATUS_SUCCESS, 0);
}

// IRP_MJ_CLOSE: marks the port closed (so no completion re-arms a transfer),
// stops the transfers, lets the line settle for one second, closes the
// pipes, ends whatever is still held (a close that no cleanup preceded finds
// requests here) and frees the ring, which no transfer can reach any more.
// The close holds openMutex from start to end, so that a query-stop waits
// for it: a start after a stop sets the record's defaults, which must not
// meet the close's teardown.
// IRQL: PASSIVE_LEVEL. Locks: takes openMutex for the whole close.
NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT deviceObject, PIRP irp) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    PortExtension* extension = GetPortExtension(deviceObject);
    if (!NT_SUCCESS(AcquireRequestLock(deviceObject, irp))) {
        return RefuseRequest(irp, STATUS_SUCCESS);
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    KeWaitForSingleObject(&extension->openMutex, Executive, KernelMode, FALSE, nullptr);
    MarkPortClosed(extension);
    StopStatusTransfer(deviceObject);
    StopBulkInTransfer(deviceObject);
    StopBulkOutTransfer(deviceObject);

    KTIMER settle;
    KeInitializeTimer(&settle);
    LARGE_INTEGER oneSecond;
    oneSecond.QuadPart = -10'000'000;
    (void)KeSetTimer(&settle, oneSecond, nullptr);
    KeWaitForSingleObject(&settle, Executive, KernelMode, FALSE, nullptr);

    if (!ReadOnce(&extension->removed)) {
        MarkPipes(extension, FALSE);
    }
    FlushReads(extension);
    FlushWrites(extension);
    FlushMaskRequests(extension);
    FreeReceiveRing(extension);
    KeReleaseMutex(&extension->openMutex, FALSE);
    return CompleteRequest(irp, STATUS_SUCCESS, 0);
}

// The device is back in service with the port open (a cancelled removal, a
// start after a stop): the pipes are marked open again, the holds derived
// from the line levels, and the status and bulk-in transfers started as the
// open started them (a transfer still running is left alone). After a
// start the chip was initialised afresh: `reprogram` then writes the port's
// rate, line control and modem control lines back first.
// IRQL: PASSIVE_LEVEL. Locks: none held.
VOID ResumeOpenPort(PDEVICE_OBJECT deviceObject, BOOLEAN reprogram) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    PortExtension* extension = GetPortExtension(deviceObject);
    if (!ReadOnce(&extension->portOpen)) {
        return;
    }
    if (reprogram) {
        (void)ProgramBaudRate(deviceObject);
        (void)ProgramLineControl(deviceObject);
        (void)WriteModemControl(deviceObject);
    }
    MarkPipes(extension, TRUE);
    UpdateHoldFlags(extension);
    (void)StartStatusTransfer(extension);
    PumpDataTransfers(extension);
}

// Aborts every pipe marked open and marks the device unconfigured. Returns
// the status of the last abort (STATUS_SUCCESS when none was needed), or
// STATUS_INSUFFICIENT_RESOURCES when an abort request cannot be allocated.
// IRQL: PASSIVE_LEVEL. Locks: none held.
NTSTATUS AbortPipes(PDEVICE_OBJECT deviceObject) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    PortExtension* extension = GetPortExtension(deviceObject);
    if (!ReadOnce(&extension->configured)) {
        return STATUS_SUCCESS;
    }
    extension->configured = FALSE;
    NTSTATUS status = STATUS_SUCCESS;
    const ULONG pipes = extension->interfaceInfo ? extension->interfaceInfo->NumberOfPipes : 0;
    for (ULONG i = 0; i < pipes && i < BRIDGE_PIPE_COUNT; ++i) {
        if (!ReadOnce(&extension->pipeState[i].pipeOpen)) {
            continue;
        }
        PURB urb = static_cast<PURB>(ExAllocatePoolWithTag(
            NonPagedPoolNx, sizeof(struct _URB_PIPE_REQUEST), BRIDGESER_POOL_TAG));
        if (urb == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        RtlZeroMemory(urb, sizeof(struct _URB_PIPE_REQUEST));
        urb->UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
        urb->UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
        urb->UrbPipeRequest.PipeHandle = extension->interfaceInfo->Pipes[i].PipeHandle;
        status = SubmitUrbSync(deviceObject, urb);
        ExFreePoolWithTag(urb, BRIDGESER_POOL_TAG);
        if (NT_SUCCESS(status) && InterlockedExchange(&extension->pipeState[i].pipeOpen, FALSE)) {
            InterlockedDecrement(AsInterlockedLong(&extension->openPipeCount));
        }
    }
    return status;
}
