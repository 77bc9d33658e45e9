// iomgr.cpp - the I/O manager: device objects and their stacks, names,
// symbolic links and device interfaces, IRPs with their stack locations,
// calling, completing and cancelling them, and the verifier's IRP checks.
//
// IRP memory is kept (quarantined) after an IRP is freed until the end of
// the run, so that a second completion of the same IRP is reported as
// MULTIPLE_IRP_COMPLETE_REQUESTS rather than as a host crash. Device object
// memory stays readable while references remain, as on Windows.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "sim/kernel/internal.h"
#include "sim/kernel/tsan.h"

namespace sim {

namespace {

Simulation::Impl& S() { return Simulation::Current().impl(); }

std::string Upper(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    return text;
}

// "\DosDevices\X" and "\??\X" name the same thing; names compare without case.
std::string CanonicalName(const std::string& name) {
    std::string upper = Upper(name);
    const std::string dos = "\\DOSDEVICES\\";
    const std::string global = "\\GLOBAL??\\";
    if (upper.rfind(dos, 0) == 0) return "\\??\\" + upper.substr(dos.size());
    if (upper.rfind(global, 0) == 0) return "\\??\\" + upper.substr(global.size());
    if (upper.rfind("\\\\.\\", 0) == 0) return "\\??\\" + upper.substr(4);
    return upper;
}

}  // namespace

struct Objects::Impl {
    struct Link {
        std::string name;    // as created
        std::string target;  // as given
    };
    std::map<std::string, PDEVICE_OBJECT> devices;  // canonical name -> device
    std::map<std::string, Link> links;              // canonical name -> link
    std::vector<Objects::Interface> interfaces;     // in registration order
};

Objects::Objects() : impl_(std::make_unique<Impl>()) {}
Objects::~Objects() = default;

PDEVICE_OBJECT Objects::FindDevice(const std::string& ntName) const {
    auto it = impl_->devices.find(CanonicalName(ntName));
    return it == impl_->devices.end() ? nullptr : it->second;
}

std::string Objects::NameOf(PDEVICE_OBJECT device) const {
    DeviceRecord* record = RecordOf(device);
    return record ? record->name : std::string();
}

std::vector<std::string> Objects::LinksTo(const std::string& target) const {
    std::vector<std::string> out;
    for (auto& [key, link] : impl_->links)
        if (CanonicalName(link.target) == CanonicalName(target)) out.push_back(link.name);
    return out;
}

std::optional<std::string> Objects::LinkTarget(const std::string& linkName) const {
    auto it = impl_->links.find(CanonicalName(linkName));
    if (it == impl_->links.end()) return std::nullopt;
    return it->second.target;
}

PDEVICE_OBJECT Objects::Resolve(const std::string& name) const {
    std::string current = name;
    for (int depth = 0; depth < 8; ++depth) {
        if (PDEVICE_OBJECT device = FindDevice(current)) return device;
        auto target = LinkTarget(current);
        if (!target) {
            // Interface links name the PDO's stack.
            for (auto& i : impl_->interfaces) {
                if (CanonicalName(i.symbolicLink) == CanonicalName(current) && i.enabled)
                    return i.pdo;
            }
            return nullptr;
        }
        current = *target;
    }
    return nullptr;
}

std::vector<std::string> Objects::SymbolicLinks() const {
    std::vector<std::string> out;
    for (auto& [key, link] : impl_->links) out.push_back(link.name);
    return out;
}

std::vector<std::string> Objects::DeviceNames() const {
    std::vector<std::string> out;
    for (auto& [key, device] : impl_->devices) {
        DeviceRecord* record = RecordOf(device);
        out.push_back(record ? record->name : key);
    }
    return out;
}

std::vector<Objects::Interface> Objects::Interfaces() const { return impl_->interfaces; }

std::vector<Objects::Interface> Objects::EnabledInterfaces(const GUID& guid) const {
    std::vector<Interface> out;
    std::string text = GuidText(guid);
    for (auto& i : impl_->interfaces)
        if (i.enabled && Upper(i.guid) == Upper(text)) out.push_back(i);
    return out;
}

std::string Objects::GuidText(const GUID& g) {
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  g.Data1, g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3],
                  g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return buffer;
}

// ---------------------------------------------------------------- helpers

std::string StatusText(NTSTATUS status) {
    switch (status) {
        case STATUS_SUCCESS: return "STATUS_SUCCESS";
        case STATUS_PENDING: return "STATUS_PENDING";
        case STATUS_TIMEOUT: return "STATUS_TIMEOUT";
        case STATUS_CANCELLED: return "STATUS_CANCELLED";
        case STATUS_UNSUCCESSFUL: return "STATUS_UNSUCCESSFUL";
        case STATUS_INVALID_PARAMETER: return "STATUS_INVALID_PARAMETER";
        case STATUS_INVALID_DEVICE_REQUEST: return "STATUS_INVALID_DEVICE_REQUEST";
        case STATUS_INSUFFICIENT_RESOURCES: return "STATUS_INSUFFICIENT_RESOURCES";
        case STATUS_MORE_PROCESSING_REQUIRED: return "STATUS_MORE_PROCESSING_REQUIRED";
        case STATUS_DELETE_PENDING: return "STATUS_DELETE_PENDING";
        case STATUS_BUFFER_TOO_SMALL: return "STATUS_BUFFER_TOO_SMALL";
        case STATUS_NOT_SUPPORTED: return "STATUS_NOT_SUPPORTED";
        case STATUS_NO_SUCH_DEVICE: return "STATUS_NO_SUCH_DEVICE";
        case STATUS_DEVICE_NOT_CONNECTED: return "STATUS_DEVICE_NOT_CONNECTED";
        case STATUS_ACCESS_DENIED: return "STATUS_ACCESS_DENIED";
        case STATUS_OBJECT_NAME_NOT_FOUND: return "STATUS_OBJECT_NAME_NOT_FOUND";
        case STATUS_OBJECT_NAME_COLLISION: return "STATUS_OBJECT_NAME_COLLISION";
        case STATUS_NO_MEMORY: return "STATUS_NO_MEMORY";
        case STATUS_BUFFER_OVERFLOW: return "STATUS_BUFFER_OVERFLOW";
        default: return Hex(static_cast<uint32_t>(status));
    }
}

