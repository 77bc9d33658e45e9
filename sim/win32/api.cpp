// api.cpp - the Windows serial API over the simulated I/O manager. Each call
// sends the requests that Windows sends for it; where Windows does not
// document its exact sequence the plain one is used, as each routine says.
// Runs on the caller's simulated thread at PASSIVE_LEVEL; the handle table
// and the table of requests in flight belong to the running simulation (one
// thread runs at a time, so they need no lock). The mode strings of
// BuildCommDCB are in mode_string.cpp.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>

#include "sim/win32/sim_io.h"
#include "sim/win32/windows.h"
#include "sim/win32/winternl.h"

namespace {

using win32sim::EventPtr;
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
constexpr DWORD kConfigSize = SerialCode(32);
constexpr DWORD kSetCommConfig = SerialCode(34);

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
// Error bits of SerialStatus.
constexpr DWORD kErrorBreak = 0x01, kErrorFraming = 0x02, kErrorOverrun = 0x04,
                kErrorQueueOverrun = 0x08, kErrorParity = 0x10;
// Hold reasons of SerialStatus.
constexpr DWORD kTxWaitingForCts = 0x01, kTxWaitingForDsr = 0x02, kTxWaitingForDcd = 0x04,
                kTxWaitingForXon = 0x08, kTxWaitingXoffSent = 0x10;

// Where the end of a request is recorded: an OVERLAPPED's Internal and
// InternalHigh, or an IO_STATUS_BLOCK, which Windows lays out alike.
struct StatusBlock {
    ULONG_PTR status;
    ULONG_PTR information;
};
static_assert(offsetof(OVERLAPPED, Internal) == offsetof(StatusBlock, status) &&
              offsetof(OVERLAPPED, InternalHigh) == offsetof(StatusBlock, information) &&
              sizeof(IO_STATUS_BLOCK) == sizeof(StatusBlock));

struct ThreadState {
    EventPtr exited;  // manual reset, set when the thread returns
    DWORD exitCode = STILL_ACTIVE;
};

struct Object {
    enum class Kind { File, Event, Thread, Console } kind = Kind::File;
    int file = 0;             // File: the I/O manager's handle
    bool overlapped = false;  // File: opened with FILE_FLAG_OVERLAPPED
    // Event: the event. File: the file object's event, cleared when a
    // request starts and set when one ends that had no event of its own (or
    // on a synchronous handle), as Windows does. Thread: set at its end.
    EventPtr event;
    std::shared_ptr<ThreadState> thread;  // Thread
    FILE* stream = nullptr;               // Console: stdout or stderr (stdin reads fd 0)
};

// A request in flight for a caller that does not wait for it, and the
// status block that tracks it.
struct Pending {
    OpPtr op;
    StatusBlock* block = nullptr;
    EventPtr event;          // the caller's event, if any
    EventPtr fileEvent;      // the handle's event, when the end sets it
    int issuer = 0;          // the simulated thread that sent it
};

std::set<Object*> objects;
std::map<void*, Pending> pending;     // by status block, until recorded
std::map<int, DWORD> lastErrors;      // by simulated thread
Object* standardHandles[3] = {};      // input, output, error
int threadsCreated = 0;

DWORD& LastError() { return lastErrors[win32sim::CurrentThread()]; }

BOOL Fail(DWORD error) {
    LastError() = error;
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

Object* Find(HANDLE handle) {
    auto* o = static_cast<Object*>(handle);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE || !objects.count(o)) return nullptr;
    return o;
}
Object* Find(HANDLE handle, Object::Kind kind) {
    Object* o = Find(handle);
    return o && o->kind == kind ? o : nullptr;
}
Object* FileOf(HANDLE handle) { return Find(handle, Object::Kind::File); }

// An OVERLAPPED's event: a valid event handle whose low-order bit is set
// (which keeps the completion off a completion port) names the same event.
Object* EventOf(HANDLE handle) {
    return Find(reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(handle) & ~ULONG_PTR{1}),
                Object::Kind::Event);
}

int64_t Ticks(DWORD milliseconds) {
    return milliseconds == INFINITE ? -1 : static_cast<int64_t>(milliseconds) * 10'000;
}

