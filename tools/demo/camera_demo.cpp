// The camera demo's steps. Each step prints what it asks and what came back
// (statuses by name and value), checks the answer, and returns false when it
// was not what the driver should have answered; the run then skips to the
// take-down.
#include "camera_demo.h"

#include <stdarg.h>
#include <string.h>

#include <memory>
#include <vector>

#include "camera_records.h"
#include "usbcam/usbcam_ioctl.h"
#include "sim/kernel.h"
#include "sim/usbbus.h"
#include "usbcam/camera.h"
#include "usbcam/control_codes.h"
#include "usbcam/emulated_machine.h"
#include "usbcam/status_names.h"
#include "verdict.h"

namespace usbcam {
namespace demo {
namespace {

const uint32_t kSuccess = 0x00000000u;
const uint32_t kUnsuccessful = 0xC0000001u;
const uint32_t kUsbdStallPid = 0xC0000004u;
const uint16_t kEnglishUs = 0x0409;

// The memory block the demo loads: 512 bytes at camera address 0x1000, byte i
// holding (0x40 + 3 * i) & 0xFF. The camera memory is loaded with vendor
// request 0xA0 host to device and read back with 0xA0 device to host.
const uint16_t kMemoryAddress = 0x1000;
const uint32_t kMemoryBytes = 512;
const uint8_t kMemoryRequest = 0xA0;

// The standard request and feature that clear an endpoint's halt.
const uint8_t kClearFeature = 0x01;
const uint8_t kEndpointRecipient = 0x02;
const uint16_t kEndpointHalt = 0x0000;

class CameraDemo {
public:
    explicit CameraDemo(FILE *out) : out_(out) {}

    int Run(const DemoOptions &options) {
        bool ok = BringUp(options);
        ok = ok && ReadIdentity();
        ok = ok && ReadConfiguration();
        ok = ok && ShowInterface("The interface the driver selected at start");
        ok = ok && ReadVersionAndFrame();
        ok = ok && LoadAndVerifyMemory();
        ok = ok && SelectAlternateSetting(1);
        ok = ok && ShowFailedRequest();
        ok = ok && ResetHaltedPipe();
        if (!ok) Say("A step did not go as expected; taking the machine down.");
        ok = TakeDown(ok) && ok;
        if (!options.TracePath.empty() && machineStarted_) {
            Say("The bus capture is in %s (pcap, usbmon link type 220).", options.TracePath.c_str());
        }
        Blank();
        return ReportVerdict(violations_, ok, out_);
    }

private:
    // --- Output ---

    void Say(const char *format, ...) __attribute__((format(printf, 2, 3))) {
        va_list args;
        va_start(args, format);
        fputs("  ", out_);
        vfprintf(out_, format, args);
        fputc('\n', out_);
        va_end(args);
    }

    void Heading(const char *title) { fprintf(out_, "\n%s\n", title); }
    void Blank() { fputc('\n', out_); }

    // Prints a client request and its outcome; false (with the status that was
    // due) when the status is not the expected one.
    bool Request(uint32_t code, const std::string &detail, const IoOutcome &outcome,
                 uint32_t expected = kSuccess) {
        const char *name = ControlCodeName(code);
        Say("%s%s -> %s", name != nullptr ? name : "?", detail.c_str(),
            DescribeOutcome(outcome).c_str());
        return Check(outcome.Status, expected);
    }

    // Prints a Plug and Play request through the stack and its status.
    bool PnpRequest(const char *what, NTSTATUS status) {
        Say("Plug and Play: %s -> %s", what, FormatNtStatus(static_cast<uint32_t>(status)).c_str());
        return Check(static_cast<uint32_t>(status), kSuccess);
    }

    bool Check(uint32_t status, uint32_t expected) {
        if (status == expected) return true;
        return Fail("the answer should have been " + FormatNtStatus(expected));
    }

    // Also on standard error, so that a script running the demo sees why.
    bool Fail(const std::string &why) {
        Say("UNEXPECTED: %s", why.c_str());
        fprintf(stderr, "usbcam-demo: %s\n", why.c_str());
        return false;
    }

    // --- Steps ---

