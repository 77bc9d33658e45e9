// Reading back a USBPcap capture file in tests: the records with their
// pcap header fields.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace pcapread {

inline std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline uint32_t U32(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}
inline uint16_t U16(const std::vector<uint8_t>& b, size_t at) {
    return static_cast<uint16_t>(b[at] | b[at + 1] << 8);
}
inline uint64_t U64(const std::vector<uint8_t>& b, size_t at) {
    return U32(b, at) | static_cast<uint64_t>(U32(b, at + 4)) << 32;
}

// One record: pcap header fields and the bytes after it.
struct Record {
    uint32_t seconds, micros, captured, length;
    std::vector<uint8_t> bytes;
};

inline std::vector<Record> Records(const std::vector<uint8_t>& file) {
    std::vector<Record> records;
    size_t at = 24;
    while (at + 16 <= file.size()) {
        Record r{U32(file, at), U32(file, at + 4), U32(file, at + 8), U32(file, at + 12), {}};
        at += 16;
        r.bytes.assign(file.begin() + static_cast<ptrdiff_t>(at),
                       file.begin() + static_cast<ptrdiff_t>(at + r.captured));
        at += r.captured;
        records.push_back(r);
    }
    EXPECT_EQ(at, file.size()) << "no trailing bytes";
    return records;
}

}  // namespace pcapread
