// register.cpp - synchronous submission of USB request blocks to the stack
// below, and single-register access to the bridge chip's UART through vendor
// control requests on the default control pipe.
#include "driver/driver.h"
#include "uart/uart.h"

// Sends an internal device-control request to the device below on a
// request of the driver's own, and waits for it. The completion routine
// hands the request back here, so it stays alive until it is freed below:
// a request that has not ended after USB_REQUEST_TIMEOUT_MS can therefore be
// cancelled without racing its completion, and is then waited for; one that
// ends cancelled after the time-out reports STATUS_IO_TIMEOUT.
// IRQL: PASSIVE_LEVEL. Locks: none may be held.
NTSTATUS CallLowerDriverSync(PDEVICE_OBJECT lowerDeviceObject, ULONG ioControlCode,
                             PVOID argument1) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    PIRP irp = IoAllocateIrp(lowerDeviceObject->StackSize, FALSE);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = ioControlCode;
    next->Parameters.Others.Argument1 = argument1;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;

    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalEventCompletion, &event, TRUE, TRUE, TRUE);
    NTSTATUS status = IofCallDriver(lowerDeviceObject, irp);
    if (status == STATUS_PENDING) {
        bool timedOut = false;
        LARGE_INTEGER timeout;
        timeout.QuadPart = -static_cast<LONGLONG>(USB_REQUEST_TIMEOUT_MS) * 10000;
        if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout) ==
            STATUS_TIMEOUT) {
            timedOut = true;
            IoCancelIrp(irp);
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        }
        status = irp->IoStatus.Status;
        if (timedOut && status == STATUS_CANCELLED) {
            status = STATUS_IO_TIMEOUT;
        }
    }
    IoFreeIrp(irp);
    return status;
}

// Sends one URB to the device below as IOCTL_INTERNAL_USB_SUBMIT_URB and
// waits for it; returns the request's final status (the URB's own USBD
// status is left to the caller). The URB is filled in place.
// IRQL: PASSIVE_LEVEL. Locks: none may be held.
NTSTATUS SubmitUrbSync(PDEVICE_OBJECT deviceObject, PURB urb) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    PortExtension* extension = GetPortExtension(deviceObject);
    return CallLowerDriverSync(extension->lowerDeviceObject, IOCTL_INTERNAL_USB_SUBMIT_URB, urb);
}

// Reads one chip register. On success *value holds the register's value; a
// transfer that succeeds without its one data byte fails with
// STATUS_DEVICE_DATA_ERROR. On failure *value is unchanged.
// IRQL: PASSIVE_LEVEL. Locks: none may be held.
NTSTATUS ReadUartRegister(PDEVICE_OBJECT deviceObject, USHORT registerNumber, PUCHAR value) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    if (registerNumber > UART_REGISTER_MAX) {
        return STATUS_INVALID_PARAMETER;
    }

    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    PURB urb = static_cast<PURB>(ExAllocatePoolWithTag(
        NonPagedPoolNx, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), BRIDGESER_POOL_TAG));
    PUCHAR data = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, 1, BRIDGESER_POOL_TAG));
    if (urb != nullptr && data != nullptr) {
        RtlZeroMemory(urb, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
        *data = 0;
        UsbBuildVendorRequest(
            urb, URB_FUNCTION_VENDOR_DEVICE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
            USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, UART_REQUEST_TYPE_READ,
            UART_REGISTER_REQUEST, 0, registerNumber, data, nullptr, 1, nullptr);
        status = SubmitUrbSync(deviceObject, urb);
        if (NT_SUCCESS(status)) {
            if (urb->UrbControlVendorClassRequest.TransferBufferLength == 1) {
                *value = *data;
            } else {
                status = STATUS_DEVICE_DATA_ERROR;
            }
        }
    }

    if (data != nullptr) {
        ExFreePoolWithTag(data, BRIDGESER_POOL_TAG);
    }
    if (urb != nullptr) {
        ExFreePoolWithTag(urb, BRIDGESER_POOL_TAG);
    }
    return status;
}

// Writes one chip register; the value travels in the setup packet's value
// field, with no data stage. IRQL: PASSIVE_LEVEL. Locks: none may be held.
NTSTATUS WriteUartRegister(PDEVICE_OBJECT deviceObject, USHORT registerNumber, UCHAR value) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    if (registerNumber > UART_REGISTER_MAX) {
        return STATUS_INVALID_PARAMETER;
    }
    PURB urb = static_cast<PURB>(ExAllocatePoolWithTag(
        NonPagedPoolNx, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), BRIDGESER_POOL_TAG));
    if (urb == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(urb, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
    UsbBuildVendorRequest(
        urb, URB_FUNCTION_VENDOR_DEVICE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
        USBD_TRANSFER_DIRECTION_OUT, UART_REQUEST_TYPE_WRITE, UART_REGISTER_REQUEST, value,
        registerNumber, nullptr, nullptr, 0, nullptr);
    NTSTATUS status = SubmitUrbSync(deviceObject, urb);
    ExFreePoolWithTag(urb, BRIDGESER_POOL_TAG);
    return status;
}
