// naming.cpp - port numbering, the device object with its names, the COM
// name link, the SERIALCOMM device map value, the COM-port device interface,
// the installation marker and Ports entry, and their tear-down.
#include "device/device.h"
#include "driver/driver.h"

namespace {

constexpr ULONG NAME_BUFFER_SIZE = 258;     // bytes of each owned name buffer
constexpr USHORT NAME_MAX_LENGTH = 256;     // MaximumLength of the owned names
constexpr ULONG PORT_NAME_MAX_BYTES = 256;  // longest PortName value accepted
constexpr ULONG PORT_NAME_MAX_CHARS = PORT_NAME_MAX_BYTES / sizeof(WCHAR);
constexpr ULONG WORK_BUFFER_SIZE = 514;
constexpr ULONG INITIAL_BAUD_RATE_READ_SIZE = 4;
constexpr UCHAR INSTALLATION_MARKER = 0x30;  // first byte of the text "0"
constexpr ULONG PORT_NAME_VALUE_NAME_BYTES = 18;
constexpr ULONG INITIAL_BAUD_RATE_VALUE_NAME_BYTES = 32;
// The one key opened by path, the Ports key, only has a value written to it.
constexpr ACCESS_MASK REGISTRY_PATH_ACCESS = KEY_SET_VALUE;
// The hardware and driver keys have values read and written through them.
constexpr ACCESS_MASK DEVICE_KEY_ACCESS = KEY_QUERY_VALUE | KEY_SET_VALUE;
constexpr ULONG REGISTRY_PATH_MAX_CHARS = 260;
constexpr ULONG DEVICE_NUMBER_CHARS = 20;

constexpr PCWSTR PORTS_KEY_PATH =
    WIDE("\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Ports");

// Characters of a wide string up to its terminator, at most maxChars.
// IRQL: any. Locks: none.
ULONG WideLength(PCWSTR text, ULONG maxChars) {
    ULONG length = 0;
    while (length < maxChars && text[length] != 0) {
        ++length;
    }
    return length;
}

// TRUE when a PortName text can name a DOS device: not empty, printable
// ASCII without blanks, and none of the characters that separate or
// qualify names (\ / : * ? " < > |). IRQL: any. Locks: none.
bool IsUsablePortName(PCWSTR text) {
    ULONG length = WideLength(text, PORT_NAME_MAX_CHARS + 1);
    if (length == 0 || length > PORT_NAME_MAX_CHARS) {
        return false;
    }
    for (ULONG i = 0; i < length; ++i) {
        WCHAR c = text[i];
        if (c <= 0x20 || c >= 0x7F) {
            return false;
        }
        switch (c) {
            case '\\':
            case '/':
            case ':':
            case '*':
            case '?':
            case '"':
            case '<':
            case '>':
            case '|':
                return false;
            default:
                break;
        }
    }
    return true;
}

// Picks the number of a new port: the last number given, or the next one if
// a present port holds it. Numbering never goes back, except that the most
// recent number is given again when its port is gone.
// IRQL: PASSIVE_LEVEL. Locks: portListMutex, held by the caller.
ULONG ChoosePortNumber() {
    ASSERT_IRQL(PASSIVE_LEVEL);
    ULONG candidate = DriverGlobals.lastPortNumber;
    for (PLIST_ENTRY entry = DriverGlobals.portList.Flink; entry != &DriverGlobals.portList;
         entry = entry->Flink) {
        const PortExtension* port = CONTAINING_RECORD(entry, PortExtension, portLink);
        if (port->portNumber == candidate) {
            candidate = DriverGlobals.lastPortNumber + 1;
            break;
        }
    }
    DriverGlobals.lastPortNumber = candidate;
    return candidate;
}

// On an installation without the marker: writes InitialBaudRate = "0" to the
// driver key and the Ports entry "<PortName>:" = "115200,n,8,1". Failures to
// open or write keys are not errors; only the work buffer is required.
// IRQL: PASSIVE_LEVEL. Locks: none.
NTSTATUS SeedInstallation(PDEVICE_OBJECT physicalDeviceObject, PCWSTR portName) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    PWCHAR work = static_cast<PWCHAR>(
        ExAllocatePoolWithTag(NonPagedPoolNx, WORK_BUFFER_SIZE, BRIDGESER_POOL_TAG));
    if (work == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    HANDLE driverKey = nullptr;
    RtlZeroMemory(work, WORK_BUFFER_SIZE);
    if (NT_SUCCESS(IoOpenDeviceRegistryKey(physicalDeviceObject, PLUGPLAY_REGKEY_DRIVER,
                                           DEVICE_KEY_ACCESS, &driverKey))) {
        QueryRegistryValue(driverKey, WIDE("InitialBaudRate"), work, INITIAL_BAUD_RATE_READ_SIZE);
    } else {
        driverKey = nullptr;
    }

    if (reinterpret_cast<const UCHAR*>(work)[0] != INSTALLATION_MARKER) {
        if (driverKey != nullptr) {
            WCHAR marker[] = WIDE("0");
            SetRegistryValue(driverKey, WIDE("InitialBaudRate"), INITIAL_BAUD_RATE_VALUE_NAME_BYTES,
                             REG_SZ, marker, sizeof(marker));
        }
        HANDLE portsKey = nullptr;
        if (NT_SUCCESS(OpenRegistryKeyByPath(PORTS_KEY_PATH, &portsKey))) {
            RtlZeroMemory(work, WORK_BUFFER_SIZE);
            ULONG length = WideLength(portName, PORT_NAME_MAX_CHARS);
            RtlCopyMemory(work, portName, length * sizeof(WCHAR));
            work[length] = ':';
            WCHAR settings[] = WIDE("115200,n,8,1");
            SetRegistryValue(portsKey, work, WORK_BUFFER_SIZE - sizeof(WCHAR), REG_SZ, settings,
                             sizeof(settings));
            ZwClose(portsKey);
        }
    }

    if (driverKey != nullptr) {
        ZwClose(driverKey);
    }
    ExFreePoolWithTag(work, BRIDGESER_POOL_TAG);
    return STATUS_SUCCESS;
}

}  // namespace

