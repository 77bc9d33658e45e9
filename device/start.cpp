// start.cpp - USB configuration and start-up: the configuration descriptor
// read with one reset-and-retry, configuration selection, the per-pipe
// bookkeeping, the serial defaults, the communication properties and the
// chip's initialisation.
#include "device/device.h"
#include "driver/driver.h"
#include "uart/uart.h"

namespace {

constexpr ULONG DEFAULT_BAUD_RATE = 115200;
constexpr UCHAR DEFAULT_XON_CHAR = 0x11;
constexpr UCHAR DEFAULT_XOFF_CHAR = 0x13;
constexpr LONG DEFAULT_XON_LIMIT = 4096;
constexpr LONG DEFAULT_XOFF_LIMIT = 1024;
constexpr ULONG DEFAULT_IN_QUEUE_SIZE = 4096;
constexpr ULONG DEFAULT_SETTABLE_BAUD = 0x1007FFFB;

// Builds and submits the read of configuration descriptor 0 into a zeroed
// buffer. IRQL: PASSIVE_LEVEL. Locks: none.
NTSTATUS ReadConfigurationDescriptor(PDEVICE_OBJECT deviceObject, PURB urb, PVOID buffer) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    RtlZeroMemory(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
    RtlZeroMemory(buffer, CONFIGURATION_DESCRIPTOR_BUFFER_SIZE);
    UsbBuildGetDescriptorRequest(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, buffer, nullptr,
                                 CONFIGURATION_DESCRIPTOR_BUFFER_SIZE, nullptr);
    return SubmitUrbSync(deviceObject, urb);
}

// TRUE when the bytes received hold a whole configuration descriptor, so
// that parsing it stays inside what the device sent. IRQL: any. Locks: none.
bool IsWholeConfigurationDescriptor(const USB_CONFIGURATION_DESCRIPTOR* descriptor,
                                    ULONG received) {
    if (received > CONFIGURATION_DESCRIPTOR_BUFFER_SIZE ||
        received < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        return false;
    }
    return descriptor->bDescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE &&
           descriptor->bLength >= sizeof(USB_CONFIGURATION_DESCRIPTOR) &&
           descriptor->wTotalLength >= sizeof(USB_CONFIGURATION_DESCRIPTOR) &&
           descriptor->wTotalLength <= received;
}

}  // namespace

// Brings the cable into service after the stack below has started: selects
// the configuration, sets the serial defaults (unless the port is open) and
// initialises the chip.
// The device counts as started only when all of that succeeded; a failed
// configuration fails the start with its status and keeps no stale
// interface information. IRQL: PASSIVE_LEVEL. Locks: none.
NTSTATUS StartDevice(PDEVICE_OBJECT deviceObject, PIRP irp) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    UNREFERENCED_PARAMETER(irp);
    PortExtension* extension = GetPortExtension(deviceObject);

    extension->configured = FALSE;
    NTSTATUS status = ConfigureDevice(deviceObject);
    if (NT_SUCCESS(status)) {
        extension->configured = TRUE;
        InitializePipeState(deviceObject);
    } else if (extension->interfaceInfo != nullptr) {
        // The pipe handles of an earlier start are no longer valid.
        ExFreePoolWithTag(extension->interfaceInfo, BRIDGESER_POOL_TAG);
        extension->interfaceInfo = nullptr;
    }

    extension->removed = FALSE;
    extension->stopPending = FALSE;
    extension->removePending = FALSE;
    extension->devicePowerRequestBusy = FALSE;
    if (!NT_SUCCESS(status)) {
        // Not started: requests that need the pipes are refused.
        extension->started = FALSE;
        return status;
    }

    // A port left open across a stop keeps the settings its application
    // gave it; the start that brings it back programs them again.
    if (!ReadOnce(&extension->portOpen)) {
        SetStartDefaults(extension);
    }
    status = InitializeUart(deviceObject);
    extension->started = NT_SUCCESS(status);
    return status;
}

