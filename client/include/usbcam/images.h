// Camera frames as image files, and what a frame's first bytes say about it.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace usbcam {

// The reference camera's frame: an 8-bit grey image whose first 8 bytes are a
// header in place of the first pixels: frame counter (32 bits), width and
// height (16 bits each), little-endian.
struct FrameHeader {
    uint32_t Counter = 0;
    uint32_t Width = 0;
    uint32_t Height = 0;
};

// True when the bytes carry a header whose width x height is exactly length.
bool ParseFrameHeader(const uint8_t *bytes, size_t length, FrameHeader *header);

// An 8-bit grey image in memory.
struct GreyImage {
    uint32_t Width = 0;
    uint32_t Height = 0;
    std::vector<uint8_t> Pixels;  // Width * Height bytes, rows top to bottom
};

// Binary PGM (P5) bytes of the image.
std::vector<uint8_t> EncodePgm(const GreyImage &image);

// PNG bytes (8-bit greyscale) of the image, from each system's own encoder:
// libpng on Linux (png_libpng.cpp), the Windows Imaging Component on Windows
// (png_wic.cpp). On failure *error says which step failed.
bool EncodePng(const GreyImage &image, std::vector<uint8_t> *png, std::string *error);

// Writes the image as PNG or PGM, chosen by the path's extension (".png",
// ".pgm"; any other is an error that says which are known).
bool WriteImageFile(const std::string &path, const GreyImage &image, std::string *error);

// Writes bytes to a file; on failure *error names the file and the reason.
bool WriteFileBytes(const std::string &path, const uint8_t *bytes, size_t length, std::string *error);
bool ReadFileBytes(const std::string &path, std::vector<uint8_t> *bytes, std::string *error);

}  // namespace usbcam
