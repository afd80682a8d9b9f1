// Intel HEX reading and writing.
#include "usbcam/intel_hex.h"

#include <stdio.h>

#include <algorithm>

namespace usbcam {
namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string Hex2(unsigned value) {
    char text[8];
    snprintf(text, sizeof text, "0x%02x", value & 0xFF);
    return text;
}

struct Record {
    uint32_t Address;
    std::vector<uint8_t> Bytes;
    size_t Line;
};

std::string LinePrefix(size_t line) { return "line " + std::to_string(line) + ": "; }

}  // namespace

size_t MemoryImage::ByteCount() const {
    size_t count = 0;
    for (const MemorySegment &segment : Segments) count += segment.Bytes.size();
    return count;
}

uint32_t MemoryImage::EndAddress() const {
    uint32_t end = 0;
    for (const MemorySegment &segment : Segments) {
        end = std::max(end, segment.Address + static_cast<uint32_t>(segment.Bytes.size()));
    }
    return end;
}

bool ReadIntelHex(const std::string &text, MemoryImage *image, std::string *error) {
    *image = MemoryImage();
    std::vector<Record> records;
    uint32_t base = 0;
    bool ended = false;
    size_t lineNumber = 0;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(at, end - at);
        at = end + 1;
        ++lineNumber;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
            line.pop_back();
        }
        if (line.empty()) continue;
        if (ended) {
            *error = LinePrefix(lineNumber) + "text after the end-of-file record";
            return false;
        }
        if (line[0] != ':') {
            *error = LinePrefix(lineNumber) + "a record starts with ':' (is this an Intel HEX file?)";
            return false;
        }
        if ((line.size() - 1) % 2 != 0) {
            *error = LinePrefix(lineNumber) + "odd number of hex digits";
            return false;
        }
        std::vector<uint8_t> bytes;
        for (size_t i = 1; i < line.size(); i += 2) {
            const int high = HexValue(line[i]);
            const int low = HexValue(line[i + 1]);
            if (high < 0 || low < 0) {
                *error = LinePrefix(lineNumber) + "'" + std::string(1, high < 0 ? line[i] : line[i + 1]) +
                         "' is not a hex digit";
                return false;
            }
            bytes.push_back(static_cast<uint8_t>(high * 16 + low));
        }
        if (bytes.size() < 5) {
            *error = LinePrefix(lineNumber) + "too short for a record (count, address, type, checksum)";
            return false;
        }
        const size_t count = bytes[0];
        if (bytes.size() != count + 5) {
            *error = LinePrefix(lineNumber) + "the byte count says " + std::to_string(count) +
                     " data bytes, the record has " + std::to_string(bytes.size() - 5);
            return false;
        }
        unsigned sum = 0;
        for (size_t i = 0; i + 1 < bytes.size(); ++i) sum += bytes[i];
        const unsigned expected = (0x100 - (sum & 0xFF)) & 0xFF;
        if (bytes.back() != expected) {
            *error = LinePrefix(lineNumber) + "checksum is " + Hex2(bytes.back()) +
                     ", the record's bytes need " + Hex2(expected);
            return false;
        }
        const uint32_t offset = static_cast<uint32_t>(bytes[1]) << 8 | bytes[2];
        const uint8_t type = bytes[3];
        const uint8_t *data = bytes.data() + 4;
        switch (type) {
            case 0x00:
                if (count != 0) {
                    records.push_back(Record{base + offset, std::vector<uint8_t>(data, data + count),
                                             lineNumber});
                }
                break;
            case 0x01:
                if (count != 0) {
                    *error = LinePrefix(lineNumber) + "an end-of-file record carries no data";
                    return false;
                }
                ended = true;
                break;
            case 0x02:
            case 0x04:
                if (count != 2) {
                    *error = LinePrefix(lineNumber) + "an extended address record carries 2 bytes";
                    return false;
                }
                base = (static_cast<uint32_t>(data[0]) << 8 | data[1]) << (type == 0x02 ? 4 : 16);
                break;
            case 0x03:
            case 0x05:
                if (count != 4) {
                    *error = LinePrefix(lineNumber) + "a start-address record carries 4 bytes";
                    return false;
                }
                image->HasStartAddress = true;
                image->StartAddress = type == 0x05
                                          ? (uint32_t)data[0] << 24 | (uint32_t)data[1] << 16 |
                                                (uint32_t)data[2] << 8 | data[3]
                                          : ((uint32_t)data[0] << 8 | data[1]) * 16 +
                                                ((uint32_t)data[2] << 8 | data[3]);
                break;
            default:
                *error = LinePrefix(lineNumber) + "unknown record type " + Hex2(type);
                return false;
        }
    }
    if (!ended) {
        *error = "no end-of-file record (:00000001FF); the file may be cut short";
        return false;
    }

    std::stable_sort(records.begin(), records.end(),
                     [](const Record &a, const Record &b) { return a.Address < b.Address; });
    for (size_t i = 0; i < records.size(); ++i) {
        const Record &record = records[i];
        if (i > 0) {
            const Record &before = records[i - 1];
            const uint64_t beforeEnd = uint64_t{before.Address} + before.Bytes.size();
            if (beforeEnd > record.Address) {
                const size_t later = std::max(record.Line, before.Line);
                const size_t earlier = std::min(record.Line, before.Line);
                *error = LinePrefix(later) + "writes bytes that line " + std::to_string(earlier) +
                         " already wrote";
                return false;
            }
        }
        if (!image->Segments.empty()) {
            MemorySegment &last = image->Segments.back();
            if (uint64_t{last.Address} + last.Bytes.size() == record.Address) {
                last.Bytes.insert(last.Bytes.end(), record.Bytes.begin(), record.Bytes.end());
                continue;
            }
        }
        image->Segments.push_back(MemorySegment{record.Address, record.Bytes});
    }
    return true;
}

