// open.cpp - IRP_MJ_CREATE, IRP_MJ_CLEANUP and IRP_MJ_CLOSE: the exclusive
// open, which programs the chip and starts the status and bulk-in
// transfers; cleanup and close, which stop the three transfers and end every
// held request; and the stop of all I/O and the abort of the pipes that Plug
// and Play uses.
#include "driver/driver.h"
#include "receive/receive.h"
#include "serial/serial.h"
#include "status/status.h"
#include "transmit/transmit.h"
#include "uart/uart.h"

namespace {

// Marks every pipe of the selected interface open or closed.
// IRQL: PASSIVE_LEVEL. Locks: none; open and close only.
VOID MarkPipes(PortExtension* extension, BOOLEAN open) {
    if (extension->interfaceInfo == nullptr) {
        return;
    }
    const ULONG pipes = extension->interfaceInfo->NumberOfPipes;
    for (ULONG i = 0; i < pipes && i < BRIDGE_PIPE_COUNT; ++i) {
        if (extension->pipeState[i].pipeOpen != open) {
            extension->pipeState[i].pipeOpen = open;
            if (open) {
                InterlockedIncrement(reinterpret_cast<volatile LONG*>(&extension->openPipeCount));
            } else {
                InterlockedDecrement(reinterpret_cast<volatile LONG*>(&extension->openPipeCount));
            }
        }
    }
}

// Frees the receive ring and empties its indexes.
// IRQL: PASSIVE_LEVEL. Locks: none held; takes readLock.
VOID FreeReceiveRing(PortExtension* extension) {
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
    PortExtension* extension = GetPortExtension(deviceObject);
    MarkPortClosed(extension);
    StopStatusTransfer(deviceObject);
    StopBulkInTransfer(deviceObject);
    MarkPipes(extension, FALSE);
    if (extension->bulkInIrp != nullptr) {
        // Prepared and never sent.
        IoFreeIrp(extension->bulkInIrp);
        ExFreePoolWithTag(extension->bulkInUrb, BRIDGESER_POOL_TAG);
        ExFreePoolWithTag(extension->bulkInBuffer, BRIDGESER_POOL_TAG);
        extension->bulkInIrp = nullptr;
        extension->bulkInUrb = nullptr;
        extension->bulkInBuffer = nullptr;
    }
    FreeReceiveRing(extension);
}

}  // namespace

// Marks the port closed and clears the hold and error words: no completion
// re-arms a transfer after this. IRQL: PASSIVE_LEVEL. Locks: takes openMutex.
VOID MarkPortClosed(PortExtension* extension) {
    KeWaitForSingleObject(&extension->openMutex, Executive, KernelMode, FALSE, nullptr);
    extension->portOpen = FALSE;
    extension->txHoldFlags = 0;
    extension->rxHoldFlags = 0;
    extension->errorFlags = 0;
    KeReleaseMutex(&extension->openMutex, FALSE);
}

