// What the camera commands share: the per-command report (text for people,
// one JSON object for scripts), the one-line failure message, the progress
// line shown only on a terminal, and the session state they reach.
#pragma once

#include <stdint.h>

#include <iosfwd>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tool_command.h"
#include "usbcam/camera.h"
#include "usbcam/descriptors.h"
#include "usbcam/images.h"

namespace usbcam {
namespace cli {

class Session;

// What a command runs with.
struct ToolContext {
    Session *Owner = nullptr;
    bool Json = false;
    std::ostream *Out = nullptr;
    // Opens (or reuses) the current camera's handle; false with *error.
    Camera *OpenCamera(std::string *error);
    // The driver's transfer time-out in milliseconds where usbcam knows it
    // (set in this session, or a driver this session started); 0 when not.
    int32_t TimeoutMs() const;
};

// A command's output, built once and printed in the form asked for.
class Report {
public:
    explicit Report(const std::string &command) { json_["command"] = command; }
    nlohmann::json &Json() { return json_; }
    nlohmann::json &operator[](const char *key) { return json_[key]; }
    void Line(const std::string &text) {
        text_ += text;
        if (text.empty() || text.back() != '\n') text_ += "\n";
    }
    void Print(const ToolContext &context) const;

private:
    nlohmann::json json_;
    std::string text_;
};

// The last USB status the driver recorded, or 0 when it cannot be read.
int32_t LastUsbStatus(Camera *camera);

// "read 2 16: STATUS_IO_TIMEOUT (0xC00000B5), last USB status
// USBD_STATUS_STALL_PID (0xC0000004); try: ..." -- what was asked, the status
// by name and value, the USB cause when the driver has one, what to try.
std::string FailureText(const std::string &asked, uint32_t status, int32_t lastUsb,
                        const std::string &hint = "");
// The same for a failed outcome, reading the last USB status from the camera.
std::string Failure(Camera *camera, const std::string &asked, const IoOutcome &outcome,
                    const std::string &hint = "");

// True when standard error is a terminal (progress goes there only then).
bool ProgressWanted();

// A one-line progress display on standard error, redrawn in place; silent
// unless standard error is a terminal.
class ProgressLine {
public:
    ProgressLine() : enabled_(ProgressWanted()) {}
    ~ProgressLine() { Finish(); }
    void Show(const std::string &text);
    void Finish();

private:
    bool enabled_;
    bool shown_ = false;
};

std::string HumanBytes(double bytes);  // "1.5 MB"

// The current interface's pipe table; false with *error (one line) when it
// cannot be read.
bool ReadPipeTable(Camera *camera, InterfaceTable *table, std::string *error);

// Joins a directory and a file name.
std::string InDirectory(const std::string &directory, const std::string &name);

// Runs one camera command (the per-command code lives in *_command*.cpp).
bool RunTool(const ToolCommand &command, ToolContext &context, std::string *error);

bool RunList(const ToolCommand &command, ToolContext &context, std::string *error);
bool RunInfo(const ToolCommand &command, ToolContext &context, std::string *error);
bool RunDeviceCommand(const ToolCommand &command, ToolContext &context, std::string *error);
bool RunLoad(const ToolCommand &command, ToolContext &context, std::string *error);
bool RunTransfer(const ToolCommand &command, ToolContext &context, std::string *error);
bool RunCapture(const ToolCommand &command, ToolContext &context, std::string *error);
bool RunIsoRead(const ToolCommand &command, ToolContext &context, std::string *error);
bool RunStream(const ToolCommand &command, ToolContext &context, std::string *error);
bool RunView(const ToolCommand &command, ToolContext &context, std::string *error);
bool RunDemo(const ToolCommand &command, ToolContext &context, std::string *error);

// One frame read over pipe 2, as capture, view and demo take it.
struct CapturedFrame {
    GreyImage Image;
    FrameHeader Header;
    bool HasHeader = false;
    uint64_t Bytes = 0;
};
// Reads one frame (READ_PIPE or, with large, READ_PIPE_LARGE) into *frame.
// On failure returns false with the one-line *error for `asked`, its hint
// naming the cause where it can (a read that took timeoutMs, the driver's
// time-out, timed out).
bool CaptureFrame(Camera *camera, bool large, uint32_t frameBytes, const std::string &asked, CapturedFrame *frame,
                  std::string *error, int32_t timeoutMs = 3000);

// Stream statistics shared by stream and demo.
struct StreamSummary {
    uint64_t Packets = 0, Bytes = 0, Failed = 0, Lost = 0, OutOfOrder = 0, Reads = 0;
    bool Sequenced = false;
    double Seconds = 0;
    bool Started = false;   // the driver accepted the stream
    std::string StoppedBy;  // "time", "count", "interrupt", "unplug" or "failure"
};
// Selects --setting and fills in what the stream command left out: the
// current setting's first isochronous IN pipe (or the one given), its packet
// size, and the SDK's request counts. False with *error.
bool ResolveStream(Camera *camera, ToolCommand *command, std::string *error);
// Runs the stream until a bound of the command (--seconds, --packets), Ctrl-C
// or a failure; fills *summary in every case once the stream started.
bool RunStreamCore(const ToolCommand &command, Camera *camera, const std::string &outputPath,
                   StreamSummary *summary, std::string *error);
std::string StreamSummaryText(const StreamSummary &summary);

}  // namespace cli
}  // namespace usbcam

namespace usbcam {
namespace cli {
// Offset, 16 bytes in hex, the printable ones as text; at most `limit` bytes
// shown, then a line saying how many more there are.
std::string HexDump(const uint8_t *bytes, size_t length, size_t limit = 512);
// A few words for a USBD status ("stall", "cancelled"), or "".
const char *UsbStatusWords(uint32_t usbdStatus);
}  // namespace cli
}  // namespace usbcam

namespace usbcam {
struct MemoryImage;
namespace cli {
// Loads an image in address order and, with verify, reads it back; false
// with the one-line *error. *verified says "verified" when it was.
bool LoadImage(Camera *camera, const MemoryImage &image, bool verify, const std::string &asked,
               std::string *error, std::string *verified);
}  // namespace cli
}  // namespace usbcam
