// loopback_plug.cpp - the loopback plug.
#include "sim/line/loopback_plug.h"

namespace line {

uint8_t LoopbackPlug::Wire(uint8_t outputs) {
    uint8_t inputs = 0;
    if (outputs & chip::kLineRts) {
        inputs |= chip::kLineCts;
    }
    if (outputs & chip::kLineDtr) {
        inputs |= chip::kLineDsr | chip::kLineDcd;
    }
    return inputs;
}

// The chip reports its outputs right after attaching; until then nothing
// drives the inputs.
void LoopbackPlug::OnAttach(chip::NearEnd* chip, uint64_t now) {
    chip_ = chip;
    if (chip_) {
        chip_->LineModemInputs(now, 0);
    }
}

void LoopbackPlug::ChipCharacter(uint64_t now, uint8_t data, const chip::LineFormat& format) {
    if (chip_) {
        chip_->LineCharacter(now, data, format);
    }
}

void LoopbackPlug::ChipBreak(uint64_t now, bool on) {
    if (chip_) {
        chip_->LineBreak(now, on);
    }
}

void LoopbackPlug::ChipModemOutputs(uint64_t now, uint8_t lines) {
    if (chip_) {
        chip_->LineModemInputs(now, Wire(lines));
    }
}

}  // namespace line
