// testbus.cpp - a root-enumerated test bus driver for Windows (and Wine) that
// carries the bridge chip model of sim/chip with a loopback plug at its
// serial end. It reports one child whose hardware ID is the chip's USB
// identity, so that Plug and Play loads bridgeser.sys above it, and serves
// that driver's URBs from the chip model:
//   - control requests (descriptors, configuration, vendor register
//     requests, endpoint features) at once, in the submitting call;
//   - bulk and interrupt transfers held, with a cancel routine, until the
//     chip moves their data; abort pipe, reset pipe and port reset;
//   - the chip's time from a periodic kernel timer: each tick runs the
//     1 ms frames due since the last one (at most kMaxFramesPerTick, so a
//     late tick slows the line instead of overrunning the chip's FIFOs).
// IOCTL_TESTBUS_UNPLUG on the bus's own device pulls the cable out.
//
// Locks: one spin lock per bus guards the chip, the child's transfer queues
// and its presence. No request is completed and no other driver is called
// while it is held.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ntddk.h>
#include <wdm.h>
#include <usb.h>
#include <usbioctl.h>

#include <new>

#include "sim/chip/bridge_chip.h"
#include "sim/line/loopback_plug.h"
#include "windows/testbus/testbus_ioctl.h"

namespace {

constexpr ULONG kTag = 'T' | 's' << 8 | 't' << 16 | 'B' << 24;  // "TstB" in a pool dump
constexpr int kPipes = 3;  // interrupt-in, bulk-out, bulk-in: the interface's order
constexpr uint64_t kFrame = 10'000;  // 1 ms in 100 ns units
constexpr int kMaxFramesPerTick = 20;
constexpr int kPacketsPerFrame = 19;

struct Pipe {
    uint8_t endpoint;
    uint8_t type;  // USB endpoint attributes: 2 bulk, 3 interrupt
    uint16_t maxPacket;
    uint8_t interval;
    LIST_ENTRY queue;  // held transfers, oldest first
};

struct Common {
    bool isBus;
};

struct Bus;

// The child PDO: one cable.
struct Child {
    Common common;
    Bus* bus;
    PDEVICE_OBJECT self;
    bool present;    // reported in BusRelations; cleared by the unplug request
    bool configured;
    Pipe pipes[kPipes];
    chip::BridgeChip chip;
    line::LoopbackPlug plug;
};

// The bus FDO above the root-enumerated PDO.
struct Bus {
    Common common;
    PDEVICE_OBJECT self;
    PDEVICE_OBJECT lower;
    PDEVICE_OBJECT physical;
    KSPIN_LOCK lock;
    Child* child;     // null before start and after the child is gone
    bool linked;      // \DosDevices\BridgeTestBus exists
    KTIMER timer;
    KDPC tick;
    bool timerArmed;
    LONG ticking;     // a tick is running; a concurrent one returns at once
    uint64_t chipTime;     // 100 ns units since start
    LARGE_INTEGER start;   // performance counter at start
    LARGE_INTEGER frequency;
};

Common* CommonOf(PDEVICE_OBJECT device) { return static_cast<Common*>(device->DeviceExtension); }

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// The NT status the Windows USB stack pairs with a USBD status.
NTSTATUS NtStatusFor(USBD_STATUS status) {
    if (USBD_SUCCESS(status)) return STATUS_SUCCESS;
    switch (status) {
        case USBD_STATUS_CANCELED: return STATUS_CANCELLED;
        case USBD_STATUS_DEVICE_GONE: return STATUS_DEVICE_NOT_CONNECTED;
        case USBD_STATUS_INVALID_URB_FUNCTION:
        case USBD_STATUS_INVALID_PARAMETER:
        case USBD_STATUS_INVALID_PIPE_HANDLE: return STATUS_INVALID_PARAMETER;
        default: return STATUS_UNSUCCESSFUL;
    }
}

PURB UrbOf(PIRP irp) {
    return static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
}

// A held transfer's progress lives in the IRP's driver context: the bytes
// moved so far, and whether the chip will never answer it.
ULONG Moved(PIRP irp) { return static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(irp->Tail.Overlay.DriverContext[0])); }
void SetMoved(PIRP irp, ULONG moved) {
    irp->Tail.Overlay.DriverContext[0] = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(moved));
}
bool Hung(PIRP irp) { return irp->Tail.Overlay.DriverContext[1] != nullptr; }
void SetHung(PIRP irp, bool hung) { irp->Tail.Overlay.DriverContext[1] = hung ? irp : nullptr; }

