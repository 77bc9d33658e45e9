// internal.h - what the parts of the simulated kernel share with each other:
// the scheduler's threads and waits, the IRP shadow records the verifier
// keeps, and the device records of the I/O manager. Not for driver code.
#pragma once

#include <ucontext.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "sim/kernel/sim.h"

namespace sim {

// Thrown on a simulated thread to unwind it when the run stops.
struct StopUnwind {};

// What a blocked thread waits for. Exactly one kind is set.
struct WaitRecord {
    enum class Kind {
        None,
        Object,     // a dispatcher object (event, mutex, timer)
        SpinLock,   // a spin lock held by another thread
        Delay,      // KeDelayExecutionThread: only the deadline
        DpcQueue,   // a DPC context with nothing to do
        Join,       // another simulated thread's end
        Quiesce,    // the end of the run: nothing else left to run
        Condition,  // harness condition (a predicate)
    };
    Kind kind = Kind::None;
    void* object = nullptr;
    ThreadId joinTarget = -1;
    std::function<bool()> condition;
    std::string what;          // for deadlock reports
    bool hasDeadline = false;
    uint64_t deadline = 0;
    uint64_t deadlineEvent = 0;
    NTSTATUS result = STATUS_SUCCESS;
    uint64_t seq = 0;          // order in which waits began
};

struct SimThread {
    ThreadId id = 0;
    std::string name;
    enum class State { Ready, Running, Blocked, Finished } state = State::Ready;
    // A fiber on the host thread that runs the simulation: its saved
    // registers, its stack, and AddressSanitizer's fake stack while it is
    // switched out.
    ucontext_t context;
    struct StackReturn {
        void operator()(char* stack) const;  // back to the process's stack pool
    };
    std::unique_ptr<char, StackReturn> stack;
    void* fakeStack = nullptr;
    void* raceFiber = nullptr;  // the race detector's fiber (SIM_TSAN)
    std::function<void()> body;
    bool isDpc = false;
    int processor = -1;        // DPC contexts: their processor number
    KIRQL irql = PASSIVE_LEVEL;
    WaitRecord wait;
    uint64_t readySeq = 0;     // when it last became ready
    std::vector<PKSPIN_LOCK> heldSpinLocks;  // driver spin locks, in order taken
    int mutexesOwned = 0;      // kernel mutex acquisitions not yet released
    bool viaPoCallDriver = false;  // the IofCallDriver about to run came through PoCallDriver
    bool holdsCancelLock = false;
    int pctPriority = 0;
    int inCancelRoutine = 0;
    // KeSetEvent with Wait TRUE: the next kernel call must be a wait.
    bool mustWaitNext = false;
    // Completions of requests this thread built (IoBuildDeviceIoControlRequest)
    // that wait, as Windows' special kernel APC does, until the thread's IRQL
    // is below APC_LEVEL.
    std::vector<std::function<void()>> pendingApcs;
};

// A timed event on the virtual clock.
struct TimedEvent {
    uint64_t id;
    std::function<void()> fire;  // runs under the scheduler, must not block
    const char* what;            // a name, for debugging
};

// An item for a DPC context: a KDPC or a platform callback.
struct DpcItem {
    PKDPC dpc = nullptr;
    std::function<void()> fn;
    const char* what = "";  // a platform callback's name, for reports
};

// The verifier's record of one IRP.
struct IrpShadow {
    uint64_t seq = 0;
    enum class Origin { Driver, IoBuild, User, Pnp, Power } origin = Origin::Driver;
    enum class State { Allocated, Dispatched, Completing, Done, Freed } state = State::Allocated;
    int stackCount = 0;
    struct Location {
        bool marked = false;    // IoMarkIrpPending seen
        bool returned = false;  // its dispatch routine returned
        bool passed = false;    // completion has passed it
        NTSTATUS returnedStatus = 0;
    };
    std::vector<Location> locations;  // per stack location, 0 to stackCount + 1
    int callDepth = 0;              // IofCallDriver frames on the stack for it
    PDRIVER_OBJECT allocatingDriver = nullptr;
    std::function<void(PIRP)> finish;  // final completion for platform IRPs
    std::string label;                 // IRP#n
    std::string request;               // user requests: what was asked ("IRP_MJ_READ")
    SimThread* issuer = nullptr;       // user and built requests: the issuing thread
    uint64_t dispatches = 0;           // IofCallDriver calls made with it so far
    uint64_t powerStartedAt = ~0ull;   // power: `dispatches` when PoStartNextPowerIrp last ran
};

// The I/O manager's record of a device object.
struct DeviceRecord {
    uint64_t seq = 0;
    PDEVICE_OBJECT device = nullptr;
    std::string name;        // NT name, empty when unnamed
    std::string instanceId;  // PDOs: the device instance path
    bool isPdo = false;
    bool deleted = false;
    // The PnP manager's marks that make the I/O manager refuse new opens:
    // a granted query-remove (until its cancel), and the removal itself.
    bool removePending = false;
    bool removeProcessed = false;
    int activeCalls = 0;     // dispatch routines running on it
    std::vector<const SimThread*> dispatchThreads;  // the threads running them
    std::string classKey;    // PDOs: the driver (class) key path
    void* memory = nullptr;  // one block: DEVICE_OBJECT, extension, DEVOBJ_EXTENSION
    size_t extensionSize = 0;
    // Query- and set-power requests, per power type (0 system, 1 device):
    // the one this device has not yet released with PoStartNextPowerIrp, and
    // those the power manager holds for it until then.
    PIRP powerActive[2] = {nullptr, nullptr};
    std::deque<PIRP> powerHeld[2];
};

// The verifier's view of one remove lock: the acquisitions outstanding by
// tag, and whether IoReleaseRemoveLockAndWait has been called.
struct RemoveLockState {
    std::map<PVOID, int> held;
    bool waited = false;
};

struct DriverRecord {
    PDRIVER_OBJECT driver = nullptr;
    std::string serviceName;
    bool unloaded = false;
};

struct Simulation::Impl {
    explicit Impl(Simulation* owner);
    ~Impl();

