// The demo, as a newcomer sees it: the port with its names, the chip set-up
// on the wire, the story through the serial API (the reference reply as
// bytes, the switch to 230400, the held write, the requests ended by the
// unplug), a clean verdict, and a capture that tshark decodes.
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

TEST(Demo, TellsTheStoryWithThePortTheChipSetUpAndACleanVerdict) {
    DemoRun d = RunDemoCaptured({});
    EXPECT_EQ(d.status, 0) << d.output;
    for (const char* expected :
         {"NT device name     \\Device\\Serial2", "COM link           \\DosDevices\\COM3",
          "\"\\Device\\Serial2\" = \"COM3\"", "\"COM3:\" = \"115200,n,8,1\"",
          "{86e0d1e0-8089-11d0-9ce4-08003e301f73} (enabled)", "COM3 -> \\Device\\Serial2",
          "41 54 2B 43 47 4D 49 0D 0D 0A 53 6F 6E 79 20 45 72 69 63 73 73 6F 6E",
          "GetCommState says 230400", "ClearCommError: fCtsHold", "CTS on again",
          "1024 bytes written", "ReadFile ends: FALSE, ERROR_OPERATION_ABORTED",
          "Verifier: no violations", "all freed", "none left in the driver", "every step as told"}) {
        EXPECT_NE(d.output.find(expected), std::string::npos) << expected << "\n" << d.output;
    }
    EXPECT_EQ(d.output.find("unexpected"), std::string::npos) << d.output;
    // The chip set-up, in order.
    size_t a = d.output.find("submit vendor write reg 2 = 0x08");
    size_t b = d.output.find("submit vendor write reg 1 = 0x08");
    size_t c = d.output.find("submit vendor write reg 8 = 0x00");
    size_t e = d.output.find("submit vendor write reg 11 = 0x00");
    ASSERT_NE(e, std::string::npos) << d.output;
    EXPECT_TRUE(a < b && b < c && c < e);
}

TEST(Demo, OtherSchedulesTellTheSameStory) {
    for (const char* strategy : {"random", "pct"}) {
        for (uint64_t seed = 1; seed <= 5; ++seed) {
            bridgesim::DemoOptions o;
            o.strategy = strategy;
            o.seed = seed;
            DemoRun d = RunDemoCaptured(o);
            EXPECT_EQ(d.status, 0) << "strategy=" << strategy << " seed=" << seed << "\n"
                                   << d.output;
            EXPECT_NE(d.output.find("GetCommState says 230400"), std::string::npos);
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
