// The C interface of tavrinoscope.h over the client library: argument checks
// first (a refused argument never reaches the driver), then one or a few
// typed requests through usbcam::Camera, and their NTSTATUS turned into the
// SDK's status. The platform part (opening, the emulation) is backend.h's.
#include <string.h>

#include <algorithm>
#include <atomic>
#include <new>
#include <string>
#include <vector>

#include "backend.h"
#include "tavrinoscope_version.h"
#include "lock.h"
#include "usbcam/usbcam_ioctl.h"
#include "usbcam/camera.h"
#include "usbcam/descriptors.h"
#include "usbcam/images.h"
#include "usbcam/intel_hex.h"
#include "usbcam/iso_packets.h"
#include "usbcam/status_names.h"

namespace {

// The driver's status of this thread's last request (0: none sent).
thread_local uint32_t t_lastDriverStatus = 0;

const uint32_t kStatusUnsuccessful = 0xC0000001u;
// The USB controller's refusal of a selection whose periodic endpoints do
// not fit beside what the other devices on it hold.
const int32_t kUsbdNoBandwidth = static_cast<int32_t>(0x80000700u);
const uint32_t kFramePipe = 2;
const uint32_t kFrameHeaderBytes = 8;
const uint32_t kCameraMemoryBytes = 0x10000;
const uint32_t kVerifyChunk = 4096;
// Bytes of one memory-load request, as the driver's own memory load sends.
const uint32_t kLoadChunk = 64;
const uint8_t kMemoryRequest = 0xA0;
// How long stopping a stream waits for its requests to come back.
const unsigned kStopWaitMs = 10000;

// Forwards every request to the platform's handle, counts it and keeps its
// status for tvs_last_driver_status.
class CountingConnection final : public usbcam::Connection {
public:
    CountingConnection(usbcam::Connection *inner, std::atomic<uint64_t> *count)
        : inner_(inner), count_(count) {}

    usbcam::IoOutcome Control(uint32_t code, const void *input, uint32_t inputLength, void *output,
                              uint32_t outputLength) override {
        count_->fetch_add(1, std::memory_order_relaxed);
        const usbcam::IoOutcome outcome = inner_->Control(code, input, inputLength, output, outputLength);
        t_lastDriverStatus = outcome.Status;
        return outcome;
    }

    const std::string &Path() const override { return inner_->Path(); }

private:
    usbcam::Connection *inner_;
    std::atomic<uint64_t> *count_;
};

}  // namespace

struct tvs_camera {
    unsigned Index = 0;  // the N of \\.\Tavrinoscope-N
    tvs::OpenedDevice Device;
    std::atomic<uint64_t> Requests{0};
    std::unique_ptr<usbcam::Camera> Camera;

    tvs::Lock StreamMutex;  // the fields below
    bool StreamStarted = false;
    uint32_t StreamPacketSize = 0;
    usbcam::IsoPacketTally Tally;
};

namespace tvs {

tvs_status StatusFromDriver(uint32_t status) {
    if (usbcam::IsNtSuccess(status)) return TVS_OK;
    switch (status) {
        case 0xC0000001u: return TVS_ERROR_USB;               // STATUS_UNSUCCESSFUL
        case 0xC000000Du: return TVS_ERROR_REFUSED;           // STATUS_INVALID_PARAMETER
        case 0xC0000184u: return TVS_ERROR_REFUSED;           // STATUS_INVALID_DEVICE_STATE
        case 0xC00000B5u: return TVS_ERROR_TIMEOUT;           // STATUS_IO_TIMEOUT
        case 0xC0000017u:                                     // STATUS_NO_MEMORY
        case 0xC000009Au: return TVS_ERROR_NO_MEMORY;         // STATUS_INSUFFICIENT_RESOURCES
        case 0xC0000056u:                                     // STATUS_DELETE_PENDING
        case 0xC000009Du:                                     // STATUS_DEVICE_NOT_CONNECTED
        case 0xC000000Eu:                                     // STATUS_NO_SUCH_DEVICE
        case 0xC00002B6u: return TVS_ERROR_DEVICE_GONE;       // STATUS_DEVICE_REMOVED
        case 0xC0000120u: return TVS_ERROR_CANCELLED;         // STATUS_CANCELLED
        case 0xC0000033u:                                     // STATUS_OBJECT_NAME_INVALID
        case 0xC0000034u:                                     // STATUS_OBJECT_NAME_NOT_FOUND
        case 0xC000003Au: return TVS_ERROR_NOT_FOUND;         // STATUS_OBJECT_PATH_NOT_FOUND
        case 0xC0000002u:                                     // STATUS_NOT_IMPLEMENTED
        case 0xC0000010u:                                     // STATUS_INVALID_DEVICE_REQUEST
        case 0xC00000BBu: return TVS_ERROR_NOT_SUPPORTED;     // STATUS_NOT_SUPPORTED
        case 0x80000005u:                                     // STATUS_BUFFER_OVERFLOW
        case 0xC0000023u: return TVS_ERROR_BUFFER_TOO_SMALL;  // STATUS_BUFFER_TOO_SMALL
        case 0x80000011u: return TVS_ERROR_BUSY;              // STATUS_DEVICE_BUSY
        default: return TVS_ERROR_OTHER;
    }
}

}  // namespace tvs

