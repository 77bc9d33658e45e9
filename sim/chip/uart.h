// uart.h - the bridge chip's 16550-style UART: register file, baud generator,
// transmitter and receiver with their FIFOs, modem lines and the status
// reports that go out on the interrupt pipe.
//
// Registers (numbers as the vendor request addresses them):
//   0  DLAB set: divisor latch low.  DLAB clear: read pops the receive FIFO
//      (0 when empty), write queues one byte for transmission (dropped when full)
//   1  DLAB set: divisor latch high. DLAB clear: interrupt enable (stored only)
//   2  FIFO control. Bit 1 clears the receive FIFO, bit 2 the transmit FIFO
//      (both self-clearing); a read returns the last value written without them
//   3  line control: bits 1..0 word length 5..8, bit 2 extra stop bit (1.5 with
//      5-bit words), bit 3 parity enable, bit 4 even parity, bit 5 stick parity
//      (mark with bit 4 clear, space with bit 4 set), bit 6 break, bit 7 DLAB
//   4  modem control: bit 0 DTR, bit 1 RTS (driven to the far end); bits 2..7
//      stored without effect
//   5  line status, read-only: bit 0 data ready, 1 overrun, 2 parity error,
//      3 framing error, 4 break, 5 transmit FIFO empty, 6 transmitter empty
//      (FIFO and shift register), 7 a parity, framing or break error is
//      pending. Reading clears bits 1..4 and 7
//   6  modem status, read-only: bits 0..3 delta CTS, delta DSR, trailing edge
//      of RI, delta DCD since the last read of this register (reading clears
//      them); bits 4..7 CTS, DSR, RI, DCD levels
//   7..16  plain storage (8 and 11 are chip-specific, written 0 by the driver)
//
// Power-on state: 115200 bit/s (divisor 26), 8 data bits, no parity, one stop
// bit, DTR and RTS low, FIFOs empty, every other register 0.
//
// Baud rate = 3,000,000 / divisor. A divisor of 0 stops the baud generator:
// the transmitter holds its bytes (a frame in progress is restarted from its
// first bit once a divisor is set) and the receiver cannot sample, so frames
// arriving meanwhile are discarded with the framing-error bit set.
//
// Changes of divisor or framing take effect from the next frame; the frame on
// the wire finishes as it began. Setting break holds the line at spacing at
// once: the frame in progress is abandoned and sent again, whole, after the
// break ends, so no byte is lost to a break.
//
// Status reports (4 bytes): 0xE8, the line status (without clearing it), a
// sequence number, and the modem status levels with the delta bits of the
// change the report announces. One report is queued per modem-line change;
// each report carries only its own change, so a later report never repeats an
// earlier delta. When the queue is full the newest queued report absorbs the
// change (delta bits ORed, levels updated), so no transition is lost.
//
// Kernel-style code: no allocation, no standard library, constexpr-constructible.
#pragma once

#include <stdint.h>

#include "sim/chip/byte_fifo.h"
#include "sim/chip/line.h"

namespace chip {

struct StatusReport {
    uint8_t bytes[4] = {};
};

// What the UART tells its owner (the USB side of the chip) as it happens.
class UartEvents {
  public:
    virtual void OnUartRxData() = 0;   // the receive FIFO gained bytes
    virtual void OnUartTxSpace() = 0;  // the transmit FIFO gained room
    virtual void OnUartReport() = 0;   // a status report was queued

  protected:
    ~UartEvents() = default;
};

class Uart final : public NearEnd {
  public:
    static constexpr uint32_t kClock = 3'000'000;
    static constexpr uint32_t kTxFifoSize = 128;
    static constexpr uint32_t kRxFifoSize = 256;
    static constexpr uint32_t kReportQueueSize = 8;
    static constexpr uint32_t kRegisterCount = 17;
    static constexpr uint8_t kReportMarker = 0xE8;
    static constexpr uint16_t kResetDivisor = 26;
    static constexpr uint8_t kResetLineControl = 0x03;

    // Register numbers.
    static constexpr uint8_t kRegData = 0;
    static constexpr uint8_t kRegInterruptEnable = 1;
    static constexpr uint8_t kRegFifoControl = 2;
    static constexpr uint8_t kRegLineControl = 3;
    static constexpr uint8_t kRegModemControl = 4;
    static constexpr uint8_t kRegLineStatus = 5;
    static constexpr uint8_t kRegModemStatus = 6;

    // Line control bits.
    static constexpr uint8_t kLcrBreak = 0x40;
    static constexpr uint8_t kLcrDlab = 0x80;

    // Line status bits.
    static constexpr uint8_t kLsrDataReady = 0x01;
    static constexpr uint8_t kLsrOverrun = 0x02;
    static constexpr uint8_t kLsrParityError = kRxParityError;
    static constexpr uint8_t kLsrFramingError = kRxFramingError;
    static constexpr uint8_t kLsrBreak = kRxBreak;
    static constexpr uint8_t kLsrTxFifoEmpty = 0x20;
    static constexpr uint8_t kLsrTxEmpty = 0x40;
    static constexpr uint8_t kLsrFifoError = 0x80;

