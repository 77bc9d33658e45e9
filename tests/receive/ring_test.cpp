// The receive ring and the identification capture, on a bare device record:
// what is stored, dropped and reported, and when the reply is decided.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "receive/receive.h"
#include "sim/kernel/sim.h"

namespace {

// The reference reply, as the bytes the driver holds.
const std::vector<uint8_t> kReference = {0x41, 0x54, 0x2B, 0x43, 0x47, 0x4D, 0x49, 0x0D,
                                         0x0D, 0x0A, 0x53, 0x6F, 0x6E, 0x79, 0x20, 0x45,
                                         0x72, 0x69, 0x63, 0x73, 0x73, 0x6F, 0x6E};

// A device record with an open port's ring, outside any device object.
struct BareRecord {
    std::unique_ptr<PortExtension> x = std::make_unique<PortExtension>();
    std::vector<uint8_t> storage = std::vector<uint8_t>(RECEIVE_RING_SIZE);
    BareRecord() {
        std::memset(x.get(), 0, sizeof(PortExtension));
        x->rxRingBuffer = storage.data();
        x->rxRingSize = RECEIVE_RING_SIZE;
    }
};

// Holds a record's readLock, as the ring's and the capture's steps require
// (they run at DISPATCH_LEVEL under it).
class ReadLockHeld {
  public:
    explicit ReadLockHeld(PortExtension* x) : x_(x) { KeAcquireSpinLock(&x_->readLock, &old_); }
    ~ReadLockHeld() { KeReleaseSpinLock(&x_->readLock, old_); }
    ReadLockHeld(const ReadLockHeld&) = delete;
    ReadLockHeld& operator=(const ReadLockHeld&) = delete;

  private:
    PortExtension* x_;
    KIRQL old_ = PASSIVE_LEVEL;
};

void InSimulation(const std::function<void()>& body) {
    sim::Simulation s;
    auto r = s.Run(body);
    EXPECT_TRUE(r.ok) << r.Report();
}

struct AppendCase {
    ULONG held;        // bytes in the ring before the transfer
    ULONG writeIndex;  // where the next byte goes
    ULONG arriving;
    ULONG stored;
    bool overrun;
};

TEST(ReceiveRing, AppendStoresWhatFitsAndReportsEveryDroppedByte) {
    const AppendCase cases[] = {
        {8150, 8150, 64, 42, true},   // fills in the middle of the transfer
        {8150, 8150, 42, 42, false},  // last byte exactly fills the ring
        {8192, 0, 10, 0, true},       // a full ring drops the whole transfer and says so
        {8192, 0, 0, 0, false},       // a zero-length transfer loses nothing
        {0, 8180, 20, 20, false},     // wraps: two block copies
    };
    InSimulation([&] {
        for (const auto& c : cases) {
            BareRecord r;
            r.x->rxRingCount = c.held;
            r.x->rxRingWriteIndex = c.writeIndex;
            r.x->rxRingReadIndex = (c.writeIndex + RECEIVE_RING_SIZE - c.held) % RECEIVE_RING_SIZE;
            std::vector<uint8_t> data(c.arriving);
            for (ULONG i = 0; i < c.arriving; ++i) data[i] = static_cast<uint8_t>(i + 1);
            ReadLockHeld held(r.x.get());
            AppendToReceiveRing(r.x.get(), data.data(), c.arriving);
            EXPECT_EQ(r.x->rxRingCount, c.held + c.stored) << "held " << c.held;
            EXPECT_EQ((r.x->errorFlags & SERIAL_ERROR_QUEUEOVERRUN) != 0, c.overrun)
                << "held " << c.held << " arriving " << c.arriving;
            // The stored bytes come out in order after the ones held before.
            std::vector<uint8_t> out(r.x->rxRingCount);
            CopyFromReceiveRing(r.x.get(), out.data(), static_cast<ULONG>(out.size()));
            for (ULONG i = 0; i < c.stored; ++i) EXPECT_EQ(out[c.held + i], data[i]);
        }
    });
}

TEST(ReceiveRing, CopyEndingAtTheStorageEndContinuesFromTheStart) {
    InSimulation([] {
        BareRecord r;
        std::vector<uint8_t> data(RECEIVE_RING_SIZE);
        for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i % 253);
        ReadLockHeld held(r.x.get());
        AppendToReceiveRing(r.x.get(), data.data(), RECEIVE_RING_SIZE);
        std::vector<uint8_t> out(RECEIVE_RING_SIZE);
        EXPECT_EQ(CopyFromReceiveRing(r.x.get(), out.data(), RECEIVE_RING_SIZE), RECEIVE_RING_SIZE);
        EXPECT_EQ(r.x->rxRingReadIndex, RECEIVE_RING_SIZE);
        const uint8_t more[3] = {7, 8, 9};
        AppendToReceiveRing(r.x.get(), more, 3);
        uint8_t back[3] = {};
        EXPECT_EQ(CopyFromReceiveRing(r.x.get(), back, 10), 3u);  // limited to what is held
        EXPECT_EQ(0, std::memcmp(back, more, 3));
        EXPECT_EQ(out, data);
    });
}

