// status/: the status pipe: modem status, the hold words and the pump of both data loops.
// May call: driver/, uart/, events/, receive/, transmit/.
//
// status.h - the status pipe: the interrupt-in transfer that carries the
// chip's modem status reports, the modem-status shadow and the hold words
// derived from it, the line events, and the pump that restarts the data
// transfers after each report.
#pragma once

#include "driver/driver.h"
#include "uart/uart.h"

NTSTATUS PrepareStatusTransfer(PDEVICE_OBJECT deviceObject);
NTSTATUS StartStatusTransfer(PortExtension* extension);
IO_COMPLETION_ROUTINE StatusTransferComplete;
VOID StopStatusTransfer(PDEVICE_OBJECT deviceObject);
VOID ApplyStatusReport(PortExtension* extension, const UCHAR* report);
VOID UpdateHoldFlags(PortExtension* extension);
VOID PumpDataTransfers(PortExtension* extension);

// Hold bits. Transmit: waiting for CTS, DSR, DCD; receive: held for DSR.
inline constexpr ULONG TX_HOLD_CTS = 0x01;
inline constexpr ULONG TX_HOLD_DSR = 0x02;
inline constexpr ULONG TX_HOLD_DCD = 0x04;
inline constexpr ULONG RX_HOLD_DSR = 0x08;
