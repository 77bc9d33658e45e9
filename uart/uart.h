// uart/: the chip's register protocol over the control pipe and the private bridge requests.
// May call: driver/.
//
// uart.h - the bridge chip's register protocol: synchronous URB submission,
// single-register access over the default control pipe, the private bridge
// requests, the baud divisor and the register sequences for line control,
// modem control, break, FIFO control and chip initialisation.
#pragma once

#include "platform/platform.h"

// ---------------------------------------------------------------- register protocol

// Vendor request code that reads or writes one UART register.
inline constexpr UCHAR UART_REGISTER_REQUEST = 0xFE;
// Highest register number the chip answers (17 registers, 0 to 16).
inline constexpr USHORT UART_REGISTER_MAX = 16;

// bmRequestType of the register requests: vendor, device recipient.
inline constexpr UCHAR UART_REQUEST_TYPE_READ = 0xC0;   // device to host
inline constexpr UCHAR UART_REQUEST_TYPE_WRITE = 0x40;  // host to device

// Register numbers and bits the driver uses.
inline constexpr USHORT UART_REG_DIVISOR_LOW = 0;
inline constexpr USHORT UART_REG_DIVISOR_HIGH = 1;  // interrupt enable while the latch is closed
inline constexpr USHORT UART_REG_INTERRUPT_ENABLE = 1;
inline constexpr USHORT UART_REG_FIFO_CONTROL = 2;
inline constexpr USHORT UART_REG_LINE_CONTROL = 3;
inline constexpr USHORT UART_REG_MODEM_CONTROL = 4;
inline constexpr USHORT UART_REG_MODEM_STATUS = 6;
inline constexpr USHORT UART_REG_CHIP_8 = 8;
inline constexpr USHORT UART_REG_CHIP_11 = 11;

inline constexpr UCHAR LCR_WORD_LENGTH_MASK = 0x03;
inline constexpr UCHAR LCR_EXTRA_STOP_BIT = 0x04;
inline constexpr UCHAR LCR_PARITY_ENABLE = 0x08;
inline constexpr UCHAR LCR_EVEN_PARITY = 0x10;
inline constexpr UCHAR LCR_BREAK = 0x40;
inline constexpr UCHAR LCR_DIVISOR_LATCH = 0x80;

inline constexpr UCHAR MCR_DTR = 0x01;
inline constexpr UCHAR MCR_RTS = 0x02;

// Modem status register: change bits in the low nibble, line states above.
inline constexpr UCHAR MSR_DELTA_CTS = 0x01;
inline constexpr UCHAR MSR_DELTA_DSR = 0x02;
inline constexpr UCHAR MSR_TRAILING_RI = 0x04;
inline constexpr UCHAR MSR_DELTA_DCD = 0x08;
inline constexpr UCHAR MSR_CTS = 0x10;
inline constexpr UCHAR MSR_DSR = 0x20;
inline constexpr UCHAR MSR_RI = 0x40;
inline constexpr UCHAR MSR_DCD = 0x80;
inline constexpr UCHAR MSR_LINE_STATES = MSR_CTS | MSR_DSR | MSR_RI | MSR_DCD;
static_assert(MSR_LINE_STATES == 0xF0 && (MSR_LINE_STATES & 0x0F) == 0,
              "the line states fill the high nibble, the change bits the low one");

// Values written at chip initialisation.
inline constexpr UCHAR UART_INIT_FIFO_CONTROL = 0x08;
inline constexpr UCHAR UART_INIT_INTERRUPT_ENABLE = 0x08;  // modem-status interrupt only

// Marker byte of a status report.
inline constexpr UCHAR STATUS_REPORT_MARKER = 0xE8;

// Time after which a synchronous request to the USB stack is cancelled, in
// milliseconds.
inline constexpr LONG USB_REQUEST_TIMEOUT_MS = 5000;

// ---------------------------------------------------------------- baud divisor

// Reference clock of the divisor: rate = 3,000,000 / divisor.
inline constexpr ULONG UART_BAUD_REFERENCE = 3000000;
// Smallest rate whose computed divisor fits in 16 bits.
inline constexpr ULONG UART_MIN_COMPUTED_RATE = 46;
static_assert(UART_BAUD_REFERENCE / UART_MIN_COMPUTED_RATE <= 0xFFFF &&
                  UART_BAUD_REFERENCE / (UART_MIN_COMPUTED_RATE - 1) > 0xFFFF,
              "the smallest rate whose divisor fits the two divisor registers");

struct BaudDivisor {
    ULONG divisor;
    ULONG rate;
};

// Standard rates with their divisors, searched in this order. The rates that
// do not divide the reference evenly all carry 13 * (230400 / rate), one and
// the same small offset from the nominal rate.
inline constexpr BaudDivisor BaudDivisorTable[22] = {
    {1, 3000000}, {2, 1500000}, {3, 1000000}, {6, 500000},  {13, 230400}, {26, 115200},
    {52, 57600},  {78, 38400},  {104, 28800}, {156, 19200}, {208, 14400}, {312, 9600},
    {416, 7200},  {625, 4800},  {832, 3600},  {1250, 2400}, {1664, 1800}, {2500, 1200},
    {5000, 600},  {10000, 300}, {20000, 150}, {40000, 75},
};

