// pnp.cpp - the Plug and Play and power harness: driver objects, loading and
// unloading drivers, enumerating devices on a bus with their registry keys
// and class-installer PortName, AddDevice, PnP and power requests sent from
// their own threads, unplugging, and the minimal bus.
#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <set>

#include "sim/kernel/internal.h"

namespace sim {

namespace {

const char* const kPortsClassGuid = "{4D36E978-E325-11CE-BFC1-08002BE10318}";

NTSTATUS DefaultDispatch(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

struct DriverStorage {
    DRIVER_OBJECT driver{};
    DRIVER_EXTENSION extension{};
    std::u16string name;
    std::u16string registryPath;
};

}  // namespace

struct Pnp::Impl {
    std::vector<std::unique_ptr<DeviceNode>> nodes;
    std::vector<std::unique_ptr<DriverStorage>> drivers;
    std::set<int> comDb;  // COM numbers in use
    int classInstances = 0;
    std::map<DeviceNode*, std::vector<PDEVICE_OBJECT>> held;  // stack devices referenced per node
    std::set<PDRIVER_OBJECT> unloaded;
    std::set<PDRIVER_OBJECT> unloadWaiting;  // devices gone, a deleted one still referenced
    // The device tree lock: PnP requests and system power changes take it.
    KEVENT treeLock{};
    bool treeLockReady = false;
};

namespace {

Pnp::Impl& P() { return *Simulation::Current().pnp().impl_; }

// Takes and releases the device tree lock (a simulated wait, PASSIVE_LEVEL).
void LockTree() {
    Pnp::Impl& pnp = P();
    if (!pnp.treeLockReady) {
        KeInitializeEvent(&pnp.treeLock, SynchronizationEvent, TRUE);
        pnp.treeLockReady = true;
    }
    KeWaitForSingleObject(&pnp.treeLock, Executive, KernelMode, FALSE, nullptr);
}
void UnlockTree() { SetEventInternal(&P().treeLock); }

}  // namespace

Pnp::Pnp() : impl_(std::make_unique<Impl>()) {}
Pnp::~Pnp() = default;

PDRIVER_OBJECT CreateDriverObject(const std::string& name) {
    Pnp::Impl& pnp = *Simulation::Current().pnp().impl_;
    auto storage = std::make_unique<DriverStorage>();
    storage->name = Widen("\\Driver\\" + name);
    storage->registryPath =
        Widen("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + name);
    DRIVER_OBJECT& d = storage->driver;
    d.Type = 4;
    d.Size = sizeof(DRIVER_OBJECT);
    d.DriverExtension = &storage->extension;
    storage->extension.DriverObject = &d;
    d.DriverName.Buffer = storage->name.data();
    d.DriverName.Length = static_cast<USHORT>(storage->name.size() * sizeof(WCHAR));
    d.DriverName.MaximumLength = d.DriverName.Length;
    for (auto& f : d.MajorFunction) f = DefaultDispatch;
    PDRIVER_OBJECT result = &d;
    pnp.drivers.push_back(std::move(storage));
    return result;
}

// ---------------------------------------------------------------- requests

namespace {

// Sends one PnP or power IRP to the top of the node's stack from a thread of
// its own and waits for the final completion. Returns the final status.
NTSTATUS SendFromThread(const std::string& threadName, PDEVICE_OBJECT top, UCHAR major,
                        UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& fill,
                        NTSTATUS initialStatus) {
    Simulation& sim = Simulation::Current();
    NTSTATUS final = STATUS_UNSUCCESSFUL;
    ThreadId t = sim.StartThread(threadName, [&] {
        PIRP irp = AllocateIrpInternal(top->StackSize,
                                       major == IRP_MJ_PNP ? IrpShadow::Origin::Pnp
                                                           : IrpShadow::Origin::Power);
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};
        bool completed = false;
        std::string label = ShadowOf(irp)->label;
        ShadowOf(irp)->finish = [&](PIRP finished) {
            iosb = finished->IoStatus;
            completed = true;
            FreeIrpInternal(finished);
            SetEventInternal(&done);
        };
        irp->IoStatus.Status = initialStatus;
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = major;
        next->MinorFunction = minor;
        if (fill) fill(next);
        NTSTATUS status = major == IRP_MJ_POWER ? PowerCallDriver(top, irp, false)
                                                : IofCallDriver(top, irp);
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        } else if (!completed) {
            BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION", "irp-returned-unfinished",
                     label + " " + MajorName(major) + " " +
                         (major == IRP_MJ_PNP ? PnpMinorName(minor) : Hex(minor)) +
                         ": dispatch returned " + StatusText(status) +
                         " without completing the request or marking it pending");
        }
        final = iosb.Status;
    });
    sim.Join(t);
    return final;
}

// Applies a mark to the records of every device object of the node's stack.
void MarkStack(DeviceNode* node, void (*mark)(DeviceRecord&)) {
    for (PDEVICE_OBJECT d = node->pdo; d; d = d->AttachedDevice)
        if (DeviceRecord* r = RecordOf(d)) mark(*r);
}

void ReferenceStack(DeviceNode* node, std::vector<PDEVICE_OBJECT>& held) {
    for (PDEVICE_OBJECT d = node->pdo->AttachedDevice; d; d = d->AttachedDevice) {
        ObfReferenceObject(d);
        held.push_back(d);
    }
}

}  // namespace

