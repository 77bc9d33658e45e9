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
    // ports: the records of this driver's devices
    // PortExtension records through portLink, newest first; portListMutex
    LIST_ENTRY portList;
    // guards portList and lastPortNumber; taken at PASSIVE_LEVEL only
    KMUTEX portListMutex;
    // number given to the most recently created port; portListMutex
    ULONG lastPortNumber;

    // the identification of the device behind the cable: a write that
    // starts with the query arms the capture of the first bytes delivered
    // to reads after it, and the reply decides the rate
    // IOCTL_SERIAL_SET_BAUD_RATE programs. Removal re-arms it all.
    // the reply was recognised: the rate is 230400; set by the capture's
    // owner, cleared by removal; read without a lock
    volatile BOOLEAN force230400;
    // the query not yet seen at the start of a write; cleared by that write,
    // set by removal; read once without a lock
    volatile BOOLEAN probePending;
    // received bytes are still captured for the comparison; cleared by the
    // capture's owner when the reply is complete, set by removal; read once
    // without a lock
    volatile BOOLEAN captureEnabled;
    // bytes held in captureBuffer (0 to 23); the owner's, under its
    // readLock, and reset by removal
    ULONG captureCount;
    // first bytes delivered after the query; the owner's, under its readLock
    UCHAR captureBuffer[IDENTIFICATION_CAPTURE_SIZE];
    // the port whose delivered bytes fill captureBuffer; claimed by an
    // interlocked compare-exchange, cleared when removal re-arms the capture
    PVOID volatile captureOwner;

    // the line levels reported to the first wait after an open
    // the next wait-on-mask completes at once from the line levels (TRUE or
    // FALSE); set and taken by interlocked exchange, the open and the wait
    // being on any port
    volatile LONG reportLinesOnNextWait;
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
// object, zero-filled by IoCreateDevice. Fields are grouped by topic, each
// group's lock first; every field's comment says what guards it.
//
// Lock rules. No two of the driver's spin locks (readLock, writeLock,
// controlLock, transferLock) are ever held at once, so none of them is
// ever taken under another; requests are completed with none held.
// openMutex, registerMutex and DriverGlobals.portListMutex are taken at
// PASSIVE_LEVEL only, never under a spin lock; a spin lock may be taken
// inside them (any of them inside openMutex, controlLock inside
// registerMutex), and registerMutex is never taken under openMutex. Words
// that a path reads without their lock (a flag, a count, a hold word) are
// read through ReadOnce, one aligned load; words changed by interlocked
// operations are changed by no plain store but the resets of the start
// and of removal.
struct PortExtension {
    // ---- identity and the device stack
    // link in DriverGlobals.portList; portListMutex
    LIST_ENTRY portLink;
    // port number; device name ends in portNumber + 2; set once, before
    // the record is linked
    ULONG portNumber;
    // PDO given to AddDevice; set once by AddDevice
    PDEVICE_OBJECT physicalDeviceObject;
    // device below in the stack; set once by AddDevice
    PDEVICE_OBJECT lowerDeviceObject;
    // this functional device object; set once by AddDevice
    PDEVICE_OBJECT deviceObject;
    // attached to the lower stack; AddDevice and the tear-down only
    BOOLEAN attachedToStack;

    // ---- names; set up by AddDevice and taken away by surprise removal
    // or the tear-down, which Plug and Play sends one at a time: no lock
    // \Device\SerialN, buffer owned
    UNICODE_STRING deviceName;
    // \DosDevices\ + PortName, buffer owned
    UNICODE_STRING symbolicLinkName;
    // the \DosDevices\ link exists
    BOOLEAN symbolicLinkCreated;
    // COM-port interface link, platform buffer owned
    UNICODE_STRING interfaceName;
    // the interface is enabled
    BOOLEAN interfaceEnabled;
    // the SERIALCOMM value exists
    BOOLEAN serialCommWritten;

