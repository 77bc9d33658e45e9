// The verifier: for each check, a deliberately faulty driver that must be
// stopped with the bug check Windows names, and the report must name the
// offending thread and show the trace tail.
#include <gtest/gtest.h>

#include <memory>

#include "tests/kernel/test_driver.h"

namespace {

using testdrv::Complete;
using testdrv::Device;
using testdrv::MakeDevice;

struct Ext {
    KSPIN_LOCK a;
    KSPIN_LOCK b;
    KTIMER timer;
    KDPC dpc;
    KMUTEX mutex;
    KEVENT event;
    IO_REMOVE_LOCK removeLock;
};

Ext* ExtOf(PDEVICE_OBJECT d) {
    return static_cast<Ext*>(d->DeviceExtension);
}

VOID NothingDpc(PKDPC, PVOID, PVOID, PVOID) {}

// Opens \\.\Test and sends one device-control request to the dispatch routine.
void CallDeviceControl(PDRIVER_DISPATCH dispatch, ULONG outputLength = 0) {
    Device d = MakeDevice(sizeof(Ext));
    Ext* e = ExtOf(d.device);
    KeInitializeSpinLock(&e->a);
    KeInitializeSpinLock(&e->b);
    KeInitializeTimer(&e->timer);
    KeInitializeDpc(&e->dpc, NothingDpc, e);
    KeInitializeMutex(&e->mutex, 0);
    KeInitializeEvent(&e->event, NotificationEvent, FALSE);
    IoInitializeRemoveLock(&e->removeLock, testdrv::kTag, 0, 0);
    testdrv::AcceptOpenAndClose(d.driver);
    d.driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatch;
    auto& io = sim::Simulation::Current().io();
    sim::Handle h = io.Open("\\\\.\\Test");
    SIM_CHECK(h != sim::kInvalidHandle);
    char buffer[16] = {};
    io.DeviceIoControl(h, CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS),
                       buffer, 4, buffer, outputLength);
    SIM_CHECK(!"the faulty driver was not stopped");
}

// A driver of the test attached above a PDO of the minimal bus, whose power
// handler is `power`; sends it a device set-power as the power manager does.
PDEVICE_OBJECT gLower = nullptr;
PDEVICE_OBJECT LowerOf(PDEVICE_OBJECT) {
    return gLower;
}

void SendPowerThrough(PDRIVER_DISPATCH power) {
    auto& sim = sim::Simulation::Current();
    static std::unique_ptr<sim::Bus> bus;
    bus = sim::MakeMinimalBus();
    sim::DeviceNode* node = sim.pnp().Enumerate(*bus, "ROOT\\TEST\\0");
    PDRIVER_OBJECT driver = sim::CreateDriverObject("powertest");
    PDEVICE_OBJECT fdo = nullptr;
    SIM_CHECK(NT_SUCCESS(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo)));
    gLower = IoAttachDeviceToDeviceStack(fdo, node->pdo);
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    driver->MajorFunction[IRP_MJ_POWER] = power;
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    sim.pnp().SendPower(node, IRP_MN_SET_POWER, DevicePowerState, d0);
    SIM_CHECK(!"the faulty driver was not stopped");
}

struct Case {
    const char* what;
    const char* bugCheck;  // as Windows names it
    const char* rule;      // the verifier's id of the rule
    std::function<void()> body;
};

