// Modem lines: DTR and RTS out, CTS, DSR, RI and DCD in, the delta bits of
// register 6 and the status reports on the interrupt pipe.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "sim/line/loopback_plug.h"
#include "tests/chip/chip_harness.h"

namespace chiptest {
namespace {

using Report = std::array<uint8_t, 4>;

// Takes every queued status report.
std::vector<Report> TakeReports(Harness& h) {
    std::vector<Report> reports;
    for (;;) {
        Report r{};
        const TransferResult result = h.chip.StatusIn(h.now, r.data(), 4);
        if (result.outcome != Outcome::Done) {
            break;
        }
        EXPECT_EQ(result.length, 4u);
        reports.push_back(r);
    }
    return reports;
}

class ModemLines : public ::testing::Test {
  protected:
    void SetUp() override {
        h.Configure();
        h.chip.AttachFarEnd(&plug);
    }
    Harness h;
    line::LoopbackPlug plug;
};

struct LoopbackCase {
    uint8_t mcr;
    uint8_t levels;  // modem status bits 4..7 through the plug
};

class LoopbackWiring : public ::testing::TestWithParam<LoopbackCase> {};

TEST_P(LoopbackWiring, RtsDrivesCtsAndDtrDrivesDsrAndDcd) {
    const LoopbackCase c = GetParam();
    Harness h;
    h.Configure();
    line::LoopbackPlug plug;
    h.chip.AttachFarEnd(&plug);
    h.SetReg(4, c.mcr);
    EXPECT_EQ(h.Reg(6) & 0xF0, c.levels);
}

INSTANTIATE_TEST_SUITE_P(Table, LoopbackWiring,
                         ::testing::Values(LoopbackCase{0x00, 0x00}, LoopbackCase{0x01, 0xA0},
                                           LoopbackCase{0x02, 0x10}, LoopbackCase{0x03, 0xB0},
                                           LoopbackCase{0xFC, 0x00}));

TEST_F(ModemLines, OneReportPerChangeWithThatChangesDeltas) {
    h.SetReg(4, 0x01);  // DTR: DSR and DCD rise
    h.SetReg(4, 0x03);  // RTS: CTS rises
    h.SetReg(4, 0x02);  // DTR drops: DSR and DCD fall
    h.SetReg(4, 0x02);  // no change, no report
    const std::vector<Report> reports = TakeReports(h);
    ASSERT_EQ(reports.size(), 3u);
    EXPECT_EQ(reports[0][0], 0xE8);
    EXPECT_EQ(reports[0][3], 0xA0 | 0x02 | 0x08);
    EXPECT_EQ(reports[1][3], 0xB0 | 0x01) << "an earlier change is not repeated";
    EXPECT_EQ(reports[2][3], 0x10 | 0x02 | 0x08);
    EXPECT_EQ(static_cast<uint8_t>(reports[1][2] - reports[0][2]), 1) << "sequence numbers";
    EXPECT_EQ(static_cast<uint8_t>(reports[2][2] - reports[1][2]), 1);
    EXPECT_EQ(reports[2][1], h.chip.UartState().LineStatus()) << "byte 1 is the line status";
}

TEST_F(ModemLines, RegisterSixAccumulatesDeltasUntilRead) {
    h.SetReg(4, 0x01);
    h.SetReg(4, 0x03);
    EXPECT_EQ(h.Reg(6), 0xB0 | 0x01 | 0x02 | 0x08);
    EXPECT_EQ(h.Reg(6), 0xB0) << "deltas clear when register 6 is read";
    EXPECT_EQ(TakeReports(h).size(), 2u) << "reading register 6 does not eat reports";
}

TEST_F(ModemLines, WaitingStatusTransferIsWokenByAChange) {
    ReadyLog log;
    h.chip.SetObserver(&log);
    uint8_t report[4];
    EXPECT_EQ(h.chip.StatusIn(h.now, report, 4).outcome, Outcome::Nak);
    h.SetReg(4, 0x02);
    EXPECT_EQ(log.endpoints, std::vector<uint8_t>{0x81});
    h.SetReg(4, 0x00);
    EXPECT_EQ(log.endpoints.size(), 1u) << "no second wake-up without a new Nak";
}

TEST_F(ModemLines, FullQueueMergesChangesIntoTheNewestReport) {
    // Toggle RTS more often than the queue holds reports.
    for (int i = 0; i < 10; ++i) {
        h.SetReg(4, (i % 2 == 0) ? 0x02 : 0x00);
    }
    const std::vector<Report> reports = TakeReports(h);
    ASSERT_EQ(reports.size(), chip::Uart::kReportQueueSize);
    // The last toggle left CTS low; the newest report says so and keeps the delta.
    EXPECT_EQ(reports.back()[3], 0x01);
    for (const Report& r : reports) {
        EXPECT_EQ(r[3] & 0x01, 0x01);
    }
}

TEST(ModemInputs, RingIndicatorTrailingEdgeOnly) {
    Harness h;
    h.Configure();
    WireProbe probe;
    h.chip.AttachFarEnd(&probe);
    h.chip.LineSide().LineModemInputs(0, chip::kLineRi);
    h.chip.LineSide().LineModemInputs(0, 0);
    const std::vector<Report> reports = TakeReports(h);
    ASSERT_EQ(reports.size(), 2u) << "both edges are changes worth a report";
    EXPECT_EQ(reports[0][3], 0x40) << "a rising ring has no delta bit";
    EXPECT_EQ(reports[1][3], 0x04) << "trailing edge of RI";
}

struct InputCase {
    uint8_t from;
    uint8_t to;
    uint8_t expected;  // report byte 3
};

class ModemInputDeltas : public ::testing::TestWithParam<InputCase> {};

TEST_P(ModemInputDeltas, ReportCarriesLevelsAndDeltas) {
    const InputCase c = GetParam();
    Harness h;
    h.Configure();
    WireProbe probe;
    h.chip.AttachFarEnd(&probe);
    probe.chip->LineModemInputs(0, c.from);
    TakeReports(h);
    probe.chip->LineModemInputs(0, c.to);
    const std::vector<Report> reports = TakeReports(h);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0][3], c.expected);
}

