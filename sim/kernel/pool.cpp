// pool.cpp - the executive's pool: ExAllocatePoolWithTag and friends, with
// accounting by tag and allocation faults on demand.
//
// Blocks come from the host heap, filled with 0xCD so that a driver reading
// memory it never wrote sees garbage rather than zeros, as on Windows.
// Freeing checks that the block is live and that the tag matches.
#include <cstdlib>
#include <cstring>
#include <map>

#include "sim/kernel/internal.h"

namespace sim {

struct Pool::Impl {
    struct Block {
        ULONG tag;
        size_t bytes;
        uint64_t seq;
        POOL_TYPE type;
    };
    std::map<const void*, Block> live;  // lookup only; balances are reported by tag order
    uint64_t allocations = 0;
    uint64_t seq = 0;
    uint64_t failCountdown = 0;
    double failChance = 0;
};

Pool::Pool() : impl_(std::make_unique<Impl>()) {}
Pool::~Pool() {
    for (auto& [p, block] : impl_->live) std::free(const_cast<void*>(p));
}

uint64_t Pool::LiveCount(ULONG tag) const {
    uint64_t n = 0;
    for (auto& [p, b] : impl_->live)
        if (b.tag == tag) n++;
    return n;
}

uint64_t Pool::LiveBytes(ULONG tag) const {
    uint64_t n = 0;
    for (auto& [p, b] : impl_->live)
        if (b.tag == tag) n += b.bytes;
    return n;
}

uint64_t Pool::LiveCountAll() const { return impl_->live.size(); }

std::vector<Pool::TagBalance> Pool::Balance() const {
    std::map<ULONG, TagBalance> byTag;
    for (auto& [p, b] : impl_->live) {
        auto& entry = byTag[b.tag];
        entry.tag = b.tag;
        entry.count++;
        entry.bytes += b.bytes;
    }
    std::vector<TagBalance> out;
    for (auto& [tag, balance] : byTag) out.push_back(balance);
    return out;
}

uint64_t Pool::AllocationCount() const { return impl_->allocations; }

std::string Pool::TagText(ULONG tag) {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        text += (c >= 32 && c < 127) ? c : '?';
    }
    return text;
}

void Pool::FailNth(uint64_t nth) { impl_->failCountdown = nth; }
void Pool::FailByChance(double probability) { impl_->failChance = probability; }
void Pool::ClearFaults() {
    impl_->failCountdown = 0;
    impl_->failChance = 0;
}

}  // namespace sim

using namespace sim;

extern "C" {

PVOID ExAllocatePoolWithTag(POOL_TYPE poolType, SIZE_T numberOfBytes, ULONG tag) {
    KernelPoint("ExAllocatePoolWithTag");
    Simulation& sim = Simulation::Current();
    VerifyIrqlAtMost(poolType == PagedPool ? APC_LEVEL : DISPATCH_LEVEL, "ExAllocatePoolWithTag");
    Pool::Impl& pool = *sim.pool().impl_;
    if (numberOfBytes == 0) {
        BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION", "pool-zero-size",
                 "allocation of zero bytes with tag '" + Pool::TagText(tag) + "'");
    }
    // Driver Verifier's code-integrity check (0xC4, 0x2000): memory
    // integrity forbids executable pool, so only the no-execute non-paged
    // type and paged pool are accepted.
    if (poolType == NonPagedPool || poolType == NonPagedPoolMustSucceed) {
        BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION", "pool-executable",
                 "code integrity: allocation of executable non-paged pool (type " +
                     std::to_string(static_cast<int>(poolType)) + ") with tag '" +
                     Pool::TagText(tag) + "'; use NonPagedPoolNx");
    }
    bool fail = false;
    if (pool.failCountdown > 0 && --pool.failCountdown == 0) fail = true;
    if (!fail && pool.failChance > 0 && sim.RandomUnit() < pool.failChance) fail = true;
    if (fail) {
        SIM_TRACE("POOL", "allocation of " + std::to_string(numberOfBytes) + " bytes tag '" +
                              Pool::TagText(tag) + "' fails (injected)");
        return nullptr;
    }
    void* p = std::malloc(numberOfBytes);
    std::memset(p, 0xCD, numberOfBytes);
    pool.live[p] = Pool::Impl::Block{tag, numberOfBytes, ++pool.seq, poolType};
    pool.allocations++;
    return p;
}

PVOID ExAllocatePool(POOL_TYPE poolType, SIZE_T numberOfBytes) {
    return ExAllocatePoolWithTag(poolType, numberOfBytes, 'enoN');
}

VOID ExFreePoolWithTag(PVOID p, ULONG tag) {
    KernelPoint("ExFreePool");
    VerifyIrqlAtMost(DISPATCH_LEVEL, "ExFreePool");
    Pool::Impl& pool = *Simulation::Current().pool().impl_;
    auto it = pool.live.find(p);
    if (it == pool.live.end()) {
        BugCheck("BAD_POOL_CALLER", "pool-free-unallocated", p ? "free of a block that is not allocated (double free?)"
                                      : "free of a null pointer");
    }
    if (it->second.type == PagedPool) VerifyIrqlAtMost(APC_LEVEL, "ExFreePool of paged pool");
    if (tag != 0 && it->second.tag != tag) {
        BugCheck("BAD_POOL_CALLER", "pool-free-wrong-tag", "freed with tag '" + Pool::TagText(tag) +
                                        "' a block allocated with tag '" +
                                        Pool::TagText(it->second.tag) + "'");
    }
    std::memset(p, 0xDD, it->second.bytes);
    pool.live.erase(it);
    std::free(p);
}

VOID ExFreePool(PVOID p) { ExFreePoolWithTag(p, 0); }

}  // extern "C"
