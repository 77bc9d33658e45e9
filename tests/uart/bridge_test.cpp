// The private bridge requests: raw register access and one raw transfer per
// pipe, with the caller's buffer lengths checked before anything is touched.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tests/driver/usb_test_bus.h"

namespace {

using bridgetest::Answer;
using bridgetest::DriverPool;
using bridgetest::Fail;
using bridgetest::Machine;
using bridgetest::RunClean;
using bridgetest::UsbRequest;
using bridgetest::UsbTestBus;

struct Outcome {
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0xDEAD;
};

NTSTATUS NTAPI CatchCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* outcome = static_cast<Outcome*>(context);
    outcome->status = irp->IoStatus.Status;
    outcome->information = irp->IoStatus.Information;
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Builds a buffered device-control request for the function device, hands
// it to a bridge routine and returns how it completed. `buffer` is the
// system buffer, as long as the larger of the two lengths.
Outcome Issue(NTSTATUS (*routine)(PDEVICE_OBJECT, PIRP), PDEVICE_OBJECT fdo, ULONG code,
              std::vector<uint8_t>& buffer, ULONG inputLength, ULONG outputLength) {
    Outcome outcome;
    PIRP irp = IoAllocateIrp(fdo->StackSize, FALSE);
    SIM_CHECK(irp != nullptr);
    IoSetCompletionRoutine(irp, CatchCompletion, &outcome, TRUE, TRUE, TRUE);
    IoSetNextIrpStackLocation(irp);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    stack->DeviceObject = fdo;
    stack->Parameters.DeviceIoControl.IoControlCode = code;
    stack->Parameters.DeviceIoControl.InputBufferLength = inputLength;
    stack->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
    irp->AssociatedIrp.SystemBuffer = buffer.empty() ? nullptr : buffer.data();
    // As the dispatcher does before it hands the request on.
    SIM_CHECK(NT_SUCCESS(AcquireRequestLock(fdo, irp)));
    NTSTATUS returned = routine(fdo, irp);
    SIM_CHECK(returned == outcome.status);
    irp->AssociatedIrp.SystemBuffer = nullptr;
    IoFreeIrp(irp);
    return outcome;
}

void WithStartedPort(const std::function<void(Machine&, PDEVICE_OBJECT)>& body) {
    RunClean([&] {
        Machine m;
        m.Load();
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        sim::DeviceNode* node = m.PlugIn("USB\\VID_1A2B&PID_0001\\1", &status);
        SIM_CHECK(NT_SUCCESS(status));
        m.bus.ClearLog();
        uint64_t poolBefore = DriverPool();
        body(m, Machine::Fdo(node));
        SIM_CHECK(DriverPool() == poolBefore);
        m.bus.decide = nullptr;
        sim::Simulation::Current().pnp().Unplug(node);
    });
}

std::vector<uint8_t> RegisterInput(USHORT reg, UCHAR value, size_t size = 8) {
    std::vector<uint8_t> b(size, 0xCD);
    b[0] = value;
    b[4] = reg & 0xFF;
    b[5] = reg >> 8;
    return b;
}

TEST(BridgeRegisterRequests, WriteTakesValueFromByteZeroAndRegisterFromBytesFourAndFive) {
    WithStartedPort([](Machine& m, PDEVICE_OBJECT fdo) {
        auto buffer = RegisterInput(11, 0x5C);
        Outcome o = Issue(BridgeWriteRegister, fdo, IOCTL_BRIDGE_WRITE_REGISTER, buffer, 6, 1);
        SIM_CHECK(o.status == STATUS_SUCCESS && o.information == 1);
        SIM_CHECK(m.bus.registers[11] == 0x5C);
        SIM_CHECK(m.bus.requests.size() == 1 && m.bus.requests[0].IsRegisterWrite(11));
    });
}

TEST(BridgeRegisterRequests, WriteReportsOneByteEvenWhenItFails) {
    WithStartedPort([](Machine& m, PDEVICE_OBJECT fdo) {
        m.bus.decide = [](const UsbRequest&) { return Fail(STATUS_UNSUCCESSFUL); };
        auto buffer = RegisterInput(2, 0x01);
        Outcome o = Issue(BridgeWriteRegister, fdo, IOCTL_BRIDGE_WRITE_REGISTER, buffer, 6, 4);
        SIM_CHECK(o.status == STATUS_UNSUCCESSFUL && o.information == 1);
        buffer = RegisterInput(17, 0x01);
        o = Issue(BridgeWriteRegister, fdo, IOCTL_BRIDGE_WRITE_REGISTER, buffer, 6, 4);
        SIM_CHECK(o.status == STATUS_INVALID_PARAMETER && o.information == 1);
    });
}

TEST(BridgeRegisterRequests, WriteWithoutOutputBufferStillReportsOne) {
    WithStartedPort([](Machine& m, PDEVICE_OBJECT fdo) {
        auto buffer = RegisterInput(1, 0x08, 6);
        Outcome o = Issue(BridgeWriteRegister, fdo, IOCTL_BRIDGE_WRITE_REGISTER, buffer, 6, 0);
        SIM_CHECK(o.status == STATUS_SUCCESS && o.information == 1);
        SIM_CHECK(m.bus.registers[1] == 0x08);
    });
}

TEST(BridgeRegisterRequests, ReadPutsTheValueInByteZero) {
    WithStartedPort([](Machine& m, PDEVICE_OBJECT fdo) {
        m.bus.registers[7] = 0x9E;
        auto buffer = RegisterInput(7, 0xCD);
        Outcome o = Issue(BridgeReadRegister, fdo, IOCTL_BRIDGE_READ_REGISTER, buffer, 6, 1);
        SIM_CHECK(o.status == STATUS_SUCCESS && o.information == 1);
        SIM_CHECK(buffer[0] == 0x9E);
    });
}

TEST(BridgeRegisterRequests, ReadOfRegisterSeventeenGivesZeroAndInvalidParameter) {
    WithStartedPort([](Machine& m, PDEVICE_OBJECT fdo) {
        auto buffer = RegisterInput(17, 0xCD);
        Outcome o = Issue(BridgeReadRegister, fdo, IOCTL_BRIDGE_READ_REGISTER, buffer, 6, 1);
        SIM_CHECK(o.status == STATUS_INVALID_PARAMETER && o.information == 1);
        SIM_CHECK(buffer[0] == 0);
        SIM_CHECK(m.bus.requests.empty());
    });
}

TEST(BridgeRegisterRequests, ShortBuffersAreRefusedUntouched) {
    struct Case {
        NTSTATUS (*routine)(PDEVICE_OBJECT, PIRP);
        ULONG code, input, output;
    };
    const Case cases[] = {
        {BridgeWriteRegister, IOCTL_BRIDGE_WRITE_REGISTER, 5, 8},
        {BridgeWriteRegister, IOCTL_BRIDGE_WRITE_REGISTER, 0, 0},
        {BridgeReadRegister, IOCTL_BRIDGE_READ_REGISTER, 5, 1},
        {BridgeReadRegister, IOCTL_BRIDGE_READ_REGISTER, 6, 0},
    };
    WithStartedPort([&cases](Machine& m, PDEVICE_OBJECT fdo) {
        for (const Case& c : cases) {
            std::vector<uint8_t> buffer(std::max(c.input, c.output), 0xCD);
            std::vector<uint8_t> before = buffer;
            Outcome o = Issue(c.routine, fdo, c.code, buffer, c.input, c.output);
            SIM_CHECK(o.status == STATUS_BUFFER_TOO_SMALL && o.information == 0);
            SIM_CHECK(buffer == before);
        }
        SIM_CHECK(m.bus.requests.empty());
    });
}

TEST(BridgePipeRequests, ReadBulkReturnsAShortPacket) {
    WithStartedPort([](Machine& m, PDEVICE_OBJECT fdo) {
        m.bus.bulkInData = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
        std::vector<uint8_t> buffer(64, 0xCD);
        Outcome o = Issue(BridgeReadBulk, fdo, IOCTL_BRIDGE_READ_BULK, buffer, 0, 64);
        SIM_CHECK(o.status == STATUS_SUCCESS && o.information == 10);
        SIM_CHECK(std::equal(buffer.begin(), buffer.begin() + 10,
                             std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}.begin()));
        SIM_CHECK(buffer[10] == 0xCD);
        SIM_CHECK(m.bus.requests.size() == 1);
        const UsbRequest& r = m.bus.requests[0];
        SIM_CHECK(r.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
        SIM_CHECK(r.headerLength == sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
        SIM_CHECK(r.pipe == UsbTestBus::PipeHandle(1, BRIDGE_PIPE_BULK_IN));
        SIM_CHECK(r.transferFlags == 3 && r.transferLength == 64);
    });
}

TEST(BridgePipeRequests, ReadStatusUsesTheInterruptPipe) {
    WithStartedPort([](Machine& m, PDEVICE_OBJECT fdo) {
        m.bus.statusData = {0xE8, 0, 0, 0xB0};
        std::vector<uint8_t> buffer(4, 0xCD);
        Outcome o = Issue(BridgeReadStatus, fdo, IOCTL_BRIDGE_READ_STATUS, buffer, 0, 4);
        SIM_CHECK(o.status == STATUS_SUCCESS && o.information == 4);
        SIM_CHECK(buffer == (std::vector<uint8_t>{0xE8, 0, 0, 0xB0}));
        SIM_CHECK(m.bus.requests[0].pipe == UsbTestBus::PipeHandle(1, BRIDGE_PIPE_STATUS));
        SIM_CHECK(m.bus.requests[0].transferFlags == 3 && m.bus.requests[0].transferLength == 4);
    });
}

TEST(BridgePipeRequests, WriteBulkReportsWhatTheStackMoved) {
    WithStartedPort([](Machine& m, PDEVICE_OBJECT fdo) {
        m.bus.decide = [](const UsbRequest&) {
            Answer a;
            a.length = 5;
            return a;
        };
        std::vector<uint8_t> buffer = {0xCD, 0xCD, 0xCD, 0xCD, 8,   0,   0,   0,
                                       'A',  'T',  '+',  'C',  'G', 'M', 'I', '\r'};
        Outcome o = Issue(BridgeWriteBulk, fdo, IOCTL_BRIDGE_WRITE_BULK, buffer, 16, 8);
        SIM_CHECK(o.status == STATUS_SUCCESS && o.information == 5);
        const UsbRequest& r = m.bus.requests.at(0);
        SIM_CHECK(r.pipe == UsbTestBus::PipeHandle(1, BRIDGE_PIPE_BULK_OUT));
        SIM_CHECK(r.transferFlags == 0 && r.transferLength == 8);
        SIM_CHECK(r.data == (std::vector<uint8_t>{'A', 'T', '+', 'C', 'G', 'M', 'I', '\r'}));
    });
}

TEST(BridgePipeRequests, WriteBulkCountIsCappedOnlyByAGivenOutputBuffer) {
    WithStartedPort([](Machine& m, PDEVICE_OBJECT fdo) {
        std::vector<uint8_t> buffer = {0, 0, 0, 0, 3, 0, 0, 0, 'a', 'b', 'c'};
        Outcome none = Issue(BridgeWriteBulk, fdo, IOCTL_BRIDGE_WRITE_BULK, buffer, 11, 0);
        SIM_CHECK(none.status == STATUS_SUCCESS && none.information == 3);
        SIM_CHECK(m.bus.requests.at(0).data == (std::vector<uint8_t>{'a', 'b', 'c'}));
        Outcome small = Issue(BridgeWriteBulk, fdo, IOCTL_BRIDGE_WRITE_BULK, buffer, 11, 2);
        SIM_CHECK(small.status == STATUS_SUCCESS && small.information == 2);
    });
}

TEST(BridgePipeRequests, ShortOrInconsistentBuffersAreRefusedWithoutTraffic) {
    struct Case {
        NTSTATUS (*routine)(PDEVICE_OBJECT, PIRP);
        ULONG code, input, output, length;  // length: the L word of a bulk write
    };
    const Case cases[] = {
        {BridgeReadBulk, IOCTL_BRIDGE_READ_BULK, 0, 63, 0},
        {BridgeReadBulk, IOCTL_BRIDGE_READ_BULK, 64, 0, 0},
        {BridgeReadStatus, IOCTL_BRIDGE_READ_STATUS, 0, 3, 0},
        {BridgeWriteBulk, IOCTL_BRIDGE_WRITE_BULK, 7, 0, 0},
        {BridgeWriteBulk, IOCTL_BRIDGE_WRITE_BULK, 8, 0, 1},
        {BridgeWriteBulk, IOCTL_BRIDGE_WRITE_BULK, 20, 0, 13},
        {BridgeWriteBulk, IOCTL_BRIDGE_WRITE_BULK, 20, 0, 0xFFFFFFFF},
        {BridgeWriteBulk, IOCTL_BRIDGE_WRITE_BULK, 20, 0, 0xFFFFFFF8},
    };
    WithStartedPort([&cases](Machine& m, PDEVICE_OBJECT fdo) {
        for (const Case& c : cases) {
            std::vector<uint8_t> buffer(std::max(c.input, c.output), 0xCD);
            if (buffer.size() >= 8) std::memcpy(&buffer[4], &c.length, 4);
            std::vector<uint8_t> before = buffer;
            Outcome o = Issue(c.routine, fdo, c.code, buffer, c.input, c.output);
            SIM_CHECK(o.status == STATUS_BUFFER_TOO_SMALL && o.information == 0);
            SIM_CHECK(buffer == before);
        }
        SIM_CHECK(m.bus.requests.empty());
    });
}

TEST(BridgePipeRequests, FailureReportsNoBytes) {
    WithStartedPort([](Machine& m, PDEVICE_OBJECT fdo) {
        m.bus.decide = [](const UsbRequest&) {
            return Fail(STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
        };
        m.bus.bulkInData = {1, 2, 3};
        std::vector<uint8_t> buffer(64, 0xCD);
        Outcome o = Issue(BridgeReadBulk, fdo, IOCTL_BRIDGE_READ_BULK, buffer, 0, 64);
        SIM_CHECK(o.status == STATUS_DEVICE_NOT_CONNECTED && o.information == 0);
        SIM_CHECK(buffer[0] == 0xCD);
        std::vector<uint8_t> write = {0, 0, 0, 0, 1, 0, 0, 0, 'x'};
        o = Issue(BridgeWriteBulk, fdo, IOCTL_BRIDGE_WRITE_BULK, write, 9, 9);
        SIM_CHECK(o.status == STATUS_DEVICE_NOT_CONNECTED && o.information == 0);
    });
}

TEST(BridgePipeRequests, NoPoolMeansInsufficientResourcesAndNothingSent) {
    WithStartedPort([](Machine& m, PDEVICE_OBJECT fdo) {
        for (uint64_t nth : {1u, 2u}) {  // transfer buffer, then transfer block
            sim::Simulation::Current().pool().FailNth(nth);
            std::vector<uint8_t> buffer(4, 0xCD);
            Outcome o = Issue(BridgeReadStatus, fdo, IOCTL_BRIDGE_READ_STATUS, buffer, 0, 4);
            SIM_CHECK(o.status == STATUS_INSUFFICIENT_RESOURCES && o.information == 0);
            sim::Simulation::Current().pool().ClearFaults();
        }
        SIM_CHECK(m.bus.requests.empty());
    });
}

}  // namespace
