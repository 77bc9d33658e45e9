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

}  // namespace
