// Baud divisors: the table of standard rates, the computed rule around it,
// and the rates for which no divisor exists.
#include <gtest/gtest.h>

#include "uart/uart.h"

namespace {

struct RateCase {
    ULONG rate;
    ULONG divisor;
};

// Every row of the table, in table order.
constexpr RateCase kTableRows[] = {
    {3000000, 1}, {1500000, 2}, {1000000, 3}, {500000, 6},  {230400, 13}, {115200, 26},
    {57600, 52},  {38400, 78},  {28800, 104}, {19200, 156}, {14400, 208}, {9600, 312},
    {7200, 416},  {4800, 625},  {3600, 832},  {2400, 1250}, {1800, 1664}, {1200, 2500},
    {600, 5000},  {300, 10000}, {150, 20000}, {75, 40000},
};

TEST(BaudDivisorTable, HoldsTheStandardRatesInSearchOrder) {
    ASSERT_EQ(sizeof(BaudDivisorTable) / sizeof(BaudDivisorTable[0]), std::size(kTableRows));
    for (size_t row = 0; row < std::size(kTableRows); ++row) {
        SCOPED_TRACE(row);
        EXPECT_EQ(BaudDivisorTable[row].rate, kTableRows[row].rate);
        EXPECT_EQ(BaudDivisorTable[row].divisor, kTableRows[row].divisor);
        EXPECT_EQ(ComputeBaudDivisor(kTableRows[row].rate), kTableRows[row].divisor);
    }
}

TEST(BaudDivisorTable, RatesThatDoNotDivideTheReferenceShareOneOffset) {
    // 230400 down to 1800 carry 13 * (230400 / rate) unless 3,000,000 divides evenly.
    for (const BaudDivisor& row : BaudDivisorTable) {
        SCOPED_TRACE(row.rate);
        if (UART_BAUD_REFERENCE % row.rate == 0) {
            EXPECT_EQ(row.divisor, UART_BAUD_REFERENCE / row.rate);
        } else {
            EXPECT_EQ(row.divisor, 13 * (230400 / row.rate));
        }
    }
}

// The table wins over the computed rule, and the rule rounds halves up.
constexpr RateCase kComputedCases[] = {
    {9600, 312},   // rule would give 313
    {7200, 416},   // rule would give 417
    {3600, 832},   // rule would give 833
    {1800, 1664},  // rule would give 1667
    {10000, 300}, {100000, 30}, {46, 65217},
    {250000, 12}, {921600, 3},   // 3 rest 235,200, below 460,800
    {3000000, 1}, {1200000, 3},  // 2 rest 600,000 >= 600,000
    {2000000, 2},                // 1 rest 1,000,000 >= 1,000,000
    {47, 63830},  {12345, 243}, {2999999, 1},
};

TEST(ComputeBaudDivisor, TableBeforeRuleAndHalvesRoundUp) {
    for (const RateCase& c : kComputedCases) {
        SCOPED_TRACE(c.rate);
        EXPECT_EQ(ComputeBaudDivisor(c.rate), c.divisor);
    }
}

TEST(ComputeBaudDivisor, RatesWithoutADivisorGetNone) {
    for (ULONG rate : {0u, 1u, 13u, 45u, 3000001u, 4000000u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(rate);
        EXPECT_EQ(ComputeBaudDivisor(rate), 0u);
    }
}

TEST(ComputeBaudDivisor, EveryComputedDivisorFitsTheSixteenBitLatch) {
    for (ULONG rate = UART_MIN_COMPUTED_RATE; rate <= UART_BAUD_REFERENCE; rate += 7) {
        ULONG divisor = ComputeBaudDivisor(rate);
        ASSERT_GE(divisor, 1u) << rate;
        ASSERT_LE(divisor, 0xFFFFu) << rate;
    }
}

}  // namespace
