// bridge.cpp - the private bridge requests: raw register write and read, and
// one raw transfer on each of the three pipes, for diagnostic applications.
//
// All five are METHOD_BUFFERED: input and output share the system buffer,
// which is as long as the larger of the two. Each request is checked against
// its stack location's InputBufferLength and OutputBufferLength before the
// buffer is touched; a buffer too short for the request's layout completes
// with STATUS_BUFFER_TOO_SMALL and information 0, and nothing is sent. When
// the caller gave an output buffer, the information never exceeds its
// length, since the I/O manager copies that many bytes back to it; with no
// output buffer nothing is copied and the information is only a count.
#include "driver/driver.h"
#include "uart/uart.h"

namespace {

// Parameters of one raw pipe transfer.
struct PipeTransfer {
    ULONG pipe;         // index in the interface information
    ULONG flags;        // USBD transfer flags
    ULONG length;       // bytes to move
    bool toDevice;      // data comes from the system buffer at BRIDGE_WRITE_DATA_OFFSET
    ULONG reportLimit;  // largest information the caller's output buffer takes; 0: no limit
};

// Register number from bytes 4 to 5 of the system buffer (little-endian).
// IRQL: any. Locks: none.
USHORT RegisterNumberOf(const UCHAR* buffer) {
    return static_cast<USHORT>(buffer[BRIDGE_REGISTER_NUMBER_OFFSET] |
                               (buffer[BRIDGE_REGISTER_NUMBER_OFFSET + 1] << 8));
}

// Runs one raw bulk or interrupt transfer on a pipe of the selected
// interface and completes the request with its status and the bytes moved
// (0 on failure); for a read those bytes go to the start of the system
// buffer. IRQL: PASSIVE_LEVEL. Locks: none may be held.
NTSTATUS RunPipeTransfer(PDEVICE_OBJECT deviceObject, PIRP irp, const PipeTransfer& transfer) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    PortExtension* extension = GetPortExtension(deviceObject);
    PUCHAR systemBuffer = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);

    const USBD_INTERFACE_INFORMATION* interfaceInfo = extension->interfaceInfo;
    if (interfaceInfo == nullptr || interfaceInfo->NumberOfPipes <= transfer.pipe) {
        return CompleteRequest(irp, STATUS_INVALID_DEVICE_STATE, 0);
    }
    const USBD_PIPE_HANDLE pipeHandle = interfaceInfo->Pipes[transfer.pipe].PipeHandle;

    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    ULONG_PTR information = 0;
    // A zero-length write still needs a buffer to point at.
    const ULONG bufferSize = transfer.length != 0 ? transfer.length : 1;
    PUCHAR data =
        static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, bufferSize, BRIDGESER_POOL_TAG));
    PURB urb = static_cast<PURB>(ExAllocatePoolWithTag(
        NonPagedPoolNx, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), BRIDGESER_POOL_TAG));
    if (data != nullptr && urb != nullptr) {
        if (transfer.toDevice) {
            RtlCopyMemory(data, systemBuffer + BRIDGE_WRITE_DATA_OFFSET, transfer.length);
        }
        RtlZeroMemory(urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
        UsbBuildInterruptOrBulkTransferRequest(urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                               pipeHandle, data, nullptr, transfer.length,
                                               transfer.flags, nullptr);
        status = SubmitUrbSync(deviceObject, urb);
        if (NT_SUCCESS(status)) {
            // Never copy more than was asked for, nor report more than the
            // caller's output buffer takes.
            ULONG moved = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
            if (moved > transfer.length) {
                moved = transfer.length;
            }
            if (!transfer.toDevice) {
                RtlCopyMemory(systemBuffer, data, moved);
            }
            information = (transfer.reportLimit == 0 || moved < transfer.reportLimit)
                              ? moved
                              : transfer.reportLimit;
        }
    }

    if (urb != nullptr) {
        ExFreePoolWithTag(urb, BRIDGESER_POOL_TAG);
    }
    if (data != nullptr) {
        ExFreePoolWithTag(data, BRIDGESER_POOL_TAG);
    }
    return CompleteRequest(irp, status, information);
}

}  // namespace

