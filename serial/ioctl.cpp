// ioctl.cpp - IRP_MJ_DEVICE_CONTROL: the serial control requests (settings,
// line and modem control, purge, status, statistics, properties), the two
// wait-mask requests handed to the wait machinery, and the private bridge
// requests handed to the register protocol.
//
// Every request is METHOD_BUFFERED: input and output share the system
// buffer. A buffer shorter than the request's rule is refused with
// STATUS_BUFFER_TOO_SMALL before anything is read or changed.
#include "events/events.h"
#include "receive/receive.h"
#include "serial/serial.h"
#include "status/status.h"
#include "transmit/transmit.h"
#include "uart/uart.h"

namespace {

// Smallest input and output of each serial request the dispatcher serves.
struct LengthRule {
    ULONG code;
    ULONG input;
    ULONG output;
};

constexpr LengthRule kLengthRules[] = {
    {IOCTL_SERIAL_SET_BAUD_RATE, sizeof(SERIAL_BAUD_RATE), 0},
    {IOCTL_SERIAL_SET_QUEUE_SIZE, sizeof(SERIAL_QUEUE_SIZE), 0},
    {IOCTL_SERIAL_SET_LINE_CONTROL, sizeof(SERIAL_LINE_CONTROL), 0},
    {IOCTL_SERIAL_SET_BREAK_ON, 0, 0},
    {IOCTL_SERIAL_SET_BREAK_OFF, 0, 0},
    {IOCTL_SERIAL_SET_TIMEOUTS, sizeof(SERIAL_TIMEOUTS), 0},
    {IOCTL_SERIAL_GET_TIMEOUTS, 0, sizeof(SERIAL_TIMEOUTS)},
    {IOCTL_SERIAL_SET_DTR, 0, 0},
    {IOCTL_SERIAL_CLR_DTR, 0, 0},
    {IOCTL_SERIAL_SET_RTS, 0, 0},
    {IOCTL_SERIAL_CLR_RTS, 0, 0},
    {IOCTL_SERIAL_GET_WAIT_MASK, 0, sizeof(ULONG)},
    {IOCTL_SERIAL_SET_WAIT_MASK, sizeof(ULONG), 0},
    {IOCTL_SERIAL_WAIT_ON_MASK, 0, sizeof(ULONG)},
    {IOCTL_SERIAL_PURGE, sizeof(ULONG), 0},
    {IOCTL_SERIAL_GET_BAUD_RATE, 0, sizeof(SERIAL_BAUD_RATE)},
    {IOCTL_SERIAL_GET_LINE_CONTROL, 0, sizeof(SERIAL_LINE_CONTROL)},
    {IOCTL_SERIAL_GET_CHARS, 0, sizeof(SERIAL_CHARS)},
    {IOCTL_SERIAL_SET_CHARS, sizeof(SERIAL_CHARS), 0},
    {IOCTL_SERIAL_GET_HANDFLOW, 0, sizeof(SERIAL_HANDFLOW)},
    {IOCTL_SERIAL_SET_HANDFLOW, sizeof(SERIAL_HANDFLOW), 0},
    {IOCTL_SERIAL_GET_MODEMSTATUS, 0, sizeof(ULONG)},
    {IOCTL_SERIAL_GET_COMMSTATUS, 0, sizeof(SERIAL_STATUS)},
    {IOCTL_SERIAL_GET_PROPERTIES, 0, sizeof(SERIAL_COMMPROP)},
    {IOCTL_SERIAL_CONFIG_SIZE, 0, sizeof(ULONG)},
    {IOCTL_SERIAL_GET_STATS, 0, sizeof(SERIALPERF_STATS)},
    {IOCTL_SERIAL_CLEAR_STATS, 0, 0},
    {IOCTL_SERIAL_GET_MODEM_CONTROL, 0, sizeof(UCHAR)},
    {IOCTL_SERIAL_SET_MODEM_CONTROL, sizeof(UCHAR), 0},
    {IOCTL_SERIAL_SET_FIFO_CONTROL, sizeof(UCHAR), 0},
};

static_assert(sizeof(SERIAL_LINE_CONTROL) == 3 && sizeof(SERIAL_CHARS) == 6 &&
                  sizeof(SERIAL_HANDFLOW) == 16 && sizeof(SERIAL_TIMEOUTS) == 20 &&
                  sizeof(SERIAL_STATUS) == 20 && sizeof(SERIAL_COMMPROP) == 64 &&
                  sizeof(SERIALPERF_STATS) == 24,
              "serial structures have their platform sizes");

const LengthRule* FindLengthRule(ULONG code) {
    for (const LengthRule& rule : kLengthRules) {
        if (rule.code == code) {
            return &rule;
        }
    }
    return nullptr;
}

// Line-level events of the one-shot report before the first wait.
ULONG LineLevelEvents(UCHAR modemStatus) {
    ULONG events = 0;
    if (modemStatus & MSR_CTS) events |= SERIAL_EV_CTS;
    if (modemStatus & MSR_DSR) events |= SERIAL_EV_DSR;
    if (modemStatus & MSR_RI) events |= SERIAL_EV_RING;
    if (modemStatus & MSR_DCD) events |= SERIAL_EV_RLSD;
    return events;
}

// The handshake settings an application may give: known bits only, not both
// DTR control modes at once, limits within the receive queue size.
BOOLEAN HandFlowIsValid(const SERIAL_HANDFLOW& flow, ULONG inQueueSize) {
    if ((flow.ControlHandShake & SERIAL_CONTROL_INVALID) != 0 ||
        (flow.FlowReplace & SERIAL_FLOW_INVALID) != 0 ||
        (flow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_MASK) {
        return FALSE;
    }
    if (flow.XonLimit < 0 || static_cast<ULONG>(flow.XonLimit) > inQueueSize) {
        return FALSE;
    }
    if (flow.XoffLimit < 0 || static_cast<ULONG>(flow.XoffLimit) > inQueueSize) {
        return FALSE;
    }
    return TRUE;
}

// IOCTL_SERIAL_PURGE: aborts reads (and empties the ring) and aborts writes
// as the mask asks; the two clear bits have no effect of their own.
VOID Purge(PDEVICE_OBJECT deviceObject, ULONG mask) {
    PortExtension* extension = GetPortExtension(deviceObject);
    if (mask & SERIAL_PURGE_RXABORT) {
        FlushReads(extension);
        PurgeReceiveBuffer(deviceObject);
    }
    if (mask & SERIAL_PURGE_TXABORT) {
        FlushWrites(extension);
    }
}

// Takes (returns and clears) both byte counts, each under the lock of the
// path that counts it: receivedCount under readLock, transmittedCount under
// writeLock, one lock at a time, and sets whether counting goes on.
// IRQL: <= DISPATCH_LEVEL. Locks: none held; takes readLock, then writeLock.
VOID ResetStatistics(PortExtension* extension, BOOLEAN counting, SERIALPERF_STATS* taken) {
    ASSERT_IRQL_AT_MOST(DISPATCH_LEVEL);
    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->readLock, &oldIrql);
    taken->ReceivedCount = extension->receivedCount;
    extension->receivedCount = 0;
    KeReleaseSpinLock(&extension->readLock, oldIrql);
    KeAcquireSpinLock(&extension->writeLock, &oldIrql);
    taken->TransmittedCount = extension->transmittedCount;
    extension->transmittedCount = 0;
    KeReleaseSpinLock(&extension->writeLock, oldIrql);
    extension->statsEnabled = counting;
}

// IOCTL_SERIAL_GET_STATS: the counts of the window that the last
// IOCTL_SERIAL_CLEAR_STATS opened; the window closes and the counts reset.
// IRQL: PASSIVE_LEVEL. Locks: none held; takes readLock, then writeLock.
VOID TakeStatistics(PortExtension* extension, SERIALPERF_STATS* stats) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    RtlZeroMemory(stats, sizeof(*stats));
    extension->statsEnabled = FALSE;
    ResetStatistics(extension, FALSE, stats);
}

}  // namespace

