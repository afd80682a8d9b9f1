// The one way the driver reaches memory an MDL describes through a system
// address: every mapping it makes is kernel-mode, no-execute and at normal
// priority, and fails with NULL rather than bug-checking.
#pragma once

#include "platform/platform.h"

// The system address of the memory Mdl describes: the MDL's MappedSystemVa
// when it is mapped already or describes non-paged pool, otherwise a new
// mapping that lasts as long as the MDL (for a request's Irp->MdlAddress: until
// the request is completed). NULL for no MDL, or when the mapping fails
// (system address space is short: the caller fails its request with
// STATUS_INSUFFICIENT_RESOURCES). IRQL <= DISPATCH_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL)
FORCEINLINE PVOID GetMdlSystemAddress(PMDL Mdl) {
    DRV_IRQL_MAX(DISPATCH_LEVEL);
    if (Mdl == NULL) return NULL;
    return MmGetSystemAddressForMdlSafe(Mdl, (MM_PAGE_PRIORITY)(NormalPagePriority | MdlMappingNoExecute));
}