PDRIVER_OBJECT Pnp::LoadDriver(const std::string& serviceName, PDRIVER_INITIALIZE entry) {
    PDRIVER_OBJECT driver = CreateDriverObject(serviceName);
    auto& storage = *impl_->drivers.back();
    UNICODE_STRING path;
    path.Buffer = storage.registryPath.data();
    path.Length = static_cast<USHORT>(storage.registryPath.size() * sizeof(WCHAR));
    path.MaximumLength = path.Length;
    SIM_TRACE("PNP", "load driver " + serviceName);
    NTSTATUS status = entry(driver, &path);
    if (!NT_SUCCESS(status)) {
        SIM_TRACE("PNP", "driver entry failed with " + StatusText(status));
        return nullptr;
    }
    return driver;
}

DeviceNode* Pnp::Enumerate(Bus& bus, const std::string& instanceId) {
    Simulation& sim = Simulation::Current();
    PDEVICE_OBJECT pdo = bus.CreatePdo(instanceId);
    DeviceRecord* record = RecordOf(pdo);
    record->isPdo = true;
    record->instanceId = instanceId;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    ObfReferenceObject(pdo);
    Registry& reg = sim.registry();
    std::string enumKey = std::string(kEnumPath) + "\\" + instanceId;
    std::string deviceKey = enumKey + "\\Device Parameters";
    // The driver key is made once per instance and kept, as Windows does.
    auto driverValue = reg.GetValue(enumKey, "Driver");
    std::string classKey;
    if (driverValue) {
        classKey = std::string(kClassPath) + "\\" + driverValue->AsString();
    } else {
        char number[8];
        std::snprintf(number, sizeof number, "%04d", impl_->classInstances++);
        std::string relative = std::string(kPortsClassGuid) + "\\" + number;
        reg.SetString(enumKey, "Driver", relative);
        reg.SetString(enumKey, "Class", "Ports");
        reg.SetString(enumKey, "ClassGUID", kPortsClassGuid);
        classKey = std::string(kClassPath) + "\\" + relative;
    }
    reg.CreateKey(classKey);
    record->classKey = classKey;
    // Class installer: a new port gets the first free COMn.
    std::string portName;
    if (auto existing = reg.GetValue(deviceKey, "PortName")) {
        portName = existing->AsString();
    } else {
        int n = firstComNumber;
        while (impl_->comDb.count(n)) ++n;
        portName = "COM" + std::to_string(n);
        reg.SetString(deviceKey, "PortName", portName);
    }
    if (portName.rfind("COM", 0) == 0) impl_->comDb.insert(std::atoi(portName.c_str() + 3));
    auto node = std::make_unique<DeviceNode>();
    node->instanceId = instanceId;
    node->pdo = pdo;
    node->portName = portName;
    node->bus = &bus;
    SIM_TRACE("PNP", "enumerate " + instanceId + " (PortName " + portName + ")");
    impl_->nodes.push_back(std::move(node));
    return impl_->nodes.back().get();
}

