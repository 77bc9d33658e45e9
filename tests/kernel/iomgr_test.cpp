// The I/O manager: completion routines and pending semantics, buffered
// user-mode I/O, cancellation racing completion, device deletion and names.
#include <gtest/gtest.h>

#include "tests/kernel/test_driver.h"

namespace {

using testdrv::Complete;
using testdrv::Device;
using testdrv::MakeDevice;

// ---------------------------------------------------------------- completion routines

struct CompletionLog {
    std::vector<std::string> calls;
    BOOLEAN pendingSeenByUpper = FALSE;
    PDEVICE_OBJECT deviceSeen = nullptr;
};
CompletionLog* gLog;

NTSTATUS UpperRoutine(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    gLog->calls.push_back(static_cast<const char*>(context));
    gLog->pendingSeenByUpper = irp->PendingReturned;
    gLog->deviceSeen = device;
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
}

TEST(IoManager, CompletionRoutinesRunBottomUpWithPendingPropagated) {
    CompletionLog log;
    gLog = &log;
    NTSTATUS final = 0;
    auto r = sim::RunScenario({}, [&] {
        static Device lower, upper;
        lower = MakeDevice(0, "Lower");
        upper = MakeDevice(0, "Upper");
        IoAttachDeviceToDeviceStack(upper.device, lower.device);
        // The lower driver pends and completes later from a timer DPC.
        static KTIMER timer;
        static KDPC dpc;
        static PIRP held;
        KeInitializeTimer(&timer);
        KeInitializeDpc(&dpc, [](PKDPC, PVOID, PVOID, PVOID) {
            Complete(held, STATUS_SUCCESS, 3);
        }, nullptr);
        lower.driver->MajorFunction[IRP_MJ_READ] = [](PDEVICE_OBJECT, PIRP irp) {
            IoMarkIrpPending(irp);
            held = irp;
            KeSetTimer(&timer, testdrv::Relative(100), &dpc);
            return STATUS_PENDING;
        };
        upper.driver->MajorFunction[IRP_MJ_CREATE] = [](PDEVICE_OBJECT d, PIRP irp) {
            (void)d;
            return Complete(irp, STATUS_SUCCESS);
        };
        upper.driver->MajorFunction[IRP_MJ_READ] = [](PDEVICE_OBJECT d, PIRP irp) {
            (void)d;
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, UpperRoutine, const_cast<char*>("upper"), TRUE, TRUE,
                                   TRUE);
            return IofCallDriver(lower.device, irp);
        };
        auto& io = sim::Simulation::Current().io();
        sim::Handle h = io.Open("\\\\.\\Upper");
        char buffer[8];
        ULONG got = 0;
        final = io.Read(h, buffer, sizeof buffer, &got);
        SIM_CHECK(got == 3);
        io.Close(h);
        IoDetachDevice(lower.device);
        testdrv::DeleteDevice(upper, "Upper");
        testdrv::DeleteDevice(lower, "Lower");
    });
    ASSERT_TRUE(r.ok) << r.Report();
    EXPECT_EQ(final, STATUS_SUCCESS);
    EXPECT_EQ(log.calls, std::vector<std::string>{"upper"});
    EXPECT_TRUE(log.pendingSeenByUpper);
}

