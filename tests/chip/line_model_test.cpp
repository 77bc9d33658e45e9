// The line model: what a receiver samples from a sender's frame, and exact
// frame timing.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/chip/line.h"

namespace chiptest {
namespace {

using chip::LineFormat;
using chip::LineRate;
using chip::Parity;

constexpr uint8_t kFE = chip::kRxFramingError;
constexpr uint8_t kPE = chip::kRxParityError;
constexpr uint8_t kBI = chip::kRxBreak;

constexpr LineFormat Fmt(LineRate rate, uint8_t bits = 8, Parity parity = Parity::None,
                         uint8_t stopHalfBits = 2) {
    return LineFormat{rate, bits, parity, stopHalfBits};
}

constexpr LineRate kChip115200{3'000'000, 26};
constexpr LineRate kNominal115200{115200, 1};

struct SampleCase {
    const char* name;
    LineFormat sender;
    uint8_t data;
    LineFormat receiver;
    std::vector<chip::ReceivedChar> expected;
};

class Sampling : public ::testing::TestWithParam<SampleCase> {};

TEST_P(Sampling, ReceiverSeesWhatARealUartWould) {
    const SampleCase& c = GetParam();
    const chip::SampledFrame got = chip::SampleFrame(c.sender, c.data, c.receiver);
    ASSERT_EQ(got.count, c.expected.size());
    for (uint32_t i = 0; i < got.count; ++i) {
        EXPECT_EQ(got.chars[i].data, c.expected[i].data) << "char " << i;
        EXPECT_EQ(got.chars[i].errors, c.expected[i].errors) << "char " << i;
    }
}

const chip::ReceivedChar kZeroBreak{0x00, kFE | kBI};

INSTANTIATE_TEST_SUITE_P(
    Table, Sampling,
    ::testing::Values(
        SampleCase{"Same8N1", Fmt(kChip115200), 0xA5, Fmt(kChip115200), {{0xA5, 0}}},
        SampleCase{"Same7E2",
                   Fmt(kChip115200, 7, Parity::Even, 4),
                   0x55,
                   Fmt(kChip115200, 7, Parity::Even, 4),
                   {{0x55, 0}}},
        SampleCase{"Same5N1_5",
                   Fmt(kChip115200, 5, Parity::None, 3),
                   0x1F,
                   Fmt(kChip115200, 5, Parity::None, 3),
                   {{0x1F, 0}}},
        SampleCase{"SameMark",
                   Fmt(kChip115200, 8, Parity::Mark),
                   0x00,
                   Fmt(kChip115200, 8, Parity::Mark),
                   {{0x00, 0}}},
        SampleCase{"SameSpace",
                   Fmt(kChip115200, 8, Parity::Space),
                   0xFF,
                   Fmt(kChip115200, 8, Parity::Space),
                   {{0xFF, 0}}},
        SampleCase{"SameZeroIsNoBreak", Fmt(kChip115200), 0x00, Fmt(kChip115200), {{0x00, 0}}},
        // 115200 nominal against 3,000,000/26 differ by 0.16 %: no harm.
        SampleCase{
            "NominalAgainstDivisor", Fmt(kNominal115200), 0x3C, Fmt(kChip115200), {{0x3C, 0}}},
        // 5 % slow still samples every bit inside its cell.
        SampleCase{
            "FivePercentOff", Fmt(LineRate{121000, 1}), 0x81, Fmt(kNominal115200), {{0x81, 0}}},
        // 10 % slow: bit 4 is sampled in the sender's bit 3 and the stop bit
        // in the last data bit.
        SampleCase{
            "TenPercentOff", Fmt(LineRate{104000, 1}), 0x09, Fmt(kNominal115200), {{0x19, kFE}}},
        // A slow sender looks like a row of breaks to a fast receiver: every
        // spacing stretch starts a new all-zero frame.
        SampleCase{"SlowSenderFastReceiver",
                   Fmt(LineRate{9600, 1}),
                   0x55,
                   Fmt(kChip115200),
                   {kZeroBreak, kZeroBreak, kZeroBreak, kZeroBreak, kZeroBreak}},
        // A fast burst: its low bit at the receiver's mid start bit starts
        // a frame that then sees only the idle line.
        SampleCase{"FastSenderSlowReceiver",
                   Fmt(LineRate{115200, 1}),
                   0x41,
                   Fmt(LineRate{9600, 1}),
                   {{0xFF, 0}}},
        // ... and a burst too short to be seen at all.
        SampleCase{"GlitchIsIgnored", Fmt(LineRate{115200, 1}), 0xFF, Fmt(LineRate{9600, 1}), {}},
        // Word length: the receiver's stop bit falls on the sender's bit 7.
        SampleCase{"EightSentSevenReceivedHighBitSet",
                   Fmt(kChip115200),
                   0xC1,
                   Fmt(kChip115200, 7),
                   {{0x41, 0}}},
        SampleCase{"EightSentSevenReceivedHighBitClear",
                   Fmt(kChip115200),
                   0x41,
                   Fmt(kChip115200, 7),
                   {{0x41, kFE}}},
        SampleCase{"ZeroSentEightReadAsSevenIsABreak",
                   Fmt(kChip115200),
                   0x00,
                   Fmt(kChip115200, 7),
                   {kZeroBreak}},
        SampleCase{
            "SevenSentEightReceived", Fmt(kChip115200, 7), 0x41, Fmt(kChip115200), {{0xC1, 0}}},
        // Parity: the receiver takes the sender's stop bit as parity.
        SampleCase{"NoneSentEvenExpected",
                   Fmt(kChip115200),
                   0x41,
                   Fmt(kChip115200, 8, Parity::Even),
                   {{0x41, kPE}}},
        SampleCase{"EvenSentOddExpected",
                   Fmt(kChip115200, 7, Parity::Even),
                   0x41,
                   Fmt(kChip115200, 7, Parity::Odd),
                   {{0x41, kPE}}},
        SampleCase{"OddSentOddExpected",
                   Fmt(kChip115200, 7, Parity::Odd),
                   0x43,
                   Fmt(kChip115200, 7, Parity::Odd),
                   {{0x43, 0}}},
        SampleCase{"StoppedReceiver", Fmt(kChip115200), 0x41, Fmt(LineRate{3'000'000, 0}), {}},
        SampleCase{"StoppedSender", Fmt(LineRate{0, 0}), 0x41, Fmt(kChip115200), {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Sampling, EveryByteSurvivesMatchingSettings) {
    for (uint8_t bits = 5; bits <= 8; ++bits) {
        for (Parity parity :
             {Parity::None, Parity::Odd, Parity::Even, Parity::Mark, Parity::Space}) {
            const LineFormat f = Fmt(kChip115200, bits, parity, 4);
            for (int value = 0; value < (1 << bits); ++value) {
                const chip::SampledFrame got = chip::SampleFrame(f, static_cast<uint8_t>(value), f);
                ASSERT_EQ(got.count, 1u);
                ASSERT_EQ(got.chars[0].data, value);
                ASSERT_EQ(got.chars[0].errors, 0);
            }
        }
    }
}

TEST(LineClock, BackToBackFramesDoNotDrift) {
    chip::LineClock clock;
    clock.Restart(1000);
    const LineFormat f = Fmt(kChip115200);  // 866.67 ticks a frame
    uint64_t end = 0;
    for (int i = 1; i <= 3000; ++i) {
        end = clock.AddFrame(f);
        if (i % 3 == 0) {
            ASSERT_EQ(end, 1000u + 2600u * (i / 3)) << "every third frame ends on a whole tick";
        }
    }
    EXPECT_EQ(end, 1000u + 2'600'000u);
}

TEST(LineClock, RateChangeStartsOnTheNextWholeTick) {
    chip::LineClock clock;
    clock.Restart(0);
    EXPECT_EQ(clock.AddFrame(Fmt(kChip115200)), 867u);
    // A different clock cannot carry the fraction: the next frame starts at 867.
    EXPECT_EQ(clock.AddFrame(Fmt(LineRate{10'000'000, 1})), 867u + 10u);
}

}  // namespace
}  // namespace chiptest
