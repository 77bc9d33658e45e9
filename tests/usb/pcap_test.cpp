// The USBPcap capture writer: byte layout, and decoding by tshark where it
// is installed.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "sim/chip/descriptors.h"
#include "sim/chip/usb_defs.h"
#include "sim/usb/pcap.h"
#include "tests/usb/pcap_reader.h"

namespace pcaptest {
namespace {

using sim::usb::PcapTransfer;
using sim::usb::PcapUrb;
using sim::usb::PcapWriter;
using namespace pcapread;

std::string TempPath(const std::string& name) {
    return ::testing::TempDir() + name;
}

TEST(PcapWriter, GlobalHeader) {
    const std::string path = TempPath("global_header.pcap");
    PcapWriter writer;
    ASSERT_TRUE(writer.Open(path));
    writer.Close();
    const std::vector<uint8_t> file = ReadFile(path);
    ASSERT_EQ(file.size(), 24u);
    EXPECT_EQ(U32(file, 0), 0xA1B2C3D4u) << "microsecond timestamps";
    EXPECT_EQ(U16(file, 4), 2);
    EXPECT_EQ(U16(file, 6), 4);
    EXPECT_EQ(U32(file, 16), 65535u);
    EXPECT_EQ(U32(file, 20), 249u);
}

TEST(PcapWriter, OpenFailsForAnUnwritablePath) {
    PcapWriter writer;
    EXPECT_FALSE(writer.Open(TempPath("no/such/folder/x.pcap")));
    EXPECT_FALSE(writer.IsOpen());
    writer.RecordBulkOrInterrupt(false, PcapUrb{}, PcapTransfer::Bulk, {});  // harmless
}

TEST(PcapWriter, BulkRecordLayoutAndTimestamp) {
    const std::string path = TempPath("bulk.pcap");
    PcapWriter writer;
    ASSERT_TRUE(writer.Open(path, 3));
    const uint8_t data[3] = {0x10, 0x20, 0x30};
    // 12.3456789 s of virtual time.
    writer.RecordBulkOrInterrupt(false,
                                 PcapUrb{123'456'789, 0x1122334455667788ull, 5, 0x02, 0x0009, 0},
                                 PcapTransfer::Bulk, data);
    writer.RecordBulkOrInterrupt(
        true, PcapUrb{123'456'799, 0x1122334455667788ull, 5, 0x02, 0x0009, 0xC0000004},
        PcapTransfer::Bulk, {});
    EXPECT_EQ(writer.RecordCount(), 2u);
    writer.Close();

    const std::vector<Record> records = Records(ReadFile(path));
    ASSERT_EQ(records.size(), 2u);
    const Record& submit = records[0];
    EXPECT_EQ(submit.seconds, 12u);
    EXPECT_EQ(submit.micros, 345678u);
    EXPECT_EQ(submit.captured, 27u + 3u);
    EXPECT_EQ(submit.length, submit.captured);
    const std::vector<uint8_t>& b = submit.bytes;
    EXPECT_EQ(U16(b, 0), 27);                     // headerLen
    EXPECT_EQ(U64(b, 2), 0x1122334455667788ull);  // irpId
    EXPECT_EQ(U32(b, 10), 0u);                    // status
    EXPECT_EQ(U16(b, 14), 0x0009);                // function
    EXPECT_EQ(b[16], 0);                          // info: submission
    EXPECT_EQ(U16(b, 17), 3);                     // bus
    EXPECT_EQ(U16(b, 19), 5);                     // device
    EXPECT_EQ(b[21], 0x02);                       // endpoint
    EXPECT_EQ(b[22], 3);                          // transfer: bulk
    EXPECT_EQ(U32(b, 23), 3u);                    // dataLength
    EXPECT_EQ(std::vector<uint8_t>(b.begin() + 27, b.end()), std::vector<uint8_t>(data, data + 3));

    const std::vector<uint8_t>& c = records[1].bytes;
    EXPECT_EQ(records[1].micros, 345679u);
    EXPECT_EQ(U32(c, 10), 0xC0000004u);
    EXPECT_EQ(c[16], 1) << "completion: PDO to FDO";
    EXPECT_EQ(U32(c, 23), 0u);
}

TEST(PcapWriter, ControlRecordsCarryStageAndSetupPacket) {
    const std::string path = TempPath("control.pcap");
    PcapWriter writer;
    ASSERT_TRUE(writer.Open(path));
    uint8_t setup[8];
    chip::SetupPacket{0x40, 0xFE, 0x0083, 3, 4}.ToBytes(setup);
    const uint8_t out[4] = {1, 2, 3, 4};
    writer.RecordControlSubmit(PcapUrb{0, 7, 1, 0x00, 0x0017, 0}, setup, out);
    writer.RecordControlComplete(PcapUrb{10, 7, 1, 0x00, 0x0017, 0});
    writer.Close();

    const std::vector<Record> records = Records(ReadFile(path));
    ASSERT_EQ(records.size(), 3u) << "setup, data and complete stages";
    const std::vector<uint8_t>& s = records[0].bytes;
    EXPECT_EQ(U16(s, 0), 28);
    EXPECT_EQ(s[22], 2) << "control";
    EXPECT_EQ(U32(s, 23), 8u);
    EXPECT_EQ(s[27], 0) << "setup stage";
    EXPECT_EQ(std::vector<uint8_t>(s.begin() + 28, s.end()),
              std::vector<uint8_t>(setup, setup + 8));
    const std::vector<uint8_t>& d = records[1].bytes;
    EXPECT_EQ(d[27], 1) << "data stage";
    EXPECT_EQ(U32(d, 23), 4u);
    EXPECT_EQ(d[16], 0);
    const std::vector<uint8_t>& c = records[2].bytes;
    EXPECT_EQ(c[27], 3) << "complete stage";
    EXPECT_EQ(c[16], 1);
    EXPECT_EQ(U32(c, 23), 0u);
}

// Runs tshark on a capture and returns its detailed decode.
std::string Decode(const std::string& path) {
    const std::string command = "tshark -r '" + path + "' -V 2>/dev/null";
    std::string text;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) {
            text.append(buffer, n);
        }
        pclose(pipe);
    }
    return text;
}

