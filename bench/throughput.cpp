// throughput - what the driver carries end to end at every rate of its
// divisor table, on the simulated full-speed bus (1 ms frames) and chip.
//
//   build/release/bench/throughput [--seconds S] [--rates R,R,...] [--out FILE.md]
//                                  [--plot FILE.svg] [--host-mode frames|xhci|both]
//                                  [--turnaround TICKS]
//
// For each rate, three traffic shapes run for S seconds of virtual time
// (default 1) through the Windows serial requests an application uses:
//   receive   a peer at the port's rate sends without pause; the application
//             reads in 4096-byte reads that return with the first bytes;
//   transmit  the application writes 4096-byte writes back to back; a peer
//             receives;
//   duplex    both at once through the loopback plug.
// Reported per run: bytes per second achieved in each direction against the
// line rate (10 bits a byte at 8N1), bytes lost (sent but never delivered),
// whether the chip's receiver overran, the largest receive and transmit FIFO
// fill seen, transfers per second on the bulk-in and bulk-out pipes, the
// driver's non-paged pool high-water mark for the one open port, and the
// wall time of the run. The table goes to --out (Markdown); with --plot, a
// gnuplot script draws achieved against line rate when gnuplot is installed.
//
// --host-mode chooses the bus's host controller (sim/usb/usb_bus.h): the
// frame-list host (the default), the xHCI-like host, whose completions take
// --turnaround ticks (default 1,250: 125 µs), or both, one table each and a
// summary that says per rate what limits the throughput: the line, the host
// model (the frame-list host serves a pipe once a frame, and the xHCI-like
// host lifts that limit) or the driver's design (one transfer in flight per
// direction, which the xHCI-like host turns around once per turnaround).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sim/line/loopback_plug.h"
#include "tests/harness/port_rig.h"
#include "uart/uart.h"

