// The fault matrix: for each lifecycle step, every fallible platform call
// the driver made in that step (each named kernel routine that can fail,
// each pool allocation, each wait with a time-out) is failed in turn, and
// every USB transfer the step made is failed with each USBD error status,
// cut short, hung, or ended by the cable being pulled at that moment.
//
// The cases are found, not listed: the step is first run without faults
// while the kernel counts its fallible calls by routine and the bus logs
// its transfers; then the step is run once per (call or transfer, fault).
// After each case the run must hold every rule of the verifier (each
// request completed exactly once, nothing leaked), and the port must carry
// data again after close and reopen, or after the cable is plugged in again
// when the device was lost or did not start.
//
// BRIDGESER_FAULT_CASE=N runs case N of each step alone with its trace;
// BRIDGESER_FAULT_SCHEDULE=random:SEED or pct:SEED[:DEPTH] runs the matrix
// under another schedule than the sequential one.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>

#include "tests/harness/explore.h"
#include "tests/reliability/lifecycle.h"

namespace {

using namespace reliability;

// ---------------------------------------------------------------- the steps

struct Step {
    const char* name;
    std::function<void(Life&)> setup;   // without faults
    std::function<void(Life&)> action;  // under the fault
    bool fallible = true;               // false: the step makes no fallible call
};

void UpAndClosed(Life& l) {
    l.Up();
    l.Close();
}

// Waits for an overlapped request the step issued.
void End(Life& l, sim::Overlapped& ov, NTSTATUS issued) {
    if (issued == STATUS_PENDING) l.sim.io().Wait(&ov);
}

const std::vector<Step>& Steps() {
    static const std::vector<Step> steps = {
        {"Load", [](Life&) {}, [](Life& l) { l.Load(); }, false},
        {"AddDevice",
         [](Life& l) {
             l.Load();
             l.Enumerate();
         },
         [](Life& l) { l.Add(); }},
        {"Start",
         [](Life& l) {
             l.Load();
             l.Enumerate();
             SIM_CHECK(NT_SUCCESS(l.Add()));
         },
         [](Life& l) { l.Start(); }},
        {"Open",
         [](Life& l) {
             l.Load();
             l.Enumerate();
             SIM_CHECK(NT_SUCCESS(l.Add()) && NT_SUCCESS(l.Start()));
         },
         [](Life& l) {
             if (NT_SUCCESS(l.Open())) l.Configure();
         }},
        {"Write", [](Life& l) { l.Up(); },
         [](Life& l) {
             const auto data = Pattern(100);
             l.sim.io().Write(l.handle, data.data(), 100);
         }},
        {"ReadAndWrite", [](Life& l) { l.Up(); }, [](Life& l) { l.Loopback(100, 3); }},
        {"WaitOnMask", [](Life& l) { l.Up(); },
         [](Life& l) {
             ULONG mask = SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY, events = 0;
             l.Control(IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof mask);
             sim::Overlapped wait;
             NTSTATUS issued = l.sim.io().DeviceIoControlAsync(
                 l.handle, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &events, sizeof events, &wait);
             l.sim.io().Write(l.handle, "w", 1);
             Pass(20 * kMs);
             mask = 0;  // ends a wait still pending
             l.Control(IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof mask);
             End(l, wait, issued);
         }},
        {"Purge", [](Life& l) { l.Up(); },
         [](Life& l) {
             const auto data = Pattern(1000);
             uint8_t in[200];
             sim::Overlapped write, read;
             NTSTATUS w = l.sim.io().WriteAsync(l.handle, data.data(), 1000, &write);
             NTSTATUS r = l.sim.io().ReadAsync(l.handle, in, sizeof in, &read);
             Pass(5 * kMs);
             ULONG purge = SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXCLEAR |
                           SERIAL_PURGE_RXCLEAR;
             l.Control(IOCTL_SERIAL_PURGE, &purge, sizeof purge);
             End(l, write, w);
             End(l, read, r);
         }},
        {"SleepAndResume",
         [](Life& l) {
             l.Up();
             DEVICE_CAPABILITIES caps{};
             SIM_CHECK(NT_SUCCESS(l.sim.pnp().SendPnp(l.node, IRP_MN_QUERY_CAPABILITIES, &caps)));
         },
         [](Life& l) {
             uint8_t in[4];
             sim::Overlapped read;
             NTSTATUS r = l.sim.io().ReadAsync(l.handle, in, sizeof in, &read);
             POWER_STATE state;
             state.SystemState = PowerSystemSleeping3;
             l.sim.pnp().SendPower(l.node, IRP_MN_SET_POWER, SystemPowerState, state);
             Pass(10 * kMs);
             state.SystemState = PowerSystemWorking;
             l.sim.pnp().SendPower(l.node, IRP_MN_SET_POWER, SystemPowerState, state);
             Pass(10 * kMs);
             l.sim.io().Write(l.handle, "wake", 4);
             End(l, read, r);
         }},
        {"Close", [](Life& l) { l.Up(); }, [](Life& l) { l.Close(); }},
        {"QueryStopStopStart", UpAndClosed,
         [](Life& l) {
             auto& pnp = l.sim.pnp();
             if (!NT_SUCCESS(pnp.SendPnp(l.node, IRP_MN_QUERY_STOP_DEVICE))) return;
             l.started = false;
             pnp.SendPnp(l.node, IRP_MN_STOP_DEVICE);
             l.Start();
         }},
        {"Removal", UpAndClosed, [](Life& l) { l.sim.pnp().Remove(l.node); }},
        {"SurpriseRemoval", [](Life& l) { l.Up(); },
         [](Life& l) {
             const auto data = Pattern(1000);
             uint8_t in[200];
             sim::Overlapped write, read;
             NTSTATUS w = l.sim.io().WriteAsync(l.handle, data.data(), 1000, &write);
             NTSTATUS r = l.sim.io().ReadAsync(l.handle, in, sizeof in, &read);
             Pass(30 * kMs);
             l.sim.pnp().Unplug(l.node);
             End(l, write, w);
             End(l, read, r);
         }},
    };
    return steps;
}

// ---------------------------------------------------------------- the faults

// What the platform says when a routine fails.
std::vector<NTSTATUS> StatusesFor(const std::string& routine) {
    if (routine == "KeWaitForSingleObject(timeout)") return {STATUS_TIMEOUT};
    if (routine.rfind("Zw", 0) == 0 || routine.rfind("IoOpenDeviceRegistryKey", 0) == 0)
        return {STATUS_INSUFFICIENT_RESOURCES, STATUS_OBJECT_NAME_NOT_FOUND};
    return {STATUS_INSUFFICIENT_RESOURCES};
}

enum class UsbFault { Fail, Short, Hang, Pull };

struct Case {
    enum class Kind { Call, Pool, Usb } kind;
    std::string routine;  // Call
    NTSTATUS status = 0;  // Call
    uint64_t nth = 0;     // the nth call, allocation or transfer of the step (1-based)
    uint8_t endpoint = 0;  // Usb
    UsbFault usb = UsbFault::Fail;
    uint32_t usbdStatus = 0;
    uint64_t pullAt = 0;  // Pull: the transfer's submission time in the fault-free run

