// phone.cpp - the phone and the echo peer.
#include "sim/line/phone.h"

#include <algorithm>
#include <cctype>

namespace line {

const uint8_t kReferenceMaker[13] = {0x53, 0x6F, 0x6E, 0x79, 0x20, 0x45, 0x72,
                                     0x69, 0x63, 0x73, 0x73, 0x6F, 0x6E};

namespace {

// The neutral maker, model and serial number.
constexpr char kMaker[] = "Mockphone Ltd";
constexpr char kModel[] = "MP-100";
constexpr char kSerial[] = "001234567890128";
constexpr char kIdentity[] = "Mockphone MP-100 modem";

}  // namespace

Phone::Phone(const PhoneOptions& options) : LinePeer(options.settings), options_(options) {
    SetModemLines(chip::kLineCts | chip::kLineDsr);
}

std::vector<uint8_t> Phone::MakerReply() const {
    if (options_.referenceMaker)
        return std::vector<uint8_t>(std::begin(kReferenceMaker), std::end(kReferenceMaker));
    return std::vector<uint8_t>(kMaker, kMaker + sizeof kMaker - 1);
}

void Phone::OnAttach(chip::NearEnd* chip, uint64_t now) {
    LinePeer::OnAttach(chip, now);
}

uint64_t Phone::NextEventTime() const {
    return std::min(LinePeer::NextEventTime(), nextTake_);
}

// Works through buffered bytes due by `now`, in time order with the
// phone's own transmitter.
void Phone::AdvanceTo(uint64_t now) {
    while (nextTake_ <= now) {
        LinePeer::AdvanceTo(nextTake_);
        uint8_t byte = input_.front();
        input_.pop_front();
        nextTake_ = input_.empty() ? chip::kNever : nextTake_ + options_.byteTime;
        Take(byte);
        UpdateCts();
    }
    LinePeer::AdvanceTo(now);
}

void Phone::OnReceived(uint64_t now, chip::ReceivedChar received) {
    if (!options_.flowControl || options_.byteTime == 0) {
        Take(received.data);
        return;
    }
    if (input_.size() >= options_.bufferSize) {
        ++dropped_;
        return;
    }
    input_.push_back(received.data);
    if (nextTake_ == chip::kNever) nextTake_ = now + options_.byteTime;
    UpdateCts();
}

void Phone::UpdateCts() {
    if (!options_.flowControl) return;
    if (!ctsHeld_ && input_.size() >= options_.bufferSize / 4) {
        ctsHeld_ = true;
        SetLine(chip::kLineCts, false);
    } else if (ctsHeld_ && input_.size() <= options_.bufferSize / 8) {
        ctsHeld_ = false;
        SetLine(chip::kLineCts, true);
    }
}

void Phone::OnModemOutputs(uint64_t, bool, bool rts) {
    if (rts) FlushReplies();
}

void Phone::OnBreak(uint64_t, bool) {}

// One byte of input as the command interpreter sees it: echoed when echo is
// on, collected into a line, the line answered at its carriage return.
void Phone::Take(uint8_t byte) {
    ++taken_;
    if (echo_) Reply(std::vector<uint8_t>{byte});
    if (byte == '\r') {
        std::string line = line_;
        line_.clear();
        if (!line.empty()) Answer(line);
    } else if (byte == '\n') {
    } else if (byte == 0x08 || byte == 0x7F) {
        if (!line_.empty()) line_.pop_back();
    } else if (line_.size() < 256) {
        line_.push_back(static_cast<char>(byte));
    }
}

void Phone::Answer(const std::string& line) {
    commands_.push_back(line);
    std::string command;
    for (char c : line) command.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
    const std::string ok = "\r\nOK\r\n";
    auto info = [&](const std::vector<uint8_t>& text) {
        std::vector<uint8_t> out{'\r', '\n'};
        out.insert(out.end(), text.begin(), text.end());
        out.insert(out.end(), {'\r', '\n'});
        Reply(out);
        Reply(ok);
    };
    auto text = [](const char* s) { return std::vector<uint8_t>(s, s + std::char_traits<char>::length(s)); };
    if (command == "AT") {
        Reply(ok);
    } else if (command == "ATE0" || command == "ATE") {
        echo_ = false;
        Reply(ok);
    } else if (command == "ATE1") {
        echo_ = true;
        Reply(ok);
    } else if (command == "ATI") {
        info(text(kIdentity));
    } else if (command == "AT+CGMI") {
        info(MakerReply());
    } else if (command == "AT+CGMM") {
        info(text(kModel));
    } else if (command == "AT+CGSN") {
        info(text(kSerial));
    } else {
        Reply(std::string("\r\nERROR\r\n"));
    }
}

void Phone::Reply(const std::string& text) {
    Reply(std::vector<uint8_t>(text.begin(), text.end()));
}

void Phone::Reply(const std::vector<uint8_t>& bytes) {
    held_.insert(held_.end(), bytes.begin(), bytes.end());
    FlushReplies();
}

// Sends what is held unless flow control waits for the chip's RTS.
void Phone::FlushReplies() {
    if (held_.empty() || (options_.flowControl && !Rts())) return;
    std::vector<uint8_t> out;
    out.swap(held_);
    Send(out);
}

void EchoPeer::OnAttach(chip::NearEnd* chip, uint64_t now) {
    LinePeer::OnAttach(chip, now);
    SetModemLines(chip::kLineCts | chip::kLineDsr);
}

void EchoPeer::OnReceived(uint64_t, chip::ReceivedChar received) {
    uint8_t byte = received.data;
    Send(std::span<const uint8_t>(&byte, 1));
}

}  // namespace line
