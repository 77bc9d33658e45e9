// api.cpp - the Windows serial API over the simulated I/O manager. Each call
// sends the serial requests that Windows sends for it; where Windows does not
// document its exact sequence the plain one is used, as each routine says.
// Runs on the caller's simulated thread at PASSIVE_LEVEL; the handle table
// and the table of overlapped requests belong to the running simulation
// (one thread runs at a time, so they need no lock).
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>

#include "sim/win32/sim_io.h"
#include "sim/win32/windows.h"

namespace {

using win32sim::OpPtr;
using win32sim::RequestKind;
using win32sim::Status;

// Control codes of the serial requests, as Windows defines them.
constexpr DWORD SerialCode(DWORD function) {
    return CTL_CODE(FILE_DEVICE_SERIAL_PORT, function, METHOD_BUFFERED, FILE_ANY_ACCESS);
}
constexpr DWORD kSetBaudRate = SerialCode(1);
constexpr DWORD kSetQueueSize = SerialCode(2);
constexpr DWORD kSetLineControl = SerialCode(3);
constexpr DWORD kSetBreakOn = SerialCode(4);
constexpr DWORD kSetBreakOff = SerialCode(5);
constexpr DWORD kImmediateChar = SerialCode(6);
constexpr DWORD kSetTimeouts = SerialCode(7);
constexpr DWORD kGetTimeouts = SerialCode(8);
constexpr DWORD kSetDtr = SerialCode(9);
constexpr DWORD kClrDtr = SerialCode(10);
constexpr DWORD kResetDevice = SerialCode(11);
constexpr DWORD kSetRts = SerialCode(12);
constexpr DWORD kClrRts = SerialCode(13);
constexpr DWORD kSetXoff = SerialCode(14);
constexpr DWORD kSetXon = SerialCode(15);
constexpr DWORD kGetWaitMask = SerialCode(16);
constexpr DWORD kSetWaitMask = SerialCode(17);
constexpr DWORD kWaitOnMask = SerialCode(18);
constexpr DWORD kPurge = SerialCode(19);
constexpr DWORD kGetBaudRate = SerialCode(20);
constexpr DWORD kGetLineControl = SerialCode(21);
constexpr DWORD kGetChars = SerialCode(22);
constexpr DWORD kSetChars = SerialCode(23);
constexpr DWORD kGetHandflow = SerialCode(24);
constexpr DWORD kSetHandflow = SerialCode(25);
constexpr DWORD kGetModemStatus = SerialCode(26);
constexpr DWORD kGetCommStatus = SerialCode(27);
constexpr DWORD kGetProperties = SerialCode(29);

// The buffers of those requests, in the driver interface's field order.
struct SerialChars {
    BYTE EofChar, ErrorChar, BreakChar, EventChar, XonChar, XoffChar;
};
struct SerialHandflow {
    DWORD ControlHandShake;
    DWORD FlowReplace;
    LONG XonLimit;
    LONG XoffLimit;
};
struct SerialLineControl {
    BYTE StopBits, Parity, WordLength;
};
struct SerialStatus {
    DWORD Errors;
    DWORD HoldReasons;
    DWORD AmountInInQueue;
    DWORD AmountInOutQueue;
    BYTE EofReceived;
    BYTE WaitForImmediate;
};
struct SerialQueueSize {
    DWORD InSize;
    DWORD OutSize;
};
static_assert(sizeof(SerialStatus) == 20 && sizeof(SerialHandflow) == 16);
static_assert(sizeof(COMMPROP) == 64 && sizeof(COMMTIMEOUTS) == 20 && sizeof(DCB) == 28);

// Handshake bits of SerialHandflow.
constexpr DWORD kDtrControl = 0x01, kDtrHandshake = 0x02, kCtsHandshake = 0x08,
                kDsrHandshake = 0x10, kDsrSensitivity = 0x40, kErrorAbort = 0x80000000;
constexpr DWORD kAutoTransmit = 0x01, kAutoReceive = 0x02, kErrorChar = 0x04,
                kNullStripping = 0x08, kRtsMask = 0xC0, kXoffContinue = 0x80000000;
// Hold reasons of SerialStatus.
constexpr DWORD kTxWaitingForCts = 0x01, kTxWaitingForDsr = 0x02, kTxWaitingForDcd = 0x04,
                kTxWaitingForXon = 0x08, kTxWaitingXoffSent = 0x10;

thread_local DWORD lastError = 0;

struct Object {
    enum class Kind { File, Event } kind = Kind::File;
    int file = 0;             // the I/O manager's handle
    bool overlapped = false;  // opened with FILE_FLAG_OVERLAPPED
    win32sim::EventPtr event;
};

// An overlapped request and the OVERLAPPED that tracks it.
struct Pending {
    OpPtr op;
    win32sim::EventPtr event;  // hEvent's event, if any
    bool finished = false;     // Internal, InternalHigh and hEvent updated
};

std::set<Object*> objects;
std::map<OVERLAPPED*, Pending> pending;

BOOL Fail(DWORD error) {
    lastError = error;
    return FALSE;
}

// The Windows error code for an NT status, as Windows maps it.
DWORD ErrorOf(Status status) {
    switch (static_cast<uint32_t>(status)) {
        case 0x00000000: return ERROR_SUCCESS;
        case 0x00000102: return ERROR_TIMEOUT;            // STATUS_TIMEOUT
        case 0x00000103: return ERROR_IO_PENDING;         // STATUS_PENDING
        case 0x80000005: return ERROR_MORE_DATA;          // STATUS_BUFFER_OVERFLOW
        case 0x80000011: return ERROR_BUSY;               // STATUS_DEVICE_BUSY
        case 0xC0000001: return ERROR_GEN_FAILURE;        // STATUS_UNSUCCESSFUL
        case 0xC0000008: return ERROR_INVALID_HANDLE;     // STATUS_INVALID_HANDLE
        case 0xC000000D: return ERROR_INVALID_PARAMETER;  // STATUS_INVALID_PARAMETER
        case 0xC000000E: return ERROR_FILE_NOT_FOUND;     // STATUS_NO_SUCH_DEVICE
        case 0xC0000010: return ERROR_INVALID_FUNCTION;   // STATUS_INVALID_DEVICE_REQUEST
        case 0xC0000017: return ERROR_NOT_ENOUGH_MEMORY;  // STATUS_NO_MEMORY
        case 0xC0000022: return ERROR_ACCESS_DENIED;      // STATUS_ACCESS_DENIED
        case 0xC0000023: return ERROR_INSUFFICIENT_BUFFER;  // STATUS_BUFFER_TOO_SMALL
        case 0xC0000033: return ERROR_INVALID_NAME;       // STATUS_OBJECT_NAME_INVALID
        case 0xC0000034: return ERROR_FILE_NOT_FOUND;     // STATUS_OBJECT_NAME_NOT_FOUND
        case 0xC000003A: return ERROR_PATH_NOT_FOUND;     // STATUS_OBJECT_PATH_NOT_FOUND
        case 0xC0000056: return ERROR_ACCESS_DENIED;      // STATUS_DELETE_PENDING
        case 0xC000009A: return ERROR_NO_SYSTEM_RESOURCES;  // STATUS_INSUFFICIENT_RESOURCES
        case 0xC000009D: return ERROR_DEVICE_NOT_CONNECTED;  // STATUS_DEVICE_NOT_CONNECTED
        case 0xC00000A3: return ERROR_NOT_READY;          // STATUS_DEVICE_NOT_READY
        case 0xC00000B5: return ERROR_SEM_TIMEOUT;        // STATUS_IO_TIMEOUT
        case 0xC00000BB: return ERROR_NOT_SUPPORTED;      // STATUS_NOT_SUPPORTED
        case 0xC0000120: return ERROR_OPERATION_ABORTED;  // STATUS_CANCELLED
        case 0xC0000184: return ERROR_BAD_COMMAND;        // STATUS_INVALID_DEVICE_STATE
        case 0xC00002B6: return ERROR_DEVICE_REMOVED;     // STATUS_DEVICE_REMOVED
        case 0xC00000C0: return ERROR_DEV_NOT_EXIST;      // STATUS_DEVICE_DOES_NOT_EXIST
        default: return ERROR_MR_MID_NOT_FOUND;           // no mapping
    }
}

bool Succeeded(Status status) { return status >= 0; }

Object* Find(HANDLE handle, Object::Kind kind) {
    auto* o = static_cast<Object*>(handle);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE || !objects.count(o)) return nullptr;
    return o->kind == kind ? o : nullptr;
}
Object* FileOf(HANDLE handle) { return Find(handle, Object::Kind::File); }

