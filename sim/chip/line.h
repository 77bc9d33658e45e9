// line.h - the serial line between the bridge chip and whatever is plugged
// into its far end.
//
// The line is modelled one character frame at a time: a transmitter hands over
// a whole frame (the data byte and the format it was sent with) when its last
// stop bit ends, and the receiver turns that waveform into what its own UART
// samples. Matching settings give the byte back; a different rate or framing
// gives what a real receiver would see (garbage, parity and framing errors,
// spurious breaks, or nothing at all for a glitch too short to start a frame).
//
// Kernel-style code: no standard library, no allocation, no static
// constructors. The two interfaces below are the only coupling between the
// chip model and the host-side peers.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace chip {

// Virtual time is counted in 100 ns ticks.
inline constexpr uint64_t kTicksPerSecond = 10'000'000;
// The time of an event that never comes.
inline constexpr uint64_t kNever = ~uint64_t{0};

enum class Parity : uint8_t { None, Odd, Even, Mark, Space };

// A bit rate as the exact fraction clock / divisor bit/s. A divisor (or clock)
// of 0 means the baud generator is stopped: nothing is sent or sampled.
struct LineRate {
    uint32_t clock = 0;
    uint32_t divisor = 0;

    constexpr bool Running() const { return clock != 0 && divisor != 0; }
    friend constexpr bool operator==(const LineRate&, const LineRate&) = default;
};

// The framing of one character on the line.
struct LineFormat {
    LineRate rate;
    uint8_t dataBits = 8;  // 5 to 8
    Parity parity = Parity::None;
    uint8_t stopHalfBits = 2;  // 2 = one stop bit, 3 = one and a half, 4 = two

    friend constexpr bool operator==(const LineFormat&, const LineFormat&) = default;
};

// Length of one frame (start bit, data bits, parity bit, stop bits) in half bits.
constexpr uint32_t FrameHalfBits(const LineFormat& format) {
    return 2u * (1u + format.dataBits + (format.parity != Parity::None ? 1u : 0u)) +
           format.stopHalfBits;
}

// Receive error flags, placed where the 16550 line status register has them.
inline constexpr uint8_t kRxParityError = 0x04;
inline constexpr uint8_t kRxFramingError = 0x08;
inline constexpr uint8_t kRxBreak = 0x10;

struct ReceivedChar {
    uint8_t data = 0;
    uint8_t errors = 0;  // kRx* bits
};

// What a receiver makes of one sender frame: nothing, the character, or (for a
// sender slower than the receiver) several garbage characters.
inline constexpr uint32_t kMaxCharsPerFrame = 8;
struct SampledFrame {
    uint32_t count = 0;
    ReceivedChar chars[kMaxCharsPerFrame] = {};
};

// Samples one frame the sender put on an otherwise idle line with the
// receiver's settings. The receiver finds the falling edge of the start bit,
// checks the start bit at its middle, then samples each data bit, the parity
// bit and the first stop bit in the middle of its own bit times, as a 16550
// does. A stopped sender or receiver yields nothing.
SampledFrame SampleFrame(const LineFormat& sender, uint8_t data, const LineFormat& receiver);

// Exact position of a transmitter that sends frames back to back. Frame
// lengths are rarely whole ticks (a 10-bit frame at 3,000,000/26 bit/s lasts
// 866.67 ticks), so the position keeps its fraction and never drifts; only the
// reported end times are rounded up to the next tick.
class LineClock {
  public:
    // Starts a new run of frames at the whole tick `now`.
    constexpr void Restart(uint64_t now) {
        tick_ = now;
        remainder_ = 0;
        denominator_ = 0;
    }

    // Appends one frame in `format` (whose rate must be running) and returns
    // the tick at which it ends, rounded up.
    uint64_t AddFrame(const LineFormat& format);

    // The current position rounded up to a whole tick.
    constexpr uint64_t Position() const { return tick_ + (remainder_ != 0 ? 1 : 0); }

  private:
    uint64_t tick_ = 0;
    uint64_t remainder_ = 0;    // fraction of a tick, in units of 1/denominator_
    uint64_t denominator_ = 0;  // 2 * clock of the rate in use; 0 before the first frame
};

class NearEnd;

// The far end of the line as the chip sees it: a cable to another device, a
// loopback plug, a scripted peer. Implemented outside the chip model (host
// code); the chip holds only a pointer and calls these from its own calls, in
// time order.
class FarEnd {
  public:
    // The chip attached this far end (chip non-null) or detached it (null).
    // An attached far end reports its modem lines with NearEnd::LineModemInputs.
    virtual void OnAttach(NearEnd* chip, uint64_t now) = 0;
    // A frame the chip finished sending at `now`, with the format it used.
    virtual void ChipCharacter(uint64_t now, uint8_t data, const LineFormat& format) = 0;
    // The chip started (on) or ended a break: the line is held at spacing.
    virtual void ChipBreak(uint64_t now, bool on) = 0;
    // The chip's modem control outputs changed: bit 0 DTR, bit 1 RTS.
    virtual void ChipModemOutputs(uint64_t now, uint8_t lines) = 0;
    // The next time this far end will act by itself (send a frame, change a
    // line), or kNever.
    virtual uint64_t NextEventTime() const = 0;
    // Moves the far end's clock to `now`, performing whatever is due by then.
    // Called with every time the chip reaches, also when nothing is due.
    // Afterwards NextEventTime() must be later than `now`.
    virtual void AdvanceTo(uint64_t now) = 0;

  protected:
    ~FarEnd() = default;
};

// The chip's end of the line as a far end sees it. Implemented by the chip.
class NearEnd {
  public:
    // A frame arrives at the chip at `now`, sent with `format`.
    virtual void LineCharacter(uint64_t now, uint8_t data, const LineFormat& format) = 0;
    // The far end started (on) or ended a break.
    virtual void LineBreak(uint64_t now, bool on) = 0;
    // The modem status inputs as the far end drives them, in the 16550 modem
    // status layout: 0x10 CTS, 0x20 DSR, 0x40 RI, 0x80 DCD (other bits ignored).
    virtual void LineModemInputs(uint64_t now, uint8_t lines) = 0;

  protected:
    ~NearEnd() = default;
};

// Modem line bits, as in the 16550 modem control and modem status registers.
inline constexpr uint8_t kLineDtr = 0x01;
inline constexpr uint8_t kLineRts = 0x02;
inline constexpr uint8_t kLineCts = 0x10;
inline constexpr uint8_t kLineDsr = 0x20;
inline constexpr uint8_t kLineRi = 0x40;
inline constexpr uint8_t kLineDcd = 0x80;

}  // namespace chip
