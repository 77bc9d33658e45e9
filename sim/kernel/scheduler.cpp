// scheduler.cpp - simulated threads, the baton, the strategies, the virtual
// clock, DPC contexts, deadlock detection, and the Simulation object.
//
// Every simulated thread is a fiber (its own stack and saved registers) on
// the host thread that called Run; exactly one of them holds the baton
// (Impl::current) and runs, and handing the baton over is a user-space
// context switch. A thread gives the baton away only inside the kernel: at a
// scheduling point (a strategy may preempt it there) or when it blocks. When
// no thread can run, the clock jumps to the next timed event; when nothing is
// queued either, the run is deadlocked. Under random and PCT a scheduling
// point may also move the clock to a nearly due event (seeded), so that DPCs
// and device completions interleave with running threads. Nothing here
// depends on host addresses, host thread ids or the wall clock (except
// optional pacing).
#include <algorithm>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <limits>
#include <unistd.h>
#include <sstream>

#include "sim/kernel/internal.h"
#include "sim/kernel/tsan.h"

#if defined(__SANITIZE_ADDRESS__)
#define SIM_FIBER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SIM_FIBER_ASAN 1
#endif
#endif
#if SIM_FIBER_ASAN
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#endif
#include <pthread.h>
#include <sys/mman.h>

#include <mutex>

