"""What the contract checker knows of the kernel: the IRQL at which each
kernel routine the driver calls may be called, the IRQL at which the system
runs a routine in each role, and the codes the Plug and Play rules name.

The IRQL limits are the "IRQL" line of each routine's Requirements on its
documentation page (learn.microsoft.com, wdm.h / ntddk.h / usbdlib.h).
A routine missing from the table is reported, not assumed harmless: add it
here from its documentation page.
"""

PASSIVE, APC, DISPATCH, ANY = 0, 1, 2, 31

LEVEL_NAMES = {PASSIVE: "PASSIVE_LEVEL", APC: "APC_LEVEL", DISPATCH: "DISPATCH_LEVEL"}


def level_name(level):
    return LEVEL_NAMES.get(level, "any IRQL")


def range_text(lo, hi):
    if hi >= ANY:
        return "any IRQL"
    if lo == hi:
        return level_name(hi)
    return "<= " + level_name(hi)


_ANY = (PASSIVE, ANY)
_LE_DISPATCH = (PASSIVE, DISPATCH)
_DISPATCH = (DISPATCH, DISPATCH)
_LE_APC = (PASSIVE, APC)
_PASSIVE = (PASSIVE, PASSIVE)

# (lowest, highest) IRQL of the caller.
IRQL = {
    # lists, interlocked operations, stack locations, IRP fields: any IRQL
    "InitializeListHead": _ANY, "InsertHeadList": _ANY, "InsertTailList": _ANY,
    "RemoveEntryList": _ANY, "RemoveHeadList": _ANY, "RemoveTailList": _ANY,
    "IsListEmpty": _ANY,
    "IoGetCurrentIrpStackLocation": _ANY, "IoGetNextIrpStackLocation": _ANY,
    "IoSkipCurrentIrpStackLocation": _ANY, "IoCopyCurrentIrpStackLocationToNext": _ANY,
    "IoMarkIrpPending": _ANY,
    "IoSetCompletionRoutine": _LE_DISPATCH, "IoSetCancelRoutine": _LE_DISPATCH,
    "KeInitializeEvent": _ANY, "KeInitializeDpc": _ANY, "KeInitializeSpinLock": _ANY,
    "KeGetCurrentIrql": _ANY,
    # compiler built-ins behind RtlCopyMemory, RtlZeroMemory and friends
    "__builtin_memcpy": _ANY, "__builtin_memset": _ANY, "__builtin_memmove": _ANY,
    "memcpy": _ANY, "memset": _ANY, "memmove": _ANY, "memcmp": _ANY,
    # spin locks and the cancel spin lock
    "KfAcquireSpinLock": _LE_DISPATCH, "KeAcquireSpinLock": _LE_DISPATCH,
    "KeAcquireSpinLockRaiseToDpc": _LE_DISPATCH,
    "KfReleaseSpinLock": _DISPATCH, "KeReleaseSpinLock": _DISPATCH,
    "KeAcquireSpinLockAtDpcLevel": _DISPATCH, "KeReleaseSpinLockFromDpcLevel": _DISPATCH,
    "IoAcquireCancelSpinLock": _LE_DISPATCH, "IoReleaseCancelSpinLock": _DISPATCH,
    # dispatcher objects, timers, DPCs
    "KeWaitForSingleObject": _LE_APC, "KeWaitForMultipleObjects": _LE_APC,
    "KeDelayExecutionThread": _LE_APC,
    "KeInitializeMutex": _PASSIVE, "KeReleaseMutex": _LE_DISPATCH,
    "KeSetEvent": _LE_DISPATCH, "KeClearEvent": _LE_DISPATCH, "KeResetEvent": _LE_DISPATCH,
    "KeReadStateEvent": _LE_DISPATCH, "KeReadStateTimer": _LE_DISPATCH,
    "KeInitializeTimer": _LE_DISPATCH, "KeInitializeTimerEx": _LE_DISPATCH,
    "KeSetTimer": _LE_DISPATCH, "KeSetTimerEx": _LE_DISPATCH, "KeCancelTimer": _LE_DISPATCH,
    "KeInsertQueueDpc": _ANY, "KeRemoveQueueDpc": _ANY,
    "KeFlushQueuedDpcs": _PASSIVE, "KeQueryInterruptTime": _ANY,
    # requests
    "IoAllocateIrp": _LE_DISPATCH, "IoFreeIrp": _LE_DISPATCH, "IoReuseIrp": _LE_DISPATCH,
    "IoCancelIrp": _LE_DISPATCH, "IofCallDriver": _LE_DISPATCH, "IoCallDriver": _LE_DISPATCH,
    "IofCompleteRequest": _LE_DISPATCH, "IoCompleteRequest": _LE_DISPATCH,
    "IoBuildDeviceIoControlRequest": _PASSIVE,
    "PoCallDriver": _LE_DISPATCH, "PoStartNextPowerIrp": _LE_DISPATCH,
    "PoRequestPowerIrp": _LE_DISPATCH, "PoSetPowerState": _LE_DISPATCH,
    # remove locks
    "IoInitializeRemoveLock": _PASSIVE, "IoInitializeRemoveLockEx": _PASSIVE,
    "IoAcquireRemoveLock": _LE_DISPATCH, "IoAcquireRemoveLockEx": _LE_DISPATCH,
    "IoReleaseRemoveLock": _LE_DISPATCH, "IoReleaseRemoveLockEx": _LE_DISPATCH,
    "IoReleaseRemoveLockAndWait": _PASSIVE, "IoReleaseRemoveLockAndWaitEx": _PASSIVE,
    # objects and devices
    "ObfReferenceObject": _LE_DISPATCH, "ObfDereferenceObject": _LE_DISPATCH,
    "ObReferenceObject": _LE_DISPATCH, "ObDereferenceObject": _LE_DISPATCH,
    "IoCreateDevice": _PASSIVE, "IoDeleteDevice": _LE_APC, "IoDetachDevice": _PASSIVE,
    "IoAttachDeviceToDeviceStack": _LE_DISPATCH,
    "IoGetAttachedDeviceReference": _LE_DISPATCH,
    "IoCreateSymbolicLink": _PASSIVE, "IoDeleteSymbolicLink": _PASSIVE,
    "IoRegisterDeviceInterface": _PASSIVE, "IoSetDeviceInterfaceState": _PASSIVE,
    "IoOpenDeviceRegistryKey": _PASSIVE,
    # pool (ExAllocatePool* depends on the pool type: see pool_irql)
    "ExFreePool": _LE_DISPATCH, "ExFreePoolWithTag": _LE_DISPATCH,
    # strings and the registry
    "RtlInitUnicodeString": _LE_DISPATCH, "RtlAppendUnicodeToString": _LE_DISPATCH,
    "RtlAppendUnicodeStringToString": _LE_DISPATCH, "RtlCopyUnicodeString": _LE_DISPATCH,
    "RtlIntegerToUnicodeString": _PASSIVE, "RtlFreeUnicodeString": _PASSIVE,
    "RtlWriteRegistryValue": _PASSIVE, "RtlDeleteRegistryValue": _PASSIVE,
    "RtlQueryRegistryValues": _PASSIVE,
    # USB client library
    "USBD_CreateConfigurationRequestEx": _LE_DISPATCH,
    "USBD_ParseConfigurationDescriptorEx": _LE_DISPATCH,
}

