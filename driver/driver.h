// driver/: the device record and the request, transfer-slot and timer machinery every path shares.
// May call: platform/ only; it is the lowest layer, and every driver file includes this header.
//
// driver.h - the driver's chief header: the driver-wide state, the per-device
// record (the device extension of every functional device object) and the
// shared machinery's routines.
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

// Failed transfers in a row after which an in pipe's loop stops: a failed
// bulk-in or status transfer is sent again until then. The next read or
// status report restarts the bulk-in loop; the next open the status pipe.
inline constexpr ULONG IN_TRANSFER_RETRY_LIMIT = 3;

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
    // PortExtension records through portLink, newest first; portListMutex
    LIST_ENTRY portList;
    // guards portList and lastPortNumber
    KMUTEX portListMutex;
    // number given to the most recently created port; portListMutex
    ULONG lastPortNumber;
    // identification reply recognised; read without a lock
    volatile BOOLEAN force230400;
    // identification query not yet seen at the start of a write; no lock
    volatile BOOLEAN probePending;
    // received bytes still captured for the comparison; no lock
    volatile BOOLEAN captureEnabled;
    // bytes held in captureBuffer (0 to 23); receive path
    ULONG captureCount;
    // first bytes delivered after the query; receive path
    UCHAR captureBuffer[IDENTIFICATION_CAPTURE_SIZE];
    // next wait-on-mask completes from the line levels (TRUE or FALSE);
    // set and taken by interlocked exchange, the open and the wait being
    // on any port
    volatile LONG reportLinesOnNextWait;

    // added fields
    // the port whose delivered bytes fill captureBuffer; claimed by an
    // interlocked exchange, cleared when the capture is re-armed
    PVOID volatile captureOwner;
};

// NOLINTNEXTLINE(bugprone-dynamic-static-initializers): constinit, initialised statically
extern constinit DriverGlobalsState DriverGlobals;

// Progress of the current read or write. Guarded by the path's lock.
struct TransferProgress {
    // the request being served, or null
    PIRP request;
    // its data buffer
    PUCHAR buffer;
    // bytes asked for
    ULONG length;
    // bytes moved so far
    ULONG done;
};

// How a stop and the transfer of one pipe meet. Guarded by transferLock.
struct TransferStopState {
    // the request sent down and not yet completed, or null
    PIRP sentIrp;
    // a stop is under way: no new transfer may start on the pipe
    BOOLEAN stopRequested;
    // the stop holds sentIrp for its cancellation: the completion leaves the
    // request for the stop to free
    BOOLEAN irpPinned;
    // a start was asked for while the slot was taken: whoever gives the slot
    // up starts again, unless a hold or error then forbids it (the hold's
    // end starts the transfer)
    BOOLEAN startRequested;
    // stops waiting on the slot (close and removal may stop it together);
    // the first of them cancels and frees the pinned request, the last
    // ends the stop
    ULONG stoppers;
};

// The flag word of a path timer (bit 0 armed, bit 1 a cancel came too late,
// bit 2 an arming waits for that late run) and the relative due time that
// waiting arming will use. Guarded by the path's lock.
struct PathTimerFlags {
    ULONG bits;
    LONGLONG pendingDueTime;
};

// Per-pipe bookkeeping, one entry per pipe in interface order.
struct PipeState {
    // the pipe is in use by the open port (TRUE or FALSE); changed by
    // interlocked exchange, since an open and a removal's AbortPipes may
    // meet, and openPipeCount moves only with a change
    volatile LONG pipeOpen;
};

// The per-device record: the device extension of the functional device
// object, zero-filled by IoCreateDevice. Fields are in their fixed order.
// Flags that are read without a lock are volatile single bytes or words.
struct PortExtension {
    // identity, naming and open state
    // link in DriverGlobals.portList; portListMutex
    LIST_ENTRY portLink;
    // port number; device name ends in portNumber + 2; set once
    ULONG portNumber;
    // the \DosDevices\ link exists; creation and tear-down only
    BOOLEAN symbolicLinkCreated;
    // a handle is open; written under openMutex, read without a lock
    volatile BOOLEAN portOpen;
    // the read being filled; readLock
    PIRP currentRead _Guarded_by_(readLock);
    // the write being transmitted; writeLock
    PIRP currentWrite _Guarded_by_(writeLock);
    // serialises open, close and surprise removal
    KMUTEX openMutex;
    // PDO given to AddDevice; set once
    PDEVICE_OBJECT physicalDeviceObject;
    // device below in the stack; set once by AddDevice
    PDEVICE_OBJECT lowerDeviceObject;
    // this functional device object; set once
    PDEVICE_OBJECT deviceObject;
    // \Device\SerialN, buffer owned; creation and tear-down only
    UNICODE_STRING deviceName;
    // \DosDevices\ + PortName, buffer owned; creation and tear-down only
    UNICODE_STRING symbolicLinkName;
    // COM-port interface link, platform buffer owned; creation and tear-down only
    UNICODE_STRING interfaceName;
    // the interface is enabled; creation and tear-down only
    BOOLEAN interfaceEnabled;
    // the SERIALCOMM value exists; creation and tear-down only
    BOOLEAN serialCommWritten;
    // attached to the lower stack; AddDevice and tear-down only
    BOOLEAN attachedToStack;