namespace {

using usbcam::IoOutcome;

// Every call starts so: no request sent yet in this call (and, under the
// emulation's virtual time, the thread taking part in bus time).
inline void Begin() {
    t_lastDriverStatus = 0;
    tvs::BackendEnterCall();
}

inline tvs_status Map(const IoOutcome &outcome) { return tvs::StatusFromDriver(outcome.Status); }

// Reads the camera's last USB status into *usbStatus (when asked), keeping
// this thread's driver status that of the call's own request.
void ReportUsbStatus(tvs_camera *camera, int32_t *usbStatus) {
    if (usbStatus == nullptr) return;
    const uint32_t saved = t_lastDriverStatus;
    int32_t value = 0;
    const IoOutcome outcome = camera->Camera->GetLastStatus(&value);
    *usbStatus = usbcam::IsNtSuccess(outcome.Status) ? value : 0;
    t_lastDriverStatus = saved;
}

int32_t LastUsbStatus(tvs_camera *camera) {
    int32_t value = 0;
    const IoOutcome outcome = camera->Camera->GetLastStatus(&value);
    return usbcam::IsNtSuccess(outcome.Status) ? value : 0;
}

// True when the camera has gone away. After a removal the driver refuses
// every request; after a surprise removal (the cable pulled) it still takes
// them until the last handle closes, but the bus no longer answers for the
// camera, so the frame number, which every live camera has, fails.
bool CameraGone(tvs_camera *camera) {
    const uint32_t saved = t_lastDriverStatus;
    bool gone = tvs::StatusFromDriver(camera->Camera->Nop().Status) == TVS_ERROR_DEVICE_GONE;
    if (!gone) {
        uint32_t frame = 0;
        const IoOutcome outcome = camera->Camera->GetFrameNumber(&frame);
        gone = !usbcam::IsNtSuccess(outcome.Status);
    }
    t_lastDriverStatus = saved;
    return gone;
}

// The SDK status of a request's outcome. A failure that a removed camera
// would also give is checked against the camera's presence, so that a
// camera pulled out reads as gone, not as a refused or failed request.
tvs_status Finish(tvs_camera *camera, const IoOutcome &outcome) {
    const tvs_status status = Map(outcome);
    if (status == TVS_ERROR_USB || status == TVS_ERROR_REFUSED || status == TVS_ERROR_CANCELLED ||
        status == TVS_ERROR_TIMEOUT) {
        if (CameraGone(camera)) return TVS_ERROR_DEVICE_GONE;
    }
    return status;
}

bool ReadPipeTable(tvs_camera *camera, usbcam::InterfaceTable *table, bool *none) {
    uint8_t buffer[24 + 24 * TVS_MAX_PIPES];
    *none = false;
    const IoOutcome outcome = camera->Camera->GetInterfaceInfo(buffer, sizeof buffer);
    if (!usbcam::IsNtSuccess(outcome.Status)) return false;
    if (outcome.Information == 0) {
        *none = true;  // no interface selected yet
        return true;
    }
    std::string error;
    return usbcam::ParseInterfaceTable(buffer, static_cast<size_t>(outcome.Information), table, &error);
}

// Copies UTF-8 text into a fixed field, cut at a character boundary.
void CopyText(const std::string &text, char *field, size_t size) {
    size_t n = std::min(text.size(), size - 1);
    while (n > 0 && n < text.size() && (static_cast<uint8_t>(text[n]) & 0xC0) == 0x80) --n;
    memcpy(field, text.data(), n);
    field[n] = '\0';
}

std::string ReadString(tvs_camera *camera, uint8_t index) {
    if (index == 0) return "";
    uint8_t buffer[255];
    const IoOutcome outcome = camera->Camera->GetStringDescriptor(index, 0x0409, buffer, sizeof buffer);
    std::string text;
    if (!usbcam::IsNtSuccess(outcome.Status) ||
        !usbcam::StringDescriptorText(buffer, static_cast<size_t>(outcome.Information), &text)) {
        return "";
    }
    return text;
}

// Alternate settings of `interfaceNumber`, and the speed the endpoints'
// packet sizes point to, from the configuration descriptor.
void WalkConfiguration(const uint8_t *bytes, size_t length, uint8_t interfaceNumber, uint32_t *settings,
                       uint8_t *speed) {
    *settings = 0;
    bool high = false, full = false;
    size_t at = 0;
    while (at + 2 <= length) {
        const uint8_t size = bytes[at];
        if (size < 2 || at + size > length) break;
        const uint8_t type = bytes[at + 1];
        if (type == 4 && size >= 9 && bytes[at + 2] == interfaceNumber) ++*settings;
        if (type == 5 && size >= 7) {
            const uint8_t attributes = bytes[at + 3] & 3;
            const uint16_t packet = static_cast<uint16_t>(bytes[at + 4] | bytes[at + 5] << 8);
            if (attributes == 2) {
                if ((packet & 0x7FF) == 512) high = true;
                if ((packet & 0x7FF) <= 64) full = true;
            } else if (attributes != 0 && ((packet & 0x1800) != 0 || (packet & 0x7FF) > 1023)) {
                high = true;
            }
        }
        at += size;
    }
    *speed = high ? TVS_SPEED_HIGH : full ? TVS_SPEED_FULL
                                          : TVS_SPEED_UNKNOWN;
}

// True when the configuration descriptor has that alternate setting of that
// interface.
bool HasSetting(tvs_camera *camera, uint8_t interfaceNumber, uint8_t alternateSetting) {
    std::vector<uint8_t> bytes(4096);
    const IoOutcome outcome = camera->Camera->GetConfigDescriptor(bytes.data(), static_cast<uint32_t>(bytes.size()));
    if (!usbcam::IsNtSuccess(outcome.Status)) return false;
    const size_t length = static_cast<size_t>(std::min<uint64_t>(outcome.Information, bytes.size()));
    for (size_t at = 0; at + 2 <= length;) {
        const uint8_t size = bytes[at];
        if (size < 2 || at + size > length) break;
        if (bytes[at + 1] == 4 && size >= 9 && bytes[at + 2] == interfaceNumber && bytes[at + 3] == alternateSetting) {
            return true;
        }
        at += size;
    }
    return false;
}

// Reads a run of the camera's memory back (vendor request 0xA0, device to
// host) and compares it with what was written.
tvs_status VerifyRun(tvs_camera *camera, uint32_t address, const uint8_t *data, uint32_t length) {
    std::vector<uint8_t> back(kVerifyChunk);
    for (uint32_t done = 0; done < length; done += kVerifyChunk) {
        const uint32_t chunk = std::min(kVerifyChunk, length - done);
        VendorRequestRecord record;
        memset(&record, 0, sizeof record);
        record.Request = kMemoryRequest;
        record.Value = static_cast<uint16_t>(address + done);
        record.Length = static_cast<uint16_t>(chunk);
        record.Direction = 1;
        const IoOutcome outcome = camera->Camera->VendorRequest(record, back.data(), chunk);
        if (!usbcam::IsNtSuccess(outcome.Status)) return Finish(camera, outcome);
        if (outcome.Information != chunk || memcmp(back.data(), data + done, chunk) != 0) {
            return TVS_ERROR_VERIFY;
        }
    }
    return TVS_OK;
}

// Writes one run of the camera's memory as vendor requests 0xA0 of up to
// kLoadChunk bytes, the memory load's own request, each sent as a control
// request: unlike the driver's memory-load code, which reports success
// whatever the camera answered, a control request reports its own outcome,
// so a failed load is told whatever the last USB status held before.
tvs_status LoadRun(tvs_camera *camera, uint32_t address, const uint8_t *data, uint32_t length) {
    for (uint32_t done = 0; done < length; done += kLoadChunk) {
        const uint32_t chunk = std::min(kLoadChunk, length - done);
        ControlRequestRecord record;
        memset(&record, 0, sizeof record);
        record.Direction = 0;
        record.Type = TVS_REQUEST_VENDOR;
        record.Recipient = TVS_RECIPIENT_DEVICE;
        record.Request = kMemoryRequest;
        record.Value = static_cast<uint16_t>(address + done);
        // The data stage goes from the buffer: the request does not write it.
        const IoOutcome outcome =
            camera->Camera->ControlRequest(record, const_cast<uint8_t *>(data + done), chunk);
        if (!usbcam::IsNtSuccess(outcome.Status)) return Finish(camera, outcome);
        if (outcome.Information != chunk) return TVS_ERROR_USB;  // a short data stage
    }
    return TVS_OK;
}

// Loads every segment, stopping at the first that fails; with verify reads
// them all back.
tvs_status LoadImage(tvs_camera *camera, const usbcam::MemoryImage &image, bool verify, int32_t *usbStatus) {
    tvs_status status = TVS_OK;
    uint32_t ownStatus = 0;
    for (const usbcam::MemorySegment &segment : image.Segments) {
        status = LoadRun(camera, segment.Address, segment.Bytes.data(),
                         static_cast<uint32_t>(segment.Bytes.size()));
        ownStatus = t_lastDriverStatus;
        if (status != TVS_OK) break;
    }
    ReportUsbStatus(camera, usbStatus);
    t_lastDriverStatus = ownStatus;
    if (status != TVS_OK || !verify) return status;
    for (const usbcam::MemorySegment &segment : image.Segments) {
        status = VerifyRun(camera, segment.Address, segment.Bytes.data(),
                           static_cast<uint32_t>(segment.Bytes.size()));
        if (status != TVS_OK) return status;
    }
    return TVS_OK;
}

bool ValidIsoConfig(const tvs_iso_config *config) {
    return config != nullptr && config->packet_size != 0 && config->packets_per_request != 0 &&
           config->slot_count != 0;
}

// Copies the descriptors that follow `packets` payload strides into the
// caller's array, with offsets into the caller's buffer.
void TakeDescriptors(const uint8_t *buffer, uint32_t packetSize, uint32_t packets, tvs_iso_packet *out) {
    const uint8_t *descriptors = buffer + size_t{packets} * packetSize;
    for (uint32_t i = 0; i < packets; ++i) {
        IsoPacketDescriptor d;
        memcpy(&d, descriptors + size_t{i} * sizeof d, sizeof d);
        out[i].offset = i * packetSize;
        out[i].length = std::min(d.Length, packetSize);
        out[i].status = d.Status;
    }
}

// Streams are started and stopped one at a time per camera in this process:
// a stop holds its camera's gate from its stop request until its streams
// have ended, and a start waits for the gate, so that a stream started by
// another thread meanwhile neither keeps the stopped one running nor is
// taken for it. (Another process's stream is not seen here: a stop then
// waits for that one too, up to its bound.)
struct StreamGate {
    tvs::Lock Mutex;
    unsigned Stopping = 0;  // stops waiting for their streams' end
};
StreamGate g_streamGates[TVS_MAX_CAMERAS];

// True while the camera has a stream whose packets a read would reach. A
// read of 0 packets of 0 bytes takes nothing: the driver refuses it as
// malformed while a stream runs, and as unsuccessful once none does.
bool StreamRunning(tvs_camera *camera) {
    const IoOutcome probe = camera->Camera->ReadStream(0, 0, nullptr, 0);
    return tvs::StatusFromDriver(probe.Status) == TVS_ERROR_REFUSED;
}

// Asks the camera's streams to stop, then waits until they have ended
// (their requests back, their rings gone), so that a selection or a pipe
// reset may follow at once; what they collected and nobody read goes with
// them. Reads nothing itself: a stream that is not this stop's keeps its
// packets.
tvs_status StopAndWait(tvs_camera *camera, uint32_t packetSize) {
    StreamGate &gate = g_streamGates[camera->Index];
    IoOutcome stopped;
    {
        tvs::Hold hold(gate.Mutex);
        stopped = camera->Camera->StopStream();
        if (usbcam::IsNtSuccess(stopped.Status)) ++gate.Stopping;
    }
    const uint32_t ownStatus = t_lastDriverStatus;
    if (!usbcam::IsNtSuccess(stopped.Status)) return Finish(camera, stopped);
    tvs_status status = TVS_OK;
    if (packetSize != 0) {  // else not started by this handle: nothing to wait for
        const uint64_t begun = tvs::BackendNowMicros();
        status = TVS_ERROR_TIMEOUT;
        for (;;) {
            if (!StreamRunning(camera)) {
                // No stream any more (or a camera gone, which ends it as well).
                status = TVS_OK;
                break;
            }
            if (tvs::BackendNowMicros() - begun >= uint64_t{kStopWaitMs} * 1000u) break;
            tvs::BackendPause(1);
        }
    }
    {
        tvs::Hold hold(gate.Mutex);
        --gate.Stopping;
    }
    t_lastDriverStatus = ownStatus;
    return status;
}

// Sends the start once no stop of the camera waits for its streams.
IoOutcome StartWhenNoStop(tvs_camera *camera, const StreamStartRecord &record) {
    StreamGate &gate = g_streamGates[camera->Index];
    for (;;) {
        {
            tvs::Hold hold(gate.Mutex);
            if (gate.Stopping == 0) return camera->Camera->StartStream(record);
        }
        tvs::BackendPause(1);
    }
}

}  // namespace

