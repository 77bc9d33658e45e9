// Peers at the far end of the line, driven against the real chip model.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/chip/bridge_chip.h"
#include "sim/line/line_peer.h"
#include "sim/line/loopback_plug.h"
#include "sim/line/phone.h"

namespace linetest {
namespace {

using chip::BridgeChip;
using chip::SetupPacket;
using line::LineSettings;
using line::RecordingPeer;

// A configured chip on a virtual clock.
class Bench {
  public:
    Bench() { chip.Control(now, SetupPacket{0x00, 9, 1, 0, 0}, nullptr, 0); }

    void SetReg(uint16_t reg, uint8_t value) {
        const chip::TransferResult r =
            chip.Control(now, SetupPacket{0x40, 0xFE, value, reg, 0}, nullptr, 0);
        ASSERT_EQ(r.outcome, chip::Outcome::Done);
    }

    uint8_t Reg(uint16_t reg) {
        uint8_t value = 0;
        chip.Control(now, SetupPacket{0xC0, 0xFE, 0, reg, 1}, &value, 1);
        return value;
    }

    void Program(uint16_t divisor, uint8_t lcr) {
        SetReg(3, static_cast<uint8_t>(lcr | 0x80));
        SetReg(0, static_cast<uint8_t>(divisor));
        SetReg(1, static_cast<uint8_t>(divisor >> 8));
        SetReg(3, lcr);
    }

    void Send(const std::string& text) {
        const chip::TransferResult r = chip.BulkOut(
            now, reinterpret_cast<const uint8_t*>(text.data()), static_cast<uint32_t>(text.size()));
        ASSERT_EQ(r.length, text.size());
    }

    std::string Receive() {
        std::string all;
        for (;;) {
            uint8_t packet[64];
            const chip::TransferResult r = chip.BulkIn(now, packet, sizeof packet);
            if (r.outcome != chip::Outcome::Done) {
                return all;
            }
            all.append(reinterpret_cast<const char*>(packet), r.length);
        }
    }

    void RunToIdle() {
        for (uint64_t next = chip.NextEventTime(); next != chip::kNever;
             next = chip.NextEventTime()) {
            now = next > now ? next : now;
            chip.AdvanceTo(now);
        }
    }

    void RunUntil(uint64_t until) {
        for (uint64_t next = chip.NextEventTime(); next <= until; next = chip.NextEventTime()) {
            now = next > now ? next : now;
            chip.AdvanceTo(now);
        }
        now = until;
        chip.AdvanceTo(now);
    }

