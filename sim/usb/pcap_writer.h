// Writes bus traffic as a pcap file in the Linux usbmon "mmapped" format
// (link type 220): per transfer a submission event 'S' and a completion event
// 'C', each a 64-byte usbmon header followed by isochronous descriptors and
// data. Wireshark and tshark dissect it as USB.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <mutex>
#include <string>
#include <vector>

#include "sim/usbbus.h"

namespace sim {
namespace usb {

struct PcapWriter {
    // Opens path and writes the file header; false with *error on failure.
    bool Open(const std::string &path, std::string *error);
    void Close();
    bool IsOpen();

    // One event. record supplies the endpoint, type, setup, statuses and iso
    // packets; data is the payload carried by this event (OUT data on 'S', IN
    // data on 'C'); length is the URB length field (requested on 'S', actual on
    // 'C'); micros the event's bus time.
    void Event(char kind, const WireRecord &record, uint8_t deviceAddress, const uint8_t *data,
               uint32_t dataLength, uint32_t length, uint64_t micros);

private:
    std::mutex lock_;
    FILE *file_ = nullptr;
};

// The errno-style status usbmon shows for a USBD status.
int32_t UsbmonStatus(USBD_STATUS status);

}  // namespace usb
}  // namespace sim
