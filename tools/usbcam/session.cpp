// The commands every session runs: requests to a camera, choosing the camera,
// closing its handle.
#include "session.h"

#include <stdio.h>

#include <ostream>
#include <sstream>

#include "tool_support.h"
#include "usbcam/status_names.h"
#include "usbcam/text.h"

namespace usbcam {
namespace cli {

namespace {
const uint32_t kStatusObjectNameNotFound = 0xC0000034u;
// What Windows answers for a link name that names no object and is no valid
// file name either (cameras 12, 14 and 15: '<', '>', '?').
const uint32_t kStatusObjectNameInvalid = 0xC0000033u;
}

void PrintRawResult(const IoOutcome &outcome, const std::vector<uint8_t> &output,
                    std::ostream &out) {
    char line[64];
    snprintf(line, sizeof line, "status=0x%08X information=%llu", outcome.Status,
             static_cast<unsigned long long>(outcome.Information));
    out << line << "\nout=" << FormatHexBytes(output) << "\n";
}

bool Session::Run(const Command &command, std::ostream &out, std::string *error) {
    if (json_ && command.What != Command::Kind::Raw && command.What != Command::Kind::Tool) {
        // Emulation and handle lines print one text line each; in JSON they
        // come as {"output": "..."}.
        std::ostringstream text;
        if (!RunLine(command, text, error)) return false;
        std::string line = text.str();
        while (!line.empty() && line.back() == '\n') line.pop_back();
        out << nlohmann::json{{"output", line}}.dump() << "\n";
        return true;
    }
    return RunLine(command, out, error);
}

bool Session::RunLine(const Command &command, std::ostream &out, std::string *error) {
    switch (command.What) {
        case Command::Kind::Raw:
            return RunRaw(command.Raw, out, error);
        case Command::Kind::Device:
            device_ = command.Device;
            out << "device " << device_ << " (" << DevicePath(device_) << ")\n";
            return true;
        case Command::Kind::Close:
            handles_.erase(device_);
            out << "close " << DevicePath(device_) << "\n";
            return true;
        case Command::Kind::Tool: {
            ToolContext context;
            context.Owner = this;
            context.Json = json_;
            context.Out = &out;
            return RunTool(command.Tool, context, error);
        }
        default:
            return RunEmulation(command, out, error);
    }
}

Camera *Session::CameraFor(unsigned device, std::string *error) {
    std::unique_ptr<Camera> &handle = handles_[device];
    if (!handle) {
        const uint32_t status = Camera::Open(device, &handle);
        if (!IsNtSuccess(status)) {
            handles_.erase(device);
            const bool absent = status == kStatusObjectNameNotFound || status == kStatusObjectNameInvalid;
            *error = (absent ? "no such device " : "cannot open ") +
                     DevicePath(device) + ": " + FormatNtStatus(status) +
                     (absent
                          ? "; try: usbcam list"
                          : "; try: check that the camera has started (usbcam list)");
            return nullptr;
        }
    }
    return handle.get();
}

bool Session::RunRaw(const RawRequest &request, std::ostream &out, std::string *error) {
    const unsigned device = request.Device >= 0 ? static_cast<unsigned>(request.Device) : device_;
    Camera *handle = CameraFor(device, error);
    if (handle == nullptr) return false;
    std::vector<uint8_t> output = request.Output;
    const IoOutcome outcome =
        handle->Raw(request.Code, request.Input.empty() ? nullptr : request.Input.data(),
                    static_cast<uint32_t>(request.Input.size()),
                    output.empty() ? nullptr : output.data(),
                    static_cast<uint32_t>(output.size()));
    if (json_) {
        nlohmann::json line;
        line["command"] = "raw";
        line["code"] = request.Code;
        line["status"] = outcome.Status;
        line["status_name"] = FormatNtStatus(outcome.Status);
        line["information"] = outcome.Information;
        line["out"] = FormatHexBytes(output);
        out << line.dump() << "\n";
        return true;
    }
    PrintRawResult(outcome, output, out);
    return true;
}

}  // namespace cli
}  // namespace usbcam