// Creates the device object of one cable with its record, numbers and names
// it, links its COM name, publishes it in SERIALCOMM and as a COM-port
// interface, and seeds the installation marker and Ports entry once. On
// failure nothing of the device remains.
// A PortName that is missing, unreadable, longer than 256 bytes, or not a
// usable device name gives a port without COM name link (as when the link
// cannot be made): no link, no SERIALCOMM value, no write-back, no Ports
// entry; the port is still reachable through its device interface.
// IRQL: PASSIVE_LEVEL. Locks: takes portListMutex.
NTSTATUS CreatePortDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT physicalDeviceObject,
                          PDEVICE_OBJECT* deviceObjectOut) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    *deviceObjectOut = nullptr;

    HANDLE hardwareKey = nullptr;
    NTSTATUS status = IoOpenDeviceRegistryKey(physicalDeviceObject, PLUGPLAY_REGKEY_DEVICE,
                                              DEVICE_KEY_ACCESS, &hardwareKey);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    KeWaitForSingleObject(&DriverGlobals.portListMutex, Executive, KernelMode, FALSE, nullptr);
    ULONG portNumber = ChoosePortNumber();

    PWCHAR nameBuffer = static_cast<PWCHAR>(
        ExAllocatePoolWithTag(NonPagedPoolNx, NAME_BUFFER_SIZE, BRIDGESER_POOL_TAG));
    if (nameBuffer == nullptr) {
        KeReleaseMutex(&DriverGlobals.portListMutex, FALSE);
        ZwClose(hardwareKey);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    UNICODE_STRING deviceName = {0, NAME_MAX_LENGTH, nameBuffer};
    PDEVICE_OBJECT deviceObject = nullptr;
    // A name another driver already holds is skipped: the next number is
    // tried, a bounded number of times, so one foreign \Device\SerialN does
    // not keep every later cable from being added.
    for (ULONG attempt = 0;; ++attempt) {
        RtlZeroMemory(nameBuffer, NAME_BUFFER_SIZE);
        deviceName.Length = 0;
        WCHAR numberBuffer[DEVICE_NUMBER_CHARS];
        UNICODE_STRING numberText = {0, sizeof(numberBuffer), numberBuffer};
        RtlIntegerToUnicodeString(portNumber + 2, 10, &numberText);
        RtlAppendUnicodeToString(&deviceName, WIDE("\\Device\\Serial"));
        RtlAppendUnicodeStringToString(&deviceName, &numberText);
        status = IoCreateDevice(driverObject, sizeof(PortExtension), &deviceName,
                                FILE_DEVICE_SERIAL_PORT, 0, TRUE, &deviceObject);
        if (status != STATUS_OBJECT_NAME_COLLISION || attempt + 1 == NAME_COLLISION_ATTEMPTS) {
            break;
        }
        portNumber = ++DriverGlobals.lastPortNumber;
    }
    if (!NT_SUCCESS(status)) {
        KeReleaseMutex(&DriverGlobals.portListMutex, FALSE);
        ExFreePoolWithTag(nameBuffer, BRIDGESER_POOL_TAG);
        ZwClose(hardwareKey);
        return status;
    }

    PortExtension* extension = GetPortExtension(deviceObject);
    // Ready before the device has a name an application could open.
    IoInitializeRemoveLock(&extension->removeLock, BRIDGESER_POOL_TAG, 0, 0);
    extension->portNumber = portNumber;
    InsertHeadList(&DriverGlobals.portList, &extension->portLink);
    KeReleaseMutex(&DriverGlobals.portListMutex, FALSE);
    extension->deviceName = deviceName;

    // From here on every failure tears the device down.
    PWCHAR portName = static_cast<PWCHAR>(
        ExAllocatePoolWithTag(NonPagedPoolNx, NAME_BUFFER_SIZE, BRIDGESER_POOL_TAG));
    PWCHAR linkBuffer = static_cast<PWCHAR>(
        ExAllocatePoolWithTag(NonPagedPoolNx, NAME_BUFFER_SIZE, BRIDGESER_POOL_TAG));
    extension->symbolicLinkName.Buffer = linkBuffer;
    if (portName == nullptr || linkBuffer == nullptr) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto failure;
    }

    {
        // The buffer holds 256 bytes of value and a terminator that the read
        // never overwrites; a failed or over-long read leaves it empty.
        RtlZeroMemory(portName, NAME_BUFFER_SIZE);
        QueryRegistryValue(hardwareKey, WIDE("PortName"), portName, PORT_NAME_MAX_BYTES);

        RtlZeroMemory(linkBuffer, NAME_BUFFER_SIZE);
        extension->symbolicLinkName.Length = 0;
        extension->symbolicLinkName.MaximumLength = NAME_MAX_LENGTH;
        bool linkable =
            IsUsablePortName(portName) &&
            NT_SUCCESS(
                RtlAppendUnicodeToString(&extension->symbolicLinkName, WIDE("\\DosDevices\\"))) &&
            NT_SUCCESS(RtlAppendUnicodeToString(&extension->symbolicLinkName, portName));
        if (!linkable) {
            RtlZeroMemory(linkBuffer, NAME_BUFFER_SIZE);
            extension->symbolicLinkName.Length = 0;
        }

        if (linkable && NT_SUCCESS(IoCreateSymbolicLink(&extension->symbolicLinkName,
                                                        &extension->deviceName))) {
            extension->symbolicLinkCreated = TRUE;
            ULONG portNameBytes =
                (WideLength(portName, PORT_NAME_MAX_CHARS) + 1) * static_cast<ULONG>(sizeof(WCHAR));
            RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, WIDE("SERIALCOMM"),
                                  extension->deviceName.Buffer, REG_SZ, portName, portNameBytes);
            NTSTATUS writeBack =
                SetRegistryValue(hardwareKey, WIDE("PortName"), PORT_NAME_VALUE_NAME_BYTES, REG_SZ,
                                 portName, portNameBytes);
            extension->serialCommWritten = TRUE;
            if (NT_SUCCESS(writeBack)) {
                status = SeedInstallation(physicalDeviceObject, portName);
                if (!NT_SUCCESS(status)) {
                    goto failure;
                }
            }
        }
    }

    status = IoRegisterDeviceInterface(physicalDeviceObject, &GUID_DEVINTERFACE_COMPORT, nullptr,
                                       &extension->interfaceName);
    if (!NT_SUCCESS(status)) {
        extension->interfaceName.Buffer = nullptr;
        extension->interfaceName.Length = 0;
        extension->interfaceName.MaximumLength = 0;
        goto failure;
    }
    status = IoSetDeviceInterfaceState(&extension->interfaceName, TRUE);
    if (!NT_SUCCESS(status)) {
        goto failure;
    }
    extension->interfaceEnabled = TRUE;

    ExFreePoolWithTag(portName, BRIDGESER_POOL_TAG);
    ZwClose(hardwareKey);
    *deviceObjectOut = deviceObject;
    return STATUS_SUCCESS;