std::string MajorName(UCHAR major) {
    static const char* const names[] = {
        "IRP_MJ_CREATE", "IRP_MJ_CREATE_NAMED_PIPE", "IRP_MJ_CLOSE", "IRP_MJ_READ",
        "IRP_MJ_WRITE", "IRP_MJ_QUERY_INFORMATION", "IRP_MJ_SET_INFORMATION",
        "IRP_MJ_QUERY_EA", "IRP_MJ_SET_EA", "IRP_MJ_FLUSH_BUFFERS",
        "IRP_MJ_QUERY_VOLUME_INFORMATION", "IRP_MJ_SET_VOLUME_INFORMATION",
        "IRP_MJ_DIRECTORY_CONTROL", "IRP_MJ_FILE_SYSTEM_CONTROL", "IRP_MJ_DEVICE_CONTROL",
        "IRP_MJ_INTERNAL_DEVICE_CONTROL", "IRP_MJ_SHUTDOWN", "IRP_MJ_LOCK_CONTROL",
        "IRP_MJ_CLEANUP", "IRP_MJ_CREATE_MAILSLOT", "IRP_MJ_QUERY_SECURITY",
        "IRP_MJ_SET_SECURITY", "IRP_MJ_POWER", "IRP_MJ_SYSTEM_CONTROL", "IRP_MJ_DEVICE_CHANGE",
        "IRP_MJ_QUERY_QUOTA", "IRP_MJ_SET_QUOTA", "IRP_MJ_PNP"};
    return major <= IRP_MJ_MAXIMUM_FUNCTION ? names[major] : Hex(major);
}

std::string PnpMinorName(UCHAR minor) {
    switch (minor) {
        case IRP_MN_START_DEVICE: return "IRP_MN_START_DEVICE";
        case IRP_MN_QUERY_REMOVE_DEVICE: return "IRP_MN_QUERY_REMOVE_DEVICE";
        case IRP_MN_REMOVE_DEVICE: return "IRP_MN_REMOVE_DEVICE";
        case IRP_MN_CANCEL_REMOVE_DEVICE: return "IRP_MN_CANCEL_REMOVE_DEVICE";
        case IRP_MN_STOP_DEVICE: return "IRP_MN_STOP_DEVICE";
        case IRP_MN_QUERY_STOP_DEVICE: return "IRP_MN_QUERY_STOP_DEVICE";
        case IRP_MN_CANCEL_STOP_DEVICE: return "IRP_MN_CANCEL_STOP_DEVICE";
        case IRP_MN_QUERY_CAPABILITIES: return "IRP_MN_QUERY_CAPABILITIES";
        case IRP_MN_SURPRISE_REMOVAL: return "IRP_MN_SURPRISE_REMOVAL";
        default: return Hex(minor);
    }
}

DeviceRecord* RecordOf(const DEVICE_OBJECT* device) {
    if (!device) return nullptr;
    auto& devices = S().devices;
    auto it = devices.find(device);
    return it == devices.end() ? nullptr : &it->second;
}

std::string DeviceLabel(const DEVICE_OBJECT* device) {
    DeviceRecord* record = RecordOf(device);
    if (!record) return "device?";
    if (!record->name.empty()) return record->name;
    if (record->isPdo) return "PDO(" + record->instanceId + ")";
    return "device#" + std::to_string(record->seq);
}

bool AddressInDevice(const void* address, const DeviceRecord& record) {
    auto* p = static_cast<const char*>(address);
    auto* begin = static_cast<const char*>(record.device->DeviceExtension);
    return begin && p >= begin && p < begin + record.extensionSize;
}

PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device) {
    while (device && device->AttachedDevice) device = device->AttachedDevice;
    return device;
}

IrpShadow* ShadowOf(const IRP* irp) {
    auto& irps = S().irps;
    auto it = irps.find(irp);
    return it == irps.end() ? nullptr : &it->second;
}

PIRP AllocateIrpInternal(CCHAR stackSize, IrpShadow::Origin origin) {
    Simulation::Impl& s = S();
    int count = stackSize < 1 ? 1 : stackSize;
    size_t bytes = sizeof(IRP) + static_cast<size_t>(count) * sizeof(IO_STACK_LOCATION);
    auto* irp = static_cast<PIRP>(std::calloc(1, bytes));
    irp->Type = 6;
    irp->Size = static_cast<USHORT>(bytes);
    irp->StackCount = static_cast<CHAR>(count);
    irp->CurrentLocation = static_cast<CHAR>(count + 1);
    auto* stack = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
    irp->Tail.Overlay.CurrentStackLocation = stack + count;
    InitializeListHead(&irp->ThreadListEntry);
    IrpShadow shadow;
    shadow.seq = ++s.irpSeq;
    shadow.origin = origin;
    shadow.stackCount = count;
    shadow.locations.assign(count + 2, {});
    shadow.label = "IRP#" + std::to_string(shadow.seq);
    s.irps[irp] = std::move(shadow);
    return irp;
}

void FreeIrpInternal(PIRP irp) {
    Simulation::Impl& s = S();
    IrpShadow* shadow = ShadowOf(irp);
    if (shadow) shadow->state = IrpShadow::State::Freed;
    // Quarantine: the memory stays as it was until the run ends, so a late
    // completion or cancel of this IRP reaches the verifier instead of
    // crashing the host.
    s.irpQuarantine.push_back(irp);
}

// A user request that reached the device and has not been completed past
// it is still held by the device's driver: deleting the device strands it.
void VerifyNoUserRequestHeldAt(PDEVICE_OBJECT device) {
    Simulation::Impl& s = S();
    const IrpShadow* oldest = nullptr;
    for (auto& [irp, shadow] : s.irps) {
        if (shadow.origin != IrpShadow::Origin::User || shadow.state == IrpShadow::State::Freed ||
            shadow.state == IrpShadow::State::Done)
            continue;
        auto* stack = reinterpret_cast<const IO_STACK_LOCATION*>(irp + 1);
        for (int location = std::max<int>(irp->CurrentLocation, 1); location <= irp->StackCount;
             ++location) {
            if (stack[location - 1].DeviceObject == device) {
                if (!oldest || shadow.seq < oldest->seq) oldest = &shadow;
                break;
            }
        }
    }
    if (oldest) {
        BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION", "device-delete-request-held",
                 "device " + DeviceLabel(device) + " deleted while user request " + oldest->label +
                     " (" + oldest->request + ") is still held by its driver");
    }
}

