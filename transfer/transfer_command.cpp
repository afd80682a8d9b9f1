// The 64-byte transfer command the camera expects on pipe 0 around a read,
// and the timed submission of the data request it frames.
#include "transfer/transfer_command.h"
#include "usb/interface_snapshot.h"
#include "usb/usb_requests.h"

#define TRANSFER_COMMAND_BYTES 64

// PASSIVE_LEVEL, a client's thread. The packet's bytes after the command are
// zero. The command is bounded as every request on the default pipe is (a
// camera that never takes it, NAKing its pipe 0 for ever, would otherwise
// hold the client's thread and, through the I/O gate, the device's removal),
// and by no less than CONTROL_TIMEOUT_MIN_MS, so that a transfer time-out of
// 0 still lets a framed read's commands reach the camera.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS SendTransferCommand(PDEVICE_OBJECT DeviceObject, PIRP Irp, UCHAR Command) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    PUSBD_INTERFACE_INFORMATION info;
    PUSBD_PIPE_INFORMATION pipe;
    // Pipe 0 whatever its kind; without it, or without its handle, there is
    // nowhere to send the command.
    NTSTATUS status = AcquirePipe(GetDeviceExtension(DeviceObject), 0,
                                  PIPE_KINDS_ANY_FOR_PIPE_REQUEST, &info, &pipe);
    if (!NT_SUCCESS(status)) return STATUS_UNSUCCESSFUL;

    PUCHAR packet = NULL;
    PURB urb = NULL;

    if (pipe->PipeHandle == NULL) {
        status = STATUS_UNSUCCESSFUL;
        goto Done;
    }
    packet = (PUCHAR)DrvAllocatePool(TRANSFER_COMMAND_BYTES);
    urb = (PURB)DrvAllocatePool(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
    if (packet == NULL || urb == NULL) {
        status = STATUS_NO_MEMORY;
        goto Done;
    }
    RtlZeroMemory(packet, TRANSFER_COMMAND_BYTES);
    packet[0] = Command;

    FillBulkUrb(urb, pipe, USB_ENDPOINT_DIRECTION_IN(pipe->EndpointAddress) ? TRUE : FALSE, packet,
                NULL, TRANSFER_COMMAND_BYTES);

    status = SubmitUrbSync(DeviceObject, urb);
    if (NT_SUCCESS(status)) {
        // The count belongs to the client's request: never more than its
        // output buffer holds.
        ULONG sent = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
        const ULONG outputLength =
            IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.OutputBufferLength;
        if (sent > outputLength) sent = outputLength;
        Irp->IoStatus.Information = sent;
    }
    // A lower driver's own time-out is success-class; the client gets the error.
    if (status == STATUS_TIMEOUT) status = STATUS_IO_TIMEOUT;

Done:
    if (urb != NULL) DrvFreePool(urb);
    if (packet != NULL) DrvFreePool(packet);
    ReleaseInterfaceInfo(info);
    return status;
}

// PASSIVE_LEVEL.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS SubmitUrbWithTimeout(PDEVICE_OBJECT DeviceObject, PURB Urb, PIRP ClientIrp,
                              BOOLEAN SendEndCommand) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
    UrbInFlight request;
    const NTSTATUS sent = SendUrb(DeviceObject, Urb, FALSE, &request);
    // Right after the data request has been handed over, whatever it returned.
    // When no IRP could be had the begin still went out: the end follows it,
    // though no data request did.
    if (SendEndCommand) (VOID) SendTransferCommand(DeviceObject, ClientIrp, TRANSFER_COMMAND_END);

    BOOLEAN timedOut = FALSE;
    const NTSTATUS status =
        NT_SUCCESS(sent) ? WaitForUrb(&request, TransferTimeoutRelative(), &timedOut) : sent;
    const USBD_STATUS usbdStatus = Urb->UrbHeader.Status;
    if (USBD_ERROR(usbdStatus)) WriteNoFence(&extension->LastUsbdStatus, usbdStatus);

    // After a time-out only the URB's USB status enters the result, not the
    // cancelled request's own status.
    const NTSTATUS result = timedOut ? STATUS_TIMEOUT : status;
    if (!NT_SUCCESS(result)) return result;
    if (USBD_ERROR(usbdStatus)) return STATUS_UNSUCCESSFUL;
    return result;
}
