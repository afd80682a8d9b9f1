// Continuous isochronous streaming: SlotCount requests kept in flight on one
// isochronous pipe; each request, in the order the requests were sent (which
// is the order the bus serves them), has its descriptors and then its whole
// payload stride appended to the stream's two rings before its slot is sent
// again; the client drains whole packets with IOCTL_USBCAM_READ_STREAM.
//
// Locks and references:
// - The job's drainer (transfer/iso_job.h) is the one producer of the rings:
//   one at a time, in send order. OrderLock (per stream) guards only the
//   order; the rings themselves take no lock.
// - StreamLock (per device) guards DataRing, DescriptorRing and ActiveStream
//   together; ReadStream takes a reference on the stream under it, so the
//   rings it drains outlive the stream's last slot if need be.
// - StreamReadLock (per device, a synchronisation event) lets one ReadStream
//   drain at a time.
// - A running stream holds one count of the I/O gate, so removal waits for
//   its last slot; the slots hold the stream's reference together.
// No path holds two spin locks at once.
#include "transfer/iso_job.h"
#include "transfer/transfer.h"
#include "usbcam/usbcam_ioctl.h"
#include "platform/system_address.h"
#include "usb/interface_snapshot.h"

// Frees whatever of the stream is still allocated but its rings and its
// context, which its last reference frees. IRQL <= DISPATCH_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL)
static VOID FreeStream(StreamContext *Context) {
    DRV_IRQL_MAX(DISPATCH_LEVEL);
    IsoReleaseJob(Context);
    if (Context->PayloadBuffer != NULL) DrvFreePool(Context->PayloadBuffer);
    Context->PayloadBuffer = NULL;
}

// IRQL <= DISPATCH_LEVEL, the drainer. The last slot tears the stream down;
// leaving the gate is its last access to the device.
_IRQL_requires_max_(DISPATCH_LEVEL)
static BOOLEAN StreamStopSlot(IsoSlot *Slot, NTSTATUS Cause) {
    DRV_IRQL_MAX(DISPATCH_LEVEL);
    UNREFERENCED_PARAMETER(Cause);
    StreamContext *context = Slot->Owner;
    PDEVICE_OBJECT device = context->Device;
    PDEVICE_EXTENSION extension = GetDeviceExtension(device);

    IsoFreeSlotRequest(Slot);
    if (InterlockedDecrement(&context->ActiveSlots) != 0) return FALSE;

    FreeStream(context);
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&extension->StreamLock);
    IsoUnlistJobLocked(extension, context);
    if (ReadUCharNoFence(&context->StreamStopRequested)) extension->StreamsStopping--;
    // Only this stream's own rings: a newer stream started meanwhile keeps
    // the extension's ring references, and ReadStream still reaches it.
    if (extension->ActiveStream == context) {
        extension->DataRing = NULL;
        extension->DescriptorRing = NULL;
        extension->ActiveStream = NULL;
    }
    KeReleaseSpinLock(&extension->StreamLock, oldIrql);
    KeSetEvent(&extension->StreamEnded, IO_NO_INCREMENT, FALSE);
    IsoDropJobReference(context);
    ReleaseIo(device);
    return TRUE;
}

// The request's descriptors and payload go in together or not at all, so the
// two rings always hold the same packets: a reader frees payload room before
// descriptor room, and a payload let in without its descriptors (or the
// reverse) would pair every later packet with the wrong descriptor.
// Descriptors first: a reader that finds a packet's payload finds its
// descriptor too. Only the drainer appends, so room only grows between the
// check and the writes. IRQL <= DISPATCH_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN StreamAppendRequest(StreamContext *Context, const IsoSlot *Slot) {
    DRV_IRQL_MAX(DISPATCH_LEVEL);
    const ULONG n = Context->PacketsPerRequest;
    const ULONG descriptorBytes = n * ISO_DESCRIPTOR_BYTES;
    const ULONG payloadBytes = n * Context->PacketSize;
    if (RingFreeBytes(Context->StreamDescriptorRing) < descriptorBytes ||
        RingFreeBytes(Context->StreamDataRing) < payloadBytes) {
        return FALSE;
    }
    (VOID) RingWrite(Context->StreamDescriptorRing, &Slot->Urb->UrbIsochronousTransfer.IsoPacket[0],
                     descriptorBytes);
    (VOID) RingWrite(Context->StreamDataRing,
                     Context->PayloadBuffer + (SIZE_T)Slot->StartPacket * Context->PacketSize,
                     payloadBytes);
    return TRUE;
}