void ReleaseDeviceIfUnused(PDEVICE_OBJECT device) {
    DeviceRecord* record = RecordOf(device);
    if (!record || !record->deleted) return;
    if (device->ReferenceCount > 0) return;
    // Windows frees a deleted device object with its last reference; a
    // dispatch routine of its driver still running in it on another thread
    // (blocked in a wait, say) would then touch freed memory. The calling
    // thread's own dispatch routine may still return through it.
    for (const SimThread* t : record->dispatchThreads) {
        if (t != &CurrentThread()) {
            BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION", "device-released-dispatch-running",
                     "device " + DeviceLabel(device) +
                         " deleted and released while a dispatch routine on thread '" + t->name +
                         "' is still running in it");
        }
    }
    if (record->activeCalls > 0) return;
    SIM_TRACE("OBJECT", "device " + DeviceLabel(device) + " memory released");
    void* memory = record->memory;
    PDRIVER_OBJECT driver = device->DriverObject;
    S().devices.erase(device);
    std::free(memory);
    NoteDeviceReleased(driver);
}

}  // namespace sim

using namespace sim;

namespace {

// Checks, for one stack location, that the status its dispatch routine
// returned agrees with IoMarkIrpPending, once the routine has returned and
// completion has passed the location.
void CheckPendingRule(IrpShadow& shadow, int location) {
    IrpShadow::Location& at = shadow.locations[location];
    if (!at.returned || !at.passed) return;
    NTSTATUS status = at.returnedStatus;
    bool marked = at.marked;
    at.returned = false;  // checked once
    if (status == STATUS_PENDING && !marked) {
        BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION", "irp-pending-not-marked",
                 shadow.label + ": STATUS_PENDING returned without IoMarkIrpPending");
    }
    if (marked && status != STATUS_PENDING) {
        BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION", "irp-marked-not-pending",
                 shadow.label + ": IoMarkIrpPending called but " + StatusText(status) +
                     " returned instead of STATUS_PENDING");
    }
}


// Final completion of an IRP whose completion reached the top of its stack.
void FinishIrp(PIRP irp, IrpShadow& shadow) {
    shadow.state = IrpShadow::State::Done;
    if (shadow.finish) {
        auto finish = std::move(shadow.finish);
        finish(irp);
        return;
    }
    // IRPs built with IoBuildDeviceIoControlRequest: report and free.
    if (shadow.origin == IrpShadow::Origin::Driver) {
        BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION", "irp-driver-irp-to-top",
                 shadow.label + ": driver-allocated IRP completed to the top of its stack "
                                "(its completion routine must return "
                                "STATUS_MORE_PROCESSING_REQUIRED)");
    }
    auto* first = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + (irp->StackCount - 1);
    ULONG outputLength = first->Parameters.DeviceIoControl.OutputBufferLength;
    if (irp->UserBuffer && outputLength != 0 && irp->IoStatus.Information > outputLength) {
        BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION", "irp-information-overflow",
                 shadow.label + ": information " + std::to_string(irp->IoStatus.Information) +
                     " is larger than the caller's buffer of " + std::to_string(outputLength));
    }
    // The rest runs as Windows' special kernel APC in the issuing thread: at
    // once when that thread is below APC_LEVEL, else when it gets there.
    auto complete = [irp, outputLength] {
        if (irp->UserIosb) *irp->UserIosb = irp->IoStatus;
        PKEVENT event = irp->UserEvent;
        if (irp->AssociatedIrp.SystemBuffer) {
            // Buffered output goes back to the caller's buffer unless the
            // request failed (an error status; warnings copy, as on Windows).
            bool error = (static_cast<ULONG>(irp->IoStatus.Status) >> 30) == 3;
            if (irp->UserBuffer && outputLength != 0 && irp->IoStatus.Information && !error)
                std::memcpy(irp->UserBuffer, irp->AssociatedIrp.SystemBuffer,
                            irp->IoStatus.Information);
            std::free(irp->AssociatedIrp.SystemBuffer);
            irp->AssociatedIrp.SystemBuffer = nullptr;
        }
        FreeIrpInternal(irp);
        if (event) SetEventInternal(event);
    };
    SimThread* issuer = shadow.issuer;
    if (issuer && issuer->state != SimThread::State::Finished && issuer->irql >= APC_LEVEL) {
        SIM_TRACE("IRP", shadow.label + " final completion waits until '" + issuer->name +
                             "' is below APC_LEVEL");
        issuer->pendingApcs.push_back(std::move(complete));
        return;
    }
    complete();
}

}  // namespace