namespace sim {

namespace {
thread_local Simulation* tlsSim = nullptr;
thread_local SimThread* tlsThread = nullptr;
}  // namespace

Simulation* CurrentSimulation() { return tlsSim; }

namespace {

// A host crash inside a simulated thread (a driver dereferencing garbage)
// still says how to replay it and what happened last.
void CrashReport(int signal) {
    if (tlsSim && tlsThread) {
        const Options& o = tlsSim->options();
        std::string text = std::string("\n*** bridgesim: host signal ") + strsignal(signal) +
                           " in simulated thread '" + tlsThread->name + "' at IRQL " +
                           std::to_string(tlsThread->irql) + "\n    replay: strategy=" +
                           StrategyName(o.strategy) + " seed=" + std::to_string(o.seed) +
                           "\n--- last events ---\n" + tlsSim->trace().Tail(o.traceTail);
        ssize_t ignored = write(2, text.data(), text.size());
        (void)ignored;
    }
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

void InstallCrashReport() {
#if defined(__SANITIZE_ADDRESS__)
    return;  // the sanitizer's own report is better
#endif
    static bool installed = false;
    if (installed) return;
    installed = true;
    std::signal(SIGSEGV, CrashReport);
    std::signal(SIGBUS, CrashReport);
    std::signal(SIGFPE, CrashReport);
    std::signal(SIGABRT, CrashReport);
}

}  // namespace

SimThread& CurrentThread() {
    if (!tlsThread) {
        std::fprintf(stderr, "bridgesim: kernel routine called outside a simulated thread\n");
        std::abort();
    }
    return *tlsThread;
}

const char* StrategyName(Strategy strategy) {
    switch (strategy) {
        case Strategy::Sequential: return "sequential";
        case Strategy::Random: return "random";
        case Strategy::Pct: return "pct";
    }
    return "?";
}

namespace {

// The options ChangedOptions and SetOption know, by name: how to read one
// from a run's options, how to set it from text, and under which strategy
// it matters (none: under every one).
struct OptionField {
    const char* name;
    std::optional<Strategy> only;
    std::function<std::string(const Options&)> get;
    std::function<bool(Options*, const std::string&)> set;
};

bool ParseNumber(const std::string& text, uint64_t* value) {
    if (text.empty() || text.size() > 19) return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    *value = v;
    return true;
}

template <typename T>
OptionField NumberField(const char* name, std::optional<Strategy> only, T Options::*field) {
    return OptionField{
        name, only, [field](const Options& o) { return std::to_string(o.*field); },
        [field](Options* o, const std::string& text) {
            uint64_t v;
            if (!ParseNumber(text, &v) || v > static_cast<uint64_t>(std::numeric_limits<T>::max()))
                return false;
            o->*field = static_cast<T>(v);
            return true;
        }};
}

OptionField FlagField(const char* name, bool Options::*field) {
    return OptionField{name, std::nullopt,
                       [field](const Options& o) { return std::string(o.*field ? "on" : "off"); },
                       [field](Options* o, const std::string& text) {
                           if (text != "on" && text != "off") return false;
                           o->*field = text == "on";
                           return true;
                       }};
}

const std::vector<OptionField>& OptionFields() {
    static const std::vector<OptionField> fields = {
        NumberField("pct-expected-steps", Strategy::Pct, &Options::pctExpectedSteps),
        NumberField("random-switch-percent", Strategy::Random, &Options::randomSwitchPercent),
        NumberField("clock-advance-percent", std::nullopt, &Options::clockAdvancePercent),
        NumberField("clock-advance-window", std::nullopt, &Options::clockAdvanceWindow),
        NumberField("processors", std::nullopt, &Options::processors),
        NumberField("max-scheduling-points", std::nullopt, &Options::maxSchedulingPoints),
        FlagField("check-pool-at-end", &Options::checkPoolAtEnd),
        FlagField("driver-cancel-spin-lock", &Options::allowDriverCancelSpinLock),
        FlagField("single-driver-spin-lock", &Options::singleDriverSpinLock),
    };
    return fields;
}

}  // namespace

std::vector<std::string> ChangedOptions(const Options& options) {
    const Options defaults;
    std::vector<std::string> changed;
    for (const OptionField& f : OptionFields()) {
        if (f.only && *f.only != options.strategy) continue;
        const std::string value = f.get(options);
        if (value != f.get(defaults)) changed.push_back(std::string(f.name) + "=" + value);
    }
    return changed;
}

bool SetOption(Options* options, const std::string& nameValue) {
    const size_t equals = nameValue.find('=');
    if (equals == std::string::npos) return false;
    const std::string name = nameValue.substr(0, equals);
    for (const OptionField& f : OptionFields())
        if (name == f.name) return f.set(options, nameValue.substr(equals + 1));
    return false;
}

std::string RunResult::Replay() const {
    std::string line = std::string("strategy=") + StrategyName(strategy) + " seed=" +
                       std::to_string(seed);
    if (strategy == Strategy::Pct) line += " pct-depth=" + std::to_string(options.pctDepth);
    for (const std::string& option : ChangedOptions(options)) line += " " + option;
    for (const std::string& setting : settings) line += " " + setting;
    return line;
}

std::string RunResult::Rule() const {
    return bugCheck ? bugCheck->rule : failedCheck;
}

std::string RunResult::Report() const {
    std::ostringstream out;
    out << "simulation " << (ok ? "passed" : "FAILED") << " (" << Replay() << ", t="
        << virtualTime / 10 << "us, " << schedulingPoints << " scheduling points)\n";
    if (bugCheck) {
        out << "*** BUG CHECK " << bugCheck->name << " [" << bugCheck->rule
            << "]: " << bugCheck->detail << "\n"
            << "    thread '" << bugCheck->thread << "' at IRQL " << int(bugCheck->irql) << "\n"
            << "--- last events ---\n"
            << bugCheck->traceTail;
    }
    if (!deadlock.empty()) out << "*** DEADLOCK\n" << deadlock;
    if (!failure.empty()) out << "*** " << failure << "\n";
    return out.str();
}

// ---------------------------------------------------------------- Impl

Simulation::Impl::Impl(Simulation* owner) : sim(owner) {}

Simulation::Impl::~Impl() {
    // Every IRP ever allocated is in the shadow table: freed ones sit in
    // quarantine, others were still in flight when the run stopped.
    for (auto& [irp, shadow] : irps) {
        auto* p = const_cast<PIRP>(irp);
        bool platformBuffer = shadow.origin == IrpShadow::Origin::User ||
                              shadow.origin == IrpShadow::Origin::IoBuild;
        if (platformBuffer && shadow.state != IrpShadow::State::Freed)
            std::free(p->AssociatedIrp.SystemBuffer);
        std::free(p);
    }
    for (auto& [device, record] : devices) {
        if (record.memory) std::free(record.memory);
    }
}

SimThread* Simulation::Impl::Self() { return tlsThread; }

std::string Simulation::Impl::Label(const void* object, const char* kind) {
    auto it = objectLabels.find(object);
    if (it != objectLabels.end()) return it->second;
    std::string label = std::string(kind) + "#" + std::to_string(++labelSeq);
    objectLabels[object] = label;
    return label;
}

uint64_t Simulation::Impl::NextRandom(uint64_t bound) {
    if (bound <= 1) return 0;
    return rng() % bound;
}

SimThread* Simulation::Impl::NewThread(const std::string& name, std::function<void()> body,
                                       bool isDpc) {
    auto t = std::make_unique<SimThread>();
    t->id = static_cast<ThreadId>(threads.size());
    t->name = name;
    t->body = std::move(body);
    t->isDpc = isDpc;
    t->irql = isDpc ? DISPATCH_LEVEL : PASSIVE_LEVEL;
    // PCT: distinct random priorities above the change-point range.
    t->pctPriority = sim->options().pctDepth + 1 + static_cast<int>(NextRandom(1000000));
    threads.push_back(std::move(t));
    return threads.back().get();
}

namespace {

#if SIM_FIBER_ASAN
constexpr size_t kFiberStack = 4u << 20;
#else
constexpr size_t kFiberStack = 1u << 20;
#endif

// First code of every fiber: the switch that entered it held the scheduler
// lock; the thread body takes it itself.
void FiberEntry() {
    SimThread* t = tlsThread;
    Simulation::Impl& s = tlsSim->impl();
#if SIM_FIBER_ASAN
    __sanitizer_finish_switch_fiber(nullptr, nullptr, nullptr);
#endif
    tsan::Acquire(t);  // what its creator did before starting it
    s.m.unlock();
    s.ThreadMain(t);
    s.m.lock();
    s.ExitToHost(t);
}

// Fiber stacks outlive their runs: a freed stack goes to a process-wide
// pool and the next fiber takes it, so that a run (a fuzzing execution, one
// schedule of an exploration) maps no fresh memory for its threads. The
// pool keeps at most kPooledStacks.
constexpr size_t kPooledStacks = 32;
std::mutex stackPoolLock;
char* stackPool[kPooledStacks];
size_t stackPoolCount = 0;

#if SIM_FIBER_ASAN
// Clears the shadow of a pooled stack: a fiber left unwound (its frames'
// redzones still poisoned) must not make the next one's frames look
// overflowed. The shadow's whole pages are handed back to the kernel, which
// gives zero pages again on first touch, so a reuse costs the pages the
// next fiber's frames reach rather than a clear of the whole shadow.
void ClearStackShadow(char* stack) {
    size_t scale = 0, offset = 0;
    __asan_get_shadow_mapping(&scale, &offset);
    const uintptr_t begin = (reinterpret_cast<uintptr_t>(stack) >> scale) + offset;
    const uintptr_t end = ((reinterpret_cast<uintptr_t>(stack) + kFiberStack) >> scale) + offset;
    const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const uintptr_t pageBegin = (begin + page - 1) & ~(page - 1), pageEnd = end & ~(page - 1);
    if (pageBegin >= pageEnd ||
        madvise(reinterpret_cast<void*>(pageBegin), pageEnd - pageBegin, MADV_DONTNEED) != 0) {
        __asan_unpoison_memory_region(stack, kFiberStack);
        return;
    }
    std::memset(reinterpret_cast<void*>(begin), 0, pageBegin - begin);
    std::memset(reinterpret_cast<void*>(pageEnd), 0, end - pageEnd);
}
#endif

char* TakeFiberStack() {
    {
        std::lock_guard<std::mutex> g(stackPoolLock);
        if (stackPoolCount > 0) {
            char* stack = stackPool[--stackPoolCount];
#if SIM_FIBER_ASAN
            ClearStackShadow(stack);
#endif
            return stack;
        }
    }
    void* stack = mmap(nullptr, kFiberStack, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (stack == MAP_FAILED) {
        std::fprintf(stderr, "bridgesim: no memory for a simulated thread's stack\n");
        std::abort();
    }
    return static_cast<char*>(stack);
}

// The calling host thread's stack, read once per host thread (reading it
// parses /proc/self/maps on the main thread).
struct HostStack {
    bool known = false;
    void* bottom = nullptr;
    size_t size = 0;
};
thread_local HostStack hostStack;

const HostStack& CallerStack() {
    if (!hostStack.known) {
        hostStack.known = true;
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            pthread_attr_getstack(&attr, &hostStack.bottom, &hostStack.size);
            pthread_attr_destroy(&attr);
        }
    }
    return hostStack;
}

}  // namespace

void SimThread::StackReturn::operator()(char* stack) const {
    {
        std::lock_guard<std::mutex> g(stackPoolLock);
        if (stackPoolCount < kPooledStacks) {
            stackPool[stackPoolCount++] = stack;
            return;
        }
    }
    munmap(stack, kFiberStack);
}

void Simulation::Impl::StartOsThread(SimThread* t) {
    t->stack.reset(TakeFiberStack());
    getcontext(&t->context);
    t->context.uc_stack.ss_sp = t->stack.get();
    t->context.uc_stack.ss_size = kFiberStack;
    t->context.uc_link = nullptr;
    makecontext(&t->context, FiberEntry, 0);
#if SIM_TSAN
    t->raceFiber = __tsan_create_fiber(0);
#endif
    tsan::Release(t);
}

// AddressSanitizer's swapcontext interceptor clears the shadow of the whole
// target stack on every switch, which costs more than the switch; under it
// the switch is getcontext and setcontext, announced with the fiber
// annotations.
void Simulation::Impl::Jump(ucontext_t* from, void** fakeStack, SimThread* to) {
    SimThread* self = tlsThread;
    tlsThread = to;
    ucontext_t* target = to ? &to->context : &hostContext;
#if SIM_TSAN
    // A switch orders nothing: only the kernel's objects do.
    __tsan_switch_to_fiber(to ? to->raceFiber : hostRaceFiber, __tsan_switch_to_fiber_no_sync);
#endif
#if SIM_FIBER_ASAN
    volatile bool resumed = false;
    getcontext(from);
    if (!resumed) {
        resumed = true;
        if (to) __sanitizer_start_switch_fiber(fakeStack, to->stack.get(), kFiberStack);
        else __sanitizer_start_switch_fiber(fakeStack, hostStackBottom, hostStackSize);
        setcontext(target);
    }
    __sanitizer_finish_switch_fiber(fakeStack ? *fakeStack : nullptr, nullptr, nullptr);
#else
    (void)fakeStack;
    swapcontext(from, target);
#endif
    tlsThread = self;
}

void Simulation::Impl::ExitToHost(SimThread* t) {
    Jump(&t->context, nullptr, nullptr);
    std::abort();  // a finished fiber is never resumed
}

void Simulation::Impl::ThreadMain(SimThread* t) {
    {
        std::unique_lock<std::mutex> lock(m);
        if (stopping) {
            t->state = SimThread::State::Finished;
            hostCv.notify_all();
            return;
        }
    }
    bool stopped = false;
    try {
        t->body();
        tsan::Release(t);  // for the threads that join it, and the host
        if (t->mutexesOwned > 0 && !t->isDpc) {
            // Windows stops a thread that returns to user mode, or ends,
            // holding a kernel mutex.
            BugCheck("APC_INDEX_MISMATCH", "mutex-held-at-thread-end",
                     "thread '" + t->name + "' ended owning " + std::to_string(t->mutexesOwned) +
                         " kernel mutex acquisition(s)");
        }
        if (t->mustWaitNext) {
            BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION", "event-set-wait-without-wait",
                     "thread '" + t->name + "' ended after KeSetEvent with Wait TRUE without waiting");
        }
        if (t->id == 0) {
            // The end of the run: let everything that can still run without
            // advancing time finish, then stop.
            std::unique_lock<std::mutex> lock(m);
            t->wait = WaitRecord{};
            t->wait.kind = WaitRecord::Kind::Quiesce;
            t->wait.what = "end of run";
            t->wait.seq = ++waitSeq;
            t->state = SimThread::State::Blocked;
            BlockCurrent(lock);
            for (auto& other : threads) {
                if (other.get() != t && !other->isDpc &&
                    other->state != SimThread::State::Finished) {
                    result.ok = false;
                    result.failure += "thread '" + other->name +
                                      "' had not ended at the end of the run (waiting on " +
                                      other->wait.what + ")\n";
                }
            }
            finished = true;
            StopAll(lock);
            t->state = SimThread::State::Finished;
            hostCv.notify_all();
            return;
        }
    } catch (const StopUnwind&) {
        stopped = true;
    } catch (const std::exception& e) {
        std::unique_lock<std::mutex> lock(m);
        result.ok = false;
        result.failure += "exception on thread '" + t->name + "': " + e.what() + "\n";
        StopAll(lock);
        stopped = true;
    }
    std::unique_lock<std::mutex> lock(m);
    t->state = SimThread::State::Finished;
    if (stopped || stopping) {
        hostCv.notify_all();
        return;
    }
    SIM_TRACE("THREAD", "thread '" + t->name + "' ended");
    SatisfyWaits();
    try {
        BlockCurrent(lock);  // passes the baton; a finished thread never resumes
    } catch (const StopUnwind&) {
    }
    hostCv.notify_all();
}

bool Simulation::Impl::TryConsume(SimThread* t) {
    WaitRecord& w = t->wait;
    switch (w.kind) {
        case WaitRecord::Kind::Object: {
            auto* header = static_cast<DISPATCHER_HEADER*>(w.object);
            switch (header->Type) {
                case SIM_OBJECT_EVENT_NOTIFICATION:
                case SIM_OBJECT_TIMER_NOTIFICATION:
                    return header->SignalState > 0;
                case SIM_OBJECT_EVENT_SYNCHRONIZATION:
                case SIM_OBJECT_TIMER_SYNCHRONIZATION:
                    if (header->SignalState <= 0) return false;
                    header->SignalState = 0;
                    return true;
                case SIM_OBJECT_MUTEX: {
                    auto* mutex = static_cast<KMUTEX*>(w.object);
                    if (mutex->OwnerThread == reinterpret_cast<PKTHREAD>(t)) {
                        mutex->Header.SignalState = mutex->Header.SignalState - 1;
                        ++t->mutexesOwned;
                        return true;
                    }
                    if (mutex->Header.SignalState <= 0) return false;
                    mutex->Header.SignalState = mutex->Header.SignalState - 1;
                    mutex->OwnerThread = reinterpret_cast<PKTHREAD>(t);
                    ++t->mutexesOwned;
                    return true;
                }
                default:
                    return false;
            }
        }
        case WaitRecord::Kind::SpinLock: {
            auto* lock = static_cast<PKSPIN_LOCK>(w.object);
            if (*lock != 0) return false;
            *lock = static_cast<KSPIN_LOCK>(t->id) + 1;
            return true;
        }
        case WaitRecord::Kind::DpcQueue:
            return !dpcQueues[t->processor].empty();
        case WaitRecord::Kind::Join:
            return threads[w.joinTarget]->state == SimThread::State::Finished;
        case WaitRecord::Kind::Condition:
            return w.condition && w.condition();
        case WaitRecord::Kind::Delay:
        case WaitRecord::Kind::Quiesce:
        case WaitRecord::Kind::None:
            return false;
    }
    return false;
}

void Simulation::Impl::MakeReady(SimThread* t) {
    if (t->wait.hasDeadline && t->wait.deadlineEvent) {
        Unschedule(t->wait.deadlineEvent);
        t->wait.deadlineEvent = 0;
    }
    t->state = SimThread::State::Ready;
    t->readySeq = ++readySeq;
}

void Simulation::Impl::SatisfyWaits() {
    // Waiters are served in the order their waits began.
    std::vector<SimThread*>& blocked = blockedScratch;
    blocked.clear();
    for (auto& t : threads) {
        if (t->state == SimThread::State::Blocked) blocked.push_back(t.get());
    }
    std::sort(blocked.begin(), blocked.end(),
              [](SimThread* a, SimThread* b) { return a->wait.seq < b->wait.seq; });
    for (SimThread* t : blocked) {
        if (TryConsume(t)) {
            t->wait.result = STATUS_SUCCESS;
            MakeReady(t);
        }
    }
}

SimThread* Simulation::Impl::PickNext() {
    std::vector<SimThread*>& ready = readyScratch;
    ready.clear();
    for (auto& t : threads) {
        if (t->state == SimThread::State::Ready) ready.push_back(t.get());
    }
    if (ready.empty()) return nullptr;
    switch (sim->options().strategy) {
        case Strategy::Sequential:
            return *std::min_element(ready.begin(), ready.end(), [](SimThread* a, SimThread* b) {
                return a->readySeq < b->readySeq;
            });
        case Strategy::Random:
            return ready[NextRandom(ready.size())];
        case Strategy::Pct:
            return *std::max_element(ready.begin(), ready.end(), [](SimThread* a, SimThread* b) {
                return a->pctPriority < b->pctPriority;
            });
    }
    return ready.front();
}

void Simulation::Impl::SwitchTo(std::unique_lock<std::mutex>& lock, SimThread* next) {
    SimThread* self = Self();
    current = next;
    next->state = SimThread::State::Running;
    result.contextSwitches++;
    (void)lock;  // held across the switch: the fiber resumed owns it now
    if (self && self->state != SimThread::State::Finished) {
        Jump(&self->context, &self->fakeStack, next);
        if (stopping) throw StopUnwind{};
    } else if (self) {
        Jump(&self->context, nullptr, next);  // a finished thread never resumes
    }
}

// The current thread cannot go on (blocked or finished): hand the baton to the
// next runnable thread, advancing the clock as needed. Returns when the
// current thread runs again.
void Simulation::Impl::BlockCurrent(std::unique_lock<std::mutex>& lock) {
    SimThread* self = Self();
    for (;;) {
        if (stopping) throw StopUnwind{};
        DrainPosted();
        SatisfyWaits();
        SimThread* next = PickNext();
        if (!next && self && self->state == SimThread::State::Blocked &&
            self->wait.kind == WaitRecord::Kind::Quiesce) {
            self->state = SimThread::State::Running;
            return;
        }
        if (!next) {
            // The run's end is reached once only timed events remain.
            SimThread* main = threads.empty() ? nullptr : threads[0].get();
            if (main && main->state == SimThread::State::Blocked &&
                main->wait.kind == WaitRecord::Kind::Quiesce) {
                MakeReady(main);
                continue;
            }
            if (AdvanceClock(lock)) continue;
            if (sim->options().paced) {
                lock.unlock();
                {
                    std::unique_lock<std::mutex> postLock(postMutex);
                    postCv.wait_for(postLock, std::chrono::milliseconds(50),
                                    [&] { return !posted.empty(); });
                }
                lock.lock();
                continue;
            }
            result.ok = false;
            result.deadlock = DeadlockReport();
            SIM_TRACE("DEADLOCK", "no thread can run and no event is queued");
            StopAll(lock);
            throw StopUnwind{};
        }
        if (next == self) {
            self->state = SimThread::State::Running;
            return;
        }
        SwitchTo(lock, next);
        return;
    }
}

void Simulation::Impl::Point() {
    std::unique_lock<std::mutex> lock(m);
    if (stopping) throw StopUnwind{};
    SimThread* self = Self();
    steps++;
    result.schedulingPoints++;
    if (result.schedulingPoints > sim->options().maxSchedulingPoints) {
        result.ok = false;
        result.failure += "livelock guard: more than " +
                          std::to_string(sim->options().maxSchedulingPoints) +
                          " scheduling points\n";
        StopAll(lock);
        throw StopUnwind{};
    }
    if (!posted.empty()) DrainPosted();
    if (pointObserver) pointObserver(result.schedulingPoints);
    if (interrupt.point != 0 && result.schedulingPoints == interrupt.point) {
        StartInterrupt(lock);
        return;
    }
    const Options& o = sim->options();
    if (o.strategy != Strategy::Sequential) MaybeAdvanceAtPoint();
    switch (o.strategy) {
        case Strategy::Sequential:
            return;
        case Strategy::Random: {
            if (static_cast<int>(NextRandom(100)) >= o.randomSwitchPercent) return;
            std::vector<SimThread*> candidates;
            for (auto& t : threads) {
                if (t->state == SimThread::State::Ready || t.get() == self)
                    candidates.push_back(t.get());
            }
            SimThread* next = candidates[NextRandom(candidates.size())];
            if (next == self) return;
            self->state = SimThread::State::Ready;
            self->readySeq = ++readySeq;
            SwitchTo(lock, next);
            return;
        }
        case Strategy::Pct: {
            if (pctNextLow < static_cast<int>(pctChangePoints.size()) &&
                steps == pctChangePoints[pctNextLow]) {
                self->pctPriority = o.pctDepth - pctNextLow;  // below every initial priority
                pctNextLow++;
            }
            SimThread* best = self;
            for (auto& t : threads) {
                if (t->state == SimThread::State::Ready && t->pctPriority > best->pctPriority)
                    best = t.get();
            }
            if (best == self) return;
            self->state = SimThread::State::Ready;
            self->readySeq = ++readySeq;
            SwitchTo(lock, best);
            return;
        }
    }
}

// The planned interrupt's point is reached: its thread starts and runs at
// once, ahead of the thread that reached the point (which becomes ready), as
// if an event had arrived on another processor at exactly this moment. Under
// PCT it takes the highest priority, so that it runs until it blocks.
void Simulation::Impl::StartInterrupt(std::unique_lock<std::mutex>& lock) {
    Interrupt planned = std::move(interrupt);
    interrupt = Interrupt{};
    SimThread* self = Self();
    SimThread* t = NewThread(planned.name, std::move(planned.body), false);
    t->pctPriority = std::numeric_limits<int>::max();
    MakeReady(t);
    StartOsThread(t);
    SIM_TRACE("THREAD", "interrupt: thread '" + planned.name + "' starts at scheduling point " +
                            std::to_string(result.schedulingPoints));
    self->state = SimThread::State::Ready;
    self->readySeq = ++readySeq;
    SwitchTo(lock, t);
}

uint64_t Simulation::Impl::Schedule(uint64_t when, std::function<void()> fire, const char* what) {
    if (when < now) when = now;
    uint64_t id = nextEventId++;
    timed.emplace(std::make_pair(when, id), TimedEvent{id, std::move(fire), what});
    timedById[id] = when;
    return id;
}

bool Simulation::Impl::Unschedule(uint64_t id) {
    auto it = timedById.find(id);
    if (it == timedById.end()) return false;
    timed.erase(std::make_pair(it->second, id));
    timedById.erase(it);
    return true;
}

bool Simulation::Impl::AdvanceClock(std::unique_lock<std::mutex>& lock) {
    if (timed.empty()) return false;
    auto it = timed.begin();
    uint64_t when = it->first.first;
    if (sim->options().paced && when > now) {
        auto target = paceStart + std::chrono::microseconds(static_cast<int64_t>(
                                      static_cast<double>(when) / 10.0 / sim->options().pace));
        lock.unlock();
        {
            std::unique_lock<std::mutex> postLock(postMutex);
            postCv.wait_until(postLock, target, [&] { return !posted.empty(); });
        }
        lock.lock();
        if (!posted.empty()) return true;  // outside input first
        it = timed.begin();
        if (it == timed.end()) return false;
        when = it->first.first;
    }
    FireDue(when);
    return true;
}

void Simulation::Impl::FireDue(uint64_t when) {
    if (when > now) now = when;
    // Everything due at this tick fires before any thread runs.
    while (!timed.empty() && timed.begin()->first.first <= now) {
        auto first = timed.begin();
        TimedEvent event = std::move(first->second);
        timed.erase(first);
        timedById.erase(event.id);
        event.fire();
    }
}

// Under Random and PCT, a scheduling point may let the clock reach the
// earliest timed event when it is due within the window: its DPC or device
// completion then runs (on a DPC context) while the current thread still
// runs, as it would on another processor. The chance is drawn from the
// run's seed only when such an event exists, so runs without one keep their
// schedules, and every run replays from its seed. Time never goes back and
// no earlier event is skipped: the clock moves to the earliest event only.
void Simulation::Impl::MaybeAdvanceAtPoint() {
    const Options& o = sim->options();
    if (timed.empty() || o.paced || o.clockAdvancePercent <= 0) return;
    uint64_t when = timed.begin()->first.first;
    if (when > now + o.clockAdvanceWindow) return;
    if (static_cast<int>(NextRandom(100)) >= o.clockAdvancePercent) return;
    if (when > now) {
        SimThread* self = Self();
        SIM_TRACE("CLOCK", "advance " + std::to_string((when - now) * 100) + " ns while '" +
                               (self ? self->name : std::string("?")) + "' runs");
    }
    FireDue(when);
}

void Simulation::Impl::StopAll(std::unique_lock<std::mutex>&) {
    stopping = true;
    hostCv.notify_all();
}

std::string Simulation::Impl::DeadlockReport() {
    std::ostringstream out;
    out << "no thread can run and nothing is queued on the clock (t=" << now / 10 << "us)\n";
    for (auto& t : threads) {
        out << "  thread '" << t->name << "' ";
        switch (t->state) {
            case SimThread::State::Finished: out << "ended"; break;
            case SimThread::State::Ready: out << "ready"; break;
            case SimThread::State::Running: out << "running"; break;
            case SimThread::State::Blocked:
                out << "waits on " << t->wait.what;
                if (t->wait.hasDeadline) out << " until t=" << t->wait.deadline / 10 << "us";
                break;
        }
        out << " (IRQL " << int(t->irql) << ")\n";
    }
    return out.str();
}

int Simulation::Impl::ChooseProcessor() {
    int n = static_cast<int>(dpcQueues.size());
    if (sim->options().strategy == Strategy::Sequential) {
        SimThread* self = Self();
        return (self && self->isDpc) ? self->processor : 0;
    }
    return static_cast<int>(NextRandom(n));
}

void Simulation::Impl::QueueDpcItem(int processor, DpcItem item) {
    dpcQueues[processor].push_back(std::move(item));
    SimThread* t = dpcThreads[processor];
    if (t->state == SimThread::State::Blocked && TryConsume(t)) MakeReady(t);
}

void Simulation::Impl::DrainPosted() {
    std::unique_lock<std::mutex> postLock(postMutex);
    if (posted.empty()) return;  // the usual case: no deque is built
    std::deque<std::function<void()>> items;
    items.swap(posted);
    postLock.unlock();
    for (auto& fn : items) QueueDpcItem(0, DpcItem{nullptr, std::move(fn), "outside input"});
}

// ---------------------------------------------------------------- kernel glue

void KernelPoint(const char* routine) {
    Simulation* s = tlsSim;
    if (!s) {
        std::fprintf(stderr, "bridgesim: kernel routine called outside a simulation\n");
        std::abort();
    }
    if (tlsThread && tlsThread->mustWaitNext) {
        // After KeSetEvent(..., TRUE) the thread holds the dispatcher lock at
        // DISPATCH_LEVEL: nothing may run before its wait, and nothing else
        // may be called first.
        if (std::strcmp(routine, "KeWaitForSingleObject") == 0) return;
        BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION", "event-set-wait-without-wait",
                 std::string("KeSetEvent with Wait TRUE was followed by ") + routine +
                     " instead of a wait");
    }
    s->impl().Point();
}

