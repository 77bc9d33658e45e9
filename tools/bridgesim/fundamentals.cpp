// fundamentals.cpp - the scenarios (Windows serial programs), the events,
// the oracles, and one run of a case.
#include "tools/bridgesim/fundamentals.h"

#include <sys/wait.h>
#include <unistd.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>

#include "sim/chip/usb_defs.h"
#include "tools/bridgesim/commands.h"

namespace bridgesim::fundamentals {

namespace {

// Any request ends within its own time-out plus this, or this long after
// the application ended it (purge, close) or the device went.
constexpr DWORD kBoundMs = 3000;
// The private request that reads one chip register (here 6, the modem
// status): 6 input bytes, the register number at offset 4; 1 output byte.
constexpr DWORD kBridgeReadRegister = 0x222084;

const DWORD kOkStatuses[] = {
    0x00000000,  // STATUS_SUCCESS
    0x00000102,  // STATUS_TIMEOUT
    0xC0000120,  // STATUS_CANCELLED
    0xC0000056,  // STATUS_DELETE_PENDING
    0xC0000010,  // STATUS_INVALID_DEVICE_REQUEST
    0xC000009D,  // STATUS_DEVICE_NOT_CONNECTED
    0xC000000E,  // STATUS_NO_SUCH_DEVICE
    0xC00000A3,  // STATUS_DEVICE_NOT_READY
    0xC0000022,  // STATUS_ACCESS_DENIED (a second open)
    0xC0000034,  // STATUS_OBJECT_NAME_NOT_FOUND (the port is gone)
    0xC000000D,  // STATUS_INVALID_PARAMETER (a wait after the mask was cleared)
    0xC0000001,  // STATUS_UNSUCCESSFUL (a USB request the device failed)
    0xC00000B5,  // STATUS_IO_TIMEOUT (a register access the device never answered)
};

// The bytes of one loopback stream: what the application offered (every
// write, whole, in order), what came back, and whether any loss was
// reported to it (a failed, short or cancelled request, a purge, an event
// that stops all I/O).
struct Ledger {
    int cable = 0;
    std::string name;  // the phase of the scenario
    std::string offered;
    std::string received;
    bool lossReported = false;
};

// A request in flight. Owned by the run's context until the run is over:
// the request may end after the application has given up on it.
struct Op {
    OVERLAPPED ov{};
    HANDLE port = INVALID_HANDLE_VALUE;
    DWORD count = 0;
    DWORD error = 0;
    DWORD events = 0;
    bool ended = false;
    bool ok = false;
    std::vector<char> buffer;
};

struct HandshakeWindow {
    int cable;
    uint64_t from, to;  // bus event order
};

class Context final : public win32sim::RequestMonitor {
  public:
    Context(win32sim::Machine& machine, bool strict, Event event)
        : m(machine), strict(strict), event(event) {}

    win32sim::Machine& m;
    const bool strict;  // the counting run: no event, every step succeeds
    const Event event;
    std::string failure;
    std::deque<std::unique_ptr<Op>> ops;
    std::deque<Ledger> ledgers;  // one per phase of each cable's traffic
    std::vector<HandshakeWindow> handshake;
    std::map<uint64_t, win32sim::RequestRecord> requests;
    bool eventRunning = false, eventDone = false;
    std::vector<HANDLE> timed;  // ports whose read time-outs are in force

    void Fail(const std::string& what) {
        if (failure.empty()) failure = what;
    }
    // A step's result: in the counting run it must hold; with an event it
    // may fail, and its failure counts as reported loss.
    bool Step(bool ok, const std::string& what, Ledger* ledger = nullptr) {
        if (!ok && strict) Fail(what + " failed without any event (error " +
                                std::to_string(GetLastError()) + ")");
        if (!ok && ledger) ledger->lossReported = true;
        return ok;
    }

    // A phase's own ledger: each phase reads back what it wrote, so a loss
    // one phase reports does not hide another phase's.
    Ledger& NewLedger(int cable, const std::string& name) {
        ledgers.push_back(Ledger{cable, name, {}, {}, false});
        return ledgers.back();
    }

    void Issued(const win32sim::RequestRecord& r) override { requests[r.id] = r; }
    void Ended(const win32sim::RequestRecord& r) override { requests[r.id] = r; }

