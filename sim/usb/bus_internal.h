// bus_internal.h - what the files of the simulated USB bus share: the
// records of devices, pipes and held requests, the bus's own state, and the
// routines one file offers the others. Users of the bus include usb_bus.h
// only.
//
// The files, one concern each:
//   usb_bus.cpp     the UsbBus class: plugging, unplugging, inspection
//   words.cpp       requests, statuses and outcomes in words, for the trace
//   capture.cpp     the USBPcap capture of submissions and completions
//   completion.cpp  completing requests and aborts, the transfer log
//   frames.cpp      the clock's events, frame scheduling, the host controllers
//   transfers.cpp   moving bulk and interrupt data, delivering finished transfers
//   default_pipe.cpp  control transfers, configuration selection, port resets
//   cancellation.cpp  holding requests, the cancel routine, flushes and aborts
//   urb.cpp         IOCTL_INTERNAL_USB_* and the URBs they carry
//   pnp_power.cpp   the PDO's Plug and Play and power answers
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
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "sim/chip/descriptors.h"
#include "sim/kernel/usb.h"
#include "sim/usb/pcap.h"
#include "sim/usb/usb_bus.h"

namespace sim::usb {
namespace detail {

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

}  // namespace detail

struct UsbBus::Impl {
    UsbBusOptions options;
    PDRIVER_OBJECT driver = nullptr;
    std::vector<std::unique_ptr<detail::Device>> devices;
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

namespace detail {

// A request taken out of its queue, to be completed: where it ran, for data
// transfers (pipes are never freed while the bus lives).
struct Finished {
    TransferPtr transfer;
    const Pipe* pipe;
};

// Aborts whose victims are all gone, by pipe.
using ReadyAbortList = std::vector<std::pair<const Pipe*, std::vector<AbortRequest>>>;

// One packet's outcome on a data pipe.
enum class Step : uint8_t {
    Nak,       // nothing moved; the chip tells when to try again
    Hang,      // the device will never answer
    Packet,    // one packet moved, the transfer goes on
    Finished,  // the transfer is over (status and count set)
};

// ---------------------------------------------------------------- small helpers

inline Simulation& Sim() {
    return Simulation::Current();
}
inline uint64_t Now() {
    return Sim().Now();
}

inline Device* DeviceOf(PDEVICE_OBJECT pdo) {
    return static_cast<PdoExtension*>(pdo->DeviceExtension)->device;
}

inline bool Gone(const Device& d) {
    return d.removed || !d.chip.Connected();
}

inline bool Tracing() {
    return Sim().trace().On();
}

// Adds a URB event; the text is built only when the run keeps a trace.
#define TRACE_URB(text)                                  \
    do {                                                 \
        if (Tracing()) Sim().trace().Add("URB", (text)); \
    } while (0)

// Takes a held request's cancel routine: true when the bus now owns it,
// false when IoCancelIrp got there first.
inline bool Claim(PIRP irp) {
    if (!irp->CancelRoutine) return false;
    irp->CancelRoutine = nullptr;
    return true;
}

inline bool Frames(const Device& d) {
    return d.bus->options.timing == UsbTiming::Frames;
}

// Frame timing with an xHCI-like controller: bulk transfers are served in the
// frame they were submitted in, and completions reach the driver a
// turnaround after the last packet.
inline bool Xhci(const UsbBus::Impl& bus) {
    return bus.options.timing == UsbTiming::Frames &&
           bus.options.hostController == HostController::Xhci;
}

// The first frame in which a held transfer may be served: the one after its
// submission, or under Xhci a bulk transfer's own.
inline uint64_t FirstFrame(const UsbBus::Impl& bus, const Pipe& pipe, const Transfer& t) {
    return Xhci(bus) && pipe.type == UsbdPipeTypeBulk ? t.submitFrame : t.submitFrame + 1;
}

// The transfer of a pipe that moves data next: the oldest one that is not
// finished, aborted or being cancelled. Null when there is none or it hangs.
inline Transfer* FrontLive(Pipe& pipe) {
    for (auto& t : pipe.queue) {
        if (t->finished || t->aborted || !t->irp->CancelRoutine) continue;
        return t->hung ? nullptr : t.get();
    }
    return nullptr;
}

// The first frame at or after `frame` in which an interrupt pipe is polled.
inline uint64_t DueFrame(const Pipe& pipe, uint64_t frame) {
    const uint64_t period = pipe.period;
    return (frame + period - 1) / period * period;
}

// The capture's endpoint of a control transfer: its direction on endpoint 0.
inline uint8_t ControlEndpoint(const Transfer& t) {
    return t.setup.DeviceToHost() ? 0x80 : 0x00;
}

inline PcapTransfer CaptureType(const Pipe& pipe) {
    return pipe.type == UsbdPipeTypeInterrupt ? PcapTransfer::Interrupt : PcapTransfer::Bulk;
}

// ---------------------------------------------------------------- words (words.cpp)

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string UsbdText(USBD_STATUS status);
std::string PipeName(const Pipe& pipe);
// The request of a control transfer in words.
std::string DescribeSetup(const chip::SetupPacket& s);
// The outcome of a finished request in words.
std::string Outcome(const Transfer& t);

// ---------------------------------------------------------------- capture (capture.cpp)

void CaptureSubmit(Device& d, Transfer& t, const Pipe* pipe);
void CaptureComplete(Device& d, const Transfer& t, uint8_t endpoint, PcapTransfer type);

// ---------------------------------------------------------------- completion (completion.cpp)

// The NT status the Windows USB stack pairs with a USBD status.
NTSTATUS NtStatusFor(USBD_STATUS status);
// Completes a request the bus owns (its cancel routine already taken and the
// request out of every queue). DISPATCH_LEVEL or below; no lock held.
void Complete(Device& d, TransferPtr t, const Pipe* pipe);
void CompleteAll(Device& d, std::vector<Finished>& finished);
// Aborts of a pipe whose victims are all gone: taken out of the pipe.
std::vector<AbortRequest> ReadyAborts(Pipe& pipe);
void CompleteAborts(Device& d, const Pipe& pipe, const std::vector<AbortRequest>& aborts);
// Takes the aborts of every pipe whose victims are all gone.
ReadyAbortList CollectReadyAborts(Device& d);
void CompleteAborts(Device& d, const ReadyAbortList& ready);
// Refuses a URB inside the submitting call.
NTSTATUS Refuse(PIRP irp, PURB urb, uint64_t id, const std::string& what, USBD_STATUS status);
NTSTATUS CompleteIrpNow(PIRP irp, NTSTATUS status);

// ---------------------------------------------------------------- frames (frames.cpp)

// Runs fn in a DPC soon, unless the bus is gone by then.
void DeferOn(Device& d, const char* what, void (*fn)(Device&));
// The next time a frame must be served for this device, or 0 when no held
// transfer waits for one.
uint64_t NextFrameNeeded(Device& d);
// Keeps one frame event on the clock at the next frame a held transfer of
// any device on the bus waits for, none when no transfer does.
void ScheduleFrames(UsbBus::Impl& bus);
// Keeps one wake-up on the clock at the chip's next event; under frame
// timing also the bus's frame event.
void Reschedule(Device& d);
// Frame timing: serves what the current moment of the current frame allows,
// for every device on the bus. DPC.
void ServeFrame(UsbBus::Impl& bus);

// ---------------------------------------------------------------- data transfers (transfers.cpp)

// Moves one packet of a transfer; `bytes` gets its size.
Step MovePacket(Device& d, const Pipe& pipe, Transfer& t, uint32_t* bytes);
// Keeps one event on the clock at the earliest completion of a finished
// transfer.
void ScheduleDelivery(Device& d);
// The bus owns a transfer whose last packet ends on the bus at `at`.
void FinishAt(Transfer& t, uint64_t at);
// Takes the finished transfers due by `upTo` out of their queues, in the
// order their packets ended, with the aborts that waited for them.
std::vector<Finished> TakeFinished(Device& d, uint64_t upTo, ReadyAbortList* aborts);
// DPC: gives every data pipe's oldest live transfer its chance with the chip.
void Service(Device& d);

// ---------------------------------------------------------------- default pipe (default_pipe.cpp)

// Starts the front request of the default pipe when none is running.
void StartControl(Device& d);

// ---------------------------------------------------------------- cancellation (cancellation.cpp)

// Queues a request the bus will complete later and sets its cancel routine.
// Returns STATUS_PENDING (the request is marked pending).
NTSTATUS Hold(Device& d, TransferPtr t, Pipe* pipe, const std::string* submitText = nullptr);
// Takes every held request the bus can claim out of its queue, with the
// given status; requests being cancelled stay for their cancel routines.
std::vector<Finished> ClaimEverything(Device& d, USBD_STATUS status);
// Completes everything held: finished transfers, then the rest with `status`,
// then the aborts that waited. Runs in the caller's context.
void Flush(Device& d, USBD_STATUS status);
// DPC: the aborts of every pipe take their victims.
void ProcessAborts(Device& d);

// ---------------------------------------------------------------- dispatch (urb.cpp, pnp_power.cpp)

// IRP_MJ_INTERNAL_DEVICE_CONTROL. IRQL: up to DISPATCH_LEVEL.
NTSTATUS DispatchInternalControl(PDEVICE_OBJECT pdo, PIRP irp);
// IRP_MJ_PNP and IRP_MJ_POWER. IRQL: PASSIVE_LEVEL.
NTSTATUS DispatchPnp(PDEVICE_OBJECT pdo, PIRP irp);
NTSTATUS DispatchPower(PDEVICE_OBJECT pdo, PIRP irp);
// Takes the held wait-wake if its cancel routine has not run. IRQL: any.
PIRP TakeWaitWake(Device& d);
// Completes a wait-wake taken with TakeWaitWake. IRQL: <= DISPATCH_LEVEL.
void EndWaitWake(Device& d, PIRP irp, NTSTATUS status);

}  // namespace detail
}  // namespace sim::usb
