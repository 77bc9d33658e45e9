// timer_placeholders.cpp - PLACEHOLDER for the timer routine of the write
// path, so that AddDevice can initialise every timer's DPC now. It does
// nothing: no write timer is armed until the write path exists. Whoever
// builds WriteTimeoutDpc deletes it and this file.
#include "driver/driver.h"

// PLACEHOLDER: write total time-out. IRQL: DISPATCH_LEVEL. Locks: none.
VOID NTAPI WriteTimeoutDpc(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {
    UNREFERENCED_PARAMETER(dpc);
    UNREFERENCED_PARAMETER(context);
    UNREFERENCED_PARAMETER(argument1);
    UNREFERENCED_PARAMETER(argument2);
}
