// Segmented bulk transfer: the client's buffer cut into 64 KiB segments, each
// sent on an IRP of the driver's own over a partial MDL of the client's locked
// pages, all in flight at once; the completions account and release, the
// client's thread only issues, waits and cancels.
//
// One transfer per device owns the transfer's fields (SegmentTable,
// SegmentsOutstanding, BytesTransferred, SegmentedState, SegmentStatus,
// BulkDoneEvent) from its claim until it has read its result; a second one
// waits for the claim at most TransferTimeoutMs and is then refused with
// STATUS_DEVICE_BUSY, nothing sent. The transfer's state is SegmentedState
// (driver/driver.h), each segment's its record's State.

#include "usb/client_buffer.h"
#include "transfer/transfer.h"
#include "transfer/transfer_command.h"
#include "transfer/transfer_internal.h"
#include "usb/interface_snapshot.h"
#include "usb/usb_requests.h"

// ---------------------------------------------------------------------------
// The claim: one segmented transfer per device at a time

// PASSIVE_LEVEL. Claims the device's segmented transfer, waiting at most
// TransferTimeoutMs in all for the transfer that holds it.
// STATUS_DEVICE_BUSY when it stayed taken.
_IRQL_requires_(PASSIVE_LEVEL)
static NTSTATUS ClaimSegmentedTransfer(PDEVICE_EXTENSION Extension) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    const LONGLONG timeout = ReadNoFence64(&TransferTimeoutMs) * 10000LL;
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    const LONGLONG deadline = now.QuadPart + (timeout > 0 ? timeout : 0);
    for (;;) {
        if (InterlockedCompareExchange(&Extension->SegmentedTransferClaimed, 1, 0) == 0) {
            return STATUS_SUCCESS;
        }
        KeQuerySystemTime(&now);
        LARGE_INTEGER wait;
        wait.QuadPart = -(deadline - now.QuadPart);  // relative, 0 or less left: a poll
        if (wait.QuadPart > 0) wait.QuadPart = 0;
        const NTSTATUS waited = KeWaitForSingleObject(&Extension->SegmentedTransferReleased,
                                                      Executive, KernelMode, FALSE, &wait);
        if (waited == STATUS_TIMEOUT &&
            InterlockedCompareExchange(&Extension->SegmentedTransferClaimed, 1, 0) != 0) {
            return STATUS_DEVICE_BUSY;
        }
        if (waited == STATUS_TIMEOUT) return STATUS_SUCCESS;
    }
}

// PASSIVE_LEVEL. Lets one waiting transfer in.
_IRQL_requires_(PASSIVE_LEVEL)
static VOID ReleaseSegmentedTransfer(PDEVICE_EXTENSION Extension) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    InterlockedExchange(&Extension->SegmentedTransferClaimed, 0);
    KeSetEvent(&Extension->SegmentedTransferReleased, IO_NO_INCREMENT, FALSE);
}

// ---------------------------------------------------------------------------
// Completion side, all under CompletionLock

// DISPATCH_LEVEL, CompletionLock held.
_IRQL_requires_(DISPATCH_LEVEL)
_Requires_lock_held_(GetDeviceExtension(Record->Device)->CompletionLock)
static VOID ReleaseSegmentLocked(SegmentRecord *Record) {
    DRV_IRQL_IS(DISPATCH_LEVEL);
    DRV_LOCK_HELD(&GetDeviceExtension(Record->Device)->CompletionLock);
    PIRP irp = Record->Irp;
    // The IRP does not free the MDL it carries: it is the driver's to free.
    irp->MdlAddress = NULL;
    IoFreeMdl(Record->Mdl);
    IoFreeIrp(irp);
    DrvFreePool(Record->Urb);
    Record->Irp = NULL;
    Record->Mdl = NULL;
    Record->Urb = NULL;
    Record->State = SegmentReleased;
}

