// dispatcher.cpp - IRQL, spin locks, events, mutexes, waits, timers, DPCs,
// interlocked operations and the clocks of the simulated kernel.
//
// The state of each dispatcher object lives in the object itself (its
// DISPATCHER_HEADER), as on Windows; the scheduler keeps who waits on what.
// A spin lock holds its owner's thread id + 1 (0 when free). A spin lock held
// by another simulated thread blocks the acquirer in the scheduler.
#include <string>

#include "sim/kernel/internal.h"
#include "sim/kernel/tsan.h"

using namespace sim;

namespace {

constexpr uint64_t kBootSystemTime = 134116992000000000ull;  // 2026-01-01 00:00 UTC, 100 ns units

Simulation::Impl& S() { return Simulation::Current().impl(); }

std::string ObjectText(void* object) {
    auto* header = static_cast<DISPATCHER_HEADER*>(object);
    Simulation::Impl& s = S();
    switch (header->Type) {
        case SIM_OBJECT_EVENT_NOTIFICATION:
            return s.Label(object, "event") + " (notification event)";
        case SIM_OBJECT_EVENT_SYNCHRONIZATION:
            return s.Label(object, "event") + " (synchronization event)";
        case SIM_OBJECT_MUTEX: {
            auto* mutex = static_cast<KMUTEX*>(object);
            std::string owner = "free";
            if (mutex->OwnerThread)
                owner = "owned by '" + reinterpret_cast<SimThread*>(mutex->OwnerThread)->name + "'";
            return s.Label(object, "mutex") + " (mutex, " + owner + ")";
        }
        default:
            return s.Label(object, "timer") + " (timer)";
    }
}

// Blocks the current thread (m held) with the wait already described in
// self->wait; returns the wait's result.
NTSTATUS BlockWith(std::unique_lock<std::mutex>& lock, Simulation::Impl& s, SimThread* self) {
    self->wait.seq = ++s.waitSeq;
    if (self->wait.hasDeadline) {
        uint64_t seq = self->wait.seq;
        Simulation::Impl* impl = &s;
        self->wait.deadlineEvent = s.Schedule(
            self->wait.deadline,
            [impl, self, seq] {
                if (self->state == SimThread::State::Blocked && self->wait.seq == seq) {
                    self->wait.deadlineEvent = 0;
                    self->wait.result = STATUS_TIMEOUT;
                    self->state = SimThread::State::Ready;
                    self->readySeq = ++impl->readySeq;
                }
            },
            "wait deadline");
    }
    self->state = SimThread::State::Blocked;
    s.BlockCurrent(lock);
    return self->wait.result;
}

// Converts a kernel due time (negative: relative, positive: absolute system
// time) into an absolute interrupt time.
uint64_t DueToInterruptTime(LONGLONG due, uint64_t now) {
    if (due < 0) return now + static_cast<uint64_t>(-due);
    uint64_t absolute = static_cast<uint64_t>(due);
    if (absolute <= kBootSystemTime) return now;
    uint64_t when = absolute - kBootSystemTime;
    return when < now ? now : when;
}

void AcquireSpinLockRaw(PKSPIN_LOCK lock, const char* routine) {
    Simulation::Impl& s = S();
    SimThread* self = s.Self();
    std::unique_lock<std::mutex> guard(s.m);
    KSPIN_LOCK me = static_cast<KSPIN_LOCK>(self->id) + 1;
    if (*lock == me) {
        guard.unlock();
        BugCheck("SPIN_LOCK_ALREADY_OWNED", "spinlock-recursive",
                 std::string(routine) + ": " + s.Label(lock, "spinlock") +
                     " is already held by this thread");
    }
    if (*lock == 0) {
        *lock = me;
        tsan::Acquire(lock);
        return;
    }
    self->wait = WaitRecord{};
    self->wait.kind = WaitRecord::Kind::SpinLock;
    self->wait.object = lock;
    self->wait.what = s.Label(lock, "spinlock") + " (spin lock held by '" +
                      s.threads[static_cast<size_t>(*lock - 1)]->name + "')";
    BlockWith(guard, s, self);
    tsan::Acquire(lock);
}

void ReleaseSpinLockRaw(PKSPIN_LOCK lock, const char* routine) {
    Simulation::Impl& s = S();
    SimThread* self = s.Self();
    std::unique_lock<std::mutex> guard(s.m);
    KSPIN_LOCK me = static_cast<KSPIN_LOCK>(self->id) + 1;
    if (*lock != me) {
        std::string holder = *lock == 0 ? "nobody" : "'" + s.threads[*lock - 1]->name + "'";
        guard.unlock();
        BugCheck("SPIN_LOCK_NOT_OWNED", "spinlock-not-owner", std::string(routine) + ": " + s.Label(lock, "spinlock") +
                                            " is held by " + holder + ", not by this thread");
    }
    tsan::Release(lock);
    *lock = 0;
    s.SatisfyWaits();
}

void NoteDriverLockTaken(SimThread* self, PKSPIN_LOCK lock) {
    Simulation& sim = Simulation::Current();
    if (sim.options().singleDriverSpinLock && !self->heldSpinLocks.empty()) {
        BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION", "spinlock-two-driver-locks",
                 "two driver spin locks held at once: " + sim.impl().Label(lock, "spinlock") +
                     " taken while holding " +
                     sim.impl().Label(self->heldSpinLocks.back(), "spinlock"));
    }
    self->heldSpinLocks.push_back(lock);
}

