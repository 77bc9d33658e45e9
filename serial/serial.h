// serial/: the serial control dispatcher: IOCTL_SERIAL_* and the private bridge requests.
// May call: driver/, uart/, events/, receive/, transmit/, status/.
//
// serial.h - the serial control interface: the device-control dispatcher and
// the snapshots it builds of the communication status and properties.
#pragma once

#include "driver/driver.h"

DRIVER_DISPATCH DispatchDeviceControl;
NTSTATUS BuildCommStatus(PDEVICE_OBJECT deviceObject, PSERIAL_STATUS snapshot);
VOID CopyCommProperties(PortExtension* extension, PSERIAL_COMMPROP destination);
