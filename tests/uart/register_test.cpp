// Register access over the control pipe and the register sequences built on
// it, seen from the USB device: every vendor request with its setup fields.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/driver/usb_test_bus.h"

namespace {

using bridgetest::Answer;
using bridgetest::DriverPool;
using bridgetest::Fail;
using bridgetest::Machine;
using bridgetest::RunClean;
using bridgetest::UsbRequest;
using Seq = std::vector<std::string>;

// Runs body with a started device; the bus log starts empty.
void WithStartedPort(const std::function<void(Machine&, PDEVICE_OBJECT, PortExtension*)>& body,
                     sim::Options options = {}) {
    RunClean(
        [&] {
            Machine m;
            m.Load();
            NTSTATUS status = STATUS_UNSUCCESSFUL;
            sim::DeviceNode* node = m.PlugIn("USB\\VID_1A2B&PID_0001\\1", &status);
            SIM_CHECK(NT_SUCCESS(status));
            m.bus.ClearLog();
            body(m, Machine::Fdo(node), Machine::Ext(node));
            m.bus.decide = nullptr;
            sim::Simulation::Current().pnp().Unplug(node);
        },
        options);
}

TEST(RegisterAccess, ReadSendsOneVendorRequestForOneByte) {
    WithStartedPort([](Machine& m, PDEVICE_OBJECT fdo, PortExtension*) {
        m.bus.registers[5] = 0x60;
        UCHAR value = 0;
        SIM_CHECK(ReadUartRegister(fdo, 5, &value) == STATUS_SUCCESS);
        SIM_CHECK(value == 0x60);
        SIM_CHECK(m.bus.requests.size() == 1);
        const UsbRequest& r = m.bus.requests[0];
        SIM_CHECK(r.function == URB_FUNCTION_VENDOR_DEVICE);
        SIM_CHECK(r.headerLength == sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
        SIM_CHECK(r.transferFlags == (USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK));
        SIM_CHECK(r.transferLength == 1 && r.hasBuffer);
        SIM_CHECK(r.requestType == 0xC0 && r.request == 0xFE);
        SIM_CHECK(r.value == 0 && r.index == 5);
        SIM_CHECK(DriverPool() > 0);  // only the device's own blocks remain
    });
}

TEST(RegisterAccess, WriteCarriesTheValueInTheSetupPacketWithoutDataStage) {
    WithStartedPort([](Machine& m, PDEVICE_OBJECT fdo, PortExtension*) {
        SIM_CHECK(WriteUartRegister(fdo, 16, 0xA5) == STATUS_SUCCESS);
        SIM_CHECK(m.bus.requests.size() == 1);
        const UsbRequest& r = m.bus.requests[0];
        SIM_CHECK(r.function == URB_FUNCTION_VENDOR_DEVICE);
        SIM_CHECK(r.headerLength == sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
        SIM_CHECK(r.transferFlags == USBD_TRANSFER_DIRECTION_OUT);
        SIM_CHECK(r.transferLength == 0 && !r.hasBuffer);
        SIM_CHECK(r.requestType == 0x40 && r.request == 0xFE);
        SIM_CHECK(r.value == 0xA5 && r.index == 16);
        SIM_CHECK(m.bus.registers[16] == 0xA5);
    });
}

TEST(RegisterAccess, RegistersAboveSixteenAreRefusedWithoutTraffic) {
    WithStartedPort([](Machine& m, PDEVICE_OBJECT fdo, PortExtension*) {
        uint64_t poolBefore = DriverPool();
        for (USHORT reg : {USHORT(17), USHORT(0x100), USHORT(0xFFFF)}) {
            UCHAR value = 0x77;
            SIM_CHECK(ReadUartRegister(fdo, reg, &value) == STATUS_INVALID_PARAMETER);
            SIM_CHECK(value == 0x77);
            SIM_CHECK(WriteUartRegister(fdo, reg, 1) == STATUS_INVALID_PARAMETER);
        }
        SIM_CHECK(m.bus.requests.empty());
        SIM_CHECK(DriverPool() == poolBefore);
    });
}

TEST(RegisterAccess, FailuresFromTheStackPassUpUnchangedAndLeaveTheValue) {
    WithStartedPort([](Machine& m, PDEVICE_OBJECT fdo, PortExtension*) {
        m.bus.decide = [](const UsbRequest&) {
            return Fail(STATUS_DEVICE_DATA_ERROR, USBD_STATUS_STALL_PID);
        };
        UCHAR value = 0x33;
        SIM_CHECK(ReadUartRegister(fdo, 3, &value) == STATUS_DEVICE_DATA_ERROR);
        SIM_CHECK(value == 0x33);
        SIM_CHECK(WriteUartRegister(fdo, 3, 1) == STATUS_DEVICE_DATA_ERROR);
        SIM_CHECK(m.bus.requests.size() == 2);  // no retry at this level
    });
}

TEST(RegisterAccess, ReadWithoutItsDataByteIsAnError) {
    WithStartedPort([](Machine& m, PDEVICE_OBJECT fdo, PortExtension*) {
        m.bus.registers[6] = 0xF0;
        m.bus.decide = [](const UsbRequest&) {
            Answer a;
            a.length = 0;
            return a;
        };
        UCHAR value = 0x11;
        SIM_CHECK(ReadUartRegister(fdo, 6, &value) == STATUS_DEVICE_DATA_ERROR);
        SIM_CHECK(value == 0x11);
    });
}

TEST(RegisterAccess, AnsweredLaterByTheStackStillCompletes) {
    WithStartedPort([](Machine& m, PDEVICE_OBJECT fdo, PortExtension*) {
        m.bus.asynchronous = true;
        m.bus.registers[4] = 0x03;
        UCHAR value = 0;
        SIM_CHECK(ReadUartRegister(fdo, 4, &value) == STATUS_SUCCESS);
        SIM_CHECK(value == 0x03);
        SIM_CHECK(WriteUartRegister(fdo, 4, 0x01) == STATUS_SUCCESS);
        SIM_CHECK(m.bus.registers[4] == 0x01);
        m.bus.asynchronous = false;
    });
}

TEST(RegisterAccess, ATransferThatNeverEndsIsCancelledAfterFiveSeconds) {
    WithStartedPort([](Machine& m, PDEVICE_OBJECT fdo, PortExtension*) {
        uint64_t poolBefore = DriverPool();
        m.bus.decide = [](const UsbRequest& r) {
            Answer a;
            a.hang = r.IsRegisterRead(3);
            return a;
        };
        uint64_t start = KeQueryInterruptTime();
        UCHAR value = 0x5A;
        NTSTATUS status = ReadUartRegister(fdo, 3, &value);
        uint64_t waited = KeQueryInterruptTime() - start;
        SIM_CHECK(status == STATUS_IO_TIMEOUT);
        SIM_CHECK(value == 0x5A);
        SIM_CHECK(waited == 5000ull * 10000);
        SIM_CHECK(m.bus.cancels == 1 && m.bus.held.empty());
        SIM_CHECK(DriverPool() == poolBefore);
        // The next transfer works as usual.
        SIM_CHECK(WriteUartRegister(fdo, 3, 0x03) == STATUS_SUCCESS);
    });
}

TEST(RegisterAccess, NoPoolOrRequestMeansInsufficientResourcesAndNothingSent) {
    WithStartedPort([](Machine& m, PDEVICE_OBJECT fdo, PortExtension*) {
        auto& sim = sim::Simulation::Current();
        uint64_t poolBefore = DriverPool();
        UCHAR value = 0x44;
        for (uint64_t nth : {1u, 2u}) {  // the URB, then the data byte
            sim.pool().FailNth(nth);
            SIM_CHECK(ReadUartRegister(fdo, 3, &value) == STATUS_INSUFFICIENT_RESOURCES);
            sim.pool().ClearFaults();
        }
        sim.pool().FailNth(1);
        SIM_CHECK(WriteUartRegister(fdo, 3, 1) == STATUS_INSUFFICIENT_RESOURCES);
        sim.pool().ClearFaults();
        sim.faults().FailCall("IoAllocateIrp", STATUS_INSUFFICIENT_RESOURCES);
        SIM_CHECK(WriteUartRegister(fdo, 3, 1) == STATUS_INSUFFICIENT_RESOURCES);
        sim.faults().Clear();
        SIM_CHECK(value == 0x44);
        SIM_CHECK(m.bus.requests.empty());
        SIM_CHECK(DriverPool() == poolBefore);
    });
}

// ---------------------------------------------------------------- baud rate

TEST(ProgramBaudRate, LatchSequenceFor115200) {
    WithStartedPort([](Machine& m, PDEVICE_OBJECT fdo, PortExtension* ext) {
        m.bus.registers[3] = 0x1B;
        ext->baudRate = 115200;
        SIM_CHECK(ProgramBaudRate(fdo) == STATUS_SUCCESS);
        SIM_CHECK(m.bus.RegisterSequence() == (Seq{"R3", "W3=9B", "W0=1A", "W1=00", "W3=1B"}));
        SIM_CHECK(ext->lineControlShadow == 0x1B);
    });
}

TEST(ProgramBaudRate, KeepsEveryOtherLineControlBitAsRead) {
    WithStartedPort([](Machine& m, PDEVICE_OBJECT fdo, PortExtension* ext) {
        m.bus.registers[3] = 0xC3;  // break on, latch left open
        ext->baudRate = 300;        // divisor 10000 = 0x2710
        SIM_CHECK(ProgramBaudRate(fdo) == STATUS_SUCCESS);
        SIM_CHECK(m.bus.RegisterSequence() == (Seq{"R3", "W3=C3", "W0=10", "W1=27", "W3=43"}));
    });
}

TEST(ProgramBaudRate, StopsAtTheFirstFailingTransferButNeverLeavesTheLatchOpen) {
    // Failing transfer k (1-based) of the five: the sequence stops there, with
    // the failure's status; once the latch is open, a failed divisor write is
    // still followed by the write that closes it.
    for (int failAt = 1; failAt <= 5; ++failAt) {
        SCOPED_TRACE(failAt);
        WithStartedPort([failAt](Machine& m, PDEVICE_OBJECT fdo, PortExtension* ext) {
            int seen = 0;
            m.bus.decide = [&seen, failAt](const UsbRequest&) {
                return ++seen == failAt ? Fail(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID)
                                        : Answer{};
            };
            m.bus.registers[UART_REG_LINE_CONTROL] = 0x03;
            ext->baudRate = 9600;
            SIM_CHECK(ProgramBaudRate(fdo) == STATUS_UNSUCCESSFUL);
            const bool latchOpened = failAt >= 3 && failAt <= 4;
            SIM_CHECK(m.bus.requests.size() == static_cast<size_t>(failAt + (latchOpened ? 1 : 0)));
            if (latchOpened) {
                SIM_CHECK(RegisterText(m.bus.requests.back()) == "W3=03");
                SIM_CHECK((ext->lineControlShadow & LCR_DIVISOR_LATCH) == 0);
            }
        });
    }
}

TEST(ProgramBaudRate, RatesWithoutADivisorAreRefusedBeforeAnyTransfer) {
    WithStartedPort([](Machine& m, PDEVICE_OBJECT fdo, PortExtension* ext) {
        for (ULONG rate : {0u, 13u, 45u, 3000001u}) {
            ext->baudRate = rate;
            SIM_CHECK(ProgramBaudRate(fdo) == STATUS_INVALID_PARAMETER);
            SIM_CHECK(ext->baudRate == rate);
        }
        SIM_CHECK(m.bus.requests.empty());
    });
}

// ---------------------------------------------------------------- line control

struct LineCase {
    UCHAR wordLength, parity, stopBits;
    uint8_t before;
    int written;  // register 3 written, or -1 when refused
};

constexpr LineCase kLineCases[] = {
    {8, NO_PARITY, STOP_BIT_1, 0x00, 0x03},
    {7, EVEN_PARITY, STOP_BITS_2, 0x00, 0x1E},
    {8, ODD_PARITY, STOP_BIT_1, 0x00, 0x0B},
    {6, NO_PARITY, STOP_BIT_1, 0x1F, 0x01},
    {5, NO_PARITY, STOP_BITS_1_5, 0x00, 0x04},
    {5, NO_PARITY, STOP_BITS_2, 0x00, 0x04},
    {5, EVEN_PARITY, STOP_BIT_1, 0x07, 0x18},
    {8, NO_PARITY, STOP_BIT_1, 0xE0, 0xE3},  // bits 5, 6 and 7 kept as read
    {6, NO_PARITY, STOP_BITS_1_5, 0x00, -1},
    {8, NO_PARITY, STOP_BITS_1_5, 0x00, -1},
    {8, MARK_PARITY, STOP_BIT_1, 0x00, -1},
    {8, SPACE_PARITY, STOP_BIT_1, 0x00, -1},
    {8, 5, STOP_BIT_1, 0x00, -1},
    {8, NO_PARITY, 3, 0x00, -1},
    {4, NO_PARITY, STOP_BIT_1, 0x00, -1},
    {9, NO_PARITY, STOP_BIT_1, 0x00, -1},
    {0, NO_PARITY, STOP_BIT_1, 0x00, -1},
};

TEST(ProgramLineControl, EncodesOrRefusesEachCombination) {
    for (const LineCase& c : kLineCases) {
        SCOPED_TRACE(testing::Message() << int(c.wordLength) << " bits, parity " << int(c.parity)
                                        << ", stop " << int(c.stopBits));
        WithStartedPort([&c](Machine& m, PDEVICE_OBJECT fdo, PortExtension* ext) {
            m.bus.registers[3] = c.before;
            ext->lineControl.WordLength = c.wordLength;
            ext->lineControl.Parity = c.parity;
            ext->lineControl.StopBits = c.stopBits;
            NTSTATUS status = ProgramLineControl(fdo);
            if (c.written < 0) {
                SIM_CHECK(status == STATUS_INVALID_PARAMETER);
                SIM_CHECK(m.bus.RegisterSequence() == Seq{"R3"});
                SIM_CHECK(m.bus.registers[3] == c.before);
            } else {
                char write[16];
                std::snprintf(write, sizeof write, "W3=%02X", c.written);
                SIM_CHECK(status == STATUS_SUCCESS);
                SIM_CHECK(m.bus.RegisterSequence() == (Seq{"R3", write}));
                SIM_CHECK(ext->lineControlShadow == c.written);
            }
        });
    }
}

TEST(ProgramLineControl, AFailedReadWritesNothing) {
    WithStartedPort([](Machine& m, PDEVICE_OBJECT fdo, PortExtension* ext) {
        m.bus.decide = [](const UsbRequest&) { return Fail(STATUS_UNSUCCESSFUL); };
        ext->lineControl = {STOP_BIT_1, NO_PARITY, 8};
        SIM_CHECK(ProgramLineControl(fdo) == STATUS_UNSUCCESSFUL);
        SIM_CHECK(m.bus.requests.size() == 1);
    });
}

// ---------------------------------------------------------------- modem control and break

TEST(ModemControl, OpenPulseDropsThenRaisesBothLines) {
    WithStartedPort([](Machine& m, PDEVICE_OBJECT fdo, PortExtension* ext) {
        m.bus.registers[4] = 0x0B;  // DTR, RTS and OUT2 set
        SIM_CHECK(ClearDtr(fdo) == STATUS_SUCCESS);
        SIM_CHECK(ClearRts(fdo) == STATUS_SUCCESS);
        SIM_CHECK(SetDtr(fdo) == STATUS_SUCCESS);
        SIM_CHECK(SetRts(fdo) == STATUS_SUCCESS);
        SIM_CHECK(m.bus.RegisterSequence() ==
                  (Seq{"R4", "W4=0A", "R4", "W4=08", "R4", "W4=09", "R4", "W4=0B"}));
        SIM_CHECK(ext->modemControlShadow == 0x0B);
    });
}

TEST(ModemControl, BreakOnAndOffKeepsTheWordLength) {
    WithStartedPort([](Machine& m, PDEVICE_OBJECT fdo, PortExtension* ext) {
        m.bus.registers[3] = 0x03;
        SIM_CHECK(SetBreak(fdo) == STATUS_SUCCESS);
        SIM_CHECK(m.bus.registers[3] == 0x43);
        SIM_CHECK(ClearBreak(fdo) == STATUS_SUCCESS);
        SIM_CHECK(m.bus.RegisterSequence() == (Seq{"R3", "W3=43", "R3", "W3=03"}));
        SIM_CHECK((ext->lineControlShadow & 0x03) == 0x03);
    });
}

TEST(ModemControl, AFailedReadLeavesRegisterAndShadow) {
    WithStartedPort([](Machine& m, PDEVICE_OBJECT fdo, PortExtension* ext) {
        ext->modemControlShadow = 0x5A;
        m.bus.decide = [](const UsbRequest&) { return Fail(STATUS_DEVICE_NOT_CONNECTED); };
        for (auto op : {SetDtr, ClearDtr, SetRts, ClearRts, SetBreak, ClearBreak}) {
            SIM_CHECK(op(fdo) == STATUS_DEVICE_NOT_CONNECTED);
        }
        SIM_CHECK(m.bus.requests.size() == 6);  // six reads, no write
        SIM_CHECK(ext->modemControlShadow == 0x5A);
    });
}

TEST(ModemControl, PlainRegisterOperationsUseTheShadows) {
    WithStartedPort([](Machine& m, PDEVICE_OBJECT fdo, PortExtension* ext) {
        m.bus.registers[4] = 0x13;
        SIM_CHECK(ReadModemControl(fdo) == STATUS_SUCCESS);
        SIM_CHECK(ext->modemControlShadow == 0x13);
        ext->modemControlShadow = 0x02;
        SIM_CHECK(WriteModemControl(fdo) == STATUS_SUCCESS);
        ext->fifoControlShadow = 0xC7;
        SIM_CHECK(WriteFifoControl(fdo) == STATUS_SUCCESS);
        SIM_CHECK(m.bus.RegisterSequence() == (Seq{"R4", "W4=02", "W2=C7"}));
    });
}

TEST(ModemControl, ConcurrentLineChangesNeverUndoEachOther) {
    // Two requests change register 4 at the same time; whatever the schedule,
    // both changes survive.
    int seeds = 0;
    for (uint64_t seed = 1; seed <= 60; ++seed) {
        for (sim::Strategy strategy : {sim::Strategy::Random, sim::Strategy::Pct}) {
            sim::Options options;
            options.strategy = strategy;
            options.seed = seed;
            SCOPED_TRACE(testing::Message() << sim::StrategyName(strategy) << " seed " << seed);
            WithStartedPort(
                [](Machine& m, PDEVICE_OBJECT fdo, PortExtension*) {
                    auto& s = sim::Simulation::Current();
                    m.bus.registers[4] = 0x00;
                    sim::ThreadId a = s.StartThread("dtr", [fdo] { SetDtr(fdo); });
                    sim::ThreadId b = s.StartThread("rts", [fdo] { SetRts(fdo); });
                    sim::ThreadId c = s.StartThread("break", [fdo] { SetBreak(fdo); });
                    s.Join(a);
                    s.Join(b);
                    s.Join(c);
                    SIM_CHECK(m.bus.registers[4] == 0x03);
                    SIM_CHECK(m.bus.registers[3] & 0x40);
                },
                options);
            ++seeds;
        }
    }
    EXPECT_EQ(seeds, 120);
}

TEST(RefreshModemStatus, CopiesTheWholeStatusByteOfAMarkedReport) {
    WithStartedPort([](Machine& m, PDEVICE_OBJECT fdo, PortExtension* ext) {
        ext->modemStatus = 0x30;
        SIM_CHECK(ext->statusReport[0] == 0xFF);  // nothing arrived yet
        SIM_CHECK(RefreshModemStatus(fdo) == STATUS_SUCCESS);
        SIM_CHECK(ext->modemStatus == 0x30);
        ext->statusReport[0] = 0xE8;
        ext->statusReport[3] = 0xB5;
        SIM_CHECK(RefreshModemStatus(fdo) == STATUS_SUCCESS);
        SIM_CHECK(ext->modemStatus == 0xB5);
        ext->statusReport[0] = 0xE9;
        ext->statusReport[3] = 0x00;
        SIM_CHECK(RefreshModemStatus(fdo) == STATUS_SUCCESS);
        SIM_CHECK(ext->modemStatus == 0xB5);
        SIM_CHECK(m.bus.requests.empty());
    });
}

}  // namespace
