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

// Pipe kinds a caller of AcquirePipe accepts: bits (1 << USBD_PIPE_TYPE).
#define PIPE_KINDS_BULK_OR_INTERRUPT ((1u << UsbdPipeTypeBulk) | (1u << UsbdPipeTypeInterrupt))
#define PIPE_KINDS_ISOCHRONOUS (1u << UsbdPipeTypeIsochronous)
// Any pipe of the table, as a pipe request (abort, reset) names it: neither
// its kind nor its handle is looked at.
#define PIPE_KINDS_ANY_FOR_PIPE_REQUEST 0u

// The one pipe lookup: entry PipeIndex of the selected interface's table,
// with a reference on the table taken for the caller, who gives it back with
// ReleaseInterfaceInfo once nothing refers to the entry. Refused, with no
// reference held: STATUS_UNSUCCESSFUL when no interface is selected;
// STATUS_INVALID_PARAMETER for an index past the table or a pipe whose kind
// Kinds does not accept; STATUS_UNSUCCESSFUL for such a pipe without a
// handle. IRQL <= DISPATCH_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS AcquirePipe(PDEVICE_EXTENSION Extension, ULONG PipeIndex, ULONG Kinds,
                     PUSBD_INTERFACE_INFORMATION *Info, PUSBD_PIPE_INFORMATION *Pipe);
