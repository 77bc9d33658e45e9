// usbdlib.h - the USB driver interface library routines and request-building
// macros of the simulated platform, as the Windows driver kit declares them.
#pragma once

#include "sim/kernel/usb.h"

typedef struct _USBD_INTERFACE_LIST_ENTRY {
    PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor;
    PUSBD_INTERFACE_INFORMATION Interface;
} USBD_INTERFACE_LIST_ENTRY, *PUSBD_INTERFACE_LIST_ENTRY;

extern "C" {
// Finds the first interface descriptor at or after startPosition that matches
// every criterion that is not -1. PASSIVE_LEVEL or DISPATCH_LEVEL.
PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR configurationDescriptor, PVOID startPosition,
    LONG interfaceNumber, LONG alternateSetting, LONG interfaceClass, LONG interfaceSubClass,
    LONG interfaceProtocol);
// Finds the next descriptor of a type at or after startPosition.
PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID descriptorBuffer, ULONG totalLength,
                                             PVOID startPosition, LONG descriptorType);
// Builds a select-configuration URB (from pool, freed by the caller with
// ExFreePool) for the interfaces of a null-terminated list, and points each
// list entry's Interface at its interface information inside the URB.
PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR configurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY interfaceList);
}

#define UsbBuildInterruptOrBulkTransferRequest(urb, length, pipeHandle, transferBuffer,        \
                                               transferBufferMDL, transferBufferLength,        \
                                               transferFlags, link)                            \
    do {                                                                                       \
        (urb)->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;                   \
        (urb)->UrbHeader.Length = (USHORT)(length);                                            \
        (urb)->UrbBulkOrInterruptTransfer.PipeHandle = (pipeHandle);                           \
        (urb)->UrbBulkOrInterruptTransfer.TransferBufferLength = (transferBufferLength);       \
        (urb)->UrbBulkOrInterruptTransfer.TransferBufferMDL = (transferBufferMDL);             \
        (urb)->UrbBulkOrInterruptTransfer.TransferBuffer = (transferBuffer);                   \
        (urb)->UrbBulkOrInterruptTransfer.TransferFlags = (transferFlags);                     \
        (urb)->UrbBulkOrInterruptTransfer.UrbLink = (link);                                    \
    } while (0)

#define UsbBuildGetDescriptorRequest(urb, length, descriptorType, descriptorIndex, languageId, \
                                     transferBuffer, transferBufferMDL, transferBufferLength,  \
                                     link)                                                     \
    do {                                                                                       \
        (urb)->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;                   \
        (urb)->UrbHeader.Length = (USHORT)(length);                                            \
        (urb)->UrbControlDescriptorRequest.TransferBufferLength = (transferBufferLength);      \
        (urb)->UrbControlDescriptorRequest.TransferBufferMDL = (transferBufferMDL);            \
        (urb)->UrbControlDescriptorRequest.TransferBuffer = (transferBuffer);                  \
        (urb)->UrbControlDescriptorRequest.DescriptorType = (descriptorType);                  \
        (urb)->UrbControlDescriptorRequest.Index = (descriptorIndex);                          \
        (urb)->UrbControlDescriptorRequest.LanguageId = (languageId);                          \
        (urb)->UrbControlDescriptorRequest.UrbLink = (link);                                   \
    } while (0)

#define UsbBuildFeatureRequest(urb, op, featureSelector, index, link)    \
    do {                                                                 \
        (urb)->UrbHeader.Function = (op);                                \
        (urb)->UrbHeader.Length = sizeof(struct _URB_CONTROL_FEATURE_REQUEST); \
        (urb)->UrbControlFeatureRequest.FeatureSelector = (featureSelector);   \
        (urb)->UrbControlFeatureRequest.Index = (index);                 \
        (urb)->UrbControlFeatureRequest.UrbLink = (link);                \
    } while (0)

#define UsbBuildVendorRequest(urb, cmd, length, transferFlags, reservedBits, request, value,   \
                              index, transferBuffer, transferBufferMDL, transferBufferLength,  \
                              link)                                                            \
    do {                                                                                       \
        (urb)->UrbHeader.Function = (cmd);                                                     \
        (urb)->UrbHeader.Length = (USHORT)(length);                                            \
        (urb)->UrbControlVendorClassRequest.TransferBufferLength = (transferBufferLength);     \
        (urb)->UrbControlVendorClassRequest.TransferBufferMDL = (transferBufferMDL);           \
        (urb)->UrbControlVendorClassRequest.TransferBuffer = (transferBuffer);                 \
        (urb)->UrbControlVendorClassRequest.RequestTypeReservedBits = (reservedBits);          \
        (urb)->UrbControlVendorClassRequest.Request = (request);                               \
        (urb)->UrbControlVendorClassRequest.Value = (value);                                   \
        (urb)->UrbControlVendorClassRequest.Index = (index);                                   \
        (urb)->UrbControlVendorClassRequest.TransferFlags = (transferFlags);                   \
        (urb)->UrbControlVendorClassRequest.UrbLink = (link);                                  \
    } while (0)

#define UsbBuildSelectConfigurationRequest(urb, length, configurationDescriptor) \
    do {                                                                         \
        (urb)->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;           \
        (urb)->UrbHeader.Length = (USHORT)(length);                              \
        (urb)->UrbSelectConfiguration.ConfigurationDescriptor = (configurationDescriptor); \
    } while (0)
