// mode_string.cpp - BuildCommDCB and BuildCommDCBAndTimeouts: a DCB (and
// time-outs) from a string in the syntax of the mode command's COMx form,
// as Windows parses it. Nothing is sent to a device.
//
//   [COMn[:]] baud=b parity=p data=d stop=s to=on|off xon=on|off odsr=on|off
//             octs=on|off dtr=on|off|hs rts=on|off|hs|tg idsr=on|off
//   [COMn[:]] b[,p[,d[,s[,x|p]]]]                               (older form)
//
// - The device name is optional; when given it is COM and a port number
//   from 1 (COM0 is refused), blanks and a colon may follow it.
// - The string may not start with a blank. Keys and values are
//   case-insensitive; key=value pairs are separated by blanks, with none
//   around the '=' ("baud= 9600" is refused), and may come in any order and
//   leave any out. The two forms do not mix.
// - baud is any decimal number that fits a DWORD, 0 and ten-digit rates
//   included; the mode command's abbreviations (11, 15, 30, 60, 12, 24, 48,
//   96, 19) stand for 110 ... 19200 baud. parity is one of n, e, o, m, s;
//   data 5 to 8; stop 1, 1.5 or 2.
// - Only the members a setting names change, with these exceptions: a
//   missing stop= gives one stop bit, two at 110 baud; the older form sets
//   the flow control members as its last field says (none: XON/XOFF and
//   CTS/DSR flow off, DTR and RTS on; x: XON/XOFF on; p: CTS and DSR flow
//   on, DTR and RTS handshake). DCBlength, fBinary and fParity are never
//   touched. xon= sets fInX and fOutX, odsr= fOutxDsrFlow, octs=
//   fOutxCtsFlow, idsr= fDsrSensitivity.
// - to=on gives the time-outs {0, 0, 0, 0, 60000} (a write waits at most a
//   minute), to=off all zero; without to= they stay. BuildCommDCB accepts
//   and ignores to=.
// - A string that does not parse fails with ERROR_INVALID_PARAMETER and
//   changes nothing.
#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "sim/win32/windows.h"

namespace {

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string Trim(const std::string& text) {
    size_t start = 0, end = text.size();
    while (start < end && IsBlank(text[start])) ++start;
    while (end > start && IsBlank(text[end - 1])) --end;
    return text.substr(start, end - start);
}

bool Number(const std::string& text, uint64_t limit, uint64_t* value) {
    if (text.empty() || text.size() > 20) return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
        if (v > limit) return false;
    }
    *value = v;
    return true;
}

// The settings a string gives, applied to the caller's DCB only when the
// whole string has parsed.
struct Settings {
    DCB dcb;
    bool stopGiven = false;
    bool baudGiven = false;
    int timeouts = -1;  // -1 not given, 0 off, 1 on
};

bool Baud(const std::string& v, Settings* s) {
    uint64_t n = 0;
    if (!Number(v, 0xFFFFFFFFu, &n)) return false;
    static const struct { uint64_t abbreviation, rate; } kAbbreviations[] = {
        {11, 110},   {15, 150},   {30, 300},   {60, 600},    {12, 1200},
        {24, 2400},  {48, 4800},  {96, 9600},  {19, 19200}};
    for (const auto& a : kAbbreviations)
        if (n == a.abbreviation) n = a.rate;
    s->dcb.BaudRate = static_cast<DWORD>(n);
    s->baudGiven = true;
    return true;
}

bool Parity(const std::string& v, Settings* s) {
    static const char kLetters[] = "noems";  // NOPARITY ... SPACEPARITY
    if (v.size() != 1 || !std::strchr(kLetters, v[0])) return false;
    s->dcb.Parity = static_cast<BYTE>(std::strchr(kLetters, v[0]) - kLetters);
    return true;
}

bool DataBits(const std::string& v, Settings* s) {
    uint64_t n = 0;
    if (!Number(v, 8, &n) || n < 5) return false;
    s->dcb.ByteSize = static_cast<BYTE>(n);
    return true;
}

bool StopBits(const std::string& v, Settings* s) {
    if (v == "1") s->dcb.StopBits = ONESTOPBIT;
    else if (v == "1.5") s->dcb.StopBits = ONE5STOPBITS;
    else if (v == "2") s->dcb.StopBits = TWOSTOPBITS;
    else return false;
    s->stopGiven = true;
    return true;
}

bool OnOff(const std::string& v, int* out) {
    if (v == "on") *out = 1;
    else if (v == "off") *out = 0;
    else return false;
    return true;
}

