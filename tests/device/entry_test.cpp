// Driver entry, AddDevice, the fresh device record, pass-down of system
// control and of the Plug and Play requests not handled yet, and removal.
#include <gtest/gtest.h>

#include "events/events.h"
#include "receive/receive.h"
#include "serial/serial.h"
#include "tests/driver/usb_test_bus.h"
#include "transmit/transmit.h"

namespace {

using bridgetest::DriverPool;
using bridgetest::Machine;
using bridgetest::RunClean;
using bridgetest::UsbRequest;

TEST(DriverEntry, InstallsItsHandlersAndLeavesTheRestToTheDefault) {
    RunClean([] {
        DriverGlobals.lastPortNumber = 7;  // a reload starts from the load state
        DriverGlobals.force230400 = TRUE;
        DriverGlobals.reportLinesOnNextWait = TRUE;
        Machine m;
        m.Load();
        PDRIVER_OBJECT d = m.driver;
        SIM_CHECK(d->DriverExtension->AddDevice == AddDevice);
        SIM_CHECK(d->DriverUnload == Unload);
        SIM_CHECK(d->DriverStartIo == nullptr);
        const struct {
            int major;
            PDRIVER_DISPATCH handler;
        } table[] = {{IRP_MJ_CREATE, DispatchCreate},
                     {IRP_MJ_CLOSE, DispatchClose},
                     {IRP_MJ_READ, DispatchRead},
                     {IRP_MJ_WRITE, DispatchWrite},
                     {IRP_MJ_FLUSH_BUFFERS, DispatchFlushBuffers},
                     {IRP_MJ_DEVICE_CONTROL, DispatchDeviceControl},
                     {IRP_MJ_CLEANUP, DispatchCleanup},
                     {IRP_MJ_POWER, DispatchPower},
                     {IRP_MJ_SYSTEM_CONTROL, DispatchSystemControl},
                     {IRP_MJ_PNP, DispatchPnp}};
        for (const auto& entry : table) SIM_CHECK(d->MajorFunction[entry.major] == entry.handler);
        // Families the driver does not serve keep the I/O manager's default.
        PDRIVER_DISPATCH platformDefault = d->MajorFunction[IRP_MJ_QUERY_INFORMATION];
        for (int major : {IRP_MJ_SET_INFORMATION, IRP_MJ_SHUTDOWN, IRP_MJ_INTERNAL_DEVICE_CONTROL}) {
            SIM_CHECK(d->MajorFunction[major] == platformDefault);
        }

        SIM_CHECK(IsListEmpty(&DriverGlobals.portList));
        SIM_CHECK(DriverGlobals.lastPortNumber == 0);
        SIM_CHECK(DriverGlobals.probePending && DriverGlobals.captureEnabled);
        SIM_CHECK(!DriverGlobals.force230400 && !DriverGlobals.reportLinesOnNextWait);
        SIM_CHECK(DriverGlobals.captureCount == 0);
        SIM_CHECK(KeReadStateMutex(&DriverGlobals.portListMutex) == 1);  // signalled
    });
}

TEST(AddDevice, AFreshDeviceIsAttachedIdleAndNotStarted) {
    RunClean([] {
        Machine m;
        m.Load();
        auto& pnp = sim::Simulation::Current().pnp();
        sim::DeviceNode* node = pnp.Enumerate(m.bus, "USB\\VID_1A2B&PID_0001\\1");
        SIM_CHECK(pnp.AddDevice(node, m.driver) == STATUS_SUCCESS);
        PDEVICE_OBJECT fdo = node->top;
        PortExtension* ext = GetPortExtension(fdo);

        SIM_CHECK(fdo->DeviceType == FILE_DEVICE_SERIAL_PORT);
        SIM_CHECK((fdo->Flags & (DO_BUFFERED_IO | DO_POWER_PAGABLE)) ==
                  (DO_BUFFERED_IO | DO_POWER_PAGABLE));
        SIM_CHECK(!(fdo->Flags & DO_DEVICE_INITIALIZING));
        SIM_CHECK(ext->deviceObject == fdo);
        SIM_CHECK(ext->physicalDeviceObject == node->pdo);
        SIM_CHECK(ext->lowerDeviceObject == node->pdo);
        SIM_CHECK(ext->attachedToStack && ext->useCapabilityPowerMap);
        SIM_CHECK(ext->statusReport[0] == 0xFF);
        SIM_CHECK(IsListEmpty(&ext->readQueue) && IsListEmpty(&ext->writeQueue) &&
                  IsListEmpty(&ext->maskQueue));
        SIM_CHECK(!ext->currentRead && !ext->currentWrite && !ext->currentMaskRequest &&
                  !ext->pendingWaitRequest);
        SIM_CHECK(!ext->portOpen && !ext->started && !ext->removed && !ext->configured);
        SIM_CHECK(!IsDeviceReady(fdo));
        SIM_CHECK(KeReadStateEvent(&ext->bulkInStopped) == 0);
        SIM_CHECK(KeReadStateEvent(&ext->devicePowerEvent) == 0);
        SIM_CHECK(ext->readIntervalTimerDpc.DeferredRoutine == ReadIntervalTimeoutDpc);
        SIM_CHECK(ext->readTotalTimerDpc.DeferredRoutine == ReadTotalTimeoutDpc);
        SIM_CHECK(ext->writeTimerDpc.DeferredRoutine == WriteTimeoutDpc);
        SIM_CHECK(ext->writeTimerDpc.DeferredContext == ext);
        SIM_CHECK(KeReadStateMutex(&ext->openMutex) == 1);
        pnp.Unplug(node);
    });
}

TEST(AddDevice, AttachFailureLeavesNothingBehind) {
    RunClean([] {
        auto& sim = sim::Simulation::Current();
        Machine m;
        m.Load();
        sim::DeviceNode* node = sim.pnp().Enumerate(m.bus, "USB\\VID_1A2B&PID_0001\\1");
        sim.faults().FailCall("IoAttachDeviceToDeviceStack", STATUS_UNSUCCESSFUL);
        SIM_CHECK(sim.pnp().AddDevice(node, m.driver) == STATUS_NO_SUCH_DEVICE);
        SIM_CHECK(IsListEmpty(&DriverGlobals.portList));
        SIM_CHECK(sim.objects().FindDevice("\\Device\\Serial2") == nullptr);
        SIM_CHECK(!sim.objects().LinkTarget("\\DosDevices\\" + node->portName));
        SIM_CHECK(sim.registry().Values(bridgetest::SerialCommPath()).empty());
        SIM_CHECK(sim.objects().EnabledInterfaces(GUID_DEVINTERFACE_COMPORT).empty());
        SIM_CHECK(DriverPool() == 0);
        SIM_CHECK(m.driver->DeviceObject == nullptr);
    });
}

TEST(IsDeviceReady, TrueOnlyWhenStartedAndNoRemovalOrStopPending) {
    RunClean([] {
        Machine m;
        m.Load();
        sim::DeviceNode* node = m.PlugIn();
        PDEVICE_OBJECT fdo = node->top;
        PortExtension* ext = GetPortExtension(fdo);
        SIM_CHECK(IsDeviceReady(fdo));
        struct Flags {
            BOOLEAN removed, started, removePending, stopPending, ready;
        };
        const Flags table[] = {
            {FALSE, TRUE, FALSE, FALSE, TRUE},   {TRUE, TRUE, FALSE, FALSE, FALSE},
            {FALSE, FALSE, FALSE, FALSE, FALSE}, {FALSE, TRUE, TRUE, FALSE, FALSE},
            {FALSE, TRUE, FALSE, TRUE, FALSE},
        };
        for (const Flags& f : table) {
            ext->removed = f.removed;
            ext->started = f.started;
            ext->removePending = f.removePending;
            ext->stopPending = f.stopPending;
            SIM_CHECK(IsDeviceReady(fdo) == f.ready);
        }
        ext->removed = FALSE;
        ext->started = TRUE;
        ext->removePending = FALSE;
        ext->stopPending = FALSE;
        sim::Simulation::Current().pnp().Unplug(node);
    });
}

struct Caught {
    NTSTATUS status = STATUS_PENDING;
};

NTSTATUS NTAPI CatchCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    static_cast<Caught*>(context)->status = irp->IoStatus.Status;
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST(DispatchSystemControl, ReachesTheLowerDriverUnchangedAndReturnsItsStatus) {
    RunClean([] {
        Machine m;
        m.Load();
        sim::DeviceNode* node = m.PlugIn();
        m.bus.ClearLog();
        m.bus.systemControlStatus = static_cast<NTSTATUS>(0xC0000295);  // a WMI refusal
        PDEVICE_OBJECT fdo = node->top;

        PIRP irp = IoAllocateIrp(fdo->StackSize, FALSE);
        Caught caught;
        IoSetCompletionRoutine(irp, CatchCompletion, &caught, TRUE, TRUE, TRUE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_SYSTEM_CONTROL;
        next->MinorFunction = IRP_MN_QUERY_ALL_DATA;
        next->Parameters.WMI.ProviderId = reinterpret_cast<ULONG_PTR>(fdo);
        static UCHAR wmiBuffer[16];
        next->Parameters.WMI.Buffer = wmiBuffer;
        NTSTATUS returned = IofCallDriver(fdo, irp);
        IoFreeIrp(irp);

        SIM_CHECK(returned == static_cast<NTSTATUS>(0xC0000295));
        SIM_CHECK(caught.status == static_cast<NTSTATUS>(0xC0000295));
        SIM_CHECK(m.bus.requests.size() == 1);
        const UsbRequest& r = m.bus.requests[0];
        SIM_CHECK(r.kind == UsbRequest::Kind::SystemControl);
        SIM_CHECK(r.minor == IRP_MN_QUERY_ALL_DATA);
        SIM_CHECK(r.wmiProvider == reinterpret_cast<ULONG_PTR>(fdo));
        SIM_CHECK(r.wmiBuffer == wmiBuffer);
        sim::Simulation::Current().pnp().Unplug(node);
    });
}

TEST(DispatchPnp, OtherMinorFunctionsGoDownWithTheirStatusUntouched) {
    RunClean([] {
        Machine m;
        m.Load();
        sim::DeviceNode* node = m.PlugIn();
        m.bus.ClearLog();
        auto& pnp = sim::Simulation::Current().pnp();
        for (UCHAR minor : {UCHAR(IRP_MN_QUERY_PNP_DEVICE_STATE), UCHAR(IRP_MN_QUERY_ID),
                            UCHAR(IRP_MN_QUERY_DEVICE_RELATIONS)}) {
            SIM_CHECK(pnp.SendPnp(node, minor) == STATUS_NOT_SUPPORTED);
            SIM_CHECK(m.bus.requests.back().minor == minor);
            SIM_CHECK(m.bus.requests.back().statusSeen == STATUS_NOT_SUPPORTED);
        }
        pnp.Unplug(node);
    });
}

TEST(DispatchPnp, RemovalPassesDownBeforeTearDownAndRearmsIdentification) {
    RunClean([] {
        auto& sim = sim::Simulation::Current();
        Machine m;
        m.Load();
        sim::DeviceNode* node = m.PlugIn();
        DriverGlobals.force230400 = TRUE;
        DriverGlobals.probePending = FALSE;
        DriverGlobals.captureEnabled = FALSE;
        DriverGlobals.captureCount = 23;
        m.bus.ClearLog();
        SIM_CHECK(sim.pnp().Remove(node) == STATUS_SUCCESS);

        // query-remove, then removal, which arrived while the device still existed
        SIM_CHECK(m.bus.requests.size() == 2);
        SIM_CHECK(m.bus.requests[1].minor == IRP_MN_REMOVE_DEVICE);
        SIM_CHECK(m.bus.requests[1].fdoPresent);
        SIM_CHECK(!DriverGlobals.force230400 && DriverGlobals.probePending &&
                  DriverGlobals.captureEnabled && DriverGlobals.captureCount == 0);
        SIM_CHECK(sim.objects().FindDevice("\\Device\\Serial2") == nullptr);
        SIM_CHECK(IsListEmpty(&DriverGlobals.portList));
        SIM_CHECK(DriverPool() == 0);
    });
}

// The documented removal order: surprise removal takes the port's names
// away and passes the request down with the device object still there;
// the removal that follows passes down before the device object goes.
TEST(DispatchPnp, SurpriseRemovalTakesTheNamesAndRemovalDeletesTheDevice) {
    RunClean([] {
        auto& sim = sim::Simulation::Current();
        Machine m;
        m.Load();
        sim::DeviceNode* node = m.PlugIn();
        std::string link = "\\DosDevices\\" + node->portName;
        SIM_CHECK(sim.objects().LinkTarget(link));
        m.bus.ClearLog();
        sim.pnp().Unplug(node);

        SIM_CHECK(m.bus.requests.size() == 2);
        const UsbRequest& surprise = m.bus.requests[0];
        SIM_CHECK(surprise.minor == IRP_MN_SURPRISE_REMOVAL);
        SIM_CHECK(surprise.fdoPresent);
        SIM_CHECK(surprise.statusSeen == STATUS_SUCCESS);
        const UsbRequest& removal = m.bus.requests[1];
        SIM_CHECK(removal.minor == IRP_MN_REMOVE_DEVICE);
        SIM_CHECK(removal.fdoPresent);
        SIM_CHECK(removal.statusSeen == STATUS_SUCCESS);
        SIM_CHECK(!sim.objects().FindDevice(m.bus.fdoName));
        SIM_CHECK(!sim.objects().LinkTarget(link));
        SIM_CHECK(sim.registry().Values(bridgetest::SerialCommPath()).empty());
        SIM_CHECK(DriverPool() == 0);
    });
}

// Surprise removal of an open port closes it and clears its hold and error
// words, takes its names away and keeps the device for the removal.
TEST(DispatchPnp, SurpriseRemovalOfAnOpenPortClosesIt) {
    RunClean([] {
        auto& sim = sim::Simulation::Current();
        auto& pnp = sim.pnp();
        Machine m;
        m.Load();
        sim::DeviceNode* node = m.PlugIn();
        PortExtension* ext = Machine::Ext(node);
        ext->portOpen = TRUE;
        ext->txHoldFlags = 1;
        ext->rxHoldFlags = 2;
        ext->errorFlags = 4;
        SIM_CHECK(pnp.SendPnp(node, IRP_MN_SURPRISE_REMOVAL) == STATUS_SUCCESS);
        SIM_CHECK(!ext->portOpen && ext->removed);
        SIM_CHECK(ext->txHoldFlags == 0 && ext->rxHoldFlags == 0 && ext->errorFlags == 0);
        SIM_CHECK(KeReadStateMutex(&ext->openMutex) == 1);
        SIM_CHECK(!sim.objects().LinkTarget("\\DosDevices\\" + node->portName));
        SIM_CHECK(sim.objects().FindDevice(m.bus.fdoName));
        SIM_CHECK(pnp.SendPnp(node, IRP_MN_REMOVE_DEVICE) == STATUS_SUCCESS);
        SIM_CHECK(DriverPool() == 0);
    });
}

}  // namespace
