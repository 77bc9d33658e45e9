// timer_placeholders.cpp - PLACEHOLDERS for the timer routines of the read
// and write paths, so that AddDevice can initialise every timer's DPC now.
// They do nothing: no timer is armed until the read and write paths exist.
// Whoever builds ReadIntervalTimeoutDpc, ReadTotalTimeoutDpc or
// WriteTimeoutDpc deletes its placeholder here (and this file with the last).
#include "driver/driver.h"

// PLACEHOLDER: read interval time-out. IRQL: DISPATCH_LEVEL. Locks: none.
VOID NTAPI ReadIntervalTimeoutDpc(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {
    UNREFERENCED_PARAMETER(dpc);
    UNREFERENCED_PARAMETER(context);
    UNREFERENCED_PARAMETER(argument1);
    UNREFERENCED_PARAMETER(argument2);
}

// PLACEHOLDER: read total time-out. IRQL: DISPATCH_LEVEL. Locks: none.
VOID NTAPI ReadTotalTimeoutDpc(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {
    UNREFERENCED_PARAMETER(dpc);
    UNREFERENCED_PARAMETER(context);
    UNREFERENCED_PARAMETER(argument1);
    UNREFERENCED_PARAMETER(argument2);
}

// PLACEHOLDER: write total time-out. IRQL: DISPATCH_LEVEL. Locks: none.
VOID NTAPI WriteTimeoutDpc(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {
    UNREFERENCED_PARAMETER(dpc);
    UNREFERENCED_PARAMETER(context);
    UNREFERENCED_PARAMETER(argument1);
    UNREFERENCED_PARAMETER(argument2);
}
