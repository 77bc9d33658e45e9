// bridgesim - the command-line face of the simulation.
//
//   bridgesim demo | term | trace | explore  [options]   (each with --help)
//
// Options are parsed by CLI11; the help texts and the messages of usage
// errors are the tool's own. Exit status: 0 on success, 1 when a run stops
// on the verifier or a check fails, 2 on a usage error.
#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

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

// The help of each command is its text above (with the scenario list for
// the two that run scenarios), printed as it is.
class HelpTexts : public CLI::Formatter {
  public:
    std::string make_help(const CLI::App* app, std::string, CLI::AppFormatMode) const override {
        const std::string name = app->get_name();
        if (name == "demo") return kDemoHelp;
        if (name == "term") return kTermHelp;
        if (name == "trace") return std::string(kTraceHelp) + "scenarios:\n" + bridgesim::ScenarioList();
        if (name == "explore") return std::string(kExploreHelp) + "scenarios:\n" + bridgesim::ScenarioList();
        return kUsage;
    }
};

int UsageError(const std::string& command, const std::string& message) {
    std::fprintf(stderr, "bridgesim %s: %s\n(see 'bridgesim %s --help')\n", command.c_str(),
                 message.c_str(), command.c_str());
    return 2;
}

// A check of an option's value: the message when it is wrong (CLI11 puts
// the option's name in front; the handler below takes it off again).
using Check = std::function<std::string(std::string&)>;

bool Number(const std::string& text, uint64_t* value) {
    if (text.empty() || text[0] == '-') return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(text.c_str(), &end, 10);
    if (*end || errno == ERANGE) return false;
    *value = v;
    return true;
}

CLI::Validator Count(const std::string& option, uint64_t low, uint64_t high) {
    Check check = [option, low, high](std::string& v) -> std::string {
        uint64_t n = 0;
        if (Number(v, &n) && n >= low && n <= high) return "";
        return "option " + option + " takes a number from " + std::to_string(low) + " to " +
               std::to_string(high) + ", not '" + v + "'";
    };
    return CLI::Validator(check, "NUMBER");
}

CLI::Validator OneOf(const std::string& option, std::vector<std::string> values, const std::string& listed) {
    Check check = [option, values, listed](std::string& v) -> std::string {
        for (const std::string& allowed : values)
            if (v == allowed) return "";
        return option + " takes " + listed + ", not '" + v + "'";
    };
    return CLI::Validator(check, "");
}

CLI::Validator Strategy() {
    return OneOf("--strategy", {"sequential", "random", "pct"}, "sequential, random or pct");
}

// --quit-key X: Ctrl-X, X a letter (either case) or one of @[\]^_.
CLI::Validator QuitKey() {
    Check check = [](std::string& v) -> std::string {
        if (v.size() == 1 && v[0] >= 'a' && v[0] <= 'z') v[0] = static_cast<char>(v[0] - 32);
        if (v.size() == 1 && v[0] >= '@' && v[0] <= '_') return "";
        return "--quit-key takes one letter or one of @[\\]^_ (Ctrl and that key)";
    };
    return CLI::Validator(check, "");
}

// The command's options; what the parser left over is an unknown option
// (or, for the commands that take a scenario, an unknown argument).
struct Commands {
    CLI::App app{"", "bridgesim"};
    CLI::App* demo = nullptr;
    CLI::App* term = nullptr;
    CLI::App* trace = nullptr;
    CLI::App* explore = nullptr;
    bridgesim::DemoOptions demoOptions;
    bridgesim::TermOptions termOptions;
    bridgesim::TraceOptions traceOptions;
    bridgesim::ExploreOptions exploreOptions;
    uint64_t pctDepth = 3;
    uint64_t dataBits = 8, baud = 9600, peerBaud = 0, idleMs = 300, runs = 100, seedsPerPoint = 0;
    std::string parity = "n", quitKey;

