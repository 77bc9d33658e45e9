// faults.cpp - the chip's fault rules.
#include "sim/chip/faults.h"

namespace chip {

bool FaultTable::Add(const Fault& fault) {
    if (size_ == kCapacity || fault.count == 0) {
        return false;
    }
    if (fault.kind == FaultKind::ZeroLength && fault.endpoint != kEndpointBulkIn) {
        return false;
    }
    rules_[size_++] = fault;
    return true;
}

int FaultTable::FirstMatch(uint8_t endpoint, const SetupPacket* setup, uint64_t now) const {
    for (uint32_t i = 0; i < size_; ++i) {
        const Fault& rule = rules_[i];
        if (rule.endpoint != endpoint || rule.notBefore > now) {
            continue;
        }
        if (endpoint == kEndpointControl && (!setup || !rule.match.Matches(*setup))) {
            continue;
        }
        return static_cast<int>(i);
    }
    return -1;
}

const Fault* FaultTable::Find(uint8_t endpoint, const SetupPacket* setup, uint64_t now) const {
    const int i = FirstMatch(endpoint, setup, now);
    if (i < 0 || rules_[i].skip != 0) {
        return nullptr;
    }
    return &rules_[i];
}

void FaultTable::Commit(uint8_t endpoint, const SetupPacket* setup, uint64_t now) {
    const int i = FirstMatch(endpoint, setup, now);
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

uint64_t FaultTable::NextStart(uint8_t endpoint, uint64_t now) const {
    uint64_t next = ~uint64_t{0};
    for (uint32_t i = 0; i < size_; ++i) {
        const Fault& rule = rules_[i];
        if (rule.endpoint == endpoint && rule.notBefore > now && rule.notBefore < next) {
            next = rule.notBefore;
        }
    }
    return next;
}

bool FaultTable::StartsWithin(uint8_t endpoint, uint64_t after, uint64_t upTo) const {
    for (uint32_t i = 0; i < size_; ++i) {
        const Fault& rule = rules_[i];
        if (rule.endpoint == endpoint && rule.notBefore > after && rule.notBefore <= upTo) {
            return true;
        }
    }
    return false;
}

void FaultTable::Remove(uint32_t index) {
    for (uint32_t i = index + 1; i < size_; ++i) {
        rules_[i - 1] = rules_[i];
    }
    --size_;
}

}  // namespace chip
