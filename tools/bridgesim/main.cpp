// bridgesim - the command-line face of the simulation.
//
//   bridgesim demo [--seed N] [--strategy sequential|random|pct] [--capture FILE] [--trace]
//
// Exit status: 0 when the run ends with the verifier's verdict clean.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/bridgesim/demo.h"

namespace {

int Usage() {
    std::fprintf(stderr,
                 "usage: bridgesim demo [--seed N] [--strategy sequential|random|pct]\n"
                 "                      [--capture FILE] [--trace]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage();
    std::string command = argv[1];
    bridgesim::DemoOptions options;
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--seed" && i + 1 < argc) {
            options.sim.seed = std::strtoull(argv[++i], nullptr, 10);
        } else if (arg == "--strategy" && i + 1 < argc) {
            std::string s = argv[++i];
            if (s == "sequential") options.sim.strategy = sim::Strategy::Sequential;
            else if (s == "random") options.sim.strategy = sim::Strategy::Random;
            else if (s == "pct") options.sim.strategy = sim::Strategy::Pct;
            else return Usage();
        } else if (arg == "--capture" && i + 1 < argc) {
            options.capturePath = argv[++i];
        } else if (arg == "--trace") {
            options.showTrace = true;
        } else {
            return Usage();
        }
    }
    if (command == "demo") return bridgesim::RunDemo(options);
    return Usage();
}
