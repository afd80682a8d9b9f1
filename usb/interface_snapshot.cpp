// Reference-counted copies of the selected interface (see interface_snapshot.h).
#include "usb/interface_snapshot.h"

// The pool block behind an InterfaceInfo pointer.
typedef struct InterfaceCopy {
    volatile LONG References;
    USBD_INTERFACE_INFORMATION Info;  // Info.Length bytes follow from here
} InterfaceCopy;

#define INTERFACE_HEADER_BYTES ((ULONG)FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes))

static InterfaceCopy *CopyFromInfo(PUSBD_INTERFACE_INFORMATION Info) {
    return CONTAINING_RECORD(Info, InterfaceCopy, Info);
}

_IRQL_requires_max_(DISPATCH_LEVEL)
PUSBD_INTERFACE_INFORMATION CreateInterfaceCopy(const USBD_INTERFACE_INFORMATION *Source,
                                                ULONG AvailableBytes, NTSTATUS *Status) {
    DRV_IRQL_MAX(DISPATCH_LEVEL);
    const ULONG length = Source->Length;
    if (length < INTERFACE_HEADER_BYTES || length > AvailableBytes ||
        Source->NumberOfPipes > (length - INTERFACE_HEADER_BYTES) / sizeof(USBD_PIPE_INFORMATION)) {
        *Status = STATUS_UNSUCCESSFUL;
        return NULL;
    }
    const ULONG blockBytes = (ULONG)FIELD_OFFSET(InterfaceCopy, Info) + length;
    InterfaceCopy *copy = (InterfaceCopy *)DrvAllocatePool(blockBytes);
    if (copy == NULL) {
        *Status = STATUS_NO_MEMORY;
        return NULL;
    }
    copy->References = 1;
    RtlCopyMemory(&copy->Info, Source, length);
    *Status = STATUS_SUCCESS;
    return &copy->Info;
}

_IRQL_requires_max_(DISPATCH_LEVEL)
PUSBD_INTERFACE_INFORMATION AcquireInterfaceInfo(PDEVICE_EXTENSION Extension) {
    DRV_IRQL_MAX(DISPATCH_LEVEL);
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Extension->InterfaceLock);
    PUSBD_INTERFACE_INFORMATION info = Extension->InterfaceInfo;
    if (info != NULL) InterlockedIncrement(&CopyFromInfo(info)->References);
    KeReleaseSpinLock(&Extension->InterfaceLock, oldIrql);
    return info;
}

_IRQL_requires_max_(DISPATCH_LEVEL)
VOID ReleaseInterfaceInfo(PUSBD_INTERFACE_INFORMATION Info) {
    DRV_IRQL_MAX(DISPATCH_LEVEL);
    if (Info == NULL) return;
    InterfaceCopy *copy = CopyFromInfo(Info);
    if (InterlockedDecrement(&copy->References) == 0) DrvFreePool(copy);
}

_IRQL_requires_max_(DISPATCH_LEVEL)
VOID ReplaceInterfaceInfo(PDEVICE_EXTENSION Extension, PUSBD_INTERFACE_INFORMATION NewInfo) {
    DRV_IRQL_MAX(DISPATCH_LEVEL);
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Extension->InterfaceLock);
    PUSBD_INTERFACE_INFORMATION old = Extension->InterfaceInfo;
    Extension->InterfaceInfo = NewInfo;
    KeReleaseSpinLock(&Extension->InterfaceLock, oldIrql);
    ReleaseInterfaceInfo(old);
}

_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS AcquirePipe(PDEVICE_EXTENSION Extension, ULONG PipeIndex, ULONG Kinds,
                     PUSBD_INTERFACE_INFORMATION *Info, PUSBD_PIPE_INFORMATION *Pipe) {
    DRV_IRQL_MAX(DISPATCH_LEVEL);
    PUSBD_INTERFACE_INFORMATION info = AcquireInterfaceInfo(Extension);
    if (info == NULL) return STATUS_UNSUCCESSFUL;
    NTSTATUS status = STATUS_SUCCESS;
    PUSBD_PIPE_INFORMATION pipe = NULL;
    if (PipeIndex >= info->NumberOfPipes) {
        status = STATUS_INVALID_PARAMETER;
    } else {
        pipe = &info->Pipes[PipeIndex];
        if (Kinds != PIPE_KINDS_ANY_FOR_PIPE_REQUEST) {
            const ULONG kind = (ULONG)pipe->PipeType;
            if (kind >= 32 || (Kinds & (1u << kind)) == 0) status = STATUS_INVALID_PARAMETER;
            else if (pipe->PipeHandle == NULL) status = STATUS_UNSUCCESSFUL;
        }
    }
    if (!NT_SUCCESS(status)) {
        ReleaseInterfaceInfo(info);
        return status;
    }
    *Info = info;
    *Pipe = pipe;
    return STATUS_SUCCESS;
}