TEST(IoManager, MoreProcessingRequiredStopsCompletionUntilTheOwnerCompletesAgain) {
    std::vector<std::string> order;
    static std::vector<std::string>* gOrder;
    gOrder = &order;
    auto r = sim::RunScenario({}, [&] {
        static Device lower;
        lower = MakeDevice(0, "Lower");
        lower.driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) {
            gOrder->push_back("lower completes");
            return Complete(irp, STATUS_UNSUCCESSFUL);
        };
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};
        PIRP irp = IoBuildDeviceIoControlRequest(0x220003, lower.device, nullptr, 0, nullptr, 0,
                                                 TRUE, &event, &iosb);
        IoSetCompletionRoutine(
            irp,
            [](PDEVICE_OBJECT, PIRP, PVOID context) -> NTSTATUS {
                gOrder->push_back("routine keeps it");
                KeSetEvent(static_cast<PKEVENT>(context), 1, FALSE);
                return STATUS_MORE_PROCESSING_REQUIRED;
            },
            &event, TRUE, TRUE, TRUE);
        // The routine's own event is the build event here; the request is
        // not finished until the owner completes it again.
        IofCallDriver(lower.device, irp);
        SIM_CHECK_EQ(iosb.Status, 0);
        SIM_CHECK_EQ(iosb.Information, 0);
        gOrder->push_back("owner completes again");
        irp->IoStatus.Status = STATUS_SUCCESS;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        SIM_CHECK(iosb.Status == STATUS_SUCCESS);
        testdrv::DeleteDevice(lower, "Lower");
    });
    ASSERT_TRUE(r.ok) << r.Report();
    EXPECT_EQ(order, (std::vector<std::string>{"lower completes", "routine keeps it",
                                               "owner completes again"}));
}

TEST(IoManager, InvokeFlagsSelectWhichCompletionsRunTheRoutine) {
    struct Row {
        NTSTATUS status;
        BOOLEAN onSuccess, onError;
        bool expectCalled;
    };
    const Row rows[] = {
        {STATUS_SUCCESS, TRUE, FALSE, true},
        {STATUS_SUCCESS, FALSE, TRUE, false},
        {STATUS_UNSUCCESSFUL, FALSE, TRUE, true},
        {STATUS_UNSUCCESSFUL, TRUE, FALSE, false},
    };
    for (const Row& row : rows) {
        static bool called;
        static NTSTATUS completeWith;
        called = false;
        completeWith = row.status;
        auto r = sim::RunScenario({}, [&] {
            static Device lower;
            lower = MakeDevice(0, "Lower");
            lower.driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] =
                [](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, completeWith); };
            KEVENT event;
            KeInitializeEvent(&event, NotificationEvent, FALSE);
            IO_STATUS_BLOCK iosb{};
            PIRP irp = IoBuildDeviceIoControlRequest(0x220003, lower.device, nullptr, 0, nullptr,
                                                     0, TRUE, &event, &iosb);
            IoSetCompletionRoutine(
                irp,
                [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS {
                    called = true;
                    return STATUS_SUCCESS;
                },
                nullptr, row.onSuccess, row.onError, FALSE);
            IofCallDriver(lower.device, irp);
            SIM_CHECK(iosb.Status == completeWith);
            SIM_CHECK(KeReadStateEvent(&event) == 1);
            testdrv::DeleteDevice(lower, "Lower");
        });
        ASSERT_TRUE(r.ok) << r.Report();
        EXPECT_EQ(called, row.expectCalled) << std::hex << row.status;
    }
}

TEST(IoManager, BufferedDeviceControlCopiesInformationBytesBack) {
    char out[8] = {0};
    ULONG info = 0;
    auto r = sim::RunScenario({}, [&] {
        static Device d;
        d = MakeDevice();
        testdrv::AcceptOpenAndClose(d.driver);
        d.driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) {
            // Input and output share the system buffer.
            auto* b = static_cast<char*>(irp->AssociatedIrp.SystemBuffer);
            b[0] = static_cast<char>(b[0] + 1);
            b[1] = 'x';
            return Complete(irp, STATUS_SUCCESS, 2);
        };
        auto& io = sim::Simulation::Current().io();
        sim::Handle h = io.Open("\\\\.\\Test");
        char in[1] = {'a'};
        io.DeviceIoControl(h, CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_BUFFERED, FILE_ANY_ACCESS),
                           in, 1, out, sizeof out, &info);
        io.Close(h);
        testdrv::DeleteDevice(d);
    });
    ASSERT_TRUE(r.ok) << r.Report();
    EXPECT_EQ(info, 2u);
    EXPECT_EQ(out[0], 'b');
    EXPECT_EQ(out[1], 'x');
    EXPECT_EQ(out[2], 0) << "only Information bytes come back";
}