// The client's data ends where the first segment that came back short ends:
// a later segment's bytes lie past a hole that still holds the client's own
// fill, and counting them would hand that fill over as data. The bytes of the
// segments before it, and its own. DISPATCH_LEVEL, CompletionLock held.
_IRQL_requires_(DISPATCH_LEVEL)
static ULONG LeadingBytesLocked(const SegmentRecord *Table) {
    DRV_IRQL_IS(DISPATCH_LEVEL);
    ULONG bytes = 0;
    for (const SegmentRecord *record = Table; record->Device != NULL; record++) {
        bytes += record->Moved;
        if (record->Moved < record->Length) break;
    }
    return bytes;
}

// The transfer is over once nothing is outstanding and no walk holds the
// table: the count the client gets is fixed, the table goes, the state is
// Idle again and the waiting thread is woken. DISPATCH_LEVEL, CompletionLock
// held.
_IRQL_requires_(DISPATCH_LEVEL)
_Requires_lock_held_(Extension->CompletionLock)
static VOID FinishIfDoneLocked(PDEVICE_EXTENSION Extension) {
    DRV_IRQL_IS(DISPATCH_LEVEL);
    DRV_LOCK_HELD(&Extension->CompletionLock);
    if (Extension->SegmentsOutstanding != 0) return;
    if (Extension->SegmentedState == SegmentedIdle ||
        Extension->SegmentedState == SegmentedCancelling) {
        return;
    }
    Extension->BytesTransferred = LeadingBytesLocked(Extension->SegmentTable);
    DrvFreePool(Extension->SegmentTable);
    Extension->SegmentTable = NULL;
    Extension->SegmentedState = SegmentedIdle;
    KeSetEvent(&Extension->BulkDoneEvent, 1, FALSE);
}

// The result rule of a synchronous submission, for one segment: the IRP's own
// failure, else STATUS_UNSUCCESSFUL for a USB error in the URB. Any IRQL.
static NTSTATUS SegmentResult(NTSTATUS IrpStatus, USBD_STATUS UsbdStatus) {
    if (!NT_SUCCESS(IrpStatus)) return IrpStatus;
    if (USBD_ERROR(UsbdStatus)) return STATUS_UNSUCCESSFUL;
    return IrpStatus;
}

_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS SegmentCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    DRV_IRQL_MAX(DISPATCH_LEVEL);
    UNREFERENCED_PARAMETER(DeviceObject);
    SegmentRecord *record = (SegmentRecord *)Context;
    PDEVICE_EXTENSION extension = GetDeviceExtension(record->Device);

    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&extension->CompletionLock);
    extension->SegmentsOutstanding--;
    const USBD_STATUS usbdStatus = record->Urb->UrbHeader.Status;
    const NTSTATUS result = SegmentResult(Irp->IoStatus.Status, usbdStatus);
    const BOOLEAN cancelling = extension->SegmentedState == SegmentedCancelling ||
                               extension->SegmentedState == SegmentedCancelled;
    // Only the transfer's first failure is its cause: the cancellations it
    // leads to, and those of the driver's own time-out, are no USB error and
    // leave LastUsbdStatus as it was.
    if (USBD_ERROR(usbdStatus) && NT_SUCCESS(extension->SegmentStatus) && !cancelling) {
        WriteNoFence(&extension->LastUsbdStatus, usbdStatus);
    }
    if (NT_SUCCESS(result)) {
        ULONG moved = record->Urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
        if (moved > record->Length) moved = record->Length;  // never more than asked
        record->Moved = moved;
        extension->BytesTransferred += moved;
    } else if (NT_SUCCESS(extension->SegmentStatus)) {
        extension->SegmentStatus = result;
        // The pipe halts after a failure, so the segments behind this one
        // will not move: wake the waiting thread to cancel them now rather
        // than after the time-out.
        if (!cancelling) KeSetEvent(&extension->BulkDoneEvent, 1, FALSE);
    }
    if (extension->SegmentedState == SegmentedCancelling) {
        record->State = SegmentHeld;  // the walk releases it
    } else {
        ReleaseSegmentLocked(record);
    }
    FinishIfDoneLocked(extension);  // the record may be gone after this
    KeReleaseSpinLock(&extension->CompletionLock, oldIrql);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

