// serial_monitor.h - the serial-monitor view of an application's requests:
// each IOCTL_SERIAL_* by name with its buffer decoded, reads and writes with
// their data in hex and text, status names and virtual time.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "sim/win32/sim_io.h"

namespace bridgesim {

std::string IoctlName(uint32_t code);
std::string StatusName(int32_t status);
// "41 54 0D" and "AT\r" for the bytes.
std::string HexBytes(const std::vector<uint8_t>& bytes);
std::string TextBytes(const std::vector<uint8_t>& bytes);
// A request's input, or its output at completion, decoded for its code.
std::string DecodeInput(uint32_t code, const std::vector<uint8_t>& input);
std::string DecodeOutput(uint32_t code, const std::vector<uint8_t>& output);

// Prints every request on issue (">>") and at its end ("<<").
class SerialMonitor : public win32sim::RequestMonitor {
  public:
    explicit SerialMonitor(FILE* out) : out_(out) {}
    void Issued(const win32sim::RequestRecord& r) override;
    void Ended(const win32sim::RequestRecord& r) override;
    uint64_t issued = 0;
    uint64_t ended = 0;

  private:
    FILE* out_;
};

// Counts requests without printing.
class RequestCounter : public win32sim::RequestMonitor {
  public:
    void Issued(const win32sim::RequestRecord&) override { ++issued; }
    void Ended(const win32sim::RequestRecord&) override { ++ended; }
    uint64_t issued = 0;
    uint64_t ended = 0;
};

}  // namespace bridgesim
