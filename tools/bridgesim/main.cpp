// bridgesim - the command-line face of the simulation.
//
//   bridgesim demo | term | trace | explore  [options]   (each with --help)
//
// Exit status: 0 on success, 1 when a run stops on the verifier or a check
// fails, 2 on a usage error.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>

#include "tools/bridgesim/commands.h"
#include "tools/bridgesim/demo.h"

namespace {

const char kUsage[] =
    "usage: bridgesim COMMAND [options]\n"
    "commands:\n"
    "  demo      the driver's story through the Windows serial API\n"
    "  term      a terminal on a simulated port (--peer phone|loopback|echo)\n"
    "  trace     a serial-monitor log of every request the driver sees in a scenario\n"
    "  explore   a scenario under many schedules\n"
    "'bridgesim COMMAND --help' tells more.\n";

const char kDemoHelp[] =
    "usage: bridgesim demo [--strategy sequential|random|pct] [--seed N] [--pct-depth D]\n"
    "                      [--capture FILE] [--trace]\n"
    "A cable with a phone is plugged in; an application opens the port, sets 9600 8N1,\n"
    "asks the phone for its maker and sees the driver switch to 230400; flow control\n"
    "holds a long write; the cable is pulled out in mid-transfer; then the verdict.\n"
    "  --capture FILE  write the USB traffic as a USBPcap capture\n"
    "  --trace         print the whole trace at the end\n";

const char kTermHelp[] =
    "usage: bridgesim term [--peer phone|loopback|echo] [--baud N] [--data 5|6|7|8]\n"
    "                      [--parity n|o|e|m|s] [--stop 1|1.5|2] [--rtscts]\n"
    "                      [--peer-baud N] [--quit-key C] [--idle MS]\n"
    "                      [--strategy S] [--seed N]\n"
    "Standard input goes to the port (COM3), the port to standard output. On a terminal\n"
    "keys go out as typed and Ctrl-] quits (--quit-key X: Ctrl-X instead); from a pipe\n"
    "the input is sent (a line feed as a carriage return) and the output read until the\n"
    "line is quiet for --idle milliseconds (300), for example:\n"
    "  printf 'AT+CGMI\\r' | bridgesim term --peer phone\n"
    "The peer uses the port's settings unless --peer-baud gives it another rate.\n";

const char kTraceHelp[] =
    "usage: bridgesim trace [SCENARIO] [--strategy S] [--seed N] [--pct-depth D]\n"
    "Runs a scenario (at-session unless named) and logs every request the driver sees:\n"
    "opens, each IOCTL_SERIAL_* by name with its buffer decoded, reads and writes with\n"
    "their data in hex and text, completion status and virtual time.\n";

const char kExploreHelp[] =
    "usage: bridgesim explore SCENARIO [--runs N] [--plain | --bar]\n"
    "       bridgesim explore SCENARIO --strategy random|pct|sequential --seed N\n"
    "                         [--pct-depth D] [--trace]\n"
    "       bridgesim explore PNP-SCENARIO --event EVENT|all [--stride S] [--limit N]\n"
    "                         [--seeds-per-point K] [--plain | --bar]\n"
    "       bridgesim explore PNP-SCENARIO --event EVENT --point P\n"
    "                         [--strategy S --seed N [--pct-depth D]] [--trace]\n"
    "Runs the scenario under N schedules (random and PCT in turn, 100 unless given),\n"
    "with a progress bar on a terminal and plain lines otherwise, then a summary and,\n"
    "for each failure, the command that replays it. With --strategy and --seed it runs\n"
    "that one schedule (--trace prints every event).\n"
    "A Plug and Play scenario takes an event, injected at scheduling points of the\n"
    "application's run: a first run counts them, then one run injects the event at\n"
    "each point where a dispatch routine of an application request runs and at every\n"
    "S-th point elsewhere (1: every point; --limit caps the count), under the\n"
    "sequential schedule and K random and K PCT schedules per point (0 unless given).\n"
    "--point runs one injection.\n";

int UsageError(const std::string& command, const std::string& message) {
    std::fprintf(stderr, "bridgesim %s: %s\n(see 'bridgesim %s --help')\n", command.c_str(),
                 message.c_str(), command.c_str());
    return 2;
}

bool Number(const char* text, uint64_t* value) {
    if (!text || !*text) return false;
    char* end = nullptr;
    unsigned long long v = std::strtoull(text, &end, 10);
    if (*end || text[0] == '-') return false;
    *value = v;
    return true;
}

// Walks the options of one command: each handler takes its value (or none).
struct Parser {
    std::string command;
    int argc;
    char** argv;
    int i = 2;
    std::string error;