# Every Zw routine runs at PASSIVE_LEVEL; every Interlocked routine at any IRQL.
PREFIXES = (("Zw", _PASSIVE), ("Interlocked", _ANY), ("_Interlocked", _ANY))

POOL_ALLOCATORS = {"ExAllocatePool", "ExAllocatePoolWithTag", "ExAllocatePoolWithQuota",
                   "ExAllocatePoolWithQuotaTag", "ExAllocatePoolWithTagPriority"}

# Pool types whose memory is executable.
EXECUTABLE_POOL = {"NonPagedPool", "NonPagedPoolExecute", "NonPagedPoolMustSucceed",
                   "NonPagedPoolCacheAligned", "NonPagedPoolCacheAlignedMustS",
                   "NonPagedPoolSession", "NonPagedPoolMustSucceedSession",
                   "NonPagedPoolCacheAlignedSession"}
PAGED_POOL = {"PagedPool", "PagedPoolCacheAligned", "PagedPoolSession"}


def kernel_irql(name, pool_type=None):
    """(lowest, highest) IRQL of a kernel routine's caller, or None when unknown."""
    if name in POOL_ALLOCATORS:
        return _LE_APC if pool_type in PAGED_POOL else _LE_DISPATCH
    if name in IRQL:
        return IRQL[name]
    for prefix, irql in PREFIXES:
        if name.startswith(prefix):
            return irql
    return None


# Calls that take or give up locks, wait, hand requests on, or delete.
SPIN_ACQUIRE = {"KfAcquireSpinLock", "KeAcquireSpinLock", "KeAcquireSpinLockAtDpcLevel",
                "KeAcquireSpinLockRaiseToDpc"}
