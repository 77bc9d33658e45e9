// fundamentals.h - Plug and Play and power events injected at every
// scheduling point of real application scenarios, with oracles that turn a
// hang, a lost byte or a flow-control breach into a failure, not only a
// crash. The scenarios are Windows serial programs on the simulated PC; the
// event runs on a thread of its own that starts at exactly the chosen point
// (Simulation::InterruptAtPoint), so it lands between any two kernel calls
// of the application, the driver, its completions and timers.
//
// A case is (scenario, event, point, schedule). Point 0 is the counting run:
// no event, every step of the scenario must succeed, and the run reports
// how many scheduling points the application took and at which of them a
// dispatch routine of an application request was running.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "sim/win32/machine.h"

namespace bridgesim::fundamentals {

enum class Event : uint8_t {
    SurpriseRemoval,   // the cable pulled out; removal when the handles close
    OrderlyRemoval,    // query-remove then removal (vetoed while a handle is open)
    CancelledRemove,   // query-remove then cancel-remove
    Rebalance,         // query-stop, stop, start (cancel-stop when refused)
    CancelledStop,     // query-stop then cancel-stop
    SleepResume,       // system sleep to S3 and resume
    WaitWake,          // sleep armed for wake; the device signals the wake
    SecondOpen,        // a second application opens the port and uses it
    FailedStartChip,   // the cable plugged in; the chip refuses the configuration
    FailedStartLower,  // the cable plugged in; the hub fails the start
};

struct EventInfo {
    Event event;
    const char* name;
    const char* what;
};
const std::vector<EventInfo>& Events();
const EventInfo* FindEvent(const std::string& name);

struct ScenarioInfo {
    const char* name;
    const char* what;
    bool plugsItself;  // the cable comes in during the run (the failed-start events)
};
const std::vector<ScenarioInfo>& Scenarios();
const ScenarioInfo* FindScenario(const std::string& name);
// The events that apply to a scenario.
std::vector<Event> EventsFor(const std::string& scenario);

struct Case {
    std::string scenario;
    Event event = Event::SurpriseRemoval;
    uint64_t point = 0;  // 0: the counting run (no event)
    std::string strategy = "sequential";
    uint64_t seed = 1;
    int pctDepth = 3;
    bool echoTrace = false;
    // Called with the driver object after it has loaded: tests plant faults
    // here to show that each oracle can fail.
    std::function<void(void* driverObject)> afterLoad;
};

struct Outcome {
    bool ok = false;
    std::string failure;             // the first oracle that failed, or the run's report
    uint64_t applicationPoints = 0;  // scheduling points of the application's run
    std::vector<bool> dispatching;   // counting run: per point (index 0 = point 1)
    bool interrupted = false;        // the event ran
};

Outcome Run(const Case& c);
// The same in a child process, so that a run that crashes the host process
// (a driver fault) is one failure of a sweep, reported with what the child
// printed.
Outcome RunInChild(const Case& c);

// The command line that replays a case.
std::string ReplayCommand(const Case& c);

// Which points of a counting run an injection sweep visits: every point
// where a dispatch routine of an application request is running, and every
// stride-th point elsewhere (stride 1: every point). `limit` caps the
// number of points (0: none), thinning evenly.
std::vector<uint64_t> SweepPoints(const Outcome& counting, uint64_t stride, size_t limit = 0);

}  // namespace bridgesim::fundamentals
