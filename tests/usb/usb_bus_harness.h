// Test harness for the USB bus: URB builders, requests sent on driver-owned
// IRPs whose completion is recorded, a synchronous submit as a function
// driver does it, and a bench that plugs one bridge cable into a bus.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "sim/chip/descriptors.h"
#include "sim/kernel/sim.h"
#include "sim/kernel/usbdlib.h"
#include "sim/usb/usb_bus.h"

namespace usbtest {

inline constexpr char kInstance[] = "USB\\VID_1A2B&PID_0001\\5&1";
inline constexpr uint64_t kMs = 10'000;  // 100 ns ticks

inline uint64_t Now() {
    return sim::Simulation::Current().Now();
}

inline void Sleep(uint64_t ticks) {
    LARGE_INTEGER t;
    t.QuadPart = -static_cast<LONGLONG>(ticks);
    KeDelayExecutionThread(KernelMode, FALSE, &t);
}

// ---------------------------------------------------------------- URB builders

inline void BuildDescriptorRead(URB& u, UCHAR type, UCHAR index, void* buffer, ULONG length) {
    std::memset(&u, 0, sizeof u);
    UsbBuildGetDescriptorRequest(&u, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type, index, 0,
                                 buffer, nullptr, length, nullptr);
}

// A register write as the driver sends it: reserved bits 0x40, direction out.
inline void BuildRegisterWrite(URB& u, USHORT reg, UCHAR value) {
    std::memset(&u, 0, sizeof u);
    UsbBuildVendorRequest(&u, URB_FUNCTION_VENDOR_DEVICE,
                          sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), 0, 0x40,
                          chip::kRegisterRequest, value, reg, nullptr, nullptr, 0, nullptr);
}

// A register read whose bmRequestType comes from the direction flag alone.
inline void BuildRegisterRead(URB& u, USHORT reg, UCHAR* out) {
    std::memset(&u, 0, sizeof u);
    UsbBuildVendorRequest(&u, URB_FUNCTION_VENDOR_DEVICE,
                          sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, 0,
                          chip::kRegisterRequest, 0, reg, out, nullptr, 1, nullptr);
}

inline constexpr ULONG kInShortOk = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;

inline void BuildTransfer(URB& u, USBD_PIPE_HANDLE pipe, void* buffer, ULONG length,
                          ULONG flags = kInShortOk) {
    std::memset(&u, 0, sizeof u);
    UsbBuildInterruptOrBulkTransferRequest(&u, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe,
                                           buffer, nullptr, length, flags, nullptr);
}

inline void BuildPipeRequest(URB& u, USHORT function, USBD_PIPE_HANDLE pipe) {
    std::memset(&u, 0, sizeof u);
    u.UrbHeader.Function = function;
    u.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
    u.UrbPipeRequest.PipeHandle = pipe;
}

inline void BuildFeature(URB& u, USHORT function, USHORT selector, USHORT index) {
    std::memset(&u, 0, sizeof u);
    UsbBuildFeatureRequest(&u, function, selector, index, nullptr);
}

// ---------------------------------------------------------------- requests

// One request on a driver-allocated IRP; its completion routine records the
// outcome and hands the IRP back (STATUS_MORE_PROCESSING_REQUIRED).
struct Request {
    PIRP irp = nullptr;
    URB urb{};
    uint8_t data[512]{};
    KEVENT done;
    NTSTATUS returned = 0;             // what IofCallDriver returned
    NTSTATUS status = STATUS_PENDING;  // final status, once completed
    KIRQL irql = 0xFF;                 // IRQL of the completion
    uint64_t time = 0;                 // virtual time of the completion
    int order = 0;                     // completion order within the run

    bool Completed() const { return status != STATUS_PENDING; }
    ULONG Length() const { return urb.UrbBulkOrInterruptTransfer.TransferBufferLength; }
    std::vector<uint8_t> Bytes() const { return {data, data + Length()}; }
};

inline int gCompletionOrder = 0;

