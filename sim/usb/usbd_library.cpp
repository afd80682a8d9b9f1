// The USBD library (usbd.sys) of the emulated USB stack: interface version,
// configuration-descriptor parsing and select-configuration URB building.
//
// Both parsers trust nothing in the descriptor beyond its first 9 bytes and
// its wTotalLength (the caller's buffer must hold wTotalLength bytes, as the
// platform's contract says): a descriptor with bLength 0, one that runs past
// wTotalLength, or an interface whose bNumEndpoints exceeds the endpoint
// descriptors that follow it makes them return nothing.
#include <atomic>

#include "descriptor_walk.h"
#include "sim/usb.h"
#include "sim/usbbus.h"

namespace {

std::atomic<ULONG> g_usbdiVersion{0x600};

// 'USBD' as the platform's debuggers show it.
constexpr ULONG kUsbdPoolTag = 'U' | ('S' << 8) | ('B' << 16) | ((ULONG)'D' << 24);

bool Matches(LONG wanted, UCHAR actual) {
    return wanted == -1 || (wanted >= 0 && wanted <= 0xFF && (UCHAR)wanted == actual);
}

// Offset of the descriptor at p inside config, when it lies inside the extent.
bool OffsetInside(const uint8_t *config, size_t extent, const void *p, size_t *offset) {
    const uint8_t *b = static_cast<const uint8_t *>(p);
    if (b < config || b >= config + extent) return false;
    *offset = (size_t)(b - config);
    return true;
}

}  // namespace

namespace sim {
namespace usb {

void SetUsbdiVersion(ULONG version) { g_usbdiVersion.store(version); }
ULONG UsbdiVersion() { return g_usbdiVersion.load(); }

}  // namespace usb
}  // namespace sim

extern "C" {

VOID USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION VersionInformation) {
    if (VersionInformation == nullptr) return;
    VersionInformation->USBDI_Version = g_usbdiVersion.load();
    VersionInformation->Supported_USB_Version = 0x200;
}

PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition,
    LONG InterfaceNumber, LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass,
    LONG InterfaceProtocol) {
    using namespace sim::usb;
    const uint8_t *config = reinterpret_cast<const uint8_t *>(ConfigurationDescriptor);
    if (config == nullptr) return nullptr;
    // Only the header is known to be readable before wTotalLength is read.
    size_t extent;
    size_t total = (size_t)config[2] | ((size_t)config[3] << 8);
    if (ConfigurationExtent(config, total, &extent) != WalkError::None) return nullptr;
    size_t offset;
    if (!OffsetInside(config, extent, StartPosition, &offset)) return nullptr;

    // Walk from the start of the descriptor so that StartPosition need not be a
    // descriptor boundary; report matches at or after it.
    size_t at = 0;
    while (at < extent) {
        size_t next;
        if (NextDescriptor(config, extent, at, &next) != WalkError::None) return nullptr;
        if (at >= offset && config[at + 1] == USB_INTERFACE_DESCRIPTOR_TYPE) {
            const USB_INTERFACE_DESCRIPTOR *d =
                reinterpret_cast<const USB_INTERFACE_DESCRIPTOR *>(config + at);
            if (Matches(InterfaceNumber, d->bInterfaceNumber) &&
                Matches(AlternateSetting, d->bAlternateSetting) &&
                Matches(InterfaceClass, d->bInterfaceClass) &&
                Matches(InterfaceSubClass, d->bInterfaceSubClass) &&
                Matches(InterfaceProtocol, d->bInterfaceProtocol))
                return const_cast<PUSB_INTERFACE_DESCRIPTOR>(d);
        }
        at = next;
    }
    return nullptr;
}

PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY InterfaceList,
                                       SIM_SITE_DECL) {
    using namespace sim::usb;
    const uint8_t *config = reinterpret_cast<const uint8_t *>(ConfigurationDescriptor);
    if (config == nullptr || InterfaceList == nullptr) return nullptr;
    size_t total = (size_t)config[2] | ((size_t)config[3] << 8);
    size_t extent;
    if (ConfigurationExtent(config, total, &extent) != WalkError::None) return nullptr;

    // First pass: check every listed interface and size the request.
    size_t size = FIELD_OFFSET(struct _URB_SELECT_CONFIGURATION, Interface);
    size_t interfaces = 0;
    for (PUSBD_INTERFACE_LIST_ENTRY e = InterfaceList; e->InterfaceDescriptor != nullptr; ++e) {
        size_t offset;
        if (!OffsetInside(config, extent, e->InterfaceDescriptor, &offset)) return nullptr;
        size_t next;
        if (NextDescriptor(config, extent, offset, &next) != WalkError::None ||
            config[offset + 1] != USB_INTERFACE_DESCRIPTOR_TYPE)
            return nullptr;
        size_t present;
        if (EndpointsOfInterface(config, extent, offset, &present, nullptr, 0) != WalkError::None)
            return nullptr;
        UCHAR endpoints = e->InterfaceDescriptor->bNumEndpoints;
        if (present < endpoints) return nullptr;
        size += GET_USBD_INTERFACE_SIZE(endpoints);
        if (++interfaces > 255) return nullptr;
    }
    if (interfaces == 0) return nullptr;
    if (size < sizeof(struct _URB_SELECT_CONFIGURATION)) size = sizeof(struct _URB_SELECT_CONFIGURATION);
    if (size > 0xFFFF) return nullptr;

    PURB urb = (PURB)ExAllocatePoolWithTag(NonPagedPoolNx, size, kUsbdPoolTag, SimFile, SimLine);
    if (urb == nullptr) return nullptr;
    memset(urb, 0, size);
    urb->UrbHeader.Length = (USHORT)size;
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;

    // Second pass: lay the interface records out one after the other.
    uint8_t *cursor = reinterpret_cast<uint8_t *>(&urb->UrbSelectConfiguration.Interface);
    for (PUSBD_INTERFACE_LIST_ENTRY e = InterfaceList; e->InterfaceDescriptor != nullptr; ++e) {
        PUSB_INTERFACE_DESCRIPTOR d = e->InterfaceDescriptor;
        PUSBD_INTERFACE_INFORMATION info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(cursor);
        info->Length = (USHORT)GET_USBD_INTERFACE_SIZE(d->bNumEndpoints);
        info->InterfaceNumber = d->bInterfaceNumber;
        info->AlternateSetting = d->bAlternateSetting;
        info->NumberOfPipes = d->bNumEndpoints;
        for (ULONG i = 0; i < d->bNumEndpoints; ++i) {
            info->Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
            info->Pipes[i].PipeFlags = 0;
        }
        e->Interface = info;
        cursor += info->Length;
    }
    return urb;
}

}  // extern "C"
