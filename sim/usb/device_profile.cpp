#include "device_profile.h"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "descriptor_walk.h"
#include "sim/usbbus.h"
#include "sim/usb.h"

namespace sim {
namespace usb {

using nlohmann::json;

namespace {

constexpr uint8_t kAssociationDescriptorType = 0x0B;  // interface association (USB 2.0 ECN)

// The reference camera, in the profile format itself so that the built-in
// default and profile files go through one builder.
const char kReferenceProfile[] = R"json({
  "name": "reference",
  "device": {
    "bcdUSB": "0x0200", "bDeviceClass": "0xFF", "bDeviceSubClass": 0, "bDeviceProtocol": 0,
    "bMaxPacketSize0": 64, "idVendor": "0x1209", "idProduct": "0x0001", "bcdDevice": "0x0100",
    "manufacturer": "Tavrinoscope Developers", "product": "Tavrinoscope", "serialNumber": "TVS-000001"
  },
  "configuration": {
    "bConfigurationValue": 1, "bmAttributes": "0x80", "bMaxPower": 250,
    "interfaces": [
      { "bInterfaceNumber": 0, "bAlternateSetting": 0, "bInterfaceClass": "0xFF",
        "endpoints": [
          { "bEndpointAddress": "0x01", "type": "bulk", "wMaxPacketSize": 512 },
          { "bEndpointAddress": "0x81", "type": "bulk", "wMaxPacketSize": 512 },
          { "bEndpointAddress": "0x82", "type": "bulk", "wMaxPacketSize": 512 },
          { "bEndpointAddress": "0x83", "type": "interrupt", "wMaxPacketSize": 64, "bInterval": 4 } ] },
      { "bInterfaceNumber": 0, "bAlternateSetting": 1, "bInterfaceClass": "0xFF",
        "endpoints": [
          { "bEndpointAddress": "0x01", "type": "bulk", "wMaxPacketSize": 512 },
          { "bEndpointAddress": "0x81", "type": "bulk", "wMaxPacketSize": 512 },
          { "bEndpointAddress": "0x84", "type": "isochronous", "wMaxPacketSize": 1024, "bInterval": 1 },
          { "bEndpointAddress": "0x05", "type": "isochronous", "wMaxPacketSize": 1024, "bInterval": 1 } ] },
      { "bInterfaceNumber": 0, "bAlternateSetting": 2, "bInterfaceClass": "0xFF", "endpoints": [] },
      { "bInterfaceNumber": 0, "bAlternateSetting": 3, "bInterfaceClass": "0xFF",
        "endpoints": [
          { "bEndpointAddress": "0x86", "type": "isochronous", "wMaxPacketSize": "0x1400", "bInterval": 1 } ] }
    ]
  },
  "endpoints": { "0x01": "commands", "0x81": "status", "0x82": "frames", "0x83": "events",
                 "0x84": "isoSource", "0x05": "isoSink",
                 "0x86": "isoSource" },
  "frame": { "width": 640, "height": 480, "zeroLengthPacket": true, "delayMs": 0 }
})json";

struct Context {
    std::string *error;
    bool Fail(const std::string &path, const std::string &what) {
        *error = path + ": " + what;
        return false;
    }
};

bool ParseUnsigned(const json &v, uint64_t max, uint64_t *out) {
    if (v.is_number_unsigned()) {
        *out = v.get<uint64_t>();
    } else if (v.is_number_integer()) {
        int64_t i = v.get<int64_t>();
        if (i < 0) return false;
        *out = (uint64_t)i;
    } else if (v.is_string()) {
        const std::string s = v.get<std::string>();
        if (s.empty()) return false;
        size_t used = 0;
        try {
            *out = std::stoull(s, &used, 0);
        } catch (...) {
            return false;
        }
        if (used != s.size() || s[0] == '-') return false;
    } else {
        return false;
    }
    return *out <= max;
}

// Reads an optional unsigned field; absent fields keep *out.
template <typename T>
bool Field(Context &c, const json &obj, const std::string &path, const char *key, uint64_t max,
           T *out, bool required = false) {
    auto it = obj.find(key);
    if (it == obj.end()) {
        if (required) return c.Fail(path + "." + key, "missing");
        return true;
    }
    uint64_t v;
    if (!ParseUnsigned(*it, max, &v))
        return c.Fail(path + "." + key, "expected a number from 0 to " + std::to_string(max) +
                                            " (decimal or \"0x\" hex)");
    *out = (T)v;
    return true;
}

bool ParseHex(const std::string &text, std::vector<uint8_t> *out) {
    std::string digits;
    for (size_t i = 0; i < text.size(); ++i) {
        char ch = text[i];
        if (ch == '0' && i + 1 < text.size() && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
            ++i;
            continue;
        }
        if (isxdigit((unsigned char)ch)) digits += ch;
        else if (!(isspace((unsigned char)ch) || ch == ',' || ch == ':' || ch == '-')) return false;
    }
    if (digits.size() % 2 != 0) return false;
    out->clear();
    for (size_t i = 0; i < digits.size(); i += 2)
        out->push_back((uint8_t)std::stoul(digits.substr(i, 2), nullptr, 16));
    return true;
}

bool RawBytes(Context &c, const json &v, const std::string &path, std::vector<uint8_t> *out) {
    if (!v.is_string() || !ParseHex(v.get<std::string>(), out))
        return c.Fail(path, "expected a string of hex bytes, e.g. \"12 01 00 02\"");
    return true;
}

std::vector<uint8_t> StringDescriptor(const std::string &utf8) {
    std::vector<uint8_t> d(2);
    // UTF-8 to UTF-16LE, basic multilingual plane (enough for descriptor text).
    for (size_t i = 0; i < utf8.size() && d.size() < 254;) {
        unsigned char b = (unsigned char)utf8[i];
        uint32_t cp = b;
        size_t n = 1;
        if (b >= 0xE0 && i + 2 < utf8.size()) {
            cp = ((b & 0x0F) << 12) | ((utf8[i + 1] & 0x3F) << 6) | (utf8[i + 2] & 0x3F);
            n = 3;
        } else if (b >= 0xC0 && i + 1 < utf8.size()) {
            cp = ((b & 0x1F) << 6) | (utf8[i + 1] & 0x3F);
            n = 2;
        }
        d.push_back((uint8_t)cp);
        d.push_back((uint8_t)(cp >> 8));
        i += n;
    }
    d[0] = (uint8_t)d.size();
    d[1] = USB_STRING_DESCRIPTOR_TYPE;
    return d;
}

bool ParseRole(const std::string &name, EndpointRole *role) {
    static const struct {
        const char *n;
        EndpointRole r;
    } kRoles[] = {
        {"sink", EndpointRole::Sink}, {"commands", EndpointRole::Commands}, {"silent", EndpointRole::Silent}, {"status", EndpointRole::Status}, {"frames", EndpointRole::Frames}, {"events", EndpointRole::Events}, {"isoSource", EndpointRole::IsoSource}, {"isoSink", EndpointRole::IsoSink}};
    for (const auto &r : kRoles)
        if (name == r.n) {
            *role = r.r;
            return true;
        }
    return false;
}

bool RoleFits(EndpointRole role, const EndpointInfo &ep) {
    bool iso = ep.Type() == USB_ENDPOINT_TYPE_ISOCHRONOUS;
    switch (role) {
        case EndpointRole::Sink:
        case EndpointRole::Commands: return !ep.In() && !iso;
        case EndpointRole::Silent:
        case EndpointRole::Status:
        case EndpointRole::Frames:
        case EndpointRole::Events: return ep.In() && !iso;
        case EndpointRole::IsoSource: return ep.In() && iso;
        case EndpointRole::IsoSink: return !ep.In() && iso;
    }
    return false;
}

bool ParseDevice(Context &c, const json &root, DeviceProfile *p, std::map<uint8_t, std::string> *texts) {
    auto it = root.find("device");
    if (it == root.end()) return c.Fail("device", "missing");
    const json &d = *it;
    if (!d.is_object()) return c.Fail("device", "expected an object");
    if (d.contains("raw")) {
        if (!RawBytes(c, d["raw"], "device.raw", &p->DeviceDescriptor)) return false;
        if (p->DeviceDescriptor.size() != 18 || p->DeviceDescriptor[0] != 18 ||
            p->DeviceDescriptor[1] != USB_DEVICE_DESCRIPTOR_TYPE)
            return c.Fail("device.raw", "expected 18 bytes starting 12 01 (a device descriptor)");
        return true;
    }
    uint16_t bcdUSB = 0x200, idVendor = 0, idProduct = 0, bcdDevice = 0x100;
    uint8_t cls = 0, sub = 0, proto = 0, mps0 = 64;
    if (!Field(c, d, "device", "bcdUSB", 0xFFFF, &bcdUSB) ||
        !Field(c, d, "device", "bDeviceClass", 0xFF, &cls) ||
        !Field(c, d, "device", "bDeviceSubClass", 0xFF, &sub) ||
        !Field(c, d, "device", "bDeviceProtocol", 0xFF, &proto) ||
        !Field(c, d, "device", "bMaxPacketSize0", 0xFF, &mps0) ||
        !Field(c, d, "device", "idVendor", 0xFFFF, &idVendor, true) ||
        !Field(c, d, "device", "idProduct", 0xFFFF, &idProduct, true) ||
        !Field(c, d, "device", "bcdDevice", 0xFFFF, &bcdDevice))
        return false;
    if (mps0 != 8 && mps0 != 16 && mps0 != 32 && mps0 != 64)
        return c.Fail("device.bMaxPacketSize0", "expected 8, 16, 32 or 64");
    const char *keys[3] = {"manufacturer", "product", "serialNumber"};
    uint8_t index[3] = {0, 0, 0};
    for (int i = 0; i < 3; ++i) {
        auto s = d.find(keys[i]);
        if (s == d.end()) continue;
        if (!s->is_string()) return c.Fail(std::string("device.") + keys[i], "expected a string");
        index[i] = (uint8_t)(i + 1);
        (*texts)[index[i]] = s->get<std::string>();
    }
    p->DeviceDescriptor = {18, USB_DEVICE_DESCRIPTOR_TYPE, (uint8_t)bcdUSB, (uint8_t)(bcdUSB >> 8),
                           cls, sub, proto, mps0, (uint8_t)idVendor, (uint8_t)(idVendor >> 8),
                           (uint8_t)idProduct, (uint8_t)(idProduct >> 8), (uint8_t)bcdDevice,
                           (uint8_t)(bcdDevice >> 8), index[0], index[1], index[2], 1};
    return true;
}

// wMaxPacketSize: bits 0..10 the packet size, bits 11..12 the additional
// transactions per microframe of a high-speed periodic endpoint. Periodic
// endpoints may have a packet size of 0 (no bandwidth: the usual default
// setting of an isochronous interface); bulk endpoints may not.
bool CheckMaxPacket(Context &c, const std::string &path, uint8_t type, uint16_t mps, bool highSpeed) {
    const uint16_t size = mps & 0x7FF, extra = (mps >> 11) & 3;
    const bool periodic = type == USB_ENDPOINT_TYPE_ISOCHRONOUS || type == USB_ENDPOINT_TYPE_INTERRUPT;
    if ((mps & 0xE000) != 0 || extra == 3)
        return c.Fail(path, "bits 13..15 are reserved and bits 11..12 may say at most 2 more transactions");
    if (size > 1024 || (size == 0 && !periodic))
        return c.Fail(path, periodic ? "expected a packet size from 0 to 1024" : "expected a packet size from 1 to 1024");
    if (type == USB_ENDPOINT_TYPE_BULK && size > 512)
        return c.Fail(path, "bulk packets are at most 512 bytes");
    if (extra != 0 && (!periodic || !highSpeed))
        return c.Fail(path, "more transactions per microframe only for high-speed interrupt or isochronous endpoints");
    if (extra != 0 && size < (extra == 1 ? 513 : 683))
        return c.Fail(path, "a high-bandwidth endpoint's packets are at least 513 (2 per microframe) or 683 (3) bytes");
    return true;
}

bool ParseEndpoint(Context &c, const json &e, const std::string &path, bool highSpeed, std::vector<uint8_t> *out) {
    if (!e.is_object()) return c.Fail(path, "expected an object");
    uint8_t address = 0, interval = 0;
    uint16_t mps = 0;
    if (!Field(c, e, path, "bEndpointAddress", 0xFF, &address, true) ||
        !Field(c, e, path, "wMaxPacketSize", 0xFFFF, &mps, true) ||
        !Field(c, e, path, "bInterval", 0xFF, &interval))
        return false;
    if ((address & 0x0F) == 0 || (address & 0x70) != 0)
        return c.Fail(path + ".bEndpointAddress", "expected an endpoint number 1 to 15, bit 7 for IN");
    auto t = e.find("type");
    if (t == e.end()) return c.Fail(path + ".type", "missing");
    static const char *kTypes[4] = {"control", "isochronous", "bulk", "interrupt"};
    int type = -1;
    for (int i = 1; i < 4; ++i)
        if (t->is_string() && t->get<std::string>() == kTypes[i]) type = i;
    if (type < 0) return c.Fail(path + ".type", "expected \"bulk\", \"interrupt\" or \"isochronous\"");
    uint8_t attributes = (uint8_t)type;
    if (!Field(c, e, path, "bmAttributes", 0xFF, &attributes)) return false;
    if ((attributes & 3) != type) return c.Fail(path + ".bmAttributes", "transfer type bits disagree with type");
    if (!CheckMaxPacket(c, path + ".wMaxPacketSize", (uint8_t)type, mps, highSpeed)) return false;
    if (type != USB_ENDPOINT_TYPE_BULK && interval == 0) interval = 1;
    uint8_t b[7] = {7, USB_ENDPOINT_DESCRIPTOR_TYPE, address, attributes, (uint8_t)mps,
                    (uint8_t)(mps >> 8), interval};
    out->insert(out->end(), b, b + 7);
    return true;
}

// One configuration object (at `where`: "configuration" or
// "configurations[k]") into its descriptor bytes. Its "name" becomes string 4
// (first configuration only; others name theirs with iConfiguration).
bool ParseConfiguration(Context &c, const json &cfg, const std::string &where, size_t k, DeviceProfile *p,
                        std::map<uint8_t, std::string> *texts, std::vector<uint8_t> *out) {
    if (!cfg.is_object()) return c.Fail(where, "expected an object");
    if (cfg.contains("raw")) return RawBytes(c, cfg["raw"], where + ".raw", out);
    uint8_t value = 1, attributes = 0x80, power = 50;
    if (!Field(c, cfg, where, "bConfigurationValue", 0xFF, &value) ||
        !Field(c, cfg, where, "bmAttributes", 0xFF, &attributes) ||
        !Field(c, cfg, where, "bMaxPower", 0xFF, &power))
        return false;
    if (value == 0) return c.Fail(where + ".bConfigurationValue", "must not be 0 (0 means unconfigured)");
    auto ifs = cfg.find("interfaces");
    if (ifs == cfg.end()) return c.Fail(where + ".interfaces", "missing");
    if (!ifs->is_array() || ifs->empty()) return c.Fail(where + ".interfaces", "expected a non-empty array");
    std::vector<uint8_t> body;
    std::vector<int> numbers;
    for (size_t i = 0; i < ifs->size(); ++i) {
        const json &f = (*ifs)[i];
        std::string path = where + ".interfaces[" + std::to_string(i) + "]";
        if (!f.is_object()) return c.Fail(path, "expected an object");
        uint8_t number = 0, alt = 0, cls = 0xFF, sub = 0, proto = 0;
        if (!Field(c, f, path, "bInterfaceNumber", 0xFF, &number, true) ||
            !Field(c, f, path, "bAlternateSetting", 0xFF, &alt) ||
            !Field(c, f, path, "bInterfaceClass", 0xFF, &cls) ||
            !Field(c, f, path, "bInterfaceSubClass", 0xFF, &sub) ||
            !Field(c, f, path, "bInterfaceProtocol", 0xFF, &proto))
            return false;
        for (size_t j = 0; j < i; ++j) {
            const json &g = (*ifs)[j];
            uint8_t n2 = 0, a2 = 0;
            Field(c, g, path, "bInterfaceNumber", 0xFF, &n2);
            Field(c, g, path, "bAlternateSetting", 0xFF, &a2);
            if (n2 == number && a2 == alt)
                return c.Fail(path, "interface " + std::to_string(number) + " alternate setting " +
                                        std::to_string(alt) + " is defined twice");
        }
        bool seen = false;
        for (int n : numbers) seen = seen || n == number;
        if (!seen) numbers.push_back(number);
        std::vector<uint8_t> eps;
        auto e = f.find("endpoints");
        size_t count = 0;
        if (e != f.end()) {
            if (!e->is_array()) return c.Fail(path + ".endpoints", "expected an array");
            if (e->size() > 30) return c.Fail(path + ".endpoints", "at most 30 endpoints");
            for (size_t k = 0; k < e->size(); ++k)
                if (!ParseEndpoint(c, (*e)[k], path + ".endpoints[" + std::to_string(k) + "]", p->HighSpeed, &eps))
                    return false;
            count = e->size();
        }
        uint8_t d[9] = {9, USB_INTERFACE_DESCRIPTOR_TYPE, number, alt, (uint8_t)count, cls, sub, proto, 0};
        body.insert(body.end(), d, d + 9);
        body.insert(body.end(), eps.begin(), eps.end());
    }
    size_t total = 9 + body.size();
    if (total > 0xFFFF) return c.Fail(where + ".interfaces", "descriptor longer than 65535 bytes");
    uint8_t iConfiguration = 0;
    if (!Field(c, cfg, where, "iConfiguration", 0xFF, &iConfiguration)) return false;
    auto name = cfg.find("name");
    if (name != cfg.end()) {
        if (!name->is_string()) return c.Fail(where + ".name", "expected a string");
        if (k != 0) return c.Fail(where + ".name", "only the first configuration has a name; use iConfiguration and strings");
        iConfiguration = 4;
        (*texts)[4] = name->get<std::string>();
    }
    uint8_t h[9] = {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, (uint8_t)total, (uint8_t)(total >> 8),
                    (uint8_t)numbers.size(), value, iConfiguration, attributes, power};
    out->assign(h, h + 9);
    out->insert(out->end(), body.begin(), body.end());
    return true;
}

// "configuration" (one) or "configurations" (an array, in descriptor index
// order): each into a ConfigurationInfo whose descriptor is checked later.
bool ParseConfigurations(Context &c, const json &root, DeviceProfile *p, std::map<uint8_t, std::string> *texts) {
    auto one = root.find("configuration"), many = root.find("configurations");
    if (one != root.end() && many != root.end())
        return c.Fail("configurations", "give either configuration or configurations, not both");
    if (one == root.end() && many == root.end()) return c.Fail("configuration", "missing");
    p->Configurations.clear();
    if (one != root.end()) {
        p->Configurations.emplace_back();
        return ParseConfiguration(c, *one, "configuration", 0, p, texts, &p->Configurations[0].Descriptor);
    }
    if (!many->is_array() || many->empty() || many->size() > 255)
        return c.Fail("configurations", "expected an array of 1 to 255 configurations");
    p->Configurations.resize(many->size());
    for (size_t k = 0; k < many->size(); ++k)
        if (!ParseConfiguration(c, (*many)[k], "configurations[" + std::to_string(k) + "]", k, p, texts,
                                &p->Configurations[k].Descriptor))
            return false;
    return true;
}

// Reads an object of index: text (indices 1 to 255) at path into *out.
bool StringTexts(Context &c, const json &obj, const std::string &path, std::map<uint8_t, std::string> *out) {
    if (!obj.is_object()) return c.Fail(path, "expected an object of index: text");
    for (auto it = obj.begin(); it != obj.end(); ++it) {
        uint64_t index;
        if (!ParseUnsigned(json(it.key()), 255, &index) || index == 0)
            return c.Fail(path + "." + it.key(), "the key must be a string index from 1 to 255");
        if (!it.value().is_string()) return c.Fail(path + "." + it.key(), "expected a string");
        (*out)[(uint8_t)index] = it.value().get<std::string>();
    }
    return true;
}

// Languages: "languageId" (one) or "languageIds" (the list string 0 gives, the
// first one the language of "strings" and the device's texts);
// "localizedStrings" gives the texts of the other languages by language id.
bool ParseStrings(Context &c, const json &root, DeviceProfile *p, std::map<uint8_t, std::string> &texts) {
    uint16_t single = 0x0409;
    if (!Field(c, root, "", "languageId", 0xFFFF, &single)) {
        c.error->erase(0, 1);  // no leading '.' for a top-level field
        return false;
    }
    p->LanguageIds.assign(1, single);
    auto list = root.find("languageIds");
    if (list != root.end()) {
        if (root.contains("languageId")) return c.Fail("languageIds", "give either languageId or languageIds, not both");
        if (!list->is_array() || list->empty() || list->size() > 126)
            return c.Fail("languageIds", "expected an array of 1 to 126 language ids");
        p->LanguageIds.clear();
        for (size_t i = 0; i < list->size(); ++i) {
            uint64_t id;
            if (!ParseUnsigned((*list)[i], 0xFFFF, &id) || id == 0)
                return c.Fail("languageIds[" + std::to_string(i) + "]", "expected a language id such as \"0x0409\"");
            for (uint16_t seen : p->LanguageIds)
                if (seen == id) return c.Fail("languageIds[" + std::to_string(i) + "]", "listed twice");
            p->LanguageIds.push_back((uint16_t)id);
        }
    }
    auto s = root.find("strings");
    if (s != root.end() && !StringTexts(c, *s, "strings", &texts)) return false;
    std::vector<uint8_t> zero(2 + 2 * p->LanguageIds.size());
    zero[0] = (uint8_t)zero.size();
    zero[1] = USB_STRING_DESCRIPTOR_TYPE;
    for (size_t i = 0; i < p->LanguageIds.size(); ++i) {
        zero[2 + 2 * i] = (uint8_t)p->LanguageIds[i];
        zero[3 + 2 * i] = (uint8_t)(p->LanguageIds[i] >> 8);
    }
    p->Strings[0] = zero;
    for (const auto &t : texts) p->Strings[t.first] = StringDescriptor(t.second);
    auto localized = root.find("localizedStrings");
    if (localized != root.end()) {
        if (!localized->is_object()) return c.Fail("localizedStrings", "expected an object of language id: strings");
        for (auto it = localized->begin(); it != localized->end(); ++it) {
            const std::string path = "localizedStrings." + it.key();
            uint64_t id;
            if (!ParseUnsigned(json(it.key()), 0xFFFF, &id))
                return c.Fail(path, "the key must be a language id such as \"0x0407\"");
            bool listed = false;
            for (size_t i = 1; i < p->LanguageIds.size(); ++i) listed = listed || p->LanguageIds[i] == id;
            if (!listed) return c.Fail(path, "not one of languageIds after the first");
            std::map<uint8_t, std::string> other;
            if (!StringTexts(c, it.value(), path, &other)) return false;
            for (const auto &t : other) p->OtherStrings[(uint16_t)id][t.first] = StringDescriptor(t.second);
        }
    }
    auto r = root.find("rawStrings");
    if (r != root.end()) {
        if (!r->is_object()) return c.Fail("rawStrings", "expected an object of index: hex bytes");
        for (auto it = r->begin(); it != r->end(); ++it) {
            uint64_t index;
            std::string path = "rawStrings." + it.key();
            if (!ParseUnsigned(json(it.key()), 255, &index)) return c.Fail(path, "the key must be an index from 0 to 255");
            std::vector<uint8_t> bytes;
            if (!RawBytes(c, it.value(), path, &bytes)) return false;
            if (bytes.size() < 2 || bytes[0] != bytes.size() || bytes[1] != USB_STRING_DESCRIPTOR_TYPE)
                return c.Fail(path, "expected a string descriptor: bLength = its size, type 03");
            if (index == 0) {
                // The language list itself: its ids become the profile's.
                if (bytes.size() < 4 || bytes.size() % 2 != 0) return c.Fail(path, "expected at least one language id");
                p->LanguageIds.clear();
                for (size_t i = 2; i + 1 < bytes.size(); i += 2) p->LanguageIds.push_back((uint16_t)(bytes[i] | (bytes[i + 1] << 8)));
            }
            p->Strings[(uint8_t)index] = bytes;
        }
    }
    return true;
}

bool ParseRequests(Context &c, const json &root, const char *key, uint8_t typeBits,
                   std::vector<FixedRequest> *out) {
    auto a = root.find(key);
    if (a == root.end()) return true;
    if (!a->is_array()) return c.Fail(key, "expected an array");
    for (size_t i = 0; i < a->size(); ++i) {
        const json &r = (*a)[i];
        std::string path = std::string(key) + "[" + std::to_string(i) + "]";
        if (!r.is_object()) return c.Fail(path, "expected an object");
        FixedRequest f{};
        f.Value = -1;
        f.Index = -1;
        if (!Field(c, r, path, "bmRequestType", 0xFF, &f.RequestType, true) ||
            !Field(c, r, path, "bRequest", 0xFF, &f.Request, true))
            return false;
        if ((f.RequestType & 0x60) != typeBits)
            return c.Fail(path + ".bmRequestType", std::string("type bits 5..6 must say ") +
                                                       (typeBits == 0x20 ? "class (0x20)" : "vendor (0x40)"));
        for (const char *k : {"wValue", "wIndex"}) {
            auto v = r.find(k);
            int32_t *dst = k[1] == 'V' ? &f.Value : &f.Index;
            if (v == r.end() || (v->is_number_integer() && v->get<int64_t>() == -1)) continue;
            uint64_t n;
            if (!ParseUnsigned(*v, 0xFFFF, &n)) return c.Fail(path + "." + k, "expected -1 (any) or 0 to 65535");
            *dst = (int32_t)n;
        }
        auto st = r.find("stall");
        if (st != r.end()) {
            if (!st->is_boolean()) return c.Fail(path + ".stall", "expected true or false");
            f.Stall = st->get<bool>();
        }
        auto resp = r.find("response");
        if (resp != r.end() && !RawBytes(c, *resp, path + ".response", &f.Response)) return false;
        out->push_back(f);
    }
    return true;
}

}  // namespace

