// run_once.h - runs one fuzzer input in a fresh simulation. The run keeps no
// trace: formatting the text of every event is a large share of an
// execution and nobody reads it unless the run fails. When it fails, the
// same input runs again with the trace kept; a run is deterministic, so it
// fails the same way and the report ends with the events that led there.
#pragma once

#include <cstdio>
#include <cstdlib>

#include "sim/kernel/sim.h"

namespace fuzz {

// `run` builds and runs the whole scenario under the options it is given.
template <class Run>
int RunOnce(Run run) {
    sim::Options quiet;
    quiet.traceCapacity = 0;
    const sim::RunResult r = run(quiet);
    if (r.ok) return 0;
    const sim::RunResult traced = run(sim::Options{});
    if (traced.ok)
        std::fprintf(stderr,
                     "the run passed when it kept a trace: a nondeterministic simulation\n");
    std::fprintf(stderr, "%s\n", (traced.ok ? r : traced).Report().c_str());
    std::abort();
}

}  // namespace fuzz
