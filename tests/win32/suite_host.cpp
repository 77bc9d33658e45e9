// suite_host.cpp - runs the serial suite (serial_suite.cpp, a plain Windows
// program) in the simulation: a PC with a loopback plug on its first port
// and the phone (9600 8N1, RTS/CTS flow control) on its second.
//
//   win32_serial_suite [sequential|random|pct] [SEED]
//
// Exit status: the suite's, or 1 when the run stopped (bug check, deadlock,
// leak), with the strategy and seed that replay it.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "sim/win32/machine.h"

int SerialSuiteMain(int argc, char** argv);

int main(int argc, char** argv) {
    win32sim::MachineOptions options;
    if (argc > 1) options.strategy = argv[1];
    if (argc > 2) options.seed = std::strtoull(argv[2], nullptr, 10);
    win32sim::Machine machine(options);
    int loopback = machine.AddCable({win32sim::PeerKind::Loopback, {}});
    win32sim::CableOptions phone;
    phone.phone.flowControl = true;
    int phoneCable = machine.AddCable(phone);
    win32sim::RunSummary r = machine.Run([&] {
        std::string a = machine.PortName(loopback), b = machine.PortName(phoneCable);
        char* args[] = {const_cast<char*>("serial_suite"), a.data(), b.data()};
        return SerialSuiteMain(3, args);
    });
    std::printf("%s: %s, pool %s\n", r.replay.c_str(), r.ok ? "run clean" : "run FAILED",
                r.poolClean ? "all freed" : "blocks left over");
    if (!r.ok) {
        std::printf("%s\n", r.report.c_str());
        return 1;
    }
    return r.exitCode == 0 && r.poolClean ? 0 : 1;
}
