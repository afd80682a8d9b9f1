// The Linux session: an emulated machine with our driver and the cameras, and
// the emulation commands (plugging, Plug and Play, power, bus knobs).
#include <stdio.h>

#include <iostream>
#include <map>
#include <ostream>

#include "session.h"
#include "sim/usbbus.h"
#include "usbcam/emulated_machine.h"
#include "usbcam/status_names.h"

namespace usbcam {
namespace cli {
namespace {

std::string StatusText(NTSTATUS status) {
    char value[24];
    snprintf(value, sizeof value, "status=0x%08X", static_cast<uint32_t>(status));
    const char *name = NtStatusName(static_cast<uint32_t>(status));
    return std::string(value) + (name != nullptr ? std::string(" (") + name + ")" : "");
}

std::string EndpointText(int endpoint) {
    if (endpoint < 0) return "endpoint=any";
    char text[24];
    snprintf(text, sizeof text, "endpoint=0x%02X", endpoint);
    return text;
}

const char *PnpActionName(PnpAction action) {
    switch (action) {
        case PnpAction::Start: return "start";
        case PnpAction::Stop: return "stop";
        case PnpAction::Remove: return "remove";
        case PnpAction::SurpriseRemove: return "surprise-remove";
        case PnpAction::Capabilities: return "capabilities";
    }
    return "?";
}

const char *DeviceStateName(DEVICE_POWER_STATE state) {
    switch (state) {
        case PowerDeviceD0: return "D0";
        case PowerDeviceD1: return "D1";
        case PowerDeviceD2: return "D2";
        case PowerDeviceD3: return "D3";
        default: return "none";
    }
}

std::string CapabilitiesText(const DEVICE_CAPABILITIES &caps) {
    char text[256];
    snprintf(text, sizeof text,
             " removable=%u surprise-removal-ok=%u unique-id=%u d1=%u d2=%u wake-from-d0=%u "
             "wake-from-d3=%u device-wake=%s address=%u ui-number=%u",
             caps.Removable, caps.SurpriseRemovalOK, caps.UniqueID, caps.DeviceD1,
             caps.DeviceD2, caps.WakeFromD0, caps.WakeFromD3, DeviceStateName(caps.DeviceWake),
             caps.Address, caps.UINumber);
    return text;
}

class EmulatedSession final : public Session {
public:
    explicit EmulatedSession(unsigned device) : Session(device) {}
    bool Emulated() const override { return true; }
    DriverState Driver(std::string *) const override { return DriverState::Loaded; }

    bool Start(const SessionOptions &options, std::string *error) {
        MachineOptions machineOptions;
        machineOptions.TracePath = options.TracePath;
        if (!NT_SUCCESS(machine_.Start(machineOptions, error))) return false;
        int port = 0;
        if (!NT_SUCCESS(machine_.PlugCamera(options.CameraProfile, true, &port, error, options.Function))) {
            return false;
        }
        Remember(port);
        return true;
    }

