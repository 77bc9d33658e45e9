// cable_test.cpp - a plain Win32 program that drives one COM port of
// bridgeser.sys above the test bus (a chip with a loopback plug), on
// Windows or under Wine:
//
//   cable_test COMn
//
// It checks the port's registry entries (the SERIALCOMM value and the
// Ports entry), opens \\.\COMn, sets 115200 8N1 and time-outs, reads the
// modem lines the plug loops back, waits for EV_RXCHAR, sends 64 kB through
// the plug and reads it back byte for byte, purges, closes and opens again,
// and finally pulls the cable out (IOCTL_TESTBUS_UNPLUG on the bus) with a
// read and an event wait pending: both must end with an error, and the
// bus must still answer afterwards. Exit status 0 when every check holds.
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include "windows/testbus/testbus_ioctl.h"

namespace {

int failures = 0;

#define CHECK(condition)                                                                        \
    do {                                                                                        \
        if (!(condition)) {                                                                     \
            ++failures;                                                                         \
            printf("%s:%d: check failed: %s (last error %lu)\n", __FILE__, __LINE__, #condition, \
                   (unsigned long)GetLastError());                                              \
        }                                                                                       \
    } while (0)

char portName[32];

HANDLE OpenPort() {
    char path[48];
    snprintf(path, sizeof path, "\\\\.\\%s", portName);
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
}

// Waits for an overlapped request; FALSE with the error when it failed or
// did not end within `ms`.
BOOL Finish(HANDLE port, OVERLAPPED* ov, DWORD* count, DWORD ms) {
    if (WaitForSingleObject(ov->hEvent, ms) != WAIT_OBJECT_0) {
        SetLastError(WAIT_TIMEOUT);
        return FALSE;
    }
    return GetOverlappedResult(port, ov, count, FALSE);
}

struct Overlapped {
    OVERLAPPED ov;
    Overlapped() {
        memset(&ov, 0, sizeof ov);
        ov.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    }
    ~Overlapped() { CloseHandle(ov.hEvent); }
};

// Starts an overlapped WaitCommEvent that stays pending. The first wait
// after an open ends at once with the levels of the modem lines; that one
// is taken and the wait started again.
bool StartWait(HANDLE port, DWORD* events, OVERLAPPED* ov) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!WaitCommEvent(port, events, ov)) return GetLastError() == ERROR_IO_PENDING;
    }
    return false;
}

// The SERIALCOMM value naming this port and its Ports entry.
void RegistryEntries() {
    HKEY key;
    bool found = false;
    CHECK(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) == ERROR_SUCCESS);
    for (DWORD i = 0;; ++i) {
        char name[256], data[64];
        DWORD nameSize = sizeof name, dataSize = sizeof data, type = 0;
        if (RegEnumValueA(key, i, name, &nameSize, NULL, &type, (BYTE*)data, &dataSize) != ERROR_SUCCESS) break;
        if (type == REG_SZ && strcmp(data, portName) == 0 && strncmp(name, "\\Device\\Serial", 14) == 0) {
            printf("SERIALCOMM: %s = %s\n", name, data);
            found = true;
        }
    }
    RegCloseKey(key);
    CHECK(found);

    char entry[40], settings[64] = "";
    DWORD size = sizeof settings;
    snprintf(entry, sizeof entry, "%s:", portName);
    CHECK(RegGetValueA(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows NT\\CurrentVersion\\Ports", entry,
                       RRF_RT_REG_SZ, NULL, settings, &size) == ERROR_SUCCESS &&
          strcmp(settings, "115200,n,8,1") == 0);
    printf("Ports: %s = %s\n", entry, settings);
}

void Configure(HANDLE port) {
    DCB dcb;
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    CHECK(GetCommState(port, &dcb));
    dcb.BaudRate = CBR_115200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutX = dcb.fInX = FALSE;
    CHECK(SetCommState(port, &dcb));
    DCB back;
    memset(&back, 0, sizeof back);
    back.DCBlength = sizeof back;
    CHECK(GetCommState(port, &back) && back.BaudRate == CBR_115200 && back.ByteSize == 8 &&
          back.Parity == NOPARITY && back.StopBits == ONESTOPBIT);

    // Reads return when full or after 2 s; writes have no time-out.
    COMMTIMEOUTS timeouts = {0, 0, 2000, 0, 0}, read;
    CHECK(SetCommTimeouts(port, &timeouts) && GetCommTimeouts(port, &read) &&
          memcmp(&timeouts, &read, sizeof read) == 0);
}

