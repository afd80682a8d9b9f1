// Isochronous jobs: the records of one job (StreamContext) and of one of its
// URB and IRP pairs (IsoSlot), how a slot is built, rebuilt and sent in
// order, and the checks of a job's record. Used by the block read and the
// continuous stream.
//
// Contract of a slot's life:
// - A slot is built once (BuildIsoRequest) and then runs: IsoRunJob sends
//   every slot, slot 0 first, and each completion parks its slot's outcome
//   (IsoFinishCompletion). The job's drainer takes the parked slots in the
//   order they were sent, hands each to its engine (the stream appends it to
//   its rings) and sends it again or stops it for good, which frees its URB
//   and IRP. Every send goes to the back of the job's order, so a slot is
//   sent again in the order it was sent before: the bus serves the job's
//   requests in that order, and a stream's rings receive them in it, however
//   many processors run the completions and in whatever order.
// - One drainer at a time: the completion of the oldest slot sent becomes
//   the drainer when none is running; any other completion parks and
//   returns. Nothing spins or waits. Only the drainer sends and stops slots,
//   so the job lives while it drains, until it stops the job's last slot.
// - A completion that runs while its own submission is still inside
//   IofCallDriver finds the drainer running (the submitter) and parks.
//   IofCallDriver therefore never nests more than once through a slot's
//   completion, however often the bus fails requests inline. A request that
//   completed during its own send (IofCallDriver did not return
//   STATUS_PENDING) with a failure was refused at submission: its slot is
//   not sent again. One that completed there with success is taken and sent
//   again like any other, by the drainer's loop; a stream's drainer stops a
//   slot after ISO_STREAM_INLINE_RESENDS such sends in one run, so a lower
//   driver that completes every request inline cannot hold it at
//   DISPATCH_LEVEL for good.
// - A slot stops when its engine says so (failed request, stop requested,
//   block read finished) or when removal has begun, after its outcome has
//   been taken in order; it then leaves the order, so it never holds up the
//   slots sent after it.
// - Nothing is sent once removal has begun: every send is bracketed by the
//   I/O gate's BeginSend / EndSend, and RemoveDevice waits for the sends in
//   progress (CloseIoGates) before it aborts the pipes, so
//   every request sent before removal is cancelled by the aborts and none is
//   sent after them.
// - A job holds a reference on the InterfaceInfo it started with until its
//   last slot has stopped, so its Pipe entry stays valid whatever interface
//   selection does meanwhile.
#pragma once

#include "transfer/byte_ring.h"

// Bytes of the platform's _URB_ISOCH_TRANSFER with its first IsoPacket entry.
#define ISO_URB_BASE_BYTES 152
#define ISO_DESCRIPTOR_BYTES 12
#define ISO_MAX_ULONG 0xFFFFFFFFull
// Packets per request the bus accepts: at most 1024 at high speed (and a
// whole number of frames), 255 at full speed.
#define ISO_MAX_PACKETS_HIGH_SPEED 1024
#define ISO_MAX_PACKETS_FULL_SPEED 255
// Requests completed with success inside their own send that one run of a
// stream's drainer sends again before it stops such a slot.
#define ISO_STREAM_INLINE_RESENDS 64

struct StreamContext;
struct IsoSlot;
struct IsoJobShape;

// The routines each user of the job engine supplies (IsoJobOperations).
typedef VOID ISO_SHAPE_OF(const VOID *Record, struct IsoJobShape *Shape);
typedef NTSTATUS ISO_CHECK_RECORD(PIRP Irp, const VOID *Record);
typedef BOOLEAN ISO_TAKE_REQUEST(struct StreamContext *Context, const struct IsoSlot *Slot);
typedef BOOLEAN ISO_STOP_SLOT(struct IsoSlot *Slot, NTSTATUS Cause);

// What each user of the job engine supplies: the block read
// (IsoBlockReadOperations) and the continuous stream (StreamOperations). The
// engine never asks which user a job has; it calls these.
typedef struct IsoJobOperations {
    // Bytes of the user's record in the request's system buffer, and what it
    // says of the job's shape.
    ULONG RecordBytes;
    ISO_SHAPE_OF *ShapeOf;
    // The user's own checks of its record, after the shape common to both
    // (IsoCheckJobRecord) has passed, so it may divide by the shape's counts.
    // STATUS_SUCCESS or the failure the client gets. PASSIVE_LEVEL.
    ISO_CHECK_RECORD *CheckRecord;
    // The completion routine of every slot; it ends in IsoFinishCompletion.
    PIO_COMPLETION_ROUTINE Completion;
    // The drainer takes the slot's request in its turn. FALSE when the slot
    // must not be sent again, whatever its completion asked. NULL: the
    // completion has done all there is. IRQL <= DISPATCH_LEVEL.
    ISO_TAKE_REQUEST *TakeRequest;
    // Stops a slot for good, called by the drainer only; Cause is the status
    // that stopped it. TRUE when it was the job's last slot: the job may be
    // gone, and the caller touches nothing of it. IRQL <= DISPATCH_LEVEL.
    ISO_STOP_SLOT *StopSlot;
    // Requests completed with success inside their own send that one run of
    // the drainer sends again before it stops such a slot; 0 for no bound
    // (a job that ends by itself, at its last packet).
    ULONG InlineResendLimit;
} IsoJobOperations;

