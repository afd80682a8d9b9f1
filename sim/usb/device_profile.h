// A camera's profile: its descriptors as bytes, the behaviour of each endpoint,
// its frame format and its fixed answers to class and vendor requests.
//
// Profiles come from the built-in reference camera or from JSON (format in
// sim/usb/README.md). Whatever the source, the descriptors are kept as the
// bytes the device returns, so a dump of a real device replays unchanged; the
// interface and endpoint tables are derived from those bytes by a bounded walk.
#pragma once

#include <stdint.h>

#include <map>
#include <string>
#include <vector>

namespace sim {
namespace usb {

// What an endpoint does when the host talks to it.
enum class EndpointRole {
    Sink,       // OUT: accepts and discards
    Commands,   // OUT: transfer commands (2 arms a capture, 3 starts it)
    Silent,     // IN: never has data (transfers wait until cancelled)
    Status,     // IN: a 16-byte status record on every read
    Frames,     // IN: the captured frame, packet by packet
    Events,     // IN: 8-byte event records, when there are any
    IsoSource,  // isochronous IN: a sequence-numbered pattern packet per microframe
    IsoSink,    // isochronous OUT: checks each packet's sequence number and pattern
};

const char *EndpointRoleName(EndpointRole role);

struct EndpointInfo {
    uint8_t Address;
    uint8_t Attributes;  // bmAttributes; low two bits are the transfer type
    uint16_t MaxPacket;  // wMaxPacketSize bits 0..10 (0: a zero-bandwidth endpoint)
    uint8_t Interval;
    EndpointRole Role;
    uint16_t RawMaxPacket;  // wMaxPacketSize as in the descriptor, bits 11..12 included
    uint8_t Type() const { return Attributes & 3; }
    bool In() const { return (Address & 0x80) != 0; }
    // Transactions per microframe: 1 + bits 11..12 (2 or 3 for a high-speed,
    // high-bandwidth periodic endpoint).
    uint32_t Transactions() const { return 1u + ((RawMaxPacket >> 11) & 3u); }
    // Payload per (micro)frame: what the pipe information reports as
    // MaximumPacketSize, and what the camera sends in one isochronous packet.
    uint32_t PayloadPerInterval() const { return (uint32_t)MaxPacket * Transactions(); }
};

struct InterfaceSetting {
    uint8_t InterfaceNumber;
    uint8_t AlternateSetting;
    uint8_t Class;
    uint8_t SubClass;
    uint8_t Protocol;
    std::vector<EndpointInfo> Endpoints;  // in descriptor order
};

// A fixed answer to a class or vendor request. Value and Index of -1 match any.
struct FixedRequest {
    uint8_t RequestType;  // bmRequestType, direction bit included
    uint8_t Request;
    int32_t Value;
    int32_t Index;
    bool Stall;
    std::vector<uint8_t> Response;  // IN: the data (cut to wLength)
};

// A function of a composite device: an interface association, or one
// interface that no association covers. The composite parent gives each
// function a child PDO of its own.
struct FunctionInfo {
    uint8_t FirstInterface;
    uint8_t InterfaceCount;  // consecutive interface numbers from FirstInterface
    uint8_t Class;           // bFunctionClass, or the interface's class
    bool Association;        // described by an interface association descriptor
    bool Contains(uint8_t interfaceNumber) const {
        return interfaceNumber >= FirstInterface && interfaceNumber - FirstInterface < InterfaceCount;
    }
};

// One configuration: its descriptor bytes and what is derived from them.
struct ConfigurationInfo {
    std::vector<uint8_t> Descriptor;         // wTotalLength bytes
    uint8_t Value = 1;                       // bConfigurationValue
    uint8_t InterfaceCount = 0;              // bNumInterfaces
    std::vector<InterfaceSetting> Settings;  // in descriptor order
    std::vector<FunctionInfo> Functions;     // in order of their first interface

    const InterfaceSetting *FindSetting(uint8_t interfaceNumber, uint8_t alternate) const;
    bool HasInterface(uint8_t interfaceNumber) const;
    // The descriptor a composite parent gives the child of function f: the
    // header with bNumInterfaces and wTotalLength of the function, then every
    // descriptor of the function's interfaces (all alternate settings, class
    // descriptors and endpoints) in their order; association descriptors and
    // other interfaces are left out, interface numbers stay as they are.
    std::vector<uint8_t> FunctionDescriptor(const FunctionInfo &f) const;
};

struct DeviceProfile {
    std::string Name;
    bool HighSpeed = true;
    std::vector<uint8_t> DeviceDescriptor;          // 18 bytes
    std::vector<ConfigurationInfo> Configurations;  // at least one; index = descriptor index
    std::vector<uint8_t> QualifierDescriptor;       // 10 bytes, or empty
    // Languages in the order string descriptor 0 lists them; Strings holds
    // the first language's strings (and string 0), OtherStrings the others'.
    std::vector<uint16_t> LanguageIds{0x0409};
    std::map<uint8_t, std::vector<uint8_t>> Strings;                           // index -> descriptor bytes; 0 = languages
    std::map<uint16_t, std::map<uint8_t, std::vector<uint8_t>>> OtherStrings;  // language -> index -> bytes
    std::map<uint8_t, EndpointRole> Roles;                                     // by endpoint address; others default
    // Frame pipe.
    uint32_t FrameWidth = 640;
    uint32_t FrameHeight = 480;
    bool FrameZeroLengthPacket = true;  // end a frame of whole packets with a ZLP
    uint32_t FrameDelayMs = 0;          // from command 3 to the first byte
    // Isochronous IN packets: bytes per packet (0: the endpoint's wMaxPacketSize).
    uint32_t IsoPacketSize = 0;
    std::vector<FixedRequest> ClassRequests;
    std::vector<FixedRequest> VendorRequests;

    const ConfigurationInfo &First() const { return Configurations.front(); }
    const ConfigurationInfo *ConfigurationByValue(uint8_t value) const;
    // The string descriptor a GET_DESCRIPTOR(STRING, index, language) answers,
    // or nullptr (the device stalls): string 0 whatever the language; others
    // only in a listed language, falling back to the first language's text.
    const std::vector<uint8_t> *StringFor(uint8_t index, uint16_t language) const;
    // Plugged through a composite parent, as the platform does: one
    // configuration with several interfaces, and a device class of 0 (defined
    // by the interfaces) or the interface-association triple EF/02/01.
    bool Composite() const;
};

// The built-in reference camera.
DeviceProfile ReferenceProfile();

// Builds a profile from JSON text. On failure returns false and *error names
// the offending field ("configuration.interfaces[1].endpoints[0].type: ...").
bool ParseProfileJson(const std::string &text, DeviceProfile *profile, std::string *error);

// Derives Value, InterfaceCount, Settings and Functions of a configuration
// from its Descriptor and the profile's Roles (an endpoint without a role: OUT
// Sink, bulk or interrupt IN Silent, isochronous IsoSource or IsoSink); the
// error text names the descriptor offset.
bool DeriveSettings(const DeviceProfile &profile, ConfigurationInfo *configuration, std::string *error);

}  // namespace usb
}  // namespace sim
