// usb_test_bus.h - a test bus for the driver tests: its PDOs answer the PnP
// and power requests like a plain bus, and IOCTL_INTERNAL_USB_SUBMIT_URB and
// IOCTL_INTERNAL_USB_RESET_PORT like a USB device carrying the bridge: it
// records every request with its setup fields, answers register reads from
// a register file (writes go into it), hands out pipe handles per selection,
// and fails, delays or holds requests on demand.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "device/device.h"
#include "driver/driver.h"
#include "sim/kernel/sim.h"
#include "uart/uart.h"

namespace bridgetest {

// One request seen by the bus.
struct UsbRequest {
    enum class Kind { Urb, ResetPort, Pnp, Power, SystemControl, Other } kind = Kind::Other;
    UCHAR minor = 0;          // PnP, power and system control
    NTSTATUS statusSeen = 0;  // IoStatus.Status as it arrived
    bool fdoPresent = false;  // the function device object still had its name on arrival
    uint64_t arrivedAt = 0;   // virtual time
    // URB fields
    USHORT function = 0xFFFF;
    USHORT headerLength = 0;
    ULONG transferFlags = 0;
    ULONG transferLength = 0;
    bool hasBuffer = false;
    UCHAR requestType = 0;
    UCHAR request = 0;
    USHORT value = 0;
    USHORT index = 0;
    UCHAR descriptorType = 0;
    UCHAR descriptorIndex = 0;
    USHORT featureSelector = 0xFFFF;
    bool deconfigure = false;             // select configuration without a descriptor
    std::vector<ULONG> maxTransferSizes;  // select configuration: per pipe
    USBD_PIPE_HANDLE pipe = nullptr;
    std::vector<uint8_t> data;                      // bulk-out data
    ULONG_PTR wmiProvider = 0;                      // system control: Parameters.WMI.ProviderId
    POWER_STATE_TYPE powerType = SystemPowerState;  // set power
    ULONG powerState = 0;                           // set power: the state's value
    PVOID wmiBuffer = nullptr;

    bool IsRegisterRead(USHORT reg) const {
        return kind == Kind::Urb && function == URB_FUNCTION_VENDOR_DEVICE &&
               requestType == UART_REQUEST_TYPE_READ && index == reg;
    }
    bool IsRegisterWrite(USHORT reg) const {
        return kind == Kind::Urb && function == URB_FUNCTION_VENDOR_DEVICE &&
               requestType == UART_REQUEST_TYPE_WRITE && index == reg;
    }
    bool IsRegisterAccess() const {
        return kind == Kind::Urb && function == URB_FUNCTION_VENDOR_DEVICE;
    }
};

// What the bus answers to one request.
struct Answer {
    NTSTATUS status = STATUS_SUCCESS;
    USBD_STATUS usbd = USBD_STATUS_SUCCESS;
    std::optional<ULONG> length;  // bytes moved, when not the whole request (IN: more
                                  // than asked is reported as moved)
    bool hang = false;            // hold the request until it is cancelled
};

// An answer that fails a request with an NT status and a USBD status.
inline Answer Fail(NTSTATUS status, USBD_STATUS usbd = USBD_STATUS_SUCCESS) {
    Answer a;
    a.status = status;
    a.usbd = usbd;
    return a;
}

// Text of a register access ("R3", "W3=83"), for sequence assertions.
inline std::string RegisterText(const UsbRequest& r) {
    char text[16];
    if (r.requestType == UART_REQUEST_TYPE_READ) {
        std::snprintf(text, sizeof text, "R%u", r.index);
    } else {
        std::snprintf(text, sizeof text, "W%u=%02X", r.index, r.value);
    }
    return text;
}

class UsbTestBus : public sim::Bus {
  public:
    // Configuration descriptor served: one interface with `endpoints`
    // endpoints (interrupt-in, bulk-out, bulk-in, then more bulk-in).
    int endpoints = 3;
    bool noInterface = false;
    bool truncateDescriptor = false;  // wTotalLength larger than what is sent
    // Register file behind vendor request 0xFE.
    uint8_t registers[UART_REGISTER_MAX + 1] = {};
    // Answer all requests asynchronously (pending, completed from a DPC),
    // answerDelay ticks of virtual time after they arrive.
    bool asynchronous = false;
    uint64_t answerDelay = 0;
    // Decides the answer to a request; the default answers success.
    std::function<Answer(const UsbRequest&)> decide;
    // Bytes the next bulk-in / interrupt-in transfers deliver.
    std::vector<uint8_t> bulkInData;
    std::vector<uint8_t> statusData;
    // Device power states the capabilities report for S1, S2 and S3.
    DEVICE_POWER_STATE sleepStates[3] = {PowerDeviceD3, PowerDeviceD3, PowerDeviceD3};
    // Status returned for system-control requests.
    NTSTATUS systemControlStatus = STATUS_SUCCESS;
    // NT name the function device gets, to note its presence on arrival.
    std::string fdoName = "\\Device\\Serial2";