TEST(IoManager, ExclusiveDeviceRefusesASecondOpenAndCloseSendsCleanupThenClose) {
    std::vector<UCHAR> majors;
    static std::vector<UCHAR>* gMajors;
    gMajors = &majors;
    NTSTATUS second = 0;
    auto r = sim::RunScenario({}, [&] {
        static Device d;
        d.driver = sim::CreateDriverObject("excl");
        UNICODE_STRING nt, dos;
        RtlInitUnicodeString(&nt, u"\\Device\\Excl");
        RtlInitUnicodeString(&dos, u"\\DosDevices\\EXCL");
        IoCreateDevice(d.driver, 0, &nt, FILE_DEVICE_SERIAL_PORT, 0, TRUE, &d.device);
        d.device->Flags &= ~DO_DEVICE_INITIALIZING;
        IoCreateSymbolicLink(&dos, &nt);
        for (UCHAR m : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}) {
            d.driver->MajorFunction[m] = [](PDEVICE_OBJECT, PIRP irp) {
                gMajors->push_back(IoGetCurrentIrpStackLocation(irp)->MajorFunction);
                return Complete(irp, STATUS_SUCCESS);
            };
        }
        auto& io = sim::Simulation::Current().io();
        sim::Handle h = io.Open("\\\\.\\excl");
        SIM_CHECK(h != sim::kInvalidHandle);
        SIM_CHECK(io.Open("\\\\.\\EXCL", &second) == sim::kInvalidHandle);
        io.Close(h);
        IoDeleteSymbolicLink(&dos);
        IoDeleteDevice(d.device);
    });
    ASSERT_TRUE(r.ok) << r.Report();
    EXPECT_EQ(second, STATUS_ACCESS_DENIED);
    EXPECT_EQ(majors, (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
}

TEST(IoManager, NamesResolveThroughDosDevicesToTheDevice) {
    auto r = sim::RunScenario({}, [] {
        Device d = MakeDevice(0, "Serial2");
        UNICODE_STRING com, nt;
        RtlInitUnicodeString(&com, u"\\DosDevices\\COM5");
        RtlInitUnicodeString(&nt, u"\\Device\\Serial2");
        SIM_CHECK(NT_SUCCESS(IoCreateSymbolicLink(&com, &nt)));
        SIM_CHECK(IoCreateSymbolicLink(&com, &nt) == STATUS_OBJECT_NAME_COLLISION);
        auto& objects = sim::Simulation::Current().objects();
        SIM_CHECK(objects.Resolve("\\\\.\\COM5") == d.device);
        SIM_CHECK(objects.Resolve("\\??\\com5") == d.device);
        SIM_CHECK(*objects.LinkTarget("\\DosDevices\\COM5") == "\\Device\\Serial2");
        IoDeleteSymbolicLink(&com);
        SIM_CHECK(objects.Resolve("\\\\.\\COM5") == nullptr);
        testdrv::DeleteDevice(d, "Serial2");
    });
    ASSERT_TRUE(r.ok) << r.Report();
}

TEST(IoManager, DeletedDeviceStaysReadableWhileReferenced) {
    auto r = sim::RunScenario({}, [] {
        Device d = MakeDevice(64);
        ObfReferenceObject(d.device);
        auto* ext = static_cast<ULONG*>(d.device->DeviceExtension);
        ext[0] = 0x1234;
        testdrv::DeleteDevice(d);
        SIM_CHECK(ext[0] == 0x1234);  // still mapped (ASan would catch a free)
        ObfDereferenceObject(d.device);
    });
    ASSERT_TRUE(r.ok) << r.Report();
}

// ---------------------------------------------------------------- cancel against completion

// A driver that queues reads with a cancel routine and completes the oldest
// from a timer DPC. Ownership passes by exchanging the cancel-routine field;
// with `plantDoubleCompletion` the DPC completes without claiming it.
struct QueueExt {
    KSPIN_LOCK lock;
    LIST_ENTRY queue;
    KTIMER timer;
    KDPC dpc;
};
bool gPlantDoubleCompletion = false;

VOID QueueCancel(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    auto* e = static_cast<QueueExt*>(device->DeviceExtension);
    KIRQL old;
    KeAcquireSpinLock(&e->lock, &old);
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    InitializeListHead(&irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&e->lock, old);
    Complete(irp, STATUS_CANCELLED);
}

VOID QueueDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* e = static_cast<QueueExt*>(context);
    PIRP owned = nullptr;
    KeAcquireSpinLockAtDpcLevel(&e->lock);
    while (!IsListEmpty(&e->queue)) {
        PLIST_ENTRY entry = RemoveHeadList(&e->queue);
        InitializeListHead(entry);
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        if (gPlantDoubleCompletion) {
            irp->CancelRoutine = nullptr;  // takes it without claiming it
            owned = irp;
            break;
        }
        if (IoSetCancelRoutine(irp, nullptr)) {
            owned = irp;
            break;
        }
    }
    KeReleaseSpinLockFromDpcLevel(&e->lock);
    if (owned) Complete(owned, STATUS_SUCCESS, 1);
}

