// A usbcam session: what the commands run against. It holds one client
// handle per camera, opened by the first request to that camera and kept
// until `close` or the end of the session, as a client program would hold it.
//
// On Linux the session owns an emulated machine (kernel, bus, our driver, the
// cameras) and also runs the emulation commands; on Windows it talks to the
// real driver and refuses them.
#pragma once

#include <iosfwd>
#include <map>
#include <memory>
#include <string>

#include "command.h"
#include "usbcam/camera.h"
#include "usbcam/connection.h"

namespace usbcam {
namespace cli {

struct SessionOptions {
    unsigned Device = 0;        // --device: the camera commands address
    std::string CameraProfile;  // --camera: profile of the first camera
    int Function = 0;           // --function: the composite camera's function the driver gets
    std::string TracePath;      // --trace: pcap capture of the bus traffic
    bool Json = false;          // --json: one JSON object per command
    bool Usb = false;           // --usb: a real USB device through libusb
    std::string UsbSelector;    // --usb VID:PID or BUS/ADDRESS ("" = 1209:0001)
};

class Session {
public:
    explicit Session(unsigned device) : device_(device) {}
    virtual ~Session() = default;

    // Runs one command, printing its output lines to out. On failure returns
    // false with *error set; the caller stops there.
    bool Run(const Command &command, std::ostream &out, std::string *error);

    // Closes every handle and tears the session down. Prints what went wrong
    // (verifier violations) to err; returns false if anything did.
    virtual bool Finish(std::ostream &err) = 0;

    // The handle of camera `device`, opened by the first request to it. On
    // failure returns nullptr with a one-line *error.
    Camera *CameraFor(unsigned device, std::string *error);
    unsigned device() const { return device_; }
    void SetJson(bool json) { json_ = json; }
    bool Json() const { return json_; }
    // The transfer time-out this session set (the driver has no code to read it).
    bool TimeoutKnown() const { return timeoutSet_; }
    int32_t TimeoutMs() const { return timeoutMs_; }
    void RememberTimeout(int32_t ms) {
        timeoutSet_ = true;
        timeoutMs_ = ms;
    }
    // True in the emulation (the demo and `list` say where they run).
    virtual bool Emulated() const = 0;

    // Whether the driver is there, for `list` to say why it found no camera.
    enum class DriverState { Loaded,
                             InstalledNotLoaded,
                             NotInstalled,
                             Unknown };
    // *detail: a few words on an Unknown state (the error that hid it).
    virtual DriverState Driver(std::string *detail) const = 0;

protected:
    // The commands only the emulation can run.
    virtual bool RunEmulation(const Command &command, std::ostream &out, std::string *error) = 0;
    void CloseAll() { handles_.clear(); }

private:
    bool RunLine(const Command &command, std::ostream &out, std::string *error);
    bool RunRaw(const RawRequest &request, std::ostream &out, std::string *error);

    unsigned device_;
    std::map<unsigned, std::unique_ptr<Camera>> handles_;
    bool json_ = false;
    bool timeoutSet_ = false;
    int32_t timeoutMs_ = 3000;
};

// Prints the two lines of a raw request's result.
void PrintRawResult(const IoOutcome &outcome, const std::vector<uint8_t> &output,
                    std::ostream &out);

// Starts a session for this platform. On failure returns nullptr with *error.
std::unique_ptr<Session> StartSession(const SessionOptions &options, std::string *error);
// Linux with libusb: the driver in the emulated kernel on a real USB device.
std::unique_ptr<Session> StartUsbSession(const SessionOptions &options, std::string *error);

}  // namespace cli
}  // namespace usbcam