    // Modem status delta bits.
    static constexpr uint8_t kMsrDeltaCts = 0x01;
    static constexpr uint8_t kMsrDeltaDsr = 0x02;
    static constexpr uint8_t kMsrTrailingRi = 0x04;
    static constexpr uint8_t kMsrDeltaDcd = 0x08;

    constexpr Uart() = default;

    constexpr void SetEvents(UartEvents* events) { events_ = events; }

    // Power. A fresh UART is powered and in its power-on state at time 0.
    // PowerOff drops DTR, RTS and break towards the far end and forgets all
    // queued data; while off, registers and FIFOs are not reachable and line
    // input is ignored. PowerOn returns to the power-on state.
    void PowerOn(uint64_t now);
    void PowerOff(uint64_t now);
    bool Powered() const { return powered_; }

    // Register access at the current time (the caller advanced the clock).
    // Numbers above 16 read as 0 and are not written; the USB side refuses them.
    uint8_t ReadRegister(uint8_t reg);
    void WriteRegister(uint8_t reg, uint8_t value);

    // Data path. Write queues up to TxSpace() bytes and returns how many it took.
    uint32_t TxSpace() const { return txFifo_.Space(); }
    uint32_t Write(const uint8_t* data, uint32_t length);
    uint32_t RxCount() const { return rxFifo_.Count(); }
    uint32_t Read(uint8_t* out, uint32_t max);

    // Status reports, oldest first.
    bool HasReport() const { return reportCount_ != 0; }
    bool TakeReport(StatusReport* report);

    // The far end of the line; null detaches (all modem inputs then read low).
    void AttachFarEnd(FarEnd* farEnd);
    FarEnd* AttachedFarEnd() const { return farEnd_; }

    // Time. AdvanceTo performs everything due up to `now`, in time order,
    // including the far end's own events. Time never goes back: an earlier
    // `now` is taken as the current time.
    uint64_t Now() const { return now_; }
    uint64_t NextEventTime() const;
    void AdvanceTo(uint64_t now);

    // NearEnd: what the far end does to the chip. A call with a time later
    // than the chip's clock first advances the clock.
    void LineCharacter(uint64_t now, uint8_t data, const LineFormat& format) override;
    void LineBreak(uint64_t now, bool on) override;
    void LineModemInputs(uint64_t now, uint8_t lines) override;

    // Inspection without side effects.
    // What a read of `reg` would return, without popping the receive FIFO or
    // clearing line or modem status bits.
    uint8_t PeekRegister(uint8_t reg) const;
    uint32_t RxFifoCount() const { return rxFifo_.Count(); }
    LineFormat Format() const;
    uint16_t Divisor() const { return divisor_; }
    uint8_t LineControl() const { return lcr_; }
    uint8_t ModemControl() const { return mcr_; }
    uint8_t LineStatus() const;
    uint8_t ModemStatus() const { return static_cast<uint8_t>(msrLevels_ | msrDeltas_); }
    bool BreakOn() const { return (lcr_ & kLcrBreak) != 0; }
    uint32_t TxFifoCount() const { return txFifo_.Count(); }
    bool TxIdle() const { return txFifo_.Empty() && !txLoaded_; }
    uint32_t QueuedReports() const { return reportCount_; }

  private:
    void ResetState();
    void Sync(uint64_t now);
    void SetModemControl(uint8_t value);
    void SetLineControl(uint8_t value);
    void SetDivisor(uint16_t divisor);
    void TryStartTx(bool continuous);
    void HoldTx();
    void FinishTx();
    void ReceiveChar(ReceivedChar c);
    void QueueReport(uint8_t deltas);

    UartEvents* events_ = nullptr;
    FarEnd* farEnd_ = nullptr;
    bool powered_ = true;
    bool advancing_ = false;
    uint64_t now_ = 0;

    // Register file.
    uint16_t divisor_ = kResetDivisor;
    uint8_t ier_ = 0;
    uint8_t fcr_ = 0;
    uint8_t lcr_ = kResetLineControl;
    uint8_t mcr_ = 0;
    uint8_t lsrErrors_ = 0;                 // sticky overrun / parity / framing / break bits
    uint8_t msrLevels_ = 0;                 // input levels as the far end drives them (bits 4..7)
    uint8_t msrDeltas_ = 0;                 // delta bits since the last register 6 read
    uint8_t storage_[kRegisterCount] = {};  // registers 7..16

    // Transmitter: FIFO, then the shift register (txLoaded_), which is on the
    // wire while txRunning_, ending at txEnd_ with the format it began with.
    ByteFifo<kTxFifoSize> txFifo_;
    bool txLoaded_ = false;
    bool txRunning_ = false;
    uint8_t txChar_ = 0;
    LineFormat txFormat_;
    uint64_t txEnd_ = 0;
    LineClock txClock_;

    // Receiver.
    ByteFifo<kRxFifoSize> rxFifo_;

    // Status report queue (ring).
    StatusReport reports_[kReportQueueSize] = {};
    uint32_t reportHead_ = 0;
    uint32_t reportCount_ = 0;
    uint8_t reportSequence_ = 0;
};

}  // namespace chip
