// The Plug and Play requests between start and removal: the stop and remove
// queries with their cancels, stop and a new start, the capabilities, and a
// device name another driver already holds.
#include <gtest/gtest.h>

#include "tests/driver/usb_test_bus.h"

namespace {

using bridgetest::Machine;
using bridgetest::RunClean;
using bridgetest::UsbRequest;

// Opens the port; the data pipes' transfers wait on the test bus.
sim::Handle OpenPort(Machine& m, sim::DeviceNode* node) {
    m.bus.decide = [](const UsbRequest& r) {
        bridgetest::Answer a;
        a.hang = r.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
        return a;
    };
    return sim::Simulation::Current().io().Open("\\\\.\\" + node->portName);
}

bool BusSaw(const Machine& m, UCHAR minor) {
    for (const UsbRequest& r : m.bus.requests)
        if (r.kind == UsbRequest::Kind::Pnp && r.minor == minor) return true;
    return false;
}

// Query-stop with the port closed is taken; the port opened meanwhile refuses
// work until the stop is cancelled; stop goes down the stack (it may not fail),
// deconfigures the device and leaves it stopped; a new start configures again.
TEST(DispatchPnp, QueryStopCancelStopAndStartAgain) {
    RunClean([] {
        auto& sim = sim::Simulation::Current();
        Machine m;
        m.Load();
        sim::DeviceNode* node = m.PlugIn();
        PortExtension* x = Machine::Ext(node);
        SIM_CHECK(sim.pnp().SendPnp(node, IRP_MN_QUERY_STOP_DEVICE) == STATUS_SUCCESS);
        SIM_CHECK(x->stopPending && BusSaw(m, IRP_MN_QUERY_STOP_DEVICE));
        sim::Handle h = OpenPort(m, node);
        SIM_CHECK(h != sim::kInvalidHandle);
        uint8_t byte = 0;
        SIM_CHECK(sim.io().Write(h, &byte, 1) == STATUS_DELETE_PENDING);
        SIM_CHECK(sim.pnp().SendPnp(node, IRP_MN_CANCEL_STOP_DEVICE) == STATUS_SUCCESS);
        SIM_CHECK(!x->stopPending);
        SIM_CHECK(NT_SUCCESS(sim.io().Close(h)));

        SIM_CHECK(sim.pnp().SendPnp(node, IRP_MN_QUERY_STOP_DEVICE) == STATUS_SUCCESS);
        m.bus.ClearLog();
        SIM_CHECK(sim.pnp().SendPnp(node, IRP_MN_STOP_DEVICE) == STATUS_SUCCESS);
        SIM_CHECK(BusSaw(m, IRP_MN_STOP_DEVICE));  // a stop goes down the stack
        SIM_CHECK(m.bus.Urbs(URB_FUNCTION_SELECT_CONFIGURATION).size() == 1 &&
                  m.bus.Urbs(URB_FUNCTION_SELECT_CONFIGURATION)[0]->deconfigure);
        SIM_CHECK(!x->started && !x->stopPending);
        m.bus.ClearLog();
        SIM_CHECK(sim.pnp().SendPnp(node, IRP_MN_START_DEVICE) == STATUS_SUCCESS);
        SIM_CHECK(x->started && m.bus.Urbs(URB_FUNCTION_SELECT_CONFIGURATION).size() == 1);
        sim.pnp().Unplug(node);
    });
}

// With the port open its transfers are in flight: the query-stop is refused,
// and the refusal reaches the PnP manager rather than a lower driver that
// could answer it with success.
TEST(DispatchPnp, QueryStopWhileOpenIsRefused) {
    RunClean([] {
        auto& sim = sim::Simulation::Current();
        Machine m;
        m.Load();
        sim::DeviceNode* node = m.PlugIn();
        sim::Handle h = OpenPort(m, node);
        m.bus.ClearLog();
        SIM_CHECK(sim.pnp().SendPnp(node, IRP_MN_QUERY_STOP_DEVICE) == STATUS_UNSUCCESSFUL);
        SIM_CHECK(!Machine::Ext(node)->stopPending && !BusSaw(m, IRP_MN_QUERY_STOP_DEVICE));
        SIM_CHECK(NT_SUCCESS(sim.io().Close(h)));
        sim.pnp().Unplug(node);
    });
}

// Query-remove stops all I/O and refuses new work until cancel-remove.
TEST(DispatchPnp, QueryRemoveThenCancelRemove) {
    RunClean([] {
        auto& sim = sim::Simulation::Current();
        Machine m;
        m.Load();
        sim::DeviceNode* node = m.PlugIn();
        PortExtension* x = Machine::Ext(node);
        sim::Handle h = OpenPort(m, node);
        uint8_t buffer[4];
        sim::Overlapped read;
        SIM_CHECK(sim.io().ReadAsync(h, buffer, 4, &read) == STATUS_PENDING);
        SIM_CHECK(sim.pnp().SendPnp(node, IRP_MN_QUERY_REMOVE_DEVICE) == STATUS_SUCCESS);
        SIM_CHECK(x->removePending && read.done && read.iosb.Status == STATUS_CANCELLED);
        SIM_CHECK(!x->bulkInBusy && !x->statusBusy);
        SIM_CHECK(sim.io().Read(h, buffer, 4) == STATUS_DELETE_PENDING);
        SIM_CHECK(sim.pnp().SendPnp(node, IRP_MN_CANCEL_REMOVE_DEVICE) == STATUS_SUCCESS);
        SIM_CHECK(!x->removePending);
        SIM_CHECK(sim.io().ReadAsync(h, buffer, 4, &read) == STATUS_PENDING);  // works again
        SIM_CHECK(x->bulkInBusy);
        SIM_CHECK(NT_SUCCESS(sim.io().Close(h)));
        sim.pnp().Unplug(node);
    });
}

// The capabilities come from the bus with the driver's flags added; the wake
// state is the last of S1 to S3 whose device state is above D3.
TEST(DispatchPnp, CapabilitiesAndTheWakeState) {
    struct Case {
        DEVICE_POWER_STATE s1, s2, s3;
        DEVICE_POWER_STATE wake;
    };
    const Case cases[] = {{PowerDeviceD1, PowerDeviceD2, PowerDeviceD3, PowerDeviceD2},
                          {PowerDeviceD3, PowerDeviceD3, PowerDeviceD3, PowerDeviceUnspecified},
                          {PowerDeviceD2, PowerDeviceD3, PowerDeviceD1, PowerDeviceD1}};
    for (const Case& c : cases) {
        RunClean([&] {
            auto& sim = sim::Simulation::Current();
            Machine m;
            m.Load();
            m.bus.sleepStates[0] = c.s1;
            m.bus.sleepStates[1] = c.s2;
            m.bus.sleepStates[2] = c.s3;
            sim::DeviceNode* node = m.PlugIn();
            DEVICE_CAPABILITIES caps{};
            SIM_CHECK(sim.pnp().SendPnp(node, IRP_MN_QUERY_CAPABILITIES, &caps) == STATUS_SUCCESS);
            SIM_CHECK(caps.EjectSupported && caps.Removable && caps.SurpriseRemovalOK &&
                      caps.WarmEjectSupported);
            SIM_CHECK(caps.DeviceState[PowerSystemSleeping1] == c.s1);
            SIM_CHECK(Machine::Ext(node)->deviceWakeState == c.wake);
            sim.pnp().Unplug(node);
        });
    }
}

// Another driver already holds \Device\Serial2: the cable takes the next
// name and works.
TEST(AddDevice, ANameAlreadyTakenIsSkipped) {
    RunClean([] {
        auto& sim = sim::Simulation::Current();
        PDRIVER_OBJECT other = sim::CreateDriverObject("other");
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, WIDE("\\Device\\Serial2"));
        PDEVICE_OBJECT foreign = nullptr;
        SIM_CHECK(NT_SUCCESS(
            IoCreateDevice(other, 0, &name, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &foreign)));
        Machine m;
        m.Load();
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        sim::DeviceNode* node = m.PlugIn("USB\\VID_1A2B&PID_0001\\1", &status);
        SIM_CHECK(NT_SUCCESS(status));
        SIM_CHECK(sim.objects().NameOf(node->top) == "\\Device\\Serial3");
        sim::Handle h = OpenPort(m, node);
        SIM_CHECK(h != sim::kInvalidHandle && NT_SUCCESS(sim.io().Close(h)));
        sim.pnp().Unplug(node);
        IoDeleteDevice(foreign);
    });
}

}  // namespace
