// The status pipe: what each report sets, which reports are ignored, and
// hardware flow control end to end on the chip and the line.
#include <gtest/gtest.h>

#include "sim/line/loopback_plug.h"
#include "tests/harness/port_rig.h"

namespace {

using namespace porttest;
using chip::Fault;

struct ReportCase {
    const char* name;
    ULONG handshake;  // SERIAL_HANDFLOW.ControlHandShake
    uint8_t modem;    // report byte 3
    UCHAR modemStatus;
    ULONG txHold;
    ULONG rxHold;
    ULONG events;
};

TEST(StatusPipe, ReportSetsShadowHoldsAndEvents) {
    const ReportCase cases[] = {
        {"CTS changed, CTS and DSR present", SERIAL_CTS_HANDSHAKE, 0x31, 0x30, 0, 0, SERIAL_EV_CTS},
        {"CTS absent under CTS and DCD handshakes", SERIAL_CTS_HANDSHAKE | SERIAL_DCD_HANDSHAKE,
         0x80, 0x80, TX_HOLD_CTS, 0, 0},
        {"every line absent under every handshake",
         SERIAL_CTS_HANDSHAKE | SERIAL_DSR_HANDSHAKE | SERIAL_DCD_HANDSHAKE, 0x00, 0x00,
         TX_HOLD_CTS | TX_HOLD_DSR | TX_HOLD_DCD, 0, 0},
        {"all four change bits", 0, 0x0F, 0x00, 0, 0,
         SERIAL_EV_CTS | SERIAL_EV_DSR | SERIAL_EV_RING | SERIAL_EV_RLSD},
        {"DSR absent with DSR sensitivity", SERIAL_DSR_SENSITIVITY, 0x10, 0x10, 0, RX_HOLD_DSR, 0},
        {"DSR handshake: DSR present, DCD absent", SERIAL_DSR_HANDSHAKE, 0x20, 0x20, 0, 0, 0},
        {"DSR handshake: DSR absent, DCD present", SERIAL_DSR_HANDSHAKE, 0x80, 0x80, TX_HOLD_DSR, 0,
         0},
        {"no handshake clears every hold", 0, 0x00, 0x00, 0, 0, 0},
    };
    for (const ReportCase& c : cases) {
        ExpectOk(RunOnPort({}, [&](PortRig& rig) {
            rig.ext->txHoldFlags = TX_HOLD_CTS | TX_HOLD_DSR | TX_HOLD_DCD;  // from before
            rig.ext->handFlow.ControlHandShake = c.handshake;
            rig.SetWaitMask(SERIAL_EV_VALID_MASK);
            const UCHAR report[4] = {0xE8, 0, 0, c.modem};
            ApplyStatusReport(rig.ext, report);
            EXPECT_EQ(rig.ext->modemStatus, c.modemStatus) << c.name;
            EXPECT_EQ(rig.ext->txHoldFlags, c.txHold) << c.name;
            EXPECT_EQ(rig.ext->rxHoldFlags, c.rxHold) << c.name;
            EXPECT_EQ(rig.ext->eventHistory, c.events) << c.name;
            EXPECT_EQ(rig.ext->statusReport[3], c.modem) << c.name;
        }));
    }
}

// Reports without the marker or shorter than 4 bytes change nothing, raise
// nothing, and the pipe goes on; a burst of reports leaves the last state; a
// failed transfer stops the pipe, and the close does not wait for it.
TEST(StatusPipe, MalformedReportsAreIgnoredAndFailedTransfersAreRetriedThenStopThePipe) {
    const Fault malformed[] = {Fault::BadStatusMarker(0x00),
                               Fault::LimitPipe(chip::kEndpointStatusIn, 3)};
    for (const Fault& f : malformed) {
        ExpectOk(RunOnPort({}, [&](PortRig& rig) {
            rig.SetWaitMask(SERIAL_EV_CTS);
            rig.Inject(f);
            rig.bus.Update(rig.node->pdo,
                           [&](chip::BridgeChip&) { rig.peer.SetLine(chip::kLineCts, true); });
            rig.Pass(5 * kMs);
            SIM_CHECK(rig.ext->statusReport[0] == STATUS_REPORT_NONE);
            SIM_CHECK(rig.ext->modemStatus == 0 && rig.ext->eventHistory == 0);
            SIM_CHECK(rig.ext->statusBusy);  // re-armed
        }));
    }
    ExpectOk(RunOnPort({}, [](PortRig& rig) {
        rig.SetWaitMask(SERIAL_EV_CTS | SERIAL_EV_DSR);
        for (int i = 0; i < 5; ++i) {
            rig.bus.Update(rig.node->pdo, [&](chip::BridgeChip&) {
                rig.peer.SetLine(chip::kLineCts, i % 2 == 0);
                rig.peer.SetLine(chip::kLineDsr, true);
            });
        }
        rig.Pass(20 * kMs);  // one report a frame
        SIM_CHECK((rig.ext->modemStatus & (MSR_CTS | MSR_DSR)) == (MSR_CTS | MSR_DSR));
        SIM_CHECK(rig.ext->eventHistory != 0);
    }));
    // Failed transfers are sent again and the report still arrives; the
    // third failure in a row stops the pipe, and the close does not wait
    // for it.
    for (uint32_t failures : {2u, 3u}) {
        SCOPED_TRACE(failures);
        ExpectOk(RunOnPort({}, [failures](PortRig& rig) {
            rig.Inject(Fault::FailPipe(chip::kEndpointStatusIn, chip::kUsbdStatusCrc)
                           .Times(failures));
            rig.bus.Update(rig.node->pdo,
                           [&](chip::BridgeChip&) { rig.peer.SetLine(chip::kLineCts, true); });
            rig.Pass(5 * kMs);
            const bool stopped = failures >= IN_TRANSFER_RETRY_LIMIT;
            SIM_CHECK(rig.ext->statusBusy == !stopped);
            SIM_CHECK(((rig.ext->modemStatus & MSR_CTS) != 0) == !stopped);
            const uint64_t before = rig.Now();
            rig.Close();  // its one second of settling, and no wait for the stopped pipe
            SIM_CHECK(rig.Now() - before < 1000 * kMs + 6 * kMs);  // and two cancelled transfers
        }));
    }
}

// With the CTS handshake, a peer that drops CTS in the middle of a 10 kB
// write stops the chunks within one chunk of the change; raising it resumes
// the write; the peer receives exactly the 10 kB, in order.
TEST(FlowControl, CtsHoldsAndReleasesALongWrite) {
    ExpectOk(RunOnPort({}, [](PortRig& rig) {
        rig.SetPeerLine(chip::kLineCts, true);
        SERIAL_HANDFLOW flow{};
        flow.ControlHandShake = SERIAL_CTS_HANDSHAKE;
        SIM_CHECK(NT_SUCCESS(rig.Control(IOCTL_SERIAL_SET_HANDFLOW, &flow, sizeof flow)));
        rig.Pass(5 * kMs);
        const auto data = Pattern(10240);
        sim::Overlapped write;
        SIM_CHECK(rig.sim.io().WriteAsync(rig.handle, data.data(), 10240, &write) ==
                  STATUS_PENDING);
        rig.Pass(300 * kMs);
        const uint64_t dropped = rig.Now();
        rig.SetPeerLine(chip::kLineCts, false);
        rig.Pass(300 * kMs);
        const uint64_t raised = rig.Now();
        SIM_CHECK(rig.ext->txHoldFlags == TX_HOLD_CTS);
        rig.SetPeerLine(chip::kLineCts, true);
        SIM_CHECK(rig.sim.io().Wait(&write) == STATUS_SUCCESS && write.iosb.Information == 10240);
        int startedWhileHeld = 0;
        for (auto& t : rig.BulkOut())
            if (t.submitTime > dropped && t.submitTime < raised) ++startedWhileHeld;
        SIM_CHECK(startedWhileHeld <= 1);
        rig.Pass(200 * kMs);
        SIM_CHECK(rig.PeerGot() == data);
    }));
}

// With DSR sensitivity, a peer that drops DSR stops reception after the
// transfer in flight; raising it resumes, and the reader gets every byte.
TEST(FlowControl, DsrSensitivityHoldsAndReleasesReception) {
    ExpectOk(RunOnPort({}, [](PortRig& rig) {
        rig.SetPeerLine(chip::kLineDsr, true);
        SERIAL_HANDFLOW flow{};
        flow.ControlHandShake = SERIAL_DSR_SENSITIVITY;
        SIM_CHECK(NT_SUCCESS(rig.Control(IOCTL_SERIAL_SET_HANDFLOW, &flow, sizeof flow)));
        rig.Pass(5 * kMs);
        rig.SetPeerLine(chip::kLineDsr, false);
        rig.Pass(5 * kMs);
        SIM_CHECK(rig.ext->rxHoldFlags == RX_HOLD_DSR);
        rig.PeerSends(Pattern(200));
        rig.Pass(100 * kMs);
        SIM_CHECK(rig.ext->rxRingCount <= BRIDGE_MAX_TRANSFER);  // only the transfer in flight
        SIM_CHECK(!rig.ext->bulkInBusy);
        rig.SetPeerLine(chip::kLineDsr, true);
        rig.Pass(100 * kMs);
        std::vector<uint8_t> got(200);
        ULONG n = 0;
        SIM_CHECK(rig.sim.io().Read(rig.handle, got.data(), 200, &n) == STATUS_SUCCESS);
        SIM_CHECK(got == Pattern(200));
    }));
}

// Full duplex through the loopback plug: 100 kB written and read back at
// 115200 8N1, identical.
TEST(FlowControl, HundredKilobytesThroughTheLoopbackPlug) {
    ExpectOk(RunOnPort({}, [](PortRig& rig) {
        line::LoopbackPlug plug;
        rig.bus.AttachFarEnd(rig.node->pdo, &plug);
        constexpr size_t kTotal = 100000;
        const auto data = Pattern(kTotal);
        rig.SetTimeouts(50, 0, 0);
        sim::ThreadId writer = rig.sim.StartThread("writer", [&] {
            for (size_t at = 0; at < kTotal; at += 4000) {
                ULONG n = 0;
                SIM_CHECK(rig.sim.io().Write(rig.handle, data.data() + at, 4000, &n) ==
                          STATUS_SUCCESS);
            }
        });
        std::vector<uint8_t> got;
        std::vector<uint8_t> chunk(1024);
        while (got.size() < kTotal) {
            ULONG n = 0;
            NTSTATUS st = rig.sim.io().Read(rig.handle, chunk.data(), 1024, &n);
            SIM_CHECK(st == STATUS_SUCCESS || st == STATUS_TIMEOUT);
            if (n == 0) break;
            got.insert(got.end(), chunk.begin(), chunk.begin() + n);
        }
        rig.sim.Join(writer);
        SIM_CHECK(got == data);
        rig.bus.AttachFarEnd(rig.node->pdo, &rig.peer);
    }));
}

// A start asked for while a transfer holds its slot (a status report's pump
// meets a chunk or a bulk-in transfer in flight) is not made once a hold
// the driver knows of is in force: at 300 baud a DSR change and then a CTS
// drop send no further chunk; with DSR sensitivity a CTS change and then a
// DSR drop re-arm no bulk-in transfer.
TEST(FlowControl, AStartLeftWithABusySlotWaitsForTheHoldToEnd) {
    const struct {
        const char* what;
        ULONG handshake;
        uint8_t first, held;  // the line that changes first, the one that holds
        uint8_t endpoint;
    } cases[] = {
        {"CTS handshake, writing", SERIAL_CTS_HANDSHAKE, chip::kLineDsr, chip::kLineCts,
         chip::kEndpointBulkOut},
        {"DSR sensitivity, receiving", SERIAL_DSR_SENSITIVITY, chip::kLineCts, chip::kLineDsr,
         chip::kEndpointBulkIn},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ExpectOk(RunOnPort(
            {},
            [&](PortRig& rig) {
                rig.SetPeerLine(chip::kLineCts, true);
                rig.SetPeerLine(chip::kLineDsr, true);
                SERIAL_BAUD_RATE rate{300};
                SIM_CHECK(NT_SUCCESS(rig.Control(IOCTL_SERIAL_SET_BAUD_RATE, &rate, sizeof rate)));
                SERIAL_HANDFLOW flow{};
                flow.ControlHandShake = c.handshake;
                SIM_CHECK(NT_SUCCESS(rig.Control(IOCTL_SERIAL_SET_HANDFLOW, &flow, sizeof flow)));
                rig.Pass(5 * kMs);
                const auto data = Pattern(1000);
                sim::Overlapped write;
                if (c.endpoint == chip::kEndpointBulkOut) {
                    rig.sim.io().WriteAsync(rig.handle, data.data(), 1000, &write);
                } else {
                    rig.PeerSends(data);
                }
                rig.Pass(2000 * kMs);
                rig.SetPeerLine(c.first, false);
                rig.Pass(2 * kMs);
                rig.SetPeerLine(c.held, false);
                rig.Pass(10000 * kMs);
                SIM_CHECK(!rig.SentUnderKnownHold(c.endpoint, c.held));
                rig.SetPeerLine(c.held, true);
                rig.SetPeerLine(c.first, true);
                if (c.endpoint == chip::kEndpointBulkOut) {
                    SIM_CHECK(rig.sim.io().Wait(&write) == STATUS_SUCCESS);
                }
                const ULONG purge = SERIAL_PURGE_RXCLEAR;
                SIM_CHECK(NT_SUCCESS(rig.Control(IOCTL_SERIAL_PURGE, &purge, sizeof purge)));
            },
            line::LineSettings::Baud(300)));
    }
}

// A handshake setting takes effect at once, from the line levels last
// reported: with CTS low, turning the CTS handshake on holds a 100-byte
// write after its first chunk (GET_COMMSTATUS says why), and turning it off
// lets the rest go without any line change.
TEST(FlowControl, AHandshakeChangeAppliesAtOnce) {
    ExpectOk(RunOnPort({}, [](PortRig& rig) {
        rig.SetPeerLine(chip::kLineCts, false);
        rig.Pass(5 * kMs);
        SERIAL_HANDFLOW flow{};
        flow.ControlHandShake = SERIAL_CTS_HANDSHAKE;
        SIM_CHECK(NT_SUCCESS(rig.Control(IOCTL_SERIAL_SET_HANDFLOW, &flow, sizeof flow)));
        SERIAL_STATUS status{};
        SIM_CHECK(NT_SUCCESS(
            rig.Control(IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &status, sizeof status)));
        SIM_CHECK(status.HoldReasons == SERIAL_TX_WAITING_FOR_CTS);
        const auto data = Pattern(100);
        sim::Overlapped write;
        SIM_CHECK(rig.sim.io().WriteAsync(rig.handle, data.data(), 100, &write) == STATUS_PENDING);
        rig.Pass(50 * kMs);
        SIM_CHECK(rig.BulkOut().size() == 1 && rig.BulkOut()[0].moved == BRIDGE_MAX_TRANSFER);
        flow.ControlHandShake = 0;
        SIM_CHECK(NT_SUCCESS(rig.Control(IOCTL_SERIAL_SET_HANDFLOW, &flow, sizeof flow)));
        SIM_CHECK(rig.sim.io().Wait(&write, 50 * kMs) == STATUS_SUCCESS);
        SIM_CHECK(write.iosb.Information == 100);
    }));
}

}  // namespace