// IRQL <= DISPATCH_LEVEL, the drainer. The stop flag is read here, when the
// slot's turn has come, rather than when its request completed: a slot
// parked behind an older one stops at a StopStream that came meanwhile.
_IRQL_requires_max_(DISPATCH_LEVEL)
static BOOLEAN StreamTakeRequest(StreamContext *Context, const IsoSlot *Slot) {
    DRV_IRQL_MAX(DISPATCH_LEVEL);
    (VOID) StreamAppendRequest(Context, Slot);
    return !ReadUCharNoFence(&Context->StreamStopRequested);
}

// TRUE when the request failed as a whole only because each of its packets
// was late. IRQL <= DISPATCH_LEVEL.
static BOOLEAN AllPacketsLate(PURB Urb, ULONG PacketCount) {
    const struct _URB_ISOCH_TRANSFER *iso = &Urb->UrbIsochronousTransfer;
    if (iso->Hdr.Status != USBD_STATUS_ISOCH_REQUEST_FAILED) return FALSE;
    for (ULONG j = 0; j < PacketCount; j++) {
        if (iso->IsoPacket[j].Status != USBD_STATUS_ISO_NOT_ACCESSED_LATE) return FALSE;
    }
    return TRUE;
}

// IRQL <= DISPATCH_LEVEL, any processor; completions of different slots may
// run at once. The request is appended when its turn comes, by the drainer
// (IsoFinishCompletion).
_IRQL_requires_max_(DISPATCH_LEVEL)
static NTSTATUS StreamCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    DRV_IRQL_MAX(DISPATCH_LEVEL);
    UNREFERENCED_PARAMETER(DeviceObject);
    IsoSlot *slot = (IsoSlot *)Context;
    StreamContext *context = slot->Owner;
    const ULONG n = context->PacketsPerRequest;
    const NTSTATUS status = Irp->IoStatus.Status;

    IsoMarkFailedPackets(slot->Urb, n, status);

    // A request that failed only because the bus reached every packet too
    // late (the machine was slow to send it again) is no reason to stop: the
    // next one starts on time. Any other failure stops the slot.
    // A stop requested meanwhile is seen when the slot's turn comes.
    const NTSTATUS outcome = AllPacketsLate(slot->Urb, n) ? STATUS_SUCCESS : status;
    return IsoFinishCompletion(slot, NT_SUCCESS(outcome), outcome);
}

// The stream's own checks of its record, after the shape both jobs share:
// rings that can hold one request (rings that cannot would drop every
// request), and every size the stream allocates within 32 bits.
_IRQL_requires_(PASSIVE_LEVEL)
static NTSTATUS CheckStreamRecord(PIRP Irp, const VOID *Record) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    UNREFERENCED_PARAMETER(Irp);
    const StreamStartRecord *record = (const StreamStartRecord *)Record;
    if (record->RingPackets == 0 || record->RingPackets < record->PacketsPerRequest ||
        !IsoProductFits(record->SlotCount, record->PacketsPerRequest, record->PacketSize) ||
        !IsoProductFits(record->RingPackets, record->PacketSize, 1) ||
        !IsoProductFits(record->RingPackets, ISO_DESCRIPTOR_BYTES, 1) ||
        !IsoProductFits(record->SlotCount, sizeof(IsoSlot), 1)) {
        return STATUS_INVALID_PARAMETER;
    }
    return STATUS_SUCCESS;
}

static VOID StreamShapeOf(const VOID *Record, IsoJobShape *Shape) {
    const StreamStartRecord *record = (const StreamStartRecord *)Record;
    Shape->PipeIndex = record->PipeIndex;
    Shape->PacketSize = record->PacketSize;
    Shape->PacketsPerRequest = record->PacketsPerRequest;
    Shape->SlotCount = record->SlotCount;
}

const IsoJobOperations StreamOperations = {
    sizeof(StreamStartRecord),
    StreamShapeOf,
    CheckStreamRecord,
    StreamCompletion,
    StreamTakeRequest,
    StreamStopSlot,
    // A stream has no last packet to end a run of requests completed inline.
    ISO_STREAM_INLINE_RESENDS,
};

