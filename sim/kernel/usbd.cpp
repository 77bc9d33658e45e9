// usbd.cpp - the USB driver interface library: descriptor parsing and
// select-configuration request building, as the platform provides them.
#include <cstring>

#include "sim/kernel/internal.h"
#include "sim/kernel/usbdlib.h"

using namespace sim;

extern "C" {

PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID descriptorBuffer, ULONG totalLength,
                                             PVOID startPosition, LONG descriptorType) {
    auto* begin = static_cast<UCHAR*>(descriptorBuffer);
    auto* end = begin + totalLength;
    auto* p = static_cast<UCHAR*>(startPosition);
    if (p < begin) p = begin;
    while (p + sizeof(USB_COMMON_DESCRIPTOR) <= end) {
        auto* d = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(p);
        if (d->bLength < sizeof(USB_COMMON_DESCRIPTOR) || p + d->bLength > end) return nullptr;
        if (d->bDescriptorType == descriptorType) return d;
        p += d->bLength;
    }
    return nullptr;
}

PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR configurationDescriptor, PVOID startPosition,
    LONG interfaceNumber, LONG alternateSetting, LONG interfaceClass, LONG interfaceSubClass,
    LONG interfaceProtocol) {
    KernelPoint("USBD_ParseConfigurationDescriptorEx");
    ULONG total = configurationDescriptor->wTotalLength;
    auto* p = static_cast<UCHAR*>(startPosition);
    for (;;) {
        auto* d = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(USBD_ParseDescriptors(
            configurationDescriptor, total, p, USB_INTERFACE_DESCRIPTOR_TYPE));
        if (!d) return nullptr;
        if (d->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR) &&
            (interfaceNumber == -1 || d->bInterfaceNumber == interfaceNumber) &&
            (alternateSetting == -1 || d->bAlternateSetting == alternateSetting) &&
            (interfaceClass == -1 || d->bInterfaceClass == interfaceClass) &&
            (interfaceSubClass == -1 || d->bInterfaceSubClass == interfaceSubClass) &&
            (interfaceProtocol == -1 || d->bInterfaceProtocol == interfaceProtocol))
            return d;
        p = reinterpret_cast<UCHAR*>(d) + d->bLength;
    }
}

PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR configurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY interfaceList) {
    KernelPoint("USBD_CreateConfigurationRequestEx");
    ULONG interfaces = 0, pipes = 0;
    for (auto* e = interfaceList; e->InterfaceDescriptor; ++e) {
        interfaces++;
        pipes += e->InterfaceDescriptor->bNumEndpoints;
    }
    if (interfaces == 0) return nullptr;
    ULONG extraPipes = 0;
    for (auto* e = interfaceList; e->InterfaceDescriptor; ++e)
        if (e->InterfaceDescriptor->bNumEndpoints == 0) extraPipes++;  // room for Pipes[1]
    size_t size = GET_SELECT_CONFIGURATION_REQUEST_SIZE(interfaces, pipes + extraPipes);
    auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPoolNx, size, 'DBSU'));
    if (!urb) return nullptr;
    std::memset(urb, 0, size);
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbHeader.Length = static_cast<USHORT>(size);
    urb->UrbSelectConfiguration.ConfigurationDescriptor = configurationDescriptor;
    auto* info = &urb->UrbSelectConfiguration.Interface;
    for (auto* e = interfaceList; e->InterfaceDescriptor; ++e) {
        ULONG n = e->InterfaceDescriptor->bNumEndpoints;
        info->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(n ? n : 1));
        info->InterfaceNumber = e->InterfaceDescriptor->bInterfaceNumber;
        info->AlternateSetting = e->InterfaceDescriptor->bAlternateSetting;
        info->NumberOfPipes = n;
        for (ULONG i = 0; i < n; ++i)
            info->Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
        e->Interface = info;
        info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<UCHAR*>(info) +
                                                             info->Length);
    }
    return urb;
}

}  // extern "C"
