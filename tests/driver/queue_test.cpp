// The pending-request queue protocol: QueuePendingRequest and
// TakeNextRequest against cancellation, with a cancel routine shaped like the
// driver's own (release the cancel lock, take the queue lock, unlink,
// complete with STATUS_CANCELLED).
#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "tests/driver/usb_test_bus.h"

namespace {

using bridgetest::RunClean;

// A queue with its lock, and what happened to each request.
struct TestQueue {
    LIST_ENTRY list;
    KSPIN_LOCK lock;
    std::map<PIRP, std::vector<NTSTATUS>> completions;
    int skipped = 0;  // takes that found their first entry being cancelled
};

TestQueue* gQueue = nullptr;

VOID NTAPI QueueCancel(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    KIRQL irql;
    KeAcquireSpinLock(&gQueue->lock, &irql);
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&gQueue->lock, irql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS NTAPI Record(PDEVICE_OBJECT, PIRP irp, PVOID) {
    gQueue->completions[irp].push_back(irp->IoStatus.Status);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// A request as a dispatch routine holds it: one stack location, current.
PIRP NewRequest() {
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoSetCompletionRoutine(irp, Record, nullptr, TRUE, TRUE, TRUE);
    IoSetNextIrpStackLocation(irp);
    return irp;
}

void Complete(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS Queue(PIRP irp) {
    KIRQL irql;
    KeAcquireSpinLock(&gQueue->lock, &irql);
    NTSTATUS status = QueuePendingRequest(&gQueue->list, irp, QueueCancel);
    KeReleaseSpinLock(&gQueue->lock, irql);
    if (status == STATUS_CANCELLED) Complete(irp, STATUS_CANCELLED);
    return status;
}

PIRP Take() {
    KIRQL irql;
    KeAcquireSpinLock(&gQueue->lock, &irql);
    PLIST_ENTRY first = gQueue->list.Flink;
    PIRP irp = TakeNextRequest(&gQueue->list);
    if (first != &gQueue->list && (!irp || &irp->Tail.Overlay.ListEntry != first))
        gQueue->skipped++;
    KeReleaseSpinLock(&gQueue->lock, irql);
    return irp;
}

size_t Length() {
    size_t n = 0;
    for (PLIST_ENTRY e = gQueue->list.Flink; e != &gQueue->list; e = e->Flink) ++n;
    return n;
}

void InitQueue(TestQueue& q) {
    gQueue = &q;
    InitializeListHead(&q.list);
    KeInitializeSpinLock(&q.lock);
}

TEST(RequestQueue, TakesOldestFirstAndNullWhenEmpty) {
    RunClean([] {
        TestQueue q;
        InitQueue(q);
        PIRP a = NewRequest(), b = NewRequest(), c = NewRequest();
        for (PIRP irp : {a, b, c}) SIM_CHECK(Queue(irp) == STATUS_PENDING);
        SIM_CHECK(Length() == 3);
        for (PIRP expected : {a, b, c}) {
            PIRP irp = Take();
            SIM_CHECK(irp == expected);
            SIM_CHECK(irp->CancelRoutine == nullptr);
            Complete(irp, STATUS_SUCCESS);
        }
        SIM_CHECK(Take() == nullptr);
        for (PIRP irp : {a, b, c}) {
            SIM_CHECK(q.completions[irp] == std::vector<NTSTATUS>{STATUS_SUCCESS});
            IoFreeIrp(irp);
        }
    });
}

TEST(RequestQueue, ARequestCancelledBeforeQueueingIsHandedBack) {
    RunClean([] {
        TestQueue q;
        InitQueue(q);
        PIRP waiting = NewRequest();
        SIM_CHECK(Queue(waiting) == STATUS_PENDING);
        PIRP late = NewRequest();
        SIM_CHECK(!IoCancelIrp(late));  // no cancel routine yet: only the flag is set
        KIRQL irql;
        KeAcquireSpinLock(&q.lock, &irql);
        NTSTATUS status = QueuePendingRequest(&q.list, late, QueueCancel);
        SIM_CHECK(Length() == 1 && q.list.Flink == &waiting->Tail.Overlay.ListEntry);
        KeReleaseSpinLock(&q.lock, irql);
        SIM_CHECK(status == STATUS_CANCELLED);
        SIM_CHECK(late->CancelRoutine == nullptr);
        Complete(late, STATUS_CANCELLED);
        SIM_CHECK(q.completions[late] == std::vector<NTSTATUS>{STATUS_CANCELLED});
        SIM_CHECK(Take() == waiting);
        Complete(waiting, STATUS_SUCCESS);
        IoFreeIrp(late);
        IoFreeIrp(waiting);
    });
}

TEST(RequestQueue, ACancelledQueuedRequestLeavesTheOthersInOrder) {
    RunClean([] {
        TestQueue q;
        InitQueue(q);
        PIRP a = NewRequest(), b = NewRequest(), c = NewRequest();
        for (PIRP irp : {a, b, c}) Queue(irp);
        SIM_CHECK(IoCancelIrp(b));
        SIM_CHECK(q.completions[b] == std::vector<NTSTATUS>{STATUS_CANCELLED});
        SIM_CHECK(Take() == a);
        SIM_CHECK(Take() == c);
        SIM_CHECK(Take() == nullptr);
        Complete(a, STATUS_SUCCESS);
        Complete(c, STATUS_SUCCESS);
        for (PIRP irp : {a, b, c}) IoFreeIrp(irp);
    });
}

TEST(RequestQueue, ASkippedRequestsLaterUnlinkTouchesNothingElse) {
    RunClean([] {
        TestQueue q;
        InitQueue(q);
        PIRP a = NewRequest(), b = NewRequest();
        Queue(a);
        Queue(b);
        // a's cancellation is under way: its routine has been claimed but has
        // not yet taken the queue lock.
        KIRQL irql;
        KeAcquireSpinLock(&q.lock, &irql);
        PDRIVER_CANCEL claimed = IoSetCancelRoutine(a, nullptr);
        SIM_CHECK(claimed == QueueCancel);
        SIM_CHECK(TakeNextRequest(&q.list) == b);
        SIM_CHECK(IsListEmpty(&q.list));
        // The skipped entry points at itself, so its routine's unlink is harmless.
        SIM_CHECK(a->Tail.Overlay.ListEntry.Flink == &a->Tail.Overlay.ListEntry);
        RemoveEntryList(&a->Tail.Overlay.ListEntry);
        SIM_CHECK(IsListEmpty(&q.list) && q.list.Blink == &q.list);
        KeReleaseSpinLock(&q.lock, irql);
        Complete(a, STATUS_CANCELLED);
        Complete(b, STATUS_SUCCESS);
        IoFreeIrp(a);
        IoFreeIrp(b);
    });
}

// Producers queue, a canceller cancels, a consumer takes; every request is
// completed exactly once, by its owner, over many schedules.
TEST(RequestQueue, EveryRequestCompletesExactlyOnceUnderConcurrentCancellation) {
    constexpr int kRequests = 6;
    int runs = 0, skips = 0, cancelled = 0, taken = 0;
    for (sim::Strategy strategy : {sim::Strategy::Random, sim::Strategy::Pct}) {
        for (uint64_t seed = 1; seed <= 120; ++seed) {
            sim::Options options;
            options.strategy = strategy;
            options.seed = seed;
            options.pctExpectedSteps = 400;
            SCOPED_TRACE(testing::Message() << sim::StrategyName(strategy) << " seed " << seed);
            RunClean(
                [&] {
                    auto& s = sim::Simulation::Current();
                    TestQueue q;
                    InitQueue(q);
                    PIRP irps[kRequests];
                    for (PIRP& irp : irps) irp = NewRequest();
                    sim::ThreadId producer = s.StartThread("producer", [&] {
                        for (PIRP irp : irps) Queue(irp);
                    });
                    sim::ThreadId canceller = s.StartThread("canceller", [&] {
                        for (int i = 0; i < kRequests; i += 2) IoCancelIrp(irps[i]);
                    });
                    sim::ThreadId consumer = s.StartThread("consumer", [&] {
                        for (int i = 0; i < kRequests; ++i) {
                            if (PIRP irp = Take()) Complete(irp, STATUS_SUCCESS);
                        }
                    });
                    s.Join(producer);
                    s.Join(canceller);
                    s.Join(consumer);
                    while (PIRP irp = Take()) Complete(irp, STATUS_SUCCESS);
                    for (PIRP irp : irps) {
                        const auto& done = q.completions[irp];
                        SIM_CHECK(done.size() == 1);
                        if (done[0] == STATUS_CANCELLED) {
                            cancelled++;
                        } else {
                            SIM_CHECK(done[0] == STATUS_SUCCESS);
                            taken++;
                        }
                        IoFreeIrp(irp);
                    }
                    skips += q.skipped;
                },
                options);
            ++runs;
        }
    }
    EXPECT_EQ(runs, 240);
    EXPECT_GT(cancelled, 0);
    EXPECT_GT(taken, 0);
    // The interleaving where a take meets a request whose cancellation is
    // under way was reached.
    EXPECT_GT(skips, 0);
}

TEST(TransferCancelRoutine, CompletesTheTransferRequestCancelledWithNoBytes) {
    RunClean([] {
        TestQueue q;
        InitQueue(q);
        PIRP irp = NewRequest();
        irp->IoStatus.Information = 17;
        IoMarkIrpPending(irp);
        (void)IoSetCancelRoutine(irp, TransferCancelRoutine);
        SIM_CHECK(IoCancelIrp(irp));
        SIM_CHECK(q.completions[irp] == std::vector<NTSTATUS>{STATUS_CANCELLED});
        SIM_CHECK(irp->IoStatus.Information == 0);
        IoFreeIrp(irp);
    });
}

}  // namespace