void NoteDriverLockReleased(SimThread* self, PKSPIN_LOCK lock) {
    for (size_t i = self->heldSpinLocks.size(); i-- > 0;) {
        if (self->heldSpinLocks[i] == lock) {
            self->heldSpinLocks.erase(self->heldSpinLocks.begin() + static_cast<long>(i));
            return;
        }
    }
}

void Signal(DISPATCHER_HEADER* header) {
    tsan::Release(header);
    header->SignalState = 1;
    S().SatisfyWaits();
}

// Queues the timer's expiry on the clock (m held).
void ArmTimer(Simulation::Impl* impl, PKTIMER timer, uint64_t when);

// Expiry of a timer (m held, in the scheduler): signal it, queue its DPC
// unless that DPC is already queued, and re-arm a periodic timer.
void ExpireTimer(Simulation::Impl* impl, PKTIMER timer) {
    impl->timerEvents.erase(timer);
    timer->Header.Inserted = 0;
    timer->Header.SignalState = 1;
    if (impl->sim->trace().On())
        impl->sim->trace().Add("TIMER", "expire " + impl->Label(timer, "timer"));
    impl->SatisfyWaits();
    if (timer->Dpc && !timer->Dpc->DpcData) {
        PKDPC dpc = timer->Dpc;
        dpc->DpcData = dpc;
        dpc->SystemArgument1 = reinterpret_cast<PVOID>(static_cast<uintptr_t>(impl->now));
        dpc->SystemArgument2 = nullptr;
        impl->QueueDpcItem(impl->ChooseProcessor(), DpcItem{dpc, nullptr, "timer DPC"});
    }
    if (timer->Period > 0) {
        ArmTimer(impl, timer, impl->now + static_cast<uint64_t>(timer->Period) * 10000);
    }
}

void ArmTimer(Simulation::Impl* impl, PKTIMER timer, uint64_t when) {
    timer->DueTime.QuadPart = when;
    timer->Header.Inserted = 1;
    if (when <= impl->now) {
        // A due time at or before now expires the timer at once, as on Windows.
        ExpireTimer(impl, timer);
        return;
    }
    uint64_t id = impl->Schedule(when, [impl, timer] { ExpireTimer(impl, timer); }, "timer");
    impl->timerEvents[timer] = id;
}

}  // namespace