// Records a request's end in its status block and signals its events, once,
// and only while the block still tracks that request. Nothing here is a
// scheduling point, so the completion thread and a caller of
// GetOverlappedResult cannot interleave inside it (one would see the request
// finished before its event is set, or a late signal would land on the next
// request of the same OVERLAPPED).
void Finish(void* key, const OpPtr& op) {
    auto it = pending.find(key);
    if (it == pending.end() || it->second.op != op) return;
    Pending p = it->second;
    pending.erase(it);
    p.block->status = static_cast<ULONG_PTR>(static_cast<uint32_t>(win32sim::OpStatus(*op)));
    p.block->information = win32sim::OpInformation(*op);
    if (p.event) win32sim::SignalEnd(*p.event);
    if (p.fileEvent) win32sim::SignalEnd(*p.fileEvent);
}

// Records the end of every ended request of the calling thread. Windows
// records an end in the issuing thread (a kernel APC), which runs before
// that thread returns from any call; here a completion thread records it,
// so a thread that has seen one request end (a flush) looks at what ended
// before (the write ahead of it) only after this.
void CatchUp() {
    int self = win32sim::CurrentThread();
    std::vector<std::pair<void*, OpPtr>> ended;
    for (auto& [key, p] : pending)
        if (p.issuer == self && win32sim::Done(*p.op)) ended.emplace_back(key, p.op);
    for (auto& [key, op] : ended) Finish(key, op);
}

// Sends one request on a file handle as the I/O manager does for
// NtReadFile, NtWriteFile, NtDeviceIoControlFile and NtFlushBuffersFile:
// the caller's event and the file's event are cleared; with `wait` the
// call returns the final status (and fills `block` when given), otherwise
// STATUS_PENDING while the request is in the driver, and the end is
// recorded in `block` (which must be given) when it comes. The file's event
// is set at the end when `setsFileEvent`.
Status Send(Object* file, RequestKind kind, DWORD code, const void* input, DWORD inputLength,
            void* output, DWORD outputLength, StatusBlock* block, const EventPtr& event,
            bool setsFileEvent, bool wait, DWORD* information) {
    if (event) win32sim::ResetEvent(*event);
    win32sim::ClearAtIssue(*file->event);
    EventPtr fileEvent = setsFileEvent ? file->event : nullptr;
    OpPtr op;
    Status status = win32sim::Issue(file->file, kind, code, input, inputLength, output,
                                    outputLength, &op);
    if (wait) {
        status = win32sim::Wait(op, -1);
        if (information) *information = win32sim::OpInformation(*op);
        if (block) {
            block->status = static_cast<ULONG_PTR>(static_cast<uint32_t>(status));
            block->information = win32sim::OpInformation(*op);
        }
        if (event) win32sim::SignalEnd(*event);
        if (fileEvent) win32sim::SignalEnd(*fileEvent);
        CatchUp();
        return status;
    }
    pending[block] = Pending{op, block, event, fileEvent, win32sim::CurrentThread()};
    if (status != win32sim::kStatusPending) {
        Finish(block, op);
        if (information) *information = win32sim::OpInformation(*op);
        return status;
    }
    if (information) *information = 0;
    win32sim::WhenDone(op, [block, op] { Finish(block, op); });
    return status;
}

// ReadFile, WriteFile, DeviceIoControl and WaitCommEvent: on a handle opened
// without FILE_FLAG_OVERLAPPED the call waits for the end; on an overlapped
// handle with an OVERLAPPED it returns ERROR_IO_PENDING while the request is
// in the driver, and the OVERLAPPED (its event, Internal and InternalHigh)
// tells the end. A read or write on an overlapped handle needs an
// OVERLAPPED (its offset is the request's byte offset): without one Windows
// refuses it with ERROR_INVALID_PARAMETER. A device control without one is
// waited for.
BOOL Request(HANDLE handle, RequestKind kind, DWORD code, const void* input, DWORD inputLength,
             void* output, DWORD outputLength, LPDWORD transferred, LPOVERLAPPED ov) {
    Object* file = FileOf(handle);
    if (!file) return Fail(ERROR_INVALID_HANDLE);
    if (file->overlapped && !ov && kind != RequestKind::Control) return Fail(ERROR_INVALID_PARAMETER);
    EventPtr event;
    if (ov) {
        if (ov->hEvent) {
            Object* e = EventOf(ov->hEvent);
            if (!e) return Fail(ERROR_INVALID_HANDLE);
            event = e->event;
        }
        ov->Internal = STATUS_PENDING;
        ov->InternalHigh = 0;
    }
    bool wait = !file->overlapped || !ov;
    DWORD information = 0;
    Status status = Send(file, kind, code, input, inputLength, output, outputLength,
                         reinterpret_cast<StatusBlock*>(ov), event,
                         !event || !file->overlapped, wait, &information);
    if (transferred) *transferred = information;
    if (status == win32sim::kStatusPending) return Fail(ERROR_IO_PENDING);
    return Succeeded(status) ? TRUE : Fail(ErrorOf(status));
}