_IRQL_requires_(PASSIVE_LEVEL)
VOID CancelSegments(PDEVICE_OBJECT DeviceObject) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);

    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&extension->CompletionLock);
    SegmentRecord *table = extension->SegmentTable;
    if (extension->SegmentedState == SegmentedIdle) {
        KeReleaseSpinLock(&extension->CompletionLock, oldIrql);
        return;  // every segment has completed
    }
    // From here until the walk is over no completion releases an IRP or the
    // table, so IoCancelIrp, which may run a completion itself, never meets
    // a freed IRP. The event may have been set early by a failure: from now
    // on only the last completion sets it.
    extension->SegmentedState = SegmentedCancelling;
    KeClearEvent(&extension->BulkDoneEvent);
    KeReleaseSpinLock(&extension->CompletionLock, oldIrql);

    for (SegmentRecord *record = table; record->Device != NULL; record++) {
        // Released before the walk began, or never sent: nothing to cancel.
        // Irp, not State: a completion during the walk writes the record's
        // State (SegmentHeld) but never its Irp, which only the walk clears
        // from here on, so this read takes no lock.
        if (record->Irp == NULL) continue;
        KIRQL apcIrql = KfRaiseIrql(APC_LEVEL);
        (VOID) IoCancelIrp(record->Irp);
        KeLowerIrql(apcIrql);
    }

    oldIrql = KeAcquireSpinLockRaiseToDpc(&extension->CompletionLock);
    extension->SegmentedState = SegmentedCancelled;
    for (SegmentRecord *record = table; record->Device != NULL; record++) {
        if (record->State == SegmentHeld) ReleaseSegmentLocked(record);
    }
    FinishIfDoneLocked(extension);
    KeReleaseSpinLock(&extension->CompletionLock, oldIrql);

    KeWaitForSingleObject(&extension->BulkDoneEvent, Executive, KernelMode, FALSE, NULL);
    // The last completion sets the event while it holds the lock: taking the
    // lock once lets it leave the lock before this transfer, and with it
    // perhaps the device object (a removal waits for it), is gone.
    oldIrql = KeAcquireSpinLockRaiseToDpc(&extension->CompletionLock);
    KeReleaseSpinLock(&extension->CompletionLock, oldIrql);
}

// ---------------------------------------------------------------------------
// Issuing side

