// device_fuzzer.cpp - everything the device can send, from the fuzzer's
// input: the configuration descriptor, then the outcome, length and bytes of
// every request the driver sends it (device_bus.h). The unmodified driver
// is loaded, the device plugged in and started; when it starts, an
// application opens the port and has a read, a write and an event wait in
// flight while the device answers; then it closes the port and the cable is
// pulled. Any verifier stop, leak, deadlock or request not completed
// exactly once aborts: a finding.
#include "fuzz/device_bus.h"
#include "fuzz/run_once.h"

namespace {

void Pass(uint64_t ticks) {
    LARGE_INTEGER t;
    t.QuadPart = -static_cast<LONGLONG>(ticks);
    KeDelayExecutionThread(KernelMode, FALSE, &t);
}

sim::RunResult RunInput(const uint8_t* data, size_t size, const sim::Options& options) {
    fuzz::Input in(data, size);
    sim::Simulation s(options);
    fuzz::DeviceBus bus(in);
    bus.TakeDescriptor();
    return s.Run([&] {
        PDRIVER_OBJECT driver = s.pnp().LoadDriver("bridgeser", DriverEntry);
        SIM_CHECK(driver != nullptr);
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        sim::DeviceNode* node = s.pnp().PlugIn(bus, "USB\\VID_1A2B&PID_0001\\1", driver, &status);
        sim::Handle h = sim::kInvalidHandle;
        if (NT_SUCCESS(status)) {
            NTSTATUS opened = STATUS_UNSUCCESSFUL;
            h = s.io().Open("\\\\.\\" + node->portName, &opened);
            if (!NT_SUCCESS(opened)) h = sim::kInvalidHandle;
        }
        if (h != sim::kInvalidHandle) {
            SERIAL_TIMEOUTS t{5, 1, 30, 1, 50};
            s.io().DeviceIoControl(h, IOCTL_SERIAL_SET_TIMEOUTS, &t, sizeof t, nullptr, 0);
            ULONG mask = 0x1FFF, events = 0;
            s.io().DeviceIoControl(h, IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof mask, nullptr, 0);
            uint8_t got[128];
            static const uint8_t out[100] = {'A', 'T', '+', 'C', 'G', 'M', 'I', '\r'};
            sim::Overlapped read, write, wait;
            s.io().ReadAsync(h, got, sizeof got, &read);
            s.io().WriteAsync(h, out, sizeof out, &write);
            s.io().DeviceIoControlAsync(h, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &events,
                                        sizeof events, &wait);
            Pass(20'000);
            ULONG stat[8];
            s.io().DeviceIoControl(h, IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, stat, sizeof stat);
            s.io().DeviceIoControl(h, IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, stat, sizeof(ULONG));
            s.io().Close(h);
            for (auto* ov : {&read, &write, &wait})
                if (ov->pending) s.io().Wait(ov);
        }
        s.pnp().Unplug(node);
        s.pnp().UnloadDriver(driver);
    });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzz::RunOnce([&](const sim::Options& o) { return RunInput(data, size, o); });
}
