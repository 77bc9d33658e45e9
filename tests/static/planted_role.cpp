// A DPC whose comment says PASSIVE_LEVEL: DPCs run at DISPATCH_LEVEL.
#include "tests/static/planted.h"

// IRQL: PASSIVE_LEVEL. Locks: none.
VOID NTAPI CountDpc(PKDPC dpc, PVOID context, PVOID argument1,  // planted: role
                    PVOID argument2) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    UNREFERENCED_PARAMETER(dpc);
    UNREFERENCED_PARAMETER(argument1);
    UNREFERENCED_PARAMETER(argument2);
    static_cast<Record*>(context)->count = 0;
}

// IRQL: PASSIVE_LEVEL. Locks: none.
VOID Arm(PKDPC dpc, Record* record) {
    ASSERT_IRQL(PASSIVE_LEVEL);
    KeInitializeDpc(dpc, CountDpc, record);
}
