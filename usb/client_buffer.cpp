// Guard for device-to-host transfers into a client's data buffer.
#include "usb/client_buffer.h"

_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS SecureClientBufferForDeviceWrites(PIRP Irp, BOOLEAN DeviceToHost, PVOID *Secured) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    *Secured = NULL;
    PMDL mdl = Irp->MdlAddress;
    if (!DeviceToHost || mdl == NULL || Irp->RequestorMode == KernelMode) return STATUS_SUCCESS;
    const ULONG code = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode;
    if (METHOD_FROM_CTL_CODE(code) != METHOD_IN_DIRECT) return STATUS_SUCCESS;
    // The MDL's virtual address is the client's own address of the buffer.
    PVOID secured = (PVOID)MmSecureVirtualMemory(MmGetMdlVirtualAddress(mdl),
                                                 MmGetMdlByteCount(mdl), PAGE_READWRITE);
    if (secured == NULL) return STATUS_ACCESS_VIOLATION;
    *Secured = secured;
    return STATUS_SUCCESS;
}

_IRQL_requires_(PASSIVE_LEVEL)
VOID UnsecureClientBuffer(PVOID Secured) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    if (Secured != NULL) MmUnsecureVirtualMemory((HANDLE)Secured);
}