int64_t Ticks(DWORD milliseconds) {
    return milliseconds == INFINITE ? -1 : static_cast<int64_t>(milliseconds) * 10'000;
}

// Records the end of an overlapped request in its OVERLAPPED and signals
// hEvent, once, and only while the OVERLAPPED still tracks that request.
// Nothing here is a scheduling point, so the completion thread and a caller
// of GetOverlappedResult cannot interleave inside it (one would see the
// request finished before its event is set, or a late signal would land on
// the next request of the same OVERLAPPED).
void Finish(OVERLAPPED* ov, const OpPtr& op) {
    auto it = pending.find(ov);
    if (it == pending.end() || it->second.op != op || it->second.finished) return;
    it->second.finished = true;
    ov->Internal = static_cast<ULONG_PTR>(static_cast<uint32_t>(win32sim::OpStatus(*op)));
    ov->InternalHigh = win32sim::OpInformation(*op);
    if (it->second.event) win32sim::SignalEnd(*it->second.event);
}

// Sends one read, write or device control the way ReadFile, WriteFile and
// DeviceIoControl do: on a handle opened without FILE_FLAG_OVERLAPPED, or
// without an OVERLAPPED, the call waits for the end; on an overlapped
// handle with an OVERLAPPED it returns
// ERROR_IO_PENDING while the request is in the driver, and the OVERLAPPED
// (its event, Internal and InternalHigh) tells the end.
BOOL Request(HANDLE handle, RequestKind kind, DWORD code, const void* input, DWORD inputLength,
             void* output, DWORD outputLength, LPDWORD transferred, LPOVERLAPPED ov) {
    Object* file = FileOf(handle);
    if (!file) return Fail(ERROR_INVALID_HANDLE);
    win32sim::EventPtr event;
    if (ov) {
        if (Object* e = Find(ov->hEvent, Object::Kind::Event)) {
            event = e->event;
            win32sim::ResetEvent(*event);
        }
        ov->Internal = STATUS_PENDING;
        ov->InternalHigh = 0;
    }
    OpPtr op;
    Status status = win32sim::Issue(file->file, kind, code, input, inputLength, output,
                                    outputLength, &op);
    if (!file->overlapped || ov == nullptr) {
        status = win32sim::Wait(op, -1);
        DWORD information = win32sim::OpInformation(*op);
        if (ov) {
            ov->Internal = static_cast<ULONG_PTR>(static_cast<uint32_t>(status));
            ov->InternalHigh = information;
            if (event) win32sim::SignalEnd(*event);
        }
        if (transferred) *transferred = information;
        return Succeeded(status) ? TRUE : Fail(ErrorOf(status));
    }
    pending[ov] = Pending{op, event, false};
    if (status != win32sim::kStatusPending) {
        Finish(ov, op);
        if (transferred) *transferred = win32sim::OpInformation(*op);
        return Succeeded(status) ? TRUE : Fail(ErrorOf(status));
    }
    if (transferred) *transferred = 0;
    win32sim::WhenDone(op, [ov, op] { Finish(ov, op); });
    return Fail(ERROR_IO_PENDING);
}