void BugCheck(const std::string& name, const std::string& rule, const std::string& detail) {
    Simulation::Current().BugCheckStop(name, rule, detail);
}

void TraceEvent(const char* kind, std::string text) {
    if (tlsSim) tlsSim->trace().Add(kind, std::move(text));
}

bool Tracing() {
    return tlsSim && tlsSim->trace().On();
}

std::optional<NTSTATUS> FaultFor(const char* routine) {
    std::optional<NTSTATUS> status = Simulation::Current().faults().Check(routine);
    if (status) SIM_TRACE("FAULT", std::string(routine) + " fails with " + StatusText(*status));
    return status;
}

std::string Hex(uint64_t value) {
    char buffer[24];
    std::snprintf(buffer, sizeof buffer, "0x%" PRIX64, value);
    return buffer;
}

// ---------------------------------------------------------------- DPC contexts

namespace {

void DpcLoop(Simulation::Impl* impl, int processor) {
    SimThread* self = tlsThread;
    for (;;) {
        DpcItem item;
        {
            std::unique_lock<std::mutex> lock(impl->m);
            if (impl->stopping) throw StopUnwind{};
            if (impl->dpcQueues[processor].empty()) {
                self->wait = WaitRecord{};
                self->wait.kind = WaitRecord::Kind::DpcQueue;
                self->wait.what = "its DPC queue (idle)";
                self->wait.seq = ++impl->waitSeq;
                self->state = SimThread::State::Blocked;
                impl->BlockCurrent(lock);
                continue;
            }
            item = std::move(impl->dpcQueues[processor].front());
            impl->dpcQueues[processor].pop_front();
            if (item.dpc) {
                tsan::Acquire(item.dpc);  // what its queuer (or its timer's armer) did
                item.dpc->DpcData = nullptr;  // dequeued: may be queued again from now on
                impl->runningDpc[processor] = item.dpc;
            }
        }
        self->irql = DISPATCH_LEVEL;
        size_t locksBefore = self->heldSpinLocks.size();
        if (item.dpc) {
            SIM_TRACE("DPC", "run " + impl->Label(item.dpc, "dpc"));
            item.dpc->DeferredRoutine(item.dpc, item.dpc->DeferredContext,
                                      item.dpc->SystemArgument1, item.dpc->SystemArgument2);
        } else {
            item.fn();
        }
        {
            std::unique_lock<std::mutex> lock(impl->m);
            impl->runningDpc[processor] = nullptr;
        }
        if (self->irql != DISPATCH_LEVEL) {
            BugCheck("IRQL_UNEXPECTED_VALUE", "irql-not-restored",
                     "DPC routine " +
                         (item.dpc ? impl->Label(item.dpc, "dpc") : std::string(item.what)) +
                         " returned at IRQL " + std::to_string(self->irql) +
                         " instead of DISPATCH_LEVEL");
        }
        if (self->heldSpinLocks.size() != locksBefore) {
            BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION", "spinlock-held-on-return",
                     "DPC routine returned holding a spin lock");
        }
    }
}

}  // namespace

