// The cable pulled out at a seeded moment during full-duplex traffic, with a
// current and a queued read, a current and a queued write and a pending
// wait: every request ends exactly once, nothing leaks, and the same cable
// plugged in again is the same COM port and carries data.
#include <gtest/gtest.h>

#include <algorithm>
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
// to D0 through the power manager; power changes only bookkeeping, so an
// idle read and a long write with its read-back, in flight across the sleep,
// stay pending and complete afterwards with every byte, and the port still
// carries data.
TEST(Removal, SleepAndResumeWithThePortOpen) {
    ExpectOk(RunOnPort({}, [](PortRig& rig) {
        line::LoopbackPlug plug;
        rig.bus.AttachFarEnd(rig.node->pdo, &plug);
        auto& pnp = rig.sim.pnp();
        auto& io = rig.sim.io();
        uint8_t held[4];
        sim::Overlapped idle, write, readBack;
        SIM_CHECK(io.ReadAsync(rig.handle, held, 4, &idle) == STATUS_PENDING);
        DEVICE_CAPABILITIES caps{};
        SIM_CHECK(NT_SUCCESS(pnp.SendPnp(rig.node, IRP_MN_QUERY_CAPABILITIES, &caps)));
        // 2000 bytes at 9600 baud take about 2 s: the sleep comes in the middle.
        SERIAL_BAUD_RATE baud{9600};
        SIM_CHECK(NT_SUCCESS(rig.Control(IOCTL_SERIAL_SET_BAUD_RATE, &baud, sizeof baud)));
        const auto data = Pattern(2000, 3);
        std::vector<uint8_t> back(2000);
        SIM_CHECK(io.WriteAsync(rig.handle, data.data(), 2000, &write) == STATUS_PENDING);
        rig.Pass(200 * kMs);
        SIM_CHECK(NT_SUCCESS(pnp.Sleep(rig.node, PowerSystemSleeping3)));
        rig.Pass(10 * kMs);
        SIM_CHECK(rig.ext->devicePowerState == PowerDeviceD3);
        SIM_CHECK(rig.bus.PdoPowerState(rig.node->pdo) == PowerDeviceD3);
        SIM_CHECK(!write.done);
        SIM_CHECK(NT_SUCCESS(pnp.Wake(rig.node)));
        rig.Pass(10 * kMs);
        SIM_CHECK(rig.ext->devicePowerState == PowerDeviceD0);
        SIM_CHECK(io.Wait(&write) == STATUS_SUCCESS && write.iosb.Information == 2000);
        // The idle read took the first four bytes back; the rest follow.
        SIM_CHECK(io.Wait(&idle) == STATUS_SUCCESS && std::memcmp(held, data.data(), 4) == 0);
        rig.SetTimeouts(50, 0, 0);
        ULONG n = 0;
        SIM_CHECK(NT_SUCCESS(io.Read(rig.handle, back.data(), 1996, &n)));
        SIM_CHECK(n == 1996 && std::equal(back.begin(), back.begin() + 1996, data.begin() + 4));
        LoopbackCheck(rig);
        rig.bus.AttachFarEnd(rig.node->pdo, &rig.peer);
    }));
}

// A wake-capable hub port: S3 maps to D2 and the device can wake from it.
sim::usb::UsbBusOptions WakeCapableBus() {
    sim::usb::UsbBusOptions options;
    for (int s = PowerSystemSleeping1; s <= PowerSystemSleeping3; ++s)
        options.powerMap.deviceState[s] = PowerDeviceD2;
    options.powerMap.deviceWake = PowerDeviceD2;
    options.powerMap.systemWake = PowerSystemSleeping3;
    return options;
}

