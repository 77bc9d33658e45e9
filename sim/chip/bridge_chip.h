// bridge_chip.h - the USB-to-serial bridge chip as a platform-free state
// machine: what sits at the end of the USB cable.
//
// Contract for the bus that drives it
// -----------------------------------
// Endpoints. The device has the default control endpoint and, once
// configured, three endpoints listed in the interface in this order:
// interrupt-in 0x81 (status reports, max packet 8), bulk-out 0x02 and bulk-in
// 0x83 (max packet 64). Descriptors are in descriptors.h.
//
// Calls. Every call takes the current virtual time (100 ns ticks) and first
// performs everything due up to it. Each transfer call answers with a
// TransferResult:
//   Done    the transfer completed; `length` bytes moved (for control, the
//           data stage; for bulk and interrupt, one packet: shorter than the
//           maximum packet size ends a transfer).
//   Nak     bulk and interrupt only: nothing to send, or no room for the
//           packet. Keep the transfer pending; OnEndpointReady() tells when a
//           new attempt may succeed.
//   Failed  the transfer failed with the USBD status in `status`:
//           kUsbdStatusStallPid for a stall (a refused control request, a
//           halted or unconfigured endpoint), kUsbdStatusDeviceGone once the
//           device is disconnected, or an injected status.
//   Hang    an injected fault: the device never answers this transfer. Keep
//           it pending until it is cancelled; do not poll it again.
//
//   Control(now, setup, data, length): one control transfer. For a
//     device-to-host request `data` receives at most min(wLength, length)
//     bytes; for host-to-device, `data` holds the `length` bytes of the data
//     stage. Supported: GET_STATUS, CLEAR_FEATURE and SET_FEATURE
//     (ENDPOINT_HALT on 0x00/0x80, 0x81, 0x02, 0x83), SET_ADDRESS,
//     GET_DESCRIPTOR (device, configuration; short when wLength is smaller),
//     GET_CONFIGURATION, SET_CONFIGURATION (0 or 1), GET_INTERFACE and
//     SET_INTERFACE (interface 0, setting 0), and the register request 0xFE:
//     bmRequestType 0xC0 reads register wIndex (1-byte data stage), 0x40
//     writes the low byte of wValue to register wIndex (no data stage).
//     Registers above 16, and everything else, stall.
//   BulkOut(now, data, length): one packet of at most 64 bytes (more is
//     taken as its first 64 bytes). The packet is taken whole when it fits in
//     the transmit FIFO and refused (Nak) otherwise: it is never split,
//     except by an injected Limit fault. A result shorter than offered ends
//     the transfer.
//   BulkIn(now, buffer, length): one packet of min(received bytes, 64,
//     length) bytes; Nak when nothing was received.
//   StatusIn(now, buffer, length): the oldest queued 4-byte status report
//     (uart.h tells its layout); Nak when none is queued. A buffer shorter
//     than 4 bytes gets the report's first bytes and the report is used up.
//   A bulk-in or status request for 0 bytes completes at once with 0 bytes
//   and takes nothing.
//   BusReset(now): a port reset: address 0, not configured, halts cleared,
//     the UART back in its power-on state with empty FIFOs and no reports.
//
// Time. NextEventTime() is the next time the chip or its far end will act by
// itself (a frame leaves or arrives, a peer changes a line, a timed bulk-in
// fault comes due while a bulk-in transfer waits on a Nak); a scheduler may
// jump its clock there and call AdvanceTo(). Advancing in such steps makes
// every event visible to the bus at its own time.
//
// Observer. OnEndpointReady(endpoint) is called once after a Nak on that
// endpoint when a retry may succeed (bytes arrived, FIFO room, a report, or
// the device went away). It may be called from inside any chip call: it must
// only note the endpoint and retry after the chip call has returned, never
// call into the chip itself.
//
// Line. AttachFarEnd() plugs something into the serial side (see line.h);
// LineSide() is the chip's end as that far end sees it.
//
// Faults. InjectFault() adds a rule (faults.h): failed, hung or short
// transfers on any endpoint or on chosen control requests, bad status-report
// markers, a zero-length bulk-in packet; any of them from a chosen time.
// HaltEndpoint() stalls an endpoint until CLEAR_FEATURE (ENDPOINT_HALT) or a
// reset; while endpoint 0 is halted only CLEAR_FEATURE for endpoint 0 is
// answered. Disconnect() makes every later call fail with
// kUsbdStatusDeviceGone until Reconnect(), which powers the chip up afresh
// (fault rules stay). Faults are consulted before a request is performed;
// a failed or hung request has no effect on the chip.
//
// Kernel-style code: no OS calls, no allocation, no standard library; the
// object can be a constinit global. Not thread-safe: the caller serialises.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "sim/chip/descriptors.h"
#include "sim/chip/faults.h"
#include "sim/chip/line.h"
#include "sim/chip/uart.h"
#include "sim/chip/usb_defs.h"