inline NTSTATUS RecordCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* r = static_cast<Request*>(context);
    r->status = irp->IoStatus.Status;
    r->irql = KeGetCurrentIrql();
    r->time = Now();
    r->order = ++gCompletionOrder;
    KeSetEvent(&r->done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends an internal device control with `argument` in Argument1.
inline void SendWith(PDEVICE_OBJECT target, Request& r, ULONG code, PVOID argument) {
    KeInitializeEvent(&r.done, NotificationEvent, FALSE);
    r.status = STATUS_PENDING;
    r.irp = IoAllocateIrp(target->StackSize, FALSE);
    SIM_CHECK(r.irp != nullptr);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(r.irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = code;
    next->Parameters.Others.Argument1 = argument;
    IoSetCompletionRoutine(r.irp, RecordCompletion, &r, TRUE, TRUE, TRUE);
    r.returned = IofCallDriver(target, r.irp);
}

// Sends r.urb (or, for other codes, Argument1 = r.data) to `target`.
inline void Send(PDEVICE_OBJECT target, Request& r, ULONG code = IOCTL_INTERNAL_USB_SUBMIT_URB) {
    SendWith(target, r, code,
             code == IOCTL_INTERNAL_USB_SUBMIT_URB ? static_cast<PVOID>(&r.urb)
                                                   : static_cast<PVOID>(r.data));
}

// Waits for the completion (timeout in 100 ns ticks, -1: none) and frees
// the IRP. STATUS_TIMEOUT when it has not completed in time.
inline NTSTATUS Wait(Request& r, int64_t timeout = -1) {
    LARGE_INTEGER t;
    t.QuadPart = -timeout;
    if (KeWaitForSingleObject(&r.done, Executive, KernelMode, FALSE, timeout < 0 ? nullptr : &t) ==
        STATUS_TIMEOUT)
        return STATUS_TIMEOUT;
    IoFreeIrp(r.irp);
    r.irp = nullptr;
    return r.status;
}

inline NTSTATUS SendAndWait(PDEVICE_OBJECT target, Request& r) {
    Send(target, r);
    return Wait(r);
}

// Submits a URB and waits, as a function driver does: an IRP built with
// IoBuildDeviceIoControlRequest, a local event and status block.
inline NTSTATUS SubmitSync(PDEVICE_OBJECT target, PURB urb) {
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, target, nullptr, 0,
                                             nullptr, 0, TRUE, &event, &iosb);
    SIM_CHECK(irp != nullptr);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
    NTSTATUS status = IofCallDriver(target, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    return status;
}

// ---------------------------------------------------------------- bench

// One cable plugged into a bus, driven at its PDO. Create inside a run;
// call Remove() at the end of the body.
struct Cable {
    sim::usb::UsbBus& bus;
    sim::DeviceNode* node = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    USBD_PIPE_HANDLE pipes[3] = {};      // interrupt-in, bulk-out, bulk-in
    std::vector<uint8_t> interfaceInfo;  // as the bus filled it
    USBD_CONFIGURATION_HANDLE configurationHandle = nullptr;

    Cable(sim::usb::UsbBus& onBus, const std::string& instance) : bus(onBus) {
        node = sim::Simulation::Current().pnp().Enumerate(bus, instance);
        pdo = node->pdo;
    }
    Cable(const Cable&) = delete;

    // Reads the configuration descriptor and selects it with `maxTransfer`
    // on every pipe. Returns the select-configuration's status.
    NTSTATUS Configure(ULONG maxTransfer = 64) {
        uint8_t descriptor[265] = {};
        URB read;
        BuildDescriptorRead(read, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, descriptor,
                            sizeof descriptor);
        SIM_CHECK(SubmitSync(pdo, &read) == STATUS_SUCCESS);
        auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(descriptor);
        USBD_INTERFACE_LIST_ENTRY list[2] = {};
        list[0].InterfaceDescriptor =
            USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, -1, -1, -1);
        PURB urb = USBD_CreateConfigurationRequestEx(config, list);
        for (ULONG i = 0; i < list[0].Interface->NumberOfPipes; ++i)
            list[0].Interface->Pipes[i].MaximumTransferSize = maxTransfer;
        NTSTATUS status = SubmitSync(pdo, urb);
        if (NT_SUCCESS(status)) {
            auto* info = reinterpret_cast<uint8_t*>(list[0].Interface);
            interfaceInfo.assign(info, info + list[0].Interface->Length);
            for (int i = 0; i < 3; ++i) pipes[i] = list[0].Interface->Pipes[i].PipeHandle;
            configurationHandle = urb->UrbSelectConfiguration.ConfigurationHandle;
        }
        ExFreePool(urb);
        return status;
    }

    const USBD_INTERFACE_INFORMATION& Interface() const {
        return *reinterpret_cast<const USBD_INTERFACE_INFORMATION*>(interfaceInfo.data());
    }

    NTSTATUS WriteRegister(USHORT reg, UCHAR value) {
        URB u;
        BuildRegisterWrite(u, reg, value);
        return SubmitSync(pdo, &u);
    }

    NTSTATUS ReadRegister(USHORT reg, UCHAR* value) {
        URB u;
        BuildRegisterRead(u, reg, value);
        return SubmitSync(pdo, &u);
    }

    // Changes the far end or the chip from outside, with the bus told.
    template <typename F>
    void Line(F change) {
        bus.Update(pdo, [&](chip::BridgeChip& c) { change(c); });
    }

    void Remove() { sim::Simulation::Current().pnp().Remove(node); }
};

struct OwnBus {
    sim::usb::UsbBus ownBus;
};

// One cable on a bus of its own.
struct Bench : OwnBus, Cable {
    explicit Bench(sim::usb::UsbBusOptions options = {})
        : OwnBus{sim::usb::UsbBus(options)}, Cable(ownBus, kInstance) {}
};

inline sim::usb::UsbBusOptions Immediate() {
    sim::usb::UsbBusOptions options;
    options.timing = sim::usb::UsbTiming::Immediate;
    return options;
}

// The frame a virtual time falls in.
inline uint64_t FrameOf(uint64_t time) {
    return time / sim::usb::kFrameTicks;
}

inline void ExpectOk(const sim::RunResult& r) {
    EXPECT_TRUE(r.ok) << r.Report();
}

}  // namespace usbtest
