// path_cost - what the data paths cost the host per byte: 1 MiB (--bytes)
// carried each way in requests of 64 and of 4096 bytes, through the real
// driver, on either bus below it:
//   test  the test bus of the driver tests (tests/driver/usb_test_bus.h),
//         which answers each transfer 1 µs of virtual time after it
//         arrives: the driver and the simulated kernel alone;
//   usb   the simulated full-speed bus and bridge chip with a peer on the
//         line at --rate bit/s (500,000 by default, the highest table rate
//         the design carries without loss): the whole simulated path.
//
//   build/release/bench/path_cost [--bus test|usb|both] [--bytes N] [--rate R]
//                                 [--case receive-64,transmit-4096,...]
//                                 [--host-mode frames|xhci] [--no-trace]
//
// Each case prints one line: virtual time, host wall and CPU time of the
// measured stretch, and both per byte. Only the stretch from the first
// request to the last completion is measured (load, plug-in, open, close
// and unplug are not): under callgrind the counters are zeroed before it
// and dumped after it, one dump per case named after it, so that
// bench/cost_by_folder.py can attribute the instructions by source folder:
//
//   python3 bench/cost_by_folder.py build/release/bench/path_cost
//
// The test bus keeps every request it sees; the benchmark empties that log
// after each request so that it measures the path, not a growing log, and
// hands the bus its bulk-in bytes one transfer at a time (a vector of the
// whole MiB consumed from its front would copy half a MiB per transfer).
// The test bus's status pipe is held (never answered), as on an idle line.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sstream>
#include <string>
#include <vector>

#include "sim/usb/usb_bus.h"
#include "tests/driver/usb_test_bus.h"
#include "tests/harness/port_rig.h"

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_ZERO_STATS
#define CALLGRIND_DUMP_STATS_AT(name) ((void)(name))
#endif

