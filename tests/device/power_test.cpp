// Power requests: what each records, what reaches the lower driver and in
// what order, and the device request a system request brings about.
#include <gtest/gtest.h>

#include "tests/driver/usb_test_bus.h"

namespace {

using bridgetest::Machine;
using bridgetest::RunClean;
using bridgetest::UsbRequest;

POWER_STATE Device(DEVICE_POWER_STATE s) {
    POWER_STATE p;
    p.DeviceState = s;
    return p;
}
POWER_STATE System(SYSTEM_POWER_STATE s) {
    POWER_STATE p;
    p.SystemState = s;
    return p;
}

// The power requests the bus saw, as "D3", "S0" (working), "query S4".
std::vector<std::string> PowerSeen(const Machine& m) {
    std::vector<std::string> seen;
    for (const UsbRequest& r : m.bus.requests) {
        if (r.kind != UsbRequest::Kind::Power) continue;
        std::string text = r.minor == IRP_MN_QUERY_POWER ? "query " : "";
        text += (r.powerType == DevicePowerState ? "D" : "S") + std::to_string(r.powerState - 1);
        seen.push_back(text);
    }
    return seen;
}

TEST(DispatchPower, DeviceAndSystemRequests) {
    RunClean([] {
        auto& pnp = sim::Simulation::Current().pnp();
        Machine m;
        m.Load();
        sim::DeviceNode* node = m.PlugIn();
        PortExtension* x = Machine::Ext(node);
        bool failPowerUp = false;
        m.bus.decide = [&](const UsbRequest& r) {
            bridgetest::Answer a;
            if (failPowerUp && r.kind == UsbRequest::Kind::Power &&
                r.powerType == DevicePowerState && r.powerState == PowerDeviceD0)
                a.status = STATUS_UNSUCCESSFUL;
            return a;
        };
        // A query is passed down and never refused.
        SIM_CHECK(pnp.SendPower(node, IRP_MN_QUERY_POWER, SystemPowerState,
                                System(PowerSystemHibernate)) == STATUS_SUCCESS);
        // A device set-power records D3 before the lower driver sees it.
        SIM_CHECK(NT_SUCCESS(
            pnp.SendPower(node, IRP_MN_SET_POWER, DevicePowerState, Device(PowerDeviceD3))));
        SIM_CHECK(x->devicePowerState == PowerDeviceD3);
        // Working while in D3: the system request waits for a D0 request, which
        // succeeds and records D0 though the lower driver failed it.
        failPowerUp = true;
        m.bus.ClearLog();
        SIM_CHECK(NT_SUCCESS(
            pnp.SendPower(node, IRP_MN_SET_POWER, SystemPowerState, System(PowerSystemWorking))));
        sim::Simulation::Current().Join(sim::Simulation::Current().StartThread("settle", [] {
            LARGE_INTEGER t;
            t.QuadPart = -10000;
            KeDelayExecutionThread(KernelMode, FALSE, &t);
        }));
        SIM_CHECK(x->devicePowerState == PowerDeviceD0);
        SIM_CHECK((PowerSeen(m) == std::vector<std::string>{"D0", "S0"}));
        // Working while in D0 goes straight down.
        m.bus.ClearLog();
        SIM_CHECK(NT_SUCCESS(
            pnp.SendPower(node, IRP_MN_SET_POWER, SystemPowerState, System(PowerSystemWorking))));
        SIM_CHECK((PowerSeen(m) == std::vector<std::string>{"S0"}));
        // Without the capability map every sleeping state means D3.
        x->useCapabilityPowerMap = FALSE;
        m.bus.ClearLog();
        SIM_CHECK(NT_SUCCESS(
            pnp.SendPower(node, IRP_MN_SET_POWER, SystemPowerState, System(PowerSystemSleeping1))));
        sim::Simulation::Current().Join(sim::Simulation::Current().StartThread("settle", [] {
            LARGE_INTEGER t;
            t.QuadPart = -10000;
            KeDelayExecutionThread(KernelMode, FALSE, &t);
        }));
        SIM_CHECK((PowerSeen(m) == std::vector<std::string>{"D3", "S1"}));
        SIM_CHECK(x->devicePowerState == PowerDeviceD3);
        pnp.Unplug(node);
    });
}

// Wait-wake in D0 is refused with STATUS_INVALID_DEVICE_STATE.
TEST(DispatchPower, WaitWakeInD0IsRefused) {
    RunClean([] {
        auto& pnp = sim::Simulation::Current().pnp();
        Machine m;
        m.Load();
        sim::DeviceNode* node = m.PlugIn();
        SIM_CHECK(NT_SUCCESS(
            pnp.SendPower(node, IRP_MN_SET_POWER, DevicePowerState, Device(PowerDeviceD0))));
        SIM_CHECK(pnp.SendPower(node, IRP_MN_WAIT_WAKE, SystemPowerState,
                                System(PowerSystemSleeping1)) == STATUS_INVALID_DEVICE_STATE);
        pnp.Unplug(node);
    });
}

// When the power manager refuses the device request that a system request
// waits for, the system request still goes down (the transition goes on).
TEST(DispatchPower, ARefusedDeviceRequestStillLetsTheSystemRequestDown) {
    RunClean([] {
        auto& sim = sim::Simulation::Current();
        Machine m;
        m.Load();
        sim::DeviceNode* node = m.PlugIn();
        SIM_CHECK(NT_SUCCESS(sim.pnp().SendPower(node, IRP_MN_SET_POWER, DevicePowerState,
                                                 Device(PowerDeviceD0))));
        m.bus.ClearLog();
        sim.faults().FailCall("PoRequestPowerIrp", STATUS_INSUFFICIENT_RESOURCES);
        SIM_CHECK(NT_SUCCESS(sim.pnp().SendPower(node, IRP_MN_SET_POWER, SystemPowerState,
                                                 System(PowerSystemSleeping3))));
        SIM_CHECK((PowerSeen(m) == std::vector<std::string>{"S3"}));
        SIM_CHECK(Machine::Ext(node)->pendingSystemPowerIrp == nullptr);
        sim.pnp().Unplug(node);
    });
}

}  // namespace
