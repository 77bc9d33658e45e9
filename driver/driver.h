// driver.h - the driver's chief header: the driver-wide state, the per-device
// record (the device extension of every functional device object) and the
// routines of the driver core that other folders call.
#pragma once

#include "platform/platform.h"

// ---------------------------------------------------------------- constants

// Pool tag of every allocation of the driver: the bytes 'W','d','m',' ' in
// memory order.
inline constexpr ULONG BRIDGESER_POOL_TAG = 0x206D6457;

// Number of USB pipes of the bridge's interface, in this order.
inline constexpr ULONG BRIDGE_PIPE_COUNT = 3;
inline constexpr ULONG BRIDGE_PIPE_STATUS = 0;    // interrupt-in, 4-byte status reports
inline constexpr ULONG BRIDGE_PIPE_BULK_OUT = 1;  // bulk-out, transmitted bytes
inline constexpr ULONG BRIDGE_PIPE_BULK_IN = 2;   // bulk-in, received bytes

// Largest transfer on any pipe, and the size of the status report.
inline constexpr ULONG BRIDGE_MAX_TRANSFER = 64;
inline constexpr ULONG BRIDGE_STATUS_REPORT_SIZE = 4;

// Bytes captured after the identification query.
inline constexpr ULONG IDENTIFICATION_CAPTURE_SIZE = 23;

// Size of the receive ring while the port is open.
inline constexpr ULONG RECEIVE_RING_SIZE = 8192;

// First byte of statusReport while no report has arrived.
inline constexpr UCHAR STATUS_REPORT_NONE = 0xFF;

// ---------------------------------------------------------------- records

// The driver-wide state. Zero at load; DriverEntry sets the initial values.
// It lives as long as the driver and is shared by every cable it serves.
struct DriverGlobalsState {
    LIST_ENTRY portList;              // PortExtension records through portLink, newest first; portListMutex
    KMUTEX portListMutex;             // guards portList and lastPortNumber
    ULONG lastPortNumber;             // number given to the most recently created port; portListMutex
    volatile BOOLEAN force230400;     // identification reply recognised; read without a lock
    volatile BOOLEAN probePending;    // identification query not yet seen at the start of a write; no lock
    volatile BOOLEAN captureEnabled;  // received bytes still captured for the comparison; no lock
    ULONG captureCount;               // bytes held in captureBuffer (0 to 23); receive path
    UCHAR captureBuffer[IDENTIFICATION_CAPTURE_SIZE];  // first bytes delivered after the query; receive path
    volatile BOOLEAN reportLinesOnNextWait;  // next wait-on-mask completes from the line levels; no lock
};

extern constinit DriverGlobalsState DriverGlobals;

// Progress of the current read or write. Guarded by the path's lock.
struct TransferProgress {
    PIRP request;   // the request being served, or null
    PUCHAR buffer;  // its data buffer
    ULONG length;   // bytes asked for
    ULONG done;     // bytes moved so far
};

// Per-pipe bookkeeping, one entry per pipe in interface order.
struct PipeState {
    volatile BOOLEAN pipeOpen;  // the pipe is in use by the open port; open, close and AbortPipes
};

// The per-device record: the device extension of the functional device
// object, zero-filled by IoCreateDevice. Fields are in their fixed order.
// Flags that are read without a lock are volatile single bytes or words.
struct PortExtension {
    // identity, naming and open state
    LIST_ENTRY portLink;                   // link in DriverGlobals.portList; portListMutex
    ULONG portNumber;                      // port number; device name ends in portNumber + 2; set once
    BOOLEAN symbolicLinkCreated;           // the \DosDevices\ link exists; creation and tear-down only
    volatile BOOLEAN portOpen;             // a handle is open; written under openMutex, read without a lock
    PIRP currentRead;                      // the read being filled; readLock
    PIRP currentWrite;                     // the write being transmitted; writeLock
    KMUTEX openMutex;                      // serialises open, close and surprise removal
    PDEVICE_OBJECT physicalDeviceObject;   // PDO given to AddDevice; set once
    PDEVICE_OBJECT lowerDeviceObject;      // device below in the stack; set once by AddDevice
    PDEVICE_OBJECT deviceObject;           // this functional device object; set once
    UNICODE_STRING deviceName;             // \Device\SerialN, buffer owned; creation and tear-down only
    UNICODE_STRING symbolicLinkName;       // \DosDevices\ + PortName, buffer owned; creation and tear-down only
    UNICODE_STRING interfaceName;          // COM-port interface link, platform buffer owned; creation and tear-down only
    BOOLEAN serialCommWritten;             // the SERIALCOMM value exists; creation and tear-down only
    BOOLEAN attachedToStack;               // attached to the lower stack; AddDevice and tear-down only

    // receive ring
    PUCHAR rxRingBuffer;                   // ring storage, 8192 bytes while open; readLock
    ULONG rxRingSize;                      // ring capacity; readLock
    ULONG rxRingCount;                     // bytes held; readLock
    ULONG rxRingReadIndex;                 // position of the oldest held byte; readLock
    ULONG rxRingWriteIndex;                // position for the next received byte; readLock

