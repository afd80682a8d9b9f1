// The isochronous packet tally.
#include "usbcam/iso_packets.h"

#include <string.h>

namespace usbcam {

void IsoPacketTally::Add(const uint8_t *payload, size_t strideBytes, const IsoPacketDescriptor &d) {
    ++packets_;
    if (d.Status != 0) {
        ++failed_;
        ++failedSinceLast_;
        return;
    }
    const size_t length = d.Length < strideBytes ? d.Length : strideBytes;
    bytes_ += length;
    if (length < 4) {
        if (length == 0) ++empty_;
        return;
    }
    const uint32_t seq = static_cast<uint32_t>(payload[0]) | static_cast<uint32_t>(payload[1]) << 8 |
                         static_cast<uint32_t>(payload[2]) << 16 | static_cast<uint32_t>(payload[3]) << 24;
    bool patternHolds = true;
    for (size_t k = 4; k < length; ++k) {
        if (payload[k] != static_cast<uint8_t>(seq + k)) {
            patternHolds = false;
            break;
        }
    }
    if (!patternChecked_) {
        patternChecked_ = true;
        sequenced_ = patternHolds;
    }
    if (!sequenced_) return;
    if (!patternHolds) ++badPayload_;
    if (havePrevious_) {
        const uint32_t gap = seq - previous_ - 1;  // wraps like the camera's counter
        if (gap >= 0x80000000u) {
            // Behind the highest number seen: it arrived after packets sent
            // later. It fills a gap counted as lost when those came, so it is
            // out of order, not lost; the highest number stays.
            ++outOfOrder_;
            if (lost_ > 0) --lost_;
            return;
        }
        if (gap > failedSinceLast_) lost_ += gap - failedSinceLast_;
    }
    failedSinceLast_ = 0;
    havePrevious_ = true;
    previous_ = seq;
}

bool IsoPacketTally::AddBuffer(const uint8_t *buffer, size_t length, uint32_t packetSize,
                               uint32_t packets) {
    const uint64_t need = uint64_t{packets} * (uint64_t{packetSize} + sizeof(IsoPacketDescriptor));
    if (need > length) return false;
    const uint8_t *descriptors = buffer + size_t{packets} * packetSize;
    for (uint32_t i = 0; i < packets; ++i) {
        IsoPacketDescriptor d;
        memcpy(&d, descriptors + size_t{i} * sizeof d, sizeof d);
        Add(buffer + size_t{i} * packetSize, packetSize, d);
    }
    return true;
}

}  // namespace usbcam
