// The camera commands' grammar: CLI11 subcommands with help and examples.
#include "tool_command.h"

#include <CLI/CLI.hpp>

#include "usbcam/images.h"
#include "usbcam/text.h"

namespace usbcam {
namespace cli {

struct ToolOptions {
    struct Entry {
        CLI::App *App;
        Tool What;
    };
    std::vector<Entry> Entries;

    std::string Pipe, Length, File, OutputPath, At, Count, FrameBytes;
    bool Large = false, Verify = false;
    std::string PacketSize, Packets, PerRequest, Slots, RingPackets, Seconds;
    std::string Port, Directory, Setting;
    std::string Interface, Alternate, Selector, Index, Request, Value, Read, WriteLength, Byte,
        WriteHex, Type, Recipient, Language, Milliseconds;
};

namespace {

struct VerbInfo {
    const char *Name;
    Tool What;
};

const VerbInfo kVerbs[] = {
    {"list", Tool::List},
    {"info", Tool::Info},
    {"load", Tool::Load},
    {"capture", Tool::Capture},
    {"read", Tool::Read},
    {"write", Tool::Write},
    {"iso-read", Tool::IsoRead},
    {"stream", Tool::Stream},
    {"view", Tool::View},
    {"select", Tool::Select},
    {"reset-pipe", Tool::ResetPipe},
    {"abort-pipe", Tool::AbortPipe},
    {"reset-port", Tool::ResetPort},
    {"feature", Tool::Feature},
    {"vendor", Tool::Vendor},
    {"control", Tool::Control},
    {"string", Tool::String},
    {"frame", Tool::Frame},
    {"last-status", Tool::LastStatus},
    {"timeout", Tool::Timeout},
    {"sleep", Tool::Sleep},
    {"demo", Tool::Demo},
};

#ifdef _WIN32
const bool kWindows = true;
#else
const bool kWindows = false;
#endif

// One line of a command's example: what to type, and a note on what it does.
// On Linux the note follows as a shell comment; on Windows, whose command
// shell has no comment for the end of a line, on a line of its own, so every
// line that starts with "usbcam" or "echo" can be typed as printed.
struct ExampleLine {
    const char *Command;
    const char *Note;
};

std::string Examples(std::initializer_list<ExampleLine> lines) {
    std::string text;
    for (const ExampleLine &line : lines) {
        if (!text.empty()) text += "\n  ";
        text += line.Command;
        if (line.Note != nullptr) text += std::string(kWindows ? "\n      " : "   # ") + line.Note;
    }
    return text;
}

CLI::App *Sub(ToolOptions *o, CLI::App *app, const char *name, Tool what, const char *what_it_does,
              const std::string &example) {
    CLI::App *sub = app->add_subcommand(name, what_it_does);
    sub->footer("Example:\n  " + example);
    o->Entries.push_back(ToolOptions::Entry{sub, what});
    return sub;
}

void PipeArgument(CLI::App *sub, std::string *pipe) {
    sub->add_option("PIPE", *pipe, "pipe index in the current interface's pipe table (see `usbcam info`)")
        ->required();
}

// A number as typed (decimal or 0x-hex) in [least, most], or an error naming
// what it is for.
bool Number(const std::string &text, const char *what, uint64_t least, uint64_t most, uint32_t *value,
            std::string *error) {
    uint64_t parsed = 0;
    if (!ParseUnsigned64(text, &parsed) || parsed < least || parsed > most) {
        *error = std::string(what) + ": '" + text + "' is not a number from " + std::to_string(least) +
                 " to " + std::to_string(most);
        return false;
    }
    *value = static_cast<uint32_t>(parsed);
    return true;
}

bool Seconds(const std::string &text, const char *what, double *value, std::string *error) {
    char *end = nullptr;
    const double parsed = strtod(text.c_str(), &end);
    if (text.empty() || end == nullptr || *end != '\0' || !(parsed > 0) || parsed > 86400) {
        *error = std::string(what) + ": '" + text + "' is not a time in seconds (0.5, 2, 10)";
        return false;
    }
    *value = parsed;
    return true;
}

const uint64_t kU32 = 0xFFFFFFFFull;


// vendor and control: the request's numbers, its direction and, for
// control, its type, recipient and data stage.
bool FinishRequest(const ToolOptions &o, ToolCommand *c, std::string *error) {
    const char *verb = c->What == Tool::Vendor ? "vendor" : "control";
    if (!Number(o.Request, (std::string(verb) + " REQUEST").c_str(), 0, 255, &c->Request, error) ||
        (!o.Value.empty() &&
         !Number(o.Value, (std::string(verb) + " --value").c_str(), 0, 0xFFFF, &c->Value, error)) ||
        (!o.Index.empty() &&
         !Number(o.Index, (std::string(verb) + " --index").c_str(), 0, 0xFFFF, &c->Index, error))) {
        return false;
    }
    if (!o.Read.empty()) {
        c->DeviceToHost = true;
        if (!Number(o.Read, (std::string(verb) + " --read").c_str(), 1, 0xFFFF, &c->Length, error)) {
            return false;
        }
    }
    if (c->What == Tool::Vendor) {
        if (!o.WriteLength.empty() &&
            !Number(o.WriteLength, "vendor --write", 0, 0xFFFF, &c->Length, error)) {
            return false;
        }
        return o.Byte.empty() || Number(o.Byte, "vendor --byte", 0, 255, &c->DataByte, error);
    }
    std::string why;
    if (!ParseHexBytes(o.WriteHex, &c->Data, &why)) {
        *error = "control --write: " + why;
        return false;
    }
    const std::string type = ToUpper(o.Type);
    if (type == "CLASS") {
        c->ControlType = 1;
    } else if (type == "VENDOR") {
        c->ControlType = 2;
    } else {
        *error = "control TYPE: '" + o.Type + "' is not class or vendor";
        return false;
    }
    static const char *const kRecipients[] = {"DEVICE", "INTERFACE", "ENDPOINT", "OTHER"};
    for (uint32_t i = 0; i < 4; ++i) {
        if (ToUpper(o.Recipient) == kRecipients[i]) {
            c->Recipient = i;
            return true;
        }
    }
    *error = "control RECIPIENT: '" + o.Recipient + "' is not device, interface, endpoint or other";
    return false;
}

// The stream's options: each may be left out (ResolveStream fills it in);
// --seconds and --packets bound it, whichever comes first.
bool FinishStream(const ToolOptions &o, ToolCommand *c, std::string *error) {
    c->PipeGiven = !o.Pipe.empty();
    uint32_t setting = 0;
    if (!o.Setting.empty()) {
        if (!Number(o.Setting, "stream --setting", 0, 255, &setting, error)) return false;
        c->Setting = static_cast<int>(setting);
    }
    const struct {
        const std::string &Text;
        const char *What;
        uint32_t *Value;
    } counts[] = {{o.PacketSize, "stream --packet-size", &c->PacketSize},
                  {o.RingPackets, "stream --ring-packets", &c->RingPackets},
                  {o.PerRequest, "stream --per-request", &c->PerRequest},
                  {o.Slots, "stream --slots", &c->Slots},
                  {o.Packets, "stream --packets", &c->Packets}};
    for (const auto &count : counts) {
        if (!count.Text.empty() && !Number(count.Text, count.What, 1, kU32, count.Value, error)) return false;
    }
    return o.Seconds.empty() || Seconds(o.Seconds, "stream --seconds", &c->Seconds, error);
}

// The placeholder help shows after an option's name, for every option that
// takes a value: a number's kind rather than CLI11's "TEXT" for the strings
// usbcam checks itself.
struct Placeholder {
    const char *Command;  // nullptr: any
    const char *Option;
    const char *Shown;
};

const Placeholder kPlaceholders[] = {
    {nullptr, "PIPE", "N"},
    {nullptr, "LENGTH", "BYTES"},
    {nullptr, "MS", ""},
    {nullptr, "INTERFACE", "N"},
    {nullptr, "ALT", "N"},
    {nullptr, "SELECTOR", "N"},
    {nullptr, "INDEX", "N"},
    {nullptr, "REQUEST", "N"},
    {nullptr, "TYPE", ""},
    {nullptr, "RECIPIENT", ""},
    {nullptr, "FILE", ""},
    {nullptr, "CODE", "NAME|N"},
    {nullptr, "--device", "N"},
    {nullptr, "--function", "N"},
    {nullptr, "--camera", "FILE"},
    {nullptr, "--trace", "FILE"},
    {nullptr, "--usb", "VID:PID|BUS/ADDR"},
    {nullptr, "--output", "FILE"},
    {nullptr, "--dir", "DIR"},
    {nullptr, "--at", "ADDRESS"},
    {nullptr, "--count", "N"},
    {nullptr, "--bytes", "BYTES"},
    {nullptr, "--packet-size", "BYTES"},
    {nullptr, "--packets", "N"},
    {nullptr, "--per-request", "N"},
    {nullptr, "--slots", "N"},
    {nullptr, "--ring-packets", "N"},
    {nullptr, "--setting", "N"},
    {nullptr, "--seconds", "S"},
    {nullptr, "--port", "PORT"},
    {nullptr, "--value", "N"},
    {nullptr, "--index", "N"},
    {nullptr, "--read", "BYTES"},
    {"control", "--write", "HEX"},
    {nullptr, "--write", "BYTES"},
    {nullptr, "--byte", "BYTE"},
    {nullptr, "--lang", "ID"},
    {nullptr, "--in", "HEX"},
    {nullptr, "--out", "HEX"},
    {nullptr, "--out-len", "BYTES"},
    {nullptr, "--fill", "BYTE"},
};

// The commands list, info and load.
void AddDescribingCommands(ToolOptions *o, CLI::App *app) {
    CLI::App *sub;
    Sub(o, app, "list", Tool::List, "list the cameras present: number, link name, vendor and product, started or not",
        "usbcam list");
    Sub(o, app, "info", Tool::Info,
        "decode the device, configuration and string descriptors field by field, the pipe table, "
        "the driver version, the time-out and the last USB status",
        Examples({{"usbcam info", nullptr}, {"usbcam --json info", "the same as one JSON object"}}));

    sub = Sub(o, app, "load", Tool::Load,
              "load the camera's memory from an Intel HEX file (or a raw binary with --at)",
              "usbcam load firmware.hex --verify\n  usbcam load image.bin --at 0x1000 --verify");
    sub->add_option("FILE", o->File, "Intel HEX file (records 00, 01, 02, 04), or raw binary with --at")
        ->required();
    sub->add_flag("--verify", o->Verify, "read the memory back with vendor request 0xA0 and compare");
    sub->add_option("--at", o->At, "load FILE as a raw binary image at this device address");
}

// The commands capture, read and write.
void AddTransferCommands(ToolOptions *o, CLI::App *app) {
    CLI::App *sub;
    sub = Sub(o, app, "capture", Tool::Capture, "capture frames over pipe 2 and write them as images",
              Examples({{"usbcam capture -o frame.png", nullptr},
                        {"usbcam capture --count 3 -o shot.pgm", "shot-1.pgm ... shot-3.pgm"}}));
    sub->add_option("-o,--output", o->OutputPath, "image file, .png or .pgm (default frame.png)");
    sub->add_flag("--large", o->Large,
                  "read with the segmented transfer (READ_PIPE_LARGE; taken anyway when a frame is larger "
                  "than one transfer of pipe 2)");
    sub->add_option("--count", o->Count, "frames to capture (default 1)");
    sub->add_option("--bytes", o->FrameBytes, "bytes of one frame (default 307200, 640 x 480)");

    sub = Sub(o, app, "read", Tool::Read, "read LENGTH bytes from a bulk or interrupt pipe",
              // On Windows pipe 2 takes at most 64 KiB a READ_PIPE once a setting
              // has been selected, which the driver keeps between runs.
              kWindows ? Examples({{"usbcam read 2 307200 --large -o frame.raw", nullptr},
                                   {"usbcam read 2 4096", "a hex dump of the first 512 bytes"}})
                       : "usbcam read 2 307200 -o frame.raw\n  usbcam read 2 307200 --large -o frame.raw");
    PipeArgument(sub, &o->Pipe);
    sub->add_option("LENGTH", o->Length, "bytes to read")->required();
    sub->add_option("-o,--output", o->OutputPath, "write the bytes to this file (else a hex dump)");
    sub->add_flag("--large", o->Large, "read with the segmented transfer (READ_PIPE_LARGE)");

    sub = Sub(o, app, "write", Tool::Write, "write a file's bytes to a bulk or interrupt pipe",
              "usbcam write 0 commands.bin");
    PipeArgument(sub, &o->Pipe);
    sub->add_option("FILE", o->File, "the bytes to send")->required();
    sub->add_flag("--large", o->Large, "write with the segmented transfer (WRITE_PIPE_LARGE)");
}

// The commands iso-read and stream.
void AddIsochronousCommands(ToolOptions *o, CLI::App *app) {
    CLI::App *sub;
    sub = Sub(o, app, "iso-read", Tool::IsoRead,
              "read a fixed number of isochronous packets and count failures and losses",
              kWindows ? Examples({{"usbcam select 0 1", "the driver keeps the setting for the next command"},
                                   {"usbcam iso-read 2 --packet-size 1024 --packets 64 --per-request 8 --slots 2",
                                    nullptr}})
                       : "printf 'select 0 1\\niso-read 2 --packet-size 1024 --packets 64 --per-request 8 --slots "
                         "2\\n' | usbcam batch");
    PipeArgument(sub, &o->Pipe);
    sub->add_option("--packet-size", o->PacketSize, "bytes per packet")->required();
    sub->add_option("--packets", o->Packets, "packets to read")->required();
    sub->add_option("--per-request", o->PerRequest, "packets per isochronous request")->required();
    sub->add_option("--slots", o->Slots, "requests kept in flight")->required();
    sub->add_option("-o,--output", o->OutputPath, "write the packets' bytes to this file");

    sub = Sub(o, app, "stream", Tool::Stream,
              "run a continuous isochronous stream and drain it until --seconds, --packets or Ctrl-C, "
              "then print a summary; without PIPE, the selected setting's first isochronous IN pipe",
              Examples({{"usbcam stream --setting 3 --seconds 2", "select setting 3, stream its pipe for 2 s"},
                        {"usbcam stream --setting 1 --packets 1000 -o payload.bin", nullptr},
                        {"usbcam stream 0 --setting 3 --packet-size 3072 --per-request 8 --slots 4 "
                         "--ring-packets 512 --seconds 1",
                         "everything given"}}));
    sub->add_option("PIPE", o->Pipe, "isochronous IN pipe (default: the setting's first)");
    sub->add_option("--setting", o->Setting, "select this alternate setting of the interface first");
    sub->add_option("--packet-size", o->PacketSize, "bytes per packet (default: the pipe's packet size)");
    sub->add_option("--ring-packets", o->RingPackets, "capacity of the driver's rings, in packets (default 8192)");
    sub->add_option("--per-request", o->PerRequest,
                    "packets per isochronous request (default 16, fewer where the pipe takes less)");
    sub->add_option("--slots", o->Slots, "requests kept in flight (default 8)");
    sub->add_option("--seconds", o->Seconds, "stop after this long");
    sub->add_option("--packets", o->Packets, "stop once this many packets arrived");
    sub->add_option("-o,--output", o->OutputPath, "write the packets' bytes to this file");
}

// View: a window on Windows, a web page on Linux.
void AddViewCommand(ToolOptions *o, CLI::App *app) {
    CLI::App *sub;
    if (kWindows) {
        sub = Sub(o, app, "view", Tool::View,
                  "show the camera live in a window, with frame count, frame rate, byte rate and last USB "
                  "status; S or the button saves the frame as a PNG; close the window or press Ctrl-C to stop",
                  Examples({{"usbcam view", "S saves the frame on show as capture-0001.png, capture-0002.png, ..."}}));
        sub->add_option("--dir", o->Directory, "where S and the button write their PNG files (default .)");
    } else {
        sub = Sub(o, app, "view", Tool::View,
                  "serve a live view of the camera on http://127.0.0.1:PORT/ until Ctrl-C",
                  Examples({{"usbcam view --port 8080", "then open http://127.0.0.1:8080/"}}));
        sub->add_option("--port", o->Port, "TCP port on 127.0.0.1 (default 8080; 0 picks a free one)");
        sub->add_option("--dir", o->Directory, "where the capture button writes its PNG files (default .)");
    }
    sub->add_option("--seconds", o->Seconds, "stop by itself after this long");
    sub->add_flag("--large", o->Large, "read frames with the segmented transfer");
    sub->add_option("--bytes", o->FrameBytes, "bytes of one frame (default 307200, 640 x 480)");
}

// The commands select, the resets, feature, vendor, control and string.
void AddRequestCommands(ToolOptions *o, CLI::App *app) {
    CLI::App *sub;
    sub = Sub(o, app, "select", Tool::Select, "select an alternate setting of an interface",
              "usbcam select 0 1");
    sub->add_option("INTERFACE", o->Interface, "interface number")->required();
    sub->add_option("ALT", o->Alternate, "alternate setting")->required();

    sub = Sub(o, app, "reset-pipe", Tool::ResetPipe, "reset a pipe (clears a halt)", "usbcam reset-pipe 2");
    PipeArgument(sub, &o->Pipe);
    sub = Sub(o, app, "abort-pipe", Tool::AbortPipe, "abort every transfer on a pipe", "usbcam abort-pipe 2");
    PipeArgument(sub, &o->Pipe);
    Sub(o, app, "reset-port", Tool::ResetPort, "reset the camera's USB port", "usbcam reset-port");

    sub = Sub(o, app, "feature", Tool::Feature, "send SET_FEATURE to the device",
              Examples({{"usbcam feature 1 0", "DEVICE_REMOTE_WAKEUP"}}));
    sub->add_option("SELECTOR", o->Selector, "feature selector")->required();
    sub->add_option("INDEX", o->Index, "wIndex")->required();

    sub = Sub(o, app, "vendor", Tool::Vendor,
              "send a vendor request to the device (--read for device-to-host)",
              Examples({{"usbcam vendor 0xa0 --value 0x2000 --read 16", "16 bytes of memory at 0x2000"}}));
    sub->add_option("REQUEST", o->Request, "bRequest")->required();
    sub->add_option("--value", o->Value, "wValue (default 0)");
    sub->add_option("--index", o->Index, "wIndex (default 0)");
    CLI::Option *vread = sub->add_option("--read", o->Read, "device to host: bytes to read");
    CLI::Option *vwrite = sub->add_option(
        "--write", o->WriteLength,
        "host to device: bytes to send (the driver sends --byte for 1, else 00 01 02 ...)");
    sub->add_option("--byte", o->Byte, "the byte sent by --write 1")->needs(vwrite);
    vread->excludes(vwrite);

    sub = Sub(o, app, "control", Tool::Control,
              "send a class or vendor request to any recipient",
              "usbcam control vendor device 0xa0 --value 0x2000 --read 4");
    sub->add_option("TYPE", o->Type, "class or vendor")->required();
    sub->add_option("RECIPIENT", o->Recipient, "device, interface, endpoint or other")->required();
    sub->add_option("REQUEST", o->Request, "bRequest")->required();
    sub->add_option("--value", o->Value, "wValue (default 0)");
    sub->add_option("--index", o->Index, "wIndex (default 0)");
    CLI::Option *cread = sub->add_option("--read", o->Read, "device to host: bytes to read");
    CLI::Option *cwrite = sub->add_option("--write", o->WriteHex, "host to device: data stage as hex bytes");
    cread->excludes(cwrite);

    sub = Sub(o, app, "string", Tool::String, "read a string descriptor (index 0: the languages)",
              "usbcam string 2 --lang 0x0409");
    sub->add_option("INDEX", o->Index, "descriptor index")->required();
    sub->add_option("--lang", o->Language, "language ID (default 0x0409)");
}

// The commands frame, last-status, timeout, sleep and demo.
void AddSessionCommands(ToolOptions *o, CLI::App *app) {
    CLI::App *sub;
    Sub(o, app, "frame", Tool::Frame, "read the bus's current frame number", "usbcam frame");
    Sub(o, app, "last-status", Tool::LastStatus,
        "read the last USB status the driver saw (stall, cancelled, ...)", "usbcam last-status");
    sub = Sub(o, app, "timeout", Tool::Timeout, "set the driver's transfer time-out for every camera",
              "usbcam timeout 5000");
    sub->add_option("MS", o->Milliseconds, "milliseconds (0 or less: the driver's own rule)")->required();
    sub = Sub(o, app, "sleep", Tool::Sleep, "wait (in a batch, lets a stream run between requests)",
              kWindows ? "echo sleep 500| usbcam batch"
                       : "printf 'frame\\nsleep 500\\nframe\\n' | usbcam batch");
    sub->add_option("MS", o->Milliseconds, "milliseconds")->required();
    sub = Sub(o, app, "demo", Tool::Demo,
              "show what the camera does: info, a memory load from Intel HEX with verification, "
              "a captured frame (demo-frame.png), two seconds of streaming",
              kWindows ? "usbcam demo --dir %TEMP%" : "usbcam demo --dir /tmp");
    sub->add_option("--dir", o->Directory, "where demo-memory.hex and demo-frame.png go (default .)");
}

}  // namespace

void NamePlaceholders(CLI::App *app) {
    for (CLI::Option *option : app->get_options()) {
        if (option->get_items_expected_max() == 0) continue;  // a flag
        const std::string name =
            option->get_lnames().empty() ? option->get_name(true) : "--" + option->get_lnames().front();
        for (const Placeholder &p : kPlaceholders) {
            if (name != p.Option || (p.Command != nullptr && app->get_name() != p.Command)) continue;
            option->type_name(p.Shown);
            break;
        }
    }
    for (CLI::App *sub : app->get_subcommands({})) NamePlaceholders(sub);
}

bool ToolParser::IsToolVerb(const std::string &word) {
    for (const VerbInfo &verb : kVerbs) {
        if (word == verb.Name) return true;
    }
    return false;
}

ToolParser::ToolParser(CLI::App *app) : options_(new ToolOptions) {
    AddDescribingCommands(options_, app);
    AddTransferCommands(options_, app);
    AddIsochronousCommands(options_, app);
    AddViewCommand(options_, app);
    AddRequestCommands(options_, app);
    AddSessionCommands(options_, app);
}

ToolParser::~ToolParser() { delete options_; }

bool ToolParser::Parsed() const {
    for (const ToolOptions::Entry &entry : options_->Entries) {
        if (entry.App->parsed()) return true;
    }
    return false;
}

bool ToolParser::Finish(ToolCommand *c, std::string *error) const {
    const ToolOptions &o = *options_;
    const ToolOptions::Entry *entry = nullptr;
    for (const ToolOptions::Entry &e : o.Entries) {
        if (e.App->parsed()) entry = &e;
    }
    if (entry == nullptr) {
        *error = "no command";
        return false;
    }
    *c = ToolCommand();
    c->What = entry->What;
    c->Text = entry->App->get_name();
    c->OutputPath = o.OutputPath;
    c->File = o.File;
    c->Large = o.Large;
    c->Verify = o.Verify;
    c->Directory = o.Directory.empty() ? "." : o.Directory;
    if (!o.FrameBytes.empty() && !Number(o.FrameBytes, (c->Text + " --bytes").c_str(), 8, 64u << 20,
                                         &c->FrameBytes, error)) {
        return false;
    }
    if (!o.Pipe.empty() && !Number(o.Pipe, (c->Text + " PIPE").c_str(), 0, kU32, &c->Pipe, error)) {
        return false;
    }
    switch (c->What) {
        case Tool::Load:
            if (!o.At.empty()) {
                c->HasAddress = true;
                if (!Number(o.At, "load --at", 0, 0xFFFF, &c->Address, error)) return false;
            }
            return true;
        case Tool::Capture: {
            if (c->OutputPath.empty()) c->OutputPath = "frame.png";
            std::string lower;
            for (char ch : c->OutputPath) lower += static_cast<char>(tolower(static_cast<unsigned char>(ch)));
            const bool png = lower.size() > 4 && lower.compare(lower.size() - 4, 4, ".png") == 0;
            const bool pgm = lower.size() > 4 && lower.compare(lower.size() - 4, 4, ".pgm") == 0;
            if (!png && !pgm) {
                *error = "capture -o: '" + c->OutputPath + "' is neither a .png nor a .pgm file";
                return false;
            }
            return o.Count.empty() || Number(o.Count, "capture --count", 1, 100000, &c->Count, error);
        }
        case Tool::Read:
            return Number(o.Length, "read LENGTH", 0, kU32, &c->Length, error);
        case Tool::IsoRead:
            return Number(o.PacketSize, "iso-read --packet-size", 1, kU32, &c->PacketSize, error) &&
                   Number(o.Packets, "iso-read --packets", 1, kU32, &c->Packets, error) &&
                   Number(o.PerRequest, "iso-read --per-request", 1, kU32, &c->PerRequest, error) &&
                   Number(o.Slots, "iso-read --slots", 1, kU32, &c->Slots, error);
        case Tool::Stream:
            return FinishStream(o, c, error);
        case Tool::View:
            if (!o.Port.empty() && !Number(o.Port, "view --port", 0, 65535, &c->Port, error)) return false;
            return o.Seconds.empty() || Seconds(o.Seconds, "view --seconds", &c->Seconds, error);
        case Tool::Select:
            return Number(o.Interface, "select INTERFACE", 0, 255, &c->Interface, error) &&
                   Number(o.Alternate, "select ALT", 0, 255, &c->Alternate, error);
        case Tool::Feature:
            return Number(o.Selector, "feature SELECTOR", 0, 0xFFFF, &c->Selector, error) &&
                   Number(o.Index, "feature INDEX", 0, 0xFFFF, &c->Index, error);
        case Tool::Vendor:
        case Tool::Control:
            return FinishRequest(o, c, error);
        case Tool::String:
            return Number(o.Index, "string INDEX", 0, 255, &c->Index, error) &&
                   (o.Language.empty() || Number(o.Language, "string --lang", 0, 0xFFFF, &c->Language, error));
        case Tool::Timeout:
            if (!ParseSigned32(o.Milliseconds, &c->Milliseconds)) {
                *error = "timeout MS: '" + o.Milliseconds + "' is not a number of milliseconds";
                return false;
            }
            return true;
        case Tool::Sleep: {
            uint32_t ms = 0;
            if (!Number(o.Milliseconds, "sleep MS", 0, 3600000, &ms, error)) return false;
            c->Milliseconds = static_cast<int32_t>(ms);
            return true;
        }
        default:
            return true;
    }
}

bool ParseToolLine(const std::vector<std::string> &words, ToolCommand *command, std::string *error) {
    CLI::App app("one batch line", "batch");
    app.require_subcommand(1, 1);
    ToolParser parser(&app);
    std::vector<std::string> args(words.rbegin(), words.rend());  // CLI11 takes them reversed
    try {
        app.parse(args);
    } catch (const CLI::ParseError &e) {
        *error = words[0] + ": " + e.what() + "; try: usbcam " + words[0] + " --help";
        return false;
    }
    if (!parser.Finish(command, error)) {
        *error += "; try: usbcam " + words[0] + " --help";
        return false;
    }
    command->Text.clear();
    for (const std::string &word : words) command->Text += (command->Text.empty() ? "" : " ") + word;
    if (command->What == Tool::View || command->What == Tool::Demo) {
        *error = words[0] + ": runs on its own, not in a batch";
        return false;
    }
    return true;
}

}  // namespace cli
}  // namespace usbcam
