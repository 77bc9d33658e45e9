// control.cpp - the register sequences that turn the serial settings of the
// record into chip state: baud divisor, line control, DTR and RTS, break,
// FIFO control, chip initialisation and the modem status copy.
//
// Every sequence that touches the chip runs at PASSIVE_LEVEL under the
// port's registerMutex, so that two requests changing register 3 or 4 at the
// same time cannot interleave their read and write transfers. The mutex is
// never held across a spin lock acquisition in the other order: controlLock
// is taken inside it only for the shadow updates.
#include "driver/driver.h"
#include "uart/uart.h"

namespace {

// Holds the port's registerMutex for the lifetime of the object.
// IRQL: PASSIVE_LEVEL. Locks: takes registerMutex.
class RegisterSequence {
  public:
    explicit RegisterSequence(PortExtension* extension) : extension_(extension) {
        KeWaitForSingleObject(&extension_->registerMutex, Executive, KernelMode, FALSE, nullptr);
    }
    ~RegisterSequence() { KeReleaseMutex(&extension_->registerMutex, FALSE); }
    RegisterSequence(const RegisterSequence&) = delete;
    RegisterSequence& operator=(const RegisterSequence&) = delete;

  private:
    PortExtension* extension_;
};

// The shadow that a read-modify-write sequence keeps.
enum class Shadow { LineControl, ModemControl };

// Reads a register, sets shadow = (value & andMask) | orMask under
// controlLock and writes the shadow back. Stops at the first failure.
// IRQL: PASSIVE_LEVEL. Locks: registerMutex held by the caller; takes
// controlLock for the shadow update.
NTSTATUS UpdateRegister(PDEVICE_OBJECT deviceObject, USHORT registerNumber, Shadow shadow,
                        UCHAR andMask, UCHAR orMask) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    PortExtension* extension = GetPortExtension(deviceObject);
    UCHAR value = 0;
    NTSTATUS status = ReadUartRegister(deviceObject, registerNumber, &value);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->controlLock, &oldIrql);
    UCHAR* target = shadow == Shadow::LineControl ? &extension->lineControlShadow
                                                  : &extension->modemControlShadow;
    *target = static_cast<UCHAR>((value & andMask) | orMask);
    value = *target;
    KeReleaseSpinLock(&extension->controlLock, oldIrql);
    return WriteUartRegister(deviceObject, registerNumber, value);
}

// Line-control bits for a word length, stop-bit and parity setting, or
// false when the combination is refused. IRQL: any. Locks: none.
bool EncodeLineControl(const SERIAL_LINE_CONTROL& settings, UCHAR* bits) {
    UCHAR encoded = 0;
    switch (settings.WordLength) {
        case 5:
            encoded = 0x00;
            break;
        case 6:
            encoded = 0x01;
            break;
        case 7:
            encoded = 0x02;
            break;
        case 8:
            encoded = 0x03;
            break;
        default:
            return false;
    }
    switch (settings.StopBits) {
        case STOP_BIT_1:
            break;
        case STOP_BITS_1_5:
            if (settings.WordLength != 5) {
                return false;
            }
            encoded |= LCR_EXTRA_STOP_BIT;
            break;
        case STOP_BITS_2:
            encoded |= LCR_EXTRA_STOP_BIT;
            break;
        default:
            return false;
    }
    switch (settings.Parity) {
        case NO_PARITY:
            break;
        case ODD_PARITY:
            encoded |= LCR_PARITY_ENABLE;
            break;
        case EVEN_PARITY:
            encoded |= LCR_PARITY_ENABLE | LCR_EVEN_PARITY;
            break;
        default:
            return false;
    }
    *bits = encoded;
    return true;
}

}  // namespace

// Divisor of a rate against the 3,000,000 reference: the table's when the
// rate is listed, otherwise the nearest integer divisor (halves round up)
// for 46 to 3,000,000, otherwise 0: no divisor exists for such a rate.
// IRQL: any. Locks: none.
ULONG ComputeBaudDivisor(ULONG rate) {
    for (const BaudDivisor& row : BaudDivisorTable) {
        if (row.rate == rate) {
            return row.divisor;
        }
    }
    if (rate < UART_MIN_COMPUTED_RATE || rate > UART_BAUD_REFERENCE) {
        return 0;
    }
    const ULONG quotient = UART_BAUD_REFERENCE / rate;
    const ULONG remainder = UART_BAUD_REFERENCE % rate;
    return remainder >= (rate >> 1) ? quotient + 1 : quotient;
}

