// One megabyte (a quarter in the sanitizer build) through the loopback
// plug in 1 kB writes and 1 kB reads while the device fails or cuts short
// about one bulk transfer in a hundred in each direction (seeded). Every
// byte written must come back once and in order, or its loss be reported to
// the application (an error status on a request, or an error or overrun in
// the comm status). A failed bulk-in transfer is sent again, so the chip's
// receive FIFO is drained on; only failures in a row past the retry limit
// stop the loop until the next read, and what the FIFO cannot hold
// meanwhile would be lost on the line side, where the driver never hears of
// it. Nothing may arrive twice, out of order or changed.
#include <gtest/gtest.h>

#include <cstdio>

#include "tests/reliability/lifecycle.h"

namespace {

using namespace reliability;

#ifndef LOSSY_LOOPBACK_BYTES
#define LOSSY_LOOPBACK_BYTES (1 << 20)
#endif
constexpr size_t kTotal = LOSSY_LOOPBACK_BYTES;
constexpr ULONG kRequest = 1024;

// A byte stream in which any 8 bytes in a row occur once: a 64-bit LCG.
std::vector<uint8_t> Stream(size_t count) {
    std::vector<uint8_t> v(count);
    uint64_t x = 0x9E3779B97F4A7C15ull;
    for (auto& b : v) {
        x = x * 6364136223846793005ull + 1442695040888963407ull;
        b = static_cast<uint8_t>(x >> 56);
    }
    return v;
}

// Keeps one pending fault rule per bulk endpoint: the transfer after a
// seeded geometric gap (mean 100) fails or moves a short packet.
struct FaultFeeder {
    sim::Simulation& sim;
    sim::usb::UsbBus& bus;
    PDEVICE_OBJECT pdo;
    struct Endpoint {
        uint8_t address;
        uint64_t transfers = 0;  // completed so far
        uint64_t dueAt = 0;      // the rule applies to transfer number dueAt
        bool armed = false;
    } endpoints[2] = {{chip::kEndpointBulkOut}, {chip::kEndpointBulkIn}};
    uint64_t injected = 0;
    uint64_t bulkInFailures = 0;  // of those, failed bulk-in transfers

