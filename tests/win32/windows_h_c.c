/* windows_h_c.c - sim/win32/windows.h and winternl.h compile as C, as a
 * Windows program written in C includes them. Built (not run) in the host
 * build against the simulation's headers and by mingw against Windows'. */
#include <windows.h>
#include <winternl.h>

#include <string.h>

typedef NTSTATUS(NTAPI* NtTransfer)(HANDLE, HANDLE, PIO_APC_ROUTINE, PVOID, PIO_STATUS_BLOCK, PVOID,
                                    ULONG, PLARGE_INTEGER, PULONG);

static DWORD WINAPI Worker(LPVOID parameter) { return parameter != NULL; }

/* Uses the types, constants and functions a C serial program uses. */
int windows_h_compiles_as_c(HANDLE port) {
    DCB dcb;
    COMMCONFIG config;
    COMMTIMEOUTS timeouts;
    OVERLAPPED ov;
    IO_STATUS_BLOCK iosb;
    LARGE_INTEGER offset;
    WCHAR wide[16];
    DWORD size = sizeof config, code = 0;
    HANDLE thread, handles[2];
    NtTransfer ntRead;
    memset(&dcb, 0, sizeof dcb);
    memset(&ov, 0, sizeof ov);
    offset.QuadPart = 0;
    iosb.Information = 0;
    MultiByteToWideChar(CP_ACP, 0, "baud=9600", -1, wide, 16);
    if (!BuildCommDCBW(wide, &dcb) || !BuildCommDCBAndTimeoutsA("9600,n,8,1", &dcb, &timeouts) ||
        !GetCommConfig(port, &config, &size) || !SetCommConfig(port, &config, size) ||
        !GetDefaultCommConfigA("COM1", &config, &size) || !FlushFileBuffers(port))
        return 1;
    thread = CreateThread(NULL, 0, Worker, NULL, 0, NULL);
    handles[0] = thread;
    handles[1] = port;
    if (WaitForMultipleObjects(2, handles, FALSE, INFINITE) == WAIT_FAILED ||
        WaitForSingleObjectEx(thread, 0, TRUE) == WAIT_IO_COMPLETION || !GetExitCodeThread(thread, &code) ||
        code == STILL_ACTIVE)
        return 1;
    ntRead = (NtTransfer)(void (*)(void))GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtReadFile");
    if (!ntRead || GetStdHandle(STD_OUTPUT_HANDLE) == INVALID_HANDLE_VALUE)
        return 1;
    return ntRead(port, NULL, NULL, NULL, &iosb, &code, 1, &offset, NULL) == (NTSTATUS)STATUS_PENDING;
}
