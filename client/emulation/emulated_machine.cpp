// The emulated machine: boots the pieces in the order Windows would have them
// (kernel, bus driver, function driver, then cameras as the bus finds them),
// and takes them down in the reverse order.
#include "usbcam/emulated_machine.h"

#include <string.h>

#include <memory>
#include <mutex>

#include "usbcam/usbcam_ioctl.h"
#include "sim/usbbus.h"
#include "usbcam/status_names.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace usbcam {
namespace {

// The platform's status for a request that does not fit the device's state.
const NTSTATUS kStatusInvalidDeviceState = static_cast<NTSTATUS>(0xC0000184L);

std::string LinkName(unsigned index) {
    return std::string("\\DosDevices\\Tavrinoscope-") + static_cast<char>('0' + index);
}

// Which of the 32 link names exist right now, one bit per index.
uint32_t ExistingLinks() {
    uint32_t mask = 0;
    for (unsigned i = 0; i < USBCAM_MAX_DEVICES; ++i) {
        if (sim::SymbolicLinkExists(LinkName(i).c_str())) mask |= 1u << i;
    }
    return mask;
}

int LowestBit(uint32_t mask) {
    for (int i = 0; i < 32; ++i) {
        if (mask & (1u << i)) return i;
    }
    return -1;
}

bool HasStack(CameraStage stage) {
    return stage != CameraStage::Removed && stage != CameraStage::Gone;
}

void Append(std::vector<sim::Violation> *to, std::vector<sim::Violation> from) {
    for (sim::Violation &v : from) to->push_back(std::move(v));
}

}  // namespace

const char *CameraStageName(CameraStage stage) {
    switch (stage) {
        case CameraStage::Reported: return "reported";
        case CameraStage::Started: return "started";
        case CameraStage::StartFailed: return "start-failed";
        case CameraStage::Stopped: return "stopped";
        case CameraStage::SurpriseRemoved: return "surprise-removed";
        case CameraStage::Removed: return "removed";
        case CameraStage::Gone: return "gone";
    }
    return "unknown";
}

EmulatedMachine::~EmulatedMachine() {
    if (running_) Shutdown();
}

NTSTATUS EmulatedMachine::Start(const MachineOptions &options, std::string *error) {
    if (running_) {
        *error = "the emulated machine is already running";
        return kStatusInvalidDeviceState;
    }
    options_ = options;
    cameras_.clear();
    if (options_.OwnKernel) {
        sim::KernelBoot();
        // The machine owns the kernel, so it reads the verifier: every
        // violation from here to the end of Shutdown, leak reports included.
        collected_ = std::make_shared<CollectedViolations>();
        std::shared_ptr<CollectedViolations> collected = collected_;
        sim::VerifierSetHandler([collected](const sim::Violation &v) {
            std::lock_guard<std::mutex> lock(collected->Mutex);
            collected->List.push_back(v);
        });
        // After the boot, which switches it off, and before the bus starts.
        if (options_.VirtualTime) sim::SetVirtualTime(true);
    }
    running_ = true;

    NTSTATUS status = sim::usb::BusStart();
    if (!NT_SUCCESS(status)) {
        *error = "the USB bus did not start: " + FormatNtStatus(static_cast<uint32_t>(status));
        goto Fail;
    }
    busStarted_ = true;

    if (!options_.TracePath.empty()) {
        std::string why;
        if (!sim::usb::CaptureStart(options_.TracePath, &why)) {
            *error = "cannot record a trace to " + options_.TracePath + ": " + why;
            status = STATUS_UNSUCCESSFUL;
            goto Fail;
        }
    }

    driver_ = sim::LoadDriver(options_.DriverName.c_str(),
                              options_.DriverEntry != nullptr ? options_.DriverEntry : DriverEntry,
                              &status);
    if (driver_ == nullptr) {
        *error = "the driver did not load: " + FormatNtStatus(static_cast<uint32_t>(status));
        if (NT_SUCCESS(status)) status = STATUS_UNSUCCESSFUL;
        goto Fail;
    }
    return STATUS_SUCCESS;

Fail:
    Shutdown();
    return status;
}

MachineCamera *EmulatedMachine::Find(int port) {
    for (MachineCamera &camera : cameras_) {
        if (camera.Port == port) return &camera;
    }
    return nullptr;
}