    // ---- Plug and Play state. The flags are written only by the Plug and
    // Play requests, which come one at a time, and read once without a
    // lock (IsDeviceReady)
    // held by every request while the driver works on it in this device;
    // removal waits for them all before the device goes
    IO_REMOVE_LOCK removeLock;
    // removal or surprise removal handled
    volatile BOOLEAN removed;
    // device started
    volatile BOOLEAN started;
    // query-remove in force
    volatile BOOLEAN removePending;
    // query-stop in force; set under openMutex (the query looks at the
    // open port there)
    volatile BOOLEAN stopPending;

    // ---- USB configuration and pipes
    // a configuration is selected; set by the start, cleared by
    // AbortPipes; Plug and Play requests only
    volatile BOOLEAN configured;
    // owned copy of the selected interface, with the pipe handles; replaced
    // by the start, freed by the tear-down; read without a lock by the
    // paths that run only while the device is started
    PUSBD_INTERFACE_INFORMATION interfaceInfo;
    // per-pipe open marks, in pipe order
    PipeState pipeState[BRIDGE_PIPE_COUNT];
    // pipes marked open: moved by interlocked increment and decrement with
    // each change of a mark (open, close, AbortPipes), zeroed by the start;
    // read once without a lock by the power path
    volatile ULONG openPipeCount;

    // ---- the open
    // serialises the open, the close (held to its end), marking the port
    // closed and the query-stop's look at the port
    KMUTEX openMutex;
    // a handle is open; written under openMutex, read once without a lock
    volatile BOOLEAN portOpen;

    // ---- read path: the receive ring, the reads and their time-outs;
    // readLock
    // receive path lock
    KSPIN_LOCK readLock;
    // ring storage, 8192 bytes while open; allocated and freed by the open
    // and the close
    PUCHAR rxRingBuffer _Guarded_by_(readLock);
    // ring capacity
    ULONG rxRingSize _Guarded_by_(readLock);
    // bytes held; also read once without readLock (BuildCommStatus, the
    // wait machinery, the bulk-in completion)
    ULONG rxRingCount _Guarded_by_(readLock);
    // position of the oldest held byte
    ULONG rxRingReadIndex _Guarded_by_(readLock);
    // position for the next received byte
    ULONG rxRingWriteIndex _Guarded_by_(readLock);
    // EventChar received since SERIAL_EV_RXFLAG was last raised: the ring's
    // append notes it, the bulk-in completion takes it
    BOOLEAN eventCharSeen _Guarded_by_(readLock);
    // the read being filled
    PIRP currentRead _Guarded_by_(readLock);
    // progress of the current read
    TransferProgress readProgress _Guarded_by_(readLock);
    // reads waiting behind currentRead
    LIST_ENTRY readQueue _Guarded_by_(readLock);
    // read interval time-out, its DPC (ReadIntervalTimeoutDpc, initialised
    // by AddDevice) and its flag word
    KTIMER readIntervalTimer _Guarded_by_(readLock);
    KDPC readIntervalTimerDpc;
    PathTimerFlags readIntervalTimerFlags _Guarded_by_(readLock);
    // read total time-out, its DPC (ReadTotalTimeoutDpc) and its flag word
    KTIMER readTotalTimer _Guarded_by_(readLock);
    KDPC readTotalTimerDpc;
    PathTimerFlags readTotalTimerFlags _Guarded_by_(readLock);

    // ---- write path: the writes and their time-out; writeLock
    // transmit path lock
    KSPIN_LOCK writeLock;
    // the write being transmitted
    PIRP currentWrite _Guarded_by_(writeLock);
    // progress of the current write
    TransferProgress writeProgress _Guarded_by_(writeLock);
    // writes (and flush requests) waiting behind currentWrite
    LIST_ENTRY writeQueue _Guarded_by_(writeLock);
    // bytes of the current and queued writes not yet sent; also read once
    // without writeLock (the bulk-out start, the pump, the status snapshots)
    ULONG writeQueuedBytes _Guarded_by_(writeLock);
    // number of the current write, new for every write made current
    ULONG writeSequence _Guarded_by_(writeLock);
    // bulk-out completions in a row that moved nothing of the current write
    ULONG bulkOutIdleCompletions _Guarded_by_(writeLock);
    // write total time-out, its DPC (WriteTimeoutDpc) and its flag word
    KTIMER writeTimer _Guarded_by_(writeLock);
    KDPC writeTimerDpc;
    PathTimerFlags writeTimerFlags _Guarded_by_(writeLock);