    std::vector<UsbRequest> requests;
    std::vector<PIRP> held;  // hung requests awaiting cancellation
    int selections = 0;
    int cancels = 0;

    PDEVICE_OBJECT CreatePdo(const std::string&) override {
        if (!driver_) {
            driver_ = sim::CreateDriverObject("usbtestbus");
            driver_->MajorFunction[IRP_MJ_PNP] = Dispatch;
            driver_->MajorFunction[IRP_MJ_POWER] = Dispatch;
            driver_->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = Dispatch;
            driver_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = Dispatch;
        }
        PDEVICE_OBJECT pdo = nullptr;
        NTSTATUS status = IoCreateDevice(driver_, sizeof(UsbTestBus*), nullptr, FILE_DEVICE_UNKNOWN,
                                         FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo);
        SIM_CHECK(NT_SUCCESS(status));
        *static_cast<UsbTestBus**>(pdo->DeviceExtension) = this;
        return pdo;
    }
    void DeletePdo(PDEVICE_OBJECT pdo) override { IoDeleteDevice(pdo); }

    // Register accesses only, in order.
    std::vector<std::string> RegisterSequence() const {
        std::vector<std::string> out;
        for (auto& r : requests)
            if (r.IsRegisterAccess()) out.push_back(RegisterText(r));
        return out;
    }
    std::vector<const UsbRequest*> Urbs(USHORT function) const {
        std::vector<const UsbRequest*> out;
        for (auto& r : requests)
            if (r.kind == UsbRequest::Kind::Urb && r.function == function) out.push_back(&r);
        return out;
    }
    void ClearLog() { requests.clear(); }

    // Hands `source`'s bytes to the bulk-in transfers one transfer at a time,
    // as many as each asks for, and holds the status pipe and every bulk-in
    // transfer once they are all given; `fed` counts what was handed out.
    // The benchmarks feed the receive path this way, so bulkInData never
    // holds more than one transfer's bytes.
    void FeedBulkIn(const std::vector<uint8_t>& source, size_t& fed) {
        decide = [this, &source, &fed](const UsbRequest& q) {
            Answer a;
            if (q.function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER ||
                !(q.transferFlags & USBD_TRANSFER_DIRECTION_IN))
                return a;
            if (q.pipe == PipeHandle(selections, BRIDGE_PIPE_STATUS) || fed >= source.size()) {
                a.hang = true;
                return a;
            }
            const size_t n = std::min<size_t>(q.transferLength, source.size() - fed);
            bulkInData.assign(source.begin() + static_cast<ptrdiff_t>(fed),
                              source.begin() + static_cast<ptrdiff_t>(fed + n));
            fed += n;
            return a;
        };
    }

    // Pipe handle given to pipe `pipe` by selection number `selection` (1-based).
    static USBD_PIPE_HANDLE PipeHandle(int selection, ULONG pipe) {
        return reinterpret_cast<USBD_PIPE_HANDLE>(
            static_cast<uintptr_t>(0x10000 * selection + 0x100 + pipe));
    }

    std::vector<uint8_t> ConfigurationDescriptor() const {
        std::vector<uint8_t> d = {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 1, 1, 0, 0x80, 50};
        if (!noInterface) {
            std::vector<uint8_t> i = {
                9, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0, static_cast<uint8_t>(endpoints), 0xFF, 0, 0,
                0};
            d.insert(d.end(), i.begin(), i.end());
            for (int e = 0; e < endpoints; ++e) {
                uint8_t address = e == 0   ? 0x81
                                  : e == 1 ? 0x02
                                           : static_cast<uint8_t>(0x80 + e + 1);
                uint8_t type = e == 0 ? USB_ENDPOINT_TYPE_INTERRUPT : USB_ENDPOINT_TYPE_BULK;
                std::vector<uint8_t> ep = {
                    7, USB_ENDPOINT_DESCRIPTOR_TYPE,        address, type, 64,
                    0, static_cast<uint8_t>(e == 0 ? 1 : 0)};
                d.insert(d.end(), ep.begin(), ep.end());
            }
        }
        uint16_t total = static_cast<uint16_t>(d.size() + (truncateDescriptor ? 20 : 0));
        d[2] = total & 0xFF;
        d[3] = total >> 8;
        return d;
    }

