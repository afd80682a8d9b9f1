// Byte ring: a fixed-capacity ring of bytes with one producer and one consumer.
//
// Contract:
// - RingWrite appends all of its bytes or none (0 when they do not fit);
//   RingRead takes min(length, stored) bytes, or nothing when length exceeds
//   the capacity. Lengths of 0 move nothing and return 0.
// - One producer and one consumer at a time: two RingWrite calls, or two
//   RingRead calls, on one ring must never overlap (the caller keeps them
//   apart); one RingWrite and one RingRead may run at once on different
//   processors, the producer at DISPATCH_LEVEL.
// - UsedBytes is changed only by interlocked additions (release: the copy is
//   complete before the count publishes it) and tested by acquiring loads
//   before a copy. A stale count only ever errs on the safe side. No spin lock
//   is taken, so a producer that already holds its own lock never holds two.
// - RingDestroy only when neither side can call any more.
#pragma once

#include "driver/driver.h"

typedef struct ByteRing {
    // Where the next appended byte goes; moved only by the producer.
    PUCHAR WritePosition;
    // Where the next byte to be taken lies; moved only by the consumer.
    PUCHAR ReadPosition;
    // Size of Storage in bytes, fixed at creation.
    ULONG Capacity;
    // Bytes stored and not yet taken: interlocked changes, acquiring reads.
    volatile LONG UsedBytes;
    // Initialised and kept for the record's layout; the count is kept with
    // interlocked operations instead of this lock.
    KSPIN_LOCK Lock;
    // Capacity bytes, owned by the ring.
    PUCHAR Storage;
} ByteRing;

// A new empty ring of Capacity bytes (record and storage from non-paged
// pool), or NULL when memory is short or Capacity is 0. IRQL <= DISPATCH_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL)
ByteRing *RingCreate(ULONG Capacity);
// Producer side. Returns Length when appended, 0 when nothing was.
// IRQL <= DISPATCH_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL)
ULONG RingWrite(ByteRing *Ring, const VOID *Source, ULONG Length);
// Consumer side. Returns the bytes taken. IRQL <= DISPATCH_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL)
ULONG RingRead(ByteRing *Ring, VOID *Destination, ULONG Length);
// Bytes that an append could take now. The consumer only ever adds to it, so
// the producer may rely on it until its next append. IRQL <= DISPATCH_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL)
ULONG RingFreeBytes(ByteRing *Ring);
// Frees the storage and the record. IRQL <= DISPATCH_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID RingDestroy(ByteRing *Ring);
