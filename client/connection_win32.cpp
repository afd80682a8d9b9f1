// Win32 back end: a handle from CreateFileW on the camera's link name.
//
// Requests go through NtDeviceIoControlFile, the native call beneath
// DeviceIoControl: it returns the NTSTATUS with which the driver completed
// the request and fills the byte count, where DeviceIoControl would turn a
// failure into a Win32 error code and lose the status. The handle is opened
// for synchronous I/O, so the call returns only when the request is done.
#include <windows.h>
#include <winternl.h>

#include <utility>

#include "usbcam/usbcam_ioctl.h"
#include "usbcam/connection.h"

extern "C" NTSTATUS NTAPI RtlGetLastNtStatus(void);

namespace usbcam {
namespace {

const uint32_t kStatusSuccess = 0x00000000u;
const uint32_t kStatusObjectNameInvalid = 0xC0000033u;

class Win32Connection final : public Connection {
public:
    Win32Connection(HANDLE handle, std::string path) : handle_(handle), path_(std::move(path)) {}
    ~Win32Connection() override { CloseHandle(handle_); }

    Win32Connection(const Win32Connection &) = delete;
    Win32Connection &operator=(const Win32Connection &) = delete;

    IoOutcome Control(uint32_t code, const void *input, uint32_t inputLength, void *output,
                      uint32_t outputLength) override {
        IO_STATUS_BLOCK ioStatus;
        ioStatus.Status = 0;
        ioStatus.Information = 0;
        const NTSTATUS status = NtDeviceIoControlFile(
            handle_, nullptr, nullptr, nullptr, &ioStatus, code, const_cast<void *>(input),
            inputLength, output, outputLength);
        // A request that failed before completion leaves the status block
        // untouched; its byte count is then 0.
        return IoOutcome{static_cast<uint32_t>(status),
                         static_cast<uint64_t>(ioStatus.Information)};
    }

    const std::string &Path() const override { return path_; }

private:
    HANDLE handle_;
    std::string path_;
};

}  // namespace

uint32_t OpenDevice(unsigned index, std::unique_ptr<Connection> *connection) {
    connection->reset();
    if (index >= USBCAM_MAX_DEVICES) return kStatusObjectNameInvalid;
    const std::string path = DevicePath(index);
    const std::wstring widePath(path.begin(), path.end());
    HANDLE handle = CreateFileW(widePath.c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        // The NTSTATUS behind the Win32 error, as the I/O manager returned it.
        return static_cast<uint32_t>(RtlGetLastNtStatus());
    }
    connection->reset(new Win32Connection(handle, path));
    return kStatusSuccess;
}

}  // namespace usbcam