NTSTATUS Pnp::AddDevice(DeviceNode* node, PDRIVER_OBJECT driver) {
    Simulation& sim = Simulation::Current();
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    ThreadId t = sim.StartThread("PnP", [&] {
        SIM_TRACE("PNP", "AddDevice for " + node->instanceId);
        status = driver->DriverExtension->AddDevice(driver, node->pdo);
    });
    sim.Join(t);
    if (NT_SUCCESS(status)) {
        node->added = true;
        node->top = TopOfStack(node->pdo);
        if (node->top->Flags & DO_DEVICE_INITIALIZING) {
            BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION", "device-initializing-not-cleared",
                     "AddDevice returned without clearing DO_DEVICE_INITIALIZING");
        }
        // The PnP manager holds the stack's device objects until removal.
        ReferenceStack(node, impl_->held[node]);
    }
    return status;
}

NTSTATUS Pnp::SendPnp(DeviceNode* node, UCHAR minor, PDEVICE_CAPABILITIES caps) {
    DEVICE_CAPABILITIES local{};
    PDEVICE_CAPABILITIES answer = caps ? caps : &local;
    if (minor == IRP_MN_QUERY_CAPABILITIES) {
        std::memset(answer, 0, sizeof *answer);
        answer->Size = sizeof(DEVICE_CAPABILITIES);
        answer->Version = 1;
        answer->Address = 0xFFFFFFFF;
        answer->UINumber = 0xFFFFFFFF;
    }
    // As Windows does (IoGetAttachedDeviceReference on the PDO), the request
    // goes to the current top of the stack: a driver that has detached its
    // device no longer receives it.
    LockTree();
    PDEVICE_OBJECT top = TopOfStack(node->pdo);
    SIM_TRACE("PNP", PnpMinorName(minor) + " for " + node->instanceId);
    if (minor == IRP_MN_REMOVE_DEVICE) MarkStack(node, [](DeviceRecord& r) { r.removeProcessed = true; });
    NTSTATUS status = SendFromThread(
        "PnP", top, IRP_MJ_PNP, minor,
        [&](PIO_STACK_LOCATION next) {
            if (minor == IRP_MN_QUERY_CAPABILITIES)
                next->Parameters.DeviceCapabilities.Capabilities = answer;
        },
        STATUS_NOT_SUPPORTED);
    UnlockTree();
    if (minor == IRP_MN_QUERY_REMOVE_DEVICE && NT_SUCCESS(status))
        MarkStack(node, [](DeviceRecord& r) { r.removePending = true; });
    if (minor == IRP_MN_CANCEL_REMOVE_DEVICE)
        MarkStack(node, [](DeviceRecord& r) { r.removePending = false; });
    if (minor == IRP_MN_START_DEVICE && NT_SUCCESS(status)) node->started = true;
    SIM_TRACE("PNP", PnpMinorName(minor) + " -> " + StatusText(status));
    return status;
}

NTSTATUS Pnp::SendPower(DeviceNode* node, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state) {
    const bool systemChange = type == SystemPowerState &&
                              (minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER);
    if (systemChange) LockTree();
    PDEVICE_OBJECT top = TopOfStack(node->pdo);
    NTSTATUS status = SendFromThread(
        "Power", top, IRP_MJ_POWER, minor,
        [&](PIO_STACK_LOCATION next) {
            if (minor == IRP_MN_WAIT_WAKE) {
                next->Parameters.WaitWake.PowerState = state.SystemState;
            } else {
                next->Parameters.Power.Type = type;
                next->Parameters.Power.State = state;
            }
        },
        STATUS_NOT_SUPPORTED);
    if (systemChange) UnlockTree();
    return status;
}

