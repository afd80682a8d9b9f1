// A tally of isochronous packets as a client reads them back: packets, bytes,
// packets that carry a failure status, and packets lost, counted from the
// sequence numbers the reference camera puts in each packet (the first four
// bytes, little-endian, then byte k = (sequence + k) & 0xFF).
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "usbcam/usbcam_ioctl.h"

namespace usbcam {

class IsoPacketTally {
public:
    // One packet: its payload stride (at least descriptor.Length bytes are
    // read, never more than strideBytes) and its descriptor.
    void Add(const uint8_t *payload, size_t strideBytes, const IsoPacketDescriptor &descriptor);

    // Walks a buffer laid out as the driver returns it: `packets` payload
    // strides of packetSize bytes, then their descriptors. Returns false when
    // the buffer is too short for that.
    bool AddBuffer(const uint8_t *buffer, size_t length, uint32_t packetSize, uint32_t packets);

    uint64_t Packets() const { return packets_; }
    uint64_t Bytes() const { return bytes_; }
    uint64_t FailedPackets() const { return failed_; }
    uint64_t EmptyPackets() const { return empty_; }
    // Packets missing between received ones, not counting those reported as
    // failed. Meaningful only when SequenceNumbered().
    uint64_t LostPackets() const { return lost_; }
    // Received packets whose number lies behind one received before them.
    uint64_t OutOfOrderPackets() const { return outOfOrder_; }
    // True once a packet showed the reference camera's sequence pattern.
    bool SequenceNumbered() const { return sequenced_; }
    // Received packets whose payload broke the pattern.
    uint64_t BadPayloads() const { return badPayload_; }

private:
    uint64_t packets_ = 0;
    uint64_t bytes_ = 0;
    uint64_t failed_ = 0;
    uint64_t empty_ = 0;
    uint64_t lost_ = 0;
    uint64_t outOfOrder_ = 0;
    uint64_t badPayload_ = 0;
    uint64_t failedSinceLast_ = 0;
    bool sequenced_ = false;
    bool havePrevious_ = false;
    bool patternChecked_ = false;
    uint32_t previous_ = 0;
};

}  // namespace usbcam
