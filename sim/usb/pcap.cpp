// pcap.cpp - USBPcap capture writer.
#include "sim/usb/pcap.h"

#include <algorithm>
#include <cstddef>
#include <vector>

namespace sim::usb {
namespace {

constexpr uint32_t kPcapMagic = 0xA1B2C3D4;  // microsecond timestamps
constexpr uint64_t kTicksPerSecond = 10'000'000;
constexpr uint64_t kTicksPerMicrosecond = 10;
constexpr uint8_t kInfoPdoToFdo = 0x01;

void Put16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(std::vector<uint8_t>& out, uint32_t v) {
    Put16(out, static_cast<uint16_t>(v));
    Put16(out, static_cast<uint16_t>(v >> 16));
}
void Put64(std::vector<uint8_t>& out, uint64_t v) {
    Put32(out, static_cast<uint32_t>(v));
    Put32(out, static_cast<uint32_t>(v >> 32));
}

}  // namespace

PcapWriter::~PcapWriter() {
    Close();
}

bool PcapWriter::Open(const std::string& path, uint16_t bus) {
    Close();
    file_ = std::fopen(path.c_str(), "wb");
    if (!file_) {
        return false;
    }
    bus_ = bus;
    records_ = 0;
    std::vector<uint8_t> header;
    Put32(header, kPcapMagic);
    Put16(header, 2);  // version 2.4
    Put16(header, 4);
    Put32(header, 0);  // GMT offset
    Put32(header, 0);  // timestamp accuracy
    Put32(header, kSnapLength);
    Put32(header, kLinkTypeUsbPcap);
    if (std::fwrite(header.data(), 1, header.size(), file_) != header.size()) {
        Close();
        return false;
    }
    std::fflush(file_);
    return true;
}

void PcapWriter::Close() {
    if (file_) {
        std::fclose(file_);
        file_ = nullptr;
    }
}

void PcapWriter::WriteRecord(bool completion, const PcapUrb& urb, PcapTransfer type,
                             const PcapStage* stage, std::span<const uint8_t> data) {
    if (!file_) {
        return;
    }
    const uint16_t headerLength = stage ? kControlHeaderLength : kPacketHeaderLength;
    // A record never exceeds the snap length: data beyond it is cut.
    const size_t dataLength = std::min<size_t>(data.size(), kSnapLength - headerLength);

    std::vector<uint8_t> record;
    record.reserve(16 + headerLength + dataLength);
    const uint32_t packetLength = static_cast<uint32_t>(headerLength + dataLength);
    Put32(record, static_cast<uint32_t>(urb.time / kTicksPerSecond));
    Put32(record, static_cast<uint32_t>((urb.time % kTicksPerSecond) / kTicksPerMicrosecond));
    Put32(record, packetLength);  // captured length
    Put32(record, packetLength);  // length on the wire

    Put16(record, headerLength);
    Put64(record, urb.irpId);
    Put32(record, urb.status);
    Put16(record, urb.function);
    record.push_back(completion ? kInfoPdoToFdo : 0);
    Put16(record, bus_);
    Put16(record, urb.device);
    record.push_back(urb.endpoint);
    record.push_back(static_cast<uint8_t>(type));
    Put32(record, static_cast<uint32_t>(dataLength));
    if (stage) {
        record.push_back(static_cast<uint8_t>(*stage));
    }
    record.insert(record.end(), data.begin(), data.begin() + static_cast<ptrdiff_t>(dataLength));

    if (std::fwrite(record.data(), 1, record.size(), file_) == record.size()) {
        ++records_;
    }
    std::fflush(file_);  // a stopped simulation still leaves a readable capture
}

void PcapWriter::RecordControlSubmit(const PcapUrb& urb, const uint8_t setup[8],
                                     std::span<const uint8_t> outData) {
    PcapStage stage = PcapStage::Setup;
    WriteRecord(false, urb, PcapTransfer::Control, &stage, std::span<const uint8_t>(setup, 8));
    if (!outData.empty() && !(setup[0] & 0x80)) {
        stage = PcapStage::Data;
        WriteRecord(false, urb, PcapTransfer::Control, &stage, outData);
    }
}

void PcapWriter::RecordControlComplete(const PcapUrb& urb, std::span<const uint8_t> inData) {
    const PcapStage stage = PcapStage::Complete;
    WriteRecord(true, urb, PcapTransfer::Control, &stage, inData);
}

void PcapWriter::RecordBulkOrInterrupt(bool completion, const PcapUrb& urb, PcapTransfer type,
                                       std::span<const uint8_t> data) {
    WriteRecord(completion, urb, type, nullptr, data);
}

}  // namespace sim::usb
