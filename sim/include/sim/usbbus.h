// Control interface of the emulated USB bus, for the host side only: tests,
// the client library, usbcam and the demo use it to start the bus driver, plug
// and unplug cameras, bend the bus's behaviour (fault knobs), look inside the
// camera model and record the traffic.
//
// The bus is a driver of its own inside the emulated kernel ("\Driver\usbbus"),
// loaded with sim::LoadDriver. Each plugged camera sits on a numbered root-hub
// port (1, 2, ..., numbered across every bus) of a numbered bus (one host
// controller and its root hub; bus 1 unless PlugOptions::Bus says otherwise,
// see "Periodic bandwidth" below) and is represented by a physical device object (PDO) named
// "\Device\USBPDO-N" that the bus driver owns. A function driver reaches the
// camera by attaching above that PDO and sending IRP_MJ_INTERNAL_DEVICE_CONTROL
// requests (IOCTL_INTERNAL_USB_SUBMIT_URB, _RESET_PORT, _GET_PORT_STATUS).
//
// Timing: a bus clock thread counts 1 ms frames (8 microframes each, the camera
// is high speed) from BusStart. Queued transfers are completed by bus threads at
// DISPATCH_LEVEL, possibly before the submitter's IofCallDriver has returned.
// When the kernel's virtual time is on at BusStart (sim::SetVirtualTime), bus
// time is kernel time (0 at BusStart): the kernel's clock runs the frame
// passes, back to back as soon as every taking-part thread waits, with the
// same bandwidth, intervals and lateness; a waiting thread may run them
// itself, and with one bus thread (SetCompletionThreads(1)) the completions
// too, at DISPATCH_LEVEL.
//
// Every call is safe from any thread, but none may be called from inside a
// completion routine or any other code that runs at DISPATCH_LEVEL. Calls that
// take a port return STATUS_NO_SUCH_DEVICE (or do nothing, for void calls) when
// no camera was ever plugged at that port.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "sim/nt.h"
#include "sim/usb.h"