// A device control that the Comm functions send: always waited for, also on
// an overlapped handle (the caller gets the result, not a pending request).
BOOL Control(HANDLE handle, DWORD code, const void* input, DWORD inputLength, void* output = nullptr,
             DWORD outputLength = 0) {
    Object* file = FileOf(handle);
    if (!file) return Fail(ERROR_INVALID_HANDLE);
    OpPtr op;
    win32sim::Issue(file->file, RequestKind::Control, code, input, inputLength, output,
                    outputLength, &op);
    Status status = win32sim::Wait(op, -1);
    return Succeeded(status) ? TRUE : Fail(ErrorOf(status));
}

std::string Narrow(LPCWSTR text) {
    std::string out;
    for (; text && *text; ++text) out.push_back(*text < 0x80 ? static_cast<char>(*text) : '?');
    return out;
}

bool IEquals(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// "COM3" names the device as "\\.\COM3" does (Windows' DOS device names);
// any other name without the "\\.\" prefix would be a file, and there is no
// file system here.
std::string DeviceNameFor(const std::string& name) {
    if (name.rfind("\\\\.\\", 0) == 0) return name;
    if (name.size() > 3 && IEquals(name.substr(0, 3), "COM") &&
        std::all_of(name.begin() + 3, name.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return "\\\\.\\" + name;
    return "";
}

// The four reads GetCommState makes.
BOOL ReadState(HANDLE handle, DWORD* baud, SerialLineControl* lc, SerialChars* chars,
               SerialHandflow* flow) {
    return Control(handle, kGetBaudRate, nullptr, 0, baud, sizeof *baud) &&
           Control(handle, kGetLineControl, nullptr, 0, lc, sizeof *lc) &&
           Control(handle, kGetChars, nullptr, 0, chars, sizeof *chars) &&
           Control(handle, kGetHandflow, nullptr, 0, flow, sizeof *flow);
}

}  // namespace

namespace win32sim {

void ResetApiState() {
    for (Object* o : objects) delete o;
    objects.clear();
    pending.clear();
    lastError = 0;
}

void CloseLeftoverHandles() {
    std::vector<Object*> files;
    for (Object* o : objects)
        if (o->kind == Object::Kind::File) files.push_back(o);
    std::sort(files.begin(), files.end(), [](Object* a, Object* b) { return a->file < b->file; });
    for (Object* o : files) CloseHandle(o);
}

}  // namespace win32sim

extern "C" {

DWORD WINAPI GetLastError(void) { return lastError; }
void WINAPI SetLastError(DWORD code) { lastError = code; }

HANDLE WINAPI CreateFileA(LPCSTR name, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD flags,
                          HANDLE) {
    std::string device = name ? DeviceNameFor(name) : "";
    if (device.empty()) {
        lastError = ERROR_FILE_NOT_FOUND;
        return INVALID_HANDLE_VALUE;
    }
    int file = 0;
    Status status = win32sim::Open(device, &file);
    if (!Succeeded(status) || file == 0) {
        lastError = ErrorOf(Succeeded(status) ? 0xC0000001 : status);
        return INVALID_HANDLE_VALUE;
    }
    auto* o = new Object;
    o->kind = Object::Kind::File;
    o->file = file;
    o->overlapped = (flags & FILE_FLAG_OVERLAPPED) != 0;
    objects.insert(o);
    lastError = ERROR_SUCCESS;
    return o;
}

HANDLE WINAPI CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                          DWORD disposition, DWORD flags, HANDLE templateFile) {
    std::string narrow = Narrow(name);
    return CreateFileA(narrow.c_str(), access, share, security, disposition, flags, templateFile);
}

BOOL WINAPI CloseHandle(HANDLE handle) {
    auto* o = static_cast<Object*>(handle);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE || !objects.count(o))
        return Fail(ERROR_INVALID_HANDLE);
    objects.erase(o);
    Status status = o->kind == Object::Kind::File ? win32sim::Close(o->file) : 0;
    delete o;
    return Succeeded(status) ? TRUE : Fail(ErrorOf(status));
}

BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD length, LPDWORD read, LPOVERLAPPED ov) {
    return Request(file, RequestKind::Read, 0, nullptr, 0, buffer, length, read, ov);
}

BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD length, LPDWORD written,
                      LPOVERLAPPED ov) {
    return Request(file, RequestKind::Write, 0, buffer, length, nullptr, 0, written, ov);
}

BOOL WINAPI DeviceIoControl(HANDLE device, DWORD code, LPVOID input, DWORD inputLength,
                            LPVOID output, DWORD outputLength, LPDWORD returned,
                            LPOVERLAPPED ov) {
    return Request(device, RequestKind::Control, code, input, inputLength, output, outputLength,
                   returned, ov);
}

BOOL WINAPI GetOverlappedResult(HANDLE file, LPOVERLAPPED ov, LPDWORD transferred, BOOL wait) {
    if (!FileOf(file)) return Fail(ERROR_INVALID_HANDLE);
    auto it = ov ? pending.find(ov) : pending.end();
    if (it == pending.end()) {
        // Not a request of ours in flight: what the OVERLAPPED holds.
        if (!ov || ov->Internal == STATUS_PENDING) return Fail(ERROR_INVALID_PARAMETER);
        if (transferred) *transferred = static_cast<DWORD>(ov->InternalHigh);
        Status status = static_cast<Status>(static_cast<uint32_t>(ov->Internal));
        return Succeeded(status) ? TRUE : Fail(ErrorOf(status));
    }
    OpPtr op = it->second.op;
    if (!win32sim::Done(*op)) {
        if (!wait) return Fail(ERROR_IO_INCOMPLETE);
        win32sim::Wait(op, -1);
    }
    Finish(ov, op);
    Status status = win32sim::OpStatus(*op);
    if (transferred) *transferred = win32sim::OpInformation(*op);
    return Succeeded(status) ? TRUE : Fail(ErrorOf(status));
}

BOOL WINAPI CancelIo(HANDLE file) {
    Object* o = FileOf(file);
    if (!o) return Fail(ERROR_INVALID_HANDLE);
    win32sim::CancelAll(o->file, false);
    return TRUE;
}

BOOL WINAPI CancelIoEx(HANDLE file, LPOVERLAPPED ov) {
    Object* o = FileOf(file);
    if (!o) return Fail(ERROR_INVALID_HANDLE);
    if (ov == nullptr) {
        win32sim::CancelAll(o->file, true);
        return TRUE;
    }
    auto it = pending.find(ov);
    if (it == pending.end()) return Fail(ERROR_NOT_FOUND);
    OpPtr op = it->second.op;
    return win32sim::Cancel(op) ? TRUE : Fail(ERROR_NOT_FOUND);
}

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCSTR) {
    auto* o = new Object;
    o->kind = Object::Kind::Event;
    o->event = win32sim::NewEvent(manualReset != FALSE, initialState != FALSE);
    objects.insert(o);
    return o;
}

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES security, BOOL manualReset, BOOL initialState,
                           LPCWSTR) {
    return CreateEventA(security, manualReset, initialState, nullptr);
}

BOOL WINAPI SetEvent(HANDLE event) {
    Object* o = Find(event, Object::Kind::Event);
    if (!o) return Fail(ERROR_INVALID_HANDLE);
    win32sim::SetEvent(*o->event);
    return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE event) {
    Object* o = Find(event, Object::Kind::Event);
    if (!o) return Fail(ERROR_INVALID_HANDLE);
    win32sim::ResetEvent(*o->event);
    return TRUE;
}

// Waits on an event. A file handle is not a waitable object here (Windows
// signals it at the end of each request, which serial applications do not
// rely on): WAIT_FAILED with ERROR_INVALID_HANDLE.
DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    Object* o = Find(handle, Object::Kind::Event);
    if (!o) {
        lastError = ERROR_INVALID_HANDLE;
        return WAIT_FAILED;
    }
    Status status = win32sim::WaitEvent(*o->event, Ticks(milliseconds));
    return status == win32sim::kStatusTimeout ? WAIT_TIMEOUT : WAIT_OBJECT_0;
}

