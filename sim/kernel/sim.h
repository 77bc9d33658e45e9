// sim.h - the host-side face of the simulated Windows kernel: how a test, a
// benchmark or the bridgesim tool builds a simulation, runs driver code in it
// and looks at what happened. Driver code never includes this header.
//
// A Simulation owns one virtual machine: simulated threads (exactly one runs
// at a time), DPC contexts, a virtual clock, the pool, the registry, the
// object namespace, the I/O manager with its PnP/power harness and user-mode
// I/O, the verifier and the trace. Everything inside is deterministic: the
// same Options (strategy and seed) replay the same schedule.
#pragma once

#include <cstdint>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "sim/kernel/ntddk.h"

namespace sim {

// ---------------------------------------------------------------- options and results

enum class Strategy {
    Sequential,  // run until blocked, then the oldest ready thread
    Random,      // seeded preemption at scheduling points
    Pct,         // probabilistic concurrency testing with a bug depth
};

const char* StrategyName(Strategy strategy);

struct Options {
    Strategy strategy = Strategy::Sequential;
    uint64_t seed = 1;
    int pctDepth = 3;            // PCT: number of priority change points + 1
    int pctExpectedSteps = 20000;  // PCT: expected scheduling points, for change-point placement
    int randomSwitchPercent = 30;  // Random: chance of a switch at a scheduling point
    // Random and PCT: at a scheduling point, with this chance, the clock moves
    // on to the earliest timed event (timer expiry, device completion, wait
    // deadline) when it is due within clockAdvanceWindow (100 ns units), and
    // everything due by then fires, so that DPCs and device completions
    // interleave with running threads as on another processor. Sequential
    // runs move the clock only when every thread is blocked.
    int clockAdvancePercent = 5;
    uint64_t clockAdvanceWindow = 10'000;  // 1 ms
    int processors = 2;          // DPC contexts
    bool paced = false;          // tie virtual time to the wall clock (interactive use only)
    double pace = 1.0;           // virtual seconds per wall second when paced
    size_t traceCapacity = 20000;  // events kept in memory; 0 (without echoTrace) keeps no trace
    size_t traceTail = 40;       // events shown in a failure report
    uint64_t maxSchedulingPoints = 50'000'000;  // livelock guard
    bool echoTrace = false;      // print every trace event as it happens
    bool checkPoolAtEnd = true;  // a run that ends with live pool, driver IRPs or key handles fails
    bool allowDriverCancelSpinLock = false;  // the driver may call IoAcquireCancelSpinLock
    bool singleDriverSpinLock = true;  // holding two driver spin locks at once is a violation
};

// The options that change a run's schedule or verdict and differ from their
// defaults, each as name=value ("clock-advance-percent=10"); the PCT ones
// only under PCT, the random one only under random. Strategy, seed and PCT
// depth are not among them: they name the schedule itself.
std::vector<std::string> ChangedOptions(const Options& options);
// Sets one option from the name=value form ChangedOptions writes. False when
// the name is unknown or the value does not parse.
bool SetOption(Options* options, const std::string& nameValue);

// A verifier stop. Every rule the verifier checks has a stable id beside the
// bug check Windows would raise for it: the area first, then what broke, in
// lower case with hyphens ("irp-double-complete", "spinlock-not-owner",
// "remove-lock-wait-twice"). docs/architecture.md lists them.
struct BugCheckInfo {
    std::string name;     // as Windows names it, e.g. MULTIPLE_IRP_COMPLETE_REQUESTS
    std::string rule;     // the rule's id, e.g. irp-double-complete
    std::string detail;   // what the verifier saw
    std::string thread;   // offending simulated thread
    KIRQL irql = 0;       // its IRQL at the time
    std::string traceTail;
};

struct RunResult {
    bool ok = true;                   // no bug check, no deadlock, body finished
    std::optional<BugCheckInfo> bugCheck;
    std::string deadlock;             // non-empty: what each thread waited on
    std::string failure;              // other failure (end-of-run check, livelock, test assertion)
    // The id of the end-of-run check that failed the run ("run-pool-leak",
    // "fault-plan-unfired", ...), empty when none did.
    std::string failedCheck;
    Strategy strategy = Strategy::Sequential;
    uint64_t seed = 0;
    Options options;                  // as the run was made
    // Settings of the simulation's components that a replay needs besides
    // the options ("usb-timing=immediate"), as the components noted them.
    std::vector<std::string> settings;
    uint64_t virtualTime = 0;         // 100 ns units at the end of the run
    uint64_t schedulingPoints = 0;
    uint64_t contextSwitches = 0;