// A system sleep and wake on one thread while the cable is pulled at a
// seeded moment on another, with a write and a read in flight on a
// wake-capable port: device power requests, the held system request and the
// removal meet in every order; every request ends once, the removal follows
// the handle's close, and nothing is left behind.
TEST(Removal, CablePulledDuringSleepAndWake) {
    Explore("cable pulled during sleep", 300, [](const sim::Options& o) {
        return RunOnPort(
            o,
            [](PortRig& rig) {
                line::LoopbackPlug plug;
                rig.bus.AttachFarEnd(rig.node->pdo, &plug);
                auto& pnp = rig.sim.pnp();
                auto& io = rig.sim.io();
                DEVICE_CAPABILITIES caps{};
                SIM_CHECK(NT_SUCCESS(pnp.SendPnp(rig.node, IRP_MN_QUERY_CAPABILITIES, &caps)));
                const auto data = Pattern(300);
                uint8_t in[300];
                sim::Overlapped write, read;
                SIM_CHECK(io.WriteAsync(rig.handle, data.data(), 300, &write) == STATUS_PENDING);
                io.ReadAsync(rig.handle, in, 300, &read);
                sim::DeviceNode* node = rig.node;
                NTSTATUS slept = STATUS_PENDING, woke = STATUS_PENDING;
                sim::ThreadId sleeper = rig.sim.StartThread("sleeper", [&] {
                    slept = pnp.Sleep(node, PowerSystemSleeping3);
                    woke = pnp.Wake(node);
                });
                // Mostly at once, the order left to the schedule; otherwise
                // up to 2 ms later.
                if (rig.sim.Random() % 4 == 0) rig.Pass((rig.sim.Random() % 20) * 1000);
                pnp.Unplug(node);
                rig.sim.Join(sleeper);
                SIM_CHECK(slept == STATUS_SUCCESS && woke == STATUS_SUCCESS);
                for (auto* ov : {&write, &read}) {
                    io.Wait(ov);
                    SIM_CHECK(ov->iosb.Status == STATUS_SUCCESS ||
                              ov->iosb.Status == STATUS_CANCELLED);
                }
                rig.Close();
                SIM_CHECK(node->removed && rig.sim.pool().LiveCountAll() == 0);
            },
            {}, WakeCapableBus());
    });
}

// Minor functions of the PnP requests that reached the PDO.
std::vector<UCHAR> PnpAtPdo(PortRig& rig) {
    std::vector<UCHAR> out;
    for (const auto& r : rig.bus.StackRequests(kCable))
        if (r.major == IRP_MJ_PNP) out.push_back(r.minor);
    return out;
}

// Pulled out while the application holds the port open: the device's
// requests end, the name goes, and the requests the application still sends
// on its handle reach the driver and fail as on a closed port. The removal
// request waits for the handle and then goes to the PDO (the driver left the
// stack at the surprise removal); the driver unloads with nothing left.
TEST(Removal, SurpriseRemovalWhileTheHandleStaysOpen) {
    ExpectOk(RunOnPort({}, [](PortRig& rig) {
        auto& io = rig.sim.io();
        const std::string name = "\\\\.\\" + rig.node->portName;
        uint8_t buffer[8] = {};
        sim::Overlapped read;
        SIM_CHECK(io.ReadAsync(rig.handle, buffer, 8, &read) == STATUS_PENDING);
        rig.sim.pnp().Unplug(rig.node);
        SIM_CHECK(io.Wait(&read) == STATUS_CANCELLED);
        SIM_CHECK(rig.node->removalWaiting && !rig.node->removed);
        SIM_CHECK(PnpAtPdo(rig).back() == IRP_MN_SURPRISE_REMOVAL);

        ULONG word = 0, n = 0;
        SIM_CHECK(io.Read(rig.handle, buffer, 8, &n) == STATUS_INVALID_DEVICE_REQUEST);
        SIM_CHECK(io.Write(rig.handle, buffer, 8) == STATUS_INVALID_DEVICE_REQUEST);
        SIM_CHECK(rig.Control(IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, &word, 4) ==
                  STATUS_INVALID_DEVICE_REQUEST);
        SIM_CHECK(rig.Control(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &word, 4) ==
                  STATUS_INVALID_DEVICE_REQUEST);
        NTSTATUS status = STATUS_SUCCESS;
        SIM_CHECK(io.Open(name, &status) == sim::kInvalidHandle && !NT_SUCCESS(status));

        rig.Close();
        SIM_CHECK(rig.node->removed && !rig.node->removalWaiting);
        auto requests = rig.bus.StackRequests(kCable);
        SIM_CHECK(requests.back().minor == IRP_MN_REMOVE_DEVICE &&
                  requests.back().statusSeen == STATUS_SUCCESS);
        SIM_CHECK(rig.sim.pool().LiveCountAll() == 0);
    }));
}


