// Faults on demand: failed, hung and short transfers, bad status reports,
// stalls and disconnection.
#include <gtest/gtest.h>

#include <vector>

#include "sim/line/loopback_plug.h"
#include "tests/chip/chip_harness.h"

namespace chiptest {
namespace {

using chip::Fault;
using chip::RequestMatch;

constexpr uint32_t kNotResponding = chip::kUsbdStatusDevNotResponding;
constexpr uint32_t kCrc = chip::kUsbdStatusCrc;

TEST(ControlFaults, NextNRequestsFailWithTheChosenStatusAndHaveNoEffect) {
    Harness h;
    ASSERT_TRUE(
        h.chip.InjectFault(Fault::FailControl(RequestMatch::Any(), kNotResponding).Times(2)));
    for (int i = 0; i < 2; ++i) {
        const TransferResult r = h.WriteRegister(7, 0x11);
        EXPECT_EQ(r.outcome, Outcome::Failed);
        EXPECT_EQ(r.status, kNotResponding);
    }
    EXPECT_EQ(h.Reg(7), 0x00) << "failed writes did not reach the register";
    h.SetReg(7, 0x22);
    EXPECT_EQ(h.Reg(7), 0x22);
}

TEST(ControlFaults, ChosenRequestOnlyAfterSkipping) {
    Harness h;
    ASSERT_TRUE(h.chip.InjectFault(
        Fault::FailControl(RequestMatch::RegisterWrite(4), kCrc).After(1).Times(1)));
    h.SetReg(3, 0x1B);  // other register: unaffected, not counted
    EXPECT_EQ(h.WriteRegister(4, 0x01).outcome, Outcome::Done);  // skipped
    const TransferResult r = h.WriteRegister(4, 0x03);
    EXPECT_EQ(r.outcome, Outcome::Failed);
    EXPECT_EQ(r.status, kCrc);
    EXPECT_EQ(h.Reg(4), 0x01);
    EXPECT_EQ(h.WriteRegister(4, 0x03).outcome, Outcome::Done) << "the rule is used up";
    EXPECT_EQ(h.Reg(4), 0x03);
}

TEST(ControlFaults, FirstConfigurationReadFailsOnce) {
    Harness h;
    ASSERT_TRUE(h.chip.FailNextConfigurationRead());
    uint8_t buffer[265];
    EXPECT_EQ(h.Request(SetupPacket{0x80, 6, 0x0100, 0, 18}, buffer, 18).length, 18u)
        << "the device descriptor is not affected";
    EXPECT_TRUE(h.Request(SetupPacket{0x80, 6, 0x0200, 0, 265}, buffer, 265).Stalled());
    // The driver's recovery: clear the stall on endpoint 0, read again.
    EXPECT_EQ(h.Request(SetupPacket{0x02, 1, 0, 0, 0}).outcome, Outcome::Done);
    EXPECT_EQ(h.Request(SetupPacket{0x80, 6, 0x0200, 0, 265}, buffer, 265).length, 39u);
}

TEST(ControlFaults, HungRequestIsNotPerformed) {
    Harness h;
    ASSERT_TRUE(h.chip.InjectFault(Fault::HangControl(RequestMatch::RegisterWrite(7))));
    EXPECT_EQ(h.WriteRegister(7, 0x55).outcome, Outcome::Hang);
    EXPECT_EQ(h.Reg(7), 0x00);
}

TEST(ControlFaults, ShortDataStage) {
    Harness h;
    ASSERT_TRUE(h.chip.InjectFault(
        Fault::ShortControl(RequestMatch::GetDescriptor(chip::kDescriptorConfiguration), 9)));
    uint8_t buffer[265];
    EXPECT_EQ(h.Request(SetupPacket{0x80, 6, 0x0200, 0, 265}, buffer, 265).length, 9u);
    EXPECT_EQ(h.Request(SetupPacket{0x80, 6, 0x0200, 0, 265}, buffer, 265).length, 39u);
}

TEST(ControlFaults, ForeverRuleNeverRunsOut) {
    Harness h;
    ASSERT_TRUE(h.chip.InjectFault(
        Fault::FailControl(RequestMatch::AnyRegisterAccess(), kCrc).Times(chip::kForever)));
    for (int i = 0; i < 50; ++i) {
        uint8_t v;
        EXPECT_EQ(h.ReadRegister(static_cast<uint16_t>(i % 17), &v).status, kCrc);
        EXPECT_EQ(h.WriteRegister(static_cast<uint16_t>(i % 17), 1).status, kCrc);
    }
    EXPECT_EQ(h.Request(SetupPacket{0x00, 9, 1, 0, 0}).outcome, Outcome::Done)
        << "standard requests are not register accesses";
    h.chip.ClearFaults();
    EXPECT_EQ(h.WriteRegister(7, 1).outcome, Outcome::Done);
}

TEST(FaultTable, RefusesUselessRulesAndOverflow) {
    Harness h;
    EXPECT_FALSE(h.chip.InjectFault(Fault::HangPipe(0x83).Times(0)));
    for (uint32_t i = 0; i < chip::FaultTable::kCapacity; ++i) {
        EXPECT_TRUE(h.chip.InjectFault(Fault::HangPipe(0x83)));
    }
    EXPECT_FALSE(h.chip.InjectFault(Fault::HangPipe(0x83)));
}

// Fills each data endpoint with something to move.
class PipeFaults : public ::testing::Test {
  protected:
    void SetUp() override {
        h.Configure();
        h.chip.AttachFarEnd(&plug);
        h.SetReg(4, 0x02);  // three status reports: CTS rose, fell, rose
        h.SetReg(4, 0x00);
        h.SetReg(4, 0x02);
        const chip::LineFormat format = h.chip.UartState().Format();
        for (int i = 0; i < 10; ++i) {
            h.chip.LineSide().LineCharacter(0, static_cast<uint8_t>('0' + i), format);
        }
    }

