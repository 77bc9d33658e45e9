// demo.cpp - two simulated cables plugged into the simulated kernel with the
// driver loaded: what each port looks like to an application (NT name, COM
// link, SERIALCOMM value, Ports entry, COM-port interface), the tear-down of
// the first, and the verifier's verdict with the pool balance.
#include "tools/bridgesim/demo.h"

#include <cstdio>

#include "platform/platform.h"
#include "sim/usb/usb_bus.h"

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

// The USB traffic of the trace since event `since`, as the start-up showed it.
void ShowUsbTraffic(sim::Simulation& s, uint64_t since) {
    for (const sim::TraceRecord& e : s.trace().Events()) {
        if (e.seq <= since || e.kind != "URB") continue;
        std::string line = sim::Trace::FormatEvent(e);
        Say("    " + line.substr(line.find_first_not_of(' ')));
    }
}

uint64_t LastTraceSeq(sim::Simulation& s) {
    auto events = s.trace().Events();
    return events.empty() ? 0 : events.back().seq;
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
    sim::usb::UsbBus bus;
    Say("bridgesim demo (" + std::string(sim::StrategyName(options.sim.strategy)) +
        ", seed " + std::to_string(options.sim.seed) + ")");
    sim::RunResult result = s.Run([&] {
        PDRIVER_OBJECT driver = s.pnp().LoadDriver("bridgeser", DriverEntry);
        if (!driver) s.Fail("the driver did not load");
        Say("Driver bridgeser loaded.\n");
        if (!options.capturePath.empty() && !bus.CaptureTo(options.capturePath))
            s.Fail("cannot write the capture " + options.capturePath);
        sim::DeviceNode* nodes[2];
        for (int i = 0; i < 2; ++i) {
            Say("Cable " + std::to_string(i + 1) + " plugged in: " + kInstances[i]);
            uint64_t before = LastTraceSeq(s);
            NTSTATUS status = STATUS_UNSUCCESSFUL;
            nodes[i] = s.pnp().PlugIn(bus, kInstances[i], driver, &status);
            if (i == 0) {
                Say("  Start-up on the USB bus (descriptor read, configuration, chip set-up):");
                ShowUsbTraffic(s, before);
            }
            Say("  Start              " + StatusName(status));
            if (nodes[i]->added) ShowPort(s, nodes[i]);
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
        bus.StopCapture();
    });
    if (options.showTrace) std::printf("\n--- trace ---\n%s", s.trace().Format().c_str());
    Say("");
    Say("Verifier: " + std::string(result.ok ? "no violations" : "VIOLATIONS FOUND"));
    auto balance = s.pool().Balance();
    Say("Pool: " + std::to_string(s.pool().AllocationCount()) + " allocations, " +
        (balance.empty() ? std::string("all freed") : "blocks left over"));
    Say("Virtual time: " + std::to_string(result.virtualTime / 10) + " us, " +
        std::to_string(result.schedulingPoints) + " scheduling points");
    if (!options.capturePath.empty())
        Say("USB capture: " + options.capturePath + " (" + std::to_string(bus.CapturedRecords()) +
            " records, USBPcap link type 249)");
    if (!result.ok) std::printf("%s", result.Report().c_str());
    return result.ok ? 0 : 1;
}

}  // namespace bridgesim
