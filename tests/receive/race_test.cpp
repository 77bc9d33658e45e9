// Races of the receive path and the wait machinery, each explored over many
// schedules (random and PCT) with the verifier on. Every scenario also
// checks conservation: each byte the peer sent is visible to the
// application exactly once and in order, or was placed into a read that was
// then cancelled (counted, not copied back), or is still in the ring.
#include <gtest/gtest.h>

#include "tests/harness/explore.h"
#include "tests/harness/port_rig.h"

namespace {

using namespace porttest;

constexpr ULONG kMax = MAXULONG;

// Where every byte of a stream of distinct values went.
struct Ledger {
    std::vector<int> seen = std::vector<int>(256, 0);
    size_t visible = 0;
    size_t cancelled = 0;

    // A read's outcome: data copied back unless it failed.
    void Read(NTSTATUS status, const uint8_t* data, size_t count) {
        if (NT_ERROR(status)) {
            SIM_CHECK(status == STATUS_CANCELLED);
            cancelled += count;
            return;
        }
        SIM_CHECK(status == STATUS_SUCCESS || status == STATUS_TIMEOUT);
        for (size_t i = 0; i < count; ++i) {
            SIM_CHECK(i == 0 || data[i] == static_cast<uint8_t>(data[i - 1] + 1));  // in order
            SIM_CHECK(++seen[data[i]] == 1);                                        // once
        }
        visible += count;
    }
    // Whatever is left in the ring or still on its way closes the books: read
    // until 20 ms pass with nothing (a completion may still be running).
    void Close(PortRig& rig, size_t sent) {
        rig.SetTimeouts(kMax, kMax, 20);
        std::vector<uint8_t> rest(256);
        for (ULONG n = 1; n != 0;) {
            NTSTATUS st = rig.sim.io().Read(rig.handle, rest.data(), 256, &n);
            Read(st, rest.data(), n);
        }
        SIM_CHECK(visible + cancelled == sent);
    }
};

struct AsyncRead {
    uint8_t data[16] = {};
    sim::Overlapped ov;
    NTSTATUS Issue(PortRig& rig, ULONG length) {
        return rig.sim.io().ReadAsync(rig.handle, data, length, &ov);
    }
    void Settle(PortRig& rig, NTSTATUS issued, Ledger& ledger) {
        NTSTATUS st = issued == STATUS_PENDING ? rig.sim.io().Wait(&ov) : issued;
        ledger.Read(st, data, ov.iosb.Information);
    }
};

uint64_t Jitter(PortRig& rig, uint64_t span) {
    return rig.sim.Random() % span;
}

// Two reads at a time (one current, one queued) against bulk-in delivery,
// the interval and total timers, cancellation, and the next reads.
TEST(ReceiveRaces, ReadCancelAgainstDeliveryTimersAndNewReads) {
    Explore("read cancel vs delivery vs timers", 1000, [](const sim::Options& o) {
        return RunOnPort(o, [](PortRig& rig) {
            constexpr size_t kSent = 48;
            rig.SetTimeouts(2, 0, 6);
            rig.PeerSends(Pattern(24));
            Ledger ledger;
            bool secondBurst = false;
            for (int round = 0; round < 12; ++round) {
                AsyncRead a, b;
                NTSTATUS sa = a.Issue(rig, 8);
                NTSTATUS sb = b.Issue(rig, 8);
                rig.Pass(Jitter(rig, 3 * kMs));
                if (rig.sim.Random() % 2) rig.sim.io().CancelIo(rig.handle);
                if (!secondBurst && round == 4) {
                    rig.PeerSends(Pattern(24, 24));
                    secondBurst = true;
                }
                a.Settle(rig, sa, ledger);
                b.Settle(rig, sb, ledger);
            }
            rig.Pass(10 * kMs);
            ledger.Close(rig, kSent);
        });
    });
}

// A total time-out racing the bulk-in transfer that completes the read: a
// cancel that came too late must never end the next read early. The bus
// completes the byte's transfer the moment it arrives (immediate timing), so
// the arrival can be placed on the timer's tick.
TEST(ReceiveRaces, LateTimerCancelNeverEndsTheNextReadEarly) {
    int timerWon = 0, byteWon = 0;  // both outcomes must occur, or nothing raced
    sim::usb::UsbBusOptions immediate;
    immediate.timing = sim::usb::UsbTiming::Immediate;
    Explore("missed timer cancel vs next read", 1000, [&](const sim::Options& o) {
        return RunOnPort(
            o,
            [&](PortRig& rig) {
                constexpr uint64_t kTotal = 10 * kMs;
                constexpr uint64_t kByteTime = 868;  // one 8N1 character at 115200
                rig.SetTimeouts(kMax, kMax, 10);
                Ledger ledger;
                size_t sent = 0;
                for (int round = 0; round < 6; ++round) {
                    AsyncRead r;
                    const uint64_t issued = rig.Now();
                    NTSTATUS st = r.Issue(rig, 4);
                    if (st != STATUS_PENDING) {  // the last byte was still in the ring
                        ledger.Read(st, r.data, r.ov.iosb.Information);
                        continue;
                    }
                    // The byte lands within a tick or two of the timer's expiry.
                    rig.Pass(kTotal - kByteTime - 2 + Jitter(rig, 5));
                    rig.PeerSends(Pattern(1, sent++));
                    st = rig.sim.io().Wait(&r.ov);
                    if (st == STATUS_TIMEOUT) SIM_CHECK(rig.Now() - issued >= kTotal);
                    ++(st == STATUS_TIMEOUT ? timerWon : byteWon);
                    ledger.Read(st, r.data, r.ov.iosb.Information);
                    rig.Pass(kByteTime * 2);  // the byte is in the ring if the timer won
                }
                ledger.Close(rig, sent);
            },
            {}, immediate);
    });
    if (!std::getenv("BRIDGESER_REPLAY")) {
        EXPECT_TRUE(timerWon > 0 && byteWon > 0) << timerWon << " " << byteWon;
    }
}

// Waits, set-mask requests and events from three threads, with
// cancellation and flushes (as a stop or a removal makes): every request
// completes exactly once with a permitted status, and the machinery still
// works afterwards.
TEST(ReceiveRaces, WaitCancelAgainstEventsAndSetMask) {
    Explore("wait cancel vs events vs set-mask", 1000, [](const sim::Options& o) {
        return RunOnPort(o, [](PortRig& rig) {
            constexpr ULONG kEvents = SERIAL_EV_RXCHAR | SERIAL_EV_CTS;
            sim::Simulation& s = rig.sim;
            sim::ThreadId setter = s.StartThread("setter", [&] {
                for (int i = 0; i < 6; ++i) {
                    rig.Pass(Jitter(rig, 2 * kMs));
                    ULONG mask = i % 2 ? SERIAL_EV_CTS : kEvents;
                    NTSTATUS st = rig.Control(IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof mask);
                    SIM_CHECK(st == STATUS_SUCCESS || st == STATUS_CANCELLED);
                }
            });
            sim::ThreadId signaller = s.StartThread("signaller", [&] {
                for (int i = 0; i < 8; ++i) {
                    rig.Pass(Jitter(rig, 1500 * 10));
                    SignalSerialEvents(rig.ext, SERIAL_EV_CTS);
                    if (i % 3 == 0) rig.PeerSends(Pattern(2, i));
                }
            });
            sim::ThreadId flusher = s.StartThread("flusher", [&] {
                for (int i = 0; i < 2; ++i) {
                    rig.Pass(Jitter(rig, 6 * kMs));
                    FlushMaskRequests(rig.ext);
                }
            });
            for (int i = 0; i < 6; ++i) {
                ULONG mask = kEvents;
                NTSTATUS st = rig.Control(IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof mask);
                SIM_CHECK(st == STATUS_SUCCESS || st == STATUS_CANCELLED);
                ULONG word = 0;
                sim::Overlapped ov;
                st = s.io().DeviceIoControlAsync(rig.handle, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0,
                                                 &word, sizeof word, &ov);
                rig.Pass(Jitter(rig, 2 * kMs));
                // Whatever the other threads did, the wait ends: cancelled, or
                // by an event in every mask the setter uses.
                if (s.Random() % 2)
                    s.io().CancelIo(rig.handle);
                else
                    SignalSerialEvents(rig.ext, SERIAL_EV_CTS);
                if (st == STATUS_PENDING) st = s.io().Wait(&ov);
                SIM_CHECK(st == STATUS_SUCCESS || st == STATUS_CANCELLED ||
                          st == STATUS_INVALID_PARAMETER);
                if (st == STATUS_SUCCESS) SIM_CHECK((word & ~kEvents) == 0);
            }
            s.Join(setter);
            s.Join(signaller);
            s.Join(flusher);
            // Still working: a fresh mask and an event complete a wait.
            rig.SetWaitMask(SERIAL_EV_DSR);
            ULONG word = 0;
            sim::Overlapped ov;
            NTSTATUS st = s.io().DeviceIoControlAsync(rig.handle, IOCTL_SERIAL_WAIT_ON_MASK,
                                                      nullptr, 0, &word, sizeof word, &ov);
            SignalSerialEvents(rig.ext, SERIAL_EV_DSR);
            if (st == STATUS_PENDING) st = s.io().Wait(&ov);
            SIM_CHECK(st == STATUS_SUCCESS && word == SERIAL_EV_DSR);
        });
    });
}

}  // namespace