namespace {

using porttest::kMs;
using porttest::PortRig;

enum class Shape { Receive, Transmit, Duplex };

const char* ShapeName(Shape s) {
    return s == Shape::Receive ? "receive" : s == Shape::Transmit ? "transmit" : "duplex";
}

using sim::usb::HostController;

const char* HostName(HostController h) {
    return h == HostController::Xhci ? "xhci" : "frames";
}

struct Result {
    HostController host = HostController::FrameList;
    ULONG rate = 0;
    Shape shape = Shape::Receive;
    double rxPerSecond = 0;  // bytes the application read
    double txPerSecond = 0;  // bytes that reached the far end
    uint64_t lost = 0;       // sent and never delivered (within the run's drain)
    bool chipOverrun = false;
    uint32_t maxRxFifo = 0;
    uint32_t maxTxFifo = 0;
    double bulkInPerSecond = 0;
    double bulkOutPerSecond = 0;
    uint64_t poolHighWater = 0;
    double wallMs = 0;
};

constexpr uint32_t kChunk = 4096;

Result RunOne(ULONG rate, Shape shape, double seconds, HostController host, uint64_t turnaround) {
    Result result;
    result.host = host;
    result.rate = rate;
    result.shape = shape;
    const uint64_t window = static_cast<uint64_t>(seconds * 1e7);
    const double lineBytesPerSecond = rate / 10.0;
    // Enough to keep the line busy for the window, and a little more.
    const size_t toSend =
        std::max<size_t>(static_cast<size_t>(lineBytesPerSecond * seconds * 1.1) + 64, 2 * kChunk);

    auto started = std::chrono::steady_clock::now();
    sim::Simulation s;
    sim::usb::UsbBusOptions busOptions;
    busOptions.transferLogLimit = 10'000'000;
    busOptions.hostController = host;
    busOptions.turnaround = turnaround;
    sim::usb::UsbBus bus(busOptions);
    line::RecordingPeer peer(line::LineSettings::Baud(rate));
    line::LoopbackPlug plug;
    auto run = s.Run([&] {
        PortRig rig{s, bus, peer};
        rig.Plug();
        if (shape == Shape::Duplex) bus.AttachFarEnd(rig.node->pdo, &plug);
        SERIAL_BAUD_RATE baud{rate};
        SIM_CHECK(NT_SUCCESS(rig.Control(IOCTL_SERIAL_SET_BAUD_RATE, &baud, sizeof baud)));
        SERIAL_TIMEOUTS timeouts{MAXULONG, MAXULONG, 20, 0, 0};  // first bytes, or 20 ms
        SIM_CHECK(NT_SUCCESS(rig.Control(IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof timeouts)));
        bus.ClearTransfers(rig.node->pdo);
        const uint64_t t0 = rig.Now();
        const uint64_t end = t0 + window;

        const std::vector<uint8_t> data = porttest::Pattern(toSend);
        if (shape == Shape::Receive) rig.PeerSends(data);

        uint64_t readBytes = 0;
        uint64_t written = 0;
        bool done = false;
        sim::ThreadId sampler = s.StartThread("sampler", [&] {
            while (!done) {
                bus.Update(rig.node->pdo, [&](chip::BridgeChip& c) {
                    const chip::Uart& u = c.UartState();
                    result.maxRxFifo = std::max(result.maxRxFifo, u.RxFifoCount());
                    result.maxTxFifo = std::max(result.maxTxFifo, u.TxFifoCount());
                    result.chipOverrun |= (u.LineStatus() & chip::Uart::kLsrOverrun) != 0;
                });
                result.poolHighWater =
                    std::max(result.poolHighWater, s.pool().LiveBytes(BRIDGESER_POOL_TAG));
                rig.Pass(250 * 10);  // 250 µs
            }
        });
        sim::ThreadId writer = -1;
        if (shape != Shape::Receive) {
            writer = s.StartThread("writer", [&] {
                size_t at = 0;
                while (rig.Now() < end) {
                    ULONG n = 0;
                    rig.sim.io().Write(rig.handle, data.data() + at, kChunk, &n);
                    at = (at + n) % (data.size() - kChunk);
                    written += n;
                }
            });
        }
        std::vector<uint8_t> buffer(kChunk);
        while (shape != Shape::Transmit && rig.Now() < end) {
            ULONG n = 0;
            rig.sim.io().Read(rig.handle, buffer.data(), kChunk, &n);
            readBytes += n;
        }
        if (shape == Shape::Transmit) rig.Pass(window);
        // The window ends here: what arrived so far is the run's figure.
        const uint64_t elapsed = rig.Now() - t0;
        const uint64_t peerGot = peer.ReceivedChars().size();
        const uint64_t readInWindow = readBytes;
        done = true;
        rig.sim.io().CancelIoEx(rig.handle);  // the write still going
        s.Join(sampler);
        if (writer >= 0) s.Join(writer);

        const double secs = elapsed / 1e7;
        result.rxPerSecond = shape == Shape::Transmit ? 0 : readInWindow / secs;
        result.txPerSecond = shape == Shape::Receive    ? 0
                             : shape == Shape::Transmit ? peerGot / secs
                                                        : readInWindow / secs;
        for (const auto& t : bus.Transfers(rig.node->pdo)) {
            if (t.completeTime > t0 + elapsed) continue;
            if (t.endpoint == chip::kEndpointBulkIn) result.bulkInPerSecond += 1 / secs;
            if (t.endpoint == chip::kEndpointBulkOut) result.bulkOutPerSecond += 1 / secs;
        }
        // Bytes lost: what the line carried towards the application that no
        // read received. Measured after a drain of everything still on its
        // way, read as it comes (a pause without reads would fill the ring
        // at the faster rates and lose bytes the window did not).
        if (shape != Shape::Transmit) {
            // Let the chip send what it still holds (slow rates need seconds).
            bool idle = false;
            for (int i = 0; i < 3000 && !idle; ++i) {
                rig.Pass(10 * kMs);
                bus.Update(rig.node->pdo,
                           [&](chip::BridgeChip& c) { idle = c.UartState().TxIdle(); });
            }
            // Until the peer has sent everything and a read has waited its
            // 20 ms for nothing.
            for (ULONG n = 1; n != 0 || peer.PendingBytes() != 0;) {
                rig.sim.io().Read(rig.handle, buffer.data(), kChunk, &n);
                readBytes += n;
            }
            const uint64_t offered =
                shape == Shape::Receive ? toSend - peer.PendingBytes() : written;
            result.lost = offered > readBytes ? offered - readBytes : 0;
        }
        rig.Close();
        rig.bus.AttachFarEnd(rig.node->pdo, &peer);
        rig.Finish();
    });
    result.wallMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started)
            .count();
    if (!run.ok) {
        std::fprintf(stderr, "%s %u %s: %s\n", HostName(host), rate, ShapeName(shape),
                     run.Report().c_str());
        std::exit(1);
    }
    return result;
}