    // receive ring
    // ring storage, 8192 bytes while open; readLock
    PUCHAR rxRingBuffer _Guarded_by_(readLock);
    // ring capacity; readLock
    ULONG rxRingSize _Guarded_by_(readLock);
    // bytes held; readLock
    ULONG rxRingCount _Guarded_by_(readLock);
    // position of the oldest held byte; readLock
    ULONG rxRingReadIndex _Guarded_by_(readLock);
    // position for the next received byte; readLock
    ULONG rxRingWriteIndex _Guarded_by_(readLock);

    // statistics
    // byte counting on; read without a lock
    volatile BOOLEAN statsEnabled;
    // bytes sent while counting; writeLock
    ULONG transmittedCount _Guarded_by_(writeLock);
    // bytes received while counting; readLock
    ULONG receivedCount _Guarded_by_(readLock);

    // read path
    // progress of the current read; readLock
    TransferProgress readProgress _Guarded_by_(readLock);
    // reads waiting behind currentRead; readLock
    LIST_ENTRY readQueue _Guarded_by_(readLock);
    // receive path lock
    KSPIN_LOCK readLock;

    // write path
    // bytes of the current and queued writes not yet sent; writeLock
    ULONG writeQueuedBytes _Guarded_by_(writeLock);
    // progress of the current write; writeLock
    TransferProgress writeProgress _Guarded_by_(writeLock);
    // writes waiting behind currentWrite; writeLock
    LIST_ENTRY writeQueue _Guarded_by_(writeLock);
    // transmit path lock
    KSPIN_LOCK writeLock;

    // wait-on-mask machinery
    // wait-mask request being processed; controlLock
    PIRP currentMaskRequest _Guarded_by_(controlLock);
    // IOCTL_SERIAL_WAIT_ON_MASK waiting for events; controlLock
    PIRP pendingWaitRequest _Guarded_by_(controlLock);
    // wait-mask requests waiting; controlLock
    LIST_ENTRY maskQueue _Guarded_by_(controlLock);
    // control and event state, register shadows, modem status
    KSPIN_LOCK controlLock;
    // SERIAL_EV_* bits seen; controlLock
    ULONG eventHistory _Guarded_by_(controlLock);
    // SERIAL_EV_* wait mask; controlLock
    ULONG waitMask _Guarded_by_(controlLock);
    // EventChar received since last signalled; readLock (the bulk-in
    // completion notes and takes it)
    BOOLEAN eventCharSeen _Guarded_by_(readLock);

    // USB transfer slots
    // the bulk-in request; transferLock for its cancel routine
    PIRP bulkInIrp;
    // its URB
    PURB bulkInUrb;
    // its 64-byte buffer
    PUCHAR bulkInBuffer;
    // a bulk-in transfer is in flight; read without a lock
    volatile BOOLEAN bulkInBusy;
    // the bulk-out request; transferLock for its cancel routine
    PIRP bulkOutIrp;
    // its URB
    PURB bulkOutUrb;
    // its 64-byte buffer
    PUCHAR bulkOutBuffer;
    // a bulk-out transfer is in flight; read without a lock
    volatile BOOLEAN bulkOutBusy;
    // the interrupt-in status request; transferLock for its cancel routine
    PIRP statusIrp;
    // its URB
    PURB statusUrb;
    // its 4-byte buffer
    PUCHAR statusBuffer;
    // a status transfer is in flight; read without a lock
    volatile BOOLEAN statusBusy;
    // installation of cancel routines on the transfer requests
    KSPIN_LOCK transferLock;
    // a bulk-in transfer ended with an error
    KEVENT bulkInStopped;
    // the status transfer gave up its slot
    KEVENT statusStopped;
    // the bulk-out transfer gave up its slot
    KEVENT bulkOutStopped;

