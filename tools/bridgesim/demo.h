// The demo: the driver in the simulated kernel with simulated cables.
#pragma once

#include <string>

#include "sim/kernel/sim.h"

namespace bridgesim {

struct DemoOptions {
    sim::Options sim;
    std::string capturePath;  // USBPcap capture of the run, when set
    bool showTrace = false;   // print the whole trace at the end
};

// Runs the demo and prints what it shows; returns the process exit status.
int RunDemo(const DemoOptions& options);

}  // namespace bridgesim
