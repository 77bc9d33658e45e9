// explore.cpp - bridgesim trace and bridgesim explore: a scenario's requests
// as a serial-monitor log, and a scenario under many schedules.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/bridgesim/commands.h"
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

std::string ReplayCommand(const std::string& scenario, const win32sim::MachineOptions& o) {
    std::string c = "bridgesim explore " + scenario + " --strategy " + o.strategy + " --seed " +
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

std::string ScenarioList() {
    std::string out;
    for (const Scenario& s : Scenarios())
        out += "  " + std::string(s.name) + std::string(22 - std::string(s.name).size(), ' ') +
               s.what + (s.race ? " (race)" : "") + "\n";
    return out;
}

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
