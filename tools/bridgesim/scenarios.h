// scenarios.h - named scenarios that bridgesim trace and explore run: each
// is an application written against the Windows serial API on a simulated
// PC, with its own checks.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "sim/win32/machine.h"

namespace bridgesim {

struct Scenario {
    const char* name;
    const char* what;  // one line for the help text
    bool race;         // worth exploring under many schedules
    // Adds the cables; runs on the host before the run.
    std::function<void(win32sim::Machine&)> cables;
    // The application; returns "" when every check held, else what failed.
    std::function<std::string(win32sim::Machine&)> application;
};

const std::vector<Scenario>& Scenarios();
const Scenario* FindScenario(const std::string& name);

struct ScenarioResult {
    win32sim::RunSummary summary;
    std::string failure;  // the scenario's own check, or the run's report
    bool ok() const { return failure.empty(); }
};

ScenarioResult RunScenario(const Scenario& scenario, const win32sim::MachineOptions& options);

}  // namespace bridgesim
