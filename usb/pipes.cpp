// Pipe requests (abort, reset) and the bulk or interrupt transfer's URB.
#include "usb/interface_snapshot.h"
#include "usb/usb_requests.h"

// _URB_PIPE_REQUEST without its trailing Reserved field, as bus drivers before
// interface version 0x101 expect it.
#define PIPE_REQUEST_LENGTH_LEGACY 36
#define USBDI_VERSION_FULL_PIPE_REQUEST 0x101

static USHORT PipeRequestLengthForBus(VOID) {
    USBD_VERSION_INFORMATION version;
    RtlZeroMemory(&version, sizeof(version));
    USBD_GetUSBDIVersion(&version);
    return version.USBDI_Version < USBDI_VERSION_FULL_PIPE_REQUEST
               ? (USHORT)PIPE_REQUEST_LENGTH_LEGACY
               : (USHORT)sizeof(struct _URB_PIPE_REQUEST);
}

_IRQL_requires_(PASSIVE_LEVEL)
static NTSTATUS SendPipeRequest(PDEVICE_OBJECT DeviceObject, USHORT Function,
                                USBD_PIPE_HANDLE PipeHandle, USHORT Length,
                                BOOLEAN AtRemoval = FALSE) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    PURB urb = (PURB)DrvAllocatePool(sizeof(struct _URB_PIPE_REQUEST));
    if (urb == NULL) return STATUS_INSUFFICIENT_RESOURCES;

    RtlZeroMemory(urb, sizeof(struct _URB_PIPE_REQUEST));
    urb->UrbHeader.Length = Length;
    urb->UrbHeader.Function = Function;
    urb->UrbPipeRequest.PipeHandle = PipeHandle;
    NTSTATUS status =
        AtRemoval ? SubmitUrbAtRemoval(DeviceObject, urb) : SubmitUrbSync(DeviceObject, urb);
    DrvFreePool(urb);
    return status;
}

// PASSIVE_LEVEL. The bus driver may complete the abort before the requests it
// cancels have come back: a caller that frees what those requests use waits
// for their completions first (requests admitted through the I/O gate are
// waited for by removal).
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS AbortPipe(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE PipeHandle) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    return SendPipeRequest(DeviceObject, URB_FUNCTION_ABORT_PIPE, PipeHandle,
                           PipeRequestLengthForBus());
}

// PASSIVE_LEVEL, the removal's thread once the gates are closed.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS AbortPipeAtRemoval(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE PipeHandle) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    return SendPipeRequest(DeviceObject, URB_FUNCTION_ABORT_PIPE, PipeHandle,
                           PipeRequestLengthForBus(), TRUE);
}

// PASSIVE_LEVEL. Resets the pipe of the selected interface at PipeIndex.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS ResetPipeByIndex(PDEVICE_OBJECT DeviceObject, ULONG PipeIndex) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    PUSBD_INTERFACE_INFORMATION info;
    PUSBD_PIPE_INFORMATION pipe;
    NTSTATUS status = AcquirePipe(GetDeviceExtension(DeviceObject), PipeIndex,
                                  PIPE_KINDS_ANY_FOR_PIPE_REQUEST, &info, &pipe);
    if (!NT_SUCCESS(status)) return status;
    status = SendPipeRequest(DeviceObject, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL,
                             pipe->PipeHandle, PipeRequestLengthForBus());
    ReleaseInterfaceInfo(info);
    return status;
}

// PASSIVE_LEVEL. Pipe is an entry of a table the caller holds a reference on.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS ResetPipe(PDEVICE_OBJECT DeviceObject, const USBD_PIPE_INFORMATION *Pipe) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    return SendPipeRequest(DeviceObject, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL,
                           Pipe->PipeHandle, (USHORT)sizeof(struct _URB_PIPE_REQUEST));
}

VOID FillBulkUrb(PURB Urb, const USBD_PIPE_INFORMATION *Pipe, BOOLEAN DeviceToHost, PVOID Buffer,
                 PMDL Mdl, ULONG Length) {
    struct _URB_BULK_OR_INTERRUPT_TRANSFER *transfer = &Urb->UrbBulkOrInterruptTransfer;
    RtlZeroMemory(transfer, sizeof(*transfer));
    transfer->Hdr.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    transfer->Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    transfer->PipeHandle = Pipe->PipeHandle;
    transfer->TransferFlags = USBD_SHORT_TRANSFER_OK;
    if (DeviceToHost) transfer->TransferFlags |= USBD_TRANSFER_DIRECTION_IN;
    transfer->TransferBufferLength = Length;
    transfer->TransferBuffer = Buffer;
    transfer->TransferBufferMDL = Mdl;
    transfer->UrbLink = NULL;
}
