// power.cpp - IRP_MJ_POWER: the device power state recorded, system
// set-power requests turned into device set-power requests through the
// power manager, wait-wake, and every power request passed down with the
// power manager's protocol (the next power request may start first, and the
// request goes down through PoCallDriver).
//
// Power transitions change bookkeeping only: the USB transfers and the
// chip's registers are left as they are. No query is ever refused. The
// fields here are read and written without a lock; power requests arrive at
// passive level.
#include "device/device.h"
#include "driver/driver.h"

namespace {

// Passes a power request down: the next power request may start, then the
// request goes to the lower driver, and the remove lock it holds is given
// back. Returns the lower driver's status. Runs in dispatch routines and in
// the completion function of a device request, which may come at
// DISPATCH_LEVEL: PoStartNextPowerIrp and PoCallDriver both allow it.
// IRQL: <= DISPATCH_LEVEL. Locks: none.
NTSTATUS PassPowerDown(PortExtension* extension, PIRP irp) {
    ASSERT_IRQL_AT_MOST(DISPATCH_LEVEL);
    IoCopyCurrentIrpStackLocationToNext(irp);
    PoStartNextPowerIrp(irp);
    const NTSTATUS status = PoCallDriver(extension->lowerDeviceObject, irp);
    ReleaseRequestLock(extension->deviceObject, irp);
    return status;
}

// Completion routine of a device set-power to D0: D0 is recorded only now,
// when the lower driver has powered up, and the request succeeds whatever
// the lower driver reported. The request's remove lock is given back here,
// since the record is used until now. IRQL: <= DISPATCH_LEVEL. Locks: none.
NTSTATUS NTAPI PowerUpCompletion(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context) {
    ASSERT_IRQL_AT_MOST(DISPATCH_LEVEL);
    UNREFERENCED_PARAMETER(deviceObject);
    PDEVICE_OBJECT ours = static_cast<PDEVICE_OBJECT>(context);
    PortExtension* extension = GetPortExtension(ours);
    if (irp->PendingReturned) {
        IoMarkIrpPending(irp);
    }
    extension->devicePowerState = PowerDeviceD0;
    irp->IoStatus.Status = STATUS_SUCCESS;
    ReleaseRequestLock(ours, irp);
    return STATUS_SUCCESS;
}

// Completion function of the device request made for a held system
// request: the system request goes down now. IRQL: <= DISPATCH_LEVEL.
// Locks: none.
VOID NTAPI SystemPowerDeviceRequestDone(PDEVICE_OBJECT deviceObject, UCHAR minorFunction,
                                        POWER_STATE powerState, PVOID context,
                                        PIO_STATUS_BLOCK ioStatus) {
    ASSERT_IRQL_AT_MOST(DISPATCH_LEVEL);
    UNREFERENCED_PARAMETER(deviceObject);
    UNREFERENCED_PARAMETER(minorFunction);
    UNREFERENCED_PARAMETER(powerState);
    UNREFERENCED_PARAMETER(ioStatus);
    PortExtension* extension = GetPortExtension(static_cast<PDEVICE_OBJECT>(context));
    PIRP system = extension->pendingSystemPowerIrp;
    extension->pendingSystemPowerIrp = nullptr;
    if (system != nullptr) {
        (void)PassPowerDown(extension, system);
    }
}

// Completion function of a device state the driver asked for itself.
// IRQL: <= DISPATCH_LEVEL. Locks: none.
VOID NTAPI DevicePowerRequestDone(PDEVICE_OBJECT deviceObject, UCHAR minorFunction,
                                  POWER_STATE powerState, PVOID context,
                                  PIO_STATUS_BLOCK ioStatus) {
    ASSERT_IRQL_AT_MOST(DISPATCH_LEVEL);
    UNREFERENCED_PARAMETER(deviceObject);
    UNREFERENCED_PARAMETER(minorFunction);
    UNREFERENCED_PARAMETER(ioStatus);
    PortExtension* extension = GetPortExtension(static_cast<PDEVICE_OBJECT>(context));
    if (static_cast<ULONG>(powerState.DeviceState) <
        static_cast<ULONG>(extension->deviceWakeState)) {
        KeSetEvent(&extension->devicePowerEvent, IO_NO_INCREMENT, FALSE);
    }
}

// Asks the power manager for a device state, waiting for a power-up to a
// state above the wake threshold. IRQL: PASSIVE_LEVEL. Locks: none.
NTSTATUS RequestDevicePowerState(PDEVICE_OBJECT deviceObject, DEVICE_POWER_STATE state) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    PortExtension* extension = GetPortExtension(deviceObject);
    if (state == extension->devicePowerState) {
        return STATUS_SUCCESS;
    }
    extension->devicePowerRequestBusy = TRUE;
    POWER_STATE requested;
    requested.DeviceState = state;
    NTSTATUS status = PoRequestPowerIrp(extension->lowerDeviceObject, IRP_MN_SET_POWER, requested,
                                        DevicePowerRequestDone, deviceObject, nullptr);
    if (status != STATUS_PENDING) {
        extension->devicePowerRequestBusy = FALSE;
        return status;
    }
    if (static_cast<ULONG>(state) < static_cast<ULONG>(extension->deviceWakeState)) {
        KeWaitForSingleObject(&extension->devicePowerEvent, Executive, KernelMode, FALSE, nullptr);
        KeClearEvent(&extension->devicePowerEvent);
    }
    extension->devicePowerRequestBusy = FALSE;
    return STATUS_SUCCESS;
}

