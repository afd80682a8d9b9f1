// The device side of the emulated bus: a USB 2.0 camera that answers the
// standard requests of USB 2.0 chapter 9, serves
// vendor request 0xA0 from 64 KiB of device memory and other vendor requests
// from a 256-byte register file, answers class requests only where its profile
// defines them, and behaves on its other endpoints as the profile's roles say.
//
// The bus calls it packet by packet, holding the bus lock; the model keeps no
// lock of its own and never calls back into the bus.
#pragma once

#include <stdint.h>

#include <deque>
#include <map>
#include <vector>

#include "device_profile.h"
#include "sim/usbbus.h"

namespace sim {
namespace usb {

struct ControlOutcome {
    bool Stall;
    uint32_t Actual;  // bytes of the data stage moved
};

struct CameraModel {
    explicit CameraModel(const DeviceProfile &profile);

    DeviceProfile Profile;

    // Device state.
    uint8_t Address = 0;
    uint8_t Configuration = 0;
    std::map<uint8_t, uint8_t> AltSetting;  // interface number -> alternate setting
    bool RemoteWakeup = false;
    uint8_t TestMode = 0;
    std::map<uint8_t, bool> Halted;  // endpoint address -> halted
    std::vector<uint8_t> Memory;     // 64 KiB, vendor request 0xA0
    std::vector<uint8_t> Registers;  // 256 bytes, other vendor requests

    // Transfer commands and frames.
    bool CaptureArmed = false;
    // A frame started by command 3: the reference pattern of frame Counter
    // (ReferenceFrameBytes), Size bytes, of which Offset have been sent.
    struct PendingFrame {
        uint32_t Counter;
        size_t Size;
        size_t Offset;
        uint64_t ReadyMicros;
        bool ZeroLengthPacketDue;
    };
    std::deque<PendingFrame> Frames;
    std::deque<std::vector<uint8_t>> Events;
    uint64_t CommandsReceived = 0, CapturesArmed = 0, FramesStarted = 0, FramesDelivered = 0;

    // Isochronous counters.
    uint64_t IsoInPackets = 0, IsoOutPackets = 0, IsoOutBadPackets = 0, IsoOutSequenceGaps = 0;
    bool IsoOutSeen = false;
    uint32_t IsoOutLastSeq = 0;

    // A control transfer on the default pipe. For OUT, data holds wLength bytes;
    // for IN, data has room for wLength bytes and receives the answer.
    ControlOutcome Control(const uint8_t setup[8], uint8_t *data, uint64_t nowMicros);

    // Bulk and interrupt endpoints, one packet at a time.
    void OutPacket(uint8_t endpoint, const uint8_t *data, uint32_t length, uint64_t nowMicros);
    // The next IN packet, or false when the endpoint has nothing to send (NAK).
    bool InPacket(uint8_t endpoint, std::vector<uint8_t> *packet, uint64_t nowMicros);

    // Isochronous packets; seq is the packet's bus microframe number.
    std::vector<uint8_t> IsoInPacket(uint8_t endpoint, uint32_t seq);
    void IsoOutPacket(uint8_t endpoint, const uint8_t *data, uint32_t length);

    // Bus reset (port reset): address 0, halts cleared. The configuration is
    // restored by the bus afterwards, as the hub driver does.
    void BusReset();

    const ConfigurationInfo *ActiveConfiguration() const;  // nullptr while unconfigured
    const EndpointInfo *ActiveEndpoint(uint8_t address) const;
    CameraState State() const;

private:
    bool StandardRequest(const uint8_t setup[8], uint8_t *data, uint32_t *actual);
    bool VendorRequest(const uint8_t setup[8], uint8_t *data, uint32_t *actual);
    bool FixedAnswer(const std::vector<FixedRequest> &table, const uint8_t setup[8], uint8_t *data,
                     uint32_t *actual, bool *found);
    void PostEvent(uint8_t type, uint32_t counter);
    std::vector<uint8_t> OtherSpeedConfiguration(uint8_t index) const;
};

// Bytes [offset, offset + n) of ReferenceFrame(counter, width, height), cut at
// the frame's end, written to out.
void ReferenceFrameBytes(uint32_t counter, uint32_t width, uint32_t height, size_t offset, uint8_t *out,
                         size_t n);

}  // namespace usb
}  // namespace sim