    TransferResult Transfer(uint8_t endpoint, uint8_t* buffer, uint32_t length) {
        switch (endpoint) {
            case 0x81:
                return h.chip.StatusIn(h.now, buffer, length);
            case 0x02:
                return h.chip.BulkOut(h.now, buffer, length);
            default:
                return h.chip.BulkIn(h.now, buffer, length);
        }
    }

    Harness h;
    line::LoopbackPlug plug;
};

TEST_F(PipeFaults, FailedAndHungTransfersMoveNothing) {
    for (uint8_t endpoint : {0x81, 0x02, 0x83}) {
        for (bool hang : {false, true}) {
            SCOPED_TRACE(testing::Message() << "endpoint " << int{endpoint} << " hang " << hang);
            const uint32_t rxBefore = h.chip.UartState().RxCount();
            const uint32_t txBefore = h.chip.UartState().TxFifoCount();
            const uint32_t reportsBefore = h.chip.UartState().QueuedReports();
            ASSERT_TRUE(h.chip.InjectFault(hang ? Fault::HangPipe(endpoint)
                                                : Fault::FailPipe(endpoint, kCrc)));
            uint8_t buffer[4] = {'x'};
            const TransferResult r = Transfer(endpoint, buffer, 4);
            if (hang) {
                EXPECT_EQ(r.outcome, Outcome::Hang);
            } else {
                EXPECT_EQ(r.outcome, Outcome::Failed);
                EXPECT_EQ(r.status, kCrc);
            }
            EXPECT_EQ(h.chip.UartState().RxCount(), rxBefore);
            EXPECT_EQ(h.chip.UartState().TxFifoCount(), txBefore);
            EXPECT_EQ(h.chip.UartState().QueuedReports(), reportsBefore);
            EXPECT_EQ(Transfer(endpoint, buffer, 4).outcome, Outcome::Done) << "one transfer only";
        }
    }
}

TEST_F(PipeFaults, ShortBulkInPacketsLeaveTheRestQueued) {
    ASSERT_TRUE(h.chip.InjectFault(Fault::LimitPipe(0x83, 3).Times(2)));
    uint8_t buffer[64];
    EXPECT_EQ(h.chip.BulkIn(h.now, buffer, 64).length, 3u);
    EXPECT_EQ(h.chip.BulkIn(h.now, buffer, 64).length, 3u);
    EXPECT_EQ(buffer[0], '3');
    EXPECT_EQ(h.chip.BulkIn(h.now, buffer, 64).length, 4u);
    EXPECT_EQ(buffer[0], '6');
}

TEST_F(PipeFaults, ZeroLimitGivesAZeroLengthPacket) {
    ASSERT_TRUE(h.chip.InjectFault(Fault::LimitPipe(0x83, 0)));
    uint8_t buffer[64];
    const TransferResult r = h.chip.BulkIn(h.now, buffer, 64);
    EXPECT_EQ(r.outcome, Outcome::Done);
    EXPECT_EQ(r.length, 0u);
    EXPECT_EQ(h.chip.UartState().RxCount(), 10u);
}

// A timed zero-length packet: before its time the waiting bulk-in is NAKed
// and the rule is not counted; the chip wakes the bus at that time, and the
// next bulk-in gets an empty packet even with nothing received.
TEST(TimedFaults, ZeroLengthBulkInComesDueAtItsTimeAndWakesTheWaitingBus) {
    Harness h;
    ReadyLog ready;
    h.chip.SetObserver(&ready);
    h.Configure();
    constexpr uint64_t kDue = 5'000;
    Fault onBulkOut = Fault::ZeroLengthBulkIn();
    onBulkOut.endpoint = chip::kEndpointBulkOut;
    EXPECT_FALSE(h.chip.InjectFault(onBulkOut)) << "zero-length packets exist on bulk-in only";
    ASSERT_TRUE(h.chip.InjectFault(Fault::ZeroLengthBulkIn().From(kDue)));
    uint8_t buffer[64];
    EXPECT_EQ(h.chip.BulkIn(h.now, buffer, 64).outcome, Outcome::Nak);
    EXPECT_EQ(h.chip.NextEventTime(), kDue);
    h.RunUntil(kDue - 1);
    EXPECT_TRUE(ready.endpoints.empty());
    h.RunUntil(kDue);
    EXPECT_EQ(ready.endpoints, std::vector<uint8_t>{0x83});
    const TransferResult r = h.chip.BulkIn(h.now, buffer, 64);
    EXPECT_EQ(r.outcome, Outcome::Done);
    EXPECT_EQ(r.length, 0u);
    EXPECT_EQ(h.chip.FaultRules(), 0u) << "used up";
    EXPECT_EQ(h.chip.BulkIn(h.now, buffer, 64).outcome, Outcome::Nak);
}

TEST_F(PipeFaults, PartialBulkOutTakesOnlyThePrefix) {
    ASSERT_TRUE(h.chip.InjectFault(Fault::LimitPipe(0x02, 5)));
    const std::vector<uint8_t> data = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'};
    const TransferResult r = h.Send(data);
    EXPECT_EQ(r.outcome, Outcome::Done);
    EXPECT_EQ(r.length, 5u);
    h.RunToIdle();
    const std::vector<uint8_t> looped = h.Receive();
    EXPECT_EQ(std::vector<uint8_t>(looped.end() - 5, looped.end()),
              (std::vector<uint8_t>{'a', 'b', 'c', 'd', 'e'}));
}

TEST_F(PipeFaults, MalformedAndShortStatusReports) {
    ASSERT_TRUE(h.chip.InjectFault(Fault::BadStatusMarker(0x00)));
    ASSERT_TRUE(h.chip.InjectFault(Fault::LimitPipe(0x81, 2)));
    uint8_t report[4] = {};
    TransferResult r = h.chip.StatusIn(h.now, report, 4);
    EXPECT_EQ(r.length, 4u);
    EXPECT_EQ(report[0], 0x00) << "wrong marker";
    EXPECT_EQ(report[3], 0x11) << "the rest of the report is intact";
    EXPECT_EQ(h.chip.UartState().QueuedReports(), 2u) << "a malformed report is still consumed";
    uint8_t shortReport[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    r = h.chip.StatusIn(h.now, shortReport, 4);
    EXPECT_EQ(r.length, 2u);
    EXPECT_EQ(shortReport[0], 0xE8);
    EXPECT_EQ(shortReport[2], 0xEE);
    r = h.chip.StatusIn(h.now, report, 4);
    EXPECT_EQ(r.length, 4u);
    EXPECT_EQ(report[0], 0xE8);
    EXPECT_EQ(h.chip.StatusIn(h.now, report, 4).outcome, Outcome::Nak);
}

TEST(PipeFaultCounting, NakPollsDoNotCountTowardsARule) {
    Harness h;
    h.Configure();
    ASSERT_TRUE(h.chip.InjectFault(Fault::FailPipe(0x83, kCrc).After(1)));
    uint8_t buffer[64];
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(h.chip.BulkIn(0, buffer, 64).outcome, Outcome::Nak);
    }
    const chip::LineFormat format = h.chip.UartState().Format();
    h.chip.LineSide().LineCharacter(0, 'a', format);
    EXPECT_EQ(h.chip.BulkIn(0, buffer, 64).length, 1u) << "the skipped transfer";
    h.chip.LineSide().LineCharacter(0, 'b', format);
    EXPECT_EQ(h.chip.BulkIn(0, buffer, 64).status, kCrc);
    EXPECT_EQ(h.chip.BulkIn(0, buffer, 64).length, 1u);
    EXPECT_EQ(buffer[0], 'b') << "the failed transfer did not lose the byte";
}

TEST(PipeFaultCounting, RulesForOneEndpointApplyInOrder) {
    Harness h;
    h.Configure();
    ASSERT_TRUE(h.chip.InjectFault(Fault::FailPipe(0x02, kCrc)));
    ASSERT_TRUE(h.chip.InjectFault(Fault::LimitPipe(0x02, 1)));
    const std::vector<uint8_t> data = {1, 2, 3};
    EXPECT_EQ(h.Send(data).status, kCrc);
    EXPECT_EQ(h.Send(data).length, 1u);
    EXPECT_EQ(h.Send(data).length, 3u);
}

TEST(Disconnect, EverythingFailsAndTheLineGoesQuiet) {
    Harness h;
    h.Configure();
    WireProbe probe;
    h.chip.AttachFarEnd(&probe);
    ReadyLog log;
    h.chip.SetObserver(&log);
    h.SetReg(4, 0x03);
    h.SetReg(3, 0x43);  // break on
    ASSERT_EQ(h.Send({1, 2, 3}).length, 3u);
    uint8_t buffer[64];
    EXPECT_EQ(h.chip.BulkIn(h.now, buffer, 64).outcome, Outcome::Nak);

    h.chip.Disconnect(h.now);
    EXPECT_FALSE(h.chip.Connected());
    EXPECT_EQ(log.endpoints, std::vector<uint8_t>{0x83}) << "the waiting transfer is woken";
    EXPECT_EQ(probe.outputs.back().value, 0) << "DTR and RTS drop";
    EXPECT_EQ(probe.breaks.back().value, 0) << "the break ends";
    EXPECT_EQ(h.chip.NextEventTime(), chip::kNever);

    uint8_t value;
    EXPECT_EQ(h.ReadRegister(3, &value).status, chip::kUsbdStatusDeviceGone);
    EXPECT_EQ(h.Request(SetupPacket{0x80, 6, 0x0100, 0, 18}, buffer, 18).status,
              chip::kUsbdStatusDeviceGone);
    EXPECT_EQ(h.chip.BulkIn(h.now, buffer, 64).status, chip::kUsbdStatusDeviceGone);
    EXPECT_EQ(h.chip.BulkOut(h.now, buffer, 1).status, chip::kUsbdStatusDeviceGone);
    EXPECT_EQ(h.chip.StatusIn(h.now, buffer, 4).status, chip::kUsbdStatusDeviceGone);
    h.chip.LineSide().LineCharacter(h.now, 'x', h.chip.UartState().Format());
    h.RunUntil(10'000'000);
    EXPECT_TRUE(probe.frames.empty());

    h.chip.Reconnect(h.now);
    EXPECT_EQ(h.chip.Configuration(), 0);
    EXPECT_EQ(h.Reg(4), 0);
    EXPECT_EQ(h.Reg(5), 0x60) << "nothing survived the power cycle";
}

}  // namespace
}  // namespace chiptest
