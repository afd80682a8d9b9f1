// Segmented bulk transfer: the client's buffer cut into 64 KiB segments, each
// sent on an IRP of the driver's own over a partial MDL of the client's locked
// pages, all in flight at once; the completions account and release, the
// client's thread only issues, waits and cancels.
//
// One transfer per device owns the slot fields (SegmentTable,
// SegmentsOutstanding, BytesTransferred, SegmentStatus, SegmentsPinned,
// BulkDoneEvent) from its claim until it has read its result; a second one
// waits for the slot at most TransferTimeoutMs and is then refused with
// STATUS_DEVICE_BUSY, nothing sent.
#include "usb/client_buffer.h"
#include "transfer/transfer.h"
#include "transfer/transfer_command.h"
#include "transfer/transfer_internal.h"
#include "usb/interface_snapshot.h"
#include "usb/usb_requests.h"

// ---------------------------------------------------------------------------
// The slot

// PASSIVE_LEVEL. Claims the slot, waiting at most TransferTimeoutMs in all for
// the transfer that holds it. STATUS_DEVICE_BUSY when it stayed taken.
_IRQL_requires_(PASSIVE_LEVEL)
static NTSTATUS ClaimSegmentSlot(PDEVICE_EXTENSION Extension) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    const LONGLONG timeout = ReadNoFence64(&TransferTimeoutMs) * 10000LL;
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    const LONGLONG deadline = now.QuadPart + (timeout > 0 ? timeout : 0);
    for (;;) {
        if (InterlockedCompareExchange(&Extension->SegmentSlotBusy, 1, 0) == 0) {
            return STATUS_SUCCESS;
        }
        KeQuerySystemTime(&now);
        LARGE_INTEGER wait;
        wait.QuadPart = -(deadline - now.QuadPart);  // relative, 0 or less left: a poll
        if (wait.QuadPart > 0) wait.QuadPart = 0;
        const NTSTATUS w = KeWaitForSingleObject(&Extension->SegmentSlotReleased, Executive,
                                                 KernelMode, FALSE, &wait);
        if (w == STATUS_TIMEOUT &&
            InterlockedCompareExchange(&Extension->SegmentSlotBusy, 1, 0) != 0) {
            return STATUS_DEVICE_BUSY;
        }
        if (w == STATUS_TIMEOUT) return STATUS_SUCCESS;
    }
}

// PASSIVE_LEVEL. Lets one waiting transfer in.
_IRQL_requires_(PASSIVE_LEVEL)
static VOID ReleaseSegmentSlot(PDEVICE_EXTENSION Extension) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    InterlockedExchange(&Extension->SegmentSlotBusy, 0);
    KeSetEvent(&Extension->SegmentSlotReleased, IO_NO_INCREMENT, FALSE);
}

// ---------------------------------------------------------------------------
// Completion side, all under CompletionLock

// DISPATCH_LEVEL, CompletionLock held.
_IRQL_requires_(DISPATCH_LEVEL) _Requires_lock_held_(GetDeviceExtension(Record->Device)->CompletionLock)
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
    Record->Completed = FALSE;
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