SPIN_RELEASE = {"KfReleaseSpinLock", "KeReleaseSpinLock", "KeReleaseSpinLockFromDpcLevel"}
WAITS = {"KeWaitForSingleObject", "KeWaitForMultipleObjects", "KeDelayExecutionThread"}
PASS_DOWN = {"IofCallDriver", "IoCallDriver", "PoCallDriver"}
COMPLETE = {"IofCompleteRequest", "IoCompleteRequest"}
REMOVE_LOCK_ACQUIRE = {"IoAcquireRemoveLock", "IoAcquireRemoveLockEx"}
REMOVE_LOCK_RELEASE = {"IoReleaseRemoveLock", "IoReleaseRemoveLockEx"}
REMOVE_LOCK_DRAIN = {"IoReleaseRemoveLockAndWait", "IoReleaseRemoveLockAndWaitEx"}
REMOVE_LOCK_CALLS = REMOVE_LOCK_ACQUIRE | REMOVE_LOCK_RELEASE | REMOVE_LOCK_DRAIN  # arg 1: a tag
LIST_INSERT = {"InsertTailList", "InsertHeadList", "PushEntryList"}
TEAR_DOWN = {"IoDeleteDevice", "IoDetachDevice"}
CANCEL_LOCK = "the cancel spin lock"

# The role the system gives a routine, told by the type of the parameter or
# field it is stored in, and the IRQL the system calls it at.
ROLE_TYPES = {
    "PDRIVER_CANCEL": "cancel routine",
    "PIO_COMPLETION_ROUTINE": "completion routine",
    "PKDEFERRED_ROUTINE": "DPC routine",
    "PREQUEST_POWER_COMPLETE": "power completion routine",
    "PDRIVER_DISPATCH": "dispatch routine",
    "PDRIVER_ADD_DEVICE": "AddDevice routine",
    "PDRIVER_UNLOAD": "Unload routine",
    "PDRIVER_STARTIO": "StartIo routine",
    "PIO_WORKITEM_ROUTINE": "work item routine",
}
ROLE_IRQL = {
    "cancel routine": _DISPATCH,            # called holding the cancel spin lock
    "completion routine": _LE_DISPATCH,
    "DPC routine": _DISPATCH,
    "power completion routine": _LE_DISPATCH,  # PASSIVE_LEVEL or DISPATCH_LEVEL
    "dispatch routine": _PASSIVE,           # a power-pageable function driver on top
    "AddDevice routine": _PASSIVE,
    "Unload routine": _PASSIVE,
    "StartIo routine": _DISPATCH,
    "work item routine": _PASSIVE,
    "DriverEntry": _PASSIVE,
}

# Plug and Play minor function codes (wdm.h).
PNP_MINOR = {
    0x00: "IRP_MN_START_DEVICE", 0x01: "IRP_MN_QUERY_REMOVE_DEVICE",
    0x02: "IRP_MN_REMOVE_DEVICE", 0x03: "IRP_MN_CANCEL_REMOVE_DEVICE",
    0x04: "IRP_MN_STOP_DEVICE", 0x05: "IRP_MN_QUERY_STOP_DEVICE",
    0x06: "IRP_MN_CANCEL_STOP_DEVICE", 0x07: "IRP_MN_QUERY_DEVICE_RELATIONS",
    0x08: "IRP_MN_QUERY_INTERFACE", 0x09: "IRP_MN_QUERY_CAPABILITIES",
    0x0A: "IRP_MN_QUERY_RESOURCES", 0x0B: "IRP_MN_QUERY_RESOURCE_REQUIREMENTS",
    0x0C: "IRP_MN_QUERY_DEVICE_TEXT", 0x0D: "IRP_MN_FILTER_RESOURCE_REQUIREMENTS",
    0x0F: "IRP_MN_READ_CONFIG", 0x10: "IRP_MN_WRITE_CONFIG", 0x11: "IRP_MN_EJECT",
    0x12: "IRP_MN_SET_LOCK", 0x13: "IRP_MN_QUERY_ID", 0x14: "IRP_MN_QUERY_PNP_DEVICE_STATE",
    0x15: "IRP_MN_QUERY_BUS_INFORMATION", 0x16: "IRP_MN_DEVICE_USAGE_NOTIFICATION",
    0x17: "IRP_MN_SURPRISE_REMOVAL", 0x19: "IRP_MN_DEVICE_ENUMERATED",
}
IRP_MJ_PNP = 0x1B
# Queries a driver may refuse by completing them with an error.
REFUSABLE = {"IRP_MN_QUERY_STOP_DEVICE", "IRP_MN_QUERY_REMOVE_DEVICE"}
# Requests a driver must never fail.
NEVER_FAILED = {"IRP_MN_STOP_DEVICE", "IRP_MN_REMOVE_DEVICE", "IRP_MN_SURPRISE_REMOVAL",
                "IRP_MN_CANCEL_STOP_DEVICE", "IRP_MN_CANCEL_REMOVE_DEVICE"}