extern "C" {

// ---- Version and text ----------------------------------------------------

// The public header is installed on its own, so it carries the numbers too;
// the build refuses a header that disagrees with the file VERSION.
static_assert(TVS_VERSION_MAJOR == TAVRINOSCOPE_VERSION_MAJOR && TVS_VERSION_MINOR == TAVRINOSCOPE_VERSION_MINOR &&
                  TVS_VERSION_PATCH == TAVRINOSCOPE_VERSION_PATCH,
              "include/tavrinoscope/tavrinoscope.h's TVS_VERSION_* differ from VERSION (scripts/set-version.sh)");

uint32_t tvs_version(void) { return TVS_VERSION; }

const char *tvs_version_string(void) { return TAVRINOSCOPE_VERSION_STRING; }

namespace {
struct StatusText {
    tvs_status Status;
    const char *Name;
    const char *Message;
};
const StatusText kStatusTexts[] = {
    {TVS_OK, "TVS_OK", "the call succeeded"},
    {TVS_ERROR_INVALID_ARGUMENT, "TVS_ERROR_INVALID_ARGUMENT",
     "an argument was refused by the library; nothing was sent to the camera"},
    {TVS_ERROR_NOT_FOUND, "TVS_ERROR_NOT_FOUND", "no camera with that number is plugged in and started"},
    {TVS_ERROR_DEVICE_GONE, "TVS_ERROR_DEVICE_GONE", "the camera was unplugged or removed; close it"},
    {TVS_ERROR_TIMEOUT, "TVS_ERROR_TIMEOUT", "the transfer did not finish within the driver's time-out"},
    {TVS_ERROR_USB, "TVS_ERROR_USB", "the request failed on the USB side; the last USB status says how"},
    {TVS_ERROR_REFUSED, "TVS_ERROR_REFUSED",
     "the driver refused the request for the camera's current state (pipe, setting or size)"},
    {TVS_ERROR_NO_MEMORY, "TVS_ERROR_NO_MEMORY", "memory ran out in the driver or the library"},
    {TVS_ERROR_CANCELLED, "TVS_ERROR_CANCELLED", "the request was cancelled (a pipe abort or a removal)"},
    {TVS_ERROR_NO_STREAM, "TVS_ERROR_NO_STREAM",
     "no stream is running (never started, stopped, or ended because its requests failed)"},
    {TVS_ERROR_VERIFY, "TVS_ERROR_VERIFY", "the memory read back differs from what was written"},
    {TVS_ERROR_BAD_IMAGE, "TVS_ERROR_BAD_IMAGE", "the memory image is malformed or beyond the camera's 64 KiB"},
    {TVS_ERROR_BAD_FRAME, "TVS_ERROR_BAD_FRAME", "the camera sent no frame, or not one in its framed format"},
    {TVS_ERROR_BUFFER_TOO_SMALL, "TVS_ERROR_BUFFER_TOO_SMALL", "the buffer is too small for what came"},
    {TVS_ERROR_NOT_SUPPORTED, "TVS_ERROR_NOT_SUPPORTED", "not available in this build or on this camera"},
    {TVS_ERROR_EMULATION, "TVS_ERROR_EMULATION",
     "the emulated machine could not start or plug the camera (see standard error)"},
    {TVS_ERROR_IO, "TVS_ERROR_IO", "a file could not be read or written"},
    {TVS_ERROR_BUSY, "TVS_ERROR_BUSY",
     "the camera is busy with another request that runs one at a time (a segmented transfer); try again"},
    {TVS_ERROR_NO_BANDWIDTH, "TVS_ERROR_NO_BANDWIDTH",
     "not enough bus bandwidth for this setting (another device holds it); try a lower setting or another USB "
     "controller"},
    {TVS_ERROR_OTHER, "TVS_ERROR_OTHER", "the driver failed the request; tvs_last_driver_status says how"},
};
const StatusText *FindStatus(tvs_status status) {
    for (const StatusText &entry : kStatusTexts) {
        if (entry.Status == status) return &entry;
    }
    return nullptr;
}
}  // namespace

const char *tvs_status_name(tvs_status status) {
    const StatusText *entry = FindStatus(status);
    return entry != nullptr ? entry->Name : "TVS_ERROR_UNKNOWN";
}

const char *tvs_status_message(tvs_status status) {
    const StatusText *entry = FindStatus(status);
    return entry != nullptr ? entry->Message : "a status this library does not define";
}

uint32_t tvs_last_driver_status(void) { return t_lastDriverStatus; }

const char *tvs_driver_status_name(uint32_t ntstatus) { return usbcam::NtStatusName(ntstatus); }

const char *tvs_usb_status_name(int32_t usb_status) {
    return usbcam::UsbdStatusName(static_cast<uint32_t>(usb_status));
}

// ---- Opening and closing -------------------------------------------------

tvs_status tvs_open(unsigned index, tvs_camera **camera) { return tvs_open_ex(index, nullptr, camera); }

tvs_status tvs_open_ex(unsigned index, const tvs_open_options *options, tvs_camera **camera) {
    Begin();
    if (camera == nullptr) return TVS_ERROR_INVALID_ARGUMENT;
    *camera = nullptr;
    if (index >= TVS_MAX_CAMERAS) return TVS_ERROR_INVALID_ARGUMENT;
    tvs_camera *opened = new (std::nothrow) tvs_camera;
    if (opened == nullptr) return TVS_ERROR_NO_MEMORY;
    uint32_t driverStatus = 0;
    const tvs_status status = tvs::BackendOpen(index, options, &opened->Device, &driverStatus);
    t_lastDriverStatus = driverStatus;
    if (status != TVS_OK) {
        delete opened;
        return status;
    }
    opened->Index = index;
    opened->Camera.reset(new usbcam::Camera(std::unique_ptr<usbcam::Connection>(
        new CountingConnection(opened->Device.Connection.get(), &opened->Requests))));
    *camera = opened;
    return TVS_OK;
}

void tvs_close(tvs_camera *camera) {
    Begin();
    if (camera == nullptr) return;
    bool streaming;
    {
        tvs::Hold lock(camera->StreamMutex);
        streaming = camera->StreamStarted;
        camera->StreamStarted = false;
    }
    if (streaming) StopAndWait(camera, camera->StreamPacketSize);
    camera->Camera.reset();
    tvs::BackendClose(&camera->Device);
    delete camera;
}

uint64_t tvs_request_count(const tvs_camera *camera) {
    return camera != nullptr ? camera->Requests.load(std::memory_order_relaxed) : 0;
}

// ---- Device information --------------------------------------------------

tvs_status tvs_get_device_info(tvs_camera *camera, tvs_device_info *info) {
    Begin();
    if (camera == nullptr || info == nullptr) return TVS_ERROR_INVALID_ARGUMENT;
    memset(info, 0, sizeof *info);
    uint8_t device[18];
    const IoOutcome outcome = camera->Camera->GetDeviceDescriptor(device, sizeof device);
    if (!usbcam::IsNtSuccess(outcome.Status)) return Finish(camera, outcome);
    if (outcome.Information < sizeof device) return Finish(camera, IoOutcome{kStatusUnsuccessful, 0});
    const uint32_t ownStatus = t_lastDriverStatus;
    info->bcd_usb = static_cast<uint16_t>(device[2] | device[3] << 8);
    info->device_class = device[4];
    info->vendor_id = static_cast<uint16_t>(device[8] | device[9] << 8);
    info->product_id = static_cast<uint16_t>(device[10] | device[11] << 8);
    info->bcd_device = static_cast<uint16_t>(device[12] | device[13] << 8);
    CopyText(ReadString(camera, device[14]), info->manufacturer, sizeof info->manufacturer);
    CopyText(ReadString(camera, device[15]), info->product, sizeof info->product);
    CopyText(ReadString(camera, device[16]), info->serial_number, sizeof info->serial_number);

    usbcam::InterfaceTable table;
    bool none = false;
    if (ReadPipeTable(camera, &table, &none) && !none) {
        info->interface_number = table.InterfaceNumber;
        info->alternate_setting = table.AlternateSetting;
        info->pipe_count = static_cast<uint32_t>(std::min<size_t>(table.Pipes.size(), TVS_MAX_PIPES));
        for (uint32_t i = 0; i < info->pipe_count; ++i) {
            const usbcam::PipeEntry &pipe = table.Pipes[i];
            info->pipes[i].index = pipe.Index;
            info->pipes[i].endpoint_address = pipe.EndpointAddress;
            info->pipes[i].type = static_cast<uint8_t>(pipe.PipeType);
            info->pipes[i].interval = pipe.Interval;
            info->pipes[i].max_packet_size = pipe.MaximumPacketSize;
            info->pipes[i].max_transfer_size = pipe.MaximumTransferSize;
        }
    }
    std::vector<uint8_t> configuration(4096);
    const IoOutcome config =
        camera->Camera->GetConfigDescriptor(configuration.data(), static_cast<uint32_t>(configuration.size()));
    if (usbcam::IsNtSuccess(config.Status)) {
        WalkConfiguration(configuration.data(),
                          static_cast<size_t>(std::min<uint64_t>(config.Information, configuration.size())),
                          info->interface_number, &info->setting_count, &info->speed);
    }
    if (info->bcd_usb < 0x0200) info->speed = TVS_SPEED_FULL;
    VersionRecord version;
    if (usbcam::IsNtSuccess(camera->Camera->GetVersion(&version).Status)) info->driver_version = version.VersionValue;
    t_lastDriverStatus = ownStatus;
    return TVS_OK;
}

tvs_status tvs_get_config_descriptor(tvs_camera *camera, void *buffer, uint32_t capacity, uint32_t *length) {
    Begin();
    if (camera == nullptr || buffer == nullptr || capacity == 0) return TVS_ERROR_INVALID_ARGUMENT;
    const IoOutcome outcome = camera->Camera->GetConfigDescriptor(buffer, capacity);
    if (length != nullptr) *length = static_cast<uint32_t>(std::min<uint64_t>(outcome.Information, capacity));
    if (usbcam::IsNtSuccess(outcome.Status) && outcome.Information == 0) return TVS_ERROR_USB;
    return Finish(camera, outcome);
}

tvs_status tvs_get_frame_number(tvs_camera *camera, uint32_t *frame_number) {
    Begin();
    if (camera == nullptr || frame_number == nullptr) return TVS_ERROR_INVALID_ARGUMENT;
    return Finish(camera, camera->Camera->GetFrameNumber(frame_number));
}

tvs_status tvs_get_last_usb_status(tvs_camera *camera, int32_t *usb_status) {
    Begin();
    if (camera == nullptr || usb_status == nullptr) return TVS_ERROR_INVALID_ARGUMENT;
    return Finish(camera, camera->Camera->GetLastStatus(usb_status));
}

tvs_status tvs_set_timeout(tvs_camera *camera, int32_t milliseconds) {
    Begin();
    // A wait of zero or less would end every transfer at once.
    if (camera == nullptr || milliseconds <= 0) return TVS_ERROR_INVALID_ARGUMENT;
    return Finish(camera, camera->Camera->SetTimeout(milliseconds, 1));
}

namespace {

void ReadFrameHeader(const uint8_t *bytes, uint32_t *counter, uint32_t *width, uint32_t *height) {
    *counter = static_cast<uint32_t>(bytes[0] | bytes[1] << 8 | bytes[2] << 16) | static_cast<uint32_t>(bytes[3]) << 24;
    *width = static_cast<uint32_t>(bytes[4] | bytes[5] << 8);
    *height = static_cast<uint32_t>(bytes[6] | bytes[7] << 8);
}

// A frame read that failed. When the camera sent more than the buffer holds
// (an overrun), the header that did arrive says the frame's size: the pipe,
// halted by the overrun, is reset and the rest of that frame drained, so the
// next capture starts clean, and the caller learns the size it needs.
tvs_status FrameOverrun(tvs_camera *camera, const uint8_t *bytes, uint32_t length, tvs_frame_info *info) {
    const uint32_t ownStatus = t_lastDriverStatus;
    const uint32_t usb = static_cast<uint32_t>(LastUsbStatus(camera));
    const bool overrun = usb == 0xC0000008u || usb == 0xC000000Cu || usb == 0xC0000012u;
    uint32_t counter, width, height;
    ReadFrameHeader(bytes, &counter, &width, &height);
    const uint64_t size = uint64_t{width} * height;
    if (!overrun || size <= length || size > 0xFFFFFFFFu) {
        const bool gone = CameraGone(camera);
        t_lastDriverStatus = ownStatus;
        return gone ? TVS_ERROR_DEVICE_GONE : TVS_ERROR_USB;
    }
    camera->Camera->ResetPipe(kFramePipe);
    std::vector<uint8_t> rest;
    if (rest.max_size() > size) {
        rest.resize(static_cast<size_t>(size));
        camera->Camera->ReadPipe(kFramePipe, rest.data(), static_cast<uint32_t>(size));
    }
    t_lastDriverStatus = ownStatus;
    info->width = width;
    info->height = height;
    info->counter = counter;
    return TVS_ERROR_BUFFER_TOO_SMALL;
}

}  // namespace

// ---- Frames ----------------------------------------------------------------

tvs_status tvs_capture_frame(tvs_camera *camera, void *pixels, size_t capacity, tvs_frame_info *info) {
    Begin();
    if (camera == nullptr || pixels == nullptr || info == nullptr || capacity < kFrameHeaderBytes) {
        return TVS_ERROR_INVALID_ARGUMENT;
    }
    memset(info, 0, sizeof *info);
    const uint32_t length = static_cast<uint32_t>(std::min<size_t>(capacity, 0xFFFFFFFFu));
    // More than one transfer of the pipe may carry goes by the segmented read.
    bool large = false;
    usbcam::InterfaceTable table;
    bool none = false;
    if (ReadPipeTable(camera, &table, &none) && !none && kFramePipe < table.Pipes.size() &&
        length > table.Pipes[kFramePipe].MaximumTransferSize) {
        large = true;
    }
    uint8_t *bytes = static_cast<uint8_t *>(pixels);
    memset(bytes, 0, kFrameHeaderBytes);
    const IoOutcome outcome = large ? camera->Camera->ReadPipeLarge(kFramePipe, pixels, length)
                                    : camera->Camera->ReadPipe(kFramePipe, pixels, length);
    if (!usbcam::IsNtSuccess(outcome.Status)) {
        if (outcome.Status == kStatusUnsuccessful) return FrameOverrun(camera, bytes, length, info);
        return Finish(camera, outcome);
    }
    const uint32_t got = static_cast<uint32_t>(std::min<uint64_t>(outcome.Information, length));
    info->bytes = got;
    if (got < kFrameHeaderBytes) return TVS_ERROR_BAD_FRAME;
    uint32_t counter, width, height;
    ReadFrameHeader(bytes, &counter, &width, &height);
    const uint64_t size = uint64_t{width} * height;
    if (size == got) {
        info->width = width;
        info->height = height;
        info->counter = counter;
        return TVS_OK;
    }
    if (size > got && got == length && width != 0 && height != 0) {
        // Cut off by the buffer: say what it takes.
        info->width = width;
        info->height = height;
        info->counter = counter;
        return TVS_ERROR_BUFFER_TOO_SMALL;
    }
    return TVS_ERROR_BAD_FRAME;
}

// ---- Bulk and interrupt transfers ------------------------------------------

namespace {
enum class Bulk { Read,
                  Write,
                  ReadLarge,
                  WriteLarge };

tvs_status BulkTransfer(Bulk kind, tvs_camera *camera, uint32_t pipe, void *buffer, uint32_t length,
                        uint32_t *transferred) {
    Begin();
    if (transferred != nullptr) *transferred = 0;
    if (camera == nullptr || (buffer == nullptr && length != 0)) return TVS_ERROR_INVALID_ARGUMENT;
    IoOutcome outcome;
    switch (kind) {
        case Bulk::Read: outcome = camera->Camera->ReadPipe(pipe, buffer, length); break;
        case Bulk::Write: outcome = camera->Camera->WritePipe(pipe, buffer, length); break;
        case Bulk::ReadLarge: outcome = camera->Camera->ReadPipeLarge(pipe, buffer, length); break;
        case Bulk::WriteLarge: outcome = camera->Camera->WritePipeLarge(pipe, buffer, length); break;
    }
    if (transferred != nullptr) *transferred = static_cast<uint32_t>(std::min<uint64_t>(outcome.Information, length));
    return Finish(camera, outcome);
}
}  // namespace

tvs_status tvs_bulk_read(tvs_camera *camera, uint32_t pipe, void *buffer, uint32_t length, uint32_t *transferred) {
    return BulkTransfer(Bulk::Read, camera, pipe, buffer, length, transferred);
}

tvs_status tvs_bulk_write(tvs_camera *camera, uint32_t pipe, const void *data, uint32_t length,
                          uint32_t *transferred) {
    return BulkTransfer(Bulk::Write, camera, pipe, const_cast<void *>(data), length, transferred);
}

tvs_status tvs_bulk_read_segmented(tvs_camera *camera, uint32_t pipe, void *buffer, uint32_t length,
                                   uint32_t *transferred) {
    return BulkTransfer(Bulk::ReadLarge, camera, pipe, buffer, length, transferred);
}

tvs_status tvs_bulk_write_segmented(tvs_camera *camera, uint32_t pipe, const void *data, uint32_t length,
                                    uint32_t *transferred) {
    return BulkTransfer(Bulk::WriteLarge, camera, pipe, const_cast<void *>(data), length, transferred);
}

// ---- Isochronous transfers and streams --------------------------------------

size_t tvs_iso_buffer_size(uint32_t packet_size, uint32_t packets) {
    const uint64_t size = uint64_t{packets} * (uint64_t{packet_size} + sizeof(IsoPacketDescriptor));
    if (packet_size == 0 || packets == 0 || size > 0xFFFFFFFFu) return 0;
    return static_cast<size_t>(size);
}

tvs_status tvs_iso_read(tvs_camera *camera, const tvs_iso_config *config, uint32_t packets, void *buffer,
                        size_t buffer_size, tvs_iso_packet *packet_info) {
    Begin();
    if (camera == nullptr || !ValidIsoConfig(config) || buffer == nullptr || packet_info == nullptr) {
        return TVS_ERROR_INVALID_ARGUMENT;
    }
    const size_t need = tvs_iso_buffer_size(config->packet_size, packets);
    if (need == 0 || buffer_size < need) return TVS_ERROR_INVALID_ARGUMENT;
    IsoReadRecord record;
    record.PipeIndex = config->pipe;
    record.PacketSize = config->packet_size;
    record.TotalPackets = packets;
    record.PacketsPerRequest = config->packets_per_request;
    record.SlotCount = config->slot_count;
    const IoOutcome outcome = camera->Camera->IsoRead(record, buffer, static_cast<uint32_t>(need));
    if (!usbcam::IsNtSuccess(outcome.Status)) return Finish(camera, outcome);
    TakeDescriptors(static_cast<const uint8_t *>(buffer), config->packet_size, packets, packet_info);
    return TVS_OK;
}

tvs_status tvs_stream_start(tvs_camera *camera, const tvs_iso_config *config) {
    Begin();
    if (camera == nullptr || !ValidIsoConfig(config) || config->ring_packets < config->packets_per_request ||
        tvs_iso_buffer_size(config->packet_size, config->ring_packets) == 0) {
        return TVS_ERROR_INVALID_ARGUMENT;
    }
    StreamStartRecord record;
    record.PipeIndex = config->pipe;
    record.PacketSize = config->packet_size;
    record.RingPackets = config->ring_packets;
    record.PacketsPerRequest = config->packets_per_request;
    record.SlotCount = config->slot_count;
    // Not under StreamMutex: the start may wait for a stop, and a reader of
    // this handle must not wait for the start meanwhile.
    const IoOutcome outcome = StartWhenNoStop(camera, record);
    if (!usbcam::IsNtSuccess(outcome.Status)) return Finish(camera, outcome);
    tvs::Hold lock(camera->StreamMutex);
    camera->StreamStarted = true;
    camera->StreamPacketSize = config->packet_size;
    camera->Tally = usbcam::IsoPacketTally();
    return TVS_OK;
}

namespace {

// One look at the stream: takes what it has collected, up to max_packets.
tvs_status StreamReadOnce(tvs_camera *camera, uint32_t max_packets, void *buffer, size_t buffer_size,
                          tvs_iso_packet *packet_info, uint32_t *packets_read) {
    if (packets_read != nullptr) *packets_read = 0;
    if (camera == nullptr || buffer == nullptr || packet_info == nullptr || packets_read == nullptr ||
        max_packets == 0) {
        return TVS_ERROR_INVALID_ARGUMENT;
    }
    uint32_t packetSize;
    {
        tvs::Hold lock(camera->StreamMutex);
        if (camera->StreamPacketSize == 0) return TVS_ERROR_NO_STREAM;
        packetSize = camera->StreamPacketSize;
    }
    const size_t need = tvs_iso_buffer_size(packetSize, max_packets);
    if (need == 0 || buffer_size < need) return TVS_ERROR_INVALID_ARGUMENT;
    const IoOutcome outcome =
        camera->Camera->ReadStream(packetSize, max_packets, buffer, static_cast<uint32_t>(need));
    if (!usbcam::IsNtSuccess(outcome.Status)) {
        // The driver answers "unsuccessful" when it has no stream: ended, or
        // gone with the camera.
        const tvs_status status = Finish(camera, outcome);
        return status == TVS_ERROR_USB ? TVS_ERROR_NO_STREAM : status;
    }
    const uint32_t taken =
        static_cast<uint32_t>(std::min<uint64_t>(outcome.Information / (uint64_t{packetSize} + 12), max_packets));
    TakeDescriptors(static_cast<const uint8_t *>(buffer), packetSize, taken, packet_info);
    {
        tvs::Hold lock(camera->StreamMutex);
        camera->Tally.AddBuffer(static_cast<const uint8_t *>(buffer), static_cast<size_t>(outcome.Information),
                                packetSize, taken);
    }
    *packets_read = taken;
    return TVS_OK;
}

}  // namespace

tvs_status tvs_stream_read(tvs_camera *camera, uint32_t max_packets, void *buffer, size_t buffer_size,
                           tvs_iso_packet *packet_info, uint32_t *packets_read) {
    Begin();
    const tvs_status status = StreamReadOnce(camera, max_packets, buffer, buffer_size, packet_info, packets_read);
    // Under virtual time the camera's time moves on only while the caller
    // waits in the library: a read that finds nothing waits one bus frame.
    if (status == TVS_OK && *packets_read == 0 && tvs::BackendVirtualTime()) {
        const uint32_t ownStatus = t_lastDriverStatus;
        tvs::BackendPause(1);
        t_lastDriverStatus = ownStatus;
    }
    return status;
}

tvs_status tvs_stream_read_wait(tvs_camera *camera, uint32_t max_packets, void *buffer, size_t buffer_size,
                                tvs_iso_packet *packet_info, uint32_t *packets_read, uint32_t timeout_ms) {
    Begin();
    const uint64_t begun = tvs::BackendNowMicros();
    for (;;) {
        const tvs_status status =
            StreamReadOnce(camera, max_packets, buffer, buffer_size, packet_info, packets_read);
        if (status != TVS_OK || *packets_read != 0) return status;
        if (tvs::BackendNowMicros() - begun >= uint64_t{timeout_ms} * 1000u) return TVS_ERROR_TIMEOUT;
        const uint32_t ownStatus = t_lastDriverStatus;
        tvs::BackendPause(1);
        t_lastDriverStatus = ownStatus;
    }
}

tvs_status tvs_stream_stop(tvs_camera *camera) {
    Begin();
    if (camera == nullptr) return TVS_ERROR_INVALID_ARGUMENT;
    uint32_t packetSize;
    {
        tvs::Hold lock(camera->StreamMutex);
        camera->StreamStarted = false;
        packetSize = camera->StreamPacketSize;
    }
    return StopAndWait(camera, packetSize);
}

tvs_status tvs_stream_get_stats(tvs_camera *camera, tvs_stream_stats *stats) {
    Begin();
    if (camera == nullptr || stats == nullptr) return TVS_ERROR_INVALID_ARGUMENT;
    tvs::Hold lock(camera->StreamMutex);
    memset(stats, 0, sizeof *stats);
    stats->packets = camera->Tally.Packets();
    stats->bytes = camera->Tally.Bytes();
    stats->failed = camera->Tally.FailedPackets();
    stats->sequenced = camera->Tally.SequenceNumbered() ? 1 : 0;
    stats->lost = stats->sequenced ? camera->Tally.LostPackets() : 0;
    return TVS_OK;
}

// ---- Requests to the camera --------------------------------------------------

tvs_status tvs_vendor_read(tvs_camera *camera, uint8_t request, uint16_t value, uint16_t index, void *data,
                           uint16_t length, uint16_t *received, int32_t *usb_status) {
    Begin();
    if (received != nullptr) *received = 0;
    if (camera == nullptr || (data == nullptr && length != 0)) return TVS_ERROR_INVALID_ARGUMENT;
    VendorRequestRecord record;
    memset(&record, 0, sizeof record);
    record.Request = request;
    record.Value = value;
    record.Index = index;
    record.Length = length;
    record.Direction = 1;
    const IoOutcome outcome = camera->Camera->VendorRequest(record, data, length);
    if (received != nullptr) *received = static_cast<uint16_t>(std::min<uint64_t>(outcome.Information, length));
    ReportUsbStatus(camera, usb_status);
    return Finish(camera, outcome);
}

tvs_status tvs_vendor_write(tvs_camera *camera, uint8_t request, uint16_t value, uint16_t index, const void *data,
                            uint16_t length, int32_t *usb_status) {
    Begin();
    if (camera == nullptr || length > 1 || (data == nullptr && length != 0)) return TVS_ERROR_INVALID_ARGUMENT;
    VendorRequestRecord record;
    memset(&record, 0, sizeof record);
    record.Request = request;
    record.Value = value;
    record.Index = index;
    record.Length = length;
    record.Direction = 0;
    record.Data = length == 1 ? *static_cast<const uint8_t *>(data) : 0;
    const IoOutcome outcome = camera->Camera->VendorRequest(record, nullptr, 0);
    ReportUsbStatus(camera, usb_status);
    return Finish(camera, outcome);
}

tvs_status tvs_control_transfer(tvs_camera *camera, int device_to_host, uint8_t type, uint8_t recipient,
                                uint8_t request, uint16_t value, uint16_t index, void *data, uint32_t length,
                                uint32_t *transferred) {
    Begin();
    if (transferred != nullptr) *transferred = 0;
    if (camera == nullptr || (type != TVS_REQUEST_CLASS && type != TVS_REQUEST_VENDOR) ||
        recipient > TVS_RECIPIENT_OTHER || (data == nullptr && length != 0)) {
        return TVS_ERROR_INVALID_ARGUMENT;
    }
    ControlRequestRecord record;
    memset(&record, 0, sizeof record);
    record.Direction = device_to_host ? 1 : 0;
    record.Type = type;
    record.Recipient = recipient;
    record.Request = request;
    record.Value = value;
    record.Index = index;
    const IoOutcome outcome = camera->Camera->ControlRequest(record, data, length);
    if (transferred != nullptr) *transferred = static_cast<uint32_t>(std::min<uint64_t>(outcome.Information, length));
    return Finish(camera, outcome);
}

tvs_status tvs_set_feature(tvs_camera *camera, uint16_t selector, uint16_t index, int32_t *usb_status) {
    Begin();
    if (camera == nullptr) return TVS_ERROR_INVALID_ARGUMENT;
    const IoOutcome outcome = camera->Camera->SetFeature(selector, index);
    ReportUsbStatus(camera, usb_status);
    return Finish(camera, outcome);
}

tvs_status tvs_load_memory(tvs_camera *camera, uint16_t address, const void *data, uint32_t length, int verify,
                           int32_t *usb_status) {
    Begin();
    if (usb_status != nullptr) *usb_status = 0;
    if (camera == nullptr || (data == nullptr && length != 0) || uint64_t{address} + length > kCameraMemoryBytes) {
        return TVS_ERROR_INVALID_ARGUMENT;
    }
    if (length == 0) return TVS_OK;
    const uint8_t *bytes = static_cast<const uint8_t *>(data);
    usbcam::MemoryImage image = usbcam::RawImage(std::vector<uint8_t>(bytes, bytes + length), address);
    return LoadImage(camera, image, verify != 0, usb_status);
}

tvs_status tvs_load_hex(tvs_camera *camera, const char *text, size_t length, int verify, int32_t *usb_status) {
    Begin();
    if (usb_status != nullptr) *usb_status = 0;
    if (camera == nullptr || (text == nullptr && length != 0)) return TVS_ERROR_INVALID_ARGUMENT;
    usbcam::MemoryImage image;
    std::string error;
    if (!usbcam::ReadIntelHex(std::string(text != nullptr ? text : "", length), &image, &error) ||
        image.EndAddress() > kCameraMemoryBytes) {
        return TVS_ERROR_BAD_IMAGE;
    }
    return LoadImage(camera, image, verify != 0, usb_status);
}

// ---- Interface, pipes and port ----------------------------------------------

tvs_status tvs_select_setting(tvs_camera *camera, uint8_t interface_number, uint8_t alternate_setting,
                              int32_t *usb_status) {
    Begin();
    if (camera == nullptr) return TVS_ERROR_INVALID_ARGUMENT;
    const IoOutcome outcome = camera->Camera->SelectInterface(interface_number, alternate_setting);
    const uint32_t ownStatus = t_lastDriverStatus;
    ReportUsbStatus(camera, usb_status);
    if (!usbcam::IsNtSuccess(outcome.Status)) return Finish(camera, outcome);
    // The driver says success whatever happened: read the setting back.
    usbcam::InterfaceTable table;
    bool none = false;
    const bool read = ReadPipeTable(camera, &table, &none);
    t_lastDriverStatus = ownStatus;
    if (read && (none || table.InterfaceNumber != interface_number || table.AlternateSetting != alternate_setting)) {
        // A setting the camera has, refused by the controller for its
        // bandwidth, is told apart from one the camera does not have (whose
        // selection leaves the last USB status as it was).
        const bool noBandwidth =
            LastUsbStatus(camera) == kUsbdNoBandwidth && HasSetting(camera, interface_number, alternate_setting);
        t_lastDriverStatus = ownStatus;
        return noBandwidth ? TVS_ERROR_NO_BANDWIDTH : TVS_ERROR_REFUSED;
    }
    return TVS_OK;
}

tvs_status tvs_reset_pipe(tvs_camera *camera, uint32_t pipe) {
    Begin();
    if (camera == nullptr) return TVS_ERROR_INVALID_ARGUMENT;
    return Finish(camera, camera->Camera->ResetPipe(pipe));
}

tvs_status tvs_abort_pipe(tvs_camera *camera, uint32_t pipe, int32_t *usb_status) {
    Begin();
    if (camera == nullptr) return TVS_ERROR_INVALID_ARGUMENT;
    const IoOutcome outcome = camera->Camera->AbortPipe(pipe);
    ReportUsbStatus(camera, usb_status);
    return Finish(camera, outcome);
}

tvs_status tvs_reset_port(tvs_camera *camera, int32_t *usb_status) {
    Begin();
    if (camera == nullptr) return TVS_ERROR_INVALID_ARGUMENT;
    const IoOutcome outcome = camera->Camera->ResetPort();
    ReportUsbStatus(camera, usb_status);
    return Finish(camera, outcome);
}

// ---- Emulation ---------------------------------------------------------------

tvs_status tvs_emulation_get_state(tvs_emulation_state *state) {
    Begin();
    if (state == nullptr) return TVS_ERROR_INVALID_ARGUMENT;
    memset(state, 0, sizeof *state);
    return tvs::BackendEmulationState(state);
}

tvs_status tvs_emulation_unplug(tvs_camera *camera) {
    Begin();
    if (camera == nullptr) return TVS_ERROR_INVALID_ARGUMENT;
    return tvs::BackendUnplug(camera->Device);
}

tvs_status tvs_emulation_fail_next(tvs_camera *camera, uint8_t endpoint, uint32_t count, int32_t usb_status) {
    Begin();
    if (camera == nullptr || count == 0 || usb_status >= 0) return TVS_ERROR_INVALID_ARGUMENT;
    return tvs::BackendFailNext(camera->Device, endpoint, count, usb_status);
}

tvs_status tvs_save_png(const char *path, const void *pixels, uint32_t width, uint32_t height) {
    Begin();
    if (path == nullptr || path[0] == '\0' || pixels == nullptr || width == 0 || height == 0 ||
        uint64_t{width} * height > 0x7FFFFFFFu) {
        return TVS_ERROR_INVALID_ARGUMENT;
    }
    usbcam::GreyImage image;
    image.Width = width;
    image.Height = height;
    const uint8_t *bytes = static_cast<const uint8_t *>(pixels);
    image.Pixels.assign(bytes, bytes + size_t{width} * height);
    std::vector<uint8_t> png;
    std::string error;
    if (!usbcam::EncodePng(image, &png, &error)) return TVS_ERROR_IO;
    return usbcam::WriteFileBytes(path, png.data(), png.size(), &error) ? TVS_OK : TVS_ERROR_IO;
}

tvs_status tvs_emulation_wait(uint32_t milliseconds) {
    Begin();
    return tvs::BackendWait(milliseconds);
}

}  // extern "C"