_IRQL_requires_max_(DISPATCH_LEVEL)
PURB BuildSegmentUrb(PIRP SegmentIrp, const USBD_PIPE_INFORMATION *Pipe, BOOLEAN DeviceToHost) {
    DRV_IRQL_MAX(DISPATCH_LEVEL);
    PURB urb = (PURB)DrvAllocatePool(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
    if (urb == NULL) return NULL;
    PMDL mdl = SegmentIrp->MdlAddress;
    FillBulkUrb(urb, Pipe, DeviceToHost, NULL, mdl, mdl != NULL ? MmGetMdlByteCount(mdl) : 0);
    return urb;
}

// PASSIVE_LEVEL. Builds and sends segment k (Offset, Length) of the client's
// buffer. STATUS_INSUFFICIENT_RESOURCES with *Sent FALSE when something cannot
// be allocated (nothing is left allocated and nothing sent); otherwise *Sent
// is TRUE and the result is IofCallDriver's status, the segment then
// completing through SegmentCompletion, perhaps before IofCallDriver returns:
// the caller learns whether it was sent from *Sent, never from the record,
// which the last completion frees with the table.
_IRQL_requires_(PASSIVE_LEVEL)
static NTSTATUS IssueSegment(PDEVICE_OBJECT DeviceObject, PIRP ClientIrp,
                             const USBD_PIPE_INFORMATION *Pipe, BOOLEAN DeviceToHost,
                             SegmentRecord *Record, ULONG Offset, ULONG Length, BOOLEAN *Sent) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    *Sent = FALSE;
    PDEVICE_OBJECT lower = GetDeviceExtension(DeviceObject)->LowerDeviceObject;
    PIRP irp = IoAllocateIrp((CCHAR)(lower->StackSize + 1), FALSE);
    if (irp == NULL) return STATUS_INSUFFICIENT_RESOURCES;

    // Sized for the segment alone, not the whole buffer: a partial MDL needs
    // room for the pages it describes.
    PUCHAR start = (PUCHAR)MmGetMdlVirtualAddress(ClientIrp->MdlAddress) + Offset;
    PMDL mdl = IoAllocateMdl(start, Length, FALSE, FALSE, irp);
    if (mdl == NULL) {
        IoFreeIrp(irp);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoBuildPartialMdl(ClientIrp->MdlAddress, mdl, start, Length);

    PURB urb = BuildSegmentUrb(irp, Pipe, DeviceToHost);
    if (urb == NULL) {
        irp->MdlAddress = NULL;
        IoFreeMdl(mdl);
        IoFreeIrp(irp);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    Record->Urb = urb;
    Record->Device = DeviceObject;
    Record->Irp = irp;
    Record->Mdl = mdl;
    Record->State = SegmentInFlight;
    Record->Length = Length;
    Record->Moved = 0;

    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(irp, SegmentCompletion, Record, TRUE, TRUE, TRUE);
    // The record belongs to the completion from here on.
    *Sent = TRUE;
    return IoCallDriver(lower, irp);
}

// PASSIVE_LEVEL. Waits for the segments: until the last one has completed, or until the first
// failure, or for one time-out period, and a second one when data has arrived;
// then cancels what is left. Returns STATUS_SUCCESS when every segment came
// back, the first failure a segment completed with before anything was
// cancelled, or STATUS_IO_TIMEOUT.
_IRQL_requires_(PASSIVE_LEVEL)
static NTSTATUS WaitForSegments(PDEVICE_OBJECT DeviceObject) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
    LARGE_INTEGER timeout;
    timeout.QuadPart = TransferTimeoutRelative();
    NTSTATUS waited = KeWaitForSingleObject(&extension->BulkDoneEvent, Executive, KernelMode,
                                            FALSE, &timeout);
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&extension->CompletionLock);
    BOOLEAN progress = extension->BytesTransferred > 0 && NT_SUCCESS(extension->SegmentStatus);
    KeReleaseSpinLock(&extension->CompletionLock, oldIrql);
    if (waited == STATUS_TIMEOUT && progress) {
        timeout.QuadPart = TransferTimeoutRelative();
        (VOID) KeWaitForSingleObject(&extension->BulkDoneEvent, Executive, KernelMode, FALSE,
                                     &timeout);
    }
    oldIrql = KeAcquireSpinLockRaiseToDpc(&extension->CompletionLock);
    const BOOLEAN done = extension->SegmentedState == SegmentedIdle;
    const NTSTATUS failure = extension->SegmentStatus;
    KeReleaseSpinLock(&extension->CompletionLock, oldIrql);
    if (!done) CancelSegments(DeviceObject);
    if (!NT_SUCCESS(failure)) return failure;
    return done ? STATUS_SUCCESS : STATUS_IO_TIMEOUT;
}