// A device control that the Comm functions send: always waited for, also on
// an overlapped handle (the caller gets the result, not a pending request).
BOOL Control(HANDLE handle, DWORD code, const void* input, DWORD inputLength, void* output = nullptr,
             DWORD outputLength = 0, DWORD* returned = nullptr) {
    Object* file = FileOf(handle);
    if (!file) return Fail(ERROR_INVALID_HANDLE);
    Status status = Send(file, RequestKind::Control, code, input, inputLength, output, outputLength,
                         nullptr, nullptr, true, true, returned);
    return Succeeded(status) ? TRUE : Fail(ErrorOf(status));
}

// UTF-16 to UTF-8, the simulated PC's ANSI code page; false on an unpaired
// surrogate when `strict`, which otherwise becomes U+FFFD.
bool ToUtf8(const WCHAR* text, size_t length, bool strict, std::string* out) {
    out->clear();
    for (size_t i = 0; i < length; ++i) {
        uint32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < length && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            if (strict) return false;
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out->push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out->push_back(static_cast<char>(0xC0 | (c >> 6)));
            out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out->push_back(static_cast<char>(0xE0 | (c >> 12)));
            out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out->push_back(static_cast<char>(0xF0 | (c >> 18)));
            out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return true;
}

// UTF-8 to UTF-16; false on an ill-formed sequence when `strict`, which
// otherwise becomes U+FFFD, one for each byte that starts no character.
bool FromUtf8(const unsigned char* text, size_t length, bool strict, std::u16string* out) {
    static const uint32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
    out->clear();
    for (size_t i = 0; i < length;) {
        unsigned char b = text[i];
        size_t more = b < 0x80 ? 0 : (b & 0xE0) == 0xC0 ? 1 : (b & 0xF0) == 0xE0 ? 2 : (b & 0xF8) == 0xF0 ? 3 : 4;
        uint32_t c = more == 0 ? b : more < 4 ? b & (0x7Fu >> (more + 1)) : 0;
        bool good = more < 4 && i + more < length;
        for (size_t k = 1; good && k <= more; ++k) {
            good = (text[i + k] & 0xC0) == 0x80;
            c = (c << 6) | (text[i + k] & 0x3Fu);
        }
        good = good && c >= kLeast[more] && c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF);
        if (!good) {
            if (strict) return false;
            out->push_back(u'\uFFFD');
            ++i;
            continue;
        }
        if (c >= 0x10000) {
            out->push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
            out->push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
        } else {
            out->push_back(static_cast<char16_t>(c));
        }
        i += more + 1;
    }
    return true;
}

