// Memory images for the camera's memory load: Intel HEX files and raw binary
// images, read into address-ordered segments.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace usbcam {

// Bytes that start at one address, with no hole inside.
struct MemorySegment {
    uint32_t Address = 0;
    std::vector<uint8_t> Bytes;
};

struct MemoryImage {
    // Sorted by address, adjacent runs merged, never overlapping.
    std::vector<MemorySegment> Segments;
    bool HasStartAddress = false;  // a start-address record (03 or 05) was present
    uint32_t StartAddress = 0;

    size_t ByteCount() const;
    // One past the highest address the image writes (0 for an empty image).
    uint32_t EndAddress() const;
};

// Reads an Intel HEX text: data (00), end of file (01), extended segment
// address (02) and extended linear address (04) records; start-address
// records (03, 05) are accepted and remembered. Every record's length and
// checksum are checked; blank lines and CR line ends are accepted; the file
// must end with an end-of-file record and hold nothing after it. Two records
// writing the same byte are an error. On failure returns false with *error
// naming the line ("line 7: checksum is 0x3c, the record's bytes need 0x3d").
bool ReadIntelHex(const std::string &text, MemoryImage *image, std::string *error);

// A raw binary image placed at `address`.
MemoryImage RawImage(const std::vector<uint8_t> &bytes, uint32_t address);

// Writes an image as Intel HEX: data records of up to 16 bytes, extended
// linear address records where the upper 16 address bits change, and the
// end-of-file record.
std::string WriteIntelHex(const MemoryImage &image);

}  // namespace usbcam
