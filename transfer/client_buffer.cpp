// Guard for device-to-host transfers into a client's data buffer.
#include "transfer/client_buffer.h"

// The platform's routine; the emulated kernel models client page protection
// and provides it too.
#define USBCAM_SECURE_CLIENT_BUFFERS 1

NTSTATUS SecureClientBufferForDeviceWrites(PIRP Irp, BOOLEAN DeviceToHost, PVOID *Secured) {
    *Secured = NULL;
    PMDL mdl = Irp->MdlAddress;
    if (!DeviceToHost || mdl == NULL || Irp->RequestorMode == KernelMode) return STATUS_SUCCESS;
    const ULONG code = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode;
    if (METHOD_FROM_CTL_CODE(code) != METHOD_IN_DIRECT) return STATUS_SUCCESS;
#if defined(USBCAM_SECURE_CLIENT_BUFFERS)
    // The MDL's virtual address is the client's own address of the buffer.
    PVOID secured = (PVOID)MmSecureVirtualMemory(MmGetMdlVirtualAddress(mdl), MmGetMdlByteCount(mdl),
                                           PAGE_READWRITE);
    if (secured == NULL) return STATUS_ACCESS_VIOLATION;
    *Secured = secured;
#endif
    return STATUS_SUCCESS;
}

VOID UnsecureClientBuffer(PVOID Secured) {
#if defined(USBCAM_SECURE_CLIENT_BUFFERS)
    if (Secured != NULL) MmUnsecureVirtualMemory((HANDLE)Secured);
#else
    UNREFERENCED_PARAMETER(Secured);
#endif
}
