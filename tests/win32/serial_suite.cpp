// serial_suite.cpp - the serial API against the driver, written as a plain
// Windows program: it includes only <windows.h> and <winternl.h> and has its
// own checks, so the same file runs in the simulation (suite_host.cpp gives
// it a simulated PC), built by mingw on Windows, and under Wine against the
// real image above the test bus (windows/tests/wine_rig.sh).
//
//   serial_suite LOOPBACK_PORT [PHONE_PORT]
//
// LOOPBACK_PORT has a loopback plug (TX to RX, RTS to CTS, DTR to DSR and
// DCD). PHONE_PORT, when given, has the phone at 9600 8N1 with RTS/CTS flow
// control; the checks that need it (and so a second port) run only then,
// which the simulation does. Exit status 0 when every check holds.
//
// Each check is one behaviour an application relies on, with Windows'
// answer. Where Wine's own serial API answers otherwise (it passes some
// requests Windows' I/O manager refuses, and its SetCommState differs), the
// check says so: under Wine that difference is reported, not counted.
#include <windows.h>
#include <winternl.h>

#include <stdio.h>
#include <string.h>

namespace {

int failures = 0;
bool underWine = false;

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

// Windows' answer, which Wine's serial API is known not to give: under Wine
// a failure is reported as Wine's difference and not counted.
#define CHECK_WINDOWS(condition, wine)                                                \
    do {                                                                              \
        if (!(condition)) {                                                           \
            if (underWine) {                                                          \
                printf("%s:%d: Wine differs from Windows: %s\n", __FILE__, __LINE__,  \
                       wine);                                                         \
            } else {                                                                  \
                ++failures;                                                           \
                printf("%s:%d: check failed: %s (last error %lu)\n", __FILE__,        \
                       __LINE__, #condition, (unsigned long)GetLastError());          \
            }                                                                         \
        }                                                                             \
    } while (0)

char loopbackName[64];
char phoneName[64];

typedef NTSTATUS(NTAPI* NtTransfer)(HANDLE, HANDLE, PIO_APC_ROUTINE, PVOID, PIO_STATUS_BLOCK, PVOID,
                                    ULONG, PLARGE_INTEGER, PULONG);
const NTSTATUS kStatusSuccess = 0;

HANDLE OpenPort(const char* name, bool overlapped) {
    char path[80];
    snprintf(path, sizeof path, "\\\\.\\%s", name);
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                       overlapped ? FILE_FLAG_OVERLAPPED : 0, NULL);
}

// An OVERLAPPED with a manual-reset event of its own.
struct Overlapped {
    OVERLAPPED ov;
    Overlapped() {
        memset(&ov, 0, sizeof ov);
        ov.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    }
    ~Overlapped() { CloseHandle(ov.hEvent); }
};

// Sets the line from a mode string, DTR and RTS on, CTS flow as asked, and
// empties the receive queue (PURGE_RXABORT with PURGE_RXCLEAR: see the
// purge below).
bool SetLine(HANDLE port, const char* mode, bool ctsFlow) {
    DCB dcb;
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port, &dcb) || !BuildCommDCBA(mode, &dcb)) return false;
    dcb.fOutxCtsFlow = ctsFlow;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    return SetCommState(port, &dcb) && PurgeComm(port, PURGE_RXABORT | PURGE_RXCLEAR);
}

void SetTimeouts(HANDLE port, DWORD interval, DWORD multiplier, DWORD constant) {
    COMMTIMEOUTS t;
    memset(&t, 0, sizeof t);
    t.ReadIntervalTimeout = interval;
    t.ReadTotalTimeoutMultiplier = multiplier;
    t.ReadTotalTimeoutConstant = constant;
    CHECK(SetCommTimeouts(port, &t));
}

// Overlapped write, waited for; the count written.
DWORD WriteAll(HANDLE port, const void* data, DWORD length) {
    Overlapped w;
    DWORD written = 0;
    if (!WriteFile(port, data, length, &written, &w.ov)) {
        CHECK(GetLastError() == ERROR_IO_PENDING);
        CHECK(GetOverlappedResult(port, &w.ov, &written, TRUE));
    }
    return written;
}

// Overlapped read, waited for; the count read (the time-outs decide when
// it ends), -1 when the read fails. A read that its time-outs end completes
// with STATUS_TIMEOUT, a success: GetOverlappedResult returns TRUE. Wine's
// fails it with ERROR_TIMEOUT (the count is right); that is reported once.
long ReadSome(HANDLE port, void* data, DWORD length) {
    static bool reported = false;
    Overlapped r;
    DWORD n = 0;
    if (ReadFile(port, data, length, &n, &r.ov)) return (long)n;
    if (GetLastError() != ERROR_IO_PENDING) return -1;
    if (GetOverlappedResult(port, &r.ov, &n, TRUE)) return (long)n;
    if (!underWine || GetLastError() != ERROR_TIMEOUT) return -1;
    if (!reported) printf("Wine differs from Windows: GetOverlappedResult fails a read its time-out ended\n");
    reported = true;
    return (long)n;
}

// Modem lines reach the port in the cable's status reports, so a change
// shows a report or two after it is made: polls until the lines in `mask`
// read `want` (at most a second).
bool LinesBecome(HANDLE port, DWORD mask, DWORD want) {
    for (int i = 0; i < 100; ++i) {
        DWORD lines = 0;
        if (!GetCommModemStatus(port, &lines)) return false;
        if ((lines & mask) == want) return true;
        Sleep(10);
    }
    return false;
}