NTSTATUS EndUrb(PIRP irp, USBD_STATUS status) {
    UrbOf(irp)->UrbHeader.Status = status;
    return Complete(irp, NtStatusFor(status));
}

// ---------------------------------------------------------------- time

// Virtual time elapsed since the bus started, from the performance counter.
// IRQL: any.
uint64_t WallTime(const Bus* bus) {
    LARGE_INTEGER now = KeQueryPerformanceCounter(nullptr);
    uint64_t delta = static_cast<uint64_t>(now.QuadPart - bus->start.QuadPart);
    uint64_t frequency = static_cast<uint64_t>(bus->frequency.QuadPart);
    return delta / frequency * 10'000'000 + delta % frequency * 10'000'000 / frequency;
}

// ---------------------------------------------------------------- held transfers

// Cancel routine of a held transfer: it is still in its pipe's queue (a
// transfer leaves the queue only after its cancel routine was taken away).
// IRQL: DISPATCH_LEVEL, cancel spin lock held on entry and released here.
void CancelTransfer(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Child* child = reinterpret_cast<Child*>(CommonOf(device));
    KIRQL irql;
    KeAcquireSpinLock(&child->bus->lock, &irql);
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&child->bus->lock, irql);
    EndUrb(irp, USBD_STATUS_CANCELED);
}

// Takes a held transfer out of its queue onto `done` with its URB status,
// unless its cancel routine already runs (that routine completes it).
// Locks: the bus lock, held by the caller.
void Finish(PIRP irp, USBD_STATUS status, PLIST_ENTRY done) {
    if (IoSetCancelRoutine(irp, nullptr) == nullptr) return;
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    UrbOf(irp)->UrbHeader.Status = status;
    InsertTailList(done, &irp->Tail.Overlay.ListEntry);
}

// Completes the transfers collected on `done`. IRQL: <= DISPATCH_LEVEL, no lock held.
void CompleteAll(PLIST_ENTRY done) {
    while (!IsListEmpty(done)) {
        PIRP irp = CONTAINING_RECORD(RemoveHeadList(done), IRP, Tail.Overlay.ListEntry);
        PURB urb = UrbOf(irp);
        Complete(irp, NtStatusFor(urb->UrbHeader.Status));
    }
}

// Ends every held transfer of a pipe with `status`. Locks: the bus lock.
void FlushPipe(Pipe& pipe, USBD_STATUS status, PLIST_ENTRY done) {
    PLIST_ENTRY entry = pipe.queue.Flink;
    while (entry != &pipe.queue) {
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        entry = entry->Flink;
        Finish(irp, status, done);
    }
}

// Moves packets of the pipe's oldest transfer while the chip takes or gives
// them; ends the transfer when it is full, on a short packet, or on a
// failure. Locks: the bus lock.
void ServePipe(Child* child, Pipe& pipe, uint64_t now, int* budget, PLIST_ENTRY done) {
    while (*budget > 0 && !IsListEmpty(&pipe.queue)) {
        PIRP irp = CONTAINING_RECORD(pipe.queue.Flink, IRP, Tail.Overlay.ListEntry);
        if (Hung(irp)) return;
        auto& transfer = UrbOf(irp)->UrbBulkOrInterruptTransfer;
        auto* buffer = static_cast<uint8_t*>(transfer.TransferBuffer);
        ULONG moved = Moved(irp);
        ULONG want = transfer.TransferBufferLength - moved;
        ULONG packet = want < pipe.maxPacket ? want : pipe.maxPacket;
        chip::TransferResult result;
        if (pipe.endpoint & 0x80) {
            result = pipe.type == 3 ? child->chip.StatusIn(now, buffer + moved, packet)
                                    : child->chip.BulkIn(now, buffer + moved, packet);
        } else {
            result = child->chip.BulkOut(now, buffer + moved, packet);
        }
        --*budget;
        if (result.outcome == chip::Outcome::Nak) return;
        if (result.outcome == chip::Outcome::Hang) {
            SetHung(irp, true);
            return;
        }
        if (result.outcome == chip::Outcome::Failed) {
            Finish(irp, result.status, done);
            continue;
        }
        moved += result.length;
        SetMoved(irp, moved);
        if (moved == transfer.TransferBufferLength || result.length < packet ||
            result.length < pipe.maxPacket) {
            transfer.TransferBufferLength = moved;
            Finish(irp, USBD_STATUS_SUCCESS, done);
        }
        if (pipe.type == 3) return;  // one interrupt packet a frame
    }
}