  private:
    static UsbTestBus* Of(PDEVICE_OBJECT pdo) {
        return *static_cast<UsbTestBus**>(pdo->DeviceExtension);
    }

    static NTSTATUS Finish(PIRP irp, NTSTATUS status) {
        irp->IoStatus.Status = status;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }

    static VOID Cancel(PDEVICE_OBJECT pdo, PIRP irp) {
        IoReleaseCancelSpinLock(irp->CancelIrql);
        UsbTestBus* bus = Of(pdo);
        for (size_t i = 0; i < bus->held.size(); ++i) {
            if (bus->held[i] == irp) {
                bus->held.erase(bus->held.begin() + static_cast<long>(i));
                break;
            }
        }
        bus->cancels++;
        irp->IoStatus.Information = 0;
        Finish(irp, STATUS_CANCELLED);
    }

    static NTSTATUS Dispatch(PDEVICE_OBJECT pdo, PIRP irp) {
        UsbTestBus* bus = Of(pdo);
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        UsbRequest r;
        r.arrivedAt = sim::Simulation::Current().Now();
        r.statusSeen = irp->IoStatus.Status;
        r.minor = stack->MinorFunction;
        r.fdoPresent = sim::Simulation::Current().objects().FindDevice(bus->fdoName) != nullptr;
        switch (stack->MajorFunction) {
            case IRP_MJ_PNP:
                r.kind = UsbRequest::Kind::Pnp;
                bus->requests.push_back(r);
                return bus->AnswerPnp(irp, stack);
            case IRP_MJ_POWER: {
                r.kind = UsbRequest::Kind::Power;
                if (r.minor == IRP_MN_SET_POWER || r.minor == IRP_MN_QUERY_POWER) {
                    r.powerType = stack->Parameters.Power.Type;
                    r.powerState =
                        r.powerType == DevicePowerState
                            ? static_cast<ULONG>(stack->Parameters.Power.State.DeviceState)
                            : static_cast<ULONG>(stack->Parameters.Power.State.SystemState);
                }
                bus->requests.push_back(r);
                PoStartNextPowerIrp(irp);
                Answer a = bus->decide ? bus->decide(bus->requests.back()) : Answer{};
                return Finish(irp, a.status);
            }
            case IRP_MJ_SYSTEM_CONTROL:
                r.kind = UsbRequest::Kind::SystemControl;
                r.wmiProvider = stack->Parameters.WMI.ProviderId;
                r.wmiBuffer = stack->Parameters.WMI.Buffer;
                bus->requests.push_back(r);
                return Finish(irp, bus->systemControlStatus);
            case IRP_MJ_INTERNAL_DEVICE_CONTROL:
                break;
            default:
                bus->requests.push_back(r);
                return Finish(irp, STATUS_INVALID_DEVICE_REQUEST);
        }

        ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
        if (code == IOCTL_INTERNAL_USB_RESET_PORT) {
            r.kind = UsbRequest::Kind::ResetPort;
            bus->requests.push_back(r);
            Answer a = bus->decide ? bus->decide(bus->requests.back()) : Answer{};
            return bus->Deliver(irp, a.status, a.hang);
        }
        if (code != IOCTL_INTERNAL_USB_SUBMIT_URB) {
            bus->requests.push_back(r);
            return Finish(irp, STATUS_INVALID_DEVICE_REQUEST);
        }
        auto* urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
        r.kind = UsbRequest::Kind::Urb;
        r.function = urb->UrbHeader.Function;
        r.headerLength = urb->UrbHeader.Length;
        bus->Record(urb, r);
        bus->requests.push_back(r);
        Answer a = bus->decide ? bus->decide(bus->requests.back()) : Answer{};
        urb->UrbHeader.Status = a.usbd;
        if (NT_SUCCESS(a.status) && !a.hang) bus->Serve(urb, a);
        if (!NT_SUCCESS(a.status) && a.usbd == USBD_STATUS_SUCCESS)
            urb->UrbHeader.Status = USBD_STATUS_REQUEST_FAILED;
        return bus->Deliver(irp, a.status, a.hang);
    }