NTSTATUS QueueRead(PDEVICE_OBJECT device, PIRP irp) {
    auto* e = static_cast<QueueExt*>(device->DeviceExtension);
    KIRQL old;
    KeAcquireSpinLock(&e->lock, &old);
    InsertTailList(&e->queue, &irp->Tail.Overlay.ListEntry);
    IoSetCancelRoutine(irp, QueueCancel);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) {
        RemoveEntryList(&irp->Tail.Overlay.ListEntry);
        KeReleaseSpinLock(&e->lock, old);
        return Complete(irp, STATUS_CANCELLED);
    }
    IoMarkIrpPending(irp);
    KeSetTimer(&e->timer, testdrv::Relative(100), &e->dpc);
    KeReleaseSpinLock(&e->lock, old);
    return STATUS_PENDING;
}

sim::RunResult CancelRace(sim::Strategy strategy, uint64_t seed, int* cancelled, int* completed) {
    sim::Options o;
    o.strategy = strategy;
    o.seed = seed;
    o.pctExpectedSteps = 300;
    return sim::RunScenario(o, [=] {
        Device d = MakeDevice(sizeof(QueueExt));
        auto* e = static_cast<QueueExt*>(d.device->DeviceExtension);
        KeInitializeSpinLock(&e->lock);
        InitializeListHead(&e->queue);
        KeInitializeTimer(&e->timer);
        KeInitializeDpc(&e->dpc, QueueDpc, e);
        testdrv::AcceptOpenAndClose(d.driver);
        d.driver->MajorFunction[IRP_MJ_READ] = QueueRead;
        auto& s = sim::Simulation::Current();
        auto& io = s.io();
        sim::Handle h = io.Open("\\\\.\\Test");
        char buffers[3][4];
        sim::Overlapped ov[3];
        for (int i = 0; i < 3; ++i) io.ReadAsync(h, buffers[i], 4, &ov[i]);
        auto canceller = s.StartThread("canceller", [&io, h] {
            testdrv::Sleep100ns(100);
            io.CancelIoEx(h);  // the requests are main's: CancelIo here would cancel none
        });
        for (int i = 0; i < 3; ++i) {
            NTSTATUS st = io.Wait(&ov[i]);
            if (st == STATUS_CANCELLED) ++*cancelled;
            if (st == STATUS_SUCCESS) ++*completed;
        }
        s.Join(canceller);
        KeCancelTimer(&e->timer);
        KeFlushQueuedDpcs();
        io.Close(h);
        testdrv::DeleteDevice(d);
    });
}

