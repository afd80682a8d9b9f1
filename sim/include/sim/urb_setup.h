// The setup packet each control URB function puts on the wire (USB 2.0
// chapter 9): bmRequestType (direction, type, recipient) and bRequest, and
// the packet built from the URB's own fields. One table for every bus of the
// tree: the emulated bus, the libusb-backed bus and the Wine test bus (a
// kernel-mode driver built with mingw-w64), so it is plain C++ with no
// library, no constructor and no allocation.
//
// Include it after the platform's URB declarations (sim/usb.h on the host,
// the DDK's usb.h in a Windows build).
#pragma once

namespace urbsetup {

struct Shape {
    USHORT Function;
    UCHAR RequestType;  // for vendor and class requests without the direction bit
    UCHAR Request;      // 0 for vendor and class requests: the URB carries it
};

// Every control URB function the platform defines with a fixed setup packet,
// URB_FUNCTION_CONTROL_TRANSFER (which carries its own packet) aside.
static const Shape kShapes[] = {
    {URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, 0x80, USB_REQUEST_GET_DESCRIPTOR},
    {URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE, 0x81, USB_REQUEST_GET_DESCRIPTOR},
    {URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT, 0x82, USB_REQUEST_GET_DESCRIPTOR},
    {URB_FUNCTION_SET_DESCRIPTOR_TO_DEVICE, 0x00, USB_REQUEST_SET_DESCRIPTOR},
    {URB_FUNCTION_SET_DESCRIPTOR_TO_INTERFACE, 0x01, USB_REQUEST_SET_DESCRIPTOR},
    {URB_FUNCTION_SET_DESCRIPTOR_TO_ENDPOINT, 0x02, USB_REQUEST_SET_DESCRIPTOR},
    {URB_FUNCTION_SET_FEATURE_TO_DEVICE, 0x00, USB_REQUEST_SET_FEATURE},
    {URB_FUNCTION_SET_FEATURE_TO_INTERFACE, 0x01, USB_REQUEST_SET_FEATURE},
    {URB_FUNCTION_SET_FEATURE_TO_ENDPOINT, 0x02, USB_REQUEST_SET_FEATURE},
    {URB_FUNCTION_SET_FEATURE_TO_OTHER, 0x03, USB_REQUEST_SET_FEATURE},
    {URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE, 0x00, USB_REQUEST_CLEAR_FEATURE},
    {URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE, 0x01, USB_REQUEST_CLEAR_FEATURE},
    {URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT, 0x02, USB_REQUEST_CLEAR_FEATURE},
    {URB_FUNCTION_CLEAR_FEATURE_TO_OTHER, 0x03, USB_REQUEST_CLEAR_FEATURE},
    {URB_FUNCTION_GET_STATUS_FROM_DEVICE, 0x80, USB_REQUEST_GET_STATUS},
    {URB_FUNCTION_GET_STATUS_FROM_INTERFACE, 0x81, USB_REQUEST_GET_STATUS},
    {URB_FUNCTION_GET_STATUS_FROM_ENDPOINT, 0x82, USB_REQUEST_GET_STATUS},
    {URB_FUNCTION_GET_STATUS_FROM_OTHER, 0x83, USB_REQUEST_GET_STATUS},
    {URB_FUNCTION_VENDOR_DEVICE, 0x40, 0},
    {URB_FUNCTION_VENDOR_INTERFACE, 0x41, 0},
    {URB_FUNCTION_VENDOR_ENDPOINT, 0x42, 0},
    {URB_FUNCTION_VENDOR_OTHER, 0x43, 0},
    {URB_FUNCTION_CLASS_DEVICE, 0x20, 0},
    {URB_FUNCTION_CLASS_INTERFACE, 0x21, 0},
    {URB_FUNCTION_CLASS_ENDPOINT, 0x22, 0},
    {URB_FUNCTION_CLASS_OTHER, 0x23, 0},
    {URB_FUNCTION_GET_CONFIGURATION, 0x80, USB_REQUEST_GET_CONFIGURATION},
    {URB_FUNCTION_GET_INTERFACE, 0x81, USB_REQUEST_GET_INTERFACE},
};

// The shape of a control URB function; null for any other function.
inline const Shape *Find(USHORT function) {
    for (const Shape &s : kShapes)
        if (s.Function == function) return &s;
    return nullptr;
}

// Set and clear feature requests have no data stage and no buffer.
inline bool IsFeature(const Shape &shape) {
    return shape.Request == USB_REQUEST_SET_FEATURE || shape.Request == USB_REQUEST_CLEAR_FEATURE;
}

// The header length the bus requires of a URB of this shape.
inline USHORT UrbLength(const Shape &shape) {
    if (IsFeature(shape)) return sizeof(struct _URB_CONTROL_FEATURE_REQUEST);
    if ((shape.RequestType & 0x60) != 0) return sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    switch (shape.Request) {
        case USB_REQUEST_GET_STATUS: return sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST);
        case USB_REQUEST_GET_CONFIGURATION: return sizeof(struct _URB_CONTROL_GET_CONFIGURATION_REQUEST);
        case USB_REQUEST_GET_INTERFACE: return sizeof(struct _URB_CONTROL_GET_INTERFACE_REQUEST);
        default: return sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
    }
}

// Vendor and class requests take bRequest, wValue, wIndex and the direction
// from the URB.
inline bool IsVendorOrClass(const Shape &shape) { return (shape.RequestType & 0x60) != 0; }

// The setup packet of urb, whose function has this shape. wLength is
// `length` (0 for a feature request); the caller has checked it fits.
inline void Build(const Shape &shape, const URB &urb, USHORT length, UCHAR setup[8]) {
    UCHAR type = shape.RequestType, request = shape.Request;
    USHORT value = 0, index = 0;
    if (IsFeature(shape)) {
        value = urb.UrbControlFeatureRequest.FeatureSelector;
        index = urb.UrbControlFeatureRequest.Index;
        length = 0;
    } else if (IsVendorOrClass(shape)) {
        const struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST &v = urb.UrbControlVendorClassRequest;
        const bool in = (v.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
        type = (UCHAR)((in ? 0x80 : 0) | type | v.RequestTypeReservedBits);
        request = v.Request;
        value = v.Value;
        index = v.Index;
    } else if (request == USB_REQUEST_GET_DESCRIPTOR || request == USB_REQUEST_SET_DESCRIPTOR) {
        const struct _URB_CONTROL_DESCRIPTOR_REQUEST &d = urb.UrbControlDescriptorRequest;
        value = (USHORT)((d.DescriptorType << 8) | d.Index);
        index = d.LanguageId;
    } else if (request == USB_REQUEST_GET_STATUS) {
        index = urb.UrbControlGetStatusRequest.Index;
    } else if (request == USB_REQUEST_GET_INTERFACE) {
        index = urb.UrbControlGetInterfaceRequest.Interface;
    }  // GET_CONFIGURATION: wValue and wIndex 0
    setup[0] = type;
    setup[1] = request;
    setup[2] = (UCHAR)value;
    setup[3] = (UCHAR)(value >> 8);
    setup[4] = (UCHAR)index;
    setup[5] = (UCHAR)(index >> 8);
    setup[6] = (UCHAR)length;
    setup[7] = (UCHAR)(length >> 8);
}

}  // namespace urbsetup