    bool Value(std::string* out) {
        if (i + 1 >= argc) {
            error = "option " + std::string(argv[i]) + " needs a value";
            return false;
        }
        *out = argv[++i];
        return true;
    }
    bool Count(uint64_t* out, uint64_t low, uint64_t high) {
        std::string v;
        if (!Value(&v)) return false;
        if (!Number(v.c_str(), out) || *out < low || *out > high) {
            error = "option " + std::string(argv[i - 1]) + " takes a number from " +
                    std::to_string(low) + " to " + std::to_string(high) + ", not '" + v + "'";
            return false;
        }
        return true;
    }
    bool Strategy(std::string* out) {
        if (!Value(out)) return false;
        if (*out != "sequential" && *out != "random" && *out != "pct") {
            error = "--strategy takes sequential, random or pct, not '" + *out + "'";
            return false;
        }
        return true;
    }
};

bool WantsHelp(int argc, char** argv) {
    for (int i = 2; i < argc; ++i)
        if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) return true;
    return false;
}

int Demo(int argc, char** argv) {
    if (WantsHelp(argc, argv)) return std::printf("%s", kDemoHelp), 0;
    bridgesim::DemoOptions o;
    Parser p{"demo", argc, argv, 2, {}};
    for (; p.i < argc; ++p.i) {
        std::string a = argv[p.i];
        uint64_t n = 0;
        bool ok = true;
        if (a == "--seed") ok = p.Count(&o.seed, 0, UINT64_MAX);
        else if (a == "--strategy") ok = p.Strategy(&o.strategy);
        else if (a == "--pct-depth") ok = p.Count(&n, 1, 10), o.pctDepth = static_cast<int>(n);
        else if (a == "--capture") ok = p.Value(&o.capturePath);
        else if (a == "--trace") o.showTrace = true;
        else return UsageError("demo", "unknown option '" + a + "'");
        if (!ok) return UsageError("demo", p.error);
    }
    return bridgesim::RunDemo(o);
}

