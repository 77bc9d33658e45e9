// usb_defs.h - USB protocol values the chip model speaks: setup packets,
// standard request codes, endpoint addresses and the USBD status codes the
// chip's answers map to.
//
// Names are this model's own (kUsbd...), so the header can sit next to the
// driver kit's usb.h in a kernel build without clashing with its macros.
#pragma once

#include <stdint.h>

namespace chip {

// The 8-byte setup packet of a control transfer, fields in host order.
struct SetupPacket {
    uint8_t requestType = 0;  // bmRequestType
    uint8_t request = 0;      // bRequest
    uint16_t value = 0;       // wValue
    uint16_t index = 0;       // wIndex
    uint16_t length = 0;      // wLength

    static constexpr SetupPacket FromBytes(const uint8_t bytes[8]) {
        return SetupPacket{bytes[0], bytes[1], static_cast<uint16_t>(bytes[2] | bytes[3] << 8),
                           static_cast<uint16_t>(bytes[4] | bytes[5] << 8),
                           static_cast<uint16_t>(bytes[6] | bytes[7] << 8)};
    }
    constexpr void ToBytes(uint8_t bytes[8]) const {
        bytes[0] = requestType;
        bytes[1] = request;
        bytes[2] = static_cast<uint8_t>(value);
        bytes[3] = static_cast<uint8_t>(value >> 8);
        bytes[4] = static_cast<uint8_t>(index);
        bytes[5] = static_cast<uint8_t>(index >> 8);
        bytes[6] = static_cast<uint8_t>(length);
        bytes[7] = static_cast<uint8_t>(length >> 8);
    }
    constexpr bool DeviceToHost() const { return (requestType & 0x80) != 0; }
};

// bmRequestType fields.
inline constexpr uint8_t kRequestDirectionIn = 0x80;
inline constexpr uint8_t kRequestTypeMask = 0x60;
inline constexpr uint8_t kRequestTypeStandard = 0x00;
inline constexpr uint8_t kRequestTypeVendor = 0x40;
inline constexpr uint8_t kRecipientMask = 0x1F;
inline constexpr uint8_t kRecipientDevice = 0x00;
inline constexpr uint8_t kRecipientInterface = 0x01;
inline constexpr uint8_t kRecipientEndpoint = 0x02;

// Standard requests (bRequest).
inline constexpr uint8_t kGetStatus = 0;
inline constexpr uint8_t kClearFeature = 1;
inline constexpr uint8_t kSetFeature = 3;
inline constexpr uint8_t kSetAddress = 5;
inline constexpr uint8_t kGetDescriptor = 6;
inline constexpr uint8_t kGetConfiguration = 8;
inline constexpr uint8_t kSetConfiguration = 9;
inline constexpr uint8_t kGetInterface = 10;
inline constexpr uint8_t kSetInterface = 11;

inline constexpr uint16_t kFeatureEndpointHalt = 0;

// Descriptor types (high byte of wValue in GET_DESCRIPTOR).
inline constexpr uint8_t kDescriptorDevice = 1;
inline constexpr uint8_t kDescriptorConfiguration = 2;
inline constexpr uint8_t kDescriptorString = 3;
inline constexpr uint8_t kDescriptorInterface = 4;
inline constexpr uint8_t kDescriptorEndpoint = 5;

// The chip's vendor request: one UART register per transfer.
inline constexpr uint8_t kRegisterRequest = 0xFE;
inline constexpr uint8_t kRegisterReadType = 0xC0;   // device-to-host, vendor, device
inline constexpr uint8_t kRegisterWriteType = 0x40;  // host-to-device, vendor, device

// Endpoint addresses, in the order the interface lists them.
inline constexpr uint8_t kEndpointControl = 0x00;
inline constexpr uint8_t kEndpointStatusIn = 0x81;  // interrupt-in, status reports
inline constexpr uint8_t kEndpointBulkOut = 0x02;
inline constexpr uint8_t kEndpointBulkIn = 0x83;

inline constexpr uint16_t kControlMaxPacket = 64;
inline constexpr uint16_t kStatusMaxPacket = 8;
inline constexpr uint16_t kBulkMaxPacket = 64;

// USBD status codes (the URB header's Status field).
inline constexpr uint32_t kUsbdStatusSuccess = 0x00000000;
inline constexpr uint32_t kUsbdStatusCrc = 0xC0000001;
inline constexpr uint32_t kUsbdStatusStallPid = 0xC0000004;
inline constexpr uint32_t kUsbdStatusDevNotResponding = 0xC0000005;
inline constexpr uint32_t kUsbdStatusDataOverrun = 0xC0000008;
inline constexpr uint32_t kUsbdStatusDeviceGone = 0xC0007000;

}  // namespace chip
