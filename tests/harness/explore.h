// explore.h - runs one scenario under many schedules: alternately the random
// strategy and PCT (bug depths 1 to 3), seeds counting from 1. The count is
// BRIDGESER_EXPLORE_RUNS when set, else the caller's. It stops at the first
// failing run and fails the test with that run's replay line and report.
// BRIDGESER_REPLAY=STRATEGY:SEED[:DEPTH] (for example random:58 or pct:7:2)
// runs that one schedule instead, printing its whole trace.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "sim/kernel/sim.h"

namespace porttest {

// A count from the environment variable `name` when set, else the fallback.
inline int ExploreRunsOr(const char* name, int fallback) {
    const char* text = std::getenv(name);
    int runs = text ? std::atoi(text) : 0;
    return runs > 0 ? runs : fallback;
}

inline int ExploreRuns(int fallback) {
    return ExploreRunsOr("BRIDGESER_EXPLORE_RUNS", fallback);
}

// The options of run number `index` (0-based) of an exploration.
inline sim::Options ExploreOptions(int index) {
    sim::Options o;
    o.seed = static_cast<uint64_t>(index / 2 + 1);
    o.strategy = index % 2 == 0 ? sim::Strategy::Random : sim::Strategy::Pct;
    o.pctDepth = 1 + static_cast<int>(o.seed % 3);
    return o;
}

inline void Explore(const char* name, int runs,
                    const std::function<sim::RunResult(const sim::Options&)>& scenario) {
    if (const char* replay = std::getenv("BRIDGESER_REPLAY")) {
        sim::Options o;
        char strategy[16] = {};
        unsigned long long seed = 1;
        int depth = 3;
        std::sscanf(replay, "%15[a-z]:%llu:%d", strategy, &seed, &depth);
        o.strategy = std::string(strategy) == "pct"      ? sim::Strategy::Pct
                     : std::string(strategy) == "random" ? sim::Strategy::Random
                                                         : sim::Strategy::Sequential;
        o.seed = seed;
        o.pctDepth = depth;
        o.echoTrace = true;
        sim::RunResult r = scenario(o);
        EXPECT_TRUE(r.ok) << name << ": " << r.Report();
        return;
    }
    runs = ExploreRuns(runs);
    for (int i = 0; i < runs; ++i) {
        sim::Options o = ExploreOptions(i);
        sim::RunResult r = scenario(o);
        if (!r.ok) {
            ADD_FAILURE() << name << ": run " << i + 1 << " of " << runs << " failed, replay with "
                          << r.Replay() << " (pct depth " << o.pctDepth << ")\n"
                          << r.Report();
            return;
        }
        // A run without a trace (as the fuzzers run) must take the same
        // schedule, or a failure found without one would not replay with it.
        if (i < 2) {
            sim::Options quiet = o;
            quiet.traceCapacity = 0;
            sim::RunResult q = scenario(quiet);
            EXPECT_TRUE(q.ok && q.virtualTime == r.virtualTime &&
                        q.schedulingPoints == r.schedulingPoints &&
                        q.contextSwitches == r.contextSwitches)
                << name << ": " << r.Replay() << " without a trace: ok " << q.ok << ", time "
                << q.virtualTime << " vs " << r.virtualTime << ", points " << q.schedulingPoints
                << " vs " << r.schedulingPoints << ", switches " << q.contextSwitches << " vs "
                << r.contextSwitches;
        }
    }
    std::printf("%s: %d schedules explored (random and PCT), no failure\n", name, runs);
}

}  // namespace porttest
