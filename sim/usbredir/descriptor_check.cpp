#include "descriptor_check.h"

#include <stdio.h>

#include <fstream>
#include <sstream>
#include <vector>

namespace sim {
namespace redir {

namespace {

std::string Hex(const std::vector<uint8_t> &bytes) {
    std::string s;
    char b[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        snprintf(b, sizeof b, i ? " %02x" : "%02x", bytes[i]);
        s += b;
    }
    return s;
}

bool ReadFile(const std::string &path, std::string *out) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return false;
    std::ostringstream s;
    s << f.rdbuf();
    *out = s.str();
    return true;
}

std::string Chomp(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    return s;
}

// The text of a string descriptor (UTF-16LE, the ASCII range only).
std::string StringText(const std::vector<uint8_t> &d) {
    std::string s;
    for (size_t i = 2; i + 1 < d.size() && i < d[0]; i += 2) s += d[i + 1] == 0 ? (char)d[i] : '?';
    return s;
}

// A configuration without class-specific and vendor descriptors, wTotalLength
// recomputed.
std::vector<uint8_t> StandardDescriptorsOnly(const std::vector<uint8_t> &c) {
    std::vector<uint8_t> out;
    for (size_t o = 0; o + 1 < c.size() && c[o] >= 2 && o + c[o] <= c.size(); o += c[o]) {
        const uint8_t type = c[o + 1];
        if (type == 2 || type == 4 || type == 5 || type == 0x0B) out.insert(out.end(), c.begin() + o, c.begin() + o + c[o]);
    }
    if (out.size() >= 4) {
        out[2] = (uint8_t)out.size();
        out[3] = (uint8_t)(out.size() >> 8);
    }
    return out;
}

}  // namespace

std::string ExpectedSysfsDescriptors(const sim::usb::DeviceProfile &profile) {
    std::string s(profile.DeviceDescriptor.begin(), profile.DeviceDescriptor.end());
    for (const auto &c : profile.Configurations) s.append(c.Descriptor.begin(), c.Descriptor.end());
    return s;
}

std::string CompareSysfs(const sim::usb::DeviceProfile &profile, const std::string &dir) {
    std::string errors, got;
    if (!ReadFile(dir + "/descriptors", &got)) return "cannot read " + dir + "/descriptors\n";
    const std::string want = ExpectedSysfsDescriptors(profile);
    if (got != want)
        errors += "descriptors differ:\n  read     " + Hex(std::vector<uint8_t>(got.begin(), got.end())) +
                  "\n  expected " + Hex(std::vector<uint8_t>(want.begin(), want.end())) + "\n";
    const char *names[3] = {"manufacturer", "product", "serial"};
    for (int k = 0; k < 3; ++k) {
        const uint8_t index = profile.DeviceDescriptor[14 + k];
        std::string text;
        const bool present = ReadFile(dir + "/" + names[k], &text);
        const std::vector<uint8_t> *d = index ? profile.StringFor(index, profile.LanguageIds.front()) : nullptr;
        if (d == nullptr) {
            if (present) errors += std::string(names[k]) + ": the host shows \"" + Chomp(text) + "\", the profile has none\n";
            continue;
        }
        if (!present) errors += std::string(names[k]) + ": missing on the host\n";
        else if (Chomp(text) != StringText(*d))
            errors += std::string(names[k]) + ": \"" + Chomp(text) + "\", expected \"" + StringText(*d) + "\"\n";
    }
    std::string speed;
    if (ReadFile(dir + "/speed", &speed)) {
        const std::string want = profile.HighSpeed ? "480" : "12";
        if (Chomp(speed) != want) errors += "speed " + Chomp(speed) + ", expected " + want + "\n";
    }
    return errors;
}

std::string CompareLsusbProfile(const sim::usb::DeviceProfile &profile, const std::string &jsonText) {
    sim::usb::DeviceProfile seen;
    std::string error;
    if (!sim::usb::ParseProfileJson(jsonText, &seen, &error)) return "lsusb's profile does not parse: " + error + "\n";
    std::string errors;
    if (seen.DeviceDescriptor != profile.DeviceDescriptor)
        errors += "device descriptor: lsusb " + Hex(seen.DeviceDescriptor) + ", expected " + Hex(profile.DeviceDescriptor) + "\n";
    if (seen.Configurations.size() != profile.Configurations.size())
        errors += "lsusb shows " + std::to_string(seen.Configurations.size()) + " configurations, expected " +
                  std::to_string(profile.Configurations.size()) + "\n";
    for (size_t i = 0; i < seen.Configurations.size() && i < profile.Configurations.size(); ++i) {
        const std::vector<uint8_t> want = StandardDescriptorsOnly(profile.Configurations[i].Descriptor);
        if (seen.Configurations[i].Descriptor != want)
            errors += "configuration " + std::to_string(i) + ": lsusb " + Hex(seen.Configurations[i].Descriptor) +
                      ", expected " + Hex(want) + "\n";
    }
    return errors;
}

}  // namespace redir
}  // namespace sim
