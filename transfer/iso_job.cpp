// Isochronous jobs: building, rebuilding and sending slots in order, and
// taking their completions in that order, each send through the I/O gate's
// send gate (driver/io_gate.cpp); the checks of a job's record.
#include "transfer/iso_job.h"
#include "usb/interface_snapshot.h"

#include "usb/usb_requests.h"

#define SL_INVOKE_ALWAYS (SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL)

static ULONG IsoUrbBytes(ULONG PacketsPerRequest) {
    return ISO_URB_BASE_BYTES + ISO_DESCRIPTOR_BYTES * PacketsPerRequest;
}

// Zero-fills and fills the slot's URB for its StartPacket.
static VOID FillIsoUrb(StreamContext *Context, IsoSlot *Slot) {
    const ULONG n = Context->PacketsPerRequest;
    const ULONG size = Context->PacketSize;
    const ULONG bytes = IsoUrbBytes(n);
    PURB urb = Slot->Urb;
    RtlZeroMemory(urb, bytes);
    struct _URB_ISOCH_TRANSFER *iso = &urb->UrbIsochronousTransfer;
    iso->Hdr.Length = (USHORT)bytes;
    iso->Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
    iso->PipeHandle = Context->Pipe->PipeHandle;
    iso->TransferFlags = USBD_START_ISO_TRANSFER_ASAP | USBD_SHORT_TRANSFER_OK;
    if (Context->Pipe->EndpointAddress & 0x80) iso->TransferFlags |= USBD_TRANSFER_DIRECTION_IN;
    iso->TransferBufferLength = n * size;
    iso->TransferBuffer = Context->PayloadBuffer + (SIZE_T)Slot->StartPacket * size;
    iso->NumberOfPackets = n;
    for (ULONG j = 0; j < n; j++) {
        iso->IsoPacket[j].Offset = j * size;
        iso->IsoPacket[j].Length = size;
    }
}

// Sets the IRP's next stack location to carry the slot's URB down.
static VOID FillIsoStack(StreamContext *Context, IsoSlot *Slot) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Slot->Irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = Slot->Urb;
    next->CompletionRoutine = Context->Operations->Completion;
    next->Context = Slot;
    next->Control = SL_INVOKE_ALWAYS;
}

_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS BuildIsoRequest(StreamContext *Context, ULONG Index) {
    DRV_IRQL_MAX(DISPATCH_LEVEL);
    IsoSlot *slot = &Context->Slots[Index];
    const ULONG n = Context->PacketsPerRequest;
    PURB urb = (PURB)DrvAllocatePool(IsoUrbBytes(n));
    if (urb == NULL) return STATUS_NO_MEMORY;

    const CCHAR stackSize =
        (CCHAR)(GetDeviceExtension(Context->Device)->LowerDeviceObject->StackSize + 1);
    // IoAllocateIrp initialises the IRP; each send re-initialises it with
    // IoReuseIrp (RebuildIsoRequest).
    PIRP irp = IoAllocateIrp(stackSize, FALSE);
    if (irp == NULL) {
        DrvFreePool(urb);
        return STATUS_NO_MEMORY;
    }

    slot->Urb = urb;
    slot->Irp = irp;
    slot->Owner = Context;
    slot->StartPacket = Index * n;
    slot->CompletedInSend = FALSE;
    slot->Resubmit = FALSE;
    slot->LastStatus = STATUS_SUCCESS;
    slot->NextSent = NULL;
    slot->Parked = FALSE;
    KeInitializeEvent(&slot->Done, NotificationEvent, FALSE);
    FillIsoUrb(Context, slot);
    FillIsoStack(Context, slot);
    return STATUS_SUCCESS;
}

_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS IsoCreateJob(PDEVICE_OBJECT DeviceObject, const IsoJobOperations *Operations,
                      PUSBD_INTERFACE_INFORMATION Interface, PUSBD_PIPE_INFORMATION Pipe,
                      const IsoJobShape *Shape, StreamContext **Job) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    *Job = NULL;
    StreamContext *context = (StreamContext *)DrvAllocatePool(sizeof(StreamContext));
    if (context == NULL) {
        ReleaseInterfaceInfo(Interface);
        return STATUS_NO_MEMORY;
    }
    RtlZeroMemory(context, sizeof(*context));
    context->Operations = Operations;
    context->Interface = Interface;
    context->Device = DeviceObject;
    context->Pipe = Pipe;
    context->PacketSize = Shape->PacketSize;
    context->PacketsPerRequest = Shape->PacketsPerRequest;
    context->SlotCount = Shape->SlotCount;
    context->ActiveSlots = (LONG)Shape->SlotCount;
    context->References = 1;
    KeInitializeEvent(&context->SendsIdle, NotificationEvent, FALSE);

    const ULONGLONG slotBytes = (ULONGLONG)Shape->SlotCount * sizeof(IsoSlot);
    if (slotBytes <= ISO_MAX_ULONG) context->Slots = (IsoSlot *)DrvAllocatePool((SIZE_T)slotBytes);
    if (context->Slots == NULL) {
        ReleaseInterfaceInfo(Interface);
        DrvFreePool(context);
        return STATUS_NO_MEMORY;
    }
    RtlZeroMemory(context->Slots, (SIZE_T)slotBytes);
    *Job = context;
    return STATUS_SUCCESS;
}

