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

// ---------------------------------------------------------------------------
// The device's list of client requests a removal cancels

// Lists Request on its device unless removal has begun. TRUE when listed.
// PASSIVE_LEVEL. Removing is read under the lock the removal's walk takes
// after setting it: a request listed before the walk is seen by it, and
// one that comes after sees Removing.
_IRQL_requires_(PASSIVE_LEVEL)
static BOOLEAN ListRequest(UrbInFlight *Request) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    PDEVICE_EXTENSION extension = Request->Extension;
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&extension->ListedRequestsLock);
    const BOOLEAN removing = ReadUCharNoFence(&extension->Removing) != 0;
    if (!removing) {
        Request->NextListed = extension->ListedRequests;
        extension->ListedRequests = Request;
        Request->Listed = TRUE;
    }
    KeReleaseSpinLock(&extension->ListedRequestsLock, oldIrql);
    return !removing;
}

// The sender, once IoCallDriver has returned: a pending request becomes one
// the walk may cancel; TRUE when the walk passed it before, so that the
// sender must cancel it itself. PASSIVE_LEVEL.
_IRQL_requires_(PASSIVE_LEVEL)
static BOOLEAN MarkListedRequestPending(UrbInFlight *Request) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    PDEVICE_EXTENSION extension = Request->Extension;
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&extension->ListedRequestsLock);
    Request->Pending = TRUE;
    const BOOLEAN passed = Request->Visited;
    KeReleaseSpinLock(&extension->ListedRequestsLock, oldIrql);
    return passed;
}

// Takes a request that has come back off the list. When the walk is
// cancelling it now, waits for the walk's end: the IRP must outlive the
// walk's IoCancelIrp. PASSIVE_LEVEL.
_IRQL_requires_(PASSIVE_LEVEL)
static VOID UnlistRequest(UrbInFlight *Request) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    PDEVICE_EXTENSION extension = Request->Extension;
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&extension->ListedRequestsLock);
    for (UrbInFlight **link = &extension->ListedRequests; *link != NULL;
         link = &(*link)->NextListed) {
        if (*link == Request) {
            *link = Request->NextListed;
            break;
        }
    }
    Request->Listed = FALSE;
    const BOOLEAN walkHoldsIt =
        Request->Visited && Request->Pending && extension->CancelWalkActive;
    KeReleaseSpinLock(&extension->ListedRequestsLock, oldIrql);
    if (walkHoldsIt) {
        KeWaitForSingleObject(&extension->CancelWalkDone, Executive, KernelMode, FALSE, NULL);
    }
}

// PASSIVE_LEVEL; IoCancelIrp at APC_LEVEL, as every cancel of the driver's.
_IRQL_requires_(PASSIVE_LEVEL)
static VOID CancelOwnRequest(PIRP Irp) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    KIRQL oldIrql = KfRaiseIrql(APC_LEVEL);
    (VOID) IoCancelIrp(Irp);
    KeLowerIrql(oldIrql);
}

_IRQL_requires_(PASSIVE_LEVEL)
VOID CancelListedRequests(PDEVICE_EXTENSION Extension) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Extension->ListedRequestsLock);
    Extension->CancelWalkActive = TRUE;
    for (;;) {
        UrbInFlight *request = Extension->ListedRequests;
        while (request != NULL && request->Visited) request = request->NextListed;
        if (request == NULL) break;
        request->Visited = TRUE;
        // Not yet handed over: its sender cancels it once IoCallDriver has
        // returned (MarkListedRequestPending).
        if (!request->Pending) continue;
        // Its waiter keeps the IRP until this walk is over (UnlistRequest).
        PIRP irp = request->Irp;
        KeReleaseSpinLock(&Extension->ListedRequestsLock, oldIrql);
        CancelOwnRequest(irp);
        oldIrql = KeAcquireSpinLockRaiseToDpc(&Extension->ListedRequestsLock);
    }
    Extension->CancelWalkActive = FALSE;
    KeReleaseSpinLock(&Extension->ListedRequestsLock, oldIrql);
    KeSetEvent(&Extension->CancelWalkDone, IO_NO_INCREMENT, FALSE);
}

