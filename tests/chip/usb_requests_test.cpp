// The chip's USB face: descriptors, standard requests, the register request.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tests/chip/chip_harness.h"

namespace chiptest {
namespace {

// The chip must be usable as a kernel global: constant-initialised, no
// constructor run at load time.
constinit BridgeChip gConstantInitialisedChip;

TEST(Descriptors, DeviceDescriptorBytes) {
    const uint8_t expected[18] = {18,   1,    0x00, 0x02, 0,    0, 0, 64, 0x2B,
                                  0x1A, 0x01, 0x00, 0x00, 0x01, 0, 0, 0,  1};
    EXPECT_EQ(0, std::memcmp(chip::kDeviceDescriptor, expected, sizeof expected));
}

TEST(Descriptors, ConfigurationHasOneInterfaceWithThreePipesInOrder) {
    const uint8_t* d = chip::kConfigurationDescriptor;
    ASSERT_EQ(chip::kConfigurationDescriptorSize, 39u);
    EXPECT_EQ(d[0], 9);
    EXPECT_EQ(d[1], 2);
    EXPECT_EQ(d[2] | d[3] << 8, 39);  // wTotalLength covers everything
    EXPECT_EQ(d[4], 1);               // one interface
    EXPECT_EQ(d[5], 1);               // configuration value
    // Interface descriptor.
    EXPECT_EQ(d[9], 9);
    EXPECT_EQ(d[10], 4);
    EXPECT_EQ(d[13], 3);  // three endpoints
    // Endpoints: address, attributes, max packet, in pipe order.
    struct Ep {
        uint8_t address, attributes;
        uint16_t maxPacket;
    };
    const Ep expected[3] = {{0x81, 0x03, 8}, {0x02, 0x02, 64}, {0x83, 0x02, 64}};
    for (int i = 0; i < 3; ++i) {
        const uint8_t* e = d + 18 + 7 * i;
        SCOPED_TRACE(i);
        EXPECT_EQ(e[0], 7);
        EXPECT_EQ(e[1], 5);
        EXPECT_EQ(e[2], expected[i].address);
        EXPECT_EQ(e[3], expected[i].attributes);
        EXPECT_EQ(e[4] | e[5] << 8, expected[i].maxPacket);
    }
}

struct DescriptorRead {
    uint8_t type;
    uint16_t wLength;
    uint32_t buffer;
    uint32_t expectedLength;
};

class GetDescriptor : public ::testing::TestWithParam<DescriptorRead> {};

TEST_P(GetDescriptor, HonoursWLengthAndBuffer) {
    const DescriptorRead p = GetParam();
    Harness h;
    std::vector<uint8_t> buffer(p.buffer + 4, 0xEE);
    const TransferResult r =
        h.Request(SetupPacket{0x80, 6, static_cast<uint16_t>(p.type << 8), 0, p.wLength},
                  buffer.data(), p.buffer);
    ASSERT_EQ(r.outcome, Outcome::Done);
    EXPECT_EQ(r.length, p.expectedLength);
    const uint8_t* source = p.type == 1 ? chip::kDeviceDescriptor : chip::kConfigurationDescriptor;
    EXPECT_EQ(0, std::memcmp(buffer.data(), source, r.length));
    EXPECT_EQ(buffer[r.length], 0xEE) << "wrote past the data stage";
}

INSTANTIATE_TEST_SUITE_P(
    Table, GetDescriptor,
    ::testing::Values(DescriptorRead{1, 18, 18, 18}, DescriptorRead{1, 64, 64, 18},
                      DescriptorRead{1, 8, 64, 8}, DescriptorRead{1, 0, 64, 0},
                      DescriptorRead{2, 265, 265, 39}, DescriptorRead{2, 9, 265, 9},
                      DescriptorRead{2, 265, 20, 20}, DescriptorRead{2, 39, 39, 39}));

TEST(GetDescriptor, UnknownDescriptorsStall) {
    Harness h;
    uint8_t buffer[64];
    for (uint16_t value : {0x0300, 0x0301, 0x0600, 0x0201, 0x0101, 0x2200}) {
        EXPECT_TRUE(h.Request(SetupPacket{0x80, 6, value, 0, 64}, buffer, 64).Stalled())
            << std::hex << value;
    }
}

TEST(Configuration, SetAndGet) {
    Harness h;
    uint8_t value = 0xFF;
    ASSERT_EQ(h.Request(SetupPacket{0x80, 8, 0, 0, 1}, &value, 1).length, 1u);
    EXPECT_EQ(value, 0);
    h.Configure();
    EXPECT_EQ(h.chip.Configuration(), 1);
    ASSERT_EQ(h.Request(SetupPacket{0x80, 8, 0, 0, 1}, &value, 1).length, 1u);
    EXPECT_EQ(value, 1);
    EXPECT_TRUE(h.Request(SetupPacket{0x00, 9, 2, 0, 0}).Stalled());
    EXPECT_EQ(h.chip.Configuration(), 1);
    EXPECT_EQ(h.Request(SetupPacket{0x00, 9, 0, 0, 0}).outcome, Outcome::Done);
    EXPECT_EQ(h.chip.Configuration(), 0);
}

TEST(Configuration, DataEndpointsStallUntilConfigured) {
    Harness h;
    uint8_t buffer[64] = {};
    EXPECT_TRUE(h.chip.BulkOut(0, buffer, 1).Stalled());
    EXPECT_TRUE(h.chip.BulkIn(0, buffer, 64).Stalled());
    EXPECT_TRUE(h.chip.StatusIn(0, buffer, 4).Stalled());
    h.Configure();
    EXPECT_EQ(h.chip.BulkOut(0, buffer, 1).outcome, Outcome::Done);
    EXPECT_EQ(h.chip.BulkIn(0, buffer, 64).outcome, Outcome::Nak);
    EXPECT_EQ(h.chip.StatusIn(0, buffer, 4).outcome, Outcome::Nak);
}

TEST(Configuration, SetAddressOnlyBeforeConfiguration) {
    Harness h;
    EXPECT_EQ(h.Request(SetupPacket{0x00, 5, 7, 0, 0}).outcome, Outcome::Done);
    EXPECT_EQ(h.chip.Address(), 7);
    EXPECT_TRUE(h.Request(SetupPacket{0x00, 5, 128, 0, 0}).Stalled());
    h.Configure();
    EXPECT_TRUE(h.Request(SetupPacket{0x00, 5, 9, 0, 0}).Stalled());
    EXPECT_EQ(h.chip.Address(), 7);
}

TEST(Configuration, InterfaceRequests) {
    Harness h;
    uint8_t value = 0xFF;
    EXPECT_TRUE(h.Request(SetupPacket{0x81, 10, 0, 0, 1}, &value, 1).Stalled());
    h.Configure();
    ASSERT_EQ(h.Request(SetupPacket{0x81, 10, 0, 0, 1}, &value, 1).length, 1u);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(h.Request(SetupPacket{0x01, 11, 0, 0, 0}).outcome, Outcome::Done);
    EXPECT_TRUE(h.Request(SetupPacket{0x01, 11, 1, 0, 0}).Stalled());
    EXPECT_TRUE(h.Request(SetupPacket{0x01, 11, 0, 1, 0}).Stalled());
}

TEST(EndpointHalt, SetGetClearOnEveryEndpoint) {
    Harness h;
    h.Configure();
    for (uint16_t ep : {0x00, 0x80, 0x81, 0x02, 0x83}) {
        SCOPED_TRACE(ep);
        uint8_t status[2] = {0xFF, 0xFF};
        ASSERT_EQ(h.Request(SetupPacket{0x82, 0, 0, ep, 2}, status, 2).length, 2u);
        EXPECT_EQ(status[0], 0);
        if (ep != 0x00 && ep != 0x80) {
            ASSERT_EQ(h.Request(SetupPacket{0x02, 3, 0, ep, 0}).outcome, Outcome::Done);
            ASSERT_EQ(h.Request(SetupPacket{0x82, 0, 0, ep, 2}, status, 2).length, 2u);
            EXPECT_EQ(status[0], 1);
        }
        EXPECT_EQ(h.Request(SetupPacket{0x02, 1, 0, ep, 0}).outcome, Outcome::Done);
        EXPECT_FALSE(h.chip.EndpointHalted(static_cast<uint8_t>(ep)));
    }
    EXPECT_TRUE(h.Request(SetupPacket{0x02, 1, 0, 0x84, 0}).Stalled());
    EXPECT_TRUE(h.Request(SetupPacket{0x02, 1, 0, 0x01, 0}).Stalled());
}

TEST(EndpointHalt, HaltedBulkEndpointStallsUntilCleared) {
    Harness h;
    h.Configure();
    ASSERT_TRUE(h.chip.HaltEndpoint(0x02));
    const uint8_t data[3] = {1, 2, 3};
    EXPECT_TRUE(h.chip.BulkOut(0, data, 3).Stalled());
    EXPECT_TRUE(h.chip.BulkOut(0, data, 3).Stalled()) << "a halt stays until cleared";
    ASSERT_EQ(h.Request(SetupPacket{0x02, 1, 0, 0x02, 0}).outcome, Outcome::Done);
    EXPECT_EQ(h.chip.BulkOut(0, data, 3).outcome, Outcome::Done);
}

TEST(EndpointHalt, HaltedControlEndpointAnswersOnlyItsClearFeature) {
    Harness h;
    ASSERT_TRUE(h.chip.HaltEndpoint(0x00));
    uint8_t buffer[18];
    EXPECT_TRUE(h.Request(SetupPacket{0x80, 6, 0x0100, 0, 18}, buffer, 18).Stalled());
    EXPECT_TRUE(h.Request(SetupPacket{0x02, 1, 0, 0x81, 0}).Stalled());
    uint8_t value = 0;
    EXPECT_TRUE(h.ReadRegister(3, &value).Stalled());
    ASSERT_EQ(h.Request(SetupPacket{0x02, 1, 0, 0x00, 0}).outcome, Outcome::Done);
    EXPECT_EQ(h.Request(SetupPacket{0x80, 6, 0x0100, 0, 18}, buffer, 18).length, 18u);
}

TEST(EndpointHalt, SelectingTheConfigurationAgainClearsDataHalts) {
    Harness h;
    h.Configure();
    h.chip.HaltEndpoint(0x83);
    h.Configure();
    EXPECT_FALSE(h.chip.EndpointHalted(0x83));
}

TEST(RegisterRequest, EveryRegisterUpToSixteenAnswers) {
    Harness h;
    for (uint16_t reg = 0; reg <= 16; ++reg) {
        uint8_t value;
        EXPECT_EQ(h.ReadRegister(reg, &value).outcome, Outcome::Done) << reg;
        EXPECT_EQ(h.WriteRegister(reg, 0).outcome, Outcome::Done) << reg;
    }
}

TEST(RegisterRequest, RegistersAboveSixteenStall) {
    Harness h;
    for (uint16_t reg : {17, 18, 255, 256, 0x0103, 0xFFFF}) {
        uint8_t value = 0x5A;
        EXPECT_TRUE(h.ReadRegister(reg, &value).Stalled()) << reg;
        EXPECT_EQ(value, 0x5A) << "a stalled read must not fill the buffer";
        EXPECT_TRUE(h.WriteRegister(reg, 1).Stalled()) << reg;
    }
}

TEST(RegisterRequest, MalformedRequestsStall) {
    Harness h;
    uint8_t data[4] = {};
    // A write with a data stage, a read without one, another vendor request,
    // the right request with the class type or an interface recipient.
    EXPECT_TRUE(h.Request(SetupPacket{0x40, 0xFE, 1, 7, 1}, data, 1).Stalled());
    EXPECT_TRUE(h.Request(SetupPacket{0xC0, 0xFE, 0, 7, 0}).Stalled());
    EXPECT_TRUE(h.Request(SetupPacket{0x40, 0xFD, 1, 7, 0}).Stalled());
    EXPECT_TRUE(h.Request(SetupPacket{0x21, 0xFE, 1, 7, 0}).Stalled());
    EXPECT_TRUE(h.Request(SetupPacket{0x41, 0xFE, 1, 7, 0}).Stalled());
    EXPECT_EQ(h.Reg(7), 0) << "no malformed write may reach the register";
}

TEST(RegisterRequest, ReadReturnsOneByteEvenWhenMoreIsAsked) {
    Harness h;
    h.SetReg(7, 0x42);
    uint8_t data[4] = {0, 0xEE, 0xEE, 0xEE};
    const TransferResult r = h.Request(SetupPacket{0xC0, 0xFE, 0, 7, 4}, data, 4);
    ASSERT_EQ(r.outcome, Outcome::Done);
    EXPECT_EQ(r.length, 1u);
    EXPECT_EQ(data[0], 0x42);
    EXPECT_EQ(data[1], 0xEE);
}

TEST(RegisterRequest, WriteUsesTheLowByteOfWValue) {
    Harness h;
    ASSERT_EQ(h.Request(SetupPacket{0x40, 0xFE, 0x1234, 9, 0}).outcome, Outcome::Done);
    EXPECT_EQ(h.Reg(9), 0x34);
}

TEST(BusReset, ReturnsToPowerOnStateAndDeconfigures) {
    Harness h;
    h.Configure();
    h.SetReg(4, 0x03);
    h.SetReg(12, 0x77);
    h.chip.HaltEndpoint(0x81);
    h.chip.BusReset(h.now);
    EXPECT_EQ(h.chip.Configuration(), 0);
    EXPECT_FALSE(h.chip.EndpointHalted(0x81));
    EXPECT_EQ(h.Reg(4), 0);
    EXPECT_EQ(h.Reg(12), 0);
}

}  // namespace
}  // namespace chiptest