_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS IsoBuildSlots(StreamContext *Context) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    for (ULONG i = 0; i < Context->SlotCount; i++) {
        if (!NT_SUCCESS(BuildIsoRequest(Context, i))) {
            for (ULONG k = 0; k < i; k++) IsoFreeSlotRequest(&Context->Slots[k]);
            return STATUS_NO_MEMORY;
        }
    }
    return STATUS_SUCCESS;
}

_IRQL_requires_max_(DISPATCH_LEVEL)
VOID IsoReleaseJob(StreamContext *Context) {
    DRV_IRQL_MAX(DISPATCH_LEVEL);
    if (Context->Slots != NULL) {
        for (ULONG i = 0; i < Context->SlotCount; i++) IsoFreeSlotRequest(&Context->Slots[i]);
        DrvFreePool(Context->Slots);
        Context->Slots = NULL;
    }
    if (Context->Interface != NULL) ReleaseInterfaceInfo(Context->Interface);
    Context->Interface = NULL;
}

_IRQL_requires_max_(DISPATCH_LEVEL)
VOID IsoDropJobReference(StreamContext *Context) {
    DRV_IRQL_MAX(DISPATCH_LEVEL);
    if (InterlockedDecrement(&Context->References) != 0) return;
    if (Context->StreamDataRing != NULL) RingDestroy(Context->StreamDataRing);
    if (Context->StreamDescriptorRing != NULL) RingDestroy(Context->StreamDescriptorRing);
    DrvFreePool(Context);
}

_IRQL_requires_max_(DISPATCH_LEVEL)
VOID IsoListJob(StreamContext *Context) {
    DRV_IRQL_MAX(DISPATCH_LEVEL);
    PDEVICE_EXTENSION extension = GetDeviceExtension(Context->Device);
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&extension->StreamLock);
    Context->NextRunning = extension->RunningJobs;
    extension->RunningJobs = Context;
    KeReleaseSpinLock(&extension->StreamLock, oldIrql);
}

_IRQL_requires_(DISPATCH_LEVEL)
_Requires_lock_held_(Extension->StreamLock)
VOID IsoUnlistJobLocked(PDEVICE_EXTENSION Extension, StreamContext *Context) {
    DRV_IRQL_IS(DISPATCH_LEVEL);
    DRV_LOCK_HELD(&Extension->StreamLock);
    for (StreamContext **link = &Extension->RunningJobs; *link != NULL;
         link = &(*link)->NextRunning) {
        if (*link == Context) {
            *link = Context->NextRunning;
            Context->NextRunning = NULL;
            return;
        }
    }
}

_IRQL_requires_(PASSIVE_LEVEL)
VOID IsoAbortJobsOnPipe(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE PipeHandle) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
    for (;;) {
        // One job at a time, with a reference, so that it outlives the wait.
        KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&extension->StreamLock);
        StreamContext *job = extension->RunningJobs;
        while (job != NULL && (job->Aborted || job->Pipe->PipeHandle != PipeHandle)) {
            job = job->NextRunning;
        }
        if (job != NULL) {
            WriteUCharNoFence(&job->Aborted, 1);
            InterlockedIncrement(&job->References);
        }
        KeReleaseSpinLock(&extension->StreamLock, oldIrql);
        if (job == NULL) return;
        // A send that looked at Aborted before it was set reaches the bus
        // before the abort does, and is cancelled by it.
        KeMemoryBarrier();
        if (ReadNoFence(&job->SendsInProgress) != 0) {
            KeWaitForSingleObject(&job->SendsIdle, Executive, KernelMode, FALSE, NULL);
        }
        IsoDropJobReference(job);
    }
}