void WINAPI Sleep(DWORD milliseconds) {
    win32sim::Delay(static_cast<uint64_t>(milliseconds == INFINITE ? 0 : milliseconds) * 10'000);
}

DWORD WINAPI GetTickCount(void) { return static_cast<DWORD>(win32sim::Now() / 10'000); }

// Reads baud rate, line control, special characters and handshake.
BOOL WINAPI GetCommState(HANDLE file, LPDCB dcb) {
    if (!dcb) return Fail(ERROR_INVALID_PARAMETER);
    DWORD baud = 0;
    SerialLineControl lc{};
    SerialChars chars{};
    SerialHandflow flow{};
    if (!ReadState(file, &baud, &lc, &chars, &flow)) return FALSE;
    std::memset(dcb, 0, sizeof *dcb);
    dcb->DCBlength = sizeof(DCB);
    dcb->BaudRate = baud;
    dcb->fBinary = TRUE;
    dcb->fParity = lc.Parity != NOPARITY;
    dcb->fOutxCtsFlow = (flow.ControlHandShake & kCtsHandshake) != 0;
    dcb->fOutxDsrFlow = (flow.ControlHandShake & kDsrHandshake) != 0;
    dcb->fDtrControl = (flow.ControlHandShake & kDtrHandshake)  ? DTR_CONTROL_HANDSHAKE
                       : (flow.ControlHandShake & kDtrControl) ? DTR_CONTROL_ENABLE
                                                               : DTR_CONTROL_DISABLE;
    dcb->fDsrSensitivity = (flow.ControlHandShake & kDsrSensitivity) != 0;
    dcb->fTXContinueOnXoff = (flow.FlowReplace & kXoffContinue) != 0;
    dcb->fOutX = (flow.FlowReplace & kAutoTransmit) != 0;
    dcb->fInX = (flow.FlowReplace & kAutoReceive) != 0;
    dcb->fErrorChar = (flow.FlowReplace & kErrorChar) != 0;
    dcb->fNull = (flow.FlowReplace & kNullStripping) != 0;
    dcb->fRtsControl = (flow.FlowReplace & kRtsMask) >> 6;  // 0x40 enable, 0x80 handshake, 0xC0 toggle
    dcb->fAbortOnError = (flow.ControlHandShake & kErrorAbort) != 0;
    dcb->XonLim = static_cast<WORD>(flow.XonLimit);
    dcb->XoffLim = static_cast<WORD>(flow.XoffLimit);
    dcb->ByteSize = lc.WordLength;
    dcb->Parity = lc.Parity;
    dcb->StopBits = lc.StopBits;
    dcb->XonChar = static_cast<char>(chars.XonChar);
    dcb->XoffChar = static_cast<char>(chars.XoffChar);
    dcb->ErrorChar = static_cast<char>(chars.ErrorChar);
    dcb->EofChar = static_cast<char>(chars.EofChar);
    dcb->EvtChar = static_cast<char>(chars.EventChar);
    return TRUE;
}

// Windows does not document the requests SetCommState sends; the plain
// sequence is used: the four reads of GetCommState (to keep the break
// character, which a DCB does not carry, and to put everything back when a
// setting is refused), then baud rate, line control, characters and
// handshake, then DTR and RTS as fDtrControl and fRtsControl ask (enable
// sets the line, disable clears it, handshake and toggle leave it to the
// driver). A refused step restores the four settings read first and fails
// with the refused step's error.
BOOL WINAPI SetCommState(HANDLE file, LPDCB dcb) {
    if (!FileOf(file)) return Fail(ERROR_INVALID_HANDLE);
    if (!dcb) return Fail(ERROR_INVALID_PARAMETER);
    DWORD oldBaud = 0;
    SerialLineControl oldLc{};
    SerialChars oldChars{};
    SerialHandflow oldFlow{};
    if (!ReadState(file, &oldBaud, &oldLc, &oldChars, &oldFlow)) return FALSE;

    DWORD baud = dcb->BaudRate;
    SerialLineControl lc{dcb->StopBits, dcb->Parity, dcb->ByteSize};
    SerialChars chars{static_cast<BYTE>(dcb->EofChar),  static_cast<BYTE>(dcb->ErrorChar),
                      oldChars.BreakChar,               static_cast<BYTE>(dcb->EvtChar),
                      static_cast<BYTE>(dcb->XonChar), static_cast<BYTE>(dcb->XoffChar)};
    SerialHandflow flow{};
    // fDtrControl 3 has no meaning; it goes to the driver as both DTR bits,
    // which the driver refuses.
    flow.ControlHandShake = dcb->fDtrControl == DTR_CONTROL_ENABLE      ? kDtrControl
                            : dcb->fDtrControl == DTR_CONTROL_HANDSHAKE ? kDtrHandshake
                            : dcb->fDtrControl == 3                     ? kDtrControl | kDtrHandshake
                                                                        : 0;
    if (dcb->fOutxCtsFlow) flow.ControlHandShake |= kCtsHandshake;
    if (dcb->fOutxDsrFlow) flow.ControlHandShake |= kDsrHandshake;
    if (dcb->fDsrSensitivity) flow.ControlHandShake |= kDsrSensitivity;
    if (dcb->fAbortOnError) flow.ControlHandShake |= kErrorAbort;
    flow.FlowReplace = static_cast<DWORD>(dcb->fRtsControl) << 6;
    if (dcb->fOutX) flow.FlowReplace |= kAutoTransmit;
    if (dcb->fInX) flow.FlowReplace |= kAutoReceive;
    if (dcb->fErrorChar) flow.FlowReplace |= kErrorChar;
    if (dcb->fNull) flow.FlowReplace |= kNullStripping;
    if (dcb->fTXContinueOnXoff) flow.FlowReplace |= kXoffContinue;
    flow.XonLimit = dcb->XonLim;
    flow.XoffLimit = dcb->XoffLim;

    bool ok = Control(file, kSetBaudRate, &baud, sizeof baud) &&
              Control(file, kSetLineControl, &lc, sizeof lc) &&
              Control(file, kSetChars, &chars, sizeof chars) &&
              Control(file, kSetHandflow, &flow, sizeof flow);
    if (ok && dcb->fDtrControl == DTR_CONTROL_ENABLE) ok = Control(file, kSetDtr, nullptr, 0);
    if (ok && dcb->fDtrControl == DTR_CONTROL_DISABLE) ok = Control(file, kClrDtr, nullptr, 0);
    if (ok && dcb->fRtsControl == RTS_CONTROL_ENABLE) ok = Control(file, kSetRts, nullptr, 0);
    if (ok && dcb->fRtsControl == RTS_CONTROL_DISABLE) ok = Control(file, kClrRts, nullptr, 0);
    if (ok) return TRUE;
    DWORD error = lastError;
    Control(file, kSetBaudRate, &oldBaud, sizeof oldBaud);
    Control(file, kSetLineControl, &oldLc, sizeof oldLc);
    Control(file, kSetChars, &oldChars, sizeof oldChars);
    Control(file, kSetHandflow, &oldFlow, sizeof oldFlow);
    return Fail(error);
}

// Fills a DCB from a mode string, either "baud=9600 parity=N data=8 stop=1
// [to=..] [xon=..] [odsr=..] [octs=..] [dtr=on|off|hs] [rts=on|off|hs|tg]
// [idsr=..]" or the older "9600,n,8,1[,x|p]", with or without a leading
// "COMn:". Both forms turn XON/XOFF and hardware flow control off unless
// the string asks for them; the older one also sets DTR and RTS as its last
// letter says. A baud rate of 110 without a stop-bit count gets two stop
// bits. Nothing is sent to a device.
BOOL WINAPI BuildCommDCBA(LPCSTR definition, LPDCB dcb) {
    if (!definition || !dcb) return Fail(ERROR_INVALID_PARAMETER);
    std::string text = definition;
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    size_t at = text.find_first_not_of(' ');
    if (at != std::string::npos && text.compare(at, 3, "com") == 0) {
        size_t end = text.find_first_not_of("0123456789", at + 3);
        if (end == at + 3) return Fail(ERROR_INVALID_PARAMETER);
        at = end == std::string::npos ? text.size() : end;
        if (at < text.size() && text[at] == ':') ++at;
    }
    text = at == std::string::npos ? "" : text.substr(at);
    DCB out = *dcb;
    out.DCBlength = sizeof(DCB);
    out.fBinary = TRUE;
    out.fInX = out.fOutX = out.fOutxCtsFlow = out.fOutxDsrFlow = FALSE;
    bool stopGiven = false;
    auto parseParity = [&](const std::string& v) {
        static const char letters[] = "noems";
        if (v.size() != 1 || !std::strchr(letters, v[0])) return false;
        out.Parity = static_cast<BYTE>(std::strchr(letters, v[0]) - letters);
        out.fParity = out.Parity != NOPARITY;
        return true;
    };
    auto parseStop = [&](const std::string& v) {
        stopGiven = true;
        if (v == "1") out.StopBits = ONESTOPBIT;
        else if (v == "1.5") out.StopBits = ONE5STOPBITS;
        else if (v == "2") out.StopBits = TWOSTOPBITS;
        else return false;
        return true;
    };
    auto parseNumber = [](const std::string& v, DWORD* n) {
        if (v.empty() || v.find_first_not_of("0123456789") != std::string::npos || v.size() > 9)
            return false;
        *n = static_cast<DWORD>(std::strtoul(v.c_str(), nullptr, 10));
        return true;
    };
    auto onOff = [](const std::string& v, DWORD* flag) {
        if (v == "on") *flag = 1;
        else if (v == "off") *flag = 0;
        else return false;
        return true;
    };
    if (text.find('=') != std::string::npos) {
        size_t pos = 0;
        while (pos < text.size()) {
            size_t start = text.find_first_not_of(' ', pos);
            if (start == std::string::npos) break;
            size_t end = text.find(' ', start);
            std::string token = text.substr(start, end == std::string::npos ? end : end - start);
            pos = end == std::string::npos ? text.size() : end;
            size_t eq = token.find('=');
            if (eq == std::string::npos) return Fail(ERROR_INVALID_PARAMETER);
            std::string key = token.substr(0, eq), value = token.substr(eq + 1);
            DWORD n = 0;
            bool ok = true;
            if (key == "baud") {
                ok = parseNumber(value, &n) && n != 0;
                out.BaudRate = n;
            } else if (key == "parity") {
                ok = parseParity(value);
            } else if (key == "data") {
                ok = parseNumber(value, &n) && n >= 5 && n <= 8;
                out.ByteSize = static_cast<BYTE>(n);
            } else if (key == "stop") {
                ok = parseStop(value);
            } else if (key == "to") {
                ok = onOff(value, &n);  // a time-out setting, not a DCB member
            } else if (key == "xon") {
                ok = onOff(value, &n);
                out.fInX = out.fOutX = n;
            } else if (key == "odsr") {
                ok = onOff(value, &n);
                out.fOutxDsrFlow = n;
            } else if (key == "octs") {
                ok = onOff(value, &n);
                out.fOutxCtsFlow = n;
            } else if (key == "idsr") {
                ok = onOff(value, &n);
                out.fDsrSensitivity = n;
            } else if (key == "dtr") {
                if (value == "hs") out.fDtrControl = DTR_CONTROL_HANDSHAKE;
                else if ((ok = onOff(value, &n))) out.fDtrControl = n;
            } else if (key == "rts") {
                if (value == "hs") out.fRtsControl = RTS_CONTROL_HANDSHAKE;
                else if (value == "tg") out.fRtsControl = RTS_CONTROL_TOGGLE;
                else if ((ok = onOff(value, &n))) out.fRtsControl = n;
            } else {
                ok = false;
            }
            if (!ok) return Fail(ERROR_INVALID_PARAMETER);
        }
    } else {
        std::vector<std::string> fields;
        size_t start = 0;
        for (;;) {
            size_t comma = text.find(',', start);
            std::string f = text.substr(start, comma == std::string::npos ? comma : comma - start);
            f.erase(0, f.find_first_not_of(' '));
            f.erase(f.find_last_not_of(' ') + 1);
            fields.push_back(f);
            if (comma == std::string::npos) break;
            start = comma + 1;
        }
        if (fields.empty() || fields[0].empty() || fields.size() > 5)
            return Fail(ERROR_INVALID_PARAMETER);
        DWORD n = 0;
        if (!parseNumber(fields[0], &n)) return Fail(ERROR_INVALID_PARAMETER);
        // The mode command's two-digit abbreviations.
        static const struct { DWORD shortForm, rate; } abbreviations[] = {
            {11, 110}, {15, 150}, {30, 300}, {60, 600}, {12, 1200},
            {24, 2400}, {48, 4800}, {96, 9600}, {19, 19200}};
        for (auto& a : abbreviations)
            if (fields[0].size() == 2 && n == a.shortForm) n = a.rate;
        out.BaudRate = n;
        if (fields.size() > 1 && !fields[1].empty() && !parseParity(fields[1]))
            return Fail(ERROR_INVALID_PARAMETER);
        if (fields.size() > 2 && !fields[2].empty()) {
            if (!parseNumber(fields[2], &n) || n < 5 || n > 8) return Fail(ERROR_INVALID_PARAMETER);
            out.ByteSize = static_cast<BYTE>(n);
        }
        if (fields.size() > 3 && !fields[3].empty() && !parseStop(fields[3]))
            return Fail(ERROR_INVALID_PARAMETER);
        std::string flowLetter = fields.size() > 4 ? fields[4] : "";
        out.fDtrControl = DTR_CONTROL_ENABLE;
        out.fRtsControl = RTS_CONTROL_ENABLE;
        if (flowLetter == "x") {
            out.fInX = out.fOutX = TRUE;
        } else if (flowLetter == "p") {
            out.fOutxCtsFlow = out.fOutxDsrFlow = TRUE;
            out.fDtrControl = DTR_CONTROL_HANDSHAKE;
            out.fRtsControl = RTS_CONTROL_HANDSHAKE;
        } else if (!flowLetter.empty()) {
            return Fail(ERROR_INVALID_PARAMETER);
        }
    }
    if (out.BaudRate == 110 && !stopGiven) out.StopBits = TWOSTOPBITS;
    *dcb = out;
    return TRUE;
}

BOOL WINAPI GetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts) {
    if (!timeouts) return Fail(ERROR_INVALID_PARAMETER);
    return Control(file, kGetTimeouts, nullptr, 0, timeouts, sizeof *timeouts);
}

BOOL WINAPI SetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts) {
    if (!timeouts) return Fail(ERROR_INVALID_PARAMETER);
    return Control(file, kSetTimeouts, timeouts, sizeof *timeouts);
}

BOOL WINAPI SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue) {
    SerialQueueSize sizes{inQueue, outQueue};
    return Control(file, kSetQueueSize, &sizes, sizeof sizes);
}