extern "C" {

VOID SimNoteIrpPending(PIRP irp) {
    IrpShadow* shadow = ShadowOf(irp);
    if (shadow && irp->CurrentLocation >= 1 && irp->CurrentLocation <= shadow->stackCount)
        shadow->locations[irp->CurrentLocation].marked = true;
}

// ---------------------------------------------------------------- devices

NTSTATUS IoCreateDevice(PDRIVER_OBJECT driverObject, ULONG deviceExtensionSize,
                        PUNICODE_STRING deviceName, DEVICE_TYPE deviceType,
                        ULONG deviceCharacteristics, BOOLEAN exclusive,
                        PDEVICE_OBJECT* deviceObject) {
    KernelPoint("IoCreateDevice");
    VerifyIrqlAtMost(PASSIVE_LEVEL, "IoCreateDevice");
    *deviceObject = nullptr;
    if (auto status = FaultFor("IoCreateDevice")) return *status;
    Simulation& sim = Simulation::Current();
    Simulation::Impl& s = sim.impl();
    std::string name = deviceName ? Narrow(*deviceName) : "";
    if (!name.empty() && (sim.objects().FindDevice(name) || sim.objects().LinkTarget(name))) {
        SIM_TRACE("OBJECT", "create device " + name + ": name collision");
        return STATUS_OBJECT_NAME_COLLISION;
    }
    size_t extensionOffset = (sizeof(DEVICE_OBJECT) + 15) & ~size_t(15);
    size_t doeOffset = (extensionOffset + deviceExtensionSize + 15) & ~size_t(15);
    size_t bytes = doeOffset + sizeof(DEVOBJ_EXTENSION);
    char* memory = static_cast<char*>(std::calloc(1, bytes));
    auto* device = reinterpret_cast<PDEVICE_OBJECT>(memory);
    device->Type = 3;
    device->Size = static_cast<USHORT>(bytes);
    device->DriverObject = driverObject;
    device->DeviceExtension = deviceExtensionSize ? memory + extensionOffset : nullptr;
    device->DeviceType = deviceType;
    device->Characteristics = deviceCharacteristics;
    device->Flags = DO_DEVICE_INITIALIZING | (exclusive ? DO_EXCLUSIVE : 0) |
                    (name.empty() ? 0 : DO_DEVICE_HAS_NAME);
    device->StackSize = 1;
    device->DeviceObjectExtension = reinterpret_cast<PDEVOBJ_EXTENSION>(memory + doeOffset);
    device->DeviceObjectExtension->DeviceObject = device;
    // Newest first, as the I/O manager links them.
    device->NextDevice = driverObject->DeviceObject;
    driverObject->DeviceObject = device;
    DeviceRecord record;
    record.seq = ++s.deviceSeq;
    record.device = device;
    record.name = name;
    record.memory = memory;
    record.extensionSize = deviceExtensionSize;
    s.devices[device] = record;
    if (!name.empty()) sim.objects().impl_->devices[CanonicalName(name)] = device;
    *deviceObject = device;
    SIM_TRACE("OBJECT", "create device " + DeviceLabel(device));
    return STATUS_SUCCESS;
}

VOID IoDeleteDevice(PDEVICE_OBJECT deviceObject) {
    KernelPoint("IoDeleteDevice");
    VerifyIrqlAtMost(PASSIVE_LEVEL, "IoDeleteDevice");
    DeviceRecord* record = RecordOf(deviceObject);
    if (!record || record->deleted) {
        BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION", "device-delete-twice", "IoDeleteDevice of a deleted device");
    }
    if (deviceObject->AttachedDevice) {
        BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION", "device-delete-attached",
                 "device " + DeviceLabel(deviceObject) + " deleted while " +
                     DeviceLabel(deviceObject->AttachedDevice) + " is attached above it");
    }
    if (deviceObject->DeviceObjectExtension->AttachedTo) {
        BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION", "device-delete-attached",
                 "device " + DeviceLabel(deviceObject) + " deleted while still attached to " +
                     DeviceLabel(deviceObject->DeviceObjectExtension->AttachedTo));
    }
    VerifyNoTimersOrDpcsIn(*record);
    VerifyNoRemoveLockHeldIn(*record);
    VerifyNoUserRequestHeldAt(deviceObject);
    Simulation& sim = Simulation::Current();
    if (!record->name.empty()) sim.objects().impl_->devices.erase(CanonicalName(record->name));
    PDRIVER_OBJECT driver = deviceObject->DriverObject;
    for (PDEVICE_OBJECT* p = &driver->DeviceObject; *p; p = &(*p)->NextDevice) {
        if (*p == deviceObject) {
            *p = deviceObject->NextDevice;
            break;
        }
    }
    record->deleted = true;
    SIM_TRACE("OBJECT", "delete device " + DeviceLabel(deviceObject));
    ReleaseDeviceIfUnused(deviceObject);
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT sourceDevice,
                                           PDEVICE_OBJECT targetDevice) {
    KernelPoint("IoAttachDeviceToDeviceStack");
    VerifyIrqlAtMost(PASSIVE_LEVEL, "IoAttachDeviceToDeviceStack");
    if (FaultFor("IoAttachDeviceToDeviceStack")) return nullptr;
    PDEVICE_OBJECT top = TopOfStack(targetDevice);
    if (!top) return nullptr;
    DeviceRecord* targetRecord = RecordOf(targetDevice);
    DeviceRecord* topRecord = RecordOf(top);
    if (!targetRecord || targetRecord->deleted || !topRecord || topRecord->deleted) {
        // Windows refuses to attach to a stack being deleted.
        SIM_TRACE("OBJECT", "attach " + DeviceLabel(sourceDevice) + " above " + DeviceLabel(top) +
                                ": the target is deleted");
        return nullptr;
    }
    top->AttachedDevice = sourceDevice;
    sourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    sourceDevice->DeviceObjectExtension->AttachedTo = top;
    SIM_TRACE("OBJECT", "attach " + DeviceLabel(sourceDevice) + " above " + DeviceLabel(top));
    return top;
}

VOID IoDetachDevice(PDEVICE_OBJECT targetDevice) {
    KernelPoint("IoDetachDevice");
    VerifyIrqlAtMost(PASSIVE_LEVEL, "IoDetachDevice");
    PDEVICE_OBJECT above = targetDevice->AttachedDevice;
    if (!above) {
        BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION", "device-detach-nothing",
                 "IoDetachDevice on " + DeviceLabel(targetDevice) + " with nothing attached");
    }
    above->DeviceObjectExtension->AttachedTo = nullptr;
    targetDevice->AttachedDevice = nullptr;
    SIM_TRACE("OBJECT", "detach " + DeviceLabel(above) + " from " + DeviceLabel(targetDevice));
}

PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT deviceObject) {
    KernelPoint("IoGetAttachedDeviceReference");
    PDEVICE_OBJECT top = TopOfStack(deviceObject);
    top->ReferenceCount++;
    return top;
}

VOID ObfReferenceObject(PVOID object) {
    auto* device = static_cast<PDEVICE_OBJECT>(object);
    if (RecordOf(device)) device->ReferenceCount++;
}

VOID ObfDereferenceObject(PVOID object) {
    auto* device = static_cast<PDEVICE_OBJECT>(object);
    if (!RecordOf(device)) return;
    device->ReferenceCount--;
    ReleaseDeviceIfUnused(device);
}