bool HaveTshark() {
    return std::system("command -v tshark >/dev/null 2>&1") == 0;
}

TEST(PcapWriter, TsharkDecodesRegisterWriteDescriptorReadAndBulkData) {
    if (!HaveTshark()) {
        GTEST_SKIP() << "tshark is not installed";
    }
    const std::string path = TempPath("decode.pcap");
    PcapWriter writer;
    ASSERT_TRUE(writer.Open(path));
    uint64_t t = 10'000'000;
    uint64_t irp = 1;

    // Register write: value 0x83 to register 3.
    uint8_t setup[8];
    chip::SetupPacket{0x40, 0xFE, 0x0083, 3, 0}.ToBytes(setup);
    writer.RecordControlSubmit(PcapUrb{t, irp, 2, 0x00, sim::usb::kUrbVendorDevice, 0}, setup);
    writer.RecordControlComplete(PcapUrb{t += 10, irp++, 2, 0x00, sim::usb::kUrbVendorDevice, 0});

    // Configuration descriptor read, answered with the chip's descriptor.
    chip::SetupPacket{0x80, 6, 0x0200, 0, 265}.ToBytes(setup);
    writer.RecordControlSubmit(
        PcapUrb{t += 10, irp, 2, 0x80, sim::usb::kUrbGetDescriptorFromDevice, 0}, setup);
    writer.RecordControlComplete(
        PcapUrb{t += 10, irp++, 2, 0x80, sim::usb::kUrbGetDescriptorFromDevice, 0},
        std::span<const uint8_t>(chip::kConfigurationDescriptor,
                                 chip::kConfigurationDescriptorSize));

    // Bulk-in data.
    const uint8_t received[4] = {0xDE, 0xAD, 0xBE, 0xEF};
    writer.RecordBulkOrInterrupt(
        false, PcapUrb{t += 10, irp, 2, 0x83, sim::usb::kUrbBulkOrInterruptTransfer, 0},
        PcapTransfer::Bulk, {});
    writer.RecordBulkOrInterrupt(
        true, PcapUrb{t += 10, irp++, 2, 0x83, sim::usb::kUrbBulkOrInterruptTransfer, 0},
        PcapTransfer::Bulk, received);
    writer.Close();

    const std::string text = Decode(path);
    ASSERT_FALSE(text.empty()) << "tshark produced nothing";
    for (const char* expected : {
             "URB_FUNCTION_VENDOR_DEVICE (0x0017)",
             "bmRequestType: 0x40",
             "Type: Vendor (0x2)",
             "bRequest: 254",
             "wValue: 0x0083",
             "wIndex: 3 (0x0003)",
             "wLength: 0",
             "Control transfer stage: Setup (0)",
             "Control transfer stage: Complete (3)",
             "URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE (0x000b)",
             "bRequest: GET DESCRIPTOR (6)",
             "bDescriptorType: CONFIGURATION (0x02)",
             "wLength: 265",
             "wTotalLength: 39",
             "bNumEndpoints: 3",
             "bEndpointAddress: 0x81  IN  Endpoint:1",
             "bEndpointAddress: 0x02  OUT  Endpoint:2",
             "bEndpointAddress: 0x83  IN  Endpoint:3",
             "URB transfer type: URB_BULK (0x03)",
             "Endpoint: 0x83, Direction: IN",
             "Direction: PDO -> FDO",
             "deadbeef",
             "Epoch Time: 1.000000000 seconds",
         }) {
        EXPECT_NE(text.find(expected), std::string::npos) << "missing: " << expected;
    }
    EXPECT_EQ(text.find("Malformed"), std::string::npos) << text;
}

}  // namespace
}  // namespace pcaptest