BOOL WINAPI SetCommMask(HANDLE file, DWORD mask) {
    return Control(file, kSetWaitMask, &mask, sizeof mask);
}

BOOL WINAPI GetCommMask(HANDLE file, LPDWORD mask) {
    if (!mask) return Fail(ERROR_INVALID_PARAMETER);
    return Control(file, kGetWaitMask, nullptr, 0, mask, sizeof *mask);
}

// IOCTL_SERIAL_WAIT_ON_MASK; on an overlapped handle the event word is
// written to *mask when the request ends.
BOOL WINAPI WaitCommEvent(HANDLE file, LPDWORD mask, LPOVERLAPPED ov) {
    if (!mask) return Fail(ERROR_INVALID_PARAMETER);
    DWORD returned = 0;
    return Request(file, RequestKind::Control, kWaitOnMask, nullptr, 0, mask, sizeof *mask,
                   &returned, ov);
}

BOOL WINAPI EscapeCommFunction(HANDLE file, DWORD function) {
    static const DWORD codes[] = {0,       kSetXoff, kSetXon, kSetRts,      kClrRts,
                                  kSetDtr, kClrDtr,  kResetDevice, kSetBreakOn, kSetBreakOff};
    if (function < SETXOFF || function > CLRBREAK) return Fail(ERROR_INVALID_PARAMETER);
    return Control(file, codes[function], nullptr, 0);
}

