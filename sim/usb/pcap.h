// pcap.h - writes USB traffic as a USBPcap capture (pcap link type 249),
// which Wireshark and tshark decode.
//
// Each URB is recorded when it is submitted (host to device, "FDO to PDO")
// and when it completes ("PDO to FDO"), both under the same IRP id. A record
// is the 27-byte USBPcap packet header (header length, IRP id, USBD status,
// URB function, info, bus, device, endpoint, transfer type, data length)
// followed by the data: OUT data on submission, IN data on completion. A
// control transfer's header has a 28th byte, the stage: its submission is a
// setup-stage record carrying the 8-byte setup packet (and, for a
// host-to-device data stage, a data-stage record after it); its completion is
// a complete-stage record carrying any IN data.
//
// Timestamps come from virtual time (100 ns ticks) at microsecond
// resolution. IRP ids should be sequence numbers, not addresses, so that the
// same run gives the same file.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

namespace sim::usb {

inline constexpr uint32_t kLinkTypeUsbPcap = 249;

// USBPcap transfer types.
enum class PcapTransfer : uint8_t { Isochronous = 0, Interrupt = 1, Control = 2, Bulk = 3 };

// USBPcap control stages.
enum class PcapStage : uint8_t { Setup = 0, Data = 1, Status = 2, Complete = 3 };

// URB function codes that appear in captures of this device.
inline constexpr uint16_t kUrbSelectConfiguration = 0x0000;
inline constexpr uint16_t kUrbAbortPipe = 0x0002;
inline constexpr uint16_t kUrbControlTransfer = 0x0008;
inline constexpr uint16_t kUrbBulkOrInterruptTransfer = 0x0009;
inline constexpr uint16_t kUrbGetDescriptorFromDevice = 0x000B;
inline constexpr uint16_t kUrbClearFeatureToEndpoint = 0x0012;
inline constexpr uint16_t kUrbVendorDevice = 0x0017;

// The fields every record carries.
struct PcapUrb {
    uint64_t time = 0;      // virtual time, 100 ns ticks
    uint64_t irpId = 0;     // the same for a URB's submission and completion
    uint16_t device = 1;    // device address on the bus
    uint8_t endpoint = 0;   // endpoint address, 0x80 set for IN (also for IN control transfers)
    uint16_t function = 0;  // URB function code
    uint32_t status = 0;    // USBD status; 0 on submission
};

class PcapWriter {
  public:
    static constexpr uint32_t kSnapLength = 65535;
    static constexpr uint16_t kPacketHeaderLength = 27;
    static constexpr uint16_t kControlHeaderLength = 28;

    PcapWriter() = default;
    ~PcapWriter();
    PcapWriter(const PcapWriter&) = delete;
    PcapWriter& operator=(const PcapWriter&) = delete;

    // Creates (or truncates) `path` and writes the pcap global header. Records
    // carry `bus` as their bus id. False if the file cannot be written.
    bool Open(const std::string& path, uint16_t bus = 1);
    void Close();
    bool IsOpen() const { return file_ != nullptr; }
    // Records written since Open.
    uint64_t RecordCount() const { return records_; }

    // A control transfer submitted: the setup packet and, for a host-to-device
    // transfer with a data stage, its bytes.
    void RecordControlSubmit(const PcapUrb& urb, const uint8_t setup[8],
                             std::span<const uint8_t> outData = {});
    // A control transfer completed, with the data a device-to-host transfer
    // returned.
    void RecordControlComplete(const PcapUrb& urb, std::span<const uint8_t> inData = {});
    // A bulk or interrupt transfer submitted (completion false; `data` is the
    // OUT data, empty for IN) or completed (completion true; `data` is the IN
    // data, empty for OUT).
    void RecordBulkOrInterrupt(bool completion, const PcapUrb& urb, PcapTransfer type,
                               std::span<const uint8_t> data);

  private:
    void WriteRecord(bool completion, const PcapUrb& urb, PcapTransfer type, const PcapStage* stage,
                     std::span<const uint8_t> data);

    std::FILE* file_ = nullptr;
    uint16_t bus_ = 1;
    uint64_t records_ = 0;
};

}  // namespace sim::usb
