// usb_bus.h - the simulated USB bus: the physical device objects below a USB
// function driver, each carrying one bridge chip on the simulation's virtual
// clock.
//
// What a function driver sees
// ---------------------------
// Each PDO serves IRP_MJ_INTERNAL_DEVICE_CONTROL with
//   IOCTL_INTERNAL_USB_SUBMIT_URB (the URB in Parameters.Others.Argument1):
//     SELECT_CONFIGURATION (with a descriptor: pipes opened, interface
//       information filled; without: the device deconfigured), GET_DESCRIPTOR_
//       FROM_DEVICE, VENDOR_DEVICE / VENDOR_INTERFACE / VENDOR_ENDPOINT /
//       CLASS_DEVICE, CONTROL_TRANSFER on the default pipe, SET_FEATURE_TO_DEVICE,
//       CLEAR_FEATURE_TO_DEVICE / _TO_ENDPOINT, BULK_OR_INTERRUPT_TRANSFER,
//       ABORT_PIPE, RESET_PIPE, SYNC_RESET_PIPE and SYNC_CLEAR_STALL;
//   IOCTL_INTERNAL_USB_RESET_PORT (the device is reset and given back its
//     address and configuration; handles stay valid);
//   IOCTL_INTERNAL_USB_GET_PORT_STATUS;
// and IRP_MJ_PNP / IRP_MJ_POWER as a plain bus does.
//
// Requests the bus refuses at once (a bad pipe handle, an unknown function, a
// malformed URB, a device that is gone) complete inside the submitting call.
// Everything else completes later in a DPC context at DISPATCH_LEVEL, held
// with the bus's own cancel routine until the device has answered. Completion
// statuses are those of the Windows USB stack, in the URB header (USBD) and in
// IoStatus.Status (NT).
//
// Timing (UsbBusOptions::timing). Frames, the default, is full-speed USB:
//   - 1 ms frames on the virtual clock, frame n starting at n * 1 ms. A
//     request submitted during frame n is first served in frame n + 1 (the
//     xHCI-like host serves a bulk transfer in its own frame: see
//     HostController).
//   - Each frame serves the default pipe first (one control transfer a
//     frame), then the interrupt endpoints whose interval is due (bInterval
//     rounded down to a power of two, at most 32; one packet each), then
//     the bulk endpoints of every device on the bus in turn, one packet at
//     a time: at most 19 packets a frame shared by all bulk endpoints, and
//     no packet that would not end before the frame does.
//   - Bus time: the frame's start-of-frame packet, then every transaction
//     back to back, each taking its bytes plus 13 bytes of token, framing,
//     handshake and gaps at 12 Mbit/s. A transfer completes when its last
//     packet ends on the bus: inside the frame that served it.
//   - A bulk transfer ends when it is full or, for bulk-in, on a short packet
//     (a zero-length one included). A bulk packet the chip cannot take or has
//     nothing for is NAKed; the bulk endpoint is tried again at the moment
//     the chip has data or room, in the same frame while its budget lasts,
//     otherwise from the next frame. An interrupt endpoint the chip NAKs is
//     polled again at its next due frame once the chip has a report.
//   - A port reset takes `resetLatency` from when it reaches the head of the
//     default pipe; it is the hub's doing, not a transaction in a frame.
// Immediate, kept for tests that want it: control requests run one at a time,
// each `controlLatency` after it reached the head of the default pipe; bulk
// and interrupt transfers move as soon as the chip moves their data.
//
// Time. Before every call into a chip the bus brings it to the virtual time.
// While the chip or its far end has something coming (NextEventTime) one
// wake-up is queued on the clock for it, and while a transfer waits for a
// coming frame one frame event is. A transfer the chip has NAKed waits for
// the chip's wake-up, not for frames. With nothing coming and nothing to
// try nothing is queued, so an idle simulation ends and a stuck one is
// reported as a deadlock.
//
// Transfer log. Every control, bulk and interrupt transfer the bus held is
// recorded when it completes (TransferRecord) for tests and tools that look
// at the traffic without reading the trace.
//
// Outside changes. A test that changes the far end or the chip from outside
// (a peer sends, a modem line changes, a fault rule is added) does it through
// Update(), so that the chip is at the current time before the change and the
// bus learns what the change set in motion.
//
// Host-side C++ of the simulation: it takes no spin locks. Exactly one
// simulated thread runs at a time and a thread is switched only inside kernel
// calls, so the bus keeps its own records consistent before every kernel call
// and touches an IRP's cancel-routine field directly (a test-and-set that no
// other thread can split).
//
// The bus must outlive the devices it created: create it before plugging,
// unplug or remove the devices before it goes away.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/chip/bridge_chip.h"
#include "sim/kernel/sim.h"
#include "sim/kernel/usb.h"

