// app_fuzzer.cpp - everything an application can send on one open port,
// from the fuzzer's input: a sequence of device-control requests (any code,
// the serial ones most often, with input and output lengths and contents),
// reads and writes of any length, cancels, purges, the passing of time, and
// closes and reopens at any point. The unmodified driver runs above the
// simulated bus and bridge chip with a loopback plug on the line. At the end
// every request left is cancelled and the port closed; any verifier stop,
// leak, deadlock or request not completed exactly once aborts: a finding.
#include <deque>

#include "device/device.h"
#include "driver/driver.h"
#include "fuzz/fuzz_input.h"
#include "fuzz/run_once.h"
#include "sim/kernel/sim.h"
#include "sim/line/loopback_plug.h"
#include "sim/usb/usb_bus.h"
#include "uart/uart.h"

namespace {

constexpr ULONG kCodes[] = {
    IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_GET_BAUD_RATE, IOCTL_SERIAL_SET_LINE_CONTROL,
    IOCTL_SERIAL_GET_LINE_CONTROL, IOCTL_SERIAL_SET_TIMEOUTS, IOCTL_SERIAL_GET_TIMEOUTS,
    IOCTL_SERIAL_SET_CHARS, IOCTL_SERIAL_GET_CHARS, IOCTL_SERIAL_SET_HANDFLOW,
    IOCTL_SERIAL_GET_HANDFLOW, IOCTL_SERIAL_SET_DTR, IOCTL_SERIAL_CLR_DTR, IOCTL_SERIAL_SET_RTS,
    IOCTL_SERIAL_CLR_RTS, IOCTL_SERIAL_SET_BREAK_ON, IOCTL_SERIAL_SET_BREAK_OFF,
    IOCTL_SERIAL_SET_WAIT_MASK, IOCTL_SERIAL_GET_WAIT_MASK, IOCTL_SERIAL_WAIT_ON_MASK,
    IOCTL_SERIAL_PURGE, IOCTL_SERIAL_GET_COMMSTATUS, IOCTL_SERIAL_GET_MODEMSTATUS,
    IOCTL_SERIAL_GET_DTRRTS, IOCTL_SERIAL_GET_PROPERTIES, IOCTL_SERIAL_SET_QUEUE_SIZE,
    IOCTL_SERIAL_GET_STATS, IOCTL_SERIAL_CLEAR_STATS, IOCTL_SERIAL_IMMEDIATE_CHAR,
    IOCTL_SERIAL_SET_XOFF, IOCTL_SERIAL_SET_XON, IOCTL_SERIAL_XOFF_COUNTER,
    IOCTL_SERIAL_LSRMST_INSERT, IOCTL_SERIAL_CONFIG_SIZE, IOCTL_SERIAL_GET_MODEM_CONTROL,
    IOCTL_SERIAL_SET_MODEM_CONTROL, IOCTL_SERIAL_SET_FIFO_CONTROL, IOCTL_SERIAL_RESET_DEVICE,
    IOCTL_BRIDGE_WRITE_REGISTER, IOCTL_BRIDGE_READ_REGISTER, IOCTL_BRIDGE_READ_BULK,
    IOCTL_BRIDGE_READ_STATUS, IOCTL_BRIDGE_WRITE_BULK,
};
constexpr size_t kCodeCount = sizeof kCodes / sizeof kCodes[0];

// A request in flight with the buffers it owns.
struct Pending {
    sim::Overlapped ov;
    std::vector<uint8_t> in, out;
};

sim::RunResult RunInput(const uint8_t* data, size_t size, const sim::Options& options) {
    fuzz::Input in(data, size);
    sim::Simulation s(options);
    sim::usb::UsbBus bus;
    line::LoopbackPlug plug;
    return s.Run([&] {
        PDRIVER_OBJECT driver = s.pnp().LoadDriver("bridgeser", DriverEntry);
        SIM_CHECK(driver != nullptr);
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        sim::DeviceNode* node = s.pnp().PlugIn(bus, "USB\\VID_1A2B&PID_0001\\1", driver, &status);
        SIM_CHECK(NT_SUCCESS(status));
        bus.AttachFarEnd(node->pdo, &plug);
        const std::string name = "\\\\.\\" + node->portName;
        sim::Handle h = s.io().Open(name, &status);
        SIM_CHECK(NT_SUCCESS(status));
        std::deque<Pending> requests;
        for (int op = 0; op < 64 && !in.Empty(); ++op) {
            const uint8_t kind = in.Byte();
            if (h == sim::kInvalidHandle && (kind & 7) != 4) continue;
            switch (kind & 7) {
                case 0:
                case 6: {  // device control
                    const uint8_t pick = in.Byte();
                    ULONG code = pick < 0xF0 ? kCodes[pick % kCodeCount] : in.Long();
                    Pending& p = requests.emplace_back();
                    p.in = in.Bytes(in.Byte() % 64);
                    p.out.resize(in.Byte() % 64);
                    s.io().DeviceIoControlAsync(h, code, p.in.empty() ? nullptr : p.in.data(),
                                                static_cast<ULONG>(p.in.size()),
                                                p.out.empty() ? nullptr : p.out.data(),
                                                static_cast<ULONG>(p.out.size()), &p.ov);
                    break;
                }
                case 1: {  // read
                    Pending& p = requests.emplace_back();
                    p.out.resize(in.Byte() * 4u);
                    s.io().ReadAsync(h, p.out.empty() ? nullptr : p.out.data(),
                                     static_cast<ULONG>(p.out.size()), &p.ov);
                    break;
                }
                case 2: {  // write
                    Pending& p = requests.emplace_back();
                    p.in = in.Bytes(in.Byte());
                    s.io().WriteAsync(h, p.in.empty() ? nullptr : p.in.data(),
                                      static_cast<ULONG>(p.in.size()), &p.ov);
                    break;
                }
                case 3:
                    s.io().CancelIoEx(h);
                    break;
                case 4:  // close, or open again
                    if (h != sim::kInvalidHandle) {
                        s.io().Close(h);
                        h = sim::kInvalidHandle;
                    } else {
                        h = s.io().Open(name, &status);
                        if (!NT_SUCCESS(status)) h = sim::kInvalidHandle;
                    }
                    break;
                case 5: {  // time passes
                    LARGE_INTEGER t;
                    t.QuadPart = -static_cast<LONGLONG>(in.Byte()) * 1000;
                    KeDelayExecutionThread(KernelMode, FALSE, &t);
                    break;
                }
                case 7: {  // purge
                    ULONG flags = in.Byte() & 0x0F;
                    s.io().DeviceIoControl(h, IOCTL_SERIAL_PURGE, &flags, sizeof flags, nullptr, 0);
                    break;
                }
            }
        }
        if (h != sim::kInvalidHandle) {
            s.io().CancelIoEx(h);
            s.io().Close(h);
        }
        for (Pending& p : requests)
            if (p.ov.pending) s.io().Wait(&p.ov);
        bus.AttachFarEnd(node->pdo, nullptr);
        s.pnp().Unplug(node);
        s.pnp().UnloadDriver(driver);
    });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzz::RunOnce([&](const sim::Options& o) { return RunInput(data, size, o); });
}
