// serial_suite.cpp - the serial API against the driver, written as a plain
// Windows program: it includes only <windows.h> and has its own checks, so
// the same file runs in the simulation (tests/win32/suite_host.cpp gives it
// a simulated PC) and, built by mingw, on Windows or under Wine.
//
//   serial_suite LOOPBACK_PORT PHONE_PORT
//
// LOOPBACK_PORT has a loopback plug (TX to RX, RTS to CTS, DTR to DSR and
// DCD); PHONE_PORT has the phone at 9600 8N1 with RTS/CTS flow control and
// the neutral maker. Exit status 0 when every check holds.
#include <windows.h>

#include <stdio.h>
#include <string.h>

namespace {

int failures = 0;

#define CHECK(condition)                                                              \
    do {                                                                              \
        if (!(condition)) {                                                           \
            ++failures;                                                               \
            printf("%s:%d: check failed: %s (last error %lu)\n", __FILE__, __LINE__,  \
                   #condition, (unsigned long)GetLastError());                        \
        }                                                                             \
    } while (0)

// The call fails with the given error.
#define CHECK_FAILS(call, error)                                                      \
    do {                                                                              \
        SetLastError(0);                                                              \
        BOOL ok_ = (call);                                                            \
        DWORD error_ = GetLastError();                                                \
        if (ok_ || error_ != (DWORD)(error)) {                                        \
            ++failures;                                                               \
            printf("%s:%d: %s gave %d, error %lu; expected FALSE, error %lu\n",       \
                   __FILE__, __LINE__, #call, (int)ok_, (unsigned long)error_,        \
                   (unsigned long)(error));                                           \
        }                                                                             \
    } while (0)

char loopbackName[64];
char phoneName[64];

HANDLE OpenPort(const char* name, bool overlapped) {
    char path[80];
    snprintf(path, sizeof path, "\\\\.\\%s", name);
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                       overlapped ? FILE_FLAG_OVERLAPPED : 0, NULL);
}

bool SetLine(HANDLE port, const char* mode, bool ctsFlow) {
    DCB dcb;
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port, &dcb) || !BuildCommDCBA(mode, &dcb)) return false;
    dcb.fOutxCtsFlow = ctsFlow;
    return SetCommState(port, &dcb) != FALSE;
}

void SetReadTimeouts(HANDLE port, DWORD interval, DWORD constant) {
    COMMTIMEOUTS t;
    memset(&t, 0, sizeof t);
    t.ReadIntervalTimeout = interval;
    t.ReadTotalTimeoutConstant = constant;
    CHECK(SetCommTimeouts(port, &t));
}

// Overlapped write, waited for; the count written.
DWORD WriteAll(HANDLE port, const void* data, DWORD length) {
    OVERLAPPED ov;
    memset(&ov, 0, sizeof ov);
    ov.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    DWORD written = 0;
    if (!WriteFile(port, data, length, &written, &ov)) {
        CHECK(GetLastError() == ERROR_IO_PENDING);
        CHECK(GetOverlappedResult(port, &ov, &written, TRUE));
    }
    CloseHandle(ov.hEvent);
    return written;
}

// The modem status reaches the port through the cable's status reports:
// polls until the lines in `mask` read `want` (at most 100 ms).
bool LinesBecome(HANDLE port, DWORD mask, DWORD want) {
    for (int i = 0; i < 50; ++i) {
        DWORD lines = 0;
        if (!GetCommModemStatus(port, &lines)) return false;
        if ((lines & mask) == want) return true;
        Sleep(2);
    }
    return false;
}

// Reads until `want` appears or the read time-outs end a read empty.
bool ReadUntil(HANDLE port, bool overlapped, const char* want, char* got, size_t size) {
    size_t used = 0;
    got[0] = '\0';
    for (int round = 0; round < 20 && !strstr(got, want); ++round) {
        DWORD n = 0;
        OVERLAPPED ov;
        memset(&ov, 0, sizeof ov);
        ov.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
        BOOL ok = ReadFile(port, got + used, (DWORD)(size - used - 1), &n, overlapped ? &ov : NULL);
        if (!ok && GetLastError() == ERROR_IO_PENDING) ok = GetOverlappedResult(port, &ov, &n, TRUE);
        CloseHandle(ov.hEvent);
        if (!ok || n == 0) break;
        used += n;
        got[used] = '\0';
    }
    return strstr(got, want) != NULL;
}

// ---------------------------------------------------------------- mode strings

