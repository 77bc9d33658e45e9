// api_shape.cpp - the serial API's declarations as Windows has them: types
// and their layout, constant values, and the type of every function. The
// file is compiled against sim/win32/windows.h in the host build and, by
// mingw, against the real <windows.h>; a declaration of the simulation that
// drifts from Windows' fails one of the two builds.
#include <windows.h>
#include <winternl.h>

#include <stddef.h>
#include <type_traits>

#define SAME_TYPE(function, ...) \
    static_assert(std::is_same_v<decltype(&function), __VA_ARGS__>, #function)

static_assert(sizeof(DWORD) == 4 && sizeof(WORD) == 2 && sizeof(BYTE) == 1 && sizeof(BOOL) == 4);
static_assert(sizeof(WCHAR) == 2 && sizeof(HANDLE) == sizeof(void*));
static_assert(sizeof(DCB) == 28 && offsetof(DCB, XonLim) == 14 && offsetof(DCB, ByteSize) == 18 &&
              offsetof(DCB, XonChar) == 21 && offsetof(DCB, EvtChar) == 25);
static_assert(sizeof(COMMTIMEOUTS) == 20 && sizeof(COMSTAT) == 12);
static_assert(sizeof(COMMPROP) == 64 && offsetof(COMMPROP, dwSettableBaud) == 36 &&
              offsetof(COMMPROP, dwCurrentTxQueue) == 44 && offsetof(COMMPROP, wcProvChar) == 60);
static_assert(sizeof(COMMCONFIG) == 52 && offsetof(COMMCONFIG, dcb) == 8 &&
              offsetof(COMMCONFIG, dwProviderSize) == 44 && offsetof(COMMCONFIG, wcProviderData) == 48);
static_assert(sizeof(IO_STATUS_BLOCK) == 2 * sizeof(ULONG_PTR) &&
              offsetof(IO_STATUS_BLOCK, Information) == sizeof(ULONG_PTR) && sizeof(LARGE_INTEGER) == 8);
static_assert(offsetof(OVERLAPPED, Internal) == 0 &&
              offsetof(OVERLAPPED, InternalHigh) == sizeof(ULONG_PTR) &&
              offsetof(OVERLAPPED, hEvent) == 2 * sizeof(ULONG_PTR) + 8);

static_assert(GENERIC_READ == 0x80000000 && GENERIC_WRITE == 0x40000000 && OPEN_EXISTING == 3 &&
              FILE_FLAG_OVERLAPPED == 0x40000000 && INFINITE == 0xFFFFFFFF);
static_assert(WAIT_OBJECT_0 == 0 && WAIT_TIMEOUT == 258 && WAIT_FAILED == 0xFFFFFFFF);
static_assert(ERROR_INVALID_FUNCTION == 1 && ERROR_FILE_NOT_FOUND == 2 && ERROR_ACCESS_DENIED == 5 &&
              ERROR_INVALID_HANDLE == 6 && ERROR_INVALID_PARAMETER == 87 &&
              ERROR_INSUFFICIENT_BUFFER == 122 && ERROR_OPERATION_ABORTED == 995 &&
              ERROR_IO_INCOMPLETE == 996 && ERROR_IO_PENDING == 997 && ERROR_NOT_FOUND == 1168 &&
              ERROR_SEM_TIMEOUT == 121 && ERROR_DEVICE_NOT_CONNECTED == 1167 &&
              ERROR_GEN_FAILURE == 31 && ERROR_MR_MID_NOT_FOUND == 317 && ERROR_MORE_DATA == 234);
static_assert(EV_RXCHAR == 1 && EV_RXFLAG == 2 && EV_TXEMPTY == 4 && EV_CTS == 8 && EV_DSR == 0x10 &&
              EV_RLSD == 0x20 && EV_BREAK == 0x40 && EV_ERR == 0x80 && EV_RING == 0x100);
static_assert(PURGE_TXABORT == 1 && PURGE_RXABORT == 2 && PURGE_TXCLEAR == 4 && PURGE_RXCLEAR == 8);
static_assert(CE_RXOVER == 1 && CE_OVERRUN == 2 && CE_RXPARITY == 4 && CE_FRAME == 8 && CE_BREAK == 0x10);
static_assert(MS_CTS_ON == 0x10 && MS_DSR_ON == 0x20 && MS_RING_ON == 0x40 && MS_RLSD_ON == 0x80);
static_assert(SETXOFF == 1 && SETXON == 2 && SETRTS == 3 && CLRRTS == 4 && SETDTR == 5 &&
              CLRDTR == 6 && RESETDEV == 7 && SETBREAK == 8 && CLRBREAK == 9);
static_assert(NOPARITY == 0 && ODDPARITY == 1 && EVENPARITY == 2 && MARKPARITY == 3 &&
              SPACEPARITY == 4 && ONESTOPBIT == 0 && ONE5STOPBITS == 1 && TWOSTOPBITS == 2);
static_assert(DTR_CONTROL_HANDSHAKE == 2 && RTS_CONTROL_HANDSHAKE == 2 && RTS_CONTROL_TOGGLE == 3);
static_assert(CTL_CODE(FILE_DEVICE_SERIAL_PORT, 1, METHOD_BUFFERED, FILE_ANY_ACCESS) == 0x1B0004);
static_assert(PST_RS232 == 1);
static_assert(STD_INPUT_HANDLE == (DWORD)-10 && STD_OUTPUT_HANDLE == (DWORD)-11 && STD_ERROR_HANDLE == (DWORD)-12);
static_assert(CP_ACP == 0 && CP_UTF8 == 65001 && MB_ERR_INVALID_CHARS == 8 && WC_ERR_INVALID_CHARS == 0x80);
static_assert(MAXIMUM_WAIT_OBJECTS == 64 && WAIT_IO_COMPLETION == 0xC0 && STILL_ACTIVE == 259 &&
              CREATE_SUSPENDED == 4 && MAXDWORD == 0xFFFFFFFF);
static_assert(STATUS_PENDING == 0x103 && STATUS_INVALID_PARAMETER == 0xC000000D &&
              STATUS_INVALID_HANDLE == 0xC0000008);
static_assert(ERROR_MOD_NOT_FOUND == 126 && ERROR_PROC_NOT_FOUND == 127 && ERROR_INVALID_FLAGS == 1004 &&
              ERROR_NO_UNICODE_TRANSLATION == 1113 && ERROR_CALL_NOT_IMPLEMENTED == 120);

SAME_TYPE(GetLastError, DWORD(WINAPI*)(void));
SAME_TYPE(SetLastError, void(WINAPI*)(DWORD));
SAME_TYPE(CreateFileA, HANDLE(WINAPI*)(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE));
SAME_TYPE(CreateFileW, HANDLE(WINAPI*)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE));
SAME_TYPE(CloseHandle, BOOL(WINAPI*)(HANDLE));
SAME_TYPE(ReadFile, BOOL(WINAPI*)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED));
SAME_TYPE(WriteFile, BOOL(WINAPI*)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED));
SAME_TYPE(DeviceIoControl, BOOL(WINAPI*)(HANDLE, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD, LPOVERLAPPED));
SAME_TYPE(GetOverlappedResult, BOOL(WINAPI*)(HANDLE, LPOVERLAPPED, LPDWORD, BOOL));
SAME_TYPE(CancelIo, BOOL(WINAPI*)(HANDLE));
SAME_TYPE(CancelIoEx, BOOL(WINAPI*)(HANDLE, LPOVERLAPPED));
SAME_TYPE(CreateEventA, HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCSTR));
SAME_TYPE(CreateEventW, HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCWSTR));
SAME_TYPE(SetEvent, BOOL(WINAPI*)(HANDLE));
SAME_TYPE(ResetEvent, BOOL(WINAPI*)(HANDLE));
SAME_TYPE(WaitForSingleObject, DWORD(WINAPI*)(HANDLE, DWORD));
SAME_TYPE(Sleep, void(WINAPI*)(DWORD));
SAME_TYPE(GetTickCount, DWORD(WINAPI*)(void));
SAME_TYPE(GetCommState, BOOL(WINAPI*)(HANDLE, LPDCB));
SAME_TYPE(SetCommState, BOOL(WINAPI*)(HANDLE, LPDCB));
SAME_TYPE(BuildCommDCBA, BOOL(WINAPI*)(LPCSTR, LPDCB));
SAME_TYPE(GetCommTimeouts, BOOL(WINAPI*)(HANDLE, LPCOMMTIMEOUTS));
SAME_TYPE(SetCommTimeouts, BOOL(WINAPI*)(HANDLE, LPCOMMTIMEOUTS));
SAME_TYPE(SetupComm, BOOL(WINAPI*)(HANDLE, DWORD, DWORD));
SAME_TYPE(SetCommMask, BOOL(WINAPI*)(HANDLE, DWORD));
SAME_TYPE(GetCommMask, BOOL(WINAPI*)(HANDLE, LPDWORD));
SAME_TYPE(WaitCommEvent, BOOL(WINAPI*)(HANDLE, LPDWORD, LPOVERLAPPED));
SAME_TYPE(EscapeCommFunction, BOOL(WINAPI*)(HANDLE, DWORD));
SAME_TYPE(SetCommBreak, BOOL(WINAPI*)(HANDLE));
SAME_TYPE(ClearCommBreak, BOOL(WINAPI*)(HANDLE));
SAME_TYPE(PurgeComm, BOOL(WINAPI*)(HANDLE, DWORD));
SAME_TYPE(ClearCommError, BOOL(WINAPI*)(HANDLE, LPDWORD, LPCOMSTAT));
SAME_TYPE(GetCommModemStatus, BOOL(WINAPI*)(HANDLE, LPDWORD));
SAME_TYPE(GetCommProperties, BOOL(WINAPI*)(HANDLE, LPCOMMPROP));
SAME_TYPE(TransmitCommChar, BOOL(WINAPI*)(HANDLE, char));
SAME_TYPE(QueryDosDeviceA, DWORD(WINAPI*)(LPCSTR, LPSTR, DWORD));
SAME_TYPE(FlushFileBuffers, BOOL(WINAPI*)(HANDLE));
SAME_TYPE(GetStdHandle, HANDLE(WINAPI*)(DWORD));
SAME_TYPE(WaitForSingleObjectEx, DWORD(WINAPI*)(HANDLE, DWORD, BOOL));
SAME_TYPE(WaitForMultipleObjects, DWORD(WINAPI*)(DWORD, const HANDLE*, BOOL, DWORD));
SAME_TYPE(CreateThread, HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD, LPDWORD));
SAME_TYPE(GetExitCodeThread, BOOL(WINAPI*)(HANDLE, LPDWORD));
SAME_TYPE(GetCurrentThreadId, DWORD(WINAPI*)(void));
SAME_TYPE(BuildCommDCBW, BOOL(WINAPI*)(LPCWSTR, LPDCB));
SAME_TYPE(BuildCommDCBAndTimeoutsA, BOOL(WINAPI*)(LPCSTR, LPDCB, LPCOMMTIMEOUTS));
SAME_TYPE(BuildCommDCBAndTimeoutsW, BOOL(WINAPI*)(LPCWSTR, LPDCB, LPCOMMTIMEOUTS));
SAME_TYPE(GetCommConfig, BOOL(WINAPI*)(HANDLE, LPCOMMCONFIG, LPDWORD));
SAME_TYPE(SetCommConfig, BOOL(WINAPI*)(HANDLE, LPCOMMCONFIG, DWORD));
SAME_TYPE(GetDefaultCommConfigA, BOOL(WINAPI*)(LPCSTR, LPCOMMCONFIG, LPDWORD));
SAME_TYPE(GetDefaultCommConfigW, BOOL(WINAPI*)(LPCWSTR, LPCOMMCONFIG, LPDWORD));
SAME_TYPE(MultiByteToWideChar, int(WINAPI*)(UINT, DWORD, LPCSTR, int, LPWSTR, int));
SAME_TYPE(WideCharToMultiByte, int(WINAPI*)(UINT, DWORD, LPCWSTR, int, LPSTR, int, LPCSTR, LPBOOL));
SAME_TYPE(GetACP, UINT(WINAPI*)(void));
SAME_TYPE(GetModuleHandleA, HMODULE(WINAPI*)(LPCSTR));
SAME_TYPE(GetModuleHandleW, HMODULE(WINAPI*)(LPCWSTR));
SAME_TYPE(GetProcAddress, FARPROC(WINAPI*)(HMODULE, LPCSTR));

int main() { return 0; }
