// Names of the status values a client of the camera driver meets: the
// NTSTATUS values with which the driver (and the I/O manager in front of it)
// completes requests, and the USBD_STATUS values that IOCTL_USBCAM_GET_LAST_STATUS
// reports. The two sets overlap numerically (0xC0000001 is both
// STATUS_UNSUCCESSFUL and USBD_STATUS_CRC), so each has its own look-up.
//
// Plain C++17 with no platform headers: the values are spelled out here so
// the library builds the same for the emulation and for Windows.
#pragma once

#include <stdint.h>

#include <string>

namespace usbcam {

// The symbolic name of an NTSTATUS ("STATUS_SUCCESS"), or nullptr when the
// value is not one this table knows.
const char *NtStatusName(uint32_t status);

// The symbolic name of a USBD_STATUS ("USBD_STATUS_STALL_PID"), or nullptr.
const char *UsbdStatusName(uint32_t status);

// "STATUS_SUCCESS (0x00000000)"; an unknown value reads "NTSTATUS 0xC0001234".
std::string FormatNtStatus(uint32_t status);

// "USBD_STATUS_STALL_PID (0xC0000004)"; unknown: "USBD_STATUS 0x...".
std::string FormatUsbdStatus(uint32_t status);

// Looks a status up by name in one set, case-insensitive, with or without the
// set's prefix ("USBD_STATUS_STALL_PID" and "stall_pid" are the same value).
// A number (hex with 0x, or decimal) is accepted as itself. Returns false when
// the text names nothing.
bool NtStatusFromName(const std::string &name, uint32_t *status);
bool UsbdStatusFromName(const std::string &name, uint32_t *status);

// NT_SUCCESS as the platform defines it: success and informational values.
inline bool IsNtSuccess(uint32_t status) { return static_cast<int32_t>(status) >= 0; }

}  // namespace usbcam
