// Wait on mask: what a wait reports, when it completes, and how set-mask,
// refusals and cancellation meet a pending wait. Line events are raised the
// way the status pipe raises them (SignalSerialEvents); receive events come
// from real bulk-in transfers.
#include <gtest/gtest.h>

#include "tests/harness/port_rig.h"

namespace {

using namespace porttest;

// An IOCTL_SERIAL_WAIT_ON_MASK in flight.
struct Wait {
    ULONG word = 0xDEADBEEF;
    sim::Overlapped ov;
    NTSTATUS dispatched = STATUS_UNSUCCESSFUL;
    bool Done() const { return ov.done || dispatched != STATUS_PENDING; }
};

void IssueWait(PortRig& rig, Wait& w) {
    w.dispatched = rig.sim.io().DeviceIoControlAsync(rig.handle, IOCTL_SERIAL_WAIT_ON_MASK, nullptr,
                                                     0, &w.word, sizeof w.word, &w.ov);
}

NTSTATUS Finish(PortRig& rig, Wait& w) {
    return w.dispatched == STATUS_PENDING ? rig.sim.io().Wait(&w.ov) : w.dispatched;
}

struct EventCase {
    const char* name;
    ULONG mask;
    ULONG before;              // signalled before the wait (0: nothing)
    std::vector<ULONG> after;  // signalled, in order, while the wait is out
    NTSTATUS dispatched;       // what the dispatcher returned
    bool completes;
    ULONG word;
};

TEST(WaitOnMask, EventsCompleteTheWaitAsTheMaskSays) {
    const EventCase cases[] = {
        {"both changed bits reported",
         SERIAL_EV_CTS,
         0,
         {SERIAL_EV_CTS | SERIAL_EV_DSR},
         STATUS_PENDING,
         true,
         SERIAL_EV_CTS | SERIAL_EV_DSR},
        {"an event outside the mask records nothing",
         SERIAL_EV_DSR,
         0,
         {SERIAL_EV_CTS},
         STATUS_PENDING,
         false,
         0},
        {"only the masked change after an unmasked one",
         SERIAL_EV_DSR,
         0,
         {SERIAL_EV_CTS, SERIAL_EV_DSR},
         STATUS_PENDING,
         true,
         SERIAL_EV_DSR},
        {"events seen earlier complete the wait at once",
         SERIAL_EV_RING,
         SERIAL_EV_RING,
         {},
         STATUS_PENDING,
         true,
         SERIAL_EV_RING},
        {"an empty set completes nothing", SERIAL_EV_CTS, 0, {0}, STATUS_PENDING, false, 0},
        {"a zero mask refuses the wait", 0, 0, {}, STATUS_INVALID_PARAMETER, true, 0xDEADBEEF},
    };
    for (const EventCase& c : cases) {
        auto r = RunOnPort({}, [&](PortRig& rig) {
            rig.SetWaitMask(c.mask);
            if (c.before) SignalSerialEvents(rig.ext, c.before);
            Wait w;
            IssueWait(rig, w);
            EXPECT_EQ(w.dispatched, c.dispatched) << c.name;
            for (ULONG e : c.after) SignalSerialEvents(rig.ext, e);
            EXPECT_EQ(w.Done(), c.completes) << c.name;
            if (!w.Done()) rig.sim.io().CancelIo(rig.handle);
            NTSTATUS st = Finish(rig, w);
            if (c.completes && c.dispatched == STATUS_PENDING) {
                EXPECT_EQ(st, STATUS_SUCCESS) << c.name;
                EXPECT_EQ(w.ov.iosb.Information, sizeof(ULONG)) << c.name;
            }
            EXPECT_EQ(w.word, c.completes ? c.word : 0xDEADBEEF) << c.name;
        });
        EXPECT_TRUE(r.ok) << c.name << ": " << r.Report();
    }
}

// SERIAL_EV_RXCHAR means bytes wait in the ring: recorded while no wait is
// out, it is dropped once reads have emptied the ring.
TEST(WaitOnMask, RxCharRecordedEarlierIsDroppedWhenReadsEmptyTheRing) {
    ExpectOk(RunOnPort({}, [](PortRig& rig) {
        rig.SetWaitMask(SERIAL_EV_RXCHAR);
        rig.PeerSends(Pattern(3));
        rig.Pass(5 * kMs);
        uint8_t buffer[3];
        ULONG n = 0;
        SIM_CHECK(rig.sim.io().Read(rig.handle, buffer, 3, &n) == STATUS_SUCCESS && n == 3);
        Wait w;
        IssueWait(rig, w);
        rig.Pass(5 * kMs);
        SIM_CHECK(!w.Done());
        rig.PeerSends(Pattern(1));
        SIM_CHECK(Finish(rig, w) == STATUS_SUCCESS);
        SIM_CHECK(w.word == SERIAL_EV_RXCHAR);
    }));
}

// A second wait is refused and the first stays; a new mask completes the
// first with word 0 and keeps only the recorded events inside it; a
// cancelled wait can be followed by a new one.
TEST(WaitOnMask, SecondWaitSetMaskAndCancelMeetThePendingWait) {
    ExpectOk(RunOnPort({}, [](PortRig& rig) {
        rig.SetWaitMask(SERIAL_EV_CTS);
        Wait first, second;
        IssueWait(rig, first);
        IssueWait(rig, second);
        SIM_CHECK(second.dispatched == STATUS_INVALID_PARAMETER);
        SIM_CHECK(!first.Done());

        ULONG mask = SERIAL_EV_CTS | SERIAL_EV_DSR;
        sim::Overlapped setOv;
        SIM_CHECK(rig.sim.io().DeviceIoControlAsync(rig.handle, IOCTL_SERIAL_SET_WAIT_MASK, &mask,
                                                    4, nullptr, 0, &setOv) == STATUS_SUCCESS);
        SIM_CHECK(setOv.iosb.Information == sizeof(ULONG));
        SIM_CHECK(Finish(rig, first) == STATUS_SUCCESS);
        SIM_CHECK(first.word == 0 && first.ov.iosb.Information == sizeof(ULONG));

        SignalSerialEvents(rig.ext, SERIAL_EV_DSR | SERIAL_EV_RING);  // recorded whole
        rig.SetWaitMask(SERIAL_EV_DSR);                               // keeps only DSR
        Wait third;
        IssueWait(rig, third);
        SIM_CHECK(Finish(rig, third) == STATUS_SUCCESS && third.word == SERIAL_EV_DSR);

        Wait fourth, fifth;
        IssueWait(rig, fourth);
        rig.sim.io().CancelIo(rig.handle);
        SIM_CHECK(Finish(rig, fourth) == STATUS_CANCELLED);
        SIM_CHECK(fourth.ov.iosb.Information == 0);
        IssueWait(rig, fifth);
        SignalSerialEvents(rig.ext, SERIAL_EV_DSR);
        SIM_CHECK(Finish(rig, fifth) == STATUS_SUCCESS && fifth.word == SERIAL_EV_DSR);
    }));
}

// The receive events from real transfers: SERIAL_EV_RX80FULL from 6553 bytes
// held, not 6552; SERIAL_EV_RXFLAG only while the mask asks for it.
TEST(WaitOnMask, ReceiveEventsFromTheBulkInLoop) {
    ExpectOk(RunOnPort({}, [](PortRig& rig) {
        rig.SetWaitMask(SERIAL_EV_RX80FULL);
        Wait full;
        IssueWait(rig, full);
        rig.PeerSends(Pattern(6552));
        rig.Pass(700 * kMs);
        SIM_CHECK(rig.ext->rxRingCount == 6552 && !full.Done());
        rig.PeerSends(Pattern(1));
        SIM_CHECK(Finish(rig, full) == STATUS_SUCCESS);
        SIM_CHECK(full.word == (SERIAL_EV_RX80FULL | SERIAL_EV_RXCHAR));
        SIM_CHECK(rig.ext->rxRingCount == 6553);
    }));
    for (bool flagInMask : {false, true}) {
        ExpectOk(RunOnPort({}, [&](PortRig& rig) {
            SERIAL_CHARS chars{};
            chars.EventChar = 0x21;
            chars.XonChar = 0x11;
            chars.XoffChar = 0x13;
            SIM_CHECK(NT_SUCCESS(rig.Control(IOCTL_SERIAL_SET_CHARS, &chars, sizeof chars)));
            rig.SetWaitMask(flagInMask ? SERIAL_EV_RXFLAG : SERIAL_EV_CTS);
            Wait w;
            IssueWait(rig, w);
            rig.PeerSends({0x41, 0x21, 0x21, 0x42});
            rig.Pass(5 * kMs);
            SIM_CHECK(w.Done() == flagInMask);
            if (!flagInMask) rig.sim.io().CancelIo(rig.handle);  // w must not outlive its wait
            const NTSTATUS st = Finish(rig, w);
            if (flagInMask) SIM_CHECK(st == STATUS_SUCCESS && w.word == SERIAL_EV_RXFLAG);
            SIM_CHECK(!rig.ext->eventCharSeen);
        }));
    }
}

}  // namespace