    // ---- statistics
    // byte counting on; written without a lock by the statistics requests
    // and the open, read once by the completions that count
    volatile BOOLEAN statsEnabled;
    // bytes received while counting; readLock
    ULONG receivedCount _Guarded_by_(readLock);
    // bytes sent while counting; writeLock
    ULONG transmittedCount _Guarded_by_(writeLock);

    // ---- wait on mask and the serial events; controlLock
    // control and event state: the mask machinery, the modem status and
    // the hold words, the settings the data paths read
    KSPIN_LOCK controlLock;
    // wait-mask request being processed
    PIRP currentMaskRequest _Guarded_by_(controlLock);
    // the current mask request came from maskQueue (it carries
    // CancelCurrentMaskRequest while it waits to be processed)
    BOOLEAN currentMaskPromoted _Guarded_by_(controlLock);
    // a thread runs the mask-request loop
    BOOLEAN maskLoopActive _Guarded_by_(controlLock);
    // wait-mask requests waiting
    LIST_ENTRY maskQueue _Guarded_by_(controlLock);
    // IOCTL_SERIAL_WAIT_ON_MASK waiting for events; also read once without
    // controlLock by SignalSerialEvents
    PIRP pendingWaitRequest _Guarded_by_(controlLock);
    // SERIAL_EV_* wait mask; also read once without controlLock (the
    // events' entry, the receive path, IOCTL_SERIAL_GET_WAIT_MASK)
    ULONG waitMask _Guarded_by_(controlLock);
    // SERIAL_EV_* bits seen
    ULONG eventHistory _Guarded_by_(controlLock);

    // ---- modem status and the holds
    // last accepted status report, byte 0 = 0xFF when none; controlLock
    UCHAR statusReport[BRIDGE_STATUS_REPORT_SIZE] _Guarded_by_(controlLock);
    // modem status byte, 16550 layout; controlLock, read once without it by
    // the modem-status and first-wait reports
    UCHAR modemStatus _Guarded_by_(controlLock);
    // transmit hold bits (CTS, DSR, DCD), derived from the handshake and the
    // line levels and cleared by the open and the close; controlLock, read
    // once without it by the data paths
    ULONG txHoldFlags _Guarded_by_(controlLock);
    // receive hold bits (DSR); as txHoldFlags
    ULONG rxHoldFlags _Guarded_by_(controlLock);
    // accumulated SERIAL_ERROR_* bits; changed only by interlocked
    // operations, read once without a lock
    ULONG errorFlags;

    // ---- serial settings
    // special characters; controlLock (EventChar is read once without it by
    // the ring's append)
    SERIAL_CHARS chars _Guarded_by_(controlLock);
    // handshake and flow control; controlLock
    SERIAL_HANDFLOW handFlow _Guarded_by_(controlLock);
    // read and write time-outs; controlLock (each word is read once without
    // it by the read and write paths)
    SERIAL_TIMEOUTS timeouts _Guarded_by_(controlLock);
    // snapshot of the last IOCTL_SERIAL_GET_COMMSTATUS; controlLock
    SERIAL_STATUS commStatus _Guarded_by_(controlLock);
    // stop bits, parity, word length; controlLock (the start sets the
    // default before the port can be opened)
    SERIAL_LINE_CONTROL lineControl _Guarded_by_(controlLock);
    // current baud rate in bit/s; written without a lock by the settings
    // requests, the open and the start, read by ProgramBaudRate
    ULONG baudRate;
    // largest receive queue size requested; the settings requests and the
    // start, no lock
    ULONG inQueueSize;
    // SettableBaud of the communication properties; the start only
    ULONG settableBaud;
    // communication properties, built by the start; read without a lock
    SERIAL_COMMPROP properties;