// ---------------------------------------------------------------- names

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING symbolicLinkName, PUNICODE_STRING deviceName) {
    KernelPoint("IoCreateSymbolicLink");
    VerifyIrqlAtMost(PASSIVE_LEVEL, "IoCreateSymbolicLink");
    if (auto status = FaultFor("IoCreateSymbolicLink")) return *status;
    Objects::Impl& objects = *Simulation::Current().objects().impl_;
    std::string name = Narrow(*symbolicLinkName);
    std::string key = CanonicalName(name);
    if (objects.links.count(key) || objects.devices.count(key)) {
        SIM_TRACE("OBJECT", "link " + name + ": name collision");
        return STATUS_OBJECT_NAME_COLLISION;
    }
    objects.links[key] = Objects::Impl::Link{name, Narrow(*deviceName)};
    SIM_TRACE("OBJECT", "link " + name + " -> " + Narrow(*deviceName));
    return STATUS_SUCCESS;
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING symbolicLinkName) {
    KernelPoint("IoDeleteSymbolicLink");
    VerifyIrqlAtMost(PASSIVE_LEVEL, "IoDeleteSymbolicLink");
    if (auto status = FaultFor("IoDeleteSymbolicLink")) return *status;
    Objects::Impl& objects = *Simulation::Current().objects().impl_;
    std::string name = Narrow(*symbolicLinkName);
    bool erased = objects.links.erase(CanonicalName(name)) > 0;
    SIM_TRACE("OBJECT", "unlink " + name + (erased ? "" : ": not found"));
    return erased ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT physicalDeviceObject,
                                   const GUID* interfaceClassGuid,
                                   PUNICODE_STRING referenceString,
                                   PUNICODE_STRING symbolicLinkName) {
    KernelPoint("IoRegisterDeviceInterface");
    VerifyIrqlAtMost(PASSIVE_LEVEL, "IoRegisterDeviceInterface");
    if (auto status = FaultFor("IoRegisterDeviceInterface")) return *status;
    DeviceRecord* record = RecordOf(physicalDeviceObject);
    if (!record || !record->isPdo) return STATUS_INVALID_DEVICE_REQUEST;
    std::string instance = record->instanceId;
    for (char& c : instance)
        if (c == '\\') c = '#';
    std::string guid = Objects::GuidText(*interfaceClassGuid);
    std::string lowerGuid = guid;
    for (char& c : lowerGuid)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    std::string link = "\\??\\" + instance + "#" + lowerGuid;
    if (referenceString && referenceString->Length) link += "\\" + Narrow(*referenceString);
    Objects::Impl& objects = *Simulation::Current().objects().impl_;
    bool known = false;
    for (auto& i : objects.interfaces)
        if (CanonicalName(i.symbolicLink) == CanonicalName(link)) known = true;
    if (!known) objects.interfaces.push_back(Objects::Interface{link, guid, false, physicalDeviceObject});
    // The platform allocates the name; the caller frees it (RtlFreeUnicodeString).
    size_t bytes = (link.size() + 1) * sizeof(WCHAR);
    auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes, 'fIoI'));
    if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
    for (size_t i = 0; i < link.size(); ++i) buffer[i] = static_cast<char16_t>(link[i]);
    buffer[link.size()] = 0;
    symbolicLinkName->Buffer = buffer;
    symbolicLinkName->Length = static_cast<USHORT>(link.size() * sizeof(WCHAR));
    symbolicLinkName->MaximumLength = static_cast<USHORT>(bytes);
    SIM_TRACE("OBJECT", "register interface " + link);
    return STATUS_SUCCESS;
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING symbolicLinkName, BOOLEAN enable) {
    KernelPoint("IoSetDeviceInterfaceState");
    VerifyIrqlAtMost(PASSIVE_LEVEL, "IoSetDeviceInterfaceState");
    if (auto status = FaultFor("IoSetDeviceInterfaceState")) return *status;
    std::string name = Narrow(*symbolicLinkName);
    for (auto& i : Simulation::Current().objects().impl_->interfaces) {
        if (CanonicalName(i.symbolicLink) == CanonicalName(name)) {
            i.enabled = enable != 0;
            SIM_TRACE("OBJECT", std::string(enable ? "enable" : "disable") + " interface " + name);
            return STATUS_SUCCESS;
        }
    }
    return STATUS_OBJECT_NAME_NOT_FOUND;
}

// ---------------------------------------------------------------- IRPs

PIRP IoAllocateIrp(CCHAR stackSize, BOOLEAN) {
    KernelPoint("IoAllocateIrp");
    VerifyIrqlAtMost(DISPATCH_LEVEL, "IoAllocateIrp");
    if (FaultFor("IoAllocateIrp")) return nullptr;
    PIRP irp = AllocateIrpInternal(stackSize, IrpShadow::Origin::Driver);
    SIM_TRACE("IRP", "allocate " + ShadowOf(irp)->label);
    return irp;
}

VOID IoFreeIrp(PIRP irp) {
    KernelPoint("IoFreeIrp");
    IrpShadow* shadow = ShadowOf(irp);
    if (!shadow || shadow->origin != IrpShadow::Origin::Driver) {
        BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION", "irp-free-not-driver",
                 "IoFreeIrp of an IRP the driver did not allocate");
    }
    if (shadow->state == IrpShadow::State::Freed) {
        BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION", "irp-free-twice", shadow->label + " freed twice");
    }
    // Once a lower driver has completed the IRP it is the owner's again, even
    // while that lower driver's dispatch routine is still returning (a
    // completion routine that frees its IRP from inside the lower driver's
    // IoCompleteRequest is the usual pattern).
    if (shadow->state == IrpShadow::State::Dispatched) {
        BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION", "irp-free-while-below",
                 shadow->label + " freed while a lower driver still owns it");
    }
    if (irp->CancelRoutine) {
        BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION", "irp-free-cancel-routine",
                 shadow->label + " freed with a cancel routine set");
    }
    SIM_TRACE("IRP", "free " + shadow->label);
    FreeIrpInternal(irp);
}

VOID IoReuseIrp(PIRP irp, NTSTATUS status) {
    KernelPoint("IoReuseIrp");
    IrpShadow* shadow = ShadowOf(irp);
    if (!shadow) BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION", "irp-reuse-unknown", "IoReuseIrp of an unknown IRP");
    if (shadow->state == IrpShadow::State::Freed) {
        BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION", "irp-reuse-freed", "IoReuseIrp of " + shadow->label +
                                                            ", which was already freed");
    }
    if (shadow->origin != IrpShadow::Origin::Driver) {
        BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION", "irp-reuse-not-driver",
                 "IoReuseIrp of " + shadow->label +
                     ", which the driver did not allocate with IoAllocateIrp");
    }
    if (shadow->state == IrpShadow::State::Dispatched || shadow->callDepth > 0) {
        BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION", "irp-reuse-in-use", "IoReuseIrp of an IRP in use");
    }
    // IoInitializeIrp: the whole IRP and its stack locations are zeroed; the
    // size, stack count and allocation flags are kept.
    int count = irp->StackCount;
    USHORT size = irp->Size;
    UCHAR allocationFlags = irp->AllocationFlags;
    std::memset(irp, 0, size);
    irp->Type = 6;
    irp->Size = size;
    irp->StackCount = static_cast<CHAR>(count);
    irp->AllocationFlags = allocationFlags;
    irp->CurrentLocation = static_cast<CHAR>(count + 1);
    irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + count;
    InitializeListHead(&irp->ThreadListEntry);
    irp->IoStatus.Status = status;
    shadow->state = IrpShadow::State::Allocated;
    for (IrpShadow::Location& at : shadow->locations) at.marked = at.returned = at.passed = false;
}

