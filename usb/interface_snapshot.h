// Reference-counted copies of the selected interface and its pipe table.
//
// DeviceExtension.InterfaceInfo points at the USBD_INTERFACE_INFORMATION held
// in a pool block that also carries a reference count. The extension holds one
// reference; every reader takes its own for as long as it uses the table, so
// interface selection can replace the copy at any time and the last holder
// frees it. The spin lock InterfaceLock covers only the load of the pointer
// together with the increment, and the swap on replacement.
#pragma once

#include "driver/driver.h"

// Makes a copy of Source (its own Length bytes) holding one reference, the one
// the extension will own. AvailableBytes is how many bytes the producer of
// Source actually holds (the URB's room); a copy whose Length or pipe count
// does not fit is refused. Returns the copy, or NULL with *Status set
// (STATUS_NO_MEMORY, or STATUS_UNSUCCESSFUL for an inconsistent record).
// IRQL <= DISPATCH_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL)
PUSBD_INTERFACE_INFORMATION CreateInterfaceCopy(const USBD_INTERFACE_INFORMATION *Source,
                                                ULONG AvailableBytes, NTSTATUS *Status);

// The current copy with a reference taken for the caller, or NULL when no
// interface is selected. Every non-NULL result must be given back with
// ReleaseInterfaceInfo. IRQL <= DISPATCH_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL)
PUSBD_INTERFACE_INFORMATION AcquireInterfaceInfo(PDEVICE_EXTENSION Extension);

// Drops one reference; the last one frees the copy. IRQL <= DISPATCH_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID ReleaseInterfaceInfo(PUSBD_INTERFACE_INFORMATION Info);

// Stores NewInfo (which carries the extension's reference, or NULL) as the
// current copy and drops the extension's reference on the one it replaces.
// IRQL <= DISPATCH_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID ReplaceInterfaceInfo(PDEVICE_EXTENSION Extension, PUSBD_INTERFACE_INFORMATION NewInfo);