    // ---- the chip's register shadows
    // serialises each chip register sequence (read-modify-write of 3 and 4);
    // taken at PASSIVE_LEVEL only
    KMUTEX registerMutex;
    // value written to chip register 1; registerMutex
    UCHAR interruptEnableShadow;
    // value for chip register 2; registerMutex (stored and written to the
    // chip in one register sequence)
    UCHAR fifoControlShadow;
    // working copy of chip register 3; registerMutex (break's update holds
    // controlLock as well)
    UCHAR lineControlShadow;
    // working copy of chip register 4; registerMutex, with controlLock as
    // well for each store (the modem-control requests keep the store and
    // the chip's write, or the read and the answer, in one sequence)
    UCHAR modemControlShadow;

    // ---- USB transfer slots, one per pipe (driver/transfer.cpp). A slot's
    // request, URB, buffer and failure count belong to whoever holds its
    // claim (the busy flag, set by ClaimTransferSlot): the path that starts
    // the transfer, then its completion, which sends again or gives it up
    // guards the stop protocol and the busy flags
    KSPIN_LOCK transferLock;
    // stop protocol of each slot, in pipe order; transferLock
    TransferStopState transferStop[BRIDGE_PIPE_COUNT] _Guarded_by_(transferLock);
    // status pipe: the request, its URB and its 4-byte buffer; the claim
    PIRP statusIrp;
    PURB statusUrb;
    PUCHAR statusBuffer;
    // the claim: set and cleared under transferLock, read once without it
    // by the query-stop
    volatile BOOLEAN statusBusy;
    // signalled when the slot is given up after a failure or for a stop;
    // cleared by the stop under transferLock
    KEVENT statusStopped;
    // failed status completions in a row; the claim
    ULONG statusFailedCompletions;
    // bulk-out pipe: the request, its URB and its 64-byte buffer; the claim
    PIRP bulkOutIrp;
    PURB bulkOutUrb;
    PUCHAR bulkOutBuffer;
    // the claim, as statusBusy
    volatile BOOLEAN bulkOutBusy;
    // as statusStopped
    KEVENT bulkOutStopped;
    // write number and byte count of the chunk in flight; stored by the
    // claim's holder under writeLock, read by the chunk's completion
    ULONG bulkOutSequence;
    ULONG bulkOutChunk;
    // bulk-in pipe: the request, its URB and its 64-byte buffer; the claim
    PIRP bulkInIrp;
    PURB bulkInUrb;
    PUCHAR bulkInBuffer;
    // the claim, as statusBusy
    volatile BOOLEAN bulkInBusy;
    // as statusStopped
    KEVENT bulkInStopped;
    // failed bulk-in completions in a row; the claim
    ULONG bulkInFailedCompletions;

    // ---- power. Written by the power requests (the power manager sends
    // one system and one device request at a time) and their completions;
    // no lock: the open and wait-wake read the words they look at once each
    // current device power state
    DEVICE_POWER_STATE devicePowerState;
    // copy from the capabilities query (a Plug and Play request)
    DEVICE_CAPABILITIES deviceCapabilities;
    // threshold device state for power requests; the capabilities query
    // and wait-wake
    DEVICE_POWER_STATE deviceWakeState;
    // map sleeping system states through deviceCapabilities
    BOOLEAN useCapabilityPowerMap;
    // a requested power-up has completed
    KEVENT devicePowerEvent;
    // system set-power held while its device request runs
    PIRP pendingSystemPowerIrp;
    // a driver-requested device set-power is outstanding
    volatile BOOLEAN devicePowerRequestBusy;
};

// ---------------------------------------------------------------- the record and requests

// One aligned load of a word that another path may change at any moment,
// read without the lock that guards it: the value seen is either the one
// before or the one after a concurrent store, never a mixture. It takes the
// word's address, so the lock analysis sees a deliberate unlocked read here,
// not an access it should check; the race detector does not judge it either.
// IRQL: any. Locks: none (that is its purpose).
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

// A ULONG word of the record that only interlocked operations change
// (errorFlags, openPipeCount), as the LONG the interlocked routines take:
// the same four bytes, seen signed. IRQL: any. Locks: none.
template <typename T>
inline volatile LONG* AsInterlockedLong(T* word) {
    static_assert(sizeof(T) == sizeof(LONG), "an interlocked word is as wide as a LONG");
    return reinterpret_cast<volatile LONG*>(word);
}

// The record of a device object of this driver. IRQL: any. Locks: none.
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
