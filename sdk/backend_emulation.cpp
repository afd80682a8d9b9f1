// Linux back end: the driver runs in the emulated machine, which this file
// starts with the first open and shuts down after the last close, so every
// program (and every test) begins with a freshly plugged camera and ends
// with the verifier's account of what the driver left behind.
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "backend.h"
#include "sim/usbbus.h"
#include "usbcam/emulated_machine.h"
#include "usbcam/status_names.h"

namespace tvs {
namespace {

struct Emulation {
    std::mutex Mutex;
    usbcam::EmulatedMachine Machine;
    unsigned OpenCameras = 0;
    uint64_t Violations = 0;
    // The running machine's time is virtual (read without the mutex).
    std::atomic<bool> Virtual{false};
};

// This thread takes part in virtual time from its first call while a
// machine on virtual time runs, until it ends.
thread_local std::unique_ptr<sim::TimeParticipant> t_participant;

void TakePart() {
    if (!t_participant) t_participant.reset(new sim::TimeParticipant);
}

// TAVRINOSCOPE_VIRTUAL_TIME set to anything but "" or "0".
bool VirtualTimeAsked(const tvs_open_options *options) {
    if (options != nullptr && (options->flags & TVS_OPEN_VIRTUAL_TIME) != 0) return true;
    const char *value = getenv("TAVRINOSCOPE_VIRTUAL_TIME");
    return value != nullptr && value[0] != '\0' && strcmp(value, "0") != 0;
}

// Never destroyed: a program that exits with a camera still open must not
// have the machine torn down under a thread that still uses it.
Emulation &TheEmulation() {
    static Emulation *emulation = new Emulation;
    return *emulation;
}

// Stops the machine once nothing uses it; the caller holds the mutex.
void StopIfIdle(Emulation &emulation) {
    if (emulation.OpenCameras != 0 || !emulation.Machine.Running()) return;
    emulation.Violations += emulation.Machine.Shutdown().size();
    emulation.Virtual = false;
}

// The number of cameras the machine plugs: $TAVRINOSCOPE_CAMERAS (1 to 32),
// else 1.
bool CamerasToPlug(unsigned *cameras, std::string *error) {
    const char *text = getenv("TAVRINOSCOPE_CAMERAS");
    *cameras = 1;
    if (text == nullptr || *text == '\0') return true;
    char *end = nullptr;
    const unsigned long n = strtoul(text, &end, 10);
    if (*end != '\0' || n < 1 || n > TVS_MAX_CAMERAS) {
        *error = std::string("TAVRINOSCOPE_CAMERAS=") + text + ": expected a number of cameras from 1 to " +
                 std::to_string(TVS_MAX_CAMERAS);
        return false;
    }
    *cameras = (unsigned)n;
    return true;
}

// $TAVRINOSCOPE_CAMERAS_ON_ONE_BUS set to anything but "" or "0".
bool CamerasOnOneBus() {
    const char *value = getenv("TAVRINOSCOPE_CAMERAS_ON_ONE_BUS");
    return value != nullptr && value[0] != '\0' && strcmp(value, "0") != 0;
}

}  // namespace

tvs_status BackendOpen(unsigned index, const tvs_open_options *options, OpenedDevice *device,
                       uint32_t *driverStatus) {
    *driverStatus = 0;
    Emulation &emulation = TheEmulation();
    std::lock_guard<std::mutex> lock(emulation.Mutex);
    if (!emulation.Machine.Running()) {
        std::string profile;
        if (options != nullptr && options->camera_profile != nullptr) {
            profile = options->camera_profile;
        } else if (const char *fromEnvironment = getenv("TAVRINOSCOPE_CAMERA")) {
            profile = fromEnvironment;
        }
        std::string error;
        usbcam::MachineOptions machineOptions;
        machineOptions.VirtualTime = VirtualTimeAsked(options);
        // The opening thread takes part before the machine starts, so that
        // the start's own waits run on bus time with it.
        if (machineOptions.VirtualTime) TakePart();
        emulation.Virtual = machineOptions.VirtualTime;
        if (!NT_SUCCESS(emulation.Machine.Start(machineOptions, &error))) {
            fprintf(stderr, "tavrinoscope: %s\n", error.c_str());
            return TVS_ERROR_EMULATION;
        }
        unsigned cameras = 1;
        if (!CamerasToPlug(&cameras, &error)) {
            fprintf(stderr, "tavrinoscope: %s\n", error.c_str());
            StopIfIdle(emulation);
            return TVS_ERROR_EMULATION;
        }
        // Each camera on a USB bus of its own, so that every one may stream
        // at its full rate, as on a machine with a controller per camera;
        // or, asked for, all on one bus, sharing its periodic bandwidth.
        const int bus = CamerasOnOneBus() ? 1 : sim::usb::kNewBus;
        for (unsigned i = 0; i < cameras; ++i) {
            int port = 0;
            if (!NT_SUCCESS(emulation.Machine.PlugCamera(profile, true, &port, &error, 0, bus))) {
                fprintf(stderr, "tavrinoscope: %s\n", error.c_str());
                StopIfIdle(emulation);
                return TVS_ERROR_EMULATION;
            }
        }
    }
    *driverStatus = usbcam::OpenDevice(index, &device->Connection);
    if (!usbcam::IsNtSuccess(*driverStatus)) {
        StopIfIdle(emulation);
        return *driverStatus == 0xC0000001u ? TVS_ERROR_NOT_FOUND : StatusFromDriver(*driverStatus);
    }
    device->Port = emulation.Machine.PortOfDevice(index);
    ++emulation.OpenCameras;
    return TVS_OK;
}

void BackendClose(OpenedDevice *device) {
    Emulation &emulation = TheEmulation();
    device->Connection.reset();
    std::lock_guard<std::mutex> lock(emulation.Mutex);
    if (emulation.OpenCameras > 0) --emulation.OpenCameras;
    StopIfIdle(emulation);
}

tvs_status BackendEmulationState(tvs_emulation_state *state) {
    Emulation &emulation = TheEmulation();
    std::lock_guard<std::mutex> lock(emulation.Mutex);
    state->running = emulation.Machine.Running() ? 1 : 0;
    state->open_cameras = emulation.OpenCameras;
    state->violations = emulation.Violations;
    return TVS_OK;
}

tvs_status BackendUnplug(const OpenedDevice &device) {
    Emulation &emulation = TheEmulation();
    std::lock_guard<std::mutex> lock(emulation.Mutex);
    if (device.Port == 0) return TVS_ERROR_NOT_FOUND;
    const usbcam::MachineCamera *camera = emulation.Machine.Camera(device.Port);
    if (camera == nullptr || camera->Stage == usbcam::CameraStage::Gone) return TVS_ERROR_DEVICE_GONE;
    // With our handle open the removal waits for its close: PENDING is the
    // expected answer.
    emulation.Machine.UnplugCamera(device.Port);
    return TVS_OK;
}

tvs_status BackendFailNext(const OpenedDevice &device, uint8_t endpoint, uint32_t count, int32_t usbStatus) {
    Emulation &emulation = TheEmulation();
    std::lock_guard<std::mutex> lock(emulation.Mutex);
    const usbcam::MachineCamera *camera = emulation.Machine.Camera(device.Port);
    if (camera == nullptr || camera->Stage == usbcam::CameraStage::Gone) return TVS_ERROR_DEVICE_GONE;
    sim::usb::FailNext(device.Port, endpoint, count, static_cast<USBD_STATUS>(usbStatus));
    return TVS_OK;
}

tvs_status BackendWait(uint32_t milliseconds) {
    BackendPause(milliseconds);
    return TVS_OK;
}

void BackendEnterCall() {
    if (TheEmulation().Virtual.load(std::memory_order_acquire)) TakePart();
}

bool BackendVirtualTime() { return TheEmulation().Virtual.load(std::memory_order_acquire); }

uint64_t BackendNowMicros() { return sim::KernelTimeMicros(); }

void BackendPause(unsigned ms) {
    if (BackendVirtualTime()) {
        // A kernel wait: bus time moves on while every taking-part thread waits.
        LARGE_INTEGER interval;
        interval.QuadPart = -10000LL * ms;
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
        return;
    }
    struct timespec wait = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    nanosleep(&wait, nullptr);
}

}  // namespace tvs
