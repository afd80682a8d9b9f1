// Text conversions shared by the client library and usbcam: byte strings in
// hex, numbers as a user types them, and splitting a command line.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace usbcam {

// Parses bytes written as hex digit pairs: "0a1B", "0x0a1b", "0a 1b", "0a:1b"
// or "0a-1b" all give {0x0a, 0x1b}. Separators (space, tab, ':', '-', ',')
// may stand only between whole bytes, and a "0x" prefix only at the start.
// An empty text is an empty byte string. On failure returns false and says
// why in *error (which digit or character is wrong, or an odd digit count).
bool ParseHexBytes(const std::string &text, std::vector<uint8_t> *bytes, std::string *error);

// Lower-case hex digits, two per byte, nothing between them.
std::string FormatHexBytes(const uint8_t *bytes, size_t length);
inline std::string FormatHexBytes(const std::vector<uint8_t> &bytes) {
    return FormatHexBytes(bytes.data(), bytes.size());
}

// An unsigned number as C writes it: decimal, or hex after "0x"/"0X".
// Rejects signs, empty text, trailing characters and values that overflow.
bool ParseUnsigned64(const std::string &text, uint64_t *value);
bool ParseUnsigned32(const std::string &text, uint32_t *value);

// A signed decimal or 0x-hex number in the 32-bit range ("-1", "3000").
bool ParseSigned32(const std::string &text, int32_t *value);

std::string ToUpper(const std::string &text);

// Splits a line into words at blanks; a word may be quoted with " or ' to
// hold blanks (no escapes inside). Returns false on an unterminated quote.
bool SplitWords(const std::string &line, std::vector<std::string> *words);

}  // namespace usbcam