// Builds the communication status into snapshot and keeps it as commStatus:
// queue amounts, the accumulated errors (reported once: they are taken and
// cleared in one interlocked step, so an error that arrives meanwhile is not
// lost) and the hold reasons. Each caller gets the snapshot it built, so two
// requests at once never report each other's errors.
// IRQL: <= DISPATCH_LEVEL. Locks: none held; each word is read once; takes
// controlLock to keep the snapshot.
NTSTATUS BuildCommStatus(PDEVICE_OBJECT deviceObject, PSERIAL_STATUS snapshot) {
    ASSERT_IRQL_AT_MOST(DISPATCH_LEVEL);
    PortExtension* extension = GetPortExtension(deviceObject);
    SERIAL_STATUS status;
    status.AmountInInQueue = ReadOnce(&extension->rxRingCount);
    status.AmountInOutQueue = ReadOnce(&extension->writeQueuedBytes);
    status.Errors =
        static_cast<ULONG>(InterlockedExchange(AsInterlockedLong(&extension->errorFlags), 0));
    status.EofReceived = FALSE;
    status.WaitForImmediate = FALSE;
    const ULONG txHold = ReadOnce(&extension->txHoldFlags);
    const ULONG rxHold = ReadOnce(&extension->rxHoldFlags);
    ULONG reasons = 0;
    if (txHold & TX_HOLD_CTS) reasons |= SERIAL_TX_WAITING_FOR_CTS;
    if (txHold & TX_HOLD_DSR) reasons |= SERIAL_TX_WAITING_FOR_DSR;
    if (txHold & TX_HOLD_DCD) reasons |= SERIAL_TX_WAITING_FOR_DCD;
    if (rxHold & RX_HOLD_DSR) reasons |= SERIAL_RX_WAITING_FOR_DSR;
    status.HoldReasons = reasons;
    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->controlLock, &oldIrql);
    extension->commStatus = status;
    KeReleaseSpinLock(&extension->controlLock, oldIrql);
    *snapshot = status;
    return STATUS_SUCCESS;
}

