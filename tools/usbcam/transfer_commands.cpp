// The data commands: read, write, capture, iso-read and stream.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <chrono>
#include <thread>

#include <fmt/format.h>

#include "tool_support.h"
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

// A hint for a pipe transfer the driver refused as invalid: says what the
// pipe table allows.
std::string PipeHint(Camera *camera, uint32_t pipe, uint64_t length, bool large) {
    InterfaceTable table;
    std::string why;
    if (!ReadPipeTable(camera, &table, &why)) return why;
    if (pipe >= table.Pipes.size()) {
        return fmt::format("the current interface has pipes 0 to {}; `usbcam info` lists them",
                           table.Pipes.size() == 0 ? 0 : table.Pipes.size() - 1);
    }
    const PipeEntry &entry = table.Pipes[pipe];
    if (entry.PipeType != 2 && entry.PipeType != 3) {
        return fmt::format("pipe {} is {}; read and write take bulk or interrupt pipes", pipe,
                           PipeTypeText(entry.PipeType));
    }
    if (!large && length > entry.MaximumTransferSize) {
        return fmt::format("pipe {} takes at most {} bytes a transfer; use --large", pipe, entry.MaximumTransferSize);
    }
    if (large && entry.MaximumTransferSize < 65536) {
        return fmt::format(
            "pipe {} takes at most {} bytes a transfer, less than one 64 KiB segment of the "
            "segmented transfer; read in the setting the camera starts with, before any `select`",
            pipe, entry.MaximumTransferSize);
    }
    return "";
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
    IoOutcome outcome;
    if (reading) {
        outcome = command.Large ? camera->ReadPipeLarge(command.Pipe, data.data(), length)
                                : camera->ReadPipe(command.Pipe, data.data(), length);
    } else {
        outcome = command.Large ? camera->WritePipeLarge(command.Pipe, data.data(), length)
                                : camera->WritePipe(command.Pipe, data.data(), length);
    }
    const double seconds = SecondsSince(start);
    if (!IsNtSuccess(outcome.Status)) {
        const std::string hint =
            outcome.Status == kStatusInvalidParameter ? PipeHint(camera, command.Pipe, length, command.Large) : "";
        std::string text = Failure(camera, command.Text, outcome, hint);
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
                  std::string *error) {
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
        const IoOutcome outcome = large ? camera->ReadPipeLarge(kFramePipe, bytes.data(), frameBytes)
                                        : camera->ReadPipe(kFramePipe, bytes.data(), frameBytes);
        if (!IsNtSuccess(outcome.Status)) {
            const std::string hint =
                outcome.Status == kStatusInvalidParameter ? PipeHint(camera, kFramePipe, frameBytes, large) : "";
            *error = Failure(camera, asked, outcome, hint);
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
    for (uint32_t i = 1; i <= command.Count; ++i) {
        CapturedFrame frame;
        const std::string asked = command.Count == 1 ? command.Text : fmt::format("{} (frame {})", command.Text, i);
        if (!CaptureFrame(camera, command.Large, command.FrameBytes, asked, &frame, error)) return false;
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

std::string StreamSummaryText(const StreamSummary &s) {
    return fmt::format("{} packets, {} bytes ({}/s), {} failed, {} lost in {:.2f} s{}", s.Packets, s.Bytes,
                       HumanBytes(s.Seconds > 0 ? s.Bytes / s.Seconds : 0), s.Failed,
                       s.Sequenced ? std::to_string(s.Lost) : std::string("unknown (no sequence numbers)"),
                       s.Seconds,
                       s.OutOfOrder != 0 ? fmt::format(" ({} out of order)", s.OutOfOrder) : std::string());
}

bool RunStreamCore(const ToolCommand &command, Camera *camera, const std::string &outputPath, StreamSummary *summary,
                   std::string *error) {
    *summary = StreamSummary();
    const uint64_t stride = uint64_t{command.PacketSize} + sizeof(IsoPacketDescriptor);
    // Each read asks for the whole ring (so what comes back is the ring's
    // fill), within 16 MiB of buffer.
    uint64_t readPackets = std::min<uint64_t>(command.RingPackets, std::max<uint64_t>(1, (16u << 20) / stride));
    FILE *file = nullptr;
    if (!outputPath.empty()) {
        file = fopen(outputPath.c_str(), "wb");
        if (file == nullptr) {
            *error = command.Text + ": cannot write " + outputPath + ": " + strerror(errno);
            return false;
        }
    }
    StreamStartRecord record;
    record.PipeIndex = command.Pipe;
    record.PacketSize = command.PacketSize;
    record.RingPackets = command.RingPackets;
    record.PacketsPerRequest = command.PerRequest;
    record.SlotCount = command.Slots;
    IoOutcome outcome = camera->StartStream(record);
    if (!IsNtSuccess(outcome.Status)) {
        if (file != nullptr) fclose(file);
        *error = Failure(camera, command.Text, outcome,
                         outcome.Status == kStatusInvalidParameter
                             ? "check that the pipe is isochronous in the current setting (`usbcam info`; the "
                               "stream selects nothing itself) and the packet counts"
                             : "");
        return false;
    }
    std::vector<uint8_t> buffer(static_cast<size_t>(readPackets * stride));
    IsoPacketTally tally;
    ProgressLine progress;
    const auto start = std::chrono::steady_clock::now();
    auto lastShown = start;
    bool ok = true;
    for (;;) {
        const double elapsed = SecondsSince(start);
        if (command.Packets == 0 ? elapsed >= command.Seconds : tally.Packets() >= command.Packets) break;
        uint64_t want = readPackets;
        if (command.Packets != 0) want = std::min<uint64_t>(want, command.Packets - tally.Packets());
        const uint32_t length = static_cast<uint32_t>(want * stride);
        outcome = camera->ReadStream(command.PacketSize, static_cast<uint32_t>(want), buffer.data(), length);
        if (!IsNtSuccess(outcome.Status)) {
            std::string hint =
                "the stream stopped (its requests failed, or the camera went away); see the last USB status";
            InterfaceTable table;
            std::string why;
            const uint64_t requestBytes = uint64_t{command.PerRequest} * command.PacketSize;
            if (ReadPipeTable(camera, &table, &why) && command.Pipe < table.Pipes.size() &&
                requestBytes > table.Pipes[command.Pipe].MaximumTransferSize) {
                hint = fmt::format(
                    "each request carries {} x {} = {} bytes, more than the {} bytes pipe {} takes a "
                    "transfer; use a smaller --per-request",
                    command.PerRequest, command.PacketSize, requestBytes,
                    table.Pipes[command.Pipe].MaximumTransferSize, command.Pipe);
            }
            *error = Failure(camera, command.Text + " (reading the stream)", outcome, hint);
            ok = false;
            break;
        }
        ++summary->Reads;
        const uint32_t taken = static_cast<uint32_t>(std::min<uint64_t>(outcome.Information / stride, want));
        tally.AddBuffer(buffer.data(), static_cast<size_t>(outcome.Information), command.PacketSize, taken);
        if (file != nullptr && taken != 0) {
            const uint8_t *descriptors = buffer.data() + size_t{taken} * command.PacketSize;
            for (uint32_t i = 0; i < taken; ++i) {
                IsoPacketDescriptor d;
                memcpy(&d, descriptors + size_t{i} * sizeof d, sizeof d);
                if (d.Status == 0) {
                    fwrite(buffer.data() + size_t{i} * command.PacketSize, 1, std::min(d.Length, command.PacketSize),
                           file);
                }
            }
        }
        const auto now = std::chrono::steady_clock::now();
        if (now - lastShown > std::chrono::milliseconds(200)) {
            lastShown = now;
            const double t = SecondsSince(start);
            progress.Show(fmt::format("stream {:.1f} s  {} packets  {}/s  failed {}  lost {}  ring {:.0f}%", t,
                                      tally.Packets(), HumanBytes(t > 0 ? tally.Bytes() / t : 0), tally.FailedPackets(),
                                      tally.SequenceNumbered() ? std::to_string(tally.LostPackets()) : "?",
                                      100.0 * taken / command.RingPackets));
        }
        if (taken == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    progress.Finish();
    const IoOutcome stopped = camera->StopStream();
    summary->Seconds = SecondsSince(start);
    summary->Packets = tally.Packets();
    summary->Bytes = tally.Bytes();
    summary->Failed = tally.FailedPackets();
    summary->Lost = tally.LostPackets();
    summary->OutOfOrder = tally.OutOfOrderPackets();
    summary->Sequenced = tally.SequenceNumbered();
    if (file != nullptr && fclose(file) != 0 && ok) {
        *error = command.Text + ": cannot write " + outputPath;
        return false;
    }
    if (ok && !IsNtSuccess(stopped.Status)) {
        *error = Failure(camera, command.Text + " (stopping the stream)", stopped);
        return false;
    }
    return ok;
}

bool RunStream(const ToolCommand &command, ToolContext &context, std::string *error) {
    Camera *camera = context.OpenCamera(error);
    if (camera == nullptr) return false;
    StreamSummary summary;
    if (!RunStreamCore(command, camera, command.OutputPath, &summary, error)) return false;
    Report report(command.Text);
    report["packets"] = summary.Packets;
    report["bytes"] = summary.Bytes;
    report["failed_packets"] = summary.Failed;
    report["lost_packets"] = summary.Sequenced ? nlohmann::json(summary.Lost) : nlohmann::json();
    report["out_of_order_packets"] = summary.OutOfOrder;
    report["seconds"] = summary.Seconds;
    report["reads"] = summary.Reads;
    report.Line(StreamSummaryText(summary));
    report.Print(context);
    return true;
}

}  // namespace cli
}  // namespace usbcam