    NTSTATUS Deliver(PIRP irp, NTSTATUS status, bool hang) {
        if (hang) {
            IoMarkIrpPending(irp);
            held.push_back(irp);
            IoSetCancelRoutine(irp, Cancel);
            if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
                held.pop_back();
                cancels++;
                Finish(irp, STATUS_CANCELLED);
            }
            return STATUS_PENDING;
        }
        if (asynchronous) {
            IoMarkIrpPending(irp);
            auto finish = [irp, status] { Finish(irp, status); };
            sim::Simulation& s = sim::Simulation::Current();
            if (answerDelay)
                s.At(s.Now() + answerDelay, finish, "bus answer");
            else
                s.Defer(finish, "bus answer");
            return STATUS_PENDING;
        }
        return Finish(irp, status);
    }

    NTSTATUS AnswerPnp(PIRP irp, PIO_STACK_LOCATION stack) {
        NTSTATUS status = irp->IoStatus.Status;
        switch (stack->MinorFunction) {
            case IRP_MN_START_DEVICE:
            case IRP_MN_QUERY_STOP_DEVICE:
            case IRP_MN_CANCEL_STOP_DEVICE:
            case IRP_MN_STOP_DEVICE:
            case IRP_MN_QUERY_REMOVE_DEVICE:
            case IRP_MN_CANCEL_REMOVE_DEVICE:
            case IRP_MN_REMOVE_DEVICE:
            case IRP_MN_SURPRISE_REMOVAL:
                status = STATUS_SUCCESS;
                break;
            case IRP_MN_QUERY_CAPABILITIES: {
                PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
                caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
                for (int i = 0; i < 3; ++i)
                    caps->DeviceState[PowerSystemSleeping1 + i] = sleepStates[i];
                status = STATUS_SUCCESS;
                break;
            }
            default:
                break;
        }
        if (decide) {
            Answer a = decide(requests.back());
            if (a.status != STATUS_SUCCESS) status = a.status;
        }
        return Deliver(irp, status, false);
    }

    void Record(PURB urb, UsbRequest& r) {
        switch (r.function) {
            case URB_FUNCTION_VENDOR_DEVICE: {
                auto& v = urb->UrbControlVendorClassRequest;
                r.transferFlags = v.TransferFlags;
                r.transferLength = v.TransferBufferLength;
                r.hasBuffer = v.TransferBuffer != nullptr;
                r.requestType = v.RequestTypeReservedBits;
                r.request = v.Request;
                r.value = v.Value;
                r.index = v.Index;
                break;
            }
            case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
                auto& d = urb->UrbControlDescriptorRequest;
                r.transferLength = d.TransferBufferLength;
                r.descriptorType = d.DescriptorType;
                r.descriptorIndex = d.Index;
                r.index = d.LanguageId;
                break;
            }
            case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT:
                r.featureSelector = urb->UrbControlFeatureRequest.FeatureSelector;
                r.index = urb->UrbControlFeatureRequest.Index;
                break;
            case URB_FUNCTION_SELECT_CONFIGURATION: {
                auto& s = urb->UrbSelectConfiguration;
                r.deconfigure = s.ConfigurationDescriptor == nullptr;
                if (!r.deconfigure) {
                    for (ULONG p = 0; p < s.Interface.NumberOfPipes; ++p)
                        r.maxTransferSizes.push_back(s.Interface.Pipes[p].MaximumTransferSize);
                }
                break;
            }
            case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
                auto& b = urb->UrbBulkOrInterruptTransfer;
                r.transferFlags = b.TransferFlags;
                r.transferLength = b.TransferBufferLength;
                r.pipe = b.PipeHandle;
                r.hasBuffer = b.TransferBuffer != nullptr;
                if (!(b.TransferFlags & USBD_TRANSFER_DIRECTION_IN) && b.TransferBuffer)
                    r.data.assign(static_cast<uint8_t*>(b.TransferBuffer),
                                  static_cast<uint8_t*>(b.TransferBuffer) + b.TransferBufferLength);
                break;
            }
            default:
                break;
        }
    }

    void Serve(PURB urb, const Answer& a) {
        switch (urb->UrbHeader.Function) {
            case URB_FUNCTION_VENDOR_DEVICE: {
                auto& v = urb->UrbControlVendorClassRequest;
                if (v.Index > UART_REGISTER_MAX) break;
                if (v.TransferFlags & USBD_TRANSFER_DIRECTION_IN) {
                    ULONG n = a.length.value_or(1);
                    if (n && v.TransferBuffer)
                        *static_cast<uint8_t*>(v.TransferBuffer) = registers[v.Index];
                    v.TransferBufferLength = n;
                } else {
                    registers[v.Index] = static_cast<uint8_t>(v.Value);
                }
                break;
            }
            case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
                auto& d = urb->UrbControlDescriptorRequest;
                std::vector<uint8_t> bytes = ConfigurationDescriptor();
                ULONG n = std::min<ULONG>(d.TransferBufferLength, static_cast<ULONG>(bytes.size()));
                if (a.length) n = std::min(n, *a.length);
                std::memcpy(d.TransferBuffer, bytes.data(), n);
                d.TransferBufferLength = n;
                break;
            }
            case URB_FUNCTION_SELECT_CONFIGURATION: {
                auto& s = urb->UrbSelectConfiguration;
                if (s.ConfigurationDescriptor == nullptr) break;
                selections++;
                s.ConfigurationHandle = reinterpret_cast<USBD_CONFIGURATION_HANDLE>(
                    static_cast<uintptr_t>(0x7000 + selections));
                s.Interface.InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(
                    static_cast<uintptr_t>(0x8000 + selections));
                for (ULONG p = 0; p < s.Interface.NumberOfPipes; ++p) {
                    s.Interface.Pipes[p].PipeHandle = PipeHandle(selections, p);
                    s.Interface.Pipes[p].MaximumPacketSize = 64;
                    s.Interface.Pipes[p].PipeType =
                        p == 0 ? UsbdPipeTypeInterrupt : UsbdPipeTypeBulk;
                }
                break;
            }
            case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
                auto& b = urb->UrbBulkOrInterruptTransfer;
                if (b.TransferFlags & USBD_TRANSFER_DIRECTION_IN) {
                    bool status = b.PipeHandle == PipeHandle(selections, BRIDGE_PIPE_STATUS);
                    std::vector<uint8_t>& source = status ? statusData : bulkInData;
                    const ULONG asked = b.TransferBufferLength;
                    ULONG n = std::min<ULONG>(asked, static_cast<ULONG>(source.size()));
                    if (a.length) n = std::min(n, *a.length);
                    std::memcpy(b.TransferBuffer, source.data(), n);
                    source.erase(source.begin(), source.begin() + n);
                    // A length above the request's is a device claiming more
                    // than it was asked for: reported, never copied.
                    b.TransferBufferLength = a.length && *a.length > asked ? *a.length : n;
                } else if (a.length) {
                    b.TransferBufferLength = *a.length;
                }
                break;
            }
            default:
                break;
        }
    }

    PDRIVER_OBJECT driver_ = nullptr;
};

