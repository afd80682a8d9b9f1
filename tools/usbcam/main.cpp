// usbcam: drives a camera through the driver's control interface, as a client
// program would. On Linux it runs the driver in the emulation with the
// reference camera (or a profile); on Windows it talks to the installed driver.
//
// Exit status: 0 when every command ran (whatever statuses the driver
// answered with), 1 on a usage error or a command that could not run (bad
// hex, unknown code, no such device, ...), 2 when the emulation's verifier
// caught the driver breaking a rule.
#include <string.h>

#include <iostream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "command.h"
#include "session.h"
#include "tavrinoscope_version.h"
#include "tool_command.h"
#include "usbcam/control_codes.h"
#include "usbcam/text.h"

namespace {

const int kExitError = 1;
const int kExitVerifier = 2;

struct NumberedCommand {
    size_t Line;  // 0 for the command line
    usbcam::cli::Command Command;
};

bool g_json = false;  // --json: errors as JSON too

// The failure line: "usbcam: what went wrong; try: what to do", or with
// --json the same as one JSON object ({"error", "try"}) on standard error.
int Fail(const std::string &message) {
    if (g_json) {
        const size_t at = message.find("; try: ");
        nlohmann::json error = {{"error", message.substr(0, at)}, {"exit", kExitError}};
        if (at != std::string::npos) error["try"] = message.substr(at + 7);
        std::cerr << error.dump() << std::endl;
    } else {
        std::cerr << "usbcam: " << message << std::endl;
    }
    return kExitError;
}

// A usage error's line, with a next step when the message has none.
int FailUsage(const std::string &message, const std::string &next) {
    return Fail(message.find("; try: ") == std::string::npos ? message + "; try: " + next : message);
}

const char *const kFirstSteps = "usbcam demo (the camera at work), usbcam list, or usbcam --help for every command";

// Whether a parse error is about an option of usbcam itself rather than of
// the command after it.
bool IsProgramOptionError(const std::string &what) {
    for (const char *option : {"--device", "--camera", "--function", "--trace", "--usb", "--json"}) {
        // "--device: Value ..." or "Could not convert: --device = x"
        const size_t at = what.find(option);
        const size_t end = at + strlen(option);
        if (at != std::string::npos && (end == what.size() || what[end] == ':' || what[end] == ' ')) return true;
    }
    return false;
}

// The parse error of the command line as one line with its next step.
int FailParse(const CLI::App &app, const CLI::ParseError &e, bool commandParsed) {
    const std::string what = e.what();
    const std::vector<std::string> extra = app.remaining();
    if (!commandParsed && !extra.empty()) {
        // A misspelt subcommand is left over rather than reported by name.
        return Fail("unknown subcommand '" + extra[0] + "'; try: usbcam --help lists the commands");
    }
    if (!commandParsed && what.find("subcommand is required") != std::string::npos) {
        return Fail(std::string("no command given (usbcam takes a subcommand); try: ") + kFirstSteps);
    }
    if (IsProgramOptionError(what)) return FailUsage(what, "usbcam --help");
    for (const CLI::App *sub : app.get_subcommands({})) {
        if (sub->parsed()) {
            return Fail(sub->get_name() + ": " + what + "; try: usbcam " + sub->get_name() + " --help");
        }
    }
    return FailUsage(what, "usbcam --help");
}

// Reads and parses the whole batch before anything runs, so a malformed line
// stops the batch before it has touched a device.
bool ReadBatch(std::istream &in, std::vector<NumberedCommand> *commands, std::string *error) {
    std::string line;
    size_t number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (usbcam::cli::IsSkippedLine(line)) continue;
        std::vector<std::string> words;
        std::string why;
        NumberedCommand command;
        command.Line = number;
        if (!usbcam::SplitWords(line, &words)) {
            why = "unterminated quote";
        } else if (usbcam::cli::ParseCommand(words, &command.Command, &why)) {
            commands->push_back(command);
            continue;
        }
        *error = "line " + std::to_string(number) + ": " + why;
        return false;
    }
    return true;
}

// raw's help: the code names it takes, wrapped, then the example.
std::string RawFooter() {
    size_t count = 0;
    const usbcam::ControlCodeInfo *codes = usbcam::ControlCodeTable(&count);
    std::string text = "Code names (IOCTL_USBCAM_ may be left out, any case):", line;
    for (size_t i = 0; i < count; ++i) {
        const std::string name = std::string(codes[i].Name).substr(13);  // after "IOCTL_USBCAM_"
        if (line.size() + name.size() > 76) {
            text += "\n " + line;
            line.clear();
        }
        line += " " + name;
    }
    return text + "\n " + line + "\nExample:\n  usbcam raw GET_VERSION --out-len 6";
}

// usbcam's own options, before the command: --device, --json and, on Linux,
// the emulated machine's settings. *usb: the --usb option (Linux).
void AddProgramOptions(CLI::App &app, usbcam::cli::SessionOptions *options, CLI::Option **usb) {
    app.add_option("--device", options->Device, "camera N to address (\\\\.\\Tavrinoscope-N, 0 to 31, default 0)");
#ifndef _WIN32
    // The emulated machine's settings; usbcam.exe talks to the installed
    // driver and the cameras plugged in, so it has none of them.
    app.add_option("--camera", options->CameraProfile,
                   "JSON profile of the first camera (emulation; default: the reference camera)");
    app.add_option("--function", options->Function,
                   "function of a composite --camera whose child device the driver gets (emulation; default 0)")
        ->check(CLI::Range(0, 255));
    app.add_option("--trace", options->TracePath, "record the session's bus traffic to this pcap file (emulation)");
    *usb = app.add_option("--usb", options->UsbSelector,
                          "drive a real USB camera through libusb: VID:PID (hex) or BUS/ADDRESS; "
                          "alone, the first 1209:0001 (Linux)")
               ->expected(0, 1);
#else
    *usb = nullptr;
#endif
    app.add_flag("--json", options->Json,
                 "print one JSON object per command, for scripts (an error: one on standard error)");
    app.set_version_flag("--version", "usbcam " TAVRINOSCOPE_VERSION_STRING, "print usbcam's version and exit");
    app.footer("Run `usbcam COMMAND --help` for a command's options and an example.");
}