    Simulation* sim;
    std::mutex m;  // the baton and all scheduler state
    std::condition_variable hostCv;  // unused by fibers; kept for the notify calls
    // The host context that called Run: where the fibers go back when the
    // run has stopped.
    ucontext_t hostContext;
    void* hostFakeStack = nullptr;
    void* hostRaceFiber = nullptr;  // the race detector's host thread (SIM_TSAN)
    const void* hostStackBottom = nullptr;
    size_t hostStackSize = 0;
    std::vector<std::unique_ptr<SimThread>> threads;
    // Scratch lists for SatisfyWaits and PickNext, kept to spare an
    // allocation on every scheduling decision.
    std::vector<SimThread*> blockedScratch, readyScratch;
    SimThread* current = nullptr;
    bool started = false;
    bool stopping = false;
    bool finished = false;
    RunResult result;

    // clock
    uint64_t now = 0;
    std::map<std::pair<uint64_t, uint64_t>, TimedEvent> timed;  // (time, id)
    std::unordered_map<uint64_t, uint64_t> timedById;           // id -> time
    uint64_t nextEventId = 1;
    uint64_t waitSeq = 0;
    uint64_t readySeq = 0;
    std::chrono::steady_clock::time_point paceStart;

    // DPC contexts
    std::vector<std::deque<DpcItem>> dpcQueues;
    std::vector<SimThread*> dpcThreads;
    std::vector<PKDPC> runningDpc;  // per processor

    // strategy
    std::mt19937_64 rng;
    std::mt19937_64 modelRng;
    uint64_t steps = 0;
    std::vector<uint64_t> pctChangePoints;
    int pctNextLow = 0;

    // a thread started at a given scheduling point (InterruptAtPoint)
    struct Interrupt {
        uint64_t point = 0;  // 0: none planned
        std::string name;
        std::function<void()> body;
    } interrupt;
    std::function<void(uint64_t)> pointObserver;

    // outside input
    std::mutex postMutex;
    std::deque<std::function<void()>> posted;
    std::condition_variable postCv;

    // dispatcher objects
    std::unordered_map<const void*, uint64_t> timerEvents;  // KTIMER -> timed event id
    std::unordered_map<const void*, std::string> objectLabels;
    uint64_t labelSeq = 0;
    KSPIN_LOCK cancelLock = 0;
    std::map<const void*, RemoveLockState> removeLocks;

    // I/O manager
    std::unordered_map<const IRP*, IrpShadow> irps;
    std::deque<PIRP> irpQuarantine;
    uint64_t irpSeq = 0;
    std::unordered_map<const DEVICE_OBJECT*, DeviceRecord> devices;
    uint64_t deviceSeq = 0;
    std::vector<std::unique_ptr<DriverRecord>> drivers;

