// The power manager's queue: a device's next query- or set-power request of
// a type waits until the device has released the previous one with
// PoStartNextPowerIrp; the other type and wait-wake are not held.
#include <gtest/gtest.h>

#include "tests/kernel/test_driver.h"

namespace {

// A function driver that keeps the device power requests it gets, without
// releasing them, until the test does; anything else goes straight down.
struct Keeper {
    std::vector<PIRP> kept;
    int dispatched = 0;
};
Keeper gKeeper;

NTSTATUS KeeperAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT fdo;
    NTSTATUS status = IoCreateDevice(driver, sizeof(PDEVICE_OBJECT), nullptr, FILE_DEVICE_UNKNOWN,
                                     0, FALSE, &fdo);
    if (!NT_SUCCESS(status)) return status;
    *static_cast<PDEVICE_OBJECT*>(fdo->DeviceExtension) = IoAttachDeviceToDeviceStack(fdo, pdo);
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

PDEVICE_OBJECT Lower(PDEVICE_OBJECT fdo) { return *static_cast<PDEVICE_OBJECT*>(fdo->DeviceExtension); }

NTSTATUS KeeperPower(PDEVICE_OBJECT fdo, PIRP irp) {
    gKeeper.dispatched++;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == DevicePowerState &&
        gKeeper.kept.empty()) {
        IoMarkIrpPending(irp);
        gKeeper.kept.push_back(irp);
        return STATUS_PENDING;
    }
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(Lower(fdo), irp);
}

NTSTATUS KeeperPnp(PDEVICE_OBJECT fdo, PIRP irp) {
    PDEVICE_OBJECT lower = Lower(fdo);
    bool remove = IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_REMOVE_DEVICE;
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IofCallDriver(lower, irp);
    if (remove) {
        IoDetachDevice(lower);
        IoDeleteDevice(fdo);
    }
    return status;
}

NTSTATUS KeeperEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->DriverExtension->AddDevice = KeeperAddDevice;
    driver->MajorFunction[IRP_MJ_PNP] = KeeperPnp;
    driver->MajorFunction[IRP_MJ_POWER] = KeeperPower;
    return STATUS_SUCCESS;
}

TEST(PowerQueue, NextRequestOfATypeWaitsForPoStartNextPowerIrp) {
    gKeeper = {};
    auto r = sim::RunScenario({}, [] {
        auto& s = sim::Simulation::Current();
        auto bus = sim::MakeMinimalBus();
        PDRIVER_OBJECT driver = s.pnp().LoadDriver("keeper", KeeperEntry);
        sim::DeviceNode* node = s.pnp().PlugIn(*bus, "USB\\K\\1", driver);
        NTSTATUS first = STATUS_PENDING, second = STATUS_PENDING, system = STATUS_PENDING;
        POWER_STATE d3, s0;
        d3.DeviceState = PowerDeviceD3;
        s0.SystemState = PowerSystemWorking;
        sim::ThreadId a = s.StartThread("first", [&] {
            first = s.pnp().SendPower(node, IRP_MN_SET_POWER, DevicePowerState, d3);
        });
        testdrv::Sleep100ns(10);
        sim::ThreadId b = s.StartThread("second", [&] {
            second = s.pnp().SendPower(node, IRP_MN_QUERY_POWER, DevicePowerState, d3);
        });
        // A system request is of the other type: it goes through.
        system = s.pnp().SendPower(node, IRP_MN_SET_POWER, SystemPowerState, s0);
        testdrv::Sleep100ns(10);
        SIM_CHECK(system == STATUS_SUCCESS);
        SIM_CHECK_EQ(gKeeper.kept.size(), 1);
        SIM_CHECK_EQ(gKeeper.dispatched, 2);
        SIM_CHECK(second == STATUS_PENDING);  // held by the power manager

        // Released: the held query reaches the driver, then the kept request
        // goes on down.
        PIRP kept = gKeeper.kept[0];
        PoStartNextPowerIrp(kept);
        testdrv::Sleep100ns(10);
        SIM_CHECK(gKeeper.dispatched == 3);
        IoSkipCurrentIrpStackLocation(kept);
        PoCallDriver(Lower(node->top), kept);
        s.Join(a);
        s.Join(b);
        SIM_CHECK_EQ(first, STATUS_SUCCESS);
        SIM_CHECK_EQ(second, STATUS_SUCCESS);
        s.pnp().Unplug(node);
    });
    ASSERT_TRUE(r.ok) << r.Report();
}

}  // namespace
