#include "pcap_writer.h"

#include <errno.h>
#include <string.h>

namespace sim {
namespace usb {

namespace {

constexpr uint32_t kLinkTypeUsbLinuxMmapped = 220;
constexpr uint32_t kSnapLength = 0x7FFFFFFF;

// Linux transfer types, not the USB descriptor's numbering.
uint8_t LinuxTransferType(TransferType t) {
    switch (t) {
        case TransferType::Isochronous: return 0;
        case TransferType::Interrupt: return 1;
        case TransferType::Control: return 2;
        case TransferType::Bulk: return 3;
    }
    return 3;
}

void Put16(std::vector<uint8_t> &b, size_t at, uint16_t v) { memcpy(&b[at], &v, 2); }
void Put32(std::vector<uint8_t> &b, size_t at, uint32_t v) { memcpy(&b[at], &v, 4); }
void Put64(std::vector<uint8_t> &b, size_t at, uint64_t v) { memcpy(&b[at], &v, 8); }

}  // namespace

int32_t UsbmonStatus(USBD_STATUS status) {
    if (USBD_SUCCESS(status)) return 0;
    switch (status) {
        case USBD_STATUS_STALL_PID: return -EPIPE;
        case USBD_STATUS_CANCELED: return -ENOENT;
        case USBD_STATUS_DEVICE_GONE: return -ENODEV;
        case USBD_STATUS_DATA_OVERRUN:
        case USBD_STATUS_BABBLE_DETECTED: return -EOVERFLOW;
        case USBD_STATUS_DEV_NOT_RESPONDING:
        case USBD_STATUS_TIMEOUT: return -ETIMEDOUT;
        case USBD_STATUS_INVALID_PARAMETER:
        case USBD_STATUS_INVALID_PIPE_HANDLE:
        case USBD_STATUS_BAD_START_FRAME: return -EINVAL;
        case USBD_STATUS_ISO_NOT_ACCESSED_LATE:
        case USBD_STATUS_ISO_NA_LATE_USBPORT: return -EXDEV;
        default: return -EPROTO;
    }
}

bool PcapWriter::Open(const std::string &path, std::string *error) {
    std::lock_guard<std::mutex> g(lock_);
    if (file_ != nullptr) {
        *error = "a capture is already running";
        return false;
    }
    FILE *f = fopen(path.c_str(), "wb");
    if (f == nullptr) {
        *error = "cannot create " + path + ": " + strerror(errno);
        return false;
    }
    uint32_t magic = 0xA1B2C3D4, snap = kSnapLength, link = kLinkTypeUsbLinuxMmapped, zero = 0;
    uint16_t major = 2, minor = 4;
    fwrite(&magic, 4, 1, f);
    fwrite(&major, 2, 1, f);
    fwrite(&minor, 2, 1, f);
    fwrite(&zero, 4, 1, f);
    fwrite(&zero, 4, 1, f);
    fwrite(&snap, 4, 1, f);
    fwrite(&link, 4, 1, f);
    file_ = f;
    return true;
}

void PcapWriter::Close() {
    std::lock_guard<std::mutex> g(lock_);
    if (file_ != nullptr) fclose(file_);
    file_ = nullptr;
}

bool PcapWriter::IsOpen() {
    std::lock_guard<std::mutex> g(lock_);
    return file_ != nullptr;
}

void PcapWriter::Event(char kind, const WireRecord &r, uint8_t deviceAddress, const uint8_t *data,
                       uint32_t dataLength, uint32_t length, uint64_t micros) {
    const bool iso = r.Type == TransferType::Isochronous;
    const size_t descriptors = iso ? r.IsoPackets.size() : 0;
    std::vector<uint8_t> b(64 + 16 * descriptors + dataLength, 0);
    Put64(b, 0, r.Sequence);
    b[8] = (uint8_t)kind;
    b[9] = LinuxTransferType(r.Type);
    b[10] = (uint8_t)((r.Endpoint & 0x0F) | (r.In ? 0x80 : 0));
    b[11] = deviceAddress;
    Put16(b, 12, 1);  // bus number
    const bool setup = kind == 'S' && r.HasSetup;
    b[14] = setup ? 0 : '-';
    b[15] = dataLength != 0 ? 0 : (r.In ? '<' : '>');
    Put64(b, 16, micros / 1000000);
    Put32(b, 24, (uint32_t)(micros % 1000000));
    Put32(b, 28, (uint32_t)(kind == 'S' ? -EINPROGRESS : UsbmonStatus(r.Status)));
    Put32(b, 32, length);
    Put32(b, 36, (uint32_t)(16 * descriptors + dataLength));
    if (setup) {
        memcpy(&b[40], r.Setup, 8);
    } else if (iso) {
        uint32_t errors = 0;
        for (const auto &p : r.IsoPackets) errors += USBD_SUCCESS(p.Status) ? 0 : 1;
        Put32(b, 40, kind == 'C' ? errors : 0);
        Put32(b, 44, (uint32_t)descriptors);
    }
    Put32(b, 48, iso || r.Type == TransferType::Interrupt ? 1 : 0);  // interval
    Put32(b, 52, r.StartFrame);
    Put32(b, 56, 0);
    Put32(b, 60, (uint32_t)descriptors);
    for (size_t i = 0; i < descriptors; ++i) {
        const WireIsoPacket &p = r.IsoPackets[i];
        Put32(b, 64 + 16 * i, (uint32_t)(kind == 'S' ? -EXDEV : UsbmonStatus(p.Status)));
        Put32(b, 64 + 16 * i + 4, p.Offset);
        Put32(b, 64 + 16 * i + 8, p.Length);
    }
    if (dataLength != 0) memcpy(&b[64 + 16 * descriptors], data, dataLength);

    std::lock_guard<std::mutex> g(lock_);
    if (file_ == nullptr) return;
    uint32_t header[4] = {(uint32_t)(micros / 1000000), (uint32_t)(micros % 1000000),
                          (uint32_t)b.size(), (uint32_t)b.size()};
    fwrite(header, sizeof header, 1, file_);
    fwrite(b.data(), 1, b.size(), file_);
}

}  // namespace usb
}  // namespace sim
