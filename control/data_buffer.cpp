// System address of a direct-method request's data buffer.
#include "control/data_buffer.h"

_IRQL_requires_(PASSIVE_LEVEL)
PVOID GetDataBufferAddress(PIRP Irp) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    PMDL mdl = Irp->MdlAddress;
    if (mdl == NULL) return NULL;
    // Answers MappedSystemVa when the MDL is mapped or describes non-paged
    // pool; otherwise maps it, and answers NULL when that fails.
    return MmGetSystemAddressForMdlSafe(mdl, (MM_PAGE_PRIORITY)(NormalPagePriority | MdlMappingNoExecute));
}
