// The emulated machine: the emulated kernel, the USB bus with its cameras and
// our driver, put together the way a Windows machine would have them, for
// usbcam, the demo and tests.
//
// Typical use:
//
//   usbcam::EmulatedMachine machine;
//   std::string error;
//   if (!NT_SUCCESS(machine.Start(usbcam::MachineOptions(), &error))) ...
//   int port = 0;
//   machine.PlugCamera("", /*start=*/true, &port, &error);  // reference camera
//   ... usbcam::Camera::Open(0, &camera) and requests ...
//   camera.reset();                       // close handles first
//   auto violations = machine.Shutdown();  // empty when the verifier is happy
//
// The kernel is process-global, so at most one machine runs at a time. Every
// call is made at PASSIVE_LEVEL from an ordinary thread (never from a driver
// routine). Cameras are known by their root-hub port number (1, 2, ...).
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/kernel.h"
#include "sim/nt.h"

namespace usbcam {

struct MachineOptions {
    // Boot the kernel in Start and shut it down in Shutdown. A test whose
    // fixture already boots the kernel (and reads the verifier itself) sets
    // this to false; the machine then leaves the kernel and its violations to
    // the fixture.
    bool OwnKernel = true;
    // The driver to load; nullptr loads ours (DriverEntry of usbcam_driver).
    PDRIVER_INITIALIZE DriverEntry = nullptr;
    // Its name in the object name space ("\Driver\<name>").
    std::string DriverName = "tavrinoscope";
    // When set, every bus transfer from the start is captured to this pcap file.
    std::string TracePath;
    // Bus and kernel time run virtual (sim::SetVirtualTime): as fast as the
    // work, and standing still while a thread that takes part can run. Only
    // with OwnKernel. The caller makes the threads that use the machine take
    // part (sim::TimeParticipant), the one that calls Start among them.
    bool VirtualTime = false;
};

enum class CameraStage {
    Reported,         // the driver's stack is built (AddDevice ran), not started
    Started,          // start request succeeded
    StartFailed,      // the last start request failed
    Stopped,          // stop request sent
    SurpriseRemoved,  // surprise-removal request sent; only removal should follow
    Removed,          // removal request sent: no stack above the PDO, camera still plugged
    Gone,             // unplugged and removed: the PDO no longer exists
};

const char *CameraStageName(CameraStage stage);

struct MachineCamera {
    int Port;
    PDEVICE_OBJECT Pdo;  // nullptr once Gone
    // The N of "\\.\Tavrinoscope-N" the driver named this camera's device
    // with, or -1 while it has none (not reported, or its stack removed).
    int DeviceIndex;
    CameraStage Stage;
};

class EmulatedMachine {
public:
    EmulatedMachine() = default;
    // Shuts the machine down if it is still running (violations then go only
    // to standard error, where the kernel prints them anyway).
    ~EmulatedMachine();

    EmulatedMachine(const EmulatedMachine &) = delete;
    EmulatedMachine &operator=(const EmulatedMachine &) = delete;

    // Boots the kernel (when the options say so), starts the bus, starts the
    // capture and loads the driver. On failure everything done is undone and
    // *error says what failed.
    NTSTATUS Start(const MachineOptions &options, std::string *error);
    bool Running() const { return running_; }
    PDRIVER_OBJECT Driver() const { return driver_; }

    // Plugs a camera: the reference camera when profilePath is empty, else the
    // JSON profile in that file. Reports it to the Plug and Play manager (our
    // AddDevice runs) and, with start set, starts it. *port receives the port
    // even when a later step fails; on failure *error says why. A composite
    // device is plugged through the composite parent and the driver gets the
    // child PDO of `function` (sim::usb::PlugOptions; 0 for other devices).
    // The camera goes on USB bus `bus` (1 by default, shared by every camera
    // plugged so; sim::usb::kNewBus: a bus of its own), whose periodic
    // bandwidth it shares with the other cameras there (docs/emulation.md).
    NTSTATUS PlugCamera(const std::string &profilePath, bool start, int *port, std::string *error,
                        int function = 0, int bus = 1);

    // The camera at a port, or nullptr.
    const MachineCamera *Camera(int port) const;
    std::vector<MachineCamera> Cameras() const { return cameras_; }
    // The port of the camera whose device is "\\.\Tavrinoscope-N", or 0.
    int PortOfDevice(unsigned deviceIndex) const;

    // Plug and Play requests through the camera's stack, one at a time; each
    // returns the request's status. A camera whose stack was removed refuses
    // all but StartCamera with STATUS_INVALID_DEVICE_STATE; StartCamera on it
    // enumerates it again (AddDevice, then start). A camera that is Gone, or
    // an unknown port, gives STATUS_NO_SUCH_DEVICE.
    NTSTATUS StartCamera(int port);
    NTSTATUS StopCamera(int port);
    NTSTATUS RemoveCamera(int port);
    NTSTATUS SurpriseRemovalRequest(int port);
    // *caps is filled in (Size and Version set here) and read back.
    NTSTATUS QueryCapabilities(int port, DEVICE_CAPABILITIES *caps);
    // A power request (IRP_MJ_POWER, the given minor code) through the stack.
    NTSTATUS SendPower(int port, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state);
    // Pulls the camera out: electrical removal on the bus, then the surprise
    // removal and removal requests; afterwards the camera is Gone. Returns the
    // status of the removal request.
    NTSTATUS UnplugCamera(int port);

    // Removes every camera's stack that is still built, unloads the driver,
    // stops the bus (which ends the capture), and, when the machine owns the
    // kernel, shuts it down. Returns every verifier violation recorded during
    // the machine's life and its teardown (leaks included); always empty when
    // the kernel belongs to a fixture. Client handles must be closed first.
    std::vector<sim::Violation> Shutdown();

private:
    MachineCamera *Find(int port);
    NTSTATUS Report(MachineCamera *camera);
    NTSTATUS CheckStack(int port, MachineCamera **camera);

    struct CollectedViolations {
        std::mutex Mutex;
        std::vector<sim::Violation> List;
    };

    MachineOptions options_;
    std::shared_ptr<CollectedViolations> collected_;
    bool running_ = false;
    bool busStarted_ = false;
    PDRIVER_OBJECT driver_ = nullptr;
    std::vector<MachineCamera> cameras_;
};

}  // namespace usbcam