_IRQL_requires_max_(DISPATCH_LEVEL)
VOID IsoFreeSlotRequest(IsoSlot *Slot) {
    DRV_IRQL_MAX(DISPATCH_LEVEL);
    if (Slot->Irp != NULL) IoFreeIrp(Slot->Irp);
    if (Slot->Urb != NULL) DrvFreePool(Slot->Urb);
    Slot->Irp = NULL;
    Slot->Urb = NULL;
}

// The same URB and IRP, made ready for the slot's next request. IoReuseIrp,
// not IoInitializeIrp: the IRP came from IoAllocateIrp, whose allocation
// flags IoInitializeIrp would clear (the platform forbids it on an IRP not
// yet sent), and it keeps the stack locations it was allocated with.
_IRQL_requires_max_(DISPATCH_LEVEL)
static VOID RebuildIsoRequest(StreamContext *Context, IsoSlot *Slot) {
    DRV_IRQL_MAX(DISPATCH_LEVEL);
    FillIsoUrb(Context, Slot);
    IoReuseIrp(Slot->Irp, STATUS_SUCCESS);
    FillIsoStack(Context, Slot);
}

// ---------------------------------------------------------------------------
// The order of a job's requests

// Drainer only. TRUE when it was the job's last slot (the job may be gone).
// IRQL <= DISPATCH_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL)
static BOOLEAN StopSlot(IsoSlot *Slot, NTSTATUS Cause) {
    DRV_IRQL_MAX(DISPATCH_LEVEL);
    return Slot->Owner->Operations->StopSlot(Slot, Cause);
}

// Drainer only: the job's own bracket around a send, inside the device's
// send gate. BeginJobSend is FALSE once the job's pipe has been aborted
// (nothing is counted then). IRQL <= DISPATCH_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL)
static VOID EndJobSend(StreamContext *Context) {
    DRV_IRQL_MAX(DISPATCH_LEVEL);
    if (InterlockedDecrement(&Context->SendsInProgress) == 0 &&
        ReadUCharNoFence(&Context->Aborted)) {
        KeSetEvent(&Context->SendsIdle, IO_NO_INCREMENT, FALSE);
    }
}

_IRQL_requires_max_(DISPATCH_LEVEL)
static BOOLEAN BeginJobSend(StreamContext *Context) {
    DRV_IRQL_MAX(DISPATCH_LEVEL);
    InterlockedIncrement(&Context->SendsInProgress);
    KeMemoryBarrier();
    // Counted before Aborted is looked at: an abort that sets Aborted after
    // this look waits for the send (IsoAbortJobsOnPipe).
    if (!ReadUCharNoFence(&Context->Aborted)) return TRUE;
    EndJobSend(Context);
    return FALSE;
}

// Drainer only. Rebuilds the slot for its StartPacket, puts it at the back
// of the order and sends it; once removal has begun or the job's pipe has
// been aborted, stops it instead. TRUE when that stop ended the job.
// IRQL <= DISPATCH_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL)
static BOOLEAN SendSlot(IsoSlot *Slot) {
    DRV_IRQL_MAX(DISPATCH_LEVEL);
    StreamContext *context = Slot->Owner;
    PDEVICE_EXTENSION extension = GetDeviceExtension(context->Device);
    if (!BeginSend(extension)) return StopSlot(Slot, STATUS_DELETE_PENDING);
    if (!BeginJobSend(context)) {
        EndSend(extension);
        return StopSlot(Slot, STATUS_CANCELLED);
    }
    RebuildIsoRequest(context, Slot);
    Slot->NextSent = NULL;
    Slot->Parked = FALSE;
    Slot->CompletedInSend = FALSE;
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&context->OrderLock);
    if (context->NewestSent != NULL) context->NewestSent->NextSent = Slot;
    else context->OldestSent = Slot;
    context->NewestSent = Slot;
    KeReleaseSpinLock(&context->OrderLock, oldIrql);

    const NTSTATUS sent = IoCallDriver(extension->LowerDeviceObject, Slot->Irp);
    // Whoever completed the request meanwhile only parked it: the slot and
    // the job are still the drainer's. Any status but STATUS_PENDING means
    // the lower driver completed the request before it returned.
    Slot->CompletedInSend = sent != STATUS_PENDING;
    EndJobSend(context);
    EndSend(extension);
    return FALSE;
}