namespace {

struct Case {
    bool usbBus = false;
    bool receive = true;
    ULONG request = 64;
};

struct Config {
    size_t bytes = 1 << 20;
    ULONG rate = 500'000;
    sim::usb::UsbBusOptions busOptions;
    bool trace = true;
};

std::string Name(const Case& c) {
    return std::string(c.receive ? "receive-" : "transmit-") + std::to_string(c.request);
}

// The measured stretch: virtual and host time, and what moved.
struct Stretch {
    uint64_t startVirtual = 0, endVirtual = 0;
    std::chrono::steady_clock::time_point startWall, endWall;
    double startCpu = 0, endCpu = 0;
    size_t moved = 0;
};

double CpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

void Begin(Stretch& s) {
    s.startVirtual = sim::Simulation::Current().Now();
    s.startCpu = CpuSeconds();
    s.startWall = std::chrono::steady_clock::now();
    CALLGRIND_ZERO_STATS;
}

void End(Stretch& s, const std::string& dumpName) {
    CALLGRIND_DUMP_STATS_AT(dumpName.c_str());
    s.endWall = std::chrono::steady_clock::now();
    s.endCpu = CpuSeconds();
    s.endVirtual = sim::Simulation::Current().Now();
}

// Carries the bytes over the test bus.
Stretch RunOnTestBus(const Case& c, const Config& cfg, sim::RunResult* result) {
    Stretch st;
    const std::vector<uint8_t> source = porttest::Pattern(cfg.bytes);
    sim::Options options;
    if (!cfg.trace) options.traceCapacity = 0;
    *result = sim::RunScenario(options, [&] {
        bridgetest::Machine m;
        m.Load();
        m.bus.asynchronous = true;
        m.bus.answerDelay = 10;  // 1 µs: the application keeps up, as a paced bus makes it
        size_t fed = 0;
        const std::vector<uint8_t> none;  // transmitting: every bulk-in transfer waits
        m.bus.FeedBulkIn(c.receive ? source : none, fed);
        sim::DeviceNode* node = m.PlugIn();
        auto& io = sim::Simulation::Current().io();
        sim::Handle h = io.Open("\\\\.\\" + node->portName);
        m.bus.ClearLog();
        std::vector<uint8_t> buffer(c.request);
        Begin(st);
        while (st.moved < cfg.bytes) {
            ULONG n = 0;
            const NTSTATUS status = c.receive ? io.Read(h, buffer.data(), c.request, &n)
                                              : io.Write(h, source.data() + st.moved, c.request, &n);
            SIM_CHECK(status == STATUS_SUCCESS && n == c.request);
            if (c.receive) SIM_CHECK(std::memcmp(buffer.data(), source.data() + st.moved, n) == 0);
            st.moved += n;
            m.bus.ClearLog();
        }
        End(st, "test " + Name(c));
        io.Close(h);
        sim::Simulation::Current().pnp().Unplug(node);
    });
    return st;
}

// Carries the bytes over the simulated bus and chip, a peer on the line.
Stretch RunOnUsbBus(const Case& c, const Config& cfg, sim::RunResult* result) {
    Stretch st;
    const std::vector<uint8_t> source = porttest::Pattern(cfg.bytes);
    sim::Options options;
    if (!cfg.trace) options.traceCapacity = 0;
    sim::Simulation s(options);
    sim::usb::UsbBus bus(cfg.busOptions);
    line::RecordingPeer peer(line::LineSettings::Baud(cfg.rate));
    *result = s.Run([&] {
        porttest::PortRig rig{s, bus, peer};
        rig.Plug();
        SERIAL_BAUD_RATE baud{cfg.rate};
        SIM_CHECK(NT_SUCCESS(rig.Control(IOCTL_SERIAL_SET_BAUD_RATE, &baud, sizeof baud)));
        rig.SetTimeouts(0, 0, 0);  // a read waits until it is full
        std::vector<uint8_t> buffer(c.request);
        Begin(st);
        if (c.receive) rig.PeerSends(source);
        while (st.moved < cfg.bytes) {
            ULONG n = 0;
            const NTSTATUS status = c.receive
                                        ? s.io().Read(rig.handle, buffer.data(), c.request, &n)
                                        : s.io().Write(rig.handle, source.data() + st.moved,
                                                       c.request, &n);
            SIM_CHECK(status == STATUS_SUCCESS && n == c.request);
            if (c.receive) SIM_CHECK(std::memcmp(buffer.data(), source.data() + st.moved, n) == 0);
            st.moved += n;
        }
        End(st, "usb " + Name(c));
        rig.Finish();
    });
    return st;
}

int Usage(const char* why) {
    std::fprintf(stderr,
                 "path_cost: %s\nusage: path_cost [--bus test|usb|both] [--bytes N] [--rate R] "
                 "[--case receive-64,receive-4096,transmit-64,transmit-4096] "
                 "[--host-mode frames|xhci] [--no-trace]\n",
                 why);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    Config cfg;
    std::string buses = "both";
    std::vector<std::string> names = {"receive-64", "receive-4096", "transmit-64", "transmit-4096"};
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool more = i + 1 < argc;
        if (arg == "--bus" && more) {
            buses = argv[++i];
            if (buses != "test" && buses != "usb" && buses != "both")
                return Usage("--bus takes test, usb or both");
        } else if (arg == "--bytes" && more) {
            cfg.bytes = std::strtoull(argv[++i], nullptr, 10);
            if (cfg.bytes == 0 || cfg.bytes % 4096 != 0)
                return Usage("--bytes takes a positive multiple of 4096");
        } else if (arg == "--rate" && more) {
            cfg.rate = static_cast<ULONG>(std::strtoul(argv[++i], nullptr, 10));
            if (cfg.rate == 0) return Usage("--rate takes a rate in bit/s");
        } else if (arg == "--case" && more) {
            names.clear();
            std::stringstream list(argv[++i]);
            for (std::string item; std::getline(list, item, ',');) {
                if (item != "receive-64" && item != "receive-4096" && item != "transmit-64" &&
                    item != "transmit-4096")
                    return Usage(("unknown case " + item).c_str());
                names.push_back(item);
            }
        } else if (arg == "--host-mode" && more) {
            const std::string mode = argv[++i];
            if (mode == "frames")
                cfg.busOptions.hostController = sim::usb::HostController::FrameList;
            else if (mode == "xhci")
                cfg.busOptions.hostController = sim::usb::HostController::Xhci;
            else
                return Usage("--host-mode takes frames or xhci");
        } else if (arg == "--no-trace") {
            cfg.trace = false;
        } else {
            return Usage(("unknown argument " + arg).c_str());
        }
    }
    std::printf("| bus | case | bytes | virtual (s) | wall (ms) | CPU (ms) | wall ns/B | CPU ns/B |\n"
                "|---|---|---:|---:|---:|---:|---:|---:|\n");
    for (const char* bus : {"test", "usb"}) {
        if (buses != "both" && buses != bus) continue;
        for (const std::string& name : names) {
            Case c;
            c.usbBus = std::string(bus) == "usb";
            c.receive = name.rfind("receive", 0) == 0;
            c.request = static_cast<ULONG>(std::stoul(name.substr(name.find('-') + 1)));
            sim::RunResult r;
            const Stretch st = c.usbBus ? RunOnUsbBus(c, cfg, &r) : RunOnTestBus(c, cfg, &r);
            if (!r.ok) {
                std::fprintf(stderr, "%s %s: %s\n", bus, name.c_str(), r.Report().c_str());
                return 1;
            }
            const double wall =
                std::chrono::duration<double>(st.endWall - st.startWall).count();
            const double cpu = st.endCpu - st.startCpu;
            std::printf("| %s | %s | %zu | %.3f | %.1f | %.1f | %.0f | %.0f |\n", bus, name.c_str(),
                        st.moved, (st.endVirtual - st.startVirtual) / 1e7, wall * 1e3, cpu * 1e3,
                        wall * 1e9 / st.moved, cpu * 1e9 / st.moved);
            std::fflush(stdout);
        }
    }
    return 0;
}