// Reads the configuration descriptor, resetting the port and clearing a stall
// of endpoint 0 before one retry when the first read fails on the USB side,
// then selects the configuration. A descriptor that still cannot be read, or
// that did not arrive whole, fails the start without being parsed.
// IRQL: PASSIVE_LEVEL. Locks: none.
NTSTATUS ConfigureDevice(PDEVICE_OBJECT deviceObject) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    PURB urb = static_cast<PURB>(ExAllocatePoolWithTag(
        NonPagedPoolNx, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), BRIDGESER_POOL_TAG));
    if (urb == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PVOID buffer = ExAllocatePoolWithTag(NonPagedPoolNx, CONFIGURATION_DESCRIPTOR_BUFFER_SIZE,
                                         BRIDGESER_POOL_TAG);
    if (buffer == nullptr) {
        ExFreePoolWithTag(urb, BRIDGESER_POOL_TAG);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    NTSTATUS status = ReadConfigurationDescriptor(deviceObject, urb, buffer);
    if (urb->UrbHeader.Status != USBD_STATUS_SUCCESS) {
        ResetUsbPort(deviceObject);
        ClearControlEndpointStall(deviceObject);
        status = ReadConfigurationDescriptor(deviceObject, urb, buffer);
    }
    const USBD_STATUS usbdStatus = urb->UrbHeader.Status;
    const ULONG received = urb->UrbControlDescriptorRequest.TransferBufferLength;
    ExFreePoolWithTag(urb, BRIDGESER_POOL_TAG);

    if (NT_SUCCESS(status) && usbdStatus != USBD_STATUS_SUCCESS) {
        status = STATUS_UNSUCCESSFUL;
    }
    if (NT_SUCCESS(status) && !IsWholeConfigurationDescriptor(
                                  static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(buffer), received)) {
        status = STATUS_DEVICE_DATA_ERROR;
    }
    if (NT_SUCCESS(status)) {
        status =
            SelectConfiguration(deviceObject, static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(buffer));
    }
    ExFreePoolWithTag(buffer, BRIDGESER_POOL_TAG);
    return status;
}

// Resets the device's USB port and waits for the reset.
// IRQL: PASSIVE_LEVEL. Locks: none.
NTSTATUS ResetUsbPort(PDEVICE_OBJECT deviceObject) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    PortExtension* extension = GetPortExtension(deviceObject);
    return CallLowerDriverSync(extension->lowerDeviceObject, IOCTL_INTERNAL_USB_RESET_PORT,
                               nullptr);
}

// Clears a halt of the default control endpoint (endpoint 0).
// IRQL: PASSIVE_LEVEL. Locks: none.
NTSTATUS ClearControlEndpointStall(PDEVICE_OBJECT deviceObject) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    PURB urb = static_cast<PURB>(ExAllocatePoolWithTag(
        NonPagedPoolNx, sizeof(struct _URB_CONTROL_FEATURE_REQUEST), BRIDGESER_POOL_TAG));
    if (urb == nullptr) {
        return STATUS_NO_MEMORY;
    }
    RtlZeroMemory(urb, sizeof(struct _URB_CONTROL_FEATURE_REQUEST));
    UsbBuildFeatureRequest(urb, URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT, USB_FEATURE_ENDPOINT_STALL,
                           0, nullptr);
    NTSTATUS status = SubmitUrbSync(deviceObject, urb);
    ExFreePoolWithTag(urb, BRIDGESER_POOL_TAG);
    return status;
}

// Selects the configuration with its first interface, 64-byte transfers on
// its three pipes, and keeps a copy of the interface information with the
// pipe handles, replacing the copy of an earlier start. An interface with
// other than three endpoints is refused before anything is sent.
// IRQL: PASSIVE_LEVEL. Locks: none.
NTSTATUS SelectConfiguration(PDEVICE_OBJECT deviceObject,
                             PUSB_CONFIGURATION_DESCRIPTOR configurationDescriptor) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    PortExtension* extension = GetPortExtension(deviceObject);

    PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor = USBD_ParseConfigurationDescriptorEx(
        configurationDescriptor, configurationDescriptor, -1, -1, -1, -1, -1);
    if (interfaceDescriptor == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (interfaceDescriptor->bNumEndpoints != BRIDGE_PIPE_COUNT) {
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }

    USBD_INTERFACE_LIST_ENTRY interfaceList[2] = {};
    interfaceList[0].InterfaceDescriptor = interfaceDescriptor;
    PURB urb = USBD_CreateConfigurationRequestEx(configurationDescriptor, interfaceList);
    if (urb == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    PUSBD_INTERFACE_INFORMATION interfaceInfo = interfaceList[0].Interface;
    for (ULONG pipe = 0; pipe < BRIDGE_PIPE_COUNT; ++pipe) {
        interfaceInfo->Pipes[pipe].MaximumTransferSize = BRIDGE_MAX_TRANSFER;
    }
    NTSTATUS status = SubmitUrbSync(deviceObject, urb);
    if (NT_SUCCESS(status)) {
        if (interfaceInfo->NumberOfPipes != BRIDGE_PIPE_COUNT ||
            interfaceInfo->Length < GET_USBD_INTERFACE_SIZE(BRIDGE_PIPE_COUNT)) {
            status = STATUS_DEVICE_CONFIGURATION_ERROR;
        } else {
            auto copy = static_cast<PUSBD_INTERFACE_INFORMATION>(
                ExAllocatePoolWithTag(NonPagedPoolNx, interfaceInfo->Length, BRIDGESER_POOL_TAG));
            if (copy == nullptr) {
                status = STATUS_INSUFFICIENT_RESOURCES;
            } else {
                RtlCopyMemory(copy, interfaceInfo, interfaceInfo->Length);
                if (extension->interfaceInfo != nullptr) {
                    ExFreePoolWithTag(extension->interfaceInfo, BRIDGESER_POOL_TAG);
                }
                extension->interfaceInfo = copy;
            }
        }
    }
    ExFreePool(urb);
    return status;
}

// Marks every pipe closed and no pipe open. IRQL: PASSIVE_LEVEL. Locks: none.
NTSTATUS InitializePipeState(PDEVICE_OBJECT deviceObject) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    PortExtension* extension = GetPortExtension(deviceObject);
    for (ULONG pipe = 0; pipe < BRIDGE_PIPE_COUNT; ++pipe) {
        extension->pipeState[pipe].pipeOpen = FALSE;
    }
    extension->openPipeCount = 0;
    return STATUS_SUCCESS;
}