// Drainer only: the slot's request is the oldest sent and has completed.
// Hands it to its engine, then sends the slot again or stops it. TRUE when
// the job has ended. InlineResends counts, for this drainer's run, the
// requests sent again after they completed inside their own send.
// IRQL <= DISPATCH_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL)
static BOOLEAN TakeSlot(IsoSlot *Slot, ULONG *InlineResends) {
    DRV_IRQL_MAX(DISPATCH_LEVEL);
    const IsoJobOperations *operations = Slot->Owner->Operations;
    BOOLEAN resubmit = Slot->Resubmit;
    if (operations->TakeRequest != NULL && !operations->TakeRequest(Slot->Owner, Slot)) {
        resubmit = FALSE;
    }
    if (resubmit && Slot->CompletedInSend) {
        // Completed before IofCallDriver returned. A failure there is a
        // refusal at submission, and sending the slot again would only be
        // refused again: it stops. A success is served like any other; the
        // slot goes out again from this loop, never from inside its own
        // send. A job with no last packet to end such a loop (a stream) has
        // its drainer stop a slot after InlineResendLimit of them rather
        // than hold DISPATCH_LEVEL for good.
        const ULONG limit = operations->InlineResendLimit;
        if (!NT_SUCCESS(Slot->LastStatus)) resubmit = FALSE;
        else if (limit != 0 && ++*InlineResends > limit) resubmit = FALSE;
    }
    if (!resubmit) return StopSlot(Slot, Slot->LastStatus);
    return SendSlot(Slot);
}

// Drainer only: takes the parked slots in the order they were sent until the
// oldest one sent has not completed, then gives the role up. Touches nothing
// of the job after that, or after the job has ended. IRQL <= DISPATCH_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL)
static VOID DrainJob(StreamContext *Context) {
    DRV_IRQL_MAX(DISPATCH_LEVEL);
    ULONG inlineResends = 0;
    for (;;) {
        KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Context->OrderLock);
        IsoSlot *slot = Context->OldestSent;
        if (slot == NULL || !slot->Parked) {
            Context->Draining = FALSE;
            KeReleaseSpinLock(&Context->OrderLock, oldIrql);
            return;
        }
        Context->OldestSent = slot->NextSent;
        if (Context->OldestSent == NULL) Context->NewestSent = NULL;
        slot->NextSent = NULL;
        slot->Parked = FALSE;
        KeReleaseSpinLock(&Context->OrderLock, oldIrql);
        if (TakeSlot(slot, &inlineResends)) return;
    }
}

_IRQL_requires_max_(DISPATCH_LEVEL)
VOID IsoRunJob(StreamContext *Context) {
    DRV_IRQL_MAX(DISPATCH_LEVEL);
    // The starter is the drainer until every slot has been sent: completions
    // meanwhile park, and the sends keep their order. It runs at
    // DISPATCH_LEVEL, as every other drainer does, so that a client thread
    // holding the role is never preempted or suspended while the job's
    // completions park behind it.
    KIRQL oldIrql;
    KeRaiseIrql(DISPATCH_LEVEL, &oldIrql);
    KeInitializeSpinLock(&Context->OrderLock);
    Context->OldestSent = NULL;
    Context->NewestSent = NULL;
    Context->Draining = TRUE;
    BOOLEAN ended = FALSE;
    for (ULONG i = 0; i < Context->SlotCount && !ended; i++) ended = SendSlot(&Context->Slots[i]);
    if (!ended) DrainJob(Context);
    KeLowerIrql(oldIrql);
}

_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS IsoFinishCompletion(IsoSlot *Slot, BOOLEAN Resubmit, NTSTATUS IrpStatus) {
    DRV_IRQL_MAX(DISPATCH_LEVEL);
    StreamContext *context = Slot->Owner;
    Slot->Resubmit = Resubmit;
    Slot->LastStatus = IrpStatus;

    // Parked under the lock: a drainer that looks at this slot after the
    // lock was dropped must see it parked, or it gives the role up with the
    // slot left behind and nobody to take it.
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&context->OrderLock);
    Slot->Parked = TRUE;
    const BOOLEAN drain = !context->Draining && context->OldestSent == Slot;
    if (drain) context->Draining = TRUE;
    KeReleaseSpinLock(&context->OrderLock, oldIrql);
    DRV_TEST_POINT(IsoCompletionParked);
    // Parked without the role: the drainer takes the slot in its turn, and
    // the job may be gone by now.
    if (drain) DrainJob(context);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

