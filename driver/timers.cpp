// timers.cpp - the time-out timers of the read and write paths: due times
// from milliseconds, and the flag-word protocol that lets a cancel that
// came too late be absorbed by the timer's next DPC run without losing a
// later expiry.
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

// Arms a path timer: sets its armed bit, then the timer with its DPC. While
// a run of the DPC whose cancel came too late may still be queued, the timer
// is not set now: the kernel queues a DPC once, so an expiry of the timer
// set again would merge with that run, which ignores it, and the time-out
// would be lost. The late run sets the timer instead, with this due time.
// IRQL: <= DISPATCH_LEVEL. Locks: the path's spin lock held.
VOID ArmPathTimer(PKTIMER timer, PKDPC dpc, PathTimerFlags* flags, LONGLONG dueTime) {
    ASSERT_IRQL_AT_MOST(DISPATCH_LEVEL);
    flags->bits |= TIMER_ARMED;
    if ((flags->bits & TIMER_CANCEL_MISSED) != 0) {
        flags->bits |= TIMER_SET_BY_LATE_RUN;
        flags->pendingDueTime = dueTime;
        return;
    }
    LARGE_INTEGER due;
    due.QuadPart = dueTime;
    (void)KeSetTimer(timer, due, dpc);
}

// Cancels a path timer when it is armed. When KeCancelTimer reports that it
// was no longer queued, its DPC may still run: the cancel is marked missed
// so that run does nothing. An arming left to a late run is dropped.
// IRQL: <= DISPATCH_LEVEL. Locks: the path's spin lock held.
VOID CancelPathTimer(PKTIMER timer, PathTimerFlags* flags) {
    ASSERT_IRQL_AT_MOST(DISPATCH_LEVEL);
    if ((flags->bits & TIMER_ARMED) == 0) {
        return;
    }
    if ((flags->bits & TIMER_SET_BY_LATE_RUN) != 0) {
        flags->bits &= ~TIMER_SET_BY_LATE_RUN;
    } else if (!KeCancelTimer(timer)) {
        flags->bits |= TIMER_CANCEL_MISSED;
    }
    flags->bits &= ~TIMER_ARMED;
}

// First step of a path timer's DPC: TRUE when this run is to act (the timer
// is then no longer armed), FALSE when it belongs to an expiry whose cancel
// came too late: the mark is consumed and an arming that waited for this
// run sets the timer now. Every expiry of a set timer thus has a run of its
// own. IRQL: DISPATCH_LEVEL. Locks: the path's spin lock held.
BOOLEAN ConsumePathTimerRun(PKTIMER timer, PKDPC dpc, PathTimerFlags* flags) {
    ASSERT_IRQL(DISPATCH_LEVEL);
    if ((flags->bits & TIMER_CANCEL_MISSED) != 0) {
        flags->bits &= ~TIMER_CANCEL_MISSED;
        if ((flags->bits & TIMER_SET_BY_LATE_RUN) != 0) {
            flags->bits &= ~TIMER_SET_BY_LATE_RUN;
            LARGE_INTEGER due;
            due.QuadPart = flags->pendingDueTime;
            (void)KeSetTimer(timer, due, dpc);
        }
        return FALSE;
    }
    flags->bits &= ~TIMER_ARMED;
    return TRUE;
}
