// explore.cpp - bridgesim trace and bridgesim explore: a scenario's requests
// as a serial-monitor log, and a scenario under many schedules.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/bridgesim/commands.h"
#include "tools/bridgesim/fundamentals.h"
#include "tools/bridgesim/scenarios.h"
#include "tools/bridgesim/serial_monitor.h"

namespace bridgesim {

namespace {

// Run number `index` (0-based) of an exploration: random and PCT in turn,
// seeds counting from 1, PCT depths 1 to 3.
win32sim::MachineOptions ScheduleOf(int index) {
    win32sim::MachineOptions o;
    o.seed = static_cast<uint64_t>(index / 2 + 1);
    o.strategy = index % 2 == 0 ? "random" : "pct";
    o.pctDepth = 1 + static_cast<int>(o.seed % 3);
    return o;
}

std::string& ProgramPathStorage() {
    static std::string path = "bridgesim";
    return path;
}

std::string ReplayCommand(const std::string& scenario, const win32sim::MachineOptions& o) {
    std::string c = ProgramPath() + " explore " + scenario + " --strategy " + o.strategy + " --seed " +
                    std::to_string(o.seed);
    if (o.strategy == "pct") c += " --pct-depth " + std::to_string(o.pctDepth);
    return c;
}

std::string FirstLines(const std::string& text, int lines) {
    size_t at = 0;
    for (int i = 0; i < lines && at != std::string::npos; ++i) {
        at = text.find('\n', at);
        if (at != std::string::npos) ++at;
    }
    return at == std::string::npos ? text : text.substr(0, at);
}

}  // namespace

const std::string& ProgramPath() {
    return ProgramPathStorage();
}

void SetProgramPath(const std::string& path) {
    ProgramPathStorage() = path;
}

std::string ScenarioList() {
    std::string out;
    for (const Scenario& s : Scenarios())
        out += "  " + std::string(s.name) + std::string(22 - std::string(s.name).size(), ' ') +
               s.what + (s.race ? " (race)" : "") + "\n";
    out += "Plug and Play scenarios (with --event):\n";
    for (const fundamentals::ScenarioInfo& s : fundamentals::Scenarios())
        out += "  " + std::string(s.name) + std::string(22 - std::string(s.name).size(), ' ') +
               s.what + "\n";
    out += "events:\n";
    for (const fundamentals::EventInfo& e : fundamentals::Events())
        out += "  " + std::string(e.name) + std::string(22 - std::string(e.name).size(), ' ') +
               e.what + "\n";
    return out;
}

namespace {

// What a failure report says, in one line without its numbers: the bug
// check or the oracle that failed.
std::string FailureKind(const std::string& failure) {
    std::string line;
    size_t at = 0;
    while (at < failure.size()) {
        size_t end = failure.find('\n', at);
        std::string l = failure.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? failure.size() : end + 1;
        if (l.empty() || l.rfind("simulation FAILED", 0) == 0 || l.rfind("the run crashed", 0) == 0 ||
            l.rfind("--- ", 0) == 0)
            continue;
        line = l;
        break;
    }
    std::string out;
    for (char ch : line) {
        if (ch >= '0' && ch <= '9') {
            if (out.empty() || out.back() != '#') out += '#';
        } else {
            out += ch;
        }
    }
    return out.substr(0, 160);
}

// The injection runs of one scenario and event: the counting run, then the
// sweep. Returns the number of failed runs; prints each failure's replay.
int SweepEvent(const ExploreOptions& o, fundamentals::Event event, bool bar, int* runsDone) {
    using namespace fundamentals;
    const char* eventName = "";
    for (const EventInfo& e : Events())
        if (e.event == event) eventName = e.name;
    Case counting;
    counting.scenario = o.scenario;
    counting.event = event;
    Outcome base = Run(counting);
    if (!base.ok) {
        std::printf("%s: the counting run failed (no event):\n%s\n  replay: %s\n", o.scenario.c_str(),
                    FirstLines(base.failure, 8).c_str(), ReplayCommand(counting).c_str());
        return 1;
    }
    std::vector<uint64_t> points = SweepPoints(base, o.stride, o.limit);
    size_t inside = 0;
    for (bool d : base.dispatching) inside += d;
    const int perPoint = 1 + 2 * o.seedsPerPoint;
    const size_t total = points.size() * perPoint;
    std::printf("%s + %s: %llu scheduling points (%zu inside a dispatch routine), %zu injection "
                "points, %zu runs\n",
                o.scenario.c_str(), eventName, static_cast<unsigned long long>(base.applicationPoints),
                inside, points.size(), total);
    int failed = 0;
    size_t done = 0;
    // Failures grouped by what failed (their first telling line, numbers
    // left out), each with its count and the first run that showed it.
    struct Kind {
        int count = 0;
        uint64_t point = 0;
        std::string replay, text;
    };
    std::map<std::string, Kind> kinds;
    for (uint64_t point : points) {
        for (int k = 0; k < perPoint; ++k) {
            Case c = counting;
            c.point = point;
            if (k > 0) {
                c.strategy = k % 2 ? "random" : "pct";
                c.seed = static_cast<uint64_t>((k + 1) / 2);
                c.pctDepth = 1 + static_cast<int>(c.seed % 3);
            }
            Outcome r = RunInChild(c);
            ++done;
            ++*runsDone;
            if (!r.ok) {
                ++failed;
                Kind& kind = kinds[FailureKind(r.failure)];
                if (kind.count++ == 0) {
                    kind.point = point;
                    kind.replay = ReplayCommand(c);
                    kind.text = FirstLines(r.failure, 6);
                }
            }
            if (bar) {
                int width = 40, filled = static_cast<int>(done * width / total);
                std::printf("\r%s + %s [%s%s] %zu/%zu runs, %d failed", o.scenario.c_str(), eventName,
                            std::string(filled, '#').c_str(), std::string(width - filled, ' ').c_str(),
                            done, total, failed);
                if (done == total) std::printf("\n");
                std::fflush(stdout);
            }
        }
    }
    std::printf("%s + %s: %zu runs, %d failed\n", o.scenario.c_str(), eventName, total, failed);
    for (const auto& [what, kind] : kinds)
        std::printf("  %d x %s\n    first at point %llu: %s\n", kind.count, what.c_str(),
                    static_cast<unsigned long long>(kind.point), kind.replay.c_str());
    return failed;
}

int RunFundamentals(const ExploreOptions& o) {
    using namespace fundamentals;
    std::vector<Event> events;
    if (o.event == "all") {
        events = EventsFor(o.scenario);
    } else if (const EventInfo* e = FindEvent(o.event)) {
        std::vector<Event> allowed = EventsFor(o.scenario);
        if (std::find(allowed.begin(), allowed.end(), e->event) == allowed.end()) {
            std::fprintf(stderr, "bridgesim explore: the event '%s' does not apply to '%s'\n",
                         o.event.c_str(), o.scenario.c_str());
            return 2;
        }
        events.push_back(e->event);
    } else {
        std::fprintf(stderr, "bridgesim explore: no event '%s'; the events are:\n%s", o.event.c_str(),
                     ScenarioList().c_str());
        return 2;
    }
    if (o.pointGiven) {
        Case c;
        c.scenario = o.scenario;
        c.event = events.front();
        c.point = o.point;
        c.strategy = o.single ? o.strategy : "sequential";
        c.seed = o.single ? o.seed : 1;
        c.pctDepth = o.pctDepth;
        c.echoTrace = o.showTrace;
        Outcome r = Run(c);
        std::printf("%s: %s%s\n", ReplayCommand(c).c_str(), r.ok ? "passed" : "FAILED",
                    r.interrupted ? "" : " (the point was never reached: no event)");
        if (!r.ok) std::printf("%s\n", r.failure.c_str());
        return r.ok ? 0 : 1;
    }
    bool bar = o.progress < 0 ? isatty(1) != 0 : o.progress == 1;
    auto started = std::chrono::steady_clock::now();
    int failed = 0, runs = 0;
    for (Event e : events) failed += SweepEvent(o, e, bar, &runs);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("explore %s: %d injection runs in %.1f s wall, %d failed\n", o.scenario.c_str(), runs,
                seconds, failed);
    return failed ? 1 : 0;
}

}  // namespace

int RunTrace(const TraceOptions& o) {
    const Scenario* s = FindScenario(o.scenario);
    if (!s) {
        std::fprintf(stderr, "bridgesim trace: no scenario '%s'; the scenarios are:\n%s",
                     o.scenario.c_str(), ScenarioList().c_str());
        return 2;
    }
    win32sim::MachineOptions mo;
    mo.strategy = o.strategy;
    mo.seed = o.seed;
    mo.pctDepth = o.pctDepth;
    SerialMonitor monitor(stdout);
    mo.monitor = &monitor;
    std::printf("bridgesim trace %s (%s, seed %llu): every request the driver sees\n", s->name,
                o.strategy.c_str(), static_cast<unsigned long long>(o.seed));
    std::printf("  virtual time  #request thread  >> sent  << ended\n");
    ScenarioResult r = RunScenario(*s, mo);
    std::printf("%llu requests sent, %llu ended; %s\n", static_cast<unsigned long long>(monitor.issued),
                static_cast<unsigned long long>(monitor.ended),
                r.ok() ? "scenario passed, verifier clean, pool all freed" : "FAILED");
    if (!r.ok()) std::printf("%s\n%s\n", r.summary.replay.c_str(), r.failure.c_str());
    return r.ok() ? 0 : 1;
}

int RunExplore(const ExploreOptions& o) {
    if (fundamentals::FindScenario(o.scenario)) {
        if (o.event.empty()) {
            std::fprintf(stderr, "bridgesim explore: '%s' takes --event (an event or all)\n",
                         o.scenario.c_str());
            return 2;
        }
        return RunFundamentals(o);
    }
    if (!o.event.empty()) {
        std::fprintf(stderr, "bridgesim explore: --event goes with a Plug and Play scenario\n");
        return 2;
    }
    const Scenario* s = FindScenario(o.scenario);
    if (!s) {
        std::fprintf(stderr, "bridgesim explore: no scenario '%s'; the scenarios are:\n%s",
                     o.scenario.c_str(), ScenarioList().c_str());
        return 2;
    }
    if (o.single) {
        win32sim::MachineOptions mo;
        mo.strategy = o.strategy;
        mo.seed = o.seed;
        mo.pctDepth = o.pctDepth;
        mo.echoTrace = o.showTrace;
        ScenarioResult r = RunScenario(*s, mo);
        std::printf("%s: %s: %s\n", s->name, r.summary.replay.c_str(), r.ok() ? "passed" : "FAILED");
        if (!r.ok()) std::printf("%s\n", r.failure.c_str());
        return r.ok() ? 0 : 1;
    }
    bool bar = o.progress < 0 ? isatty(1) != 0 : o.progress == 1;
    auto started = std::chrono::steady_clock::now();
    struct Failure {
        int run;
        win32sim::MachineOptions options;
        std::string what;
    };
    std::vector<Failure> failures;
    int step = o.runs >= 10 ? o.runs / 10 : 1;
    for (int i = 0; i < o.runs; ++i) {
        win32sim::MachineOptions mo = ScheduleOf(i);
        ScenarioResult r = RunScenario(*s, mo);
        if (!r.ok()) failures.push_back({i + 1, mo, r.failure});
        int done = i + 1;
        if (bar) {
            int width = 40, filled = done * width / o.runs;
            std::printf("\r%s [%s%s] %d/%d runs, %zu failed", s->name, std::string(filled, '#').c_str(),
                        std::string(width - filled, ' ').c_str(), done, o.runs, failures.size());
            if (done == o.runs) std::printf("\n");
            std::fflush(stdout);
        } else if (done % step == 0 || done == o.runs) {
            std::printf("%s: %d/%d runs, %zu failed\n", s->name, done, o.runs, failures.size());
            std::fflush(stdout);
        }
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("explore %s: %d runs (random and PCT, seeds 1 to %d) in %.1f s wall, %zu failed\n",
                s->name, o.runs, (o.runs + 1) / 2, seconds, failures.size());
    size_t shown = 0;
    for (const Failure& f : failures) {
        if (shown++ == 10) {
            std::printf("... and %zu more\n", failures.size() - 10);
            break;
        }
        std::printf("run %d failed (%s seed %llu):\n%s  replay: %s\n", f.run, f.options.strategy.c_str(),
                    static_cast<unsigned long long>(f.options.seed), FirstLines(f.what, 6).c_str(),
                    ReplayCommand(s->name, f.options).c_str());
    }
    return failures.empty() ? 0 : 1;
}

}  // namespace bridgesim