std::vector<Case> Cases() {
    return {
        {"completing a request twice", "MULTIPLE_IRP_COMPLETE_REQUESTS", "irp-double-complete",
         [] {
             CallDeviceControl([](PDEVICE_OBJECT, PIRP irp) {
                 Complete(irp, STATUS_SUCCESS);
                 return Complete(irp, STATUS_SUCCESS);
             });
         }},
        {"completing with a cancel routine set", "CANCEL_STATE_IN_COMPLETED_IRP",
         "irp-complete-cancel-routine",
         [] {
             CallDeviceControl([](PDEVICE_OBJECT, PIRP irp) {
                 IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP) {});
                 return Complete(irp, STATUS_SUCCESS);
             });
         }},
        {"waiting at DISPATCH_LEVEL", "IRQL_NOT_LESS_OR_EQUAL", "irql-wait-at-dispatch",
         [] {
             CallDeviceControl([](PDEVICE_OBJECT d, PIRP irp) {
                 KIRQL old;
                 KeAcquireSpinLock(&ExtOf(d)->a, &old);
                 KeWaitForSingleObject(&ExtOf(d)->event, Executive, KernelMode, FALSE, nullptr);
                 KeReleaseSpinLock(&ExtOf(d)->a, old);
                 return Complete(irp, STATUS_SUCCESS);
             });
         }},
        {"paged allocation at DISPATCH_LEVEL", "IRQL_NOT_LESS_OR_EQUAL", "irql-above-limit",
         [] {
             CallDeviceControl([](PDEVICE_OBJECT d, PIRP irp) {
                 KIRQL old;
                 KeAcquireSpinLock(&ExtOf(d)->a, &old);
                 PVOID p = ExAllocatePoolWithTag(PagedPool, 8, testdrv::kTag);
                 ExFreePool(p);
                 KeReleaseSpinLock(&ExtOf(d)->a, old);
                 return Complete(irp, STATUS_SUCCESS);
             });
         }},
        {"registry call at DISPATCH_LEVEL", "IRQL_NOT_LESS_OR_EQUAL", "irql-above-limit",
         [] {
             CallDeviceControl([](PDEVICE_OBJECT d, PIRP irp) {
                 KIRQL old;
                 KeAcquireSpinLock(&ExtOf(d)->a, &old);
                 RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"x");
                 KeReleaseSpinLock(&ExtOf(d)->a, old);
                 return Complete(irp, STATUS_SUCCESS);
             });
         }},
        {"mutex taken under a spin lock", "IRQL_NOT_LESS_OR_EQUAL", "irql-wait-at-dispatch",
         [] {
             CallDeviceControl([](PDEVICE_OBJECT d, PIRP irp) {
                 KIRQL old;
                 KeAcquireSpinLock(&ExtOf(d)->a, &old);
                 KeWaitForSingleObject(&ExtOf(d)->mutex, Executive, KernelMode, FALSE, nullptr);
                 KeReleaseSpinLock(&ExtOf(d)->a, old);
                 return Complete(irp, STATUS_SUCCESS);
             });
         }},
        {"spin lock taken twice", "SPIN_LOCK_ALREADY_OWNED", "spinlock-recursive",
         [] {
             CallDeviceControl([](PDEVICE_OBJECT d, PIRP irp) {
                 KIRQL old, again;
                 KeAcquireSpinLock(&ExtOf(d)->a, &old);
                 KeAcquireSpinLock(&ExtOf(d)->a, &again);
                 return Complete(irp, STATUS_SUCCESS);
             });
         }},
        {"spin lock released by a non-owner", "SPIN_LOCK_NOT_OWNED", "spinlock-not-owner",
         [] {
             CallDeviceControl([](PDEVICE_OBJECT d, PIRP irp) {
                 KeReleaseSpinLock(&ExtOf(d)->a, PASSIVE_LEVEL);
                 return Complete(irp, STATUS_SUCCESS);
             });
         }},
        {"two driver spin locks held at once", "DRIVER_VERIFIER_DETECTED_VIOLATION",
         "spinlock-two-driver-locks",
         [] {
             CallDeviceControl([](PDEVICE_OBJECT d, PIRP irp) {
                 KIRQL old;
                 KeAcquireSpinLock(&ExtOf(d)->a, &old);
                 KeAcquireSpinLockAtDpcLevel(&ExtOf(d)->b);
                 return Complete(irp, STATUS_SUCCESS);
             });
         }},
        {"the driver taking the cancel spin lock", "DRIVER_VERIFIER_DETECTED_VIOLATION",
         "cancel-lock-by-driver",
         [] {
             CallDeviceControl([](PDEVICE_OBJECT, PIRP irp) {
                 KIRQL old;
                 IoAcquireCancelSpinLock(&old);
                 IoReleaseCancelSpinLock(old);
                 return Complete(irp, STATUS_SUCCESS);
             });
         }},
        {"completing while holding a spin lock", "DRIVER_VERIFIER_DETECTED_VIOLATION",
         "irp-complete-under-spinlock",
         [] {
             CallDeviceControl([](PDEVICE_OBJECT d, PIRP irp) {
                 KIRQL old;
                 KeAcquireSpinLock(&ExtOf(d)->a, &old);
                 Complete(irp, STATUS_SUCCESS);
                 KeReleaseSpinLock(&ExtOf(d)->a, old);
                 return STATUS_SUCCESS;
             });
         }},
        {"returning from dispatch at a raised IRQL", "IRQL_UNEXPECTED_VALUE", "irql-not-restored",
         [] {
             CallDeviceControl([](PDEVICE_OBJECT, PIRP irp) {
                 Complete(irp, STATUS_SUCCESS);
                 KIRQL old;
                 KeRaiseIrql(DISPATCH_LEVEL, &old);
                 return STATUS_SUCCESS;
             });
         }},
        {"returning STATUS_PENDING without marking the request pending",
         "DRIVER_VERIFIER_IOMANAGER_VIOLATION", "irp-pending-not-marked",
         [] {
             CallDeviceControl([](PDEVICE_OBJECT, PIRP irp) {
                 Complete(irp, STATUS_SUCCESS);
                 return STATUS_PENDING;
             });
         }},
        {"marking pending but returning success", "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
         "irp-marked-not-pending",
         [] {
             CallDeviceControl([](PDEVICE_OBJECT, PIRP irp) {
                 IoMarkIrpPending(irp);
                 Complete(irp, STATUS_SUCCESS);
                 return STATUS_SUCCESS;
             });
         }},
        {"information larger than the caller's buffer", "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
         "irp-information-overflow",
         [] {
             CallDeviceControl(
                 [](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS, 9); }, 8);
         }},
        {"freeing a pool block twice", "BAD_POOL_CALLER", "pool-free-unallocated",
         [] {
             CallDeviceControl([](PDEVICE_OBJECT, PIRP irp) {
                 PVOID p = ExAllocatePoolWithTag(NonPagedPoolNx, 8, testdrv::kTag);
                 ExFreePool(p);
                 ExFreePool(p);
                 return Complete(irp, STATUS_SUCCESS);
             });
         }},
        {"a dispatch routine returning owning a mutex", "APC_INDEX_MISMATCH",
         "mutex-held-on-return",
         [] {
             CallDeviceControl([](PDEVICE_OBJECT d, PIRP irp) {
                 KeWaitForSingleObject(&ExtOf(d)->mutex, Executive, KernelMode, FALSE, nullptr);
                 return Complete(irp, STATUS_SUCCESS);
             });
         }},
        {"a thread ending owning a mutex", "APC_INDEX_MISMATCH", "mutex-held-at-thread-end",
         [] {
             static KMUTEX mutex;
             KeInitializeMutex(&mutex, 0);
             auto& s = sim::Simulation::Current();
             s.Join(s.StartThread("holder", [] {
                 KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
             }));
             SIM_CHECK(!"the thread was not stopped");
         }},
        {"releasing a mutex the thread does not own", "THREAD_NOT_MUTEX_OWNER", "mutex-not-owner",
         [] {
             CallDeviceControl([](PDEVICE_OBJECT d, PIRP irp) {
                 KeReleaseMutex(&ExtOf(d)->mutex, FALSE);
                 return Complete(irp, STATUS_SUCCESS);
             });
         }},
        {"a cancel routine returning with the cancel spin lock held",
         "DRIVER_VERIFIER_DETECTED_VIOLATION", "cancel-lock-held-on-return",
         [] {
             Device d = MakeDevice(sizeof(Ext));
             testdrv::AcceptOpenAndClose(d.driver);
             d.driver->MajorFunction[IRP_MJ_READ] = [](PDEVICE_OBJECT, PIRP irp) {
                 IoMarkIrpPending(irp);
                 IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP) {});  // forgets to release
                 return STATUS_PENDING;
             };
             auto& io = sim::Simulation::Current().io();
             sim::Handle h = io.Open("\\\\.\\Test");
             char b[4];
             sim::Overlapped ov;
             io.ReadAsync(h, b, 4, &ov);
             io.CancelIo(h);
         }},
        {"deleting a device whose timer is still queued", "TIMER_OR_DPC_INVALID",
         "device-delete-timer-or-dpc",
         [] {
             Device d = MakeDevice(sizeof(Ext));
             Ext* e = ExtOf(d.device);
             KeInitializeTimer(&e->timer);
             KeInitializeDpc(&e->dpc, NothingDpc, e);
             KeSetTimer(&e->timer, testdrv::Relative(1000), &e->dpc);
             testdrv::DeleteDevice(d);
         }},
        {"deleting a device that is still attached", "DRIVER_VERIFIER_DETECTED_VIOLATION",
         "device-delete-attached",
         [] {
             Device lower = MakeDevice(0, "Lower");
             Device upper = MakeDevice(0, "Upper");
             IoAttachDeviceToDeviceStack(upper.device, lower.device);
             testdrv::DeleteDevice(upper, "Upper");
         }},
        {"freeing a driver-allocated IRP while a lower driver owns it",
         "DRIVER_VERIFIER_IOMANAGER_VIOLATION", "irp-free-while-below",
         [] {
             Device lower = MakeDevice(0, "Lower");
             lower.driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = [](PDEVICE_OBJECT,
                                                                              PIRP irp) {
                 IoMarkIrpPending(irp);
                 IoFreeIrp(irp);  // the planted fault: the upper driver's IRP is not ours
                 return STATUS_PENDING;
             };
             PIRP irp = IoAllocateIrp(lower.device->StackSize, FALSE);
             IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
             IofCallDriver(lower.device, irp);
         }},
        {"unloading with a timer still queued",
         "DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS", "unload-timers-or-dpcs-queued",
         [] {
             static KTIMER timer;
             static KDPC dpc;
             KeInitializeTimer(&timer);
             KeInitializeDpc(&dpc, NothingDpc, nullptr);
             PDRIVER_OBJECT driver = sim::CreateDriverObject("leaky");
             KeSetTimer(&timer, testdrv::Relative(1000), &dpc);
             sim::Simulation::Current().pnp().UnloadDriver(driver);
         }},
        // ---- requests never completed
        {"a PnP request returned without completing it or marking it pending",
         "DRIVER_VERIFIER_IOMANAGER_VIOLATION", "irp-returned-unfinished",
         [] {
             auto& sim = sim::Simulation::Current();
             auto bus = sim::MakeMinimalBus();
             sim::DeviceNode* node = sim.pnp().Enumerate(*bus, "ROOT\\TEST\\0");
             node->pdo->DriverObject->MajorFunction[IRP_MJ_PNP] = [](PDEVICE_OBJECT, PIRP) {
                 return STATUS_SUCCESS;  // neither completed nor pending
             };
             sim.pnp().SendPnp(node, IRP_MN_QUERY_CAPABILITIES);
         }},
        {"deleting a device while its driver holds a user request",
         "DRIVER_VERIFIER_IOMANAGER_VIOLATION", "device-delete-request-held",
         [] {
             Device d = MakeDevice(sizeof(Ext));
             testdrv::AcceptOpenAndClose(d.driver);
             d.driver->MajorFunction[IRP_MJ_READ] = [](PDEVICE_OBJECT, PIRP irp) {
                 IoMarkIrpPending(irp);
                 return STATUS_PENDING;  // held, never completed
             };
             auto& io = sim::Simulation::Current().io();
             sim::Handle h = io.Open("\\\\.\\Test");
             char b[4];
             sim::Overlapped ov;
             io.ReadAsync(h, b, 4, &ov);
             testdrv::DeleteDevice(d);
         }},
        // ---- passing a request down
        {"passing a request down with its cancel routine still set",
         "DRIVER_VERIFIER_IOMANAGER_VIOLATION", "irp-call-cancel-routine",
         [] {
             Device lower = MakeDevice(0, "Lower");
             PIRP irp = IoAllocateIrp(lower.device->StackSize, FALSE);
             IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
             IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP) {});
             IofCallDriver(lower.device, irp);
         }},
        {"passing a request to a deleted device", "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
         "irp-call-deleted-device",
         [] {
             Device lower = MakeDevice(0, "Lower");
             ObfReferenceObject(lower.device);  // the memory stays; the device is gone
             testdrv::DeleteDevice(lower, "Lower");
             PIRP irp = IoAllocateIrp(lower.device->StackSize, FALSE);
             IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
             IoSetCompletionRoutine(
                 irp,
                 [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS {
                     return STATUS_MORE_PROCESSING_REQUIRED;
                 },
                 nullptr, TRUE, TRUE, TRUE);
             IofCallDriver(lower.device, irp);
             IoFreeIrp(irp);
             ObfDereferenceObject(lower.device);
         }},
        // ---- IRP reuse
        {"reusing a freed IRP", "DRIVER_VERIFIER_IOMANAGER_VIOLATION", "irp-reuse-freed",
         [] {
             PIRP irp = IoAllocateIrp(2, FALSE);
             IoFreeIrp(irp);
             IoReuseIrp(irp, STATUS_SUCCESS);
         }},
        {"reusing an IRP built by IoBuildDeviceIoControlRequest",
         "DRIVER_VERIFIER_IOMANAGER_VIOLATION", "irp-reuse-not-driver",
         [] {
             Device lower = MakeDevice(0, "Lower");
             KEVENT event;
             KeInitializeEvent(&event, NotificationEvent, FALSE);
             IO_STATUS_BLOCK iosb{};
             PIRP irp = IoBuildDeviceIoControlRequest(0x220003, lower.device, nullptr, 0, nullptr,
                                                      0, TRUE, &event, &iosb);
             IoReuseIrp(irp, STATUS_SUCCESS);
         }},
        // ---- pool and IRQL
        {"allocating zero bytes", "DRIVER_VERIFIER_DETECTED_VIOLATION", "pool-zero-size",
         [] {
             CallDeviceControl([](PDEVICE_OBJECT, PIRP irp) {
                 PVOID p = ExAllocatePoolWithTag(NonPagedPoolNx, 0, testdrv::kTag);
                 if (p) ExFreePool(p);
                 return Complete(irp, STATUS_SUCCESS);
             });
         }},
        // ---- remove lock
        {"a remove lock released without an acquisition", "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
         "remove-lock-release-unheld",
         [] {
             CallDeviceControl([](PDEVICE_OBJECT d, PIRP irp) {
                 IoReleaseRemoveLock(&ExtOf(d)->removeLock, irp);
                 return Complete(irp, STATUS_SUCCESS);
             });
         }},
        {"a remove lock acquired after IoReleaseRemoveLockAndWait",
         "DRIVER_VERIFIER_IOMANAGER_VIOLATION", "remove-lock-acquire-after-wait",
         [] {
             CallDeviceControl([](PDEVICE_OBJECT d, PIRP irp) {
                 IO_REMOVE_LOCK* lock = &ExtOf(d)->removeLock;
                 SIM_CHECK(NT_SUCCESS(IoAcquireRemoveLock(lock, irp)));
                 IoReleaseRemoveLockAndWait(lock, irp);
                 (void)IoAcquireRemoveLock(lock, irp);
                 return Complete(irp, STATUS_SUCCESS);
             });
         }},
        {"IoReleaseRemoveLockAndWait called twice", "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
         "remove-lock-wait-twice",
         [] {
             CallDeviceControl([](PDEVICE_OBJECT d, PIRP irp) {
                 IO_REMOVE_LOCK* lock = &ExtOf(d)->removeLock;
                 SIM_CHECK(NT_SUCCESS(IoAcquireRemoveLock(lock, irp)));
                 IoReleaseRemoveLockAndWait(lock, irp);
                 IoReleaseRemoveLockAndWait(lock, irp);
                 return Complete(irp, STATUS_SUCCESS);
             });
         }},
        {"a device deleted while its remove lock is held", "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
         "remove-lock-held-at-delete",
         [] {
             CallDeviceControl([](PDEVICE_OBJECT d, PIRP irp) {
                 SIM_CHECK(NT_SUCCESS(IoAcquireRemoveLock(&ExtOf(d)->removeLock, irp)));
                 Complete(irp, STATUS_SUCCESS);
                 IoDeleteDevice(d);
                 return STATUS_SUCCESS;
             });
         }},
        {"allocating executable non-paged pool", "DRIVER_VERIFIER_DETECTED_VIOLATION",
         "pool-executable",
         [] {
             CallDeviceControl([](PDEVICE_OBJECT, PIRP irp) {
                 PVOID p = ExAllocatePoolWithTag(NonPagedPool, 8, testdrv::kTag);
                 if (p) ExFreePool(p);
                 return Complete(irp, STATUS_SUCCESS);
             });
         }},
        {"freeing paged pool at DISPATCH_LEVEL", "IRQL_NOT_LESS_OR_EQUAL", "irql-above-limit",
         [] {
             CallDeviceControl([](PDEVICE_OBJECT d, PIRP irp) {
                 PVOID p = ExAllocatePoolWithTag(PagedPool, 8, testdrv::kTag);
                 KIRQL old;
                 KeAcquireSpinLock(&ExtOf(d)->a, &old);
                 ExFreePool(p);
                 KeReleaseSpinLock(&ExtOf(d)->a, old);
                 return Complete(irp, STATUS_SUCCESS);
             });
         }},
        {"IoDetachDevice at DISPATCH_LEVEL", "IRQL_NOT_LESS_OR_EQUAL", "irql-above-limit",
         [] {
             static KSPIN_LOCK lock;
             KeInitializeSpinLock(&lock);
             Device lower = MakeDevice(0, "Lower");
             Device upper = MakeDevice(0, "Upper");
             IoAttachDeviceToDeviceStack(upper.device, lower.device);
             KIRQL old;
             KeAcquireSpinLock(&lock, &old);
             IoDetachDevice(lower.device);
             KeReleaseSpinLock(&lock, old);
         }},
        {"ZwClose at DISPATCH_LEVEL", "IRQL_NOT_LESS_OR_EQUAL", "irql-above-limit",
         [] {
             OBJECT_ATTRIBUTES attributes;
             UNICODE_STRING path;
             RtlInitUnicodeString(&path, u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP");
             InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
             HANDLE key;
             SIM_CHECK(NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes)));
             static KSPIN_LOCK lock;
             KeInitializeSpinLock(&lock);
             KIRQL old;
             KeAcquireSpinLock(&lock, &old);
             ZwClose(key);
             KeReleaseSpinLock(&lock, old);
         }},
        // ---- KeSetEvent with Wait TRUE
        {"KeSetEvent with Wait TRUE not followed by a wait", "DRIVER_VERIFIER_DETECTED_VIOLATION",
         "event-set-wait-without-wait",
         [] {
             CallDeviceControl([](PDEVICE_OBJECT d, PIRP irp) {
                 KeSetEvent(&ExtOf(d)->event, IO_NO_INCREMENT, TRUE);
                 KeClearEvent(&ExtOf(d)->event);  // the planted fault: not a wait
                 return Complete(irp, STATUS_SUCCESS);
             });
         }},
        {"KeSetEvent with Wait TRUE at DISPATCH_LEVEL", "IRQL_NOT_LESS_OR_EQUAL",
         "irql-above-limit",
         [] {
             CallDeviceControl([](PDEVICE_OBJECT d, PIRP irp) {
                 KIRQL old;
                 KeAcquireSpinLock(&ExtOf(d)->a, &old);
                 KeSetEvent(&ExtOf(d)->event, IO_NO_INCREMENT, TRUE);
                 KeReleaseSpinLock(&ExtOf(d)->a, old);
                 return Complete(irp, STATUS_SUCCESS);
             });
         }},
        // ---- power rules
        {"a power request passed down without PoStartNextPowerIrp",
         "DRIVER_VERIFIER_IOMANAGER_VIOLATION", "power-pass-without-start-next",
         [] {
             SendPowerThrough([](PDEVICE_OBJECT d, PIRP irp) {
                 IoSkipCurrentIrpStackLocation(irp);
                 return PoCallDriver(LowerOf(d), irp);
             });
         }},
        {"a power request passed down with IoCallDriver", "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
         "power-pass-without-pocalldriver",
         [] {
             SendPowerThrough([](PDEVICE_OBJECT d, PIRP irp) {
                 PoStartNextPowerIrp(irp);
                 IoSkipCurrentIrpStackLocation(irp);
                 return IofCallDriver(LowerOf(d), irp);
             });
         }},
        {"a power request completed without PoStartNextPowerIrp",
         "DRIVER_VERIFIER_IOMANAGER_VIOLATION", "power-complete-without-start-next",
         [] {
             SendPowerThrough(
                 [](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); });
         }},
        {"a device deleted and released while a dispatch routine waits in it",
         "DRIVER_VERIFIER_DETECTED_VIOLATION", "device-released-dispatch-running",
         [] {
             static Device d;
             d = MakeDevice(sizeof(Ext));
             KeInitializeEvent(&ExtOf(d.device)->event, NotificationEvent, FALSE);
             d.driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = [](PDEVICE_OBJECT dev,
                                                                           PIRP) -> NTSTATUS {
                 KeWaitForSingleObject(&ExtOf(dev)->event, Executive, KernelMode, FALSE, nullptr);
                 return STATUS_PENDING;
             };
             sim::Simulation::Current().StartThread("sender", [] {
                 PIRP irp = IoAllocateIrp(d.device->StackSize, FALSE);
                 IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
                 IofCallDriver(d.device, irp);
             });
             testdrv::Sleep100ns(10);
             IoDeleteDevice(d.device);  // no reference left: Windows frees it now
         }},
        {"unloading without freeing pool", "DRIVER_VERIFIER_DETECTED_VIOLATION", "unload-pool-left",
         [] {
             PDRIVER_OBJECT driver = sim::CreateDriverObject("leaky");
             ExAllocatePoolWithTag(NonPagedPoolNx, 24, testdrv::kTag);
             sim::Simulation::Current().pnp().UnloadDriver(driver);
         }},
    };
}

