// echo_latency - how long an answer takes: an application writes a message
// and waits for its echo with a read, over and over, with an echo peer on
// the line (it sends back each byte as it receives it), on the simulated
// full-speed bus and bridge chip.
//
//   build/release/bench/echo_latency [--rounds N] [--rates R,R,...] [--sizes S,S,...]
//                                    [--host-mode frames|xhci|both] [--turnaround TICKS]
//                                    [--out FILE.md]
//
// Defaults: 10,000 rounds of messages of 1, 8 and 64 bytes at 9,600,
// 115,200 and 1,000,000 bit/s (the divisor table's nearest rate to 921,600),
// frame-list host. Each round times, in virtual time, the application's
// WriteFile of the message (the port's default time-outs: the write ends
// when the chip has taken the bytes) and the ReadFile of as many bytes (no
// time-outs: it ends when all have arrived), and compares it with the floor
// of that round:
//
//   the wait for the frame that carries the message out (a transfer
//   submitted during a frame is served from the next; the xHCI-like host
//   serves it at once), the line time of the message out and its echo back
//   (the echo of each byte starts as it arrives, so the last echoed byte
//   lands one character after the last byte sent, or later when the peer's
//   clock is the slower one), and the one bus transaction that brings the
//   last byte in; under the xHCI-like host also the turnaround of that
//   transaction's completion.
//
// That is the best any driver could do on this bus and line; the ratio of
// the time taken to it is what the driver and its design add.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sim/line/phone.h"
#include "tests/harness/port_rig.h"
#include "uart/uart.h"

