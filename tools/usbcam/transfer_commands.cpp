// The data commands: read, write, capture and iso-read (stream: stream_command.cpp).
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <chrono>
#include <thread>

#include <fmt/format.h>

#include "interrupt.h"
#include "session.h"
#include "tool_support.h"
#include "transfer_hints.h"
#include "usbcam/iso_packets.h"
#include "usbcam/status_names.h"
#include "usbcam/text.h"

namespace usbcam {
namespace cli {
namespace {

const uint32_t kFramePipe = 2;
const uint32_t kStatusInvalidParameter = 0xC000000Du;

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

bool RunTransfer(const ToolCommand &command, ToolContext &context, std::string *error) {
    const bool reading = command.What == Tool::Read;
    std::vector<uint8_t> data;
    if (reading) {
        data.assign(command.Length, 0);
    } else if (!ReadFileBytes(command.File, &data, error)) {
        *error = command.Text + ": " + *error;
        return false;
    } else if (data.size() > 0xFFFFFFFFu) {
        *error = command.Text + ": the file is larger than one request can carry (4 GiB)";
        return false;
    }
    Camera *camera = context.OpenCamera(error);
    if (camera == nullptr) return false;
    const uint32_t length = static_cast<uint32_t>(data.size());
    const auto start = std::chrono::steady_clock::now();
    InterruptScope interrupt;
    IoOutcome outcome;
    {
        AbortOnInterrupt abort(context.Owner->device(), command.Pipe);
        if (reading) {
            outcome = command.Large ? camera->ReadPipeLarge(command.Pipe, data.data(), length)
                                    : camera->ReadPipe(command.Pipe, data.data(), length);
        } else {
            outcome = command.Large ? camera->WritePipeLarge(command.Pipe, data.data(), length)
                                    : camera->WritePipe(command.Pipe, data.data(), length);
        }
    }
    const double seconds = SecondsSince(start);
    if (!IsNtSuccess(outcome.Status) && InterruptScope::Interrupted()) {
        *error = fmt::format(
            "{}: stopped by Ctrl-C after {:.1f} s: the transfer was aborted with {} of {} bytes "
            "moved ({}); try: run it again",
            command.Text, seconds, outcome.Information, length, FormatNtStatus(outcome.Status));
        return false;
    }
    if (!IsNtSuccess(outcome.Status)) {
        TransferFacts facts;
        facts.Verb = reading ? "read" : "write";
        facts.Reading = reading;
        facts.Pipe = command.Pipe;
        facts.Length = length;
        facts.Large = command.Large;
        facts.Seconds = seconds;
        facts.TimeoutMs = context.TimeoutMs();
        const int32_t lastUsb = LastUsbStatus(camera);
        std::string text =
            FailureText(command.Text, outcome.Status, lastUsb, TransferHint(camera, outcome, lastUsb, facts));
        if (outcome.Information != 0) text += fmt::format(" ({} bytes moved before it failed)", outcome.Information);
        *error = text;
        return false;
    }
    const size_t moved = static_cast<size_t>(std::min<uint64_t>(outcome.Information, length));
    Report report(command.Text);
    report["pipe"] = command.Pipe;
    report["bytes"] = moved;
    report["requested"] = length;
    report["seconds"] = seconds;
    report.Line(fmt::format("{} {} of {} bytes {} pipe {} in {:.3f} s{}", reading ? "read" : "wrote", moved, length,
                            reading ? "from" : "to", command.Pipe, seconds,
                            command.Large ? " (segmented transfer)" : ""));
    if (reading) {
        if (!command.OutputPath.empty()) {
            if (!WriteFileBytes(command.OutputPath, data.data(), moved, error)) {
                *error = command.Text + ": " + *error;
                return false;
            }
            report["file"] = command.OutputPath;
            report.Line("written to " + command.OutputPath);
        } else {
            report.Line(HexDump(data.data(), moved).substr(0));
            report["data"] = FormatHexBytes(data.data(), std::min<size_t>(moved, 65536));
        }
    }
    report.Print(context);
    return true;
}

bool CaptureFrame(Camera *camera, bool large, uint32_t frameBytes, const std::string &asked, CapturedFrame *frame,
                  std::string *error, int32_t timeoutMs) {
    std::vector<uint8_t> bytes(frameBytes);
    if (!large) {
        // A frame larger than one transfer of the pipe may carry (after a
        // selection the driver allows 64 KiB) goes by the segmented transfer.
        InterfaceTable table;
        std::string why;
        if (ReadPipeTable(camera, &table, &why) && kFramePipe < table.Pipes.size() &&
            frameBytes > table.Pipes[kFramePipe].MaximumTransferSize) {
            large = true;
        }
    }
    size_t got = 0;
    // A read that came back short and without a frame header took the rest
    // of a frame an earlier client read only part of (`read 2 4096`): the
    // camera keeps a frame's remainder for the next read. The read after it
    // starts a whole frame.
    for (int attempt = 0; attempt < 2; ++attempt) {
        const auto start = std::chrono::steady_clock::now();
        const IoOutcome outcome = large ? camera->ReadPipeLarge(kFramePipe, bytes.data(), frameBytes)
                                        : camera->ReadPipe(kFramePipe, bytes.data(), frameBytes);
        if (!IsNtSuccess(outcome.Status)) {
            TransferFacts facts;
            facts.Verb = "capture";
            facts.Pipe = kFramePipe;
            facts.Length = frameBytes;
            facts.Large = large;
            facts.Frame = true;
            facts.Seconds = SecondsSince(start);
            facts.TimeoutMs = timeoutMs;
            const int32_t lastUsb = LastUsbStatus(camera);
            *error = FailureText(asked, outcome.Status, lastUsb, TransferHint(camera, outcome, lastUsb, facts));
            return false;
        }
        got = static_cast<size_t>(std::min<uint64_t>(outcome.Information, frameBytes));
        frame->HasHeader = ParseFrameHeader(bytes.data(), got, &frame->Header);
        if (frame->HasHeader || got == 0 || got == frameBytes) break;
    }
    frame->Bytes = got;
    if (frame->HasHeader) {
        frame->Image.Width = frame->Header.Width;
        frame->Image.Height = frame->Header.Height;
    } else if (got == 640u * 480u) {
        frame->Image.Width = 640;
        frame->Image.Height = 480;
    } else if (got == 0) {
        *error = FailureText(asked, 0xC0000001u, LastUsbStatus(camera),
                             "the camera sent no frame; check the current setting with `usbcam info` (frames come "
                             "on pipe 2 of alternate setting 0)");
        return false;
    } else {
        // Not the camera's framed format: one row per 640 bytes, what is there.
        frame->Image.Width = got < 640 ? static_cast<uint32_t>(got) : 640;
        frame->Image.Height = static_cast<uint32_t>(got / frame->Image.Width);
    }
    bytes.resize(size_t{frame->Image.Width} * frame->Image.Height);
    frame->Image.Pixels = std::move(bytes);
    return true;
}

namespace {

// "shot.png", 3 of 5 -> "shot-3.png"
std::string NumberedPath(const std::string &path, uint32_t number, uint32_t count) {
    if (count == 1) return path;
    const size_t dot = path.rfind('.');
    const size_t slash = path.find_last_of("/\\");
    const size_t at = (dot == std::string::npos || (slash != std::string::npos && dot < slash)) ? path.size() : dot;
    return path.substr(0, at) + "-" + std::to_string(number) + path.substr(at);
}

}  // namespace

bool RunCapture(const ToolCommand &command, ToolContext &context, std::string *error) {
    Camera *camera = context.OpenCamera(error);
    if (camera == nullptr) return false;
    Report report(command.Text);
    report["frames"] = nlohmann::json::array();
    ProgressLine progress;
    InterruptScope interrupt;
    uint32_t captured = 0;
    for (uint32_t i = 1; i <= command.Count && !InterruptScope::Interrupted(); ++i) {
        CapturedFrame frame;
        const std::string asked = command.Count == 1 ? command.Text : fmt::format("{} (frame {})", command.Text, i);
        if (!CaptureFrame(camera, command.Large, command.FrameBytes, asked, &frame, error,
                          context.TimeoutMs())) {
            return false;
        }
        captured = i;
        const std::string path = NumberedPath(command.OutputPath, i, command.Count);
        if (!WriteImageFile(path, frame.Image, error)) {
            *error = command.Text + ": " + *error;
            return false;
        }
        nlohmann::json entry = {{"file", path}, {"width", frame.Image.Width}, {"height", frame.Image.Height}, {"bytes", frame.Bytes}};
        if (frame.HasHeader) entry["counter"] = frame.Header.Counter;
        report["frames"].push_back(entry);
        report.Line(fmt::format("{}: {} x {} frame{}, {} bytes", path, frame.Image.Width, frame.Image.Height,
                                frame.HasHeader ? fmt::format(" {}", frame.Header.Counter) : "", frame.Bytes));
        if (command.Count > 1) progress.Show(fmt::format("capture: {} of {} frames", i, command.Count));
    }
    progress.Finish();
    report["stopped_by"] = captured == command.Count ? "count" : "interrupt";
    if (captured != command.Count) {
        report.Line(fmt::format("stopped by Ctrl-C after {} of {} frames", captured, command.Count));
    }
    report.Print(context);
    return true;
}

bool RunIsoRead(const ToolCommand &command, ToolContext &context, std::string *error) {
    const uint64_t total = uint64_t{command.Packets} * (uint64_t{command.PacketSize} + sizeof(IsoPacketDescriptor));
    if (total > (1ull << 30)) {
        *error = command.Text + ": the buffer would be " + std::to_string(total) +
                 " bytes; try: fewer packets (at most 1 GiB a request)";
        return false;
    }
    Camera *camera = context.OpenCamera(error);
    if (camera == nullptr) return false;
    std::vector<uint8_t> buffer(static_cast<size_t>(total));
    IsoReadRecord record;
    record.PipeIndex = command.Pipe;
    record.PacketSize = command.PacketSize;
    record.TotalPackets = command.Packets;
    record.PacketsPerRequest = command.PerRequest;
    record.SlotCount = command.Slots;
    const auto start = std::chrono::steady_clock::now();
    const IoOutcome outcome = camera->IsoRead(record, buffer.data(), static_cast<uint32_t>(buffer.size()));
    const double seconds = SecondsSince(start);
    if (!IsNtSuccess(outcome.Status)) {
        *error = Failure(camera, command.Text, outcome,
                         outcome.Status == kStatusInvalidParameter
                             ? "check that the pipe is isochronous in the current setting (`usbcam info`; select "
                               "one with `usbcam select`) and the packet counts"
                             : "");
        return false;
    }
    IsoPacketTally tally;
    tally.AddBuffer(buffer.data(), buffer.size(), command.PacketSize, command.Packets);
    if (!command.OutputPath.empty()) {
        std::vector<uint8_t> payload;
        const uint8_t *descriptors = buffer.data() + size_t{command.Packets} * command.PacketSize;
        for (uint32_t i = 0; i < command.Packets; ++i) {
            IsoPacketDescriptor d;
            memcpy(&d, descriptors + size_t{i} * sizeof d, sizeof d);
            const uint8_t *p = buffer.data() + size_t{i} * command.PacketSize;
            if (d.Status == 0) payload.insert(payload.end(), p, p + std::min(d.Length, command.PacketSize));
        }
        if (!WriteFileBytes(command.OutputPath, payload.data(), payload.size(), error)) {
            *error = command.Text + ": " + *error;
            return false;
        }
    }
    Report report(command.Text);
    report["packets"] = tally.Packets();
    report["bytes"] = tally.Bytes();
    report["failed_packets"] = tally.FailedPackets();
    report["lost_packets"] = tally.SequenceNumbered() ? nlohmann::json(tally.LostPackets()) : nlohmann::json();
    report["out_of_order_packets"] = tally.OutOfOrderPackets();
    report["seconds"] = seconds;
    report.Line(fmt::format("{} packets, {} bytes, {} failed, {} lost in {:.3f} s{}", tally.Packets(), tally.Bytes(),
                            tally.FailedPackets(),
                            tally.SequenceNumbered() ? std::to_string(tally.LostPackets()) : "unknown (no sequence numbers)",
                            seconds, command.OutputPath.empty() ? "" : "; payload written to " + command.OutputPath));
    report.Print(context);
    return true;
}

}  // namespace cli
}  // namespace usbcam
