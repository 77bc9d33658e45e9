// pnp.cpp - the Plug and Play dispatcher: start after the stack below has
// started, the stop and remove queries with their cancels, stop, removal and
// surprise removal with the device's tear-down, and the capabilities query;
// every other minor function goes down the stack unchanged.
#include "driver/driver.h"
#include "uart/uart.h"

namespace {

// Passes a request down with the given status in its status field.
// IRQL: PASSIVE_LEVEL. Locks: none.
NTSTATUS PassDown(PDEVICE_OBJECT deviceObject, PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    return ForwardRequest(deviceObject, irp);
}

// Sends a request down the stack and waits until the lower drivers have
// completed it; the request comes back to the caller, which completes it.
// Returns the lower drivers' status. IRQL: PASSIVE_LEVEL. Locks: none.
NTSTATUS SendDownAndWait(PDEVICE_OBJECT deviceObject, PIRP irp) {
    PortExtension* extension = GetPortExtension(deviceObject);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalEventCompletion, &event, TRUE, TRUE, TRUE);
    if (IofCallDriver(extension->lowerDeviceObject, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    }
    return irp->IoStatus.Status;
}

// Sends IRP_MN_START_DEVICE down the stack and waits for it, then starts the
// device and completes the request with the start's status. A start that
// the lower drivers failed fails here too with their status: the device is
// not started on a stack that is not. IRQL: PASSIVE_LEVEL. Locks: none.
NTSTATUS HandleStartDevice(PDEVICE_OBJECT deviceObject, PIRP irp) {
    NTSTATUS status = SendDownAndWait(deviceObject, irp);
    if (NT_SUCCESS(status)) {
        status = StartDevice(deviceObject, irp);
    }
    return CompleteRequest(irp, status, irp->IoStatus.Information);
}

// IRP_MN_QUERY_STOP_DEVICE: accepted only while no transfer is in flight (the
// port is closed); then no new I/O is taken until cancel-stop or stop. A
// refusal is completed here rather than passed down, where a lower driver's
// success would overwrite it. IRQL: PASSIVE_LEVEL. Locks: none.
NTSTATUS HandleQueryStop(PDEVICE_OBJECT deviceObject, PIRP irp) {
    PortExtension* extension = GetPortExtension(deviceObject);
    if (extension->bulkInBusy || extension->bulkOutBusy || extension->statusBusy) {
        return CompleteRequest(irp, STATUS_UNSUCCESSFUL, 0);
    }
    extension->stopPending = TRUE;
    return PassDown(deviceObject, irp, STATUS_SUCCESS);
}

// IRP_MN_QUERY_CAPABILITIES: the bus fills the capabilities first (its power
// map among them); on the way back the driver adds that the cable can be
// ejected, removed and pulled out, keeps a copy, and takes as its wake state
// the last sleeping state (S1 to S3) whose device state is above D3.
// IRQL: PASSIVE_LEVEL. Locks: none.
NTSTATUS HandleQueryCapabilities(PDEVICE_OBJECT deviceObject, PIRP irp) {
    PortExtension* extension = GetPortExtension(deviceObject);
    NTSTATUS status = SendDownAndWait(deviceObject, irp);
    PDEVICE_CAPABILITIES capabilities =
        IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities;
    if (NT_SUCCESS(status)) {
        capabilities->EjectSupported = TRUE;
        capabilities->Removable = TRUE;
        capabilities->SurpriseRemovalOK = TRUE;
        capabilities->WarmEjectSupported = TRUE;
        RtlCopyMemory(&extension->deviceCapabilities, capabilities, sizeof(DEVICE_CAPABILITIES));
        extension->deviceWakeState = PowerDeviceUnspecified;
        for (int state = PowerSystemSleeping1; state <= PowerSystemSleeping3; ++state) {
            if (static_cast<LONG>(capabilities->DeviceState[state]) <
                static_cast<LONG>(PowerDeviceD3)) {
                extension->deviceWakeState = capabilities->DeviceState[state];
            }
        }
    }
    return CompleteRequest(irp, status, irp->IoStatus.Information);
}

// IRP_MN_REMOVE_DEVICE: the first one stops the device's work, passes the
// request down and then tears the device down; a later one only passes
// down. IRQL: PASSIVE_LEVEL. Locks: none.
NTSTATUS HandleRemoveDevice(PDEVICE_OBJECT deviceObject, PIRP irp) {
    PortExtension* extension = GetPortExtension(deviceObject);
    if (extension->removed) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        return ForwardRequest(deviceObject, irp);
    }
    extension->removed = TRUE;
    (void)StopAllIo(deviceObject);
    (void)AbortPipes(deviceObject);

