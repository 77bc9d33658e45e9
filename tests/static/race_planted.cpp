// The race detector's planted fault and its controls, built with
// ThreadSanitizer like the driver. Each case runs two simulated threads
// over one counter:
//   wrong-lock  one adds under spin lock A, the other reads under spin lock
//               B: nothing orders them, the detector must report a race;
//   same-lock   both under A: no report;
//   handoff     one adds with no lock, then queues a DPC that reads it and
//               sets an event; the waiter reads it after the event: the DPC
//               and the event order them, no report.
// The cases run under every schedule the seed gives; the counter's value is
// printed so that the accesses are not optimised away.
#include <cstdio>
#include <cstring>

#include "sim/kernel/sim.h"

namespace {

struct Shared {
    KSPIN_LOCK a;
    KSPIN_LOCK b;
    ULONG counter;
    ULONG seen;
    KDPC dpc;
    KEVENT done;
};

Shared shared;

VOID NTAPI ReadInDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* s = static_cast<Shared*>(context);
    s->seen = s->counter;
    KeSetEvent(&s->done, IO_NO_INCREMENT, FALSE);
}

void AddUnder(PKSPIN_LOCK lock) {
    KIRQL irql;
    KeAcquireSpinLock(lock, &irql);
    shared.counter = shared.counter + 1;
    KeReleaseSpinLock(lock, irql);
}

ULONG ReadUnder(PKSPIN_LOCK lock) {
    KIRQL irql;
    KeAcquireSpinLock(lock, &irql);
    ULONG value = shared.counter;
    KeReleaseSpinLock(lock, irql);
    return value;
}

}  // namespace

// The simulated kernel is a shared library built without the detector: its
// calls into the detector's interceptors are not judged.
extern "C" const char* __tsan_default_options() {
    return "ignore_noninstrumented_modules=1:detect_deadlocks=0:halt_on_error=0:exitcode=66";
}

int main(int argc, char** argv) {
    const char* kase = argc > 1 ? argv[1] : "";
    const bool wrongLock = std::strcmp(kase, "wrong-lock") == 0;
    const bool sameLock = std::strcmp(kase, "same-lock") == 0;
    const bool handoff = std::strcmp(kase, "handoff") == 0;
    if (!wrongLock && !sameLock && !handoff) {
        std::fprintf(stderr, "usage: race_planted wrong-lock|same-lock|handoff\n");
        return 2;
    }
    sim::Options options;
    options.strategy = sim::Strategy::Random;
    options.seed = 1;
    auto result = sim::RunScenario(options, [&] {
        KeInitializeSpinLock(&shared.a);
        KeInitializeSpinLock(&shared.b);
        KeInitializeDpc(&shared.dpc, ReadInDpc, &shared);
        KeInitializeEvent(&shared.done, NotificationEvent, FALSE);
        auto& s = sim::Simulation::Current();
        if (handoff) {
            auto writer = s.StartThread("writer", [] {
                shared.counter = shared.counter + 1;
                KeInsertQueueDpc(&shared.dpc, nullptr, nullptr);
            });
            KeWaitForSingleObject(&shared.done, Executive, KernelMode, FALSE, nullptr);
            shared.seen = shared.seen + shared.counter;
            s.Join(writer);
            return;
        }
        auto writer = s.StartThread("writer", [] { AddUnder(&shared.a); });
        auto reader = s.StartThread("reader", [wrongLock] {
            shared.seen = ReadUnder(wrongLock ? &shared.b : &shared.a);
        });
        s.Join(writer);
        s.Join(reader);
    });
    if (!result.ok) {
        std::fprintf(stderr, "%s\n", result.Report().c_str());
        return 1;
    }
    std::printf("%s: counter %u, seen %u\n", kase, shared.counter, shared.seen);
    return 0;
}
