// The driver's one window onto the kernel and the USB stack.
//
// Every driver source includes this header and nothing else from the platform.
// The Windows build sees the DDK's own headers as mingw-w64 ships them; the host
// build sees the emulation's declarations, which carry the same names, values
// and x64 layouts (platform/layout_checks.cpp proves it on both).
#pragma once

#if defined(_WIN32)

// The DDK's <wdm.h> redefines two interlocked bit-test routines that mingw's
// <intrin.h> already provides as intrinsics; keep the intrinsic versions.
#ifndef __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#endif
#ifndef __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#endif
#ifndef POOL_TAGGING
#define POOL_TAGGING 1
#endif

#include <ntddk.h>
// mingw-w64's USB headers declare the USBD.SYS exports without C linkage.
extern "C" {
#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>
#include <usbbusif.h>
}

// mingw-w64's <wdm.h> defines KeMemoryBarrier for x86 only; on x64 the DDK
// makes it the full fence __faststorefence.
#if defined(__x86_64__) && !defined(KeMemoryBarrier)
#define KeMemoryBarrier() __faststorefence()
#endif

// The WDK's single-access helpers for values shared without a lock, which
// mingw-w64's <wdm.h> does not have. On x64 every aligned load or store is
// atomic, a load is never moved before an earlier load and a store never
// before an earlier load or store, so each is one volatile access; the acquire
// and release forms only also keep the compiler from moving other accesses
// across them. (A store followed by a load needs KeMemoryBarrier.)
FORCEINLINE UCHAR ReadUCharNoFence(UCHAR const volatile *Source) { return *Source; }
FORCEINLINE UCHAR ReadUCharAcquire(UCHAR const volatile *Source) {
    UCHAR value = *Source;
    _ReadWriteBarrier();
    return value;
}
FORCEINLINE VOID WriteUCharNoFence(UCHAR volatile *Destination, UCHAR Value) { *Destination = Value; }
FORCEINLINE VOID WriteUCharRelease(UCHAR volatile *Destination, UCHAR Value) {
    _ReadWriteBarrier();
    *Destination = Value;
}
FORCEINLINE LONG ReadNoFence(LONG const volatile *Source) { return *Source; }
FORCEINLINE VOID WriteNoFence(LONG volatile *Destination, LONG Value) { *Destination = Value; }
FORCEINLINE LONG ReadAcquire(LONG const volatile *Source) {
    LONG value = *Source;
    _ReadWriteBarrier();
    return value;
}
FORCEINLINE LONG64 ReadNoFence64(LONG64 const volatile *Source) { return *Source; }
FORCEINLINE VOID WriteNoFence64(LONG64 volatile *Destination, LONG64 Value) { *Destination = Value; }
FORCEINLINE PVOID ReadPointerNoFence(PVOID const volatile *Source) { return *Source; }
FORCEINLINE VOID WritePointerNoFence(PVOID volatile *Destination, PVOID Value) {
    *Destination = Value;
}

// mingw-w64's <wdm.h> lacks the no-execute flag of a system mapping's priority.
#ifndef MdlMappingNoExecute
#define MdlMappingNoExecute 0x40000000
#endif

// Wide string literal in the platform's WCHAR.
#define DRV_WIDE(s) L##s

// A place where the emulation's tests may hold a thread; nothing here.
#define DRV_TEST_POINT(Name) ((VOID)0)

// Contracts: the source annotations are the platform's own (<driverspecs.h>,
// <concurrencysal.h>); a debug build asserts the IRQL on entry, and that a
// spin lock the routine needs is held by someone (the platform cannot say by
// whom). The emulation checks both exactly.
#ifndef _Requires_lock_held_
#define _Requires_lock_held_(Lock)
#endif
#ifndef _Requires_lock_not_held_
#define _Requires_lock_not_held_(Lock)
#endif
#ifndef _Guarded_by_
#define _Guarded_by_(Lock)
#endif
#ifndef _IRQL_requires_
#define _IRQL_requires_(Irql)
#endif
#ifndef _IRQL_requires_max_
#define _IRQL_requires_max_(Irql)
#endif
#define DRV_IRQL_MAX(Irql) NT_ASSERT(KeGetCurrentIrql() <= (Irql))
#define DRV_IRQL_IS(Irql) NT_ASSERT(KeGetCurrentIrql() == (Irql))
#define DRV_LOCK_HELD(Lock) NT_ASSERT(*(volatile KSPIN_LOCK *)(Lock) != 0)
#define DRV_LOCK_NOT_HELD(Lock) ((VOID)0)

#else

#include "sim/nt.h"
#include "sim/usb.h"

#define DRV_WIDE(s) u##s

#endif

// Four-character pool tag, written as the platform's debuggers display it.
#define DRV_POOL_TAG(a, b, c, d) \
    ((ULONG)(a) | ((ULONG)(b) << 8) | ((ULONG)(c) << 16) | ((ULONG)(d) << 24))