    Op& NewOp(HANDLE port, size_t bytes = 0) {
        ops.push_back(std::make_unique<Op>());
        Op& op = *ops.back();
        op.port = port;
        op.ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        op.buffer.resize(bytes);
        return op;
    }
    // Notes how an overlapped call started: ended at once or in flight.
    void Started(Op& op, BOOL result) {
        if (result || GetLastError() != ERROR_IO_PENDING) {
            op.ended = true;
            op.ok = result ? TRUE : FALSE;
            op.error = result ? 0 : GetLastError();
            if (result) GetOverlappedResult(op.port, &op.ov, &op.count, FALSE);
        }
    }
    // Waits for a request's end for at most `boundMs`; a request still in
    // flight then is a liveness failure.
    bool Await(Op& op, DWORD boundMs, const std::string& what) {
        if (!op.ended) {
            if (WaitForSingleObject(op.ov.hEvent, boundMs) != WAIT_OBJECT_0) {
                Fail(what + " did not end within " + std::to_string(boundMs) + " ms");
                return false;
            }
            op.ended = true;
            op.ok = GetOverlappedResult(op.port, &op.ov, &op.count, FALSE) ? true : false;
            op.error = op.ok ? 0 : GetLastError();
        }
        return op.ok;
    }
    // Waits for a read: it ends within its time-out plus the bound. When
    // setting the time-outs failed (an event refused it) the read may wait
    // for ever: the application cancels it then, and it must end.
    bool AwaitRead(Op& op, DWORD ownTimeoutMs, const std::string& what) {
        if (std::find(timed.begin(), timed.end(), op.port) == timed.end() && !op.ended &&
            WaitForSingleObject(op.ov.hEvent, ownTimeoutMs + kBoundMs) != WAIT_OBJECT_0)
            CancelIoEx(op.port, &op.ov);
        return Await(op, ownTimeoutMs + kBoundMs, what);
    }
    Op& Read(HANDLE port, DWORD length) {
        Op& op = NewOp(port, length);
        Started(op, ReadFile(port, op.buffer.data(), length, nullptr, &op.ov));
        return op;
    }
    Op& Write(HANDLE port, const std::string& data) {
        Op& op = NewOp(port, data.size());
        std::memcpy(op.buffer.data(), data.data(), data.size());
        Started(op, WriteFile(port, op.buffer.data(), static_cast<DWORD>(data.size()), nullptr,
                              &op.ov));
        return op;
    }
    Op& WaitEvent(HANDLE port) {
        Op& op = NewOp(port);
        Started(op, WaitCommEvent(port, &op.events, &op.ov));
        return op;
    }
    // Ends a write in the ledger: its bytes were offered; a short or failed
    // write reports the loss of the rest.
    void Wrote(Ledger& l, Op& op, const std::string& data, const std::string& what) {
        l.offered += data;
        bool whole = Await(op, kBoundMs, what) && op.count == data.size();
        Step(whole, what, &l);
    }
    // Ends a read into the ledger. A read that failed (a cancelled one
    // among them) gives the application nothing, as the I/O manager copies
    // no buffered data back with an error status: what it had taken is lost,
    // and the failure reports it.
    void ReadInto(Ledger& l, Op& op, DWORD ownTimeoutMs, const std::string& what) {
        AwaitRead(op, ownTimeoutMs, what);
        if (!op.ended) return;
        if (!op.ok) {
            l.lossReported = true;
            return;
        }
        l.received.append(op.buffer.data(), std::min<size_t>(op.count, op.buffer.size()));
    }
    // Reads until the ledger has every offered byte back or a read brings
    // nothing (its time-outs ran out).
    void ReadBack(Ledger& l, HANDLE port, DWORD ownTimeoutMs, const std::string& what) {
        for (int i = 0; i < 64 && l.received.size() < l.offered.size(); ++i) {
            Op& op = Read(port, 256);
            size_t before = l.received.size();
            ReadInto(l, op, ownTimeoutMs, what);
            if (!op.ended || !op.ok || l.received.size() == before) break;
        }
    }