// Asleep in D2 with the port open and a wait-wake held by the bus. Ended by
// a wake event, the driver asks for D0 and the port works; ended by the
// cable pulled out, the wait-wake fails with the bus's status while the
// application closes its handle at once, so the removal and the end of the
// driver's wait-wake dispatch meet in either order.
TEST(Removal, WaitWakeEndedByAWakeEventOrByRemoval) {
    for (int ending = 0; ending < 3; ++ending) {
        const bool pulled = ending > 0, closedFirst = ending == 2;
        Explore(ending == 0   ? "wait-wake ended by a wake event"
                : ending == 1 ? "wait-wake ended by removal, handle open"
                              : "wait-wake ended by removal, handle closed",
                100, [pulled, closedFirst](const sim::Options& o) {
        return RunOnPort(
            o,
            [pulled, closedFirst](PortRig& rig) {
                line::LoopbackPlug plug;
                rig.bus.AttachFarEnd(rig.node->pdo, &plug);
                auto& pnp = rig.sim.pnp();
                PDEVICE_OBJECT pdo = rig.node->pdo;
                DEVICE_CAPABILITIES caps{};
                SIM_CHECK(NT_SUCCESS(pnp.SendPnp(rig.node, IRP_MN_QUERY_CAPABILITIES, &caps)));
                SIM_CHECK(caps.DeviceWake == PowerDeviceD2 && rig.ext->deviceWakeState == PowerDeviceD2);
                SIM_CHECK(NT_SUCCESS(pnp.Sleep(rig.node, PowerSystemSleeping3)));
                rig.Pass(kMs);
                SIM_CHECK(rig.ext->devicePowerState == PowerDeviceD2);
                NTSTATUS wake = STATUS_PENDING;
                sim::DeviceNode* node = rig.node;
                sim::ThreadId t = rig.sim.StartThread("wait-wake", [&] {
                    POWER_STATE s;
                    s.SystemState = PowerSystemSleeping3;
                    wake = pnp.SendPower(node, IRP_MN_WAIT_WAKE, SystemPowerState, s);
                });
                rig.Pass(5 * kMs);
                auto requests = rig.bus.StackRequests(pdo);
                SIM_CHECK(requests.back().minor == IRP_MN_WAIT_WAKE &&
                          requests.back().completedWith == 0 && wake == STATUS_PENDING);
                if (!pulled) {
                    SIM_CHECK(rig.bus.SignalWake(pdo));
                    rig.sim.Join(t);
                    SIM_CHECK(wake == STATUS_SUCCESS);
                    rig.Pass(5 * kMs);
                    SIM_CHECK(rig.ext->devicePowerState == PowerDeviceD0 &&
                              rig.bus.PdoPowerState(pdo) == PowerDeviceD0);
                    SIM_CHECK(NT_SUCCESS(pnp.Wake(rig.node)));
                    LoopbackCheck(rig);
                    rig.bus.AttachFarEnd(pdo, &rig.peer);
                    return;
                }
                if (closedFirst) rig.Close();
                pnp.Unplug(rig.node);
                if (!closedFirst) rig.Close();
                rig.sim.Join(t);
                SIM_CHECK(wake == STATUS_NO_SUCH_DEVICE);
                SIM_CHECK(rig.node->removed && rig.sim.pool().LiveCountAll() == 0);
            },
            {}, WakeCapableBus());
        });
    }
}

