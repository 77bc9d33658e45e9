// usb_bus.cpp - the simulated USB bus: PDOs, URB handling, the default
// pipe's queue, bulk and interrupt transfers held until the chip answers,
// cancellation, aborts, resets, disconnection, captures and trace.
//
// Ownership of a request. A request the bus holds sits in exactly one queue
// (the default pipe's or a data pipe's) with the bus's cancel routine set.
// Whoever takes that routine out of the IRP owns the request: the bus (to
// complete it, after which it leaves the queue at once, or, under frame
// timing, when its last packet ends on the bus: it then stays in its queue
// marked `finished` until that moment) or IoCancelIrp (the cancel routine
// then takes it out of its queue and completes it). A queued request whose
// cancel routine is gone is being cancelled or is finished, and every other
// path leaves it alone.
#include "sim/usb/usb_bus.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <vector>

#include "sim/chip/descriptors.h"
#include "sim/kernel/usb.h"
#include "sim/usb/pcap.h"

namespace sim::usb {
namespace {

constexpr ULONG kPortEnabled = 0x1;  // IOCTL_INTERNAL_USB_GET_PORT_STATUS bits
constexpr ULONG kPortConnected = 0x2;

// Full-speed bus time, in bits at 12 Mbit/s: a frame holds 12,000.
constexpr uint64_t kFrameBits = 12'000;
constexpr uint64_t kSofBits = 35;              // start-of-frame packet
constexpr uint64_t kTransactionBits = 13 * 8;  // token, data framing, handshake, gaps

// Bus time of a transaction carrying `bytes`, in bits.
constexpr uint64_t TransactionBits(uint32_t bytes) {
    return kTransactionBits + 8ull * bytes;
}

// Bits on the bus to virtual-clock ticks (100 ns), rounded up.
constexpr uint64_t Ticks(uint64_t bits) {
    return (bits * kFrameTicks + kFrameBits - 1) / kFrameBits;
}

static_assert(kSofBits + kBulkPacketsPerFrame * TransactionBits(64) <= kFrameBits,
              "19 full bulk packets fit in a frame");

enum class Work : uint8_t {
    Control,   // one control transfer on the default pipe
    Select,    // select configuration: SET_CONFIGURATION, then the pipes change
    Reset,     // port reset
    HostOnly,  // a host-side pipe operation: nothing goes to the device
    Data,      // bulk or interrupt transfer on a data pipe
};

struct PipePlan {
    PUSBD_PIPE_INFORMATION info;
    uint8_t endpoint;
    USBD_PIPE_TYPE type;
    uint16_t maxPacket;
    uint8_t interval;
    ULONG maxTransfer;
};

struct InterfacePlan {
    PUSBD_INTERFACE_INFORMATION info;
    UCHAR cls, subClass, protocol;
    std::vector<PipePlan> pipes;
};

struct Transfer {
    uint64_t id = 0;  // URB sequence number: trace and capture IRP id
    PIRP irp = nullptr;
    PURB urb = nullptr;  // null for a port reset
    Work work = Work::Control;
    USHORT function = 0;
    std::string what;  // the request in words, for the trace
    chip::SetupPacket setup;
    bool captured = false;  // its submission went into the capture
    // Data stage or data transfer.
    uint8_t* buffer = nullptr;
    uint32_t length = 0;
    uint32_t moved = 0;
    bool in = false;
    bool shortOk = false;
    ULONG* lengthField = nullptr;  // URB field that gets the byte count
    // Timing.
    uint64_t submitTime = 0;
    uint64_t submitFrame = 0;  // frame number at submission; served from the next
    uint64_t submitSeq = 0;    // the bus's event order at submission
    KIRQL submitIrql = PASSIVE_LEVEL;
    // State.
    bool hung = false;      // the device will never answer it
    bool aborted = false;   // an abort of its pipe claims it
    bool finished = false;  // done on the bus, completes at `completeAt` (frame timing)
    uint64_t completeAt = 0;
    USBD_STATUS status = USBD_STATUS_SUCCESS;
    // Select configuration.
    UCHAR configurationValue = 0;
    std::vector<InterfacePlan> plan;
};

using TransferPtr = std::unique_ptr<Transfer>;

struct AbortRequest {
    uint64_t id;
    PIRP irp;
    PURB urb;
};

struct Pipe {
    USBD_PIPE_HANDLE handle = nullptr;
    bool current = false;  // belongs to the selected configuration
    uint8_t endpoint = 0;
    USBD_PIPE_TYPE type = UsbdPipeTypeBulk;
    uint16_t maxPacket = 0;
    ULONG maxTransfer = 0;
    uint8_t period = 1;                // interrupt: polled in frames that are multiples of this
    bool nakWait = false;              // the chip NAKed; wait for its OnEndpointReady
    uint64_t lastPoll = ~0ull;         // interrupt: frame of the last poll
    std::deque<TransferPtr> queue;     // oldest first; only the oldest live one moves data
    std::vector<AbortRequest> aborts;  // aborts waiting for their victims' cancellation
};

struct Device;
void RequestService(Device& d);

struct Device final : chip::ChipObserver {
    UsbBus::Impl* bus = nullptr;
    std::string instanceId;
    int number = 0;  // 1, 2, ... in order of first plugging
    uint8_t address = 0;
    PDEVICE_OBJECT pdo = nullptr;
    chip::BridgeChip chip;
    bool removed = false;  // IRP_MN_REMOVE_DEVICE reached the PDO
    // Configuration.
    uint32_t selections = 0;
    UCHAR configuration = 0;                   // bConfigurationValue, 0 when unconfigured
    std::vector<std::unique_ptr<Pipe>> pipes;  // every pipe opened since plugging
    // Default pipe: requests in order; the front one runs.
    std::deque<TransferPtr> control;
    Transfer* controlActive = nullptr;
    uint64_t controlEvent = 0;
    uint64_t controlEnd = 0;  // frame timing: when the running control transfer ends
    // Chip wake-up on the clock.
    uint64_t wakeEvent = 0;
    uint64_t wakeTime = 0;
    uint64_t wakeToken = 0;
    bool serviceQueued = false;
    // Frame timing: the delivery of finished data transfers.
    uint64_t doneEvent = 0;
    uint64_t doneEventTime = 0;
    // Completed transfers, oldest first.
    std::deque<TransferRecord> log;
    // PnP and power requests that reached the PDO; the held wait-wake.
    std::vector<StackRequest> stackLog;
    PIRP waitWake = nullptr;
    size_t waitWakeRecord = 0;
    DEVICE_POWER_STATE powerState = PowerDeviceD0;
    NTSTATUS failNextStart = STATUS_SUCCESS;  // FailNextStart

    bool Awake() const { return pdo && powerState == PowerDeviceD0; }

