// A verifier stop raised while driver code (built without exceptions) is on
// the stack still ends the run cleanly with its bug check.
#include <gtest/gtest.h>

#include "driver/driver.h"
#include "sim/kernel/sim.h"

namespace {

TEST(VerifierStop, UnwindsThroughDriverFramesBuiltWithoutExceptions) {
    sim::Options o;
    o.checkPoolAtEnd = false;
    auto r = sim::RunScenario(o, [] {
        PDRIVER_OBJECT d = sim::CreateDriverObject("victim");
        PDEVICE_OBJECT device = nullptr;
        IoCreateDevice(d, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
        d->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) {
            RefuseRequest(irp, STATUS_SUCCESS);
            return RefuseRequest(irp, STATUS_SUCCESS);  // the driver helper bug-checks
        };
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb;
        PIRP irp = IoBuildDeviceIoControlRequest(0x220003, device, nullptr, 0, nullptr, 0, TRUE,
                                                 &event, &iosb);
        IofCallDriver(device, irp);
    });
    ASSERT_TRUE(r.bugCheck.has_value()) << r.Report();
    EXPECT_EQ(r.bugCheck->name, "MULTIPLE_IRP_COMPLETE_REQUESTS");
}


// A driver routine entered at an IRQL its IRQL line does not allow stops the
// run with a bug check naming the routine, the line and the IRQL it ran at:
// the assertions are live in every simulated run.
TEST(VerifierStop, ARoutineEnteredOutsideItsIrqlLineStopsTheRun) {
    struct Case {
        const char* routine;
        KIRQL irql;
        void (*call)();
        const char* bugCheck;
        const char* detail;
    };
    const Case cases[] = {
        {"StopTransfer", DISPATCH_LEVEL, [] { StopTransfer(nullptr, BRIDGE_PIPE_BULK_IN); },
         "IRQL_NOT_LESS_OR_EQUAL",
         "StopTransfer entered at IRQL 2 (DISPATCH_LEVEL), but its IRQL line says PASSIVE_LEVEL"},
        {"ConsumePathTimerRun", PASSIVE_LEVEL,
         [] { (void)ConsumePathTimerRun(nullptr, nullptr, nullptr); },
         "IRQL_NOT_GREATER_OR_EQUAL",
         "ConsumePathTimerRun entered at IRQL 0 (PASSIVE_LEVEL), but its IRQL line says "
         "DISPATCH_LEVEL"},
    };
    for (const Case& c : cases) {
        sim::Options o;
        auto r = sim::RunScenario(o, [&] {
            KIRQL old = PASSIVE_LEVEL;
            if (c.irql != PASSIVE_LEVEL) KeRaiseIrql(c.irql, &old);
            c.call();
        });
        ASSERT_TRUE(r.bugCheck.has_value()) << c.routine << ": " << r.Report();
        EXPECT_EQ(r.bugCheck->name, c.bugCheck) << c.routine;
        EXPECT_EQ(r.bugCheck->rule, "irql-assertion") << c.routine;
        EXPECT_EQ(r.bugCheck->detail, c.detail) << c.routine;
    }
}

}  // namespace