// One 1 ms frame: the chip reaches the frame's time, then the status pipe
// and the bulk pipes are served. Locks: the bus lock.
void RunFrame(Child* child, uint64_t now, PLIST_ENTRY done) {
    child->chip.AdvanceTo(now);
    if (!child->configured) return;
    int budget = kPacketsPerFrame;
    for (Pipe& pipe : child->pipes) ServePipe(child, pipe, now, &budget, done);
}

// The timer's DPC: runs the frames due since the last tick, completing what
// each frame ended before the next, so that the driver's resubmissions take
// part in the next frame. IRQL: DISPATCH_LEVEL. Locks: takes the bus lock.
void Tick(PKDPC, PVOID context, PVOID, PVOID) {
    Bus* bus = static_cast<Bus*>(context);
    if (InterlockedCompareExchange(&bus->ticking, 1, 0) != 0) return;
    uint64_t target = WallTime(bus);
    for (int frame = 0; frame < kMaxFramesPerTick && bus->chipTime + kFrame <= target; ++frame) {
        LIST_ENTRY done;
        InitializeListHead(&done);
        KIRQL irql;
        KeAcquireSpinLock(&bus->lock, &irql);
        bus->chipTime += kFrame;
        if (bus->child && bus->child->present) RunFrame(bus->child, bus->chipTime, &done);
        KeReleaseSpinLock(&bus->lock, irql);
        CompleteAll(&done);
    }
    // A tick that came late does not make the line run faster afterwards.
    if (bus->chipTime + kMaxFramesPerTick * kFrame < target) {
        LARGE_INTEGER behind;
        behind.QuadPart = static_cast<LONGLONG>(target - bus->chipTime - kFrame);
        bus->start.QuadPart += behind.QuadPart * bus->frequency.QuadPart / 10'000'000;
    }
    InterlockedExchange(&bus->ticking, 0);
}

// ---------------------------------------------------------------- URBs

// One control transfer through the chip, at once. Locks: takes the bus lock.
USBD_STATUS Control(Child* child, const chip::SetupPacket& setup, void* data, ULONG* length) {
    KIRQL irql;
    KeAcquireSpinLock(&child->bus->lock, &irql);
    chip::TransferResult result = child->present
        ? child->chip.Control(child->bus->chipTime, setup, static_cast<uint8_t*>(data), *length)
        : chip::TransferResult::Fail(chip::kUsbdStatusDeviceGone);
    if (setup.request == chip::kSetConfiguration && result.outcome == chip::Outcome::Done) {
        child->configured = setup.value != 0;
    }
    KeReleaseSpinLock(&child->bus->lock, irql);
    if (result.outcome == chip::Outcome::Done) {
        *length = result.length;
        return USBD_STATUS_SUCCESS;
    }
    *length = 0;
    return result.outcome == chip::Outcome::Hang ? USBD_STATUS_DEV_NOT_RESPONDING : result.status;
}

chip::SetupPacket Setup(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
                        uint16_t length) {
    return chip::SetupPacket{requestType, request, value, index, length};
}

// SELECT_CONFIGURATION: with a descriptor the interface's pipes are opened
// and described; without one the device is deconfigured.
USBD_STATUS SelectConfiguration(Child* child, PURB urb) {
    auto& select = urb->UrbSelectConfiguration;
    ULONG none = 0;
    if (select.ConfigurationDescriptor == nullptr) {
        return Control(child, Setup(0x00, chip::kSetConfiguration, 0, 0, 0), nullptr, &none);
    }
    PUSBD_INTERFACE_INFORMATION info = &select.Interface;
    const ULONG needed = sizeof(USBD_INTERFACE_INFORMATION) + (kPipes - 1) * sizeof(USBD_PIPE_INFORMATION);
    if (info->Length < needed) return USBD_STATUS_INVALID_PARAMETER;
    USBD_STATUS status = Control(
        child, Setup(0x00, chip::kSetConfiguration, chip::kConfigurationValue, 0, 0), nullptr, &none);
    if (!USBD_SUCCESS(status)) return status;
    const uint8_t* descriptor = chip::kConfigurationDescriptor + 9;  // the interface
    info->Class = descriptor[5];
    info->SubClass = descriptor[6];
    info->Protocol = descriptor[7];
    info->InterfaceHandle = &child->pipes[0];
    info->NumberOfPipes = kPipes;
    for (int i = 0; i < kPipes; ++i) {
        const Pipe& pipe = child->pipes[i];
        USBD_PIPE_INFORMATION& out = info->Pipes[i];
        out.MaximumPacketSize = pipe.maxPacket;
        out.EndpointAddress = pipe.endpoint;
        out.Interval = pipe.interval;
        out.PipeType = pipe.type == 3 ? UsbdPipeTypeInterrupt : UsbdPipeTypeBulk;
        out.PipeHandle = const_cast<Pipe*>(&pipe);
    }
    select.ConfigurationHandle = reinterpret_cast<USBD_CONFIGURATION_HANDLE>(child);
    return USBD_STATUS_SUCCESS;
}

