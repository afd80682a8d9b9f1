// usbcam: drives a camera through the driver's control interface, as a client
// program would. On Linux it runs the driver in the emulation with the
// reference camera (or a profile); on Windows it talks to the installed driver.
//
// Exit status: 0 when every command ran (whatever statuses the driver
// answered with), 1 on a usage error or a command that could not run (bad
// hex, unknown code, no such device, ...), 2 when the emulation's verifier
// caught the driver breaking a rule.
#include <iostream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "command.h"
#include "session.h"
#include "tavrinoscope_version.h"
#include "tool_command.h"
#include "usbcam/text.h"

namespace {

const int kExitError = 1;
const int kExitVerifier = 2;

struct NumberedCommand {
    size_t Line;  // 0 for the command line
    usbcam::cli::Command Command;
};

int Fail(const std::string &message) {
    std::cerr << "usbcam: " << message << std::endl;
    return kExitError;
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

}  // namespace

int main(int argc, char **argv) {
    CLI::App app("Drives a Tavrinoscope camera through its driver's control interface.", "usbcam");
    app.require_subcommand(1);
    app.fallthrough();

    usbcam::cli::SessionOptions sessionOptions;
    app.add_option("--device", sessionOptions.Device,
                   "camera N to address (\\\\.\\Tavrinoscope-N, default 0)")
        ->check(CLI::Range(0, 31));
#ifndef _WIN32
    // The emulated machine's settings; usbcam.exe talks to the installed
    // driver and the cameras plugged in, so it has none of them.
    app.add_option("--camera", sessionOptions.CameraProfile,
                   "JSON profile of the first camera (emulation; default: the reference camera)");
    app.add_option("--function", sessionOptions.Function,
                   "function of a composite --camera whose child device the driver gets (emulation; default 0)")
        ->check(CLI::Range(0, 255));
    app.add_option("--trace", sessionOptions.TracePath,
                   "record the session's bus traffic to this pcap file (emulation)");
    CLI::Option *usb = app.add_option("--usb", sessionOptions.UsbSelector,
                                      "drive a real USB camera through libusb: VID:PID (hex) or BUS/ADDRESS; "
                                      "alone, the first 1209:0001 (Linux)")
                           ->expected(0, 1);
#endif
    app.add_flag("--json", sessionOptions.Json, "print one JSON object per command, for scripts");
    app.set_version_flag("--version", "usbcam " TAVRINOSCOPE_VERSION_STRING, "print usbcam's version and exit");
    app.footer("Run `usbcam COMMAND --help` for a command's options and an example.");

    usbcam::cli::RawOptions rawOptions;
    CLI::App *raw = app.add_subcommand("raw", "issue one device-control request and print its result");
    usbcam::cli::AddRawOptions(raw, &rawOptions, false);
    raw->footer("Example:\n  usbcam raw GET_VERSION --out-len 6");
    CLI::App *batch = app.add_subcommand(
        "batch", "run commands read from standard input, one a line, in one session");
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
    usbcam::cli::ToolParser tools(&app);

#ifdef _WIN32
    // Said plainly rather than as an argument the parser did not expect.
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        for (const char *option : {"--camera", "--function", "--trace"}) {
            if (word == option || word.rfind(std::string(option) + "=", 0) == 0) {
                return Fail(std::string(option) +
                            " sets up the emulated machine, which only the Linux build of usbcam has; usbcam.exe "
                            "talks to the installed driver and the cameras plugged in");
            }
        }
    }
#endif

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        // A misspelt subcommand is left over rather than reported by name.
        const std::vector<std::string> extra = app.remaining();
        if (!raw->parsed() && !batch->parsed() && !tools.Parsed() && !extra.empty()) {
            return Fail("unknown subcommand '" + extra[0] + "'; try: usbcam --help lists the commands");
        }
        for (const CLI::App *sub : app.get_subcommands({})) {
            if (sub->parsed()) {
                return Fail(sub->get_name() + ": " + e.what() + "; try: usbcam " + sub->get_name() + " --help");
            }
        }
        return Fail(e.what());
    }

    std::vector<NumberedCommand> commands;
    std::string error;
    if (raw->parsed()) {
        NumberedCommand command;
        command.Line = 0;
        command.Command.What = usbcam::cli::Command::Kind::Raw;
        if (!usbcam::cli::BuildRawRequest(rawOptions, &command.Command.Raw, &error)) {
            return Fail(error);
        }
        commands.push_back(command);
    } else if (batch->parsed()) {
        if (!ReadBatch(std::cin, &commands, &error)) return Fail(error);
    } else if (tools.Parsed()) {
        NumberedCommand command;
        command.Line = 0;
        command.Command.What = usbcam::cli::Command::Kind::Tool;
        if (!tools.Finish(&command.Command.Tool, &error)) {
            return Fail(error + "; try: usbcam " + command.Command.Tool.Text + " --help");
        }
        // The command as typed, from its name on, for messages.
        std::string text;
        bool found = false;
        for (int i = 1; i < argc; ++i) {
            if (!found && argv[i] != command.Command.Tool.Text) continue;
            found = true;
            text += (text.empty() ? "" : " ") + std::string(argv[i]);
        }
        if (!text.empty()) command.Command.Tool.Text = text;
        commands.push_back(command);
    }

#ifndef _WIN32
    sessionOptions.Usb = usb->count() > 0;
#endif
    std::unique_ptr<usbcam::cli::Session> session = usbcam::cli::StartSession(sessionOptions, &error);
    if (!session) return Fail(error);
    session->SetJson(sessionOptions.Json);

    int exitCode = 0;
    for (const NumberedCommand &command : commands) {
        if (!session->Run(command.Command, std::cout, &error)) {
            std::cout.flush();
            exitCode = Fail(command.Line != 0 ? "line " + std::to_string(command.Line) + ": " + error
                                              : error);
            break;
        }
        std::cout.flush();
    }
    if (!session->Finish(std::cerr) && exitCode == 0) exitCode = kExitVerifier;
    return exitCode;
}