TEST(IoManager, CancelRacingCompletionUnder200SeedsCompletesEachRequestOnce) {
    gPlantDoubleCompletion = false;
    int runs = 0, sawCancel = 0, sawComplete = 0;
    for (sim::Strategy strategy : {sim::Strategy::Random, sim::Strategy::Pct}) {
        for (uint64_t seed = 1; seed <= 120; ++seed) {
            int cancelled = 0, completed = 0;
            auto r = CancelRace(strategy, seed, &cancelled, &completed);
            ASSERT_TRUE(r.ok) << r.Report();
            ASSERT_EQ(cancelled + completed, 3) << r.Replay();
            sawCancel += cancelled > 0;
            sawComplete += completed > 0;
            ++runs;
        }
    }
    EXPECT_EQ(runs, 240);
    EXPECT_GT(sawCancel, 0);
    EXPECT_GT(sawComplete, 0);
}

TEST(IoManager, PlantedDoubleCompletionIsCaughtWithinTheSeeds) {
    gPlantDoubleCompletion = true;
    std::string caught;
    for (uint64_t seed = 1; seed <= 200 && caught.empty(); ++seed) {
        int cancelled = 0, completed = 0;
        auto r = CancelRace(sim::Strategy::Random, seed, &cancelled, &completed);
        if (r.bugCheck) caught = r.Rule() + " (" + r.Replay() + ")";
    }
    gPlantDoubleCompletion = false;
    ASSERT_FALSE(caught.empty()) << "the planted double completion went unnoticed";
    EXPECT_TRUE(caught.rfind("irp-double-complete ", 0) == 0 ||
                caught.rfind("irp-complete-cancel-routine ", 0) == 0)
        << caught;
}

}  // namespace

namespace {

// Without an output buffer the I/O manager copies nothing back, so the
// information is only a count and may exceed zero.
TEST(IoManager, DeviceControlWithoutOutputBufferMayReportACount) {
    ULONG info = 0;
    auto r = sim::RunScenario({}, [&] {
        static Device d;
        d = MakeDevice();
        testdrv::AcceptOpenAndClose(d.driver);
        d.driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) {
            return Complete(irp, STATUS_SUCCESS, 1);
        };
        auto& io = sim::Simulation::Current().io();
        sim::Handle h = io.Open("\\\\.\\Test");
        char in[6] = {};
        io.DeviceIoControl(h, CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_BUFFERED, FILE_ANY_ACCESS),
                           in, sizeof in, nullptr, 0, &info);
        io.Close(h);
        testdrv::DeleteDevice(d);
    });
    ASSERT_TRUE(r.ok) << r.Report();
    EXPECT_EQ(info, 1u);
}

}  // namespace

namespace {

// ---------------------------------------------------------------- close, attach, reuse, built requests, CancelIo, exclusive opens

// IRP_MJ_CLOSE goes only when the last reference to the file object goes:
// a request still outstanding after cleanup holds it back.
TEST(IoManager, CloseWaitsForTheRequestsStillOutstandingOnTheHandle) {
    static std::vector<int> log;
    static PIRP held;
    log.clear();
    held = nullptr;
    NTSTATUS readStatus = 0;
    auto r = sim::RunScenario({}, [&] {
        Device d = MakeDevice();
        for (UCHAR m : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}) {
            d.driver->MajorFunction[m] = [](PDEVICE_OBJECT, PIRP irp) {
                log.push_back(IoGetCurrentIrpStackLocation(irp)->MajorFunction);
                return Complete(irp, STATUS_SUCCESS);
            };
        }
        d.driver->MajorFunction[IRP_MJ_READ] = [](PDEVICE_OBJECT, PIRP irp) {
            log.push_back(IRP_MJ_READ);
            IoMarkIrpPending(irp);
            held = irp;  // cleanup does not complete it
            return STATUS_PENDING;
        };
        auto& io = sim::Simulation::Current().io();
        sim::Handle h = io.Open("\\\\.\\Test");
        char b[4];
        sim::Overlapped ov;
        SIM_CHECK(io.ReadAsync(h, b, 4, &ov) == STATUS_PENDING);
        SIM_CHECK(NT_SUCCESS(io.Close(h)));
        sim::Overlapped late;
        SIM_CHECK(io.ReadAsync(h, b, 4, &late) == STATUS_INVALID_HANDLE);  // the handle is gone
        log.push_back(-1);  // the held read completes now
        Complete(held, STATUS_CANCELLED);
        readStatus = io.Wait(&ov);
        testdrv::Sleep100ns(10);  // the close goes from a worker thread
        testdrv::DeleteDevice(d);
    });
    ASSERT_TRUE(r.ok) << r.Report();
    EXPECT_EQ(readStatus, STATUS_CANCELLED);
    EXPECT_EQ(log, (std::vector<int>{IRP_MJ_CREATE, IRP_MJ_READ, IRP_MJ_CLEANUP, -1, IRP_MJ_CLOSE}));
}

