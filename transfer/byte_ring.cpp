// Byte ring: all-or-nothing appends, reads that take what is there.
#include "transfer/byte_ring.h"

_IRQL_requires_max_(DISPATCH_LEVEL)
ByteRing *RingCreate(ULONG Capacity) {
    DRV_IRQL_MAX(DISPATCH_LEVEL);
    if (Capacity == 0) return NULL;
    ByteRing *ring = (ByteRing *)DrvAllocatePool(sizeof(ByteRing));
    if (ring == NULL) return NULL;
    PUCHAR storage = (PUCHAR)DrvAllocatePool(Capacity);
    if (storage == NULL) {
        DrvFreePool(ring);
        return NULL;
    }
    ring->Storage = storage;
    ring->WritePosition = storage;
    ring->ReadPosition = storage;
    ring->Capacity = Capacity;
    ring->UsedBytes = 0;
    KeInitializeSpinLock(&ring->Lock);
    return ring;
}

// Copies Length bytes between the ring at *Position and Outside, in one piece
// or, across the end of Storage, in two; leaves *Position after the last byte,
// set back to the start when it reaches the end.
static VOID CopyAcrossEnd(ByteRing *Ring, PUCHAR *Position, PUCHAR Outside, ULONG Length,
                          BOOLEAN IntoRing) {
    PUCHAR end = Ring->Storage + Ring->Capacity;
    const ULONG first = (ULONG)(end - *Position);
    if (Length < first) {
        if (IntoRing) RtlCopyMemory(*Position, Outside, Length);
        else RtlCopyMemory(Outside, *Position, Length);
        *Position += Length;
        return;
    }
    const ULONG rest = Length - first;
    if (IntoRing) {
        RtlCopyMemory(*Position, Outside, first);
        RtlCopyMemory(Ring->Storage, Outside + first, rest);
    } else {
        RtlCopyMemory(Outside, *Position, first);
        RtlCopyMemory(Outside + first, Ring->Storage, rest);
    }
    *Position = Ring->Storage + rest;
}

_IRQL_requires_max_(DISPATCH_LEVEL)
ULONG RingWrite(ByteRing *Ring, const VOID *Source, ULONG Length) {
    DRV_IRQL_MAX(DISPATCH_LEVEL);
    if (Length == 0) return 0;
    const ULONG used = (ULONG)ReadAcquire(&Ring->UsedBytes);
    if (Length > Ring->Capacity - used) return 0;
    CopyAcrossEnd(Ring, &Ring->WritePosition, (PUCHAR)Source, Length, TRUE);
    InterlockedExchangeAdd(&Ring->UsedBytes, (LONG)Length);
    return Length;
}

_IRQL_requires_max_(DISPATCH_LEVEL)
ULONG RingRead(ByteRing *Ring, VOID *Destination, ULONG Length) {
    DRV_IRQL_MAX(DISPATCH_LEVEL);
    if (Length == 0 || Length > Ring->Capacity) return 0;
    const ULONG used = (ULONG)ReadAcquire(&Ring->UsedBytes);
    if (used == 0) return 0;
    const ULONG n = Length < used ? Length : used;
    CopyAcrossEnd(Ring, &Ring->ReadPosition, (PUCHAR)Destination, n, FALSE);
    InterlockedExchangeAdd(&Ring->UsedBytes, -(LONG)n);
    return n;
}

_IRQL_requires_max_(DISPATCH_LEVEL)
ULONG RingFreeBytes(ByteRing *Ring) {
    DRV_IRQL_MAX(DISPATCH_LEVEL);
    return Ring->Capacity - (ULONG)ReadAcquire(&Ring->UsedBytes);
}

_IRQL_requires_max_(DISPATCH_LEVEL)
VOID RingDestroy(ByteRing *Ring) {
    DRV_IRQL_MAX(DISPATCH_LEVEL);
    DrvFreePool(Ring->Storage);
    DrvFreePool(Ring);
}
