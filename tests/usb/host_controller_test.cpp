// The bus's two host controllers under frame timing: a frame-list host
// serves a pipe with one transfer in flight once a frame; an xHCI-like host
// serves a transfer in the frame it was submitted in and completes it a
// turnaround after its last packet.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>

#include "sim/chip/uart.h"
#include "sim/line/line_peer.h"
#include "tests/usb/usb_bus_harness.h"

namespace usbtest {
namespace {

// A stream at 500,000 bit/s (50 bytes a millisecond) read one bulk-in
// transfer at a time, each submitted as the one before completes: once a
// frame, or every turnaround and a transaction (about 7 a frame).
TEST(UsbHostController, OneTransferInFlightIsServedOnceAFrameOrAgainAfterATurnaround) {
    struct Case {
        sim::usb::HostController host;
        size_t fewest, most;     // the most transfers completing in one frame
        uint64_t minTurnaround;  // least time from submission to completion
    };
    const uint64_t turnaround = 1'250;  // 125 µs
    const Case cases[] = {
        {sim::usb::HostController::FrameList, 1, 1, 0},
        {sim::usb::HostController::Xhci, 6, 8, turnaround},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.host == sim::usb::HostController::Xhci ? "xhci" : "frame list");
        std::string text(600, ' ');
        for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + i % 26);
        std::string received;
        std::vector<sim::usb::TransferRecord> log;
        auto r = sim::RunScenario({}, [&] {
            sim::usb::UsbBusOptions options;
            options.hostController = c.host;
            options.turnaround = turnaround;
            Bench bench(options);
            line::RecordingPeer peer(line::LineSettings::Baud(500'000));
            bench.bus.AttachFarEnd(bench.pdo, &peer);
            bench.Configure();
            using chip::Uart;
            SIM_CHECK(bench.WriteRegister(Uart::kRegLineControl, 0x83) == STATUS_SUCCESS);  // latch
            SIM_CHECK(bench.WriteRegister(Uart::kRegData, 6) == STATUS_SUCCESS);  // 3,000,000 / 6
            SIM_CHECK(bench.WriteRegister(Uart::kRegInterruptEnable, 0) == STATUS_SUCCESS);
            SIM_CHECK(bench.WriteRegister(Uart::kRegLineControl, 0x03) == STATUS_SUCCESS);  // 8N1
            bench.bus.ClearTransfers(bench.pdo);
            bench.Line([&](chip::BridgeChip&) { peer.Send(text); });
            while (received.size() < text.size()) {
                Request in;
                BuildTransfer(in.urb, bench.pipes[2], in.data, 64);
                SIM_CHECK(SendAndWait(bench.pdo, in) == STATUS_SUCCESS);
                received.append(reinterpret_cast<const char*>(in.data), in.Length());
            }
            log = bench.bus.Transfers(bench.pdo);
            bench.bus.AttachFarEnd(bench.pdo, nullptr);
            bench.Remove();
        });
        ExpectOk(r);
        EXPECT_EQ(received, text);
        std::map<uint64_t, size_t> perFrame;
        uint64_t least = ~0ull;
        for (const auto& t : log) {
            ++perFrame[t.CompleteFrame()];
            least = std::min(least, t.completeTime - t.submitTime);
        }
        size_t most = 0;
        for (const auto& [frame, n] : perFrame) most = std::max(most, n);
        EXPECT_GE(most, c.fewest);
        EXPECT_LE(most, c.most);
        EXPECT_GE(least, c.minTurnaround);
    }
}

}  // namespace
}  // namespace usbtest