// After a wait-wake has finished: full power when the port is in use.
// IRQL: PASSIVE_LEVEL. Locks: none.
NTSTATUS UpdateDevicePowerForUse(PDEVICE_OBJECT deviceObject) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    PortExtension* extension = GetPortExtension(deviceObject);
    if (!IsDeviceReady(deviceObject)) {
        return STATUS_DELETE_PENDING;
    }
    if (ReadOnce(&extension->pendingSystemPowerIrp) != nullptr ||
        ReadOnce(&extension->devicePowerRequestBusy) || ReadOnce(&extension->openPipeCount) == 0) {
        return STATUS_SUCCESS;
    }
    return RequestDevicePowerState(deviceObject, PowerDeviceD0);
}

// IRP_MN_WAIT_WAKE: refused in D0 or when the wake state is deeper than the
// present one; otherwise passed down and waited for (the next power request
// is released first), then full power is asked for when the port is in use.
// The wait lasts until the device wakes or the request is cancelled, which
// removal may be waiting for: the remove lock is given back before the wait,
// and a reference keeps the object and its record until the request is
// done. IRQL: PASSIVE_LEVEL. Locks: none.
NTSTATUS HandleWaitWake(PDEVICE_OBJECT deviceObject, PIRP irp) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    PortExtension* extension = GetPortExtension(deviceObject);
    extension->deviceWakeState = extension->deviceCapabilities.DeviceWake;
    if (extension->devicePowerState == PowerDeviceD0 ||
        static_cast<LONG>(extension->deviceWakeState) >
            static_cast<LONG>(extension->devicePowerState)) {
        PoStartNextPowerIrp(irp);
        return CompleteRequest(irp, STATUS_INVALID_DEVICE_STATE, 0);
    }
    extension->useCapabilityPowerMap = TRUE;
    ObReferenceObject(deviceObject);
    ReleaseRequestLock(deviceObject, irp);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalEventCompletion, &event, TRUE, TRUE, TRUE);
    PoStartNextPowerIrp(irp);
    if (PoCallDriver(extension->lowerDeviceObject, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    }
    (void)UpdateDevicePowerForUse(deviceObject);
    extension->useCapabilityPowerMap = FALSE;
    const NTSTATUS status = irp->IoStatus.Status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);  // its remove lock went before the wait
    ObDereferenceObject(deviceObject);
    return status;
}