    // settings and chip state
    // value written to chip register 1; registerMutex
    UCHAR interruptEnableShadow;
    // value for chip register 2; registerMutex
    UCHAR fifoControlShadow;
    // working copy of chip register 3; registerMutex, controlLock for break
    UCHAR lineControlShadow;
    // working copy of chip register 4; registerMutex, controlLock
    UCHAR modemControlShadow;
    // modem status byte, 16550 layout; controlLock
    UCHAR modemStatus _Guarded_by_(controlLock);
    // SettableBaud of the communication properties; start only
    ULONG settableBaud;
    // current baud rate in bit/s; settings requests and open
    ULONG baudRate;
    // largest receive queue size requested; settings requests
    ULONG inQueueSize;
    // special characters; controlLock
    SERIAL_CHARS chars _Guarded_by_(controlLock);
    // handshake and flow control; controlLock
    SERIAL_HANDFLOW handFlow _Guarded_by_(controlLock);
    // read and write time-outs; controlLock
    SERIAL_TIMEOUTS timeouts _Guarded_by_(controlLock);
    // stop bits, parity, word length; settings requests
    SERIAL_LINE_CONTROL lineControl;
    // snapshot for IOCTL_SERIAL_GET_COMMSTATUS; controlLock
    SERIAL_STATUS commStatus _Guarded_by_(controlLock);
    // communication properties, built at start
    SERIAL_COMMPROP properties;

    // timers, each with its DPC and flag word (bit 0 armed, bit 1 cancelled too late)
    // read interval time-out; readLock
    KTIMER readIntervalTimer _Guarded_by_(readLock);
    // runs ReadIntervalTimeoutDpc
    KDPC readIntervalTimerDpc;
    // readLock
    PathTimerFlags readIntervalTimerFlags _Guarded_by_(readLock);
    // read total time-out; readLock
    KTIMER readTotalTimer _Guarded_by_(readLock);
    // runs ReadTotalTimeoutDpc
    KDPC readTotalTimerDpc;
    // readLock
    PathTimerFlags readTotalTimerFlags _Guarded_by_(readLock);
    // write total time-out; writeLock
    KTIMER writeTimer _Guarded_by_(writeLock);
    // runs WriteTimeoutDpc
    KDPC writeTimerDpc;
    // writeLock
    PathTimerFlags writeTimerFlags _Guarded_by_(writeLock);

    // status report and pipes
    // last accepted report, byte 0 = 0xFF when none; controlLock
    UCHAR statusReport[BRIDGE_STATUS_REPORT_SIZE] _Guarded_by_(controlLock);
    // per-pipe open marks, in pipe order
    PipeState pipeState[BRIDGE_PIPE_COUNT];
    // current device power state; power path
    DEVICE_POWER_STATE devicePowerState;
    // a configuration is selected; PnP path
    volatile BOOLEAN configured;
    // owned copy of the selected interface; replaced at start
    PUSBD_INTERFACE_INFORMATION interfaceInfo;

    // power
    // copy from the capabilities query; PnP path
    DEVICE_CAPABILITIES deviceCapabilities;
    // threshold device state for power requests; PnP and power paths
    DEVICE_POWER_STATE deviceWakeState;
    // map sleeping system states through deviceCapabilities
    BOOLEAN useCapabilityPowerMap;
    // a requested power-up has completed
    KEVENT devicePowerEvent;
    // system set-power held while its device request runs; power path
    PIRP pendingSystemPowerIrp;
    // a driver-requested device set-power is outstanding
    volatile BOOLEAN devicePowerRequestBusy;

    // Plug and Play state, read without a lock through IsDeviceReady
    // held by every request while the driver works on it in this device;
    // removal waits for them all before the device goes
    IO_REMOVE_LOCK removeLock;
    // removal or surprise removal handled
    volatile BOOLEAN removed;
    // device started
    volatile BOOLEAN started;
    // query-remove in force
    volatile BOOLEAN removePending;
    // query-stop in force
    volatile BOOLEAN stopPending;
    // pipes marked open; open, close and AbortPipes
    volatile ULONG openPipeCount;

    // hold and error words
    // transmit hold bits (CTS, DSR, DCD); controlLock, cleared under openMutex
    ULONG txHoldFlags _Guarded_by_(controlLock);
    // receive hold bits (DSR); controlLock, cleared under openMutex
    ULONG rxHoldFlags _Guarded_by_(controlLock);
    // accumulated SERIAL_ERROR_* bits; changed only by interlocked
    // operations, read once without a lock
    ULONG errorFlags;