PIRP IoBuildDeviceIoControlRequest(ULONG ioControlCode, PDEVICE_OBJECT deviceObject,
                                   PVOID inputBuffer, ULONG inputBufferLength,
                                   PVOID outputBuffer, ULONG outputBufferLength,
                                   BOOLEAN internalDeviceIoControl, PKEVENT event,
                                   PIO_STATUS_BLOCK ioStatusBlock) {
    KernelPoint("IoBuildDeviceIoControlRequest");
    VerifyIrqlAtMost(PASSIVE_LEVEL, "IoBuildDeviceIoControlRequest");
    if (FaultFor("IoBuildDeviceIoControlRequest")) return nullptr;
    PIRP irp = AllocateIrpInternal(deviceObject->StackSize, IrpShadow::Origin::IoBuild);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction =
        internalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = ioControlCode;
    next->Parameters.DeviceIoControl.InputBufferLength = inputBufferLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = outputBufferLength;
    switch (METHOD_FROM_CTL_CODE(ioControlCode)) {
        case METHOD_BUFFERED: {
            ULONG size = std::max(inputBufferLength, outputBufferLength);
            if (size) {
                // Filled as pool is (0xCD), not zeroed: the lower driver must
                // not rely on output bytes it did not write.
                irp->AssociatedIrp.SystemBuffer = std::malloc(size);
                std::memset(irp->AssociatedIrp.SystemBuffer, 0xCD, size);
                if (inputBuffer && inputBufferLength)
                    std::memcpy(irp->AssociatedIrp.SystemBuffer, inputBuffer, inputBufferLength);
            }
            irp->UserBuffer = outputBuffer;
            break;
        }
        default:
            next->Parameters.DeviceIoControl.Type3InputBuffer = inputBuffer;
            irp->UserBuffer = outputBuffer;
            break;
    }
    irp->UserEvent = event;
    irp->UserIosb = ioStatusBlock;
    irp->IoStatus.Status = STATUS_SUCCESS;
    ShadowOf(irp)->issuer = &CurrentThread();
    irp->Tail.Overlay.Thread = reinterpret_cast<PETHREAD>(&CurrentThread());
    SIM_TRACE("IRP", "build " + ShadowOf(irp)->label + " device control " + Hex(ioControlCode) +
                         " for " + DeviceLabel(deviceObject));
    return irp;
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT deviceObject, PIRP irp) {
    KernelPoint("IofCallDriver");
    SimThread& self = CurrentThread();
    VerifyIrqlAtMost(DISPATCH_LEVEL, "IofCallDriver");
    IrpShadow* shadow = ShadowOf(irp);
    if (!shadow || shadow->state == IrpShadow::State::Freed ||
        shadow->state == IrpShadow::State::Done) {
        BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION", "irp-call-completed",
                 "IofCallDriver with an IRP that is freed or already completed");
    }
    DeviceRecord* record = RecordOf(deviceObject);
    if (!record) BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION", "irp-call-no-device", "IofCallDriver to no device");
    // A driver passing a request to a deleted device is at fault. The I/O
    // manager itself still sends requests on an open file (cleanup, close)
    // to its device after the device was deleted, as Windows does.
    bool sentByIoManager = (shadow->origin == IrpShadow::Origin::User ||
                            shadow->origin == IrpShadow::Origin::Pnp ||
                            shadow->origin == IrpShadow::Origin::Power) &&
                           irp->CurrentLocation == irp->StackCount + 1;
    if (record->deleted && !sentByIoManager) {
        BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION", "irp-call-deleted-device",
                 shadow->label + " sent to " + DeviceLabel(deviceObject) + ", which was deleted");
    }
    if (irp->CancelRoutine) {
        BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION", "irp-call-cancel-routine",
                 shadow->label + " sent to " + DeviceLabel(deviceObject) +
                     " with a cancel routine still set");
    }
    // The power rules, for a driver passing a power request on (the
    // platform's own first dispatch is exempt): the next power request must
    // have been released, and the request goes down through PoCallDriver.
    const bool viaPoCallDriver = self.viaPoCallDriver;
    self.viaPoCallDriver = false;
    if (irp->CurrentLocation > 1 && (irp->Tail.Overlay.CurrentStackLocation - 1)->MajorFunction ==
                                        IRP_MJ_POWER &&
        shadow->dispatches > 0) {
        // Wait-wake and power-sequence requests need no PoStartNextPowerIrp.
        if (PowerQueueOf(irp->Tail.Overlay.CurrentStackLocation - 1) >= 0 &&
            shadow->powerStartedAt != shadow->dispatches) {
            BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION", "power-pass-without-start-next",
                     shadow->label + " (power) passed down without PoStartNextPowerIrp");
        }
        if (!viaPoCallDriver) {
            BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION", "power-pass-without-pocalldriver",
                     shadow->label + " (power) passed down with IoCallDriver, not PoCallDriver");
        }
    }
    shadow->dispatches++;
    irp->CurrentLocation--;
    if (irp->CurrentLocation <= 0) {
        BugCheck("NO_MORE_IRP_STACK_LOCATIONS", "irp-no-stack-location",
                 shadow->label + " sent to " + DeviceLabel(deviceObject) +
                     " with no stack location left");
    }
    irp->Tail.Overlay.CurrentStackLocation--;
    PIO_STACK_LOCATION stack = irp->Tail.Overlay.CurrentStackLocation;
    stack->DeviceObject = deviceObject;
    int location = irp->CurrentLocation;
    shadow->state = IrpShadow::State::Dispatched;
    shadow->locations[location].marked = false;
    shadow->locations[location].passed = false;
    shadow->locations[location].returned = false;
    std::string what = MajorName(stack->MajorFunction);
    if (stack->MajorFunction == IRP_MJ_PNP) what += " " + PnpMinorName(stack->MinorFunction);
    if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL ||
        stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL)
        what += " " + Hex(stack->Parameters.DeviceIoControl.IoControlCode);
    SIM_TRACE("IRP", shadow->label + " " + what + " -> " + DeviceLabel(deviceObject));
    PDRIVER_DISPATCH dispatch = deviceObject->DriverObject->MajorFunction[stack->MajorFunction];
    KIRQL irqlBefore = self.irql;
    size_t locksBefore = self.heldSpinLocks.size();
    const int mutexesBefore = self.mutexesOwned;
    record->activeCalls++;
    record->dispatchThreads.push_back(&self);
    shadow->callDepth++;
    tsan::Release(irp);  // for whoever completes or cancels it
    NTSTATUS status = dispatch(deviceObject, irp);
    shadow = ShadowOf(irp);
    shadow->callDepth--;
    if (DeviceRecord* again = RecordOf(deviceObject)) {
        again->activeCalls--;
        auto& threads = again->dispatchThreads;
        threads.erase(std::find(threads.begin(), threads.end(), &self));
        ReleaseDeviceIfUnused(deviceObject);
    }
    if (self.irql != irqlBefore) {
        BugCheck("IRQL_UNEXPECTED_VALUE", "irql-not-restored", "dispatch routine for " + what + " returned at IRQL " +
                                              std::to_string(self.irql) + ", entered at " +
                                              std::to_string(irqlBefore));
    }
    if (self.heldSpinLocks.size() != locksBefore) {
        BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION", "spinlock-held-on-return",
                 "dispatch routine for " + what + " returned holding a spin lock");
    }
    if (self.mutexesOwned != mutexesBefore) {
        // As Windows stops a thread that returns to user mode owning one.
        BugCheck("APC_INDEX_MISMATCH", "mutex-held-on-return",
                 "dispatch routine for " + what + " returned owning a kernel mutex");
    }
    if (self.mustWaitNext) {
        BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION", "event-set-wait-without-wait",
                 "dispatch routine for " + what + " returned after KeSetEvent with Wait TRUE "
                                                  "without waiting");
    }
    shadow->locations[location].returned = true;
    shadow->locations[location].returnedStatus = status;
    CheckPendingRule(*shadow, location);
    return status;
}

