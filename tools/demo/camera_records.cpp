// Reading the driver's answers back into plain values.
#include "camera_records.h"

namespace usbcam {
namespace demo {
namespace {

const uint8_t kDeviceDescriptorType = 0x01;
const uint8_t kConfigurationDescriptorType = 0x02;
const uint8_t kStringDescriptorType = 0x03;
const uint8_t kInterfaceDescriptorType = 0x04;
const uint8_t kEndpointDescriptorType = 0x05;

uint16_t Le16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t Le32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// The 2-byte header every descriptor starts with; its bLength must cover at
// least `minimum` bytes and fit the `length` received.
bool CheckDescriptor(const uint8_t *bytes, size_t length, uint8_t type, size_t minimum,
                     const char *what, std::string *error) {
    if (length < 2 || length < minimum) {
        *error = std::string(what) + ": " + std::to_string(length) + " bytes, too short";
        return false;
    }
    if (bytes[1] != type) {
        *error = std::string(what) + ": descriptor type " + std::to_string(bytes[1]);
        return false;
    }
    if (bytes[0] < minimum || bytes[0] > length) {
        *error = std::string(what) + ": bLength " + std::to_string(bytes[0]) + " does not fit";
        return false;
    }
    return true;
}

void AppendUtf8(uint16_t unit, std::string *text) {
    if (unit >= 0xD800 && unit <= 0xDFFF) {
        text->push_back('?');
    } else if (unit < 0x80) {
        text->push_back(static_cast<char>(unit));
    } else if (unit < 0x800) {
        text->push_back(static_cast<char>(0xC0 | unit >> 6));
        text->push_back(static_cast<char>(0x80 | (unit & 0x3F)));
    } else {
        text->push_back(static_cast<char>(0xE0 | unit >> 12));
        text->push_back(static_cast<char>(0x80 | ((unit >> 6) & 0x3F)));
        text->push_back(static_cast<char>(0x80 | (unit & 0x3F)));
    }
}

}  // namespace

bool ParseDeviceDescriptor(const uint8_t *bytes, size_t length, DeviceDescriptorView *view,
                           std::string *error) {
    if (!CheckDescriptor(bytes, length, kDeviceDescriptorType, 18, "device descriptor", error)) {
        return false;
    }
    view->UsbVersion = Le16(bytes + 2);
    view->DeviceClass = bytes[4];
    view->MaxPacketSize0 = bytes[7];
    view->VendorId = Le16(bytes + 8);
    view->ProductId = Le16(bytes + 10);
    view->DeviceVersion = Le16(bytes + 12);
    view->ManufacturerIndex = bytes[14];
    view->ProductIndex = bytes[15];
    view->SerialNumberIndex = bytes[16];
    view->ConfigurationCount = bytes[17];
    return true;
}

bool ParseConfiguration(const uint8_t *bytes, size_t length, ConfigurationView *view,
                        std::string *error) {
    if (!CheckDescriptor(bytes, length, kConfigurationDescriptorType, 9,
                         "configuration descriptor", error)) {
        return false;
    }
    view->TotalLength = Le16(bytes + 2);
    view->InterfaceCount = bytes[4];
    view->ConfigurationValue = bytes[5];
    view->Attributes = bytes[7];
    view->MaxPower = bytes[8];
    view->Settings.clear();

    const size_t end = view->TotalLength < length ? view->TotalLength : length;
    size_t offset = bytes[0];
    while (offset + 2 <= end) {
        const uint8_t size = bytes[offset];
        const uint8_t type = bytes[offset + 1];
        if (size < 2 || offset + size > end) {
            *error = "configuration descriptor: the descriptor at offset " + std::to_string(offset) +
                     " has bLength " + std::to_string(size);
            return false;
        }
        if (type == kInterfaceDescriptorType && size >= 9) {
            view->Settings.push_back(
                SettingView{bytes[offset + 2], bytes[offset + 3], bytes[offset + 5], {}});
        } else if (type == kEndpointDescriptorType && size >= 7 && !view->Settings.empty()) {
            view->Settings.back().Endpoints.push_back(bytes[offset + 2]);
        }
        offset += size;
    }
    return true;
}

bool ParseStringDescriptor(const uint8_t *bytes, size_t length, std::string *text,
                           std::string *error) {
    if (!CheckDescriptor(bytes, length, kStringDescriptorType, 2, "string descriptor", error)) {
        return false;
    }
    text->clear();
    for (size_t i = 2; i + 1 < bytes[0]; i += 2) AppendUtf8(Le16(bytes + i), text);
    return true;
}

bool ParseLanguageIds(const uint8_t *bytes, size_t length, std::vector<uint16_t> *ids,
                      std::string *error) {
    if (!CheckDescriptor(bytes, length, kStringDescriptorType, 2, "string descriptor 0", error)) {
        return false;
    }
    ids->clear();
    for (size_t i = 2; i + 1 < bytes[0]; i += 2) ids->push_back(Le16(bytes + i));
    return true;
}

bool ParseInterfaceInfo(const uint8_t *bytes, size_t length, InterfaceView *view,
                        std::string *error) {
    if (length < kInterfaceHeaderBytes) {
        *error = "interface information: " + std::to_string(length) + " bytes, too short";
        return false;
    }
    view->Length = Le16(bytes);
    view->InterfaceNumber = bytes[2];
    view->AlternateSetting = bytes[3];
    view->InterfaceClass = bytes[4];
    const uint32_t pipeCount = Le32(bytes + 16);
    const uint64_t expected = kInterfaceHeaderBytes + uint64_t{kPipeEntryBytes} * pipeCount;
    if (view->Length != expected || view->Length > length) {
        *error = "interface information: Length " + std::to_string(view->Length) + " for " +
                 std::to_string(pipeCount) + " pipes in " + std::to_string(length) + " bytes";
        return false;
    }
    view->Pipes.clear();
    for (uint32_t i = 0; i < pipeCount; ++i) {
        const uint8_t *pipe = bytes + kInterfaceHeaderBytes + kPipeEntryBytes * i;
        PipeView entry;
        entry.Index = i;
        entry.MaximumPacketSize = Le16(pipe);
        entry.EndpointAddress = pipe[2];
        entry.Interval = pipe[3];
        entry.PipeType = Le32(pipe + 4);
        entry.MaximumTransferSize = Le32(pipe + 16);
        view->Pipes.push_back(entry);
    }
    return true;
}

const char *PipeTypeName(uint32_t pipeType) {
    switch (pipeType) {
        case 0: return "control";
        case 1: return "isochronous";
        case 2: return "bulk";
        case 3: return "interrupt";
        default: return "unknown";
    }
}

}  // namespace demo
}  // namespace usbcam