    // ---- scheduler (scheduler.cpp); all with m held unless noted
    SimThread* Self();
    SimThread* NewThread(const std::string& name, std::function<void()> body, bool isDpc);
    void StartOsThread(SimThread* t);  // prepares the thread's fiber
    // Switches from the running fiber (or the host) to `to`; `fakeStack`
    // keeps the leaving side's fake stack, null when it never resumes.
    void Jump(ucontext_t* from, void** fakeStack, SimThread* to);
    [[noreturn]] void ExitToHost(SimThread* t);
    void ThreadMain(SimThread* t);
    void Point();                                   // m not held
    void StartInterrupt(std::unique_lock<std::mutex>& lock);
    void BlockCurrent(std::unique_lock<std::mutex>& lock);  // current has its wait set
    void SwitchTo(std::unique_lock<std::mutex>& lock, SimThread* next);
    SimThread* PickNext();
    bool Runnable(SimThread* t);
    void MakeReady(SimThread* t);
    void SatisfyWaits();
    bool TryConsume(SimThread* t);
    bool AdvanceClock(std::unique_lock<std::mutex>& lock);
    void FireDue(uint64_t when);                    // clock to `when` (never back), fire due events
    void MaybeAdvanceAtPoint();                     // Random/PCT: seeded early clock advance
    void StopAll(std::unique_lock<std::mutex>& lock);
    [[noreturn]] void StopHere(std::unique_lock<std::mutex>& lock);
    std::string DeadlockReport();
    uint64_t Schedule(uint64_t when, std::function<void()> fire, const char* what);
    bool Unschedule(uint64_t id);
    void QueueDpcItem(int processor, DpcItem item);
    int ChooseProcessor();
    void DrainPosted();
    std::string Label(const void* object, const char* kind);
    uint64_t NextRandom(uint64_t bound);
};

// The simulation running on this host thread, or nullptr.
Simulation* CurrentSimulation();
// Scheduling point at the entry of a kernel routine.
void KernelPoint(const char* routine);
// The current simulated thread (inside a run).
SimThread& CurrentThread();
// Verifier stop: the bug check Windows names, the id of the broken rule
// (sim.h, BugCheckInfo) and what was seen.
[[noreturn]] void BugCheck(const std::string& name, const std::string& rule,
                           const std::string& detail);
// Fault plan check for a fallible routine: the status to fail with, if any.
std::optional<NTSTATUS> FaultFor(const char* routine);
// Trace helper. SIM_TRACE builds the event's text only when the current
// simulation keeps a trace (a fuzzing run turns it off: every execution
// would otherwise format hundreds of strings nobody reads).
void TraceEvent(const char* kind, std::string text);
bool Tracing();
#define SIM_TRACE(kind, text)                                    \
    do {                                                         \
        if (::sim::Tracing()) ::sim::TraceEvent((kind), (text)); \
    } while (0)
std::string Hex(uint64_t value);
std::string StatusText(NTSTATUS status);
std::string MajorName(UCHAR major);
std::string PnpMinorName(UCHAR minor);
std::string DeviceLabel(const DEVICE_OBJECT* device);

// Shared by the I/O manager and the user-mode side.
IrpShadow* ShadowOf(const IRP* irp);
BOOLEAN CancelIrpInternal(PIRP irp);
// A user-mode handle is still open on one of these device objects.
bool HandleOpenOnAny(const std::vector<PDEVICE_OBJECT>& devices);
// The last handle on a device object has been closed (PASSIVE_LEVEL): the
// PnP manager sends a removal it held back for open handles.
void NoteHandleClosed();
// A device object's memory has been released: its driver may now unload.
void NoteDeviceReleased(PDRIVER_OBJECT driver);
// A device object of the driver, deleted or not, is still in memory.
bool DriverHasDeviceInMemory(PDRIVER_OBJECT driver);
// Delivers a power request to a device as the power manager does: a query-
// or set-power request waits while the device has not released the previous
// one of its type with PoStartNextPowerIrp.
NTSTATUS PowerCallDriver(PDEVICE_OBJECT device, PIRP irp, bool viaPoCallDriver);
// 0 for system and 1 for device query- and set-power requests, -1 otherwise.
int PowerQueueOf(PIO_STACK_LOCATION stack);
PIRP AllocateIrpInternal(CCHAR stackSize, IrpShadow::Origin origin);
void FreeIrpInternal(PIRP irp);
PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device);
DeviceRecord* RecordOf(const DEVICE_OBJECT* device);
void SetEventInternal(PKEVENT event);
void ReleaseDeviceIfUnused(PDEVICE_OBJECT device);
void VerifyNoUserRequestHeldAt(PDEVICE_OBJECT device);
void VerifyNoRemoveLockHeldIn(const DeviceRecord& record);
bool AddressInDevice(const void* address, const DeviceRecord& record);
void VerifyNoTimersOrDpcsIn(const DeviceRecord& record);
bool AnyDriverTimerOrDpcQueued(std::string* what);
void VerifyIrqlAtMost(KIRQL max, const char* routine);
// Runs the thread's pending completion APCs when its IRQL is below APC_LEVEL.
void DeliverApcs(SimThread& thread);
std::string KeyPathForDevice(PDEVICE_OBJECT pdo, ULONG type);

// Registry helpers for the PnP harness.
std::string NormalizeRegistryPath(const std::string& path);

}  // namespace sim