    std::string Text() const {
        char buffer[160];
        switch (kind) {
        case Kind::Call:
            std::snprintf(buffer, sizeof buffer, "call %d of %s fails with 0x%08X",
                          static_cast<int>(nth), routine.c_str(), static_cast<unsigned>(status));
            break;
        case Kind::Pool:
            std::snprintf(buffer, sizeof buffer, "pool allocation %d fails",
                          static_cast<int>(nth));
            break;
        case Kind::Usb: {
            static const char* what[] = {"fails with USBD 0x%08X", "moves a short packet",
                                         "hangs", "meets the cable pulled"};
            char how[64];
            std::snprintf(how, sizeof how, what[static_cast<int>(usb)], usbdStatus);
            std::snprintf(buffer, sizeof buffer, "transfer %d on endpoint 0x%02X %s",
                          static_cast<int>(nth), endpoint, how);
            break;
        }
        }
        return buffer;
    }
};

uint8_t EndpointOf(const sim::usb::TransferRecord& t) {
    return t.type == sim::usb::TransferType::Control ? chip::kEndpointControl : t.endpoint;
}

// A fault rule for the chip: the nth transfer on the endpoint from now.
chip::Fault ChipFault(const Case& c) {
    chip::Fault f;
    switch (c.usb) {
    case UsbFault::Fail: f = chip::Fault::FailPipe(c.endpoint, c.usbdStatus); break;
    case UsbFault::Short:
        // A control data stage or a bulk-in or status packet of nothing; a
        // bulk-out packet of which the chip took one byte.
        f = chip::Fault::LimitPipe(c.endpoint, c.endpoint == chip::kEndpointBulkOut ? 1 : 0);
        break;
    default: f = chip::Fault::HangPipe(c.endpoint); break;
    }
    f.match = chip::RequestMatch::Any();
    return f.After(static_cast<uint32_t>(c.nth - 1)).Times(1);
}

// Runs one step of the lifecycle, under `fault` when given, then recovers.
// Fills `found` with the cases of the step when `fault` is null.
sim::RunResult RunStep(const Step& step, const Case* fault, std::vector<Case>* found,
                       bool echo = false) {
    sim::Options o;
    o.echoTrace = echo;
    // Another schedule for the whole matrix: random:SEED or pct:SEED[:DEPTH].
    if (const char* schedule = std::getenv("BRIDGESER_FAULT_SCHEDULE")) {
        char strategy[16] = {};
        unsigned long long seed = 1;
        std::sscanf(schedule, "%15[a-z]:%llu:%d", strategy, &seed, &o.pctDepth);
        o.strategy = std::string(strategy) == "pct" ? sim::Strategy::Pct : sim::Strategy::Random;
        o.seed = seed;
    }
    sim::Simulation s(o);
    sim::usb::UsbBus bus;
    return s.Run([&] {
        Life l(s, bus);
        step.setup(l);
        std::map<std::string, int> callsBefore;
        for (const auto& r : s.faults().Routines()) callsBefore[r] = s.faults().Calls(r);
        const uint64_t allocationsBefore = s.pool().AllocationCount();
        PDEVICE_OBJECT pdo = l.node ? l.node->pdo : nullptr;
        const size_t transfersBefore = pdo ? bus.Transfers(kCable).size() : 0;
        bool lost = false;
        if (fault) {
            switch (fault->kind) {
            case Case::Kind::Call: s.faults().FailCall(fault->routine, fault->status,
                                                       static_cast<int>(fault->nth)); break;
            case Case::Kind::Pool: s.pool().FailNth(fault->nth); break;
            case Case::Kind::Usb:
                if (fault->usb == UsbFault::Pull) {
                    lost = true;
                    s.At(fault->pullAt, [&bus, pdo] { bus.Disconnect(pdo); }, "cable pulled");
                } else {
                    bus.Update(pdo, [&](chip::BridgeChip& c) { SIM_CHECK(c.InjectFault(ChipFault(*fault))); });
                }
                break;
            }
        }
        step.action(l);
        s.faults().Clear();
        s.pool().ClearFaults();
        // A rule the faulted run never reached must not follow into the recovery.
        if (pdo && !lost && l.node != nullptr && !l.node->removed)
            bus.Update(pdo, [](chip::BridgeChip& c) { c.ClearFaults(); });
        else if (pdo)
            bus.Chip(kCable).ClearFaults();
        if (found) {
            for (const auto& r : s.faults().Routines()) {
                int made = s.faults().Calls(r) - callsBefore[r];
                for (int k = 1; k <= made; ++k)
                    for (NTSTATUS st : StatusesFor(r))
                        found->push_back(Case{Case::Kind::Call, r, st, static_cast<uint64_t>(k)});
            }
            for (uint64_t k = 1; k <= s.pool().AllocationCount() - allocationsBefore; ++k)
                found->push_back(Case{Case::Kind::Pool, "", 0, k});
            if (pdo) {
                std::map<uint8_t, uint64_t> perEndpoint;
                auto log = bus.Transfers(kCable);
                for (size_t i = transfersBefore; i < log.size(); ++i) {
                    const uint8_t ep = EndpointOf(log[i]);
                    const uint64_t k = ++perEndpoint[ep];
                    Case c{Case::Kind::Usb, "", 0, k, ep};
                    for (uint32_t st : {chip::kUsbdStatusCrc, chip::kUsbdStatusStallPid,
                                        chip::kUsbdStatusDevNotResponding,
                                        chip::kUsbdStatusDataOverrun}) {
                        c.usb = UsbFault::Fail;
                        c.usbdStatus = st;
                        found->push_back(c);
                    }
                    c.usbdStatus = 0;
                    for (UsbFault f : {UsbFault::Short, UsbFault::Hang}) {
                        c.usb = f;
                        found->push_back(c);
                    }
                    c.usb = UsbFault::Pull;
                    c.pullAt = log[i].submitTime;
                    found->push_back(c);
                }
            }
        }
        const bool lostDevice = lost || (l.node != nullptr && l.node->removed);
        l.RecoverAndFinish(lostDevice);
    });
}

class FaultMatrix : public ::testing::TestWithParam<size_t> {};

TEST_P(FaultMatrix, EveryFallibleCallAndTransferOfTheStepFailedInTurn) {
    const Step& step = Steps()[GetParam()];
    std::vector<Case> cases;
    sim::RunResult clean = RunStep(step, nullptr, &cases);
    ASSERT_TRUE(clean.ok) << step.name << " without faults: " << clean.Report();
    ASSERT_EQ(!cases.empty(), step.fallible) << step.name << ": " << cases.size() << " cases";
    if (const char* only = std::getenv("BRIDGESER_FAULT_CASE")) {
        const size_t index = std::strtoul(only, nullptr, 10);
        ASSERT_LT(index, cases.size());
        sim::RunResult r = RunStep(step, &cases[index], nullptr, true);
        EXPECT_TRUE(r.ok) << step.name << ", case " << index << ": " << cases[index].Text()
                          << "\n" << r.Report();
        return;
    }
    int failed = 0;
    for (size_t i = 0; i < cases.size(); ++i) {
        sim::RunResult r = RunStep(step, &cases[i], nullptr);
        if (!r.ok && ++failed <= 3) {
            const char* schedule = std::getenv("BRIDGESER_FAULT_SCHEDULE");
            const std::string replay =
                schedule ? porttest::GtestReplayCommand({"BRIDGESER_FAULT_SCHEDULE=" +
                                                             std::string(schedule),
                                                         "BRIDGESER_FAULT_CASE=" +
                                                             std::to_string(i)})
                         : porttest::GtestReplayCommand({"BRIDGESER_FAULT_CASE=" +
                                                         std::to_string(i)});
            ADD_FAILURE() << step.name << ", case " << i << " of " << cases.size() << ": "
                          << cases[i].Text() << "; to replay it with its whole trace:\n  "
                          << replay << "\n" << r.Report();
        }
    }
    std::printf("fault matrix, %s: %zu cases run, %d failed\n", step.name, cases.size(), failed);
}

INSTANTIATE_TEST_SUITE_P(Lifecycle, FaultMatrix, ::testing::Range<size_t>(0, Steps().size()),
                         [](const ::testing::TestParamInfo<size_t>& info) {
                             return std::string(Steps()[info.param].name);
                         });

}  // namespace
