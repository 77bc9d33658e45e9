// faults.cpp - the chip's fault rules.
#include "sim/chip/faults.h"

namespace chip {

bool FaultTable::Add(const Fault& fault) {
    if (size_ == kCapacity || fault.count == 0) {
        return false;
    }
    rules_[size_++] = fault;
    return true;
}

int FaultTable::FirstMatch(uint8_t endpoint, const SetupPacket* setup) const {
    for (uint32_t i = 0; i < size_; ++i) {
        const Fault& rule = rules_[i];
        if (rule.endpoint != endpoint) {
            continue;
        }
        if (endpoint == kEndpointControl && (!setup || !rule.match.Matches(*setup))) {
            continue;
        }
        return static_cast<int>(i);
    }
    return -1;
}

const Fault* FaultTable::Find(uint8_t endpoint, const SetupPacket* setup) const {
    const int i = FirstMatch(endpoint, setup);
    if (i < 0 || rules_[i].skip != 0) {
        return nullptr;
    }
    return &rules_[i];
}

void FaultTable::Commit(uint8_t endpoint, const SetupPacket* setup) {
    const int i = FirstMatch(endpoint, setup);
    if (i < 0) {
        return;
    }
    Fault& rule = rules_[i];
    if (rule.skip != 0) {
        --rule.skip;
        return;
    }
    if (rule.count != kForever && --rule.count == 0) {
        Remove(static_cast<uint32_t>(i));
    }
}

void FaultTable::Remove(uint32_t index) {
    for (uint32_t i = index + 1; i < size_; ++i) {
        rules_[i - 1] = rules_[i];
    }
    --size_;
}

}  // namespace chip