const char *EndpointRoleName(EndpointRole role) {
    switch (role) {
        case EndpointRole::Sink: return "sink";
        case EndpointRole::Commands: return "commands";
        case EndpointRole::Silent: return "silent";
        case EndpointRole::Status: return "status";
        case EndpointRole::Frames: return "frames";
        case EndpointRole::Events: return "events";
        case EndpointRole::IsoSource: return "isoSource";
        case EndpointRole::IsoSink: return "isoSink";
    }
    return "?";
}

const InterfaceSetting *ConfigurationInfo::FindSetting(uint8_t interfaceNumber, uint8_t alternate) const {
    for (const auto &s : Settings)
        if (s.InterfaceNumber == interfaceNumber && s.AlternateSetting == alternate) return &s;
    return nullptr;
}

bool ConfigurationInfo::HasInterface(uint8_t interfaceNumber) const {
    for (const auto &s : Settings)
        if (s.InterfaceNumber == interfaceNumber) return true;
    return false;
}

std::vector<uint8_t> ConfigurationInfo::FunctionDescriptor(const FunctionInfo &f) const {
    std::vector<uint8_t> out(Descriptor.begin(), Descriptor.begin() + 9);
    bool inside = false;  // the descriptors since the last interface descriptor belong to f
    size_t offset = Descriptor[0], next;
    while (offset < Descriptor.size() &&
           NextDescriptor(Descriptor.data(), Descriptor.size(), offset, &next) == WalkError::None) {
        const uint8_t type = Descriptor[offset + 1];
        if (type == USB_INTERFACE_DESCRIPTOR_TYPE) inside = f.Contains(Descriptor[offset + 2]);
        if (type == kAssociationDescriptorType) inside = false;
        if (inside) out.insert(out.end(), Descriptor.begin() + offset, Descriptor.begin() + next);
        offset = next;
    }
    out[2] = (uint8_t)out.size();
    out[3] = (uint8_t)(out.size() >> 8);
    out[4] = f.InterfaceCount;
    return out;
}