// The I/O manager still sends cleanup and close on an open file to its
// device after the driver deleted it; only drivers passing requests to a
// deleted device are stopped.
TEST(IoManager, CleanupAndCloseStillReachADeviceDeletedWhileOpen) {
    static std::vector<UCHAR> majors;
    majors.clear();
    auto r = sim::RunScenario({}, [] {
        Device d = MakeDevice();
        for (UCHAR m : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}) {
            d.driver->MajorFunction[m] = [](PDEVICE_OBJECT, PIRP irp) {
                majors.push_back(IoGetCurrentIrpStackLocation(irp)->MajorFunction);
                return Complete(irp, STATUS_SUCCESS);
            };
        }
        auto& io = sim::Simulation::Current().io();
        sim::Handle h = io.Open("\\\\.\\Test");
        testdrv::DeleteDevice(d);
        io.Close(h);
    });
    ASSERT_TRUE(r.ok) << r.Report();
    EXPECT_EQ(majors, (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
}

TEST(IoManager, AttachingToADeletedDeviceGivesNull) {
    PDEVICE_OBJECT attachedTo = reinterpret_cast<PDEVICE_OBJECT>(1);
    auto r = sim::RunScenario({}, [&] {
        Device lower = MakeDevice(0, "Lower");
        ObfReferenceObject(lower.device);
        testdrv::DeleteDevice(lower, "Lower");
        Device upper = MakeDevice(0, "Upper");
        attachedTo = IoAttachDeviceToDeviceStack(upper.device, lower.device);
        testdrv::DeleteDevice(upper, "Upper");
        ObfDereferenceObject(lower.device);
    });
    ASSERT_TRUE(r.ok) << r.Report();
    EXPECT_EQ(attachedTo, nullptr);
}

TEST(IoManager, ReuseResetsTheWholeIrp) {
    auto r = sim::RunScenario({}, [] {
        PIRP irp = IoAllocateIrp(3, FALSE);
        irp->Tail.Overlay.DriverContext[0] = irp;
        irp->UserBuffer = irp;
        irp->Flags = 0x40;
        irp->AssociatedIrp.SystemBuffer = irp;
        irp->UserIosb = reinterpret_cast<PIO_STATUS_BLOCK>(irp);
        irp->IoStatus.Information = 7;
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
        IoReuseIrp(irp, STATUS_NOT_SUPPORTED);
        SIM_CHECK(irp->Tail.Overlay.DriverContext[0] == nullptr);
        SIM_CHECK(irp->UserBuffer == nullptr);
        SIM_CHECK(irp->Flags == 0);
        SIM_CHECK(irp->AssociatedIrp.SystemBuffer == nullptr);
        SIM_CHECK(irp->UserIosb == nullptr);
        SIM_CHECK(irp->IoStatus.Status == STATUS_NOT_SUPPORTED);
        SIM_CHECK(irp->IoStatus.Information == 0);
        SIM_CHECK_EQ(irp->StackCount, 3);
        SIM_CHECK_EQ(irp->CurrentLocation, 4);
        SIM_CHECK(IoGetNextIrpStackLocation(irp)->MajorFunction == 0);
        IoFreeIrp(irp);
    });
    ASSERT_TRUE(r.ok) << r.Report();
}

// A built METHOD_BUFFERED request: the system buffer is filled as pool is,
// and output comes back only when the request did not fail.
TEST(IoManager, BuiltRequestFillsLikePoolAndCopiesBackOnlyOnSuccess) {
    struct Row {
        NTSTATUS status;
        bool copied;
    };
    for (Row row : {Row{STATUS_SUCCESS, true}, Row{STATUS_UNSUCCESSFUL, false}}) {
        static NTSTATUS completeWith;
        static unsigned char unwritten;
        completeWith = row.status;
        char out[4] = {'.', '.', '.', '.'};
        auto r = sim::RunScenario({}, [&] {
            static Device lower;
            lower = MakeDevice(0, "Lower");
            lower.driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) {
                auto* b = static_cast<unsigned char*>(irp->AssociatedIrp.SystemBuffer);
                unwritten = b[3];  // beyond the 1-byte input
                b[0] = 'x';
                return Complete(irp, completeWith, 1);
            };
            KEVENT event;
            KeInitializeEvent(&event, NotificationEvent, FALSE);
            IO_STATUS_BLOCK iosb{};
            char in[1] = {'a'};
            PIRP irp = IoBuildDeviceIoControlRequest(
                CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_BUFFERED, FILE_ANY_ACCESS), lower.device,
                in, 1, out, sizeof out, FALSE, &event, &iosb);
            IofCallDriver(lower.device, irp);
            SIM_CHECK(iosb.Status == completeWith);
            testdrv::DeleteDevice(lower, "Lower");
        });
        ASSERT_TRUE(r.ok) << r.Report();
        EXPECT_EQ(unwritten, 0xCD);
        EXPECT_EQ(out[0], row.copied ? 'x' : '.') << std::hex << row.status;
    }
}

