// The Windows session: requests go to the real driver through the Win32 back
// end. There is no emulation here, so its commands are refused.
#include <windows.h>

#include <ostream>

#include "session.h"

namespace usbcam {
namespace cli {
namespace {

class Win32Session final : public Session {
public:
    explicit Win32Session(unsigned device) : Session(device) {}
    bool Emulated() const override { return false; }

    // The driver package installs the service "tavrinoscope"; the system
    // starts it when the first camera is plugged in.
    DriverState Driver(std::string *detail) const override {
        SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
        if (manager == nullptr) {
            *detail = "the service manager could not be opened (error " + std::to_string(GetLastError()) + ")";
            return DriverState::Unknown;
        }
        DriverState state = DriverState::Unknown;
        SC_HANDLE service = OpenServiceW(manager, L"tavrinoscope", SERVICE_QUERY_STATUS);
        if (service == nullptr) {
            const DWORD why = GetLastError();
            if (why == ERROR_SERVICE_DOES_NOT_EXIST) {
                state = DriverState::NotInstalled;
            } else {
                *detail = "the driver's service could not be read (error " + std::to_string(why) + ")";
            }
        } else {
            SERVICE_STATUS status = {};
            if (QueryServiceStatus(service, &status)) {
                state = status.dwCurrentState == SERVICE_RUNNING ? DriverState::Loaded
                                                                 : DriverState::InstalledNotLoaded;
            } else {
                state = DriverState::InstalledNotLoaded;
            }
            CloseServiceHandle(service);
        }
        CloseServiceHandle(manager);
        return state;
    }

    bool Finish(std::ostream &) override {
        CloseAll();
        return true;
    }

protected:
    bool RunEmulation(const Command &, std::ostream &, std::string *error) override {
        *error = "this command needs the emulation, which runs only in the Linux build of usbcam";
        return false;
    }
};

}  // namespace

std::unique_ptr<Session> StartSession(const SessionOptions &options, std::string *error) {
    if (!options.CameraProfile.empty() || !options.TracePath.empty() || options.Function != 0) {
        *error = "--camera, --function and --trace need the emulation, which runs only in the Linux build";
        return nullptr;
    }
    if (options.Usb) {
        *error =
            "--usb runs the driver in the Linux build's emulated kernel; on Windows the installed driver "
            "already drives the camera";
        return nullptr;
    }
    return std::unique_ptr<Session>(new Win32Session(options.Device));
}

}  // namespace cli
}  // namespace usbcam
