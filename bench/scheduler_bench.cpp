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
    state.counters["points/s"] = benchmark::Counter(static_cast<double>(total),
                                                    benchmark::Counter::kIsRate);
    state.counters["switches/s"] = benchmark::Counter(static_cast<double>(switches),
                                                      benchmark::Counter::kIsRate);
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
