// The driver's control codes by name: the table that lets a client or the
// usbcam tool name a code, and turn a name or a number back into a code.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace usbcam {

enum class BufferMethod { Buffered,
                          InDirect,
                          OutDirect,
                          Neither };

struct ControlCodeInfo {
    uint32_t Code;
    const char *Name;  // full name, "IOCTL_USBCAM_GET_VERSION"
};

// The 27 codes the driver serves, in function order.
const ControlCodeInfo *ControlCodeTable(size_t *count);

// The code's name, or nullptr for a code the driver does not define.
const char *ControlCodeName(uint32_t code);

// How the I/O manager passes the buffers of a code (its two low bits).
BufferMethod ControlCodeMethod(uint32_t code);

// Turns what a user typed into a code: a full name ("IOCTL_USBCAM_GET_VERSION"),
// a name without the "IOCTL_USBCAM_" prefix ("get_version"), both
// case-insensitive, or a number (0x222074 or 2236532), so codes the driver
// does not define can be sent too. On failure *error says why.
bool ParseControlCode(const std::string &text, uint32_t *code, std::string *error);

}  // namespace usbcam
