// The serial control dispatcher: what each request does and reports, its
// buffer rules swept over every length, the requests that keep state
// (errors, statistics, the one-shot line report, the identification
// switch), and 100,000 seeded random requests after which the port still
// carries data.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "sim/line/loopback_plug.h"
#include "tests/harness/explore.h"
#include "tests/harness/port_rig.h"

namespace {

using namespace porttest;

// Sends a device control straight to the port's device (for a port whose
// handle is closed). Returns the request's status.
NTSTATUS SendControl(PortRig& rig, ULONG code) {
    ULONG scratch[4] = {};
    PIRP irp = IoBuildDeviceIoControlRequest(code, rig.node->top, scratch, sizeof scratch, scratch,
                                             sizeof scratch, FALSE, nullptr, nullptr);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    irp->UserEvent = &done;
    irp->UserIosb = &iosb;
    if (IofCallDriver(rig.node->top, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return iosb.Status;
}

struct ControlCase {
    const char* name;
    ULONG code;
    std::vector<uint8_t> input;
    ULONG outLength;
    NTSTATUS status;
    ULONG information;
    std::function<bool(PortExtension*)> after;  // what must hold afterwards
};

template <typename T>
std::vector<uint8_t> Bytes(const T& value) {
    std::vector<uint8_t> v(sizeof value);
    std::memcpy(v.data(), &value, sizeof value);
    return v;
}

TEST(DeviceControl, RequestsDoAndReportWhatTheySay) {
    const ControlCase cases[] = {
        {"read time-outs all MAXULONG refused", IOCTL_SERIAL_SET_TIMEOUTS,
         Bytes(SERIAL_TIMEOUTS{MAXULONG, MAXULONG, MAXULONG, 0, 0}), 0, STATUS_INVALID_PARAMETER, 0,
         [](PortExtension* x) { return x->timeouts.ReadIntervalTimeout == 0; }},
        {"read time-outs MAXULONG, MAXULONG, MAXULONG-1 taken", IOCTL_SERIAL_SET_TIMEOUTS,
         Bytes(SERIAL_TIMEOUTS{MAXULONG, MAXULONG, MAXULONG - 1, 0, 0}), 0, STATUS_SUCCESS, 0,
         [](PortExtension* x) { return x->timeouts.ReadTotalTimeoutConstant == MAXULONG - 1; }},
        {"wait mask 0x1FFF taken", IOCTL_SERIAL_SET_WAIT_MASK, Bytes(ULONG{0x1FFF}), 0,
         STATUS_SUCCESS, 4, [](PortExtension* x) { return x->waitMask == 0x1FFF; }},
        {"wait mask 0x2000 refused", IOCTL_SERIAL_SET_WAIT_MASK, Bytes(ULONG{0x2000}), 0,
         STATUS_INVALID_PARAMETER, 0, [](PortExtension* x) { return x->waitMask == 0; }},
        {"XON equal to XOFF stores nothing", IOCTL_SERIAL_SET_CHARS,
         Bytes(SERIAL_CHARS{1, 2, 3, 4, 0x11, 0x11}), 0, STATUS_SUCCESS, 0,
         [](PortExtension* x) { return x->chars.EventChar == 0 && x->chars.XoffChar == 0x13; }},
        {"DTR mask value 3 refused", IOCTL_SERIAL_SET_HANDFLOW, Bytes(SERIAL_HANDFLOW{3, 0, 0, 0}),
         0, STATUS_INVALID_PARAMETER, 0,
         [](PortExtension* x) { return x->handFlow.ControlHandShake == SERIAL_DTR_CONTROL; }},
        {"error abort bit taken", IOCTL_SERIAL_SET_HANDFLOW,
         Bytes(SERIAL_HANDFLOW{SERIAL_ERROR_ABORT, 0, 0, 0}), 0, STATUS_SUCCESS, 0,
         [](PortExtension* x) { return x->handFlow.ControlHandShake == SERIAL_ERROR_ABORT; }},
        {"XON limit above the queue size refused", IOCTL_SERIAL_SET_HANDFLOW,
         Bytes(SERIAL_HANDFLOW{0, 0, 4097, 0}), 0, STATUS_INVALID_PARAMETER, 0, nullptr},
        {"XON limit at the queue size taken", IOCTL_SERIAL_SET_HANDFLOW,
         Bytes(SERIAL_HANDFLOW{0, 0, 4096, 0}), 0, STATUS_SUCCESS, 0, nullptr},
        {"a smaller queue size changes nothing", IOCTL_SERIAL_SET_QUEUE_SIZE,
         Bytes(SERIAL_QUEUE_SIZE{2048, 2048}), 0, STATUS_SUCCESS, 0,
         [](PortExtension* x) { return x->inQueueSize == 4096; }},
        {"purge of the clear bits only", IOCTL_SERIAL_PURGE, Bytes(ULONG{0x0C}), 0, STATUS_SUCCESS,
         4, nullptr},
        {"modem control is one byte",
         IOCTL_SERIAL_GET_MODEM_CONTROL,
         {},
         1,
         STATUS_SUCCESS,
         1,
         nullptr},
        {"configuration size", IOCTL_SERIAL_CONFIG_SIZE, {}, 4, STATUS_SUCCESS, 4, nullptr},
        {"properties", IOCTL_SERIAL_GET_PROPERTIES, {}, 64, STATUS_SUCCESS, 64, nullptr},
        {"immediate character not served", IOCTL_SERIAL_IMMEDIATE_CHAR, Bytes(UCHAR{0x41}), 0,
         STATUS_INVALID_DEVICE_REQUEST, 0, nullptr},
        {"DTR and RTS query not served",
         IOCTL_SERIAL_GET_DTRRTS,
         {},
         4,
         STATUS_INVALID_DEVICE_REQUEST,
         0,
         nullptr},
        {"XOFF not served",
         IOCTL_SERIAL_SET_XOFF,
         {},
         0,
         STATUS_INVALID_DEVICE_REQUEST,
         0,
         nullptr},
    };
    for (const ControlCase& c : cases) {
        ExpectOk(RunOnPort({}, [&](PortRig& rig) {
            std::vector<uint8_t> out(c.outLength + 8, 0xEE);
            ULONG information = 99;
            NTSTATUS st = rig.sim.io().DeviceIoControl(
                rig.handle, c.code, c.input.empty() ? nullptr : c.input.data(),
                static_cast<ULONG>(c.input.size()), c.outLength ? out.data() : nullptr, c.outLength,
                &information);
            EXPECT_EQ(st, c.status) << c.name;
            EXPECT_EQ(information, c.information) << c.name;
            if (c.after) {
                EXPECT_TRUE(c.after(rig.ext)) << c.name;
            }
        }));
    }
}

// Errors are reported once; the statistics window opens at a clear and
// closes at the next read of it; a window left open at close survives it;
// the properties report the bytes queued for sending.
TEST(DeviceControl, RequestsThatKeepState) {
    ExpectOk(RunOnPort({}, [](PortRig& rig) {
        SERIAL_STATUS status{};
        rig.ext->errorFlags = SERIAL_ERROR_QUEUEOVERRUN;
        SIM_CHECK(rig.Control(IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &status, sizeof status) ==
                  STATUS_SUCCESS);
        SIM_CHECK(status.Errors == SERIAL_ERROR_QUEUEOVERRUN);
        SIM_CHECK(NT_SUCCESS(rig.Control(IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &status,
                                         sizeof status)) &&
                  status.Errors == 0);

        SERIALPERF_STATS stats{};
        auto getStats = [&] {
            SIM_CHECK(
                NT_SUCCESS(rig.Control(IOCTL_SERIAL_GET_STATS, nullptr, 0, &stats, sizeof stats)));
        };
        getStats();
        SIM_CHECK(stats.ReceivedCount == 0 && stats.TransmittedCount == 0);
        SIM_CHECK(NT_SUCCESS(rig.Control(IOCTL_SERIAL_CLEAR_STATS, nullptr, 0)));
        rig.PeerSends(Pattern(10));
        SIM_CHECK(NT_SUCCESS(rig.sim.io().Write(rig.handle, "hello", 5)));
        rig.Pass(20 * kMs);
        getStats();
        SIM_CHECK(stats.ReceivedCount == 10 && stats.TransmittedCount == 5);
        rig.PeerSends(Pattern(10));
        rig.Pass(20 * kMs);
        getStats();
        SIM_CHECK(stats.ReceivedCount == 0);  // the window closed

        SIM_CHECK(NT_SUCCESS(rig.Control(IOCTL_SERIAL_CLEAR_STATS, nullptr, 0)));
        SIM_CHECK(NT_SUCCESS(rig.sim.io().Write(rig.handle, "abc", 3)));
        rig.Pass(20 * kMs);
        rig.Close();
        rig.Open();
        getStats();
        SIM_CHECK(stats.TransmittedCount == 3);
        // Counting started before a close does not go on after the next open.
        SIM_CHECK(NT_SUCCESS(rig.Control(IOCTL_SERIAL_CLEAR_STATS, nullptr, 0)));
        rig.Close();
        rig.Open();
        SIM_CHECK(NT_SUCCESS(rig.sim.io().Write(rig.handle, "abcd", 4)));
        rig.Pass(20 * kMs);
        getStats();
        SIM_CHECK(stats.TransmittedCount == 0 && stats.ReceivedCount == 0);

        rig.Inject(chip::Fault::HangPipe(chip::kEndpointBulkOut));
        const auto data = Pattern(100);
        sim::Overlapped write;
        SIM_CHECK(rig.sim.io().WriteAsync(rig.handle, data.data(), 100, &write) == STATUS_PENDING);
        SERIAL_COMMPROP props{};
        SIM_CHECK(
            NT_SUCCESS(rig.Control(IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, &props, sizeof props)));
        SIM_CHECK(props.CurrentTxQueue == 100 && props.CurrentRxQueue == 8192);
        rig.sim.io().CancelIo(rig.handle);
        rig.sim.io().Wait(&write);
    }));
}

// The first wait after an open reports the line levels at once, whatever
// the mask; the next one is an ordinary wait. Requests reaching a port that
// is not open are refused, private ones included.
TEST(DeviceControl, OneShotLineReportAndAPortNotOpen) {
    ExpectOk(RunOnPort({}, [](PortRig& rig) {
        rig.Close();
        rig.bus.Update(rig.node->pdo, [&](chip::BridgeChip&) {
            rig.peer.SetModemLines(chip::kLineCts | chip::kLineDsr);
        });
        for (ULONG code : {IOCTL_SERIAL_GET_BAUD_RATE, IOCTL_BRIDGE_READ_REGISTER})
            SIM_CHECK(SendControl(rig, code) == STATUS_INVALID_DEVICE_REQUEST);
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        rig.handle = rig.sim.io().Open("\\\\.\\" + rig.node->portName, &status);
        ULONG word = 0;
        SIM_CHECK(rig.Control(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &word, 4) == STATUS_SUCCESS);
        SIM_CHECK(word == (SERIAL_EV_CTS | SERIAL_EV_DSR));
        SIM_CHECK(rig.Control(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &word, 4) ==
                  STATUS_INVALID_PARAMETER);  // mask 0: an ordinary wait now
    }));
}

// Private register requests: register 16 is read; a register number with a
// high byte is refused before any traffic.
TEST(DeviceControl, PrivateRegisterRequests) {
    ExpectOk(RunOnPort({}, [](PortRig& rig) {
        uint8_t in[6] = {0, 0, 0, 0, 16, 0};
        uint8_t out[1] = {0xEE};
        ULONG info = 0;
        SIM_CHECK(rig.sim.io().DeviceIoControl(rig.handle, IOCTL_BRIDGE_READ_REGISTER, in, 6, out,
                                               1, &info) == STATUS_SUCCESS &&
                  info == 1);
        const size_t before = rig.bus.Transfers(rig.node->pdo).size();
        uint8_t high[6] = {0, 0, 0, 0, 0x03, 0x01};  // register 0x0103
        SIM_CHECK(rig.sim.io().DeviceIoControl(rig.handle, IOCTL_BRIDGE_READ_REGISTER, high, 6, out,
                                               1) == STATUS_INVALID_PARAMETER);
        SIM_CHECK(rig.bus.Transfers(rig.node->pdo).size() == before);
    }));
}

// The identification switch end to end: the application writes the query,
// a peer answers with the reference reply, and a later request for 9600
// baud programs 230400 (divisor 13), which a peer at 230400 then hears; any
// other reply leaves the rate as asked.
TEST(DeviceControl, IdentificationReplySwitchesTo230400) {
    const std::vector<uint8_t> reference = {0x41, 0x54, 0x2B, 0x43, 0x47, 0x4D, 0x49, 0x0D,
                                            0x0D, 0x0A, 0x53, 0x6F, 0x6E, 0x79, 0x20, 0x45,
                                            0x72, 0x69, 0x63, 0x73, 0x73, 0x6F, 0x6E};
    std::vector<uint8_t> other = reference;
    other[12] = 0x41;
    for (bool recognised : {true, false}) {
        ExpectOk(RunOnPort({}, [&](PortRig& rig) {
            SIM_CHECK(NT_SUCCESS(rig.sim.io().Write(rig.handle, "AT+CGMI\r", 8)));
            rig.PeerSends(recognised ? reference : other);
            rig.SetTimeouts(50, 0, 0);
            std::vector<uint8_t> reply(23);
            ULONG n = 0;
            SIM_CHECK(NT_SUCCESS(rig.sim.io().Read(rig.handle, reply.data(), 23, &n)) && n == 23);
            SERIAL_BAUD_RATE baud{9600};
            SIM_CHECK(NT_SUCCESS(rig.Control(IOCTL_SERIAL_SET_BAUD_RATE, &baud, sizeof baud)));
            SIM_CHECK(NT_SUCCESS(
                rig.Control(IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &baud, sizeof baud)));
            const ULONG expected = recognised ? 230400 : 9600;
            SIM_CHECK(baud.BaudRate == expected);
            SIM_CHECK(rig.bus.Chip(rig.node->pdo).UartState().Divisor() == 3000000 / expected);
            rig.peer.SetSettings(line::LineSettings::Baud(expected));
            rig.peer.ClearRecords();
            SIM_CHECK(NT_SUCCESS(rig.sim.io().Write(rig.handle, "ATI\r", 4)));
            rig.Pass(20 * kMs);
            SIM_CHECK(rig.peer.Text() == "ATI\r");
        }));
    }
}

// ---------------------------------------------------------------- bad input

struct Rule {
    ULONG code;
    ULONG input;   // bytes the request needs in
    ULONG output;  // bytes it needs out
};

const Rule kRules[] = {
    {IOCTL_SERIAL_SET_BAUD_RATE, 4, 0},
    {IOCTL_SERIAL_SET_QUEUE_SIZE, 8, 0},
    {IOCTL_SERIAL_SET_LINE_CONTROL, 3, 0},
    {IOCTL_SERIAL_SET_BREAK_ON, 0, 0},
    {IOCTL_SERIAL_SET_BREAK_OFF, 0, 0},
    {IOCTL_SERIAL_SET_TIMEOUTS, 20, 0},
    {IOCTL_SERIAL_GET_TIMEOUTS, 0, 20},
    {IOCTL_SERIAL_SET_DTR, 0, 0},
    {IOCTL_SERIAL_CLR_DTR, 0, 0},
    {IOCTL_SERIAL_SET_RTS, 0, 0},
    {IOCTL_SERIAL_CLR_RTS, 0, 0},
    {IOCTL_SERIAL_GET_WAIT_MASK, 0, 4},
    {IOCTL_SERIAL_SET_WAIT_MASK, 4, 0},
    {IOCTL_SERIAL_WAIT_ON_MASK, 0, 4},
    {IOCTL_SERIAL_PURGE, 4, 0},
    {IOCTL_SERIAL_GET_BAUD_RATE, 0, 4},
    {IOCTL_SERIAL_GET_LINE_CONTROL, 0, 3},
    {IOCTL_SERIAL_GET_CHARS, 0, 6},
    {IOCTL_SERIAL_SET_CHARS, 6, 0},
    {IOCTL_SERIAL_GET_HANDFLOW, 0, 16},
    {IOCTL_SERIAL_SET_HANDFLOW, 16, 0},
    {IOCTL_SERIAL_GET_MODEMSTATUS, 0, 4},
    {IOCTL_SERIAL_GET_COMMSTATUS, 0, 20},
    {IOCTL_SERIAL_GET_PROPERTIES, 0, 64},
    {IOCTL_SERIAL_CONFIG_SIZE, 0, 4},
    {IOCTL_SERIAL_GET_STATS, 0, 24},
    {IOCTL_SERIAL_CLEAR_STATS, 0, 0},
    {IOCTL_SERIAL_GET_MODEM_CONTROL, 0, 1},
    {IOCTL_SERIAL_SET_MODEM_CONTROL, 1, 0},
    {IOCTL_SERIAL_SET_FIFO_CONTROL, 1, 0},
    {IOCTL_BRIDGE_WRITE_REGISTER, 6, 0},
    {IOCTL_BRIDGE_READ_REGISTER, 6, 1},
    {IOCTL_BRIDGE_READ_BULK, 0, 64},
    {IOCTL_BRIDGE_READ_STATUS, 0, 4},
    {IOCTL_BRIDGE_WRITE_BULK, 8, 0},
};

// Issues a request with the given buffers and waits a bounded time; one that
// still waits (a wait on mask, a private transfer) is cancelled. Returns its
// final status.
NTSTATUS Issue(PortRig& rig, ULONG code, std::vector<uint8_t>& in, ULONG inLength,
               std::vector<uint8_t>& out, ULONG outLength) {
    sim::Overlapped ov;
    NTSTATUS st = rig.sim.io().DeviceIoControlAsync(
        rig.handle, code, inLength ? in.data() : nullptr, inLength,
        outLength ? out.data() : nullptr, outLength, &ov);
    if (st != STATUS_PENDING) return st;
    if (rig.sim.io().Wait(&ov, 20 * kMs) == STATUS_TIMEOUT) rig.sim.io().CancelIo(rig.handle);
    return rig.sim.io().Wait(&ov);
}

// Every request with every input length, and every output length, from 0 to
// its structure's size plus one (0 with no buffer at all): too short is
// STATUS_BUFFER_TOO_SMALL and changes nothing; long enough is never that; the
// I/O manager stops the run if a request reports more than its buffer.
TEST(DeviceControl, EveryBufferLengthOfEveryRequest) {
    ExpectOk(RunOnPort({}, [](PortRig& rig) {
        line::LoopbackPlug plug;
        rig.bus.AttachFarEnd(rig.node->pdo, &plug);
        for (const Rule& r : kRules) {
            const ULONG inMax = (r.input ? r.input : 4) + 1, outMax = (r.output ? r.output : 4) + 1;
            for (int sweepOut = 0; sweepOut < 2; ++sweepOut) {
                for (ULONG n = 0; n <= (sweepOut ? outMax : inMax); ++n) {
                    const ULONG inLength = sweepOut ? r.input : n;
                    const ULONG outLength = sweepOut ? n : r.output;
                    std::vector<uint8_t> in(inMax + 8, 0), out(outMax + 8, 0);
                    NTSTATUS st = Issue(rig, r.code, in, inLength, out, outLength);
                    const bool tooSmall = inLength < r.input || outLength < r.output;
                    SIM_CHECK((st == STATUS_BUFFER_TOO_SMALL) == tooSmall);
                }
            }
        }
        rig.bus.AttachFarEnd(rig.node->pdo, &rig.peer);
    }));
}

// Seeded random requests (codes, lengths and contents) on an open port with
// the loopback plug; afterwards, with the settings restored, the port carries
// data through the plug unchanged.
TEST(DeviceControl, HundredThousandRandomRequestsThenLoopback) {
    const int requests = ExploreRunsOr("BRIDGESER_FUZZ_REQUESTS", 100000);
    ExpectOk(RunOnPort({}, [&](PortRig& rig) {
        line::LoopbackPlug plug;
        rig.bus.AttachFarEnd(rig.node->pdo, &plug);
        std::vector<uint8_t> in(80), out(80);
        for (int i = 0; i < requests; ++i) {
            const uint64_t pick = rig.sim.Random();
            ULONG code = kRules[pick % std::size(kRules)].code;
            if (pick % 17 == 0) code = static_cast<ULONG>(rig.sim.Random());  // anything at all
            for (auto& b : in) b = static_cast<uint8_t>(rig.sim.Random());
            const ULONG inLength = static_cast<ULONG>(rig.sim.Random() % 72);
            const ULONG outLength = static_cast<ULONG>(rig.sim.Random() % 72);
            (void)Issue(rig, code, in, inLength, out, outLength);
        }
        // Restore what an application would: chip initial values, 115200 8N1,
        // lines up, no break, no handshake, no time-outs; empty both ways.
        for (auto [reg, value] : {std::pair<UCHAR, UCHAR>{2, 0x08}, {1, 0x08}, {8, 0}, {11, 0}}) {
            uint8_t w[6] = {value, 0, 0, 0, reg, 0};
            SIM_CHECK(NT_SUCCESS(rig.sim.io().DeviceIoControl(
                rig.handle, IOCTL_BRIDGE_WRITE_REGISTER, w, 6, nullptr, 0)));
        }
        SERIAL_BAUD_RATE baud{115200};
        SERIAL_LINE_CONTROL lc{STOP_BIT_1, NO_PARITY, 8};
        SERIAL_HANDFLOW flow{SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 0, 0};
        SIM_CHECK(NT_SUCCESS(rig.Control(IOCTL_SERIAL_SET_BAUD_RATE, &baud, sizeof baud)));
        SIM_CHECK(NT_SUCCESS(rig.Control(IOCTL_SERIAL_SET_LINE_CONTROL, &lc, sizeof lc)));
        SIM_CHECK(NT_SUCCESS(rig.Control(IOCTL_SERIAL_SET_HANDFLOW, &flow, sizeof flow)));
        for (ULONG code : {IOCTL_SERIAL_SET_BREAK_OFF, IOCTL_SERIAL_SET_DTR, IOCTL_SERIAL_SET_RTS})
            SIM_CHECK(NT_SUCCESS(rig.Control(code, nullptr, 0)));
        ULONG purge = SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXABORT;
        rig.Pass(50 * kMs);
        SIM_CHECK(NT_SUCCESS(rig.Control(IOCTL_SERIAL_PURGE, &purge, sizeof purge)));
        rig.SetTimeouts(50, 0, 0);
        const auto data = Pattern(1000);
        SIM_CHECK(NT_SUCCESS(rig.sim.io().Write(rig.handle, data.data(), 1000)));
        std::vector<uint8_t> back(1000);
        ULONG n = 0;
        SIM_CHECK(NT_SUCCESS(rig.sim.io().Read(rig.handle, back.data(), 1000, &n)));
        SIM_CHECK(n == 1000 && back == data);
        rig.bus.AttachFarEnd(rig.node->pdo, &rig.peer);
    }));
}

}  // namespace