failure:
    if (portName != nullptr) {
        ExFreePoolWithTag(portName, BRIDGESER_POOL_TAG);
    }
    DeletePortDevice(deviceObject);
    ZwClose(hardwareKey);
    return status;
}

// Takes away the names by which applications find the port: the COM name
// link, the COM-port interface (disabled) and the SERIALCOMM value. The
// device object and its own name stay. Each is undone once.
// IRQL: PASSIVE_LEVEL. Locks: none.
VOID RemovePortNames(PortExtension* extension) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    if (extension->symbolicLinkCreated) {
        IoDeleteSymbolicLink(&extension->symbolicLinkName);
        extension->symbolicLinkCreated = FALSE;
    }
    if (extension->interfaceName.Buffer != nullptr && extension->interfaceEnabled) {
        IoSetDeviceInterfaceState(&extension->interfaceName, FALSE);
        extension->interfaceEnabled = FALSE;
    }
    if (extension->serialCommWritten) {
        RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, WIDE("SERIALCOMM"),
                               extension->deviceName.Buffer);
        extension->serialCommWritten = FALSE;
    }
}

// Undoes everything CreatePortDevice and AddDevice set up, in order, and
// deletes the device object. Each owned resource is released once and its
// field cleared, since the record stays readable while the Plug and Play
// manager still references the deleted object.
// IRQL: PASSIVE_LEVEL. Locks: takes portListMutex while unlinking.
VOID DeletePortDevice(PDEVICE_OBJECT deviceObject) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    PortExtension* extension = GetPortExtension(deviceObject);

    KeWaitForSingleObject(&DriverGlobals.portListMutex, Executive, KernelMode, FALSE, nullptr);
    RemoveEntryList(&extension->portLink);
    InitializeListHead(&extension->portLink);
    KeReleaseMutex(&DriverGlobals.portListMutex, FALSE);

    RemovePortNames(extension);
    if (extension->symbolicLinkName.Buffer != nullptr) {
        ExFreePoolWithTag(extension->symbolicLinkName.Buffer, BRIDGESER_POOL_TAG);
        extension->symbolicLinkName.Buffer = nullptr;
        extension->symbolicLinkName.Length = 0;
        extension->symbolicLinkName.MaximumLength = 0;
    }
    if (extension->interfaceName.Buffer != nullptr) {
        RtlFreeUnicodeString(&extension->interfaceName);
        extension->interfaceName.Buffer = nullptr;
        extension->interfaceName.Length = 0;
        extension->interfaceName.MaximumLength = 0;
    }
    if (extension->deviceName.Buffer != nullptr) {
        ExFreePoolWithTag(extension->deviceName.Buffer, BRIDGESER_POOL_TAG);
        extension->deviceName.Buffer = nullptr;
        extension->deviceName.Length = 0;
        extension->deviceName.MaximumLength = 0;
    }
    // The record owns its copy of the interface information as well.
    if (extension->interfaceInfo != nullptr) {
        ExFreePoolWithTag(extension->interfaceInfo, BRIDGESER_POOL_TAG);
        extension->interfaceInfo = nullptr;
    }
    if (extension->attachedToStack) {
        IoDetachDevice(extension->lowerDeviceObject);
        extension->attachedToStack = FALSE;
    }
    IoDeleteDevice(deviceObject);
}