    bool Finish(std::ostream &err) override {
        CloseAll();
        const std::vector<sim::Violation> violations = machine_.Shutdown();
        // The kernel has printed each violation as it happened.
        if (!violations.empty()) {
            err << "usbcam: the verifier recorded " << violations.size()
                << " violation(s) by the driver (listed above); first: " << violations[0].Rule
                << " at " << violations[0].Site << "\n";
        }
        return violations.empty();
    }

protected:
    bool RunEmulation(const Command &command, std::ostream &out, std::string *error) override {
        if (command.What == Command::Kind::Plug) return Plug(command, out, error);
        const int port = CurrentPort();
        if (port == 0) {
            *error = "no camera is " + DevicePath(device()) + " in this session";
            return false;
        }
        switch (command.What) {
            case Command::Kind::Unplug: {
                const NTSTATUS status = machine_.UnplugCamera(port);
                out << "unplug port=" << port << " " << StatusText(status) << "\n";
                return true;
            }
            case Command::Kind::Pnp:
                return Pnp(command.Pnp, port, out);
            case Command::Kind::Power: {
                POWER_STATE state;
                POWER_STATE_TYPE type;
                if (command.PowerIsDevice) {
                    type = DevicePowerState;
                    state.DeviceState = static_cast<DEVICE_POWER_STATE>(command.PowerState);
                } else {
                    type = SystemPowerState;
                    state.SystemState = static_cast<SYSTEM_POWER_STATE>(command.PowerState);
                }
                const NTSTATUS status = machine_.SendPower(port, command.PowerMinor, type, state);
                out << "power " << command.PowerText << " " << StatusText(status) << "\n";
                return true;
            }
            case Command::Kind::Stall:
                sim::usb::SetStall(port, command.Endpoint, command.On);
                out << "stall port=" << port << " " << EndpointText(command.Endpoint)
                    << (command.On ? " on" : " off") << "\n";
                return true;
            case Command::Kind::NeverAnswer:
                sim::usb::SetNeverAnswer(port, command.Endpoint, command.On);
                out << "never-answer port=" << port << " " << EndpointText(command.Endpoint)
                    << (command.On ? " on" : " off") << "\n";
                return true;
            case Command::Kind::FailNext:
                sim::usb::FailNext(port, command.Endpoint, command.Count,
                                   static_cast<USBD_STATUS>(command.Status));
                out << "fail port=" << port << " " << EndpointText(command.Endpoint)
                    << " count=" << command.Count << " " << FormatUsbdStatus(command.Status) << "\n";
                return true;
            case Command::Kind::Latency:
                sim::usb::SetLatency(port, command.Endpoint, command.Microseconds);
                out << "latency port=" << port << " " << EndpointText(command.Endpoint) << " "
                    << command.Microseconds << "us\n";
                return true;
            case Command::Kind::Inline:
                sim::usb::SetCompletionMode(port, command.On ? sim::usb::CompletionMode::Inline
                                                             : sim::usb::CompletionMode::Async);
                out << "inline port=" << port << (command.On ? " on" : " off") << "\n";
                return true;
            case Command::Kind::PortStatus: {
                sim::usb::SetPortStatus(port, command.Value);
                char value[16];
                snprintf(value, sizeof value, "0x%08X", command.Value);
                out << "port-status port=" << port << " " << value << "\n";
                return true;
            }
            case Command::Kind::FailPortReset:
                sim::usb::FailPortReset(port, command.Count, static_cast<NTSTATUS>(command.Status));
                out << "fail-port-reset port=" << port << " count=" << command.Count << " "
                    << FormatNtStatus(command.Status) << "\n";
                return true;
            case Command::Kind::ResetKnobs:
                sim::usb::ResetKnobs(port);
                out << "reset-knobs port=" << port << "\n";
                return true;
            case Command::Kind::InlineFailures:
                sim::usb::SetInlineFailures(port, command.On);
                out << "inline-failures port=" << port << (command.On ? " on" : " off") << "\n";
                return true;
            case Command::Kind::CompletionThreads:
                sim::usb::SetCompletionThreads(command.Count);
                out << "completion-threads " << command.Count << "\n";
                return true;
            case Command::Kind::CompletionDelay:
                sim::usb::SetCompletionDelay(command.Microseconds);
                out << "completion-delay " << command.Microseconds << "us\n";
                return true;
            case Command::Kind::Bandwidth:
                sim::usb::SetBandwidthModel(command.On);
                out << "bandwidth " << (command.On ? "on" : "off") << "\n";
                return true;
            default:
                *error = "command not runnable here";
                return false;
        }
    }

private:
    // The port of the current device: the camera that has that name now, or
    // the one that had it last (so `pnp start` can bring a removed camera back).
    int CurrentPort() const {
        const int port = machine_.PortOfDevice(device());
        if (port != 0) return port;
        auto last = lastPort_.find(device());
        return last != lastPort_.end() ? last->second : 0;
    }

    void Remember(int port) {
        const MachineCamera *camera = machine_.Camera(port);
        if (camera != nullptr && camera->DeviceIndex >= 0) {
            lastPort_[static_cast<unsigned>(camera->DeviceIndex)] = port;
        }
    }

    bool Plug(const Command &command, std::ostream &out, std::string *error) {
        int port = 0;
        std::string why;
        const NTSTATUS status = machine_.PlugCamera(command.Profile, true, &port, &why);
        if (port == 0) {
            *error = why;
            return false;
        }
        Remember(port);
        const MachineCamera *camera = machine_.Camera(port);
        out << "plug port=" << port;
        if (camera != nullptr && camera->DeviceIndex >= 0) out << " device=" << camera->DeviceIndex;
        out << " " << StatusText(status) << "\n";
        return true;
    }

    bool Pnp(PnpAction action, int port, std::ostream &out) {
        NTSTATUS status = STATUS_SUCCESS;
        std::string extra;
        switch (action) {
            case PnpAction::Start:
                status = machine_.StartCamera(port);
                Remember(port);
                break;
            case PnpAction::Stop:
                status = machine_.StopCamera(port);
                break;
            case PnpAction::Remove:
                status = machine_.RemoveCamera(port);
                break;
            case PnpAction::SurpriseRemove:
                status = machine_.SurpriseRemovalRequest(port);
                break;
            case PnpAction::Capabilities: {
                DEVICE_CAPABILITIES caps;
                status = machine_.QueryCapabilities(port, &caps);
                if (NT_SUCCESS(status)) extra = CapabilitiesText(caps);
                break;
            }
        }
        out << "pnp " << PnpActionName(action) << " " << StatusText(status) << extra << "\n";
        return true;
    }

    EmulatedMachine machine_;
    std::map<unsigned, int> lastPort_;
};

}  // namespace

std::unique_ptr<Session> StartSession(const SessionOptions &options, std::string *error) {
#ifdef USBCAM_HAVE_LIBUSB
    if (options.Usb) return StartUsbSession(options, error);
#else
    if (options.Usb) {
        *error = "this usbcam was built without libusb: --usb is not available";
        return nullptr;
    }
#endif
    std::unique_ptr<EmulatedSession> session(new EmulatedSession(options.Device));
    if (!session->Start(options, error)) {
        session->Finish(std::cerr);
        return nullptr;
    }
    return session;
}

}  // namespace cli
}  // namespace usbcam