// Copies the communication properties built at start, with the present
// transmit queue and the receive ring's size. IRQL: <= DISPATCH_LEVEL.
// Locks: none.
VOID CopyCommProperties(PortExtension* extension, PSERIAL_COMMPROP destination) {
    ASSERT_IRQL_AT_MOST(DISPATCH_LEVEL);
    RtlCopyMemory(destination, &extension->properties, sizeof(SERIAL_COMMPROP));
    destination->CurrentTxQueue = ReadOnce(&extension->writeQueuedBytes);
    destination->CurrentRxQueue = RECEIVE_RING_SIZE;
}

// The IRP_MJ_DEVICE_CONTROL handler. Completes every request before it
// returns, except the two wait-mask requests, which the wait machinery may
// leave pending.
// IRQL: PASSIVE_LEVEL. Locks: none held; takes controlLock for short stores
// and copies, registerMutex around the modem and FIFO control requests.
NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT deviceObject, PIRP irp) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    PortExtension* extension = GetPortExtension(deviceObject);
    if (!NT_SUCCESS(AcquireRequestLock(deviceObject, irp))) {
        return RefuseRequest(irp, STATUS_DELETE_PENDING);
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    const ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    PVOID buffer = irp->AssociatedIrp.SystemBuffer;

    if (!ReadOnce(&extension->portOpen)) {
        return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    if (!IsDeviceReady(deviceObject)) {
        return CompleteRequest(irp, STATUS_DELETE_PENDING, 0);
    }
    irp->IoStatus.Information = 0;

    switch (code) {
        case IOCTL_BRIDGE_WRITE_REGISTER:
            return BridgeWriteRegister(deviceObject, irp);
        case IOCTL_BRIDGE_READ_REGISTER:
            return BridgeReadRegister(deviceObject, irp);
        case IOCTL_BRIDGE_READ_BULK:
            return BridgeReadBulk(deviceObject, irp);
        case IOCTL_BRIDGE_READ_STATUS:
            return BridgeReadStatus(deviceObject, irp);
        case IOCTL_BRIDGE_WRITE_BULK:
            return BridgeWriteBulk(deviceObject, irp);
        default:
            break;
    }

    const LengthRule* rule = FindLengthRule(code);
    if (rule == nullptr) {
        return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    if (inLength < rule->input || outLength < rule->output ||
        ((rule->input != 0 || rule->output != 0) && buffer == nullptr)) {
        return CompleteRequest(irp, STATUS_BUFFER_TOO_SMALL, 0);
    }

    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    KIRQL oldIrql;
    switch (code) {
        case IOCTL_SERIAL_SET_BAUD_RATE:
            extension->baudRate = ReadOnce(&DriverGlobals.force230400)
                                      ? 230400
                                      : static_cast<PSERIAL_BAUD_RATE>(buffer)->BaudRate;
            status = ProgramBaudRate(deviceObject);
            break;
        case IOCTL_SERIAL_SET_QUEUE_SIZE: {
            const ULONG inSize = static_cast<PSERIAL_QUEUE_SIZE>(buffer)->InSize;
            if (inSize > extension->inQueueSize) {
                extension->inQueueSize = inSize;
            }
            break;
        }
        case IOCTL_SERIAL_SET_LINE_CONTROL:
            KeAcquireSpinLock(&extension->controlLock, &oldIrql);
            RtlCopyMemory(&extension->lineControl, buffer, sizeof(SERIAL_LINE_CONTROL));
            KeReleaseSpinLock(&extension->controlLock, oldIrql);
            status = ProgramLineControl(deviceObject);
            break;
        case IOCTL_SERIAL_SET_BREAK_ON:
            status = SetBreak(deviceObject);
            break;
        case IOCTL_SERIAL_SET_BREAK_OFF:
            status = ClearBreak(deviceObject);
            break;
        case IOCTL_SERIAL_SET_TIMEOUTS: {
            const SERIAL_TIMEOUTS* timeouts = static_cast<const SERIAL_TIMEOUTS*>(buffer);
            if (timeouts->ReadIntervalTimeout == MAXULONG &&
                timeouts->ReadTotalTimeoutMultiplier == MAXULONG &&
                timeouts->ReadTotalTimeoutConstant == MAXULONG) {
                status = STATUS_INVALID_PARAMETER;
                break;
            }
            KeAcquireSpinLock(&extension->controlLock, &oldIrql);
            RtlCopyMemory(&extension->timeouts, timeouts, sizeof(SERIAL_TIMEOUTS));
            KeReleaseSpinLock(&extension->controlLock, oldIrql);
            break;
        }
        case IOCTL_SERIAL_GET_TIMEOUTS:
            KeAcquireSpinLock(&extension->controlLock, &oldIrql);
            RtlCopyMemory(buffer, &extension->timeouts, sizeof(SERIAL_TIMEOUTS));
            KeReleaseSpinLock(&extension->controlLock, oldIrql);
            information = sizeof(SERIAL_TIMEOUTS);
            break;
        case IOCTL_SERIAL_SET_DTR:
            status = SetDtr(deviceObject);
            break;
        case IOCTL_SERIAL_CLR_DTR:
            status = ClearDtr(deviceObject);
            break;
        case IOCTL_SERIAL_SET_RTS:
            status = SetRts(deviceObject);
            break;
        case IOCTL_SERIAL_CLR_RTS:
            status = ClearRts(deviceObject);
            break;
        case IOCTL_SERIAL_GET_WAIT_MASK:
            *static_cast<PULONG>(buffer) = ReadOnce(&extension->waitMask);
            information = sizeof(ULONG);
            break;
        case IOCTL_SERIAL_SET_WAIT_MASK:
            if ((*static_cast<PULONG>(buffer) & ~SERIAL_EV_VALID_MASK) != 0) {
                status = STATUS_INVALID_PARAMETER;
                break;
            }
            return QueueMaskRequest(extension, irp);
        case IOCTL_SERIAL_WAIT_ON_MASK:
            if (InterlockedExchange(&DriverGlobals.reportLinesOnNextWait, FALSE) != FALSE) {
                *static_cast<PULONG>(buffer) = LineLevelEvents(ReadOnce(&extension->modemStatus));
                information = sizeof(ULONG);
                break;
            }
            return QueueMaskRequest(extension, irp);
        case IOCTL_SERIAL_PURGE:
            Purge(deviceObject, *static_cast<PULONG>(buffer));
            information = InformationWithinOutput(irp, sizeof(ULONG));
            break;
        case IOCTL_SERIAL_GET_BAUD_RATE:
            static_cast<PSERIAL_BAUD_RATE>(buffer)->BaudRate = extension->baudRate;
            information = sizeof(SERIAL_BAUD_RATE);
            break;
        case IOCTL_SERIAL_GET_LINE_CONTROL:
            KeAcquireSpinLock(&extension->controlLock, &oldIrql);
            RtlCopyMemory(buffer, &extension->lineControl, sizeof(SERIAL_LINE_CONTROL));
            KeReleaseSpinLock(&extension->controlLock, oldIrql);
            information = sizeof(SERIAL_LINE_CONTROL);
            break;
        case IOCTL_SERIAL_GET_CHARS:
            KeAcquireSpinLock(&extension->controlLock, &oldIrql);
            RtlCopyMemory(buffer, &extension->chars, sizeof(SERIAL_CHARS));
            KeReleaseSpinLock(&extension->controlLock, oldIrql);
            information = sizeof(SERIAL_CHARS);
            break;
        case IOCTL_SERIAL_SET_CHARS: {
            const SERIAL_CHARS* chars = static_cast<const SERIAL_CHARS*>(buffer);
            if (chars->XonChar == chars->XoffChar) {
                break;  // accepted, nothing stored
            }
            KeAcquireSpinLock(&extension->controlLock, &oldIrql);
            extension->chars = *chars;
            KeReleaseSpinLock(&extension->controlLock, oldIrql);
            KeAcquireSpinLock(&extension->readLock, &oldIrql);
            extension->eventCharSeen = FALSE;
            KeReleaseSpinLock(&extension->readLock, oldIrql);
            break;
        }
        case IOCTL_SERIAL_GET_HANDFLOW:
            KeAcquireSpinLock(&extension->controlLock, &oldIrql);
            RtlCopyMemory(buffer, &extension->handFlow, sizeof(SERIAL_HANDFLOW));
            KeReleaseSpinLock(&extension->controlLock, oldIrql);
            information = sizeof(SERIAL_HANDFLOW);
            break;
        case IOCTL_SERIAL_SET_HANDFLOW: {
            const SERIAL_HANDFLOW* flow = static_cast<const SERIAL_HANDFLOW*>(buffer);
            if (!HandFlowIsValid(*flow, extension->inQueueSize)) {
                status = STATUS_INVALID_PARAMETER;
                break;
            }
            // The holds follow the new handshake at once, from the line
            // levels last reported; a hold that ends lets the data move.
            KeAcquireSpinLock(&extension->controlLock, &oldIrql);
            extension->handFlow = *flow;
            KeReleaseSpinLock(&extension->controlLock, oldIrql);
            UpdateHoldFlags(extension);
            PumpDataTransfers(extension);
            break;
        }
        case IOCTL_SERIAL_GET_MODEMSTATUS:
            (void)RefreshModemStatus(deviceObject);
            *static_cast<PULONG>(buffer) = ReadOnce(&extension->modemStatus) & MSR_LINE_STATES;
            information = sizeof(ULONG);
            break;
        case IOCTL_SERIAL_GET_COMMSTATUS:
            (void)BuildCommStatus(deviceObject, static_cast<PSERIAL_STATUS>(buffer));
            information = sizeof(SERIAL_STATUS);
            break;
        case IOCTL_SERIAL_GET_PROPERTIES:
            CopyCommProperties(extension, static_cast<PSERIAL_COMMPROP>(buffer));
            information = sizeof(SERIAL_COMMPROP);
            break;
        case IOCTL_SERIAL_CONFIG_SIZE:
            *static_cast<PULONG>(buffer) = 0;
            information = sizeof(ULONG);
            break;
        case IOCTL_SERIAL_GET_STATS:
            TakeStatistics(extension, static_cast<PSERIALPERF_STATS>(buffer));
            information = sizeof(SERIALPERF_STATS);
            break;
        case IOCTL_SERIAL_CLEAR_STATS: {
            SERIALPERF_STATS discarded;
            ResetStatistics(extension, TRUE, &discarded);
            break;
        }
        // The register requests keep the shadow and the chip in one register
        // sequence (registerMutex, which the routines they call take again),
        // so a concurrent DTR or RTS change cannot come between them.
        case IOCTL_SERIAL_GET_MODEM_CONTROL:
            KeWaitForSingleObject(&extension->registerMutex, Executive, KernelMode, FALSE, nullptr);
            status = ReadModemControl(deviceObject);
            if (NT_SUCCESS(status)) {
                *static_cast<PUCHAR>(buffer) = extension->modemControlShadow;
                information = sizeof(UCHAR);
            }
            KeReleaseMutex(&extension->registerMutex, FALSE);
            break;
        case IOCTL_SERIAL_SET_MODEM_CONTROL:
            KeWaitForSingleObject(&extension->registerMutex, Executive, KernelMode, FALSE, nullptr);
            KeAcquireSpinLock(&extension->controlLock, &oldIrql);
            extension->modemControlShadow = *static_cast<PUCHAR>(buffer);
            KeReleaseSpinLock(&extension->controlLock, oldIrql);
            status = WriteModemControl(deviceObject);
            KeReleaseMutex(&extension->registerMutex, FALSE);
            break;
        case IOCTL_SERIAL_SET_FIFO_CONTROL:
            KeWaitForSingleObject(&extension->registerMutex, Executive, KernelMode, FALSE, nullptr);
            extension->fifoControlShadow = *static_cast<PUCHAR>(buffer);
            status = WriteFifoControl(deviceObject);
            KeReleaseMutex(&extension->registerMutex, FALSE);
            break;
        default:
            status = STATUS_INVALID_DEVICE_REQUEST;
            break;
    }
    return CompleteRequest(irp, status, NT_SUCCESS(status) ? information : 0);
}
