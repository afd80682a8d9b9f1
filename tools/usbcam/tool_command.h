// The camera commands of usbcam (info, load, capture, stream, view, ...):
// one grammar for the command line and for `usbcam batch` lines. Each is a
// CLI11 subcommand with its own --help and example; parsing checks every
// number before anything runs.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace usbcam {
namespace cli {

enum class Tool {
    List,
    Info,
    Load,
    Capture,
    Read,
    Write,
    IsoRead,
    Stream,
    View,
    Select,
    ResetPipe,
    AbortPipe,
    ResetPort,
    Feature,
    Vendor,
    Control,
    String,
    Frame,
    LastStatus,
    Timeout,
    Sleep,
    Demo,
};

struct ToolCommand {
    Tool What = Tool::List;
    std::string Text;  // the command as typed, for messages: "read 2 307200"

    uint32_t Pipe = 0;
    uint32_t Length = 0;
    std::string File;        // load, write: the input file
    std::string OutputPath;  // -o
    bool Large = false;
    bool Verify = false;
    bool HasAddress = false;  // load --at
    uint32_t Address = 0;
    uint32_t Count = 1;               // capture --count
    uint32_t FrameBytes = 640 * 480;  // capture and view --bytes: one frame's size

    // iso-read and stream
    uint32_t PacketSize = 0;
    uint32_t Packets = 0;  // iso-read --packets, stream --packets
    uint32_t PerRequest = 0;
    uint32_t Slots = 0;
    uint32_t RingPackets = 0;
    double Seconds = 0;      // stream and view --seconds (0: no limit)
    bool PipeGiven = false;  // stream: PIPE typed (else the first isochronous IN pipe)
    int Setting = -1;        // stream --setting: alternate setting to select first (-1: none)

    // view and demo
    uint32_t Port = 8080;
    std::string Directory;  // where view's captures and demo's files go

    // select, feature, vendor, control, string, timeout, sleep
    uint32_t Interface = 0;
    uint32_t Alternate = 0;
    uint32_t Selector = 0;
    uint32_t Index = 0;
    uint32_t Request = 0;
    uint32_t Value = 0;
    bool DeviceToHost = false;
    uint32_t DataByte = 0;      // vendor --byte
    std::vector<uint8_t> Data;  // control --write
    uint32_t ControlType = 2;   // 1 class, 2 vendor
    uint32_t Recipient = 0;     // 0 device, 1 interface, 2 endpoint, 3 other
    uint32_t Language = 0x0409;
    int32_t Milliseconds = 0;
};

// The strings the CLI11 options fill in, turned into a ToolCommand by
// FinishToolCommand.
struct ToolOptions;

// Registers every camera command on `app` (the usbcam program, or the parser
// of one batch line). Returns the options object they fill; it lives as
// long as `app` (owned by the caller through the returned pointer).
class ToolParser {
public:
    explicit ToolParser(CLI::App *app);
    ~ToolParser();
    ToolParser(const ToolParser &) = delete;
    ToolParser &operator=(const ToolParser &) = delete;

    // After app->parse: true when one of the camera commands was given.
    bool Parsed() const;
    // Checks and converts what was typed; false with *error on a bad value.
    bool Finish(ToolCommand *command, std::string *error) const;

    // Whether a word names a camera command (for batch lines).
    static bool IsToolVerb(const std::string &word);

private:
    ToolOptions *options_;
};

// Sets the placeholders help shows for the options of `app` and its
// subcommands (N, BYTES, FILE, ...); call once every option is registered.
void NamePlaceholders(CLI::App *app);

// Parses one batch line whose first word is a camera command.
bool ParseToolLine(const std::vector<std::string> &words, ToolCommand *command, std::string *error);

}  // namespace cli
}  // namespace usbcam