// Starts an overlapped WaitCommEvent that stays pending. The first wait
// after an open may end at once with the line levels (this driver's) or
// wait for an event (Windows' own serial driver): portable code takes an
// immediate end as a snapshot and waits again.
bool StartWait(HANDLE port, DWORD* events, OVERLAPPED* ov) {
    for (int attempt = 0; attempt < 2; ++attempt)
        if (!WaitCommEvent(port, events, ov)) return GetLastError() == ERROR_IO_PENDING;
    return false;
}

DWORD Since(DWORD start) { return GetTickCount() - start; }

// ---------------------------------------------------------------- mode strings

// BuildCommDCB(A, W) and BuildCommDCBAndTimeouts(A, W) on each string, each
// from a DCB and time-outs of all-zero and of all-one bytes: a good string
// changes exactly the members it names (and the stop bits), a bad one
// nothing. "COMx" stands for the loopback port.
const int K = -1;  // left as it was
struct ModeRow {
    const char* mode;
    BOOL ok;
    long long baud;
    int parity, size, stop;
    int xon, cts, dsr, dtr, rts, dsrSensitivity;
    int timeouts;  // K, 0 (to=off: all zero) or 1 (to=on: writes end within a minute)
    const char* wine;  // how Wine's BuildCommDCB differs, when it does
};

const char kWineRefusesHandshake[] = "BuildCommDCB refuses dtr=hs, rts=hs and rts=tg";

const ModeRow kModeRows[] = {
    // key=value: only what is named changes; no stop= is one stop bit.
    {"baud=1200 parity=N data=8 stop=1", TRUE, 1200, NOPARITY, 8, ONESTOPBIT, K, K, K, K, K, K, K, 0},
    {"BAUD=4000000000 Parity=o Data=7 Stop=2 to=off", TRUE, 4000000000LL, ODDPARITY, 7, TWOSTOPBITS,
     K, K, K, K, K, K, 0, 0},
    {"baud=0 xon=on octs=ON odsr=off idsr=on dtr=hs rts=tg", TRUE, 0, K, K, ONESTOPBIT, 1, 1, 0,
     DTR_CONTROL_HANDSHAKE, RTS_CONTROL_TOGGLE, 1, K, kWineRefusesHandshake},
    {"parity=s    data=5   dtr=off rts=hs xon=off", TRUE, K, SPACEPARITY, 5, ONESTOPBIT, 0, K, K,
     DTR_CONTROL_DISABLE, RTS_CONTROL_HANDSHAKE, K, K, kWineRefusesHandshake},
    {"baud=115200 to=on", TRUE, 115200, K, K, ONESTOPBIT, K, K, K, K, K, K, 1, 0},
    {"baud=110", TRUE, 110, K, K, TWOSTOPBITS, K, K, K, K, K, K, K, 0},
    {"COMx:baud=38400 data=8 stop=1.5", TRUE, 38400, K, 8, ONE5STOPBITS, K, K, K, K, K, K, K, 0},
    {"COMx : octs=off dtr=on rts=off", TRUE, K, K, K, ONESTOPBIT, K, 0, K, DTR_CONTROL_ENABLE,
     RTS_CONTROL_DISABLE, K, K, 0},
    // The older form sets the flow control as its last field says.
    {"11,n,8,1", TRUE, 110, NOPARITY, 8, ONESTOPBIT, 0, 0, 0, 1, 1, K, K, 0},
    {"30 ,E, 5,1.5", TRUE, 300, EVENPARITY, 5, ONE5STOPBITS, 0, 0, 0, 1, 1, K, K, 0},
    {"96,N,8,1 , x", TRUE, 9600, NOPARITY, 8, ONESTOPBIT, 1, 0, 0, 1, 1, K, K, 0},
    {"COMx:19,M,7,2,P", TRUE, 19200, MARKPARITY, 7, TWOSTOPBITS, 0, 1, 1, 2, 2, K, K, 0},
    {"4000000000,s,6,1", TRUE, 4000000000LL, SPACEPARITY, 6, ONESTOPBIT, 0, 0, 0, 1, 1, K, K, 0},
    {"0,o,8,2", TRUE, 0, ODDPARITY, 8, TWOSTOPBITS, 0, 0, 0, 1, 1, K, K, 0},
    // Refused, nothing changed.
    {" baud=9600", FALSE, K, K, K, K, K, K, K, K, K, K, K, 0},
    {"COM0:baud=9600", FALSE, K, K, K, K, K, K, K, K, K, K, K, 0},
    {"COM0:9600,n,8,1", FALSE, K, K, K, K, K, K, K, K, K, K, K, 0},
    {"baud= 9600", FALSE, K, K, K, K, K, K, K, K, K, K, K, 0},
    {"baud=9600,data=8", FALSE, K, K, K, K, K, K, K, K, K, K, K, 0},
    {"data=4", FALSE, K, K, K, K, K, K, K, K, K, K, K, 0},
    {"data=9", FALSE, K, K, K, K, K, K, K, K, K, K, K, 0},
    {"parity=no", FALSE, K, K, K, K, K, K, K, K, K, K, K, 0},
    {"stop=1.501", FALSE, K, K, K, K, K, K, K, K, K, K, K, 0},
    {"to=maybe", FALSE, K, K, K, K, K, K, K, K, K, K, K, 0},
    {"speed=fast", FALSE, K, K, K, K, K, K, K, K, K, K, K, 0},
    {"96,N,8,1 to=on", FALSE, K, K, K, K, K, K, K, K, K, K, K, 0},
    {"96,NO,8,1", FALSE, K, K, K, K, K, K, K, K, K, K, K, 0},
    {"96,N,8,0", FALSE, K, K, K, K, K, K, K, K, K, K, K, 0},
    {"96,N,8,1,k", FALSE, K, K, K, K, K, K, K, K, K, K, K, 0},
};

