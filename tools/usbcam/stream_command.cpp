// stream: a continuous isochronous stream, drained until its time or packet
// bound, Ctrl-C or the camera's going away, then a summary. Without a pipe
// and sizes it takes the selected setting's first isochronous IN pipe and its
// packet size (--setting N selects that setting first).
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <chrono>
#include <thread>

#include <fmt/format.h>

#include "bandwidth_hint.h"
#include "interrupt.h"
#include "tool_support.h"
#include "transfer_hints.h"
#include "usbcam/iso_packets.h"
#include "usbcam/status_names.h"

namespace usbcam {
namespace cli {
namespace {

const uint32_t kStatusInvalidParameter = 0xC000000Du;
// The defaults of a stream, as the SDK's: 16 packets a request (fewer when a
// request would exceed what the pipe takes), 8 requests in flight, a ring of
// 8192 packets.
const uint32_t kDefaultPerRequest = 16;
const uint32_t kDefaultSlots = 8;
const uint32_t kDefaultRingPackets = 8192;

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

bool SelectSetting(Camera *camera, const ToolCommand &command, std::string *error) {
    InterfaceTable table;
    std::string why;
    const uint8_t interface = ReadPipeTable(camera, &table, &why) ? table.InterfaceNumber : 0;
    const uint8_t setting = static_cast<uint8_t>(command.Setting);
    const IoOutcome outcome = camera->SelectInterface(interface, setting);
    const std::string asked = fmt::format("{} (selecting setting {})", command.Text, command.Setting);
    if (IsNtSuccess(outcome.Status)) {
        // The driver answers success whatever happened: a setting the
        // controller had no bandwidth for is kept out, the old one stays.
        if (ReadPipeTable(camera, &table, &why) && table.AlternateSetting != setting &&
            NoBandwidthFailure(camera, asked, interface, setting, true, error)) {
            return false;
        }
        return true;
    }
    const int32_t lastUsb = LastUsbStatus(camera);
    *error = FailureText(asked, outcome.Status, lastUsb,
                         CameraGone(camera, outcome.Status, lastUsb)
                             ? kGoneHint
                             : "check the settings the camera has with `usbcam info` (Interface Descriptor "
                               "bAlternateSetting)");
    return false;
}

// The first isochronous IN pipe of the current setting (or the pipe given).
bool ChooseIsoPipe(const InterfaceTable &table, const ToolCommand &command, const PipeEntry **chosen,
                   std::string *error) {
    for (const PipeEntry &pipe : table.Pipes) {
        if (command.PipeGiven && pipe.Index != command.Pipe) continue;
        if (pipe.PipeType == 1 && (pipe.EndpointAddress & 0x80) != 0) {
            *chosen = &pipe;
            return true;
        }
    }
    const std::string what = command.PipeGiven ? fmt::format("pipe {} of setting {} is no isochronous IN pipe",
                                                             command.Pipe, table.AlternateSetting)
                                               : fmt::format("setting {} has no isochronous IN pipe",
                                                             table.AlternateSetting);
    *error = fmt::format(
        "{}: {}; try: usbcam stream --setting N, N a setting with one (`usbcam info` lists them; the reference "
        "camera's are 1 and 3)",
        command.Text, what);
    return false;
}

}  // namespace

bool ResolveStream(Camera *camera, ToolCommand *command, std::string *error) {
    if (command->Setting >= 0 && !SelectSetting(camera, *command, error)) return false;
    if (command->PipeGiven && command->PacketSize != 0 && command->PerRequest != 0) {
        if (command->Slots == 0) command->Slots = kDefaultSlots;
        if (command->RingPackets == 0) command->RingPackets = kDefaultRingPackets;
        return true;
    }
    InterfaceTable table;
    std::string why;
    if (!ReadPipeTable(camera, &table, &why)) {
        *error = command->Text + ": " + why;
        return false;
    }
    const PipeEntry *pipe = nullptr;
    if (!ChooseIsoPipe(table, *command, &pipe, error)) return false;
    command->Pipe = pipe->Index;
    if (command->PacketSize == 0) command->PacketSize = IsoPacketBytes(*pipe);
    if (command->PerRequest == 0) {
        const uint32_t fit = pipe->MaximumTransferSize / std::max<uint32_t>(1, command->PacketSize);
        command->PerRequest = std::max<uint32_t>(1, std::min(kDefaultPerRequest, fit));
    }
    if (command->Slots == 0) command->Slots = kDefaultSlots;
    if (command->RingPackets == 0) command->RingPackets = std::max(kDefaultRingPackets, command->PerRequest);
    return true;
}

std::string StreamSummaryText(const StreamSummary &s) {
    return fmt::format("{} packets, {} bytes ({}/s), {} failed, {} lost in {:.2f} s{}", s.Packets, s.Bytes,
                       HumanBytes(s.Seconds > 0 ? s.Bytes / s.Seconds : 0), s.Failed,
                       s.Sequenced ? std::to_string(s.Lost) : std::string("unknown (no sequence numbers)"),
                       s.Seconds,
                       s.OutOfOrder != 0 ? fmt::format(" ({} out of order)", s.OutOfOrder) : std::string());
}

namespace {

// The packets' payload, as it arrives, to a file.
void WritePayload(FILE *file, const uint8_t *buffer, uint32_t packets, uint32_t packetSize) {
    const uint8_t *descriptors = buffer + size_t{packets} * packetSize;
    for (uint32_t i = 0; i < packets; ++i) {
        IsoPacketDescriptor d;
        memcpy(&d, descriptors + size_t{i} * sizeof d, sizeof d);
        if (d.Status == 0) fwrite(buffer + size_t{i} * packetSize, 1, std::min(d.Length, packetSize), file);
    }
}

bool StartStream(const ToolCommand &command, Camera *camera, std::string *error) {
    StreamStartRecord record;
    record.PipeIndex = command.Pipe;
    record.PacketSize = command.PacketSize;
    record.RingPackets = command.RingPackets;
    record.PacketsPerRequest = command.PerRequest;
    record.SlotCount = command.Slots;
    const IoOutcome outcome = camera->StartStream(record);
    if (IsNtSuccess(outcome.Status)) return true;
    const int32_t lastUsb = LastUsbStatus(camera);
    std::string hint;
    if (CameraGone(camera, outcome.Status, lastUsb)) {
        hint = kGoneHint;
    } else if (outcome.Status == kStatusInvalidParameter) {
        hint =
            "check that the pipe is isochronous in the current setting (`usbcam info`; --setting N selects "
            "one) and the packet counts";
    }
    *error = FailureText(command.Text, outcome.Status, lastUsb, hint);
    return false;
}

// The stream's loop: reads what the rings hold until a bound, Ctrl-C or a
// failed read. Returns false with *error on the failure.
class StreamDrain {
public:
    StreamDrain(const ToolCommand &command, Camera *camera, FILE *file)
        : command_(command), camera_(camera), file_(file), stride_(uint64_t{command.PacketSize} + sizeof(IsoPacketDescriptor)),
          // Each read asks for the whole ring (so what comes back is the
          // ring's fill), within 16 MiB of buffer.
          readPackets_(std::min<uint64_t>(command.RingPackets, std::max<uint64_t>(1, (16u << 20) / stride_))),
          buffer_(static_cast<size_t>(readPackets_ * stride_)) {}

