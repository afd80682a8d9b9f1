// The camera commands that read state or send one control request: list,
// info, select, reset-pipe, abort-pipe, reset-port, feature, vendor, control,
// string, frame, last-status, timeout.
#include <string.h>

#include <fmt/format.h>

#include "bandwidth_hint.h"
#include "session.h"
#include "tool_support.h"
#include "transfer_hints.h"
#include "usbcam/status_names.h"
#include "usbcam/text.h"

namespace usbcam {
namespace cli {

std::string HexDump(const uint8_t *bytes, size_t length, size_t limit) {
    std::string out;
    const size_t shown = length < limit ? length : limit;
    for (size_t row = 0; row < shown; row += 16) {
        std::string hex, text;
        for (size_t i = row; i < row + 16; ++i) {
            if (i < shown) {
                hex += fmt::format("{:02x} ", bytes[i]);
                text += (bytes[i] >= 0x20 && bytes[i] < 0x7F) ? static_cast<char>(bytes[i]) : '.';
            } else {
                hex += "   ";
            }
        }
        out += fmt::format("{:08x}  {} |{}|\n", row, hex, text);
    }
    if (shown < length) out += fmt::format("... {} more bytes (use -o FILE to keep them all)\n", length - shown);
    return out;
}

const char *UsbStatusWords(uint32_t status) {
    switch (status) {
        case 0x00000000u: return "no error";
        case 0xC0000004u: return "stall";
        case 0xC0000030u: return "endpoint halted";
        case 0xC0010000u: return "cancelled";
        case 0xC0000005u: return "device not responding";
        case 0xC0000001u: return "CRC error";
        case 0xC0000008u: return "data overrun";
        case 0xC0000009u: return "data underrun";
        case 0xC0000011u: return "transaction error";
        case 0xC0000012u: return "babble";
        case 0xC0000B00u: return "isochronous request failed";
        case 0x80000600u: return "invalid pipe handle";
        case 0x80000300u: return "invalid parameter";
    }
    return "";
}

namespace {

std::string UsbStatusText(int32_t status) {
    const char *words = UsbStatusWords(static_cast<uint32_t>(status));
    return FormatUsbdStatus(static_cast<uint32_t>(status)) + (words[0] != '\0' ? std::string(": ") + words : "");
}

nlohmann::json DescriptorJson(const DecodedDescriptor &d) {
    nlohmann::json j;
    j["title"] = d.Title;
    j["fields"] = nlohmann::json::array();
    for (const DescriptorField &f : d.Fields) {
        nlohmann::json field = {{"name", f.Name}, {"value", f.Value}, {"shown", f.Shown}};
        if (!f.Note.empty()) field["note"] = f.Note;
        if (!f.Details.empty()) field["details"] = f.Details;
        j["fields"].push_back(field);
    }
    if (!d.Bytes.empty()) j["bytes"] = FormatHexBytes(d.Bytes);
    if (!d.Children.empty()) {
        j["children"] = nlohmann::json::array();
        for (const DecodedDescriptor &child : d.Children) j["children"].push_back(DescriptorJson(child));
    }
    return j;
}

// The string descriptor's text in the camera's first language.
class StringReader {
public:
    explicit StringReader(Camera *camera) : camera_(camera) {
        uint8_t buffer[256];
        const IoOutcome outcome = camera_->GetStringDescriptor(0, 0, buffer, sizeof buffer);
        if (IsNtSuccess(outcome.Status) && outcome.Information >= 4) {
            language_ = static_cast<uint16_t>(buffer[2] | buffer[3] << 8);
        }
    }
    std::string operator()(uint8_t index) {
        uint8_t buffer[256];
        const IoOutcome outcome = camera_->GetStringDescriptor(index, language_, buffer, sizeof buffer);
        std::string text;
        if (IsNtSuccess(outcome.Status) &&
            StringDescriptorText(buffer, static_cast<size_t>(outcome.Information), &text)) {
            return text;
        }
        return "";
    }
    uint16_t language() const { return language_; }

private:
    Camera *camera_;
    uint16_t language_ = 0x0409;
};

// wMaxPacketSize of an endpoint of the given setting, from the decoded
// configuration (0 when not found).
uint16_t EndpointPacketSize(const DecodedDescriptor &node, uint8_t interface, uint8_t alternate,
                            uint8_t address, bool inSetting = false) {
    for (const DecodedDescriptor &child : node.Children) {
        if (child.Title == "Interface Descriptor") {
            const bool match = child.FieldValue("bInterfaceNumber") == interface &&
                               child.FieldValue("bAlternateSetting") == alternate;
            if (match) {
                const uint16_t found = EndpointPacketSize(child, interface, alternate, address, true);
                if (found != 0) return found;
            }
        } else if (child.Title == "Endpoint Descriptor" && inSetting) {
            if (child.FieldValue("bEndpointAddress") == address) {
                return static_cast<uint16_t>(child.FieldValue("wMaxPacketSize"));
            }
        } else if (child.Title == "Interface Association") {
            const uint16_t found = EndpointPacketSize(child, interface, alternate, address);
            if (found != 0) return found;
        }
    }
    return 0;
}

bool ReadConfiguration(Camera *camera, std::vector<uint8_t> *bytes, std::string *error) {
    bytes->assign(9, 0);
    IoOutcome outcome = camera->GetConfigDescriptor(bytes->data(), 9);
    if (!IsNtSuccess(outcome.Status) || outcome.Information < 9) {
        *error = FailureText("info: reading the configuration descriptor",
                             IsNtSuccess(outcome.Status) ? 0xC0000001u : outcome.Status, LastUsbStatus(camera),
                             "the driver read no configuration; check the camera with `usbcam last-status`");
        return false;
    }
    const size_t total = static_cast<size_t>((*bytes)[2] | (*bytes)[3] << 8);
    bytes->assign(total < 9 ? 9 : total, 0);
    outcome = camera->GetConfigDescriptor(bytes->data(), static_cast<uint32_t>(bytes->size()));
    bytes->resize(static_cast<size_t>(outcome.Information));
    return true;
}

}  // namespace

namespace {

// A camera whose link still opens but whose device no longer answers: one
// unplugged while a program holds a handle to it (its removal waits for the
// handles), or one that stopped answering.
std::string UnansweredListLine(unsigned n, const IoOutcome &outcome, bool gone, nlohmann::json *entry) {
    (*entry)["started"] = false;
    (*entry)["state"] = gone ? "removed" : "not answering";
    (*entry)["status"] = FormatNtStatus(IsNtSuccess(outcome.Status) ? 0xC0000001u : outcome.Status);
    if (gone) {
        return fmt::format("{:<3}{:<22}removed (unplugged; it goes once every program holding it closes it)", n,
                           DevicePath(n));
    }
    return fmt::format("{:<3}{:<22}not answering (its device descriptor: {}); try: usbcam --device {} reset-port",
                       n, DevicePath(n), (*entry)["status"].get<std::string>(), n);
}

}  // namespace

bool RunList(const ToolCommand &command, ToolContext &context, std::string *) {
    Report report(command.Text);
    report["cameras"] = nlohmann::json::array();
    size_t found = 0;
    for (unsigned n = 0; n < 32; ++n) {
        std::unique_ptr<Camera> camera;
        const uint32_t status = Camera::Open(n, &camera);
        // No such camera: STATUS_OBJECT_NAME_NOT_FOUND. On Windows a link name
        // that names no object is then taken as a file name, and those of
        // cameras 12, 14 and 15 ('<', '>', '?') are not valid ones:
        // STATUS_OBJECT_NAME_INVALID.
        if (status == 0xC0000034u || status == 0xC0000033u) continue;
        ++found;
        nlohmann::json entry = {{"index", n}, {"link", DevicePath(n)}, {"started", IsNtSuccess(status)}};
        if (!IsNtSuccess(status)) {
            entry["open_status"] = FormatNtStatus(status);
            report.Line(fmt::format("{:<3}{:<22}not started (open answers {})", n, DevicePath(n), FormatNtStatus(status)));
            report["cameras"].push_back(entry);
            continue;
        }
        uint8_t device[18] = {};
        const IoOutcome outcome = camera->GetDeviceDescriptor(device, sizeof device);
        if (!IsNtSuccess(outcome.Status) || outcome.Information < 18) {
            report.Line(UnansweredListLine(n, outcome, CameraGone(camera.get(), outcome.Status, LastUsbStatus(camera.get())), &entry));
            report["cameras"].push_back(entry);
            continue;
        }
        std::string ids = "????:????", product;
        {
            const unsigned vendor = device[8] | device[9] << 8, productId = device[10] | device[11] << 8;
            ids = fmt::format("{:04x}:{:04x}", vendor, productId);
            entry["vendor"] = vendor;
            entry["product"] = productId;
            if (device[15] != 0) {
                StringReader strings(camera.get());
                product = strings(device[15]);
                entry["product_name"] = product;
            }
        }
        report.Line(fmt::format("{:<3}{:<22}{}  {}  started", n, DevicePath(n), ids, product.empty() ? "-" : product));
        report["cameras"].push_back(entry);
    }
    if (found == 0) {
        std::string detail;
        switch (context.Owner->Driver(&detail)) {
            case Session::DriverState::NotInstalled:
                report["driver"] = "not installed";
                report.Line(
                    "no cameras: the Tavrinoscope driver is not installed; try: install the driver package "
                    "(pnputil /add-driver tavrinoscope.inf /install, see INSTALL.md), then plug the camera in");
                break;
            case Session::DriverState::InstalledNotLoaded:
                report["driver"] = "installed";
                report.Line(
                    "no cameras: the driver is installed, but no camera is plugged in; try: plug the camera in "
                    "(or another USB port), then usbcam list");
                break;
            case Session::DriverState::Loaded:
                report["driver"] = "loaded";
                report.Line(context.Owner->Emulated()
                                ? "no cameras: none is plugged in and started in this emulated session"
                                : "no cameras: the driver is loaded, but no camera is plugged in and started; try: "
                                  "plug the camera in again, then usbcam list");
                break;
            case Session::DriverState::Unknown:
                report["driver"] = "unknown";
                report.Line("no cameras (" + detail + ", so whether the driver is installed is not known)");
                break;
        }
    }
    report.Print(context);
    return true;
}

bool RunInfo(const ToolCommand &command, ToolContext &context, std::string *error) {
    Camera *camera = context.OpenCamera(error);
    if (camera == nullptr) return false;
    Report report(command.Text);
    StringReader strings(camera);
    const StringLookup lookup = [&](uint8_t index) { return strings(index); };

    uint8_t deviceBytes[18] = {};
    IoOutcome outcome = camera->GetDeviceDescriptor(deviceBytes, sizeof deviceBytes);
    DecodedDescriptor device;
    if (!IsNtSuccess(outcome.Status) || outcome.Information < 18) {
        *error = FailureText("info: reading the device descriptor",
                             IsNtSuccess(outcome.Status) ? 0xC0000001u : outcome.Status, LastUsbStatus(camera),
                             "check the camera with `usbcam last-status` and `usbcam reset-port`");
        return false;
    }
    if (!DecodeDeviceDescriptor(deviceBytes, sizeof deviceBytes, lookup, &device, error)) return false;

    std::vector<uint8_t> configBytes;
    if (!ReadConfiguration(camera, &configBytes, error)) return false;
    DecodedDescriptor configuration;
    std::string why;
    if (!DecodeConfiguration(configBytes.data(), configBytes.size(), lookup, &configuration, &why)) {
        configuration.Title += " (" + why + ")";
    }
    device.Children.push_back(configuration);

    report.Line(fmt::format("Camera {} ({})", context.Owner->device(), DevicePath(context.Owner->device())));
    std::string listing = RenderDescriptor(device);
    listing.pop_back();  // Line adds the last line end
    report.Line(listing);
    report["device"] = DescriptorJson(device);
    report["language"] = strings.language();

    InterfaceTable table;
    if (ReadPipeTable(camera, &table, &why)) {
        report.Line(fmt::format("Current interface {}, alternate setting {}: {} pipe{}", table.InterfaceNumber,
                                table.AlternateSetting, table.Pipes.size(), table.Pipes.size() == 1 ? "" : "s"));
        if (!table.Pipes.empty()) {
            report.Line("  pipe  type         dir  endpoint  packet size       transfer size  interval");
        }
        nlohmann::json pipes = nlohmann::json::array();
        for (const PipeEntry &pipe : table.Pipes) {
            const uint16_t described = EndpointPacketSize(configuration, table.InterfaceNumber, table.AlternateSetting,
                                                          pipe.EndpointAddress);
            const std::string packet =
                described != 0 ? PacketSizeText(described) : std::to_string(pipe.MaximumPacketSize) + " bytes";
            const char *direction = (pipe.EndpointAddress & 0x80) ? "IN" : "OUT";
            report.Line(fmt::format("  {:<5} {:<12} {:<4} 0x{:02x}      {:<17} {:<14} {}", pipe.Index,
                                    PipeTypeText(pipe.PipeType), direction, pipe.EndpointAddress, packet,
                                    pipe.MaximumTransferSize, pipe.Interval));
            pipes.push_back({{"index", pipe.Index},
                             {"type", PipeTypeText(pipe.PipeType)},
                             {"direction", direction},
                             {"endpoint", pipe.EndpointAddress},
                             {"max_packet_size", pipe.MaximumPacketSize},
                             {"packet_size", packet},
                             {"max_transfer_size", pipe.MaximumTransferSize},
                             {"interval", pipe.Interval}});
        }
        report["interface"] = {{"number", table.InterfaceNumber},
                               {"alternate_setting", table.AlternateSetting},
                               {"pipes", pipes}};
    } else {
        report.Line("Current interface: " + why);
        report["interface"] = nullptr;
    }

    VersionRecord version = {};
    outcome = camera->GetVersion(&version);
    if (IsNtSuccess(outcome.Status)) {
        report.Line(fmt::format("Driver version {}.{} (0x{:08x})", version.VersionValue >> 16,
                                version.VersionValue & 0xFFFF, version.VersionValue));
        report["driver_version"] = version.VersionValue;
    } else {
        report.Line("Driver version: " + FormatNtStatus(outcome.Status));
    }
    if (context.Owner->TimeoutKnown()) {
        report.Line(fmt::format("Transfer time-out {} ms (set in this session)", context.Owner->TimeoutMs()));
        report["timeout_ms"] = context.Owner->TimeoutMs();
    } else {
        report.Line("Transfer time-out 3000 ms unless a client changed it (the driver has no request to read it)");
        report["timeout_ms"] = nullptr;
    }
    const int32_t last = LastUsbStatus(camera);
    report.Line("Last USB status " + UsbStatusText(last));
    report["last_usb_status"] = static_cast<uint32_t>(last);
    report["last_usb_status_name"] = FormatUsbdStatus(static_cast<uint32_t>(last));
    report.Print(context);
    return true;
}

bool RunDeviceCommand(const ToolCommand &command, ToolContext &context, std::string *error) {
    Camera *camera = context.OpenCamera(error);
    if (camera == nullptr) return false;
    Report report(command.Text);
    const std::string &asked = command.Text;
    const int32_t lastBefore = LastUsbStatus(camera);
    // For requests whose outcome the driver does not report: a new USB error
    // recorded during the request is the camera's refusal.
    auto newUsbError = [&](int32_t *after) {
        *after = LastUsbStatus(camera);
        return *after < 0 && *after != lastBefore;
    };
    int32_t after = 0;
    IoOutcome outcome{0, 0};

    switch (command.What) {
        case Tool::Select: {
            outcome = camera->SelectInterface(static_cast<uint8_t>(command.Interface),
                                              static_cast<uint8_t>(command.Alternate));
            InterfaceTable table;
            std::string why;
            if (!IsNtSuccess(outcome.Status)) {
                *error = Failure(camera, asked, outcome);
                return false;
            }
            if (!ReadPipeTable(camera, &table, &why) || table.InterfaceNumber != command.Interface ||
                table.AlternateSetting != command.Alternate) {
                if (NoBandwidthFailure(camera, asked, static_cast<uint8_t>(command.Interface),
                                       static_cast<uint8_t>(command.Alternate), false, error)) {
                    return false;
                }
                *error = FailureText(asked, 0xC0000001u, LastUsbStatus(camera),
                                     "the camera kept its setting; `usbcam info` lists the settings it has");
                return false;
            }
            report.Line(fmt::format("interface {} alternate setting {}: {} pipe{}", command.Interface,
                                    command.Alternate, table.Pipes.size(), table.Pipes.size() == 1 ? "" : "s"));
            report["pipes"] = table.Pipes.size();
            break;
        }
        case Tool::ResetPipe:
        case Tool::AbortPipe: {
            const bool reset = command.What == Tool::ResetPipe;
            outcome = reset ? camera->ResetPipe(command.Pipe) : camera->AbortPipe(command.Pipe);
            if (!IsNtSuccess(outcome.Status)) {
                *error = Failure(camera, asked, outcome);
                return false;
            }
            if (newUsbError(&after)) {
                *error = FailureText(asked, 0xC0000001u, after, "the bus refused it; try `usbcam reset-port`");
                return false;
            }
            report.Line(fmt::format("pipe {} {}", command.Pipe, reset ? "reset" : "aborted"));
            break;
        }
        case Tool::ResetPort:
            outcome = camera->ResetPort();
            if (!IsNtSuccess(outcome.Status)) {
                *error = Failure(camera, asked, outcome);
                return false;
            }
            report.Line("port reset requested (the driver does not report its outcome)");
            break;
        case Tool::Feature:
            outcome = camera->SetFeature(static_cast<uint16_t>(command.Selector), static_cast<uint16_t>(command.Index));
            // The driver answers every SET_FEATURE it sent with STATUS_UNSUCCESSFUL.
            if (outcome.Status != 0xC0000001u && !IsNtSuccess(outcome.Status)) {
                *error = Failure(camera, asked, outcome);
                return false;
            }
            if (newUsbError(&after)) {
                *error = FailureText(asked, outcome.Status, after, "the camera does not accept that feature");
                return false;
            }
            report.Line(fmt::format(
                "feature {} index {} sent; the camera reported no USB error (the driver "
                "answers every SET_FEATURE with {})",
                command.Selector, command.Index, FormatNtStatus(outcome.Status)));
            report["driver_status"] = outcome.Status;
            break;
        case Tool::Vendor: {
            VendorRequestRecord record = {};
            record.Request = static_cast<uint8_t>(command.Request);
            record.Value = static_cast<uint16_t>(command.Value);
            record.Index = static_cast<uint16_t>(command.Index);
            record.Length = static_cast<uint16_t>(command.Length);
            record.Direction = command.DeviceToHost ? 1 : 0;
            record.Data = static_cast<uint8_t>(command.DataByte);
            std::vector<uint8_t> buffer(std::max<size_t>(sizeof record, command.Length));
            memcpy(buffer.data(), &record, sizeof record);
            outcome = camera->Raw(IOCTL_USBCAM_VENDOR_REQUEST, buffer.data(), sizeof record, buffer.data(),
                                  command.DeviceToHost ? static_cast<uint32_t>(buffer.size()) : 0);
            if (!IsNtSuccess(outcome.Status)) {
                *error = Failure(camera, asked, outcome);
                return false;
            }
            if (newUsbError(&after) || (command.DeviceToHost && outcome.Information == 0)) {
                *error = FailureText(asked, 0xC0000001u, LastUsbStatus(camera),
                                     "the camera refused the request (the driver reports success whatever happens)");
                return false;
            }
            if (command.DeviceToHost) {
                const size_t got = static_cast<size_t>(outcome.Information);
                report.Line(fmt::format("{} bytes", got));
                report.Line(HexDump(buffer.data(), got));
                report["bytes"] = got;
                report["data"] = FormatHexBytes(buffer.data(), got);
            } else {
                report.Line(fmt::format("sent, {} data bytes", command.Length));
            }
            break;
        }
        case Tool::Control: {
            ControlRequestRecord record = {};
            record.Direction = command.DeviceToHost ? 1 : 0;
            record.Type = static_cast<uint8_t>(command.ControlType);
            record.Recipient = static_cast<uint8_t>(command.Recipient);
            record.Request = static_cast<uint8_t>(command.Request);
            record.Value = static_cast<uint16_t>(command.Value);
            record.Index = static_cast<uint16_t>(command.Index);
            std::vector<uint8_t> data = command.DeviceToHost ? std::vector<uint8_t>(command.Length) : command.Data;
            outcome = camera->ControlRequest(record, data.empty() ? nullptr : data.data(),
                                             static_cast<uint32_t>(data.size()));
            if (!IsNtSuccess(outcome.Status)) {
                *error = Failure(camera, asked, outcome);
                return false;
            }
            const size_t got = static_cast<size_t>(outcome.Information);
            report.Line(fmt::format("{} bytes {}", got, command.DeviceToHost ? "received" : "sent"));
            report["bytes"] = got;
            if (command.DeviceToHost) {
                report.Line(HexDump(data.data(), got < data.size() ? got : data.size()));
                report["data"] = FormatHexBytes(data.data(), got < data.size() ? got : data.size());
            }
            break;
        }
        case Tool::String: {
            uint8_t buffer[256];
            outcome = camera->GetStringDescriptor(static_cast<uint8_t>(command.Index),
                                                  static_cast<uint16_t>(command.Language), buffer, sizeof buffer);
            if (!IsNtSuccess(outcome.Status)) {
                *error = Failure(camera, asked, outcome,
                                 command.Index == 0 ? "" : "the camera has no such string; `usbcam info` shows its indexes");
                return false;
            }
            const size_t got = static_cast<size_t>(outcome.Information);
            if (command.Index == 0) {
                nlohmann::json languages = nlohmann::json::array();
                std::string line = "languages:";
                for (size_t i = 2; i + 1 < got && i + 1 < buffer[0]; i += 2) {
                    const unsigned id = buffer[i] | buffer[i + 1] << 8;
                    languages.push_back(id);
                    line += fmt::format(" 0x{:04x}", id);
                }
                report.Line(line);
                report["languages"] = languages;
            } else {
                std::string text;
                if (!StringDescriptorText(buffer, got, &text)) {
                    *error = asked + ": the camera answered with something that is no string descriptor";
                    return false;
                }
                report.Line("\"" + text + "\"");
                report["text"] = text;
            }
            break;
        }
        case Tool::Frame: {
            uint32_t frame = 0;
            outcome = camera->GetFrameNumber(&frame);
            if (!IsNtSuccess(outcome.Status)) {
                *error = Failure(camera, asked, outcome);
                return false;
            }
            report.Line(fmt::format("frame {}", frame));
            report["frame"] = frame;
            break;
        }
        case Tool::LastStatus: {
            int32_t status = 0;
            outcome = camera->GetLastStatus(&status);
            if (!IsNtSuccess(outcome.Status)) {
                *error = FailureText(asked, outcome.Status, 0);
                return false;
            }
            report.Line(UsbStatusText(status));
            report["status"] = static_cast<uint32_t>(status);
            report["name"] = FormatUsbdStatus(static_cast<uint32_t>(status));
            report["words"] = UsbStatusWords(static_cast<uint32_t>(status));
            break;
        }
        case Tool::Timeout:
            outcome = camera->SetTimeout(command.Milliseconds);
            if (!IsNtSuccess(outcome.Status)) {
                *error = Failure(camera, asked, outcome);
                return false;
            }
            context.Owner->RememberTimeout(command.Milliseconds);
            report.Line(fmt::format("transfer time-out {} ms", command.Milliseconds));
            report["milliseconds"] = command.Milliseconds;
            break;
        default:
            *error = asked + ": not a command of this build";
            return false;
    }
    report.Print(context);
    return true;
}

}  // namespace cli
}  // namespace usbcam
