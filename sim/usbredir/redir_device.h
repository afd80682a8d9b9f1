// The camera as a USB device on the far end of a usbredir connection: the
// camera model the emulated bus drives (sim/usb/camera_model.*), served to a
// usbredir host (QEMU's usb-redir device, which puts it on a guest's host
// controller) over a stream socket.
//
// The device plays the part usbredir calls the "USB host" side (the side that
// owns the real device): it answers the peer's hello with its interface and
// endpoint information and a device-connect at the profile's speed, answers
// control packets through the model, serves bulk IN requests as the model
// produces packets, takes bulk, interrupt and isochronous OUT data, and pushes
// interrupt and isochronous IN data on its own clock once the peer has
// started the stream. Configuration and interface selections arrive as
// messages of their own and are answered with a status and fresh endpoint
// information.
//
// Single-threaded: ReadInput, Tick and the operator calls must come from one
// thread (Run does all of it). Time is whatever the caller passes to Tick
// (microseconds), so tests can drive it by hand.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "camera_model.h"
#include "device_profile.h"

struct usbredirparser;

namespace sim {
namespace redir {

struct DeviceOptions {
    // Disconnect (device_disconnect) once this many isochronous IN packets
    // have been pushed, or once this many bytes went out on bulk IN endpoints
    // (0: never). For tests of removal in the middle of a stream or a read.
    uint64_t UnplugAfterIsoPackets = 0;
    uint64_t UnplugAfterBulkInBytes = 0;
    // Isochronous IN data waiting in the output buffer above this is not
    // produced (the packets count as dropped at the device): a peer that
    // reads slower than the stream must not make the buffer grow for ever.
    size_t MaxBufferedOutput = 8u << 20;
    // Log every message to standard error.
    bool Verbose = false;
};

struct DeviceStats {
    uint64_t ControlRequests = 0, ControlStalls = 0;
    uint64_t BulkInRequests = 0, BulkInBytes = 0, BulkOutRequests = 0, BulkOutBytes = 0;
    uint64_t BulkStalls = 0, Cancelled = 0, Resets = 0;
    uint64_t InterruptInPackets = 0, InterruptOutPackets = 0;
    uint64_t IsoInPackets = 0, IsoInBytes = 0, IsoInDropped = 0, IsoOutPackets = 0;
    uint64_t SetConfigurations = 0, SetAltSettings = 0;
    uint64_t Connects = 0, Disconnects = 0;
};

class RedirDevice {
public:
    // fd: a connected stream socket (non-blocking or not); the device does
    // not close it.
    RedirDevice(const usb::DeviceProfile &profile, int fd, const DeviceOptions &options = DeviceOptions());
    ~RedirDevice();
    RedirDevice(const RedirDevice &) = delete;
    RedirDevice &operator=(const RedirDevice &) = delete;

    // Reads and handles what the peer sent (as much as is there without
    // blocking when fd is non-blocking). False once the peer has closed the
    // connection or the stream cannot be parsed.
    bool ReadInput();
    // Moves the device's clock to nowMicros: serves waiting bulk IN requests,
    // pushes interrupt and isochronous IN packets that fell due, checks the
    // unplug conditions.
    void Tick(uint64_t nowMicros);
    // Writes buffered output; false on a write error. WantsWrite tells
    // whether output is waiting.
    bool Flush();
    bool WantsWrite() const;

    // Operator actions.
    void Unplug();  // device_disconnect; requests in flight end cancelled
    void Plug();    // connects again (interface and endpoint info, connect)
    void SetHalt(uint8_t endpoint, bool halted);

    // Runs the device until the peer closes, *stop becomes true, or (when
    // commands is not null) the operator asks to quit. commandFd (-1 for
    // none) delivers operator lines: "unplug", "plug", "stall EP",
    // "unstall EP", "stats", "quit". Returns 0 when the peer closed or quit
    // was asked, 1 on an error.
    int Run(volatile int *stop, int commandFd);

    bool Connected() const { return connected_; }
    bool HelloSeen() const { return helloSeen_; }
    const DeviceStats &Stats() const { return stats_; }
    const usb::CameraModel &Model() const { return model_; }
    std::string StatsJson() const;

    // Parser callbacks (public for the C trampolines only).
    void OnHello();
    void OnReset();
    void OnSetConfiguration(uint64_t id, uint8_t configuration);
    void OnGetConfiguration(uint64_t id);
    void OnSetAltSetting(uint64_t id, uint8_t interface, uint8_t alt);
    void OnGetAltSetting(uint64_t id, uint8_t interface);
    void OnStartIso(uint64_t id, uint8_t endpoint, uint8_t packetsPerUrb, uint8_t urbs);
    void OnStopIso(uint64_t id, uint8_t endpoint);
    void OnStartInterrupt(uint64_t id, uint8_t endpoint);
    void OnStopInterrupt(uint64_t id, uint8_t endpoint);
    void OnBulkStreams(uint64_t id, uint32_t endpoints, bool alloc);
    void OnCancel(uint64_t id);
    void OnControl(uint64_t id, const uint8_t setup[8], const uint8_t *data, int length);
    void OnBulk(uint64_t id, uint8_t endpoint, uint32_t length, const uint8_t *data, int dataLength);
    void OnInterrupt(uint64_t id, uint8_t endpoint, const uint8_t *data, int length);
    void OnIso(uint64_t id, uint8_t endpoint, const uint8_t *data, int length);
    void OnDisconnectAck() { disconnectAcked_ = true; }
    void Log(const char *format, ...) __attribute__((format(printf, 2, 3)));

    int Fd() const { return fd_; }

private:
    struct BulkIn {
        uint64_t Id;
        uint8_t Endpoint;
        uint32_t Length;
        std::vector<uint8_t> Data;
    };
    struct Stream {
        bool Iso = false;
        uint64_t NextMicroframe = 0;  // next packet due (isochronous and interrupt IN)
    };

    void SendConnect();
    void SendInterfaceAndEndpointInfo();
    void EndAllRequests(uint8_t status);
    void StopStreamsNotInSetting();
    void ServeBulkIn(uint64_t nowMicros);
    void PushStreams(uint64_t nowMicros);
    void FinishBulkIn(BulkIn &request, uint8_t status);
    void CheckUnplugConditions();
    uint32_t PeriodMicroframes(const usb::EndpointInfo &endpoint) const;

    usb::DeviceProfile profile_;
    usb::CameraModel model_;
    int fd_;
    DeviceOptions options_;
    usbredirparser *parser_ = nullptr;
    bool helloSeen_ = false;
    bool connected_ = false;
    bool wantConnected_ = true;
    bool disconnectAcked_ = false;
    bool readFailed_ = false;
    uint64_t now_ = 0;
    std::deque<BulkIn> bulkIn_;
    std::map<uint8_t, Stream> streams_;  // started interrupt and isochronous IN/OUT streams
    DeviceStats stats_;
};

}  // namespace redir
}  // namespace sim
