// events/: wait on mask and SignalSerialEvents, the one entry for every path's serial events.
// May call: driver/.
//
// events.h - the wait-on-mask machinery (IOCTL_SERIAL_SET_WAIT_MASK and
// IOCTL_SERIAL_WAIT_ON_MASK: the current mask request, the queue behind it
// and the pending wait) and the entry through which the receive, transmit
// and status paths report serial events.
#pragma once

#include "driver/driver.h"

NTSTATUS QueueMaskRequest(PortExtension* extension, PIRP irp);
NTSTATUS ProcessMaskRequests(PortExtension* extension);
VOID ApplyWaitMask(PortExtension* extension, ULONG mask);
VOID CompleteCurrentMaskRequest(PortExtension* extension, PIRP irp, KIRQL oldIrql, NTSTATUS status,
                                BOOLEAN fromCancelRoutine) _Releases_lock_(extension->controlLock);
VOID PruneRxCharEvent(PortExtension* extension) _Requires_lock_held_(extension->controlLock);
VOID SignalSerialEvents(PortExtension* extension, ULONG events);
VOID FlushMaskRequests(PortExtension* extension);

DRIVER_CANCEL CancelQueuedMaskRequest;
DRIVER_CANCEL CancelCurrentMaskRequest;
DRIVER_CANCEL CancelPendingWait;

// Every SERIAL_EV_* bit that a wait mask may hold.
inline constexpr ULONG SERIAL_EV_VALID_MASK =
    SERIAL_EV_RXCHAR | SERIAL_EV_RXFLAG | SERIAL_EV_TXEMPTY | SERIAL_EV_CTS | SERIAL_EV_DSR |
    SERIAL_EV_RLSD | SERIAL_EV_BREAK | SERIAL_EV_ERR | SERIAL_EV_RING | SERIAL_EV_PERR |
    SERIAL_EV_RX80FULL | SERIAL_EV_EVENT1 | SERIAL_EV_EVENT2;
static_assert(SERIAL_EV_VALID_MASK == 0x1FFF, "the wait-mask events are bits 0 to 12");
