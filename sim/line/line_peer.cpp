// line_peer.cpp - peers at the far end of the serial line.
#include "sim/line/line_peer.h"

#include <algorithm>

namespace line {

LineSettings LineSettings::Baud(uint32_t baud, uint8_t dataBits, chip::Parity parity,
                                StopBits stopBits) {
    return LineSettings{chip::LineRate{baud, 1}, dataBits, parity, stopBits};
}

chip::LineFormat LineSettings::Format() const {
    chip::LineFormat format;
    format.rate = rate;
    format.dataBits = dataBits;
    format.parity = parity;
    switch (stopBits) {
        case StopBits::One:
            format.stopHalfBits = 2;
            break;
        case StopBits::OneAndHalf:
            format.stopHalfBits = 3;
            break;
        case StopBits::Two:
            format.stopHalfBits = 4;
            break;
    }
    return format;
}

LinePeer::LinePeer(const LineSettings& settings) : settings_(settings) {}

LinePeer::~LinePeer() = default;

void LinePeer::MoveTo(uint64_t now) {
    now_ = std::max(now_, now);
}

void LinePeer::Send(std::span<const uint8_t> bytes) {
    txQueue_.insert(txQueue_.end(), bytes.begin(), bytes.end());
    StartFrame(false);
}

void LinePeer::Send(std::string_view text) {
    Send(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

// Starts the next frame unless one is on the wire, the line is held by a
// break or the peer has no rate. A continuous start follows the frame that
// just ended without a gap.
void LinePeer::StartFrame(bool continuous) {
    if (txRunning_ || breakOn_ || !settings_.rate.Running()) {
        return;
    }
    if (!txHeld_) {
        if (txQueue_.empty()) {
            return;
        }
        txChar_ = txQueue_.front();
        txQueue_.pop_front();
    }
    txHeld_ = false;
    txFormat_ = settings_.Format();
    if (!continuous) {
        txClock_.Restart(now_);
    }
    txEnd_ = txClock_.AddFrame(txFormat_);
    txRunning_ = true;
}

void LinePeer::SetBreak(bool on) {
    if (on == breakOn_) {
        return;
    }
    breakOn_ = on;
    if (on && txRunning_) {
        txRunning_ = false;
        txHeld_ = true;
    }
    if (chip_) {
        chip_->LineBreak(now_, on);
    }
    if (!on) {
        StartFrame(false);
    }
}

void LinePeer::SetModemLines(uint8_t lines) {
    lines &= chip::kLineCts | chip::kLineDsr | chip::kLineRi | chip::kLineDcd;
    if (lines == modemLines_) {
        return;
    }
    modemLines_ = lines;
    if (chip_) {
        chip_->LineModemInputs(now_, modemLines_);
    }
}

void LinePeer::SetLine(uint8_t line, bool on) {
    SetModemLines(on ? static_cast<uint8_t>(modemLines_ | line)
                     : static_cast<uint8_t>(modemLines_ & ~line));
}

void LinePeer::OnAttach(chip::NearEnd* chip, uint64_t now) {
    MoveTo(now);
    chip_ = chip;
    if (chip_) {
        chip_->LineModemInputs(now_, modemLines_);
        if (breakOn_) {
            chip_->LineBreak(now_, true);
        }
        return;
    }
    // Unplugged: the chip's lines are no longer seen.
    if (chipOutputs_ != 0) {
        chipOutputs_ = 0;
        OnModemOutputs(now_, false, false);
    }
    if (chipBreak_) {
        chipBreak_ = false;
        OnBreak(now_, false);
    }
}

void LinePeer::ChipCharacter(uint64_t now, uint8_t data, const chip::LineFormat& format) {
    MoveTo(now);
    const chip::SampledFrame frame = chip::SampleFrame(format, data, settings_.Format());
    for (uint32_t i = 0; i < frame.count; ++i) {
        OnReceived(now_, frame.chars[i]);
    }
}

void LinePeer::ChipBreak(uint64_t now, bool on) {
    MoveTo(now);
    if (on == chipBreak_) {
        return;
    }
    chipBreak_ = on;
    OnBreak(now_, on);
}

void LinePeer::ChipModemOutputs(uint64_t now, uint8_t lines) {
    MoveTo(now);
    lines &= chip::kLineDtr | chip::kLineRts;
    if (lines == chipOutputs_) {
        return;
    }
    chipOutputs_ = lines;
    OnModemOutputs(now_, Dtr(), Rts());
}

uint64_t LinePeer::NextEventTime() const {
    return txRunning_ ? txEnd_ : chip::kNever;
}

void LinePeer::AdvanceTo(uint64_t now) {
    while (txRunning_ && txEnd_ <= now) {
        MoveTo(txEnd_);
        const uint8_t data = txChar_;
        const chip::LineFormat format = txFormat_;
        txRunning_ = false;
        StartFrame(true);
        if (chip_) {
            chip_->LineCharacter(now_, data, format);
        }
    }
    MoveTo(now);
}

std::string RecordingPeer::Text() const {
    std::string text;
    for (const Received& r : received_) {
        text.push_back(static_cast<char>(r.data));
    }
    return text;
}

void RecordingPeer::ClearRecords() {
    received_.clear();
    outputs_.clear();
    breaks_.clear();
}

void RecordingPeer::OnReceived(uint64_t now, chip::ReceivedChar received) {
    received_.push_back(Received{now, received.data, received.errors});
}

void RecordingPeer::OnModemOutputs(uint64_t now, bool dtr, bool rts) {
    outputs_.push_back(OutputChange{now, dtr, rts});
}

void RecordingPeer::OnBreak(uint64_t now, bool on) {
    breaks_.push_back(BreakChange{now, on});
}

}  // namespace line