BOOL WINAPI SetCommBreak(HANDLE file) { return Control(file, kSetBreakOn, nullptr, 0); }
BOOL WINAPI ClearCommBreak(HANDLE file) { return Control(file, kSetBreakOff, nullptr, 0); }

BOOL WINAPI PurgeComm(HANDLE file, DWORD flags) {
    return Control(file, kPurge, &flags, sizeof flags);
}

BOOL WINAPI ClearCommError(HANDLE file, LPDWORD errors, LPCOMSTAT stat) {
    SerialStatus status{};
    if (!Control(file, kGetCommStatus, nullptr, 0, &status, sizeof status)) return FALSE;
    if (errors) *errors = status.Errors;
    if (stat) {
        std::memset(stat, 0, sizeof *stat);
        stat->fCtsHold = (status.HoldReasons & kTxWaitingForCts) != 0;
        stat->fDsrHold = (status.HoldReasons & kTxWaitingForDsr) != 0;
        stat->fRlsdHold = (status.HoldReasons & kTxWaitingForDcd) != 0;
        stat->fXoffHold = (status.HoldReasons & kTxWaitingForXon) != 0;
        stat->fXoffSent = (status.HoldReasons & kTxWaitingXoffSent) != 0;
        stat->fEof = status.EofReceived != 0;
        stat->fTxim = status.WaitForImmediate != 0;
        stat->cbInQue = status.AmountInInQueue;
        stat->cbOutQue = status.AmountInOutQueue;
    }
    return TRUE;
}

