// Small test drivers for the platform tests: a named device whose handler
// table the test fills, reachable through user-mode I/O.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "sim/kernel/sim.h"

namespace testdrv {

inline constexpr ULONG kTag = 'tseT';

struct Device {
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT device = nullptr;
};

// Creates a driver object and one named device (\Device\Test, linked as
// \DosDevices\TEST) with a zeroed extension of extensionSize bytes.
inline Device MakeDevice(ULONG extensionSize = 256, const char* name = "Test") {
    Device d;
    d.driver = sim::CreateDriverObject(std::string("test") + name);
    std::u16string ntName = sim::Widen(std::string("\\Device\\") + name);
    std::u16string link = sim::Widen(std::string("\\DosDevices\\") + name);
    UNICODE_STRING nt, dos;
    RtlInitUnicodeString(&nt, ntName.c_str());
    RtlInitUnicodeString(&dos, link.c_str());
    NTSTATUS status = IoCreateDevice(d.driver, extensionSize, &nt, FILE_DEVICE_UNKNOWN, 0, FALSE,
                                     &d.device);
    SIM_CHECK(NT_SUCCESS(status));
    d.device->Flags |= DO_BUFFERED_IO;
    d.device->Flags &= ~DO_DEVICE_INITIALIZING;
    SIM_CHECK(NT_SUCCESS(IoCreateSymbolicLink(&dos, &nt)));
    return d;
}

inline void DeleteDevice(Device& d, const char* name = "Test") {
    std::u16string link = sim::Widen(std::string("\\DosDevices\\") + name);
    UNICODE_STRING dos;
    RtlInitUnicodeString(&dos, link.c_str());
    IoDeleteSymbolicLink(&dos);
    IoDeleteDevice(d.device);
}

inline NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Create, cleanup and close succeed at once.
inline void AcceptOpenAndClose(PDRIVER_OBJECT driver) {
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}) {
        driver->MajorFunction[major] = [](PDEVICE_OBJECT, PIRP irp) {
            return Complete(irp, STATUS_SUCCESS);
        };
    }
}

inline LARGE_INTEGER Relative(int64_t hundredNs) {
    LARGE_INTEGER t;
    t.QuadPart = -hundredNs;
    return t;
}

inline void Sleep100ns(int64_t hundredNs) {
    LARGE_INTEGER t = Relative(hundredNs);
    KeDelayExecutionThread(KernelMode, FALSE, &t);
}

}  // namespace testdrv