VOID IofCompleteRequest(PIRP irp, CCHAR) {
    KernelPoint("IofCompleteRequest");
    SimThread& self = CurrentThread();
    tsan::Acquire(irp);  // what was done before it was passed down
    tsan::Release(irp);  // and what its completer did
    IrpShadow* shadow = ShadowOf(irp);
    if (!shadow) BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION", "irp-complete-unknown", "completion of an unknown IRP");
    if (shadow->state == IrpShadow::State::Done || shadow->state == IrpShadow::State::Freed ||
        shadow->state == IrpShadow::State::Completing) {
        BugCheck("MULTIPLE_IRP_COMPLETE_REQUESTS", "irp-double-complete", shadow->label + " completed twice");
    }
    VerifyIrqlAtMost(DISPATCH_LEVEL, "IofCompleteRequest");
    if (irp->CancelRoutine) {
        BugCheck("CANCEL_STATE_IN_COMPLETED_IRP", "irp-complete-cancel-routine",
                 shadow->label + " completed with its cancel routine still set");
    }
    if (!self.heldSpinLocks.empty()) {
        BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION", "irp-complete-under-spinlock",
                 shadow->label + " completed while holding " +
                     S().Label(self.heldSpinLocks.back(), "spinlock"));
    }
    if (irp->IoStatus.Status == STATUS_PENDING) {
        BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION", "irp-complete-pending-status",
                 shadow->label + " completed with status STATUS_PENDING");
    }
    if (irp->CurrentLocation <= irp->StackCount &&
        PowerQueueOf(irp->Tail.Overlay.CurrentStackLocation) >= 0 && shadow->dispatches > 0 &&
        shadow->powerStartedAt != shadow->dispatches) {
        BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION", "power-complete-without-start-next",
                 shadow->label + " (power) completed without PoStartNextPowerIrp");
    }
    if (irp->CurrentLocation > irp->StackCount + 1) {
        BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION", "irp-complete-no-stack-location",
                 shadow->label + " completed by a driver that does not own a stack location");
    }
    SIM_TRACE("COMPLETE", shadow->label + " " + StatusText(irp->IoStatus.Status) + " info " +
                              std::to_string(irp->IoStatus.Information));
    shadow->state = IrpShadow::State::Completing;
    // Walk the stack upward, running each completion routine that applies.
    while (irp->CurrentLocation <= irp->StackCount) {
        PIO_STACK_LOCATION stack = irp->Tail.Overlay.CurrentStackLocation;
        int location = irp->CurrentLocation;
        irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) ? TRUE : FALSE;
        auto routine = stack->CompletionRoutine;
        PVOID context = stack->Context;
        UCHAR control = stack->Control;
        stack->CompletionRoutine = nullptr;
        stack->Context = nullptr;
        stack->Control = 0;
        irp->CurrentLocation++;
        irp->Tail.Overlay.CurrentStackLocation++;
        shadow->locations[location].passed = true;
        CheckPendingRule(*shadow, location);
        NTSTATUS status = irp->IoStatus.Status;
        bool invoke = routine && ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                                  (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                                  (irp->Cancel && (control & SL_INVOKE_ON_CANCEL)));
        if (invoke) {
            PDEVICE_OBJECT device = irp->CurrentLocation <= irp->StackCount
                                        ? irp->Tail.Overlay.CurrentStackLocation->DeviceObject
                                        : nullptr;
            KIRQL irqlBefore = self.irql;
            NTSTATUS result = routine(device, irp, context);
            shadow = ShadowOf(irp);
            if (self.irql != irqlBefore) {
                BugCheck("IRQL_UNEXPECTED_VALUE", "irql-not-restored",
                         "completion routine of " + shadow->label + " returned at IRQL " +
                             std::to_string(self.irql) + ", entered at " +
                             std::to_string(irqlBefore));
            }
            if (result == STATUS_MORE_PROCESSING_REQUIRED) {
                if (shadow->state == IrpShadow::State::Completing)
                    shadow->state = IrpShadow::State::Allocated;
                return;
            }
        } else if (irp->PendingReturned && irp->CurrentLocation <= irp->StackCount) {
            irp->Tail.Overlay.CurrentStackLocation->Control |= SL_PENDING_RETURNED;
            shadow->locations[irp->CurrentLocation].marked = true;
        }
    }
    // A status returned by the top dispatch routine is checked now too.
    FinishIrp(irp, *shadow);
}

BOOLEAN IoCancelIrp(PIRP irp) {
    KernelPoint("IoCancelIrp");
    return CancelIrpInternal(irp);
}

}  // extern "C"

