// timers.cpp - the time-out timers of the read and write paths: due times
// from milliseconds, and the flag-word protocol that lets a cancel that
// came too late be absorbed by the timer's next DPC run.
#include "driver/driver.h"

// Relative due time (negative, 100 ns units) of a time-out in milliseconds,
// formed in 64 bits. A time-out too long to be represented saturates to the
// longest relative due time, so it never wraps into a short or past one.
// IRQL: any. Locks: none.
LONGLONG MillisecondsToDueTime(ULONGLONG milliseconds) {
    constexpr ULONGLONG kLongest = 0x7FFFFFFFFFFFFFFFull / 10000;
    if (milliseconds > kLongest) {
        milliseconds = kLongest;
    }
    return -static_cast<LONGLONG>(milliseconds * 10000);
}

// Arms a path timer: sets its armed bit, then the timer with its DPC.
// IRQL: <= DISPATCH_LEVEL. Locks: the path's spin lock held.
VOID ArmPathTimer(PKTIMER timer, PKDPC dpc, ULONG* flags, LONGLONG dueTime) {
    LARGE_INTEGER due;
    due.QuadPart = dueTime;
    *flags |= TIMER_ARMED;
    (void)KeSetTimer(timer, due, dpc);
}

// Cancels a path timer when it is armed. When KeCancelTimer reports that it
// was no longer queued, its DPC may still run: the cancel is marked missed
// so that run does nothing. IRQL: <= DISPATCH_LEVEL. Locks: the path's spin
// lock held.
VOID CancelPathTimer(PKTIMER timer, ULONG* flags) {
    if ((*flags & TIMER_ARMED) == 0) {
        return;
    }
    if (!KeCancelTimer(timer)) {
        *flags |= TIMER_CANCEL_MISSED;
    }
    *flags &= ~TIMER_ARMED;
}

// First step of a path timer's DPC: TRUE when this run is to act (the timer
// is then no longer armed), FALSE when it belongs to an expiry whose cancel
// came too late (the mark is consumed). Re-arming a timer whose cancel was
// missed leaves the mark, so the stale run is the one that is ignored.
// IRQL: DISPATCH_LEVEL. Locks: the path's spin lock held.
BOOLEAN ConsumePathTimerRun(ULONG* flags) {
    if ((*flags & TIMER_CANCEL_MISSED) != 0) {
        *flags &= ~TIMER_CANCEL_MISSED;
        return FALSE;
    }
    *flags &= ~TIMER_ARMED;
    return TRUE;
}