    bool BringUp(const DemoOptions &options) {
        Heading("The emulated machine");
        MachineOptions machineOptions;
        machineOptions.TracePath = options.TracePath;
        std::string error;
        const NTSTATUS started = machine_.Start(machineOptions, &error);
        if (!NT_SUCCESS(started)) return Fail(error);
        machineStarted_ = true;
        Say("Booted the emulated kernel and started the USB bus (\\Driver\\usbbus).");
        if (!options.TracePath.empty()) {
            Say("Capturing every bus transfer to %s.", options.TracePath.c_str());
        }
        Say("Loaded the driver as \\Driver\\tavrinoscope; its DriverEntry succeeded.");

        const NTSTATUS plugged = machine_.PlugCamera("", /*start=*/false, &port_, &error);
        if (!NT_SUCCESS(plugged)) return Fail(error);
        Say("Plugged the reference camera into root-hub port %d (\\Device\\USBPDO-%d).", port_,
            port_);
        const MachineCamera *camera = machine_.Camera(port_);
        if (camera == nullptr || camera->DeviceIndex < 0) {
            return Fail("AddDevice created no device name for the camera");
        }
        Say("Plug and Play: reported the camera; AddDevice attached the driver above the bus's "
            "device object as \\Device\\Tavrinoscope-%c.",
            static_cast<char>('0' + camera->DeviceIndex));
        if (!PnpRequest("IRP_MN_START_DEVICE (the driver configures the camera)",
                        machine_.StartCamera(port_))) {
            return false;
        }

        deviceIndex_ = camera->DeviceIndex;
        const unsigned index = static_cast<unsigned>(deviceIndex_);
        const uint32_t opened = Camera::Open(index, &camera_);
        Say("The client opens %s -> %s", DevicePath(index).c_str(), FormatNtStatus(opened).c_str());
        return Check(opened, kSuccess);
    }

    bool ReadString(uint8_t index, const char *what, std::string *text) {
        uint8_t buffer[256] = {};
        const IoOutcome outcome = camera_->GetStringDescriptor(index, kEnglishUs, buffer, sizeof buffer);
        char detail[64];
        snprintf(detail, sizeof detail, " (string %u, language 0x%04X)", index, kEnglishUs);
        if (!Request(IOCTL_USBCAM_GET_STRING_DESCRIPTOR, detail, outcome)) return false;
        std::string error;
        if (!ParseStringDescriptor(buffer, static_cast<size_t>(outcome.Information), text, &error)) {
            return Fail(error);
        }
        Say("    %s: \"%s\"", what, text->c_str());
        return true;
    }

    bool ReadIdentity() {
        Heading("Who the camera is");
        uint8_t bytes[18] = {};
        IoOutcome outcome = camera_->GetDeviceDescriptor(bytes, sizeof bytes);
        if (!Request(IOCTL_USBCAM_GET_DEVICE_DESCRIPTOR, "", outcome)) return false;
        std::string error;
        if (!ParseDeviceDescriptor(bytes, static_cast<size_t>(outcome.Information), &device_, &error)) {
            return Fail(error);
        }
        Say("    USB %x.%02x, vendor 0x%04X, product 0x%04X, release %x.%02x, class 0x%02X,",
            device_.UsbVersion >> 8, device_.UsbVersion & 0xFF, device_.VendorId, device_.ProductId,
            device_.DeviceVersion >> 8, device_.DeviceVersion & 0xFF, device_.DeviceClass);
        Say("    %u-byte packets on the control pipe, %u configuration%s",
            device_.MaxPacketSize0, device_.ConfigurationCount,
            device_.ConfigurationCount == 1 ? "" : "s");

        uint8_t languages[64] = {};
        outcome = camera_->GetStringDescriptor(0, 0, languages, sizeof languages);
        if (!Request(IOCTL_USBCAM_GET_STRING_DESCRIPTOR, " (string 0: languages)", outcome)) {
            return false;
        }
        std::vector<uint16_t> ids;
        if (!ParseLanguageIds(languages, static_cast<size_t>(outcome.Information), &ids, &error)) {
            return Fail(error);
        }
        std::string list;
        for (uint16_t id : ids) {
            char text[16];
            snprintf(text, sizeof text, "%s0x%04X", list.empty() ? "" : ", ", id);
            list += text;
        }
        Say("    languages: %s", list.c_str());

        std::string text;
        return ReadString(device_.ProductIndex, "product", &text) &&
               ReadString(device_.ManufacturerIndex, "manufacturer", &text) &&
               ReadString(device_.SerialNumberIndex, "serial number", &text);
    }

