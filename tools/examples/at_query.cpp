// at_query.cpp - a plain Windows serial program: opens a port, sets
// 9600 8N1, sends each modem command given (AT+CGMI by default) and prints
// the reply in hex and as text. Built for Windows by mingw, or for the
// simulation by linking it against sim/win32 (see README).
//
//   at_query PORT [COMMAND...]
#include <windows.h>

#include <ctype.h>
#include <stdio.h>
#include <string.h>

static void Show(const char* what, const unsigned char* data, DWORD length) {
    printf("%s %lu bytes:", what, (unsigned long)length);
    for (DWORD i = 0; i < length; ++i) printf(" %02X", data[i]);
    printf("\n  text: \"");
    for (DWORD i = 0; i < length; ++i) {
        if (data[i] == '\r') printf("\\r");
        else if (data[i] == '\n') printf("\\n");
        else putchar(isprint(data[i]) ? data[i] : '.');
    }
    printf("\"\n");
}

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: at_query PORT [COMMAND...]\n");
        return 2;
    }
    char path[64];
    snprintf(path, sizeof path, "\\\\.\\%s", argv[1]);
    HANDLE port = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (port == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "cannot open %s: error %lu\n", argv[1], (unsigned long)GetLastError());
        return 1;
    }
    DCB dcb;
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    COMMTIMEOUTS timeouts = {50, 0, 1000, 0, 1000};
    if (!GetCommState(port, &dcb) || !BuildCommDCBA("baud=9600 parity=N data=8 stop=1", &dcb) ||
        !SetCommState(port, &dcb) || !SetCommTimeouts(port, &timeouts)) {
        fprintf(stderr, "cannot set up %s: error %lu\n", argv[1], (unsigned long)GetLastError());
        CloseHandle(port);
        return 1;
    }
    const char* fallback[] = {"AT+CGMI"};
    int count = argc > 2 ? argc - 2 : 1;
    const char* const* commands = argc > 2 ? argv + 2 : fallback;
    int status = 0;
    for (int i = 0; i < count; ++i) {
        char line[128];
        snprintf(line, sizeof line, "%s\r", commands[i]);
        DWORD n = 0;
        if (!WriteFile(port, line, (DWORD)strlen(line), &n, NULL)) {
            fprintf(stderr, "write failed: error %lu\n", (unsigned long)GetLastError());
            status = 1;
            break;
        }
        unsigned char reply[256];
        DWORD got = 0;
        while (got < sizeof reply && ReadFile(port, reply + got, sizeof reply - got, &n, NULL) && n)
            got += n;
        printf("> %s\n", commands[i]);
        Show("<", reply, got);
    }
    CloseHandle(port);
    return status;
}
