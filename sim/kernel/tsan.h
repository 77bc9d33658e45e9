// tsan.h - the simulated kernel's ordering, told to ThreadSanitizer.
//
// In the race-detector build (SIM_TSAN) only the driver is instrumented.
// Every simulated thread is a fiber of its own to the detector, and a
// switch between fibers orders nothing; what orders the driver's accesses
// is what orders them on Windows: a spin lock's release before its next
// acquisition, a signalled event or released mutex before the wait it
// satisfies, a DPC's queueing or a timer's arming before the DPC runs, a
// request's passing down before its completion, an interlocked operation
// before the next one on the same word, a thread's start and end. Each of
// those places calls Release or Acquire on the object; an access to shared
// driver state with no such chain between two simulated threads is a race
// the detector reports. Elsewhere the calls are empty.
#pragma once

#if SIM_TSAN
#include <sanitizer/tsan_interface.h>
#endif

namespace sim::tsan {

#if SIM_TSAN
inline void Release(const void* object) { __tsan_release(const_cast<void*>(object)); }
inline void Acquire(const void* object) { __tsan_acquire(const_cast<void*>(object)); }
#else
inline void Release(const void*) {}
inline void Acquire(const void*) {}
#endif

}  // namespace sim::tsan