// ---------------------------------------------------------------- Simulation

Simulation::Simulation(Options options)
    : options_(options), impl_(std::make_unique<Impl>(this)) {
    trace_.sim_ = this;
    trace_.capacity_ = options_.traceCapacity;
    trace_.echo_ = options_.echoTrace;
    impl_->rng.seed(options_.seed * 0x9E3779B97F4A7C15ull + 1);
    impl_->modelRng.seed(options_.seed ^ 0xA5A5A5A5DEADBEEFull);
    impl_->result.strategy = options_.strategy;
    impl_->result.seed = options_.seed;
    impl_->result.options = options_;
    if (options_.strategy == Strategy::Pct) {
        for (int i = 0; i + 1 < options_.pctDepth; ++i) {
            impl_->pctChangePoints.push_back(1 + impl_->NextRandom(options_.pctExpectedSteps));
        }
        std::sort(impl_->pctChangePoints.begin(), impl_->pctChangePoints.end());
    }
}

Simulation::~Simulation() = default;

Simulation& Simulation::Current() {
    if (!tlsSim) {
        std::fprintf(stderr, "bridgesim: no simulation is running on this thread\n");
        std::abort();
    }
    return *tlsSim;
}

bool Simulation::Active() { return tlsSim != nullptr; }

RunResult Simulation::Run(std::function<void()> body) {
    Impl& s = *impl_;
    if (s.started) {
        RunResult r;
        r.ok = false;
        r.failure = "a Simulation runs once";
        return r;
    }
    s.started = true;
    InstallCrashReport();
    s.paceStart = std::chrono::steady_clock::now();
    int processors = std::max(1, options_.processors);
    s.dpcQueues.resize(processors);
    s.runningDpc.assign(processors, nullptr);
    {
        std::unique_lock<std::mutex> lock(s.m);
        SimThread* main = s.NewThread("main", std::move(body), false);
        for (int p = 0; p < processors; ++p) {
            SimThread* dpc = s.NewThread("DPC" + std::to_string(p), nullptr, true);
            dpc->processor = p;
            Impl* impl = &s;
            dpc->body = [impl, p] { DpcLoop(impl, p); };
            dpc->state = SimThread::State::Blocked;
            dpc->wait.kind = WaitRecord::Kind::DpcQueue;
            dpc->wait.what = "its DPC queue (idle)";
            s.dpcThreads.push_back(dpc);
        }
        // DPC threads start blocked on their queues; they take the baton only
        // when something is queued.
        for (auto& t : s.threads) s.StartOsThread(t.get());
        Simulation* outerSim = tlsSim;
        SimThread* outerThread = tlsThread;
        tlsSim = this;
        s.hostStackBottom = CallerStack().bottom;
        s.hostStackSize = CallerStack().size;
#if SIM_TSAN
        s.hostRaceFiber = __tsan_get_current_fiber();
#endif
        s.current = main;
        main->state = SimThread::State::Running;
        // The fibers run until the run stops; then each one not yet ended is
        // resumed so that it unwinds (a switch back into a stopped run
        // throws), and comes back here.
        s.Jump(&s.hostContext, &s.hostFakeStack, main);
        for (;;) {
            SimThread* unfinished = nullptr;
            for (auto& t : s.threads)
                if (t->state != SimThread::State::Finished) {
                    unfinished = t.get();
                    break;
                }
            if (!unfinished) break;
            s.stopping = true;
            s.current = unfinished;
            s.Jump(&s.hostContext, &s.hostFakeStack, unfinished);
        }
        tlsSim = outerSim;
        tlsThread = outerThread;
#if SIM_TSAN
        for (auto& t : s.threads) {
            tsan::Acquire(t.get());  // the host reads what the run left
            __tsan_destroy_fiber(t->raceFiber);
            t->raceFiber = nullptr;
        }
#endif
    }
    s.result.virtualTime = s.now;
    if (s.result.ok && options_.checkPoolAtEnd) {
        auto balance = pool_.Balance();
        for (auto& b : balance) {
            s.result.ok = false;
            s.result.failedCheck = "run-pool-leak";
            s.result.failure += "[run-pool-leak] pool leak at end of run: tag '" +
                                Pool::TagText(b.tag) + "' " +
                                std::to_string(b.count) + " block(s), " +
                                std::to_string(b.bytes) + " bytes\n";
        }
    }
    if (s.result.ok && options_.checkPoolAtEnd) {
        size_t open = registry_.OpenHandleCount();
        if (open) {
            s.result.ok = false;
            s.result.failedCheck = "run-registry-handle-leak";
            s.result.failure += "[run-registry-handle-leak] " + std::to_string(open) +
                                " registry key handle(s) never closed\n";
        }
    }
    if (s.result.ok) {
        // A user request never completed: the application would hang.
        std::vector<const IrpShadow*> held;  // reported in issue order
        for (auto& [irp, shadow] : s.irps) {
            if (shadow.origin == IrpShadow::Origin::User &&
                shadow.state != IrpShadow::State::Freed && shadow.state != IrpShadow::State::Done)
                held.push_back(&shadow);
        }
        std::sort(held.begin(), held.end(),
                  [](const IrpShadow* a, const IrpShadow* b) { return a->seq < b->seq; });
        for (const IrpShadow* shadow : held) {
            s.result.ok = false;
            s.result.failedCheck = "run-request-held";
            s.result.failure += "[run-request-held] user request " + shadow->label + " (" + shadow->request +
                                ") still held by the driver at the end of the run\n";
        }
    }
    if (s.result.ok && options_.checkPoolAtEnd) {
        std::vector<const IrpShadow*> leaked;  // reported in allocation order
        for (auto& [irp, shadow] : s.irps) {
            if (shadow.origin == IrpShadow::Origin::Driver &&
                shadow.state != IrpShadow::State::Freed)
                leaked.push_back(&shadow);
        }
        std::sort(leaked.begin(), leaked.end(),
                  [](const IrpShadow* a, const IrpShadow* b) { return a->seq < b->seq; });
        for (const IrpShadow* shadow : leaked) {
            s.result.ok = false;
            s.result.failedCheck = "run-irp-leak";
            s.result.failure += "[run-irp-leak] driver-allocated " + shadow->label + " never freed\n";
        }
    }
    if (s.result.ok) {
        // A planned fault that never happened: the test did not test what
        // it meant to.
        for (const std::string& plan : faults_.Unfired()) {
            s.result.ok = false;
            s.result.failedCheck = "fault-plan-unfired";
            s.result.failure += "[fault-plan-unfired] " + plan + "\n";
        }
    }
    return s.result;
}