std::string Narrow(LPCWSTR text) {
    size_t n = 0;
    while (text && text[n]) ++n;
    std::string out;
    ToUtf8(text, n, false, &out);
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

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// GetModuleHandle and GetProcAddress know one module, ntdll, for the native
// read and write a serial program may call directly.
HINSTANCE__ ntdllModule{};

NTSTATUS NTAPI NtReadFile(HANDLE, HANDLE, PIO_APC_ROUTINE, PVOID, PIO_STATUS_BLOCK, PVOID, ULONG,
                          PLARGE_INTEGER, ULONG*);
NTSTATUS NTAPI NtWriteFile(HANDLE, HANDLE, PIO_APC_ROUTINE, PVOID, PIO_STATUS_BLOCK, PVOID, ULONG,
                           PLARGE_INTEGER, ULONG*);

constexpr NTSTATUS kStatusAccessViolation = static_cast<NTSTATUS>(0xC0000005);
constexpr NTSTATUS kStatusNotSupported = static_cast<NTSTATUS>(0xC00000BB);

// NtReadFile and NtWriteFile: what ReadFile and WriteFile are made of. On a
// synchronous handle the call waits and returns the final status; on an
// overlapped one it returns STATUS_PENDING while the request is in the
// driver, and the status block, the event (or, without one, the file) tell
// the end. An overlapped handle needs a byte offset, not negative (a write
// may give -1, the end of the file); without one the request is refused
// before it is sent, the status block untouched. The simulation queues no
// APCs: a request with an APC routine is refused with STATUS_NOT_SUPPORTED.
NTSTATUS NativeTransfer(HANDLE handle, HANDLE eventHandle, PIO_APC_ROUTINE apc,
                        PIO_STATUS_BLOCK iosb, RequestKind kind, const void* input, void* output,
                        ULONG length, PLARGE_INTEGER offset) {
    Object* file = FileOf(handle);
    if (!file) return static_cast<NTSTATUS>(STATUS_INVALID_HANDLE);
    EventPtr event;
    if (eventHandle) {
        Object* e = Find(eventHandle, Object::Kind::Event);
        if (!e) return static_cast<NTSTATUS>(STATUS_INVALID_HANDLE);
        event = e->event;
    }
    if (!iosb) return kStatusAccessViolation;
    if (apc) return kStatusNotSupported;
    if (file->overlapped) {
        bool endOfFile = kind == RequestKind::Write && offset && offset->QuadPart == -1;
        if (!offset || (offset->QuadPart < 0 && !endOfFile))
            return static_cast<NTSTATUS>(STATUS_INVALID_PARAMETER);
    }
    return Send(file, kind, 0, input, kind == RequestKind::Write ? length : 0, output,
                kind == RequestKind::Read ? length : 0, reinterpret_cast<StatusBlock*>(iosb), event,
                !event || !file->overlapped, !file->overlapped, nullptr);
}

NTSTATUS NTAPI NtReadFile(HANDLE handle, HANDLE event, PIO_APC_ROUTINE apc, PVOID, PIO_STATUS_BLOCK iosb,
                          PVOID buffer, ULONG length, PLARGE_INTEGER offset, ULONG*) {
    return NativeTransfer(handle, event, apc, iosb, RequestKind::Read, nullptr, buffer, length, offset);
}

NTSTATUS NTAPI NtWriteFile(HANDLE handle, HANDLE event, PIO_APC_ROUTINE apc, PVOID, PIO_STATUS_BLOCK iosb,
                           PVOID buffer, ULONG length, PLARGE_INTEGER offset, ULONG*) {
    return NativeTransfer(handle, event, apc, iosb, RequestKind::Write, buffer, nullptr, length, offset);
}

// The parts of a COMMCONFIG that GetCommConfig and GetDefaultCommConfig
// fill around the DCB for a port without provider data.
BOOL CheckConfigSize(LPDWORD size) {
    if (!size) return Fail(ERROR_INVALID_PARAMETER);
    if (*size < sizeof(COMMCONFIG)) {
        *size = sizeof(COMMCONFIG);
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    return TRUE;
}

void FillConfig(LPCOMMCONFIG config, const DCB& dcb, LPDWORD size) {
    std::memset(config, 0, sizeof *config);
    config->dwSize = sizeof(COMMCONFIG);
    config->wVersion = 1;
    config->dcb = dcb;
    config->dwProviderSubType = PST_RS232;
    *size = sizeof(COMMCONFIG);
}

}  // namespace

namespace win32sim {

void ResetApiState() {
    for (Object* o : objects) delete o;
    objects.clear();
    pending.clear();
    lastErrors.clear();
    for (Object*& o : standardHandles) o = nullptr;
    threadsCreated = 0;
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

DWORD WINAPI GetLastError(void) { return LastError(); }
void WINAPI SetLastError(DWORD code) { LastError() = code; }

HANDLE WINAPI CreateFileA(LPCSTR name, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD flags,
                          HANDLE) {
    std::string device = name ? DeviceNameFor(name) : "";
    if (device.empty()) {
        LastError() = ERROR_FILE_NOT_FOUND;
        return INVALID_HANDLE_VALUE;
    }
    int file = 0;
    Status status = win32sim::Open(device, &file);
    if (!Succeeded(status) || file == 0) {
        LastError() = ErrorOf(Succeeded(status) ? static_cast<Status>(0xC0000001) : status);
        return INVALID_HANDLE_VALUE;
    }
    auto* o = new Object;
    o->kind = Object::Kind::File;
    o->file = file;
    o->overlapped = (flags & FILE_FLAG_OVERLAPPED) != 0;
    o->event = win32sim::NewEvent(true, false);
    objects.insert(o);
    LastError() = ERROR_SUCCESS;
    return o;
}

HANDLE WINAPI CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                          DWORD disposition, DWORD flags, HANDLE templateFile) {
    if (!name) {
        LastError() = ERROR_FILE_NOT_FOUND;
        return INVALID_HANDLE_VALUE;
    }
    std::string narrow = Narrow(name);
    return CreateFileA(narrow.c_str(), access, share, security, disposition, flags, templateFile);
}

// A console handle is never really closed: GetStdHandle goes on returning it.
BOOL WINAPI CloseHandle(HANDLE handle) {
    Object* o = Find(handle);
    if (!o) return Fail(ERROR_INVALID_HANDLE);
    if (o->kind == Object::Kind::Console) return TRUE;
    objects.erase(o);
    Status status = o->kind == Object::Kind::File ? win32sim::Close(o->file) : 0;
    delete o;
    return Succeeded(status) ? TRUE : Fail(ErrorOf(status));
}

HANDLE WINAPI GetStdHandle(DWORD which) {
    int index = which == STD_INPUT_HANDLE ? 0 : which == STD_OUTPUT_HANDLE ? 1 : which == STD_ERROR_HANDLE ? 2 : -1;
    if (index < 0) {
        LastError() = ERROR_INVALID_HANDLE;
        return INVALID_HANDLE_VALUE;
    }
    if (!standardHandles[index]) {
        auto* o = new Object;
        o->kind = Object::Kind::Console;
        o->stream = index == 1 ? stdout : index == 2 ? stderr : nullptr;
        objects.insert(o);
        standardHandles[index] = o;
    }
    return standardHandles[index];
}

// The standard handles read the host's standard input and write its
// standard output and error, synchronously whatever the OVERLAPPED says.
BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD length, LPDWORD read, LPOVERLAPPED ov) {
    if (Object* console = Find(file, Object::Kind::Console)) {
        if (console->stream) return Fail(ERROR_INVALID_HANDLE);
        ssize_t n = ::read(0, buffer, length);
        if (read) *read = n > 0 ? static_cast<DWORD>(n) : 0;
        return n >= 0 ? TRUE : Fail(ERROR_GEN_FAILURE);
    }
    return Request(file, RequestKind::Read, 0, nullptr, 0, buffer, length, read, ov);
}

BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD length, LPDWORD written,
                      LPOVERLAPPED ov) {
    if (Object* console = Find(file, Object::Kind::Console)) {
        if (!console->stream) return Fail(ERROR_INVALID_HANDLE);
        size_t n = std::fwrite(buffer, 1, length, console->stream);
        std::fflush(console->stream);
        if (written) *written = static_cast<DWORD>(n);
        return n == length ? TRUE : Fail(ERROR_GEN_FAILURE);
    }
    return Request(file, RequestKind::Write, 0, buffer, length, nullptr, 0, written, ov);
}

