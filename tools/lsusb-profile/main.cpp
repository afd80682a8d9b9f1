// lsusb-profile: reads the text `lsusb -v` prints for one device and writes a
// camera profile (format in sim/usb/README.md) that plugs the same standard
// descriptors into the emulated bus.
//
//   lsusb-profile [--vendor ID] [--product ID] [--name TEXT] [--speed high|full] < dump.txt > profile.json
//
// Kept, byte for byte as lsusb decoded them: the device descriptor, every
// configuration with its interface association, interface and endpoint
// descriptors (9-byte audio endpoints included), in their order. Left out:
// class-specific descriptors (lsusb prints them decoded, not as bytes), so
// wTotalLength is recomputed. Replaced: the vendor and product ids (default
// 0x1209 / 0x7001) and every string, which become neutral texts
// ("Test Devices", the --name, "TEST-0001", "String N"), so that no profile
// carries the identity of the device it was taken from.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace {

enum class Section { None,
                     Device,
                     Configuration,
                     Association,
                     Interface,
                     Endpoint,
                     Other };

struct Options {
    uint16_t Vendor = 0x1209;
    uint16_t Product = 0x7001;
    std::string Name = "Composite test camera";
    std::string Speed = "high";
};

// A field value as lsusb prints it: 0x-hex, decimal, BCD "2.00", or "500mA".
bool ParseValue(const std::string &token, const std::string &field, uint32_t *out) {
    if (token.empty()) return false;
    char *end = nullptr;
    if (field == "bcdUSB" || field == "bcdDevice") {
        size_t dot = token.find('.');
        if (dot == std::string::npos) return false;
        unsigned long major = strtoul(token.substr(0, dot).c_str(), &end, 16);
        unsigned long minor = strtoul(token.substr(dot + 1).c_str(), &end, 16);
        *out = (uint32_t)((major << 8) | (minor & 0xFF));
        return true;
    }
    unsigned long v = strtoul(token.c_str(), &end, 0);
    if (end == token.c_str()) return false;
    std::string rest(end);
    if (rest == "mA") v = field == "MaxPower" ? v / 2 : v;  // bMaxPower counts 2 mA units
    else if (!rest.empty()) return false;
    *out = (uint32_t)v;
    return true;
}

struct Descriptor {
    Section Kind = Section::None;
    std::map<std::string, uint32_t> Fields;
    uint32_t Get(const char *name, uint32_t fallback = 0) const {
        auto it = Fields.find(name);
        return it == Fields.end() ? fallback : it->second;
    }
};

struct Device {
    Descriptor Header;
    std::vector<std::vector<Descriptor>> Configurations;  // each: configuration header, then the rest
};

Section SectionOf(const std::string &line) {
    if (line == "Device Descriptor:") return Section::Device;
    if (line == "Configuration Descriptor:") return Section::Configuration;
    if (line == "Interface Association:") return Section::Association;
    if (line == "Interface Descriptor:") return Section::Interface;
    if (line == "Endpoint Descriptor:") return Section::Endpoint;
    return Section::Other;
}

std::string Trim(const std::string &s) {
    size_t a = s.find_first_not_of(" \t\r"), b = s.find_last_not_of(" \t\r");
    return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

bool ReadDevice(std::istream &in, Device *device, std::string *error) {
    Descriptor current;
    bool seenDevice = false;
    auto flush = [&]() {
        switch (current.Kind) {
            case Section::Device: device->Header = current; break;
            case Section::Configuration: device->Configurations.push_back({current}); break;
            case Section::Association:
            case Section::Interface:
            case Section::Endpoint:
                if (!device->Configurations.empty()) device->Configurations.back().push_back(current);
                break;
            default: break;
        }
        current = Descriptor();
    };
    std::string raw;
    while (std::getline(in, raw)) {
        const std::string line = Trim(raw);
        if (line.empty()) continue;
        const bool header = line.back() == ':' && line.find("  ") == std::string::npos;
        if (header || line.rfind("Device Status", 0) == 0 || line.rfind("Device Qualifier", 0) == 0 ||
            line.rfind("Bus ", 0) == 0) {
            Section next = header ? SectionOf(line) : Section::Other;
            if (next == Section::Device && seenDevice) break;  // the next device of the dump
            flush();
            current.Kind = next;
            seenDevice = seenDevice || next == Section::Device;
            continue;
        }
        if (current.Kind == Section::Other || current.Kind == Section::None) continue;
        std::istringstream words(line);
        std::string field, value;
        words >> field >> value;
        uint32_t v;
        if (current.Fields.count(field) == 0 && ParseValue(value, field, &v)) current.Fields[field] = v;
    }
    flush();
    if (!seenDevice) {
        *error = "no \"Device Descriptor:\" in the input";
        return false;
    }
    if (device->Configurations.empty()) {
        *error = "no \"Configuration Descriptor:\" in the input";
        return false;
    }
    return true;
}

std::string Hex(const std::vector<uint8_t> &bytes) {
    std::string s;
    char b[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        snprintf(b, sizeof b, i == 0 ? "%02X" : " %02X", bytes[i]);
        s += b;
    }
    return s;
}

void Put16(std::vector<uint8_t> *out, uint32_t v) {
    out->push_back((uint8_t)v);
    out->push_back((uint8_t)(v >> 8));
}

}  // namespace