namespace sim {
namespace usb {

// ---------------------------------------------------------------------------
// Bus lifecycle

// Loads the bus driver into the booted kernel (sim::KernelBoot first) and starts
// the bus clock at frame 0. Returns the status of the bus driver's entry, or
// STATUS_OBJECT_NAME_COLLISION when the bus is already running.
NTSTATUS BusStart();

// Call before sim::KernelShutdown.
// Unplugs every camera (their queued transfers complete with
// USBD_STATUS_DEVICE_GONE), deletes every PDO that no function driver is still
// attached to, stops the clock and the capture, and unloads the bus driver.
// Remove the function drivers' stacks (sim::PnpRemoveDevice) before calling it;
// a PDO still in use is left to the kernel's leak report. No-op when stopped.
void BusStop();

bool BusRunning();
// The bus driver object, for sim::AllocationCount and fault injection scoping;
// nullptr when the bus is stopped.
PDRIVER_OBJECT BusDriverObject();

// The bus frame counter (1 ms frames since BusStart); what
// URB_FUNCTION_GET_CURRENT_FRAME_NUMBER returns.
uint32_t CurrentFrame();
// Makes the frame counter read frame now and count on from there (microframe
// sequence numbers of isochronous packets follow it). Set it while no
// isochronous transfer is queued.
void SetFrameNumber(uint32_t frame);

// ---------------------------------------------------------------------------
// Plugging cameras
//
// A camera is described by a profile: its descriptors, the behaviour of its
// endpoints, and its frame size and timing. The reference camera (vendor
// 0x1209, product 0x0001, "Tavrinoscope") is built in; a JSON profile file can
// describe others, also as raw descriptor bytes dumped from a real device.
// The profile format is documented in sim/usb/README.md.

struct PlugResult {
    NTSTATUS Status;     // STATUS_SUCCESS, or why nothing was plugged
    int Port;            // root-hub port number, 1-based; 0 on failure
    PDEVICE_OBJECT Pdo;  // the camera's PDO; nullptr on failure
    std::string Error;   // on a bad profile: a message naming the field,
                         // e.g. "configuration.interfaces[0].endpoints[1].maxPacketSize: ..."
    int Functions = 0;   // composite devices: how many functions the device has
                         // (0: not composite, Pdo is the device's own PDO)
};

// How a camera is plugged.
struct PlugOptions {
    // A composite device (one configuration, several interfaces, device class 0
    // or EF/02/01) is plugged as the platform does it, through a composite
    // parent that selects the configuration itself and gives each function (an
    // interface association, or an interface outside any) a child PDO of its
    // own. Function is the one whose child PDO PlugResult::Pdo is; the
    // emulation creates no PDO for the others. Must be 0 for other devices.
    int Function = 0;
    // The bus (root hub, one host controller) the camera is plugged into:
    // 1, 2, ...; kNewBus takes the lowest-numbered bus without any camera.
    // Cameras on one bus share its periodic bandwidth (below); ports are
    // numbered across every bus.
    int Bus = 1;
};

constexpr int kNewBus = 0;

// Plugs a camera into the lowest free port and creates its PDO. The bus does not
// report the PDO to the Plug and Play manager: the caller does, with
// sim::PnpReportChild(result.Pdo, functionDriver) and sim::PnpStartDevice.
PlugResult PlugReferenceCamera();
PlugResult PlugProfileFile(const std::string &path, const PlugOptions &options = PlugOptions());
PlugResult PlugProfileJson(const std::string &jsonText, const PlugOptions &options = PlugOptions());

// The built-in reference camera as profile text (JSON): a starting point for
// variations of it (an extra setting, another descriptor).
const char *ReferenceProfileJson();

// Checks a profile without plugging it; returns "" when valid, else the error
// (the same text PlugResult::Error would carry).
std::string ValidateProfileJson(const std::string &jsonText);

// The bus a port belongs to; 0 when no camera was ever plugged there.
int PortBus(int port);

// ---------------------------------------------------------------------------
// Periodic bandwidth, per bus
//
// As a high-speed host controller does, each bus reserves bandwidth for the
// isochronous and interrupt endpoints of every selected setting when the
// selection is made (select-configuration, select-interface), whether they
// move data or not, first come first served: at most 80 % of each 125 us
// microframe for high-speed devices (90 % of a 1 ms frame for full-speed
// ones), each transaction costing its bytes plus the protocol overhead of the
// USB 2.0 bus-time formulas (sim/usb/periodic_bandwidth.h). A selection whose
// periodic endpoints do not fit in what the other devices of the bus (and the
// device's other interfaces) hold is refused before it reaches the device,
// with USBD_STATUS_NO_BANDWIDTH (IRP status STATUS_UNSUCCESSFUL); the old
// setting keeps its pipes and its reservation. Selecting a setting without
// periodic endpoints, unconfiguring, a surprise removal, a removal or an
// unplug gives the reservation back. The reference camera's alternate setting
// 3 (3 x 1024 bytes per microframe) holds 61.7 us of each microframe, so one
// such stream fits on a bus and a second one does not.

struct PeriodicBandwidth {
    // The fullest microframe's reservations and the limit, in picoseconds.
    uint64_t HeldPs = 0;
    uint64_t BudgetPs = 0;
    // Full-speed devices: their reservations per 1 ms frame and the limit.
    uint64_t FullSpeedHeldPs = 0;
    uint64_t FullSpeedBudgetPs = 0;
};
PeriodicBandwidth BusPeriodicBandwidth(int bus);

// The PDO of a port, or nullptr.
PDEVICE_OBJECT PortPdo(int port);
// Ports with a camera plugged (electrically connected), in ascending order.
std::vector<int> PluggedPorts();

// Electrical removal: the camera is gone at once. Every queued transfer
// completes with USBD_STATUS_DEVICE_GONE (IRP status STATUS_DEVICE_NOT_CONNECTED)
// and so does every later request; the port status reads 0. The PDO stays until
// the Plug and Play manager removes it; the bus then deletes it.
void Unplug(int port);

// Unplug, then the Plug and Play side of a surprise removal: sends
// IRP_MN_SURPRISE_REMOVAL and IRP_MN_REMOVE_DEVICE through the PDO's stack
// (sim::PnpSurpriseRemoval, sim::PnpRemoveDevice), after which the PDO is
// deleted. Returns the status of the remove request.
NTSTATUS SurpriseRemove(int port);

// ---------------------------------------------------------------------------
// Fault and timing knobs, per port and endpoint
//
// An endpoint is named by its address as in the endpoint descriptor (0x01,
// 0x81, ...); 0 names the default control pipe. kAnyEndpoint makes a knob apply
// to every endpoint of the port. Knobs last until changed; ResetKnobs clears
// all of a port's knobs (halts set by SetStall on non-zero endpoints are the
// camera's own state and stay until cleared).

constexpr int kAnyEndpoint = -1;

enum class CompletionMode {
    Async,   // default: completed by bus threads at DISPATCH_LEVEL, IofCallDriver
             // returns STATUS_PENDING
    Inline,  // a request the camera can answer at once completes inside the
             // submitter's IofCallDriver, which returns the final status;
             // requests that must wait for data still pend, and isochronous
             // transfers follow the bus clock in either mode
};
void SetCompletionMode(int port, CompletionMode mode);

// Extra delay before an asynchronous completion, in microseconds, rounded up to
// whole bus frames.
void SetLatency(int port, int endpoint, uint32_t microseconds);

// Halts (or un-halts) the camera's endpoint: every transfer to it fails with
// USBD_STATUS_STALL_PID until a CLEAR_FEATURE(ENDPOINT_HALT) reaches it (sent by
// URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL) or the knob is cleared. On the
// control pipe (endpoint 0) the stall is a protocol stall for every control
// request until the knob is cleared; kAnyEndpoint stalls every endpoint and the
// control pipe.
void SetStall(int port, int endpoint, bool stalled);

// The next count requests that reach the endpoint (URBs of any function that
// address it: transfers, abort and reset by its pipe handle; control URBs,
// selections included, address endpoint 0) fail with the given status without
// reaching the camera. The IRP status follows the usual mapping (e.g.
// STATUS_UNSUCCESSFUL for USB errors, STATUS_CANCELLED for
// USBD_STATUS_CANCELED). The frame-number request addresses no endpoint.
void FailNext(int port, int endpoint, uint32_t count, USBD_STATUS status);
// As FailNext, after letting the next pass requests through untouched: the
// second chunk of a multi-request operation can fail while the first succeeds.
void FailAfter(int port, int endpoint, uint32_t pass, uint32_t count, USBD_STATUS status);
// As FailNext, but the IRP completes with irpStatus (STATUS_SUCCESS included)
// while the URB carries status: a bus driver that disagrees with itself.
void FailNextWithIrpStatus(int port, int endpoint, uint32_t count, USBD_STATUS status,
                           NTSTATUS irpStatus);

// The next count isochronous packets the endpoint moves fail with status (a
// transaction error such as USBD_STATUS_XACT_ERROR or USBD_STATUS_CRC): an IN
// packet was sent by the camera but reaches the host as nothing (length 0), an
// OUT packet never reaches the camera. The request's other packets are
// unaffected; its header status is USBD_STATUS_ISOCH_REQUEST_FAILED only when
// every packet failed.
void FailIsoPackets(int port, int endpoint, uint32_t count, USBD_STATUS status);

// The endpoint never answers: transfers queue and stay pending until cancelled
// (IoCancelIrp), aborted (URB_FUNCTION_ABORT_PIPE) or the camera is unplugged.
void SetNeverAnswer(int port, int endpoint, bool on);

// The word IOCTL_INTERNAL_USB_GET_PORT_STATUS reports (USBD_PORT_ENABLED |
// USBD_PORT_CONNECTED while plugged, 0 after Unplug). A reset of a connected
// port restores enabled and connected.
void SetPortStatus(int port, ULONG status);
// The next count IOCTL_INTERNAL_USB_RESET_PORT requests fail with status.
void FailPortReset(int port, uint32_t count, NTSTATUS status);
// The next count IOCTL_INTERNAL_USB_GET_PORT_STATUS requests fail with status
// and write nothing into the caller's word.
void FailPortStatus(int port, uint32_t count, NTSTATUS status);
// Port resets that reached the port (successful or not).
uint32_t PortResetCount(int port);

void ResetKnobs(int port);

// A device script bends the camera's answers as a broken or hostile device
// would (fuzzing): it sees each answer the camera model made, after the model
// has updated its own state, and may change it. It is called on the bus
// clock's thread (or the submitter's, for requests served at once) with the
// bus lock held, so it must not call back into the bus.
struct DeviceScript {
    virtual ~DeviceScript() = default;
    // A control transfer. data holds wLength bytes (for IN, the model's answer
    // in the first *actual); the script may stall it, or change the data and
    // *actual (at most wLength).
    virtual void Control(const uint8_t setup[8], uint8_t *data, uint16_t wLength, bool *stall,
                         uint32_t *actual) = 0;
    // A bulk or interrupt IN packet: *has is false when the model has nothing
    // to send (a NAK). The script may change both; a packet longer than the
    // room left in the transfer is babble (USBD_STATUS_DATA_OVERRUN).
    virtual void InPacket(uint8_t endpoint, uint32_t maxPacket, bool *has,
                          std::vector<uint8_t> *packet) = 0;
    // An isochronous IN packet of at most maxBytes (the endpoint's payload
    // per service interval).
    virtual void IsoInPacket(uint8_t endpoint, uint32_t maxBytes, std::vector<uint8_t> *packet) = 0;
};
// Installs a script on the camera at port (nullptr removes it). Not kept by
// ResetKnobs; it goes with the camera.
void SetDeviceScript(int port, std::shared_ptr<DeviceScript> script);

// --- Completion, failure and bandwidth knobs -------------------------------
//
// Completions: the bus clock finishes the transfers of an endpoint in queue
// order (request k's URB is final before request k + 1's is written) and
// several bus threads complete them at DISPATCH_LEVEL. On one endpoint the
// bus calls IofCompleteRequest for request k + 1 only after it has called it
// for request k, but without waiting for that call to return: completion
// routines of consecutive requests of one endpoint are entered in order but
// run at the same time, and a preempted thread may let k + 1's routine get
// ahead of k's (on other endpoints they run in parallel anyway). A driver that needs its results in order orders them itself (by
// its own submission order), never by the order its routines run or finish.
// Cancelled requests (IoCancelIrp) complete in the cancelling thread at once.
//
// Bus-wide, reset by BusStart: the number of bus threads that complete
// requests, 1 to 4 (default 4). 1 is a deterministic mode: one thread
// completes every request in turn, each routine returns before the next starts.
void SetCompletionThreads(unsigned threads);
// Bus-wide: every completion from the bus threads is delivered this much
// later than the bus finished the transfer (slow DPCs); requests still
// complete in order. Default 0.
void SetCompletionDelay(uint32_t microseconds);

// Bus-wide: with a seed other than 0, completions of different endpoints (of
// one camera or several) are delivered in a random order, seeded: a
// completion may overtake those of other endpoints finished before it, and
// each is held back up to two frames more. One endpoint's completions keep
// their order: a host controller retires an endpoint's transfers in the order
// it queued them. 0 (the default, reset by BusStart) delivers in the order
// the clock finished them.
void SetCompletionReorder(uint32_t seed);

// Per port: a request that fails for a reason the bus knows at once completes
// inside IofCallDriver (which returns the failure) instead of from a bus
// thread: requests failed by FailNext/FailAfter/FailNextWithIrpStatus, and
// transfers to a pipe whose abort is still cancelling its transfers
// (USBD_STATUS_CANCELED). Malformed URBs and requests to a camera that is gone
// complete inside IofCallDriver in every mode. Default off; ResetKnobs clears it.
void SetInlineFailures(int port, bool on);

// Bus-wide: the bandwidth model of bulk and interrupt traffic (default on):
// at high speed at most 13 packets per 125 us microframe on the bus, shared by
// every endpoint of every port (13 x 512 bytes: 53.248 MB/s), at full speed
// 19 packets per 1 ms frame; an interrupt endpoint moves one packet per polling
// interval. Off, the bus moves whatever the camera has at each clock pass (for
// CPU measurements). The clock runs a pass for every 1 ms frame of bus time,
// which follows the wall clock: a clock thread that wakes late runs the
// passes of every frame it missed, each with its own frame's bandwidth. Isochronous and control traffic is not counted. A fixed
// latency for every request is SetLatency(port, kAnyEndpoint, us).
void SetBandwidthModel(bool on);

// Bus-wide, reset by BusStart, for tests that need bus time by hand: with on,
// bus time stops following the wall clock and stands still (the frame counter
// included) until AdvanceBusClock moves it; requests queue and wait meanwhile.
// Off again, bus time goes on from where it stands.
void SetManualClock(bool on);
// Manual clock only (otherwise nothing happens): moves bus time on by micros
// and runs, in the calling thread, the clock's pass of every frame boundary
// crossed, each moving what its own frame's bandwidth allows, exactly as the
// clock thread does when it wakes that late; what they finish goes to the bus
// threads as usual.
void AdvanceBusClock(uint64_t micros);

// True while the pipe of the endpoint is halted on the host side: a bulk or
// interrupt transfer failed (stall, a knob's failure, overrun; not a cancel or
// removal), and nothing moves on the pipe until URB_FUNCTION_SYNC_RESET_PIPE
// or _SYNC_RESET_PIPE_AND_CLEAR_STALL resets it (refused with
// USBD_STATUS_ERROR_BUSY while transfers are queued on it).
bool PipeHalted(int port, int endpoint);

// ---------------------------------------------------------------------------
// USBD library

// The USBDI_Version that USBD_GetUSBDIVersion reports (default 0x600, Windows
// 7 and later; values below 0x101 make clients use 36-byte pipe requests).
void SetUsbdiVersion(ULONG version);
ULONG UsbdiVersion();

// ---------------------------------------------------------------------------
// The camera model, for tests

struct CameraState {
    // Device state as the standard requests left it.
    uint8_t Configuration;            // 0: unconfigured (address state)
    std::vector<uint8_t> AltSetting;  // per interface number
    bool RemoteWakeup;
    // Vendor request 0xA0 memory (64 KiB) and the vendor register file.
    std::vector<uint8_t> Memory;
    std::vector<uint8_t> Registers;
    // Transfer commands and frames on the bulk pipes.
    uint64_t CommandsReceived;   // 64-byte command packets on the command pipe
    uint64_t CapturesArmed;      // command 2 seen
    uint64_t FramesStarted;      // command 3 with a capture armed
    uint64_t FramesDelivered;    // frames whose last byte was read by the host
    uint64_t FrameBytesPending;  // bytes of the current frame not yet read
    // Isochronous endpoints.
    uint64_t IsoInPackets;        // packets delivered to the host
    uint64_t IsoOutPackets;       // packets received from the host
    uint64_t IsoOutBadPackets;    // received packets whose pattern did not check
    uint64_t IsoOutSequenceGaps;  // received packets whose sequence number skipped
    // Queued transfers per endpoint right now (address -> count).
    std::vector<std::pair<uint8_t, uint32_t>> QueuedTransfers;
};

// A snapshot of the camera at port; Memory is a copy.
CameraState GetCameraState(int port);
// Writes into the camera's device memory directly (no bus traffic).
void PokeDeviceMemory(int port, uint16_t address, const void *data, size_t length);
// Number of transfers queued at the endpoint and not yet completed; lets a test
// wait until its request has reached the bus before cancelling or aborting.
uint32_t QueuedTransfers(int port, int endpoint);

// The reference camera's frame content: frame number counter (0-based) of a
// width x height 8-bit test pattern, as the camera sends it on its frame pipe.
// Bytes 0..3 hold the counter (little-endian), bytes 4..5 the width and 6..7 the
// height; byte i (i >= 8) at column x = i % width, row y = i / width holds
// (x + 2 * y + counter) & 0xFF.
std::vector<uint8_t> ReferenceFrame(uint32_t counter, uint32_t width, uint32_t height);

// The reference camera's isochronous IN packet for sequence number seq (one
// per microframe since the bus started) and length n: bytes 0..3 seq
// (little-endian), byte k (k >= 4) = (seq + k) & 0xFF. Its isochronous OUT
// endpoint checks received packets against the same rule. Endpoint 0x84 sends
// 1024-byte packets, 0x86 (alternate setting 3) 3072-byte ones.
std::vector<uint8_t> ReferenceIsoPacket(uint32_t seq, uint32_t n);

// Checks a received packet against the rule above: true with *seq set when
// its length is at least 4 and every byte after the sequence number fits.
bool CheckReferenceIsoPacket(const uint8_t *data, uint32_t length, uint32_t *seq);

// Counts what a client lost from a run of received isochronous packets: feed
// every packet (empty ones included, in order); Lost() is the sequence numbers
// skipped between good packets, Bad() the packets that did not check.
struct ReferenceIsoCounter {
    void Add(const uint8_t *data, uint32_t length);
    uint64_t Good() const { return good_; }
    uint64_t Bad() const { return bad_; }
    uint64_t Lost() const { return lost_; }

private:
    bool seen_ = false;
    uint32_t last_ = 0;
    uint64_t good_ = 0, bad_ = 0, lost_ = 0;
};

// ---------------------------------------------------------------------------
// Wire log: what crossed the bus, for tests
//
// One record per transfer that reached the camera (or was failed by a knob in
// its place), written when it completes, cancelled ones included. Requests that
// cause no traffic (abort pipe, frame number, port requests) are not logged.

enum class TransferType : uint8_t { Control = 0,
                                    Isochronous = 1,
                                    Bulk = 2,
                                    Interrupt = 3 };

struct WireIsoPacket {
    uint32_t Offset;
    uint32_t Length;  // bytes moved
    USBD_STATUS Status;
};

struct WireRecord {
    uint64_t Sequence;  // order in which the transfers were submitted
    int Port;
    uint8_t Endpoint;  // endpoint address; 0x00 or 0x80 for control
    TransferType Type;
    bool In;  // data stage direction, device to host
    bool HasSetup;
    uint8_t Setup[8];      // control transfers: bmRequestType, bRequest,
                           // wValue, wIndex, wLength (little-endian)
    uint16_t UrbFunction;  // the URB function that caused it
    uint32_t RequestedLength;
    uint32_t ActualLength;
    std::vector<uint8_t> Data;  // bytes moved (OUT: sent; IN: received),
                                // cut to the log's data limit
    USBD_STATUS Status;
    uint32_t StartFrame;  // isochronous: first frame
    std::vector<WireIsoPacket> IsoPackets;
    uint64_t SubmitMicros;  // bus time of submission and completion
    uint64_t CompleteMicros;

