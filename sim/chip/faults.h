// faults.h - faults the chip produces on demand, for testing the layers above.
//
// A fault is a rule: on one endpoint (for the control endpoint, only requests
// that match a setup-packet pattern), let `skip` transfers through, then
// affect the next `count` transfers (kForever: all). A transfer is counted
// when it would complete: a bulk-in or interrupt-in poll that finds nothing
// to send (NAK) and a bulk-out packet that does not fit yet are not counted,
// so the effect does not depend on how often the bus polls.
//
// Rules for one endpoint are consulted in the order they were added, and
// only the first one that matches a transfer is; an exhausted rule is
// dropped, so rules added one after another take effect one after another.
//
// A rule may wait for a moment of virtual time (`notBefore`, see From()):
// until then it matches nothing, so transfers before it neither trigger nor
// count it.
#pragma once

#include <stdint.h>

#include "sim/chip/usb_defs.h"

namespace chip {

inline constexpr uint32_t kForever = ~uint32_t{0};

// A setup-packet pattern: each field matches when (field & mask) == value.
struct RequestMatch {
    uint8_t typeMask = 0, type = 0;
    uint8_t requestMask = 0, request = 0;
    uint16_t valueMask = 0, value = 0;
    uint16_t indexMask = 0, index = 0;

    constexpr bool Matches(const SetupPacket& s) const {
        return (s.requestType & typeMask) == type && (s.request & requestMask) == request &&
               (s.value & valueMask) == value && (s.index & indexMask) == index;
    }

    static constexpr RequestMatch Any() { return RequestMatch{}; }
    static constexpr RequestMatch Request(uint8_t requestType, uint8_t request) {
        return RequestMatch{0xFF, requestType, 0xFF, request, 0, 0, 0, 0};
    }
    static constexpr RequestMatch GetDescriptor(uint8_t descriptorType) {
        RequestMatch match = Request(kRequestDirectionIn, kGetDescriptor);
        match.valueMask = 0xFF00;
        match.value = static_cast<uint16_t>(descriptorType << 8);
        return match;
    }
    static constexpr RequestMatch RegisterRead(uint8_t reg) {
        return RequestMatch{0xFF, kRegisterReadType, 0xFF, kRegisterRequest, 0, 0, 0xFFFF, reg};
    }
    static constexpr RequestMatch RegisterWrite(uint8_t reg) {
        return RequestMatch{0xFF, kRegisterWriteType, 0xFF, kRegisterRequest, 0, 0, 0xFFFF, reg};
    }
    static constexpr RequestMatch AnyRegisterAccess() {
        return RequestMatch{0x7F, kRegisterWriteType, 0xFF, kRegisterRequest, 0, 0, 0, 0};
    }
};

enum class FaultKind : uint8_t {
    Fail,        // the transfer fails with `status`; nothing is moved or performed
    Hang,        // the transfer never completes; nothing is moved or performed
    Limit,       // at most `limit` bytes move: a short bulk-in or status packet, a
                 // bulk-out packet only partly taken, a short control data stage
    BadMarker,   // status reports only: byte 0 is replaced by `limit`
    ZeroLength,  // bulk-in only: the transfer gets a zero-length packet, whether
                 // or not bytes are waiting (they stay for the next transfer)
};

struct Fault {
    uint8_t endpoint = kEndpointControl;
    RequestMatch match;  // control endpoint only
    FaultKind kind = FaultKind::Fail;
    uint32_t status = kUsbdStatusStallPid;  // Fail
    uint32_t limit = 0;                     // Limit: byte count; BadMarker: marker value
    uint32_t skip = 0;
    uint32_t count = 1;
    uint64_t notBefore = 0;  // the rule matches nothing before this time

    static constexpr Fault FailControl(RequestMatch match, uint32_t status) {
        Fault f;
        f.match = match;
        f.status = status;
        return f;
    }
    static constexpr Fault HangControl(RequestMatch match) {
        Fault f;
        f.match = match;
        f.kind = FaultKind::Hang;
        return f;
    }
    static constexpr Fault ShortControl(RequestMatch match, uint32_t bytes) {
        Fault f;
        f.match = match;
        f.kind = FaultKind::Limit;
        f.limit = bytes;
        return f;
    }
    static constexpr Fault FailPipe(uint8_t endpoint, uint32_t status) {
        Fault f;
        f.endpoint = endpoint;
        f.status = status;
        return f;
    }
    static constexpr Fault HangPipe(uint8_t endpoint) {
        Fault f;
        f.endpoint = endpoint;
        f.kind = FaultKind::Hang;
        return f;
    }
    static constexpr Fault LimitPipe(uint8_t endpoint, uint32_t bytes) {
        Fault f;
        f.endpoint = endpoint;
        f.kind = FaultKind::Limit;
        f.limit = bytes;
        return f;
    }
    static constexpr Fault BadStatusMarker(uint8_t marker) {
        Fault f;
        f.endpoint = kEndpointStatusIn;
        f.kind = FaultKind::BadMarker;
        f.limit = marker;
        return f;
    }
    // A zero-length packet on the bulk-in endpoint; with From(t), the first
    // bulk-in transfer the bus runs at or after t gets it.
    static constexpr Fault ZeroLengthBulkIn() {
        Fault f;
        f.endpoint = kEndpointBulkIn;
        f.kind = FaultKind::ZeroLength;
        return f;
    }
    // Short status reports are LimitPipe(kEndpointStatusIn, n) with n < 4.

    constexpr Fault Times(uint32_t n) const {
        Fault f = *this;
        f.count = n;
        return f;
    }
    constexpr Fault After(uint32_t n) const {
        Fault f = *this;
        f.skip = n;
        return f;
    }
    // The rule waits until virtual time `time` (100 ns ticks).
    constexpr Fault From(uint64_t time) const {
        Fault f = *this;
        f.notBefore = time;
        return f;
    }
};

// The chip's fault rules.
class FaultTable {
  public:
    static constexpr uint32_t kCapacity = 16;

    // Adds a rule; false when the table is full, the rule affects nothing or
    // its kind does not exist on its endpoint.
    bool Add(const Fault& fault);
    void Clear() { size_ = 0; }
    uint32_t Size() const { return size_; }

    // The rule that applies to the next completing transfer on `endpoint`
    // (`setup` for the control endpoint) at time `now`, or null when the
    // transfer goes through. Does not count the transfer: call Commit once
    // it completes.
    const Fault* Find(uint8_t endpoint, const SetupPacket* setup, uint64_t now) const;

    // Counts one completed transfer on `endpoint` at `now`: the first
    // matching rule either consumes one of its skips or, when it applied, one
    // of its counts.
    void Commit(uint8_t endpoint, const SetupPacket* setup, uint64_t now);

    // The earliest `notBefore` later than `now` among the rules of
    // `endpoint`; ~0 when there is none.
    uint64_t NextStart(uint8_t endpoint, uint64_t now) const;
    // A rule of `endpoint` whose `notBefore` lies in (after, upTo].
    bool StartsWithin(uint8_t endpoint, uint64_t after, uint64_t upTo) const;

  private:
    int FirstMatch(uint8_t endpoint, const SetupPacket* setup, uint64_t now) const;
    void Remove(uint32_t index);

    Fault rules_[kCapacity] = {};
    uint32_t size_ = 0;
};

}  // namespace chip