MemoryImage RawImage(const std::vector<uint8_t> &bytes, uint32_t address) {
    MemoryImage image;
    if (!bytes.empty()) image.Segments.push_back(MemorySegment{address, bytes});
    return image;
}

namespace {

void AppendRecord(std::string *out, uint8_t type, uint16_t offset, const uint8_t *data, size_t count) {
    char text[16];
    unsigned sum = static_cast<unsigned>(count) + (offset >> 8) + (offset & 0xFF) + type;
    snprintf(text, sizeof text, ":%02X%04X%02X", static_cast<unsigned>(count), offset, type);
    *out += text;
    for (size_t i = 0; i < count; ++i) {
        snprintf(text, sizeof text, "%02X", data[i]);
        *out += text;
        sum += data[i];
    }
    snprintf(text, sizeof text, "%02X\n", (0x100 - (sum & 0xFF)) & 0xFF);
    *out += text;
}

}  // namespace

std::string WriteIntelHex(const MemoryImage &image) {
    std::string out;
    uint32_t upper = 0;
    for (const MemorySegment &segment : image.Segments) {
        size_t done = 0;
        while (done < segment.Bytes.size()) {
            const uint32_t address = segment.Address + static_cast<uint32_t>(done);
            if ((address >> 16) != upper) {
                upper = address >> 16;
                const uint8_t extended[2] = {static_cast<uint8_t>(upper >> 8),
                                             static_cast<uint8_t>(upper)};
                AppendRecord(&out, 0x04, 0, extended, 2);
            }
            // A record never crosses a 64 KiB boundary.
            size_t count = std::min<size_t>(16, segment.Bytes.size() - done);
            count = std::min<size_t>(count, 0x10000u - (address & 0xFFFF));
            AppendRecord(&out, 0x00, static_cast<uint16_t>(address), segment.Bytes.data() + done, count);
            done += count;
        }
    }
    AppendRecord(&out, 0x01, 0, nullptr, 0);
    return out;
}

}  // namespace usbcam
