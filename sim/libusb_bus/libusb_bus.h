// A second lower edge for the emulated kernel: a bus driver
// ("\Driver\usblibusb") whose one PDO stands for a real USB device opened
// through libusb. The function driver above sends its URBs exactly as to the
// emulated bus; here they become libusb asynchronous transfers on the host's
// USB stack (control, bulk, interrupt, isochronous with per-packet status),
// cancelled when the driver cancels or aborts, and completed at
// DISPATCH_LEVEL on the bus's event thread.
//
// What libusb cannot give, and how this bus answers (as a bus driver that
// lacks it would):
//  - the bus frame number: URB_FUNCTION_GET_CURRENT_FRAME_NUMBER fails with
//    USBD_STATUS_NOT_SUPPORTED (STATUS_NOT_SUPPORTED), and an isochronous
//    request's StartFrame comes back as the frame this bus counts itself
//    (1 ms since it started), not the controller's;
//  - an isochronous request with an explicit StartFrame is scheduled as soon
//    as possible (the host stack chooses the frame);
//  - a pipe reset without clearing the device's halt
//    (URB_FUNCTION_SYNC_RESET_PIPE): libusb resets the host side only
//    together with CLEAR_FEATURE(ENDPOINT_HALT), so the halt is cleared too;
//  - unconfiguring (SELECT_CONFIGURATION with no descriptor): the host's USB
//    core keeps the device configured for the interfaces this bus holds;
//    the pipes are closed and nothing goes on the wire.
// Every call is made from an ordinary thread at PASSIVE_LEVEL.
#pragma once

#include <string>

#include "sim/nt.h"

namespace sim {
namespace libusbbus {

struct OpenResult {
    NTSTATUS Status = STATUS_UNSUCCESSFUL;
    PDEVICE_OBJECT Pdo = nullptr;  // report it with sim::PnpReportChild
    std::string Error;
    std::string Description;  // "bus 1 address 2, 1209:0001, high speed"
};

// Loads the bus driver into the booted kernel and opens the device the
// selector names: "VID:PID" (hex), "BUS/ADDRESS" (decimal), or "" for the
// first device with the reference camera's ids (1209:0001). Claims every
// interface of its active configuration (detaching the host's own drivers).
OpenResult Open(const std::string &selector);

// True once the device was unplugged (its PDO was then reported gone to the
// Plug and Play manager: surprise removal, and removal when the last handle
// is closed).
bool DeviceGone();

// After the function driver's stack is removed: releases the device, deletes
// the PDO, stops the event thread and unloads the bus driver.
void Close();

}  // namespace libusbbus
}  // namespace sim