const MachineCamera *EmulatedMachine::Camera(int port) const {
    for (const MachineCamera &camera : cameras_) {
        if (camera.Port == port) return &camera;
    }
    return nullptr;
}

int EmulatedMachine::PortOfDevice(unsigned deviceIndex) const {
    for (const MachineCamera &camera : cameras_) {
        if (camera.DeviceIndex >= 0 && static_cast<unsigned>(camera.DeviceIndex) == deviceIndex) {
            return camera.Port;
        }
    }
    return 0;
}

// Reports the camera's PDO to the Plug and Play manager, which builds the
// stack by calling the driver's AddDevice; the link name that appears meanwhile
// is the camera's device index.
NTSTATUS EmulatedMachine::Report(MachineCamera *camera) {
    const uint32_t before = ExistingLinks();
    const NTSTATUS status = sim::PnpReportChild(camera->Pdo, driver_);
    if (!NT_SUCCESS(status)) return status;
    camera->DeviceIndex = LowestBit(ExistingLinks() & ~before);
    camera->Stage = CameraStage::Reported;
    return STATUS_SUCCESS;
}

NTSTATUS EmulatedMachine::PlugCamera(const std::string &profilePath, bool start, int *port,
                                     std::string *error, int function, int bus) {
    *port = 0;
    if (!running_) {
        *error = "the emulated machine is not running";
        return kStatusInvalidDeviceState;
    }
    sim::usb::PlugOptions options;
    options.Function = function;
    options.Bus = bus;
    const sim::usb::PlugResult plugged =
        profilePath.empty() ? sim::usb::PlugProfileJson(sim::usb::ReferenceProfileJson(), options)
                            : sim::usb::PlugProfileFile(profilePath, options);
    if (!NT_SUCCESS(plugged.Status) || plugged.Pdo == nullptr) {
        if (profilePath.empty()) {
            *error = "cannot plug the reference camera";
        } else if (plugged.Error.find(profilePath) == std::string::npos) {
            *error = "cannot plug a camera from " + profilePath;
        } else {
            *error = "cannot plug a camera";  // the bus's message names the file
        }
        *error += ": " + (plugged.Error.empty() ? FormatNtStatus(static_cast<uint32_t>(plugged.Status))
                                                : plugged.Error);
        return NT_SUCCESS(plugged.Status) ? STATUS_UNSUCCESSFUL : plugged.Status;
    }
    *port = plugged.Port;
    MachineCamera *camera = Find(plugged.Port);
    if (camera == nullptr) {
        cameras_.push_back(MachineCamera{plugged.Port, plugged.Pdo, -1, CameraStage::Removed});
        camera = &cameras_.back();
    } else {
        // A port used before by a camera that is gone now.
        *camera = MachineCamera{plugged.Port, plugged.Pdo, -1, CameraStage::Removed};
    }

    NTSTATUS status = Report(camera);
    if (!NT_SUCCESS(status)) {
        *error = "the Plug and Play manager could not add the camera on port " +
                 std::to_string(plugged.Port) + ": " + FormatNtStatus(static_cast<uint32_t>(status));
        return status;
    }
    if (!start) return STATUS_SUCCESS;
    status = StartCamera(plugged.Port);
    if (!NT_SUCCESS(status)) {
        *error = "the camera on port " + std::to_string(plugged.Port) +
                 " did not start: " + FormatNtStatus(static_cast<uint32_t>(status));
    }
    return status;
}

// Finds a camera whose stack exists, for the requests that need one.
NTSTATUS EmulatedMachine::CheckStack(int port, MachineCamera **camera) {
    *camera = Find(port);
    if (*camera == nullptr || (*camera)->Stage == CameraStage::Gone) return STATUS_NO_SUCH_DEVICE;
    if (!HasStack((*camera)->Stage)) return kStatusInvalidDeviceState;
    return STATUS_SUCCESS;
}

NTSTATUS EmulatedMachine::StartCamera(int port) {
    MachineCamera *camera = Find(port);
    if (camera == nullptr || camera->Stage == CameraStage::Gone) return STATUS_NO_SUCH_DEVICE;
    if (camera->Stage == CameraStage::SurpriseRemoved) return kStatusInvalidDeviceState;
    if (camera->Stage == CameraStage::Removed) {
        const NTSTATUS status = Report(camera);
        if (!NT_SUCCESS(status)) return status;
    }
    const NTSTATUS status = sim::PnpStartDevice(camera->Pdo);
    camera->Stage = NT_SUCCESS(status) ? CameraStage::Started : CameraStage::StartFailed;
    return status;
}

