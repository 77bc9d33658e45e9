// port_rig.h - a started port of the real driver on the simulated USB bus and
// bridge chip, with a recording peer on the serial line, opened through the
// simulated I/O manager as an application opens it.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "device/device.h"
#include "driver/driver.h"
#include "events/events.h"
#include "receive/receive.h"
#include "serial/serial.h"
#include "status/status.h"
#include "transmit/transmit.h"
#include "sim/kernel/sim.h"
#include "sim/line/line_peer.h"
#include "sim/usb/usb_bus.h"

namespace porttest {

inline constexpr uint64_t kMs = 10'000;  // 100 ns ticks
inline constexpr char kCable[] = "USB\\VID_1A2B&PID_0001\\9&1";

// ---------------------------------------------------------------- the rig

// Everything a receive scenario touches. Built inside a running simulation.
struct PortRig {
    sim::Simulation& sim;
    sim::usb::UsbBus& bus;
    line::RecordingPeer& peer;
    PDRIVER_OBJECT driver = nullptr;
    sim::DeviceNode* node = nullptr;
    PortExtension* ext = nullptr;
    sim::Handle handle = sim::kInvalidHandle;

    // Loads the driver, plugs the cable in with the peer on its line, and
    // opens the port.
    void Plug() {
        driver = sim.pnp().LoadDriver("bridgeser", DriverEntry);
        SIM_CHECK(driver != nullptr);
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        node = sim.pnp().PlugIn(bus, kCable, driver, &status);
        SIM_CHECK(node != nullptr && NT_SUCCESS(status));
        bus.AttachFarEnd(node->pdo, &peer);
        ext = GetPortExtension(node->top);
        Open();
    }
    // Opens the port and takes the one-shot line report that the first wait
    // after an open gets, so that the next wait is an ordinary one.
    void Open() {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        handle = sim.io().Open("\\\\.\\" + node->portName, &status);
        SIM_CHECK(NT_SUCCESS(status));
        ULONG lines = 0;
        SIM_CHECK(NT_SUCCESS(Control(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &lines, sizeof lines)));
    }
    void Close() {
        SIM_CHECK(NT_SUCCESS(sim.io().Close(handle)));
        handle = sim::kInvalidHandle;
    }
    // Closes the port, pulls the cable and unloads the driver.
    void Finish() {
        if (handle != sim::kInvalidHandle) Close();
        bus.AttachFarEnd(node->pdo, nullptr);
        sim.pnp().Unplug(node);
        sim.pnp().UnloadDriver(driver);
    }

    void PeerSends(const std::vector<uint8_t>& bytes) {
        bus.Update(node->pdo, [&](chip::BridgeChip&) { peer.Send(bytes); });
    }
    NTSTATUS Control(ULONG code, const void* in, ULONG inLength, void* out = nullptr,
                     ULONG outLength = 0) {
        return sim.io().DeviceIoControl(handle, code, in, inLength, out, outLength);
    }
    void SetTimeouts(ULONG interval, ULONG multiplier, ULONG constant) {
        SERIAL_TIMEOUTS t{};
        t.ReadIntervalTimeout = interval;
        t.ReadTotalTimeoutMultiplier = multiplier;
        t.ReadTotalTimeoutConstant = constant;
        SIM_CHECK(NT_SUCCESS(Control(IOCTL_SERIAL_SET_TIMEOUTS, &t, sizeof t)));
    }
    void SetWaitMask(ULONG mask) {
        SIM_CHECK(NT_SUCCESS(Control(IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof mask)));
    }
    // Waits on the clock: lets the line, the bus and the driver run.
    void Pass(uint64_t ticks) {
        LARGE_INTEGER t;
        t.QuadPart = -static_cast<LONGLONG>(ticks);
        KeDelayExecutionThread(KernelMode, FALSE, &t);
    }
    uint64_t Now() const { return sim.Now(); }

