// Writes end to end: chunks on the wire, what the device takes, time-outs,
// the queue, and the identification check.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "tests/harness/port_rig.h"

namespace {

using namespace porttest;
using chip::Fault;

constexpr uint8_t kOut = chip::kEndpointBulkOut;

struct WriteCase {
    const char* name;
    std::vector<Fault> faults;
    ULONG multiplier, constant;  // write total time-out
    ULONG length;
    NTSTATUS status;
    ULONG information;
    uint64_t endsMs;              // after the write was issued; 0: not checked
    std::vector<uint32_t> moved;  // bytes moved by each bulk-out transfer
};

TEST(Write, ChunksTimeOutsAndWhatTheDeviceTakes) {
    const WriteCase cases[] = {
        {"150 bytes as 64, 64 and 22", {}, 0, 0, 150, STATUS_SUCCESS, 150, 0, {64, 64, 22}},
        {"a partly taken chunk resumes at the first byte not taken",
         {Fault::LimitPipe(kOut, 3)},
         0,
         0,
         10,
         STATUS_SUCCESS,
         10,
         0,
         {3, 7}},
        {"a failed chunk is sent again",
         {Fault::FailPipe(kOut, chip::kUsbdStatusCrc)},
         0,
         0,
         10,
         STATUS_SUCCESS,
         10,
         0,
         {0, 10}},
        {"time-out after 3 of 10 bytes",
         {Fault::LimitPipe(kOut, 3), Fault::HangPipe(kOut)},
         10,
         100,
         10,
         STATUS_TIMEOUT,
         3,
         200,
         {3}},
        {"a device that takes nothing gets three tries, then the time-out ends it",
         {Fault::LimitPipe(kOut, 0).Times(chip::kForever)},
         0,
         50,
         10,
         STATUS_TIMEOUT,
         0,
         50,
         {0, 0, 0}},
        {"a stalled pipe likewise",
         {Fault::FailPipe(kOut, chip::kUsbdStatusStallPid).Times(chip::kForever)},
         0,
         50,
         10,
         STATUS_TIMEOUT,
         0,
         50,
         {0, 0, 0}},
        {"zero length", {}, 0, 0, 0, STATUS_SUCCESS, 0, 0, {}},
    };
    for (const WriteCase& c : cases) {
        auto r = RunOnPort({}, [&](PortRig& rig) {
            rig.SetWriteTimeouts(c.multiplier, c.constant);
            for (const Fault& f : c.faults) rig.Inject(f);
            const std::vector<uint8_t> data = Pattern(c.length);
            const uint64_t issued = rig.Now();
            ULONG information = 99;
            NTSTATUS st = rig.sim.io().Write(rig.handle, data.data(), c.length, &information);
            EXPECT_EQ(st, c.status) << c.name;
            EXPECT_EQ(information, c.information) << c.name;
            if (c.endsMs) {
                EXPECT_EQ(rig.Now() - issued, c.endsMs * kMs) << c.name;
            }
            rig.Pass(20 * kMs);
            std::vector<uint32_t> moved;
            for (auto& t : rig.BulkOut()) moved.push_back(t.moved);
            EXPECT_EQ(moved, c.moved) << c.name;
            EXPECT_EQ(rig.PeerGot(), Pattern(c.information)) << c.name;
            EXPECT_EQ(rig.ext->writeQueuedBytes, 0u) << c.name;
        });
        EXPECT_TRUE(r.ok) << c.name << ": " << r.Report();
    }
}

// The last chunk of the last write raises SERIAL_EV_TXEMPTY.
TEST(Write, LastChunkOfTheLastWriteRaisesTxEmpty) {
    ExpectOk(RunOnPort({}, [](PortRig& rig) {
        rig.SetWaitMask(SERIAL_EV_TXEMPTY);
        ULONG word = 0;
        sim::Overlapped wait;
        SIM_CHECK(rig.sim.io().DeviceIoControlAsync(rig.handle, IOCTL_SERIAL_WAIT_ON_MASK, nullptr,
                                                    0, &word, 4, &wait) == STATUS_PENDING);
        const auto data = Pattern(150);
        sim::Overlapped write;
        SIM_CHECK(rig.sim.io().WriteAsync(rig.handle, data.data(), 150, &write) == STATUS_PENDING);
        SIM_CHECK(rig.sim.io().Wait(&wait) == STATUS_SUCCESS && word == SERIAL_EV_TXEMPTY);
        SIM_CHECK(write.done && write.iosb.Information == 150);
    }));
}

// A queued write counts its bytes at once and starts its time-out when it
// becomes current; cancelling a queued write removes exactly its bytes.
TEST(Write, QueuedWritesCountAtOnceAndTimeFromTheirPromotion) {
    ExpectOk(RunOnPort({}, [](PortRig& rig) {
        rig.SetWriteTimeouts(0, 100);
        rig.Inject(Fault::HangPipe(kOut));  // the first chunk never ends
        const auto data = Pattern(40);
        sim::Overlapped a, b, c;
        const uint64_t t0 = rig.Now();
        SIM_CHECK(rig.sim.io().WriteAsync(rig.handle, data.data(), 10, &a) == STATUS_PENDING);
        SIM_CHECK(rig.sim.io().WriteAsync(rig.handle, data.data(), 20, &b) == STATUS_PENDING);
        SIM_CHECK(rig.sim.io().WriteAsync(rig.handle, data.data(), 30, &c) == STATUS_PENDING);
        SIM_CHECK(rig.ext->writeQueuedBytes == 60);
        SIM_CHECK(IoCancelIrp(c.irp));
        SIM_CHECK(rig.sim.io().Wait(&c) == STATUS_CANCELLED && c.iosb.Information == 0);
        SIM_CHECK(rig.ext->writeQueuedBytes == 30);
        SIM_CHECK(rig.sim.io().Wait(&a) == STATUS_TIMEOUT && rig.Now() - t0 == 100 * kMs);
        SIM_CHECK(rig.ext->writeQueuedBytes == 20);
        SIM_CHECK(rig.sim.io().Wait(&b) == STATUS_TIMEOUT && rig.Now() - t0 == 200 * kMs);
        SIM_CHECK(rig.ext->writeQueuedBytes == 0);
    }));
}

// The identification check looks at a write's first eight bytes only, and
// never past a shorter write's end.
TEST(Write, OnlyTheExactQueryAtAWritesStartClearsTheProbe) {
    struct ProbeCase {
        const char* text;
        bool clears;
    };
    const ProbeCase cases[] = {
        {"AT+CGMI\r", true},  {"AT+CGMI\rAT\r", true}, {"at+cgmi\r", false},
        {"AT+CGMI\n", false}, {"AT+CGMI", false},      {"", false},
    };
    for (const ProbeCase& c : cases) {
        ExpectOk(RunOnPort({}, [&](PortRig& rig) {
            const ULONG length = static_cast<ULONG>(std::strlen(c.text));
            SIM_CHECK(NT_SUCCESS(rig.sim.io().Write(rig.handle, c.text, length)));
            EXPECT_EQ(DriverGlobals.probePending == FALSE, c.clears) << '"' << c.text << '"';
        }));
    }
}

TEST(Write, TimeOutDueTimesAreFormedIn64BitsAndSaturate) {
    ExpectOk(RunOnPort({}, [](PortRig& rig) {
        auto due = [&](ULONG multiplier, ULONG constant, ULONG length) {
            rig.ext->timeouts.WriteTotalTimeoutMultiplier = multiplier;
            rig.ext->timeouts.WriteTotalTimeoutConstant = constant;
            return ComputeWriteTimeout(rig.ext, length);
        };
        SIM_CHECK(due(10, 100, 5) == -1'500'000);
        SIM_CHECK(due(0, 0, 5) == 0);
        SIM_CHECK(due(MAXULONG, 0, 1) == -static_cast<LONGLONG>(MAXULONG) * 10000);
        SIM_CHECK(due(MAXULONG, MAXULONG, MAXULONG) < -(LONGLONG{1} << 62));  // not wrapped
    }));
}

// On the wire: a capture of a 150-byte write shows three bulk-out transfers
// of 64, 64 and 22 bytes, and tshark shows their data.
TEST(Write, CaptureShowsTheChunksAndTheirData) {
    const std::string path = testing::TempDir() + "write_chunks.pcap";
    ExpectOk(RunOnPort({}, [&](PortRig& rig) {
        SIM_CHECK(rig.bus.CaptureTo(path));
        const auto data = Pattern(150);
        SIM_CHECK(NT_SUCCESS(rig.sim.io().Write(rig.handle, data.data(), 150)));
        rig.bus.StopCapture();
    }));
    if (std::system("command -v tshark >/dev/null 2>&1") != 0) GTEST_SKIP() << "no tshark";
    std::string out;
    const std::string command = "tshark -r '" + path +
                                "' -Y 'usb.endpoint_address == 0x02 && usb.irp_info.direction == 0'"
                                " -T fields -e usb.data_len -e usb.capdata 2>/dev/null";
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
        pclose(pipe);
    }
    std::vector<std::string> lines;
    for (size_t at = 0, next; at < out.size(); at = next + 1) {
        next = out.find('\n', at);
        if (next == std::string::npos) next = out.size();
        if (next > at) lines.push_back(out.substr(at, next - at));
    }
    ASSERT_EQ(lines.size(), 3u) << out;
    auto hex = [](size_t from, size_t count) {
        std::string text;
        char byte[3];
        for (size_t i = from; i < from + count; ++i) {
            std::snprintf(byte, sizeof byte, "%02x", static_cast<unsigned>(i % 251));
            text += byte;
        }
        return text;
    };
    EXPECT_EQ(lines[0], "64\t" + hex(0, 64));
    EXPECT_EQ(lines[1], "64\t" + hex(64, 64));
    EXPECT_EQ(lines[2], "22\t" + hex(128, 22));
}