    bool Run(StreamSummary *summary, std::string *error);

private:
    const char *Bound() const;
    bool ReadOnce(StreamSummary *summary, std::string *error);
    void ShowProgress(uint32_t taken);

    const ToolCommand &command_;
    Camera *camera_;
    FILE *file_;
    uint64_t stride_, readPackets_;
    std::vector<uint8_t> buffer_;
    IsoPacketTally tally_;
    ProgressLine progress_;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now(), lastShown_ = start_;
};

// What ends the stream now: "time", "count", "interrupt", or nullptr.
const char *StreamDrain::Bound() const {
    if (InterruptScope::Interrupted()) return "interrupt";
    if (command_.Packets != 0 && tally_.Packets() >= command_.Packets) return "count";
    if (command_.Seconds > 0 && SecondsSince(start_) >= command_.Seconds) return "time";
    return nullptr;
}

void StreamDrain::ShowProgress(uint32_t taken) {
    const auto now = std::chrono::steady_clock::now();
    if (now - lastShown_ <= std::chrono::milliseconds(200)) return;
    lastShown_ = now;
    const double t = SecondsSince(start_);
    progress_.Show(fmt::format("stream {:.1f} s  {} packets  {}/s  failed {}  lost {}  ring {:.0f}%  (Ctrl-C stops)",
                               t, tally_.Packets(), HumanBytes(t > 0 ? tally_.Bytes() / t : 0),
                               tally_.FailedPackets(),
                               tally_.SequenceNumbered() ? std::to_string(tally_.LostPackets()) : "?",
                               100.0 * taken / command_.RingPackets));
}

bool StreamDrain::ReadOnce(StreamSummary *summary, std::string *error) {
    uint64_t want = readPackets_;
    if (command_.Packets != 0) want = std::min<uint64_t>(want, command_.Packets - tally_.Packets());
    const uint32_t length = static_cast<uint32_t>(want * stride_);
    const IoOutcome outcome =
        camera_->ReadStream(command_.PacketSize, static_cast<uint32_t>(want), buffer_.data(), length);
    if (!IsNtSuccess(outcome.Status)) {
        const int32_t lastUsb = LastUsbStatus(camera_);
        const std::string hint = StreamHint(camera_, outcome, lastUsb, command_.Pipe, command_.PerRequest,
                                            command_.PacketSize, tally_.Packets());
        summary->StoppedBy = hint == kGoneHint ? "unplug" : "failure";
        *error = FailureText(command_.Text + " (reading the stream)", outcome.Status, lastUsb, hint);
        return false;
    }
    ++summary->Reads;
    const uint32_t taken = static_cast<uint32_t>(std::min<uint64_t>(outcome.Information / stride_, want));
    tally_.AddBuffer(buffer_.data(), static_cast<size_t>(outcome.Information), command_.PacketSize, taken);
    if (file_ != nullptr && taken != 0) WritePayload(file_, buffer_.data(), taken, command_.PacketSize);
    ShowProgress(taken);
    if (taken == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return true;
}

bool StreamDrain::Run(StreamSummary *summary, std::string *error) {
    bool ok = true;
    for (;;) {
        if (const char *bound = Bound()) {
            summary->StoppedBy = bound;
            break;
        }
        if (!ReadOnce(summary, error)) {
            ok = false;
            break;
        }
    }
    progress_.Finish();
    summary->Seconds = SecondsSince(start_);
    summary->Packets = tally_.Packets();
    summary->Bytes = tally_.Bytes();
    summary->Failed = tally_.FailedPackets();
    summary->Lost = tally_.LostPackets();
    summary->OutOfOrder = tally_.OutOfOrderPackets();
    summary->Sequenced = tally_.SequenceNumbered();
    return ok;
}

}  // namespace

bool RunStreamCore(const ToolCommand &command, Camera *camera, const std::string &outputPath, StreamSummary *summary,
                   std::string *error) {
    *summary = StreamSummary();
    FILE *file = nullptr;
    if (!outputPath.empty() && (file = fopen(outputPath.c_str(), "wb")) == nullptr) {
        *error = command.Text + ": cannot write " + outputPath + ": " + strerror(errno);
        return false;
    }
    if (!StartStream(command, camera, error)) {
        if (file != nullptr) fclose(file);
        return false;
    }
    summary->Started = true;
    InterruptScope interrupt;
    StreamDrain drain(command, camera, file);
    const bool ok = drain.Run(summary, error);
    const IoOutcome stopped = camera->StopStream();
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

namespace {

const char *StoppedByText(const std::string &by) {
    if (by == "time") return "its --seconds elapsed";
    if (by == "count") return "its --packets arrived";
    if (by == "interrupt") return "Ctrl-C";
    if (by == "unplug") return "the camera went away";
    return "a failed read";
}

}  // namespace

bool RunStream(const ToolCommand &given, ToolContext &context, std::string *error) {
    Camera *camera = context.OpenCamera(error);
    if (camera == nullptr) return false;
    ToolCommand command = given;
    if (!ResolveStream(camera, &command, error)) return false;
    StreamSummary summary;
    const bool ok = RunStreamCore(command, camera, command.OutputPath, &summary, error);
    if (!summary.Started) return false;
    Report report(command.Text);
    report["pipe"] = command.Pipe;
    report["packet_size"] = command.PacketSize;
    report["per_request"] = command.PerRequest;
    report["slots"] = command.Slots;
    report["ring_packets"] = command.RingPackets;
    report["packets"] = summary.Packets;
    report["bytes"] = summary.Bytes;
    report["failed_packets"] = summary.Failed;
    report["lost_packets"] = summary.Sequenced ? nlohmann::json(summary.Lost) : nlohmann::json();
    report["out_of_order_packets"] = summary.OutOfOrder;
    report["seconds"] = summary.Seconds;
    report["reads"] = summary.Reads;
    report["stopped_by"] = summary.StoppedBy;
    report.Line(StreamSummaryText(summary));
    report.Line(fmt::format("stopped by {}; pipe {}, {}-byte packets, {} a request, {} requests in flight",
                            StoppedByText(summary.StoppedBy), command.Pipe, command.PacketSize, command.PerRequest,
                            command.Slots));
    report.Print(context);
    return ok;
}

}  // namespace cli
}  // namespace usbcam
