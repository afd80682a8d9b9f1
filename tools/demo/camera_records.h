// The bytes the driver hands a client, read back as a client program reads
// them: the device, configuration and string descriptors, and the interface
// information with its pipe table (the x64 layout of the platform's
// USBD_INTERFACE_INFORMATION: a 24-byte header, then 24 bytes per pipe).
//
// Every parser checks lengths before it reads a field and never reads past
// the `length` bytes it is given; on a malformed record it returns false and
// says why in *error.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace usbcam {
namespace demo {

struct DeviceDescriptorView {
    uint16_t UsbVersion;  // bcdUSB
    uint8_t DeviceClass;
    uint8_t MaxPacketSize0;
    uint16_t VendorId;
    uint16_t ProductId;
    uint16_t DeviceVersion;  // bcdDevice
    uint8_t ManufacturerIndex;
    uint8_t ProductIndex;
    uint8_t SerialNumberIndex;
    uint8_t ConfigurationCount;
};

bool ParseDeviceDescriptor(const uint8_t *bytes, size_t length, DeviceDescriptorView *view,
                           std::string *error);

// One interface descriptor of a configuration with the endpoint addresses
// that follow it.
struct SettingView {
    uint8_t InterfaceNumber;
    uint8_t AlternateSetting;
    uint8_t InterfaceClass;
    std::vector<uint8_t> Endpoints;
};

struct ConfigurationView {
    uint16_t TotalLength;
    uint8_t InterfaceCount;
    uint8_t ConfigurationValue;
    uint8_t Attributes;
    uint8_t MaxPower;  // in 2 mA units
    std::vector<SettingView> Settings;
};

// Walks the configuration descriptor and what follows it (bounded by both
// wTotalLength and length; a descriptor with bLength 0 or running past the
// end is an error).
bool ParseConfiguration(const uint8_t *bytes, size_t length, ConfigurationView *view,
                        std::string *error);

// The text of a string descriptor (UTF-16LE after the 2-byte header) as
// UTF-8; characters outside the basic plane read '?'.
bool ParseStringDescriptor(const uint8_t *bytes, size_t length, std::string *text,
                           std::string *error);

// The language IDs of string descriptor 0.
bool ParseLanguageIds(const uint8_t *bytes, size_t length, std::vector<uint16_t> *ids,
                      std::string *error);

struct PipeView {
    uint32_t Index;  // the PipeIndex a client names the pipe by
    uint8_t EndpointAddress;
    uint8_t Interval;
    uint32_t PipeType;  // 0 control, 1 isochronous, 2 bulk, 3 interrupt
    uint16_t MaximumPacketSize;
    uint32_t MaximumTransferSize;
};

struct InterfaceView {
    uint16_t Length;
    uint8_t InterfaceNumber;
    uint8_t AlternateSetting;
    uint8_t InterfaceClass;
    std::vector<PipeView> Pipes;
};

// Bytes of the interface information header and of one pipe entry.
constexpr size_t kInterfaceHeaderBytes = 24;
constexpr size_t kPipeEntryBytes = 24;

// Checks that Length and NumberOfPipes agree with each other and with the
// byte count received.
bool ParseInterfaceInfo(const uint8_t *bytes, size_t length, InterfaceView *view,
                        std::string *error);

const char *PipeTypeName(uint32_t pipeType);

}  // namespace demo
}  // namespace usbcam