// The device disappears in the middle of a write: a bounded number of tries,
// then the write ends by its time-out with what was confirmed.
TEST(Write, DeviceGoneEndsTheWriteByItsTimeOut) {
    ExpectOk(RunOnPort({}, [](PortRig& rig) {
        rig.SetWriteTimeouts(0, 300);
        const auto data = Pattern(1000);
        sim::Overlapped write;
        const uint64_t t0 = rig.Now();
        SIM_CHECK(rig.sim.io().WriteAsync(rig.handle, data.data(), 1000, &write) == STATUS_PENDING);
        rig.Pass(20 * kMs);
        const size_t sentBefore = rig.BulkOut().size();
        rig.bus.Disconnect(rig.node->pdo);
        SIM_CHECK(rig.sim.io().Wait(&write) == STATUS_TIMEOUT);
        SIM_CHECK(rig.Now() - t0 == 300 * kMs);
        SIM_CHECK(write.iosb.Information < 1000 && write.iosb.Information % 64 == 0);
        SIM_CHECK(rig.BulkOut().size() <= sentBefore + 1);
        SIM_CHECK(rig.ext->writeQueuedBytes == 0);
    }));
}

// The last chunk of the output confirmed while a transmit hold is in force
// still raises SERIAL_EV_TXEMPTY; a status report with nothing queued
// raises none. At 300 baud under the CTS handshake the chip's FIFO makes
// the last of three chunks wait, and CTS drops meanwhile.
TEST(Write, LastChunkConfirmedUnderAHoldRaisesTxEmpty) {
    ExpectOk(RunOnPort(
        {},
        [](PortRig& rig) {
            rig.SetPeerLine(chip::kLineCts, true);
            SERIAL_BAUD_RATE rate{300};
            SIM_CHECK(NT_SUCCESS(rig.Control(IOCTL_SERIAL_SET_BAUD_RATE, &rate, sizeof rate)));
            SERIAL_HANDFLOW flow{};
            flow.ControlHandShake = SERIAL_CTS_HANDSHAKE;
            SIM_CHECK(NT_SUCCESS(rig.Control(IOCTL_SERIAL_SET_HANDFLOW, &flow, sizeof flow)));
            rig.SetWaitMask(SERIAL_EV_TXEMPTY);
            ULONG events = 0;
            sim::Overlapped wait, write;
            auto& io = rig.sim.io();
            SIM_CHECK(io.DeviceIoControlAsync(rig.handle, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0,
                                              &events, 4, &wait) == STATUS_PENDING);
            const auto data = Pattern(3 * BRIDGE_MAX_TRANSFER);
            SIM_CHECK(io.WriteAsync(rig.handle, data.data(), 3 * BRIDGE_MAX_TRANSFER, &write) ==
                      STATUS_PENDING);
            rig.Pass(500 * kMs);  // two chunks in the FIFO, the third waits for room
            rig.SetPeerLine(chip::kLineCts, false);
            SIM_CHECK(io.Wait(&write, 5000 * kMs) == STATUS_SUCCESS);
            rig.Pass(100 * kMs);
            rig.SetPeerLine(chip::kLineCts, true);
            SIM_CHECK(io.Wait(&wait, 100 * kMs) == STATUS_SUCCESS && events == SERIAL_EV_TXEMPTY);
            SIM_CHECK(io.DeviceIoControlAsync(rig.handle, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0,
                                              &events, 4, &wait) == STATUS_PENDING);
            rig.SetPeerLine(chip::kLineCts, false);
            rig.SetPeerLine(chip::kLineCts, true);
            SIM_CHECK(io.Wait(&wait, 100 * kMs) == STATUS_TIMEOUT);  // reports, nothing queued
            io.CancelIo(rig.handle);
            SIM_CHECK(io.Wait(&wait) == STATUS_CANCELLED);
        },
        line::LineSettings::Baud(300)));
}

}  // namespace
