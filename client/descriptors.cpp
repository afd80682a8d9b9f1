// Descriptor decoding and the interface table.
#include "usbcam/descriptors.h"

#include <stdio.h>

namespace usbcam {
namespace {

uint16_t Le16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t Le32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

std::string Printf(const char *format, unsigned value) {
    char text[32];
    snprintf(text, sizeof text, format, value);
    return text;
}

DescriptorField Field(const char *name, unsigned value, std::string shown, std::string note) {
    DescriptorField field;
    field.Name = name;
    field.Value = value;
    field.Shown = std::move(shown);
    field.Note = std::move(note);
    return field;
}

DescriptorField Decimal(const char *name, unsigned value, std::string note = "") {
    return Field(name, value, std::to_string(value), std::move(note));
}
DescriptorField Hex8(const char *name, unsigned value, std::string note = "") {
    return Field(name, value, Printf("0x%02x", value), std::move(note));
}
DescriptorField Hex16(const char *name, unsigned value, std::string note = "") {
    return Field(name, value, Printf("0x%04x", value), std::move(note));
}
DescriptorField Bcd(const char *name, unsigned value) {
    char text[16];
    snprintf(text, sizeof text, "%x.%02x", value >> 8, value & 0xFF);
    return Field(name, value, text, "");
}
DescriptorField StringIndex(const char *name, uint8_t index, const StringLookup &strings) {
    return Decimal(name, index, index != 0 && strings ? strings(index) : "");
}

const char *DescriptorTypeName(uint8_t type) {
    switch (type) {
        case 1: return "Device";
        case 2: return "Configuration";
        case 3: return "String";
        case 4: return "Interface";
        case 5: return "Endpoint";
        case 6: return "Device Qualifier";
        case 7: return "Other Speed Configuration";
        case 8: return "Interface Power";
        case 9: return "OTG";
        case 11: return "Interface Association";
        case 15: return "BOS";
        case 48: return "SuperSpeed Endpoint Companion";
    }
    if ((type & 0x60) == 0x20) return "Class-specific";
    if ((type & 0x60) == 0x40) return "Vendor-specific";
    return "Unknown";
}

DecodedDescriptor BytesOnly(const uint8_t *p, size_t length) {
    DecodedDescriptor d;
    d.Title = std::string(DescriptorTypeName(p[1])) + " Descriptor (type " +
              Printf("0x%02x", p[1]) + ")";
    d.Bytes.assign(p, p + length);
    return d;
}

DecodedDescriptor Endpoint(const uint8_t *p, uint8_t length) {
    DecodedDescriptor d;
    d.Title = "Endpoint Descriptor";
    const uint8_t address = p[2];
    const uint8_t attributes = p[3];
    const uint16_t packet = Le16(p + 4);
    d.Fields.push_back(Decimal("bLength", p[0]));
    d.Fields.push_back(Decimal("bDescriptorType", p[1]));
    d.Fields.push_back(Hex8("bEndpointAddress", address,
                            "EP " + std::to_string(address & 0x0F) + ((address & 0x80) ? " IN" : " OUT")));
    DescriptorField attributeField = Decimal("bmAttributes", attributes);
    std::vector<std::string> &details = attributeField.Details;
    static const char *const kTypes[] = {"Control", "Isochronous", "Bulk", "Interrupt"};
    static const char *const kSync[] = {"None", "Asynchronous", "Adaptive", "Synchronous"};
    static const char *const kUsage[] = {"Data", "Feedback", "Implicit feedback Data", "(reserved)"};
    const unsigned type = attributes & 3;
    details.push_back(std::string("Transfer Type            ") + kTypes[type]);
    if (type == 1) {
        details.push_back(std::string("Synch Type               ") + kSync[(attributes >> 2) & 3]);
        details.push_back(std::string("Usage Type               ") + kUsage[(attributes >> 4) & 3]);
    }
    d.Fields.push_back(attributeField);
    d.Fields.push_back(Hex16("wMaxPacketSize", packet, PacketSizeText(packet)));
    d.Fields.push_back(Decimal("bInterval", p[6]));
    if (length >= 9) {  // the audio class's longer endpoint descriptor
        d.Fields.push_back(Decimal("bRefresh", p[7]));
        d.Fields.push_back(Decimal("bSynchAddress", p[8]));
    }
    return d;
}

DecodedDescriptor Interface(const uint8_t *p, const StringLookup &strings) {
    DecodedDescriptor d;
    d.Title = "Interface Descriptor";
    d.Fields.push_back(Decimal("bLength", p[0]));
    d.Fields.push_back(Decimal("bDescriptorType", p[1]));
    d.Fields.push_back(Decimal("bInterfaceNumber", p[2]));
    d.Fields.push_back(Decimal("bAlternateSetting", p[3]));
    d.Fields.push_back(Decimal("bNumEndpoints", p[4]));
    d.Fields.push_back(Decimal("bInterfaceClass", p[5], UsbClassName(p[5])));
    d.Fields.push_back(Decimal("bInterfaceSubClass", p[6]));
    d.Fields.push_back(Decimal("bInterfaceProtocol", p[7]));
    d.Fields.push_back(StringIndex("iInterface", p[8], strings));
    return d;
}

DecodedDescriptor Association(const uint8_t *p, const StringLookup &strings) {
    DecodedDescriptor d;
    d.Title = "Interface Association";
    d.Fields.push_back(Decimal("bLength", p[0]));
    d.Fields.push_back(Decimal("bDescriptorType", p[1]));
    d.Fields.push_back(Decimal("bFirstInterface", p[2]));
    d.Fields.push_back(Decimal("bInterfaceCount", p[3]));
    d.Fields.push_back(Decimal("bFunctionClass", p[4], UsbClassName(p[4])));
    d.Fields.push_back(Decimal("bFunctionSubClass", p[5]));
    d.Fields.push_back(Decimal("bFunctionProtocol", p[6]));
    d.Fields.push_back(StringIndex("iFunction", p[7], strings));
    return d;
}

std::string Where(size_t offset) { return " at offset " + std::to_string(offset); }

}  // namespace

uint32_t DecodedDescriptor::FieldValue(const std::string &name, uint32_t otherwise) const {
    for (const DescriptorField &field : Fields) {
        if (field.Name == name) return field.Value;
    }
    return otherwise;
}

const char *UsbClassName(uint8_t classCode) {
    switch (classCode) {
        case 0x00: return "(Defined at Interface level)";
        case 0x01: return "Audio";
        case 0x02: return "Communications";
        case 0x03: return "Human Interface Device";
        case 0x05: return "Physical Interface Device";
        case 0x06: return "Imaging";
        case 0x07: return "Printer";
        case 0x08: return "Mass Storage";
        case 0x09: return "Hub";
        case 0x0A: return "CDC Data";
        case 0x0B: return "Chip/SmartCard";
        case 0x0D: return "Content Security";
        case 0x0E: return "Video";
        case 0x0F: return "Personal Healthcare";
        case 0x10: return "Audio/Video";
        case 0xDC: return "Diagnostic";
        case 0xE0: return "Wireless";
        case 0xEF: return "Miscellaneous Device";
        case 0xFE: return "Application Specific Interface";
        case 0xFF: return "Vendor Specific Class";
    }
    return "";
}

std::string PacketSizeText(uint16_t maxPacketSize) {
    const unsigned multiplier = ((maxPacketSize >> 11) & 3) + 1;
    return std::to_string(multiplier) + "x " + std::to_string(maxPacketSize & 0x7FF) + " bytes";
}

bool DecodeDeviceDescriptor(const uint8_t *p, size_t length, const StringLookup &strings,
                            DecodedDescriptor *out, std::string *error) {
    *out = DecodedDescriptor();
    if (length < 18 || p[0] < 18 || p[1] != 1) {
        *error = "device descriptor: expected 18 bytes of type 1, got " + std::to_string(length) +
                 " bytes" + (length >= 2 ? " of type " + std::to_string(p[1]) : "");
        return false;
    }
    out->Title = "Device Descriptor";
    out->Fields.push_back(Decimal("bLength", p[0]));
    out->Fields.push_back(Decimal("bDescriptorType", p[1]));
    out->Fields.push_back(Bcd("bcdUSB", Le16(p + 2)));
    out->Fields.push_back(Decimal("bDeviceClass", p[4], UsbClassName(p[4])));
    out->Fields.push_back(Decimal("bDeviceSubClass", p[5]));
    out->Fields.push_back(Decimal("bDeviceProtocol", p[6]));
    out->Fields.push_back(Decimal("bMaxPacketSize0", p[7]));
    out->Fields.push_back(Hex16("idVendor", Le16(p + 8)));
    out->Fields.push_back(Hex16("idProduct", Le16(p + 10)));
    out->Fields.push_back(Bcd("bcdDevice", Le16(p + 12)));
    out->Fields.push_back(StringIndex("iManufacturer", p[14], strings));
    out->Fields.push_back(StringIndex("iProduct", p[15], strings));
    out->Fields.push_back(StringIndex("iSerial", p[16], strings));
    out->Fields.push_back(Decimal("bNumConfigurations", p[17]));
    return true;
}

bool DecodeConfiguration(const uint8_t *p, size_t length, const StringLookup &strings,
                         DecodedDescriptor *out, std::string *error) {
    *out = DecodedDescriptor();
    if (length < 9 || p[0] < 9 || p[1] != 2) {
        *error = "configuration descriptor: expected at least 9 bytes of type 2";
        return false;
    }
    const size_t total = Le16(p + 2);
    if (total < p[0]) {
        *error = "configuration descriptor: wTotalLength " + std::to_string(total) +
                 " is shorter than the descriptor itself";
        return false;
    }
    const size_t end = total < length ? total : length;
    out->Title = "Configuration Descriptor";
    out->Fields.push_back(Decimal("bLength", p[0]));
    out->Fields.push_back(Decimal("bDescriptorType", p[1]));
    out->Fields.push_back(Hex16("wTotalLength", static_cast<unsigned>(total)));
    out->Fields.push_back(Decimal("bNumInterfaces", p[4]));
    out->Fields.push_back(Decimal("bConfigurationValue", p[5]));
    out->Fields.push_back(StringIndex("iConfiguration", p[6], strings));
    DescriptorField attributes = Hex8("bmAttributes", p[7]);
    attributes.Details.push_back((p[7] & 0x40) ? "Self Powered" : "(Bus Powered)");
    if (p[7] & 0x20) attributes.Details.push_back("Remote Wakeup");
    out->Fields.push_back(attributes);
    out->Fields.push_back(Field("MaxPower", p[8], std::to_string(p[8] * 2u) + "mA", ""));
    if (total > length) {
        *error = "configuration descriptor: wTotalLength is " + std::to_string(total) + " but only " +
                 std::to_string(length) + " bytes arrived";
        return false;
    }

    DecodedDescriptor *association = nullptr;
    DecodedDescriptor *interface = nullptr;
    size_t offset = p[0];
    while (offset < end) {
        if (end - offset < 2) {
            *error = "a descriptor is cut short" + Where(offset);
            return false;
        }
        const uint8_t *d = p + offset;
        const uint8_t dLength = d[0];
        if (dLength < 2) {
            *error = "descriptor with bLength " + std::to_string(dLength) + Where(offset);
            return false;
        }
        if (dLength > end - offset) {
            *error = "descriptor of " + std::to_string(dLength) + " bytes runs past the end" +
                     Where(offset);
            return false;
        }
        const uint8_t type = d[1];
        if (type == 11 && dLength >= 8) {
            out->Children.push_back(Association(d, strings));
            association = &out->Children.back();
            interface = nullptr;
        } else if (type == 4 && dLength >= 9) {
            // An interface within an association's range is listed under it.
            const bool inAssociation =
                association != nullptr &&
                d[2] >= association->FieldValue("bFirstInterface") &&
                d[2] < association->FieldValue("bFirstInterface") +
                           association->FieldValue("bInterfaceCount");
            DecodedDescriptor *parent = inAssociation ? association : out;
            if (!inAssociation) association = nullptr;
            parent->Children.push_back(Interface(d, strings));
            interface = &parent->Children.back();
        } else if (type == 5 && dLength >= 7) {
            if (interface == nullptr) {
                *error = "endpoint descriptor before any interface" + Where(offset);
                return false;
            }
            interface->Children.push_back(Endpoint(d, dLength));
        } else {
            DecodedDescriptor *parent = interface != nullptr ? interface : out;
            if (parent == interface && !interface->Children.empty() &&
                (type == 48 || (type & 0x60) == 0x20) &&
                interface->Children.back().Title == "Endpoint Descriptor") {
                parent = &interface->Children.back();  // belongs to the endpoint before it
            }
            parent->Children.push_back(BytesOnly(d, dLength));
        }
        offset += dLength;
    }
    return true;
}

std::string RenderDescriptor(const DecodedDescriptor &descriptor, int indent) {
    const std::string pad(static_cast<size_t>(indent), ' ');
    std::string out = pad + descriptor.Title + ":\n";
    for (const DescriptorField &field : descriptor.Fields) {
        std::string line = pad + "  " + field.Name;
        line += std::string(field.Name.size() < 19 ? 19 - field.Name.size() : 1, ' ');
        line += std::string(field.Shown.size() < 6 ? 6 - field.Shown.size() : 0, ' ') + field.Shown;
        if (!field.Note.empty()) line += " " + field.Note;
        out += line + "\n";
        for (const std::string &detail : field.Details) out += pad + "    " + detail + "\n";
    }
    if (!descriptor.Bytes.empty()) {
        std::string line = pad + " ";
        for (size_t i = 0; i < descriptor.Bytes.size(); ++i) {
            char hex[4];
            snprintf(hex, sizeof hex, "%02x", descriptor.Bytes[i]);
            line += std::string(" ") + hex;
            if (i % 16 == 15 && i + 1 < descriptor.Bytes.size()) {
                out += line + "\n";
                line = pad + " ";
            }
        }
        out += line + "\n";
    }
    for (const DecodedDescriptor &child : descriptor.Children) out += RenderDescriptor(child, indent + 2);
    return out;
}

bool StringDescriptorText(const uint8_t *bytes, size_t length, std::string *text) {
    text->clear();
    if (length < 2 || bytes[1] != 3 || bytes[0] < 2) return false;
    const size_t end = bytes[0] < length ? bytes[0] : length;
    for (size_t i = 2; i + 1 < end; i += 2) {
        const unsigned c = Le16(bytes + i);
        if (c < 0x80) {
            *text += static_cast<char>(c);
        } else if (c < 0x800) {
            *text += static_cast<char>(0xC0 | c >> 6);
            *text += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c >= 0xD800 && c < 0xE000) {
            *text += '?';
        } else {
            *text += static_cast<char>(0xE0 | c >> 12);
            *text += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *text += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return true;
}

bool ParseInterfaceTable(const uint8_t *bytes, size_t length, InterfaceTable *table,
                         std::string *error) {
    *table = InterfaceTable();
    if (length < 24) {
        *error = "interface information: " + std::to_string(length) + " bytes, fewer than its 24-byte header";
        return false;
    }
    table->Length = Le16(bytes);
    table->InterfaceNumber = bytes[2];
    table->AlternateSetting = bytes[3];
    table->Class = bytes[4];
    table->SubClass = bytes[5];
    table->Protocol = bytes[6];
    const uint32_t pipes = Le32(bytes + 16);  // NumberOfPipes, after the 8-byte handle
    if (table->Length != 24 + 24 * uint64_t{pipes} || table->Length > length) {
        *error = "interface information: Length " + std::to_string(table->Length) + " does not match " +
                 std::to_string(pipes) + " pipes in " + std::to_string(length) + " bytes";
        return false;
    }
    for (uint32_t i = 0; i < pipes; ++i) {
        const uint8_t *p = bytes + 24 + 24 * i;
        PipeEntry entry;
        entry.Index = i;
        entry.MaximumPacketSize = Le16(p);
        entry.EndpointAddress = p[2];
        entry.Interval = p[3];
        entry.PipeType = Le32(p + 4);
        entry.MaximumTransferSize = Le32(p + 16);
        entry.PipeFlags = Le32(p + 20);
        table->Pipes.push_back(entry);
    }
    return true;
}

const char *PipeTypeText(uint32_t pipeType) {
    switch (pipeType) {
        case 0: return "control";
        case 1: return "isochronous";
        case 2: return "bulk";
        case 3: return "interrupt";
    }
    return "unknown";
}

}  // namespace usbcam