ThreadId Simulation::StartThread(const std::string& name, std::function<void()> body) {
    KernelPoint("StartThread");
    Impl& s = *impl_;
    std::unique_lock<std::mutex> lock(s.m);
    SimThread* t = s.NewThread(name, std::move(body), false);
    s.MakeReady(t);
    s.StartOsThread(t);
    SIM_TRACE("THREAD", "start thread '" + name + "'");
    return t->id;
}

void Simulation::Join(ThreadId thread) {
    KernelPoint("Join");
    Impl& s = *impl_;
    std::unique_lock<std::mutex> lock(s.m);
    SimThread* self = s.Self();
    self->wait = WaitRecord{};
    self->wait.kind = WaitRecord::Kind::Join;
    self->wait.joinTarget = thread;
    self->wait.what = "the end of thread '" + s.threads[thread]->name + "'";
    self->wait.seq = ++s.waitSeq;
    if (!s.TryConsume(self)) {
        self->state = SimThread::State::Blocked;
        s.BlockCurrent(lock);
    }
    tsan::Acquire(s.threads[thread].get());  // what the thread did before it ended
}

std::string Simulation::ThreadName(ThreadId thread) const { return impl_->threads[thread]->name; }

ThreadId Simulation::CurrentThread() const { return tlsThread ? tlsThread->id : -1; }

