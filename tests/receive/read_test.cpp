// Reads end to end: a peer on the line sends, the chip's FIFO fills at the
// line rate, bulk-in transfers carry the bytes into the ring, and reads take
// them with their time-out rules.
#include <gtest/gtest.h>

#include "tests/harness/port_rig.h"

namespace {

using namespace porttest;

enum class Ends {
    AtOnce,         // completes inside the dispatch
    After,          // `ms` after the read was issued
    AfterLastData,  // `ms` after the last bulk-in transfer that brought bytes
    Never,          // still pending after 5 s (then cancelled)
};

struct ReadCase {
    const char* name;
    ULONG interval, multiplier, constant;
    size_t preload;  // in the ring before the read
    ULONG length;
    size_t later;     // sent 10 ms after the read was issued
    NTSTATUS status;  // final status (STATUS_CANCELLED for Never)
    ULONG bytes;
    Ends ends;
    uint64_t ms;
};

constexpr ULONG kMax = MAXULONG;

const ReadCase kReadCases[] = {
    {"ring longer than the read", 0, 0, 0, 150, 100, 0, STATUS_SUCCESS, 100, Ends::AtOnce, 0},
    {"no time-outs wait until filled", 0, 0, 0, 30, 100, 70, STATUS_SUCCESS, 100,
     Ends::AfterLastData, 0},
    {"return at once with what is held", kMax, 0, 0, 7, 100, 0, STATUS_SUCCESS, 7, Ends::AtOnce, 0},
    {"return at once from an empty ring", kMax, 0, 0, 0, 100, 0, STATUS_SUCCESS, 0, Ends::AtOnce,
     0},
    {"total only, nothing comes", kMax, kMax, 500, 0, 100, 0, STATUS_TIMEOUT, 0, Ends::After, 500},
    {"total only, first bytes end it", kMax, kMax, 500, 0, 100, 1, STATUS_SUCCESS, 1,
     Ends::AfterLastData, 0},
    {"interval from the last transfer", 20, 0, 0, 0, 100, 5, STATUS_TIMEOUT, 5, Ends::AfterLastData,
     20},
    {"interval armed at dispatch", 20, 0, 0, 5, 100, 0, STATUS_TIMEOUT, 5, Ends::After, 20},
    {"no timer once a byte is placed", kMax, 10, 100, 5, 100, 0, STATUS_CANCELLED, 5, Ends::Never,
     0},
    {"total from multiplier and constant", 0, 10, 50, 0, 100, 0, STATUS_TIMEOUT, 0, Ends::After,
     1050},
    {"a total too long to represent never fires", 0, kMax - 1, kMax, 0, 1000000, 0,
     STATUS_CANCELLED, 0, Ends::Never, 0},
    {"zero length", 0, 0, 0, 3, 0, 0, STATUS_SUCCESS, 0, Ends::AtOnce, 0},
    {"total from the multiplier alone, empty ring", kMax, 10, 0, 0, 10, 0, STATUS_TIMEOUT, 0,
     Ends::After, 100},
    {"the interval never runs before the first byte", 20, 0, 500, 0, 100, 0, STATUS_TIMEOUT, 0,
     Ends::After, 500},
};

TEST(Read, TimeoutRulesEndEachReadAtTheRightInstantWithItsBytes) {
    for (const ReadCase& c : kReadCases) {
        auto r = RunOnPort({}, [&](PortRig& rig) {
            rig.SetTimeouts(c.interval, c.multiplier, c.constant);
            if (c.preload) {
                rig.PeerSends(Pattern(c.preload));
                rig.Pass(100 * kMs);
            }
            std::vector<uint8_t> buffer(c.length);
            sim::Overlapped ov;
            const uint64_t issued = rig.Now();
            NTSTATUS st = rig.sim.io().ReadAsync(rig.handle, buffer.data(), c.length, &ov);
            SIM_CHECK((st == STATUS_PENDING) == (c.ends != Ends::AtOnce));
            if (c.later) {
                rig.Pass(10 * kMs);
                rig.PeerSends(Pattern(c.later, c.preload));
            }
            if (c.ends == Ends::Never) {
                SIM_CHECK(rig.sim.io().Wait(&ov, 5000 * kMs) == STATUS_TIMEOUT);
                rig.sim.io().CancelIo(rig.handle);
            }
            st = rig.sim.io().Wait(&ov);
            const uint64_t ended = rig.Now();
            EXPECT_EQ(st, c.status) << c.name;
            EXPECT_EQ(ov.iosb.Information, c.bytes) << c.name;
            // The I/O manager copies a read's data back only when it did not fail.
            if (!NT_ERROR(st)) {
                buffer.resize(ov.iosb.Information);
                EXPECT_EQ(buffer, Pattern(buffer.size())) << c.name;
            }
            if (c.ends == Ends::AtOnce || c.ends == Ends::After) {
                EXPECT_EQ(ended - issued, c.ms * kMs) << c.name;
            }
            if (c.ends == Ends::AfterLastData) {
                EXPECT_EQ(ended - rig.LastDataInTime(), c.ms * kMs) << c.name;
            }
            EXPECT_EQ(rig.ext->rxRingCount, c.preload + c.later - c.bytes) << c.name;
        });
        EXPECT_TRUE(r.ok) << c.name << ": " << r.Report();
    }
}

// A queued read waits without timers; it becomes current (and its total
// time-out starts) only when the read before it ends; cancelling it leaves
// the current read alone.
TEST(Read, QueuedReadsStartTheirTimeOutsWhenPromoted) {
    ExpectOk(RunOnPort({}, [](PortRig& rig) {
        rig.SetTimeouts(0, 0, 100);
        uint8_t a[10], b[10], c[10];
        sim::Overlapped first, second, third;
        const uint64_t t0 = rig.Now();
        SIM_CHECK(rig.sim.io().ReadAsync(rig.handle, a, 10, &first) == STATUS_PENDING);
        rig.Pass(40 * kMs);
        SIM_CHECK(rig.sim.io().ReadAsync(rig.handle, b, 10, &second) == STATUS_PENDING);
        SIM_CHECK(rig.sim.io().ReadAsync(rig.handle, c, 10, &third) == STATUS_PENDING);
        // Cancel the second alone: IoCancelIrp on its request.
        SIM_CHECK(IoCancelIrp(second.irp));
        SIM_CHECK(rig.sim.io().Wait(&second) == STATUS_CANCELLED);
        SIM_CHECK(second.iosb.Information == 0);
        SIM_CHECK(rig.sim.io().Wait(&first) == STATUS_TIMEOUT);
        SIM_CHECK(rig.Now() - t0 == 100 * kMs);
        SIM_CHECK(rig.sim.io().Wait(&third) == STATUS_TIMEOUT);
        SIM_CHECK(rig.Now() - t0 == 200 * kMs);
    }));
}

// Cancelling the current read returns the bytes it took; its timers are
// cancelled, so the next read runs its own time-out in full.
TEST(Read, CancelledCurrentReadKeepsItsBytesAndItsTimersDie) {
    ExpectOk(RunOnPort({}, [](PortRig& rig) {
        rig.SetTimeouts(0, 0, 50);
        rig.PeerSends(Pattern(4));
        rig.Pass(10 * kMs);
        uint8_t a[10], b[10];
        sim::Overlapped first, second;
        SIM_CHECK(rig.sim.io().ReadAsync(rig.handle, a, 10, &first) == STATUS_PENDING);
        rig.Pass(30 * kMs);
        rig.sim.io().CancelIo(rig.handle);
        SIM_CHECK(rig.sim.io().Wait(&first) == STATUS_CANCELLED);
        SIM_CHECK(first.iosb.Information == 4);
        const uint64_t t0 = rig.Now();
        SIM_CHECK(rig.sim.io().ReadAsync(rig.handle, b, 10, &second) == STATUS_PENDING);
        SIM_CHECK(rig.sim.io().Wait(&second) == STATUS_TIMEOUT);
        SIM_CHECK(rig.Now() - t0 == 50 * kMs);
    }));
}

// With no reader the ring fills; what does not fit is dropped and reported;
// the reader that comes later gets exactly the first bytes, in order.
TEST(Read, OverrunDropsWhatDoesNotFitAndReportsIt) {
    ExpectOk(RunOnPort({}, [](PortRig& rig) {
        rig.PeerSends(Pattern(10000));
        rig.Pass(1500 * kMs);
        SIM_CHECK(rig.ext->rxRingCount == RECEIVE_RING_SIZE);
        SIM_CHECK((rig.ext->errorFlags & SERIAL_ERROR_QUEUEOVERRUN) != 0);
        std::vector<uint8_t> got(RECEIVE_RING_SIZE);
        ULONG n = 0;
        SIM_CHECK(rig.sim.io().Read(rig.handle, got.data(), RECEIVE_RING_SIZE, &n) ==
                  STATUS_SUCCESS);
        SIM_CHECK(n == RECEIVE_RING_SIZE);
        SIM_CHECK(got == Pattern(RECEIVE_RING_SIZE));
        SIM_CHECK((rig.ext->errorFlags & SERIAL_ERROR_QUEUEOVERRUN) == 0);  // the read cleared it
    }));
}

// After an overrun no bulk-in transfer runs, whatever the status reports
// pump, until a read clears the error.
TEST(Read, AfterAnOverrunReceptionWaitsForARead) {
    ExpectOk(RunOnPort({}, [](PortRig& rig) {
        rig.PeerSends(Pattern(10000));
        rig.Pass(1500 * kMs);
        SIM_CHECK((rig.ext->errorFlags & SERIAL_ERROR_QUEUEOVERRUN) != 0);
        const size_t transfers = rig.bus.Transfers(rig.node->pdo).size();
        rig.SetPeerLine(chip::kLineCts, false);  // status reports that pump the transfers
        rig.SetPeerLine(chip::kLineCts, true);
        rig.PeerSends(Pattern(100));
        rig.Pass(200 * kMs);
        size_t bulkIn = 0;
        const auto log = rig.bus.Transfers(rig.node->pdo);
        for (size_t i = transfers; i < log.size(); ++i)
            bulkIn += log[i].endpoint == chip::kEndpointBulkIn;
        SIM_CHECK(bulkIn == 0 && !rig.ext->bulkInBusy);
        std::vector<uint8_t> got(64);
        SIM_CHECK(NT_SUCCESS(rig.sim.io().Read(rig.handle, got.data(), 64)));
        rig.Pass(10 * kMs);
        const auto after = rig.bus.Transfers(rig.node->pdo);
        size_t resumed = 0;
        for (size_t i = log.size(); i < after.size(); ++i)
            resumed += after[i].endpoint == chip::kEndpointBulkIn && after[i].moved != 0;
        SIM_CHECK(resumed != 0);
    }));
}

// The ring across reads, a purge and a promotion: after reads have moved
// the ring's read position, a purge followed by new bytes delivers exactly
// the new bytes; a queued read promoted while the settings say "return at
// once" takes the bytes the ring holds.
TEST(Read, PurgeAfterReadsAndAPromotionThatReturnsAtOnce) {
    ExpectOk(RunOnPort(
        {},
        [](PortRig& rig) {
            SERIAL_BAUD_RATE rate{1000000};
            SIM_CHECK(NT_SUCCESS(rig.Control(IOCTL_SERIAL_SET_BAUD_RATE, &rate, sizeof rate)));
            rig.SetTimeouts(MAXULONG, 0, 0);
            rig.PeerSends(Pattern(30));
            rig.Pass(20 * kMs);
            std::vector<uint8_t> got(10);
            ULONG n = 0;
            SIM_CHECK(NT_SUCCESS(rig.sim.io().Read(rig.handle, got.data(), 10, &n)) && n == 10);
            const ULONG purge = SERIAL_PURGE_RXABORT | SERIAL_PURGE_RXCLEAR;
            SIM_CHECK(NT_SUCCESS(rig.Control(IOCTL_SERIAL_PURGE, &purge, sizeof purge)));
            rig.PeerSends(Pattern(5, 100));
            rig.Pass(20 * kMs);
            got.assign(64, 0);
            SIM_CHECK(NT_SUCCESS(rig.sim.io().Read(rig.handle, got.data(), 64, &n)) && n == 5);
            got.resize(5);
            SIM_CHECK(got == Pattern(5, 100));

            rig.SetTimeouts(0, 0, 0);  // wait until filled
            uint8_t a[10], b[10];
            sim::Overlapped first, second;
            SIM_CHECK(rig.sim.io().ReadAsync(rig.handle, a, 10, &first) == STATUS_PENDING);
            SIM_CHECK(rig.sim.io().ReadAsync(rig.handle, b, 10, &second) == STATUS_PENDING);
            // The bulk-in transfer waiting takes the first byte as it comes;
            // the next, a frame later, the other 13: the first read then
            // fills with 4 bytes left in the ring for the promoted one.
            rig.PeerSends(Pattern(14, 200));
            rig.Pass(kMs / 2);
            rig.SetTimeouts(MAXULONG, 0, 0);  // return at once from now on
            SIM_CHECK(rig.sim.io().Wait(&first) == STATUS_SUCCESS && first.iosb.Information == 10);
            SIM_CHECK(rig.sim.io().Wait(&second) == STATUS_SUCCESS && second.iosb.Information == 4);
            SIM_CHECK(std::equal(b, b + 4, Pattern(4, 210).begin()));
        },
        line::LineSettings::Baud(1000000)));
}

// 100 kB at 115200 8N1 in 1 kB reads with a 50 ms interval: every byte in
// order, in the line's time (10 bits a byte) within 2 %.
TEST(Read, HundredKilobytesAtLineSpeed) {
    ExpectOk(RunOnPort({}, [](PortRig& rig) {
        constexpr size_t kTotal = 100000;
        rig.SetTimeouts(50, 0, 0);
        const uint64_t t0 = rig.Now();
        rig.PeerSends(Pattern(kTotal));
        std::vector<uint8_t> got;
        std::vector<uint8_t> chunk(1024);
        uint64_t lastByteAt = t0;
        while (got.size() < kTotal) {
            ULONG n = 0;
            NTSTATUS st = rig.sim.io().Read(rig.handle, chunk.data(), 1024, &n);
            SIM_CHECK(st == STATUS_SUCCESS || st == STATUS_TIMEOUT);
            if (n == 0) break;
            got.insert(got.end(), chunk.begin(), chunk.begin() + n);
            lastByteAt = rig.Now();
        }
        SIM_CHECK(got == Pattern(kTotal));
        const double line = kTotal * 10.0 / 115200 * 1e7;
        const double taken = static_cast<double>(lastByteAt - t0);
        if (taken > line * 1.02 || taken < line * 0.98) {
            ADD_FAILURE() << "took " << taken / 1e4 << " ms against a line time of " << line / 1e4;
        }
    }));
}

}  // namespace