TEST(Verifier, EachFaultyDriverIsStoppedWithTheRightBugCheck) {
    for (const Case& c : Cases()) {
        sim::Options o;
        o.checkPoolAtEnd = false;
        auto r = sim::RunScenario(o, c.body);
        ASSERT_TRUE(r.bugCheck.has_value()) << c.what << "\n" << r.Report();
        EXPECT_EQ(r.Rule(), c.rule) << c.what << "\n" << r.Report();
        EXPECT_EQ(r.bugCheck->name, c.bugCheck) << c.what << "\n" << r.Report();
        EXPECT_FALSE(r.ok) << c.what;
        EXPECT_FALSE(r.bugCheck->thread.empty()) << c.what;
        EXPECT_FALSE(r.bugCheck->traceTail.empty()) << c.what;
        EXPECT_NE(r.Report().find("strategy=sequential seed=1"), std::string::npos) << c.what;
    }
}

TEST(Verifier, ReportNamesThreadIrqlAndTraceTail) {
    auto r = sim::RunScenario({}, [] {
        CallDeviceControl([](PDEVICE_OBJECT, PIRP irp) {
            Complete(irp, STATUS_SUCCESS);
            return Complete(irp, STATUS_SUCCESS);
        });
    });
    ASSERT_TRUE(r.bugCheck);
    EXPECT_EQ(r.bugCheck->thread, "main");
    EXPECT_EQ(r.bugCheck->irql, PASSIVE_LEVEL);
    EXPECT_NE(r.bugCheck->traceTail.find("IRP_MJ_DEVICE_CONTROL"), std::string::npos)
        << r.bugCheck->traceTail;
    EXPECT_NE(r.Report().find("BUG CHECK MULTIPLE_IRP_COMPLETE_REQUESTS [irp-double-complete]: "),
              std::string::npos)
        << r.Report();
}

