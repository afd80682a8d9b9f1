// What usbcam can be asked to do, parsed from its command line or from one
// line of a batch, before anything runs: parsing never touches a device, so a
// mistake is reported before the emulation starts or a request is sent.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "tool_command.h"

namespace CLI {
class App;
}

namespace usbcam {
namespace cli {

// The options of `raw`, as typed.
struct RawOptions {
    std::string Code;
    std::string In;
    std::string Out;
    std::string OutLength;
    std::string Fill;
    int Device = -1;  // --device on the raw line itself; -1: the session's
};

// Adds CODE, --in, --out, --out-len, --fill (and, with withDevice, --device)
// to a CLI11 command.
void AddRawOptions(CLI::App *app, RawOptions *options, bool withDevice);

// One device-control request, ready to send.
struct RawRequest {
    uint32_t Code = 0;
    std::vector<uint8_t> Input;
    std::vector<uint8_t> Output;  // initial bytes of the second buffer
    int Device = -1;
};

// Largest second buffer usbcam will allocate (--out-len).
constexpr uint64_t kMaxOutputLength = 256u * 1024u * 1024u;

bool BuildRawRequest(const RawOptions &options, RawRequest *request, std::string *error);

enum class PnpAction { Start,
                       Stop,
                       Remove,
                       SurpriseRemove,
                       Capabilities };

struct Command {
    enum class Kind {
        Raw,                // raw CODE ...
        Device,             // device N
        Close,              // close
        Plug,               // plug [PROFILE]
        Unplug,             // unplug
        Pnp,                // pnp ACTION
        Power,              // power [set|query] [D0..D3|S0..S5]
        Stall,              // stall EP [on|off]
        FailNext,           // fail EP COUNT [USBD_STATUS]
        Latency,            // latency EP TIME
        NeverAnswer,        // never-answer EP [on|off]
        Inline,             // inline [on|off]
        PortStatus,         // port-status VALUE
        FailPortReset,      // fail-port-reset COUNT [NTSTATUS]
        ResetKnobs,         // reset-knobs
        InlineFailures,     // inline-failures [on|off]
        CompletionThreads,  // completion-threads N (1..4; bus-wide)
        CompletionDelay,    // completion-delay TIME (bus-wide)
        Bandwidth,          // bandwidth [on|off] (bus-wide)
        Tool,               // a camera command (info, read, stream, ...): tool_command.h
    };
    Kind What = Kind::Raw;
    RawRequest Raw;
    unsigned Device = 0;
    std::string Profile;
    PnpAction Pnp = PnpAction::Start;
    uint8_t PowerMinor = 0;     // IRP_MN_SET_POWER (2) or IRP_MN_QUERY_POWER (3)
    bool PowerIsDevice = true;  // device power state, else system power state
    uint32_t PowerState = 1;    // D0 = 1 ... D3 = 4; S0 (working) = 1 ... S5 = 6
    std::string PowerText;      // "set D0", as echoed back
    int Endpoint = 0;           // address, 0 for the control pipe, -1 for all
    bool On = true;
    uint32_t Count = 0;
    uint32_t Status = 0;
    uint32_t Microseconds = 0;
    uint32_t Value = 0;
    ToolCommand Tool;
};

// Words of one batch line into a command. Returns false with *error on a
// malformed line. (Blank lines and comments are the caller's to skip.)
bool ParseCommand(const std::vector<std::string> &words, Command *command, std::string *error);

// True for a line that holds no command: blank, or starting with '#'.
bool IsSkippedLine(const std::string &line);

// "0x82", "130", "any" (every endpoint). Endpoint 0 is the control pipe.
bool ParseEndpoint(const std::string &text, int *endpoint);

// "5ms", "250us", "2s" or a bare number of milliseconds, into microseconds.
bool ParseDuration(const std::string &text, uint32_t *microseconds);

}  // namespace cli
}  // namespace usbcam
