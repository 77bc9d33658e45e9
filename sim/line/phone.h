// phone.h - peers that answer: a phone that takes modem commands, and an
// echo peer that sends back what it receives.
//
// The phone is a UART of its own at its own line settings (a port set to
// other settings exchanges garbage with it, as on a real line). It answers
// AT, ATE0 and ATE1 (echo off and on; echo is on at power-up), ATI, AT+CGMI
// (manufacturer), AT+CGMM (model) and AT+CGSN (serial number) with verbose
// result codes, and ERROR to anything else. Its manufacturer reply is either
// a neutral made-up maker or the reference reply that the driver's
// identification check knows; the latter is held as byte constants here as
// it is in the driver.
//
// It drives DSR on while attached and CTS on unless its flow control holds
// it. With RTS/CTS flow control on, received bytes go into an input buffer
// that the phone works through one byte per byteTime: CTS drops when the
// buffer is a quarter full and rises again at an eighth (the room above
// covers what the far side's FIFOs still send after CTS drops), and the
// phone sends nothing while the chip holds RTS off.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "sim/line/line_peer.h"

namespace line {

// The 13 bytes of the reference manufacturer reply.
extern const uint8_t kReferenceMaker[13];

struct PhoneOptions {
    LineSettings settings = LineSettings::Baud(9600);
    bool referenceMaker = false;  // AT+CGMI gives the reference reply
    bool flowControl = false;     // RTS/CTS on the phone's side
    size_t bufferSize = 512;      // input buffer under flow control
    uint64_t byteTime = 20'000;   // 2 ms to work through one buffered byte
};

class Phone : public LinePeer {
  public:
    explicit Phone(const PhoneOptions& options = {});

    const PhoneOptions& Options() const { return options_; }
    bool Echo() const { return echo_; }
    // Command lines received so far, as text (control bytes as received).
    const std::vector<std::string>& Commands() const { return commands_; }
    // Bytes taken in and bytes dropped on a full buffer.
    uint64_t BytesTaken() const { return taken_; }
    uint64_t BytesDropped() const { return dropped_; }
    bool HoldingCts() const { return ctsHeld_; }
    // The manufacturer reply as it goes on the line.
    std::vector<uint8_t> MakerReply() const;

    void OnAttach(chip::NearEnd* chip, uint64_t now) override;
    uint64_t NextEventTime() const override;
    void AdvanceTo(uint64_t now) override;

  protected:
    void OnReceived(uint64_t now, chip::ReceivedChar received) override;
    void OnModemOutputs(uint64_t now, bool dtr, bool rts) override;
    void OnBreak(uint64_t now, bool on) override;

  private:
    void Take(uint8_t byte);
    void Answer(const std::string& line);
    void Reply(const std::vector<uint8_t>& bytes);
    void Reply(const std::string& text);
    void FlushReplies();
    void UpdateCts();

    PhoneOptions options_;
    bool echo_ = true;
    std::string line_;
    std::vector<std::string> commands_;
    std::deque<uint8_t> input_;     // under flow control: waiting to be worked through
    uint64_t nextTake_ = chip::kNever;
    std::vector<uint8_t> held_;     // replies held while RTS is off
    bool ctsHeld_ = false;
    uint64_t taken_ = 0;
    uint64_t dropped_ = 0;
};

// Sends back every byte it receives, at its own settings; CTS and DSR on.
class EchoPeer : public LinePeer {
  public:
    using LinePeer::LinePeer;
    void OnAttach(chip::NearEnd* chip, uint64_t now) override;

  protected:
    void OnReceived(uint64_t now, chip::ReceivedChar received) override;
    void OnModemOutputs(uint64_t, bool, bool) override {}
    void OnBreak(uint64_t, bool) override {}
};

}  // namespace line
