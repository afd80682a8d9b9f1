// A hostile camera for fuzzing: a device script (sim::usb::DeviceScript) that
// takes its answers from a byte string, one decision per answer, and a
// camera profile built from fuzz bytes that the bus accepts.
//
// The script bends what the camera model answers. Each control transfer
// takes one byte (then more, by mode): the model's answer as it is; a stall;
// the answer cut short; the answer with a byte or two overwritten (bLength 0,
// wTotalLength larger or smaller than what is sent, bNumEndpoints without the
// endpoints, another endpoint type, ...); an answer made of script bytes; the
// answer padded to the full wLength. Each bulk or interrupt IN packet takes
// one byte: the model's packet; a packet of script bytes of a chosen length
// (up to the endpoint's packet size; more than the transfer has room for is
// babble); a zero-length packet; the model's packet cut short. Each
// isochronous IN packet takes one byte: the model's packet, an empty one, one
// of a chosen length, or a full one. When the bytes run out the camera
// answers as its model does.
//
// The script also counts its answers: after DisconnectAfter(n) more answers
// it raises a flag that a watcher thread of the harness turns into an unplug,
// so that the camera can vanish in the middle of any request.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "sim/usbbus.h"

namespace fuzzcam {

class HostileScript : public sim::usb::DeviceScript {
public:
    HostileScript(const uint8_t *data, size_t size) : bytes_(data, data + size) {}

    void Control(const uint8_t setup[8], uint8_t *data, uint16_t wLength, bool *stall,
                 uint32_t *actual) override;
    void InPacket(uint8_t endpoint, uint32_t maxPacket, bool *has,
                  std::vector<uint8_t> *packet) override;
    void IsoInPacket(uint8_t endpoint, uint32_t maxBytes, std::vector<uint8_t> *packet) override;

    // Raises the disconnect flag after n more answers (n >= 1).
    void DisconnectAfter(uint32_t n);
    // Waits until the flag is raised or Finish is called; true for the flag.
    // Raising it holds virtual time (sim::HoldTime) for the watcher, which
    // releases it (sim::ReleaseTime) once it has unplugged the camera.
    bool WaitForDisconnect();
    // Ends WaitForDisconnect without a disconnect.
    void Finish();

private:
    // The next script byte; 0 once exhausted (exhausted() says so).
    uint8_t Next();
    bool Exhausted() const { return at_ >= bytes_.size(); }
    void Count();

    std::vector<uint8_t> bytes_;
    size_t at_ = 0;
    uint64_t answers_ = 0;
    uint64_t disconnectAt_ = 0;  // 0: none
    bool disconnectDue_ = false;
    bool finished_ = false;
    std::mutex lock_;
    std::condition_variable changed_;
};

// A camera profile (JSON) from fuzz bytes: one interface with 1 to 4
// alternate settings of 0 to 4 endpoints each, every endpoint of a fuzzed
// direction, type, packet size and interval within what the bus accepts.
// Consumes bytes from *at. *endpointAddresses receives every endpoint address,
// *isochronousAddresses those isochronous in some setting.
std::string ProfileFromBytes(const uint8_t *data, size_t size, size_t *at,
                             std::vector<uint8_t> *endpointAddresses,
                             std::vector<uint8_t> *isochronousAddresses);

}  // namespace fuzzcam