// The final completion of a built request runs, as Windows' special kernel
// APC, in the issuing thread once its IRQL is below APC_LEVEL.
TEST(IoManager, BuiltRequestCompletionWaitsUntilTheIssuerIsBelowApcLevel) {
    bool doneAtApcLevel = true, doneAfterLowering = false;
    auto r = sim::RunScenario({}, [&] {
        static Device lower;
        lower = MakeDevice(0, "Lower");
        lower.driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = [](PDEVICE_OBJECT,
                                                                          PIRP irp) {
            return Complete(irp, STATUS_SUCCESS);
        };
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};
        iosb.Status = STATUS_PENDING;
        PIRP irp = IoBuildDeviceIoControlRequest(0x220003, lower.device, nullptr, 0, nullptr, 0,
                                                 TRUE, &event, &iosb);
        KIRQL old;
        KeRaiseIrql(APC_LEVEL, &old);
        IofCallDriver(lower.device, irp);  // completes at once in the lower driver
        doneAtApcLevel = iosb.Status != STATUS_PENDING || KeReadStateEvent(&event) != 0;
        KeLowerIrql(old);
        doneAfterLowering = iosb.Status == STATUS_SUCCESS && KeReadStateEvent(&event) != 0;
        testdrv::DeleteDevice(lower, "Lower");
    });
    ASSERT_TRUE(r.ok) << r.Report();
    EXPECT_FALSE(doneAtApcLevel);
    EXPECT_TRUE(doneAfterLowering);
}

