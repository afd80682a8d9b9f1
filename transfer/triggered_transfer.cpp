// Triggered single transfer over a bulk or interrupt pipe: one URB over the
// client's buffer, bounded by TransferTimeoutMs and cancelled on expiry; a read
// of device-to-host pipe 2 is framed by the camera's transfer commands 2 and 3.
#include "usb/client_buffer.h"
#include "transfer/transfer.h"
#include "transfer/transfer_command.h"
#include "transfer/transfer_internal.h"
#include "usb/interface_snapshot.h"
#include "usb/usb_requests.h"

// The pipe whose reads the camera wants framed by transfer commands.
#define TRIGGERED_PIPE_INDEX 2

// PASSIVE_LEVEL, the client's thread. Holds a reference on the pipe table for
// as long as the transfer uses a pipe entry.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS TriggeredTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const ULONG length = stack->Parameters.DeviceIoControl.OutputBufferLength;

    PUSBD_INTERFACE_INFORMATION info = AcquireInterfaceInfo(GetDeviceExtension(DeviceObject));
    if (info == NULL) return STATUS_UNSUCCESSFUL;

    NTSTATUS status;
    PVOID secured = NULL;
    PURB urb = NULL;
    PipeIndexRecord input;
    RtlCopyMemory(&input, Irp->AssociatedIrp.SystemBuffer, sizeof(input));
    const ULONG pipeIndex = input.PipeIndex;
    const USBD_PIPE_INFORMATION *pipe = NULL;
    BOOLEAN deviceToHost;
    BOOLEAN framed = FALSE;

    if (pipeIndex >= info->NumberOfPipes) {
        status = STATUS_INVALID_PARAMETER;
        goto Done;
    }
    pipe = &info->Pipes[pipeIndex];
    if (pipe->PipeType != UsbdPipeTypeBulk && pipe->PipeType != UsbdPipeTypeInterrupt) {
        status = STATUS_INVALID_PARAMETER;
        goto Done;
    }
    if (pipe->PipeHandle == NULL) {
        status = STATUS_UNSUCCESSFUL;
        goto Done;
    }
    if (length > pipe->MaximumTransferSize) {
        status = STATUS_INVALID_PARAMETER;
        goto Done;
    }
    deviceToHost = USB_ENDPOINT_DIRECTION_IN(pipe->EndpointAddress) ? TRUE : FALSE;
    status = SecureClientBufferForDeviceWrites(Irp, deviceToHost, &secured);
    if (!NT_SUCCESS(status)) goto Done;

    // The URB first: a begin command sent and then no data request for want
    // of memory would leave the camera waiting for an end that never comes.
    urb = (PURB)DrvAllocatePool(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
    if (urb == NULL) {
        status = STATUS_NO_MEMORY;
        goto Done;
    }
    if (deviceToHost && pipeIndex == TRIGGERED_PIPE_INDEX) {
        (VOID) SendTransferCommand(DeviceObject, Irp, 2);
        framed = TRUE;
    }
    {
        struct _URB_BULK_OR_INTERRUPT_TRANSFER *transfer = &urb->UrbBulkOrInterruptTransfer;
        RtlZeroMemory(transfer, sizeof(*transfer));
        transfer->Hdr.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
        transfer->Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
        transfer->PipeHandle = pipe->PipeHandle;
        transfer->TransferFlags = USBD_SHORT_TRANSFER_OK;
        if (deviceToHost) transfer->TransferFlags |= USBD_TRANSFER_DIRECTION_IN;
        transfer->TransferBufferLength = length;
        transfer->TransferBuffer = NULL;
        transfer->TransferBufferMDL = Irp->MdlAddress;
        transfer->UrbLink = NULL;
    }

    status = SubmitUrbWithTimeout(DeviceObject, urb, Irp, framed);
    if (NT_SUCCESS(status)) {
        Irp->IoStatus.Information = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    }

Done:
    if (urb != NULL) DrvFreePool(urb);
    UnsecureClientBuffer(secured);
    ReleaseInterfaceInfo(info);
    if (status == STATUS_TIMEOUT) status = STATUS_IO_TIMEOUT;
    return status;
}