    // "strategy=pct seed=17 pct-depth=2", then every changed option and
    // component setting: enough to replay the run exactly.
    std::string Replay() const;
    // Full report: replay line, bug check or deadlock, trace tail.
    std::string Report() const;
    // The id of the rule or check that stopped or failed the run: the
    // verifier's rule for a bug check, else the failed end-of-run check;
    // empty when the run passed, deadlocked or failed otherwise.
    std::string Rule() const;
};

// ---------------------------------------------------------------- components

class Simulation;

// Identifier of a simulated thread (creation order, starting at 0).
using ThreadId = int;

struct TraceRecord {
    uint64_t seq;
    uint64_t time;       // virtual, 100 ns
    std::string thread;
    std::string kind;    // IRP, COMPLETE, CANCEL, TIMER, DPC, LOCK, URB, REG, PNP, USER, ...
    std::string text;
};

class Trace {
public:
  // Whether events are kept or echoed; when not, Add does nothing and
  // callers may skip building the text.
  bool On() const { return capacity_ > 0 || echo_; }
  void Add(std::string kind, std::string text);
  std::vector<TraceRecord> Events() const;
  std::vector<TraceRecord> EventsOfKind(const std::string& kind) const;
  std::string Tail(size_t count) const;
  std::string Format() const;
  static std::string FormatEvent(const TraceRecord& event);
  void Clear();

private:
    friend class Simulation;
    Simulation* sim_ = nullptr;
    const TraceRecord& At(size_t i) const { return events_[(head_ + i) % events_.size()]; }
    std::vector<TraceRecord> events_;  // ring of the last capacity_ events; the oldest at head_
    size_t head_ = 0;
    uint64_t seq_ = 0;
    size_t capacity_ = 20000;
    bool echo_ = false;
};

// Pool accounting and allocation faults.
class Pool {
public:
    struct TagBalance {
        ULONG tag;
        uint64_t count;   // live allocations
        uint64_t bytes;   // live bytes
    };
    uint64_t LiveCount(ULONG tag) const;
    uint64_t LiveBytes(ULONG tag) const;
    uint64_t LiveCountAll() const;
    std::vector<TagBalance> Balance() const;  // every tag with live blocks
    uint64_t AllocationCount() const;         // successful allocations so far
    static std::string TagText(ULONG tag);
    // Fail the nth allocation from now on (1 = the next one), once.
    void FailNth(uint64_t nth);
    // Fail each allocation with this chance (0..1), decided by the run's seed.
    void FailByChance(double probability);
    void ClearFaults();

