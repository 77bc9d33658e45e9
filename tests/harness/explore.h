// explore.h - runs one scenario under many schedules: alternately the random
// strategy and PCT (bug depths 1 to 3), seeds counting from 1. The count is
// BRIDGESER_EXPLORE_RUNS when set, else the caller's. It stops at the first
// failing run and fails the test with that run's report and the command that
// replays it:
//   BRIDGESER_REPLAY=pct:7:2 /path/to/receive_tests --gtest_filter='ReceiveRaces.X'
// BRIDGESER_REPLAY=STRATEGY:SEED[:DEPTH][,OPTION=VALUE...] (for example
// random:58, pct:7:2 or random:3,clock-advance-percent=10, the options as
// sim::ChangedOptions names them) runs that one schedule instead, printing
// its whole trace.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <initializer_list>
#include <string>

#include "sim/kernel/sim.h"

namespace porttest {

// A shell command that runs the current test alone again, with the given
// environment assignments (NAME=VALUE) in front:
//   NAME=VALUE /path/to/binary --gtest_filter='Suite.Test'
inline std::string GtestReplayCommand(std::initializer_list<std::string> assignments) {
    std::string command;
    for (const std::string& a : assignments) command += a + " ";
    char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    command += length > 0 ? std::string(path, static_cast<size_t>(length)) : "TEST_BINARY";
    if (const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info())
        command += std::string(" --gtest_filter='") + test->test_suite_name() + "." +
                   test->name() + "'";
    return command;
}

// The BRIDGESER_REPLAY value of a run: its strategy and seed, the PCT depth
// under PCT, then every option that differs from its default.
inline std::string ReplayValue(const sim::RunResult& r) {
    std::string value = std::string(sim::StrategyName(r.strategy)) + ":" + std::to_string(r.seed);
    if (r.strategy == sim::Strategy::Pct) value += ":" + std::to_string(r.options.pctDepth);
    for (const std::string& option : sim::ChangedOptions(r.options)) value += "," + option;
    return value;
}

// Reads a BRIDGESER_REPLAY value into options; false (with a test failure
// saying why) when it does not parse.
inline bool ParseReplay(const std::string& text, sim::Options* o) {
    const size_t comma = text.find(',');
    const std::string schedule = text.substr(0, comma);
    char strategy[16] = {};
    unsigned long long seed = 1;
    int depth = 3;
    std::sscanf(schedule.c_str(), "%15[a-z]:%llu:%d", strategy, &seed, &depth);
    const std::string name = strategy;
    if (name != "pct" && name != "random" && name != "sequential") {
        ADD_FAILURE() << "BRIDGESER_REPLAY=" << text << ": no strategy '" << name << "'";
        return false;
    }
    o->strategy = name == "pct" ? sim::Strategy::Pct
                  : name == "random" ? sim::Strategy::Random
                                     : sim::Strategy::Sequential;
    o->seed = seed;
    o->pctDepth = depth;
    for (size_t at = comma; at != std::string::npos;) {
        const size_t next = text.find(',', at + 1);
        const std::string option = text.substr(at + 1, next == std::string::npos ? next : next - at - 1);
        if (!sim::SetOption(o, option)) {
            ADD_FAILURE() << "BRIDGESER_REPLAY=" << text << ": no option '" << option << "'";
            return false;
        }
        at = next;
    }
    return true;
}

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
        if (!ParseReplay(replay, &o)) return;
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
            ADD_FAILURE() << name << ": run " << i + 1 << " of " << runs << " failed ("
                          << r.Replay() << "); to replay it with its whole trace:\n  "
                          << GtestReplayCommand({"BRIDGESER_REPLAY=" + ReplayValue(r)}) << "\n"
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
