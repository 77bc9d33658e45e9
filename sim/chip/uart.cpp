// uart.cpp - the bridge chip's UART. See uart.h for the register model.
#include "sim/chip/uart.h"

namespace chip {

void Uart::ResetState() {
    divisor_ = kResetDivisor;
    ier_ = 0;
    fcr_ = 0;
    lsrErrors_ = 0;
    msrDeltas_ = 0;
    for (uint8_t& r : storage_) {
        r = 0;
    }
    txFifo_.Clear();
    txLoaded_ = false;
    txRunning_ = false;
    rxFifo_.Clear();
    reportHead_ = 0;
    reportCount_ = 0;
}

void Uart::PowerOn(uint64_t now) {
    Sync(now);
    ResetState();
    powered_ = true;
    SetLineControl(kResetLineControl);
    SetModemControl(0);
}

void Uart::PowerOff(uint64_t now) {
    Sync(now);
    SetLineControl(kResetLineControl);  // ends a break
    SetModemControl(0);                 // drops DTR and RTS
    ResetState();
    powered_ = false;
}

// Brings the clock to `now` unless the call comes from inside AdvanceTo,
// where the clock already stands at the time of the event being performed.
void Uart::Sync(uint64_t now) {
    if (!advancing_) {
        AdvanceTo(now);
    }
}

LineFormat Uart::Format() const {
    LineFormat format;
    format.rate = LineRate{kClock, divisor_};
    format.dataBits = static_cast<uint8_t>(5 + (lcr_ & 0x03));
    if (lcr_ & 0x04) {
        format.stopHalfBits = format.dataBits == 5 ? 3 : 4;
    } else {
        format.stopHalfBits = 2;
    }
    if (!(lcr_ & 0x08)) {
        format.parity = Parity::None;
    } else if (lcr_ & 0x20) {
        format.parity = (lcr_ & 0x10) ? Parity::Space : Parity::Mark;
    } else {
        format.parity = (lcr_ & 0x10) ? Parity::Even : Parity::Odd;
    }
    return format;
}

uint8_t Uart::LineStatus() const {
    uint8_t lsr = lsrErrors_;
    if (!rxFifo_.Empty()) {
        lsr |= kLsrDataReady;
    }
    if (txFifo_.Empty()) {
        lsr |= kLsrTxFifoEmpty;
        if (!txLoaded_) {
            lsr |= kLsrTxEmpty;
        }
    }
    if (lsrErrors_ & (kLsrParityError | kLsrFramingError | kLsrBreak)) {
        lsr |= kLsrFifoError;
    }
    return lsr;
}

uint8_t Uart::ReadRegister(uint8_t reg) {
    const bool dlab = (lcr_ & kLcrDlab) != 0;
    switch (reg) {
        case kRegData:
            if (dlab) {
                return static_cast<uint8_t>(divisor_);
            }
            return rxFifo_.Pop();
        case kRegInterruptEnable:
            return dlab ? static_cast<uint8_t>(divisor_ >> 8) : ier_;
        case kRegFifoControl:
            return fcr_;
        case kRegLineControl:
            return lcr_;
        case kRegModemControl:
            return mcr_;
        case kRegLineStatus: {
            const uint8_t lsr = LineStatus();
            lsrErrors_ = 0;
            return lsr;
        }
        case kRegModemStatus: {
            const uint8_t msr = ModemStatus();
            msrDeltas_ = 0;
            return msr;
        }
        default:
            return reg < kRegisterCount ? storage_[reg] : 0;
    }
}

uint8_t Uart::PeekRegister(uint8_t reg) const {
    const bool dlab = (lcr_ & kLcrDlab) != 0;
    switch (reg) {
        case kRegData:
            return dlab ? static_cast<uint8_t>(divisor_) : rxFifo_.Peek();
        case kRegInterruptEnable:
            return dlab ? static_cast<uint8_t>(divisor_ >> 8) : ier_;
        case kRegFifoControl:
            return fcr_;
        case kRegLineControl:
            return lcr_;
        case kRegModemControl:
            return mcr_;
        case kRegLineStatus:
            return LineStatus();
        case kRegModemStatus:
            return ModemStatus();
        default:
            return reg < kRegisterCount ? storage_[reg] : 0;
    }
}

void Uart::WriteRegister(uint8_t reg, uint8_t value) {
    const bool dlab = (lcr_ & kLcrDlab) != 0;
    switch (reg) {
        case kRegData:
            if (dlab) {
                SetDivisor(static_cast<uint16_t>((divisor_ & 0xFF00) | value));
            } else {
                Write(&value, 1);
            }
            return;
        case kRegInterruptEnable:
            if (dlab) {
                SetDivisor(static_cast<uint16_t>((divisor_ & 0x00FF) | (value << 8)));
            } else {
                ier_ = value;
            }
            return;
        case kRegFifoControl:
            if (value & 0x02) {
                rxFifo_.Clear();
            }
            if ((value & 0x04) && !txFifo_.Empty()) {
                txFifo_.Clear();
                if (events_) {
                    events_->OnUartTxSpace();
                }
            }
            fcr_ = static_cast<uint8_t>(value & ~0x06);
            return;
        case kRegLineControl:
            SetLineControl(value);
            return;
        case kRegModemControl:
            SetModemControl(value);
            return;
        case kRegLineStatus:
        case kRegModemStatus:
            return;  // read-only
        default:
            if (reg < kRegisterCount) {
                storage_[reg] = value;
            }
            return;
    }
}

void Uart::SetModemControl(uint8_t value) {
    const uint8_t before = mcr_ & (kLineDtr | kLineRts);
    mcr_ = value;
    const uint8_t after = mcr_ & (kLineDtr | kLineRts);
    if (after != before && farEnd_) {
        farEnd_->ChipModemOutputs(now_, after);
    }
}

void Uart::SetLineControl(uint8_t value) {
    const bool breakBefore = BreakOn();
    lcr_ = value;
    const bool breakAfter = BreakOn();
    if (breakAfter == breakBefore) {
        return;
    }
    if (breakAfter) {
        HoldTx();
    }
    if (farEnd_) {
        farEnd_->ChipBreak(now_, breakAfter);
    }
    if (!breakAfter) {
        TryStartTx(false);
    }
}

void Uart::SetDivisor(uint16_t divisor) {
    divisor_ = divisor;
    if (divisor_ == 0) {
        HoldTx();
    } else {
        TryStartTx(false);
    }
}

// Abandons the frame on the wire; its byte stays in the shift register and is
// sent again from its start bit when the transmitter may run.
void Uart::HoldTx() {
    txRunning_ = false;
}

// Starts the next frame if the transmitter may run and has a byte. A
// continuous start follows the frame that just ended without a gap; otherwise
// the new frame begins at the current tick.
void Uart::TryStartTx(bool continuous) {
    if (!powered_ || txRunning_ || BreakOn() || divisor_ == 0) {
        return;
    }
    if (!txLoaded_) {
        if (txFifo_.Empty()) {
            return;
        }
        txChar_ = txFifo_.Pop();
        txLoaded_ = true;
        if (events_) {
            events_->OnUartTxSpace();
        }
    }
    txFormat_ = Format();
    if (!continuous) {
        txClock_.Restart(now_);
    }
    txEnd_ = txClock_.AddFrame(txFormat_);
    txRunning_ = true;
}

// The frame on the wire has ended (the clock stands at txEnd_): start the
// next one, then hand the finished one to the far end.
void Uart::FinishTx() {
    const uint8_t data = txChar_;
    const LineFormat format = txFormat_;
    txRunning_ = false;
    txLoaded_ = false;
    TryStartTx(true);
    if (farEnd_) {
        farEnd_->ChipCharacter(now_, data, format);
    }
}

uint32_t Uart::Write(const uint8_t* data, uint32_t length) {
    if (!powered_) {
        return 0;
    }
    uint32_t taken = 0;
    while (taken < length && txFifo_.Push(data[taken])) {
        ++taken;
    }
    TryStartTx(false);
    return taken;
}

uint32_t Uart::Read(uint8_t* out, uint32_t max) {
    return rxFifo_.PopInto(out, max);
}

bool Uart::TakeReport(StatusReport* report) {
    if (reportCount_ == 0) {
        return false;
    }
    *report = reports_[reportHead_];
    reportHead_ = (reportHead_ + 1) % kReportQueueSize;
    --reportCount_;
    return true;
}

void Uart::QueueReport(uint8_t deltas) {
    const uint8_t sequence = reportSequence_++;
    if (reportCount_ == kReportQueueSize) {
        StatusReport& newest = reports_[(reportHead_ + reportCount_ - 1) % kReportQueueSize];
        newest.bytes[1] = LineStatus();
        newest.bytes[2] = sequence;
        newest.bytes[3] = static_cast<uint8_t>(msrLevels_ | (newest.bytes[3] & 0x0F) | deltas);
        return;
    }
    StatusReport& report = reports_[(reportHead_ + reportCount_) % kReportQueueSize];
    report.bytes[0] = kReportMarker;
    report.bytes[1] = LineStatus();
    report.bytes[2] = sequence;
    report.bytes[3] = static_cast<uint8_t>(msrLevels_ | deltas);
    ++reportCount_;
    if (events_) {
        events_->OnUartReport();
    }
}

void Uart::AttachFarEnd(FarEnd* farEnd) {
    if (farEnd == farEnd_) {
        return;
    }
    FarEnd* const previous = farEnd_;
    farEnd_ = farEnd;
    if (previous) {
        previous->OnAttach(nullptr, now_);
    }
    if (!farEnd_) {
        LineModemInputs(now_, 0);  // nothing drives the inputs any more
        return;
    }
    farEnd_->OnAttach(this, now_);
    farEnd_->ChipModemOutputs(now_, mcr_ & (kLineDtr | kLineRts));
    if (BreakOn()) {
        farEnd_->ChipBreak(now_, true);
    }
}

uint64_t Uart::NextEventTime() const {
    const uint64_t tx = txRunning_ ? txEnd_ : kNever;
    const uint64_t far = farEnd_ ? farEnd_->NextEventTime() : kNever;
    return tx < far ? tx : far;
}

void Uart::AdvanceTo(uint64_t now) {
    if (advancing_) {
        return;  // a far end calling back while being advanced: already in order
    }
    advancing_ = true;
    if (now < now_) {
        now = now_;
    }
    for (;;) {
        const uint64_t tx = txRunning_ ? txEnd_ : kNever;
        const uint64_t far = farEnd_ ? farEnd_->NextEventTime() : kNever;
        const uint64_t next = tx < far ? tx : far;
        if (next > now) {
            break;
        }
        if (next > now_) {
            now_ = next;
        }
        // On a tie the chip's frame ends first, so a loopback sees it at once.
        if (tx <= far) {
            FinishTx();
        } else {
            farEnd_->AdvanceTo(now_);
            if (farEnd_ && farEnd_->NextEventTime() <= now_) {
                break;  // a far end that does not move on would stall the clock
            }
        }
    }
    now_ = now;
    if (farEnd_) {
        farEnd_->AdvanceTo(now_);
    }
    advancing_ = false;
}

void Uart::ReceiveChar(ReceivedChar c) {
    lsrErrors_ |= c.errors;
    const bool wasEmpty = rxFifo_.Empty();
    if (!rxFifo_.Push(c.data)) {
        lsrErrors_ |= kLsrOverrun;
        return;
    }
    if (wasEmpty && events_) {
        events_->OnUartRxData();
    }
}

void Uart::LineCharacter(uint64_t now, uint8_t data, const LineFormat& format) {
    Sync(now);
    if (!powered_) {
        return;
    }
    const LineFormat own = Format();
    if (!own.rate.Running()) {
        lsrErrors_ |= kLsrFramingError;  // no clock to sample with
        return;
    }
    const SampledFrame frame = SampleFrame(format, data, own);
    for (uint32_t i = 0; i < frame.count; ++i) {
        ReceiveChar(frame.chars[i]);
    }
}

// A break as a 16550 receives it: one zero character flagged with break and
// framing error; nothing more until the line returns to mark.
void Uart::LineBreak(uint64_t now, bool on) {
    Sync(now);
    if (!powered_ || !on || divisor_ == 0) {
        return;
    }
    ReceiveChar(ReceivedChar{0, kRxBreak | kRxFramingError});
}

void Uart::LineModemInputs(uint64_t now, uint8_t lines) {
    Sync(now);
    lines &= kLineCts | kLineDsr | kLineRi | kLineDcd;
    const uint8_t before = msrLevels_;
    if (lines == before) {
        return;
    }
    const uint8_t changed = lines ^ before;
    uint8_t deltas = 0;
    if (changed & kLineCts) {
        deltas |= kMsrDeltaCts;
    }
    if (changed & kLineDsr) {
        deltas |= kMsrDeltaDsr;
    }
    if ((before & kLineRi) && !(lines & kLineRi)) {
        deltas |= kMsrTrailingRi;
    }
    if (changed & kLineDcd) {
        deltas |= kMsrDeltaDcd;
    }
    msrLevels_ = lines;
    if (!powered_) {
        return;
    }
    msrDeltas_ |= deltas;
    QueueReport(deltas);
}

}  // namespace chip