// The plug wires RTS to CTS and DTR to DSR and DCD; the lines reach the
// port through the chip's status reports.
void ModemLines(HANDLE port) {
    DWORD lines = 0;
    const DWORD all = MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON;
    for (int i = 0; i < 100 && (lines & all) != all; ++i) {
        CHECK(GetCommModemStatus(port, &lines));
        if ((lines & all) != all) Sleep(10);
    }
    CHECK((lines & all) == all && !(lines & MS_RING_ON));
    CHECK(EscapeCommFunction(port, CLRRTS));
    for (int i = 0; i < 100 && (lines & MS_CTS_ON); ++i) {
        Sleep(10);
        CHECK(GetCommModemStatus(port, &lines));
    }
    CHECK(!(lines & MS_CTS_ON) && (lines & MS_DSR_ON));
    CHECK(EscapeCommFunction(port, SETRTS));
}

void ReceiveEvent(HANDLE port) {
    CHECK(PurgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR));
    CHECK(SetCommMask(port, EV_RXCHAR));
    Overlapped wait, write, read;
    DWORD events = 0, n = 0;
    CHECK(StartWait(port, &events, &wait.ov));
    if (!WriteFile(port, "!", 1, &n, &write.ov)) CHECK(Finish(port, &write.ov, &n, 5000) && n == 1);
    CHECK(Finish(port, &wait.ov, &n, 5000) && (events & EV_RXCHAR));
    char c = 0;
    if (!ReadFile(port, &c, 1, &n, &read.ov)) CHECK(Finish(port, &read.ov, &n, 5000));
    CHECK(n == 1 && c == '!');
    CHECK(SetCommMask(port, 0));
}

// 64 kB out through the plug and back in, compared byte for byte.
void Loopback(HANDLE port) {
    const DWORD total = 64 * 1024;
    static BYTE sent[total], got[total];
    for (DWORD i = 0; i < total; ++i) sent[i] = (BYTE)(i * 7 + (i >> 8));
    CHECK(PurgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR));
    DWORD start = GetTickCount();
    Overlapped write;
    DWORD written = 0;
    BOOL writeDone = WriteFile(port, sent, total, &written, &write.ov);
    CHECK(writeDone || GetLastError() == ERROR_IO_PENDING);
    DWORD received = 0;
    while (received < total) {
        Overlapped read;
        DWORD n = 0, want = total - received < 4096 ? total - received : 4096;
        if (!ReadFile(port, got + received, want, &n, &read.ov)) {
            if (GetLastError() != ERROR_IO_PENDING || !Finish(port, &read.ov, &n, 10000)) {
                CHECK(!"read failed");
                break;
            }
        }
        if (n == 0) {
            printf("loopback: nothing for 2 s after %lu bytes\n", (unsigned long)received);
            break;
        }
        received += n;
    }
    if (!writeDone) CHECK(Finish(port, &write.ov, &written, 10000));
    CHECK(written == total);
    CHECK(received == total);
    DWORD first = total;
    for (DWORD i = 0; i < received && first == total; ++i)
        if (got[i] != sent[i]) first = i;
    CHECK(first == total);
    if (first != total) printf("loopback: first difference at byte %lu\n", (unsigned long)first);
    DWORD ms = GetTickCount() - start;
    printf("loopback: %lu of %lu bytes back identical in %lu ms\n", (unsigned long)(first == total ? received : first),
           (unsigned long)total, (unsigned long)ms);
}

