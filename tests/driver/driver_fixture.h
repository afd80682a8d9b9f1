// Test fixture for the driver core: a booted kernel, the emulated bus, the
// driver loaded, and helpers to plug and start cameras and act as a client.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "usbcam/usbcam_ioctl.h"
#include "driver/driver.h"
#include "sim/kernel.h"
#include "sim/usbbus.h"

namespace drvtest {

struct Camera {
    int Port = 0;
    PDEVICE_OBJECT Pdo = nullptr;
    PDEVICE_OBJECT Fdo = nullptr;  // our device object, above the PDO
    bool Removed = false;
};

// The reference camera's profile text with `from` replaced by `to` (once), for
// tests that need a slightly different camera.
std::string ReferenceProfileWith(const std::string &from, const std::string &to);
// The reference camera's profile (the JSON the bus builds it from).
std::string ReferenceProfileJson();

// "\\.\Tavrinoscope-N" for the name character N = '0' + index.
std::string Win32Name(int index);
std::string DeviceName(int index);  // "\Device\Tavrinoscope-N"
std::string LinkName(int index);    // "\DosDevices\Tavrinoscope-N"

class DriverTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Plugs a camera (the reference one, or a JSON profile), reports it to the
    // Plug and Play manager (AddDevice) and, when start is set, starts it. A
    // composite device's child PDO of `function` is the one reported.
    Camera Plug(const std::string &profileJson = "", bool start = true,
                NTSTATUS *startStatus = nullptr, int function = 0);
    // Removes the camera's stack (IRP_MN_REMOVE_DEVICE).
    NTSTATUS Remove(Camera &camera);

    // Opens the camera at name index (default 0); fails the test on error.
    sim::ClientHandle Open(int index = 0);
    sim::IoResult Ioctl(sim::ClientHandle handle, ULONG code, const void *in, ULONG inLength,
                        void *out, ULONG outLength);

    static DeviceExtension *Ext(const Camera &camera) {
        return (DeviceExtension *)camera.Fdo->DeviceExtension;
    }
    // Wire log of one port since the last clear.
    static std::vector<sim::usb::WireRecord> Wire(int port) { return sim::usb::WireLog(port); }
    // Control transfers only.
    static std::vector<sim::usb::WireRecord> ControlWire(int port);
    // Our driver's pool blocks outstanding.
    static int OurBlocks();

    // What a client sees of a camera. Opens succeed only on a started
    // device: true when the camera at name index opens now (closed again).
    static bool Opens(int index = 0);
    // IOCTL_USBCAM_GET_LAST_STATUS.
    static USBD_STATUS LastStatus(sim::ClientHandle handle);
    // IOCTL_USBCAM_GET_INTERFACE_INFO: the selected interface's record; a
    // Length of 0 when there is none.
    struct Interface {
        USHORT Length = 0;
        UCHAR AlternateSetting = 0;
        ULONG NumberOfPipes = 0;
        std::vector<USBD_PIPE_INFORMATION> Pipes;
    };
    static Interface SelectedInterface(sim::ClientHandle handle);

    PDRIVER_OBJECT driver_ = nullptr;
    std::vector<Camera> cameras_;
    std::vector<sim::ClientHandle> handles_;
};

// A started reference camera with an open handle and a clear wire log: the
// setting of the tests that act as a client on one camera.
class OpenCameraTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        camera_ = Plug();
        handle_ = Open();
        sim::usb::WireLogClear();
    }
    sim::IoResult Call(ULONG code, const void *in, ULONG inLength, void *out, ULONG outLength) {
        return Ioctl(handle_, code, in, inLength, out, outLength);
    }

    Camera camera_;
    sim::ClientHandle handle_ = 0;
};

// Runs fn on a kernel thread at PASSIVE_LEVEL (the level the driver's
// synchronous routines require), on behalf of driver, and waits for it.
void AtPassive(PDRIVER_OBJECT driver, const std::function<void()> &fn);

}  // namespace drvtest