int main(int argc, char **argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if ((a == "--vendor" || a == "--product" || a == "--name" || a == "--speed") && i + 1 < argc) {
            std::string v = argv[++i];
            if (a == "--vendor") options.Vendor = (uint16_t)strtoul(v.c_str(), nullptr, 0);
            else if (a == "--product") options.Product = (uint16_t)strtoul(v.c_str(), nullptr, 0);
            else if (a == "--name") options.Name = v;
            else options.Speed = v;
        } else {
            std::cerr << "usage: lsusb-profile [--vendor ID] [--product ID] [--name TEXT] [--speed high|full]"
                         " < lsusb-v.txt > profile.json\n";
            return 1;
        }
    }
    Device device;
    std::string error;
    if (!ReadDevice(std::cin, &device, &error)) {
        std::cerr << "lsusb-profile: " << error << "\n";
        return 1;
    }

    // String indices the descriptors refer to, each given a neutral text.
    std::map<uint32_t, std::string> strings;
    auto name = [&](uint32_t index, const std::string &text) {
        if (index != 0 && strings.count(index) == 0) strings[index] = text;
    };
    const Descriptor &d = device.Header;
    name(d.Get("iManufacturer"), "Test Devices");
    name(d.Get("iProduct"), options.Name);
    name(d.Get("iSerial"), "TEST-0001");

    std::vector<uint8_t> dev = {18, 1};
    Put16(&dev, d.Get("bcdUSB", 0x200));
    dev.push_back((uint8_t)d.Get("bDeviceClass"));
    dev.push_back((uint8_t)d.Get("bDeviceSubClass"));
    dev.push_back((uint8_t)d.Get("bDeviceProtocol"));
    dev.push_back((uint8_t)d.Get("bMaxPacketSize0", 64));
    Put16(&dev, options.Vendor);
    Put16(&dev, options.Product);
    Put16(&dev, d.Get("bcdDevice", 0x100));
    dev.push_back((uint8_t)d.Get("iManufacturer"));
    dev.push_back((uint8_t)d.Get("iProduct"));
    dev.push_back((uint8_t)d.Get("iSerial"));
    dev.push_back((uint8_t)device.Configurations.size());

    nlohmann::ordered_json configurations = nlohmann::ordered_json::array();
    for (const auto &configuration : device.Configurations) {
        std::vector<uint8_t> c;
        for (const Descriptor &x : configuration) {
            switch (x.Kind) {
                case Section::Configuration:
                    c = {9, 2, 0, 0, (uint8_t)x.Get("bNumInterfaces"), (uint8_t)x.Get("bConfigurationValue", 1),
                         (uint8_t)x.Get("iConfiguration"), (uint8_t)x.Get("bmAttributes", 0x80),
                         (uint8_t)x.Get("MaxPower")};
                    name(x.Get("iConfiguration"), "String " + std::to_string(x.Get("iConfiguration")));
                    break;
                case Section::Association:
                    c.insert(c.end(), {8, 11, (uint8_t)x.Get("bFirstInterface"), (uint8_t)x.Get("bInterfaceCount"),
                                       (uint8_t)x.Get("bFunctionClass"), (uint8_t)x.Get("bFunctionSubClass"),
                                       (uint8_t)x.Get("bFunctionProtocol"), (uint8_t)x.Get("iFunction")});
                    name(x.Get("iFunction"), "String " + std::to_string(x.Get("iFunction")));
                    break;
                case Section::Interface:
                    c.insert(c.end(), {9, 4, (uint8_t)x.Get("bInterfaceNumber"), (uint8_t)x.Get("bAlternateSetting"),
                                       (uint8_t)x.Get("bNumEndpoints"), (uint8_t)x.Get("bInterfaceClass"),
                                       (uint8_t)x.Get("bInterfaceSubClass"), (uint8_t)x.Get("bInterfaceProtocol"),
                                       (uint8_t)x.Get("iInterface")});
                    name(x.Get("iInterface"), "String " + std::to_string(x.Get("iInterface")));
                    break;
                case Section::Endpoint: {
                    const uint8_t length = x.Get("bLength", 7) == 9 ? 9 : 7;
                    c.insert(c.end(), {length, 5, (uint8_t)x.Get("bEndpointAddress"), (uint8_t)x.Get("bmAttributes")});
                    Put16(&c, x.Get("wMaxPacketSize"));
                    c.push_back((uint8_t)x.Get("bInterval"));
                    if (length == 9) {
                        c.push_back((uint8_t)x.Get("bRefresh"));
                        c.push_back((uint8_t)x.Get("bSynchAddress"));
                    }
                    break;
                }
                default:
                    break;
            }
        }
        c[2] = (uint8_t)c.size();
        c[3] = (uint8_t)(c.size() >> 8);
        configurations.push_back({{"raw", Hex(c)}});
    }

    nlohmann::ordered_json profile;
    profile["name"] = options.Name;
    profile["speed"] = options.Speed;
    profile["device"] = {{"raw", Hex(dev)}};
    if (configurations.size() == 1) profile["configuration"] = configurations[0];
    else profile["configurations"] = configurations;
    nlohmann::ordered_json texts = nlohmann::ordered_json::object();
    for (const auto &s : strings) texts[std::to_string(s.first)] = s.second;
    profile["strings"] = texts;
    std::cout << profile.dump(2) << "\n";
    return 0;
}