CLI::App *AddBatch(CLI::App &app) {
    CLI::App *batch = app.add_subcommand("batch", "run commands read from standard input, one a line, in one session");
#ifdef _WIN32
    batch->footer(
        "Each line is a command as on the command line (info, read 2 307200, select 0 1, stream ...,\n"
        "sleep 500), a raw request, device N or close.\n"
        "Example:\n  usbcam batch < commands.txt\n"
        "      commands.txt holds: info, capture -o a.png, last-status (one a line)");
#else
    batch->footer(
        "Each line is a command as on the command line (info, read 2 307200, select 0 1, stream ...,\n"
        "sleep 500), a raw request, or an emulation line (stall 0x82, plug, pnp remove, ...).\n"
        "Example:\n  printf 'info\\ncapture -o a.png\\nlast-status\\n' | usbcam batch");
#endif
    return batch;
}

// usbcam.exe: an emulation option is said plainly rather than as an
// argument the parser did not expect. Returns "" when there is none.
std::string EmulationOptionGiven(int argc, char **argv) {
#ifdef _WIN32
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        for (const char *option : {"--camera", "--function", "--trace"}) {
            if (word == option || word.rfind(std::string(option) + "=", 0) == 0) {
                return std::string(option) +
                       " sets up the emulated machine, which only the Linux build of usbcam has; usbcam.exe "
                       "talks to the installed driver and the cameras plugged in";
            }
        }
    }
#else
    (void)argc;
    (void)argv;
#endif
    return "";
}

// The command as typed, from its name on, for messages.
std::string TypedCommand(int argc, char **argv, const std::string &name) {
    std::string text;
    bool found = false;
    for (int i = 1; i < argc; ++i) {
        if (!found && argv[i] != name) continue;
        found = true;
        text += (text.empty() ? "" : " ") + std::string(argv[i]);
    }
    return text.empty() ? name : text;
}

// Runs the commands in one session; the program's exit status.
int RunCommands(const std::vector<NumberedCommand> &commands, const usbcam::cli::SessionOptions &options) {
    std::string error;
    std::unique_ptr<usbcam::cli::Session> session = usbcam::cli::StartSession(options, &error);
    if (!session) return Fail(error);
    session->SetJson(options.Json);
    int exitCode = 0;
    for (const NumberedCommand &command : commands) {
        if (!session->Run(command.Command, std::cout, &error)) {
            std::cout.flush();
            exitCode = Fail(command.Line != 0 ? "line " + std::to_string(command.Line) + ": " + error : error);
            break;
        }
        std::cout.flush();
    }
    if (!session->Finish(std::cerr) && exitCode == 0) exitCode = kExitVerifier;
    return exitCode;
}

}  // namespace

int main(int argc, char **argv) {
    CLI::App app("Drives a Tavrinoscope camera through its driver's control interface.", "usbcam");
    app.require_subcommand(1);
    app.fallthrough();
    usbcam::cli::SessionOptions sessionOptions;
    CLI::Option *usb = nullptr;
    AddProgramOptions(app, &sessionOptions, &usb);
    usbcam::cli::RawOptions rawOptions;
    CLI::App *raw = app.add_subcommand("raw", "issue one device-control request and print its result");
    usbcam::cli::AddRawOptions(raw, &rawOptions, false);
    raw->footer(RawFooter());
    CLI::App *batch = AddBatch(app);
    usbcam::cli::ToolParser tools(&app);
    usbcam::cli::NamePlaceholders(&app);
    for (int i = 1; i < argc; ++i) g_json = g_json || std::string(argv[i]) == "--json";
    const std::string emulationOption = EmulationOptionGiven(argc, argv);
    if (!emulationOption.empty()) return Fail(emulationOption);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        return FailParse(app, e, raw->parsed() || batch->parsed() || tools.Parsed());
    }
    if (sessionOptions.Device > 31) {
        return Fail("--device " + std::to_string(sessionOptions.Device) +
                    ": cameras are numbered 0 to 31; try: usbcam list shows the cameras present");
    }

    std::vector<NumberedCommand> commands;
    std::string error;
    NumberedCommand command;
    command.Line = 0;
    if (raw->parsed()) {
        command.Command.What = usbcam::cli::Command::Kind::Raw;
        if (!usbcam::cli::BuildRawRequest(rawOptions, &command.Command.Raw, &error)) {
            return FailUsage("raw: " + error, "usbcam raw --help lists the code names");
        }
        commands.push_back(command);
    } else if (batch->parsed()) {
        if (!ReadBatch(std::cin, &commands, &error)) {
            return FailUsage(error, "usbcam batch --help lists the lines a batch takes");
        }
    } else if (tools.Parsed()) {
        command.Command.What = usbcam::cli::Command::Kind::Tool;
        if (!tools.Finish(&command.Command.Tool, &error)) {
            return Fail(error + "; try: usbcam " + command.Command.Tool.Text + " --help");
        }
        command.Command.Tool.Text = TypedCommand(argc, argv, command.Command.Tool.Text);
        commands.push_back(command);
    }
#ifndef _WIN32
    sessionOptions.Usb = usb->count() > 0;
#else
    (void)usb;
#endif
    return RunCommands(commands, sessionOptions);
}
