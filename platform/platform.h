// platform.h - the one header driver code includes for the kernel API.
//
// A Windows kernel build (x86_64-w64-mingw32-g++, BRIDGESER_WINDOWS_KERNEL or
// _WIN32 defined) takes the mingw-w64 driver-kit headers; a host build takes
// the simulated kernel's headers, which spell every type, field, macro and
// routine the way the driver kit does. Driver code includes nothing else from
// the platform and no standard-library header beyond <stddef.h>/<stdint.h>.
#pragma once

#if defined(BRIDGESER_WINDOWS_KERNEL) || defined(_WIN32)

// wdm.h and intrin.h both define these two; keep wdm.h's.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ntddk.h>
#include <wdm.h>
#include <usb.h>
#include <usbioctl.h>
#include <initguid.h>  // the COM-port interface GUID is defined, not only declared
#include <ntddser.h>
extern "C" {
#include <usbdlib.h>  // has no extern "C" guard of its own
}

// WCHAR is the compiler's 16-bit wchar_t here.
#define WIDE(text) L##text
#define BRIDGESER_WINDOWS 1

#else

#include "sim/kernel/ntddk.h"
#include "sim/kernel/usb.h"
#include "sim/kernel/ntddser.h"
#include "sim/kernel/usbdlib.h"

// WCHAR is char16_t on the host.
#define WIDE(text) u##text
#define BRIDGESER_WINDOWS 0

#endif

// Annotations the driver uses to state IRQL and lock expectations. The
// mingw-w64 kit does not define the annotation language, so they expand to
// nothing there. On the host under clang the lock annotations are its
// thread-safety analysis (the simulated spin lock is a capability): a field
// `_Guarded_by_` a lock touched without it, or a routine that
// `_Requires_lock_held_` called without it, is a warning, an error in the
// static checks.
#if !BRIDGESER_WINDOWS && defined(__clang__)
#define _Guarded_by_(lock) __attribute__((guarded_by(lock)))
#define _Requires_lock_held_(lock) __attribute__((requires_capability(lock)))
#define _Requires_lock_not_held_(lock) __attribute__((locks_excluded(lock)))
#define _Releases_lock_(lock) __attribute__((release_capability(lock)))
// A routine whose accesses the analysis cannot follow (a lock taken through
// a pointer chosen at run time, or state owned by the caller's claim); the
// reason stands beside each use.
#define BRIDGESER_NO_LOCK_ANALYSIS __attribute__((no_thread_safety_analysis))
#else
#define BRIDGESER_NO_LOCK_ANALYSIS
#endif
#ifndef _Guarded_by_
#define _Guarded_by_(lock)
#endif
#ifndef _Releases_lock_
#define _Releases_lock_(lock)
#endif

// The IRQL line of a routine's comment, asserted as its first statement:
// ASSERT_IRQL(PASSIVE_LEVEL) for "IRQL: PASSIVE_LEVEL", ASSERT_IRQL(
// DISPATCH_LEVEL) for "IRQL: DISPATCH_LEVEL", ASSERT_IRQL_AT_MOST(
// DISPATCH_LEVEL) for "IRQL: <= DISPATCH_LEVEL"; a routine that may run at
// any IRQL asserts nothing. The host build checks them on every simulated
// run: a routine entered at another IRQL stops the run with a bug check
// naming the routine, the IRQL its line states and the IRQL it runs at. In
// a Windows image they are nothing, so the image's code is the same with
// them or without. The contract checker holds each one against its line.
#if BRIDGESER_WINDOWS
#define ASSERT_IRQL(level) ((void)0)
#define ASSERT_IRQL_AT_MOST(level) ((void)0)
#else
#define ASSERT_IRQL(level) SimAssertIrql(__func__, (level), (level))
#define ASSERT_IRQL_AT_MOST(level) SimAssertIrql(__func__, PASSIVE_LEVEL, (level))
#endif

// A routine whose memory accesses the race detector (the host's
// ThreadSanitizer build) does not judge: the one deliberate unlocked read.
#if defined(__SANITIZE_THREAD__)
#define BRIDGESER_UNJUDGED_READ __attribute__((no_sanitize("thread")))
#else
#define BRIDGESER_UNJUDGED_READ
#endif
#ifndef _IRQL_requires_max_
#define _IRQL_requires_max_(irql)
#endif
#ifndef _IRQL_requires_
#define _IRQL_requires_(irql)
#endif
#ifndef _Requires_lock_held_
#define _Requires_lock_held_(lock)
#endif
#ifndef _Requires_lock_not_held_
#define _Requires_lock_not_held_(lock)
#endif
#ifndef _Use_decl_annotations_
#define _Use_decl_annotations_
#endif
