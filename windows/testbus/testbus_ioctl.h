// testbus_ioctl.h - what a Win32 program sends to the test bus's own device
// (\\.\BridgeTestBus), shared by the bus driver and the test programs.
#pragma once

// The cable is pulled out: pending transfers end with the device gone, the
// child is no longer reported, and Plug and Play removes its stack.
#define IOCTL_TESTBUS_UNPLUG CTL_CODE(FILE_DEVICE_BUS_EXTENDER, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS)

#define TESTBUS_DOS_NAME L"\\DosDevices\\BridgeTestBus"
#define TESTBUS_DEVICE_NAME L"\\Device\\BridgeTestBus"
#define TESTBUS_WIN32_PATH "\\\\.\\BridgeTestBus"
