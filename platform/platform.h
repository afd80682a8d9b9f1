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
}

// mingw-w64's <wdm.h> defines KeMemoryBarrier for x86 only; on x64 the DDK
// makes it the full fence __faststorefence.
#if defined(__x86_64__) && !defined(KeMemoryBarrier)
#define KeMemoryBarrier() __faststorefence()
#endif

// Wide string literal in the platform's WCHAR.
#define DRV_WIDE(s) L##s

#else

#include "sim/nt.h"
#include "sim/usb.h"

#define DRV_WIDE(s) u##s

#endif

// Four-character pool tag, written as the platform's debuggers display it.
#define DRV_POOL_TAG(a, b, c, d) \
    ((ULONG)(a) | ((ULONG)(b) << 8) | ((ULONG)(c) << 16) | ((ULONG)(d) << 24))
