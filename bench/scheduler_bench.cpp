// Scheduler throughput: scheduling points per second under each strategy,
// and the wall cost of a simulated one-second delay.
//
//   build/release/bench/scheduler_bench
#include <benchmark/benchmark.h>

#include "sim/kernel/sim.h"

namespace {

// Two simulated threads each make `points` kernel calls.
void SchedulingPoints(benchmark::State& state, sim::Strategy strategy) {
    const int points = static_cast<int>(state.range(0));
    uint64_t total = 0, switches = 0;
    uint64_t seed = 1;
    for (auto _ : state) {
        sim::Options o;
        o.strategy = strategy;
        o.seed = seed++;
        auto r = sim::RunScenario(o, [points] {
            auto& s = sim::Simulation::Current();
            static LONG counter;
            counter = 0;
            auto body = [points] {
                for (int i = 0; i < points; ++i) InterlockedIncrement(&counter);
            };
            auto a = s.StartThread("a", body);
            auto b = s.StartThread("b", body);
            s.Join(a);
            s.Join(b);
        });
        if (!r.ok) state.SkipWithError(r.Report().c_str());
        total += r.schedulingPoints;
        switches += r.contextSwitches;
    }
    state.counters["points/s"] =
        benchmark::Counter(static_cast<double>(total), benchmark::Counter::kIsRate);
    state.counters["switches/s"] =
        benchmark::Counter(static_cast<double>(switches), benchmark::Counter::kIsRate);
}

void BM_SchedulingPointsSequential(benchmark::State& state) {
    SchedulingPoints(state, sim::Strategy::Sequential);
}
void BM_SchedulingPointsRandom(benchmark::State& state) {
    SchedulingPoints(state, sim::Strategy::Random);
}
void BM_SchedulingPointsPct(benchmark::State& state) {
    SchedulingPoints(state, sim::Strategy::Pct);
}
BENCHMARK(BM_SchedulingPointsSequential)->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SchedulingPointsRandom)->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SchedulingPointsPct)->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime();

// As SchedulingPoints, with a periodic 1 ms timer and its DPC queued all the
// time: under random and PCT every scheduling point finds an event within the
// clock-advance window, draws the seeded chance, and one point in ten moves
// the clock and fires the timer while the threads run.
void SchedulingPointsWithTimer(benchmark::State& state, sim::Strategy strategy) {
    const int points = static_cast<int>(state.range(0));
    uint64_t total = 0, switches = 0, virtualTime = 0;
    uint64_t seed = 1;
    for (auto _ : state) {
        sim::Options o;
        o.strategy = strategy;
        o.seed = seed++;
        auto r = sim::RunScenario(o, [points] {
            auto& s = sim::Simulation::Current();
            static LONG counter, ticks;
            static KTIMER timer;
            static KDPC dpc;
            counter = 0;
            ticks = 0;
            KeInitializeTimer(&timer);
            KeInitializeDpc(
                &dpc, [](PKDPC, PVOID, PVOID, PVOID) { InterlockedIncrement(&ticks); }, nullptr);
            LARGE_INTEGER due;
            due.QuadPart = -10'000;
            KeSetTimerEx(&timer, due, 1, &dpc);
            auto body = [points] {
                for (int i = 0; i < points; ++i) InterlockedIncrement(&counter);
            };
            auto a = s.StartThread("a", body);
            auto b = s.StartThread("b", body);
            s.Join(a);
            s.Join(b);
            KeCancelTimer(&timer);
            KeFlushQueuedDpcs();
        });
        if (!r.ok) state.SkipWithError(r.Report().c_str());
        total += r.schedulingPoints;
        switches += r.contextSwitches;
        virtualTime += r.virtualTime;
    }
    state.counters["points/s"] =
        benchmark::Counter(static_cast<double>(total), benchmark::Counter::kIsRate);
    state.counters["switches/s"] =
        benchmark::Counter(static_cast<double>(switches), benchmark::Counter::kIsRate);
    state.counters["virtual_ms"] = benchmark::Counter(static_cast<double>(virtualTime) / 10'000.0,
                                                      benchmark::Counter::kAvgIterations);
}

void BM_SchedulingPointsWithTimerSequential(benchmark::State& state) {
    SchedulingPointsWithTimer(state, sim::Strategy::Sequential);
}
void BM_SchedulingPointsWithTimerRandom(benchmark::State& state) {
    SchedulingPointsWithTimer(state, sim::Strategy::Random);
}
void BM_SchedulingPointsWithTimerPct(benchmark::State& state) {
    SchedulingPointsWithTimer(state, sim::Strategy::Pct);
}
BENCHMARK(BM_SchedulingPointsWithTimerSequential)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_SchedulingPointsWithTimerRandom)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_SchedulingPointsWithTimerPct)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// A whole simulation whose one thread waits one simulated second.
void BM_OneSecondDelay(benchmark::State& state) {
    for (auto _ : state) {
        auto r = sim::RunScenario({}, [] {
            LARGE_INTEGER second;
            second.QuadPart = -10'000'000;
            KeDelayExecutionThread(KernelMode, FALSE, &second);
        });
        if (!r.ok || r.virtualTime != 10'000'000u) state.SkipWithError("wrong virtual time");
    }
}
BENCHMARK(BM_OneSecondDelay)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