    // internal
    struct Impl;
    std::unique_ptr<Impl> impl_;
    Pool();
    ~Pool();
};

// Failure of named platform calls on demand: "IoCreateDevice",
// "IoCreateSymbolicLink", "ZwOpenKey", "ZwSetValueKey", ... The nth call
// from now (1 = the next one) returns the status instead of doing its work.
// A plan that never fires (the routine is not called, or called fewer
// times, or the plan is cleared first) fails the run at its end, named: a
// test that plans a fault expects it to happen.
class Faults {
public:
    void FailCall(const std::string& routine, NTSTATUS status, int nth = 1);
    // Every call from now fails; the plan must fire at least once.
    void FailAlways(const std::string& routine, NTSTATUS status);
    // Ends every plan; those that never fired are kept for the run's end.
    void Clear();
    // The plans that have not fired, pending or cleared, in words.
    std::vector<std::string> Unfired() const;
    // Called by each fallible routine: the status to fail with, if any.
    std::optional<NTSTATUS> Check(const std::string& routine);
    // Calls made so far to a routine (counted whether or not they failed).
    int Calls(const std::string& routine) const;
    // Every routine called so far, in the order of its first call. With
    // Calls(), the fallible calls a stretch of a run made, so that a test can
    // fail each of them in turn.
    std::vector<std::string> Routines() const;

private:
    struct Plan {
        std::string routine;
        NTSTATUS status;
        int remaining;  // calls to let through first; -1: always fail
        int nth;        // as planned; 0: always
        int callsBefore;  // calls to the routine when the plan was made
        bool fired = false;
    };
    std::string PlanText(const Plan& plan) const;
    std::vector<Plan> plans_;
    std::vector<std::string> cleared_;  // plans cleared before they fired, in words
    std::vector<std::pair<std::string, int>> calls_;
};

// The in-memory registry hive. Paths are absolute NT paths
// ("\Registry\Machine\..."), case-insensitive, ASCII.
class Registry {
public:
    struct Value {
        std::string name;
        ULONG type = REG_NONE;
        std::vector<uint8_t> data;
        std::string AsString() const;  // REG_SZ data as ASCII, without terminator
    };
    void CreateKey(const std::string& path);
    bool KeyExists(const std::string& path) const;
    void SetValue(const std::string& path, const std::string& name, ULONG type,
                  std::vector<uint8_t> data);
    void SetString(const std::string& path, const std::string& name, const std::string& text);
    std::optional<Value> GetValue(const std::string& path, const std::string& name) const;
    bool DeleteValue(const std::string& path, const std::string& name);
    std::vector<Value> Values(const std::string& path) const;
    // REGEDIT4 text of the keys at or below the prefix (all keys when empty).
    std::string Dump(const std::string& prefix = "") const;

    static std::vector<uint8_t> WideStringData(const std::string& text);  // UTF-16LE + terminator
    // Key handles opened by kernel routines and not yet closed.
    size_t OpenHandleCount() const;

    struct Impl;
    std::unique_ptr<Impl> impl_;
    Registry();
    ~Registry();
};

// Well-known registry paths of the simulated machine.
extern const char* const kDeviceMapPath;  // \Registry\Machine\HARDWARE\DEVICEMAP
extern const char* const kPortsPath;      // ...\Windows NT\CurrentVersion\Ports
extern const char* const kEnumPath;       // \Registry\Machine\System\CurrentControlSet\Enum
extern const char* const kClassPath;      // ...\Control\Class

// Names, symbolic links and device interfaces.
class Objects {
public:
    PDEVICE_OBJECT FindDevice(const std::string& ntName) const;
    // The NT name a device was created with ("" when unnamed or unknown).
    std::string NameOf(PDEVICE_OBJECT device) const;
    // The symbolic links whose target is the given name.
    std::vector<std::string> LinksTo(const std::string& target) const;
    std::optional<std::string> LinkTarget(const std::string& linkName) const;
    // Resolves "\\.\COM5", "\DosDevices\COM5", "\??\COM5" or a device name
    // to the device object named at the end of the chain (or nullptr).
    PDEVICE_OBJECT Resolve(const std::string& name) const;
    std::vector<std::string> SymbolicLinks() const;
    std::vector<std::string> DeviceNames() const;
    struct Interface {
        std::string symbolicLink;  // \??\...#{guid}
        std::string guid;          // {86E0D1E0-8089-11D0-9CE4-08003E301F73}
        bool enabled;
        PDEVICE_OBJECT pdo;
    };
    std::vector<Interface> Interfaces() const;
    std::vector<Interface> EnabledInterfaces(const GUID& guid) const;
    static std::string GuidText(const GUID& guid);