std::string Table(const std::vector<Result>& results) {
    std::ostringstream out;
    out << "| host | rate (bit/s) | shape | line (B/s) | received (B/s) | sent (B/s) | lost (B) | "
           "chip overrun | max rx FIFO | max tx FIFO | bulk-in/s | bulk-out/s | pool high-water "
           "(B) | wall (ms) |\n";
    out << "|---|---:|---|---:|---:|---:|---:|---|---:|---:|---:|---:|---:|---:|\n";
    char line[512];
    for (const Result& r : results) {
        std::snprintf(line, sizeof line,
                      "| %s | %u | %s | %.0f | %.0f | %.0f | %llu | %s | %u | %u | %.0f | %.0f | "
                      "%llu | %.0f |\n",
                      HostName(r.host), r.rate, ShapeName(r.shape), r.rate / 10.0, r.rxPerSecond,
                      r.txPerSecond, static_cast<unsigned long long>(r.lost),
                      r.chipOverrun ? "yes" : "no", r.maxRxFifo, r.maxTxFifo, r.bulkInPerSecond,
                      r.bulkOutPerSecond, static_cast<unsigned long long>(r.poolHighWater),
                      r.wallMs);
        out << line;
    }
    return out.str();
}

// Whether every shape at a rate carried the line rate with no byte lost
// and no overrun: within 2 % or two characters a second, whichever is more
// (the window's start and end; at 75 bit/s a character takes 133 ms).
bool AtLineSpeed(const std::vector<Result>& results, HostController host, ULONG rate,
                 double seconds) {
    bool any = false;
    for (const Result& r : results) {
        if (r.host != host || r.rate != rate) continue;
        any = true;
        const double line = r.rate / 10.0;
        const double least = line - std::max(0.02 * line, 2.0 / seconds);
        const double got = r.shape == Shape::Transmit ? r.txPerSecond : r.rxPerSecond;
        if (r.lost != 0 || r.chipOverrun || got < least) return false;
        if (r.shape == Shape::Duplex && r.txPerSecond < least) return false;
    }
    return any;
}

bool Ran(const std::vector<Result>& results, HostController host) {
    for (const Result& r : results)
        if (r.host == host) return true;
    return false;
}

// Per rate, what limits the throughput under each host that ran.
std::string Limits(const std::vector<Result>& results, double seconds) {
    std::vector<ULONG> rates;
    for (const Result& r : results)
        if (std::find(rates.begin(), rates.end(), r.rate) == rates.end()) rates.push_back(r.rate);
    const bool frames = Ran(results, HostController::FrameList);
    const bool xhci = Ran(results, HostController::Xhci);
    std::ostringstream out;
    out << "| rate (bit/s) | line (B/s) |" << (frames ? " frame list: receive / transmit (B/s) |" : "")
        << (xhci ? " xHCI-like: receive / transmit (B/s) |" : "") << " limit |\n|---:|---:|"
        << (frames ? "---:|" : "") << (xhci ? "---:|" : "") << "---|\n";
    for (ULONG rate : rates) {
        out << "| " << rate << " | " << rate / 10 << " |";
        for (HostController host : {HostController::FrameList, HostController::Xhci}) {
            if (!Ran(results, host)) continue;
            double rx = 0, tx = 0;
            for (const Result& r : results) {
                if (r.host != host || r.rate != rate) continue;
                if (r.shape == Shape::Receive) rx = r.rxPerSecond;
                if (r.shape == Shape::Transmit) tx = r.txPerSecond;
            }
            char cell[64];
            std::snprintf(cell, sizeof cell, " %.0f / %.0f |", rx, tx);
            out << cell;
        }
        const bool framesFull =
            frames && AtLineSpeed(results, HostController::FrameList, rate, seconds);
        const bool xhciFull = xhci && AtLineSpeed(results, HostController::Xhci, rate, seconds);
        std::string limit;
        if ((!frames || framesFull) && (!xhci || xhciFull)) {
            limit = "the line";
        } else if (frames && !framesFull && xhci && xhciFull) {
            limit = "frame list: the host model (one transfer per pipe per frame); xHCI-like: "
                    "the line";
        } else if (frames && !framesFull && !xhci) {
            limit = "the host model and the design together (one transfer per pipe per frame)";
        } else {
            limit = "the driver's design (one transfer in flight, a turnaround each)";
        }
        out << " " << limit << " |\n";
    }
    return out.str();
}

// Highest rate up to which, under `host`, no shape lost a byte or overran
// the chip.
ULONG Clean(const std::vector<Result>& results, HostController host) {
    ULONG clean = 0;
    for (const Result& r : results) {
        if (r.host != host) continue;
        bool lower = true;
        for (const Result& o : results)
            if (o.host == host && o.rate <= r.rate && (o.lost != 0 || o.chipOverrun)) lower = false;
        if (lower && r.rate > clean) clean = r.rate;
    }
    return clean;
}

