// fuzz_input.h - a fuzzer's input read front to back; once it is used up
// every read gives zeros, so any input is a complete, valid script.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace fuzz {

class Input {
  public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool Empty() const { return at_ >= size_; }
    uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    uint16_t Word() { return static_cast<uint16_t>(Byte() | (Byte() << 8)); }
    uint32_t Long() { return Word() | (static_cast<uint32_t>(Word()) << 16); }
    std::vector<uint8_t> Bytes(size_t count) {
        std::vector<uint8_t> out(count);
        for (auto& b : out) b = Byte();
        return out;
    }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

}  // namespace fuzz