Pipe* PipeOf(Child* child, USBD_PIPE_HANDLE handle) {
    for (Pipe& pipe : child->pipes)
        if (handle == &pipe) return &pipe;
    return nullptr;
}

// Holds a bulk or interrupt transfer until the frames move its data.
NTSTATUS HoldTransfer(Child* child, PIRP irp, PURB urb) {
    auto& transfer = urb->UrbBulkOrInterruptTransfer;
    Pipe* pipe = PipeOf(child, transfer.PipeHandle);
    if (!pipe) return EndUrb(irp, USBD_STATUS_INVALID_PIPE_HANDLE);
    bool in = (pipe->endpoint & 0x80) != 0;
    if (transfer.TransferBuffer == nullptr && transfer.TransferBufferLength != 0) {
        return EndUrb(irp, USBD_STATUS_INVALID_PARAMETER);  // MDL-only transfers are not served
    }
    if (in != ((transfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0) && pipe->type != 3) {
        return EndUrb(irp, USBD_STATUS_INVALID_PARAMETER);
    }
    if (transfer.TransferBufferLength == 0) return EndUrb(irp, USBD_STATUS_SUCCESS);
    SetMoved(irp, 0);
    SetHung(irp, false);
    IoMarkIrpPending(irp);
    KIRQL irql;
    KeAcquireSpinLock(&child->bus->lock, &irql);
    if (!child->present) {
        KeReleaseSpinLock(&child->bus->lock, irql);
        EndUrb(irp, USBD_STATUS_DEVICE_GONE);
        return STATUS_PENDING;
    }
    InsertTailList(&pipe->queue, &irp->Tail.Overlay.ListEntry);
    (void)IoSetCancelRoutine(irp, CancelTransfer);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        RemoveEntryList(&irp->Tail.Overlay.ListEntry);
        KeReleaseSpinLock(&child->bus->lock, irql);
        EndUrb(irp, USBD_STATUS_CANCELED);
        return STATUS_PENDING;
    }
    KeReleaseSpinLock(&child->bus->lock, irql);
    return STATUS_PENDING;
}

// ABORT_PIPE, and the reset of a pipe (its halt cleared).
USBD_STATUS PipeRequest(Child* child, PURB urb) {
    Pipe* pipe = PipeOf(child, urb->UrbPipeRequest.PipeHandle);
    if (!pipe) return USBD_STATUS_INVALID_PIPE_HANDLE;
    if (urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE) {
        LIST_ENTRY done;
        InitializeListHead(&done);
        KIRQL irql;
        KeAcquireSpinLock(&child->bus->lock, &irql);
        FlushPipe(*pipe, USBD_STATUS_CANCELED, &done);
        KeReleaseSpinLock(&child->bus->lock, irql);
        CompleteAll(&done);
        return USBD_STATUS_SUCCESS;
    }
    ULONG none = 0;
    return Control(child, Setup(0x02, chip::kClearFeature, chip::kFeatureEndpointHalt, pipe->endpoint, 0),
                   nullptr, &none);
}

