// System address of a direct-method request's data buffer.
#pragma once

#include "driver/driver.h"

// The system address of the buffer described by Irp->MdlAddress: the MDL's
// MappedSystemVa when it is mapped or from non-paged pool, otherwise a new
// kernel-mode mapping that belongs to the request and ends with it. NULL when
// the request has no data buffer or the mapping fails (system address space
// is short: the caller fails the request with STATUS_INSUFFICIENT_RESOURCES).
// IRQL <= DISPATCH_LEVEL.
_IRQL_requires_(PASSIVE_LEVEL)
PVOID GetDataBufferAddress(PIRP Irp);
