// URB submission: every request waits for the bus within a bound, then is
// cancelled and waited for. Requests on the default pipe are bounded by
// CONTROL_TIMEOUT_MIN_MS or TransferTimeoutMs, whichever is longer; the
// transfer layer bounds the data request of a single transfer by
// TransferTimeoutMs alone (SendUrb, WaitForUrb).
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

// IRQL <= DISPATCH_LEVEL, any processor. Only signals the waiting thread; the
// request stays with this driver.
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS ForwardAndWaitCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    DRV_IRQL_MAX(DISPATCH_LEVEL);
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// PASSIVE_LEVEL. The IRP is the driver's own (not one the I/O manager builds
// and frees on completion), so that it stays valid for IoCancelIrp however the
// completion races the end of the wait.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS SendUrb(PDEVICE_OBJECT DeviceObject, PURB Urb, UrbInFlight *Request) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    PDEVICE_OBJECT lower = GetDeviceExtension(DeviceObject)->LowerDeviceObject;
    KeInitializeEvent(&Request->Done, NotificationEvent, FALSE);

    PIRP irp = IoAllocateIrp((CCHAR)(lower->StackSize + 1), FALSE);
    Request->Irp = irp;
    if (irp == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = Urb;
    // ForwardAndWaitCompletion hands the IRP back to this thread, which frees it.
    IoSetCompletionRoutine(irp, ForwardAndWaitCompletion, &Request->Done, TRUE, TRUE, TRUE);

    Request->Sent = IoCallDriver(lower, irp);
    return STATUS_SUCCESS;
}

// PASSIVE_LEVEL, the thread that sent the request.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS WaitForUrb(UrbInFlight *Request, LONGLONG Timeout, BOOLEAN *TimedOut) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    PIRP irp = Request->Irp;
    *TimedOut = FALSE;
    if (Request->Sent == STATUS_PENDING) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = Timeout;
        const NTSTATUS waited =
            KeWaitForSingleObject(&Request->Done, Executive, KernelMode, FALSE, &timeout);
        if (waited == STATUS_TIMEOUT) {
            *TimedOut = TRUE;
            KIRQL oldIrql = KfRaiseIrql(APC_LEVEL);
            (VOID) IoCancelIrp(irp);
            KeLowerIrql(oldIrql);
            KeWaitForSingleObject(&Request->Done, Executive, KernelMode, FALSE, NULL);
        }
    }
    // Came back in every case (at once, or signalled): the IRP is ours again.
    const NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    Request->Irp = NULL;
    return status;
}

// PASSIVE_LEVEL.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS SubmitUrbSync(PDEVICE_OBJECT DeviceObject, PURB Urb) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
    BOOLEAN timedOut = FALSE;
    UrbInFlight request;
    NTSTATUS status = SendUrb(DeviceObject, Urb, &request);
    if (NT_SUCCESS(status)) status = WaitForUrb(&request, ControlTimeoutRelative(), &timedOut);
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