NTSTATUS SubmitUrb(Child* child, PIRP irp) {
    PURB urb = UrbOf(irp);
    if (urb == nullptr) return Complete(irp, STATUS_INVALID_PARAMETER);
    USBD_STATUS status;
    switch (urb->UrbHeader.Function) {
        case URB_FUNCTION_SELECT_CONFIGURATION:
            status = SelectConfiguration(child, urb);
            break;
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
            auto& request = urb->UrbControlDescriptorRequest;
            ULONG length = request.TransferBufferLength;
            status = Control(child,
                             Setup(0x80, chip::kGetDescriptor,
                                   static_cast<uint16_t>(request.DescriptorType << 8 | request.Index),
                                   request.LanguageId, static_cast<uint16_t>(length)),
                             request.TransferBuffer, &length);
            request.TransferBufferLength = length;
            break;
        }
        case URB_FUNCTION_VENDOR_DEVICE:
        case URB_FUNCTION_VENDOR_INTERFACE:
        case URB_FUNCTION_VENDOR_ENDPOINT:
        case URB_FUNCTION_CLASS_DEVICE: {
            auto& request = urb->UrbControlVendorClassRequest;
            uint8_t type = urb->UrbHeader.Function == URB_FUNCTION_CLASS_DEVICE ? 0x20 : 0x40;
            if (urb->UrbHeader.Function == URB_FUNCTION_VENDOR_INTERFACE) type |= 0x01;
            if (urb->UrbHeader.Function == URB_FUNCTION_VENDOR_ENDPOINT) type |= 0x02;
            if (request.TransferFlags & USBD_TRANSFER_DIRECTION_IN) type |= 0x80;
            ULONG length = request.TransferBufferLength;
            status = Control(child,
                             Setup(type, request.Request, request.Value, request.Index,
                                   static_cast<uint16_t>(length)),
                             request.TransferBuffer, &length);
            request.TransferBufferLength = length;
            break;
        }
        case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT: {
            auto& request = urb->UrbControlFeatureRequest;
            ULONG none = 0;
            status = Control(child,
                             Setup(0x02, chip::kClearFeature, request.FeatureSelector, request.Index, 0),
                             nullptr, &none);
            break;
        }
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
            return HoldTransfer(child, irp, urb);
        case URB_FUNCTION_ABORT_PIPE:
        case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
            status = PipeRequest(child, urb);
            break;
        default:
            status = USBD_STATUS_INVALID_URB_FUNCTION;
            break;
    }
    return EndUrb(irp, status);
}

// A port reset: the chip starts afresh and is given back its configuration.
NTSTATUS ResetPort(Child* child) {
    KIRQL irql;
    KeAcquireSpinLock(&child->bus->lock, &irql);
    bool present = child->present;
    bool configured = child->configured;
    if (present) child->chip.BusReset(child->bus->chipTime);
    child->configured = false;
    KeReleaseSpinLock(&child->bus->lock, irql);
    if (!present) return STATUS_DEVICE_NOT_CONNECTED;
    if (configured) {
        ULONG none = 0;
        Control(child, Setup(0x00, chip::kSetConfiguration, chip::kConfigurationValue, 0, 0), nullptr,
                &none);
    }
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------- the child

// A multi-string of IDs in pool that the PnP manager frees; `count` strings
// from `ids`, each followed by its terminator, then a final one.
PWCHAR MultiString(const char* const* ids, int count) {
    SIZE_T chars = 1;
    for (int i = 0; i < count; ++i)
        for (const char* p = ids[i];; ++p) {
            ++chars;
            if (!*p) break;
        }
    auto* out = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, chars * sizeof(WCHAR), kTag));
    if (!out) return nullptr;
    PWCHAR at = out;
    for (int i = 0; i < count; ++i) {
        for (const char* p = ids[i]; *p; ++p) *at++ = static_cast<WCHAR>(*p);
        *at++ = 0;
    }
    *at = 0;
    return out;
}

// Writes "<prefix><4 hex digits>" at `at`; returns the end.
char* Hex4(char* at, const char* prefix, uint16_t value) {
    while (*prefix) *at++ = *prefix++;
    for (int shift = 12; shift >= 0; shift -= 4) *at++ = "0123456789ABCDEF"[(value >> shift) & 0xF];
    *at = 0;
    return at;
}

NTSTATUS QueryId(PIRP irp) {
    // USB\VID_vvvv&PID_pppp[&REV_rrrr], from the chip's device descriptor.
    char withRevision[48], plain[48];
    char* end = Hex4(plain, "USB\\VID_", chip::kVendorId);
    Hex4(end, "&PID_", chip::kProductId);
    end = Hex4(withRevision, "USB\\VID_", chip::kVendorId);
    end = Hex4(end, "&PID_", chip::kProductId);
    Hex4(end, "&REV_", chip::kDeviceRelease);
    const char* hardware[] = {withRevision, plain};
    const char* compatible[] = {"USB\\Class_FF&SubClass_00&Prot_00", "USB\\Class_FF&SubClass_00",
                                "USB\\Class_FF"};
    const char* instance[] = {"1"};
    const char* device[] = {plain};
    PWCHAR ids;
    switch (IoGetCurrentIrpStackLocation(irp)->Parameters.QueryId.IdType) {
        case BusQueryDeviceID: ids = MultiString(device, 1); break;
        case BusQueryHardwareIDs: ids = MultiString(hardware, 2); break;
        case BusQueryCompatibleIDs: ids = MultiString(compatible, 3); break;
        case BusQueryInstanceID: ids = MultiString(instance, 1); break;
        default: return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
    }
    if (!ids) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
    return Complete(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(ids));
}

