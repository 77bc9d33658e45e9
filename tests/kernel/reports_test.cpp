// What a failed run says about itself: the replay line with every option
// that made the run what it was, a failed check's values, and a planned
// fault that never happened.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "sim/kernel/sim.h"

namespace {

// The replay line names the strategy, the seed, the PCT depth under PCT and
// each option that differs from its default (those of the other strategy
// left out), and each option it names sets back to the same run.
TEST(Replay, LineNamesTheDepthAndEveryChangedOptionAndTheySetBack) {
    const struct {
        std::function<void(sim::Options&)> change;
        const char* line;
    } cases[] = {
        {[](sim::Options&) {}, "strategy=sequential seed=1"},
        {[](sim::Options& o) {
             o.strategy = sim::Strategy::Pct;
             o.seed = 7;
             o.pctDepth = 2;
             o.randomSwitchPercent = 50;  // not a PCT option
         },
         "strategy=pct seed=7 pct-depth=2"},
        {[](sim::Options& o) {
             o.strategy = sim::Strategy::Random;
             o.seed = 3;
             o.pctDepth = 2;  // not a random option
             o.randomSwitchPercent = 50;
             o.clockAdvancePercent = 10;
             o.processors = 4;
             o.singleDriverSpinLock = false;
         },
         "strategy=random seed=3 random-switch-percent=50 clock-advance-percent=10 processors=4 "
         "single-driver-spin-lock=off"},
    };
    for (const auto& c : cases) {
        sim::Options o;
        c.change(o);
        const sim::RunResult r = sim::RunScenario(o, [] {});
        EXPECT_EQ(r.Replay(), c.line);
        sim::Options back;
        back.strategy = o.strategy;
        for (const std::string& option : sim::ChangedOptions(o))
            EXPECT_TRUE(sim::SetOption(&back, option)) << option;
        EXPECT_EQ(sim::ChangedOptions(back), sim::ChangedOptions(o)) << c.line;
    }
    sim::Options o;
    EXPECT_FALSE(sim::SetOption(&o, "no-such-option=1"));
    EXPECT_FALSE(sim::SetOption(&o, "processors=two"));
    EXPECT_FALSE(sim::SetOption(&o, "check-pool-at-end=yes"));
}

// A component's setting noted during the run follows the options, once.
TEST(Replay, LineNamesTheSettingsComponentsNoted) {
    const sim::RunResult r = sim::RunScenario({}, [] {
        sim::Simulation::Current().NoteSetting("usb-timing=immediate");
        sim::Simulation::Current().NoteSetting("usb-timing=immediate");
    });
    EXPECT_EQ(r.Replay(), "strategy=sequential seed=1 usb-timing=immediate");
}

// A failed comparison names both sides with their values, the file and the
// line; integers compare by value whatever their signedness.
TEST(Checks, AFailedComparisonPrintsBothValuesTheFileAndTheLine) {
    const struct {
        std::function<void()> body;
        std::vector<const char*> says;
    } cases[] = {
        {[] {
             const uint32_t moved = 3;
             SIM_CHECK_EQ(moved, 4);
         },
         {"check failed: moved == 4 (", "  moved: 3\n", "  4: 4"}},
        {[] {
             const NTSTATUS status = STATUS_CANCELLED;
             SIM_CHECK_EQ(status, STATUS_SUCCESS);
         },
         {"status: -1073741536 (0xC0000120)", "STATUS_SUCCESS: 0"}},
        {[] { SIM_CHECK_EQ(-1, 0xFFFFFFFFu); }, {"0xFFFFFFFFu: 4294967295 (0xFFFFFFFF)"}},
        {[] {
             const std::string text = "ab\r";
             SIM_CHECK_NE(text, "ab\r");
         },
         {"text != \"ab\\r\"", "text: \"ab\\x0D\""}},
        {[] {
             const std::vector<uint8_t> bytes = {0x41, 0x54};
             SIM_CHECK_EQ(bytes, (std::vector<uint8_t>{0x41}));
         },
         {"bytes: {65 (0x41), 84 (0x54)}"}},
        {[] { SIM_CHECK_LT(5u, 2); }, {"5u < 2", "5u: 5"}},
        {[] { SIM_CHECK(1 + 1 == 3); }, {"check failed: 1 + 1 == 3 ("}},
    };
    for (const auto& c : cases) {
        const sim::RunResult r = sim::RunScenario({}, c.body);
        ASSERT_FALSE(r.ok);
        EXPECT_NE(r.failure.find("reports_test.cpp:"), std::string::npos) << r.failure;
        for (const char* text : c.says) EXPECT_NE(r.failure.find(text), std::string::npos) << r.failure;
    }
    const sim::RunResult r = sim::RunScenario({}, [] {
        SIM_CHECK_EQ(-1, -1);
        SIM_CHECK_NE(-1, 0xFFFFFFFFu);
        SIM_CHECK_GE(2u, 2);
        SIM_CHECK_GT(0, -1);
        SIM_CHECK_LE(std::string("a"), "b");
    });
    EXPECT_TRUE(r.ok) << r.Report();
}

// A planned fault that never fires fails the run, naming the plan: the
// routine never called, called too few times, a plan cleared before its
// call, an always-failing plan never reached. Plans that fire pass.
TEST(Faults, APlanThatNeverFiresFailsTheRunNamingIt) {
    const struct {
        const char* routine;
        int nth;     // 0: every call fails
        int calls;   // IoAllocateIrp calls made after the plan
        bool clear;  // the plan is cleared after the calls
        const char* says;  // null: the run passes
    } cases[] = {
        {"IoAllocateIrp", 2, 2, false, nullptr},
        {"IoAllocateIrp", 0, 1, true, nullptr},
        {"IoAllocateIRP", 1, 2, false, "call 1 of IoAllocateIRP"},
        {"IoAllocateIrp", 3, 2, false, "call 3 of IoAllocateIrp (STATUS_INSUFFICIENT_RESOURCES) "
                                       "never fired: IoAllocateIrp was called 2 time(s)"},
        {"IoAllocateIrp", 3, 2, true, "cleared before it fired"},
        {"IoAllocateIrp", 0, 0, false, "every call of IoAllocateIrp"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.routine << " " << c.nth << " " << c.calls);
        const sim::RunResult r = sim::RunScenario({}, [&c] {
            sim::Faults& faults = sim::Simulation::Current().faults();
            if (c.nth)
                faults.FailCall(c.routine, STATUS_INSUFFICIENT_RESOURCES, c.nth);
            else
                faults.FailAlways(c.routine, STATUS_INSUFFICIENT_RESOURCES);
            for (int i = 0; i < c.calls; ++i)
                if (PIRP irp = IoAllocateIrp(1, FALSE)) IoFreeIrp(irp);
            if (c.clear) faults.Clear();
        });
        if (!c.says) {
            EXPECT_TRUE(r.ok) << r.Report();
            continue;
        }
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.Rule(), "fault-plan-unfired") << r.Report();
        EXPECT_NE(r.failure.find(c.says), std::string::npos) << r.failure;
    }
}

}  // namespace
