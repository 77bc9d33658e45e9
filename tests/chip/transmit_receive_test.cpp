// The transmitter and receiver in virtual time: frame lengths, FIFOs,
// overrun, break and the stopped baud generator.
#include <gtest/gtest.h>

#include <vector>

#include "sim/line/loopback_plug.h"
#include "tests/chip/chip_harness.h"

namespace chiptest {
namespace {

struct FrameTiming {
    const char* name;
    uint16_t divisor;
    uint8_t lcr;
    uint32_t nominalBaud;
    uint32_t bits2;         // frame length in half bits
    uint64_t firstEnd;      // end of the first frame, ticks (rounded up)
    uint64_t hundredthEnd;  // end of the 100th back-to-back frame, ticks
};

class FrameLength : public ::testing::TestWithParam<FrameTiming> {};

TEST_P(FrameLength, FramesLeaveOneCharacterTimeApartWithoutDrift) {
    const FrameTiming t = GetParam();
    Harness h;
    h.Configure();
    h.Program(t.divisor, t.lcr);
    WireProbe probe;
    h.chip.AttachFarEnd(&probe);
    std::vector<uint8_t> bytes(100);
    for (int i = 0; i < 100; ++i) {
        bytes[i] = static_cast<uint8_t>(i);
    }
    ASSERT_EQ(h.Send({bytes.begin(), bytes.begin() + 64}).length, 64u);
    ASSERT_EQ(h.Send({bytes.begin() + 64, bytes.end()}).length, 36u);
    h.RunToIdle();

    ASSERT_EQ(probe.frames.size(), 100u);
    EXPECT_EQ(chip::FrameHalfBits(probe.frames[0].format), t.bits2);
    EXPECT_EQ(probe.frames[0].time, t.firstEnd);
    EXPECT_EQ(probe.frames[99].time, t.hundredthEnd);
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(probe.frames[i].data, i);
    }
    // Within 0.2 % of the nominal character time.
    const double nominal = t.bits2 / 2.0 / t.nominalBaud * 1e7 * 100;
    EXPECT_NEAR(static_cast<double>(t.hundredthEnd), nominal, nominal * 0.002);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FrameLength,
    ::testing::Values(
        // 10 bits at 3,000,000/26: 866.67 ticks each, 100 frames exactly 86,667.
        FrameTiming{"115200_8N1", 26, 0x03, 115200, 20, 867, 86667},
        // 11 bits at 3,000,000/312: exactly 11,440 ticks.
        FrameTiming{"9600_7E2", 312, 0x1E, 9600, 22, 11440, 1144000},
        // 7.5 bits at 3,000,000/26: exactly 650 ticks.
        FrameTiming{"115200_5N1_5", 26, 0x04, 115200, 15, 650, 65000},
        // 11 bits at 300: 366,666.67 ticks each.
        FrameTiming{"300_8O1", 10000, 0x0B, 300, 22, 366667, 36666667},
        // 10 bits at 3,000,000: 33.33 ticks each.
        FrameTiming{"3M_8N1", 1, 0x03, 3000000, 20, 34, 3334}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Transmitter, BulkOutTakesWholePacketsUntilTheFifoIsFull) {
    Harness h;
    h.Configure();
    ReadyLog log;
    h.chip.SetObserver(&log);
    const std::vector<uint8_t> packet(64, 'a');
    // The first byte moves to the shift register at once, so 128 + 1 fit.
    EXPECT_EQ(h.Send(packet).length, 64u);
    EXPECT_EQ(h.Send(packet).length, 64u);
    EXPECT_EQ(h.Send({'b'}).length, 1u);
    EXPECT_EQ(h.Send({'c'}).outcome, Outcome::Nak) << "a packet that does not fit is refused whole";
    EXPECT_TRUE(log.endpoints.empty());
    // One frame later one byte of room appears and the bus is told once.
    h.RunUntil(867);
    EXPECT_EQ(log.endpoints, std::vector<uint8_t>{0x02});
    EXPECT_EQ(h.Send({'c'}).length, 1u);
    EXPECT_EQ(h.Send(packet).outcome, Outcome::Nak);
    h.RunUntil(867 * 10);
    EXPECT_EQ(h.Send(packet).outcome, Outcome::Nak) << "64 bytes need 64 bytes of room";
}

TEST(Transmitter, OversizedPacketIsTakenAsItsFirst64Bytes) {
    Harness h;
    h.Configure();
    const std::vector<uint8_t> big(100, 'z');
    const TransferResult r = h.Send(big);
    ASSERT_EQ(r.outcome, Outcome::Done);
    EXPECT_EQ(r.length, 64u);
}

TEST(Transmitter, FramingChangeAppliesFromTheNextFrame) {
    Harness h;
    h.Configure();
    WireProbe probe;
    h.chip.AttachFarEnd(&probe);
    ASSERT_EQ(h.Send({1, 2}).length, 2u);
    h.RunUntil(100);
    h.SetReg(3, 0x1E);  // 7E2 while the first frame is on the wire
    h.RunToIdle();
    ASSERT_EQ(probe.frames.size(), 2u);
    EXPECT_EQ(probe.frames[0].format.dataBits, 8);
    EXPECT_EQ(probe.frames[0].time, 867u);
    EXPECT_EQ(probe.frames[1].format.dataBits, 7);
    EXPECT_EQ(probe.frames[1].format.parity, chip::Parity::Even);
}

TEST(Transmitter, DivisorZeroStopsTheLineAndHoldsTheBytes) {
    Harness h;
    h.Configure();
    WireProbe probe;
    h.chip.AttachFarEnd(&probe);
    h.Program(0, 0x03);
    ASSERT_EQ(h.Send({'h', 'i'}).length, 2u);
    EXPECT_EQ(h.chip.NextEventTime(), chip::kNever) << "nothing is scheduled on a stopped line";
    h.RunUntil(10'000'000);
    EXPECT_TRUE(probe.frames.empty());
    EXPECT_EQ(h.Reg(5) & 0x40, 0) << "the transmitter is not empty";

    // A frame from the far end cannot be sampled without a clock.
    h.chip.LineSide().LineCharacter(h.now, 'x', chip::LineFormat{{3'000'000, 26}});
    EXPECT_EQ(h.chip.UartState().RxCount(), 0u);
    EXPECT_EQ(h.Reg(5) & 0x08, 0x08) << "the lost frame shows as a framing error";

    h.Program(26, 0x03);
    const uint64_t start = h.now;
    h.RunToIdle();
    ASSERT_EQ(probe.frames.size(), 2u);
    EXPECT_EQ(probe.frames[0].data, 'h');
    EXPECT_EQ(probe.frames[0].time, start + 867);
}

TEST(Transmitter, DivisorZeroInMidFrameRestartsTheFrameLater) {
    Harness h;
    h.Configure();
    WireProbe probe;
    h.chip.AttachFarEnd(&probe);
    ASSERT_EQ(h.Send({'q'}).length, 1u);
    h.RunUntil(400);
    h.Program(0, 0x03);
    h.RunUntil(5000);
    EXPECT_TRUE(probe.frames.empty());
    h.Program(26, 0x03);
    h.RunToIdle();
    ASSERT_EQ(probe.frames.size(), 1u);
    EXPECT_EQ(probe.frames[0].data, 'q');
    EXPECT_EQ(probe.frames[0].time, 5000u + 867);
}

TEST(Break, HoldsTheLineAndResendsTheInterruptedFrame) {
    Harness h;
    h.Configure();
    WireProbe probe;
    h.chip.AttachFarEnd(&probe);
    ASSERT_EQ(h.Send({'A', 'B'}).length, 2u);
    h.RunUntil(500);  // 'A' is on the wire
    h.SetReg(3, 0x43);
    ASSERT_EQ(probe.breaks.size(), 1u);
    EXPECT_EQ(probe.breaks[0].time, 500u);
    EXPECT_EQ(probe.breaks[0].value, 1);
    EXPECT_EQ(h.chip.NextEventTime(), chip::kNever);
    h.RunUntil(100'000);
    EXPECT_TRUE(probe.frames.empty()) << "nothing leaves during a break";

    h.SetReg(3, 0x03);
    ASSERT_EQ(probe.breaks.size(), 2u);
    EXPECT_EQ(probe.breaks[1].value, 0);
    h.RunToIdle();
    ASSERT_EQ(probe.frames.size(), 2u);
    EXPECT_EQ(probe.frames[0].data, 'A') << "the interrupted byte is not lost";
    EXPECT_EQ(probe.frames[0].time, 100'000u + 867);
    EXPECT_EQ(probe.frames[1].data, 'B');
}

TEST(Break, ThroughTheLoopbackArrivesAsOneFlaggedZero) {
    Harness h;
    h.Configure();
    line::LoopbackPlug plug;
    h.chip.AttachFarEnd(&plug);
    h.SetReg(3, 0x43);
    h.RunUntil(1'000'000);
    h.SetReg(3, 0x03);
    EXPECT_EQ(h.Receive(), std::vector<uint8_t>{0x00});
    const uint8_t lsr = h.Reg(5);
    EXPECT_EQ(lsr & 0x10, 0x10) << "break interrupt";
    EXPECT_EQ(lsr & 0x08, 0x08) << "framing error";
}

TEST(Receiver, LoopbackDeliversBytesAtTheEndOfEachFrame) {
    Harness h;
    h.Configure();
    line::LoopbackPlug plug;
    h.chip.AttachFarEnd(&plug);
    ReadyLog log;
    h.chip.SetObserver(&log);
    uint8_t packet[64];
    EXPECT_EQ(h.chip.BulkIn(h.now, packet, 64).outcome, Outcome::Nak);
    ASSERT_EQ(h.Send({'O', 'K'}).length, 2u);
    h.RunUntil(866);
    EXPECT_TRUE(log.endpoints.empty());
    h.RunUntil(867);
    EXPECT_EQ(log.endpoints, std::vector<uint8_t>{0x83}) << "the waiting bulk-in is woken once";
    h.RunToIdle();
    EXPECT_EQ(log.endpoints.size(), 1u);
    const TransferResult r = h.chip.BulkIn(h.now, packet, 64);
    ASSERT_EQ(r.outcome, Outcome::Done);
    ASSERT_EQ(r.length, 2u);
    EXPECT_EQ(packet[0], 'O');
    EXPECT_EQ(packet[1], 'K');
}

TEST(Receiver, BulkInDeliversAtMost64BytesPerPacket) {
    Harness h;
    h.Configure();
    const chip::LineFormat format = h.chip.UartState().Format();
    for (int i = 0; i < 100; ++i) {
        h.chip.LineSide().LineCharacter(0, static_cast<uint8_t>(i), format);
    }
    uint8_t packet[64];
    EXPECT_EQ(h.chip.BulkIn(0, packet, 64).length, 64u);
    EXPECT_EQ(packet[63], 63);
    EXPECT_EQ(h.chip.BulkIn(0, packet, 64).length, 36u);
    EXPECT_EQ(packet[0], 64);
    EXPECT_EQ(h.chip.BulkIn(0, packet, 64).outcome, Outcome::Nak);
}

TEST(Receiver, BulkInNeverWritesBeyondTheBuffer) {
    Harness h;
    h.Configure();
    const chip::LineFormat format = h.chip.UartState().Format();
    for (int i = 0; i < 20; ++i) {
        h.chip.LineSide().LineCharacter(0, 'r', format);
    }
    uint8_t packet[16] = {};
    packet[10] = 0xEE;
    EXPECT_EQ(h.chip.BulkIn(0, packet, 10).length, 10u);
    EXPECT_EQ(packet[10], 0xEE);
    EXPECT_EQ(h.chip.UartState().RxCount(), 10u);
}

TEST(Receiver, FullFifoLosesFurtherBytesAndFlagsOverrun) {
    Harness h;
    h.Configure();
    const chip::LineFormat format = h.chip.UartState().Format();
    for (int i = 0; i < 300; ++i) {
        h.chip.LineSide().LineCharacter(0, static_cast<uint8_t>(i), format);
    }
    EXPECT_EQ(h.chip.UartState().RxCount(), 256u);
    const uint8_t lsr = h.Reg(5);
    EXPECT_EQ(lsr & 0x03, 0x03) << "data ready and overrun";
    EXPECT_EQ(h.Reg(5) & 0x02, 0) << "overrun clears on read";
    const std::vector<uint8_t> got = h.Receive();
    ASSERT_EQ(got.size(), 256u);
    for (int i = 0; i < 256; ++i) {
        ASSERT_EQ(got[i], static_cast<uint8_t>(i)) << "the oldest bytes are kept";
    }
}

TEST(Receiver, LineStatusTracksTheTransmitter) {
    Harness h;
    h.Configure();
    ASSERT_EQ(h.Send({1, 2}).length, 2u);
    EXPECT_EQ(h.Reg(5) & 0x60, 0x00) << "byte in the FIFO";
    h.RunUntil(867);
    EXPECT_EQ(h.Reg(5) & 0x60, 0x20) << "FIFO empty, last byte on the wire";
    h.RunToIdle();
    EXPECT_EQ(h.Reg(5) & 0x60, 0x60);
}

TEST(Time, NeverGoesBack) {
    Harness h;
    h.Configure();
    WireProbe probe;
    h.chip.AttachFarEnd(&probe);
    h.chip.AdvanceTo(1000);
    ASSERT_EQ(h.chip.BulkOut(10, reinterpret_cast<const uint8_t*>("x"), 1).length, 1u);
    EXPECT_EQ(h.chip.Now(), 1000u);
    EXPECT_EQ(h.chip.NextEventTime(), 1000u + 867);
}

TEST(Time, OneLargeStepPerformsEveryFrameInOrder) {
    Harness h;
    h.Configure();
    line::LoopbackPlug plug;
    h.chip.AttachFarEnd(&plug);
    const std::vector<uint8_t> text = {'h', 'e', 'l', 'l', 'o'};
    ASSERT_EQ(h.Send(text).length, 5u);
    h.chip.AdvanceTo(1'000'000);
    EXPECT_EQ(h.chip.NextEventTime(), chip::kNever);
    EXPECT_EQ(h.Receive(), text);
}

}  // namespace
}  // namespace chiptest