// The Markdown page: how it was made, what it shows, the tables.
std::string Report(const std::vector<Result>& results, double seconds, const std::string& plot,
                   uint64_t turnaround) {
    double best = 0;
    for (const Result& r : results)
        if (r.host == HostController::FrameList)
            best = std::max(best, std::max(r.rxPerSecond, r.txPerSecond));
    char when[64];
    const std::time_t now = std::time(nullptr);
    std::strftime(when, sizeof when, "%Y-%m-%d", std::gmtime(&now));
    const bool frames = Ran(results, HostController::FrameList);
    const bool xhci = Ran(results, HostController::Xhci);
    std::ostringstream out;
    out << "# Throughput per baud rate\n\n"
        << "What the driver carries end to end on the simulated full-speed bus (1 ms frames, at "
           "most 19 bulk packets of 64 bytes a frame) and bridge chip, at every rate of its "
           "divisor table, through the serial requests an application uses, under the bus's two "
           "host controllers. Made by `bench/throughput` on "
        << when << " with " << seconds << " s of virtual time per run:\n\n"
        << "```sh\ncmake --preset release && cmake --build --preset release --target throughput\n"
        << "build/release/bench/throughput --host-mode both --out docs/throughput.md --plot "
           "docs/throughput.svg\n```\n\n"
        << "Shapes: *receive*, a peer sends without pause and the application reads in 4096-byte "
           "reads that return with the first bytes; *transmit*, the application writes 4096-byte "
           "writes back to back to a peer; *duplex*, both at once through the loopback plug. "
           "*lost* counts bytes sent towards the application and never delivered (the chip's "
           "256-byte receive FIFO overran); *chip overrun* is the chip's sticky overrun bit. Pool "
           "is the driver's non-paged pool for the one open port (the ring is 8192 bytes of "
           "it).\n\n"
        << "Hosts: *frames*, a frame-list host controller (the bus's default): a transfer "
           "submitted during a frame is served from the next, so a pipe with one transfer in "
           "flight is served once a frame; *xhci*, an xHCI-like host: a bulk transfer is served "
           "as soon as the frame's bandwidth allows, in the frame it was submitted in too, and "
           "its completion reaches the driver a turnaround (interrupt and DPC latency, here "
        << turnaround / 10 << " µs) after its last packet.\n\n";
    if (frames) {
        out << "**Frame-list host: highest table rate with no loss and no overrun in any shape: "
            << Clean(results, HostController::FrameList)
            << " bit/s.** The design keeps one 64-byte transfer in flight per direction, and "
               "this host serves a pipe at most once a frame, so each direction carries at most "
               "64 bytes a millisecond (64,000 B/s, a line rate of 640,000 bit/s at 8N1); the "
               "best run here carried "
            << static_cast<long>(best)
            << " B/s. Above that the line outruns the driver: transmit saturates harmlessly (the "
               "write just takes longer), but receive loses what the chip's FIFO cannot "
               "hold.\n\n";
    }
    if (xhci) {
        out << "**xHCI-like host: highest table rate with no loss and no overrun in any shape: "
            << Clean(results, HostController::Xhci)
            << " bit/s.** The same driver, still with one transfer in flight per direction, "
               "turns each pipe around once per turnaround and transaction instead of once a "
               "frame.\n\n";
    }
    out << "What limits each rate (*the line* when every shape ran at line speed, within 2 % "
           "or two characters a second, with nothing lost):\n\n"
        << Limits(results, seconds) << "\n";
    if (!plot.empty())
        out << "![achieved against line rate](" << plot.substr(plot.rfind('/') + 1) << ")\n\n";
    for (HostController host : {HostController::FrameList, HostController::Xhci}) {
        std::vector<Result> mine;
        for (const Result& r : results)
            if (r.host == host) mine.push_back(r);
        if (mine.empty()) continue;
        out << "## " << (host == HostController::Xhci ? "xHCI-like host" : "Frame-list host")
            << "\n\n"
            << Table(mine) << "\n";
    }
    return out.str();
}

