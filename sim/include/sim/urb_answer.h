// The IRP status a bus completes a URB's request with, from the USBD status
// it leaves in the URB's header. One mapping for every bus of the tree (the
// emulated bus, the libusb-backed bus, the Wine test bus): plain C++, no
// library, usable in a kernel-mode build.
//
// Include it after the platform's URB declarations (sim/usb.h on the host,
// the DDK's usb.h in a Windows build).
#pragma once

namespace urbanswer {

inline NTSTATUS StatusForUsbd(USBD_STATUS status) {
    if (USBD_SUCCESS(status)) return STATUS_SUCCESS;
    switch (status) {
        case USBD_STATUS_CANCELED: return STATUS_CANCELLED;
        case USBD_STATUS_DEVICE_GONE: return STATUS_DEVICE_NOT_CONNECTED;
        case USBD_STATUS_INVALID_PARAMETER:
        case USBD_STATUS_INVALID_PIPE_HANDLE:
        case USBD_STATUS_INVALID_URB_FUNCTION:
        case USBD_STATUS_INTERFACE_NOT_FOUND:
        case USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR: return STATUS_INVALID_PARAMETER;
        case USBD_STATUS_INSUFFICIENT_RESOURCES: return STATUS_INSUFFICIENT_RESOURCES;
        case USBD_STATUS_NOT_SUPPORTED: return STATUS_NOT_SUPPORTED;
        case USBD_STATUS_TIMEOUT: return STATUS_IO_TIMEOUT;
        default: return STATUS_UNSUCCESSFUL;
    }
}

}  // namespace urbanswer
