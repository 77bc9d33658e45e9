// chip_harness.h - drives a BridgeChip the way the USB bus does, on a virtual
// clock that only moves when the test says so.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "sim/chip/bridge_chip.h"

namespace chiptest {

using chip::BridgeChip;
using chip::Outcome;
using chip::SetupPacket;
using chip::TransferResult;

// Records every endpoint the chip says is worth polling again.
struct ReadyLog final : chip::ChipObserver {
    std::vector<uint8_t> endpoints;
    void OnEndpointReady(uint8_t endpoint) override { endpoints.push_back(endpoint); }
};

// A far end that records the raw frames, breaks and modem outputs the chip
// puts on the line, and can drive the chip's inputs directly.
struct WireProbe final : chip::FarEnd {
    struct Frame {
        uint64_t time;
        uint8_t data;
        chip::LineFormat format;
    };
    struct Change {
        uint64_t time;
        uint8_t value;
    };
    chip::NearEnd* chip = nullptr;
    std::vector<Frame> frames;
    std::vector<Change> breaks;   // value 1 on, 0 off
    std::vector<Change> outputs;  // DTR/RTS bits

    void OnAttach(chip::NearEnd* c, uint64_t) override { chip = c; }
    void ChipCharacter(uint64_t now, uint8_t data, const chip::LineFormat& format) override {
        frames.push_back({now, data, format});
    }
    void ChipBreak(uint64_t now, bool on) override {
        breaks.push_back({now, on ? uint8_t{1} : uint8_t{0}});
    }
    void ChipModemOutputs(uint64_t now, uint8_t lines) override { outputs.push_back({now, lines}); }
    uint64_t NextEventTime() const override { return chip::kNever; }
    void AdvanceTo(uint64_t) override {}
};

class Harness {
  public:
    BridgeChip chip;
    uint64_t now = 0;

    TransferResult Request(SetupPacket setup, uint8_t* data = nullptr, uint32_t length = 0) {
        return chip.Control(now, setup, data, length);
    }

    TransferResult WriteRegister(uint16_t reg, uint8_t value) {
        return Request(SetupPacket{0x40, 0xFE, value, reg, 0});
    }

    TransferResult ReadRegister(uint16_t reg, uint8_t* value) {
        return Request(SetupPacket{0xC0, 0xFE, 0, reg, 1}, value, 1);
    }

    // Reads a register that must be readable.
    uint8_t Reg(uint16_t reg) {
        uint8_t value = 0xA5;
        const TransferResult r = ReadRegister(reg, &value);
        EXPECT_EQ(r.outcome, Outcome::Done) << "register " << reg;
        EXPECT_EQ(r.length, 1u) << "register " << reg;
        return value;
    }

    void SetReg(uint16_t reg, uint8_t value) {
        const TransferResult r = WriteRegister(reg, value);
        EXPECT_EQ(r.outcome, Outcome::Done) << "register " << reg;
    }

    void Configure() {
        const TransferResult r = Request(SetupPacket{0x00, 9, 1, 0, 0});
        ASSERT_EQ(r.outcome, Outcome::Done);
    }

    // Programs divisor and line control as the driver does (latch open,
    // divisor low and high, latch closed).
    void Program(uint16_t divisor, uint8_t lineControl) {
        SetReg(3, static_cast<uint8_t>(lineControl | 0x80));
        SetReg(0, static_cast<uint8_t>(divisor));
        SetReg(1, static_cast<uint8_t>(divisor >> 8));
        SetReg(3, lineControl);
    }

    TransferResult Send(const std::vector<uint8_t>& bytes) {
        return chip.BulkOut(now, bytes.data(), static_cast<uint32_t>(bytes.size()));
    }

    // Drains everything received so far through bulk-in packets.
    std::vector<uint8_t> Receive() {
        std::vector<uint8_t> all;
        for (;;) {
            uint8_t packet[64];
            const TransferResult r = chip.BulkIn(now, packet, sizeof packet);
            if (r.outcome != Outcome::Done) {
                break;
            }
            all.insert(all.end(), packet, packet + r.length);
        }
        return all;
    }

    // Moves the clock to `until` in the steps a scheduler takes: from one
    // chip event to the next.
    void RunUntil(uint64_t until) {
        for (uint64_t next = chip.NextEventTime(); next <= until; next = chip.NextEventTime()) {
            now = next > now ? next : now;
            chip.AdvanceTo(now);
        }
        now = until > now ? until : now;
        chip.AdvanceTo(now);
    }

    // Runs until nothing more is scheduled; returns the time of the last event.
    uint64_t RunToIdle() {
        uint64_t last = now;
        int steps = 0;
        for (uint64_t next = chip.NextEventTime(); next != chip::kNever;
             next = chip.NextEventTime()) {
            if (++steps > 1'000'000) {
                ADD_FAILURE() << "the chip never goes idle";
                break;
            }
            now = next > now ? next : now;
            last = now;
            chip.AdvanceTo(now);
        }
        return last;
    }
};

}  // namespace chiptest