    struct Impl;
    std::unique_ptr<Impl> impl_;
    Objects();
    ~Objects();
};

// ---------------------------------------------------------------- buses and PnP

// A bus driver that owns physical device objects. The minimal bus completes
// PnP and power requests and refuses everything else; the USB bus serves
// URBs as well.
class Bus {
public:
    virtual ~Bus() = default;
    // Creates the PDO for one device, named by its instance path
    // (e.g. "USB\VID_1A2B&PID_0001\5&1"), inside the running simulation.
    virtual PDEVICE_OBJECT CreatePdo(const std::string& instanceId) = 0;
    // Called when the PnP manager has removed the device (after
    // IRP_MN_REMOVE_DEVICE): the bus deletes its PDO.
    virtual void DeletePdo(PDEVICE_OBJECT pdo) = 0;
    // Surprise unplug: the hardware is gone from now on.
    virtual void Disconnect(PDEVICE_OBJECT pdo) { (void)pdo; }
};

// Creates a driver object for a driver of the simulation itself (a bus):
// every major function completes with STATUS_INVALID_DEVICE_REQUEST until
// the caller fills the table. Lives as long as the simulation.
PDRIVER_OBJECT CreateDriverObject(const std::string& name);

// What a bus does with the PnP and power requests that reach its PDO:
// start, stop, removal and their queries succeed, capabilities report D0 in
// the working state and D3 in every sleeping state, other minor functions
// keep their status; power requests succeed. Each completes the request.
NTSTATUS CompleteBusPnp(PIRP irp);
NTSTATUS CompleteBusPower(PIRP irp);

// A bus that completes IRP_MJ_PNP and IRP_MJ_POWER with success (capabilities
// filled with D3 for every sleeping state) and every other request with
// STATUS_INVALID_DEVICE_REQUEST.
std::unique_ptr<Bus> MakeMinimalBus();

struct DeviceNode {
    std::string instanceId;
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT top = nullptr;      // top of the stack after AddDevice
    std::string portName;              // assigned by the class installer
    Bus* bus = nullptr;
    bool added = false;
    bool started = false;
    bool removed = false;
    // Surprise-removed while handles were open: IRP_MN_REMOVE_DEVICE goes
    // when the last of them closes.
    bool removalWaiting = false;
};

class Pnp {
public:
    // Loads a driver: creates its driver object and runs its entry point on
    // the calling simulated thread. Returns nullptr when the entry fails.
    PDRIVER_OBJECT LoadDriver(const std::string& serviceName, PDRIVER_INITIALIZE entry);
    // Creates the PDO on the bus, its Enum and Class keys, and runs the
    // class-installer step that gives a new port its PortName (the first free
    // COMn from firstComNumber, remembered per instance as Windows does).
    DeviceNode* Enumerate(Bus& bus, const std::string& instanceId);
    // AddDevice of the function driver; the stack top is recorded.
    NTSTATUS AddDevice(DeviceNode* node, PDRIVER_OBJECT driver);
    // Sends an IRP_MJ_PNP request from the PnP thread to the top of the stack
    // and waits for its completion. The status block of the request is
    // returned; capabilities are answered into *caps when given.
    NTSTATUS SendPnp(DeviceNode* node, UCHAR minor, PDEVICE_CAPABILITIES caps = nullptr);
    // Sends an IRP_MJ_POWER request from the power thread and waits. PnP
    // requests and system query- and set-power requests exclude each other,
    // as Windows holds device removal back during a system power change.
    NTSTATUS SendPower(DeviceNode* node, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state);
    // Enumerate + AddDevice + IRP_MN_START_DEVICE. Returns the start status
    // (or the first failing step's status) in *status.
    DeviceNode* PlugIn(Bus& bus, const std::string& instanceId, PDRIVER_OBJECT driver,
                       NTSTATUS* status = nullptr);
    // Surprise unplug: the bus loses the device, then IRP_MN_SURPRISE_REMOVAL
    // to the top of the stack. IRP_MN_REMOVE_DEVICE follows at once when no
    // handle is open on the device, otherwise when the last one closes (the
    // handles' requests still reach the driver meanwhile); then the PDO goes.
    void Unplug(DeviceNode* node);
    // Sends IRP_MN_REMOVE_DEVICE now when no handle is open on the device,
    // otherwise when the last one closes; then the PDO goes. What follows a
    // surprise removal, and a start that failed.
    void RemoveWhenClosed(DeviceNode* node);
    // Orderly removal: IRP_MN_QUERY_REMOVE_DEVICE then IRP_MN_REMOVE_DEVICE.
    // As on Windows, a refused query, or a handle still open once the query
    // has succeeded (an application is using the device), vetoes the
    // removal: IRP_MN_CANCEL_REMOVE_DEVICE follows and the status says why
    // (STATUS_DEVICE_BUSY for the open handle).
    NTSTATUS Remove(DeviceNode* node);
    // A removal that another component vetoes: the query, then the cancel.
    // Returns the query's status.
    NTSTATUS CancelledRemove(DeviceNode* node);
    // IRP_MN_QUERY_STOP_DEVICE then IRP_MN_STOP_DEVICE; a refused query is
    // followed by IRP_MN_CANCEL_STOP_DEVICE and its status returned.
    NTSTATUS Stop(DeviceNode* node);
    // A rebalance: Stop, then IRP_MN_START_DEVICE when the stop was granted.
    NTSTATUS Rebalance(DeviceNode* node);
    // A stop that another component vetoes: the query, then the cancel.
    NTSTATUS CancelledStop(DeviceNode* node);
    // A system sleep as the power manager drives it for one device: query-
    // power, then set-power for the sleeping state; and the wake: set-power
    // for PowerSystemWorking. The first failing status is returned.
    NTSTATUS Sleep(DeviceNode* node, SYSTEM_POWER_STATE state);
    NTSTATUS Wake(DeviceNode* node);
    // Unloads a driver whose devices are all gone: runs its unload routine
    // and checks that it leaves no pool, timers or DPCs behind. While one of
    // its deleted device objects is still referenced (a handle, a request
    // running in it) the unload waits for the last reference, as on Windows.
    // A driver is unloaded once; a later call does nothing.
    void UnloadDriver(PDRIVER_OBJECT driver);
    bool Unloaded(PDRIVER_OBJECT driver) const;

