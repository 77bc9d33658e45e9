// pnp_power.cpp - the PDO's answers to Plug and Play and power requests,
// as a hub answers for its child: the record of every request that arrives,
// the held wait-wake, and the port's resume.
#include "sim/usb/bus_internal.h"

namespace sim::usb::detail {

namespace {

// Records a PnP or power request arriving at the PDO; returns its index.
size_t RecordStackRequest(Device& d, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    StackRequest r;
    r.major = stack->MajorFunction;
    r.minor = stack->MinorFunction;
    r.statusSeen = irp->IoStatus.Status;
    r.time = Now();
    if (r.major == IRP_MJ_POWER && r.minor == IRP_MN_WAIT_WAKE) {
        r.powerState = stack->Parameters.WaitWake.PowerState;
    } else if (r.major == IRP_MJ_POWER) {
        r.powerType = stack->Parameters.Power.Type;
        r.powerState = r.powerType == DevicePowerState
                           ? static_cast<ULONG>(stack->Parameters.Power.State.DeviceState)
                           : static_cast<ULONG>(stack->Parameters.Power.State.SystemState);
    }
    d.stackLog.push_back(r);
    return d.stackLog.size() - 1;
}

}  // namespace

// Completes the held wait-wake with `status`. The caller has taken it from
// `d.waitWake` with its cancel routine cleared. IRQL: <= DISPATCH_LEVEL.
void EndWaitWake(Device& d, PIRP irp, NTSTATUS status) {
    d.stackLog[d.waitWakeRecord].completedWith = status;
    TRACE_URB(Format("wait-wake of %s ends with 0x%08X", d.instanceId.c_str(),
                     static_cast<unsigned>(status)));
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
}

// Takes the held wait-wake if its cancel routine has not run. IRQL: any.
PIRP TakeWaitWake(Device& d) {
    PIRP irp = d.waitWake;
    if (!irp) return nullptr;
    if (IoSetCancelRoutine(irp, nullptr) == nullptr) return nullptr;  // being cancelled
    d.waitWake = nullptr;
    return irp;
}

namespace {

// Cancel routine of a held wait-wake. IRQL: DISPATCH_LEVEL, entered holding
// the cancel spin lock.
VOID CancelWaitWake(PDEVICE_OBJECT pdo, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Device& d = *DeviceOf(pdo);
    if (d.waitWake == irp) d.waitWake = nullptr;
    EndWaitWake(d, irp, STATUS_CANCELLED);
}

}  // namespace

// IRP_MJ_PNP. IRQL: PASSIVE_LEVEL. Removal completes whatever is still held
// here, in the PnP thread, so that nothing completes into a function driver
// that is about to delete its device; a held wait-wake ends with
// STATUS_NO_SUCH_DEVICE. Stop, removal and their queries succeed, as a hub
// answers for its child; other requests keep their status.
NTSTATUS DispatchPnp(PDEVICE_OBJECT pdo, PIRP irp) {
    Device& d = *DeviceOf(pdo);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    size_t record = RecordStackRequest(d, irp);
    switch (stack->MinorFunction) {
        case IRP_MN_START_DEVICE:
            if (!NT_SUCCESS(d.failNextStart)) {
                const NTSTATUS failure = d.failNextStart;
                d.failNextStart = STATUS_SUCCESS;
                irp->IoStatus.Status = failure;
                IofCompleteRequest(irp, IO_NO_INCREMENT);
                d.stackLog[record].completedWith = failure;
                return failure;
            }
            break;
        case IRP_MN_SURPRISE_REMOVAL:
        case IRP_MN_REMOVE_DEVICE:
            Flush(d, Gone(d) ? USBD_STATUS_DEVICE_GONE : USBD_STATUS_CANCELED);
            if (PIRP wake = TakeWaitWake(d)) EndWaitWake(d, wake, STATUS_NO_SUCH_DEVICE);
            if (stack->MinorFunction == IRP_MN_REMOVE_DEVICE) d.removed = true;
            break;
        case IRP_MN_QUERY_CAPABILITIES: {
            // The port number as address; the power map chosen for the bus.
            PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
            const UsbPowerMap& map = d.bus->options.powerMap;
            caps->Address = static_cast<ULONG>(d.number);
            caps->UINumber = static_cast<ULONG>(d.number);
            caps->Removable = TRUE;
            caps->DeviceD1 = FALSE;
            caps->DeviceD2 = TRUE;  // a suspended port
            for (int s = 0; s < PowerSystemMaximum; ++s) caps->DeviceState[s] = map.deviceState[s];
            caps->DeviceWake = map.deviceWake;
            caps->SystemWake = map.systemWake;
            caps->WakeFromD0 = map.deviceWake >= PowerDeviceD0;
            caps->WakeFromD1 = map.deviceWake >= PowerDeviceD1;
            caps->WakeFromD2 = map.deviceWake >= PowerDeviceD2;
            caps->WakeFromD3 = map.deviceWake >= PowerDeviceD3;
            irp->IoStatus.Status = STATUS_SUCCESS;
            IofCompleteRequest(irp, IO_NO_INCREMENT);
            d.stackLog[record].completedWith = STATUS_SUCCESS;
            return STATUS_SUCCESS;
        }
        default:
            break;
    }
    NTSTATUS status = sim::CompleteBusPnp(irp);
    d.stackLog[record].completedWith = status;
    return status;
}

namespace {

// A device set-power to D0 from a sleeping state: the port resumes and the
// request completes resumeLatency later, in a DPC; then the device's held
// transfers are served again.
void ResumeLater(Device& d, PIRP irp, size_t record) {
    IoMarkIrpPending(irp);
    TRACE_URB("port of " + d.instanceId + " resuming");
    std::weak_ptr<UsbBus::Impl> bus = d.bus->self;
    Device* device = &d;
    Sim().At(
        Now() + d.bus->options.resumeLatency,
        [bus, device, irp, record] {
            if (!bus.lock()) return;
            device->powerState = PowerDeviceD0;
            TRACE_URB("port of " + device->instanceId + " resumed");
            NTSTATUS status = sim::CompleteBusPower(irp);
            if (record < device->stackLog.size()) device->stackLog[record].completedWith = status;
            StartControl(*device);
            RequestService(*device);
            Reschedule(*device);
        },
        "usb port resume");
}

}  // namespace

// IRP_MJ_POWER. IRQL: PASSIVE_LEVEL. Query- and set-power succeed. A
// device set-power is remembered; a power-up from a sleeping state
// completes only when the port has resumed (ResumeLater), and while the
// device is not in D0 its transfers wait. A wait-wake is held until the device signals a
// wake event, it is cancelled, or the device goes; it is refused when the
// device cannot wake the system from the state it names, or one is held
// already.
NTSTATUS DispatchPower(PDEVICE_OBJECT pdo, PIRP irp) {
    Device& d = *DeviceOf(pdo);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    size_t record = RecordStackRequest(d, irp);
    if (stack->MinorFunction == IRP_MN_WAIT_WAKE) {
        const UsbPowerMap& map = d.bus->options.powerMap;
        NTSTATUS refusal = STATUS_SUCCESS;
        if (map.deviceWake == PowerDeviceUnspecified || Gone(d) || d.removed) {
            refusal = STATUS_NOT_SUPPORTED;
        } else if (stack->Parameters.WaitWake.PowerState > map.systemWake) {
            refusal = STATUS_INVALID_DEVICE_STATE;
        } else if (d.waitWake) {
            refusal = STATUS_DEVICE_BUSY;
        }
        if (refusal != STATUS_SUCCESS) {
            PoStartNextPowerIrp(irp);
            irp->IoStatus.Status = refusal;
            IofCompleteRequest(irp, IO_NO_INCREMENT);
            d.stackLog[record].completedWith = refusal;
            return refusal;
        }
        IoMarkIrpPending(irp);
        d.waitWake = irp;
        d.waitWakeRecord = record;
        IoSetCancelRoutine(irp, CancelWaitWake);
        if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
            d.waitWake = nullptr;
            EndWaitWake(d, irp, STATUS_CANCELLED);
        }
        TRACE_URB("wait-wake held for " + d.instanceId);
        return STATUS_PENDING;
    }
    if (stack->MinorFunction == IRP_MN_SET_POWER &&
        stack->Parameters.Power.Type == DevicePowerState) {
        const DEVICE_POWER_STATE state = stack->Parameters.Power.State.DeviceState;
        if (state == PowerDeviceD0 && d.powerState != PowerDeviceD0 && !Gone(d)) {
            ResumeLater(d, irp, record);
            return STATUS_PENDING;
        }
        d.powerState = state;
    }
    NTSTATUS status = sim::CompleteBusPower(irp);
    d.stackLog[record].completedWith = status;
    return status;
}

}  // namespace sim::usb::detail
