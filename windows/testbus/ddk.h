// The platform's DDK headers, as the test bus includes them.
#pragma once

// mingw-w64's intrinsics already define these two; <wdm.h> must not again.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset

#include <ntddk.h>
#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>
#include <usbbusif.h>
