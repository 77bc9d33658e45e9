// cancellation.cpp - how a request is held and taken back: the bus's
// cancel routine, a flush of everything held (removal), and the aborts of a
// pipe.
#include "sim/usb/bus_internal.h"

namespace sim::usb::detail {

namespace {

// When a bulk or interrupt transfer cancelled now completes: at the start
// of the next frame, or of a later one up to cancelExtraFrames on (seeded).
uint64_t CancelCompletionTime(Device& d) {
    const uint32_t extra = d.bus->options.cancelExtraFrames;
    const uint64_t later = extra ? Sim().Random() % (extra + 1) : 0;
    return (Now() / kFrameTicks + 1 + later) * kFrameTicks;
}

// Cancel routine of every request the bus holds. Runs with the cancel spin
// lock held and releases it first. A control request is taken out of its
// queue and completed cancelled at once; a data transfer is marked finished
// with USBD_STATUS_CANCELED and completes when the endpoint has stopped
// (CancelCompletionTime).
VOID CancelHeldRequest(PDEVICE_OBJECT pdo, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Device& d = *DeviceOf(pdo);
    TransferPtr t;
    Pipe* where = nullptr;
    for (auto it = d.control.begin(); it != d.control.end() && !t; ++it) {
        if ((*it)->irp != irp) continue;
        if (it->get() == d.controlActive) {
            if (d.controlEvent) Sim().CancelEvent(d.controlEvent);
            d.controlEvent = 0;
            d.controlActive = nullptr;
        }
        t = std::move(*it);
        d.control.erase(it);
        break;
    }
    for (auto& pipe : d.pipes) {
        if (t) break;
        for (auto it = pipe->queue.begin(); it != pipe->queue.end(); ++it) {
            if ((*it)->irp != irp) continue;
            // The host controller takes the transfer off the endpoint first;
            // it completes from the frame after that, with the pipe's aborts
            // behind it.
            Transfer& cancelled = **it;
            cancelled.status = USBD_STATUS_CANCELED;
            cancelled.finished = true;
            cancelled.completeAt = CancelCompletionTime(d);
            ScheduleDelivery(d);
            RequestService(d);  // the transfers behind it may move
            return;
        }
    }
    if (!t) Sim().Fail("usb bus: cancel routine ran for a request it does not hold");
    t->status = USBD_STATUS_CANCELED;
    std::vector<AbortRequest> aborts = where ? ReadyAborts(*where) : std::vector<AbortRequest>{};
    StartControl(d);
    Reschedule(d);
    RequestService(d);  // a cancelled transfer may have held up the ones behind it
    Complete(d, std::move(t), where);
    if (where) CompleteAborts(d, *where, aborts);
}

}  // namespace

// Queues a request the bus will complete later and sets its cancel routine.
// A request cancelled before it got here completes cancelled at once. The
// trace shows `submitText` for the submission when given.
// Returns STATUS_PENDING (the request is marked pending).
NTSTATUS Hold(Device& d, TransferPtr t, Pipe* pipe, const std::string* submitText) {
    PIRP irp = t->irp;
    t->submitTime = Now();
    t->submitFrame = t->submitTime / kFrameTicks;
    t->submitSeq = ++d.bus->eventSeq;
    t->submitIrql = KeGetCurrentIrql();
    CaptureSubmit(d, *t, pipe);
    TRACE_URB(Format("#%llu submit ", static_cast<unsigned long long>(t->id)) +
              (submitText ? *submitText : t->what));
    IoMarkIrpPending(irp);
    if (t->urb) t->urb->UrbHeader.Status = USBD_STATUS_PENDING;
    irp->CancelRoutine = CancelHeldRequest;
    if (irp->Cancel) {
        irp->CancelRoutine = nullptr;
        t->status = USBD_STATUS_CANCELED;
        Complete(d, std::move(t), pipe);
        return STATUS_PENDING;
    }
    if (pipe) {
        pipe->queue.push_back(std::move(t));
        RequestService(d);
    } else {
        d.control.push_back(std::move(t));
        StartControl(d);
    }
    return STATUS_PENDING;
}

// Takes every held request the bus can claim out of its queue, with the
// given status; requests being cancelled stay for their cancel routines.
std::vector<Finished> ClaimEverything(Device& d, USBD_STATUS status) {
    std::vector<Finished> claimed;
    for (size_t i = 0; i < d.control.size();) {
        Transfer* t = d.control[i].get();
        if (!Claim(t->irp)) {
            ++i;
            continue;
        }
        if (t == d.controlActive) {
            if (d.controlEvent) Sim().CancelEvent(d.controlEvent);
            d.controlEvent = 0;
            d.controlActive = nullptr;
        }
        t->status = status;
        claimed.push_back({std::move(d.control[i]), nullptr});
        d.control.erase(d.control.begin() + static_cast<ptrdiff_t>(i));
    }
    for (auto& pipe : d.pipes) {
        for (size_t i = 0; i < pipe->queue.size();) {
            if (!Claim(pipe->queue[i]->irp)) {
                ++i;
                continue;
            }
            pipe->queue[i]->status = status;
            claimed.push_back({std::move(pipe->queue[i]), pipe.get()});
            pipe->queue.erase(pipe->queue.begin() + static_cast<ptrdiff_t>(i));
        }
    }
    return claimed;
}

// Completes the transfers finished on the bus at once, then everything held
// with `status`, then the aborts that were waiting for it. Runs in the
// caller's context.
void Flush(Device& d, USBD_STATUS status) {
    ReadyAbortList early;  // aborts that waited only for finished transfers
    std::vector<Finished> done = TakeFinished(d, ~0ull, &early);
    std::vector<Finished> claimed = ClaimEverything(d, status);
    ReadyAbortList aborts = CollectReadyAborts(d);
    StartControl(d);
    ScheduleDelivery(d);
    Reschedule(d);
    CompleteAll(d, done);
    CompleteAll(d, claimed);
    CompleteAborts(d, early);
    CompleteAborts(d, aborts);
}

// DPC: the aborts of every pipe take their victims.
void ProcessAborts(Device& d) {
    std::vector<Finished> claimed;
    for (auto& pipe : d.pipes) {
        if (pipe->aborts.empty()) continue;
        for (size_t i = 0; i < pipe->queue.size();) {
            Transfer& t = *pipe->queue[i];
            if (!t.aborted || !Claim(t.irp)) {
                ++i;
                continue;
            }
            t.status = USBD_STATUS_CANCELED;
            claimed.push_back({std::move(pipe->queue[i]), pipe.get()});
            pipe->queue.erase(pipe->queue.begin() + static_cast<ptrdiff_t>(i));
        }
    }
    ReadyAbortList aborts = CollectReadyAborts(d);
    CompleteAll(d, claimed);
    CompleteAborts(d, aborts);
    RequestService(d);  // transfers queued behind the aborted ones may move now
}

}  // namespace sim::usb::detail
