// platform_use.cpp - uses platform/platform.h the way driver code does, so
// that both builds of the header (the driver kit's and the simulated
// kernel's) are checked to offer the same names with the same shapes. It is
// compiled, never run.
#include "platform/platform.h"

namespace {

constexpr ULONG kTag = 0x206D6457;  // 'W','d','m',' '

struct Record {
    LIST_ENTRY link;
    KSPIN_LOCK lock;
    KMUTEX mutex;
    KEVENT event;
    KTIMER timer;
    KDPC dpc;
    UNICODE_STRING name;
    SERIAL_LINE_CONTROL lineControl;
    SERIAL_CHARS chars;
    SERIAL_HANDFLOW handFlow;
    SERIAL_TIMEOUTS timeouts;
    SERIAL_STATUS status;
    SERIAL_COMMPROP properties;
    DEVICE_CAPABILITIES capabilities;
    DEVICE_POWER_STATE powerState;
    PUSBD_INTERFACE_INFORMATION interfaceInfo;
    volatile BOOLEAN flag;
};

constinit Record globalRecord = {};

static_assert(sizeof(ULONG) == 4 && sizeof(USHORT) == 2 && sizeof(WCHAR) == 2, "Windows widths");
static_assert(IOCTL_INTERNAL_USB_SUBMIT_URB == 0x220003, "submit-URB code");
static_assert(IOCTL_INTERNAL_USB_RESET_PORT == 0x220007, "reset-port code");
static_assert(IOCTL_SERIAL_SET_BAUD_RATE == 0x1B0004, "serial code");
static_assert(IOCTL_SERIAL_SET_FIFO_CONTROL == 0x1B009C, "serial code");
static_assert(CTL_CODE(FILE_DEVICE_UNKNOWN, 0x889, METHOD_BUFFERED, FILE_ANY_ACCESS) == 0x222224,
              "private code");
static_assert(sizeof(SERIAL_COMMPROP) == 64, "communication properties");
static_assert(FIELD_OFFSET(SERIAL_HANDFLOW, XoffLimit) == 12, "published field order");

KDEFERRED_ROUTINE TimerRoutine;
IO_COMPLETION_ROUTINE CompletionRoutine;
DRIVER_CANCEL CancelRoutine;
DRIVER_DISPATCH Dispatch;
DRIVER_ADD_DEVICE AddDeviceRoutine;
DRIVER_UNLOAD UnloadRoutine;

VOID NTAPI TimerRoutine(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {
    UNREFERENCED_PARAMETER(dpc);
    UNREFERENCED_PARAMETER(argument1);
    UNREFERENCED_PARAMETER(argument2);
    Record* record = static_cast<Record*>(context);
    KeAcquireSpinLockAtDpcLevel(&record->lock);
    KeReleaseSpinLockFromDpcLevel(&record->lock);
}

NTSTATUS NTAPI CompletionRoutine(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context) {
    UNREFERENCED_PARAMETER(deviceObject);
    if (irp->PendingReturned) {
        IoMarkIrpPending(irp);
    }
    KeSetEvent(static_cast<PKEVENT>(context), EVENT_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

VOID NTAPI CancelRoutine(PDEVICE_OBJECT deviceObject, PIRP irp) {
    UNREFERENCED_PARAMETER(deviceObject);
    IoReleaseCancelSpinLock(irp->CancelIrql);
    KIRQL oldIrql;
    KeAcquireSpinLock(&globalRecord.lock, &oldIrql);
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&globalRecord.lock, oldIrql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT deviceObject, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG length = stack->Parameters.DeviceIoControl.InputBufferLength +
                   stack->Parameters.DeviceIoControl.OutputBufferLength +
                   stack->Parameters.Read.Length;
    PVOID buffer = irp->AssociatedIrp.SystemBuffer;
    UNREFERENCED_PARAMETER(code);
    UNREFERENCED_PARAMETER(length);
    UNREFERENCED_PARAMETER(buffer);

    KIRQL oldIrql;
    KeAcquireSpinLock(&globalRecord.lock, &oldIrql);
    InsertTailList(&globalRecord.link, &irp->Tail.Overlay.ListEntry);
    PDRIVER_CANCEL previous = IoSetCancelRoutine(irp, CancelRoutine);
    UNREFERENCED_PARAMETER(previous);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    }
    KeReleaseSpinLock(&globalRecord.lock, oldIrql);

    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, CompletionRoutine, &event, TRUE, TRUE, TRUE);
    NTSTATUS status = IofCallDriver(deviceObject, irp);
    if (status == STATUS_PENDING) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = -10000LL * 1000;
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
    }
    IoSkipCurrentIrpStackLocation(irp);
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS UsbRequests(PDEVICE_OBJECT lower, PUSB_CONFIGURATION_DESCRIPTOR descriptor) {
    PURB urb = static_cast<PURB>(ExAllocatePoolWithTag(
        NonPagedPoolNx, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), kTag));
    if (urb == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(urb, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
    UCHAR byte = 0;
    UsbBuildVendorRequest(urb, URB_FUNCTION_VENDOR_DEVICE,
                          sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, 0xC0, 0xFE, 0, 3,
                          &byte, nullptr, 1, nullptr);
    UsbBuildInterruptOrBulkTransferRequest(urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                           nullptr, &byte, nullptr, 1, USBD_TRANSFER_DIRECTION_IN,
                                           nullptr);
    UsbBuildGetDescriptorRequest(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, &byte, nullptr, 1,
                                 nullptr);
    UsbBuildFeatureRequest(urb, URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT, USB_FEATURE_ENDPOINT_STALL,
                           0, nullptr);
    USBD_STATUS usbdStatus = urb->UrbHeader.Status;
    UNREFERENCED_PARAMETER(usbdStatus);
    ExFreePoolWithTag(urb, kTag);

    PUSB_INTERFACE_DESCRIPTOR found =
        USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, -1, -1, -1, -1, -1);
    USBD_INTERFACE_LIST_ENTRY list[2] = {};
    list[0].InterfaceDescriptor = found;
    PURB select = USBD_CreateConfigurationRequestEx(descriptor, list);
    if (select != nullptr) {
        list[0].Interface->Pipes[0].MaximumTransferSize = 64;
        USBD_PIPE_HANDLE handle = list[0].Interface->Pipes[0].PipeHandle;
        UNREFERENCED_PARAMETER(handle);
        ExFreePool(select);
    }

    KEVENT event;
    IO_STATUS_BLOCK ioStatus;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, lower, nullptr, 0,
                                             nullptr, 0, TRUE, &event, &ioStatus);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
    NTSTATUS status = IofCallDriver(lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = ioStatus.Status;
    }
    return status;
}

NTSTATUS Registry(PDEVICE_OBJECT pdo) {
    HANDLE key = nullptr;
    NTSTATUS status =
        IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_QUERY_VALUE | KEY_SET_VALUE, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, WIDE("PortName"));
    UCHAR buffer[64];
    ULONG resultLength = 0;
    status = ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, buffer, sizeof(buffer),
                             &resultLength);
    WCHAR data[] = WIDE("COM5");
    ZwSetValueKey(key, &valueName, 0, REG_SZ, data, sizeof(data));
    ZwClose(key);
    RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, WIDE("SERIALCOMM"), WIDE("\\Device\\Serial2"),
                          REG_SZ, data, sizeof(data));
    RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, WIDE("SERIALCOMM"), WIDE("\\Device\\Serial2"));

    UNICODE_STRING path;
    RtlInitUnicodeString(&path, WIDE("\\Registry\\Machine\\Software"));
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               nullptr, nullptr);
    status = ZwOpenKey(&key, 0x1F01FF, &attributes);
    if (NT_SUCCESS(status)) {
        ZwClose(key);
    }
    return status;
}