    uint32_t Gap() {
        uint32_t gap = 0;
        while (sim.Random() % 100 != 0) ++gap;
        return gap;
    }
    // Counts the transfers since the last call and re-arms used rules.
    void Feed() {
        auto log = bus.Transfers(pdo);
        bus.ClearTransfers(pdo);
        for (Endpoint& e : endpoints) {
            for (auto& t : log)
                if (t.endpoint == e.address) ++e.transfers;
            if (e.armed && e.transfers >= e.dueAt) e.armed = false;
            if (e.armed) continue;
            const uint32_t gap = Gap();
            const bool fail = sim.Random() % 2 == 0;
            chip::Fault f = fail ? chip::Fault::FailPipe(e.address, chip::kUsbdStatusCrc)
                                 : chip::Fault::LimitPipe(e.address, static_cast<uint32_t>(sim.Random() % 64));
            if (fail && e.address == chip::kEndpointBulkIn) ++bulkInFailures;
            bus.Update(pdo, [&](chip::BridgeChip& c) { SIM_CHECK(c.InjectFault(f.After(gap))); });
            e.dueAt = e.transfers + gap + 1;
            e.armed = true;
            ++injected;
        }
    }
};

TEST(LossyLoopback, UnderOnePercentFailedAndShortTransfersEveryByteIsAccountedFor) {
    const auto sent = Stream(kTotal);
    std::vector<uint8_t> got;
    ULONG readErrors = 0, commErrors = 0, writeFailures = 0;
    size_t written = 0;
    uint64_t injected = 0, bulkInFailures = 0;
    sim::Options o;
    o.seed = 7;
    sim::Simulation s(o);
    sim::usb::UsbBus bus;
    sim::RunResult r = s.Run([&] {
        Life l(s, bus);
        l.Up();
        SERIAL_BAUD_RATE baud{460800};
        SIM_CHECK(NT_SUCCESS(l.Control(IOCTL_SERIAL_SET_BAUD_RATE, &baud, sizeof baud)));
        SERIAL_TIMEOUTS t{10, 0, 100, 0, 5000};
        SIM_CHECK(NT_SUCCESS(l.Control(IOCTL_SERIAL_SET_TIMEOUTS, &t, sizeof t)));
        FaultFeeder feeder{s, bus, l.node->pdo};
        feeder.Feed();
        bool writing = true;
        const sim::ThreadId reader = s.StartThread("reader", [&] {
            std::vector<uint8_t> buffer(kRequest);
            int idle = 0;
            while (writing || idle < 3) {
                ULONG n = 0;
                NTSTATUS st = s.io().Read(l.handle, buffer.data(), kRequest, &n);
                if (!NT_SUCCESS(st) || st == STATUS_TIMEOUT) {
                    if (st != STATUS_TIMEOUT) ++readErrors;
                }
                got.insert(got.end(), buffer.begin(), buffer.begin() + n);
                SERIAL_STATUS status{};
                SIM_CHECK(NT_SUCCESS(l.Control(IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &status,
                                               sizeof status)));
                if (status.Errors != 0) ++commErrors;
                idle = n == 0 ? idle + 1 : 0;
            }
        });
        while (written < kTotal) {
            ULONG n = 0;
            NTSTATUS st = s.io().Write(l.handle, sent.data() + written, kRequest, &n);
            if (st != STATUS_SUCCESS) ++writeFailures;
            SIM_CHECK(n <= kRequest);
            // What the driver did not take is written again, as an
            // application does after a failed or timed-out write.
            written += n;
            feeder.Feed();
        }
        writing = false;
        s.Join(reader);
        injected = feeder.injected;
        bulkInFailures = feeder.bulkInFailures;
        bus.ClearTransfers(l.node->pdo);
        l.Finish();
    });
    ASSERT_TRUE(r.ok) << r.Report();

    // Walks what came back along what was sent: a byte that matches is
    // delivered; a mismatch is a gap (bytes lost) when the next 8 bytes
    // received are found further on, else a byte that should not be there.
    size_t delivered = 0, lost = 0, gaps = 0, wrong = 0, j = 0;
    for (size_t i = 0; i < got.size(); ++i) {
        if (j < sent.size() && got[i] == sent[j]) {
            ++delivered;
            ++j;
            continue;
        }
        size_t k = j;
        bool found = false;
        if (i + 8 <= got.size()) {
            for (; k + 8 <= sent.size(); ++k)
                if (std::equal(got.begin() + i, got.begin() + i + 8, sent.begin() + k)) {
                    found = true;
                    break;
                }
        }
        if (!found) {
            ++wrong;
            continue;
        }
        lost += k - j;
        ++gaps;
        j = k;
        --i;
    }
    lost += sent.size() - j;
    if (j < sent.size()) ++gaps;
    std::printf("lossy loopback: %zu bytes written in %zu-byte requests, %llu faults injected "
                "(%llu failed bulk-in transfers); %zu delivered once; %zu lost in %zu gaps, "
                "reported by %lu read errors and %lu comm-status errors; %lu writes ended short; "
                "%zu out of place\n",
                kTotal, static_cast<size_t>(kRequest), static_cast<unsigned long long>(injected),
                static_cast<unsigned long long>(bulkInFailures), delivered, lost, gaps,
                static_cast<unsigned long>(readErrors), static_cast<unsigned long>(commErrors),
                static_cast<unsigned long>(writeFailures), wrong);
    EXPECT_EQ(wrong, 0u) << "bytes duplicated, reordered or changed";
    EXPECT_EQ(delivered + lost, kTotal);
    EXPECT_GT(injected, kTotal / 64 / 100 / 2) << "the faults did not come at the rate asked for";
    // No loss goes unreported: a failed bulk-in transfer is retried before
    // the chip's FIFO can overrun, and failed or short bulk-out transfers
    // are sent again.
    EXPECT_LE(gaps, readErrors + commErrors) << "bytes lost and never reported";
    EXPECT_GT(bulkInFailures, 0u);
}

}  // namespace
