// bridge_chip.cpp - the chip's USB side: control requests, the three data
// endpoints, faults and plugging. The serial side lives in uart.cpp.
#include "sim/chip/bridge_chip.h"

namespace chip {
namespace {

constexpr uint32_t Min(uint32_t a, uint32_t b) {
    return a < b ? a : b;
}

// Copies up to `limit` bytes of a reply into the data stage; returns the count.
uint32_t Reply(uint8_t* data, uint32_t limit, const uint8_t* reply, uint32_t size) {
    const uint32_t n = data ? Min(limit, size) : 0;
    for (uint32_t i = 0; i < n; ++i) {
        data[i] = reply[i];
    }
    return n;
}

constexpr bool IsClearHaltOfEndpointZero(const SetupPacket& s) {
    return s.requestType == (kRequestTypeStandard | kRecipientEndpoint) &&
           s.request == kClearFeature && s.value == kFeatureEndpointHalt &&
           (s.index == kEndpointControl || s.index == (kEndpointControl | 0x80));
}

}  // namespace

int BridgeChip::EndpointSlot(uint8_t endpoint) {
    switch (endpoint) {
        case kEndpointControl:
        case kEndpointControl | 0x80:
            return 0;
        case kEndpointStatusIn:
            return 1;
        case kEndpointBulkOut:
            return 2;
        case kEndpointBulkIn:
            return 3;
        default:
            return -1;
    }
}

bool BridgeChip::HaltEndpoint(uint8_t endpoint) {
    const int slot = EndpointSlot(endpoint);
    if (slot < 0) {
        return false;
    }
    halted_[slot] = true;
    WakeWaiters();
    return true;
}

bool BridgeChip::EndpointHalted(uint8_t endpoint) const {
    const int slot = EndpointSlot(endpoint);
    return slot >= 0 && halted_[slot];
}

void BridgeChip::Wake(bool& waiting, uint8_t endpoint) {
    if (!waiting) {
        return;
    }
    waiting = false;
    if (observer_) {
        observer_->OnEndpointReady(endpoint);
    }
}

// Tells the bus about every transfer it keeps waiting on a Nak: after a
// reset, a halt or a disconnection its next attempt ends differently.
void BridgeChip::WakeWaiters() {
    Wake(statusWaiting_, kEndpointStatusIn);
    Wake(bulkOutWaiting_, kEndpointBulkOut);
    Wake(bulkInWaiting_, kEndpointBulkIn);
}

void BridgeChip::Deconfigure() {
    configuration_ = 0;
    for (int slot = 1; slot < kEndpointSlots; ++slot) {
        halted_[slot] = false;
    }
    WakeWaiters();
}

uint64_t BridgeChip::NextEventTime() const {
    const uint64_t line = uart_.NextEventTime();
    if (!bulkInWaiting_) {
        return line;
    }
    const uint64_t fault = faults_.NextStart(kEndpointBulkIn, Now());
    return fault < line ? fault : line;
}

// A timed bulk-in rule that comes due while the bus waits on a Nak changes
// what the next attempt gets: the bus hears of it as of new data.
void BridgeChip::AdvanceTo(uint64_t now) {
    const uint64_t before = Now();
    uart_.AdvanceTo(now);
    if (bulkInWaiting_ && faults_.StartsWithin(kEndpointBulkIn, before, Now())) {
        Wake(bulkInWaiting_, kEndpointBulkIn);
    }
}

void BridgeChip::BusReset(uint64_t now) {
    AdvanceTo(now);
    if (!connected_) {
        return;
    }
    address_ = 0;
    halted_[0] = false;
    Deconfigure();
    uart_.PowerOn(now);
}

void BridgeChip::Disconnect(uint64_t now) {
    AdvanceTo(now);
    if (!connected_) {
        return;
    }
    connected_ = false;
    uart_.PowerOff(now);
    WakeWaiters();
}

void BridgeChip::Reconnect(uint64_t now) {
    AdvanceTo(now);
    if (connected_) {
        return;
    }
    connected_ = true;
    address_ = 0;
    configuration_ = 0;
    for (bool& h : halted_) {
        h = false;
    }
    uart_.PowerOn(now);
}

TransferResult BridgeChip::Control(uint64_t now, const SetupPacket& setup, uint8_t* data,
                                   uint32_t length) {
    AdvanceTo(now);
    if (!connected_) {
        return TransferResult::Fail(kUsbdStatusDeviceGone);
    }
    uint32_t limit = setup.DeviceToHost() ? Min(setup.length, length) : length;
    if (const Fault* fault = faults_.Find(kEndpointControl, &setup, Now())) {
        const Fault rule = *fault;
        faults_.Commit(kEndpointControl, &setup, Now());
        switch (rule.kind) {
            case FaultKind::Fail:
                return TransferResult::Fail(rule.status);
            case FaultKind::Hang:
                return TransferResult::Hang();
            case FaultKind::Limit:
                if (setup.DeviceToHost()) {
                    limit = Min(limit, rule.limit);
                }
                break;
            case FaultKind::BadMarker:
            case FaultKind::ZeroLength:
                break;
        }
    } else {
        faults_.Commit(kEndpointControl, &setup, Now());
    }
    if (halted_[0] && !IsClearHaltOfEndpointZero(setup)) {
        return TransferResult::Stall();
    }
    switch (setup.requestType & kRequestTypeMask) {
        case kRequestTypeStandard:
            return StandardRequest(setup, data, limit);
        case kRequestTypeVendor:
            return RegisterRequest(setup, data, limit);
        default:
            return TransferResult::Stall();
    }
}

TransferResult BridgeChip::StandardRequest(const SetupPacket& setup, uint8_t* data,
                                           uint32_t limit) {
    const bool configured = configuration_ != 0;
    switch (setup.requestType) {
        case kRequestDirectionIn | kRecipientDevice:
            switch (setup.request) {
                case kGetStatus: {
                    static constexpr uint8_t kStatus[2] = {0, 0};  // bus powered, no remote wakeup
                    return TransferResult::Ok(Reply(data, limit, kStatus, 2));
                }
                case kGetDescriptor: {
                    const uint8_t type = static_cast<uint8_t>(setup.value >> 8);
                    const uint8_t index = static_cast<uint8_t>(setup.value);
                    if (type == kDescriptorDevice && index == 0) {
                        return TransferResult::Ok(
                            Reply(data, limit, kDeviceDescriptor, kDeviceDescriptorSize));
                    }
                    if (type == kDescriptorConfiguration && index == 0) {
                        return TransferResult::Ok(Reply(data, limit, kConfigurationDescriptor,
                                                        kConfigurationDescriptorSize));
                    }
                    return TransferResult::Stall();  // no strings, no other descriptors
                }
                case kGetConfiguration:
                    return TransferResult::Ok(Reply(data, limit, &configuration_, 1));
            }
            break;
        case kRequestDirectionIn | kRecipientInterface:
            if (!configured || setup.index != 0) {
                break;
            }
            if (setup.request == kGetStatus) {
                static constexpr uint8_t kStatus[2] = {0, 0};
                return TransferResult::Ok(Reply(data, limit, kStatus, 2));
            }
            if (setup.request == kGetInterface) {
                static constexpr uint8_t kAlternateSetting = 0;
                return TransferResult::Ok(Reply(data, limit, &kAlternateSetting, 1));
            }
            break;
        case kRequestDirectionIn | kRecipientEndpoint: {
            const int slot = EndpointSlot(static_cast<uint8_t>(setup.index));
            if (setup.request != kGetStatus || slot < 0 || (slot > 0 && !configured)) {
                break;
            }
            const uint8_t status[2] = {static_cast<uint8_t>(halted_[slot] ? 1 : 0), 0};
            return TransferResult::Ok(Reply(data, limit, status, 2));
        }
        case kRequestTypeStandard | kRecipientDevice:
            if (setup.length != 0) {
                break;
            }
            if (setup.request == kSetAddress && setup.value <= 127 && !configured) {
                address_ = static_cast<uint8_t>(setup.value);
                return TransferResult::Ok(0);
            }
            if (setup.request == kSetConfiguration && setup.value <= kConfigurationValue) {
                // Selecting a configuration, even the current one, clears the
                // data endpoints' halts.
                Deconfigure();
                configuration_ = static_cast<uint8_t>(setup.value);
                return TransferResult::Ok(0);
            }
            break;
        case kRequestTypeStandard | kRecipientInterface:
            if (setup.request == kSetInterface && configured && setup.index == 0 &&
                setup.value == 0 && setup.length == 0) {
                for (int slot = 1; slot < kEndpointSlots; ++slot) {
                    halted_[slot] = false;
                }
                return TransferResult::Ok(0);
            }
            break;
        case kRequestTypeStandard | kRecipientEndpoint: {
            const int slot = EndpointSlot(static_cast<uint8_t>(setup.index));
            if ((setup.request != kClearFeature && setup.request != kSetFeature) ||
                setup.value != kFeatureEndpointHalt || setup.length != 0 || slot < 0 ||
                (slot > 0 && !configured)) {
                break;
            }
            halted_[slot] = setup.request == kSetFeature;
            if (halted_[slot]) {
                WakeWaiters();
            }
            return TransferResult::Ok(0);
        }
        default:
            break;
    }
    return TransferResult::Stall();
}

TransferResult BridgeChip::RegisterRequest(const SetupPacket& setup, uint8_t* data,
                                           uint32_t limit) {
    if (setup.request != kRegisterRequest || setup.index >= Uart::kRegisterCount) {
        return TransferResult::Stall();
    }
    const uint8_t reg = static_cast<uint8_t>(setup.index);
    if (setup.requestType == kRegisterReadType) {
        if (setup.length == 0) {
            return TransferResult::Stall();  // a read needs its one data byte
        }
        const uint8_t value = uart_.ReadRegister(reg);
        return TransferResult::Ok(Reply(data, limit, &value, 1));
    }
    if (setup.requestType == kRegisterWriteType && setup.length == 0) {
        uart_.WriteRegister(reg, static_cast<uint8_t>(setup.value));
        return TransferResult::Ok(0);
    }
    return TransferResult::Stall();
}

TransferResult BridgeChip::BulkOut(uint64_t now, const uint8_t* data, uint32_t length) {
    AdvanceTo(now);
    if (!connected_) {
        return TransferResult::Fail(kUsbdStatusDeviceGone);
    }
    if (configuration_ == 0 || halted_[2]) {
        return TransferResult::Stall();
    }
    uint32_t take = data ? Min(length, kBulkMaxPacket) : 0;
    if (const Fault* fault = faults_.Find(kEndpointBulkOut, nullptr, Now())) {
        if (fault->kind == FaultKind::Fail || fault->kind == FaultKind::Hang) {
            const Fault rule = *fault;
            faults_.Commit(kEndpointBulkOut, nullptr, Now());
            return rule.kind == FaultKind::Fail ? TransferResult::Fail(rule.status)
                                                : TransferResult::Hang();
        }
        if (fault->kind == FaultKind::Limit) {
            take = Min(take, fault->limit);
        }
    }
    if (uart_.TxSpace() < take) {
        bulkOutWaiting_ = true;
        return TransferResult::Nak();
    }
    faults_.Commit(kEndpointBulkOut, nullptr, Now());
    return TransferResult::Ok(uart_.Write(data, take));
}

TransferResult BridgeChip::BulkIn(uint64_t now, uint8_t* buffer, uint32_t length) {
    AdvanceTo(now);
    if (!connected_) {
        return TransferResult::Fail(kUsbdStatusDeviceGone);
    }
    if (configuration_ == 0 || halted_[3]) {
        return TransferResult::Stall();
    }
    if (!buffer || length == 0) {
        return TransferResult::Ok(0);  // nothing asked, nothing taken
    }
    if (const Fault* fault = faults_.Find(kEndpointBulkIn, nullptr, Now());
        fault && fault->kind == FaultKind::ZeroLength) {
        faults_.Commit(kEndpointBulkIn, nullptr, Now());
        return TransferResult::Ok(0);
    }
    if (uart_.RxCount() == 0) {
        bulkInWaiting_ = true;
        return TransferResult::Nak();
    }
    uint32_t n = Min(Min(uart_.RxCount(), kBulkMaxPacket), length);
    if (const Fault* fault = faults_.Find(kEndpointBulkIn, nullptr, Now())) {
        const Fault rule = *fault;
        if (rule.kind == FaultKind::Fail) {
            faults_.Commit(kEndpointBulkIn, nullptr, Now());
            return TransferResult::Fail(rule.status);
        }
        if (rule.kind == FaultKind::Hang) {
            faults_.Commit(kEndpointBulkIn, nullptr, Now());
            return TransferResult::Hang();
        }
        if (rule.kind == FaultKind::Limit) {
            n = Min(n, rule.limit);
        }
    }
    faults_.Commit(kEndpointBulkIn, nullptr, Now());
    return TransferResult::Ok(uart_.Read(buffer, n));
}

TransferResult BridgeChip::StatusIn(uint64_t now, uint8_t* buffer, uint32_t length) {
    AdvanceTo(now);
    if (!connected_) {
        return TransferResult::Fail(kUsbdStatusDeviceGone);
    }
    if (configuration_ == 0 || halted_[1]) {
        return TransferResult::Stall();
    }
    if (!buffer || length == 0) {
        return TransferResult::Ok(0);  // nothing asked, nothing taken
    }
    if (!uart_.HasReport()) {
        statusWaiting_ = true;
        return TransferResult::Nak();
    }
    uint32_t n = Min(sizeof(StatusReport::bytes), length);
    uint8_t marker = Uart::kReportMarker;
    if (const Fault* fault = faults_.Find(kEndpointStatusIn, nullptr, Now())) {
        const Fault rule = *fault;
        switch (rule.kind) {
            case FaultKind::Fail:
                faults_.Commit(kEndpointStatusIn, nullptr, Now());
                return TransferResult::Fail(rule.status);
            case FaultKind::Hang:
                faults_.Commit(kEndpointStatusIn, nullptr, Now());
                return TransferResult::Hang();
            case FaultKind::Limit:
                n = Min(n, rule.limit);
                break;
            case FaultKind::BadMarker:
                marker = static_cast<uint8_t>(rule.limit);
                break;
            case FaultKind::ZeroLength:
                break;
        }
    }
    faults_.Commit(kEndpointStatusIn, nullptr, Now());
    StatusReport report;
    uart_.TakeReport(&report);
    report.bytes[0] = marker;
    for (uint32_t i = 0; i < n; ++i) {
        buffer[i] = report.bytes[i];
    }
    return TransferResult::Ok(n);
}

}  // namespace chip