NTSTATUS EmulatedMachine::StopCamera(int port) {
    MachineCamera *camera = nullptr;
    const NTSTATUS check = CheckStack(port, &camera);
    if (!NT_SUCCESS(check)) return check;
    const NTSTATUS status = sim::PnpStopDevice(camera->Pdo);
    if (NT_SUCCESS(status)) camera->Stage = CameraStage::Stopped;
    return status;
}

NTSTATUS EmulatedMachine::RemoveCamera(int port) {
    MachineCamera *camera = nullptr;
    const NTSTATUS check = CheckStack(port, &camera);
    if (!NT_SUCCESS(check)) return check;
    // After a removal request the manager forgets the stack whatever its
    // status, so the camera counts as removed either way.
    const NTSTATUS status = sim::PnpRemoveDevice(camera->Pdo);
    camera->Stage = CameraStage::Removed;
    camera->DeviceIndex = -1;
    return status;
}

NTSTATUS EmulatedMachine::SurpriseRemovalRequest(int port) {
    MachineCamera *camera = nullptr;
    const NTSTATUS check = CheckStack(port, &camera);
    if (!NT_SUCCESS(check)) return check;
    const NTSTATUS status = sim::PnpSurpriseRemoval(camera->Pdo);
    camera->Stage = CameraStage::SurpriseRemoved;
    return status;
}

NTSTATUS EmulatedMachine::QueryCapabilities(int port, DEVICE_CAPABILITIES *caps) {
    MachineCamera *camera = nullptr;
    const NTSTATUS check = CheckStack(port, &camera);
    if (!NT_SUCCESS(check)) return check;
    memset(caps, 0, sizeof *caps);
    caps->Size = sizeof *caps;
    caps->Version = 1;
    caps->Address = 0xFFFFFFFFu;
    caps->UINumber = 0xFFFFFFFFu;
    return sim::PnpQueryCapabilities(camera->Pdo, caps);
}

NTSTATUS EmulatedMachine::SendPower(int port, UCHAR minor, POWER_STATE_TYPE type,
                                    POWER_STATE state) {
    MachineCamera *camera = nullptr;
    const NTSTATUS check = CheckStack(port, &camera);
    if (!NT_SUCCESS(check)) return check;
    return sim::PoSendPowerRequest(camera->Pdo, minor, type, state);
}

NTSTATUS EmulatedMachine::UnplugCamera(int port) {
    MachineCamera *camera = Find(port);
    if (camera == nullptr || camera->Stage == CameraStage::Gone) return STATUS_NO_SUCH_DEVICE;
    // Electrical removal; the manager then sends the surprise removal (unless
    // the stack had it already, or there is no stack above the PDO) and the
    // removal once no handle to the camera is open (STATUS_PENDING until
    // then), after which the bus deletes the unplugged PDO.
    sim::usb::Unplug(port);
    const NTSTATUS status = sim::PnpDeviceGone(camera->Pdo);
    camera->Stage = CameraStage::Gone;
    camera->Pdo = nullptr;
    camera->DeviceIndex = -1;
    return status;
}

std::vector<sim::Violation> EmulatedMachine::Shutdown() {
    if (!running_) return {};
    for (MachineCamera &camera : cameras_) {
        if (HasStack(camera.Stage)) RemoveCamera(camera.Port);
    }
    if (driver_ != nullptr) {
        sim::UnloadDriver(driver_);
        driver_ = nullptr;
    }
    if (busStarted_) {
        sim::usb::BusStop();
        busStarted_ = false;
    }
    cameras_.clear();
    running_ = false;

    std::vector<sim::Violation> violations;
    if (options_.OwnKernel) {
        Append(&violations, sim::VerifierTakeViolations());
        sim::KernelShutdown();
        sim::VerifierSetHandler(nullptr);
        Append(&violations, sim::VerifierTakeViolations());
        // The handler is gone, so this is the last reference: take it out of
        // the member first and let it go only after its mutex is unlocked.
        std::shared_ptr<CollectedViolations> collected = std::move(collected_);
        std::lock_guard<std::mutex> lock(collected->Mutex);
        Append(&violations, std::move(collected->List));
    }
    return violations;
}

}  // namespace usbcam