    // added fields
    // serialises each chip register sequence (read-modify-write of 3 and 4)
    KMUTEX registerMutex;
    // stop protocol of each transfer slot, in pipe order; transferLock
    TransferStopState transferStop[BRIDGE_PIPE_COUNT] _Guarded_by_(transferLock);
    // the current mask request came from maskQueue (it carries
    // CancelCurrentMaskRequest while it waits to be processed); controlLock
    BOOLEAN currentMaskPromoted _Guarded_by_(controlLock);
    // a thread runs the mask-request loop; controlLock
    BOOLEAN maskLoopActive _Guarded_by_(controlLock);
    // number of the current write, new for every write made current;
    // writeLock
    ULONG writeSequence _Guarded_by_(writeLock);
    // write number and byte count of the chunk in flight; bulk-out slot owner
    ULONG bulkOutSequence;
    ULONG bulkOutChunk;
    // bulk-out completions in a row that moved nothing of the current write;
    // writeLock
    ULONG bulkOutIdleCompletions _Guarded_by_(writeLock);
    // failed bulk-in and status completions in a row; each its slot's owner
    ULONG bulkInFailedCompletions;
    ULONG statusFailedCompletions;
};

// ---------------------------------------------------------------- the record and requests

// One aligned load of a word that another path may change at any moment,
// read without the lock that guards it: the value seen is either the one
// before or the one after a concurrent store, never a mixture. It takes the
// word's address, so the lock analysis sees a deliberate unlocked read here,
// not an access it should check; the race detector does not judge it either.
template <typename T>
struct WithoutVolatile {
    using Type = T;
};
template <typename T>
struct WithoutVolatile<volatile T> {
    using Type = T;
};
template <typename T>
BRIDGESER_UNJUDGED_READ inline typename WithoutVolatile<T>::Type ReadOnce(const T* word) {
    return *static_cast<const volatile T*>(word);
}

// The record of a device object of this driver.
inline PortExtension* GetPortExtension(PDEVICE_OBJECT deviceObject) {
    return static_cast<PortExtension*>(deviceObject->DeviceExtension);
}

NTSTATUS ForwardRequest(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS ForwardAndRelease(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS AcquireRequestLock(PDEVICE_OBJECT deviceObject, PIRP irp);
VOID ReleaseRequestLock(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information);
NTSTATUS RefuseRequest(PIRP irp, NTSTATUS status);
VOID FinishRequest(PIRP irp);
NTSTATUS QueuePendingRequest(PLIST_ENTRY queue, PIRP irp, PDRIVER_CANCEL cancelRoutine);
PIRP TakeNextRequest(PLIST_ENTRY queue);
BOOLEAN IsDeviceReady(PDEVICE_OBJECT deviceObject);
VOID CompleteRequestList(PLIST_ENTRY list);
VOID CancelQueuedRequest(PKSPIN_LOCK lock, PIRP irp);
ULONG_PTR InformationWithinOutput(PIRP irp, ULONG_PTR information);
IO_COMPLETION_ROUTINE SignalEventCompletion;
DRIVER_CANCEL TransferCancelRoutine;

// Timers of the read and write paths. Each has a flag word: bit 0 armed,
// bit 1 a cancel came too late and the next DPC run is to be ignored, bit 2
// the timer is to be set by that run (see timers.cpp).
inline constexpr ULONG TIMER_ARMED = 0x1;
inline constexpr ULONG TIMER_CANCEL_MISSED = 0x2;
inline constexpr ULONG TIMER_SET_BY_LATE_RUN = 0x4;
LONGLONG MillisecondsToDueTime(ULONGLONG milliseconds);
VOID ArmPathTimer(PKTIMER timer, PKDPC dpc, PathTimerFlags* flags, LONGLONG dueTime);
VOID CancelPathTimer(PKTIMER timer, PathTimerFlags* flags);
BOOLEAN ConsumePathTimerRun(PKTIMER timer, PKDPC dpc, PathTimerFlags* flags);

// Transfer slots: the one transfer of each pipe, built, sent, taken apart
// and stopped the same way for the bulk-in, bulk-out and status pipes.
BOOLEAN ClaimTransferSlot(PortExtension* extension, ULONG pipe);
NTSTATUS BuildTransfer(PortExtension* extension, ULONG pipe, ULONG bufferSize, ULONG transferFlags,
                       ULONG length);
VOID SendSlotTransfer(PortExtension* extension, ULONG pipe, PIO_COMPLETION_ROUTINE completion);
VOID TakeTransferBack(PortExtension* extension, ULONG pipe, PURB* urb, PUCHAR* buffer);
VOID FreeTransferParts(PURB urb, PUCHAR buffer);
BOOLEAN KeepTransferSlot(PortExtension* extension, ULONG pipe, BOOLEAN again, BOOLEAN failed);
BOOLEAN FinishTransfer(PortExtension* extension, ULONG pipe, PIRP irp, BOOLEAN again,
                       BOOLEAN failed);
BOOLEAN SendInTransferAgain(NTSTATUS status, ULONG* failuresInARow);
VOID StopTransfer(PortExtension* extension, ULONG pipe);