    bool ReadConfiguration() {
        Heading("Its configuration");
        // The 9-byte header first, for wTotalLength; then the whole of it.
        uint8_t header[9] = {};
        IoOutcome outcome = camera_->GetConfigDescriptor(header, sizeof header);
        if (!Request(IOCTL_USBCAM_GET_CONFIG_DESCRIPTOR, " (9-byte header)", outcome)) return false;
        ConfigurationView view;
        std::string error;
        if (!ParseConfiguration(header, static_cast<size_t>(outcome.Information), &view, &error)) {
            return Fail(error);
        }
        std::vector<uint8_t> bytes(view.TotalLength);
        outcome = camera_->GetConfigDescriptor(bytes.data(), static_cast<uint32_t>(bytes.size()));
        char detail[64];
        snprintf(detail, sizeof detail, " (all %u bytes)", view.TotalLength);
        if (!Request(IOCTL_USBCAM_GET_CONFIG_DESCRIPTOR, detail, outcome)) return false;
        if (outcome.Information != view.TotalLength) {
            return Fail("the configuration came back short of its wTotalLength");
        }
        if (!ParseConfiguration(bytes.data(), bytes.size(), &view, &error)) return Fail(error);
        Say("    configuration %u: %u interface%s, %s-powered, up to %u mA", view.ConfigurationValue,
            view.InterfaceCount, view.InterfaceCount == 1 ? "" : "s",
            (view.Attributes & 0x40) != 0 ? "self" : "bus", view.MaxPower * 2u);
        for (const SettingView &setting : view.Settings) {
            std::string endpoints;
            for (uint8_t address : setting.Endpoints) {
                char text[8];
                snprintf(text, sizeof text, " 0x%02X", address);
                endpoints += text;
            }
            Say("    interface %u, alternate setting %u, class 0x%02X: %s%s", setting.InterfaceNumber,
                setting.AlternateSetting, setting.InterfaceClass,
                setting.Endpoints.empty() ? "no endpoints" : "endpoints", endpoints.c_str());
        }
        return true;
    }

    // Reads InterfaceInfo and prints its pipe table, under `title` if given.
    bool ShowInterface(const char *title) {
        if (title != nullptr) Heading(title);
        uint8_t bytes[kInterfaceHeaderBytes + kPipeEntryBytes * 32] = {};
        const IoOutcome outcome = camera_->GetInterfaceInfo(bytes, sizeof bytes);
        if (!Request(IOCTL_USBCAM_GET_INTERFACE_INFO, "", outcome)) return false;
        InterfaceView view;
        std::string error;
        if (!ParseInterfaceInfo(bytes, static_cast<size_t>(outcome.Information), &view, &error)) {
            return Fail(error);
        }
        Say("    interface %u, alternate setting %u, class 0x%02X, %zu pipe%s", view.InterfaceNumber,
            view.AlternateSetting, view.InterfaceClass, view.Pipes.size(),
            view.Pipes.size() == 1 ? "" : "s");
        if (view.Pipes.empty()) return true;
        Say("    %-5s %-9s %-12s %10s %13s", "pipe", "endpoint", "type", "max packet",
            "max transfer");
        for (const PipeView &pipe : view.Pipes) {
            char endpoint[16];
            snprintf(endpoint, sizeof endpoint, "0x%02X %s", pipe.EndpointAddress,
                     (pipe.EndpointAddress & 0x80) != 0 ? "in" : "out");
            Say("    %4u  %-9s %-12s %10u %13u", pipe.Index, endpoint, PipeTypeName(pipe.PipeType),
                pipe.MaximumPacketSize, pipe.MaximumTransferSize);
        }
        return true;
    }