uint64_t Simulation::Now() const { return impl_->now; }

uint64_t Simulation::At(uint64_t when, std::function<void()> fn, const char* what) {
    Impl& s = *impl_;
    std::unique_lock<std::mutex> lock(s.m);
    Impl* impl = &s;
    // Fires once: the callback and its name move on into the DPC item.
    auto fire = [impl, fn = std::move(fn), what]() mutable {
        impl->QueueDpcItem(impl->ChooseProcessor(), DpcItem{nullptr, std::move(fn), what});
    };
    if (when <= s.now) {
        // Already due: it fires at once (queued to a DPC context now).
        fire();
        return 0;
    }
    return s.Schedule(when, std::move(fire), what);
}

bool Simulation::CancelEvent(uint64_t id) {
    std::unique_lock<std::mutex> lock(impl_->m);
    return impl_->Unschedule(id);
}

void Simulation::Defer(std::function<void()> fn, const char* what) {
    Impl& s = *impl_;
    std::unique_lock<std::mutex> lock(s.m);
    s.QueueDpcItem(s.ChooseProcessor(), DpcItem{nullptr, std::move(fn), what});
}

void Simulation::Yield() { KernelPoint("Yield"); }

uint64_t Simulation::SchedulingPoints() const { return impl_->result.schedulingPoints; }

