// serial_monitor.cpp - names and decodings of the serial requests.
#include "tools/bridgesim/serial_monitor.h"

#include <cstring>

namespace bridgesim {

namespace {

const char* const kIoctlNames[] = {
    nullptr,          "SET_BAUD_RATE",  "SET_QUEUE_SIZE", "SET_LINE_CONTROL", "SET_BREAK_ON",
    "SET_BREAK_OFF",  "IMMEDIATE_CHAR", "SET_TIMEOUTS",   "GET_TIMEOUTS",     "SET_DTR",
    "CLR_DTR",        "RESET_DEVICE",   "SET_RTS",        "CLR_RTS",          "SET_XOFF",
    "SET_XON",        "GET_WAIT_MASK",  "SET_WAIT_MASK",  "WAIT_ON_MASK",     "PURGE",
    "GET_BAUD_RATE",  "GET_LINE_CONTROL", "GET_CHARS",    "SET_CHARS",        "GET_HANDFLOW",
    "SET_HANDFLOW",   "GET_MODEMSTATUS", "GET_COMMSTATUS", "XOFF_COUNTER",    "GET_PROPERTIES",
    "GET_DTRRTS",     "LSRMST_INSERT",  "CONFIG_SIZE",    "GET_COMMCONFIG",   "SET_COMMCONFIG",
    "GET_STATS",      "CLEAR_STATS",    "GET_MODEM_CONTROL", "SET_MODEM_CONTROL", "SET_FIFO_CONTROL",
};

constexpr uint32_t SerialFunctionCode(uint32_t function) { return (0x1Bu << 16) | (function << 2); }

uint32_t U32(const std::vector<uint8_t>& b, size_t at) {
    uint32_t v = 0;
    if (b.size() >= at + 4) std::memcpy(&v, b.data() + at, 4);
    return v;
}

std::string Hex32(uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", v);
    return text;
}

std::string Names(uint32_t bits, const char* const* names, int count) {
    std::string out;
    for (int i = 0; i < count; ++i)
        if (bits & (1u << i)) out += (out.empty() ? "" : "|") + std::string(names[i]);
    uint32_t known = count >= 32 ? ~0u : ((1u << count) - 1);
    if (bits & ~known) out += (out.empty() ? "" : "|") + Hex32(bits & ~known);
    return out.empty() ? "0" : out;
}

std::string Events(uint32_t mask) {
    static const char* const names[] = {"RXCHAR", "RXFLAG", "TXEMPTY", "CTS", "DSR", "RLSD", "BREAK",
                                        "ERR", "RING", "PERR", "RX80FULL", "EVENT1", "EVENT2"};
    return Names(mask, names, 13);
}

std::string LineControl(const std::vector<uint8_t>& b) {
    if (b.size() < 3) return "(short)";
    static const char* const parity[] = {"none", "odd", "even", "mark", "space"};
    static const char* const stop[] = {"1", "1.5", "2"};
    return std::to_string(b[2]) + " data bits, parity " + (b[1] < 5 ? parity[b[1]] : "?") +
           ", stop bits " + (b[0] < 3 ? stop[b[0]] : "?");
}

std::string Fields(const std::vector<uint8_t>& b, std::initializer_list<const char*> names) {
    std::string out;
    size_t at = 0;
    for (const char* n : names) {
        out += (out.empty() ? "" : " ") + std::string(n) + "=" + std::to_string(U32(b, at));
        at += 4;
    }
    return out;
}

}  // namespace

std::string IoctlName(uint32_t code) {
    uint32_t function = (code >> 2) & 0xFFF;
    if ((code >> 16) == 0x1B && function < sizeof kIoctlNames / sizeof *kIoctlNames &&
        kIoctlNames[function])
        return std::string("IOCTL_SERIAL_") + kIoctlNames[function];
    return "IOCTL " + Hex32(code);
}

std::string StatusName(int32_t status) {
    switch (static_cast<uint32_t>(status)) {
        case 0x00000000: return "STATUS_SUCCESS";
        case 0x00000102: return "STATUS_TIMEOUT";
        case 0x00000103: return "STATUS_PENDING";
        case 0xC0000008: return "STATUS_INVALID_HANDLE";
        case 0xC000000D: return "STATUS_INVALID_PARAMETER";
        case 0xC000000E: return "STATUS_NO_SUCH_DEVICE";
        case 0xC0000010: return "STATUS_INVALID_DEVICE_REQUEST";
        case 0xC0000022: return "STATUS_ACCESS_DENIED";
        case 0xC0000023: return "STATUS_BUFFER_TOO_SMALL";
        case 0xC0000034: return "STATUS_OBJECT_NAME_NOT_FOUND";
        case 0xC0000056: return "STATUS_DELETE_PENDING";
        case 0xC000009A: return "STATUS_INSUFFICIENT_RESOURCES";
        case 0xC000009D: return "STATUS_DEVICE_NOT_CONNECTED";
        case 0xC0000120: return "STATUS_CANCELLED";
        default: return Hex32(static_cast<uint32_t>(status));
    }
}

std::string HexBytes(const std::vector<uint8_t>& bytes) {
    std::string out;
    char two[4];
    for (uint8_t b : bytes) {
        std::snprintf(two, sizeof two, "%02X", b);
        out += (out.empty() ? "" : " ") + std::string(two);
    }
    return out;
}

std::string TextBytes(const std::vector<uint8_t>& bytes) {
    std::string out;
    for (uint8_t b : bytes) {
        if (b == '\r') out += "\\r";
        else if (b == '\n') out += "\\n";
        else if (b >= 0x20 && b < 0x7F) out.push_back(static_cast<char>(b));
        else out.push_back('.');
    }
    return out;
}

std::string DecodeInput(uint32_t code, const std::vector<uint8_t>& b) {
    switch ((code >> 2) & 0xFFF) {
        case 1: return std::to_string(U32(b, 0)) + " bit/s";
        case 2: return Fields(b, {"InSize", "OutSize"});
        case 3: return LineControl(b);
        case 6: return b.empty() ? "" : "char " + HexBytes({b[0]});
        case 7:
            return Fields(b, {"ReadInterval", "ReadMultiplier", "ReadConstant", "WriteMultiplier",
                              "WriteConstant"});
        case 17: return Events(U32(b, 0));
        case 19: {
            static const char* const names[] = {"TXABORT", "RXABORT", "TXCLEAR", "RXCLEAR"};
            return Names(U32(b, 0), names, 4);
        }
        case 23:
            if (b.size() < 6) return "(short)";
            return "Eof=" + HexBytes({b[0]}) + " Error=" + HexBytes({b[1]}) + " Break=" +
                   HexBytes({b[2]}) + " Event=" + HexBytes({b[3]}) + " Xon=" + HexBytes({b[4]}) +
                   " Xoff=" + HexBytes({b[5]});
        case 25:
            return "ControlHandShake=" + Hex32(U32(b, 0)) + " FlowReplace=" + Hex32(U32(b, 4)) +
                   " XonLimit=" + std::to_string(static_cast<int32_t>(U32(b, 8))) +
                   " XoffLimit=" + std::to_string(static_cast<int32_t>(U32(b, 12)));
        default: return b.empty() ? "" : HexBytes(b);
    }
}

std::string DecodeOutput(uint32_t code, const std::vector<uint8_t>& b) {
    if (b.empty()) return "";
    switch ((code >> 2) & 0xFFF) {
        case 8: return DecodeInput(SerialFunctionCode(7), b);
        case 16:
        case 18: return Events(U32(b, 0));
        case 20: return std::to_string(U32(b, 0)) + " bit/s";
        case 21: return LineControl(b);
        case 22: return DecodeInput(SerialFunctionCode(23), b);
        case 24: return DecodeInput(SerialFunctionCode(25), b);
        case 26: {
            static const char* const names[] = {"?", "?", "?", "?", "CTS", "DSR", "RI", "DCD"};
            return Names(U32(b, 0), names, 8);
        }
        case 27:
            return Fields(b, {"Errors", "HoldReasons", "InQueue", "OutQueue"});
        default: return HexBytes(b);
    }
}

void SerialMonitor::Issued(const win32sim::RequestRecord& r) {
    ++issued;
    double ms = static_cast<double>(r.issueTime) / 10'000.0;
    std::string what;
    switch (r.kind) {
        case win32sim::RequestKind::Open: what = "IRP_MJ_CREATE " + r.port; break;
        case win32sim::RequestKind::Close: what = "IRP_MJ_CLEANUP, IRP_MJ_CLOSE"; break;
        case win32sim::RequestKind::Read: what = "IRP_MJ_READ " + std::to_string(r.length) + " bytes"; break;
        case win32sim::RequestKind::Write:
            what = "IRP_MJ_WRITE " + std::to_string(r.length) + " bytes: " + HexBytes(r.input) +
                   "  \"" + TextBytes(r.input) + "\"";
            break;
        case win32sim::RequestKind::Control:
            what = IoctlName(r.code);
            if (!r.input.empty()) what += " " + DecodeInput(r.code, r.input);
            break;
        case win32sim::RequestKind::Flush: what = "IRP_MJ_FLUSH_BUFFERS"; break;
    }
    std::fprintf(out_, "%10.3f ms  #%-4llu %-8s >> %s\n", ms, static_cast<unsigned long long>(r.id),
                 r.thread.c_str(), what.c_str());
}

void SerialMonitor::Ended(const win32sim::RequestRecord& r) {
    ++ended;
    double ms = static_cast<double>(r.endTime) / 10'000.0;
    std::string what = StatusName(r.status);
    if (r.kind == win32sim::RequestKind::Read) {
        what += ", " + std::to_string(r.information) + " bytes";
        if (!r.output.empty()) what += ": " + HexBytes(r.output) + "  \"" + TextBytes(r.output) + "\"";
    } else if (r.kind == win32sim::RequestKind::Write) {
        what += ", " + std::to_string(r.information) + " bytes written";
    } else if (r.kind == win32sim::RequestKind::Control && !r.output.empty()) {
        what += ": " + DecodeOutput(r.code, r.output);
    }
    std::fprintf(out_, "%10.3f ms  #%-4llu %-8s << %s\n", ms, static_cast<unsigned long long>(r.id),
                 r.thread.c_str(), what.c_str());
}

}  // namespace bridgesim