// ---------------------------------------------------------------------------
// Sending and waiting

// PASSIVE_LEVEL. The IRP is the driver's own (not one the I/O manager builds
// and frees on completion), so that it stays valid for IoCancelIrp however the
// completion races the end of the wait.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS SendUrb(PDEVICE_OBJECT DeviceObject, PURB Urb, BOOLEAN AtRemoval, UrbInFlight *Request) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
    PDEVICE_OBJECT lower = extension->LowerDeviceObject;
    KeInitializeEvent(&Request->Done, NotificationEvent, FALSE);
    Request->Extension = extension;
    Request->NextListed = NULL;
    Request->Listed = FALSE;
    Request->Pending = FALSE;
    Request->Visited = FALSE;

    PIRP irp = IoAllocateIrp((CCHAR)(lower->StackSize + 1), FALSE);
    Request->Irp = irp;
    if (irp == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    if (!AtRemoval && !ListRequest(Request)) {
        IoFreeIrp(irp);
        Request->Irp = NULL;
        return STATUS_DELETE_PENDING;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = Urb;
    // ForwardAndWaitCompletion hands the IRP back to this thread, which frees it.
    IoSetCompletionRoutine(irp, ForwardAndWaitCompletion, &Request->Done, TRUE, TRUE, TRUE);

    Request->Sent = IoCallDriver(lower, irp);
    // A removal whose walk passed this request before it was handed over
    // left its cancel to the sender.
    if (Request->Listed && Request->Sent == STATUS_PENDING && MarkListedRequestPending(Request)) {
        CancelOwnRequest(irp);
    }
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
            CancelOwnRequest(irp);
            KeWaitForSingleObject(&Request->Done, Executive, KernelMode, FALSE, NULL);
        }
    }
    // Came back in every case (at once, or signalled): the IRP is ours again,
    // once the removal's walk no longer holds it.
    if (Request->Listed) UnlistRequest(Request);
    const NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    Request->Irp = NULL;
    return status;
}

// PASSIVE_LEVEL.
_IRQL_requires_(PASSIVE_LEVEL)
static NTSTATUS SubmitUrbBounded(PDEVICE_OBJECT DeviceObject, PURB Urb, BOOLEAN AtRemoval) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
    BOOLEAN timedOut = FALSE;
    UrbInFlight request;
    NTSTATUS status = SendUrb(DeviceObject, Urb, AtRemoval, &request);
    if (!NT_SUCCESS(status)) return status;
    status = WaitForUrb(&request, ControlTimeoutRelative(), &timedOut);
    USBD_STATUS usbdStatus = Urb->UrbHeader.Status;
    // A request given up on and cancelled still tells the client why, in the
    // one place the codes that answer success whatever the bus did publish
    // it: the URB's own status, or USBD_STATUS_CANCELED when the bus left
    // none. One that came back done before the cancel took hold counts as done.
    const BOOLEAN gaveUp = timedOut && (!NT_SUCCESS(status) || USBD_ERROR(usbdStatus));
    if (gaveUp && !USBD_ERROR(usbdStatus)) usbdStatus = USBD_STATUS_CANCELED;

    // Any client thread may be here at once: last writer wins, one store.
    if (USBD_ERROR(usbdStatus)) WriteNoFence(&extension->LastUsbdStatus, usbdStatus);

    if (gaveUp) return STATUS_IO_TIMEOUT;
    if (!NT_SUCCESS(status)) return status;
    if (USBD_ERROR(usbdStatus)) return STATUS_UNSUCCESSFUL;
    return status;
}

_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS SubmitUrbSync(PDEVICE_OBJECT DeviceObject, PURB Urb) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    return SubmitUrbBounded(DeviceObject, Urb, FALSE);
}

_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS SubmitUrbAtRemoval(PDEVICE_OBJECT DeviceObject, PURB Urb) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    return SubmitUrbBounded(DeviceObject, Urb, TRUE);
}
