// The UART register file as seen through the register request.
#include <gtest/gtest.h>

#include "tests/chip/chip_harness.h"

namespace chiptest {
namespace {

TEST(Registers, PowerOnState) {
    Harness h;
    EXPECT_EQ(h.Reg(3), 0x03) << "8 data bits, no parity, one stop bit";
    EXPECT_EQ(h.Reg(4), 0x00) << "DTR and RTS low";
    EXPECT_EQ(h.Reg(1), 0x00);
    EXPECT_EQ(h.Reg(5), 0x60) << "transmitter empty, nothing received";
    EXPECT_EQ(h.Reg(6), 0x00);
    h.SetReg(3, 0x83);
    EXPECT_EQ(h.Reg(0), 26) << "115200 bit/s";
    EXPECT_EQ(h.Reg(1), 0);
}

TEST(Registers, DivisorLatchAliasesRegistersZeroAndOne) {
    Harness h;
    h.SetReg(1, 0x08);  // interrupt enable
    h.SetReg(3, 0x83);  // latch open
    h.SetReg(0, 0x38);
    h.SetReg(1, 0x01);
    EXPECT_EQ(h.Reg(0), 0x38);
    EXPECT_EQ(h.Reg(1), 0x01);
    h.SetReg(3, 0x03);  // latch closed
    EXPECT_EQ(h.Reg(1), 0x08) << "interrupt enable kept while the latch was open";
    EXPECT_EQ(h.chip.UartState().Divisor(), 0x0138);
    EXPECT_EQ(h.chip.UartState().Format().rate, (chip::LineRate{3'000'000, 0x0138}));
}

TEST(Registers, PlainStorageRegistersKeepWhatIsWritten) {
    Harness h;
    for (uint16_t reg = 7; reg <= 16; ++reg) {
        h.SetReg(reg, static_cast<uint8_t>(0xA0 + reg));
    }
    for (uint16_t reg = 7; reg <= 16; ++reg) {
        EXPECT_EQ(h.Reg(reg), 0xA0 + reg) << reg;
    }
}

TEST(Registers, StatusRegistersAreReadOnly) {
    Harness h;
    h.SetReg(5, 0xFF);
    h.SetReg(6, 0xFF);
    EXPECT_EQ(h.Reg(5), 0x60);
    EXPECT_EQ(h.Reg(6), 0x00);
}

TEST(Registers, ModemControlKeepsAllBits) {
    Harness h;
    h.SetReg(4, 0xF3);
    EXPECT_EQ(h.Reg(4), 0xF3);
}

struct LineControlCase {
    uint8_t lcr;
    uint8_t dataBits;
    chip::Parity parity;
    uint8_t stopHalfBits;
};

class LineControlEncoding : public ::testing::TestWithParam<LineControlCase> {};

TEST_P(LineControlEncoding, GivesTheFraming) {
    const LineControlCase c = GetParam();
    Harness h;
    h.SetReg(3, c.lcr);
    const chip::LineFormat f = h.chip.UartState().Format();
    EXPECT_EQ(f.dataBits, c.dataBits);
    EXPECT_EQ(f.parity, c.parity);
    EXPECT_EQ(f.stopHalfBits, c.stopHalfBits);
    EXPECT_EQ(h.Reg(3), c.lcr);
}

INSTANTIATE_TEST_SUITE_P(
    Table, LineControlEncoding,
    ::testing::Values(LineControlCase{0x00, 5, chip::Parity::None, 2},
                      LineControlCase{0x04, 5, chip::Parity::None, 3},  // 1.5 stop bits
                      LineControlCase{0x01, 6, chip::Parity::None, 2},
                      LineControlCase{0x05, 6, chip::Parity::None, 4},
                      LineControlCase{0x1E, 7, chip::Parity::Even, 4},  // 7E2
                      LineControlCase{0x0B, 8, chip::Parity::Odd, 2},
                      LineControlCase{0x1B, 8, chip::Parity::Even, 2},
                      LineControlCase{0x2B, 8, chip::Parity::Mark, 2},
                      LineControlCase{0x3B, 8, chip::Parity::Space, 2},
                      LineControlCase{0x33, 8, chip::Parity::None, 2}));  // stick without enable

TEST(Registers, FifoControlClearsFifosAndKeepsTheRest) {
    Harness h;
    h.Configure();
    h.chip.AttachFarEnd(nullptr);
    // Receive two bytes through the line side.
    h.chip.LineSide().LineCharacter(0, 'a', h.chip.UartState().Format());
    h.chip.LineSide().LineCharacter(0, 'b', h.chip.UartState().Format());
    ASSERT_EQ(h.chip.UartState().RxCount(), 2u);
    h.SetReg(2, 0x08 | 0x02);
    EXPECT_EQ(h.chip.UartState().RxCount(), 0u);
    EXPECT_EQ(h.Reg(2), 0x08) << "the clear bits do not stick";
    EXPECT_EQ(h.Reg(5) & 0x01, 0) << "no data ready after the clear";
}

TEST(Registers, TransmitFifoClearDropsQueuedBytesButNotTheOneOnTheWire) {
    Harness h;
    h.Configure();
    WireProbe probe;
    h.chip.AttachFarEnd(&probe);
    ASSERT_EQ(h.Send({1, 2, 3, 4}).length, 4u);
    h.SetReg(2, 0x04);
    EXPECT_EQ(h.chip.UartState().TxFifoCount(), 0u);
    h.RunToIdle();
    ASSERT_EQ(probe.frames.size(), 1u);
    EXPECT_EQ(probe.frames[0].data, 1);
}

TEST(Registers, DataRegisterWithLatchClosedIsTheFifoPort) {
    Harness h;
    h.Configure();
    WireProbe probe;
    h.chip.AttachFarEnd(&probe);
    h.SetReg(0, 'x');  // transmit holding register
    h.RunToIdle();
    ASSERT_EQ(probe.frames.size(), 1u);
    EXPECT_EQ(probe.frames[0].data, 'x');

    h.chip.LineSide().LineCharacter(h.now, 'y', h.chip.UartState().Format());
    EXPECT_EQ(h.Reg(5) & 0x01, 0x01);
    EXPECT_EQ(h.Reg(0), 'y');  // receive buffer register
    EXPECT_EQ(h.Reg(5) & 0x01, 0x00);
    EXPECT_EQ(h.Reg(0), 0) << "empty receive buffer reads 0";
}

TEST(Registers, LineStatusErrorsClearWhenRead) {
    Harness h;
    chip::LineFormat wrong = h.chip.UartState().Format();
    wrong.rate = chip::LineRate{9600, 1};
    h.chip.LineSide().LineCharacter(0, 0x55, wrong);
    const uint8_t lsr = h.Reg(5);
    EXPECT_EQ(lsr & 0x08, 0x08) << "framing error";
    EXPECT_EQ(lsr & 0x80, 0x80) << "error pending";
    EXPECT_EQ(h.Reg(5) & 0x9E, 0) << "errors clear on read";
    EXPECT_EQ(h.Reg(5) & 0x01, 0x01) << "data ready stays while bytes wait";
}

// Inspection from outside shows what a read would return and changes
// nothing: the receive FIFO keeps its bytes, the overrun and delta bits stay
// for the driver's read, and a fault rule on that read is neither triggered
// nor counted.
TEST(Registers, PeekShowsWhatAReadWouldReturnWithoutSideEffects) {
    Harness h;
    h.Configure();
    const chip::LineFormat format = h.chip.UartState().Format();
    for (int i = 0; i < 257; ++i) {
        h.chip.LineSide().LineCharacter(0, static_cast<uint8_t>(0x40 + i), format);
    }
    h.chip.LineSide().LineModemInputs(0, chip::kLineCts);
    ASSERT_TRUE(h.chip.InjectFault(
        chip::Fault::FailControl(chip::RequestMatch::RegisterRead(5), chip::kUsbdStatusStallPid)
            .After(1)));
    const uint8_t reports = static_cast<uint8_t>(h.chip.UartState().QueuedReports());
    for (int twice = 0; twice < 2; ++twice) {
        EXPECT_EQ(h.chip.PeekRegister(0), 0x40) << "the oldest byte, not popped";
        EXPECT_EQ(h.chip.PeekRegister(5) & 0x03, 0x03) << "data ready and overrun";
        EXPECT_EQ(h.chip.PeekRegister(6), 0x11) << "CTS and its delta";
        EXPECT_EQ(h.chip.RxFifoLevel(), 256u);
        EXPECT_EQ(h.chip.TxFifoLevel(), 0u);
    }
    EXPECT_EQ(h.chip.UartState().QueuedReports(), reports);
    EXPECT_EQ(h.Reg(0), 0x40);
    EXPECT_EQ(h.Reg(6), 0x11) << "the driver's read still sees the delta";
    EXPECT_EQ(h.Reg(5) & 0x03, 0x03) << "the first read of register 5 passes the rule's skip";
    uint8_t value = 0;
    EXPECT_TRUE(h.ReadRegister(5, &value).Stalled()) << "the rule still fires on the second read";
    EXPECT_EQ(h.chip.PeekRegister(5) & 0x02, 0) << "the read cleared overrun";
    EXPECT_EQ(h.chip.PeekRegister(6), 0x10);
    EXPECT_EQ(h.chip.RxFifoLevel(), 255u);
}

}  // namespace
}  // namespace chiptest