NTSTATUS QueryCapabilities(PIRP irp) {
    PDEVICE_CAPABILITIES caps = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities;
    caps->Removable = TRUE;
    caps->SurpriseRemovalOK = TRUE;
    caps->UniqueID = FALSE;
    caps->Address = 1;
    caps->UINumber = 1;
    caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
    for (int s = PowerSystemSleeping1; s < PowerSystemMaximum; ++s) caps->DeviceState[s] = PowerDeviceD3;
    caps->SystemWake = PowerSystemUnspecified;
    caps->DeviceWake = PowerDeviceUnspecified;
    return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS QueryText(PIRP irp) {
    if (IoGetCurrentIrpStackLocation(irp)->Parameters.QueryDeviceText.DeviceTextType != DeviceTextDescription) {
        return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
    }
    const char* text[] = {"Bridge test cable"};
    PWCHAR description = MultiString(text, 1);
    if (!description) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
    return Complete(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(description));
}

// Ends every held transfer of the child with `status`. Locks: takes the bus lock.
void FlushChild(Child* child, USBD_STATUS status) {
    LIST_ENTRY done;
    InitializeListHead(&done);
    KIRQL irql;
    KeAcquireSpinLock(&child->bus->lock, &irql);
    for (Pipe& pipe : child->pipes) FlushPipe(pipe, status, &done);
    KeReleaseSpinLock(&child->bus->lock, irql);
    CompleteAll(&done);
}

void DeleteChild(Child* child) {
    child->plug.~LoopbackPlug();
    child->chip.~BridgeChip();
    IoDeleteDevice(child->self);
}

NTSTATUS ChildPnp(Child* child, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
        case IRP_MN_START_DEVICE:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
            return Complete(irp, STATUS_SUCCESS);
        case IRP_MN_SURPRISE_REMOVAL:
            FlushChild(child, USBD_STATUS_DEVICE_GONE);
            return Complete(irp, STATUS_SUCCESS);
        case IRP_MN_REMOVE_DEVICE: {
            FlushChild(child, USBD_STATUS_DEVICE_GONE);
            bool gone = !child->present;
            Complete(irp, STATUS_SUCCESS);
            // A child still on the bus keeps its PDO until the bus stops
            // reporting it.
            if (gone) {
                KIRQL irql;
                KeAcquireSpinLock(&child->bus->lock, &irql);
                if (child->bus->child == child) child->bus->child = nullptr;
                KeReleaseSpinLock(&child->bus->lock, irql);
                DeleteChild(child);
            }
            return STATUS_SUCCESS;
        }
        case IRP_MN_QUERY_ID:
            return QueryId(irp);
        case IRP_MN_QUERY_CAPABILITIES:
            return QueryCapabilities(irp);
        case IRP_MN_QUERY_DEVICE_TEXT:
            return QueryText(irp);
        case IRP_MN_QUERY_DEVICE_RELATIONS: {
            if (stack->Parameters.QueryDeviceRelations.Type != TargetDeviceRelation) break;
            auto* relations = static_cast<PDEVICE_RELATIONS>(
                ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kTag));
            if (!relations) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
            ObReferenceObject(child->self);
            relations->Count = 1;
            relations->Objects[0] = child->self;
            return Complete(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(relations));
        }
        default:
            break;
    }
    return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
}

// Creates the child PDO with its chip and loopback plug. IRQL: PASSIVE_LEVEL.
NTSTATUS CreateChild(Bus* bus) {
    PDEVICE_OBJECT pdo = nullptr;
    NTSTATUS status = IoCreateDevice(bus->self->DriverObject, sizeof(Child), nullptr, FILE_DEVICE_UNKNOWN,
                                     FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo);
    if (!NT_SUCCESS(status)) return status;
    Child* child = new (pdo->DeviceExtension) Child{};
    child->common.isBus = false;
    child->bus = bus;
    child->self = pdo;
    child->present = true;
    // The pipes, in interface order, from the chip's configuration descriptor.
    const uint8_t* endpoint = chip::kConfigurationDescriptor + 9 + 9;
    for (int i = 0; i < kPipes; ++i, endpoint += 7) {
        Pipe& pipe = child->pipes[i];
        pipe.endpoint = endpoint[2];
        pipe.type = endpoint[3] & 3;
        pipe.maxPacket = static_cast<uint16_t>(endpoint[4] | endpoint[5] << 8);
        pipe.interval = endpoint[6];
        InitializeListHead(&pipe.queue);
    }
    child->chip.AttachFarEnd(&child->plug);
    pdo->Flags |= DO_POWER_PAGABLE;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    KIRQL irql;
    KeAcquireSpinLock(&bus->lock, &irql);
    bus->child = child;
    KeReleaseSpinLock(&bus->lock, irql);
    return STATUS_SUCCESS;
}

