// Bounded walks over configuration descriptors.
//
// Every walk is limited twice: by the configuration's wTotalLength and by the
// number of bytes the caller can vouch for (the buffer). A descriptor whose
// bLength is below 2, or that runs past either limit, ends the walk with an
// error instead of a loop or an out-of-bounds read. Host code shared by the
// USBD library, the profile loader and the bus driver.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace sim {
namespace usb {

enum class WalkError {
    None,
    TooShort,                // fewer than 9 bytes, or not a configuration descriptor
    TotalLengthBelowHeader,  // wTotalLength < 9
    ZeroLength,              // a descriptor with bLength 0 or 1
    PastTotalLength,         // a descriptor runs past wTotalLength
    PastBuffer,              // wTotalLength or a descriptor runs past the buffer
    BadInterface,            // an interface descriptor shorter than 9 bytes
    BadEndpoint,             // an endpoint descriptor shorter than 7 bytes
    MissingEndpoints,        // bNumEndpoints larger than the endpoint descriptors present
};

const char *WalkErrorText(WalkError error);

// The usable extent of a configuration descriptor: the smaller of wTotalLength
// and bufferLength, or an error when the header itself is unusable.
WalkError ConfigurationExtent(const uint8_t *config, size_t bufferLength, size_t *extent);

// Steps from the descriptor at offset to the next one inside extent. Returns
// None and the next offset (== extent at the end), or the error.
WalkError NextDescriptor(const uint8_t *config, size_t extent, size_t offset, size_t *next);

// Checks the whole descriptor: every descriptor well formed, every interface
// followed by at least bNumEndpoints endpoint descriptors before the next
// interface descriptor. *badOffset receives the offset of the culprit.
WalkError CheckConfiguration(const uint8_t *config, size_t bufferLength, size_t *badOffset);

// Counts the endpoint descriptors between the interface descriptor at offset and
// the next interface descriptor (or the end), and gives the offset of each of the
// first maxOffsets of them.
WalkError EndpointsOfInterface(const uint8_t *config, size_t extent, size_t interfaceOffset,
                               size_t *count, size_t *offsets, size_t maxOffsets);

}  // namespace usb
}  // namespace sim
