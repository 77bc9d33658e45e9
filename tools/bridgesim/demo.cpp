// demo.cpp - two simulated cables plugged into the simulated kernel with the
// driver loaded: what each port looks like to an application (NT name, COM
// link, SERIALCOMM value, Ports entry, COM-port interface), the tear-down of
// the first, and the verifier's verdict with the pool balance.
#include "tools/bridgesim/demo.h"

#include <cstdio>

#include "platform/platform.h"

extern "C" DRIVER_INITIALIZE DriverEntry;

namespace bridgesim {

namespace {

const char* const kInstances[] = {"USB\\VID_1A2B&PID_0001\\5&1A2B3C4D&0&1",
                                  "USB\\VID_1A2B&PID_0001\\5&1A2B3C4D&0&2"};

void Say(const std::string& text) { std::printf("%s\n", text.c_str()); }

std::string StatusName(NTSTATUS status) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%08X", static_cast<unsigned>(status));
    return status == STATUS_SUCCESS ? "STATUS_SUCCESS" : buffer;
}

// What an application can find of one port.
void ShowPort(sim::Simulation& s, sim::DeviceNode* node) {
    std::string name = s.objects().NameOf(node->top);
    Say("  NT device name     " + name);
    for (const std::string& link : s.objects().LinksTo(name)) Say("  COM link           " + link);
    auto serialComm =
        s.registry().GetValue(std::string(sim::kDeviceMapPath) + "\\SERIALCOMM", name);
    Say("  SERIALCOMM value   " + (serialComm ? "\"" + name + "\" = \"" + serialComm->AsString() + "\""
                                              : std::string("(none)")));
    auto ports = s.registry().GetValue(sim::kPortsPath, node->portName + ":");
    Say("  Ports entry        " + (ports ? "\"" + node->portName + ":\" = \"" + ports->AsString() + "\""
                                         : std::string("(none)")));
    for (auto& i : s.objects().Interfaces()) {
        if (i.pdo == node->pdo)
            Say("  COM-port interface " + i.symbolicLink + (i.enabled ? " (enabled)" : " (disabled)"));
    }
}

void ShowDeviceMap(sim::Simulation& s) {
    Say("Device map (HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM):");
    auto values = s.registry().Values(std::string(sim::kDeviceMapPath) + "\\SERIALCOMM");
    if (values.empty()) Say("  (empty)");
    for (auto& v : values) Say("  \"" + v.name + "\" = \"" + v.AsString() + "\"");
    Say("COM names an application can open:");
    bool any = false;
    for (const std::string& link : s.objects().SymbolicLinks()) {
        if (link.find("COM") != std::string::npos) {
            Say("  " + link + " -> " + s.objects().LinkTarget(link).value_or("?"));
            any = true;
        }
    }
    if (!any) Say("  (none)");
}

}  // namespace

int RunDemo(const DemoOptions& options) {
    sim::Simulation s(options.sim);
    auto bus = sim::MakeMinimalBus();
    Say("bridgesim demo (" + std::string(sim::StrategyName(options.sim.strategy)) +
        ", seed " + std::to_string(options.sim.seed) + ")");
    sim::RunResult result = s.Run([&] {
        PDRIVER_OBJECT driver = s.pnp().LoadDriver("bridgeser", DriverEntry);
        if (!driver) s.Fail("the driver did not load");
        Say("Driver bridgeser loaded.\n");
        sim::DeviceNode* nodes[2];
        for (int i = 0; i < 2; ++i) {
            nodes[i] = s.pnp().Enumerate(*bus, kInstances[i]);
            NTSTATUS status = s.pnp().AddDevice(nodes[i], driver);
            Say("Cable " + std::to_string(i + 1) + " plugged in: " + kInstances[i]);
            Say("  AddDevice          " + StatusName(status));
            if (NT_SUCCESS(status)) ShowPort(s, nodes[i]);
            Say("");
        }
        Say("Cable 1 unplugged.");
        s.pnp().Unplug(nodes[0]);
        ShowDeviceMap(s);
        Say("");
        Say("Registry as left by the driver:");
        std::printf("%s", s.registry().Dump(std::string(sim::kDeviceMapPath)).c_str());
        std::printf("%s\n", s.registry().Dump(sim::kPortsPath).c_str());
        Say("Cable 2 unplugged; the driver unloads.");
        s.pnp().Unplug(nodes[1]);
    });
    if (options.showTrace) std::printf("\n--- trace ---\n%s", s.trace().Format().c_str());
    Say("");
    Say("Verifier: " + std::string(result.ok ? "no violations" : "VIOLATIONS FOUND"));
    auto balance = s.pool().Balance();
    Say("Pool: " + std::to_string(s.pool().AllocationCount()) + " allocations, " +
        (balance.empty() ? std::string("all freed") : "blocks left over"));
    Say("Virtual time: " + std::to_string(result.virtualTime / 10) + " us, " +
        std::to_string(result.schedulingPoints) + " scheduling points");
    if (!result.ok) std::printf("%s", result.Report().c_str());
    return result.ok ? 0 : 1;
}

}  // namespace bridgesim
