// Isochronous block read and write: a fixed number of packets moved through
// SlotCount requests in flight, the packets handed out to them round-robin,
// every packet's descriptor copied after the payload.
//
// Slot s carries packets s*n .. s*n+n-1, then the same plus G, 2G, ... below
// TotalPackets (G = SlotCount * n). Each completion writes only its own slot
// and its own ranges of the payload and descriptor areas; the job's order
// (transfer/iso_job.h) sends the slots again in the order they were sent, so
// the bus fills the packets in the order they lie in the buffer. The client's
// request holds the I/O gate until every slot has finished.
#include "usb/client_buffer.h"
#include "transfer/iso_job.h"
#include "transfer/transfer.h"
#include "usbcam/usbcam_ioctl.h"
#include "platform/system_address.h"
#include "usb/interface_snapshot.h"

// Descriptors of packets that a slot cut short never carried.
_IRQL_requires_max_(DISPATCH_LEVEL)
static VOID MarkPacketsNotSent(StreamContext *Context, IsoSlot *Slot) {
    DRV_IRQL_MAX(DISPATCH_LEVEL);
    const ULONG n = Context->PacketsPerRequest;
    const ULONG group = Context->SlotCount * n;
    for (ULONG first = Slot->StartPacket; first < Context->TotalPackets; first += group) {
        for (ULONG j = 0; j < n; j++) {
            USBD_ISO_PACKET_DESCRIPTOR descriptor;
            descriptor.Offset = j * Context->PacketSize;
            descriptor.Length = 0;
            descriptor.Status = USBD_STATUS_ISO_NOT_ACCESSED_BY_HW;
            RtlCopyMemory(Context->DescriptorArea + (SIZE_T)(first + j) * ISO_DESCRIPTOR_BYTES,
                          &descriptor, sizeof(descriptor));
        }
        if (group > Context->TotalPackets - first) break;  // no wrap past 32 bits
    }
}

// IRQL <= DISPATCH_LEVEL, the drainer. Setting Done is the last access to
// the slot; once the last slot's is set the client's thread frees the job.
// A slot cut short (camera gone, removal, a refused submission) leaves the
// job's answer alone: the descriptors say what became of each packet.
_IRQL_requires_max_(DISPATCH_LEVEL)
static BOOLEAN IsoBlockStopSlot(IsoSlot *Slot, NTSTATUS Cause) {
    DRV_IRQL_MAX(DISPATCH_LEVEL);
    UNREFERENCED_PARAMETER(Cause);
    StreamContext *context = Slot->Owner;
    if (Slot->StartPacket < context->TotalPackets) MarkPacketsNotSent(context, Slot);
    IsoFreeSlotRequest(Slot);
    const BOOLEAN last = InterlockedDecrement(&context->ActiveSlots) == 0;
    KeSetEvent(&Slot->Done, 1, FALSE);
    return last;
}

// IRQL <= DISPATCH_LEVEL, any processor.
_IRQL_requires_max_(DISPATCH_LEVEL)
static NTSTATUS IsoBlockCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    DRV_IRQL_MAX(DISPATCH_LEVEL);
    UNREFERENCED_PARAMETER(DeviceObject);
    IsoSlot *slot = (IsoSlot *)Context;
    StreamContext *context = slot->Owner;
    const ULONG n = context->PacketsPerRequest;
    const NTSTATUS status = Irp->IoStatus.Status;

    IsoMarkFailedPackets(slot->Urb, n, status);
    RtlCopyMemory(context->DescriptorArea + (SIZE_T)slot->StartPacket * ISO_DESCRIPTOR_BYTES,
                  &slot->Urb->UrbIsochronousTransfer.IsoPacket[0], (SIZE_T)n * ISO_DESCRIPTOR_BYTES);

    // Advance without wrapping past 32 bits: the last group may end at 2^32.
    const ULONG group = context->SlotCount * n;
    const BOOLEAN more = context->TotalPackets - slot->StartPacket > group;
    slot->StartPacket = more ? slot->StartPacket + group : context->TotalPackets;

    const BOOLEAN gone = status == STATUS_DEVICE_NOT_CONNECTED ||
                         slot->Urb->UrbHeader.Status == USBD_STATUS_DEVICE_GONE;
    if (more && gone) return IsoFinishCompletion(slot, FALSE, STATUS_DEVICE_NOT_CONNECTED);
    return IsoFinishCompletion(slot, more, status);
}