// Requests inside the driver while the cable is pulled: a second thread
// loops one kind of request while the main thread pulls the cable at a
// seeded moment. Each request ends with a status an application can act
// on, and the device goes only when no request is inside the driver any
// more (the verifier stops the run otherwise).
TEST(Removal, RequestsInsideTheDriverWhileTheCableIsPulled) {
    enum class Kind { Read, PrivateRequest, Open };
    const struct {
        const char* name;
        Kind kind;
    } kinds[] = {{"reads", Kind::Read},
                 {"private register requests", Kind::PrivateRequest},
                 {"opens", Kind::Open}};
    const NTSTATUS acceptable[] = {STATUS_SUCCESS,         STATUS_TIMEOUT,
                                   STATUS_CANCELLED,       STATUS_DELETE_PENDING,
                                   STATUS_INVALID_DEVICE_REQUEST, STATUS_DEVICE_NOT_CONNECTED,
                                   STATUS_NO_SUCH_DEVICE,  STATUS_OBJECT_NAME_NOT_FOUND,
                                   STATUS_DEVICE_NOT_READY, STATUS_ACCESS_DENIED};
    for (const auto& k : kinds) {
        SCOPED_TRACE(k.name);
        Explore(k.name, 1000, [&](const sim::Options& o) {
            return RunOnPort(o, [&](PortRig& rig) {
                auto& io = rig.sim.io();
                const std::string name = "\\\\.\\" + rig.node->portName;
                rig.SetTimeouts(MAXULONG, 0, 0);  // reads return at once
                if (k.kind == Kind::Open) rig.Close();
                auto ok = [&](NTSTATUS status) {
                    return std::find(std::begin(acceptable), std::end(acceptable), status) !=
                           std::end(acceptable);
                };
                sim::ThreadId user = rig.sim.StartThread("user", [&] {
                    for (int i = 0; i < 20; ++i) {
                        NTSTATUS status = STATUS_SUCCESS;
                        uint8_t buffer[8] = {0, 0, 0, 0, UART_REG_MODEM_STATUS, 0, 0, 0};
                        if (k.kind == Kind::Read) {
                            status = io.Read(rig.handle, buffer, sizeof buffer);
                        } else if (k.kind == Kind::PrivateRequest) {
                            status = io.DeviceIoControl(rig.handle, IOCTL_BRIDGE_READ_REGISTER,
                                                        buffer, 6, buffer, 1);
                        } else {
                            sim::Handle h = io.Open(name, &status);
                            if (h != sim::kInvalidHandle) SIM_CHECK(NT_SUCCESS(io.Close(h)));
                        }
                        SIM_CHECK(ok(status));
                    }
                });
                rig.Pass(rig.sim.Random() % (30 * kMs));
                rig.sim.pnp().Unplug(rig.node);
                rig.sim.Join(user);
                if (rig.handle != sim::kInvalidHandle) rig.Close();
                SIM_CHECK(rig.node->removed);
            });
        });
    }
}