void PurgeAndReopen(HANDLE* port) {
    DWORD n = 0;
    Overlapped write;
    if (!WriteFile(*port, "stale", 5, &n, &write.ov)) CHECK(Finish(*port, &write.ov, &n, 5000));
    Sleep(50);  // the five bytes come back through the plug
    COMSTAT stat;
    DWORD errors = 0;
    CHECK(ClearCommError(*port, &errors, &stat) && stat.cbInQue == 5);
    CHECK(PurgeComm(*port, PURGE_RXABORT | PURGE_RXCLEAR | PURGE_TXABORT | PURGE_TXCLEAR));
    CHECK(ClearCommError(*port, &errors, &stat) && stat.cbInQue == 0 && stat.cbOutQue == 0);

    CHECK(CloseHandle(*port));
    *port = OpenPort();
    CHECK(*port != INVALID_HANDLE_VALUE);
    if (*port == INVALID_HANDLE_VALUE) return;
    Configure(*port);
    Overlapped again, read;
    if (!WriteFile(*port, "again", 5, &n, &again.ov)) CHECK(Finish(*port, &again.ov, &n, 5000));
    char text[8] = "";
    if (!ReadFile(*port, text, 5, &n, &read.ov)) CHECK(Finish(*port, &read.ov, &n, 5000));
    CHECK(n == 5 && memcmp(text, "again", 5) == 0);
}

// The cable is pulled with a read and an event wait pending: both end with
// an error, the port's name goes away, and the bus still answers.
void UnplugWithRequestsPending(HANDLE port) {
    COMMTIMEOUTS none = {0, 0, 0, 0, 0};  // a read waits until it is full
    CHECK(SetCommTimeouts(port, &none));
    CHECK(SetCommMask(port, EV_RXFLAG | EV_BREAK));
    Overlapped read, wait;
    char buffer[64];
    DWORD n = 0, events = 0;
    CHECK(!ReadFile(port, buffer, sizeof buffer, &n, &read.ov) && GetLastError() == ERROR_IO_PENDING);
    CHECK(StartWait(port, &events, &wait.ov));

    HANDLE bus = CreateFileA(TESTBUS_WIN32_PATH, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    CHECK(bus != INVALID_HANDLE_VALUE);
    DWORD returned = 0;
    CHECK(DeviceIoControl(bus, IOCTL_TESTBUS_UNPLUG, NULL, 0, NULL, 0, &returned, NULL));

    SetLastError(0);
    BOOL readOk = Finish(port, &read.ov, &n, 10000);
    DWORD readError = GetLastError();
    SetLastError(0);
    BOOL waitOk = Finish(port, &wait.ov, &n, 10000);
    DWORD waitError = GetLastError();
    printf("unplug: read ended with error %lu, wait with error %lu\n", (unsigned long)readError,
           (unsigned long)waitError);
    CHECK(!readOk && readError != WAIT_TIMEOUT && readError != 0);
    CHECK(!waitOk && waitError != WAIT_TIMEOUT && waitError != 0);
    CHECK(CloseHandle(port));

    // The port's link goes with the device.
    HANDLE gone = INVALID_HANDLE_VALUE;
    for (int i = 0; i < 100; ++i) {
        gone = OpenPort();
        if (gone == INVALID_HANDLE_VALUE) break;
        CloseHandle(gone);
        Sleep(50);
    }
    CHECK(gone == INVALID_HANDLE_VALUE);

    // The driver host lived through it: the bus still answers (the cable
    // is already out).
    SetLastError(0);
    CHECK(!DeviceIoControl(bus, IOCTL_TESTBUS_UNPLUG, NULL, 0, NULL, 0, &returned, NULL) &&
          GetLastError() != ERROR_INVALID_HANDLE);
    CloseHandle(bus);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        printf("usage: cable_test COMn\n");
        return 2;
    }
    snprintf(portName, sizeof portName, "%s", argv[1]);
    setvbuf(stdout, NULL, _IONBF, 0);

    // The port appears once Plug and Play has started the driver.
    HANDLE port = INVALID_HANDLE_VALUE;
    for (int i = 0; i < 300 && port == INVALID_HANDLE_VALUE; ++i) {
        port = OpenPort();
        if (port == INVALID_HANDLE_VALUE) Sleep(100);
    }
    CHECK(port != INVALID_HANDLE_VALUE);
    if (port == INVALID_HANDLE_VALUE) return 1;
    printf("opened \\\\.\\%s\n", portName);

    RegistryEntries();
    Configure(port);
    ModemLines(port);
    ReceiveEvent(port);
    Loopback(port);
    PurgeAndReopen(&port);
    if (port != INVALID_HANDLE_VALUE) UnplugWithRequestsPending(port);
    printf("cable test: %s (%d failed check%s)\n", failures ? "FAILED" : "passed", failures,
           failures == 1 ? "" : "s");
    return failures ? 1 : 0;
}