// The transfer is over once nothing is outstanding and no walk pins the
// table: the count the client gets is fixed, the table goes and the waiting
// thread is woken. DISPATCH_LEVEL, CompletionLock held.
_IRQL_requires_(DISPATCH_LEVEL) _Requires_lock_held_(Extension->CompletionLock)
static VOID FinishIfDoneLocked(PDEVICE_EXTENSION Extension) {
    DRV_IRQL_IS(DISPATCH_LEVEL);
    DRV_LOCK_HELD(&Extension->CompletionLock);
    if (Extension->SegmentsOutstanding != 0 || Extension->SegmentsPinned) return;
    if (Extension->SegmentTable == NULL) return;
    Extension->BytesTransferred = LeadingBytesLocked(Extension->SegmentTable);
    DrvFreePool(Extension->SegmentTable);
    Extension->SegmentTable = NULL;
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
    // Only the transfer's first failure is its cause: the cancellations it
    // leads to, and those of the driver's own time-out, are no USB error and
    // leave LastUsbdStatus as it was.
    if (USBD_ERROR(usbdStatus) && NT_SUCCESS(extension->SegmentStatus) &&
        !extension->SegmentsCancelled) {
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
        if (!extension->SegmentsCancelled) KeSetEvent(&extension->BulkDoneEvent, 1, FALSE);
    }
    if (extension->SegmentsPinned) {
        record->Completed = TRUE;  // the walk releases it
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
    if (table == NULL) {
        KeReleaseSpinLock(&extension->CompletionLock, oldIrql);
        return;  // every segment has completed
    }
    // From here until the pin is lifted no completion releases an IRP or the
    // table, so IoCancelIrp, which may run a completion itself, never meets
    // a freed IRP. The event may have been set early by a failure: from now
    // on only the last completion sets it.
    extension->SegmentsPinned = TRUE;
    extension->SegmentsCancelled = TRUE;
    KeClearEvent(&extension->BulkDoneEvent);
    KeReleaseSpinLock(&extension->CompletionLock, oldIrql);

    for (SegmentRecord *record = table; record->Device != NULL; record++) {
        if (record->Irp == NULL) continue;  // released before the pin
        KIRQL apcIrql = KfRaiseIrql(APC_LEVEL);
        (VOID) IoCancelIrp(record->Irp);
        KeLowerIrql(apcIrql);
    }

    oldIrql = KeAcquireSpinLockRaiseToDpc(&extension->CompletionLock);
    extension->SegmentsPinned = FALSE;
    for (SegmentRecord *record = table; record->Device != NULL; record++) {
        if (record->Irp != NULL && record->Completed) ReleaseSegmentLocked(record);
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
    struct _URB_BULK_OR_INTERRUPT_TRANSFER *transfer = &urb->UrbBulkOrInterruptTransfer;
    RtlZeroMemory(transfer, sizeof(*transfer));
    transfer->Hdr.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    transfer->Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    transfer->PipeHandle = Pipe->PipeHandle;
    transfer->TransferFlags = USBD_SHORT_TRANSFER_OK;
    if (DeviceToHost) transfer->TransferFlags |= USBD_TRANSFER_DIRECTION_IN;
    transfer->TransferBuffer = NULL;
    transfer->TransferBufferMDL = SegmentIrp->MdlAddress;
    transfer->TransferBufferLength =
        SegmentIrp->MdlAddress != NULL ? MmGetMdlByteCount(SegmentIrp->MdlAddress) : 0;
    transfer->UrbLink = NULL;
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
    Record->Completed = FALSE;
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
    NTSTATUS w = KeWaitForSingleObject(&extension->BulkDoneEvent, Executive, KernelMode, FALSE,
                                       &timeout);
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&extension->CompletionLock);
    BOOLEAN progress = extension->BytesTransferred > 0 && NT_SUCCESS(extension->SegmentStatus);
    KeReleaseSpinLock(&extension->CompletionLock, oldIrql);
    if (w == STATUS_TIMEOUT && progress) {
        timeout.QuadPart = TransferTimeoutRelative();
        w = KeWaitForSingleObject(&extension->BulkDoneEvent, Executive, KernelMode, FALSE,
                                  &timeout);
    }
    oldIrql = KeAcquireSpinLockRaiseToDpc(&extension->CompletionLock);
    const BOOLEAN done = extension->SegmentTable == NULL;
    const NTSTATUS failure = extension->SegmentStatus;
    KeReleaseSpinLock(&extension->CompletionLock, oldIrql);
    if (!done) CancelSegments(DeviceObject);
    if (!NT_SUCCESS(failure)) return failure;
    return done ? STATUS_SUCCESS : STATUS_IO_TIMEOUT;
}

// PASSIVE_LEVEL, the client's thread, inside the transfer's claim of the slot.
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

    // Nobody else touches the slot fields now; completions start only below.
    KeClearEvent(&extension->BulkDoneEvent);
    extension->BytesTransferred = 0;
    extension->SegmentStatus = STATUS_SUCCESS;
    extension->SegmentsPinned = FALSE;
    extension->SegmentsCancelled = FALSE;
    // Counts every segment before the first is sent, so that early
    // completions cannot end the transfer while segments are being issued.
    extension->SegmentsOutstanding = segmentCount;
    extension->SegmentTable = table;

    (VOID) SendTransferCommand(DeviceObject, Irp, 2);

    NTSTATUS loopStatus = STATUS_SUCCESS;
    ULONG issued = 0;
    ULONG offset = 0;
    while (offset < TotalLength) {
        const ULONG length =
            (TotalLength - offset) < SEGMENT_BYTES ? (TotalLength - offset) : SEGMENT_BYTES;
        BOOLEAN sent;
        const NTSTATUS s = IssueSegment(DeviceObject, Irp, Pipe, DeviceToHost, &table[issued],
                                        offset, length, &sent);
        if (!sent) {
            loopStatus = s;  // this segment was never sent
            break;
        }
        issued++;
        offset += length;
        if (!NT_SUCCESS(s)) {
            loopStatus = s;  // it still completes through SegmentCompletion
            break;
        }
    }

    (VOID) SendTransferCommand(DeviceObject, Irp, 3);

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

    PUSBD_INTERFACE_INFORMATION info = AcquireInterfaceInfo(extension);
    if (info == NULL) return STATUS_UNSUCCESSFUL;

    NTSTATUS status;
    PVOID secured = NULL;
    PipeIndexRecord input;
    RtlCopyMemory(&input, Irp->AssociatedIrp.SystemBuffer, sizeof(input));
    const USBD_PIPE_INFORMATION *pipe = NULL;
    BOOLEAN deviceToHost;

    if (input.PipeIndex >= info->NumberOfPipes) {
        status = STATUS_INVALID_PARAMETER;
        goto Done;
    }
    pipe = &info->Pipes[input.PipeIndex];
    if (pipe->PipeType != UsbdPipeTypeBulk && pipe->PipeType != UsbdPipeTypeInterrupt) {
        status = STATUS_INVALID_PARAMETER;
        goto Done;
    }
    if (pipe->PipeHandle == NULL) {
        status = STATUS_UNSUCCESSFUL;
        goto Done;
    }
    // Nothing to move: success with 0 bytes, nothing sent.
    if (totalLength == 0 || Irp->MdlAddress == NULL) {
        status = STATUS_SUCCESS;
        goto Done;
    }
    deviceToHost = USB_ENDPOINT_DIRECTION_IN(pipe->EndpointAddress) ? TRUE : FALSE;
    status = SecureClientBufferForDeviceWrites(Irp, deviceToHost, &secured);
    if (!NT_SUCCESS(status)) goto Done;

    status = ClaimSegmentSlot(extension);
    if (!NT_SUCCESS(status)) goto Done;
    status = RunSegments(DeviceObject, Irp, pipe, deviceToHost, totalLength);
    ReleaseSegmentSlot(extension);

Done:
    UnsecureClientBuffer(secured);
    ReleaseInterfaceInfo(info);
    return status;
}