// Sets every serial setting to its start-up default and builds the
// communication properties. IRQL: PASSIVE_LEVEL. Locks: none (runs before
// the port can be opened, while no transfer runs: the lock analysis is off).
NTSTATUS SetStartDefaults(PortExtension* extension) BRIDGESER_NO_LOCK_ANALYSIS {
    ASSERT_IRQL(PASSIVE_LEVEL);
    extension->lineControl.WordLength = 8;
    extension->lineControl.Parity = NO_PARITY;
    extension->lineControl.StopBits = STOP_BIT_1;

    extension->chars.EofChar = 0;
    extension->chars.ErrorChar = 0;
    extension->chars.BreakChar = 0;
    extension->chars.EventChar = 0;
    extension->chars.XonChar = DEFAULT_XON_CHAR;
    extension->chars.XoffChar = DEFAULT_XOFF_CHAR;

    extension->handFlow.ControlHandShake = SERIAL_DTR_CONTROL;
    extension->handFlow.FlowReplace = SERIAL_RTS_CONTROL;
    extension->handFlow.XonLimit = DEFAULT_XON_LIMIT;
    extension->handFlow.XoffLimit = DEFAULT_XOFF_LIMIT;

    extension->inQueueSize = DEFAULT_IN_QUEUE_SIZE;
    extension->baudRate = DEFAULT_BAUD_RATE;
    extension->settableBaud = DEFAULT_SETTABLE_BAUD;
    extension->writeQueuedBytes = 0;

    extension->currentRead = nullptr;
    extension->currentWrite = nullptr;
    extension->currentMaskRequest = nullptr;
    extension->pendingWaitRequest = nullptr;
    RtlZeroMemory(&extension->readProgress, sizeof(extension->readProgress));
    RtlZeroMemory(&extension->writeProgress, sizeof(extension->writeProgress));

    extension->bulkInIrp = nullptr;
    extension->bulkInUrb = nullptr;
    extension->bulkInBuffer = nullptr;
    extension->bulkInBusy = FALSE;
    extension->bulkOutIrp = nullptr;
    extension->bulkOutUrb = nullptr;
    extension->bulkOutBuffer = nullptr;
    extension->bulkOutBusy = FALSE;
    extension->statusIrp = nullptr;
    extension->statusUrb = nullptr;
    extension->statusBuffer = nullptr;
    extension->statusBusy = FALSE;

    extension->statsEnabled = FALSE;
    extension->receivedCount = 0;
    extension->transmittedCount = 0;
    extension->eventHistory = 0;
    extension->waitMask = 0;

    InitializeCommProperties(extension);
    return STATUS_SUCCESS;
}

// Builds the communication properties returned by IOCTL_SERIAL_GET_PROPERTIES.
// IRQL: PASSIVE_LEVEL. Locks: none.
VOID InitializeCommProperties(PortExtension* extension) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    SERIAL_COMMPROP* properties = &extension->properties;
    RtlZeroMemory(properties, sizeof(*properties));
    properties->PacketLength = sizeof(SERIAL_COMMPROP);
    properties->PacketVersion = 2;
    properties->ServiceMask = SERIAL_SP_SERIALCOMM;
    properties->MaxTxQueue = 0;
    properties->MaxRxQueue = 0;
    properties->MaxBaud = SERIAL_BAUD_USER;
    properties->ProvSubType = SERIAL_SP_RS232;
    properties->ProvCapabilities = SERIAL_PCF_DTRDSR | SERIAL_PCF_RTSCTS | SERIAL_PCF_CD |
                                   SERIAL_PCF_PARITY_CHECK | SERIAL_PCF_XONXOFF |
                                   SERIAL_PCF_SETXCHAR | SERIAL_PCF_TOTALTIMEOUTS |
                                   SERIAL_PCF_INTTIMEOUTS;
    properties->SettableParams = SERIAL_SP_PARITY | SERIAL_SP_BAUD | SERIAL_SP_DATABITS |
                                 SERIAL_SP_STOPBITS | SERIAL_SP_HANDSHAKING |
                                 SERIAL_SP_PARITY_CHECK | SERIAL_SP_CARRIER_DETECT;
    properties->SettableBaud = extension->settableBaud;
    properties->SettableData =
        SERIAL_DATABITS_5 | SERIAL_DATABITS_6 | SERIAL_DATABITS_7 | SERIAL_DATABITS_8;
    properties->SettableStopParity = SERIAL_STOPBITS_10 | SERIAL_STOPBITS_20 | SERIAL_PARITY_NONE |
                                     SERIAL_PARITY_ODD | SERIAL_PARITY_EVEN | SERIAL_PARITY_MARK |
                                     SERIAL_PARITY_SPACE;
    properties->CurrentTxQueue = 0;
    properties->CurrentRxQueue = RECEIVE_RING_SIZE;
}

static_assert(sizeof(SERIAL_COMMPROP) == 64, "communication properties record");
