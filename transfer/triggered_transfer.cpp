// Triggered single transfer over a bulk or interrupt pipe: one URB over the
// client's buffer, bounded by TransferTimeoutMs and cancelled on expiry; a read
// of device-to-host pipe 2 is framed by the camera's transfer commands (begin and end).
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

    PipeIndexRecord input;
    RtlCopyMemory(&input, Irp->AssociatedIrp.SystemBuffer, sizeof(input));
    const ULONG pipeIndex = input.PipeIndex;
    PUSBD_INTERFACE_INFORMATION info;
    PUSBD_PIPE_INFORMATION pipe;
    NTSTATUS status = AcquirePipe(GetDeviceExtension(DeviceObject), pipeIndex,
                                  PIPE_KINDS_BULK_OR_INTERRUPT, &info, &pipe);
    if (!NT_SUCCESS(status)) return status;

    PVOID secured = NULL;
    PURB urb = NULL;
    BOOLEAN deviceToHost;
    BOOLEAN framed = FALSE;

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
        (VOID) SendTransferCommand(DeviceObject, Irp, TRANSFER_COMMAND_BEGIN);
        framed = TRUE;
    }
    FillBulkUrb(urb, pipe, deviceToHost, NULL, Irp->MdlAddress, length);

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
