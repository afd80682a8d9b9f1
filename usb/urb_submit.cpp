// URB submission: every request waits for the bus within a bound, then is
// cancelled and waited for. Requests on the default pipe and the transfer
// commands are bounded by CONTROL_TIMEOUT_MIN_MS or TransferTimeoutMs,
// whichever is longer; the data request of a single transfer by
// TransferTimeoutMs alone.
#include "usb/usb_requests.h"

volatile LONGLONG TransferTimeoutMs;

// Any IRQL: one aligned 64-bit load.
LONGLONG TransferTimeoutRelative(VOID) {
    return ReadNoFence64(&TransferTimeoutMs) * -10000LL;
}

// Any IRQL: one aligned 64-bit load.
LONGLONG ControlTimeoutRelative(VOID) {
    LONGLONG ms = ReadNoFence64(&TransferTimeoutMs);
    if (ms < CONTROL_TIMEOUT_MIN_MS) ms = CONTROL_TIMEOUT_MIN_MS;
    return ms * -10000LL;
}

// PASSIVE_LEVEL. Sends Urb down on an IRP of the driver's own (not one the
// I/O manager builds and frees on completion, so that it stays valid for
// IoCancelIrp however the completion races the end of the wait), sends
// transfer command 3 right after when SendEndCommand is set, waits at most
// Timeout (relative, 100 ns units; 0 or more: a poll), then cancels the
// request and waits for its return. *TimedOut tells whether the wait ran
// out. Returns the request's own final status, or STATUS_INSUFFICIENT_RESOURCES
// when no IRP can be had (nothing sent).
_IRQL_requires_(PASSIVE_LEVEL)
static NTSTATUS SendUrbAndWait(PDEVICE_OBJECT DeviceObject, PURB Urb, LONGLONG Timeout,
                               PIRP ClientIrp, BOOLEAN SendEndCommand, BOOLEAN *TimedOut) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    PDEVICE_OBJECT lower = GetDeviceExtension(DeviceObject)->LowerDeviceObject;
    *TimedOut = FALSE;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);

    PIRP irp = IoAllocateIrp((CCHAR)(lower->StackSize + 1), FALSE);
    if (irp == NULL) {
        // The begin went out: the end still follows, though no data request did.
        if (SendEndCommand) (VOID) SendTransferCommand(DeviceObject, ClientIrp, TRANSFER_COMMAND_END);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = Urb;
    // ForwardAndWaitCompletion hands the IRP back to this thread, which frees it.
    IoSetCompletionRoutine(irp, ForwardAndWaitCompletion, &event, TRUE, TRUE, TRUE);

    const NTSTATUS sent = IoCallDriver(lower, irp);

    // Right after the data request has been handed over, whatever it returned.
    if (SendEndCommand) (VOID) SendTransferCommand(DeviceObject, ClientIrp, TRANSFER_COMMAND_END);

    if (sent == STATUS_PENDING) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = Timeout;
        const NTSTATUS waited =
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
        if (waited == STATUS_TIMEOUT) {
            *TimedOut = TRUE;
            KIRQL oldIrql = KfRaiseIrql(APC_LEVEL);
            (VOID) IoCancelIrp(irp);
            KeLowerIrql(oldIrql);
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        }
    }
    // Came back in every case (at once, or signalled): the IRP is ours again.
    const NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return status;
}

// PASSIVE_LEVEL.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS SubmitUrbSync(PDEVICE_OBJECT DeviceObject, PURB Urb) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
    BOOLEAN timedOut;
    const NTSTATUS status =
        SendUrbAndWait(DeviceObject, Urb, ControlTimeoutRelative(), NULL, FALSE, &timedOut);
    const USBD_STATUS usbdStatus = Urb->UrbHeader.Status;
    // A request the driver gave up on and cancelled is no USB error of the
    // camera's: LastUsbdStatus stays as it was. One that came back done
    // before the cancel took hold counts as done.
    if (timedOut && (!NT_SUCCESS(status) || USBD_ERROR(usbdStatus))) return STATUS_IO_TIMEOUT;

    // Any client thread may be here at once: last writer wins, one store.
    if (USBD_ERROR(usbdStatus)) WriteNoFence(&extension->LastUsbdStatus, usbdStatus);

    if (!NT_SUCCESS(status)) return status;
    if (USBD_ERROR(usbdStatus)) return STATUS_UNSUCCESSFUL;
    return status;
}

// PASSIVE_LEVEL.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS SubmitUrbWithTimeout(PDEVICE_OBJECT DeviceObject, PURB Urb, PIRP ClientIrp,
                              BOOLEAN SendEndCommand) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
    BOOLEAN timedOut;
    const NTSTATUS sent = SendUrbAndWait(DeviceObject, Urb, TransferTimeoutRelative(), ClientIrp,
                                         SendEndCommand, &timedOut);
    const USBD_STATUS usbdStatus = Urb->UrbHeader.Status;
    if (USBD_ERROR(usbdStatus)) WriteNoFence(&extension->LastUsbdStatus, usbdStatus);

    // After a time-out only the URB's USB status enters the result, not the
    // cancelled request's own status.
    const NTSTATUS result = timedOut ? STATUS_TIMEOUT : sent;
    if (!NT_SUCCESS(result)) return result;
    if (USBD_ERROR(usbdStatus)) return STATUS_UNSUCCESSFUL;
    return result;
}
