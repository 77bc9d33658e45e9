// Host cost of the driver's data paths per byte. Receive: bulk-in
// completion, ring append, delivery pass into a read. Transmit: write
// dispatch, 64-byte chunks, each chunk's completion, the write's completion.
// The bus below is the test bus, which answers each transfer one microsecond
// of virtual time after it arrives, so the figure is the driver's and the
// simulated kernel's work, not the line model's. The test bus is handed its
// bulk-in bytes one transfer at a time and its request log is emptied after
// every request, and its status pipe is held, so that the figure is not the
// harness's (bench/path_cost measures the same paths one run at a time, and
// under callgrind by source folder).
//
//   build/release/bench/data_path_bench
#include <benchmark/benchmark.h>

#include <algorithm>
#include <vector>

#include "tests/driver/usb_test_bus.h"
#include "tests/harness/port_rig.h"

namespace {

void BM_ReceivePathPerByte(benchmark::State& state) {
    const size_t total = static_cast<size_t>(state.range(0));
    const ULONG readSize = static_cast<ULONG>(state.range(1));
    size_t delivered = 0;
    for (auto _ : state) {
        auto r = sim::RunScenario({}, [&] {
            bridgetest::Machine m;
            m.Load();
            m.bus.asynchronous = true;
            m.bus.answerDelay = 10;  // 1 µs: the reader keeps up, as a paced bus makes it
            const std::vector<uint8_t> source = porttest::Pattern(total);
            size_t fed = 0;
            m.bus.FeedBulkIn(source, fed);
            sim::DeviceNode* node = m.PlugIn();
            auto& io = sim::Simulation::Current().io();
            sim::Handle h = io.Open("\\\\.\\" + node->portName);
            std::vector<uint8_t> buffer(readSize);
            size_t got = 0;
            while (got < total) {
                ULONG n = 0;
                SIM_CHECK(io.Read(h, buffer.data(), readSize, &n) == STATUS_SUCCESS);
                got += n;
                m.bus.ClearLog();
            }
            delivered += got;
            io.Close(h);
            sim::Simulation::Current().pnp().Unplug(node);
        });
        if (!r.ok) state.SkipWithError(r.Report().c_str());
    }
    // Wall seconds per delivered byte, printed with an SI prefix (n = ns).
    state.counters["s/byte"] = benchmark::Counter(
        static_cast<double>(delivered), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_ReceivePathPerByte)
    ->Args({1 << 20, 4096})
    ->Args({1 << 20, 64})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_TransmitPathPerByte(benchmark::State& state) {
    const size_t total = static_cast<size_t>(state.range(0));
    const ULONG writeSize = static_cast<ULONG>(state.range(1));
    size_t sent = 0;
    for (auto _ : state) {
        auto r = sim::RunScenario({}, [&] {
            bridgetest::Machine m;
            m.Load();
            m.bus.asynchronous = true;
            m.bus.answerDelay = 10;
            m.bus.decide = [&](const bridgetest::UsbRequest& q) {
                bridgetest::Answer a;  // the data pipes in wait; bulk-out answers
                a.hang = q.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER &&
                         (q.transferFlags & USBD_TRANSFER_DIRECTION_IN);
                return a;
            };
            sim::DeviceNode* node = m.PlugIn();
            auto& io = sim::Simulation::Current().io();
            sim::Handle h = io.Open("\\\\.\\" + node->portName);
            const std::vector<uint8_t> data = porttest::Pattern(writeSize);
            for (size_t at = 0; at < total; at += writeSize) {
                ULONG n = 0;
                SIM_CHECK(io.Write(h, data.data(), writeSize, &n) == STATUS_SUCCESS);
                sent += n;
                m.bus.ClearLog();
            }
            io.Close(h);
            sim::Simulation::Current().pnp().Unplug(node);
        });
        if (!r.ok) state.SkipWithError(r.Report().c_str());
    }
    state.counters["s/byte"] = benchmark::Counter(
        static_cast<double>(sent), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_TransmitPathPerByte)
    ->Args({1 << 20, 4096})
    ->Args({1 << 20, 64})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Wall cost of a close, whose one second of settling is virtual: open and
// close cycles on the real bus and chip.
void BM_OpenCloseCycle(benchmark::State& state) {
    const int cycles = static_cast<int>(state.range(0));
    int done = 0;
    for (auto _ : state) {
        sim::Simulation s;
        sim::usb::UsbBus bus;
        line::RecordingPeer peer;
        auto r = s.Run([&] {
            porttest::PortRig rig{s, bus, peer};
            rig.Plug();
            rig.Close();
            for (int i = 0; i < cycles; ++i) {
                rig.Open();
                rig.Close();
                ++done;
            }
            rig.Finish();
        });
        if (!r.ok) state.SkipWithError(r.Report().c_str());
    }
    state.counters["s/cycle"] = benchmark::Counter(
        static_cast<double>(done), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_OpenCloseCycle)->Arg(100)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
