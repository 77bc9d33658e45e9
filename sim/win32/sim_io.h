// sim_io.h - the narrow bridge between the Windows API layer (api.cpp, which
// sees only sim/win32/windows.h) and the simulated kernel (sim_io.cpp, which
// sees only the kernel's headers). Plain types only, so that neither side's
// names reach the other. NT status values travel as int32_t.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace win32sim {

using Status = int32_t;
inline constexpr Status kStatusSuccess = 0;
inline constexpr Status kStatusTimeout = 0x00000102;
inline constexpr Status kStatusPending = 0x00000103;
inline constexpr Status kStatusInvalidHandle = static_cast<Status>(0xC0000008);
inline constexpr Status kStatusCancelled = static_cast<Status>(0xC0000120);

enum class RequestKind { Open, Read, Write, Control, Flush, Close };

// One request as the I/O manager sent it, and its end: what the serial
// monitor (bridgesim trace) shows.
struct RequestRecord {
    uint64_t id = 0;          // issue order
    RequestKind kind = RequestKind::Read;
    std::string port;         // the name opened
    uint32_t code = 0;        // device control code
    std::vector<uint8_t> input;
    uint32_t length = 0;      // read length or output buffer length
    uint64_t issueTime = 0;   // virtual, 100 ns
    std::string thread;
    // Filled at completion.
    Status status = kStatusPending;
    uint32_t information = 0;
    std::vector<uint8_t> output;  // bytes returned to the caller
    uint64_t endTime = 0;
};

// Receives every request on issue and at its end.
class RequestMonitor {
  public:
    virtual ~RequestMonitor() = default;
    virtual void Issued(const RequestRecord& record) = 0;
    virtual void Ended(const RequestRecord& record) = 0;
};
// The monitor of the running simulation (nullptr: none).
void SetMonitor(RequestMonitor* monitor);

// A request in flight or ended.
struct Op;
using OpPtr = std::shared_ptr<Op>;

Status Open(const std::string& name, int* handle);
Status Close(int handle);
// Issues a request; *op is set whatever happens. Returns STATUS_PENDING or
// the final status.
Status Issue(int handle, RequestKind kind, uint32_t code, const void* input, uint32_t inputLength,
             void* output, uint32_t outputLength, OpPtr* op);
bool Done(const Op& op);
Status OpStatus(const Op& op);
uint32_t OpInformation(const Op& op);
// Waits for the request's end (timeout in 100 ns units, -1: none); returns
// its status, or kStatusTimeout.
Status Wait(const OpPtr& op, int64_t timeout);
// Runs fn on a simulated thread of its own as soon as the request has ended.
void WhenDone(const OpPtr& op, std::function<void()> fn);
// Cancels one request still in the driver; false when it has ended already.
bool Cancel(const OpPtr& op);
// Cancels the handle's requests still in the driver: those the calling
// thread issued (CancelIo), or all of them (CancelIoEx without an OVERLAPPED).
void CancelAll(int handle, bool everyThread);

// Dispatcher events of the simulation. Every object an application can
// wait on (event, thread, file) is one of these.
struct Event;
using EventPtr = std::shared_ptr<Event>;
EventPtr NewEvent(bool manualReset, bool initialState);
void SetEvent(Event& event);
// Sets the event as the I/O manager does at a request's end: no scheduling
// point, so that whoever records the end and signals it does both in one step.
void SignalEnd(Event& event);
void ResetEvent(Event& event);
// Clears the event as the I/O manager clears a file's event when it takes
// a request: no scheduling point.
void ClearAtIssue(Event& event);
Status WaitEvent(Event& event, int64_t timeout);
// Waits until one of the events (all of them, when `all`) is signalled,
// taking the signal of each auto-reset event the wait is satisfied by, as
// KeWaitForMultipleObjects does; *index is the first signalled one (0 when
// `all`). Returns kStatusSuccess or kStatusTimeout.
Status WaitEvents(const std::vector<Event*>& events, bool all, int64_t timeout, size_t* index);

// Threads of the application: simulated threads under the scheduler.
int StartThread(const std::string& name, std::function<void()> body);
int CurrentThread();

void Delay(uint64_t ticks);
uint64_t Now();
// \DosDevices names and their targets, in name order.
std::vector<std::pair<std::string, std::string>> DosDevices();
// The port's entry under ...\Windows NT\CurrentVersion\Ports ("COM3:" =
// "115200,n,8,1"), empty when there is none.
std::string PortsEntry(const std::string& port);

}  // namespace win32sim

namespace win32sim {
// Defined by the API layer (api.cpp): forget every handle and request of a
// previous run, and close what an application left open when it ends, as
// Windows closes a process's handles at its exit.
void ResetApiState();
void CloseLeftoverHandles();
}  // namespace win32sim