    int firstComNumber = 3;

    struct Impl;
    std::unique_ptr<Impl> impl_;
    Pnp();
    ~Pnp();
};

// ---------------------------------------------------------------- user-mode I/O

using Handle = int;  // 0 is invalid
constexpr Handle kInvalidHandle = 0;

// An overlapped operation in flight: its status block and completion event.
struct Overlapped {
    PIRP irp = nullptr;
    IO_STATUS_BLOCK iosb{};
    KEVENT event{};
    bool pending = false;
    bool done = false;
    uint64_t completedAt = 0;  // virtual time of the final completion
    void* userBuffer = nullptr;
    ULONG userLength = 0;
};

// The I/O manager's user-mode side, as an application's CreateFile,
// ReadFile, WriteFile, DeviceIoControl, CancelIo and CloseHandle reach it.
// All calls run on the calling simulated thread at PASSIVE_LEVEL.
class UserIo {
public:
    // Opens "\\.\COM5" (or any NT name); IRP_MJ_CREATE to the device stack.
    Handle Open(const std::string& name, NTSTATUS* status = nullptr);
    // Synchronous forms: wait for completion; *information gets the count.
    NTSTATUS Read(Handle handle, void* buffer, ULONG length, ULONG* information = nullptr);
    NTSTATUS Write(Handle handle, const void* buffer, ULONG length, ULONG* information = nullptr);
    NTSTATUS DeviceIoControl(Handle handle, ULONG code, const void* input, ULONG inputLength,
                             void* output, ULONG outputLength, ULONG* information = nullptr);
    // Overlapped forms: return STATUS_PENDING with *overlapped in flight, or
    // the final status when the request completed at once.
    NTSTATUS ReadAsync(Handle handle, void* buffer, ULONG length, Overlapped* overlapped);
    NTSTATUS WriteAsync(Handle handle, const void* buffer, ULONG length, Overlapped* overlapped);
    NTSTATUS DeviceIoControlAsync(Handle handle, ULONG code, const void* input,
                                  ULONG inputLength, void* output, ULONG outputLength,
                                  Overlapped* overlapped);
    // IRP_MJ_FLUSH_BUFFERS (FlushFileBuffers), overlapped form as above.
    NTSTATUS FlushAsync(Handle handle, Overlapped* overlapped);
    // Waits for an overlapped request (timeout in 100 ns units, -1: none).
    // Returns STATUS_TIMEOUT when it has not completed in time.
    NTSTATUS Wait(Overlapped* overlapped, int64_t timeout = -1);
    // CancelIo: cancels the handle's requests still in the driver that the
    // calling thread issued. CancelIoEx (without an OVERLAPPED): all of them,
    // whichever thread issued them.
    void CancelIo(Handle handle);
    void CancelIoEx(Handle handle);
    // CancelIoEx with an OVERLAPPED: cancels that one request if it is still
    // in the driver (checked and cancelled in one step); false when it has
    // ended already.
    bool Cancel(Overlapped* overlapped);
    // CloseHandle: IRP_MJ_CLEANUP, then IRP_MJ_CLOSE once no request on the
    // handle is outstanding. With requests still outstanding after cleanup,
    // Close returns the cleanup status at once and IRP_MJ_CLOSE goes from a
    // worker thread ("I/O close") when the last of them completes, as Windows
    // sends it when the last reference to the file object goes.
    NTSTATUS Close(Handle handle);
    // User requests (of any handle) whose dispatch routine is running now:
    // sent down and not yet returned from.
    int Dispatching() const;