extern const IsoJobOperations IsoBlockReadOperations;  // transfer/iso_block_read.cpp
extern const IsoJobOperations StreamOperations;        // transfer/stream.cpp

// What both users' records say of a job: its pipe and how it is cut into
// requests.
typedef struct IsoJobShape {
    ULONG PipeIndex;
    ULONG PacketSize;
    ULONG PacketsPerRequest;
    ULONG SlotCount;
} IsoJobShape;

typedef struct IsoSlot {
    // Job-wide index of the first packet of the slot's current request.
    ULONG StartPacket;
    struct StreamContext *Owner;
    // 152 + 12 * PacketsPerRequest bytes of non-paged pool, owned by the slot.
    PURB Urb;
    // From IoAllocateIrp, owned by the slot.
    PIRP Irp;
    // Notification event; set when a block read's slot has finished.
    KEVENT Done;

    // --- Fields of the driver's own, after the listed ones. ---

    // Written by the drainer that sent the request, once IofCallDriver has
    // returned; read by the drainer that takes it: TRUE when the lower driver
    // completed the request during the send (it did not return
    // STATUS_PENDING).
    BOOLEAN CompletedInSend;
    // Written by the completion before it parks the slot; read by the
    // drainer that takes it.
    BOOLEAN Resubmit;
    NTSTATUS LastStatus;
    // Under the job's OrderLock: the slot sent next after this one while
    // both are in the order, and whether this one's request has completed
    // (parked, waiting for its turn).
    _Guarded_by_(Owner->OrderLock) struct IsoSlot *NextSent;
    _Guarded_by_(Owner->OrderLock) BOOLEAN Parked;
} IsoSlot;

// One isochronous job, a block read's or a stream's: the name is the one the
// stream gave it first.
typedef struct StreamContext {
    PDEVICE_OBJECT Device;
    ULONG PacketSize;
    // Block read: packets to move; 0 for a stream.
    ULONG TotalPackets;
    // The pipe's entry inside Interface (below), valid while the job holds it.
    PUSBD_PIPE_INFORMATION Pipe;
    // Block read: system address of the client buffer; stream: its own buffer.
    PUCHAR PayloadBuffer;
    ULONG PayloadBytes;
    // Block read: PayloadBuffer + PayloadBytes; NULL for a stream.
    PUCHAR DescriptorArea;
    ULONG PacketsPerRequest;
    ULONG SlotCount;
    // Slots not yet stopped; decremented atomically.
    volatile LONG ActiveSlots;
    ByteRing *StreamDataRing;
    ByteRing *StreamDescriptorRing;
    IsoSlot *Slots;

    // --- Fields of the driver's own, after the listed ones. ---

    // The pipe table the job started with, one reference held.
    PUSBD_INTERFACE_INFORMATION Interface;
    // The job's user: IsoBlockReadOperations or StreamOperations.
    const IsoJobOperations *Operations;
    // Guards the order of sent slots (OldestSent .. NewestSent through
    // NextSent, each slot's Parked) and Draining; held for those fields only,
    // never across a send, an append or another lock.
    KSPIN_LOCK OrderLock;
    _Guarded_by_(OrderLock) IsoSlot *OldestSent;
    _Guarded_by_(OrderLock) IsoSlot *NewestSent;
    // A drainer is running (the starter while it sends the first requests,
    // or the completion that found its slot oldest).
    _Guarded_by_(OrderLock) BOOLEAN Draining;
    // 1 for the job's owner (a stream's running slots together, a block
    // read's client thread), plus 1 per ReadStream draining a stream's rings
    // and per ABORT_PIPE waiting for the job's sends; the last reference
    // frees the rings (if any) and the context (IsoDropJobReference).
    volatile LONG References;
    // Stream: a StopStream made while this stream ran asks its slots to
    // stop. Set under the device's StreamLock by StopStream (never cleared: a
    // later StartStream builds a stream of its own with its own flag), read
    // by the drainer with ReadUCharNoFence.
    volatile UCHAR StreamStopRequested;
    // The next job of the device's RunningJobs list, under StreamLock.
    _Guarded_by_(Device->DeviceExtension->StreamLock) struct StreamContext *NextRunning;
    // Set once by an ABORT_PIPE of the job's pipe, under the device's
    // StreamLock; read by the drainer before each send (ReadUCharNoFence):
    // an aborted job sends nothing more, and its slots stop as they come back.
    volatile UCHAR Aborted;
    // The drainer's sends between their look at Aborted and the return of
    // their IofCallDriver (interlocked changes); SendsIdle (notification) is
    // set when the count drops to 0 once Aborted is set, so that an abort
    // sends its request to the bus only after every send that missed the flag.
    volatile LONG SendsInProgress;
    KEVENT SendsIdle;
} StreamContext;

