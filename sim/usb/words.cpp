// words.cpp - the bus's requests, statuses and outcomes in words, for the
// trace.
#include <cstdarg>
#include <cstdio>

#include "sim/usb/bus_internal.h"

namespace sim::usb::detail {

std::string Format(const char* format, ...) {
    char text[160];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

std::string UsbdText(USBD_STATUS status) {
    switch (status) {
        case USBD_STATUS_SUCCESS:
            return "success";
        case USBD_STATUS_STALL_PID:
            return "stalled";
        case USBD_STATUS_CANCELED:
            return "cancelled";
        case USBD_STATUS_DEVICE_GONE:
            return "device gone";
        case USBD_STATUS_INVALID_PIPE_HANDLE:
            return "invalid pipe handle";
        case USBD_STATUS_INVALID_PARAMETER:
            return "invalid parameter";
        case USBD_STATUS_INVALID_URB_FUNCTION:
            return "invalid URB function";
        case USBD_STATUS_DATA_UNDERRUN:
            return "data underrun";
        case USBD_STATUS_DEV_NOT_RESPONDING:
            return "device not responding";
        default:
            return Format("USBD status 0x%08X", static_cast<uint32_t>(status));
    }
}

std::string PipeName(const Pipe& pipe) {
    if (pipe.type == UsbdPipeTypeInterrupt)
        return pipe.endpoint & 0x80 ? "interrupt-in" : "interrupt-out";
    return pipe.endpoint & 0x80 ? "bulk-in" : "bulk-out";
}

// The request of a control transfer in words.
std::string DescribeSetup(const chip::SetupPacket& s) {
    if ((s.requestType & ~0x80) == chip::kRequestTypeVendor &&
        s.request == chip::kRegisterRequest) {
        if (s.DeviceToHost()) return Format("vendor read reg %u", s.index);
        return Format("vendor write reg %u = 0x%02X", s.index, s.value & 0xFF);
    }
    if (s.requestType == chip::kRequestDirectionIn && s.request == chip::kGetDescriptor) {
        const unsigned type = s.value >> 8;
        const char* name = type == chip::kDescriptorDevice          ? "device"
                           : type == chip::kDescriptorConfiguration ? "configuration"
                           : type == chip::kDescriptorString        ? "string"
                                                                    : nullptr;
        std::string what = name ? name : Format("type %u", type);
        return Format("get %s descriptor %u, %u bytes", what.c_str(), s.value & 0xFF, s.length);
    }
    if (s.requestType == chip::kRecipientEndpoint && s.request == chip::kClearFeature &&
        s.value == chip::kFeatureEndpointHalt)
        return Format("clear halt of endpoint 0x%02X", s.index);
    return Format("control %02X %02X value 0x%04X index 0x%04X length %u", s.requestType, s.request,
                  s.value, s.index, s.length);
}

namespace {

std::string HexBytes(const uint8_t* data, uint32_t length) {
    std::string text;
    for (uint32_t i = 0; i < length && i < 8; ++i) text += Format(i ? " %02X" : "%02X", data[i]);
    if (length > 8) text += " ...";
    return text;
}

}  // namespace

// The outcome of a finished request in words.
std::string Outcome(const Transfer& t) {
    if (t.status != USBD_STATUS_SUCCESS && t.status != USBD_STATUS_DATA_UNDERRUN)
        return t.what + ": " + UsbdText(t.status);
    std::string text = t.what;
    if (t.work == Work::Data) {
        text += Format(": %u bytes", t.moved);
        if (t.in && t.moved && t.length <= 8) text += " (" + HexBytes(t.buffer, t.moved) + ")";
    } else if (t.work == Work::Control && t.in) {
        if (t.setup.request == chip::kRegisterRequest && t.moved == 1)
            text += Format(" = 0x%02X", t.buffer[0]);
        else
            text += Format(": %u bytes", t.moved);
    } else {
        text += ": done";
    }
    if (t.status == USBD_STATUS_DATA_UNDERRUN) text += ", " + UsbdText(t.status);
    return text;
}

}  // namespace sim::usb::detail