    // statistics
    volatile BOOLEAN statsEnabled;         // byte counting on; read without a lock
    ULONG transmittedCount;                // bytes sent while counting; writeLock
    ULONG receivedCount;                   // bytes received while counting; readLock

    // read path
    TransferProgress readProgress;         // progress of the current read; readLock
    LIST_ENTRY readQueue;                  // reads waiting behind currentRead; readLock
    KSPIN_LOCK readLock;                   // receive path lock

    // write path
    ULONG writeQueuedBytes;                // bytes of the current and queued writes not yet sent; writeLock
    TransferProgress writeProgress;        // progress of the current write; writeLock
    LIST_ENTRY writeQueue;                 // writes waiting behind currentWrite; writeLock
    KSPIN_LOCK writeLock;                  // transmit path lock

    // wait-on-mask machinery
    PIRP currentMaskRequest;               // wait-mask request being processed; controlLock
    PIRP pendingWaitRequest;               // IOCTL_SERIAL_WAIT_ON_MASK waiting for events; controlLock
    LIST_ENTRY maskQueue;                  // wait-mask requests waiting; controlLock
    KSPIN_LOCK controlLock;                // control and event state, register shadows, modem status
    ULONG eventHistory;                    // SERIAL_EV_* bits seen; controlLock
    ULONG waitMask;                        // SERIAL_EV_* wait mask; controlLock
    BOOLEAN eventCharSeen;                 // EventChar received since last signalled; controlLock

    // USB transfer slots
    PIRP bulkInIrp;                        // the bulk-in request; transferLock for its cancel routine
    PURB bulkInUrb;                        // its URB
    PUCHAR bulkInBuffer;                   // its 64-byte buffer
    volatile BOOLEAN bulkInBusy;           // a bulk-in transfer is in flight; read without a lock
    PIRP bulkOutIrp;                       // the bulk-out request; transferLock for its cancel routine
    PURB bulkOutUrb;                       // its URB
    PUCHAR bulkOutBuffer;                  // its 64-byte buffer
    volatile BOOLEAN bulkOutBusy;          // a bulk-out transfer is in flight; read without a lock
    PIRP statusIrp;                        // the interrupt-in status request; transferLock for its cancel routine
    PURB statusUrb;                        // its URB
    PUCHAR statusBuffer;                   // its 4-byte buffer
    volatile BOOLEAN statusBusy;           // a status transfer is in flight; read without a lock
    KSPIN_LOCK transferLock;               // installation of cancel routines on the transfer requests
    KEVENT bulkInStopped;                  // a bulk-in transfer ended with an error
    KEVENT statusStopped;                  // the status transfer gave up its slot
    KEVENT bulkOutStopped;                 // the bulk-out transfer gave up its slot

    // settings and chip state
    UCHAR interruptEnableShadow;           // value written to chip register 1; registerMutex
    UCHAR fifoControlShadow;               // value for chip register 2; registerMutex
    UCHAR lineControlShadow;               // working copy of chip register 3; registerMutex, controlLock for break
    UCHAR modemControlShadow;              // working copy of chip register 4; registerMutex, controlLock
    UCHAR modemStatus;                     // modem status byte, 16550 layout; controlLock
    ULONG settableBaud;                    // SettableBaud of the communication properties; start only
    ULONG baudRate;                        // current baud rate in bit/s; settings requests and open
    ULONG inQueueSize;                     // largest receive queue size requested; settings requests
    SERIAL_CHARS chars;                    // special characters; controlLock
    SERIAL_HANDFLOW handFlow;              // handshake and flow control; controlLock
    SERIAL_TIMEOUTS timeouts;              // read and write time-outs; controlLock
    SERIAL_LINE_CONTROL lineControl;       // stop bits, parity, word length; settings requests
    SERIAL_STATUS commStatus;              // snapshot for IOCTL_SERIAL_GET_COMMSTATUS; controlLock
    SERIAL_COMMPROP properties;            // communication properties, built at start

    // timers, each with its DPC and flag word (bit 0 armed, bit 1 cancelled too late)
    KTIMER readIntervalTimer;              // read interval time-out; readLock
    KDPC readIntervalTimerDpc;             // runs ReadIntervalTimeoutDpc
    ULONG readIntervalTimerFlags;          // readLock
    KTIMER readTotalTimer;                 // read total time-out; readLock
    KDPC readTotalTimerDpc;                // runs ReadTotalTimeoutDpc
    ULONG readTotalTimerFlags;             // readLock
    KTIMER writeTimer;                     // write total time-out; writeLock
    KDPC writeTimerDpc;                    // runs WriteTimeoutDpc
    ULONG writeTimerFlags;                 // writeLock