    // The chip calls this from inside its own calls: only note the work.
    void OnEndpointReady(uint8_t endpoint) override {
        for (auto& pipe : pipes)
            if (pipe->endpoint == endpoint) pipe->nakWait = false;
        if (Simulation::Active()) RequestService(*this);
    }
};

struct PdoExtension {
    Device* device;
};

}  // namespace

struct UsbBus::Impl {
    UsbBusOptions options;
    PDRIVER_OBJECT driver = nullptr;
    std::vector<std::unique_ptr<Device>> devices;
    PcapWriter pcap;
    uint64_t urbSequence = 0;
    // Frame timing: the next frame event, and the bus time used in frame
    // `frame`, shared by every device on the bus.
    uint64_t frameEvent = 0;
    uint64_t frameEventTime = 0;
    uint64_t frame = ~0ull;
    uint64_t servedStart = ~0ull;  // the last frame whose start was served
    uint64_t busAt = 0;            // the bus is busy until then
    uint32_t bulkPackets = 0;
    uint64_t eventSeq = 0;  // TransferRecord::submitSeq and completedSeq
    std::weak_ptr<Impl> self;
};

namespace {

// ---------------------------------------------------------------- small helpers

Simulation& Sim() {
    return Simulation::Current();
}
uint64_t Now() {
    return Sim().Now();
}

Device* DeviceOf(PDEVICE_OBJECT pdo) {
    return static_cast<PdoExtension*>(pdo->DeviceExtension)->device;
}

bool Gone(const Device& d) {
    return d.removed || !d.chip.Connected();
}

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
    char text[160];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

bool Tracing() {
    return Sim().trace().On();
}

// Adds a URB event; the text is built only when the run keeps a trace.
#define TRACE_URB(text)                                  \
    do {                                                 \
        if (Tracing()) Sim().trace().Add("URB", (text)); \
    } while (0)

// The NT status the Windows USB stack pairs with a USBD status.
NTSTATUS NtStatusFor(USBD_STATUS status) {
    if (USBD_SUCCESS(status)) return STATUS_SUCCESS;
    switch (status) {
        case USBD_STATUS_CANCELED:
            return STATUS_CANCELLED;
        case USBD_STATUS_DEVICE_GONE:
            return STATUS_DEVICE_NOT_CONNECTED;
        case USBD_STATUS_INVALID_URB_FUNCTION:
        case USBD_STATUS_INVALID_PARAMETER:
        case USBD_STATUS_INVALID_PIPE_HANDLE:
            return STATUS_INVALID_PARAMETER;
        case USBD_STATUS_NO_MEMORY:
            return STATUS_NO_MEMORY;
        default:
            return STATUS_UNSUCCESSFUL;
    }
}

std::string UsbdText(USBD_STATUS status) {
    switch (status) {
        case USBD_STATUS_SUCCESS:
            return "success";
        case USBD_STATUS_STALL_PID:
            return "stalled";
        case USBD_STATUS_CANCELED:
            return "cancelled";
        case USBD_STATUS_DEVICE_GONE:
            return "device gone";
        case USBD_STATUS_INVALID_PIPE_HANDLE:
            return "invalid pipe handle";
        case USBD_STATUS_INVALID_PARAMETER:
            return "invalid parameter";
        case USBD_STATUS_INVALID_URB_FUNCTION:
            return "invalid URB function";
        case USBD_STATUS_DATA_UNDERRUN:
            return "data underrun";
        case USBD_STATUS_DEV_NOT_RESPONDING:
            return "device not responding";
        default:
            return Format("USBD status 0x%08X", static_cast<uint32_t>(status));
    }
}

std::string PipeName(const Pipe& pipe) {
    if (pipe.type == UsbdPipeTypeInterrupt)
        return pipe.endpoint & 0x80 ? "interrupt-in" : "interrupt-out";
    return pipe.endpoint & 0x80 ? "bulk-in" : "bulk-out";
}

// The request of a control transfer in words.
std::string DescribeSetup(const chip::SetupPacket& s) {
    if ((s.requestType & ~0x80) == chip::kRequestTypeVendor &&
        s.request == chip::kRegisterRequest) {
        if (s.DeviceToHost()) return Format("vendor read reg %u", s.index);
        return Format("vendor write reg %u = 0x%02X", s.index, s.value & 0xFF);
    }
    if (s.requestType == chip::kRequestDirectionIn && s.request == chip::kGetDescriptor) {
        const unsigned type = s.value >> 8;
        const char* name = type == chip::kDescriptorDevice          ? "device"
                           : type == chip::kDescriptorConfiguration ? "configuration"
                           : type == chip::kDescriptorString        ? "string"
                                                                    : nullptr;
        std::string what = name ? name : Format("type %u", type);
        return Format("get %s descriptor %u, %u bytes", what.c_str(), s.value & 0xFF, s.length);
    }
    if (s.requestType == chip::kRecipientEndpoint && s.request == chip::kClearFeature &&
        s.value == chip::kFeatureEndpointHalt)
        return Format("clear halt of endpoint 0x%02X", s.index);
    return Format("control %02X %02X value 0x%04X index 0x%04X length %u", s.requestType, s.request,
                  s.value, s.index, s.length);
}

std::string HexBytes(const uint8_t* data, uint32_t length) {
    std::string text;
    for (uint32_t i = 0; i < length && i < 8; ++i) text += Format(i ? " %02X" : "%02X", data[i]);
    if (length > 8) text += " ...";
    return text;
}

// The outcome of a finished request in words.
std::string Outcome(const Transfer& t) {
    if (t.status != USBD_STATUS_SUCCESS && t.status != USBD_STATUS_DATA_UNDERRUN)
        return t.what + ": " + UsbdText(t.status);
    std::string text = t.what;
    if (t.work == Work::Data) {
        text += Format(": %u bytes", t.moved);
        if (t.in && t.moved && t.length <= 8) text += " (" + HexBytes(t.buffer, t.moved) + ")";
    } else if (t.work == Work::Control && t.in) {
        if (t.setup.request == chip::kRegisterRequest && t.moved == 1)
            text += Format(" = 0x%02X", t.buffer[0]);
        else
            text += Format(": %u bytes", t.moved);
    } else {
        text += ": done";
    }
    if (t.status == USBD_STATUS_DATA_UNDERRUN) text += ", " + UsbdText(t.status);
    return text;
}

// Handles: never null, distinct per device and per selection, so that a
// handle of an earlier selection is recognisably stale.
PVOID MakeHandle(const Device& d, uint32_t selection, uint32_t slot) {
    return reinterpret_cast<PVOID>((static_cast<uintptr_t>(d.number) << 32) |
                                   (static_cast<uintptr_t>(selection) << 8) | slot);
}

Pipe* FindPipe(Device& d, USBD_PIPE_HANDLE handle) {
    if (!handle) return nullptr;
    for (auto& pipe : d.pipes)
        if (pipe->current && pipe->handle == handle) return pipe.get();
    return nullptr;
}

// ---------------------------------------------------------------- capture

PcapUrb CaptureHeader(const Device& d, const Transfer& t, uint8_t endpoint, USBD_STATUS status) {
    return PcapUrb{Now(), t.id, d.address, endpoint, t.function, static_cast<uint32_t>(status)};
}

uint8_t ControlEndpoint(const Transfer& t) {
    return t.setup.DeviceToHost() ? 0x80 : 0x00;
}

PcapTransfer CaptureType(const Pipe& pipe) {
    return pipe.type == UsbdPipeTypeInterrupt ? PcapTransfer::Interrupt : PcapTransfer::Bulk;
}

void CaptureSubmit(Device& d, Transfer& t, const Pipe* pipe) {
    PcapWriter& pcap = d.bus->pcap;
    if (!pcap.IsOpen() || t.work == Work::Reset || t.work == Work::HostOnly) return;
    t.captured = true;
    if (t.work == Work::Data) {
        std::span<const uint8_t> out;
        if (!t.in && t.buffer) out = std::span<const uint8_t>(t.buffer, t.length);
        pcap.RecordBulkOrInterrupt(false, CaptureHeader(d, t, pipe->endpoint, 0),
                                   CaptureType(*pipe), out);
        return;
    }
    uint8_t setup[8];
    t.setup.ToBytes(setup);
    std::span<const uint8_t> out;
    if (!t.in && t.buffer && t.length) out = std::span<const uint8_t>(t.buffer, t.length);
    pcap.RecordControlSubmit(CaptureHeader(d, t, ControlEndpoint(t), 0), setup, out);
}

void CaptureComplete(Device& d, const Transfer& t, uint8_t endpoint, PcapTransfer type) {
    PcapWriter& pcap = d.bus->pcap;
    if (!pcap.IsOpen() || !t.captured) return;
    std::span<const uint8_t> in;
    if (t.in && t.buffer && t.moved) in = std::span<const uint8_t>(t.buffer, t.moved);
    if (t.work == Work::Data) {
        pcap.RecordBulkOrInterrupt(true, CaptureHeader(d, t, endpoint, t.status), type, in);
    } else {
        pcap.RecordControlComplete(CaptureHeader(d, t, ControlEndpoint(t), t.status), in);
    }
}

// ---------------------------------------------------------------- completion

// Records a completing control, bulk or interrupt transfer in the log.
void LogTransfer(Device& d, const Transfer& t, const Pipe* pipe) {
    if (t.work != Work::Control && t.work != Work::Select && t.work != Work::Data) return;
    TransferRecord r;
    r.id = t.id;
    r.endpoint = pipe ? pipe->endpoint : ControlEndpoint(t);
    r.type = !pipe                                 ? TransferType::Control
             : pipe->type == UsbdPipeTypeInterrupt ? TransferType::Interrupt
                                                   : TransferType::Bulk;
    r.in = pipe ? (pipe->endpoint & 0x80) != 0 : t.in;
    r.requested = t.length;
    r.moved = t.moved;
    if (t.buffer && t.moved) r.data.assign(t.buffer, t.buffer + t.moved);
    r.submitTime = t.submitTime;
    r.completeTime = Now();
    r.usbdStatus = t.status;
    r.ntStatus = NtStatusFor(t.status);
    r.submitSeq = t.submitSeq;
    r.completingSeq = ++d.bus->eventSeq;
    r.submitIrql = t.submitIrql;
    d.log.push_back(std::move(r));
    while (d.log.size() > d.bus->options.transferLogLimit) d.log.pop_front();
}

// Completes a request the bus owns (its cancel routine already taken and the
// request out of every queue). DISPATCH_LEVEL or below; no lock held.
void Complete(Device& d, TransferPtr t, const Pipe* pipe) {
    if (t->urb) {
        t->urb->UrbHeader.Status = t->status;
        if (t->lengthField) *t->lengthField = t->moved;
    }
    uint8_t endpoint = pipe ? pipe->endpoint : 0;
    LogTransfer(d, *t, pipe);
    CaptureComplete(d, *t, endpoint, pipe ? CaptureType(*pipe) : PcapTransfer::Control);
    TRACE_URB(Format("#%llu ", static_cast<unsigned long long>(t->id)) + Outcome(*t));
    PIRP irp = t->irp;
    const uint64_t id = t->id;
    irp->IoStatus.Status = NtStatusFor(t->status);
    irp->IoStatus.Information = 0;
    t.reset();
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    const uint64_t returned = ++d.bus->eventSeq;
    for (auto it = d.log.rbegin(); it != d.log.rend(); ++it) {
        if (it->id == id) {
            it->completedSeq = returned;
            break;
        }
    }
}

struct Finished {
    TransferPtr transfer;
    const Pipe* pipe;  // data transfers: where it ran (pipes are never freed while the bus lives)
};

void CompleteAll(Device& d, std::vector<Finished>& finished) {
    for (auto& f : finished) Complete(d, std::move(f.transfer), f.pipe);
    finished.clear();
}

void CompleteAbort(Device& d, const Pipe& pipe, const AbortRequest& abort) {
    abort.urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
    PcapWriter& pcap = d.bus->pcap;
    if (pcap.IsOpen())
        pcap.RecordBulkOrInterrupt(
            true, PcapUrb{Now(), abort.id, d.address, pipe.endpoint, URB_FUNCTION_ABORT_PIPE, 0},
            CaptureType(pipe), {});
    TRACE_URB(Format("#%llu abort %s pipe: done", static_cast<unsigned long long>(abort.id),
                     PipeName(pipe).c_str()));
    abort.irp->IoStatus.Status = STATUS_SUCCESS;
    abort.irp->IoStatus.Information = 0;
    IofCompleteRequest(abort.irp, IO_NO_INCREMENT);
}

// Aborts of a pipe whose victims are all gone: taken out of the pipe. A
// transfer finished on the bus but not yet completed (a cancelled one
// among them) still counts: an abort completes after every transfer of its
// pipe has.
std::vector<AbortRequest> ReadyAborts(Pipe& pipe) {
    for (auto& t : pipe.queue)
        if (t->aborted || t->finished) return {};
    std::vector<AbortRequest> ready;
    ready.swap(pipe.aborts);
    return ready;
}

void CompleteAborts(Device& d, const Pipe& pipe, const std::vector<AbortRequest>& aborts) {
    for (auto& abort : aborts) CompleteAbort(d, pipe, abort);
}

using ReadyAbortList = std::vector<std::pair<const Pipe*, std::vector<AbortRequest>>>;

// Takes the aborts of every pipe whose victims are all gone.
ReadyAbortList CollectReadyAborts(Device& d) {
    ReadyAbortList ready;
    for (auto& pipe : d.pipes) {
        if (pipe->aborts.empty()) continue;
        std::vector<AbortRequest> list = ReadyAborts(*pipe);
        if (!list.empty()) ready.emplace_back(pipe.get(), std::move(list));
    }
    return ready;
}

void CompleteAborts(Device& d, const ReadyAbortList& ready) {
    for (auto& [pipe, list] : ready) CompleteAborts(d, *pipe, list);
}

// Refuses a URB inside the submitting call.
NTSTATUS Refuse(PIRP irp, PURB urb, uint64_t id, const std::string& what, USBD_STATUS status) {
    urb->UrbHeader.Status = status;
    TRACE_URB(Format("#%llu ", static_cast<unsigned long long>(id)) + what + ": refused, " +
              UsbdText(status));
    NTSTATUS nt = NtStatusFor(status);
    irp->IoStatus.Status = nt;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return nt;
}

NTSTATUS CompleteIrpNow(PIRP irp, NTSTATUS status) {
    irp->CancelRoutine = nullptr;
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Takes a held request's cancel routine: true when the bus now owns it,
// false when IoCancelIrp got there first.
bool Claim(PIRP irp) {
    if (!irp->CancelRoutine) return false;
    irp->CancelRoutine = nullptr;
    return true;
}

// ---------------------------------------------------------------- scheduling

void Service(Device& d);
void StartControl(Device& d);
void FinishControl(Device& d);

// Runs fn in a DPC soon, unless the bus is gone by then.
void DeferOn(Device& d, const char* what, void (*fn)(Device&)) {
    std::weak_ptr<UsbBus::Impl> bus = d.bus->self;
    Device* device = &d;
    Sim().Defer(
        [bus, device, fn] {
            if (auto alive = bus.lock()) fn(*device);
        },
        what);
}

void RequestService(Device& d) {
    if (d.serviceQueued || !d.pdo) return;
    d.serviceQueued = true;
    DeferOn(d, "usb service", Service);
}

bool Frames(const Device& d) {
    return d.bus->options.timing == UsbTiming::Frames;
}

// Frame timing with an xHCI-like controller: bulk transfers are served in the
// frame they were submitted in, and completions reach the driver a
// turnaround after the last packet.
bool Xhci(const UsbBus::Impl& bus) {
    return bus.options.timing == UsbTiming::Frames &&
           bus.options.hostController == HostController::Xhci;
}

// The first frame in which a held transfer may be served: the one after its
// submission, or under Xhci a bulk transfer's own.
uint64_t FirstFrame(const UsbBus::Impl& bus, const Pipe& pipe, const Transfer& t) {
    return Xhci(bus) && pipe.type == UsbdPipeTypeBulk ? t.submitFrame : t.submitFrame + 1;
}

// The transfer of a pipe that moves data next: the oldest one that is not
// finished, aborted or being cancelled. Null when there is none or it hangs.
Transfer* FrontLive(Pipe& pipe) {
    for (auto& t : pipe.queue) {
        if (t->finished || t->aborted || !t->irp->CancelRoutine) continue;
        return t->hung ? nullptr : t.get();
    }
    return nullptr;
}

// The first frame at or after `frame` in which an interrupt pipe is polled.
uint64_t DueFrame(const Pipe& pipe, uint64_t frame) {
    const uint64_t period = pipe.period;
    return (frame + period - 1) / period * period;
}

// The next time a frame must be served for this device, or 0 when no held
// transfer waits for one: transfers the chip NAKed wait for the chip's
// wake-up instead, hung ones for their cancellation.
uint64_t NextFrameNeeded(Device& d) {
    if (!d.Awake() || !Frames(d)) return 0;
    // The current frame while its start has not been served yet (a frame
    // event due now), else the next one.
    const uint64_t now = Now();
    uint64_t next = now / kFrameTicks + 1;
    if (now % kFrameTicks == 0 && d.bus->servedStart != now / kFrameTicks) --next;
    uint64_t best = 0;
    for (auto& pipe : d.pipes) {
        if (!pipe->current || pipe->nakWait) continue;
        const Transfer* t = FrontLive(*pipe);
        if (!t) continue;
        const uint64_t eligible = std::max(next, FirstFrame(*d.bus, *pipe, *t));
        const uint64_t frame =
            pipe->type == UsbdPipeTypeInterrupt ? DueFrame(*pipe, eligible) : eligible;
        if (!best || frame < best) best = frame;
    }
    return best * kFrameTicks;
}

void ServeFrame(UsbBus::Impl& bus);

// Keeps one frame event on the clock at the next frame a held transfer of
// any device on the bus waits for, none when no transfer does.
void ScheduleFrames(UsbBus::Impl& bus) {
    uint64_t frameAt = 0;
    for (auto& d : bus.devices) {
        const uint64_t at = NextFrameNeeded(*d);
        if (at && (!frameAt || at < frameAt)) frameAt = at;
    }
    if (bus.frameEvent && (!frameAt || bus.frameEventTime != frameAt)) {
        Sim().CancelEvent(bus.frameEvent);
        bus.frameEvent = 0;
    }
    if (!frameAt || bus.frameEvent) return;
    std::weak_ptr<UsbBus::Impl> weak = bus.self;
    bus.frameEventTime = frameAt;
    bus.frameEvent = Sim().At(
        frameAt,
        [weak, frameAt] {
            auto alive = weak.lock();
            if (!alive) return;
            if (alive->frameEventTime == frameAt) alive->frameEvent = 0;
            ServeFrame(*alive);
        },
        "usb frame");
}

// Keeps one wake-up on the clock at the chip's next event, none when the
// chip and its far end have nothing coming; under frame timing also the
// bus's frame event.
void Reschedule(Device& d) {
    if (Frames(d)) ScheduleFrames(*d.bus);
    uint64_t next = d.pdo ? d.chip.NextEventTime() : chip::kNever;
    if (next == chip::kNever) {
        if (d.wakeEvent) Sim().CancelEvent(d.wakeEvent);
        d.wakeEvent = 0;
        return;
    }
    next = std::max(next, Now() + 1);
    if (d.wakeEvent && d.wakeTime == next) return;
    if (d.wakeEvent) Sim().CancelEvent(d.wakeEvent);
    std::weak_ptr<UsbBus::Impl> bus = d.bus->self;
    Device* device = &d;
    uint64_t token = ++d.wakeToken;
    d.wakeTime = next;
    d.wakeEvent = Sim().At(
        next,
        [bus, device, token] {
            auto alive = bus.lock();
            if (!alive) return;
            if (device->wakeToken == token) device->wakeEvent = 0;
            Service(*device);
        },
        "usb chip wake-up");
}

// ---------------------------------------------------------------- data transfers

enum class Step : uint8_t {
    Nak,       // nothing moved; the chip tells when to try again
    Hang,      // the device will never answer
    Packet,    // one packet moved, the transfer goes on
    Finished,  // the transfer is over (status and count set)
};

// Moves one packet of a transfer; `bytes` gets its size.
Step MovePacket(Device& d, const Pipe& pipe, Transfer& t, uint32_t* bytes) {
    const uint64_t now = Now();
    const uint32_t ask = std::min<uint32_t>(t.length - t.moved, pipe.maxPacket);
    uint8_t* at = t.buffer ? t.buffer + t.moved : nullptr;
    chip::TransferResult r;
    switch (pipe.endpoint) {
        case chip::kEndpointStatusIn:
            r = d.chip.StatusIn(now, at, ask);
            break;
        case chip::kEndpointBulkIn:
            r = d.chip.BulkIn(now, at, ask);
            break;
        case chip::kEndpointBulkOut:
            r = d.chip.BulkOut(now, at, ask);
            break;
        default:
            r = chip::TransferResult::Fail(USBD_STATUS_DEV_NOT_RESPONDING);
            break;
    }
    *bytes = 0;
    switch (r.outcome) {
        case chip::Outcome::Nak:
            return Step::Nak;
        case chip::Outcome::Hang:
            t.hung = true;
            return Step::Hang;
        case chip::Outcome::Failed:
            t.status = static_cast<USBD_STATUS>(r.status);
            return Step::Finished;
        case chip::Outcome::Done:
            break;
    }
    *bytes = r.length;
    t.moved += r.length;
    if (t.moved >= t.length) return Step::Finished;
    if (r.length < ask) {  // a short packet ends the transfer
        if (t.in && !t.shortOk) t.status = USBD_STATUS_DATA_UNDERRUN;
        return Step::Finished;
    }
    return Step::Packet;
}

// Moves packets of one transfer until it ends or the chip holds it off.
// Returns true when the transfer is finished (status and count set).
bool Move(Device& d, const Pipe& pipe, Transfer& t) {
    for (;;) {
        uint32_t bytes;
        switch (MovePacket(d, pipe, t, &bytes)) {
            case Step::Packet:
                continue;
            case Step::Finished:
                return true;
            default:
                return false;
        }
    }
}

void DeliverFinished(Device& d);

// Keeps one event on the clock at the earliest completion of a finished
// transfer.
void ScheduleDelivery(Device& d) {
    uint64_t first = 0;
    for (auto& pipe : d.pipes)
        for (auto& t : pipe->queue)
            if (t->finished && (!first || t->completeAt < first)) first = t->completeAt;
    if (d.doneEvent && (!first || d.doneEventTime != first)) {
        Sim().CancelEvent(d.doneEvent);
        d.doneEvent = 0;
    }
    if (!first || d.doneEvent) return;
    std::weak_ptr<UsbBus::Impl> bus = d.bus->self;
    Device* device = &d;
    d.doneEventTime = first;
    d.doneEvent = Sim().At(
        first,
        [bus, device, first] {
            auto alive = bus.lock();
            if (!alive) return;
            if (device->doneEventTime == first) device->doneEvent = 0;
            DeliverFinished(*device);
        },
        "usb transfer done");
}

// The bus owns a transfer whose last packet ends on the bus at `at`.
void FinishAt(Transfer& t, uint64_t at) {
    Claim(t.irp);
    t.finished = true;
    t.completeAt = at;
}

// Takes the finished transfers due by `upTo` out of their queues, in the
// order their packets ended, with the aborts that waited for them.
std::vector<Finished> TakeFinished(Device& d, uint64_t upTo, ReadyAbortList* aborts) {
    std::vector<Finished> done;
    for (auto& pipe : d.pipes) {
        bool took = false;
        for (size_t i = 0; i < pipe->queue.size();) {
            if (!pipe->queue[i]->finished || pipe->queue[i]->completeAt > upTo) {
                ++i;
                continue;
            }
            done.push_back({std::move(pipe->queue[i]), pipe.get()});
            pipe->queue.erase(pipe->queue.begin() + static_cast<ptrdiff_t>(i));
            took = true;
        }
        if (took && !pipe->aborts.empty()) {
            std::vector<AbortRequest> ready = ReadyAborts(*pipe);
            if (!ready.empty()) aborts->emplace_back(pipe.get(), std::move(ready));
        }
    }
    std::stable_sort(done.begin(), done.end(), [](const Finished& a, const Finished& b) {
        return a.transfer->completeAt != b.transfer->completeAt
                   ? a.transfer->completeAt < b.transfer->completeAt
                   : a.transfer->id < b.transfer->id;
    });
    return done;
}

// Timed event: finished transfers whose last packet has ended complete.
void DeliverFinished(Device& d) {
    ReadyAbortList aborts;
    std::vector<Finished> done = TakeFinished(d, Now(), &aborts);
    ScheduleDelivery(d);
    CompleteAll(d, done);
    CompleteAborts(d, aborts);
}

// Frame timing: serves what the current moment of the current frame allows,
// for every device on the bus. At a frame's start: the interrupt endpoints
// that are due (each device's control transfer of the frame runs on its own
// event, placed first). Then, at any moment, the bulk endpoints of all
// devices in turn, one packet each, within the frame's budget. DPC.
void ServeFrame(UsbBus::Impl& bus) {
    const uint64_t now = Now();
    const uint64_t frame = now / kFrameTicks;
    const uint64_t start = frame * kFrameTicks, end = start + kFrameTicks;
    if (bus.frame != frame) {
        bus.frame = frame;
        bus.busAt = start + Ticks(kSofBits);
        bus.bulkPackets = 0;
    }
    for (auto& d : bus.devices) {
        if (!d->pdo) continue;
        d->serviceQueued = false;
        d->chip.AdvanceTo(now);
        if (d->controlActive && d->controlEnd > start && d->controlEnd <= end)
            bus.busAt = std::max(bus.busAt, d->controlEnd);  // control transfers come first
    }
    bus.busAt = std::max(bus.busAt, now);
    std::vector<Device*> delivered;
    auto account = [&](Device& d, Transfer& t, Step step, uint32_t bytes) {
        if (step == Step::Nak || step == Step::Hang) return;
        bus.busAt += Ticks(TransactionBits(bytes));
        if (step == Step::Finished) {
            FinishAt(t, bus.busAt + (Xhci(bus) ? bus.options.turnaround : 0));
            delivered.push_back(&d);
        }
    };
    if (now == start) {
        bus.servedStart = frame;
        for (auto& d : bus.devices) {
            if (!d->Awake()) continue;
            for (auto& pipe : d->pipes) {
                if (!pipe->current || pipe->type != UsbdPipeTypeInterrupt || pipe->nakWait)
                    continue;
                Transfer* t = FrontLive(*pipe);
                if (!t || t->submitFrame >= frame || pipe->lastPoll == frame ||
                    DueFrame(*pipe, frame) != frame)
                    continue;
                pipe->lastPoll = frame;
                uint32_t bytes;
                Step step = MovePacket(*d, *pipe, *t, &bytes);
                if (step == Step::Nak) pipe->nakWait = true;
                account(*d, *t, step, bytes);
            }
        }
    }
    bool full = false;
    for (bool progress = true; progress && !full;) {
        progress = false;
        for (auto& d : bus.devices) {
            if (!d->Awake() || full) continue;
            for (auto& pipe : d->pipes) {
                if (!pipe->current || pipe->type != UsbdPipeTypeBulk || pipe->nakWait) continue;
                Transfer* t = FrontLive(*pipe);
                if (!t || FirstFrame(bus, *pipe, *t) > frame) continue;
                if (bus.bulkPackets >= kBulkPacketsPerFrame ||
                    bus.busAt + Ticks(TransactionBits(pipe->maxPacket)) > end) {
                    full = true;  // the rest waits for the next frame
                    break;
                }
                uint32_t bytes;
                Step step = MovePacket(*d, *pipe, *t, &bytes);
                if (step == Step::Nak) pipe->nakWait = true;
                if (step == Step::Packet || step == Step::Finished) {
                    ++bus.bulkPackets;
                    progress = true;
                }
                account(*d, *t, step, bytes);
            }
        }
    }
    for (Device* d : delivered) ScheduleDelivery(*d);
    for (auto& d : bus.devices) Reschedule(*d);
}

// DPC: gives every data pipe's oldest live transfer its chance with the chip.
void Service(Device& d) {
    d.serviceQueued = false;
    if (!d.pdo) return;
    d.chip.AdvanceTo(Now());
    if (Frames(d)) {
        ServeFrame(*d.bus);
        return;
    }
    if (!d.Awake()) {
        Reschedule(d);
        return;
    }
    std::vector<Finished> finished;
    for (auto& pipe : d.pipes) {
        if (!pipe->current) continue;
        for (size_t i = 0; i < pipe->queue.size();) {
            Transfer& t = *pipe->queue[i];
            if (t.aborted || !t.irp->CancelRoutine) {  // another path completes it
                ++i;
                continue;
            }
            if (t.hung || !Move(d, *pipe, t)) break;
            Claim(t.irp);
            finished.push_back({std::move(pipe->queue[i]), pipe.get()});
            pipe->queue.erase(pipe->queue.begin() + static_cast<ptrdiff_t>(i));
        }
    }
    Reschedule(d);
    CompleteAll(d, finished);
}

// Takes every held request the bus can claim out of its queue, with the
// given status; requests being cancelled stay for their cancel routines.
std::vector<Finished> ClaimEverything(Device& d, USBD_STATUS status) {
    std::vector<Finished> claimed;
    for (size_t i = 0; i < d.control.size();) {
        Transfer* t = d.control[i].get();
        if (!Claim(t->irp)) {
            ++i;
            continue;
        }
        if (t == d.controlActive) {
            if (d.controlEvent) Sim().CancelEvent(d.controlEvent);
            d.controlEvent = 0;
            d.controlActive = nullptr;
        }
        t->status = status;
        claimed.push_back({std::move(d.control[i]), nullptr});
        d.control.erase(d.control.begin() + static_cast<ptrdiff_t>(i));
    }
    for (auto& pipe : d.pipes) {
        for (size_t i = 0; i < pipe->queue.size();) {
            if (!Claim(pipe->queue[i]->irp)) {
                ++i;
                continue;
            }
            pipe->queue[i]->status = status;
            claimed.push_back({std::move(pipe->queue[i]), pipe.get()});
            pipe->queue.erase(pipe->queue.begin() + static_cast<ptrdiff_t>(i));
        }
    }
    return claimed;
}

// Completes the transfers finished on the bus at once, then everything held
// with `status`, then the aborts that were waiting for it. Runs in the
// caller's context.
void Flush(Device& d, USBD_STATUS status) {
    ReadyAbortList early;  // aborts that waited only for finished transfers
    std::vector<Finished> done = TakeFinished(d, ~0ull, &early);
    std::vector<Finished> claimed = ClaimEverything(d, status);
    ReadyAbortList aborts = CollectReadyAborts(d);
    StartControl(d);
    ScheduleDelivery(d);
    Reschedule(d);
    CompleteAll(d, done);
    CompleteAll(d, claimed);
    CompleteAborts(d, early);
    CompleteAborts(d, aborts);
}

// DPC: the aborts of every pipe take their victims.
void ProcessAborts(Device& d) {
    std::vector<Finished> claimed;
    for (auto& pipe : d.pipes) {
        if (pipe->aborts.empty()) continue;
        for (size_t i = 0; i < pipe->queue.size();) {
            Transfer& t = *pipe->queue[i];
            if (!t.aborted || !Claim(t.irp)) {
                ++i;
                continue;
            }
            t.status = USBD_STATUS_CANCELED;
            claimed.push_back({std::move(pipe->queue[i]), pipe.get()});
            pipe->queue.erase(pipe->queue.begin() + static_cast<ptrdiff_t>(i));
        }
    }
    ReadyAbortList aborts = CollectReadyAborts(d);
    CompleteAll(d, claimed);
    CompleteAborts(d, aborts);
    RequestService(d);  // transfers queued behind the aborted ones may move now
}

// ---------------------------------------------------------------- default pipe

// Bus time of a control transfer: setup, data stage packets, status stage.
// Nothing for a host-side pipe operation.
uint64_t ControlBits(const Transfer& t) {
    if (t.work == Work::HostOnly) return 0;
    uint64_t bits = TransactionBits(8) + TransactionBits(0);
    for (uint32_t left = t.length; left;) {
        const uint32_t packet = std::min<uint32_t>(left, chip::kControlMaxPacket);
        bits += TransactionBits(packet);
        left -= packet;
    }
    return bits;
}

// When the front request of the default pipe, starting now, ends: a port
// reset after its latency; under frame timing a control transfer first in
// the next frame, when its last stage ends on the bus; else after the
// control latency.
uint64_t ControlEndTime(const Device& d, const Transfer& t) {
    const UsbBusOptions& o = d.bus->options;
    if (t.work == Work::Reset) return Now() + o.resetLatency;
    if (!Frames(d)) return Now() + o.controlLatency;
    const uint64_t start = (Now() / kFrameTicks + 1) * kFrameTicks;
    return start + Ticks(kSofBits + ControlBits(t));
}

// Starts the front request of the default pipe when none is running.
void StartControl(Device& d) {
    if (d.controlActive || d.control.empty() || !d.Awake()) return;
    Transfer* t = d.control.front().get();
    d.controlActive = t;
    d.controlEnd = ControlEndTime(d, *t);
    std::weak_ptr<UsbBus::Impl> bus = d.bus->self;
    Device* device = &d;
    const uint64_t id = t->id;
    d.controlEvent = Sim().At(
        d.controlEnd,
        [bus, device, id] {
            // A request cancelled after its event fired leaves a stale DPC
            // behind; it must not finish the request that runs now.
            auto alive = bus.lock();
            if (alive && device->controlActive && device->controlActive->id == id)
                FinishControl(*device);
        },
        "usb control transfer");
}

// Sends the restoring requests of a port reset: address, then configuration.
USBD_STATUS RestoreAfterReset(Device& d, uint64_t now) {
    chip::TransferResult r =
        d.chip.Control(now, {0x00, chip::kSetAddress, d.address, 0, 0}, nullptr, 0);
    if (r.outcome == chip::Outcome::Done && d.configuration)
        r = d.chip.Control(now, {0x00, chip::kSetConfiguration, d.configuration, 0, 0}, nullptr, 0);
    if (r.outcome == chip::Outcome::Done) return USBD_STATUS_SUCCESS;
    return r.outcome == chip::Outcome::Failed ? static_cast<USBD_STATUS>(r.status)
                                              : USBD_STATUS_DEV_NOT_RESPONDING;
}

// Installs the pipes of a selection (or none, for a deconfiguration) and
// fills the caller's interface information. Every transfer of the old pipes
// that the bus can claim is returned, cancelled.
std::vector<Finished> ApplySelection(Device& d, Transfer& t) {
    std::vector<Finished> victims;
    for (auto& pipe : d.pipes) {
        if (!pipe->current) continue;
        pipe->current = false;
        for (size_t i = 0; i < pipe->queue.size();) {
            if (!Claim(pipe->queue[i]->irp)) {
                ++i;
                continue;
            }
            pipe->queue[i]->status = USBD_STATUS_CANCELED;
            victims.push_back({std::move(pipe->queue[i]), pipe.get()});
            pipe->queue.erase(pipe->queue.begin() + static_cast<ptrdiff_t>(i));
        }
    }
    d.configuration = t.configurationValue;
    if (!t.configurationValue) {
        t.urb->UrbSelectConfiguration.ConfigurationHandle = nullptr;
        return victims;
    }
    const uint32_t selection = ++d.selections;
    t.urb->UrbSelectConfiguration.ConfigurationHandle = MakeHandle(d, selection, 0);
    uint32_t slot = 0;
    for (size_t i = 0; i < t.plan.size(); ++i) {
        InterfacePlan& plan = t.plan[i];
        PUSBD_INTERFACE_INFORMATION info = plan.info;
        info->Class = plan.cls;
        info->SubClass = plan.subClass;
        info->Protocol = plan.protocol;
        info->InterfaceHandle = MakeHandle(d, selection, 0x80 + static_cast<uint32_t>(i));
        info->NumberOfPipes = static_cast<ULONG>(plan.pipes.size());
        for (PipePlan& p : plan.pipes) {
            auto pipe = std::make_unique<Pipe>();
            pipe->handle = MakeHandle(d, selection, ++slot);
            pipe->current = true;
            pipe->endpoint = p.endpoint;
            pipe->type = p.type;
            pipe->maxPacket = p.maxPacket;
            pipe->maxTransfer = p.maxTransfer;
            // Polled every bInterval frames, rounded down to a power of two
            // and at most 32, as the Windows stack schedules full speed.
            uint8_t period = 1;
            while (period < 32 && period * 2 <= p.interval)
                period = static_cast<uint8_t>(period * 2);
            pipe->period = period;
            p.info->MaximumPacketSize = p.maxPacket;
            p.info->EndpointAddress = p.endpoint;
            p.info->Interval = p.interval;
            p.info->PipeType = p.type;
            p.info->PipeHandle = pipe->handle;
            d.pipes.push_back(std::move(pipe));
        }
    }
    return victims;
}

// Timed event: the running request of the default pipe reaches the device.
void FinishControl(Device& d) {
    d.controlEvent = 0;
    Transfer* t = d.controlActive;
    if (!t || !d.pdo || !t->irp->CancelRoutine)
        return;  // being cancelled: its cancel routine goes on
    const uint64_t now = Now();
    d.chip.AdvanceTo(now);
    std::vector<Finished> victims;
    if (Gone(d)) {
        t->status = USBD_STATUS_DEVICE_GONE;
    } else if (t->work == Work::Reset) {
        d.chip.BusReset(now);
        t->status = RestoreAfterReset(d, now);
    } else if (t->work != Work::HostOnly) {
        chip::TransferResult r = d.chip.Control(now, t->setup, t->buffer, t->length);
        if (r.outcome == chip::Outcome::Hang || r.outcome == chip::Outcome::Nak) {
            t->hung = true;  // stays at the front until it is cancelled
            TRACE_URB(Format("#%llu ", static_cast<unsigned long long>(t->id)) + t->what +
                      ": no answer");
            Reschedule(d);
            return;
        }
        if (r.outcome == chip::Outcome::Failed) {
            t->status = static_cast<USBD_STATUS>(r.status);
        } else {
            t->moved = r.length;
            if (t->work == Work::Select) victims = ApplySelection(d, *t);
        }
    }
    Claim(t->irp);
    TransferPtr done = std::move(d.control.front());
    d.control.pop_front();
    d.controlActive = nullptr;
    ReadyAbortList aborts = CollectReadyAborts(d);  // aborts whose victims a reselection took
    StartControl(d);
    Reschedule(d);
    if (t->work == Work::Select || t->work == Work::Reset) RequestService(d);
    CompleteAll(d, victims);
    CompleteAborts(d, aborts);
    Complete(d, std::move(done), nullptr);
}

// ---------------------------------------------------------------- cancellation

// When a bulk or interrupt transfer cancelled now completes: at the start
// of the next frame, or of a later one up to cancelExtraFrames on (seeded).
uint64_t CancelCompletionTime(Device& d) {
    const uint32_t extra = d.bus->options.cancelExtraFrames;
    const uint64_t later = extra ? Sim().Random() % (extra + 1) : 0;
    return (Now() / kFrameTicks + 1 + later) * kFrameTicks;
}

// Cancel routine of every request the bus holds. Runs with the cancel spin
// lock held and releases it first. A control request is taken out of its
// queue and completed cancelled at once; a data transfer is marked finished
// with USBD_STATUS_CANCELED and completes when the endpoint has stopped
// (CancelCompletionTime).
VOID CancelHeldRequest(PDEVICE_OBJECT pdo, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Device& d = *DeviceOf(pdo);
    TransferPtr t;
    Pipe* where = nullptr;
    for (auto it = d.control.begin(); it != d.control.end() && !t; ++it) {
        if ((*it)->irp != irp) continue;
        if (it->get() == d.controlActive) {
            if (d.controlEvent) Sim().CancelEvent(d.controlEvent);
            d.controlEvent = 0;
            d.controlActive = nullptr;
        }
        t = std::move(*it);
        d.control.erase(it);
        break;
    }
    for (auto& pipe : d.pipes) {
        if (t) break;
        for (auto it = pipe->queue.begin(); it != pipe->queue.end(); ++it) {
            if ((*it)->irp != irp) continue;
            // The host controller takes the transfer off the endpoint first;
            // it completes from the frame after that, with the pipe's aborts
            // behind it.
            Transfer& cancelled = **it;
            cancelled.status = USBD_STATUS_CANCELED;
            cancelled.finished = true;
            cancelled.completeAt = CancelCompletionTime(d);
            ScheduleDelivery(d);
            RequestService(d);  // the transfers behind it may move
            return;
        }
    }
    if (!t) Sim().Fail("usb bus: cancel routine ran for a request it does not hold");
    t->status = USBD_STATUS_CANCELED;
    std::vector<AbortRequest> aborts = where ? ReadyAborts(*where) : std::vector<AbortRequest>{};
    StartControl(d);
    Reschedule(d);
    RequestService(d);  // a cancelled transfer may have held up the ones behind it
    Complete(d, std::move(t), where);
    if (where) CompleteAborts(d, *where, aborts);
}

// Queues a request the bus will complete later and sets its cancel routine.
// A request cancelled before it got here completes cancelled at once. The
// trace shows `submitText` for the submission when given.
// Returns STATUS_PENDING (the request is marked pending).
NTSTATUS Hold(Device& d, TransferPtr t, Pipe* pipe, const std::string* submitText = nullptr) {
    PIRP irp = t->irp;
    t->submitTime = Now();
    t->submitFrame = t->submitTime / kFrameTicks;
    t->submitSeq = ++d.bus->eventSeq;
    t->submitIrql = KeGetCurrentIrql();
    CaptureSubmit(d, *t, pipe);
    TRACE_URB(Format("#%llu submit ", static_cast<unsigned long long>(t->id)) +
              (submitText ? *submitText : t->what));
    IoMarkIrpPending(irp);
    if (t->urb) t->urb->UrbHeader.Status = USBD_STATUS_PENDING;
    irp->CancelRoutine = CancelHeldRequest;
    if (irp->Cancel) {
        irp->CancelRoutine = nullptr;
        t->status = USBD_STATUS_CANCELED;
        Complete(d, std::move(t), pipe);
        return STATUS_PENDING;
    }
    if (pipe) {
        pipe->queue.push_back(std::move(t));
        RequestService(d);
    } else {
        d.control.push_back(std::move(t));
        StartControl(d);
    }
    return STATUS_PENDING;
}

// ---------------------------------------------------------------- URB requests

// The smallest URB length each supported function needs; 0 for functions
// the bus does not serve.
ULONG MinimumLength(USHORT function) {
    switch (function) {
        case URB_FUNCTION_SELECT_CONFIGURATION:
            return offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
        case URB_FUNCTION_ABORT_PIPE:
        case URB_FUNCTION_RESET_PIPE:
        case URB_FUNCTION_SYNC_RESET_PIPE:
        case URB_FUNCTION_SYNC_CLEAR_STALL:
            return sizeof(struct _URB_PIPE_REQUEST);
        case URB_FUNCTION_CONTROL_TRANSFER:
            return sizeof(struct _URB_CONTROL_TRANSFER);
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
            return sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
            return sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
        case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
        case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE:
        case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT:
            return sizeof(struct _URB_CONTROL_FEATURE_REQUEST);
        case URB_FUNCTION_VENDOR_DEVICE:
        case URB_FUNCTION_VENDOR_INTERFACE:
        case URB_FUNCTION_VENDOR_ENDPOINT:
        case URB_FUNCTION_CLASS_DEVICE:
            return sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
        default:
            return 0;
    }
}

struct Submission {
    Device& d;
    PIRP irp;
    PURB urb;
    uint64_t id;
};

TransferPtr NewTransfer(const Submission& s, Work work, std::string what) {
    auto t = std::make_unique<Transfer>();
    t->id = s.id;
    t->irp = s.irp;
    t->urb = s.urb;
    t->work = work;
    t->function = s.urb ? s.urb->UrbHeader.Function : 0;
    t->what = std::move(what);
    return t;
}

// A control transfer with a data stage of `length` bytes at `buffer`.
NTSTATUS SubmitControl(const Submission& s, const chip::SetupPacket& setup, PVOID buffer,
                       ULONG length, ULONG* lengthField) {
    chip::SetupPacket packet = setup;
    packet.length = static_cast<uint16_t>(std::min<ULONG>(length, 0xFFFF));
    const std::string what = Tracing() ? DescribeSetup(packet) : std::string();
    if (length > 0xFFFF) return Refuse(s.irp, s.urb, s.id, what, USBD_STATUS_INVALID_PARAMETER);
    if (length && !buffer) return Refuse(s.irp, s.urb, s.id, what, USBD_STATUS_INVALID_PARAMETER);
    TransferPtr t = NewTransfer(s, Work::Control, what);
    t->setup = packet;
    t->buffer = static_cast<uint8_t*>(buffer);
    t->length = length;
    t->in = setup.DeviceToHost();
    t->shortOk = true;  // a control read may end early: its status stage ends it
    t->lengthField = lengthField;
    return Hold(s.d, std::move(t), nullptr);
}

// Walks a configuration descriptor within its wTotalLength. Null when the
// descriptor is malformed.
bool PlanInterface(const USB_CONFIGURATION_DESCRIPTOR* config, PUSBD_INTERFACE_INFORMATION info,
                   InterfacePlan* plan) {
    auto* begin = reinterpret_cast<const UCHAR*>(config);
    const UCHAR* end = begin + config->wTotalLength;
    const USB_INTERFACE_DESCRIPTOR* found = nullptr;
    for (const UCHAR* p = begin + config->bLength; p + 2 <= end;) {
        const UCHAR length = p[0], type = p[1];
        if (length < 2 || p + length > end) return false;
        if (type == USB_INTERFACE_DESCRIPTOR_TYPE) {
            if (found) break;  // the endpoints of the interface found have been seen
            auto* i = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(p);
            if (length >= sizeof *i && i->bInterfaceNumber == info->InterfaceNumber &&
                i->bAlternateSetting == info->AlternateSetting) {
                found = i;
                plan->info = info;
                plan->cls = i->bInterfaceClass;
                plan->subClass = i->bInterfaceSubClass;
                plan->protocol = i->bInterfaceProtocol;
            }
        } else if (type == USB_ENDPOINT_DESCRIPTOR_TYPE && found) {
            if (length < sizeof(USB_ENDPOINT_DESCRIPTOR)) return false;
            auto* e = reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR*>(p);
            USHORT maxPacket;
            std::memcpy(&maxPacket, &e->wMaxPacketSize, sizeof maxPacket);
            plan->pipes.push_back(
                PipePlan{nullptr, e->bEndpointAddress,
                         static_cast<USBD_PIPE_TYPE>(e->bmAttributes & USB_ENDPOINT_TYPE_MASK),
                         static_cast<uint16_t>(maxPacket & 0x7FF), e->bInterval, 0});
        }
        p += length;
    }
    return found && plan->pipes.size() == found->bNumEndpoints;
}

NTSTATUS SubmitSelectConfiguration(const Submission& s) {
    struct _URB_SELECT_CONFIGURATION& select = s.urb->UrbSelectConfiguration;
    PUSB_CONFIGURATION_DESCRIPTOR config = select.ConfigurationDescriptor;
    if (!config) {
        TransferPtr t = NewTransfer(s, Work::Select, "deconfigure");
        t->setup = {0x00, chip::kSetConfiguration, 0, 0, 0};
        return Hold(s.d, std::move(t), nullptr);
    }
    const ULONG urbLength = s.urb->UrbHeader.Length;
    auto refuse = [&](const char* why) {
        return Refuse(s.irp, s.urb, s.id, std::string("select configuration (") + why + ")",
                      USBD_STATUS_INVALID_PARAMETER);
    };
    if (config->bLength < sizeof *config ||
        config->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
        config->wTotalLength < config->bLength || config->bNumInterfaces == 0)
        return refuse("bad configuration descriptor");
    std::vector<InterfacePlan> plan(config->bNumInterfaces);
    ULONG offset = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
    size_t pipes = 0;
    for (InterfacePlan& interface : plan) {
        if (offset % alignof(USBD_INTERFACE_INFORMATION) ||
            offset + offsetof(USBD_INTERFACE_INFORMATION, Pipes) > urbLength)
            return refuse("URB too short");
        auto* info =
            reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<UCHAR*>(s.urb) + offset);
        if (!PlanInterface(config, info, &interface)) return refuse("no such interface");
        const size_t needed =
            offsetof(USBD_INTERFACE_INFORMATION, Pipes) +
            std::max<size_t>(interface.pipes.size(), 1) * sizeof(USBD_PIPE_INFORMATION);
        if (info->Length < needed || offset + info->Length > urbLength)
            return refuse("interface information too short");
        for (size_t i = 0; i < interface.pipes.size(); ++i) {
            PipePlan& p = interface.pipes[i];
            if (p.maxPacket == 0) return refuse("endpoint without a packet size");
            p.info = &info->Pipes[i];
            p.maxTransfer = p.info->MaximumTransferSize;
            if (p.maxTransfer == 0 || p.maxTransfer > s.d.bus->options.maximumTransferSizeLimit)
                return refuse("maximum transfer size out of range");
        }
        pipes += interface.pipes.size();
        offset += info->Length;
    }
    TransferPtr t = NewTransfer(
        s, Work::Select,
        Format("select configuration %u: %zu pipes", config->bConfigurationValue, pipes));
    t->setup = {0x00, chip::kSetConfiguration, config->bConfigurationValue, 0, 0};
    t->configurationValue = config->bConfigurationValue;
    t->plan = std::move(plan);
    return Hold(s.d, std::move(t), nullptr);
}

NTSTATUS SubmitBulkOrInterrupt(const Submission& s) {
    struct _URB_BULK_OR_INTERRUPT_TRANSFER& x = s.urb->UrbBulkOrInterruptTransfer;
    Pipe* pipe = FindPipe(s.d, x.PipeHandle);
    if (!pipe) return Refuse(s.irp, s.urb, s.id, "transfer", USBD_STATUS_INVALID_PIPE_HANDLE);
    // The direction is the endpoint's; the transfer flags only add whether a
    // short packet is acceptable.
    const bool in = (pipe->endpoint & 0x80) != 0;
    std::string what =
        Tracing() ? PipeName(*pipe) + Format(" %u bytes", x.TransferBufferLength) : std::string();
    if ((x.TransferBufferLength && !x.TransferBuffer) || x.TransferBufferLength > pipe->maxTransfer)
        return Refuse(s.irp, s.urb, s.id, what, USBD_STATUS_INVALID_PARAMETER);
    TransferPtr t = NewTransfer(s, Work::Data, PipeName(*pipe));
    t->buffer = static_cast<uint8_t*>(x.TransferBuffer);
    t->length = x.TransferBufferLength;
    t->in = in;
    t->shortOk = (x.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
    t->lengthField = &x.TransferBufferLength;
    return Hold(s.d, std::move(t), pipe, &what);
}

NTSTATUS SubmitAbort(const Submission& s) {
    Pipe* pipe = FindPipe(s.d, s.urb->UrbPipeRequest.PipeHandle);
    if (!pipe) return Refuse(s.irp, s.urb, s.id, "abort pipe", USBD_STATUS_INVALID_PIPE_HANDLE);
    size_t victims = 0;
    for (auto& t : pipe->queue) {
        if (!t->aborted) ++victims;
        t->aborted = true;
    }
    PcapWriter& pcap = s.d.bus->pcap;
    if (pcap.IsOpen())
        pcap.RecordBulkOrInterrupt(
            false, PcapUrb{Now(), s.id, s.d.address, pipe->endpoint, URB_FUNCTION_ABORT_PIPE, 0},
            CaptureType(*pipe), {});
    TRACE_URB(Format("#%llu submit abort %s pipe: %zu held", static_cast<unsigned long long>(s.id),
                     PipeName(*pipe).c_str(), victims));
    IoMarkIrpPending(s.irp);
    s.urb->UrbHeader.Status = USBD_STATUS_PENDING;
    s.irp->CancelRoutine = nullptr;
    pipe->aborts.push_back(AbortRequest{s.id, s.irp, s.urb});
    DeferOn(s.d, "usb abort pipe", ProcessAborts);
    return STATUS_PENDING;
}

// Clear-feature (endpoint halt) of a pipe's endpoint, as reset-pipe does.
NTSTATUS SubmitPipeReset(const Submission& s) {
    Pipe* pipe = FindPipe(s.d, s.urb->UrbPipeRequest.PipeHandle);
    const USHORT function = s.urb->UrbHeader.Function;
    if (!pipe) return Refuse(s.irp, s.urb, s.id, "reset pipe", USBD_STATUS_INVALID_PIPE_HANDLE);
    if (function == URB_FUNCTION_SYNC_RESET_PIPE) {
        TransferPtr t = NewTransfer(s, Work::HostOnly, "reset " + PipeName(*pipe) + " pipe");
        return Hold(s.d, std::move(t), nullptr);
    }
    chip::SetupPacket setup{chip::kRecipientEndpoint, chip::kClearFeature,
                            chip::kFeatureEndpointHalt, pipe->endpoint, 0};
    return SubmitControl(s, setup, nullptr, 0, nullptr);
}

NTSTATUS SubmitUrb(Device& d, PIRP irp, PURB urb) {
    if (!urb) {
        TRACE_URB("submit without a URB: refused");
        return CompleteIrpNow(irp, STATUS_INVALID_PARAMETER);
    }
    const Submission s{d, irp, urb, ++d.bus->urbSequence};
    const USHORT function = urb->UrbHeader.Function;
    const ULONG minimum = MinimumLength(function);
    if (!minimum)
        return Refuse(irp, urb, s.id, Format("URB function 0x%04X", function),
                      USBD_STATUS_INVALID_URB_FUNCTION);
    if (urb->UrbHeader.Length < minimum)
        return Refuse(irp, urb, s.id,
                      Format("URB function 0x%04X with length %u", function, urb->UrbHeader.Length),
                      USBD_STATUS_INVALID_PARAMETER);
    if (Gone(d))
        return Refuse(irp, urb, s.id, Format("URB function 0x%04X", function),
                      USBD_STATUS_DEVICE_GONE);

    switch (function) {
        case URB_FUNCTION_SELECT_CONFIGURATION:
            return SubmitSelectConfiguration(s);
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
            return SubmitBulkOrInterrupt(s);
        case URB_FUNCTION_ABORT_PIPE:
            return SubmitAbort(s);
        case URB_FUNCTION_RESET_PIPE:
        case URB_FUNCTION_SYNC_RESET_PIPE:
        case URB_FUNCTION_SYNC_CLEAR_STALL:
            return SubmitPipeReset(s);
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
            struct _URB_CONTROL_DESCRIPTOR_REQUEST& r = urb->UrbControlDescriptorRequest;
            chip::SetupPacket setup{chip::kRequestDirectionIn, chip::kGetDescriptor,
                                    static_cast<uint16_t>(r.DescriptorType << 8 | r.Index),
                                    r.LanguageId, 0};
            return SubmitControl(s, setup, r.TransferBuffer, r.TransferBufferLength,
                                 &r.TransferBufferLength);
        }
        case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
        case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE:
        case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT: {
            struct _URB_CONTROL_FEATURE_REQUEST& r = urb->UrbControlFeatureRequest;
            const uint8_t recipient = function == URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT
                                          ? chip::kRecipientEndpoint
                                          : chip::kRecipientDevice;
            const uint8_t request = function == URB_FUNCTION_SET_FEATURE_TO_DEVICE
                                        ? chip::kSetFeature
                                        : chip::kClearFeature;
            return SubmitControl(s, {recipient, request, r.FeatureSelector, r.Index, 0}, nullptr, 0,
                                 nullptr);
        }
        case URB_FUNCTION_VENDOR_DEVICE:
        case URB_FUNCTION_VENDOR_INTERFACE:
        case URB_FUNCTION_VENDOR_ENDPOINT:
        case URB_FUNCTION_CLASS_DEVICE: {
            struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST& r = urb->UrbControlVendorClassRequest;
            uint8_t type = function == URB_FUNCTION_VENDOR_DEVICE      ? 0x40
                           : function == URB_FUNCTION_VENDOR_INTERFACE ? 0x41
                           : function == URB_FUNCTION_VENDOR_ENDPOINT  ? 0x42
                                                                       : 0x20;
            if (r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) type |= chip::kRequestDirectionIn;
            type |= r.RequestTypeReservedBits;
            return SubmitControl(s, {type, r.Request, r.Value, r.Index, 0}, r.TransferBuffer,
                                 r.TransferBufferLength, &r.TransferBufferLength);
        }
        case URB_FUNCTION_CONTROL_TRANSFER: {
            struct _URB_CONTROL_TRANSFER& r = urb->UrbControlTransfer;
            if (!(r.TransferFlags & USBD_DEFAULT_PIPE_TRANSFER))
                return Refuse(irp, urb, s.id, "control transfer", USBD_STATUS_INVALID_PIPE_HANDLE);
            chip::SetupPacket setup = chip::SetupPacket::FromBytes(r.SetupPacket);
            const bool in = (r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
            if (in != setup.DeviceToHost())
                return Refuse(irp, urb, s.id, DescribeSetup(setup), USBD_STATUS_INVALID_PARAMETER);
            return SubmitControl(s, setup, r.TransferBuffer, r.TransferBufferLength,
                                 &r.TransferBufferLength);
        }
        default:
            return Refuse(irp, urb, s.id, Format("URB function 0x%04X", function),
                          USBD_STATUS_INVALID_URB_FUNCTION);
    }
}

NTSTATUS SubmitPortReset(Device& d, PIRP irp) {
    const uint64_t id = ++d.bus->urbSequence;
    if (Gone(d)) {
        TRACE_URB(
            Format("#%llu reset port: refused, device gone", static_cast<unsigned long long>(id)));
        return CompleteIrpNow(irp, STATUS_DEVICE_NOT_CONNECTED);
    }
    auto t = std::make_unique<Transfer>();
    t->id = id;
    t->irp = irp;
    t->work = Work::Reset;
    t->what = "reset port";
    return Hold(d, std::move(t), nullptr);
}

// ---------------------------------------------------------------- dispatch routines

// IRP_MJ_INTERNAL_DEVICE_CONTROL. IRQL: up to DISPATCH_LEVEL.
NTSTATUS DispatchInternalControl(PDEVICE_OBJECT pdo, PIRP irp) {
    Device& d = *DeviceOf(pdo);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
        case IOCTL_INTERNAL_USB_SUBMIT_URB:
            return SubmitUrb(d, irp, static_cast<PURB>(stack->Parameters.Others.Argument1));
        case IOCTL_INTERNAL_USB_RESET_PORT:
            return SubmitPortReset(d, irp);
        case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
            auto* status = static_cast<PULONG>(stack->Parameters.Others.Argument1);
            if (!status) return CompleteIrpNow(irp, STATUS_INVALID_PARAMETER);
            *status = Gone(d) ? 0 : kPortEnabled | kPortConnected;
            return CompleteIrpNow(irp, STATUS_SUCCESS);
        }
        default:
            return CompleteIrpNow(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

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

// Cancel routine of a held wait-wake. IRQL: DISPATCH_LEVEL, entered holding
// the cancel spin lock.
VOID CancelWaitWake(PDEVICE_OBJECT pdo, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Device& d = *DeviceOf(pdo);
    if (d.waitWake == irp) d.waitWake = nullptr;
    EndWaitWake(d, irp, STATUS_CANCELLED);
}

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

}  // namespace

// ---------------------------------------------------------------- UsbBus

UsbBus::UsbBus(UsbBusOptions options) : impl_(std::make_shared<Impl>()) {
    impl_->options = options;
    impl_->self = impl_;
}

UsbBus::~UsbBus() {
    // Timed events of this bus must not fire into freed memory; the weak
    // reference each of them holds covers the DPCs already queued.
    if (!Simulation::Active()) return;
    if (impl_->frameEvent) Sim().CancelEvent(impl_->frameEvent);
    for (auto& d : impl_->devices) {
        for (uint64_t event : {d->wakeEvent, d->controlEvent, d->doneEvent})
            if (event) Sim().CancelEvent(event);
    }
}

namespace {

Device* FindDevice(UsbBus::Impl& bus, PDEVICE_OBJECT pdo) {
    for (auto& d : bus.devices)
        if (pdo && d->pdo == pdo) return d.get();
    return nullptr;
}

Device& RequireDevice(UsbBus::Impl& bus, PDEVICE_OBJECT pdo) {
    Device* d = FindDevice(bus, pdo);
    if (!d) Sim().Fail("usb bus: no device for this PDO");
    return *d;
}

}  // namespace

PDEVICE_OBJECT UsbBus::CreatePdo(const std::string& instanceId) {
    Impl& bus = *impl_;
    if (!bus.driver) {
        bus.driver = CreateDriverObject("usbhub");
        bus.driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalControl;
        bus.driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
        bus.driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    }
    Device* d = nullptr;
    for (auto& existing : bus.devices)
        if (existing->instanceId == instanceId) d = existing.get();
    const uint64_t now = Now();
    if (d && d->pdo) Sim().Fail("usb bus: " + instanceId + " is plugged in already");
    if (!d) {
        bus.devices.push_back(std::make_unique<Device>());
        d = bus.devices.back().get();
        d->bus = &bus;
        d->instanceId = instanceId;
        d->number = static_cast<int>(bus.devices.size());
        d->address = static_cast<uint8_t>(1 + (d->number - 1) % 127);
        d->chip.SetObserver(d);
    } else {
        d->chip.Reconnect(now);
    }
    PDEVICE_OBJECT pdo = nullptr;
    NTSTATUS status = IoCreateDevice(bus.driver, sizeof(PdoExtension), nullptr, FILE_DEVICE_UNKNOWN,
                                     FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo);
    if (!NT_SUCCESS(status)) Sim().Fail("usb bus: no PDO for " + instanceId);
    static_cast<PdoExtension*>(pdo->DeviceExtension)->device = d;
    d->pdo = pdo;
    d->removed = false;
    d->configuration = 0;
    d->powerState = PowerDeviceD0;
    d->stackLog.clear();
    for (auto& pipe : d->pipes) pipe->current = false;
    // Enumeration: the hub resets the port and gives the device its address.
    d->chip.BusReset(now);
    d->chip.Control(now, {0x00, chip::kSetAddress, d->address, 0, 0}, nullptr, 0);
    TRACE_URB(Format("device %s at address %u", instanceId.c_str(), d->address));
    Reschedule(*d);
    return pdo;
}

void UsbBus::DeletePdo(PDEVICE_OBJECT pdo) {
    Device* d = FindDevice(*impl_, pdo);
    if (d) {
        size_t held = d->control.size();
        for (auto& pipe : d->pipes) held += pipe->queue.size() + pipe->aborts.size();
        if (held)
            TRACE_URB(
                Format("device %s deleted with %zu requests held", d->instanceId.c_str(), held));
        for (uint64_t event : {d->wakeEvent, d->controlEvent, d->doneEvent})
            if (event) Sim().CancelEvent(event);
        d->wakeEvent = d->controlEvent = d->doneEvent = 0;
        d->pdo = nullptr;
        if (impl_->options.timing == UsbTiming::Frames) ScheduleFrames(*impl_);
    }
    IoDeleteDevice(pdo);
}

void UsbBus::Disconnect(PDEVICE_OBJECT pdo) {
    Device* d = FindDevice(*impl_, pdo);
    if (!d) return;
    const uint64_t now = Now();
    d->chip.AdvanceTo(now);
    d->chip.Disconnect(now);
    TRACE_URB("device " + d->instanceId + " unplugged");
    // What is held now fails; it completes in a DPC straight away.
    auto gone =
        std::make_shared<std::vector<Finished>>(ClaimEverything(*d, USBD_STATUS_DEVICE_GONE));
    auto aborts = std::make_shared<ReadyAbortList>(CollectReadyAborts(*d));
    Reschedule(*d);
    if (gone->empty() && aborts->empty()) return;
    std::weak_ptr<Impl> bus = impl_;
    Sim().Defer(
        [bus, d, gone, aborts] {
            if (!bus.lock()) return;
            CompleteAll(*d, *gone);
            CompleteAborts(*d, *aborts);
        },
        "usb device gone");
}

chip::BridgeChip& UsbBus::Chip(PDEVICE_OBJECT pdo) {
    return RequireDevice(*impl_, pdo).chip;
}

chip::BridgeChip& UsbBus::Chip(const std::string& instanceId) {
    for (auto& d : impl_->devices)
        if (d->instanceId == instanceId) return d->chip;
    Sim().Fail("usb bus: no device " + instanceId);
}

void UsbBus::AttachFarEnd(PDEVICE_OBJECT pdo, chip::FarEnd* farEnd) {
    Update(pdo, [farEnd](chip::BridgeChip& c) { c.AttachFarEnd(farEnd); });
}

void UsbBus::Update(PDEVICE_OBJECT pdo, const std::function<void(chip::BridgeChip&)>& change) {
    Device& d = RequireDevice(*impl_, pdo);
    d.chip.AdvanceTo(Now());
    if (change) change(d.chip);
    RequestService(d);
    Reschedule(d);
}

bool UsbBus::CaptureTo(const std::string& path) {
    return impl_->pcap.Open(path);
}
void UsbBus::StopCapture() {
    impl_->pcap.Close();
}
uint64_t UsbBus::CapturedRecords() const {
    return impl_->pcap.RecordCount();
}

std::vector<StackRequest> UsbBus::StackRequests(PDEVICE_OBJECT pdo) const {
    return RequireDevice(*impl_, pdo).stackLog;
}

std::vector<StackRequest> UsbBus::StackRequests(const std::string& instanceId) const {
    for (auto& d : impl_->devices)
        if (d->instanceId == instanceId) return d->stackLog;
    Sim().Fail("usb bus: no device " + instanceId);
}

void UsbBus::FailNextStart(PDEVICE_OBJECT pdo, NTSTATUS status) {
    RequireDevice(*impl_, pdo).failNextStart = status;
}

bool UsbBus::SignalWake(PDEVICE_OBJECT pdo) {
    Device& d = RequireDevice(*impl_, pdo);
    PIRP irp = TakeWaitWake(d);
    if (!irp) return false;
    EndWaitWake(d, irp, STATUS_SUCCESS);
    return true;
}

DEVICE_POWER_STATE UsbBus::PdoPowerState(PDEVICE_OBJECT pdo) const {
    return RequireDevice(*impl_, pdo).powerState;
}

uint64_t UsbBus::EventSeq() const { return impl_->eventSeq; }

size_t UsbBus::HeldRequests(PDEVICE_OBJECT pdo) const {
    Device& d = RequireDevice(*impl_, pdo);
    size_t held = d.control.size();
    for (auto& pipe : d.pipes) held += pipe->queue.size() + pipe->aborts.size();
    return held;
}

bool UsbBus::WakeupQueued(PDEVICE_OBJECT pdo) const {
    Device& d = RequireDevice(*impl_, pdo);
    return d.wakeEvent || (impl_->frameEvent && NextFrameNeeded(d));
}

std::vector<TransferRecord> UsbBus::Transfers(PDEVICE_OBJECT pdo) const {
    const Device& d = RequireDevice(*impl_, pdo);
    return {d.log.begin(), d.log.end()};
}

std::vector<TransferRecord> UsbBus::Transfers(const std::string& instanceId) const {
    for (auto& d : impl_->devices)
        if (d->instanceId == instanceId) return {d->log.begin(), d->log.end()};
    Sim().Fail("usb bus: no device " + instanceId);
}

void UsbBus::ClearTransfers(PDEVICE_OBJECT pdo) {
    RequireDevice(*impl_, pdo).log.clear();
}

uint8_t UsbBus::DeviceAddress(PDEVICE_OBJECT pdo) const {
    return RequireDevice(*impl_, pdo).address;
}

}  // namespace sim::usb
