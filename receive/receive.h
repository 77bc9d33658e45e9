// receive/: the receive path: the bulk-in loop, the ring, the identification capture, reads.
// May call: driver/, events/.
//
// receive.h - the receive path: the bulk-in transfer loop, the receive ring,
// the identification capture, and read requests with their time-outs.
#pragma once

#include "driver/driver.h"

// ---------------------------------------------------------------- bulk-in transfer and ring

NTSTATUS PrepareBulkInTransfer(PDEVICE_OBJECT deviceObject);
NTSTATUS StartBulkInTransfer(PortExtension* extension);
NTSTATUS SendClaimedBulkIn(PortExtension* extension);
IO_COMPLETION_ROUTINE BulkInComplete;
VOID StopBulkInTransfer(PDEVICE_OBJECT deviceObject);
VOID AppendToReceiveRing(PortExtension* extension, const UCHAR* bytes, ULONG count)
    _Requires_lock_held_(extension->readLock);
ULONG CopyFromReceiveRing(PortExtension* extension, PUCHAR destination, ULONG count)
    _Requires_lock_held_(extension->readLock);
VOID CaptureIdentificationBytes(PortExtension* extension, const UCHAR* bytes, ULONG count);
BOOLEAN MatchIdentificationReply(const UCHAR* reply);

// Ring fill at which SERIAL_EV_RX80FULL is raised: 80 % of the ring,
// rounded down (6553 of 8192).
inline constexpr ULONG RECEIVE_RING_80_PERCENT = RECEIVE_RING_SIZE * 8 / 10;
static_assert(RECEIVE_RING_80_PERCENT * 10 <= RECEIVE_RING_SIZE * 8 &&
                  (RECEIVE_RING_80_PERCENT + 1) * 10 > RECEIVE_RING_SIZE * 8,
              "80 % of the ring, rounded down");

// ---------------------------------------------------------------- read requests

DRIVER_DISPATCH DispatchRead;
VOID DeliverReceivedData(PortExtension* extension);
VOID DeliverReceivedDataLocked(PortExtension* extension, KIRQL oldIrql)
    _Releases_lock_(extension->readLock);
ULONG PlaceIntoCurrentRead(PortExtension* extension, const UCHAR* bytes, ULONG count)
    _Requires_lock_held_(extension->readLock);
BOOLEAN ComputeReadTimeouts(PortExtension* extension, ULONG length, BOOLEAN first,
                            LONGLONG* intervalDue, LONGLONG* totalDue);
PIRP StartNextRead(PortExtension* extension, BOOLEAN ringHasData, PLIST_ENTRY completionList);
VOID CompleteCurrentRead(PortExtension* extension, NTSTATUS status, KIRQL oldIrql,
                         BOOLEAN ringHasData) _Releases_lock_(extension->readLock);
VOID TimeOutCurrentRead(PortExtension* extension, KIRQL oldIrql)
    _Releases_lock_(extension->readLock);
DRIVER_CANCEL CancelCurrentRead;
DRIVER_CANCEL CancelQueuedRead;
KDEFERRED_ROUTINE ReadIntervalTimeoutDpc;
KDEFERRED_ROUTINE ReadTotalTimeoutDpc;
VOID FlushReads(PortExtension* extension);
VOID PurgeReceiveBuffer(PDEVICE_OBJECT deviceObject);
