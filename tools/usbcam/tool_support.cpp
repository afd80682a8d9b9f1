// Reports, failure lines, progress and the command switch.
#include "tool_support.h"

#include <stdio.h>
#ifdef _WIN32
#include <io.h>
#define USBCAM_ISATTY _isatty
#else
#include <unistd.h>
#define USBCAM_ISATTY isatty
#endif

#include <chrono>
#include <iostream>
#include <thread>

#include <fmt/format.h>

#include "session.h"
#include "usbcam/status_names.h"

namespace usbcam {
namespace cli {

Camera *ToolContext::OpenCamera(std::string *error) { return Owner->CameraFor(Owner->device(), error); }

int32_t ToolContext::TimeoutMs() const {
#ifdef _WIN32
    // The installed driver keeps a time-out another run may have set.
    return Owner->TimeoutKnown() ? Owner->TimeoutMs() : 0;
#else
    return Owner->TimeoutMs();  // the driver starts with this session
#endif
}

void Report::Print(const ToolContext &context) const {
    if (context.Json) {
        *context.Out << json_.dump() << "\n";
    } else {
        *context.Out << text_;
    }
}

int32_t LastUsbStatus(Camera *camera) {
    int32_t status = 0;
    const IoOutcome outcome = camera->GetLastStatus(&status);
    return IsNtSuccess(outcome.Status) && outcome.Information >= 4 ? status : 0;
}

namespace {

std::string HintFor(uint32_t status) {
    switch (status) {
        case 0xC0000002u:  // STATUS_NOT_IMPLEMENTED
            return "this driver does not serve the request yet; use a driver build that has the transfer engine";
        case 0xC000000Du:  // STATUS_INVALID_PARAMETER
            return "check the pipe index, the pipe's type and the lengths against `usbcam info`";
        case 0xC0000001u:  // STATUS_UNSUCCESSFUL
            return "the camera or the bus refused it; a halted pipe clears with `usbcam reset-pipe PIPE`";
        case 0xC00000B5u:  // STATUS_IO_TIMEOUT
            return "no answer within the time-out; raise it with `usbcam timeout MS` or check the camera";
        case 0xC0000056u:  // STATUS_DELETE_PENDING
        case 0xC000009Du:  // STATUS_DEVICE_NOT_CONNECTED
        case 0xC000000Eu:  // STATUS_NO_SUCH_DEVICE
        case 0xC00002B6u:  // STATUS_DEVICE_REMOVED
            return "the camera is gone or being removed; plug it in again and run `usbcam list`";
        case 0x80000011u:  // STATUS_DEVICE_BUSY
            return "another transfer is using the camera; try again when it is done";
        case 0xC0000017u:  // STATUS_NO_MEMORY
        case 0xC000009Au:  // STATUS_INSUFFICIENT_RESOURCES
            return "the driver is short of memory; try a smaller transfer";
        case 0xC0000005u:  // STATUS_ACCESS_VIOLATION
            return "the driver could not write into the buffer it was given";
        case 0xC0000120u:  // STATUS_CANCELLED
            return "the request was cancelled by an abort or a removal; try again";
    }
    return "see `usbcam info` and `usbcam last-status`";
}

}  // namespace

std::string FailureText(const std::string &asked, uint32_t status, int32_t lastUsb, const std::string &hint) {
    std::string text = asked + ": " + FormatNtStatus(status);
    if (lastUsb < 0) text += ", last USB status " + FormatUsbdStatus(static_cast<uint32_t>(lastUsb));
    return text + "; try: " + (hint.empty() ? HintFor(status) : hint);
}

std::string Failure(Camera *camera, const std::string &asked, const IoOutcome &outcome, const std::string &hint) {
    return FailureText(asked, outcome.Status, LastUsbStatus(camera), hint);
}

bool ProgressWanted() { return USBCAM_ISATTY(2) != 0; }

void ProgressLine::Show(const std::string &text) {
    if (!enabled_) return;
    std::cerr << "\r" << text << "\x1b[K" << std::flush;
    shown_ = true;
}

void ProgressLine::Finish() {
    if (shown_) std::cerr << "\r\x1b[K" << std::flush;
    shown_ = false;
}

std::string HumanBytes(double bytes) {
    static const char *const kUnits[] = {"B", "kB", "MB", "GB"};
    int unit = 0;
    while (bytes >= 1000 && unit < 3) {
        bytes /= 1000;
        ++unit;
    }
    return unit == 0 ? fmt::format("{:.0f} {}", bytes, kUnits[unit]) : fmt::format("{:.1f} {}", bytes, kUnits[unit]);
}

bool ReadPipeTable(Camera *camera, InterfaceTable *table, std::string *error) {
    std::vector<uint8_t> info(24 + 24 * 32);
    const IoOutcome outcome = camera->GetInterfaceInfo(info.data(), static_cast<uint32_t>(info.size()));
    if (!IsNtSuccess(outcome.Status)) {
        *error = Failure(camera, "reading the interface information", outcome);
        return false;
    }
    if (outcome.Information == 0) {
        *error = "the driver has no interface selected; try: usbcam select 0 0";
        return false;
    }
    return ParseInterfaceTable(info.data(), static_cast<size_t>(outcome.Information), table, error);
}

std::string InDirectory(const std::string &directory, const std::string &name) {
    if (directory.empty() || directory == ".") return name;
    const char last = directory.back();
    return directory + (last == '/' || last == '\\' ? "" : "/") + name;
}

bool RunTool(const ToolCommand &command, ToolContext &context, std::string *error) {
    switch (command.What) {
        case Tool::List: return RunList(command, context, error);
        case Tool::Info: return RunInfo(command, context, error);
        case Tool::Load: return RunLoad(command, context, error);
        case Tool::Capture: return RunCapture(command, context, error);
        case Tool::Read:
        case Tool::Write: return RunTransfer(command, context, error);
        case Tool::IsoRead: return RunIsoRead(command, context, error);
        case Tool::Stream: return RunStream(command, context, error);
        case Tool::View: return RunView(command, context, error);
        case Tool::Demo: return RunDemo(command, context, error);
        case Tool::Sleep: {
            std::this_thread::sleep_for(std::chrono::milliseconds(command.Milliseconds));
            Report report("sleep");
            report["milliseconds"] = command.Milliseconds;
            report.Line(fmt::format("slept {} ms", command.Milliseconds));
            report.Print(context);
            return true;
        }
        default: return RunDeviceCommand(command, context, error);
    }
}

}  // namespace cli
}  // namespace usbcam