BOOL WINAPI GetCommModemStatus(HANDLE file, LPDWORD modemStatus) {
    if (!modemStatus) return Fail(ERROR_INVALID_PARAMETER);
    return Control(file, kGetModemStatus, nullptr, 0, modemStatus, sizeof *modemStatus);
}

BOOL WINAPI GetCommProperties(HANDLE file, LPCOMMPROP properties) {
    if (!properties) return Fail(ERROR_INVALID_PARAMETER);
    return Control(file, kGetProperties, nullptr, 0, properties, sizeof *properties);
}

BOOL WINAPI TransmitCommChar(HANDLE file, char c) {
    return Control(file, kImmediateChar, &c, 1);
}

// With a name: the target of that DOS device name. Without: every DOS device
// name. Either way a list of strings, each ended by a NUL, and the list by
// another NUL; the count of characters stored is returned.
DWORD WINAPI QueryDosDeviceA(LPCSTR name, LPSTR target, DWORD size) {
    std::vector<std::string> items;
    for (auto& [dos, to] : win32sim::DosDevices()) {
        if (!name) items.push_back(dos);
        else if (IEquals(dos, name)) items.push_back(to);
    }
    if (name && items.empty()) {
        lastError = ERROR_FILE_NOT_FOUND;
        return 0;
    }
    size_t needed = 1;
    for (auto& s : items) needed += s.size() + 1;
    if (!target || needed > size) {
        lastError = ERROR_INSUFFICIENT_BUFFER;
        return 0;
    }
    char* p = target;
    for (auto& s : items) {
        std::memcpy(p, s.c_str(), s.size() + 1);
        p += s.size() + 1;
    }
    *p = '\0';
    return static_cast<DWORD>(needed);
}

}  // extern "C"
