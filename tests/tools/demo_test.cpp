// The demo, as a newcomer sees it: both ports with their names, the chip
// set-up on the wire, the first port gone without a trace after tear-down,
// a clean verdict, and a capture that tshark decodes.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "tools/bridgesim/demo.h"

namespace {

struct DemoRun {
    int status;
    std::string output;
};

DemoRun RunDemoCaptured(const bridgesim::DemoOptions& options) {
    testing::internal::CaptureStdout();
    int status = bridgesim::RunDemo(options);
    return {status, testing::internal::GetCapturedStdout()};
}

TEST(Demo, ShowsBothPortsTheChipSetUpAndACleanVerdict) {
    DemoRun d = RunDemoCaptured({});
    EXPECT_EQ(d.status, 0) << d.output;
    for (const char* expected :
         {"NT device name     \\Device\\Serial2", "COM link           \\DosDevices\\COM3",
          "NT device name     \\Device\\Serial3", "COM link           \\DosDevices\\COM4",
          "\"\\Device\\Serial2\" = \"COM3\"", "\"COM3:\" = \"115200,n,8,1\"",
          "{86e0d1e0-8089-11d0-9ce4-08003e301f73} (enabled)", "Verifier: no violations",
          "all freed"}) {
        EXPECT_NE(d.output.find(expected), std::string::npos) << expected << "\n" << d.output;
    }
    // The chip set-up, in order.
    size_t a = d.output.find("submit vendor write reg 2 = 0x08");
    size_t b = d.output.find("submit vendor write reg 1 = 0x08");
    size_t c = d.output.find("submit vendor write reg 8 = 0x00");
    size_t e = d.output.find("submit vendor write reg 11 = 0x00");
    ASSERT_NE(e, std::string::npos) << d.output;
    EXPECT_TRUE(a < b && b < c && c < e);
    // After the first cable is gone, the device map holds only the second.
    std::string after = d.output.substr(d.output.find("Cable 1 unplugged."));
    std::string map = after.substr(0, after.find("Cable 2 unplugged"));
    EXPECT_EQ(map.find("Serial2"), std::string::npos) << map;
    EXPECT_NE(map.find("\"\\Device\\Serial3\" = \"COM4\""), std::string::npos) << map;
}

TEST(Demo, OtherSchedulesGiveTheSamePorts) {
    for (sim::Strategy strategy : {sim::Strategy::Random, sim::Strategy::Pct}) {
        for (uint64_t seed = 1; seed <= 5; ++seed) {
            bridgesim::DemoOptions o;
            o.sim.strategy = strategy;
            o.sim.seed = seed;
            DemoRun d = RunDemoCaptured(o);
            EXPECT_EQ(d.status, 0) << sim::StrategyName(strategy) << " seed " << seed << "\n"
                                   << d.output;
            EXPECT_NE(d.output.find("\\Device\\Serial3"), std::string::npos);
        }
    }
}

TEST(Demo, CaptureDecodesAsVendorWritesAndADescriptorRead) {
    std::string path = testing::TempDir() + "bridgesim_demo.pcap";
    bridgesim::DemoOptions o;
    o.capturePath = path;
    DemoRun d = RunDemoCaptured(o);
    ASSERT_EQ(d.status, 0) << d.output;
    std::ifstream file(path, std::ios::binary);
    ASSERT_TRUE(file.good());
    if (std::system("command -v tshark >/dev/null 2>&1") != 0) GTEST_SKIP() << "tshark not installed";
    std::string command = "tshark -r " + path + " -V 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string decoded;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) decoded.append(buffer, n);
    pclose(pipe);
    EXPECT_NE(decoded.find("bRequest: GET DESCRIPTOR (6)"), std::string::npos);
    EXPECT_NE(decoded.find("bmRequestType: 0x40"), std::string::npos);
    EXPECT_NE(decoded.find("bRequest: 254"), std::string::npos);
    EXPECT_NE(decoded.find("wIndex: 11 (0x000b)"), std::string::npos);
    std::remove(path.c_str());
}

}  // namespace
