// Start-up of the real driver on the simulated USB bus and bridge chip, end
// to end: what goes over the wire, in order, and what the chip ends up with.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/device.h"
#include "driver/driver.h"
#include "sim/kernel/sim.h"
#include "sim/usb/usb_bus.h"

namespace {

const char* const kCable = "USB\\VID_1A2B&PID_0001\\7&1";

// The URB submissions of the trace, as the bus names them.
std::vector<std::string> Submissions(sim::Simulation& s) {
    std::vector<std::string> out;
    for (const auto& e : s.trace().EventsOfKind("URB")) {
        size_t at = e.text.find(" submit ");
        if (at != std::string::npos) out.push_back(e.text.substr(at + 8));
        else if (e.text.find("reset port") != std::string::npos &&
                 e.text.find(": ") == std::string::npos)
            out.push_back("reset port");
    }
    return out;
}

bool Contains(const std::vector<std::string>& list, const std::string& what) {
    for (auto& s : list)
        if (s.find(what) != std::string::npos) return true;
    return false;
}

struct Outcome {
    NTSTATUS start = STATUS_UNSUCCESSFUL;
    std::vector<std::string> urbs;
};

Outcome StartCable(bool failFirstDescriptorRead) {
    Outcome o;
    sim::Simulation s;
    sim::usb::UsbBus bus;
    auto r = s.Run([&] {
        PDRIVER_OBJECT driver = s.pnp().LoadDriver("bridgeser", DriverEntry);
        sim::DeviceNode* node = s.pnp().Enumerate(bus, kCable);
        if (failFirstDescriptorRead)
            bus.Update(node->pdo, [](chip::BridgeChip& c) { c.FailNextConfigurationRead(); });
        SIM_CHECK(NT_SUCCESS(s.pnp().AddDevice(node, driver)));
        o.start = s.pnp().SendPnp(node, IRP_MN_START_DEVICE);
        o.urbs = Submissions(s);
        s.pnp().Unplug(node);
    });
    EXPECT_TRUE(r.ok) << r.Report();
    return o;
}

TEST(UsbStartUp, GoodFirstDescriptorReadNeedsNoResetAndInitialisesTheChip) {
    Outcome o = StartCable(false);
    EXPECT_EQ(o.start, STATUS_SUCCESS);
    ASSERT_GE(o.urbs.size(), 6u);
    EXPECT_NE(o.urbs[0].find("get configuration descriptor"), std::string::npos) << o.urbs[0];
    EXPECT_NE(o.urbs[1].find("select configuration"), std::string::npos) << o.urbs[1];
    const std::vector<std::string> init = {"vendor write reg 2 = 0x08", "vendor write reg 1 = 0x08",
                                           "vendor write reg 8 = 0x00",
                                           "vendor write reg 11 = 0x00"};
    for (size_t i = 0; i < init.size(); ++i) EXPECT_EQ(o.urbs[2 + i], init[i]);
    EXPECT_FALSE(Contains(o.urbs, "reset port"));
    EXPECT_FALSE(Contains(o.urbs, "clear"));
}

TEST(UsbStartUp, FailedFirstDescriptorReadIsFollowedByResetClearFeatureAndOneRetry) {
    Outcome o = StartCable(true);
    EXPECT_EQ(o.start, STATUS_SUCCESS);
    ASSERT_GE(o.urbs.size(), 4u);
    EXPECT_NE(o.urbs[0].find("get configuration descriptor"), std::string::npos) << o.urbs[0];
    EXPECT_EQ(o.urbs[1], "reset port");
    EXPECT_NE(o.urbs[2].find("clear halt of endpoint 0x00"), std::string::npos) << o.urbs[2];
    EXPECT_NE(o.urbs[3].find("get configuration descriptor"), std::string::npos) << o.urbs[3];
    EXPECT_NE(o.urbs[4].find("select configuration"), std::string::npos) << o.urbs[4];
}

}  // namespace
