// removelock.cpp - the remove lock (IoInitializeRemoveLockEx,
// IoAcquireRemoveLockEx, IoReleaseRemoveLockEx, IoReleaseRemoveLockAndWaitEx)
// with Windows' semantics, and the verifier's view of each lock: who holds
// it by tag, and whether removal has released it and waited.
//
// The count starts at one (the lock's own bias). An acquisition adds one,
// or, once removal has begun, takes it back and refuses with
// STATUS_DELETE_PENDING. Release-and-wait marks the lock removed, releases
// the caller's acquisition and the bias, and waits until every other holder
// has released: the last release signals the lock's event.
#include <map>

#include "sim/kernel/internal.h"
#include "sim/kernel/tsan.h"

namespace sim {

namespace {

Simulation::Impl& S() { return Simulation::Current().impl(); }

// One step of the count (the simulation runs one thread at a time); the
// last release signals the lock's event.
void CountDown(PIO_REMOVE_LOCK lock) {
    lock->Common.IoCount = lock->Common.IoCount - 1;
    if (lock->Common.IoCount == 0) SetEventInternal(&lock->Common.RemoveEvent);
}

std::string LockLabel(const IO_REMOVE_LOCK* lock) {
    return S().Label(lock, "removelock");
}

std::string TagText(PVOID tag) {
    if (!tag) return "tag null";
    const std::string irp = S().Label(tag, "tag");
    return "tag " + irp;
}

RemoveLockState& StateOf(PIO_REMOVE_LOCK lock, const char* routine) {
    auto& locks = S().removeLocks;
    auto it = locks.find(lock);
    if (it == locks.end()) {
        BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION", "remove-lock-uninitialized",
                 std::string(routine) + " on a remove lock that was never initialized");
    }
    return it->second;
}

// Takes back one acquisition made with `tag`; the last one signals the event.
void Release(PIO_REMOVE_LOCK lock, RemoveLockState& state, PVOID tag, const char* routine) {
    auto held = state.held.find(tag);
    if (held == state.held.end()) {
        BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION", "remove-lock-release-unheld",
                 std::string(routine) + " of " + LockLabel(lock) + " with " + TagText(tag) +
                     ", which holds no acquisition of it");
    }
    if (--held->second == 0) state.held.erase(held);
    CountDown(lock);
}

}  // namespace

void VerifyNoRemoveLockHeldIn(const DeviceRecord& record) {
    auto& locks = S().removeLocks;
    for (auto it = locks.begin(); it != locks.end();) {
        if (!AddressInDevice(it->first, record)) {
            ++it;
            continue;
        }
        if (!it->second.held.empty()) {
            std::string holders;
            for (auto& [tag, count] : it->second.held)
                holders += " " + TagText(tag) + (count > 1 ? " x" + std::to_string(count) : "");
            BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION", "remove-lock-held-at-delete",
                     "device " + DeviceLabel(record.device) + " deleted while its " +
                         LockLabel(static_cast<const IO_REMOVE_LOCK*>(it->first)) +
                         " is still held:" + holders);
        }
        it = locks.erase(it);
    }
}

}  // namespace sim

using namespace sim;

extern "C" {

VOID IoInitializeRemoveLockEx(PIO_REMOVE_LOCK lock, ULONG allocateTag, ULONG maxLockedMinutes,
                              ULONG highWatermark, ULONG removeLockSize) {
    UNREFERENCED_PARAMETER(allocateTag);
    UNREFERENCED_PARAMETER(maxLockedMinutes);
    UNREFERENCED_PARAMETER(highWatermark);
    KernelPoint("IoInitializeRemoveLockEx");
    if (removeLockSize != sizeof(IO_REMOVE_LOCK))
        BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION", "remove-lock-wrong-size", "IoInitializeRemoveLockEx with a wrong size");
    lock->Common.Removed = FALSE;
    lock->Common.IoCount = 1;
    KeInitializeEvent(&lock->Common.RemoveEvent, NotificationEvent, FALSE);
    S().removeLocks[lock] = RemoveLockState{};
    SIM_TRACE("LOCK", "initialize " + LockLabel(lock));
}

NTSTATUS IoAcquireRemoveLockEx(PIO_REMOVE_LOCK lock, PVOID tag, PCSTR file, ULONG line,
                               ULONG removeLockSize) {
    UNREFERENCED_PARAMETER(file);
    UNREFERENCED_PARAMETER(line);
    UNREFERENCED_PARAMETER(removeLockSize);
    KernelPoint("IoAcquireRemoveLockEx");
    VerifyIrqlAtMost(DISPATCH_LEVEL, "IoAcquireRemoveLockEx");
    RemoveLockState& state = StateOf(lock, "IoAcquireRemoveLockEx");
    if (state.waited) {
        BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION", "remove-lock-acquire-after-wait",
                 LockLabel(lock) + " acquired with " + TagText(tag) +
                     " after IoReleaseRemoveLockAndWait: the device is being removed");
    }
    if (lock->Common.Removed) {
        CountDown(lock);
        SIM_TRACE("LOCK", "acquire " + LockLabel(lock) + " refused: removed");
        return STATUS_DELETE_PENDING;
    }
    lock->Common.IoCount = lock->Common.IoCount + 1;
    ++state.held[tag];
    SIM_TRACE("LOCK", "acquire " + LockLabel(lock) + " " + TagText(tag));
    return STATUS_SUCCESS;
}

VOID IoReleaseRemoveLockEx(PIO_REMOVE_LOCK lock, PVOID tag, ULONG removeLockSize) {
    UNREFERENCED_PARAMETER(removeLockSize);
    KernelPoint("IoReleaseRemoveLockEx");
    VerifyIrqlAtMost(DISPATCH_LEVEL, "IoReleaseRemoveLockEx");
    RemoveLockState& state = StateOf(lock, "IoReleaseRemoveLockEx");
    tsan::Release(lock);  // for the removal that waits for every holder
    Release(lock, state, tag, "IoReleaseRemoveLock");
    SIM_TRACE("LOCK", "release " + LockLabel(lock) + " " + TagText(tag));
}

VOID IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK lock, PVOID tag, ULONG removeLockSize) {
    UNREFERENCED_PARAMETER(removeLockSize);
    KernelPoint("IoReleaseRemoveLockAndWaitEx");
    VerifyIrqlAtMost(PASSIVE_LEVEL, "IoReleaseRemoveLockAndWaitEx");
    RemoveLockState& state = StateOf(lock, "IoReleaseRemoveLockAndWaitEx");
    if (state.waited) {
        BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION", "remove-lock-wait-twice",
                 "IoReleaseRemoveLockAndWait called twice on " + LockLabel(lock));
    }
    state.waited = true;
    lock->Common.Removed = TRUE;
    Release(lock, state, tag, "IoReleaseRemoveLockAndWait");
    CountDown(lock);
    SIM_TRACE("LOCK", "release " + LockLabel(lock) + " and wait for its other holders");
    KeWaitForSingleObject(&lock->Common.RemoveEvent, Executive, KernelMode, FALSE, nullptr);
    tsan::Acquire(lock);
}

}  // extern "C"