NTSTATUS Pnp::Sleep(DeviceNode* node, SYSTEM_POWER_STATE state) {
    POWER_STATE s;
    s.SystemState = state;
    NTSTATUS status = SendPower(node, IRP_MN_QUERY_POWER, SystemPowerState, s);
    if (!NT_SUCCESS(status)) return status;
    return SendPower(node, IRP_MN_SET_POWER, SystemPowerState, s);
}

NTSTATUS Pnp::Wake(DeviceNode* node) {
    POWER_STATE s;
    s.SystemState = PowerSystemWorking;
    return SendPower(node, IRP_MN_SET_POWER, SystemPowerState, s);
}

DeviceNode* Pnp::PlugIn(Bus& bus, const std::string& instanceId, PDRIVER_OBJECT driver,
                        NTSTATUS* status) {
    DeviceNode* node = Enumerate(bus, instanceId);
    NTSTATUS result = AddDevice(node, driver);
    if (NT_SUCCESS(result)) result = SendPnp(node, IRP_MN_START_DEVICE);
    if (status) *status = result;
    return node;
}

namespace {

void FinishRemoval(Pnp::Impl& pnp, Pnp& owner, DeviceNode* node) {
    node->removed = true;
    PDRIVER_OBJECT driver = node->top && node->top != node->pdo ? node->top->DriverObject : nullptr;
    // Release the stack's device objects held since AddDevice.
    auto held = std::move(pnp.held[node]);
    pnp.held.erase(node);
    for (PDEVICE_OBJECT d : held) ObfDereferenceObject(d);
    if (node->bus) node->bus->DeletePdo(node->pdo);
    ObfDereferenceObject(node->pdo);
    SIM_TRACE("PNP", "device " + node->instanceId + " removed");
    // The driver goes with its last device object; while a deleted one is
    // still referenced, when that reference goes.
    if (driver && !driver->DeviceObject) owner.UnloadDriver(driver);
}

}  // namespace

void Pnp::Unplug(DeviceNode* node) {
    SIM_TRACE("PNP", "unplug " + node->instanceId);
    if (node->bus) node->bus->Disconnect(node->pdo);
    if (node->added) {
        SendPnp(node, IRP_MN_SURPRISE_REMOVAL);
        RemoveWhenClosed(node);
        return;
    }
    FinishRemoval(*impl_, *this, node);
}

void Pnp::RemoveWhenClosed(DeviceNode* node) {
    if (HandleOpenOnAny(impl_->held[node])) {
        node->removalWaiting = true;
        SIM_TRACE("PNP", "removal of " + node->instanceId + " waits for its open handles");
        return;
    }
    SendPnp(node, IRP_MN_REMOVE_DEVICE);
    FinishRemoval(*impl_, *this, node);
}

void NoteHandleClosed() {
    Pnp& owner = Simulation::Current().pnp();
    Pnp::Impl& pnp = *owner.impl_;
    for (size_t i = 0; i < pnp.nodes.size(); ++i) {
        DeviceNode* node = pnp.nodes[i].get();
        if (!node->removalWaiting || HandleOpenOnAny(pnp.held[node])) continue;
        node->removalWaiting = false;
        SIM_TRACE("PNP", "last handle on " + node->instanceId + " closed");
        owner.SendPnp(node, IRP_MN_REMOVE_DEVICE);
        FinishRemoval(pnp, owner, node);
    }
}

void NoteDeviceReleased(PDRIVER_OBJECT driver) {
    if (!Simulation::Active()) return;
    Pnp::Impl& pnp = P();
    if (!pnp.unloadWaiting.count(driver) || driver->DeviceObject || DriverHasDeviceInMemory(driver))
        return;
    pnp.unloadWaiting.erase(driver);
    Simulation::Current().StartThread(
        "PnP", [driver] { Simulation::Current().pnp().UnloadDriver(driver); });
}

