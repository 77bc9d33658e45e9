// default_pipe.cpp - the default pipe: control transfers one at a time in
// order of submission, configuration selection (the pipes it opens and
// closes) and port resets.
#include <cstring>

#include "sim/usb/bus_internal.h"

namespace sim::usb::detail {

namespace {

void FinishControl(Device& d);

// Bus time of a control transfer: setup, data stage packets, status stage.
// Nothing for a host-side pipe operation.
uint64_t ControlBits(const Transfer& t) {
    if (t.work == Work::HostOnly) return 0;
    uint64_t bits = TransactionBits(8) + TransactionBits(0);
    for (uint32_t left = t.length; left;) {
        const uint32_t packet = std::min<uint32_t>(left, chip::kControlMaxPacket);
        bits += TransactionBits(packet);
        left -= packet;
    }
    return bits;
}

// When the front request of the default pipe, starting now, ends: a port
// reset after its latency; under frame timing a control transfer first in
// the next frame, when its last stage ends on the bus; else after the
// control latency.
uint64_t ControlEndTime(const Device& d, const Transfer& t) {
    const UsbBusOptions& o = d.bus->options;
    if (t.work == Work::Reset) return Now() + o.resetLatency;
    if (!Frames(d)) return Now() + o.controlLatency;
    const uint64_t start = (Now() / kFrameTicks + 1) * kFrameTicks;
    return start + Ticks(kSofBits + ControlBits(t));
}

}  // namespace

// Starts the front request of the default pipe when none is running.
void StartControl(Device& d) {
    if (d.controlActive || d.control.empty() || !d.Awake()) return;
    Transfer* t = d.control.front().get();
    d.controlActive = t;
    d.controlEnd = ControlEndTime(d, *t);
    std::weak_ptr<UsbBus::Impl> bus = d.bus->self;
    Device* device = &d;
    const uint64_t id = t->id;
    d.controlEvent = Sim().At(
        d.controlEnd,
        [bus, device, id] {
            // A request cancelled after its event fired leaves a stale DPC
            // behind; it must not finish the request that runs now.
            auto alive = bus.lock();
            if (alive && device->controlActive && device->controlActive->id == id)
                FinishControl(*device);
        },
        "usb control transfer");
}

namespace {

// Sends the restoring requests of a port reset: address, then configuration.
USBD_STATUS RestoreAfterReset(Device& d, uint64_t now) {
    chip::TransferResult r =
        d.chip.Control(now, {0x00, chip::kSetAddress, d.address, 0, 0}, nullptr, 0);
    if (r.outcome == chip::Outcome::Done && d.configuration)
        r = d.chip.Control(now, {0x00, chip::kSetConfiguration, d.configuration, 0, 0}, nullptr, 0);
    if (r.outcome == chip::Outcome::Done) return USBD_STATUS_SUCCESS;
    return r.outcome == chip::Outcome::Failed ? static_cast<USBD_STATUS>(r.status)
                                              : USBD_STATUS_DEV_NOT_RESPONDING;
}

// Handles: never null, distinct per device and per selection, so that a
// handle of an earlier selection is recognisably stale.
PVOID MakeHandle(const Device& d, uint32_t selection, uint32_t slot) {
    return reinterpret_cast<PVOID>((static_cast<uintptr_t>(d.number) << 32) |
                                   (static_cast<uintptr_t>(selection) << 8) | slot);
}

// Installs the pipes of a selection (or none, for a deconfiguration) and
// fills the caller's interface information. Every transfer of the old pipes
// that the bus can claim is returned, cancelled.
std::vector<Finished> ApplySelection(Device& d, Transfer& t) {
    std::vector<Finished> victims;
    for (auto& pipe : d.pipes) {
        if (!pipe->current) continue;
        pipe->current = false;
        for (size_t i = 0; i < pipe->queue.size();) {
            if (!Claim(pipe->queue[i]->irp)) {
                ++i;
                continue;
            }
            pipe->queue[i]->status = USBD_STATUS_CANCELED;
            victims.push_back({std::move(pipe->queue[i]), pipe.get()});
            pipe->queue.erase(pipe->queue.begin() + static_cast<ptrdiff_t>(i));
        }
    }
    d.configuration = t.configurationValue;
    if (!t.configurationValue) {
        t.urb->UrbSelectConfiguration.ConfigurationHandle = nullptr;
        return victims;
    }
    const uint32_t selection = ++d.selections;
    t.urb->UrbSelectConfiguration.ConfigurationHandle = MakeHandle(d, selection, 0);
    uint32_t slot = 0;
    for (size_t i = 0; i < t.plan.size(); ++i) {
        InterfacePlan& plan = t.plan[i];
        PUSBD_INTERFACE_INFORMATION info = plan.info;
        info->Class = plan.cls;
        info->SubClass = plan.subClass;
        info->Protocol = plan.protocol;
        info->InterfaceHandle = MakeHandle(d, selection, 0x80 + static_cast<uint32_t>(i));
        info->NumberOfPipes = static_cast<ULONG>(plan.pipes.size());
        for (PipePlan& p : plan.pipes) {
            auto pipe = std::make_unique<Pipe>();
            pipe->handle = MakeHandle(d, selection, ++slot);
            pipe->current = true;
            pipe->endpoint = p.endpoint;
            pipe->type = p.type;
            pipe->maxPacket = p.maxPacket;
            pipe->maxTransfer = p.maxTransfer;
            // Polled every bInterval frames, rounded down to a power of two
            // and at most 32, as the Windows stack schedules full speed.
            uint8_t period = 1;
            while (period < 32 && period * 2 <= p.interval)
                period = static_cast<uint8_t>(period * 2);
            pipe->period = period;
            p.info->MaximumPacketSize = p.maxPacket;
            p.info->EndpointAddress = p.endpoint;
            p.info->Interval = p.interval;
            p.info->PipeType = p.type;
            p.info->PipeHandle = pipe->handle;
            d.pipes.push_back(std::move(pipe));
        }
    }
    return victims;
}

// Timed event: the running request of the default pipe reaches the device.
void FinishControl(Device& d) {
    d.controlEvent = 0;
    Transfer* t = d.controlActive;
    if (!t || !d.pdo || !t->irp->CancelRoutine)
        return;  // being cancelled: its cancel routine goes on
    const uint64_t now = Now();
    d.chip.AdvanceTo(now);
    std::vector<Finished> victims;
    if (Gone(d)) {
        t->status = USBD_STATUS_DEVICE_GONE;
    } else if (t->work == Work::Reset) {
        d.chip.BusReset(now);
        t->status = RestoreAfterReset(d, now);
    } else if (t->work != Work::HostOnly) {
        chip::TransferResult r = d.chip.Control(now, t->setup, t->buffer, t->length);
        if (r.outcome == chip::Outcome::Hang || r.outcome == chip::Outcome::Nak) {
            t->hung = true;  // stays at the front until it is cancelled
            TRACE_URB(Format("#%llu ", static_cast<unsigned long long>(t->id)) + t->what +
                      ": no answer");
            Reschedule(d);
            return;
        }
        if (r.outcome == chip::Outcome::Failed) {
            t->status = static_cast<USBD_STATUS>(r.status);
        } else {
            t->moved = r.length;
            if (t->work == Work::Select) victims = ApplySelection(d, *t);
        }
    }
    Claim(t->irp);
    TransferPtr done = std::move(d.control.front());
    d.control.pop_front();
    d.controlActive = nullptr;
    ReadyAbortList aborts = CollectReadyAborts(d);  // aborts whose victims a reselection took
    StartControl(d);
    Reschedule(d);
    if (t->work == Work::Select || t->work == Work::Reset) RequestService(d);
    CompleteAll(d, victims);
    CompleteAborts(d, aborts);
    Complete(d, std::move(done), nullptr);
}

}  // namespace

}  // namespace sim::usb::detail