TEST(Verifier, RunEndingWithLivePoolFailsWithTheTag) {
    auto r = sim::RunScenario({}, [] { ExAllocatePoolWithTag(NonPagedPoolNx, 10, 'kaeL'); });
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.Rule(), "run-pool-leak") << r.failure;
    EXPECT_NE(r.failure.find("'Leak'"), std::string::npos) << r.failure;
}

}  // namespace

namespace {

TEST(Verifier, RunEndingWithADriverIrpNeverFreedFails) {
    auto r = sim::RunScenario({}, [] { IoAllocateIrp(2, FALSE); });
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.Rule(), "run-irp-leak") << r.failure;
    EXPECT_NE(r.failure.find("IRP#1"), std::string::npos) << r.failure;
}

TEST(Verifier, RunEndingWithARegistryKeyOpenFails) {
    auto r = sim::RunScenario({}, [] {
        OBJECT_ATTRIBUTES attributes;
        UNICODE_STRING path;
        RtlInitUnicodeString(&path, u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP");
        InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
        HANDLE key;
        ZwOpenKey(&key, KEY_READ, &attributes);
    });
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.Rule(), "run-registry-handle-leak") << r.failure;
}

}  // namespace

namespace {

// A user request the driver still holds when the run ends would hang the
// application: the run fails and names it.
TEST(Verifier, RunEndingWithAUserRequestStillHeldFails) {
    auto r = sim::RunScenario({}, [] {
        Device d = MakeDevice();
        testdrv::AcceptOpenAndClose(d.driver);
        d.driver->MajorFunction[IRP_MJ_READ] = [](PDEVICE_OBJECT, PIRP irp) {
            IoMarkIrpPending(irp);
            return STATUS_PENDING;  // never completed
        };
        auto& io = sim::Simulation::Current().io();
        sim::Handle h = io.Open("\\\\.\\Test");
        static char b[4];
        static sim::Overlapped ov;
        io.ReadAsync(h, b, 4, &ov);
    });
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.Rule(), "run-request-held") << r.Report();
    EXPECT_NE(r.failure.find("IRP#2 (IRP_MJ_READ)"), std::string::npos) << r.Report();
}

}  // namespace