// Each row's divisor gives its rate from the reference exactly, or is the
// 13 * (230400 / rate) of the rates that do not divide it. Evaluated at
// compile time only. IRQL: any. Locks: none.
constexpr bool BaudDivisorRowHolds(const BaudDivisor& row) {
    return row.divisor * row.rate == UART_BAUD_REFERENCE ||
           (230400 % row.rate == 0 && row.divisor == 13 * (230400 / row.rate));
}
// Every row holds. Compile time only. IRQL: any. Locks: none.
constexpr bool BaudDivisorTableHolds() {
    for (const BaudDivisor& row : BaudDivisorTable) {
        if (!BaudDivisorRowHolds(row)) {
            return false;
        }
    }
    return true;
}
static_assert(BaudDivisorTableHolds(), "every divisor of the table follows from its rate");

// Divisor for a rate: the table's, else the nearest computed one for rates
// of 46 to 3,000,000, else 0 (no divisor exists for the rate).
ULONG ComputeBaudDivisor(ULONG rate);

// ---------------------------------------------------------------- synchronous access

// Sends an internal device-control request (code, and argument 1 of the
// stack location) to the device below and waits for it, cancelling it when
// it has not ended after USB_REQUEST_TIMEOUT_MS.
NTSTATUS CallLowerDriverSync(PDEVICE_OBJECT lowerDeviceObject, ULONG ioControlCode,
                             PVOID argument1);
NTSTATUS SubmitUrbSync(PDEVICE_OBJECT deviceObject, PURB urb);
NTSTATUS ReadUartRegister(PDEVICE_OBJECT deviceObject, USHORT registerNumber, PUCHAR value);
NTSTATUS WriteUartRegister(PDEVICE_OBJECT deviceObject, USHORT registerNumber, UCHAR value);

// ---------------------------------------------------------------- register sequences

NTSTATUS ProgramBaudRate(PDEVICE_OBJECT deviceObject);
NTSTATUS InitializeUart(PDEVICE_OBJECT deviceObject);
NTSTATUS ProgramLineControl(PDEVICE_OBJECT deviceObject);
NTSTATUS SetDtr(PDEVICE_OBJECT deviceObject);
NTSTATUS ClearDtr(PDEVICE_OBJECT deviceObject);
NTSTATUS SetRts(PDEVICE_OBJECT deviceObject);
NTSTATUS ClearRts(PDEVICE_OBJECT deviceObject);
NTSTATUS SetBreak(PDEVICE_OBJECT deviceObject);
NTSTATUS ClearBreak(PDEVICE_OBJECT deviceObject);
NTSTATUS ReadModemControl(PDEVICE_OBJECT deviceObject);
NTSTATUS WriteModemControl(PDEVICE_OBJECT deviceObject);
NTSTATUS WriteFifoControl(PDEVICE_OBJECT deviceObject);
NTSTATUS RefreshModemStatus(PDEVICE_OBJECT deviceObject);

// ---------------------------------------------------------------- private bridge requests

#define IOCTL_BRIDGE_WRITE_REGISTER \
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x820, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_BRIDGE_READ_REGISTER \
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x821, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_BRIDGE_READ_BULK \
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x887, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_BRIDGE_READ_STATUS \
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x888, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_BRIDGE_WRITE_BULK \
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x889, METHOD_BUFFERED, FILE_ANY_ACCESS)

static_assert(IOCTL_BRIDGE_WRITE_REGISTER == 0x222080, "bridge request code");
static_assert(IOCTL_BRIDGE_READ_REGISTER == 0x222084, "bridge request code");
static_assert(IOCTL_BRIDGE_READ_BULK == 0x22221C, "bridge request code");
static_assert(IOCTL_BRIDGE_READ_STATUS == 0x222220, "bridge request code");
static_assert(IOCTL_BRIDGE_WRITE_BULK == 0x222224, "bridge request code");

// Layout of the private requests' system buffer.
inline constexpr ULONG BRIDGE_REGISTER_VALUE_OFFSET = 0;   // byte: value written or read
inline constexpr ULONG BRIDGE_REGISTER_NUMBER_OFFSET = 4;  // little-endian u16: register
inline constexpr ULONG BRIDGE_REGISTER_INPUT_SIZE = 6;
inline constexpr ULONG BRIDGE_WRITE_LENGTH_OFFSET = 4;  // little-endian u32: L
inline constexpr ULONG BRIDGE_WRITE_DATA_OFFSET = 8;    // L data bytes
static_assert(BRIDGE_REGISTER_INPUT_SIZE == BRIDGE_REGISTER_NUMBER_OFFSET + sizeof(USHORT),
              "the register requests' input ends with the register number");
static_assert(BRIDGE_WRITE_DATA_OFFSET == BRIDGE_WRITE_LENGTH_OFFSET + sizeof(ULONG),
              "the bulk write's data follow its length word");

// Each takes the device-control request of its code, performs it and
// completes it; the return value is the completion status.
NTSTATUS BridgeWriteRegister(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS BridgeReadRegister(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS BridgeReadBulk(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS BridgeReadStatus(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS BridgeWriteBulk(PDEVICE_OBJECT deviceObject, PIRP irp);