void Apply(const ModeRow& r, DCB* d, COMMTIMEOUTS* t) {
    if (r.baud != K) d->BaudRate = (DWORD)r.baud;
    if (r.parity != K) d->Parity = (BYTE)r.parity;
    if (r.size != K) d->ByteSize = (BYTE)r.size;
    if (r.stop != K) d->StopBits = (BYTE)r.stop;
    if (r.xon != K) d->fInX = d->fOutX = r.xon;
    if (r.cts != K) d->fOutxCtsFlow = r.cts;
    if (r.dsr != K) d->fOutxDsrFlow = r.dsr;
    if (r.dtr != K) d->fDtrControl = r.dtr;
    if (r.rts != K) d->fRtsControl = r.rts;
    if (r.dsrSensitivity != K) d->fDsrSensitivity = r.dsrSensitivity;
    if (t && r.timeouts != K) {
        memset(t, 0, sizeof *t);
        if (r.timeouts == 1) t->WriteTotalTimeoutConstant = 60000;
    }
}

void ModeStringTable() {
    bool wineSetsLength = false;
    for (const ModeRow& r : kModeRows) {
        char mode[96];
        snprintf(mode, sizeof mode, "%s", r.mode);
        if (char* x = strstr(mode, "COMx")) {
            char rest[96];
            snprintf(rest, sizeof rest, "%s", x + 4);
            snprintf(x, sizeof mode - (size_t)(x - mode), "%s%s", loopbackName, rest);
        }
        WCHAR wide[96];
        MultiByteToWideChar(CP_ACP, 0, mode, -1, wide, 96);
        const char* wrong = NULL;
        for (int variant = 0; variant < 8 && !wrong; ++variant) {
            int fill = variant & 1 ? 0xFF : 0x00;
            bool withTimeouts = (variant & 2) != 0, isWide = (variant & 4) != 0;
            DCB dcb, want;
            COMMTIMEOUTS timeouts, wantTimeouts;
            memset(&dcb, fill, sizeof dcb);
            memset(&timeouts, fill, sizeof timeouts);
            want = dcb;
            wantTimeouts = timeouts;
            SetLastError(0);
            BOOL ok = withTimeouts ? (isWide ? BuildCommDCBAndTimeoutsW(wide, &dcb, &timeouts)
                                             : BuildCommDCBAndTimeoutsA(mode, &dcb, &timeouts))
                                   : (isWide ? BuildCommDCBW(wide, &dcb) : BuildCommDCBA(mode, &dcb));
            DWORD error = GetLastError();
            if (ok) Apply(r, &want, withTimeouts ? &wantTimeouts : NULL);
            // Windows leaves DCBlength as it is; Wine sets it, whatever the
            // string.
            if (underWine && dcb.DCBlength != want.DCBlength) {
                wineSetsLength = true;
                dcb.DCBlength = want.DCBlength;
            }
            if (ok != r.ok || (!ok && error != ERROR_INVALID_PARAMETER))
                wrong = ok ? "accepted" : "refused";
            else if (memcmp(&dcb, &want, sizeof dcb) != 0)
                wrong = "another DCB";
            else if (memcmp(&timeouts, &wantTimeouts, sizeof timeouts) != 0)
                wrong = "other time-outs";
            if (wrong)
                printf("%s(\"%s\") from 0x%02X bytes: %s\n",
                       withTimeouts ? (isWide ? "BuildCommDCBAndTimeoutsW" : "BuildCommDCBAndTimeoutsA")
                                    : (isWide ? "BuildCommDCBW" : "BuildCommDCBA"),
                       mode, fill, wrong);
        }
        if (wrong && !(underWine && r.wine)) ++failures;
        if (wrong && underWine && r.wine) printf("  Wine differs from Windows: %s\n", r.wine);
    }
    if (wineSetsLength) printf("Wine differs from Windows: BuildCommDCB sets DCBlength\n");
}

// ---------------------------------------------------------------- names and opens

