// Pieces of the bulk and interrupt transfer engines shared between their files
// and their tests.
#pragma once

#include "driver/driver.h"

// Where one segment is. The table is zero-filled, so a record not yet
// issued (and the terminator) is SegmentUnsent. Written by the issuing
// thread before the send, then under CompletionLock.
typedef enum _SEGMENT_STATE {
    SegmentUnsent = 0,
    // Sent; its IRP, MDL and URB are the segment's own.
    SegmentInFlight,
    // Came back while CancelSegments walked the table: its IRP, MDL and URB
    // wait for the walk to release them.
    SegmentHeld,
    // Came back and released: Irp, Mdl and Urb are NULL.
    SegmentReleased
} SEGMENT_STATE;

// One segment of a segmented bulk transfer. The table holds one record per
// segment and an all-zero terminator (Device NULL).
typedef struct SegmentRecord {
    PURB Urb;               // the segment's URB, owned by the segment
    PDEVICE_OBJECT Device;  // leads the completion to the extension
    PIRP Irp;               // the segment's own IRP; NULL once released
    PMDL Mdl;               // partial MDL over the client's buffer
    SEGMENT_STATE State;
    // Written once by the issuing thread before the send, and by the
    // segment's completion under CompletionLock; read by the last
    // completion, which measures the data the client receives.
    ULONG Length;  // bytes asked of the bus
    ULONG Moved;   // bytes the bus moved; 0 for a failed segment
} SegmentRecord;

#define SEGMENT_BYTES 0x10000UL

// IRQL <= DISPATCH_LEVEL. The URB of one segment over SegmentIrp->MdlAddress,
// or NULL when out of memory.
_IRQL_requires_max_(DISPATCH_LEVEL)
PURB BuildSegmentUrb(PIRP SegmentIrp, const USBD_PIPE_INFORMATION *Pipe, BOOLEAN DeviceToHost);

// Completion routine of every segment IRP (context: its SegmentRecord).
// DISPATCH_LEVEL at most; returns STATUS_MORE_PROCESSING_REQUIRED.
IO_COMPLETION_ROUTINE SegmentCompletion;

// PASSIVE_LEVEL, the transfer's own thread. Cancels every segment still in
// flight and returns when the last one has completed.
_IRQL_requires_(PASSIVE_LEVEL)
VOID CancelSegments(PDEVICE_OBJECT DeviceObject);
