// Hex byte strings, numbers and word splitting for the client and usbcam.
#include "usbcam/text.h"

#include <stdio.h>

#include <cctype>

namespace usbcam {
namespace {

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool IsByteSeparator(char c) { return c == ' ' || c == '\t' || c == ':' || c == '-' || c == ','; }

}  // namespace

bool ParseHexBytes(const std::string &text, std::vector<uint8_t> *bytes, std::string *error) {
    bytes->clear();
    size_t i = 0;
    if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) i = 2;
    int high = -1;  // the first digit of a byte whose second digit is still due
    for (; i < text.size(); ++i) {
        const char c = text[i];
        const int digit = HexDigitValue(c);
        if (digit >= 0) {
            if (high < 0) {
                high = digit;
            } else {
                bytes->push_back(static_cast<uint8_t>(high << 4 | digit));
                high = -1;
            }
            continue;
        }
        if (IsByteSeparator(c) && high < 0) continue;
        char what[64];
        if (IsByteSeparator(c)) {
            snprintf(what, sizeof what, "separator inside a byte at position %zu", i + 1);
        } else if (std::isprint(static_cast<unsigned char>(c))) {
            snprintf(what, sizeof what, "'%c' at position %zu is not a hex digit", c, i + 1);
        } else {
            snprintf(what, sizeof what, "byte 0x%02X at position %zu is not a hex digit",
                     static_cast<unsigned char>(c), i + 1);
        }
        *error = what;
        return false;
    }
    if (high >= 0) {
        *error = "odd number of hex digits (each byte takes two)";
        return false;
    }
    return true;
}

std::string FormatHexBytes(const uint8_t *bytes, size_t length) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(length * 2);
    for (size_t i = 0; i < length; ++i) {
        text.push_back(kDigits[bytes[i] >> 4]);
        text.push_back(kDigits[bytes[i] & 0xF]);
    }
    return text;
}

bool ParseUnsigned64(const std::string &text, uint64_t *value) {
    size_t i = 0;
    unsigned base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        i = 2;
    }
    if (i >= text.size()) return false;
    uint64_t result = 0;
    for (; i < text.size(); ++i) {
        int digit = HexDigitValue(text[i]);
        if (digit < 0 || static_cast<unsigned>(digit) >= base) return false;
        if (result > (UINT64_MAX - static_cast<uint64_t>(digit)) / base) return false;
        result = result * base + static_cast<uint64_t>(digit);
    }
    *value = result;
    return true;
}

bool ParseUnsigned32(const std::string &text, uint32_t *value) {
    uint64_t wide = 0;
    if (!ParseUnsigned64(text, &wide) || wide > UINT32_MAX) return false;
    *value = static_cast<uint32_t>(wide);
    return true;
}

bool ParseSigned32(const std::string &text, int32_t *value) {
    const bool negative = !text.empty() && text[0] == '-';
    uint64_t magnitude = 0;
    if (!ParseUnsigned64(negative ? text.substr(1) : text, &magnitude)) return false;
    if (negative) {
        if (magnitude > 0x80000000ull) return false;
        *value = static_cast<int32_t>(-static_cast<int64_t>(magnitude));
    } else {
        if (magnitude > 0x7FFFFFFFull) return false;
        *value = static_cast<int32_t>(magnitude);
    }
    return true;
}

std::string ToUpper(const std::string &text) {
    std::string upper(text);
    for (char &c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return upper;
}

bool SplitWords(const std::string &line, std::vector<std::string> *words) {
    words->clear();
    size_t i = 0;
    while (i < line.size()) {
        if (std::isspace(static_cast<unsigned char>(line[i]))) {
            ++i;
            continue;
        }
        std::string word;
        while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i]))) {
            const char c = line[i];
            if (c == '"' || c == '\'') {
                const size_t close = line.find(c, i + 1);
                if (close == std::string::npos) return false;
                word.append(line, i + 1, close - i - 1);
                i = close + 1;
            } else {
                word.push_back(c);
                ++i;
            }
        }
        words->push_back(word);
    }
    return true;
}

}  // namespace usbcam