// IOCTL_BRIDGE_WRITE_REGISTER: writes byte 0 of the input to the register
// named by bytes 4 to 5. Needs 6 input bytes. Completes with the write's
// status and information 1, whatever the status (with no output buffer the
// I/O manager copies nothing back, so the 1 overruns nothing).
// IRQL: PASSIVE_LEVEL. Locks: none may be held.
NTSTATUS BridgeWriteRegister(PDEVICE_OBJECT deviceObject, PIRP irp) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->Parameters.DeviceIoControl.InputBufferLength < BRIDGE_REGISTER_INPUT_SIZE) {
        return CompleteRequest(irp, STATUS_BUFFER_TOO_SMALL, 0);
    }
    const UCHAR* buffer = static_cast<const UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    NTSTATUS status = WriteUartRegister(deviceObject, RegisterNumberOf(buffer),
                                        buffer[BRIDGE_REGISTER_VALUE_OFFSET]);
    return CompleteRequest(irp, status, 1);
}

// IOCTL_BRIDGE_READ_REGISTER: reads the register named by bytes 4 to 5 of
// the input into byte 0 of the output (0 when the read failed or was
// refused). Needs 6 input bytes and 1 output byte. Completes with the read's
// status and information 1. IRQL: PASSIVE_LEVEL. Locks: none may be held.
NTSTATUS BridgeReadRegister(PDEVICE_OBJECT deviceObject, PIRP irp) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->Parameters.DeviceIoControl.InputBufferLength < BRIDGE_REGISTER_INPUT_SIZE ||
        stack->Parameters.DeviceIoControl.OutputBufferLength < 1) {
        return CompleteRequest(irp, STATUS_BUFFER_TOO_SMALL, 0);
    }
    PUCHAR buffer = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
    UCHAR value = 0;
    NTSTATUS status = ReadUartRegister(deviceObject, RegisterNumberOf(buffer), &value);
    buffer[BRIDGE_REGISTER_VALUE_OFFSET] = NT_SUCCESS(status) ? value : 0;
    return CompleteRequest(irp, status, 1);
}

// IOCTL_BRIDGE_READ_BULK: one bulk-in transfer of up to 64 bytes on pipe 2.
// Needs a 64-byte output buffer. IRQL: PASSIVE_LEVEL. Locks: none may be held.
NTSTATUS BridgeReadBulk(PDEVICE_OBJECT deviceObject, PIRP irp) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->Parameters.DeviceIoControl.OutputBufferLength < BRIDGE_MAX_TRANSFER) {
        return CompleteRequest(irp, STATUS_BUFFER_TOO_SMALL, 0);
    }
    const PipeTransfer transfer = {BRIDGE_PIPE_BULK_IN,
                                   USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK,
                                   BRIDGE_MAX_TRANSFER, false, BRIDGE_MAX_TRANSFER};
    return RunPipeTransfer(deviceObject, irp, transfer);
}

// IOCTL_BRIDGE_READ_STATUS: one interrupt-in transfer of up to 4 bytes on
// pipe 0. Needs a 4-byte output buffer. IRQL: PASSIVE_LEVEL.
// Locks: none may be held.
NTSTATUS BridgeReadStatus(PDEVICE_OBJECT deviceObject, PIRP irp) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->Parameters.DeviceIoControl.OutputBufferLength < BRIDGE_STATUS_REPORT_SIZE) {
        return CompleteRequest(irp, STATUS_BUFFER_TOO_SMALL, 0);
    }
    const PipeTransfer transfer = {BRIDGE_PIPE_STATUS,
                                   USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK,
                                   BRIDGE_STATUS_REPORT_SIZE, false, BRIDGE_STATUS_REPORT_SIZE};
    return RunPipeTransfer(deviceObject, irp, transfer);
}

// IOCTL_BRIDGE_WRITE_BULK: one bulk-out transfer on pipe 1 of the L bytes
// that follow the length word at bytes 4 to 7. Needs 8 + L input bytes. The
// information is the count the USB stack moved; when the caller gave an
// output buffer it is capped at that buffer's length, which the I/O manager
// copies back.
// IRQL: PASSIVE_LEVEL. Locks: none may be held.
NTSTATUS BridgeWriteBulk(PDEVICE_OBJECT deviceObject, PIRP irp) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    if (inputLength < BRIDGE_WRITE_DATA_OFFSET) {
        return CompleteRequest(irp, STATUS_BUFFER_TOO_SMALL, 0);
    }
    const UCHAR* buffer = static_cast<const UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    ULONG length = 0;
    RtlCopyMemory(&length, buffer + BRIDGE_WRITE_LENGTH_OFFSET, sizeof(length));
    if (length > inputLength - BRIDGE_WRITE_DATA_OFFSET) {
        return CompleteRequest(irp, STATUS_BUFFER_TOO_SMALL, 0);
    }
    const PipeTransfer transfer = {BRIDGE_PIPE_BULK_OUT, USBD_TRANSFER_DIRECTION_OUT, length, true,
                                   outputLength};
    return RunPipeTransfer(deviceObject, irp, transfer);
}