NTSTATUS Pnp::Remove(DeviceNode* node) {
    NTSTATUS status = SendPnp(node, IRP_MN_QUERY_REMOVE_DEVICE);
    if (NT_SUCCESS(status) && HandleOpenOnAny(impl_->held[node])) {
        // Windows does not remove a device with handles open on it: the
        // removal is vetoed (an application is using it) and cancelled.
        SIM_TRACE("PNP", "removal of " + node->instanceId + " vetoed: a handle is open");
        status = STATUS_DEVICE_BUSY;
    }
    if (!NT_SUCCESS(status)) {
        SendPnp(node, IRP_MN_CANCEL_REMOVE_DEVICE);
        return status;
    }
    SendPnp(node, IRP_MN_REMOVE_DEVICE);
    FinishRemoval(*impl_, *this, node);
    return STATUS_SUCCESS;
}

NTSTATUS Pnp::CancelledRemove(DeviceNode* node) {
    NTSTATUS status = SendPnp(node, IRP_MN_QUERY_REMOVE_DEVICE);
    SendPnp(node, IRP_MN_CANCEL_REMOVE_DEVICE);
    return status;
}

NTSTATUS Pnp::Stop(DeviceNode* node) {
    NTSTATUS status = SendPnp(node, IRP_MN_QUERY_STOP_DEVICE);
    if (!NT_SUCCESS(status)) {
        SendPnp(node, IRP_MN_CANCEL_STOP_DEVICE);
        return status;
    }
    return SendPnp(node, IRP_MN_STOP_DEVICE);
}

NTSTATUS Pnp::Rebalance(DeviceNode* node) {
    NTSTATUS status = Stop(node);
    if (!NT_SUCCESS(status)) return status;
    return SendPnp(node, IRP_MN_START_DEVICE);
}

NTSTATUS Pnp::CancelledStop(DeviceNode* node) {
    NTSTATUS status = SendPnp(node, IRP_MN_QUERY_STOP_DEVICE);
    SendPnp(node, IRP_MN_CANCEL_STOP_DEVICE);
    return status;
}

bool Pnp::Unloaded(PDRIVER_OBJECT driver) const { return impl_->unloaded.count(driver) != 0; }

void Pnp::UnloadDriver(PDRIVER_OBJECT driver) {
    Simulation& sim = Simulation::Current();
    if (impl_->unloaded.count(driver)) return;
    if (driver->DeviceObject) {
        BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION", "unload-devices-left",
                 "driver unloaded while it still has device objects");
    }
    if (DriverHasDeviceInMemory(driver)) {
        SIM_TRACE("PNP", "unload of " + Narrow(driver->DriverName) +
                             " waits for the last reference to its deleted devices");
        impl_->unloadWaiting.insert(driver);
        return;
    }
    impl_->unloaded.insert(driver);
    if (driver->DriverUnload) {
        ThreadId t = sim.StartThread("PnP", [&] { driver->DriverUnload(driver); });
        sim.Join(t);
    }
    SIM_TRACE("PNP", "driver " + Narrow(driver->DriverName) + " unloaded");
    std::string what;
    if (AnyDriverTimerOrDpcQueued(&what)) {
        BugCheck("DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS", "unload-timers-or-dpcs-queued", what);
    }
    auto balance = sim.pool().Balance();
    if (!balance.empty()) {
        std::string detail = "driver unloaded without freeing its pool:";
        for (auto& b : balance)
            detail += " '" + Pool::TagText(b.tag) + "' " + std::to_string(b.count) + " block(s) " +
                      std::to_string(b.bytes) + " bytes;";
        BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION", "unload-pool-left", detail);
    }
}

// ---------------------------------------------------------------- minimal bus

