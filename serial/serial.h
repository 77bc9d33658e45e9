// serial.h - the serial control interface: the wait-on-mask machinery and
// the one entry through which every path reports serial events.
#pragma once

#include "driver/driver.h"

// ---------------------------------------------------------------- serial control dispatcher

DRIVER_DISPATCH DispatchDeviceControl;
NTSTATUS BuildCommStatus(PDEVICE_OBJECT deviceObject, PSERIAL_STATUS snapshot);
VOID CopyCommProperties(PortExtension* extension, PSERIAL_COMMPROP destination);

// ---------------------------------------------------------------- wait on mask

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

// Every SERIAL_EV_* bit that a wait mask may hold (bits 0 to 12).
inline constexpr ULONG SERIAL_EV_VALID_MASK = 0x1FFF;