namespace {

using sim::usb::kFrameTicks;

struct Config {
    int rounds = 10'000;
    std::vector<ULONG> rates = {9600, 115200, 1'000'000};
    std::vector<ULONG> sizes = {1, 8, 64};
    std::vector<sim::usb::HostController> hosts = {sim::usb::HostController::FrameList};
    uint64_t turnaround = sim::usb::UsbBusOptions{}.turnaround;
};

struct Result {
    sim::usb::HostController host;
    ULONG rate = 0;
    ULONG size = 0;
    std::vector<uint64_t> latency;  // per round, 100 ns ticks
    std::vector<uint64_t> floor;
    double wallMs = 0;
};

const char* HostName(sim::usb::HostController h) {
    return h == sim::usb::HostController::Xhci ? "xhci" : "frames";
}

// Ticks of a full-speed transaction carrying `bytes` (13 bytes of token,
// framing, handshake and gaps besides the data, at 12 Mbit/s), rounded up.
uint64_t TransactionTicks(uint64_t bytes) {
    return ((13 + bytes) * 8 * kFrameTicks + 11'999) / 12'000;
}

// The floor of a round whose write reached the driver at `start`.
uint64_t Floor(uint64_t start, ULONG rate, ULONG size, const Config& cfg,
               sim::usb::HostController host) {
    const bool xhci = host == sim::usb::HostController::Xhci;
    const uint64_t out = xhci ? start : (start / kFrameTicks + 1) * kFrameTicks;
    // Character times in ticks (10 bits a character): the chip's clock is
    // 3,000,000 / divisor, the peer's the nominal rate.
    const double chip = 10.0 * ComputeBaudDivisor(rate) / 3e6 * 1e7;
    const double peer = 10.0 / rate * 1e7;
    const double line = std::max(size * chip + peer, chip + size * peer);
    return out - start + static_cast<uint64_t>(line) + TransactionTicks(1) +
           (xhci ? cfg.turnaround : 0);
}

Result RunOne(sim::usb::HostController host, ULONG rate, ULONG size, const Config& cfg) {
    Result result;
    result.host = host;
    result.rate = rate;
    result.size = size;
    const auto began = std::clock();
    sim::Options options;
    options.traceCapacity = 0;
    sim::Simulation s(options);
    sim::usb::UsbBusOptions busOptions;
    busOptions.hostController = host;
    busOptions.turnaround = cfg.turnaround;
    busOptions.transferLogLimit = 16;
    sim::usb::UsbBus bus(busOptions);
    line::RecordingPeer unused(line::LineSettings::Baud(rate));
    line::EchoPeer echo(line::LineSettings::Baud(rate));
    auto run = s.Run([&] {
        porttest::PortRig rig{s, bus, unused};
        rig.Plug();
        bus.AttachFarEnd(rig.node->pdo, &echo);
        SERIAL_BAUD_RATE baud{rate};
        SIM_CHECK(NT_SUCCESS(rig.Control(IOCTL_SERIAL_SET_BAUD_RATE, &baud, sizeof baud)));
        rig.SetTimeouts(0, 0, 0);
        rig.Pass(10 * porttest::kMs);  // the line settles
        std::vector<uint8_t> message(size), back(size);
        for (int round = 0; round < cfg.rounds; ++round) {
            for (ULONG i = 0; i < size; ++i) message[i] = static_cast<uint8_t>(round * 7 + i);
            const uint64_t start = rig.Now();
            ULONG n = 0;
            SIM_CHECK(s.io().Write(rig.handle, message.data(), size, &n) == STATUS_SUCCESS &&
                      n == size);
            SIM_CHECK(s.io().Read(rig.handle, back.data(), size, &n) == STATUS_SUCCESS &&
                      n == size && back == message);
            result.latency.push_back(rig.Now() - start);
            result.floor.push_back(Floor(start, rate, size, cfg, host));
        }
        rig.Close();
        bus.AttachFarEnd(rig.node->pdo, &unused);
        rig.Finish();
    });
    if (!run.ok) {
        std::fprintf(stderr, "%s %u %u: %s\n", HostName(host), rate, size, run.Report().c_str());
        std::exit(1);
    }
    result.wallMs = 1e3 * static_cast<double>(std::clock() - began) / CLOCKS_PER_SEC;
    return result;
}

uint64_t Percentile(std::vector<uint64_t> v, double p) {
    std::sort(v.begin(), v.end());
    const size_t at = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(at, v.size() - 1)];
}

double Ms(uint64_t ticks) {
    return static_cast<double>(ticks) / 1e4;
}

std::string Table(const std::vector<Result>& results) {
    std::ostringstream out;
    out << "| host | rate (bit/s) | message (B) | p50 (ms) | p99 (ms) | max (ms) | floor p50 (ms) "
           "| floor max (ms) | p50 / floor | p99 / floor | CPU (ms) |\n"
        << "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n";
    char line[512];
    for (const Result& r : results) {
        std::vector<double> ratio;
        for (size_t i = 0; i < r.latency.size(); ++i)
            ratio.push_back(static_cast<double>(r.latency[i]) / static_cast<double>(r.floor[i]));
        std::sort(ratio.begin(), ratio.end());
        auto at = [&](double p) {
            return ratio[std::min(ratio.size() - 1,
                                  static_cast<size_t>(p * static_cast<double>(ratio.size() - 1) +
                                                      0.5))];
        };
        std::snprintf(line, sizeof line,
                      "| %s | %u | %u | %.3f | %.3f | %.3f | %.3f | %.3f | %.2f | %.2f | %.0f |\n",
                      HostName(r.host), r.rate, r.size, Ms(Percentile(r.latency, 0.5)),
                      Ms(Percentile(r.latency, 0.99)),
                      Ms(*std::max_element(r.latency.begin(), r.latency.end())),
                      Ms(Percentile(r.floor, 0.5)),
                      Ms(*std::max_element(r.floor.begin(), r.floor.end())), at(0.5), at(0.99),
                      r.wallMs);
        out << line;
    }
    return out.str();
}

template <typename T>
bool ParseList(const char* text, std::vector<T>* out) {
    out->clear();
    std::stringstream list(text);
    for (std::string item; std::getline(list, item, ',');) {
        const unsigned long v = std::strtoul(item.c_str(), nullptr, 10);
        if (v == 0) return false;
        out->push_back(static_cast<T>(v));
    }
    return !out->empty();
}

int Usage(const char* why) {
    std::fprintf(stderr,
                 "echo_latency: %s\nusage: echo_latency [--rounds N] [--rates R,R,...] "
                 "[--sizes S,S,...] [--host-mode frames|xhci|both] [--turnaround TICKS] "
                 "[--out FILE.md]\n",
                 why);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    Config cfg;
    std::string out;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool more = i + 1 < argc;
        if (arg == "--rounds" && more) {
            cfg.rounds = std::atoi(argv[++i]);
            if (cfg.rounds <= 0) return Usage("--rounds takes a positive number");
        } else if (arg == "--rates" && more) {
            if (!ParseList(argv[++i], &cfg.rates)) return Usage("--rates takes rates in bit/s");
            for (ULONG rate : cfg.rates)
                if (ComputeBaudDivisor(rate) == 0) return Usage("a rate has no divisor");
        } else if (arg == "--sizes" && more) {
            if (!ParseList(argv[++i], &cfg.sizes)) return Usage("--sizes takes message sizes");
        } else if (arg == "--host-mode" && more) {
            const std::string mode = argv[++i];
            if (mode == "frames")
                cfg.hosts = {sim::usb::HostController::FrameList};
            else if (mode == "xhci")
                cfg.hosts = {sim::usb::HostController::Xhci};
            else if (mode == "both")
                cfg.hosts = {sim::usb::HostController::FrameList, sim::usb::HostController::Xhci};
            else
                return Usage("--host-mode takes frames, xhci or both");
        } else if (arg == "--turnaround" && more) {
            cfg.turnaround = std::strtoull(argv[++i], nullptr, 10);
        } else if (arg == "--out" && more) {
            out = argv[++i];
        } else {
            return Usage(("unknown argument " + arg).c_str());
        }
    }
    std::vector<Result> results;
    for (auto host : cfg.hosts) {
        for (ULONG rate : cfg.rates) {
            for (ULONG size : cfg.sizes) {
                results.push_back(RunOne(host, rate, size, cfg));
                std::fprintf(stderr, "%-6s %8u %3u done\n", HostName(host), rate, size);
            }
        }
    }
    const std::string table = Table(results);
    std::fputs(table.c_str(), stdout);
    if (!out.empty()) std::ofstream(out) << table;
    return 0;
}