    struct Impl;
    std::unique_ptr<Impl> impl_;
    UserIo();
    ~UserIo();
};

// ---------------------------------------------------------------- the simulation

class Simulation {
public:
    explicit Simulation(Options options = {});
    ~Simulation();
    Simulation(const Simulation&) = delete;
    Simulation& operator=(const Simulation&) = delete;

    // Runs body as the simulation's first simulated thread ("main", PASSIVE_LEVEL)
    // and returns when it has finished and nothing is left to run; threads it
    // started must have ended. A Simulation runs once.
    RunResult Run(std::function<void()> body);

    // The simulation running on this host thread (only valid inside Run).
    static Simulation& Current();
    static bool Active();

    // Threads: passive-level simulated threads started from inside the run.
    ThreadId StartThread(const std::string& name, std::function<void()> body);
    void Join(ThreadId thread);  // waits (as a simulated wait) until it ends
    std::string ThreadName(ThreadId thread) const;
    ThreadId CurrentThread() const;

    // Virtual time, 100 ns units since the start of the run.
    uint64_t Now() const;
    // Runs fn at virtual time `when` in a DPC context at DISPATCH_LEVEL.
    // Returns an id that CancelEvent() takes. A time at or before now fires at
    // once (fn is queued to a DPC context before At returns) and gives 0.
    // `what` names it in reports; it is kept by pointer, so pass a literal.
    uint64_t At(uint64_t when, std::function<void()> fn, const char* what = "event");
    bool CancelEvent(uint64_t id);
    // Runs fn soon in a DPC context at DISPATCH_LEVEL (like a DPC).
    void Defer(std::function<void()> fn, const char* what = "deferred");

    // A scheduling point outside a kernel call (for harness code that loops).
    void Yield();