// CancelIo cancels the calling thread's requests on the handle; CancelIoEx
// cancels every thread's.
TEST(UserIoCancel, CancelIoTakesOnlyTheCallersRequestsAndCancelIoExTakesAll) {
    NTSTATUS mainsAfterOtherCancelIo = 0, others = 0, mainsAtEnd = 0;
    auto r = sim::RunScenario({}, [&] {
        Device d = MakeDevice();
        testdrv::AcceptOpenAndClose(d.driver);
        d.driver->MajorFunction[IRP_MJ_READ] = [](PDEVICE_OBJECT, PIRP irp) {
            IoMarkIrpPending(irp);
            IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP cancelled) {
                IoReleaseCancelSpinLock(cancelled->CancelIrql);
                Complete(cancelled, STATUS_CANCELLED);
            });
            return STATUS_PENDING;
        };
        auto& s = sim::Simulation::Current();
        auto& io = s.io();
        sim::Handle h = io.Open("\\\\.\\Test");
        char a[4], b[4];
        sim::Overlapped mine, theirs;
        io.ReadAsync(h, a, 4, &mine);
        auto other = s.StartThread("other", [&] {
            io.ReadAsync(h, b, 4, &theirs);
            io.CancelIo(h);
            others = io.Wait(&theirs);
        });
        s.Join(other);
        mainsAfterOtherCancelIo = io.Wait(&mine, 0);
        io.CancelIoEx(h);
        mainsAtEnd = io.Wait(&mine);
        io.Close(h);
        testdrv::DeleteDevice(d);
    });
    ASSERT_TRUE(r.ok) << r.Report();
    EXPECT_EQ(others, STATUS_CANCELLED);
    EXPECT_EQ(mainsAfterOtherCancelIo, STATUS_TIMEOUT);
    EXPECT_EQ(mainsAtEnd, STATUS_CANCELLED);
}

// Two opens of an exclusive device racing each other: the second is
// refused even while the first one's create is still in the driver.
TEST(IoManager, RacingOpensOfAnExclusiveDeviceNeverBothSucceed) {
    for (sim::Strategy strategy : {sim::Strategy::Sequential, sim::Strategy::Random}) {
        for (uint64_t seed = 1; seed <= 20; ++seed) {
            NTSTATUS first = -1, second = -1;
            sim::Options o;
            o.strategy = strategy;
            o.seed = seed;
            auto r = sim::RunScenario(o, [&] {
                static Device d;
                d.driver = sim::CreateDriverObject("excl");
                UNICODE_STRING nt, dos;
                RtlInitUnicodeString(&nt, u"\\Device\\Excl");
                RtlInitUnicodeString(&dos, u"\\DosDevices\\EXCL");
                IoCreateDevice(d.driver, 0, &nt, FILE_DEVICE_SERIAL_PORT, 0, TRUE, &d.device);
                d.device->Flags &= ~DO_DEVICE_INITIALIZING;
                IoCreateSymbolicLink(&dos, &nt);
                testdrv::AcceptOpenAndClose(d.driver);
                d.driver->MajorFunction[IRP_MJ_CREATE] = [](PDEVICE_OBJECT, PIRP irp) {
                    testdrv::Sleep100ns(10);  // the create takes a while
                    return Complete(irp, STATUS_SUCCESS);
                };
                auto& s = sim::Simulation::Current();
                auto& io = s.io();
                sim::Handle h1 = 0, h2 = 0;
                auto a = s.StartThread("open1", [&] { h1 = io.Open("\\\\.\\EXCL", &first); });
                auto b = s.StartThread("open2", [&] { h2 = io.Open("\\\\.\\EXCL", &second); });
                s.Join(a);
                s.Join(b);
                if (h1) io.Close(h1);
                if (h2) io.Close(h2);
                IoDeleteSymbolicLink(&dos);
                IoDeleteDevice(d.device);
            });
            ASSERT_TRUE(r.ok) << r.Report();
            EXPECT_EQ(NT_SUCCESS(first) + NT_SUCCESS(second), 1) << r.Replay();
            EXPECT_TRUE(first == STATUS_ACCESS_DENIED || second == STATUS_ACCESS_DENIED)
                << r.Replay();
        }
    }
}

}  // namespace