// The block read's own checks of its record, after the shape both jobs
// share: TotalPackets a whole number of rounds of every slot, and an output
// buffer that holds every packet's payload and descriptor.
_IRQL_requires_(PASSIVE_LEVEL)
static NTSTATUS CheckBlockRecord(PIRP Irp, const VOID *Record) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    const IsoReadRecord *record = (const IsoReadRecord *)Record;
    const ULONG outputLength =
        IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.OutputBufferLength;
    if (record->TotalPackets == 0 ||
        record->TotalPackets % (record->PacketsPerRequest * record->SlotCount) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    if ((ULONGLONG)outputLength <
            (ULONGLONG)record->TotalPackets * ((ULONGLONG)record->PacketSize + ISO_DESCRIPTOR_BYTES) ||
        Irp->MdlAddress == NULL) {
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

static VOID BlockShapeOf(const VOID *Record, IsoJobShape *Shape) {
    const IsoReadRecord *record = (const IsoReadRecord *)Record;
    Shape->PipeIndex = record->PipeIndex;
    Shape->PacketSize = record->PacketSize;
    Shape->PacketsPerRequest = record->PacketsPerRequest;
    Shape->SlotCount = record->SlotCount;
}

const IsoJobOperations IsoBlockReadOperations = {
    sizeof(IsoReadRecord), BlockShapeOf, CheckBlockRecord, IsoBlockCompletion,
    NULL,  // the completion has written the slot's descriptors
    IsoBlockStopSlot,
    0,  // a block read ends at its last packet
};

_IRQL_requires_(PASSIVE_LEVEL)
static NTSTATUS RunBlockJob(PDEVICE_OBJECT DeviceObject, PIRP Irp, const IsoReadRecord *Record,
                            const IsoJobShape *Shape, PUSBD_INTERFACE_INFORMATION Info,
                            PUSBD_PIPE_INFORMATION Pipe);

// PASSIVE_LEVEL, the client's thread. Blocks until every slot has finished.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS IsoBlockRead(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    IsoReadRecord record;
    IsoJobShape shape;
    PUSBD_INTERFACE_INFORMATION info = NULL;
    PUSBD_PIPE_INFORMATION pipe = NULL;
    NTSTATUS status = IsoCheckJobRecord(DeviceObject, Irp, &IsoBlockReadOperations, &record,
                                        &shape, &info, &pipe);
    if (!NT_SUCCESS(status)) return status;

    // IOCTL_USBCAM_ISO_WRITE hands the buffer over for reading only, yet the
    // job writes into it: the payload of an IN pipe, and the descriptor area
    // whatever the direction. Its pages must be writable by the client.
    PVOID secured = NULL;
    status = SecureClientBufferForDeviceWrites(Irp, TRUE, &secured);
    if (!NT_SUCCESS(status)) {
        ReleaseInterfaceInfo(info);
        return status;
    }
    status = RunBlockJob(DeviceObject, Irp, &record, &shape, info, pipe);
    UnsecureClientBuffer(secured);
    return status;
}

// The job itself, from the allocation of its context to its end. Takes over
// the reference on Info.
_IRQL_requires_(PASSIVE_LEVEL)
static NTSTATUS RunBlockJob(PDEVICE_OBJECT DeviceObject, PIRP Irp, const IsoReadRecord *Record,
                            const IsoJobShape *Shape, PUSBD_INTERFACE_INFORMATION Info,
                            PUSBD_PIPE_INFORMATION Pipe) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    StreamContext *context;
    NTSTATUS status = IsoCreateJob(DeviceObject, &IsoBlockReadOperations, Info, Pipe, Shape,
                                   &context);
    if (!NT_SUCCESS(status)) return status;
    context->TotalPackets = Record->TotalPackets;
    context->PayloadBuffer = (PUCHAR)GetMdlSystemAddress(Irp->MdlAddress);
    if (context->PayloadBuffer == NULL) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto Free;
    }
    context->PayloadBytes = Record->PacketSize * Record->TotalPackets;
    context->DescriptorArea = context->PayloadBuffer + context->PayloadBytes;
    status = IsoBuildSlots(context);
    if (!NT_SUCCESS(status)) goto Free;

    // Listed while it runs, so that an ABORT_PIPE of its pipe ends it.
    IsoListJob(context);
    IsoRunJob(context);
    for (ULONG i = 0; i < context->SlotCount; i++) {
        KeWaitForSingleObject(&context->Slots[i].Done, Executive, KernelMode, FALSE, NULL);
    }
    {
        PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
        KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&extension->StreamLock);
        IsoUnlistJobLocked(extension, context);
        KeReleaseSpinLock(&extension->StreamLock, oldIrql);
    }
    // Every packet's outcome is in its descriptor; the job itself succeeded.
    status = STATUS_SUCCESS;

Free:
    IsoReleaseJob(context);
    // An abort that waits for the job's sends may hold the context a moment
    // longer; nothing of the client's buffer is touched after this.
    IsoDropJobReference(context);
    return status;
}