// The one constructor of a job: a zero-filled StreamContext with its
// operations, device, pipe, shape, ActiveSlots = SlotCount and one
// reference (the owner's), and a
// zero-filled array of SlotCount slots. Takes over the reference on
// Interface, which it gives back on failure. The caller sets the payload
// (and what else its job uses), then builds the slots' requests
// (IsoBuildSlots). STATUS_SUCCESS or STATUS_NO_MEMORY. PASSIVE_LEVEL.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS IsoCreateJob(PDEVICE_OBJECT DeviceObject, const IsoJobOperations *Operations,
                      PUSBD_INTERFACE_INFORMATION Interface, PUSBD_PIPE_INFORMATION Pipe,
                      const IsoJobShape *Shape, StreamContext **Job);

// Drops a reference on the job (References); the last one frees its rings,
// if any, and the context. IRQL <= DISPATCH_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID IsoDropJobReference(StreamContext *Context);

// Puts a job on the device's RunningJobs list, and takes it off under the
// device's StreamLock. IRQL <= DISPATCH_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID IsoListJob(StreamContext *Context);
_IRQL_requires_(DISPATCH_LEVEL)
_Requires_lock_held_(Extension->StreamLock)
VOID IsoUnlistJobLocked(PDEVICE_EXTENSION Extension, StreamContext *Context);

// Builds every slot's request (BuildIsoRequest). On failure the requests
// built are freed again and the result is STATUS_NO_MEMORY. PASSIVE_LEVEL.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS IsoBuildSlots(StreamContext *Context);

// Frees what IsoCreateJob and IsoBuildSlots allocated, except the context
// itself: every slot's request, the slot array, and the reference on the
// pipe table. IRQL <= DISPATCH_LEVEL (a stream's last slot calls it).
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID IsoReleaseJob(StreamContext *Context);

// Fills slot Index of Context: a zero-filled URB and an IRP with the lower
// device's StackSize + 1 locations, the job's completion routine.
// STATUS_SUCCESS or STATUS_NO_MEMORY (nothing of its own left allocated).
// IRQL <= DISPATCH_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS BuildIsoRequest(StreamContext *Context, ULONG Index);

// Frees the slot's URB and IRP, if any. IRQL <= DISPATCH_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID IsoFreeSlotRequest(IsoSlot *Slot);

// Sends every slot of a job whose slots are built and whose ActiveSlots is
// SlotCount, slot 0 first, then drains what completed meanwhile. The job may
// have ended when it returns (a stream frees itself with its last slot):
// the caller touches nothing of a stream after it. IRQL <= DISPATCH_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID IsoRunJob(StreamContext *Context);

// The tail of every slot completion: records the slot's outcome (Resubmit:
// send it again; IrpStatus: the status it stops with otherwise), parks it,
// and drains the job if the slot was the oldest sent and no drainer runs.
// Touches nothing of the job once it has parked. Returns
// STATUS_MORE_PROCESSING_REQUIRED. IRQL <= DISPATCH_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS IsoFinishCompletion(IsoSlot *Slot, BOOLEAN Resubmit, NTSTATUS IrpStatus);

// Stream: appends the slot's descriptors and payload stride to the stream's
// rings, both or neither. Called by the stream's drainer only (one producer
// at a time); takes no lock. TRUE when appended. IRQL <= DISPATCH_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN StreamAppendRequest(StreamContext *Context, const IsoSlot *Slot);

// A failed request may come back with packets the bus never filled in: every
// packet still marked as a success is given the request's USBD status (or
// USBD_STATUS_ISO_NOT_ACCESSED_BY_HW) and length 0, so that no descriptor
// reports a failed packet as received. IRQL <= DISPATCH_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID IsoMarkFailedPackets(PURB Urb, ULONG PacketCount, NTSTATUS IrpStatus);

// The one check of a job's record, in this order: the input holds
// Operations->RecordBytes (STATUS_INVALID_PARAMETER; then *Record holds a
// copy, from which Operations->ShapeOf fills *Shape); the pipe the shape names
// (STATUS_UNSUCCESSFUL without an interface or without a pipe handle,
// STATUS_INVALID_PARAMETER for an index past the table or a pipe that is
// not isochronous); the shape (sizes and counts not 0, PacketsPerRequest *
// SlotCount within 32 bits: STATUS_INVALID_PARAMETER); the user's own
// CheckRecord; PacketsPerRequest within what the bus accepts at the speed
// it reported at start (STATUS_INVALID_PARAMETER). On success *Info holds a
// reference on the pipe table (the caller releases it or hands it to
// IsoCreateJob) and *Pipe points into it. PASSIVE_LEVEL.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS IsoCheckJobRecord(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                           const IsoJobOperations *Operations, VOID *Record,
                           IsoJobShape *Shape, PUSBD_INTERFACE_INFORMATION *Info,
                           PUSBD_PIPE_INFORMATION *Pipe);

// TRUE when A * B * C fits in 32 bits. Any IRQL.
BOOLEAN IsoProductFits(ULONG A, ULONG B, ULONG C);