INSTANTIATE_TEST_SUITE_P(Table, ModemInputDeltas,
                         ::testing::Values(InputCase{0x00, 0x10, 0x11}, InputCase{0x10, 0x00, 0x01},
                                           InputCase{0x00, 0x20, 0x22}, InputCase{0x20, 0x00, 0x02},
                                           InputCase{0x00, 0x80, 0x88}, InputCase{0x80, 0x00, 0x08},
                                           InputCase{0x40, 0x00, 0x04}, InputCase{0x00, 0xF0, 0xFB},
                                           InputCase{0xF0, 0x00, 0x0F},
                                           InputCase{0x30, 0x20, 0x21}));

TEST(ModemInputs, UnchangedInputsProduceNoReport) {
    Harness h;
    h.Configure();
    h.chip.LineSide().LineModemInputs(0, 0x0F);  // only delta positions: ignored
    uint8_t report[4];
    EXPECT_EQ(h.chip.StatusIn(0, report, 4).outcome, Outcome::Nak);
}

TEST(ModemOutputs, FarEndSeesEachDtrRtsChangeOnce) {
    Harness h;
    WireProbe probe;
    h.chip.AttachFarEnd(&probe);
    ASSERT_EQ(probe.outputs.size(), 1u) << "attaching tells the current outputs";
    EXPECT_EQ(probe.outputs[0].value, 0);
    h.now = 50;
    h.SetReg(4, 0x01);
    h.SetReg(4, 0x05);  // bit 2 has no line
    h.SetReg(4, 0x03);
    ASSERT_EQ(probe.outputs.size(), 3u);
    EXPECT_EQ(probe.outputs[1].value, 0x01);
    EXPECT_EQ(probe.outputs[1].time, 50u);
    EXPECT_EQ(probe.outputs[2].value, 0x03);
}

TEST(ModemInputs, DetachingTheFarEndDropsTheInputs) {
    Harness h;
    h.Configure();
    line::LoopbackPlug plug;
    h.chip.AttachFarEnd(&plug);
    h.SetReg(4, 0x03);
    TakeReports(h);
    h.chip.AttachFarEnd(nullptr);
    EXPECT_EQ(h.Reg(6) & 0xF0, 0x00);
    const std::vector<Report> reports = TakeReports(h);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0][3], 0x0B);
}

}  // namespace
}  // namespace chiptest

namespace chiptest {
namespace {

TEST(StatusPipe, ShortBufferGetsTheReportHeadAndZeroLengthTakesNothing) {
    Harness h;
    h.Configure();
    line::LoopbackPlug plug;
    h.chip.AttachFarEnd(&plug);
    h.SetReg(4, 0x02);
    h.SetReg(4, 0x00);
    h.chip.LineSide().LineCharacter(h.now, 'z', h.chip.UartState().Format());
    uint8_t buffer[4] = {0xEE, 0xEE, 0xEE, 0xEE};

    EXPECT_EQ(h.chip.StatusIn(h.now, buffer, 0).length, 0u);
    EXPECT_EQ(h.chip.BulkIn(h.now, buffer, 0).length, 0u);
    EXPECT_EQ(h.chip.UartState().QueuedReports(), 2u);
    EXPECT_EQ(h.chip.UartState().RxCount(), 1u);
    EXPECT_EQ(buffer[0], 0xEE);

    const TransferResult r = h.chip.StatusIn(h.now, buffer, 2);
    EXPECT_EQ(r.length, 2u);
    EXPECT_EQ(buffer[0], 0xE8);
    EXPECT_EQ(buffer[2], 0xEE);
    EXPECT_EQ(h.chip.UartState().QueuedReports(), 1u);
}

}  // namespace
}  // namespace chiptest