// IRP_MJ_CREATE: the exclusive open. Resets the per-open state, allocates the
// receive ring, programs 115200 baud, drops and raises DTR and RTS, reads
// the modem status and starts the status and bulk-in transfers. An open that
// fails after the port was marked open is undone, so the port can be opened
// again. IRQL: PASSIVE_LEVEL. Locks: takes openMutex for the state update.
NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT deviceObject, PIRP irp) {
    PortExtension* extension = GetPortExtension(deviceObject);
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;

    KeWaitForSingleObject(&extension->openMutex, Executive, KernelMode, FALSE, nullptr);
    if (extension->portOpen) {
        KeReleaseMutex(&extension->openMutex, FALSE);
        return CompleteRequest(irp, STATUS_ACCESS_DENIED, 0);
    }
    extension->statusReport[0] = STATUS_REPORT_NONE;
    extension->portOpen = TRUE;
    extension->rxHoldFlags = 0;
    extension->txHoldFlags = 0;
    extension->errorFlags = 0;
    extension->baudRate = 115200;
    PUCHAR ring = static_cast<PUCHAR>(
        ExAllocatePoolWithTag(NonPagedPoolNx, RECEIVE_RING_SIZE, BRIDGESER_POOL_TAG));
    extension->rxRingBuffer = ring;
    extension->rxRingSize = RECEIVE_RING_SIZE;
    extension->rxRingCount = 0;
    extension->rxRingReadIndex = 0;
    extension->rxRingWriteIndex = 0;
    extension->writeQueuedBytes = 0;
    extension->eventHistory = 0;
    extension->waitMask = 0;
    extension->eventCharSeen = FALSE;
    extension->statsEnabled = FALSE;
    DriverGlobals.reportLinesOnNextWait = TRUE;
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
        extension->modemStatus = modemStatus;
    }
    if (!NT_SUCCESS(status)) {
        UndoOpen(deviceObject);
        return CompleteRequest(irp, status, 0);
    }

    MarkPipes(extension, TRUE);
    status = PrepareBulkInTransfer(deviceObject);
    if (!NT_SUCCESS(status)) {
        UndoOpen(deviceObject);
        return CompleteRequest(irp, status, 0);
    }
    (void)StartStatusTransfer(extension);
    status = StartBulkInTransfer(extension);
    if (!NT_SUCCESS(status)) {
        UndoOpen(deviceObject);
    }
    return CompleteRequest(irp, status, 0);
}

// Stops the three transfers and ends every held request: reads, then the
// receive ring is emptied, writes, mask requests.
// IRQL: PASSIVE_LEVEL. Locks: none held.
NTSTATUS StopAllIo(PDEVICE_OBJECT deviceObject) {
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
// IRQL: PASSIVE_LEVEL. Locks: none held.
NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT deviceObject, PIRP irp) {
    (void)StopAllIo(deviceObject);
    return CompleteRequest(irp, STATUS_SUCCESS, 0);
}

// IRP_MJ_CLOSE: marks the port closed (so no completion re-arms a transfer),
// stops the transfers, lets the line settle for one second, closes the
// pipes, ends whatever is still held (a close that no cleanup preceded finds
// requests here) and frees the ring, which no transfer can reach any more.
// IRQL: PASSIVE_LEVEL. Locks: takes openMutex for the state update.
NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT deviceObject, PIRP irp) {
    PortExtension* extension = GetPortExtension(deviceObject);
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
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

    if (!extension->removed) {
        MarkPipes(extension, FALSE);
    }
    FlushReads(extension);
    FlushWrites(extension);
    FlushMaskRequests(extension);
    FreeReceiveRing(extension);
    return CompleteRequest(irp, STATUS_SUCCESS, 0);
}

// Aborts every pipe marked open and marks the device unconfigured. Returns
// the status of the last abort (STATUS_SUCCESS when none was needed), or
// STATUS_INSUFFICIENT_RESOURCES when an abort request cannot be allocated.
// IRQL: PASSIVE_LEVEL. Locks: none held.
NTSTATUS AbortPipes(PDEVICE_OBJECT deviceObject) {
    PortExtension* extension = GetPortExtension(deviceObject);
    if (!extension->configured) {
        return STATUS_SUCCESS;
    }
    extension->configured = FALSE;
    NTSTATUS status = STATUS_SUCCESS;
    const ULONG pipes = extension->interfaceInfo ? extension->interfaceInfo->NumberOfPipes : 0;
    for (ULONG i = 0; i < pipes && i < BRIDGE_PIPE_COUNT; ++i) {
        if (!extension->pipeState[i].pipeOpen) {
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
        if (NT_SUCCESS(status)) {
            extension->pipeState[i].pipeOpen = FALSE;
            InterlockedDecrement(reinterpret_cast<volatile LONG*>(&extension->openPipeCount));
        }
    }
    return status;
}