const ConfigurationInfo *DeviceProfile::ConfigurationByValue(uint8_t value) const {
    for (const auto &c : Configurations)
        if (c.Value == value) return &c;
    return nullptr;
}

const std::vector<uint8_t> *DeviceProfile::StringFor(uint8_t index, uint16_t language) const {
    if (index != 0) {
        bool listed = false;
        for (uint16_t id : LanguageIds) listed = listed || id == language;
        if (!listed) return nullptr;
        auto other = OtherStrings.find(language);
        if (other != OtherStrings.end()) {
            auto it = other->second.find(index);
            if (it != other->second.end()) return &it->second;
        }
    }
    auto it = Strings.find(index);
    return it == Strings.end() ? nullptr : &it->second;
}

bool DeviceProfile::Composite() const {
    const uint8_t cls = DeviceDescriptor[4], sub = DeviceDescriptor[5], proto = DeviceDescriptor[6];
    return Configurations.size() == 1 && First().InterfaceCount > 1 &&
           (cls == 0 || (cls == 0xEF && sub == 0x02 && proto == 0x01));
}

bool DeriveSettings(const DeviceProfile &p, ConfigurationInfo *c, std::string *error) {
    const std::vector<uint8_t> &cfg = c->Descriptor;
    size_t bad;
    WalkError e = CheckConfiguration(cfg.data(), cfg.size(), &bad);
    if (e != WalkError::None) {
        *error = "configuration: " + std::string(WalkErrorText(e)) + " at byte " + std::to_string(bad);
        return false;
    }
    if (cfg.size() != ((size_t)cfg[2] | ((size_t)cfg[3] << 8))) {
        *error = "configuration: wTotalLength is " + std::to_string(cfg[2] | (cfg[3] << 8)) +
                 " but the descriptor has " + std::to_string(cfg.size()) + " bytes";
        return false;
    }
    c->Value = cfg[5];
    c->InterfaceCount = cfg[4];
    c->Settings.clear();
    c->Functions.clear();
    size_t offset = 0, extent = cfg.size();
    while (offset < extent) {
        size_t next;
        NextDescriptor(cfg.data(), extent, offset, &next);
        if (cfg[offset + 1] == kAssociationDescriptorType && next - offset >= 8) {
            if (cfg[offset + 3] == 0) {
                *error = "configuration: interface association with bInterfaceCount 0 at byte " + std::to_string(offset);
                return false;
            }
            c->Functions.push_back(FunctionInfo{cfg[offset + 2], cfg[offset + 3], cfg[offset + 4], true});
        }
        if (cfg[offset + 1] == USB_INTERFACE_DESCRIPTOR_TYPE) {
            InterfaceSetting s{cfg[offset + 2], cfg[offset + 3], cfg[offset + 5], cfg[offset + 6], cfg[offset + 7], {}};
            if (c->FindSetting(s.InterfaceNumber, s.AlternateSetting) != nullptr) {
                *error = "configuration: interface " + std::to_string(s.InterfaceNumber) +
                         " alternate setting " + std::to_string(s.AlternateSetting) +
                         " appears twice (byte " + std::to_string(offset) + ")";
                return false;
            }
            size_t offsets[32], count;
            EndpointsOfInterface(cfg.data(), extent, offset, &count, offsets, 32);
            size_t used = cfg[offset + 4];
            if (used > 30) {
                *error = "configuration: bNumEndpoints above 30 at byte " + std::to_string(offset);
                return false;
            }
            for (size_t k = 0; k < used; ++k) {
                const uint8_t *d = cfg.data() + offsets[k];
                const uint16_t raw = (uint16_t)(d[4] | (d[5] << 8));
                EndpointInfo ep{d[2], d[3], (uint16_t)(raw & 0x7FF), d[6], EndpointRole::Sink, raw};
                const bool periodic = ep.Type() == USB_ENDPOINT_TYPE_ISOCHRONOUS || ep.Type() == USB_ENDPOINT_TYPE_INTERRUPT;
                if ((ep.Address & 0x0F) == 0 || (ep.MaxPacket == 0 && !periodic) || ep.MaxPacket > 1024 ||
                    ((raw >> 11) & 3) == 3 || (((raw >> 11) & 3) != 0 && (!periodic || !p.HighSpeed))) {
                    *error = "configuration: endpoint descriptor at byte " + std::to_string(offsets[k]) +
                             " has endpoint number 0 or a wMaxPacketSize no endpoint of its type and speed can have";
                    return false;
                }
                for (const EndpointInfo &other : s.Endpoints)
                    if (other.Address == ep.Address) {
                        *error = "configuration: endpoint descriptor at byte " + std::to_string(offsets[k]) +
                                 " repeats an endpoint address of its interface setting";
                        return false;
                    }
                auto r = p.Roles.find(ep.Address);
                if (r != p.Roles.end()) {
                    ep.Role = r->second;
                } else if (ep.Type() == USB_ENDPOINT_TYPE_ISOCHRONOUS) {
                    ep.Role = ep.In() ? EndpointRole::IsoSource : EndpointRole::IsoSink;
                } else {
                    ep.Role = ep.In() ? EndpointRole::Silent : EndpointRole::Sink;
                }
                if (!RoleFits(ep.Role, ep)) {
                    char a[8];
                    snprintf(a, sizeof a, "0x%02X", ep.Address);
                    *error = std::string("endpoints.") + a + ": role \"" + EndpointRoleName(ep.Role) +
                             "\" does not fit the endpoint's direction and type";
                    return false;
                }
                s.Endpoints.push_back(ep);
            }
            c->Settings.push_back(s);
        }
        offset = next;
    }
    if (c->Settings.empty()) {
        *error = "configuration: no interface descriptor";
        return false;
    }
    // Every interface not inside an association is a function of its own.
    std::vector<uint8_t> numbers;
    for (const auto &s : c->Settings)
        if (std::find(numbers.begin(), numbers.end(), s.InterfaceNumber) == numbers.end()) numbers.push_back(s.InterfaceNumber);
    if (numbers.size() != c->InterfaceCount) {
        *error = "configuration: bNumInterfaces is " + std::to_string(c->InterfaceCount) + " but " +
                 std::to_string(numbers.size()) + " interfaces are described";
        return false;
    }
    for (uint8_t n : numbers) {
        bool covered = false;
        for (const auto &f : c->Functions) covered = covered || (f.Association && f.Contains(n));
        if (!covered) {
            const InterfaceSetting *s = c->FindSetting(n, 0);
            c->Functions.push_back(FunctionInfo{n, 1, s != nullptr ? s->Class : (uint8_t)0, false});
        }
    }
    std::sort(c->Functions.begin(), c->Functions.end(),
              [](const FunctionInfo &a, const FunctionInfo &b) { return a.FirstInterface < b.FirstInterface; });
    return true;
}