    uint8_t RequestType() const { return Setup[0]; }
    uint8_t Request() const { return Setup[1]; }
    uint16_t Value() const { return (uint16_t)(Setup[2] | (Setup[3] << 8)); }
    uint16_t Index() const { return (uint16_t)(Setup[4] | (Setup[5] << 8)); }
    uint16_t SetupLength() const { return (uint16_t)(Setup[6] | (Setup[7] << 8)); }
};

// Records so far (all ports, or one), oldest first. The log keeps the newest
// maxRecords records and at most maxDataBytes of each record's data (defaults
// 4096 and 4096).
std::vector<WireRecord> WireLog(int port = 0);
void WireLogClear();
void WireLogSetLimits(size_t maxRecords, size_t maxDataBytes);

// ---------------------------------------------------------------------------
// Packet capture
//
// Records every transfer of every port to a pcap file in the Linux usbmon
// format (link type 220, 64-byte headers): a submission event 'S' with the setup
// packet and OUT data, a completion event 'C' with the status and IN data, with
// timestamps. Wireshark and tshark read it as USB (usb.setup.bRequest, ...).
// Returns false, with *error set, when the file cannot be created or a capture
// is already running.
bool CaptureStart(const std::string &path, std::string *error);
// Flushes and closes the file; no-op without a capture.
void CaptureStop();

}  // namespace usb
}  // namespace sim