namespace sim::usb {

enum class UsbTiming : uint8_t {
    Frames,     // full-speed frames (see above)
    Immediate,  // transfers move the moment the chip can move them
};

// How the host controller schedules bulk transfers under frame timing.
//   FrameList  a frame-list controller, the default: the schedule is built
//              per frame, so a transfer submitted during frame n is first
//              served in frame n + 1 and a pipe with one transfer in flight
//              is served at most once a frame. A completion reaches the
//              driver the moment the transfer's last packet ends.
//   Xhci       an xHCI-like controller: a bulk transfer is served as soon as
//              the frame's bandwidth allows, also in the frame it was
//              submitted in, and the completion of every bulk or interrupt
//              transfer reaches the driver `turnaround` after its last
//              packet ends (the controller's interrupt and the DPC that runs
//              the completion), so a pipe with one transfer in flight may be
//              served several times a frame. Interrupt endpoints are polled
//              at their interval as under FrameList; control transfers are
//              the same under both.
enum class HostController : uint8_t { FrameList, Xhci };

inline constexpr uint64_t kFrameTicks = 10'000;       // one full-speed frame: 1 ms in 100 ns units
inline constexpr uint32_t kBulkPacketsPerFrame = 19;  // full-speed bulk budget

// The power map a hub gives its child in IRP_MN_QUERY_CAPABILITIES. The
// default is the bridge chip's own: bus powered without remote wake-up, so
// every sleeping state is D3 and the device cannot wake the system; a test
// may choose a wake-capable map (for example S3 -> D2, DeviceWake D2,
// SystemWake S3).
struct UsbPowerMap {
    DEVICE_POWER_STATE deviceState[PowerSystemMaximum] = {
        PowerDeviceUnspecified, PowerDeviceD0, PowerDeviceD3, PowerDeviceD3,
        PowerDeviceD3,          PowerDeviceD3, PowerDeviceD3};
    DEVICE_POWER_STATE deviceWake = PowerDeviceUnspecified;
    SYSTEM_POWER_STATE systemWake = PowerSystemUnspecified;
};

// A PnP or power request as it reached a device's PDO.
struct StackRequest {
    UCHAR major = 0;  // IRP_MJ_PNP or IRP_MJ_POWER
    UCHAR minor = 0;
    POWER_STATE_TYPE powerType = SystemPowerState;  // set- and query-power
    ULONG powerState = 0;        // set- and query-power: the state; wait-wake: the system state
    NTSTATUS statusSeen = 0;     // the status field as it arrived
    NTSTATUS completedWith = 0;  // as the bus completed it (wait-wake: when it ends)
    uint64_t time = 0;           // virtual time of arrival
};

struct UsbBusOptions {
    UsbTiming timing = UsbTiming::Frames;
    // Frame timing: how bulk transfers are scheduled (see HostController).
    HostController hostController = HostController::FrameList;
    // Xhci: from the end of a data transfer's last packet to its completion
    // reaching the driver (100 ns units): interrupt and DPC latency.
    uint64_t turnaround = 1'250;
    // Immediate timing: a control transfer ends this long after it reaches
    // the head of the default pipe (100 ns units).
    uint64_t controlLatency = 10'000;
    // A port reset takes this long: reset signalling and recovery.
    uint64_t resetLatency = 100'000;
    // The largest MaximumTransferSize a pipe accepts. A select-configuration
    // asking for more (or for 0) is refused; a transfer longer than its
    // pipe's MaximumTransferSize is refused.
    uint32_t maximumTransferSizeLimit = 64 * 1024;
    // The transfer log keeps this many records per device, dropping the oldest.
    size_t transferLogLimit = 100'000;
    // A cancelled bulk or interrupt transfer completes once the host
    // controller has taken it off the endpoint: at the start of the next
    // frame, or of one up to this many frames later (seeded), never inside
    // IoCancelIrp. Its pipe's aborts wait for it.
    uint32_t cancelExtraFrames = 1;
    // A device set-power to D0 from a sleeping state completes when the port
    // has resumed, this long after it arrived (resume signalling and
    // recovery). While the device is not in D0 the bus serves none of its
    // transfers; they wait, held, for the resume.
    uint64_t resumeLatency = 200'000;
    // What every device's PDO answers to the capabilities query.
    UsbPowerMap powerMap;
};

enum class TransferType : uint8_t { Control, Interrupt, Bulk };

// One completed transfer as the bus saw it.
struct TransferRecord {
    uint64_t id = 0;       // URB sequence number, as in the trace and the capture
    uint8_t endpoint = 0;  // 0x00 / 0x80 for the default pipe, else the pipe's address
    TransferType type = TransferType::Control;
    bool in = false;
    uint32_t requested = 0;     // the transfer's buffer length (control: the data stage's)
    uint32_t moved = 0;         // bytes moved
    std::vector<uint8_t> data;  // the bytes moved, in either direction
    uint64_t submitTime = 0;    // virtual time of the submission
    uint64_t completeTime = 0;  // virtual time of the completion
    USBD_STATUS usbdStatus = USBD_STATUS_SUCCESS;
    NTSTATUS ntStatus = STATUS_SUCCESS;
    // Order of bus events, one counter for the whole bus: the submission,
    // the call that completes the transfer to its submitter, and the return
    // of the submitter's completion routine (the driver has seen the
    // outcome by then).
    uint64_t submitSeq = 0;
    uint64_t completingSeq = 0;
    uint64_t completedSeq = 0;
    KIRQL submitIrql = PASSIVE_LEVEL;  // IRQL of the submitting call

