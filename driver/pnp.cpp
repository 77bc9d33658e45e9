// pnp.cpp - the Plug and Play dispatcher: start after the stack below has
// started, removal and surprise removal with the device's tear-down; every
// other minor function goes down the stack unchanged.
#include "driver/driver.h"

namespace {

// Sends IRP_MN_START_DEVICE down the stack and waits for it, then starts the
// device whatever the lower drivers answered, and completes the request with
// the start's status. IRQL: PASSIVE_LEVEL. Locks: none.
NTSTATUS HandleStartDevice(PDEVICE_OBJECT deviceObject, PIRP irp) {
    PortExtension* extension = GetPortExtension(deviceObject);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalEventCompletion, &event, TRUE, TRUE, TRUE);
    NTSTATUS status = IofCallDriver(extension->lowerDeviceObject, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    }
    status = StartDevice(deviceObject, irp);
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
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
        case IRP_MN_START_DEVICE:
            return HandleStartDevice(deviceObject, irp);
        case IRP_MN_REMOVE_DEVICE:
            return HandleRemoveDevice(deviceObject, irp);
        case IRP_MN_SURPRISE_REMOVAL:
            return HandleSurpriseRemoval(deviceObject, irp);
        default:
            return ForwardRequest(deviceObject, irp);
    }
}

// Re-arms the identification state shared by all cables and tears the
// device down. IRQL: PASSIVE_LEVEL. Locks: none held (DeletePortDevice takes
// portListMutex).
NTSTATUS RemoveDevice(PDEVICE_OBJECT deviceObject) {
    DriverGlobals.force230400 = FALSE;
    DriverGlobals.probePending = TRUE;
    DriverGlobals.captureEnabled = TRUE;
    DriverGlobals.captureCount = 0;
    DriverGlobals.captureOwner = nullptr;
    DeletePortDevice(deviceObject);
    return STATUS_SUCCESS;
}