// Opens a registry key by its absolute path, case-insensitive, for setting
// values. Paths longer than 260 characters are refused.
// IRQL: PASSIVE_LEVEL. Locks: none.
NTSTATUS OpenRegistryKeyByPath(PCWSTR path, PHANDLE keyHandle) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    WCHAR pathBuffer[REGISTRY_PATH_MAX_CHARS];
    UNICODE_STRING name = {0, sizeof(pathBuffer), pathBuffer};
    NTSTATUS status = RtlAppendUnicodeToString(&name, path);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               nullptr, nullptr);
    return ZwOpenKey(keyHandle, REGISTRY_PATH_ACCESS, &attributes);
}

// Reads a value's data, whatever its type, into a buffer of bufferSize
// bytes. Data longer than the buffer gives STATUS_BUFFER_TOO_SMALL and
// copies nothing. IRQL: PASSIVE_LEVEL. Locks: none.
NTSTATUS QueryRegistryValue(HANDLE keyHandle, PCWSTR valueName, PVOID buffer, ULONG bufferSize) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    const ULONG infoSize = bufferSize + 16;
    auto info = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(
        ExAllocatePoolWithTag(PagedPool, infoSize, BRIDGESER_POOL_TAG));
    if (info == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    UNICODE_STRING name;
    RtlInitUnicodeString(&name, valueName);
    ULONG resultLength = 0;
    NTSTATUS status = ZwQueryValueKey(keyHandle, &name, KeyValuePartialInformation, info, infoSize,
                                      &resultLength);
    if (status == STATUS_BUFFER_OVERFLOW || status == STATUS_BUFFER_TOO_SMALL) {
        status = STATUS_BUFFER_TOO_SMALL;
    } else if (NT_SUCCESS(status)) {
        if (info->DataLength > bufferSize) {
            status = STATUS_BUFFER_TOO_SMALL;
        } else {
            RtlCopyMemory(buffer, info->Data, info->DataLength);
            status = STATUS_SUCCESS;
        }
    }

    ExFreePoolWithTag(info, BRIDGESER_POOL_TAG);
    return status;
}

// Writes a value (title index 0) under a name copied into a counted string
// of valueNameMaxBytes + 2 bytes. IRQL: PASSIVE_LEVEL. Locks: none.
NTSTATUS SetRegistryValue(HANDLE keyHandle, PCWSTR valueName, ULONG valueNameMaxBytes, ULONG type,
                          PVOID data, ULONG dataSize) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    if (valueNameMaxBytes > 0xFFFC) {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG nameBytes = valueNameMaxBytes + 2;
    PWCHAR nameBuffer =
        static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, nameBytes, BRIDGESER_POOL_TAG));
    if (nameBuffer == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(nameBuffer, nameBytes);
    UNICODE_STRING name = {0, static_cast<USHORT>(nameBytes), nameBuffer};
    NTSTATUS status = RtlAppendUnicodeToString(&name, valueName);
    if (NT_SUCCESS(status)) {
        status = ZwSetValueKey(keyHandle, &name, 0, type, data, dataSize);
    }
    ExFreePoolWithTag(nameBuffer, BRIDGESER_POOL_TAG);
    return status;
}