    bool ReadVersionAndFrame() {
        Heading("The driver and the bus");
        VersionRecord version;
        IoOutcome outcome = camera_->GetVersion(&version);
        if (!Request(IOCTL_USBCAM_GET_VERSION, "", outcome)) return false;
        Say("    driver version %u.%u (0x%08X)", version.VersionValue >> 16,
            version.VersionValue & 0xFFFF, version.VersionValue);
        uint32_t frame = 0;
        outcome = camera_->GetFrameNumber(&frame);
        if (!Request(IOCTL_USBCAM_GET_FRAME_NUMBER, "", outcome)) return false;
        Say("    frame %u (the bus counts 1 ms frames from its start)", frame);
        return true;
    }

    bool LoadAndVerifyMemory() {
        Heading("Camera memory");
        std::vector<uint8_t> pattern(kMemoryBytes);
        for (uint32_t i = 0; i < kMemoryBytes; ++i) pattern[i] = static_cast<uint8_t>(0x40 + 3 * i);
        char detail[96];
        snprintf(detail, sizeof detail, " (%u bytes at 0x%04X, byte i = 0x40 + 3i)", kMemoryBytes,
                 kMemoryAddress);
        IoOutcome outcome = camera_->LoadMemory(kMemoryAddress, pattern.data(), kMemoryBytes);
        if (!Request(IOCTL_USBCAM_LOAD_MEMORY, detail, outcome)) return false;

        VendorRequestRecord read;
        memset(&read, 0, sizeof read);
        read.Request = kMemoryRequest;
        read.Value = kMemoryAddress;
        read.Length = static_cast<uint16_t>(kMemoryBytes);
        read.Direction = 1;
        std::vector<uint8_t> back(kMemoryBytes, 0);
        outcome = camera_->VendorRequest(read, back.data(), kMemoryBytes);
        snprintf(detail, sizeof detail, " (request 0x%02X, device to host, %u bytes at 0x%04X)",
                 kMemoryRequest, kMemoryBytes, kMemoryAddress);
        if (!Request(IOCTL_USBCAM_VENDOR_REQUEST, detail, outcome)) return false;
        std::string first;
        for (size_t i = 0; i < 8; ++i) {
            char text[4];
            snprintf(text, sizeof text, "%02x ", back[i]);
            first += text;
        }
        Say("    read back: %s...", first.c_str());
        if (outcome.Information != kMemoryBytes || back != pattern) {
            return Fail("the bytes read back differ from the pattern loaded");
        }
        Say("    all %u bytes match the pattern.", kMemoryBytes);
        return true;
    }

    bool SelectAlternateSetting(uint8_t setting) {
        char detail[64];
        snprintf(detail, sizeof detail, "Alternate setting %u and its pipe table", setting);
        Heading(detail);
        snprintf(detail, sizeof detail, " (interface 0, alternate setting %u)", setting);
        if (!Request(IOCTL_USBCAM_SELECT_INTERFACE, detail, camera_->SelectInterface(0, setting))) {
            return false;
        }
        return ShowInterface(nullptr);
    }

    bool ShowFailedRequest() {
        Heading("A failed request and its USB status");
        int32_t last = 0;
        IoOutcome outcome = camera_->GetLastStatus(&last);
        if (!Request(IOCTL_USBCAM_GET_LAST_STATUS, "", outcome)) return false;
        Say("    LastUsbdStatus: %s, no USB error so far",
            FormatUsbdStatus(static_cast<uint32_t>(last)).c_str());

        Say("Bus knob: the camera stalls every request on its control pipe (endpoint 0).");
        sim::usb::SetStall(port_, 0, true);
        uint8_t buffer[256] = {};
        outcome = camera_->GetStringDescriptor(device_.ProductIndex, kEnglishUs, buffer, sizeof buffer);
        char detail[64];
        snprintf(detail, sizeof detail, " (string %u, the product)", device_.ProductIndex);
        if (!Request(IOCTL_USBCAM_GET_STRING_DESCRIPTOR, detail, outcome, kUnsuccessful)) {
            return false;
        }
        outcome = camera_->GetLastStatus(&last);
        if (!Request(IOCTL_USBCAM_GET_LAST_STATUS, "", outcome)) return false;
        Say("    LastUsbdStatus: %s, the USB cause of the failure",
            FormatUsbdStatus(static_cast<uint32_t>(last)).c_str());
        if (static_cast<uint32_t>(last) != kUsbdStallPid) {
            return Fail("LastUsbdStatus should have been " + FormatUsbdStatus(kUsbdStallPid));
        }

        Say("Bus knob cleared: the control pipe answers again.");
        sim::usb::SetStall(port_, 0, false);
        std::string text;
        return ReadString(device_.ProductIndex, "product", &text);
    }