void NamesAndOpens() {
    char names[2048];
    DWORD n = QueryDosDeviceA(NULL, names, sizeof names);
    bool foundLoopback = false;
    for (const char* p = names; n && *p; p += strlen(p) + 1)
        if (strcmp(p, loopbackName) == 0) foundLoopback = true;
    CHECK(foundLoopback);
    char target[256];
    CHECK(QueryDosDeviceA(loopbackName, target, sizeof target) > 0 &&
          strncmp(target, "\\Device\\", 8) == 0);
    CHECK_FAILS(QueryDosDeviceA("COM77", target, sizeof target) != 0, ERROR_FILE_NOT_FOUND);

    CHECK_FAILS(OpenPort("COM77", false) != INVALID_HANDLE_VALUE, ERROR_FILE_NOT_FOUND);
    // The bare name opens the port as \\.\COMn does; so does the wide name.
    HANDLE first = CreateFileA(loopbackName, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    CHECK(first != INVALID_HANDLE_VALUE);
    // The port is exclusive. Under Wine the second open is let through,
    // and closing its handle closes the port under the first one, so it is
    // not tried there.
    char path[80];
    snprintf(path, sizeof path, "\\\\.\\%s", loopbackName);
    int wideLength = MultiByteToWideChar(CP_ACP, 0, path, -1, NULL, 0);
    WCHAR wide[80];
    CHECK(wideLength == (int)strlen(path) + 1 && MultiByteToWideChar(CP_ACP, 0, path, -1, wide, 80) == wideLength);
    if (!underWine)
        CHECK_FAILS(CreateFileW(wide, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL) !=
                        INVALID_HANDLE_VALUE,
                    ERROR_ACCESS_DENIED);
    CHECK(CloseHandle(first));
    CHECK_FAILS(CloseHandle(first), ERROR_INVALID_HANDLE);
    HANDLE second = CreateFileW(wide, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    CHECK(second != INVALID_HANDLE_VALUE);
    CHECK(CloseHandle(second));

    // A standard handle is no port (how some runtimes tell a port apart).
    DCB dcb;
    SetLastError(0);
    CHECK(!GetCommState(GetStdHandle(STD_INPUT_HANDLE), &dcb) &&
          (GetLastError() == ERROR_INVALID_HANDLE || GetLastError() == ERROR_INVALID_FUNCTION));

    // The port's default configuration, as the Ports class keeps it.
    COMMCONFIG config;
    DWORD size = 4;
    CHECK_FAILS(GetDefaultCommConfigA(loopbackName, &config, &size), ERROR_INSUFFICIENT_BUFFER);
    CHECK(size == sizeof config);
    CHECK(GetDefaultCommConfigA(loopbackName, &config, &size) && size == sizeof config &&
          config.dwSize == sizeof config && config.wVersion == 1 &&
          config.dwProviderSubType == PST_RS232 && config.dwProviderSize == 0);
    CHECK_WINDOWS(config.dcb.BaudRate == 115200 && config.dcb.ByteSize == 8 &&
                      config.dcb.Parity == NOPARITY && config.dcb.StopBits == ONESTOPBIT,
                  "GetDefaultCommConfig does not read the port's Ports entry");
    size = sizeof config;
    SetLastError(0);
    CHECK(!GetDefaultCommConfigA("COM77", &config, &size));

    // ntdll's read and write are there for a program that calls them.
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    CHECK(ntdll != NULL && GetProcAddress(ntdll, "NtReadFile") != NULL &&
          GetProcAddress(ntdll, "NtWriteFile") != NULL);
    SetLastError(0);
    CHECK(GetProcAddress(ntdll, "NtNoSuchRoutine") == NULL && GetLastError() == ERROR_PROC_NOT_FOUND);
    SetLastError(0);
    CHECK(GetModuleHandleA("nosuch.dll") == NULL && GetLastError() == ERROR_MOD_NOT_FOUND);
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

    // A DCB the driver refuses (fDtrControl 3 means nothing) fails the
    // call, and the settings before it stay.
    DCB refused = dcb;
    refused.BaudRate = 19200;
    refused.fDtrControl = 3;
    CHECK_FAILS(SetCommState(port, &refused), ERROR_INVALID_PARAMETER);
    CHECK_WINDOWS(GetCommState(port, &dcb) && dcb.BaudRate == 9600,
                  "SetCommState does not put back the settings when a request is refused");
    // SetupComm makes room for handshake limits that the default queue
    // would not take.
    CHECK(SetupComm(port, 8192, 8192));
    DCB limits = dcb;
    limits.BaudRate = 19200;
    limits.XonLim = 5000;
    CHECK(SetCommState(port, &limits));
    CHECK(GetCommState(port, &dcb) && dcb.BaudRate == 19200 && dcb.XonLim == 5000);

    // GetCommConfig is the DCB with no provider data; SetCommConfig sets the
    // DCB, and provider data, which this driver refuses, fails the call.
    COMMCONFIG config;
    DWORD size = sizeof config;
    CHECK(GetCommConfig(port, &config, &size) && size == sizeof config && config.wVersion == 1 &&
          config.dcb.BaudRate == 19200 && config.dwProviderSize == 0);
    config.dcb.BaudRate = 9600;
    CHECK(SetCommConfig(port, &config, sizeof config) && GetCommState(port, &dcb) && dcb.BaudRate == 9600);
    config.dcb.BaudRate = 4800;
    config.dwProviderSubType = PST_RS232;
    config.dwProviderOffset = offsetof(COMMCONFIG, wcProviderData);
    config.dwProviderSize = sizeof config.wcProviderData;
    SetLastError(0);
    CHECK_WINDOWS(!SetCommConfig(port, &config, sizeof config) && GetLastError() == ERROR_INVALID_FUNCTION &&
                      GetCommState(port, &dcb) && dcb.BaudRate == 9600,
                  "SetCommConfig ignores provider data");
    dcb.BaudRate = 9600;
    CHECK(SetCommState(port, &dcb));

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

// ---------------------------------------------------------------- lines

void ModemLines(HANDLE port) {
    CHECK(EscapeCommFunction(port, CLRRTS) && LinesBecome(port, MS_CTS_ON, 0));
    CHECK(EscapeCommFunction(port, SETRTS) && LinesBecome(port, MS_CTS_ON, MS_CTS_ON));
    CHECK(EscapeCommFunction(port, CLRDTR) && LinesBecome(port, MS_DSR_ON | MS_RLSD_ON, 0));
    CHECK(EscapeCommFunction(port, SETDTR) &&
          LinesBecome(port, MS_DSR_ON | MS_RLSD_ON, MS_DSR_ON | MS_RLSD_ON));
    // SetCommState drives RTS as fRtsControl says.
    DCB dcb;
    CHECK(GetCommState(port, &dcb));
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    CHECK(SetCommState(port, &dcb));
    CHECK_WINDOWS(LinesBecome(port, MS_CTS_ON, 0), "SetCommState sends no IOCTL_SERIAL_CLR_RTS");
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    CHECK(SetCommState(port, &dcb) && EscapeCommFunction(port, SETRTS) && LinesBecome(port, MS_CTS_ON, MS_CTS_ON));

    CHECK(SetCommBreak(port) && ClearCommBreak(port));
    CHECK(EscapeCommFunction(port, SETBREAK) && EscapeCommFunction(port, CLRBREAK));
    CHECK_FAILS(EscapeCommFunction(port, 42), ERROR_INVALID_PARAMETER);
    // This driver refuses XON/XOFF requests (docs/compatibility.md).
    CHECK_FAILS(EscapeCommFunction(port, SETXOFF), ERROR_INVALID_FUNCTION);
    CHECK_FAILS(TransmitCommChar(port, 'x'), ERROR_INVALID_FUNCTION);

    // An event wait sees CTS change when RTS is cleared through the plug.
    CHECK(SetCommMask(port, EV_CTS));
    Overlapped wait;
    DWORD events = 0, n = 0;
    CHECK(StartWait(port, &events, &wait.ov));
    CHECK(EscapeCommFunction(port, CLRRTS));
    CHECK(WaitForSingleObject(wait.ov.hEvent, 2000) == WAIT_OBJECT_0 &&
          GetOverlappedResult(port, &wait.ov, &n, FALSE) && (events & EV_CTS));
    CHECK(LinesBecome(port, MS_CTS_ON, 0));
    CHECK(EscapeCommFunction(port, SETRTS) && LinesBecome(port, MS_CTS_ON, MS_CTS_ON));
    CHECK(SetCommMask(port, 0));
}

// ---------------------------------------------------------------- data, queues, purge

// Reads and throws away what comes in until the line is quiet for 50 ms.
void Drain(HANDLE port) {
    COMMTIMEOUTS saved;
    CHECK(GetCommTimeouts(port, &saved));
    SetTimeouts(port, 50, 0, 50);
    char buffer[256];
    while (ReadSome(port, buffer, sizeof buffer) > 0) {
    }
    CHECK(SetCommTimeouts(port, &saved));
}

// A write that stays held while CTS is off: longer than what the cable
// itself takes in (it completes a write whose bytes it has taken, and sends
// them when CTS comes back; docs/compatibility.md).
char held[512];

// Holds writes back: CTS flow control on and RTS (wired to CTS) off. When
// the hold ends, what the cable had taken of a write that was then aborted
// still goes out and comes back through the plug: it is read and thrown
// away.
void HoldWrites(HANDLE port, bool hold) {
    DCB dcb;
    CHECK(GetCommState(port, &dcb));
    dcb.fOutxCtsFlow = hold;
    CHECK(SetCommState(port, &dcb));
    CHECK(EscapeCommFunction(port, hold ? CLRRTS : SETRTS) &&
          LinesBecome(port, MS_CTS_ON, hold ? 0 : MS_CTS_ON));
    if (!hold) Drain(port);
}

void DataQueuesAndPurge(HANDLE port) {
    CHECK(SetLine(port, "baud=115200 parity=N data=8 stop=1", false));
    SetTimeouts(port, 0, 0, 500);
    // Bytes go through the plug and come back as sent.
    char got[64];
    CHECK(WriteAll(port, "hello, plug", 11) == 11);
    CHECK(ReadSome(port, got, 11) == 11 && memcmp(got, "hello, plug", 11) == 0);
    DWORD n = 0;

    // What has come back and is not read yet is counted, and a receive
    // purge empties it. Windows' own serial driver empties its buffer for
    // PURGE_RXCLEAR, this one for PURGE_RXABORT (docs/compatibility.md):
    // portable code gives both.
    CHECK(WriteAll(port, "12345", 5) == 5);
    COMSTAT stat;
    DWORD errors = 1;
    for (int i = 0; i < 100 && ClearCommError(port, &errors, &stat) && stat.cbInQue < 5; ++i) Sleep(10);
    CHECK(ClearCommError(port, &errors, &stat) && errors == 0 && stat.cbInQue == 5);
    CHECK(PurgeComm(port, PURGE_RXABORT | PURGE_RXCLEAR) && ClearCommError(port, &errors, &stat) &&
          stat.cbInQue == 0);

    // More than the receive queue holds: what does not fit is lost, and
    // ClearCommError says so once.
    static char flood[9000];
    memset(flood, 'q', sizeof flood);
    CHECK(WriteAll(port, flood, sizeof flood) == sizeof flood);
    Sleep(100);
    CHECK(ClearCommError(port, &errors, &stat) && errors == CE_RXOVER && stat.cbInQue > 0);
    CHECK(ClearCommError(port, &errors, &stat) && errors == 0);
    CHECK(PurgeComm(port, PURGE_RXABORT | PURGE_RXCLEAR));
    Drain(port);

    // A write held by flow control is counted in the output queue and ends
    // when a transmit purge aborts it.
    HoldWrites(port, true);
    Overlapped w;
    CHECK_FAILS(WriteFile(port, held, sizeof held, &n, &w.ov), ERROR_IO_PENDING);
    Sleep(100);
    CHECK(ClearCommError(port, &errors, &stat) && stat.fCtsHold && stat.cbOutQue > 0 &&
          !HasOverlappedIoCompleted(&w.ov));
    CHECK(PurgeComm(port, PURGE_TXABORT));
    CHECK_FAILS(GetOverlappedResult(port, &w.ov, &n, TRUE), ERROR_OPERATION_ABORTED);
    CHECK(ClearCommError(port, &errors, &stat) && stat.cbOutQue == 0);
    HoldWrites(port, false);
}

// ---------------------------------------------------------------- time-outs

void Timeouts(HANDLE port) {
    char buffer[32];
    // Nothing arrives: the read ends after the total time-out, successfully,
    // with nothing.
    SetTimeouts(port, 0, 0, 100);
    DWORD start = GetTickCount();
    CHECK(ReadSome(port, buffer, sizeof buffer) == 0 && Since(start) >= 90);
    // MAXDWORD interval and no total: the read returns at once with what is
    // there.
    SetTimeouts(port, MAXDWORD, 0, 0);
    start = GetTickCount();
    CHECK(ReadSome(port, buffer, sizeof buffer) == 0 && Since(start) < 50);
    CHECK(WriteAll(port, "abc", 3) == 3);
    SetTimeouts(port, 0, 0, 500);
    CHECK(ReadSome(port, buffer, 3) == 3);
    // The interval time-out ends a read that has something once the line
    // is quiet, long before its total time-out.
    SetTimeouts(port, 20, 0, 5000);
    CHECK(WriteAll(port, "xyz", 3) == 3);
    start = GetTickCount();
    CHECK(ReadSome(port, buffer, sizeof buffer) == 3 && Since(start) < 2000);
}

// ---------------------------------------------------------------- FlushFileBuffers

struct FlushResult {
    HANDLE port;
    BOOL ok;
    DWORD error;
};

DWORD WINAPI FlushThread(LPVOID context) {
    FlushResult* r = (FlushResult*)context;
    SetLastError(0);
    r->ok = FlushFileBuffers(r->port);
    r->error = GetLastError();
    return r->ok ? 0 : r->error;
}

// Flushes on another thread, which stays blocked while the write before it
// is held, until a transmit purge or CancelIoEx on the handle ends the
// write and the flush. The flush's result.
FlushResult FlushBehindHeldWrite(HANDLE port, bool purge) {
    HoldWrites(port, true);
    Overlapped w;
    DWORD n = 0;
    CHECK_FAILS(WriteFile(port, held, sizeof held, &n, &w.ov), ERROR_IO_PENDING);
    FlushResult r = {port, TRUE, 0};
    HANDLE thread = CreateThread(NULL, 0, FlushThread, &r, 0, NULL);
    CHECK(thread != NULL);
    DWORD code = 0;
    CHECK(WaitForSingleObject(thread, 100) == WAIT_TIMEOUT && GetExitCodeThread(thread, &code) &&
          code == STILL_ACTIVE);
    if (purge) CHECK(PurgeComm(port, PURGE_TXABORT));
    else CHECK(CancelIoEx(port, NULL));
    CHECK(WaitForSingleObject(thread, 2000) == WAIT_OBJECT_0);
    CHECK(GetExitCodeThread(thread, &code) && code == (r.ok ? 0 : r.error));
    CHECK_FAILS(GetOverlappedResult(port, &w.ov, &n, TRUE), ERROR_OPERATION_ABORTED);
    CHECK(CloseHandle(thread));
    HoldWrites(port, false);
    return r;
}

void Flush(HANDLE port) {
    CHECK(SetLine(port, "baud=115200 parity=N data=8 stop=1", false));
    // Nothing queued: the flush ends at once.
    CHECK(FlushFileBuffers(port));
    // The flush ends once the write before it has ended.
    static char block[1000];
    memset(block, 'f', sizeof block);
    Overlapped w;
    DWORD n = 0;
    BOOL wrote = WriteFile(port, block, sizeof block, &n, &w.ov);
    CHECK(wrote || GetLastError() == ERROR_IO_PENDING);
    CHECK(FlushFileBuffers(port));
    CHECK(HasOverlappedIoCompleted(&w.ov) && GetOverlappedResult(port, &w.ov, &n, FALSE) && n == sizeof block);
    COMSTAT stat;
    CHECK(ClearCommError(port, NULL, &stat) && stat.cbOutQue == 0);
    // Behind a held write, a transmit purge ends the flush as it ends the
    // write. Cancelling the handle's requests ends both as well: the flush
    // is cancelled, or ends because the write before it has (the order in
    // which one call cancels two requests is not Windows' to promise).
    FlushResult purged = FlushBehindHeldWrite(port, true);
    CHECK(!purged.ok && purged.error == ERROR_OPERATION_ABORTED);
    FlushResult cancelled = FlushBehindHeldWrite(port, false);
    CHECK(cancelled.ok || cancelled.error == ERROR_OPERATION_ABORTED);
    CHECK(PurgeComm(port, PURGE_RXABORT | PURGE_RXCLEAR));
}

// ---------------------------------------------------------------- overlapped and threaded waits

struct ReadJob {
    HANDLE port;
    char data[8];
};

DWORD WINAPI ReaderThread(LPVOID context) {
    ReadJob* job = (ReadJob*)context;
    return (DWORD)ReadSome(job->port, job->data, 5);
}

void Waits(HANDLE port) {
    CHECK(SetLine(port, "baud=115200 parity=N data=8 stop=1", false));
    SetTimeouts(port, 0, 0, 0);  // a read waits until it is full
    // An overlapped read with nothing to read: pending, incomplete, then
    // cancelled on its own with CancelIoEx.
    Overlapped r;
    char buffer[16];
    DWORD n = 0;
    CHECK_FAILS(ReadFile(port, buffer, sizeof buffer, &n, &r.ov), ERROR_IO_PENDING);
    CHECK(!HasOverlappedIoCompleted(&r.ov));
    CHECK_FAILS(GetOverlappedResult(port, &r.ov, &n, FALSE), ERROR_IO_INCOMPLETE);
    CHECK(WaitForSingleObject(r.ov.hEvent, 20) == WAIT_TIMEOUT);
    CHECK(CancelIoEx(port, &r.ov));
    CHECK_FAILS(GetOverlappedResult(port, &r.ov, &n, TRUE), ERROR_OPERATION_ABORTED);
    CHECK(WaitForSingleObject(r.ov.hEvent, 0) == WAIT_OBJECT_0 && HasOverlappedIoCompleted(&r.ov));
    CHECK_FAILS(CancelIoEx(port, &r.ov), ERROR_NOT_FOUND);
    // CancelIo ends the calling thread's read too.
    CHECK_FAILS(ReadFile(port, buffer, sizeof buffer, &n, &r.ov), ERROR_IO_PENDING);
    CHECK(CancelIo(port));
    CHECK_FAILS(GetOverlappedResult(port, &r.ov, &n, TRUE), ERROR_OPERATION_ABORTED);

    // Without an event of its own, a request signals the file handle when
    // it ends.
    OVERLAPPED bare;
    memset(&bare, 0, sizeof bare);
    CHECK_FAILS(ReadFile(port, buffer, 2, &n, &bare), ERROR_IO_PENDING);
    CHECK(WaitForSingleObject(port, 50) == WAIT_TIMEOUT);
    CHECK(WriteAll(port, "ok", 2) == 2);
    CHECK(WaitForSingleObject(port, 2000) == WAIT_OBJECT_0 && GetOverlappedResult(port, &bare, &n, FALSE) &&
          n == 2 && memcmp(buffer, "ok", 2) == 0);

    // A read on another thread: its handle is signalled when it returns,
    // with the thread's exit code, whether waited on alone, among others or
    // with others all at once.
    ReadJob job = {port, {0}};
    HANDLE reader = CreateThread(NULL, 0, ReaderThread, &job, 0, NULL);
    HANDLE idle = CreateEventA(NULL, TRUE, FALSE, NULL);
    HANDLE both[2] = {idle, reader};
    CHECK(reader != NULL && WaitForMultipleObjects(2, both, FALSE, 50) == WAIT_TIMEOUT);
    CHECK(WriteAll(port, "12345", 5) == 5);
    CHECK(WaitForMultipleObjects(2, both, FALSE, 2000) == WAIT_OBJECT_0 + 1);
    DWORD code = 0;
    CHECK(GetExitCodeThread(reader, &code) && code == 5 && memcmp(job.data, "12345", 5) == 0);
    CHECK(SetEvent(idle) && WaitForMultipleObjects(2, both, TRUE, 0) == WAIT_OBJECT_0);
    CHECK(WaitForSingleObjectEx(reader, 0, TRUE) == WAIT_OBJECT_0);
    CHECK(CloseHandle(reader) && CloseHandle(idle));

    // EV_RXCHAR ends an overlapped event wait when a byte arrives.
    CHECK(SetCommMask(port, EV_RXCHAR));
    Overlapped wait;
    DWORD events = 0;
    CHECK(StartWait(port, &events, &wait.ov));
    CHECK(WriteAll(port, "!", 1) == 1);
    CHECK(WaitForSingleObject(wait.ov.hEvent, 2000) == WAIT_OBJECT_0 &&
          GetOverlappedResult(port, &wait.ov, &n, FALSE) && n == sizeof events && (events & EV_RXCHAR));
    CHECK(SetCommMask(port, 0) && PurgeComm(port, PURGE_RXABORT | PURGE_RXCLEAR));
}

// ---------------------------------------------------------------- ntdll and Windows' refusals

void Native(HANDLE port) {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    NtTransfer ntRead = (NtTransfer)(void (*)(void))GetProcAddress(ntdll, "NtReadFile");
    NtTransfer ntWrite = (NtTransfer)(void (*)(void))GetProcAddress(ntdll, "NtWriteFile");
    if (!ntRead || !ntWrite) {
        CHECK(!"NtReadFile and NtWriteFile");
        return;
    }
    SetTimeouts(port, 0, 0, 1000);
    // On an overlapped handle a read or write needs its byte offset (in the
    // OVERLAPPED for ReadFile and WriteFile): Windows' I/O manager refuses
    // one without, before it reaches the driver.
    IO_STATUS_BLOCK iosb;
    iosb.Status = -1;
    iosb.Information = 99;
    char buffer[8];
    CHECK_WINDOWS(ntWrite(port, NULL, NULL, NULL, &iosb, buffer, 0, NULL, NULL) == (NTSTATUS)STATUS_INVALID_PARAMETER &&
                      iosb.Status == -1 && iosb.Information == 99,
                  "NtWriteFile without a byte offset on an overlapped handle is let through");
    DWORD n = 0;
    CHECK_WINDOWS(!ReadFile(port, buffer, 0, &n, NULL) && GetLastError() == ERROR_INVALID_PARAMETER,
                  "ReadFile without an OVERLAPPED on an overlapped handle is let through");

    // With an offset: pending, then the status block and the file handle
    // (no event given) tell the end.
    LARGE_INTEGER offset;
    offset.QuadPart = 0;
    char data[] = "native";
    NTSTATUS status = ntWrite(port, NULL, NULL, NULL, &iosb, data, 6, &offset, NULL);
    CHECK(status == (NTSTATUS)STATUS_PENDING || status == kStatusSuccess);
    CHECK(WaitForSingleObject(port, 2000) == WAIT_OBJECT_0 && iosb.Status == kStatusSuccess &&
          iosb.Information == 6);
    HANDLE event = CreateEventA(NULL, TRUE, FALSE, NULL);
    status = ntRead(port, event, NULL, NULL, &iosb, buffer, 6, &offset, NULL);
    CHECK(status == (NTSTATUS)STATUS_PENDING || status == kStatusSuccess);
    CHECK(WaitForSingleObject(event, 2000) == WAIT_OBJECT_0 && iosb.Status == kStatusSuccess &&
          iosb.Information == 6 && memcmp(buffer, "native", 6) == 0);
    CloseHandle(event);
}

void Events() {
    HANDLE manual = CreateEventA(NULL, TRUE, FALSE, NULL);
    CHECK(manual != NULL && SetEvent(manual));
    CHECK(WaitForSingleObject(manual, 0) == WAIT_OBJECT_0 && WaitForSingleObject(manual, 0) == WAIT_OBJECT_0);
    CHECK(ResetEvent(manual) && WaitForSingleObject(manual, 10) == WAIT_TIMEOUT);
    HANDLE automatic = CreateEventA(NULL, FALSE, TRUE, NULL);
    CHECK(WaitForSingleObject(automatic, 0) == WAIT_OBJECT_0 && WaitForSingleObject(automatic, 0) == WAIT_TIMEOUT);
    // A wait for all takes an auto-reset event's signal only when all are set.
    HANDLE pair[2] = {automatic, manual};
    CHECK(SetEvent(automatic) && WaitForMultipleObjects(2, pair, TRUE, 0) == WAIT_TIMEOUT &&
          WaitForMultipleObjects(2, pair, FALSE, 0) == WAIT_OBJECT_0 &&
          WaitForMultipleObjects(2, pair, FALSE, 0) == WAIT_TIMEOUT);
    CHECK(CloseHandle(manual) && CloseHandle(automatic));
    CHECK_FAILS(SetEvent(manual), ERROR_INVALID_HANDLE);
}

// ---------------------------------------------------------------- the phone (a second port)

void PhoneSynchronous() {
    HANDLE port = OpenPort(phoneName, false);
    CHECK(port != INVALID_HANDLE_VALUE);
    CHECK(SetLine(port, "baud=9600 parity=N data=8 stop=1", true));
    SetTimeouts(port, 50, 0, 500);
    char got[256];
    DWORD n = 0, used = 0;
    CHECK(WriteFile(port, "AT\r", 3, &n, NULL) && n == 3);
    got[0] = '\0';
    while (used < sizeof got - 1 && !strstr(got, "OK\r\n") && ReadFile(port, got + used, sizeof got - 1 - used, &n, NULL) && n) {
        used += n;
        got[used] = '\0';
    }
    CHECK(strstr(got, "OK\r\n") != NULL);
    CHECK(CloseHandle(port));
}

// WaitCommEvent, overlapped, for EV_CTS: a long write fills the phone's
// buffer, so that its CTS drops (the write is held) and rises again.
void PhoneFlowControl() {
    HANDLE port = OpenPort(phoneName, true);
    CHECK(port != INVALID_HANDLE_VALUE);
    CHECK(SetLine(port, "baud=9600 parity=N data=8 stop=1", true));
    CHECK(SetCommMask(port, EV_CTS));
    Overlapped wait, write;
    DWORD events = 0, n = 0;
    CHECK(StartWait(port, &events, &wait.ov));
    static char block[1200];
    memset(block, 'x', sizeof block);
    CHECK_FAILS(WriteFile(port, block, sizeof block, &n, &write.ov), ERROR_IO_PENDING);
    int ctsChanges = 0;
    bool held = false;
    auto seen = [&](DWORD e) {
        COMSTAT stat;
        if ((e & EV_CTS) && ++ctsChanges == 1 && ClearCommError(port, NULL, &stat))
            held = stat.fCtsHold && stat.cbOutQue > 0;
    };
    for (int i = 0; i < 8 && ctsChanges < 2; ++i) {
        if (WaitForSingleObject(wait.ov.hEvent, 5000) != WAIT_OBJECT_0 ||
            !GetOverlappedResult(port, &wait.ov, &n, FALSE))
            break;
        seen(events);
        for (events = 0; ctsChanges < 2 && WaitCommEvent(port, &events, &wait.ov); events = 0) seen(events);
    }
    CHECK(ctsChanges == 2 && held);
    CHECK(GetOverlappedResult(port, &write.ov, &n, TRUE) && n == sizeof block);
    CHECK(CloseHandle(port));
}

}  // namespace

int SerialSuiteMain(int argc, char** argv) {
    if (argc < 2) {
        printf("usage: serial_suite LOOPBACK_PORT [PHONE_PORT]\n");
        return 2;
    }
    snprintf(loopbackName, sizeof loopbackName, "%s", argv[1]);
    snprintf(phoneName, sizeof phoneName, "%s", argc > 2 ? argv[2] : "");
    failures = 0;
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    underWine = ntdll && GetProcAddress(ntdll, "wine_get_version") != NULL;
    if (underWine) printf("running under Wine: its known differences from Windows are reported, not counted\n");
    ModeStringTable();
    NamesAndOpens();
    Events();
    HANDLE port = OpenPort(loopbackName, true);
    CHECK(port != INVALID_HANDLE_VALUE);
    if (port != INVALID_HANDLE_VALUE) {
        Settings(port);
        ModemLines(port);
        DataQueuesAndPurge(port);
        Timeouts(port);
        Flush(port);
        Waits(port);
        Native(port);
        CHECK(PurgeComm(port, PURGE_RXABORT | PURGE_RXCLEAR) && CloseHandle(port));
    }
    if (phoneName[0]) {
        PhoneSynchronous();
        PhoneFlowControl();
    } else {
        printf("no second port: the phone's checks (flow control by a peer) are left out\n");
    }
    printf("serial suite: %s (%d failed check%s)\n", failures ? "FAILED" : "passed", failures,
           failures == 1 ? "" : "s");
    return failures ? 1 : 0;
}

#ifndef SERIAL_SUITE_HOSTED
int main(int argc, char** argv) {
    setvbuf(stdout, NULL, _IONBF, 0);
    return SerialSuiteMain(argc, argv);
}
#endif
