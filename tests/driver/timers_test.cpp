// The path timers' flag protocol: a cancel that comes too late leaves one
// run of the DPC to ignore, and a timer armed again meanwhile keeps its own
// expiry, also when that expiry comes while the late run is still queued
// (the kernel queues a DPC once).
#include <gtest/gtest.h>

#include "driver/driver.h"
#include "tests/harness/explore.h"

namespace {

struct PathTimerRig {
    KTIMER timer;
    KDPC dpc;
    PathTimerFlags flags{};
    KSPIN_LOCK lock;
    int acted = 0;
};

VOID NTAPI CountingDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* rig = static_cast<PathTimerRig*>(context);
    KIRQL oldIrql;
    KeAcquireSpinLock(&rig->lock, &oldIrql);
    if (ConsumePathTimerRun(&rig->timer, &rig->dpc, &rig->flags)) ++rig->acted;
    KeReleaseSpinLock(&rig->lock, oldIrql);
}

// The timer expires; on that tick its cancel comes too late and it is armed
// again for the very next tick, so that under the random and PCT schedules
// the second expiry may come before the first expiry's run: exactly one run
// acts, for the second arming.
TEST(PathTimers, ATimerArmedAgainOnTheTickOfItsExpiryKeepsThatExpiry) {
    porttest::Explore("timer armed again on its expiry tick", 1000, [](const sim::Options& o) {
        return sim::RunScenario(o, [] {
            PathTimerRig rig;
            KeInitializeTimer(&rig.timer);
            KeInitializeDpc(&rig.dpc, CountingDpc, &rig);
            KeInitializeSpinLock(&rig.lock);
            KIRQL oldIrql;
            KeAcquireSpinLock(&rig.lock, &oldIrql);
            ArmPathTimer(&rig.timer, &rig.dpc, &rig.flags, MillisecondsToDueTime(1));
            KeReleaseSpinLock(&rig.lock, oldIrql);
            LARGE_INTEGER wait;
            wait.QuadPart = MillisecondsToDueTime(1);
            KeDelayExecutionThread(KernelMode, FALSE, &wait);
            KeAcquireSpinLock(&rig.lock, &oldIrql);
            CancelPathTimer(&rig.timer, &rig.flags);
            const int before = rig.acted;
            ArmPathTimer(&rig.timer, &rig.dpc, &rig.flags, -1);
            KeReleaseSpinLock(&rig.lock, oldIrql);
            wait.QuadPart = MillisecondsToDueTime(5);
            KeDelayExecutionThread(KernelMode, FALSE, &wait);
            SIM_CHECK(rig.acted == before + 1);
            SIM_CHECK((rig.flags.bits & TIMER_ARMED) == 0 && rig.flags.bits == 0);
            KeFlushQueuedDpcs();
        });
    });
}

}  // namespace
