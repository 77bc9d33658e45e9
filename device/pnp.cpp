// pnp.cpp - the Plug and Play dispatcher: start after the stack below has
// started, the stop and remove queries with their cancels, stop, removal and
// surprise removal with the device's tear-down, and the capabilities query;
// every other minor function goes down the stack unchanged.
#include "device/device.h"
#include "driver/driver.h"
#include "uart/uart.h"

namespace {

// Passes a request that holds the remove lock down with the given status
// in its status field, and releases the lock.
// IRQL: PASSIVE_LEVEL. Locks: none.
NTSTATUS PassDown(PDEVICE_OBJECT deviceObject, PIRP irp, NTSTATUS status) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    irp->IoStatus.Status = status;
    return ForwardAndRelease(deviceObject, irp);
}

// Sends a request down the stack and waits until the lower drivers have
// completed it; the request comes back to the caller, which completes it.
// Returns the lower drivers' status. IRQL: PASSIVE_LEVEL. Locks: none.
NTSTATUS SendDownAndWait(PDEVICE_OBJECT deviceObject, PIRP irp) {
    ASSERT_IRQL(PASSIVE_LEVEL);
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
// not started on a stack that is not. A port left open across a stop comes
// back into service. IRQL: PASSIVE_LEVEL. Locks: none.
NTSTATUS HandleStartDevice(PDEVICE_OBJECT deviceObject, PIRP irp) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    NTSTATUS status = SendDownAndWait(deviceObject, irp);
    if (NT_SUCCESS(status)) {
        status = StartDevice(deviceObject, irp);
    }
    if (NT_SUCCESS(status)) {
        ResumeOpenPort(deviceObject, TRUE);
    }
    return CompleteRequest(irp, status, irp->IoStatus.Information);
}

// IRP_MN_QUERY_STOP_DEVICE: accepted only while the port is closed, no
// close is under way (it holds openMutex to its end) and no transfer is in
// flight; then no new I/O is taken until cancel-stop or stop. A refusal is
// completed here rather than passed down, where a lower driver's success
// would overwrite it. IRQL: PASSIVE_LEVEL. Locks: takes openMutex.
NTSTATUS HandleQueryStop(PDEVICE_OBJECT deviceObject, PIRP irp) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    PortExtension* extension = GetPortExtension(deviceObject);
    KeWaitForSingleObject(&extension->openMutex, Executive, KernelMode, FALSE, nullptr);
    const BOOLEAN busy = extension->portOpen || ReadOnce(&extension->bulkInBusy) ||
                         ReadOnce(&extension->bulkOutBusy) || ReadOnce(&extension->statusBusy);
    if (!busy) {
        extension->stopPending = TRUE;
    }
    KeReleaseMutex(&extension->openMutex, FALSE);
    if (busy) {
        return CompleteRequest(irp, STATUS_UNSUCCESSFUL, 0);
    }
    return PassDown(deviceObject, irp, STATUS_SUCCESS);
}

// IRP_MN_QUERY_CAPABILITIES: the bus fills the capabilities first (its power
// map among them); on the way back the driver adds that the cable can be
// ejected, removed and pulled out, keeps a copy, and takes as its wake state
// the last sleeping state (S1 to S3) whose device state is above D3.
// IRQL: PASSIVE_LEVEL. Locks: none.
NTSTATUS HandleQueryCapabilities(PDEVICE_OBJECT deviceObject, PIRP irp) {
    ASSERT_IRQL(PASSIVE_LEVEL);
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

// IRP_MN_REMOVE_DEVICE: the device's software side goes. Work still running
// is stopped (after a surprise removal it already is), then removal waits
// on the remove lock until no request is in the driver any more, passes the
// request down and tears the device down. Returns the lower driver's status.
// IRQL: PASSIVE_LEVEL. Locks: takes openMutex when the port is open.
NTSTATUS HandleRemoveDevice(PDEVICE_OBJECT deviceObject, PIRP irp) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    PortExtension* extension = GetPortExtension(deviceObject);
    if (!ReadOnce(&extension->removed)) {
        extension->removed = TRUE;
        if (ReadOnce(&extension->portOpen)) {
            MarkPortClosed(extension);
        }
        (void)StopAllIo(deviceObject);
        (void)AbortPipes(deviceObject);
    }
    IoReleaseRemoveLockAndWait(&extension->removeLock, irp);

    PDEVICE_OBJECT lowerDeviceObject = extension->lowerDeviceObject;
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(irp);
    const NTSTATUS status = IofCallDriver(lowerDeviceObject, irp);
    RemoveDevice(deviceObject);
    return status;
}

