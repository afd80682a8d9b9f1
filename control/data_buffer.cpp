// System address of a direct-method request's data buffer.
#include "control/data_buffer.h"

PVOID GetDataBufferAddress(PIRP Irp) {
    PMDL mdl = Irp->MdlAddress;
    if (mdl == NULL) return NULL;
    if (mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) {
        return mdl->MappedSystemVa;
    }
    return MmMapLockedPages(mdl, KernelMode);
}
