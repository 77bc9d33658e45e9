// commands.h - the bridgesim commands besides the demo.
#pragma once

#include <cstdint>
#include <string>

namespace bridgesim {

struct TermOptions {
    std::string peer = "phone";  // phone, loopback or echo
    uint32_t baud = 9600;
    int dataBits = 8;
    char parity = 'n';           // n, o, e, m, s
    std::string stopBits = "1";  // 1, 1.5, 2
    bool rtsCts = false;
    uint32_t peerBaud = 0;       // 0: the port's rate
    int quitKey = 0x1D;          // Ctrl-]
    uint32_t idleMs = 300;       // from a pipe: stop after this long without data
    std::string strategy = "sequential";
    uint64_t seed = 1;
};
int RunTerm(const TermOptions& options);

struct TraceOptions {
    std::string scenario = "at-session";
    std::string strategy = "sequential";
    uint64_t seed = 1;
    int pctDepth = 3;
};
int RunTrace(const TraceOptions& options);

struct ExploreOptions {
    std::string scenario;
    int runs = 100;
    bool single = false;  // one schedule: strategy, seed and depth below
    std::string strategy = "random";
    uint64_t seed = 1;
    int pctDepth = 3;
    bool showTrace = false;
    int progress = -1;    // 1 progress bar, 0 plain lines, -1 as stdout is a terminal or not
    // Plug and Play and power scenarios: the event ("all": every one that
    // applies), one injection point (pointGiven) or a sweep of them (every
    // point where an application request's dispatch routine runs, every
    // stride-th elsewhere, at most `limit` of them, 0: all) under the
    // sequential schedule and `seedsPerPoint` random and PCT ones per point.
    std::string event;
    uint64_t point = 0;
    bool pointGiven = false;
    uint64_t stride = 1;
    uint64_t limit = 0;
    int seedsPerPoint = 0;
};
int RunExplore(const ExploreOptions& options);

// The list of scenarios, for the help text.
std::string ScenarioList();

// How the tool was started (its argv[0]; "bridgesim" until main sets it),
// so that the replay commands it prints can be pasted into a shell.
const std::string& ProgramPath();
void SetProgramPath(const std::string& path);

}  // namespace bridgesim
