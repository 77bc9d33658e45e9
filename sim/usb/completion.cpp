// completion.cpp - how the bus completes what it owns: held requests with
// their USBD and NT statuses (recorded in the transfer log, the capture and
// the trace), aborts once their victims are gone, and requests refused
// inside the submitting call.
#include "sim/usb/bus_internal.h"

namespace sim::usb::detail {

// The NT status the Windows USB stack pairs with a USBD status.
NTSTATUS NtStatusFor(USBD_STATUS status) {
    if (USBD_SUCCESS(status)) return STATUS_SUCCESS;
    switch (status) {
        case USBD_STATUS_CANCELED:
            return STATUS_CANCELLED;
        case USBD_STATUS_DEVICE_GONE:
            return STATUS_DEVICE_NOT_CONNECTED;
        case USBD_STATUS_INVALID_URB_FUNCTION:
        case USBD_STATUS_INVALID_PARAMETER:
        case USBD_STATUS_INVALID_PIPE_HANDLE:
            return STATUS_INVALID_PARAMETER;
        case USBD_STATUS_NO_MEMORY:
            return STATUS_NO_MEMORY;
        default:
            return STATUS_UNSUCCESSFUL;
    }
}

namespace {

// Records a completing control, bulk or interrupt transfer in the log.
void LogTransfer(Device& d, const Transfer& t, const Pipe* pipe) {
    if (t.work != Work::Control && t.work != Work::Select && t.work != Work::Data) return;
    TransferRecord r;
    r.id = t.id;
    r.endpoint = pipe ? pipe->endpoint : ControlEndpoint(t);
    r.type = !pipe                                 ? TransferType::Control
             : pipe->type == UsbdPipeTypeInterrupt ? TransferType::Interrupt
                                                   : TransferType::Bulk;
    r.in = pipe ? (pipe->endpoint & 0x80) != 0 : t.in;
    r.requested = t.length;
    r.moved = t.moved;
    if (t.buffer && t.moved) r.data.assign(t.buffer, t.buffer + t.moved);
    r.submitTime = t.submitTime;
    r.completeTime = Now();
    r.usbdStatus = t.status;
    r.ntStatus = NtStatusFor(t.status);
    r.submitSeq = t.submitSeq;
    r.completingSeq = ++d.bus->eventSeq;
    r.submitIrql = t.submitIrql;
    d.log.push_back(std::move(r));
    while (d.log.size() > d.bus->options.transferLogLimit) d.log.pop_front();
}

void CompleteAbort(Device& d, const Pipe& pipe, const AbortRequest& abort) {
    abort.urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
    PcapWriter& pcap = d.bus->pcap;
    if (pcap.IsOpen())
        pcap.RecordBulkOrInterrupt(
            true, PcapUrb{Now(), abort.id, d.address, pipe.endpoint, URB_FUNCTION_ABORT_PIPE, 0},
            CaptureType(pipe), {});
    TRACE_URB(Format("#%llu abort %s pipe: done", static_cast<unsigned long long>(abort.id),
                     PipeName(pipe).c_str()));
    abort.irp->IoStatus.Status = STATUS_SUCCESS;
    abort.irp->IoStatus.Information = 0;
    IofCompleteRequest(abort.irp, IO_NO_INCREMENT);
}

}  // namespace

// Completes a request the bus owns (its cancel routine already taken and the
// request out of every queue). DISPATCH_LEVEL or below; no lock held.
void Complete(Device& d, TransferPtr t, const Pipe* pipe) {
    if (t->urb) {
        t->urb->UrbHeader.Status = t->status;
        if (t->lengthField) *t->lengthField = t->moved;
    }
    uint8_t endpoint = pipe ? pipe->endpoint : 0;
    LogTransfer(d, *t, pipe);
    CaptureComplete(d, *t, endpoint, pipe ? CaptureType(*pipe) : PcapTransfer::Control);
    TRACE_URB(Format("#%llu ", static_cast<unsigned long long>(t->id)) + Outcome(*t));
    PIRP irp = t->irp;
    const uint64_t id = t->id;
    irp->IoStatus.Status = NtStatusFor(t->status);
    irp->IoStatus.Information = 0;
    t.reset();
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    const uint64_t returned = ++d.bus->eventSeq;
    for (auto it = d.log.rbegin(); it != d.log.rend(); ++it) {
        if (it->id == id) {
            it->completedSeq = returned;
            break;
        }
    }
}

void CompleteAll(Device& d, std::vector<Finished>& finished) {
    for (auto& f : finished) Complete(d, std::move(f.transfer), f.pipe);
    finished.clear();
}

// Aborts of a pipe whose victims are all gone: taken out of the pipe. A
// transfer finished on the bus but not yet completed (a cancelled one
// among them) still counts: an abort completes after every transfer of its
// pipe has.
std::vector<AbortRequest> ReadyAborts(Pipe& pipe) {
    for (auto& t : pipe.queue)
        if (t->aborted || t->finished) return {};
    std::vector<AbortRequest> ready;
    ready.swap(pipe.aborts);
    return ready;
}

void CompleteAborts(Device& d, const Pipe& pipe, const std::vector<AbortRequest>& aborts) {
    for (auto& abort : aborts) CompleteAbort(d, pipe, abort);
}

// Takes the aborts of every pipe whose victims are all gone.
ReadyAbortList CollectReadyAborts(Device& d) {
    ReadyAbortList ready;
    for (auto& pipe : d.pipes) {
        if (pipe->aborts.empty()) continue;
        std::vector<AbortRequest> list = ReadyAborts(*pipe);
        if (!list.empty()) ready.emplace_back(pipe.get(), std::move(list));
    }
    return ready;
}

void CompleteAborts(Device& d, const ReadyAbortList& ready) {
    for (auto& [pipe, list] : ready) CompleteAborts(d, *pipe, list);
}

// Refuses a URB inside the submitting call.
NTSTATUS Refuse(PIRP irp, PURB urb, uint64_t id, const std::string& what, USBD_STATUS status) {
    urb->UrbHeader.Status = status;
    TRACE_URB(Format("#%llu ", static_cast<unsigned long long>(id)) + what + ": refused, " +
              UsbdText(status));
    NTSTATUS nt = NtStatusFor(status);
    irp->IoStatus.Status = nt;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return nt;
}

NTSTATUS CompleteIrpNow(PIRP irp, NTSTATUS status) {
    irp->CancelRoutine = nullptr;
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

}  // namespace sim::usb::detail
