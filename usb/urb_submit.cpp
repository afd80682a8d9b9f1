// URB submission, synchronous without limit or bounded by the driver-wide
// transfer time-out.
#include "usb/usb_requests.h"

volatile LONGLONG TransferTimeoutMs;

// PASSIVE_LEVEL. The request is built and freed by the platform; the event and
// status block live on this thread's stack for the length of the call.
NTSTATUS SubmitUrbSync(PDEVICE_OBJECT DeviceObject, PURB Urb) {
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
    KEVENT event;
    IO_STATUS_BLOCK ioStatus;

    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB,
                                             extension->LowerDeviceObject, NULL, 0, NULL, 0, TRUE,
                                             &event, &ioStatus);
    if (irp == NULL) return STATUS_INSUFFICIENT_RESOURCES;

    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = Urb;

    NTSTATUS status = IoCallDriver(extension->LowerDeviceObject, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, NULL);
        status = ioStatus.Status;
    }

    const USBD_STATUS usbdStatus = Urb->UrbHeader.Status;
    // Any client thread may be here at once: last writer wins, one store.
    if (USBD_ERROR(usbdStatus)) WriteNoFence(&extension->LastUsbdStatus, usbdStatus);

    if (!NT_SUCCESS(status)) return status;
    if (USBD_ERROR(usbdStatus)) return STATUS_UNSUCCESSFUL;
    return status;
}

// Completion of the data request: hands the IRP back to the submitter, which
// frees it. Up to DISPATCH_LEVEL, any processor, possibly inside IofCallDriver
// or IoCancelIrp.
static NTSTATUS TimedSubmitCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Any IRQL: one aligned 64-bit load.
LONGLONG TransferTimeoutRelative(VOID) {
    return ReadNoFence64(&TransferTimeoutMs) * -10000LL;
}

// PASSIVE_LEVEL. The IRP is the driver's own (not one the I/O manager builds
// and frees on completion), so that it stays valid for IoCancelIrp however the
// completion races the end of the timed wait; it is freed here once it has
// come back.
NTSTATUS SubmitUrbWithTimeout(PDEVICE_OBJECT DeviceObject, PURB Urb, PIRP ClientIrp,
                              BOOLEAN SendEndCommand) {
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
    PDEVICE_OBJECT lower = extension->LowerDeviceObject;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);

    PIRP irp = IoAllocateIrp((CCHAR)(lower->StackSize + 1), FALSE);
    if (irp == NULL) {
        // The begin went out: the end still follows, though no data request did.
        if (SendEndCommand) (VOID) SendTransferCommand(DeviceObject, ClientIrp, 3);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = Urb;
    IoSetCompletionRoutine(irp, TimedSubmitCompletion, &event, TRUE, TRUE, TRUE);

    NTSTATUS s = IoCallDriver(lower, irp);

    // Right after the data request has been handed over, whatever it returned.
    if (SendEndCommand) (VOID) SendTransferCommand(DeviceObject, ClientIrp, 3);

    NTSTATUS w = STATUS_SUCCESS;
    if (s == STATUS_PENDING) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = TransferTimeoutRelative();
        w = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
        if (w == STATUS_TIMEOUT) {
            KIRQL oldIrql = KfRaiseIrql(APC_LEVEL);
            (VOID) IoCancelIrp(irp);
            KeLowerIrql(oldIrql);
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        }
    }
    // Came back in every case (at once, or signalled): the IRP is ours again.
    s = irp->IoStatus.Status;
    IoFreeIrp(irp);

    const USBD_STATUS usbdStatus = Urb->UrbHeader.Status;
    if (USBD_ERROR(usbdStatus)) WriteNoFence(&extension->LastUsbdStatus, usbdStatus);

    const NTSTATUS r = (w != STATUS_SUCCESS) ? w : s;
    if (!NT_SUCCESS(r)) return r;
    if (USBD_ERROR(usbdStatus)) return STATUS_UNSUCCESSFUL;
    return r;
}