    uint64_t CompleteFrame() const { return completeTime / kFrameTicks; }
};

class UsbBus final : public Bus {
  public:
    explicit UsbBus(UsbBusOptions options = {});
    ~UsbBus() override;
    UsbBus(const UsbBus&) = delete;
    UsbBus& operator=(const UsbBus&) = delete;

    // sim::Bus. CreatePdo enumerates the device: the hub resets the port and
    // gives it an address. An instance id seen before is the same cable
    // plugged in again: its chip (and whatever is attached to its far end)
    // is reconnected and powers up afresh.
    PDEVICE_OBJECT CreatePdo(const std::string& instanceId) override;
    void DeletePdo(PDEVICE_OBJECT pdo) override;
    // Surprise unplug: every transfer held for the device completes with
    // USBD_STATUS_DEVICE_GONE / STATUS_DEVICE_NOT_CONNECTED in a DPC at once,
    // and every later request fails that way.
    void Disconnect(PDEVICE_OBJECT pdo) override;

    // The chip behind a PDO (or an instance id), for fault rules and
    // inspection. Changes go through Update().
    chip::BridgeChip& Chip(PDEVICE_OBJECT pdo);
    chip::BridgeChip& Chip(const std::string& instanceId);
    // Plugs something into the chip's serial side (null unplugs it).
    void AttachFarEnd(PDEVICE_OBJECT pdo, chip::FarEnd* farEnd);
    // Brings the chip to the current virtual time, runs `change` on it (may be
    // empty), serves whatever the change made ready and schedules the chip's
    // next wake-up. Call from any simulated thread.
    void Update(PDEVICE_OBJECT pdo, const std::function<void(chip::BridgeChip&)>& change = {});

    // Records every URB from now on as a USBPcap capture at `path`. False if
    // the file cannot be written.
    bool CaptureTo(const std::string& path);
    void StopCapture();
    uint64_t CapturedRecords() const;

    // The transfers of the device behind `pdo`, oldest first.
    std::vector<TransferRecord> Transfers(PDEVICE_OBJECT pdo) const;
    // The same by instance id: also after the device was removed.
    std::vector<TransferRecord> Transfers(const std::string& instanceId) const;
    void ClearTransfers(PDEVICE_OBJECT pdo);

    // Every PnP and power request that reached the device's PDO, oldest first.
    std::vector<StackRequest> StackRequests(PDEVICE_OBJECT pdo) const;
    // The same by instance id, also after the PDO is gone (until the cable
    // is plugged in again).
    std::vector<StackRequest> StackRequests(const std::string& instanceId) const;
    // The next IRP_MN_START_DEVICE of the device fails with `status`, as
    // when the hub cannot bring the port into service.
    void FailNextStart(PDEVICE_OBJECT pdo, NTSTATUS status);
    // The device signals a wake event: a held IRP_MN_WAIT_WAKE completes with
    // STATUS_SUCCESS. False when none is held.
    bool SignalWake(PDEVICE_OBJECT pdo);
    // The device power state last set on the PDO (D0 from enumeration).
    DEVICE_POWER_STATE PdoPowerState(PDEVICE_OBJECT pdo) const;

    // Inspection.
    uint64_t EventSeq() const;  // the counter behind TransferRecord's sequence numbers
    size_t HeldRequests(PDEVICE_OBJECT pdo) const;  // requests not yet completed
    bool WakeupQueued(PDEVICE_OBJECT pdo) const;    // a chip wake-up or frame event is on the clock
    uint8_t DeviceAddress(PDEVICE_OBJECT pdo) const;

    struct Impl;

  private:
    std::shared_ptr<Impl> impl_;
};

}  // namespace sim::usb