    // Scheduling points passed so far in this run.
    uint64_t SchedulingPoints() const;
    // Plans an interrupt: when the run reaches scheduling point `point`
    // (counted as SchedulingPoints() counts), a passive-level thread running
    // `body` starts and runs at once, before the thread that reached the
    // point goes on; the same schedule otherwise. One plan at a time; a new
    // one replaces it. A point already passed or never reached starts nothing
    // (InterruptPending() stays true).
    void InterruptAtPoint(uint64_t point, const std::string& name, std::function<void()> body);
    bool InterruptPending() const;
    // Calls `observer` with the point's number at every scheduling point
    // (null: none). It runs inside the scheduler: it may look, not call the
    // kernel.
    void ObservePoints(std::function<void(uint64_t)> observer);

    // Outside input: host threads may post work; it runs in a DPC context
    // in the order posted, when the scheduler next drains the queue.
    void Post(std::function<void()> fn);

    // Stops the run with a bug check (the verifier's way out): the name
    // Windows gives it, the id of the rule that was broken, what was seen.
    [[noreturn]] void BugCheckStop(const std::string& name, const std::string& rule,
                                   const std::string& detail);
    // Records a setting of a component that a replay needs besides the
    // options (name=value, once each); RunResult::Replay lists it.
    void NoteSetting(const std::string& setting);
    // Stops the run with a failure that is not a bug check.
    [[noreturn]] void Fail(const std::string& message);

    const Options& options() const { return options_; }
    Trace& trace() { return trace_; }
    Pool& pool() { return pool_; }
    Faults& faults() { return faults_; }
    Registry& registry() { return registry_; }
    Objects& objects() { return objects_; }
    Pnp& pnp() { return pnp_; }
    UserIo& io() { return io_; }

    // Deterministic random numbers from the run's seed (for models and faults).
    uint64_t Random();
    double RandomUnit();

