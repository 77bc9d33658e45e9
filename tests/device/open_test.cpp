// Open, cleanup and close: the wire sequence of an open, the exclusive open,
// what each open resets, cleanup and close ending every held request, a
// failed open that leaves the port openable, and many cycles with requests
// outstanding.
#include <gtest/gtest.h>

#include "tests/driver/usb_test_bus.h"
#include "tests/harness/port_rig.h"

namespace {

using bridgetest::Machine;
using bridgetest::RegisterText;
using bridgetest::UsbRequest;
using porttest::kMs;
using porttest::PortRig;
using porttest::RunOnPort;

// The open on the wire, checked in order against the recording bus: the
// divisor of 115200 through the latch, DTR and RTS dropped then raised, the
// modem status read, then the status and bulk-in transfers.
TEST(Open, WireSequence) {
    bridgetest::RunClean([] {
        Machine m;
        m.Load();
        m.bus.registers[UART_REG_LINE_CONTROL] = 0x03;
        m.bus.registers[UART_REG_MODEM_CONTROL] = MCR_DTR | MCR_RTS;  // left raised
        m.bus.decide = [](const UsbRequest& r) {
            bridgetest::Answer a;
            a.hang = r.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;  // data pipes wait
            return a;
        };
        sim::DeviceNode* node = m.PlugIn();
        m.bus.ClearLog();
        auto& io = sim::Simulation::Current().io();
        sim::Handle h = io.Open("\\\\.\\" + node->portName);
        SIM_CHECK(h != sim::kInvalidHandle);
        std::vector<std::string> seen;
        for (const UsbRequest& r : m.bus.requests) {
            if (r.IsRegisterAccess())
                seen.push_back(RegisterText(r));
            else if (r.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)
                seen.push_back(r.transferLength == 4 ? "status in" : "bulk in");
        }
        const std::vector<std::string> expected = {
            "R3", "W3=83",     "W0=1A",  "W1=00", "W3=03",  // 115200: divisor 26
            "R4", "W4=02",     "R4",     "W4=00",           // DTR, then RTS dropped
            "R4", "W4=01",     "R4",     "W4=03",           // DTR, then RTS raised
            "R6", "status in", "bulk in"};
        EXPECT_EQ(seen, expected);
        SIM_CHECK(NT_SUCCESS(io.Close(h)));
        sim::Simulation::Current().pnp().Unplug(node);
    });
}

// A second open is refused and leaves the first alone; each open starts from
// 115200, a zero mask and a fresh empty ring; the pipes are counted open
// while the port is; close takes at least one second.
TEST(Open, ExclusiveOpenAndWhatEachOpenResets) {
    porttest::ExpectOk(RunOnPort({}, [](PortRig& rig) {
        NTSTATUS second = STATUS_SUCCESS;
        SIM_CHECK(rig.sim.io().Open("\\\\.\\" + rig.node->portName, &second) ==
                  sim::kInvalidHandle);
        SIM_CHECK(second == STATUS_ACCESS_DENIED);
        SIM_CHECK(rig.ext->openPipeCount == 3);

        SERIAL_BAUD_RATE baud{9600};
        SIM_CHECK(NT_SUCCESS(rig.Control(IOCTL_SERIAL_SET_BAUD_RATE, &baud, sizeof baud)));
        rig.SetWaitMask(SERIAL_EV_CTS);
        rig.PeerSends(porttest::Pattern(10));
        rig.Pass(50 * kMs);
        const uint64_t before = rig.Now();
        rig.Close();
        SIM_CHECK(rig.Now() - before >= 1000 * kMs);
        SIM_CHECK(rig.ext->openPipeCount == 0 && rig.ext->rxRingBuffer == nullptr);

        rig.Open();
        SIM_CHECK(rig.ext->baudRate == 115200 && rig.ext->waitMask == 0);
        SIM_CHECK(rig.ext->rxRingCount == 0 && rig.ext->rxRingBuffer != nullptr);
        SIM_CHECK(rig.ext->openPipeCount == 3);
        ULONG word = 0;
        SIM_CHECK(rig.Control(IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &word, 4) == STATUS_SUCCESS &&
                  word == 115200);
    }));
}

// Cleanup with a current read, two queued reads and a pending wait: all four
// end with STATUS_CANCELLED, the reads in queue order after the current one.
TEST(Open, CleanupEndsEveryHeldRequestInOrder) {
    porttest::ExpectOk(RunOnPort({}, [](PortRig& rig) {
        rig.SetWaitMask(SERIAL_EV_CTS);
        uint8_t buffers[3][8];
        sim::Overlapped reads[3], wait;
        ULONG word = 0;
        for (int i = 0; i < 3; ++i)
            SIM_CHECK(rig.sim.io().ReadAsync(rig.handle, buffers[i], 8, &reads[i]) ==
                      STATUS_PENDING);
        SIM_CHECK(rig.sim.io().DeviceIoControlAsync(rig.handle, IOCTL_SERIAL_WAIT_ON_MASK, nullptr,
                                                    0, &word, 4, &wait) == STATUS_PENDING);
        rig.Close();
        for (auto* ov : {&reads[0], &reads[1], &reads[2], &wait})
            SIM_CHECK(ov->done && ov->iosb.Status == STATUS_CANCELLED);
        SIM_CHECK(reads[0].completedAt <= reads[1].completedAt &&
                  reads[1].completedAt <= reads[2].completedAt);
    }));
}

// An open that fails part-way (the chip refuses the baud sequence) leaves
// the port closed, so the next open succeeds.
TEST(Open, FailedOpenLeavesThePortOpenable) {
    bridgetest::RunClean([] {
        Machine m;
        m.Load();
        bool failBaud = true;
        m.bus.decide = [&](const UsbRequest& r) {
            if (failBaud && r.IsRegisterWrite(UART_REG_DIVISOR_LOW))
                return bridgetest::Fail(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
            bridgetest::Answer a;
            a.hang = r.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
            return a;
        };
        sim::DeviceNode* node = m.PlugIn();
        auto& io = sim::Simulation::Current().io();
        NTSTATUS status = STATUS_SUCCESS;
        SIM_CHECK(io.Open("\\\\.\\" + node->portName, &status) == sim::kInvalidHandle);
        SIM_CHECK(status == STATUS_UNSUCCESSFUL);
        SIM_CHECK(!Machine::Ext(node)->portOpen && Machine::Ext(node)->rxRingBuffer == nullptr);
        failBaud = false;
        sim::Handle h = io.Open("\\\\.\\" + node->portName, &status);
        SIM_CHECK(h != sim::kInvalidHandle);
        SIM_CHECK(NT_SUCCESS(io.Close(h)));
        sim::Simulation::Current().pnp().Unplug(node);
    });
}

// A close that no cleanup preceded (a platform that skips it) still stops the
// transfers and ends the held requests before the ring is freed.
TEST(Open, CloseWithoutCleanupStopsTransfersAndEndsRequests) {
    porttest::ExpectOk(RunOnPort({}, [](PortRig& rig) {
        uint8_t buffer[8];
        sim::Overlapped read, wait;
        SIM_CHECK(rig.sim.io().ReadAsync(rig.handle, buffer, 8, &read) == STATUS_PENDING);
        rig.SetWaitMask(SERIAL_EV_RING);
        ULONG events = 0;
        SIM_CHECK(rig.sim.io().DeviceIoControlAsync(rig.handle, IOCTL_SERIAL_WAIT_ON_MASK, nullptr,
                                                    0, &events, 4, &wait) == STATUS_PENDING);
        PIRP close = IoAllocateIrp(rig.node->top->StackSize, FALSE);
        IoGetNextIrpStackLocation(close)->MajorFunction = IRP_MJ_CLOSE;
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IoSetCompletionRoutine(close, SignalEventCompletion, &done, TRUE, TRUE, TRUE);
        if (IofCallDriver(rig.node->top, close) == STATUS_PENDING)
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        IoFreeIrp(close);
        SIM_CHECK(read.done && read.iosb.Status == STATUS_CANCELLED);
        SIM_CHECK(wait.done && wait.iosb.Status == STATUS_CANCELLED);
        SIM_CHECK(!rig.ext->bulkInBusy && !rig.ext->statusBusy && rig.ext->rxRingBuffer == nullptr);
    }));
}

// 1,000 cycles of open, traffic and close with requests outstanding at each
// cleanup: every close at least one virtual second, and pool back to where
// it was.
TEST(Open, ThousandCyclesWithRequestsOutstanding) {
    porttest::ExpectOk(RunOnPort({}, [](PortRig& rig) {
        const uint64_t pool = rig.sim.pool().LiveCount(BRIDGESER_POOL_TAG);
        rig.Close();
        const uint64_t closedPool = rig.sim.pool().LiveCount(BRIDGESER_POOL_TAG);
        SIM_CHECK(closedPool < pool);
        for (int cycle = 0; cycle < 1000; ++cycle) {
            rig.Open();
            const auto data = porttest::Pattern(100, cycle);
            SIM_CHECK(NT_SUCCESS(rig.sim.io().Write(rig.handle, data.data(), 100)));
            uint8_t buffer[16];
            sim::Overlapped read, write;
            SIM_CHECK(rig.sim.io().ReadAsync(rig.handle, buffer, 16, &read) == STATUS_PENDING ||
                      read.done);
            rig.sim.io().WriteAsync(rig.handle, data.data(), 100, &write);
            const uint64_t before = rig.Now();
            rig.Close();
            SIM_CHECK(rig.Now() - before >= 1000 * kMs);
            SIM_CHECK(read.done && write.done);
            SIM_CHECK(rig.sim.pool().LiveCount(BRIDGESER_POOL_TAG) == closedPool);
        }
        rig.Open();
    }));
}

// Power requests go down the stack unchanged and succeed there; a read
// reaching the driver with no system buffer is refused, not written through.
TEST(Open, PowerPassesDownAndAReadWithoutABufferIsRefused) {
    porttest::ExpectOk(RunOnPort({}, [](PortRig& rig) {
        POWER_STATE d0;
        d0.DeviceState = PowerDeviceD0;
        SIM_CHECK(
            NT_SUCCESS(rig.sim.pnp().SendPower(rig.node, IRP_MN_SET_POWER, DevicePowerState, d0)));
        PIRP read = IoAllocateIrp(rig.node->top->StackSize, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(read);
        next->MajorFunction = IRP_MJ_READ;
        next->Parameters.Read.Length = 10;
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IoSetCompletionRoutine(read, SignalEventCompletion, &done, TRUE, TRUE, TRUE);
        if (IofCallDriver(rig.node->top, read) == STATUS_PENDING)
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        SIM_CHECK(read->IoStatus.Status == STATUS_INVALID_PARAMETER);
        IoFreeIrp(read);
    }));
}

}  // namespace

namespace {

// An open of a device that is not in service, because its start failed or
// never came or it is stopped, is refused with STATUS_DEVICE_NOT_READY
// and sends nothing to the device; an open into the device's namespace is
// refused with STATUS_OBJECT_NAME_NOT_FOUND.
TEST(Open, RefusedWhenTheDeviceIsNotInServiceOrTheNameGoesOn) {
    struct Case {
        const char* what;
        // Brings the enumerated and added device to the state; the name to open.
        std::function<std::string(sim::usb::UsbBus&, sim::DeviceNode*)> prepare;
        NTSTATUS expected;
    };
    auto pnp = []() -> sim::Pnp& { return sim::Simulation::Current().pnp(); };
    auto com = [](sim::DeviceNode* node) { return "\\\\.\\" + node->portName; };
    const Case cases[] = {
        {"the chip refuses the configuration",
         [&](sim::usb::UsbBus& bus, sim::DeviceNode* node) {
             bus.Update(node->pdo, [](chip::BridgeChip& c) {
                 c.InjectFault(chip::Fault::FailControl(
                     chip::RequestMatch::Request(0x00, chip::kSetConfiguration),
                     chip::kUsbdStatusStallPid));
             });
             SIM_CHECK(!NT_SUCCESS(pnp().SendPnp(node, IRP_MN_START_DEVICE)));
             return com(node);
         },
         STATUS_DEVICE_NOT_READY},
        {"the hub fails the start",
         [&](sim::usb::UsbBus& bus, sim::DeviceNode* node) {
             bus.FailNextStart(node->pdo, STATUS_UNSUCCESSFUL);
             SIM_CHECK(!NT_SUCCESS(pnp().SendPnp(node, IRP_MN_START_DEVICE)));
             return com(node);
         },
         STATUS_DEVICE_NOT_READY},
        {"the start has not come yet",
         [&](sim::usb::UsbBus&, sim::DeviceNode* node) { return com(node); },
         STATUS_DEVICE_NOT_READY},
        {"the device is stopped",
         [&](sim::usb::UsbBus&, sim::DeviceNode* node) {
             SIM_CHECK(NT_SUCCESS(pnp().SendPnp(node, IRP_MN_START_DEVICE)));
             SIM_CHECK(NT_SUCCESS(pnp().Stop(node)));
             return com(node);
         },
         STATUS_DEVICE_NOT_READY},
        {"a name in the device's namespace",
         [&](sim::usb::UsbBus&, sim::DeviceNode* node) {
             SIM_CHECK(NT_SUCCESS(pnp().SendPnp(node, IRP_MN_START_DEVICE)));
             return com(node) + "\\anything";
         },
         STATUS_OBJECT_NAME_NOT_FOUND},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim::Simulation s;
        sim::usb::UsbBus bus;
        porttest::ExpectOk(s.Run([&] {
            PDRIVER_OBJECT driver = s.pnp().LoadDriver("bridgeser", DriverEntry);
            sim::DeviceNode* node = s.pnp().Enumerate(bus, porttest::kCable);
            SIM_CHECK(NT_SUCCESS(s.pnp().AddDevice(node, driver)));
            const std::string name = c.prepare(bus, node);
            const size_t before = bus.Transfers(node->pdo).size();
            NTSTATUS status = STATUS_SUCCESS;
            SIM_CHECK(s.io().Open(name, &status) == sim::kInvalidHandle);
            SIM_CHECK(status == c.expected);
            SIM_CHECK(bus.Transfers(node->pdo).size() == before);
            s.pnp().Unplug(node);
            s.pnp().UnloadDriver(driver);
        }));
    }
}

}  // namespace
