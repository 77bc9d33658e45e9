// Port numbering, names, links, registry values and the device interface,
// their tear-down, and every failure of their creation.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "tests/driver/usb_test_bus.h"

namespace {

using bridgetest::DeviceKeyPath;
using bridgetest::DriverKeyPath;
using bridgetest::DriverPool;
using bridgetest::Machine;
using bridgetest::RunClean;
using bridgetest::SerialCommPath;

constexpr const char* kInstance = "USB\\VID_1A2B&PID_0001\\1";

std::string Instance(int n) {
    return "USB\\VID_1A2B&PID_0001\\" + std::to_string(n);
}

std::vector<uint8_t> Wide(const std::string& text) {
    return sim::Registry::WideStringData(text);
}

std::string PortsPath() {
    return sim::kPortsPath;
}

// Numbers in use, sorted.
std::vector<ULONG> PortNumbers() {
    std::vector<ULONG> numbers;
    for (PLIST_ENTRY e = DriverGlobals.portList.Flink; e != &DriverGlobals.portList; e = e->Flink)
        numbers.push_back(CONTAINING_RECORD(e, PortExtension, portLink)->portNumber);
    std::sort(numbers.begin(), numbers.end());
    return numbers;
}

// Nothing of a device that failed to be created, or was torn down, remains.
void ExpectNoTrace(const std::string& portName) {
    auto& sim = sim::Simulation::Current();
    SIM_CHECK(IsListEmpty(&DriverGlobals.portList));
    SIM_CHECK(sim.objects().FindDevice("\\Device\\Serial2") == nullptr);
    SIM_CHECK(!sim.objects().LinkTarget("\\DosDevices\\" + portName));
    SIM_CHECK(sim.registry().Values(SerialCommPath()).empty());
    SIM_CHECK(sim.objects().EnabledInterfaces(GUID_DEVINTERFACE_COMPORT).empty());
    SIM_CHECK(DriverPool() == 0);
}

TEST(PortNumbering, FollowsAddAndRemoveSequences) {
    RunClean([] {
        auto& sim = sim::Simulation::Current();
        Machine m;
        m.Load();
        std::map<char, sim::DeviceNode*> cables;
        auto plug = [&](char name, int instance, const char* expectedDevice) {
            cables[name] = m.PlugIn(Instance(instance));
            SIM_CHECK(sim.objects().FindDevice(expectedDevice) == cables[name]->top);
        };
        plug('a', 1, "\\Device\\Serial2");  // first cable: number 0
        plug('b', 2, "\\Device\\Serial3");  // while the first is present: 1
        sim.pnp().Remove(cables['a']);
        plug('c', 3, "\\Device\\Serial4");  // 0 is free, but numbers go on: 2
        SIM_CHECK(PortNumbers() == (std::vector<ULONG>{1, 2}));
        sim.pnp().Unplug(cables['c']);
        plug('d', 4, "\\Device\\Serial4");  // the most recent number, now free: 2 again
        sim.pnp().Remove(cables['b']);
        sim.pnp().Remove(cables['d']);
        SIM_CHECK(DriverGlobals.lastPortNumber == 2);
        plug('e', 5, "\\Device\\Serial4");  // all gone after 2 was given: 2 again
        plug('f', 6, "\\Device\\Serial5");
        SIM_CHECK(PortNumbers() == (std::vector<ULONG>{2, 3}));
        sim.pnp().Remove(cables['e']);
        sim.pnp().Remove(cables['f']);
        SIM_CHECK(DriverPool() == 0);
    });
}

TEST(PortNaming, FirstCableGetsItsNamesValuesAndInterface) {
    RunClean([] {
        auto& sim = sim::Simulation::Current();
        auto& reg = sim.registry();
        sim.pnp().firstComNumber = 5;
        Machine m;
        m.Load();
        // PortName as the class installer might leave it: not REG_SZ.
        reg.SetValue(DeviceKeyPath(kInstance), "PortName", REG_BINARY, Wide("COM5"));
        sim::DeviceNode* node = m.PlugIn(kInstance);

        SIM_CHECK(sim.objects().FindDevice("\\Device\\Serial2") == node->top);
        SIM_CHECK(sim.objects().LinkTarget("\\DosDevices\\COM5") == "\\Device\\Serial2");
        SIM_CHECK(node->top->Flags & DO_EXCLUSIVE);

        auto serialComm = reg.GetValue(SerialCommPath(), "\\Device\\Serial2");
        SIM_CHECK(serialComm && serialComm->type == REG_SZ && serialComm->data == Wide("COM5"));
        SIM_CHECK(reg.Dump(SerialCommPath()) ==
                  "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM]\n"
                  "\"\\\\Device\\\\Serial2\"=\"COM5\"\n");

        auto portName = reg.GetValue(DeviceKeyPath(kInstance), "PortName");
        SIM_CHECK(portName && portName->type == REG_SZ && portName->data == Wide("COM5"));

        auto marker = reg.GetValue(DriverKeyPath(kInstance), "InitialBaudRate");
        SIM_CHECK(marker && marker->type == REG_SZ && marker->data == Wide("0"));
        SIM_CHECK(marker->data.size() == 4);

        auto ports = reg.GetValue(PortsPath(), "COM5:");
        SIM_CHECK(ports && ports->type == REG_SZ && ports->data == Wide("115200,n,8,1"));
        SIM_CHECK(ports->data.size() == 26);

        auto interfaces = sim.objects().EnabledInterfaces(GUID_DEVINTERFACE_COMPORT);
        SIM_CHECK(interfaces.size() == 1 && interfaces[0].pdo == node->pdo);
        sim.pnp().Remove(node);
    });
}

TEST(PortNaming, TearDownUndoesExactlyWhatCreationSetUp) {
    RunClean([] {
        auto& sim = sim::Simulation::Current();
        auto& reg = sim.registry();
        Machine m;
        m.Load();
        sim::DeviceNode* node = sim.pnp().Enumerate(m.bus, kInstance);
        auto linksBefore = sim.objects().SymbolicLinks();
        SIM_CHECK(sim.pnp().AddDevice(node, m.driver) == STATUS_SUCCESS);
        std::string kept = reg.Dump(DeviceKeyPath(kInstance)) + reg.Dump(DriverKeyPath(kInstance)) +
                           reg.Dump(PortsPath());
        SIM_CHECK(sim.pnp().SendPnp(node, IRP_MN_START_DEVICE) == STATUS_SUCCESS);
        sim.pnp().Unplug(node);

        SIM_CHECK(sim.objects().SymbolicLinks() == linksBefore);
        SIM_CHECK(reg.Values(SerialCommPath()).empty());
        SIM_CHECK(sim.objects().EnabledInterfaces(GUID_DEVINTERFACE_COMPORT).empty());
        // PortName, the marker and the Ports entry stay.
        SIM_CHECK(reg.Dump(DeviceKeyPath(kInstance)) + reg.Dump(DriverKeyPath(kInstance)) +
                      reg.Dump(PortsPath()) ==
                  kept);
        SIM_CHECK(reg.GetValue(PortsPath(), node->portName + ":"));
        SIM_CHECK(DriverPool() == 0);
    });
}

// The installation marker decides whether the Ports entry is written.
struct MarkerCase {
    const char* name;
    std::optional<std::pair<ULONG, std::vector<uint8_t>>> stored;  // InitialBaudRate before
    bool seeded;  // "0" written and the Ports entry created
};

TEST(PortNaming, InstallationMarkerWritesThePortsEntryOnlyOnAFreshInstallation) {
    const MarkerCase cases[] = {
        {"absent", std::nullopt, true},
        {"text 0", std::make_pair(ULONG(REG_SZ), Wide("0")), false},
        {"text 0.5, too long to read", std::make_pair(ULONG(REG_SZ), Wide("0.5")), true},
        {"longer text 9600", std::make_pair(ULONG(REG_SZ), Wide("9600")), true},
        {"text 1", std::make_pair(ULONG(REG_SZ), Wide("1")), true},
        {"dword 0x30", std::make_pair(ULONG(REG_DWORD), std::vector<uint8_t>{0x30, 0, 0, 0}),
         false},
        {"empty", std::make_pair(ULONG(REG_SZ), std::vector<uint8_t>{}), true},
    };
    for (const MarkerCase& c : cases) {
        SCOPED_TRACE(c.name);
        RunClean([&c] {
            auto& sim = sim::Simulation::Current();
            auto& reg = sim.registry();
            Machine m;
            m.Load();
            sim::DeviceNode* node = sim.pnp().Enumerate(m.bus, kInstance);
            std::string driverKey = DriverKeyPath(kInstance);
            if (c.stored)
                reg.SetValue(driverKey, "InitialBaudRate", c.stored->first, c.stored->second);
            SIM_CHECK(sim.pnp().AddDevice(node, m.driver) == STATUS_SUCCESS);

            auto marker = reg.GetValue(driverKey, "InitialBaudRate");
            auto ports = reg.GetValue(PortsPath(), node->portName + ":");
            if (c.seeded) {
                SIM_CHECK(marker && marker->type == REG_SZ && marker->data == Wide("0"));
                SIM_CHECK(ports && ports->data == Wide("115200,n,8,1"));
            } else {
                SIM_CHECK(marker && marker->type == c.stored->first &&
                          marker->data == c.stored->second);
                SIM_CHECK(!ports);
            }
            sim.pnp().Unplug(node);
        });
    }
}

TEST(PortNaming, ReplugAfterTheMarkerDoesNotWriteThePortsEntryAgain) {
    RunClean([] {
        auto& sim = sim::Simulation::Current();
        Machine m;
        m.Load();
        sim::DeviceNode* node = m.PlugIn(kInstance);
        std::string entry = node->portName + ":";
        sim.pnp().Remove(node);
        SIM_CHECK(sim.registry().DeleteValue(PortsPath(), entry));
        node = m.PlugIn(kInstance);
        SIM_CHECK(!sim.registry().GetValue(PortsPath(), entry));
        sim.pnp().Remove(node);
    });
}

// PortName values that cannot name a DOS device give a port without COM
// name: no link, no SERIALCOMM value, nothing written back, no Ports entry.
struct PortNameCase {
    const char* name;
    std::optional<std::pair<ULONG, std::vector<uint8_t>>> value;  // nullopt: missing
    bool linked;
    std::string linkName;
};

std::vector<uint8_t> WideRaw(const std::string& text) {
    std::vector<uint8_t> d = Wide(text);
    d.resize(d.size() - 2);  // without terminator
    return d;
}

TEST(PortNaming, UnusablePortNamesGiveAPortWithoutComName) {
    const std::string longest(116, 'P');  // \DosDevices\ + 116 characters = 256 bytes
    const PortNameCase cases[] = {
        {"missing", std::nullopt, false, ""},
        {"empty", std::make_pair(ULONG(REG_SZ), Wide("")), false, ""},
        {"over 256 bytes", std::make_pair(ULONG(REG_SZ), Wide(std::string(140, 'C'))), false, ""},
        {"too long for the link", std::make_pair(ULONG(REG_SZ), Wide(longest + "Q")), false, ""},
        {"longest that fits", std::make_pair(ULONG(REG_SZ), Wide(longest)), true, longest},
        {"without terminator", std::make_pair(ULONG(REG_SZ), WideRaw("COM7")), true, "COM7"},
        {"128 characters, no terminator",
         std::make_pair(ULONG(REG_SZ), WideRaw(std::string(128, 'C'))), false, ""},
        {"a number", std::make_pair(ULONG(REG_DWORD), std::vector<uint8_t>{5, 0, 0, 0}), false, ""},
        {"with a blank", std::make_pair(ULONG(REG_SZ), Wide("COM 5")), false, ""},
        {"with a path", std::make_pair(ULONG(REG_SZ), Wide("..\\COM5")), false, ""},
        {"with a colon", std::make_pair(ULONG(REG_SZ), Wide("COM5:")), false, ""},
        {"control character", std::make_pair(ULONG(REG_SZ), Wide("COM\t5")), false, ""},
    };
    for (const PortNameCase& c : cases) {
        SCOPED_TRACE(c.name);
        RunClean([&c] {
            auto& sim = sim::Simulation::Current();
            auto& reg = sim.registry();
            Machine m;
            m.Load();
            sim::DeviceNode* node = sim.pnp().Enumerate(m.bus, kInstance);
            std::string deviceKey = DeviceKeyPath(kInstance);
            reg.DeleteValue(deviceKey, "PortName");
            if (c.value) reg.SetValue(deviceKey, "PortName", c.value->first, c.value->second);
            NTSTATUS status = STATUS_UNSUCCESSFUL;
            status = sim.pnp().AddDevice(node, m.driver);
            SIM_CHECK(status == STATUS_SUCCESS);
            SIM_CHECK(sim.pnp().SendPnp(node, IRP_MN_START_DEVICE) == STATUS_SUCCESS);
            PortExtension* ext = Machine::Ext(node);
            SIM_CHECK(sim.objects().EnabledInterfaces(GUID_DEVINTERFACE_COMPORT).size() == 1);
            auto after = reg.GetValue(deviceKey, "PortName");
            if (c.linked) {
                SIM_CHECK(ext->symbolicLinkCreated && ext->serialCommWritten);
                SIM_CHECK(sim.objects().LinkTarget("\\DosDevices\\" + c.linkName) ==
                          "\\Device\\Serial2");
                SIM_CHECK(reg.GetValue(SerialCommPath(), "\\Device\\Serial2")->data ==
                          Wide(c.linkName));
                SIM_CHECK(after && after->type == REG_SZ && after->data == Wide(c.linkName));
                SIM_CHECK(reg.GetValue(PortsPath(), c.linkName + ":"));
            } else {
                SIM_CHECK(!ext->symbolicLinkCreated && !ext->serialCommWritten);
                SIM_CHECK(ext->symbolicLinkName.Length == 0);
                SIM_CHECK(sim.objects().SymbolicLinks().empty() ||
                          std::none_of(sim.objects().SymbolicLinks().begin(),
                                       sim.objects().SymbolicLinks().end(),
                                       [](const std::string& l) {
                                           return l.find("DosDevices") != std::string::npos;
                                       }));
                SIM_CHECK(reg.Values(SerialCommPath()).empty());
                SIM_CHECK(reg.Values(PortsPath()).empty());
                SIM_CHECK(!reg.GetValue(DriverKeyPath(kInstance), "InitialBaudRate"));
                if (c.value) {
                    SIM_CHECK(after && after->type == c.value->first &&
                              after->data == c.value->second);
                } else {
                    SIM_CHECK(!after);
                }
            }
            sim.pnp().Unplug(node);
            SIM_CHECK(DriverPool() == 0);
        });
    }
}

// ---------------------------------------------------------------- failures

struct CallFailure {
    const char* routine;
    int nth;
    NTSTATUS injected;
    NTSTATUS addDevice;  // what AddDevice returns
    // When the device is created anyway:
    bool link, serialComm, marker, ports;
};

TEST(CreatePortDevice, EachFallibleCallFailingLeavesWhatTheFailureTableSays) {
    const NTSTATUS kFail = STATUS_ACCESS_DENIED;
    const CallFailure cases[] = {
        // fatal: nothing of the device remains
        {"IoOpenDeviceRegistryKey", 1, kFail, kFail, false, false, false, false},
        {"IoCreateDevice", 1, kFail, kFail, false, false, false, false},
        {"IoRegisterDeviceInterface", 1, kFail, kFail, false, false, false, false},
        {"IoSetDeviceInterfaceState", 1, kFail, kFail, false, false, false, false},
        {"IoAttachDeviceToDeviceStack", 1, kFail, STATUS_NO_SUCH_DEVICE, false, false, false,
         false},
        // the port is created without what the failed step gives
        {"IoCreateSymbolicLink", 1, kFail, STATUS_SUCCESS, false, false, false, false},
        {"ZwQueryValueKey", 1, kFail, STATUS_SUCCESS, false, false, false, false},  // PortName
        {"RtlWriteRegistryValue", 1, kFail, STATUS_SUCCESS, true, false, true, true},
        {"ZwSetValueKey", 1, kFail, STATUS_SUCCESS, true, true, false, false},  // PortName back
        {"IoOpenDeviceRegistryKey", 2, kFail, STATUS_SUCCESS, true, true, false,
         true},                                                                 // driver key
        {"ZwQueryValueKey", 2, kFail, STATUS_SUCCESS, true, true, true, true},  // marker unread
        {"ZwSetValueKey", 2, kFail, STATUS_SUCCESS, true, true, false, true},   // marker write
        {"ZwOpenKey", 1, kFail, STATUS_SUCCESS, true, true, true, false},       // Ports key
        {"ZwSetValueKey", 3, kFail, STATUS_SUCCESS, true, true, true, false},   // Ports entry
    };
    for (const CallFailure& c : cases) {
        SCOPED_TRACE(testing::Message() << c.routine << " call " << c.nth);
        RunClean([&c] {
            auto& sim = sim::Simulation::Current();
            auto& reg = sim.registry();
            Machine m;
            m.Load();
            sim::DeviceNode* node = sim.pnp().Enumerate(m.bus, kInstance);
            std::string link = "\\DosDevices\\" + node->portName;
            sim.faults().FailCall(c.routine, c.injected, c.nth);
            NTSTATUS status = sim.pnp().AddDevice(node, m.driver);
            sim.faults().Clear();
            SIM_CHECK(status == c.addDevice);
            if (!NT_SUCCESS(status)) {
                ExpectNoTrace(node->portName);
                SIM_CHECK(m.driver->DeviceObject == nullptr);
                return;
            }
            SIM_CHECK(bool(sim.objects().LinkTarget(link)) == c.link);
            SIM_CHECK(bool(reg.GetValue(SerialCommPath(), "\\Device\\Serial2")) == c.serialComm);
            SIM_CHECK(bool(reg.GetValue(DriverKeyPath(kInstance), "InitialBaudRate")) == c.marker);
            SIM_CHECK(bool(reg.GetValue(PortsPath(), node->portName + ":")) == c.ports);
            SIM_CHECK(sim.objects().EnabledInterfaces(GUID_DEVINTERFACE_COMPORT).size() == 1);
            int deletesBefore = sim.faults().Calls("IoDeleteSymbolicLink");
            sim.pnp().Unplug(node);
            // Tear-down deletes a link only when one was made.
            SIM_CHECK(sim.faults().Calls("IoDeleteSymbolicLink") - deletesBefore ==
                      (c.link ? 1 : 0));
            ExpectNoTrace(node->portName);
        });
    }
}

TEST(CreatePortDevice, EveryAllocationFailingInTurnLeavesNothingOrAWholePort) {
    int failures = 0;
    for (uint64_t nth = 1;; ++nth) {
        SCOPED_TRACE(nth);
        bool succeeded = false;
        RunClean([nth, &succeeded, &failures] {
            auto& sim = sim::Simulation::Current();
            Machine m;
            m.Load();
            sim::DeviceNode* node = sim.pnp().Enumerate(m.bus, kInstance);
            sim.pool().FailNth(nth);
            NTSTATUS status = sim.pnp().AddDevice(node, m.driver);
            bool injected = sim.pool().AllocationCount() > 0;  // keeps the count visible
            (void)injected;
            sim.pool().ClearFaults();
            if (!NT_SUCCESS(status)) {
                SIM_CHECK(status == STATUS_INSUFFICIENT_RESOURCES);
                ExpectNoTrace(node->portName);
                ++failures;
                // The port list is free again: another cable can be added.
                SIM_CHECK(KeReadStateMutex(&DriverGlobals.portListMutex) == 1);
                sim::DeviceNode* other = m.PlugIn("USB\\VID_1A2B&PID_0001\\2");
                SIM_CHECK(other != nullptr && other->started);
                sim.pnp().Unplug(other);
                return;
            }
            // A port whose scratch buffer failed lacks only what that step gives;
            // whatever it has, tear-down removes it all.
            succeeded = true;
            sim.pnp().Unplug(node);
            ExpectNoTrace(node->portName);
        });
        if (succeeded && nth > 16) break;
        ASSERT_LT(nth, 64u);
    }
    // Name buffer, PortName buffer, link buffer and work buffer are fatal.
    EXPECT_GE(failures, 4);
}

}  // namespace
