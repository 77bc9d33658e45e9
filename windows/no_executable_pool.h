// no_executable_pool.h - forced into every compile of the driver's kernel
// images (-include), so that no allocation in the driver can ask for
// executable pool memory.
//
// Memory integrity (HVCI) runs the kernel with no page both writable and
// executable; a driver that takes executable non-paged pool (NonPagedPool,
// NonPagedPoolExecute, NonPagedPoolCacheAligned, the must-succeed and
// session variants) fails Windows' compatibility test and stops Driver
// Verifier's code-integrity check (bug check 0xC4, 0x2000). The driver must
// ask for NonPagedPoolNx (or paged pool, which is never executable).
//
// The header takes the kit's headers first, then wraps each pool allocator
// that takes a pool type, and ExInitializeNPagedLookasideList, in a macro
// that passes the pool type (or the lookaside flags) through a template
// argument: the compiler evaluates it as a constant and stops the build
// with a static_assert when it is executable, and also when it is not a
// constant (a pool type carried in a variable cannot be checked, so it is
// refused). The generated code is unchanged: the argument is the same value.
#pragma once

#include "platform/platform.h"

namespace bridgeser_pool_check {

// Bits of POOL_TYPE: an odd base type is paged (never executable);
// NonPagedPoolNx (512) is the no-execute bit of non-paged types.
constexpr unsigned kPagedBit = 1;
constexpr unsigned kNoExecuteBit = 512;  // NonPagedPoolNx, also POOL_NX_ALLOCATION

constexpr bool IsExecutablePoolType(unsigned type) {
    return (type & kPagedBit) == 0 && (type & kNoExecuteBit) == 0;
}

template <POOL_TYPE Type>
constexpr POOL_TYPE NoExecutePool() {
    static_assert(!IsExecutablePoolType(static_cast<unsigned>(Type)),
                  "executable pool: memory integrity needs NonPagedPoolNx (or paged pool)");
    return Type;
}

// ExInitializeNPagedLookasideList takes pool flags, not a pool type: its
// entries are non-paged, so the flags must carry POOL_NX_ALLOCATION.
template <unsigned long Flags>
constexpr unsigned long NoExecuteLookasideFlags() {
    static_assert((Flags & kNoExecuteBit) != 0,
                  "executable pool: a non-paged lookaside list needs POOL_NX_ALLOCATION in its flags");
    return Flags;
}

}  // namespace bridgeser_pool_check

// The kit may define some of these as macros of each other (without
// POOL_TAGGING, ExAllocatePoolWithTag is ExAllocatePool): take them over.
#undef ExAllocatePool
#undef ExAllocatePoolWithTag
#undef ExAllocatePoolWithQuota
#undef ExAllocatePoolWithQuotaTag
#undef ExAllocatePoolWithTagPriority
#undef ExInitializeNPagedLookasideList

#define BRIDGESER_NX(type) ::bridgeser_pool_check::NoExecutePool<(type)>()
#define ExAllocatePool(type, bytes) (ExAllocatePool)(BRIDGESER_NX(type), bytes)
#define ExAllocatePoolWithTag(type, bytes, tag) (ExAllocatePoolWithTag)(BRIDGESER_NX(type), bytes, tag)
#define ExAllocatePoolWithQuota(type, bytes) (ExAllocatePoolWithQuota)(BRIDGESER_NX(type), bytes)
#define ExAllocatePoolWithQuotaTag(type, bytes, tag) \
    (ExAllocatePoolWithQuotaTag)(BRIDGESER_NX(type), bytes, tag)
#define ExAllocatePoolWithTagPriority(type, bytes, tag, priority) \
    (ExAllocatePoolWithTagPriority)(BRIDGESER_NX(type), bytes, tag, priority)
#define ExInitializeNPagedLookasideList(list, allocate, free, flags, size, tag, depth) \
    (ExInitializeNPagedLookasideList)(list, allocate, free,                          \
                                      ::bridgeser_pool_check::NoExecuteLookasideFlags<(flags)>(), size, tag, depth)