    // status report and pipes
    UCHAR statusReport[BRIDGE_STATUS_REPORT_SIZE];  // last accepted report, byte 0 = 0xFF when none; controlLock
    PipeState pipeState[BRIDGE_PIPE_COUNT];         // per-pipe open marks, in pipe order
    DEVICE_POWER_STATE devicePowerState;   // current device power state; power path
    volatile BOOLEAN configured;           // a configuration is selected; PnP path
    PUSBD_INTERFACE_INFORMATION interfaceInfo;  // owned copy of the selected interface; replaced at start

    // power
    DEVICE_CAPABILITIES deviceCapabilities;  // copy from the capabilities query; PnP path
    DEVICE_POWER_STATE deviceWakeState;    // threshold device state for power requests; PnP and power paths
    BOOLEAN useCapabilityPowerMap;         // map sleeping system states through deviceCapabilities
    KEVENT devicePowerEvent;               // a requested power-up has completed
    PIRP pendingSystemPowerIrp;            // system set-power held while its device request runs; power path
    volatile BOOLEAN devicePowerRequestBusy;  // a driver-requested device set-power is outstanding

    // Plug and Play state, read without a lock through IsDeviceReady
    volatile BOOLEAN removed;              // removal or surprise removal handled
    volatile BOOLEAN started;              // device started
    volatile BOOLEAN removePending;        // query-remove in force
    volatile BOOLEAN stopPending;          // query-stop in force
    volatile ULONG openPipeCount;          // pipes marked open; open, close and AbortPipes

    // hold and error words
    ULONG txHoldFlags;                     // transmit hold bits (CTS, DSR, DCD); controlLock, cleared under openMutex
    ULONG rxHoldFlags;                     // receive hold bits (DSR); controlLock, cleared under openMutex
    ULONG errorFlags;                      // accumulated SERIAL_ERROR_* bits; controlLock, cleared under openMutex

    // added fields
    KMUTEX registerMutex;                  // serialises each chip register sequence (read-modify-write of 3 and 4)
};

// ---------------------------------------------------------------- entry and device record

extern "C" DRIVER_INITIALIZE DriverEntry;
DRIVER_ADD_DEVICE AddDevice;
DRIVER_UNLOAD Unload;
DRIVER_DISPATCH DispatchSystemControl;
DRIVER_DISPATCH DispatchPnp;

// The record of a device object of this driver.
inline PortExtension* GetPortExtension(PDEVICE_OBJECT deviceObject) {
    return static_cast<PortExtension*>(deviceObject->DeviceExtension);
}

NTSTATUS ForwardRequest(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information);
NTSTATUS QueuePendingRequest(PLIST_ENTRY queue, PIRP irp, PDRIVER_CANCEL cancelRoutine);
PIRP TakeNextRequest(PLIST_ENTRY queue);
BOOLEAN IsDeviceReady(PDEVICE_OBJECT deviceObject);
IO_COMPLETION_ROUTINE SignalEventCompletion;
DRIVER_CANCEL TransferCancelRoutine;

// Timer routines of the read and write paths.
KDEFERRED_ROUTINE ReadIntervalTimeoutDpc;
KDEFERRED_ROUTINE ReadTotalTimeoutDpc;
KDEFERRED_ROUTINE WriteTimeoutDpc;

// ---------------------------------------------------------------- port naming and registry

NTSTATUS CreatePortDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT physicalDeviceObject,
                          PDEVICE_OBJECT* deviceObject);
VOID DeletePortDevice(PDEVICE_OBJECT deviceObject);
NTSTATUS OpenRegistryKeyByPath(PCWSTR path, PHANDLE keyHandle);
NTSTATUS QueryRegistryValue(HANDLE keyHandle, PCWSTR valueName, PVOID buffer, ULONG bufferSize);
NTSTATUS SetRegistryValue(HANDLE keyHandle, PCWSTR valueName, ULONG valueNameMaxBytes, ULONG type,
                          PVOID data, ULONG dataSize);

// ---------------------------------------------------------------- Plug and Play

NTSTATUS RemoveDevice(PDEVICE_OBJECT deviceObject);

// ---------------------------------------------------------------- USB configuration and start-up

NTSTATUS StartDevice(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS ConfigureDevice(PDEVICE_OBJECT deviceObject);
NTSTATUS ResetUsbPort(PDEVICE_OBJECT deviceObject);
NTSTATUS ClearControlEndpointStall(PDEVICE_OBJECT deviceObject);
NTSTATUS SelectConfiguration(PDEVICE_OBJECT deviceObject,
                             PUSB_CONFIGURATION_DESCRIPTOR configurationDescriptor);
NTSTATUS InitializePipeState(PDEVICE_OBJECT deviceObject);
NTSTATUS SetStartDefaults(PortExtension* extension);
VOID InitializeCommProperties(PortExtension* extension);

// Size of the buffer into which the configuration descriptor is read.
inline constexpr ULONG CONFIGURATION_DESCRIPTOR_BUFFER_SIZE = 265;
