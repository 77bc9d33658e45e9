// Races of the transmit path, explored over many schedules with the
// verifier on. Conservation: the peer receives the bytes of every completed
// write in order, exactly once; for a cancelled or timed-out write, the
// bytes its information reports plus at most the one chunk that was with the
// device when it ended; no byte of a later write is skipped or doubled.
// Each write carries one byte value of its own, so the peer's stream is a
// run per write.
#include <gtest/gtest.h>

#include "tests/harness/explore.h"
#include "tests/harness/port_rig.h"

namespace {

using namespace porttest;
using chip::Fault;

struct WriteOutcome {
    uint8_t value;
    ULONG length;
    NTSTATUS status;
    ULONG information;
};

// Checks the peer's stream against the writes, in the order they were made
// current (the order of `writes`).
void CheckRuns(const std::vector<uint8_t>& stream, const std::vector<WriteOutcome>& writes) {
    size_t at = 0;
    for (const WriteOutcome& w : writes) {
        size_t run = 0;
        while (at < stream.size() && stream[at] == w.value) ++at, ++run;
        SIM_CHECK(run >= w.information);
        if (w.status == STATUS_SUCCESS)
            SIM_CHECK(run == w.length && w.information == w.length);
        else
            SIM_CHECK(run <= w.length && run <= w.information + BRIDGE_MAX_TRANSFER);
    }
    SIM_CHECK(at == stream.size());  // nothing else, nothing doubled
}

// A write whose time-out expires on the very tick its chunk completes, with
// the next write queued behind it: either may win, the next write still ends
// by its own time-out and never earlier, and the counts stay right. The tick
// comes from the bus: the second write is promoted, with its 1 ms time-out
// armed, by the completion of the first write's one-byte chunk, and its own
// one-byte chunk completes at the same offset of the next frame.
TEST(TransmitRaces, TimeOutOnTheTickTheWriteEnds) {
    int timerWon = 0, chunkWon = 0;  // both must occur, or nothing raced
    Explore("write time-out on the tick its chunk completes", 1000, [&](const sim::Options& o) {
        return RunOnPort(o, [&](PortRig& rig) {
            rig.Inject(Fault::HangPipe(chip::kEndpointBulkOut).After(2));
            const uint8_t first = 1, second = 2;
            const std::vector<uint8_t> third(5, 3);
            sim::Overlapped w0, w1, w2;
            rig.SetWriteTimeouts(0, 0);  // the first write has no time-out
            SIM_CHECK(rig.sim.io().WriteAsync(rig.handle, &first, 1, &w0) == STATUS_PENDING);
            rig.SetWriteTimeouts(1, 0);  // 1 ms a byte for the writes promoted later
            SIM_CHECK(rig.sim.io().WriteAsync(rig.handle, &second, 1, &w1) == STATUS_PENDING);
            SIM_CHECK(rig.sim.io().WriteAsync(rig.handle, third.data(), 5, &w2) == STATUS_PENDING);
            SIM_CHECK(rig.sim.io().Wait(&w0) == STATUS_SUCCESS);
            NTSTATUS s1 = rig.sim.io().Wait(&w1);
            SIM_CHECK(s1 == STATUS_SUCCESS || s1 == STATUS_TIMEOUT);
            ++(s1 == STATUS_TIMEOUT ? timerWon : chunkWon);
            // The third write's chunk hangs, unless a slow completion sent it
            // in the second's place (the second then timed out with nothing).
            NTSTATUS s2 = rig.sim.io().Wait(&w2);
            SIM_CHECK(s2 == STATUS_TIMEOUT || (s2 == STATUS_SUCCESS && s1 == STATUS_TIMEOUT));
            // The third write became current as the second ended and its 5 ms
            // count from there: a stale expiry of the second's timer would end
            // it on that same tick. (The completion that promotes it may be
            // preempted for up to the clock's look-ahead before the second
            // write's completion is recorded.)
            if (s2 == STATUS_TIMEOUT) SIM_CHECK(w2.completedAt + kMs >= w1.completedAt + 5 * kMs);
            rig.Pass(20 * kMs);
            CheckRuns(rig.PeerGot(), {{1, 1, STATUS_SUCCESS, 1},
                                      {2, 1, s1, static_cast<ULONG>(w1.iosb.Information)},
                                      {3, 5, s2, static_cast<ULONG>(w2.iosb.Information)}});
            SIM_CHECK(rig.ext->writeQueuedBytes == 0);
        });
    });
    if (!std::getenv("BRIDGESER_REPLAY")) {
        EXPECT_TRUE(timerWon > 0 && chunkWon > 0) << timerWon << " " << chunkWon;
    }
}

// Writes from two threads, cancellation at random moments, short time-outs,
// and status reports pumping the bulk-out transfer: exactly one transfer in
// flight at any time, and every byte accounted for.
TEST(TransmitRaces, WritersCancelsTimeOutsAndThePump) {
    Explore("two writers vs cancel vs time-out vs pump", 1000, [](const sim::Options& o) {
        return RunOnPort(o, [](PortRig& rig) {
            std::vector<WriteOutcome> made;  // in the order writes became current
            uint8_t nextValue = 1;
            auto writer = [&](int writes) {
                for (int i = 0; i < writes; ++i) {
                    const uint8_t value = nextValue++;
                    const ULONG length = 1 + static_cast<ULONG>(rig.sim.Random() % 150);
                    std::vector<uint8_t> data(length, value);
                    sim::Overlapped ov;
                    NTSTATUS st = rig.sim.io().WriteAsync(rig.handle, data.data(), length, &ov);
                    if (st == STATUS_PENDING) {
                        rig.Pass(rig.sim.Random() % (4 * kMs));
                        if (rig.sim.Random() % 3 == 0) rig.sim.io().CancelIo(rig.handle);
                        st = rig.sim.io().Wait(&ov);
                    }
                    made.push_back({value, length, st, static_cast<ULONG>(ov.iosb.Information)});
                }
            };
            rig.SetWriteTimeouts(0, 12);
            sim::ThreadId other = rig.sim.StartThread("writer2", [&] { writer(4); });
            sim::ThreadId lines = rig.sim.StartThread("lines", [&] {
                for (int i = 0; i < 6; ++i) {
                    rig.Pass(rig.sim.Random() % (3 * kMs));
                    rig.bus.Update(rig.node->pdo, [&](chip::BridgeChip&) {
                        rig.peer.SetLine(chip::kLineDsr, i % 2 == 0);
                    });
                }
            });
            writer(4);
            rig.sim.Join(other);
            rig.sim.Join(lines);
            rig.Pass(30 * kMs);
            // One transfer at a time on the pipe.
            auto out = rig.BulkOut();
            for (size_t i = 1; i < out.size(); ++i)
                SIM_CHECK(out[i].submitTime >= out[i - 1].completeTime);
            // Writes of the two threads became current in the order their
            // bytes show on the line; sort the outcomes into that order.
            std::vector<uint8_t> stream = rig.PeerGot();
            std::vector<WriteOutcome> ordered;
            for (uint8_t v : stream)
                if (ordered.empty() || ordered.back().value != v)
                    for (auto& w : made)
                        if (w.value == v) ordered.push_back(w);
            for (auto& w : made) {
                bool seen = false;
                for (auto& x : ordered) seen |= x.value == w.value;
                if (!seen) ordered.push_back(w);  // nothing of it on the line
            }
            CheckRuns(stream, ordered);
            SIM_CHECK(rig.ext->writeQueuedBytes == 0);
        });
    });
}

// Status reports that change the CTS hold while writes end and begin: every
// write completes, and every byte reaches the peer once, in order.
TEST(TransmitRaces, HoldChangesWhileWritesEnd) {
    Explore("status report vs write end vs hold change", 1000, [](const sim::Options& o) {
        return RunOnPort(o, [](PortRig& rig) {
            rig.bus.Update(rig.node->pdo,
                           [&](chip::BridgeChip&) { rig.peer.SetLine(chip::kLineCts, true); });
            SERIAL_HANDFLOW flow{};
            flow.ControlHandShake = SERIAL_CTS_HANDSHAKE;
            SIM_CHECK(NT_SUCCESS(rig.Control(IOCTL_SERIAL_SET_HANDFLOW, &flow, sizeof flow)));
            sim::ThreadId lines = rig.sim.StartThread("lines", [&] {
                for (int i = 0; i < 8; ++i) {
                    rig.Pass(rig.sim.Random() % (3 * kMs));
                    rig.bus.Update(rig.node->pdo, [&](chip::BridgeChip&) {
                        rig.peer.SetLine(chip::kLineCts, i % 2 == 1);
                    });
                }
            });
            std::vector<WriteOutcome> made;
            for (uint8_t value = 1; value <= 5; ++value) {
                const ULONG length = 1 + static_cast<ULONG>(rig.sim.Random() % 140);
                std::vector<uint8_t> data(length, value);
                ULONG n = 0;
                NTSTATUS st = rig.sim.io().Write(rig.handle, data.data(), length, &n);
                SIM_CHECK(st == STATUS_SUCCESS);
                made.push_back({value, length, st, n});
            }
            rig.sim.Join(lines);
            rig.Pass(30 * kMs);
            CheckRuns(rig.PeerGot(), made);
        });
    });
}

// A write cancelled while its one chunk completes, with another queued
// behind it and no time-outs: the one behind is made current and always
// goes out. The bus completes the chunk the moment the chip takes it
// (immediate timing), so the completion and the cancel meet on one tick.
TEST(TransmitRaces, AWritePromotedByACancelGoesOut) {
    sim::usb::UsbBusOptions immediate;
    immediate.timing = sim::usb::UsbTiming::Immediate;
    Explore("write promoted by a cancel", 1000, [&](const sim::Options& o) {
        return RunOnPort(
            o,
            [](PortRig& rig) {
                const auto first = Pattern(40), second = Pattern(40, 40);
                sim::Overlapped w0, w1;
                auto& io = rig.sim.io();
                SIM_CHECK(io.WriteAsync(rig.handle, first.data(), 40, &w0) == STATUS_PENDING);
                SIM_CHECK(io.WriteAsync(rig.handle, second.data(), 40, &w1) == STATUS_PENDING);
                for (uint64_t i = rig.sim.Random() % 4; i > 0; --i) rig.sim.Yield();
                io.Cancel(&w0);
                NTSTATUS s0 = io.Wait(&w0);
                SIM_CHECK(s0 == STATUS_SUCCESS || s0 == STATUS_CANCELLED);
                SIM_CHECK(io.Wait(&w1, 100 * kMs) == STATUS_SUCCESS);
                SIM_CHECK(w1.iosb.Information == 40);
            },
            {}, immediate);
    });
}

}  // namespace
