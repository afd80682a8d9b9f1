#include "hostile_device.h"

#include <string.h>

#include <algorithm>
#include <set>

#include "sim/kernel.h"

namespace fuzzcam {

uint8_t HostileScript::Next() { return Exhausted() ? 0 : bytes_[at_++]; }

void HostileScript::Count() {
    ++answers_;
    if (disconnectAt_ != 0 && answers_ >= disconnectAt_ && !disconnectDue_ && !finished_) {
        disconnectDue_ = true;
        // Under virtual time nothing moves until the watcher has unplugged
        // (it releases this once done), as if it acted at once.
        sim::HoldTime();
        changed_.notify_all();
    }
}

void HostileScript::Control(const uint8_t setup[8], uint8_t *data, uint16_t wLength, bool *stall,
                            uint32_t *actual) {
    (void)setup;
    std::lock_guard<std::mutex> hold(lock_);
    Count();
    if (Exhausted()) return;
    switch (Next() % 8) {
        case 0:
        case 1:
            break;  // the model's answer
        case 2:
            *stall = true;
            break;
        case 3:  // cut short
            *actual = std::min<uint32_t>(*actual, Next());
            break;
        case 4:  // one or two bytes of the answer overwritten
            if (data != nullptr && *actual != 0) {
                const int edits = 1 + (Next() & 1);
                for (int i = 0; i < edits; ++i) {
                    const uint32_t offset = Next() % *actual;
                    data[offset] = Next();
                }
            }
            break;
        case 5:  // an answer of script bytes
            if (data != nullptr) {
                const uint32_t n = std::min<uint32_t>(wLength, (uint32_t)Next() | ((uint32_t)Next() << 8));
                for (uint32_t i = 0; i < n; ++i) data[i] = Next();
                *actual = n;
                *stall = false;
            }
            break;
        case 6:  // padded to the whole wLength with what the buffer held
            if (data != nullptr && !*stall) *actual = wLength;
            break;
        default:  // a stalled request answered after all, with nothing
            *stall = false;
            *actual = 0;
            break;
    }
}

void HostileScript::InPacket(uint8_t endpoint, uint32_t maxPacket, bool *has,
                             std::vector<uint8_t> *packet) {
    (void)endpoint;
    std::lock_guard<std::mutex> hold(lock_);
    Count();
    if (Exhausted()) return;
    switch (Next() % 4) {
        case 0:
            break;
        case 1: {  // script bytes, up to the packet size
            const uint32_t n = std::min<uint32_t>(maxPacket, (uint32_t)Next() * 4);
            packet->resize(n);
            for (uint32_t i = 0; i < n; ++i) (*packet)[i] = Next();
            *has = true;
            break;
        }
        case 2:  // a zero-length packet
            packet->clear();
            *has = true;
            break;
        default:  // a full packet
            packet->resize(maxPacket);
            *has = true;
            break;
    }
}

void HostileScript::IsoInPacket(uint8_t endpoint, uint32_t maxBytes, std::vector<uint8_t> *packet) {
    (void)endpoint;
    std::lock_guard<std::mutex> hold(lock_);
    Count();
    if (Exhausted()) return;
    switch (Next() % 4) {
        case 0:
            break;
        case 1:
            packet->clear();
            break;
        case 2:
            packet->resize(std::min<uint32_t>(maxBytes, (uint32_t)Next() * 16));
            break;
        default:
            packet->resize(maxBytes);
            break;
    }
}

void HostileScript::DisconnectAfter(uint32_t n) {
    std::lock_guard<std::mutex> hold(lock_);
    disconnectAt_ = answers_ + std::max<uint32_t>(n, 1);
}

bool HostileScript::WaitForDisconnect() {
    std::unique_lock<std::mutex> hold(lock_);
    changed_.wait(hold, [this] { return disconnectDue_ || finished_; });
    return disconnectDue_;
}

void HostileScript::Finish() {
    std::lock_guard<std::mutex> hold(lock_);
    finished_ = true;
    changed_.notify_all();
}

namespace {

std::string Hex(unsigned v) {
    char text[16];
    snprintf(text, sizeof text, "\"0x%X\"", v);
    return text;
}

}  // namespace

std::string ProfileFromBytes(const uint8_t *data, size_t size, size_t *at,
                             std::vector<uint8_t> *endpointAddresses,
                             std::vector<uint8_t> *isochronousAddresses) {
    auto next = [&]() -> uint8_t { return *at < size ? data[(*at)++] : 0; };
    static const uint16_t kBulk[4] = {512, 64, 8, 511};
    static const uint16_t kInterrupt[4] = {8, 64, 1024, 0x1400};
    static const uint16_t kIso[4] = {0, 512, 1024, 0x1400};
    static const char *kTypes[3] = {"bulk", "interrupt", "isochronous"};
    std::set<uint8_t> addresses, isochronous;
    const int settings = 1 + (next() & 3);
    std::string interfaces;
    for (int s = 0; s < settings; ++s) {
        const int endpoints = next() % 5;
        std::string list;
        for (int e = 0; e < endpoints; ++e) {
            const uint8_t a = next(), b = next();
            const int type = (a & 3) == 3 ? 2 : (a & 3);
            const uint8_t address = (uint8_t)((a & 0x80) | (1 + e + ((a >> 4) & 1) * 4));
            const uint16_t packet =
                type == 0 ? kBulk[b & 3] : type == 1 ? kInterrupt[b & 3]
                                                     : kIso[b & 3];
            const int interval = type == 0 ? 0 : 1 + ((b >> 2) & 3);
            addresses.insert(address);
            if (type == 2) isochronous.insert(address);
            if (!list.empty()) list += ", ";
            list += "{ \"bEndpointAddress\": " + Hex(address) + ", \"type\": \"" + kTypes[type] +
                    "\", \"wMaxPacketSize\": " + std::to_string(packet) +
                    ", \"bInterval\": " + std::to_string(interval) + " }";
        }
        if (!interfaces.empty()) interfaces += ",\n";
        interfaces += "{ \"bInterfaceNumber\": 0, \"bAlternateSetting\": " + std::to_string(s) +
                      ", \"bInterfaceClass\": \"0xFF\", \"endpoints\": [" + list + "] }";
    }
    endpointAddresses->assign(addresses.begin(), addresses.end());
    isochronousAddresses->assign(isochronous.begin(), isochronous.end());
    return std::string(
               "{ \"name\": \"hostile camera\", \"speed\": \"high\",\n"
               "  \"device\": { \"bcdUSB\": \"0x0200\", \"bDeviceClass\": \"0xFF\", "
               "\"bMaxPacketSize0\": 64, \"idVendor\": \"0x1209\", \"idProduct\": \"0x0001\", "
               "\"bcdDevice\": \"0x0100\", \"manufacturer\": \"m\", \"product\": \"p\", "
               "\"serialNumber\": \"s\" },\n"
               "  \"configuration\": { \"bConfigurationValue\": 1, \"bmAttributes\": \"0x80\", "
               "\"bMaxPower\": 100, \"interfaces\": [\n") +
           interfaces + "] } }";
}

}  // namespace fuzzcam
