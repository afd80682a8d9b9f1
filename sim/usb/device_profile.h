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
    uint8_t Attributes;   // bmAttributes; low two bits are the transfer type
    uint16_t MaxPacket;   // wMaxPacketSize bits 0..10
    uint8_t Interval;
    EndpointRole Role;
    uint8_t Type() const { return Attributes & 3; }
    bool In() const { return (Address & 0x80) != 0; }
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

struct DeviceProfile {
    std::string Name;
    bool HighSpeed = true;
    std::vector<uint8_t> DeviceDescriptor;         // 18 bytes
    std::vector<uint8_t> ConfigurationDescriptor;  // wTotalLength bytes
    std::vector<uint8_t> QualifierDescriptor;      // 10 bytes, or empty
    uint16_t LanguageId = 0x0409;
    std::map<uint8_t, std::vector<uint8_t>> Strings;  // index -> descriptor bytes; 0 = languages
    std::map<uint8_t, EndpointRole> Roles;         // by endpoint address; others default
    std::vector<InterfaceSetting> Settings;        // derived from the configuration
    uint8_t ConfigurationValue = 1;
    // Frame pipe.
    uint32_t FrameWidth = 640;
    uint32_t FrameHeight = 480;
    bool FrameZeroLengthPacket = true;  // end a frame of whole packets with a ZLP
    uint32_t FrameDelayMs = 0;          // from command 3 to the first byte
    // Isochronous IN packets: bytes per packet (0: the endpoint's wMaxPacketSize).
    uint32_t IsoPacketSize = 0;
    std::vector<FixedRequest> ClassRequests;
    std::vector<FixedRequest> VendorRequests;

    const InterfaceSetting *FindSetting(uint8_t interfaceNumber, uint8_t alternate) const;
};

// The built-in reference camera.
DeviceProfile ReferenceProfile();

// Builds a profile from JSON text. On failure returns false and *error names
// the offending field ("configuration.interfaces[1].endpoints[0].type: ...").
bool ParseProfileJson(const std::string &text, DeviceProfile *profile, std::string *error);

// Derives Settings and ConfigurationValue from ConfigurationDescriptor and
// Roles (an endpoint without a role: OUT Sink, bulk or interrupt IN Silent,
// isochronous IsoSource or IsoSink); the error text names the descriptor offset.
bool DeriveSettings(DeviceProfile *profile, std::string *error);

}  // namespace usb
}  // namespace sim