    IoCopyCurrentIrpStackLocationToNext(irp);
    IofCallDriver(extension->lowerDeviceObject, irp);
    RemoveDevice(deviceObject);
    return STATUS_SUCCESS;
}

// IRP_MN_SURPRISE_REMOVAL: closes the port, stops the device's work, tears
// the device down and then passes the request down. The lower device is
// taken from the record before the record's device object is deleted.
// IRQL: PASSIVE_LEVEL. Locks: takes openMutex when the port is open.
NTSTATUS HandleSurpriseRemoval(PDEVICE_OBJECT deviceObject, PIRP irp) {
    PortExtension* extension = GetPortExtension(deviceObject);
    extension->removed = TRUE;
    if (extension->portOpen) {
        MarkPortClosed(extension);
    }
    (void)StopAllIo(deviceObject);
    (void)AbortPipes(deviceObject);

    PDEVICE_OBJECT lowerDeviceObject = extension->lowerDeviceObject;
    RemoveDevice(deviceObject);

    irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(irp);
    return IofCallDriver(lowerDeviceObject, irp);
}

}  // namespace

// The IRP_MJ_PNP handler. IRQL: PASSIVE_LEVEL. Locks: none.
NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT deviceObject, PIRP irp) {
    PortExtension* extension = GetPortExtension(deviceObject);
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
        case IRP_MN_START_DEVICE:
            return HandleStartDevice(deviceObject, irp);
        case IRP_MN_REMOVE_DEVICE:
            return HandleRemoveDevice(deviceObject, irp);
        case IRP_MN_SURPRISE_REMOVAL:
            return HandleSurpriseRemoval(deviceObject, irp);
        case IRP_MN_QUERY_REMOVE_DEVICE:
            extension->removePending = TRUE;
            (void)StopAllIo(deviceObject);
            return PassDown(deviceObject, irp, STATUS_SUCCESS);
        case IRP_MN_CANCEL_REMOVE_DEVICE:
            extension->removePending = FALSE;
            return PassDown(deviceObject, irp, STATUS_SUCCESS);
        case IRP_MN_QUERY_STOP_DEVICE:
            return HandleQueryStop(deviceObject, irp);
        case IRP_MN_CANCEL_STOP_DEVICE:
            extension->stopPending = FALSE;
            return PassDown(deviceObject, irp, STATUS_SUCCESS);
        case IRP_MN_STOP_DEVICE:
            return CompleteRequest(irp, StopDevice(deviceObject), 0);
        case IRP_MN_QUERY_CAPABILITIES:
            return HandleQueryCapabilities(deviceObject, irp);
        default:
            return ForwardRequest(deviceObject, irp);
    }
}

// Re-arms the identification state shared by all cables and tears the
// device down. A timer DPC whose cancel came too late may still be queued
// (it would do nothing, but it lives in the record): queued DPCs are let run
// before the device object goes. IRQL: PASSIVE_LEVEL. Locks: none held
// (DeletePortDevice takes portListMutex).
NTSTATUS RemoveDevice(PDEVICE_OBJECT deviceObject) {
    DriverGlobals.force230400 = FALSE;
    DriverGlobals.probePending = TRUE;
    DriverGlobals.captureEnabled = TRUE;
    DriverGlobals.captureCount = 0;
    DriverGlobals.captureOwner = nullptr;
    KeFlushQueuedDpcs();
    DeletePortDevice(deviceObject);
    return STATUS_SUCCESS;
}

// Stops the device for a rebalance: ends all I/O and puts the USB device
// into the unconfigured state; the next start selects the configuration
// again. IRQL: PASSIVE_LEVEL. Locks: none held.
NTSTATUS StopDevice(PDEVICE_OBJECT deviceObject) {
    PortExtension* extension = GetPortExtension(deviceObject);
    (void)StopAllIo(deviceObject);
    NTSTATUS status = STATUS_SUCCESS;
    PURB urb = static_cast<PURB>(ExAllocatePoolWithTag(
        NonPagedPoolNx, sizeof(struct _URB_SELECT_CONFIGURATION), BRIDGESER_POOL_TAG));
    if (urb != nullptr) {
        RtlZeroMemory(urb, sizeof(struct _URB_SELECT_CONFIGURATION));
        UsbBuildSelectConfigurationRequest(urb, sizeof(struct _URB_SELECT_CONFIGURATION), nullptr);
        (void)SubmitUrbSync(deviceObject, urb);
        ExFreePoolWithTag(urb, BRIDGESER_POOL_TAG);
        extension->started = FALSE;
    } else {
        status = STATUS_INSUFFICIENT_RESOURCES;
    }
    extension->stopPending = FALSE;
    return status;
}