    Commands() {
        app.formatter(std::make_shared<HelpTexts>());
        app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
        demo = app.add_subcommand("demo");
        term = app.add_subcommand("term");
        trace = app.add_subcommand("trace");
        explore = app.add_subcommand("explore");
        for (CLI::App* c : {demo, term, trace, explore}) {
            c->allow_extras();
            c->formatter(app.get_formatter());
        }

        auto& d = demoOptions;
        demo->add_option("--seed", d.seed)->check(Count("--seed", 0, UINT64_MAX));
        demo->add_option("--strategy", d.strategy)->check(Strategy());
        demo->add_option("--pct-depth", pctDepth)->check(Count("--pct-depth", 1, 10));
        demo->add_option("--capture", d.capturePath);
        demo->add_flag("--trace", d.showTrace);

        auto& t = termOptions;
        term->add_option("--peer", t.peer)->check(OneOf("--peer", {"phone", "loopback", "echo"}, "phone, loopback or echo"));
        term->add_option("--baud", baud)->check(Count("--baud", 50, 3'000'000));
        term->add_option("--peer-baud", peerBaud)->check(Count("--peer-baud", 50, 3'000'000));
        term->add_option("--data", dataBits)->check(Count("--data", 5, 8));
        term->add_option("--parity", parity)->check(OneOf("--parity", {"n", "o", "e", "m", "s"}, "n, o, e, m or s"));
        term->add_option("--stop", t.stopBits)->check(OneOf("--stop", {"1", "1.5", "2"}, "1, 1.5 or 2"));
        term->add_flag("--rtscts", t.rtsCts);
        term->add_option("--quit-key", quitKey)->check(QuitKey());
        term->add_option("--idle", idleMs)->check(Count("--idle", 1, 60'000));
        term->add_option("--strategy", t.strategy)->check(Strategy());
        term->add_option("--seed", t.seed)->check(Count("--seed", 0, UINT64_MAX));

        auto& r = traceOptions;
        trace->add_option("scenario", r.scenario);
        trace->add_option("--seed", r.seed)->check(Count("--seed", 0, UINT64_MAX));
        trace->add_option("--strategy", r.strategy)->check(Strategy());
        trace->add_option("--pct-depth", pctDepth)->check(Count("--pct-depth", 1, 10));

        auto& e = exploreOptions;
        explore->add_option("scenario", e.scenario);
        explore->add_option("--runs", runs)->check(Count("--runs", 1, 10'000'000));
        explore->add_option("--seed", e.seed)->check(Count("--seed", 0, UINT64_MAX));
        explore->add_option("--strategy", e.strategy)->check(Strategy());
        explore->add_option("--pct-depth", pctDepth)->check(Count("--pct-depth", 1, 10));
        explore->add_flag("--trace", e.showTrace);
        explore->add_flag("--plain", [&e](int64_t) { e.progress = 0; });
        explore->add_flag("--bar", [&e](int64_t) { e.progress = 1; });
        explore->add_option("--event", e.event);
        explore->add_option("--point", e.point)->check(Count("--point", 1, UINT64_MAX));
        explore->add_option("--stride", e.stride)->check(Count("--stride", 1, UINT64_MAX));
        explore->add_option("--limit", e.limit)->check(Count("--limit", 1, UINT64_MAX));
        explore->add_option("--seeds-per-point", seedsPerPoint)->check(Count("--seeds-per-point", 0, 1000));
    }

    bool Given(CLI::App* command, const char* option) { return command->get_option(option)->count() > 0; }
};

// The message of a parse error, without the option name CLI11 puts first
// for a check's message; a missing value is said as the tool says it.
std::string Message(const CLI::ParseError& e) {
    std::string what = e.what();
    size_t colon = what.find(": ");
    if (dynamic_cast<const CLI::ValidationError*>(&e) && colon != std::string::npos)
        return what.substr(colon + 2);
    if (dynamic_cast<const CLI::ArgumentMismatch*>(&e) && colon != std::string::npos)
        return "option " + what.substr(0, colon) + " needs a value";
    return what;
}

int Run(int argc, char** argv) {
    std::string command = argv[1];
    Commands c;
    try {
        c.app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return c.app.exit(e);
    } catch (const CLI::ParseError& e) {
        return UsageError(command, Message(e));
    }
    CLI::App* chosen = c.app.get_subcommand(command);
    std::vector<std::string> left = chosen->remaining();
    bool takesScenario = chosen == c.trace || chosen == c.explore;
    if (!left.empty())
        return UsageError(command, std::string(takesScenario ? "unknown argument '" : "unknown option '") +
                                       left.front() + "'");
    int depth = static_cast<int>(c.pctDepth);
    if (chosen == c.demo) {
        c.demoOptions.pctDepth = depth;
        return bridgesim::RunDemo(c.demoOptions);
    }
    if (chosen == c.term) {
        bridgesim::TermOptions& o = c.termOptions;
        o.baud = static_cast<uint32_t>(c.baud);
        o.peerBaud = static_cast<uint32_t>(c.peerBaud);
        o.dataBits = static_cast<int>(c.dataBits);
        o.parity = c.parity[0];
        o.idleMs = static_cast<uint32_t>(c.idleMs);
        if (!c.quitKey.empty()) o.quitKey = c.quitKey[0] & 0x1F;
        return bridgesim::RunTerm(o);
    }
    if (chosen == c.trace) {
        c.traceOptions.pctDepth = depth;
        return bridgesim::RunTrace(c.traceOptions);
    }
    bridgesim::ExploreOptions& o = c.exploreOptions;
    o.runs = static_cast<int>(c.runs);
    o.pctDepth = depth;
    o.seedsPerPoint = static_cast<int>(c.seedsPerPoint);
    o.pointGiven = c.Given(c.explore, "--point");
    bool strategyGiven = c.Given(c.explore, "--strategy"), seedGiven = c.Given(c.explore, "--seed");
    if (o.scenario.empty()) return UsageError(command, "name a scenario");
    if (strategyGiven != seedGiven) return UsageError(command, "--strategy and --seed go together");
    if (o.pointGiven && o.event.empty()) return UsageError(command, "--point needs --event");
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
    if (command != "demo" && command != "term" && command != "trace" && command != "explore") {
        std::fprintf(stderr, "bridgesim: unknown command '%s'\n%s", command.c_str(), kUsage);
        return 2;
    }
    bridgesim::SetProgramPath(argv[0]);
    return Run(argc, argv);
}
