// transfers.cpp - bulk and interrupt transfers: packets moved between a
// transfer and the chip, transfers finished on the bus delivered at their
// completion time, and the immediate timing's service of every data pipe.
#include "sim/usb/bus_internal.h"

namespace sim::usb::detail {

// Moves one packet of a transfer; `bytes` gets its size.
Step MovePacket(Device& d, const Pipe& pipe, Transfer& t, uint32_t* bytes) {
    const uint64_t now = Now();
    const uint32_t ask = std::min<uint32_t>(t.length - t.moved, pipe.maxPacket);
    uint8_t* at = t.buffer ? t.buffer + t.moved : nullptr;
    chip::TransferResult r;
    switch (pipe.endpoint) {
        case chip::kEndpointStatusIn:
            r = d.chip.StatusIn(now, at, ask);
            break;
        case chip::kEndpointBulkIn:
            r = d.chip.BulkIn(now, at, ask);
            break;
        case chip::kEndpointBulkOut:
            r = d.chip.BulkOut(now, at, ask);
            break;
        default:
            r = chip::TransferResult::Fail(USBD_STATUS_DEV_NOT_RESPONDING);
            break;
    }
    *bytes = 0;
    switch (r.outcome) {
        case chip::Outcome::Nak:
            return Step::Nak;
        case chip::Outcome::Hang:
            t.hung = true;
            return Step::Hang;
        case chip::Outcome::Failed:
            t.status = static_cast<USBD_STATUS>(r.status);
            return Step::Finished;
        case chip::Outcome::Done:
            break;
    }
    *bytes = r.length;
    t.moved += r.length;
    if (t.moved >= t.length) return Step::Finished;
    if (r.length < ask) {  // a short packet ends the transfer
        if (t.in && !t.shortOk) t.status = USBD_STATUS_DATA_UNDERRUN;
        return Step::Finished;
    }
    return Step::Packet;
}

namespace {

// Moves packets of one transfer until it ends or the chip holds it off.
// Returns true when the transfer is finished (status and count set).
bool Move(Device& d, const Pipe& pipe, Transfer& t) {
    for (;;) {
        uint32_t bytes;
        switch (MovePacket(d, pipe, t, &bytes)) {
            case Step::Packet:
                continue;
            case Step::Finished:
                return true;
            default:
                return false;
        }
    }
}

// Timed event: finished transfers whose last packet has ended complete.
void DeliverFinished(Device& d) {
    ReadyAbortList aborts;
    std::vector<Finished> done = TakeFinished(d, Now(), &aborts);
    ScheduleDelivery(d);
    CompleteAll(d, done);
    CompleteAborts(d, aborts);
}

}  // namespace

// Keeps one event on the clock at the earliest completion of a finished
// transfer.
void ScheduleDelivery(Device& d) {
    uint64_t first = 0;
    for (auto& pipe : d.pipes)
        for (auto& t : pipe->queue)
            if (t->finished && (!first || t->completeAt < first)) first = t->completeAt;
    if (d.doneEvent && (!first || d.doneEventTime != first)) {
        Sim().CancelEvent(d.doneEvent);
        d.doneEvent = 0;
    }
    if (!first || d.doneEvent) return;
    std::weak_ptr<UsbBus::Impl> bus = d.bus->self;
    Device* device = &d;
    d.doneEventTime = first;
    d.doneEvent = Sim().At(
        first,
        [bus, device, first] {
            auto alive = bus.lock();
            if (!alive) return;
            if (device->doneEventTime == first) device->doneEvent = 0;
            DeliverFinished(*device);
        },
        "usb transfer done");
}

// The bus owns a transfer whose last packet ends on the bus at `at`.
void FinishAt(Transfer& t, uint64_t at) {
    Claim(t.irp);
    t.finished = true;
    t.completeAt = at;
}

// Takes the finished transfers due by `upTo` out of their queues, in the
// order their packets ended, with the aborts that waited for them.
std::vector<Finished> TakeFinished(Device& d, uint64_t upTo, ReadyAbortList* aborts) {
    std::vector<Finished> done;
    for (auto& pipe : d.pipes) {
        bool took = false;
        for (size_t i = 0; i < pipe->queue.size();) {
            if (!pipe->queue[i]->finished || pipe->queue[i]->completeAt > upTo) {
                ++i;
                continue;
            }
            done.push_back({std::move(pipe->queue[i]), pipe.get()});
            pipe->queue.erase(pipe->queue.begin() + static_cast<ptrdiff_t>(i));
            took = true;
        }
        if (took && !pipe->aborts.empty()) {
            std::vector<AbortRequest> ready = ReadyAborts(*pipe);
            if (!ready.empty()) aborts->emplace_back(pipe.get(), std::move(ready));
        }
    }
    std::stable_sort(done.begin(), done.end(), [](const Finished& a, const Finished& b) {
        return a.transfer->completeAt != b.transfer->completeAt
                   ? a.transfer->completeAt < b.transfer->completeAt
                   : a.transfer->id < b.transfer->id;
    });
    return done;
}

// DPC: gives every data pipe's oldest live transfer its chance with the chip.
void Service(Device& d) {
    d.serviceQueued = false;
    if (!d.pdo) return;
    d.chip.AdvanceTo(Now());
    if (Frames(d)) {
        ServeFrame(*d.bus);
        return;
    }
    if (!d.Awake()) {
        Reschedule(d);
        return;
    }
    std::vector<Finished> finished;
    for (auto& pipe : d.pipes) {
        if (!pipe->current) continue;
        for (size_t i = 0; i < pipe->queue.size();) {
            Transfer& t = *pipe->queue[i];
            if (t.aborted || !t.irp->CancelRoutine) {  // another path completes it
                ++i;
                continue;
            }
            if (t.hung || !Move(d, *pipe, t)) break;
            Claim(t.irp);
            finished.push_back({std::move(pipe->queue[i]), pipe.get()});
            pipe->queue.erase(pipe->queue.begin() + static_cast<ptrdiff_t>(i));
        }
    }
    Reschedule(d);
    CompleteAll(d, finished);
}

}  // namespace sim::usb::detail
