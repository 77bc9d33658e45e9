// port_rig.h - a started port of the real driver on the simulated USB bus and
// bridge chip, with a recording peer on the serial line, opened through the
// simulated I/O manager as an application opens it.
//
// Until the driver has its own open, cleanup, close and device-control
// handlers, the rig installs test handlers for them: the open does what the
// driver's open does for the receive path (ring, defaults, bulk-in loop
// started, status pipe running; the chip keeps its power-on 115200 8N1),
// cleanup and close stop the three transfers and flush, and device control
// carries the few settings the path tests need. Reads and writes go to the
// driver's own DispatchRead and DispatchWrite.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "driver/driver.h"
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

// ---------------------------------------------------------------- test handlers

inline NTSTATUS NTAPI TestCreate(PDEVICE_OBJECT deviceObject, PIRP irp) {
    PortExtension* x = GetPortExtension(deviceObject);
    if (x->portOpen) return CompleteRequest(irp, STATUS_ACCESS_DENIED, 0);
    x->rxRingBuffer = static_cast<PUCHAR>(
        ExAllocatePoolWithTag(NonPagedPool, RECEIVE_RING_SIZE, BRIDGESER_POOL_TAG));
    if (x->rxRingBuffer == nullptr) return CompleteRequest(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    x->portOpen = TRUE;
    x->statusReport[0] = STATUS_REPORT_NONE;
    x->rxHoldFlags = x->txHoldFlags = x->errorFlags = 0;
    x->baudRate = 115200;
    x->rxRingSize = RECEIVE_RING_SIZE;
    x->rxRingCount = x->rxRingReadIndex = x->rxRingWriteIndex = 0;
    x->writeQueuedBytes = 0;
    x->eventHistory = x->waitMask = 0;
    x->eventCharSeen = FALSE;
    NTSTATUS status = PrepareBulkInTransfer(deviceObject);
    if (NT_SUCCESS(status)) {
        (void)StartStatusTransfer(x);
        status = StartBulkInTransfer(x);
    }
    return CompleteRequest(irp, status, 0);
}

// Stops the three transfers and ends every held request.
inline void TestStopAndFlush(PDEVICE_OBJECT deviceObject) {
    PortExtension* x = GetPortExtension(deviceObject);
    StopStatusTransfer(deviceObject);
    StopBulkInTransfer(deviceObject);
    StopBulkOutTransfer(deviceObject);
    FlushReads(x);
    PurgeReceiveBuffer(deviceObject);
    FlushWrites(x);
    FlushMaskRequests(x);
}

inline NTSTATUS NTAPI TestCleanup(PDEVICE_OBJECT deviceObject, PIRP irp) {
    TestStopAndFlush(deviceObject);
    return CompleteRequest(irp, STATUS_SUCCESS, 0);
}

inline NTSTATUS NTAPI TestClose(PDEVICE_OBJECT deviceObject, PIRP irp) {
    PortExtension* x = GetPortExtension(deviceObject);
    x->portOpen = FALSE;
    x->rxHoldFlags = x->txHoldFlags = x->errorFlags = 0;
    TestStopAndFlush(deviceObject);
    if (x->rxRingBuffer) ExFreePoolWithTag(x->rxRingBuffer, BRIDGESER_POOL_TAG);
    x->rxRingBuffer = nullptr;
    x->rxRingSize = x->rxRingCount = x->rxRingReadIndex = x->rxRingWriteIndex = 0;
    return CompleteRequest(irp, STATUS_SUCCESS, 0);
}

inline NTSTATUS NTAPI TestDeviceControl(PDEVICE_OBJECT deviceObject, PIRP irp) {
    PortExtension* x = GetPortExtension(deviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const auto& p = stack->Parameters.DeviceIoControl;
    void* buffer = irp->AssociatedIrp.SystemBuffer;
    switch (p.IoControlCode) {
        case IOCTL_SERIAL_SET_WAIT_MASK:
            if (p.InputBufferLength < sizeof(ULONG))
                return CompleteRequest(irp, STATUS_BUFFER_TOO_SMALL, 0);
            if (*static_cast<PULONG>(buffer) & ~SERIAL_EV_VALID_MASK)
                return CompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
            return QueueMaskRequest(x, irp);
        case IOCTL_SERIAL_WAIT_ON_MASK:
            if (p.OutputBufferLength < sizeof(ULONG))
                return CompleteRequest(irp, STATUS_BUFFER_TOO_SMALL, 0);
            return QueueMaskRequest(x, irp);
        case IOCTL_SERIAL_SET_TIMEOUTS:
            std::memcpy(&x->timeouts, buffer, sizeof(SERIAL_TIMEOUTS));
            return CompleteRequest(irp, STATUS_SUCCESS, 0);
        case IOCTL_SERIAL_SET_HANDFLOW:
            std::memcpy(&x->handFlow, buffer, sizeof(SERIAL_HANDFLOW));
            return CompleteRequest(irp, STATUS_SUCCESS, 0);
        case IOCTL_SERIAL_SET_CHARS:
            std::memcpy(&x->chars, buffer, sizeof(SERIAL_CHARS));
            x->eventCharSeen = FALSE;
            return CompleteRequest(irp, STATUS_SUCCESS, 0);
        default:
            return CompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
    }
}

inline void InstallTestHandlers(PDRIVER_OBJECT driver) {
    driver->MajorFunction[IRP_MJ_CREATE] = TestCreate;
    driver->MajorFunction[IRP_MJ_CLEANUP] = TestCleanup;
    driver->MajorFunction[IRP_MJ_CLOSE] = TestClose;
    driver->MajorFunction[IRP_MJ_READ] = DispatchRead;
    driver->MajorFunction[IRP_MJ_WRITE] = DispatchWrite;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = TestDeviceControl;
}

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
        InstallTestHandlers(driver);
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        node = sim.pnp().PlugIn(bus, kCable, driver, &status);
        SIM_CHECK(node != nullptr && NT_SUCCESS(status));
        bus.AttachFarEnd(node->pdo, &peer);
        ext = GetPortExtension(node->top);
        Open();
    }
    void Open() {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        handle = sim.io().Open("\\\\.\\" + node->portName, &status);
        SIM_CHECK(NT_SUCCESS(status));
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
    void Inject(const chip::Fault& fault) {
        bus.Update(node->pdo, [&](chip::BridgeChip& c) { SIM_CHECK(c.InjectFault(fault)); });
    }
    void SetWriteTimeouts(ULONG multiplier, ULONG constant) {
        SERIAL_TIMEOUTS t{};
        t.WriteTotalTimeoutMultiplier = multiplier;
        t.WriteTotalTimeoutConstant = constant;
        SIM_CHECK(NT_SUCCESS(Control(IOCTL_SERIAL_SET_TIMEOUTS, &t, sizeof t)));
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

inline void ExpectOk(const sim::RunResult& r) { EXPECT_TRUE(r.ok) << r.Report(); }

}  // namespace porttest