namespace chip {

enum class Outcome : uint8_t { Done, Nak, Failed, Hang };

struct TransferResult {
    Outcome outcome = Outcome::Done;
    uint32_t length = 0;
    uint32_t status = kUsbdStatusSuccess;

    static constexpr TransferResult Ok(uint32_t length) { return {Outcome::Done, length, 0}; }
    static constexpr TransferResult Nak() { return {Outcome::Nak, 0, 0}; }
    static constexpr TransferResult Fail(uint32_t status) { return {Outcome::Failed, 0, status}; }
    static constexpr TransferResult Stall() { return Fail(kUsbdStatusStallPid); }
    static constexpr TransferResult Hang() { return {Outcome::Hang, 0, 0}; }

    constexpr bool Stalled() const {
        return outcome == Outcome::Failed && status == kUsbdStatusStallPid;
    }
};

class ChipObserver {
  public:
    virtual void OnEndpointReady(uint8_t endpoint) = 0;

  protected:
    ~ChipObserver() = default;
};

class BridgeChip final : private UartEvents {
  public:
    constexpr BridgeChip() { uart_.SetEvents(this); }
    BridgeChip(const BridgeChip&) = delete;
    BridgeChip& operator=(const BridgeChip&) = delete;

    void SetObserver(ChipObserver* observer) { observer_ = observer; }

    // USB transfers (see the contract above).
    TransferResult Control(uint64_t now, const SetupPacket& setup, uint8_t* data, uint32_t length);
    TransferResult BulkOut(uint64_t now, const uint8_t* data, uint32_t length);
    TransferResult BulkIn(uint64_t now, uint8_t* buffer, uint32_t length);
    TransferResult StatusIn(uint64_t now, uint8_t* buffer, uint32_t length);
    void BusReset(uint64_t now);

    // Time.
    uint64_t Now() const { return uart_.Now(); }
    uint64_t NextEventTime() const;
    void AdvanceTo(uint64_t now);

    // Serial line.
    void AttachFarEnd(FarEnd* farEnd) { uart_.AttachFarEnd(farEnd); }
    NearEnd& LineSide() { return uart_; }

    // Plugging.
    void Disconnect(uint64_t now);
    void Reconnect(uint64_t now);
    bool Connected() const { return connected_; }

    // Faults.
    bool InjectFault(const Fault& fault) { return faults_.Add(fault); }
    void ClearFaults() { faults_.Clear(); }
    // The next configuration-descriptor read fails once with `status`.
    bool FailNextConfigurationRead(uint32_t status = kUsbdStatusStallPid) {
        return faults_.Add(
            Fault::FailControl(RequestMatch::GetDescriptor(kDescriptorConfiguration), status));
    }
    // Halts an endpoint (0x00, 0x81, 0x02, 0x83); false for any other address.
    bool HaltEndpoint(uint8_t endpoint);
    bool EndpointHalted(uint8_t endpoint) const;

    // Inspection without side effects: nothing is popped, no status bit is
    // cleared, no fault rule is consulted or counted, the clock stays.
    uint8_t Address() const { return address_; }
    uint8_t Configuration() const { return configuration_; }
    const Uart& UartState() const { return uart_; }
    uint8_t PeekRegister(uint8_t reg) const { return uart_.PeekRegister(reg); }
    uint32_t RxFifoLevel() const { return uart_.RxFifoCount(); }
    uint32_t TxFifoLevel() const { return uart_.TxFifoCount(); }
    uint32_t FaultRules() const { return faults_.Size(); }

  private:
    static constexpr int kEndpointSlots = 4;
    static int EndpointSlot(uint8_t endpoint);

    TransferResult StandardRequest(const SetupPacket& setup, uint8_t* data, uint32_t limit);
    TransferResult RegisterRequest(const SetupPacket& setup, uint8_t* data, uint32_t limit);
    void Deconfigure();
    void WakeWaiters();
    void Wake(bool& waiting, uint8_t endpoint);

    // UartEvents.
    void OnUartRxData() override { Wake(bulkInWaiting_, kEndpointBulkIn); }
    void OnUartTxSpace() override { Wake(bulkOutWaiting_, kEndpointBulkOut); }
    void OnUartReport() override { Wake(statusWaiting_, kEndpointStatusIn); }

    Uart uart_;
    FaultTable faults_;
    ChipObserver* observer_ = nullptr;
    bool connected_ = true;
    uint8_t address_ = 0;
    uint8_t configuration_ = 0;
    bool halted_[kEndpointSlots] = {};
    // A Nak was answered on the endpoint and the bus waits to hear of a change.
    bool statusWaiting_ = false;
    bool bulkOutWaiting_ = false;
    bool bulkInWaiting_ = false;
};

}  // namespace chip