void BuildCommDcbTable() {
    struct Row {
        const char* mode;
        BOOL ok;
        DWORD baud;
        BYTE size, parity, stop;
        unsigned outX, ctsFlow, dtr, rts;
    } rows[] = {
        {"baud=1200 parity=N data=8 stop=1", TRUE, 1200, 8, NOPARITY, ONESTOPBIT, 0, 0, 9, 9},
        {"COM3: baud=9600 parity=e data=7 stop=2 xon=on", TRUE, 9600, 7, EVENPARITY, TWOSTOPBITS, 1, 0, 9, 9},
        {"baud=19200 octs=on dtr=hs rts=tg", TRUE, 19200, 8, NOPARITY, ONESTOPBIT, 0, 1, 2, 3},
        {"baud=110", TRUE, 110, 8, NOPARITY, TWOSTOPBITS, 0, 0, 9, 9},
        {"96,n,8,1", TRUE, 9600, 8, NOPARITY, ONESTOPBIT, 0, 0, 1, 1},
        {"COM1: 57600,o,7,1.5,x", TRUE, 57600, 7, ODDPARITY, ONE5STOPBITS, 1, 0, 1, 1},
        {"9600,n,8,1,p", TRUE, 9600, 8, NOPARITY, ONESTOPBIT, 0, 1, 2, 2},
        {"baud=9600 parity=q", FALSE, 0, 0, 0, 0, 0, 0, 0, 0},
        {"baud=9600 data=9", FALSE, 0, 0, 0, 0, 0, 0, 0, 0},
        {"baud=9600 speed=fast", FALSE, 0, 0, 0, 0, 0, 0, 0, 0},
        {"9600,n,8,1,z", FALSE, 0, 0, 0, 0, 0, 0, 0, 0},
    };
    for (const Row& r : rows) {
        DCB dcb;
        memset(&dcb, 0, sizeof dcb);
        dcb.ByteSize = 8;
        dcb.fDtrControl = 9 & 3;  // a marker: 9 in the table means "left as it was"
        dcb.fRtsControl = 9 & 3;
        dcb.fOutX = dcb.fInX = dcb.fOutxCtsFlow = 1;  // the mode string turns flow control off
        SetLastError(0);
        BOOL ok = BuildCommDCBA(r.mode, &dcb);
        if (ok != r.ok || (!ok && GetLastError() != ERROR_INVALID_PARAMETER)) {
            ++failures;
            printf("BuildCommDCBA(\"%s\") gave %d, error %lu\n", r.mode, (int)ok,
                   (unsigned long)GetLastError());
            continue;
        }
        if (!ok) continue;
        bool same = dcb.BaudRate == r.baud && dcb.ByteSize == r.size && dcb.Parity == r.parity &&
                    dcb.StopBits == r.stop && dcb.fOutX == r.outX && dcb.fInX == r.outX &&
                    dcb.fOutxCtsFlow == r.ctsFlow && dcb.fDtrControl == (r.dtr & 3) &&
                    dcb.fRtsControl == (r.rts & 3) && dcb.fBinary == 1;
        if (!same) {
            ++failures;
            printf("BuildCommDCBA(\"%s\"): baud %lu size %u parity %u stop %u outX %u cts %u dtr %u rts %u\n",
                   r.mode, (unsigned long)dcb.BaudRate, dcb.ByteSize, dcb.Parity, dcb.StopBits,
                   (unsigned)dcb.fOutX, (unsigned)dcb.fOutxCtsFlow, (unsigned)dcb.fDtrControl,
                   (unsigned)dcb.fRtsControl);
        }
    }
}

// ---------------------------------------------------------------- names and opens

