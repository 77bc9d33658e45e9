// capture.cpp - every request the bus holds, recorded in the USBPcap
// capture when one is open: its submission and its completion, with the
// bytes that went out and came in.
#include <span>

#include "sim/usb/bus_internal.h"

namespace sim::usb::detail {

namespace {

PcapUrb CaptureHeader(const Device& d, const Transfer& t, uint8_t endpoint, USBD_STATUS status) {
    return PcapUrb{Now(), t.id, d.address, endpoint, t.function, static_cast<uint32_t>(status)};
}

}  // namespace

void CaptureSubmit(Device& d, Transfer& t, const Pipe* pipe) {
    PcapWriter& pcap = d.bus->pcap;
    if (!pcap.IsOpen() || t.work == Work::Reset || t.work == Work::HostOnly) return;
    t.captured = true;
    if (t.work == Work::Data) {
        std::span<const uint8_t> out;
        if (!t.in && t.buffer) out = std::span<const uint8_t>(t.buffer, t.length);
        pcap.RecordBulkOrInterrupt(false, CaptureHeader(d, t, pipe->endpoint, 0),
                                   CaptureType(*pipe), out);
        return;
    }
    uint8_t setup[8];
    t.setup.ToBytes(setup);
    std::span<const uint8_t> out;
    if (!t.in && t.buffer && t.length) out = std::span<const uint8_t>(t.buffer, t.length);
    pcap.RecordControlSubmit(CaptureHeader(d, t, ControlEndpoint(t), 0), setup, out);
}

void CaptureComplete(Device& d, const Transfer& t, uint8_t endpoint, PcapTransfer type) {
    PcapWriter& pcap = d.bus->pcap;
    if (!pcap.IsOpen() || !t.captured) return;
    std::span<const uint8_t> in;
    if (t.in && t.buffer && t.moved) in = std::span<const uint8_t>(t.buffer, t.moved);
    if (t.work == Work::Data) {
        pcap.RecordBulkOrInterrupt(true, CaptureHeader(d, t, endpoint, t.status), type, in);
    } else {
        pcap.RecordControlComplete(CaptureHeader(d, t, ControlEndpoint(t), t.status), in);
    }
}

}  // namespace sim::usb::detail