int Term(int argc, char** argv) {
    if (WantsHelp(argc, argv)) return std::printf("%s", kTermHelp), 0;
    bridgesim::TermOptions o;
    Parser p{"term", argc, argv, 2, {}};
    for (; p.i < argc; ++p.i) {
        std::string a = argv[p.i], v;
        uint64_t n = 0;
        bool ok = true;
        if (a == "--peer") {
            ok = p.Value(&o.peer);
            if (ok && o.peer != "phone" && o.peer != "loopback" && o.peer != "echo")
                return UsageError("term", "--peer takes phone, loopback or echo, not '" + o.peer + "'");
        } else if (a == "--baud") {
            ok = p.Count(&n, 50, 3'000'000), o.baud = static_cast<uint32_t>(n);
        } else if (a == "--peer-baud") {
            ok = p.Count(&n, 50, 3'000'000), o.peerBaud = static_cast<uint32_t>(n);
        } else if (a == "--data") {
            ok = p.Count(&n, 5, 8), o.dataBits = static_cast<int>(n);
        } else if (a == "--parity") {
            ok = p.Value(&v);
            if (ok && (v.size() != 1 || !std::strchr("noems", v[0])))
                return UsageError("term", "--parity takes n, o, e, m or s, not '" + v + "'");
            if (ok) o.parity = v[0];
        } else if (a == "--stop") {
            ok = p.Value(&o.stopBits);
            if (ok && o.stopBits != "1" && o.stopBits != "1.5" && o.stopBits != "2")
                return UsageError("term", "--stop takes 1, 1.5 or 2, not '" + o.stopBits + "'");
        } else if (a == "--rtscts") {
            o.rtsCts = true;
        } else if (a == "--quit-key") {
            ok = p.Value(&v);
            if (ok && v.size() == 1 && v[0] >= 'a' && v[0] <= 'z') v[0] = static_cast<char>(v[0] - 32);
            if (ok && (v.size() != 1 || v[0] < '@' || v[0] > '_'))
                return UsageError("term", "--quit-key takes one letter or one of @[\\]^_ (Ctrl and that key)");
            if (ok) o.quitKey = v[0] & 0x1F;
        } else if (a == "--idle") {
            ok = p.Count(&n, 1, 60'000), o.idleMs = static_cast<uint32_t>(n);
        } else if (a == "--strategy") {
            ok = p.Strategy(&o.strategy);
        } else if (a == "--seed") {
            ok = p.Count(&o.seed, 0, UINT64_MAX);
        } else {
            return UsageError("term", "unknown option '" + a + "'");
        }
        if (!ok) return UsageError("term", p.error);
    }
    return bridgesim::RunTerm(o);
}

int Trace(int argc, char** argv) {
    if (WantsHelp(argc, argv)) {
        std::printf("%sscenarios:\n%s", kTraceHelp, bridgesim::ScenarioList().c_str());
        return 0;
    }
    bridgesim::TraceOptions o;
    Parser p{"trace", argc, argv, 2, {}};
    bool named = false;
    for (; p.i < argc; ++p.i) {
        std::string a = argv[p.i];
        uint64_t n = 0;
        bool ok = true;
        if (a == "--seed") ok = p.Count(&o.seed, 0, UINT64_MAX);
        else if (a == "--strategy") ok = p.Strategy(&o.strategy);
        else if (a == "--pct-depth") ok = p.Count(&n, 1, 10), o.pctDepth = static_cast<int>(n);
        else if (a.rfind("--", 0) != 0 && !named) o.scenario = a, named = true;
        else return UsageError("trace", "unknown argument '" + a + "'");
        if (!ok) return UsageError("trace", p.error);
    }
    return bridgesim::RunTrace(o);
}

int Explore(int argc, char** argv) {
    if (WantsHelp(argc, argv)) {
        std::printf("%sscenarios:\n%s", kExploreHelp, bridgesim::ScenarioList().c_str());
        return 0;
    }
    bridgesim::ExploreOptions o;
    Parser p{"explore", argc, argv, 2, {}};
    bool strategyGiven = false, seedGiven = false;
    for (; p.i < argc; ++p.i) {
        std::string a = argv[p.i];
        uint64_t n = 0;
        bool ok = true;
        if (a == "--runs") ok = p.Count(&n, 1, 10'000'000), o.runs = static_cast<int>(n);
        else if (a == "--seed") ok = p.Count(&o.seed, 0, UINT64_MAX), seedGiven = true;
        else if (a == "--strategy") ok = p.Strategy(&o.strategy), strategyGiven = true;
        else if (a == "--pct-depth") ok = p.Count(&n, 1, 10), o.pctDepth = static_cast<int>(n);
        else if (a == "--trace") o.showTrace = true;
        else if (a == "--plain") o.progress = 0;
        else if (a == "--bar") o.progress = 1;
        else if (a == "--event") ok = p.Value(&o.event);
        else if (a == "--point") ok = p.Count(&o.point, 1, UINT64_MAX), o.pointGiven = true;
        else if (a == "--stride") ok = p.Count(&o.stride, 1, UINT64_MAX);
        else if (a == "--limit") ok = p.Count(&o.limit, 1, UINT64_MAX);
        else if (a == "--seeds-per-point") ok = p.Count(&n, 0, 1000), o.seedsPerPoint = static_cast<int>(n);
        else if (a.rfind("--", 0) != 0 && o.scenario.empty()) o.scenario = a;
        else return UsageError("explore", "unknown argument '" + a + "'");
        if (!ok) return UsageError("explore", p.error);
    }
    if (o.scenario.empty()) return UsageError("explore", "name a scenario");
    if (strategyGiven != seedGiven) return UsageError("explore", "--strategy and --seed go together");
    if (o.pointGiven && o.event.empty()) return UsageError("explore", "--point needs --event");
    o.single = strategyGiven;
    return bridgesim::RunExplore(o);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "%s", kUsage);
        return 2;
    }
    std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") return std::printf("%s", kUsage), 0;
    static const std::map<std::string, std::function<int(int, char**)>> commands = {
        {"demo", Demo}, {"term", Term}, {"trace", Trace}, {"explore", Explore}};
    auto it = commands.find(command);
    if (it == commands.end()) {
        std::fprintf(stderr, "bridgesim: unknown command '%s'\n%s", command.c_str(), kUsage);
        return 2;
    }
    return it->second(argc, argv);
}
