// Emulation back end: a handle of the emulated I/O manager. Requests run the
// driver inside the emulated kernel in the calling thread, with Windows'
// buffer handling for each method.
#include <utility>

#include "usbcam/usbcam_ioctl.h"
#include "sim/kernel.h"
#include "usbcam/connection.h"

namespace usbcam {
namespace {

class EmulatedConnection final : public Connection {
public:
    EmulatedConnection(sim::ClientHandle handle, std::string path)
        : handle_(handle), path_(std::move(path)) {}
    ~EmulatedConnection() override { sim::ClientClose(handle_); }

    EmulatedConnection(const EmulatedConnection &) = delete;
    EmulatedConnection &operator=(const EmulatedConnection &) = delete;

    IoOutcome Control(uint32_t code, const void *input, uint32_t inputLength, void *output,
                      uint32_t outputLength) override {
        const sim::IoResult result =
            sim::ClientDeviceIoControl(handle_, code, input, inputLength, output, outputLength);
        return IoOutcome{static_cast<uint32_t>(result.Status),
                         static_cast<uint64_t>(result.Information)};
    }

    const std::string &Path() const override { return path_; }

private:
    sim::ClientHandle handle_;
    std::string path_;
};

}  // namespace

uint32_t OpenDevice(unsigned index, std::unique_ptr<Connection> *connection) {
    connection->reset();
    if (index >= USBCAM_MAX_DEVICES) return static_cast<uint32_t>(STATUS_OBJECT_NAME_INVALID);
    const std::string path = DevicePath(index);
    sim::ClientHandle handle = 0;
    const NTSTATUS status = sim::ClientOpen(path.c_str(), &handle);
    if (!NT_SUCCESS(status)) return static_cast<uint32_t>(status);
    connection->reset(new EmulatedConnection(handle, path));
    return static_cast<uint32_t>(STATUS_SUCCESS);
}

}  // namespace usbcam