namespace sim {

void VerifyIrqlAtMost(KIRQL max, const char* routine) {
    SimThread& self = CurrentThread();
    if (self.irql > max) {
        BugCheck("IRQL_NOT_LESS_OR_EQUAL", "irql-above-limit", std::string(routine) + " called at IRQL " +
                                               std::to_string(self.irql) + " (at most " +
                                               std::to_string(max) + " allowed)");
    }
}

// The queued timer (inside the device's extension, when given) that was set
// first: reports name it whatever the hash order of the timer table.
const void* OldestQueuedTimer(Simulation::Impl& s, const DeviceRecord* inDevice) {
    const void* oldest = nullptr;
    uint64_t oldestId = 0;
    for (auto& [timer, id] : s.timerEvents) {
        if (inDevice && !AddressInDevice(timer, *inDevice)) continue;
        if (!oldest || id < oldestId) {
            oldest = timer;
            oldestId = id;
        }
    }
    return oldest;
}

void DeliverApcs(SimThread& thread) {
    while (thread.irql < APC_LEVEL && !thread.pendingApcs.empty()) {
        auto apc = std::move(thread.pendingApcs.front());
        thread.pendingApcs.erase(thread.pendingApcs.begin());
        apc();
    }
}

// Signals an event from inside the I/O manager (m not held).
void SetEventInternal(PKEVENT event) {
    tsan::Release(event);
    event->Header.SignalState = 1;
    Simulation::Impl& s = S();
    std::unique_lock<std::mutex> guard(s.m);
    s.SatisfyWaits();
}

bool AnyDriverTimerOrDpcQueued(std::string* what) {
    Simulation::Impl& s = S();
    if (const void* timer = OldestQueuedTimer(s, nullptr)) {
        *what = s.Label(timer, "timer") + " is still queued";
        return true;
    }
    for (auto& q : s.dpcQueues) {
        for (auto& item : q) {
            if (item.dpc) {
                *what = s.Label(item.dpc, "dpc") + " is still queued";
                return true;
            }
        }
    }
    return false;
}

void VerifyNoTimersOrDpcsIn(const DeviceRecord& record) {
    Simulation::Impl& s = S();
    if (const void* timer = OldestQueuedTimer(s, &record)) {
        BugCheck("TIMER_OR_DPC_INVALID", "device-delete-timer-or-dpc",
                 "device " + DeviceLabel(record.device) + " deleted while " +
                     s.Label(timer, "timer") + " in its extension is still queued");
    }
    for (size_t p = 0; p < s.dpcQueues.size(); ++p) {
        for (auto& item : s.dpcQueues[p]) {
            if (item.dpc && AddressInDevice(item.dpc, record)) {
                BugCheck("TIMER_OR_DPC_INVALID", "device-delete-timer-or-dpc",
                         "device " + DeviceLabel(record.device) + " deleted while " +
                             s.Label(item.dpc, "dpc") + " in its extension is still queued");
            }
        }
        if (s.runningDpc[p] && AddressInDevice(s.runningDpc[p], record) &&
            s.dpcThreads[p] != s.Self()) {
            BugCheck("TIMER_OR_DPC_INVALID", "device-delete-timer-or-dpc",
                     "device " + DeviceLabel(record.device) + " deleted while " +
                         s.Label(s.runningDpc[p], "dpc") + " in its extension is running");
        }
    }
}

}  // namespace sim

