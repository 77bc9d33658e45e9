// The Plug and Play and power injection harness: each of its oracles fails
// on a fault planted in the driver's request handling, and passes without
// it. The faults are planted by wrapping the driver's dispatch routines
// after it has loaded.
#include <gtest/gtest.h>

#include <string>

#include "driver/driver.h"
#include "tools/bridgesim/fundamentals.h"

namespace {

namespace df = bridgesim::fundamentals;

PDRIVER_DISPATCH gReal[IRP_MJ_MAXIMUM_FUNCTION + 1];
int gCreates = 0;

ULONG ControlCode(PIRP irp) {
    return IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode;
}

// The handshake the application asks for never reaches the driver.
NTSTATUS NTAPI HandshakeIgnored(PDEVICE_OBJECT device, PIRP irp) {
    if (ControlCode(irp) == IOCTL_SERIAL_SET_HANDFLOW)
        static_cast<SERIAL_HANDFLOW*>(irp->AssociatedIrp.SystemBuffer)->ControlHandShake &=
            ~static_cast<ULONG>(SERIAL_CTS_HANDSHAKE);
    return gReal[IRP_MJ_DEVICE_CONTROL](device, irp);
}

// SERIAL_EV_TXEMPTY is dropped from every wait mask.
NTSTATUS NTAPI TxEmptyDropped(PDEVICE_OBJECT device, PIRP irp) {
    if (ControlCode(irp) == IOCTL_SERIAL_SET_WAIT_MASK)
        *static_cast<PULONG>(irp->AssociatedIrp.SystemBuffer) &= ~static_cast<ULONG>(SERIAL_EV_TXEMPTY);
    return gReal[IRP_MJ_DEVICE_CONTROL](device, irp);
}

// The modem status request ends with a status that tells nothing.
NTSTATUS NTAPI MeaninglessStatus(PDEVICE_OBJECT device, PIRP irp) {
    if (ControlCode(irp) != IOCTL_SERIAL_GET_MODEMSTATUS) return gReal[IRP_MJ_DEVICE_CONTROL](device, irp);
    irp->IoStatus.Status = STATUS_INTERNAL_ERROR;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INTERNAL_ERROR;
}

// A byte of each write is changed on its way out: it comes back wrong and
// nothing says so.
NTSTATUS NTAPI ByteCorrupted(PDEVICE_OBJECT device, PIRP irp) {
    if (IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length != 0)
        static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer)[0] ^= 0x55;
    return gReal[IRP_MJ_WRITE](device, irp);
}

// The second write is kept and never ended (until the handle's cleanup).
PIRP gKept = nullptr;
int gWrites = 0;
NTSTATUS NTAPI WriteKept(PDEVICE_OBJECT device, PIRP irp) {
    if (++gWrites != 2) return gReal[IRP_MJ_WRITE](device, irp);
    gKept = irp;
    IoMarkIrpPending(irp);
    return STATUS_PENDING;
}
NTSTATUS NTAPI CleanupEndsTheKept(PDEVICE_OBJECT device, PIRP irp) {
    if (PIRP kept = gKept) {
        gKept = nullptr;
        kept->IoStatus.Status = STATUS_CANCELLED;
        kept->IoStatus.Information = 0;
        IofCompleteRequest(kept, IO_NO_INCREMENT);
    }
    return gReal[IRP_MJ_CLEANUP](device, irp);
}

// Each open takes a reference to the device object that is never dropped.
NTSTATUS NTAPI OpenLeaksAReference(PDEVICE_OBJECT device, PIRP irp) {
    ObReferenceObject(device);
    return gReal[IRP_MJ_CREATE](device, irp);
}

// Every open after the first is refused.
NTSTATUS NTAPI SecondOpenRefused(PDEVICE_OBJECT device, PIRP irp) {
    if (++gCreates == 1) return gReal[IRP_MJ_CREATE](device, irp);
    irp->IoStatus.Status = STATUS_ACCESS_DENIED;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_ACCESS_DENIED;
}

struct Planted {
    const char* oracle;
    const char* expected;  // a phrase of the failure
    void (*plant)(PDRIVER_OBJECT);
};

const Planted kPlanted[] = {
    {"flow control", "while the driver knew CTS was low",
     [](PDRIVER_OBJECT d) { d->MajorFunction[IRP_MJ_DEVICE_CONTROL] = HandshakeIgnored; }},
    {"EV_TXEMPTY", "after the writes ended",
     [](PDRIVER_OBJECT d) { d->MajorFunction[IRP_MJ_DEVICE_CONTROL] = TxEmptyDropped; }},
    {"statuses", "tells an application nothing",
     [](PDRIVER_OBJECT d) { d->MajorFunction[IRP_MJ_DEVICE_CONTROL] = MeaninglessStatus; }},
    {"bytes", "no loss was reported",
     [](PDRIVER_OBJECT d) { d->MajorFunction[IRP_MJ_WRITE] = ByteCorrupted; }},
    {"liveness", "did not end within",
     [](PDRIVER_OBJECT d) {
         d->MajorFunction[IRP_MJ_WRITE] = WriteKept;
         d->MajorFunction[IRP_MJ_CLEANUP] = CleanupEndsTheKept;
     }},
    {"unload", "not unloaded",
     [](PDRIVER_OBJECT d) { d->MajorFunction[IRP_MJ_CREATE] = OpenLeaksAReference; }},
    {"the port after the run", "does not open after the run",
     [](PDRIVER_OBJECT d) { d->MajorFunction[IRP_MJ_CREATE] = SecondOpenRefused; }},
};

// Each oracle fails on its planted fault, in a run with an event (a second
// open halfway through the traffic, refused and changing nothing else) so
// that only the oracle can fail it, and the same run passes without the
// fault.
TEST(PnpEvents, EachOracleFailsOnItsPlantedFault) {
    df::Case counting;
    counting.scenario = "traffic";
    const df::Outcome count = df::Run(counting);
    ASSERT_TRUE(count.ok) << count.failure;
    for (const Planted& p : kPlanted) {
        SCOPED_TRACE(p.oracle);
        for (bool planted : {true, false}) {
            df::Case c;
            c.scenario = "traffic";
            c.event = df::Event::SecondOpen;
            c.point = count.applicationPoints / 2;
            c.afterLoad = [&](void* object) {
                auto* driver = static_cast<PDRIVER_OBJECT>(object);
                for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) gReal[i] = driver->MajorFunction[i];
                gCreates = gWrites = 0;
                gKept = nullptr;
                if (planted) p.plant(driver);
            };
            const df::Outcome o = df::Run(c);
            EXPECT_TRUE(o.interrupted);
            if (planted) {
                EXPECT_FALSE(o.ok) << "passed";
                EXPECT_NE(o.failure.find(p.expected), std::string::npos) << o.failure;
            } else {
                EXPECT_TRUE(o.ok) << o.failure;
            }
        }
    }
}

}  // namespace
