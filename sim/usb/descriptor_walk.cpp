#include "descriptor_walk.h"

#include "sim/usb.h"

namespace sim {
namespace usb {

const char *WalkErrorText(WalkError error) {
    switch (error) {
        case WalkError::None: return "no error";
        case WalkError::TooShort: return "not a configuration descriptor of at least 9 bytes";
        case WalkError::TotalLengthBelowHeader: return "wTotalLength below 9";
        case WalkError::ZeroLength: return "descriptor with bLength below 2";
        case WalkError::PastTotalLength: return "descriptor runs past wTotalLength";
        case WalkError::PastBuffer: return "wTotalLength runs past the buffer";
        case WalkError::BadInterface: return "interface descriptor shorter than 9 bytes";
        case WalkError::BadEndpoint: return "endpoint descriptor shorter than 7 bytes";
        case WalkError::MissingEndpoints: return "bNumEndpoints exceeds the endpoint descriptors present";
    }
    return "unknown";
}

WalkError ConfigurationExtent(const uint8_t *config, size_t bufferLength, size_t *extent) {
    *extent = 0;
    if (config == nullptr || bufferLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
        config[0] < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
        config[1] != USB_CONFIGURATION_DESCRIPTOR_TYPE)
        return WalkError::TooShort;
    size_t total = (size_t)config[2] | ((size_t)config[3] << 8);
    if (total < sizeof(USB_CONFIGURATION_DESCRIPTOR)) return WalkError::TotalLengthBelowHeader;
    if (total > bufferLength) return WalkError::PastBuffer;
    if (config[0] > total) return WalkError::PastTotalLength;
    *extent = total;
    return WalkError::None;
}

WalkError NextDescriptor(const uint8_t *config, size_t extent, size_t offset, size_t *next) {
    *next = extent;
    if (offset + 2 > extent) return WalkError::PastTotalLength;
    size_t length = config[offset];
    if (length < 2) return WalkError::ZeroLength;
    if (offset + length > extent) return WalkError::PastTotalLength;
    UCHAR type = config[offset + 1];
    if (type == USB_INTERFACE_DESCRIPTOR_TYPE && length < sizeof(USB_INTERFACE_DESCRIPTOR))
        return WalkError::BadInterface;
    if (type == USB_ENDPOINT_DESCRIPTOR_TYPE && length < sizeof(USB_ENDPOINT_DESCRIPTOR))
        return WalkError::BadEndpoint;
    *next = offset + length;
    return WalkError::None;
}

WalkError EndpointsOfInterface(const uint8_t *config, size_t extent, size_t interfaceOffset,
                               size_t *count, size_t *offsets, size_t maxOffsets) {
    *count = 0;
    size_t offset;
    WalkError error = NextDescriptor(config, extent, interfaceOffset, &offset);
    if (error != WalkError::None) return error;
    while (offset < extent) {
        size_t next;
        error = NextDescriptor(config, extent, offset, &next);
        if (error != WalkError::None) return error;
        UCHAR type = config[offset + 1];
        if (type == USB_INTERFACE_DESCRIPTOR_TYPE) break;
        if (type == USB_ENDPOINT_DESCRIPTOR_TYPE) {
            if (*count < maxOffsets) offsets[*count] = offset;
            ++*count;
        }
        offset = next;
    }
    return WalkError::None;
}

WalkError CheckConfiguration(const uint8_t *config, size_t bufferLength, size_t *badOffset) {
    *badOffset = 0;
    size_t extent;
    WalkError error = ConfigurationExtent(config, bufferLength, &extent);
    if (error != WalkError::None) return error;
    size_t offset = 0;
    while (offset < extent) {
        *badOffset = offset;
        size_t next;
        error = NextDescriptor(config, extent, offset, &next);
        if (error != WalkError::None) return error;
        if (config[offset + 1] == USB_INTERFACE_DESCRIPTOR_TYPE) {
            size_t count;
            error = EndpointsOfInterface(config, extent, offset, &count, nullptr, 0);
            if (error != WalkError::None) return error;
            if (count < config[offset + 4]) return WalkError::MissingEndpoints;
        }
        offset = next;
    }
    return WalkError::None;
}

}  // namespace usb
}  // namespace sim