BOOL WINAPI DeviceIoControl(HANDLE device, DWORD code, LPVOID input, DWORD inputLength,
                            LPVOID output, DWORD outputLength, LPDWORD returned,
                            LPOVERLAPPED ov) {
    return Request(device, RequestKind::Control, code, input, inputLength, output, outputLength,
                   returned, ov);
}

// IRP_MJ_FLUSH_BUFFERS, waited for on either kind of handle (the I/O manager
// waits on an event of its own for an overlapped handle, so the file's
// event is not set at the end there). It ends once every write queued
// before it has ended; CancelIoEx from another thread ends it early.
BOOL WINAPI FlushFileBuffers(HANDLE handle) {
    if (Object* console = Find(handle, Object::Kind::Console)) {
        if (console->stream) std::fflush(console->stream);
        return TRUE;
    }
    Object* file = FileOf(handle);
    if (!file) return Fail(ERROR_INVALID_HANDLE);
    Status status = Send(file, RequestKind::Flush, 0, nullptr, 0, nullptr, 0, nullptr, nullptr,
                         !file->overlapped, true, nullptr);
    return Succeeded(status) ? TRUE : Fail(ErrorOf(status));
}

BOOL WINAPI GetOverlappedResult(HANDLE file, LPOVERLAPPED ov, LPDWORD transferred, BOOL wait) {
    if (!FileOf(file)) return Fail(ERROR_INVALID_HANDLE);
    CatchUp();
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

// Events, threads (signalled when they end) and files (signalled when a
// request without an event of its own ends) can be waited on. No APC is
// ever queued, so an alertable wait never ends with WAIT_IO_COMPLETION.
DWORD WINAPI WaitForSingleObjectEx(HANDLE handle, DWORD milliseconds, BOOL) {
    Object* o = Find(handle);
    if (!o || !o->event) {
        LastError() = ERROR_INVALID_HANDLE;
        return WAIT_FAILED;
    }
    Status status = win32sim::WaitEvent(*o->event, Ticks(milliseconds));
    CatchUp();
    return status == win32sim::kStatusTimeout ? WAIT_TIMEOUT : WAIT_OBJECT_0;
}

DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    return WaitForSingleObjectEx(handle, milliseconds, FALSE);
}