    // Virtual time of the last bulk-in transfer that brought bytes.
    uint64_t LastDataInTime() const {
        uint64_t at = 0;
        for (const auto& t : bus.Transfers(node->pdo)) {
            if (t.endpoint == chip::kEndpointBulkIn && t.moved != 0) at = t.completeTime;
        }
        return at;
    }
    // What the peer has received so far, errors ignored.
    std::vector<uint8_t> PeerGot() const {
        std::vector<uint8_t> out;
        for (const auto& c : peer.ReceivedChars()) out.push_back(c.data);
        return out;
    }
    // Drives one of the chip's modem status inputs from the peer's side.
    void SetPeerLine(uint8_t line, bool on) {
        bus.Update(node->pdo, [&](chip::BridgeChip&) { peer.SetLine(line, on); });
    }
    void Inject(const chip::Fault& fault) {
        bus.Update(node->pdo, [&](chip::BridgeChip& c) { SIM_CHECK(c.InjectFault(fault)); });
    }
    void SetWriteTimeouts(ULONG multiplier, ULONG constant) {
        SERIAL_TIMEOUTS t{};
        t.WriteTotalTimeoutMultiplier = multiplier;
        t.WriteTotalTimeoutConstant = constant;
        SIM_CHECK(NT_SUCCESS(Control(IOCTL_SERIAL_SET_TIMEOUTS, &t, sizeof t)));
    }
    // Whether a transfer on `endpoint` was submitted from a completion or a
    // timer (not from a dispatch routine at passive level) after the driver
    // had taken a status report with the modem-status bit `line` clear and
    // before it took one with it set: a start that a hold the driver knew
    // of should have kept back. A report counts as taken when its
    // completion routine has returned; one being taken at the submission
    // counts only when it says clear too.
    bool SentUnderKnownHold(uint8_t endpoint, uint8_t line) const {
        const auto log = bus.Transfers(node->pdo);
        for (const auto& t : log) {
            if (t.endpoint != endpoint || t.submitIrql == PASSIVE_LEVEL) continue;
            const sim::usb::TransferRecord* known = nullptr;
            bool settling = false;
            for (const auto& r : log) {
                if (r.endpoint != chip::kEndpointStatusIn || r.ntStatus != STATUS_SUCCESS ||
                    r.data.size() != 4 || r.data[0] != 0xE8 || !r.completedSeq)
                    continue;
                const bool set = (r.data[3] & line) != 0;
                if (r.completedSeq < t.submitSeq && (!known || r.completedSeq > known->completedSeq))
                    known = &r;
                if (r.completingSeq < t.submitSeq && t.submitSeq < r.completedSeq && set)
                    settling = true;
            }
            if (known && (known->data[3] & line) == 0 && !settling) return true;
        }
        return false;
    }
    // The bulk-out transfers so far.
    std::vector<sim::usb::TransferRecord> BulkOut() const {
        std::vector<sim::usb::TransferRecord> out;
        for (auto& t : bus.Transfers(node->pdo)) {
            if (t.endpoint == chip::kEndpointBulkOut) out.push_back(t);
        }
        return out;
    }
};

// Runs a scenario on a freshly plugged, open port; the rig is torn down
// afterwards unless the body did it. The result carries the replay line.
inline sim::RunResult RunOnPort(const sim::Options& options,
                                const std::function<void(PortRig&)>& body,
                                const line::LineSettings& peerSettings = {},
                                sim::usb::UsbBusOptions busOptions = {}) {
    sim::Simulation s(options);
    sim::usb::UsbBus bus(busOptions);
    line::RecordingPeer peer(peerSettings);
    return s.Run([&] {
        PortRig rig{s, bus, peer};
        rig.Plug();
        body(rig);
        if (rig.node != nullptr && !rig.node->removed) rig.Finish();
    });
}

// Bytes 0, 1, 2, ... wrapping at 251 (a prime, so runs never line up with
// 64-byte transfers or the ring's size).
inline std::vector<uint8_t> Pattern(size_t count, size_t start = 0) {
    std::vector<uint8_t> v(count);
    for (size_t i = 0; i < count; ++i) v[i] = static_cast<uint8_t>((start + i) % 251);
    return v;
}

inline void ExpectOk(const sim::RunResult& r) {
    EXPECT_TRUE(r.ok) << r.Report();
}

}  // namespace porttest
