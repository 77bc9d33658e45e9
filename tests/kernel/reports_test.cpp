// What a failed run says about itself: the replay line with every option
// that made the run what it was.
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

}  // namespace