void NamesAndOpens() {
    char names[1024];
    DWORD n = QueryDosDeviceA(NULL, names, sizeof names);
    CHECK(n > 0);
    bool foundLoopback = false, foundPhone = false;
    for (const char* p = names; n && *p; p += strlen(p) + 1) {
        if (strcmp(p, loopbackName) == 0) foundLoopback = true;
        if (strcmp(p, phoneName) == 0) foundPhone = true;
    }
    CHECK(foundLoopback && foundPhone);
    char target[256];
    CHECK(QueryDosDeviceA(loopbackName, target, sizeof target) > 0 &&
          strncmp(target, "\\Device\\", 8) == 0);
    SetLastError(0);
    CHECK(QueryDosDeviceA("COM77", target, sizeof target) == 0 &&
          GetLastError() == ERROR_FILE_NOT_FOUND);
    CHECK(QueryDosDeviceA(loopbackName, target, 3) == 0 &&
          GetLastError() == ERROR_INSUFFICIENT_BUFFER);

    SetLastError(0);
    CHECK(OpenPort("COM77", false) == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_NOT_FOUND);
    HANDLE first = CreateFileA(loopbackName, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    CHECK(first != INVALID_HANDLE_VALUE);
    WCHAR wide[64];
    size_t i = 0;
    for (const char* p = "\\\\.\\"; *p; ++p) wide[i++] = (WCHAR)*p;
    for (const char* p = loopbackName; *p; ++p) wide[i++] = (WCHAR)*p;
    wide[i] = 0;
    SetLastError(0);
    HANDLE second = CreateFileW(wide, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    CHECK(second == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED);
    CHECK(CloseHandle(first));
    CHECK_FAILS(CloseHandle(first), ERROR_INVALID_HANDLE);
    second = CreateFileW(wide, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    CHECK(second != INVALID_HANDLE_VALUE);
    CHECK(CloseHandle(second));
}

// ---------------------------------------------------------------- settings

void Settings(HANDLE port) {
    CHECK(SetLine(port, "baud=9600 parity=N data=8 stop=1", false));
    DCB dcb;
    memset(&dcb, 0, sizeof dcb);
    CHECK(GetCommState(port, &dcb));
    CHECK(dcb.BaudRate == 9600 && dcb.ByteSize == 8 && dcb.Parity == NOPARITY &&
          dcb.StopBits == ONESTOPBIT && dcb.fDtrControl == DTR_CONTROL_ENABLE &&
          dcb.fRtsControl == RTS_CONTROL_ENABLE && dcb.DCBlength == sizeof(DCB));
    DWORD baud = 0, returned = 0;
    CHECK(DeviceIoControl(port, CTL_CODE(FILE_DEVICE_SERIAL_PORT, 20, METHOD_BUFFERED, FILE_ANY_ACCESS),
                          NULL, 0, &baud, sizeof baud, &returned, NULL) &&
          baud == 9600 && returned == 4);
    CHECK_FAILS(DeviceIoControl(port, CTL_CODE(FILE_DEVICE_SERIAL_PORT, 300, METHOD_BUFFERED, FILE_ANY_ACCESS),
                                NULL, 0, NULL, 0, &returned, NULL),
                ERROR_INVALID_FUNCTION);

    // A handshake limit above the receive queue size is refused, and the
    // settings before the refused call stay.
    DCB refused = dcb;
    refused.BaudRate = 19200;
    refused.XonLim = 5000;
    CHECK_FAILS(SetCommState(port, &refused), ERROR_INVALID_PARAMETER);
    CHECK(GetCommState(port, &dcb) && dcb.BaudRate == 9600);
    CHECK(SetupComm(port, 8192, 8192));
    CHECK(SetCommState(port, &refused));
    CHECK(GetCommState(port, &dcb) && dcb.BaudRate == 19200 && dcb.XonLim == 5000);

    COMMTIMEOUTS t = {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0, 0};
    CHECK_FAILS(SetCommTimeouts(port, &t), ERROR_INVALID_PARAMETER);
    COMMTIMEOUTS want = {0xFFFFFFFF, 0, 0, 10, 100}, got;
    CHECK(SetCommTimeouts(port, &want) && GetCommTimeouts(port, &got) &&
          memcmp(&want, &got, sizeof got) == 0);

    DWORD mask = 0;
    CHECK(SetCommMask(port, EV_RXCHAR | EV_CTS) && GetCommMask(port, &mask) &&
          mask == (EV_RXCHAR | EV_CTS));
    CHECK_FAILS(SetCommMask(port, 0x2000), ERROR_INVALID_PARAMETER);

    COMMPROP prop;
    memset(&prop, 0, sizeof prop);
    CHECK(GetCommProperties(port, &prop) && prop.wPacketLength == 64 &&
          prop.dwProvSubType == PST_RS232 && prop.dwCurrentRxQueue == 8192);
}

// ---------------------------------------------------------------- lines and data

void LinesAndData(HANDLE port) {
    CHECK(EscapeCommFunction(port, CLRRTS) && LinesBecome(port, MS_CTS_ON, 0));
    CHECK(EscapeCommFunction(port, SETRTS) && LinesBecome(port, MS_CTS_ON, MS_CTS_ON));
    CHECK(EscapeCommFunction(port, CLRDTR) && LinesBecome(port, MS_DSR_ON | MS_RLSD_ON, 0));
    CHECK(EscapeCommFunction(port, SETDTR) &&
          LinesBecome(port, MS_DSR_ON | MS_RLSD_ON, MS_DSR_ON | MS_RLSD_ON));
    CHECK(SetCommBreak(port) && ClearCommBreak(port));
    CHECK(EscapeCommFunction(port, SETBREAK) && EscapeCommFunction(port, CLRBREAK));
    CHECK_FAILS(EscapeCommFunction(port, 42), ERROR_INVALID_PARAMETER);
    CHECK_FAILS(EscapeCommFunction(port, SETXOFF), ERROR_INVALID_FUNCTION);
    CHECK_FAILS(TransmitCommChar(port, 'x'), ERROR_INVALID_FUNCTION);

    // Through the plug and back.
    CHECK(PurgeComm(port, PURGE_RXABORT | PURGE_RXCLEAR | PURGE_TXCLEAR));
    SetReadTimeouts(port, 0, 100);
    CHECK(WriteAll(port, "hello", 5) == 5);
    char got[64];
    CHECK(ReadUntil(port, true, "hello", got, sizeof got));

    // An overlapped read with nothing to read: pending, incomplete, then
    // cancelled on its own with CancelIoEx.
    SetReadTimeouts(port, 0, 0);
    OVERLAPPED ov;
    memset(&ov, 0, sizeof ov);
    ov.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    char buffer[16];
    DWORD n = 0;
    CHECK_FAILS(ReadFile(port, buffer, sizeof buffer, &n, &ov), ERROR_IO_PENDING);
    CHECK(!HasOverlappedIoCompleted(&ov));
    CHECK_FAILS(GetOverlappedResult(port, &ov, &n, FALSE), ERROR_IO_INCOMPLETE);
    CHECK(WaitForSingleObject(ov.hEvent, 20) == WAIT_TIMEOUT);
    CHECK(CancelIoEx(port, &ov));
    CHECK_FAILS(GetOverlappedResult(port, &ov, &n, TRUE), ERROR_OPERATION_ABORTED);
    CHECK(WaitForSingleObject(ov.hEvent, 0) == WAIT_OBJECT_0 && HasOverlappedIoCompleted(&ov));
    CHECK_FAILS(CancelIoEx(port, &ov), ERROR_NOT_FOUND);

    // CancelIo ends the calling thread's read too.
    CHECK_FAILS(ReadFile(port, buffer, sizeof buffer, &n, &ov), ERROR_IO_PENDING);
    CHECK(CancelIo(port));
    CHECK_FAILS(GetOverlappedResult(port, &ov, &n, TRUE), ERROR_OPERATION_ABORTED);

    // A write held by CTS flow control with RTS (wired to CTS) off: the
    // status shows the hold and the queued bytes; a purge ends the write.
    DCB dcb;
    CHECK(GetCommState(port, &dcb));
    dcb.fOutxCtsFlow = TRUE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    CHECK(SetCommState(port, &dcb) && LinesBecome(port, MS_CTS_ON, 0));
    CHECK_FAILS(WriteFile(port, "held back", 9, &n, &ov), ERROR_IO_PENDING);
    COMSTAT stat;
    DWORD errors = 1;
    CHECK(ClearCommError(port, &errors, &stat) && errors == 0 && stat.fCtsHold && stat.cbOutQue == 9);
    CHECK(PurgeComm(port, PURGE_TXABORT));
    CHECK_FAILS(GetOverlappedResult(port, &ov, &n, TRUE), ERROR_OPERATION_ABORTED);
    CHECK(ClearCommError(port, &errors, &stat) && stat.cbOutQue == 0);
    dcb.fOutxCtsFlow = FALSE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    CHECK(SetCommState(port, &dcb));
    CloseHandle(ov.hEvent);
}

void Events() {
    HANDLE manual = CreateEventA(NULL, TRUE, FALSE, NULL);
    CHECK(manual != NULL && SetEvent(manual));
    CHECK(WaitForSingleObject(manual, 0) == WAIT_OBJECT_0 && WaitForSingleObject(manual, 0) == WAIT_OBJECT_0);
    CHECK(ResetEvent(manual) && WaitForSingleObject(manual, 10) == WAIT_TIMEOUT);
    HANDLE automatic = CreateEventA(NULL, FALSE, TRUE, NULL);
    CHECK(WaitForSingleObject(automatic, 0) == WAIT_OBJECT_0 && WaitForSingleObject(automatic, 0) == WAIT_TIMEOUT);
    CHECK(CloseHandle(manual) && CloseHandle(automatic));
    CHECK_FAILS(SetEvent(manual), ERROR_INVALID_HANDLE);
}

// ---------------------------------------------------------------- the phone

void PhoneSynchronous() {
    HANDLE port = OpenPort(phoneName, false);
    CHECK(port != INVALID_HANDLE_VALUE);
    CHECK(SetLine(port, "baud=9600 parity=N data=8 stop=1", true));
    SetReadTimeouts(port, 50, 500);
    char got[256];
    DWORD n = 0;
    CHECK(WriteFile(port, "AT\r", 3, &n, NULL) && n == 3);
    CHECK(ReadUntil(port, false, "OK\r\n", got, sizeof got));
    CHECK(WriteFile(port, "AT+NOPE\r", 8, &n, NULL));
    CHECK(ReadUntil(port, false, "ERROR\r\n", got, sizeof got));
    CHECK(CloseHandle(port));
}

// WaitCommEvent, overlapped, for EV_RXCHAR | EV_CTS: the phone's reply, then
// a long write that fills the phone's buffer, so that its CTS drops and
// rises again.
void PhoneEvents() {
    HANDLE port = OpenPort(phoneName, true);
    CHECK(port != INVALID_HANDLE_VALUE);
    CHECK(SetLine(port, "baud=9600 parity=N data=8 stop=1", true));
    SetReadTimeouts(port, 50, 500);
    CHECK(SetCommMask(port, EV_RXCHAR | EV_CTS));
    OVERLAPPED ov;
    memset(&ov, 0, sizeof ov);
    ov.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    DWORD events = 0, n = 0;
    // The first wait after an open may end at once with the line levels.
    if (WaitCommEvent(port, &events, &ov)) events = 0;
    else if (GetLastError() == ERROR_IO_PENDING && WaitForSingleObject(ov.hEvent, 0) == WAIT_OBJECT_0)
        GetOverlappedResult(port, &ov, &n, TRUE);
    else CancelIoEx(port, &ov), GetOverlappedResult(port, &ov, &n, TRUE);

    CHECK_FAILS(WaitCommEvent(port, &events, &ov), ERROR_IO_PENDING);
    CHECK(WriteAll(port, "ATE0\r", 5) == 5);
    CHECK(WaitForSingleObject(ov.hEvent, 1000) == WAIT_OBJECT_0);
    CHECK(GetOverlappedResult(port, &ov, &n, TRUE) && n == 4 && (events & EV_RXCHAR));
    char got[256];
    CHECK(ReadUntil(port, true, "OK\r\n", got, sizeof got));

    static char block[1200];
    memset(block, 'x', sizeof block);
    OVERLAPPED wov;
    memset(&wov, 0, sizeof wov);
    wov.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    CHECK_FAILS(WriteFile(port, block, sizeof block, &n, &wov), ERROR_IO_PENDING);
    int ctsChanges = 0;
    bool held = false;
    for (int i = 0; i < 8 && ctsChanges < 2; ++i) {
        events = 0;
        if (!WaitCommEvent(port, &events, &ov)) {
            CHECK(GetLastError() == ERROR_IO_PENDING);
            if (WaitForSingleObject(ov.hEvent, 5000) != WAIT_OBJECT_0) break;
            CHECK(GetOverlappedResult(port, &ov, &n, FALSE));
        }
        if (events & EV_CTS) {
            ++ctsChanges;
            COMSTAT stat;
            if (ctsChanges == 1 && ClearCommError(port, NULL, &stat)) held = stat.fCtsHold && stat.cbOutQue > 0;
        }
    }
    CHECK(ctsChanges == 2);
    CHECK(held);
    CHECK(GetOverlappedResult(port, &wov, &n, TRUE) && n == sizeof block);
    CHECK(CloseHandle(port));
    CloseHandle(ov.hEvent);
    CloseHandle(wov.hEvent);
}

}  // namespace

int SerialSuiteMain(int argc, char** argv) {
    if (argc < 3) {
        printf("usage: serial_suite LOOPBACK_PORT PHONE_PORT\n");
        return 2;
    }
    snprintf(loopbackName, sizeof loopbackName, "%s", argv[1]);
    snprintf(phoneName, sizeof phoneName, "%s", argv[2]);
    failures = 0;
    BuildCommDcbTable();
    NamesAndOpens();
    HANDLE port = OpenPort(loopbackName, true);
    CHECK(port != INVALID_HANDLE_VALUE);
    Settings(port);
    LinesAndData(port);
    CHECK(CloseHandle(port));
    Events();
    PhoneSynchronous();
    PhoneEvents();
    printf("serial suite: %s (%d failed check%s)\n", failures ? "FAILED" : "passed", failures,
           failures == 1 ? "" : "s");
    return failures ? 1 : 0;
}

#ifndef SERIAL_SUITE_HOSTED
int main(int argc, char** argv) { return SerialSuiteMain(argc, argv); }
#endif
