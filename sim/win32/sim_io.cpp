// sim_io.cpp - the Windows API layer's way into the simulated kernel: opens,
// requests and their ends through the I/O manager's user-mode side
// (sim::UserIo), one-request cancellation, dispatcher events and the clock.
// Everything runs on the calling simulated thread at PASSIVE_LEVEL.
#include "sim/win32/sim_io.h"

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
    KeInitializeEvent(&e->event, manualReset ? NotificationEvent : SynchronizationEvent,
                      initialState ? TRUE : FALSE);
    return e;
}

void SetEvent(Event& e) { KeSetEvent(&e.event, 0, FALSE); }
void SignalEnd(Event& e) { sim::SetEventInternal(&e.event); }
void ResetEvent(Event& e) { KeClearEvent(&e.event); }

Status WaitEvent(Event& e, int64_t timeout) {
    LARGE_INTEGER relative;
    relative.QuadPart = -timeout;
    return KeWaitForSingleObject(&e.event, UserRequest, UserMode, FALSE,
                                 timeout < 0 ? nullptr : &relative);
}

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