// PASSIVE_LEVEL, the client's thread. Returns once every slot has been sent.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS StartStream(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
    StreamStartRecord record;
    IsoJobShape shape;
    PUSBD_INTERFACE_INFORMATION info = NULL;
    PUSBD_PIPE_INFORMATION pipe = NULL;
    NTSTATUS status = IsoCheckJobRecord(DeviceObject, Irp, &StreamOperations, &record, &shape,
                                        &info, &pipe);
    if (!NT_SUCCESS(status)) return status;

    StreamContext *context;
    status = IsoCreateJob(DeviceObject, &StreamOperations, info, pipe, &shape, &context);
    if (!NT_SUCCESS(status)) return status;
    context->PayloadBytes = record.SlotCount * record.PacketsPerRequest * record.PacketSize;

    status = STATUS_NO_MEMORY;
    context->PayloadBuffer = (PUCHAR)DrvAllocatePool(context->PayloadBytes);
    if (context->PayloadBuffer == NULL) goto unwind;
    // Every packet's whole stride reaches the client, whatever the bus wrote
    // into it: a stride the camera has not filled (a short, late or failed
    // packet) holds zeros, or this stream's own earlier data, never what the
    // pool held before.
    RtlZeroMemory(context->PayloadBuffer, context->PayloadBytes);
    context->StreamDataRing = RingCreate(record.RingPackets * record.PacketSize);
    if (context->StreamDataRing == NULL) goto unwind;
    context->StreamDescriptorRing = RingCreate(record.RingPackets * ISO_DESCRIPTOR_BYTES);
    if (context->StreamDescriptorRing == NULL) goto unwind;
    if (!NT_SUCCESS(IsoBuildSlots(context))) goto unwind;
    // The running stream keeps the device object until its last slot stops.
    if (!AcquireIo(DeviceObject)) {
        status = STATUS_DELETE_PENDING;
        goto unwind;
    }

    {
        // Its own stop flag starts clear: a stop made before this point
        // belongs to the streams that ran then, which it never revives.
        KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&extension->StreamLock);
        extension->DataRing = context->StreamDataRing;
        extension->DescriptorRing = context->StreamDescriptorRing;
        extension->ActiveStream = context;
        context->NextRunning = extension->RunningJobs;
        extension->RunningJobs = context;
        KeReleaseSpinLock(&extension->StreamLock, oldIrql);
    }

    // Once its slots run, the stream may end and free itself at any moment:
    // nothing of it is touched after this.
    IsoRunJob(context);
    return STATUS_SUCCESS;

unwind:
    FreeStream(context);
    IsoDropJobReference(context);
    return status;
}

// PASSIVE_LEVEL, any client thread. Every stream running now stops; one
// started later does not.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS StopStream(PDEVICE_OBJECT DeviceObject) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&extension->StreamLock);
    for (StreamContext *stream = extension->RunningJobs; stream != NULL;
         stream = stream->NextRunning) {
        if (stream->Operations != &StreamOperations) continue;  // a block read
        if (ReadUCharNoFence(&stream->StreamStopRequested)) continue;
        WriteUCharNoFence(&stream->StreamStopRequested, 1);
        extension->StreamsStopping++;
    }
    KeReleaseSpinLock(&extension->StreamLock, oldIrql);
    return STATUS_SUCCESS;
}


// The stream whose rings ReadStream drains, with a reference taken, or NULL.
_IRQL_requires_max_(DISPATCH_LEVEL)
static StreamContext *TakeActiveStream(PDEVICE_EXTENSION Extension) {
    DRV_IRQL_MAX(DISPATCH_LEVEL);
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Extension->StreamLock);
    StreamContext *stream = Extension->ActiveStream;
    if (stream != NULL) InterlockedIncrement(&stream->References);
    KeReleaseSpinLock(&Extension->StreamLock, oldIrql);
    return stream;
}

// PASSIVE_LEVEL, the client's thread. The dispatcher has checked the input
// length (20) and the output length (PacketCount * (PacketSize + 12)).
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS ReadStream(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
    StreamReadRecord record;
    RtlCopyMemory(&record, Irp->AssociatedIrp.SystemBuffer, sizeof(record));
    Irp->IoStatus.Information = 0;

    KeWaitForSingleObject(&extension->StreamReadLock, Executive, KernelMode, FALSE, NULL);
    NTSTATUS status;
    StreamContext *stream = TakeActiveStream(extension);
    if (stream == NULL) {
        status = STATUS_UNSUCCESSFUL;
    } else if (record.PacketSize == 0 || record.PacketCount == 0 ||
               record.PacketSize != stream->PacketSize) {
        // A read with another packet size would take part of a packet, or
        // the descriptors of packets whose payload it did not take, and every
        // later read would pair payload with the wrong descriptors.
        status = STATUS_INVALID_PARAMETER;
    } else {
        PUCHAR buffer = (PUCHAR)GetMdlSystemAddress(Irp->MdlAddress);
        if (buffer == NULL) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            const ULONG payload =
                RingRead(stream->StreamDataRing, buffer, record.PacketCount * record.PacketSize);
            const ULONG whole = payload / record.PacketSize;
            const ULONG descriptors = RingRead(stream->StreamDescriptorRing, buffer + payload,
                                               whole * ISO_DESCRIPTOR_BYTES);
            Irp->IoStatus.Information = (ULONG_PTR)payload + descriptors;
            status = STATUS_SUCCESS;
        }
    }
    if (stream != NULL) IsoDropJobReference(stream);
    KeSetEvent(&extension->StreamReadLock, IO_NO_INCREMENT, FALSE);
    return status;
}