bool ParseProfileJson(const std::string &text, DeviceProfile *p, std::string *error) {
    Context c{error};
    json root;
    try {
        root = json::parse(text);
    } catch (const json::parse_error &e) {
        return c.Fail("(profile)", std::string("not valid JSON: ") + e.what());
    }
    if (!root.is_object()) return c.Fail("(profile)", "expected a JSON object");
    *p = DeviceProfile();
    if (root.contains("name")) {
        if (!root["name"].is_string()) return c.Fail("name", "expected a string");
        p->Name = root["name"].get<std::string>();
    }
    if (root.contains("speed")) {
        const json &s = root["speed"];
        if (!s.is_string() || (s != "high" && s != "full"))
            return c.Fail("speed", "expected \"high\" or \"full\"");
        p->HighSpeed = s == "high";
    }
    std::map<uint8_t, std::string> texts;
    if (!ParseDevice(c, root, p, &texts) || !ParseConfigurations(c, root, p, &texts) ||
        !ParseStrings(c, root, p, texts))
        return false;
    const bool rawDevice = root["device"].contains("raw");
    if (rawDevice && p->DeviceDescriptor[17] != p->Configurations.size())
        return c.Fail("device.raw", "bNumConfigurations is " + std::to_string(p->DeviceDescriptor[17]) + " but " +
                                        std::to_string(p->Configurations.size()) + " configurations are given");
    p->DeviceDescriptor[17] = (uint8_t)p->Configurations.size();
    auto eps = root.find("endpoints");
    if (eps != root.end()) {
        if (!eps->is_object()) return c.Fail("endpoints", "expected an object of address: role");
        for (auto it = eps->begin(); it != eps->end(); ++it) {
            uint64_t address;
            std::string path = "endpoints." + it.key();
            if (!ParseUnsigned(json(it.key()), 0xFF, &address) || (address & 0x0F) == 0)
                return c.Fail(path, "the key must be an endpoint address such as \"0x81\"");
            EndpointRole role;
            if (!it.value().is_string() || !ParseRole(it.value().get<std::string>(), &role))
                return c.Fail(path, "expected one of sink, commands, silent, status, frames, events, isoSource, isoSink");
            p->Roles[(uint8_t)address] = role;
        }
    }
    auto f = root.find("frame");
    if (f != root.end()) {
        if (!f->is_object()) return c.Fail("frame", "expected an object");
        if (!Field(c, *f, "frame", "width", 4096, &p->FrameWidth) ||
            !Field(c, *f, "frame", "height", 4096, &p->FrameHeight) ||
            !Field(c, *f, "frame", "delayMs", 10000, &p->FrameDelayMs))
            return false;
        if (p->FrameWidth * p->FrameHeight < 8) return c.Fail("frame", "a frame has at least 8 bytes");
        auto z = f->find("zeroLengthPacket");
        if (z != f->end()) {
            if (!z->is_boolean()) return c.Fail("frame.zeroLengthPacket", "expected true or false");
            p->FrameZeroLengthPacket = z->get<bool>();
        }
    }
    auto iso = root.find("isochronous");
    if (iso != root.end()) {
        if (!iso->is_object()) return c.Fail("isochronous", "expected an object");
        if (!Field(c, *iso, "isochronous", "packetSize", 3072, &p->IsoPacketSize)) return false;
    }
    if (!ParseRequests(c, root, "classRequests", 0x20, &p->ClassRequests) ||
        !ParseRequests(c, root, "vendorRequests", 0x40, &p->VendorRequests))
        return false;
    auto q = root.find("qualifier");
    if (q != root.end()) {
        if (!RawBytes(c, *q, "qualifier", &p->QualifierDescriptor)) return false;
        if (p->QualifierDescriptor.size() != 10 || p->QualifierDescriptor[0] != 10 ||
            p->QualifierDescriptor[1] != USB_DEVICE_QUALIFIER_DESCRIPTOR_TYPE)
            return c.Fail("qualifier", "expected 10 bytes starting 0A 06");
    } else if (p->HighSpeed) {
        const std::vector<uint8_t> &d = p->DeviceDescriptor;
        p->QualifierDescriptor = {10, USB_DEVICE_QUALIFIER_DESCRIPTOR_TYPE, d[2], d[3], d[4], d[5], d[6], 64,
                                  (uint8_t)p->Configurations.size(), 0};
    }
    for (size_t k = 0; k < p->Configurations.size(); ++k) {
        const bool one = root.contains("configuration");
        const json &cfg = one ? root["configuration"] : root["configurations"][k];
        const std::string where = one ? "configuration" : "configurations[" + std::to_string(k) + "]";
        std::string derive;
        if (!DeriveSettings(*p, &p->Configurations[k], &derive)) {
            // Errors of the descriptor bytes name the raw field when there is one;
            // role errors already name their endpoint.
            if (derive.compare(0, 10, "endpoints.") == 0) {
                *error = derive;
                return false;
            }
            return c.Fail(cfg.contains("raw") ? where + ".raw" : where, derive.substr(derive.find(": ") + 2));
        }
        for (size_t j = 0; j < k; ++j)
            if (p->Configurations[j].Value == p->Configurations[k].Value || p->Configurations[k].Value == 0)
                return c.Fail(where, "bConfigurationValue must be non-zero and differ from the other configurations'");
    }
    return true;
}

const char *ReferenceProfileJson() { return kReferenceProfile; }

DeviceProfile ReferenceProfile() {
    DeviceProfile p;
    std::string error;
    ParseProfileJson(kReferenceProfile, &p, &error);
    return p;
}

}  // namespace usb
}  // namespace sim