// The newer form: blank-separated key=value pairs.
bool ParseKeyValues(const std::string& text, Settings* s) {
    size_t pos = 0;
    while (pos < text.size()) {
        if (IsBlank(text[pos])) {
            ++pos;
            continue;
        }
        size_t end = pos;
        while (end < text.size() && !IsBlank(text[end])) ++end;
        std::string token = text.substr(pos, end - pos);
        pos = end;
        size_t eq = token.find('=');
        if (eq == std::string::npos) return false;
        std::string key = token.substr(0, eq), value = token.substr(eq + 1);
        int flag = 0;
        bool ok = true;
        if (key == "baud") ok = Baud(value, s);
        else if (key == "parity") ok = Parity(value, s);
        else if (key == "data") ok = DataBits(value, s);
        else if (key == "stop") ok = StopBits(value, s);
        else if (key == "to") ok = OnOff(value, &s->timeouts);
        else if (key == "xon") ok = OnOff(value, &flag) && ((s->dcb.fInX = s->dcb.fOutX = flag), true);
        else if (key == "odsr") ok = OnOff(value, &flag) && ((s->dcb.fOutxDsrFlow = flag), true);
        else if (key == "octs") ok = OnOff(value, &flag) && ((s->dcb.fOutxCtsFlow = flag), true);
        else if (key == "idsr") ok = OnOff(value, &flag) && ((s->dcb.fDsrSensitivity = flag), true);
        else if (key == "dtr") {
            if (value == "hs") s->dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
            else ok = OnOff(value, &flag) && ((s->dcb.fDtrControl = flag), true);
        } else if (key == "rts") {
            if (value == "hs") s->dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
            else if (value == "tg") s->dcb.fRtsControl = RTS_CONTROL_TOGGLE;
            else ok = OnOff(value, &flag) && ((s->dcb.fRtsControl = flag), true);
        } else {
            ok = false;
        }
        if (!ok) return false;
    }
    return true;
}

// The older form: comma-separated fields, blanks around each allowed.
bool ParseFields(const std::string& text, Settings* s) {
    std::vector<std::string> fields;
    for (size_t start = 0;;) {
        size_t comma = text.find(',', start);
        fields.push_back(Trim(text.substr(start, comma == std::string::npos ? comma : comma - start)));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    if (fields.size() > 5) return false;
    for (const std::string& f : fields)
        if (f.empty()) return false;
    if (!Baud(fields[0], s)) return false;
    if (fields.size() > 1 && !Parity(fields[1], s)) return false;
    if (fields.size() > 2 && !DataBits(fields[2], s)) return false;
    if (fields.size() > 3 && !StopBits(fields[3], s)) return false;
    std::string flow = fields.size() > 4 ? fields[4] : "";
    if (!flow.empty() && flow != "x" && flow != "p") return false;
    DCB& d = s->dcb;
    d.fInX = d.fOutX = flow == "x";
    d.fOutxCtsFlow = d.fOutxDsrFlow = flow == "p";
    d.fDtrControl = flow == "p" ? DTR_CONTROL_HANDSHAKE : DTR_CONTROL_ENABLE;
    d.fRtsControl = flow == "p" ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    return true;
}

// Parses the whole string; the settings when it is good.
bool Parse(const char* definition, const DCB& start, Settings* s) {
    std::string text = Lower(definition);
    if (text.empty() || IsBlank(text[0])) return false;
    if (text.compare(0, 3, "com") == 0) {
        size_t at = 3;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
        uint64_t port = 0;
        if (!Number(text.substr(3, at - 3), 0xFFFFFFFFu, &port) || port == 0) return false;
        const size_t digitsEnd = at;
        while (at < text.size() && IsBlank(text[at])) ++at;
        if (at < text.size() && text[at] == ':') ++at;
        else if (at == digitsEnd && at < text.size()) return false;  // "COM3baud=..."
        while (at < text.size() && IsBlank(text[at])) ++at;
        text = text.substr(at);
        if (text.empty()) return false;
    }
    s->dcb = start;
    bool ok = text.find('=') != std::string::npos ? ParseKeyValues(text, s) : ParseFields(text, s);
    if (!ok) return false;
    if (!s->stopGiven)
        s->dcb.StopBits = s->baudGiven && s->dcb.BaudRate == 110 ? TWOSTOPBITS : ONESTOPBIT;
    return true;
}

BOOL Build(const char* definition, LPDCB dcb, LPCOMMTIMEOUTS timeouts) {
    Settings s;
    if (!definition || !dcb || !Parse(definition, *dcb, &s)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *dcb = s.dcb;
    if (timeouts && s.timeouts >= 0) {
        std::memset(timeouts, 0, sizeof *timeouts);
        if (s.timeouts == 1) timeouts->WriteTotalTimeoutConstant = 60000;
    }
    return TRUE;
}

// The wide forms take the string as UTF-16; it is the same text.
bool Narrow(LPCWSTR wide, std::string* out) {
    if (!wide) return false;
    int n = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 0) return false;
    out->resize(static_cast<size_t>(n));
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, out->data(), n, nullptr, nullptr);
    out->resize(static_cast<size_t>(n - 1));
    return true;
}

BOOL BuildWide(LPCWSTR definition, LPDCB dcb, LPCOMMTIMEOUTS timeouts) {
    std::string text;
    if (!Narrow(definition, &text)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return Build(text.c_str(), dcb, timeouts);
}

}  // namespace

extern "C" {

BOOL WINAPI BuildCommDCBA(LPCSTR definition, LPDCB dcb) { return Build(definition, dcb, nullptr); }

BOOL WINAPI BuildCommDCBW(LPCWSTR definition, LPDCB dcb) {
    return BuildWide(definition, dcb, nullptr);
}

BOOL WINAPI BuildCommDCBAndTimeoutsA(LPCSTR definition, LPDCB dcb, LPCOMMTIMEOUTS timeouts) {
    if (!timeouts) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return Build(definition, dcb, timeouts);
}

BOOL WINAPI BuildCommDCBAndTimeoutsW(LPCWSTR definition, LPDCB dcb, LPCOMMTIMEOUTS timeouts) {
    if (!timeouts) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return BuildWide(definition, dcb, timeouts);
}

}  // extern "C"