// IRP_MN_SET_POWER for a device state: a power-down is recorded at once,
// before the lower driver sees it; a power-up is recorded when the lower
// driver has finished it (PowerUpCompletion, which also gives back the
// request's remove lock). IRQL: PASSIVE_LEVEL. Locks: none.
NTSTATUS HandleDeviceSetPower(PDEVICE_OBJECT deviceObject, PIRP irp, DEVICE_POWER_STATE state) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    PortExtension* extension = GetPortExtension(deviceObject);
    IoCopyCurrentIrpStackLocationToNext(irp);
    const BOOLEAN powerUp = state == PowerDeviceD0;
    if (powerUp) {
        IoSetCompletionRoutine(irp, PowerUpCompletion, deviceObject, TRUE, TRUE, TRUE);
    } else if (state == PowerDeviceD1 || state == PowerDeviceD2 || state == PowerDeviceD3) {
        extension->devicePowerState = state;
    }
    PoStartNextPowerIrp(irp);
    const NTSTATUS status = PoCallDriver(extension->lowerDeviceObject, irp);
    if (!powerUp) {
        ReleaseRequestLock(deviceObject, irp);
    }
    return status;
}

// IRP_MN_SET_POWER. A device state: HandleDeviceSetPower. A system state:
// mapped to a device state; when that is the present one the request goes
// down, otherwise it is held while the device request runs and goes down
// from that request's completion function (keeping its remove lock until
// then). IRQL: PASSIVE_LEVEL. Locks: none.
NTSTATUS HandleSetPower(PDEVICE_OBJECT deviceObject, PIRP irp) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    PortExtension* extension = GetPortExtension(deviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->Parameters.Power.Type == DevicePowerState) {
        return HandleDeviceSetPower(deviceObject, irp, stack->Parameters.Power.State.DeviceState);
    }

    const SYSTEM_POWER_STATE system = stack->Parameters.Power.State.SystemState;
    DEVICE_POWER_STATE mapped = PowerDeviceD3;
    if (system == PowerSystemWorking) {
        mapped = PowerDeviceD0;
    } else if (extension->useCapabilityPowerMap && system > PowerSystemUnspecified &&
               system < PowerSystemMaximum) {
        mapped = extension->deviceCapabilities.DeviceState[system];
    }
    if (mapped == extension->devicePowerState) {
        return PassPowerDown(extension, irp);
    }
    extension->pendingSystemPowerIrp = irp;
    IoMarkIrpPending(irp);
    POWER_STATE requested;
    requested.DeviceState = mapped;
    NTSTATUS status =
        PoRequestPowerIrp(extension->physicalDeviceObject, IRP_MN_SET_POWER, requested,
                          SystemPowerDeviceRequestDone, deviceObject, nullptr);
    if (status != STATUS_PENDING) {
        // The power manager refused the device request: the system
        // transition goes on without it, and the held request goes down.
        extension->pendingSystemPowerIrp = nullptr;
        (void)PassPowerDown(extension, irp);
    }
    return STATUS_PENDING;
}

}  // namespace

// Asks for full power when the device is in a sleeping state without a
// power change under way: an open, which is about to use the device, then
// does not depend on a power-up that a refused request left undone.
// IRQL: PASSIVE_LEVEL. Locks: none (the power path's words are read once
// each: a change under way is left to finish).
NTSTATUS PowerUpForUse(PDEVICE_OBJECT deviceObject) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    PortExtension* extension = GetPortExtension(deviceObject);
    const DEVICE_POWER_STATE state = ReadOnce(&extension->devicePowerState);
    if (state == PowerDeviceD0 || state == PowerDeviceUnspecified ||
        ReadOnce(&extension->pendingSystemPowerIrp) != nullptr ||
        ReadOnce(&extension->devicePowerRequestBusy)) {
        return STATUS_SUCCESS;
    }
    return RequestDevicePowerState(deviceObject, PowerDeviceD0);
}

// The IRP_MJ_POWER handler. Each request holds the remove lock until it has
// been passed down. IRQL: PASSIVE_LEVEL (the device is power pageable).
// Locks: none.
NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT deviceObject, PIRP irp) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    if (!NT_SUCCESS(AcquireRequestLock(deviceObject, irp))) {
        PoStartNextPowerIrp(irp);
        return RefuseRequest(irp, STATUS_DELETE_PENDING);
    }
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
        case IRP_MN_WAIT_WAKE:
            return HandleWaitWake(deviceObject, irp);
        case IRP_MN_SET_POWER:
            return HandleSetPower(deviceObject, irp);
        default:
            return PassPowerDown(GetPortExtension(deviceObject), irp);
    }
}
