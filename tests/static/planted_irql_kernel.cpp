// A timer DPC that closes a handle: ZwClose runs at PASSIVE_LEVEL only.
#include "tests/static/planted.h"

HANDLE gKey;

// IRQL: DISPATCH_LEVEL. Locks: none.
VOID NTAPI ExpiryDpc(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {
    ASSERT_IRQL(DISPATCH_LEVEL);
    UNREFERENCED_PARAMETER(dpc);
    UNREFERENCED_PARAMETER(context);
    UNREFERENCED_PARAMETER(argument1);
    UNREFERENCED_PARAMETER(argument2);
    ZwClose(gKey);  // planted: irql-kernel
}

// IRQL: PASSIVE_LEVEL. Locks: none.
VOID Arm(PKDPC dpc) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    KeInitializeDpc(dpc, ExpiryDpc, nullptr);
}