// Programs the divisor of baudRate through the divisor latch: read 3;
// write 3 with the latch open, 0 and 1 with the divisor, 3 with the latch
// closed. A rate without a divisor is refused with STATUS_INVALID_PARAMETER
// before any transfer. IRQL: PASSIVE_LEVEL. Locks: takes registerMutex.
NTSTATUS ProgramBaudRate(PDEVICE_OBJECT deviceObject) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    PortExtension* extension = GetPortExtension(deviceObject);
    RegisterSequence sequence(extension);

    const ULONG divisor = ComputeBaudDivisor(extension->baudRate);
    if (divisor == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    UCHAR value = 0;
    NTSTATUS status = ReadUartRegister(deviceObject, UART_REG_LINE_CONTROL, &value);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // The shadow never keeps the latch bit (a latch left open by an earlier
    // failed sequence must not be carried into later line-control writes).
    extension->lineControlShadow = static_cast<UCHAR>(value & ~LCR_DIVISOR_LATCH);
    status = WriteUartRegister(deviceObject, UART_REG_LINE_CONTROL,
                               static_cast<UCHAR>(value | LCR_DIVISOR_LATCH));
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status =
        WriteUartRegister(deviceObject, UART_REG_DIVISOR_LOW, static_cast<UCHAR>(divisor & 0xFF));
    if (NT_SUCCESS(status)) {
        status = WriteUartRegister(deviceObject, UART_REG_DIVISOR_HIGH,
                                   static_cast<UCHAR>((divisor >> 8) & 0xFF));
    }
    // Close the latch whatever happened to the divisor writes, so the data
    // registers work again; a failed divisor write keeps its status.
    NTSTATUS closed =
        WriteUartRegister(deviceObject, UART_REG_LINE_CONTROL, extension->lineControlShadow);
    return NT_SUCCESS(status) ? closed : status;
}

// Initialises the chip at device start: FIFO control 0x08, interrupt enable
// 0x08, registers 8 and 11 cleared. Each shadow is set before its write.
// IRQL: PASSIVE_LEVEL. Locks: takes registerMutex.
NTSTATUS InitializeUart(PDEVICE_OBJECT deviceObject) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    PortExtension* extension = GetPortExtension(deviceObject);
    RegisterSequence sequence(extension);

    extension->fifoControlShadow = UART_INIT_FIFO_CONTROL;
    NTSTATUS status =
        WriteUartRegister(deviceObject, UART_REG_FIFO_CONTROL, extension->fifoControlShadow);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    extension->interruptEnableShadow = UART_INIT_INTERRUPT_ENABLE;
    status = WriteUartRegister(deviceObject, UART_REG_INTERRUPT_ENABLE,
                               extension->interruptEnableShadow);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = WriteUartRegister(deviceObject, UART_REG_CHIP_8, 0);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return WriteUartRegister(deviceObject, UART_REG_CHIP_11, 0);
}

// Programs word length, stop bits and parity from lineControl, keeping bits
// 5 to 7 of register 3 as read. Unsupported settings are refused with
// STATUS_INVALID_PARAMETER without writing the chip; the shadow then keeps
// the value read. IRQL: PASSIVE_LEVEL. Locks: takes registerMutex, and
// controlLock to copy the settings.
NTSTATUS ProgramLineControl(PDEVICE_OBJECT deviceObject) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    PortExtension* extension = GetPortExtension(deviceObject);
    RegisterSequence sequence(extension);

    UCHAR value = 0;
    NTSTATUS status = ReadUartRegister(deviceObject, UART_REG_LINE_CONTROL, &value);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    extension->lineControlShadow = value;
    SERIAL_LINE_CONTROL settings;
    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->controlLock, &oldIrql);
    settings = extension->lineControl;
    KeReleaseSpinLock(&extension->controlLock, oldIrql);
    UCHAR bits = 0;
    if (!EncodeLineControl(settings, &bits)) {
        return STATUS_INVALID_PARAMETER;
    }
    constexpr UCHAR kept = 0xE0;  // bits 5, 6 (break) and 7 (divisor latch)
    extension->lineControlShadow = static_cast<UCHAR>((value & kept) | bits);
    return WriteUartRegister(deviceObject, UART_REG_LINE_CONTROL, extension->lineControlShadow);
}

// Raise DTR. IRQL: PASSIVE_LEVEL. Locks: takes registerMutex, then controlLock.
NTSTATUS SetDtr(PDEVICE_OBJECT deviceObject) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    RegisterSequence sequence(GetPortExtension(deviceObject));
    return UpdateRegister(deviceObject, UART_REG_MODEM_CONTROL, Shadow::ModemControl, 0xFF,
                          MCR_DTR);
}