NTSTATUS NTAPI AddDeviceRoutine(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT pdo) {
    WCHAR nameBuffer[32];
    UNICODE_STRING name = {0, sizeof(nameBuffer), nameBuffer};
    WCHAR numberBuffer[20];
    UNICODE_STRING number = {0, sizeof(numberBuffer), numberBuffer};
    RtlIntegerToUnicodeString(2, 10, &number);
    RtlAppendUnicodeToString(&name, WIDE("\\Device\\Serial"));
    RtlAppendUnicodeStringToString(&name, &number);

    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driverObject, sizeof(Record), &name, FILE_DEVICE_SERIAL_PORT,
                                     0, TRUE, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    Record* record = static_cast<Record*>(device->DeviceExtension);
    InitializeListHead(&record->link);
    KeInitializeSpinLock(&record->lock);
    KeInitializeMutex(&record->mutex, 0);
    KeInitializeEvent(&record->event, NotificationEvent, FALSE);
    KeInitializeTimer(&record->timer);
    KeInitializeDpc(&record->dpc, TimerRoutine, record);
    LARGE_INTEGER due;
    due.QuadPart = -10000LL;
    KeSetTimer(&record->timer, due, &record->dpc);
    KeCancelTimer(&record->timer);
    KeWaitForSingleObject(&record->mutex, Executive, KernelMode, FALSE, nullptr);
    KeReleaseMutex(&record->mutex, FALSE);
    InterlockedExchange(reinterpret_cast<volatile LONG*>(&record->powerState), 0);

    PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(device, pdo);
    status = IoRegisterDeviceInterface(pdo, &GUID_DEVINTERFACE_COMPORT, nullptr, &record->name);
    if (NT_SUCCESS(status)) {
        IoSetDeviceInterfaceState(&record->name, TRUE);
        RtlFreeUnicodeString(&record->name);
    }
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, WIDE("\\DosDevices\\COM5"));
    IoCreateSymbolicLink(&link, &name);
    IoDeleteSymbolicLink(&link);
    device->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    if (lower != nullptr) {
        IoDetachDevice(lower);
    }
    IoDeleteDevice(device);
    return Registry(pdo);
}

VOID NTAPI UnloadRoutine(PDRIVER_OBJECT driverObject) {
    UNREFERENCED_PARAMETER(driverObject);
}

}  // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
    UNREFERENCED_PARAMETER(registryPath);
    driverObject->DriverExtension->AddDevice = AddDeviceRoutine;
    driverObject->DriverUnload = UnloadRoutine;
    driverObject->DriverStartIo = nullptr;
    driverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = Dispatch;
    InitializeListHead(&globalRecord.link);
    PIRP irp = IoAllocateIrp(2, FALSE);
    if (irp != nullptr) {
        IoCancelIrp(irp);
        IoFreeIrp(irp);
    }
    return UsbRequests(nullptr, nullptr);
}