void Plot(const std::vector<Result>& results, const std::string& path) {
    // One block of points per host and shape (two blank lines apart, for
    // gnuplot's `index`): a series whose rows were interleaved with the
    // others' would have every point cut off from the next.
    const std::string data = path + ".dat";
    std::ofstream d(data);
    std::ostringstream series;
    int block = 0;
    for (HostController host : {HostController::FrameList, HostController::Xhci}) {
        if (!Ran(results, host)) continue;
        for (Shape shape : {Shape::Receive, Shape::Transmit, Shape::Duplex}) {
            for (const Result& r : results) {
                if (r.host != host || r.shape != shape) continue;
                d << r.rate << ' ' << r.rate / 10.0 << ' '
                  << (shape == Shape::Transmit ? r.txPerSecond : r.rxPerSecond) << '\n';
            }
            d << "\n\n";
            series << ", '" << data << "' index " << block++ << " using 1:3 with linespoints title '"
                   << ShapeName(shape) << " (" << HostName(host)
                   << (shape == Shape::Duplex ? ", each way" : "") << ")'";
        }
    }
    d.close();
    const std::string script = path + ".gp";
    std::ofstream g(script);
    g << "set terminal svg size 900,560\nset output '" << path << "'\n"
      << "set logscale xy\nset xlabel 'line rate (bit/s)'\nset ylabel 'bytes per second'\n"
      << "set key top left\nset grid\n"
      << "set title 'Achieved against line rate (8N1), one second of virtual time each'\n"
      << "plot '" << data << "' index 0 using 1:2 with lines title 'line (rate/10)'"
      << series.str() << "\n";
    g.close();
    if (std::system("command -v gnuplot >/dev/null 2>&1") != 0) {
        std::fprintf(stderr, "gnuplot is not installed; the plot script is %s\n", script.c_str());
        return;
    }
    const std::string command = "gnuplot '" + script + "'";
    if (std::system(command.c_str()) != 0) std::fprintf(stderr, "gnuplot failed\n");
    std::remove(script.c_str());
    std::remove(data.c_str());
}

int Usage(const char* why) {
    std::fprintf(
        stderr,
        "throughput: %s\nusage: throughput [--seconds S] [--rates R,R,...] [--out FILE.md] "
        "[--plot FILE.svg] [--host-mode frames|xhci|both] [--turnaround TICKS]\n",
        why);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 1.0;
    std::vector<ULONG> rates;
    std::string out, plot;
    std::vector<HostController> hosts = {HostController::FrameList};
    uint64_t turnaround = sim::usb::UsbBusOptions{}.turnaround;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--seconds" && i + 1 < argc) {
            seconds = std::atof(argv[++i]);
            if (seconds <= 0) return Usage("--seconds takes a positive number");
        } else if (arg == "--rates" && i + 1 < argc) {
            std::stringstream list(argv[++i]);
            for (std::string item; std::getline(list, item, ',');) {
                ULONG rate = static_cast<ULONG>(std::strtoul(item.c_str(), nullptr, 10));
                if (ComputeBaudDivisor(rate) == 0)
                    return Usage(("no divisor for rate " + item).c_str());
                rates.push_back(rate);
            }
        } else if (arg == "--out" && i + 1 < argc) {
            out = argv[++i];
        } else if (arg == "--plot" && i + 1 < argc) {
            plot = argv[++i];
        } else if (arg == "--host-mode" && i + 1 < argc) {
            const std::string mode = argv[++i];
            if (mode == "frames")
                hosts = {HostController::FrameList};
            else if (mode == "xhci")
                hosts = {HostController::Xhci};
            else if (mode == "both")
                hosts = {HostController::FrameList, HostController::Xhci};
            else
                return Usage("--host-mode takes frames, xhci or both");
        } else if (arg == "--turnaround" && i + 1 < argc) {
            turnaround = std::strtoull(argv[++i], nullptr, 10);
        } else {
            return Usage(("unknown argument " + arg).c_str());
        }
    }
    if (rates.empty()) {
        for (const BaudDivisor& entry : BaudDivisorTable) rates.push_back(entry.rate);
        std::sort(rates.begin(), rates.end());
    }
    std::vector<Result> results;
    for (HostController host : hosts) {
        for (ULONG rate : rates) {
            for (Shape shape : {Shape::Receive, Shape::Transmit, Shape::Duplex}) {
                results.push_back(RunOne(rate, shape, seconds, host, turnaround));
                std::fprintf(stderr, "%-6s %8u %-8s done\n", HostName(host), rate,
                             ShapeName(shape));
            }
        }
    }
    const std::string table = Table(results);
    std::fputs(table.c_str(), stdout);
    std::fputs(Limits(results, seconds).c_str(), stdout);
    if (!out.empty()) {
        std::ofstream f(out);
        f << Report(results, seconds, plot, turnaround);
    }
    if (!plot.empty()) Plot(results, plot);
    return 0;
}