// Drop DTR. IRQL: PASSIVE_LEVEL. Locks: takes registerMutex, then controlLock.
NTSTATUS ClearDtr(PDEVICE_OBJECT deviceObject) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    RegisterSequence sequence(GetPortExtension(deviceObject));
    return UpdateRegister(deviceObject, UART_REG_MODEM_CONTROL, Shadow::ModemControl,
                          static_cast<UCHAR>(~MCR_DTR), 0);
}

// Raise RTS. IRQL: PASSIVE_LEVEL. Locks: takes registerMutex, then controlLock.
NTSTATUS SetRts(PDEVICE_OBJECT deviceObject) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    RegisterSequence sequence(GetPortExtension(deviceObject));
    return UpdateRegister(deviceObject, UART_REG_MODEM_CONTROL, Shadow::ModemControl, 0xFF,
                          MCR_RTS);
}

// Drop RTS. IRQL: PASSIVE_LEVEL. Locks: takes registerMutex, then controlLock.
NTSTATUS ClearRts(PDEVICE_OBJECT deviceObject) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    RegisterSequence sequence(GetPortExtension(deviceObject));
    return UpdateRegister(deviceObject, UART_REG_MODEM_CONTROL, Shadow::ModemControl,
                          static_cast<UCHAR>(~MCR_RTS), 0);
}

// Start sending break. IRQL: PASSIVE_LEVEL. Locks: takes registerMutex, then controlLock.
NTSTATUS SetBreak(PDEVICE_OBJECT deviceObject) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    RegisterSequence sequence(GetPortExtension(deviceObject));
    return UpdateRegister(deviceObject, UART_REG_LINE_CONTROL, Shadow::LineControl, 0xFF,
                          LCR_BREAK);
}

// Stop sending break. IRQL: PASSIVE_LEVEL. Locks: takes registerMutex, then controlLock.
NTSTATUS ClearBreak(PDEVICE_OBJECT deviceObject) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    RegisterSequence sequence(GetPortExtension(deviceObject));
    return UpdateRegister(deviceObject, UART_REG_LINE_CONTROL, Shadow::LineControl,
                          static_cast<UCHAR>(~LCR_BREAK), 0);
}

// Reads register 4 into modemControlShadow. IRQL: PASSIVE_LEVEL.
// Locks: takes registerMutex.
NTSTATUS ReadModemControl(PDEVICE_OBJECT deviceObject) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    PortExtension* extension = GetPortExtension(deviceObject);
    RegisterSequence sequence(extension);
    UCHAR value = 0;
    NTSTATUS status = ReadUartRegister(deviceObject, UART_REG_MODEM_CONTROL, &value);
    if (NT_SUCCESS(status)) {
        extension->modemControlShadow = value;
    }
    return status;
}

// Writes modemControlShadow to register 4. IRQL: PASSIVE_LEVEL.
// Locks: takes registerMutex.
NTSTATUS WriteModemControl(PDEVICE_OBJECT deviceObject) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    PortExtension* extension = GetPortExtension(deviceObject);
    RegisterSequence sequence(extension);
    return WriteUartRegister(deviceObject, UART_REG_MODEM_CONTROL, extension->modemControlShadow);
}

// Writes fifoControlShadow to register 2. IRQL: PASSIVE_LEVEL.
// Locks: takes registerMutex.
NTSTATUS WriteFifoControl(PDEVICE_OBJECT deviceObject) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    PortExtension* extension = GetPortExtension(deviceObject);
    RegisterSequence sequence(extension);
    return WriteUartRegister(deviceObject, UART_REG_FIFO_CONTROL, extension->fifoControlShadow);
}

// Copies the modem status byte of the last status report, all eight bits,
// into modemStatus when a report has arrived; otherwise leaves it. Always
// succeeds. IRQL: <= DISPATCH_LEVEL. Locks: takes controlLock.
NTSTATUS RefreshModemStatus(PDEVICE_OBJECT deviceObject) {
    ASSERT_IRQL_AT_MOST(DISPATCH_LEVEL);
    PortExtension* extension = GetPortExtension(deviceObject);
    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->controlLock, &oldIrql);
    if (extension->statusReport[0] == STATUS_REPORT_MARKER) {
        extension->modemStatus = extension->statusReport[3];
    }
    KeReleaseSpinLock(&extension->controlLock, oldIrql);
    return STATUS_SUCCESS;
}