    struct Impl;
    Impl& impl() { return *impl_; }

private:
    Options options_;
    Trace trace_;
    Pool pool_;
    Faults faults_;
    Registry registry_;
    Objects objects_;
    Pnp pnp_;
    UserIo io_;
    std::unique_ptr<Impl> impl_;
};

// Runs one scenario under one strategy and seed (a convenience for tests).
RunResult RunScenario(const Options& options, const std::function<void()>& body);

// Text of a UNICODE_STRING / wide string (ASCII) and back.
std::string Narrow(const UNICODE_STRING& text);
std::string Narrow(const char16_t* text);
std::u16string Widen(const std::string& text);

// ---------------------------------------------------------------- checks

// Fails the current simulated run from a test assertion inside the body,
// naming the condition, the file and the line.
#define SIM_CHECK(condition)                                                    \
    do {                                                                        \
        if (!(condition))                                                       \
            ::sim::check::Failed("check failed: " #condition, __FILE__, __LINE__); \
    } while (0)

// The same for a comparison, printing both sides' values:
//   SIM_CHECK_EQ(r.moved, 4u) fails with
//   "check failed: r.moved == 4u (tests/usb/x.cpp:12)\n  r.moved: 3\n  4u: 4".
// Integers of any signedness compare by value, as std::cmp_equal does.
#define SIM_CHECK_EQ(a, b) SIM_CHECK_OP_(a, b, #a, #b, " == ", Eq)
#define SIM_CHECK_NE(a, b) SIM_CHECK_OP_(a, b, #a, #b, " != ", Ne)
#define SIM_CHECK_LT(a, b) SIM_CHECK_OP_(a, b, #a, #b, " < ", Lt)
#define SIM_CHECK_LE(a, b) SIM_CHECK_OP_(a, b, #a, #b, " <= ", Le)
#define SIM_CHECK_GT(a, b) SIM_CHECK_OP_(a, b, #a, #b, " > ", Gt)
#define SIM_CHECK_GE(a, b) SIM_CHECK_OP_(a, b, #a, #b, " >= ", Ge)

// The sides' texts come stringized from the macros above, before their
// macros expand (STATUS_SUCCESS, not ((NTSTATUS)0x00000000L)).
#define SIM_CHECK_OP_(a, b, aText, bText, op, name)                                         \
    do {                                                                                    \
        const auto& sim_check_a_ = (a);                                                     \
        const auto& sim_check_b_ = (b);                                                     \
        if (!::sim::check::name(sim_check_a_, sim_check_b_))                                \
            ::sim::check::Failed("check failed: " aText op bText, __FILE__, __LINE__, aText, \
                                 ::sim::check::Text(sim_check_a_), bText,                   \
                                 ::sim::check::Text(sim_check_b_));                         \
    } while (0)

namespace check {

// Fails the current run with the message, where the check is and, for a
// comparison, each side's expression and value.
[[noreturn]] void Failed(const char* message, const char* file, int line);
[[noreturn]] void Failed(const char* message, const char* file, int line, const char* a,
                         const std::string& aText, const char* b, const std::string& bText);

template <typename T>
constexpr bool kInteger = std::is_integral_v<T> && !std::is_same_v<T, bool> &&
                          !std::is_same_v<T, char> && !std::is_same_v<T, wchar_t> &&
                          !std::is_same_v<T, char8_t> && !std::is_same_v<T, char16_t> &&
                          !std::is_same_v<T, char32_t>;

template <typename A, typename B>
bool Eq(const A& a, const B& b) {
    if constexpr (kInteger<A> && kInteger<B>) return std::cmp_equal(a, b);
    else return a == b;
}
template <typename A, typename B>
bool Ne(const A& a, const B& b) {
    return !Eq(a, b);
}
template <typename A, typename B>
bool Lt(const A& a, const B& b) {
    if constexpr (kInteger<A> && kInteger<B>) return std::cmp_less(a, b);
    else return a < b;
}
template <typename A, typename B>
bool Le(const A& a, const B& b) {
    return !Lt(b, a);
}
template <typename A, typename B>
bool Gt(const A& a, const B& b) {
    return Lt(b, a);
}
template <typename A, typename B>
bool Ge(const A& a, const B& b) {
    return !Lt(a, b);
}

// An integer of `bytes` bytes (its bits in `value`, signed or not).
std::string IntegerText(int64_t value, bool isSigned, int bytes);
std::string QuotedText(std::string_view text);

template <typename T>
concept Streamable = requires(std::ostream& out, const T& v) { out << v; };
template <typename T>
concept Range = requires(const T& v) {
    std::begin(v);
    std::end(v);
};

// A value as a failed check prints it: integers in decimal (and in hex from
// 10 on, in the width of their type), enumerations by their number, text
// quoted, ranges element by element (the first 32).
template <typename T>
std::string Text(const T& v) {
    if constexpr (std::is_same_v<T, bool>) {
        return v ? "true" : "false";
    } else if constexpr (std::is_enum_v<T>) {
        return Text(static_cast<std::underlying_type_t<T>>(v));
    } else if constexpr (std::is_integral_v<T>) {
        return IntegerText(static_cast<int64_t>(v), std::is_signed_v<T>,
                           static_cast<int>(sizeof(T)));
    } else if constexpr (std::is_null_pointer_v<T>) {
        return "null";
    } else if constexpr (std::is_pointer_v<T>) {
        if (v == nullptr) return "null";
        if constexpr (std::is_convertible_v<T, std::string_view>) return QuotedText(v);
        std::ostringstream out;
        out << static_cast<const void*>(v);
        return out.str();
    } else if constexpr (std::is_convertible_v<const T&, std::string_view>) {
        return QuotedText(std::string_view(v));
    } else if constexpr (Range<T>) {
        std::string out = "{";
        size_t n = 0;
        for (const auto& e : v) {
            if (n == 32) {
                out += ", ...";
                break;
            }
            out += (n++ ? ", " : "") + Text(e);
        }
        return out + "}";
    } else if constexpr (Streamable<T>) {
        std::ostringstream out;
        out << v;
        return out.str();
    } else {
        return "(a value without a printed form)";
    }
}

}  // namespace check

}  // namespace sim
