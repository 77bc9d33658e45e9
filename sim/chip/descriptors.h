// descriptors.h - the chip's USB device and configuration descriptors.
//
// A full-speed USB 2.0 device with one configuration, one vendor-specific
// interface and three endpoints, listed in the order the host takes them as
// pipes: interrupt-in (status reports), bulk-out, bulk-in. No string
// descriptors. The identifiers are placeholders that packaging may change;
// everything below is built from them at compile time.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "sim/chip/usb_defs.h"

namespace chip {

inline constexpr uint16_t kVendorId = 0x1A2B;
inline constexpr uint16_t kProductId = 0x0001;
inline constexpr uint16_t kDeviceRelease = 0x0100;  // bcdDevice
inline constexpr uint8_t kConfigurationValue = 1;
inline constexpr uint8_t kStatusInterval = 1;  // bInterval of the interrupt endpoint, in frames

inline constexpr size_t kDeviceDescriptorSize = 18;
inline constexpr size_t kConfigurationDescriptorSize = 9 + 9 + 3 * 7;

// clang-format off
inline constexpr uint8_t kDeviceDescriptor[kDeviceDescriptorSize] = {
    18,                                         // bLength
    kDescriptorDevice,                          // bDescriptorType
    0x00, 0x02,                                 // bcdUSB 2.00
    0x00,                                       // bDeviceClass: per interface
    0x00,                                       // bDeviceSubClass
    0x00,                                       // bDeviceProtocol
    kControlMaxPacket,                          // bMaxPacketSize0
    kVendorId & 0xFF, kVendorId >> 8,           // idVendor
    kProductId & 0xFF, kProductId >> 8,         // idProduct
    kDeviceRelease & 0xFF, kDeviceRelease >> 8, // bcdDevice
    0,                                          // iManufacturer
    0,                                          // iProduct
    0,                                          // iSerialNumber
    1,                                          // bNumConfigurations
};

inline constexpr uint8_t kConfigurationDescriptor[kConfigurationDescriptorSize] = {
    // Configuration
    9, kDescriptorConfiguration,
    kConfigurationDescriptorSize & 0xFF, kConfigurationDescriptorSize >> 8,  // wTotalLength
    1,                    // bNumInterfaces
    kConfigurationValue,  // bConfigurationValue
    0,                    // iConfiguration
    0x80,                 // bmAttributes: bus powered
    50,                   // bMaxPower: 100 mA
    // Interface 0, alternate setting 0
    9, kDescriptorInterface,
    0,     // bInterfaceNumber
    0,     // bAlternateSetting
    3,     // bNumEndpoints
    0xFF,  // bInterfaceClass: vendor specific
    0x00,  // bInterfaceSubClass
    0x00,  // bInterfaceProtocol
    0,     // iInterface
    // Pipe 0: interrupt-in, status reports
    7, kDescriptorEndpoint, kEndpointStatusIn, 0x03, kStatusMaxPacket & 0xFF, kStatusMaxPacket >> 8,
    kStatusInterval,
    // Pipe 1: bulk-out, transmitted bytes
    7, kDescriptorEndpoint, kEndpointBulkOut, 0x02, kBulkMaxPacket & 0xFF, kBulkMaxPacket >> 8, 0,
    // Pipe 2: bulk-in, received bytes
    7, kDescriptorEndpoint, kEndpointBulkIn, 0x02, kBulkMaxPacket & 0xFF, kBulkMaxPacket >> 8, 0,
};

// clang-format on

}  // namespace chip