    HANDLE Open(int cable) {
        std::string path = "\\\\.\\" + m.PortName(cable);
        HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        Step(h != INVALID_HANDLE_VALUE, "CreateFile(" + path + ")");
        return h;
    }
    bool Setup(HANDLE port, int cable, DWORD baud, bool ctsFlow, COMMTIMEOUTS timeouts) {
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        bool ok = GetCommState(port, &dcb) != FALSE;
        dcb.BaudRate = baud;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        dcb.fOutxCtsFlow = ctsFlow;
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
        ok = ok && SetCommState(port, &dcb) && SetCommTimeouts(port, &timeouts);
        if (ok) timed.push_back(port);
        if (ok && ctsFlow) handshake.push_back({cable, m.BusEventSeq(), ~0ull});
        return Step(ok, "setting up the port");
    }
    // Raises or drops RTS. A request refused while an event holds the
    // device (a query-remove in force) is made again, as an application
    // that relies on its handshake line would, for up to the bound.
    bool SetRts(HANDLE port, bool high) {
        for (DWORD waited = 0;; waited += 10) {
            if (EscapeCommFunction(port, high ? SETRTS : CLRRTS)) return true;
            if (strict || waited >= kBoundMs) break;
            Sleep(10);
        }
        return Step(false, high ? "EscapeCommFunction(SETRTS)" : "EscapeCommFunction(CLRRTS)");
    }
    // The application closes the port; the handshake window ends.
    void Close(HANDLE port, int cable) {
        if (port == INVALID_HANDLE_VALUE) return;
        for (auto& w : handshake)
            if (w.cable == cable && w.to == ~0ull) w.to = m.BusEventSeq();
        timed.erase(std::remove(timed.begin(), timed.end(), port), timed.end());
        Step(CloseHandle(port) != FALSE, "CloseHandle");
    }
    // Ends every request the application still has: each must end.
    void AwaitAll() {
        for (auto& op : ops)
            if (!op->ended) Await(*op, kBoundMs, "a request left in flight");
    }
};

std::string Pattern(size_t count, size_t start) {
    std::string s(count, '\0');
    for (size_t i = 0; i < count; ++i) s[i] = static_cast<char>((start + i) % 251);
    return s;
}

// ---------------------------------------------------------------- the scenarios

// Open, CTS handshake and time-outs, full-duplex traffic through the
// loopback plug with a current and a queued read, a current and a queued
// write and a pending event wait; flow control held and released; an EV_CTS
// wait; a long write after the line changes; purge; close.
void Traffic(Context& c) {
    HANDLE port = c.Open(0);
    if (port == INVALID_HANDLE_VALUE) return;
    c.Setup(port, 0, 115200, true, COMMTIMEOUTS{20, 0, 300, 0, 0});
    DWORD lines = 0;
    c.Step(GetCommModemStatus(port, &lines) != FALSE, "GetCommModemStatus");
    Op& first = c.WaitEvent(port);  // the first wait after an open reports the lines
    c.Await(first, kBoundMs, "the first WaitCommEvent");
    c.Step(SetCommMask(port, EV_TXEMPTY | EV_CTS | EV_RXCHAR) != FALSE, "SetCommMask");
    Op& r1 = c.Read(port, 120);
    Op& r2 = c.Read(port, 120);
    Op& wait = c.WaitEvent(port);
    Ledger& l = c.NewLedger(0, "the held writes");
    const std::string a = Pattern(200, 0), b = Pattern(200, 200);
    Op& w1 = c.Write(port, a);
    Op& w2 = c.Write(port, b);
    // The loopback plug wires RTS to CTS: dropping RTS holds the writes,
    // for longer than the line needs for a chunk.
    c.SetRts(port, false);
    Sleep(20);
    c.SetRts(port, true);
    c.Wrote(l, w1, a, "the current write");
    c.Wrote(l, w2, b, "the queued write");
    c.ReadInto(l, r1, 300, "the current read");
    c.ReadInto(l, r2, 300, "the queued read");
    c.ReadBack(l, port, 300, "a read");
    // The wait in flight since before the writes ends once the output queue
    // is empty, with EV_TXEMPTY (now or in one of the waits right after,
    // which see EV_CTS and EV_RXCHAR first). Waits that all succeed without
    // it fail the run, event or not.
    Op* w = &wait;
    bool txEmpty = false, waitsOk = true;
    for (int i = 0; i < 8 && !txEmpty && waitsOk; ++i) {
        waitsOk = c.Await(*w, kBoundMs, "a WaitCommEvent after the writes ended") && w->ok;
        txEmpty = waitsOk && (w->events & EV_TXEMPTY) != 0;
        if (waitsOk && !txEmpty) w = &c.WaitEvent(port);
    }
    if (waitsOk && !txEmpty) c.Fail("eight waits after the writes ended, none with EV_TXEMPTY");
    c.Step(txEmpty, "EV_TXEMPTY after the writes");
    // An EV_CTS wait ends when the line changes.
    c.Step(SetCommMask(port, EV_CTS) != FALSE, "SetCommMask(EV_CTS)");
    Op& cts = c.WaitEvent(port);
    if (!c.SetRts(port, false)) CancelIoEx(port, &cts.ov);  // no change to wait for
    if (c.Await(cts, kBoundMs, "WaitCommEvent(EV_CTS) after CTS dropped"))
        c.Step((cts.events & EV_CTS) != 0, "EV_CTS");
    c.SetRts(port, true);
    // A long write after the line changes goes out whole.
    Ledger& lLong = c.NewLedger(0, "the long write");
    const std::string big = Pattern(1000, 400);
    Op& w3 = c.Write(port, big);
    Op& r3 = c.Read(port, 1000);
    c.Wrote(lLong, w3, big, "a write after the line changes");
    c.ReadInto(lLong, r3, 300, "a read after the line changes");
    c.ReadBack(lLong, port, 300, "a read");
    // A write cancelled while the one behind it waits (before, during or
    // after its last chunk, as the seed has it): the one behind goes out.
    Ledger& lCancel = c.NewLedger(0, "a cancelled write");
    const std::string dropped = Pattern(100, 1400), behind = Pattern(100, 1500);
    Op& w5 = c.Write(port, dropped);
    Op& w6 = c.Write(port, behind);
    Sleep(static_cast<DWORD>(c.m.Random() % 3));
    CancelIoEx(port, &w5.ov);
    c.Await(w5, kBoundMs, "a cancelled write");
    lCancel.offered += dropped;
    if (!w5.ok || w5.count != dropped.size()) lCancel.lossReported = true;
    c.Wrote(lCancel, w6, behind, "the write behind a cancelled one");
    c.ReadBack(lCancel, port, 300, "a read");
    // A purge ends a read in flight; everything was read back before it,
    // so the read brings nothing.
    Ledger& lPurge = c.NewLedger(0, "the purge");
    Op& r4 = c.Read(port, 64);
    c.Step(PurgeComm(port, PURGE_RXABORT | PURGE_TXABORT | PURGE_RXCLEAR | PURGE_TXCLEAR) != FALSE,
           "PurgeComm");
    c.ReadInto(lPurge, r4, 300, "a read ended by a purge");
    c.Close(port, 0);
}

// Two cables with traffic on both at once.
void TwoCables(Context& c) {
    auto user = [&c](int cable) {
        HANDLE port = c.Open(cable);
        if (port == INVALID_HANDLE_VALUE) return;
        c.Setup(port, cable, 115200, false, COMMTIMEOUTS{20, 0, 300, 0, 0});
        for (int round = 0; round < 3; ++round) {
            Ledger& l = c.NewLedger(cable, "round " + std::to_string(round + 1));
            const std::string data = Pattern(100, static_cast<size_t>(round) * 100 + cable * 7);
            Op& r = c.Read(port, 100);
            Op& w = c.Write(port, data);
            c.Wrote(l, w, data, "a write on cable " + std::to_string(cable + 1));
            c.ReadInto(l, r, 300, "a read on cable " + std::to_string(cable + 1));
            c.ReadBack(l, port, 300, "a read");
        }
        c.Close(port, cable);
    };
    int other = c.m.StartThread("second cable", [&] { user(1); });
    user(0);
    c.m.Join(other);
}

// A command to the phone and its reply, read until OK or the time-outs.
std::string Command(Context& c, HANDLE port, const std::string& command) {
    Op& w = c.Write(port, command);
    if (!c.Await(w, kBoundMs, "writing " + command) || !w.ok) return "";
    std::string reply;
    for (int i = 0; i < 16 && reply.find("OK\r\n") == std::string::npos; ++i) {
        Op& r = c.Read(port, 128);
        if (!c.AwaitRead(r, 500, "reading the reply") || !r.ok || r.count == 0) break;
        reply.append(r.buffer.data(), r.count);
    }
    return reply;
}

// The AT exchange with the phone through the identification switch.
void Identification(Context& c) {
    HANDLE port = c.Open(0);
    if (port == INVALID_HANDLE_VALUE) return;
    c.Setup(port, 0, 9600, true, COMMTIMEOUTS{50, 0, 500, 0, 0});
    c.Step(Command(c, port, "AT\r").find("OK\r\n") != std::string::npos, "AT");
    std::string reply = Command(c, port, "AT+CGMI\r");
    c.Step(reply.size() == 31, "the reply to AT+CGMI");
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (c.Step(GetCommState(port, &dcb) != FALSE, "GetCommState")) {
        dcb.BaudRate = 9600;
        c.Step(SetCommState(port, &dcb) && GetCommState(port, &dcb) && dcb.BaudRate == 230400,
               "the switch to 230400");
    }
    const DWORD rate = dcb.BaudRate;
    c.m.AtPeer(0, [rate](line::LinePeer& p) {
        line::LineSettings s = p.Settings();
        s.rate = rate == 230400 ? chip::LineRate{3'000'000, 13} : chip::LineRate{rate, 1};
        p.SetSettings(s);
    });
    c.Step(Command(c, port, "AT\r").find("OK\r\n") != std::string::npos, "AT at the new rate");
    c.Close(port, 0);
}

// The private request reading the modem status register; true when it
// succeeded. It ends within the register access's own time-out.
bool ReadModemStatusRegister(Context& c, HANDLE port) {
    Op& op = c.NewOp(port, 6);
    op.buffer[4] = 6;
    c.Started(op, DeviceIoControl(port, kBridgeReadRegister, op.buffer.data(), 6, op.buffer.data(),
                                  1, nullptr, &op.ov));
    return c.Await(op, 5000 + kBoundMs, "the private register request") && op.ok;
}

// Open and close cycles with a private bridge request and a short loopback
// exchange in each.
void OpenClose(Context& c) {
    for (int cycle = 0; cycle < 3; ++cycle) {
        HANDLE port = c.Open(0);
        if (port == INVALID_HANDLE_VALUE) {
            Sleep(5);
            continue;
        }
        c.Setup(port, 0, 115200, false, COMMTIMEOUTS{20, 0, 200, 0, 0});
        c.Step(ReadModemStatusRegister(c, port), "the private register request");
        Ledger& l = c.NewLedger(0, "cycle " + std::to_string(cycle + 1));
        const std::string data = Pattern(40, static_cast<size_t>(cycle) * 40);
        Op& r = c.Read(port, 40);
        Op& w = c.Write(port, data);
        c.Wrote(l, w, data, "a write");
        c.ReadInto(l, r, 200, "a read");
        c.ReadBack(l, port, 200, "a read");
        c.Close(port, 0);
    }
}

// Writes cancelled while their one chunk completes, each with another
// queued behind it and no write time-out: the one behind goes out. On a bus
// that completes a transfer the moment the chip takes it, the completion
// and the cancel meet on one tick under the random and PCT schedules.
void CancelledWrites(Context& c) {
    HANDLE port = c.Open(0);
    if (port == INVALID_HANDLE_VALUE) return;
    c.Setup(port, 0, 115200, false, COMMTIMEOUTS{20, 0, 300, 0, 0});
    for (size_t round = 0; round < 4; ++round) {
        Ledger& l = c.NewLedger(0, "round " + std::to_string(round + 1));
        const std::string dropped = Pattern(40, round * 80), behind = Pattern(40, round * 80 + 40);
        Op& a = c.Write(port, dropped);
        Op& b = c.Write(port, behind);
        Op& r = c.Read(port, 80);
        Sleep(0);
        CancelIoEx(port, &a.ov);
        c.Await(a, kBoundMs, "a cancelled write");
        l.offered += dropped;
        if (!a.ok || a.count != dropped.size()) l.lossReported = true;
        c.Wrote(l, b, behind, "the write behind a cancelled one");
        c.ReadInto(l, r, 300, "a read");
        c.ReadBack(l, port, 300, "a read");
    }
    c.Close(port, 0);
}

// An application opens the port as soon as its name appears, and uses it
// when it gets it: the event that lands at a point of the cable's plugging
// in (whose start fails). Until the name exists, and after the device is
// gone, each attempt is refused; an open the driver grants must work.
void OpenOnArrival(Context& c) {
    for (int attempt = 0; attempt < 40; ++attempt) {
        const std::string name = c.m.PortName(0);
        HANDLE port = INVALID_HANDLE_VALUE;
        if (!name.empty()) {
            std::string path = "\\\\.\\" + name;
            port = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        }
        if (port == INVALID_HANDLE_VALUE) {
            Sleep(1);
            continue;
        }
        ReadModemStatusRegister(c, port);
        COMMTIMEOUTS t{0xFFFFFFFF, 0, 0, 0, 0};  // reads return at once
        if (SetCommTimeouts(port, &t)) c.timed.push_back(port);
        Op& r = c.Read(port, 16);
        c.AwaitRead(r, 0, "a read on a port opened on arrival");
        c.Close(port, 0);
        return;
    }
}

// ---------------------------------------------------------------- oracles

// Every byte offered on a cable comes back once and in order, across its
// phases: a phase cut short by a failed read leaves bytes for the next one.
// A phase without a reported loss, itself or in the phase before it, gets
// every one of its bytes back.
void CheckLedgers(Context& c, int cables) {
    for (int cable = 0; cable < cables; ++cable) {
        Ledger stream{cable, "all phases", {}, {}, false};
        bool carried = false;  // the phase before reported a loss
        for (const Ledger& l : c.ledgers) {
            if (l.cable != cable) continue;
            if (!l.lossReported && !carried && l.received != l.offered)
                c.Fail("cable " + std::to_string(cable + 1) + ", " + l.name + ": " +
                       std::to_string(l.received.size()) + " of " + std::to_string(l.offered.size()) +
                       " bytes came back (or not in order), and no loss was reported");
            carried = l.lossReported;
            stream.offered += l.offered;
            stream.received += l.received;
        }
        size_t at = 0;
        for (size_t i = 0; i < stream.received.size(); ++i) {
            size_t found = stream.offered.find(stream.received[i], at);
            // Bytes may be lost, never duplicated or reordered: a match must
            // lie ahead, and within one period of the pattern.
            if (found == std::string::npos || found - at >= 251) {
                std::string near;
                for (size_t j = i >= 4 ? i - 4 : 0; j < stream.received.size() && j < i + 4; ++j) {
                    char hex[4];
                    std::snprintf(hex, sizeof hex, "%02X ",
                                  static_cast<unsigned char>(stream.received[j]));
                    near += hex;
                }
                c.Fail("cable " + std::to_string(cable + 1) + ": byte " + std::to_string(i) +
                       " of the " + std::to_string(stream.received.size()) +
                       " that came back is out of order or duplicated (" + near +
                       "; the next offered was byte " + std::to_string(at) + " of " +
                       std::to_string(stream.offered.size()) + ")");
                break;
            }
            at = found + 1;
        }
    }
}

// Under the CTS handshake no bulk-out chunk is submitted from a completion
// or a timer once the driver has taken a status report saying CTS is low,
// until it takes one saying CTS is high. A report counts as taken when its
// completion routine has returned; a submission made while a report's
// completion routine runs is judged only when that report says low too. A
// write made current by its dispatch routine (passive level) still sends
// its first chunk.
void CheckFlowControl(Context& c, int cables) {
    struct Report {
        uint64_t completing, completed;
        bool ctsHigh;
    };
    for (int cable = 0; cable < cables; ++cable) {
        std::vector<win32sim::BusTransfer> log = c.m.Transfers(cable);
        std::vector<Report> reports;
        for (const auto& t : log)
            if (t.endpoint == chip::kEndpointStatusIn && t.status == 0 && t.data.size() == 4 &&
                t.data[0] == 0xE8 && t.completedSeq)
                reports.push_back({t.completingSeq, t.completedSeq, (t.data[3] & 0x10) != 0});
        for (const auto& t : log) {
            if (t.endpoint != chip::kEndpointBulkOut || t.submittedAtPassive) continue;
            bool handshake = false;
            for (const auto& w : c.handshake)
                handshake |= w.cable == cable && t.submitSeq > w.from && t.submitSeq < w.to;
            if (!handshake) continue;
            // A chunk sent from the completion of the one before was
            // decided when that completion began: a report taken while it
            // ran is concurrent with the decision, not before it.
            uint64_t decided = t.submitSeq;
            for (const auto& p : log)
                if (p.endpoint == chip::kEndpointBulkOut && p.completingSeq < t.submitSeq &&
                    t.submitSeq < p.completedSeq)
                    decided = p.completingSeq;
            const Report* known = nullptr;  // the last report taken before the decision
            bool unsettled = false;         // a report saying high was being taken
            for (const Report& r : reports) {
                if (r.completed < decided && (!known || r.completed > known->completed)) known = &r;
                if (r.completing < decided && decided < r.completed && r.ctsHigh) unsettled = true;
            }
            if (known && !known->ctsHigh && !unsettled) {
                c.Fail("cable " + std::to_string(cable + 1) + ": a bulk-out chunk of " +
                       std::to_string(t.data.size()) + " bytes was submitted (bus event " +
                       std::to_string(t.submitSeq) + ") while the driver knew CTS was low (report "
                       "taken at bus event " + std::to_string(known->completed) + ")");
                return;
            }
        }
    }
}

// Every request the application issued ended with a status it can act on.
void CheckRequests(Context& c) {
    for (const auto& [id, r] : c.requests) {
        if (r.status == win32sim::kStatusPending) {
            c.Fail("request #" + std::to_string(id) + " never ended");
            return;
        }
        const DWORD status = static_cast<DWORD>(r.status);
        if (std::find(std::begin(kOkStatuses), std::end(kOkStatuses), status) ==
            std::end(kOkStatuses)) {
            char text[16];
            std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
            c.Fail("request #" + std::to_string(id) + " ended with status " + text +
                   ", which tells an application nothing it can act on");
            return;
        }
    }
}

// The cable, plugged in again if it went, has its COM name and carries a
// loopback exchange (a phone: AT and OK).
void CheckReplug(Context& c, int cable, const std::string& name, bool phone) {
    if (!c.m.Plugged(cable)) {
        int32_t status = c.m.Plug(cable);
        if (status != 0) {
            c.Fail("cable " + std::to_string(cable + 1) + " plugged in again did not start");
            return;
        }
    }
    if (!name.empty() && c.m.PortName(cable) != name) {
        c.Fail("cable " + std::to_string(cable + 1) + " came back as " + c.m.PortName(cable) +
               ", not " + name);
        return;
    }
    const std::string now = c.m.PortName(cable);
    std::string path = "\\\\.\\" + now;
    HANDLE port = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        c.Fail(now + " does not open after the run (error " + std::to_string(GetLastError()) + ")");
        return;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    GetCommState(port, &dcb);
    dcb.BaudRate = phone ? 9600 : 115200;
    dcb.fOutxCtsFlow = FALSE;
    COMMTIMEOUTS t{20, 0, 300, 0, 0};
    SetCommState(port, &dcb);
    if (SetCommTimeouts(port, &t)) c.timed.push_back(port);
    GetCommState(port, &dcb);
    bool ok = false;
    if (phone) {
        const DWORD rate = dcb.BaudRate;
        c.m.AtPeer(cable, [rate](line::LinePeer& p) {
            line::LineSettings s = p.Settings();
            s.rate = rate == 230400 ? chip::LineRate{3'000'000, 13} : chip::LineRate{rate, 1};
            p.SetSettings(s);
        });
        // A carriage return first ends whatever partial line the phone kept
        // from the scenario (its answer to that is read away), as a terminal
        // user would press Enter.
        (void)Command(c, port, "\r");
        const std::string reply = Command(c, port, "AT\r");
        ok = reply.find("OK\r\n") != std::string::npos;
        if (!ok) {
            std::string shown;
            for (unsigned char ch : reply) shown += ch >= 0x20 && ch < 0x7F ? std::string(1, char(ch)) : "<" + std::to_string(ch) + ">";
            c.Fail(now + " answers AT with \"" + shown + "\" after the run");
        }
    } else {
        // Bytes the chip took in while the port was closed come first (they
        // are delivered after the next open): read them away.
        for (int i = 0; i < 16; ++i) {
            Op& old = c.Read(port, 256);
            if (!c.AwaitRead(old, 300, "reading what came in while closed") || old.count == 0) break;
        }
        Ledger check;
        const std::string data = Pattern(32, 77);
        Op& r = c.Read(port, 32);
        Op& w = c.Write(port, data);
        c.Wrote(check, w, data, "the loopback check's write");
        c.ReadInto(check, r, 300, "the loopback check's read");
        c.ReadBack(check, port, 300, "the loopback check's read");
        ok = check.received == data;
    }
    CloseHandle(port);
    if (!ok) c.Fail(now + " does not carry data after the run");
}

// ---------------------------------------------------------------- events

bool IsFailedStart(Event e) { return e == Event::FailedStartChip || e == Event::FailedStartLower; }

// The event's body, on its own thread, for cable 1.
void RunEventBody(Context& c, Event event) {
    win32sim::Machine& m = c.m;
    if (!IsFailedStart(event) && !m.Plugged(0)) return;  // gone already
    switch (event) {
        case Event::SurpriseRemoval:
            m.Unplug(0);
            break;
        case Event::OrderlyRemoval:
            m.RemoveOrderly(0);
            break;
        case Event::CancelledRemove:
            m.CancelledRemove(0);
            break;
        case Event::Rebalance:
            m.Rebalance(0);
            break;
        case Event::CancelledStop:
            m.CancelledStop(0);
            break;
        case Event::SleepResume:
            m.SleepAndResume(0, 50'000);
            break;
        case Event::WaitWake:
            m.WakeByDevice(0, 50'000);
            break;
        case Event::SecondOpen: {
            std::string path = "\\\\.\\" + m.PortName(0);
            HANDLE port = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
            if (port == INVALID_HANDLE_VALUE) {
                if (GetLastError() != ERROR_ACCESS_DENIED && m.Plugged(0))
                    c.Fail("a second open was refused with error " +
                           std::to_string(GetLastError()) + ", not ERROR_ACCESS_DENIED");
                break;
            }
            DWORD lines = 0;
            GetCommModemStatus(port, &lines);
            CloseHandle(port);
            break;
        }
        case Event::FailedStartChip:
        case Event::FailedStartLower:
            OpenOnArrival(c);
            break;
    }
}

void RunEvent(Context& c, Event event) {
    c.eventRunning = true;
    RunEventBody(c, event);
    c.eventDone = true;
}

struct ScenarioDef {
    ScenarioInfo info;
    std::vector<win32sim::CableOptions> cables;
    bool immediateBus = false;
};

win32sim::CableOptions LoopbackCable() {
    win32sim::CableOptions o;
    o.peer = win32sim::PeerKind::Loopback;
    return o;
}

win32sim::CableOptions PhoneCable() {
    win32sim::CableOptions o;
    o.phone.referenceMaker = true;
    return o;
}

const std::vector<ScenarioDef>& Definitions() {
    static const std::vector<ScenarioDef> list = {
        {{"traffic", "CTS handshake, current and queued reads and writes, a pending wait, purge",
          false},
         {LoopbackCable()}},
        {{"two-cables", "traffic on two cables at once", false}, {LoopbackCable(), LoopbackCable()}},
        {{"identification", "the AT exchange with the phone through the identification switch",
          false},
         {PhoneCable()}},
        {{"open-close", "open and close cycles with a private bridge request in each", false},
         {LoopbackCable()}},
        {{"cancelled-writes",
          "writes cancelled as their chunk completes, each with one queued behind (a bus that "
          "completes transfers at once)",
          false},
         {LoopbackCable()},
         true},
        {{"failing-start", "the cable plugged in and its start failing (events: an application "
                           "opens the port as soon as its name appears)",
          true},
         {LoopbackCable()}},
    };
    return list;
}

const ScenarioDef* FindDefinition(const std::string& name) {
    for (const ScenarioDef& d : Definitions())
        if (name == d.info.name) return &d;
    return nullptr;
}

}  // namespace

const std::vector<EventInfo>& Events() {
    static const std::vector<EventInfo> list = {
        {Event::SurpriseRemoval, "surprise-removal", "the cable pulled out"},
        {Event::OrderlyRemoval, "orderly-removal", "query-remove then removal (vetoed while open)"},
        {Event::CancelledRemove, "cancelled-remove", "query-remove then cancel-remove"},
        {Event::Rebalance, "rebalance", "query-stop, stop and start (cancel-stop when refused)"},
        {Event::CancelledStop, "cancelled-stop", "query-stop then cancel-stop"},
        {Event::SleepResume, "sleep", "system sleep to S3 and resume"},
        {Event::WaitWake, "wait-wake", "sleep armed for wake; the device wakes the system"},
        {Event::SecondOpen, "second-open", "a second application opens the port"},
        {Event::FailedStartChip, "failed-start-chip",
         "the chip refuses the configuration; an application opens on arrival"},
        {Event::FailedStartLower, "failed-start-lower",
         "the hub fails the start; an application opens on arrival"},
    };
    return list;
}

const EventInfo* FindEvent(const std::string& name) {
    for (const EventInfo& e : Events())
        if (name == e.name) return &e;
    return nullptr;
}

const std::vector<ScenarioInfo>& Scenarios() {
    static const std::vector<ScenarioInfo> list = [] {
        std::vector<ScenarioInfo> out;
        for (const ScenarioDef& d : Definitions()) out.push_back(d.info);
        return out;
    }();
    return list;
}

const ScenarioInfo* FindScenario(const std::string& name) {
    const ScenarioDef* d = FindDefinition(name);
    return d ? &d->info : nullptr;
}

std::vector<Event> EventsFor(const std::string& scenario) {
    const ScenarioInfo* s = FindScenario(scenario);
    std::vector<Event> out;
    for (const EventInfo& e : Events())
        if (s && s->plugsItself == IsFailedStart(e.event)) out.push_back(e.event);
    return out;
}

Outcome Run(const Case& k) {
    Outcome outcome;
    const ScenarioDef* def = FindDefinition(k.scenario);
    if (!def) {
        outcome.failure = "no scenario " + k.scenario;
        return outcome;
    }
    win32sim::MachineOptions mo;
    mo.strategy = k.strategy;
    mo.seed = k.seed;
    mo.pctDepth = k.pctDepth;
    mo.echoTrace = k.echoTrace;
    mo.afterLoad = k.afterLoad;
    mo.wakeCapable = k.event == Event::WaitWake;
    mo.immediateBus = def->immediateBus;
    const bool counting = k.point == 0;
    if (counting)
        mo.observePoints = [&outcome](uint64_t point, bool dispatching) {
            if (outcome.dispatching.size() < point) outcome.dispatching.resize(point);
            outcome.dispatching[point - 1] = dispatching;
        };
    win32sim::Machine m(mo);
    for (win32sim::CableOptions cable : def->cables) {
        if (def->info.plugsItself) {
            cable.plugAtStart = false;
            if (k.event == Event::FailedStartChip)
                cable.startFailure = win32sim::StartFailure::ChipRefusesConfiguration;
            if (k.event == Event::FailedStartLower)
                cable.startFailure = win32sim::StartFailure::LowerDriverFails;
        }
        m.AddCable(cable);
    }
    Context c(m, counting, k.event);
    m.Options().monitor = &c;
    if (!counting) {
        Context* context = &c;
        const Event event = k.event;
        m.Options().interrupt = {k.point, "event", [context, event] { RunEvent(*context, event); }};
    }
    const bool phone = def->cables[0].peer == win32sim::PeerKind::Phone;
    win32sim::RunSummary summary = m.Run([&] {
        std::vector<std::string> names;
        for (size_t i = 0; i < def->cables.size(); ++i) names.push_back(m.PortName(int(i)));
        const std::string name = k.scenario;
        if (name == "traffic") Traffic(c);
        if (name == "two-cables") TwoCables(c);
        if (name == "identification") Identification(c);
        if (name == "open-close") OpenClose(c);
        if (name == "cancelled-writes") CancelledWrites(c);
        if (name == "failing-start") c.Step(c.m.Plug(0) != 0, "the start failing");
        m.EndInterruptWindow();
        c.AwaitAll();
        // The event, wherever it landed, ends; then whatever it left in
        // flight ends too.
        for (DWORD waited = 0; c.eventRunning && !c.eventDone; waited += 10) {
            if (waited > 4 * kBoundMs) {
                c.Fail("the event did not end");
                break;
            }
            Sleep(10);
        }
        Sleep(kBoundMs);
        CheckRequests(c);
        const bool stopping = !counting && k.event != Event::SecondOpen &&
                              k.event != Event::SleepResume && k.event != Event::WaitWake;
        for (Ledger& l : c.ledgers)
            if (stopping && l.cable == 0) l.lossReported = true;  // the event stops I/O or the device
        CheckLedgers(c, static_cast<int>(def->cables.size()));
        CheckFlowControl(c, static_cast<int>(def->cables.size()));
        for (size_t i = 0; i < def->cables.size(); ++i) CheckReplug(c, int(i), names[i], phone);
        c.AwaitAll();
        return c.failure.empty() ? 0 : 1;
    });
    outcome.applicationPoints = summary.applicationPoints;
    outcome.interrupted = summary.interrupted;
    if (!summary.ok) {
        outcome.failure = summary.report;
    } else if (!c.failure.empty()) {
        outcome.failure = c.failure;
    } else if (!summary.poolClean) {
        outcome.failure = "pool blocks left over";
    } else if (!summary.driverUnloaded) {
        outcome.failure = "the driver was not unloaded after the last handle closed";
    }
    outcome.ok = outcome.failure.empty();
    return outcome;
}

Outcome RunInChild(const Case& c) {
    std::fflush(stdout);
    std::fflush(stderr);
    int fds[2];
    if (pipe(fds) != 0) return Run(c);
    const pid_t pid = fork();
    if (pid == 0) {
        // The child: its own run; a host crash report goes to the pipe too.
        close(fds[0]);
        dup2(fds[1], 2);
        Outcome r = Run(c);
        std::string out = r.ok ? "ok\n" : "failed\n" + r.failure;
        for (size_t at = 0; at < out.size();) {
            ssize_t n = write(fds[1], out.data() + at, out.size() - at);
            if (n <= 0) break;
            at += static_cast<size_t>(n);
        }
        _exit(0);
    }
    close(fds[1]);
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) text.append(buffer, n);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    Outcome o;
    o.interrupted = true;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0 && text.rfind("ok\n", 0) == 0) {
        o.ok = true;
    } else if (WIFEXITED(status) && WEXITSTATUS(status) == 0 && text.rfind("failed\n", 0) == 0) {
        o.failure = text.substr(7);
    } else {
        o.failure = "the run crashed" +
                    (WIFSIGNALED(status) ? " (signal " + std::to_string(WTERMSIG(status)) + ")"
                                         : std::string()) +
                    ":\n" + text;
    }
    return o;
}

std::string ReplayCommand(const Case& c) {
    std::string name = "none";
    for (const EventInfo& e : Events())
        if (e.event == c.event) name = e.name;
    std::string line = ProgramPath() + " explore " + c.scenario + " --event " + name + " --point " +
                       std::to_string(c.point) + " --strategy " + c.strategy + " --seed " +
                       std::to_string(c.seed);
    if (c.strategy == "pct") line += " --pct-depth " + std::to_string(c.pctDepth);
    return line;
}

std::vector<uint64_t> SweepPoints(const Outcome& counting, uint64_t stride, size_t limit) {
    std::vector<uint64_t> points;
    if (stride == 0) stride = 1;
    for (uint64_t p = 1; p <= counting.applicationPoints; ++p) {
        const bool inside = p - 1 < counting.dispatching.size() && counting.dispatching[p - 1];
        if (inside || p % stride == 0) points.push_back(p);
    }
    if (limit && points.size() > limit) {
        std::vector<uint64_t> thinned;
        for (size_t i = 0; i < limit; ++i) thinned.push_back(points[i * points.size() / limit]);
        points.swap(thinned);
    }
    return points;
}

}  // namespace bridgesim::fundamentals