namespace sim {

// IoCancelIrp without the scheduling point at its entry, for the I/O
// manager's own CancelIo, which checks and cancels in one step.
BOOLEAN CancelIrpInternal(PIRP irp) {
    SimThread& self = CurrentThread();
    VerifyIrqlAtMost(DISPATCH_LEVEL, "IoCancelIrp");
    IrpShadow* shadow = ShadowOf(irp);
    if (!shadow || shadow->state == IrpShadow::State::Freed) {
        BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION", "irp-cancel-freed", "IoCancelIrp of a freed IRP");
    }
    Simulation::Impl& s = S();
    KIRQL old = self.irql;
    // The I/O manager takes the cancel spin lock itself (no verifier check).
    {
        std::unique_lock<std::mutex> guard(s.m);
        KSPIN_LOCK me = static_cast<KSPIN_LOCK>(self.id) + 1;
        if (s.cancelLock == me) {
            guard.unlock();
            BugCheck("SPIN_LOCK_ALREADY_OWNED", "cancel-lock-recursive", "IoCancelIrp while holding the cancel spin lock");
        }
        if (s.cancelLock != 0) {
            self.wait = WaitRecord{};
            self.wait.kind = WaitRecord::Kind::SpinLock;
            self.wait.object = &s.cancelLock;
            self.wait.what = "the cancel spin lock";
            self.wait.seq = ++s.waitSeq;
            self.state = SimThread::State::Blocked;
            s.BlockCurrent(guard);
        } else {
            s.cancelLock = me;
        }
    }
    tsan::Acquire(&s.cancelLock);
    // The exchange of the cancel routine is interlocked, as the driver's
    // IoSetCancelRoutine is.
    tsan::Acquire(const_cast<PDRIVER_CANCEL*>(&irp->CancelRoutine));
    tsan::Release(const_cast<PDRIVER_CANCEL*>(&irp->CancelRoutine));
    self.holdsCancelLock = true;
    self.irql = DISPATCH_LEVEL;
    irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = irp->CancelRoutine;
    irp->CancelRoutine = nullptr;
    SIM_TRACE("CANCEL",
              shadow->label + (routine ? " cancel routine runs" : " has no cancel routine"));
    if (!routine) {
        std::unique_lock<std::mutex> guard(s.m);
        tsan::Release(&s.cancelLock);
        s.cancelLock = 0;
        self.holdsCancelLock = false;
        self.irql = old;
        s.SatisfyWaits();
        return FALSE;
    }
    irp->CancelIrql = old;
    PDEVICE_OBJECT device = irp->CurrentLocation <= irp->StackCount
                                ? irp->Tail.Overlay.CurrentStackLocation->DeviceObject
                                : nullptr;
    self.inCancelRoutine++;
    routine(device, irp);
    self.inCancelRoutine--;
    if (self.holdsCancelLock) {
        BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION", "cancel-lock-held-on-return",
                 "cancel routine returned holding the cancel spin lock");
    }
    if (self.irql != old) {
        BugCheck("IRQL_UNEXPECTED_VALUE", "irql-not-restored", "cancel routine returned at IRQL " +
                                              std::to_string(self.irql) + " instead of " +
                                              std::to_string(old));
    }
    return TRUE;
}

// The power manager's queue a power request belongs to: 0 for system and 1
// for device query- and set-power requests; -1 for the others (wait-wake,
// power sequence), which are never held.
bool DriverHasDeviceInMemory(PDRIVER_OBJECT driver) {
    for (auto& [device, record] : S().devices)
        if (device->DriverObject == driver) return true;
    return false;
}

int PowerQueueOf(PIO_STACK_LOCATION stack) {
    if (stack->MajorFunction != IRP_MJ_POWER) return -1;
    if (stack->MinorFunction != IRP_MN_SET_POWER && stack->MinorFunction != IRP_MN_QUERY_POWER)
        return -1;
    return stack->Parameters.Power.Type == DevicePowerState ? 1 : 0;
}

NTSTATUS PowerCallDriver(PDEVICE_OBJECT device, PIRP irp, bool viaPoCallDriver) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    int type = PowerQueueOf(next);
    DeviceRecord* record = type < 0 ? nullptr : RecordOf(device);
    if (record && record->powerActive[type] != nullptr && record->powerActive[type] != irp) {
        // Held until the device releases the previous request. The request
        // is pending for its sender, as if the device had marked it so.
        next->Control |= SL_PENDING_RETURNED;
        record->powerHeld[type].push_back(irp);
        SIM_TRACE("POWER", ShadowOf(irp)->label + " held for " + DeviceLabel(device) + " until " +
                               ShadowOf(record->powerActive[type])->label + " is released");
        return STATUS_PENDING;
    }
    if (record) record->powerActive[type] = irp;
    CurrentThread().viaPoCallDriver = viaPoCallDriver;
    return IofCallDriver(device, irp);
}

}  // namespace sim

extern "C" {

// ---------------------------------------------------------------- power

NTSTATUS PoCallDriver(PDEVICE_OBJECT deviceObject, PIRP irp) {
    KernelPoint("PoCallDriver");
    return PowerCallDriver(deviceObject, irp, true);
}

VOID PoStartNextPowerIrp(PIRP irp) {
    KernelPoint("PoStartNextPowerIrp");
    VerifyIrqlAtMost(DISPATCH_LEVEL, "PoStartNextPowerIrp");
    IrpShadow* shadow = ShadowOf(irp);
    if (shadow) shadow->powerStartedAt = shadow->dispatches;
    SIM_TRACE("POWER", "start next power IRP after " + (shadow ? shadow->label : "?"));
    if (irp->CurrentLocation > irp->StackCount) return;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    int type = PowerQueueOf(stack);
    DeviceRecord* record = type < 0 ? nullptr : RecordOf(stack->DeviceObject);
    if (!record || record->powerActive[type] != irp) return;
    record->powerActive[type] = nullptr;
    if (record->powerHeld[type].empty()) return;
    // The next held request goes to the device from a thread of the power
    // manager's, as it does for a device whose power requests run at
    // PASSIVE_LEVEL.
    PIRP next = record->powerHeld[type].front();
    record->powerHeld[type].pop_front();
    record->powerActive[type] = next;
    PDEVICE_OBJECT device = stack->DeviceObject;
    SIM_TRACE("POWER", ShadowOf(next)->label + " released to " + DeviceLabel(device));
    Simulation::Current().StartThread("Power", [device, next] {
        CurrentThread().viaPoCallDriver = true;
        IofCallDriver(device, next);
    });
}

POWER_STATE PoSetPowerState(PDEVICE_OBJECT deviceObject, POWER_STATE_TYPE type,
                            POWER_STATE state) {
    KernelPoint("PoSetPowerState");
    SIM_TRACE("POWER",
              DeviceLabel(deviceObject) + " power state " +
                  (type == DevicePowerState ? "D" + std::to_string(state.DeviceState - 1)
                                            : "S" + std::to_string(state.SystemState - 1)));
    POWER_STATE old;
    old.DeviceState = PowerDeviceD0;
    return old;
}

}  // extern "C"