// The cable is pulled: held transfers end with the device gone, and the
// bus reports the child no more. IRQL: PASSIVE_LEVEL.
NTSTATUS Unplug(Bus* bus) {
    KIRQL irql;
    KeAcquireSpinLock(&bus->lock, &irql);
    Child* child = bus->child;
    bool was = child && child->present;
    if (was) {
        child->present = false;
        child->chip.Disconnect(bus->chipTime);
    }
    KeReleaseSpinLock(&bus->lock, irql);
    if (!was) return STATUS_NO_SUCH_DEVICE;
    FlushChild(child, USBD_STATUS_DEVICE_GONE);
    IoInvalidateDeviceRelations(bus->physical, BusRelations);
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------- the bus

NTSTATUS SignalStarted(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Passes a request down and waits for it. IRQL: PASSIVE_LEVEL.
NTSTATUS ForwardAndWait(Bus* bus, PIRP irp) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalStarted, &event, TRUE, TRUE, TRUE);
    if (IoCallDriver(bus->lower, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    }
    return irp->IoStatus.Status;
}

NTSTATUS PassDown(Bus* bus, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(bus->lower, irp);
}

NTSTATUS StartBus(Bus* bus) {
    KeQueryPerformanceCounter(&bus->frequency);
    bus->start = KeQueryPerformanceCounter(nullptr);
    bus->chipTime = 0;
    if (!bus->child) {
        NTSTATUS status = CreateChild(bus);
        if (!NT_SUCCESS(status)) return status;
    }
    LARGE_INTEGER due;
    due.QuadPart = -static_cast<LONGLONG>(kFrame);
    KeSetTimerEx(&bus->timer, due, 1, &bus->tick);
    bus->timerArmed = true;
    UNICODE_STRING link, name;
    RtlInitUnicodeString(&link, TESTBUS_DOS_NAME);
    RtlInitUnicodeString(&name, TESTBUS_DEVICE_NAME);
    bus->linked = NT_SUCCESS(IoCreateSymbolicLink(&link, &name));
    return STATUS_SUCCESS;
}

// Stops the timer and waits for a running tick to end. IRQL: PASSIVE_LEVEL.
void StopTimer(Bus* bus) {
    if (!bus->timerArmed) return;
    KeCancelTimer(&bus->timer);
    bus->timerArmed = false;
    LARGE_INTEGER pause;
    pause.QuadPart = -static_cast<LONGLONG>(kFrame);
    while (InterlockedCompareExchange(&bus->ticking, 1, 0) != 0) {
        KeDelayExecutionThread(KernelMode, FALSE, &pause);
    }
}

NTSTATUS BusRelationsOf(Bus* bus, PIRP irp) {
    KIRQL irql;
    KeAcquireSpinLock(&bus->lock, &irql);
    Child* child = bus->child && bus->child->present ? bus->child : nullptr;
    KeReleaseSpinLock(&bus->lock, irql);
    auto* relations = static_cast<PDEVICE_RELATIONS>(
        ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kTag));
    if (!relations) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
    relations->Count = 0;
    if (child) {
        ObReferenceObject(child->self);
        relations->Objects[relations->Count++] = child->self;
    }
    // Replaces whatever a filter above put there; this bus is the only one
    // that enumerates these children.
    if (irp->IoStatus.Information) ExFreePool(reinterpret_cast<PVOID>(irp->IoStatus.Information));
    irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
    irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDown(bus, irp);
}

