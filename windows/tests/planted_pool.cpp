// planted_pool.cpp - allocations planted for the no-executable-pool check
// (no_executable_pool.sh): each case is one allocation the way driver code
// would write it, compiled on its own with -DCASE_<name>.
#include "platform/platform.h"

constexpr ULONG kTag = 'tnlP';
#define DRIVER_POOL NonPagedPool  // a pool type hidden behind a macro

void* Planted(POOL_TYPE fromCaller, NPAGED_LOOKASIDE_LIST* list) {
    (void)fromCaller;
    (void)list;
#if defined(CASE_NX)
    return ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTag);
#elif defined(CASE_NX_CACHE_ALIGNED)
    return ExAllocatePoolWithTag(NonPagedPoolNxCacheAligned, 64, kTag);
#elif defined(CASE_PAGED)
    return ExAllocatePoolWithTag(PagedPool, 16, kTag);
#elif defined(CASE_NON_PAGED)
    return ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
#elif defined(CASE_EXECUTE)
    return ExAllocatePoolWithTag(NonPagedPoolExecute, 16, kTag);
#elif defined(CASE_CACHE_ALIGNED)
    return ExAllocatePoolWithTag(NonPagedPoolCacheAligned, 64, kTag);
#elif defined(CASE_SESSION)
    return ExAllocatePoolWithTag(NonPagedPoolSession, 16, kTag);
#elif defined(CASE_MACRO)
    return ExAllocatePoolWithTag(DRIVER_POOL, 16, kTag);
#elif defined(CASE_CALLER_CHOOSES)
    return ExAllocatePoolWithTag(fromCaller, 16, kTag);
#elif defined(CASE_UNTAGGED)
    return ExAllocatePool(NonPagedPool, 16);
#elif defined(CASE_PRIORITY)
    return ExAllocatePoolWithTagPriority(NonPagedPool, 16, kTag, NormalPoolPriority);
#elif defined(CASE_LOOKASIDE_NX)
    ExInitializeNPagedLookasideList(list, nullptr, nullptr, 512, 64, kTag, 0);  // POOL_NX_ALLOCATION
    return list;
#elif defined(CASE_LOOKASIDE)
    ExInitializeNPagedLookasideList(list, nullptr, nullptr, 0, 64, kTag, 0);
    return list;
#else
#error "no CASE_ defined"
#endif
}