NTSTATUS CompleteBusPnp(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    switch (stack->MinorFunction) {
        case IRP_MN_START_DEVICE:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_REMOVE_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
            status = STATUS_SUCCESS;
            break;
        case IRP_MN_QUERY_CAPABILITIES: {
            PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
            caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
            for (int s = PowerSystemSleeping1; s < PowerSystemMaximum; ++s)
                caps->DeviceState[s] = PowerDeviceD3;
            caps->Removable = 1;
            caps->SystemWake = PowerSystemUnspecified;
            caps->DeviceWake = PowerDeviceUnspecified;
            status = STATUS_SUCCESS;
            break;
        }
        default:
            break;
    }
    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS CompleteBusPower(PIRP irp) {
    PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

namespace {

NTSTATUS MinimalBusPnp(PDEVICE_OBJECT, PIRP irp) { return CompleteBusPnp(irp); }
NTSTATUS MinimalBusPower(PDEVICE_OBJECT, PIRP irp) { return CompleteBusPower(irp); }

class MinimalBus : public Bus {
public:
    PDEVICE_OBJECT CreatePdo(const std::string&) override {
        if (!driver_) {
            driver_ = CreateDriverObject("minbus");
            driver_->MajorFunction[IRP_MJ_PNP] = MinimalBusPnp;
            driver_->MajorFunction[IRP_MJ_POWER] = MinimalBusPower;
        }
        PDEVICE_OBJECT pdo = nullptr;
        NTSTATUS status = IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_BUS_EXTENDER,
                                         FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo);
        if (!NT_SUCCESS(status)) Simulation::Current().Fail("minimal bus: no PDO");
        return pdo;
    }
    void DeletePdo(PDEVICE_OBJECT pdo) override { IoDeleteDevice(pdo); }

private:
    PDRIVER_OBJECT driver_ = nullptr;
};

}  // namespace

std::unique_ptr<Bus> MakeMinimalBus() { return std::make_unique<MinimalBus>(); }

}  // namespace sim

using namespace sim;

extern "C" NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT deviceObject, UCHAR minorFunction,
                                      POWER_STATE powerState,
                                      PREQUEST_POWER_COMPLETE completionFunction, PVOID context,
                                      PIRP* irpOut) {
    KernelPoint("PoRequestPowerIrp");
    VerifyIrqlAtMost(DISPATCH_LEVEL, "PoRequestPowerIrp");
    if (auto status = FaultFor("PoRequestPowerIrp")) return *status;
    PDEVICE_OBJECT top = TopOfStack(deviceObject);
    PIRP irp = AllocateIrpInternal(top->StackSize, IrpShadow::Origin::Power);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = minorFunction;
    if (minorFunction == IRP_MN_WAIT_WAKE) {
        next->Parameters.WaitWake.PowerState = powerState.SystemState;
    } else {
        next->Parameters.Power.Type = DevicePowerState;
        next->Parameters.Power.State = powerState;
    }
    auto completed = std::make_shared<bool>(false);
    ShadowOf(irp)->finish = [deviceObject, minorFunction, powerState, completionFunction,
                             context, completed](PIRP finished) {
        IO_STATUS_BLOCK iosb = finished->IoStatus;
        *completed = true;
        FreeIrpInternal(finished);
        if (completionFunction)
            completionFunction(deviceObject, minorFunction, powerState, context, &iosb);
    };
    if (irpOut) *irpOut = irp;
    SIM_TRACE("POWER", "request power IRP " + ShadowOf(irp)->label);
    std::string label = ShadowOf(irp)->label;
    Simulation::Current().StartThread("Power", [top, irp, completed, label, minorFunction] {
        NTSTATUS status = PowerCallDriver(top, irp, false);
        if (status != STATUS_PENDING && !*completed) {
            BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION", "irp-returned-unfinished",
                     label + " IRP_MJ_POWER " + Hex(minorFunction) + ": dispatch returned " +
                         StatusText(status) +
                         " without completing the request or marking it pending");
        }
    });
    return STATUS_PENDING;
}