// The identification capture, fed as reads are filled.
struct CaptureCase {
    const char* name;
    bool probeSeen;  // a write began with the query
    std::vector<uint8_t> reply;
    std::vector<ULONG> reads;  // sizes of successive reads
    bool decided;              // the capture ended
    bool force;                // and its result
};

TEST(IdentificationCapture, DecidesOnceFromTheFirst23DeliveredBytes) {
    std::vector<uint8_t> errorReply = kReference;
    errorReply[10] = 0x45;  // another maker's first letter
    std::vector<uint8_t> longer = kReference;
    longer.insert(longer.end(), {0x0D, 0x0A, 0x4F, 0x4B});
    const CaptureCase cases[] = {
        {"whole reply in one read", true, kReference, {23}, true, true},
        {"split 10 then 20", true, longer, {10, 17}, true, true},
        {"other reply", true, errorReply, {23}, true, false},
        {"short reply waits",
         true,
         std::vector<uint8_t>(kReference.begin(), kReference.begin() + 12),
         {12},
         false,
         false},
        {"no query written", false, kReference, {23}, false, false},
    };
    InSimulation([&] {
        for (const auto& c : cases) {
            std::memset(&DriverGlobals, 0, sizeof DriverGlobals);
            DriverGlobals.probePending = !c.probeSeen;
            DriverGlobals.captureEnabled = TRUE;
            DriverGlobals.force230400 = !c.force;  // must be overwritten when decided
            BareRecord r;
            size_t at = 0;
            for (ULONG n : c.reads) {
                ReadLockHeld held(r.x.get());
                CaptureIdentificationBytes(r.x.get(), c.reply.data() + at, n);
                at += n;
            }
            EXPECT_EQ(!DriverGlobals.captureEnabled, c.decided) << c.name;
            if (c.decided)
                EXPECT_EQ(DriverGlobals.force230400 != 0, c.force) << c.name;
            else
                EXPECT_EQ(DriverGlobals.captureCount, c.probeSeen ? at : 0u) << c.name;
        }
    });
}

TEST(IdentificationCapture, TwoPortsNeverInterleaveTheirBytes) {
    InSimulation([] {
        std::memset(&DriverGlobals, 0, sizeof DriverGlobals);
        DriverGlobals.captureEnabled = TRUE;
        BareRecord a, b;
        const std::vector<uint8_t> noise(23, 0x58);
        // Each port offers its bytes under its own readLock, as delivery does.
        auto offer = [](BareRecord& port, const uint8_t* bytes, ULONG count) {
            ReadLockHeld held(port.x.get());
            CaptureIdentificationBytes(port.x.get(), bytes, count);
        };
        offer(a, kReference.data(), 10);
        offer(b, noise.data(), 23);  // not the owner: ignored
        offer(a, kReference.data() + 10, 13);
        EXPECT_FALSE(DriverGlobals.captureEnabled);
        EXPECT_TRUE(DriverGlobals.force230400);
    });
}

}  // namespace
