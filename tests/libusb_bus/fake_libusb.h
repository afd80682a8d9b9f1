// A stand-in for libusb-1.0 at its interface: the functions the libusb bus
// (sim/libusb_bus) calls, over one pretend device described by a camera
// profile, with no host USB stack and no device. Linked into a test program
// in place of the real library.
//
// The device answers GET_DESCRIPTOR control requests (synchronous and
// asynchronous) from the profile at once. Every other asynchronous transfer
// stays submitted until the test ends it with Complete or CompleteIso; the
// callbacks then run on the thread that calls
// libusb_handle_events_timeout_completed (the bus's event thread), as with
// the real library. libusb_cancel_transfer of a submitted transfer ends it
// as cancelled, with the bytes SetCancelledLength says moved before.
#pragma once

#include <stdint.h>

#include <utility>
#include <vector>

#include <libusb.h>

#include "device_profile.h"

namespace fakeusb {

// Starts afresh with this device (before sim::libusbbus::Open).
void Reset(const sim::usb::DeviceProfile &profile);

// The next submitted transfer on `endpoint` not yet handed out, waiting up
// to `ms` for it; nullptr when none came.
libusb_transfer *WaitSubmitted(uint8_t endpoint, int ms);

// Ends a submitted bulk, interrupt or control transfer: `data` is what the
// device sent (IN, copied into the transfer's buffer) or, for OUT, only its
// size counts; actual_length is data.size().
void Complete(libusb_transfer *transfer, libusb_transfer_status status, const std::vector<uint8_t> &data);
// Ends a submitted isochronous transfer with per-packet (status, bytes);
// each IN packet's bytes are filled with its index.
void CompleteIso(libusb_transfer *transfer, libusb_transfer_status status,
                 const std::vector<std::pair<libusb_transfer_status, int>> &packets);

// Bytes a transfer cancelled from now on reports as moved (default 0).
void SetCancelledLength(int bytes);
// Cancels asked for so far, and of them the ones that found the transfer.
int CancelCalls();

}  // namespace fakeusb
