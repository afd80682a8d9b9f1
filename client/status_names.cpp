// Status name tables for the client library and the usbcam tool.
#include "usbcam/status_names.h"

#include <stdio.h>

#include <cctype>

#include "usbcam/text.h"

namespace usbcam {
namespace {

struct StatusName {
    uint32_t Value;
    const char *Name;
};

// NTSTATUS values the driver completes requests with, plus those the I/O
// manager, the emulated kernel and the bus driver put in front of a client.
const StatusName kNtStatusNames[] = {
    {0x00000000u, "STATUS_SUCCESS"},
    {0x00000102u, "STATUS_TIMEOUT"},
    {0x00000103u, "STATUS_PENDING"},
    {0x80000005u, "STATUS_BUFFER_OVERFLOW"},
    {0x80000011u, "STATUS_DEVICE_BUSY"},
    {0xC0000001u, "STATUS_UNSUCCESSFUL"},
    {0xC0000002u, "STATUS_NOT_IMPLEMENTED"},
    {0xC0000008u, "STATUS_INVALID_HANDLE"},
    {0xC000000Du, "STATUS_INVALID_PARAMETER"},
    {0xC000000Eu, "STATUS_NO_SUCH_DEVICE"},
    {0xC0000010u, "STATUS_INVALID_DEVICE_REQUEST"},
    {0xC0000016u, "STATUS_MORE_PROCESSING_REQUIRED"},
    {0xC0000017u, "STATUS_NO_MEMORY"},
    {0xC0000022u, "STATUS_ACCESS_DENIED"},
    {0xC0000023u, "STATUS_BUFFER_TOO_SMALL"},
    {0xC0000033u, "STATUS_OBJECT_NAME_INVALID"},
    {0xC0000034u, "STATUS_OBJECT_NAME_NOT_FOUND"},
    {0xC0000035u, "STATUS_OBJECT_NAME_COLLISION"},
    {0xC000003Au, "STATUS_OBJECT_PATH_NOT_FOUND"},
    {0xC0000056u, "STATUS_DELETE_PENDING"},
    {0xC000009Au, "STATUS_INSUFFICIENT_RESOURCES"},
    {0xC000009Du, "STATUS_DEVICE_NOT_CONNECTED"},
    {0xC00000A3u, "STATUS_DEVICE_NOT_READY"},
    {0xC00000B5u, "STATUS_IO_TIMEOUT"},
    {0xC00000BBu, "STATUS_NOT_SUPPORTED"},
    {0xC0000120u, "STATUS_CANCELLED"},
    {0xC0000184u, "STATUS_INVALID_DEVICE_STATE"},
    {0xC00002B6u, "STATUS_DEVICE_REMOVED"},
};

// USBD_STATUS values as the USB stack reports them in an URB header.
const StatusName kUsbdStatusNames[] = {
    {0x00000000u, "USBD_STATUS_SUCCESS"},
    {0x40000000u, "USBD_STATUS_PENDING"},
    {0xC0000001u, "USBD_STATUS_CRC"},
    {0xC0000002u, "USBD_STATUS_BTSTUFF"},
    {0xC0000003u, "USBD_STATUS_DATA_TOGGLE_MISMATCH"},
    {0xC0000004u, "USBD_STATUS_STALL_PID"},
    {0xC0000005u, "USBD_STATUS_DEV_NOT_RESPONDING"},
    {0xC0000006u, "USBD_STATUS_PID_CHECK_FAILURE"},
    {0xC0000007u, "USBD_STATUS_UNEXPECTED_PID"},
    {0xC0000008u, "USBD_STATUS_DATA_OVERRUN"},
    {0xC0000009u, "USBD_STATUS_DATA_UNDERRUN"},
    {0xC000000Cu, "USBD_STATUS_BUFFER_OVERRUN"},
    {0xC000000Du, "USBD_STATUS_BUFFER_UNDERRUN"},
    {0xC000000Fu, "USBD_STATUS_NOT_ACCESSED"},
    {0xC0000010u, "USBD_STATUS_FIFO"},
    {0xC0000011u, "USBD_STATUS_XACT_ERROR"},
    {0xC0000012u, "USBD_STATUS_BABBLE_DETECTED"},
    {0xC0000013u, "USBD_STATUS_DATA_BUFFER_ERROR"},
    {0xC0000030u, "USBD_STATUS_ENDPOINT_HALTED"},
    {0x80000200u, "USBD_STATUS_INVALID_URB_FUNCTION"},
    {0x80000300u, "USBD_STATUS_INVALID_PARAMETER"},
    {0x80000400u, "USBD_STATUS_ERROR_BUSY"},
    {0x80000600u, "USBD_STATUS_INVALID_PIPE_HANDLE"},
    {0x80000700u, "USBD_STATUS_NO_BANDWIDTH"},
    {0x80000800u, "USBD_STATUS_INTERNAL_HC_ERROR"},
    {0x80000900u, "USBD_STATUS_ERROR_SHORT_TRANSFER"},
    {0xC0000A00u, "USBD_STATUS_BAD_START_FRAME"},
    {0xC0000B00u, "USBD_STATUS_ISOCH_REQUEST_FAILED"},
    {0xC0000C00u, "USBD_STATUS_FRAME_CONTROL_OWNED"},
    {0xC0000D00u, "USBD_STATUS_FRAME_CONTROL_NOT_OWNED"},
    {0xC0000E00u, "USBD_STATUS_NOT_SUPPORTED"},
    {0xC0000F00u, "USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR"},
    {0xC0001000u, "USBD_STATUS_INSUFFICIENT_RESOURCES"},
    {0xC0002000u, "USBD_STATUS_SET_CONFIG_FAILED"},
    {0xC0003000u, "USBD_STATUS_BUFFER_TOO_SMALL"},
    {0xC0004000u, "USBD_STATUS_INTERFACE_NOT_FOUND"},
    {0xC0005000u, "USBD_STATUS_INAVLID_PIPE_FLAGS"},
    {0xC0006000u, "USBD_STATUS_TIMEOUT"},
    {0xC0007000u, "USBD_STATUS_DEVICE_GONE"},
    {0xC0008000u, "USBD_STATUS_STATUS_NOT_MAPPED"},
    {0xC0010000u, "USBD_STATUS_CANCELED"},
    {0xC0020000u, "USBD_STATUS_ISO_NOT_ACCESSED_BY_HW"},
    {0xC0030000u, "USBD_STATUS_ISO_TD_ERROR"},
    {0xC0040000u, "USBD_STATUS_ISO_NA_LATE_USBPORT"},
    {0xC0050000u, "USBD_STATUS_ISO_NOT_ACCESSED_LATE"},
};

template <size_t N>
const char *FindName(const StatusName (&table)[N], uint32_t value) {
    for (const StatusName &entry : table) {
        if (entry.Value == value) return entry.Name;
    }
    return nullptr;
}

template <size_t N>
bool FindValue(const StatusName (&table)[N], const char *prefix, const std::string &name,
               uint32_t *value) {
    if (ParseUnsigned32(name, value)) return true;
    const std::string wanted = ToUpper(name);
    const std::string withPrefix = std::string(prefix) + wanted;
    for (const StatusName &entry : table) {
        if (wanted == entry.Name || withPrefix == entry.Name) {
            *value = entry.Value;
            return true;
        }
    }
    return false;
}

std::string Format(const char *name, const char *setName, uint32_t value) {
    char text[96];
    if (name != nullptr) {
        snprintf(text, sizeof text, "%s (0x%08X)", name, value);
    } else {
        snprintf(text, sizeof text, "%s 0x%08X", setName, value);
    }
    return text;
}

}  // namespace

const char *NtStatusName(uint32_t status) { return FindName(kNtStatusNames, status); }

const char *UsbdStatusName(uint32_t status) { return FindName(kUsbdStatusNames, status); }

std::string FormatNtStatus(uint32_t status) {
    return Format(NtStatusName(status), "NTSTATUS", status);
}

std::string FormatUsbdStatus(uint32_t status) {
    return Format(UsbdStatusName(status), "USBD_STATUS", status);
}

bool NtStatusFromName(const std::string &name, uint32_t *status) {
    return FindValue(kNtStatusNames, "STATUS_", name, status);
}

bool UsbdStatusFromName(const std::string &name, uint32_t *status) {
    return FindValue(kUsbdStatusNames, "USBD_STATUS_", name, status);
}

}  // namespace usbcam
