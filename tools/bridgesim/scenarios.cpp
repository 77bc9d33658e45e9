// scenarios.cpp - the scenarios, written as serial applications.
#include "tools/bridgesim/scenarios.h"

#include <windows.h>

#include <algorithm>
#include <cstring>

namespace bridgesim {

namespace {

#define EXPECT_THAT(condition)                                                        \
    do {                                                                              \
        if (!(condition))                                                             \
            return std::string("check failed: " #condition " (last error ") +         \
                   std::to_string(GetLastError()) + ")";                              \
    } while (0)

HANDLE Open(win32sim::Machine& m, int cable) {
    std::string path = "\\\\.\\" + m.PortName(cable);
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED, nullptr);
}

bool Setup(HANDLE port, const char* mode, bool ctsFlow, DWORD readConstant) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port, &dcb) || !BuildCommDCBA(mode, &dcb)) return false;
    dcb.fOutxCtsFlow = ctsFlow;
    COMMTIMEOUTS t{};
    t.ReadTotalTimeoutConstant = readConstant;
    t.ReadIntervalTimeout = readConstant ? 20 : 0;
    return SetCommState(port, &dcb) && SetCommTimeouts(port, &t);
}

// Waits for an overlapped request; the result, count and error.
struct End {
    BOOL ok;
    DWORD count;
    DWORD error;
};
End Finish(HANDLE port, OVERLAPPED* ov) {
    End e{};
    e.ok = GetOverlappedResult(port, ov, &e.count, TRUE);
    e.error = e.ok ? 0 : GetLastError();
    return e;
}

std::string ReadAvailable(HANDLE port) {
    std::string out;
    char buffer[64];
    for (;;) {
        OVERLAPPED ov{};
        DWORD n = 0;
        if (!ReadFile(port, buffer, sizeof buffer, &n, &ov)) {
            if (GetLastError() != ERROR_IO_PENDING) break;
            End e = Finish(port, &ov);
            if (!e.ok) break;
            n = e.count;
        }
        if (n == 0) break;
        out.append(buffer, n);
    }
    return out;
}

// A session with the phone: the commands a terminal user would type.
std::string AtSession(win32sim::Machine& m) {
    HANDLE port = Open(m, 0);
    EXPECT_THAT(port != INVALID_HANDLE_VALUE);
    EXPECT_THAT(Setup(port, "baud=9600 parity=N data=8 stop=1", true, 200));
    DWORD lines = 0;
    EXPECT_THAT(GetCommModemStatus(port, &lines));
    for (const char* command : {"AT\r", "ATI\r", "AT+CGMM\r"}) {
        OVERLAPPED ov{};
        DWORD n = 0;
        if (!WriteFile(port, command, static_cast<DWORD>(std::strlen(command)), &n, &ov))
            EXPECT_THAT(GetLastError() == ERROR_IO_PENDING && Finish(port, &ov).ok);
        EXPECT_THAT(ReadAvailable(port).find("OK\r\n") != std::string::npos);
    }
    EXPECT_THAT(CloseHandle(port));
    return "";
}

// A read of 8 bytes in flight while 8 bytes arrive through the loopback plug, cancelled
// on its own: it ends either with data or aborted, and no byte is lost or
// reordered unless the cancelled read had taken some.
std::string CancelRead(win32sim::Machine& m) {
    HANDLE port = Open(m, 0);
    EXPECT_THAT(port != INVALID_HANDLE_VALUE);
    EXPECT_THAT(Setup(port, "baud=115200 parity=N data=8 stop=1", false, 0));
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    char got[16] = {};
    DWORD n = 0;
    EXPECT_THAT(!ReadFile(port, got, 8, &n, &ov) && GetLastError() == ERROR_IO_PENDING);
    int writer = m.StartThread("writer", [port] {
        OVERLAPPED w{};
        DWORD written = 0;
        if (!WriteFile(port, "ABCDEFGH", 8, &written, &w)) GetOverlappedResult(port, &w, &written, TRUE);
    });
    Sleep(static_cast<DWORD>(m.Random() % 4));  // the cancel lands before, during or after delivery
    CancelIoEx(port, &ov);
    End e = Finish(port, &ov);
    m.Join(writer);
    EXPECT_THAT(e.ok || e.error == ERROR_OPERATION_ABORTED);
    EXPECT_THAT(WaitForSingleObject(ov.hEvent, 0) == WAIT_OBJECT_0);
    COMMTIMEOUTS t{};
    t.ReadTotalTimeoutConstant = 50;
    EXPECT_THAT(SetCommTimeouts(port, &t));
    std::string all = (e.ok ? std::string(got, e.count) : std::string()) + ReadAvailable(port);
    if (e.ok || e.count == 0) EXPECT_THAT(all == "ABCDEFGH");
    else EXPECT_THAT(std::string("ABCDEFGH").find(all) != std::string::npos);
    EXPECT_THAT(CloseHandle(port) && CloseHandle(ov.hEvent));
    return "";
}

