// entry.cpp - driver entry, the handler table, AddDevice, Unload and the
// pass-down of system-control (WMI) requests.
#include "device/device.h"
#include "driver/driver.h"
#include "receive/receive.h"
#include "serial/serial.h"
#include "transmit/transmit.h"

constinit DriverGlobalsState DriverGlobals = {};

// Installs the handler table and the driver-wide state. Every other major
// function keeps the I/O manager's default, which completes it with
// STATUS_INVALID_DEVICE_REQUEST.
// IRQL: PASSIVE_LEVEL. Locks: none.
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    UNREFERENCED_PARAMETER(registryPath);

    driverObject->DriverExtension->AddDevice = AddDevice;
    driverObject->DriverUnload = Unload;
    driverObject->DriverStartIo = nullptr;
    driverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    driverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    driverObject->MajorFunction[IRP_MJ_READ] = DispatchRead;
    driverObject->MajorFunction[IRP_MJ_WRITE] = DispatchWrite;
    driverObject->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = DispatchFlushBuffers;
    driverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    driverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
    driverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    driverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
    driverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;

    // The record is zero at load; zeroing it again keeps a reload in the same
    // address space (the simulated kernel) equal to a fresh load.
    RtlZeroMemory(&DriverGlobals, sizeof(DriverGlobals));
    InitializeListHead(&DriverGlobals.portList);
    KeInitializeMutex(&DriverGlobals.portListMutex, 0);
    DriverGlobals.force230400 = FALSE;
    DriverGlobals.captureCount = 0;
    DriverGlobals.probePending = TRUE;
    DriverGlobals.captureEnabled = TRUE;
    return STATUS_SUCCESS;
}

// Creates, names, attaches and initialises the functional device object of
// one cable. IRQL: PASSIVE_LEVEL (Plug and Play context). Locks: none held;
// CreatePortDevice takes portListMutex. The lock analysis is off: no other
// path reaches the record until the device is started.
NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT physicalDeviceObject)
    BRIDGESER_NO_LOCK_ANALYSIS {
    ASSERT_IRQL(PASSIVE_LEVEL);
    PDEVICE_OBJECT deviceObject = nullptr;
    NTSTATUS status = CreatePortDevice(driverObject, physicalDeviceObject, &deviceObject);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    deviceObject->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;

    PortExtension* extension = GetPortExtension(deviceObject);
    extension->deviceObject = deviceObject;
    extension->physicalDeviceObject = physicalDeviceObject;
    extension->lowerDeviceObject = IoAttachDeviceToDeviceStack(deviceObject, physicalDeviceObject);
    if (extension->lowerDeviceObject == nullptr) {
        DeletePortDevice(deviceObject);
        return STATUS_NO_SUCH_DEVICE;
    }

    extension->statusReport[0] = STATUS_REPORT_NONE;
    extension->attachedToStack = TRUE;
    extension->useCapabilityPowerMap = TRUE;

    KeInitializeMutex(&extension->openMutex, 0);
    KeInitializeMutex(&extension->registerMutex, 0);
    InitializeListHead(&extension->readQueue);
    KeInitializeSpinLock(&extension->readLock);
    InitializeListHead(&extension->writeQueue);
    KeInitializeSpinLock(&extension->writeLock);
    InitializeListHead(&extension->maskQueue);
    KeInitializeSpinLock(&extension->controlLock);
    KeInitializeSpinLock(&extension->transferLock);
    KeInitializeEvent(&extension->devicePowerEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&extension->bulkInStopped, NotificationEvent, FALSE);
    KeInitializeEvent(&extension->bulkOutStopped, NotificationEvent, FALSE);
    KeInitializeEvent(&extension->statusStopped, NotificationEvent, FALSE);
    KeInitializeTimer(&extension->readIntervalTimer);
    KeInitializeTimer(&extension->readTotalTimer);
    KeInitializeTimer(&extension->writeTimer);
    KeInitializeDpc(&extension->readIntervalTimerDpc, ReadIntervalTimeoutDpc, extension);
    KeInitializeDpc(&extension->readTotalTimerDpc, ReadTotalTimeoutDpc, extension);
    KeInitializeDpc(&extension->writeTimerDpc, WriteTimeoutDpc, extension);

    deviceObject->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
    return STATUS_SUCCESS;
}

// Runs when the last device object of the driver is gone. Every per-device
// resource was released at removal and the driver-wide state needs no
// release, so there is nothing to do. IRQL: PASSIVE_LEVEL. Locks: none.
VOID NTAPI Unload(PDRIVER_OBJECT driverObject) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    UNREFERENCED_PARAMETER(driverObject);
}

// Passes a system-control (WMI) request down unchanged; the driver has no WMI
// of its own. IRQL: PASSIVE_LEVEL. Locks: none.
NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT deviceObject, PIRP irp) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    if (!NT_SUCCESS(AcquireRequestLock(deviceObject, irp))) {
        return RefuseRequest(irp, STATUS_DELETE_PENDING);
    }
    return ForwardAndRelease(deviceObject, irp);
}
