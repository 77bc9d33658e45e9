// transmit/: the transmit path: writes, their time-out, the identification check, bulk-out.
// May call: driver/, events/.
//
// transmit.h - the transmit path: write requests with their total time-out,
// the identification check on writes, and the bulk-out transfer in chunks.
#pragma once

#include "driver/driver.h"

// ---------------------------------------------------------------- write requests

DRIVER_DISPATCH DispatchWrite;
DRIVER_DISPATCH DispatchFlushBuffers;
BOOLEAN CheckProbeCommand(const UCHAR* data, ULONG length);
LONGLONG ComputeWriteTimeout(PortExtension* extension, ULONG length);
VOID InitWriteProgress(PortExtension* extension, PIRP irp)
    _Requires_lock_held_(extension->writeLock);
PIRP StartNextWrite(PortExtension* extension, PLIST_ENTRY completionList)
    _Requires_lock_held_(extension->writeLock);
VOID CompleteCurrentWrite(PortExtension* extension, NTSTATUS status, KIRQL oldIrql)
    _Releases_lock_(extension->writeLock);
DRIVER_CANCEL CancelCurrentWrite;
DRIVER_CANCEL CancelQueuedWrite;
KDEFERRED_ROUTINE WriteTimeoutDpc;
VOID FlushWrites(PortExtension* extension);

// ---------------------------------------------------------------- bulk-out transfer

NTSTATUS PrepareBulkOutTransfer(PDEVICE_OBJECT deviceObject);
NTSTATUS StartBulkOutTransfer(PortExtension* extension);
IO_COMPLETION_ROUTINE BulkOutComplete;
VOID StopBulkOutTransfer(PDEVICE_OBJECT deviceObject);

// Bulk-out completions in a row that may move nothing of the current write
// (failed, zero-length or stale chunks) before the completion stops sending
// and leaves the next attempt to the status pipe, a new write or the write's
// time-out. Bounds the traffic to a device that takes nothing or is gone.
inline constexpr ULONG BULK_OUT_IDLE_LIMIT = 3;
