// line.cpp - frame sampling and exact frame timing.
#include "sim/chip/line.h"

namespace chip {
namespace {

// Parity bit a transmitter sends (or a receiver expects) for `data`.
constexpr uint8_t ParityBit(Parity parity, uint8_t data, uint8_t dataBits) {
    uint8_t ones = 0;
    for (uint8_t bit = 0; bit < dataBits; ++bit) {
        ones += (data >> bit) & 1u;
    }
    switch (parity) {
        case Parity::Odd:
            return (ones & 1u) ? 0 : 1;
        case Parity::Even:
            return ones & 1u;
        case Parity::Mark:
            return 1;
        case Parity::Space:
        case Parity::None:
            break;
    }
    return 0;
}

// The waveform of one frame on an idle line, addressed in the sender's half bits.
class Waveform {
  public:
    constexpr Waveform(const LineFormat& format, uint8_t data)
        : format_(format),
          data_(data),
          parityBit_(ParityBit(format.parity, data, format.dataBits)),
          length_(FrameHalfBits(format)) {}

    constexpr uint32_t Length() const { return length_; }

    // Line level (1 = mark) during half bit `halfBit`; idle (mark) after the frame.
    constexpr uint8_t Level(uint64_t halfBit) const {
        if (halfBit >= length_) {
            return 1;
        }
        const uint64_t bit = halfBit / 2;
        if (bit == 0) {
            return 0;  // start bit
        }
        if (bit <= format_.dataBits) {
            return (data_ >> (bit - 1)) & 1u;
        }
        if (format_.parity != Parity::None && bit == format_.dataBits + 1u) {
            return parityBit_;
        }
        return 1;  // stop bits
    }

    // First half bit after `from` at which the line falls from mark to space,
    // or Length() when there is none (the line stays idle after the frame).
    constexpr uint64_t NextFallingEdge(uint64_t from) const {
        for (uint64_t h = from + 1; h < length_; ++h) {
            if (Level(h - 1) == 1 && Level(h) == 0) {
                return h;
            }
        }
        return length_;
    }

  private:
    LineFormat format_;
    uint8_t data_;
    uint8_t parityBit_;
    uint32_t length_;
};

}  // namespace

SampledFrame SampleFrame(const LineFormat& sender, uint8_t data, const LineFormat& receiver) {
    SampledFrame result;
    if (!sender.rate.Running() || !receiver.rate.Running()) {
        return result;
    }
    const Waveform wave(sender, data);

    // Sample k (0 = start bit) after a falling edge at sender half bit `edge`
    // lies at edge + (k + 1/2) receiver bit times, that is at sender half bit
    // edge + floor((2k + 1) * receiverDivisor * senderClock / (receiverClock * senderDivisor)).
    const uint64_t scaleNum = uint64_t{receiver.rate.divisor} * sender.rate.clock;
    const uint64_t scaleDen = uint64_t{receiver.rate.clock} * sender.rate.divisor;
    auto sampleAt = [&](uint64_t edge, uint32_t k) {
        return edge + (uint64_t{2u * k + 1u} * scaleNum) / scaleDen;
    };

    const bool hasParity = receiver.parity != Parity::None;
    uint64_t edge = 0;
    while (edge < wave.Length() && result.count < kMaxCharsPerFrame) {
        const uint64_t startSample = sampleAt(edge, 0);
        if (wave.Level(startSample) != 0) {
            // A glitch shorter than half a bit: no frame starts here.
            edge = wave.NextFallingEdge(startSample);
            continue;
        }
        uint8_t value = 0;
        for (uint32_t bit = 0; bit < receiver.dataBits; ++bit) {
            value |= static_cast<uint8_t>(wave.Level(sampleAt(edge, bit + 1)) << bit);
        }
        uint32_t k = receiver.dataBits + 1u;
        uint8_t parityLevel = 0;
        uint8_t errors = 0;
        if (hasParity) {
            parityLevel = wave.Level(sampleAt(edge, k++));
            if (parityLevel != ParityBit(receiver.parity, value, receiver.dataBits)) {
                errors |= kRxParityError;
            }
        }
        const uint64_t stopSample = sampleAt(edge, k);
        if (wave.Level(stopSample) == 0) {
            errors |= kRxFramingError;
            if (value == 0 && parityLevel == 0) {
                errors |= kRxBreak;  // spacing for a whole word time
            }
        }
        result.chars[result.count++] = ReceivedChar{value, errors};
        edge = wave.NextFallingEdge(stopSample);
    }
    return result;
}

uint64_t LineClock::AddFrame(const LineFormat& format) {
    const uint64_t denominator = 2 * uint64_t{format.rate.clock};
    if (denominator != denominator_) {
        // A new rate starts on the next whole tick; the fraction of the old
        // rate cannot be carried over exactly.
        tick_ = Position();
        remainder_ = 0;
        denominator_ = denominator;
    }
    // Frame length in ticks = halfBits * divisor * ticksPerSecond / (2 * clock).
    remainder_ += uint64_t{FrameHalfBits(format)} * format.rate.divisor * kTicksPerSecond;
    tick_ += remainder_ / denominator_;
    remainder_ %= denominator_;
    return Position();
}

}  // namespace chip