    bool ResetHaltedPipe() {
        Heading("A halted pipe and its reset");
        // Pipe 1 of alternate setting 1 is the bulk IN endpoint 0x81.
        const uint32_t pipeIndex = 1;
        const uint8_t endpoint = 0x81;
        Say("Bus knob: the camera halts endpoint 0x%02X (pipe %u); its transfers would now stall.",
            endpoint, pipeIndex);
        sim::usb::SetStall(port_, endpoint, true);
        sim::usb::WireLogClear();
        char detail[32];
        snprintf(detail, sizeof detail, " (PipeIndex %u)", pipeIndex);
        if (!Request(IOCTL_USBCAM_RESET_PIPE, detail, camera_->ResetPipe(pipeIndex))) return false;

        // The reset reaches the camera as CLEAR_FEATURE(ENDPOINT_HALT) on the control pipe.
        for (const sim::usb::WireRecord &record : sim::usb::WireLog(port_)) {
            if (record.HasSetup && record.RequestType() == kEndpointRecipient &&
                record.Request() == kClearFeature && record.Value() == kEndpointHalt &&
                record.Index() == endpoint) {
                Say("    on the bus: CLEAR_FEATURE(ENDPOINT_HALT) to endpoint 0x%02X -> %s",
                    endpoint, FormatUsbdStatus(static_cast<uint32_t>(record.Status)).c_str());
                if (static_cast<uint32_t>(record.Status) != kSuccess) {
                    return Fail("the camera did not accept the clear");
                }
                Say("    the halt is cleared.");
                return true;
            }
        }
        return Fail("no CLEAR_FEATURE(ENDPOINT_HALT) reached the camera");
    }

    // Closes the client's handle, stops and removes the camera (when the run
    // got that far and went well), then unloads the driver, stops the bus and
    // shuts the kernel down, collecting the verifier's findings.
    bool TakeDown(bool orderly) {
        Heading("Taking it all down");
        bool ok = true;
        if (camera_) {
            camera_.reset();
            Say("The client closes its handle.");
        }
        if (orderly) {
            ok = PnpRequest("IRP_MN_STOP_DEVICE", machine_.StopCamera(port_)) && ok;
            ok = PnpRequest("IRP_MN_REMOVE_DEVICE", machine_.RemoveCamera(port_)) && ok;
            const char letter = static_cast<char>('0' + deviceIndex_);
            const std::string link = std::string("\\DosDevices\\Tavrinoscope-") + letter;
            const std::string device = std::string("\\Device\\Tavrinoscope-") + letter;
            if (sim::SymbolicLinkExists(link.c_str()) || sim::DeviceNameExists(device.c_str())) {
                ok = Fail(device + " or its link name outlived the removal");
            } else {
                Say("The driver detached and deleted its device object and link name.");
            }
        }
        if (machineStarted_) {
            violations_ = machine_.Shutdown();
            Say("Unloaded the driver, stopped the bus and shut the kernel down.");
        }
        return ok;
    }

    FILE *out_;
    EmulatedMachine machine_;
    bool machineStarted_ = false;
    std::unique_ptr<Camera> camera_;
    int port_ = 0;
    int deviceIndex_ = 0;
    DeviceDescriptorView device_ = {};
    std::vector<sim::Violation> violations_;
};

}  // namespace

int RunCameraDemo(const DemoOptions &options, FILE *out) {
    fprintf(out,
            "Tavrinoscope camera demo: the driver in the emulated kernel, with the "
            "reference camera on the emulated USB bus.\n");
    CameraDemo demo(out);
    return demo.Run(options);
}

}  // namespace demo
}  // namespace usbcam
