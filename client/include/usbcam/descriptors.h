// USB descriptors decoded field by field, for people (an indented listing)
// and for scripts (the same tree, which usbcam turns into JSON).
//
// Every decoder checks lengths before it reads a field and never reads past
// the bytes it is given; a malformed descriptor ends the walk with an error
// that names it.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

namespace usbcam {

struct DescriptorField {
    std::string Name;  // "bcdUSB", "wMaxPacketSize"
    uint32_t Value = 0;
    std::string Shown;                 // the value as printed: "2.00", "0x1209", "64"
    std::string Note;                  // what it means: "EP 1 IN", "Vendor Specific Class", a string
    std::vector<std::string> Details;  // lines under the field ("Transfer Type  Bulk")
};

struct DecodedDescriptor {
    std::string Title;  // "Device Descriptor", "Endpoint Descriptor"
    std::vector<DescriptorField> Fields;
    std::vector<uint8_t> Bytes;  // the descriptor's bytes when it is shown only as bytes
    std::vector<DecodedDescriptor> Children;

    // The field's value, or `otherwise` when there is no such field.
    uint32_t FieldValue(const std::string &name, uint32_t otherwise = 0) const;
};

// Looks up the text of string descriptor `index` (never called with 0);
// returns "" when there is none.
using StringLookup = std::function<std::string(uint8_t index)>;

bool DecodeDeviceDescriptor(const uint8_t *bytes, size_t length, const StringLookup &strings,
                            DecodedDescriptor *out, std::string *error);

// A configuration descriptor with everything that follows it, bounded by both
// wTotalLength and length: interfaces (with interface associations) hold
// their endpoints and the class-specific descriptors after them.
bool DecodeConfiguration(const uint8_t *bytes, size_t length, const StringLookup &strings,
                         DecodedDescriptor *out, std::string *error);

// The listing: a title line, then "  name  value note" per field, children
// indented by two more blanks.
std::string RenderDescriptor(const DecodedDescriptor &descriptor, int indent = 0);

// "Vendor Specific Class", "Video", ... for a class code (device or interface).
const char *UsbClassName(uint8_t classCode);

// wMaxPacketSize as a high-speed endpoint means it: "3x 1024 bytes".
std::string PacketSizeText(uint16_t maxPacketSize);

// The text of a string descriptor (UTF-16LE after its 2-byte header) as
// UTF-8. Returns false on a malformed descriptor.
bool StringDescriptorText(const uint8_t *bytes, size_t length, std::string *text);

// Pipe table of the interface information the driver returns (the platform's
// x64 USBD_INTERFACE_INFORMATION: a 24-byte header, then 24 bytes a pipe).
struct PipeEntry {
    uint32_t Index = 0;
    uint16_t MaximumPacketSize = 0;
    uint8_t EndpointAddress = 0;
    uint8_t Interval = 0;
    uint32_t PipeType = 0;  // 0 control, 1 isochronous, 2 bulk, 3 interrupt
    uint32_t MaximumTransferSize = 0;
    uint32_t PipeFlags = 0;
};

struct InterfaceTable {
    uint16_t Length = 0;
    uint8_t InterfaceNumber = 0;
    uint8_t AlternateSetting = 0;
    uint8_t Class = 0;
    uint8_t SubClass = 0;
    uint8_t Protocol = 0;
    std::vector<PipeEntry> Pipes;
};

// Checks that Length and NumberOfPipes agree with each other and with the
// byte count.
bool ParseInterfaceTable(const uint8_t *bytes, size_t length, InterfaceTable *table,
                         std::string *error);

const char *PipeTypeText(uint32_t pipeType);  // "bulk", "isochronous", ...

}  // namespace usbcam
