// frames.cpp - the bus on the virtual clock: the chip's wake-ups, the
// frame events of full-speed timing, and the frame itself as the host
// controller serves it (the default pipe's transfers run on events of
// their own: default_pipe.cpp).
#include "sim/usb/bus_internal.h"

namespace sim::usb::detail {

// Runs fn in a DPC soon, unless the bus is gone by then.
void DeferOn(Device& d, const char* what, void (*fn)(Device&)) {
    std::weak_ptr<UsbBus::Impl> bus = d.bus->self;
    Device* device = &d;
    Sim().Defer(
        [bus, device, fn] {
            if (auto alive = bus.lock()) fn(*device);
        },
        what);
}

void RequestService(Device& d) {
    if (d.serviceQueued || !d.pdo) return;
    d.serviceQueued = true;
    DeferOn(d, "usb service", Service);
}

// The next time a frame must be served for this device, or 0 when no held
// transfer waits for one: transfers the chip NAKed wait for the chip's
// wake-up instead, hung ones for their cancellation.
uint64_t NextFrameNeeded(Device& d) {
    if (!d.Awake() || !Frames(d)) return 0;
    // The current frame while its start has not been served yet (a frame
    // event due now), else the next one.
    const uint64_t now = Now();
    uint64_t next = now / kFrameTicks + 1;
    if (now % kFrameTicks == 0 && d.bus->servedStart != now / kFrameTicks) --next;
    uint64_t best = 0;
    for (auto& pipe : d.pipes) {
        if (!pipe->current || pipe->nakWait) continue;
        const Transfer* t = FrontLive(*pipe);
        if (!t) continue;
        const uint64_t eligible = std::max(next, FirstFrame(*d.bus, *pipe, *t));
        const uint64_t frame =
            pipe->type == UsbdPipeTypeInterrupt ? DueFrame(*pipe, eligible) : eligible;
        if (!best || frame < best) best = frame;
    }
    return best * kFrameTicks;
}

// Keeps one frame event on the clock at the next frame a held transfer of
// any device on the bus waits for, none when no transfer does.
void ScheduleFrames(UsbBus::Impl& bus) {
    uint64_t frameAt = 0;
    for (auto& d : bus.devices) {
        const uint64_t at = NextFrameNeeded(*d);
        if (at && (!frameAt || at < frameAt)) frameAt = at;
    }
    if (bus.frameEvent && (!frameAt || bus.frameEventTime != frameAt)) {
        Sim().CancelEvent(bus.frameEvent);
        bus.frameEvent = 0;
    }
    if (!frameAt || bus.frameEvent) return;
    std::weak_ptr<UsbBus::Impl> weak = bus.self;
    bus.frameEventTime = frameAt;
    bus.frameEvent = Sim().At(
        frameAt,
        [weak, frameAt] {
            auto alive = weak.lock();
            if (!alive) return;
            if (alive->frameEventTime == frameAt) alive->frameEvent = 0;
            ServeFrame(*alive);
        },
        "usb frame");
}

// Keeps one wake-up on the clock at the chip's next event, none when the
// chip and its far end have nothing coming; under frame timing also the
// bus's frame event.
void Reschedule(Device& d) {
    if (Frames(d)) ScheduleFrames(*d.bus);
    uint64_t next = d.pdo ? d.chip.NextEventTime() : chip::kNever;
    if (next == chip::kNever) {
        if (d.wakeEvent) Sim().CancelEvent(d.wakeEvent);
        d.wakeEvent = 0;
        return;
    }
    next = std::max(next, Now() + 1);
    if (d.wakeEvent && d.wakeTime == next) return;
    if (d.wakeEvent) Sim().CancelEvent(d.wakeEvent);
    std::weak_ptr<UsbBus::Impl> bus = d.bus->self;
    Device* device = &d;
    uint64_t token = ++d.wakeToken;
    d.wakeTime = next;
    d.wakeEvent = Sim().At(
        next,
        [bus, device, token] {
            auto alive = bus.lock();
            if (!alive) return;
            if (device->wakeToken == token) device->wakeEvent = 0;
            Service(*device);
        },
        "usb chip wake-up");
}

// Frame timing: serves what the current moment of the current frame allows,
// for every device on the bus. At a frame's start: the interrupt endpoints
// that are due (each device's control transfer of the frame runs on its own
// event, placed first). Then, at any moment, the bulk endpoints of all
// devices in turn, one packet each, within the frame's budget. DPC.
void ServeFrame(UsbBus::Impl& bus) {
    const uint64_t now = Now();
    const uint64_t frame = now / kFrameTicks;
    const uint64_t start = frame * kFrameTicks, end = start + kFrameTicks;
    if (bus.frame != frame) {
        bus.frame = frame;
        bus.busAt = start + Ticks(kSofBits);
        bus.bulkPackets = 0;
    }
    for (auto& d : bus.devices) {
        if (!d->pdo) continue;
        d->serviceQueued = false;
        d->chip.AdvanceTo(now);
        if (d->controlActive && d->controlEnd > start && d->controlEnd <= end)
            bus.busAt = std::max(bus.busAt, d->controlEnd);  // control transfers come first
    }
    bus.busAt = std::max(bus.busAt, now);
    std::vector<Device*> delivered;
    auto account = [&](Device& d, Transfer& t, Step step, uint32_t bytes) {
        if (step == Step::Nak || step == Step::Hang) return;
        bus.busAt += Ticks(TransactionBits(bytes));
        if (step == Step::Finished) {
            FinishAt(t, bus.busAt + (Xhci(bus) ? bus.options.turnaround : 0));
            delivered.push_back(&d);
        }
    };
    if (now == start) {
        bus.servedStart = frame;
        for (auto& d : bus.devices) {
            if (!d->Awake()) continue;
            for (auto& pipe : d->pipes) {
                if (!pipe->current || pipe->type != UsbdPipeTypeInterrupt || pipe->nakWait)
                    continue;
                Transfer* t = FrontLive(*pipe);
                if (!t || t->submitFrame >= frame || pipe->lastPoll == frame ||
                    DueFrame(*pipe, frame) != frame)
                    continue;
                pipe->lastPoll = frame;
                uint32_t bytes;
                Step step = MovePacket(*d, *pipe, *t, &bytes);
                if (step == Step::Nak) pipe->nakWait = true;
                account(*d, *t, step, bytes);
            }
        }
    }
    bool full = false;
    for (bool progress = true; progress && !full;) {
        progress = false;
        for (auto& d : bus.devices) {
            if (!d->Awake() || full) continue;
            for (auto& pipe : d->pipes) {
                if (!pipe->current || pipe->type != UsbdPipeTypeBulk || pipe->nakWait) continue;
                Transfer* t = FrontLive(*pipe);
                if (!t || FirstFrame(bus, *pipe, *t) > frame) continue;
                if (bus.bulkPackets >= kBulkPacketsPerFrame ||
                    bus.busAt + Ticks(TransactionBits(pipe->maxPacket)) > end) {
                    full = true;  // the rest waits for the next frame
                    break;
                }
                uint32_t bytes;
                Step step = MovePacket(*d, *pipe, *t, &bytes);
                if (step == Step::Nak) pipe->nakWait = true;
                if (step == Step::Packet || step == Step::Finished) {
                    ++bus.bulkPackets;
                    progress = true;
                }
                account(*d, *t, step, bytes);
            }
        }
    }
    for (Device* d : delivered) ScheduleDelivery(*d);
    for (auto& d : bus.devices) Reschedule(*d);
}

}  // namespace sim::usb::detail
