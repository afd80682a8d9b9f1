// Parsing of usbcam's commands: the raw request's options and the batch lines.
#include "command.h"

#include <CLI/CLI.hpp>

#include "usbcam/control_codes.h"
#include "usbcam/status_names.h"
#include "usbcam/text.h"

namespace usbcam {
namespace cli {

void AddRawOptions(CLI::App *app, RawOptions *options, bool withDevice) {
    app->add_option("CODE", options->Code,
                    "control code: a name (IOCTL_USBCAM_GET_VERSION, get_version) or a number "
                    "(0x222074)")
        ->required();
    app->add_option("--in", options->In, "input buffer, as hex bytes (\"0a1b\", \"0a 1b\")");
    CLI::Option *out = app->add_option(
        "--out", options->Out, "the second (output or data) buffer's initial bytes, as hex");
    CLI::Option *outLength =
        app->add_option("--out-len", options->OutLength, "the second buffer's length in bytes");
    CLI::Option *fill = app->add_option("--fill", options->Fill,
                                        "the byte that fills the --out-len buffer (default 0)");
    out->excludes(outLength);
    fill->needs(outLength);
    if (withDevice) {
        app->add_option("--device", options->Device, "camera N (\\\\.\\Tavrinoscope-N)")
            ->check(CLI::Range(0, 31));
    }
}

bool BuildRawRequest(const RawOptions &options, RawRequest *request, std::string *error) {
    *request = RawRequest();
    request->Device = options.Device;
    if (!ParseControlCode(options.Code, &request->Code, error)) return false;

    std::string why;
    if (!ParseHexBytes(options.In, &request->Input, &why)) {
        *error = "--in: " + why;
        return false;
    }
    if (request->Input.size() > UINT32_MAX) {
        *error = "--in: too long";
        return false;
    }
    if (!options.Out.empty() && !ParseHexBytes(options.Out, &request->Output, &why)) {
        *error = "--out: " + why;
        return false;
    }
    if (!options.OutLength.empty()) {
        uint64_t length = 0;
        if (!ParseUnsigned64(options.OutLength, &length)) {
            *error = "--out-len: '" + options.OutLength + "' is not a byte count";
            return false;
        }
        if (length > kMaxOutputLength) {
            *error = "--out-len: at most " + std::to_string(kMaxOutputLength) + " bytes";
            return false;
        }
        uint32_t fill = 0;
        if (!options.Fill.empty() && (!ParseUnsigned32(options.Fill, &fill) || fill > 0xFF)) {
            *error = "--fill: '" + options.Fill + "' is not a byte value (0 to 255, or 0x00 to 0xff)";
            return false;
        }
        request->Output.assign(static_cast<size_t>(length), static_cast<uint8_t>(fill));
    }
    return true;
}

bool IsSkippedLine(const std::string &line) {
    for (char c : line) {
        if (c == ' ' || c == '\t' || c == '\r') continue;
        return c == '#';
    }
    return true;
}

bool ParseEndpoint(const std::string &text, int *endpoint) {
    if (ToUpper(text) == "ANY") {
        *endpoint = -1;
        return true;
    }
    uint32_t value = 0;
    if (!ParseUnsigned32(text, &value) || value > 0xFF || (value & 0x70) != 0) return false;
    *endpoint = static_cast<int>(value);
    return true;
}

bool ParseDuration(const std::string &text, uint32_t *microseconds) {
    std::string number = text;
    uint64_t scale = 1000;  // a bare number is milliseconds
    auto endsWith = [&](const char *suffix) {
        const std::string s(suffix);
        return number.size() > s.size() && number.compare(number.size() - s.size(), s.size(), s) == 0;
    };
    if (endsWith("us")) {
        number.resize(number.size() - 2);
        scale = 1;
    } else if (endsWith("ms")) {
        number.resize(number.size() - 2);
    } else if (endsWith("s")) {
        number.resize(number.size() - 1);
        scale = 1000000;
    }
    uint64_t value = 0;
    if (!ParseUnsigned64(number, &value) || value > UINT32_MAX / scale) return false;
    *microseconds = static_cast<uint32_t>(value * scale);
    return true;
}

namespace {

bool ParseOnOff(const std::vector<std::string> &words, size_t at, bool *on, std::string *error) {
    if (words.size() <= at) {
        *on = true;
        return true;
    }
    const std::string word = ToUpper(words[at]);
    if (word == "ON") {
        *on = true;
    } else if (word == "OFF") {
        *on = false;
    } else {
        *error = words[0] + ": expected on or off, not '" + words[at] + "'";
        return false;
    }
    return true;
}

bool ArgumentCount(const std::vector<std::string> &words, size_t least, size_t most,
                   const char *usage, std::string *error) {
    const size_t count = words.size() - 1;
    if (count < least || count > most) {
        *error = std::string("usage: ") + usage;
        return false;
    }
    return true;
}

bool EndpointArgument(const std::vector<std::string> &words, size_t at, int *endpoint,
                      std::string *error) {
    if (ParseEndpoint(words[at], endpoint)) return true;
    *error = words[0] + ": '" + words[at] +
             "' is not an endpoint address (0 for the control pipe, 0x81, ..., or any)";
    return false;
}

bool ParseRawLine(const std::vector<std::string> &words, Command *command, std::string *error) {
    CLI::App app("one device-control request", "raw");
    RawOptions options;
    AddRawOptions(&app, &options, true);
    std::vector<std::string> args(words.rbegin(), words.rend() - 1);  // CLI11 takes them reversed
    try {
        app.parse(args);
    } catch (const CLI::ParseError &e) {
        *error = std::string("raw: ") + e.what();
        return false;
    }
    command->What = Command::Kind::Raw;
    return BuildRawRequest(options, &command->Raw, error);
}

bool ParsePower(const std::vector<std::string> &words, Command *command, std::string *error) {
    if (!ArgumentCount(words, 0, 2, "power [set|query] [D0|D1|D2|D3|S0|S1|S2|S3|S4|S5]", error)) {
        return false;
    }
    command->What = Command::Kind::Power;
    command->PowerMinor = 0x02;  // IRP_MN_SET_POWER
    std::string verb = "set";
    std::string state = "D0";
    size_t at = 1;
    if (words.size() > at && (ToUpper(words[at]) == "SET" || ToUpper(words[at]) == "QUERY")) {
        verb = ToUpper(words[at]) == "SET" ? "set" : "query";
        command->PowerMinor = verb == "set" ? 0x02 : 0x03;  // IRP_MN_QUERY_POWER
        ++at;
    }
    if (words.size() > at) {
        state = ToUpper(words[at]);
        ++at;
    }
    if (at != words.size()) {
        *error = "usage: power [set|query] [D0|D1|D2|D3|S0|S1|S2|S3|S4|S5]";
        return false;
    }
    if (state.size() == 2 && state[0] == 'D' && state[1] >= '0' && state[1] <= '3') {
        command->PowerIsDevice = true;
        command->PowerState = static_cast<uint32_t>(state[1] - '0') + 1;  // PowerDeviceD0 = 1
    } else if (state.size() == 2 && state[0] == 'S' && state[1] >= '0' && state[1] <= '5') {
        command->PowerIsDevice = false;
        command->PowerState = static_cast<uint32_t>(state[1] - '0') + 1;  // PowerSystemWorking = 1
    } else {
        *error = "power: '" + state + "' is not a power state (D0 to D3, S0 to S5)";
        return false;
    }
    command->PowerText = verb + " " + state;
    return true;
}

}  // namespace

bool ParseCommand(const std::vector<std::string> &words, Command *command, std::string *error) {
    *command = Command();
    if (words.empty()) {
        *error = "empty command";
        return false;
    }
    const std::string verb = words[0];
    if (verb == "raw") return ParseRawLine(words, command, error);
    if (ToolParser::IsToolVerb(verb)) {
        command->What = Command::Kind::Tool;
        return ParseToolLine(words, &command->Tool, error);
    }

    if (verb == "device") {
        if (!ArgumentCount(words, 1, 1, "device N", error)) return false;
        uint32_t index = 0;
        if (!ParseUnsigned32(words[1], &index) || index > 31) {
            *error = "device: '" + words[1] + "' is not a camera number (0 to 31)";
            return false;
        }
        command->What = Command::Kind::Device;
        command->Device = index;
        return true;
    }
    if (verb == "close") {
        command->What = Command::Kind::Close;
        return ArgumentCount(words, 0, 0, "close", error);
    }
    if (verb == "plug") {
        if (!ArgumentCount(words, 0, 1, "plug [PROFILE]", error)) return false;
        command->What = Command::Kind::Plug;
        if (words.size() > 1) command->Profile = words[1];
        return true;
    }
    if (verb == "unplug") {
        command->What = Command::Kind::Unplug;
        return ArgumentCount(words, 0, 0, "unplug", error);
    }
    if (verb == "pnp") {
        const char *usage = "pnp start|stop|remove|surprise-remove|capabilities";
        if (!ArgumentCount(words, 1, 1, usage, error)) return false;
        const std::string action = words[1];
        command->What = Command::Kind::Pnp;
        if (action == "start") {
            command->Pnp = PnpAction::Start;
        } else if (action == "stop") {
            command->Pnp = PnpAction::Stop;
        } else if (action == "remove") {
            command->Pnp = PnpAction::Remove;
        } else if (action == "surprise-remove") {
            command->Pnp = PnpAction::SurpriseRemove;
        } else if (action == "capabilities") {
            command->Pnp = PnpAction::Capabilities;
        } else {
            *error = "pnp: unknown action '" + action + "' (" + usage + ")";
            return false;
        }
        return true;
    }
    if (verb == "power") return ParsePower(words, command, error);
    if (verb == "stall" || verb == "never-answer") {
        if (!ArgumentCount(words, 1, 2, verb == "stall" ? "stall EP [on|off]" : "never-answer EP [on|off]",
                           error)) {
            return false;
        }
        command->What = verb == "stall" ? Command::Kind::Stall : Command::Kind::NeverAnswer;
        return EndpointArgument(words, 1, &command->Endpoint, error) &&
               ParseOnOff(words, 2, &command->On, error);
    }
    if (verb == "fail") {
        if (!ArgumentCount(words, 2, 3, "fail EP COUNT [USBD_STATUS]", error)) return false;
        command->What = Command::Kind::FailNext;
        if (!EndpointArgument(words, 1, &command->Endpoint, error)) return false;
        if (!ParseUnsigned32(words[2], &command->Count)) {
            *error = "fail: '" + words[2] + "' is not a count";
            return false;
        }
        command->Status = 0xC0000004u;  // USBD_STATUS_STALL_PID
        if (words.size() > 3 && !UsbdStatusFromName(words[3], &command->Status)) {
            *error = "fail: unknown USBD status '" + words[3] + "'";
            return false;
        }
        return true;
    }
    if (verb == "latency") {
        if (!ArgumentCount(words, 2, 2, "latency EP TIME", error)) return false;
        command->What = Command::Kind::Latency;
        if (!EndpointArgument(words, 1, &command->Endpoint, error)) return false;
        if (!ParseDuration(words[2], &command->Microseconds)) {
            *error = "latency: '" + words[2] + "' is not a time (250us, 5ms, 1s; a bare number is ms)";
            return false;
        }
        return true;
    }
    if (verb == "inline") {
        if (!ArgumentCount(words, 0, 1, "inline [on|off]", error)) return false;
        command->What = Command::Kind::Inline;
        return ParseOnOff(words, 1, &command->On, error);
    }
    if (verb == "port-status") {
        if (!ArgumentCount(words, 1, 1, "port-status VALUE", error)) return false;
        command->What = Command::Kind::PortStatus;
        if (!ParseUnsigned32(words[1], &command->Value)) {
            *error = "port-status: '" + words[1] + "' is not a number";
            return false;
        }
        return true;
    }
    if (verb == "fail-port-reset") {
        if (!ArgumentCount(words, 1, 2, "fail-port-reset COUNT [NTSTATUS]", error)) return false;
        command->What = Command::Kind::FailPortReset;
        if (!ParseUnsigned32(words[1], &command->Count)) {
            *error = "fail-port-reset: '" + words[1] + "' is not a count";
            return false;
        }
        command->Status = 0xC0000001u;  // STATUS_UNSUCCESSFUL
        if (words.size() > 2 && !NtStatusFromName(words[2], &command->Status)) {
            *error = "fail-port-reset: unknown status '" + words[2] + "'";
            return false;
        }
        return true;
    }
    if (verb == "reset-knobs") {
        command->What = Command::Kind::ResetKnobs;
        return ArgumentCount(words, 0, 0, "reset-knobs", error);
    }
    if (verb == "inline-failures" || verb == "bandwidth") {
        if (!ArgumentCount(words, 0, 1, (verb + " [on|off]").c_str(), error)) return false;
        command->What = verb == "bandwidth" ? Command::Kind::Bandwidth : Command::Kind::InlineFailures;
        return ParseOnOff(words, 1, &command->On, error);
    }
    if (verb == "completion-threads") {
        if (!ArgumentCount(words, 1, 1, "completion-threads N", error)) return false;
        command->What = Command::Kind::CompletionThreads;
        if (!ParseUnsigned32(words[1], &command->Count) || command->Count < 1 || command->Count > 4) {
            *error = "completion-threads: '" + words[1] + "' is not a count from 1 to 4";
            return false;
        }
        return true;
    }
    if (verb == "completion-delay") {
        if (!ArgumentCount(words, 1, 1, "completion-delay TIME", error)) return false;
        command->What = Command::Kind::CompletionDelay;
        if (!ParseDuration(words[1], &command->Microseconds)) {
            *error = "completion-delay: '" + words[1] + "' is not a time (250us, 5ms, 1s; a bare number is ms)";
            return false;
        }
        return true;
    }
    *error = "unknown command '" + verb + "'";
    return false;
}

}  // namespace cli
}  // namespace usbcam