NTSTATUS BusPnp(Bus* bus, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
        case IRP_MN_START_DEVICE: {
            NTSTATUS status = ForwardAndWait(bus, irp);
            if (NT_SUCCESS(status)) status = StartBus(bus);
            Complete(irp, status);
            // The cable is plugged in: the bus has a child to report. (Not
            // every PnP manager asks a started bus for its children.)
            if (NT_SUCCESS(status)) IoInvalidateDeviceRelations(bus->physical, BusRelations);
            return status;
        }
        case IRP_MN_QUERY_DEVICE_RELATIONS:
            if (stack->Parameters.QueryDeviceRelations.Type == BusRelations) return BusRelationsOf(bus, irp);
            return PassDown(bus, irp);
        case IRP_MN_SURPRISE_REMOVAL:
            StopTimer(bus);
            irp->IoStatus.Status = STATUS_SUCCESS;
            return PassDown(bus, irp);
        case IRP_MN_REMOVE_DEVICE: {
            StopTimer(bus);
            if (bus->child) {
                Child* child = bus->child;
                bus->child = nullptr;
                FlushChild(child, USBD_STATUS_DEVICE_GONE);
                DeleteChild(child);
            }
            if (bus->linked) {
                UNICODE_STRING link;
                RtlInitUnicodeString(&link, TESTBUS_DOS_NAME);
                IoDeleteSymbolicLink(&link);
            }
            irp->IoStatus.Status = STATUS_SUCCESS;
            NTSTATUS status = PassDown(bus, irp);
            IoDetachDevice(bus->lower);
            IoDeleteDevice(bus->self);
            return status;
        }
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
            irp->IoStatus.Status = STATUS_SUCCESS;
            return PassDown(bus, irp);
        default:
            return PassDown(bus, irp);
    }
}

// ---------------------------------------------------------------- dispatch

NTSTATUS DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    Common* common = CommonOf(device);
    return common->isBus ? BusPnp(reinterpret_cast<Bus*>(common), irp)
                         : ChildPnp(reinterpret_cast<Child*>(common), irp);
}

NTSTATUS DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
    Common* common = CommonOf(device);
    PoStartNextPowerIrp(irp);
    if (common->isBus) {
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(reinterpret_cast<Bus*>(common)->lower, irp);
    }
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    if (minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER) return Complete(irp, STATUS_SUCCESS);
    return Complete(irp, irp->IoStatus.Status);
}

NTSTATUS DispatchInternalControl(PDEVICE_OBJECT device, PIRP irp) {
    Common* common = CommonOf(device);
    if (common->isBus) return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    Child* child = reinterpret_cast<Child*>(common);
    switch (IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode) {
        case IOCTL_INTERNAL_USB_SUBMIT_URB:
            return SubmitUrb(child, irp);
        case IOCTL_INTERNAL_USB_RESET_PORT:
            return Complete(irp, ResetPort(child));
        case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
            auto* status = static_cast<PULONG>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
            if (status) *status = child->present ? (USBD_PORT_ENABLED | USBD_PORT_CONNECTED) : 0;
            return Complete(irp, STATUS_SUCCESS);
        }
        default:
            return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

// Create, close and the unplug request on the bus's own device.
NTSTATUS DispatchCreateClose(PDEVICE_OBJECT device, PIRP irp) {
    return Complete(irp, CommonOf(device)->isBus ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_REQUEST);
}

NTSTATUS DispatchControl(PDEVICE_OBJECT device, PIRP irp) {
    Common* common = CommonOf(device);
    ULONG code = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode;
    if (!common->isBus || code != IOCTL_TESTBUS_UNPLUG) return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    return Complete(irp, Unplug(reinterpret_cast<Bus*>(common)));
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physical) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, TESTBUS_DEVICE_NAME);
    PDEVICE_OBJECT fdo = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(Bus), &name, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status)) return status;
    Bus* bus = new (fdo->DeviceExtension) Bus{};
    bus->common.isBus = true;
    bus->self = fdo;
    bus->physical = physical;
    KeInitializeSpinLock(&bus->lock);
    KeInitializeTimerEx(&bus->timer, NotificationTimer);
    KeInitializeDpc(&bus->tick, Tick, bus);
    bus->lower = IoAttachDeviceToDeviceStack(fdo, physical);
    if (!bus->lower) {
        IoDeleteDevice(fdo);
        return STATUS_NO_SUCH_DEVICE;
    }
    fdo->Flags |= DO_POWER_PAGABLE;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

// Every device is gone by the time the driver unloads; nothing is left.
void Unload(PDRIVER_OBJECT) {}

}  // namespace

// A pure virtual call cannot happen in a constructed chip; should one come,
// stop rather than run on.
extern "C" void __cxa_pure_virtual() { KeBugCheckEx(0xE2, 0, 0, 0, 0); }

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalControl;
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    driver->DriverExtension->AddDevice = AddDevice;
    driver->DriverUnload = Unload;
    return STATUS_SUCCESS;
}
