// urb.cpp - what a function driver sends the PDO: IOCTL_INTERNAL_USB_*
// requests and the URBs they carry, checked and turned into held
// transfers, or refused at once.
#include <cstddef>
#include <cstring>

#include "sim/usb/bus_internal.h"

namespace sim::usb::detail {

namespace {

constexpr ULONG kPortEnabled = 0x1;  // IOCTL_INTERNAL_USB_GET_PORT_STATUS bits
constexpr ULONG kPortConnected = 0x2;

Pipe* FindPipe(Device& d, USBD_PIPE_HANDLE handle) {
    if (!handle) return nullptr;
    for (auto& pipe : d.pipes)
        if (pipe->current && pipe->handle == handle) return pipe.get();
    return nullptr;
}

// The smallest URB length each supported function needs; 0 for functions
// the bus does not serve.
ULONG MinimumLength(USHORT function) {
    switch (function) {
        case URB_FUNCTION_SELECT_CONFIGURATION:
            return offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
        case URB_FUNCTION_ABORT_PIPE:
        case URB_FUNCTION_RESET_PIPE:
        case URB_FUNCTION_SYNC_RESET_PIPE:
        case URB_FUNCTION_SYNC_CLEAR_STALL:
            return sizeof(struct _URB_PIPE_REQUEST);
        case URB_FUNCTION_CONTROL_TRANSFER:
            return sizeof(struct _URB_CONTROL_TRANSFER);
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
            return sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
            return sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
        case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
        case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE:
        case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT:
            return sizeof(struct _URB_CONTROL_FEATURE_REQUEST);
        case URB_FUNCTION_VENDOR_DEVICE:
        case URB_FUNCTION_VENDOR_INTERFACE:
        case URB_FUNCTION_VENDOR_ENDPOINT:
        case URB_FUNCTION_CLASS_DEVICE:
            return sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
        default:
            return 0;
    }
}

struct Submission {
    Device& d;
    PIRP irp;
    PURB urb;
    uint64_t id;
};

TransferPtr NewTransfer(const Submission& s, Work work, std::string what) {
    auto t = std::make_unique<Transfer>();
    t->id = s.id;
    t->irp = s.irp;
    t->urb = s.urb;
    t->work = work;
    t->function = s.urb ? s.urb->UrbHeader.Function : 0;
    t->what = std::move(what);
    return t;
}

// A control transfer with a data stage of `length` bytes at `buffer`.
NTSTATUS SubmitControl(const Submission& s, const chip::SetupPacket& setup, PVOID buffer,
                       ULONG length, ULONG* lengthField) {
    chip::SetupPacket packet = setup;
    packet.length = static_cast<uint16_t>(std::min<ULONG>(length, 0xFFFF));
    const std::string what = Tracing() ? DescribeSetup(packet) : std::string();
    if (length > 0xFFFF) return Refuse(s.irp, s.urb, s.id, what, USBD_STATUS_INVALID_PARAMETER);
    if (length && !buffer) return Refuse(s.irp, s.urb, s.id, what, USBD_STATUS_INVALID_PARAMETER);
    TransferPtr t = NewTransfer(s, Work::Control, what);
    t->setup = packet;
    t->buffer = static_cast<uint8_t*>(buffer);
    t->length = length;
    t->in = setup.DeviceToHost();
    t->shortOk = true;  // a control read may end early: its status stage ends it
    t->lengthField = lengthField;
    return Hold(s.d, std::move(t), nullptr);
}

// Walks a configuration descriptor within its wTotalLength. Null when the
// descriptor is malformed.
bool PlanInterface(const USB_CONFIGURATION_DESCRIPTOR* config, PUSBD_INTERFACE_INFORMATION info,
                   InterfacePlan* plan) {
    auto* begin = reinterpret_cast<const UCHAR*>(config);
    const UCHAR* end = begin + config->wTotalLength;
    const USB_INTERFACE_DESCRIPTOR* found = nullptr;
    for (const UCHAR* p = begin + config->bLength; p + 2 <= end;) {
        const UCHAR length = p[0], type = p[1];
        if (length < 2 || p + length > end) return false;
        if (type == USB_INTERFACE_DESCRIPTOR_TYPE) {
            if (found) break;  // the endpoints of the interface found have been seen
            auto* i = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(p);
            if (length >= sizeof *i && i->bInterfaceNumber == info->InterfaceNumber &&
                i->bAlternateSetting == info->AlternateSetting) {
                found = i;
                plan->info = info;
                plan->cls = i->bInterfaceClass;
                plan->subClass = i->bInterfaceSubClass;
                plan->protocol = i->bInterfaceProtocol;
            }
        } else if (type == USB_ENDPOINT_DESCRIPTOR_TYPE && found) {
            if (length < sizeof(USB_ENDPOINT_DESCRIPTOR)) return false;
            auto* e = reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR*>(p);
            USHORT maxPacket;
            std::memcpy(&maxPacket, &e->wMaxPacketSize, sizeof maxPacket);
            plan->pipes.push_back(
                PipePlan{nullptr, e->bEndpointAddress,
                         static_cast<USBD_PIPE_TYPE>(e->bmAttributes & USB_ENDPOINT_TYPE_MASK),
                         static_cast<uint16_t>(maxPacket & 0x7FF), e->bInterval, 0});
        }
        p += length;
    }
    return found && plan->pipes.size() == found->bNumEndpoints;
}

NTSTATUS SubmitSelectConfiguration(const Submission& s) {
    struct _URB_SELECT_CONFIGURATION& select = s.urb->UrbSelectConfiguration;
    PUSB_CONFIGURATION_DESCRIPTOR config = select.ConfigurationDescriptor;
    if (!config) {
        TransferPtr t = NewTransfer(s, Work::Select, "deconfigure");
        t->setup = {0x00, chip::kSetConfiguration, 0, 0, 0};
        return Hold(s.d, std::move(t), nullptr);
    }
    const ULONG urbLength = s.urb->UrbHeader.Length;
    auto refuse = [&](const char* why) {
        return Refuse(s.irp, s.urb, s.id, std::string("select configuration (") + why + ")",
                      USBD_STATUS_INVALID_PARAMETER);
    };
    if (config->bLength < sizeof *config ||
        config->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
        config->wTotalLength < config->bLength || config->bNumInterfaces == 0)
        return refuse("bad configuration descriptor");
    std::vector<InterfacePlan> plan(config->bNumInterfaces);
    ULONG offset = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
    size_t pipes = 0;
    for (InterfacePlan& interface : plan) {
        if (offset % alignof(USBD_INTERFACE_INFORMATION) ||
            offset + offsetof(USBD_INTERFACE_INFORMATION, Pipes) > urbLength)
            return refuse("URB too short");
        auto* info =
            reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<UCHAR*>(s.urb) + offset);
        if (!PlanInterface(config, info, &interface)) return refuse("no such interface");
        const size_t needed =
            offsetof(USBD_INTERFACE_INFORMATION, Pipes) +
            std::max<size_t>(interface.pipes.size(), 1) * sizeof(USBD_PIPE_INFORMATION);
        if (info->Length < needed || offset + info->Length > urbLength)
            return refuse("interface information too short");
        for (size_t i = 0; i < interface.pipes.size(); ++i) {
            PipePlan& p = interface.pipes[i];
            if (p.maxPacket == 0) return refuse("endpoint without a packet size");
            p.info = &info->Pipes[i];
            p.maxTransfer = p.info->MaximumTransferSize;
            if (p.maxTransfer == 0 || p.maxTransfer > s.d.bus->options.maximumTransferSizeLimit)
                return refuse("maximum transfer size out of range");
        }
        pipes += interface.pipes.size();
        offset += info->Length;
    }
    TransferPtr t = NewTransfer(
        s, Work::Select,
        Format("select configuration %u: %zu pipes", config->bConfigurationValue, pipes));
    t->setup = {0x00, chip::kSetConfiguration, config->bConfigurationValue, 0, 0};
    t->configurationValue = config->bConfigurationValue;
    t->plan = std::move(plan);
    return Hold(s.d, std::move(t), nullptr);
}

NTSTATUS SubmitBulkOrInterrupt(const Submission& s) {
    struct _URB_BULK_OR_INTERRUPT_TRANSFER& x = s.urb->UrbBulkOrInterruptTransfer;
    Pipe* pipe = FindPipe(s.d, x.PipeHandle);
    if (!pipe) return Refuse(s.irp, s.urb, s.id, "transfer", USBD_STATUS_INVALID_PIPE_HANDLE);
    // The direction is the endpoint's; the transfer flags only add whether a
    // short packet is acceptable.
    const bool in = (pipe->endpoint & 0x80) != 0;
    std::string what =
        Tracing() ? PipeName(*pipe) + Format(" %u bytes", x.TransferBufferLength) : std::string();
    if ((x.TransferBufferLength && !x.TransferBuffer) || x.TransferBufferLength > pipe->maxTransfer)
        return Refuse(s.irp, s.urb, s.id, what, USBD_STATUS_INVALID_PARAMETER);
    TransferPtr t = NewTransfer(s, Work::Data, PipeName(*pipe));
    t->buffer = static_cast<uint8_t*>(x.TransferBuffer);
    t->length = x.TransferBufferLength;
    t->in = in;
    t->shortOk = (x.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
    t->lengthField = &x.TransferBufferLength;
    return Hold(s.d, std::move(t), pipe, &what);
}

NTSTATUS SubmitAbort(const Submission& s) {
    Pipe* pipe = FindPipe(s.d, s.urb->UrbPipeRequest.PipeHandle);
    if (!pipe) return Refuse(s.irp, s.urb, s.id, "abort pipe", USBD_STATUS_INVALID_PIPE_HANDLE);
    size_t victims = 0;
    for (auto& t : pipe->queue) {
        if (!t->aborted) ++victims;
        t->aborted = true;
    }
    PcapWriter& pcap = s.d.bus->pcap;
    if (pcap.IsOpen())
        pcap.RecordBulkOrInterrupt(
            false, PcapUrb{Now(), s.id, s.d.address, pipe->endpoint, URB_FUNCTION_ABORT_PIPE, 0},
            CaptureType(*pipe), {});
    TRACE_URB(Format("#%llu submit abort %s pipe: %zu held", static_cast<unsigned long long>(s.id),
                     PipeName(*pipe).c_str(), victims));
    IoMarkIrpPending(s.irp);
    s.urb->UrbHeader.Status = USBD_STATUS_PENDING;
    s.irp->CancelRoutine = nullptr;
    pipe->aborts.push_back(AbortRequest{s.id, s.irp, s.urb});
    DeferOn(s.d, "usb abort pipe", ProcessAborts);
    return STATUS_PENDING;
}

// Clear-feature (endpoint halt) of a pipe's endpoint, as reset-pipe does.
NTSTATUS SubmitPipeReset(const Submission& s) {
    Pipe* pipe = FindPipe(s.d, s.urb->UrbPipeRequest.PipeHandle);
    const USHORT function = s.urb->UrbHeader.Function;
    if (!pipe) return Refuse(s.irp, s.urb, s.id, "reset pipe", USBD_STATUS_INVALID_PIPE_HANDLE);
    if (function == URB_FUNCTION_SYNC_RESET_PIPE) {
        TransferPtr t = NewTransfer(s, Work::HostOnly, "reset " + PipeName(*pipe) + " pipe");
        return Hold(s.d, std::move(t), nullptr);
    }
    chip::SetupPacket setup{chip::kRecipientEndpoint, chip::kClearFeature,
                            chip::kFeatureEndpointHalt, pipe->endpoint, 0};
    return SubmitControl(s, setup, nullptr, 0, nullptr);
}

NTSTATUS SubmitUrb(Device& d, PIRP irp, PURB urb) {
    if (!urb) {
        TRACE_URB("submit without a URB: refused");
        return CompleteIrpNow(irp, STATUS_INVALID_PARAMETER);
    }
    const Submission s{d, irp, urb, ++d.bus->urbSequence};
    const USHORT function = urb->UrbHeader.Function;
    const ULONG minimum = MinimumLength(function);
    if (!minimum)
        return Refuse(irp, urb, s.id, Format("URB function 0x%04X", function),
                      USBD_STATUS_INVALID_URB_FUNCTION);
    if (urb->UrbHeader.Length < minimum)
        return Refuse(irp, urb, s.id,
                      Format("URB function 0x%04X with length %u", function, urb->UrbHeader.Length),
                      USBD_STATUS_INVALID_PARAMETER);
    if (Gone(d))
        return Refuse(irp, urb, s.id, Format("URB function 0x%04X", function),
                      USBD_STATUS_DEVICE_GONE);

    switch (function) {
        case URB_FUNCTION_SELECT_CONFIGURATION:
            return SubmitSelectConfiguration(s);
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
            return SubmitBulkOrInterrupt(s);
        case URB_FUNCTION_ABORT_PIPE:
            return SubmitAbort(s);
        case URB_FUNCTION_RESET_PIPE:
        case URB_FUNCTION_SYNC_RESET_PIPE:
        case URB_FUNCTION_SYNC_CLEAR_STALL:
            return SubmitPipeReset(s);
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
            struct _URB_CONTROL_DESCRIPTOR_REQUEST& r = urb->UrbControlDescriptorRequest;
            chip::SetupPacket setup{chip::kRequestDirectionIn, chip::kGetDescriptor,
                                    static_cast<uint16_t>(r.DescriptorType << 8 | r.Index),
                                    r.LanguageId, 0};
            return SubmitControl(s, setup, r.TransferBuffer, r.TransferBufferLength,
                                 &r.TransferBufferLength);
        }
        case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
        case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE:
        case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT: {
            struct _URB_CONTROL_FEATURE_REQUEST& r = urb->UrbControlFeatureRequest;
            const uint8_t recipient = function == URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT
                                          ? chip::kRecipientEndpoint
                                          : chip::kRecipientDevice;
            const uint8_t request = function == URB_FUNCTION_SET_FEATURE_TO_DEVICE
                                        ? chip::kSetFeature
                                        : chip::kClearFeature;
            return SubmitControl(s, {recipient, request, r.FeatureSelector, r.Index, 0}, nullptr, 0,
                                 nullptr);
        }
        case URB_FUNCTION_VENDOR_DEVICE:
        case URB_FUNCTION_VENDOR_INTERFACE:
        case URB_FUNCTION_VENDOR_ENDPOINT:
        case URB_FUNCTION_CLASS_DEVICE: {
            struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST& r = urb->UrbControlVendorClassRequest;
            uint8_t type = function == URB_FUNCTION_VENDOR_DEVICE      ? 0x40
                           : function == URB_FUNCTION_VENDOR_INTERFACE ? 0x41
                           : function == URB_FUNCTION_VENDOR_ENDPOINT  ? 0x42
                                                                       : 0x20;
            if (r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) type |= chip::kRequestDirectionIn;
            type |= r.RequestTypeReservedBits;
            return SubmitControl(s, {type, r.Request, r.Value, r.Index, 0}, r.TransferBuffer,
                                 r.TransferBufferLength, &r.TransferBufferLength);
        }
        case URB_FUNCTION_CONTROL_TRANSFER: {
            struct _URB_CONTROL_TRANSFER& r = urb->UrbControlTransfer;
            if (!(r.TransferFlags & USBD_DEFAULT_PIPE_TRANSFER))
                return Refuse(irp, urb, s.id, "control transfer", USBD_STATUS_INVALID_PIPE_HANDLE);
            chip::SetupPacket setup = chip::SetupPacket::FromBytes(r.SetupPacket);
            const bool in = (r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
            if (in != setup.DeviceToHost())
                return Refuse(irp, urb, s.id, DescribeSetup(setup), USBD_STATUS_INVALID_PARAMETER);
            return SubmitControl(s, setup, r.TransferBuffer, r.TransferBufferLength,
                                 &r.TransferBufferLength);
        }
        default:
            return Refuse(irp, urb, s.id, Format("URB function 0x%04X", function),
                          USBD_STATUS_INVALID_URB_FUNCTION);
    }
}

NTSTATUS SubmitPortReset(Device& d, PIRP irp) {
    const uint64_t id = ++d.bus->urbSequence;
    if (Gone(d)) {
        TRACE_URB(
            Format("#%llu reset port: refused, device gone", static_cast<unsigned long long>(id)));
        return CompleteIrpNow(irp, STATUS_DEVICE_NOT_CONNECTED);
    }
    auto t = std::make_unique<Transfer>();
    t->id = id;
    t->irp = irp;
    t->work = Work::Reset;
    t->what = "reset port";
    return Hold(d, std::move(t), nullptr);
}

}  // namespace

// IRP_MJ_INTERNAL_DEVICE_CONTROL. IRQL: up to DISPATCH_LEVEL.
NTSTATUS DispatchInternalControl(PDEVICE_OBJECT pdo, PIRP irp) {
    Device& d = *DeviceOf(pdo);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
        case IOCTL_INTERNAL_USB_SUBMIT_URB:
            return SubmitUrb(d, irp, static_cast<PURB>(stack->Parameters.Others.Argument1));
        case IOCTL_INTERNAL_USB_RESET_PORT:
            return SubmitPortReset(d, irp);
        case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
            auto* status = static_cast<PULONG>(stack->Parameters.Others.Argument1);
            if (!status) return CompleteIrpNow(irp, STATUS_INVALID_PARAMETER);
            *status = Gone(d) ? 0 : kPortEnabled | kPortConnected;
            return CompleteIrpNow(irp, STATUS_SUCCESS);
        }
        default:
            return CompleteIrpNow(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

}  // namespace sim::usb::detail