namespace {

using namespace porttest;

NTSTATUS NTAPI RecordStatus(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    *static_cast<NTSTATUS*>(context) = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// A mask request as the dispatcher holds it: current stack location on the
// port's device, completion recorded into *status.
PIRP MaskRequest(PortRig& rig, ULONG code, ULONG* buffer, NTSTATUS* status) {
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoSetCompletionRoutine(irp, RecordStatus, status, TRUE, TRUE, TRUE);
    IoSetNextIrpStackLocation(irp);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    stack->DeviceObject = rig.node->top;
    stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    stack->Parameters.DeviceIoControl.IoControlCode = code;
    irp->AssociatedIrp.SystemBuffer = buffer;
    *status = STATUS_PENDING;
    SIM_CHECK(NT_SUCCESS(AcquireRequestLock(rig.node->top, irp)));  // as its dispatch would
    return irp;
}

// The loop has stopped and left a promoted request to its cancellation,
// with another request queued behind it. The cancel routine completes the
// promoted request and processes the one it promotes, so the queue never
// stalls with nobody to run it.
TEST(WaitOnMask, CancelRoutineProcessesWhatItPromotesWhenNoLoopRuns) {
    ExpectOk(RunOnPort({}, [](PortRig& rig) {
        PortExtension* x = rig.ext;
        ULONG waitWord = 0, newMask = SERIAL_EV_DSR;
        NTSTATUS promoted, queued;
        PIRP r1 = MaskRequest(rig, IOCTL_SERIAL_WAIT_ON_MASK, &waitWord, &promoted);
        PIRP r2 = MaskRequest(rig, IOCTL_SERIAL_SET_WAIT_MASK, &newMask, &queued);
        KIRQL irql;
        KeAcquireSpinLock(&x->controlLock, &irql);
        x->currentMaskRequest = r1;
        x->currentMaskPromoted = TRUE;
        x->maskLoopActive = FALSE;
        (void)IoSetCancelRoutine(r1, CancelCurrentMaskRequest);
        SIM_CHECK(QueuePendingRequest(&x->maskQueue, r2, CancelQueuedMaskRequest) ==
                  STATUS_PENDING);
        KeReleaseSpinLock(&x->controlLock, irql);

        IoCancelIrp(r1);
        SIM_CHECK(promoted == STATUS_CANCELLED);
        SIM_CHECK(queued == STATUS_SUCCESS);
        SIM_CHECK(x->waitMask == SERIAL_EV_DSR);
        SIM_CHECK(x->currentMaskRequest == nullptr && !x->maskLoopActive);
    }));
}

// A wait with no mask set is refused with STATUS_INVALID_PARAMETER even
// when its cancellation has already begun: it was never a valid wait.
TEST(WaitOnMask, AWaitWithoutAMaskIsRefusedEvenWhenCancelled) {
    ExpectOk(RunOnPort({}, [](PortRig& rig) {
        ULONG word = 0;
        NTSTATUS status = STATUS_PENDING;
        PIRP irp = MaskRequest(rig, IOCTL_SERIAL_WAIT_ON_MASK, &word, &status);
        irp->Cancel = TRUE;
        SIM_CHECK(QueueMaskRequest(rig.ext, irp) == STATUS_INVALID_PARAMETER);
        SIM_CHECK(status == STATUS_INVALID_PARAMETER);  // completed (and freed)
    }));
}

}  // namespace
