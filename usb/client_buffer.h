// Guard for device-to-host transfers into a client's data buffer.
//
// METHOD_IN_DIRECT codes hand the driver a buffer the I/O manager locked for
// reading only: the client may have passed a read-only page (a view of a file
// it may only read). A transfer that writes into such a buffer first secures
// the client's range as writable, which fails, without raising an exception,
// for pages the client could not write itself; the securing also keeps the
// client from making the range read-only or freeing it while the transfer
// runs.
#pragma once

#include "driver/driver.h"

// PASSIVE_LEVEL, the client's thread (the range is the client's address
// space). Nothing to secure (*Secured stays NULL) for host-to-device
// transfers, requests without a data buffer, kernel-mode requestors and codes
// whose buffer was locked for writing. STATUS_ACCESS_VIOLATION when the range
// is not writable by the client; nothing has been sent then.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS SecureClientBufferForDeviceWrites(PIRP Irp, BOOLEAN DeviceToHost, PVOID *Secured);

// Gives back what SecureClientBufferForDeviceWrites secured (NULL: nothing).
// PASSIVE_LEVEL, the same thread.
_IRQL_requires_(PASSIVE_LEVEL)
VOID UnsecureClientBuffer(PVOID Secured);
