// power.cpp - IRP_MJ_POWER. Every power request is passed down the stack
// unchanged, with the power manager's protocol: the next power request may
// start, and the request goes down through PoCallDriver.
#include "driver/driver.h"

// The IRP_MJ_POWER handler. IRQL: PASSIVE_LEVEL (the device is power
// pageable). Locks: none.
NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT deviceObject, PIRP irp) {
    PortExtension* extension = GetPortExtension(deviceObject);
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(extension->lowerDeviceObject, irp);
}
