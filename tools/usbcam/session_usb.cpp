// The --usb session: our driver in the emulated kernel, on a real USB device
// reached through libusb (sim/libusb_bus) instead of the emulated bus.
#include <iostream>
#include <ostream>

#include "libusb_bus.h"
#include "session.h"
#include "sim/kernel.h"
#include "usbcam/emulated_machine.h"
#include "usbcam/status_names.h"

namespace usbcam {
namespace cli {
namespace {

class UsbSession final : public Session {
public:
    explicit UsbSession(unsigned device) : Session(device) {}
    bool Emulated() const override { return true; }
    // The driver runs in this process's emulated kernel, loaded by Start.
    DriverState Driver(std::string *) const override { return DriverState::Loaded; }

    bool Start(const SessionOptions &options, std::string *error) {
        if (!options.CameraProfile.empty() || !options.TracePath.empty()) {
            *error = "--camera and --trace are for the emulated bus, not --usb";
            return false;
        }
        if (!NT_SUCCESS(machine_.Start(MachineOptions(), error))) return false;
        const sim::libusbbus::OpenResult opened = sim::libusbbus::Open(options.UsbSelector);
        if (!NT_SUCCESS(opened.Status)) {
            *error = opened.Error;
            return false;
        }
        pdo_ = opened.Pdo;
        NTSTATUS status = sim::PnpReportChild(pdo_, machine_.Driver());
        if (NT_SUCCESS(status)) {
            reported_ = true;
            status = sim::PnpStartDevice(pdo_);
        }
        if (!NT_SUCCESS(status)) {
            *error = "the driver did not start on the USB device (" + opened.Description +
                     "): " + FormatNtStatus(static_cast<uint32_t>(status));
            return false;
        }
        std::cerr << "usbcam: the driver runs on the USB device " << opened.Description << "\n";
        return true;
    }

    bool Finish(std::ostream &err) override {
        CloseAll();
        // Unplugged: the Plug and Play manager removed the stack when the
        // last handle closed. Otherwise an orderly removal.
        if (reported_ && !sim::libusbbus::DeviceGone()) sim::PnpRemoveDevice(pdo_);
        sim::libusbbus::Close();
        const std::vector<sim::Violation> violations = machine_.Shutdown();
        if (!violations.empty()) {
            err << "usbcam: the verifier recorded " << violations.size()
                << " violation(s) by the driver (listed above); first: " << violations[0].Rule << " at "
                << violations[0].Site << "\n";
        }
        return violations.empty();
    }

protected:
    bool RunEmulation(const Command &, std::ostream &, std::string *error) override {
        *error = "emulation commands act on the emulated bus, not on a --usb device";
        return false;
    }

private:
    EmulatedMachine machine_;
    PDEVICE_OBJECT pdo_ = nullptr;
    bool reported_ = false;
};

}  // namespace

std::unique_ptr<Session> StartUsbSession(const SessionOptions &options, std::string *error) {
    std::unique_ptr<UsbSession> session(new UsbSession(options.Device));
    if (!session->Start(options, error)) {
        session->Finish(std::cerr);
        return nullptr;
    }
    return session;
}

}  // namespace cli
}  // namespace usbcam
