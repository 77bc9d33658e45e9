// term.cpp - bridgesim term: a terminal on a simulated port. Standard input
// goes to the port and the port to standard output. On a terminal the
// simulation runs at wall-clock pace, keys go out as typed and the quit key
// (Ctrl-] unless changed) ends it; from a pipe the input is sent as it is
// (a line feed becomes the carriage return a terminal's Enter sends) and the
// output is read until the line has been quiet for the idle time, in
// virtual time.
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "sim/win32/machine.h"
#include "tools/bridgesim/commands.h"

namespace bridgesim {

namespace {

bool SetUp(HANDLE port, const TermOptions& o) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    std::string mode = "baud=" + std::to_string(o.baud) + " parity=" + std::string(1, o.parity) +
                       " data=" + std::to_string(o.dataBits) + " stop=" + o.stopBits;
    if (!GetCommState(port, &dcb) || !BuildCommDCBA(mode.c_str(), &dcb)) return false;
    dcb.fOutxCtsFlow = o.rtsCts;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    return SetCommState(port, &dcb) != FALSE;
}

// Reads what the port has within the time-outs set; false on an error.
bool Drain(HANDLE port, size_t* total) {
    char buffer[256];
    DWORD n = 0;
    if (!ReadFile(port, buffer, sizeof buffer, &n, nullptr)) return false;
    if (n) {
        std::fwrite(buffer, 1, n, stdout);
        std::fflush(stdout);
    }
    *total = n;
    return true;
}

int FromPipe(win32sim::Machine& m, HANDLE port, const TermOptions& o, const std::string& input) {
    std::string out;
    for (char c : input) {
        if (static_cast<unsigned char>(c) == o.quitKey) break;
        out.push_back(c == '\n' ? '\r' : c);
    }
    COMMTIMEOUTS t = {o.idleMs, 0, o.idleMs, 0, 0};
    SetCommTimeouts(port, &t);
    DWORD written = 0;
    if (!out.empty() && !WriteFile(port, out.data(), static_cast<DWORD>(out.size()), &written, nullptr)) {
        std::fprintf(stderr, "bridgesim term: write failed, error %lu\n", (unsigned long)GetLastError());
        return 1;
    }
    (void)m;
    size_t n = 1;
    while (n) {
        if (!Drain(port, &n)) return 1;
    }
    return 0;
}

int Interactive(win32sim::Machine& m, HANDLE port, const TermOptions& o) {
    struct Inbox {
        std::string bytes;
        bool closed = false;
    };
    auto inbox = std::make_shared<Inbox>();
    std::atomic<bool> stop{false};
    std::thread reader([&m, inbox, &stop] {
        while (!stop) {
            pollfd p{0, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            char buffer[64];
            ssize_t n = read(0, buffer, sizeof buffer);
            std::string bytes = n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
            m.Post([inbox, bytes, n] {
                if (n <= 0) inbox->closed = true;
                else inbox->bytes += bytes;
            });
            if (n <= 0) break;
        }
    });
    COMMTIMEOUTS t = {5, 0, 20, 0, 0};
    SetCommTimeouts(port, &t);
    int status = 0;
    for (;;) {
        std::string keys;
        keys.swap(inbox->bytes);
        size_t quit = keys.find(static_cast<char>(o.quitKey));
        bool done = quit != std::string::npos || inbox->closed;
        if (quit != std::string::npos) keys.resize(quit);
        DWORD written = 0;
        if (!keys.empty() && !WriteFile(port, keys.data(), static_cast<DWORD>(keys.size()), &written, nullptr)) {
            status = 1;
            break;
        }
        size_t n = 0;
        if (!Drain(port, &n)) {
            status = 1;
            break;
        }
        if (done) break;
    }
    stop = true;
    reader.join();
    return status;
}

}  // namespace

int RunTerm(const TermOptions& o) {
    bool tty = isatty(0);
    std::string input;
    if (!tty) {
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, stdin)) > 0) input.append(buffer, n);
    }
    win32sim::MachineOptions mo;
    mo.strategy = o.strategy;
    mo.seed = o.seed;
    mo.paced = tty;
    win32sim::Machine m(mo);
    win32sim::CableOptions cable;
    cable.peer = o.peer == "loopback" ? win32sim::PeerKind::Loopback
                 : o.peer == "echo"   ? win32sim::PeerKind::Echo
                                      : win32sim::PeerKind::Phone;
    line::LineSettings s = line::LineSettings::Baud(o.peerBaud ? o.peerBaud : o.baud,
                                                    static_cast<uint8_t>(o.dataBits));
    static const char parities[] = "noems";
    s.parity = static_cast<chip::Parity>(std::strchr(parities, o.parity) - parities);
    s.stopBits = o.stopBits == "2" ? line::StopBits::Two
                 : o.stopBits == "1.5" ? line::StopBits::OneAndHalf
                                       : line::StopBits::One;
    cable.phone.settings = s;
    cable.phone.flowControl = o.rtsCts;
    m.AddCable(cable);
    termios saved{};
    if (tty) {
        tcgetattr(0, &saved);
        termios raw = saved;
        cfmakeraw(&raw);
        raw.c_oflag |= OPOST;
        tcsetattr(0, TCSANOW, &raw);
        std::fprintf(stderr, "bridgesim term: %s peer on COM3, %u %d%c%s; quit with Ctrl-%c\r\n",
                     o.peer.c_str(), o.baud, o.dataBits, o.parity - 32, o.stopBits.c_str(),
                     o.quitKey + 64);
    }
    win32sim::RunSummary r = m.Run([&] {
        std::string name = "\\\\.\\" + m.PortName(0);
        HANDLE port = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        if (port == INVALID_HANDLE_VALUE || !SetUp(port, o)) {
            std::fprintf(stderr, "bridgesim term: cannot open and set up the port, error %lu\n",
                         (unsigned long)GetLastError());
            return 1;
        }
        int status = tty ? Interactive(m, port, o) : FromPipe(m, port, o, input);
        CloseHandle(port);
        return status;
    });
    if (tty) tcsetattr(0, TCSANOW, &saved);
    if (!r.ok) {
        std::fprintf(stderr, "%s\n", r.report.c_str());
        return 1;
    }
    return r.exitCode == 0 && r.poolClean ? 0 : 1;
}

}  // namespace bridgesim