DWORD WINAPI WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                                    DWORD milliseconds) {
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || !handles) {
        LastError() = ERROR_INVALID_PARAMETER;
        return WAIT_FAILED;
    }
    std::vector<win32sim::Event*> events;
    for (DWORD i = 0; i < count; ++i) {
        Object* o = Find(handles[i]);
        if (!o || !o->event) {
            LastError() = ERROR_INVALID_HANDLE;
            return WAIT_FAILED;
        }
        // Waiting for all of an object twice is refused.
        if (waitAll && std::find(events.begin(), events.end(), o->event.get()) != events.end()) {
            LastError() = ERROR_INVALID_PARAMETER;
            return WAIT_FAILED;
        }
        events.push_back(o->event.get());
    }
    size_t index = 0;
    Status status = win32sim::WaitEvents(events, waitAll != FALSE, Ticks(milliseconds), &index);
    CatchUp();
    if (status == win32sim::kStatusTimeout) return WAIT_TIMEOUT;
    return WAIT_OBJECT_0 + static_cast<DWORD>(index);
}

// A thread of the program is a simulated thread, named "thread N" in the
// trace and in deadlock reports. Starting one suspended is not supported.
HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE start,
                           LPVOID parameter, DWORD flags, LPDWORD threadId) {
    if (!start) {
        LastError() = ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    if (flags & CREATE_SUSPENDED) {
        LastError() = ERROR_NOT_SUPPORTED;
        return nullptr;
    }
    auto state = std::make_shared<ThreadState>();
    state->exited = win32sim::NewEvent(true, false);
    int id = win32sim::StartThread("thread " + std::to_string(++threadsCreated),
                                   [state, start, parameter] {
                                       DWORD code = start(parameter);
                                       state->exitCode = code;
                                       win32sim::SignalEnd(*state->exited);
                                   });
    auto* o = new Object;
    o->kind = Object::Kind::Thread;
    o->event = state->exited;
    o->thread = state;
    objects.insert(o);
    if (threadId) *threadId = static_cast<DWORD>(id + 1) * 4;
    return o;
}

BOOL WINAPI GetExitCodeThread(HANDLE thread, LPDWORD code) {
    Object* o = Find(thread, Object::Kind::Thread);
    if (!o) return Fail(ERROR_INVALID_HANDLE);
    if (!code) return Fail(ERROR_INVALID_PARAMETER);
    *code = o->thread->exitCode;
    return TRUE;
}

DWORD WINAPI GetCurrentThreadId(void) { return static_cast<DWORD>(win32sim::CurrentThread() + 1) * 4; }

void WINAPI Sleep(DWORD milliseconds) {
    win32sim::Delay(static_cast<uint64_t>(milliseconds == INFINITE ? 0 : milliseconds) * 10'000);
    CatchUp();
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
    DWORD error = LastError();
    Control(file, kSetBaudRate, &oldBaud, sizeof oldBaud);
    Control(file, kSetLineControl, &oldLc, sizeof oldLc);
    Control(file, kSetChars, &oldChars, sizeof oldChars);
    Control(file, kSetHandflow, &oldFlow, sizeof oldFlow);
    return Fail(error);
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

// The driver's error bits (SERIAL_ERROR_*) are not the CE_ values: each is
// reported as the CE_ value of the same meaning.
BOOL WINAPI ClearCommError(HANDLE file, LPDWORD errors, LPCOMSTAT stat) {
    SerialStatus status{};
    if (!Control(file, kGetCommStatus, nullptr, 0, &status, sizeof status)) return FALSE;
    static const struct { DWORD serial, ce; } kErrors[] = {
        {kErrorBreak, CE_BREAK}, {kErrorFraming, CE_FRAME}, {kErrorOverrun, CE_OVERRUN},
        {kErrorQueueOverrun, CE_RXOVER}, {kErrorParity, CE_RXPARITY}};
    if (errors) {
        *errors = 0;
        for (const auto& e : kErrors)
            if (status.Errors & e.serial) *errors |= e.ce;
    }
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

// The configuration a port's driver reports beyond the DCB: the driver
// answers IOCTL_SERIAL_CONFIG_SIZE with the size of its provider data (this
// driver: none); a driver that refuses the request has none either. A port
// without provider data gets a COMMCONFIG around its DCB. Provider data is
// not modelled: a driver that reports some is answered ERROR_NOT_SUPPORTED.
BOOL WINAPI GetCommConfig(HANDLE file, LPCOMMCONFIG config, LPDWORD size) {
    if (!FileOf(file)) return Fail(ERROR_INVALID_HANDLE);
    DWORD providerSize = 0, returned = 0;
    if (!Control(file, kConfigSize, nullptr, 0, &providerSize, sizeof providerSize, &returned) ||
        returned < sizeof providerSize)
        providerSize = 0;
    if (providerSize != 0) return Fail(ERROR_NOT_SUPPORTED);
    if (!CheckConfigSize(size)) return FALSE;
    if (!config) return Fail(ERROR_INVALID_PARAMETER);
    DCB dcb;
    if (!GetCommState(file, &dcb)) return FALSE;
    FillConfig(config, dcb, size);
    return TRUE;
}

// The DCB goes to SetCommState. Provider data goes to the driver first, in
// IOCTL_SERIAL_SET_COMMCONFIG; a driver that refuses it fails the call with
// its error and the settings stay as they were.
BOOL WINAPI SetCommConfig(HANDLE file, LPCOMMCONFIG config, DWORD size) {
    if (!FileOf(file)) return Fail(ERROR_INVALID_HANDLE);
    if (!config || size < sizeof(COMMCONFIG)) return Fail(ERROR_INVALID_PARAMETER);
    if (config->dwProviderSize != 0 && !Control(file, kSetCommConfig, config, size)) return FALSE;
    return SetCommState(file, &config->dcb);
}

// The default configuration of a port is its entry in the registry's Ports
// key ("115200,n,8,1", in the mode command's older form, as the port's
// driver writes it), without opening the port; a name with no entry fails
// with ERROR_FILE_NOT_FOUND.
BOOL WINAPI GetDefaultCommConfigA(LPCSTR name, LPCOMMCONFIG config, LPDWORD size) {
    if (!name || !size) return Fail(ERROR_INVALID_PARAMETER);
    std::string entry = win32sim::PortsEntry(name);
    if (entry.empty()) return Fail(ERROR_FILE_NOT_FOUND);
    if (!CheckConfigSize(size)) return FALSE;
    if (!config) return Fail(ERROR_INVALID_PARAMETER);
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    dcb.fBinary = TRUE;
    if (!BuildCommDCBA(entry.c_str(), &dcb)) return Fail(ERROR_FILE_NOT_FOUND);
    FillConfig(config, dcb, size);
    return TRUE;
}

BOOL WINAPI GetDefaultCommConfigW(LPCWSTR name, LPCOMMCONFIG config, LPDWORD size) {
    if (!name) return Fail(ERROR_INVALID_PARAMETER);
    return GetDefaultCommConfigA(Narrow(name).c_str(), config, size);
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
        LastError() = ERROR_FILE_NOT_FOUND;
        return 0;
    }
    size_t needed = 1;
    for (auto& s : items) needed += s.size() + 1;
    if (!target || needed > size) {
        LastError() = ERROR_INSUFFICIENT_BUFFER;
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

// The simulated PC's ANSI and OEM code pages are UTF-8 (code page 65001),
// as on Windows set to use UTF-8 for ANSI: CP_ACP, CP_OEMCP and CP_UTF8 all
// convert between UTF-8 and UTF-16.
UINT WINAPI GetACP(void) { return CP_UTF8; }

int WINAPI MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int length, LPWSTR out,
                               int outLength) {
    if (codePage != CP_ACP && codePage != CP_OEMCP && codePage != CP_UTF8) {
        LastError() = ERROR_INVALID_PARAMETER;
        return 0;
    }
    if (flags & ~DWORD{MB_ERR_INVALID_CHARS}) {
        LastError() = ERROR_INVALID_FLAGS;
        return 0;
    }
    if (!text || length == 0 || length < -1 || outLength < 0 || (outLength > 0 && !out)) {
        LastError() = ERROR_INVALID_PARAMETER;
        return 0;
    }
    size_t n = length == -1 ? std::strlen(text) + 1 : static_cast<size_t>(length);
    std::u16string wide;
    if (!FromUtf8(reinterpret_cast<const unsigned char*>(text), n, (flags & MB_ERR_INVALID_CHARS) != 0,
                  &wide)) {
        LastError() = ERROR_NO_UNICODE_TRANSLATION;
        return 0;
    }
    if (outLength == 0) return static_cast<int>(wide.size());
    if (wide.size() > static_cast<size_t>(outLength)) {
        LastError() = ERROR_INSUFFICIENT_BUFFER;
        return 0;
    }
    std::copy(wide.begin(), wide.end(), out);
    return static_cast<int>(wide.size());
}

int WINAPI WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR text, int length, LPSTR out,
                               int outLength, LPCSTR defaultChar, LPBOOL usedDefaultChar) {
    if (codePage != CP_ACP && codePage != CP_OEMCP && codePage != CP_UTF8) {
        LastError() = ERROR_INVALID_PARAMETER;
        return 0;
    }
    if (flags & ~DWORD{WC_ERR_INVALID_CHARS}) {
        LastError() = ERROR_INVALID_FLAGS;
        return 0;
    }
    // UTF-8 has a character for everything: no default character.
    if (!text || length == 0 || length < -1 || outLength < 0 || (outLength > 0 && !out) ||
        defaultChar || usedDefaultChar) {
        LastError() = ERROR_INVALID_PARAMETER;
        return 0;
    }
    size_t n = 0;
    if (length == -1) {
        while (text[n]) ++n;
        ++n;
    } else {
        n = static_cast<size_t>(length);
    }
    std::string narrow;
    if (!ToUtf8(text, n, (flags & WC_ERR_INVALID_CHARS) != 0, &narrow)) {
        LastError() = ERROR_NO_UNICODE_TRANSLATION;
        return 0;
    }
    if (outLength == 0) return static_cast<int>(narrow.size());
    if (narrow.size() > static_cast<size_t>(outLength)) {
        LastError() = ERROR_INSUFFICIENT_BUFFER;
        return 0;
    }
    std::memcpy(out, narrow.data(), narrow.size());
    return static_cast<int>(narrow.size());
}

HMODULE WINAPI GetModuleHandleA(LPCSTR name) {
    std::string module = name ? Lower(name) : "";
    if (module == "ntdll" || module == "ntdll.dll") return &ntdllModule;
    LastError() = ERROR_MOD_NOT_FOUND;
    return nullptr;
}

HMODULE WINAPI GetModuleHandleW(LPCWSTR name) {
    return GetModuleHandleA(name ? Narrow(name).c_str() : nullptr);
}

FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name) {
    // A name below 0x10000 is an ordinal; none is known.
    if (module == &ntdllModule && name && reinterpret_cast<ULONG_PTR>(name) >= 0x10000) {
        // Through void (*)(void), the type a function pointer is cast through.
        using Any = void (*)(void);
        if (std::strcmp(name, "NtReadFile") == 0)
            return reinterpret_cast<FARPROC>(reinterpret_cast<Any>(&NtReadFile));
        if (std::strcmp(name, "NtWriteFile") == 0)
            return reinterpret_cast<FARPROC>(reinterpret_cast<Any>(&NtWriteFile));
    }
    LastError() = module == &ntdllModule ? ERROR_PROC_NOT_FOUND : ERROR_MOD_NOT_FOUND;
    return nullptr;
}

}  // extern "C"