    BridgeChip chip;
    uint64_t now = 0;
};

struct WireCase {
    uint8_t outputs;
    uint8_t inputs;
};

class LoopbackWire : public ::testing::TestWithParam<WireCase> {};

TEST_P(LoopbackWire, Table) {
    EXPECT_EQ(line::LoopbackPlug::Wire(GetParam().outputs), GetParam().inputs);
}

INSTANTIATE_TEST_SUITE_P(Plug, LoopbackWire,
                         ::testing::Values(WireCase{0x00, 0x00}, WireCase{0x01, 0xA0},
                                           WireCase{0x02, 0x10}, WireCase{0x03, 0xB0}));

TEST(LoopbackPlug, EchoesBytesWhateverTheFraming) {
    Bench b;
    line::LoopbackPlug plug;
    b.chip.AttachFarEnd(&plug);
    b.Program(312, 0x1A);  // 9600 7E1
    b.Send("AT\r");
    b.RunToIdle();
    EXPECT_EQ(b.Receive(), "AT\r");
    EXPECT_EQ(b.Reg(5) & 0x1E, 0) << "no line errors";
}

TEST(RecordingPeer, ReceivesTheChipsBytesAtMatchingSettings) {
    Bench b;
    RecordingPeer peer(LineSettings::Baud(115200));
    b.chip.AttachFarEnd(&peer);
    b.Send("hello");
    b.RunToIdle();
    EXPECT_EQ(peer.Text(), "hello");
    ASSERT_EQ(peer.ReceivedChars().size(), 5u);
    EXPECT_EQ(peer.ReceivedChars()[0].time, 867u);
    for (const auto& r : peer.ReceivedChars()) {
        EXPECT_EQ(r.errors, 0);
    }
}

TEST(RecordingPeer, WrongBaudGarblesTheBytes) {
    Bench b;
    RecordingPeer peer(LineSettings::Baud(9600));
    b.chip.AttachFarEnd(&peer);
    b.Send("OK");  // at 115200
    b.RunToIdle();
    EXPECT_NE(peer.Text(), "OK");
    // The chip's fast frames: 'O' (0x4F) has its bit 5 low in the middle of
    // the peer's start bit, so a frame of idle-line ones is seen; 'K' (0x4B)
    // too. Neither arrives as sent.
    for (const auto& r : peer.ReceivedChars()) {
        EXPECT_TRUE(r.data != 'O' && r.data != 'K');
    }
}

TEST(RecordingPeer, SlowPeerShowsAsBreaksOnAFastChip) {
    Bench b;
    RecordingPeer peer(LineSettings::Baud(9600));
    b.chip.AttachFarEnd(&peer);
    peer.Send("U");
    b.RunToIdle();
    const std::string got = b.Receive();
    ASSERT_FALSE(got.empty());
    EXPECT_NE(got, "U");
    const uint8_t lsr = b.Reg(5);
    EXPECT_EQ(lsr & 0x08, 0x08) << "framing error";
    EXPECT_EQ(lsr & 0x10, 0x10) << "a long spacing stretch reads as a break";
}

TEST(RecordingPeer, WrongWordLengthGarbles) {
    Bench b;
    RecordingPeer peer(LineSettings::Baud(115200, 7, chip::Parity::Even));
    b.chip.AttachFarEnd(&peer);
    b.Send("C");  // 8N1: the peer takes data bit 7 (0) as the parity bit
    b.RunToIdle();
    ASSERT_EQ(peer.ReceivedChars().size(), 1u);
    EXPECT_EQ(peer.ReceivedChars()[0].data, 'C');
    EXPECT_EQ(peer.ReceivedChars()[0].errors, chip::kRxParityError);
}

TEST(RecordingPeer, SendsAtItsOwnRate) {
    Bench b;
    b.Program(312, 0x03);  // 9600 8N1
    RecordingPeer peer(LineSettings{chip::LineRate{3'000'000, 312}});
    b.chip.AttachFarEnd(&peer);
    b.now = 5000;
    b.chip.AdvanceTo(b.now);
    peer.Send("ab");
    EXPECT_EQ(b.chip.NextEventTime(), 5000u + 10400u) << "10 bits at 9615 bit/s";
    b.RunUntil(5000 + 10400);
    EXPECT_EQ(b.chip.UartState().RxCount(), 1u);
    b.RunToIdle();
    EXPECT_EQ(b.now, 5000u + 20800u);
    EXPECT_EQ(b.Receive(), "ab");
    EXPECT_EQ(peer.PendingBytes(), 0u);
}

TEST(RecordingPeer, DrivesTheChipsModemInputsAndSeesItsOutputs) {
    Bench b;
    RecordingPeer peer;
    peer.SetModemLines(chip::kLineCts | chip::kLineDsr);
    b.chip.AttachFarEnd(&peer);
    EXPECT_EQ(b.Reg(6), 0x30 | 0x03) << "attaching reports the peer's lines";
    peer.SetLine(chip::kLineDcd, true);
    peer.SetLine(chip::kLineCts, false);
    EXPECT_EQ(b.Reg(6), 0xA0 | 0x09);

    b.SetReg(4, 0x01);
    EXPECT_TRUE(peer.Dtr());
    EXPECT_FALSE(peer.Rts());
    b.SetReg(4, 0x03);
    ASSERT_EQ(peer.OutputChanges().size(), 2u);
    EXPECT_TRUE(peer.OutputChanges()[1].rts);
}

TEST(RecordingPeer, SeesTheChipsBreak) {
    Bench b;
    RecordingPeer peer;
    b.chip.AttachFarEnd(&peer);
    b.now = 100;
    b.SetReg(3, 0x43);
    EXPECT_TRUE(peer.ChipSendsBreak());
    b.now = 900;
    b.SetReg(3, 0x03);
    ASSERT_EQ(peer.Breaks().size(), 2u);
    EXPECT_EQ(peer.Breaks()[0].time, 100u);
    EXPECT_TRUE(peer.Breaks()[0].on);
    EXPECT_EQ(peer.Breaks()[1].time, 900u);
    EXPECT_FALSE(peer.Breaks()[1].on);
}

TEST(RecordingPeer, BreakHoldsItsTransmitterAndLosesNothing) {
    Bench b;
    RecordingPeer peer;
    b.chip.AttachFarEnd(&peer);
    peer.Send("xy");
    b.RunUntil(400);
    peer.SetBreak(true);
    b.RunUntil(50'000);
    EXPECT_EQ(b.Receive(), std::string(1, '\0')) << "the break itself";
    peer.SetBreak(false);
    b.RunToIdle();
    EXPECT_EQ(b.Receive(), "xy");
}

TEST(RecordingPeer, DetachingForgetsTheChipsLines) {
    Bench b;
    RecordingPeer peer;
    b.chip.AttachFarEnd(&peer);
    b.SetReg(4, 0x03);
    b.SetReg(3, 0x43);
    b.chip.AttachFarEnd(nullptr);
    EXPECT_FALSE(peer.Attached());
    EXPECT_FALSE(peer.Dtr());
    EXPECT_FALSE(peer.ChipSendsBreak());
    peer.Send("lost");
    b.RunToIdle();
    EXPECT_EQ(b.chip.UartState().RxCount(), 0u);
}

TEST(RecordingPeer, ChangedSettingsApplyToTheNextFrame) {
    Bench b;
    RecordingPeer peer(LineSettings::Baud(9600));
    b.chip.AttachFarEnd(&peer);
    b.Send("a");
    b.RunToIdle();
    EXPECT_NE(peer.Text(), "a");
    peer.ClearRecords();
    peer.SetSettings(LineSettings::Baud(115200));
    b.Send("b");
    b.RunToIdle();
    EXPECT_EQ(peer.Text(), "b");
}

}  // namespace
}  // namespace linetest

// ---------------------------------------------------------------- the phone

namespace phonetest {
namespace {

using linetest::Bench;
using line::LineSettings;

std::string Crlf(const std::string& text) { return "\r\n" + text + "\r\n"; }

struct PhoneCase {
    const char* typed;
    std::string reply;  // everything the phone sends back, echo included
};

TEST(Phone, AnswersModemCommandsAtItsOwnSettings) {
    const std::string ok = Crlf("OK");
    const PhoneCase cases[] = {
        {"AT\r", "AT\r" + ok},
        {"ATE0\rAT\r", "ATE0\r" + ok + ok},
        {"ATE0\rATE1\rAT\r", "ATE0\r" + ok + ok + "AT\r" + ok},
        {"at+cgmi\r", "at+cgmi\r" + Crlf("Mockphone Ltd") + ok},
        {"AT+CGMM\r", "AT+CGMM\r" + Crlf("MP-100") + ok},
        {"AT+CGSN\r", "AT+CGSN\r" + Crlf("001234567890128") + ok},
        {"ATI\r", "ATI\r" + Crlf("Mockphone MP-100 modem") + ok},
        {"ATD123\r", "ATD123\r" + Crlf("ERROR")},
        {"AX\bT\r\n", "AX\bT\r" + ok + "\n"},
    };
    for (const PhoneCase& c : cases) {
        Bench b;
        b.Program(312, 0x03);  // 9600 8N1, the phone's default
        line::Phone phone;
        b.chip.AttachFarEnd(&phone);
        b.Send(c.typed);
        b.RunToIdle();
        EXPECT_EQ(b.Receive(), c.reply) << c.typed;
    }
}

TEST(Phone, ReferenceReplyAndMismatchedSettings) {
    Bench b;
    b.Program(312, 0x03);
    line::PhoneOptions o;
    o.referenceMaker = true;
    line::Phone phone(o);
    b.chip.AttachFarEnd(&phone);
    b.Send("AT+CGMI\r");
    b.RunToIdle();
    std::string got = b.Receive();
    std::string expected = "AT+CGMI\r\r\n";
    expected.append(std::begin(line::kReferenceMaker), std::end(line::kReferenceMaker));
    EXPECT_EQ(got.substr(0, 23), expected);

    Bench slow;
    slow.Program(312, 0x03);
    line::PhoneOptions fast;
    fast.settings = LineSettings::Baud(19200);
    line::Phone other(fast);
    slow.chip.AttachFarEnd(&other);
    slow.Send("AT\r");
    slow.RunToIdle();
    EXPECT_EQ(slow.Receive().find("OK"), std::string::npos);
    EXPECT_TRUE(other.Commands().empty());
}

// With flow control, a burst faster than the phone works drops CTS at a
// quarter of its buffer and raises it again at an eighth, losing nothing;
// replies wait while RTS is off.
TEST(Phone, FlowControlHoldsCtsAndWaitsForRts) {
    Bench b;
    b.Program(26, 0x03);  // 115200: far faster than the phone's 2 ms a byte
    line::PhoneOptions o;
    o.settings = LineSettings::Baud(115200);
    o.flowControl = true;
    o.bufferSize = 128;  // CTS off at 32 bytes held, on again at 16
    line::Phone phone(o);
    b.chip.AttachFarEnd(&phone);
    b.SetReg(4, 0x03);  // DTR and RTS on
    b.Send(std::string(60, 'x'));  // bulk-out packets of at most 64 bytes
    b.Send(std::string(60, 'x') + "\r");
    bool held = false;
    const uint64_t end = b.now + 2 * chip::kTicksPerSecond;
    for (uint64_t t = b.now; t < end; t += 10'000) {
        b.RunUntil(t);
        held = held || (phone.HoldingCts() && !(phone.ModemLines() & chip::kLineCts));
    }
    EXPECT_TRUE(held);
    EXPECT_FALSE(phone.HoldingCts());
    EXPECT_TRUE(phone.ModemLines() & chip::kLineCts);
    EXPECT_EQ(phone.BytesTaken(), 121u);
    EXPECT_EQ(phone.BytesDropped(), 0u);
    b.Receive();

    b.SetReg(4, 0x01);  // RTS off
    b.Send("ATE0\r");
    b.RunUntil(b.now + chip::kTicksPerSecond);
    EXPECT_EQ(b.Receive(), "");
    b.SetReg(4, 0x03);
    b.RunToIdle();
    EXPECT_EQ(b.Receive(), "ATE0\r\r\nOK\r\n");
}

}  // namespace
}  // namespace phonetest