// A port that stays open while the device leaves service and comes back (a
// cancelled removal; a stop and start after a query-stop that an open
// raced) gets its transfers back: its pipes count as open, an EV_CTS wait
// ends when CTS drops, and a long write under the CTS handshake goes out.
TEST(Removal, AnOpenPortBackInServiceWorks) {
    const struct {
        const char* what;
        void (*leaveAndReturn)(PortRig&);
    } events[] = {
        {"query-remove then cancel-remove",
         [](PortRig& rig) {
             rig.PeerSends(Pattern(20));
             rig.Pass(10 * kMs);
             SIM_CHECK(rig.ext->rxRingCount == 20);
             SIM_CHECK(NT_SUCCESS(rig.sim.pnp().SendPnp(rig.node, IRP_MN_QUERY_REMOVE_DEVICE)));
             SIM_CHECK(NT_SUCCESS(rig.sim.pnp().SendPnp(rig.node, IRP_MN_CANCEL_REMOVE_DEVICE)));
             SIM_CHECK(rig.ext->rxRingCount == 0);  // stopping all I/O empties the ring
         }},
        {"an open after query-stop, then stop and start",
         [](PortRig& rig) {
             rig.Close();
             SIM_CHECK(NT_SUCCESS(rig.sim.pnp().SendPnp(rig.node, IRP_MN_QUERY_STOP_DEVICE)));
             rig.handle = rig.sim.io().Open("\\\\.\\" + rig.node->portName);
             SIM_CHECK(rig.handle != sim::kInvalidHandle);
             SIM_CHECK(NT_SUCCESS(rig.sim.pnp().SendPnp(rig.node, IRP_MN_STOP_DEVICE)));
             SIM_CHECK(NT_SUCCESS(rig.sim.pnp().SendPnp(rig.node, IRP_MN_START_DEVICE)));
             ULONG lines = 0;  // the open's one-shot line report
             SIM_CHECK(NT_SUCCESS(
                 rig.Control(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &lines, sizeof lines)));
         }},
    };
    for (const auto& e : events) {
        SCOPED_TRACE(e.what);
        ExpectOk(RunOnPort({}, [&](PortRig& rig) {
            rig.SetPeerLine(chip::kLineCts, true);
            e.leaveAndReturn(rig);
            SIM_CHECK(rig.ext->openPipeCount == BRIDGE_PIPE_COUNT);
            SERIAL_HANDFLOW flow{};
            flow.ControlHandShake = SERIAL_CTS_HANDSHAKE;
            SIM_CHECK(NT_SUCCESS(rig.Control(IOCTL_SERIAL_SET_HANDFLOW, &flow, sizeof flow)));
            rig.SetWaitMask(SERIAL_EV_CTS);
            ULONG events = 0;
            sim::Overlapped wait;
            SIM_CHECK(rig.sim.io().DeviceIoControlAsync(rig.handle, IOCTL_SERIAL_WAIT_ON_MASK,
                                                        nullptr, 0, &events, 4,
                                                        &wait) == STATUS_PENDING);
            rig.Pass(5 * kMs);
            rig.SetPeerLine(chip::kLineCts, false);
            SIM_CHECK(rig.sim.io().Wait(&wait, 100 * kMs) == STATUS_SUCCESS);
            SIM_CHECK(events == SERIAL_EV_CTS);
            rig.SetPeerLine(chip::kLineCts, true);
            const auto data = Pattern(1000);
            sim::Overlapped write;
            rig.sim.io().WriteAsync(rig.handle, data.data(), 1000, &write);
            SIM_CHECK(rig.sim.io().Wait(&write, 1000 * kMs) == STATUS_SUCCESS);
            SIM_CHECK(write.iosb.Information == 1000);
        }));
    }
}

// A stop cannot fail: it goes down the stack with success even when the
// request that deconfigures the device cannot be built.
TEST(Removal, AStopSucceedsAndGoesDownWhateverItsRequestsMeet) {
    ExpectOk(RunOnPort({}, [](PortRig& rig) {
        rig.Close();
        SIM_CHECK(NT_SUCCESS(rig.sim.pnp().SendPnp(rig.node, IRP_MN_QUERY_STOP_DEVICE)));
        rig.sim.faults().FailAlways("IoAllocateIrp", 0);
        SIM_CHECK(rig.sim.pnp().SendPnp(rig.node, IRP_MN_STOP_DEVICE) == STATUS_SUCCESS);
        rig.sim.faults().Clear();
        auto requests = rig.bus.StackRequests(kCable);
        SIM_CHECK(requests.back().minor == IRP_MN_STOP_DEVICE &&
                  requests.back().completedWith == STATUS_SUCCESS);
        SIM_CHECK(!rig.ext->started);
        SIM_CHECK(NT_SUCCESS(rig.sim.pnp().SendPnp(rig.node, IRP_MN_START_DEVICE)));
    }));
}

}  // namespace
