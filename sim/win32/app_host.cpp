// app_host.cpp - main() for a Windows serial program built for the
// simulation: the program's own main is compiled as bridgesim_app_main (see
// bridgesim_add_windows_program in sim/win32/CMakeLists.txt) and runs as the
// main thread of a simulated PC with one cable.
//
//   PROGRAM [--peer phone|loopback|echo] [--strategy S] [--seed N] [--trace]
//           PROGRAM-ARGUMENTS...
//
// The host's options come first; the rest goes to the program, whose first
// argument is usually the port (the cable comes up as COM3).
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "sim/win32/machine.h"

int bridgesim_app_main(int argc, char** argv);

int main(int argc, char** argv) {
    win32sim::MachineOptions options;
    win32sim::CableOptions cable;
    int i = 1;
    for (; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--peer" && i + 1 < argc) {
            std::string p = argv[++i];
            if (p == "phone") cable.peer = win32sim::PeerKind::Phone;
            else if (p == "loopback") cable.peer = win32sim::PeerKind::Loopback;
            else if (p == "echo") cable.peer = win32sim::PeerKind::Echo;
            else {
                std::fprintf(stderr, "unknown peer '%s' (phone, loopback or echo)\n", p.c_str());
                return 2;
            }
        } else if (a == "--strategy" && i + 1 < argc) {
            options.strategy = argv[++i];
        } else if (a == "--seed" && i + 1 < argc) {
            options.seed = std::strtoull(argv[++i], nullptr, 10);
        } else if (a == "--trace") {
            options.echoTrace = true;
        } else {
            break;
        }
    }
    std::vector<char*> args{argv[0]};
    for (; i < argc; ++i) args.push_back(argv[i]);
    args.push_back(nullptr);
    win32sim::Machine machine(options);
    machine.AddCable(cable);
    win32sim::RunSummary r = machine.Run(
        [&] { return bridgesim_app_main(static_cast<int>(args.size()) - 1, args.data()); });
    if (!r.ok) {
        std::fprintf(stderr, "%s\n", r.report.c_str());
        return 1;
    }
    if (!r.poolClean) {
        std::fprintf(stderr, "%s: pool blocks left over\n", r.replay.c_str());
        return 1;
    }
    return r.exitCode;
}