extern "C" {

// ---------------------------------------------------------------- IRQL

KIRQL KeGetCurrentIrql(VOID) { return CurrentThread().irql; }

VOID SimAssertIrql(PCSTR routine, KIRQL lowest, KIRQL highest) {
    const KIRQL irql = CurrentThread().irql;
    if (irql >= lowest && irql <= highest) {
        return;
    }
    auto name = [](KIRQL level) -> std::string {
        switch (level) {
            case PASSIVE_LEVEL: return "PASSIVE_LEVEL";
            case APC_LEVEL: return "APC_LEVEL";
            case DISPATCH_LEVEL: return "DISPATCH_LEVEL";
            default: return std::to_string(level);
        }
    };
    const std::string stated = lowest == highest ? name(highest) : "<= " + name(highest);
    BugCheck(irql > highest ? "IRQL_NOT_LESS_OR_EQUAL" : "IRQL_NOT_GREATER_OR_EQUAL",
             "irql-assertion",
             std::string(routine) + " entered at IRQL " + std::to_string(irql) + " (" + name(irql) +
                 "), but its IRQL line says " + stated);
}

VOID KeRaiseIrql(KIRQL newIrql, PKIRQL oldIrql) {
    KernelPoint("KeRaiseIrql");
    SimThread& self = CurrentThread();
    if (newIrql < self.irql) {
        BugCheck("IRQL_NOT_GREATER_OR_EQUAL", "irql-raise-below", "KeRaiseIrql to " + std::to_string(newIrql) +
                                                  " from " + std::to_string(self.irql));
    }
    *oldIrql = self.irql;
    self.irql = newIrql;
}

VOID KeLowerIrql(KIRQL newIrql) {
    KernelPoint("KeLowerIrql");
    SimThread& self = CurrentThread();
    if (newIrql > self.irql) {
        BugCheck("IRQL_NOT_LESS_OR_EQUAL", "irql-lower-above", "KeLowerIrql to " + std::to_string(newIrql) +
                                               " from " + std::to_string(self.irql));
    }
    self.irql = newIrql;
    DeliverApcs(self);
}

KIRQL KeRaiseIrqlToDpcLevel(VOID) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return old;
}

// ---------------------------------------------------------------- spin locks

VOID KeInitializeSpinLock(PKSPIN_LOCK lock) { *lock = 0; }

KIRQL KfAcquireSpinLock(PKSPIN_LOCK lock) {
    KernelPoint("KeAcquireSpinLock");
    SimThread& self = CurrentThread();
    VerifyIrqlAtMost(DISPATCH_LEVEL, "KeAcquireSpinLock");
    KIRQL old = self.irql;
    AcquireSpinLockRaw(lock, "KeAcquireSpinLock");
    self.irql = DISPATCH_LEVEL;
    NoteDriverLockTaken(&self, lock);
    SIM_TRACE("LOCK", "acquire " + S().Label(lock, "spinlock"));
    return old;
}

VOID KfReleaseSpinLock(PKSPIN_LOCK lock, KIRQL oldIrql) {
    SimThread& self = CurrentThread();
    ReleaseSpinLockRaw(lock, "KeReleaseSpinLock");
    NoteDriverLockReleased(&self, lock);
    SIM_TRACE("LOCK", "release " + S().Label(lock, "spinlock"));
    self.irql = oldIrql;
    DeliverApcs(self);
    KernelPoint("KeReleaseSpinLock");
}

VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK lock) {
    KernelPoint("KeAcquireSpinLockAtDpcLevel");
    SimThread& self = CurrentThread();
    if (self.irql != DISPATCH_LEVEL) {
        BugCheck("IRQL_NOT_GREATER_OR_EQUAL", "irql-below-dispatch",
                 "KeAcquireSpinLockAtDpcLevel called at IRQL " + std::to_string(self.irql));
    }
    AcquireSpinLockRaw(lock, "KeAcquireSpinLockAtDpcLevel");
    NoteDriverLockTaken(&self, lock);
    SIM_TRACE("LOCK", "acquire " + S().Label(lock, "spinlock") + " at DPC level");
}

VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK lock) {
    SimThread& self = CurrentThread();
    ReleaseSpinLockRaw(lock, "KeReleaseSpinLockFromDpcLevel");
    NoteDriverLockReleased(&self, lock);
    SIM_TRACE("LOCK", "release " + S().Label(lock, "spinlock") + " from DPC level");
    KernelPoint("KeReleaseSpinLockFromDpcLevel");
}

VOID IoAcquireCancelSpinLock(PKIRQL irql) {
    KernelPoint("IoAcquireCancelSpinLock");
    Simulation& sim = Simulation::Current();
    if (!sim.options().allowDriverCancelSpinLock) {
        BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION", "cancel-lock-by-driver",
                 "the driver acquired the system cancel spin lock");
    }
    SimThread& self = CurrentThread();
    VerifyIrqlAtMost(DISPATCH_LEVEL, "IoAcquireCancelSpinLock");
    *irql = self.irql;
    AcquireSpinLockRaw(&sim.impl().cancelLock, "IoAcquireCancelSpinLock");
    self.holdsCancelLock = true;
    self.irql = DISPATCH_LEVEL;
}

