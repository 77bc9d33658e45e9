// lifecycle.h - one cable with a loopback plug taken through the driver's
// lifecycle step by step (load, add, start, open, configure, traffic, wait,
// purge, sleep and resume, close, stop, removal, surprise removal), each
// step written so that it ends whatever the platform or the device did to
// it, and a recovery that shows what is left: a port that carries data again
// after close and reopen (or after the cable is plugged in again), or a
// device that is cleanly gone.
#pragma once

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "device/device.h"
#include "driver/driver.h"
#include "sim/kernel/sim.h"
#include "sim/line/loopback_plug.h"
#include "sim/usb/usb_bus.h"

namespace reliability {

inline constexpr uint64_t kMs = 10'000;  // 100 ns ticks
inline constexpr char kCable[] = "USB\\VID_1A2B&PID_0001\\9&1";

inline std::vector<uint8_t> Pattern(size_t count, size_t start = 0) {
    std::vector<uint8_t> v(count);
    for (size_t i = 0; i < count; ++i) v[i] = static_cast<uint8_t>((start + i) % 251);
    return v;
}

inline void Pass(uint64_t ticks) {
    LARGE_INTEGER t;
    t.QuadPart = -static_cast<LONGLONG>(ticks);
    KeDelayExecutionThread(KernelMode, FALSE, &t);
}

struct Life {
    sim::Simulation& sim;
    sim::usb::UsbBus& bus;
    line::LoopbackPlug plug;
    PDRIVER_OBJECT driver = nullptr;
    sim::DeviceNode* node = nullptr;
    bool started = false;
    sim::Handle handle = sim::kInvalidHandle;
    std::string loopbackFailure;  // what the last failed loopback got

    Life(sim::Simulation& s, sim::usb::UsbBus& b) : sim(s), bus(b) {}

    PortExtension* Ext() const { return GetPortExtension(node->top); }
    bool Gone() const { return node == nullptr || node->removed; }

    void Load() { driver = sim.pnp().LoadDriver("bridgeser", DriverEntry); }
    void Enumerate() {
        node = sim.pnp().Enumerate(bus, kCable);
        bus.AttachFarEnd(node->pdo, &plug);
    }
    NTSTATUS Add() { return sim.pnp().AddDevice(node, driver); }
    NTSTATUS Start() {
        NTSTATUS status = sim.pnp().SendPnp(node, IRP_MN_START_DEVICE);
        started = NT_SUCCESS(status);
        return status;
    }
    NTSTATUS Open() {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        handle = sim.io().Open("\\\\.\\" + node->portName, &status);
        if (!NT_SUCCESS(status)) handle = sim::kInvalidHandle;
        return status;
    }
    NTSTATUS Control(ULONG code, const void* in, ULONG inLength, void* out = nullptr,
                     ULONG outLength = 0) {
        return sim.io().DeviceIoControl(handle, code, in, inLength, out, outLength);
    }
    // 115200 8N1, no handshake, reads ending 20 ms after the last byte or
    // 300 ms after they began, writes ending 3 s after they began; then the
    // one-shot line report of the first wait after an open is taken.
    void Configure() {
        SERIAL_BAUD_RATE baud{115200};
        Control(IOCTL_SERIAL_SET_BAUD_RATE, &baud, sizeof baud);
        SERIAL_LINE_CONTROL lc{STOP_BIT_1, NO_PARITY, 8};
        Control(IOCTL_SERIAL_SET_LINE_CONTROL, &lc, sizeof lc);
        SERIAL_TIMEOUTS t{20, 0, 300, 0, 3000};
        Control(IOCTL_SERIAL_SET_TIMEOUTS, &t, sizeof t);
        ULONG lines = 0;
        Control(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &lines, sizeof lines);
    }
    void Close() {
        if (handle == sim::kInvalidHandle) return;
        sim.io().Close(handle);
        handle = sim::kInvalidHandle;
    }
    // Loaded, plugged in, started, open and configured, without faults.
    void Up() {
        Load();
        SIM_CHECK(driver != nullptr);
        Enumerate();
        SIM_CHECK(NT_SUCCESS(Add()) && NT_SUCCESS(Start()));
        SIM_CHECK(NT_SUCCESS(Open()));
        Configure();
    }

    // Writes `count` bytes and reads them back through the plug; true when
    // every byte came back once, in order.
    bool Loopback(size_t count, size_t start) {
        const auto data = Pattern(count, start);
        sim::Overlapped read;
        std::vector<uint8_t> back(count);
        NTSTATUS rs = sim.io().ReadAsync(handle, back.data(), static_cast<ULONG>(count), &read);
        if (!NT_SUCCESS(sim.io().Write(handle, data.data(), static_cast<ULONG>(count))))
            return false;
        if (rs == STATUS_PENDING) rs = sim.io().Wait(&read);
        if (rs == STATUS_SUCCESS && read.iosb.Information == count && back == data) return true;
        char text[64];
        std::snprintf(text, sizeof text, "status 0x%08X, %u of %zu bytes:", static_cast<unsigned>(rs),
                      static_cast<unsigned>(read.iosb.Information), count);
        loopbackFailure = text;
        for (size_t i = 0; i < read.iosb.Information && i < count; ++i) {
            std::snprintf(text, sizeof text, " %02X", back[i]);
            loopbackFailure += text;
        }
        return false;
    }

    // After a step: brings the cable back to an open port and checks that it
    // carries data, then takes everything down. A device that was lost is
    // checked to be gone (its handle refuses requests and still closes) and
    // plugged in again; a device that did not start is removed and plugged
    // in again; a driver whose entry failed is loaded again.
    void RecoverAndFinish(bool deviceLost) {
        if (node != nullptr && !node->removed && deviceLost) sim.pnp().Unplug(node);
        if (handle != sim::kInvalidHandle && deviceLost) {
            uint8_t b;
            ULONG n = 0;
            SIM_CHECK(!NT_SUCCESS(sim.io().Read(handle, &b, 1, &n)) && n == 0);
        }
        Close();
        if (deviceLost) SIM_CHECK(sim.objects().Resolve("\\\\.\\COM3") == nullptr);
        if (node != nullptr && !node->removed && !started) sim.pnp().Unplug(node);
        if (node != nullptr && node->removed) node = nullptr;
        if (driver == nullptr || (node == nullptr && driver->DeviceObject == nullptr)) {
            if (driver != nullptr) sim.pnp().UnloadDriver(driver);
            Load();
            SIM_CHECK(driver != nullptr);
        }
        if (node == nullptr) {
            Enumerate();
            SIM_CHECK(NT_SUCCESS(Add()) && NT_SUCCESS(Start()));
        }
        SIM_CHECK(NT_SUCCESS(Open()));
        Configure();
        // What was still on the line from the step comes in and is dropped:
        // reads until one ends by its time-out with nothing.
        uint8_t stale[256];
        ULONG n = 0;
        for (int i = 0; i < 50; ++i) {
            SIM_CHECK(NT_SUCCESS(sim.io().Read(handle, stale, sizeof stale, &n)));
            if (n == 0) break;
        }
        SIM_CHECK(n == 0);
        if (!Loopback(64, 11)) sim.Fail("no loopback after recovery: " + loopbackFailure);
        Finish();
    }

    void Finish() {
        Close();
        if (node != nullptr && !node->removed) {
            bus.AttachFarEnd(node->pdo, nullptr);
            sim.pnp().Unplug(node);
        }
        if (driver != nullptr) sim.pnp().UnloadDriver(driver);
    }
};

}  // namespace reliability
