// line_peer.h - devices at the far end of the bridge chip's serial line.
//
// A LinePeer is a device with a UART of its own: it has its own line settings,
// sends characters to the chip at its own rate in virtual time, drives the
// chip's modem status inputs (CTS, DSR, RI, DCD) and sees the chip's DTR, RTS
// and break. Characters the chip sends are sampled with the peer's settings,
// so a peer set to another rate or framing receives what a real one would:
// garbage with framing and parity errors, or nothing.
//
// Concrete peers implement the three hooks. RecordingPeer keeps everything
// it sees, for tests and traces.
#pragma once

#include <cstdint>
#include <deque>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sim/chip/line.h"

namespace line {

enum class StopBits : uint8_t { One, OneAndHalf, Two };

struct LineSettings {
    chip::LineRate rate{115200, 1};
    uint8_t dataBits = 8;
    chip::Parity parity = chip::Parity::None;
    StopBits stopBits = StopBits::One;

    // A nominal rate in bit/s with the given framing.
    static LineSettings Baud(uint32_t baud, uint8_t dataBits = 8,
                             chip::Parity parity = chip::Parity::None,
                             StopBits stopBits = StopBits::One);
    chip::LineFormat Format() const;
};

class LinePeer : public chip::FarEnd {
  public:
    explicit LinePeer(const LineSettings& settings = {});
    virtual ~LinePeer();
    LinePeer(const LinePeer&) = delete;
    LinePeer& operator=(const LinePeer&) = delete;

    // New settings apply to the next frame sent or received.
    const LineSettings& Settings() const { return settings_; }
    void SetSettings(const LineSettings& settings) { settings_ = settings; }

    // Queues bytes for sending; they leave back to back at the peer's rate,
    // starting at the peer's current time when it is idle.
    void Send(std::span<const uint8_t> bytes);
    void Send(std::string_view text);
    // Holds the line at spacing (on) or releases it. A frame in progress is
    // abandoned and sent again after the break.
    void SetBreak(bool on);
    // Drives the chip's modem status inputs: chip::kLineCts, kLineDsr,
    // kLineRi, kLineDcd.
    void SetModemLines(uint8_t lines);
    void SetLine(uint8_t line, bool on);

    uint8_t ModemLines() const { return modemLines_; }
    bool SendingBreak() const { return breakOn_; }
    size_t PendingBytes() const { return txQueue_.size() + (txRunning_ ? 1 : 0); }

    // What the chip drives.
    bool Dtr() const { return (chipOutputs_ & chip::kLineDtr) != 0; }
    bool Rts() const { return (chipOutputs_ & chip::kLineRts) != 0; }
    bool ChipSendsBreak() const { return chipBreak_; }
    bool Attached() const { return chip_ != nullptr; }
    uint64_t Now() const { return now_; }

    // chip::FarEnd.
    void OnAttach(chip::NearEnd* chip, uint64_t now) override;
    void ChipCharacter(uint64_t now, uint8_t data, const chip::LineFormat& format) override;
    void ChipBreak(uint64_t now, bool on) override;
    void ChipModemOutputs(uint64_t now, uint8_t lines) override;
    uint64_t NextEventTime() const override;
    void AdvanceTo(uint64_t now) override;

  protected:
    // A character as the peer's UART received it.
    virtual void OnReceived(uint64_t now, chip::ReceivedChar received) = 0;
    // The chip changed DTR or RTS.
    virtual void OnModemOutputs(uint64_t now, bool dtr, bool rts) = 0;
    // The chip started or ended a break.
    virtual void OnBreak(uint64_t now, bool on) = 0;

  private:
    void MoveTo(uint64_t now);
    void StartFrame(bool continuous);

    LineSettings settings_;
    chip::NearEnd* chip_ = nullptr;
    uint64_t now_ = 0;
    uint8_t modemLines_ = 0;
    uint8_t chipOutputs_ = 0;
    bool chipBreak_ = false;
    bool breakOn_ = false;

    std::deque<uint8_t> txQueue_;
    bool txRunning_ = false;
    bool txHeld_ = false;  // txChar_ was abandoned by a break and goes again
    uint8_t txChar_ = 0;
    chip::LineFormat txFormat_;
    uint64_t txEnd_ = 0;
    chip::LineClock txClock_;
};

// A peer that records everything it sees.
class RecordingPeer : public LinePeer {
  public:
    struct Received {
        uint64_t time;
        uint8_t data;
        uint8_t errors;  // chip::kRx* bits
    };
    struct OutputChange {
        uint64_t time;
        bool dtr;
        bool rts;
    };
    struct BreakChange {
        uint64_t time;
        bool on;
    };

    using LinePeer::LinePeer;

    const std::vector<Received>& ReceivedChars() const { return received_; }
    // The received bytes as text, errors ignored.
    std::string Text() const;
    const std::vector<OutputChange>& OutputChanges() const { return outputs_; }
    const std::vector<BreakChange>& Breaks() const { return breaks_; }
    void ClearRecords();

  protected:
    void OnReceived(uint64_t now, chip::ReceivedChar received) override;
    void OnModemOutputs(uint64_t now, bool dtr, bool rts) override;
    void OnBreak(uint64_t now, bool on) override;

  private:
    std::vector<Received> received_;
    std::vector<OutputChange> outputs_;
    std::vector<BreakChange> breaks_;
};

}  // namespace line