VOID IoReleaseCancelSpinLock(KIRQL irql) {
    SimThread& self = CurrentThread();
    ReleaseSpinLockRaw(&S().cancelLock, "IoReleaseCancelSpinLock");
    self.holdsCancelLock = false;
    self.irql = irql;
    DeliverApcs(self);
    KernelPoint("IoReleaseCancelSpinLock");
}

// ---------------------------------------------------------------- events

VOID KeInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state) {
    event->Header.Type = type == NotificationEvent ? SIM_OBJECT_EVENT_NOTIFICATION
                                                   : SIM_OBJECT_EVENT_SYNCHRONIZATION;
    event->Header.SignalState = state ? 1 : 0;
    InitializeListHead(&event->Header.WaitListHead);
}

LONG KeSetEvent(PRKEVENT event, KPRIORITY, BOOLEAN wait) {
    KernelPoint("KeSetEvent");
    VerifyIrqlAtMost(wait ? APC_LEVEL : DISPATCH_LEVEL,
                     wait ? "KeSetEvent with Wait TRUE" : "KeSetEvent");
    LONG previous = event->Header.SignalState;
    Simulation::Impl& s = S();
    SIM_TRACE("EVENT", "set " + s.Label(event, "event") + (wait ? " (Wait TRUE)" : ""));
    std::unique_lock<std::mutex> guard(s.m);
    Signal(&event->Header);
    // Windows returns holding the dispatcher lock at DISPATCH_LEVEL; the
    // caller's next call must be a wait, which nothing runs before.
    if (wait) s.Self()->mustWaitNext = true;
    return previous;
}

VOID KeClearEvent(PRKEVENT event) {
    KernelPoint("KeClearEvent");
    event->Header.SignalState = 0;
}

LONG KeResetEvent(PRKEVENT event) {
    KernelPoint("KeResetEvent");
    LONG previous = event->Header.SignalState;
    event->Header.SignalState = 0;
    return previous;
}

LONG KeReadStateEvent(PRKEVENT event) {
    KernelPoint("KeReadStateEvent");
    return event->Header.SignalState;
}

// ---------------------------------------------------------------- mutexes

VOID KeInitializeMutex(PRKMUTEX mutex, ULONG) {
    mutex->Header.Type = SIM_OBJECT_MUTEX;
    mutex->Header.SignalState = 1;
    InitializeListHead(&mutex->Header.WaitListHead);
    mutex->OwnerThread = nullptr;
    mutex->Abandoned = FALSE;
}

LONG KeReleaseMutex(PRKMUTEX mutex, BOOLEAN) {
    KernelPoint("KeReleaseMutex");
    VerifyIrqlAtMost(DISPATCH_LEVEL, "KeReleaseMutex");
    SimThread& self = CurrentThread();
    if (mutex->OwnerThread != reinterpret_cast<PKTHREAD>(&self)) {
        BugCheck("THREAD_NOT_MUTEX_OWNER", "mutex-not-owner",
                 S().Label(mutex, "mutex") + " released by a thread that does not own it");
    }
    Simulation::Impl& s = S();
    std::unique_lock<std::mutex> guard(s.m);
    --self.mutexesOwned;
    tsan::Release(mutex);
    LONG previous = mutex->Header.SignalState;
    mutex->Header.SignalState = mutex->Header.SignalState + 1;
    if (mutex->Header.SignalState > 0) {
        mutex->OwnerThread = nullptr;
        SIM_TRACE("MUTEX", "release " + s.Label(mutex, "mutex"));
        s.SatisfyWaits();
    }
    return previous;
}

LONG KeReadStateMutex(PRKMUTEX mutex) {
    KernelPoint("KeReadStateMutex");
    return mutex->Header.SignalState;
}

// ---------------------------------------------------------------- waits

NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                               PLARGE_INTEGER timeout) {
    KernelPoint("KeWaitForSingleObject");
    SimThread& self = CurrentThread();
    self.mustWaitNext = false;
    bool zeroTimeout = timeout && timeout->QuadPart == 0;
    if (self.irql > DISPATCH_LEVEL || (self.irql == DISPATCH_LEVEL && !zeroTimeout)) {
        BugCheck("IRQL_NOT_LESS_OR_EQUAL", "irql-wait-at-dispatch", "KeWaitForSingleObject on " + ObjectText(object) +
                                               " at IRQL " + std::to_string(self.irql));
    }
    auto* header = static_cast<DISPATCHER_HEADER*>(object);
    if (header->Type == SIM_OBJECT_MUTEX && !self.heldSpinLocks.empty()) {
        BugCheck("IRQL_NOT_LESS_OR_EQUAL", "mutex-wait-under-spinlock", "mutex wait while holding a spin lock");
    }
    // A wait with a time-out on an object not yet signalled may be made to
    // time out at once ("KeWaitForSingleObject(timeout)"), as if its
    // deadline had passed just before the object was signalled.
    if (timeout && !zeroTimeout && header->SignalState <= 0 &&
        FaultFor("KeWaitForSingleObject(timeout)")) {
        return STATUS_TIMEOUT;
    }
    Simulation::Impl& s = S();
    std::unique_lock<std::mutex> guard(s.m);
    self.wait = WaitRecord{};
    self.wait.kind = WaitRecord::Kind::Object;
    self.wait.object = object;
    if (s.TryConsume(&self)) {
        tsan::Acquire(object);
        return STATUS_SUCCESS;
    }
    if (zeroTimeout) return STATUS_TIMEOUT;
    self.wait.what = ObjectText(object);  // only a wait that blocks is ever described
    if (timeout) {
        self.wait.hasDeadline = true;
        self.wait.deadline = DueToInterruptTime(timeout->QuadPart, s.now);
    }
    SIM_TRACE("WAIT", "wait on " + self.wait.what);
    NTSTATUS status = BlockWith(guard, s, &self);
    guard.unlock();
    if (status == STATUS_SUCCESS) tsan::Acquire(object);
    if (status == STATUS_TIMEOUT) SIM_TRACE("WAIT", "time-out on " + s.Label(object, "object"));
    return status;
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER interval) {
    KernelPoint("KeDelayExecutionThread");
    VerifyIrqlAtMost(APC_LEVEL, "KeDelayExecutionThread");
    SimThread& self = CurrentThread();
    Simulation::Impl& s = S();
    std::unique_lock<std::mutex> guard(s.m);
    self.wait = WaitRecord{};
    self.wait.kind = WaitRecord::Kind::Delay;
    self.wait.what = "a delay";
    self.wait.hasDeadline = true;
    self.wait.deadline = DueToInterruptTime(interval ? interval->QuadPart : 0, s.now);
    if (self.wait.deadline <= s.now) return STATUS_SUCCESS;
    BlockWith(guard, s, &self);
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------- timers and DPCs

VOID KeInitializeTimer(PKTIMER timer) { KeInitializeTimerEx(timer, NotificationTimer); }

VOID KeInitializeTimerEx(PKTIMER timer, TIMER_TYPE type) {
    timer->Header.Type = type == NotificationTimer ? SIM_OBJECT_TIMER_NOTIFICATION
                                                   : SIM_OBJECT_TIMER_SYNCHRONIZATION;
    timer->Header.SignalState = 0;
    timer->Header.Inserted = 0;
    InitializeListHead(&timer->Header.WaitListHead);
    timer->DueTime.QuadPart = 0;
    timer->Dpc = nullptr;
    timer->Period = 0;
}

BOOLEAN KeInsertQueueDpc(PRKDPC dpc, PVOID argument1, PVOID argument2);

BOOLEAN KeSetTimerEx(PKTIMER timer, LARGE_INTEGER dueTime, LONG period, PKDPC dpc) {
    KernelPoint("KeSetTimer");
    VerifyIrqlAtMost(DISPATCH_LEVEL, "KeSetTimer");
    if (timer->Header.Type != SIM_OBJECT_TIMER_NOTIFICATION &&
        timer->Header.Type != SIM_OBJECT_TIMER_SYNCHRONIZATION) {
        BugCheck("TIMER_OR_DPC_INVALID", "timer-uninitialized", "KeSetTimer on an uninitialised timer");
    }
    Simulation::Impl& s = S();
    std::unique_lock<std::mutex> guard(s.m);
    BOOLEAN wasQueued = timer->Header.Inserted;
    auto found = s.timerEvents.find(timer);
    if (found != s.timerEvents.end()) {
        s.Unschedule(found->second);
        s.timerEvents.erase(found);
    }
    uint64_t when = DueToInterruptTime(dueTime.QuadPart, s.now);
    timer->Dpc = dpc;
    timer->Period = period;
    timer->Header.SignalState = 0;
    tsan::Release(timer);  // for a wait on the timer
    if (dpc) tsan::Release(dpc);  // for its DPC
    SIM_TRACE("TIMER", "set " + s.Label(timer, "timer") + " for t=" + std::to_string(when / 10) +
                           "us" + (wasQueued ? " (was queued)" : ""));
    ArmTimer(&s, timer, when);
    return wasQueued;
}

BOOLEAN KeSetTimer(PKTIMER timer, LARGE_INTEGER dueTime, PKDPC dpc) {
    return KeSetTimerEx(timer, dueTime, 0, dpc);
}

BOOLEAN KeCancelTimer(PKTIMER timer) {
    KernelPoint("KeCancelTimer");
    VerifyIrqlAtMost(DISPATCH_LEVEL, "KeCancelTimer");
    Simulation::Impl& s = S();
    std::unique_lock<std::mutex> guard(s.m);
    auto found = s.timerEvents.find(timer);
    if (found == s.timerEvents.end()) {
        SIM_TRACE("TIMER", "cancel " + s.Label(timer, "timer") + ": no longer queued");
        return FALSE;
    }
    s.Unschedule(found->second);
    s.timerEvents.erase(found);
    timer->Header.Inserted = 0;
    SIM_TRACE("TIMER", "cancel " + s.Label(timer, "timer"));
    return TRUE;
}

BOOLEAN KeReadStateTimer(PKTIMER timer) {
    KernelPoint("KeReadStateTimer");
    return timer->Header.SignalState > 0;
}

VOID KeInitializeDpc(PRKDPC dpc, PKDEFERRED_ROUTINE routine, PVOID context) {
    dpc->Type = 0x13;
    dpc->Importance = 1;
    dpc->Number = 0;
    dpc->DeferredRoutine = routine;
    dpc->DeferredContext = context;
    dpc->SystemArgument1 = nullptr;
    dpc->SystemArgument2 = nullptr;
    dpc->DpcData = nullptr;
}

BOOLEAN KeInsertQueueDpc(PRKDPC dpc, PVOID argument1, PVOID argument2) {
    KernelPoint("KeInsertQueueDpc");
    if (dpc->Type != 0x13 || !dpc->DeferredRoutine) {
        BugCheck("TIMER_OR_DPC_INVALID", "dpc-uninitialized", "KeInsertQueueDpc on an uninitialised DPC");
    }
    Simulation::Impl& s = S();
    std::unique_lock<std::mutex> guard(s.m);
    tsan::Release(dpc);  // a DPC already queued runs after this call too
    if (dpc->DpcData) return FALSE;
    dpc->DpcData = dpc;
    dpc->SystemArgument1 = argument1;
    dpc->SystemArgument2 = argument2;
    SIM_TRACE("DPC", "queue " + s.Label(dpc, "dpc"));
    s.QueueDpcItem(s.ChooseProcessor(), DpcItem{dpc, nullptr, "DPC"});
    return TRUE;
}

BOOLEAN KeRemoveQueueDpc(PRKDPC dpc) {
    KernelPoint("KeRemoveQueueDpc");
    Simulation::Impl& s = S();
    std::unique_lock<std::mutex> guard(s.m);
    if (!dpc->DpcData) return FALSE;
    for (auto& q : s.dpcQueues) {
        for (auto it = q.begin(); it != q.end(); ++it) {
            if (it->dpc == dpc) {
                q.erase(it);
                dpc->DpcData = nullptr;
                return TRUE;
            }
        }
    }
    return FALSE;
}

VOID KeFlushQueuedDpcs(VOID) {
    KernelPoint("KeFlushQueuedDpcs");
    VerifyIrqlAtMost(PASSIVE_LEVEL, "KeFlushQueuedDpcs");
    Simulation::Impl& s = S();
    std::unique_lock<std::mutex> guard(s.m);
    SimThread* self = s.Self();
    Simulation::Impl* impl = &s;
    self->wait = WaitRecord{};
    self->wait.kind = WaitRecord::Kind::Condition;
    self->wait.what = "queued DPCs to finish";
    self->wait.condition = [impl] {
        for (size_t p = 0; p < impl->dpcQueues.size(); ++p) {
            for (auto& item : impl->dpcQueues[p])
                if (item.dpc) return false;
            if (impl->runningDpc[p]) return false;
        }
        return true;
    };
    if (s.TryConsume(self)) return;
    BlockWith(guard, s, self);
}

// ---------------------------------------------------------------- clocks and threads

ULONGLONG KeQueryInterruptTime(VOID) {
    KernelPoint("KeQueryInterruptTime");
    return S().now;
}

VOID KeQuerySystemTime(PLARGE_INTEGER currentTime) {
    KernelPoint("KeQuerySystemTime");
    currentTime->QuadPart = static_cast<LONGLONG>(kBootSystemTime + S().now);
}

PKTHREAD KeGetCurrentThread(VOID) { return reinterpret_cast<PKTHREAD>(&CurrentThread()); }

// ---------------------------------------------------------------- interlocked

// An interlocked operation orders what came before it, and after the one
// before it on the same word, like a full barrier.
static void Barrier(const volatile void* target) {
    tsan::Acquire(const_cast<const void*>(target));
    tsan::Release(const_cast<const void*>(target));
}

LONG InterlockedExchange(LONG volatile* target, LONG value) {
    KernelPoint("InterlockedExchange");
    Barrier(target);
    LONG old = *target;
    *target = value;
    return old;
}

LONG InterlockedCompareExchange(LONG volatile* target, LONG exchange, LONG comparand) {
    KernelPoint("InterlockedCompareExchange");
    Barrier(target);
    LONG old = *target;
    if (old == comparand) *target = exchange;
    return old;
}

LONG InterlockedIncrement(LONG volatile* target) {
    KernelPoint("InterlockedIncrement");
    Barrier(target);
    *target = *target + 1;
    return *target;
}

LONG InterlockedDecrement(LONG volatile* target) {
    KernelPoint("InterlockedDecrement");
    Barrier(target);
    *target = *target - 1;
    return *target;
}

LONG InterlockedExchangeAdd(LONG volatile* target, LONG value) {
    KernelPoint("InterlockedExchangeAdd");
    Barrier(target);
    LONG old = *target;
    *target = static_cast<LONG>(static_cast<uint32_t>(old) + static_cast<uint32_t>(value));
    return old;
}

LONG InterlockedOr(LONG volatile* target, LONG value) {
    KernelPoint("InterlockedOr");
    Barrier(target);
    LONG old = *target;
    *target = old | value;
    return old;
}

LONG InterlockedAnd(LONG volatile* target, LONG value) {
    KernelPoint("InterlockedAnd");
    Barrier(target);
    LONG old = *target;
    *target = old & value;
    return old;
}

PVOID InterlockedExchangePointer(PVOID volatile* target, PVOID value) {
    KernelPoint("InterlockedExchangePointer");
    Barrier(target);
    PVOID old = *target;
    *target = value;
    return old;
}

PVOID InterlockedCompareExchangePointer(PVOID volatile* target, PVOID exchange,
                                        PVOID comparand) {
    KernelPoint("InterlockedCompareExchangePointer");
    Barrier(target);
    PVOID old = *target;
    if (old == comparand) *target = exchange;
    return old;
}

}  // extern "C"
