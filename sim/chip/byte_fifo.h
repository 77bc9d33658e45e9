// byte_fifo.h - fixed-capacity byte ring used for the chip's FIFOs.
#pragma once

#include <stdint.h>

namespace chip {

template <uint32_t Capacity>
class ByteFifo {
    static_assert(Capacity > 0);

  public:
    static constexpr uint32_t kCapacity = Capacity;

    constexpr uint32_t Count() const { return count_; }
    constexpr uint32_t Space() const { return Capacity - count_; }
    constexpr bool Empty() const { return count_ == 0; }
    constexpr bool Full() const { return count_ == Capacity; }

    // Appends one byte; returns false (and drops it) when full.
    constexpr bool Push(uint8_t value) {
        if (Full()) {
            return false;
        }
        data_[(head_ + count_) % Capacity] = value;
        ++count_;
        return true;
    }

    // The oldest byte without removing it; 0 when empty.
    constexpr uint8_t Peek() const { return Empty() ? 0 : data_[head_]; }

    // Removes the oldest byte; returns 0 when empty.
    constexpr uint8_t Pop() {
        if (Empty()) {
            return 0;
        }
        const uint8_t value = data_[head_];
        head_ = (head_ + 1) % Capacity;
        --count_;
        return value;
    }

    // Moves up to `max` of the oldest bytes to `out`; returns how many.
    constexpr uint32_t PopInto(uint8_t* out, uint32_t max) {
        uint32_t n = 0;
        while (n < max && !Empty()) {
            out[n++] = Pop();
        }
        return n;
    }

    constexpr void Clear() {
        head_ = 0;
        count_ = 0;
    }

  private:
    uint8_t data_[Capacity] = {};
    uint32_t head_ = 0;
    uint32_t count_ = 0;
};

}  // namespace chip
