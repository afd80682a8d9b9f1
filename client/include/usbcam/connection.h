// One open handle to a camera, as a user-mode client holds it: the small
// interface behind which the library's two back ends sit.
//
//  - On Linux the back end is the emulation: the handle is one the emulated
//    I/O manager gave out, and requests run the driver inside the emulated
//    kernel. The emulated machine (usbcam/emulated_machine.h) must be running.
//  - On Windows it is the real I/O manager: CreateFileW on the link name, and
//    the native device-control call, so the driver's NTSTATUS reaches the
//    client unchanged (the Win32 call would turn it into a Win32 error code).
#pragma once

#include <stdint.h>

#include <memory>
#include <string>

namespace usbcam {

// What a device-control request came back with: the final status and the
// byte count (IoStatus.Information).
struct IoOutcome {
    uint32_t Status;
    uint64_t Information;
};

class Connection {
public:
    virtual ~Connection() = default;

    // Issues one device-control request, exactly as a client would: input
    // and output may be null with a length of 0. For a buffered code the
    // output receives the driver's first Information bytes (nothing when the
    // status is an error); for a direct code the output is the data buffer
    // the driver reads or writes in place. Blocks until the request is done.
    virtual IoOutcome Control(uint32_t code, const void *input, uint32_t inputLength,
                              void *output, uint32_t outputLength) = 0;

    // The path this handle was opened by ("\\.\Tavrinoscope-0").
    virtual const std::string &Path() const = 0;
};

// "\\.\Tavrinoscope-N": N is the character '0' + index (index 0 to 31, so
// after "9" come ":" and on up to "O").
std::string DevicePath(unsigned index);

// Opens camera `index` through this platform's back end. On success returns
// STATUS_SUCCESS and sets *connection; otherwise returns the failure status
// (STATUS_OBJECT_NAME_NOT_FOUND when no camera has that name) and leaves
// *connection empty. The handle closes when the Connection is destroyed.
uint32_t OpenDevice(unsigned index, std::unique_ptr<Connection> *connection);

}  // namespace usbcam