void Simulation::InterruptAtPoint(uint64_t point, const std::string& name,
                                  std::function<void()> body) {
    impl_->interrupt = Impl::Interrupt{point, name, std::move(body)};
}

bool Simulation::InterruptPending() const { return impl_->interrupt.point != 0; }

void Simulation::ObservePoints(std::function<void(uint64_t)> observer) {
    impl_->pointObserver = std::move(observer);
}

void Simulation::Post(std::function<void()> fn) {
    {
        std::lock_guard<std::mutex> lock(impl_->postMutex);
        impl_->posted.push_back(std::move(fn));
    }
    impl_->postCv.notify_all();
}

void Simulation::BugCheckStop(const std::string& name, const std::string& rule,
                              const std::string& detail) {
    const bool wellFormed =
        !rule.empty() && rule.front() != '-' && rule.back() != '-' &&
        std::all_of(rule.begin(), rule.end(),
                    [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-'; });
    if (!wellFormed) {
        std::fprintf(stderr, "bridgesim: bug check %s with a malformed rule id '%s'\n",
                     name.c_str(), rule.c_str());
        std::abort();
    }
    Impl& s = *impl_;
    std::unique_lock<std::mutex> lock(s.m);
    if (s.stopping) throw StopUnwind{};
    SimThread* self = s.Self();
    trace_.Add("BUGCHECK", name + " [" + rule + "]: " + detail);
    BugCheckInfo check;
    check.name = name;
    check.rule = rule;
    check.detail = detail;
    check.thread = self ? self->name : "?";
    check.irql = self ? self->irql : 0;
    check.traceTail = trace_.Tail(options_.traceTail);
    s.result.ok = false;
    s.result.bugCheck = check;
    s.StopAll(lock);
    throw StopUnwind{};
}

void Simulation::NoteSetting(const std::string& setting) {
    std::vector<std::string>& settings = impl_->result.settings;
    if (std::find(settings.begin(), settings.end(), setting) == settings.end())
        settings.push_back(setting);
}

void Simulation::Fail(const std::string& message) {
    Impl& s = *impl_;
    std::unique_lock<std::mutex> lock(s.m);
    if (s.stopping) throw StopUnwind{};
    s.result.ok = false;
    s.result.failure += message + "\n" + trace_.Tail(options_.traceTail);
    s.StopAll(lock);
    throw StopUnwind{};
}

uint64_t Simulation::Random() { return impl_->modelRng(); }

double Simulation::RandomUnit() {
    return static_cast<double>(impl_->modelRng() >> 11) * (1.0 / 9007199254740992.0);
}

namespace check {

void Failed(const char* message, const char* file, int line) {
    Simulation::Current().Fail(std::string(message) + " (" + file + ":" + std::to_string(line) +
                               ")");
}

void Failed(const char* message, const char* file, int line, const char* a,
            const std::string& aText, const char* b, const std::string& bText) {
    Simulation::Current().Fail(std::string(message) + " (" + file + ":" + std::to_string(line) +
                               ")\n  " + a + ": " + aText + "\n  " + b + ": " + bText);
}

std::string IntegerText(int64_t value, bool isSigned, int bytes) {
    const uint64_t bits = static_cast<uint64_t>(value);
    const uint64_t mask = bytes >= 8 ? ~0ull : (1ull << (8 * bytes)) - 1;
    std::string text = isSigned ? std::to_string(value) : std::to_string(bits);
    if (isSigned ? (value >= 10 || value <= -10) : bits >= 10) {
        char hex[24];
        std::snprintf(hex, sizeof hex, " (0x%0*" PRIX64 ")", 2 * bytes, bits & mask);
        text += hex;
    }
    return text;
}

std::string QuotedText(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02X", static_cast<unsigned char>(c));
            out += escape;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

}  // namespace check

RunResult RunScenario(const Options& options, const std::function<void()>& body) {
    Simulation simulation(options);
    return simulation.Run(body);
}

// ---------------------------------------------------------------- trace and faults

void Trace::Add(std::string kind, std::string text) {
    if (!On()) return;
    TraceRecord event;
    event.seq = ++seq_;
    event.time = sim_ ? sim_->impl().now : 0;
    event.thread = tlsThread ? tlsThread->name : "host";
    event.kind = std::move(kind);
    event.text = std::move(text);
    if (echo_) std::fprintf(stderr, "%s\n", FormatEvent(event).c_str());
    if (events_.size() < capacity_) {
        events_.push_back(std::move(event));
    } else if (capacity_ > 0) {
        events_[head_] = std::move(event);  // the oldest gives way
        head_ = (head_ + 1) % events_.size();
    }
}

std::vector<TraceRecord> Trace::Events() const {
    std::vector<TraceRecord> out;
    out.reserve(events_.size());
    for (size_t i = 0; i < events_.size(); ++i) out.push_back(At(i));
    return out;
}

std::vector<TraceRecord> Trace::EventsOfKind(const std::string& kind) const {
    std::vector<TraceRecord> out;
    for (size_t i = 0; i < events_.size(); ++i)
        if (At(i).kind == kind) out.push_back(At(i));
    return out;
}

std::string Trace::FormatEvent(const TraceRecord& e) {
    char prefix[64];
    std::snprintf(prefix, sizeof prefix, "%10" PRIu64 ".%04" PRIu64 " ms  ", e.time / 10000,
                  e.time % 10000);
    auto pad = [](const std::string& text, size_t width) {
        return text + std::string(text.size() < width ? width - text.size() : 1, ' ');
    };
    return std::string(prefix) + pad(e.thread, 10) + pad(e.kind, 9) + e.text;
}

std::string Trace::Tail(size_t count) const {
    std::string out;
    size_t start = events_.size() > count ? events_.size() - count : 0;
    for (size_t i = start; i < events_.size(); ++i) out += FormatEvent(At(i)) + "\n";
    return out;
}

std::string Trace::Format() const { return Tail(events_.size()); }

void Trace::Clear() {
    events_.clear();
    head_ = 0;
}

void Faults::FailCall(const std::string& routine, NTSTATUS status, int nth) {
    nth = nth < 1 ? 1 : nth;
    plans_.push_back(Plan{routine, status, nth, nth, Calls(routine)});
}

void Faults::FailAlways(const std::string& routine, NTSTATUS status) {
    plans_.push_back(Plan{routine, status, -1, 0, Calls(routine)});
}

void Faults::Clear() {
    for (const Plan& p : plans_)
        if (!p.fired) cleared_.push_back(PlanText(p) + " (cleared before it fired)");
    plans_.clear();
}

std::string Faults::PlanText(const Plan& p) const {
    const int made = Calls(p.routine) - p.callsBefore;
    std::string text = "the fault planned for ";
    text += p.nth ? "call " + std::to_string(p.nth) + " of " + p.routine
                  : "every call of " + p.routine;
    text += " (" + StatusText(p.status) + ") never fired: " + p.routine + " was called " +
            std::to_string(made) + " time(s) after the plan";
    return text;
}

std::vector<std::string> Faults::Unfired() const {
    std::vector<std::string> out = cleared_;
    for (const Plan& p : plans_)
        if (!p.fired) out.push_back(PlanText(p));
    return out;
}

std::optional<NTSTATUS> Faults::Check(const std::string& routine) {
    bool counted = false;
    for (auto& c : calls_) {
        if (c.first == routine) {
            c.second++;
            counted = true;
        }
    }
    if (!counted) calls_.emplace_back(routine, 1);
    for (size_t i = 0; i < plans_.size(); ++i) {
        Plan& p = plans_[i];
        if (p.routine != routine) continue;
        if (p.remaining < 0) {
            p.fired = true;
            return p.status;
        }
        if (--p.remaining == 0) {
            NTSTATUS status = p.status;
            plans_.erase(plans_.begin() + static_cast<long>(i));
            return status;
        }
    }
    return std::nullopt;
}

int Faults::Calls(const std::string& routine) const {
    for (auto& c : calls_)
        if (c.first == routine) return c.second;
    return 0;
}

std::vector<std::string> Faults::Routines() const {
    std::vector<std::string> out;
    for (auto& c : calls_) out.push_back(c.first);
    return out;
}

}  // namespace sim