// IRP_MN_SURPRISE_REMOVAL: the cable is gone. Closes the port, stops the
// device's work, takes its COM name, SERIALCOMM value and interface away,
// and passes the request down. The device object stays until
// IRP_MN_REMOVE_DEVICE, which the Plug and Play manager sends when the last
// handle on it has closed; requests on such a handle are refused meanwhile.
// IRQL: PASSIVE_LEVEL. Locks: takes openMutex when the port is open.
NTSTATUS HandleSurpriseRemoval(PDEVICE_OBJECT deviceObject, PIRP irp) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    PortExtension* extension = GetPortExtension(deviceObject);
    extension->removed = TRUE;
    if (ReadOnce(&extension->portOpen)) {
        MarkPortClosed(extension);
    }
    (void)StopAllIo(deviceObject);
    (void)AbortPipes(deviceObject);
    RemovePortNames(extension);
    return PassDown(deviceObject, irp, STATUS_SUCCESS);
}

// IRP_MN_CANCEL_REMOVE_DEVICE: the device is back in service; an open port
// gets its transfers back, since the query stopped them.
// IRQL: PASSIVE_LEVEL. Locks: none.
NTSTATUS HandleCancelRemove(PDEVICE_OBJECT deviceObject, PIRP irp) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    GetPortExtension(deviceObject)->removePending = FALSE;
    ResumeOpenPort(deviceObject, FALSE);
    return PassDown(deviceObject, irp, STATUS_SUCCESS);
}

// IRP_MN_STOP_DEVICE: the stop cannot fail; it is passed down with
// STATUS_SUCCESS. IRQL: PASSIVE_LEVEL. Locks: none.
NTSTATUS HandleStopDevice(PDEVICE_OBJECT deviceObject, PIRP irp) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    (void)StopDevice(deviceObject);
    return PassDown(deviceObject, irp, STATUS_SUCCESS);
}

}  // namespace

// The IRP_MJ_PNP handler. Every request holds the remove lock while the
// driver works on it; removal releases it and waits for the others.
// IRQL: PASSIVE_LEVEL. Locks: none.
NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT deviceObject, PIRP irp) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    PortExtension* extension = GetPortExtension(deviceObject);
    if (!NT_SUCCESS(AcquireRequestLock(deviceObject, irp))) {
        return RefuseRequest(irp, STATUS_DELETE_PENDING);
    }
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
            return HandleCancelRemove(deviceObject, irp);
        case IRP_MN_QUERY_STOP_DEVICE:
            return HandleQueryStop(deviceObject, irp);
        case IRP_MN_CANCEL_STOP_DEVICE:
            extension->stopPending = FALSE;
            return PassDown(deviceObject, irp, STATUS_SUCCESS);
        case IRP_MN_STOP_DEVICE:
            return HandleStopDevice(deviceObject, irp);
        case IRP_MN_QUERY_CAPABILITIES:
            return HandleQueryCapabilities(deviceObject, irp);
        default:
            return ForwardAndRelease(deviceObject, irp);
    }
}

// Re-arms the identification state shared by all cables and tears the
// device down. A timer DPC whose cancel came too late may still be queued
// (it would do nothing, but it lives in the record): queued DPCs are let run
// before the device object goes. IRQL: PASSIVE_LEVEL. Locks: none held
// (DeletePortDevice takes portListMutex).
NTSTATUS RemoveDevice(PDEVICE_OBJECT deviceObject) {
    ASSERT_IRQL(PASSIVE_LEVEL);
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
// again. It cannot fail: the deconfiguration's URB lives on the stack, and
// the request's own outcome does not matter (the device is stopped either
// way). IRQL: PASSIVE_LEVEL. Locks: none held.
NTSTATUS StopDevice(PDEVICE_OBJECT deviceObject) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    PortExtension* extension = GetPortExtension(deviceObject);
    (void)StopAllIo(deviceObject);
    URB urb;
    RtlZeroMemory(&urb, sizeof(urb));
    UsbBuildSelectConfigurationRequest(&urb, sizeof(struct _URB_SELECT_CONFIGURATION), nullptr);
    (void)SubmitUrbSync(deviceObject, &urb);
    extension->started = FALSE;
    extension->stopPending = FALSE;
    return STATUS_SUCCESS;
}