_IRQL_requires_max_(DISPATCH_LEVEL)
VOID IsoMarkFailedPackets(PURB Urb, ULONG PacketCount, NTSTATUS IrpStatus) {
    DRV_IRQL_MAX(DISPATCH_LEVEL);
    if (NT_SUCCESS(IrpStatus)) return;
    struct _URB_ISOCH_TRANSFER *iso = &Urb->UrbIsochronousTransfer;
    const USBD_STATUS status =
        USBD_ERROR(iso->Hdr.Status) ? iso->Hdr.Status : USBD_STATUS_ISO_NOT_ACCESSED_BY_HW;
    for (ULONG j = 0; j < PacketCount; j++) {
        if (USBD_SUCCESS(iso->IsoPacket[j].Status)) {
            iso->IsoPacket[j].Status = status;
            iso->IsoPacket[j].Length = 0;
        }
    }
}

// ---------------------------------------------------------------------------
// Checks of a job's record

_IRQL_requires_max_(DISPATCH_LEVEL)
static NTSTATUS IsoCheckPacketsPerRequest(PDEVICE_OBJECT DeviceObject,
                                          const USBD_PIPE_INFORMATION *Pipe,
                                          ULONG PacketsPerRequest);

_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS IsoCheckJobRecord(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                           const IsoJobOperations *Operations, VOID *Record,
                           IsoJobShape *Shape, PUSBD_INTERFACE_INFORMATION *Info,
                           PUSBD_PIPE_INFORMATION *Pipe) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->Parameters.DeviceIoControl.InputBufferLength < Operations->RecordBytes ||
        Irp->AssociatedIrp.SystemBuffer == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    RtlCopyMemory(Record, Irp->AssociatedIrp.SystemBuffer, Operations->RecordBytes);
    Operations->ShapeOf(Record, Shape);

    PUSBD_INTERFACE_INFORMATION info = NULL;
    PUSBD_PIPE_INFORMATION pipe = NULL;
    NTSTATUS status = AcquirePipe(GetDeviceExtension(DeviceObject), Shape->PipeIndex,
                                  PIPE_KINDS_ISOCHRONOUS, &info, &pipe);
    if (!NT_SUCCESS(status)) return status;
    if (Shape->PacketSize == 0 || Shape->PacketsPerRequest == 0 || Shape->SlotCount == 0 ||
        !IsoProductFits(Shape->PacketsPerRequest, Shape->SlotCount, 1)) {
        status = STATUS_INVALID_PARAMETER;
    } else {
        status = Operations->CheckRecord(Irp, Record);
    }
    if (NT_SUCCESS(status)) {
        status = IsoCheckPacketsPerRequest(DeviceObject, pipe, Shape->PacketsPerRequest);
    }
    if (!NT_SUCCESS(status)) {
        ReleaseInterfaceInfo(info);
        return status;
    }
    *Info = info;
    *Pipe = pipe;
    return STATUS_SUCCESS;
}

BOOLEAN IsoProductFits(ULONG A, ULONG B, ULONG C) {
    const ULONGLONG product = (ULONGLONG)A * B;
    if (product > ISO_MAX_ULONG) return FALSE;
    return product * C <= ISO_MAX_ULONG;
}

// High speed: one packet per 2^(bInterval-1) microframes, so a frame holds
// 8, 4, 2 or 1 of them.
static ULONG PacketsPerFrame(UCHAR Interval) {
    if (Interval <= 1) return 8;
    if (Interval >= 4) return 1;
    return 8u >> (Interval - 1);
}

// PacketsPerRequest within what the bus accepts for the pipe, at the speed the
// bus driver reported at start (BusSpeed). IRQL <= DISPATCH_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL)
static NTSTATUS IsoCheckPacketsPerRequest(PDEVICE_OBJECT DeviceObject,
                                          const USBD_PIPE_INFORMATION *Pipe,
                                          ULONG PacketsPerRequest) {
    DRV_IRQL_MAX(DISPATCH_LEVEL);
    if (PacketsPerRequest == 0 || PacketsPerRequest > ISO_MAX_PACKETS_HIGH_SPEED) {
        return STATUS_INVALID_PARAMETER;
    }
    const BOOLEAN wholeFrames = (PacketsPerRequest % PacketsPerFrame(Pipe->Interval)) == 0;
    const BOOLEAN fullSpeedFits = PacketsPerRequest <= ISO_MAX_PACKETS_FULL_SPEED;
    // The speed the bus driver reported at start; a bus driver that did not
    // say gets only what both speeds accept.
    switch (ReadUCharNoFence(&GetDeviceExtension(DeviceObject)->BusSpeed)) {
        case USBCAM_BUS_SPEED_HIGH: return wholeFrames ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
        case USBCAM_BUS_SPEED_FULL: return fullSpeedFits ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
        default: return wholeFrames && fullSpeedFits ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
    }
}
