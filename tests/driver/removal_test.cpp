// The cable pulled out at a seeded moment during full-duplex traffic, with a
// current and a queued read, a current and a queued write and a pending
// wait: every request ends exactly once, nothing leaks, and the same cable
// plugged in again is the same COM port and carries data.
#include <gtest/gtest.h>

#include <cstring>

#include "sim/line/loopback_plug.h"
#include "tests/harness/explore.h"
#include "tests/harness/port_rig.h"

namespace {

using namespace porttest;

TEST(Removal, CablePulledDuringTrafficThenPluggedInAgain) {
    Explore("cable pulled during traffic", 1000, [](const sim::Options& o) {
        return RunOnPort(o, [](PortRig& rig) {
            line::LoopbackPlug plug;
            rig.bus.AttachFarEnd(rig.node->pdo, &plug);
            const std::string comName = rig.node->portName;
            rig.SetWaitMask(SERIAL_EV_RING);  // never raised here: the wait stays pending
            // Timers running at the pull: reads time out between bytes, writes overall.
            SERIAL_TIMEOUTS timeouts{2, 1, 40, 1, 60};
            SIM_CHECK(
                NT_SUCCESS(rig.Control(IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof timeouts)));
            const auto data = Pattern(600);
            uint8_t in[2][400];
            ULONG word = 0;
            sim::Overlapped reads[2], writes[2], wait;
            auto& io = rig.sim.io();
            SIM_CHECK(io.WriteAsync(rig.handle, data.data(), 300, &writes[0]) == STATUS_PENDING);
            SIM_CHECK(io.WriteAsync(rig.handle, data.data() + 300, 300, &writes[1]) ==
                      STATUS_PENDING);
            for (auto& r : reads) io.ReadAsync(rig.handle, in[&r - reads], 400, &r);
            SIM_CHECK(io.DeviceIoControlAsync(rig.handle, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0,
                                              &word, 4, &wait) == STATUS_PENDING);
            // 200 pull moments, 0.5 ms apart, across the transfer.
            rig.Pass((rig.sim.Random() % 200) * 5000);
            rig.sim.pnp().Unplug(rig.node);
            for (auto* ov : {&reads[0], &reads[1], &writes[0], &writes[1], &wait}) {
                SIM_CHECK(io.Wait(ov) == ov->iosb.Status);
                SIM_CHECK(ov->iosb.Status == STATUS_SUCCESS ||
                          ov->iosb.Status == STATUS_CANCELLED || ov->iosb.Status == STATUS_TIMEOUT);
            }
            SIM_CHECK(wait.iosb.Status == STATUS_CANCELLED);
            rig.Close();

            NTSTATUS status = STATUS_UNSUCCESSFUL;
            rig.node = rig.sim.pnp().PlugIn(rig.bus, kCable, rig.driver, &status);
            SIM_CHECK(NT_SUCCESS(status) && rig.node->portName == comName);
            rig.ext = GetPortExtension(rig.node->top);
            rig.Open();
            rig.SetTimeouts(50, 0, 0);
            SIM_CHECK(NT_SUCCESS(io.Write(rig.handle, data.data(), 100)));
            std::vector<uint8_t> back(100);
            ULONG n = 0;
            SIM_CHECK(NT_SUCCESS(io.Read(rig.handle, back.data(), 100, &n)));
            SIM_CHECK(n == 100 && std::equal(back.begin(), back.end(), data.begin()));
            rig.bus.AttachFarEnd(rig.node->pdo, &rig.peer);
        });
    });
}

// A loopback check on an open port: 100 bytes out and back unchanged.
void LoopbackCheck(PortRig& rig) {
    const auto data = Pattern(100, 7);
    rig.SetTimeouts(50, 0, 0);
    SIM_CHECK(NT_SUCCESS(rig.sim.io().Write(rig.handle, data.data(), 100)));
    std::vector<uint8_t> back(100);
    ULONG n = 0;
    SIM_CHECK(NT_SUCCESS(rig.sim.io().Read(rig.handle, back.data(), 100, &n)));
    SIM_CHECK(n == 100 && back == data);
}

// A rebalance (query-stop, stop, start) with the port closed, then the port
// opened and used; a query-stop while it is open is refused.
TEST(Removal, RebalanceWithThePortClosedThenLoopback) {
    ExpectOk(RunOnPort({}, [](PortRig& rig) {
        line::LoopbackPlug plug;
        rig.bus.AttachFarEnd(rig.node->pdo, &plug);
        auto& pnp = rig.sim.pnp();
        SIM_CHECK(pnp.SendPnp(rig.node, IRP_MN_QUERY_STOP_DEVICE) == STATUS_UNSUCCESSFUL);
        rig.Close();
        SIM_CHECK(pnp.SendPnp(rig.node, IRP_MN_QUERY_STOP_DEVICE) == STATUS_SUCCESS);
        SIM_CHECK(pnp.SendPnp(rig.node, IRP_MN_STOP_DEVICE) == STATUS_SUCCESS);
        SIM_CHECK(pnp.SendPnp(rig.node, IRP_MN_START_DEVICE) == STATUS_SUCCESS);
        rig.Open();
        LoopbackCheck(rig);
        rig.bus.AttachFarEnd(rig.node->pdo, &rig.peer);
    }));
}

// Sleep to S3 and resume with the port open: the device goes to D3 and back
// to D0 through the power manager; power changes only bookkeeping, so a read
// in flight across the sleep stays pending and completes afterwards, and the
// port still carries data.
TEST(Removal, SleepAndResumeWithThePortOpen) {
    ExpectOk(RunOnPort({}, [](PortRig& rig) {
        line::LoopbackPlug plug;
        rig.bus.AttachFarEnd(rig.node->pdo, &plug);
        auto& pnp = rig.sim.pnp();
        uint8_t held[4];
        sim::Overlapped read;
        SIM_CHECK(rig.sim.io().ReadAsync(rig.handle, held, 4, &read) == STATUS_PENDING);
        DEVICE_CAPABILITIES caps{};
        SIM_CHECK(NT_SUCCESS(pnp.SendPnp(rig.node, IRP_MN_QUERY_CAPABILITIES, &caps)));
        POWER_STATE state;
        state.SystemState = PowerSystemSleeping3;
        SIM_CHECK(NT_SUCCESS(pnp.SendPower(rig.node, IRP_MN_SET_POWER, SystemPowerState, state)));
        rig.Pass(10 * kMs);
        SIM_CHECK(rig.ext->devicePowerState == PowerDeviceD3);
        state.SystemState = PowerSystemWorking;
        SIM_CHECK(NT_SUCCESS(pnp.SendPower(rig.node, IRP_MN_SET_POWER, SystemPowerState, state)));
        rig.Pass(10 * kMs);
        SIM_CHECK(rig.ext->devicePowerState == PowerDeviceD0);
        SIM_CHECK(!read.done);
        SIM_CHECK(NT_SUCCESS(rig.sim.io().Write(rig.handle, "wake", 4)));
        SIM_CHECK(rig.sim.io().Wait(&read) == STATUS_SUCCESS && std::memcmp(held, "wake", 4) == 0);
        LoopbackCheck(rig);
        rig.bus.AttachFarEnd(rig.node->pdo, &rig.peer);
    }));
}

}  // namespace
