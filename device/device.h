// device/: the lifecycle: entry, AddDevice and naming, start, Plug and Play, power, open and close.
// May call: driver/, uart/, events/, receive/, transmit/, status/, serial/ (every folder below).
//
// device.h - the routines of the device's lifecycle: driver entry and the
// handler table, the port's device object and names, USB configuration and
// start-up, Plug and Play with the stop of all I/O, power, and open,
// cleanup and close.
#pragma once

#include "driver/driver.h"

// ---------------------------------------------------------------- entry

extern "C" DRIVER_INITIALIZE DriverEntry;
DRIVER_ADD_DEVICE AddDevice;
DRIVER_UNLOAD Unload;
DRIVER_DISPATCH DispatchSystemControl;

// ---------------------------------------------------------------- port naming and registry

NTSTATUS CreatePortDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT physicalDeviceObject,
                          PDEVICE_OBJECT* deviceObject);
VOID RemovePortNames(PortExtension* extension);
VOID DeletePortDevice(PDEVICE_OBJECT deviceObject);
NTSTATUS OpenRegistryKeyByPath(PCWSTR path, PHANDLE keyHandle);
NTSTATUS QueryRegistryValue(HANDLE keyHandle, PCWSTR valueName, PVOID buffer, ULONG bufferSize);
NTSTATUS SetRegistryValue(HANDLE keyHandle, PCWSTR valueName, ULONG valueNameMaxBytes, ULONG type,
                          PVOID data, ULONG dataSize);

// Device names tried in turn when \Device\SerialN is already taken.
inline constexpr ULONG NAME_COLLISION_ATTEMPTS = 32;

// ---------------------------------------------------------------- USB configuration and start-up

NTSTATUS StartDevice(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS ConfigureDevice(PDEVICE_OBJECT deviceObject);
NTSTATUS ResetUsbPort(PDEVICE_OBJECT deviceObject);
NTSTATUS ClearControlEndpointStall(PDEVICE_OBJECT deviceObject);
NTSTATUS SelectConfiguration(PDEVICE_OBJECT deviceObject,
                             PUSB_CONFIGURATION_DESCRIPTOR configurationDescriptor);
NTSTATUS InitializePipeState(PDEVICE_OBJECT deviceObject);
NTSTATUS SetStartDefaults(PortExtension* extension);
VOID InitializeCommProperties(PortExtension* extension);

// Size of the buffer into which the configuration descriptor is read.
inline constexpr ULONG CONFIGURATION_DESCRIPTOR_BUFFER_SIZE = 265;

// ---------------------------------------------------------------- Plug and Play

DRIVER_DISPATCH DispatchPnp;
NTSTATUS RemoveDevice(PDEVICE_OBJECT deviceObject);
NTSTATUS AbortPipes(PDEVICE_OBJECT deviceObject);
NTSTATUS StopDevice(PDEVICE_OBJECT deviceObject);

// ---------------------------------------------------------------- power

DRIVER_DISPATCH DispatchPower;
NTSTATUS PowerUpForUse(PDEVICE_OBJECT deviceObject);

// ---------------------------------------------------------------- open, cleanup and close

DRIVER_DISPATCH DispatchCreate;
DRIVER_DISPATCH DispatchCleanup;
DRIVER_DISPATCH DispatchClose;
NTSTATUS StopAllIo(PDEVICE_OBJECT deviceObject);
VOID MarkPortClosed(PortExtension* extension);
VOID ResumeOpenPort(PDEVICE_OBJECT deviceObject, BOOLEAN reprogram);
