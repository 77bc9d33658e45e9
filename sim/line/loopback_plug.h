// loopback_plug.h - the loopback plug: a connector that wires the chip's
// serial port back to itself. TX to RX, RTS to CTS, DTR to DSR and DCD; RI is
// not connected. A plug is wire, not a UART: every frame comes back exactly
// as sent, at the instant it ends, whatever the settings.
#pragma once

#include <cstdint>

#include "sim/chip/line.h"

namespace line {

class LoopbackPlug final : public chip::FarEnd {
  public:
    LoopbackPlug() = default;
    LoopbackPlug(const LoopbackPlug&) = delete;
    LoopbackPlug& operator=(const LoopbackPlug&) = delete;
    ~LoopbackPlug() = default;

    // Inputs the plug drives for the given chip outputs (bit 0 DTR, bit 1 RTS).
    static uint8_t Wire(uint8_t outputs);

    void OnAttach(chip::NearEnd* chip, uint64_t now) override;
    void ChipCharacter(uint64_t now, uint8_t data, const chip::LineFormat& format) override;
    void ChipBreak(uint64_t now, bool on) override;
    void ChipModemOutputs(uint64_t now, uint8_t lines) override;
    uint64_t NextEventTime() const override { return chip::kNever; }
    void AdvanceTo(uint64_t) override {}

  private:
    chip::NearEnd* chip_ = nullptr;
};

}  // namespace line
