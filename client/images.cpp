// Frame headers, PGM encoding and image files.
#include "usbcam/images.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

namespace usbcam {

bool ParseFrameHeader(const uint8_t *bytes, size_t length, FrameHeader *header) {
    if (length < 8) return false;
    header->Counter = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
                      static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
    header->Width = static_cast<uint32_t>(bytes[4] | bytes[5] << 8);
    header->Height = static_cast<uint32_t>(bytes[6] | bytes[7] << 8);
    return header->Width != 0 && header->Height != 0 &&
           uint64_t{header->Width} * header->Height == length;
}

std::vector<uint8_t> EncodePgm(const GreyImage &image) {
    const std::string head =
        "P5\n" + std::to_string(image.Width) + " " + std::to_string(image.Height) + "\n255\n";
    std::vector<uint8_t> out(head.begin(), head.end());
    out.insert(out.end(), image.Pixels.begin(), image.Pixels.end());
    return out;
}

namespace {

bool EndsWith(const std::string &text, const char *suffix) {
    const size_t n = strlen(suffix);
    if (text.size() < n) return false;
    for (size_t i = 0; i < n; ++i) {
        char c = text[text.size() - n + i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != suffix[i]) return false;
    }
    return true;
}

}  // namespace

bool WriteImageFile(const std::string &path, const GreyImage &image, std::string *error) {
    if (uint64_t{image.Width} * image.Height != image.Pixels.size() || image.Pixels.empty()) {
        *error = "no image to write";
        return false;
    }
    std::vector<uint8_t> bytes;
    if (EndsWith(path, ".pgm")) {
        bytes = EncodePgm(image);
    } else if (EndsWith(path, ".png")) {
        if (!EncodePng(image, &bytes, error)) return false;
    } else {
        *error = path + ": unknown image type (name the file .png or .pgm)";
        return false;
    }
    return WriteFileBytes(path, bytes.data(), bytes.size(), error);
}

bool WriteFileBytes(const std::string &path, const uint8_t *bytes, size_t length, std::string *error) {
    FILE *file = fopen(path.c_str(), "wb");
    if (file == nullptr) {
        *error = "cannot write " + path + ": " + strerror(errno);
        return false;
    }
    const size_t written = length == 0 ? 0 : fwrite(bytes, 1, length, file);
    const bool closed = fclose(file) == 0;
    if (written != length || !closed) {
        *error = "cannot write " + path + ": " + strerror(errno);
        return false;
    }
    return true;
}

bool ReadFileBytes(const std::string &path, std::vector<uint8_t> *bytes, std::string *error) {
    bytes->clear();
    FILE *file = fopen(path.c_str(), "rb");
    if (file == nullptr) {
        *error = "cannot read " + path + ": " + strerror(errno);
        return false;
    }
    uint8_t chunk[65536];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, file)) > 0) bytes->insert(bytes->end(), chunk, chunk + got);
    const bool failed = ferror(file) != 0;
    fclose(file);
    if (failed) {
        *error = "cannot read " + path;
        return false;
    }
    return true;
}

}  // namespace usbcam
