// The demo: the product's story told through the Windows serial API.
#pragma once

#include <cstdint>
#include <string>

namespace bridgesim {

struct DemoOptions {
    std::string strategy = "sequential";  // sequential, random or pct
    uint64_t seed = 1;
    int pctDepth = 3;
    std::string capturePath;  // USBPcap capture of the run, when set
    bool showTrace = false;   // print the whole trace at the end
};

// Runs the demo and prints what it shows; returns the process exit status.
int RunDemo(const DemoOptions& options);

}  // namespace bridgesim
