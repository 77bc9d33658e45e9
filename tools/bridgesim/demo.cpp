// demo.cpp - the product's story through the Windows serial API: a cable
// with a phone behind it is plugged in, an application opens the port, sets
// 9600 8N1 and asks the phone who made it; the phone gives the reference
// reply and the driver switches the port to 230400; hardware flow control
// holds a long write and lets it go; the cable is pulled out mid-transfer
// and the application's requests end; then the verdict. Every step prints
// what the application called and what it got back. The reference reply is
// shown as bytes only.
#include "tools/bridgesim/demo.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "sim/win32/machine.h"
#include "tools/bridgesim/serial_monitor.h"

namespace bridgesim {

namespace {

void Say(const std::string& text) { std::printf("%s\n", text.c_str()); }

std::string Ms(uint64_t ticks) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f ms", static_cast<double>(ticks) / 10'000.0);
    return text;
}

const char* ErrorName(DWORD error) {
    switch (error) {
        case ERROR_SUCCESS: return "ERROR_SUCCESS";
        case ERROR_INVALID_FUNCTION: return "ERROR_INVALID_FUNCTION";
        case ERROR_FILE_NOT_FOUND: return "ERROR_FILE_NOT_FOUND";
        case ERROR_ACCESS_DENIED: return "ERROR_ACCESS_DENIED";
        case ERROR_INVALID_HANDLE: return "ERROR_INVALID_HANDLE";
        case ERROR_INVALID_PARAMETER: return "ERROR_INVALID_PARAMETER";
        case ERROR_OPERATION_ABORTED: return "ERROR_OPERATION_ABORTED";
        case ERROR_IO_PENDING: return "ERROR_IO_PENDING";
        case ERROR_DEVICE_NOT_CONNECTED: return "ERROR_DEVICE_NOT_CONNECTED";
        case ERROR_GEN_FAILURE: return "ERROR_GEN_FAILURE";
        default: return "another error";
    }
}

std::string Failed() {
    DWORD e = GetLastError();
    return "FALSE, " + std::string(ErrorName(e)) + " (" + std::to_string(e) + ")";
}

// Writes a command and reads the reply until OK or ERROR or the time-outs.
std::vector<uint8_t> Command(HANDLE port, const char* command) {
    DWORD n = 0;
    WriteFile(port, command, static_cast<DWORD>(std::strlen(command)), &n, nullptr);
    std::vector<uint8_t> reply;
    uint8_t buffer[128];
    for (int i = 0; i < 20; ++i) {
        if (!ReadFile(port, buffer, sizeof buffer, &n, nullptr) || n == 0) break;
        reply.insert(reply.end(), buffer, buffer + n);
        std::string text(reply.begin(), reply.end());
        if (text.find("OK\r\n") != std::string::npos || text.find("ERROR\r\n") != std::string::npos)
            break;
    }
    return reply;
}

bool EndsWith(const std::vector<uint8_t>& bytes, const char* tail) {
    size_t n = std::strlen(tail);
    return bytes.size() >= n && std::memcmp(bytes.data() + bytes.size() - n, tail, n) == 0;
}

// The application's part of the story. Returns 0 when every step went as
// the story says.
int Story(win32sim::Machine& m) {
    int surprises = 0;
    auto expect = [&](bool ok, const char* what) {
        if (!ok) {
            ++surprises;
            Say("   !! unexpected: " + std::string(what));
        }
    };

    Say("2. The application looks for COM ports (QueryDosDevice):");
    char names[512];
    DWORD n = QueryDosDeviceA(nullptr, names, sizeof names);
    for (const char* p = names; n && *p; p += std::strlen(p) + 1) {
        char target[128] = "";
        QueryDosDeviceA(p, target, sizeof target);
        Say("   " + std::string(p) + " -> " + target);
    }

    std::string port = m.PortName(0);
    Say("\n3. It opens " + port + " and sets 9600 8N1 with RTS/CTS flow control:");
    HANDLE h = CreateFileA(("\\\\.\\" + port).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    Say("   CreateFile(\"\\\\.\\" + port + "\") -> " + (h != INVALID_HANDLE_VALUE ? "a handle" : Failed()));
    if (h == INVALID_HANDLE_VALUE) return 1;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    GetCommState(h, &dcb);
    BuildCommDCBA("baud=9600 parity=N data=8 stop=1", &dcb);
    dcb.fOutxCtsFlow = TRUE;
    BOOL ok = SetCommState(h, &dcb);
    Say("   SetCommState(9600, 8 data bits, no parity, 1 stop bit, CTS flow) -> " +
        (ok ? std::string("TRUE") : Failed()));
    COMMTIMEOUTS timeouts = {50, 0, 500, 0, 0};
    SetCommTimeouts(h, &timeouts);
    DWORD lines = 0;
    GetCommModemStatus(h, &lines);
    Say("   GetCommModemStatus -> " + std::string(lines & MS_CTS_ON ? "CTS " : "") +
        (lines & MS_DSR_ON ? "DSR " : "") + "on (the phone is there)");
    expect(ok, "SetCommState failed");

    Say("\n4. It talks to the phone:");
    std::vector<uint8_t> reply = Command(h, "AT\r");
    Say("   WriteFile \"AT\\r\"        ReadFile -> " + std::to_string(reply.size()) + " bytes: " +
        HexBytes(reply) + "  (its echo, then OK)");
    expect(EndsWith(reply, "OK\r\n"), "no OK to AT");
    reply = Command(h, "AT+CGMI\r");
    Say("   WriteFile \"AT+CGMI\\r\"   ReadFile -> " + std::to_string(reply.size()) + " bytes:");
    Say("     " + HexBytes(std::vector<uint8_t>(reply.begin(), reply.begin() + std::min<size_t>(23, reply.size()))));
    Say("     " + HexBytes(std::vector<uint8_t>(reply.begin() + std::min<size_t>(23, reply.size()), reply.end())));
    Say("   (the echo, CR LF and the 13 bytes of the reference reply, then OK)");
    expect(EndsWith(reply, "OK\r\n") && reply.size() == 31, "the reply to AT+CGMI");

    Say("\n5. The driver has recognised the reference reply:");
    GetCommState(h, &dcb);
    dcb.BaudRate = 9600;
    SetCommState(h, &dcb);
    DCB now{};
    GetCommState(h, &now);
    Say("   SetCommState(9600) -> GetCommState says " + std::to_string(now.BaudRate) +
        ": every rate asked for is now programmed as 230400");
    expect(now.BaudRate == 230400, "no switch to 230400");
    m.AtPeer(0, [](line::LinePeer& p) {
        line::LineSettings s = p.Settings();
        s.rate = chip::LineRate{3'000'000, 13};
        p.SetSettings(s);
    });
    reply = Command(h, "AT\r");
    Say("   The phone's line moves to 230400 as well; AT -> " + HexBytes(reply));
    expect(EndsWith(reply, "OK\r\n"), "no OK at 230400");
    Command(h, "ATE0\r");

    Say("\n6. A long write meets hardware flow control:");
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE ovPort = h;
    static char block[1024];
    std::memset(block, 'x', sizeof block);
    CloseHandle(h);
    ovPort = CreateFileA(("\\\\.\\" + port).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                         OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    GetCommState(ovPort, &dcb);
    dcb.fOutxCtsFlow = TRUE;
    SetCommState(ovPort, &dcb);
    SetCommMask(ovPort, EV_CTS);
    OVERLAPPED waitOv{};
    waitOv.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD events = 0;
    // The first wait after an open ends at once with the line levels on this
    // driver, and waits for an event on Windows' own serial driver: portable
    // code takes an end at once as a snapshot and waits again
    // (docs/compatibility.md).
    bool waiting = false;
    for (int attempt = 0; attempt < 2 && !waiting; ++attempt) {
        events = 0;
        if (!WaitCommEvent(ovPort, &events, &waitOv)) {
            waiting = GetLastError() == ERROR_IO_PENDING;
            break;
        }
    }
    OVERLAPPED writeOv{};
    writeOv.hEvent = event;
    uint64_t start = m.Now();
    BOOL wrote = WriteFile(ovPort, block, sizeof block, &n, &writeOv);
    Say("   WriteFile of " + std::to_string(sizeof block) + " bytes (overlapped) -> " +
        (wrote ? std::string("TRUE") : Failed()));
    int changes = 0;
    bool held = false;
    auto seen = [&](DWORD e) {
        if (!(e & EV_CTS)) return;
        ++changes;
        COMSTAT stat{};
        ClearCommError(ovPort, nullptr, &stat);
        GetCommModemStatus(ovPort, &lines);
        if (!(lines & MS_CTS_ON)) {
            held = held || stat.fCtsHold;
            Say("   " + Ms(m.Now() - start) + ": WaitCommEvent -> EV_CTS, CTS off (the phone's buffer is filling);"
                " ClearCommError: " + (stat.fCtsHold ? "fCtsHold, " : "") +
                std::to_string(stat.cbOutQue) + " bytes still queued");
        } else {
            Say("   " + Ms(m.Now() - start) + ": WaitCommEvent -> EV_CTS, CTS on again; the write goes on");
        }
    };
    while (waiting && changes < 2) {
        if (!GetOverlappedResult(ovPort, &waitOv, &n, TRUE)) break;
        seen(events);
        // The next wait; one that ends at once is taken at once.
        for (waiting = false; changes < 2;) {
            events = 0;
            if (!WaitCommEvent(ovPort, &events, &waitOv)) {
                waiting = GetLastError() == ERROR_IO_PENDING;
                break;
            }
            seen(events);
        }
    }
    BOOL finished = GetOverlappedResult(ovPort, &writeOv, &n, TRUE);
    Say("   " + Ms(m.Now() - start) + ": GetOverlappedResult -> " +
        (finished ? "TRUE, " + std::to_string(n) + " bytes written" : Failed()));
    expect(held && finished && n == sizeof block, "the write was not held and released");

    Say("\n7. The cable is pulled out in mid-transfer:");
    COMMTIMEOUTS forever = {0, 0, 0, 0, 0};
    SetCommTimeouts(ovPort, &forever);
    OVERLAPPED readOv{};
    char in[64];
    WriteFile(ovPort, block, sizeof block, &n, &writeOv);
    ReadFile(ovPort, in, sizeof in, &n, &readOv);
    SetCommMask(ovPort, EV_RING);
    events = 0;
    WaitCommEvent(ovPort, &events, &waitOv);
    Say("   in flight: WriteFile of 1024 bytes, ReadFile of 64 bytes, WaitCommEvent(EV_RING)");
    int user = m.StartThread("user", [&m] {
        Sleep(20);
        m.Unplug(0);
    });
    const char* names3[] = {"WriteFile", "ReadFile", "WaitCommEvent"};
    OVERLAPPED* ovs[] = {&writeOv, &readOv, &waitOv};
    for (int i = 0; i < 3; ++i) {
        BOOL r = GetOverlappedResult(ovPort, ovs[i], &n, TRUE);
        Say("   " + Ms(m.Now() - start) + ": " + names3[i] + " ends: " + (r ? "TRUE" : Failed()) +
            (i == 0 ? ", " + std::to_string(n) + " bytes sent" : "") +
            (i == 2 && r ? ", events " + std::to_string(events) : ""));
        expect(!r, "a request survived the unplug");
    }
    m.Join(user);
    OVERLAPPED again{};
    BOOL r = ReadFile(ovPort, in, sizeof in, &n, &again);
    Say("   A new ReadFile -> " + (r ? std::string("TRUE") : Failed()));
    expect(!r, "a read after the unplug succeeded");
    Say("   CloseHandle -> " + std::string(CloseHandle(ovPort) ? "TRUE" : Failed()));
    CloseHandle(event);
    CloseHandle(waitOv.hEvent);
    return surprises == 0 ? 0 : 1;
}

}  // namespace

int RunDemo(const DemoOptions& options) {
    win32sim::MachineOptions mo;
    mo.strategy = options.strategy;
    mo.seed = options.seed;
    mo.pctDepth = options.pctDepth;
    mo.capturePath = options.capturePath;
    RequestCounter counter;
    mo.monitor = &counter;
    win32sim::Machine m(mo);
    win32sim::CableOptions cable;
    cable.phone.referenceMaker = true;
    cable.phone.flowControl = true;
    m.AddCable(cable);
    Say("bridgesim demo (" + options.strategy + ", seed " + std::to_string(options.seed) + ")\n");
    win32sim::RunSummary r = m.Run([&] {
        Say("1. A cable with a phone behind it is plugged in: USB\\VID_1A2B&PID_0001\\5&1A2B3C4D&0&1");
        Say("   Start-up on the USB bus (descriptor read, configuration, chip set-up):");
        for (const std::string& line : m.TraceEvents("URB")) Say("     " + line);
        Say("   The port it became:");
        for (const std::string& line : m.PortFacts(0)) Say("     " + line);
        Say("");
        return Story(m);
    });
    if (options.showTrace) std::printf("\n--- trace ---\n%s", m.TraceText().c_str());
    Say("\nVerdict");
    Say("   Verifier: " + std::string(r.ok ? "no violations" : "VIOLATIONS FOUND"));
    Say("   Pool: " + std::to_string(r.poolAllocations) + " allocations, " +
        (r.poolClean ? std::string("all freed") : "blocks left over"));
    Say("   Requests: " + std::to_string(counter.issued) + " sent by the application, " +
        std::to_string(counter.ended) + " ended" +
        (counter.issued == counter.ended ? ", none left in the driver" : ", SOME NEVER ENDED"));
    Say("   Story: " + std::string(r.exitCode == 0 ? "every step as told" : "SOMETHING WENT OTHERWISE"));
    Say("   Virtual time: " + Ms(r.virtualTime) + ", " + std::to_string(r.schedulingPoints) +
        " scheduling points (" + r.replay + ")");
    if (!options.capturePath.empty())
        Say("   USB capture: " + options.capturePath + " (" + std::to_string(r.capturedRecords) +
            " records, USBPcap link type 249)");
    if (!r.ok) std::printf("%s\n", r.report.c_str());
    bool good = r.ok && r.poolClean && r.exitCode == 0 && counter.issued == counter.ended;
    return good ? 0 : 1;
}

}  // namespace bridgesim