// PASSIVE_LEVEL, the client's thread, inside its claim of the segmented transfer.
_IRQL_requires_(PASSIVE_LEVEL)
static NTSTATUS RunSegments(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                            const USBD_PIPE_INFORMATION *Pipe, BOOLEAN DeviceToHost,
                            ULONG TotalLength) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
    const ULONG segmentCount =
        TotalLength / SEGMENT_BYTES + ((TotalLength % SEGMENT_BYTES) != 0 ? 1 : 0);

    SegmentRecord *table =
        (SegmentRecord *)DrvAllocatePool((SIZE_T)(segmentCount + 1) * sizeof(SegmentRecord));
    if (table == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(table, (SIZE_T)(segmentCount + 1) * sizeof(SegmentRecord));

    // Nobody else touches the transfer's fields now; completions start only
    // below.
    KeClearEvent(&extension->BulkDoneEvent);
    extension->BytesTransferred = 0;
    extension->SegmentStatus = STATUS_SUCCESS;
    extension->SegmentedState = SegmentedInFlight;
    // Counts every segment before the first is sent, so that early
    // completions cannot end the transfer while segments are being issued.
    extension->SegmentsOutstanding = segmentCount;
    extension->SegmentTable = table;

    (VOID) SendTransferCommand(DeviceObject, Irp, TRANSFER_COMMAND_BEGIN);

    NTSTATUS loopStatus = STATUS_SUCCESS;
    ULONG issued = 0;
    ULONG offset = 0;
    while (offset < TotalLength) {
        const ULONG length =
            (TotalLength - offset) < SEGMENT_BYTES ? (TotalLength - offset) : SEGMENT_BYTES;
        BOOLEAN sent;
        const NTSTATUS sendStatus = IssueSegment(DeviceObject, Irp, Pipe, DeviceToHost,
                                                 &table[issued], offset, length, &sent);
        if (!sent) {
            loopStatus = sendStatus;  // this segment was never sent
            break;
        }
        issued++;
        offset += length;
        if (!NT_SUCCESS(sendStatus)) {
            loopStatus = sendStatus;  // it still completes through SegmentCompletion
            break;
        }
    }

    (VOID) SendTransferCommand(DeviceObject, Irp, TRANSFER_COMMAND_END);

    // Segments never issued are taken off the count; when nothing is left in
    // flight this ends the transfer here.
    if (issued < segmentCount) {
        KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&extension->CompletionLock);
        extension->SegmentsOutstanding -= segmentCount - issued;
        FinishIfDoneLocked(extension);
        KeReleaseSpinLock(&extension->CompletionLock, oldIrql);
    }

    NTSTATUS outcome = STATUS_SUCCESS;
    if (issued != 0) outcome = WaitForSegments(DeviceObject);
    // Every issued segment has come back; the table is gone.

    if (!NT_SUCCESS(loopStatus)) {
        // After the issued segments, so that the reset does not find the pipe busy.
        if (!NT_SUCCESS(ResetPipe(DeviceObject, Pipe))) RecoverPort(DeviceObject);
        return loopStatus;
    }
    if (!NT_SUCCESS(outcome)) return outcome;
    Irp->IoStatus.Information = extension->BytesTransferred;
    return STATUS_SUCCESS;
}

// PASSIVE_LEVEL, the client's thread. Holds a reference on the pipe table for
// as long as any segment uses the pipe entry.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS SegmentedBulkTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
    const ULONG totalLength =
        IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.OutputBufferLength;

    PipeIndexRecord input;
    RtlCopyMemory(&input, Irp->AssociatedIrp.SystemBuffer, sizeof(input));
    PUSBD_INTERFACE_INFORMATION info;
    PUSBD_PIPE_INFORMATION pipe;
    NTSTATUS status =
        AcquirePipe(extension, input.PipeIndex, PIPE_KINDS_BULK_OR_INTERRUPT, &info, &pipe);
    if (!NT_SUCCESS(status)) return status;

    PVOID secured = NULL;
    BOOLEAN deviceToHost;
    // Nothing to move: success with 0 bytes, nothing sent.
    if (totalLength == 0 || Irp->MdlAddress == NULL) {
        status = STATUS_SUCCESS;
        goto Done;
    }
    deviceToHost = USB_ENDPOINT_DIRECTION_IN(pipe->EndpointAddress) ? TRUE : FALSE;
    status = SecureClientBufferForDeviceWrites(Irp, deviceToHost, &secured);
    if (!NT_SUCCESS(status)) goto Done;

    status = ClaimSegmentedTransfer(extension);
    if (!NT_SUCCESS(status)) goto Done;
    status = RunSegments(DeviceObject, Irp, pipe, deviceToHost, totalLength);
    ReleaseSegmentedTransfer(extension);

Done:
    UnsecureClientBuffer(secured);
    ReleaseInterfaceInfo(info);
    return status;
}
