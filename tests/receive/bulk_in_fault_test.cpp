// What the device can do to the bulk-in loop: fail a transfer, send a
// zero-length packet, hang, disappear. The loop stops or goes on as it
// should, and reads still end as their time-outs say.
#include <gtest/gtest.h>

#include "tests/harness/port_rig.h"

namespace {

using namespace porttest;

// A read with a total time-out of 100 ms that completes on its first bytes.
NTSTATUS ReadFirstBytes(PortRig& rig, std::vector<uint8_t>& got) {
    rig.SetTimeouts(MAXULONG, MAXULONG, 100);
    got.resize(64);
    ULONG n = 0;
    NTSTATUS st = rig.sim.io().Read(rig.handle, got.data(), 64, &n);
    got.resize(n);
    return st;
}

// A failed transfer takes nothing and is sent again, so the bytes reach the
// ring with no read waiting; the third failure in a row stops the loop, and
// the next read restarts it.
TEST(BulkInFaults, FailedTransfersAreRetriedThenTheLoopStopsUntilTheNextRead) {
    for (uint32_t failures : {2u, 3u}) {
        SCOPED_TRACE(failures);
        ExpectOk(RunOnPort({}, [failures](PortRig& rig) {
            rig.Inject(chip::Fault::FailPipe(chip::kEndpointBulkIn, chip::kUsbdStatusCrc)
                           .Times(failures));
            rig.PeerSends(Pattern(10));
            rig.Pass(10 * kMs);
            const bool stopped = failures >= IN_TRANSFER_RETRY_LIMIT;
            SIM_CHECK(rig.ext->bulkInBusy == !stopped);
            SIM_CHECK(rig.ext->rxRingCount == (stopped ? 0u : 10u));
            std::vector<uint8_t> got;
            SIM_CHECK(ReadFirstBytes(rig, got) == STATUS_SUCCESS);
            SIM_CHECK(!got.empty() && got == Pattern(got.size()));  // the failures took nothing
        }));
    }
}

TEST(BulkInFaults, ZeroLengthPacketKeepsTheLoopGoing) {
    ExpectOk(RunOnPort({}, [](PortRig& rig) {
        rig.Inject(chip::Fault::LimitPipe(chip::kEndpointBulkIn, 0).Times(3));
        rig.SetTimeouts(50, 0, 0);
        rig.PeerSends(Pattern(20));
        std::vector<uint8_t> got(100);
        ULONG n = 0;
        SIM_CHECK(rig.sim.io().Read(rig.handle, got.data(), 100, &n) == STATUS_TIMEOUT);
        got.resize(n);
        SIM_CHECK(got == Pattern(20));
    }));
}

// The device disappears with a read pending: the read ends by its time-out
// with nothing, and so does the next one, whose restart the bus refuses.
TEST(BulkInFaults, DeviceGoneEndsReadsByTheirTimeOuts) {
    ExpectOk(RunOnPort({}, [](PortRig& rig) {
        rig.SetTimeouts(0, 0, 200);
        uint8_t buffer[10];
        sim::Overlapped ov;
        const uint64_t t0 = rig.Now();
        SIM_CHECK(rig.sim.io().ReadAsync(rig.handle, buffer, 10, &ov) == STATUS_PENDING);
        rig.Pass(50 * kMs);
        rig.bus.Disconnect(rig.node->pdo);
        SIM_CHECK(rig.sim.io().Wait(&ov) == STATUS_TIMEOUT && ov.iosb.Information == 0);
        SIM_CHECK(rig.Now() - t0 == 200 * kMs);
        SIM_CHECK(!rig.ext->bulkInBusy);
        ULONG n = 99;
        SIM_CHECK(rig.sim.io().Read(rig.handle, buffer, 10, &n) == STATUS_TIMEOUT && n == 0);
    }));
}

// A transfer the device never ends is cancelled by the stop when the port
// closes; nothing hangs and nothing leaks.
TEST(BulkInFaults, HungTransferIsCancelledByTheClose) {
    ExpectOk(RunOnPort({}, [](PortRig& rig) {
        rig.Inject(chip::Fault::HangPipe(chip::kEndpointBulkIn));
        rig.PeerSends(Pattern(10));
        rig.Pass(10 * kMs);
        SIM_CHECK(rig.ext->bulkInBusy);
        rig.Close();
        SIM_CHECK(!rig.ext->bulkInBusy && rig.ext->bulkInIrp == nullptr);
    }));
}

}  // namespace

#include "tests/driver/usb_test_bus.h"

namespace {

// A device that reports more bytes than the 64 asked for: only the buffer's
// 64 are believed.
TEST(BulkInFaults, TransferLongerThanAskedIsCutToTheBuffer) {
    bridgetest::RunClean([] {
        bridgetest::Machine m;
        m.Load();
        m.bus.bulkInData = porttest::Pattern(200);
        int bulkIns = 0;
        m.bus.decide = [&](const bridgetest::UsbRequest& r) {
            bridgetest::Answer a;
            if (r.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER &&
                (r.transferFlags & USBD_TRANSFER_DIRECTION_IN)) {
                if (r.transferLength == 64 && ++bulkIns == 1)
                    a.length = 100;
                else
                    a.hang = true;  // later bulk-ins and the status pipe wait
            }
            return a;
        };
        sim::DeviceNode* node = m.PlugIn();
        auto& io = sim::Simulation::Current().io();
        sim::Handle h = io.Open("\\\\.\\" + node->portName);
        SIM_CHECK(h != sim::kInvalidHandle);
        std::vector<uint8_t> got(200);
        ULONG n = 0;
        SERIAL_TIMEOUTS t{MAXULONG, 0, 0, 0, 0};
        SIM_CHECK(
            NT_SUCCESS(io.DeviceIoControl(h, IOCTL_SERIAL_SET_TIMEOUTS, &t, sizeof t, nullptr, 0)));
        SIM_CHECK(io.Read(h, got.data(), 200, &n) == STATUS_SUCCESS);
        got.resize(n);
        SIM_CHECK(got == porttest::Pattern(64));
        SIM_CHECK(NT_SUCCESS(io.Close(h)));
        sim::Simulation::Current().pnp().Unplug(node);
    });
}

}  // namespace