// One simulated machine with the driver loaded and a test bus.
struct Machine {
    PDRIVER_OBJECT driver = nullptr;
    UsbTestBus bus;

    void Load() {
        driver = sim::Simulation::Current().pnp().LoadDriver("bridgeser", DriverEntry);
        SIM_CHECK(driver != nullptr);
    }
    // Enumerate + AddDevice + start; returns the node.
    sim::DeviceNode* PlugIn(const std::string& instance = "USB\\VID_1A2B&PID_0001\\1",
                            NTSTATUS* status = nullptr) {
        return sim::Simulation::Current().pnp().PlugIn(bus, instance, driver, status);
    }
    static PDEVICE_OBJECT Fdo(sim::DeviceNode* node) { return node->top; }
    static PortExtension* Ext(sim::DeviceNode* node) { return GetPortExtension(node->top); }
};

// Registry paths of a device node.
inline std::string DeviceKeyPath(const std::string& instance) {
    return std::string(sim::kEnumPath) + "\\" + instance + "\\Device Parameters";
}
inline std::string DriverKeyPath(const std::string& instance) {
    auto value = sim::Simulation::Current().registry().GetValue(
        std::string(sim::kEnumPath) + "\\" + instance, "Driver");
    return value ? std::string(sim::kClassPath) + "\\" + value->AsString() : std::string();
}
inline std::string SerialCommPath() {
    return std::string(sim::kDeviceMapPath) + "\\SERIALCOMM";
}

inline uint64_t DriverPool() {
    return sim::Simulation::Current().pool().LiveCount(BRIDGESER_POOL_TAG);
}

// Runs a scenario and fails the test with the run's report when it did not
// end cleanly.
inline void RunClean(const std::function<void()>& body, sim::Options options = {}) {
    sim::RunResult result = sim::RunScenario(options, body);
    ASSERT_TRUE(result.ok) << result.Report();
}

}  // namespace bridgetest
