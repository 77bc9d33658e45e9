// sim_io.cpp - the Windows API layer's way into the simulated kernel: opens,
// requests and their ends through the I/O manager's user-mode side
// (sim::UserIo), one-request cancellation, dispatcher events and the clock.
// Everything runs on the calling simulated thread at PASSIVE_LEVEL.
#include "sim/win32/sim_io.h"

#include <algorithm>
#include <cstring>

#include "sim/kernel/internal.h"
#include "sim/kernel/sim.h"

namespace win32sim {

struct Op {
    sim::Overlapped ov;
    RequestRecord record;
    const uint8_t* output = nullptr;  // the caller's buffer, filled at completion
    bool reported = false;            // the monitor has seen its end
};

struct Event {
    KEVENT event{};
    bool manualReset = false;
    // Waker events of the threads waiting on this one among others
    // (WaitEvents), set whenever this one is.
    std::vector<PKEVENT> watchers;
};

namespace {

RequestMonitor* monitor = nullptr;
uint64_t nextRequestId = 0;

std::string ThreadName() {
    sim::Simulation& s = sim::Simulation::Current();
    return s.ThreadName(s.CurrentThread());
}

RequestRecord NewRecord(RequestKind kind) {
    RequestRecord r;
    r.id = ++nextRequestId;
    r.kind = kind;
    r.issueTime = sim::Simulation::Current().Now();
    r.thread = ThreadName();
    return r;
}

// Tells the monitor once that the request has ended, with the bytes that
// went back to the caller.
void Report(Op& op) {
    if (op.reported || !op.ov.done) return;
    op.reported = true;
    op.record.status = op.ov.iosb.Status;
    op.record.information = static_cast<uint32_t>(op.ov.iosb.Information);
    op.record.endTime = sim::Simulation::Current().Now();
    bool error = (static_cast<uint32_t>(op.record.status) >> 30) == 3;
    if (op.output && !error && op.record.kind != RequestKind::Write) {
        uint32_t n = std::min(op.record.information, op.record.length);
        op.record.output.assign(op.output, op.output + n);
    }
    if (monitor) monitor->Ended(op.record);
}

}  // namespace

void SetMonitor(RequestMonitor* m) {
    monitor = m;
    nextRequestId = 0;
}

Status Open(const std::string& name, int* handle) {
    RequestRecord r = NewRecord(RequestKind::Open);
    r.port = name;
    if (monitor) monitor->Issued(r);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    *handle = sim::Simulation::Current().io().Open(name, &status);
    r.status = status;
    r.endTime = sim::Simulation::Current().Now();
    if (monitor) monitor->Ended(r);
    return status;
}

Status Close(int handle) {
    RequestRecord r = NewRecord(RequestKind::Close);
    if (monitor) monitor->Issued(r);
    NTSTATUS status = sim::Simulation::Current().io().Close(handle);
    r.status = status;
    r.endTime = sim::Simulation::Current().Now();
    if (monitor) monitor->Ended(r);
    return status;
}

Status Issue(int handle, RequestKind kind, uint32_t code, const void* input, uint32_t inputLength,
             void* output, uint32_t outputLength, OpPtr* result) {
    auto op = std::make_shared<Op>();
    *result = op;
    op->record = NewRecord(kind);
    op->record.code = code;
    if (input && inputLength) {
        auto* bytes = static_cast<const uint8_t*>(input);
        op->record.input.assign(bytes, bytes + inputLength);
    }
    op->record.length = kind == RequestKind::Write ? inputLength : outputLength;
    op->output = static_cast<const uint8_t*>(output);
    if (monitor) monitor->Issued(op->record);
    sim::UserIo& io = sim::Simulation::Current().io();
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    switch (kind) {
        case RequestKind::Read:
            status = io.ReadAsync(handle, output, outputLength, &op->ov);
            break;
        case RequestKind::Write:
            status = io.WriteAsync(handle, input, inputLength, &op->ov);
            break;
        case RequestKind::Control:
            status = io.DeviceIoControlAsync(handle, code, input, inputLength, output,
                                             outputLength, &op->ov);
            break;
        case RequestKind::Flush:
            status = io.FlushAsync(handle, &op->ov);
            break;
        default:
            break;
    }
    if (status != STATUS_PENDING && !op->ov.done) {
        // Refused before it reached the driver (a closed handle).
        op->ov.done = true;
        op->ov.iosb.Status = status;
        op->ov.iosb.Information = 0;
    }
    Report(*op);
    return status;
}

bool Done(const Op& op) { return op.ov.done; }
Status OpStatus(const Op& op) { return op.ov.done ? op.ov.iosb.Status : kStatusPending; }
uint32_t OpInformation(const Op& op) {
    return op.ov.done ? static_cast<uint32_t>(op.ov.iosb.Information) : 0;
}

Status Wait(const OpPtr& op, int64_t timeout) {
    if (!op->ov.done) {
        NTSTATUS s = sim::Simulation::Current().io().Wait(&op->ov, timeout);
        if (s == STATUS_TIMEOUT && !op->ov.done) return kStatusTimeout;
    }
    Report(*op);
    return op->ov.iosb.Status;
}

void WhenDone(const OpPtr& op, std::function<void()> fn) {
    if (op->ov.done) {
        Report(*op);
        fn();
        return;
    }
    sim::Simulation::Current().StartThread("I/O completion", [op, fn] {
        Wait(op, -1);
        fn();
    });
}

bool Cancel(const OpPtr& op) {
    sim::KernelPoint("CancelIoEx");
    if (op->ov.done || op->ov.irp == nullptr) return false;
    SIM_TRACE("USER", "CancelIoEx one request");
    sim::CancelIrpInternal(op->ov.irp);
    return true;
}

void CancelAll(int handle, bool everyThread) {
    if (everyThread) sim::Simulation::Current().io().CancelIoEx(handle);
    else sim::Simulation::Current().io().CancelIo(handle);
}

EventPtr NewEvent(bool manualReset, bool initialState) {
    auto e = std::make_shared<Event>();
    e->manualReset = manualReset;
    KeInitializeEvent(&e->event, manualReset ? NotificationEvent : SynchronizationEvent,
                      initialState ? TRUE : FALSE);
    return e;
}

namespace {

// Wakes the threads waiting on the event among others. No scheduling point:
// it follows the signal in the same step.
void WakeWatchers(Event& e) {
    for (PKEVENT waker : e.watchers) sim::SetEventInternal(waker);
}

}  // namespace

void SetEvent(Event& e) {
    KeSetEvent(&e.event, 0, FALSE);
    WakeWatchers(e);
}

void SignalEnd(Event& e) {
    sim::SetEventInternal(&e.event);
    WakeWatchers(e);
}

void ResetEvent(Event& e) { KeClearEvent(&e.event); }
void ClearAtIssue(Event& e) { e.event.Header.SignalState = 0; }

Status WaitEvent(Event& e, int64_t timeout) {
    LARGE_INTEGER relative;
    relative.QuadPart = -timeout;
    return KeWaitForSingleObject(&e.event, UserRequest, UserMode, FALSE,
                                 timeout < 0 ? nullptr : &relative);
}

// The simulated kernel waits on one object at a time, so a wait on several
// is a loop: look at every event (plain reads, no scheduling point, so that
// looking and taking a signal are one step), and when the wait is not
// satisfied, register a waker with each event and block on it until one of
// them is set or the time is up. A thread blocked on an event itself
// (WaitEvent) is served by the kernel first; this one then finds the
// auto-reset event taken and waits again, as it would on Windows.
Status WaitEvents(const std::vector<Event*>& events, bool all, int64_t timeout, size_t* index) {
    sim::KernelPoint("WaitForMultipleObjects");
    sim::Simulation& s = sim::Simulation::Current();
    const uint64_t deadline = timeout < 0 ? UINT64_MAX : s.Now() + static_cast<uint64_t>(timeout);
    KEVENT waker;
    KeInitializeEvent(&waker, SynchronizationEvent, FALSE);
    auto signalled = [](const Event* e) { return e->event.Header.SignalState > 0; };
    auto take = [](Event* e) {
        if (!e->manualReset) e->event.Header.SignalState = 0;
    };
    for (;;) {
        if (all) {
            if (std::all_of(events.begin(), events.end(), signalled)) {
                for (Event* e : events) take(e);
                *index = 0;
                return kStatusSuccess;
            }
        } else {
            for (size_t i = 0; i < events.size(); ++i) {
                if (signalled(events[i])) {
                    take(events[i]);
                    *index = i;
                    return kStatusSuccess;
                }
            }
        }
        uint64_t now = s.Now();
        if (now >= deadline) return kStatusTimeout;
        for (Event* e : events) e->watchers.push_back(&waker);
        LARGE_INTEGER relative;
        relative.QuadPart = -static_cast<LONGLONG>(deadline - now);
        KeWaitForSingleObject(&waker, UserRequest, UserMode, FALSE,
                              timeout < 0 ? nullptr : &relative);
        for (Event* e : events) {
            auto& w = e->watchers;
            w.erase(std::find(w.begin(), w.end(), &waker));
        }
    }
}

int StartThread(const std::string& name, std::function<void()> body) {
    return sim::Simulation::Current().StartThread(name, std::move(body));
}

int CurrentThread() { return sim::Simulation::Current().CurrentThread(); }

void Delay(uint64_t ticks) {
    LARGE_INTEGER relative;
    relative.QuadPart = -static_cast<LONGLONG>(ticks);
    KeDelayExecutionThread(UserMode, FALSE, &relative);
}

uint64_t Now() { return sim::Simulation::Current().Now(); }

std::vector<std::pair<std::string, std::string>> DosDevices() {
    sim::Simulation& s = sim::Simulation::Current();
    std::vector<std::pair<std::string, std::string>> out;
    const std::string prefix = "\\DosDevices\\";
    for (const std::string& link : s.objects().SymbolicLinks()) {
        if (link.size() <= prefix.size()) continue;
        bool match = true;
        for (size_t i = 0; i < prefix.size() && match; ++i)
            match = std::tolower(static_cast<unsigned char>(link[i])) ==
                    std::tolower(static_cast<unsigned char>(prefix[i]));
        if (match) out.emplace_back(link.substr(prefix.size()), s.objects().LinkTarget(link).value_or(""));
    }
    return out;
}

}  // namespace win32sim

namespace win32sim {

std::string PortsEntry(const std::string& port) {
    auto value = sim::Simulation::Current().registry().GetValue(sim::kPortsPath, port + ":");
    return value ? value->AsString() : std::string();
}

}  // namespace win32sim