// A write held by CTS flow control, released by RTS on one thread while
// another purges it: it ends complete or aborted, and nothing stays queued.
std::string PurgeHeldWrite(win32sim::Machine& m) {
    HANDLE port = Open(m, 0);
    EXPECT_THAT(port != INVALID_HANDLE_VALUE);
    EXPECT_THAT(Setup(port, "baud=115200 parity=N data=8 stop=1", true, 50));
    EXPECT_THAT(EscapeCommFunction(port, CLRRTS));
    Sleep(5);  // the status report with CTS off reaches the driver
    OVERLAPPED ov{};
    DWORD n = 0;
    static const char data[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    BOOL done = WriteFile(port, data, sizeof data - 1, &n, &ov);
    int releaser = m.StartThread("releaser", [port] { EscapeCommFunction(port, SETRTS); });
    EXPECT_THAT(PurgeComm(port, PURGE_TXABORT | PURGE_TXCLEAR));
    End e = done ? End{TRUE, n, 0} : Finish(port, &ov);
    m.Join(releaser);
    EXPECT_THAT((e.ok && e.count == sizeof data - 1) || e.error == ERROR_OPERATION_ABORTED);
    COMSTAT stat{};
    EXPECT_THAT(ClearCommError(port, nullptr, &stat) && stat.cbOutQue == 0);
    EXPECT_THAT(CloseHandle(port));
    return "";
}

// The cable is pulled out while a write, a read and an event wait are in
// the driver: each of them ends, the handle refuses new requests, and it
// still closes.
std::string UnplugMidTransfer(win32sim::Machine& m) {
    HANDLE port = Open(m, 0);
    EXPECT_THAT(port != INVALID_HANDLE_VALUE);
    EXPECT_THAT(Setup(port, "baud=9600 parity=N data=8 stop=1", true, 0));
    EXPECT_THAT(SetCommMask(port, EV_CTS | EV_DSR));
    static char block[2000];
    std::memset(block, 'x', sizeof block);
    OVERLAPPED w{}, r{}, e{};
    DWORD n = 0, events = 0;
    char in[64];
    BOOL wrote = WriteFile(port, block, sizeof block, &n, &w);
    BOOL read = ReadFile(port, in, sizeof in, &n, &r);
    BOOL waited = WaitCommEvent(port, &events, &e);
    int user = m.StartThread("user", [&m] {
        Sleep(5);
        m.Unplug(0);
    });
    End we = wrote ? End{TRUE, sizeof block, 0} : Finish(port, &w);
    End re = read ? End{TRUE, 0, 0} : Finish(port, &r);
    if (!waited) Finish(port, &e);
    m.Join(user);
    EXPECT_THAT(!we.ok && we.count < sizeof block);
    EXPECT_THAT(!re.ok);
    OVERLAPPED again{};
    EXPECT_THAT(!ReadFile(port, in, sizeof in, &n, &again) && GetLastError() != ERROR_IO_PENDING);
    EXPECT_THAT(CloseHandle(port));
    return "";
}

// Writes `data` through the port and reads it back through the loopback
// plug on another thread; true when every byte came back once, in order.
bool LoopbackThroughThreads(win32sim::Machine& m, HANDLE port, const std::string& data,
                            DWORD chunk) {
    std::string got;
    int reader = m.StartThread("reader", [&] {
        char buffer[256];
        int idle = 0;
        while (got.size() < data.size() && idle < 3) {
            DWORD n = 0;
            OVERLAPPED ov{};
            BOOL ok = ReadFile(port, buffer, sizeof buffer, &n, &ov);
            if (!ok && GetLastError() == ERROR_IO_PENDING) ok = GetOverlappedResult(port, &ov, &n, TRUE);
            if (!ok) break;
            idle = n == 0 ? idle + 1 : 0;
            got.append(buffer, n);
        }
    });
    bool wrote = true;
    for (size_t at = 0; at < data.size() && wrote; at += chunk) {
        OVERLAPPED ov{};
        DWORD n = 0;
        DWORD length = static_cast<DWORD>(std::min<size_t>(chunk, data.size() - at));
        BOOL ok = WriteFile(port, data.data() + at, length, &n, &ov);
        if (!ok && GetLastError() == ERROR_IO_PENDING) ok = GetOverlappedResult(port, &ov, &n, TRUE);
        wrote = ok && n == length;
    }
    m.Join(reader);
    return wrote && got == data;
}

std::string PatternText(size_t count) {
    std::string s(count, '\0');
    for (size_t i = 0; i < count; ++i) s[i] = static_cast<char>(i % 251);
    return s;
}

// Two applications open the same port at seeded moments, each using it and
// closing it: the open is exclusive, so each attempt either gets the port
// (which then carries data) or is refused with ERROR_ACCESS_DENIED.
std::string OpenRace(win32sim::Machine& m) {
    std::string failure;
    auto user = [&m, &failure](int id) {
        for (int round = 0; round < 3; ++round) {
            Sleep(static_cast<DWORD>(m.Random() % 3));
            HANDLE port = Open(m, 0);
            if (port == INVALID_HANDLE_VALUE) {
                if (GetLastError() != ERROR_ACCESS_DENIED) failure = "open refused with another error";
                continue;
            }
            if (!Setup(port, "baud=115200 parity=N data=8 stop=1", false, 50) ||
                !LoopbackThroughThreads(m, port, PatternText(40 + id), 40))
                failure = "an open port did not carry its data";
            if (!CloseHandle(port)) failure = "close failed";
        }
    };
    int other = m.StartThread("second user", [&] { user(1); });
    user(0);
    m.Join(other);
    return failure;
}

// Full traffic through the loopback plug while the system sleeps and
// resumes at a seeded moment: every byte comes back once, in order.
std::string SleepDuringTraffic(win32sim::Machine& m) {
    HANDLE port = Open(m, 0);
    EXPECT_THAT(port != INVALID_HANDLE_VALUE);
    EXPECT_THAT(Setup(port, "baud=115200 parity=N data=8 stop=1", false, 50));
    int sleeper = m.StartThread("power", [&m] {
        Sleep(static_cast<DWORD>(m.Random() % 50));
        m.SleepAndResume(0, 50'000);
    });
    EXPECT_THAT(LoopbackThroughThreads(m, port, PatternText(600), 100));
    m.Join(sleeper);
    EXPECT_THAT(CloseHandle(port));
    return "";
}

void Loopback(win32sim::Machine& m) { m.AddCable({win32sim::PeerKind::Loopback, {}}); }
void FlowPhone(win32sim::Machine& m) {
    win32sim::CableOptions c;
    c.phone.flowControl = true;
    m.AddCable(c);
}

}  // namespace

const std::vector<Scenario>& Scenarios() {
    static const std::vector<Scenario> list = {
        {"at-session", "AT, ATI and AT+CGMM with the phone at 9600 8N1", false, FlowPhone, AtSession},
        {"cancel-read", "a read cancelled while bytes arrive through the loopback plug", true,
         Loopback, CancelRead},
        {"purge-held-write", "a write held by CTS, purged while RTS releases it", true, Loopback,
         PurgeHeldWrite},
        {"unplug-mid-transfer", "the cable pulled out with a write, a read and a wait in flight",
         true, FlowPhone, UnplugMidTransfer},
        {"open-race", "two applications open, use and close the port at seeded moments", true,
         Loopback, OpenRace},
        {"sleep-during-traffic", "the system sleeps and resumes during loopback traffic", true,
         Loopback, SleepDuringTraffic},
    };
    return list;
}

const Scenario* FindScenario(const std::string& name) {
    for (const Scenario& s : Scenarios())
        if (name == s.name) return &s;
    return nullptr;
}

ScenarioResult RunScenario(const Scenario& scenario, const win32sim::MachineOptions& options) {
    win32sim::Machine machine(options);
    scenario.cables(machine);
    std::string failure;
    ScenarioResult result;
    result.summary = machine.Run([&] {
        failure = scenario.application(machine);
        return failure.empty() ? 0 : 1;
    });
    if (!result.summary.ok) result.failure = result.summary.report;
    else if (!failure.empty()) result.failure = failure;
    else if (!result.summary.poolClean) result.failure = "pool blocks left over";
    return result;
}

}  // namespace bridgesim
