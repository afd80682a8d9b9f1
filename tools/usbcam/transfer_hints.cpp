// The causes usbcam can name for a failed transfer (transfer_hints.h).
#include "transfer_hints.h"

#include <fmt/format.h>

#include "tool_support.h"
#include "usbcam/status_names.h"

namespace usbcam {
namespace cli {
namespace {

const uint32_t kStatusUnsuccessful = 0xC0000001u;
const uint32_t kStatusInvalidParameter = 0xC000000Du;
const uint32_t kStatusIoTimeout = 0xC00000B5u;
const uint32_t kStatusCancelled = 0xC0000120u;
const uint32_t kUsbdStallPid = 0xC0000004u;
const uint32_t kUsbdDataOverrun = 0xC0000008u;
const uint32_t kUsbdBabble = 0xC0000012u;
const uint32_t kUsbdEndpointHalted = 0xC0000030u;
const uint32_t kUsbdDeviceGone = 0xC0007000u;
const uint32_t kReferenceFrameBytes = 640u * 480u;

// "1, 2 and 3": the pipes of the table that fit a read (IN) or a write (OUT)
// over bulk or interrupt.
std::string FittingPipes(const InterfaceTable &table, bool reading) {
    std::string list;
    for (const PipeEntry &pipe : table.Pipes) {
        if (pipe.PipeType != 2 && pipe.PipeType != 3) continue;
        if (((pipe.EndpointAddress & 0x80) != 0) != reading) continue;
        list += (list.empty() ? "" : ", ") + std::to_string(pipe.Index);
    }
    return list;
}

// The pipe does not exist, or its direction or type does not fit.
std::string PipeMismatch(const InterfaceTable &table, const TransferFacts &facts) {
    if (facts.Pipe >= table.Pipes.size()) {
        return fmt::format("the current interface has pipes 0 to {}; `usbcam info` lists them",
                           table.Pipes.empty() ? 0 : table.Pipes.size() - 1);
    }
    const PipeEntry &pipe = table.Pipes[facts.Pipe];
    const bool in = (pipe.EndpointAddress & 0x80) != 0;
    const bool bulkOrInterrupt = pipe.PipeType == 2 || pipe.PipeType == 3;
    if (bulkOrInterrupt && in == facts.Reading) return "";
    const std::string fitting = FittingPipes(table, facts.Reading);
    return fmt::format("pipe {} is {} {} (endpoint 0x{:02x}); {} takes a bulk or interrupt {} pipe{}", facts.Pipe,
                       PipeTypeText(pipe.PipeType), in ? "IN" : "OUT", pipe.EndpointAddress, facts.Verb,
                       facts.Reading ? "IN" : "OUT",
                       fitting.empty() ? " and this setting has none (`usbcam select 0 0`)"
                                       : fmt::format(": here pipe {}", fitting));
}

// A size the pipe does not take in one transfer, or in 64 KiB segments.
std::string SizeMismatch(const InterfaceTable &table, const TransferFacts &facts) {
    const PipeEntry &entry = table.Pipes[facts.Pipe];
    if (!facts.Large && facts.Length > entry.MaximumTransferSize) {
        return fmt::format("pipe {} takes at most {} bytes a transfer; use --large", facts.Pipe,
                           entry.MaximumTransferSize);
    }
    if (facts.Large && entry.MaximumTransferSize < 65536) {
        return fmt::format(
            "pipe {} takes at most {} bytes a transfer, less than one 64 KiB segment of the "
            "segmented transfer; read in the setting the camera starts with, before any `select`",
            facts.Pipe, entry.MaximumTransferSize);
    }
    return "";
}

bool TimedOut(const IoOutcome &outcome, const TransferFacts &facts) {
    if (outcome.Status == kStatusIoTimeout) return true;
    if (facts.TimeoutMs <= 0) return false;
    const bool plausible = outcome.Status == kStatusUnsuccessful || outcome.Status == kStatusCancelled;
    // The driver's timer fires at the time-out; a little scheduling slack below it.
    return plausible && facts.Seconds * 1000.0 >= 0.95 * facts.TimeoutMs;
}

std::string TimeoutHint(const TransferFacts &facts) {
    const std::string waited =
        facts.TimeoutMs > 0 ? fmt::format("the request waited the driver's whole {} ms time-out ({:.1f} s)",
                                          facts.TimeoutMs, facts.Seconds)
                            : "the request waited the driver's whole time-out";
    return fmt::format(
        "{} and the camera did not finish it; check that the camera sends on pipe {}, or give it "
        "longer with `usbcam timeout MS`",
        waited, facts.Pipe);
}

// The camera sent more than was asked for: a read shorter than what the
// camera sends in one go (a frame, on the frame pipe).
std::string OverrunHint(const TransferFacts &facts) {
    if (facts.Frame) {
        return fmt::format(
            "the camera's frame is larger than the {} bytes of --bytes (the reference camera's is "
            "{} bytes, 640 x 480); leave --bytes out",
            facts.Length, kReferenceFrameBytes);
    }
    return fmt::format(
        "the camera sent more than the {} bytes asked for; ask for a whole frame or message "
        "(on pipe 2: usbcam read 2 {} --large)",
        facts.Length, kReferenceFrameBytes);
}

}  // namespace

const char *const kGoneHint =
    "the camera went away (unplugged, or removed by the system); plug it in again and run `usbcam list`";

bool IsGoneStatus(uint32_t status) {
    switch (status) {
        case 0xC0000056u:  // STATUS_DELETE_PENDING
        case 0xC000009Du:  // STATUS_DEVICE_NOT_CONNECTED
        case 0xC000000Eu:  // STATUS_NO_SUCH_DEVICE
        case 0xC00002B6u:  // STATUS_DEVICE_REMOVED
            return true;
    }
    return false;
}

bool CameraGone(Camera *camera, uint32_t failedStatus, int32_t lastUsb) {
    if (IsGoneStatus(failedStatus) || lastUsb == static_cast<int32_t>(kUsbdDeviceGone)) return true;
    // The driver refused it before the camera saw it: no reason to ask.
    if (failedStatus != kStatusUnsuccessful && failedStatus != kStatusCancelled) return false;
    uint8_t device[18] = {};
    const IoOutcome probe = camera->GetDeviceDescriptor(device, sizeof device);
    // The driver may answer STATUS_SUCCESS with no bytes when the camera did not.
    const bool answered = IsNtSuccess(probe.Status) && probe.Information >= sizeof device;
    return IsGoneStatus(probe.Status) ||
           (!answered && LastUsbStatus(camera) == static_cast<int32_t>(kUsbdDeviceGone));
}

uint32_t IsoPacketBytes(const PipeEntry &pipe) {
    // The pipe table holds the bytes per interval already for a
    // high-bandwidth endpoint (3072 for 3 x 1024), else wMaxPacketSize.
    if (pipe.MaximumPacketSize > 1024) return pipe.MaximumPacketSize;
    return (pipe.MaximumPacketSize & 0x7FFu) * (((pipe.MaximumPacketSize >> 11) & 3u) + 1);
}

std::string TransferHint(Camera *camera, const IoOutcome &outcome, int32_t lastUsb, const TransferFacts &facts) {
    if (CameraGone(camera, outcome.Status, lastUsb)) return kGoneHint;
    InterfaceTable table;
    std::string why;
    if (!ReadPipeTable(camera, &table, &why)) return why;
    const std::string mismatch = PipeMismatch(table, facts);
    if (!mismatch.empty()) return mismatch;
    if (TimedOut(outcome, facts)) return TimeoutHint(facts);
    const uint32_t usb = static_cast<uint32_t>(lastUsb);
    if (facts.Reading && (usb == kUsbdDataOverrun || usb == kUsbdBabble)) return OverrunHint(facts);
    if (usb == kUsbdStallPid || usb == kUsbdEndpointHalted) {
        return fmt::format("the camera halted pipe {} (a stall); clear it with `usbcam reset-pipe {}`", facts.Pipe,
                           facts.Pipe);
    }
    if (outcome.Status == kStatusInvalidParameter) return SizeMismatch(table, facts);
    return "";
}

std::string StreamHint(Camera *camera, const IoOutcome &outcome, int32_t lastUsb, uint32_t pipe,
                       uint32_t perRequest, uint32_t packetSize, uint64_t packets) {
    if (CameraGone(camera, outcome.Status, lastUsb)) return kGoneHint;
    InterfaceTable table;
    std::string why;
    const uint64_t requestBytes = uint64_t{perRequest} * packetSize;
    // Requests larger than the pipe takes fail at once; a stream that has
    // carried packets did not stop for their size.
    if (packets == 0 && ReadPipeTable(camera, &table, &why) && pipe < table.Pipes.size() &&
        requestBytes > table.Pipes[pipe].MaximumTransferSize) {
        return fmt::format(
            "each request carries {} x {} = {} bytes, more than the {} bytes pipe {} takes a "
            "transfer; use a smaller --per-request",
            perRequest, packetSize, requestBytes, table.Pipes[pipe].MaximumTransferSize, pipe);
    }
    return "the stream stopped: its requests failed (see the last USB status); start it again, after "
           "`usbcam reset-pipe " +
           std::to_string(pipe) + "` if the pipe is halted";
}

}  // namespace cli
}  // namespace usbcam
